// Mesh geometry: mesh objects, morph targets, face groups and their lists, the mesh-file
// formats, the glsm file and the base of mesh scene objects; registration of the mesh classes.
#include "Source/Further/GLVectorFileObjects.h"
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

// ---------------------------------------------------------------------------------------------
// Mesh-file formats

TVectorFileFormatsList::~TVectorFileFormatsList() {
  for (int i = 0; i < Count(); ++i) delete (*this)[i];
  inherited::Clear();
}

void TVectorFileFormatsList::Add(const std::string& Ext, const std::string& Desc, int DescID, TVectorFileClass Class) {
  auto format = std::make_unique<TVectorFileFormat>();
  format->VectorFileClass = Class;
  format->Extension = LowerCase(Ext);
  format->Description = Desc;
  format->DescResID = DescID;
  inherited::Add(format.release());
}

TVectorFileClass TVectorFileFormatsList::FindExt(const std::string& Ext) const {
  const std::string ext = LowerCase(Ext);
  for (int i = Count() - 1; i >= 0; --i)
    if ((*this)[i]->Extension == ext) return (*this)[i]->VectorFileClass;
  return nullptr;
}

TVectorFileClass TVectorFileFormatsList::FindFromFileName(const std::string& FileName) const {
  std::string ext = ExtractFileExt(FileName);
  if (!ext.empty()) ext.erase(0, 1);
  TVectorFileClass result = FindExt(ext);
  if (!result) throw EInvalidVectorFile(Format(glsUnknownExtension, ext, "GLFile" + UpperCase(ext)));
  return result;
}

TVectorFileFormatsList* GetVectorFileFormats() {
  static const std::unique_ptr<TVectorFileFormatsList> formats = std::make_unique<TVectorFileFormatsList>();
  return formats.get();
}

void RegisterVectorFileFormat(const std::string& AExtension, const std::string& ADescription, TVectorFileClass AClass) {
  RegisterClass(AClass);
  GetVectorFileFormats()->Add(AExtension, ADescription, 0, AClass);
}

// ---------------------------------------------------------------------------------------------
// Vector files

TVectorFile::TVectorFile(TPersistent* AOwner) : TDataFile(AOwner), mesh_(nullptr) {
  RTL_ASSERT(AOwner && AOwner->Is<TGLBaseMesh>());
  mesh_ = static_cast<TGLBaseMesh*>(AOwner);
}

TMeshObjectList* TVectorFile::MeshObjects() const { return mesh_->MeshObjects(); }

void TGLGLSMVectorFile::LoadFromStream(TStream* Stream) { MeshObjects()->LoadFromStream(Stream); }

void TGLGLSMVectorFile::SaveToStream(TStream* Stream) { MeshObjects()->SaveToStream(Stream); }

// ---------------------------------------------------------------------------------------------
// TGLBaseMesh

TGLBaseMesh::TGLBaseMesh(TComponent* AOwner)
    : TGLSceneObject(AOwner),
      meshObjects_(std::make_unique<TMeshObjectList>(this)),
      skeleton_(std::make_unique<TSkeleton>(this)),
      autoScaling_(std::make_unique<TGLCoordinates>(this, TVector4f{{1, 1, 1, 1}}, csPoint)) {
  meshObjects_->SetSkeleton(skeleton_.get());
  skeleton_->SetMeshObjects(meshObjects_.get());
  objectStyle_ |= osStateChanging;
}

TGLBaseMesh::~TGLBaseMesh() {
  SetMaterialLibrary(nullptr);
  SetLightmapLibrary(nullptr);
}

void TGLBaseMesh::SetNormalsOrientation(TMeshNormalsOrientation Value) {
  if (Value == normalsOrientation_) return;
  normalsOrientation_ = Value;
  StructureChanged();
}

void TGLBaseMesh::SetMaterialLibrary(TGLMaterialLibrary* Value) {
  if (Value == materialLibrary_) return;
  DropMaterialLibraryCache();
  if (materialLibrary_ && materialLibrary_ != lightmapLibrary_) materialLibrary_->RemoveFreeNotification(this);
  materialLibrary_ = Value;
  if (Value) Value->FreeNotification(this);
  StructureChanged();
}

void TGLBaseMesh::SetLightmapLibrary(TGLMaterialLibrary* Value) {
  if (Value == lightmapLibrary_) return;
  if (lightmapLibrary_ && lightmapLibrary_ != materialLibrary_) lightmapLibrary_->RemoveFreeNotification(this);
  lightmapLibrary_ = Value;
  if (Value) Value->FreeNotification(this);
  StructureChanged();
}

