#include "Source/Further/GLVectorFileObjects.h"

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

namespace {

int ReadVersion(TVirtualReader* Reader, const TPersistentObject* Self, int MaxVersion) {
    const int version = Reader->ReadInteger();
    if (version < 0 || version > MaxVersion)
        Self->RaiseFilerException(version);
    return version;
}

// A count read from an archive: negative counts are broken data.
int ReadCount(TVirtualReader* Reader) {
    const int n = Reader->ReadInteger();
    if (n < 0)
        throw EReadError("Stream read error");
    return n;
}

// A mode enumeration stored as an integer: anything but 0 ... MaxMode is broken data.
int ReadMode(TVirtualReader* Reader, const TPersistentObject* Self, int MaxMode) {
    const int mode = Reader->ReadInteger();
    if (mode < 0 || mode > MaxMode)
        throw EReadError(Format("%s : invalid mode %d", Self->ClassName().c_str(), mode));
    return mode;
}

// Stored data that would fail at every draw is refused when read, naming the object.
[[noreturn]] void RaiseStoredDataFault(const TBaseMeshObject* Object, const std::string& What) {
    throw EReadError(Format("%s \"%s\" : %s", Object->ClassName().c_str(), Object->Name().c_str(), What.c_str()));
}

// Empty when every entry of List addresses one of Count items, else the first one that does not.
std::string IndexFault(const char* What, const TIntegerList* List, int Count, const char* Items) {
    for (int i = 0; i < List->Count(); ++i) {
        const int v = (*List)[i];
        if (v < 0 || v >= Count)
            return Format("%s index %d outside the %d %s", What, v, Count, Items);
    }
    return {};
}

// Empty when an index list of Count entries may serve VertexIndices entries, else why not.
std::string LengthFault(const char* What, int Count, int VertexIndices) {
    if (Count == 0 || Count >= VertexIndices)
        return {};
    return Format("%d %s indices for %d vertex indices", Count, What, VertexIndices);
}

TMatrix4f WithoutTranslation(TMatrix4f m) {
    m[3] = TVector4f{{0, 0, 0, 1}};
    return m;
}

// Positions (into an index list of Count entries) of the triangle corners of a face group.
std::vector<int> CornerPositions(TFaceGroupPrimitive Mode, int Count) {
    std::vector<int> corners;
    if (Count < 3)
        return corners;
    switch (Mode) {
    case fgpTriangles:
    case fgpFlatTriangles:
        for (int k = 0; k < (Count / 3) * 3; ++k)
            corners.push_back(k);
        break;
    case fgpTriangleStrip:
        for (int i = 0; i <= Count - 3; ++i) {
            if (i % 2 == 0)
                corners.insert(corners.end(), {i, i + 1, i + 2});
            else
                corners.insert(corners.end(), {i + 2, i + 1, i});
        }
        break;
    case fgpTriangleFan:
        for (int i = 2; i < Count; ++i)
            corners.insert(corners.end(), {0, i - 1, i});
        break;
    case fgpQuads:
        for (int q = 0; q < Count / 4; ++q) {
            const int a = 4 * q;
            corners.insert(corners.end(), {a, a + 1, a + 2, a, a + 2, a + 3});
        }
        break;
    default:
        RTL_ASSERT(false, "Unknown face group mode");
    }
    return corners;
}

} // namespace

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

TAffineVectorList* TBaseMeshObject::ExtractTriangles(TAffineVectorList* /*TexCoords*/,
                                                     TAffineVectorList* Normals) {
    auto result = std::make_unique<TAffineVectorList>();
    if (vertices_->Count() % 3 == 0)
        result->Assign(vertices_.get());
    if (Normals)
        Normals->Assign(normals_.get());
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
    if (AOwner)
        AOwner->Add(this);
}

TMeshObject::~TMeshObject() = default;

TVectorList* TMeshObject::TexCoordsEx(int Index) {
    RTL_ASSERT(Index >= 0);
    while (static_cast<int>(texCoordsEx_.size()) <= Index)
        texCoordsEx_.push_back(std::make_unique<TVectorList>());
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
    for (auto& list : texCoordsEx_)
        list->Clear();
}

TAffineVectorList* TMeshObject::ExtractTriangles(TAffineVectorList* TexCoords, TAffineVectorList* Normals) {
    switch (mode_) {
    case mdmTriangles: {
        TAffineVectorList* result = inherited::ExtractTriangles(TexCoords, Normals);
        if (TexCoords)
            TexCoords->Assign(texCoords_.get());
        return result;
    }
    case mdmTriangleStrip: {
        auto result = std::make_unique<TAffineVectorList>();
        ConvertStripToList(Vertices(), result.get());
        if (TexCoords)
            ConvertStripToList(texCoords_.get(), TexCoords);
        if (Normals)
            ConvertStripToList(this->Normals(), Normals);
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
    case mdmTriangles:
        return Vertices()->Count() / 3;
    case mdmTriangleStrip:
        return std::max(0, Vertices()->Count() - 2);
    case mdmFaceGroups:
        return faceGroups_->TriangleCount();
    }
    return 0;
}

bool TMeshObject::PointInObject(const TAffineVector& P) const {
    TAffineVector mn, mx;
    GetExtents(mn, mx);
    for (int k = 0; k < 3; ++k)
        if (P[k] < mn[k] || P[k] > mx[k])
            return false;
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
    for (auto& list : texCoordsEx_)
        list->WriteToFiler(Writer);
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
        for (int i = 0; i < n; ++i)
            TexCoordsEx(i)->ReadFromFiler(Reader);
        SetAuxTexCoordIndexA(Reader->ReadInteger());
        SetAuxTexCoordIndexB(Reader->ReadInteger());
    }
}

void TMeshObject::CheckStoredData() const {
    for (int i = 0; i < faceGroups_->Count(); ++i) {
        const std::string fault = (*faceGroups_)[i]->StoredDataFault(*this);
        if (!fault.empty())
            RaiseStoredDataFault(this, Format("face group %d : %s", i, fault.c_str()));
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
    if (Index == 0 && morphTargets_->Count() == 0)
        return;
    RTL_ASSERT(Index >= 0 && Index < morphTargets_->Count());
    TMeshMorphTarget* target = (*morphTargets_)[Index];
    if (target->Vertices()->Count() > 0)
        Vertices()->Assign(target->Vertices());
    if (target->Normals()->Count() > 0)
        Normals()->Assign(target->Normals());
}

void TMorphableMeshObject::Lerp(int Index1, int Index2, float LerpFactor) {
    const int n = morphTargets_->Count();
    // Frame 0 of an object without targets is the object as it is (as in MorphTo).
    if (n == 0 && Index1 == 0 && Index2 == 0)
        return;
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
    if (t1->Vertices()->Count() > 0)
        Vertices()->Lerp(t1->Vertices(), t2->Vertices(), LerpFactor);
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
                RaiseStoredDataFault(this, Format("morph target %d has %d vertices, target 0 has %d", i,
                                                  t->Vertices()->Count(), first->Vertices()->Count()));
            if (t->Normals()->Count() != first->Normals()->Count())
                RaiseStoredDataFault(this, Format("morph target %d has %d normals, target 0 has %d", i,
                                                  t->Normals()->Count(), first->Normals()->Count()));
        }
        const int vertices = first->Vertices()->Count();
        if (vertices != 0 && vertices != Vertices()->Count())
            RaiseStoredDataFault(this, Format("morph targets have %d vertices, the object has %d", vertices,
                                              Vertices()->Count()));
    }
    inherited::CheckStoredData();
}

// ---------------------------------------------------------------------------------------------
// TMeshMorphTarget

TMeshMorphTarget::TMeshMorphTarget(TMeshMorphTargetList* AOwner) : owner_(AOwner) {
    if (AOwner)
        AOwner->Add(this);
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
        if (!item)
            continue;
        // A broken archive may have left items of other classes here.
        if (item->InheritsFrom(ItemClass()))
            SetItemOwner(item, false);
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
    for (int i = 0; i < Count(); ++i)
        SetItemOwner(Get(i), true);
}

// ---------------------------------------------------------------------------------------------
// TMeshObjectList

void TMeshObjectList::SetItemOwner(TObject* Item, bool Attach) {
    static_cast<TMeshObject*>(Item)->SetOwner(Attach ? this : nullptr);
}

