// Depth-buffer grabs and the depth-buffer shadow object that computes and overlays its shadow mask.
#include "Source/Further/GLzBuffer.h"

#include <algorithm>
#include <cmath>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Scene/GLCamera.h"
#include "Source/Scene/GLContext.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

// --- TGLzBuffer

void TGLzBuffer::Resize(int width, int height) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  data_.assign(size_t(width_) * size_t(height_), 0.0f);
}

void TGLzBuffer::LinkToBuffer(TGLSceneBuffer* buffer, int width, int height) {
  if (width != width_ || height != height_) Resize(width, height);
  buffer_ = buffer;
  RecalcConstants();
}

void TGLzBuffer::LinkToViewer(TGLSceneBuffer* buffer) { LinkToBuffer(buffer, buffer->Width(), buffer->Height()); }

void TGLzBuffer::LinkToNonVisualViewer(TGLNonVisualViewer* viewer) {
  LinkToBuffer(viewer->Buffer(), viewer->Width(), viewer->Height());
}

void TGLzBuffer::RecalcConstants() {
  if (!buffer_ || !buffer_->Camera()) throw Exception("No Camera!");
  viewProj_ = MatrixMultiply(buffer_->ModelViewMatrix(), buffer_->ProjectionMatrix());
  invViewProj_ = viewProj_;
  MatrixInvert(invViewProj_);
}

void TGLzBuffer::SetData(int width, int height, std::vector<float> depths, const TMatrix4f& modelView,
                         const TMatrix4f& projection) {
  Resize(width, height);
  if (depths.size() == data_.size()) data_ = std::move(depths);
  viewProj_ = MatrixMultiply(modelView, projection);
  invViewProj_ = viewProj_;
  MatrixInvert(invViewProj_);
}

void TGLzBuffer::GetDepthBuffer(bool calcVectors, bool contextIsActive) {
  if (!buffer_ || data_.empty()) return;
  std::unique_ptr<TGLContextSwitch> sw;
  if (!contextIsActive && buffer_->RenderingContext())
    sw = std::make_unique<TGLContextSwitch>(*buffer_->RenderingContext());
  GL.glReadPixels(0, 0, width_, height_, GL_DEPTH_COMPONENT, GL_FLOAT, data_.data());
  if (sw) sw->Restore();
  if (calcVectors) RecalcConstants();
}

void TGLzBuffer::Refresh() {
  if (buffer_) GetDepthBuffer(true, false);
}

float TGLzBuffer::GetPixelzDepth(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
  return data_[size_t(height_ - 1 - y) * size_t(width_) + size_t(x)];
}

TAffineVector TGLzBuffer::PixelToWorld(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return {0, 0, 0};
  const float d = GetPixelzDepth(x, y);
  const TVector4f ndc{(2.0f * (float(x) + 0.5f)) / float(width_) - 1,
                      (2.0f * (float(height_ - 1 - y) + 0.5f)) / float(height_) - 1, 2 * d - 1, 1};
  const TVector4f w = VectorTransform(ndc, invViewProj_);
  if (w[3] == 0) return {0, 0, 0};
  return {w[0] / w[3], w[1] / w[3], w[2] / w[3]};
}

bool TGLzBuffer::WorldToPixelZ(const TAffineVector& point, float& x, float& y, float& z) const {
  const TVector4f clip = VectorTransform(TVector4f{point[0], point[1], point[2], 1}, viewProj_);
  if (clip[3] <= 0) {
    // Behind the camera: off the image, at no depth.
    x = y = -1;
    z = 0;
    return false;
  }
  x = (clip[0] / clip[3] + 1) * 0.5f * float(width_);
  y = float(height_) - (clip[1] / clip[3] + 1) * 0.5f * float(height_);
  z = (clip[2] / clip[3] + 1) * 0.5f;
  return x >= 0 && x < float(width_) && y >= 0 && y < float(height_);
}

// --- TGLZShadows

TGLZShadows::TGLZShadows(TComponent* AOwner)
    : TGLBaseSceneObject(AOwner), color_(std::make_unique<TGLColor>(this, TVector4f{0, 0, 0, 0.5f})) {
  objectStyle_ |= osDirectDraw | osNoVisibilityCulling;
}

TGLZShadows::~TGLZShadows() {
  SetViewer(nullptr);
  SetCaster(nullptr);
}

void TGLZShadows::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) {
    if (AComponent == viewer_) {
      viewer_ = nullptr;
      viewerZBuf_.reset();
    }
    if (AComponent == caster_) {
      caster_ = nullptr;
      casterZBuf_.reset();
    }
  }
  inherited::Notification(AComponent, Operation);
}

