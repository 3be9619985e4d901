// The mesh scene objects: TGLBaseMesh and the plain mesh, TGLFreeForm.
#include "Source/Further/GLBaseMesh.h"
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

void TGLBaseMesh::LoadData(const std::string& FileName, TStream* Stream, TMeshObjectList* Into,
                           TSkeleton* IntoSkeleton) {
  std::unique_ptr<TVectorFile> file = CreateVectorFile(FileName);
  file->SetTarget(Into, IntoSkeleton);
  TGLSceneGraph* scene = Scene();
  if (scene) scene->BeginUpdate();
  // A failure to end the update fails the load: the caller keeps what it had.
  TScopeExit endUpdate([scene] {
    if (scene) scene->EndUpdate();
  });
  file->LoadFromStream(Stream);
}

namespace {

// Hands every mesh object of From to To, in order.
void MoveMeshObjects(TMeshObjectList* From, TMeshObjectList* To) {
  while (From->Count() > 0) {
    TMeshObject* mo = (*From)[0];
    From->Delete(0);
    mo->SetOwner(To);
    To->Add(mo);
  }
}

}  // namespace

void TGLBaseMesh::LoadFromFile(const std::string& FileName) {
  if (FileName.empty()) return;
  std::unique_ptr<TStream> stream = CreateFileStream(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(FileName, stream.get());
}

void TGLBaseMesh::LoadFromStream(const std::string& FileName, TStream* Stream) {
  if (FileName.empty()) return;
  // The file is read into lists of its own and replaces what the mesh holds only once it is
  // read whole: an unknown extension or a broken file leaves the mesh as it was.
  TSkeleton loadedSkeleton(this);  // outlives the objects that may bind to it
  TMeshObjectList loaded(this);
  loaded.SetSkeleton(&loadedSkeleton);
  loadedSkeleton.SetMeshObjects(&loaded);
  LoadData(FileName, Stream, &loaded, &loadedSkeleton);
  // The skeleton first: it is the step that can still fail (a copy through its archive).
  if (loadedSkeleton.RootBones()->Count() > 0 || loadedSkeleton.Frames()->Count() > 0 ||
      loadedSkeleton.Colliders()->Count() > 0) {
    skeleton_->LoadFromString(loadedSkeleton.SaveToString());
    skeleton_->RootBones()->PrepareGlobalMatrices();
  } else {
    skeleton_->Clear();
  }
  DropMaterialLibraryCache();
  meshObjects_->Clear();
  MoveMeshObjects(&loaded, meshObjects_.get());
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
  TMeshObjectList added(this);
  added.SetSkeleton(skeleton_.get());
  LoadData(FileName, Stream, &added, skeleton_.get());
  MoveMeshObjects(&added, meshObjects_.get());
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
    // A pass without materials draws on the spot: the list holds the materials, and is compiled
    // only in a pass that draws them.
    auto draw = [&] {
      if ((ObjectStyle() & osDirectDraw) || rci.amalgamating || rci.ignoreMaterials)
        BuildList(rci);
      else
        CallListHandle(rci);
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
void RegisterGLBaseMeshClasses() {
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
  RegisterClass(TGLFreeForm::StaticClass());
}
