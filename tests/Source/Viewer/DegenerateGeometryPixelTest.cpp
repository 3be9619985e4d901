// Degenerate geometry drawn as people draw it: a lit polygon whose outline starts with nodes
// in line is lit as the same outline started at a corner.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLGeomObjects.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"

namespace {

struct GL_DegenerateGeometryTest : TMemoryViewerTest {};

// A 2 x 2 white square facing the camera, lit from above, drawn from the outline given.
TRgb LitSquare(TMemoryViewerTest& t, const std::vector<std::pair<float, float>>& outline) {
  t.scene.Objects()->DeleteChildren();
  auto* light = t.scene.Objects()->AddNewChild<TGLLightSource>();
  light->SetLightStyle(lsOmni);
  light->Position()->SetXYZAsPoint(0, 0, 10);
  auto* polygon = t.scene.Objects()->AddNewChild<TGLPolygon>();
  polygon->Material()->FrontProperties()->Diffuse()->SetColor(VectorMake(1, 1, 1, 1));
  polygon->Material()->FrontProperties()->Ambient()->SetColor(VectorMake(0, 0, 0, 1));
  for (auto [x, y] : outline) polygon->Nodes()->AddNode(x, y, 0);
  t.viewer.Render();
  return t.PixelAt(0.5f, 0.5f, 0);
}

TEST_F(GL_DegenerateGeometryTest, APolygonStartedWithNodesInLineIsLitAsFromACorner) {
  LookDownAtXY(32, false);
  const TRgb fromCorner = LitSquare(*this, {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}});
  const TRgb fromEdge = LitSquare(*this, {{-1, -1}, {0, -1}, {1, -1}, {1, 1}, {-1, 1}});
  EXPECT_GT(fromCorner[0], 200) << Rgb(fromCorner);
  EXPECT_EQ(Rgb(fromEdge), Rgb(fromCorner));
}

}  // namespace
