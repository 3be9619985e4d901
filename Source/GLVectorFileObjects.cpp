#include "Source/GLVectorFileObjects.h"

#include "Source/MeshUtils.h"
#include "rtl/SysUtils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

namespace {

const char* const kUnknownExtension =
    "Unknown file extension (%s), maybe you forgot to add the support unit to your uses? (%s?)";

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
    mode_ = static_cast<TMeshObjectDrawMode>(static_cast<std::uint8_t>(Reader->ReadInteger()));
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
        return n / 2;
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
    mode_ = static_cast<TFaceGroupPrimitive>(static_cast<std::uint8_t>(Reader->ReadInteger()));
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
    globalMatrix_ = bone_ ? MatrixMultiply(localMatrix_, bone_->GlobalMatrix()) : localMatrix_;
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
    rootBones_->PrepareGlobalMatrices();
    if (colliders_->Count() > 0)
        colliders_->AlignColliders();
    for (int i = 0; i < meshObjects_->Count(); ++i)
        if ((*meshObjects_)[i]->Is<TSkeletonMeshObject>())
            static_cast<TSkeletonMeshObject*>((*meshObjects_)[i])->ApplyCurrentSkeletonFrame(NormalizeNormals);
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
    for (int k = 0; k < bonesPerVertex_; ++k) {
        auto obj = std::make_unique<TBaseMeshObject>();
        obj->SetVertices(Vertices());
        obj->SetNormals(Normals());
        TAffineVectorList* v = obj->Vertices();
        TAffineVectorList* n = obj->Normals();
        const int count = std::min(v->Count(), weightCount_);
        for (int i = 0; i < count; ++i) {
            const auto& inv = inverseOf(weights_[std::size_t(i) * bonesPerVertex_ + k].BoneID);
            (*v)[i] = AffineVectorTransform((*v)[i], inv.first);
            if (i < n->Count())
                (*n)[i] = AffineVectorTransform((*n)[i], inv.second);
        }
        boneMatching_.push_back(std::move(obj));
    }
}

void TSkeletonMeshObject::ApplyCurrentSkeletonFrame(bool Normalize) {
    TSkeleton* skeleton = Skeleton();
    RTL_ASSERT(skeleton, "Skinned mesh object without skeleton");
    RTL_ASSERT(static_cast<int>(boneMatching_.size()) == bonesPerVertex_, "Bone-space copies not prepared");
    TAffineVectorList* verts = Vertices();
    TAffineVectorList* norms = Normals();
    const int count = std::min(verts->Count(), weightCount_);
    for (const auto& bm : boneMatching_)
        RTL_ASSERT(bm->Vertices()->Count() >= count, "Bone-space copies not prepared");
    auto boneMatrix = [skeleton](int boneID) -> const TMatrix4f& {
        TSkeletonBone* bone = skeleton->BoneByID(boneID);
        RTL_ASSERT(bone, "Unknown bone");
        return bone->GlobalMatrix();
    };
    for (int i = 0; i < count; ++i) {
        const bool hasNormal = i < norms->Count();
        if (bonesPerVertex_ == 1) {
            const TMatrix4f& m = boneMatrix(weights_[std::size_t(i)].BoneID);
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
            const TMatrix4f& m = boneMatrix(w.BoneID);
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
    const std::int64_t bytes = std::int64_t(count) * perVertex * 8;  // below 2^65 / 2: no overflow
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
        throw EInvalidVectorFile(Format(kUnknownExtension, ext, "GLFile" + UpperCase(ext)));
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

void RegisterGLVectorFileObjects() {
    RegisterClasses({TSkeleton::StaticClass(), TSkeletonFrame::StaticClass(), TSkeletonBone::StaticClass(),
                     TSkeletonMeshObject::StaticClass(), TMeshObject::StaticClass(),
                     TSkeletonFrameList::StaticClass(), TMeshMorphTarget::StaticClass(),
                     TMorphableMeshObject::StaticClass(), TFaceGroup::StaticClass(),
                     TFGVertexIndexList::StaticClass(), TFGVertexNormalTexIndexList::StaticClass(),
                     TFGIndexTexCoordList::StaticClass(), TSkeletonCollider::StaticClass(),
                     TSkeletonColliderList::StaticClass()});
}
