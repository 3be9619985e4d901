// Tests of the scene graph: object frames and cached matrices, tree edits and look-up, change
// propagation, progress order, sorting, culling, picking passes and proxies.
#include <gtest/gtest.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Source/Scene/GLSceneGraph.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLObjects.h"
#include "rtl/Streaming.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/BookkeepingContext.h"
#include "tests/Source/MultiPassShader.h"

namespace {

void ExpectVec(const TVector4f& v, float x, float y, float z, float tol = 1e-5f) {
  EXPECT_NEAR(v[0], x, tol);
  EXPECT_NEAR(v[1], y, tol);
  EXPECT_NEAR(v[2], z, tol);
}

bool Finite(const TVector4f& v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]);
}

// A drawable that records when it is drawn.
class TSpyObject : public TGLImmaterialSceneObject {
  RTL_CLASS(TSpyObject, TGLImmaterialSceneObject)
 public:
  explicit TSpyObject(TComponent* AOwner) : TGLImmaterialSceneObject(AOwner) { objectStyle_ |= osDirectDraw; }
  void BuildList(TRenderContextInfo&) override {
    if (fail) throw EInvalidOperation("broken geometry");
    if (log) log->push_back(Name());
  }
  bool IsBlended() override { return blended; }
  TVector4f BarycentreAbsolutePosition() override {
    ++barycentres;
    return TGLImmaterialSceneObject::BarycentreAbsolutePosition();
  }
  std::vector<std::string>* log = nullptr;
  int barycentres = 0;
  bool blended = false;
  bool fail = false;
};

struct SceneFixture : ::testing::Test {
  TGLSceneGraph scene{nullptr};
  TGLSceneBuffer buffer{nullptr};
  int changes = 0;
  TObject* changeSender = nullptr;
  std::vector<std::string> drawn;

  void SetUp() override {
    buffer.OnChange = [this](TObject* s) {
      ++changes;
      changeSender = s;
    };
    scene.AddBuffer(&buffer);
  }
  void TearDown() override { scene.RemoveBuffer(&buffer); }

  TSpyObject* Spy(TGLBaseSceneObject* parent, const std::string& name, float x = 0, float y = 0, float z = 0) {
    auto* o = parent->AddNewChild<TSpyObject>();
    o->SetName(name);
    o->log = &drawn;
    o->Position()->SetXYZAsPoint(x, y, z);
    return o;
  }
};

}  // namespace

TEST(SceneObjectFrame, DirectionAndUpStayOrthonormal) {
  TGLSceneGraph scene(nullptr);
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  o->Direction()->SetXYZAsVector(0, 0, 0);
  ExpectVec(o->Direction()->AsVector(), 0, 0, 1);
  ExpectVec(o->Up()->AsVector(), 0, 1, 0);

  // Parallel to Up: the fallback side axis keeps the frame valid.
  o->Direction()->SetXYZAsVector(0, 1, 0);
  ExpectVec(o->Direction()->AsVector(), 0, 1, 0);
  ExpectVec(o->Up()->AsVector(), 0, 0, -1);

  o->Up()->SetXYZAsVector(0, 0, 0);
  EXPECT_TRUE(Finite(o->Up()->AsVector()));
  EXPECT_NEAR(VectorXYZLength(o->Up()->AsVector()), 1, 1e-5);

  o->Pitch(37);
  o->Turn(-12);
  o->Roll(80);
  o->Pitch(-200);
  const TVector4f d = o->Direction()->AsVector(), u = o->Up()->AsVector();
  EXPECT_NEAR(VectorXYZLength(d), 1, 1e-5);
  EXPECT_NEAR(VectorXYZLength(u), 1, 1e-5);
  EXPECT_NEAR(VectorDotProduct(d, u), 0, 1e-5);
}

TEST(SceneObjectFrame, PitchThereAndBackRestoresTheFrame) {
  TGLSceneGraph scene(nullptr);
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  o->Pitch(37);
  EXPECT_GT(std::fabs(o->Direction()->Y()), 0.5f);
  o->Pitch(-37);
  ExpectVec(o->Direction()->AsVector(), 0, 0, 1);
  ExpectVec(o->Up()->AsVector(), 0, 1, 0);
  o->SetTurnAngle(90);
  EXPECT_FLOAT_EQ(o->TurnAngle(), 90);
  EXPECT_NEAR(std::fabs(o->Direction()->X()), 1, 1e-5);
}

namespace {
std::array<uint32_t, 4> Bits(const TVector4f& v) { return std::bit_cast<std::array<uint32_t, 4>>(v.V); }
}  // namespace

// Turning, pitching and rolling give the frame that rotating up and direction
// about the axis by the rotation formula, then normalising, gives: bit for
// bit, for repeated steps of one angle and for other angles (-0 included)
// between them.
TEST(SceneObjectFrame, RotationsGiveTheFormulasFrameBitForBit) {
  TGLSceneGraph scene(nullptr);
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* other = scene.Objects()->AddNewChild<TGLSceneObject>();
  o->Direction()->SetXYZAsVector(0.3f, -0.2f, 0.9f);
  TVector4f up = o->Up()->AsVector(), dir = o->Direction()->AsVector();
  auto rotate = [&](const TAffineVector& axis, float rad) {
    up = VectorNormalized(VectorRotateAroundAxis(up, axis, rad));
    dir = VectorNormalized(VectorRotateAroundAxis(dir, axis, rad));
  };
  const float angles[] = {0.5f, 0.5f, 0.5f, -3.0f, 0.5f, -0.0f, 0.0f, 170.0f, 0.5f, 0.5f};
  for (float a : angles) {
    other->Turn(a * 3);  // another object turned by another angle in between
    rotate(AffineVectorMake(up), DegToRadSingle(a));
    o->Turn(a);
    ASSERT_EQ(Bits(o->Up()->AsVector()), Bits(up)) << "turn " << a;
    ASSERT_EQ(Bits(o->Direction()->AsVector()), Bits(dir)) << "turn " << a;
    rotate(AffineVectorCrossProduct(AffineVectorMake(dir), AffineVectorMake(up)), -DegToRadSingle(a));
    o->Pitch(a);
    ASSERT_EQ(Bits(o->Up()->AsVector()), Bits(up)) << "pitch " << a;
    ASSERT_EQ(Bits(o->Direction()->AsVector()), Bits(dir)) << "pitch " << a;
    rotate(AffineVectorMake(dir), DegToRadSingle(a));
    o->Roll(a);
    ASSERT_EQ(Bits(o->Up()->AsVector()), Bits(up)) << "roll " << a;
    ASSERT_EQ(Bits(o->Direction()->AsVector()), Bits(dir)) << "roll " << a;
  }
  // The turn angle is read off the direction as it always has been.
  auto* t = scene.Objects()->AddNewChild<TGLSceneObject>();
  t->Turn(30);
  EXPECT_NEAR(t->TurnAngle(), -60, 1e-4);
  ExpectVec(t->Direction()->AsVector(), -0.5f, 0, std::sqrt(3.0f) / 2);
  ExpectVec(t->Up()->AsVector(), 0, 1, 0);
}

