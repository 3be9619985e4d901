// Basic scene objects (dummy cube, plane, sprite, points, lines, cube, sphere, polygon base) and
// the unit polyhedra and wire-cube drawers.
#include "Source/Objects/GLObjects.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Source/Base/VectorGeometry.h"
#include "Source/Base/XOpenGL.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLBatchArrays.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

// Little-endian singles as one binary property value.
void WriteSingles(TStream* s, const float* v, int n) {
  for (int i = 0; i < n; ++i) ValueEncoding::WriteExact(*s, &v[i], 4);
}
// Exactly n singles, or a read error (nothing is changed then).
void ReadSingles(TStream* s, float* v, int n) {
  if (ValueEncoding::BytesLeft(*s) != 4 * n) throw EReadError("Invalid binary property size");
  float tmp[8];
  ValueEncoding::ReadExact(*s, tmp, 4 * n);
  std::memcpy(v, tmp, sizeof(float) * n);
}

TVector4f Dir(const TVector4f& v) { return {v[0], v[1], v[2], 0}; }
TVector4f Pt(const TVector4f& v) { return {v[0], v[1], v[2], 1}; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Geometry

namespace {

struct TCubeFace {
  TCubePart part;
  float normal[3];
  float st[4][2];
  float corner[4][3];  // multiples of (hw, hh, hd)
};

// Front, back, left, right, top, bottom; every face counter-clockwise seen from outside.
const TCubeFace kCubeFaces[6] = {
    {cpFront, {0, 0, 1}, {{1, 1}, {0, 1}, {0, 0}, {1, 0}}, {{1, 1, 1}, {-1, 1, 1}, {-1, -1, 1}, {1, -1, 1}}},
    {cpBack, {0, 0, -1}, {{0, 1}, {0, 0}, {1, 0}, {1, 1}}, {{1, 1, -1}, {1, -1, -1}, {-1, -1, -1}, {-1, 1, -1}}},
    {cpLeft, {-1, 0, 0}, {{1, 1}, {0, 1}, {0, 0}, {1, 0}}, {{-1, 1, 1}, {-1, 1, -1}, {-1, -1, -1}, {-1, -1, 1}}},
    {cpRight, {1, 0, 0}, {{0, 1}, {0, 0}, {1, 0}, {1, 1}}, {{1, 1, 1}, {1, -1, 1}, {1, -1, -1}, {1, 1, -1}}},
    {cpTop, {0, 1, 0}, {{0, 1}, {0, 0}, {1, 0}, {1, 1}}, {{-1, 1, -1}, {-1, 1, 1}, {1, 1, 1}, {1, 1, -1}}},
    {cpBottom, {0, -1, 0}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, {{-1, -1, -1}, {1, -1, -1}, {1, -1, 1}, {-1, -1, 1}}},
};

const float kGold = 0.485410f;   // 0.3 x golden ratio
const float kGoldS = 0.185410f;  // 0.3 / golden ratio
const float kDodecaVertices[20][3] = {
    {-kGold, 0, kGoldS},  {-kGold, 0, -kGoldS}, {kGold, 0, -kGoldS},  {kGold, 0, kGoldS},    {kGoldS, -kGold, 0},
    {-kGoldS, -kGold, 0}, {-kGoldS, kGold, 0},  {kGoldS, kGold, 0},   {0, kGoldS, -kGold},   {0, -kGoldS, -kGold},
    {0, -kGoldS, kGold},  {0, kGoldS, kGold},   {-0.3f, -0.3f, 0.3f}, {-0.3f, -0.3f, -0.3f}, {0.3f, -0.3f, -0.3f},
    {0.3f, -0.3f, 0.3f},  {-0.3f, 0.3f, 0.3f},  {-0.3f, 0.3f, -0.3f}, {0.3f, 0.3f, -0.3f},   {0.3f, 0.3f, 0.3f}};
const int kDodecaFaces[12][5] = {{0, 12, 10, 11, 16}, {1, 17, 8, 9, 13}, {2, 14, 9, 8, 18},  {3, 19, 11, 10, 15},
                                 {4, 14, 2, 3, 15},   {5, 12, 0, 1, 13}, {6, 17, 1, 0, 16},  {7, 19, 3, 2, 18},
                                 {8, 17, 6, 7, 18},   {9, 14, 4, 5, 13}, {10, 12, 5, 4, 15}, {11, 19, 7, 6, 16}};

const float kIcoA = 0.309017f;
const float kIcoVertices[12][3] = {{0, -kIcoA, -0.5f}, {0, -kIcoA, 0.5f}, {0, kIcoA, -0.5f}, {0, kIcoA, 0.5f},
                                   {-0.5f, 0, -kIcoA}, {-0.5f, 0, kIcoA}, {0.5f, 0, -kIcoA}, {0.5f, 0, kIcoA},
                                   {-kIcoA, -0.5f, 0}, {-kIcoA, 0.5f, 0}, {kIcoA, -0.5f, 0}, {kIcoA, 0.5f, 0}};
const int kIcoFaces[20][3] = {{2, 9, 11}, {3, 11, 9}, {3, 5, 1}, {3, 1, 7},  {2, 6, 0},  {2, 0, 4}, {1, 8, 10},
                              {0, 10, 8}, {9, 4, 5},  {8, 5, 4}, {11, 7, 6}, {10, 6, 7}, {3, 9, 5}, {3, 7, 11},
                              {2, 4, 9},  {2, 11, 6}, {0, 8, 4}, {0, 6, 10}, {1, 5, 8},  {1, 10, 7}};

TAffineVector Vec3(const float* v) { return {v[0], v[1], v[2]}; }

void EmitPolyhedron(const float (*vertices)[3], const int* faces, int faceCount, int perFace, GLenum mode) {
  for (int f = 0; f < faceCount; ++f) {
    const int* idx = faces + f * perFace;
    const TAffineVector n = TriangleNormal(Vec3(vertices[idx[0]]), Vec3(vertices[idx[1]]), Vec3(vertices[idx[2]]));
    GL.glNormal3fv(n.V);
    GL.glBegin(mode);
    for (int i = 0; i < perFace; ++i) GL.glVertex3fv(vertices[idx[i]]);
    GL.glEnd();
  }
}

}  // namespace

namespace {

// The faces as quads; `normal` gives each face's normal from the outward one, `corner` each
// face corner from the face and the corner's number.
template <class N, class C>
void EmitCubeQuads(TCubeParts parts, float normalSign, N&& normal, C&& corner) {
  GL.glBegin(GL_QUADS);
  for (const TCubeFace& f : kCubeFaces) {
    if (!parts.Contains(f.part)) continue;
    const TAffineVector n =
        normal(TAffineVector{f.normal[0] * normalSign, f.normal[1] * normalSign, f.normal[2] * normalSign});
    GL.glNormal3f(n[0], n[1], n[2]);
    for (int i = 0; i < 4; ++i) {
      MappedTexCoord2f(f.st[i][0], f.st[i][1]);
      const TAffineVector& v = corner(f, i);
      GL.glVertex3f(v[0], v[1], v[2]);
    }
  }
  GL.glEnd();
}

// A face corner's place among the eight: bit 2 x, bit 1 y, bit 0 z on the positive side.
int CornerIndex(const float c[3]) { return (c[0] > 0 ? 4 : 0) | (c[1] > 0 ? 2 : 0) | (c[2] > 0 ? 1 : 0); }

}  // namespace

void EmitCubeFaces(float hw, float hh, float hd, TCubeParts parts, float normalSign) {
  TAffineVector v;
  EmitCubeQuads(
      parts, normalSign, [](const TAffineVector& n) { return n; },
      [&](const TCubeFace& f, int i) -> const TAffineVector& {
        v = TAffineVector{f.corner[i][0] * hw, f.corner[i][1] * hh, f.corner[i][2] * hd};
        return v;
      });
}

void EmitCubeFacesMoved(float hw, float hh, float hd, TCubeParts parts, float normalSign, const TMatrix4f& m) {
  // Each of the eight corners is carried once, not once for each of its three faces.
  TAffineVector moved[8];
  for (int k = 0; k < 8; ++k)
    moved[k] = AffineVectorTransform(TAffineVector{k & 4 ? hw : -hw, k & 2 ? hh : -hh, k & 1 ? hd : -hd}, m);
  EmitCubeQuads(
      parts, normalSign,
      [&m](const TAffineVector& n) {
        return TAffineVector{n[0] * m[0][0] + n[1] * m[1][0] + n[2] * m[2][0],
                             n[0] * m[0][1] + n[1] * m[1][1] + n[2] * m[2][1],
                             n[0] * m[0][2] + n[1] * m[1][2] + n[2] * m[2][2]};
      },
      [&moved](const TCubeFace& f, int i) -> const TAffineVector& { return moved[CornerIndex(f.corner[i])]; });
}

void AppendCubeFacesMoved(TGLBatchArrays& into, float hw, float hh, float hd, TCubeParts parts, float normalSign,
                          const TMatrix4f& m) {
  TAffineVector moved[8];
  for (int k = 0; k < 8; ++k)
    moved[k] = AffineVectorTransform(TAffineVector{k & 4 ? hw : -hw, k & 2 ? hh : -hh, k & 1 ? hd : -hd}, m);
  // A face is left out when culled: turned away from the camera, by more than a sliver seen
  // edge-on (which GL culls or draws next to nothing of).
  bool shown[6];
  int faces = 0;
  for (int i = 0; i < 6; ++i) {
    const TCubeFace& f = kCubeFaces[i];
    shown[i] = parts.Contains(f.part);
    if (shown[i] && into.cullBack) {
      float toViewer[3], facing = 0, distance = 0;
      into.TowardsViewer(moved[CornerIndex(f.corner[0])].V, toViewer);
      for (int k = 0; k < 3; ++k) {
        const float outward = f.normal[0] * m[0][k] + f.normal[1] * m[1][k] + f.normal[2] * m[2][k];
        facing += outward * toViewer[k];
        distance += toViewer[k] * toViewer[k];
      }
      shown[i] = facing > -1e-3f * std::sqrt(distance);
    }
    faces += shown[i];
  }
  if (faces == 0) return;
  float *vertex, *normal, *texCoord;
  uint32_t* index;
  uint32_t corner = into.Grow(size_t(4 * faces), size_t(6 * faces), vertex, normal, texCoord, index);
  for (int face = 0; face < 6; ++face) {
    if (!shown[face]) continue;
    const TCubeFace& f = kCubeFaces[face];
    const float n[3] = {f.normal[0] * normalSign, f.normal[1] * normalSign, f.normal[2] * normalSign};
    for (int i = 0; i < 4; ++i) {
      const TAffineVector& v = moved[CornerIndex(f.corner[i])];
      for (int k = 0; k < 3; ++k) {
        *vertex++ = v[k];
        *normal++ = n[0] * m[0][k] + n[1] * m[1][k] + n[2] * m[2][k];
      }
      *texCoord++ = f.st[i][0];
      *texCoord++ = f.st[i][1];
    }
    // The quad (0, 1, 2, 3) as two triangles, turning the same way.
    for (const uint32_t i : {0u, 1u, 2u, 0u, 2u, 3u}) *index++ = corner + i;
    corner += 4;
  }
}

void CubeFaceCorners(TCubePart part, float hw, float hh, float hd, TAffineVector corners[4]) {
  for (const TCubeFace& f : kCubeFaces)
    if (f.part == part)
      for (int i = 0; i < 4; ++i) corners[i] = {f.corner[i][0] * hw, f.corner[i][1] * hh, f.corner[i][2] * hd};
}

bool CubeRayEntry(const TVector4f& start, const TVector4f& dir, const TAffineVector& sizes, TVector4f& point,
                  TVector4f& normal) {
  TAffineVector d = AffineVectorNormalized({dir[0], dir[1], dir[2]});
  const TAffineVector s = {start[0], start[1], start[2]};
  const TAffineVector e = AffineVectorScaled(sizes, 0.5001f);
  // +X, +Y, +Z, -X, -Y, -Z: a ray moving along N enters through the face opposite N.
  for (int k = 0; k < 6; ++k) {
    const int axis = k % 3;
    const float sign = k < 3 ? 1.0f : -1.0f;
    const float nd = sign * d[axis];
    if (!(nd > 0)) continue;
    const float h = sizes[axis] * 0.5f;
    const float t = -(sign * s[axis] + h) / nd;
    const TAffineVector p = AffineVectorCombine(s, d, 1, t);
    if (std::fabs(p[0]) <= e[0] && std::fabs(p[1]) <= e[1] && std::fabs(p[2]) <= e[2] &&
        AffineVectorDotProduct(AffineVectorSubtract(p, s), d) > 0) {
      point = {p[0], p[1], p[2], 1};
      normal = {0, 0, 0, 0};
      normal[axis] = -sign;
      return true;
    }
  }
  return false;
}

void DodecahedronBuildList() { EmitPolyhedron(kDodecaVertices, &kDodecaFaces[0][0], 12, 5, GL_TRIANGLE_FAN); }

void IcosahedronBuildList() { EmitPolyhedron(kIcoVertices, &kIcoFaces[0][0], 20, 3, GL_TRIANGLES); }

void DrawWireCube(TRenderContextInfo&, bool stippled, const TVector4f& colour, float size) {
  // Raw GL inside the attribute block, the default material included: the pop restores what the
  // state cache believes (a cache update here would outlive the pop and, in a display list, the
  // compilation).
  GL.glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_LIGHTING_BIT | GL_LINE_BIT | GL_COLOR_BUFFER_BIT);
  GL.glDisable(GL_LIGHTING);
  GL.glEnable(GL_LINE_SMOOTH);
  if (stippled) {
    GL.glEnable(GL_LINE_STIPPLE);
    GL.glEnable(GL_BLEND);
    GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    GL.glLineStipple(1, 0xCCCC);
  }
  GL.glLineWidth(1);
  const float h = size * 0.5f;
  SendGLDefaultMaterial();
  GL.glColorMaterial(GL_FRONT, GL_EMISSION);
  GL.glEnable(GL_COLOR_MATERIAL);
  GL.glColor4fv(colour.V);
  GL.glBegin(GL_LINE_STRIP);
  GL.glVertex3f(h, -h, -h);
  GL.glVertex3f(h, h, -h);
  GL.glVertex3f(h, h, h);
  GL.glVertex3f(h, -h, h);
  GL.glVertex3f(h, -h, -h);
  GL.glVertex3f(-h, -h, -h);
  GL.glVertex3f(-h, -h, h);
  GL.glVertex3f(-h, h, h);
  GL.glVertex3f(-h, h, -h);
  GL.glVertex3f(h, h, -h);
  GL.glEnd();
  GL.glBegin(GL_LINES);
  GL.glVertex3f(h, h, h);
  GL.glVertex3f(-h, h, h);
  GL.glVertex3f(-h, -h, -h);
  GL.glVertex3f(-h, h, -h);
  GL.glVertex3f(h, -h, h);
  GL.glVertex3f(-h, -h, h);
  GL.glEnd();
  GL.glPopAttrib();
}

