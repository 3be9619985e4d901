// Disks, cones, cylinders, annuli, tori, arrow lines, frusta and polygons: drawing, extents and
// exact ray intersections.
#include "Source/Objects/GLGeomObjects.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "Source/Base/XOpenGL.h"
#include "Source/Objects/Polynomials.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

TVector4f Dir(const TVector4f& v) { return {v[0], v[1], v[2], 0}; }
TVector4f Pt(const TVector4f& v) { return {v[0], v[1], v[2], 1}; }
TAffineVector Aff(const TVector4f& v) { return {v[0], v[1], v[2]}; }

// A fresh quadric set up from the object, deleted when the scope ends. It owns the quadric and
// is passed where one is wanted, so it is a handle type rather than a scope guard.
class TQuadric {
 public:
  explicit TQuadric(TGLQuadricObject* owner) : q_(GL.gluNewQuadric()) { owner->SetupQuadricParams(q_); }
  ~TQuadric() { GL.gluDeleteQuadric(q_); }
  TQuadric(const TQuadric&) = delete;
  TQuadric& operator=(const TQuadric&) = delete;
  operator GLUquadric*() const { return q_; }

 private:
  GLUquadric* q_;
};

// Matrix push/pop that also holds when drawing throws. Every quadric's drawing opens one: a named
// scope says it in one line where a TScopeExit would need the push beside it each time.
class TMatrixScope {
 public:
  TMatrixScope() { GL.glPushMatrix(); }
  ~TMatrixScope() { GL.glPopMatrix(); }
  TMatrixScope(const TMatrixScope&) = delete;
  TMatrixScope& operator=(const TMatrixScope&) = delete;
};

// Roots of the ray against an infinite cylinder of the given radius around the Y axis, added to
// `out`; none for a ray parallel to the axis.
void AllRootsInto(const TAffineVector& s, const TAffineVector& d, float radius, TDoubleArray& out) {
  const double c[3] = {double(s[0]) * s[0] + double(s[2]) * s[2] - double(radius) * radius,
                       2 * (double(s[0]) * d[0] + double(s[2]) * d[2]), double(d[0]) * d[0] + double(d[2]) * d[2]};
  if (NearZero(c[2])) return;
  const TDoubleArray r = QuadraticRoots(c);
  out.insert(out.end(), r.begin(), r.end());
}

// The smallest non-negative one of them.
bool SideRoot(const TAffineVector& s, const TAffineVector& d, float radius, double& t) {
  TDoubleArray roots;
  AllRootsInto(s, d, radius, roots);
  return MinNonNegativeRoot(roots, t);
}

// A local hit point and normal handed back in absolute coordinates.
void ReturnHit(TGLBaseSceneObject* obj, const TAffineVector& p, const TAffineVector& n, TVector4f* intersectPoint,
               TVector4f* intersectNormal) {
  if (intersectPoint) *intersectPoint = obj->LocalToAbsolute(PointMake(p));
  if (intersectNormal) *intersectNormal = obj->LocalToAbsoluteVector(VectorMakeFromAffine(n));
}

TAffineVector At(const TAffineVector& s, const TAffineVector& d, double t) {
  return {float(s[0] + t * d[0]), float(s[1] + t * d[1]), float(s[2] + t * d[2])};
}

}  // namespace

#define GEOM_SETTER(Class, Setter, field) \
  void Class::Setter(decltype(field) v) { \
    if (v == field) return;               \
    field = v;                            \
    MarkStructureChanged();               \
  }
// A subdivision count, bounded when read from a stored scene, alone and in the object's
// vertices (`vertices`, from v and the other counts).
#define GEOM_COUNT_SETTER(Class, Setter, field, vertices) \
  void Class::Setter(int v) {                             \
    CheckStoredSubdivisions(*this, v);                    \
    if (v == field) return;                               \
    CheckStoredVertices(*this, vertices);                 \
    field = v;                                            \
    MarkStructureChanged();                               \
  }

namespace {

// GLU draws a disk's loops, and a cylinder's stacks, as strips of Slices quads.
double DiskVertices(int slices, int loops) { return StripVertices(std::max(loops, 0), std::max(slices, 0)); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// TGLDisk

TGLDisk::TGLDisk(TComponent* AOwner) : TGLQuadricObject(AOwner) {}

void TGLDisk::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLDisk*>(Source)) {
    startAngle_ = src->startAngle_;
    sweepAngle_ = src->sweepAngle_;
    outerRadius_ = src->outerRadius_;
    innerRadius_ = src->innerRadius_;
    slices_ = src->slices_;
    loops_ = src->loops_;
    MarkStructureChanged();
  }
  TGLQuadricObject::Assign(Source);
}

TVector4f TGLDisk::AxisAlignedDimensionsUnscaled() {
  const float r = std::fabs(outerRadius_);
  return {r, r, 0, 0};
}

bool TGLDisk::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint,
                               TVector4f* intersectNormal) {
  TVector4f hit;
  const TVector4f normal = GetAbsoluteDirection();
  if (!RayCastPlaneIntersect(Pt(rayStart), Dir(rayVector), GetAbsolutePosition(), normal, &hit)) return false;
  const TVector4f local = AbsoluteToLocalAffine(Pt(hit));
  const float r2 = local[0] * local[0] + local[1] * local[1];
  if (r2 < innerRadius_ * innerRadius_ || r2 > outerRadius_ * outerRadius_) return false;
  if (intersectPoint) *intersectPoint = Pt(hit);
  if (intersectNormal) *intersectNormal = normal;
  return true;
}

void TGLDisk::BuildList(TRenderContextInfo&) {
  TQuadric q(this);
  GL.gluPartialDisk(q, innerRadius_, outerRadius_, slices_, loops_, startAngle_, sweepAngle_);
}

