// Tests of class metadata, the class registry and its factories, and sets.
#include "rtl/Classes.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class TShape : public TPersistent {
  RTL_CLASS(TShape, TPersistent)
 public:
  virtual int Corners() const = 0;
};

class TSquare : public TShape {
  RTL_CLASS(TSquare, TShape)
 public:
  int Corners() const override { return 4; }
};

class TFancySquare : public TSquare {
  RTL_CLASS(TFancySquare, TSquare)
};

class TPart : public TComponent {
  RTL_CLASS(TPart, TComponent)
 public:
  explicit TPart(TComponent* AOwner) : TComponent(AOwner) {}
};

// Another class that happens to carry the name "TSquare".
class TImpostor : public TObject {
  RTL_CLASS(TImpostor, TObject)
 public:
  static TClass Fake() noexcept {
    static const TClassInfo info = rtl::detail::MakeClassInfo<TImpostor>("TSquare", TObject::StaticClass());
    return &info;
  }
};

struct RegistryFixture : ::testing::Test {
  void SetUp() override {
    RegisterClasses({TSquare::StaticClass(), TFancySquare::StaticClass(), TPart::StaticClass()});
  }
  void TearDown() override {
    UnRegisterClass(TSquare::StaticClass());
    UnRegisterClass(TFancySquare::StaticClass());
    UnRegisterClass(TPart::StaticClass());
  }
};

}  // namespace

TEST(ClassInfo, NamesAndAncestryComeFromTheOneDeclaration) {
  TFancySquare fancy;
  TObject* obj = &fancy;
  EXPECT_EQ(obj->ClassName(), "TFancySquare");
  EXPECT_EQ(obj->ClassType(), TFancySquare::StaticClass());
  EXPECT_EQ(obj->ClassParent(), TSquare::StaticClass());
  EXPECT_TRUE(obj->Is<TShape>());
  EXPECT_TRUE(obj->Is<TPersistent>());
  EXPECT_TRUE(obj->Is<TObject>());
  EXPECT_FALSE(obj->Is<TComponent>());
  EXPECT_FALSE(TSquare::StaticClass()->InheritsFrom(TFancySquare::StaticClass()));
  EXPECT_FALSE(TSquare::StaticClass()->InheritsFrom(nullptr));
  EXPECT_EQ(TObject::StaticClass()->Parent, nullptr);
  // Exceptions carry their exact names too.
  EListError e("x");
  EXPECT_EQ(e.ClassName(), "EListError");
  EXPECT_TRUE(e.Is<Exception>());
  EXPECT_TRUE(EReadError::StaticClass()->InheritsFrom(EStreamError::StaticClass()));

  // The checked cast takes descendants, passes nil on and refuses other classes.
  EXPECT_EQ(As<TSquare>(obj), &fancy);
  EXPECT_EQ(As<TSquare>(nullptr), nullptr);
  TPart part(nullptr);
  try {
    As<TSquare>(&part);
    FAIL() << "no exception";
  } catch (const EInvalidCast& e) {
    EXPECT_EQ(e.Message(), "Invalid class typecast");
  }
}

TEST_F(RegistryFixture, LookupIsByExactName) {
  EXPECT_EQ(FindClass("TSquare"), TSquare::StaticClass());
  EXPECT_EQ(GetClass("TFancySquare"), TFancySquare::StaticClass());
  EXPECT_EQ(GetClass("tsquare"), nullptr);
  EXPECT_EQ(GetClass("TSquare "), nullptr);
  EXPECT_EQ(GetClass(""), nullptr);
  try {
    FindClass("TCircle");
    FAIL() << "no exception";
  } catch (const EClassNotFound& e) {
    EXPECT_EQ(e.Message(), "Class TCircle not found");
  }
  // Registering again is harmless; another class under a taken name is refused.
  EXPECT_NO_THROW(RegisterClass(TSquare::StaticClass()));
  EXPECT_THROW(RegisterClass(TImpostor::Fake()), EFilerError);
  EXPECT_EQ(FindClass("TSquare"), TSquare::StaticClass());
  UnRegisterClass(TSquare::StaticClass());
  EXPECT_EQ(GetClass("TSquare"), nullptr);
  EXPECT_EQ(GetClass("TFancySquare"), TFancySquare::StaticClass());
}

TEST_F(RegistryFixture, FactoriesCreateTheRegisteredClass) {
  std::unique_ptr<TObject> made(FindClass("TFancySquare")->Create());
  EXPECT_EQ(made->ClassName(), "TFancySquare");
  EXPECT_EQ(dynamic_cast<TShape*>(made.get())->Corners(), 4);

  // Abstract classes cannot be created; components get their owner.
  EXPECT_THROW(TShape::StaticClass()->Create(), EInvalidOperation);
  TComponent owner(nullptr);
  TComponent* part = CreateComponent(FindClass("TPart"), &owner);
  EXPECT_EQ(part->ClassName(), "TPart");
  EXPECT_EQ(part->Owner(), &owner);
  EXPECT_EQ(owner.ComponentCount(), 1);
  // A wrong owner type or a non-component class is refused, not miscast.
  TSquare notAComponent;
  EXPECT_THROW(TPart::StaticClass()->Create(&notAComponent), EInvalidCast);
  EXPECT_THROW(CreateComponent(TSquare::StaticClass(), &owner), EInvalidCast);
  EXPECT_THROW(TSquare::StaticClass()->Create(&owner), EInvalidOperation);
}

TEST(Set, MembershipAndAlgebra) {
  TComponentState s{csLoading, csReading};
  EXPECT_TRUE(s.Contains(csLoading));
  EXPECT_FALSE(s.Contains(csWriting));
  s -= csLoading;
  EXPECT_FALSE(s.Contains(csLoading));
  s += csDesigning;
  EXPECT_EQ(s, (TComponentState{csReading, csDesigning}));
  EXPECT_EQ((s * TComponentState{csDesigning, csInline}), TComponentState{csDesigning});
  EXPECT_TRUE(TComponentState{csReading} <= s);
  EXPECT_FALSE(s <= TComponentState{csReading});
  EXPECT_TRUE((s - s).Empty());
}