// ---------------------------------------------------------------------------------------------
// TGLDummyCube

TGLDummyCube::TGLDummyCube(TComponent* AOwner)
    : TGLCameraInvariantObject(AOwner),
      edgeColor_(std::make_unique<TGLColor>(this, TVector4f{1, 1, 1, 1})),
      amalgamationLists_(std::make_unique<TGLStateLists>()) {
  objectStyle_ |= osDirectDraw;
  SetCamInvarianceMode(cimNone);
}

TGLDummyCube::~TGLDummyCube() = default;

void TGLDummyCube::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLDummyCube*>(Source)) {
    cubeSize_ = src->cubeSize_;
    edgeColor_->SetColor(src->edgeColor_->Color());
    visibleAtRunTime_ = src->visibleAtRunTime_;
    SetAmalgamate(src->amalgamate_);
    NotifyChange(this);
  }
  TGLCameraInvariantObject::Assign(Source);
}

TVector4f TGLDummyCube::BarycentreAbsolutePosition() {
  const int n = GetChildCount();
  if (n == 0) return TGLCameraInvariantObject::BarycentreAbsolutePosition();
  TVector4f sum{0, 0, 0, 0};
  for (int i = 0; i < n; ++i) sum = VectorAdd(sum, GetChild(i)->BarycentreAbsolutePosition());
  return VectorScaled(sum, 1.0f / float(n));
}

TVector4f TGLDummyCube::AxisAlignedDimensionsUnscaled() {
  const float h = std::fabs(cubeSize_) * 0.5f;
  return {h, h, h, 0};
}

bool TGLDummyCube::RayCastIntersect(const TVector4f&, const TVector4f&, TVector4f*, TVector4f*) { return false; }

void TGLDummyCube::BuildList(TRenderContextInfo& rci) {
  if (visibleAtRunTime_ || ComponentState().Contains(csDesigning))
    DrawWireCube(rci, true, edgeColor_->Color(), cubeSize_);
}

void TGLDummyCube::DestroyHandle() {
  amalgamationLists_->Free();
  TGLCameraInvariantObject::DestroyHandle();
}

void TGLDummyCube::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  if (OnVisibilityDetermination && !OnVisibilityDetermination(this, rci)) return;
  // The list holds the subtree as a normal pass draws it. Any other pass draws child by child
  // what it asks for: picking names each child (the list has none, and what it holds need not
  // draw in selection mode), a pass without materials leaves them out, and a reflected pass has
  // the winding reversed where the list sets it absolutely.
  const bool normalPass =
      rci.drawState == dsRendering && !rci.ignoreMaterials && !(rci.GLStates && rci.GLStates->WindingReversed());
  if (!amalgamate_ || rci.amalgamating || !normalPass) {
    TGLCameraInvariantObject::DoRender(rci, renderSelf, renderChildren);
    return;
  }
  // A structure change of the cube itself makes the compiled subtree stale. Otherwise there is a
  // list per state set the compile took as it was (the lighting a material drew for): viewers in
  // other states each replay their own.
  if (Changes() & ocStructure) {
    amalgamationLists_->Free();
    ClearStructureChanged();
  }
  const auto compile = [&] {
    rci.amalgamating = true;
    TScopeExit done([&rci] { rci.amalgamating = false; });
    TGLCameraInvariantObject::DoRender(rci, renderSelf, renderChildren);
  };
  // A child's drawing may free the cube: then there is nothing to replay.
  const TGLObjectWatch watch(this);
  const uint32_t name = amalgamationLists_->Get(rci.GLStates, rci.bufferFaceCull ? 1 : 0, compile);
  if (watch.Freed()) return;
  if (name == 0) rtl::detail::AssertFail(__FILE__, __LINE__, "Handle=0 for " + ClassName());
  amalgamationLists_->Call(rci.GLStates);
}

void TGLDummyCube::SetCubeSize(float v) {
  if (v == cubeSize_) return;
  cubeSize_ = v;
  MarkStructureChanged();
}

void TGLDummyCube::SetEdgeColor(TGLColor* v) {
  if (v != edgeColor_.get()) edgeColor_->Assign(v);
  MarkStructureChanged();
}

void TGLDummyCube::SetVisibleAtRunTime(bool v) {
  if (v == visibleAtRunTime_) return;
  visibleAtRunTime_ = v;
  MarkStructureChanged();
}

void TGLDummyCube::SetAmalgamate(bool v) {
  if (v == amalgamate_) return;
  amalgamate_ = v;
  if (v) {
    objectStyle_ |= osStateChanging;
  } else {
    amalgamationLists_->Free();
    objectStyle_ &= ~osStateChanging;
  }
  MarkStructureChanged();
}

// ---------------------------------------------------------------------------------------------
// TGLPlane

