// Stored archives from untrusted files: the tagged value reader, object-list archives (with the
// registered vector lists inside), typed-item collections and component streams. Bad input may only raise the
// run-time's exceptions; a successful read must save and read back to the same bytes.
#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorLists.h"
#include "Source/Base/XCollection.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

class TFuzzItem : public TXCollectionItem {
  RTL_CLASS(TFuzzItem, TXCollectionItem)
 public:
  int Level = 0;
  double Weight = 0;
  bool Flag = false;
  static std::string FriendlyName() { return "Fuzz item"; }
  void WriteToFiler(TWriter* W) override {
    inherited::WriteToFiler(W);
    W->WriteInteger(0);
    W->WriteInteger(Level);
    W->WriteFloat(Weight);
    W->WriteBoolean(Flag);
  }
  void ReadFromFiler(TReader* R) override {
    inherited::ReadFromFiler(R);
    RTL_ASSERT(R->ReadInteger() == 0);
    Level = R->ReadInteger();
    Weight = R->ReadFloat();
    Flag = R->ReadBoolean();
  }
};

class TFuzzUnique : public TXCollectionItem {
  RTL_CLASS(TFuzzUnique, TXCollectionItem)
 public:
  static std::string FriendlyName() { return "Unique"; }
  static bool UniqueItem() { return true; }
};

// A component with published properties of every kind (an event too), a defined binary property,
// a collection and stored children.
class TFuzzCoords : public TPersistent {
  RTL_CLASS(TFuzzCoords, TPersistent)
 public:
  float V[4] = {0, 0, 0, 1};
  float X() const { return V[0]; }
  void SetX(float v) { V[0] = v; }
  void DefineProperties(TFiler* F) override {
    F->DefineBinaryProperty(
        "Coordinates",
        [this](TStream* S) {
          if (S->Size() != 16) throw EReadError("Invalid property value");
          S->ReadBuffer(V, 16);
        },
        [this](TStream* S) { S->WriteBuffer(V, 16); }, true);
  }
};

class TFuzzEntry : public TCollectionItem {
  RTL_CLASS(TFuzzEntry, TCollectionItem)
 public:
  using TCollectionItem::TCollectionItem;
  std::string Text;
  const std::string& GetText() const { return Text; }
  void SetText(const std::string& v) { Text = v; }
};

class TFuzzComp : public TComponent {
  RTL_CLASS(TFuzzComp, TComponent)
 public:
  explicit TFuzzComp(TComponent* AOwner) : TComponent(AOwner), entries(this, TFuzzEntry::StaticClass()) {}
  ~TFuzzComp() override {
    for (TFuzzComp* c : children) c->parent = nullptr;
    SetParentComponent(nullptr);
  }
  int number = 0;
  double ratio = 1;
  bool on = true;
  std::string text;
  int kind = 0;
  std::uint64_t flags = 0;
  TFuzzComp* link = nullptr;
  TFuzzCoords coords;
  TOwnedCollection entries;
  TFuzzComp* parent = nullptr;
  std::vector<TFuzzComp*> children;

  int Number() const { return number; }
  void SetNumber(int v) { number = v; }
  double Ratio() const { return ratio; }
  void SetRatio(double v) { ratio = v; }
  bool On() const { return on; }
  void SetOn(bool v) { on = v; }
  const std::string& Text() const { return text; }
  void SetText(const std::string& v) { text = v; }
  int Kind() const { return kind; }
  void SetKind(int v) { kind = v; }
  std::uint64_t Flags() const { return flags; }
  void SetFlags(std::uint64_t v) { flags = v; }
  TFuzzComp* Link() const { return link; }
  void SetLink(TFuzzComp* v) {
    if (link) link->RemoveFreeNotification(this);
    link = v;
    if (link) link->FreeNotification(this);
  }
  TFuzzCoords* Coords() { return &coords; }
  TOwnedCollection* Entries() { return &entries; }