TEST(SceneObjectMatrices, LocalAbsoluteAndInverse) {
  TGLSceneGraph scene(nullptr);
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  o->Position()->SetXYZAsPoint(1, 2, 3);
  o->Scale()->SetXYZAsVector(2, 1, 1);
  const TMatrix4f& l = *o->GetLocalMatrixPtr();
  ExpectVec(l[0], 2, 0, 0);
  ExpectVec(l[1], 0, 1, 0);
  ExpectVec(l[2], 0, 0, 1);
  ExpectVec(l[3], 1, 2, 3);
  // Directly under the root, absolute = local.
  ExpectVec((*o->GetAbsoluteMatrixPtr())[3], 1, 2, 3);

  // A scaled parent: the child's inverse comes from the rigid path, the parent's from a full one.
  auto* parent = scene.Objects()->AddNewChild<TGLSceneObject>();
  parent->Position()->SetXYZAsPoint(10, 0, 0);
  parent->Scale()->SetXYZAsVector(2, 2, 2);
  auto* child = parent->AddNewChild<TGLSceneObject>();
  child->Position()->SetXYZAsPoint(1, 0, 0);
  ExpectVec(child->GetAbsolutePosition(), 12, 0, 0);
  ExpectVec(child->AbsoluteToLocalAffine(VectorMake(12, 0, 0, 1)), 0, 0, 0);
  ExpectVec(parent->AbsoluteToLocalAffine(VectorMake(12, 0, 0, 1)), 1, 0, 0);
  child->Turn(30);
  const TVector4f p = VectorMake(3, -4, 5, 1);
  ExpectVec(child->LocalToAbsolute(child->AbsoluteToLocalAffine(p)), 3, -4, 5, 1e-4f);

  // Moving the parent reaches the child's cached matrices.
  parent->Position()->SetX(20);
  EXPECT_NEAR(child->GetAbsolutePosition()[0], 20 + 2 * std::cos(DegToRadExtended(0)) * 1, 1e-4);

  child->SetAbsolutePosition(VectorMake(0, 0, 0, 1));
  ExpectVec(child->GetAbsolutePosition(), 0, 0, 0, 1e-4f);
}

// Cached matrices at every depth follow a moved ancestor, also after children
// with cached matrices left (moved, removed one by one or together, freed).
TEST(SceneObjectMatrices, AncestorMovesReachCachedDescendants) {
  TGLSceneGraph scene(nullptr);
  auto* a = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* b = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* child = a->AddNewChild<TGLSceneObject>();
  auto* grandchild = child->AddNewChild<TGLSceneObject>();
  grandchild->Position()->SetXYZAsPoint(0, 1, 0);
  auto* one = new TGLSceneObject(nullptr);
  auto* two = new TGLSceneObject(nullptr);
  a->AddChild(one);
  a->AddChild(two);
  ExpectVec(grandchild->GetAbsolutePosition(), 0, 1, 0);
  one->GetInvAbsoluteMatrixPtr();
  two->GetAbsoluteMatrixPtr();
  delete one;
  a->RemoveChildren({two});
  delete two;
  a->Position()->SetX(5);
  ExpectVec(grandchild->GetAbsolutePosition(), 5, 1, 0);
  ExpectVec(grandchild->AbsoluteToLocalAffine(VectorMake(5, 1, 0, 1)), 0, 0, 0);

  child->MoveTo(b);
  ExpectVec(grandchild->GetAbsolutePosition(), 0, 1, 0);
  b->Position()->SetZ(3);
  ExpectVec(grandchild->GetAbsolutePosition(), 0, 1, 3);
  a->Position()->SetX(7);
  ExpectVec(grandchild->GetAbsolutePosition(), 0, 1, 3);
}

TEST(SceneObjectMatrices, SetMatrixAndPointToObject) {
  TGLSceneGraph scene(nullptr);
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  TMatrix4f m = CreateRotationMatrixY(std::sin(0.5f), std::cos(0.5f));
  m[0] = VectorScaled(m[0], 3);
  m[3] = VectorMake(4, 5, 6, 1);
  o->SetMatrix(m);
  ExpectVec(o->Scale()->AsVector(), 3, 1, 1);
  ExpectVec(o->Position()->AsVector(), 4, 5, 6);
  EXPECT_FLOAT_EQ(o->Position()->W(), 1);

  // A target straight above with up (0, 0, 1) used to give a frame of non-numbers.
  auto* light = scene.Objects()->AddNewChild<TGLSceneObject>();
  light->Position()->SetXYZAsPoint(0, 0, 20000);
  auto* target = scene.Objects()->AddNewChild<TGLSceneObject>();
  light->PointToObject(target, VectorMake(0, 0, 1, 0));
  EXPECT_TRUE(Finite(light->Direction()->AsVector()));
  EXPECT_TRUE(Finite(light->Up()->AsVector()));
  ExpectVec(light->Direction()->AsVector(), 0, 0, -1);
  // On the same spot: the frame is kept.
  target->Position()->SetXYZAsPoint(0, 0, 20000);
  light->PointToObject(target, VectorMake(0, 0, 1, 0));
  ExpectVec(light->Direction()->AsVector(), 0, 0, -1);
}

TEST(SceneObjectTree, FindChildByNamePrefersTheDeeperMatch) {
  TGLSceneGraph scene(nullptr);
  TGLSceneRootObject* root = scene.Objects();
  auto* a = root->AddNewChild<TGLSceneObject>();
  a->SetName("A");
  // Names are unique per owner: the deeper object belongs to another form.
  TComponent form(nullptr);
  auto* deep = new TGLSceneObject(&form);
  a->AddChild(deep);
  deep->SetName("IP10_1_2");
  auto* direct = root->AddNewChild<TGLSceneObject>();
  direct->SetName("Ip10_1_2");
  EXPECT_EQ(root->FindChildByName("ip10_1_2"), deep);
  EXPECT_EQ(root->FindChildByName("ip10_1_2", true), direct);
  EXPECT_EQ(root->FindChildByName("nothing"), nullptr);
}

// Among many children a lookup goes through the name index: letter case,
// renames, moves to another parent, deletion and shared names must all find
// what a scan of the direct children finds.
TEST(SceneObjectTree, DirectChildLookupAmongManyChildrenFollowsEveryChange) {
  TGLSceneGraph scene(nullptr);
  TGLSceneRootObject* root = scene.Objects();
  auto* pcs = root->AddNewChild<TGLSceneObject>();
  auto* other = root->AddNewChild<TGLSceneObject>();
  std::vector<TGLSceneObject*> cubes;
  for (int i = 0; i < 100; ++i) {
    cubes.push_back(pcs->AddNewChild<TGLSceneObject>());
    cubes.back()->SetName("IP10_0_" + std::to_string(i));
  }
  EXPECT_EQ(pcs->FindChildByName("ip10_0_42", true), cubes[42]);
  EXPECT_EQ(pcs->FindChildByName("IP10_0_100", true), nullptr);

  cubes[42]->SetName("Renamed");
  EXPECT_EQ(pcs->FindChildByName("IP10_0_42", true), nullptr);
  EXPECT_EQ(pcs->FindChildByName("RENAMED", true), cubes[42]);
  cubes[42]->SetName("renamed");  // letter case only
  EXPECT_EQ(pcs->FindChildByName("Renamed", true), cubes[42]);

  cubes[7]->MoveTo(other);
  EXPECT_EQ(pcs->FindChildByName("IP10_0_7", true), nullptr);
  EXPECT_EQ(other->FindChildByName("IP10_0_7", true), cubes[7]);
  EXPECT_EQ(root->FindChildByName("IP10_0_7", true), nullptr);  // direct children only
  cubes[7]->MoveTo(pcs);
  EXPECT_EQ(pcs->FindChildByName("IP10_0_7", true), cubes[7]);

  delete cubes[9];
  EXPECT_EQ(pcs->FindChildByName("IP10_0_9", true), nullptr);
  // Many at once: the rest keep their order.
  pcs->RemoveChildren({cubes[1], cubes[3], cubes[1]});
  EXPECT_EQ(pcs->FindChildByName("IP10_0_3", true), nullptr);
  EXPECT_EQ(pcs->GetChild(0), cubes[0]);
  EXPECT_EQ(pcs->GetChild(1), cubes[2]);
  EXPECT_EQ(pcs->GetChildCount(), 97);
  delete cubes[1];
  delete cubes[3];

  // Names are unique per owner only: two children of one parent may share one,
  // and the first in child order is found, also after the first leaves.
  TComponent form(nullptr);
  auto* twin = new TGLSceneObject(&form);
  twin->SetName("IP10_0_5");
  pcs->Insert(0, twin);
  EXPECT_EQ(pcs->FindChildByName("IP10_0_5", true), twin);
  pcs->Remove(twin, false);
  EXPECT_EQ(pcs->FindChildByName("IP10_0_5", true), cubes[5]);
  delete twin;

  pcs->DeleteChildren();
  for (int i = 0; i < 40; ++i) pcs->AddNewChild<TGLSceneObject>()->SetName("N" + std::to_string(i));
  EXPECT_EQ(pcs->FindChildByName("IP10_0_1", true), nullptr);
  EXPECT_EQ(pcs->FindChildByName("n39", true), pcs->GetChild(39));
}

