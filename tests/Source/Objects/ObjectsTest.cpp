// Tests of the basic scene objects: cubes, planes, sprites, dummy cubes, spheres, polyhedra,
// polygon bases, points and lines: geometry, ray casts, silhouettes, streams.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>

#include "Source/Base/XOpenGL.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Objects/GLPolyhedron.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "tests/Source/Base/GLRecorder.h"

namespace {

// Captures the defined properties of an object (binary ones only).
class TCaptureFiler : public TFiler {
 public:
  TCaptureFiler() : TFiler(&FStream) {}
  TMemoryStream FStream;
  struct TEntry {
    TStreamProc Read, Write;
    bool HasData;
  };
  std::map<std::string, TEntry> Binary;
  void DefineProperty(const std::string&, const TReaderProc&, const TWriterProc&, bool) override {}
  void DefineBinaryProperty(const std::string& Name, const TStreamProc& ReadData, const TStreamProc& WriteData,
                            bool HasData) override {
    Binary[Name] = {ReadData, WriteData, HasData};
  }
};

std::string BytesOf(TMemoryStream& s) { return std::string(static_cast<const char*>(s.Memory()), size_t(s.Size())); }

// Records GL calls with texture coordinates sent to unit 0.
struct TRecording {
  TGLRecorder rec;
  TGLStateCache cache;
  TRenderContextInfo rci;
  TRecording() {
    rci.GLStates = &cache;
    SetMapTexCoordModeMain();
    rec.Clear();
  }
  ~TRecording() { SetMapTexCoordModeNull(); }
};

// Vertices of the recorded glVertex*f calls, as (x, y, z).
std::vector<TAffineVector> Vertices(const TGLRecorder& rec) {
  std::vector<TAffineVector> out;
  for (const auto& c : rec.Calls) {
    if (c.Name == "glVertex3f") out.push_back({float(c.Args[0]), float(c.Args[1]), float(c.Args[2])});
    if (c.Name == "glVertex2f") out.push_back({float(c.Args[0]), float(c.Args[1]), 0});
    if (c.Name == "glVertex3fv") out.push_back({float(c.Data[0]), float(c.Data[1]), float(c.Data[2])});
  }
  return out;
}

std::vector<std::pair<float, float>> TexCoords(const TGLRecorder& rec) {
  std::vector<std::pair<float, float>> out;
  for (const auto& c : rec.CallsTo("glTexCoord2f")) out.push_back({float(c.Args[0]), float(c.Args[1])});
  return out;
}

void ExpectVec(const TVector4f& v, float x, float y, float z, float tol = 1e-5f) {
  EXPECT_NEAR(v[0], x, tol);
  EXPECT_NEAR(v[1], y, tol);
  EXPECT_NEAR(v[2], z, tol);
}

TVector4f ColorOf(TGLLinesNode* node) { return node->Color()->Color(); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Cube

TEST(ObjectsCube, FacesAreWoundOutwardAndInsideFlipsOnlyNormals) {
  TRecording r;
  TGLCube cube(nullptr);
  cube.SetCubeWidth(2);
  cube.SetCubeHeight(4);
  cube.SetCubeDepth(6);
  cube.BuildList(r.rci);
  ASSERT_EQ(r.rec.CallsTo("glBegin").size(), 1u);
  EXPECT_EQ(r.rec.CallsTo("glBegin")[0].Args[0], GL_QUADS);
  const auto normals = r.rec.CallsTo("glNormal3f");
  const auto verts = Vertices(r.rec);
  ASSERT_EQ(normals.size(), 6u);
  ASSERT_EQ(verts.size(), 24u);
  EXPECT_EQ(TexCoords(r.rec).size(), 24u);
  for (int f = 0; f < 6; ++f) {
    const TAffineVector n = {float(normals[f].Args[0]), float(normals[f].Args[1]), float(normals[f].Args[2])};
    const TAffineVector* q = &verts[size_t(f * 4)];
    const TAffineVector cross =
        AffineVectorCrossProduct(AffineVectorSubtract(q[1], q[0]), AffineVectorSubtract(q[2], q[0]));
    EXPECT_GT(AffineVectorDotProduct(cross, n), 0) << "face " << f;
    // Every corner lies on the face plane the normal points out of.
    for (int i = 0; i < 4; ++i) EXPECT_GT(AffineVectorDotProduct(q[i], n), 0) << "face " << f;
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(std::fabs(q[i][0]), 1);
      EXPECT_EQ(std::fabs(q[i][1]), 2);
      EXPECT_EQ(std::fabs(q[i][2]), 3);
    }
  }
  // Inward: same vertices and texture coordinates, normals negated.
  const auto tex = TexCoords(r.rec);
  r.rec.Clear();
  cube.SetNormalDirection(ndInside);
  cube.BuildList(r.rci);
  const auto inNormals = r.rec.CallsTo("glNormal3f");
  ASSERT_EQ(inNormals.size(), 6u);
  for (int f = 0; f < 6; ++f)
    for (int k = 0; k < 3; ++k) EXPECT_EQ(inNormals[f].Args[k], -normals[f].Args[k] + 0.0);
  const auto inVerts = Vertices(r.rec);
  for (size_t i = 0; i < verts.size(); ++i) EXPECT_TRUE(AffineVectorEquals(inVerts[i], verts[i]));
  EXPECT_EQ(TexCoords(r.rec), tex);
  // No faces: an empty batch.
  r.rec.Clear();
  cube.SetParts(TCubeParts{});
  cube.BuildList(r.rci);
  EXPECT_EQ(r.rec.Names(), (std::vector<std::string>{"glBegin", "glEnd"}));
}

TEST(ObjectsCube, SizeStreamedAsOneBinaryValue) {
  TGLCube cube(nullptr);
  {
    TCaptureFiler filer;
    cube.DefineProperties(&filer);
    ASSERT_TRUE(filer.Binary.count("CubeSize"));
    EXPECT_FALSE(filer.Binary["CubeSize"].HasData);
  }
  cube.SetCubeDepth(2);
  TCaptureFiler filer;
  cube.DefineProperties(&filer);
  ASSERT_TRUE(filer.Binary["CubeSize"].HasData);
  TMemoryStream out;
  filer.Binary["CubeSize"].Write(&out);
  EXPECT_EQ(BytesOf(out), std::string("\x00\x00\x80\x3F\x00\x00\x80\x3F\x00\x00\x00\x40", 12));

  TGLCube copy(nullptr);
  TCaptureFiler reader;
  copy.DefineProperties(&reader);
  out.SetPosition(0);
  reader.Binary["CubeSize"].Read(&out);
  EXPECT_EQ(copy.CubeWidth(), 1);
  EXPECT_EQ(copy.CubeDepth(), 2);
  // A value of the wrong length is refused and changes nothing.
  TMemoryStream shortData;
  shortData.Write("\x00\x00\x80\x40", 4);
  shortData.SetPosition(0);
  EXPECT_THROW(reader.Binary["CubeSize"].Read(&shortData), EReadError);
  EXPECT_EQ(copy.CubeDepth(), 2);
}

TEST(ObjectsCube, RayEntersThroughTheNearFaceOnly) {
  TGLCube cube(nullptr);
  TVector4f p{}, n{};
  ASSERT_TRUE(cube.RayCastIntersect(PointMake(0, 0, -10), VectorMake(0, 0, 1), &p, &n));
  ExpectVec(p, 0, 0, -0.5f);
  EXPECT_EQ(p[3], 1);
  ExpectVec(n, 0, 0, -1);
  // The box is widened by 0.02 % of its size.
  EXPECT_TRUE(cube.RayCastIntersect(PointMake(0.50009f, 0, -10), VectorMake(0, 0, 1)));
  EXPECT_FALSE(cube.RayCastIntersect(PointMake(0.5002f, 0, -10), VectorMake(0, 0, 1)));
  // From inside, or pointing away: no entry, outputs untouched.
  TVector4f untouched = {7, 7, 7, 7};
  EXPECT_FALSE(cube.RayCastIntersect(PointMake(0, 0, 0), VectorMake(0, 0, 1), &untouched));
  EXPECT_FALSE(cube.RayCastIntersect(PointMake(0, 0, -10), VectorMake(0, 0, -1), &untouched));
  ExpectVec(untouched, 7, 7, 7);
  // A moved cube answers in world coordinates.
  cube.Position()->SetXYZAsPoint(5, 0, 0);
  ASSERT_TRUE(cube.RayCastIntersect(PointMake(10, 0, 0), VectorMake(-1, 0, 0), &p, &n));
  ExpectVec(p, 5.5f, 0, 0);
  ExpectVec(n, 1, 0, 0);
}

TEST(ObjectsCube, SilhouetteFollowsSelectedFaces) {
  TGLCube cube(nullptr);
  TGLSilhouetteParameters params;
  params.SeenFrom = {0, 0, 10};
  std::unique_ptr<TGLSilhouette> sil(cube.GenerateSilhouette(params));
  EXPECT_EQ(sil->Indices()->Count(), 8);  // four edges round the front face
  cube.SetParts(TCubeParts{});
  sil.reset(cube.GenerateSilhouette(params));
  EXPECT_EQ(sil->Indices()->Count(), 0);
}

// ---------------------------------------------------------------------------------------------
// Plane

TEST(ObjectsPlane, TextureRangeFromTilesScopeAndOffset) {
  TRecording r;
  TGLPlane plane(nullptr);
  plane.BuildList(r.rci);
  auto tex = TexCoords(r.rec);
  ASSERT_EQ(tex.size(), 4u);
  EXPECT_EQ(tex[0], std::make_pair(1.0f, 1.0f));
  EXPECT_EQ(tex[2], std::make_pair(0.0f, 0.0f));
  // The floor of the traffic view: 100 repeats across.
  plane.SetWidth(400);
  plane.SetXTiles(100);
  plane.SetYTiles(100);
  r.rec.Clear();
  plane.BuildList(r.rci);
  tex = TexCoords(r.rec);
  EXPECT_EQ(tex[0], std::make_pair(100.0f, 100.0f));
  EXPECT_EQ(Vertices(r.rec)[0][0], 200);
  // Without tiling the range is the scope.
  plane.SetStyle(TPlaneStyles{psSingleQuad});
  plane.SetXScope(0.5f);
  r.rec.Clear();
  plane.BuildList(r.rci);
  EXPECT_EQ(TexCoords(r.rec)[0], std::make_pair(0.5f, 1.0f));
  // Scopes above 1 are cut to 1.
  plane.SetXScope(2.5f);
  EXPECT_EQ(plane.XScope(), 1);
  plane.SetYScope(0.5f);
  EXPECT_EQ(plane.YScope(), 0.5f);
}

TEST(ObjectsPlane, GridOfTriangleStrips) {
  TRecording r;
  TGLPlane plane(nullptr);
  plane.SetStyle(TPlaneStyles{psTileTexture});
  plane.SetXTiles(2);
  plane.SetYTiles(3);
  plane.SetXScope(0.5f);
  plane.SetNoZWrite(true);
  plane.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("glBegin"), 3);
  const auto v = Vertices(r.rec);
  ASSERT_EQ(v.size(), 18u);
  EXPECT_NEAR(v[0][0], -0.5f, 1e-6);
  EXPECT_NEAR(v[0][1], -0.5f + 1.0f / 3, 1e-6);  // the upper row of a strip first
  EXPECT_NEAR(v[1][1], -0.5f, 1e-6);
  EXPECT_NEAR(v[17][0], 0.5f, 1e-6);
  const auto tex = TexCoords(r.rec);
  EXPECT_NEAR(tex[2].first, 0.5f, 1e-6);  // s is a real fraction of the tiles
  EXPECT_EQ(r.rec.CallsTo("glDepthMask").front().Args[0], GL_FALSE);
  EXPECT_EQ(r.rec.CallsTo("glDepthMask").back().Args[0], GL_TRUE);
  // No tiles, no grid (and no division by zero).
  plane.SetXTiles(0);
  r.rec.Clear();
  plane.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("glBegin"), 0);
}

