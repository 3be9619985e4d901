// Tests of component streaming: default values, component trees with references, reading into a
// root, bad streams, hostile lengths, and typed accessors.
#include "rtl/Streaming.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

std::vector<std::string> loadedLog;
std::string refuseLoadedOf;  // a node of this name raises from its Loaded()

enum TShape { shCube, shSphere, shCone };
enum TOpt { opA, opB, opC };

// A sub-object with published singles and a defined binary property.
class TTestCoords : public TPersistent {
  RTL_CLASS(TTestCoords, TPersistent)
 public:
  float V[4] = {0, 0, 0, 1};
  float X() const { return V[0]; }
  void SetX(float v) { V[0] = v; }
  void DefineProperties(TFiler* F) override {
    F->DefineBinaryProperty(
        "Coordinates", [this](TStream* S) { S->ReadBuffer(V, 16); }, [this](TStream* S) { S->WriteBuffer(V, 16); },
        true);
  }
};

class TTestItem : public TCollectionItem {
  RTL_CLASS(TTestItem, TCollectionItem)
 public:
  using TCollectionItem::TCollectionItem;
  int Value = 0;
  int GetValue() const { return Value; }
  void SetValue(int v) { Value = v; }
  TTestCoords Offset;  // a sub-object inside a collection item
  TTestCoords* GetOffset() { return &Offset; }
  TComponent* Link = nullptr;  // a reference from a collection item
  TComponent* GetLink() const { return Link; }
  void SetLink(TComponent* v) { Link = v; }
};

class TTestNode : public TComponent {
  RTL_CLASS(TTestNode, TComponent)
 public:
  explicit TTestNode(TComponent* AOwner) : TComponent(AOwner), Items(this, TTestItem::StaticClass()) {}
  ~TTestNode() override {
    for (TTestNode* c : children) c->parent = nullptr;
    SetParentComponent(nullptr);
  }

  int size = 10;
  double scale = 1.0;
  bool visible = true;
  std::string caption;
  TShape shape = shCube;
  std::uint64_t options = 0;
  TTestNode* target = nullptr;
  TTestCoords position;
  TOwnedCollection Items;
  float cube[3] = {1, 1, 1};
  std::string extra;
  float alpha = 0.1f;
  float Alpha() const { return alpha; }
  void SetAlpha(float v) { alpha = v; }

  int Size() const { return size; }
  void SetSize(int v) { size = v; }
  double Scale() const { return scale; }
  void SetScale(double v) { scale = v; }
  bool Visible() const { return visible; }
  void SetVisible(bool v) { visible = v; }
  const std::string& Caption() const { return caption; }
  void SetCaption(const std::string& v) { caption = v; }
  TShape Shape() const { return shape; }
  void SetShape(TShape v) { shape = v; }
  std::uint64_t Options() const { return options; }
  void SetOptions(std::uint64_t v) { options = v; }
  TTestNode* Target() const { return target; }
  void SetTarget(TTestNode* v) { target = v; }
  TTestCoords* Position() { return &position; }
  TOwnedCollection* GetItems() { return &Items; }

  TTestNode* parent = nullptr;
  std::vector<TTestNode*> children;

  bool HasParent() override { return true; }
  TComponent* GetParentComponent() override { return parent; }
  void SetParentComponent(TComponent* Value) override {
    if (parent) std::erase(parent->children, this);
    parent = dynamic_cast<TTestNode*>(Value);
    if (parent) parent->children.push_back(this);
  }
  void GetChildren(const std::function<void(TComponent*)>& Proc, TComponent*) override {
    for (TTestNode* c : children) Proc(c);
  }
  void DefineProperties(TFiler* F) override {
    inherited::DefineProperties(F);
    F->DefineBinaryProperty(
        "CubeSize", [this](TStream* S) { S->ReadBuffer(cube, 12); }, [this](TStream* S) { S->WriteBuffer(cube, 12); },
        cube[0] != 1 || cube[1] != 1 || cube[2] != 1);
    F->DefineProperty(
        "Extra", [this](TReader* R) { extra = R->ReadString(); }, [this](TWriter* W) { W->WriteString(extra); },
        !extra.empty());
  }
  void Loaded() override {
    inherited::Loaded();
    loadedLog.push_back(Name() + (target ? "->" + target->Name() : std::string()));
    if (!refuseLoadedOf.empty() && Name() == refuseLoadedOf) throw EReadError("refused " + Name());
  }
};

