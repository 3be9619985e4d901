// The scene buffer: the rendering target of a viewer. It owns the rendering context and its
// state cache, holds the buffer options, colours, global switches and the camera, performs one
// frame (state, clear, matrices, lights, scene pass, swap, frame rate), picks objects with
// OpenGL selection and converts between screen and world coordinates. Also the window-less
// viewers that render into an off-screen context.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Scene/GLState.h"
#include "Source/Scene/GLUploadBudget.h"

class TGLTexture;
class TGLFogEnvironment;

enum TContextOption : uint8_t {
  roDoubleBuffer,
  roStencilBuffer,
  roRenderToWindow,
  roTwoSideLighting,
  roStereo,
  roDestinationAlpha,
  roNoColorBuffer,
  roNoColorBufferClear,
  roNoSwapBuffers
};
using TContextOptions = TSet<TContextOption>;
enum TGLDepthPrecision : uint8_t { dpDefault, dp16bits, dp24bits, dp32bits };
enum TGLColorDepth : uint8_t { cdDefault, cd8bits, cd16bits, cd24bits, cdFloat64bits, cdFloat128bits };
enum TGLShadeModel : uint8_t { smDefault, smSmooth, smFlat };

// One selection hit.
class TPickRecord : public TObject {
  RTL_CLASS(TPickRecord, TObject)
 public:
  TGLBaseSceneObject* AObject = nullptr;
  // The objects named below the object on the selection stack (a proxy's master, say).
  std::vector<TGLBaseSceneObject*> SubObjects;
  float ZNear = 0, ZFar = 0;  // 0..1
};

enum TPickSortType : uint8_t { psDefault, psName, psMinDepth, psMaxDepth };

// A list of hits; the sort order is one value shared by all lists, set by each constructor.
class TGLPickList : public TObject {
  RTL_CLASS(TGLPickList, TObject)
 public:
  explicit TGLPickList(TPickSortType aSortType);
  ~TGLPickList() override;
  void AddHit(TGLBaseSceneObject* obj, const std::vector<TGLBaseSceneObject*>& subObj, float zMin, float zMax);
  void Clear();
  int Count() const noexcept { return int(items_.size()); }
  void SetCapacity(int n) { items_.reserve(size_t(n > 0 ? n : 0)); }
  TGLBaseSceneObject* Hit(int index) const { return Record(index)->AObject; }
  TPickRecord* Record(int index) const;
  float NearDistance(int index) const { return Record(index)->ZNear; }
  float FarDistance(int index) const { return Record(index)->ZFar; }
  const std::vector<TGLBaseSceneObject*>& SubObjects(int index) const { return Record(index)->SubObjects; }

 private:
  std::vector<std::unique_ptr<TPickRecord>> items_;
};

// One record of a selection buffer, as parsed.
struct TSelectionHit {
  uint32_t name = 0;
  std::vector<uint32_t> subNames;
  float zNear = 0, zFar = 0;
};
// Parses `hits` records of a selection buffer of `size` words; stops at a record that would run
// past the end. A negative count is an overflowed buffer: the records it holds, up to the first
// without names.
std::vector<TSelectionHit> ParseSelectionBuffer(const uint32_t* buffer, size_t size, int hits);

// Performance counter used for frame timing (ticks, and ticks per second); tests replace it.
struct TGLFrameClock {
  std::function<int64_t()> Counter;
  int64_t Frequency = 1000000000;
};
TGLFrameClock& GLFrameClock();

class TGLSceneBuffer : public TGLUpdateAbleObject {
  RTL_CLASS(TGLSceneBuffer, TGLUpdateAbleObject)
 public:
  explicit TGLSceneBuffer(TPersistent* AOwner);
  ~TGLSceneBuffer() override;
  void NotifyChange(TObject* Sender) override;