GEOM_SETTER(TGLDisk, SetStartAngle, startAngle_)
GEOM_SETTER(TGLDisk, SetSweepAngle, sweepAngle_)
GEOM_SETTER(TGLDisk, SetOuterRadius, outerRadius_)
GEOM_SETTER(TGLDisk, SetInnerRadius, innerRadius_)
GEOM_COUNT_SETTER(TGLDisk, SetSlices, slices_, DiskVertices(v, loops_))
GEOM_COUNT_SETTER(TGLDisk, SetLoops, loops_, DiskVertices(slices_, v))

double TGLDisk::VertexCount() const noexcept { return DiskVertices(slices_, loops_); }

// ---------------------------------------------------------------------------------------------
// TGLCylinderBase

TGLCylinderBase::TGLCylinderBase(TComponent* AOwner) : TGLQuadricObject(AOwner) {}

void TGLCylinderBase::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLCylinderBase*>(Source)) {
    bottomRadius_ = src->bottomRadius_;
    slices_ = src->slices_;
    stacks_ = src->stacks_;
    loops_ = src->loops_;
    height_ = src->height_;
    MarkStructureChanged();
  }
  TGLQuadricObject::Assign(Source);
}

TGLSilhouette* TGLCylinderBase::GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) {
  const int n = std::max(slices_, 5);
  const double step = 2 * M_PI / n;
  const float h = height_ * 0.5f, rb = bottomRadius_, rt = GetTopRadius();
  const TAffineVector bottomCentre{0, -h, 0}, topCentre{0, h, 0};
  TConnectivity connectivity(true);
  // Shared corners are computed from the same angle so that they match bit for bit.
  auto ring = [&](int i, float r, float y) {
    const double a = (i % n) * step;
    return TAffineVector{float(r * std::cos(a)), y, float(r * std::sin(a))};
  };
  for (int i = 0; i < n; ++i) {
    const TAffineVector b0 = ring(i, rb, -h), b1 = ring(i + 1, rb, -h);
    const TAffineVector t0 = ring(i, rt, h), t1 = ring(i + 1, rt, h);
    // Outward-facing windings.
    connectivity.AddQuad(b0, t0, t1, b1);
    connectivity.AddFace(bottomCentre, b0, b1);
    connectivity.AddFace(topCentre, t1, t0);
  }
  std::unique_ptr<TGLSilhouette> sil;
  connectivity.CreateSilhouette(silhouetteParameters, sil, false);
  return sil.release();
}

TVector4f TGLCylinderBase::AxisAlignedDimensionsUnscaled() {
  const float r = std::max(std::fabs(bottomRadius_), std::fabs(GetTopRadius()));
  return {r, height_ * 0.5f, r, 0};
}

GEOM_SETTER(TGLCylinderBase, SetBottomRadius, bottomRadius_)
namespace {

double CylinderVertices(int sides, int ends, int slices, int stacks, int loops) {
  return sides * DiskVertices(slices, stacks) + ends * DiskVertices(slices, loops);
}

}  // namespace

double TGLCylinderBase::VertexCount() const {
  return CylinderVertices(SideSurfaces(), EndSurfaces(), slices_, stacks_, loops_);
}

GEOM_COUNT_SETTER(TGLCylinderBase, SetSlices, slices_,
                  CylinderVertices(SideSurfaces(), EndSurfaces(), v, stacks_, loops_))
GEOM_COUNT_SETTER(TGLCylinderBase, SetStacks, stacks_,
                  CylinderVertices(SideSurfaces(), EndSurfaces(), slices_, v, loops_))
GEOM_SETTER(TGLCylinderBase, SetHeight, height_)

void TGLCylinderBase::SetLoops(int v) {
  CheckStoredSubdivisions(*this, v);
  if (v < 1 || v == loops_) return;
  CheckStoredVertices(*this, CylinderVertices(SideSurfaces(), EndSurfaces(), slices_, stacks_, v));
  loops_ = v;
  MarkStructureChanged();
}

// ---------------------------------------------------------------------------------------------
// TGLCone

TGLCone::TGLCone(TComponent* AOwner) : TGLCylinderBase(AOwner) {}

void TGLCone::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLCone*>(Source)) parts_ = src->parts_;
  TGLCylinderBase::Assign(Source);
}

void TGLCone::BuildList(TRenderContextInfo&) {
  TQuadric q(this);
  TMatrixScope matrix;
  GL.glRotatef(-90, 1, 0, 0);
  GL.glTranslatef(0, 0, -height_ * 0.5f);
  if (parts_.Contains(coSides)) GL.gluCylinder(q, bottomRadius_, 0, height_, slices_, stacks_);
  if (parts_.Contains(coBottom)) {
    SetInvertedQuadricOrientation(q);
    GL.gluDisk(q, 0, bottomRadius_, slices_, loops_);
  }
}

GEOM_SETTER(TGLCone, SetParts, parts_)

// ---------------------------------------------------------------------------------------------
// TGLCylinder

TGLCylinder::TGLCylinder(TComponent* AOwner) : TGLCylinderBase(AOwner) {}

void TGLCylinder::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLCylinder*>(Source)) {
    topRadius_ = src->topRadius_;
    parts_ = src->parts_;
    alignment_ = src->alignment_;
  }
  TGLCylinderBase::Assign(Source);
}

