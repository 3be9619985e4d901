// The registry of typed-item classes, and typed items and their collection with its archive.
#include "Source/Base/XCollection.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct Registry {
  std::mutex lock;
  std::map<TClass, TXCollectionItemClassInfo> known;
  std::vector<TClass> registered;
};

Registry& TheRegistry() {
  static Registry r;
  return r;
}

}  // namespace

void DeclareXCollectionItemClass(const TXCollectionItemClassInfo& Info) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.lock);
  r.known[Info.Class] = Info;
}

const TXCollectionItemClassInfo* FindXCollectionItemClassInfo(TClass Class) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.lock);
  auto it = r.known.find(Class);
  return it == r.known.end() ? nullptr : &it->second;
}

void RegisterXCollectionItemClass(const TXCollectionItemClassInfo& Info) {
  DeclareXCollectionItemClass(Info);
  Registry& r = TheRegistry();
  std::lock_guard lock(r.lock);
  if (std::find(r.registered.begin(), r.registered.end(), Info.Class) == r.registered.end())
    r.registered.push_back(Info.Class);
}

TClass FindXCollectionItemClass(const std::string& ClassName) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.lock);
  for (TClass c : r.registered)
    if (c->Name == ClassName) return c;
  return nullptr;
}

std::vector<TClass> GetXCollectionItemClassesList(TClass BaseClass) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.lock);
  std::vector<TClass> out;
  for (TClass c : r.registered)
    if (c->InheritsFrom(BaseClass)) out.push_back(c);
  return out;
}

TXCollectionItem* CreateXCollectionItem(TClass ItemClass, TXCollection* Owner) {
  const TXCollectionItemClassInfo* info = FindXCollectionItemClassInfo(ItemClass);
  RTL_ASSERT(info != nullptr && ItemClass->InheritsFrom(TXCollectionItem::StaticClass()));
  // Refused before construction, so that nothing half-made is left behind.
  if (Owner && !Owner->CanAdd(ItemClass))
    RTL_ASSERT(false, "Addition of " + ItemClass->Name + " to " + Owner->ClassName() + " rejected.");
  std::unique_ptr<TObject> obj(ItemClass->Create());
  auto* item = static_cast<TXCollectionItem*>(obj.get());
  item->name_ = info->FriendlyName();
  if (Owner) {
    Owner->items_.push_back(item);
    item->owner_ = Owner;
  }
  return static_cast<TXCollectionItem*>(obj.release());
}

// ---------------------------------------------------------------------------------------------
// TXCollectionItem

TXCollectionItem::~TXCollectionItem() {
  if (owner_) {
    auto& items = owner_->items_;
    items.erase(std::remove(items.begin(), items.end(), this), items.end());
    owner_->walks_.Left(this);
  }
}