TEST(ObjectsPlane, RayCastsAndDistances) {
  TGLPlane plane(nullptr);
  plane.SetWidth(4);
  plane.SetHeight(2);
  TVector4f p{}, n{};
  ASSERT_TRUE(plane.RayCastIntersect(PointMake(1, 0.5f, 5), VectorMake(0, 0, -1), &p, &n));
  ExpectVec(p, 1, 0.5f, 0);
  ExpectVec(n, 0, 0, 1);
  ASSERT_TRUE(plane.RayCastIntersect(PointMake(0, 0, -5), VectorMake(0, 0, 1), &p, &n));
  ExpectVec(n, 0, 0, -1);
  EXPECT_FALSE(plane.RayCastIntersect(PointMake(3, 0, 5), VectorMake(0, 0, -1)));
  EXPECT_FALSE(plane.RayCastIntersect(PointMake(0, 0, 5), VectorMake(1, 0, 0)));
  EXPECT_FALSE(plane.RayCastIntersect(PointMake(0, 0, 5), VectorMake(0, 0, 1)));
  plane.Position()->SetXYZAsPoint(0, 0, 2);
  EXPECT_FLOAT_EQ(plane.DistanceToPlane(PointMake(5, 5, 5)), 3);
  EXPECT_FLOAT_EQ(plane.DistanceToPlane(PointMake(0, 0, 0)), -2);
  // A moved plane is hit where it now is.
  ASSERT_TRUE(plane.RayCastIntersect(PointMake(0, 0, 5), VectorMake(0, 0, -1), &p));
  ExpectVec(p, 0, 0, 2);
}

