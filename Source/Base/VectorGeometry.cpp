// Vector, matrix, plane and quaternion arithmetic over the engine's value types.
#include "Source/Base/VectorGeometry.h"

#include <climits>
#include <cstdint>
#include <initializer_list>

namespace {

inline double Dot3(const double* a, const float* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Reads a float's bit pattern as a signed integer: negative for every value with the sign bit
// set, -0.0 included.
inline int32_t FloatBits(float f) {
  int32_t i;
  std::memcpy(&i, &f, sizeof i);
  return i;
}

}  // namespace

// ---- makers, arrays ----------------------------------------------------------------------

TMatrix4d MatrixToDouble(const TMatrix4f& m) {
  TMatrix4d r;
  for (int i = 0; i < 4; ++i) r[i] = VectorToDouble(m[i]);
  return r;
}

void AffineVectorArrayAdd(const TAffineVector* src, const TAffineVector& delta, int n, TAffineVector* dst) {
  const TAffineVector d = delta;  // delta may live in one of the arrays
  for (int i = 0; i < n; ++i) dst[i] = AffineVectorAdd(src[i], d);
}

void VectorArrayLerp(const TVector4f* a, const TVector4f* b, float t, int n, TVector4f* out) {
  for (int i = 0; i < n; ++i) out[i] = VectorLerp(a[i], b[i], t);
}

void AffineVectorArrayLerp(const TAffineVector* a, const TAffineVector* b, float t, int n, TAffineVector* out) {
  for (int i = 0; i < n; ++i) out[i] = AffineVectorLerp(a[i], b[i], t);
}

void AffineVectorArrayNormalize(TAffineVector* v, int n) {
  for (int i = 0; i < n; ++i) AffineVectorNormalize(v[i]);
}

void ScaleFloatArray(float* values, int n, float factor) {
  for (int i = 0; i < n; ++i) values[i] *= factor;
}

// ---- matrix makers -----------------------------------------------------------------------

TMatrix4f CreateScaleAndTranslationMatrix(const TVector4f& scale, const TVector4f& offset) {
  TMatrix4f m = IdentityHmgMatrix;
  m[0][0] = scale[0];
  m[1][1] = scale[1];
  m[2][2] = scale[2];
  m[3] = {offset[0], offset[1], offset[2], 1};
  return m;
}

TMatrix4f CreateRotationMatrixX(float sine, float cosine) {
  return {{{1, 0, 0, 0}, {0, cosine, sine, 0}, {0, -sine, cosine, 0}, {0, 0, 0, 1}}};
}

TMatrix4f CreateRotationMatrixY(float sine, float cosine) {
  return {{{cosine, 0, -sine, 0}, {0, 1, 0, 0}, {sine, 0, cosine, 0}, {0, 0, 0, 1}}};
}

TMatrix4f CreateRotationMatrixZ(float sine, float cosine) {
  return {{{cosine, sine, 0, 0}, {-sine, cosine, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
}

TMatrix4f CreateRotationMatrix(const TAffineVector& anAxis, float angle) {
  return CreateRotationMatrix(anAxis, std::sin(double(angle)), std::cos(double(angle)));
}

TMatrix4f CreateRotationMatrix(const TAffineVector& anAxis, double s, double c) {
  const TAffineVector axis = AffineVectorNormalized(anAxis);
  const double t = 1.0 - c;
  const double x = axis[0], y = axis[1], z = axis[2];
  return {{{float(t * x * x + c), float(t * x * y - z * s), float(t * x * z + y * s), 0},
           {float(t * x * y + z * s), float(t * y * y + c), float(t * y * z - x * s), 0},
           {float(t * x * z - y * s), float(t * y * z + x * s), float(t * z * z + c), 0},
           {0, 0, 0, 1}}};
}

TMatrix4f CreateRotationMatrixFromVector(const TVector4f& axis, float angle) {
  return CreateRotationMatrix(AffineVectorFromVector(axis), angle);
}

TMatrix4f MakeShadowMatrix(const TVector4f& planePoint, const TVector4f& planeNormal, const TVector4f& lightPos) {
  const double plane[4] = {planeNormal[0], planeNormal[1], planeNormal[2],
                           -(double(planeNormal[0]) * planePoint[0] + double(planeNormal[1]) * planePoint[1] +
                             double(planeNormal[2]) * planePoint[2])};
  const double dot = Dot3(plane, lightPos.V) + plane[3] * lightPos[3];
  TMatrix4f m;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m[r][c] = float((r == c ? dot : 0.0) - double(lightPos[c]) * plane[r]);
  return m;
}

TMatrix4f MakeReflectionMatrix(const TAffineVector& planePoint, const TAffineVector& planeNormal) {
  const double n[3] = {planeNormal[0], planeNormal[1], planeNormal[2]};
  const double pv2 = 2.0 * Dot3(n, planePoint.V);
  TMatrix4f m;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m[r][c] = float((r == c ? 1.0 : 0.0) - 2.0 * n[r] * n[c]);
    m[r][3] = 0;
  }
  m[3] = {float(pv2 * n[0]), float(pv2 * n[1]), float(pv2 * n[2]), 1};
  return m;
}

// ---- rotation of vectors -----------------------------------------------------------------

TAffineVector VectorRotateAroundAxis(const TAffineVector& v, const TAffineVector& axis, float angle) {
  return AffineVectorFromVector(VectorTransform(VectorMakeFromAffine(v, 0), CreateRotationMatrix(axis, angle)));
}

TVector4f VectorRotateAroundAxis(const TVector4f& v, const TAffineVector& axis, float angle) {
  return VectorTransform(v, CreateRotationMatrix(axis, angle));
}

void RotateVectorAroundAxis(TVector4f& v, const TAffineVector& axis, float angle) {
  v = VectorRotateAroundAxis(v, axis, angle);
}

void AffineVectorRotateAroundY(TAffineVector& v, float angle) {
  const double s = std::sin(double(angle)), c = std::cos(double(angle));
  const double x = v[0], z = v[2];
  v[0] = float(c * x + s * z);
  v[2] = float(c * z - s * x);
}

// ---- matrix operations -------------------------------------------------------------------

// Each result row is a linear combination of b's rows, accumulated in double in k order.
static inline void MultiplyRows(const TMatrix4f& a, const TMatrix4f& b, TMatrix4f& r) {
  for (int i = 0; i < 4; ++i) {
    const double a0 = a[i][0], a1 = a[i][1], a2 = a[i][2], a3 = a[i][3];
    float row[4];
    for (int j = 0; j < 4; ++j) row[j] = float(a0 * b[0][j] + a1 * b[1][j] + a2 * b[2][j] + a3 * b[3][j]);
    std::memcpy(r[i].V, row, sizeof row);
  }
}

void MatrixMultiplyUnaliased(const TMatrix4f& a, const TMatrix4f& b, TMatrix4f& r) {
  // Row i of a is read completely before row i of r is written, so r may alias a; an alias of b
  // would be overwritten while still needed, hence the copy in MatrixMultiply.
  MultiplyRows(a, b, r);
}

void MatrixMultiply(const TMatrix4f& a, const TMatrix4f& b, TMatrix4f& r) {
  if (&r == &b) {
    TMatrix4f tmp;
    MultiplyRows(a, b, tmp);
    r = tmp;
  } else {
    MultiplyRows(a, b, r);
  }
}

TMatrix4f MatrixMultiply(const TMatrix4f& a, const TMatrix4f& b) {
  TMatrix4f r;
  MultiplyRows(a, b, r);
  return r;
}

void VectorTransform(const TVector4f& v, const TMatrix4f& m, TVector4f& r) {
  const double x = v[0], y = v[1], z = v[2], w = v[3];  // read before r (possibly v) is written
  float out[4];
  for (int j = 0; j < 4; ++j) out[j] = float(x * m[0][j] + y * m[1][j] + z * m[2][j] + w * m[3][j]);
  std::memcpy(r.V, out, sizeof out);
}

TVector4f VectorTransform(const TVector4f& v, const TMatrix4f& m) {
  TVector4f r;
  VectorTransform(v, m, r);
  return r;
}

TAffineVector AffineVectorTransform(const TAffineVector& v, const TMatrix4f& m) {
  const double x = v[0], y = v[1], z = v[2];
  return {float(x * m[0][0] + y * m[1][0] + z * m[2][0] + m[3][0]),
          float(x * m[0][1] + y * m[1][1] + z * m[2][1] + m[3][1]),
          float(x * m[0][2] + y * m[1][2] + z * m[2][2] + m[3][2])};
}

static inline double Det3(double a1, double a2, double a3, double b1, double b2, double b3, double c1, double c2,
                          double c3) {
  return a1 * (b2 * c3 - b3 * c2) - b1 * (a2 * c3 - a3 * c2) + c1 * (a2 * b3 - a3 * b2);
}

float MatrixDeterminant3x3(float a1, float a2, float a3, float b1, float b2, float b3, float c1, float c2, float c3) {
  return float(Det3(a1, a2, a3, b1, b2, b3, c1, c2, c3));
}

namespace {

// The 2x2 sub-determinants of rows 0-1 (s) and rows 2-3 (c) from which the determinant and
// every cofactor follow (Laplace expansion), in double.
struct TSubDeterminants {
  double a[4][4];
  double s[6], c[6];
  explicit TSubDeterminants(const TMatrix4f& m) {
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) a[i][j] = m[i][j];
    s[0] = a[0][0] * a[1][1] - a[1][0] * a[0][1];
    s[1] = a[0][0] * a[1][2] - a[1][0] * a[0][2];
    s[2] = a[0][0] * a[1][3] - a[1][0] * a[0][3];
    s[3] = a[0][1] * a[1][2] - a[1][1] * a[0][2];
    s[4] = a[0][1] * a[1][3] - a[1][1] * a[0][3];
    s[5] = a[0][2] * a[1][3] - a[1][2] * a[0][3];
    c[5] = a[2][2] * a[3][3] - a[3][2] * a[2][3];
    c[4] = a[2][1] * a[3][3] - a[3][1] * a[2][3];
    c[3] = a[2][1] * a[3][2] - a[3][1] * a[2][2];
    c[2] = a[2][0] * a[3][3] - a[3][0] * a[2][3];
    c[1] = a[2][0] * a[3][2] - a[3][0] * a[2][2];
    c[0] = a[2][0] * a[3][1] - a[3][0] * a[2][1];
  }
  double Determinant() const {
    return s[0] * c[5] - s[1] * c[4] + s[2] * c[3] + s[3] * c[2] - s[4] * c[1] + s[5] * c[0];
  }
  // The adjoint (transposed cofactors) times f, rounded into r.
  void Adjoint(double f, TMatrix4f& r) const {
    r[0] = {float((a[1][1] * c[5] - a[1][2] * c[4] + a[1][3] * c[3]) * f),
            float((-a[0][1] * c[5] + a[0][2] * c[4] - a[0][3] * c[3]) * f),
            float((a[3][1] * s[5] - a[3][2] * s[4] + a[3][3] * s[3]) * f),
            float((-a[2][1] * s[5] + a[2][2] * s[4] - a[2][3] * s[3]) * f)};
    r[1] = {float((-a[1][0] * c[5] + a[1][2] * c[2] - a[1][3] * c[1]) * f),
            float((a[0][0] * c[5] - a[0][2] * c[2] + a[0][3] * c[1]) * f),
            float((-a[3][0] * s[5] + a[3][2] * s[2] - a[3][3] * s[1]) * f),
            float((a[2][0] * s[5] - a[2][2] * s[2] + a[2][3] * s[1]) * f)};
    r[2] = {float((a[1][0] * c[4] - a[1][1] * c[2] + a[1][3] * c[0]) * f),
            float((-a[0][0] * c[4] + a[0][1] * c[2] - a[0][3] * c[0]) * f),
            float((a[3][0] * s[4] - a[3][1] * s[2] + a[3][3] * s[0]) * f),
            float((-a[2][0] * s[4] + a[2][1] * s[2] - a[2][3] * s[0]) * f)};
    r[3] = {float((-a[1][0] * c[3] + a[1][1] * c[1] - a[1][2] * c[0]) * f),
            float((a[0][0] * c[3] - a[0][1] * c[1] + a[0][2] * c[0]) * f),
            float((-a[3][0] * s[3] + a[3][1] * s[1] - a[3][2] * s[0]) * f),
            float((a[2][0] * s[3] - a[2][1] * s[1] + a[2][2] * s[0]) * f)};
  }
};

}  // namespace

float MatrixDeterminant(const TMatrix4f& m) { return float(TSubDeterminants(m).Determinant()); }

void MatrixAdjoint(TMatrix4f& m) { TSubDeterminants(m).Adjoint(1.0, m); }

void MatrixScaleAll(TMatrix4f& m, float factor) {
  for (int i = 0; i < 4; ++i) m[i] = VectorScaled(m[i], factor);
}

void Matrix3x3TransposeScaled(const TMatrix4f& src, float factor, TMatrix4f& dst) {
  TMatrix4f s = src;  // dst may be src
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) dst[i][j] = s[j][i] * factor;
}

void MatrixOrthonormalize(TMatrix4f& m) {
  VectorNormalize(m[0]);
  VectorNormalize(m[1]);
  m[2] = VectorCrossProduct(m[0], m[1]);
  m[0] = VectorCrossProduct(m[1], m[2]);
  m[3] = WHmgVector;
}

void MatrixTranspose(TMatrix4f& m) {
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) {
      const float t = m[i][j];
      m[i][j] = m[j][i];
      m[j][i] = t;
    }
}