int TXCollectionItem::Index() const noexcept {
  if (!owner_) return -1;
  auto& items = owner_->items_;
  auto it = std::find(items.begin(), items.end(), this);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

void TXCollectionItem::Assign(TPersistent* Source) {
  if (auto* item = dynamic_cast<TXCollectionItem*>(Source))
    SetName(item->name_);
  else
    inherited::Assign(Source);
}

void TXCollectionItem::WriteToFiler(TWriter* Writer) {
  Writer->WriteInteger(0);
  Writer->WriteString(name_);
}

void TXCollectionItem::ReadFromFiler(TReader* Reader) {
  const int version = Reader->ReadInteger();
  RTL_ASSERT(version == 0);
  SetName(Reader->ReadString());
}

TPersistent* TXCollectionItem::GetOwner() { return owner_; }

std::string TXCollectionItem::GetNamePath() {
  if (!owner_) return inherited::GetNamePath();
  return Format("%s[%d]", owner_->GetNamePath(), Index());
}

const TXCollectionItemClassInfo& TXCollectionItem::ItemClassInfo() const {
  const TXCollectionItemClassInfo* info = FindXCollectionItemClassInfo(ClassType());
  RTL_ASSERT(info != nullptr);
  return *info;
}

// ---------------------------------------------------------------------------------------------
// TXCollection

TXCollection::TXCollection(TPersistent* AOwner) : owner_(AOwner) {}

TXCollection::~TXCollection() { Clear(); }

TXCollectionItem* TXCollection::Items(int Index) const {
  if (Index < 0 || Index >= Count()) RaiseListIndexError(Index);
  return items_[static_cast<std::size_t>(Index)];
}

void TXCollection::Clear() {
  std::vector<TXCollectionItem*> items;
  items.swap(items_);
  walks_.AllLeft();
  for (TXCollectionItem* item : items) {
    item->owner_ = nullptr;
    FreeObject(item);
  }
}

void TXCollection::Assign(TPersistent* Source) {
  if (!Source) {
    Clear();
    return;
  }
  if (Source->ClassType() != ClassType()) {
    inherited::Assign(Source);
    return;
  }
  auto* src = static_cast<TXCollection*>(Source);
  if (src == this) return;
  Clear();
  items_.reserve(src->items_.size());
  for (TXCollectionItem* s : src->items_) CreateXCollectionItem(s->ClassType(), this)->Assign(s);
}

bool TXCollection::CanAdd(TClass ItemClass) const {
  const TXCollectionItemClassInfo* info = FindXCollectionItemClassInfo(ItemClass);
  if (!info || !info->CanAddTo(const_cast<TXCollection*>(this))) return false;
  if (info->UniqueItem()) {
    for (TXCollectionItem* item : items_)
      if (item->InheritsFrom(ItemClass)) return false;
  }
  // Also when the new class inherits uniqueness from a class already present.
  for (TXCollectionItem* item : items_) {
    const TXCollectionItemClassInfo& other = item->ItemClassInfo();
    if (other.UniqueItem() && ItemClass->InheritsFrom(item->ClassType())) return false;
  }
  return true;
}

int TXCollection::IndexOfClass(TClass ItemClass) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i]->InheritsFrom(ItemClass)) return static_cast<int>(i);
  return -1;
}

void TXCollection::NotifyOwnerLoaded() {
  ForEach([](TXCollectionItem* item) { item->OwnerLoaded(); });
}

std::string TXCollection::GetNamePath() {
  if (owner_) {
    std::string path = owner_->GetNamePath();
    if (!path.empty()) return path + ".XCollection";
  }
  return ClassName();
}

void TXCollection::WriteToFiler(TWriter* Writer) {
  Writer->WriteInteger(Count());
  std::vector<TClass> classes;
  for (TXCollectionItem* item : items_) {
    TClass cls = item->ClassType();
    auto it = std::find(classes.begin(), classes.end(), cls);
    if (it == classes.end()) {
      Writer->WriteString(cls->Name);
      classes.push_back(cls);
    } else {
      Writer->WriteInteger(static_cast<int>(it - classes.begin()));
    }
    item->WriteToFiler(Writer);
  }
}

void TXCollection::ReadFromFiler(TReader* Reader) {
  Clear();
  const int n = Reader->ReadInteger();
  if (n < 0) throw EReadError("Stream read error");
  std::vector<TClass> classes;
  for (int i = 0; i < n; ++i) {
    TClass cls;
    TValueType tag = Reader->NextValue();
    if (tag == vaString || tag == vaLString) {
      std::string name = Reader->ReadString();
      cls = FindXCollectionItemClass(name);
      if (!cls) RTL_ASSERT(false, "Class " + name + " unknown. Add the relevant unit to your \"uses\".");
      classes.push_back(cls);
    } else {
      const int index = Reader->ReadInteger();
      if (index < 0 || index >= static_cast<int>(classes.size()))
        RTL_ASSERT(false, "Class index " + IntToStr(index) + " unknown. Add the relevant unit to your \"uses\".");
      cls = classes[static_cast<std::size_t>(index)];
    }
    CreateXCollectionItem(cls, this)->ReadFromFiler(Reader);
  }
}
