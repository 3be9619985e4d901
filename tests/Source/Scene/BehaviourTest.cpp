// Tests of behaviour and effect collections: storage, round trips and versions, refused kinds,
// and the progress and drawing order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Source/Scene/GLSceneGraph.h"
#include "rtl/Streaming.h"

namespace {

std::vector<std::string>* vLog = nullptr;

class TTestBehaviour : public TGLBehaviour {
  RTL_CLASS(TTestBehaviour, TGLBehaviour)
 public:
  static std::string FriendlyName() { return "Test behaviour"; }
  void DoProgress(const TProgressTimes&) override {
    if (vLog) vLog->push_back("behaviour");
  }
};

class TTestEffect : public TGLObjectPostEffect {
  RTL_CLASS(TTestEffect, TGLObjectPostEffect)
 public:
  static std::string FriendlyName() { return "Test effect"; }
  void Render(TGLSceneBuffer*, TRenderContextInfo&) override { ++renders; }
  void DoProgress(const TProgressTimes&) override {
    if (vLog) vLog->push_back("effect");
  }
  int renders = 0;
};

// The binary properties an object writes, by name.
std::vector<std::string> DefinedProperties(TGLBaseSceneObject* obj) {
  struct TNameFiler : TFiler {
    using TFiler::TFiler;
    std::vector<std::string> names;
    void DefineProperty(const std::string&, const TReaderProc&, const TWriterProc&, bool) override {}
    void DefineBinaryProperty(const std::string& Name, const TStreamProc&, const TStreamProc&, bool HasData) override {
      if (HasData) names.push_back(Name);
    }
  };
  TMemoryStream ms;
  TNameFiler filer(&ms);
  obj->DefineProperties(&filer);
  return filer.names;
}

struct BehaviourFixture : ::testing::Test {
  void SetUp() override {
    RegisterXCollectionItemClass<TTestBehaviour>();
    RegisterXCollectionItemClass<TTestEffect>();
  }
  TGLSceneGraph scene{nullptr};
};

}  // namespace

TEST_F(BehaviourFixture, CollectionsAreStoredOnlyWithItems) {
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  EXPECT_TRUE(DefinedProperties(o).empty());
  (void)o->Behaviours();
  (void)o->Effects();
  EXPECT_TRUE(DefinedProperties(o).empty());
  o->Behaviours()->Add<TTestBehaviour>();
  EXPECT_EQ(DefinedProperties(o), (std::vector<std::string>{"BehavioursData"}));
  o->Effects()->Add<TTestEffect>();
  EXPECT_EQ(DefinedProperties(o), (std::vector<std::string>{"BehavioursData", "EffectsData"}));
  EXPECT_EQ(o->Behaviours()->GetNamePath().substr(o->Behaviours()->GetNamePath().size() - 11), ".Behaviours");
}

TEST_F(BehaviourFixture, RoundTripAndVersionCheck) {
  auto* src = scene.Objects()->AddNewChild<TGLSceneObject>();
  src->Behaviours()->Add<TTestBehaviour>()->SetName("mover");
  src->Effects()->Add<TTestEffect>();
  TMemoryStream ms;
  {
    TWriter w(&ms);
    src->Behaviours()->WriteToFiler(&w);
    src->Effects()->WriteToFiler(&w);
  }
  ms.SetPosition(0);
  auto* dst = scene.Objects()->AddNewChild<TGLSceneObject>();
  {
    TReader r(&ms);
    dst->Behaviours()->ReadFromFiler(&r);
    dst->Effects()->ReadFromFiler(&r);
  }
  ASSERT_EQ(dst->Behaviours()->Count(), 1);
  EXPECT_EQ(dst->Behaviours()->Items(0)->ClassName(), "TTestBehaviour");
  EXPECT_EQ(dst->Behaviours()->Items(0)->Name(), "mover");
  ASSERT_EQ(dst->Effects()->Count(), 1);

  // An item version other than 0 is refused with an error, not read as if it fitted.
  TMemoryStream bad;
  {
    TWriter w(&bad);
    w.WriteInteger(1);                // count
    w.WriteString("TTestBehaviour");  // class
    w.WriteInteger(0);                // item base version
    w.WriteString("x");               // name
    w.WriteInteger(1);                // behaviour version
  }
  bad.SetPosition(0);
  auto* third = scene.Objects()->AddNewChild<TGLSceneObject>();
  TReader r(&bad);
  EXPECT_ANY_THROW(third->Behaviours()->ReadFromFiler(&r));
}