void MatrixInvert(TMatrix4f& m) {
  const TSubDeterminants sub(m);
  const float det = float(sub.Determinant());
  if (std::fabs(det) < cEpsilon40) {
    m = IdentityHmgMatrix;
    return;
  }
  sub.Adjoint(1.0 / double(det), m);
}

TMatrix4f MatrixInvertUniformScale(const TMatrix4f& m) {
  const double sq = double(m[0][0]) * m[0][0] + double(m[0][1]) * m[0][1] + double(m[0][2]) * m[0][2];
  if (sq < double(cEpsilon40)) return IdentityHmgMatrix;
  const double inv = 1.0 / sq;
  TMatrix4f r;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r[i][j] = float(m[j][i] * inv);
    r[i][3] = 0;
  }
  for (int j = 0; j < 3; ++j)
    r[3][j] = float(-(double(m[3][0]) * r[0][j] + double(m[3][1]) * r[1][j] + double(m[3][2]) * r[2][j]));
  r[3][3] = 1;
  return r;
}

bool MatrixDecompose(const TMatrix4f& m, TTransformations& tran) {
  TMatrix4f loc = m;
  if (loc[3][3] == 0) return false;
  const float w = loc[3][3];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) loc[i][j] /= w;

  // The upper-left part without perspective must be invertible.
  TMatrix4f pmat = loc;
  for (int i = 0; i < 3; ++i) pmat[i][3] = 0;
  pmat[3][3] = 1;
  if (MatrixDeterminant(pmat) == 0) return false;

  if (loc[0][3] != 0 || loc[1][3] != 0 || loc[2][3] != 0) {
    const TVector4f rhs{loc[0][3], loc[1][3], loc[2][3], loc[3][3]};
    TMatrix4f inv = pmat;
    MatrixInvert(inv);
    MatrixTranspose(inv);
    const TVector4f psol = VectorTransform(rhs, inv);
    tran[ttPerspectiveX] = psol[0];
    tran[ttPerspectiveY] = psol[1];
    tran[ttPerspectiveZ] = psol[2];
    tran[ttPerspectiveW] = psol[3];
    loc[0][3] = loc[1][3] = loc[2][3] = 0;
    loc[3][3] = 1;
  } else {
    tran[ttPerspectiveX] = tran[ttPerspectiveY] = tran[ttPerspectiveZ] = tran[ttPerspectiveW] = 0;
  }

  for (int i = 0; i < 3; ++i) {
    tran[ttTranslateX + i] = loc[3][i];
    loc[3][i] = 0;
  }

  TAffineVector row[3];
  for (int i = 0; i < 3; ++i) row[i] = AffineVectorFromVector(loc[i]);

  tran[ttScaleX] = AffineVectorLength(row[0]);
  AffineVectorNormalize(row[0]);
  tran[ttShearXY] = AffineVectorDotProduct(row[0], row[1]);
  row[1] = AffineVectorCombine(row[1], row[0], 1, -tran[ttShearXY]);
  tran[ttScaleY] = AffineVectorLength(row[1]);
  AffineVectorNormalize(row[1]);
  tran[ttShearXY] /= tran[ttScaleY];
  tran[ttShearXZ] = AffineVectorDotProduct(row[0], row[2]);
  row[2] = AffineVectorCombine(row[2], row[0], 1, -tran[ttShearXZ]);
  tran[ttShearYZ] = AffineVectorDotProduct(row[1], row[2]);
  row[2] = AffineVectorCombine(row[2], row[1], 1, -tran[ttShearYZ]);
  tran[ttScaleZ] = AffineVectorLength(row[2]);
  AffineVectorNormalize(row[2]);
  tran[ttShearXZ] /= tran[ttScaleZ];
  tran[ttShearYZ] /= tran[ttScaleZ];

  // A left-handed system: flip the scales and the rows.
  if (AffineVectorDotProduct(row[0], AffineVectorCrossProduct(row[1], row[2])) < 0) {
    for (int i = 0; i < 3; ++i) {
      tran[ttScaleX + i] = -tran[ttScaleX + i];
      AffineVectorNegate(row[i]);
    }
  }

  tran[ttRotateY] = float(ArcSinExtended(-double(row[0][2])));
  if (std::cos(double(tran[ttRotateY])) != 0) {
    tran[ttRotateX] = ArcTan2Single(row[1][2], row[2][2]);
    tran[ttRotateZ] = ArcTan2Single(row[0][1], row[0][0]);
  } else {
    tran[ttRotateX] = ArcTan2Single(row[1][0], row[1][1]);
    tran[ttRotateZ] = 0;
  }
  return true;
}