void TMeshObjectList::ReadFromFiler(TVirtualReader* Reader) {
    inherited::ReadFromFiler(Reader);
    try {
        for (int i = 0; i < Count(); ++i)
            (*this)[i]->CheckStoredData();
    } catch (...) {
        Clear();  // nothing half-usable is kept
        throw;
    }
    Prepare();
}

void TMeshObjectList::MorphTo(int Index) {
    for (int i = 0; i < Count(); ++i)
        if ((*this)[i]->Is<TMorphableMeshObject>())
            static_cast<TMorphableMeshObject*>((*this)[i])->MorphTo(Index);
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
    for (int i = 0; i < Count(); ++i)
        (*this)[i]->Translate(Delta);
}

TAffineVectorList* TMeshObjectList::ExtractTriangles(TAffineVectorList* TexCoords, TAffineVectorList* Normals) {
    auto result = std::make_unique<TAffineVectorList>();
    for (int i = 0; i < Count(); ++i) {
        TAffineVectorList tc, n;
        std::unique_ptr<TAffineVectorList> part(
            (*this)[i]->ExtractTriangles(TexCoords ? &tc : nullptr, Normals ? &n : nullptr));
        result->AddList(part.get());
        if (TexCoords)
            TexCoords->AddList(&tc);
        if (Normals)
            Normals->AddList(&n);
    }
    return result.release();
}

void TMeshObjectList::Prepare() {
    for (int i = 0; i < Count(); ++i)
        (*this)[i]->Prepare();
}

// ---------------------------------------------------------------------------------------------
// TMeshMorphTargetList

void TMeshMorphTargetList::SetItemOwner(TObject* Item, bool Attach) {
    static_cast<TMeshMorphTarget*>(Item)->SetOwner(Attach ? this : nullptr);
}

void TMeshMorphTargetList::Translate(const TAffineVector& Delta) {
    for (int i = 0; i < Count(); ++i)
        (*this)[i]->Translate(Delta);
}

// ---------------------------------------------------------------------------------------------
// Face groups

TFaceGroup::TFaceGroup(TFaceGroups* AOwner) : owner_(AOwner) {
    if (AOwner)
        AOwner->Add(this);
}

TFaceGroup::~TFaceGroup() {
    if (owner_)
        owner_->Remove(this);
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
    case fgpFlatTriangles:
        return n / 3;
    case fgpTriangleStrip:
    case fgpTriangleFan:
        return std::max(0, n - 2);
    case fgpQuads:
        return (n / 4) * 2;  // as many as a whole number of quads adds
    }
    return 0;
}

void TFGVertexIndexList::ConvertToList() {
    const std::vector<int> corners = CornerPositions(mode_, vertexIndices_->Count());
    auto list = std::make_unique<TIntegerList>();
    list->SetCapacity(static_cast<int>(corners.size()));
    for (int k : corners)
        list->Add((*vertexIndices_)[k]);
    vertexIndices_ = std::move(list);
    mode_ = fgpTriangles;
}

void TFGVertexIndexList::AddIndexedCorners(const TIntegerList* Indices, const TAffineVectorList* Source,
                                           TAffineVectorList* Target) const {
    if (!Target)
        return;
    const std::vector<int> corners = CornerPositions(mode_, vertexIndices_->Count());
    if (corners.empty())
        return;
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
    for (int k : corners)
        Target->Add((*Source)[(*Indices)[k]]);
}

void TFGVertexIndexList::AddToTriangles(TAffineVectorList* AList, TAffineVectorList* ATexCoords,
                                        TAffineVectorList* ANormals) {
    TMeshObject* mo = MeshObject();
    if (!mo)
        return;
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
    if (mode_ == fgpQuads)
        return ClassName() + " cannot draw quads";
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
    if (!mo)
        return;
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
    if (fault.empty())
        fault = LengthFault("normal", normalIndices_->Count(), n);
    if (fault.empty())
        fault = LengthFault("texture coordinate", texCoordIndices_->Count(), n);
    // Own indices into lists the object has must address them (empty lists are not drawn).
    if (fault.empty() && Object.Normals()->Count() > 0)
        fault = IndexFault("normal", normalIndices_.get(), Object.Normals()->Count(), "normals");
    if (fault.empty() && Object.TexCoords()->Count() > 0)
        fault = IndexFault("texture coordinate", texCoordIndices_.get(), Object.TexCoords()->Count(),
                           "texture coordinates");
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

void TFaceGroups::AddToTriangles(TAffineVectorList* AList, TAffineVectorList* ATexCoords,
                                 TAffineVectorList* ANormals) {
    for (int i = 0; i < Count(); ++i)
        (*this)[i]->AddToTriangles(AList, ATexCoords, ANormals);
}

int TFaceGroups::TriangleCount() const {
    int n = 0;
    for (int i = 0; i < Count(); ++i)
        n += (*this)[i]->TriangleCount();
    return n;
}

// ---------------------------------------------------------------------------------------------
// TSkeletonFrame

TSkeletonFrame::TSkeletonFrame()
    : position_(std::make_unique<TAffineVectorList>()),
      rotation_(std::make_unique<TAffineVectorList>()),
      quaternion_(std::make_unique<TQuaternionList>()) {}

TSkeletonFrame::~TSkeletonFrame() = default;

const std::vector<TMatrix4f>& TSkeletonFrame::LocalMatrixList() {
    if (localMatrices_)
        return *localMatrices_;
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
            if (r[0] != 0)
                m = CreateRotationMatrixX(std::sin(r[0]), std::cos(r[0]));
            if (r[1] != 0)
                m = MatrixMultiply(m, CreateRotationMatrixY(std::sin(r[1]), std::cos(r[1])));
            if (r[2] != 0)
                m = MatrixMultiply(m, CreateRotationMatrixZ(std::sin(r[2]), std::cos(r[2])));
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
    if (Attach)
        bone->AttachSkeleton(skeleton_);
}

void TSkeletonBoneList::AttachSkeleton(TSkeleton* Value) {
    skeleton_ = Value;
    for (int i = 0; i < Count(); ++i)
        (*this)[i]->AttachSkeleton(Value);
}

TSkeletonBone* TSkeletonBoneList::BoneByID(int ID) {
    for (int i = 0; i < Count(); ++i)
        if (TSkeletonBone* bone = (*this)[i]->BoneByID(ID))
            return bone;
    return nullptr;
}

TSkeletonBone* TSkeletonBoneList::BoneByName(const std::string& Name) {
    for (int i = 0; i < Count(); ++i)
        if (TSkeletonBone* bone = (*this)[i]->BoneByName(Name))
            return bone;
    return nullptr;
}

void TSkeletonBoneList::PrepareGlobalMatrices() {
    for (int i = 0; i < Count(); ++i)
        (*this)[i]->PrepareGlobalMatrices();
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
        if (skeleton_)
            skeleton_->FlushBoneByIDCache();
    }
}

TSkeletonBone::~TSkeletonBone() {
    if (!owner_)
        return;  // freed by its list (or never in one)
    owner_->Remove(this);
    if (!skeleton_)
        return;
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
            if (boneID_ >= 0 && boneID_ < static_cast<int>(list.size()))
                local = list[static_cast<std::size_t>(boneID_)];
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
    if (AOwner)
        AOwner->Add(this);
}

void TSkeletonCollider::AlignCollider() {
    if (!bone_) {
        globalMatrix_ = localMatrix_;
        return;
    }
    globalMatrix_ = MatrixMultiply(localMatrix_, bone_->GlobalMatrix());
    if (TSkeleton* skeleton = bone_->Skeleton())
        if (TGLBaseMesh* mesh = skeleton->Owner())
            globalMatrix_ = MatrixMultiply(globalMatrix_, mesh->AbsoluteMatrix());
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
        if ((*this)[i]->AutoUpdate())
            (*this)[i]->AlignCollider();
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
            if (info.weight != 1)
                frame->Position()->Scale(info.weight);
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
    if (!meshObjects_ || meshObjects_->Count() == 0)
        return;
    for (int i = 0; i < meshObjects_->Count(); ++i)
        if ((*meshObjects_)[i]->Is<TSkeletonMeshObject>()) {
            auto* skinned = static_cast<TSkeletonMeshObject*>((*meshObjects_)[i]);
            if (skinned->WaitsForBones())
                BindToRestPose(skinned);
        }
    rootBones_->PrepareGlobalMatrices();
    if (colliders_->Count() > 0)
        colliders_->AlignColliders();
    for (int i = 0; i < meshObjects_->Count(); ++i)
        if ((*meshObjects_)[i]->Is<TSkeletonMeshObject>())
            static_cast<TSkeletonMeshObject*>((*meshObjects_)[i])->ApplyCurrentSkeletonFrame(NormalizeNormals);
}

