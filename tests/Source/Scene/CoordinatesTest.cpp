// Tests of coordinates: change routes to the owner, styles, vector operations, the stored form
// and rejected values, and the manager registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Source/Base/VectorGeometry.h"
#include "Source/Scene/GLCoordinates.h"
#include "rtl/Streaming.h"

namespace {

// A scene-node-like component: owns its position, counts what reaches it.
class TCoordOwnerComponent : public TGLCoordinatesUpdateAbleComponent {
  RTL_CLASS(TCoordOwnerComponent, TGLCoordinatesUpdateAbleComponent)
 public:
  explicit TCoordOwnerComponent(TComponent* AOwner)
      : TGLCoordinatesUpdateAbleComponent(AOwner),
        position_(std::make_unique<TGLCoordinates>(this, TVector4f{0, 0, 0, 1}, csPoint)) {}
  void CoordinateChanged(TGLCoordinates* Sender) override {
    ++coordinateChanges;
    lastSender = Sender;
  }
  void NotifyChange(TObject* Sender) override {
    ++changes;
    inherited::NotifyChange(Sender);
  }
  TGLCoordinates* Position() const { return position_.get(); }

  int coordinateChanges = 0, changes = 0;
  TGLCoordinates* lastSender = nullptr;

 private:
  std::unique_ptr<TGLCoordinates> position_;
};

// A plain update-able component (not told about coordinates directly).
class TPlainOwnerComponent : public TGLUpdateAbleComponent {
  RTL_CLASS(TPlainOwnerComponent, TGLUpdateAbleComponent)
 public:
  using TGLUpdateAbleComponent::TGLUpdateAbleComponent;
  void NotifyChange(TObject* Sender) override {
    ++changes;
    inherited::NotifyChange(Sender);
  }
  int changes = 0;
};

class TCountingObject : public TGLUpdateAbleObject {
  RTL_CLASS(TCountingObject, TGLUpdateAbleObject)
 public:
  using TGLUpdateAbleObject::TGLUpdateAbleObject;
  void NotifyChange(TObject* Sender) override {
    ++changes;
    inherited::NotifyChange(Sender);
  }
  int changes = 0;
};

void RegisterTestClasses() {
  RegisterGLCoordinatesClasses();
  RegisterClass(TCoordOwnerComponent::StaticClass());
  TPublished<TCoordOwnerComponent>().Object("Position", &TCoordOwnerComponent::Position);
}

std::vector<uint8_t> Bytes(TMemoryStream& s) {
  const auto* p = static_cast<const uint8_t*>(s.Memory());
  return std::vector<uint8_t>(p, p + s.Size());
}

std::vector<uint8_t> RawBytes(const TVector4f& v) {
  std::vector<uint8_t> b(16);
  std::memcpy(b.data(), v.V, 16);
  return b;
}

bool Contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

}  // namespace

TEST(Coordinates, ChangesReachTheOwnerByTheRightRoute) {
  // A coordinates-update-able owner hears CoordinateChanged only; the event stays silent.
  TCoordOwnerComponent node(nullptr);
  int events = 0;
  node.Position()->OnNotifyChange = [&](TObject*) { ++events; };
  node.Position()->SetX(5);
  EXPECT_EQ(node.coordinateChanges, 1);
  EXPECT_EQ(node.lastSender, node.Position());
  EXPECT_EQ(node.changes, 0);
  EXPECT_EQ(events, 0);

  // No owner: nothing at all, the event included.
  TGLCoordinates lonely(nullptr);
  lonely.OnNotifyChange = [&](TObject*) { ++events; };
  lonely.SetY(1);
  lonely.AssignVector({1, 2, 3, 4});
  EXPECT_EQ(events, 0);

  // An update-able object owner: its NotifyChange, then the event; nothing inside an update.
  TCountingObject holder(nullptr);
  TGLCoordinates owned(&holder);
  TObject* eventSender = nullptr;
  owned.OnNotifyChange = [&](TObject* s) { eventSender = s; };
  owned.SetZ(2);
  EXPECT_EQ(holder.changes, 1);
  EXPECT_EQ(eventSender, &owned);
  owned.BeginUpdate();
  owned.SetZ(3);
  owned.ScaleXYZ(2);
  EXPECT_EQ(holder.changes, 1);
  owned.EndUpdate();
  EXPECT_EQ(holder.changes, 2);  // once for the whole update
  EXPECT_THROW(owned.EndUpdate(), EAssertionFailed);

  // A plain update-able component passes the change up to an update-able owner component.
  TPlainOwnerComponent top(nullptr);
  auto* middle = new TPlainOwnerComponent(&top);
  TGLCoordinates c(middle);
  c.SetX(1);
  EXPECT_EQ(middle->changes, 1);
  EXPECT_EQ(top.changes, 1);
}