void TGLBaseMesh::SetUseMeshMaterials(bool Value) {
  if (Value == useMeshMaterials_) return;
  useMeshMaterials_ = Value;
  if (!Value) DropMaterialLibraryCache();
  StructureChanged();
}

void TGLBaseMesh::SetAutoCentering(TMeshAutoCenterings Value) {
  if (Value == autoCentering_) return;
  autoCentering_ = Value;
  StructureChanged();
}

void TGLBaseMesh::SetOverlaySkeleton(bool Value) {
  if (Value == overlaySkeleton_) return;
  overlaySkeleton_ = Value;
  StructureChanged();
}

void TGLBaseMesh::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) {
    if (AComponent == materialLibrary_) {
      DropMaterialLibraryCache();
      materialLibrary_ = nullptr;
      StructureChanged();
    }
    if (AComponent == lightmapLibrary_) {
      lightmapLibrary_ = nullptr;
      StructureChanged();
    }
  }
  inherited::Notification(AComponent, Operation);
}

std::unique_ptr<TVectorFile> TGLBaseMesh::CreateVectorFile(const std::string& FileName) {
  TVectorFileClass cls = GetVectorFileFormats()->FindFromFileName(FileName);
  std::unique_ptr<TVectorFile> file(static_cast<TVectorFile*>(cls->Create(this)));
  file->SetResourceName(FileName);
  PrepareVectorFile(file.get());
  return file;
}

void TGLBaseMesh::PrepareVectorFile(TVectorFile* AFile) { AFile->SetNormalsOrientation(normalsOrientation_); }

void TGLBaseMesh::LoadData(const std::string& FileName, TStream* Stream) {
  std::unique_ptr<TVectorFile> file = CreateVectorFile(FileName);
  TGLSceneGraph* scene = Scene();
  if (scene) scene->BeginUpdate();
  TScopeExit endUpdate([scene] {
    if (scene) scene->EndUpdate();
  });
  file->LoadFromStream(Stream);
}

