// Tests of picking: parsing selection records with depths and sub-objects, and pick-list order.
#include <gtest/gtest.h>

#include <vector>

#include "Source/Scene/GLSceneGraph.h"

TEST(PickingParser, RecordsDepthsAndSubObjects) {
  const std::vector<uint32_t> buf = {1, 0xFFFFFFFFu, 0x80000000u, 7,            // one name
                                     3, 0,           0x40000000u, 9, 100, 101,  // object and two sub-names
                                     5, 0,           0,           1};           // runs past the end
  const auto hits = ParseSelectionBuffer(buf.data(), buf.size(), 3);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_NEAR(hits[0].zNear, 1.0, 1e-6);
  EXPECT_FLOAT_EQ(hits[0].zFar, 0.5f);
  EXPECT_EQ(hits[0].name, 7u);
  EXPECT_TRUE(hits[0].subNames.empty());
  EXPECT_EQ(hits[1].name, 9u);
  EXPECT_EQ(hits[1].subNames, (std::vector<uint32_t>{100, 101}));
  EXPECT_FLOAT_EQ(hits[1].zFar, 0.25f);
  // A zero-name record still advances by three words.
  const std::vector<uint32_t> empty = {0, 2, 4, 1, 6, 8, 3};
  const auto h2 = ParseSelectionBuffer(empty.data(), empty.size(), 2);
  ASSERT_EQ(h2.size(), 2u);
  EXPECT_EQ(h2[1].name, 3u);
  // An overflowed buffer: the complete records it holds, whatever their number.
  const std::vector<uint32_t> full = {1, 0, 0, 4, 2, 0, 0, 5, 6, 0, 0, 0, 0};
  const auto h3 = ParseSelectionBuffer(full.data(), full.size(), -1);
  ASSERT_EQ(h3.size(), 2u);
  EXPECT_EQ(h3[1].subNames, std::vector<uint32_t>{6});
  EXPECT_EQ(ParseSelectionBuffer(full.data(), 6, -1).size(), 1u);  // a cut record is left out
}

TEST(PickList, SortOrderIsSharedByAllLists) {
  TGLSceneGraph scene(nullptr);
  auto* b = scene.Objects()->AddNewChild<TGLSceneObject>();
  b->SetName("b");
  auto* a = scene.Objects()->AddNewChild<TGLSceneObject>();
  a->SetName("A");
  TGLPickList byDepth(psMinDepth);
  byDepth.AddHit(a, {}, 0.6f, 0.7f);
  byDepth.AddHit(b, {}, 0.2f, 0.9f);
  EXPECT_EQ(byDepth.Hit(0), b);
  EXPECT_FLOAT_EQ(byDepth.NearDistance(1), 0.6f);

  // A new list with another order changes the order the first one sorts by from now on.
  TGLPickList byFar(psMaxDepth);
  byDepth.AddHit(b, {a}, 0.1f, 0.1f);
  EXPECT_FLOAT_EQ(byDepth.FarDistance(0), 0.1f);
  EXPECT_FLOAT_EQ(byDepth.FarDistance(1), 0.7f);
  EXPECT_EQ(byDepth.SubObjects(0), std::vector<TGLBaseSceneObject*>{a});
  TGLPickList byName(psName);
  byName.AddHit(b, {}, 0, 0);
  byName.AddHit(a, {}, 0, 0);
  EXPECT_EQ(byName.Hit(0), a);
  EXPECT_THROW(byName.Hit(5), EListError);
  byName.Clear();
  EXPECT_EQ(byName.Count(), 0);
}
