// Vertex arrays of many objects drawn in one call: what a batch of same-looking objects gives,
// carried into their parent's space, instead of a glBegin/glEnd of its own each.
#pragma once

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorGeometry.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

// An allocator whose resize leaves new elements of trivial types unset: for arrays that are
// filled right after they grow, every frame anew.
template <class T>
struct TNoInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = TNoInitAllocator<U>;
  };
  TNoInitAllocator() = default;
  template <class U>
  TNoInitAllocator(const TNoInitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};
template <class T>
using TFillVector = std::vector<T, TNoInitAllocator<T>>;

enum TFaceCulling : uint8_t;
struct TRenderContextInfo;
// Whether GL culls the faces turned away from the camera under a material of this culling, in
// this pass (its winding not reversed, as in mirrors): then arrays may leave them out.
bool CullsBackFaces(TFaceCulling culling, const TRenderContextInfo& rci);

// Where the GL projects from, in the space that `modelView` carries into the eye's, under
// `projection`: (x, y, z, w) with w > 0 the eye of a perspective at (x, y, z) / w, with w = 0
// the direction towards the viewer of an orthographic projection; scaled to length 1. A face
// whose corners turn counter-clockwise about its normal n, through a point p, shows on screen
// turning counter-clockwise (its front, as the GL sees it) when n . (xyz - w p) > 0.
TVector4f ViewPoint(const TMatrix4f& modelView, const TMatrix4f& projection);

// Triangles with a normal and one texture coordinate pair a corner.
struct TGLBatchArrays {
  TFillVector<float> vertices, normals, texCoords;  // 3, 3 and 2 a corner
  TFillVector<uint32_t> indices;                    // 3 a triangle
  // GL culls the faces turned away under the batch's material: an object may leave out the
  // faces turned away from `viewPoint` (ViewPoint in the space its geometry is given in, its
  // parent's).
  bool cullBack = false;
  float viewPoint[4] = {0, 0, 0, 1};
  // Takes the view point from the matrices the GL holds now (those it culls by); from
  // `modelView` and `projection` where the GL answers none.
  void SeeFromCurrentView(TMatrix4f modelView, TMatrix4f projection);
  // From a point towards the view point: xyz - w p.
  void TowardsViewer(const float p[3], float out[3]) const noexcept {
    for (int k = 0; k < 3; ++k) out[k] = viewPoint[k] - viewPoint[3] * p[k];
  }

  size_t Corners() const noexcept { return vertices.size() / 3; }
  bool Empty() const noexcept { return indices.empty(); }
  void Clear() noexcept;
  // Room for `corners` more corners and `indexCount` more indices: the first new corner's
  // number, with pointers to where the new ones go.
  uint32_t Grow(size_t corners, size_t indexCount, float*& vertex, float*& normal, float*& texCoord, uint32_t*& index);
  // Back to `corners` corners and `indexCount` indices (what an object that failed added goes).
  void Truncate(size_t corners, size_t indexCount);
  // Called after each batch: gives the room back when the batches of a while held far less than
  // there is room for (a scene that shrank), not when one small batch follows a large one.
  void Trim() noexcept;
  // Gives all the room back.
  void Free() noexcept;
  // Draws the triangles with the arrays on: the texture coordinates go to the units the
  // current texture-coordinate mapping feeds, or with `toUnitZero` to texture unit 0 whatever
  // the mapping (a picture of the drawer's own there). The arrays are off again afterwards,
  // also when drawing fails.
  void Draw(bool toUnitZero = false) const;

 private:
  size_t peakCorners_ = 0;
  int batchesSincePeak_ = 0;
};
