// Plain vector, matrix and quaternion value types of the engine.
//
// All types are tightly packed arrays of floats (or doubles) so that they can be handed to
// OpenGL and stored in packed lists as they are. Vectors are row vectors; matrices are
// row-major with the translation in row 3 (v' = v * M).
#pragma once

#include <cstddef>
#include <cstdint>

// Component indices, for readability of v[X] style access.
namespace VectorIndex {
inline constexpr int X = 0;
inline constexpr int Y = 1;
inline constexpr int Z = 2;
inline constexpr int W = 3;
}  // namespace VectorIndex

template <typename T, int N>
struct TVectorN {
  T V[N];
  constexpr T& operator[](int i) { return V[i]; }
  constexpr const T& operator[](int i) const { return V[i]; }
  T* data() { return V; }
  const T* data() const { return V; }
};

using TVector2f = TVectorN<float, 2>;
using TVector3f = TVectorN<float, 3>;
using TVector4f = TVectorN<float, 4>;
using TVector2d = TVectorN<double, 2>;
using TVector3d = TVectorN<double, 3>;
using TVector4d = TVectorN<double, 4>;
using TVector2i = TVectorN<int32_t, 2>;
using TVector3i = TVectorN<int32_t, 3>;
using TVector4i = TVectorN<int32_t, 4>;
using TVector3b = TVectorN<uint8_t, 3>;
using TVector4b = TVectorN<uint8_t, 4>;

using TAffineVector = TVector3f;
using TAffineDblVector = TVector3d;
using THomogeneousVector = TVector4f;
using TVector = TVector4f;

template <typename T, int N>
struct TMatrixN {
  TVectorN<T, N> V[N];
  constexpr TVectorN<T, N>& operator[](int i) { return V[i]; }
  constexpr const TVectorN<T, N>& operator[](int i) const { return V[i]; }
  T* data() { return V[0].V; }
  const T* data() const { return V[0].V; }
};

using TMatrix3f = TMatrixN<float, 3>;
using TMatrix4f = TMatrixN<float, 4>;
using TMatrix3d = TMatrixN<double, 3>;
using TMatrix4d = TMatrixN<double, 4>;
using TAffineMatrix = TMatrix3f;
using TMatrix = TMatrix4f;

// Rotation; identity is (0, 0, 0, 1).
struct TQuaternion {
  TAffineVector ImagPart;
  float RealPart;
};

// Texture coordinate pair.
struct TTexPoint {
  float S, T;
};

// Frustum planes, each normalised so that (a, b, c) has length 1.
struct TFrustum {
  TVector4f pLeft, pTop, pRight, pBottom, pNear, pFar;
};

// Indices into TTransformations, the result of MatrixDecompose.
enum TTransType : uint8_t {
  ttScaleX,
  ttScaleY,
  ttScaleZ,
  ttShearXY,
  ttShearXZ,
  ttShearYZ,
  ttRotateX,
  ttRotateY,
  ttRotateZ,
  ttTranslateX,
  ttTranslateY,
  ttTranslateZ,
  ttPerspectiveX,
  ttPerspectiveY,
  ttPerspectiveZ,
  ttPerspectiveW
};
using TTransformations = TVectorN<float, 16>;

// Order in which three axis rotations are combined.
enum TEulerOrder : uint8_t { eulXYZ, eulXZY, eulYXZ, eulYZX, eulZXY, eulZYX };

static_assert(sizeof(TAffineVector) == 12);
static_assert(sizeof(TVector4f) == 16);
static_assert(sizeof(TMatrix4f) == 64);
static_assert(sizeof(TMatrix4d) == 128);
static_assert(sizeof(TQuaternion) == 16);
static_assert(sizeof(TTexPoint) == 8);
static_assert(sizeof(TFrustum) == 96);
static_assert(sizeof(TTransformations) == 64);
static_assert(offsetof(TQuaternion, RealPart) == 12);
