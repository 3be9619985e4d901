// Single-precision vector, matrix, plane and quaternion arithmetic.
//
// Stateless free functions over the value types of VectorTypes.h. Conventions:
// - row vectors multiplied on the left (v' = v * M), translation in row 3;
// - angles in radians unless a name or comment says degrees;
// - sums of products are formed in double and rounded to single when stored;
// - nothing allocates; every function may be called with aliased arguments.
// Normalising a zero vector yields NaNs (no guard), as callers in hot loops rely on speed.
#pragma once

#include <cmath>
#include <cstring>
#include <numbers>

#include "Source/Base/VectorTypes.h"

// ---- constants ---------------------------------------------------------------------------

inline constexpr TAffineVector XVector{1, 0, 0};
inline constexpr TAffineVector YVector{0, 1, 0};
inline constexpr TAffineVector ZVector{0, 0, 1};
inline constexpr TAffineVector NullVector{0, 0, 0};
inline constexpr TVector4f XHmgVector{1, 0, 0, 0};
inline constexpr TVector4f YHmgVector{0, 1, 0, 0};
inline constexpr TVector4f ZHmgVector{0, 0, 1, 0};
inline constexpr TVector4f WHmgVector{0, 0, 0, 1};
inline constexpr TVector4f NullHmgVector{0, 0, 0, 0};
inline constexpr TVector4f NullHmgPoint{0, 0, 0, 1};
inline constexpr TMatrix4f IdentityHmgMatrix{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
inline constexpr TQuaternion IdentityQuaternion{{0, 0, 0}, 1};

// Order of sort keys such as depths: ascending, every NaN after all numbers. A plain "<" is no
// ordering once a NaN is among the keys, and a sort given it scatters the other keys.
inline bool SortKeyLess(float a, float b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

inline constexpr float cPIdiv180 = 0.0174532924f;
inline constexpr float c180divPI = 57.2957802f;
inline constexpr float c2PI = 6.28318548f;
inline constexpr float cPIdiv2 = 1.57079637f;
inline constexpr float cInv360 = 1.0f / 360.0f;
inline constexpr float c180 = 180.0f;
inline constexpr float c360 = 360.0f;
// Zero-determinant threshold: the single nearest 1e-40, a denormal.
inline constexpr float cEpsilon40 = 1e-40f;
// Threshold of every other "is zero" test.
inline constexpr float cEpsilon30 = 1e-30f;

// ---- makers and copies -------------------------------------------------------------------

inline TAffineVector AffineVectorMake(float x, float y, float z) { return {x, y, z}; }
inline TAffineVector AffineVectorMake(const TVector4f& v) { return {v[0], v[1], v[2]}; }
inline void SetAffineVector(TAffineVector& v, float x, float y, float z) { v = {x, y, z}; }
inline void MakeAffineVector(TAffineVector& v, float x, float y, float z) { v = {x, y, z}; }
inline TVector4f VectorMake(float x, float y, float z, float w = 0) { return {x, y, z, w}; }
inline void SetVector(TVector4f& v, float x, float y, float z, float w = 0) { v = {x, y, z, w}; }
inline TVector4f PointMake(float x, float y, float z) { return {x, y, z, 1}; }
inline TVector4f PointMake(const TAffineVector& v) { return {v[0], v[1], v[2], 1}; }
inline void MakePoint(TVector4f& v, float x, float y, float z) { v = {x, y, z, 1}; }
inline TVector4f VectorMakeFromAffine(const TAffineVector& v, float w = 0) { return {v[0], v[1], v[2], w}; }
inline void SetVectorFromAffine(TVector4f& r, const TAffineVector& v, float w = 0) { r = {v[0], v[1], v[2], w}; }
inline void SetPointFromAffine(TVector4f& r, const TAffineVector& v) { r = {v[0], v[1], v[2], 1}; }
inline void MakePointFromAffine(TVector4f& r, const TAffineVector& v) { r = {v[0], v[1], v[2], 1}; }
inline TVector4f PointMakeFromAffine(const TAffineVector& v) { return {v[0], v[1], v[2], 1}; }
inline void SetDirectionFromAffine(TVector4f& r, const TAffineVector& v) { r = {v[0], v[1], v[2], 0}; }
inline void MakeDirectionFromAffine(TVector4f& r, const TAffineVector& v) { r = {v[0], v[1], v[2], 0}; }
inline TAffineVector AffineVectorFromVector(const TVector4f& v) { return {v[0], v[1], v[2]}; }
inline void AffineVectorCopy(const TVector4f& src, TAffineVector& dst) { dst = {src[0], src[1], src[2]}; }
inline void AffineVectorAssign(TAffineVector& dst, const TVector4f& src) { dst = {src[0], src[1], src[2]}; }
inline void VectorCopy(const TVector4f& src, TVector4f& dst) { dst = src; }
inline void VectorClear(TVector4f& v) { v = {0, 0, 0, 0}; }
inline void VectorClear(TAffineVector& v) { v = {0, 0, 0}; }
inline TAffineDblVector AffineVectorToDouble(const TAffineVector& v) { return {v[0], v[1], v[2]}; }
inline TVector4d VectorToDouble(const TVector4f& v) { return {v[0], v[1], v[2], v[3]}; }
TMatrix4d MatrixToDouble(const TMatrix4f& m);

// ---- add, subtract -----------------------------------------------------------------------

inline TAffineVector AffineVectorAdd(const TAffineVector& a, const TAffineVector& b) {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
inline TVector4f VectorAdd(const TVector4f& a, const TVector4f& b) {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2], a[3] + b[3]};
}
inline void AffineVectorAddInPlace(TAffineVector& a, const TAffineVector& b) { a = AffineVectorAdd(a, b); }
inline void VectorAddInPlace(TVector4f& a, const TVector4f& b) { a = VectorAdd(a, b); }
inline TVector4f VectorAddScalar(const TVector4f& v, float f) { return {v[0] + f, v[1] + f, v[2] + f, v[3] + f}; }
inline TAffineVector AffineVectorSubtract(const TAffineVector& a, const TAffineVector& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
inline TAffineVector AffineVectorDifference(const TAffineVector& a, const TAffineVector& b) {
  return AffineVectorSubtract(a, b);
}
inline TVector4f VectorSubtract(const TVector4f& a, const TVector4f& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2], a[3] - b[3]};
}
inline TVector4f VectorDifference(const TVector4f& a, const TVector4f& b) { return VectorSubtract(a, b); }
inline void AffineVectorSubtractInPlace(TAffineVector& a, const TAffineVector& b) { a = AffineVectorSubtract(a, b); }
inline void VectorSubtractInPlace(TVector4f& a, const TVector4f& b) { a = VectorSubtract(a, b); }
inline TVector4f VectorSubtractScalar(const TVector4f& v, float f) { return {v[0] - f, v[1] - f, v[2] - f, v[3] - f}; }
// x, y, z difference with w = 0.
inline TVector4f PointSubtractToDirection(const TVector4f& a, const TVector4f& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2], 0};
}
// x, y, z difference with w copied from a.
inline TVector4f VectorSubtractKeepW(const TVector4f& a, const TVector4f& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2], a[3]};
}
// dst[i] := src[i] + delta for i < n; dst may equal src.
void AffineVectorArrayAdd(const TAffineVector* src, const TAffineVector& delta, int n, TAffineVector* dst);

