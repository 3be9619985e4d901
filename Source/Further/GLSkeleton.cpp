// Skeletons: frames, bones, colliders, the skeleton itself and mesh objects skinned to its bones.
#include "Source/Further/GLSkeleton.h"
#include "Source/Further/GLVectorFileInternal.h"

using namespace vector_file_detail;

#include "Source/Base/OpenGL1x.h"
#include "Source/Further/GLBaseMeshSilhouette.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLMaterialPasses.h"
#include "Source/Scene/GLState.h"
#include "Source/Scene/GLStrings.h"
#include "Source/Further/MeshUtils.h"
#include "rtl/SysUtils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

// ---------------------------------------------------------------------------------------------
// TSkeletonFrame

TSkeletonFrame::TSkeletonFrame()
    : position_(std::make_unique<TAffineVectorList>()),
      rotation_(std::make_unique<TAffineVectorList>()),
      quaternion_(std::make_unique<TQuaternionList>()) {}

TSkeletonFrame::~TSkeletonFrame() = default;

const std::vector<TMatrix4f>& TSkeletonFrame::LocalMatrixList() {
  if (localMatrices_) return *localMatrices_;
  auto list = std::make_unique<std::vector<TMatrix4f>>();
  const TAffineVector zero{{0, 0, 0}};
  if (transformMode_ == sftQuaternion) {
    for (int i = 0; i < quaternion_->Count(); ++i) {
      TMatrix4f m = QuaternionToMatrix((*quaternion_)[i]);
      const TAffineVector& p = i < position_->Count() ? (*position_)[i] : zero;
      m[3] = TVector4f{{p[0], p[1], p[2], 1}};
      list->push_back(m);
    }
  } else {
    for (int i = 0; i < position_->Count(); ++i) {
      const TAffineVector& r = i < rotation_->Count() ? (*rotation_)[i] : zero;
      TMatrix4f m = IdentityHmgMatrix;
      if (r[0] != 0) m = CreateRotationMatrixX(std::sin(r[0]), std::cos(r[0]));
      if (r[1] != 0) m = MatrixMultiply(m, CreateRotationMatrixY(std::sin(r[1]), std::cos(r[1])));
      if (r[2] != 0) m = MatrixMultiply(m, CreateRotationMatrixZ(std::sin(r[2]), std::cos(r[2])));
      const TAffineVector& p = (*position_)[i];
      m[3] = TVector4f{{p[0], p[1], p[2], 1}};
      list->push_back(m);
    }
  }
  localMatrices_ = std::move(list);
  return *localMatrices_;
}

void TSkeletonFrame::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(1);
  Writer->WriteString(name_);
  position_->WriteToFiler(Writer);
  rotation_->WriteToFiler(Writer);
  quaternion_->WriteToFiler(Writer);
  Writer->WriteInteger(transformMode_);
}

void TSkeletonFrame::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  FlushLocalMatrixList();
  const int version = ReadVersion(Reader, this, 1);
  name_ = Reader->ReadString();
  position_->ReadFromFiler(Reader);
  rotation_->ReadFromFiler(Reader);
  if (version >= 1) {
    quaternion_->ReadFromFiler(Reader);
    transformMode_ = Reader->ReadInteger() == sftQuaternion ? sftQuaternion : sftRotation;
  }
}

// ---------------------------------------------------------------------------------------------
// Bones

TSkeletonBone* TSkeletonBoneList::operator[](int Index) const noexcept {
  return static_cast<TSkeletonBone*>(Get(Index));
}

TClass TSkeletonBoneList::ItemClass() const { return TSkeletonBone::StaticClass(); }

void TSkeletonBoneList::SetItemOwner(TObject* Item, bool Attach) {
  auto* bone = static_cast<TSkeletonBone*>(Item);
  bone->SetOwner(Attach ? this : nullptr);
  if (Attach) bone->AttachSkeleton(skeleton_);
}

void TSkeletonBoneList::AttachSkeleton(TSkeleton* Value) {
  skeleton_ = Value;
  for (int i = 0; i < Count(); ++i) (*this)[i]->AttachSkeleton(Value);
}

