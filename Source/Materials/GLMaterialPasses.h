// Drawing under a material: the passes it asks for, and taking it off again when a draw fails.
//
// A material (or library material) and its shader must be un-applied exactly once per Apply;
// one left applied makes every later frame fail with "Unbalanced shader application.". Both
// helpers work for TGLMaterial and TGLLibMaterial. GUI thread, context current.
#pragma once

#include "Source/Materials/GLMaterial.h"

namespace glmaterialpasses {

inline TGLShader* ShaderOf(TGLMaterial& m) noexcept { return m.LibMaterial() ? m.LibMaterial()->Shader() : nullptr; }
inline TGLShader* ShaderOf(TGLLibMaterial& m) noexcept { return m.Shader(); }

}  // namespace glmaterialpasses

// Takes off a material whose application a failure cut short: the passes it still asks for are
// dropped and its shader is left inactive, so the next frame applies both afresh. Failures of
// the un-apply itself are swallowed: the caller is already unwinding from the first one.
template <class M>
void UnApplyAfterFailure(M& material, TRenderContextInfo& rci) noexcept {
  try {
    // A library material stops a shader that keeps asking after MaxMaterialPasses by itself.
    for (int i = 0; i <= MaxMaterialPasses && material.UnApply(rci); ++i) {
    }
  } catch (...) {
  }
  if (TGLShader* shader = glmaterialpasses::ShaderOf(material)) shader->AbandonApplication(rci);
}

// Applies `material`, then calls `draw` once per pass the material asks for (at most
// MaxMaterialPasses). A draw or an UnApply that raises takes the material off before the
// failure goes on.
template <class M, class F>
void DrawUnderMaterial(M& material, TRenderContextInfo& rci, F&& draw) {
  material.Apply(rci);
  int passes = 0;
  bool again;
  do {
    try {
      draw();
      again = material.UnApply(rci);
    } catch (...) {
      UnApplyAfterFailure(material, rci);
      throw;
    }
  } while (again && ++passes < MaxMaterialPasses);
}
