// Scene objects and the scene: local frames and cached matrices, children, display lists, the
// render walks, behaviours, and the scene's root trees, lights and buffers.
#include "Source/Scene/GLSceneGraph.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "Source/Scene/GLBatchArrays.h"
#include "Source/Base/XOpenGL.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLMaterialPasses.h"
#include "Source/Scene/GLStrings.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

constexpr float kOrthoEpsilon = 1e-5f;

TAffineVector Cross(const TAffineVector& a, const TAffineVector& b) { return AffineVectorCrossProduct(a, b); }

// A side vector for the frame (direction, up), with the fallbacks for parallel axes.
TAffineVector SideVector(const TAffineVector& dir, const TAffineVector& up) {
  TAffineVector s = Cross(dir, up);
  if (AffineVectorLength(s) < kOrthoEpsilon) {
    s = Cross(TAffineVector{0, 0, 1}, up);
    if (AffineVectorLength(s) < kOrthoEpsilon) s = Cross(TAffineVector{1, 0, 0}, up);
  }
  return s;
}

// Odd-looking angle formulas kept as the rotations have always reported them.
float AngleFrom(float a, float b, float c) {
  // -degrees(atan2(sqrt(a^2 + b^2), c))
  return float(-RadToDegExtended(std::atan2(std::sqrt(double(a) * a + double(b) * b), double(c))));
}
float FoldAngle(float angle, float x, float y) {
  if (x < 0) angle = (y >= 0 ? -180.0f : 180.0f) - angle;
  return angle;
}

// Sine and cosine of an angle in radians. The last angle's are kept: an
// object turned by the same step again and again (a pipe on every packet of
// its conversation) computes them once. Compared bit for bit, so -0 and NaN
// are never taken for another angle.
void SineCosine(float rad, double& s, double& c) {
  thread_local uint32_t lastBits = 0;  // the angle +0
  thread_local double lastS = 0, lastC = 1;
  uint32_t bits;
  std::memcpy(&bits, &rad, sizeof bits);
  if (bits != lastBits) {
    lastS = std::sin(double(rad));
    lastC = std::cos(double(rad));
    lastBits = bits;
  }
  s = lastS;
  c = lastC;
}

}  // namespace

// ============================================================================================
// TGLBaseSceneObject

TGLBaseSceneObject::TGLBaseSceneObject(TComponent* AOwner) : TGLCoordinatesUpdateAbleComponent(AOwner) {
  localMatrix_ = IdentityHmgMatrix;
}

TGLBaseSceneObject::~TGLBaseSceneObject() {
  TGLFreedObjectListener::Tell(this);
  if (scene_ && scene_->CurrentObject() == this) scene_->SetCurrentObject(nullptr);
  try {
    FreeCamerasInSubtree();
  } catch (...) {
  }
  effects_.reset();
  behaviours_.reset();
  lists_.reset();
  if (parent_) {
    try {
      parent_->Remove(this, false);
    } catch (...) {
    }
  }
  try {
    DeleteChildren();
  } catch (...) {
  }
  children_.reset();
}

void TGLBaseSceneObject::FreeCamerasInSubtree() {
  if (!children_) return;
  for (int i = GetChildCount() - 1; i >= 0; --i) {
    if (i >= GetChildCount()) continue;
    TGLBaseSceneObject* child = (*children_)[size_t(i)];
    child->FreeCamerasInSubtree();
    if (child->Is<TGLCamera>()) {
      Remove(child, false);
      FreeObject(child);
    }
  }
}

bool TGLBaseSceneObject::IsLoadingOrReading() const {
  const auto st = ComponentState();
  return st.Contains(csLoading) || st.Contains(csReading);
}

bool TGLBaseSceneObject::TakeValue(const char* property, float v, bool usable, const char* fault) {
  if (usable) return true;
  const std::string what = Format("%s '%s': %s %g %s", ClassName().c_str(), Name().c_str(), property, double(v), fault);
  // Older stored scenes may hold such a value: they still read, with the value they had before.
  if (IsLoadingOrReading()) {
    std::fprintf(stderr, "Scene: %s; the stored value is ignored\n", what.c_str());
    return false;
  }
  throw EInvalidOperation(what);
}

// --- change propagation

