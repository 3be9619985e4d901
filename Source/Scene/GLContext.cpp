// Rendering contexts: nested activation, shared-context groups, GL name handles and the manager.
#include "Source/Scene/GLContext.h"

#include "Source/Base/OpenGL1x.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

TGLContext* vCurrentRC = nullptr;
int vLiveTextureNames = 0;
int vLiveListNames = 0;

// The global manager: created on first use (or by the unit's start-up), its
// reference cleared once terminated and empty. The object itself is kept by
// the owner pointer until shutdown, so a context that unregisters late never
// touches freed memory.
std::unique_ptr<TGLContextManager> vManagerOwner;
TGLContextManager* vManager = nullptr;
bool vManagerFinalized = false;

std::unique_ptr<std::vector<TClass>> vContextClasses;

template <class T>
void Remove(std::vector<T*>& list, T* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}
template <class T>
bool Contains(const std::vector<T*>& list, T* item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

void ReportSwallowed(const char* where) noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", where, e.what());
  } catch (...) {
    std::fprintf(stderr, "%s: unknown error\n", where);
  }
}

}  // namespace

// ---------------------------------------------------------------- error helpers

void DrainGLErrors() {
  for (int i = 0; i < 7; ++i)
    if (GL.glGetError() == GL_NO_ERROR) break;
}

void RaiseOnGLError() {
  const GLenum e = GL.glGetError();
  if (e == GL_NO_ERROR) return;
  for (int i = 0; i < 7; ++i)
    if (GL.glGetError() == GL_NO_ERROR) break;
  const GLubyte* text = GL.gluErrorString(e);
  throw EOpenGLError(text ? reinterpret_cast<const char*>(text) : Format("OpenGL error %d", int(e)));
}

TGLContext* GetCurrentRenderingContext() { return vCurrentRC; }

// ---------------------------------------------------------------- TGLContext

TGLContext::TGLContext() {
  FManager = GLContextManager();
  if (FManager) FManager->RegisterContext(this);
}

TGLContext::~TGLContext() {
  if (vCurrentRC == this) vCurrentRC = nullptr;
  for (TGLContextHandle* h : FOwnedHandles) h->FRenderingContext = nullptr, h->FHandle = 0;
  for (TGLContext* c : FSharedContexts)
    if (c != this) Remove(c->FSharedContexts, this);
  if (FManager) {
    try {
      FManager->UnregisterContext(this);
    } catch (...) {
      ReportSwallowed("TGLContext destructor");
    }
  }
}

void TGLContext::CheckInactive() const {
  if (IsActive()) throw EGLContext("Cannot alter an active context");
}

void TGLContext::SetColorBits(int v) { CheckInactive(), FColorBits = v; }
void TGLContext::SetAlphaBits(int v) { CheckInactive(), FAlphaBits = v; }
void TGLContext::SetDepthBits(int v) { CheckInactive(), FDepthBits = v; }
void TGLContext::SetStencilBits(int v) { CheckInactive(), FStencilBits = v; }
void TGLContext::SetAccumBits(int v) { CheckInactive(), FAccumBits = v; }
void TGLContext::SetAuxBuffers(int v) { CheckInactive(), FAuxBuffers = v; }
void TGLContext::SetOptions(TGLRCOptions v) { CheckInactive(), FOptions = v; }
void TGLContext::SetAntiAliasing(TGLAntiAliasing v) { CheckInactive(), FAntiAliasing = v; }

void TGLContext::SetManager(TGLContextManager* m) {
  if (m == FManager) return;
  if (m) m->RegisterContext(this);
  if (FManager) FManager->UnregisterContext(this);
  FManager = m;
}

void TGLContext::CreateForDevice(TGLOutputDevice device) {
  if (IsCreated()) throw EGLContext("Context already created");
  FAcceleration = caUnknown;
  PlatformCreateContext(device);
  if (!Contains(FSharedContexts, this)) FSharedContexts.push_back(this);
}

void TGLContext::CreateOffScreen(TGLOutputDevice device, int width, int height) {
  if (IsCreated()) throw EGLContext("Context already created");
  FAcceleration = caUnknown;
  PlatformCreateOffscreenContext(device, width, height);
  if (!Contains(FSharedContexts, this)) FSharedContexts.push_back(this);
}

void TGLContext::ShareDisplayLists(TGLContext* other) {
  if (!IsCreated()) throw EGLContext("Context not created");
  if (Contains(FSharedContexts, other)) return;
  PlatformShareLists(other);
  FSharedContexts.push_back(other);
  CopySharingGroupToMembers();
}

void TGLContext::CopySharingGroupToMembers() {
  for (TGLContext* c : FSharedContexts)
    if (c != this) c->FSharedContexts = FSharedContexts;
}

TGLContext* TGLContext::FindSharingContext() const {
  for (TGLContext* c : FSharedContexts)
    if (c != this) return c;
  return nullptr;
}

bool TGLContext::SharesNamesWith(const TGLContext* other) const {
  return other == this ||
         (other && std::find(FSharedContexts.begin(), FSharedContexts.end(), other) != FSharedContexts.end());
}