void EmitPlane(float width, float height, float s0, float s1, float t0, float t1, bool singleQuad, int xTiles,
               int yTiles) {
  const float w = width * 0.5f, h = height * 0.5f;
  GL.glNormal3f(0, 0, 1);
  if (singleQuad) {
    GL.glBegin(GL_QUADS);
    MappedTexCoord2f(s1, t1);
    GL.glVertex2f(w, h);
    MappedTexCoord2f(s0, t1);
    GL.glVertex2f(-w, h);
    MappedTexCoord2f(s0, t0);
    GL.glVertex2f(-w, -h);
    MappedTexCoord2f(s1, t0);
    GL.glVertex2f(w, -h);
    GL.glEnd();
    return;
  }
  if (xTiles < 1 || yTiles < 1) return;  // no grid to draw
  for (int j = 0; j < yTiles; ++j) {
    const float y0 = float(j) * height / float(yTiles) - h;
    const float y1 = float(j + 1) * height / float(yTiles) - h;
    const float tj0 = t0 + float(j) * (t1 - t0) / float(yTiles);
    const float tj1 = t0 + float(j + 1) * (t1 - t0) / float(yTiles);
    GL.glBegin(GL_TRIANGLE_STRIP);
    for (int i = 0; i <= xTiles; ++i) {
      const float s = s0 + float(i) * (s1 - s0) / float(xTiles);
      const float x = float(i) * width / float(xTiles) - w;
      MappedTexCoord2f(s, tj1);
      GL.glVertex2f(x, y1);
      MappedTexCoord2f(s, tj0);
      GL.glVertex2f(x, y0);
    }
    GL.glEnd();
  }
}

TGLPlane::TGLPlane(TComponent* AOwner) : TGLSceneObject(AOwner) { objectStyle_ |= osDirectDraw; }

void TGLPlane::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLPlane*>(Source)) {
    width_ = src->width_;
    height_ = src->height_;
    xOffset_ = src->xOffset_;
    yOffset_ = src->yOffset_;
    xScope_ = src->xScope_;
    yScope_ = src->yScope_;
    xTiles_ = src->xTiles_;
    yTiles_ = src->yTiles_;
    style_ = src->style_;
    noZWrite_ = src->noZWrite_;
    MarkStructureChanged();
  }
  TGLSceneObject::Assign(Source);
}

TVector4f TGLPlane::AxisAlignedDimensionsUnscaled() {
  return {std::fabs(width_) * 0.5f, std::fabs(height_) * 0.5f, 0, 0};
}

bool TGLPlane::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint,
                                TVector4f* intersectNormal) {
  const TVector4f s = AbsoluteToLocalAffine(Pt(rayStart));
  const TVector4f v = AbsoluteToLocalVector(Dir(rayVector));
  if (!((s[2] >= 0 && v[2] < 0) || (s[2] < 0 && v[2] > 0))) return false;
  const float t = s[2] / v[2];
  const float px = s[0] - t * v[0], py = s[1] - t * v[1];
  if (std::fabs(px) > width_ * 0.5f || std::fabs(py) > height_ * 0.5f) return false;
  if (intersectNormal) {
    TVector4f n = GetAbsoluteDirection();
    *intersectNormal = s[2] >= 0 ? n : VectorNegated(n);
  }
  if (intersectPoint) *intersectPoint = LocalToAbsolute({px, py, 0, 1});
  return true;
}

TGLSilhouette* TGLPlane::GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) {
  const float w = width_ * 0.5f, h = height_ * 0.5f;
  auto sil = std::make_unique<TGLSilhouette>();
  sil->Vertices()->Add(TVector4f{w, h, 0, 1});
  sil->Vertices()->Add(TVector4f{w, -h, 0, 1});
  sil->Vertices()->Add(TVector4f{-w, -h, 0, 1});
  sil->Vertices()->Add(TVector4f{-w, h, 0, 1});
  const int edges[4][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}};
  for (const auto& e : edges) {
    sil->Indices()->Add(e[0]);
    sil->Indices()->Add(e[1]);
  }
  if (silhouetteParameters.CapSilhouette) {
    for (int i : {0, 1, 2, 2, 3, 0}) sil->CapIndices()->Add(i);
  }
  return sil.release();
}

float TGLPlane::DistanceToPlane(const TVector4f& point) {
  const TVector4f d = VectorSubtract(Dir(point), Dir(GetAbsolutePosition()));
  return VectorDotProduct(d, Dir(GetAbsoluteDirection()));
}

void TGLPlane::BuildList(TRenderContextInfo&) {
  float s0, s1, t0, t1;
  if (style_.Contains(psTileTexture)) {
    s0 = xOffset_;
    s1 = float(xTiles_) * xScope_ + xOffset_;
    t0 = yOffset_;
    t1 = float(yTiles_) * yScope_ + yOffset_;
  } else {
    s0 = t0 = 0;
    s1 = xScope_;
    t1 = yScope_;
  }
  if (noZWrite_) GL.glDepthMask(GL_FALSE);
  EmitPlane(width_, height_, s0, s1, t0, t1, style_.Contains(psSingleQuad), xTiles_, yTiles_);
  if (noZWrite_) GL.glDepthMask(GL_TRUE);
}

namespace {

double PlaneVertices(int xTiles, int yTiles) { return xTiles < 1 || yTiles < 1 ? 0 : StripVertices(yTiles, xTiles); }

}  // namespace

double TGLPlane::VertexCount() const noexcept { return PlaneVertices(xTiles_, yTiles_); }

#define GLOBJ_SETTER(Class, Setter, field, Notify) \
  void Class::Setter(decltype(field) v) {          \
    if (v == field) return;                        \
    field = v;                                     \
    Notify;                                        \
  }

GLOBJ_SETTER(TGLPlane, SetXOffset, xOffset_, MarkStructureChanged())
GLOBJ_SETTER(TGLPlane, SetYOffset, yOffset_, MarkStructureChanged())
GLOBJ_SETTER(TGLPlane, SetWidth, width_, MarkStructureChanged())
GLOBJ_SETTER(TGLPlane, SetHeight, height_, MarkStructureChanged())
void TGLPlane::SetXTiles(int v) {
  CheckStoredSubdivisions(*this, v);
  if (v == xTiles_) return;
  CheckStoredVertices(*this, PlaneVertices(v, yTiles_));
  xTiles_ = v;
  MarkStructureChanged();
}
void TGLPlane::SetYTiles(int v) {
  CheckStoredSubdivisions(*this, v);
  if (v == yTiles_) return;
  CheckStoredVertices(*this, PlaneVertices(xTiles_, v));
  yTiles_ = v;
  MarkStructureChanged();
}
GLOBJ_SETTER(TGLPlane, SetStyle, style_, MarkStructureChanged())

void TGLPlane::SetXScope(float v) {
  if (v == xScope_) return;
  xScope_ = v > 1 ? 1 : v;
  MarkStructureChanged();
}

void TGLPlane::SetYScope(float v) {
  if (v == yScope_) return;
  yScope_ = v > 1 ? 1 : v;
  MarkStructureChanged();
}

// ---------------------------------------------------------------------------------------------
// TGLSprite

TGLSprite::TGLSprite(TComponent* AOwner) : TGLSceneObject(AOwner) {
  objectStyle_ |= osDirectDraw | osNoVisibilityCulling;
}

void TGLSprite::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLSprite*>(Source)) {
    width_ = src->width_;
    height_ = src->height_;
    rotation_ = src->rotation_;
    alphaChannel_ = src->alphaChannel_;
    noZWrite_ = src->noZWrite_;
    mirrorU_ = src->mirrorU_;
    mirrorV_ = src->mirrorV_;
  }
  TGLSceneObject::Assign(Source);
}

TVector4f TGLSprite::AxisAlignedDimensionsUnscaled() {
  const float w = std::fabs(width_) * 0.5f;
  return {w, std::fabs(height_) * 0.5f, w, 0};
}

void TGLSprite::BuildList(TRenderContextInfo& rci) {
  if (alphaChannel_ != 1 && rci.GLStates) rci.GLStates->SetMaterialAlpha(GL_FRONT, alphaChannel_);
  if (noZWrite_) GL.glDepthMask(GL_FALSE);
  GLfloat m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  GL.glGetFloatv(GL_MODELVIEW_MATRIX, m);
  // The viewer's right and up axes in object space, scaled to the half sizes.
  TAffineVector vx = {m[0], m[4], m[8]};
  TAffineVector vy = {m[1], m[5], m[9]};
  const float lx = AffineVectorLength(vx), ly = AffineVectorLength(vy);
  vx = lx > 0 ? AffineVectorScaled(vx, width_ * 0.5f / lx) : TAffineVector{0, 0, 0};
  vy = ly > 0 ? AffineVectorScaled(vy, height_ * 0.5f / ly) : TAffineVector{0, 0, 0};
  float sHi = 1, sLo = 0, tHi = 1, tLo = 0;
  if (mirrorU_) std::swap(sHi, sLo);
  if (mirrorV_) std::swap(tHi, tLo);
  if (rotation_ != 0) {
    GL.glPushMatrix();
    GL.glRotatef(rotation_, m[2], m[6], m[10]);
  }
  GL.glBegin(GL_QUADS);
  MappedTexCoord2f(sHi, tHi);
  GL.glVertex3f(vx[0] + vy[0], vx[1] + vy[1], vx[2] + vy[2]);
  MappedTexCoord2f(sLo, tHi);
  GL.glVertex3f(-vx[0] + vy[0], -vx[1] + vy[1], -vx[2] + vy[2]);
  MappedTexCoord2f(sLo, tLo);
  GL.glVertex3f(-vx[0] - vy[0], -vx[1] - vy[1], -vx[2] - vy[2]);
  MappedTexCoord2f(sHi, tLo);
  GL.glVertex3f(vx[0] - vy[0], vx[1] - vy[1], vx[2] - vy[2]);
  GL.glEnd();
  if (rotation_ != 0) GL.glPopMatrix();
  if (noZWrite_) GL.glDepthMask(GL_TRUE);
}

GLOBJ_SETTER(TGLSprite, SetWidth, width_, NotifyChange(this))
GLOBJ_SETTER(TGLSprite, SetHeight, height_, NotifyChange(this))
GLOBJ_SETTER(TGLSprite, SetRotation, rotation_, NotifyChange(this))

void TGLSprite::SetAlphaChannel(float v) {
  if (v == alphaChannel_) return;
  alphaChannel_ = ClampValue(v, 0, 1);
  NotifyChange(this);
}
void TGLSprite::SetNoZWrite(bool v) {
  noZWrite_ = v;
  NotifyChange(this);
}
void TGLSprite::SetMirrorU(bool v) {
  mirrorU_ = v;
  NotifyChange(this);
}
void TGLSprite::SetMirrorV(bool v) {
  mirrorV_ = v;
  NotifyChange(this);
}

// ---------------------------------------------------------------------------------------------
// TGLCube

TGLCube::TGLCube(TComponent* AOwner) : TGLSceneObject(AOwner) { objectStyle_ |= osDirectDraw; }