#if defined(__GLIBC__)
// A parent with thousands of short-lived children (the pipes of a big network) must not keep
// memory for each name it ever indexed: such blocks stay scattered through the heap and keep
// its pages resident after the children are gone. Emptied and filled again, the index works.
TEST(SceneObjectTree, NameIndexHoldsNoMemoryOnceItsChildrenAreGone) {
  TGLSceneGraph scene(nullptr);
  auto* pipes = scene.Objects()->AddNewChild<TGLSceneObject>();
  const auto name = [](int i, bool longName) {
    return (longName ? "MYC3232235777" : "P") + std::to_string(3232235520u + unsigned(i));
  };
  const auto fillAndEmpty = [&](bool longNames) {
    for (int i = 0; i < 3000; ++i) pipes->AddNewChild<TGLSceneObject>()->SetName(name(i, longNames));
    ASSERT_EQ(pipes->FindChildByName(name(1234, longNames), true), pipes->GetChild(1234));  // through the index
    for (int i = 0; i < 3000; ++i) delete pipes->GetChild(0);
    ASSERT_EQ(pipes->GetChildCount(), 0);
  };
  // Short names are kept inside the string: this round makes the lists' lasting capacity.
  fillAndEmpty(false);
  const long long before = (long long)mallinfo2().uordblks;
  fillAndEmpty(true);
  // 3,000 names of 23 letters, 96 KB in 3,000 blocks, were kept before.
  EXPECT_LT((long long)mallinfo2().uordblks - before, 8 << 10);
  // Emptied, the index still finds what is added next.
  for (int i = 0; i < 40; ++i) pipes->AddNewChild<TGLSceneObject>()->SetName(name(i, true));
  EXPECT_EQ(pipes->FindChildByName(name(39, true), true), pipes->GetChild(39));
  EXPECT_EQ(pipes->FindChildByName(name(40, true), true), nullptr);
}
#endif

TEST(SceneObjectTree, HierarchyEdits) {
  TGLSceneGraph scene(nullptr);
  TGLSceneRootObject* root = scene.Objects();
  auto* p = root->AddNewChild<TGLSceneObject>();
  auto* c = p->AddNewChild<TGLSceneObject>();
  auto* g1 = c->AddNewChild<TGLSceneObject>();
  auto* g2 = c->AddNewChild<TGLSceneObject>();
  g1->SetName("g1");
  g2->SetName("g2");

  // Removing with keepChildren hands the grandchildren up in order.
  p->Remove(c, true);
  EXPECT_EQ(c->Parent(), nullptr);
  ASSERT_EQ(p->GetChildCount(), 2);
  EXPECT_EQ(p->GetChild(0), g1);
  EXPECT_EQ(p->GetChild(1), g2);
  EXPECT_EQ(g1->Scene(), &scene);
  delete c;

  // Adding a child that has a parent moves it instead of listing it twice.
  auto* other = root->AddNewChild<TGLSceneObject>();
  other->AddChild(g1);
  EXPECT_EQ(p->GetChildCount(), 1);
  EXPECT_EQ(g1->Parent(), other);
  EXPECT_EQ(g1->GetIndex(), 0);

  // An object cannot become its own descendant.
  EXPECT_THROW(g1->AddChild(other), EInvalidOperation);
  EXPECT_THROW(g1->AddChild(g1), EInvalidOperation);

  g2->SetIndex(99);
  EXPECT_EQ(g2->GetIndex(), 0);
  auto* first = p->AddNewChildFirst(TGLSceneObject::StaticClass());
  EXPECT_EQ(first->GetIndex(), 0);
  EXPECT_EQ(g2->GetIndex(), 1);

  g1->MoveTo(nullptr);
  EXPECT_EQ(g1->Scene(), nullptr);
  delete g1;

  // Freeing a parent frees its subtree; freeing a child leaves its parent's list.
  delete g2;
  EXPECT_EQ(p->GetChildCount(), 1);
  delete p;
  EXPECT_EQ(root->GetChildCount(), 1);
}

TEST(SceneObjectTree, OwnedObjectsLeaveTheTreeWhenTheirOwnerGoes) {
  TGLSceneGraph scene(nullptr);
  auto form = std::make_unique<TComponent>(nullptr);
  auto* o = new TGLSceneObject(form.get());
  scene.Objects()->AddChild(o);
  auto* c = o->AddNewChild<TGLSceneObject>();
  EXPECT_EQ(c->Owner(), form.get());
  form.reset();
  EXPECT_EQ(scene.Objects()->GetChildCount(), 0);
}

TEST_F(SceneFixture, ChangesReachTheBufferOncePerUpdate) {
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  (void)o->GetLocalMatrixPtr();
  changes = 0;
  o->BeginUpdate();
  o->Position()->SetX(1);
  o->SetVisible(false);
  o->SetShowAxes(true);
  EXPECT_EQ(changes, 0);
  o->EndUpdate();
  EXPECT_EQ(changes, 1);
  // The buffer reports the change as its own, whatever object started it.
  EXPECT_EQ(changeSender, &buffer);
  EXPECT_THROW(o->EndUpdate(), EAssertionFailed);

  changes = 0;
  scene.BeginUpdate();
  for (int i = 0; i < 10; ++i) o->SetTagFloat(float(i)), o->SetVisible(i % 2 == 0);
  scene.EndUpdate();
  EXPECT_EQ(changes, 1);

  // Structure marked twice notifies once, except for a direct-draw object.
  o->GetLocalMatrixPtr();
  o->ClearStructureChanged();
  changes = 0;
  o->MarkStructureChanged();
  o->MarkStructureChanged();
  EXPECT_EQ(changes, 1);
  auto* d = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  changes = 0;
  d->MarkStructureChanged();
  d->MarkStructureChanged();
  EXPECT_EQ(changes, 2);
}