  // --- context
  // Makes the context with the buffer options; its state cache starts from the GL defaults.
  // Refused (an assertion failure) during a frame or a picking pass.
  void CreateRC(TGLOutputDevice device, bool memoryContext);
  // Frees the context. Asked for during a frame, a picking pass or the context's creation,
  // it takes effect when that ends (the pass in progress keeps its context).
  void DestroyRC();
  bool RCInstantiated() const noexcept { return renderingContext_ != nullptr; }
  TGLContext* RenderingContext() const noexcept { return renderingContext_; }
  TGLStateCache& GLStates() noexcept { return *glStates_; }
  // How much of a frame texture uploads may take (no limit by default).
  TGLUploadBudget& UploadBudget() noexcept { return uploadBudget_; }
  bool Rendering() const noexcept { return rendering_; }
  // Whether a frame, a picking pass or the context's creation asked for a change it could not
  // carry out then (a new context, or none) and that has not been carried out yet: a pass that
  // failed leaves it for the next.
  bool ChangesPending() const noexcept { return destroyAfterPass_ || structuralChangeAfterPass_; }
  // Carries out what was asked for while the buffer was rendering (nothing during a pass). A
  // viewer calls it before it looks whether there is a context to draw with.
  void ApplyDeferredChanges();
  // How a viewer frees its buffer. Freed during the buffer's own frame, picking pass or context
  // creation (the viewer freed from one of its events or from a draw handler), the pass ends
  // without drawing, swapping or raising anything more, and the buffer goes at its end.
  static void Free(std::unique_ptr<TGLSceneBuffer> buffer) noexcept;
  // The viewer went during the pass in progress.
  bool ViewerGone() const noexcept { return viewerGone_; }

  // --- frame
  void Resize(int newWidth, int newHeight);
  void SetViewPort(int x, int y, int w, int h);
  int Width() const noexcept { return viewport_[2]; }
  int Height() const noexcept { return viewport_[3]; }
  const TVector4i& ViewPort() const noexcept { return viewport_; }
  void Render(TGLBaseSceneObject* baseObject = nullptr);
  void ClearBuffers();
  void SetupRenderingContext();
  void SetupMatrices(const TGLRect* pickRect);
  void ResetFrameCounter();
  float FramesPerSecond() const noexcept { return framesPerSecond_; }
  float LastFrameTime() const noexcept { return lastFrameTime_; }
  int GetGLLimit(int index);

  // --- picking
  void PickObjects(const TGLRect& rect, TGLPickList* pickList, int objectCountGuess);
  // Caller frees the list.
  TGLPickList* GetPickedObjects(const TGLRect& rect, int objectCountGuess = 64);
  TGLBaseSceneObject* GetPickedObject(int x, int y);
  // Selection name of an object in the pass in progress (1-based index into the pass's table).
  uint32_t PickNameOf(TGLBaseSceneObject* obj);

  // --- projections
  TVector4f WorldToScreen(const TVector4f& aPoint);
  void WorldToScreen(TVector4f* points, int nb);
  TVector4f ScreenToWorld(const TVector4f& aPoint);
  TVector4f ScreenToWorld(float x, float y) { return ScreenToWorld(VectorMake(x, y, 0)); }
  // The direction of the view ray through a screen point: to it on the near plane from the
  // camera position for a perspective camera; the view direction (unit length) for an
  // orthogonal one, whose rays are parallel.
  TVector4f ScreenToVector(const TVector4f& aPoint);
  // The view ray through a screen point (window coordinates): from the camera position for a
  // perspective camera, from the point under it on the near plane for an orthogonal one; the
  // vector as ScreenToVector. False without a camera.
  bool ScreenRay(const TVector4f& aScreenPoint, TVector4f& rayStart, TVector4f& rayVector);
  // Whether the kept projection is parallel (orthogonal camera styles and the like).
  bool ParallelProjection() const noexcept;
  bool ScreenVectorIntersectWithPlane(const TVector4f& aScreenPoint, const TVector4f& planePoint,
                                      const TVector4f& planeNormal, TVector4f& intersectPoint);
  bool ScreenVectorIntersectWithPlaneXY(const TVector4f& aScreenPoint, float z, TVector4f& intersectPoint);
  bool ScreenVectorIntersectWithPlaneXZ(const TVector4f& aScreenPoint, float y, TVector4f& intersectPoint);
  float GetPixelDepth(int x, int y);
  TVector4f PixelRayToWorld(int x, int y);
  void CopyToTexture(TGLTexture* aTexture, int xSrc, int ySrc, int aWidth, int aHeight, int xDest, int yDest,
                     GLenum target = 0, bool forceFullUpload = false);

