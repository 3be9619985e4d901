// Tests of components and collections: ownership and free notification, names, loading states,
// assignment, and item ids, moves and updates.
#include "rtl/Classes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string>* g_log = nullptr;

class TLogged : public TComponent {
  RTL_CLASS(TLogged, TComponent)
 public:
  explicit TLogged(TComponent* AOwner) : TComponent(AOwner) {}
  ~TLogged() override {
    if (g_log) g_log->push_back("free " + Name());
  }
};

// Holds a reference to a component it does not own and forgets it on free notification.
class THolder : public TComponent {
  RTL_CLASS(THolder, TComponent)
 public:
  explicit THolder(TComponent* AOwner) : TComponent(AOwner) {}
  TComponent* Target = nullptr;
  int removals = 0;
  void SetTarget(TComponent* value) {
    Target = value;
    if (value) value->FreeNotification(this);
  }
  void Notification(TComponent* AComponent, TOperation Operation) override {
    inherited::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == Target) {
      Target = nullptr;
      ++removals;
    }
  }
};

}  // namespace

TEST(Component, OwnerFreesOwnedLastFirstAndNotificationClearsForeignReferences) {
  std::vector<std::string> log;
  g_log = &log;
  auto* holder = new THolder(nullptr);
  {
    auto* root = new TLogged(nullptr);
    root->SetName("root");
    auto* a = new TLogged(root);
    a->SetName("a");
    auto* b = new TLogged(root);
    b->SetName("b");
    auto* c = new TLogged(b);
    c->SetName("c");
    holder->SetTarget(c);
    EXPECT_EQ(root->ComponentCount(), 2);
    EXPECT_EQ(root->FindComponent("B"), b);
    FreeObject(root);
  }
  g_log = nullptr;
  // A derived destructor runs before the owned components go (last first, depth first).
  EXPECT_EQ(log, (std::vector<std::string>{"free root", "free b", "free c", "free a"}));
  EXPECT_EQ(holder->Target, nullptr);
  EXPECT_EQ(holder->removals, 1);
  delete holder;
}

namespace {

// Records the notifications it receives; optionally "forgets" to call the inherited handler.
class TListener : public TComponent {
  RTL_CLASS(TListener, TComponent)
 public:
  explicit TListener(TComponent* AOwner, bool callInherited = true)
      : TComponent(AOwner), callInherited_(callInherited) {}
  std::vector<std::pair<TComponent*, TOperation>> heard;
  void Notification(TComponent* AComponent, TOperation Operation) override {
    if (callInherited_) inherited::Notification(AComponent, Operation);
    heard.emplace_back(AComponent, Operation);
  }

 private:
  bool callInherited_;
};

// Notes whether csDestroying was already set when its own destructor ran.
class TStateProbe : public TComponent {
  RTL_CLASS(TStateProbe, TComponent)
 public:
  explicit TStateProbe(TComponent* AOwner, bool* seen) : TComponent(AOwner), seen_(seen) {}
  ~TStateProbe() override { *seen_ = ComponentState().Contains(csDestroying); }

 private:
  bool* seen_;
};

}  // namespace

TEST(Component, SiblingsHearOfEachOtherThroughTheirOwner) {
  TComponent owner(nullptr);
  auto* listener = new TListener(&owner);
  auto* other = new TComponent(&owner);
  // Its own insertion came while it was still being constructed, so it hears the sibling's only.
  ASSERT_EQ(listener->heard.size(), 1u);
  EXPECT_EQ(listener->heard[0], std::make_pair(other, opInsert));
  delete other;
  ASSERT_EQ(listener->heard.size(), 2u);
  EXPECT_EQ(listener->heard[1], std::make_pair(other, opRemove));
  EXPECT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(owner.Components(0), listener);
  EXPECT_THROW(owner.Components(1), EListError);
}

TEST(Component, FreeNotificationWorksBothWaysAndCanBeUndone) {
  auto* a = new TListener(nullptr);
  auto* b = new TListener(nullptr, /*callInherited=*/false);
  auto* c = new TListener(nullptr);
  a->FreeNotification(b);
  a->FreeNotification(c);
  a->RemoveFreeNotification(c);
  const auto aAddress = reinterpret_cast<std::uintptr_t>(static_cast<TComponent*>(a));
  delete a;  // b must hear even though it does not call the inherited handler
  ASSERT_EQ(b->heard.size(), 1u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b->heard[0].first), aAddress);
  EXPECT_EQ(b->heard[0].second, opRemove);
  EXPECT_TRUE(c->heard.empty());

  // The link was mutual: freeing the listener first is safe and tells the other side.
  auto* d = new TListener(nullptr);
  d->FreeNotification(c);
  delete c;
  ASSERT_EQ(d->heard.size(), 1u);
  delete d;
  delete b;
}