// The root hands over its top-level nodes.
class TTestRoot : public TTestNode {
  RTL_CLASS(TTestRoot, TTestNode)
 public:
  using TTestNode::TTestNode;
  bool HasParent() override { return false; }
};

// Properties declared with callables and with a set-typed setter.
enum TMode { mdOff, mdSlow, mdFast };
enum TPart { ptTop, ptBottom, ptSide };
using TParts = TSet<TPart>;

class TLambdaNode : public TComponent {
  RTL_CLASS(TLambdaNode, TComponent)
 public:
  using TComponent::TComponent;
  int level = 0;
  float gain = 1;
  TMode mode = mdOff;
  TParts parts = TParts{ptTop, ptBottom};
  TParts Parts() const { return parts; }
  void SetParts(TParts v) { parts = v; }
};

// A node whose constructor gives inherited and sub-object properties other values than the ones
// declared, and restates their defaults; its descendant keeps them.
class TRestatingNode : public TTestNode {
  RTL_CLASS(TRestatingNode, TTestNode)
 public:
  explicit TRestatingNode(TComponent* AOwner) : TTestNode(AOwner) {
    size = 20;
    alpha = 0.3f;
    shape = shSphere;
    position.V[0] = 2;
  }
  bool HasParent() override { return false; }
};

class TRestatingChild : public TRestatingNode {
  RTL_CLASS(TRestatingChild, TRestatingNode)
 public:
  using TRestatingNode::TRestatingNode;
};

void Declare() {
  TPublished<TTestCoords>().Float("X", &TTestCoords::X, &TTestCoords::SetX, std::nullopt);
  TPublished<TTestItem>()
      .Integer("Value", &TTestItem::GetValue, &TTestItem::SetValue)
      .Object("Offset", &TTestItem::GetOffset)
      .Component("Link", &TTestItem::GetLink, &TTestItem::SetLink);
  TPublished<TTestNode>()
      .Integer("Size", &TTestNode::Size, &TTestNode::SetSize, 10)
      .Float("Scale", &TTestNode::Scale, &TTestNode::SetScale, 1.0)
      .Float("Alpha", &TTestNode::Alpha, &TTestNode::SetAlpha, 0.1)
      .Boolean("Visible", &TTestNode::Visible, &TTestNode::SetVisible, true)
      .String("Caption", &TTestNode::Caption, &TTestNode::SetCaption)
      .Enum("Shape", &TTestNode::Shape, &TTestNode::SetShape, {"shCube", "shSphere", "shCone"}, shCube)
      .Set("Options", &TTestNode::Options, &TTestNode::SetOptions, {"opA", "opB", "opC"})
      .Component("Target", &TTestNode::Target, &TTestNode::SetTarget)
      .Object("Position", &TTestNode::Position)
      .Object("Items", &TTestNode::GetItems)
      .Event("OnChange");
  TPublished<TLambdaNode>()
      .Integer(
          "Level", [](TLambdaNode* n) { return n->level; }, [](TLambdaNode* n, short v) { n->level = v; })
      .Float(
          "Gain", [](TLambdaNode* n) { return n->gain; }, [](TLambdaNode* n, float v) { n->gain = v; }, 1.0)
      .Enum(
          "Mode", [](TLambdaNode* n) { return n->mode; }, [](TLambdaNode* n, TMode v) { n->mode = v; },
          {"mdOff", "mdSlow", "mdFast"}, mdOff)
      .Set("Parts", &TLambdaNode::Parts, &TLambdaNode::SetParts, {"ptTop", "ptBottom", "ptSide"}, 3);
  TPublished<TRestatingNode>()
      .Default("Size", 20)
      .Default("Alpha", 0.3)
      .Default("Shape", shSphere)
      .Default("Position.X", 2.0)
      .Default("Value", 20);  // names no property of its own: the items' Value keeps its default
  RegisterClasses({TTestNode::StaticClass(), TTestRoot::StaticClass(), TLambdaNode::StaticClass(),
                   TRestatingNode::StaticClass(), TRestatingChild::StaticClass()});
}

