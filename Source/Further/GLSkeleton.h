// Skeletons (frames, bones, colliders) and the mesh objects skinned to their bones.
//
// Persistent like the mesh objects; bone IDs and weight blocks read from an archive are checked,
// so a broken file gives an exception, never a crash.
#pragma once

#include "Source/Further/GLMeshObjects.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class TGLBaseMesh;
class TSkeleton;
class TSkeletonBone;

enum TSkeletonFrameTransform : std::uint8_t { sftRotation = 0, sftQuaternion = 1 };

class TSkeletonFrame : public TPersistentObject {
  RTL_CLASS(TSkeletonFrame, TPersistentObject)
 public:
  TSkeletonFrame();
  ~TSkeletonFrame() override;

  const std::string& Name() const noexcept { return name_; }
  void SetName(const std::string& Value) { name_ = Value; }
  // The mutable accessors discard the cached local matrices.
  TAffineVectorList* Position() {
    FlushLocalMatrixList();
    return position_.get();
  }
  TAffineVectorList* Rotation() {
    FlushLocalMatrixList();
    return rotation_.get();
  }
  TQuaternionList* Quaternion() {
    FlushLocalMatrixList();
    return quaternion_.get();
  }
  const TAffineVectorList* Position() const noexcept { return position_.get(); }
  const TAffineVectorList* Rotation() const noexcept { return rotation_.get(); }
  const TQuaternionList* Quaternion() const noexcept { return quaternion_.get(); }
  TSkeletonFrameTransform TransformMode() const noexcept { return transformMode_; }
  void SetTransformMode(TSkeletonFrameTransform Value) {
    transformMode_ = Value;
    FlushLocalMatrixList();
  }

  // One matrix per bone, built when absent.
  const std::vector<TMatrix4f>& LocalMatrixList();
  void FlushLocalMatrixList() noexcept { localMatrices_.reset(); }

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 private:
  std::string name_;
  std::unique_ptr<TAffineVectorList> position_;
  std::unique_ptr<TAffineVectorList> rotation_;
  std::unique_ptr<TQuaternionList> quaternion_;
  TSkeletonFrameTransform transformMode_ = sftRotation;
  std::unique_ptr<std::vector<TMatrix4f>> localMatrices_;
};

class TSkeletonFrameList : public TOwnedItemList {
  RTL_CLASS(TSkeletonFrameList, TOwnedItemList)
 public:
  ~TSkeletonFrameList() override { Clear(); }
  TSkeletonFrameList() = default;
  explicit TSkeletonFrameList(TSkeleton* AOwner) : owner_(AOwner) {}
  TSkeleton* Owner() const noexcept { return owner_; }
  TSkeletonFrame* operator[](int Index) const noexcept { return static_cast<TSkeletonFrame*>(Get(Index)); }

 protected:
  TClass ItemClass() const override { return TSkeletonFrame::StaticClass(); }
  void SetItemOwner(TObject*, bool) override {}

 private:
  TSkeleton* owner_ = nullptr;
};

// A list of bones (the skeleton's roots, or a bone's children).
class TSkeletonBoneList : public TOwnedItemList {
  RTL_CLASS(TSkeletonBoneList, TOwnedItemList)
 public:
  TSkeleton* Skeleton() const noexcept { return skeleton_; }
  const TMatrix4f& GlobalMatrix() const noexcept { return globalMatrix_; }
  void SetGlobalMatrix(const TMatrix4f& Value) noexcept { globalMatrix_ = Value; }
  ~TSkeletonBoneList() override { Clear(); }
  TSkeletonBone* operator[](int Index) const noexcept;
  // Hands the skeleton down to every bone below.
  void AttachSkeleton(TSkeleton* Value);

  // Depth-first: a bone itself first, then its children in order; nullptr when absent.
  virtual TSkeletonBone* BoneByID(int ID);
  virtual TSkeletonBone* BoneByName(const std::string& Name);
  virtual void PrepareGlobalMatrices();

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 protected:
  TSkeletonBoneList() = default;
  TClass ItemClass() const override;
  void SetItemOwner(TObject* Item, bool Attach) override;

  TSkeleton* skeleton_ = nullptr;
  TMatrix4f globalMatrix_ = IdentityHmgMatrix;
};

class TSkeletonRootBoneList : public TSkeletonBoneList {
  RTL_CLASS(TSkeletonRootBoneList, TSkeletonBoneList)
 public:
  TSkeletonRootBoneList() = default;
  explicit TSkeletonRootBoneList(TSkeleton* ASkeleton) { skeleton_ = ASkeleton; }
};

class TSkeletonBone : public TSkeletonBoneList {
  RTL_CLASS(TSkeletonBone, TSkeletonBoneList)
 public:
  TSkeletonBone() = default;
  // Appended to AOwner's list.
  TSkeletonBone(TSkeletonBoneList* AOwner, int ABoneID);
  // Freed on its own, the bone leaves its parent's list, and colliders bound to it (or to a bone
  // below it) are unbound.
  ~TSkeletonBone() override;

