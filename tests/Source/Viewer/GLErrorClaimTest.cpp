// A GL error is the fault of the call that made it: lights set with values GL refuses leave
// none, and one left pending by other drawing does not stop a texture from being uploaded.
#include <gtest/gtest.h>

#include <memory>

#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLTexture.h"
#include "Source/Objects/GLObjects.h"
#include "platform/Graphics.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"

namespace {

struct GL_ErrorClaimTest : TMemoryViewerTest {
  // A white textured floor filling the middle of the view, drawn after `before`.
  TGLPlane* TexturedFloor() {
    auto* floor = Floor(scene.Objects());
    TGLTexture* t = floor->Material()->Texture();
    t->SetDisabled(false);
    auto white = std::make_unique<TBitmap>(8, 8, pf24bit);
    white->Canvas().Brush().SetColor(clWhite);
    white->Canvas().FillRect(Rect(0, 0, 8, 8));
    static_cast<TGLPersistentImage*>(t->Image())->Picture()->Assign(white.get());
    return floor;
  }
};

// A light with a spot exponent and an attenuation GL would refuse: the light set-up leaves no
// error for the next call to find.
TEST_F(GL_ErrorClaimTest, LightsSetWithRefusedValuesLeaveNoError) {
  LookDownAtXY(32, false);
  auto* spot = scene.Objects()->AddNewChild<TGLLightSource>();
  spot->Position()->SetXYZAsPoint(0, 0, 5);
  spot->SetSpotCutOff(60);
  spot->SetSpotExponent(200);
  spot->SetLinearAttenuation(-1);
  GLenum pending = GL_NO_ERROR;
  auto* probe = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  probe->OnRender = [&](TObject*, TRenderContextInfo&) { pending = GL.glGetError(); };
  for (int i = 0; i < 3; ++i) {
    viewer.Render();
    EXPECT_EQ(pending, GLenum(GL_NO_ERROR)) << "frame " << i;
  }
}

// Drawing that leaves an error pending before a newly textured object: the object is drawn
// in every frame all the same.
TEST_F(GL_ErrorClaimTest, AnErrorLeftByOtherDrawingIsNotTheTexturesUpload) {
  LookDownAtXY(32, false);
  viewer.Buffer()->SetLighting(false);
  auto* careless = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  careless->OnRender = [](TObject*, TRenderContextInfo&) { GL.glLightf(GL_LIGHT0, GL_SPOT_EXPONENT, 200); };
  TexturedFloor();
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    viewer.Render();
    EXPECT_EQ(Rgb(PixelAt(0, 0, 0)), "255,255,255") << "frame " << i;
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("not drawn"), std::string::npos) << err;
}

}  // namespace