void TSkeleton::BindToRestPose(TSkeletonMeshObject* Object) {
    struct KeepCurrentFrame {
        TSkeleton* self;
        std::unique_ptr<TSkeletonFrame> saved;
        ~KeepCurrentFrame() {
            self->currentFrame_ = std::move(saved);
            self->rootBones_->PrepareGlobalMatrices();
        }
    } keep{this, std::move(currentFrame_)};
    rootBones_->PrepareGlobalMatrices();  // the current frame is now a copy of frame 0
    Object->PrepareBoneMatchingMeshObjects();
}

void TSkeleton::Synchronize(TSkeleton* Reference) {
    if (TSkeletonFrame* frame = Reference->CurrentFrame())
        SetCurrentFrame(frame);
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
            if (TSkeletonBone* bone = BoneByID(collider->BoneID()))
                collider->SetBone(bone);
    }
}

void TSkeleton::WriteToFiler(TVirtualWriter* Writer) {
    inherited::WriteToFiler(Writer);
    const int version = colliders_->Count() > 0 ? 1 : 0;
    Writer->WriteInteger(version);
    rootBones_->WriteToFiler(Writer);
    frames_->WriteToFiler(Writer);
    if (version == 1)
        colliders_->WriteToFiler(Writer);
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
            if (count == expected)
                return;
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
    if (Value != weightCount_)
        ResizeWeights(Value, bonesPerVertex_);
}

void TSkeletonMeshObject::SetBonesPerVertex(int Value) {
    if (Value != bonesPerVertex_)
        ResizeWeights(weightCount_, Value);
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
    for (std::size_t k = 0; k < Weights.size(); ++k)
        weights_[std::size_t(n) * bonesPerVertex_ + k] = Weights[k];
    return n;
}

void TSkeletonMeshObject::PrepareBoneMatchingMeshObjects() {
    boneMatching_.clear();
    TSkeleton* skeleton = Skeleton();
    std::unordered_map<int, std::pair<TMatrix4f, TMatrix4f>> inverses;  // per bone ID
    auto inverseOf = [&](int boneID) -> const std::pair<TMatrix4f, TMatrix4f>& {
        auto it = inverses.find(boneID);
        if (it != inverses.end())
            return it->second;
        TMatrix4f m = IdentityHmgMatrix;
        if (skeleton)
            if (TSkeletonBone* bone = skeleton->BoneByID(boneID))
                m = bone->GlobalMatrix();
        MatrixInvert(m);
        return inverses.emplace(boneID, std::make_pair(m, WithoutTranslation(m))).first->second;
    };
    bonesMissing_ = false;
    if (weightCount_ == 0)
        return;
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
            if (!skeleton || !skeleton->BoneByID(boneID))
                bonesMissing_ = true;
            const auto& inv = inverseOf(boneID);
            v->Add(AffineVectorTransform((*Vertices())[i], inv.first));
            if (i < normalCount)
                n->Add(AffineVectorTransform((*Normals())[i], inv.second));
        }
        boneMatching_.push_back(std::move(obj));
    }
}

bool TSkeletonMeshObject::WaitsForBones() const {
    TSkeleton* skeleton = Skeleton();
    if (!bonesMissing_ || !skeleton)
        return false;
    const int count = std::min(Vertices()->Count(), weightCount_);
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < bonesPerVertex_; ++k)
            if (!skeleton->BoneByID(weights_[std::size_t(i) * bonesPerVertex_ + k].BoneID))
                return false;
    return true;
}

void TSkeletonMeshObject::Prepare() {
    const int count = bonesPerVertex_ > 0 ? std::min(Vertices()->Count(), weightCount_) : 0;
    const bool current = count == 0 || (static_cast<int>(boneMatching_.size()) == bonesPerVertex_ &&
                                        boneMatching_[0]->Vertices()->Count() == count);
    if (current && !WaitsForBones())
        return;
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
    if (count == 0)
        return;
    RTL_ASSERT(static_cast<int>(boneMatching_.size()) == bonesPerVertex_, "Bone-space copies not prepared");
    for (const auto& bm : boneMatching_)
        RTL_ASSERT(bm->Vertices()->Count() >= count, "Bone-space copies not prepared");
    // Every weighted bone is looked up before any vertex changes: a missing one leaves the
    // object as it was.
    std::vector<const TMatrix4f*> matrices(std::size_t(count) * bonesPerVertex_, nullptr);
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < bonesPerVertex_; ++k) {
            const TVertexBoneWeight& w = weights_[std::size_t(i) * bonesPerVertex_ + k];
            if (bonesPerVertex_ > 1 && w.Weight == 0)
                continue;
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
            if (w.Weight == 0)
                continue;
            const TMatrix4f& m = boneMatrix(i, k);
            AffineVectorAddScaledInPlace(v, AffineVectorTransform((*boneMatching_[k]->Vertices())[i], m), w.Weight);
            if (hasNormal && i < boneMatching_[k]->Normals()->Count())
                AffineVectorAddScaledInPlace(
                    n, AffineVectorTransform((*boneMatching_[k]->Normals())[i], WithoutTranslation(m)), w.Weight);
        }
        (*verts)[i] = v;
        if (hasNormal)
            (*norms)[i] = n;
    }
    if (Normalize)
        norms->Normalize();
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
    if (!weights_.empty())
        Writer->Write(weights_.data(), std::int64_t(weights_.size()) * 8);
}

void TSkeletonMeshObject::ReadFromFiler(TVirtualReader* Reader) {
    inherited::ReadFromFiler(Reader);
    ReadVersion(Reader, this, 0);
    const int count = ReadCount(Reader);
    const int perVertex = ReadCount(Reader);
    // Up to 2^62 entries of 8 bytes: the size is checked against the stream before it is formed.
    const std::int64_t entries = std::int64_t(count) * perVertex;
    if (entries > (std::numeric_limits<std::int64_t>::max)() / 8)
        throw EReadError("Stream read error");
    const std::int64_t bytes = entries * 8;
    ValueEncoding::NeedBytes(*Reader->Stream(), bytes);
    std::vector<TVertexBoneWeight> block(std::size_t(count) * std::size_t(perVertex));
    if (bytes > 0)
        Reader->Read(block.data(), bytes);
    weights_ = std::move(block);
    weightCount_ = count;
    bonesPerVertex_ = perVertex;
    boneMatching_.clear();
}

// ---------------------------------------------------------------------------------------------
// Mesh-file formats

TVectorFileFormatsList::~TVectorFileFormatsList() {
    for (int i = 0; i < Count(); ++i)
        delete (*this)[i];
    inherited::Clear();
}

void TVectorFileFormatsList::Add(const std::string& Ext, const std::string& Desc, int DescID,
                                 TVectorFileClass Class) {
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
        if ((*this)[i]->Extension == ext)
            return (*this)[i]->VectorFileClass;
    return nullptr;
}

TVectorFileClass TVectorFileFormatsList::FindFromFileName(const std::string& FileName) const {
    std::string ext = ExtractFileExt(FileName);
    if (!ext.empty())
        ext.erase(0, 1);
    TVectorFileClass result = FindExt(ext);
    if (!result)
        throw EInvalidVectorFile(Format(glsUnknownExtension, ext, "GLFile" + UpperCase(ext)));
    return result;
}

TVectorFileFormatsList* GetVectorFileFormats() {
    static const std::unique_ptr<TVectorFileFormatsList> formats = std::make_unique<TVectorFileFormatsList>();
    return formats.get();
}

void RegisterVectorFileFormat(const std::string& AExtension, const std::string& ADescription,
                              TVectorFileClass AClass) {
    RegisterClass(AClass);
    GetVectorFileFormats()->Add(AExtension, ADescription, 0, AClass);
}

// ---------------------------------------------------------------------------------------------
// Drawing of mesh objects and face groups

