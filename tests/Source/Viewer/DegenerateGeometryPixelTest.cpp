// Degenerate geometry drawn as people draw it: a lit polygon whose outline starts with nodes
// in line (exactly, or on paper but for rounding), or with its inward corner, is lit as the
// same outline started at a corner.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLGeomObjects.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"

namespace {

struct GL_DegenerateGeometryTest : TMemoryViewerTest {};

// The top of a white outline facing the camera, lit from above, drawn from the nodes given; the pixel at
// (x, y).
TRgb LitSquare(TMemoryViewerTest& t, const std::vector<std::pair<float, float>>& outline, float x = 0.5f,
               float y = 0.5f) {
  t.scene.Objects()->DeleteChildren();
  auto* light = t.scene.Objects()->AddNewChild<TGLLightSource>();
  light->SetLightStyle(lsOmni);
  light->Position()->SetXYZAsPoint(0, 0, 10);
  auto* polygon = t.scene.Objects()->AddNewChild<TGLPolygon>();
  polygon->SetParts(TPolygonParts{ppTop});  // one-sided: the face its normal gives
  polygon->Material()->FrontProperties()->Diffuse()->SetColor(VectorMake(1, 1, 1, 1));
  polygon->Material()->FrontProperties()->Ambient()->SetColor(VectorMake(0, 0, 0, 1));
  for (auto [x, y] : outline) polygon->Nodes()->AddNode(x, y, 0);
  t.viewer.Render();
  return t.PixelAt(x, y, 0);
}

TEST_F(GL_DegenerateGeometryTest, APolygonStartedWithNodesInLineIsLitAsFromACorner) {
  LookDownAtXY(32, false);
  const TRgb fromCorner = LitSquare(*this, {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}});
  const TRgb fromEdge = LitSquare(*this, {{-1, -1}, {0, -1}, {1, -1}, {1, 1}, {-1, 1}});
  EXPECT_GT(fromCorner[0], 200) << Rgb(fromCorner);
  EXPECT_EQ(Rgb(fromEdge), Rgb(fromCorner));
  // An L whose second node is its inward corner; a square whose second node is on its first edge
  // on paper, rounded to floats. Each lit as the square (turned away, they were black).
  const TRgb fromInwardCorner = LitSquare(*this, {{1, 0}, {0, 0}, {0, 1}, {-1, 1}, {-1, -1}, {1, -1}}, -0.5f, -0.5f);
  const TRgb fromRounded = LitSquare(
      *this, {{-0.9f, -0.7f}, {-0.863265276f, -0.691836715f}, {0.9f, -0.3f}, {0.9f, 0.9f}, {-0.9f, 0.9f}}, 0, 0.2f);
  for (const TRgb& lit : {fromInwardCorner, fromRounded}) EXPECT_NEAR(lit[0], fromCorner[0], 3) << Rgb(lit);
}

}  // namespace