void TGLBaseMesh::LoadFromFile(const std::string& FileName) {
  if (FileName.empty()) return;
  std::unique_ptr<TStream> stream = CreateFileStream(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(FileName, stream.get());
}

void TGLBaseMesh::LoadFromStream(const std::string& FileName, TStream* Stream) {
  if (FileName.empty()) return;
  meshObjects_->Clear();
  skeleton_->Clear();
  try {
    LoadData(FileName, Stream);
  } catch (...) {
    // A half-read mesh is not kept: the mesh stays empty.
    meshObjects_->Clear();
    StructureChanged();
    throw;
  }
  PerformAutoScaling();
  PerformAutoCentering();
  PrepareMesh();
}

void TGLBaseMesh::SaveToFile(const std::string& FileName) {
  if (FileName.empty()) return;
  std::unique_ptr<TVectorFile> file = CreateVectorFile(FileName);
  file->SaveToFile(FileName);
}

void TGLBaseMesh::SaveToStream(const std::string& FileName, TStream* Stream) {
  if (FileName.empty()) return;
  CreateVectorFile(FileName)->SaveToStream(Stream);
}

void TGLBaseMesh::AddDataFromFile(const std::string& FileName) {
  if (FileName.empty()) return;
  std::unique_ptr<TStream> stream = CreateFileStream(FileName, fmOpenRead | fmShareDenyWrite);
  AddDataFromStream(FileName, stream.get());
}

void TGLBaseMesh::AddDataFromStream(const std::string& FileName, TStream* Stream) {
  if (FileName.empty()) return;
  // The format reads into a list of its own, so that what is there is kept.
  TGLFreeForm scratch(nullptr);
  scratch.SetNormalsOrientation(normalsOrientation_);
  scratch.LoadData(FileName, Stream);
  TMeshObjectList* added = scratch.MeshObjects();
  while (added->Count() > 0) {
    TMeshObject* mo = (*added)[0];
    added->Delete(0);
    mo->SetOwner(meshObjects_.get());
    meshObjects_->Add(mo);
  }
  meshObjects_->Prepare();
  PrepareMesh();
}

void TGLBaseMesh::PerformAutoCentering() {
  TAffineVector delta{{0, 0, 0}};
  if (autoCentering_ & (1 << macUseBarycenter)) {
    TAffineVector sum{{0, 0, 0}};
    int count = 0;
    for (int i = 0; i < meshObjects_->Count(); ++i) (*meshObjects_)[i]->ContributeToBarycenter(sum, count);
    if (count > 0) delta = AffineVectorScaled(sum, -1.0f / float(count));
  } else {
    const float inf = std::numeric_limits<float>::infinity();
    TAffineVector mn{{inf, inf, inf}}, mx{{-inf, -inf, -inf}};
    for (int i = 0; i < meshObjects_->Count(); ++i) {
      TAffineVector a, b;
      (*meshObjects_)[i]->GetExtents(a, b);
      for (int k = 0; k < 3; ++k) {
        mn[k] = std::min(mn[k], a[k]);
        mx[k] = std::max(mx[k], b[k]);
      }
    }
    for (int k = 0; k < 3; ++k)
      if ((autoCentering_ & (1 << k)) && mn[k] <= mx[k]) delta[k] = -(mn[k] + mx[k]) * 0.5f;
  }
  meshObjects_->Translate(delta);
}

void TGLBaseMesh::PerformAutoScaling() {
  const TVector4f& s = autoScaling_->AsVector();
  if (s[0] == 1 && s[1] == 1 && s[2] == 1) return;
  const TAffineVector factor{{s[0], s[1], s[2]}};
  for (int i = 0; i < meshObjects_->Count(); ++i) (*meshObjects_)[i]->Vertices()->ScaleByVector(factor);
}

void TGLBaseMesh::PrepareMaterialLibraryCache() {
  meshObjects_->PrepareMaterialLibraryCache(materialLibrary_);
  materialLibraryCachesPrepared_ = true;
}

void TGLBaseMesh::DropMaterialLibraryCache() {
  if (!materialLibraryCachesPrepared_) return;
  meshObjects_->DropMaterialLibraryCache();
  materialLibraryCachesPrepared_ = false;
}

void TGLBaseMesh::PrepareBuildList(TRenderContextInfo& rci) {
  meshObjects_->PrepareBuildList(rci);
  if (lightmapLibrary_) lightmapLibrary_->Materials()->PrepareTextures();
}

void TGLBaseMesh::StructureChanged() {
  dimensions_[0] = -1;
  DropMaterialLibraryCache();
  meshObjects_->Prepare();
  MarkStructureChanged();
}

TVector4f TGLBaseMesh::AxisAlignedDimensionsUnscaled() {
  if (dimensions_[0] < 0) {
    TAffineVector mn, mx;
    meshObjects_->GetExtents(mn, mx);
    // A mesh without vertices has no extent (its extents are still the empty box).
    for (int k = 0; k < 3; ++k) dimensions_[k] = mn[k] <= mx[k] ? std::max(std::fabs(mn[k]), std::fabs(mx[k])) : 0.0f;
    dimensions_[3] = 0;
  }
  return dimensions_;
}

void TGLBaseMesh::BuildList(TRenderContextInfo& rci) { meshObjects_->BuildList(rci); }

void TGLBaseMesh::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  if (renderSelf) {
    RTL_ASSERT(normalsOrientation_ == mnoDefault || normalsOrientation_ == mnoInvert);
    const bool invert = normalsOrientation_ == mnoInvert && rci.GLStates;
    if (invert) rci.GLStates->ToggleFrontFace();
    TScopeExit restore([&rci, invert, library = rci.materialLibrary, lightmaps = rci.lightmapLibrary] {
      if (invert) rci.GLStates->ToggleFrontFace();
      rci.materialLibrary = library;
      rci.lightmapLibrary = lightmaps;
    });
    auto draw = [&] {
      if ((ObjectStyle() & osDirectDraw) || rci.amalgamating)
        BuildList(rci);
      else
        GL.glCallList(GetListHandle(rci));
    };
    if (!rci.ignoreMaterials) {
      if (useMeshMaterials_ && materialLibrary_) {
        rci.materialLibrary = materialLibrary_;
        if (!materialLibraryCachesPrepared_) PrepareMaterialLibraryCache();
      } else {
        rci.materialLibrary = nullptr;
      }
      rci.lightmapLibrary = lightmapLibrary_;
      if (rci.amalgamating || (!(ObjectStyle() & osDirectDraw) && !HasValidListHandle())) PrepareBuildList(rci);
      DrawUnderMaterial(*Material(), rci, draw);
      rci.materialLibrary = nullptr;
    } else {
      draw();
    }
  }
  if (renderChildren && GetChildCount() > 0) RenderChildren(0, GetChildCount() - 1, rci);
}