uint64_t TGLBaseSceneObject::NewChangeStamp() noexcept {
  static std::atomic<uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

void TGLBaseSceneObject::NotifyChange(TObject* /*Sender*/) {
  changeStamp_ = NewChangeStamp();
  if (scene_ && updateCount_ == 0 && !IsLoadingOrReading()) scene_->NotifyChange(this);
}

void TGLBaseSceneObject::BeginUpdate() { ++updateCount_; }

void TGLBaseSceneObject::EndUpdate() {
  RTL_ASSERT(updateCount_ >= 1, glsUnBalancedBeginEndUpdate);
  if (--updateCount_ == 0) NotifyChange(this);
}

void TGLBaseSceneObject::MarkSubtreeAbsoluteStale() {
  changes_ |= ocAbsoluteMatrix | ocInvAbsoluteMatrix;
  MarkChildrenAbsoluteStale();
}

void TGLBaseSceneObject::MarkChildrenAbsoluteStale() {
  if (!freshChildren_) return;
  for (TGLBaseSceneObject* c : *freshChildren_) {
    c->absoluteFreshListed_ = false;
    c->MarkSubtreeAbsoluteStale();
  }
  freshChildren_->clear();
}

// Called when this object clears one of its absolute-matrix flags.
void TGLBaseSceneObject::ListAbsoluteFresh() {
  if (absoluteFreshListed_ || !parent_) return;
  if (!parent_->freshChildren_) parent_->freshChildren_ = std::make_unique<std::vector<TGLBaseSceneObject*>>();
  parent_->freshChildren_->push_back(this);
  absoluteFreshListed_ = true;
}

// A child leaving this object is no longer marked through it.
void TGLBaseSceneObject::UnlistAbsoluteFresh(TGLBaseSceneObject* child) {
  if (!child->absoluteFreshListed_) return;
  child->absoluteFreshListed_ = false;
  if (freshChildren_) std::erase(*freshChildren_, child);
}

void TGLBaseSceneObject::TransformationChanged() {
  if (changes_ & ocTransformation) return;
  changes_ |= ocTransformation;
  // Children must see the change even when this object's own flags were already set.
  changes_ |= ocAbsoluteMatrix | ocInvAbsoluteMatrix;
  MarkChildrenAbsoluteStale();
  if (!IsLoadingOrReading()) NotifyChange(this);
}

void TGLBaseSceneObject::MarkStructureChanged() {
  ++structureRevision_;
  changeStamp_ = NewChangeStamp();
  if (!(changes_ & ocStructure)) {
    changes_ |= ocStructure;
    NotifyChange(this);
  } else if (objectStyle_ & osDirectDraw) {
    NotifyChange(this);
  }
}

void TGLBaseSceneObject::RepairFrame(TGLCoordinates* changed, TGLCoordinates* other, bool changedIsDirection) {
  TAffineVector c = changed->AsAffineVector();
  if (AffineVectorLength(c) == 0) c = changedIsDirection ? TAffineVector{0, 0, 1} : TAffineVector{0, 1, 0};
  c = AffineVectorNormalized(c);
  changed->StoreVector(VectorMakeFromAffine(c, 0));
  TAffineVector o = other->AsAffineVector();
  TAffineVector s = changedIsDirection ? SideVector(c, o) : SideVector(o, c);
  TAffineVector n = changedIsDirection ? Cross(s, c) : Cross(c, s);
  float len = AffineVectorLength(n);
  if (len > 0) n = AffineVectorScaled(n, 1.0f / len);
  other->StoreVector(VectorMakeFromAffine(n, 0));
}

void TGLBaseSceneObject::CoordinateChanged(TGLCoordinates* Sender) {
  if (busy_) return;
  TRestore<bool> guard(busy_, true);
  if (Sender == &direction_) {
    // An up vector parallel to the new direction is replaced through the fallback axes.
    RepairFrame(&direction_, &up_, true);
  } else if (Sender == &up_) {
    RepairFrame(&up_, &direction_, false);
  }
  TransformationChanged();
}

// --- matrices

void TGLBaseSceneObject::RebuildMatrix() {
  if (!(changes_ & ocTransformation)) return;
  const TVector4f& s = scaling_.AsVector();
  TVector4f right = VectorCrossProduct(up_.AsVector(), direction_.AsVector());
  localMatrix_[0] = VectorMake(right[0] * s[0], right[1] * s[0], right[2] * s[0], 0);
  const TVector4f& u = up_.AsVector();
  localMatrix_[1] = VectorMake(u[0] * s[1], u[1] * s[1], u[2] * s[1], 0);
  const TVector4f& d = direction_.AsVector();
  localMatrix_[2] = VectorMake(d[0] * s[2], d[1] * s[2], d[2] * s[2], 0);
  localMatrix_[3] = position_.AsVector();
  changes_ &= ~ocTransformation;
  changes_ |= ocAbsoluteMatrix | ocInvAbsoluteMatrix;
}

const TMatrix4f* TGLBaseSceneObject::GetLocalMatrixPtr() {
  RebuildMatrix();
  return &localMatrix_;
}

void TGLBaseSceneObject::ComputeAbsoluteMatrix() {
  RebuildMatrix();
  if (!absoluteMatrices_) absoluteMatrices_ = std::make_unique<std::array<TMatrix4f, 2>>();
  if (parent_ && !parent_->Is<TGLSceneRootObject>())
    (*absoluteMatrices_)[0] = MatrixMultiply(localMatrix_, *parent_->GetAbsoluteMatrixPtr());
  else
    (*absoluteMatrices_)[0] = localMatrix_;
  changes_ &= ~ocAbsoluteMatrix;
  changes_ |= ocInvAbsoluteMatrix;
  ListAbsoluteFresh();
}

const TMatrix4f* TGLBaseSceneObject::GetAbsoluteMatrixPtr() {
  if ((changes_ & (ocTransformation | ocAbsoluteMatrix)) || !absoluteMatrices_) ComputeAbsoluteMatrix();
  return &(*absoluteMatrices_)[0];
}

void TGLBaseSceneObject::ComputeInvAbsoluteMatrix() {
  const TMatrix4f& absolute = *GetAbsoluteMatrixPtr();
  TMatrix4f& inv = (*absoluteMatrices_)[1];
  if (!scaling_.EqualsVector(VectorMake(1, 1, 1, 0))) {
    inv = absolute;
    MatrixInvert(inv);
  } else {
    const TMatrix4f li = MatrixInvertUniformScale(localMatrix_);
    // The scene root is skipped here too, so both matrices agree on the root's frame.
    if (parent_ && !parent_->Is<TGLSceneRootObject>())
      inv = MatrixMultiply(*parent_->GetInvAbsoluteMatrixPtr(), li);
    else
      inv = li;
  }
  changes_ &= ~ocInvAbsoluteMatrix;
  ListAbsoluteFresh();
}

const TMatrix4f* TGLBaseSceneObject::GetInvAbsoluteMatrixPtr() {
  GetAbsoluteMatrixPtr();
  if (changes_ & ocInvAbsoluteMatrix) ComputeInvAbsoluteMatrix();
  return &(*absoluteMatrices_)[1];
}

TVector4f TGLBaseSceneObject::GetAbsolutePosition() { return (*GetAbsoluteMatrixPtr())[3]; }

void TGLBaseSceneObject::SetAbsolutePosition(const TVector4f& v) {
  if (parent_)
    position_.AssignVector(parent_->AbsoluteToLocalAffine(v));
  else
    position_.AssignVector(v);
}

TVector4f TGLBaseSceneObject::GetAbsoluteDirection() {
  TVector4f d = (*GetAbsoluteMatrixPtr())[2];
  d[3] = 0;
  return VectorNormalized(d);
}

TVector4f TGLBaseSceneObject::GetAbsoluteUp() {
  TVector4f u = (*GetAbsoluteMatrixPtr())[1];
  u[3] = 0;
  return VectorNormalized(u);
}

TVector4f TGLBaseSceneObject::AbsoluteToLocalVector(const TVector4f& v) {
  TVector4f w = v;
  w[3] = 0;
  return VectorTransform(w, *GetInvAbsoluteMatrixPtr());
}

TVector4f TGLBaseSceneObject::AbsoluteToLocalAffine(const TVector4f& v) {
  TVector4f w = v;
  w[3] = 1;
  return VectorTransform(w, *GetInvAbsoluteMatrixPtr());
}

TVector4f TGLBaseSceneObject::LocalToAbsoluteVector(const TVector4f& v) {
  TVector4f w = v;
  w[3] = 0;
  return VectorTransform(w, *GetAbsoluteMatrixPtr());
}

TVector4f TGLBaseSceneObject::LocalToAbsolute(const TVector4f& v) {
  TVector4f w = v;
  w[3] = 1;
  return VectorTransform(w, *GetAbsoluteMatrixPtr());
}

TVector4f TGLBaseSceneObject::RightVector() { return VectorCrossProduct(up_.AsVector(), direction_.AsVector()); }
TVector4f TGLBaseSceneObject::LeftVector() { return VectorCrossProduct(direction_.AsVector(), up_.AsVector()); }

void TGLBaseSceneObject::MoveAlongDirection(float distance) {
  position_.AddVectorTimesFactor(direction_.AsVector(), distance);
}

void TGLBaseSceneObject::MoveAlongUp(float distance) { position_.AddVectorTimesFactor(up_.AsVector(), distance); }

TVector4f TGLBaseSceneObject::BarycentreAbsolutePosition() { return GetAbsolutePosition(); }

TVector4f TGLBaseSceneObject::AxisAlignedDimensionsUnscaled() { return VectorMake(0.5f, 0.5f, 0.5f, 0); }

TVector4f TGLBaseSceneObject::AxisAlignedDimensions() {
  return VectorComponentMultiply(AxisAlignedDimensionsUnscaled(), scaling_.AsVector());
}

float TGLBaseSceneObject::GetBoundingSphereRadius() { return VectorXYZLength(AxisAlignedDimensions()); }

float TGLBaseSceneObject::DistanceToPoint(const TVector4f& pt) {
  const TVector4f p = GetAbsolutePosition();
  return AffineVectorDistance(AffineVectorMake(p), AffineVectorMake(pt));
}

float TGLBaseSceneObject::SqrDistanceToBarycentre(const TVector4f& pt) {
  const TVector4f p = BarycentreAbsolutePosition();
  return AffineVectorDistanceSquared(AffineVectorMake(p), AffineVectorMake(pt));
}

bool TGLBaseSceneObject::PointInObject(const TVector4f& point) {
  const TVector4f local = AbsoluteToLocalAffine(point);
  const TVector4f dims = AxisAlignedDimensions();
  for (int i = 0; i < 3; ++i)
    if (std::fabs(local[i]) > dims[i]) return false;
  return true;
}

bool TGLBaseSceneObject::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector,
                                          TVector4f* intersectPoint, TVector4f* intersectNormal) {
  const TVector4f centre = GetAbsolutePosition();
  TVector4f i1{}, i2{};
  TVector4f dir = rayVector;
  dir[3] = 0;
  if (VectorXYZLength(dir) == 0) return false;
  dir = VectorNormalized(dir);
  if (RayCastSphereIntersect(rayStart, dir, centre, GetBoundingSphereRadius(), i1, i2) <= 0) return false;
  if (intersectPoint) *intersectPoint = i1;
  if (intersectNormal) {
    TVector4f n = VectorSubtract(i1, centre);
    n[3] = 0;
    *intersectNormal = VectorNormalized(n);
  }
  return true;
}

TGLSilhouette* TGLBaseSceneObject::GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) {
  // The bounding sphere's outline seen from the given point: a circle of 21 vertices.
  constexpr int cNbSegments = 21;
  auto* sil = new TGLSilhouette();
  const TVector4f centre = GetAbsolutePosition();
  const TAffineVector c = AffineVectorMake(centre);
  const float r = GetBoundingSphereRadius();
  TAffineVector n = AffineVectorSubtract(silhouetteParameters.SeenFrom, c);
  if (silhouetteParameters.Style == ssParallel) n = silhouetteParameters.LightDirection;
  if (AffineVectorLength(n) == 0) n = {0, 0, 1};
  n = AffineVectorNormalized(n);
  TAffineVector a = SideVector(n, TAffineVector{0, 1, 0});
  a = AffineVectorNormalized(a);
  const TAffineVector b = Cross(n, a);
  for (int i = 0; i < cNbSegments; ++i) {
    const double t = 2 * M_PI * i / cNbSegments;
    TAffineVector p = AffineVectorCombine(a, b, float(std::cos(t) * r), float(std::sin(t) * r));
    sil->Vertices()->Add(PointMake(AffineVectorAdd(c, p)));
    sil->Indices()->Add(i);
    sil->Indices()->Add((i + 1) % cNbSegments);
  }
  return sil;
}

