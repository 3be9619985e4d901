// Mesh geometry (mesh objects, face groups, morph targets), skeletons with bones, frames and
// colliders, skinned mesh objects, and the registry of mesh-file formats with the "glsm" format.
//
// Every class here is a persistent object that streams itself with a versioned archive (parent's
// archive, integer version, fields). A ".glsm" file is exactly the saved TMeshObjectList.
//
// Untrusted archives: list items of the wrong class, indices outside their lists, bone IDs and
// weight blocks are checked, so a broken file gives an exception, never a crash.
#pragma once

#include "Source/Base/ApplicationFileIO.h"
#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Base/VectorLists.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLSceneGraph.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class TGLBaseMesh;
class TMeshObjectList;
class TFaceGroups;
class TMeshMorphTargetList;
class TSkeleton;
class TSkeletonBone;
class TGLLibMaterial;
class TGLMaterialLibrary;

RTL_DECLARE_EXCEPTION(EInvalidVectorFile, Exception);

// ---------------------------------------------------------------------------------------------
// Mesh objects

class TBaseMeshObject : public TPersistentObject {
  RTL_CLASS(TBaseMeshObject, TPersistentObject)
 public:
  TBaseMeshObject();
  ~TBaseMeshObject() override;

  const std::string& Name() const noexcept { return name_; }
  void SetName(const std::string& Value) { name_ = Value; }
  TAffineVectorList* Vertices() const noexcept { return vertices_.get(); }
  TAffineVectorList* Normals() const noexcept { return normals_.get(); }
  bool Visible() const noexcept { return visible_; }
  void SetVisible(bool Value) noexcept { visible_ = Value; }
  // Copy the given list.
  void SetVertices(const TAffineVectorList* Value) { vertices_->Assign(const_cast<TAffineVectorList*>(Value)); }
  void SetNormals(const TAffineVectorList* Value) { normals_->Assign(const_cast<TAffineVectorList*>(Value)); }

  virtual void Clear();
  void ContributeToBarycenter(TAffineVector& Sum, int& Count) const;
  virtual void Translate(const TAffineVector& Delta);
  // A new list of triangle corners (the caller owns it): a copy of Vertices when its count is a
  // multiple of 3, else empty; Normals receives a copy of the normals when given.
  virtual TAffineVectorList* ExtractTriangles(TAffineVectorList* TexCoords = nullptr,
                                              TAffineVectorList* Normals = nullptr);

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 private:
  std::string name_;
  std::unique_ptr<TAffineVectorList> vertices_;
  std::unique_ptr<TAffineVectorList> normals_;
  bool visible_ = true;
};

enum TMeshObjectDrawMode : std::uint8_t { mdmTriangles = 0, mdmTriangleStrip = 1, mdmFaceGroups = 2 };
enum TMeshObjectRenderingOption : std::uint8_t { mroMaterialGrouping = 0 };
using TMeshObjectRenderingOptions = std::uint8_t;  // bit 0: mroMaterialGrouping

class TMeshObject : public TBaseMeshObject {
  RTL_CLASS(TMeshObject, TBaseMeshObject)
 public:
  TMeshObject();
  // Appended to AOwner's list when given.
  explicit TMeshObject(TMeshObjectList* AOwner);
  ~TMeshObject() override;

  TMeshObjectList* Owner() const noexcept { return owner_; }
  void SetOwner(TMeshObjectList* Value) noexcept { owner_ = Value; }
  TAffineVectorList* TexCoords() const noexcept { return texCoords_.get(); }
  TTexPointList* LightMapTexCoords() const noexcept { return lightMapTexCoords_.get(); }
  TVectorList* Colors() const noexcept { return colors_.get(); }
  TFaceGroups* FaceGroups() const noexcept { return faceGroups_.get(); }
  TMeshObjectDrawMode Mode() const noexcept { return mode_; }
  void SetMode(TMeshObjectDrawMode Value) noexcept { mode_ = Value; }
  TMeshObjectRenderingOptions RenderingOptions() const noexcept { return renderingOptions_; }
  void SetRenderingOptions(TMeshObjectRenderingOptions Value) noexcept { renderingOptions_ = Value; }
  bool ArraysDeclared() const noexcept { return arraysDeclared_; }
  bool LightMapArrayEnabled() const noexcept { return lightMapArrayEnabled_; }
  int LastLightMapIndex() const noexcept { return lastLightMapIndex_; }
  void SetLastLightMapIndex(int Value) noexcept { lastLightMapIndex_ = Value; }