namespace {

// The pass number of the grouped material pass, shared by all meshes.
int vRenderGroupCounter = 0;

void SendCorner(const TMeshObject* mo, int v, int n, int t, const TAffineVector* texCoord, bool colors) {
    if (n >= 0 && n < mo->Normals()->Count())
        GL.glNormal3fv((*mo->Normals())[n].data());
    if (colors && v < mo->Colors()->Count())
        GL.glColor4fv((*mo->Colors())[v].data());
    if (texCoord)
        GL.glTexCoord3fv(texCoord->data());
    else if (t >= 0 && t < mo->TexCoords()->Count())
        GL.glTexCoord3fv((*mo->TexCoords())[t].data());
    GL.glVertex3fv((*mo->Vertices())[v].data());
}

// Every index of List must address Count items (assertion).
void CheckIndices(const TIntegerList* List, int Count) {
    for (int i = 0; i < List->Count(); ++i)
        RTL_ASSERT((*List)[i] >= 0 && (*List)[i] < Count, "Face group index out of range");
}

GLenum BeginModeOf(TFaceGroupPrimitive Mode) {
    RTL_ASSERT(Mode != fgpQuads && Mode <= fgpQuads, "Unsupported face group mode");
    return FaceGroupPrimitiveToGL(Mode);
}

} // namespace

void TFaceGroup::PrepareMaterialLibraryCache(TGLMaterialLibrary* Library) {
    materialCache_ = (Library && !materialName_.empty())
                         ? Library->Materials()->FindMaterialByName(materialName_)
                         : nullptr;
}

void TFGVertexIndexList::BuildList(TRenderContextInfo& rci) {
    TMeshObject* mo = MeshObject();
    if (!mo || vertexIndices_->Count() == 0)
        return;
    RTL_ASSERT(mode_ <= fgpQuads, "Unknown face group mode");
    CheckIndices(vertexIndices_.get(), mo->Vertices()->Count());
    if (!mo->ArraysDeclared())
        mo->DeclareArraysToOpenGL(rci);
    if (GLCaps.ARB_multitexture && !rci.ignoreMaterials && rci.lightmapLibrary &&
        LightMapIndex() != mo->LastLightMapIndex())
        mo->SetLightMap(rci, LightMapIndex());
    GL.glDrawElements(FaceGroupPrimitiveToGL(mode_), vertexIndices_->Count(), GL_UNSIGNED_INT,
                      vertexIndices_->List());
}

void TFGVertexNormalTexIndexList::BuildList(TRenderContextInfo& /*rci*/) {
    TMeshObject* mo = MeshObject();
    const TIntegerList* vi = VertexIndices();
    if (!mo || vi->Count() == 0)
        return;
    RTL_ASSERT(normalIndices_->Count() == 0 || normalIndices_->Count() >= vi->Count());
    RTL_ASSERT(texCoordIndices_->Count() == 0 || texCoordIndices_->Count() >= vi->Count());
    CheckIndices(vi, mo->Vertices()->Count());
    const TIntegerList* ni = normalIndices_->Count() ? normalIndices_.get() : vi;
    const TIntegerList* ti = texCoordIndices_->Count() ? texCoordIndices_.get() : vi;
    GL.glBegin(BeginModeOf(Mode()));
    for (int i = 0; i < vi->Count(); ++i)
        SendCorner(mo, (*vi)[i], (*ni)[i], mo->TexCoords()->Count() ? (*ti)[i] : -1, nullptr, false);
    GL.glEnd();
}

void TFGIndexTexCoordList::BuildList(TRenderContextInfo& /*rci*/) {
    TMeshObject* mo = MeshObject();
    const TIntegerList* vi = VertexIndices();
    if (!mo || vi->Count() == 0)
        return;
    RTL_ASSERT(texCoords_->Count() == vi->Count());
    CheckIndices(vi, mo->Vertices()->Count());
    const bool normals = mo->Normals()->Count() == mo->Vertices()->Count();
    const bool colors = mo->Colors()->Count() == mo->Vertices()->Count();
    GL.glBegin(BeginModeOf(Mode()));
    for (int i = 0; i < vi->Count(); ++i) {
        const int v = (*vi)[i];
        SendCorner(mo, v, normals ? v : -1, -1, &(*texCoords_)[i], colors);
    }
    GL.glEnd();
}

void TMeshObject::DeclareArraysToOpenGL(TRenderContextInfo& rci) {
    const int n = Vertices()->Count();
    declaredArrays_ = 0;
    if (n > 0) {
        GL.glVertexPointer(3, GL_FLOAT, 0, Vertices()->List());
        GL.glEnableClientState(GL_VERTEX_ARRAY);
        declaredArrays_ |= 1;
    }
    const bool multi = GLCaps.ARB_multitexture && GL.glClientActiveTextureARB;
    if (!rci.ignoreMaterials) {
        if (n > 0 && Normals()->Count() >= n) {
            GL.glNormalPointer(GL_FLOAT, 0, Normals()->List());
            GL.glEnableClientState(GL_NORMAL_ARRAY);
            declaredArrays_ |= 2;
        }
        if (n > 0 && colors_->Count() >= n) {
            GL.glColorPointer(4, GL_FLOAT, 0, colors_->List());
            GL.glEnableClientState(GL_COLOR_ARRAY);
            declaredArrays_ |= 4;
        }
        if (n > 0 && texCoords_->Count() >= n) {
            GL.glTexCoordPointer(2, GL_FLOAT, 12, texCoords_->List());
            GL.glEnableClientState(GL_TEXTURE_COORD_ARRAY);
            declaredArrays_ |= 8;
        } else {
            GL.glDisableClientState(GL_TEXTURE_COORD_ARRAY);
        }
        if (multi && n > 0) {
            if (lightMapTexCoords_->Count() >= n) {
                GL.glClientActiveTextureARB(GL_TEXTURE1);
                GL.glTexCoordPointer(2, GL_FLOAT, 8, lightMapTexCoords_->List());
                GL.glEnableClientState(GL_TEXTURE_COORD_ARRAY);
                declaredArrays_ |= 1u << (8 + 1);
            }
            for (std::size_t k = 0; k < texCoordsEx_.size() && k < 16; ++k) {
                if (texCoordsEx_[k]->Count() < n)
                    continue;
                GL.glClientActiveTextureARB(GLenum(GL_TEXTURE0 + k));
                GL.glTexCoordPointer(4, GL_FLOAT, 16, texCoordsEx_[k]->List());
                GL.glEnableClientState(GL_TEXTURE_COORD_ARRAY);
                declaredArrays_ |= 1u << (8 + k);
            }
            GL.glClientActiveTextureARB(GL_TEXTURE0);
        }
    }
    arraysLocked_ = false;
    if (GLCaps.EXT_compiled_vertex_array && GL.glLockArraysEXT && lightMapTexCoords_->Count() == 0 && n > 0) {
        GL.glLockArraysEXT(0, n);
        arraysLocked_ = true;
    }
    lastLightMapIndex_ = -1;
    arraysDeclared_ = true;
    lightMapArrayEnabled_ = false;
}

void TMeshObject::DisableOpenGLArrays(TRenderContextInfo& /*rci*/) {
    if (!arraysDeclared_)
        return;
    const bool multi = GLCaps.ARB_multitexture && GL.glClientActiveTextureARB;
    if (lightMapArrayEnabled_ && GL.glActiveTextureARB) {
        GL.glActiveTextureARB(GL_TEXTURE1);
        GL.glDisable(GL_TEXTURE_2D);
        GL.glActiveTextureARB(GL_TEXTURE0);
        lightMapArrayEnabled_ = false;
    }
    if (arraysLocked_)
        GL.glUnlockArraysEXT();
    arraysLocked_ = false;
    if (declaredArrays_ & 1)
        GL.glDisableClientState(GL_VERTEX_ARRAY);
    if (declaredArrays_ & 2)
        GL.glDisableClientState(GL_NORMAL_ARRAY);
    if (declaredArrays_ & 4)
        GL.glDisableClientState(GL_COLOR_ARRAY);
    if (declaredArrays_ & 8)
        GL.glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    if (multi) {
        for (int k = 0; k < 16; ++k) {
            if (!(declaredArrays_ & (1u << (8 + k))))
                continue;
            GL.glClientActiveTextureARB(GLenum(GL_TEXTURE0 + k));
            GL.glDisableClientState(GL_TEXTURE_COORD_ARRAY);
        }
        GL.glClientActiveTextureARB(GL_TEXTURE0);
    }
    declaredArrays_ = 0;
    arraysDeclared_ = false;
}