TAxisAlignedBox TGLBaseSceneObject::GetBoundingBoxWithChildren() {
  TAxisAlignedBox box;
  const TVector4f d = AxisAlignedDimensionsUnscaled();
  AxisBoxFromExtents(box, AffineVectorMake(d));
  for (int i = 0; i < GetChildCount(); ++i) {
    TGLBaseSceneObject* child = (*children_)[size_t(i)];
    TAxisAlignedBox cb = child->GetBoundingBoxWithChildren();
    AxisBoxTransform(cb, *child->GetLocalMatrixPtr());
    AxisBoxMerge(box, cb);
  }
  AxisBoxScale(box, scaling_.AsAffineVector());
  return box;
}

void TGLBaseSceneObject::SetMatrix(const TMatrix4f& m) {
  localMatrix_ = m;
  TRestore<bool> guard(busy_, true);
  TVector4f d = m[2], u = m[1], r = m[0];
  d[3] = u[3] = r[3] = 0;
  direction_.StoreVector(VectorNormalized(d));
  up_.StoreVector(VectorNormalized(u));
  scaling_.StoreVector(VectorMake(VectorXYZLength(r), VectorXYZLength(u), VectorXYZLength(d), 0));
  position_.StoreVector(m[3]);
  changes_ &= ~ocTransformation;
  changes_ |= ocAbsoluteMatrix | ocInvAbsoluteMatrix;
  // The stored fields now match the matrix; mark the subtree and notify once.
  MarkChildrenAbsoluteStale();
  if (!IsLoadingOrReading()) NotifyChange(this);
}

void TGLBaseSceneObject::PointToObject(TGLBaseSceneObject* anObject, const TVector4f& upVector) {
  if (!anObject) return;
  TAffineVector d =
      AffineVectorSubtract(AffineVectorMake(anObject->GetAbsolutePosition()), AffineVectorMake(GetAbsolutePosition()));
  // An object on the same spot gives no direction: the frame is kept.
  if (AffineVectorLength(d) < kOrthoEpsilon) return;
  d = AffineVectorNormalized(d);
  // An up vector parallel to the line of sight falls back on the usual axes.
  TAffineVector s = SideVector(d, AffineVectorMake(upVector));
  s = AffineVectorNormalized(s);
  const TAffineVector u = Cross(s, d);
  TVector4f D = VectorMakeFromAffine(d), U = VectorMakeFromAffine(u);
  if (parent_) {
    D = parent_->AbsoluteToLocalVector(D);
    U = parent_->AbsoluteToLocalVector(U);
  }
  {
    TRestore<bool> guard(busy_, true);
    D[3] = 0;
    U[3] = 0;
    direction_.StoreVector(D);
    up_.StoreVector(U);
  }
  TransformationChanged();
}

// Up and direction turned about the axis and normalised again, stored without
// notification (the callers tell of the change once). One matrix serves both.
void TGLBaseSceneObject::RotateFrame(const TAffineVector& axis, float rad) {
  double s, c;
  SineCosine(rad, s, c);
  const TMatrix4f m = CreateRotationMatrix(axis, s, c);
  up_.StoreVector(VectorNormalized(VectorTransform(up_.AsVector(), m)));
  direction_.StoreVector(VectorNormalized(VectorTransform(direction_.AsVector(), m)));
}

void TGLBaseSceneObject::Pitch(float angle) {
  RotateFrame(Cross(direction_.AsAffineVector(), up_.AsAffineVector()), -DegToRadSingle(angle));
  const TVector4f& d = direction_.AsVector();
  float p = AngleFrom(d[2], d[0], d[1]);
  rotation_.StoreVector(VectorMake(FoldAngle(p, d[0], d[1]), rotation_.Y(), rotation_.Z(), 0));
  TransformationChanged();
}

void TGLBaseSceneObject::Roll(float angle) {
  RotateFrame(direction_.AsAffineVector(), DegToRadSingle(angle));
  const TAffineVector l = Cross(direction_.AsAffineVector(), up_.AsAffineVector());
  float r = AngleFrom(l[2], l[0], l[1]);
  rotation_.StoreVector(VectorMake(rotation_.X(), rotation_.Y(), FoldAngle(r, l[0], l[1]), 0));
  TransformationChanged();
}

void TGLBaseSceneObject::Turn(float angle) {
  RotateFrame(up_.AsAffineVector(), DegToRadSingle(angle));
  const TVector4f& d = direction_.AsVector();
  float t = AngleFrom(d[2], d[1], d[0]);
  rotation_.StoreVector(VectorMake(rotation_.X(), FoldAngle(t, d[0], d[1]), rotation_.Z(), 0));
  TransformationChanged();
}

void TGLBaseSceneObject::SetPitchAngle(float v) {
  if (v == rotation_.X()) return;
  if (!IsLoadingOrReading()) Pitch(v - rotation_.X());
  rotation_.StoreVector(VectorMake(v, rotation_.Y(), rotation_.Z(), 0));
}

void TGLBaseSceneObject::SetTurnAngle(float v) {
  if (v == rotation_.Y()) return;
  if (!IsLoadingOrReading()) Turn(v - rotation_.Y());
  rotation_.StoreVector(VectorMake(rotation_.X(), v, rotation_.Z(), 0));
}

void TGLBaseSceneObject::SetRollAngle(float v) {
  if (v == rotation_.Z()) return;
  if (!IsLoadingOrReading()) Roll(v - rotation_.Z());
  rotation_.StoreVector(VectorMake(rotation_.X(), rotation_.Y(), v, 0));
}

// --- properties

void TGLBaseSceneObject::SetVisible(bool value) {
  if (visible_ == value) return;
  visible_ = value;
  NotifyChange(this);
}

void TGLBaseSceneObject::SetShowAxes(bool v) {
  if (showAxes_ == v) return;
  showAxes_ = v;
  NotifyChange(this);
}

void TGLBaseSceneObject::SetObjectsSorting(TGLObjectsSorting v) {
  if (objectsSorting_ == v) return;
  objectsSorting_ = v;
  NotifyChange(this);
}

void TGLBaseSceneObject::SetVisibilityCulling(TGLVisibilityCulling v) {
  if (visibilityCulling_ == v) return;
  visibilityCulling_ = v;
  NotifyChange(this);
}

TGLBehaviours* TGLBaseSceneObject::Behaviours() {
  if (!behaviours_) {
    behaviours_ = std::make_unique<TGLBehaviours>(this);
    ProgressMayBeNeeded();
  }
  return behaviours_.get();
}

void TGLBaseSceneObject::SetBehaviours(TGLBehaviours* v) { Behaviours()->Assign(v); }

TGLObjectEffects* TGLBaseSceneObject::Effects() {
  if (!effects_) {
    effects_ = std::make_unique<TGLObjectEffects>(this);
    ProgressMayBeNeeded();
  }
  return effects_.get();
}

void TGLBaseSceneObject::SetEffects(TGLObjectEffects* v) { Effects()->Assign(v); }

// --- hierarchy

TGLBaseSceneObject* TGLBaseSceneObject::GetChild(int index) const {
  if (!children_ || index < 0 || index >= GetChildCount()) return nullptr;
  return (*children_)[size_t(index)];
}

int TGLBaseSceneObject::GetIndex() const {
  if (!parent_ || !parent_->children_) return -1;
  auto& list = *parent_->children_;
  auto it = std::find(list.begin(), list.end(), this);
  return it == list.end() ? -1 : int(it - list.begin());
}

void TGLBaseSceneObject::SetIndex(int aValue) {
  if (!parent_) return;
  auto& list = *parent_->children_;
  const int count = int(list.size());
  aValue = std::clamp(aValue, 0, count - 1);
  const int cur = GetIndex();
  if (cur < 0 || cur == aValue) return;
  if (scene_) scene_->BeginUpdate();
  list.erase(list.begin() + cur);
  list.insert(list.begin() + aValue, this);
  if (scene_) scene_->EndUpdate();
}

bool TGLBaseSceneObject::IsChildOf(const TGLBaseSceneObject* ancestor) const {
  for (const TGLBaseSceneObject* p = parent_; p; p = p->parent_)
    if (p == ancestor) return true;
  return false;
}

TGLBaseSceneObject* TGLBaseSceneObject::FindChildByName(const std::string& aName, bool ownChildrenOnly) {
  TGLBaseSceneObject* result = FindDirectChild(aName);
  if (!ownChildrenOnly) {
    for (int i = 0; i < GetChildCount(); ++i) {
      if (TGLBaseSceneObject* r = (*children_)[size_t(i)]->FindChildByName(aName, false)) return r;
    }
  }
  return result;
}

namespace {
// Below this many children a scan is as quick as the index.
constexpr int kIndexedChildCount = 32;

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

// FNV-1a over the upper-case letters, so names that compare equal hash equal.
uint64_t NameHash(const std::string& s) {
  uint64_t h = 1469598103934665603ull;
  for (char c : s) h = (h ^ uint8_t(UpperAscii(c))) * 1099511628211ull;
  return h;
}
}  // namespace

