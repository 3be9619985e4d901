// The camera: look-at and projection matrices, aiming at a target, and the orbit and zoom moves.
#include "Source/Scene/GLCamera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

// Below this sine of the angle between Up and the line of sight, Up gives no side direction.
constexpr double kParallelSine = 1e-4;

TAffineVector Normalized(const TAffineVector& v) {
  const float l = AffineVectorLength(v);
  return l > 0 ? AffineVectorScaled(v, 1 / l) : v;
}

// The world axis least aligned with the direction f (unit length).
TAffineVector LeastAlignedAxis(const TAffineVector& f) {
  int best = 0;
  for (int i = 1; i < 3; ++i)
    if (std::fabs(f[i]) < std::fabs(f[best])) best = i;
  TAffineVector a{0, 0, 0};
  a[best] = 1;
  return a;
}

// Whether the unit direction f and the vector up span a plane.
bool Across(const TAffineVector& f, const TAffineVector& up) {
  const float l = AffineVectorLength(up);
  return l > 0 && AffineVectorLength(AffineVectorCrossProduct(f, up)) > kParallelSine * l;
}

}  // namespace

TMatrix4f CreateLookAtMatrix(const TAffineVector& eye, const TAffineVector& centre, const TAffineVector& up,
                             const TAffineVector* fallbackUp) {
  TAffineVector f = Normalized(AffineVectorSubtract(centre, eye));
  // No line of sight at all: look down -Z, as a new camera does.
  if (AffineVectorLength(f) == 0) f = {0, 0, -1};
  // An Up along the line of sight gives no side direction and would collapse the view. The
  // caller's fallback (the camera gives the up of its previous view, so that passing over the
  // pole keeps the picture's orientation) is taken when it lies across the line of sight, else
  // the world axis least aligned with it, which always does.
  TAffineVector upUsed = up;
  if (!Across(f, upUsed)) upUsed = fallbackUp && Across(f, *fallbackUp) ? *fallbackUp : LeastAlignedAxis(f);
  const TAffineVector s = Normalized(AffineVectorCrossProduct(f, upUsed));
  const TAffineVector u = AffineVectorCrossProduct(s, f);
  TMatrix4f m = IdentityHmgMatrix;
  for (int i = 0; i < 3; ++i) {
    m[i][0] = s[i];
    m[i][1] = u[i];
    m[i][2] = -f[i];
  }
  m[3][0] = -AffineVectorDotProduct(s, eye);
  m[3][1] = -AffineVectorDotProduct(u, eye);
  m[3][2] = AffineVectorDotProduct(f, eye);
  return m;
}

TGLCamera::TGLCamera(TComponent* AOwner) : TGLBaseSceneObject(AOwner) {
  Direction()->StoreVector(VectorMake(0, 0, -1, 0));
}

TGLCamera::~TGLCamera() {
  SetTargetObject(nullptr);
  if (Scene()) Scene()->ForgetCamera(this);
}

void TGLCamera::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLCamera>()) {
    auto* src = static_cast<TGLCamera*>(Source);
    focalLength_ = src->focalLength_;
    depthOfView_ = src->depthOfView_;
    nearPlaneBias_ = src->nearPlaneBias_;
    sceneScale_ = src->sceneScale_;
    cameraStyle_ = src->cameraStyle_;
    SetTargetObject(src->targetObject_);
    OnCustomPerspective = src->OnCustomPerspective;
    OnCustomViewEvent = src->OnCustomViewEvent;
  }
  inherited::Assign(Source);
}

void TGLCamera::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == targetObject_) targetObject_ = nullptr;
  inherited::Notification(AComponent, Operation);
}

void TGLCamera::DoRender(TRenderContextInfo& rci, bool, bool renderChildren) {
  if (renderChildren && GetChildCount() > 0) RenderChildren(0, GetChildCount() - 1, rci);
}

bool TGLCamera::RayCastIntersect(const TVector4f&, const TVector4f&, TVector4f*, TVector4f*) { return false; }