  // Entry Index (>= 0), creating every missing entry up to it as an empty list.
  TVectorList* TexCoordsEx(int Index);
  int TexCoordsExCount() const noexcept { return static_cast<int>(texCoordsEx_.size()); }
  int AuxTexCoordIndexA() const noexcept { return auxTexCoordIndexA_; }
  void SetAuxTexCoordIndexA(int Value);
  int AuxTexCoordIndexB() const noexcept { return auxTexCoordIndexB_; }
  void SetAuxTexCoordIndexB(int Value);

  void Clear() override;
  TAffineVectorList* ExtractTriangles(TAffineVectorList* TexCoords = nullptr,
                                      TAffineVectorList* Normals = nullptr) override;
  int TriangleCount() const;
  // Axis-aligned extents of the vertices (min +inf, max -inf when empty).
  void GetExtents(TAffineVector& Min, TAffineVector& Max) const { Vertices()->GetExtents(Min, Max); }
  // Inside the extents, bounds included.
  virtual bool PointInObject(const TAffineVector& P) const;
  // Re-derives state computed from the geometry (skinned objects: bone-space copies).
  virtual void Prepare() {}
  // Face groups look their material up in Library (nullptr: none) / forget it.
  void PrepareMaterialLibraryCache(TGLMaterialLibrary* Library);
  void DropMaterialLibraryCache();
  virtual void PrepareBuildList(TRenderContextInfo& rci);
  virtual void BuildList(TRenderContextInfo& rci);
  // Client arrays over the lists; a list shorter than the vertices is left out, so that no
  // index can reach past it.
  void DeclareArraysToOpenGL(TRenderContextInfo& rci);
  void DisableOpenGLArrays(TRenderContextInfo& rci);
  // Binds light map Index of the context's light-map library on texture unit 1 (-1, or an
  // index past the library: off).
  void SetLightMap(TRenderContextInfo& rci, int Index);

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;
  // Checks what was read for data that could only fail later, at every draw: face-group
  // indices outside the vertices, index lists shorter than their group, morph targets of
  // another size. Raises EReadError naming the object and the broken part.
  virtual void CheckStoredData() const;

 private:
  bool arraysLocked_ = false;
  std::uint32_t declaredArrays_ = 0;  // bit 0 vertex, 1 normal, 2 colour, 3 texture; 8 + k unit k
  TMeshObjectList* owner_ = nullptr;
  std::unique_ptr<TAffineVectorList> texCoords_;
  std::unique_ptr<TTexPointList> lightMapTexCoords_;
  std::unique_ptr<TVectorList> colors_;
  std::unique_ptr<TFaceGroups> faceGroups_;
  std::vector<std::unique_ptr<TVectorList>> texCoordsEx_;
  TMeshObjectDrawMode mode_ = mdmTriangles;
  TMeshObjectRenderingOptions renderingOptions_ = 0;
  bool arraysDeclared_ = false;
  bool lightMapArrayEnabled_ = false;
  int lastLightMapIndex_ = -1;
  int auxTexCoordIndexA_ = 2;
  int auxTexCoordIndexB_ = 1;
};

class TMorphableMeshObject : public TMeshObject {
  RTL_CLASS(TMorphableMeshObject, TMeshObject)
 public:
  TMorphableMeshObject();
  explicit TMorphableMeshObject(TMeshObjectList* AOwner);
  ~TMorphableMeshObject() override;

  TMeshMorphTargetList* MorphTargets() const noexcept { return morphTargets_.get(); }
  void Clear() override;
  void Translate(const TAffineVector& Delta) override;
  // Index must be below the target count (assertion), except 0 with no targets (nothing).
  void MorphTo(int Index);
  void Lerp(int Index1, int Index2, float LerpFactor);

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;
  // Also: every target holds no vertices or as many as the object, and all targets hold
  // as many normals as each other (morphing blends them pairwise).
  void CheckStoredData() const override;

 private:
  void Init();
  std::unique_ptr<TMeshMorphTargetList> morphTargets_;
};