namespace {

// The sides of a cylinder of height 1: what tells two such lists apart.
struct TSidesKey {
  float radius;
  int slices, stacks;
  TNormalSmoothing normals;
  TNormalDirection direction;
  bool operator==(const TSidesKey&) const = default;
};

struct TSharedSides {
  TSidesKey key;
  TGLListHandle list;
  uint64_t lastUse = 0;
};

// Few radii are in use at a time; beyond this many lists the least recently used one of the
// current context is made over.
constexpr size_t kMaxSharedSides = 64;

// Never destroyed: a list may outlive static destruction order in a context still open at exit.
std::vector<std::unique_ptr<TSharedSides>>& SharedSides() {
  static auto* lists = new std::vector<std::unique_ptr<TSharedSides>>;
  return *lists;
}
uint64_t SharedSidesUse = 0;

bool UsableInCurrentContext(const TGLContextHandle& h) {
  const TGLContext* current = GetCurrentRenderingContext();
  return current && h.RenderingContext() && current->SharesNamesWith(h.RenderingContext());
}

// The quadric's axis is Z from its base: turned onto the cylinder's Y axis, its base put where
// the alignment says.
void TurnToQuadricAxis(TCylinderAlignment alignment, float height) {
  GL.glRotatef(-90, 1, 0, 0);
  switch (alignment) {
    case caTop: GL.glTranslatef(0, 0, -height); break;
    case caBottom: break;
    default: GL.glTranslatef(0, 0, -height * 0.5f); break;
  }
}

}  // namespace

int TGLCylinder::SharedListCount() noexcept {
  int n = 0;
  for (const auto& e : SharedSides()) n += e->list.Handle() != 0;
  return n;
}

void TGLCylinder::SetDrawnFromSharedLists(bool v) {
  if (v == sharedLists_) return;
  sharedLists_ = v;
  // Drawn on the spot each frame: the geometry is in the shared list.
  if (v)
    objectStyle_ |= osDirectDraw;
  else
    objectStyle_ &= ~osDirectDraw;
  MarkStructureChanged();
}

bool TGLCylinder::DrawsSharedSides() const noexcept {
  return sharedLists_ && parts_ == TCylinderParts{cySides} && topRadius_ == bottomRadius_ && slices_ > 0 && stacks_ > 0;
}

void TGLCylinder::DrawSharedSides(TRenderContextInfo& rci) {
  if (height_ == 0) return;  // no area, as the quadric's own sides would have
  // The sides' normals are radial: stretching along the axis leaves them as they are.
  const TSidesKey key{bottomRadius_, slices_, stacks_, Normals(), NormalDirection()};
  TMatrixScope matrix;
  TurnToQuadricAxis(alignment_, height_);
  GL.glScalef(1, 1, height_);
  auto drawSides = [&] {
    TQuadric q(this);
    GL.gluCylinder(q, key.radius, key.radius, 1, key.slices, key.stacks);
  };
  // A list being compiled around this object gets the geometry itself, so that it never
  // depends on a shared list that may be made over (and GL makes no list inside another).
  if (rci.amalgamating || (rci.GLStates && rci.GLStates->Compiling()) || !GetCurrentRenderingContext()) {
    drawSides();
    return;
  }
  auto& lists = SharedSides();
  TSharedSides* slot = nullptr;    // a list whose context is gone
  TSharedSides* oldest = nullptr;  // else the least recently used one of this context
  for (auto& e : lists) {
    if (e->list.Handle() == 0) {
      if (!slot) slot = e.get();
    } else if (UsableInCurrentContext(e->list)) {
      if (e->key == key) {
        e->lastUse = ++SharedSidesUse;
        GL.glCallList(e->list.Handle());
        return;
      }
      if (!oldest || e->lastUse < oldest->lastUse) oldest = e.get();
    }
  }
  if (!slot && lists.size() < kMaxSharedSides) slot = lists.emplace_back(std::make_unique<TSharedSides>()).get();
  if (!slot) slot = oldest;
  if (!slot) {
    drawSides();  // every list belongs to contexts this one does not share with
    return;
  }
  slot->list.FreeName();
  slot->key = key;
  slot->list.AllocateName();
  if (slot->list.Handle() == 0) {
    drawSides();
    return;
  }
  GL.glNewList(slot->list.Handle(), GL_COMPILE);
  try {
    drawSides();
  } catch (...) {
    GL.glEndList();
    slot->list.FreeName();
    throw;
  }
  GL.glEndList();
  slot->lastUse = ++SharedSidesUse;
  GL.glCallList(slot->list.Handle());
}

void TGLCylinder::BuildList(TRenderContextInfo& rci) {
  if (DrawsSharedSides()) {
    DrawSharedSides(rci);
    return;
  }
  TQuadric q(this);
  TMatrixScope matrix;
  TurnToQuadricAxis(alignment_, height_);
  if (parts_.Contains(cySides)) GL.gluCylinder(q, bottomRadius_, topRadius_, height_, slices_, stacks_);
  if (parts_.Contains(cyTop)) {
    TMatrixScope top;
    GL.glTranslatef(0, 0, height_);
    GL.gluDisk(q, 0, topRadius_, slices_, loops_);
  }
  if (parts_.Contains(cyBottom)) {
    SetInvertedQuadricOrientation(q);
    GL.gluDisk(q, 0, bottomRadius_, slices_, loops_);
  }
}