TEST(Component, DestroyingIsSetBeforeDerivedDestructorsWhenFreedByOwnerOrFreeAndNil) {
  bool rootSaw = false, childSaw = false;
  TComponent* root = new TStateProbe(nullptr, &rootSaw);
  new TStateProbe(root, &childSaw);
  FreeAndNil(root);
  EXPECT_EQ(root, nullptr);
  EXPECT_TRUE(rootSaw);
  EXPECT_TRUE(childSaw);
}

TEST(Component, NamesAreValidatedAndUniquePerOwnerIgnoringCase) {
  TComponent owner(nullptr);
  auto* a = new TComponent(&owner);
  auto* b = new TComponent(&owner);
  a->SetName("Cube1");
  EXPECT_EQ(owner.FindComponent("cube1"), a);
  try {
    b->SetName("CUBE1");
    FAIL() << "no exception";
  } catch (const EComponentError& e) {
    EXPECT_EQ(e.Message(), "A component named CUBE1 already exists");
  }
  EXPECT_EQ(b->Name(), "");
  try {
    b->SetName("1bad");
    FAIL() << "no exception";
  } catch (const EComponentError& e) {
    EXPECT_EQ(e.Message(), "'1bad' is not a valid component name");
  }
  a->SetName("cube1");  // a change of case of its own name is allowed
  a->SetName("Renamed");
  EXPECT_EQ(owner.FindComponent("Cube1"), nullptr);
  EXPECT_EQ(owner.FindComponent("renamed"), a);
  b->SetName("Cube1");
  EXPECT_EQ(b->GetNamePath(), "Cube1");

  // Moving to another owner keeps the name index of both owners right.
  TComponent other(nullptr);
  other.InsertComponent(a);
  EXPECT_EQ(a->Owner(), &other);
  EXPECT_EQ(owner.FindComponent("Renamed"), nullptr);
  EXPECT_EQ(other.FindComponent("RENAMED"), a);
  auto* clash = new TComponent(&other);
  clash->SetName("Cube1");
  EXPECT_THROW(other.InsertComponent(b), EComponentError);
  EXPECT_EQ(b->Owner(), &owner);
  owner.RemoveComponent(b);
  EXPECT_EQ(b->Owner(), nullptr);
  delete b;
}

TEST(Component, LoadedClearsLoadingAndDesigningReachesTheTree) {
  TComponent root(nullptr);
  auto* child = new TComponent(&root);
  root.IncludeState(csLoading);
  root.Loaded();
  EXPECT_FALSE(root.ComponentState().Contains(csLoading));
  root.SetDesigning(true);
  EXPECT_TRUE(child->ComponentState().Contains(csDesigning));
  auto* late = new TComponent(&root);
  EXPECT_TRUE(late->ComponentState().Contains(csDesigning));
  // Without an installed streaming layer, reading a component state is a clear error.
  EXPECT_THROW(root.ReadState(nullptr), EFilerError);
}

TEST(Persistent, AssignWithoutAKnownRouteNamesBothClasses) {
  TComponent a(nullptr), b(nullptr);
  try {
    a.Assign(&b);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TComponent to a TComponent");
  }
  try {
    a.Assign(nullptr);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a nil to a TComponent");
  }
}

// ---------------------------------------------------------------------------------------------
// Collections

namespace {

class TPoint3 : public TCollectionItem {
  RTL_CLASS(TPoint3, TCollectionItem)
 public:
  explicit TPoint3(TCollection* Collection) : TCollectionItem(Collection) {}
  int X = 0;
  void SetX(int v) {
    X = v;
    Changed(false);
  }
  void Assign(TPersistent* Source) override {
    if (auto* p = dynamic_cast<TPoint3*>(Source)) {
      X = p->X;
      return;
    }
    inherited::Assign(Source);
  }
};

class TPoints : public TOwnedCollection {
  RTL_CLASS(TPoints, TOwnedCollection)
 public:
  explicit TPoints(TPersistent* AOwner) : TOwnedCollection(AOwner, TPoint3::StaticClass()) {}
  std::vector<TCollectionItem*> updates;
  std::vector<bool> addedWhole;  // per cnAdded: was the item already a complete TPoint3?
  void Update(TCollectionItem* Item) override { updates.push_back(Item); }