TEST_F(BehaviourFixture, WrongKindsAreRefused) {
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  EXPECT_FALSE(o->Behaviours()->CanAdd(TTestEffect::StaticClass()));
  EXPECT_TRUE(o->Behaviours()->CanAdd(TTestBehaviour::StaticClass()));
  EXPECT_FALSE(o->Effects()->CanAdd(TTestBehaviour::StaticClass()));
  EXPECT_THROW(o->Behaviours()->Add<TTestEffect>(), EAssertionFailed);
  EXPECT_THROW(o->Effects()->Add<TTestBehaviour>(), EAssertionFailed);
  EXPECT_EQ(o->Behaviours()->Count(), 0);
  // Collections need a scene object as owner.
  TComponent plain(nullptr);
  EXPECT_THROW(TGLBehaviours{&plain}, EAssertionFailed);
}

TEST_F(BehaviourFixture, ProgressAfterChildrenAndPostEffectsDrawn) {
  std::vector<std::string> log;
  vLog = &log;
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* child = o->AddNewChild<TGLSceneObject>();
  child->OnProgress = [&](TObject*, double, double) { log.push_back("child"); };
  o->Effects()->Add<TTestEffect>();
  o->Behaviours()->Add<TTestBehaviour>();
  o->OnProgress = [&](TObject*, double, double) { log.push_back("object"); };
  scene.Progress(0.1, 1);
  vLog = nullptr;
  EXPECT_EQ(log, (std::vector<std::string>{"child", "behaviour", "effect", "object"}));

  TRenderContextInfo rci{};
  auto* effect = static_cast<TTestEffect*>(o->Effects()->Items(0));
  o->Effects()->RenderPreEffects(nullptr, rci);
  EXPECT_EQ(effect->renders, 0);
  o->Effects()->RenderPostEffects(nullptr, rci);
  EXPECT_EQ(effect->renders, 1);
}

namespace {

// Logs its name in each step; frees the behaviour it is given to free (itself, or another).
class TNamedBehaviour : public TGLBehaviour {
  RTL_CLASS(TNamedBehaviour, TGLBehaviour)
 public:
  static std::string FriendlyName() { return "Named test behaviour"; }
  void DoProgress(const TProgressTimes&) override {
    if (vLog) vLog->push_back(name);
    if (TNamedBehaviour* victim = std::exchange(toFree, nullptr)) delete victim;
  }
  std::string name;
  TNamedBehaviour* toFree = nullptr;
};

}  // namespace

TEST_F(BehaviourFixture, ABehaviourThatFreesItselfOrAnotherSkipsNoOther) {
  RegisterXCollectionItemClass<TNamedBehaviour>();
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto add = [o](const char* name) {
    auto* b = o->Behaviours()->Add<TNamedBehaviour>();
    b->name = name;
    return b;
  };
  TNamedBehaviour* a = add("a");
  TNamedBehaviour* b = add("b");
  TNamedBehaviour* c = add("c");
  TNamedBehaviour* d = add("d");
  a->toFree = a;  // goes in its own step: b is not skipped
  b->toFree = c;  // frees a later one: c gets no step, d still does
  std::vector<std::string> log;
  vLog = &log;
  scene.Progress(0.1, 1);
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "d"}));
  log.clear();
  scene.Progress(0.1, 1.1);
  vLog = nullptr;
  EXPECT_EQ(log, (std::vector<std::string>{"b", "d"}));
  EXPECT_EQ(o->Behaviours()->Count(), 2);
  (void)d;
}
