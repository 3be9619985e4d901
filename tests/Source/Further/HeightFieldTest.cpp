// Tests of function plots: sampling scales, refused sizes and scales, height-field strips and
// normals, and the axis grid's parts and line styles.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "Source/Base/XOpenGL.h"
#include "Source/Further/GLGraph.h"
#include "Source/Objects/GLGeomObjects.h"
#include "Source/Objects/GLObjects.h"
#include "rtl/SysUtils.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/StoredCopy.h"

namespace {

std::vector<float> Samples(const TGLSamplingScale& s, bool enabled) {
  float base, step, max;
  s.SetBaseStepMaxToVars(base, step, max, enabled);
  std::vector<float> out;
  for (int i = 0; i < SampleCount(base, step, max); ++i) out.push_back(base + float(i) * step);
  return out;
}

void SetScale(TGLSamplingScale* s, float mn, float mx, float step, float origin = 0) {
  s->SetMin(mn);
  s->SetMax(mx);
  s->SetStep(step);
  s->SetOrigin(origin);
}

// The vertices (x, y, z) of every glVertex4f call.
std::vector<std::array<double, 3>> Vertices(const TGLRecorder& rec) {
  std::vector<std::array<double, 3>> out;
  for (const auto& c : rec.CallsTo("glVertex4f")) out.push_back({c.Args[0], c.Args[1], c.Args[2]});
  return out;
}

}  // namespace

TEST(HeightFieldScale, SamplesFollowTheOriginLattice) {
  TGLSamplingScale s(nullptr);
  SetScale(&s, 0, 0.5f, 0.1f, 0.05f);
  auto v = Samples(s, true);
  ASSERT_EQ(v.size(), 5u);
  EXPECT_NEAR(v[0], 0.05, 1e-6);
  EXPECT_NEAR(v[1], 0.15, 1e-6);
  EXPECT_NEAR(v[4], 0.45, 1e-6);

  // A sample landing on Max is kept despite rounding; Origin == Min starts at Min.
  SetScale(&s, -1, 1, 0.1f, -1);
  v = Samples(s, true);
  EXPECT_EQ(v.size(), 21u);
  EXPECT_EQ(v[0], -1.0f);

  // Disabled sampling: one sample at the origin.
  SetScale(&s, -1, 1, 0.1f, 0.3f);
  EXPECT_EQ(Samples(s, false), std::vector<float>{0.3f});
}

TEST(HeightFieldScale, BadScalesAreInvalidAndDrawNothing) {
  TGLRecorder rec;
  TRenderContextInfo rci;
  TGLHeightField hf(nullptr);
  SetScale(hf.XSamplingScale(), -1, 1, 0.5f);
  SetScale(hf.YSamplingScale(), 2, 2, 0.5f);  // Min = Max
  hf.BuildList(rci);
  EXPECT_EQ(rec.Count("glBegin"), 0);
  SetScale(hf.YSamplingScale(), -1, 1, 0);  // a zero step would never reach Max
  EXPECT_FALSE(hf.YSamplingScale()->IsValid());
  hf.BuildList(rci);
  SetScale(hf.YSamplingScale(), -1, 1, -0.5f);
  hf.BuildList(rci);
  EXPECT_EQ(rec.Count("glBegin"), 0);
}

TEST(HeightField, TooManySamplesAreRefusedOnceAndFailingCallbacksLeaveNoAttributesPushed) {
  TGLRecorder rec;
  TRenderContextInfo rci;
  TGLHeightField hf(nullptr);
  SetScale(hf.XSamplingScale(), 0, 1024, 1.0f / 1024);  // 2^20 + 1 samples per axis
  SetScale(hf.YSamplingScale(), 0, 1024, 1.0f / 1024);
  hf.OnGetHeight = [](float, float, float&, TVector4f&, TTexPoint&) { throw std::runtime_error("sampled"); };
  ASSERT_THROW(hf.BuildList(rci), EInvalidOperation);
  EXPECT_EQ(rec.Count("glPushAttrib"), 0);
  hf.BuildList(rci);  // reported once, then nothing is drawn
  EXPECT_EQ(rec.Count("glBegin"), 0);
  SetScale(hf.XSamplingScale(), 0, 1, 0.5f);  // a new scale is sampled again
  SetScale(hf.YSamplingScale(), 0, 1, 0.5f);
  EXPECT_THROW(hf.BuildList(rci), std::runtime_error);
  EXPECT_EQ(rec.Count("glPushAttrib"), 1);  // two-sided
  EXPECT_EQ(rec.Count("glPopAttrib"), 1);   // also when the callback fails
  hf.OnGetHeight = nullptr;
  hf.BuildList(rci);
  EXPECT_EQ(rec.Count("glBegin"), 2);

  TGLXYZGrid grid(nullptr);
  SetScale(grid.XSamplingScale(), 0, 1, 1.0f / 8192);  // 8193 lines of 8193 points each way
  SetScale(grid.YSamplingScale(), 0, 1, 1.0f / 8192);
  EXPECT_THROW(grid.BuildList(rci), EInvalidOperation);
  grid.BuildList(rci);
  grid.SetLinesStyle(glsLine);  // the same lines with 2 points each
  rec.Clear();
  grid.BuildList(rci);
  EXPECT_EQ(rec.Count("glVertex3fv"), 4 * 8193);
}