// A turn marks the local matrix stale and tells the scene once until the
// matrix is rebuilt; the display list stays valid.
TEST_F(SceneFixture, TurnsTellTheSceneOncePerRebuiltMatrix) {
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  (void)o->GetLocalMatrixPtr();
  o->ClearStructureChanged();
  changes = 0;
  o->Turn(0.5f);
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(o->Changes() & ocTransformation);
  EXPECT_FALSE(o->Changes() & ocStructure);
  o->Turn(0.5f);
  o->Pitch(2);
  o->Roll(3);
  EXPECT_EQ(changes, 1);
  const TMatrix4f& m = *o->GetLocalMatrixPtr();
  EXPECT_EQ(Bits(m[1]), Bits(o->Up()->AsVector()));
  EXPECT_EQ(Bits(m[2]), Bits(o->Direction()->AsVector()));
  o->Turn(0.5f);
  EXPECT_EQ(changes, 2);
  EXPECT_FALSE(o->Changes() & ocStructure);
}

TEST_F(SceneFixture, ProgressVisitsChildrenLastFirstThenBehaviours) {
  std::vector<std::string> order;
  auto* p = scene.Objects()->AddNewChild<TGLSceneObject>();
  p->SetName("p");
  auto* a = p->AddNewChild<TGLSceneObject>();
  a->SetName("a");
  auto* b = p->AddNewChild<TGLSceneObject>();
  b->SetName("b");
  for (TGLBaseSceneObject* o :
       {static_cast<TGLBaseSceneObject*>(p), static_cast<TGLBaseSceneObject*>(a), static_cast<TGLBaseSceneObject*>(b)})
    o->OnProgress = [&order](TObject* s, double dt, double t) {
      EXPECT_DOUBLE_EQ(dt, 0.5);
      EXPECT_DOUBLE_EQ(t, 2.0);
      order.push_back(static_cast<TGLBaseSceneObject*>(s)->Name());
    };
  scene.Progress(0.5, 2.0);
  EXPECT_EQ(order, (std::vector<std::string>{"b", "a", "p"}));
}

namespace {
// Registered as having nothing to do in a progress step, yet counting its
// steps: shows when a step passes over it.
class TPassedOver : public TGLSceneObject {
  RTL_CLASS(TPassedOver, TGLSceneObject)
 public:
  using TGLSceneObject::TGLSceneObject;
  static inline int Steps = 0;
  void DoProgress(const TProgressTimes& t) override {
    ++Steps;
    TGLSceneObject::DoProgress(t);
  }
};
}  // namespace

TEST_F(SceneFixture, ProgressPassesOverChildrenWithNothingToDoUntilOneMayHave) {
  RegisterProgressFreeClass(TPassedOver::StaticClass());
  double now = 0;
  auto steps = [&] {  // the children's steps in one step of the scene
    const int before = TPassedOver::Steps;
    scene.Progress(0.1, now += 0.1);
    return TPassedOver::Steps - before;
  };
  int handled = 0;
  auto handler = [&handled](TObject*, double, double) { ++handled; };
  // A parent of three children that have nothing to do, seen so once.
  auto parent = [&] {
    auto* p = scene.Objects()->AddNewChild<TGLSceneObject>();
    for (int i = 0; i < 3; ++i) p->AddNewChild<TPassedOver>();
    EXPECT_EQ(steps(), 3);
    EXPECT_EQ(steps(), 0);
    return p;
  };

  TGLSceneObject* p = parent();
  p->AddNewChild<TPassedOver>();  // another one like them
  EXPECT_EQ(steps(), 0);
  p->Children(1)->OnProgress = handler;
  EXPECT_EQ(steps(), 4);
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(steps(), 4);  // still
  EXPECT_EQ(handled, 2);
  p->Children(1)->OnProgress = nullptr;
  EXPECT_EQ(steps(), 4);
  EXPECT_EQ(steps(), 0);
  delete p;

  // Behaviours or effects, a child of its own, a new child of another kind
  // or with a handler: each is stepped again.
  const std::vector<std::function<void(TGLSceneObject*)>> changes = {
      [](TGLSceneObject* p) { p->Children(0)->Behaviours(); },
      [](TGLSceneObject* p) { p->Children(2)->Effects(); },
      [&](TGLSceneObject* p) { p->Children(0)->AddNewChild<TGLSceneObject>()->OnProgress = handler; },
      [&](TGLSceneObject* p) { p->AddNewChild<TGLSceneObject>()->OnProgress = handler; },
      [&](TGLSceneObject* p) {
        auto* c = new TPassedOver(nullptr);
        c->OnProgress = handler;
        p->Insert(0, c);
      },
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(i);
    p = parent();
    changes[i](p);
    handled = 0;
    EXPECT_GE(steps(), 3);
    EXPECT_EQ(handled, i >= 2 ? 1 : 0);
    delete p;
  }
}

TEST_F(SceneFixture, DefaultSortingDrawsOpaqueInOrderThenBlendedFarthestFirst) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  cam->Position()->SetXYZAsPoint(0, 0, 0);
  buffer.SetCamera(cam);
  Spy(scene.Objects(), "A", 0, 0, -5);
  Spy(scene.Objects(), "B", 0, 0, -10)->blended = true;
  Spy(scene.Objects(), "C", 0, 0, -30);
  Spy(scene.Objects(), "D", 0, 0, -20)->blended = true;
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_EQ(drawn, (std::vector<std::string>{"A", "C", "D", "B"}));

  // An own mode holds for its subtree only; nearest first draws the nearest first.
  drawn.clear();
  auto* group = Spy(scene.Objects(), "G", 0, 0, -1);
  group->SetObjectsSorting(osRenderNearestFirst);
  Spy(group, "far", 0, 0, -9);
  Spy(group, "near", 0, 0, -2);
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_EQ(drawn, (std::vector<std::string>{"A", "C", "G", "near", "far", "D", "B"}));

  // Hidden objects and their subtrees are skipped.
  drawn.clear();
  group->SetVisible(false);
  scene.SetObjectsSorting(osNone);
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_EQ(drawn, (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));
  buffer.SetCamera(nullptr);
}

TEST_F(SceneFixture, OnlySortedObjectsAreAskedForTheirDistance) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  TSpyObject* opaque = Spy(scene.Objects(), "opaque", 0, 0, -5);
  TSpyObject* blended = Spy(scene.Objects(), "blended", 0, 0, -10);
  blended->blended = true;
  TSpyObject* last = Spy(scene.Objects(), "last", 0, 0, -20);  // a group's barycentre walks its children
  last->blended = true;
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_EQ(drawn, (std::vector<std::string>{"opaque", "last", "blended"}));
  EXPECT_EQ(opaque->barycentres, 0);
  EXPECT_EQ(blended->barycentres, 1);
  buffer.SetCamera(nullptr);
}

TEST_F(SceneFixture, CullingModes) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  buffer.Resize(100, 100);
  // A parent far to the side, with a child brought back in front of the camera.
  auto* parent = Spy(scene.Objects(), "parent", 1000, 0, -10);
  Spy(parent, "child", -1000, 0, 0);
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);

  scene.SetVisibilityCulling(vcObjectBased);
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_EQ(drawn, (std::vector<std::string>{"child"}));

  drawn.clear();
  scene.SetVisibilityCulling(vcHierarchical);
  parent->SetObjectStyle(parent->ObjectStyle() | osNoVisibilityCulling);
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_EQ(drawn, (std::vector<std::string>{"parent", "child"}));

  drawn.clear();
  parent->SetObjectStyle(parent->ObjectStyle() & ~osNoVisibilityCulling);
  parent->GetChild(0)->Position()->SetX(0);  // the child follows its parent out of view
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_TRUE(drawn.empty());
  buffer.SetCamera(nullptr);
}