// ---- planes ------------------------------------------------------------------------------

void PlaneNormalize(TVector4f& plane) {
  const double inv =
      1.0 / std::sqrt(double(plane[0]) * plane[0] + double(plane[1]) * plane[1] + double(plane[2]) * plane[2]);
  for (int i = 0; i < 4; ++i) plane[i] = float(plane[i] * inv);
}

TAffineVector TriangleNormal(const TAffineVector& p1, const TAffineVector& p2, const TAffineVector& p3) {
  return AffineVectorNormalized(AffineVectorCrossProduct(AffineVectorSubtract(p2, p1), AffineVectorSubtract(p3, p1)));
}

void TriangleNormalTo(const TAffineVector& p1, const TAffineVector& p2, const TAffineVector& p3, TAffineVector& r) {
  r = TriangleNormal(p1, p2, p3);
}

// ---- quaternions -------------------------------------------------------------------------

float QuaternionMagnitude(const TQuaternion& q) {
  const TAffineVector& v = q.ImagPart;
  return float(
      std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2] + double(q.RealPart) * q.RealPart));
}

void QuaternionNormalize(TQuaternion& q) {
  const float m = QuaternionMagnitude(q);
  if (m <= cEpsilon30) {
    q = IdentityQuaternion;
    return;
  }
  const double f = 1.0 / m;
  for (int i = 0; i < 3; ++i) q.ImagPart[i] = float(q.ImagPart[i] * f);
  q.RealPart = float(q.RealPart * f);
}

