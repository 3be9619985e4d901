// Mesh geometry: mesh objects, morph targets, face groups and the lists that own them.
#include "Source/Further/GLMeshObjects.h"
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
// TBaseMeshObject

TBaseMeshObject::TBaseMeshObject()
    : vertices_(std::make_unique<TAffineVectorList>()), normals_(std::make_unique<TAffineVectorList>()) {}

TBaseMeshObject::~TBaseMeshObject() = default;

void TBaseMeshObject::Clear() {
  normals_->Clear();
  vertices_->Clear();
}

void TBaseMeshObject::ContributeToBarycenter(TAffineVector& Sum, int& Count) const {
  AffineVectorAddInPlace(Sum, vertices_->Sum());
  Count += vertices_->Count();
}

void TBaseMeshObject::Translate(const TAffineVector& Delta) { vertices_->Translate(Delta); }

TAffineVectorList* TBaseMeshObject::ExtractTriangles(TAffineVectorList* /*TexCoords*/, TAffineVectorList* Normals) {
  auto result = std::make_unique<TAffineVectorList>();
  if (vertices_->Count() % 3 == 0) result->Assign(vertices_.get());
  if (Normals) Normals->Assign(normals_.get());
  return result.release();
}

void TBaseMeshObject::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(1);
  Writer->WriteString(name_);
  vertices_->WriteToFiler(Writer);
  normals_->WriteToFiler(Writer);
  Writer->WriteBoolean(visible_);
}

void TBaseMeshObject::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  const int version = ReadVersion(Reader, this, 1);
  name_ = Reader->ReadString();
  vertices_->ReadFromFiler(Reader);
  normals_->ReadFromFiler(Reader);
  visible_ = version >= 1 ? Reader->ReadBoolean() : true;
}

// ---------------------------------------------------------------------------------------------
// TMeshObject

TMeshObject::TMeshObject()
    : texCoords_(std::make_unique<TAffineVectorList>()),
      lightMapTexCoords_(std::make_unique<TTexPointList>()),
      colors_(std::make_unique<TVectorList>()),
      faceGroups_(std::make_unique<TFaceGroups>(this)) {}

TMeshObject::TMeshObject(TMeshObjectList* AOwner) : TMeshObject() {
  owner_ = AOwner;
  if (AOwner) AOwner->Add(this);
}

TMeshObject::~TMeshObject() = default;

TVectorList* TMeshObject::TexCoordsEx(int Index) {
  RTL_ASSERT(Index >= 0);
  while (static_cast<int>(texCoordsEx_.size()) <= Index) texCoordsEx_.push_back(std::make_unique<TVectorList>());
  return texCoordsEx_[static_cast<std::size_t>(Index)].get();
}

void TMeshObject::SetAuxTexCoordIndexA(int Value) {
  RTL_ASSERT(Value >= 0);
  auxTexCoordIndexA_ = Value;
}

void TMeshObject::SetAuxTexCoordIndexB(int Value) {
  RTL_ASSERT(Value >= 0);
  auxTexCoordIndexB_ = Value;
}

void TMeshObject::Clear() {
  inherited::Clear();
  faceGroups_->Clear();
  texCoords_->Clear();
  lightMapTexCoords_->Clear();
  colors_->Clear();
  for (auto& list : texCoordsEx_) list->Clear();
}

TAffineVectorList* TMeshObject::ExtractTriangles(TAffineVectorList* TexCoords, TAffineVectorList* Normals) {
  switch (mode_) {
    case mdmTriangles: {
      TAffineVectorList* result = inherited::ExtractTriangles(TexCoords, Normals);
      if (TexCoords) TexCoords->Assign(texCoords_.get());
      return result;
    }
    case mdmTriangleStrip: {
      auto result = std::make_unique<TAffineVectorList>();
      ConvertStripToList(Vertices(), result.get());
      if (TexCoords) ConvertStripToList(texCoords_.get(), TexCoords);
      if (Normals) ConvertStripToList(this->Normals(), Normals);
      return result.release();
    }
    case mdmFaceGroups: {
      auto result = std::make_unique<TAffineVectorList>();
      faceGroups_->AddToTriangles(result.get(), TexCoords, Normals);
      return result.release();
    }
  }
  RTL_ASSERT(false, "Unknown mesh object mode");
  return nullptr;
}