bool TGLCylinder::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint,
                                   TVector4f* intersectNormal) {
  const TAffineVector s = Aff(AbsoluteToLocalAffine(Pt(rayStart)));
  const TAffineVector d = Aff(AbsoluteToLocalVector(Dir(rayVector)));
  float top, bottom;
  switch (alignment_) {
    case caTop: top = 0, bottom = -height_; break;
    case caBottom: top = height_, bottom = 0; break;
    default: top = height_ * 0.5f, bottom = -height_ * 0.5f; break;
  }
  const float r2 = topRadius_ * topRadius_;
  bool hit = false;
  double tHit = 0;
  TAffineVector p{}, n{};
  double tMin, tMax;
  if (d[1] == 0) {
    if (s[1] > top || s[1] < bottom) return false;
    tMin = -std::numeric_limits<double>::infinity();
    tMax = std::numeric_limits<double>::infinity();
  } else {
    const double t1 = (top - s[1]) / double(d[1]);
    if (t1 > 0 && parts_.Contains(cyTop)) {
      const TAffineVector q = At(s, d, t1);
      if (q[0] * q[0] + q[2] * q[2] <= r2) {
        hit = true, tHit = t1, p = {q[0], top, q[2]}, n = {0, 1, 0};
      }
    }
    const double t2 = (bottom - s[1]) / double(d[1]);
    if (t2 > 0 && parts_.Contains(cyBottom) && (t2 < t1 || !parts_.Contains(cyTop))) {
      const TAffineVector q = At(s, d, t2);
      if (q[0] * q[0] + q[2] * q[2] <= r2) {
        hit = true, tHit = t2, p = {q[0], bottom, q[2]}, n = {0, -1, 0};
      }
    }
    tMin = std::min(t1, t2);
    tMax = std::max(t1, t2);
  }
  double t;
  // A side hit wins only when it is nearer than the cap hit.
  if (parts_.Contains(cySides) && SideRoot(s, d, topRadius_, t) && t >= tMin && t < tMax && (!hit || t < tHit)) {
    hit = true;
    p = At(s, d, t);
    n = {p[0], 0, p[2]};
  }
  if (hit) ReturnHit(this, p, n, intersectPoint, intersectNormal);
  return hit;
}

void TGLCylinder::Align(const TVector4f& startPoint, const TVector4f& endPoint) {
  TVector4f axis = VectorSubtract(Dir(endPoint), Dir(startPoint));
  SetAbsolutePosition(Pt(startPoint));
  if (Parent()) axis = Parent()->AbsoluteToLocalVector(axis);
  const float length = VectorXYZLength(axis);
  if (length == 0) {
    // Coincident ends (hosts sharing a place): an empty pipe at the start, frame unchanged.
    SetHeight(0);
    SetAlignment(caCenter);
    return;
  }
  Up()->AssignVector(VectorNormalized(Dir(axis)));
  SetHeight(length);
  MoveAlongUp(length * 0.5f);
  SetAlignment(caCenter);
}

GEOM_SETTER(TGLCylinder, SetTopRadius, topRadius_)
GEOM_SETTER(TGLCylinder, SetParts, parts_)
GEOM_SETTER(TGLCylinder, SetAlignment, alignment_)

// ---------------------------------------------------------------------------------------------
// TGLAnnulus

TGLAnnulus::TGLAnnulus(TComponent* AOwner) : TGLCylinderBase(AOwner) {}

void TGLAnnulus::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLAnnulus*>(Source)) {
    bottomInnerRadius_ = src->bottomInnerRadius_;
    topInnerRadius_ = src->topInnerRadius_;
    topRadius_ = src->topRadius_;
    parts_ = src->parts_;
  }
  TGLCylinderBase::Assign(Source);
}

void TGLAnnulus::BuildList(TRenderContextInfo&) {
  TQuadric q(this);
  TMatrixScope matrix;
  GL.glRotatef(-90, 1, 0, 0);
  GL.glTranslatef(0, 0, -height_ * 0.5f);
  if (parts_.Contains(anOuterSides)) GL.gluCylinder(q, bottomRadius_, topRadius_, height_, slices_, stacks_);
  if (parts_.Contains(anTop)) {
    TMatrixScope top;
    GL.glTranslatef(0, 0, height_);
    GL.gluDisk(q, topInnerRadius_, topRadius_, slices_, loops_);
  }
  if (parts_.Contains(anBottom) || parts_.Contains(anInnerSides)) {
    SetInvertedQuadricOrientation(q);
    if (parts_.Contains(anBottom)) GL.gluDisk(q, bottomInnerRadius_, bottomRadius_, slices_, loops_);
    if (parts_.Contains(anInnerSides))
      GL.gluCylinder(q, bottomInnerRadius_, topInnerRadius_, height_, slices_, stacks_);
  }
}

bool TGLAnnulus::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint,
                                  TVector4f* intersectNormal) {
  const TAffineVector s = Aff(AbsoluteToLocalAffine(Pt(rayStart)));
  const TAffineVector d = Aff(AbsoluteToLocalVector(Dir(rayVector)));
  const float top = height_ * 0.5f, bottom = -top;
  const float outer2 = topRadius_ * topRadius_, inner2 = topInnerRadius_ * topInnerRadius_;
  bool hit = false;
  double tHit = 0;
  TAffineVector p{}, n{};
  auto capHit = [&](double t, float y, float ny) {
    if (!(t > 0)) return;
    const TAffineVector q = At(s, d, t);
    const float r2 = q[0] * q[0] + q[2] * q[2];
    if (r2 < inner2 || r2 > outer2 || (hit && t >= tHit)) return;
    hit = true, tHit = t, p = {q[0], y, q[2]}, n = {0, ny, 0};
  };
  double tMin, tMax;
  if (d[1] == 0) {
    if (s[1] > top || s[1] < bottom) return false;
    tMin = -std::numeric_limits<double>::infinity();
    tMax = std::numeric_limits<double>::infinity();
  } else {
    const double tTop = (top - s[1]) / double(d[1]), tBottom = (bottom - s[1]) / double(d[1]);
    // The cap the ray meets first is tested first.
    if (d[1] >= 0) {
      if (parts_.Contains(anBottom)) capHit(tBottom, bottom, -1);
      if (parts_.Contains(anTop)) capHit(tTop, top, 1);
    } else {
      if (parts_.Contains(anTop)) capHit(tTop, top, 1);
      if (parts_.Contains(anBottom)) capHit(tBottom, bottom, -1);
    }
    tMin = std::min(tTop, tBottom);
    tMax = std::max(tTop, tBottom);
  }
  TDoubleArray roots;
  if (parts_.Contains(anOuterSides)) AllRootsInto(s, d, topRadius_, roots);
  if (parts_.Contains(anInnerSides)) AllRootsInto(s, d, topInnerRadius_, roots);
  for (double t : roots) {
    if (t < 0 || t < tMin || t >= tMax || (hit && t >= tHit)) continue;
    hit = true, tHit = t;
    p = At(s, d, t);
    n = {p[0], 0, p[2]};
  }
  if (hit) ReturnHit(this, p, n, intersectPoint, intersectNormal);
  return hit;
}