  // --- model-view stack
  const TMatrix4f& ModelViewMatrix() const noexcept { return modelViewMatrix_; }
  const TMatrix4f& ProjectionMatrix() const noexcept { return projectionMatrix_; }
  const TMatrix4f& BaseProjectionMatrix() const noexcept { return baseProjectionMatrix_; }
  void PushModelViewMatrix(const TMatrix4f& newMatrix);
  void PopModelViewMatrix();
  int ModelViewStackDepth() const noexcept { return int(modelViewStack_.size()); }
  const TVector4f& CameraAbsolutePosition() const noexcept { return cameraAbsolutePosition_; }
  int RenderDPI() const noexcept { return renderDPI_; }

  // After-render effects collected during a pass.
  std::vector<TGLObjectEffect*>& AfterRenderEffects() noexcept { return afterRenderEffects_; }

  // --- properties
  bool FaceCulling() const noexcept { return faceCulling_; }
  void SetFaceCulling(bool v);
  bool FogEnable() const noexcept { return fogEnable_; }
  void SetFogEnable(bool v);
  bool Lighting() const noexcept { return lighting_; }
  void SetLighting(bool v);
  bool DepthTest() const noexcept { return depthTest_; }
  void SetDepthTest(bool v);
  TColor BackgroundColor() const noexcept { return backgroundColor_; }
  void SetBackgroundColor(TColor v);
  float BackgroundAlpha() const noexcept { return backgroundAlpha_; }
  void SetBackgroundAlpha(float v) { backgroundAlpha_ = v; }
  TGLColor* AmbientColor() const noexcept { return ambientColor_.get(); }
  void SetAmbientColor(TGLColor* v);
  TGLAntiAliasing AntiAliasing() const noexcept { return antiAliasing_; }
  void SetAntiAliasing(TGLAntiAliasing v);
  TGLDepthPrecision DepthPrecision() const noexcept { return depthPrecision_; }
  void SetDepthPrecision(TGLDepthPrecision v);
  TGLColorDepth ColorDepth() const noexcept { return colorDepth_; }
  void SetColorDepth(TGLColorDepth v);
  TContextOptions ContextOptions() const noexcept { return contextOptions_; }
  void SetContextOptions(TContextOptions v);
  uint64_t ContextOptionsBits() const noexcept { return contextOptions_.Bits(); }
  void SetContextOptionsBits(uint64_t v) { SetContextOptions(TContextOptions::FromBits(v)); }
  TGLShadeModel ShadeModel() const noexcept { return shadeModel_; }
  void SetShadeModel(TGLShadeModel v);
  TGLFogEnvironment* FogEnvironment() const noexcept { return fogEnvironment_.get(); }
  void SetFogEnvironment(TGLFogEnvironment* v);
  int AccumBufferBits() const noexcept { return accumBufferBits_; }
  void SetAccumBufferBits(int v);
  TGLCamera* Camera() const noexcept { return camera_; }
  void SetCamera(TGLCamera* v);

  // OnStructuralChange: a change of ContextOptions, AntiAliasing, DepthPrecision, ColorDepth or
  // AccumBufferBits; one made during a frame is reported once, after the frame.
  TNotifyEvent OnChange, OnStructuralChange, OnPrepareGLContext, BeforeRender, OnWrapUpPreRender, PostRender,
      AfterRender;
  TDirectRenderEvent InitiateRendering, WrapUpRendering;