class TMeshMorphTarget : public TBaseMeshObject {
  RTL_CLASS(TMeshMorphTarget, TBaseMeshObject)
 public:
  TMeshMorphTarget() = default;
  // Appended to AOwner's list when given.
  explicit TMeshMorphTarget(TMeshMorphTargetList* AOwner);
  TMeshMorphTargetList* Owner() const noexcept { return owner_; }
  void SetOwner(TMeshMorphTargetList* Value) noexcept { owner_ = Value; }

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 private:
  TMeshMorphTargetList* owner_ = nullptr;
};

// Lists that own their items and hand them their owner. Clear frees the items; after reading,
// every item must be of ItemClass (else EFilerException) and gets the list as its owner.
class TOwnedItemList : public TPersistentObjectList {
  RTL_CLASS(TOwnedItemList, TPersistentObjectList)
 public:
  ~TOwnedItemList() override;
  void Clear() override;
  void FreeItemsAndClear() override { Clear(); }
  void ReadFromFiler(TVirtualReader* Reader) override;

 protected:
  TOwnedItemList() = default;
  virtual TClass ItemClass() const { return TObject::StaticClass(); }
  // Concrete lists hand items their owner; their destructors call Clear themselves, so that
  // this is their override and not the base's.
  virtual void SetItemOwner(TObject* /*Item*/, bool /*Attach*/) {}
};

class TMeshObjectList : public TOwnedItemList {
  RTL_CLASS(TMeshObjectList, TOwnedItemList)
 public:
  ~TMeshObjectList() override { Clear(); }
  TMeshObjectList() = default;
  explicit TMeshObjectList(TGLBaseMesh* AOwner) : owner_(AOwner) {}

  TGLBaseMesh* Owner() const noexcept { return owner_; }
  // The skeleton the skinned items bind to (the owning mesh's).
  TSkeleton* Skeleton() const noexcept { return skeleton_; }
  void SetSkeleton(TSkeleton* Value) noexcept { skeleton_ = Value; }
  TMeshObject* operator[](int Index) const noexcept { return static_cast<TMeshObject*>(Get(Index)); }

  void MorphTo(int Index);
  void Lerp(int Index1, int Index2, float LerpFactor);
  // Smallest target count among morphable items; 0 when there is none.
  int MorphTargetCount() const;
  // From min (1e30, ...) and max (-1e30, ...), widened by each item's extents.
  void GetExtents(TAffineVector& Min, TAffineVector& Max) const;
  void Translate(const TAffineVector& Delta);
  TAffineVectorList* ExtractTriangles(TAffineVectorList* TexCoords = nullptr, TAffineVectorList* Normals = nullptr);
  void Prepare();
  void PrepareMaterialLibraryCache(TGLMaterialLibrary* Library);
  void DropMaterialLibraryCache();
  // Each visible item in order.
  virtual void PrepareBuildList(TRenderContextInfo& rci);
  virtual void BuildList(TRenderContextInfo& rci);

  void ReadFromFiler(TVirtualReader* Reader) override;

 protected:
  TClass ItemClass() const override { return TMeshObject::StaticClass(); }
  void SetItemOwner(TObject* Item, bool Attach) override;

 private:
  TGLBaseMesh* owner_ = nullptr;
  TSkeleton* skeleton_ = nullptr;
};

class TMeshMorphTargetList : public TOwnedItemList {
  RTL_CLASS(TMeshMorphTargetList, TOwnedItemList)
 public:
  ~TMeshMorphTargetList() override { Clear(); }
  TMeshMorphTargetList() = default;
  explicit TMeshMorphTargetList(TMorphableMeshObject* AOwner) : owner_(AOwner) {}
  TMorphableMeshObject* Owner() const noexcept { return owner_; }
  TMeshMorphTarget* operator[](int Index) const noexcept { return static_cast<TMeshMorphTarget*>(Get(Index)); }
  void Translate(const TAffineVector& Delta);

 protected:
  TClass ItemClass() const override { return TMeshMorphTarget::StaticClass(); }
  void SetItemOwner(TObject* Item, bool Attach) override;

 private:
  TMorphableMeshObject* owner_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Face groups

class TFaceGroup : public TPersistentObject {
  RTL_CLASS(TFaceGroup, TPersistentObject)
 public:
  TFaceGroup() = default;
  // Adds itself to AOwner's list.
  explicit TFaceGroup(TFaceGroups* AOwner);
  // Leaves its owner's list.
  ~TFaceGroup() override;

