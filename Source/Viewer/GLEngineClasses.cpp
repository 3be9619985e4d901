#include "Source/Viewer/GLEngineClasses.h"

#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorLists.h"
#include "Source/Materials/GLBitmapFont.h"
#include "Source/Scene/GLCadencer.h"
#include "Source/Scene/GLCamera.h"
#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Materials/GLFireFX.h"
#include "Source/Objects/GLGeomObjects.h"
#include "Source/Further/GLGraph.h"
#include "Source/Materials/GLHUDObjects.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Further/GLMesh.h"
#include "Source/Further/GLMirror.h"
#include "Source/Further/GLMotionBehaviours.h"
#include "Source/Scene/GLNodes.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Objects/GLPolyhedron.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Further/GLShadowPlane.h"
#include "Source/Further/GLShadowVolume.h"
#include "Source/Further/GLSkydome.h"
#include "Source/Objects/GLSound.h"
#include "Source/Objects/GLSoundFileObjects.h"
#include "Source/Materials/GLSystemFont.h"
#include "Source/Materials/GLTexture.h"
#include "Source/Further/GLTilePlane.h"
#include "Source/Further/GLVectorFileObjects.h"
#include "Source/Further/GLzBuffer.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"

void RegisterEngineClasses(const std::function<void(const std::exception&)>& OnError) {
  void (*const Units[])() = {
      RegisterPersistentClasses,
      RegisterVectorLists,
      RegisterGLCoordinatesClasses,
      RegisterGLNodesClasses,
      RegisterGLColorClasses,
      RegisterGLTextureClasses,
      RegisterGLMaterialClasses,
      RegisterGLSceneGraphClasses,
      RegisterGLCameraClasses,
      RegisterGLLightSourceClasses,
      RegisterGLObjectsClasses,
      RegisterGLGeomObjectsClasses,
      RegisterGLPolyhedronClasses,
      RegisterGLSceneBufferClasses,
      RegisterGLCadencerClasses,
      RegisterGLBitmapFontClasses,
      RegisterGLSystemFontClasses,
      RegisterGLHUDObjectsClasses,
      RegisterGLFireFXClasses,
      RegisterGLSoundClasses,
      RegisterGLSoundFileObjectsClasses,
      RegisterGLQtContext,
      RegisterGLSceneViewerClasses,
      // Further scene objects that stored scenes may name.
      RegisterGLVectorFileObjects,
      RegisterGLMesh,
      RegisterGLMotionBehavioursClasses,
      RegisterGLGraphClasses,
      RegisterGLTilePlaneClasses,
      RegisterGLSkydomeClasses,
      RegisterGLShadowPlaneClasses,
      RegisterGLMirrorClasses,
      RegisterGLzBufferClasses,
      RegisterGLShadowVolumeClasses,
  };
  for (auto Register : Units) {
    try {
      Register();
    } catch (const std::exception& E) {
      if (!OnError) throw;
      OnError(E);
    }
  }
}