// ---- combine -----------------------------------------------------------------------------

// a := a + b * f
inline void AffineVectorAddScaledInPlace(TAffineVector& a, const TAffineVector& b, float f) {
  a = {float(a[0] + double(b[0]) * f), float(a[1] + double(b[1]) * f), float(a[2] + double(b[2]) * f)};
}
// v1 * f1 + v2 * f2
inline TAffineVector AffineVectorCombine(const TAffineVector& v1, const TAffineVector& v2, float f1, float f2) {
  return {float(double(v1[0]) * f1 + double(v2[0]) * f2), float(double(v1[1]) * f1 + double(v2[1]) * f2),
          float(double(v1[2]) * f1 + double(v2[2]) * f2)};
}
inline TVector4f VectorCombine(const TVector4f& v1, const TVector4f& v2, float f1, float f2) {
  return {float(double(v1[0]) * f1 + double(v2[0]) * f2), float(double(v1[1]) * f1 + double(v2[1]) * f2),
          float(double(v1[2]) * f1 + double(v2[2]) * f2), float(double(v1[3]) * f1 + double(v2[3]) * f2)};
}
// v := v + w * f over four components
inline void VectorCombineInPlace(TVector4f& v, const TVector4f& w, float f) { v = VectorCombine(v, w, 1, f); }
// a + b * f over four components
inline TVector4f VectorAddScaled(const TVector4f& a, const TVector4f& b, float f) { return VectorCombine(a, b, 1, f); }
// v1 := v1 + v2 * f2
inline void AffineVectorCombineInPlace(TAffineVector& v1, const TAffineVector& v2, float f2) {
  v1 = AffineVectorCombine(v1, v2, 1, f2);
}