// A stored scene can hold any float in a scale: a value that is not a finite number is refused
// once with the axis named, then nothing is drawn until the scale changes.
TEST(HeightField, NonFiniteScalesAreRefusedOnce) {
  const float nan = std::nanf(""), inf = INFINITY;
  struct TCase {
    float mn, mx, step, origin;
  } cases[] = {
      {0, 1, 0.5f, nan}, {nan, 1, 0.5f, 0},  {0, nan, 0.5f, 0},     {0, 1, inf, 0},
      {0, inf, 0.5f, 0}, {-inf, 1, 0.5f, 0}, {0, FLT_MAX, 1e38f, 0}};  // the last: Max grown by 1e-6 step overflows
  for (const TCase& c : cases) {
    for (bool onY : {false, true}) {
      TGLRecorder rec;
      TRenderContextInfo rci;
      TGLHeightField hf(nullptr);
      SetScale(hf.XSamplingScale(), 0, 1, 0.5f);
      SetScale(hf.YSamplingScale(), 0, 1, 0.5f);
      SetScale(onY ? hf.YSamplingScale() : hf.XSamplingScale(), c.mn, c.mx, c.step, c.origin);
      try {
        hf.BuildList(rci);
        ADD_FAILURE() << "not refused: " << c.mn << " " << c.mx << " " << c.step << " " << c.origin;
      } catch (const EInvalidOperation& e) {
        EXPECT_NE(e.Message().find(onY ? "Y sampling scale" : "X sampling scale"), std::string::npos) << e.Message();
      }
      hf.BuildList(rci);
      EXPECT_EQ(rec.Count("glBegin"), 0);
      EXPECT_EQ(rec.Count("glPushAttrib"), 0);
    }
  }

  // The grid samples a disabled axis at its Origin: that one must be a number too.
  TGLRecorder rec;
  TRenderContextInfo rci;
  TGLXYZGrid grid(nullptr);
  SetScale(grid.XSamplingScale(), 0, 1, 0.5f);
  SetScale(grid.YSamplingScale(), 0, 1, 0.5f);
  grid.ZSamplingScale()->SetOrigin(nan);
  EXPECT_THROW(grid.BuildList(rci), EInvalidOperation);
  grid.BuildList(rci);
  EXPECT_EQ(rec.Count("glBegin"), 0);
  grid.ZSamplingScale()->SetOrigin(0);
  grid.BuildList(rci);
  EXPECT_EQ(rec.Count("glBegin"), 6);  // 3 lines along X, 3 along Y
}

// A part whose own axis has no samples draws no segments: its empty strips, one per sample
// pair of the other axes, are neither drawn nor counted against the sample limit, so they
// cannot run unbounded either.
TEST(XYZGrid, PartWithoutSamplesDrawsNoEmptyStrips) {
  TGLRecorder rec;
  TRenderContextInfo rci;
  TGLXYZGrid grid(nullptr);
  grid.SetParts(TXYZGridParts{gpX, gpY, gpZ});
  SetScale(grid.XSamplingScale(), 1, 0, 0.1f);  // Max below Min: no samples along X
  SetScale(grid.YSamplingScale(), 0, 1, 1.0f / 256);
  SetScale(grid.ZSamplingScale(), 0, 1, 1.0f / 256);
  grid.BuildList(rci);
  EXPECT_EQ(rec.Count("glBegin"), 0);
  grid.SetLinesStyle(glsLine);  // whole lines from Min to Max are still drawn along X
  grid.BuildList(rci);
  EXPECT_EQ(rec.Count("glBegin"), 257 * 257);
}

