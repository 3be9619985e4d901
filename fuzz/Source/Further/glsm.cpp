// Mesh files ("glsm": the archive of a mesh-object list) and skeleton archives from arbitrary
// bytes. Refusals must be exceptions; whatever loads must be usable, save to an archive that
// reads back to the same bytes, and draw: loaded into an actor, animated and drawn for a few
// frames through a GL table that answers without a driver.
#include "Source/Further/GLVectorFileObjects.h"
#include "fuzz/Source/Scene/FuzzScene.h"
#include "rtl/SysUtils.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

void UseMeshObjects(TMeshObjectList& list) {
  TAffineVectorList texCoords, normals;
  try {
    std::unique_ptr<TAffineVectorList> tris(list.ExtractTriangles(&texCoords, &normals));
  } catch (const EAssertionFailed&) {
    // indices outside their lists are refused (modes are checked when read)
  }
  for (int i = 0; i < list.Count(); ++i) list[i]->TriangleCount();
  TAffineVector mn, mx;
  list.GetExtents(mn, mx);
  const int targets = list.MorphTargetCount();
  if (targets > 0) {
    try {
      list.Lerp(0, targets - 1, 0.5f);
    } catch (const EAssertionFailed&) {
      // targets of different sizes
    }
  }
  const std::string saved = list.SaveToString();
  TMeshObjectList again;
  again.LoadFromString(saved);
  if (again.SaveToString() != saved) std::abort();
}

void UseSkeleton(TSkeleton& skeleton) {
  skeleton.BoneByID(0);
  skeleton.BoneByName("root");
  if (skeleton.Frames()->Count() > 0) {
    try {
      skeleton.Lerp(0, skeleton.Frames()->Count() - 1, 0.5f);
    } catch (const EAssertionFailed&) {
      // frames of different sizes
    }
  }
  skeleton.RootBones()->PrepareGlobalMatrices();
  skeleton.Colliders()->AlignColliders();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool registered = [] {
    RegisterPersistentClasses();
    RegisterVectorLists();
    RegisterGLVectorFileObjects();
    return true;
  }();
  (void)registered;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  TSkeleton skeleton;
  TMeshObjectList list;
  list.SetSkeleton(&skeleton);
  skeleton.SetMeshObjects(&list);
  bool loaded = false;
  try {
    list.LoadFromString(bytes);
    loaded = true;
  } catch (const Exception&) {
  }
  if (loaded) {
    UseMeshObjects(list);
    fuzzscene::DrawMeshArchive(bytes);
  }

  TSkeleton other;
  try {
    other.LoadFromString(bytes);
  } catch (const Exception&) {
    return 0;
  }
  UseSkeleton(other);
  return 0;
}
