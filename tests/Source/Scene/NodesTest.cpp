// Tests of node lists: change notification, splines, outline tessellation and its errors, and the
// stored components.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/XOpenGL.h"
#include "Source/Scene/GLMisc.h"
#include "Source/Scene/GLNodes.h"
#include "Source/Base/VectorGeometry.h"
#include "rtl/Streaming.h"
#include "tests/rtl/GermanLocale.h"

namespace {

class TNodesOwner : public TGLUpdateAbleComponent {
  RTL_CLASS(TNodesOwner, TGLUpdateAbleComponent)
 public:
  using TGLUpdateAbleComponent::TGLUpdateAbleComponent;
  void NotifyChange(TObject*) override { ++changes; }
  int changes = 0;
};

// GL calls of the outline, recorded through the entry-point table.
struct TOutlineLog {
  std::vector<GLenum> begins;
  int ends = 0;
  std::vector<const float*> vertexPointers;
  std::vector<TAffineVector> vertices;
  std::vector<TAffineVector> texCoords;
  std::vector<TAffineVector> normals;
};
TOutlineLog* gLog = nullptr;

class OutlineRecording {
 public:
  OutlineRecording() {
    gLog = &log;
    GL.glBegin = [](GLenum mode) { gLog->begins.push_back(mode); };
    GL.glEnd = []() { ++gLog->ends; };
    GL.glVertex3fv = [](const GLfloat* v) {
      gLog->vertexPointers.push_back(v);
      gLog->vertices.push_back({v[0], v[1], v[2]});
    };
    GL.glNormal3fv = [](const GLfloat* v) { gLog->normals.push_back({v[0], v[1], v[2]}); };
    savedTexCoord = MappedTexCoord3fv;
    MappedTexCoord3fv = [](const GLfloat* v) { gLog->texCoords.push_back({v[0], v[1], v[2]}); };
  }
  ~OutlineRecording() {
    GL = TGLEntryPoints{};
    MappedTexCoord3fv = savedTexCoord;
    gLog = nullptr;
  }
  TOutlineLog log;

 private:
  void (*savedTexCoord)(const GLfloat*) = nullptr;
};

int VerticesDrawn(const TOutlineLog& log) { return int(log.vertices.size()); }

}  // namespace

TEST(Nodes, ChangesNotifyTheOwnerOutsideUpdates) {
  TNodesOwner owner(nullptr);
  TGLNodes nodes(&owner);
  nodes.AddNode(1, 2, 3);
  const int afterAdd = owner.changes;
  EXPECT_GE(afterAdd, 1);
  nodes.Items(0)->SetX(5);
  EXPECT_EQ(owner.changes, afterAdd + 1);
  nodes.BeginUpdate();
  nodes.Items(0)->SetY(6);
  nodes.Items(0)->SetZ(7);
  EXPECT_EQ(owner.changes, afterAdd + 1);
  nodes.EndUpdate();
  EXPECT_GT(owner.changes, afterAdd + 1);
  EXPECT_EQ(nodes.Items(0)->ReadAffineVector()[2], 7);

  // An owner that is no update-able component hears nothing, and nothing breaks.
  TGLNodes orphan(nullptr);
  orphan.AddNode(1, 1, 1);
  orphan.Items(0)->SetX(2);
  EXPECT_EQ(orphan.Items(0)->X(), 2);
}

