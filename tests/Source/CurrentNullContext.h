// Test aid: a current context without a platform while it lives (defined with the texture
// tests), so that textures and shaders get names; texture names count up from 100. Make it
// after the GL recorder.
#pragma once

#include <memory>

#include "Source/Scene/GLContext.h"

class TCurrentNullContext {
 public:
  TCurrentNullContext();
  ~TCurrentNullContext();

 private:
  std::unique_ptr<TGLContext> context_;
};