int TMeshObject::TriangleCount() const {
  switch (mode_) {
    case mdmTriangles: return Vertices()->Count() / 3;
    case mdmTriangleStrip: return std::max(0, Vertices()->Count() - 2);
    case mdmFaceGroups: return faceGroups_->TriangleCount();
  }
  return 0;
}

bool TMeshObject::PointInObject(const TAffineVector& P) const {
  TAffineVector mn, mx;
  GetExtents(mn, mx);
  for (int k = 0; k < 3; ++k)
    if (P[k] < mn[k] || P[k] > mx[k]) return false;
  return true;
}

void TMeshObject::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(2);
  texCoords_->WriteToFiler(Writer);
  lightMapTexCoords_->WriteToFiler(Writer);
  colors_->WriteToFiler(Writer);
  faceGroups_->WriteToFiler(Writer);
  Writer->WriteInteger(mode_);
  Writer->WriteInteger(1);
  Writer->Write(&renderingOptions_, 1);
  Writer->WriteInteger(TexCoordsExCount());
  for (auto& list : texCoordsEx_) list->WriteToFiler(Writer);
  Writer->WriteInteger(auxTexCoordIndexA_);
  Writer->WriteInteger(auxTexCoordIndexB_);
}

void TMeshObject::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  const int version = ReadVersion(Reader, this, 2);
  texCoords_->ReadFromFiler(Reader);
  if (version >= 1)
    lightMapTexCoords_->ReadFromFiler(Reader);
  else
    lightMapTexCoords_->Clear();
  colors_->ReadFromFiler(Reader);
  faceGroups_->ReadFromFiler(Reader);
  mode_ = static_cast<TMeshObjectDrawMode>(ReadMode(Reader, this, mdmFaceGroups));
  const int size = Reader->ReadInteger();
  RTL_ASSERT(size == 1);
  Reader->Read(&renderingOptions_, 1);
  if (version >= 2) {
    const int n = ReadCount(Reader);
    texCoordsEx_.clear();
    for (int i = 0; i < n; ++i) TexCoordsEx(i)->ReadFromFiler(Reader);
    SetAuxTexCoordIndexA(Reader->ReadInteger());
    SetAuxTexCoordIndexB(Reader->ReadInteger());
  }
}

void TMeshObject::CheckStoredData() const {
  for (int i = 0; i < faceGroups_->Count(); ++i) {
    const std::string fault = (*faceGroups_)[i]->StoredDataFault(*this);
    if (!fault.empty()) RaiseStoredDataFault(this, Format("face group %d : %s", i, fault.c_str()));
  }
}

// ---------------------------------------------------------------------------------------------
// TMorphableMeshObject

TMorphableMeshObject::TMorphableMeshObject() { Init(); }

TMorphableMeshObject::TMorphableMeshObject(TMeshObjectList* AOwner) : TMeshObject(AOwner) { Init(); }

TMorphableMeshObject::~TMorphableMeshObject() = default;

void TMorphableMeshObject::Init() { morphTargets_ = std::make_unique<TMeshMorphTargetList>(this); }

void TMorphableMeshObject::Clear() {
  inherited::Clear();
  morphTargets_->Clear();
}

void TMorphableMeshObject::Translate(const TAffineVector& Delta) {
  inherited::Translate(Delta);
  morphTargets_->Translate(Delta);
}

void TMorphableMeshObject::MorphTo(int Index) {
  if (Index == 0 && morphTargets_->Count() == 0) return;
  RTL_ASSERT(Index >= 0 && Index < morphTargets_->Count());
  TMeshMorphTarget* target = (*morphTargets_)[Index];
  if (target->Vertices()->Count() > 0) Vertices()->Assign(target->Vertices());
  if (target->Normals()->Count() > 0) Normals()->Assign(target->Normals());
}

