// Stored scene objects of the engine's own registered classes from arbitrary bytes, built and
// drawn. With an even first byte the rest is a component stream read as a root component: sky
// domes, fire managers, height fields and grids, tile planes, mirrors, meshes, and any other
// class a stored scene may name. With an odd first byte the rest is a mesh archive loaded into
// an actor that is animated. What loads is put in a scene and drawn for a few frames through a
// GL table that answers without a driver, and scene objects also build their geometry once
// directly. Refusals must be the run-time's exceptions (anything else escapes and is a finding);
// nothing may crash, hang, or leave attributes or matrices pushed.
#include "fuzz/Source/Scene/FuzzScene.h"

#include <cstdint>
#include <memory>
#include <string>

#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorLists.h"
#include "Source/Further/GLGraph.h"
#include "Source/Further/GLMesh.h"
#include "Source/Further/GLMirror.h"
#include "Source/Further/GLShadowPlane.h"
#include "Source/Further/GLShadowVolume.h"
#include "Source/Further/GLSkydome.h"
#include "Source/Further/GLTilePlane.h"
#include "Source/Further/GLVectorFileObjects.h"
#include "Source/Further/GLzBuffer.h"
#include "Source/Materials/GLColor.h"
#include "Source/Materials/GLFireFX.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLTexture.h"
#include "Source/Objects/GLGeomObjects.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Scene/GLNodes.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  void (*const units[])() = {
      RegisterPersistentClasses,
      RegisterVectorLists,
      RegisterGLCoordinatesClasses,
      RegisterGLNodesClasses,
      RegisterGLColorClasses,
      RegisterGLTextureClasses,
      RegisterGLMaterialClasses,
      RegisterGLSceneGraphClasses,
      RegisterGLObjectsClasses,
      RegisterGLGeomObjectsClasses,
      RegisterGLFireFXClasses,
      RegisterGLVectorFileObjects,
      RegisterGLMesh,
      RegisterGLGraphClasses,
      RegisterGLTilePlaneClasses,
      RegisterGLSkydomeClasses,
      RegisterGLShadowPlaneClasses,
      RegisterGLMirrorClasses,
      RegisterGLzBufferClasses,
      RegisterGLShadowVolumeClasses,
  };
  for (auto unit : units) unit();
}

// A library with a few plain materials for the objects that draw from one.
void FillLibrary(TGLMaterialLibrary& lib) {
  for (int i = 0; i < 4; ++i) lib.Materials()->Add();
}

void Fire(fuzzscene::TFuzzScene& s, TGLFireFXManager* m) {
  m->Random = [] { return 0.5f; };
  TGLBFireFX fx;
  fx.SetManager(m);
  TRenderContextInfo rci;
  rci.cameraDirection = TVector4f{0, 0, -1, 0};
  for (int i = 0; i < 3; ++i) {
    m->DoProgress({0.25, 0.25 * (i + 1)});
    fx.Render(&s.buffer, rci);
    fuzzscene::CheckBalanced("a fire");
  }
  fx.SetManager(nullptr);
}

void StoredComponent(const std::string& bytes) {
  fuzzscene::TFuzzScene s;
  TGLMaterialLibrary lib(nullptr);
  FillLibrary(lib);
  std::unique_ptr<TComponent> root;
  try {
    TStringStream in(bytes);
    root.reset(TReader(&in).ReadRootComponent(nullptr));
  } catch (const Exception&) {
    return;
  }
  if (auto* fire = dynamic_cast<TGLFireFXManager*>(root.get())) {
    Fire(s, fire);
    return;
  }
  auto* obj = dynamic_cast<TGLBaseSceneObject*>(root.get());
  if (!obj) return;
  if (auto* tiles = dynamic_cast<TGLTilePlane*>(obj); tiles && !tiles->MaterialLibrary())
    tiles->SetMaterialLibrary(&lib);
  if (auto* mesh = dynamic_cast<TGLBaseMesh*>(obj); mesh && !mesh->MaterialLibrary()) mesh->SetMaterialLibrary(&lib);
  try {
    s.scene.Objects()->AddChild(obj);
  } catch (const Exception&) {
    return;
  }
  root.release();  // the scene owns it now
  s.Frames(3);
  fuzzscene::BuildDirectly(s, obj);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  if (size == 0) return 0;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0)
    StoredComponent(body);
  else
    fuzzscene::DrawMeshArchive(body);
  return 0;
}
