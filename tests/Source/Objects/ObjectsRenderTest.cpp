// Tests of drawing groups: invisible groups with their children, amalgamation into one list, and
// cubes of one look drawn in batches.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "Source/Base/XOpenGL.h"
#include "Source/Scene/GLContext.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLTexture.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLState.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/BookkeepingContext.h"
#include "tests/Source/CurrentNullContext.h"

namespace {

class TCountingCube : public TGLCube {
 public:
  using TGLCube::TGLCube;
  int Builds = 0;
  void BuildList(TRenderContextInfo& rci) override {
    ++Builds;
    TGLCube::BuildList(rci);
  }
};

struct TSceneFixture {
  TGLRecorder rec;
  TGLStateCache cache;
  TRenderContextInfo rci;
  TGLSceneGraph scene{nullptr};
  TGLDummyCube* group;
  TCountingCube* child;
  TSceneFixture() {
    rci.GLStates = &cache;
    rci.scene = &scene;
    rci.objectsSorting = osNone;
    group = scene.Objects()->AddNewChild<TGLDummyCube>();
    child = new TCountingCube(nullptr);
    group->AddChild(child);
  }
};

}  // namespace

TEST(ObjectsRender, InvisibleGroupDrawsChildrenUnlessHidden) {
  TSceneFixture f;
  f.group->DoRender(f.rci, true, true);
  EXPECT_EQ(f.child->Builds, 1);
  EXPECT_EQ(f.rec.Count("glLineStipple"), 0);  // the group's own edges stay hidden
  int asked = 0;
  f.group->OnVisibilityDetermination = [&](TObject* sender, TRenderContextInfo&) {
    EXPECT_EQ(sender, f.group);
    ++asked;
    return false;
  };
  f.group->DoRender(f.rci, true, true);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(f.child->Builds, 1);
}

TEST(ObjectsRender, AmalgamationCompilesTheSubtreeOnce) {
  TSceneFixture f;
  TBookkeepingContext context;
  context.CreateOffScreen(nullptr, 1, 1);
  context.ActivateNested();
  f.rec.Results["glGenLists"] = [](const TGLCall&) { return std::uintptr_t(7); };
  f.group->SetAmalgamate(true);
  for (int frame = 0; frame < 3; ++frame) f.group->DoRender(f.rci, true, true);
  EXPECT_EQ(f.child->Builds, 1);
  EXPECT_EQ(f.rec.Count("glNewList"), 1);
  EXPECT_EQ(f.rec.Count("glCallList"), 3);
  EXPECT_FALSE(f.rci.amalgamating);
  // A picking pass before the list exists draws directly and compiles nothing.
  f.group->MarkStructureChanged();
  f.rci.drawState = dsPicking;
  f.group->DoRender(f.rci, true, true);
  EXPECT_EQ(f.child->Builds, 2);
  EXPECT_EQ(f.rec.Count("glNewList"), 1);
  // The next normal frame compiles again.
  f.rci.drawState = dsRendering;
  f.group->DoRender(f.rci, true, true);
  EXPECT_EQ(f.child->Builds, 3);
  EXPECT_EQ(f.rec.Count("glNewList"), 2);
  f.group->SetAmalgamate(false);
  EXPECT_EQ(f.group->AmalgamationList(), nullptr);
  context.DeactivateNested();
}

TEST(ObjectsRender, AmalgamationWithoutAListNameIsAnAssertion) {
  TSceneFixture f;
  TBookkeepingContext context;
  context.CreateOffScreen(nullptr, 1, 1);
  context.ActivateNested();
  f.group->SetAmalgamate(true);
  try {
    f.group->DoRender(f.rci, true, true);
    FAIL() << "no list name accepted";
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(std::string(e.what()).find("Handle=0 for TGLDummyCube"), std::string::npos);
  }
  context.DeactivateNested();
}