std::string Save(TComponent* root) {
  TStringStream s;
  TWriter w(&s);
  w.WriteRootComponent(root);
  return s.DataString();
}

TComponent* Load(const std::string& data, TComponent* root = nullptr) {
  TStringStream s(data);
  TReader r(&s);
  return r.ReadRootComponent(root);
}

class StreamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Declare();
    loadedLog.clear();
    refuseLoadedOf.clear();
  }
};

TEST_F(StreamingTest, OnlyPropertiesDifferentFromTheirDefaultsAreWritten) {
  TTestRoot root(nullptr);
  root.SetName("Root");
  EXPECT_EQ(Save(&root), "TPF0" + Bytes({9}) + "TTestRoot" + Bytes({4}) + "Root" + Bytes({0x0A}) + "Position.X" +
                             Bytes({5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + Bytes({0x14}) + "Position.Coordinates" +
                             Bytes({10, 16, 0, 0, 0}) + std::string(12, '\0') + Bytes({0, 0, 0x80, 0x3F}) +
                             Bytes({0, 0}));

  root.size = 200;
  root.shape = shCone;
  root.options = 5;
  std::string out = Save(&root);
  EXPECT_NE(out.find(Bytes({4}) + "Size" + Bytes({3, 200, 0})), std::string::npos);
  EXPECT_NE(out.find(Bytes({5}) + "Shape" + Bytes({7, 6}) + "shCone"), std::string::npos);
  EXPECT_NE(out.find(Bytes({7}) + "Options" + Bytes({11, 3}) + "opA" + Bytes({3}) + "opC" + Bytes({0})),
            std::string::npos);
  EXPECT_EQ(out.find("Scale"), std::string::npos);
  EXPECT_EQ(out.find("Visible"), std::string::npos);
  EXPECT_EQ(out.find("Alpha"), std::string::npos);  // 0.1f equals its declared default 0.1
  root.alpha = std::nextafter(0.1f, 1.0f);
  EXPECT_NE(Save(&root).find("Alpha"), std::string::npos);
}

TEST_F(StreamingTest, ComponentTreeRoundTripsWithBinaryPropertiesAndReferences) {
  auto* root = new TTestRoot(nullptr);
  root->SetName("Scene");
  auto* a = new TTestNode(root);
  a->SetName("Cube1");
  a->SetParentComponent(root);
  auto* b = new TTestNode(root);
  b->SetName("Cube2");
  b->SetParentComponent(a);
  a->target = b;  // forward reference: resolved after loading
  b->target = root;
  a->cube[0] = 2.5f;
  a->caption = std::string(300, 'c');
  a->visible = false;
  a->scale = 0.25;
  a->position.V[1] = 7;
  a->extra = "more";
  static_cast<TTestItem*>(a->Items.Add())->Value = 3;
  auto* second = static_cast<TTestItem*>(a->Items.Add());
  second->Value = 4;
  second->Offset.V[2] = -2.5f;
  second->Offset.V[0] = 9;
  std::string data = Save(root);
  delete root;

  TComponent* loaded = Load(data);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->ClassName(), "TTestRoot");
  auto* ra = static_cast<TTestNode*>(loaded->FindComponent("Cube1"));
  auto* rb = static_cast<TTestNode*>(loaded->FindComponent("Cube2"));
  ASSERT_TRUE(ra && rb);
  EXPECT_EQ(ra->parent, loaded);
  EXPECT_EQ(rb->parent, ra);
  EXPECT_EQ(ra->target, rb);
  EXPECT_EQ(rb->target, loaded);
  EXPECT_EQ(ra->cube[0], 2.5f);
  EXPECT_EQ(ra->caption, std::string(300, 'c'));
  EXPECT_FALSE(ra->visible);
  EXPECT_EQ(ra->scale, 0.25);
  EXPECT_EQ(ra->position.V[1], 7);
  EXPECT_EQ(ra->extra, "more");
  ASSERT_EQ(ra->Items.Count(), 2);
  auto* item = static_cast<TTestItem*>(ra->Items.Items(1));
  EXPECT_EQ(item->Value, 4);
  EXPECT_EQ(item->Offset.V[2], -2.5f);  // the item's sub-object and its binary property
  EXPECT_EQ(item->Offset.V[0], 9);
  EXPECT_NE(data.find(Bytes({8}) + "Offset.X"), std::string::npos);
  EXPECT_NE(data.find(Bytes({18}) + "Offset.Coordinates" + Bytes({10, 16, 0, 0, 0})), std::string::npos);
  // Loaded runs once per component, after every reference is resolved.
  EXPECT_EQ(loadedLog, (std::vector<std::string>{"Scene", "Cube1->Cube2", "Cube2->Scene"}));
  EXPECT_FALSE(ra->ComponentState().Contains(csLoading));
  EXPECT_FALSE(ra->ComponentState().Contains(csReading));
  EXPECT_EQ(Save(loaded), data);
  delete loaded;
}

TEST_F(StreamingTest, ReadingIntoAGivenRootReusesItsNamedComponents) {
  TTestRoot source(nullptr);
  source.SetName("Form");
  auto* a = new TTestNode(&source);
  a->SetName("Cube1");
  a->SetParentComponent(&source);
  a->size = 42;
  std::string data = Save(&source);

  TTestRoot target(nullptr);
  auto* existing = new TTestNode(&target);  // made by the root's own constructor
  existing->SetName("Cube1");
  EXPECT_EQ(Load(data, &target), &target);
  EXPECT_EQ(target.Name(), "Form");
  EXPECT_EQ(target.ComponentCount(), 1);
  EXPECT_EQ(existing->size, 42);
  EXPECT_EQ(existing->parent, &target);
}

TEST_F(StreamingTest, BadStreamsRaiseAndFreeWhatWasCreated) {
  TTestRoot root(nullptr);
  root.SetName("R");
  auto* n = new TTestNode(&root);
  n->SetName("N");
  n->SetParentComponent(&root);
  n->size = 5;
  std::string good = Save(&root);

  EXPECT_THROW(Load("TPF1" + good.substr(4)), EReadError);
  for (std::size_t cut = 4; cut < good.size(); cut += 3) EXPECT_THROW(Load(good.substr(0, cut)), EReadError) << cut;

  std::string unknownProp = good;
  unknownProp.replace(unknownProp.find("Size"), 4, "Sise");
  try {
    Load(unknownProp);
    ADD_FAILURE();
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Property Sise does not exist");
  }
  std::string unknownClass = good;
  unknownClass.replace(unknownClass.find("TTestNode"), 9, "TTestNade");
  EXPECT_THROW(Load(unknownClass), EClassNotFound);

  std::string badType = good;
  badType[badType.find("Size") + 4] = 6;  // a string where an integer belongs
  EXPECT_THROW(Load(badType), EReadError);

  // The same name twice in one stream would make a component its own child.
  auto* m = new TTestNode(&root);
  m->SetName("M");
  m->SetParentComponent(n);
  std::string twice = Save(&root);
  twice.replace(twice.rfind(Bytes({1}) + "M"), 2, Bytes({1}) + "N");
  EXPECT_THROW(Load(twice), EReadError);
  delete m;

  // A reference to nothing in the stream does not stop the read: it is left nil, and said so.
  n->target = n;
  std::string dangling = Save(&root);
  dangling.replace(dangling.rfind(Bytes({1}) + "N"), 2, Bytes({1}) + "Q");
  TStringStream in(dangling);
  TReader reader(&in);
  std::unique_ptr<TComponent> loaded(reader.ReadRootComponent(nullptr));
  auto* ln = static_cast<TTestNode*>(loaded->FindComponent("N"));
  ASSERT_NE(ln, nullptr);
  EXPECT_EQ(ln->target, nullptr);
  EXPECT_EQ(ln->size, 5);
  EXPECT_EQ(reader.UnresolvedReferences(), std::vector<std::string>{"Unresolved reference to Q (N.Target): left nil"});
}

TEST_F(StreamingTest, EncodingHelpersRejectHostileLengths) {
  std::uint8_t ext[10];
  ValueEncoding::DoubleToExtended(-2.0, ext);
  EXPECT_EQ(ext[9], 0xC0);
  EXPECT_EQ(ext[8], 0x00);
  EXPECT_EQ(ValueEncoding::ExtendedToDouble(ext), -2.0);

  EXPECT_EQ(ValueEncoding::DecodeUtf8Payload("a\xF0\x9F\x98\x80z"), "a\xF0\x9F\x98\x80z");
  EXPECT_EQ(ValueEncoding::DecodeUtf8Payload("\xED\xA0\x80"), "?");  // encoded surrogate
  EXPECT_EQ(ValueEncoding::DecodeUtf8Payload("\x80x"), "?x");
  EXPECT_EQ(ValueEncoding::DecodeUtf8Payload("\xE2\x28\xA1"), "?(?");

  TStringStream s(Bytes({10, 0xF0, 0xFF, 0xFF, 0x7F}));
  TReader r(&s);
  EXPECT_THROW(r.SkipValue(), EReadError);
  TStringStream longName;
  EXPECT_THROW(ValueEncoding::WriteShortString(longName, std::string(256, 'n')), EWriteError);
  EXPECT_EQ(longName.Size(), 0);  // never cut to another name
  std::string nested(1000, '\x01');
  TStringStream deep(nested);
  TReader dr(&deep);
  EXPECT_THROW(dr.SkipValue(), EReadError);
}

TEST_F(StreamingTest, TagIsStoredAndEventsAreOnlyReadPast) {
  TTestRoot root(nullptr);
  root.SetName("R");
  auto* n = new TTestNode(&root);
  n->SetName("N");
  n->SetParentComponent(&root);
  n->SetTag(-300);
  n->size = 5;
  std::string data = Save(&root);
  // Every component publishes Tag (default 0) ahead of its own properties.
  const std::string tagThenSize = Bytes({3}) + "Tag" + Bytes({3, 0xD4, 0xFE}) + Bytes({4}) + "Size" + Bytes({2, 5});
  EXPECT_NE(data.find(tagThenSize), std::string::npos);
  EXPECT_EQ(data.find("OnChange"), std::string::npos);  // handlers are bound in code

  // A stored handler name, nil or a string in an event's place is read past.
  for (std::string handler : {Bytes({7, 11}) + "Form1Change", Bytes({13}), Bytes({6, 2}) + "Go"}) {
    std::string withEvent = data;
    withEvent.insert(withEvent.find(tagThenSize), Bytes({8}) + "OnChange" + handler);
    std::unique_ptr<TComponent> loaded(Load(withEvent));
    auto* ln = static_cast<TTestNode*>(loaded->FindComponent("N"));
    ASSERT_NE(ln, nullptr);
    EXPECT_EQ(ln->Tag(), -300);
    EXPECT_EQ(ln->size, 5);
  }
  std::string badEvent = data;
  badEvent.insert(badEvent.find(tagThenSize), Bytes({8}) + "OnChange" + Bytes({2, 1}));
  EXPECT_THROW(Load(badEvent), EReadError);
}

TEST_F(StreamingTest, CallableAndSetTypedAccessorsRoundTrip) {
  TLambdaNode node(nullptr);
  node.SetName("L");
  EXPECT_EQ(Save(&node), "TPF0" + Bytes({11}) + "TLambdaNode" + Bytes({1}) + "L" + Bytes({0, 0}));
  node.level = -7;
  node.gain = 0.5f;
  node.mode = mdFast;
  node.parts = TParts{ptSide};
  std::string data = Save(&node);
  EXPECT_NE(data.find(Bytes({5}) + "Parts" + Bytes({11, 6}) + "ptSide" + Bytes({0})), std::string::npos);
  std::unique_ptr<TComponent> back(Load(data));
  auto* l = dynamic_cast<TLambdaNode*>(back.get());
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->level, -7);
  EXPECT_EQ(l->gain, 0.5f);
  EXPECT_EQ(l->mode, mdFast);
  EXPECT_EQ(l->parts, TParts{ptSide});
}