// A field of one row (or one column) has no strip to draw: it is not sampled at all, so that a
// long single row does not fill memory with samples that are never drawn.
TEST(HeightField, SingleRowOrColumnIsNotSampled) {
  TGLRecorder rec;
  TRenderContextInfo rci;
  TGLHeightField hf(nullptr);
  int sampled = 0;
  hf.OnGetHeight = [&sampled](float, float, float&, TVector4f&, TTexPoint&) { ++sampled; };
  SetScale(hf.XSamplingScale(), 0, 1000, 1);
  SetScale(hf.YSamplingScale(), 0, 0.5f, 1);  // one row
  hf.BuildList(rci);
  SetScale(hf.XSamplingScale(), 0, 0.5f, 1);  // one column
  SetScale(hf.YSamplingScale(), 0, 1000, 1);
  hf.BuildList(rci);
  EXPECT_EQ(sampled, 0);
  EXPECT_EQ(rec.Count("glBegin"), 0);
  SetScale(hf.XSamplingScale(), 0, 1, 1);  // two by two: one strip
  SetScale(hf.YSamplingScale(), 0, 1, 1);
  hf.BuildList(rci);
  EXPECT_EQ(sampled, 4);
  EXPECT_EQ(rec.Count("glBegin"), 1);
}

TEST(HeightField, StripsBetweenRowsWithNormalsAndDefaultRipple) {
  TGLRecorder rec;
  TRenderContextInfo rci;
  TGLHeightField hf(nullptr);
  SetScale(hf.XSamplingScale(), -1, 1, 1);  // 3 samples per row
  SetScale(hf.YSamplingScale(), -1, 2, 1);  // 4 rows
  hf.BuildList(rci);
  EXPECT_EQ(rec.Count("glBegin"), 3);
  auto v = Vertices(rec);
  ASSERT_EQ(v.size(), 3u * 6u);
  // The first strip alternates the newer row (y = 0) and the older one (y = -1).
  EXPECT_EQ(v[0][1], 0.0);
  EXPECT_EQ(v[1][1], -1.0);
  EXPECT_EQ(v[2][0], 0.0);
  EXPECT_NEAR(v[2][2], 0.5, 1e-6);  // the ripple's peak at the origin
  EXPECT_EQ(rec.Count("glColor4fv"), 0);
  EXPECT_EQ(rec.Count("glTexCoord2f"), 0);

  // A flat callback surface has every normal straight up, with colours and texture points.
  rec.Clear();
  hf.OnGetHeight = [](float x, float, float& z, TVector4f& color, TTexPoint& tex) {
    z = 2;
    color = TVector4f{x, 0, 0, 1};
    tex.S = 7;
  };
  hf.SetColorMode(hfcmDiffuse);
  hf.SetOptions(THeightFieldOptions{hfoTextureCoordinates});
  SetMapTexCoordModeMain();
  hf.BuildList(rci);
  SetMapTexCoordModeNull();
  for (const auto& c : rec.CallsTo("glNormal3fv")) {
    EXPECT_EQ(c.Data[0], 0.0);
    EXPECT_EQ(c.Data[1], 0.0);
    EXPECT_EQ(c.Data[2], 1.0);
  }
  EXPECT_EQ(rec.Count("glColor4fv"), 18);
  EXPECT_EQ(rec.Count("glDisable"), 0);  // not two-sided: culling left alone
  ASSERT_EQ(rec.CallsTo("glColorMaterial").size(), 1u);
  EXPECT_EQ(rec.CallsTo("glColorMaterial")[0].Args[1], GL_DIFFUSE);
  auto tex = rec.CallsTo("glTexCoord2f");
  ASSERT_EQ(tex.size(), 18u);
  EXPECT_EQ(tex[0].Args[0], 7.0);
  EXPECT_EQ(tex[0].Args[1], 0.0);  // T kept at the sample's y
}

TEST(HeightField, SlopeNormalsLeanAgainstTheRise) {
  TGLRecorder rec;
  TRenderContextInfo rci;
  TGLHeightField hf(nullptr);
  SetScale(hf.XSamplingScale(), 0, 2, 1);
  SetScale(hf.YSamplingScale(), 0, 1, 1);
  hf.OnGetHeight = [](float x, float, float& z, TVector4f&, TTexPoint&) { z = x; };
  hf.BuildList(rci);
  auto n = rec.CallsTo("glNormal3fv");
  ASSERT_EQ(n.size(), 6u);
  // The middle sample: dz/dx = 1 over both neighbours, so (-2, 0, 1) normalised.
  EXPECT_NEAR(n[2].Data[0], -2 / std::sqrt(5.0), 1e-6);
  EXPECT_NEAR(n[2].Data[2], 1 / std::sqrt(5.0), 1e-6);
}