TEST_F(SceneFixture, PickingPassNamesObjectsWithoutColourWrites) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  auto* a = Spy(scene.Objects(), "a", 0, 0, -5);
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);
  scene.RenderScene(&buffer, 100, 100, dsPicking, nullptr);
  const auto masks = rec.CallsTo("glColorMask");
  ASSERT_GE(masks.size(), 2u);
  EXPECT_EQ(masks.front().Args[0], GL_FALSE);
  EXPECT_EQ(masks.back().Args[0], GL_TRUE);
  // Names are small indices into the pass's table, never truncated addresses.
  const auto names = rec.CallsTo("glLoadName");
  ASSERT_EQ(names.size(), 2u);  // the root, then the object
  EXPECT_EQ(names[1].Args[0], 2);
  EXPECT_EQ(drawn, (std::vector<std::string>{"a"}));
  (void)a;
  buffer.SetCamera(nullptr);
}

TEST_F(SceneFixture, ProxyDrawsItsMasterOnceEvenWhenItIsItsOwnAncestor) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  auto* master = Spy(scene.Objects(), "master");
  auto* proxy = master->AddNewChild<TGLProxyObject>();
  proxy->SetMasterObject(master);
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  // master itself, then through the proxy once; the proxy reached again draws nothing.
  EXPECT_EQ(drawn, (std::vector<std::string>{"master", "master"}));

  // A master freed elsewhere is forgotten.
  auto* other = Spy(scene.Objects(), "other");
  auto* proxy2 = scene.Objects()->AddNewChild<TGLProxyObject>();
  proxy2->SetMasterObject(other);
  delete other;
  EXPECT_EQ(proxy2->MasterObject(), nullptr);
  EXPECT_FALSE(proxy2->RayCastIntersect(VectorMake(0, 0, -5, 1), VectorMake(0, 0, 1, 0)));
  (void)proxy;
  buffer.SetCamera(nullptr);
}

TEST_F(SceneFixture, MaterialsAreSkippedWhilePicking) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  class TMaterialSpy : public TGLSceneObject {
   public:
    using TGLSceneObject::TGLSceneObject;
    void BuildList(TRenderContextInfo&) override { ++draws; }
    int draws = 0;
  };
  auto* o = new TMaterialSpy(&scene);
  scene.Objects()->AddChild(o);
  o->SetObjectStyle(osDirectDraw);
  o->Position()->SetZ(-5);
  o->Material()->SetBlendingMode(bmTransparency);
  EXPECT_TRUE(o->IsBlended());
  auto blendEnables = [](const TGLRecorder& rec) {
    int n = 0;
    for (const TGLCall& c : rec.CallsTo("glEnable")) n += c.Args[0] == GL_BLEND;
    return n;
  };
  {
    TGLRecorder rec;
    buffer.SetupMatrices(nullptr);
    scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
    EXPECT_EQ(o->draws, 1);
    EXPECT_GE(blendEnables(rec), 1);
  }
  {
    TGLRecorder rec;
    scene.RenderScene(&buffer, 100, 100, dsPicking, nullptr);
    EXPECT_EQ(o->draws, 2);
    EXPECT_EQ(blendEnables(rec), 0);
  }
  buffer.SetCamera(nullptr);
}

TEST_F(SceneFixture, CameraInvariantObjectsBalanceTheModelViewStack) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  for (TGLCameraInvarianceMode mode : {cimNone, cimPosition, cimOrientation}) {
    auto* o = scene.Objects()->AddNewChild<TGLCameraInvariantObject>();
    o->SetCamInvarianceMode(mode);
    o->SetObjectStyle(osDirectDraw);
    Spy(o, "inside" + std::to_string(int(mode)))->SetObjectStyle(osDirectDraw);
  }
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_EQ(drawn.size(), 3u);
  EXPECT_EQ(buffer.ModelViewStackDepth(), 0);
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));
  EXPECT_EQ(rec.Count("glLoadMatrixf"), 2 + 2);  // the set-up's two, then one per invariant mode
  buffer.SetCamera(nullptr);
}

TEST_F(SceneFixture, AFailingObjectIsReportedOnceAndTheRestOfTheSceneDraws) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  Spy(scene.Objects(), "A", 0, 0, -5);
  auto* broken = Spy(scene.Objects(), "broken", 0, 0, -5);
  broken->fail = true;
  Spy(broken, "child", 0, 0, -5);
  Spy(scene.Objects(), "B", 0, 0, -5);
  scene.SetObjectsSorting(osNone);
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);
  testing::internal::CaptureStderr();
  for (int frame = 0; frame < 3; ++frame) scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  const std::string log = testing::internal::GetCapturedStderr();
  // The broken object's subtree is lost with it; its siblings draw every frame.
  EXPECT_EQ(drawn, (std::vector<std::string>{"A", "B", "A", "B", "A", "B"}));
  EXPECT_EQ(log, "Scene: TSpyObject \"broken\" not drawn: broken geometry (reported once)\n");
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));
  EXPECT_EQ(buffer.ModelViewStackDepth(), 0);
  broken->fail = false;
  drawn.clear();
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_EQ(drawn, (std::vector<std::string>{"A", "broken", "child", "B"}));
  buffer.SetCamera(nullptr);
}

TEST_F(SceneFixture, ADrawFailingUnderAMaterialTakesTheMaterialAndItsShaderOff) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  class TFailingDraw : public TGLSceneObject {
   public:
    using TGLSceneObject::TGLSceneObject;
    void BuildList(TRenderContextInfo&) override {
      ++draws;
      if (fail) throw EInvalidOperation("broken geometry");
    }
    int draws = 0;
    bool fail = true;
  };
  TGLMaterialLibrary lib(nullptr);
  TMultiPassShader shader(nullptr);
  TGLLibMaterial* lm = shader.AddUser(lib);
  auto* o = new TFailingDraw(&scene);
  scene.Objects()->AddChild(o);
  o->SetObjectStyle(osDirectDraw);
  o->Material()->SetMaterialLibrary(&lib);
  o->Material()->SetLibMaterialName(lm->Name());
  TGLRecorder rec;
  TCurrentNullContext context;
  buffer.SetupMatrices(nullptr);
  buffer.GLStates().EnableState(stLighting);
  testing::internal::CaptureStderr();
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_FALSE(shader.Active());
  EXPECT_TRUE(buffer.GLStates().StateEnabled(stLighting));  // the material's lighting switch undone
  // The next frames apply it afresh and draw every pass.
  o->fail = false;
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(shader.applies, 3);
  EXPECT_EQ(o->draws, 1 + 3 + 3);
  EXPECT_FALSE(shader.Active());
  EXPECT_EQ(log.find("Unbalanced"), std::string::npos) << log;
  delete o;
  buffer.SetCamera(nullptr);
}