 protected:
  void Notify(TCollectionItem* Item, TCollectionNotification Action) override {
    if (Action == cnAdded) addedWhole.push_back(dynamic_cast<TPoint3*>(Item) != nullptr);
  }
};

}  // namespace

TEST(Collection, ItemsKeepIdsAndIndicesThroughInsertDeleteAndMove) {
  TPoints points(nullptr);
  auto* p0 = points.AddAs<TPoint3>();
  auto* p1 = points.AddAs<TPoint3>();
  auto* mid = static_cast<TPoint3*>(points.Insert(1));
  EXPECT_EQ(points.Count(), 3);
  EXPECT_EQ(mid->Index(), 1);
  EXPECT_EQ(p1->Index(), 2);
  EXPECT_EQ((std::vector<int>{p0->ID(), p1->ID(), mid->ID()}), (std::vector<int>{0, 1, 2}));
  points.Delete(0);
  EXPECT_EQ(mid->Index(), 0);
  auto* p3 = points.AddAs<TPoint3>();
  EXPECT_EQ(p3->ID(), 3);  // IDs are never reused
  EXPECT_EQ(points.FindItemID(1), p1);
  EXPECT_EQ(points.FindItemID(0), nullptr);
  p3->SetIndex(0);
  EXPECT_EQ(points.Items(0), p3);
  EXPECT_THROW(p3->SetIndex(5), EListError);
  EXPECT_THROW(points.Items(3), EListError);
  EXPECT_THROW(points.Insert(9), EListError);
  delete p1;  // freeing an item takes it out of its collection
  EXPECT_EQ(points.Count(), 2);
  EXPECT_EQ(mid->Index(), 1);
  // Add reports items once they are whole; a bare `new` reports during construction.
  EXPECT_EQ(points.addedWhole, (std::vector<bool>{true, true, true, true}));
  new TPoint3(&points);
  EXPECT_EQ(points.addedWhole.back(), false);
  EXPECT_EQ(points.Count(), 3);
}

TEST(Collection, UpdatesAreHeldWhileUpdatingAndReportedOnceAfterwards) {
  TPoints points(nullptr);
  auto* p = points.AddAs<TPoint3>();
  points.updates.clear();
  p->SetX(5);
  ASSERT_EQ(points.updates.size(), 1u);
  EXPECT_EQ(points.updates[0], p);

  points.updates.clear();
  points.BeginUpdate();
  points.BeginUpdate();
  p->SetX(6);
  points.Add();
  points.EndUpdate();
  EXPECT_TRUE(points.updates.empty());
  points.EndUpdate();
  ASSERT_EQ(points.updates.size(), 1u);
  EXPECT_EQ(points.updates[0], nullptr);
  // An unbalanced EndUpdate does not drive the count negative (which would mute updates).
  points.EndUpdate();
  points.updates.clear();
  p->SetX(7);
  EXPECT_EQ(points.updates.size(), 1u);
}

TEST(Collection, AssignCopiesItemsAndNamePathsFollowTheOwner) {
  TComponent form(nullptr);
  form.SetName("Form1");
  TPoints a(&form), b(nullptr);
  a.SetPropName("Nodes");
  a.AddAs<TPoint3>()->X = 1;
  a.AddAs<TPoint3>()->X = 2;
  b.AddAs<TPoint3>()->X = 9;
  b.Assign(&a);
  ASSERT_EQ(b.Count(), 2);
  EXPECT_EQ(b.ItemAs<TPoint3>(1)->X, 2);
  EXPECT_EQ(a.GetNamePath(), "Form1.Nodes");
  EXPECT_EQ(a.Items(1)->GetNamePath(), "Form1.Nodes[1]");
  EXPECT_EQ(b.GetNamePath(), "TPoints");
  EXPECT_THROW(b.Assign(&form), EConvertError);
  EXPECT_THROW(TCollection{TComponent::StaticClass()}, EInvalidCast);
}
