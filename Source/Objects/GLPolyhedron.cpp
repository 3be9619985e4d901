// Dodecahedron and icosahedron scene objects and their class registration.
#include "Source/Objects/GLPolyhedron.h"

void TGLDodecahedron::BuildList(TRenderContextInfo&) { DodecahedronBuildList(); }

void TGLIcosahedron::BuildList(TRenderContextInfo&) { IcosahedronBuildList(); }

void RegisterGLPolyhedronClasses() { RegisterClasses({TGLDodecahedron::StaticClass(), TGLIcosahedron::StaticClass()}); }