  TFaceGroups* Owner() const noexcept { return owner_; }
  void SetOwner(TFaceGroups* Value) noexcept { owner_ = Value; }
  const std::string& MaterialName() const noexcept { return materialName_; }
  void SetMaterialName(const std::string& Value) { materialName_ = Value; }
  int LightMapIndex() const noexcept { return lightMapIndex_; }
  void SetLightMapIndex(int Value) noexcept { lightMapIndex_ = Value; }
  int RenderGroupID() const noexcept { return renderGroupID_; }
  void SetRenderGroupID(int Value) noexcept { renderGroupID_ = Value; }
  TGLLibMaterial* MaterialCache() const noexcept { return materialCache_; }
  void PrepareMaterialLibraryCache(TGLMaterialLibrary* Library);
  void DropMaterialLibraryCache() noexcept { materialCache_ = nullptr; }
  virtual void BuildList(TRenderContextInfo& /*rci*/) {}

  // Appends this group's triangle corners (and, when the lists are given, their texture
  // coordinates and normals).
  virtual void AddToTriangles(TAffineVectorList* AList, TAffineVectorList* ATexCoords = nullptr,
                              TAffineVectorList* ANormals = nullptr) {}
  virtual int TriangleCount() const { return 0; }
  virtual void Clear() {}
  // Empty when the group can be drawn over Object's lists, else what is wrong with it.
  virtual std::string StoredDataFault(const TMeshObject& /*Object*/) const { return {}; }

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 protected:
  // The owning mesh object; nullptr when free-standing.
  TMeshObject* MeshObject() const;

 private:
  TFaceGroups* owner_ = nullptr;
  std::string materialName_;
  int lightMapIndex_ = -1;
  int renderGroupID_ = 0;
  TGLLibMaterial* materialCache_ = nullptr;
};

enum TFaceGroupPrimitive : std::uint8_t {
  fgpTriangles = 0,
  fgpTriangleStrip = 1,
  fgpFlatTriangles = 2,
  fgpTriangleFan = 3,
  fgpQuads = 4
};
// The OpenGL primitive of a face-group mode (GL_TRIANGLES for unknown modes).
unsigned FaceGroupPrimitiveToGL(TFaceGroupPrimitive Mode) noexcept;

class TFGVertexIndexList : public TFaceGroup {
  RTL_CLASS(TFGVertexIndexList, TFaceGroup)
 public:
  TFGVertexIndexList();
  explicit TFGVertexIndexList(TFaceGroups* AOwner);
  ~TFGVertexIndexList() override;

  TIntegerList* VertexIndices() const noexcept { return vertexIndices_.get(); }
  TFaceGroupPrimitive Mode() const noexcept { return mode_; }
  void SetMode(TFaceGroupPrimitive Value) noexcept { mode_ = Value; }

  void Add(int Index) { vertexIndices_->Add(Index); }
  void AddTriangle(int I1, int I2, int I3) { vertexIndices_->AddTriple(I1, I2, I3); }
  // Strip, fan and quads rewritten as plain triangles (mode becomes fgpTriangles).
  void ConvertToList();

  void AddToTriangles(TAffineVectorList* AList, TAffineVectorList* ATexCoords = nullptr,
                      TAffineVectorList* ANormals = nullptr) override;
  int TriangleCount() const override;
  void Clear() override { vertexIndices_->Clear(); }
  void BuildList(TRenderContextInfo& rci) override;

  // Vertex indices outside the object's vertices.
  std::string StoredDataFault(const TMeshObject& Object) const override;

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 protected:
  // StoredDataFault of a group drawn corner by corner (no quads).
  std::string CornerGroupFault(const TMeshObject& Object) const;
  // Appends Source's items at the corners the indices give (zero vectors when Source is empty,
  // so that parallel lists stay aligned). An index outside Source is an assertion failure.
  void AddIndexedCorners(const TIntegerList* Indices, const TAffineVectorList* Source, TAffineVectorList* Target) const;

