// Connectivity of face groups and whole meshes, built from mesh objects, for silhouettes.
#include "Source/Further/GLBaseMeshSilhouette.h"

#include "Source/Further/GLActor.h"
#include "rtl/SysUtils.h"

TFaceGroupConnectivity::TFaceGroupConnectivity(bool APrecomputeFaceNormal) : TConnectivity(APrecomputeFaceNormal) {}

TFaceGroupConnectivity::TFaceGroupConnectivity(TMeshObject* AMeshObject, bool APrecomputeFaceNormal)
    : TConnectivity(APrecomputeFaceNormal) {
  SetMeshObject(AMeshObject);
}

void TFaceGroupConnectivity::SetMeshObject(TMeshObject* AMeshObject) {
  Clear();
  meshObject_ = AMeshObject;
  ShareVertices(AMeshObject ? AMeshObject->Vertices() : nullptr);
  if (AMeshObject) RebuildEdgeList();
}

void TFaceGroupConnectivity::RebuildEdgeList() {
  Clear();
  if (!meshObject_) return;
  const int vertexCount = meshObject_->Vertices()->Count();
  TFaceGroups* groups = meshObject_->FaceGroups();
  for (int g = 0; g < groups->Count(); ++g) {
    TFaceGroup* group = (*groups)[g];
    RTL_ASSERT(group->Is<TFGVertexIndexList>(), "Method only works for descendants of TFGVertexIndexList.");
    auto* list = static_cast<TFGVertexIndexList*>(group);
    const TIntegerList& idx = *list->VertexIndices();
    const int n = idx.Count();
    for (int i = 0; i < n; ++i) RTL_ASSERT(idx[i] >= 0 && idx[i] < vertexCount, "Face group index out of range");
    switch (list->Mode()) {
      case fgpTriangles:
      case fgpFlatTriangles:
        for (int t = 0; t < list->TriangleCount(); ++t) AddIndexedFace(idx[3 * t], idx[3 * t + 1], idx[3 * t + 2]);
        break;
      case fgpTriangleStrip:
        for (int i = 0; i <= n - 3; ++i) {
          if (i % 2 == 0)
            AddIndexedFace(idx[i], idx[i + 1], idx[i + 2]);
          else
            AddIndexedFace(idx[i + 2], idx[i + 1], idx[i]);
        }
        break;
      case fgpTriangleFan:
        for (int i = 2; i < n; ++i) AddIndexedFace(idx[0], idx[i - 1], idx[i]);
        break;
      case fgpQuads:
        // Each quad as two triangles with its winding; an incomplete quad at the end is ignored.
        for (int q = 0; q + 3 < n; q += 4) {
          AddIndexedFace(idx[q], idx[q + 1], idx[q + 2]);
          AddIndexedFace(idx[q], idx[q + 2], idx[q + 3]);
        }
        break;
      default: RTL_ASSERT(false, "Not supported");
    }
  }
}

TGLBaseMeshConnectivity::TGLBaseMeshConnectivity(bool APrecomputeFaceNormal)
    : TBaseConnectivity(APrecomputeFaceNormal) {}

TGLBaseMeshConnectivity::TGLBaseMeshConnectivity(TGLBaseMesh* ABaseMesh)
    : TBaseConnectivity(!(ABaseMesh && ABaseMesh->Is<TGLActor>())) {
  SetGLBaseMesh(ABaseMesh);
}

TGLBaseMeshConnectivity::~TGLBaseMeshConnectivity() = default;

void TGLBaseMeshConnectivity::SetGLBaseMesh(TGLBaseMesh* ABaseMesh) {
  Clear(false);
  baseMesh_ = ABaseMesh;
  if (!ABaseMesh) return;
  TMeshObjectList* objects = ABaseMesh->MeshObjects();
  for (int i = 0; i < objects->Count(); ++i)
    faceGroups_.push_back(std::make_unique<TFaceGroupConnectivity>((*objects)[i], PrecomputeFaceNormal()));
}

void TGLBaseMeshConnectivity::Clear(bool SaveFaceGroups) {
  if (SaveFaceGroups) {
    for (auto& fg : faceGroups_) fg->Clear();
  } else {
    faceGroups_.clear();
  }
}

int TGLBaseMeshConnectivity::EdgeCount() const {
  int n = 0;
  for (const auto& fg : faceGroups_) n += fg->EdgeCount();
  return n;
}

int TGLBaseMeshConnectivity::FaceCount() const {
  int n = 0;
  for (const auto& fg : faceGroups_) n += fg->FaceCount();
  return n;
}

void TGLBaseMeshConnectivity::CreateSilhouette(const TGLSilhouetteParameters& Parameters,
                                               std::unique_ptr<TGLSilhouette>& Silhouette, bool /*AddToSilhouette*/) {
  if (!Silhouette)
    Silhouette = std::make_unique<TGLSilhouette>();
  else
    Silhouette->Flush();
  for (auto& fg : faceGroups_) fg->CreateSilhouette(Parameters, Silhouette, true);
}