void TGLContext::ActivateNested() {
  if (FActivationCount > 0) {
    RTL_ASSERT(vCurrentRC == this);
  } else {
    if (!IsCreated()) throw EGLContext("Context not created");
    PlatformActivate();
    vCurrentRC = this;
  }
  ++FActivationCount;
}

void TGLContext::DeactivateNested() {
  // Counted first: an extra deactivation is an unbalanced one, whoever is current.
  if (FActivationCount <= 0) throw EGLContext("Unbalanced context activations");
  RTL_ASSERT(vCurrentRC == this);
  if (--FActivationCount > 0) return;
  vCurrentRC = nullptr;
  if (!IsCreated()) throw EGLContext("Context not created");
  PlatformDeactivate();
}

bool TGLContext::ForceActiveState(bool wanted) {
  while (IsActive() != wanted) {
    if (wanted)
      ActivateNested();
    else
      DeactivateNested();
  }
  return IsActive();
}

void TGLContext::DestroyPlatformContext() {
  // When this context can no longer be made current (its surface is gone),
  // it is destroyed all the same; names that cannot move are forgotten.
  std::optional<TGLContextSwitch> current;
  try {
    current.emplace(*this);
  } catch (const EGLContext&) {
    ReportSwallowed("Activating a context for its destruction");
  }
  const bool active = current.has_value();
  TGLContext* s = FindSharingContext();
  const std::vector<TGLContextHandle*> handles = FOwnedHandles;
  FOwnedHandles.clear();
  for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
    TGLContextHandle* h = *it;
    if (s && h->MovesToSharingContext()) {
      // The name stays valid: s shares this context's lists.
      h->FRenderingContext = s;
      s->Own(h);
    } else if (!active) {
      h->FRenderingContext = nullptr, h->FHandle = 0;
    } else {
      try {
        h->DropNameInPlace();
      } catch (...) {
        h->Forget();
        DrainGLErrors();
        ReportSwallowed("Deleting a GL name");
      }
    }
  }
  Remove(FSharedContexts, this);
  CopySharingGroupToMembers();
  FSharedContexts.clear();
  if (active)
    ForceActiveState(false);
  else
    FActivationCount = 0;
  PlatformDestroyContext();
  if (current) current->Restore();
  FAcceleration = caUnknown;
}

void TGLContext::DestroyQuietly() noexcept {
  try {
    if (IsCreated()) DestroyPlatformContext();
  } catch (...) {
    ReportSwallowed("Destroying a rendering context");
  }
}

// ---------------------------------------------------------------- TGLContextSwitch

TGLContextSwitch::TGLContextSwitch(TGLContext& target) : FTarget(target), FPrevious(vCurrentRC) {
  if (FPrevious == &target) {
    FPreviousCount = target.FActivationCount;
    target.ActivateNested();
    return;
  }
  if (FPrevious) {
    // Released at platform level only; its count comes back with it.
    FPreviousCount = FPrevious->FActivationCount;
    FPrevious->FActivationCount = 0;
    vCurrentRC = nullptr;
    try {
      FPrevious->PlatformDeactivate();
    } catch (...) {
      FPrevious->FActivationCount = FPreviousCount;
      vCurrentRC = FPrevious;
      throw;
    }
  }
  try {
    target.ActivateNested();
    FTargetActivated = true;
  } catch (...) {
    try {
      Restore();
    } catch (...) {
      ReportSwallowed("Restoring the current context");
    }
    throw;
  }
}

TGLContextSwitch::~TGLContextSwitch() {
  try {
    Restore();
  } catch (...) {
    ReportSwallowed("Restoring the current context");
  }
}

void TGLContextSwitch::Restore() {
  if (FDone) return;
  FDone = true;
  if (FPrevious == &FTarget) {
    if (FTarget.FActivationCount > FPreviousCount) FTarget.DeactivateNested();
    return;
  }
  if (FTargetActivated && FTarget.IsActive() && vCurrentRC == &FTarget) FTarget.ForceActiveState(false);
  if (!FPrevious) return;
  try {
    FPrevious->PlatformActivate();
  } catch (...) {
    // It cannot be current any more; keep the bookkeeping true to that.
    FPrevious->FActivationCount = 0;
    throw;
  }
  vCurrentRC = FPrevious;
  FPrevious->FActivationCount = FPreviousCount;
}

// ---------------------------------------------------------------- handles

TGLContextHandle::~TGLContextHandle() { Forget(); }

void TGLContextHandle::FreeQuietly() noexcept {
  try {
    FreeName();
  } catch (...) {
    Forget();
    try {
      if (vCurrentRC) DrainGLErrors();
    } catch (...) {
    }
    ReportSwallowed("Freeing a GL name");
  }
}

void TGLContext::Own(TGLContextHandle* h) {
  h->FOwnedIndex = FOwnedHandles.size();
  FOwnedHandles.push_back(h);
}

void TGLContext::Disown(TGLContextHandle* h) {
  const size_t i = h->FOwnedIndex;
  if (i >= FOwnedHandles.size() || FOwnedHandles[i] != h) return;  // not listed (its context is going)
  FOwnedHandles[i] = FOwnedHandles.back();
  FOwnedHandles[i]->FOwnedIndex = i;
  FOwnedHandles.pop_back();
}