TEST_F(StreamingTest, RestatedDefaultsDecideWhatIsLeftOutAndWhatComesBack) {
  TRestatingChild node(nullptr);
  node.SetName("R");
  std::string data = Save(&node);
  // What the constructor gives is left out, single-precision values compared as singles.
  for (const char* name : {"Size", "Alpha", "Shape", "Position.X"})
    EXPECT_EQ(data.find(name), std::string::npos) << name;

  // The declared defaults are no longer the new instance's values: they are written and come back.
  node.size = 10;
  node.alpha = 0.1f;
  node.shape = shCube;
  node.position.V[0] = 0;
  node.GetItems()->AddAs<TTestItem>()->Value = 20;
  data = Save(&node);
  std::unique_ptr<TComponent> back(Load(data));
  auto* r = dynamic_cast<TRestatingChild*>(back.get());
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->size, 10);
  EXPECT_EQ(r->alpha, 0.1f);
  EXPECT_EQ(r->shape, shCube);
  EXPECT_EQ(r->position.V[0], 0.0f);
  // A collection item is written on its own: the owner's restatements do not reach it.
  ASSERT_EQ(r->GetItems()->Count(), 1);
  EXPECT_EQ(r->GetItems()->ItemAs<TTestItem>(0)->Value, 20);

  // The class that declares the properties keeps its declared defaults.
  TTestRoot plain(nullptr);
  plain.size = 20;
  plain.shape = shSphere;
  EXPECT_NE(Save(&plain).find(Bytes({4}) + "Size"), std::string::npos);
  EXPECT_NE(Save(&plain).find("shSphere"), std::string::npos);
  EXPECT_NE(FindStoredDefault(TRestatingChild::StaticClass(), "position.x"), nullptr);  // names ignore case
  EXPECT_EQ(FindStoredDefault(TTestRoot::StaticClass(), "Size"), nullptr);
}

}  // namespace

