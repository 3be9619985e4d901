// Tests of the parametric solids: ray casts, alignment, silhouettes, rings and strips, arrow
// heads, frustum sizes, registration and streaming limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Source/Base/XOpenGL.h"
#include "Source/Objects/GLGeomObjects.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "tests/Source/Base/GLRecorder.h"

namespace {

void ExpectVec(const TVector4f& v, float x, float y, float z, float tol = 1e-4f) {
  EXPECT_NEAR(v[0], x, tol);
  EXPECT_NEAR(v[1], y, tol);
  EXPECT_NEAR(v[2], z, tol);
}

struct TRecording {
  TGLRecorder rec;
  TGLStateCache cache;
  TRenderContextInfo rci;
  TRecording() { rci.GLStates = &cache; }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Cylinder

TEST(GeomObjectsCylinder, RayCastsAgainstSidesAndCaps) {
  TGLCylinder cyl(nullptr);
  TVector4f p{}, n{};
  ASSERT_TRUE(cyl.RayCastIntersect(PointMake(-5, 0, 0), VectorMake(1, 0, 0), &p, &n));
  ExpectVec(p, -0.5f, 0, 0);
  ExpectVec(n, -0.5f, 0, 0);
  ASSERT_TRUE(cyl.RayCastIntersect(PointMake(0, 5, 0), VectorMake(0, -1, 0), &p, &n));
  ExpectVec(p, 0, 0.5f, 0);
  ExpectVec(n, 0, 1, 0);
  ASSERT_TRUE(cyl.RayCastIntersect(PointMake(0.2f, -5, 0), VectorMake(0, 1, 0), &p, &n));
  ExpectVec(p, 0.2f, -0.5f, 0);
  ExpectVec(n, 0, -1, 0);
  // Parallel to the caps above the top.
  EXPECT_FALSE(cyl.RayCastIntersect(PointMake(-5, 1, 0), VectorMake(1, 0, 0)));
  // An open pipe seen along its axis.
  cyl.SetParts(TCylinderParts{cySides});
  EXPECT_FALSE(cyl.RayCastIntersect(PointMake(0, 5, 0), VectorMake(0, -1, 0)));
  // Entering through a cap from inside the infinite cylinder: the cap is nearer than the
  // side wall the ray would leave through.
  cyl.SetParts(TCylinderParts{cySides, cyTop, cyBottom});
  ASSERT_TRUE(cyl.RayCastIntersect(PointMake(0, 2, 0), VectorMake(0.2f, -1, 0), &p, &n));
  ExpectVec(n, 0, 1, 0);
  EXPECT_NEAR(p[1], 0.5f, 1e-5);
}

TEST(GeomObjectsCylinder, AlignmentMovesTheOrigin) {
  TGLCylinder cyl(nullptr);
  TVector4f p{};
  cyl.SetAlignment(caBottom);
  ASSERT_TRUE(cyl.RayCastIntersect(PointMake(0, 5, 0), VectorMake(0, -1, 0), &p));
  EXPECT_NEAR(p[1], 1, 1e-5);
  cyl.SetAlignment(caTop);
  ASSERT_TRUE(cyl.RayCastIntersect(PointMake(0, 5, 0), VectorMake(0, -1, 0), &p));
  EXPECT_NEAR(p[1], 0, 1e-5);
  TRecording r;
  cyl.BuildList(r.rci);
  const auto translations = r.rec.CallsTo("glTranslatef");
  ASSERT_FALSE(translations.empty());
  EXPECT_EQ(translations[0].Args[2], -1);
  // The bottom disk faces the other way.
  const auto orientations = r.rec.CallsTo("gluQuadricOrientation");
  EXPECT_EQ(orientations.front().Args[1], GLU_OUTSIDE);
  EXPECT_EQ(orientations.back().Args[1], GLU_INSIDE);
  EXPECT_EQ(r.rec.Count("gluCylinder"), 1);
  EXPECT_EQ(r.rec.Count("gluDisk"), 2);
  EXPECT_EQ(r.rec.Count("gluNewQuadric"), r.rec.Count("gluDeleteQuadric"));
  EXPECT_EQ(r.rec.Count("glPushMatrix"), r.rec.Count("glPopMatrix"));
}

TEST(GeomObjectsCylinder, AlignSpansTwoPoints) {
  TGLCylinder cyl(nullptr);
  cyl.Align(PointMake(0, 0, 0), PointMake(0, 0, 10));
  EXPECT_FLOAT_EQ(cyl.Height(), 10);
  ExpectVec(cyl.Up()->AsVector(), 0, 0, 1);
  ExpectVec(cyl.Position()->AsVector(), 0, 0, 5);
  EXPECT_EQ(cyl.Alignment(), caCenter);
  // Under a moved parent the local position accounts for it.
  TGLDummyCube parent(nullptr);
  parent.Position()->SetXYZAsPoint(1, 0, 0);
  auto* pipe = parent.AddNewChild<TGLCylinder>();
  pipe->Align(PointMake(0, 0, 0), PointMake(0, 0, 10));
  ExpectVec(pipe->Position()->AsVector(), -1, 0, 5);
  // Coincident ends: an empty pipe at the start, no NaN anywhere.
  const TVector4f up = pipe->Up()->AsVector();
  pipe->Align(PointMake(3, 3, 3), PointMake(3, 3, 3));
  EXPECT_EQ(pipe->Height(), 0);
  ExpectVec(pipe->Position()->AsVector(), 2, 3, 3);
  ExpectVec(pipe->Up()->AsVector(), up[0], up[1], up[2]);
}

TEST(GeomObjectsCylinder, SilhouetteUsesAtLeastFiveSlices) {
  // A frustum of a cone seen from above its axis: its outline is the bottom rim, one edge per
  // slice, every rim vertex used by two edges.
  TGLCylinder cyl(nullptr);
  cyl.SetTopRadius(0.25f);
  TGLSilhouetteParameters params;
  params.SeenFrom = {0, 100, 0};
  auto outline = [&](int slices) {
    cyl.SetSlices(slices);
    std::unique_ptr<TGLSilhouette> sil(cyl.GenerateSilhouette(params));
    std::map<int, int> degree;
    for (int i = 0; i < sil->Indices()->Count(); ++i) ++degree[sil->Indices()->Get(i)];
    for (const auto& [vertex, count] : degree) EXPECT_EQ(count, 2) << "vertex " << vertex;
    return sil->Indices()->Count() / 2;
  };
  EXPECT_EQ(outline(4), 5);
  EXPECT_EQ(cyl.Slices(), 4);  // the property is unchanged
  EXPECT_EQ(outline(7), 7);
}

TEST(GeomObjectsCylinderBase, LoopsBelowOneAreIgnored) {
  TGLCone cone(nullptr);
  cone.ClearStructureChanged();
  cone.SetLoops(0);
  EXPECT_EQ(cone.Loops(), 1);
  EXPECT_FALSE(cone.Changes() & ocStructure);
  cone.SetLoops(3);
  EXPECT_EQ(cone.Loops(), 3);
  EXPECT_TRUE(cone.Changes() & ocStructure);
  ExpectVec(cone.AxisAlignedDimensionsUnscaled(), 0.5f, 0.5f, 0.5f);
  TRecording r;
  cone.BuildList(r.rci);
  ASSERT_EQ(r.rec.Count("gluCylinder"), 1);
  EXPECT_EQ(r.rec.CallsTo("gluCylinder")[0].Args[2], 0);  // closes to a point
}

// ---------------------------------------------------------------------------------------------
// Disk and annulus

TEST(GeomObjectsDisk, RingHitsOnlyBetweenRadii) {
  TGLDisk disk(nullptr);
  disk.SetInnerRadius(0.2f);
  const TVector4f down = VectorMake(0, 0, -1);
  EXPECT_FALSE(disk.RayCastIntersect(PointMake(0.1f, 0, 5), down));
  TVector4f p{}, n{};
  ASSERT_TRUE(disk.RayCastIntersect(PointMake(0.3f, 0, 5), down, &p, &n));
  ExpectVec(p, 0.3f, 0, 0);
  ExpectVec(n, 0, 0, 1);
  EXPECT_FALSE(disk.RayCastIntersect(PointMake(0.6f, 0, 5), down));
  ExpectVec(disk.AxisAlignedDimensionsUnscaled(), 0.5f, 0.5f, 0);
}

TEST(GeomObjectsAnnulus, HoleWallsAndRing) {
  TGLAnnulus ring(nullptr);
  const TVector4f down = VectorMake(0, -1, 0);
  EXPECT_FALSE(ring.RayCastIntersect(PointMake(0, 5, 0), down));  // through the hole
  TVector4f p{}, n{};
  ASSERT_TRUE(ring.RayCastIntersect(PointMake(0.4f, 5, 0), down, &p, &n));
  ExpectVec(p, 0.4f, 0.5f, 0);
  ExpectVec(n, 0, 1, 0);
  // From the side: the outer wall first.
  ASSERT_TRUE(ring.RayCastIntersect(PointMake(-5, 0, 0), VectorMake(1, 0, 0), &p, &n));
  ExpectVec(p, -0.5f, 0, 0);
  // Without outer walls the ray reaches the inner wall on the far side of the hole.
  ring.SetParts(TAnnulusParts{anInnerSides});
  ASSERT_TRUE(ring.RayCastIntersect(PointMake(-5, 0, 0), VectorMake(1, 0, 0), &p, &n));
  ExpectVec(p, -0.3f, 0, 0);
  TRecording r;
  ring.SetParts(TAnnulusParts{anInnerSides, anOuterSides, anBottom, anTop});
  ring.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("gluCylinder"), 2);
  EXPECT_EQ(r.rec.Count("gluDisk"), 2);
}

// ---------------------------------------------------------------------------------------------
// Torus

TEST(GeomObjectsTorus, RayThroughHoleMissesAndSideHitsOuterSurface) {
  TGLTorus torus(nullptr);
  TVector4f p{}, n{};
  EXPECT_FALSE(torus.RayCastIntersect(PointMake(0, 0, 5), VectorMake(0, 0, -1)));
  ASSERT_TRUE(torus.RayCastIntersect(PointMake(-5, 0, 0), VectorMake(1, 0, 0), &p, &n));
  ExpectVec(p, -0.5f, 0, 0, 1e-3f);
  ExpectVec(n, -0.1f, 0, 0, 1e-3f);
  // From above onto the tube.
  ASSERT_TRUE(torus.RayCastIntersect(PointMake(0.4f, 0, 5), VectorMake(0, 0, -3), &p, &n));
  ExpectVec(p, 0.4f, 0, 0.1f, 1e-3f);
  ExpectVec(torus.AxisAlignedDimensionsUnscaled(), 0.5f, 0.5f, 0.1f);
}

TEST(GeomObjectsTorus, RingsClampAndClosedStrips) {
  TGLTorus torus(nullptr);
  torus.SetRings(1);
  EXPECT_EQ(torus.Rings(), 2);
  torus.SetSides(4);
  TRecording r;
  SetMapTexCoordModeMain();
  torus.BuildList(r.rci);
  SetMapTexCoordModeNull();
  EXPECT_EQ(r.rec.Count("glBegin"), 2);
  const auto v = r.rec.CallsTo("glVertex3f");
  ASSERT_EQ(v.size(), 2u * 2 * 5);
  // Each strip closes: its first and last pairs coincide.
  for (int strip = 0; strip < 2; ++strip)
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(v[strip * 10].Args[k], v[strip * 10 + 8].Args[k], 1e-5);
  for (const auto& c : r.rec.CallsTo("glTexCoord2f")) {
    EXPECT_GE(c.Args[0], 0);
    EXPECT_LE(c.Args[0], 1);
  }
}

// ---------------------------------------------------------------------------------------------
// Arrow line and frustum

TEST(GeomObjectsArrowLine, HeadsStackedOrIncluded) {
  TGLArrowLine arrow(nullptr);
  arrow.SetParts(TArrowLineParts{alLine, alTopArrow, alBottomArrow});
  arrow.SetHeight(2);
  auto lineLength = [&] {
    TRecording r;
    arrow.BuildList(r.rci);
    // The line is the last cylinder; heads come first.
    const auto cylinders = r.rec.CallsTo("gluCylinder");
    EXPECT_EQ(cylinders.size(), 3u);
    EXPECT_EQ(r.rec.Count("glPushMatrix"), r.rec.Count("glPopMatrix"));
    return cylinders.back().Args[3];
  };
  EXPECT_DOUBLE_EQ(lineLength(), 2);  // heads outside the height
  // Extents lie along Z (the culling box) and reach the stacked heads.
  ExpectVec(arrow.AxisAlignedDimensionsUnscaled(), 0.2f, 0.2f, 1.5f);
  arrow.SetHeadStackingStyle(ahssIncluded);
  EXPECT_DOUBLE_EQ(lineLength(), 1);  // heads inside: line plus heads = height
  ExpectVec(arrow.AxisAlignedDimensionsUnscaled(), 0.2f, 0.2f, 1);
  arrow.SetHeadStackingStyle(ahssCentered);
  EXPECT_DOUBLE_EQ(lineLength(), 1.5);
}

TEST(GeomObjectsFrustrum, SizeRulesAndFaces) {
  TGLFrustrum f(nullptr);
  f.SetApexHeight(0.3f);
  EXPECT_FLOAT_EQ(f.Height(), 0.3f);
  f.SetHeight(2);
  EXPECT_FLOAT_EQ(f.ApexHeight(), 2);
  f.SetBaseWidth(-1);
  EXPECT_EQ(f.BaseWidth(), 1);
  // A full pyramid: the top shrinks to the apex.
  TRecording r;
  SetMapTexCoordModeMain();
  f.BuildList(r.rci);
  SetMapTexCoordModeNull();
  const auto v = r.rec.CallsTo("glVertex3f");
  ASSERT_EQ(v.size(), 24u);
  for (const auto& c : v)
    if (c.Args[1] == 2) {
      EXPECT_EQ(c.Args[0], 0);
      EXPECT_EQ(c.Args[2], 0);
    }
  EXPECT_EQ(r.rec.Count("glTexCoord2f"), 24);
  // No pyramid: nothing drawn.
  f.SetHeight(0);
  f.SetApexHeight(0);
  r.rec.Clear();
  f.BuildList(r.rci);
  EXPECT_TRUE(r.rec.Calls.empty());
}

TEST(GeomObjectsRegistration, ExactNamesInOrder) {
  RegisterGLGeomObjectsClasses();
  const std::vector<std::string> expected = {"TGLCylinder",  "TGLCone",    "TGLTorus",    "TGLDisk",
                                             "TGLArrowLine", "TGLAnnulus", "TGLFrustrum", "TGLPolygon"};
  std::vector<std::string> order;
  for (TClass cls : RegisteredClasses())
    if (std::find(expected.begin(), expected.end(), cls->ClassName()) != expected.end())
      order.push_back(cls->ClassName());
  EXPECT_EQ(order, expected);
  EXPECT_EQ(TGLCylinder(nullptr).ClassName(), "TGLCylinder");
}

namespace {

// What a stored geometric object names while it is read.
void RegisterStreamingClasses() {
  RegisterVectorLists();
  RegisterGLCoordinatesClasses();
  RegisterGLColorClasses();
  RegisterGLNodesClasses();
  RegisterGLSceneGraphClasses();
  RegisterGLObjectsClasses();
  RegisterGLGeomObjectsClasses();
}

// Reads a stored copy of source.
void ReadBack(TComponent* source) {
  TMemoryStream stream;
  TWriter(&stream).WriteRootComponent(source);
  stream.SetPosition(0);
  std::unique_ptr<TComponent>(TReader(&stream).ReadRootComponent(nullptr));
}

template <class T>
void ExpectCountBoundWhenRead(void (T::*set)(int), const char* what) {
  T source(nullptr);
  (source.*set)(kMaxStoredSubdivisions);
  EXPECT_NO_THROW(ReadBack(&source)) << what;
  (source.*set)(kMaxStoredSubdivisions + 1);  // allowed in code
  EXPECT_THROW(ReadBack(&source), EReadError) << what;
}

}  // namespace

TEST(GeomObjectsStreaming, SubdivisionCountsAreBoundedWhenRead) {
  RegisterStreamingClasses();
  ExpectCountBoundWhenRead(&TGLPlane::SetXTiles, "plane x tiles");
  ExpectCountBoundWhenRead(&TGLPlane::SetYTiles, "plane y tiles");
  ExpectCountBoundWhenRead(&TGLSphere::SetSlices, "sphere slices");
  ExpectCountBoundWhenRead(&TGLSphere::SetStacks, "sphere stacks");
  ExpectCountBoundWhenRead(&TGLLines::SetDivision, "line divisions");
  ExpectCountBoundWhenRead<TGLPolygon>(&TGLPolygon::SetDivision, "polygon divisions");
  ExpectCountBoundWhenRead(&TGLDisk::SetSlices, "disk slices");
  ExpectCountBoundWhenRead(&TGLDisk::SetLoops, "disk loops");
  ExpectCountBoundWhenRead<TGLCylinder>(&TGLCylinder::SetSlices, "cylinder slices");
  ExpectCountBoundWhenRead<TGLCylinder>(&TGLCylinder::SetStacks, "cylinder stacks");
  ExpectCountBoundWhenRead<TGLCylinder>(&TGLCylinder::SetLoops, "cylinder loops");
  ExpectCountBoundWhenRead(&TGLTorus::SetRings, "torus rings");
  ExpectCountBoundWhenRead(&TGLTorus::SetSides, "torus sides");
}

namespace {

// One stored object whose counts each pass their own bound: `make(true)` sets counts whose
// product passes kMaxStoredVertices, `make(false)` counts just under it.
struct TStoredBudgetCase {
  const char* what;
  std::function<std::unique_ptr<TComponent>(bool over, double& vertices)> make;
};

template <class T>
std::unique_ptr<TComponent> Made(std::unique_ptr<T> obj, double& vertices) {
  vertices = obj->VertexCount();
  obj->SetName("Stored");
  return obj;
}

template <class T>
TStoredBudgetCase Counts(const char* what, std::function<void(T&, bool over)> set) {
  return {what, [=](bool over, double& vertices) {
            auto obj = std::make_unique<T>(nullptr);
            set(*obj, over);
            return Made(std::move(obj), vertices);
          }};
}

// Slices, stacks and loops of a cylinder-like object.
template <class T>
TStoredBudgetCase Quadric(const char* what, int slices, std::pair<int, int> stacks, std::pair<int, int> loops) {
  return Counts<T>(what, [=](T& obj, bool over) {
    obj.SetSlices(slices);
    obj.SetStacks(over ? stacks.first : stacks.second);
    obj.SetLoops(over ? loops.first : loops.second);
  });
}

template <class T>
TStoredBudgetCase NodesAndDivision(const char* what, int overNodes, int underNodes) {
  return {what, [=](bool over, double& vertices) {
            auto obj = std::make_unique<T>(nullptr);
            obj->SetDivision(kMaxStoredSubdivisions);
            for (int i = 0, n = over ? overNodes : underNodes; i < n; ++i) obj->Nodes()->AddNode(float(i), 0, 0);
            return Made(std::move(obj), vertices);
          }};
}

}  // namespace

// Each count of a stored object is bounded, and so is their product: a stored object asking for
// more than kMaxStoredVertices is refused while it is read, naming itself and the figure, with
// no geometry built (nothing is drawn until the first frame). Just under the limit it loads.
TEST(GeomObjectsStreaming, ProductOfStoredCountsIsBounded) {
  RegisterStreamingClasses();
  constexpr int kMax = kMaxStoredSubdivisions;
  const TStoredBudgetCase cases[] = {
      // Sides and two end disks: Slices x (Stacks + 2 Loops).
      Quadric<TGLCylinder>("cylinder", kMax, {kMax, kMax}, {512, 420}),
      Quadric<TGLCylinder>("cylinder ends", kMax, {4, 4}, {1022, 920}),
      Quadric<TGLCone>("cone", kMax, {kMax, kMax}, {kMax, 900}),
      Quadric<TGLAnnulus>("annulus", kMax, {kMax, 1000}, {1, 1}),
      Quadric<TGLArrowLine>("arrow line", kMax, {683, 650}, {1, 1}),
      NodesAndDivision<TGLLines>("lines", 3870, 3800),
      NodesAndDivision<TGLPolygon>("polygon", 2049, 2000),
  };
  for (const auto& c : cases) {
    double vertices = 0;
    std::unique_ptr<TComponent> over = c.make(true, vertices);
    ASSERT_GT(vertices, double(kMaxStoredVertices)) << c.what;
    TGLRecorder rec;
    try {
      ReadBack(over.get());
      ADD_FAILURE() << c.what << " was read";
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Message(), Format("%s 'Stored': %.0f vertices, at most %d per stored object",
                                    over->ClassName().c_str(), vertices, kMaxStoredVertices))
          << c.what;
    }
    EXPECT_TRUE(rec.Calls.empty()) << c.what << ": " << rec.Calls.front().Name;
    std::unique_ptr<TComponent> under = c.make(false, vertices);
    EXPECT_LE(vertices, double(kMaxStoredVertices)) << c.what;
    EXPECT_GT(vertices, 0.9 * double(kMaxStoredVertices)) << c.what;
    EXPECT_NO_THROW(ReadBack(under.get())) << c.what;
  }
}

