// Triangle connectivity of mesh objects and whole meshes, for silhouettes (shadow volumes).
#pragma once

#include "Source/Scene/GLSilhouette.h"
#include "Source/Further/GLBaseMesh.h"

#include <memory>
#include <vector>

// The connectivity of one mesh object's index face groups. Bound to a mesh object, it reads the
// object's vertex list in place (never copies or empties it).
class TFaceGroupConnectivity : public TConnectivity {
  RTL_CLASS(TFaceGroupConnectivity, TConnectivity)
 public:
  explicit TFaceGroupConnectivity(bool APrecomputeFaceNormal);
  TFaceGroupConnectivity(TMeshObject* AMeshObject, bool APrecomputeFaceNormal);

  TMeshObject* MeshObject() const noexcept { return meshObject_; }
  void SetMeshObject(TMeshObject* AMeshObject);
  // The faces of every face group again. Groups that are not index lists, and quads, are
  // assertion failures.
  void RebuildEdgeList();

 private:
  TMeshObject* meshObject_ = nullptr;
};

// One face-group connectivity per mesh object of a mesh, in the mesh's order.
class TGLBaseMeshConnectivity : public TBaseConnectivity {
  RTL_CLASS(TGLBaseMeshConnectivity, TBaseConnectivity)
 public:
  explicit TGLBaseMeshConnectivity(bool APrecomputeFaceNormal);
  // Face normals are precomputed for every mesh but an actor (its vertices change every frame).
  explicit TGLBaseMeshConnectivity(TGLBaseMesh* ABaseMesh);
  ~TGLBaseMeshConnectivity() override;

  TGLBaseMesh* BaseMesh() const noexcept { return baseMesh_; }
  void SetGLBaseMesh(TGLBaseMesh* ABaseMesh);
  // SaveFaceGroups: each connectivity is cleared and kept; otherwise they are freed.
  void Clear(bool SaveFaceGroups);
  int FaceGroupConnectivityCount() const noexcept { return static_cast<int>(faceGroups_.size()); }
  TFaceGroupConnectivity* FaceGroupConnectivity(int Index) const { return faceGroups_.at(std::size_t(Index)).get(); }

  int EdgeCount() const override;
  int FaceCount() const override;
  // A new silhouette when none is given, else the given one emptied; every mesh object's
  // connectivity adds to it.
  void CreateSilhouette(const TGLSilhouetteParameters& Parameters, std::unique_ptr<TGLSilhouette>& Silhouette,
                        bool AddToSilhouette) override;

 private:
  TGLBaseMesh* baseMesh_ = nullptr;
  std::vector<std::unique_ptr<TFaceGroupConnectivity>> faceGroups_;
};