// A read that fails, while reading or in a Loaded(), frees what it made and gives the root and
// the components it read into what they had before, out of the loading state.
TEST_F(StreamingTest, AFailedReadLeavesTheGivenRootAsItWas) {
  TTestRoot source(nullptr);
  source.SetName("Form");
  source.size = 42;
  auto* a = new TTestNode(&source);
  a->SetName("Cube1");
  a->SetParentComponent(&source);
  a->size = 99;
  a->caption = "read";
  for (int i = 0; i < 3; ++i) static_cast<TTestItem*>(a->Items.Add())->Value = 50 + i;
  auto* b = new TTestNode(&source);
  b->SetName("Cube2");
  b->SetParentComponent(a);
  a->target = b;
  auto* c = new TTestNode(&source);
  c->SetName("Cube3");
  c->SetParentComponent(b);
  const std::string data = Save(&source);
  std::string badLast = data;
  badLast.replace(badLast.rfind("Position.X"), 10, "Position.Q");  // Cube3's

  TTestRoot target(nullptr);
  target.size = 7;
  auto* other = new TTestNode(&target);
  other->SetName("Other");
  other->SetParentComponent(&target);
  auto* existing = new TTestNode(&target);
  existing->SetName("Cube1");
  existing->SetParentComponent(other);
  existing->size = 3;
  existing->alpha = 0.5f;  // not its default, and not in the stream
  static_cast<TTestItem*>(existing->Items.Add())->Value = 9;
  existing->target = other;
  auto expectAsBefore = [&](const char* how) {
    EXPECT_EQ(target.Name(), "") << how;
    EXPECT_EQ(target.size, 7) << how;
    EXPECT_EQ(target.ComponentCount(), 2) << how;  // Cube2 and Cube3 freed
    EXPECT_EQ(target.children, std::vector<TTestNode*>{other}) << how;
    EXPECT_EQ(other->children, std::vector<TTestNode*>{existing}) << how;
    EXPECT_EQ(existing->size, 3) << how;
    EXPECT_EQ(existing->alpha, 0.5f) << how;
    EXPECT_EQ(existing->caption, "") << how;
    ASSERT_EQ(existing->Items.Count(), 1) << how;
    EXPECT_EQ(static_cast<TTestItem*>(existing->Items.Items(0))->Value, 9) << how;
    EXPECT_EQ(existing->target, other) << how;
    for (TComponent* k : {static_cast<TComponent*>(&target), static_cast<TComponent*>(existing)}) {
      EXPECT_FALSE(k->ComponentState().Contains(csLoading)) << how;
      EXPECT_FALSE(k->ComponentState().Contains(csReading)) << how;
    }
  };
  EXPECT_THROW(Load(badLast, &target), EReadError);
  expectAsBefore("while reading");
  refuseLoadedOf = "Cube3";
  try {
    Load(data, &target);
    ADD_FAILURE() << "read";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "refused Cube3");
  }
  EXPECT_EQ(loadedLog, (std::vector<std::string>{"Form", "Cube1->Cube2", "Cube2", "Cube3"}));
  expectAsBefore("in Loaded");

  // The same stream read whole.
  refuseLoadedOf.clear();
  EXPECT_EQ(Load(data, &target), &target);
  EXPECT_EQ(existing->size, 99);
  EXPECT_EQ(existing->Items.Count(), 3);
  EXPECT_EQ(target.ComponentCount(), 4);

  // A root the reader made is freed with everything in it (the sanitizer build sees leaks).
  refuseLoadedOf = "Cube2";
  EXPECT_THROW(Load(data), EReadError);
}

