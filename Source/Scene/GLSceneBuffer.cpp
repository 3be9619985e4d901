// The scene buffer: its context, the render steps of a frame, picking, screen and world
// conversions, and the window-less viewers.
#include "Source/Scene/GLSceneBuffer.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_map>

#include "Source/Base/XOpenGL.h"
#include "Source/Scene/GLCrossPlatform.h"
#include "Source/Scene/GLStrings.h"
#include "Source/Materials/GLTexture.h"
#include "platform/Timing.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

// ============================================================================================
// Frame clock

TGLFrameClock& GLFrameClock() {
  static TGLFrameClock clock;
  return clock;
}

namespace {

int64_t PerfCounter() {
  TGLFrameClock& c = GLFrameClock();
  if (c.Counter) return c.Counter();
  int64_t v = 0;
  QueryPerformanceCounter(v);
  return v;
}

int64_t PerfFrequency() {
  TGLFrameClock& c = GLFrameClock();
  if (c.Counter) return c.Frequency;
  int64_t f = 1;
  QueryPerformanceFrequency(f);
  return f;
}

// The pick matrix gluPickMatrix builds, in row form.
TMatrix4f PickMatrix(double x, double y, double w, double h, const TVector4i& vp) {
  TMatrix4f m = IdentityHmgMatrix;
  if (w <= 0 || h <= 0) return m;
  m[0][0] = float(vp[2] / w);
  m[1][1] = float(vp[3] / h);
  m[3][0] = float((vp[2] - 2 * (x - vp[0])) / w);
  m[3][1] = float((vp[3] - 2 * (y - vp[1])) / h);
  return m;
}

}  // namespace

// ============================================================================================
// Pick list

namespace {
TPickSortType vPickListSortFlag = psDefault;

int ComparePickRecords(const TPickRecord& a, const TPickRecord& b) {
  switch (vPickListSortFlag) {
    case psName: {
      const std::string na = a.AObject ? a.AObject->Name() : std::string();
      const std::string nb = b.AObject ? b.AObject->Name() : std::string();
      return CompareText(na, nb);
    }
    case psMinDepth: return a.ZNear < b.ZNear ? -1 : (a.ZNear > b.ZNear ? 1 : 0);
    case psMaxDepth: return a.ZFar < b.ZFar ? -1 : (a.ZFar > b.ZFar ? 1 : 0);
    default: return 0;
  }
}
}  // namespace

TGLPickList::TGLPickList(TPickSortType aSortType) { vPickListSortFlag = aSortType; }

TGLPickList::~TGLPickList() = default;

void TGLPickList::AddHit(TGLBaseSceneObject* obj, const std::vector<TGLBaseSceneObject*>& subObj, float zMin,
                         float zMax) {
  auto rec = std::make_unique<TPickRecord>();
  rec->AObject = obj;
  rec->SubObjects = subObj;
  rec->ZNear = zMin;
  rec->ZFar = zMax;
  items_.push_back(std::move(rec));
  if (vPickListSortFlag != psDefault && items_.size() > 1)
    std::stable_sort(items_.begin(), items_.end(),
                     [](const auto& a, const auto& b) { return ComparePickRecords(*a, *b) < 0; });
}

void TGLPickList::Clear() { items_.clear(); }

TPickRecord* TGLPickList::Record(int index) const {
  if (index < 0 || index >= Count()) RaiseListIndexError(index);
  return items_[size_t(index)].get();
}

std::vector<TSelectionHit> ParseSelectionBuffer(const uint32_t* buffer, size_t size, int hits) {
  std::vector<TSelectionHit> out;
  size_t pos = 0;
  const bool overflowed = hits < 0;
  for (int h = 0; overflowed || h < hits; ++h) {
    if (pos + 3 > size) break;
    const uint32_t count = buffer[pos];
    if (count > size - pos - 3 || (overflowed && count == 0)) break;
    TSelectionHit hit;
    hit.zNear = float((buffer[pos + 1] >> 1) * std::ldexp(1.0, -31));
    hit.zFar = float((buffer[pos + 2] >> 1) * std::ldexp(1.0, -31));
    if (count >= 1) hit.name = buffer[pos + 3];
    for (uint32_t i = 1; i < count; ++i) hit.subNames.push_back(buffer[pos + 3 + i]);
    out.push_back(std::move(hit));
    pos += size_t(count) + 3;
  }
  return out;
}

// ============================================================================================
// TGLSceneBuffer

TGLSceneBuffer::TGLSceneBuffer(TPersistent* AOwner) : TGLUpdateAbleObject(AOwner) {
  glStates_ = std::make_unique<TGLStateCache>();
  ambientColor_ = std::make_unique<TGLColor>(this, VectorMake(0.2f, 0.2f, 0.2f, 1));
  fogEnvironment_ = std::make_unique<TGLFogEnvironment>(this);
  contextOptions_ = TContextOptions{roDoubleBuffer, roRenderToWindow};
  projectionMatrix_ = modelViewMatrix_ = baseProjectionMatrix_ = IdentityHmgMatrix;
  viewport_ = {0, 0, 1, 1};
}

TGLSceneBuffer::~TGLSceneBuffer() {
  OnChange = nullptr;
  try {
    SetCamera(nullptr);
  } catch (...) {
  }
  try {
    ReleaseRC();
  } catch (...) {
  }
}

void TGLSceneBuffer::NotifyChange(TObject* /*Sender*/) {
  // Whoever started the change, the buffer reports it as its own.
  if (rendering_) return;
  if (OnChange) OnChange(this);
}

bool TGLSceneBuffer::HasCameraInScene() const { return camera_ && camera_->Scene(); }