TEST(Coordinates, StylesDecideW) {
  TGLCoordinates point(nullptr, {0, 0, 0, 1}, csPoint);
  point.AssignVector({1, 2, 3, 0});
  EXPECT_TRUE(point.EqualsVector({1, 2, 3, 1}));
  point.AssignAffineVector({4, 5, 6});
  EXPECT_TRUE(point.EqualsVector({4, 5, 6, 1}));
  point.SetXYZAsPoint(7, 8, 9);
  EXPECT_TRUE(point.EqualsVector({7, 8, 9, 1}));
  EXPECT_THROW(point.SetXYZAsVector(1, 0, 0), EAssertionFailed);
  EXPECT_THROW(point.SetXYZW(1, 0, 0, 1), EAssertionFailed);
  EXPECT_TRUE(point.EqualsVector({7, 8, 9, 1}));  // refused calls change nothing

  TGLCoordinates vec(nullptr, {0, 0, 1, 0}, csVector);
  vec.AssignVector({1, 2, 3, 1});
  EXPECT_TRUE(vec.EqualsVector({1, 2, 3, 0}));
  EXPECT_THROW(vec.SetXYZAsPoint(1, 0, 0), EAssertionFailed);
  vec.SetXYZW(1, 2, 3, 4);
  EXPECT_EQ(vec.W(), 4);

  TGLCoordinates free(nullptr, {0, 0, 0, 0}, csFree);
  free.AssignVector({1, 2, 3, 0.5f});
  EXPECT_EQ(free.W(), 0.5f);
  free.AssignAffineVector({1, 1, 1});
  EXPECT_EQ(free.W(), 0);

  // Created without a value: (0, 0, 0, 0) with the first style, a point.
  const std::unique_ptr<TGLCoordinates> plains[] = {std::make_unique<TGLCoordinates>(nullptr),
                                                    std::make_unique<TGLCoordinates4>(nullptr)};
  for (const auto& plain : plains) {
    EXPECT_EQ(plain->Style(), csPoint);
    EXPECT_TRUE(plain->EqualsVector({0, 0, 0, 0}));
    EXPECT_THROW(plain->SetXYZW(1, 2, 3, 0), EAssertionFailed);
    plain->AssignVector({1, 2, 3, 0});
    EXPECT_TRUE(plain->EqualsVector({1, 2, 3, 1}));
  }
}

TEST(Coordinates, VectorOperations) {
  TGLCoordinates p(nullptr, {3, 0, 4, 1}, csPoint);
  p.NormalizeXYZ();
  EXPECT_TRUE(p.EqualsVector({0.6f, 0, 0.8f, 0}));  // w := 0 even for a point

  TGLCoordinates s(nullptr, {1, 2, 3, 7}, csFree);
  s.ScaleXYZ(2);
  EXPECT_TRUE(s.EqualsVector({2, 4, 6, 7}));
  s.AddVectorTimesFactor({1, 1, 1, 1}, 0.5f);
  EXPECT_TRUE(s.EqualsVector({2.5f, 4.5f, 6.5f, 7.5f}));
  EXPECT_FLOAT_EQ(TGLCoordinates(nullptr, {2, 3, 6, 9}, csFree).LengthXYZ(), 7);

  TGLCoordinates r(nullptr, {1, 0, 0, 0}, csVector);
  r.RotateAboutAxis(ZVector, float(M_PI / 2));
  EXPECT_NEAR(r.X(), 0, 1e-6);
  EXPECT_NEAR(r.Y(), -1, 1e-6);

  EXPECT_FALSE(TGLCoordinates(nullptr, {0, 0, 0, 0}, csFree).EqualsVector({-0.0f, 0, 0, 0}));

  // Silent writes.
  TCoordOwnerComponent node(nullptr);
  node.Position()->StoreVector({1, 2, 3, 1});
  TGLCoordinates other(nullptr, {9, 9, 9, 1}, csPoint);
  node.Position()->Assign(&other);
  EXPECT_EQ(node.coordinateChanges, 0);
  EXPECT_TRUE(node.Position()->EqualsVector({9, 9, 9, 1}));
  float* raw = node.Position()->GetCoordinatesAddress();
  raw[0] = 4;
  EXPECT_EQ(node.Position()->X(), 4);

  TCountingObject notCoordinates(nullptr);
  EXPECT_THROW(node.Position()->Assign(&notCoordinates), EConvertError);
}