namespace {

// The triangles' corners a recorded stream of calls puts on screen, worked out on this side: the
// model-view stack (column-major, as GL reads it) carries each corner and its normal; quads are
// taken as two triangles each (0 1 2, 0 2 3). Arrays drawn are recorded as the corners they held
// (see TBatchFixture).
struct TDrawnVertex {
  float pos[3], normal[3], st[2];
};

std::vector<TDrawnVertex> DrawnVertices(const std::vector<TGLCall>& calls) {
  using TMat = std::array<double, 16>;
  std::vector<TMat> stack{TMat{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
  double normal[3] = {0, 0, 1};
  float st[2] = {0, 0};
  GLenum mode = GL_TRIANGLES;
  std::vector<TDrawnVertex> out, quad;
  auto carry = [&](const double* v, double w, float* to) {
    const TMat& m = stack.back();
    for (int r = 0; r < 3; ++r) to[r] = float(m[r] * v[0] + m[4 + r] * v[1] + m[8 + r] * v[2] + m[12 + r] * w);
  };
  for (const TGLCall& c : calls) {
    if (c.Name == "glPushMatrix") {
      stack.push_back(stack.back());
    } else if (c.Name == "glPopMatrix") {
      stack.pop_back();
    } else if (c.Name == "glMultMatrixf") {
      const TMat a = stack.back();
      TMat r{};
      for (int col = 0; col < 4; ++col)
        for (int row = 0; row < 4; ++row)
          for (int k = 0; k < 4; ++k) r[col * 4 + row] += a[k * 4 + row] * c.Data[size_t(col * 4 + k)];
      stack.back() = r;
    } else if (c.Name == "glBegin") {
      mode = GLenum(c.Args[0]);
      quad.clear();
    } else if (c.Name == "glEnd") {
      mode = GL_TRIANGLES;
    } else if (c.Name == "glNormal3f") {
      for (int i = 0; i < 3; ++i) normal[i] = c.Args[size_t(i)];
    } else if (c.Name == "glTexCoord2f") {
      for (int i = 0; i < 2; ++i) st[i] = float(c.Args[size_t(i)]);
    } else if (c.Name == "glVertex3f") {
      TDrawnVertex v;
      carry(c.Args.data(), 1, v.pos);
      carry(normal, 0, v.normal);
      std::copy(st, st + 2, v.st);
      if (mode != GL_QUADS) {
        out.push_back(v);
        continue;
      }
      quad.push_back(v);
      if (quad.size() < 4) continue;
      for (int k : {0, 1, 2, 0, 2, 3}) out.push_back(quad[size_t(k)]);
      quad.clear();
    }
  }
  return out;
}

struct TBatchFixture : TSceneFixture {
  TCurrentNullContext context;
  std::shared_ptr<TGLTexture> face = std::make_shared<TGLTexture>(nullptr);
  std::vector<TGLCube*> cubes;
  TBatchFixture() {
    child->SetVisible(false);
    const float where[4][3] = {{1, 0, 0}, {0, 2, 0}, {0, 0, 3}, {-4, 1, 2}};
    for (int i = 0; i < 4; ++i) {
      auto* c = group->AddNewChild<TGLCube>();
      c->Position()->SetXYZAsPoint(where[i][0], where[i][1], where[i][2]);
      c->SetCubeWidth(1.0f + float(i));
      c->Material()->SetBlendingMode(bmTransparency);
      c->Material()->Texture()->SetDisabled(false);
      c->Material()->Texture()->SetPictureSource(face);
      c->SetDrawnInBatches(true);
      cubes.push_back(c);
    }
    cubes[1]->Pitch(-90);
    cubes[2]->Turn(30);
    cubes[3]->Roll(45);
  }
  // Arrays drawn are recorded as the calls that would draw the same corners one by one.
  void RecordArrays() {
    auto pointer = [](const TGLCall& c, size_t arg) {
      return reinterpret_cast<const void*>(std::uintptr_t(c.Args.at(arg)));
    };
    rec.OnCall = [this, pointer](const TGLCall& c) {
      if (c.Name == "glVertexPointer") vertices = static_cast<const float*>(pointer(c, 3));
      if (c.Name == "glNormalPointer") normals = static_cast<const float*>(pointer(c, 2));
      if (c.Name == "glTexCoordPointer") texCoords = static_cast<const float*>(pointer(c, 3));
      if (c.Name != "glDrawElements") return;
      ASSERT_EQ(GLenum(c.Args[0]), GLenum(GL_TRIANGLES));
      ASSERT_EQ(GLenum(c.Args[2]), GLenum(GL_UNSIGNED_INT));
      const auto* index = static_cast<const uint32_t*>(pointer(c, 3));
      for (int i = 0; i < int(c.Args[1]); ++i) {
        const size_t k = index[i];
        rec.Calls.push_back({"glNormal3f", {normals[3 * k], normals[3 * k + 1], normals[3 * k + 2]}, {}});
        rec.Calls.push_back({"glTexCoord2f", {texCoords[2 * k], texCoords[2 * k + 1]}, {}});
        rec.Calls.push_back({"glVertex3f", {vertices[3 * k], vertices[3 * k + 1], vertices[3 * k + 2]}, {}});
      }
    };
  }
  std::vector<TGLCall> Frame() {
    rec.Clear();
    RecordArrays();
    group->DoRender(rci, false, true);
    return rec.Calls;
  }
  const float *vertices = nullptr, *normals = nullptr, *texCoords = nullptr;
};

void ExpectSameVertices(const std::vector<TDrawnVertex>& a, const std::vector<TDrawnVertex>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i)
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(a[i].pos[k], b[i].pos[k], 1e-5) << "vertex " << i;
      EXPECT_NEAR(a[i].normal[k], b[i].normal[k], 1e-5) << "vertex " << i;
      if (k < 2) {
        EXPECT_EQ(a[i].st[k], b[i].st[k]) << "vertex " << i;
      }
    }
}

}  // namespace