// Open addressing, at most half full: every packet looks up two cubes by
// name, and a probe mostly reads one slot. A slot with count 0 is free.
struct TGLBaseSceneObject::TChildNameIndex {
  struct TSlot {
    uint64_t hash = 0;
    std::string name;  // as first added; compared with letter case ignored
    TGLBaseSceneObject* first = nullptr;
    int count = 0;
  };
  std::vector<TSlot> table;
  size_t used = 0;

  size_t Home(uint64_t h) const { return size_t(h) & (table.size() - 1); }

  TSlot* Find(const std::string& name, uint64_t h) {
    if (table.empty()) return nullptr;
    for (size_t i = Home(h);; i = (i + 1) & (table.size() - 1)) {
      TSlot& s = table[i];
      if (s.count == 0) return nullptr;
      if (s.hash == h && SameText(s.name, name)) return &s;
    }
  }

  // The slot of the name, a free one made ready when the name is new.
  TSlot& Add(const std::string& name, uint64_t h) {
    if (TSlot* s = Find(name, h)) return *s;
    if ((used + 1) * 2 > table.size()) {
      std::vector<TSlot> old(std::max<size_t>(64, table.size() * 2));
      old.swap(table);
      used = 0;
      for (TSlot& s : old)
        if (s.count) Place(std::move(s));
    }
    return Place(TSlot{h, name, nullptr, 0});
  }

  TSlot& Place(TSlot&& slot) {
    size_t i = Home(slot.hash);
    while (table[i].count) i = (i + 1) & (table.size() - 1);
    table[i] = std::move(slot);
    ++used;
    return table[i];
  }

  // Frees the slot; later table of its run that may not stay behind the gap
  // move into it.
  void Erase(TSlot& gone) {
    const size_t mask = table.size() - 1;
    size_t i = size_t(&gone - table.data());
    for (size_t j = (i + 1) & mask; table[j].count; j = (j + 1) & mask) {
      const size_t k = Home(table[j].hash);
      const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
      if (!stays) {
        table[i] = std::move(table[j]);
        i = j;
      }
    }
    // A string keeps its buffer when an empty one is assigned to it: the freed slot gives its
    // name's memory back, or a long-lived table would hold one block for every name it ever
    // had, scattered through the heap. An emptied table goes whole.
    std::string().swap(table[i].name);
    table[i] = TSlot{};
    if (--used == 0) std::vector<TSlot>().swap(table);
  }
};

TGLBaseSceneObject* TGLBaseSceneObject::FindDirectChild(const std::string& aName) {
  if (GetChildCount() >= kIndexedChildCount && !aName.empty()) {
    if (!childIndex_) {
      childIndex_ = std::make_unique<TChildNameIndex>();
      for (TGLBaseSceneObject* c : *children_) IndexChild(c);
    }
    const TChildNameIndex::TSlot* s = childIndex_->Find(aName, NameHash(aName));
    if (!s) return nullptr;
    if (s->count == 1) return s->first;
  }
  for (int i = 0; i < GetChildCount(); ++i) {
    TGLBaseSceneObject* c = (*children_)[size_t(i)];
    if (SameText(c->Name(), aName)) return c;
  }
  return nullptr;
}

void TGLBaseSceneObject::IndexChild(TGLBaseSceneObject* child) {
  if (!childIndex_ || child->Name().empty()) return;
  TChildNameIndex::TSlot& s = childIndex_->Add(child->Name(), NameHash(child->Name()));
  if (s.count++ == 0) s.first = child;
}

void TGLBaseSceneObject::UnindexChild(TGLBaseSceneObject* child, const std::string& name) {
  if (!childIndex_ || name.empty()) return;
  TChildNameIndex::TSlot* s = childIndex_->Find(name, NameHash(name));
  if (!s) return;
  if (--s->count == 0) {
    childIndex_->Erase(*s);
  } else if (s->count == 1) {
    for (TGLBaseSceneObject* c : *children_)
      if (c != child && c->parent_ == this && SameText(c->Name(), name)) {
        s->first = c;
        break;
      }
  }
}

void TGLBaseSceneObject::SetScene(TGLSceneGraph* value) {
  if (scene_ == value) return;
  if (scene_) DestroyHandles();
  scene_ = value;
  for (int i = 0; i < GetChildCount(); ++i) (*children_)[size_t(i)]->SetScene(value);
}

void TGLBaseSceneObject::AddChild(TGLBaseSceneObject* aChild) {
  RTL_ASSERT(aChild != nullptr);
  // An object cannot contain itself; one already placed elsewhere leaves its old parent first.
  if (aChild == this || IsChildOf(aChild))
    throw EInvalidOperation("Cannot add " + aChild->ClassName() + " as a child of itself or its descendant");
  if (aChild->parent_) aChild->parent_->Remove(aChild, false);
  if (!children_) children_ = std::make_unique<std::vector<TGLBaseSceneObject*>>();
  ProgressMayBeNeeded();  // no leaf any more
  children_->push_back(aChild);
  ChildCameForProgress(aChild);
  aChild->parent_ = this;
  IndexChild(aChild);
  aChild->SetScene(scene_);
  if (scene_) scene_->AddLights(aChild);
  TransformationChanged();
  aChild->TransformationChanged();
}

void TGLBaseSceneObject::Insert(int aIndex, TGLBaseSceneObject* aChild) {
  RTL_ASSERT(aChild != nullptr);
  if (aChild == this || IsChildOf(aChild))
    throw EInvalidOperation("Cannot add " + aChild->ClassName() + " as a child of itself or its descendant");
  if (!children_) children_ = std::make_unique<std::vector<TGLBaseSceneObject*>>();
  if (aChild->parent_) aChild->parent_->Remove(aChild, false);
  aIndex = std::clamp(aIndex, 0, GetChildCount());
  ProgressMayBeNeeded();  // no leaf any more
  children_->insert(children_->begin() + aIndex, aChild);
  ChildCameForProgress(aChild);
  aChild->parent_ = this;
  IndexChild(aChild);
  aChild->SetScene(scene_);
  if (scene_) scene_->AddLights(aChild);
  aChild->TransformationChanged();
}

void TGLBaseSceneObject::Remove(TGLBaseSceneObject* aChild, bool keepChildren) {
  if (!children_ || !aChild) return;
  auto it = std::find(children_->begin(), children_->end(), aChild);
  if (it == children_->end()) return;
  if (scene_) scene_->RemoveLights(aChild);
  if (aChild->Owner() == this) RemoveComponent(aChild);
  UnindexChild(aChild, aChild->Name());
  UnlistAbsoluteFresh(aChild);
  children_->erase(std::find(children_->begin(), children_->end(), aChild));
  childWalks_.Left(aChild);
  aChild->parent_ = nullptr;
  if (keepChildren) {
    BeginUpdate();
    try {
      while (aChild->GetChildCount() > 0) aChild->GetChild(0)->MoveTo(this);
    } catch (...) {
      EndUpdate();
      throw;
    }
    EndUpdate();
  } else {
    NotifyChange(this);
  }
}

void TGLBaseSceneObject::RemoveChildren(const std::vector<TGLBaseSceneObject*>& list) {
  if (!children_ || list.empty()) return;
  bool removed = false;
  for (TGLBaseSceneObject* c : list) {
    if (!c || c->parent_ != this) continue;
    if (scene_) scene_->RemoveLights(c);
    if (c->Owner() == this) RemoveComponent(c);
    UnindexChild(c, c->Name());
    c->parent_ = nullptr;
    c->absoluteFreshListed_ = false;
    childWalks_.Left(c);
    removed = true;
  }
  if (!removed) return;
  const auto gone = [](const TGLBaseSceneObject* c) { return c->parent_ == nullptr; };
  std::erase_if(*children_, gone);
  if (freshChildren_) std::erase_if(*freshChildren_, gone);
  NotifyChange(this);
}

void TGLBaseSceneObject::MoveTo(TGLBaseSceneObject* newParent) {
  if (parent_) parent_->Remove(this, false);
  if (newParent)
    newParent->AddChild(this);
  else
    SetScene(nullptr);
}

void TGLBaseSceneObject::DeleteChildren() {
  FreeCamerasInSubtree();
  childIndex_.reset();
  freshChildren_.reset();
  if (scene_ && children_)
    for (TGLBaseSceneObject* c : *children_) scene_->RemoveLights(c);
  while (children_ && !children_->empty()) {
    TGLBaseSceneObject* child = children_->back();
    children_->pop_back();
    childWalks_.Left(child);
    child->parent_ = nullptr;
    FreeObject(child);
  }
}