TEST(Coordinates, StoredAsSixteenRawBytes) {
  RegisterTestClasses();
  const TVector4f value{1.5f, -2, 3.25f, 1};
  TCoordOwnerComponent root(nullptr);
  root.SetName("Node1");
  root.Position()->StoreVector(value);

  TMemoryStream stream;
  {
    TWriter writer(&stream);
    writer.WriteRootComponent(&root);
  }
  std::vector<uint8_t> expected = {20};
  for (char ch : std::string("Position.Coordinates")) expected.push_back(uint8_t(ch));
  expected.insert(expected.end(), {10, 16, 0, 0, 0});
  const auto raw = RawBytes(value);
  expected.insert(expected.end(), raw.begin(), raw.end());
  EXPECT_TRUE(Contains(Bytes(stream), expected));
  // X, Y, Z are never written on their own.
  EXPECT_FALSE(Contains(Bytes(stream), {10, 'P', 'o', 's', 'i', 't', 'i', 'o', 'n', '.', 'X'}));

  // Read back: the value arrives without a notification.
  stream.SetPosition(0);
  TCoordOwnerComponent copy(nullptr);
  {
    TReader reader(&stream);
    reader.ReadRootComponent(&copy);
  }
  EXPECT_TRUE(copy.Position()->EqualsVector(value));
  EXPECT_EQ(copy.coordinateChanges, 0);

  // The default value (0, 0, 0, 1) is stored all the same.
  TMemoryStream defaults;
  TCoordOwnerComponent plain(nullptr);
  {
    TWriter writer(&defaults);
    writer.WriteRootComponent(&plain);
  }
  EXPECT_TRUE(Contains(Bytes(defaults), RawBytes({0, 0, 0, 1})));
}

TEST(Coordinates, ShortOrMistypedStoredValuesAreRejected) {
  RegisterTestClasses();
  // Binary value of 12 bytes instead of 16.
  TMemoryStream stream;
  {
    TWriter w(&stream);
    w.WriteStr("Coordinates");
    w.WriteValue(vaBinary);
    const uint8_t len[4] = {12, 0, 0, 0};
    w.Write(len, 4);
    const float three[3] = {7, 7, 7};
    w.Write(three, 12);
    w.WriteListEnd();
  }
  TGLCoordinates c(nullptr, {1, 2, 3, 1}, csPoint);
  stream.SetPosition(0);
  {
    TReader r(&stream);
    EXPECT_THROW(r.ReadProperties(&c), EReadError);
  }
  EXPECT_TRUE(c.EqualsVector({1, 2, 3, 1}));
}

TEST(Coordinates, FilerForm) {
  const TVector4f value{1, 2, 3, 0};
  TGLCoordinates c(nullptr, value, csVector);
  TMemoryStream stream;
  {
    TWriter w(&stream);
    c.WriteToFiler(&w);
  }
  std::vector<uint8_t> expected = {0x02, 0x00, 0x09};
  const auto raw = RawBytes(value);
  expected.insert(expected.end(), raw.begin(), raw.end());
  EXPECT_EQ(Bytes(stream), expected);

  // Any version is accepted; false means no value follows.
  TMemoryStream other;
  {
    TWriter w(&other);
    w.WriteInteger(7);
    w.WriteBoolean(true);
    w.Write(value.V, 16);
    w.WriteInteger(3);
    w.WriteBoolean(false);
    w.WriteInteger(0);
    w.WriteBoolean(true);
    w.Write(value.V, 8);  // cut short
  }
  other.SetPosition(0);
  TReader r(&other);
  TGLCoordinates d(nullptr, {0, 0, 0, 1}, csFree);
  d.ReadFromFiler(&r);
  EXPECT_TRUE(d.EqualsVector(value));
  d.StoreVector({5, 5, 5, 5});
  d.ReadFromFiler(&r);
  EXPECT_TRUE(d.EqualsVector({5, 5, 5, 5}));
  EXPECT_THROW(d.ReadFromFiler(&r), EReadError);
  EXPECT_TRUE(d.EqualsVector({5, 5, 5, 5}));
}

TEST(Coordinates, ManagerRegistry) {
  TPlainOwnerComponent a(nullptr), b(nullptr), c(nullptr);
  TCoordOwnerComponent other(nullptr);
  a.SetName("Mgr");
  b.SetName("Mgr");
  c.SetName("mgr");
  other.SetName("Mgr");
  EXPECT_EQ(LookUpRegisteredManager(TPlainOwnerComponent::StaticClass(), "Mgr"), nullptr);
  const int ia = AddToManagerRegistry(&a);
  EXPECT_EQ(AddToManagerRegistry(&a), ia);  // no duplicates
  AddToManagerRegistry(&other);
  AddToManagerRegistry(&b);
  AddToManagerRegistry(&c);
  EXPECT_EQ(LookUpRegisteredManager(TPlainOwnerComponent::StaticClass(), "Mgr"), &a);
  EXPECT_EQ(LookUpRegisteredManager(TPlainOwnerComponent::StaticClass(), "mgr"), &c);  // case-sensitive
  EXPECT_EQ(LookUpRegisteredManager(TCoordOwnerComponent::StaticClass(), "Mgr"), &other);
  EXPECT_EQ(LookUpRegisteredManager(TGLUpdateAbleComponent::StaticClass(), "Mgr"), &a);  // descendants count
  RemoveFromManagerRegistry(&a);
  EXPECT_EQ(LookUpRegisteredManager(TPlainOwnerComponent::StaticClass(), "Mgr"), &b);
  for (TComponent* m : {static_cast<TComponent*>(&b), static_cast<TComponent*>(&c), static_cast<TComponent*>(&other)})
    RemoveFromManagerRegistry(m);
  EXPECT_EQ(LookUpRegisteredManager(TGLUpdateAbleComponent::StaticClass(), "Mgr"), nullptr);
}