TSkeletonBone* TSkeletonBoneList::BoneByID(int ID) {
  for (int i = 0; i < Count(); ++i)
    if (TSkeletonBone* bone = (*this)[i]->BoneByID(ID)) return bone;
  return nullptr;
}

TSkeletonBone* TSkeletonBoneList::BoneByName(const std::string& Name) {
  for (int i = 0; i < Count(); ++i)
    if (TSkeletonBone* bone = (*this)[i]->BoneByName(Name)) return bone;
  return nullptr;
}

void TSkeletonBoneList::PrepareGlobalMatrices() {
  for (int i = 0; i < Count(); ++i) (*this)[i]->PrepareGlobalMatrices();
}

void TSkeletonBoneList::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
}

void TSkeletonBoneList::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion(Reader, this, 0);
}

TSkeletonBone::TSkeletonBone(TSkeletonBoneList* AOwner, int ABoneID) : owner_(AOwner), boneID_(ABoneID) {
  if (AOwner) {
    skeleton_ = AOwner->Skeleton();
    AOwner->Add(this);
    if (skeleton_) skeleton_->FlushBoneByIDCache();
  }
}

TSkeletonBone::~TSkeletonBone() {
  if (!owner_) return;  // freed by its list (or never in one)
  owner_->Remove(this);
  if (!skeleton_) return;
  skeleton_->FlushBoneByIDCache();
  TSkeletonColliderList* colliders = skeleton_->Colliders();
  for (int i = 0; i < colliders->Count(); ++i) {
    TSkeletonCollider* collider = (*colliders)[i];
    for (TSkeletonBoneList* b = collider->Bone(); b && b->Is<TSkeletonBone>();
         b = static_cast<TSkeletonBone*>(b)->Owner())
      if (b == this) {
        collider->SetBone(nullptr);
        break;
      }
  }
}

TSkeletonBone* TSkeletonBone::BoneByID(int ID) { return boneID_ == ID ? this : inherited::BoneByID(ID); }

TSkeletonBone* TSkeletonBone::BoneByName(const std::string& Name) {
  return name_ == Name ? this : inherited::BoneByName(Name);
}

void TSkeletonBone::PrepareGlobalMatrices() {
  TMatrix4f local = IdentityHmgMatrix;
  if (skeleton_)
    if (TSkeletonFrame* frame = skeleton_->CurrentFrame()) {
      const std::vector<TMatrix4f>& list = frame->LocalMatrixList();
      if (boneID_ >= 0 && boneID_ < static_cast<int>(list.size())) local = list[static_cast<std::size_t>(boneID_)];
    }
  globalMatrix_ = owner_ ? MatrixMultiply(local, owner_->GlobalMatrix()) : local;
  inherited::PrepareGlobalMatrices();
}

void TSkeletonBone::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  Writer->WriteString(name_);
  Writer->WriteInteger(boneID_);
  Writer->WriteInteger(static_cast<int>(color_));
}

void TSkeletonBone::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion(Reader, this, 0);
  name_ = Reader->ReadString();
  boneID_ = Reader->ReadInteger();
  color_ = static_cast<std::uint32_t>(Reader->ReadInteger());
}

// ---------------------------------------------------------------------------------------------
// Colliders

TSkeletonCollider::TSkeletonCollider(TSkeletonColliderList* AOwner) : owner_(AOwner) {
  if (AOwner) AOwner->Add(this);
}

void TSkeletonCollider::AlignCollider() {
  if (!bone_) {
    globalMatrix_ = localMatrix_;
    return;
  }
  globalMatrix_ = MatrixMultiply(localMatrix_, bone_->GlobalMatrix());
  if (TSkeleton* skeleton = bone_->Skeleton())
    if (TGLBaseMesh* mesh = skeleton->Owner()) globalMatrix_ = MatrixMultiply(globalMatrix_, mesh->AbsoluteMatrix());
}

void TSkeletonCollider::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  Writer->WriteInteger(bone_ ? bone_->BoneID() : -1);
  Writer->Write(localMatrix_.data(), 64);
}

