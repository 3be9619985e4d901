// Tests of silhouettes: open edges seen from a point, duplicates, a cube's rim, extrusion, shared
// vertex lists, and flushing and clearing.
#include "Source/Scene/GLSilhouette.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

std::vector<int> Ints(const TIntegerList* l) { return std::vector<int>(l->List(), l->List() + l->Count()); }

TGLSilhouetteParameters From(float x, float y, float z, bool caps = false) {
  TGLSilhouetteParameters p;
  p.SeenFrom = TAffineVector{{x, y, z}};
  p.CapSilhouette = caps ? 1 : 0;
  return p;
}

const TAffineVector P0{{0, 0, 0}}, P1{{1, 0, 0}}, P2{{0, 1, 0}};

TEST(SilhouetteTest, SingleTriangleFromBothSides) {
  for (bool precompute : {false, true}) {
    TConnectivity c(precompute);
    c.AddFace(P0, P1, P2);  // normal +Z
    EXPECT_EQ(c.EdgeCount(), 3);
    std::unique_ptr<TGLSilhouette> sil;
    c.CreateSilhouette(From(0, 0, -5, true), sil, false);
    ASSERT_TRUE(sil);
    EXPECT_EQ(Ints(sil->Indices()), (std::vector<int>{0, 1, 1, 2, 2, 0}));
    EXPECT_EQ(Ints(sil->CapIndices()), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(sil->Vertices()->Count(), 3);
    EXPECT_EQ(sil->Vertices()->Get(1)[3], 1.0f);

    c.CreateSilhouette(From(0, 0, 5, true), sil, false);
    EXPECT_EQ(sil->Indices()->Count(), 0);
    c.CreateSilhouette(From(3, 3, 0), sil, false);  // in the face's plane: sees it
    EXPECT_EQ(sil->Indices()->Count(), 0);
  }
}

TEST(SilhouetteTest, DuplicateTriangleHasNoOpenEdges) {
  TConnectivity c(true);
  c.AddFace(P0, P1, P2);
  c.AddFace(P0, P1, P2);
  EXPECT_EQ(c.EdgeCount(), 3);
  EXPECT_EQ(c.EdgeFaces()->Get(1), 1);
  std::unique_ptr<TGLSilhouette> sil;
  c.CreateSilhouette(From(0, 0, -5), sil, false);
  EXPECT_EQ(sil->Indices()->Count(), 0);
  EXPECT_THROW(c.AddIndexedFace(0, 1, 7), EAssertionFailed);
}

TEST(SilhouetteTest, CubeSeenFromAboveGivesTheTopRimAsOneLoop) {
  auto V = [](float x, float y, float z) { return TAffineVector{{x, y, z}}; };
  TConnectivity c(false);
  // Six outward quads of the unit cube centred at the origin.
  c.AddQuad(V(-1, -1, 1), V(1, -1, 1), V(1, 1, 1), V(-1, 1, 1));      // top (+Z)
  c.AddQuad(V(-1, 1, -1), V(1, 1, -1), V(1, -1, -1), V(-1, -1, -1));  // bottom
  c.AddQuad(V(-1, -1, -1), V(1, -1, -1), V(1, -1, 1), V(-1, -1, 1));  // -Y
  c.AddQuad(V(1, 1, -1), V(-1, 1, -1), V(-1, 1, 1), V(1, 1, 1));      // +Y
  c.AddQuad(V(1, -1, -1), V(1, 1, -1), V(1, 1, 1), V(1, -1, 1));      // +X
  c.AddQuad(V(-1, 1, -1), V(-1, -1, -1), V(-1, -1, 1), V(-1, 1, 1));  // -X
  EXPECT_EQ(c.FaceCount(), 12);
  EXPECT_EQ(c.EdgeCount(), 18);
  std::unique_ptr<TGLSilhouette> sil;
  c.CreateSilhouette(From(0, 0, 10), sil, false);
  std::vector<int> e = Ints(sil->Indices());
  ASSERT_EQ(e.size(), 8u);
  // Every edge starts where another ends: one consistently oriented loop of 4 top corners.
  for (std::size_t i = 0; i < e.size(); i += 2) {
    int ends = 0;
    for (std::size_t j = 0; j < e.size(); j += 2) ends += e[j + 1] == e[i];
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(sil->Vertices()->Get(e[i])[2], 1.0f);
  }
}

TEST(SilhouetteTest, ExtrusionDoublesVerticesAndBuildsQuads) {
  TGLSilhouette sil;
  sil.Vertices()->AddPointXYZ(1, 0, 0);
  sil.Vertices()->AddPointXYZ(0, 1, 0);
  sil.Vertices()->AddPointXYZ(0, 0, 1);
  sil.Indices()->AddPair(0, 1);
  sil.CapIndices()->AddTriple(0, 1, 2);
  sil.ExtrudeVerticesToInfinity(TAffineVector{{0, 0, 5}});
  EXPECT_EQ(sil.Vertices()->Count(), 6);
  EXPECT_EQ(sil.Vertices()->Get(5)[2], -4.0f);
  EXPECT_EQ(sil.Vertices()->Get(5)[3], 0.0f);
  EXPECT_EQ(Ints(sil.Indices()), (std::vector<int>{0, 1, 4, 3}));
  EXPECT_EQ(Ints(sil.CapIndices()), (std::vector<int>{3, 4, 5, 2, 1, 0}));
}

// A mesh's connectivity reads the mesh's own vertex list in place.
class TMeshConnectivity : public TConnectivity {
 public:
  using TConnectivity::ShareVertices;
  using TConnectivity::TConnectivity;
};

TEST(SilhouetteTest, SharedVertexListIsReadInPlaceAndNeverEmptied) {
  TAffineVectorList meshVertices;
  meshVertices.Add(P0);
  meshVertices.Add(P1);
  meshVertices.Add(P2);
  TMeshConnectivity c(false);  // moving vertices: normals computed each time
  EXPECT_TRUE(c.OwnsVertices());
  c.ShareVertices(&meshVertices);
  EXPECT_FALSE(c.OwnsVertices());
  EXPECT_EQ(c.Vertices(), &meshVertices);
  c.AddIndexedFace(0, 1, 2);
  std::unique_ptr<TGLSilhouette> sil;
  c.CreateSilhouette(From(0, 0, -5), sil, false);
  EXPECT_EQ(Ints(sil->Indices()), (std::vector<int>{0, 1, 1, 2, 2, 0}));

  // The mesh moves its vertices: the next silhouette follows without copying.
  meshVertices.Put(2, TAffineVector{{0, -1, 0}});  // the face now looks down -Z
  c.CreateSilhouette(From(0, 0, -5), sil, false);
  EXPECT_EQ(sil->Indices()->Count(), 0);

  c.Clear();
  EXPECT_EQ(c.FaceCount(), 0);
  EXPECT_EQ(meshVertices.Count(), 3);  // the mesh keeps its vertices
  EXPECT_EQ(c.Vertices(), &meshVertices);

  // Faces whose vertices the mesh has since dropped are refused, not read past the list.
  c.AddIndexedFace(0, 1, 2);
  meshVertices.SetCount(2);
  EXPECT_THROW(c.CreateSilhouette(From(0, 0, -5), sil, false), EAssertionFailed);

  c.ShareVertices(nullptr);
  EXPECT_TRUE(c.OwnsVertices());
  EXPECT_EQ(c.Vertices()->Count(), 0);
  EXPECT_EQ(meshVertices.Count(), 2);
}

TEST(SilhouetteTest, FlushKeepsTheBlocksAndClearFreesThem) {
  TConnectivity c(false);
  c.AddFace(P0, P1, P2);
  std::unique_ptr<TGLSilhouette> sil;
  c.CreateSilhouette(From(0, 0, -5, true), sil, false);
  const int capacity = sil->Indices()->Capacity();
  ASSERT_GT(capacity, 0);
  sil->Flush();
  EXPECT_EQ(sil->Vertices()->Count(), 0);
  EXPECT_EQ(sil->Indices()->Count(), 0);
  EXPECT_EQ(sil->CapIndices()->Count(), 0);
  EXPECT_EQ(sil->Indices()->Capacity(), capacity);
  // Adding to a flushed silhouette numbers its vertices from 0 again.
  c.CreateSilhouette(From(0, 0, -5, true), sil, true);
  EXPECT_EQ(Ints(sil->CapIndices()), (std::vector<int>{0, 1, 2}));
  sil->Clear();
  EXPECT_EQ(sil->Indices()->Capacity(), 0);
}

// Faces without area take no part: a zero-area triangle on a closed cube's edge neither turns
// the edge into a silhouette edge nor adds a cap, from every side, with or without precomputed
// normals; the silhouette is the cube's own. Corners in line but for rounding have no area
// either; a face that gains an area after it was added takes part from then on.
TEST(SilhouetteTest, AZeroAreaFaceTakesNoPartInSilhouetteOrCaps) {
  auto V = [](float x, float y, float z) { return TAffineVector{{x, y, z}}; };
  auto cube = [&](TConnectivity& c) {
    c.AddQuad(V(-1, -1, 1), V(1, -1, 1), V(1, 1, 1), V(-1, 1, 1));
    c.AddQuad(V(-1, 1, -1), V(1, 1, -1), V(1, -1, -1), V(-1, -1, -1));
    c.AddQuad(V(-1, -1, -1), V(1, -1, -1), V(1, -1, 1), V(-1, -1, 1));
    c.AddQuad(V(1, 1, -1), V(-1, 1, -1), V(-1, 1, 1), V(1, 1, 1));
    c.AddQuad(V(1, -1, -1), V(1, 1, -1), V(1, 1, 1), V(1, -1, 1));
    c.AddQuad(V(-1, 1, -1), V(-1, -1, -1), V(-1, -1, 1), V(-1, 1, 1));
  };
  for (bool precompute : {false, true}) {
    TConnectivity plain(precompute), sliver(precompute);
    cube(plain);
    cube(sliver);
    // Along the top front edge, and one with a corner repeated.
    sliver.AddFace(V(-1, -1, 1), V(1, -1, 1), V(0, -1, 1));
    sliver.AddFace(V(1, 1, 1), V(1, 1, 1), V(-1, 1, 1));
    EXPECT_EQ(sliver.FaceCount(), 14);
    EXPECT_EQ(sliver.EdgeCount(), plain.EdgeCount());
    for (const TAffineVector& from : {V(0, 0, 10), V(0, -10, 0), V(3, -4, 5), V(-7, 2, -6)}) {
      std::unique_ptr<TGLSilhouette> a, b;
      plain.CreateSilhouette(From(from[0], from[1], from[2], true), a, false);
      sliver.CreateSilhouette(From(from[0], from[1], from[2], true), b, false);
      EXPECT_EQ(Ints(b->Indices()), Ints(a->Indices()));
      EXPECT_EQ(Ints(b->CapIndices()), Ints(a->CapIndices()));
      EXPECT_EQ(sliver.FaceVisible()->Get(12), 2);
    }

    // In line on paper, rounded to floats: no area either (most had a normal of rounding).
    TConnectivity rounded(precompute);
    std::srand(53);
    auto rnd = [] { return float(std::rand()) / float(RAND_MAX) * 20.0f - 10.0f; };
    for (int i = 0; i < 500; ++i) {
      const TAffineVector a = V(rnd(), rnd(), rnd()), d = V(rnd(), rnd(), rnd());
      const float t = float(std::rand() % 97 + 1) / 98.0f;
      rounded.AddFace(a, V(a[0] + t * d[0], a[1] + t * d[1], a[2] + t * d[2]),
                      V(a[0] + d[0], a[1] + d[1], a[2] + d[2]));
    }
    EXPECT_EQ(rounded.EdgeCount(), 0);

    // No area when added, an area once its vertices move (a shared list): it takes part then.
    TConnectivity later(precompute);
    later.AddFace(P0, P1, V(2, 0, 0));
    std::unique_ptr<TGLSilhouette> sil;
    later.CreateSilhouette(From(0, 0, -5, true), sil, false);
    EXPECT_EQ(sil->Indices()->Count(), 0);
    later.Vertices()->Put(2, P2);
    later.CreateSilhouette(From(0, 0, -5, true), sil, false);
    EXPECT_EQ(Ints(sil->Indices()), (std::vector<int>{0, 1, 1, 2, 2, 0}));
    EXPECT_EQ(Ints(sil->CapIndices()), (std::vector<int>{0, 1, 2}));
  }
}

// A flat 3 x 2 grid sent as one strip per row, the rows joined by repeated indices (as meshes
// are exported): seen from above no edge is a silhouette edge; from below only the rim is.
TEST(SilhouetteTest, AStripJoinedByRepeatedIndicesHasOnlyItsRim) {
  TConnectivity c(false);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) c.Vertices()->Add(TAffineVector{{float(x), float(y), 0}});
  auto at = [](int x, int y) { return y * 4 + x; };
  std::vector<int> strip;
  for (int row = 0; row < 2; ++row) {
    if (row > 0) strip.push_back(at(0, row + 1));  // the join: repeated indices
    for (int x = 0; x < 4; ++x) {
      strip.push_back(at(x, row + 1));
      strip.push_back(at(x, row));
    }
    if (row == 0) strip.push_back(at(3, row));
  }
  for (size_t i = 2; i < strip.size(); ++i) {
    if (i % 2 == 0)
      c.AddIndexedFace(strip[i - 2], strip[i - 1], strip[i]);
    else
      c.AddIndexedFace(strip[i], strip[i - 1], strip[i - 2]);
  }
  std::unique_ptr<TGLSilhouette> sil;
  c.CreateSilhouette(From(1.5f, 1, 10), sil, false);
  EXPECT_EQ(sil->Indices()->Count(), 0);
  c.CreateSilhouette(From(1.5f, 1, -10), sil, false);
  EXPECT_EQ(sil->Indices()->Count(), 2 * 10);  // the rim: 3 + 2 + 3 + 2 edges
}

}  // namespace