bool TGLSceneBuffer::OwnerAllowsEvents() {
  if (viewerGone_) return false;
  TPersistent* o = Owner();
  return o && o->Is<TComponent>() && !static_cast<TComponent*>(o)->ComponentState().Contains(csDesigning);
}

// The end of a pass's outermost call (a frame, a pick, the context's creation): a buffer whose
// viewer went during the pass is freed here, when nothing of the pass uses it any more.
class TGLSceneBuffer::TPassEnd {
 public:
  explicit TPassEnd(TGLSceneBuffer* buffer) noexcept : buffer_(buffer) {}
  ~TPassEnd() {
    if (buffer_->viewerGone_) delete buffer_;
  }
  TPassEnd(const TPassEnd&) = delete;
  TPassEnd& operator=(const TPassEnd&) = delete;

 private:
  TGLSceneBuffer* buffer_;
};

void TGLSceneBuffer::Free(std::unique_ptr<TGLSceneBuffer> buffer) noexcept {
  if (!buffer || !buffer->rendering_) return;
  buffer->viewerGone_ = true;
  buffer.release();  // by the pass's end
}

void TGLSceneBuffer::CreateRC(TGLOutputDevice device, bool memoryContext) {
  RTL_ASSERT(!rendering_, glsAlreadyRendering);
  DestroyRC();
  const TPassEnd end(this);
  {
    rendering_ = true;
    TScopeExit endRendering([this] { rendering_ = false; });
    MakeRC(device, memoryContext);
  }
  if (!viewerGone_) ApplyDeferredChanges();
}

void TGLSceneBuffer::MakeRC(TGLOutputDevice device, bool memoryContext) {
  TGLContextManager* manager = GLContextManager();
  TGLContext* ctx = manager ? manager->InstantiateContext() : nullptr;
  if (!ctx) throw Exception("Failed to create RenderingContext.");
  renderingContext_ = ctx;
  try {
    TGLRCOptions opts;
    if (contextOptions_.Contains(roDoubleBuffer)) opts.Include(rcoDoubleBuffered);
    if (contextOptions_.Contains(roStereo)) opts.Include(rcoStereo);
    ctx->SetOptions(opts);
    static const int kColorBits[] = {24, 8, 16, 24, 64, 128};
    static const int kDepthBits[] = {24, 16, 24, 32};
    ctx->SetColorBits(contextOptions_.Contains(roNoColorBuffer) ? 0 : kColorBits[colorDepth_]);
    ctx->SetDepthBits(kDepthBits[depthPrecision_]);
    ctx->SetStencilBits(contextOptions_.Contains(roStencilBuffer) ? 8 : 0);
    ctx->SetAlphaBits(contextOptions_.Contains(roDestinationAlpha) ? 8 : 0);
    ctx->SetAccumBits(accumBufferBits_);
    ctx->SetAuxBuffers(0);
    ctx->SetAntiAliasing(antiAliasing_);
    if (OnPrepareGLContext) OnPrepareGLContext(this);
    // The viewer went, and its window with it: nothing to make the context for.
    if (viewerGone_) {
      renderingContext_ = nullptr;
      delete ctx;
      return;
    }
    if (memoryContext)
      ctx->CreateOffScreen(device, Width(), Height());
    else
      ctx->CreateForDevice(device);
    TGLContextSwitch current(*ctx);
    if (!GLCaps.Version_1_1) throw EOpenGLError(glsOpenGL11Required);
    // A new context is at the GL defaults, whatever the last one was left with.
    glStates_->ResetToGLDefaults();
    GL.glViewport(0, 0, Width(), Height());
    SetupRenderingContext();
    const TVector4f bg = ColorValueToVector(backgroundColor_);
    GL.glClearColor(bg[0], bg[1], bg[2], backgroundAlpha_);
  } catch (...) {
    renderingContext_ = nullptr;
    delete ctx;
    throw;
  }
}

void TGLSceneBuffer::DestroyRC() {
  // The pass in progress still draws with the context (and swaps its buffers):
  // it goes when the pass ends.
  if (rendering_) {
    destroyAfterPass_ = renderingContext_ != nullptr || destroyAfterPass_;
    return;
  }
  ReleaseRC();
}

void TGLSceneBuffer::ReleaseRC() {
  destroyAfterPass_ = false;
  if (!renderingContext_) return;
  TGLContext* ctx = renderingContext_;
  renderingContext_ = nullptr;
  if (camera_ && camera_->Scene()) camera_->Scene()->RemoveBuffer(this);
  delete ctx;
}

void TGLSceneBuffer::Resize(int newWidth, int newHeight) {
  viewport_[2] = std::max(1, newWidth);
  viewport_[3] = std::max(1, newHeight);
  if (renderingContext_) {
    TGLContextSwitch current(*renderingContext_);
    GL.glViewport(0, 0, viewport_[2], viewport_[3]);
  }
}

void TGLSceneBuffer::SetViewPort(int x, int y, int w, int h) {
  viewport_ = {x, y, std::max(1, w), std::max(1, h)};
  NotifyChange(this);
}