void TMorphableMeshObject::Lerp(int Index1, int Index2, float LerpFactor) {
  const int n = morphTargets_->Count();
  // Frame 0 of an object without targets is the object as it is (as in MorphTo).
  if (n == 0 && Index1 == 0 && Index2 == 0) return;
  RTL_ASSERT(Index1 >= 0 && Index1 < n && Index2 >= 0 && Index2 < n);
  if (LerpFactor <= 0) {
    MorphTo(Index1);
    return;
  }
  if (LerpFactor >= 1) {
    MorphTo(Index2);
    return;
  }
  TMeshMorphTarget* t1 = (*morphTargets_)[Index1];
  TMeshMorphTarget* t2 = (*morphTargets_)[Index2];
  if (t1->Vertices()->Count() > 0) Vertices()->Lerp(t1->Vertices(), t2->Vertices(), LerpFactor);
  if (t1->Normals()->Count() > 0) {
    Normals()->Lerp(t1->Normals(), t2->Normals(), LerpFactor);
    Normals()->Normalize();
  }
}

void TMorphableMeshObject::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  morphTargets_->WriteToFiler(Writer);
}

void TMorphableMeshObject::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion(Reader, this, 0);
  morphTargets_->ReadFromFiler(Reader);
}

void TMorphableMeshObject::CheckStoredData() const {
  const int n = morphTargets_->Count();
  if (n > 0) {
    // Morphing blends two targets' lists into the object's: all must be the same size.
    const TMeshMorphTarget* first = (*morphTargets_)[0];
    for (int i = 1; i < n; ++i) {
      const TMeshMorphTarget* t = (*morphTargets_)[i];
      if (t->Vertices()->Count() != first->Vertices()->Count())
        RaiseStoredDataFault(this, Format("morph target %d has %d vertices, target 0 has %d", i, t->Vertices()->Count(),
                                          first->Vertices()->Count()));
      if (t->Normals()->Count() != first->Normals()->Count())
        RaiseStoredDataFault(this, Format("morph target %d has %d normals, target 0 has %d", i, t->Normals()->Count(),
                                          first->Normals()->Count()));
    }
    const int vertices = first->Vertices()->Count();
    if (vertices != 0 && vertices != Vertices()->Count())
      RaiseStoredDataFault(this,
                           Format("morph targets have %d vertices, the object has %d", vertices, Vertices()->Count()));
  }
  inherited::CheckStoredData();
}

// ---------------------------------------------------------------------------------------------
// TMeshMorphTarget

TMeshMorphTarget::TMeshMorphTarget(TMeshMorphTargetList* AOwner) : owner_(AOwner) {
  if (AOwner) AOwner->Add(this);
}

void TMeshMorphTarget::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
}

void TMeshMorphTarget::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion(Reader, this, 0);
}

// ---------------------------------------------------------------------------------------------
// Owned item lists

TOwnedItemList::~TOwnedItemList() { TOwnedItemList::Clear(); }

void TOwnedItemList::Clear() {
  // Detached from the list first, so that items leaving their owner find nothing to remove.
  std::vector<TObject*> items(List(), List() + Count());
  inherited::Clear();
  for (TObject* item : items) {
    if (!item) continue;
    // A broken archive may have left items of other classes here.
    if (item->InheritsFrom(ItemClass())) SetItemOwner(item, false);
    delete item;
  }
}

void TOwnedItemList::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  for (int i = 0; i < Count(); ++i) {
    TObject* item = Get(i);
    if (!item || !item->InheritsFrom(ItemClass())) {
      Clear();
      throw EFilerException(ClassName() + " : invalid item class");
    }
  }
  for (int i = 0; i < Count(); ++i) SetItemOwner(Get(i), true);
}

// ---------------------------------------------------------------------------------------------
// TMeshObjectList

void TMeshObjectList::SetItemOwner(TObject* Item, bool Attach) {
  static_cast<TMeshObject*>(Item)->SetOwner(Attach ? this : nullptr);
}

void TMeshObjectList::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  try {
    for (int i = 0; i < Count(); ++i) (*this)[i]->CheckStoredData();
  } catch (...) {
    Clear();  // nothing half-usable is kept
    throw;
  }
  Prepare();
}