 private:
  std::unique_ptr<TIntegerList> vertexIndices_;
  TFaceGroupPrimitive mode_ = fgpTriangles;
};

class TFGVertexNormalTexIndexList : public TFGVertexIndexList {
  RTL_CLASS(TFGVertexNormalTexIndexList, TFGVertexIndexList)
 public:
  TFGVertexNormalTexIndexList();
  explicit TFGVertexNormalTexIndexList(TFaceGroups* AOwner);
  ~TFGVertexNormalTexIndexList() override;

  TIntegerList* NormalIndices() const noexcept { return normalIndices_.get(); }
  TIntegerList* TexCoordIndices() const noexcept { return texCoordIndices_.get(); }

  void AddToTriangles(TAffineVectorList* AList, TAffineVectorList* ATexCoords = nullptr,
                      TAffineVectorList* ANormals = nullptr) override;
  void BuildList(TRenderContextInfo& rci) override;
  // Also: normal and texture-coordinate index lists empty or as long as the vertex indices,
  // their entries inside the object's (non-empty) lists; no quads.
  std::string StoredDataFault(const TMeshObject& Object) const override;
  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 private:
  std::unique_ptr<TIntegerList> normalIndices_;
  std::unique_ptr<TIntegerList> texCoordIndices_;
};

class TFGIndexTexCoordList : public TFGVertexIndexList {
  RTL_CLASS(TFGIndexTexCoordList, TFGVertexIndexList)
 public:
  TFGIndexTexCoordList();
  explicit TFGIndexTexCoordList(TFaceGroups* AOwner);
  ~TFGIndexTexCoordList() override;

  // One texture coordinate per index entry.
  TAffineVectorList* TexCoords() const noexcept { return texCoords_.get(); }

  void BuildList(TRenderContextInfo& rci) override;
  // Also: one texture coordinate per vertex index; no quads.
  std::string StoredDataFault(const TMeshObject& Object) const override;
  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 private:
  std::unique_ptr<TAffineVectorList> texCoords_;
};

class TFaceGroups : public TOwnedItemList {
  RTL_CLASS(TFaceGroups, TOwnedItemList)
 public:
  ~TFaceGroups() override { Clear(); }
  TFaceGroups() = default;
  explicit TFaceGroups(TMeshObject* AOwner) : owner_(AOwner) {}
  TMeshObject* Owner() const noexcept { return owner_; }
  TFaceGroup* operator[](int Index) const noexcept { return static_cast<TFaceGroup*>(Get(Index)); }
  void AddToTriangles(TAffineVectorList* AList, TAffineVectorList* ATexCoords, TAffineVectorList* ANormals);
  int TriangleCount() const;

 protected:
  TClass ItemClass() const override { return TFaceGroup::StaticClass(); }
  void SetItemOwner(TObject* Item, bool Attach) override;

 private:
  TMeshObject* owner_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Skeletons

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

// ---------------------------------------------------------------------------------------------
// Mesh-file formats

// ---------------------------------------------------------------------------------------------
// Mesh scene objects

enum TMeshNormalsOrientation : std::uint8_t { mnoDefault, mnoInvert };
// Bits: macCenterX 1, macCenterY 2, macCenterZ 4, macUseBarycenter 8.
enum TMeshAutoCentering : std::uint8_t { macCenterX, macCenterY, macCenterZ, macUseBarycenter };
using TMeshAutoCenterings = std::uint8_t;

class TVectorFile;

// Holds mesh objects and a skeleton; loads and saves them through the mesh-file formats.
class TGLBaseMesh : public TGLSceneObject {
  RTL_CLASS(TGLBaseMesh, TGLSceneObject)
 public:
  explicit TGLBaseMesh(TComponent* AOwner);
  ~TGLBaseMesh() override;

  TMeshObjectList* MeshObjects() const noexcept { return meshObjects_.get(); }
  TSkeleton* Skeleton() const noexcept { return skeleton_.get(); }
  TMeshNormalsOrientation NormalsOrientation() const noexcept { return normalsOrientation_; }
  void SetNormalsOrientation(TMeshNormalsOrientation Value);
  TGLMaterialLibrary* MaterialLibrary() const noexcept { return materialLibrary_; }
  void SetMaterialLibrary(TGLMaterialLibrary* Value);
  TGLMaterialLibrary* LightmapLibrary() const noexcept { return lightmapLibrary_; }
  void SetLightmapLibrary(TGLMaterialLibrary* Value);
  bool UseMeshMaterials() const noexcept { return useMeshMaterials_; }
  void SetUseMeshMaterials(bool Value);
  TMeshAutoCenterings AutoCentering() const noexcept { return autoCentering_; }
  void SetAutoCentering(TMeshAutoCenterings Value);
  TGLCoordinates* AutoScaling() const noexcept { return autoScaling_.get(); }
  void SetAutoScaling(TGLCoordinates* Value) { autoScaling_->Assign(Value); }
  bool OverlaySkeleton() const noexcept { return overlaySkeleton_; }
  void SetOverlaySkeleton(bool Value);