void TGLSceneBuffer::SetupRenderingContext() {
  GL.glLightModelfv(GL_LIGHT_MODEL_AMBIENT, ambientColor_->Color().data());
  GL.glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, contextOptions_.Contains(roTwoSideLighting) ? 1 : 0);
  auto set = [this](TGLState state, GLenum cap, bool on) {
    if (on) {
      glStates_->EnableState(state);
      GL.glEnable(cap);
    } else {
      glStates_->DisableState(state);
      GL.glDisable(cap);
    }
  };
  set(stNormalize, GL_NORMALIZE, true);
  set(stDepthTest, GL_DEPTH_TEST, depthTest_);
  set(stCullFace, GL_CULL_FACE, faceCulling_);
  set(stLighting, GL_LIGHTING, lighting_);
  set(stFog, GL_FOG, fogEnable_);
  GLint blueBits = 8;
  GL.glGetIntegerv(GL_BLUE_BITS, &blueBits);
  set(stDither, GL_DITHER, blueBits < 8);
  GL.glDepthFunc(GL_LESS);
  GL.glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
  switch (shadeModel_) {
    case smDefault:
    case smSmooth: GL.glShadeModel(GL_SMOOTH); break;
    case smFlat: GL.glShadeModel(GL_FLAT); break;
    default: RTL_ASSERT(false, "Unknown shade model");
  }
}

void TGLSceneBuffer::ClearBuffers() {
  GLbitfield bits = GL_DEPTH_BUFFER_BIT;
  if (!contextOptions_.Contains(roNoColorBuffer) && !contextOptions_.Contains(roNoColorBufferClear))
    bits |= GL_COLOR_BUFFER_BIT;
  if (contextOptions_.Contains(roStencilBuffer)) bits |= GL_STENCIL_BUFFER_BIT;
  GL.glClear(bits);
}

void TGLSceneBuffer::SetupMatrices(const TGLRect* pickRect) {
  GL.glMatrixMode(GL_PROJECTION);
  TMatrix4f proj = IdentityHmgMatrix;
  if (pickRect) {
    const double cx = (pickRect->Left + pickRect->Right) / 2;
    const double cy = viewport_[3] - (pickRect->Top + pickRect->Bottom) / 2;
    proj = PickMatrix(cx, cy, std::abs(pickRect->Right - pickRect->Left), std::abs(pickRect->Bottom - pickRect->Top),
                      viewport_);
  }
  baseProjectionMatrix_ = proj;
  if (camera_) {
    TMatrix4f cam;
    if (camera_->ComputeProjection(viewport_, viewport_[2], viewport_[3], renderDPI_, cam)) {
      proj = MatrixMultiply(cam, proj);
      GL.glLoadMatrixf(proj.data());
    } else {
      GL.glLoadMatrixf(proj.data());
      camera_->ApplyPerspective(viewport_, viewport_[2], viewport_[3], renderDPI_);
      if (camera_->CameraStyle() == csCustom) GL.glGetFloatv(GL_PROJECTION_MATRIX, proj.data());
    }
  } else {
    GL.glLoadMatrixf(proj.data());
  }
  projectionMatrix_ = proj;
  GL.glMatrixMode(GL_MODELVIEW);
  TMatrix4f mv = IdentityHmgMatrix;
  if (camera_) {
    if (camera_->Scene()) camera_->Scene()->SetCurrentGLCamera(camera_);
    if (camera_->OnCustomViewEvent) {
      GL.glLoadMatrixf(mv.data());
      camera_->Apply();
      GL.glGetFloatv(GL_MODELVIEW_MATRIX, mv.data());
    } else {
      mv = camera_->ComputeViewMatrix();
      camera_->ClearStructureChanged();
      GL.glLoadMatrixf(mv.data());
    }
    cameraAbsolutePosition_ = camera_->GetAbsolutePosition();
  } else {
    GL.glLoadMatrixf(mv.data());
  }
  modelViewMatrix_ = mv;
}

void TGLSceneBuffer::DoBaseRender(const TGLRect* pickRect, TGLBaseSceneObject* baseObject, TDrawState drawState) {
  SetupMatrices(pickRect);
  if (drawState == dsPicking)
    SetMapTexCoordModeNull();
  else
    SetMapTexCoordModeMain();
  if (OnWrapUpPreRender) OnWrapUpPreRender(this);
  const bool events = drawState == dsRendering && OwnerAllowsEvents();
  if (events && BeforeRender) BeforeRender(this);
  if (HasCameraInScene() && !viewerGone_) {
    TGLSceneGraph* scene = camera_->Scene();
    if (drawState == dsRendering) {
      GLint maxLights = 8;
      GL.glGetIntegerv(GL_MAX_LIGHTS, &maxLights);
      scene->SetupLights(maxLights);
      if (fogEnable_) {
        glStates_->EnableState(stFog);
        fogEnvironment_->ApplyFog();
      } else {
        glStates_->DisableState(stFog);
      }
    }
    scene->RenderScene(this, viewport_[2], viewport_[3], drawState, baseObject);
  }
  if (events && !viewerGone_ && PostRender) PostRender(this);
  RTL_ASSERT(modelViewStack_.empty(), "Unbalance Push/PopModelViewMatrix.");
}

void TGLSceneBuffer::ApplyDeferredChanges() {
  if (rendering_) return;
  if (destroyAfterPass_) ReleaseRC();
  if (structuralChangeAfterPass_) {
    structuralChangeAfterPass_ = false;
    if (OnStructuralChange) OnStructuralChange(this);
  }
}

void TGLSceneBuffer::Render(TGLBaseSceneObject* baseObject) {
  if (rendering_) return;
  // Left over from a pass that failed.
  ApplyDeferredChanges();
  if (!renderingContext_) return;
  const TPassEnd end(this);
  RenderFrame(baseObject);
  if (!viewerGone_) ApplyDeferredChanges();
}