TEST(XYZGrid, PartsAndLineStyles) {
  TGLRecorder rec;
  TRenderContextInfo rci;
  TGLXYZGrid grid(nullptr);
  SetScale(grid.XSamplingScale(), 0, 1, 0.5f);
  SetScale(grid.YSamplingScale(), 0, 2, 1, 0.5f);
  SetScale(grid.ZSamplingScale(), 0, 3, 1, 0.25f);
  grid.SetParts(TXYZGridParts{gpX});
  grid.BuildList(rci);
  // One line along X at (Y.Origin, Z.Origin) through the three X samples.
  ASSERT_EQ(rec.Count("glBegin"), 1);
  auto v = rec.CallsTo("glVertex3fv");
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[1].Data, (std::vector<double>{0.5, 0.5, 0.25}));

  rec.Clear();
  grid.SetLinesStyle(glsLine);
  grid.SetParts(TXYZGridParts{gpX, gpY});
  grid.BuildList(rci);
  // Y sampled at 0.5 and 1.5; lines along X per y, along Y per x (0, 0.5, 1), all at z 0.25.
  EXPECT_EQ(rec.Count("glBegin"), 2 + 3);
  v = rec.CallsTo("glVertex3fv");
  ASSERT_EQ(v.size(), 10u);
  EXPECT_EQ(v[0].Data, (std::vector<double>{0, 0.5, 0.25}));
  EXPECT_EQ(v[1].Data, (std::vector<double>{1, 0.5, 0.25}));
  EXPECT_EQ(v[5].Data, (std::vector<double>{0, 2, 0.25}));  // along Y, from Y.Min to Y.Max
}

// A stored plot is checked once its scales are read whole: over kMaxStoredVertices it is refused
// with its name and figure, before any sample is taken; a scale read with a wide range before a
// coarse step is not refused for the samples it would have had in between.
TEST(HeightField, StoredSampleGridsAreBoundedWhenRead) {
  RegisterGLGraphClasses();
  TGLRecorder rec;
  TGLHeightField field(nullptr);
  field.SetName("Field");
  SetScale(field.XSamplingScale(), -50, 50, 0.05f);
  SetScale(field.YSamplingScale(), -50, 50, 0.05f);
  const double vertices = field.VertexCount();
  ASSERT_GT(vertices, double(kMaxStoredVertices));
  try {
    ReadStoredCopy(&field);
    ADD_FAILURE() << "read";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), Format("TGLHeightField 'Field': %.0f vertices, at most %d per stored object", vertices,
                                  kMaxStoredVertices));
  }
  SetScale(field.YSamplingScale(), -50, 50, 0.25f);
  EXPECT_LE(field.VertexCount(), double(kMaxStoredVertices));
  EXPECT_NO_THROW(ReadStoredCopy(&field));
  SetScale(field.XSamplingScale(), -1e6f, 1e6f, 1e5f);
  EXPECT_NO_THROW(ReadStoredCopy(&field));

  TGLXYZGrid grid(nullptr);
  grid.SetName("Grid");
  grid.SetParts(TXYZGridParts{gpX, gpY, gpZ});
  for (TGLSamplingScale* s : {grid.XSamplingScale(), grid.YSamplingScale(), grid.ZSamplingScale()})
    SetScale(s, -5, 5, 0.05f);
  ASSERT_GT(grid.VertexCount(), double(kMaxStoredVertices));
  EXPECT_THROW(ReadStoredCopy(&grid), EReadError);
  grid.SetLinesStyle(glsLine);  // two vertices a line
  EXPECT_LE(grid.VertexCount(), double(kMaxStoredVertices));
  EXPECT_NO_THROW(ReadStoredCopy(&grid));
  EXPECT_TRUE(rec.Calls.empty());
}

// The figure is what the strips draw.
TEST(HeightField, VertexCountIsWhatTheStripsDraw) {
  TGLRecorder rec;
  TGLHeightField field(nullptr);
  SetScale(field.XSamplingScale(), 0, 1, 0.25f);
  SetScale(field.YSamplingScale(), 0, 0.5f, 0.25f);
  TRenderContextInfo rci;
  field.BuildList(rci);
  EXPECT_EQ(double(rec.Count("glVertex4f")), field.VertexCount());
  TGLXYZGrid grid(nullptr);
  SetScale(grid.XSamplingScale(), 0, 1, 0.25f);
  SetScale(grid.YSamplingScale(), 0, 0.5f, 0.25f);
  rec.Clear();
  grid.BuildList(rci);
  EXPECT_EQ(double(rec.Count("glVertex3fv")), grid.VertexCount());
}