// Objects of two counts stay under the vertex limit at the most subdivisions a stored object may
// have: a sphere of 1,024 x 512 (a common texture-mapped globe) or 1,024 x 1,024 loads, and so do
// the largest plane, disk, torus and cylinder sides.
TEST(GeomObjectsStreaming, LargestTwoCountObjectsLoad) {
  RegisterStreamingClasses();
  constexpr int kMax = kMaxStoredSubdivisions;
  auto two = [](auto* obj, auto a, auto b, int countA, int countB) {
    std::unique_ptr<TComponent> owned(obj);
    (obj->*a)(countA);
    (obj->*b)(countB);
    obj->SetName("Stored");
    return std::make_pair(std::move(owned), obj->VertexCount());
  };
  std::vector<std::pair<std::unique_ptr<TComponent>, double>> largest;
  largest.push_back(two(new TGLSphere(nullptr), &TGLSphere::SetSlices, &TGLSphere::SetStacks, 1024, 512));
  largest.push_back(two(new TGLSphere(nullptr), &TGLSphere::SetSlices, &TGLSphere::SetStacks, kMax, kMax));
  largest.push_back(two(new TGLPlane(nullptr), &TGLPlane::SetXTiles, &TGLPlane::SetYTiles, kMax, kMax));
  largest.push_back(two(new TGLDisk(nullptr), &TGLDisk::SetSlices, &TGLDisk::SetLoops, kMax, kMax));
  largest.push_back(two(new TGLTorus(nullptr), &TGLTorus::SetRings, &TGLTorus::SetSides, kMax, kMax));
  largest.push_back(two(new TGLCylinder(nullptr), &TGLCylinder::SetSlices, &TGLCylinder::SetStacks, kMax, kMax));
  // Two of them were refused under the former limit of a million.
  EXPECT_EQ(largest[0].second, 1051652);
  EXPECT_GT(largest[1].second, 2e6);
  for (auto& [obj, vertices] : largest) {
    EXPECT_LE(vertices, double(kMaxStoredVertices)) << obj->ClassName();
    EXPECT_NO_THROW(ReadBack(obj.get())) << obj->ClassName();
  }
}