// ---------------------------------------------------------------------------------------------
// Sprite and dummy cube

TEST(ObjectsSprite, ClampsAndMirroring) {
  TGLSprite sprite(nullptr);
  sprite.SetAlphaChannel(-1);
  EXPECT_EQ(sprite.AlphaChannel(), 0);
  sprite.SetAlphaChannel(7);
  EXPECT_EQ(sprite.AlphaChannel(), 1);
  TRecording r;
  sprite.SetWidth(2);
  sprite.BuildList(r.rci);  // the recorder answers no matrix: identity
  const auto plain = TexCoords(r.rec);
  const auto v = Vertices(r.rec);
  ASSERT_EQ(v.size(), 4u);
  ExpectVec(PointMake(v[0]), 1, 0.5f, 0);
  sprite.SetMirrorU(true);
  r.rec.Clear();
  sprite.BuildList(r.rci);
  const auto mirrored = TexCoords(r.rec);
  ASSERT_EQ(mirrored.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(mirrored[i].first, 1 - plain[i].first);
    EXPECT_EQ(mirrored[i].second, plain[i].second);
  }
  EXPECT_EQ(r.rec.Count("glRotatef"), 0);
  sprite.SetRotation(30);
  r.rec.Clear();
  sprite.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("glRotatef"), 1);
  EXPECT_EQ(r.rec.Count("glPushMatrix"), r.rec.Count("glPopMatrix"));
}