void TGLSceneBuffer::RenderFrame(TGLBaseSceneObject* baseObject) {
  const int64_t t0 = PerfCounter();
  if (HasCameraInScene()) {
    camera_->GetAbsoluteMatrixPtr();
    camera_->Scene()->AddBuffer(this);
  }
  rendering_ = true;
  // Whatever fails inside a frame, the buffer is left ready for the next one.
  TScopeExit done([this] {
    modelViewStack_.clear();
    rendering_ = false;
  });
  {
    // A frame drawn inside another one's (a view rendered to a texture from a BeforeRender)
    // gives the outer frame its context back, current and with its count, also on failure.
    TGLContextSwitch current(*renderingContext_);
    if (frameCount_ == 0) firstPerfCounter_ = PerfCounter();
    renderDPI_ = 96;
    RaiseOnGLError();
    SetupRenderingContext();
    const TVector4f bg = ColorValueToVector(backgroundColor_);
    GL.glClearColor(bg[0], bg[1], bg[2], backgroundAlpha_);
    ClearBuffers();
    DrainGLErrors();
    DoBaseRender(nullptr, baseObject, dsRendering);
    DrainGLErrors();
    if (!contextOptions_.Contains(roNoSwapBuffers) && !viewerGone_) renderingContext_->SwapBuffers();
    ++frameCount_;
    const int64_t t1 = PerfCounter();
    const double freq = double(PerfFrequency());
    lastFrameTime_ = float(double(t1 - t0) / freq);
    const int64_t elapsed = t1 - firstPerfCounter_;
    if (elapsed > 0) framesPerSecond_ = float(frameCount_ * freq / double(elapsed));
    DrainGLErrors();
  }
  if (OwnerAllowsEvents() && AfterRender) AfterRender(this);
}

void TGLSceneBuffer::ResetFrameCounter() {
  frameCount_ = 0;
  framesPerSecond_ = 0;
  firstPerfCounter_ = 0;
  lastFrameTime_ = 0;
}

int TGLSceneBuffer::GetGLLimit(int index) {
  static const GLenum kLimits[] = {GL_MAX_CLIP_PLANES,
                                   GL_MAX_EVAL_ORDER,
                                   GL_MAX_LIGHTS,
                                   GL_MAX_LIST_NESTING,
                                   GL_MAX_MODELVIEW_STACK_DEPTH,
                                   GL_MAX_NAME_STACK_DEPTH,
                                   GL_MAX_PIXEL_MAP_TABLE,
                                   GL_MAX_PROJECTION_STACK_DEPTH,
                                   GL_MAX_TEXTURE_SIZE,
                                   GL_MAX_TEXTURE_STACK_DEPTH,
                                   GL_MAX_VIEWPORT_DIMS,
                                   GL_ACCUM_ALPHA_BITS,
                                   GL_ACCUM_BLUE_BITS,
                                   GL_ACCUM_GREEN_BITS,
                                   GL_ACCUM_RED_BITS,
                                   GL_ALPHA_BITS,
                                   GL_AUX_BUFFERS,
                                   GL_BLUE_BITS,
                                   GL_GREEN_BITS,
                                   GL_RED_BITS,
                                   GL_INDEX_BITS,
                                   GL_STEREO,
                                   GL_DOUBLEBUFFER,
                                   GL_SUBPIXEL_BITS,
                                   GL_DEPTH_BITS,
                                   GL_STENCIL_BITS,
                                   0x84E2 /* GL_MAX_TEXTURE_UNITS_ARB */};
  if (index < 0 || index > 26) return 0;
  if (index == 26 && !GLCaps.ARB_multitexture) return 1;
  GLint v[2] = {0, 0};
  std::optional<TGLContextSwitch> current;
  if (renderingContext_) current.emplace(*renderingContext_);
  GL.glGetIntegerv(kLimits[index], v);
  if (index == 10) return std::max(v[0], v[1]);
  return v[0];
}

// --- picking

uint32_t TGLSceneBuffer::PickNameOf(TGLBaseSceneObject* obj) {
  pickNames_.push_back(obj);
  return uint32_t(pickNames_.size());
}

// The objects a picking pass named, and where in the naming each object freed during the pass
// went: a name given before its object went answers nothing (a name given after is a new object
// at the same address).
class TGLSceneBuffer::TPickNames final : public TGLFreedObjectListener {
 public:
  explicit TPickNames(const std::vector<TGLBaseSceneObject*>& names) noexcept : names_(names) {}
  // A new round of naming.
  void Restart() noexcept {
    freedAt_.clear();
    lost_ = false;
  }
  // The object a name stands for, while the scene still holds it.
  TGLBaseSceneObject* ObjectOf(uint32_t name, const TGLSceneGraph* scene) const {
    if (name < 1 || name > names_.size() || !scene) return nullptr;
    TGLBaseSceneObject* obj = names_[name - 1];
    if (lost_) return nullptr;
    if (const auto f = freedAt_.find(obj); f != freedAt_.end() && name <= f->second) return nullptr;
    if (obj->Scene() != scene) return nullptr;
    const TGLBaseSceneObject* root = obj;
    while (root->Parent()) root = root->Parent();
    return root == scene->Objects() ? obj : nullptr;
  }

 protected:
  void ObjectFreed(const TGLBaseSceneObject* obj) noexcept override {
    try {
      freedAt_[obj] = names_.size();
    } catch (...) {
      lost_ = true;  // no room to tell which went: no name answers
    }
  }

 private:
  const std::vector<TGLBaseSceneObject*>& names_;
  std::unordered_map<const TGLBaseSceneObject*, size_t> freedAt_;
  bool lost_ = false;
};

void TGLSceneBuffer::PickObjects(const TGLRect& rect, TGLPickList* pickList, int objectCountGuess) {
  if (!camera_) return;
  RTL_ASSERT(!rendering_, glsAlreadyRendering);
  RTL_ASSERT(pickList != nullptr);
  if (!renderingContext_) return;
  const TPassEnd end(this);
  PickPass(rect, pickList, objectCountGuess);
  if (!viewerGone_) ApplyDeferredChanges();
}