TGLSceneBuffer* TGLZShadows::ViewerBuffer() const {
  if (!viewer_ || !Scene()) return nullptr;
  for (int i = 0; i < Scene()->BufferCount(); ++i)
    if (Scene()->Buffer(i)->Owner() == viewer_) return Scene()->Buffer(i);
  return nullptr;
}

void TGLZShadows::SetViewer(TComponent* v) {
  if (v == viewer_) return;
  if (viewer_) viewer_->RemoveFreeNotification(this);
  viewer_ = v;
  viewerZBuf_.reset();
  if (v) {
    v->FreeNotification(this);
    if (TGLSceneBuffer* b = ViewerBuffer()) {
      SetWidth(b->Width());
      SetHeight(b->Height());
    }
  }
}

void TGLZShadows::SetCaster(TGLNonVisualViewer* v) {
  if (v == caster_) return;
  if (caster_) caster_->RemoveFreeNotification(this);
  caster_ = v;
  casterZBuf_.reset();
  if (v) v->FreeNotification(this);
}

void TGLZShadows::SetWidth(int v) { width_ = std::max(v, 0); }
void TGLZShadows::SetHeight(int v) { height_ = std::max(v, 0); }

int TGLZShadows::TextureSize(int size) {
  int t = 2;
  while (t < size && t < (1 << 30)) t *= 2;
  return t;
}

TGLzBuffer* TGLZShadows::ViewerZBuf() {
  if (!viewerZBuf_) viewerZBuf_ = std::make_unique<TGLzBuffer>();
  return viewerZBuf_.get();
}

TGLzBuffer* TGLZShadows::CasterZBuf() {
  if (!casterZBuf_) casterZBuf_ = std::make_unique<TGLzBuffer>();
  return casterZBuf_.get();
}

bool TGLZShadows::CastShadow() {
  if (!caster_) return true;
  const bool first = !casterZBuf_;
  TGLzBuffer* zb = CasterZBuf();
  TGLCamera* cam = caster_->Camera();
  if (cam && cam->CameraStyle() == csOrthogonal) {
    // Above its target (or where it is), looking straight down.
    const float y = cam->Position()->Y();
    if (TGLBaseSceneObject* target = cam->TargetObject())
      cam->Position()->SetXYZAsPoint(target->Position()->X(), y, target->Position()->Z());
    cam->Direction()->SetXYZAsVector(0, -1, 0);
  }
  caster_->Render();
  if (first) zb->LinkToNonVisualViewer(caster_);
  zb->GetDepthBuffer(true, false);
  return false;
}

uint8_t TGLZShadows::ShadowAlpha() const {
  return uint8_t(std::nearbyint(std::clamp(color_->Color()[3], 0.0f, 1.0f) * 255));
}

uint8_t TGLZShadows::Fade(float pz) const {
  if (!depthFade_) return 0;
  const double a = ShadowAlpha();
  return uint8_t(std::clamp(std::nearbyint(a * (double(pz) * 10 - 9)), 0.0, a));
}

// Caster depth, read only inside the caster's buffer (the soft samples reach one pixel beyond the
// projected one); outside it counts as the far plane.
float TGLZShadows::CasterDepth(int x, int y) const {
  const TGLzBuffer& c = *casterZBuf_;
  if (x < 0 || y < 0 || x >= c.Width() || y >= c.Height()) return 1;
  return c.GetPixelzDepth(x, y);
}

uint8_t TGLZShadows::CalcPixel(int x, int y) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_ || !viewerZBuf_ || !casterZBuf_) return 0;
  if (mask_.size() != size_t(width_) * size_t(height_)) mask_.assign(size_t(width_) * size_t(height_), 0);
  uint8_t result;
  const TGLzBuffer& view = *viewerZBuf_;
  const float d = view.GetPixelzDepth(x, y);
  if (d >= 1) {
    result = skyShadow_ ? ShadowAlpha() : 0;
  } else {
    const TAffineVector p = view.PixelToWorld(x, y);
    float cx, cy, pz;
    const bool inside = casterZBuf_->WorldToPixelZ(p, cx, cy, pz);
    if (!inside) {
      result = frustShadow_ ? ShadowAlpha() : Fade(pz);
    } else {
      const float t = (1 - pz) * tolerance_;
      const int ix = int(std::floor(cx)), iy = int(std::floor(cy));
      const uint8_t alpha = ShadowAlpha(), fade = Fade(pz);
      if (!soft_ || iy < 1) {
        result = pz - t > CasterDepth(ix, iy) ? alpha : fade;
      } else {
        // Soft samples count as shadowed once the depth gap reaches the tolerance.
        auto sample = [&](int sx, int sy) { return pz - CasterDepth(sx, sy) >= t ? alpha : fade; };
        const double c = sample(ix, iy), l = sample(ix - 1, iy), r = sample(ix + 1, iy);
        const double pp = sample(ix, iy - 1), n = sample(ix, iy + 1);
        const double fx = cx - ix, fy = cy - iy;
        result = uint8_t(std::clamp(std::nearbyint((pp + (n - pp) * fy + l + (r - l) * fx + c) / 3), 0.0, 255.0));
      }
    }
  }
  mask_[size_t(y) * size_t(width_) + size_t(x)] = result;
  return result;
}