TEST(ObjectsDummyCube, InvisibleGroupWithBarycentre) {
  TGLDummyCube group(nullptr);
  EXPECT_TRUE(group.ObjectStyle() & osDirectDraw);
  ExpectVec(group.AxisAlignedDimensionsUnscaled(), 0.5f, 0.5f, 0.5f);
  EXPECT_FALSE(group.RayCastIntersect(PointMake(0, 0, -5), VectorMake(0, 0, 1)));
  // Without children, its own position.
  group.Position()->SetXYZAsPoint(3, 0, 0);
  ExpectVec(group.BarycentreAbsolutePosition(), 3, 0, 0);
  auto* a = group.AddNewChild<TGLCube>();
  auto* b = group.AddNewChild<TGLCube>();
  a->Position()->SetXYZAsPoint(0, 0, 0);
  b->Position()->SetXYZAsPoint(2, 0, 0);
  ExpectVec(group.BarycentreAbsolutePosition(), 4, 0, 0);  // children at 3 and 5 in the world

  TRecording r;
  group.BuildList(r.rci);
  EXPECT_TRUE(r.rec.Calls.empty());  // not drawn at run time
  group.SetVisibleAtRunTime(true);
  const GLfloat grey[4] = {0.5f, 0.5f, 0.5f, 1};
  r.cache.SendMaterialColors(GL_FRONT, grey, grey, grey, grey, 50);
  group.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("glLineStipple"), 1);
  EXPECT_EQ(Vertices(r.rec).size(), 16u);  // ten-point strip and three separate edges
  EXPECT_EQ(r.rec.Count("glPushAttrib"), r.rec.Count("glPopAttrib"));
  // The default material went out inside the attribute block: GL is back at shininess 50 and
  // the cache still says so.
  r.rec.Clear();
  r.cache.SendMaterialColors(GL_FRONT, grey, grey, grey, grey, 0);
  EXPECT_EQ(r.rec.Count("glMateriali"), 1);

  group.SetAmalgamate(true);
  EXPECT_TRUE(group.ObjectStyle() & osStateChanging);
  group.SetAmalgamate(false);
  EXPECT_FALSE(group.ObjectStyle() & osStateChanging);
}

// ---------------------------------------------------------------------------------------------
// Sphere

TEST(ObjectsSphere, StripsCapsAndInversion) {
  TRecording r;
  TGLSphere sphere(nullptr);
  sphere.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("glBegin"), 16);
  EXPECT_EQ(Vertices(r.rec).size(), 16u * 34);
  // Quarter of the longitudes still spans the whole texture width.
  sphere.SetStart(90);
  sphere.SetStop(180);
  r.rec.Clear();
  sphere.BuildList(r.rci);
  auto tex = TexCoords(r.rec);
  EXPECT_EQ(tex.front().first, 0);
  EXPECT_EQ(tex.back().first, 1);
  const auto v = Vertices(r.rec);
  for (const auto& p : v) EXPECT_GE(p[0], -1e-6f);  // sin theta >= 0 on 90..180
  // A flat top cap closes a sphere cut at 45 degrees; Top 90 never has a cap.
  sphere.SetTop(45);
  sphere.SetTopCap(ctFlat);
  r.rec.Clear();
  sphere.BuildList(r.rci);
  ASSERT_EQ(r.rec.CallsTo("glBegin")[0].Args[0], GL_TRIANGLE_FAN);
  EXPECT_NEAR(Vertices(r.rec)[0][1], std::sin(M_PI / 4), 1e-6);
  sphere.SetTop(90);
  r.rec.Clear();
  sphere.BuildList(r.rci);
  EXPECT_EQ(r.rec.CallsTo("glBegin")[0].Args[0], GL_TRIANGLE_STRIP);
  // Inside: every normal negated and the winding toggled around the draw.
  sphere.SetNormalDirection(ndInside);
  r.rec.Clear();
  sphere.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("glFrontFace"), 2);
  EXPECT_TRUE(r.cache.FrontFaceCCW());
  const auto normals = r.rec.CallsTo("glNormal3f");
  const auto vertices = Vertices(r.rec);
  ASSERT_EQ(normals.size(), vertices.size());
  for (size_t i = 0; i < normals.size(); ++i)
    EXPECT_NEAR(
        normals[i].Args[0] * vertices[i][0] + normals[i].Args[1] * vertices[i][1] + normals[i].Args[2] * vertices[i][2],
        -1, 1e-5);
}

TEST(ObjectsSphere, SettersAndRayCast) {
  TGLSphere sphere(nullptr);
  sphere.SetSlices(0);
  EXPECT_EQ(sphere.Slices(), 1);
  sphere.SetStop(100);
  try {
    sphere.SetStart(200);
    FAIL() << "start beyond stop accepted";
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(std::string(e.what()).find("Assertion failure"), std::string::npos);
  }
  EXPECT_EQ(sphere.Start(), 0);
  // Copying goes past the asserting setters.
  TGLSphere other(nullptr);
  other.SetStart(0);
  sphere.SetStop(360);
  sphere.SetStart(200);
  TGLSphere target(nullptr);
  target.SetStop(100);
  EXPECT_NO_THROW(target.Assign(&sphere));
  EXPECT_EQ(target.Start(), 200);

  TVector4f p{}, n{};
  ASSERT_TRUE(other.RayCastIntersect(PointMake(0, 0, -5), VectorMake(0, 0, 2), &p, &n));
  ExpectVec(p, 0, 0, -0.5f);
  ExpectVec(n, 0, 0, -0.5f);
  TVector4f untouched{9, 9, 9, 9};
  EXPECT_FALSE(other.RayCastIntersect(PointMake(2, 0, -5), VectorMake(0, 0, 1), &untouched));
  ExpectVec(untouched, 9, 9, 9);
}