void TMeshObject::SetLightMap(TRenderContextInfo& rci, int Index) {
    lastLightMapIndex_ = Index;
    if (!GL.glActiveTextureARB)
        return;
    // An index the library does not reach (stored with the mesh, or a smaller library): the
    // group is drawn without a light map instead of failing at every draw.
    TGLLibMaterials* maps = rci.lightmapLibrary ? rci.lightmapLibrary->Materials() : nullptr;
    if (Index < 0 || !maps || Index >= maps->Count()) {
        if (lightMapArrayEnabled_) {
            GL.glActiveTextureARB(GL_TEXTURE1);
            GL.glDisable(GL_TEXTURE_2D);
            GL.glActiveTextureARB(GL_TEXTURE0);
            lightMapArrayEnabled_ = false;
        }
        return;
    }
    TGLLibMaterial* map = maps->Items(Index);
    GL.glActiveTextureARB(GL_TEXTURE1);
    GL.glBindTexture(GL_TEXTURE_2D, map->Material()->Texture()->GetTextureHandle());
    GL.glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    if (!lightMapArrayEnabled_) {
        GL.glEnable(GL_TEXTURE_2D);
        lightMapArrayEnabled_ = true;
    }
    GL.glActiveTextureARB(GL_TEXTURE0);
}

void TMeshObject::PrepareMaterialLibraryCache(TGLMaterialLibrary* Library) {
    for (int i = 0; i < faceGroups_->Count(); ++i)
        (*faceGroups_)[i]->PrepareMaterialLibraryCache(Library);
}

void TMeshObject::DropMaterialLibraryCache() {
    for (int i = 0; i < faceGroups_->Count(); ++i)
        (*faceGroups_)[i]->DropMaterialLibraryCache();
}

void TMeshObject::PrepareBuildList(TRenderContextInfo& rci) {
    if (mode_ != mdmFaceGroups || !rci.materialLibrary)
        return;
    for (int i = 0; i < faceGroups_->Count(); ++i)
        if (TGLLibMaterial* m = (*faceGroups_)[i]->MaterialCache())
            m->PrepareTexture();
}

void TMeshObject::BuildList(TRenderContextInfo& rci) {
    arraysDeclared_ = false;
    lastLightMapIndex_ = -1;
    const bool colorsPerVertex = colors_->Count() > 0 && colors_->Count() == Vertices()->Count();
    if (colorsPerVertex) {
        GL.glPushAttrib(GL_ENABLE_BIT);
        GL.glEnable(GL_COLOR_MATERIAL);
        GL.glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);
        if (rci.GLStates)
            rci.GLStates->SendDefaultMaterial();
    }
    struct PopGuard {
        bool pushed;
        ~PopGuard() {
            if (pushed)
                GL.glPopAttrib();
        }
    } pop{colorsPerVertex};
    struct ArrayGuard {
        TMeshObject* self;
        TRenderContextInfo& rci;
        ~ArrayGuard() { self->DisableOpenGLArrays(rci); }  // also when a group is refused
    } arrays{this, rci};
    switch (mode_) {
    case mdmTriangles:
    case mdmTriangleStrip: {
        const int n = Vertices()->Count();
        if (n == 0)
            break;
        const bool normals = Normals()->Count() == n;
        const bool tex = texCoords_->Count() == n;
        // Extra texture-coordinate sets feed texture unit k; unit 0 falls back to TexCoords.
        const bool multi = GLCaps.ARB_multitexture && GL.glMultiTexCoord4fvARB;
        const bool unit0Ex = multi && !texCoordsEx_.empty() && texCoordsEx_[0]->Count() >= n;
        GL.glBegin(mode_ == mdmTriangles ? GL_TRIANGLES : GL_TRIANGLE_STRIP);
        for (int i = 0; i < n; ++i) {
            if (unit0Ex)
                GL.glMultiTexCoord4fvARB(GL_TEXTURE0, (*texCoordsEx_[0])[i].data());
            if (multi)
                for (std::size_t k = 1; k < texCoordsEx_.size(); ++k)
                    if (texCoordsEx_[k]->Count() >= n)
                        GL.glMultiTexCoord4fvARB(GLenum(GL_TEXTURE0 + k), (*texCoordsEx_[k])[i].data());
            SendCorner(this, i, normals ? i : -1, (tex && !unit0Ex) ? i : -1, nullptr, colorsPerVertex);
        }
        GL.glEnd();
        break;
    }
    case mdmFaceGroups: {
        const int count = faceGroups_->Count();
        if (!rci.materialLibrary) {
            for (int i = 0; i < count; ++i)
                (*faceGroups_)[i]->BuildList(rci);
            break;
        }
        // A group refused while its material is applied takes the material (and its shader)
        // off again, so that the next frame does not find it still applied.
        if (!(renderingOptions_ & 1)) {
            int i = 0;
            while (i < count) {
                TFaceGroup* group = (*faceGroups_)[i];
                TGLLibMaterial* material = group->MaterialCache();
                if (!material) {
                    group->BuildList(rci);
                    ++i;
                    continue;
                }
                int end = i + 1;
                while (end < count && (*faceGroups_)[end]->MaterialCache() == material)
                    ++end;
                DrawUnderMaterial(*material, rci, [&] {
                    for (int k = i; k < end; ++k)
                        (*faceGroups_)[k]->BuildList(rci);
                });
                i = end;
            }
        } else {
            const int pass = ++vRenderGroupCounter;
            for (int i = 0; i < count; ++i) {
                TFaceGroup* group = (*faceGroups_)[i];
                if (group->RenderGroupID() == pass)
                    continue;
                TGLLibMaterial* material = group->MaterialCache();
                auto buildRun = [&] {
                    for (int k = i; k < count; ++k) {
                        TFaceGroup* g = (*faceGroups_)[k];
                        if (g->RenderGroupID() != pass && g->MaterialCache() == material) {
                            g->SetRenderGroupID(pass);
                            g->BuildList(rci);
                        }
                    }
                };
                if (!material) {
                    buildRun();
                    continue;
                }
                DrawUnderMaterial(*material, rci, [&] {
                    // Each pass draws the same run: clear the marks of the run before repeating.
                    for (int k = i; k < count; ++k)
                        if ((*faceGroups_)[k]->MaterialCache() == material)
                            (*faceGroups_)[k]->SetRenderGroupID(pass - 1);
                    buildRun();
                });
            }
        }
        break;
    }
    default:
        RTL_ASSERT(false, "Unknown mesh object mode");
    }
}

void TMeshObjectList::PrepareMaterialLibraryCache(TGLMaterialLibrary* Library) {
    for (int i = 0; i < Count(); ++i)
        (*this)[i]->PrepareMaterialLibraryCache(Library);
}

void TMeshObjectList::DropMaterialLibraryCache() {
    for (int i = 0; i < Count(); ++i)
        (*this)[i]->DropMaterialLibraryCache();
}

void TMeshObjectList::PrepareBuildList(TRenderContextInfo& rci) {
    for (int i = 0; i < Count(); ++i)
        if ((*this)[i]->Visible())
            (*this)[i]->PrepareBuildList(rci);
}

void TMeshObjectList::BuildList(TRenderContextInfo& rci) {
    for (int i = 0; i < Count(); ++i)
        if ((*this)[i]->Visible())
            (*this)[i]->BuildList(rci);
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
    if (Value == normalsOrientation_)
        return;
    normalsOrientation_ = Value;
    StructureChanged();
}

void TGLBaseMesh::SetMaterialLibrary(TGLMaterialLibrary* Value) {
    if (Value == materialLibrary_)
        return;
    DropMaterialLibraryCache();
    if (materialLibrary_ && materialLibrary_ != lightmapLibrary_)
        materialLibrary_->RemoveFreeNotification(this);
    materialLibrary_ = Value;
    if (Value)
        Value->FreeNotification(this);
    StructureChanged();
}

void TGLBaseMesh::SetLightmapLibrary(TGLMaterialLibrary* Value) {
    if (Value == lightmapLibrary_)
        return;
    if (lightmapLibrary_ && lightmapLibrary_ != materialLibrary_)
        lightmapLibrary_->RemoveFreeNotification(this);
    lightmapLibrary_ = Value;
    if (Value)
        Value->FreeNotification(this);
    StructureChanged();
}

void TGLBaseMesh::SetUseMeshMaterials(bool Value) {
    if (Value == useMeshMaterials_)
        return;
    useMeshMaterials_ = Value;
    if (!Value)
        DropMaterialLibraryCache();
    StructureChanged();
}