void TGLContextHandle::Forget() {
  if (FRenderingContext) FRenderingContext->Disown(this);
  FRenderingContext = nullptr;
  FHandle = 0;
}

void TGLContextHandle::AllocateName() {
  RTL_ASSERT(FHandle == 0);
  RTL_ASSERT(vCurrentRC != nullptr);
  FHandle = GenerateName();
  if (FHandle != 0) {
    FRenderingContext = vCurrentRC;
    vCurrentRC->Own(this);
  }
}

void TGLContextHandle::FreeName() {
  if (FHandle == 0) return;
  TGLContext* owner = FRenderingContext;
  const uint32_t name = FHandle;
  // Whatever happens below, the handle no longer holds the name.
  Forget();
  if (!owner || !owner->IsCreated()) return;  // the names died with the context
  TGLContext* current = vCurrentRC;
  if (current && current->SharesNamesWith(owner)) {
    DeleteName(name);
    return;
  }
  TGLContextSwitch sw(*owner);
  DeleteName(name);
  sw.Restore();
}

void TGLContextHandle::DropNameInPlace() {
  if (FHandle == 0) return;
  const uint32_t name = FHandle;
  Forget();
  DeleteName(name);
}

uint32_t TGLVirtualHandle::GenerateName() {
  uint32_t name = 0;
  if (OnAllocate) OnAllocate(this, name);
  return name;
}

void TGLVirtualHandle::DeleteName(uint32_t name) {
  DrainGLErrors();
  if (OnDestroy) OnDestroy(this, name);
  RaiseOnGLError();
}

int TGLContextHandle::LiveTextureNames() noexcept { return vLiveTextureNames; }
int TGLContextHandle::LiveListNames() noexcept { return vLiveListNames; }

uint32_t TGLListHandle::GenerateName() {
  const uint32_t name = GL.glGenLists(1);
  if (name) ++vLiveListNames;
  return name;
}

void TGLListHandle::DeleteName(uint32_t name) {
  --vLiveListNames;
  DrainGLErrors();
  GL.glDeleteLists(name, 1);
  RaiseOnGLError();
}

uint32_t TGLTextureHandle::GenerateName() {
  GLuint name = 0;
  GL.glGenTextures(1, &name);
  if (name) ++vLiveTextureNames;
  return name;
}

void TGLTextureHandle::DeleteName(uint32_t name) {
  --vLiveTextureNames;
  GL.glGetError();
  if (GL.glIsTexture(name)) {
    GLuint n = name;
    GL.glDeleteTextures(1, &n);
  }
  RaiseOnGLError();
}

// ---------------------------------------------------------------- TGLContextManager

TGLContextManager::~TGLContextManager() {
  if (vManager == this) vManager = nullptr;
  for (TGLContext* c : FList) c->FManager = nullptr;
}

void TGLContextManager::RegisterContext(TGLContext* context) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (Contains(FList, context)) throw EGLContext("Invalid context registration");
  FList.push_back(context);
}

void TGLContextManager::UnregisterContext(TGLContext* context) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (!Contains(FList, context)) throw EGLContext("Invalid context registration");
  Remove(FList, context);
  if (FTerminated && FList.empty() && vManager == this) vManager = nullptr;
}

int TGLContextManager::ContextCount() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return int(FList.size());
}

void TGLContextManager::AddRenderingContextClass(TClass cls) {
  if (!vContextClasses) vContextClasses = std::make_unique<std::vector<TClass>>();
  vContextClasses->push_back(cls);
}

void TGLContextManager::RemoveRenderingContextClass(TClass cls) {
  if (vContextClasses) Remove(*vContextClasses, cls);
}

TGLContext* TGLContextManager::InstantiateContext() {
  if (!vContextClasses || vContextClasses->empty()) return nullptr;
  TObject* obj = vContextClasses->front()->Create();
  auto* context = dynamic_cast<TGLContext*>(obj);
  if (!context) {
    delete obj;
    throw EGLContext("Invalid context class");
  }
  try {
    context->SetManager(this);
  } catch (...) {
    delete context;
    throw;
  }
  return context;
}

void TGLContextManager::Terminate() {
  FTerminated = true;
  if (ContextCount() == 0 && vManager == this) vManager = nullptr;
}

TGLContextManager* GLContextManager() {
  if (!vManager && !vManagerFinalized) InitializeGLContextManager();
  return vManager;
}

void InitializeGLContextManager() {
  if (vManager) return;
  vManagerFinalized = false;
  vManagerOwner = std::make_unique<TGLContextManager>();
  vManager = vManagerOwner.get();
}

void FinalizeGLContextManager() {
  vManagerFinalized = true;
  if (vManager) vManager->Terminate();
  vContextClasses.reset();
  if (vManagerOwner && vManagerOwner->ContextCount() == 0)
    vManagerOwner.reset();
  else
    (void)vManagerOwner.release();  // live contexts still point at it; it goes with the process
}