 private:
  friend class TGLSceneGraph;
  bool OwnerAllowsEvents();
  void DoBaseRender(const TGLRect* pickRect, TGLBaseSceneObject* baseObject, TDrawState drawState);
  bool HasCameraInScene() const;
  void StructuralChange();
  void ReleaseRC();
  void MakeRC(TGLOutputDevice device, bool memoryContext);
  void RenderFrame(TGLBaseSceneObject* baseObject);
  void PickPass(const TGLRect& rect, TGLPickList* pickList, int objectCountGuess);
  class TPassEnd;
  class TPickNames;

  std::unique_ptr<TGLStateCache> glStates_;
  TGLUploadBudget uploadBudget_;
  bool rendering_ = false, viewerGone_ = false;
  bool destroyAfterPass_ = false, structuralChangeAfterPass_ = false;
  TGLContext* renderingContext_ = nullptr;  // owned
  std::vector<TGLObjectEffect*> afterRenderEffects_;
  TMatrix4f projectionMatrix_, modelViewMatrix_, baseProjectionMatrix_;
  std::vector<TMatrix4f> modelViewStack_;
  TVector4f cameraAbsolutePosition_{};
  TVector4i viewport_{};
  bool faceCulling_ = true, fogEnable_ = false, lighting_ = true, depthTest_ = true;
  TColor backgroundColor_ = TColor(-16777201);
  float backgroundAlpha_ = 1.0f;
  std::unique_ptr<TGLColor> ambientColor_;
  TGLAntiAliasing antiAliasing_ = aaDefault;
  TGLDepthPrecision depthPrecision_ = dpDefault;
  TGLColorDepth colorDepth_ = cdDefault;
  TContextOptions contextOptions_;
  TGLShadeModel shadeModel_ = smDefault;
  int renderDPI_ = 96;
  std::unique_ptr<TGLFogEnvironment> fogEnvironment_;
  int accumBufferBits_ = 0;
  TGLCamera* camera_ = nullptr;
  int frameCount_ = 0;
  float framesPerSecond_ = 0;
  int64_t firstPerfCounter_ = 0;
  float lastFrameTime_ = 0;
  std::vector<TGLBaseSceneObject*> pickNames_;  // per picking pass
};

// A component that owns a buffer and renders without a window.
class TGLNonVisualViewer : public TComponent {
  RTL_CLASS(TGLNonVisualViewer, TComponent)
 public:
  explicit TGLNonVisualViewer(TComponent* AOwner);
  ~TGLNonVisualViewer() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  virtual void DoBufferChange(TObject*) {}
  virtual void DoBufferStructuralChange(TObject* Sender);
  virtual void Render(TGLBaseSceneObject* baseObject = nullptr) = 0;
  virtual void CopyToTexture(TGLTexture* aTexture);

  TGLSceneBuffer* Buffer() const noexcept { return buffer_.get(); }
  TGLCamera* Camera() const { return buffer_->Camera(); }
  void SetCamera(TGLCamera* v);
  int Width() const noexcept { return width_; }
  void SetWidth(int v);
  int Height() const noexcept { return height_; }
  void SetHeight(int v);

  TNotifyEvent OnPrepareGLContext;  // the descendants' context-preparation hook

 protected:
  // False once the viewer is freed: a call that raised its events learns whether it went.
  std::shared_ptr<const bool> Alive() const { return alive_; }

 private:
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<TGLSceneBuffer> buffer_;
  int width_ = 256, height_ = 256;
};

// Renders into an off-screen context created on the first Render.
class TGLMemoryViewer : public TGLNonVisualViewer {
  RTL_CLASS(TGLMemoryViewer, TGLNonVisualViewer)
 public:
  explicit TGLMemoryViewer(TComponent* AOwner);
  void Render(TGLBaseSceneObject* baseObject = nullptr) override;
};
void RegisterGLSceneBufferClasses();