void TGLCube::DefineProperties(TFiler* Filer) {
  TGLSceneObject::DefineProperties(Filer);
  Filer->DefineBinaryProperty(
      "CubeSize", [this](TStream* s) { ReadSingles(s, cubeSize_.V, 3); },
      [this](TStream* s) { WriteSingles(s, cubeSize_.V, 3); },
      cubeSize_[0] != 1 || cubeSize_[1] != 1 || cubeSize_[2] != 1);
}

void TGLCube::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLCube*>(Source)) {
    cubeSize_ = src->cubeSize_;
    parts_ = src->parts_;
    normalDirection_ = src->normalDirection_;
    MarkStructureChanged();
  }
  TGLSceneObject::Assign(Source);
}

TVector4f TGLCube::AxisAlignedDimensionsUnscaled() {
  return {cubeSize_[0] * 0.5f, cubeSize_[1] * 0.5f, cubeSize_[2] * 0.5f, 0};
}

bool TGLCube::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint,
                               TVector4f* intersectNormal) {
  TVector4f p, n;
  if (!CubeRayEntry(AbsoluteToLocalAffine(Pt(rayStart)), AbsoluteToLocalVector(Dir(rayVector)), cubeSize_, p, n))
    return false;
  if (intersectPoint) *intersectPoint = LocalToAbsolute(p);
  if (intersectNormal) *intersectNormal = LocalToAbsoluteVector(n);
  return true;
}

TGLSilhouette* TGLCube::GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) {
  TConnectivity connectivity(true);
  const float hw = cubeSize_[0] * 0.5f, hh = cubeSize_[1] * 0.5f, hd = cubeSize_[2] * 0.5f;
  for (TCubePart part : {cpFront, cpBack, cpLeft, cpRight, cpTop, cpBottom}) {
    if (!parts_.Contains(part)) continue;
    TAffineVector c[4];
    CubeFaceCorners(part, hw, hh, hd, c);
    connectivity.AddQuad(c[0], c[1], c[2], c[3]);
  }
  std::unique_ptr<TGLSilhouette> sil;
  connectivity.CreateSilhouette(silhouetteParameters, sil, false);
  return sil.release();
}

void TGLCube::BuildList(TRenderContextInfo&) {
  EmitCubeFaces(cubeSize_[0] * 0.5f, cubeSize_[1] * 0.5f, cubeSize_[2] * 0.5f, parts_,
                normalDirection_ == ndInside ? -1.0f : 1.0f);
}

namespace {
// Rotation and moving only: the three axis rows of unit length and at right angles.
bool KeepsShape(const TMatrix4f& m) {
  constexpr float eps = 1e-4f;
  for (int i = 0; i < 3; ++i)
    for (int j = i; j < 3; ++j) {
      const float dot = m[i][0] * m[j][0] + m[i][1] * m[j][1] + m[i][2] * m[j][2];
      if (std::fabs(dot - (i == j ? 1.0f : 0.0f)) > eps) return false;
    }
  return m[0][3] == 0 && m[1][3] == 0 && m[2][3] == 0 && m[3][3] == 1;
}
}  // namespace

bool TGLCube::JoinsBatches() {
  return drawnInBatches_ && (ObjectStyle() & osDirectDraw) && KeepsShape(*GetLocalMatrixPtr());
}

bool TGLCube::SameBatchLookAs(TGLBaseSceneObject& other) {
  if (other.ClassType() != ClassType()) return false;
  // Materials are compared once: the answer is kept by the other cube (the walk asks the
  // batch's first about each next one) and holds until one of the two changes (a change of its
  // material is one), which gives it a new stamp.
  TSameLook& kept = static_cast<TGLCube&>(other).sameLook_;
  if (kept.first == this && kept.firstStamp == ChangeStamp() && kept.ownStamp == other.ChangeStamp()) return kept.same;
  const bool same = Material()->SameLook(*static_cast<TGLCube&>(other).Material());
  kept = {this, ChangeStamp(), other.ChangeStamp(), same};
  return same;
}

void TGLCube::EmitInBatch(TRenderContextInfo&) {
  EmitCubeFacesMoved(cubeSize_[0] * 0.5f, cubeSize_[1] * 0.5f, cubeSize_[2] * 0.5f, parts_,
                     normalDirection_ == ndInside ? -1.0f : 1.0f, *GetLocalMatrixPtr());
}

bool TGLCube::AppendToBatch(TGLBatchArrays& into) {
  AppendCubeFacesMoved(into, cubeSize_[0] * 0.5f, cubeSize_[1] * 0.5f, cubeSize_[2] * 0.5f, parts_,
                       normalDirection_ == ndInside ? -1.0f : 1.0f, *GetLocalMatrixPtr());
  return true;
}

void TGLCube::SetSize(int axis, float v) {
  if (v == cubeSize_[axis]) return;
  cubeSize_[axis] = v;
  MarkStructureChanged();
}
void TGLCube::SetCubeWidth(float v) { SetSize(0, v); }
void TGLCube::SetCubeHeight(float v) { SetSize(1, v); }
void TGLCube::SetCubeDepth(float v) { SetSize(2, v); }
GLOBJ_SETTER(TGLCube, SetParts, parts_, MarkStructureChanged())
GLOBJ_SETTER(TGLCube, SetNormalDirection, normalDirection_, MarkStructureChanged())

// ---------------------------------------------------------------------------------------------
// TGLQuadricObject

TGLQuadricObject::TGLQuadricObject(TComponent* AOwner) : TGLSceneObject(AOwner) {}

void TGLQuadricObject::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLQuadricObject*>(Source)) {
    normals_ = src->normals_;
    normalDirection_ = src->normalDirection_;
  }
  TGLSceneObject::Assign(Source);
}

GLOBJ_SETTER(TGLQuadricObject, SetNormals, normals_, MarkStructureChanged())
GLOBJ_SETTER(TGLQuadricObject, SetNormalDirection, normalDirection_, MarkStructureChanged())

void TGLQuadricObject::SetupQuadricParams(GLUquadric* quadric) {
  static const GLenum kNormals[] = {GLU_FLAT, GLU_SMOOTH, GLU_NONE};
  GL.gluQuadricDrawStyle(quadric, GLU_FILL);
  GL.gluQuadricNormals(quadric, kNormals[normals_]);
  SetNormalQuadricOrientation(quadric);
  GL.gluQuadricTexture(quadric, GL_TRUE);
}

void TGLQuadricObject::SetNormalQuadricOrientation(GLUquadric* quadric) {
  GL.gluQuadricOrientation(quadric, normalDirection_ == ndInside ? GLU_INSIDE : GLU_OUTSIDE);
}

void TGLQuadricObject::SetInvertedQuadricOrientation(GLUquadric* quadric) {
  GL.gluQuadricOrientation(quadric, normalDirection_ == ndInside ? GLU_OUTSIDE : GLU_INSIDE);
}

// ---------------------------------------------------------------------------------------------
// TGLSphere

TGLSphere::TGLSphere(TComponent* AOwner) : TGLQuadricObject(AOwner) {}

void TGLSphere::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLSphere*>(Source)) {
    // Fields directly: the angle setters would assert on an intermediate Start > Stop.
    radius_ = src->radius_;
    slices_ = src->slices_;
    stacks_ = src->stacks_;
    bottom_ = src->bottom_;
    top_ = src->top_;
    start_ = src->start_;
    stop_ = src->stop_;
    topCap_ = src->topCap_;
    bottomCap_ = src->bottomCap_;
    MarkStructureChanged();
  }
  TGLQuadricObject::Assign(Source);
}

TVector4f TGLSphere::AxisAlignedDimensionsUnscaled() {
  const float r = std::fabs(radius_);
  return {r, r, r, 0};
}

bool TGLSphere::RayCastIntersect(const TVector4f& rayStart, const TVector4f& rayVector, TVector4f* intersectPoint,
                                 TVector4f* intersectNormal) {
  const TVector4f s = AbsoluteToLocalAffine(Pt(rayStart));
  const TVector4f v = VectorNormalized(AbsoluteToLocalVector(Dir(rayVector)));
  TVector4f i1, i2;
  if (RayCastSphereIntersect(s, v, {0, 0, 0, 1}, radius_, i1, i2) <= 0) return false;
  if (intersectPoint) *intersectPoint = LocalToAbsolute(Pt(i1));
  if (intersectNormal) *intersectNormal = LocalToAbsoluteVector(Dir(i1));
  return true;
}

TGLSilhouette* TGLSphere::GenerateSilhouette(const TGLSilhouetteParameters& silhouetteParameters) {
  auto sil = std::make_unique<TGLSilhouette>();
  const TAffineVector& from = silhouetteParameters.SeenFrom;
  if (AffineVectorIsNull(from)) return sil.release();  // seen from the centre: no outline
  const int n = std::max(slices_, stacks_);
  TAffineVector a = AffineVectorCrossProduct(from, {1, 0, 0});
  if (AffineVectorLength(a) < 0.001f) a = AffineVectorCrossProduct(from, {0, 1, 0});
  TAffineVector b = AffineVectorCrossProduct(from, a);
  AffineVectorNormalize(a);
  AffineVectorNormalize(b);
  for (int i = 0; i < n; ++i) {
    const double angle = i * 2 * M_PI / n;
    const float c = float(std::cos(angle)) * radius_, s = float(std::sin(angle)) * radius_;
    sil->Vertices()->Add(TVector4f{c * a[0] + s * b[0], c * a[1] + s * b[1], c * a[2] + s * b[2], 1});
    sil->Indices()->Add(i);
    sil->Indices()->Add((i + 1) % n);
    if (silhouetteParameters.CapSilhouette) {
      sil->CapIndices()->Add(n);
      sil->CapIndices()->Add(i);
      sil->CapIndices()->Add((i + 1) % n);
    }
  }
  if (silhouetteParameters.CapSilhouette) sil->Vertices()->Add(TVector4f{0, 0, 0, 1});
  return sil.release();
}