  // Nothing for an empty name. Loading replaces the mesh objects and the skeleton; an unknown
  // extension raises EInvalidVectorFile.
  void LoadFromFile(const std::string& FileName);
  virtual void LoadFromStream(const std::string& FileName, TStream* Stream);
  void SaveToFile(const std::string& FileName);
  void SaveToStream(const std::string& FileName, TStream* Stream);
  void AddDataFromFile(const std::string& FileName);
  void AddDataFromStream(const std::string& FileName, TStream* Stream);

  void PerformAutoCentering();
  void PerformAutoScaling();
  virtual void PrepareMesh() { StructureChanged(); }
  void PrepareMaterialLibraryCache();
  void DropMaterialLibraryCache();
  virtual void PrepareBuildList(TRenderContextInfo& rci);
  // Drops the cached dimensions and materials, re-prepares the mesh objects, then marks the
  // display list stale.
  virtual void StructureChanged();

  TVector4f AxisAlignedDimensionsUnscaled() override;
  void BuildList(TRenderContextInfo& rci) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;
  // The silhouette of the mesh's index face groups (the caller frees it).
  TGLSilhouette* GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) override;
  void DestroyHandle() override;
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

 protected:
  virtual void PrepareVectorFile(TVectorFile* AFile);

 private:
  std::unique_ptr<TVectorFile> CreateVectorFile(const std::string& FileName);
  void LoadData(const std::string& FileName, TStream* Stream);

  std::unique_ptr<TMeshObjectList> meshObjects_;
  std::unique_ptr<TSkeleton> skeleton_;
  TMeshNormalsOrientation normalsOrientation_ = mnoDefault;
  TGLMaterialLibrary* materialLibrary_ = nullptr;
  TGLMaterialLibrary* lightmapLibrary_ = nullptr;
  bool useMeshMaterials_ = true;
  TMeshAutoCenterings autoCentering_ = 0;
  std::unique_ptr<TGLCoordinates> autoScaling_;
  bool overlaySkeleton_ = false;
  TVector4f dimensions_{{-1, 0, 0, 0}};
  bool materialLibraryCachesPrepared_ = false;
};

class TGLFreeForm : public TGLBaseMesh {
  RTL_CLASS(TGLFreeForm, TGLBaseMesh)
 public:
  using TGLBaseMesh::TGLBaseMesh;
};

enum TActorAnimationReference : std::uint8_t { aarMorph, aarSkeleton, aarNone };
enum TActorFrameInterpolation : std::uint8_t { afpNone, afpLinear };
enum TActorAnimationMode : std::uint8_t {
  aamNone,
  aamPlayOnce,
  aamLoop,
  aamBounceForward,
  aamBounceBackward,
  aamLoopBackward,
  aamExternal
};
enum TGLActorOption : std::uint8_t { aoSkeletonNormalizeNormals };
using TGLActorOptions = std::uint8_t;  // bit 0: aoSkeletonNormalizeNormals

class TGLActor;

class TActorAnimation : public TCollectionItem {
  RTL_CLASS(TActorAnimation, TCollectionItem)
 public:
  explicit TActorAnimation(TCollection* ACollection) : TCollectionItem(ACollection) {}
  void Assign(TPersistent* Source) override;
  std::string GetDisplayName() override;

  const std::string& Name() const noexcept { return name_; }
  void SetName(const std::string& Value) { name_ = Value; }
  // Clamped to the frames of Reference; pulls EndFrame up / pushes StartFrame down.
  int StartFrame() const noexcept { return startFrame_; }
  void SetStartFrame(int Value);
  int EndFrame() const noexcept { return endFrame_; }
  void SetEndFrame(int Value);
  TActorAnimationReference Reference() const noexcept { return reference_; }
  void SetReference(TActorAnimationReference Value);
  TGLActor* Owner() const;