GEOM_SETTER(TGLAnnulus, SetBottomInnerRadius, bottomInnerRadius_)
GEOM_SETTER(TGLAnnulus, SetTopInnerRadius, topInnerRadius_)
GEOM_SETTER(TGLAnnulus, SetTopRadius, topRadius_)
GEOM_SETTER(TGLAnnulus, SetParts, parts_)

// ---------------------------------------------------------------------------------------------
// TGLTorus

bool TorusRayHit(const TAffineVector& start, const TAffineVector& dir, float R, float r, TAffineVector& point,
                 TAffineVector& normal) {
  const double len = AffineVectorLength(dir);
  if (len == 0) return false;
  const double s[3] = {start[0], start[1], start[2]};
  const double d[3] = {dir[0] / len, dir[1] / len, dir[2] / len};
  const double R2 = double(R) * R, r2 = double(r) * r;
  const double b = s[0] * d[0] + s[1] * d[1] + s[2] * d[2];
  const double c = s[0] * s[0] + s[1] * s[1] + s[2] * s[2] - (R2 + r2);
  const double k[5] = {c * c - 4 * R2 * (r2 - s[2] * s[2]), 4 * b * c + 8 * R2 * d[2] * s[2],
                       4 * b * b + 2 * c + 4 * R2 * d[2] * d[2], 4 * b, 1};
  double best = 1e20;
  for (double t : QuarticRoots(k))
    if (t > 0 && t < best) best = t;
  if (best >= 1e20) return false;
  point = {float(s[0] + best * d[0]), float(s[1] + best * d[1]), float(s[2] + best * d[2])};
  // Minus the nearest point of the centre ring.
  const float ringLen = std::sqrt(point[0] * point[0] + point[1] * point[1]);
  const float f = R / (ringLen + 1e-6f);
  normal = {point[0] - point[0] * f, point[1] - point[1] * f, point[2]};
  return true;
}

TGLTorus::TGLTorus(TComponent* AOwner) : TGLSceneObject(AOwner) {}

TVector4f TGLTorus::AxisAlignedDimensionsUnscaled() {
  const float r = std::fabs(majorRadius_) + std::fabs(minorRadius_);
  return {r, r, std::fabs(minorRadius_), 0};
}

bool TGLTorus::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint,
                                TVector4f* intersectNormal) {
  TAffineVector p, n;
  if (!TorusRayHit(Aff(AbsoluteToLocalAffine(Pt(rayStart))), Aff(AbsoluteToLocalVector(Dir(rayVector))), majorRadius_,
                   minorRadius_, p, n))
    return false;
  ReturnHit(this, p, n, intersectPoint, intersectNormal);
  return true;
}

void TGLTorus::BuildList(TRenderContextInfo&) {
  const double ringStep = 2 * M_PI / rings_, sideStep = 2 * M_PI / sides_;
  for (int k = 0; k < rings_; ++k) {
    const int i = rings_ - 1 - k;
    const double theta0 = k * ringStep, theta1 = (k + 1) * ringStep;
    const float c0 = float(std::cos(theta0)), s0 = float(std::sin(theta0));
    const float c1 = float(std::cos(theta1)), s1 = float(std::sin(theta1));
    GL.glBegin(GL_QUAD_STRIP);
    for (int j = sides_; j >= 0; --j) {
      const double phi = (sides_ - j + 1) * sideStep;
      const float cp = float(std::cos(phi)), sp = float(std::sin(phi));
      const float dist = majorRadius_ + minorRadius_ * cp;
      const float t = float(j) / float(sides_);
      MappedTexCoord2f(float(i) / float(rings_), t);
      GL.glNormal3f(c1 * cp, -s1 * cp, sp);
      GL.glVertex3f(c1 * dist, -s1 * dist, minorRadius_ * sp);
      MappedTexCoord2f(float(i + 1) / float(rings_), t);
      GL.glNormal3f(c0 * cp, -s0 * cp, sp);
      GL.glVertex3f(c0 * dist, -s0 * dist, minorRadius_ * sp);
    }
    GL.glEnd();
  }
}

GEOM_SETTER(TGLTorus, SetMajorRadius, majorRadius_)
GEOM_SETTER(TGLTorus, SetMinorRadius, minorRadius_)

double TGLTorus::VertexCount() const noexcept { return StripVertices(rings_, sides_); }

void TGLTorus::SetRings(int v) {
  CheckStoredSubdivisions(*this, v);
  if (v == rings_) return;
  v = v < 2 ? 2 : v;
  CheckStoredVertices(*this, StripVertices(v, sides_));
  rings_ = v;
  MarkStructureChanged();
}
void TGLTorus::SetSides(int v) {
  CheckStoredSubdivisions(*this, v);
  if (v == sides_) return;
  v = v < 2 ? 2 : v;
  CheckStoredVertices(*this, StripVertices(rings_, v));
  sides_ = v;
  MarkStructureChanged();
}