void TGLSceneBuffer::PickPass(const TGLRect& rect, TGLPickList* pickList, int objectCountGuess) {
  TGLContextSwitch current(*renderingContext_);
  rendering_ = true;
  const TMatrix4f savedProjection = projectionMatrix_;
  std::vector<uint32_t> selection;
  TPickNames names(pickNames_);
  TScopeExit done([&] {
    // A pass that failed half way leaves selection mode.
    GLint mode = GL_RENDER;
    GL.glGetIntegerv(GL_RENDER_MODE, &mode);
    if (mode == GL_SELECT) GL.glRenderMode(GL_RENDER);
    projectionMatrix_ = savedProjection;
    modelViewStack_.clear();
    pickNames_.clear();
    rendering_ = false;
  });
  SetMapTexCoordModeNull();
  // Room for n hit records of four words; doubled while the pass overflows, up
  // to a cap (16 MB) where the records that fit are taken.
  constexpr int kMaxPickRecords = 1 << 20;
  int n = std::clamp(objectCountGuess, 8, kMaxPickRecords / 2);
  GLint hits = -1;
  do {
    if (hits < 0) {
      n *= 2;
      selection.assign(size_t(n) * 4 + 32, 0);
    }
    pickNames_.clear();
    names.Restart();
    GL.glSelectBuffer(n * 4, selection.data());
    GL.glRenderMode(GL_SELECT);
    GL.glInitNames();
    GL.glPushName(0);
    renderDPI_ = 96;
    DoBaseRender(&rect, nullptr, dsPicking);
    GL.glFlush();
    hits = GL.glRenderMode(GL_RENDER);
  } while (hits < 0 && n < kMaxPickRecords);
  pickList->Clear();
  pickList->SetCapacity(hits);
  // Names are indices into this pass's table: hand out the objects they stand for, those the
  // scene still holds (the pass's drawing may have freed or moved some).
  const TGLSceneGraph* scene = HasCameraInScene() ? camera_->Scene() : nullptr;
  const auto objectOf = [&names, scene](uint32_t name) { return names.ObjectOf(name, scene); };
  for (const TSelectionHit& h : ParseSelectionBuffer(selection.data(), size_t(n) * 4, hits)) {
    std::vector<TGLBaseSceneObject*> subObjects(h.subNames.size());
    std::transform(h.subNames.begin(), h.subNames.end(), subObjects.begin(), objectOf);
    pickList->AddHit(objectOf(h.name), subObjects, h.zNear, h.zFar);
  }
}

TGLPickList* TGLSceneBuffer::GetPickedObjects(const TGLRect& rect, int objectCountGuess) {
  auto list = std::make_unique<TGLPickList>(psMinDepth);
  PickObjects(rect, list.get(), objectCountGuess);
  return list.release();
}

TGLBaseSceneObject* TGLSceneBuffer::GetPickedObject(int x, int y) {
  std::unique_ptr<TGLPickList> list(GetPickedObjects(MakeGLRect(x - 1, y - 1, x + 1, y + 1), 64));
  // Hits on objects outside the name table, or that the scene no longer holds, are skipped.
  for (int i = 0; i < list->Count(); ++i)
    if (list->Hit(i)) return list->Hit(i);
  return nullptr;
}

// --- projections

namespace {

bool Project(const TVector4f& p, const TMatrix4f& mv, const TMatrix4f& proj, const TVector4i& vp, TVector4f& out) {
  const TMatrix4d mvd = MatrixToDouble(mv), pd = MatrixToDouble(proj);
  const GLint view[4] = {vp[0], vp[1], vp[2], vp[3]};
  GLdouble x, y, z;
  if (GL.gluProject(p[0], p[1], p[2], mvd.data(), pd.data(), view, &x, &y, &z) != GL_TRUE) return false;
  out = VectorMake(float(x), float(y), float(z), 1);
  return true;
}

}  // namespace

TVector4f TGLSceneBuffer::WorldToScreen(const TVector4f& aPoint) {
  if (!camera_) return aPoint;
  TVector4f out = aPoint;
  Project(aPoint, modelViewMatrix_, projectionMatrix_, viewport_, out);
  out[3] = aPoint[3];
  return out;
}

void TGLSceneBuffer::WorldToScreen(TVector4f* points, int nb) {
  if (!camera_) return;
  for (int i = 0; i < nb; ++i) {
    TVector4f out = points[i];
    Project(points[i], modelViewMatrix_, projectionMatrix_, viewport_, out);
    out[3] = 1;
    points[i] = out;
  }
}

TVector4f TGLSceneBuffer::ScreenToWorld(const TVector4f& aPoint) {
  if (!camera_) return aPoint;
  const TMatrix4d mvd = MatrixToDouble(modelViewMatrix_), pd = MatrixToDouble(projectionMatrix_);
  const GLint view[4] = {viewport_[0], viewport_[1], viewport_[2], viewport_[3]};
  GLdouble x, y, z;
  if (GL.gluUnProject(aPoint[0], aPoint[1], aPoint[2], mvd.data(), pd.data(), view, &x, &y, &z) != GL_TRUE)
    return aPoint;
  return VectorMake(float(x), float(y), float(z), 1);
}

bool TGLSceneBuffer::ParallelProjection() const noexcept {
  // No perspective division: the projection's W column is (0, 0, 0, 1).
  return projectionMatrix_[0][3] == 0 && projectionMatrix_[1][3] == 0 && projectionMatrix_[2][3] == 0 &&
         projectionMatrix_[3][3] != 0;
}