namespace {

TAffineVector SpherePoint(double phi, double theta) {
  return {float(std::cos(phi) * std::sin(theta)), float(std::sin(phi)), float(std::cos(phi) * std::cos(theta))};
}

// Cap fan at latitude phi; `up` is +1 for the top cap, -1 for the bottom one.
void EmitSphereCap(double phi, double thetaFirst, double thetaStep, int slices, TCapType cap, float up, bool inverted) {
  const float sp = float(std::sin(phi)), cp = float(std::cos(phi));
  const float flip = inverted ? -1.0f : 1.0f;
  GL.glBegin(GL_TRIANGLE_FAN);
  MappedTexCoord2f(0.5f, 0.5f);
  GL.glNormal3f(0, up * flip, 0);
  if (cap == ctCenter)
    GL.glVertex3f(0, 0, 0);
  else
    GL.glVertex3f(0, sp, 0);
  for (int j = 0; j <= slices; ++j) {
    const double theta = thetaFirst + j * thetaStep;
    const TAffineVector v = {cp * float(std::sin(theta)), sp, cp * float(std::cos(theta))};
    TAffineVector n = {0, up, 0};
    if (cap == ctCenter) n = AffineVectorSubtract(n, AffineVectorScaled(v, AffineVectorDotProduct(n, v)));
    n = AffineVectorScaled(n, flip);
    MappedTexCoord2f(float(std::sin(theta) / 2 + 0.5), float(std::cos(theta) / 2 + 0.5));
    GL.glNormal3fv(n.V);
    GL.glVertex3fv(v.V);
  }
  GL.glEnd();
}

}  // namespace

void TGLSphere::BuildList(TRenderContextInfo& rci) {
  const bool inverted = NormalDirection() == ndInside;
  GL.glPushAttrib(GL_POLYGON_BIT);
  if (inverted && rci.GLStates) rci.GLStates->ToggleFrontFace();
  const double tTop = DegToRadExtended(top_), tBottom = DegToRadExtended(bottom_);
  const double tStart = DegToRadExtended(start_), tStop = DegToRadExtended(stop_);
  const double stepH = (tStop - tStart) / slices_, stepV = (tTop - tBottom) / stacks_;
  GL.glPushMatrix();
  GL.glScalef(radius_, radius_, radius_);
  if (top_ < 90 && (topCap_ == ctCenter || topCap_ == ctFlat))
    EmitSphereCap(tTop, tStart, stepH, slices_, topCap_, 1, inverted);
  const float flip = inverted ? -1.0f : 1.0f;
  for (int i = 0; i < stacks_; ++i) {
    const double phi1 = tTop - i * stepV, phi2 = phi1 - stepV;
    GL.glBegin(GL_TRIANGLE_STRIP);
    for (int j = 0; j <= slices_; ++j) {
      const double theta = tStart + j * stepH;
      const TAffineVector pa = SpherePoint(phi1, theta), pb = SpherePoint(phi2, theta);
      const float s = float(j) / float(slices_);
      MappedTexCoord2f(s, 1 - float(i) / float(stacks_));
      GL.glNormal3f(pa[0] * flip, pa[1] * flip, pa[2] * flip);
      GL.glVertex3fv(pa.V);
      MappedTexCoord2f(s, 1 - float(i + 1) / float(stacks_));
      GL.glNormal3f(pb[0] * flip, pb[1] * flip, pb[2] * flip);
      GL.glVertex3fv(pb.V);
    }
    GL.glEnd();
  }
  if (bottom_ > -90 && (bottomCap_ == ctCenter || bottomCap_ == ctFlat))
    EmitSphereCap(tBottom, tStop, -stepH, slices_, bottomCap_, -1, inverted);
  if (inverted && rci.GLStates) rci.GLStates->ToggleFrontFace();
  GL.glPopMatrix();
  GL.glPopAttrib();
}

GLOBJ_SETTER(TGLSphere, SetRadius, radius_, MarkStructureChanged())
GLOBJ_SETTER(TGLSphere, SetTopCap, topCap_, MarkStructureChanged())
GLOBJ_SETTER(TGLSphere, SetBottomCap, bottomCap_, MarkStructureChanged())

namespace {

// The stacks' strips and two cap fans.
double SphereVertices(int slices, int stacks) { return StripVertices(stacks, slices) + 2 * (double(slices) + 2); }

}  // namespace

double TGLSphere::VertexCount() const noexcept { return SphereVertices(slices_, stacks_); }

void TGLSphere::SetSlices(int v) {
  CheckStoredSubdivisions(*this, v);
  if (v == slices_) return;
  v = v <= 0 ? 1 : v;
  CheckStoredVertices(*this, SphereVertices(v, stacks_));
  slices_ = v;
  MarkStructureChanged();
}
void TGLSphere::SetStacks(int v) {
  CheckStoredSubdivisions(*this, v);
  if (v == stacks_) return;
  v = v <= 0 ? 1 : v;
  CheckStoredVertices(*this, SphereVertices(slices_, v));
  stacks_ = v;
  MarkStructureChanged();
}
void TGLSphere::SetTop(int v) {
  v = std::clamp(v, -90, 90);
  if (v == top_) return;
  top_ = int8_t(v);
  MarkStructureChanged();
}
void TGLSphere::SetBottom(int v) {
  v = std::clamp(v, -90, 90);
  if (v == bottom_) return;
  bottom_ = int8_t(v);
  MarkStructureChanged();
}
void TGLSphere::SetStart(int v) {
  v = std::clamp(v, 0, 360);
  if (v == start_) return;
  RTL_ASSERT(v <= stop_);
  start_ = uint16_t(v);
  MarkStructureChanged();
}
void TGLSphere::SetStop(int v) {
  v = std::clamp(v, 0, 360);
  if (v == stop_) return;
  RTL_ASSERT(v >= start_);
  stop_ = uint16_t(v);
  MarkStructureChanged();
}

// ---------------------------------------------------------------------------------------------
// TGLPolygonBase

TGLPolygonBase::TGLPolygonBase(TComponent* AOwner) : TGLSceneObject(AOwner) { CreateNodes(TGLNode::StaticClass()); }

TGLPolygonBase::~TGLPolygonBase() { nodes_.reset(); }

void TGLPolygonBase::CreateNodes(TClass itemClass) { nodes_ = std::make_unique<TGLNodes>(this, itemClass); }

void TGLPolygonBase::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLPolygonBase*>(Source)) {
    SetNodes(src->nodes_.get());
    division_ = src->division_;
    splineMode_ = src->splineMode_;
  }
  TGLSceneObject::Assign(Source);
}

void TGLPolygonBase::NotifyChange(TObject* Sender) {
  if (nodes_ && Sender == nodes_.get()) MarkStructureChanged();
  TGLSceneObject::NotifyChange(Sender);
}

void TGLPolygonBase::SetNodes(TGLNodes* v) {
  nodes_->Assign(v);
  MarkStructureChanged();
}

double TGLPolygonBase::VertexCount() const { return 2 * double(nodes_->Count()) * division_; }

void TGLPolygonBase::Loaded() {
  TGLSceneObject::Loaded();
  CheckLoadedVertices(*this, VertexCount());
}

void TGLPolygonBase::SetDivision(int v) {
  CheckStoredSubdivisions(*this, v);
  if (v == division_) return;
  v = v < 1 ? 1 : v;
  CheckStoredVertices(*this, 2 * double(nodes_->Count()) * v);
  division_ = v;
  MarkStructureChanged();
}

GLOBJ_SETTER(TGLPolygonBase, SetSplineMode, splineMode_, MarkStructureChanged())

// ---------------------------------------------------------------------------------------------
// TGLPlane screen rectangle

TGLRect TGLPlane::GetScreenRect() {
  TGLRect r{0, 0, 0, 0};
  TGLSceneBuffer* buffer = Scene() ? Scene()->CurrentBuffer() : nullptr;
  if (!buffer) return r;
  const float w = width_ * 0.5f, h = height_ * 0.5f;
  // Corners as points, so that the plane's position counts.
  TVector4f p[4] = {LocalToAbsolute({-w, -h, 0, 1}), LocalToAbsolute({w, -h, 0, 1}), LocalToAbsolute({w, h, 0, 1}),
                    LocalToAbsolute({-w, h, 0, 1})};
  buffer->WorldToScreen(p, 4);
  float minX = p[0][0], maxX = p[0][0], minY = p[0][1], maxY = p[0][1];
  for (const auto& q : p) {
    minX = std::min(minX, q[0]);
    maxX = std::max(maxX, q[0]);
    minY = std::min(minY, q[1]);
    maxY = std::max(maxY, q[1]);
  }
  r.Left = int(std::nearbyint(minX));
  r.Right = int(std::nearbyint(maxX));
  r.Top = int(std::nearbyint(minY));
  r.Bottom = int(std::nearbyint(maxY));
  return r;
}

// ---------------------------------------------------------------------------------------------
// TGLPointParameters

TGLPointParameters::TGLPointParameters(TPersistent* AOwner)
    : TGLUpdateAbleObject(AOwner),
      distanceAttenuation_(std::make_unique<TGLCoordinates>(this, VectorMake(1, 0, 0), csVector)) {}

TGLPointParameters::~TGLPointParameters() = default;

void TGLPointParameters::DefineProperties(TFiler* Filer) {
  TGLUpdateAbleObject::DefineProperties(Filer);
  Filer->DefineBinaryProperty(
      "PointParams",
      [this](TStream* s) {
        float v[3];
        ReadSingles(s, v, 3);
        minSize_ = v[0];
        maxSize_ = v[1];
        fadeTresholdSize_ = v[2];
      },
      [this](TStream* s) {
        const float v[3] = {minSize_, maxSize_, fadeTresholdSize_};
        WriteSingles(s, v, 3);
      },
      minSize_ != 0 || maxSize_ != 128 || fadeTresholdSize_ != 1);
}

void TGLPointParameters::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLPointParameters*>(Source)) {
    minSize_ = src->minSize_;
    maxSize_ = src->maxSize_;
    fadeTresholdSize_ = src->fadeTresholdSize_;
    distanceAttenuation_->Assign(src->distanceAttenuation_.get());
    return;
  }
  TGLUpdateAbleObject::Assign(Source);
}

void TGLPointParameters::Apply() {
  if (!enabled_ || !GLCaps.ARB_point_parameters || !GL.glPointParameterfARB) return;
  GL.glPointParameterfARB(GL_POINT_SIZE_MIN_ARB, minSize_);
  GL.glPointParameterfARB(GL_POINT_SIZE_MAX_ARB, maxSize_);
  GL.glPointParameterfARB(GL_POINT_FADE_THRESHOLD_SIZE_ARB, fadeTresholdSize_);
  GL.glPointParameterfvARB(GL_POINT_DISTANCE_ATTENUATION_ARB, distanceAttenuation_->AsVector().V);
}