TGLBaseSceneObject* TGLBaseSceneObject::AddNewChild(TClass aChild) {
  RTL_ASSERT(aChild && aChild->InheritsFrom(TGLBaseSceneObject::StaticClass()));
  auto* obj = static_cast<TGLBaseSceneObject*>(aChild->Create(Owner()));
  try {
    AddChild(obj);
  } catch (...) {
    FreeObject(obj);
    throw;
  }
  return obj;
}

TGLBaseSceneObject* TGLBaseSceneObject::AddNewChildFirst(TClass aChild) {
  RTL_ASSERT(aChild && aChild->InheritsFrom(TGLBaseSceneObject::StaticClass()));
  auto* obj = static_cast<TGLBaseSceneObject*>(aChild->Create(Owner()));
  try {
    Insert(0, obj);
  } catch (...) {
    FreeObject(obj);
    throw;
  }
  return obj;
}

// --- display list and rendering

bool TGLBaseSceneObject::HasValidListHandle() const { return lists_ && !lists_->Empty() && !(changes_ & ocStructure); }

TGLListHandle* TGLBaseSceneObject::ListHandle() const noexcept { return lists_ ? lists_->Last() : nullptr; }

uint32_t TGLBaseSceneObject::GetListHandle(TRenderContextInfo& rci) {
  // One list per state set it was compiled for (the lighting its materials drew for, the winding
  // it set, the buffer's face culling): viewers and passes in other states replay their own.
  if (changes_ & ocStructure) {
    if (lists_) lists_->Free();
    changes_ &= ~ocStructure;
  }
  if (!lists_) lists_ = std::make_unique<TGLStateLists>();
  // The build may free this object (a draw handler): then there is no list, and nothing of it is
  // touched after.
  const TGLObjectWatch watch(this);
  try {
    const uint32_t name = lists_->Get(rci.GLStates, rci.bufferFaceCull ? 1 : 0, [&] { BuildList(rci); });
    if (watch.Freed()) return 0;
    RTL_ASSERT(name != 0, "Handle=0 for " + ClassName());
    return name;
  } catch (...) {
    if (!watch.Freed()) changes_ |= ocStructure;
    throw;
  }
}

void TGLBaseSceneObject::CallListHandle(TRenderContextInfo& rci) {
  if (GetListHandle(rci) == 0) return;
  lists_->Call(rci.GLStates);
}

void TGLBaseSceneObject::DestroyHandle() {
  if (lists_) lists_->Free();
}

void TGLBaseSceneObject::DestroyHandles() {
  for (int i = 0; i < GetChildCount(); ++i) (*children_)[size_t(i)]->DestroyHandles();
  DestroyHandle();
}

void TGLBaseSceneObject::BuildList(TRenderContextInfo&) {}

namespace {

// An object's own geometry: built on the spot when it draws directly, else its display list. A
// pass without materials (picking, a shadow's caster, no colour buffer) builds it on the spot too:
// the list holds what a full pass draws, and is compiled only there.
void DrawSelf(TGLBaseSceneObject* obj, TRenderContextInfo& rci) {
  if ((obj->ObjectStyle() & osDirectDraw) || rci.amalgamating || rci.ignoreMaterials)
    obj->BuildList(rci);
  else
    obj->CallListHandle(rci);
}

}  // namespace

void TGLBaseSceneObject::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  if (renderSelf) {
    // Its drawing (a draw handler) may free it, children and all.
    const TGLObjectWatch self(this);
    DrawSelf(this, rci);
    if (self.Freed()) return;
  }
  if (renderChildren) RenderChildren(0, GetChildCount() - 1, rci);
}

void TGLBaseSceneObject::DrawAxes(TRenderContextInfo& rci, uint16_t pattern) {
  float len = 100;
  if (scene_ && scene_->CurrentGLCamera()) len = scene_->CurrentGLCamera()->DepthOfView();
  GL.glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_LIGHTING_BIT | GL_LINE_BIT | GL_COLOR_BUFFER_BIT);
  GL.glDisable(GL_LIGHTING);
  GL.glEnable(GL_LINE_STIPPLE);
  if (!rci.ignoreBlendingRequests) {
    GL.glEnable(GL_BLEND);
    GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  }
  GL.glLineWidth(1);
  GL.glLineStipple(1, pattern);
  GL.glBegin(GL_LINES);
  GL.glColor3f(0.5f, 0, 0);
  GL.glVertex3f(0, 0, 0);
  GL.glVertex3f(-len, 0, 0);
  GL.glColor3f(1, 0, 0);
  GL.glVertex3f(0, 0, 0);
  GL.glVertex3f(len, 0, 0);
  GL.glColor3f(0, 0.5f, 0);
  GL.glVertex3f(0, 0, 0);
  GL.glVertex3f(0, -len, 0);
  GL.glColor3f(0, 1, 0);
  GL.glVertex3f(0, 0, 0);
  GL.glVertex3f(0, len, 0);
  GL.glColor3f(0, 0, 0.5f);
  GL.glVertex3f(0, 0, 0);
  GL.glVertex3f(0, 0, -len);
  GL.glColor3f(0, 0, 1);
  GL.glVertex3f(0, 0, 0);
  GL.glVertex3f(0, 0, len);
  GL.glEnd();
  GL.glPopAttrib();
}

// --- progress, streaming, assignment

namespace {
std::vector<TClass>& ProgressFreeClasses() {
  static std::vector<TClass> classes;
  return classes;
}
}  // namespace

void RegisterProgressFreeClass(TClass cls) {
  auto& classes = ProgressFreeClasses();
  if (cls && std::find(classes.begin(), classes.end(), cls) == classes.end()) classes.push_back(cls);
}

void TGLObjectProgressEvent::Changed() noexcept {
  if (owner_) owner_->ProgressMayBeNeeded();
}

bool TGLBaseSceneObject::ProgressFreeLeaf() const {
  if (GetChildCount() > 0 || behaviours_ || effects_ || OnProgress) return false;
  const auto& classes = ProgressFreeClasses();
  return std::find(classes.begin(), classes.end(), ClassType()) != classes.end();
}

void TGLBaseSceneObject::DoProgress(const TProgressTimes& progressTime) {
  // Thousands of children that have nothing to do (the cubes and pipes of a
  // busy view) are not walked in every step; once seen, they stay known as
  // such until one of them or a new one may have something to do.
  if (!childrenProgressFree_ && children_) {
    // Last to first; a child may free or move others (or this object) in its step.
    bool allFree = GetChildCount() > 0;
    TListWalk<TGLBaseSceneObject*> walk(childWalks_, children_->rbegin(), children_->rend());
    while (TGLBaseSceneObject* c = walk.Next()) {
      allFree = allFree && c->ProgressFreeLeaf();  // before its step, which may free it
      c->DoProgress(progressTime);
    }
    if (walk.OwnerGone()) return;
    // All free: no child had anything to run, so none came or went during the walk.
    childrenProgressFree_ = allFree && GetChildCount() > 0;
  }
  // A step that freed this object (its collections go with it) ends the walk here.
  if (behaviours_ && !behaviours_->DoProgress(progressTime)) return;
  if (effects_ && !effects_->DoProgress(progressTime)) return;
  if (OnProgress) OnProgress(this, progressTime.deltaTime, progressTime.newTime);
}

namespace {

void WriteXCollection(TXCollection* coll, TStream* stream) {
  TWriter writer(stream);
  coll->WriteToFiler(&writer);
}

void ReadXCollection(TXCollection* coll, TStream* stream) {
  TReader reader(stream);
  coll->ReadFromFiler(&reader);
}

}  // namespace

void TGLBaseSceneObject::DefineProperties(TFiler* Filer) {
  inherited::DefineProperties(Filer);
  Filer->DefineBinaryProperty(
      "BehavioursData", [this](TStream* s) { ReadXCollection(Behaviours(), s); },
      [this](TStream* s) { WriteXCollection(behaviours_.get(), s); }, behaviours_ && behaviours_->Count() > 0);
  Filer->DefineBinaryProperty(
      "EffectsData", [this](TStream* s) { ReadXCollection(Effects(), s); },
      [this](TStream* s) { WriteXCollection(effects_.get(), s); }, effects_ && effects_->Count() > 0);
}

void TGLBaseSceneObject::Loaded() {
  inherited::Loaded();
  position_.SetW(1);
  if (behaviours_) behaviours_->NotifyOwnerLoaded();
  if (effects_) effects_->NotifyOwnerLoaded();
}

void TGLBaseSceneObject::SetName(const std::string& NewName) {
  if (NewName == Name()) return;
  const std::string oldName = Name();
  inherited::SetName(NewName);
  if (parent_) {
    parent_->UnindexChild(this, oldName);
    parent_->IndexChild(this);
  }
  if (vBaseSceneObjectNameChangeEvent) vBaseSceneObjectNameChangeEvent(this);
}