void QuaternionMultiply(const TQuaternion& qa, const TQuaternion& qb, TQuaternion& r) {
  const double ax = qa.ImagPart[0], ay = qa.ImagPart[1], az = qa.ImagPart[2], aw = qa.RealPart;
  const double bx = qb.ImagPart[0], by = qb.ImagPart[1], bz = qb.ImagPart[2], bw = qb.RealPart;
  r.ImagPart[0] = float(aw * bx + ax * bw + ay * bz - az * by);
  r.ImagPart[1] = float(aw * by + ay * bw + az * bx - ax * bz);
  r.ImagPart[2] = float(aw * bz + az * bw + ax * by - ay * bx);
  r.RealPart = float(aw * bw - ax * bx - ay * by - az * bz);
}

TQuaternion QuaternionMultiply(const TQuaternion& a, const TQuaternion& b) {
  TQuaternion r;
  QuaternionMultiply(a, b, r);
  return r;
}

TMatrix4f QuaternionToMatrix(const TQuaternion& quat) {
  TQuaternion q = quat;
  QuaternionNormalize(q);  // a zero quaternion becomes the identity
  const double x = q.ImagPart[0], y = q.ImagPart[1], z = q.ImagPart[2], w = q.RealPart;
  const double xx = x * x, xy = x * y, xz = x * z, xw = x * w;
  const double yy = y * y, yz = y * z, yw = y * w, zz = z * z, zw = z * w;
  return {{{float(1 - 2 * (yy + zz)), float(2 * (xy + zw)), float(2 * (xz - yw)), 0},
           {float(2 * (xy - zw)), float(1 - 2 * (xx + zz)), float(2 * (yz + xw)), 0},
           {float(2 * (xz + yw)), float(2 * (yz - xw)), float(1 - 2 * (xx + yy)), 0},
           {0, 0, 0, 1}}};
}