// The normal comes from the whole outline: one whose first three nodes lie on one side, repeat a
// node or turn inward (an L whose second node is its inward corner) still has the normal of its
// plane, turned the way the outline runs; one wholly in line (on paper: to within rounding), or
// not finite, has none.
TEST(Nodes, PlaneNormalSkipsNodesInLine) {
  const struct {
    const char* what;
    std::vector<std::pair<float, float>> outline;
    float z;  // expected normal's Z; 0: none
  } cases[] = {
      {"first three in line", {{-1, -1}, {0, -1}, {1, -1}, {1, 1}, {-1, 1}}, 1},
      {"node repeated", {{0, 0}, {0, 0}, {0, 2}, {-2, 0}}, 1},
      {"L from its inward corner", {{1, 0}, {0, 0}, {0, 1}, {-1, 1}, {-1, -1}, {1, -1}}, 1},
      {"first three in line on paper",
       {{-0.9f, -0.7f}, {-0.863265276f, -0.691836715f}, {0.9f, -0.3f}, {0.9f, 0.9f}, {-0.9f, 0.9f}},
       1},
      {"far from the origin", {{1e6f, 1e6f}, {1e6f + 2, 1e6f}, {1e6f, 1e6f + 2}}, 1},
      {"in line", {{0, 0}, {1, 2}, {2, 4}, {3, 6}}, 0},
      {"in line on paper", {{0.1f, 0.3f}, {0.7f, 2.1f}, {0.3f, 0.9f}, {1.1f, 3.3f}}, 0},
      {"not finite", {{0, 0}, {1, 0}, {NAN, 1}}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TGLNodes nodes(nullptr);
    for (auto [x, y] : c.outline) nodes.AddNode(x, y, 0);
    const TAffineVector n = nodes.PlaneNormal();
    EXPECT_EQ(n[0], 0);
    EXPECT_EQ(n[1], 0);
    EXPECT_FLOAT_EQ(n[2], c.z);
  }
}

TEST(Nodes, NormalSplineAssignAndText) {
  TGLNodes nodes(nullptr);
  nodes.AddNode(0, 0, 0);
  nodes.AddNode(2, 0, 0);
  const TAffineVector none = nodes.PlaneNormal();
  EXPECT_TRUE(none[0] == 0 && none[1] == 0 && none[2] == 0);
  nodes.AddNode(0, 3, 0);
  const TAffineVector n = nodes.PlaneNormal();
  EXPECT_FLOAT_EQ(n[2], 1);

  const auto spline = nodes.BuildCubicSpline();
  TAffineVector p;
  spline->EvaluateAffine(1, p);
  EXPECT_FLOAT_EQ(p[0], 2);
  spline->EvaluateAffine(2, p);
  EXPECT_FLOAT_EQ(p[1], 3);
  EXPECT_EQ(spline->EvaluateW(1), 0);

  TGLNodes copy(nullptr);
  copy.Assign(&nodes);
  ASSERT_EQ(copy.Count(), 3);
  EXPECT_EQ(copy.Items(2)->Y(), 3);

  nodes.Items(0)->SetX(1);
  nodes.Items(0)->SetY(2.5f);
  nodes.Items(0)->SetZ(-3);
  EXPECT_EQ(nodes.Items(0)->DisplayText(), "1.0000; 2.5000; -3.0000");
  EXPECT_EQ(nodes.Items(0)->DisplayName(), nodes.Items(0)->DisplayText());

  // The same text under a locale with a decimal comma.
  char scratch[] = "/tmp/nodes-locale-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  GermanLocale german(scratch);
  if (!german.Active()) {
    std::filesystem::remove_all(scratch);
    GTEST_SKIP() << "no German locale available";
  }
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  EXPECT_STREQ(probe, "1,5");  // the locale really took effect
  EXPECT_EQ(nodes.Items(0)->DisplayText(), "1.0000; 2.5000; -3.0000");
  german.Restore();
  std::filesystem::remove_all(scratch);
}

TEST(Nodes, OutlineFeedsNodesOrSplineSamples) {
  TGLNodes square(nullptr);
  square.AddNode(0, 0, 0);
  square.AddNode(1, 0, 0);
  square.AddNode(1, 1, 0);
  square.AddNode(0, 1, 0);
  {
    OutlineRecording rec;
    const TAffineVector up{0, 0, 1};
    square.DrawTessellatedOutline(false, &up, 1, false);
    EXPECT_EQ(rec.log.begins.size(), size_t(rec.log.ends));
    ASSERT_FALSE(rec.log.begins.empty());
    EXPECT_EQ(VerticesDrawn(rec.log) % 3 == 0 || rec.log.begins[0] != GL_TRIANGLES, true);
    ASSERT_EQ(rec.log.normals.size(), 1u);
    EXPECT_EQ(rec.log.normals[0][2], 1);
    // Without a spline, the vertex data are the nodes themselves.
    for (const float* v : rec.log.vertexPointers) {
      bool isNode = false;
      for (int i = 0; i < square.Count(); ++i) isNode |= v == square.Items(i)->AsAddress();
      EXPECT_TRUE(isNode);
    }
    EXPECT_TRUE(rec.log.texCoords.empty());
  }
  {
    OutlineRecording rec;
    square.DrawTessellatedOutline(true, nullptr, 1, true);
    EXPECT_EQ(rec.log.texCoords.size(), rec.log.vertices.size());
    for (size_t i = 0; i < rec.log.vertices.size(); ++i) {
      EXPECT_EQ(rec.log.texCoords[i][0], rec.log.vertices[i][0]);
      EXPECT_EQ(rec.log.texCoords[i][1], rec.log.vertices[i][1]);
    }
    EXPECT_TRUE(rec.log.normals.empty());
  }
  {
    // Spline samples: the outline passes through points between the nodes.
    OutlineRecording rec;
    square.DrawTessellatedOutline(false, nullptr, 4, false);
    EXPECT_GE(VerticesDrawn(rec.log), 3);
    bool between = false;
    for (const auto& v : rec.log.vertices) between |= v[0] > 0.1f && v[0] < 0.9f && std::fabs(v[1]) < 0.2f;
    EXPECT_TRUE(between);
  }
  {
    OutlineRecording rec;
    TGLNodes two(nullptr);
    two.AddNode(0, 0, 0);
    two.AddNode(1, 0, 0);
    two.DrawTessellatedOutline(false, nullptr, 1, false);
    EXPECT_TRUE(rec.log.begins.empty());
  }
}

namespace {
// What the outline hands to the tessellator: each vertex's coordinates, its data pointer and
// what that pointer held when it was fed.
struct TFedVertex {
  TAffineVector coords;
  const float* data;
  TAffineVector atData;
};
std::vector<TFedVertex>* gFed = nullptr;
decltype(TGLEntryPoints::gluTessVertex) gRealTessVertex = nullptr;
}  // namespace

TEST(Nodes, OutlineFeedsEverySampleInOrder) {
  TGLNodes line(nullptr);
  for (const TAffineVector& p : {TAffineVector{0, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 3, 0}})
    line.AddNode(p[0], p[1], p[2]);
  const auto spline = line.BuildCubicSpline();
  for (bool inverted : {false, true}) {
    for (int divisions : {1, 3}) {
      OutlineRecording rec;
      std::vector<TFedVertex> fed;
      gFed = &fed;
      gRealTessVertex = GL.gluTessVertex;
      GL.gluTessVertex = [](GLUtesselator* tess, GLdouble* location, GLvoid* data) {
        const auto* d = static_cast<const float*>(data);
        gFed->push_back({{float(location[0]), float(location[1]), float(location[2])}, d, {d[0], d[1], d[2]}});
        gRealTessVertex(tess, location, data);
      };
      line.DrawTessellatedOutline(false, nullptr, divisions, inverted);
      gFed = nullptr;

      if (divisions == 1) {
        // The nodes themselves, their own storage as vertex data.
        ASSERT_EQ(fed.size(), 4u);
        for (int i = 0; i < 4; ++i) {
          const TGLNode* node = line.Items(inverted ? 3 - i : i);
          EXPECT_EQ(fed[size_t(i)].data, node->AsVector().V) << i;
          EXPECT_TRUE(AffineVectorEquals(fed[size_t(i)].coords, node->ReadAffineVector())) << i;
        }
      } else {
        // (Count - 1) * divisions + 1 samples at k / divisions, each with its own storage
        // holding the sample.
        const int samples = 3 * divisions + 1;
        ASSERT_EQ(int(fed.size()), samples);
        for (int i = 0; i < samples; ++i) {
          const int k = inverted ? samples - 1 - i : i;
          TAffineVector expected;
          spline->EvaluateAffine(float(k) / float(divisions), expected);
          for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(fed[size_t(i)].coords[c], expected[c], 1e-6f) << "sample " << k;
            EXPECT_EQ(fed[size_t(i)].atData[c], fed[size_t(i)].coords[c]) << "sample " << k;
          }
          for (int j = 0; j < i; ++j) EXPECT_NE(fed[size_t(i)].data, fed[size_t(j)].data);
        }
      }
    }
  }
}

