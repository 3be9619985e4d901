// A rendering context that only keeps the books: it can be created, made current and
// destroyed without any platform behind it, so handles get names from a recorded or
// foreign GL while the engine believes a context of its own is current.
#pragma once

#include "Source/Scene/GLContext.h"

class TBookkeepingContext : public TGLContext {
  RTL_CLASS(TBookkeepingContext, TGLContext)
 public:
  ~TBookkeepingContext() override { DestroyQuietly(); }
  bool IsCreated() const override { return created_; }
  void SwapBuffers() override {}
  TGLOutputDevice OutputDevice() const override { return nullptr; }

 protected:
  void PlatformActivate() override {}
  void PlatformDeactivate() override {}
  void PlatformCreateContext(TGLOutputDevice) override { created_ = true; }
  void PlatformCreateOffscreenContext(TGLOutputDevice, int, int) override { created_ = true; }
  void PlatformShareLists(TGLContext*) override {}
  void PlatformDestroyContext() override { created_ = false; }

 private:
  bool created_ = false;
};