  TSkeletonBoneList* Owner() const noexcept { return owner_; }
  void SetOwner(TSkeletonBoneList* Value) noexcept { owner_ = Value; }
  const std::string& Name() const noexcept { return name_; }
  void SetName(const std::string& Value) { name_ = Value; }
  int BoneID() const noexcept { return boneID_; }
  void SetBoneID(int Value) noexcept { boneID_ = Value; }
  std::uint32_t Color() const noexcept { return color_; }
  void SetColor(std::uint32_t Value) noexcept { color_ = Value; }

  TSkeletonBone* BoneByID(int ID) override;
  TSkeletonBone* BoneByName(const std::string& Name) override;
  // Local matrix of the current frame times the parent's global matrix, then the children.
  void PrepareGlobalMatrices() override;

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 private:
  TSkeletonBoneList* owner_ = nullptr;
  std::string name_;
  int boneID_ = 0;
  std::uint32_t color_ = 0xFFFFFFFFu;
};

class TSkeletonColliderList;

class TSkeletonCollider : public TPersistentObject {
  RTL_CLASS(TSkeletonCollider, TPersistentObject)
 public:
  TSkeletonCollider() = default;
  // Appended to AOwner's list.
  explicit TSkeletonCollider(TSkeletonColliderList* AOwner);

  TSkeletonColliderList* Owner() const noexcept { return owner_; }
  void SetOwner(TSkeletonColliderList* Value) noexcept { owner_ = Value; }
  TSkeletonBone* Bone() const noexcept { return bone_; }
  void SetBone(TSkeletonBone* Value) noexcept {
    bone_ = Value;
    boneID_ = Value ? Value->BoneID() : -1;
  }
  // The bone ID read from an archive, until the collider is bound.
  int BoneID() const noexcept { return boneID_; }
  const TMatrix4f& LocalMatrix() const noexcept { return localMatrix_; }
  void SetLocalMatrix(const TMatrix4f& Value) noexcept { localMatrix_ = Value; }
  const TMatrix4f& GlobalMatrix() const noexcept { return globalMatrix_; }
  bool AutoUpdate() const noexcept { return autoUpdate_; }
  void SetAutoUpdate(bool Value) noexcept { autoUpdate_ = Value; }

  virtual void AlignCollider();

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 private:
  TSkeletonColliderList* owner_ = nullptr;
  TSkeletonBone* bone_ = nullptr;
  int boneID_ = -1;
  TMatrix4f localMatrix_ = IdentityHmgMatrix;
  TMatrix4f globalMatrix_ = IdentityHmgMatrix;
  bool autoUpdate_ = true;
};

class TSkeletonColliderList : public TOwnedItemList {
  RTL_CLASS(TSkeletonColliderList, TOwnedItemList)
 public:
  ~TSkeletonColliderList() override { Clear(); }
  TSkeletonColliderList() = default;
  explicit TSkeletonColliderList(TSkeleton* AOwner) : owner_(AOwner) {}
  TSkeleton* Owner() const noexcept { return owner_; }
  TSkeletonCollider* operator[](int Index) const noexcept { return static_cast<TSkeletonCollider*>(Get(Index)); }
  void AlignColliders();

 protected:
  TClass ItemClass() const override { return TSkeletonCollider::StaticClass(); }
  void SetItemOwner(TObject* Item, bool Attach) override;

 private:
  TSkeleton* owner_ = nullptr;
};

// One entry of a blended frame: the blend of two frames, or external lists in their place.
struct TBlendedLerpInfo {
  int frameIndex1 = 0;
  int frameIndex2 = 0;
  float lerpFactor = 0;
  float weight = 1;
  TAffineVectorList* externalPositions = nullptr;
  TAffineVectorList* externalRotations = nullptr;
  TQuaternionList* externalQuaternions = nullptr;
};
using TFrameBlendEntry = TBlendedLerpInfo;

class TSkeletonMeshObject;

class TSkeleton : public TPersistentObject {
  RTL_CLASS(TSkeleton, TPersistentObject)
 public:
  TSkeleton();
  explicit TSkeleton(TGLBaseMesh* AOwner);
  ~TSkeleton() override;

  TGLBaseMesh* Owner() const noexcept { return owner_; }
  // The mesh objects the skeleton deforms (the owning mesh's).
  TMeshObjectList* MeshObjects() const noexcept { return meshObjects_; }
  void SetMeshObjects(TMeshObjectList* Value) noexcept { meshObjects_ = Value; }
  TSkeletonRootBoneList* RootBones() const noexcept { return rootBones_.get(); }
  TSkeletonFrameList* Frames() const noexcept { return frames_.get(); }
  TSkeletonColliderList* Colliders() const noexcept { return colliders_.get(); }
  // Created as a copy of frame 0 on first use; nullptr when there is no frame at all.
  TSkeletonFrame* CurrentFrame();
  // Replaces the current frame by a copy of Frame.
  void SetCurrentFrame(TSkeletonFrame* Frame);