  void Notification(TComponent* AComponent, TOperation Operation) override {
    inherited::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == link) link = nullptr;
  }
  bool HasParent() override { return Owner() != nullptr; }
  TComponent* GetParentComponent() override { return parent; }
  void SetParentComponent(TComponent* Value) override {
    if (parent)
      parent->children.erase(std::remove(parent->children.begin(), parent->children.end(), this),
                             parent->children.end());
    parent = dynamic_cast<TFuzzComp*>(Value);
    if (parent) parent->children.push_back(this);
  }
  void GetChildren(const std::function<void(TComponent*)>& Proc, TComponent*) override {
    for (TFuzzComp* c : children) Proc(c);
  }
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "persistence invariant broken: %s\n", what);
    std::abort();
  }
}

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  RegisterPersistentClasses();
  RegisterVectorLists();
  RegisterXCollectionItemClass<TFuzzItem>();
  RegisterXCollectionItemClass<TFuzzUnique>();
  TPublished<TFuzzCoords>().Float("X", &TFuzzCoords::X, &TFuzzCoords::SetX);
  TPublished<TFuzzEntry>().String("Text", &TFuzzEntry::GetText, &TFuzzEntry::SetText);
  TPublished<TFuzzComp>()
      .Integer("Number", &TFuzzComp::Number, &TFuzzComp::SetNumber)
      .Float("Ratio", &TFuzzComp::Ratio, &TFuzzComp::SetRatio, 1.0)
      .Boolean("On", &TFuzzComp::On, &TFuzzComp::SetOn, true)
      .String("Text", &TFuzzComp::Text, &TFuzzComp::SetText)
      .Enum("Kind", &TFuzzComp::Kind, &TFuzzComp::SetKind, {"kA", "kB", "kC"}, std::optional<int>(0))
      .Set("Flags", &TFuzzComp::Flags, &TFuzzComp::SetFlags, {"fA", "fB", "fC"})
      .Component("Link", &TFuzzComp::Link, &TFuzzComp::SetLink)
      .Object("Coords", &TFuzzComp::Coords)
      .Object("Entries", &TFuzzComp::Entries)
      .Event("OnChange");
  RegisterClass(TFuzzComp::StaticClass());
}

void ReadValues(const std::string& data) {
  TStringStream s(data);
  TBinaryReader r(&s);
  while (s.Position() < s.Size()) {
    switch (r.NextValue()) {
      case vaNull: r.ReadListEnd(); break;
      case vaList: r.ReadListBegin(); break;
      case vaExtended: r.ReadFloat(); break;
      case vaFalse:
      case vaTrue: r.ReadBoolean(); break;
      case vaString:
      case vaLString:
      case vaWString:
      case vaUTF8String: r.ReadString(); break;
      default: r.ReadInteger(); break;  // integers, or the read type error
    }
  }
}

// Lists do not own their items; nested lists read from an archive are freed with theirs.
void FreeDeep(TPersistentObjectList& list) {
  for (int i = 0; i < list.Count(); ++i)
    if (auto* inner = dynamic_cast<TPersistentObjectList*>(list.Get(i))) FreeDeep(*inner);
  list.FreeItemsAndClear();
}

struct DeepOwner {
  TPersistentObjectList list;
  ~DeepOwner() { FreeDeep(list); }
};

void ReadObjectList(const std::string& data) {
  DeepOwner first;
  first.list.LoadFromString(data);
  std::string saved = first.list.SaveToString();
  DeepOwner again;
  again.list.LoadFromString(saved);
  Check(again.list.SaveToString() == saved, "object list round trip");
}

void ReadCollection(const std::string& data) {
  TXCollection c;
  {
    TStringStream s(data);
    TReader r(&s);
    c.ReadFromFiler(&r);
  }
  TStringStream out;
  {
    TWriter w(&out);
    c.WriteToFiler(&w);
  }
  TXCollection again;
  TStringStream in(out.DataString());
  TReader r(&in);
  again.ReadFromFiler(&r);
  Check(again.Count() == c.Count(), "collection round trip");
}

std::string SaveComponent(TComponent* root) {
  TStringStream s;
  TWriter w(&s);
  w.WriteRootComponent(root);
  return s.DataString();
}

std::unique_ptr<TComponent> LoadComponent(const std::string& data) {
  TStringStream s(data);
  TReader r(&s);
  return std::unique_ptr<TComponent>(r.ReadRootComponent(nullptr));
}

void ReadComponents(const std::string& data) {
  std::unique_ptr<TComponent> root = LoadComponent(data);
  std::string saved = SaveComponent(root.get());
  std::unique_ptr<TComponent> again = LoadComponent(saved);
  Check(SaveComponent(again.get()) == saved, "component round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  if (size == 0) return 0;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    switch (data[0] % 4) {
      case 0: ReadValues(body); break;
      case 1: ReadObjectList(body); break;
      case 2: ReadCollection(body); break;
      case 3: ReadComponents(body); break;
    }
  } catch (const Exception&) {
    // the run-time's errors are the expected outcome of bad input
  }
  return 0;
}