// ---- products ----------------------------------------------------------------------------

inline float VectorDotProduct(const TVector4f& a, const TVector4f& b) {
  return float(double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2] + double(a[3]) * b[3]);
}
inline float AffineVectorDotProduct(const TAffineVector& a, const TAffineVector& b) {
  return float(double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2]);
}
// (p - origin) . direction over x, y, z
inline float PointProject(const TVector4f& p, const TVector4f& origin, const TVector4f& direction) {
  return float(double(direction[0]) * (double(p[0]) - origin[0]) + double(direction[1]) * (double(p[1]) - origin[1]) +
               double(direction[2]) * (double(p[2]) - origin[2]));
}
inline TAffineVector AffineVectorCrossProduct(const TAffineVector& a, const TAffineVector& b) {
  return {float(double(a[1]) * b[2] - double(a[2]) * b[1]), float(double(a[2]) * b[0] - double(a[0]) * b[2]),
          float(double(a[0]) * b[1] - double(a[1]) * b[0])};
}
// x, y, z cross product, w = 0.
inline TVector4f VectorCrossProduct(const TVector4f& a, const TVector4f& b) {
  return {float(double(a[1]) * b[2] - double(a[2]) * b[1]), float(double(a[2]) * b[0] - double(a[0]) * b[2]),
          float(double(a[0]) * b[1] - double(a[1]) * b[0]), 0};
}

// ---- interpolation: start + (stop - start) * t --------------------------------------------

inline float LerpSingle(float start, float stop, float t) { return float(start + (double(stop) - start) * t); }
inline TAffineVector AffineVectorLerp(const TAffineVector& a, const TAffineVector& b, float t) {
  return {LerpSingle(a[0], b[0], t), LerpSingle(a[1], b[1], t), LerpSingle(a[2], b[2], t)};
}
inline TVector4f VectorLerp(const TVector4f& a, const TVector4f& b, float t) {
  return {LerpSingle(a[0], b[0], t), LerpSingle(a[1], b[1], t), LerpSingle(a[2], b[2], t), LerpSingle(a[3], b[3], t)};
}
inline TVector4f VectorInterpolate(const TVector4f& a, const TVector4f& b, float t) { return VectorLerp(a, b, t); }
// out[i] := lerp(a[i], b[i], t) for i < n.
void VectorArrayLerp(const TVector4f* a, const TVector4f* b, float t, int n, TVector4f* out);
void AffineVectorArrayLerp(const TAffineVector* a, const TAffineVector* b, float t, int n, TAffineVector* out);
// Interpolates two triples of rotation angles (radians) through quaternions.
void VectorAngleLerp(const TAffineVector& a, const TAffineVector& b, TAffineVector& r, float t);

// ---- lengths, distances ------------------------------------------------------------------