void TGLBaseSceneObject::GetChildren(const std::function<void(TComponent*)>& Proc, TComponent*) {
  for (int i = 0; i < GetChildCount(); ++i) Proc((*children_)[size_t(i)]);
}

TComponent* TGLBaseSceneObject::GetParentComponent() {
  if (parent_ && parent_->Is<TGLSceneRootObject>()) return parent_->scene_;
  return parent_;
}

void TGLBaseSceneObject::SetParentComponent(TComponent* Value) {
  inherited::SetParentComponent(Value);
  if (!Value) return;
  if (Value->Is<TGLSceneGraph>()) {
    auto* scene = static_cast<TGLSceneGraph*>(Value);
    if (Is<TGLCamera>())
      scene->Cameras()->AddChild(this);
    else
      scene->Objects()->AddChild(this);
  } else if (Value->Is<TGLBaseSceneObject>()) {
    static_cast<TGLBaseSceneObject*>(Value)->AddChild(this);
  } else {
    if (parent_) parent_->Remove(this, false);
    SetScene(nullptr);
  }
}

void TGLBaseSceneObject::Notification(TComponent* AComponent, TOperation Operation) {
  inherited::Notification(AComponent, Operation);
}

void TGLBaseSceneObject::Assign(TPersistent* Source) {
  if (!Source || !Source->Is<TGLBaseSceneObject>()) {
    inherited::Assign(Source);
    return;
  }
  auto* src = static_cast<TGLBaseSceneObject*>(Source);
  DestroyHandles();
  visible_ = src->visible_;
  SetMatrix(*src->GetLocalMatrixPtr());
  showAxes_ = src->showAxes_;
  objectsSorting_ = src->objectsSorting_;
  visibilityCulling_ = src->visibilityCulling_;
  rotation_.StoreVector(src->rotation_.AsVector());
  SetScene(src->scene_);
  if (scene_) scene_->BeginUpdate();
  try {
    for (int i = 0; i < src->GetChildCount(); ++i) {
      TGLBaseSceneObject* sc = src->GetChild(i);
      AddNewChild(sc->ClassType())->Assign(sc);
    }
  } catch (...) {
    if (scene_) scene_->EndUpdate();
    throw;
  }
  if (scene_) scene_->EndUpdate();
  OnProgress = src->OnProgress;
  if (src->behaviours_)
    Behaviours()->Assign(src->behaviours_.get());
  else
    behaviours_.reset();
  if (src->effects_)
    Effects()->Assign(src->effects_.get());
  else
    effects_.reset();
  SetTag(src->Tag());
  tagFloat_ = src->tagFloat_;
}

// ============================================================================================
// TGLCustomSceneObject and descendants

TGLCustomSceneObject::TGLCustomSceneObject(TComponent* AOwner) : TGLBaseSceneObject(AOwner) {}

TGLCustomSceneObject::~TGLCustomSceneObject() { delete material_; }

TGLMaterial* TGLCustomSceneObject::Material() {
  if (!material_) material_ = new TGLMaterial(this);
  return material_;
}

void TGLCustomSceneObject::SetMaterial(TGLMaterial* value) {
  Material()->Assign(value);
  NotifyChange(this);
}

void TGLCustomSceneObject::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLCustomSceneObject>()) {
    auto* src = static_cast<TGLCustomSceneObject*>(Source);
    if (src->material_)
      Material()->Assign(src->material_);
    else if (material_)
      Material()->Assign(nullptr);
    hint_ = src->hint_;
  }
  inherited::Assign(Source);
}

bool TGLCustomSceneObject::IsBlended() { return material_ && material_->Blended(); }

void TGLCustomSceneObject::Loaded() { inherited::Loaded(); }

void TGLCustomSceneObject::DestroyHandle() {
  inherited::DestroyHandle();
  if (material_) material_->DestroyHandles();
}

void TGLCustomSceneObject::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  if (renderSelf) {
    if (Scene()) Scene()->SetCurrentObject(this);
    if (!rci.ignoreMaterials) {
      DrawUnderMaterial(*Material(), rci, [&] { DrawSelf(this, rci); });
    } else {
      DrawSelf(this, rci);
    }
  }
  if (renderChildren) RenderChildren(0, GetChildCount() - 1, rci);
}

// Skips the material of its parent class: the object's own geometry and its children only.
void TGLImmaterialSceneObject::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  TGLBaseSceneObject::DoRender(rci, renderSelf, renderChildren);
}

TGLCameraInvariantObject::TGLCameraInvariantObject(TComponent* AOwner) : TGLImmaterialSceneObject(AOwner) {}

void TGLCameraInvariantObject::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLCameraInvariantObject>())
    camInvarianceMode_ = static_cast<TGLCameraInvariantObject*>(Source)->camInvarianceMode_;
  inherited::Assign(Source);
}

void TGLCameraInvariantObject::SetCamInvarianceMode(TGLCameraInvarianceMode v) {
  if (camInvarianceMode_ == v) return;
  camInvarianceMode_ = v;
  NotifyChange(this);
}

void TGLCameraInvariantObject::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  if (camInvarianceMode_ == cimNone) {
    inherited::DoRender(rci, renderSelf, renderChildren);
    return;
  }
  RTL_ASSERT(camInvarianceMode_ == cimPosition || camInvarianceMode_ == cimOrientation);
  TMatrix4f base;
  if (camInvarianceMode_ == cimPosition) {
    TMatrix4f t = IdentityHmgMatrix;
    t[3] = VectorMake(rci.cameraPosition[0], rci.cameraPosition[1], rci.cameraPosition[2], 1);
    base = MatrixMultiply(t, rci.buffer ? rci.buffer->ModelViewMatrix() : IdentityHmgMatrix);
  } else {
    base = IdentityHmgMatrix;
    base[1][1] = -1;
    base[2][2] = -1;
  }
  const TMatrix4f m = MatrixMultiply(*GetLocalMatrixPtr(), base);
  GL.glPushMatrix();
  GL.glLoadMatrixf(m.data());
  if (rci.buffer) rci.buffer->PushModelViewMatrix(m);
  TScopeExit pop([&rci] {
    if (rci.buffer && rci.buffer->ModelViewStackDepth() > 0) rci.buffer->PopModelViewMatrix();
    GL.glPopMatrix();
  });
  if (renderSelf) {
    const TGLObjectWatch self(this);
    DrawSelf(this, rci);
    if (self.Freed()) return;
  }
  if (renderChildren) RenderChildren(0, GetChildCount() - 1, rci);
}

TGLDirectOpenGL::TGLDirectOpenGL(TComponent* AOwner) : TGLImmaterialSceneObject(AOwner) {
  objectStyle_ |= osDirectDraw | osStateChanging;
}

void TGLDirectOpenGL::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLDirectOpenGL>()) {
    auto* src = static_cast<TGLDirectOpenGL*>(Source);
    SetUseBuildList(src->useBuildList_);
    OnRender = src->OnRender;
    OnProgress = src->OnProgress;
    blend_ = src->blend_;
  }
  inherited::Assign(Source);
}

void TGLDirectOpenGL::SetUseBuildList(bool v) {
  if (useBuildList_ == v) return;
  useBuildList_ = v;
  if (v)
    objectStyle_ &= ~osDirectDraw;
  else
    objectStyle_ |= osDirectDraw;
}

void TGLDirectOpenGL::SetBlend(bool v) {
  if (blend_ == v) return;
  blend_ = v;
  MarkStructureChanged();
}

void TGLDirectOpenGL::BuildList(TRenderContextInfo& rci) {
  if (!OnRender) return;
  SetMapTexCoordModeMain();
  OnRender(this, rci);
}

TGLRenderPoint::TGLRenderPoint(TComponent* AOwner) : TGLImmaterialSceneObject(AOwner) {
  objectStyle_ |= osDirectDraw | osStateChanging;
}

TGLRenderPoint::~TGLRenderPoint() {
  try {
    Clear();
  } catch (...) {
  }
}

void TGLRenderPoint::BuildList(TRenderContextInfo& rci) {
  std::vector<TCallBack*> entries;
  entries.reserve(callBacks_.size());
  for (const auto& c : callBacks_) entries.push_back(c.get());
  TListWalk<TCallBack*> walk(walks_, std::move(entries));
  while (TCallBack* c = walk.Next())
    if (c->render) {
      // Its own copy: the callback may clear the list, freeing the entry it was taken from.
      const TDirectRenderEvent callBack = c->render;
      callBack(this, rci);
    }
}