void TSkeletonCollider::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion(Reader, this, 0);
  boneID_ = Reader->ReadInteger();
  bone_ = nullptr;
  Reader->Read(localMatrix_.data(), 64);
}

void TSkeletonColliderList::SetItemOwner(TObject* Item, bool Attach) {
  static_cast<TSkeletonCollider*>(Item)->SetOwner(Attach ? this : nullptr);
}

void TSkeletonColliderList::AlignColliders() {
  for (int i = 0; i < Count(); ++i)
    if ((*this)[i]->AutoUpdate()) (*this)[i]->AlignCollider();
}

// ---------------------------------------------------------------------------------------------
// TSkeleton

TSkeleton::TSkeleton() : TSkeleton(nullptr) {}

TSkeleton::TSkeleton(TGLBaseMesh* AOwner)
    : owner_(AOwner),
      rootBones_(std::make_unique<TSkeletonRootBoneList>(this)),
      frames_(std::make_unique<TSkeletonFrameList>(this)),
      colliders_(std::make_unique<TSkeletonColliderList>(this)) {}

TSkeleton::~TSkeleton() = default;

TSkeletonFrame* TSkeleton::CurrentFrame() {
  if (!currentFrame_ && frames_->Count() > 0) {
    auto frame = std::make_unique<TSkeletonFrame>();
    frame->Assign((*frames_)[0]);
    currentFrame_ = std::move(frame);
  }
  return currentFrame_.get();
}

void TSkeleton::SetCurrentFrame(TSkeletonFrame* Frame) {
  auto copy = std::make_unique<TSkeletonFrame>();
  copy->Assign(Frame);
  ReplaceCurrentFrame(std::move(copy));
}

void TSkeleton::ReplaceCurrentFrame(std::unique_ptr<TSkeletonFrame> Frame) { currentFrame_ = std::move(Frame); }

TSkeletonBone* TSkeleton::BoneByID(int ID) {
  if (!bonesByID_) {
    auto map = std::make_unique<std::unordered_map<int, TSkeletonBone*>>();
    // Depth-first, each bone at its ID.
    std::function<void(TSkeletonBoneList*)> walk = [&](TSkeletonBoneList* list) {
      for (int i = 0; i < list->Count(); ++i) {
        TSkeletonBone* bone = (*list)[i];
        (*map)[bone->BoneID()] = bone;
        walk(bone);
      }
    };
    walk(rootBones_.get());
    bonesByID_ = std::move(map);
  }
  auto it = bonesByID_->find(ID);
  return it == bonesByID_->end() ? nullptr : it->second;
}

void TSkeleton::CheckFrameIndex(int Index) const {
  RTL_ASSERT(Index >= 0 && Index < frames_->Count(), "Frame index out of range");
}

void TSkeleton::Lerp(int FrameIndex1, int FrameIndex2, float LerpFactor) {
  CheckFrameIndex(FrameIndex1);
  CheckFrameIndex(FrameIndex2);
  TSkeletonFrame* f1 = (*frames_)[FrameIndex1];
  TSkeletonFrame* f2 = (*frames_)[FrameIndex2];
  auto frame = std::make_unique<TSkeletonFrame>();
  frame->SetTransformMode(f1->TransformMode());
  const TSkeletonFrame* c1 = f1;
  const TSkeletonFrame* c2 = f2;
  frame->Position()->Lerp(c1->Position(), c2->Position(), LerpFactor);
  if (frame->TransformMode() == sftRotation)
    frame->Rotation()->AngleLerp(c1->Rotation(), c2->Rotation(), LerpFactor);
  else
    frame->Quaternion()->Lerp(c1->Quaternion(), c2->Quaternion(), LerpFactor);
  ReplaceCurrentFrame(std::move(frame));
}