void TMeshObjectList::MorphTo(int Index) {
  for (int i = 0; i < Count(); ++i)
    if ((*this)[i]->Is<TMorphableMeshObject>()) static_cast<TMorphableMeshObject*>((*this)[i])->MorphTo(Index);
}

void TMeshObjectList::Lerp(int Index1, int Index2, float LerpFactor) {
  for (int i = 0; i < Count(); ++i)
    if ((*this)[i]->Is<TMorphableMeshObject>())
      static_cast<TMorphableMeshObject*>((*this)[i])->Lerp(Index1, Index2, LerpFactor);
}

int TMeshObjectList::MorphTargetCount() const {
  int result = std::numeric_limits<int>::max();
  for (int i = 0; i < Count(); ++i)
    if ((*this)[i]->Is<TMorphableMeshObject>())
      result = std::min(result, static_cast<TMorphableMeshObject*>((*this)[i])->MorphTargets()->Count());
  return result == std::numeric_limits<int>::max() ? 0 : result;
}

void TMeshObjectList::GetExtents(TAffineVector& Min, TAffineVector& Max) const {
  Min = TAffineVector{{1e30f, 1e30f, 1e30f}};
  Max = TAffineVector{{-1e30f, -1e30f, -1e30f}};
  for (int i = 0; i < Count(); ++i) {
    TAffineVector mn, mx;
    (*this)[i]->GetExtents(mn, mx);
    for (int k = 0; k < 3; ++k) {
      Min[k] = std::min(Min[k], mn[k]);
      Max[k] = std::max(Max[k], mx[k]);
    }
  }
}

void TMeshObjectList::Translate(const TAffineVector& Delta) {
  for (int i = 0; i < Count(); ++i) (*this)[i]->Translate(Delta);
}

TAffineVectorList* TMeshObjectList::ExtractTriangles(TAffineVectorList* TexCoords, TAffineVectorList* Normals) {
  auto result = std::make_unique<TAffineVectorList>();
  for (int i = 0; i < Count(); ++i) {
    TAffineVectorList tc, n;
    std::unique_ptr<TAffineVectorList> part(
        (*this)[i]->ExtractTriangles(TexCoords ? &tc : nullptr, Normals ? &n : nullptr));
    result->AddList(part.get());
    if (TexCoords) TexCoords->AddList(&tc);
    if (Normals) Normals->AddList(&n);
  }
  return result.release();
}

void TMeshObjectList::Prepare() {
  for (int i = 0; i < Count(); ++i) (*this)[i]->Prepare();
}

// ---------------------------------------------------------------------------------------------
// TMeshMorphTargetList

void TMeshMorphTargetList::SetItemOwner(TObject* Item, bool Attach) {
  static_cast<TMeshMorphTarget*>(Item)->SetOwner(Attach ? this : nullptr);
}

void TMeshMorphTargetList::Translate(const TAffineVector& Delta) {
  for (int i = 0; i < Count(); ++i) (*this)[i]->Translate(Delta);
}

// ---------------------------------------------------------------------------------------------
// Face groups

TFaceGroup::TFaceGroup(TFaceGroups* AOwner) : owner_(AOwner) {
  if (AOwner) AOwner->Add(this);
}

TFaceGroup::~TFaceGroup() {
  if (owner_) owner_->Remove(this);
}

TMeshObject* TFaceGroup::MeshObject() const { return owner_ ? owner_->Owner() : nullptr; }

void TFaceGroup::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  if (lightMapIndex_ >= 0) {
    Writer->WriteInteger(1);
    Writer->WriteString(materialName_);
    Writer->WriteInteger(lightMapIndex_);
  } else {
    Writer->WriteInteger(0);
    Writer->WriteString(materialName_);
  }
}

void TFaceGroup::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  const int version = ReadVersion(Reader, this, 1);
  materialName_ = Reader->ReadString();
  lightMapIndex_ = version >= 1 ? Reader->ReadInteger() : -1;
}

unsigned FaceGroupPrimitiveToGL(TFaceGroupPrimitive Mode) noexcept {
  static const unsigned table[] = {4, 5, 4, 6, 7};
  return Mode <= fgpQuads ? table[Mode] : 4;
}