bool TGLCamera::ComputeProjection(const TVector4i& viewport, int width, int height, int DPI, TMatrix4f& m) {
  if (width < 1 || height < 1) return false;
  const double W = width, H = height;
  switch (cameraStyle_) {
    case csOrtho2D: {
      // gluOrtho2D(0, W, 0, H)
      m = IdentityHmgMatrix;
      m[0][0] = float(2 / W);
      m[1][1] = float(2 / H);
      m[2][2] = -1;
      m[3][0] = -1;
      m[3][1] = -1;
      nearPlane_ = -1;
      viewPortRadius_ = float(std::sqrt(W * W + H * H) / 2);
      return true;
    }
    case csCustom: viewPortRadius_ = float(std::sqrt(W * W + H * H) / 2); return false;
    case csPerspective:
    case csOrthogonal:
    case csInfinitePerspective: {
      const double M = std::max(W, H);
      double fx, fy;
      if (cameraStyle_ == csOrthogonal) {
        fx = 100.0 * nearPlaneBias_ / (W * focalLength_ * sceneScale_);
        fy = 100.0 * nearPlaneBias_ / (H * focalLength_ * sceneScale_);
      } else {
        fx = nearPlaneBias_ / (W * sceneScale_);
        fy = nearPlaneBias_ / (H * sceneScale_);
      }
      const double vl = viewport[0], vt = viewport[1], vw = viewport[2], vh = viewport[3];
      const double right = W * ((2 * (vl + vw) - W) * fx) / (2 * M);
      const double left = -((W - 2 * vl) * fx) * W / (2 * M);
      const double top = H * ((2 * (vt + vh) - H) * fy) / (2 * M);
      const double bottom = -((H - 2 * vt) * fy) * H / (2 * M);
      nearPlane_ = float(focalLength_ * 2.0 * DPI / (25.4 * M) * nearPlaneBias_);
      const double n = nearPlane_, f = double(nearPlane_) + depthOfView_;
      m = IdentityHmgMatrix;
      if (cameraStyle_ == csOrthogonal) {
        m[0][0] = float(2 / (right - left));
        m[1][1] = float(2 / (top - bottom));
        m[2][2] = float(-2 / (f - n));
        m[3][0] = float(-(right + left) / (right - left));
        m[3][1] = float(-(top + bottom) / (top - bottom));
        m[3][2] = float(-(f + n) / (f - n));
      } else {
        m[0][0] = float(2 * n / (right - left));
        m[1][1] = float(2 * n / (top - bottom));
        m[2][0] = float((right + left) / (right - left));
        m[2][1] = float((top + bottom) / (top - bottom));
        m[2][3] = -1;
        m[3][3] = 0;
        if (cameraStyle_ == csPerspective) {
          m[2][2] = float(-(f + n) / (f - n));
          m[3][2] = float(-2 * f * n / (f - n));
        } else {
          constexpr double e = 0.0001;
          m[2][2] = float(e - 1);
          m[3][2] = float((e - 2) * n);
        }
      }
      viewPortRadius_ = float(std::sqrt(top * top + right * right) / n);
      return true;
    }
  }
  RTL_ASSERT(false, "Unknown camera style");
  return false;
}

void TGLCamera::ApplyPerspective(const TVector4i& viewport, int width, int height, int DPI) {
  if (width < 1 || height < 1) return;
  TMatrix4f m;
  if (ComputeProjection(viewport, width, height, DPI, m))
    GL.glMultMatrixf(m.data());
  else if (cameraStyle_ == csCustom && OnCustomPerspective)
    OnCustomPerspective(viewport, width, height, DPI, viewPortRadius_);
}

