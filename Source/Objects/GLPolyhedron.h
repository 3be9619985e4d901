// Unit regular polyhedra as scene objects.
#pragma once

#include "Source/Objects/GLObjects.h"

class TGLDodecahedron : public TGLSceneObject {
  RTL_CLASS(TGLDodecahedron, TGLSceneObject)
 public:
  using TGLSceneObject::TGLSceneObject;
  void BuildList(TRenderContextInfo& rci) override;
};

class TGLIcosahedron : public TGLSceneObject {
  RTL_CLASS(TGLIcosahedron, TGLSceneObject)
 public:
  using TGLSceneObject::TGLSceneObject;
  void BuildList(TRenderContextInfo& rci) override;
};

void RegisterGLPolyhedronClasses();