namespace {

// Drawn in one batch with its siblings of the same class; records its geometry or fails.
class TBatchedSpy : public TGLSceneObject {
  RTL_CLASS(TBatchedSpy, TGLSceneObject)
 public:
  explicit TBatchedSpy(TComponent* AOwner) : TGLSceneObject(AOwner) { objectStyle_ |= osDirectDraw; }
  bool JoinsBatches() override { return true; }
  bool SameBatchLookAs(TGLBaseSceneObject& other) override { return dynamic_cast<TBatchedSpy*>(&other); }
  void EmitInBatch(TRenderContextInfo&) override {
    if (fail) throw EInvalidOperation("broken geometry");
    log->push_back(Name());
  }
  std::vector<std::string>* log = nullptr;
  bool fail = false;
};

// An effect drawn before its object, and failing.
class TFailingPreEffect : public TGLObjectEffect {
  RTL_CLASS(TFailingPreEffect, TGLObjectEffect)
 public:
  void Render(TGLSceneBuffer*, TRenderContextInfo&) override { throw EInvalidOperation("broken effect"); }
};

}  // namespace

TEST_F(SceneFixture, EachFailingObjectOfABatchIsReportedOnceAsItselfAndTheRestDraws) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  TGLMaterialLibrary lib(nullptr);
  TMultiPassShader shader(nullptr);
  TGLLibMaterial* lm = shader.AddUser(lib);
  std::vector<TBatchedSpy*> spies;
  for (const char* name : {"A", "broken1", "B", "broken2", "C"}) {
    auto* o = scene.Objects()->AddNewChild<TBatchedSpy>();
    o->SetName(name);
    o->log = &drawn;
    o->Position()->SetZ(-5);
    o->Material()->SetMaterialLibrary(&lib);
    o->Material()->SetLibMaterialName(lm->Name());
    o->fail = o->Name().starts_with("broken");
    spies.push_back(o);
  }
  scene.SetObjectsSorting(osNone);
  TGLRecorder rec;
  TCurrentNullContext context;
  buffer.SetupMatrices(nullptr);
  testing::internal::CaptureStderr();
  for (int frame = 0; frame < 2; ++frame) scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log,
            "Scene: TBatchedSpy \"broken1\" not drawn: broken geometry (reported once)\n"
            "Scene: TBatchedSpy \"broken2\" not drawn: broken geometry (reported once)\n");
  // One material application a frame for the whole batch, each of its passes drawing the rest.
  EXPECT_EQ(shader.applies, 2);
  EXPECT_FALSE(shader.Active());
  std::vector<std::string> expected;
  for (int pass = 0; pass < 2 * shader.passes; ++pass) expected.insert(expected.end(), {"A", "B", "C"});
  EXPECT_EQ(drawn, expected);
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));
  EXPECT_EQ(log.find("Unbalanced"), std::string::npos) << log;

  // Mended, they join the batch again.
  for (TBatchedSpy* o : spies) o->fail = false;
  drawn.clear();
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_EQ(drawn.size(), size_t(5 * shader.passes));
  EXPECT_EQ(shader.applies, 3);
  for (TBatchedSpy* o : spies) delete o;
  buffer.SetCamera(nullptr);
}

TEST_F(SceneFixture, AFailingPreEffectLeavesTheMatrixStackBalanced) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  TRestore<TClass> preEffects(vGLPreRenderEffectClass, TFailingPreEffect::StaticClass());
  auto* o = Spy(scene.Objects(), "withEffect", 0, 0, -5);
  o->Effects()->Add<TFailingPreEffect>();
  Spy(scene.Objects(), "after", 0, 0, -5);
  scene.SetObjectsSorting(osNone);
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);
  testing::internal::CaptureStderr();
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log, "Scene: TSpyObject \"withEffect\" not drawn: broken effect (reported once)\n");
  EXPECT_EQ(drawn, (std::vector<std::string>{"after"}));
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));
  buffer.SetCamera(nullptr);
}

TEST(SceneRayCast, ProxyAndNearest) {
  TGLSceneGraph scene(nullptr);
  auto* master = scene.Objects()->AddNewChild<TGLSceneObject>();
  const float r = std::sqrt(0.75f);  // bounding sphere of the default half sizes
  EXPECT_NEAR(master->GetBoundingSphereRadius(), r, 1e-6);
  auto* proxy = scene.Objects()->AddNewChild<TGLProxyObject>();
  proxy->SetMasterObject(master);
  proxy->Position()->SetXYZAsPoint(10, 0, 0);
  TVector4f p{}, n{};
  ASSERT_TRUE(proxy->RayCastIntersect(VectorMake(10, 0, -5, 1), VectorMake(0, 0, 1, 0), &p, &n));
  ExpectVec(p, 10, 0, -r, 1e-4f);
  ExpectVec(n, 0, 0, -1, 1e-4f);

  // The nearer of two spheres, unless its parent is hidden.
  TGLSceneGraph s2(nullptr);
  auto* hider = s2.Objects()->AddNewChild<TGLSceneObject>();
  hider->Position()->SetXYZAsPoint(100, 0, 0);
  auto* nearOne = hider->AddNewChild<TGLSceneObject>();
  nearOne->Position()->SetXYZAsPoint(-100, 0, 5);
  auto* farOne = s2.Objects()->AddNewChild<TGLSceneObject>();
  farOne->Position()->SetXYZAsPoint(0, 0, 20);
  const TVector4f start = VectorMake(0, 0, 0, 1), dir = VectorMake(0, 0, 1, 0);
  EXPECT_EQ(s2.RayCastNearest(start, dir, &p), nearOne);
  hider->SetVisible(false);
  EXPECT_EQ(s2.RayCastNearest(start, dir, &p), farOne);
  EXPECT_EQ(s2.RayCastNearest(start, VectorMake(0, 1, 0, 0)), nullptr);
}

TEST(SceneLights, SlotsAreTakenAndFreed) {
  auto scene = std::make_unique<TGLSceneGraph>(nullptr);
  std::vector<TGLLightSource*> lights;
  for (int i = 0; i < 9; ++i) lights.push_back(scene->Objects()->AddNewChild<TGLLightSource>());
  for (int i = 0; i < 8; ++i) EXPECT_EQ(lights[size_t(i)]->LightID(), uint32_t(GL_LIGHT0 + i));
  EXPECT_EQ(lights[8]->LightID(), 0u);
  delete lights[3];
  EXPECT_EQ(scene->Light(3), nullptr);
  auto* again = scene->Objects()->AddNewChild<TGLLightSource>();
  EXPECT_EQ(again->LightID(), uint32_t(GL_LIGHT0 + 3));
  // Moving a light around the tree keeps one slot.
  auto* group = scene->Objects()->AddNewChild<TGLSceneObject>();
  group->Insert(0, again);
  group->MoveTo(scene->Objects());
  int taken = 0;
  for (int i = 0; i < 8; ++i) taken += scene->Light(i) == again;
  EXPECT_EQ(taken, 1);
  // A light in a subtree that is freed leaves the table too.
  delete group;
  EXPECT_EQ(scene->Light(3), nullptr);
  // Lights under both roots go cleanly with the scene.
  scene->Cameras()->AddNewChild<TGLCamera>()->AddNewChild<TGLLightSource>();
  scene.reset();
}

TEST(SceneObjectAssign, CopiesFrameChildrenAndBehaviours) {
  TGLSceneGraph scene(nullptr);
  auto* src = scene.Objects()->AddNewChild<TGLSceneObject>();
  src->Position()->SetXYZAsPoint(1, 2, 3);
  src->SetShowAxes(true);
  src->SetTagFloat(2.5f);
  src->AddNewChild<TGLLightSource>()->SetSpotCutOff(45);
  auto* dst = scene.Objects()->AddNewChild<TGLSceneObject>();
  dst->Assign(src);
  ExpectVec(dst->Position()->AsVector(), 1, 2, 3);
  EXPECT_TRUE(dst->ShowAxes());
  EXPECT_FLOAT_EQ(dst->TagFloat(), 2.5f);
  ASSERT_EQ(dst->GetChildCount(), 1);
  EXPECT_EQ(dst->GetChild(0)->ClassName(), "TGLLightSource");
  EXPECT_FLOAT_EQ(static_cast<TGLLightSource*>(dst->GetChild(0))->SpotCutOff(), 45);
}