void TGLBaseMesh::SetAutoCentering(TMeshAutoCenterings Value) {
    if (Value == autoCentering_)
        return;
    autoCentering_ = Value;
    StructureChanged();
}

void TGLBaseMesh::SetOverlaySkeleton(bool Value) {
    if (Value == overlaySkeleton_)
        return;
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
    if (scene)
        scene->BeginUpdate();
    struct EndUpdate {
        TGLSceneGraph* scene;
        ~EndUpdate() {
            if (scene)
                scene->EndUpdate();
        }
    } guard{scene};
    file->LoadFromStream(Stream);
}

void TGLBaseMesh::LoadFromFile(const std::string& FileName) {
    if (FileName.empty())
        return;
    std::unique_ptr<TStream> stream = CreateFileStream(FileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(FileName, stream.get());
}

void TGLBaseMesh::LoadFromStream(const std::string& FileName, TStream* Stream) {
    if (FileName.empty())
        return;
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
    if (FileName.empty())
        return;
    std::unique_ptr<TVectorFile> file = CreateVectorFile(FileName);
    file->SaveToFile(FileName);
}

void TGLBaseMesh::SaveToStream(const std::string& FileName, TStream* Stream) {
    if (FileName.empty())
        return;
    CreateVectorFile(FileName)->SaveToStream(Stream);
}

void TGLBaseMesh::AddDataFromFile(const std::string& FileName) {
    if (FileName.empty())
        return;
    std::unique_ptr<TStream> stream = CreateFileStream(FileName, fmOpenRead | fmShareDenyWrite);
    AddDataFromStream(FileName, stream.get());
}

void TGLBaseMesh::AddDataFromStream(const std::string& FileName, TStream* Stream) {
    if (FileName.empty())
        return;
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
        for (int i = 0; i < meshObjects_->Count(); ++i)
            (*meshObjects_)[i]->ContributeToBarycenter(sum, count);
        if (count > 0)
            delta = AffineVectorScaled(sum, -1.0f / float(count));
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
            if ((autoCentering_ & (1 << k)) && mn[k] <= mx[k])
                delta[k] = -(mn[k] + mx[k]) * 0.5f;
    }
    meshObjects_->Translate(delta);
}

void TGLBaseMesh::PerformAutoScaling() {
    const TVector4f& s = autoScaling_->AsVector();
    if (s[0] == 1 && s[1] == 1 && s[2] == 1)
        return;
    const TAffineVector factor{{s[0], s[1], s[2]}};
    for (int i = 0; i < meshObjects_->Count(); ++i)
        (*meshObjects_)[i]->Vertices()->ScaleByVector(factor);
}

void TGLBaseMesh::PrepareMaterialLibraryCache() {
    meshObjects_->PrepareMaterialLibraryCache(materialLibrary_);
    materialLibraryCachesPrepared_ = true;
}

void TGLBaseMesh::DropMaterialLibraryCache() {
    if (!materialLibraryCachesPrepared_)
        return;
    meshObjects_->DropMaterialLibraryCache();
    materialLibraryCachesPrepared_ = false;
}

void TGLBaseMesh::PrepareBuildList(TRenderContextInfo& rci) {
    meshObjects_->PrepareBuildList(rci);
    if (lightmapLibrary_)
        lightmapLibrary_->Materials()->PrepareTextures();
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
        for (int k = 0; k < 3; ++k)
            dimensions_[k] = mn[k] <= mx[k] ? std::max(std::fabs(mn[k]), std::fabs(mx[k])) : 0.0f;
        dimensions_[3] = 0;
    }
    return dimensions_;
}

void TGLBaseMesh::BuildList(TRenderContextInfo& rci) { meshObjects_->BuildList(rci); }

void TGLBaseMesh::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
    if (renderSelf) {
        RTL_ASSERT(normalsOrientation_ == mnoDefault || normalsOrientation_ == mnoInvert);
        const bool invert = normalsOrientation_ == mnoInvert && rci.GLStates;
        if (invert)
            rci.GLStates->ToggleFrontFace();
        struct Restore {
            TRenderContextInfo& rci;
            bool invert;
            TGLMaterialLibrary* library;
            TGLMaterialLibrary* lightmaps;
            ~Restore() {
                if (invert)
                    rci.GLStates->ToggleFrontFace();
                rci.materialLibrary = library;
                rci.lightmapLibrary = lightmaps;
            }
        } restore{rci, invert, rci.materialLibrary, rci.lightmapLibrary};
        auto draw = [&] {
            if ((ObjectStyle() & osDirectDraw) || rci.amalgamating)
                BuildList(rci);
            else
                GL.glCallList(GetListHandle(rci));
        };
        if (!rci.ignoreMaterials) {
            if (useMeshMaterials_ && materialLibrary_) {
                rci.materialLibrary = materialLibrary_;
                if (!materialLibraryCachesPrepared_)
                    PrepareMaterialLibraryCache();
            } else {
                rci.materialLibrary = nullptr;
            }
            rci.lightmapLibrary = lightmapLibrary_;
            if (rci.amalgamating || (!(ObjectStyle() & osDirectDraw) && !HasValidListHandle()))
                PrepareBuildList(rci);
            DrawUnderMaterial(*Material(), rci, draw);
            rci.materialLibrary = nullptr;
        } else {
            draw();
        }
    }
    if (renderChildren && GetChildCount() > 0)
        RenderChildren(0, GetChildCount() - 1, rci);
}

bool TGLBaseMesh::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector,
                                   TVector4f* intersectPoint, TVector4f* intersectNormal) {
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
    if (!found)
        return false;
    if (intersectPoint)
        *intersectPoint = LocalToAbsolute(PointMake(bestPoint[0], bestPoint[1], bestPoint[2]));
    if (intersectNormal) {
        TVector4f n = LocalToAbsoluteVector(VectorMake(bestNormal[0], bestNormal[1], bestNormal[2]));
        if (normalsOrientation_ == mnoInvert)
            n = VectorScaled(n, -1);
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
    if (materialLibrary_)
        materialLibrary_->DestroyTextureHandles();
    if (lightmapLibrary_)
        lightmapLibrary_->DestroyTextureHandles();
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

// ---------------------------------------------------------------------------------------------
// Actor animations and controllers

TGLActor* TActorAnimation::Owner() const {
    return Collection() ? static_cast<TActorAnimations*>(Collection())->Owner() : nullptr;
}

int TActorAnimation::FrameCount() const {
    TGLActor* actor = Owner();
    if (!actor)
        return 0;
    switch (reference_) {
    case aarMorph:
        return actor->MeshObjects()->MorphTargetCount();
    case aarSkeleton:
        return actor->Skeleton()->Frames()->Count();
    default:
        return 0;  // aarNone: nothing is animated
    }
}

void TActorAnimation::SetStartFrame(int Value) {
    const int count = FrameCount();
    if (Value >= count)
        Value = count - 1;
    if (Value < 0)
        Value = 0;
    startFrame_ = Value;
    if (endFrame_ < startFrame_)
        endFrame_ = startFrame_;
}

void TActorAnimation::SetEndFrame(int Value) {
    const int count = FrameCount();
    if (Value >= count)
        Value = count - 1;
    if (Value < 0)
        Value = 0;
    endFrame_ = Value;
    if (startFrame_ > endFrame_)
        startFrame_ = endFrame_;
}

void TActorAnimation::SetReference(TActorAnimationReference Value) {
    if (Value == reference_)
        return;
    reference_ = Value;
    SetStartFrame(startFrame_);
    SetEndFrame(endFrame_);
}

void TActorAnimation::Assign(TPersistent* Source) {
    if (Source && Source->Is<TActorAnimation>()) {
        auto* other = static_cast<TActorAnimation*>(Source);
        name_ = other->name_;
        startFrame_ = other->startFrame_;
        endFrame_ = other->endFrame_;
        reference_ = other->reference_;
        return;
    }
    inherited::Assign(Source);
}

std::string TActorAnimation::GetDisplayName() {
    return Format("%d - %s [%d - %d]", Index(), name_, startFrame_, endFrame_);
}

TActorAnimations::TActorAnimations(TGLActor* AOwner)
    : TOwnedCollection(AOwner, TActorAnimation::StaticClass()), owner_(AOwner) {}

TActorAnimation* TActorAnimations::FindName(const std::string& Name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(Items(i)->Name(), Name))
            return Items(i);
    return nullptr;
}

TGLBaseAnimationControler::~TGLBaseAnimationControler() {
    if (actor_ && actor_->ControlerCount() > 0)
        actor_->UnRegisterControler(this);
}

void TGLBaseAnimationControler::DoChange() {
    if (actor_)
        actor_->StructureChanged();
}

void TGLBaseAnimationControler::SetEnabled(bool Value) {
    if (Value == enabled_)
        return;
    enabled_ = Value;
    DoChange();
}

void TGLBaseAnimationControler::SetActor(TGLActor* Value) {
    if (Value == actor_)
        return;
    if (actor_)
        actor_->UnRegisterControler(this);
    actor_ = Value;
    if (actor_) {
        actor_->RegisterControler(this);
        DoChange();
    }
}

void TGLBaseAnimationControler::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent == actor_)
        actor_ = nullptr;
    inherited::Notification(AComponent, Operation);
}