bool TGLBaseMesh::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint,
                                   TVector4f* intersectNormal) {
  std::unique_ptr<TAffineVectorList> tris(meshObjects_->ExtractTriangles());
  const TVector4f localStart = AbsoluteToLocalAffine(rayStart);
  const TVector4f localVector = AbsoluteToLocalVector(rayVector);
  bool found = false;
  float best = 0;
  TVector4f bestPoint{}, bestNormal{};
  for (int i = 0; i + 2 < tris->Count(); i += 3) {
    TVector4f p, n;
    if (!RayCastTriangleIntersect(localStart, localVector, (*tris)[i], (*tris)[i + 1], (*tris)[i + 2], &p, &n))
      continue;
    const float d = AffineVectorDistanceSquared(AffineVectorMake(localStart), AffineVectorMake(p));
    if (!found || d < best) {
      found = true;
      best = d;
      bestPoint = p;
      bestNormal = n;
    }
  }
  if (!found) return false;
  if (intersectPoint) *intersectPoint = LocalToAbsolute(PointMake(bestPoint[0], bestPoint[1], bestPoint[2]));
  if (intersectNormal) {
    TVector4f n = LocalToAbsoluteVector(VectorMake(bestNormal[0], bestNormal[1], bestNormal[2]));
    if (normalsOrientation_ == mnoInvert) n = VectorScaled(n, -1);
    *intersectNormal = n;
  }
  return true;
}

TGLSilhouette* TGLBaseMesh::GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) {
  TGLBaseMeshConnectivity connectivity(this);
  std::unique_ptr<TGLSilhouette> silhouette;
  connectivity.CreateSilhouette(silhouetteParameters, silhouette, false);
  return silhouette.release();
}

void TGLBaseMesh::DestroyHandle() {
  if (materialLibrary_) materialLibrary_->DestroyTextureHandles();
  if (lightmapLibrary_) lightmapLibrary_->DestroyTextureHandles();
  inherited::DestroyHandle();
}

void TGLBaseMesh::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLBaseMesh>()) {
    auto* other = static_cast<TGLBaseMesh*>(Source);
    skeleton_->Clear();
    normalsOrientation_ = other->normalsOrientation_;
    SetMaterialLibrary(other->materialLibrary_);
    SetLightmapLibrary(other->lightmapLibrary_);
    dimensions_ = other->dimensions_;
    useMeshMaterials_ = other->useMeshMaterials_;
    overlaySkeleton_ = other->overlaySkeleton_;
    autoCentering_ = other->autoCentering_;
    autoScaling_->Assign(other->autoScaling_.get());
    skeleton_->LoadFromString(other->skeleton_->SaveToString());
    skeleton_->RootBones()->PrepareGlobalMatrices();
    meshObjects_->LoadFromString(other->meshObjects_->SaveToString());
  }
  inherited::Assign(Source);
}

