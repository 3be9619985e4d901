// Drawing the scene or one object again for a planar pass, and the camera's side of a plane.
#include "Source/Further/GLPlanarRender.h"

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorGeometry.h"

void RenderSceneOrObject(TGLBaseSceneObject* self, TGLBaseSceneObject* obj, TRenderContextInfo& rci) {
  if (!obj) {
    TGLSceneGraph* scene = self->Scene();
    if (scene && scene->Objects()->GetChildCount() > 0)
      scene->Objects()->RenderChildren(0, scene->Objects()->GetChildCount() - 1, rci);
    return;
  }
  if (obj->Parent()) GL.glMultMatrixf(obj->Parent()->GetAbsoluteMatrixPtr()->data());
  GL.glMultMatrixf(obj->GetLocalMatrixPtr()->data());
  obj->DoRender(rci, true, obj->GetChildCount() > 0);
}

bool CameraInFrontOf(TGLBaseSceneObject* obj, const TRenderContextInfo& rci) {
  const TVector4f toCamera = VectorSubtract(rci.cameraPosition, obj->AbsolutePosition());
  return VectorDotProduct(toCamera, obj->GetAbsoluteDirection()) > 0;
}
