// The per-pass record handed to every DoRender, BuildList and material Apply, and the
// progress and direct-render event types shared by the scene, its objects and the frame clock.
#pragma once

#include <cstdint>
#include <functional>

#include "Source/Base/VectorTypes.h"

class TObject;
class TGLSceneGraph;
class TGLSceneBuffer;
class TGLStateCache;
class TGLMaterialLibrary;
class TGLUploadBudget;

// Per-frame progress: Sender, time step and new time in seconds.
using TGLProgressEvent = std::function<void(TObject* Sender, double deltaTime, double newTime)>;

// What a pass draws for: the picture, or selection names for picking.
enum TDrawState : uint8_t { dsRendering, dsPicking };

struct TRenderContextClippingInfo {
  TVector4f origin{};             // camera position
  TVector4f clippingDirection{};  // camera direction
  float viewPortRadius = 0;
  float farClippingDistance = 0;
  TFrustum frustum{};
};

// One per render or picking pass; cleared to zero before it is filled.
struct TRenderContextInfo {
  TGLSceneGraph* scene = nullptr;
  TGLSceneBuffer* buffer = nullptr;
  TVector4f cameraPosition{};
  TVector4f cameraDirection{};           // normalised, W = 0
  TVector4f cameraUp{};                  // perpendicular to the direction, normalised
  TMatrix4f* modelViewMatrix = nullptr;  // the buffer's current model-view matrix
  int32_t viewPortWidth = 0;
  int32_t viewPortHeight = 0;
  int32_t renderDPI = 0;
  TGLMaterialLibrary* materialLibrary = nullptr;
  TGLMaterialLibrary* lightmapLibrary = nullptr;
  int32_t fogDisabledCounter = 0;
  int32_t lightingDisabledCounter = 0;
  TDrawState drawState = dsRendering;
  uint8_t objectsSorting = 0;     // TGLObjectsSorting
  uint8_t visibilityCulling = 0;  // TGLVisibilityCulling
  TGLStateCache* GLStates = nullptr;
  TRenderContextClippingInfo rcci;
  TVector4f sceneAmbientColor{};
  bool bufferFaceCull = false;
  bool proxySubObject = false;
  bool ignoreMaterials = false;
  bool ignoreBlendingRequests = false;
  bool amalgamating = false;
  // Uploads of changed pictures in this pass ask it first (none: no limit).
  TGLUploadBudget* uploadBudget = nullptr;
};

// User drawing code called with the pass record (Sender = the object or buffer).
using TDirectRenderEvent = std::function<void(TObject* Sender, TRenderContextInfo& rci)>;