// Blocks of n x n: corners computed; a block whose four corners agree is filled with that value.
void TGLZShadows::FillBlocks(int n) {
  const int w = width_, h = height_;
  for (int x = 0; x < w; ++x) CalcPixel(x, 0);
  for (int y = 1; y < h; ++y) CalcPixel(0, y);
  for (int y = n; y < h; y += n) {
    for (int x = n; x < w; x += n) {
      const uint8_t v = CalcPixel(x, y);
      const bool same = MaskAt(x - n, y) == v && MaskAt(x, y - n) == v && MaskAt(x - n, y - n) == v;
      for (int by = y - n + 1; by <= y; ++by) {
        for (int bx = x - n + 1; bx <= x; ++bx) {
          if (bx == x && by == y) continue;
          if (same)
            mask_[size_t(by) * size_t(w) + size_t(bx)] = v;
          else
            CalcPixel(bx, by);
        }
      }
    }
  }
  // Rows and columns past the last whole block.
  const int lastX = (w - 1) / n * n, lastY = (h - 1) / n * n;
  for (int y = 1; y < h; ++y)
    for (int x = (y > lastY ? 1 : lastX + 1); x < w; ++x) CalcPixel(x, y);
}

// Pairs of pixels: after the border, every sample at even (x, y) decides its left neighbours
// (x - 1, y) and (x - 1, y - 1) from the previous sample on its row and the one two rows up, and
// the pixel above it, (x, y - 1), from the stored value at (x + 1, y - 2).
void TGLZShadows::FillPairs() {
  const int w = width_, h = height_;
  auto fill = [this, w](int x, int y, uint8_t v) { mask_[size_t(y) * size_t(w) + size_t(x)] = v; };
  // The border: the first row and column, and the last ones when the pairs stop short of them.
  for (int x = 0; x < w; ++x) {
    CalcPixel(x, 0);
    if (h % 2 == 0) CalcPixel(x, h - 1);
  }
  for (int y = 1; y < h; ++y) {
    CalcPixel(0, y);
    if (w % 2 == 0) CalcPixel(w - 1, y);
  }
  for (int y = 2; y < h; y += 2) {
    for (int x = 2; x < w; x += 2) {
      const uint8_t v = CalcPixel(x, y);
      if (v == MaskAt(x - 2, y) && v == MaskAt(x, y - 2)) {
        fill(x - 1, y, v);
        fill(x - 1, y - 1, v);
      } else {
        CalcPixel(x - 1, y);
        CalcPixel(x - 1, y - 1);
      }
      if (x + 1 < w && v == MaskAt(x + 1, y - 2))
        fill(x, y - 1, v);
      else
        CalcPixel(x, y - 1);
    }
  }
}

void TGLZShadows::CalcShadowMask() {
  mask_.assign(size_t(width_) * size_t(height_), 0);
  if (!viewerZBuf_ || !casterZBuf_ || width_ == 0 || height_ == 0) return;
  switch (optimise_) {
    case opNone:
      for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x) CalcPixel(x, y);
      break;
    case op4in1: FillPairs(); break;
    case op9in1: FillBlocks(3); break;
    case op16in1: FillBlocks(4); break;
  }
}