void TSkeleton::BlendedLerps(const std::vector<TBlendedLerpInfo>& LerpInfos) {
  RTL_ASSERT(!LerpInfos.empty());
  if (LerpInfos.size() == 1) {
    Lerp(LerpInfos[0].frameIndex1, LerpInfos[0].frameIndex2, LerpInfos[0].lerpFactor);
    return;
  }
  for (const TBlendedLerpInfo& info : LerpInfos) {
    CheckFrameIndex(info.frameIndex1);
    CheckFrameIndex(info.frameIndex2);
  }
  auto frame = std::make_unique<TSkeletonFrame>();
  const TSkeletonFrame* first = (*frames_)[LerpInfos[0].frameIndex1];
  frame->SetTransformMode(first->TransformMode());
  auto framesOf = [this](const TBlendedLerpInfo& info) {
    return std::pair<const TSkeletonFrame*, const TSkeletonFrame*>((*frames_)[info.frameIndex1],
                                                                   (*frames_)[info.frameIndex2]);
  };
  // Positions: the first entry's blend (weighted), then each further entry added.
  for (std::size_t i = 0; i < LerpInfos.size(); ++i) {
    const TBlendedLerpInfo& info = LerpInfos[i];
    auto [f1, f2] = framesOf(info);
    TAffineVectorList blend;
    if (info.externalPositions)
      blend.Assign(info.externalPositions);
    else
      blend.Lerp(f1->Position(), f2->Position(), info.lerpFactor);
    if (i == 0) {
      frame->Position()->Assign(&blend);
      if (info.weight != 1) frame->Position()->Scale(info.weight);
    } else {
      frame->Position()->CombineItems(&blend, 1);
    }
  }
  if (frame->TransformMode() == sftRotation) {
    for (std::size_t i = 0; i < LerpInfos.size(); ++i) {
      const TBlendedLerpInfo& info = LerpInfos[i];
      auto [f1, f2] = framesOf(info);
      TAffineVectorList blend;
      if (info.externalRotations)
        blend.Assign(info.externalRotations);
      else
        blend.AngleLerp(f1->Rotation(), f2->Rotation(), info.lerpFactor);
      if (i == 0)
        frame->Rotation()->Assign(&blend);
      else
        frame->Rotation()->CombineItems(&blend, 1);
    }
  } else {
    for (std::size_t i = 0; i < LerpInfos.size(); ++i) {
      const TBlendedLerpInfo& info = LerpInfos[i];
      auto [f1, f2] = framesOf(info);
      TQuaternionList blend;
      if (info.externalQuaternions)
        blend.Assign(info.externalQuaternions);
      else
        blend.Lerp(f1->Quaternion(), f2->Quaternion(), info.lerpFactor);
      if (i == 0)
        frame->Quaternion()->Assign(&blend);
      else
        frame->Quaternion()->CombineItems(&blend, 1);
    }
  }
  ReplaceCurrentFrame(std::move(frame));
}

void TSkeleton::MorphMesh(bool NormalizeNormals) {
  if (!meshObjects_ || meshObjects_->Count() == 0) return;
  for (int i = 0; i < meshObjects_->Count(); ++i)
    if ((*meshObjects_)[i]->Is<TSkeletonMeshObject>()) {
      auto* skinned = static_cast<TSkeletonMeshObject*>((*meshObjects_)[i]);
      if (skinned->WaitsForBones()) BindToRestPose(skinned);
    }
  rootBones_->PrepareGlobalMatrices();
  if (colliders_->Count() > 0) colliders_->AlignColliders();
  for (int i = 0; i < meshObjects_->Count(); ++i)
    if ((*meshObjects_)[i]->Is<TSkeletonMeshObject>())
      static_cast<TSkeletonMeshObject*>((*meshObjects_)[i])->ApplyCurrentSkeletonFrame(NormalizeNormals);
}

void TSkeleton::BindToRestPose(TSkeletonMeshObject* Object) {
  TScopeExit keepCurrentFrame([this, saved = std::move(currentFrame_)]() mutable {
    currentFrame_ = std::move(saved);
    rootBones_->PrepareGlobalMatrices();
  });
  rootBones_->PrepareGlobalMatrices();  // the current frame is now a copy of frame 0
  Object->PrepareBoneMatchingMeshObjects();
}

void TSkeleton::Synchronize(TSkeleton* Reference) {
  if (TSkeletonFrame* frame = Reference->CurrentFrame()) SetCurrentFrame(frame);
  MorphMesh(true);
}