void TGLAnimationControler::SetAnimationName(const std::string& Value) {
    if (Value == animationName_)
        return;
    animationName_ = Value;
    DoChange();
}

void TGLAnimationControler::SetRatio(float Value) {
    Value = std::clamp(Value, 0.0f, 1.0f);
    if (Value == ratio_)
        return;
    ratio_ = Value;
    DoChange();
}

bool TGLAnimationControler::Apply(TBlendedLerpInfo& LerpInfo) {
    if (!Enabled() || !Actor())
        return false;
    TActorAnimation* anim = Actor()->Animations()->FindName(animationName_);
    if (!anim)
        return false;
    if (ratio_ <= 0) {
        LerpInfo.frameIndex1 = LerpInfo.frameIndex2 = anim->StartFrame();
        LerpInfo.lerpFactor = 0;
    } else if (ratio_ >= 1) {
        LerpInfo.frameIndex1 = LerpInfo.frameIndex2 = anim->EndFrame();
        LerpInfo.lerpFactor = 0;
    } else {
        const double pos = anim->StartFrame() + double(ratio_) * (anim->EndFrame() - anim->StartFrame());
        LerpInfo.frameIndex1 = static_cast<int>(pos);
        LerpInfo.frameIndex2 = LerpInfo.frameIndex1 + 1;
        LerpInfo.lerpFactor = static_cast<float>(pos - LerpInfo.frameIndex1);
    }
    LerpInfo.weight = 1;
    LerpInfo.externalPositions = nullptr;
    LerpInfo.externalRotations = nullptr;
    LerpInfo.externalQuaternions = nullptr;
    return true;
}


namespace {

void DrawBone(TSkeletonBone* Bone) {
    const TMatrix4f& g = Bone->GlobalMatrix();
    const std::uint32_t c = Bone->Color();
    GL.glColor4f((c & 0xFF) / 255.0f, ((c >> 8) & 0xFF) / 255.0f, ((c >> 16) & 0xFF) / 255.0f,
                 ((c >> 24) & 0xFF) / 255.0f);
    GL.glPointSize(5);
    GL.glBegin(GL_POINTS);
    GL.glVertex3fv(g[3].data());
    GL.glEnd();
    GL.glPointSize(1);
    if (Bone->Owner() && Bone->Owner()->Is<TSkeletonBone>()) {
        GL.glBegin(GL_LINES);
        GL.glVertex3fv(Bone->Owner()->GlobalMatrix()[3].data());
        GL.glVertex3fv(g[3].data());
        GL.glEnd();
    }
    for (int i = 0; i < Bone->Count(); ++i)
        DrawBone((*Bone)[i]);
}

void DrawSkeleton(TSkeleton* Skeleton) {
    GL.glPushAttrib(GL_ENABLE_BIT);
    GL.glDisable(GL_COLOR_MATERIAL);
    GL.glDisable(GL_LIGHTING);
    GL.glColor3f(1, 1, 1);
    for (int i = 0; i < Skeleton->RootBones()->Count(); ++i)
        DrawBone((*Skeleton->RootBones())[i]);
    GL.glPopAttrib();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TGLActor

TGLActor::TGLActor(TComponent* AOwner)
    : TGLBaseMesh(AOwner), animations_(std::make_unique<TActorAnimations>(this)) {
    objectStyle_ |= osDirectDraw;
}

TGLActor::~TGLActor() {
    if (controlers_) {
        std::vector<TGLBaseAnimationControler*> list = *controlers_;
        for (TGLBaseAnimationControler* c : list)
            c->SetActor(nullptr);
    }
}

int TGLActor::FrameCount() const {
    switch (reference_) {
    case aarMorph:
        return MeshObjects()->MorphTargetCount();
    case aarSkeleton:
        return Skeleton()->Frames()->Count();
    default:
        return 0;  // aarNone: nothing is animated
    }
}

void TGLActor::SetReference(TActorAnimationReference Value) {
    if (Value == reference_)
        return;
    reference_ = Value;
    // The frame numbers stay within the frames of the new reference.
    const int last = std::max(FrameCount() - 1, 0);
    startFrame_ = std::clamp(startFrame_, 0, last);
    endFrame_ = std::clamp(endFrame_, startFrame_, last);
    currentFrame_ = std::clamp(currentFrame_, 0, last);
    StructureChanged();
}

void TGLActor::SetOptions(TGLActorOptions Value) {
    if (Value == options_)
        return;
    options_ = Value;
    StructureChanged();
}

void TGLActor::SetStartFrame(int Value) {
    if (Value < 0 || Value >= FrameCount())
        return;
    startFrame_ = Value;
    if (endFrame_ < startFrame_)
        endFrame_ = startFrame_;
    if (currentFrame_ < startFrame_)
        SetCurrentFrame(startFrame_);
}

void TGLActor::SetEndFrame(int Value) {
    if (Value < 0 || Value >= FrameCount())
        return;
    endFrame_ = Value;
    if (currentFrame_ > endFrame_)
        SetCurrentFrame(endFrame_);
}

void TGLActor::SetCurrentFrame(int Value) {
    if (Value == currentFrame_)
        return;
    const int count = FrameCount();
    if (Value >= count)
        Value = count - 1;
    if (Value < 0)
        Value = 0;
    currentFrame_ = Value;
    currentFrameDelta_ = 0;
    if (animationMode_ == aamPlayOnce && currentFrame_ == endFrame_)
        animationMode_ = aamNone;
    else if (animationMode_ == aamBounceForward && currentFrame_ == endFrame_)
        animationMode_ = aamBounceBackward;
    else if (animationMode_ == aamBounceBackward && currentFrame_ == startFrame_)
        animationMode_ = aamBounceForward;
    StructureChanged();
    if (OnFrameChanged)
        OnFrameChanged(this);
}

int TGLActor::NextFrameIndex() const {
    if (targetSmoothAnimation_ && animationMode_ != aamExternal)
        return targetSmoothAnimation_->StartFrame();
    switch (animationMode_) {
    case aamNone:
    case aamPlayOnce:
        return std::min(currentFrame_ + 1, endFrame_);
    case aamLoop:
    case aamBounceForward: {
        int result = currentFrame_ + 1;
        if (result > endFrame_) {
            result = startFrame_ + (result - endFrame_ - 1);
            if (result > endFrame_)
                result = endFrame_;
        }
        return result;
    }
    case aamBounceBackward:
    case aamLoopBackward: {
        int result = currentFrame_ - 1;
        if (result < startFrame_) {
            result = endFrame_ - (startFrame_ - result - 1);
            if (result < startFrame_)
                result = startFrame_;
        }
        return result;
    }
    case aamExternal:
        return currentFrame_;
    }
    return currentFrame_;
}

void TGLActor::NextFrame(int N) {
    while (N > 0) {
        SetCurrentFrame(NextFrameIndex());
        --N;
        if (OnEndFrameReached && currentFrame_ == endFrame_)
            OnEndFrameReached(this);
        if (OnStartFrameReached && currentFrame_ == startFrame_)
            OnStartFrameReached(this);
    }
}

void TGLActor::AllFrames() {
    startFrame_ = 0;
    endFrame_ = FrameCount() - 1;
    currentFrame_ = 0;
    if (OnFrameChanged)
        OnFrameChanged(this);
    StructureChanged();
}

void TGLActor::SwitchToAnimation(TActorAnimation* AnAnimation, bool Smooth) {
    if (!AnAnimation)
        return;
    if (Smooth) {
        targetSmoothAnimation_ = AnAnimation;
        currentFrameDelta_ = 0;
        return;
    }
    SetReference(AnAnimation->Reference());
    SetStartFrame(AnAnimation->StartFrame());
    SetEndFrame(AnAnimation->EndFrame());
    SetCurrentFrame(startFrame_);
}

void TGLActor::SwitchToAnimation(const std::string& AnimationName, bool Smooth) {
    SwitchToAnimation(animations_->FindName(AnimationName), Smooth);
}

void TGLActor::SwitchToAnimation(int AnimationIndex, bool Smooth) {
    if (AnimationIndex >= 0 && AnimationIndex < animations_->Count())
        SwitchToAnimation(animations_->Items(AnimationIndex), Smooth);
}

void TGLActor::Synchronize(TGLActor* ReferenceActor) {
    if (!ReferenceActor)
        return;
    const int count = FrameCount();
    if (ReferenceActor->startFrame_ < count)
        startFrame_ = ReferenceActor->startFrame_;
    if (ReferenceActor->endFrame_ < count)
        endFrame_ = ReferenceActor->endFrame_;
    if (ReferenceActor->currentFrame_ < count)
        currentFrame_ = ReferenceActor->currentFrame_;
    reference_ = ReferenceActor->reference_;
    currentFrameDelta_ = ReferenceActor->currentFrameDelta_;
    animationMode_ = ReferenceActor->animationMode_;
    frameInterpolation_ = ReferenceActor->frameInterpolation_;
    targetSmoothAnimation_ = ReferenceActor->targetSmoothAnimation_
                                 ? animations_->FindName(ReferenceActor->targetSmoothAnimation_->Name())
                                 : nullptr;
    if (Skeleton()->Frames()->Count() > 0 && ReferenceActor->Skeleton()->Frames()->Count() > 0)
        Skeleton()->Synchronize(ReferenceActor->Skeleton());
    StructureChanged();
}

void TGLActor::RegisterControler(TGLBaseAnimationControler* AControler) {
    if (!controlers_)
        controlers_ = std::make_unique<std::vector<TGLBaseAnimationControler*>>();
    controlers_->push_back(AControler);
    FreeNotification(AControler);
}

void TGLActor::UnRegisterControler(TGLBaseAnimationControler* AControler) {
    RTL_ASSERT(controlers_ != nullptr);
    auto it = std::find(controlers_->begin(), controlers_->end(), AControler);
    if (it != controlers_->end())
        controlers_->erase(it);
    RemoveFreeNotification(AControler);
    if (controlers_->empty())
        controlers_.reset();
}

void TGLActor::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && controlers_) {
        auto it = std::find(controlers_->begin(), controlers_->end(), AComponent);
        if (it != controlers_->end()) {
            controlers_->erase(it);
            if (controlers_->empty())
                controlers_.reset();
        }
    }
    inherited::Notification(AComponent, Operation);
}