void TGLRenderPoint::RegisterCallBack(TDirectRenderEvent renderEvent, TNotifyEvent renderPointFreed) {
  callBacks_.push_back(std::make_unique<TCallBack>(TCallBack{std::move(renderEvent), std::move(renderPointFreed)}));
}

void TGLRenderPoint::Clear() {
  while (!callBacks_.empty()) {
    const std::unique_ptr<TCallBack> last = std::move(callBacks_.back());
    callBacks_.pop_back();
    walks_.Left(last.get());
    if (last->freed) last->freed(this);
  }
}

// ============================================================================================
// TGLProxyObject

TGLProxyObject::TGLProxyObject(TComponent* AOwner) : TGLBaseSceneObject(AOwner) {
  objectStyle_ |= osStateChanging;
  proxyOptions_ = TGLProxyObjectOptions{pooEffects, pooObjects, pooTransformation};
}

TGLProxyObject::~TGLProxyObject() { SetMasterObject(nullptr); }

void TGLProxyObject::Assign(TPersistent* Source) {
  if (Source && Source->Is<TGLProxyObject>()) SetMasterObject(static_cast<TGLProxyObject*>(Source)->masterObject_);
  inherited::Assign(Source);
}

void TGLProxyObject::SetMasterObject(TGLBaseSceneObject* v) {
  if (masterObject_ == v) return;
  if (masterObject_) masterObject_->RemoveFreeNotification(this);
  masterObject_ = v;
  if (masterObject_) masterObject_->FreeNotification(this);
  MarkStructureChanged();
}

void TGLProxyObject::SetProxyOptions(TGLProxyObjectOptions v) {
  if (proxyOptions_.Bits() == v.Bits()) return;
  proxyOptions_ = v;
  MarkStructureChanged();
}

void TGLProxyObject::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == masterObject_) {
    masterObject_ = nullptr;
    MarkStructureChanged();
  }
  inherited::Notification(AComponent, Operation);
}

void TGLProxyObject::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  if (rendering_) return;
  // The master's drawing (a draw handler) may free the proxy.
  const TGLObjectWatch self(this);
  const TGLObjectFlagScope guard(self, rendering_);
  TGLSceneBuffer* buffer = Scene() ? Scene()->CurrentBuffer() : nullptr;
  if (masterObject_ && proxyOptions_.Contains(pooEffects) && masterObject_->EffectsIfAny() &&
      masterObject_->EffectsIfAny()->Count() > 0)
    masterObject_->EffectsIfAny()->RenderPreEffects(buffer, rci);
  if (masterObject_ && proxyOptions_.Contains(pooObjects)) {
    TRestore<bool> sub(rci.proxySubObject, true);
    if (proxyOptions_.Contains(pooTransformation)) GL.glMultMatrixf(masterObject_->GetLocalMatrixPtr()->data());
    masterObject_->DoRender(rci, renderSelf, masterObject_->GetChildCount() > 0);
    if (self.Freed()) return;
  }
  if (renderChildren && GetChildCount() > 0) RenderChildren(0, GetChildCount() - 1, rci);
  if (masterObject_ && proxyOptions_.Contains(pooEffects) && masterObject_->EffectsIfAny())
    masterObject_->EffectsIfAny()->RenderPostEffects(buffer, rci);
  ClearStructureChanged();
}

TVector4f TGLProxyObject::AxisAlignedDimensionsUnscaled() {
  if (masterObject_) return masterObject_->AxisAlignedDimensionsUnscaled();
  return inherited::AxisAlignedDimensionsUnscaled();
}

TGLSilhouette* TGLProxyObject::GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) {
  return masterObject_ ? masterObject_->GenerateSilhouette(silhouetteParameters) : nullptr;
}

bool TGLProxyObject::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint,
                                      TVector4f* intersectNormal) {
  if (!masterObject_) return false;
  // World -> proxy space, read as the master's space -> world.
  const TVector4f localStart = AbsoluteToLocalAffine(rayStart);
  const TVector4f localEnd =
      AbsoluteToLocalAffine(VectorAdd(rayStart, VectorMake(rayVector[0], rayVector[1], rayVector[2], 0)));
  const TVector4f masterStart = masterObject_->LocalToAbsolute(localStart);
  const TVector4f masterEnd = masterObject_->LocalToAbsolute(localEnd);
  TVector4f masterVector = VectorSubtract(masterEnd, masterStart);
  masterVector[3] = 0;
  TVector4f p{}, n{};
  if (!masterObject_->RayCastIntersect(masterStart, masterVector, &p, intersectNormal ? &n : nullptr)) return false;
  if (intersectPoint) *intersectPoint = LocalToAbsolute(masterObject_->AbsoluteToLocalAffine(p));
  if (intersectNormal)
    *intersectNormal = VectorNormalized(LocalToAbsoluteVector(masterObject_->AbsoluteToLocalVector(n)));
  return true;
}

// ============================================================================================
// TGLSceneRootObject

TGLSceneRootObject::TGLSceneRootObject(TComponent* AOwner) : TGLBaseSceneObject(AOwner) {
  RTL_ASSERT(AOwner && AOwner->Is<TGLSceneGraph>(), "A scene root must be owned by a scene");
  objectStyle_ |= osDirectDraw;
  SetScene(static_cast<TGLSceneGraph*>(AOwner));
}

// ============================================================================================
// TGLSceneGraph

TGLSceneGraph::TGLSceneGraph(TComponent* AOwner) : TGLUpdateAbleComponent(AOwner) {
  lights_.assign(LightTableSize, nullptr);
  objects_ = new TGLSceneRootObject(this);
  objects_->SetName("ObjectRoot");
  cameras_ = new TGLSceneRootObject(this);
  cameras_->SetName("CameraRoot");
}

TGLSceneGraph::~TGLSceneGraph() {
  destroying_ = true;
  // Buffers still looking through one of this scene's cameras stop before the camera goes.
  for (TGLSceneBuffer* b : cameraUsers_) b->camera_ = nullptr;
  cameraUsers_.clear();
  try {
    if (objects_) objects_->DestroyHandles();
  } catch (...) {
  }
  // Both trees go before the light table, which their lights still leave on the way out.
  TGLSceneRootObject* c = cameras_;
  cameras_ = nullptr;
  FreeObject(c);
  TGLSceneRootObject* o = objects_;
  objects_ = nullptr;
  FreeObject(o);
  buffers_.clear();
}

void TGLSceneGraph::BeginUpdate() { ++updateCount_; }

void TGLSceneGraph::EndUpdate() {
  RTL_ASSERT(updateCount_ >= 1, glsUnBalancedBeginEndUpdate);
  if (--updateCount_ == 0) NotifyChange(this);
}

bool TGLSceneGraph::IsUpdating() const {
  const auto st = ComponentState();
  return updateCount_ != 0 || st.Contains(csLoading) || st.Contains(csDestroying) || destroying_;
}

void TGLSceneGraph::NotifyChange(TObject*) {
  if (IsUpdating()) return;
  // A buffer's change handler may free its viewer (or another), or the scene.
  TListWalk<TGLSceneBuffer*> walk(bufferWalks_, buffers_.begin(), buffers_.end());
  while (TGLSceneBuffer* b = walk.Next()) b->NotifyChange(this);
}

void TGLSceneGraph::GetChildren(const std::function<void(TComponent*)>& Proc, TComponent*) {
  if (objects_)
    for (int i = 0; i < objects_->GetChildCount(); ++i) Proc(objects_->GetChild(i));
  if (cameras_)
    for (int i = 0; i < cameras_->GetChildCount(); ++i) Proc(cameras_->GetChild(i));
}

void TGLSceneGraph::SetChildOrder(TComponent* Child, int Order) {
  if (Child && Child->Is<TGLBaseSceneObject>()) static_cast<TGLBaseSceneObject*>(Child)->SetIndex(Order);
}

void TGLSceneGraph::ReadState(TReader* Reader) {
  // References between stored objects resolve against the owning form.
  TComponent* saved = Reader->Root();
  if (Owner()) Reader->SetRoot(Owner());
  try {
    inherited::ReadState(Reader);
  } catch (...) {
    Reader->SetRoot(saved);
    throw;
  }
  Reader->SetRoot(saved);
}

void TGLSceneGraph::AddLight(TGLLightSource* aLight) {
  if (!aLight || destroying_) return;
  // A light joins once, however many paths bring it in.
  if (std::find(lights_.begin(), lights_.end(), aLight) != lights_.end()) return;
  for (size_t i = 0; i < lights_.size(); ++i) {
    if (!lights_[i]) {
      lights_[i] = aLight;
      aLight->SetLightID(GL_LIGHT0 + uint32_t(i));
      return;
    }
  }
}