void TSkeleton::Clear() {
  bonesByID_.reset();
  rootBones_->Clear();
  frames_->Clear();
  currentFrame_.reset();
  colliders_->Clear();
}

void TSkeleton::BindColliders() {
  for (int i = 0; i < colliders_->Count(); ++i) {
    TSkeletonCollider* collider = (*colliders_)[i];
    if (collider->BoneID() != -1)
      if (TSkeletonBone* bone = BoneByID(collider->BoneID())) collider->SetBone(bone);
  }
}

void TSkeleton::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  const int version = colliders_->Count() > 0 ? 1 : 0;
  Writer->WriteInteger(version);
  rootBones_->WriteToFiler(Writer);
  frames_->WriteToFiler(Writer);
  if (version == 1) colliders_->WriteToFiler(Writer);
}

void TSkeleton::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  const int version = ReadVersion(Reader, this, 1);
  bonesByID_.reset();
  currentFrame_.reset();
  rootBones_->ReadFromFiler(Reader);
  rootBones_->AttachSkeleton(this);
  frames_->ReadFromFiler(Reader);
  if (version == 1) {
    colliders_->ReadFromFiler(Reader);
    BindColliders();
  } else {
    colliders_->Clear();
  }
  // Frames are blended pairwise, list by list: frames of different sizes would fail at
  // every animated draw.
  for (int i = 1; i < frames_->Count(); ++i) {
    const TSkeletonFrame* f = (*frames_)[i];
    const TSkeletonFrame* first = (*frames_)[0];
    auto check = [&](const char* what, int count, int expected) {
      if (count == expected) return;
      Clear();
      throw EReadError(Format("TSkeleton : frame %d has %d %s, frame 0 has %d", i, count, what, expected));
    };
    check("positions", f->Position()->Count(), first->Position()->Count());
    check("rotations", f->Rotation()->Count(), first->Rotation()->Count());
    check("quaternions", f->Quaternion()->Count(), first->Quaternion()->Count());
  }
}

// ---------------------------------------------------------------------------------------------
// TSkeletonMeshObject

TSkeletonMeshObject::~TSkeletonMeshObject() = default;

TSkeleton* TSkeletonMeshObject::Skeleton() const { return Owner() ? Owner()->Skeleton() : nullptr; }

void TSkeletonMeshObject::ResizeWeights(int Count, int PerVertex) {
  RTL_ASSERT(Count >= 0 && PerVertex >= 0);
  const std::size_t total = std::size_t(Count) * std::size_t(PerVertex);
  if (PerVertex == bonesPerVertex_) {
    weights_.resize(total, TVertexBoneWeight{0, 0});
  } else {
    std::vector<TVertexBoneWeight> block(total, TVertexBoneWeight{0, 0});
    const int rows = std::min(Count, weightCount_);
    const int cols = std::min(PerVertex, bonesPerVertex_);
    for (int i = 0; i < rows; ++i)
      for (int k = 0; k < cols; ++k)
        block[std::size_t(i) * PerVertex + k] = weights_[std::size_t(i) * bonesPerVertex_ + k];
    weights_ = std::move(block);
  }
  weightCount_ = Count;
  bonesPerVertex_ = PerVertex;
}

void TSkeletonMeshObject::SetVerticeBoneWeightCount(int Value) {
  if (Value != weightCount_) ResizeWeights(Value, bonesPerVertex_);
}

void TSkeletonMeshObject::SetBonesPerVertex(int Value) {
  if (Value != bonesPerVertex_) ResizeWeights(weightCount_, Value);
}

TVertexBoneWeight& TSkeletonMeshObject::VerticesBonesWeights(int Vertex, int Bone) {
  RTL_ASSERT(Vertex >= 0 && Vertex < weightCount_ && Bone >= 0 && Bone < bonesPerVertex_);
  return weights_[std::size_t(Vertex) * bonesPerVertex_ + Bone];
}

int TSkeletonMeshObject::AddWeightedBone(int BoneID, float Weight) {
  return AddWeightedBones({TVertexBoneWeight{BoneID, Weight}});
}