TEST(ObjectsSphere, SilhouetteCircle) {
  TGLSphere sphere(nullptr);
  TGLSilhouetteParameters params;
  params.SeenFrom = {1, 0, 0};  // needs the fallback axis
  params.CapSilhouette = 1;
  std::unique_ptr<TGLSilhouette> sil(sphere.GenerateSilhouette(params));
  ASSERT_EQ(sil->Vertices()->Count(), 17);
  EXPECT_EQ(sil->Indices()->Count(), 32);
  EXPECT_EQ(sil->CapIndices()->Count(), 48);
  for (int i = 0; i < 16; ++i) {
    const TVector4f v = sil->Vertices()->Get(i);
    EXPECT_FALSE(std::isnan(v[0]));
    EXPECT_NEAR(v[0], 0, 1e-6);  // perpendicular to the view
    EXPECT_NEAR(VectorXYZLength(v), 0.5f, 1e-5);
  }
  params.SeenFrom = {0, 0, 0};
  sil.reset(sphere.GenerateSilhouette(params));
  EXPECT_EQ(sil->Vertices()->Count(), 0);
}

// ---------------------------------------------------------------------------------------------
// Polyhedra and polygon base

TEST(ObjectsPolyhedra, EveryFaceFacesOutwardWithAUnitNormal) {
  for (int which = 0; which < 2; ++which) {
    TGLRecorder rec;
    which == 0 ? DodecahedronBuildList() : IcosahedronBuildList();
    const auto normals = rec.CallsTo("glNormal3fv");
    ASSERT_EQ(normals.size(), which == 0 ? 12u : 20u);
    const size_t perFace = which == 0 ? 5 : 3;
    const auto v = Vertices(rec);
    ASSERT_EQ(v.size(), normals.size() * perFace);
    for (size_t f = 0; f < normals.size(); ++f) {
      const TAffineVector n = {float(normals[f].Data[0]), float(normals[f].Data[1]), float(normals[f].Data[2])};
      EXPECT_NEAR(AffineVectorLength(n), 1, 1e-5);
      TAffineVector c{0, 0, 0};
      for (size_t i = 0; i < perFace; ++i) c = AffineVectorAdd(c, v[f * perFace + i]);
      EXPECT_GT(AffineVectorDotProduct(n, c), 0) << "face " << f;
      // Planar: every corner at the same distance along the normal.
      for (size_t i = 1; i < perFace; ++i)
        EXPECT_NEAR(AffineVectorDotProduct(n, v[f * perFace + i]), AffineVectorDotProduct(n, v[f * perFace]), 1e-4);
    }
  }
}

TEST(ObjectsPolygonBase, DivisionNodesAndChangeSource) {
  class TPoly : public TGLPolygonBase {
   public:
    using TGLPolygonBase::TGLPolygonBase;
  };
  TPoly a(nullptr), b(nullptr);
  a.SetDivision(0);
  EXPECT_EQ(a.Division(), 1);
  a.SetDivision(-5);
  EXPECT_EQ(a.Division(), 1);
  a.Nodes()->AddNode(1, 2, 3);
  b.Assign(&a);
  ASSERT_EQ(b.Nodes()->Count(), 1);
  b.Nodes()->Items(0)->SetX(9);
  EXPECT_EQ(a.Nodes()->Items(0)->X(), 1);
  b.ClearStructureChanged();
  b.NotifyChange(&a);
  EXPECT_FALSE(b.Changes() & ocStructure);
  b.Nodes()->Items(0)->SetY(4);
  EXPECT_TRUE(b.Changes() & ocStructure);
}

TEST(ObjectsRegistration, ExactClassNames) {
  RegisterGLObjectsClasses();
  RegisterGLPolyhedronClasses();
  for (const char* name :
       {"TGLSphere", "TGLCube", "TGLPlane", "TGLSprite", "TGLDummyCube", "TGLDodecahedron", "TGLIcosahedron"})
    EXPECT_NE(GetClass(name), nullptr) << name;
  EXPECT_EQ(GetClass("TGLPolygonBase"), nullptr);
  EXPECT_EQ(TGLCube(nullptr).ClassName(), "TGLCube");
  const TPropInfo* parts = FindPublishedProperty(TGLCube::StaticClass(), "Parts");
  ASSERT_NE(parts, nullptr);
  EXPECT_EQ(parts->OrdDefault, 63);
}

// ---------------------------------------------------------------------------------------------
// Points and lines

