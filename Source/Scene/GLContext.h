// Rendering contexts, per-context GL names (handles) and the context manager.
//
// A TGLContext is platform-neutral: a platform class (Source/Viewer) supplies
// the Platform* operations. Activation nests; one context at most is current in
// the process. Contexts that share display lists form a group (SharedContexts);
// when a context is destroyed, the names its handles own move to a member of its
// group, or are deleted while it is still current.
//
// Switching to another context to delete a name (FreeName, DestroyPlatformContext)
// saves the current context together with its activation count and restores both,
// so a context that was nested-active stays current with the same count.
//
// Handles never throw from their destructors; a name whose context is gone is
// forgotten (the GL objects died with it).
//
// Thread safety: contexts and handles belong to the rendering (GUI) thread. Only
// the manager's context list is locked.
#pragma once

#include "rtl/SysUtils.h"
#include "rtl/System.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class QWindow;

RTL_DECLARE_EXCEPTION(EGLContext, Exception);
RTL_DECLARE_EXCEPTION(EOpenGLError, Exception);

enum TGLAntiAliasing : uint8_t { aaDefault, aaNone, aa2x, aa2xHQ, aa4x, aa4xHQ };
enum TGLRCOption : uint8_t { rcoDoubleBuffered, rcoStereo };
using TGLRCOptions = TSet<TGLRCOption>;
enum TGLContextAcceleration : uint8_t { caUnknown, caSoftware, caHardware };

// The window a context draws into; nullptr for off-screen contexts.
using TGLOutputDevice = QWindow*;

class TGLContextManager;
class TGLContextHandle;

class TGLContext : public TObject {
  RTL_CLASS(TGLContext, TObject)

 public:
  // Registers with the global context manager (when there is one).
  TGLContext();
  // Platform classes must call DestroyPlatformContext in their own destructor
  // (the platform part is gone by the time this one runs).
  ~TGLContext() override;

  int ColorBits() const { return FColorBits; }
  void SetColorBits(int v);
  int AlphaBits() const { return FAlphaBits; }
  void SetAlphaBits(int v);
  int DepthBits() const { return FDepthBits; }
  void SetDepthBits(int v);
  int StencilBits() const { return FStencilBits; }
  void SetStencilBits(int v);
  int AccumBits() const { return FAccumBits; }
  void SetAccumBits(int v);
  int AuxBuffers() const { return FAuxBuffers; }
  void SetAuxBuffers(int v);
  TGLRCOptions Options() const { return FOptions; }
  void SetOptions(TGLRCOptions v);
  TGLAntiAliasing AntiAliasing() const { return FAntiAliasing; }
  void SetAntiAliasing(TGLAntiAliasing v);

  TGLContextManager* Manager() const { return FManager; }
  // Moves the context's registration to another manager.
  void SetManager(TGLContextManager* m);
  int ActivationCount() const { return FActivationCount; }
  const std::vector<TGLContext*>& SharedContexts() const { return FSharedContexts; }
  const std::vector<TGLContextHandle*>& OwnedHandles() const { return FOwnedHandles; }
  TGLContextAcceleration Acceleration() const { return FAcceleration; }

  bool IsActive() const { return FActivationCount > 0; }
  void CreateForDevice(TGLOutputDevice device);
  void CreateOffScreen(TGLOutputDevice device, int width, int height);
  void ShareDisplayLists(TGLContext* other);
  void CopySharingGroupToMembers();
  TGLContext* FindSharingContext() const;
  // Whether names made in the other context can be used in this one: the same context, or
  // one of those that share its lists.
  bool SharesNamesWith(const TGLContext* other) const;
  void ActivateNested();
  void DeactivateNested();
  bool ForceActiveState(bool wanted);
  // Moves or drops the handles' names, leaves the sharing group and destroys
  // the platform context. The previously current context is current again
  // afterwards, with its activation count.
  void DestroyPlatformContext();

  virtual bool IsCreated() const = 0;
  virtual void SwapBuffers() = 0;
  virtual TGLOutputDevice OutputDevice() const = 0;

 protected:
  virtual void PlatformActivate() = 0;
  virtual void PlatformDeactivate() = 0;
  virtual void PlatformCreateContext(TGLOutputDevice device) = 0;
  virtual void PlatformCreateOffscreenContext(TGLOutputDevice device, int width, int height) = 0;
  virtual void PlatformShareLists(TGLContext* other) = 0;
  virtual void PlatformDestroyContext() = 0;
  void SetAcceleration(TGLContextAcceleration a) { FAcceleration = a; }
  // For destructors: DestroyPlatformContext when created, errors swallowed.
  void DestroyQuietly() noexcept;

 private:
  friend class TGLContextHandle;
  friend class TGLContextSwitch;
  friend class TGLContextManager;
  void CheckInactive() const;
  int FColorBits = 32, FAlphaBits = 0, FDepthBits = 0, FStencilBits = 0, FAccumBits = 0, FAuxBuffers = 0;
  TGLRCOptions FOptions;
  TGLAntiAliasing FAntiAliasing = aaDefault;
  TGLContextManager* FManager = nullptr;
  int FActivationCount = 0;
  std::vector<TGLContext*> FSharedContexts;
  std::vector<TGLContextHandle*> FOwnedHandles;  // in no particular order
  void Own(TGLContextHandle* h);
  // Takes the handle out of the list in constant time (the last one fills its place).
  void Disown(TGLContextHandle* h);
  TGLContextAcceleration FAcceleration = caUnknown;
};