TEST(SceneStreaming, StoredSceneReadsBackByName) {
  RegisterGLCoordinatesClasses();
  RegisterGLColorClasses();
  RegisterGLMaterialClasses();
  RegisterGLSceneGraphClasses();
  TMemoryStream ms;
  {
    TGLSceneGraph scene(nullptr);
    scene.SetObjectsSorting(osNone);
    auto* box = scene.Objects()->AddNewChild<TGLSceneObject>();
    box->SetName("Box");
    box->Position()->SetXYZAsPoint(1, 2, 3);
    box->SetVisible(false);
    auto* inner = box->AddNewChild<TGLImmaterialSceneObject>();
    inner->SetName("Inner");
    inner->SetHint("hello");
    auto* light = scene.Objects()->AddNewChild<TGLLightSource>();
    light->SetName("Lamp");
    light->SetSpotCutOff(45);
    auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
    cam->SetName("Eye");
    cam->SetFocalLength(252.149f);
    cam->SetCameraStyle(csInfinitePerspective);
    cam->SetTargetObject(box);
    TWriter w(&ms);
    w.WriteRootComponent(&scene);
  }
  ms.SetPosition(0);
  TGLSceneGraph scene(nullptr);
  TReader r(&ms);
  r.ReadRootComponent(&scene);
  EXPECT_EQ(scene.ObjectsSorting(), osNone);
  ASSERT_EQ(scene.Objects()->GetChildCount(), 2);
  auto* box = scene.Objects()->GetChild(0);
  EXPECT_EQ(box->Name(), "Box");
  EXPECT_FALSE(box->Visible());
  EXPECT_FLOAT_EQ(box->Position()->Z(), 3);
  EXPECT_FLOAT_EQ(box->Position()->W(), 1);
  ASSERT_EQ(box->GetChildCount(), 1);
  EXPECT_EQ(static_cast<TGLImmaterialSceneObject*>(box->GetChild(0))->Hint(), "hello");
  auto* light = static_cast<TGLLightSource*>(scene.Objects()->GetChild(1));
  EXPECT_FLOAT_EQ(light->SpotCutOff(), 45);
  EXPECT_EQ(light->LightID(), uint32_t(GL_LIGHT0));
  ASSERT_EQ(scene.Cameras()->GetChildCount(), 1);
  auto* cam = static_cast<TGLCamera*>(scene.Cameras()->GetChild(0));
  EXPECT_NEAR(cam->FocalLength(), 252.149, 1e-3);
  EXPECT_EQ(cam->CameraStyle(), csInfinitePerspective);
  EXPECT_EQ(cam->TargetObject(), box);
}

// Objects made with AddNewChild have no name; a proxy's master and a camera's target among them
// are named when the scene is written, so both read back (and the names are new ones).
TEST(SceneStreaming, UnnamedMastersAndTargetsReadBack) {
  RegisterGLCoordinatesClasses();
  RegisterGLColorClasses();
  RegisterGLMaterialClasses();
  RegisterGLSceneGraphClasses();
  TMemoryStream ms;
  {
    TGLSceneGraph scene(nullptr);
    auto* master = scene.Objects()->AddNewChild<TGLSceneObject>();
    master->Position()->SetXYZAsPoint(1, 2, 3);
    auto* named = scene.Objects()->AddNewChild<TGLSceneObject>();
    named->SetName("GLSceneObject1");  // the first name a master would get
    auto* proxy = named->AddNewChild<TGLProxyObject>();
    proxy->SetMasterObject(master);
    auto* target = master->AddNewChild<TGLImmaterialSceneObject>();
    target->SetHint("aimed at");
    auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
    cam->SetTargetObject(target);
    TWriter(&ms).WriteRootComponent(&scene);
    EXPECT_EQ(master->Name(), "GLSceneObject2");
    EXPECT_EQ(target->Name(), "GLImmaterialSceneObject1");
    EXPECT_EQ(proxy->Name(), "");  // only what is referred to is named
  }
  ms.SetPosition(0);
  TGLSceneGraph scene(nullptr);
  TReader(&ms).ReadRootComponent(&scene);
  ASSERT_EQ(scene.Objects()->GetChildCount(), 2);
  auto* master = scene.Objects()->GetChild(0);
  auto* proxy = static_cast<TGLProxyObject*>(scene.Objects()->GetChild(1)->GetChild(0));
  EXPECT_EQ(proxy->MasterObject(), master);
  EXPECT_FLOAT_EQ(master->Position()->Z(), 3);
  auto* cam = static_cast<TGLCamera*>(scene.Cameras()->GetChild(0));
  ASSERT_NE(cam->TargetObject(), nullptr);
  EXPECT_EQ(cam->TargetObject(), master->GetChild(0));
  EXPECT_EQ(static_cast<TGLImmaterialSceneObject*>(cam->TargetObject())->Hint(), "aimed at");
}

TEST_F(SceneFixture, ObjectsWithoutADistanceGoToOneEndAndTheOthersStaySorted) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  cam->Position()->SetXYZAsPoint(0, 0, 0);
  buffer.SetCamera(cam);
  scene.SetObjectsSorting(osRenderFarthestFirst);
  const float nan = std::nanf("");
  const struct {
    const char* name;
    float z;
  } objects[] = {{"z3", -3}, {"nan1", nan}, {"z1", -1}, {"z7", -7}, {"nan2", nan}, {"z5", -5}, {"z2", -2}, {"z6", -6}};
  for (const auto& o : objects) Spy(scene.Objects(), o.name, 0, 0, o.z);
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  ASSERT_EQ(drawn.size(), 8u);
  // Both at the far end (drawn first, in either order), then farthest to nearest.
  EXPECT_EQ(std::vector<std::string>(drawn.begin() + 2, drawn.end()),
            (std::vector<std::string>{"z7", "z6", "z5", "z3", "z2", "z1"}));
  EXPECT_TRUE(drawn[0].rfind("nan", 0) == 0 && drawn[1].rfind("nan", 0) == 0) << drawn[0] << " " << drawn[1];
  buffer.SetCamera(nullptr);
}

// A child that frees or moves siblings, or adds one, in its progress step: each child present
// when the step began steps once, those gone before their turn do not, newcomers wait.
TEST_F(SceneFixture, ProgressStepsEachChildPresentAtTheStartOnce) {
  std::vector<std::string> order;
  auto* p = scene.Objects()->AddNewChild<TGLSceneObject>();
  std::vector<TGLBaseSceneObject*> c;
  for (const char* name : {"a", "b", "c", "d"}) {
    c.push_back(p->AddNewChild<TGLSceneObject>());
    c.back()->SetName(name);
    c.back()->OnProgress = [&order](TObject* s, double, double) {
      order.push_back(static_cast<TGLBaseSceneObject*>(s)->Name());
    };
  }
  auto* other = scene.Objects()->AddNewChild<TGLSceneObject>();
  // c frees b (not yet stepped) and moves a (not yet stepped either) to a parent already
  // stepped; the newcomer e waits for the next step.
  bool done = false;
  c[2]->OnProgress = [&](TObject*, double, double) {
    order.push_back("c");
    if (std::exchange(done, true)) return;
    delete c[1];
    c[0]->MoveTo(other);
    auto* e = p->AddNewChild<TGLSceneObject>();
    e->SetName("e");
    e->OnProgress = [&order](TObject*, double, double) { order.push_back("e"); };
  };
  scene.Progress(0.1, 1);
  EXPECT_EQ(order, (std::vector<std::string>{"d", "c"}));
  EXPECT_EQ(p->GetChildCount(), 3);

  // A child that frees its parent: the walk over the parent's children ends there.
  order.clear();
  c[2]->OnProgress = [&](TObject*, double, double) {
    order.push_back("c");
    delete p;
  };
  scene.Progress(0.1, 1.1);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "e", "d", "c"}));
  EXPECT_EQ(scene.Objects()->GetChildCount(), 1);
}