 private:
  int FrameCount() const;
  std::string name_;
  int startFrame_ = 0;
  int endFrame_ = 0;
  TActorAnimationReference reference_ = aarMorph;
};

class TActorAnimations : public TOwnedCollection {
  RTL_CLASS(TActorAnimations, TOwnedCollection)
 public:
  explicit TActorAnimations(TGLActor* AOwner);
  TGLActor* Owner() const noexcept { return owner_; }
  TActorAnimation* Add() { return AddAs<TActorAnimation>(); }
  TActorAnimation* Items(int Index) const { return ItemAs<TActorAnimation>(Index); }
  // First item whose name equals Name ignoring case; nullptr when none.
  TActorAnimation* FindName(const std::string& Name) const;

 private:
  TGLActor* owner_;
};

class TGLBaseAnimationControler : public TComponent {
  RTL_CLASS(TGLBaseAnimationControler, TComponent)
 public:
  explicit TGLBaseAnimationControler(TComponent* AOwner) : TComponent(AOwner) {}
  ~TGLBaseAnimationControler() override;

  bool Enabled() const noexcept { return enabled_; }
  void SetEnabled(bool Value);
  TGLActor* Actor() const noexcept { return actor_; }
  void SetActor(TGLActor* Value);
  // Fills one blend entry; the base fills none.
  virtual bool Apply(TBlendedLerpInfo& /*LerpInfo*/) { return false; }
  void Notification(TComponent* AComponent, TOperation Operation) override;

 protected:
  void DoChange();

 private:
  bool enabled_ = true;
  TGLActor* actor_ = nullptr;
};

class TGLAnimationControler : public TGLBaseAnimationControler {
  RTL_CLASS(TGLAnimationControler, TGLBaseAnimationControler)
 public:
  using TGLBaseAnimationControler::TGLBaseAnimationControler;
  const std::string& AnimationName() const noexcept { return animationName_; }
  void SetAnimationName(const std::string& Value);
  float Ratio() const noexcept { return ratio_; }
  // Clamped to 0 .. 1.
  void SetRatio(float Value);
  bool Apply(TBlendedLerpInfo& LerpInfo) override;

 private:
  std::string animationName_;
  float ratio_ = 0;
};

// A mesh animated frame by frame (morph targets or skeleton frames) by the frame clock.
class TGLActor : public TGLBaseMesh {
  RTL_CLASS(TGLActor, TGLBaseMesh)
 public:
  explicit TGLActor(TComponent* AOwner);
  ~TGLActor() override;

  int StartFrame() const noexcept { return startFrame_; }
  void SetStartFrame(int Value);
  int EndFrame() const noexcept { return endFrame_; }
  void SetEndFrame(int Value);
  int CurrentFrame() const noexcept { return currentFrame_; }
  void SetCurrentFrame(int Value);
  float CurrentFrameDelta() const noexcept { return currentFrameDelta_; }
  void SetCurrentFrameDelta(float Value) noexcept { currentFrameDelta_ = Value; }
  TActorAnimationReference Reference() const noexcept { return reference_; }
  // Brings the start, end and current frame within the frames of the new reference.
  void SetReference(TActorAnimationReference Value);
  TActorFrameInterpolation FrameInterpolation() const noexcept { return frameInterpolation_; }
  void SetFrameInterpolation(TActorFrameInterpolation Value) noexcept { frameInterpolation_ = Value; }
  TActorAnimationMode AnimationMode() const noexcept { return animationMode_; }
  void SetAnimationMode(TActorAnimationMode Value) noexcept { animationMode_ = Value; }
  int Interval() const noexcept { return interval_; }
  void SetInterval(int Value) noexcept { interval_ = Value; }
  TGLActorOptions Options() const noexcept { return options_; }
  void SetOptions(TGLActorOptions Value);
  TActorAnimations* Animations() const noexcept { return animations_.get(); }
  void SetAnimations(TActorAnimations* Value) { animations_->Assign(Value); }
  TActorAnimation* TargetSmoothAnimation() const noexcept { return targetSmoothAnimation_; }
  int ControlerCount() const noexcept { return controlers_ ? static_cast<int>(controlers_->size()) : 0; }