void TGLPointParameters::UnApply() {
  if (!enabled_ || !GLCaps.ARB_point_parameters || !GL.glPointParameterfARB) return;
  static const GLfloat kAttenuation[3] = {1, 0, 0};
  GL.glPointParameterfARB(GL_POINT_SIZE_MIN_ARB, 0);
  GL.glPointParameterfARB(GL_POINT_SIZE_MAX_ARB, 128);
  GL.glPointParameterfARB(GL_POINT_FADE_THRESHOLD_SIZE_ARB, 1);
  GL.glPointParameterfvARB(GL_POINT_DISTANCE_ATTENUATION_ARB, kAttenuation);
}

void TGLPointParameters::SetEnabled(bool v) {
  if (v == enabled_) return;
  enabled_ = v;
  NotifyChange(this);
}

namespace {
void SetSize(float& field, float v, TGLUpdateAbleObject* self) {
  if (v < 0) v = 0;
  if (v == field) return;
  field = v;
  self->NotifyChange(self);
}
}  // namespace

void TGLPointParameters::SetMinSize(float v) { SetSize(minSize_, v, this); }
void TGLPointParameters::SetMaxSize(float v) { SetSize(maxSize_, v, this); }
void TGLPointParameters::SetFadeTresholdSize(float v) { SetSize(fadeTresholdSize_, v, this); }
void TGLPointParameters::SetDistanceAttenuation(TGLCoordinates* v) { distanceAttenuation_->Assign(v); }

// ---------------------------------------------------------------------------------------------
// TGLPoints

TGLPoints::TGLPoints(TComponent* AOwner)
    : TGLImmaterialSceneObject(AOwner),
      positions_(std::make_unique<TAffineVectorList>()),
      colors_(std::make_unique<TVectorList>()),
      pointParameters_(std::make_unique<TGLPointParameters>(this)) {
  objectStyle_ |= osDirectDraw | osNoVisibilityCulling;
}

TGLPoints::~TGLPoints() = default;

void TGLPoints::DefineProperties(TFiler* Filer) {
  TGLImmaterialSceneObject::DefineProperties(Filer);
  Filer->DefineBinaryProperty(
      "Positions", [this](TStream* s) { positions_->LoadFromStream(s); },
      [this](TStream* s) { positions_->SaveToStream(s); }, positions_->Count() > 0);
  Filer->DefineBinaryProperty(
      "Colors", [this](TStream* s) { colors_->LoadFromStream(s); }, [this](TStream* s) { colors_->SaveToStream(s); },
      colors_->Count() > 0);
}

void TGLPoints::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLPoints*>(Source)) {
    size_ = src->size_;
    style_ = src->style_;
    positions_->Assign(src->positions_.get());
    colors_->Assign(src->colors_.get());
    MarkStructureChanged();
  }
  TGLImmaterialSceneObject::Assign(Source);
}

void TGLPoints::BuildList(TRenderContextInfo&) {
  int n = positions_->Count();
  const int colorCount = colors_->Count();
  if (colorCount == 0) {
    GL.glColor4f(1, 1, 1, 1);
  } else if (colorCount == 1) {
    GL.glColor4fv(colors_->Get(0).V);
  } else {
    n = std::min(n, colorCount);
    GL.glColorPointer(4, GL_FLOAT, 0, colors_->List());
    GL.glEnableClientState(GL_COLOR_ARRAY);
  }
  GL.glPushAttrib(GL_ENABLE_BIT);
  GL.glDisable(GL_LIGHTING);
  static const GLfloat kOrigin[3] = {0, 0, 0};
  if (n == 0) {
    GL.glVertexPointer(3, GL_FLOAT, 0, kOrigin);
    n = 1;
  } else {
    GL.glVertexPointer(3, GL_FLOAT, 0, positions_->List());
  }
  GL.glEnableClientState(GL_VERTEX_ARRAY);
  if (noZWrite_) GL.glDepthMask(GL_FALSE);
  GL.glPointSize(size_);
  pointParameters_->Apply();
  const bool locked = GLCaps.EXT_compiled_vertex_array && GL.glLockArraysEXT && n > 64;
  if (locked) GL.glLockArraysEXT(0, n);
  switch (style_) {
    case psSquare: GL.glDisable(GL_BLEND); break;
    case psRound:
      GL.glEnable(GL_POINT_SMOOTH);
      GL.glEnable(GL_ALPHA_TEST);
      GL.glAlphaFunc(GL_GREATER, 0.5f);
      GL.glDisable(GL_BLEND);
      break;
    case psSmooth:
    case psSmoothAdditive:
      GL.glEnable(GL_POINT_SMOOTH);
      GL.glEnable(GL_ALPHA_TEST);
      GL.glAlphaFunc(GL_NOTEQUAL, 0);
      GL.glEnable(GL_BLEND);
      GL.glBlendFunc(GL_SRC_ALPHA, style_ == psSmooth ? GL_ONE_MINUS_SRC_ALPHA : GL_ONE);
      break;
    case psSquareAdditive:
      GL.glEnable(GL_BLEND);
      GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE);
      break;
    default: RTL_ASSERT(false);
  }
  GL.glDrawArrays(GL_POINTS, 0, n);
  if (locked) GL.glUnlockArraysEXT();
  pointParameters_->UnApply();
  if (noZWrite_) GL.glDepthMask(GL_TRUE);
  GL.glDisableClientState(GL_VERTEX_ARRAY);
  if (colorCount > 1) GL.glDisableClientState(GL_COLOR_ARRAY);
  GL.glPopAttrib();
  GL.glAlphaFunc(GL_GREATER, 0);
}

GLOBJ_SETTER(TGLPoints, SetSize, size_, MarkStructureChanged())
GLOBJ_SETTER(TGLPoints, SetStyle, style_, MarkStructureChanged())
GLOBJ_SETTER(TGLPoints, SetNoZWrite, noZWrite_, MarkStructureChanged())

void TGLPoints::SetStatic(bool v) {
  if (v == static_) return;
  static_ = v;
  if (v)
    objectStyle_ &= ~osDirectDraw;
  else
    objectStyle_ |= osDirectDraw;
  MarkStructureChanged();
}

void TGLPoints::SetPointParameters(TGLPointParameters* v) { pointParameters_->Assign(v); }

// ---------------------------------------------------------------------------------------------
// TGLLineBase

TGLLineBase::TGLLineBase(TComponent* AOwner)
    : TGLImmaterialSceneObject(AOwner), lineColor_(std::make_unique<TGLColor>(this, TVector4f{1, 1, 1, 1})) {}

TGLLineBase::~TGLLineBase() = default;

void TGLLineBase::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLLineBase*>(Source)) {
    lineColor_->SetColor(src->lineColor_->Color());
    linePattern_ = src->linePattern_;
    lineWidth_ = src->lineWidth_;
    antiAliased_ = src->antiAliased_;
    MarkStructureChanged();
  }
  // The scene-object part too: position, orientation and children would be lost otherwise.
  TGLImmaterialSceneObject::Assign(Source);
}

void TGLLineBase::SetupLineStyle(TRenderContextInfo&) {
  GL.glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_LINE_BIT | GL_COLOR_BUFFER_BIT);
  GL.glDisable(GL_LIGHTING);
  if (linePattern_ != 0xFFFF) {
    GL.glEnable(GL_LINE_STIPPLE);
    GL.glEnable(GL_BLEND);
    GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    GL.glLineStipple(1, linePattern_);
  }
  if (antiAliased_) {
    GL.glEnable(GL_LINE_SMOOTH);
    GL.glEnable(GL_BLEND);
    GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  } else {
    GL.glDisable(GL_LINE_SMOOTH);
  }
  GL.glLineWidth(lineWidth_);
  if (lineColor_->Alpha() == 1) {
    GL.glColor3fv(lineColor_->GetColorPtr());
  } else {
    if (!antiAliased_) {
      GL.glEnable(GL_BLEND);
      GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    }
    GL.glColor4fv(lineColor_->GetColorPtr());
  }
}

void TGLLineBase::RestoreLineStyle(TRenderContextInfo&) { GL.glPopAttrib(); }

void TGLLineBase::SetLineColor(TGLColor* v) {
  lineColor_->Assign(v);
  MarkStructureChanged();
}
GLOBJ_SETTER(TGLLineBase, SetLinePattern, linePattern_, MarkStructureChanged())
GLOBJ_SETTER(TGLLineBase, SetLineWidth, lineWidth_, MarkStructureChanged())
GLOBJ_SETTER(TGLLineBase, SetAntiAliased, antiAliased_, MarkStructureChanged())

// ---------------------------------------------------------------------------------------------
// Line nodes

namespace {
TGLNodedLines* LinesOf(TCollection* c) { return c ? dynamic_cast<TGLNodedLines*>(c->GetOwner()) : nullptr; }
}  // namespace

TGLLinesNode::TGLLinesNode(TCollection* ACollection) : TGLNode(ACollection) {
  TGLNodedLines* lines = LinesOf(ACollection);
  color_ =
      std::make_unique<TGLColor>(this, lines ? lines->NodeColor()->Color() : TVector4f{0, 0, 1, 1}, [this](TObject*) {
        if (Collection()) Collection()->ItemChanged(this);
      });
}

TGLLinesNode::~TGLLinesNode() = default;

void TGLLinesNode::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLLinesNode*>(Source)) color_->Initialize(src->color_->Color());
  TGLNode::Assign(Source);
}

void TGLLinesNode::SetColor(TGLColor* v) { color_->Assign(v); }

bool TGLLinesNode::ColorStored() {
  static const TVector4f kDefaultNodeColor{0, 0, 1, 1};
  TGLNodedLines* lines = LinesOf(Collection());
  return !lines || !VectorEquals(color_->Color(), lines->NodeColor()->Color()) ||
         !VectorEquals(lines->NodeColor()->Color(), kDefaultNodeColor);
}

TGLLinesNodes::TGLLinesNodes(TPersistent* AOwner) : TGLNodes(AOwner, TGLLinesNode::StaticClass()) {}

