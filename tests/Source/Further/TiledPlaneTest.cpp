// Tests of tiled planes: the tile grid's archives and refusals, drawing sorted by material, and
// range limits.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Source/Base/XOpenGL.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Scene/GLState.h"
#include "Source/Further/GLTilePlane.h"
#include "Source/Objects/GLObjects.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/Further/TiledAreaArchive.h"
#include "tests/Source/MultiPassShader.h"
#include "tests/Source/StoredCopy.h"

namespace {

struct TTileRun {
  double material;  // red of the colour last sent
  std::vector<std::pair<double, double>> corners;
};

// Each GL_QUADS batch with the material in force and its vertices.
std::vector<TTileRun> Runs(const TGLRecorder& rec) {
  std::vector<TTileRun> runs;
  double material = -1;
  for (const auto& c : rec.Calls) {
    if (c.Name == "glColor4fv") material = c.Data[0];  // unlit materials send their diffuse
    if (c.Name == "glBegin") runs.push_back({material, {}});
    if (c.Name == "glVertex2f") runs.back().corners.emplace_back(c.Args[0], c.Args[1]);
  }
  return runs;
}

struct TiledPlane : ::testing::Test {
  void SetUp() override {
    RegisterGLTilePlaneClasses();
    rci.GLStates = &cache;
    for (int i = 0; i < 3; ++i)
      lib.Materials()->Add()->Material()->FrontProperties()->Diffuse()->SetRed(0.25f * float(i + 1));
    plane.SetMaterialLibrary(&lib);
  }
  TGLRecorder rec;
  TGLStateCache cache;
  TRenderContextInfo rci;
  TGLMaterialLibrary lib{nullptr};
  TGLTilePlane plane{nullptr};
};

}  // namespace

TEST(TiledArea, RowsAndCellsFromArchives) {
  RegisterGLTilePlaneClasses();
  auto row = MakeRow(5, {1, 2, 3});
  EXPECT_EQ(row->ColMax(), 7);
  EXPECT_EQ(row->Cell(5), 1);
  EXPECT_EQ(row->Cell(7), 3);
  EXPECT_EQ(row->Cell(4), 0);
  EXPECT_EQ(row->Cell(8), 0);

  TGLTiledArea area;
  std::vector<std::unique_ptr<TGLTiledAreaRow>> rows;
  rows.push_back(MakeRow(0, {1}));
  rows.push_back(MakeRow(0, {}));
  rows.push_back(MakeRow(-1, {2, 2}));
  LoadArea(area, -2, std::move(rows));
  EXPECT_EQ(area.RowMax(), 0);
  EXPECT_EQ(area.Row(-2)->Cell(0), 1);
  EXPECT_EQ(area.Row(0)->Cell(-1), 2);
  EXPECT_EQ(area.Row(1), nullptr);
  EXPECT_EQ(area.Row(-3), nullptr);

  // The whole area survives a copy through its archive.
  TGLTiledArea copy;
  copy.Assign(&area);
  EXPECT_EQ(copy.RowMin(), -2);
  EXPECT_EQ(copy.Row(0)->ColMax(), 0);
}

TEST(TiledArea, RefusesForeignItemsAndVersions) {
  TGLTiledArea area;
  TPersistentObjectList list;
  TPersistentObjectList notARow;
  list.Add(&notARow);
  TMemoryStream ms;
  {
    TBinaryWriter w(&ms);
    w.WriteInteger(0);
    w.WriteInteger(0);
    list.WriteToFiler(&w);
  }
  ms.SetPosition(0);
  RegisterPersistentClasses();
  EXPECT_ANY_THROW(area.LoadFromStream(&ms));
  EXPECT_EQ(area.Rows()->Count(), 0);
  EXPECT_EQ(area.RowMax(), -1);

  TMemoryStream bad;
  {
    TBinaryWriter w(&bad);
    w.WriteInteger(1);
  }
  bad.SetPosition(0);
  EXPECT_THROW(area.LoadFromStream(&bad), EFilerException);
}

TEST_F(TiledPlane, SortedDrawingAppliesEachMaterialOnce) {
  std::vector<std::unique_ptr<TGLTiledAreaRow>> rows;
  rows.push_back(MakeRow(0, {0, 1, 2, 3, 1, -1}));
  LoadArea(*plane.Tiles(), 3, std::move(rows));
  plane.BuildList(rci);
  auto runs = Runs(rec);
  ASSERT_EQ(runs.size(), 2u);  // cells 0, 3 (= the count) and -1 are skipped
  EXPECT_EQ(runs[0].material, 0.5);
  EXPECT_EQ(runs[0].corners.size(), 8u);
  EXPECT_EQ(runs[1].material, 0.75);
  // The tile at column 2, row 3, with texture coordinates equal to its corners.
  EXPECT_EQ(runs[1].corners, (std::vector<std::pair<double, double>>{{2, 3}, {3, 3}, {3, 4}, {2, 4}}));

  rec.Clear();
  plane.SetSortByMaterials(false);
  SetMapTexCoordModeMain();
  plane.BuildList(rci);
  SetMapTexCoordModeNull();
  runs = Runs(rec);
  ASSERT_EQ(runs.size(), 3u);  // one batch per tile, in column order
  EXPECT_EQ(runs[2].corners[0], (std::pair<double, double>{4, 3}));
  auto tex = rec.CallsTo("glTexCoord2f");
  ASSERT_EQ(tex.size(), 12u);
  EXPECT_EQ(tex[6].Args, (std::vector<double>{3, 4}));
}