// ---------------------------------------------------------------------------------------------
// TGLArrowLine

TGLArrowLine::TGLArrowLine(TComponent* AOwner) : TGLCylinderBase(AOwner) { bottomRadius_ = 0.1f; }

void TGLArrowLine::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLArrowLine*>(Source)) {
    topRadius_ = src->topRadius_;
    topArrowHeadHeight_ = src->topArrowHeadHeight_;
    topArrowHeadRadius_ = src->topArrowHeadRadius_;
    bottomArrowHeadHeight_ = src->bottomArrowHeadHeight_;
    bottomArrowHeadRadius_ = src->bottomArrowHeadRadius_;
    headStackingStyle_ = src->headStackingStyle_;
    parts_ = src->parts_;
  }
  TGLCylinderBase::Assign(Source);
}

void TGLArrowLine::BuildList(TRenderContextInfo&) {
  static const float kOverlap[] = {0, 0.5f, 1};
  const float f = kOverlap[headStackingStyle_];
  TQuadric q(this);
  float length = height_, z0 = -height_ * 0.5f;
  const bool line = parts_.Contains(alLine);
  auto head = [&](float headHeight, float headRadius, float lineRadius) {
    GL.glTranslatef(0, 0, height_ * 0.5f - headHeight * f);
    GL.gluCylinder(q, headRadius, 0, headHeight, slices_, stacks_);
    SetInvertedQuadricOrientation(q);
    GL.gluDisk(q, line ? lineRadius : 0, headRadius, slices_, loops_);
    SetNormalQuadricOrientation(q);
  };
  if (parts_.Contains(alTopArrow)) {
    length -= topArrowHeadHeight_ * f;
    TMatrixScope m;
    head(topArrowHeadHeight_, topArrowHeadRadius_, topRadius_);
  }
  if (parts_.Contains(alBottomArrow)) {
    length -= bottomArrowHeadHeight_ * f;
    z0 += bottomArrowHeadHeight_ * f;
    TMatrixScope m;
    GL.glRotatef(180, 1, 0, 0);
    head(bottomArrowHeadHeight_, bottomArrowHeadRadius_, bottomRadius_);
  }
  if (length > 0 && line) {
    TMatrixScope m;
    GL.glTranslatef(0, 0, z0);
    GL.gluCylinder(q, bottomRadius_, topRadius_, length, slices_, stacks_);
    if (!parts_.Contains(alTopArrow)) {
      TMatrixScope top;
      GL.glTranslatef(0, 0, length);
      GL.gluDisk(q, 0, topRadius_, slices_, loops_);
    }
    if (!parts_.Contains(alBottomArrow)) {
      SetInvertedQuadricOrientation(q);
      GL.gluDisk(q, 0, bottomRadius_, slices_, loops_);
      SetNormalQuadricOrientation(q);
    }
  }
}

// Along Z, over the line and the heads that are drawn (stacked heads stand beyond Height / 2).
TVector4f TGLArrowLine::AxisAlignedDimensionsUnscaled() {
  static const float kOverlap[] = {0, 0.5f, 1};
  const float f = kOverlap[headStackingStyle_];
  float r = 0, top = 0, bottom = 0;
  if (parts_.Contains(alLine)) {
    r = std::max(std::fabs(bottomRadius_), std::fabs(topRadius_));
    top = bottom = std::fabs(height_) * 0.5f;
  }
  if (parts_.Contains(alTopArrow)) {
    r = std::max(r, std::fabs(topArrowHeadRadius_));
    top = std::max(top, std::fabs(height_ * 0.5f + topArrowHeadHeight_ * (1 - f)));
  }
  if (parts_.Contains(alBottomArrow)) {
    r = std::max(r, std::fabs(bottomArrowHeadRadius_));
    bottom = std::max(bottom, std::fabs(height_ * 0.5f + bottomArrowHeadHeight_ * (1 - f)));
  }
  return {r, r, std::max(top, bottom), 0};
}

GEOM_SETTER(TGLArrowLine, SetTopRadius, topRadius_)
GEOM_SETTER(TGLArrowLine, SetTopArrowHeadHeight, topArrowHeadHeight_)
GEOM_SETTER(TGLArrowLine, SetTopArrowHeadRadius, topArrowHeadRadius_)
GEOM_SETTER(TGLArrowLine, SetBottomArrowHeadHeight, bottomArrowHeadHeight_)
GEOM_SETTER(TGLArrowLine, SetBottomArrowHeadRadius, bottomArrowHeadRadius_)
GEOM_SETTER(TGLArrowLine, SetHeadStackingStyle, headStackingStyle_)
GEOM_SETTER(TGLArrowLine, SetParts, parts_)

// ---------------------------------------------------------------------------------------------
// TGLFrustrum

TGLFrustrum::TGLFrustrum(TComponent* AOwner) : TGLSceneObject(AOwner) {}

void TGLFrustrum::DefineProperties(TFiler* Filer) {
  TGLSceneObject::DefineProperties(Filer);
  Filer->DefineBinaryProperty(
      "FrustrumSize",
      [this](TStream* s) {
        if (ValueEncoding::BytesLeft(*s) != 16) throw EReadError("Invalid binary property size");
        float v[4];
        ValueEncoding::ReadExact(*s, v, 16);
        std::memcpy(size_.V, v, sizeof v);
      },
      [this](TStream* s) { ValueEncoding::WriteExact(*s, size_.V, 16); },
      size_[0] != 1 || size_[1] != 1 || size_[2] != 1 || size_[3] != 0.5f);
}