TMatrix4f TGLCamera::ComputeViewMatrix() {
  const TAffineVector eye = AffineVectorMake(GetAbsolutePosition());
  TVector4f d = Direction()->AsVector(), u = Up()->AsVector();
  if (Parent()) {
    d = VectorTransform(d, *Parent()->GetAbsoluteMatrixPtr());
    u = VectorTransform(u, *Parent()->GetAbsoluteMatrixPtr());
  }
  TAffineVector centre = AffineVectorAdd(eye, AffineVectorMake(d));
  if (targetObject_) {
    const TAffineVector t = AffineVectorMake(targetObject_->GetAbsolutePosition());
    // A target on the camera's own spot gives no line of sight: the camera's direction does.
    if (AffineVectorDistance(t, eye) > 0) {
      centre = t;
      u = VectorMakeFromAffine(Up()->AsAffineVector());
    }
  }
  TAffineVector f = Normalized(AffineVectorSubtract(centre, eye));
  if (AffineVectorLength(f) == 0) f = {0, 0, -1};
  lastDirection_ = VectorMakeFromAffine(f);
  const TAffineVector previousUp = lastUp_;
  const TMatrix4f m = CreateLookAtMatrix(eye, centre, AffineVectorMake(u), &previousUp);
  lastUp_ = {m[0][1], m[1][1], m[2][1]};
  return m;
}

void TGLCamera::Apply() {
  if (OnCustomViewEvent) {
    OnCustomViewEvent(this);
    return;
  }
  const TMatrix4f m = ComputeViewMatrix();
  GL.glMultMatrixf(m.data());
  ClearStructureChanged();
}

namespace {

void StoreAbsolutePosition(TGLBaseSceneObject* obj, const TAffineVector& p) {
  TVector4f v = PointMake(p);
  if (obj->Parent()) v = obj->Parent()->AbsoluteToLocalAffine(v);
  v[3] = 1;
  obj->Position()->AssignVector(v);
}

}  // namespace

void TGLCamera::OrbitTarget(float pitchDelta, float turnDelta) {
  if (!targetObject_) return;
  const TAffineVector own = AffineVectorMake(GetAbsolutePosition());
  const TAffineVector target = AffineVectorMake(targetObject_->GetAbsolutePosition());
  const TAffineVector T = AffineVectorSubtract(own, target);
  const float dist = AffineVectorLength(T);
  // A camera sitting on its target has no orbit.
  if (dist < 1e-6f) return;
  const TAffineVector N = AffineVectorScaled(T, 1 / dist);
  const TAffineVector A = AffineVectorMake(GetAbsoluteUp());
  TAffineVector S = AffineVectorCrossProduct(A, N);
  if (AffineVectorLength(S) < 0.001f)
    S = {1, 0, 0};
  else
    S = AffineVectorNormalized(S);
  // Rounding can put the cosine just past 1; the angle must stay a number.
  const double cosPolar = std::clamp(double(AffineVectorDotProduct(A, N)), -1.0, 1.0);
  double polar = std::acos(cosPolar) + DegToRadExtended(pitchDelta);
  polar = std::clamp(polar, 0.025, 3.1165926);
  TAffineVector V = VectorRotateAroundAxis(A, S, float(-polar));
  V = VectorRotateAroundAxis(V, A, float(-DegToRadExtended(turnDelta)));
  V = AffineVectorScaled(V, dist);
  StoreAbsolutePosition(this, AffineVectorAdd(target, V));
}

void TGLCamera::ScaleDistanceToTarget(float distanceRatio) {
  if (!targetObject_) return;
  const TAffineVector own = AffineVectorMake(GetAbsolutePosition());
  const TAffineVector target = AffineVectorMake(targetObject_->GetAbsolutePosition());
  StoreAbsolutePosition(this,
                        AffineVectorAdd(own, AffineVectorScaled(AffineVectorSubtract(own, target), distanceRatio - 1)));
}

float TGLCamera::GetFieldOfView(float viewportDimension) const {
  if (focalLength_ == 0) return 0;
  return float(RadToDegExtended(2 * std::atan((viewportDimension / 2.0) / focalLength_)));
}

bool TGLCamera::SetFieldOfView(float fieldOfView, float viewportDimension) {
  // Angles outside (0, 180) and a viewer without size (one not laid out yet) give no focal length.
  if (!(fieldOfView > 0 && fieldOfView < 180)) return false;
  if (!(viewportDimension > 0 && std::isfinite(viewportDimension))) return false;
  const double f = viewportDimension / (2 * std::tan(DegToRadExtended(fieldOfView) / 2));
  if (!std::isfinite(float(f))) return false;
  SetFocalLength(float(f));
  return true;
}