int TSkeletonMeshObject::AddWeightedBones(const std::vector<TVertexBoneWeight>& Weights) {
  const int n = weightCount_;
  ResizeWeights(n + 1, std::max(bonesPerVertex_, std::max(1, static_cast<int>(Weights.size()))));
  for (std::size_t k = 0; k < Weights.size(); ++k) weights_[std::size_t(n) * bonesPerVertex_ + k] = Weights[k];
  return n;
}

void TSkeletonMeshObject::PrepareBoneMatchingMeshObjects() {
  boneMatching_.clear();
  TSkeleton* skeleton = Skeleton();
  std::unordered_map<int, std::pair<TMatrix4f, TMatrix4f>> inverses;  // per bone ID
  auto inverseOf = [&](int boneID) -> const std::pair<TMatrix4f, TMatrix4f>& {
    auto it = inverses.find(boneID);
    if (it != inverses.end()) return it->second;
    TMatrix4f m = IdentityHmgMatrix;
    if (skeleton)
      if (TSkeletonBone* bone = skeleton->BoneByID(boneID)) m = bone->GlobalMatrix();
    MatrixInvert(m);
    return inverses.emplace(boneID, std::make_pair(m, WithoutTranslation(m))).first->second;
  };
  bonesMissing_ = false;
  if (weightCount_ == 0) return;
  // Only the weighted vertices are copied: the copies never outgrow the weight block.
  const int count = std::min(Vertices()->Count(), weightCount_);
  const int normalCount = std::min(Normals()->Count(), count);
  for (int k = 0; k < bonesPerVertex_; ++k) {
    auto obj = std::make_unique<TBaseMeshObject>();
    TAffineVectorList* v = obj->Vertices();
    TAffineVectorList* n = obj->Normals();
    v->SetCapacity(count);
    n->SetCapacity(normalCount);
    for (int i = 0; i < count; ++i) {
      const int boneID = weights_[std::size_t(i) * bonesPerVertex_ + k].BoneID;
      if (!skeleton || !skeleton->BoneByID(boneID)) bonesMissing_ = true;
      const auto& inv = inverseOf(boneID);
      v->Add(AffineVectorTransform((*Vertices())[i], inv.first));
      if (i < normalCount) n->Add(AffineVectorTransform((*Normals())[i], inv.second));
    }
    boneMatching_.push_back(std::move(obj));
  }
}

bool TSkeletonMeshObject::WaitsForBones() const {
  TSkeleton* skeleton = Skeleton();
  if (!bonesMissing_ || !skeleton) return false;
  const int count = std::min(Vertices()->Count(), weightCount_);
  for (int i = 0; i < count; ++i)
    for (int k = 0; k < bonesPerVertex_; ++k)
      if (!skeleton->BoneByID(weights_[std::size_t(i) * bonesPerVertex_ + k].BoneID)) return false;
  return true;
}

void TSkeletonMeshObject::Prepare() {
  const int count = bonesPerVertex_ > 0 ? std::min(Vertices()->Count(), weightCount_) : 0;
  const bool current = count == 0 || (static_cast<int>(boneMatching_.size()) == bonesPerVertex_ &&
                                      boneMatching_[0]->Vertices()->Count() == count);
  if (current && !WaitsForBones()) return;
  if (TSkeleton* skeleton = Skeleton())
    skeleton->BindToRestPose(this);
  else
    PrepareBoneMatchingMeshObjects();
}