TEST_F(TiledPlane, NothingWithoutLibraryOrTiles) {
  plane.BuildList(rci);
  EXPECT_EQ(rec.Count("glBegin"), 0);
  std::vector<std::unique_ptr<TGLTiledAreaRow>> rows;
  rows.push_back(MakeRow(0, {1}));
  LoadArea(*plane.Tiles(), 0, std::move(rows));
  {
    TGLMaterialLibrary gone(nullptr);
    plane.SetMaterialLibrary(&gone);
  }
  EXPECT_EQ(plane.MaterialLibrary(), nullptr);  // cleared when the library was freed
  plane.BuildList(rci);
  plane.DoRender(rci, false, false);
  EXPECT_EQ(rec.Count("glBegin"), 0);
}

TEST_F(TiledPlane, RangesPastThe32BitLimitAreRefusedAndTheLastCellIsDrawn) {
  constexpr int32_t kLast = INT32_MAX;
  ASSERT_THROW(MakeRow(kLast, {1, 1}), EFilerException);  // would wrap to columns below 0
  ASSERT_THROW(MakeRow(INT32_MIN, {}), EFilerException);  // its end lies before INT32_MIN
  std::vector<std::unique_ptr<TGLTiledAreaRow>> two;
  two.push_back(MakeRow(0, {1}));
  two.push_back(MakeRow(0, {1}));
  ASSERT_THROW(LoadArea(*plane.Tiles(), kLast, std::move(two)), EFilerException);
  EXPECT_EQ(plane.Tiles()->RowMax(), -1);

  // The very last row and column exist: drawing them ends.
  for (bool sorted : {true, false}) {
    std::vector<std::unique_ptr<TGLTiledAreaRow>> rows;
    rows.push_back(MakeRow(kLast, {1}));
    LoadArea(*plane.Tiles(), kLast, std::move(rows));
    plane.SetSortByMaterials(sorted);
    rec.Clear();
    plane.BuildList(rci);
    ASSERT_EQ(Runs(rec).size(), 1u);
    EXPECT_EQ(Runs(rec)[0].corners[2], (std::pair<double, double>{2147483648.0, 2147483648.0}));
  }
}

// Each tile naming a material is a quad: a stored area of more than kMaxStoredVertices / 4 such
// tiles is refused with the plane's name and figure, and left empty.
TEST(TiledPlaneStored, TilesAreBoundedWhenRead) {
  RegisterGLTilePlaneClasses();
  constexpr int kRoom = int(kMaxStoredVertices / 4);
  TGLTilePlane source(nullptr);
  source.SetName("Floor");
  auto load = [&source](int tiles) {
    std::vector<std::unique_ptr<TGLTiledAreaRow>> rows;
    rows.push_back(MakeRow(0, std::vector<int32_t>(size_t(kRoom), 2)));
    rows.push_back(MakeRow(-5, std::vector<int32_t>(size_t(tiles - kRoom), 1)));
    rows.push_back(MakeRow(0, std::vector<int32_t>(1000, 0)));  // empty cells draw nothing
    LoadArea(*source.Tiles(), 0, std::move(rows));
  };
  load(kRoom);
  EXPECT_EQ(source.VertexCount(), double(kMaxStoredVertices));
  EXPECT_NO_THROW(ReadStoredCopy(&source));
  load(kRoom + 1);
  TMemoryStream stream;
  TWriter(&stream).WriteRootComponent(&source);
  stream.SetPosition(0);
  TGLTilePlane into(nullptr);
  try {
    TReader(&stream).ReadRootComponent(&into);
    ADD_FAILURE() << "read";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), Format("TGLTilePlane 'Floor': %d vertices, at most %d per stored object", 4 * (kRoom + 1),
                                  kMaxStoredVertices));
  }
  EXPECT_EQ(into.Tiles()->Rows()->Count(), 0);
}

// A draw that fails under a material of several passes takes the material off again (so the
// next frame applies it afresh), and the depth mask is written again.
TEST_F(TiledPlane, AFailingDrawTakesTheMaterialOff) {
  TCurrentNullContext context;
  TMultiPassShader shader(nullptr);
  TGLLibMaterial* multi = shader.AddUser(lib);
  const int32_t index = multi->Index();
  plane.SetNoZWrite(true);
  std::vector<std::unique_ptr<TGLTiledAreaRow>> rows;
  rows.push_back(MakeRow(0, {index, 0, index}));
  LoadArea(*plane.Tiles(), 0, std::move(rows));
  for (bool sorted : {true, false}) {
    plane.SetSortByMaterials(sorted);
    rec.Clear();
    const auto end = GL.glEnd;
    GL.glEnd = [] { throw EInvalidOperation("draw failed"); };
    EXPECT_THROW(plane.BuildList(rci), EInvalidOperation) << sorted;
    GL.glEnd = end;
    EXPECT_FALSE(shader.Active()) << sorted;
    ASSERT_FALSE(rec.CallsTo("glDepthMask").empty()) << sorted;
    EXPECT_EQ(rec.CallsTo("glDepthMask").back().Args[0], GL_TRUE) << sorted;
    const int applies = shader.applies;
    plane.BuildList(rci);
    EXPECT_EQ(shader.applies, applies + (sorted ? 1 : 2)) << sorted;
    EXPECT_FALSE(shader.Active()) << sorted;
  }
}