TQuaternion QuaternionFromAxisAngle(const TAffineVector& axis, float angleDeg) {
  const double half = DegToRadExtended(double(angleDeg) * 0.5);
  const double s = std::sin(half) / AffineVectorLength(axis);
  return {{float(axis[0] * s), float(axis[1] * s), float(axis[2] * s)}, float(std::cos(half))};
}

TQuaternion QuaternionFromEulerUnchecked(float x, float y, float z, TEulerOrder order) {
  const TQuaternion qx = QuaternionFromAxisAngle(XVector, x);
  const TQuaternion qy = QuaternionFromAxisAngle(YVector, y);
  const TQuaternion qz = QuaternionFromAxisAngle(ZVector, z);
  const TQuaternion* s1;
  const TQuaternion* s2;
  const TQuaternion* s3;
  switch (order) {
    case eulXYZ:
      s1 = &qx;
      s2 = &qy;
      s3 = &qz;
      break;
    case eulXZY:
      s1 = &qx;
      s2 = &qz;
      s3 = &qy;
      break;
    case eulYXZ:
      s1 = &qy;
      s2 = &qx;
      s3 = &qz;
      break;
    case eulYZX:
      s1 = &qy;
      s2 = &qz;
      s3 = &qx;
      break;
    case eulZXY:
      s1 = &qz;
      s2 = &qx;
      s3 = &qy;
      break;
    default:
      s1 = &qz;
      s2 = &qy;
      s3 = &qx;
      break;  // eulZYX
  }
  return QuaternionMultiply(*s1, QuaternionMultiply(*s2, *s3));
}