bool TGLSceneBuffer::ScreenRay(const TVector4f& aScreenPoint, TVector4f& rayStart, TVector4f& rayVector) {
  if (!camera_) return false;
  const TVector4f nearPoint = ScreenToWorld(VectorMake(aScreenPoint[0], aScreenPoint[1], 0, 0));
  if (ParallelProjection()) {
    // Parallel rays: from the point under the cursor on the near plane, along the view direction
    // (the far plane's point under the cursor lies straight behind it).
    const TVector4f farPoint = ScreenToWorld(VectorMake(aScreenPoint[0], aScreenPoint[1], 1, 0));
    rayStart = nearPoint;
    rayVector = VectorSubtract(farPoint, nearPoint);
    rayVector[3] = 0;
    if (VectorXYZLength(rayVector) > 0) rayVector = VectorNormalized(rayVector);
  } else {
    rayStart = cameraAbsolutePosition_;
    rayVector = VectorSubtract(nearPoint, cameraAbsolutePosition_);
    rayVector[3] = 0;
  }
  rayStart[3] = 1;
  return true;
}

TVector4f TGLSceneBuffer::ScreenToVector(const TVector4f& aPoint) {
  TVector4f start{}, v = VectorMake(0, 0, 0, 0);
  ScreenRay(aPoint, start, v);
  return v;
}

bool TGLSceneBuffer::ScreenVectorIntersectWithPlane(const TVector4f& aScreenPoint, const TVector4f& planePoint,
                                                    const TVector4f& planeNormal, TVector4f& intersectPoint) {
  TVector4f start{}, v{};
  if (!ScreenRay(aScreenPoint, start, v)) return false;
  TVector4f hit{};
  if (!RayCastPlaneIntersect(start, v, planePoint, planeNormal, &hit)) return false;
  hit[3] = 1;
  intersectPoint = hit;
  return true;
}

bool TGLSceneBuffer::ScreenVectorIntersectWithPlaneXY(const TVector4f& aScreenPoint, float z,
                                                      TVector4f& intersectPoint) {
  const bool r =
      ScreenVectorIntersectWithPlane(aScreenPoint, VectorMake(0, 0, z, 1), VectorMake(0, 0, 1, 0), intersectPoint);
  intersectPoint[3] = 0;
  return r;
}

bool TGLSceneBuffer::ScreenVectorIntersectWithPlaneXZ(const TVector4f& aScreenPoint, float y,
                                                      TVector4f& intersectPoint) {
  const bool r =
      ScreenVectorIntersectWithPlane(aScreenPoint, VectorMake(0, y, 0, 1), VectorMake(0, 1, 0, 0), intersectPoint);
  intersectPoint[3] = 0;
  return r;
}

float TGLSceneBuffer::GetPixelDepth(int x, int y) {
  // Rows outside the framebuffer read as the far plane instead of undefined memory.
  float z = 1.0f;
  if (!renderingContext_) return z;
  const int row = std::clamp(viewport_[3] - y, 0, viewport_[3] - 1);
  const int col = std::clamp(x, 0, viewport_[2] - 1);
  TGLContextSwitch current(*renderingContext_);
  GL.glReadPixels(col, row, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &z);
  // A context without a depth buffer refuses the read: the far plane, and no
  // error left for the next frame to raise.
  if (GL.glGetError() != GL_NO_ERROR) {
    DrainGLErrors();
    z = 1.0f;
  }
  return z;
}

TVector4f TGLSceneBuffer::PixelRayToWorld(int x, int y) {
  if (!camera_) return VectorMake(0, 0, 0, 0);
  const float z = GetPixelDepth(x, y);
  // A parallel projection keeps depth linear and rays parallel: the pixel's point unprojected
  // with its depth is the point seen there.
  if (ParallelProjection()) {
    TVector4f p = ScreenToWorld(VectorMake(float(x), float(viewport_[3] - y), z, 0));
    p[3] = 1;
    return p;
  }
  const double np = camera_->NearPlane();
  double dist;
  if (camera_->CameraStyle() == csInfinitePerspective) {
    // The infinite projection's window depth solved for the eye distance.
    constexpr double e = 0.0001;
    const double denom = 2 - e - 2.0 * z;
    dist = denom > 0 ? (2 - e) * np / denom : 1e30;
  } else {
    const double dov = camera_->CameraStyle() == csOrtho2D ? 2 : camera_->DepthOfView();
    const double fp = np + dov;
    dist = fp * np / (fp - z * dov);
  }
  TVector4f r = VectorNormalized(ScreenToVector(VectorMake(float(x), float(viewport_[3] - y), 0, 0)));
  const TVector4f c = VectorNormalized(ScreenToVector(VectorMake(viewport_[2] / 2.0f, viewport_[3] / 2.0f, 0, 0)));
  const double cosAngle = AffineVectorDotProduct(AffineVectorMake(r), AffineVectorMake(c));
  const double len = cosAngle > 0 ? dist / cosAngle : dist;
  TVector4f result = VectorAdd(cameraAbsolutePosition_, VectorScaled(r, float(len)));
  result[3] = 1;
  return result;
}