void TGLFrustrum::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLFrustrum*>(Source)) {
    size_ = src->size_;
    normalDirection_ = src->normalDirection_;
    parts_ = src->parts_;
    MarkStructureChanged();
  }
  TGLSceneObject::Assign(Source);
}

TVector4f TGLFrustrum::AxisAlignedDimensionsUnscaled() {
  return {BaseWidth() * 0.5f, Height() * 0.5f, BaseDepth() * 0.5f, 0};
}

void TGLFrustrum::BuildList(TRenderContextInfo&) {
  const float apex = ApexHeight(), H = Height();
  if (apex == 0) return;  // no pyramid to cut
  const float sign = normalDirection_ == ndInside ? -1.0f : 1.0f;
  const float w = BaseWidth() * 0.5f, d = BaseDepth() * 0.5f;
  const float tw = w * (apex - H) / apex, td = d * (apex - H) / apex;
  const double a = std::atan(double(apex) / d), b = std::atan(double(apex) / w);
  const float ca = float(std::cos(a)), sa = float(std::sin(a)), cb = float(std::cos(b)), sb = float(std::sin(b));
  struct TFace {
    TFrustrumPart part;
    float n[3];
    float c[4][5];  // x, y, z, s, t
  };
  const TFace faces[6] = {
      {fpFront, {0, sign * ca, sign * sa}, {{tw, H, td, 1, 1}, {-tw, H, td, 0, 1}, {-w, 0, d, 0, 0}, {w, 0, d, 1, 0}}},
      {fpBack,
       {0, sign * ca, -sign * sa},
       {{tw, H, -td, 0, 1}, {w, 0, -d, 0, 0}, {-w, 0, -d, 1, 0}, {-tw, H, -td, 1, 1}}},
      {fpLeft,
       {-sign * sb, sign * cb, 0},
       {{-tw, H, td, 1, 1}, {-tw, H, -td, 0, 1}, {-w, 0, -d, 0, 0}, {-w, 0, d, 1, 0}}},
      {fpRight, {sign * sb, sign * cb, 0}, {{tw, H, td, 0, 1}, {w, 0, d, 0, 0}, {w, 0, -d, 1, 0}, {tw, H, -td, 1, 1}}},
      {fpTop, {0, sign, 0}, {{-tw, H, -td, 0, 1}, {-tw, H, td, 0, 0}, {tw, H, td, 1, 0}, {tw, H, -td, 1, 1}}},
      {fpBottom, {0, -sign, 0}, {{-w, 0, -d, 0, 0}, {w, 0, -d, 1, 0}, {w, 0, d, 1, 1}, {-w, 0, d, 0, 1}}},
  };
  GL.glBegin(GL_QUADS);
  for (const TFace& f : faces) {
    if (!parts_.Contains(f.part)) continue;
    GL.glNormal3f(f.n[0], f.n[1], f.n[2]);
    for (const auto& c : f.c) {
      MappedTexCoord2f(c[3], c[4]);
      GL.glVertex3f(c[0], c[1], c[2]);
    }
  }
  GL.glEnd();
}

void TGLFrustrum::SetApexHeight(float v) {
  if (v < 0 || v == size_[0]) return;
  size_[0] = v;
  if (v < size_[3]) size_[3] = v;
  MarkStructureChanged();
}
void TGLFrustrum::SetBaseDepth(float v) {
  if (v < 0 || v == size_[1]) return;
  size_[1] = v;
  MarkStructureChanged();
}
void TGLFrustrum::SetBaseWidth(float v) {
  if (v < 0 || v == size_[2]) return;
  size_[2] = v;
  MarkStructureChanged();
}
void TGLFrustrum::SetHeight(float v) {
  if (v < 0 || v == size_[3]) return;
  size_[3] = v;
  if (v > size_[0]) size_[0] = v;
  MarkStructureChanged();
}
GEOM_SETTER(TGLFrustrum, SetNormalDirection, normalDirection_)
GEOM_SETTER(TGLFrustrum, SetParts, parts_)

// ---------------------------------------------------------------------------------------------
// TGLPolygon

TGLPolygon::TGLPolygon(TComponent* AOwner) : TGLPolygonBase(AOwner) {}

TGLPolygon::~TGLPolygon() = default;

void TGLPolygon::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLPolygon*>(Source)) parts_ = src->parts_;
  TGLPolygonBase::Assign(Source);
}

void TGLPolygon::BuildList(TRenderContextInfo&) {
  if (Nodes()->Count() <= 1) return;
  TAffineVector n = Nodes()->PlaneNormal();
  // An outline without area (its nodes in line) has no face to draw; the tessellator would make
  // one up from rounding.
  if (AffineVectorIsNull(n)) return;
  const int divisions = SplineMode() == lsmLines ? 1 : Division();
  if (parts_.Contains(ppTop)) Nodes()->DrawTessellatedOutline(true, &n, divisions, false);
  if (parts_.Contains(ppBottom)) {
    AffineVectorNegate(n);
    Nodes()->DrawTessellatedOutline(true, &n, divisions, true);
  }
}

GEOM_SETTER(TGLPolygon, SetParts, parts_)

// ---------------------------------------------------------------------------------------------
// Registration