TEST(ObjectsPoints, CountsColoursAndArrayLocking) {
  TRecording r;
  TGLPoints points(nullptr);
  points.BuildList(r.rci);
  ASSERT_EQ(r.rec.Count("glDrawArrays"), 1);
  EXPECT_EQ(r.rec.CallsTo("glDrawArrays")[0].Args[2], 1);  // one point at the origin
  EXPECT_EQ(r.rec.CallsTo("glColor4f").size(), 1u);

  for (int i = 0; i < 5; ++i) points.Positions()->Add(TAffineVector{float(i), 0, 0});
  for (int i = 0; i < 3; ++i) points.Colors()->Add(TVector4f{1, 0, 0, 1});
  r.rec.Clear();
  points.BuildList(r.rci);
  EXPECT_EQ(r.rec.CallsTo("glDrawArrays")[0].Args[2], 3);
  EXPECT_EQ(r.rec.Count("glColorPointer"), 1);
  EXPECT_EQ(r.rec.Count("glEnableClientState"), 2);
  EXPECT_EQ(r.rec.Count("glDisableClientState"), 2);
  EXPECT_EQ(r.rec.Count("glPushAttrib"), r.rec.Count("glPopAttrib"));

  GLCaps.EXT_compiled_vertex_array = true;
  points.Colors()->Clear();
  while (points.Positions()->Count() < 64) points.Positions()->Add(TAffineVector{0, 0, 0});
  r.rec.Clear();
  points.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("glLockArraysEXT"), 0);
  points.Positions()->Add(TAffineVector{0, 0, 0});
  r.rec.Clear();
  points.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("glLockArraysEXT"), 1);
  EXPECT_EQ(r.rec.Count("glUnlockArraysEXT"), 1);
}

TEST(ObjectsPoints, StylesAndStaticClouds) {
  TRecording r;
  TGLPoints points(nullptr);
  points.SetStyle(psRound);
  points.BuildList(r.rci);
  const auto alpha = r.rec.CallsTo("glAlphaFunc");
  ASSERT_EQ(alpha.size(), 2u);
  EXPECT_EQ(alpha[0].Args[0], GL_GREATER);
  EXPECT_FLOAT_EQ(float(alpha[0].Args[1]), 0.5f);
  EXPECT_EQ(alpha[1].Args[1], 0);  // reset after the attribute block
  points.SetStyle(psSmoothAdditive);
  r.rec.Clear();
  points.BuildList(r.rci);
  ASSERT_EQ(r.rec.Count("glBlendFunc"), 1);
  EXPECT_EQ(r.rec.CallsTo("glBlendFunc")[0].Args[1], GL_ONE);
  EXPECT_TRUE(points.ObjectStyle() & osDirectDraw);
  points.SetStatic(true);
  EXPECT_FALSE(points.ObjectStyle() & osDirectDraw);
}

TEST(ObjectsPointParameters, ClampsStreamAndExtensionGate) {
  TGLPoints points(nullptr);
  TGLPointParameters* pp = points.PointParameters();
  pp->SetMinSize(-3);
  EXPECT_EQ(pp->MinSize(), 0);
  pp->SetMaxSize(-1);
  EXPECT_EQ(pp->MaxSize(), 0);
  pp->SetMaxSize(128);
  {
    TCaptureFiler filer;
    pp->DefineProperties(&filer);
    EXPECT_FALSE(filer.Binary["PointParams"].HasData);
  }
  pp->SetMinSize(2);
  TCaptureFiler filer;
  pp->DefineProperties(&filer);
  ASSERT_TRUE(filer.Binary["PointParams"].HasData);
  TMemoryStream data;
  filer.Binary["PointParams"].Write(&data);
  EXPECT_EQ(std::string(static_cast<const char*>(data.Memory()), size_t(data.Size())),
            std::string("\x00\x00\x00\x40\x00\x00\x00\x43\x00\x00\x80\x3F", 12));
  TGLPointParameters other(nullptr);
  TCaptureFiler reader;
  other.DefineProperties(&reader);
  data.SetPosition(0);
  reader.Binary["PointParams"].Read(&data);
  EXPECT_EQ(other.MinSize(), 2);
  TMemoryStream wrong;
  wrong.Write("\x00\x00\x00\x40", 4);
  wrong.SetPosition(0);
  EXPECT_THROW(reader.Binary["PointParams"].Read(&wrong), EReadError);

  TRecording r;
  pp->SetEnabled(true);
  GLCaps.ARB_point_parameters = false;
  pp->Apply();
  EXPECT_TRUE(r.rec.Calls.empty());
  GLCaps.ARB_point_parameters = true;
  pp->Apply();
  EXPECT_EQ(r.rec.Count("glPointParameterfARB"), 3);
  EXPECT_EQ(r.rec.Count("glPointParameterfvARB"), 1);
}

TEST(ObjectsLines, NothingBelowTwoNodesAndSplineVertexCount) {
  TRecording r;
  TGLLines lines(nullptr);
  lines.AddNode(0, 0, 0);
  lines.BuildList(r.rci);
  EXPECT_TRUE(r.rec.Calls.empty());  // not even the markers

  lines.AddNode(1, 1, 0);
  lines.AddNode(2, 0, 0);
  lines.SetNodesAspect(lnaInvisible);
  lines.SetSplineMode(lsmCubicSpline);
  lines.BuildList(r.rci);
  const auto v = r.rec.CallsTo("glVertex3f");
  ASSERT_EQ(v.size(), 21u);
  EXPECT_NEAR(v.front().Args[0], 0, 1e-5);
  EXPECT_NEAR(v.back().Args[0], 2, 1e-5);
  EXPECT_NEAR(v[10].Args[1], 1, 1e-5);  // passes through the middle node

  // Markers: one per node.
  lines.SetSplineMode(lsmSegments);
  lines.SetNodesAspect(lnaCube);
  r.rec.Clear();
  lines.BuildList(r.rci);
  EXPECT_EQ(r.rec.CallsTo("glBegin")[0].Args[0], GL_LINES);
  EXPECT_EQ(r.rec.Count("glLineStipple"), 0);
  EXPECT_EQ(r.rec.Count("glTranslatef"), 3);
  EXPECT_EQ(r.rec.Count("glPushMatrix"), r.rec.Count("glPopMatrix"));
  EXPECT_EQ(r.rec.Count("glPushAttrib"), r.rec.Count("glPopAttrib"));
}

