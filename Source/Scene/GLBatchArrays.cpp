#include "Source/Scene/GLBatchArrays.h"

#include "Source/Base/XOpenGL.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLState.h"

#include <algorithm>
#include <cmath>

bool CullsBackFaces(TFaceCulling culling, const TRenderContextInfo& rci) {
  return (culling == fcCull || (culling == fcBufferDefault && rci.bufferFaceCull)) && rci.GLStates &&
         rci.GLStates->FrontFaceCCW() && !rci.GLStates->WindingReversed();
}

TVector4f ViewPoint(const TMatrix4f& modelView, const TMatrix4f& projection) {
  // A triangle's turn on screen is the sign of the determinant of its corners' clip x, y and w
  // (each w > 0 once clipped). As a function of a point q that replaces one corner, the
  // determinant is linear in q and zero for the point the rows x, y and w all send to zero:
  // the centre of projection. It is found from the three rows' 3 x 3 minors.
  const TMatrix4f m = MatrixMultiply(modelView, projection);
  double row[3][4];
  for (int i = 0; i < 4; ++i) {
    row[0][i] = m[i][0];
    row[1][i] = m[i][1];
    row[2][i] = m[i][3];
  }
  const auto minor = [&row](int a, int b, int c) {
    return row[0][a] * (row[1][b] * row[2][c] - row[1][c] * row[2][b]) -
           row[0][b] * (row[1][a] * row[2][c] - row[1][c] * row[2][a]) +
           row[0][c] * (row[1][a] * row[2][b] - row[1][b] * row[2][a]);
  };
  const double v[4] = {minor(1, 2, 3), -minor(0, 2, 3), minor(0, 1, 3), -minor(0, 1, 2)};
  const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2] + v[3] * v[3]);
  if (!(length > 0)) return TVector4f{0, 0, 0, 1};
  return TVector4f{float(v[0] / length), float(v[1] / length), float(v[2] / length), float(v[3] / length)};
}

void TGLBatchArrays::SeeFromCurrentView(TMatrix4f modelView, TMatrix4f projection) {
  // Left as given by a GL that answers nothing (no context current).
  GL.glGetFloatv(GL_MODELVIEW_MATRIX, modelView.data());
  GL.glGetFloatv(GL_PROJECTION_MATRIX, projection.data());
  const TVector4f v = ViewPoint(modelView, projection);
  for (int k = 0; k < 4; ++k) viewPoint[k] = v[k];
}

void TGLBatchArrays::Clear() noexcept {
  vertices.clear();
  normals.clear();
  texCoords.clear();
  indices.clear();
}

uint32_t TGLBatchArrays::Grow(size_t corners, size_t indexCount, float*& vertex, float*& normal, float*& texCoord,
                              uint32_t*& index) {
  const size_t first = Corners(), firstIndex = indices.size();
  vertices.resize(3 * (first + corners));
  normals.resize(3 * (first + corners));
  texCoords.resize(2 * (first + corners));
  indices.resize(firstIndex + indexCount);
  vertex = vertices.data() + 3 * first;
  normal = normals.data() + 3 * first;
  texCoord = texCoords.data() + 2 * first;
  index = indices.data() + firstIndex;
  return uint32_t(first);
}

void TGLBatchArrays::Truncate(size_t corners, size_t indexCount) {
  vertices.resize(3 * corners);
  normals.resize(3 * corners);
  texCoords.resize(2 * corners);
  indices.resize(indexCount);
}

void TGLBatchArrays::Trim() noexcept {
  constexpr size_t kKeptBytes = 64 * 1024;
  constexpr int kBatchesWatched = 256;
  peakCorners_ = std::max(peakCorners_, Corners());
  if (++batchesSincePeak_ < kBatchesWatched) return;
  if (vertices.capacity() * sizeof(float) > kKeptBytes && vertices.capacity() > 4 * 3 * peakCorners_) Free();
  peakCorners_ = 0;
  batchesSincePeak_ = 0;
}

void TGLBatchArrays::Free() noexcept {
  TFillVector<float>().swap(vertices);
  TFillVector<float>().swap(normals);
  TFillVector<float>().swap(texCoords);
  TFillVector<uint32_t>().swap(indices);
}

void TGLBatchArrays::Draw(bool toUnitZero) const {
  if (indices.empty()) return;
  // Texture coordinates to unit 0, or to the units the mapping feeds.
  if (toUnitZero && GL.glClientActiveTextureARB) GL.glClientActiveTextureARB(GL_TEXTURE0_ARB);
  struct TOn {
    void (*enable)(GLenum), (*disable)(GLenum);
    explicit TOn(bool unitZero)
        : enable(unitZero ? GL.glEnableClientState : MappedEnableClientState),
          disable(unitZero ? GL.glDisableClientState : MappedDisableClientState) {
      GL.glEnableClientState(GL_VERTEX_ARRAY);
      GL.glEnableClientState(GL_NORMAL_ARRAY);
      enable(GL_TEXTURE_COORD_ARRAY);
    }
    ~TOn() {
      disable(GL_TEXTURE_COORD_ARRAY);
      GL.glDisableClientState(GL_NORMAL_ARRAY);
      GL.glDisableClientState(GL_VERTEX_ARRAY);
    }
  } on(toUnitZero);
  GL.glVertexPointer(3, GL_FLOAT, 0, vertices.data());
  GL.glNormalPointer(GL_FLOAT, 0, normals.data());
  (toUnitZero ? GL.glTexCoordPointer : MappedTexCoordPointer)(2, GL_FLOAT, 0, texCoords.data());
  GL.glDrawElements(GL_TRIANGLES, GLsizei(indices.size()), GL_UNSIGNED_INT, indices.data());
}