void RegisterGLGeomObjectsClasses() {
  RegisterClasses({TGLCylinder::StaticClass(), TGLCone::StaticClass(), TGLTorus::StaticClass(), TGLDisk::StaticClass(),
                   TGLArrowLine::StaticClass(), TGLAnnulus::StaticClass(), TGLFrustrum::StaticClass(),
                   TGLPolygon::StaticClass()});
  TPublished<TGLDisk>()
      .Float("StartAngle", &TGLDisk::StartAngle, &TGLDisk::SetStartAngle, 0.0)
      .Float("SweepAngle", &TGLDisk::SweepAngle, &TGLDisk::SetSweepAngle, 360.0)
      .Float("OuterRadius", &TGLDisk::OuterRadius, &TGLDisk::SetOuterRadius, 0.5)
      .Float("InnerRadius", &TGLDisk::InnerRadius, &TGLDisk::SetInnerRadius, 0.0)
      .Integer("Slices", &TGLDisk::Slices, &TGLDisk::SetSlices, 16)
      .Integer("Loops", &TGLDisk::Loops, &TGLDisk::SetLoops, 2);
  TPublished<TGLCylinderBase>()
      .Float("BottomRadius", &TGLCylinderBase::BottomRadius, &TGLCylinderBase::SetBottomRadius, 0.5)
      .Integer("Slices", &TGLCylinderBase::Slices, &TGLCylinderBase::SetSlices, 16)
      .Integer("Stacks", &TGLCylinderBase::Stacks, &TGLCylinderBase::SetStacks, 4)
      .Integer("Loops", &TGLCylinderBase::Loops, &TGLCylinderBase::SetLoops, 1)
      .Float("Height", &TGLCylinderBase::Height, &TGLCylinderBase::SetHeight, 1.0);
  TPublished<TGLCone>().Set("Parts", &TGLCone::Parts, &TGLCone::SetParts, {"coSides", "coBottom"}, 3);
  TPublished<TGLCylinder>()
      .Float("TopRadius", &TGLCylinder::TopRadius, &TGLCylinder::SetTopRadius, 0.5)
      .Set("Parts", &TGLCylinder::Parts, &TGLCylinder::SetParts, {"cySides", "cyBottom", "cyTop"}, 7)
      .Enum("Alignment", &TGLCylinder::Alignment, &TGLCylinder::SetAlignment, {"caCenter", "caTop", "caBottom"},
            caCenter);
  TPublished<TGLAnnulus>()
      .Float("BottomInnerRadius", &TGLAnnulus::BottomInnerRadius, &TGLAnnulus::SetBottomInnerRadius, 0.3)
      .Float("TopInnerRadius", &TGLAnnulus::TopInnerRadius, &TGLAnnulus::SetTopInnerRadius, 0.3)
      .Float("TopRadius", &TGLAnnulus::TopRadius, &TGLAnnulus::SetTopRadius, 0.5)
      .Set("Parts", &TGLAnnulus::Parts, &TGLAnnulus::SetParts, {"anInnerSides", "anOuterSides", "anBottom", "anTop"},
           15);
  TPublished<TGLTorus>()
      .Float("MajorRadius", &TGLTorus::MajorRadius, &TGLTorus::SetMajorRadius, 0.4)
      .Float("MinorRadius", &TGLTorus::MinorRadius, &TGLTorus::SetMinorRadius, 0.1)
      .Integer("Rings", &TGLTorus::Rings, &TGLTorus::SetRings, 25)
      .Integer("Sides", &TGLTorus::Sides, &TGLTorus::SetSides, 15);
  TPublished<TGLArrowLine>()
      .Float("TopRadius", &TGLArrowLine::TopRadius, &TGLArrowLine::SetTopRadius, 0.1)
      .Float("TopArrowHeadHeight", &TGLArrowLine::TopArrowHeadHeight, &TGLArrowLine::SetTopArrowHeadHeight, 0.5)
      .Float("TopArrowHeadRadius", &TGLArrowLine::TopArrowHeadRadius, &TGLArrowLine::SetTopArrowHeadRadius, 0.2)
      .Float("BottomArrowHeadHeight", &TGLArrowLine::BottomArrowHeadHeight, &TGLArrowLine::SetBottomArrowHeadHeight,
             0.5)
      .Float("BottomArrowHeadRadius", &TGLArrowLine::BottomArrowHeadRadius, &TGLArrowLine::SetBottomArrowHeadRadius,
             0.2)
      .Enum("HeadStackingStyle", &TGLArrowLine::HeadStackingStyle, &TGLArrowLine::SetHeadStackingStyle,
            {"ahssStacked", "ahssCentered", "ahssIncluded"}, ahssStacked)
      .Set("Parts", &TGLArrowLine::Parts, &TGLArrowLine::SetParts, {"alLine", "alTopArrow", "alBottomArrow"}, 3)
      .Default("BottomRadius", 0.1);
  const auto never = [](TObject*) { return false; };
  TPublished<TGLFrustrum>()
      .Float("ApexHeight", &TGLFrustrum::ApexHeight, &TGLFrustrum::SetApexHeight, 1.0)
      .StoredIf(never)
      .Float("BaseDepth", &TGLFrustrum::BaseDepth, &TGLFrustrum::SetBaseDepth, 1.0)
      .StoredIf(never)
      .Float("BaseWidth", &TGLFrustrum::BaseWidth, &TGLFrustrum::SetBaseWidth, 1.0)
      .StoredIf(never)
      .Float("Height", &TGLFrustrum::Height, &TGLFrustrum::SetHeight, 0.5)
      .StoredIf(never)
      .Enum("NormalDirection", &TGLFrustrum::NormalDirection, &TGLFrustrum::SetNormalDirection,
            {"ndInside", "ndOutside"}, ndOutside)
      .Set("Parts", &TGLFrustrum::Parts, &TGLFrustrum::SetParts,
           {"fpTop", "fpBottom", "fpFront", "fpBack", "fpLeft", "fpRight"}, 63);
  TPublished<TGLPolygon>().Set("Parts", &TGLPolygon::Parts, &TGLPolygon::SetParts, {"ppTop", "ppBottom"}, 3);
}