namespace {
// Runs a handler while it draws.
class TDrawHook : public TSpyObject {
  RTL_CLASS(TDrawHook, TSpyObject)
 public:
  using TSpyObject::TSpyObject;
  void BuildList(TRenderContextInfo& rci) override {
    TSpyObject::BuildList(rci);
    if (onDraw) onDraw();
  }
  std::function<void()> onDraw;
};
}  // namespace

// Drawing that frees or adds siblings, in tree order and in sorted order: what is gone is not
// drawn (nor touched), what came is drawn from the next frame on.
TEST_F(SceneFixture, DrawingThatFreesOrAddsSiblingsDrawsEachOtherOnce) {
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  buffer.SetCamera(cam);
  TGLRecorder rec;
  buffer.SetupMatrices(nullptr);
  for (TGLObjectsSorting sorting : {osNone, osRenderBlendedLast}) {
    SCOPED_TRACE(int(sorting));
    scene.Objects()->DeleteChildren();
    scene.SetObjectsSorting(sorting);
    TSpyObject* a = Spy(scene.Objects(), "A", 0, 0, -5);
    Spy(scene.Objects(), "B", 0, 0, -9)->blended = true;
    TSpyObject* d = Spy(scene.Objects(), "D", 0, 0, -7);
    d->blended = true;
    auto* hook = scene.Objects()->AddNewChild<TDrawHook>();
    hook->SetName("H");
    hook->log = &drawn;
    Spy(scene.Objects(), "C", 0, 0, -3);
    // H frees A (drawn before it) and D (drawn before it in tree order, waiting as blended in
    // sorted order) and adds E.
    hook->onDraw = [&] {
      delete a;
      delete d;
      Spy(scene.Objects(), "E");
      hook->onDraw = nullptr;
    };
    drawn.clear();
    scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
    if (sorting == osNone)
      EXPECT_EQ(drawn, (std::vector<std::string>{"A", "B", "D", "H", "C"}));
    else
      EXPECT_EQ(drawn, (std::vector<std::string>{"A", "H", "C", "B"}));
    drawn.clear();
    scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
    if (sorting == osNone)
      EXPECT_EQ(drawn, (std::vector<std::string>{"B", "H", "C", "E"}));
    else
      EXPECT_EQ(drawn, (std::vector<std::string>{"H", "C", "E", "B"}));
  }
  buffer.SetCamera(nullptr);
}

namespace {
// An effect drawn after its object, logging it.
class TPostLogEffect : public TGLObjectPostEffect {
  RTL_CLASS(TPostLogEffect, TGLObjectPostEffect)
 public:
  static std::string FriendlyName() { return "Post log effect"; }
  void Render(TGLSceneBuffer*, TRenderContextInfo&) override { log->push_back("effect"); }
  std::vector<std::string>* log = nullptr;
};
}  // namespace

// A draw handler that frees its own object (its child and effect with it), then perhaps fails, the
// object's parent, or the proxy drawing it: the walk goes on with the next object and touches
// nothing of what went.
TEST_F(SceneFixture, DrawingThatFreesItselfOrItsParentGoesOnWithTheNext) {
  RegisterXCollectionItemClass<TPostLogEffect>();
  buffer.SetCamera(scene.Cameras()->AddNewChild<TGLCamera>());
  TGLRecorder rec;
  rec.Results["glGenLists"] = [](const TGLCall&) { return std::uintptr_t(7); };
  TBookkeepingContext context;  // lists are named in a context
  context.CreateOffScreen(nullptr, 1, 1);
  context.ActivateNested();
  buffer.SetupMatrices(nullptr);
  for (const std::string freed : {"itself", "its parent", "itself, then fails", "itself, from its list",
                                  "itself, from its list, then fails", "its amalgamating parent"}) {
    scene.Objects()->DeleteChildren();
    TSpyObject* group = Spy(scene.Objects(), "G");
    TGLBaseSceneObject* parent = group;
    if (freed == "its amalgamating parent") {
      auto* cube = group->AddNewChild<TGLDummyCube>();
      cube->SetAmalgamate(true);
      parent = cube;
    }
    auto* hook = parent->AddNewChild<TDrawHook>();
    // Compiled into its list in a normal pass, not drawn on the spot.
    if (freed.find("from its list") != std::string::npos) hook->SetObjectStyle(0);
    hook->log = &drawn;
    hook->Effects()->Add<TPostLogEffect>()->log = &drawn;
    Spy(hook, "child");
    Spy(scene.Objects(), "after");
    hook->onDraw = [&] {
      const bool fails = freed.find("then fails") != std::string::npos;  // the handler goes with the hook
      if (freed == "its parent")
        delete group;
      else if (freed == "its amalgamating parent")
        delete parent;
      else
        delete hook;
      if (fails) throw EInvalidOperation("failed");
    };
    drawn.clear();
    scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
    EXPECT_EQ(drawn, (std::vector<std::string>{"G", "", "after"})) << freed;
  }
  // A master whose drawing frees the proxy drawing it, children and all.
  scene.Objects()->DeleteChildren();
  auto* master = scene.Objects()->AddNewChild<TDrawHook>();
  master->SetVisible(false);
  master->log = &drawn;
  auto* proxy = scene.Objects()->AddNewChild<TGLProxyObject>();
  proxy->SetMasterObject(master);
  Spy(proxy, "child");
  Spy(scene.Objects(), "after");
  master->onDraw = [&] { delete proxy; };
  drawn.clear();
  scene.RenderScene(&buffer, 100, 100, dsRendering, nullptr);
  EXPECT_EQ(drawn, (std::vector<std::string>{"", "after"}));
  buffer.SetCamera(nullptr);
  context.DeactivateNested();
}

// A viewer's change handler that frees another buffer of the scene: every other buffer still
// hears of the change.
TEST_F(SceneFixture, AChangeReachesEveryBufferWhenAHandlerFreesOne) {
  auto first = std::make_unique<TGLSceneBuffer>(nullptr);
  TGLSceneBuffer second{nullptr}, third{nullptr};
  int heard = 0;
  scene.RemoveBuffer(&buffer);
  for (TGLSceneBuffer* b : {first.get(), &second, &third}) scene.AddBuffer(b);
  second.OnChange = [&](TObject*) {
    ++heard;
    scene.RemoveBuffer(first.get());
    first.reset();
  };
  third.OnChange = [&](TObject*) { ++heard; };
  scene.NotifyChange(nullptr);
  EXPECT_EQ(heard, 2);
  scene.RemoveBuffer(&second);
  scene.RemoveBuffer(&third);
  scene.AddBuffer(&buffer);
}