inline float VectorLength2D(const TVector2f& v) { return float(std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1])); }
inline float SquaredLength2D(const TVector2f& v) { return float(double(v[0]) * v[0] + double(v[1]) * v[1]); }
inline float AffineVectorSquaredLength(const TAffineVector& v) {
  return float(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]);
}
inline float AffineVectorLength(const TAffineVector& v) {
  return float(std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]));
}
// Length of x, y, z; w ignored.
inline float VectorXYZLength(const TVector4f& v) {
  return float(std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]));
}
inline float AffineVectorDistanceSquared(const TAffineVector& a, const TAffineVector& b) {
  double dx = double(a[0]) - b[0], dy = double(a[1]) - b[1], dz = double(a[2]) - b[2];
  return float(dx * dx + dy * dy + dz * dz);
}
inline float AffineVectorDistance(const TAffineVector& a, const TAffineVector& b) {
  double dx = double(a[0]) - b[0], dy = double(a[1]) - b[1], dz = double(a[2]) - b[2];
  return float(std::sqrt(dx * dx + dy * dy + dz * dz));
}
// Sum of the absolute component differences.
inline float AffineVectorSpacing(const TAffineVector& a, const TAffineVector& b) {
  return float(std::fabs(double(a[0]) - b[0]) + std::fabs(double(a[1]) - b[1]) + std::fabs(double(a[2]) - b[2]));
}

// ---- normalisation (no zero guard) --------------------------------------------------------

inline TAffineVector AffineVectorNormalized(const TAffineVector& v) {
  double inv = 1.0 / std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]);
  return {float(v[0] * inv), float(v[1] * inv), float(v[2] * inv)};
}
inline void AffineVectorNormalize(TAffineVector& v) { v = AffineVectorNormalized(v); }
// x, y, z normalised, w := 0.
inline TVector4f VectorNormalized(const TVector4f& v) {
  double inv = 1.0 / std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]);
  return {float(v[0] * inv), float(v[1] * inv), float(v[2] * inv), 0};
}
inline void VectorNormalize(TVector4f& v) { v = VectorNormalized(v); }
void AffineVectorArrayNormalize(TAffineVector* v, int n);
// (a . b) / sqrt(|a|^2 |b|^2); no zero guard.
inline float AffineVectorAngleCosine(const TAffineVector& a, const TAffineVector& b) {
  double dot = double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2];
  double la = double(a[0]) * a[0] + double(a[1]) * a[1] + double(a[2]) * a[2];
  double lb = double(b[0]) * b[0] + double(b[1]) * b[1] + double(b[2]) * b[2];
  return float(dot / std::sqrt(la * lb));
}

// ---- sign and scale ----------------------------------------------------------------------

inline TAffineVector AffineVectorNegated(const TAffineVector& v) { return {-v[0], -v[1], -v[2]}; }
inline TVector4f VectorNegated(const TVector4f& v) { return {-v[0], -v[1], -v[2], -v[3]}; }
inline void AffineVectorNegate(TAffineVector& v) { v = AffineVectorNegated(v); }
inline void VectorNegate(TVector4f& v) { v = VectorNegated(v); }
inline TAffineVector AffineVectorScaled(const TAffineVector& v, float f) { return {v[0] * f, v[1] * f, v[2] * f}; }
inline TVector4f VectorScaled(const TVector4f& v, float f) { return {v[0] * f, v[1] * f, v[2] * f, v[3] * f}; }
inline void AffineVectorScale(TAffineVector& v, float f) { v = AffineVectorScaled(v, f); }
inline void VectorScale(TVector4f& v, float f) { v = VectorScaled(v, f); }
inline void VectorScaledTo(const TVector4f& v, float f, TVector4f& r) { r = VectorScaled(v, f); }
// Component-wise products.
inline void AffineVectorScaleByVector(TAffineVector& v, const TAffineVector& s) {
  v = {v[0] * s[0], v[1] * s[1], v[2] * s[2]};
}
inline TVector4f VectorComponentMultiply(const TVector4f& a, const TVector4f& b) {
  return {a[0] * b[0], a[1] * b[1], a[2] * b[2], a[3] * b[3]};
}
void ScaleFloatArray(float* values, int n, float factor);
inline TVector4f VectorAbs(const TVector4f& v) {
  return {std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2]), std::fabs(v[3])};
}
// v - (v . n) n, n taken as a unit vector.
inline TAffineVector AffineVectorRemoveComponent(const TAffineVector& v, const TAffineVector& n) {
  double d = double(v[0]) * n[0] + double(v[1]) * n[1] + double(v[2]) * n[2];
  return {float(v[0] - d * n[0]), float(v[1] - d * n[1]), float(v[2] - d * n[2])};
}