void TGLActor::LoadFromStream(const std::string& FileName, TStream* Stream) {
    if (FileName.empty())
        return;
    targetSmoothAnimation_ = nullptr;
    animations_->Clear();
    inherited::LoadFromStream(FileName, Stream);
}

void TGLActor::BuildList(TRenderContextInfo& rci) {
    // Frame numbers chosen before frames went away (another mesh loaded, targets or skeleton
    // frames removed) are taken as the last frame there is.
    const int last = std::max(FrameCount() - 1, 0);
    const int frame = std::clamp(currentFrame_, 0, last);
    const int next = NextFrameIndex() >= 0 ? std::clamp(NextFrameIndex(), 0, last) : -1;
    if (reference_ == aarMorph) {
        if (next >= 0) {
            if (frameInterpolation_ == afpLinear)
                MeshObjects()->Lerp(frame, next, currentFrameDelta_);
            else
                MeshObjects()->MorphTo(frame);
        }
    } else if (reference_ == aarSkeleton && Skeleton()->Frames()->Count() > 0) {
        if (controlers_ && animationMode_ != aamExternal) {
            std::vector<TBlendedLerpInfo> blend(1);
            if (frameInterpolation_ == afpLinear && next >= 0) {
                blend[0].frameIndex1 = frame;
                blend[0].frameIndex2 = next;
                blend[0].lerpFactor = currentFrameDelta_;
            } else {
                blend[0].frameIndex1 = blend[0].frameIndex2 = frame;
                blend[0].lerpFactor = 0;
            }
            blend[0].weight = 1;
            for (TGLBaseAnimationControler* c : *controlers_) {
                TBlendedLerpInfo info;
                if (c->Apply(info)) {
                    info.frameIndex1 = std::clamp(info.frameIndex1, 0, last);
                    info.frameIndex2 = std::clamp(info.frameIndex2, 0, last);
                    blend.push_back(info);
                }
            }
            Skeleton()->BlendedLerps(blend);
        } else if (animationMode_ != aamExternal && next >= 0) {
            if (frameInterpolation_ == afpLinear)
                Skeleton()->Lerp(frame, next, currentFrameDelta_);
            else
                Skeleton()->SetCurrentFrame((*Skeleton()->Frames())[frame]);
        }
        Skeleton()->MorphMesh((options_ & (1 << aoSkeletonNormalizeNormals)) != 0);
    }
    inherited::BuildList(rci);
    if (OverlaySkeleton()) {
        GL.glPushAttrib(GL_ENABLE_BIT);
        GL.glDisable(GL_DEPTH_TEST);
        DrawSkeleton(Skeleton());
        GL.glPopAttrib();
    }
}

void TGLActor::DoProgress(const TProgressTimes& progressTime) {
    inherited::DoProgress(progressTime);
    if (animationMode_ == aamNone || interval_ <= 0 || startFrame_ == endFrame_ || FrameCount() < 2)
        return;
    currentFrameDelta_ += float(progressTime.deltaTime * 1000.0 / interval_);
    if (currentFrameDelta_ >= 1) {
        if (targetSmoothAnimation_) {
            TActorAnimation* target = targetSmoothAnimation_;
            targetSmoothAnimation_ = nullptr;
            SwitchToAnimation(target, false);
        }
        const float whole = std::floor(currentFrameDelta_);
        const float fraction = currentFrameDelta_ - whole;
        NextFrame(static_cast<int>(whole));
        currentFrameDelta_ = fraction;
        StructureChanged();
    } else if (frameInterpolation_ != afpNone) {
        StructureChanged();
    }
}

void TGLActor::Assign(TPersistent* Source) {
    inherited::Assign(Source);
    if (Source && Source->Is<TGLActor>()) {
        auto* other = static_cast<TGLActor*>(Source);
        animations_->Assign(other->animations_.get());
        animationMode_ = other->animationMode_;
        Synchronize(other);
    }
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
        .Enum("NormalsOrientation", &TGLBaseMesh::NormalsOrientation, &TGLBaseMesh::SetNormalsOrientation,
              orientations, mnoDefault);
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
        .Enum("NormalsOrientation", &TGLBaseMesh::NormalsOrientation, &TGLBaseMesh::SetNormalsOrientation,
              orientations, mnoDefault)
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

} // namespace

void RegisterGLVectorFileObjects() {
    if (!GetVectorFileFormats()->FindExt("glsm"))
        RegisterVectorFileFormat("glsm", "Scene Mesh", TGLGLSMVectorFile::StaticClass());
    RegisterClasses({TActorAnimation::StaticClass(), TGLBaseAnimationControler::StaticClass()});
    RegisterClasses({TGLFreeForm::StaticClass(), TGLActor::StaticClass(), TGLAnimationControler::StaticClass(),TSkeleton::StaticClass(), TSkeletonFrame::StaticClass(), TSkeletonBone::StaticClass(),
                     TSkeletonMeshObject::StaticClass(), TMeshObject::StaticClass(),
                     TSkeletonFrameList::StaticClass(), TMeshMorphTarget::StaticClass(),
                     TMorphableMeshObject::StaticClass(), TFaceGroup::StaticClass(),
                     TFGVertexIndexList::StaticClass(), TFGVertexNormalTexIndexList::StaticClass(),
                     TFGIndexTexCoordList::StaticClass(), TSkeletonCollider::StaticClass(),
                     TSkeletonColliderList::StaticClass()});
    RegisterPublishedMeshProperties();
}
