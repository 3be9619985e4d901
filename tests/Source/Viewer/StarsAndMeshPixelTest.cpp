// A sky dome's faded stars and a vertex-list mesh read back from its stored form, drawn into a
// real off-screen context over several frames: the pixels a star and the mesh leave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "Source/Further/GLMesh.h"
#include "Source/Further/GLSkydome.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLSceneGraph.h"
#include "rtl/Streaming.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"

namespace {

constexpr int kSize = 64;

struct GL_StarsAndMesh : TMemoryViewerTest {
  void SetUp() override {
    RegisterGLSkydomeClasses();
    RegisterGLMesh();
    RegisterGLSceneGraphClasses();  // the objects' and materials' published properties
    RegisterGLTextureClasses();
    LookDownAtXY(kSize, false);
  }
};

// The brightest value of channel k over the frame.
int Brightest(const std::vector<uint8_t>& px, int k) {
  int m = 0;
  for (size_t i = 0; i < px.size(); i += 4) m = std::max(m, int(px[i + size_t(k)]));
  return m;
}

int Lit(const std::vector<uint8_t>& px) {
  int n = 0;
  for (size_t i = 0; i < px.size(); i += 4)
    if (px[i] > 3 || px[i + 1] > 3 || px[i + 2] > 3) ++n;
  return n;
}

}  // namespace

// A red star straight ahead in a black sky: gone while the high sun fades it, red again once
// fading is off or the sun has set.
TEST_F(GL_StarsAndMesh, AFadedStarIsRedAgainWhenTheSunSets) {
  auto* dome = scene.Objects()->AddNewChild<TGLEarthSkyDome>();
  for (TGLColor* c : {dome->SunZenithColor(), dome->SunDawnColor(), dome->HazeColor(), dome->SkyColor(),
                      dome->NightColor(), dome->DeepColor()})
    c->SetColor(TVector4f{0, 0, 0, 1});
  TSkyDomeStar* star = dome->Stars()->Add();
  star->SetDec(-90);  // the dome's -Z: where the camera looks
  star->SetMagnitude(-2);
  star->SetColor(0x0000FF);
  const std::vector<uint8_t> shown = Frame();
  ASSERT_GT(Brightest(shown, 0), 200);
  EXPECT_LT(Brightest(shown, 1), 20);

  dome->SetExtendedOptions(TEarthSkydomeOptions{esoFadeStarsWithSun});
  dome->SetSunElevation(75);
  for (int i = 0; i < 2; ++i) EXPECT_LT(Brightest(Frame(), 0), 4) << i;

  dome->SetExtendedOptions(TEarthSkydomeOptions{});
  for (int i = 0; i < 2; ++i) {
    const std::vector<uint8_t> px = Frame();
    EXPECT_GT(Brightest(px, 0), 200) << i;
    EXPECT_LT(Brightest(px, 1), 20) << i;
  }
  dome->SetExtendedOptions(TEarthSkydomeOptions{esoFadeStarsWithSun});
  dome->SetSunElevation(-10);
  EXPECT_EQ(Frame(), shown);
}

// A fan of 13 vertices read back from its stored form draws what the mesh it was stored from
// drew, beside another object.
TEST_F(GL_StarsAndMesh, AMeshReadBackDrawsItsOwnVertices) {
  auto* mesh = scene.Objects()->AddNewChild<TGLMesh>();
  mesh->SetMode(mmTriangleFan);
  mesh->SetVertexMode(vmV);
  mesh->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{0.1f, 0.9f, 0.2f, 1});
  mesh->Material()->SetMaterialOptions(TMaterialOptions{moNoLighting});
  TVertexList* list = mesh->VertexList();
  list->Clear();
  const TVector4f none{{0, 0, 0, 0}};
  list->AddVertex(TAffineVector{{-1, -1, 0}}, TAffineVector{{0, 0, 1}}, none, TTexPoint{0, 0});
  for (int i = 0; i < 12; ++i) {
    const float a = float(11 - i) / 11 * 3.14159265f;  // half a disc below the centre, counter-clockwise
    list->AddVertex(TAffineVector{{-1 + 1.2f * std::cos(a), -1 - 1.2f * std::sin(a), 0}}, TAffineVector{{0, 0, 1}},
                    none, TTexPoint{0, 0});
  }
  auto* other = scene.Objects()->AddNewChild<TGLMesh>();  // the default triangle, up and right
  other->Position()->SetXYZAsPoint(0.5f, 0.5f, 0);
  other->SetVertexMode(vmV);
  other->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{0.9f, 0.1f, 0.1f, 1});
  other->Material()->SetMaterialOptions(TMaterialOptions{moNoLighting});
  const std::vector<uint8_t> original = Frame();
  ASSERT_GT(Lit(original), 100);

  auto* copy = scene.Objects()->AddNewChild<TGLMesh>();
  {
    TMemoryStream ms;
    TWriter(&ms).WriteRootComponent(mesh);
    ms.SetPosition(0);
    TReader(&ms).ReadRootComponent(copy);
  }
  ASSERT_EQ(copy->VertexList()->Count(), 13);
  mesh->SetVisible(false);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Frame(), original) << i;
}