// Makes a context current for the lifetime of the object and restores the
// previously current context (and its activation count) afterwards. The
// previous context is released at platform level only; its count is kept.
class TGLContextSwitch {
 public:
  explicit TGLContextSwitch(TGLContext& target);
  ~TGLContextSwitch();
  // Ends the switch early; errors of the restore are raised here (the
  // destructor swallows them).
  void Restore();
  TGLContextSwitch(const TGLContextSwitch&) = delete;
  TGLContextSwitch& operator=(const TGLContextSwitch&) = delete;

 private:
  TGLContext& FTarget;
  TGLContext* FPrevious = nullptr;
  int FPreviousCount = 0;
  bool FDone = false;
  bool FTargetActivated = false;
};

// A GL object name allocated in a context.
class TGLContextHandle : public TObject {
  RTL_CLASS(TGLContextHandle, TObject)

 public:
  TGLContextHandle() = default;
  // Forgets a name still held; concrete handles free it in their own
  // destructors (DeleteName is theirs).
  ~TGLContextHandle() override;
  uint32_t Handle() const { return FHandle; }
  TGLContext* RenderingContext() const { return FRenderingContext; }
  // Whether the name can move to a context that shares lists with its owner.
  virtual bool MovesToSharingContext() const { return true; }
  void AllocateName();
  void FreeName();
  // Names of each kind generated and not yet deleted, all contexts together,
  // for memory diagnostics (rendering thread).
  static int LiveTextureNames() noexcept;
  static int LiveListNames() noexcept;
  // Deletes the name in whatever context is current, with no switching.
  void DropNameInPlace();

 protected:
  virtual uint32_t GenerateName() = 0;
  virtual void DeleteName(uint32_t name) = 0;
  // FreeName for destructors: errors are drained and reported, never thrown.
  void FreeQuietly() noexcept;

 private:
  friend class TGLContext;
  void Forget();
  TGLContext* FRenderingContext = nullptr;
  uint32_t FHandle = 0;
  size_t FOwnedIndex = 0;  // its place in the owner's list, so freeing is not a search
};

class TGLVirtualHandle : public TGLContextHandle {
  RTL_CLASS(TGLVirtualHandle, TGLContextHandle)

 public:
  ~TGLVirtualHandle() override { FreeQuietly(); }
  using TGLVirtualHandleEvent = std::function<void(TGLVirtualHandle* sender, uint32_t& handle)>;
  TGLVirtualHandleEvent OnAllocate;
  TGLVirtualHandleEvent OnDestroy;

 protected:
  uint32_t GenerateName() override;
  void DeleteName(uint32_t name) override;
};

class TGLListHandle : public TGLContextHandle {
  RTL_CLASS(TGLListHandle, TGLContextHandle)

 public:
  ~TGLListHandle() override { FreeQuietly(); }

 protected:
  uint32_t GenerateName() override;
  void DeleteName(uint32_t name) override;
};

class TGLTextureHandle : public TGLContextHandle {
  RTL_CLASS(TGLTextureHandle, TGLContextHandle)

 public:
  ~TGLTextureHandle() override { FreeQuietly(); }

 protected:
  uint32_t GenerateName() override;
  void DeleteName(uint32_t name) override;
};

class TGLContextManager : public TObject {
  RTL_CLASS(TGLContextManager, TObject)

 public:
  TGLContextManager() = default;
  ~TGLContextManager() override;
  void Lock() { FLock.lock(); }
  void UnLock() { FLock.unlock(); }
  void RegisterContext(TGLContext* context);
  void UnregisterContext(TGLContext* context);
  int ContextCount();
  // The process-wide list of context classes, first registered first.
  static void AddRenderingContextClass(TClass cls);
  static void RemoveRenderingContextClass(TClass cls);
  // A new context of the first registered class, nullptr when none is.
  TGLContext* InstantiateContext();
  // Marks the manager terminated; the global reference is cleared now when no
  // context is left, else when the last one unregisters.
  void Terminate();
  bool Terminated() const { return FTerminated; }

 private:
  std::recursive_mutex FLock;
  std::vector<TGLContext*> FList;
  bool FTerminated = false;
};

// The global context manager (nullptr once terminated and empty).
TGLContextManager* GLContextManager();
// Creates the global manager when there is none (the unit's start-up).
void InitializeGLContextManager();
// Terminates the global manager and frees it with the context-class list when
// no context is left (the unit's shutdown).
void FinalizeGLContextManager();

TGLContext* GetCurrentRenderingContext();

// Raises EOpenGLError with the GLU text of a pending GL error (after draining
// up to seven more).
void RaiseOnGLError();
// Reads GL errors until none is pending (at most seven reads).
void DrainGLErrors();