// The figure checked is what the lists hold: the recorded vertices of a drawn object never
// exceed it, and are not far below.
TEST(GeomObjectsStreaming, VertexCountsBoundWhatIsDrawn) {
  auto drawn = [](TGLBaseSceneObject& obj) {
    TRecording r;
    obj.BuildList(r.rci);
    return double(r.rec.Count("glVertex3f") + r.rec.Count("glVertex3fv") + r.rec.Count("glVertex2f"));
  };
  TGLSphere sphere(nullptr);
  sphere.SetSlices(7);
  sphere.SetStacks(5);
  sphere.SetTop(60);
  sphere.SetBottom(-60);
  sphere.SetTopCap(ctCenter);
  sphere.SetBottomCap(ctFlat);
  EXPECT_EQ(drawn(sphere), sphere.VertexCount());
  TGLTorus torus(nullptr);
  torus.SetRings(9);
  torus.SetSides(4);
  EXPECT_EQ(drawn(torus), torus.VertexCount());
  TGLPlane plane(nullptr);
  plane.SetStyle(TPlaneStyles{});
  plane.SetXTiles(6);
  plane.SetYTiles(3);
  EXPECT_EQ(drawn(plane), plane.VertexCount());
}

TEST(GeomObjectsFrustrum, SizesStreamedTogether) {
  class TFiler4 : public TFiler {
   public:
    TFiler4() : TFiler(&FStream) {}
    TMemoryStream FStream;
    TStreamProc Read, Write;
    bool HasData = false;
    void DefineProperty(const std::string&, const TReaderProc&, const TWriterProc&, bool) override {}
    void DefineBinaryProperty(const std::string& Name, const TStreamProc& R, const TStreamProc& W, bool Has) override {
      if (Name != "FrustrumSize") return;
      Read = R, Write = W, HasData = Has;
    }
  };
  TGLFrustrum f(nullptr);
  {
    TFiler4 filer;
    f.DefineProperties(&filer);
    EXPECT_FALSE(filer.HasData);
  }
  f.SetBaseWidth(3);
  TFiler4 filer;
  f.DefineProperties(&filer);
  ASSERT_TRUE(filer.HasData);
  TMemoryStream data;
  filer.Write(&data);
  ASSERT_EQ(data.Size(), 16);
  TGLFrustrum g(nullptr);
  TFiler4 reader;
  g.DefineProperties(&reader);
  data.SetPosition(0);
  reader.Read(&data);
  EXPECT_EQ(g.BaseWidth(), 3);
  EXPECT_EQ(g.Height(), 0.5f);
  data.SetSize(12);
  data.SetPosition(0);
  EXPECT_THROW(reader.Read(&data), EReadError);
}

