// Shadows from depth buffers: a depth-buffer grab that converts between its pixels and world
// space, and a scene object that compares, for every pixel of a viewer, the world point seen
// there with the depth seen by a second viewer placed at the light, and overlays the resulting
// shadow mask as one alpha texture in front of the scene. The mask is computed on the CPU.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Source/Base/VectorTypes.h"
#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLSceneGraph.h"

class TGLNonVisualViewer;
class TGLTextureHandle;

// A grabbed depth buffer (rows bottom first, as read) and the projection it was seen through.
class TGLzBuffer : public TPersistent {
  RTL_CLASS(TGLzBuffer, TPersistent)
 public:
  TGLzBuffer() = default;

  // On-screen viewers are linked through their buffer; the size is the buffer's viewport.
  void LinkToViewer(TGLSceneBuffer* buffer);
  void LinkToNonVisualViewer(TGLNonVisualViewer* viewer);
  void LinkToBuffer(TGLSceneBuffer* buffer, int width, int height);
  TGLSceneBuffer* Buffer() const noexcept { return buffer_; }

  // Reads the depth of the linked buffer (activating its context when asked, and putting the
  // previous one back), then optionally recomputes the projection constants.
  void GetDepthBuffer(bool calcVectors, bool contextIsActive);
  void Refresh();
  // The projection of the linked buffer's camera ("No Camera!" without one).
  void RecalcConstants();
  // Test aid and off-line use: depth values (bottom row first) and the projection directly.
  void SetData(int width, int height, std::vector<float> depths, const TMatrix4f& modelView,
               const TMatrix4f& projection);

  int Width() const noexcept { return width_; }
  int Height() const noexcept { return height_; }
  // Depth at (x, y) counted from the top row; 0 outside.
  float GetPixelzDepth(int x, int y) const;
  // The world point seen at pixel (x, y); (0, 0, 0) outside.
  TAffineVector PixelToWorld(int x, int y) const;
  // The point in buffer pixels (x from the left, y from the top, continuous) and its depth-buffer
  // value; true when it lies in front of the camera and inside the buffer.
  bool WorldToPixelZ(const TAffineVector& point, float& x, float& y, float& z) const;

 private:
  void Resize(int width, int height);
  int width_ = 0, height_ = 0;
  std::vector<float> data_;
  TGLSceneBuffer* buffer_ = nullptr;
  TMatrix4f viewProj_{}, invViewProj_{};
};

enum TOptimise : uint8_t { opNone, op4in1, op9in1, op16in1 };

class TGLZShadows : public TGLBaseSceneObject {
  RTL_CLASS(TGLZShadows, TGLBaseSceneObject)
 public:
  explicit TGLZShadows(TComponent* AOwner);
  ~TGLZShadows() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;

  // The viewer whose image is shadowed (any component owning a buffer of this scene); setting it
  // takes the viewer's size as Width and Height.
  TComponent* Viewer() const noexcept { return viewer_; }
  void SetViewer(TComponent* v);
  TGLNonVisualViewer* Caster() const noexcept { return caster_; }
  void SetCaster(TGLNonVisualViewer* v);
  bool FrustShadow() const noexcept { return frustShadow_; }
  void SetFrustShadow(bool v) { frustShadow_ = v; }
  bool SkyShadow() const noexcept { return skyShadow_; }
  void SetSkyShadow(bool v) { skyShadow_ = v; }
  TOptimise Optimise() const noexcept { return optimise_; }
  void SetOptimise(TOptimise v) { optimise_ = v; }
  int Width() const noexcept { return width_; }
  void SetWidth(int v);
  int Height() const noexcept { return height_; }
  void SetHeight(int v);
  TGLColor* Color() const noexcept { return color_.get(); }
  void SetColor(TGLColor* v) { color_->Assign(v); }
  bool Soft() const noexcept { return soft_; }
  void SetSoft(bool v) { soft_ = v; }
  float Tolerance() const noexcept { return tolerance_; }
  void SetTolerance(float v) { tolerance_ = v; }
  bool DepthFade() const noexcept { return depthFade_; }
  void SetDepthFade(bool v) { depthFade_ = v; }

  // Renders the caster viewer and grabs its depth; true (and nothing done) without a caster.
  bool CastShadow();

  // The texture size for a mask size: the smallest power of two >= the value, at least 2.
  static int TextureSize(int size);
  // The two depth buffers (created on first use); tests may fill them directly.
  TGLzBuffer* ViewerZBuf();
  TGLzBuffer* CasterZBuf();
  // Computes the whole mask at Width x Height from the two depth buffers.
  void CalcShadowMask();
  // Mask byte at (x, y) counted from the top row.
  uint8_t MaskAt(int x, int y) const {
    const size_t i = size_t(y) * size_t(width_) + size_t(x);
    return x < 0 || y < 0 || x >= width_ || y >= height_ || i >= mask_.size() ? 0 : mask_[i];
  }
  uint8_t CalcPixel(int x, int y);

 private:
  TGLSceneBuffer* ViewerBuffer() const;
  uint8_t ShadowAlpha() const;
  uint8_t Fade(float pz) const;
  float CasterDepth(int x, int y) const;
  void FillPairs();
  void FillBlocks(int n);
  TComponent* viewer_ = nullptr;
  TGLNonVisualViewer* caster_ = nullptr;
  bool frustShadow_ = false, skyShadow_ = false, soft_ = false, depthFade_ = false;
  TOptimise optimise_ = opNone;
  int width_ = 64, height_ = 64;
  std::unique_ptr<TGLColor> color_;
  float tolerance_ = 0.015f;
  std::unique_ptr<TGLzBuffer> viewerZBuf_, casterZBuf_;
  std::vector<uint8_t> mask_;
  std::unique_ptr<TGLTextureHandle> texture_;
  int uploadedW_ = 0, uploadedH_ = 0;  // texture size of the last full upload
};

void RegisterGLzBufferClasses();