TQuaternion QuaternionFromEuler(float x, float y, float z, TEulerOrder order) {
  float a[3] = {NormalizeDegAngle(x), NormalizeDegAngle(y), NormalizeDegAngle(z)};
  int mid;  // index of the middle angle of the order
  switch (order) {
    case eulXYZ:
    case eulZYX: mid = 1; break;
    case eulXZY:
    case eulYZX: mid = 2; break;
    default: mid = 0; break;  // eulYXZ, eulZXY
  }
  // At +-90 degrees on the middle axis the three rotations degenerate (gimbal lock): take the
  // midpoint of the two near neighbours instead.
  if (std::fabs(double(a[mid]) - 90.0) < cEpsilon30 || std::fabs(double(a[mid]) + 90.0) < cEpsilon30) {
    float lo[3] = {a[0], a[1], a[2]}, hi[3] = {a[0], a[1], a[2]};
    lo[mid] -= 0.001f;
    hi[mid] += 0.001f;
    const TQuaternion q1 = QuaternionFromEulerUnchecked(lo[0], lo[1], lo[2], order);
    const TQuaternion q2 = QuaternionFromEulerUnchecked(hi[0], hi[1], hi[2], order);
    return QuaternionSlerp(q1, q2, 0.5f);
  }
  return QuaternionFromEulerUnchecked(a[0], a[1], a[2], order);
}

TQuaternion QuaternionSlerp(const TQuaternion& q1, const TQuaternion& qb, float t) {
  TQuaternion q2 = qb;
  double cosom = double(q1.ImagPart[0]) * q2.ImagPart[0] + double(q1.ImagPart[1]) * q2.ImagPart[1] +
                 double(q1.ImagPart[2]) * q2.ImagPart[2] + double(q1.RealPart) * q2.RealPart;
  if (cosom < 0) {  // the shorter arc
    cosom = -cosom;
    for (int i = 0; i < 3; ++i) q2.ImagPart[i] = -q2.ImagPart[i];
    q2.RealPart = -q2.RealPart;
  }
  double w1, w2;
  if (1.0 - cosom <= cEpsilon30) {
    w1 = 1.0 - t;
    w2 = t;
  } else {
    const double omega = ArcCosExtended(cosom), sinom = std::sin(omega);
    w1 = std::sin((1.0 - t) * omega) / sinom;
    w2 = std::sin(t * omega) / sinom;
  }
  TQuaternion r;
  for (int i = 0; i < 3; ++i) r.ImagPart[i] = float(w1 * q1.ImagPart[i] + w2 * q2.ImagPart[i]);
  r.RealPart = float(w1 * q1.RealPart + w2 * q2.RealPart);
  QuaternionNormalize(r);
  return r;
}

