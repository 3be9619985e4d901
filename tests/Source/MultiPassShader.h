// A shader that asks for a fixed number of passes per application and counts its applications,
// for tests of what drawing under a material leaves applied.
#pragma once

#include <memory>

#include "Source/Materials/GLMaterial.h"
#include "tests/Source/CurrentNullContext.h"

class TMultiPassShader : public TGLShader {
  RTL_CLASS(TMultiPassShader, TGLShader)
 public:
  using TGLShader::TGLShader;
  int passes = 3;  // more than one: a single UnApply does not take it off
  int applies = 0;

  // A library material in `lib` using this shader and switching lighting off.
  TGLLibMaterial* AddUser(TGLMaterialLibrary& lib) {
    TGLLibMaterial* lm = lib.Materials()->Add();
    lm->SetShader(this);
    lm->Material()->SetMaterialOptions({moNoLighting});
    return lm;
  }

 protected:
  void DoApply(TRenderContextInfo&, TObject*) override {
    ++applies;
    left_ = passes;
  }
  bool DoUnApply(TRenderContextInfo&) override { return --left_ > 0; }

 private:
  int left_ = 0;
};