namespace {

bool Loading(const TComponent& c) {
  return c.ComponentState().Contains(csLoading) || c.ComponentState().Contains(csReading);
}

}  // namespace

// A stored field of 2,048 x 2,048 samples is refused once read whole, in its Loaded(), after the
// components before it were loaded: what the reader made is freed, and what the caller's root
// held (its position, its own child read into by name) is as it was, out of the loading state.
TEST(HeightField, ARefusedFieldLeavesNothingHalfLoaded) {
  RegisterGLCoordinatesClasses();
  RegisterGLNodesClasses();
  RegisterGLGraphClasses();
  RegisterGLObjectsClasses();
  TGLDummyCube source(nullptr);
  source.SetName("Root");
  source.Position()->SetXYZAsPoint(4, 5, 6);
  auto* a = source.AddNewChild<TGLHeightField>();
  a->SetName("A");
  SetScale(a->XSamplingScale(), 0, 2047, 1);
  SetScale(a->YSamplingScale(), 0, 2047, 1);
  ASSERT_GT(a->VertexCount(), double(kMaxStoredVertices));
  auto* b = source.AddNewChild<TGLLines>();
  b->SetName("B");
  for (int i = 0; i < 5; ++i) b->AddNode(float(i), 0, 0);
  TMemoryStream stream;
  TWriter(&stream).WriteRootComponent(&source);

  TGLDummyCube into(nullptr);
  into.Position()->SetXYZAsPoint(1, 2, 3);
  auto* kept = new TGLLines(&into);
  kept->SetName("B");
  into.AddChild(kept);
  kept->AddNode(7, 7, 7);
  stream.SetPosition(0);
  try {
    TReader(&stream).ReadRootComponent(&into);
    ADD_FAILURE() << "read";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), Format("TGLHeightField 'A': %.0f vertices, at most %d per stored object", a->VertexCount(),
                                  kMaxStoredVertices));
  }
  EXPECT_EQ(into.Name(), "");
  EXPECT_FALSE(Loading(into));
  EXPECT_EQ(into.Position()->X(), 1);
  EXPECT_EQ(into.ComponentCount(), 1);
  ASSERT_EQ(into.GetChildCount(), 1);
  EXPECT_EQ(into.GetChild(0), kept);
  EXPECT_FALSE(Loading(*kept));
  ASSERT_EQ(kept->Nodes()->Count(), 1);
  EXPECT_EQ(kept->Nodes()->Items(0)->X(), 7);

  // A field read into keeps its own samples.
  TGLHeightField field(nullptr);
  SetScale(field.XSamplingScale(), 0, 1, 0.5f);
  stream.Clear();
  TWriter(&stream).WriteRootComponent(a);
  stream.SetPosition(0);
  EXPECT_THROW(TReader(&stream).ReadRootComponent(&field), EReadError);
  EXPECT_EQ(field.XSamplingScale()->Max(), 1);
  EXPECT_EQ(field.XSamplingScale()->Step(), 0.5f);
  EXPECT_EQ(field.YSamplingScale()->Max(), 0);
  EXPECT_FALSE(Loading(field));
}

// The objects that check their counts together in Loaded() do it after the base Loaded(), so a
// refusal still ends their loading.
TEST(HeightField, ObjectsRefusedInLoadedEndTheirLoading) {
  TGLHeightField field(nullptr);
  SetScale(field.XSamplingScale(), 0, 2047, 1);
  SetScale(field.YSamplingScale(), 0, 2047, 1);
  TGLXYZGrid grid(nullptr);
  for (TGLSamplingScale* s : {grid.XSamplingScale(), grid.YSamplingScale(), grid.ZSamplingScale()})
    SetScale(s, 0, 200, 1);
  grid.SetParts(TXYZGridParts{gpX, gpY, gpZ});
  TGLLines lines(nullptr);
  lines.SetDivision(kMaxStoredSubdivisions);
  TGLPolygon polygon(nullptr);
  polygon.SetDivision(kMaxStoredSubdivisions);
  for (int i = 0; i < 4000; ++i) {
    lines.AddNode(float(i), 0, 0);
    polygon.Nodes()->AddNode(float(i), 0, 0);
  }
  for (TGLBaseSceneObject* obj : std::initializer_list<TGLBaseSceneObject*>{&field, &grid, &lines, &polygon}) {
    obj->IncludeState(csLoading);
    EXPECT_THROW(obj->Loaded(), EReadError) << obj->ClassName();
    EXPECT_FALSE(obj->ComponentState().Contains(csLoading)) << obj->ClassName();
  }
}