// A reference to a component without a name cannot be stored by name: the component is given
// one (its class name without the T and the first free number) before anything is written, so
// the reference reads back.
TEST_F(StreamingTest, UnnamedComponentsThatAreReferredToAreNamedWhenWritten) {
  TTestRoot root(nullptr);
  auto* a = new TTestNode(&root);
  a->SetName("A");
  a->SetParentComponent(&root);
  auto* taken = new TTestNode(&root);
  taken->SetName("TestNode1");
  taken->SetParentComponent(&root);
  auto* b = new TTestNode(&root);  // owned by the root, no name
  b->SetParentComponent(a);
  TTestNode c(nullptr);  // no owner, no name, written as a child all the same
  c.SetParentComponent(a);
  a->target = b;
  b->target = &c;
  c.target = &root;
  const std::string data = Save(&root);
  EXPECT_EQ(b->Name(), "TestNode2");
  EXPECT_EQ(c.Name(), "TestNode3");  // free among what is written: the reading root owns it
  EXPECT_EQ(root.Name(), "TestRoot1");
  EXPECT_EQ(Save(&root), data);  // named once

  std::unique_ptr<TComponent> loaded(Load(data));
  auto* la = static_cast<TTestNode*>(loaded->FindComponent("A"));
  ASSERT_NE(la, nullptr);
  ASSERT_NE(la->target, nullptr);
  EXPECT_EQ(la->target->Name(), "TestNode2");
  ASSERT_NE(la->target->target, nullptr);
  EXPECT_EQ(la->target->target->Name(), "TestNode3");
  EXPECT_EQ(la->target->target->target, loaded.get());
  c.SetParentComponent(nullptr);
}