namespace {

void RegisterPublishedMeshProperties() {
  static const std::vector<std::string> orientations{"mnoDefault", "mnoInvert"};
  static const std::vector<std::string> centerings{"macCenterX", "macCenterY", "macCenterZ", "macUseBarycenter"};
  TPublished<TGLFreeForm>()
      .Set("AutoCentering", &TGLBaseMesh::AutoCentering, &TGLBaseMesh::SetAutoCentering, centerings, 0)
      .Object("AutoScaling", &TGLBaseMesh::AutoScaling)
      .Component("MaterialLibrary", &TGLBaseMesh::MaterialLibrary, &TGLBaseMesh::SetMaterialLibrary)
      .Component("LightmapLibrary", &TGLBaseMesh::LightmapLibrary, &TGLBaseMesh::SetLightmapLibrary)
      .Boolean("UseMeshMaterials", &TGLBaseMesh::UseMeshMaterials, &TGLBaseMesh::SetUseMeshMaterials, true)
      .Enum("NormalsOrientation", &TGLBaseMesh::NormalsOrientation, &TGLBaseMesh::SetNormalsOrientation, orientations,
            mnoDefault);
  TPublished<TGLActor>()
      .Integer("StartFrame", &TGLActor::StartFrame, &TGLActor::SetStartFrame, 0)
      .Integer("EndFrame", &TGLActor::EndFrame, &TGLActor::SetEndFrame, 0)
      .Enum("Reference", &TGLActor::Reference, &TGLActor::SetReference, {"aarMorph", "aarSkeleton", "aarNone"},
            aarMorph)
      .Integer("CurrentFrame", &TGLActor::CurrentFrame, &TGLActor::SetCurrentFrame, 0)
      .Float("CurrentFrameDelta", &TGLActor::CurrentFrameDelta, &TGLActor::SetCurrentFrameDelta, 0.0)
      .Enum("FrameInterpolation", &TGLActor::FrameInterpolation, &TGLActor::SetFrameInterpolation,
            {"afpNone", "afpLinear"}, afpLinear)
      .Enum("AnimationMode", &TGLActor::AnimationMode, &TGLActor::SetAnimationMode,
            {"aamNone", "aamPlayOnce", "aamLoop", "aamBounceForward", "aamBounceBackward", "aamLoopBackward",
             "aamExternal"},
            aamNone)
      .Integer("Interval", &TGLActor::Interval, &TGLActor::SetInterval, 100)
      .Set("Options", &TGLActor::Options, &TGLActor::SetOptions, {"aoSkeletonNormalizeNormals"}, 1)
      .Event("OnFrameChanged")
      .Event("OnEndFrameReached")
      .Event("OnStartFrameReached")
      .Object("Animations", &TGLActor::Animations)
      .StoredIf([](TGLActor* a) { return a->Animations()->Count() > 0; })
      .Set("AutoCentering", &TGLBaseMesh::AutoCentering, &TGLBaseMesh::SetAutoCentering, centerings, 0)
      .Component("MaterialLibrary", &TGLBaseMesh::MaterialLibrary, &TGLBaseMesh::SetMaterialLibrary)
      .Component("LightmapLibrary", &TGLBaseMesh::LightmapLibrary, &TGLBaseMesh::SetLightmapLibrary)
      .Boolean("UseMeshMaterials", &TGLBaseMesh::UseMeshMaterials, &TGLBaseMesh::SetUseMeshMaterials, true)
      .Enum("NormalsOrientation", &TGLBaseMesh::NormalsOrientation, &TGLBaseMesh::SetNormalsOrientation, orientations,
            mnoDefault)
      .Boolean("OverlaySkeleton", &TGLBaseMesh::OverlaySkeleton, &TGLBaseMesh::SetOverlaySkeleton, false);
  TPublished<TActorAnimation>()
      .String("Name", &TActorAnimation::Name, &TActorAnimation::SetName)
      .Integer("StartFrame", &TActorAnimation::StartFrame, &TActorAnimation::SetStartFrame, 0)
      .Integer("EndFrame", &TActorAnimation::EndFrame, &TActorAnimation::SetEndFrame, 0)
      .Enum("Reference", &TActorAnimation::Reference, &TActorAnimation::SetReference,
            {"aarMorph", "aarSkeleton", "aarNone"}, aarMorph);
  TPublished<TGLBaseAnimationControler>()
      .Boolean("Enabled", &TGLBaseAnimationControler::Enabled, &TGLBaseAnimationControler::SetEnabled, true)
      .Component("Actor", &TGLBaseAnimationControler::Actor, &TGLBaseAnimationControler::SetActor);
  TPublished<TGLAnimationControler>()
      .String("AnimationName", &TGLAnimationControler::AnimationName, &TGLAnimationControler::SetAnimationName)
      .Float("Ratio", &TGLAnimationControler::Ratio, &TGLAnimationControler::SetRatio, 0.0);
}

}  // namespace

void RegisterGLVectorFileObjects() {
  if (!GetVectorFileFormats()->FindExt("glsm"))
    RegisterVectorFileFormat("glsm", "Scene Mesh", TGLGLSMVectorFile::StaticClass());
  RegisterClasses({TActorAnimation::StaticClass(), TGLBaseAnimationControler::StaticClass()});
  RegisterClasses({TGLFreeForm::StaticClass(), TGLActor::StaticClass(), TGLAnimationControler::StaticClass(),
                   TSkeleton::StaticClass(), TSkeletonFrame::StaticClass(), TSkeletonBone::StaticClass(),
                   TSkeletonMeshObject::StaticClass(), TMeshObject::StaticClass(), TSkeletonFrameList::StaticClass(),
                   TMeshMorphTarget::StaticClass(), TMorphableMeshObject::StaticClass(), TFaceGroup::StaticClass(),
                   TFGVertexIndexList::StaticClass(), TFGVertexNormalTexIndexList::StaticClass(),
                   TFGIndexTexCoordList::StaticClass(), TSkeletonCollider::StaticClass(),
                   TSkeletonColliderList::StaticClass()});
  RegisterPublishedMeshProperties();
}
