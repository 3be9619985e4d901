// Tests of typed-item collections: archives and bad streams, unique and restricted item classes,
// item indices and assignment.
#include "Source/Base/XCollection.h"

#include <gtest/gtest.h>

namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

class TFoo : public TXCollectionItem {
  RTL_CLASS(TFoo, TXCollectionItem)
 public:
  int Level = 0;
  static std::string FriendlyName() { return "Foo"; }
  void WriteToFiler(TWriter* W) override {
    inherited::WriteToFiler(W);
    W->WriteInteger(0);
    W->WriteInteger(Level);
  }
  void ReadFromFiler(TReader* R) override {
    inherited::ReadFromFiler(R);
    RTL_ASSERT(R->ReadInteger() == 0);
    Level = R->ReadInteger();
  }
  void Assign(TPersistent* Source) override {
    if (auto* f = dynamic_cast<TFoo*>(Source)) Level = f->Level;
    inherited::Assign(Source);
  }
};

class TSolo : public TXCollectionItem {
  RTL_CLASS(TSolo, TXCollectionItem)
 public:
  static std::string FriendlyName() { return "Solo"; }
  static std::string FriendlyDescription() { return "Only one"; }
  static bool UniqueItem() { return true; }
};

class TSoloChild : public TSolo {
  RTL_CLASS(TSoloChild, TSolo)
 public:
  static std::string FriendlyName() { return "Solo child"; }
};

class TPicky : public TXCollectionItem {
  RTL_CLASS(TPicky, TXCollectionItem)
 public:
  static std::string FriendlyName() { return "Picky"; }
  static bool CanAddTo(TXCollection*) { return false; }
};

class TOwnerObj : public TPersistent {
  RTL_CLASS(TOwnerObj, TPersistent)
 public:
  std::string GetNamePath() override { return "Cube1"; }
};

class XCollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterXCollectionItemClass<TFoo>();
    RegisterXCollectionItemClass<TSolo>();
    RegisterXCollectionItemClass<TSoloChild>();
    RegisterXCollectionItemClass<TPicky>();
  }
  static std::string Save(TXCollection& c) {
    TStringStream s;
    TWriter w(&s);
    c.WriteToFiler(&w);
    return s.DataString();
  }
  static void Load(TXCollection& c, const std::string& data) {
    TStringStream s(data);
    TReader r(&s);
    c.ReadFromFiler(&r);
  }
};

TEST_F(XCollectionTest, TwoItemsOfOneClassNameTheClassOnce) {
  TXCollection c;
  auto* a = c.Add<TFoo>();
  auto* b = c.Add<TFoo>();
  a->SetName("A");
  b->SetName("B");
  b->Level = 300;
  std::string item = Bytes({2, 0, 6, 1});
  EXPECT_EQ(Save(c), Bytes({2, 2, 6, 4}) + "TFoo" + item + "A" + Bytes({2, 0, 2, 0}) + Bytes({2, 0}) + item + "B" +
                         Bytes({2, 0, 3, 0x2C, 0x01}));

  TXCollection back;
  Load(back, Save(c));
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.Items(1)->Name(), "B");
  EXPECT_EQ(static_cast<TFoo*>(back.Items(1))->Level, 300);
  EXPECT_EQ(back.Items(1)->Owner(), &back);

  TXCollection empty;
  EXPECT_EQ(Save(empty), Bytes({2, 0}));
  Load(back, Bytes({2, 0}));
  EXPECT_EQ(back.Count(), 0);
}

TEST_F(XCollectionTest, BadStreamsFailWithClearTexts) {
  TXCollection c;
  try {
    Load(c, Bytes({2, 1, 6, 4}) + "TBar" + Bytes({2, 0, 6, 0}));
    ADD_FAILURE();
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(std::string(e.Message()).find("Class TBar unknown. Add the relevant unit to your \"uses\"."),
              std::string::npos);
  }
  EXPECT_THROW(Load(c, Bytes({2, 1, 2, 0, 2, 0, 6, 0})), EAssertionFailed);                     // index, no class yet
  EXPECT_THROW(Load(c, Bytes({2, 1, 6, 4}) + "TFoo" + Bytes({2, 1, 6, 0})), EAssertionFailed);  // version 1
  EXPECT_THROW(Load(c, Bytes({2, 5, 6, 4}) + "TFoo" + Bytes({2, 0})), EReadError);              // cut short
  EXPECT_THROW(Load(c, Bytes({2, 0xFF})), EReadError);                                          // negative count
}

TEST_F(XCollectionTest, UniqueAndRestrictedClassesAreRefused) {
  TXCollection c;
  c.Add<TSolo>();
  EXPECT_FALSE(c.CanAdd(TSolo::StaticClass()));
  EXPECT_FALSE(c.CanAdd(TSoloChild::StaticClass()));
  try {
    c.Add<TSolo>();
    ADD_FAILURE();
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(std::string(e.Message()).find("Addition of TSolo to TXCollection rejected."), std::string::npos);
  }
  EXPECT_EQ(c.Count(), 1);
  EXPECT_TRUE(c.CanAdd(TFoo::StaticClass()));
  EXPECT_FALSE(c.CanAdd(TPicky::StaticClass()));

  TXCollection d;
  d.Add<TSoloChild>();
  EXPECT_FALSE(d.CanAdd(TSolo::StaticClass()));  // a unique class with a descendant present
}

TEST_F(XCollectionTest, ItemsKnowTheirPlace) {
  TOwnerObj owner;
  TXCollection c(&owner);
  auto* foo = c.Add<TFoo>();
  auto* solo = c.Add<TSoloChild>();
  EXPECT_EQ(c.IndexOfClass(TSolo::StaticClass()), 1);
  EXPECT_EQ(c.IndexOfClass(TPicky::StaticClass()), -1);
  EXPECT_EQ(solo->GetNamePath(), "Cube1.XCollection[1]");
  EXPECT_EQ(TXCollection().GetNamePath(), "TXCollection");
  EXPECT_EQ(solo->ItemClassInfo().FriendlyDescription(), "Only one");
  EXPECT_EQ(foo->ItemClassInfo().FriendlyDescription(), "Foo");

  delete foo;
  EXPECT_EQ(c.Count(), 1);
  EXPECT_EQ(solo->Index(), 0);

  TXCollectionItem* loose = CreateXCollectionItem(TFoo::StaticClass(), nullptr);
  EXPECT_EQ(loose->Name(), "Foo");
  EXPECT_EQ(loose->Index(), -1);
  delete loose;

  EXPECT_EQ(FindXCollectionItemClass("TFoo"), TFoo::StaticClass());
  EXPECT_EQ(FindXCollectionItemClass("tfoo"), nullptr);
}

TEST_F(XCollectionTest, AssignCopiesItemsOfTheSameCollectionClass) {
  TXCollection a, b;
  a.Add<TFoo>()->Level = 7;
  a.Add<TSolo>()->SetName("S");
  b.Add<TFoo>();
  b.Assign(&a);
  ASSERT_EQ(b.Count(), 2);
  EXPECT_EQ(static_cast<TFoo*>(b.Items(0))->Level, 7);
  EXPECT_EQ(b.Items(1)->Name(), "S");
  EXPECT_EQ(b.Items(1)->ClassName(), "TSolo");
  b.Assign(nullptr);
  EXPECT_EQ(b.Count(), 0);
}

}  // namespace