TEST(ObjectsLines, CurvesWithoutUsableSettingsFallBack) {
  TRecording r;
  TGLLines lines(nullptr);
  lines.SetNodesAspect(lnaInvisible);
  for (int i = 0; i < 4; ++i) lines.AddNode(float(i), 0, 0);
  // NURBS without order or with knots that do not match: only markers would remain.
  lines.SetSplineMode(lsmNURBSCurve);
  lines.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("gluNewNurbsRenderer"), 0);
  EXPECT_EQ(r.rec.Count("glBegin"), 0);
  lines.SetNurbsOrder(3);
  for (int i = 0; i < 5; ++i) lines.NurbsKnots()->Add(float(i));  // needs 4 + 3
  r.rec.Clear();
  lines.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("gluNurbsCurve"), 0);
  while (lines.NurbsKnots()->Count() < 7) lines.NurbsKnots()->Add(9);
  r.rec.Clear();
  lines.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("gluNurbsCurve"), 1);
  EXPECT_EQ(r.rec.Count("gluDeleteNurbsRenderer"), 1);
  // A Bezier curve goes through the evaluators up to their largest order (4 here), beyond it
  // as straight lines.
  GL.glGetIntegerv = [](GLenum pname, GLint* v) { *v = pname == GL_MAX_EVAL_ORDER ? 4 : 0; };
  lines.SetSplineMode(lsmBezierSpline);
  r.rec.Clear();
  lines.BuildList(r.rci);
  const auto maps = r.rec.CallsTo("glMap1f");
  ASSERT_EQ(maps.size(), 2u);  // positions and colours
  EXPECT_EQ(maps[0].Args[0], GL_MAP1_VERTEX_3);
  EXPECT_EQ(maps[0].Args[4], 4);
  EXPECT_EQ(r.rec.Count("glEvalCoord1f"), 11);  // Division 10
  EXPECT_EQ(r.rec.Count("glVertex3f"), 0);
  EXPECT_EQ(r.rec.Count("glPushAttrib"), r.rec.Count("glPopAttrib"));
  lines.AddNode(4, 0, 0);
  r.rec.Clear();
  lines.BuildList(r.rci);
  EXPECT_EQ(r.rec.Count("glMap1f"), 0);
  EXPECT_EQ(r.rec.Count("glVertex3f"), 5);
}

TEST(ObjectsLines, StyleSetupAndClamps) {
  TRecording r;
  TGLLines lines(nullptr);
  lines.SetupLineStyle(r.rci);
  lines.RestoreLineStyle(r.rci);
  EXPECT_EQ(r.rec.Count("glLineStipple"), 0);
  EXPECT_EQ(r.rec.Count("glColor3fv"), 1);
  lines.SetLinePattern(0xF0F0);
  r.rec.Clear();
  lines.SetupLineStyle(r.rci);
  lines.RestoreLineStyle(r.rci);
  ASSERT_EQ(r.rec.Count("glLineStipple"), 1);
  EXPECT_EQ(r.rec.CallsTo("glLineStipple")[0].Args[1], 0xF0F0);
  bool blend = false;
  for (const auto& c : r.rec.CallsTo("glEnable")) blend |= c.Args[0] == GL_BLEND;
  EXPECT_TRUE(blend);
  lines.SetDivision(0);
  EXPECT_EQ(lines.Division(), 1);
  lines.SetNodeSize(-2);
  EXPECT_EQ(lines.NodeSize(), 1);
}

TEST(ObjectsLines, NodeColourFollowsUnlessOwn) {
  TGLLines lines(nullptr);
  lines.AddNode(1, -3, 2);
  lines.AddNode(-2, 1, 0);
  lines.AddNode(0, 0, 0);
  const TVector4f green{0, 1, 0, 1}, red{1, 0, 0, 1};
  lines.Nodes()->Items(2)->Color()->SetColor(green);
  EXPECT_FALSE(lines.Nodes()->Items(0)->ColorStored());
  EXPECT_TRUE(lines.Nodes()->Items(2)->ColorStored());
  lines.NodeColor()->SetColor(red);
  EXPECT_TRUE(VectorEquals(ColorOf(lines.Nodes()->Items(0)), red));
  EXPECT_TRUE(VectorEquals(ColorOf(lines.Nodes()->Items(1)), red));
  EXPECT_TRUE(VectorEquals(ColorOf(lines.Nodes()->Items(2)), green));
  lines.AddNode(5, 5, 5);
  EXPECT_TRUE(VectorEquals(ColorOf(lines.Nodes()->Items(3)), red));
  // Half extents over the nodes.
  lines.Nodes()->Delete(3);
  const TVector4f aad = lines.AxisAlignedDimensionsUnscaled();
  EXPECT_EQ(aad[0], 2);
  EXPECT_EQ(aad[1], 3);
  EXPECT_EQ(aad[2], 2);
  // A moved node rebuilds the line.
  lines.ClearStructureChanged();
  lines.Nodes()->Items(0)->SetX(4);
  EXPECT_TRUE(lines.Changes() & ocStructure);
}