// Only what is written is named. A reference to a component the root owns without writing it
// keeps its name (a root that makes one of that name resolves it); a reference to anything else
// outside is left out and told, and neither it nor its owner is renamed.
TEST_F(StreamingTest, ReferencesOutsideWhatIsWrittenAreLeftOutAndNothingOutsideIsRenamed) {
  TTestRoot other(nullptr);  // another tree, no name
  auto* x = new TTestNode(&other);
  auto* y = new TTestNode(&other);
  y->SetName("Y");

  TTestRoot root(nullptr);
  auto* a = new TTestNode(&root);
  a->SetName("A");
  a->SetParentComponent(&root);
  auto* b = new TTestNode(&root);  // written, no name
  b->SetParentComponent(a);
  auto* kept = new TTestNode(&root);  // owned by the root, not written
  kept->SetName("Kept");
  auto* unnamedKept = new TTestNode(&root);
  root.target = unnamedKept;
  a->target = x;
  a->Items.AddAs<TTestItem>()->Link = b;
  a->Items.AddAs<TTestItem>()->Link = y;
  b->target = kept;

  TStringStream out;
  TWriter writer(&out);
  writer.WriteRootComponent(&root);
  const std::string data = out.DataString();
  EXPECT_EQ(other.Name(), "");
  EXPECT_EQ(x->Name(), "");
  EXPECT_EQ(unnamedKept->Name(), "");
  EXPECT_EQ(root.Name(), "");
  EXPECT_EQ(b->Name(), "TestNode1");
  EXPECT_EQ(writer.LeftOutReferences(),
            (std::vector<std::string>{"TTestRoot.Target refers to an unnamed TTestNode, which is not written: left out",
                                      "A.Target refers to an unnamed TTestNode, which is not written: left out",
                                      "A.Items[1].Link refers to Y (TTestNode), which is not written: left out"}));
  EXPECT_EQ(data.find(Bytes({7, 1}) + "Y"), std::string::npos);

  // Read into a new root: the root-owned reference finds nothing, is left nil and told.
  TStringStream in(data);
  TReader reader(&in);
  std::unique_ptr<TComponent> loaded(reader.ReadRootComponent(nullptr));
  auto* la = static_cast<TTestNode*>(loaded->FindComponent("A"));
  auto* lb = static_cast<TTestNode*>(loaded->FindComponent("TestNode1"));
  ASSERT_TRUE(la && lb);
  EXPECT_EQ(static_cast<TTestNode*>(loaded.get())->target, nullptr);
  EXPECT_EQ(la->target, nullptr);
  EXPECT_EQ(la->Items.ItemAs<TTestItem>(0)->Link, lb);
  EXPECT_EQ(la->Items.ItemAs<TTestItem>(1)->Link, nullptr);
  EXPECT_EQ(lb->target, nullptr);
  EXPECT_EQ(reader.UnresolvedReferences(),
            std::vector<std::string>{"Unresolved reference to Kept (TestNode1.Target): left nil"});

  // Read into a root that owns a "Kept": found there.
  TTestRoot into(nullptr);
  auto* itsKept = new TTestNode(&into);
  itsKept->SetName("Kept");
  TStringStream again(data);
  TReader second(&again);
  second.ReadRootComponent(&into);
  ASSERT_NE(into.FindComponent("TestNode1"), nullptr);
  EXPECT_EQ(static_cast<TTestNode*>(into.FindComponent("TestNode1"))->target, itsKept);
  EXPECT_TRUE(second.UnresolvedReferences().empty());
}