TFGVertexIndexList::TFGVertexIndexList() : vertexIndices_(std::make_unique<TIntegerList>()) {}

TFGVertexIndexList::TFGVertexIndexList(TFaceGroups* AOwner)
    : TFaceGroup(AOwner), vertexIndices_(std::make_unique<TIntegerList>()) {}

TFGVertexIndexList::~TFGVertexIndexList() = default;

int TFGVertexIndexList::TriangleCount() const {
  const int n = vertexIndices_->Count();
  switch (mode_) {
    case fgpTriangles:
    case fgpFlatTriangles: return n / 3;
    case fgpTriangleStrip:
    case fgpTriangleFan: return std::max(0, n - 2);
    case fgpQuads: return (n / 4) * 2;  // as many as a whole number of quads adds
  }
  return 0;
}

void TFGVertexIndexList::ConvertToList() {
  const std::vector<int> corners = CornerPositions(mode_, vertexIndices_->Count());
  auto list = std::make_unique<TIntegerList>();
  list->SetCapacity(static_cast<int>(corners.size()));
  for (int k : corners) list->Add((*vertexIndices_)[k]);
  vertexIndices_ = std::move(list);
  mode_ = fgpTriangles;
}

void TFGVertexIndexList::AddIndexedCorners(const TIntegerList* Indices, const TAffineVectorList* Source,
                                           TAffineVectorList* Target) const {
  if (!Target) return;
  const std::vector<int> corners = CornerPositions(mode_, vertexIndices_->Count());
  if (corners.empty()) return;
  if (!Source || Source->Count() == 0) {
    Target->AddNulls(static_cast<int>(corners.size()));
    return;
  }
  for (int k : corners) {
    RTL_ASSERT(k < Indices->Count(), "Face group index list too short");
    const int idx = (*Indices)[k];
    RTL_ASSERT(idx >= 0 && idx < Source->Count(), "Face group index out of range");
  }
  Target->AdjustCapacityToAtLeast(Target->Count() + static_cast<int>(corners.size()));
  for (int k : corners) Target->Add((*Source)[(*Indices)[k]]);
}

void TFGVertexIndexList::AddToTriangles(TAffineVectorList* AList, TAffineVectorList* ATexCoords,
                                        TAffineVectorList* ANormals) {
  TMeshObject* mo = MeshObject();
  if (!mo) return;
  AddIndexedCorners(vertexIndices_.get(), mo->Vertices(), AList);
  AddIndexedCorners(vertexIndices_.get(), mo->TexCoords(), ATexCoords);
  AddIndexedCorners(vertexIndices_.get(), mo->Normals(), ANormals);
}

void TFGVertexIndexList::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  vertexIndices_->WriteToFiler(Writer);
  Writer->WriteInteger(mode_);
}

void TFGVertexIndexList::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion(Reader, this, 0);
  vertexIndices_->ReadFromFiler(Reader);
  mode_ = static_cast<TFaceGroupPrimitive>(ReadMode(Reader, this, fgpQuads));
}

std::string TFGVertexIndexList::StoredDataFault(const TMeshObject& Object) const {
  return IndexFault("vertex", vertexIndices_.get(), Object.Vertices()->Count(), "vertices");
}

// Drawn corner by corner: quads are not among the primitives (the index-list group draws them).
std::string TFGVertexIndexList::CornerGroupFault(const TMeshObject& Object) const {
  if (mode_ == fgpQuads) return ClassName() + " cannot draw quads";
  return TFGVertexIndexList::StoredDataFault(Object);
}

TFGVertexNormalTexIndexList::TFGVertexNormalTexIndexList()
    : normalIndices_(std::make_unique<TIntegerList>()), texCoordIndices_(std::make_unique<TIntegerList>()) {}

TFGVertexNormalTexIndexList::TFGVertexNormalTexIndexList(TFaceGroups* AOwner)
    : TFGVertexIndexList(AOwner),
      normalIndices_(std::make_unique<TIntegerList>()),
      texCoordIndices_(std::make_unique<TIntegerList>()) {}