// ---------------------------------------------------------------------------------------------
// TGLNodedLines

TGLNodedLines::TGLNodedLines(TComponent* AOwner)
    : TGLLineBase(AOwner), nodeColor_(std::make_unique<TGLColor>(this, TVector4f{0, 0, 1, 1}, [this](TObject* sender) {
        NodeColorChanged(sender);
      })) {
  nodes_ = std::make_unique<TGLLinesNodes>(this);
}

TGLNodedLines::~TGLNodedLines() { nodes_.reset(); }

void TGLNodedLines::NodeColorChanged(TObject*) {
  // Nodes still showing the previous node colour follow it; the others keep their own. While
  // reading, the nodes already carry their stored colours.
  const TVector4f now = nodeColor_->Color();
  if (nodes_ && !IsLoadingOrReading()) {
    nodes_->BeginUpdate();
    for (int i = 0; i < nodes_->Count(); ++i) {
      TGLLinesNode* node = nodes_->Items(i);
      if (VectorEquals(node->Color()->Color(), oldNodeColor_)) node->Color()->Initialize(now);
    }
    nodes_->EndUpdate();
  }
  oldNodeColor_ = now;
  MarkStructureChanged();
}

void TGLNodedLines::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLNodedLines*>(Source)) {
    SetNodes(src->nodes_.get());
    nodesAspect_ = src->nodesAspect_;
    nodeColor_->SetColor(src->nodeColor_->Color());
  }
  TGLLineBase::Assign(Source);
}

TVector4f TGLNodedLines::AxisAlignedDimensionsUnscaled() {
  TVector4f r{0, 0, 0, 0};
  for (int i = 0; i < nodes_->Count(); ++i) {
    const TVector4f& v = nodes_->Items(i)->AsVector();
    for (int k = 0; k < 3; ++k) r[k] = std::max(r[k], std::fabs(v[k]));
  }
  return r;
}

void TGLNodedLines::Loaded() {
  TGLLineBase::Loaded();
  oldNodeColor_ = nodeColor_->Color();  // the colour may have been read without notification
}

void TGLNodedLines::NotifyChange(TObject* Sender) {
  if (nodes_ && Sender == nodes_.get()) MarkStructureChanged();
  TGLLineBase::NotifyChange(Sender);
}

void TGLNodedLines::SetNodes(TGLLinesNodes* v) {
  nodes_->Assign(v);
  MarkStructureChanged();
}

GLOBJ_SETTER(TGLNodedLines, SetNodesAspect, nodesAspect_, MarkStructureChanged())

void TGLNodedLines::SetNodeColor(TGLColor* v) {
  nodeColor_->Assign(v);
  MarkStructureChanged();
}

void TGLNodedLines::SetNodeSize(float v) {
  nodeSize_ = v > 0 ? v : 1;
  MarkStructureChanged();
}

void TGLNodedLines::AddNode(float x, float y, float z) { nodes_->AddNode(x, y, z); }

void TGLNodedLines::DrawNode(TRenderContextInfo& rci, const TVector4f& colour, float x, float y, float z) {
  GL.glPushMatrix();
  GL.glTranslatef(x, y, z);
  switch (nodesAspect_) {
    case lnaAxes: {
      const float l = nodeSize_ * 0.5f;
      GL.glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT | GL_LIGHTING_BIT | GL_LINE_BIT | GL_COLOR_BUFFER_BIT);
      GL.glDisable(GL_LIGHTING);
      GL.glEnable(GL_LINE_STIPPLE);
      if (!rci.ignoreBlendingRequests) {
        GL.glEnable(GL_BLEND);
        GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
      }
      GL.glLineWidth(1);
      GL.glLineStipple(1, 0xCCCC);
      static const float kAxisColors[6][3] = {{0.5f, 0, 0}, {1, 0, 0},    {0, 0.5f, 0},
                                              {0, 1, 0},    {0, 0, 0.5f}, {0, 0, 1}};
      GL.glBegin(GL_LINES);
      for (int i = 0; i < 6; ++i) {
        float end[3] = {0, 0, 0};
        end[i / 2] = i % 2 ? l : -l;
        GL.glColor3f(kAxisColors[i][0], kAxisColors[i][1], kAxisColors[i][2]);
        GL.glVertex3f(0, 0, 0);
        GL.glVertex3f(end[0], end[1], end[2]);
      }
      GL.glEnd();
      GL.glPopAttrib();
      break;
    }
    case lnaCube: DrawWireCube(rci, false, colour, nodeSize_); break;
    case lnaDodecahedron: {
      static const GLfloat kBlack[4] = {0, 0, 0, 1}, kAmbient[4] = {0.2f, 0.2f, 0.2f, 1};
      if (rci.GLStates) rci.GLStates->SendMaterialColors(GL_FRONT, kBlack, kAmbient, colour.V, kBlack, 0);
      if (nodeSize_ != 1) {
        GL.glPushMatrix();
        GL.glScalef(nodeSize_, nodeSize_, nodeSize_);
        DodecahedronBuildList();
        GL.glPopMatrix();
      } else {
        DodecahedronBuildList();
      }
      break;
    }
    default: GL.glPopMatrix(); RTL_ASSERT(false);
  }
  GL.glPopMatrix();
}

// ---------------------------------------------------------------------------------------------
// TGLLines

TGLLines::TGLLines(TComponent* AOwner) : TGLNodedLines(AOwner), nurbsKnots_(std::make_unique<TSingleList>()) {}

TGLLines::~TGLLines() = default;

void TGLLines::Assign(TPersistent* Source) {
  if (auto* src = dynamic_cast<TGLLines*>(Source)) {
    division_ = src->division_;
    splineMode_ = src->splineMode_;
  }
  TGLNodedLines::Assign(Source);
}

namespace {

// The largest evaluator order of the current implementation (queried once per context use).
int MaxEvalOrder() {
  GLint order = 0;
  GL.glGetIntegerv(GL_MAX_EVAL_ORDER, &order);
  return order;
}

}  // namespace

void TGLLines::BuildList(TRenderContextInfo& rci) {
  TGLLinesNodes* nodes = Nodes();
  const int count = nodes->Count();
  if (count < 2) return;
  // Everything that can fail (allocations, the spline) is made before any state is pushed.
  TLineSplineMode mode = splineMode_;
  // An order the evaluators refuse would leave the previous map active: draw straight lines.
  if (mode == lsmBezierSpline && count > MaxEvalOrder()) mode = lsmLines;
  std::vector<GLfloat> positions, colours;
  if (mode == lsmBezierSpline || mode == lsmNURBSCurve) {
    for (int i = 0; i < count; ++i) {
      TGLLinesNode* node = nodes->Items(i);
      positions.insert(positions.end(), {node->X(), node->Y(), node->Z()});
      const TVector4f& c = node->Color()->Color();
      colours.insert(colours.end(), {c[0], c[1], c[2], c[3]});
    }
  }
  std::unique_ptr<TCubicSpline> spline;
  if (division_ >= 2 && mode == lsmCubicSpline) spline = nodes->BuildCubicSpline();
  const bool nodeColours = options_.Contains(loUseNodeColorForLines);
  bool drawLines = true;
  SetupLineStyle(rci);
  if (mode == lsmBezierSpline) {
    GL.glPushAttrib(GL_EVAL_BIT);
    GL.glEnable(GL_MAP1_VERTEX_3);
    GL.glEnable(GL_MAP1_COLOR_4);
    GL.glMap1f(GL_MAP1_VERTEX_3, 0, 1, 3, count, positions.data());
    GL.glMap1f(GL_MAP1_COLOR_4, 0, 1, 4, count, colours.data());
  } else if (mode == lsmNURBSCurve && division_ >= 2) {
    drawLines = false;
    // gluNurbsCurve reads knots - order control points: only draw when that is the node count.
    if (nurbsOrder_ > 0 && nurbsOrder_ <= count && nurbsKnots_->Count() == count + nurbsOrder_) {
      GLUnurbs* renderer = GL.gluNewNurbsRenderer();
      GL.gluNurbsProperty(renderer, GLU_SAMPLING_TOLERANCE, nurbsTolerance_);
      GL.gluNurbsProperty(renderer, GLU_DISPLAY_MODE, GLU_FILL);
      GL.gluBeginCurve(renderer);
      GL.gluNurbsCurve(renderer, nurbsKnots_->Count(), nurbsKnots_->List(), 3, positions.data(), nurbsOrder_,
                       GL_MAP1_VERTEX_3);
      GL.gluEndCurve(renderer);
      GL.gluDeleteNurbsRenderer(renderer);
    }
  }
  if (drawLines) {
    GL.glBegin(mode == lsmSegments ? GL_LINES : GL_LINE_STRIP);
    if (spline) {
      const float f = 1.0f / float(division_);
      const int last = (count - 1) * division_;
      for (int i = 0; i <= last; ++i) {
        TAffineVector p;
        spline->EvaluateAffine(float(i) * f, p);
        if (nodeColours) {
          const int k = i / division_;
          TVector4f c;
          if (k >= count - 1)
            c = nodes->Items(count - 1)->Color()->Color();
          else
            c = VectorLerp(nodes->Items(k)->Color()->Color(), nodes->Items(k + 1)->Color()->Color(),
                           float(i % division_) * f);
          GL.glColor4fv(c.V);
        }
        GL.glVertex3f(p[0], p[1], p[2]);
      }
    } else if (division_ >= 2 && mode == lsmBezierSpline) {
      for (int i = 0; i <= division_; ++i) GL.glEvalCoord1f(float(i) / float(division_));
    } else {
      for (int i = 0; i < count; ++i) {
        TGLLinesNode* node = nodes->Items(i);
        if (nodeColours) GL.glColor4fv(node->Color()->GetColorPtr());
        GL.glVertex3f(node->X(), node->Y(), node->Z());
      }
    }
    GL.glEnd();
  }
  if (mode == lsmBezierSpline) GL.glPopAttrib();
  RestoreLineStyle(rci);
  if (NodesAspect() != lnaInvisible) {
    GL.glPushAttrib(GL_ENABLE_BIT);
    if (!rci.ignoreBlendingRequests) {
      GL.glEnable(GL_BLEND);
      GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    }
    GL.glDisable(GL_TEXTURE_2D);
    if (GLCaps.ARB_texture_cube_map) GL.glDisable(GL_TEXTURE_CUBE_MAP_ARB);
    for (int i = 0; i < count; ++i) {
      TGLLinesNode* node = nodes->Items(i);
      DrawNode(rci, node->Color()->Color(), node->X(), node->Y(), node->Z());
    }
    GL.glPopAttrib();
  }
}

