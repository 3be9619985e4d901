// Cylinders drawn from the lists they share per radius, in a real off-screen context: the same
// lit picture as with a list each, one list per radius, and a new context that draws again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLGeomObjects.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Scene/GLSceneGraph.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"

namespace {

constexpr int kSize = 96;

struct GL_SharedCylinderLists : TMemoryViewerTest {
  std::vector<TGLCylinder*> pipes;

  void SetUp() override {
    LookDownAtXY(kSize, false);
    auto* light = scene.Objects()->AddNewChild<TGLLightSource>();
    light->Position()->SetXYZAsPoint(3, 4, 6);
    // Pipes as the traffic view makes them: sides only, a few slices, lying at angles, of
    // different lengths and two radii, one standing on its end.
    const float placed[][5] = {{-1.2f, 1, 0.3f, 3.0f, 30}, {1, 0.5f, 0.3f, 1.5f, -60}, {0, -1.3f, 0.45f, 2.5f, 90}};
    for (const auto& s : placed) {
      auto* c = scene.Objects()->AddNewChild<TGLCylinder>();
      c->Position()->SetXYZAsPoint(s[0], s[1], 0);
      c->SetBottomRadius(s[2]);
      c->SetTopRadius(s[2]);
      c->SetHeight(s[3]);
      c->Roll(s[4]);
      c->SetParts(TCylinderParts{cySides});
      c->SetSlices(4);
      c->SetStacks(4);
      c->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{0.2f, 0.9f, 0.3f, 1});
      pipes.push_back(c);
    }
    pipes[2]->SetAlignment(caBottom);
  }

  void Share(bool v) {
    for (TGLCylinder* c : pipes) c->SetDrawnFromSharedLists(v);
  }
};

// Pixels whose colour differs by more than a rounding step, and pixels that are not background.
int Differing(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int n = 0;
  for (size_t i = 0; i < a.size(); i += 4)
    for (size_t k = 0; k < 3; ++k)
      if (std::abs(int(a[i + k]) - int(b[i + k])) > 3) {
        ++n;
        break;
      }
  return n;
}
int Lit(const std::vector<uint8_t>& a) { return Differing(a, std::vector<uint8_t>(a.size(), 0)); }

}  // namespace

TEST_F(GL_SharedCylinderLists, DrawTheSamePictureAsAListEach) {
  const std::vector<uint8_t> own = Frame();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  ASSERT_GT(Lit(own), 400);
  // At most edge pixels may round the other way.
  const int edges = Lit(own) / 100;

  const int before = TGLCylinder::SharedListCount();
  Share(true);
  const std::vector<uint8_t> shared = Frame();
  EXPECT_LE(Differing(own, shared), edges);
  EXPECT_EQ(TGLCylinder::SharedListCount() - before, 2);  // two radii
  for (TGLCylinder* c : pipes) EXPECT_FALSE(c->HasValidListHandle());

  // Caps are not shared: that cylinder draws itself again, as before.
  pipes[0]->SetParts(TCylinderParts{cySides, cyTop});
  Frame();
  EXPECT_EQ(TGLCylinder::SharedListCount() - before, 2);
  pipes[0]->SetParts(TCylinderParts{cySides});

  Share(false);
  EXPECT_LE(Differing(own, Frame()), 0);
}

TEST_F(GL_SharedCylinderLists, AWideningPipeCompilesNothingForAKnownRadius) {
  Share(true);
  Frame();
  const int lists = TGLCylinder::SharedListCount();
  pipes[0]->SetBottomRadius(0.45f);
  pipes[0]->SetTopRadius(0.45f);
  const std::vector<uint8_t> wide = Frame();
  EXPECT_EQ(TGLCylinder::SharedListCount(), lists);
  // The same pipe with its own list shows the same width.
  Share(false);
  EXPECT_LE(Differing(wide, Frame()), Lit(wide) / 100);
}

TEST_F(GL_SharedCylinderLists, ANewContextDrawsTheSamePicture) {
  Share(true);
  const std::vector<uint8_t> first = Frame();
  ASSERT_GT(Lit(first), 400);
  const int lists = TGLCylinder::SharedListCount();
  viewer.Buffer()->DestroyRC();
  // The lists went with their context.
  EXPECT_EQ(TGLCylinder::SharedListCount(), lists - 2);
  EXPECT_EQ(Differing(first, Frame()), 0);
  EXPECT_EQ(TGLCylinder::SharedListCount(), lists);
}

TEST_F(GL_SharedCylinderLists, MoreRadiiThanListsStillDrawEachPipe) {
  // A fan of thin pipes, each of its own radius: lists are made over, none is lost.
  for (int i = 0; i < 80; ++i) {
    auto* c = scene.Objects()->AddNewChild<TGLCylinder>();
    c->SetBottomRadius(0.02f + 0.001f * float(i));
    c->SetTopRadius(c->BottomRadius());
    c->SetHeight(4);
    c->Roll(float(i) * 4.5f);
    c->SetParts(TCylinderParts{cySides});
    c->SetSlices(4);
    pipes.push_back(c);
  }
  const std::vector<uint8_t> own = Frame();
  const int before = TGLCylinder::SharedListCount();
  Share(true);
  const std::vector<uint8_t> shared = Frame();
  EXPECT_LE(TGLCylinder::SharedListCount() - before, 64);
  EXPECT_LE(Differing(own, shared), Lit(own) / 100);
  EXPECT_EQ(Differing(shared, Frame()), 0);  // and again, with lists made over in this frame
}

TEST_F(GL_SharedCylinderLists, APipeInAListOfItsOwnStillDrawsItsSides) {
  const std::vector<uint8_t> own = Frame();
  ASSERT_GT(Lit(own), 400);
  // Shared, but compiled into its own list again: the sides go into that list, as no list can
  // be made while another is compiled.
  Share(true);
  for (TGLCylinder* c : pipes) c->SetObjectStyle(c->ObjectStyle() & ~osDirectDraw);
  for (int frame = 0; frame < 3; ++frame) {
    SCOPED_TRACE(frame);
    EXPECT_LE(Differing(own, Frame()), Lit(own) / 100);
  }
  for (TGLCylinder* c : pipes) EXPECT_TRUE(c->HasValidListHandle());
}