// A failed read gives every parent that existed before its children in their order, also when
// the read placed some of them again (at the end) and made new ones beside them.
TEST_F(StreamingTest, AFailedReadKeepsTheOrderOfChildren) {
  TTestRoot source(nullptr);
  for (const char* name : {"G1", "M", "Added"}) {
    auto* n = new TTestNode(&source);
    n->SetName(name);
    n->SetParentComponent(&source);
    n->size = 5;
  }
  std::string data = Save(&source);
  data.replace(data.rfind("Size"), 4, "Sise");  // Added's

  TTestRoot target(nullptr);
  std::vector<TTestNode*> before;
  for (const char* name : {"G1", "M", "Own"}) {
    auto* n = new TTestNode(&target);
    n->SetName(name);
    n->SetParentComponent(&target);
    before.push_back(n);
  }
  auto* inner = new TTestNode(&target);
  inner->SetName("Inner");
  inner->SetParentComponent(before[1]);
  EXPECT_THROW(Load(data, &target), EReadError);
  EXPECT_EQ(target.children, before);
  EXPECT_EQ(before[1]->children, std::vector<TTestNode*>{inner});
  EXPECT_EQ(target.ComponentCount(), 4);
  for (TTestNode* n : before) EXPECT_EQ(n->size, 10);

  // Only the middle one placed again (G1 stays where it is).
  TTestRoot middle(nullptr);
  auto* m = new TTestNode(&middle);
  m->SetName("M");
  m->SetParentComponent(&middle);
  m->size = 5;
  std::string onlyM = Save(&middle);
  onlyM.replace(onlyM.rfind("Size"), 4, "Sise");
  EXPECT_THROW(Load(onlyM, &target), EReadError);
  EXPECT_EQ(target.children, before);
}