TEST(ObjectsLines, AssignKeepsTheSceneObjectPart) {
  TGLLines a(nullptr), b(nullptr);
  a.Position()->SetXYZAsPoint(1, 2, 3);
  a.SetLineWidth(0.5f);
  a.AddNode(1, 1, 1);
  b.Assign(&a);
  EXPECT_EQ(b.LineWidth(), 0.5f);
  EXPECT_EQ(b.Nodes()->Count(), 1);
  EXPECT_EQ(b.Position()->AsVector()[2], 3);
}

// ---------------------------------------------------------------------------------------------
// Stored scenes

namespace {

void RegisterForStreaming() {
  RegisterVectorLists();
  RegisterGLCoordinatesClasses();
  RegisterGLColorClasses();
  RegisterGLNodesClasses();
  RegisterGLSceneGraphClasses();
  RegisterGLObjectsClasses();
}

template <class T>
std::unique_ptr<T> RoundTrip(T* source) {
  TMemoryStream stream;
  TWriter(&stream).WriteRootComponent(source);
  stream.SetPosition(0);
  TComponent* read = TReader(&stream).ReadRootComponent(nullptr);
  EXPECT_NE(dynamic_cast<T*>(read), nullptr);
  return std::unique_ptr<T>(dynamic_cast<T*>(read));
}

}  // namespace

TEST(ObjectsStreaming, CubeAndLinesComeBackByName) {
  RegisterForStreaming();
  TGLCube cube(nullptr);
  cube.SetName("SnifferCube");
  cube.SetCubeHeight(3);
  cube.SetParts(TCubeParts{cpTop, cpFront});
  cube.SetNormalDirection(ndInside);
  auto copy = RoundTrip(&cube);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->CubeHeight(), 3);
  EXPECT_EQ(copy->CubeWidth(), 1);
  EXPECT_TRUE(copy->Parts() == (TCubeParts{cpTop, cpFront}));
  EXPECT_EQ(copy->NormalDirection(), ndInside);

  TGLLines lines(nullptr);
  lines.SetName("GLLines1");
  lines.SetLineWidth(0.5f);
  lines.AddNode(1, 2, 3);
  lines.AddNode(4, 5, 6);
  lines.Nodes()->Items(1)->Color()->SetColor(TVector4f{0, 1, 0, 1});
  lines.SetSplineMode(lsmCubicSpline);
  auto lcopy = RoundTrip(&lines);
  ASSERT_TRUE(lcopy);
  EXPECT_EQ(lcopy->LineWidth(), 0.5f);
  EXPECT_EQ(lcopy->SplineMode(), lsmCubicSpline);
  ASSERT_EQ(lcopy->Nodes()->Count(), 2);
  EXPECT_EQ(lcopy->Nodes()->Items(1)->Z(), 6);
  EXPECT_TRUE(VectorEquals(lcopy->Nodes()->Items(1)->Color()->Color(), TVector4f{0, 1, 0, 1}));
  EXPECT_TRUE(VectorEquals(lcopy->Nodes()->Items(0)->Color()->Color(), TVector4f{0, 0, 1, 1}));
  // A line with its own node colour: a node explicitly in the default colour and one that
  // follows the node colour both come back, and keep following (or not) afterwards.
  const TVector4f blue{0, 0, 1, 1}, red{1, 0, 0, 1}, green{0, 1, 0, 1};
  lines.NodeColor()->SetColor(red);
  lines.Nodes()->Items(1)->Color()->SetColor(blue);
  auto rcopy = RoundTrip(&lines);
  ASSERT_TRUE(rcopy);
  EXPECT_TRUE(VectorEquals(rcopy->NodeColor()->Color(), red));
  EXPECT_TRUE(VectorEquals(rcopy->Nodes()->Items(0)->Color()->Color(), red));
  EXPECT_TRUE(VectorEquals(rcopy->Nodes()->Items(1)->Color()->Color(), blue));
  rcopy->NodeColor()->SetColor(green);
  EXPECT_TRUE(VectorEquals(rcopy->Nodes()->Items(0)->Color()->Color(), green));
  EXPECT_TRUE(VectorEquals(rcopy->Nodes()->Items(1)->Color()->Color(), blue));

  TGLPoints points(nullptr);
  points.SetName("Cloud");
  points.Positions()->Add(TAffineVector{1, 2, 3});
  points.Colors()->Add(TVector4f{1, 0, 0, 1});
  points.PointParameters()->SetMaxSize(64);
  points.SetStyle(psSmooth);
  auto pcopy = RoundTrip(&points);
  ASSERT_TRUE(pcopy);
  ASSERT_EQ(pcopy->Positions()->Count(), 1);
  EXPECT_EQ(pcopy->Positions()->Get(0)[2], 3);
  EXPECT_EQ(pcopy->Colors()->Count(), 1);
  EXPECT_EQ(pcopy->PointParameters()->MaxSize(), 64);
  EXPECT_EQ(pcopy->Style(), psSmooth);
}