void TGLZShadows::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  TGLSceneBuffer* vb = ViewerBuffer();
  if (renderSelf && vb && caster_ && casterZBuf_ && vb == rci.buffer && Scene() &&
      vb->Camera() == Scene()->CurrentGLCamera()) {
    const bool first = !viewerZBuf_;
    if (first || !texture_) {
      texture_ = std::make_unique<TGLTextureHandle>();
      texture_->AllocateName();
      uploadedW_ = uploadedH_ = 0;
    }
    ViewerZBuf()->LinkToViewer(vb);
    ViewerZBuf()->GetDepthBuffer(true, true);
    // A mask larger than the viewport is cut to it for this frame only: the size set is kept
    // for when the viewport grows again.
    TRestore<int> frameWidth(width_, std::min(width_, rci.viewPortWidth));
    TRestore<int> frameHeight(height_, std::min(height_, rci.viewPortHeight));
    CalcShadowMask();
    const int texW = TextureSize(width_), texH = TextureSize(height_);
    // The mask in the top rows of the texture, its first row at the top; built before any state
    // is pushed, so that a failure here leaves none pushed.
    std::vector<uint8_t> image(size_t(texW) * size_t(texH), 0);
    for (int y = 0; y < height_; ++y)
      std::copy_n(&mask_[size_t(y) * size_t(width_)], size_t(width_), &image[size_t(texH - 1 - y) * size_t(texW)]);
    GL.glPushAttrib(GL_ENABLE_BIT);
    GL.glBindTexture(GL_TEXTURE_2D, texture_->Handle());
    GL.glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_FASTEST);
    GL.glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    GL.glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    GL.glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
    GL.glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    GL.glEnable(GL_TEXTURE_2D);
    GL.glEnable(GL_BLEND);
    GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    GL.glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    const TVector4f& c = color_->Color();
    GL.glColor3f(c[0], c[1], c[2]);
    // A new size needs a full upload: a sub-image may not exceed the texture.
    if (texW != uploadedW_ || texH != uploadedH_) {
      GL.glTexImage2D(GL_TEXTURE_2D, 0, GL_ALPHA, texW, texH, 0, GL_ALPHA, GL_UNSIGNED_BYTE, image.data());
      uploadedW_ = texW;
      uploadedH_ = texH;
    } else {
      GL.glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, texW, texH, GL_ALPHA, GL_UNSIGNED_BYTE, image.data());
    }
    const float vw = float(rci.viewPortWidth), vh = float(rci.viewPortHeight);
    GL.glMatrixMode(GL_MODELVIEW);
    GL.glPushMatrix();
    GL.glLoadMatrixf(vb->BaseProjectionMatrix().data());
    GL.glScalef(2 / vw, 2 / vh, 1);
    GL.glTranslatef(Position()->X() - vw / 2, vh / 2 - Position()->Y(), Position()->Z());
    GL.glMatrixMode(GL_PROJECTION);
    GL.glPushMatrix();
    GL.glLoadIdentity();
    GL.glDisable(GL_DEPTH_TEST);
    GL.glDisable(GL_LIGHTING);
    const float w = float(width_), h = float(height_), tw = w / float(texW), th = 1 - h / float(texH);
    GL.glBegin(GL_QUADS);
    GL.glNormal3f(0, 1, 0);
    GL.glTexCoord2f(0, th);
    GL.glVertex2f(0, -h);
    GL.glTexCoord2f(tw, th);
    GL.glVertex2f(w, -h);
    GL.glTexCoord2f(tw, 1);
    GL.glVertex2f(w, 0);
    GL.glTexCoord2f(0, 1);
    GL.glVertex2f(0, 0);
    GL.glEnd();
    GL.glPopMatrix();
    GL.glMatrixMode(GL_MODELVIEW);
    GL.glPopMatrix();
    GL.glPopAttrib();
    if (rci.GLStates) rci.GLStates->ResetBoundTextures();
  }
  if (renderChildren && GetChildCount() > 0) RenderChildren(0, GetChildCount() - 1, rci);
}

void RegisterGLzBufferClasses() {
  RegisterClasses({TGLZShadows::StaticClass()});
  TPublished<TGLZShadows>()
      .Component("Viewer", &TGLZShadows::Viewer, &TGLZShadows::SetViewer)
      .Component("Caster", &TGLZShadows::Caster, &TGLZShadows::SetCaster)
      .Boolean("FrustShadow", &TGLZShadows::FrustShadow, &TGLZShadows::SetFrustShadow, false)
      .Boolean("SkyShadow", &TGLZShadows::SkyShadow, &TGLZShadows::SetSkyShadow, false)
      .Enum("Optimise", &TGLZShadows::Optimise, &TGLZShadows::SetOptimise, {"opNone", "op4in1", "op9in1", "op16in1"},
            opNone)
      .Integer("Width", &TGLZShadows::Width, &TGLZShadows::SetWidth, std::nullopt)
      .Integer("Height", &TGLZShadows::Height, &TGLZShadows::SetHeight, std::nullopt)
      .Object("Color", &TGLZShadows::Color)
      .Boolean("Soft", &TGLZShadows::Soft, &TGLZShadows::SetSoft, false)
      .Float("Tolerance", &TGLZShadows::Tolerance, &TGLZShadows::SetTolerance, 0.015)
      .Boolean("DepthFade", &TGLZShadows::DepthFade, &TGLZShadows::SetDepthFade, false);
}
