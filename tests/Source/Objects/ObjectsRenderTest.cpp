// Tests of drawing groups: invisible groups with their children, and amalgamation into one list.
#include <gtest/gtest.h>

#include "Source/Base/XOpenGL.h"
#include "Source/Scene/GLContext.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLState.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/BookkeepingContext.h"

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
  EXPECT_EQ(f.group->AmalgamationList()->Handle(), 0u);
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