TEST(GeomObjectsPolygon, BothFacesWithOppositeNormals) {
  TRecording r;
  r.rec.Results["gluNewTess"] = [](const TGLCall&) { return std::uintptr_t(0x10); };
  TGLPolygon poly(nullptr);
  poly.Nodes()->AddNode(0, 0, 0);
  poly.BuildList(r.rci);
  EXPECT_TRUE(r.rec.Calls.empty());
  TGLPolygon line(nullptr);  // in line on paper: no area, nothing drawn
  for (int i = 0; i < 4; ++i) line.Nodes()->AddNode(0.1f * float(i), 0.3f * float(i), 0);
  line.BuildList(r.rci);
  EXPECT_TRUE(r.rec.Calls.empty());
  poly.Nodes()->AddNode(1, 0, 0);
  poly.Nodes()->AddNode(0, 1, 0);
  poly.BuildList(r.rci);
  const auto normals = r.rec.CallsTo("gluTessNormal");
  ASSERT_EQ(normals.size(), 2u);
  EXPECT_EQ(normals[0].Args[3], 1);
  EXPECT_EQ(normals[1].Args[3], -1);
  poly.SetParts(TPolygonParts{ppTop});
  r.rec.Clear();
  poly.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("gluTessBeginPolygon"), 1);
}