namespace {
// Ranges within which every projection stays finite, for any viewport from 1 pixel to tens of
// thousands and any combination of the other values (near plane up to about 1e9, the far
// plane still apart from it in double precision, no extent overflowing or vanishing).
constexpr float kMinFocalLength = 1e-3f, kMaxFocalLength = 1e5f;
constexpr float kMinDepthOfView = 1e-3f;
constexpr float kMinNearPlaneBias = 1e-3f, kMaxNearPlaneBias = 1e3f;
constexpr float kMinSceneScale = 1e-6f, kMaxSceneScale = 1e6f;
}  // namespace

void TGLCamera::SetFocalLength(float v) {
  if (!TakeViewValue("FocalLength", v, std::isfinite(v))) return;
  v = v <= 0 ? 1 : std::clamp(v, kMinFocalLength, kMaxFocalLength);
  if (focalLength_ == v) return;
  focalLength_ = v;
  if (!IsLoadingOrReading()) TransformationChanged();
}

void TGLCamera::SetDepthOfView(float v) {
  if (!TakeViewValue("DepthOfView", v, v > 0 && std::isfinite(v))) return;
  v = std::max(v, kMinDepthOfView);
  if (depthOfView_ == v) return;
  depthOfView_ = v;
  if (!IsLoadingOrReading()) TransformationChanged();
}

void TGLCamera::SetNearPlaneBias(float v) {
  if (!TakeViewValue("NearPlaneBias", v, std::isfinite(v))) return;
  v = v <= 0 ? 1 : std::clamp(v, kMinNearPlaneBias, kMaxNearPlaneBias);
  if (nearPlaneBias_ == v) return;
  nearPlaneBias_ = v;
  NotifyChange(this);
}

void TGLCamera::SetTargetObject(TGLBaseSceneObject* v) {
  if (targetObject_ == v) return;
  if (targetObject_) targetObject_->RemoveFreeNotification(this);
  targetObject_ = v;
  if (targetObject_) targetObject_->FreeNotification(this);
  if (!IsLoadingOrReading()) TransformationChanged();
}

void TGLCamera::SetCameraStyle(TGLCameraStyle v) {
  if (cameraStyle_ == v) return;
  cameraStyle_ = v;
  NotifyChange(this);
}

void TGLCamera::SetSceneScale(float v) {
  if (!TakeViewValue("SceneScale", v, std::isfinite(v))) return;
  // The sign is kept (a negative scale turns the view over); the size is bounded.
  v = v == 0 ? 1 : std::copysign(std::clamp(std::fabs(v), kMinSceneScale, kMaxSceneScale), v);
  if (sceneScale_ == v) return;
  sceneScale_ = v;
  NotifyChange(this);
}

void RegisterGLCameraClasses() {
  TPublished<TGLCamera>()
      .Float("DepthOfView", &TGLCamera::DepthOfView, &TGLCamera::SetDepthOfView, 100.0)
      .Float("FocalLength", &TGLCamera::FocalLength, &TGLCamera::SetFocalLength, 50.0)
      .Float("SceneScale", &TGLCamera::SceneScale, &TGLCamera::SetSceneScale, 1.0)
      .Float("NearPlaneBias", &TGLCamera::NearPlaneBias, &TGLCamera::SetNearPlaneBias, 1.0)
      .Component("TargetObject", &TGLCamera::TargetObject, &TGLCamera::SetTargetObject)
      .Enum("CameraStyle", &TGLCamera::CameraStyle, &TGLCamera::SetCameraStyle,
            {"csPerspective", "csOrthogonal", "csOrtho2D", "csCustom", "csInfinitePerspective"}, csPerspective)
      .Object("Position", &TGLCamera::Position)
      .Object("Direction", &TGLCamera::Direction)
      .Object("Up", &TGLCamera::Up);
  RegisterClass(TGLCamera::StaticClass());
}
