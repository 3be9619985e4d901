// Mesh geometry: mesh objects, morph targets and face groups, and the lists that own them.
//
// Every class here is a persistent object that streams itself with a versioned archive (parent's
// archive, integer version, fields). Untrusted archives: list items of the wrong class and
// indices outside their lists are checked, so a broken file gives an exception, never a crash.
#pragma once

#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Base/VectorLists.h"
#include "Source/Scene/GLRenderContextInfo.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TGLBaseMesh;
class TMeshObjectList;
class TFaceGroups;
class TMeshMorphTargetList;
class TSkeleton;
class TGLLibMaterial;
class TGLMaterialLibrary;

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

// Makes the mesh-object and face-group classes known to the class registry by name.
void RegisterGLMeshObjectsClasses();