TFGVertexNormalTexIndexList::~TFGVertexNormalTexIndexList() = default;

void TFGVertexNormalTexIndexList::AddToTriangles(TAffineVectorList* AList, TAffineVectorList* ATexCoords,
                                                 TAffineVectorList* ANormals) {
  TMeshObject* mo = MeshObject();
  if (!mo) return;
  // An empty index list falls back to the vertex indices, as when drawing.
  auto indices = [this](const TIntegerList* own) { return own->Count() > 0 ? own : VertexIndices(); };
  AddIndexedCorners(VertexIndices(), mo->Vertices(), AList);
  AddIndexedCorners(indices(texCoordIndices_.get()), mo->TexCoords(), ATexCoords);
  AddIndexedCorners(indices(normalIndices_.get()), mo->Normals(), ANormals);
}

void TFGVertexNormalTexIndexList::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  normalIndices_->WriteToFiler(Writer);
  texCoordIndices_->WriteToFiler(Writer);
}

void TFGVertexNormalTexIndexList::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion(Reader, this, 0);
  normalIndices_->ReadFromFiler(Reader);
  texCoordIndices_->ReadFromFiler(Reader);
}

std::string TFGVertexNormalTexIndexList::StoredDataFault(const TMeshObject& Object) const {
  const int n = VertexIndices()->Count();
  std::string fault = CornerGroupFault(Object);
  if (fault.empty()) fault = LengthFault("normal", normalIndices_->Count(), n);
  if (fault.empty()) fault = LengthFault("texture coordinate", texCoordIndices_->Count(), n);
  // Own indices into lists the object has must address them (empty lists are not drawn).
  if (fault.empty() && Object.Normals()->Count() > 0)
    fault = IndexFault("normal", normalIndices_.get(), Object.Normals()->Count(), "normals");
  if (fault.empty() && Object.TexCoords()->Count() > 0)
    fault =
        IndexFault("texture coordinate", texCoordIndices_.get(), Object.TexCoords()->Count(), "texture coordinates");
  return fault;
}

TFGIndexTexCoordList::TFGIndexTexCoordList() : texCoords_(std::make_unique<TAffineVectorList>()) {}

TFGIndexTexCoordList::TFGIndexTexCoordList(TFaceGroups* AOwner)
    : TFGVertexIndexList(AOwner), texCoords_(std::make_unique<TAffineVectorList>()) {}

TFGIndexTexCoordList::~TFGIndexTexCoordList() = default;

void TFGIndexTexCoordList::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  texCoords_->WriteToFiler(Writer);
}

void TFGIndexTexCoordList::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  ReadVersion(Reader, this, 0);
  texCoords_->ReadFromFiler(Reader);
}

std::string TFGIndexTexCoordList::StoredDataFault(const TMeshObject& Object) const {
  std::string fault = CornerGroupFault(Object);
  if (fault.empty() && texCoords_->Count() != VertexIndices()->Count())
    fault = Format("%d texture coordinates for %d vertex indices", texCoords_->Count(), VertexIndices()->Count());
  return fault;
}

void TFaceGroups::SetItemOwner(TObject* Item, bool Attach) {
  static_cast<TFaceGroup*>(Item)->SetOwner(Attach ? this : nullptr);
}

void TFaceGroups::AddToTriangles(TAffineVectorList* AList, TAffineVectorList* ATexCoords, TAffineVectorList* ANormals) {
  for (int i = 0; i < Count(); ++i) (*this)[i]->AddToTriangles(AList, ATexCoords, ANormals);
}

int TFaceGroups::TriangleCount() const {
  int n = 0;
  for (int i = 0; i < Count(); ++i) n += (*this)[i]->TriangleCount();
  return n;
}

void RegisterGLMeshObjectsClasses() {
  RegisterClasses({TMeshObject::StaticClass(), TMeshMorphTarget::StaticClass(), TMorphableMeshObject::StaticClass(),
                   TFaceGroup::StaticClass(), TFGVertexIndexList::StaticClass(),
                   TFGVertexNormalTexIndexList::StaticClass(), TFGIndexTexCoordList::StaticClass()});
}