void TGLSceneGraph::RemoveLight(TGLLightSource* aLight) {
  if (!aLight) return;
  for (auto& slot : lights_) {
    if (slot == aLight) {
      slot = nullptr;
      aLight->SetLightID(0);
    }
  }
}

void TGLSceneGraph::AddLights(TGLBaseSceneObject* anObj) {
  if (!anObj) return;
  if (anObj->Is<TGLLightSource>()) AddLight(static_cast<TGLLightSource*>(anObj));
  for (int i = 0; i < anObj->GetChildCount(); ++i) AddLights(anObj->GetChild(i));
}

void TGLSceneGraph::RemoveLights(TGLBaseSceneObject* anObj) {
  if (!anObj) return;
  if (anObj->Is<TGLLightSource>()) RemoveLight(static_cast<TGLLightSource*>(anObj));
  for (int i = 0; i < anObj->GetChildCount(); ++i) RemoveLights(anObj->GetChild(i));
}

void TGLSceneGraph::AddBuffer(TGLSceneBuffer* aBuffer) {
  if (!aBuffer || std::find(buffers_.begin(), buffers_.end(), aBuffer) != buffers_.end()) return;
  buffers_.push_back(aBuffer);
  if (!baseContext_) baseContext_ = aBuffer->RenderingContext();
  if (buffers_.size() > 1 && baseContext_ && aBuffer->RenderingContext() && aBuffer->RenderingContext() != baseContext_)
    aBuffer->RenderingContext()->ShareDisplayLists(baseContext_);
}

void TGLSceneGraph::RemoveBuffer(TGLSceneBuffer* aBuffer) {
  auto it = std::find(buffers_.begin(), buffers_.end(), aBuffer);
  if (it == buffers_.end()) return;
  buffers_.erase(it);
  bufferWalks_.Left(aBuffer);
  if (buffers_.empty())
    baseContext_ = nullptr;
  else
    baseContext_ = buffers_.front()->RenderingContext();
  if (currentBuffer_ == aBuffer) currentBuffer_ = nullptr;
}

void TGLSceneGraph::ForgetCamera(TGLCamera* camera) {
  if (currentCamera_ == camera) currentCamera_ = nullptr;
  for (size_t i = cameraUsers_.size(); i-- > 0;) {
    TGLSceneBuffer* b = cameraUsers_[i];
    if (b->camera_ != camera) continue;
    b->camera_ = nullptr;
    cameraUsers_.erase(cameraUsers_.begin() + long(i));
    RemoveBuffer(b);
  }
}

void TGLSceneGraph::SetObjectsSorting(TGLObjectsSorting v) {
  if (v == osInherited) v = osRenderBlendedLast;
  if (objectsSorting_ == v) return;
  objectsSorting_ = v;
  NotifyChange(this);
}

void TGLSceneGraph::SetVisibilityCulling(TGLVisibilityCulling v) {
  if (v == vcInherited) v = vcNone;
  if (visibilityCulling_ == v) return;
  visibilityCulling_ = v;
  NotifyChange(this);
}

void TGLSceneGraph::Progress(double deltaTime, double newTime) {
  const TProgressTimes pt{deltaTime, newTime};
  BeginUpdate();
  try {
    objects_->DoProgress(pt);
    cameras_->DoProgress(pt);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
  if (OnProgress) OnProgress(this, deltaTime, newTime);
}

namespace {

void RayCastWalk(TGLBaseSceneObject* obj, const TVector4f& start, const TVector4f& vec, TVector4f* point,
                 TVector4f* normal, TGLBaseSceneObject*& best, float& bestDist2) {
  for (int i = 0; i < obj->GetChildCount(); ++i) {
    TGLBaseSceneObject* c = obj->GetChild(i);
    if (!c->Visible()) continue;
    TVector4f p{}, n{};
    if (c->RayCastIntersect(start, vec, &p, normal ? &n : nullptr)) {
      const float d2 = AffineVectorDistanceSquared(AffineVectorMake(start), AffineVectorMake(p));
      if (d2 < bestDist2) {
        bestDist2 = d2;
        best = c;
        if (point) *point = p;
        if (normal) *normal = n;
      }
    }
    RayCastWalk(c, start, vec, point, normal, best, bestDist2);
  }
}

}  // namespace

TGLBaseSceneObject* TGLSceneGraph::RayCastNearest(const TVector4f& rayStart, const TVector4f& rayVector,
                                                  TVector4f* intersectPoint, TVector4f* intersectNormal) {
  TGLBaseSceneObject* best = nullptr;
  float bestDist2 = 1e20f;
  RayCastWalk(objects_, rayStart, rayVector, intersectPoint, intersectNormal, best, bestDist2);
  return best;
}

// ============================================================================================
// Registration

namespace {

const std::vector<std::string> kSortingIdents = {"osInherited", "osNone", "osRenderFarthestFirst",
                                                 "osRenderBlendedLast", "osRenderNearestFirst"};
const std::vector<std::string> kCullingIdents = {"vcInherited", "vcNone", "vcObjectBased", "vcHierarchical"};

// The published base properties of a scene-object class, in stream order.
template <class C>
void PublishSceneObject(TPublished<C>& p) {
  p.Enum("ObjectsSorting", &C::ObjectsSorting, &C::SetObjectsSorting, kSortingIdents, osInherited)
      .Enum("VisibilityCulling", &C::VisibilityCulling, &C::SetVisibilityCulling, kCullingIdents, vcInherited)
      .Object("Direction", &C::Direction)
      .Float("PitchAngle", &C::PitchAngle, &C::SetPitchAngle, 0.0)
      .Object("Position", &C::Position)
      .Float("RollAngle", &C::RollAngle, &C::SetRollAngle, 0.0)
      .Object("Scale", &C::Scale)
      .Boolean("ShowAxes", &C::ShowAxes, &C::SetShowAxes, false)
      .Float("TurnAngle", &C::TurnAngle, &C::SetTurnAngle, 0.0)
      .Object("Up", &C::Up)
      .Boolean("Visible", &C::Visible, &C::SetVisible, true);
}

}  // namespace

void RegisterGLSceneGraphClasses() {
  TPublished<TGLBaseSceneObject>().Float("TagFloat", &TGLBaseSceneObject::TagFloat, &TGLBaseSceneObject::SetTagFloat,
                                         0.0);
  {
    TPublished<TGLSceneObject> p;
    p.Object("Material", &TGLSceneObject::Material);
    PublishSceneObject(p);
    p.String("Hint", &TGLSceneObject::Hint, &TGLSceneObject::SetHint);
  }
  {
    TPublished<TGLImmaterialSceneObject> p;
    PublishSceneObject(p);
    p.String("Hint", &TGLImmaterialSceneObject::Hint, &TGLImmaterialSceneObject::SetHint);
  }
  {
    TPublished<TGLCameraInvariantObject> p;
    p.Enum("CamInvarianceMode", &TGLCameraInvariantObject::CamInvarianceMode,
           &TGLCameraInvariantObject::SetCamInvarianceMode, {"cimNone", "cimPosition", "cimOrientation"}, cimNone);
  }
  {
    TPublished<TGLDirectOpenGL> p;
    p.Boolean("UseBuildList", &TGLDirectOpenGL::UseBuildList, &TGLDirectOpenGL::SetUseBuildList, false)
        .Boolean("Blend", &TGLDirectOpenGL::Blend, &TGLDirectOpenGL::SetBlend, false);
  }
  {
    TPublished<TGLProxyObject> p;
    p.Component("MasterObject", &TGLProxyObject::MasterObject, &TGLProxyObject::SetMasterObject)
        .Set("ProxyOptions", &TGLProxyObject::ProxyOptionsBits, &TGLProxyObject::SetProxyOptionsBits,
             {"pooEffects", "pooObjects", "pooTransformation"}, 7);
    PublishSceneObject(p);
  }
  {
    TPublished<TGLSceneGraph> p;
    p.Enum("ObjectsSorting", &TGLSceneGraph::ObjectsSorting, &TGLSceneGraph::SetObjectsSorting, kSortingIdents,
           osRenderBlendedLast)
        .Enum("VisibilityCulling", &TGLSceneGraph::VisibilityCulling, &TGLSceneGraph::SetVisibilityCulling,
              kCullingIdents, vcNone);
  }
  RegisterGLCameraClasses();
  RegisterGLLightSourceClasses();
  RegisterGLSceneBufferClasses();
  RegisterClasses({TGLSceneGraph::StaticClass(), TGLProxyObject::StaticClass(), TGLDirectOpenGL::StaticClass(),
                   TGLRenderPoint::StaticClass(), TGLSceneObject::StaticClass(),
                   TGLImmaterialSceneObject::StaticClass(), TGLCameraInvariantObject::StaticClass()});
}
