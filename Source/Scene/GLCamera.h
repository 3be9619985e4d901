// The camera: the scene object through which a buffer looks at the scene. It sets up the
// projection from its focal length, depth of view and the viewport, the view transform from its
// own frame or aimed at a target object, and offers the orbit and zoom moves.
#pragma once

#include <functional>

#include "Source/Scene/GLCrossPlatform.h"
#include "Source/Scene/GLSceneGraph.h"

enum TGLCameraStyle : uint8_t { csPerspective, csOrthogonal, csOrtho2D, csCustom, csInfinitePerspective };

// Projection of csCustom: viewport rectangle (left, top, width, height), width, height, DPI and
// the viewport radius to set.
using TOnCustomPerspective =
    std::function<void(const TVector4i& viewport, int width, int height, int DPI, float& viewPortRadius)>;

class TGLCamera : public TGLBaseSceneObject {
  RTL_CLASS(TGLCamera, TGLBaseSceneObject)
 public:
  explicit TGLCamera(TComponent* AOwner);
  ~TGLCamera() override;
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;
  bool RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint = nullptr,
                        TVector4f* intersectNormal = nullptr) override;

  // The projection matrix for the viewport (left, top, width, height) of a width x height
  // window; false (nothing computed) when width or height is below 1. Sets the near plane and
  // the viewport radius. csCustom computes nothing itself (false after calling the event).
  bool ComputeProjection(const TVector4i& viewport, int width, int height, int DPI, TMatrix4f& m);
  // Multiplies the current GL matrix by the projection.
  void ApplyPerspective(const TVector4i& viewport, int width, int height, int DPI);
  // The view matrix (look-at) from the current frame or the target; records the last direction.
  // With Up along the line of sight the previous view's screen up is kept (see CreateLookAtMatrix).
  TMatrix4f ComputeViewMatrix();
  // Multiplies the current model-view matrix by the view transform.
  void Apply();
  void OrbitTarget(float pitchDelta, float turnDelta);
  void ScaleDistanceToTarget(float distanceRatio);
  float GetFieldOfView(float viewportDimension) const;
  // Sets the focal length that shows the angle over the viewport dimension. False, the focal
  // length kept, for an angle outside (0, 180) or a dimension that is not positive (a viewer not
  // laid out yet has none).
  bool SetFieldOfView(float fieldOfView, float viewportDimension);

  // Values that leave no view (a focal length that is not a finite number; a depth of view that
  // is not a positive finite number) raise EInvalidOperation; read from a stored scene they are
  // reported on stderr and the value before is kept. A focal length <= 0 becomes 1.
  // Values with which no projection can be made are refused (EInvalidOperation; ignored with a
  // message while the camera is read from a stream): a focal length, bias or scene scale that is
  // not a number, a depth of view that is not a positive number. The others are kept within
  // ranges where every projection is finite: focal length <= 0 becomes 1, else into
  // [0.001, 100000]; depth of view at least 0.001; near-plane bias <= 0 becomes 1, else into
  // [0.001, 1000]; scene scale 0 becomes 1, else its size into [1e-6, 1e6].
  float FocalLength() const noexcept { return focalLength_; }
  void SetFocalLength(float v);
  float DepthOfView() const noexcept { return depthOfView_; }
  void SetDepthOfView(float v);
  float NearPlane() const noexcept { return nearPlane_; }
  float NearPlaneBias() const noexcept { return nearPlaneBias_; }
  void SetNearPlaneBias(float v);
  float ViewPortRadius() const noexcept { return viewPortRadius_; }
  TGLBaseSceneObject* TargetObject() const noexcept { return targetObject_; }
  void SetTargetObject(TGLBaseSceneObject* v);
  const TVector4f& LastDirection() const noexcept { return lastDirection_; }
  TGLCameraStyle CameraStyle() const noexcept { return cameraStyle_; }
  void SetCameraStyle(TGLCameraStyle v);
  float SceneScale() const noexcept { return sceneScale_; }
  void SetSceneScale(float v);

  TNotifyEvent OnCustomViewEvent;  // replaces the view set-up entirely
  TOnCustomPerspective OnCustomPerspective;

 private:
  bool TakeViewValue(const char* property, float v, bool usable) {
    return TakeValue(property, v, usable, "leaves no view");
  }

  float focalLength_ = 50;
  float depthOfView_ = 100;
  float nearPlane_ = 0;
  float nearPlaneBias_ = 1;
  float viewPortRadius_ = 0;
  TGLBaseSceneObject* targetObject_ = nullptr;
  TVector4f lastDirection_{};
  TAffineVector lastUp_{0, 0, 0};  // screen up of the last view, the fallback for an Up along the sight
  TGLCameraStyle cameraStyle_ = csPerspective;
  float sceneScale_ = 1;
};

void RegisterGLCameraClasses();

// Look-at matrix (row vectors, translation in row 3) as gluLookAt builds it. An up along the
// line of sight is replaced by fallbackUp when that one lies across it, else by the world axis
// least aligned with the line of sight; an eye on the centre looks down -Z.
TMatrix4f CreateLookAtMatrix(const TAffineVector& eye, const TAffineVector& centre, const TAffineVector& up,
                             const TAffineVector* fallbackUp = nullptr);