// ---- comparisons -------------------------------------------------------------------------

// Bit for bit: 0.0 and -0.0 differ, a NaN equals the same NaN.
inline bool VectorEquals(const TVector4f& a, const TVector4f& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline bool AffineVectorEquals(const TAffineVector& a, const TAffineVector& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}
// Float comparison with 0: -0.0 counts as null.
inline bool AffineVectorIsNull(const TAffineVector& v) { return v[0] == 0 && v[1] == 0 && v[2] == 0; }
inline bool AffineVectorIsZero(const TAffineVector& v) { return AffineVectorIsNull(v); }

// ---- matrix makers -----------------------------------------------------------------------

// Diagonal (scale.xyz, 1), row 3 = (offset.xyz, 1).
TMatrix4f CreateScaleAndTranslationMatrix(const TVector4f& scale, const TVector4f& offset);
// Single-axis rotations from a sine and a cosine.
TMatrix4f CreateRotationMatrixX(float sine, float cosine);
TMatrix4f CreateRotationMatrixY(float sine, float cosine);
TMatrix4f CreateRotationMatrixZ(float sine, float cosine);
// Rotation about an arbitrary axis (normalised here). Note the convention: rotating X about +Z
// by +pi/2 gives -Y, the transpose of CreateRotationMatrixZ.
TMatrix4f CreateRotationMatrix(const TAffineVector& axis, float angle);
// The same from the sine and cosine of the angle.
TMatrix4f CreateRotationMatrix(const TAffineVector& axis, double sine, double cosine);
TMatrix4f CreateRotationMatrixFromVector(const TVector4f& axis, float angle);
// Projects onto the plane (point, normal) away from a light (w = 0 for a directional light).
TMatrix4f MakeShadowMatrix(const TVector4f& planePoint, const TVector4f& planeNormal, const TVector4f& lightPos);
// Mirror through the plane (point, unit normal).
TMatrix4f MakeReflectionMatrix(const TAffineVector& planePoint, const TAffineVector& planeNormal);

// ---- rotation of vectors -----------------------------------------------------------------

TAffineVector VectorRotateAroundAxis(const TAffineVector& v, const TAffineVector& axis, float angle);
TVector4f VectorRotateAroundAxis(const TVector4f& v, const TAffineVector& axis, float angle);
void RotateVectorAroundAxis(TVector4f& v, const TAffineVector& axis, float angle);
// x' = c x + s z, z' = c z - s x
void AffineVectorRotateAroundY(TAffineVector& v, float angle);

// ---- matrix operations -------------------------------------------------------------------

// r := a * b. r must be neither a nor b.
void MatrixMultiplyUnaliased(const TMatrix4f& a, const TMatrix4f& b, TMatrix4f& r);
// r := a * b; r may alias a or b.
void MatrixMultiply(const TMatrix4f& a, const TMatrix4f& b, TMatrix4f& r);
TMatrix4f MatrixMultiply(const TMatrix4f& a, const TMatrix4f& b);
// Row vector times matrix over four components; r may alias v.
void VectorTransform(const TVector4f& v, const TMatrix4f& m, TVector4f& r);
TVector4f VectorTransform(const TVector4f& v, const TMatrix4f& m);
// v as a point: x*row0 + y*row1 + z*row2 + row3, no division by w.
TAffineVector AffineVectorTransform(const TAffineVector& v, const TMatrix4f& m);
float MatrixDeterminant3x3(float a1, float a2, float a3, float b1, float b2, float b3, float c1, float c2, float c3);
float MatrixDeterminant(const TMatrix4f& m);
// Replaces m by its adjoint (transposed matrix of cofactors).
void MatrixAdjoint(TMatrix4f& m);
void MatrixScaleAll(TMatrix4f& m, float factor);
// dst's 3x3 part := transpose(src's 3x3 part) * factor; other elements of dst untouched.
void Matrix3x3TransposeScaled(const TMatrix4f& src, float factor, TMatrix4f& dst);
void MatrixOrthonormalize(TMatrix4f& m);
void MatrixTranspose(TMatrix4f& m);
// In place; a matrix with |det| < 1e-40 becomes the identity.
void MatrixInvert(TMatrix4f& m);
// Inverse of rotation * uniform scale + translation; identity when the scale is ~0.
TMatrix4f MatrixInvertUniformScale(const TMatrix4f& m);
// Scale, shear, rotation, translation and perspective; false for a singular matrix.
bool MatrixDecompose(const TMatrix4f& m, TTransformations& tran);

// ---- planes ------------------------------------------------------------------------------

// (n.x, n.y, n.z, -(p . n))
inline TVector4f PlaneMake(const TAffineVector& point, const TAffineVector& normal) {
  return {normal[0], normal[1], normal[2], -AffineVectorDotProduct(point, normal)};
}
inline TVector4f PlaneMake(const TVector4f& point, const TVector4f& normal) {
  return {normal[0], normal[1], normal[2],
          -float(double(point[0]) * normal[0] + double(point[1]) * normal[1] + double(point[2]) * normal[2])};
}
void PlaneNormalize(TVector4f& plane);
// a x + b y + c z + d
inline float PlaneEvaluatePoint(const TVector4f& plane, const TAffineVector& p) {
  return float(double(plane[0]) * p[0] + double(plane[1]) * p[1] + double(plane[2]) * p[2] + plane[3]);
}
// normalise((p2 - p1) x (p3 - p1))
TAffineVector TriangleNormal(const TAffineVector& p1, const TAffineVector& p2, const TAffineVector& p3);
void TriangleNormalTo(const TAffineVector& p1, const TAffineVector& p2, const TAffineVector& p3, TAffineVector& r);

// ---- quaternions -------------------------------------------------------------------------

float QuaternionMagnitude(const TQuaternion& q);
// Magnitude <= 1e-30 gives the identity quaternion.
void QuaternionNormalize(TQuaternion& q);
// Hamilton product a b.
void QuaternionMultiply(const TQuaternion& a, const TQuaternion& b, TQuaternion& r);
TQuaternion QuaternionMultiply(const TQuaternion& a, const TQuaternion& b);
TMatrix4f QuaternionToMatrix(const TQuaternion& q);
// angle in degrees
TQuaternion QuaternionFromAxisAngle(const TAffineVector& axis, float angleDeg);
// angles in degrees
TQuaternion QuaternionFromEulerUnchecked(float x, float y, float z, TEulerOrder order);
TQuaternion QuaternionFromEuler(float x, float y, float z, TEulerOrder order);
// Shorter arc; normalised result.
TQuaternion QuaternionSlerp(const TQuaternion& q1, const TQuaternion& q2, float t);

// ---- scalar maths ------------------------------------------------------------------------

float PowerSingle(float base, float exponent);
float IntPowerSingle(float base, int exponent);
inline double DegToRadExtended(double deg) { return deg * (std::numbers::pi / 180.0); }
inline float DegToRadSingle(float deg) { return deg * cPIdiv180; }
inline double RadToDegExtended(double rad) { return rad * (180.0 / std::numbers::pi); }
inline float RadToDegSingle(float rad) { return rad * c180divPI; }
// Folds an angle in degrees into [-180, 180].
float NormalizeDegAngle(float angle);
// Sine first, cosine second.
inline void SinCosExtended(double theta, double& s, double& c) {
  s = std::sin(theta);
  c = std::cos(theta);
}
inline void SinCosSingle(float theta, float& s, float& c) {
  s = float(std::sin(double(theta)));
  c = float(std::cos(double(theta)));
}
inline void SinCosScaled(double theta, double radius, double& s, double& c) {
  s = radius * std::sin(theta);
  c = radius * std::cos(theta);
}
// Arguments outside [-1, 1] (rounding noise) are clamped instead of giving NaN.
double ArcCosExtended(double x);
float ArcCosSingle(float x);
double ArcSinExtended(double x);
inline double ArcTan2Extended(double y, double x) { return std::atan2(y, x); }
inline float ArcTan2Single(float y, float x) { return float(std::atan2(double(y), double(x))); }
inline double TanExtended(double x) { return std::tan(x); }
inline float RSqrt(float x) { return float(1.0 / std::sqrt(double(x))); }
// Truncation toward zero, as a float.
inline float IntSingle(float x) { return std::trunc(x); }
inline float TruncSingle(float x) { return std::trunc(x); }
// Keeps the sign of x.
inline float FracSingle(float x) { return x - std::trunc(x); }
// Current rounding mode: half to even by default.
inline float RoundSingle(float x) { return std::nearbyint(x); }

// ---- minima, maxima ----------------------------------------------------------------------

// Over values[0 .. highIndex]; 0 when highIndex < 0.
float MinFloatArray(const float* values, int highIndex);
float MaxFloatArray(const float* values, int highIndex);
inline float MinSingle(float a, float b) { return a < b ? a : b; }
inline float MaxSingle(float a, float b) { return a > b ? a : b; }
inline double MaxExtended(double a, double b) { return a > b ? a : b; }
inline float MaxOfThree(float a, float b, float c) { return MaxSingle(MaxSingle(a, b), c); }
inline int MaxInteger(int a, int b) { return a > b ? a : b; }
// Component-wise maximum.
inline TAffineVector VectorComponentMax(const TAffineVector& a, const TAffineVector& b) {
  return {MaxSingle(a[0], b[0]), MaxSingle(a[1], b[1]), MaxSingle(a[2], b[2])};
}
inline float ClampValue(float value, float min, float max) { return value < min ? min : (value > max ? max : value); }

// ---- visibility --------------------------------------------------------------------------

// With a point wanted, false also when the plane lies behind the ray start.
bool RayCastPlaneIntersect(const TVector4f& rayStart, const TVector4f& rayVector, const TVector4f& planePoint,
                           const TVector4f& planeNormal, TVector4f* intersectPoint = nullptr);
// Two-sided; the normal is e1 x e2, not normalised.
bool RayCastTriangleIntersect(const TVector4f& rayStart, const TVector4f& rayVector, const TAffineVector& p1,
                              const TAffineVector& p2, const TAffineVector& p3, TVector4f* intersectPoint = nullptr,
                              TVector4f* intersectNormal = nullptr);
// Number of hits (0, 1 or 2); rayVector must be a unit vector. From inside, the exit point in i1.
int RayCastSphereIntersect(const TVector4f& rayStart, const TVector4f& rayVector, const TVector4f& centre, float radius,
                           TVector4f& i1, TVector4f& i2);
// Radius at the sphere's distance of the eye cone tangent to the sphere.
float SphereTangentConeRadius(float distance, float radius);
// Planes from a combined model-view-projection matrix.
TFrustum ExtractFrustum(const TMatrix4f& modelViewProj);
bool IsSphereClipped(const TVector4f& centre, const TFrustum& frustum, float radius);
bool IsSphereClippedVector(const TAffineVector& centre, const TFrustum& frustum, float radius);
bool IsBoxClipped(const TAffineVector& min, const TAffineVector& max, const TFrustum& frustum);