TEST(Nodes, SelfIntersectingOutlineCombinesWithoutOverrun) {
  // A {7/3} heptagram: every edge crosses others, so GLU asks for many combined vertices.
  TGLNodes star(nullptr);
  for (int i = 0; i < 7; ++i) {
    const double a = 2 * M_PI * ((i * 3) % 7) / 7.0;
    star.AddNode(float(std::cos(a)), float(std::sin(a)), 0);
  }
  for (int divisions : {1, 3}) {
    OutlineRecording rec;
    const TAffineVector up{0, 0, 1};
    star.DrawTessellatedOutline(false, &up, divisions, false);
    ASSERT_GT(VerticesDrawn(rec.log), 7);
    for (const auto& v : rec.log.vertices) {
      EXPECT_TRUE(std::isfinite(v[0]) && std::isfinite(v[1]));
      EXPECT_LE(std::fabs(v[0]), 1.5f);
      EXPECT_LE(std::fabs(v[1]), 1.5f);
      EXPECT_EQ(v[2], 0);
    }
  }
}

TEST(Nodes, TessellationErrorIsRaisedAfterRelease) {
  TGLNodes bad(nullptr);
  bad.AddNode(0, 0, 0);
  bad.AddNode(INFINITY, 0, 0);  // beyond GLU's coordinate range
  bad.AddNode(0, 1, 0);
  OutlineRecording rec;
  try {
    bad.DrawTessellatedOutline(false, nullptr, 1, false);
    FAIL() << "no error";
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message().find(std::to_string(GLU_TESS_COORD_TOO_LARGE) + ": "), std::string::npos) << e.Message();
  }
}