void VectorAngleLerp(const TAffineVector& a, const TAffineVector& b, TAffineVector& r, float t) {
  if (AffineVectorEquals(a, b)) {
    r = a;
    return;
  }
  const TQuaternion qa = QuaternionFromEuler(RadToDegSingle(a[0]), RadToDegSingle(a[1]), RadToDegSingle(a[2]), eulZYX);
  const TQuaternion qb = QuaternionFromEuler(RadToDegSingle(b[0]), RadToDegSingle(b[1]), RadToDegSingle(b[2]), eulZYX);
  TTransformations tr{};
  MatrixDecompose(QuaternionToMatrix(QuaternionSlerp(qa, qb, t)), tr);
  r = {tr[ttRotateX], tr[ttRotateY], tr[ttRotateZ]};
}

// ---- scalar maths ------------------------------------------------------------------------

float IntPowerSingle(float base, int exponent) {
  long long e = exponent;
  const bool negative = e < 0;
  unsigned long long n = negative ? static_cast<unsigned long long>(-e) : static_cast<unsigned long long>(e);
  double result = 1.0, b = base;
  while (n != 0) {
    if (n & 1) result *= b;
    b *= b;
    n >>= 1;
  }
  return float(negative ? 1.0 / result : result);
}

float PowerSingle(float base, float exponent) {
  if (exponent == 0) return 1;
  if (base == 0 && exponent > 0) return 0;
  const float rounded = std::nearbyint(exponent);
  // Exponents beyond the integer range take the general path instead of an overflowing cast.
  if (exponent == rounded && std::fabs(rounded) <= float(INT_MAX / 2))
    return IntPowerSingle(base, static_cast<int>(rounded));
  return float(std::exp(double(exponent) * std::log(double(base))));
}

float NormalizeDegAngle(float angle) {
  double a = double(angle) - std::trunc(double(angle) * cInv360) * 360.0;
  if (a > 180)
    a -= 360;
  else if (a < -180)
    a += 360;
  return float(a);
}

static inline double Clamp1(double x) { return x < -1.0 ? -1.0 : (x > 1.0 ? 1.0 : x); }

double ArcCosExtended(double x) {
  x = Clamp1(x);
  return std::atan2(std::sqrt(1.0 - x * x), x);
}

float ArcCosSingle(float x) { return float(ArcCosExtended(x)); }

double ArcSinExtended(double x) {
  x = Clamp1(x);
  return std::atan2(x, std::sqrt(1.0 - x * x));
}

// ---- minima, maxima ----------------------------------------------------------------------

float MinFloatArray(const float* values, int highIndex) {
  if (highIndex < 0) return 0;
  float r = values[0];
  for (int i = 1; i <= highIndex; ++i)
    if (values[i] < r) r = values[i];
  return r;
}

float MaxFloatArray(const float* values, int highIndex) {
  if (highIndex < 0) return 0;
  float r = values[0];
  for (int i = 1; i <= highIndex; ++i)
    if (values[i] > r) r = values[i];
  return r;
}

// ---- visibility --------------------------------------------------------------------------

bool RayCastPlaneIntersect(const TVector4f& rayStart, const TVector4f& rayVector, const TVector4f& planePoint,
                           const TVector4f& planeNormal, TVector4f* intersectPoint) {
  const float d = VectorDotProduct(rayVector, planeNormal);
  if (std::fabs(d) <= cEpsilon30) return false;
  if (!intersectPoint) return true;
  const float t = VectorDotProduct(VectorSubtract(planePoint, rayStart), planeNormal) / d;
  if (t <= 0) return false;
  *intersectPoint = VectorAddScaled(rayStart, rayVector, t);
  return true;
}