  // Through a table indexed by ID, built on first use; nullptr for unknown IDs.
  TSkeletonBone* BoneByID(int ID);
  TSkeletonBone* BoneByName(const std::string& Name) { return rootBones_->BoneByName(Name); }
  // Forget the ID table (after bones were added or renumbered).
  void FlushBoneByIDCache() noexcept { bonesByID_.reset(); }

  // Frame indices outside the frame list are assertion failures.
  void Lerp(int FrameIndex1, int FrameIndex2, float LerpFactor);
  void BlendedLerps(const std::vector<TBlendedLerpInfo>& LerpInfos);
  // Binds skinned objects waiting for their bones first (BindToRestPose), then deforms them.
  void MorphMesh(bool NormalizeNormals);
  // Prepares the bone-space copies of Object from the bones' global matrices in the pose of the
  // first frame (identity without frames); the current frame is kept.
  void BindToRestPose(TSkeletonMeshObject* Object);
  void Synchronize(TSkeleton* Reference);
  void Clear();
  // Re-binds colliders to the bones of their IDs.
  void BindColliders();

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 private:
  void CheckFrameIndex(int Index) const;
  void ReplaceCurrentFrame(std::unique_ptr<TSkeletonFrame> Frame);

  TGLBaseMesh* owner_ = nullptr;
  TMeshObjectList* meshObjects_ = nullptr;
  std::unique_ptr<TSkeletonRootBoneList> rootBones_;
  std::unique_ptr<TSkeletonFrameList> frames_;
  std::unique_ptr<TSkeletonColliderList> colliders_;
  std::unique_ptr<TSkeletonFrame> currentFrame_;
  std::unique_ptr<std::unordered_map<int, TSkeletonBone*>> bonesByID_;
};

struct TVertexBoneWeight {
  std::int32_t BoneID;
  float Weight;
};
static_assert(sizeof(TVertexBoneWeight) == 8);

class TSkeletonMeshObject : public TMorphableMeshObject {
  RTL_CLASS(TSkeletonMeshObject, TMorphableMeshObject)
 public:
  TSkeletonMeshObject() = default;
  explicit TSkeletonMeshObject(TMeshObjectList* AOwner) : TMorphableMeshObject(AOwner) {}
  ~TSkeletonMeshObject() override;

  int VerticeBoneWeightCount() const noexcept { return weightCount_; }
  // Resizes the block, keeping the overlapping entries (new entries are zero).
  void SetVerticeBoneWeightCount(int Value);
  int BonesPerVertex() const noexcept { return bonesPerVertex_; }
  void SetBonesPerVertex(int Value);
  // Entry Bone of vertex Vertex (both within the block: assertion).
  TVertexBoneWeight& VerticesBonesWeights(int Vertex, int Bone);
  // Appends a vertex with one weight (BonesPerVertex becomes at least 1).
  int AddWeightedBone(int BoneID, float Weight);
  // Appends a vertex with the given weights (BonesPerVertex grows to their count).
  int AddWeightedBones(const std::vector<TVertexBoneWeight>& Weights);
  int BoneMatchingCount() const noexcept { return static_cast<int>(boneMatching_.size()); }
  TBaseMeshObject* BoneMatchingMeshObject(int Index) const { return boneMatching_.at(std::size_t(Index)).get(); }

  // Bone-space copies of the vertices and normals per weight column, from the bones' global
  // matrices (identity for bones the skeleton does not have: such copies wait for their bones).
  void PrepareBoneMatchingMeshObjects();
  // The copies were made without some of the weighted bones, and the skeleton now has them all.
  bool WaitsForBones() const;
  // Vertices and normals from the skeleton's current global matrices; a weight naming a bone the
  // skeleton lacks is an assertion failure, with no vertex changed.
  void ApplyCurrentSkeletonFrame(bool Normalize);

  void Clear() override;
  // Prepares the bone-space copies in the skeleton's rest pose when they are missing, no longer
  // match the weights, or wait for bones the skeleton has now (never from vertices already
  // deformed: blended vertices cannot be split back per bone).
  void Prepare() override;

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 private:
  TSkeleton* Skeleton() const;
  void ResizeWeights(int Count, int PerVertex);

  std::vector<TVertexBoneWeight> weights_;  // weightCount_ * bonesPerVertex_
  int weightCount_ = 0;
  int bonesPerVertex_ = 0;
  std::vector<std::unique_ptr<TBaseMeshObject>> boneMatching_;
  bool bonesMissing_ = false;  // the copies were made without some weighted bone
};

// Makes the skeleton classes known to the class registry by name.
void RegisterGLSkeletonClasses();