TEST(Nodes, StoredComponentsAreTheNonZeroOnes) {
  RegisterGLNodesClasses();
  TNodesOwner owner(nullptr);
  TGLNodes nodes(&owner);
  nodes.AddNode(1.5f, 0, -2);
  TMemoryStream stream;
  {
    TWriter w(&stream);
    w.WriteCollection(&nodes);
  }
  // vaCollection, list begin, "X" 1.5, "Z" -2, list end, list end: no "Y".
  const auto* p = static_cast<const uint8_t*>(stream.Memory());
  const std::string bytes(reinterpret_cast<const char*>(p), size_t(stream.Size()));
  EXPECT_NE(bytes.find(std::string("\x01X\x05", 3)), std::string::npos);
  EXPECT_EQ(bytes.find(std::string("\x01Y", 2)), std::string::npos);
  EXPECT_NE(bytes.find(std::string("\x01Z\x05", 3)), std::string::npos);

  stream.SetPosition(0);
  TGLNodes copy(nullptr);
  copy.AddNode(9, 9, 9);
  {
    TReader r(&stream);
    r.ReadCollection(&copy);
  }
  ASSERT_EQ(copy.Count(), 1);
  EXPECT_TRUE(VectorEquals(copy.Items(0)->AsVector(), nodes.Items(0)->AsVector()));
}
