// The mesh scene objects: TGLBaseMesh holds mesh objects and a skeleton, draws them under its
// materials and loads and saves them through the mesh-file formats (GLVectorFileObjects.h);
// TGLFreeForm is the plain mesh.
#pragma once

#include "Source/Further/GLMeshObjects.h"
#include "Source/Further/GLSkeleton.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLSceneGraph.h"

#include <cstdint>
#include <memory>
#include <string>

// A file name whose extension no registered mesh-file format reads or writes.
RTL_DECLARE_EXCEPTION(EInvalidVectorFile, Exception);

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

  // Nothing for an empty name. Loading replaces the mesh objects and the skeleton once the
  // whole file is read; an unknown extension (EInvalidVectorFile), a broken file or a failing
  // end of the scene's update raises and leaves them as they were.
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
  // The format of FileName reads Stream into the given lists, inside an update of the scene.
  void LoadData(const std::string& FileName, TStream* Stream, TMeshObjectList* Into, TSkeleton* IntoSkeleton);

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

// Makes TGLFreeForm known by name and declares its published properties.
void RegisterGLBaseMeshClasses();