void TSkeletonMeshObject::ApplyCurrentSkeletonFrame(bool Normalize) {
  TSkeleton* skeleton = Skeleton();
  RTL_ASSERT(skeleton, "Skinned mesh object without skeleton");
  TAffineVectorList* verts = Vertices();
  TAffineVectorList* norms = Normals();
  const int count = bonesPerVertex_ > 0 ? std::min(verts->Count(), weightCount_) : 0;
  if (count == 0) return;
  RTL_ASSERT(static_cast<int>(boneMatching_.size()) == bonesPerVertex_, "Bone-space copies not prepared");
  for (const auto& bm : boneMatching_) RTL_ASSERT(bm->Vertices()->Count() >= count, "Bone-space copies not prepared");
  // Every weighted bone is looked up before any vertex changes: a missing one leaves the
  // object as it was.
  std::vector<const TMatrix4f*> matrices(std::size_t(count) * bonesPerVertex_, nullptr);
  for (int i = 0; i < count; ++i)
    for (int k = 0; k < bonesPerVertex_; ++k) {
      const TVertexBoneWeight& w = weights_[std::size_t(i) * bonesPerVertex_ + k];
      if (bonesPerVertex_ > 1 && w.Weight == 0) continue;
      TSkeletonBone* bone = skeleton->BoneByID(w.BoneID);
      RTL_ASSERT(bone, "Unknown bone");
      matrices[std::size_t(i) * bonesPerVertex_ + k] = &bone->GlobalMatrix();
    }
  auto boneMatrix = [&](int i, int k) -> const TMatrix4f& { return *matrices[std::size_t(i) * bonesPerVertex_ + k]; };
  for (int i = 0; i < count; ++i) {
    const bool hasNormal = i < norms->Count();
    if (bonesPerVertex_ == 1) {
      const TMatrix4f& m = boneMatrix(i, 0);
      (*verts)[i] = AffineVectorTransform((*boneMatching_[0]->Vertices())[i], m);
      if (hasNormal && i < boneMatching_[0]->Normals()->Count())
        (*norms)[i] = AffineVectorTransform((*boneMatching_[0]->Normals())[i], WithoutTranslation(m));
      continue;
    }
    TAffineVector v{{0, 0, 0}}, n{{0, 0, 0}};
    for (int k = 0; k < bonesPerVertex_; ++k) {
      const TVertexBoneWeight& w = weights_[std::size_t(i) * bonesPerVertex_ + k];
      if (w.Weight == 0) continue;
      const TMatrix4f& m = boneMatrix(i, k);
      AffineVectorAddScaledInPlace(v, AffineVectorTransform((*boneMatching_[k]->Vertices())[i], m), w.Weight);
      if (hasNormal && i < boneMatching_[k]->Normals()->Count())
        AffineVectorAddScaledInPlace(n, AffineVectorTransform((*boneMatching_[k]->Normals())[i], WithoutTranslation(m)),
                                     w.Weight);
    }
    (*verts)[i] = v;
    if (hasNormal) (*norms)[i] = n;
  }
  if (Normalize) norms->Normalize();
}

void TSkeletonMeshObject::Clear() {
  inherited::Clear();
  weights_.clear();
  weightCount_ = 0;
  bonesPerVertex_ = 0;
  boneMatching_.clear();
}

void TSkeletonMeshObject::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  Writer->WriteInteger(weightCount_);
  Writer->WriteInteger(bonesPerVertex_);
  if (!weights_.empty()) Writer->Write(weights_.data(), std::int64_t(weights_.size()) * 8);
}

void TSkeletonMeshObject::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion(Reader, this, 0);
  const int count = ReadCount(Reader);
  const int perVertex = ReadCount(Reader);
  // Up to 2^62 entries of 8 bytes: the size is checked against the stream before it is formed.
  const std::int64_t entries = std::int64_t(count) * perVertex;
  if (entries > (std::numeric_limits<std::int64_t>::max)() / 8) throw EReadError("Stream read error");
  const std::int64_t bytes = entries * 8;
  ValueEncoding::NeedBytes(*Reader->Stream(), bytes);
  std::vector<TVertexBoneWeight> block(std::size_t(count) * std::size_t(perVertex));
  if (bytes > 0) Reader->Read(block.data(), bytes);
  weights_ = std::move(block);
  weightCount_ = count;
  bonesPerVertex_ = perVertex;
  boneMatching_.clear();
}

void RegisterGLSkeletonClasses() {
  RegisterClasses({TSkeleton::StaticClass(), TSkeletonFrame::StaticClass(), TSkeletonBone::StaticClass(),
                   TSkeletonMeshObject::StaticClass(), TSkeletonFrameList::StaticClass(),
                   TSkeletonCollider::StaticClass(), TSkeletonColliderList::StaticClass()});
}