namespace {

// Curve points per node, and a dodecahedron's fans (the largest node marker) per node.
double LinesVertices(int nodes, int division) { return double(nodes) * (double(division) + 60); }

}  // namespace

double TGLLines::VertexCount() const { return LinesVertices(Nodes()->Count(), division_); }

void TGLLines::Loaded() {
  TGLNodedLines::Loaded();
  CheckLoadedVertices(*this, VertexCount());
}

void TGLLines::SetDivision(int v) {
  CheckStoredSubdivisions(*this, v);
  if (v == division_) return;
  v = v < 1 ? 1 : v;
  CheckStoredVertices(*this, LinesVertices(Nodes()->Count(), v));
  division_ = v;
  MarkStructureChanged();
}
GLOBJ_SETTER(TGLLines, SetSplineMode, splineMode_, MarkStructureChanged())
void TGLLines::SetOptions(TLinesOptions v) {
  options_ = v;
  MarkStructureChanged();
}
GLOBJ_SETTER(TGLLines, SetNurbsOrder, nurbsOrder_, MarkStructureChanged())
GLOBJ_SETTER(TGLLines, SetNurbsTolerance, nurbsTolerance_, MarkStructureChanged())

// ---------------------------------------------------------------------------------------------
// Registration

void RegisterGLObjectsClasses() {
  RegisterClasses({TGLSphere::StaticClass(), TGLCube::StaticClass(), TGLPlane::StaticClass(), TGLSprite::StaticClass(),
                   TGLPoints::StaticClass(), TGLDummyCube::StaticClass(), TGLLines::StaticClass()});
  const auto never = [](TObject*) { return false; };
  TPublished<TGLDummyCube>()
      .Float("CubeSize", &TGLDummyCube::CubeSize, &TGLDummyCube::SetCubeSize, std::nullopt)
      .Object("EdgeColor", &TGLDummyCube::EdgeColor)
      .Boolean("VisibleAtRunTime", &TGLDummyCube::VisibleAtRunTime, &TGLDummyCube::SetVisibleAtRunTime, false)
      .Boolean("Amalgamate", &TGLDummyCube::Amalgamate, &TGLDummyCube::SetAmalgamate, false);
  TPublished<TGLPlane>()
      .Float("XOffset", &TGLPlane::XOffset, &TGLPlane::SetXOffset, 0.0)
      .Float("YOffset", &TGLPlane::YOffset, &TGLPlane::SetYOffset, 0.0)
      .Float("XScope", &TGLPlane::XScope, &TGLPlane::SetXScope, 1.0)
      .Float("YScope", &TGLPlane::YScope, &TGLPlane::SetYScope, 1.0)
      .Float("Width", &TGLPlane::Width, &TGLPlane::SetWidth, std::nullopt)
      .Float("Height", &TGLPlane::Height, &TGLPlane::SetHeight, std::nullopt)
      .Integer("XTiles", &TGLPlane::XTiles, &TGLPlane::SetXTiles, 1)
      .Integer("YTiles", &TGLPlane::YTiles, &TGLPlane::SetYTiles, 1)
      .Set("Style", &TGLPlane::Style, &TGLPlane::SetStyle, {"psSingleQuad", "psTileTexture"}, 3)
      .Boolean("NoZWrite", &TGLPlane::NoZWrite, &TGLPlane::SetNoZWrite, false);
  TPublished<TGLSprite>()
      .Float("Width", &TGLSprite::Width, &TGLSprite::SetWidth, std::nullopt)
      .Float("Height", &TGLSprite::Height, &TGLSprite::SetHeight, std::nullopt)
      .Float("Rotation", &TGLSprite::Rotation, &TGLSprite::SetRotation, std::nullopt)
      .Float("AlphaChannel", &TGLSprite::AlphaChannel, &TGLSprite::SetAlphaChannel, 1.0)
      .Boolean("NoZWrite", &TGLSprite::NoZWrite, &TGLSprite::SetNoZWrite, false)
      .Boolean("MirrorU", &TGLSprite::MirrorU, &TGLSprite::SetMirrorU, false)
      .Boolean("MirrorV", &TGLSprite::MirrorV, &TGLSprite::SetMirrorV, false);
  TPublished<TGLCube>()
      .Float("CubeWidth", &TGLCube::CubeWidth, &TGLCube::SetCubeWidth, 1.0)
      .StoredIf(never)
      .Float("CubeHeight", &TGLCube::CubeHeight, &TGLCube::SetCubeHeight, 1.0)
      .StoredIf(never)
      .Float("CubeDepth", &TGLCube::CubeDepth, &TGLCube::SetCubeDepth, 1.0)
      .StoredIf(never)
      .Set("Parts", &TGLCube::Parts, &TGLCube::SetParts,
           {"cpTop", "cpBottom", "cpFront", "cpBack", "cpLeft", "cpRight"}, AllCubeParts.Bits())
      .Enum("NormalDirection", &TGLCube::NormalDirection, &TGLCube::SetNormalDirection, {"ndInside", "ndOutside"},
            ndOutside);
  TPublished<TGLQuadricObject>()
      .Enum("Normals", &TGLQuadricObject::Normals, &TGLQuadricObject::SetNormals, {"nsFlat", "nsSmooth", "nsNone"},
            nsSmooth)
      .Enum("NormalDirection", &TGLQuadricObject::NormalDirection, &TGLQuadricObject::SetNormalDirection,
            {"ndInside", "ndOutside"}, ndOutside);
  TPublished<TGLSphere>()
      .Float("Radius", &TGLSphere::Radius, &TGLSphere::SetRadius, 0.5)
      .Integer("Slices", &TGLSphere::Slices, &TGLSphere::SetSlices, 16)
      .Integer("Stacks", &TGLSphere::Stacks, &TGLSphere::SetStacks, 16)
      .Integer("Top", &TGLSphere::Top, &TGLSphere::SetTop, 90)
      .Integer("Bottom", &TGLSphere::Bottom, &TGLSphere::SetBottom, -90)
      .Integer("Start", &TGLSphere::Start, &TGLSphere::SetStart, 0)
      .Integer("Stop", &TGLSphere::Stop, &TGLSphere::SetStop, 360)
      .Enum("TopCap", &TGLSphere::TopCap, &TGLSphere::SetTopCap, {"ctNone", "ctCenter", "ctFlat"}, ctNone)
      .Enum("BottomCap", &TGLSphere::BottomCap, &TGLSphere::SetBottomCap, {"ctNone", "ctCenter", "ctFlat"}, ctNone);
  TPublished<TGLPolygonBase>()
      .Integer("Division", &TGLPolygonBase::Division, &TGLPolygonBase::SetDivision, 10)
      .Enum("SplineMode", &TGLPolygonBase::SplineMode, &TGLPolygonBase::SetSplineMode,
            {"lsmLines", "lsmCubicSpline", "lsmBezierSpline", "lsmNURBSCurve", "lsmSegments"}, lsmLines)
      .Object("Nodes", &TGLPolygonBase::Nodes);
  TPublished<TGLPointParameters>()
      .Boolean("Enabled", &TGLPointParameters::Enabled, &TGLPointParameters::SetEnabled, false)
      .Float("MinSize", &TGLPointParameters::MinSize, &TGLPointParameters::SetMinSize, 0.0)
      .StoredIf(never)
      .Float("MaxSize", &TGLPointParameters::MaxSize, &TGLPointParameters::SetMaxSize, 128.0)
      .StoredIf(never)
      .Float("FadeTresholdSize", &TGLPointParameters::FadeTresholdSize, &TGLPointParameters::SetFadeTresholdSize, 1.0)
      .StoredIf(never)
      .Object("DistanceAttenuation", &TGLPointParameters::DistanceAttenuation);
  TPublished<TGLPoints>()
      .Float("Size", &TGLPoints::Size, &TGLPoints::SetSize, 1.0)
      .Enum("Style", &TGLPoints::Style, &TGLPoints::SetStyle,
            {"psSquare", "psRound", "psSmooth", "psSmoothAdditive", "psSquareAdditive"}, psSquare)
      .Object("PointParameters", &TGLPoints::PointParameters)
      .Boolean("NoZWrite", &TGLPoints::NoZWrite, &TGLPoints::SetNoZWrite, false)
      .Boolean("Static", &TGLPoints::Static, &TGLPoints::SetStatic, false);
  TPublished<TGLLineBase>()
      .Object("LineColor", &TGLLineBase::LineColor)
      .Integer("LinePattern", &TGLLineBase::LinePattern, &TGLLineBase::SetLinePattern, 65535)
      .Float("LineWidth", &TGLLineBase::LineWidth, &TGLLineBase::SetLineWidth, 1.0)
      .Boolean("AntiAliased", &TGLLineBase::AntiAliased, &TGLLineBase::SetAntiAliased, false);
  TPublished<TGLLinesNode>().Object("Color", &TGLLinesNode::Color).StoredIf(&TGLLinesNode::ColorStored);
  TPublished<TGLNodedLines>()
      .Object("Nodes", &TGLNodedLines::Nodes)
      .Enum("NodesAspect", &TGLNodedLines::NodesAspect, &TGLNodedLines::SetNodesAspect,
            {"lnaInvisible", "lnaAxes", "lnaCube", "lnaDodecahedron"}, lnaAxes)
      .Object("NodeColor", &TGLNodedLines::NodeColor)
      .Float("NodeSize", &TGLNodedLines::NodeSize, &TGLNodedLines::SetNodeSize, 1.0);
  TPublished<TGLLines>()
      .Integer("Division", &TGLLines::Division, &TGLLines::SetDivision, 10)
      .Enum("SplineMode", &TGLLines::SplineMode, &TGLLines::SetSplineMode,
            {"lsmLines", "lsmCubicSpline", "lsmBezierSpline", "lsmNURBSCurve", "lsmSegments"}, lsmLines)
      .Set("Options", &TGLLines::Options, &TGLLines::SetOptions, {"loUseNodeColorForLines"}, 0);
}