void TGLSceneBuffer::CopyToTexture(TGLTexture* aTexture, int xSrc, int ySrc, int aWidth, int aHeight, int xDest,
                                   int yDest, GLenum target, bool forceFullUpload) {
  if (!renderingContext_ || !aTexture) return;
  TGLContextSwitch current(*renderingContext_);
  if (target == 0) target = aTexture->Image() ? aTexture->Image()->NativeTextureTarget() : GL_TEXTURE_2D;
  const GLenum bindTarget = (target >= GL_TEXTURE_CUBE_MAP_POSITIVE_X && target <= GL_TEXTURE_CUBE_MAP_NEGATIVE_Z)
                                ? GLenum(GL_TEXTURE_CUBE_MAP)
                                : target;
  const bool isNew = !aTexture->IsHandleAllocated();
  const GLuint name = aTexture->GetTextureHandle();
  glStates_->SetBoundTexture(0, bindTarget, name);
  if (isNew || forceFullUpload) {
    std::vector<uint8_t> pixels(size_t(std::max(aWidth, 0)) * size_t(std::max(aHeight, 0)) * 4);
    GL.glReadPixels(xSrc, ySrc, aWidth, aHeight, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    const GLenum minFilter = MinFilterToGL(aTexture->MinFilter());
    const bool mipmaps = minFilter != GL_NEAREST && minFilter != GL_LINEAR;
    if (!mipmaps) {
      GL.glTexImage2D(target, 0, GL_RGBA8, aWidth, aHeight, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    } else if (GLCaps.SGIS_generate_mipmap && target == GL_TEXTURE_2D) {
      GL.glTexParameteri(target, 0x8191 /* GL_GENERATE_MIPMAP_SGIS */, GL_TRUE);
      GL.glTexImage2D(target, 0, GL_RGBA8, aWidth, aHeight, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    } else {
      GL.gluBuild2DMipmaps(target, GL_RGBA8, aWidth, aHeight, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    }
  } else {
    GL.glCopyTexSubImage2D(target, 0, xDest, yDest, xSrc, ySrc, aWidth, aHeight);
  }
  RaiseOnGLError();
}

// --- model-view stack

void TGLSceneBuffer::PushModelViewMatrix(const TMatrix4f& newMatrix) {
  modelViewStack_.push_back(modelViewMatrix_);
  modelViewMatrix_ = newMatrix;
}

void TGLSceneBuffer::PopModelViewMatrix() {
  RTL_ASSERT(!modelViewStack_.empty(), "Unbalanced PopModelViewMatrix");
  modelViewMatrix_ = modelViewStack_.back();
  modelViewStack_.pop_back();
}

// --- properties

namespace {
template <class T>
bool Changed(T& field, T value) {
  if (field == value) return false;
  field = value;
  return true;
}
}  // namespace

void TGLSceneBuffer::SetFaceCulling(bool v) {
  if (Changed(faceCulling_, v)) NotifyChange(this);
}
void TGLSceneBuffer::SetFogEnable(bool v) {
  if (Changed(fogEnable_, v)) NotifyChange(this);
}
void TGLSceneBuffer::SetLighting(bool v) {
  if (Changed(lighting_, v)) NotifyChange(this);
}
void TGLSceneBuffer::SetDepthTest(bool v) {
  if (Changed(depthTest_, v)) NotifyChange(this);
}
void TGLSceneBuffer::SetBackgroundColor(TColor v) {
  if (Changed(backgroundColor_, v)) NotifyChange(this);
}
void TGLSceneBuffer::SetShadeModel(TGLShadeModel v) {
  if (Changed(shadeModel_, v)) NotifyChange(this);
}
void TGLSceneBuffer::SetAmbientColor(TGLColor* v) {
  ambientColor_->Assign(v);
  NotifyChange(this);
}
void TGLSceneBuffer::SetFogEnvironment(TGLFogEnvironment* v) {
  fogEnvironment_->Assign(v);
  NotifyChange(this);
}

void TGLSceneBuffer::StructuralChange() {
  // The context is made anew; a frame in progress keeps its own until it ends.
  if (rendering_) {
    structuralChangeAfterPass_ = true;
    return;
  }
  if (OnStructuralChange) OnStructuralChange(this);
}

void TGLSceneBuffer::SetAntiAliasing(TGLAntiAliasing v) {
  if (Changed(antiAliasing_, v)) StructuralChange();
}
void TGLSceneBuffer::SetDepthPrecision(TGLDepthPrecision v) {
  if (Changed(depthPrecision_, v)) StructuralChange();
}
void TGLSceneBuffer::SetColorDepth(TGLColorDepth v) {
  if (Changed(colorDepth_, v)) StructuralChange();
}
void TGLSceneBuffer::SetContextOptions(TContextOptions v) {
  if (contextOptions_.Bits() == v.Bits()) return;
  contextOptions_ = v;
  StructuralChange();
}
void TGLSceneBuffer::SetAccumBufferBits(int v) {
  if (Changed(accumBufferBits_, v)) StructuralChange();
}

void TGLSceneBuffer::SetCamera(TGLCamera* v) {
  if (camera_ == v) return;
  if (camera_ && camera_->Scene()) {
    TGLSceneGraph* scene = camera_->Scene();
    scene->RemoveBuffer(this);
    auto& users = scene->cameraUsers_;
    users.erase(std::remove(users.begin(), users.end(), this), users.end());
  }
  camera_ = nullptr;
  if (v && v->Scene()) {
    camera_ = v;
    camera_->Scene()->cameraUsers_.push_back(this);
    camera_->TransformationChanged();
  }
  NotifyChange(this);
}

// ============================================================================================
// Non-visual and memory viewers

TGLNonVisualViewer::TGLNonVisualViewer(TComponent* AOwner) : TComponent(AOwner) {
  buffer_ = std::make_unique<TGLSceneBuffer>(this);
  buffer_->OnChange = [this](TObject* s) { DoBufferChange(s); };
  buffer_->OnStructuralChange = [this](TObject* s) { DoBufferStructuralChange(s); };
  buffer_->OnPrepareGLContext = [this](TObject* s) {
    if (OnPrepareGLContext) OnPrepareGLContext(s);
  };
  buffer_->Resize(width_, height_);
}

TGLNonVisualViewer::~TGLNonVisualViewer() {
  *alive_ = false;
  if (buffer_->Camera()) buffer_->Camera()->RemoveFreeNotification(this);
  TGLSceneBuffer::Free(std::move(buffer_));
}

void TGLNonVisualViewer::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && buffer_ && AComponent == buffer_->Camera()) buffer_->SetCamera(nullptr);
  inherited::Notification(AComponent, Operation);
}

void TGLNonVisualViewer::SetCamera(TGLCamera* v) {
  if (buffer_->Camera() == v) return;
  if (buffer_->Camera()) buffer_->Camera()->RemoveFreeNotification(this);
  buffer_->SetCamera(v);
  if (buffer_->Camera()) buffer_->Camera()->FreeNotification(this);
}

void TGLNonVisualViewer::DoBufferStructuralChange(TObject*) { buffer_->DestroyRC(); }

void TGLNonVisualViewer::CopyToTexture(TGLTexture* aTexture) {
  buffer_->CopyToTexture(aTexture, 0, 0, width_, height_, 0, 0);
}

void TGLNonVisualViewer::SetWidth(int v) {
  v = std::max(1, v);
  if (width_ == v) return;
  width_ = v;
  DoBufferStructuralChange(this);
}

void TGLNonVisualViewer::SetHeight(int v) {
  v = std::max(1, v);
  if (height_ == v) return;
  height_ = v;
  DoBufferStructuralChange(this);
}

TGLMemoryViewer::TGLMemoryViewer(TComponent* AOwner) : TGLNonVisualViewer(AOwner) {
  SetWidth(256);
  SetHeight(256);
}

void TGLMemoryViewer::Render(TGLBaseSceneObject* baseObject) {
  // A frame that failed may have asked for a new context: it is made for this frame.
  Buffer()->ApplyDeferredChanges();
  if (!Buffer()->RCInstantiated()) {
    Buffer()->SetViewPort(0, 0, Width(), Height());
    // The context-preparation hook may free the viewer.
    const std::shared_ptr<const bool> alive = Alive();
    Buffer()->CreateRC(nullptr, true);
    if (!*alive) return;
  }
  Buffer()->Render(baseObject);
}

void RegisterGLSceneBufferClasses() {
  TPublished<TGLSceneBuffer>()
      .Object("FogEnvironment", &TGLSceneBuffer::FogEnvironment)
      .StoredIf([](TGLSceneBuffer* b) { return !b->FogEnvironment()->IsAtDefaultValues(); })
      .Integer(
          "BackgroundColor", [](TGLSceneBuffer* b) { return int32_t(b->BackgroundColor()); },
          &TGLSceneBuffer::SetBackgroundColor, -16777201)
      .Object("AmbientColor", &TGLSceneBuffer::AmbientColor)
      .Set("ContextOptions", &TGLSceneBuffer::ContextOptionsBits, &TGLSceneBuffer::SetContextOptionsBits,
           {"roDoubleBuffer", "roStencilBuffer", "roRenderToWindow", "roTwoSideLighting", "roStereo",
            "roDestinationAlpha", "roNoColorBuffer", "roNoColorBufferClear", "roNoSwapBuffers"},
           5)
      .Integer("AccumBufferBits", &TGLSceneBuffer::AccumBufferBits, &TGLSceneBuffer::SetAccumBufferBits, 0)
      .Boolean("DepthTest", &TGLSceneBuffer::DepthTest, &TGLSceneBuffer::SetDepthTest, true)
      .Boolean("FaceCulling", &TGLSceneBuffer::FaceCulling, &TGLSceneBuffer::SetFaceCulling, true)
      .Boolean("FogEnable", &TGLSceneBuffer::FogEnable, &TGLSceneBuffer::SetFogEnable, false)
      .Boolean("Lighting", &TGLSceneBuffer::Lighting, &TGLSceneBuffer::SetLighting, true)
      .Enum("AntiAliasing", &TGLSceneBuffer::AntiAliasing, &TGLSceneBuffer::SetAntiAliasing,
            {"aaDefault", "aaNone", "aa2x", "aa2xHQ", "aa4x", "aa4xHQ"}, aaDefault)
      .Enum("DepthPrecision", &TGLSceneBuffer::DepthPrecision, &TGLSceneBuffer::SetDepthPrecision,
            {"dpDefault", "dp16bits", "dp24bits", "dp32bits"}, dpDefault)
      .Enum("ColorDepth", &TGLSceneBuffer::ColorDepth, &TGLSceneBuffer::SetColorDepth,
            {"cdDefault", "cd8bits", "cd16bits", "cd24bits", "cdFloat64bits", "cdFloat128bits"}, cdDefault)
      .Enum("ShadeModel", &TGLSceneBuffer::ShadeModel, &TGLSceneBuffer::SetShadeModel,
            {"smDefault", "smSmooth", "smFlat"}, smDefault);
  TPublished<TGLNonVisualViewer>()
      .Component("Camera", &TGLNonVisualViewer::Camera, &TGLNonVisualViewer::SetCamera)
      .Integer("Width", &TGLNonVisualViewer::Width, &TGLNonVisualViewer::SetWidth, 256)
      .Integer("Height", &TGLNonVisualViewer::Height, &TGLNonVisualViewer::SetHeight, 256)
      .Object("Buffer", &TGLNonVisualViewer::Buffer);
  RegisterClass(TGLMemoryViewer::StaticClass());
}