TEST(ObjectsRender, CubesOfOneLookAreDrawnAsOneBatchWithTheSameVertices) {
  TBatchFixture f;
  for (TGLCube* c : f.cubes) c->SetDrawnInBatches(false);
  const std::vector<TGLCall> single = f.Frame();
  EXPECT_EQ(f.rec.Count("glMultMatrixf"), 4);
  for (TGLCube* c : f.cubes) c->SetDrawnInBatches(true);
  const std::vector<TGLCall> batched = f.Frame();
  ExpectSameVertices(DrawnVertices(batched), DrawnVertices(single));
  EXPECT_EQ(f.rec.Count("glMultMatrixf"), 0);
  EXPECT_EQ(f.rec.Count("glPushMatrix"), 0);
  EXPECT_EQ(f.rec.Count("glBegin"), 0);
  EXPECT_EQ(f.rec.Count("glDrawElements"), 1);  // one draw call for all
  EXPECT_EQ(f.rec.Count("glBlendFunc"), 1);     // one material application for all
  EXPECT_EQ(f.rec.Count("glDisable"), 1);       // and one un-application
  EXPECT_TRUE(f.face->IsHandleAllocated());
}

TEST(ObjectsRender, BatchesBreakAtAnotherLookAScaleAndInPicking) {
  TBatchFixture f;
  f.Frame();
  auto batchesAndSingles = [&] { return std::make_pair(f.rec.Count("glBlendFunc"), f.rec.Count("glMultMatrixf")); };
  const std::vector<TGLCall> all = f.Frame();
  EXPECT_EQ(batchesAndSingles(), std::make_pair(1, 0));

  // A different colour in the middle: a batch, a single cube, and a single one after.
  f.cubes[2]->Material()->FrontProperties()->Diffuse()->SetAlpha(0.5f);
  ExpectSameVertices(DrawnVertices(f.Frame()), DrawnVertices(all));
  EXPECT_EQ(batchesAndSingles(), std::make_pair(3, 2));
  f.cubes[2]->Material()->FrontProperties()->Diffuse()->SetAlpha(1);

  // A scaled cube is drawn under its own matrix (its normals would need more than its rows).
  f.cubes[0]->Scale()->SetX(2);
  f.Frame();
  EXPECT_EQ(batchesAndSingles(), std::make_pair(2, 1));
  f.cubes[0]->Scale()->SetX(1);

  // Picking names each object: no batches.
  f.rci.drawState = dsPicking;
  f.rci.ignoreMaterials = true;
  f.Frame();
  EXPECT_EQ(f.rec.Count("glMultMatrixf"), 4);
  EXPECT_EQ(f.rec.Count("glLoadName"), 4);
  f.rci.drawState = dsRendering;
  f.rci.ignoreMaterials = false;
}