  std::function<void(TObject*)> OnFrameChanged;
  std::function<void(TObject*)> OnEndFrameReached;
  std::function<void(TObject*)> OnStartFrameReached;

  // By Reference: the morph targets or the skeleton frames; none for aarNone.
  int FrameCount() const;
  int NextFrameIndex() const;
  void NextFrame(int N = 1);
  void AllFrames();
  void SwitchToAnimation(TActorAnimation* AnAnimation, bool Smooth = false);
  void SwitchToAnimation(const std::string& AnimationName, bool Smooth = false);
  void SwitchToAnimation(int AnimationIndex, bool Smooth = false);
  void Synchronize(TGLActor* ReferenceActor);
  void RegisterControler(TGLBaseAnimationControler* AControler);
  void UnRegisterControler(TGLBaseAnimationControler* AControler);

  void LoadFromStream(const std::string& FileName, TStream* Stream) override;
  void BuildList(TRenderContextInfo& rci) override;
  void DoProgress(const TProgressTimes& progressTime) override;
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  int startFrame_ = 0;
  int endFrame_ = 0;
  int currentFrame_ = 0;
  float currentFrameDelta_ = 0;
  TActorAnimationReference reference_ = aarMorph;
  TActorFrameInterpolation frameInterpolation_ = afpLinear;
  TActorAnimationMode animationMode_ = aamNone;
  int interval_ = 100;
  TGLActorOptions options_ = 1;
  std::unique_ptr<TActorAnimations> animations_;
  TActorAnimation* targetSmoothAnimation_ = nullptr;
  std::unique_ptr<std::vector<TGLBaseAnimationControler*>> controlers_;
};

// ---------------------------------------------------------------------------------------------
// Mesh-file formats

class TVectorFile : public TDataFile {
  RTL_CLASS(TVectorFile, TDataFile)
 public:
  // The owner must be a TGLBaseMesh (assertion).
  explicit TVectorFile(TPersistent* AOwner);
  TGLBaseMesh* Owner() const noexcept { return mesh_; }
  int NormalsOrientation() const noexcept { return normalsOrientation_; }
  void SetNormalsOrientation(int Value) noexcept { normalsOrientation_ = Value; }

 protected:
  // The mesh objects loaded or saved (the owner's).
  TMeshObjectList* MeshObjects() const;

 private:
  TGLBaseMesh* mesh_;
  int normalsOrientation_ = 0;
};

// The archive of the owner's mesh-object list.
class TGLGLSMVectorFile : public TVectorFile {
  RTL_CLASS(TGLGLSMVectorFile, TVectorFile)
 public:
  explicit TGLGLSMVectorFile(TPersistent* AOwner) : TVectorFile(AOwner) {}
  TDataFileCapabilities Capabilities() const override { return {dfcRead, dfcWrite}; }
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) override;
};

using TVectorFileClass = TClass;

class TVectorFileFormat : public TObject {
  RTL_CLASS(TVectorFileFormat, TObject)
 public:
  TVectorFileClass VectorFileClass = nullptr;
  std::string Extension;  // lower-case
  std::string Description;
  int DescResID = 0;
};

class TVectorFileFormatsList : public TPersistentObjectList {
  RTL_CLASS(TVectorFileFormatsList, TPersistentObjectList)
 public:
  TVectorFileFormatsList() = default;
  ~TVectorFileFormatsList() override;
  void Add(const std::string& Ext, const std::string& Desc, int DescID, TVectorFileClass Class);
  // Last registration first; nullptr when none.
  TVectorFileClass FindExt(const std::string& Ext) const;
  // By the file name's extension; EInvalidVectorFile when unknown.
  TVectorFileClass FindFromFileName(const std::string& FileName) const;
  TVectorFileFormat* operator[](int Index) const noexcept { return static_cast<TVectorFileFormat*>(Get(Index)); }
};

// The process-wide registry, created on first use.
TVectorFileFormatsList* GetVectorFileFormats();
void RegisterVectorFileFormat(const std::string& AExtension, const std::string& ADescription, TVectorFileClass AClass);

// Registers the "glsm" format, makes the mesh, skeleton, face-group and scene classes known to
// the class registry by name and declares the published properties.
void RegisterGLVectorFileObjects();