bool RayCastTriangleIntersect(const TVector4f& rayStart, const TVector4f& rayVector, const TAffineVector& p1,
                              const TAffineVector& p2, const TAffineVector& p3, TVector4f* intersectPoint,
                              TVector4f* intersectNormal) {
  const TAffineVector dir = AffineVectorFromVector(rayVector);
  const TAffineVector e1 = AffineVectorSubtract(p2, p1);
  const TAffineVector e2 = AffineVectorSubtract(p3, p1);
  const TAffineVector pvec = AffineVectorCrossProduct(dir, e2);
  const float det = AffineVectorDotProduct(e1, pvec);
  if (std::fabs(det) < cEpsilon30) return false;
  const float invDet = 1.0f / det;
  const TAffineVector tvec = AffineVectorSubtract(AffineVectorFromVector(rayStart), p1);
  const float u = AffineVectorDotProduct(tvec, pvec) * invDet;
  if (u < 0 || u > 1) return false;
  const TAffineVector qvec = AffineVectorCrossProduct(tvec, e1);
  const float v = AffineVectorDotProduct(dir, qvec) * invDet;
  if (v < 0 || u + v > 1) return false;
  const float t = AffineVectorDotProduct(e2, qvec) * invDet;
  if (t <= 0) return false;
  if (intersectPoint) *intersectPoint = VectorAddScaled(rayStart, rayVector, t);
  if (intersectNormal) *intersectNormal = VectorMakeFromAffine(AffineVectorCrossProduct(e1, e2), 0);
  return true;
}

int RayCastSphereIntersect(const TVector4f& rayStart, const TVector4f& rayVector, const TVector4f& centre, float radius,
                           TVector4f& i1, TVector4f& i2) {
  const TAffineVector start = AffineVectorFromVector(rayStart), dir = AffineVectorFromVector(rayVector);
  const TAffineVector c = AffineVectorFromVector(centre);
  const float proj = AffineVectorDotProduct(AffineVectorSubtract(c, start), dir);
  const TAffineVector closest = AffineVectorCombine(start, dir, 1, proj);
  const float d2 = float(double(radius) * radius - AffineVectorDistanceSquared(c, closest));
  const int32_t bits = FloatBits(d2);
  if (bits < 0) return 0;  // negative, -0.0 included
  if (bits == 0) {         // +0.0: the ray grazes the sphere
    if (proj > 0) {
      i1 = VectorAddScaled(rayStart, rayVector, proj);
      return 1;
    }
    return 0;
  }
  const float s = std::sqrt(d2);
  if (proj >= s) {
    i1 = VectorAddScaled(rayStart, rayVector, proj - s);
    i2 = VectorAddScaled(rayStart, rayVector, proj + s);
    return 2;
  }
  if (proj + s >= 0) {
    i1 = VectorAddScaled(rayStart, rayVector, proj + s);
    return 1;
  }
  return 0;
}

float SphereTangentConeRadius(float distance, float radius) {
  const float d2 = distance * distance, r2 = radius * radius;
  const float c = std::sqrt(d2 - r2);
  const float x = (d2 + r2 - c * c) / (2 * c);
  return std::sqrt(x * x + r2);
}

TFrustum ExtractFrustum(const TMatrix4f& m) {
  auto column = [&m](int k) { return TVector4f{m[0][k], m[1][k], m[2][k], m[3][k]}; };
  const TVector4f c0 = column(0), c1 = column(1), c2 = column(2), c3 = column(3);
  TFrustum f{VectorAdd(c3, c0), VectorSubtract(c3, c1), VectorSubtract(c3, c0),
             VectorAdd(c3, c1), VectorAdd(c3, c2),      VectorSubtract(c3, c2)};
  PlaneNormalize(f.pLeft);
  PlaneNormalize(f.pTop);
  PlaneNormalize(f.pRight);
  PlaneNormalize(f.pBottom);
  PlaneNormalize(f.pNear);
  PlaneNormalize(f.pFar);
  return f;
}

bool IsSphereClipped(const TVector4f& centre, const TFrustum& frustum, float radius) {
  const TAffineVector p = AffineVectorFromVector(centre);
  const float negRadius = -radius;
  for (const TVector4f* plane :
       {&frustum.pLeft, &frustum.pTop, &frustum.pRight, &frustum.pBottom, &frustum.pNear, &frustum.pFar})
    if (PlaneEvaluatePoint(*plane, p) < negRadius) return true;
  return false;
}

bool IsSphereClippedVector(const TAffineVector& centre, const TFrustum& frustum, float radius) {
  return IsSphereClipped(PointMake(centre), frustum, radius);
}

bool IsBoxClipped(const TAffineVector& min, const TAffineVector& max, const TFrustum& frustum) {
  const TAffineVector centre = AffineVectorScaled(AffineVectorAdd(min, max), 0.5f);
  return IsSphereClippedVector(centre, frustum, AffineVectorDistance(min, max) * 0.5f);
}
