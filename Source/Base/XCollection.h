// Collections whose items may be of different classes, each item class registered by name.
//
// Item classes declare their class-level facts as static functions next to the class:
//   static std::string FriendlyName();         (required)
//   static std::string FriendlyDescription();  (optional; FriendlyName by default)
//   static std::string ItemCategory();         (optional; "")
//   static bool UniqueItem();                  (optional; false: several per collection)
//   static bool CanAddTo(TXCollection*);       (optional; true)
// and have a default constructor. Items are created with CreateXCollectionItem (or
// TXCollection::Add<T>), which checks the collection's CanAdd before anything is constructed,
// names the item after its class's FriendlyName and appends it to the collection. A collection
// frees its items; deleting an item removes it from its collection.
//
// Stream (component writer/reader values): the item count, then per item its class name on first
// occurrence or the class index (from 0, in order of first occurrence), then the item's archive.
// Refused additions, unknown class names or indices and unknown item versions are assertion
// failures (EAssertionFailed).
#pragma once

#include "Source/Base/ListWalk.h"
#include "rtl/Classes.h"
#include "rtl/Streaming.h"

#include <string>
#include <vector>

class TXCollection;

// The class-level facts of an item class.
struct TXCollectionItemClassInfo {
  TClass Class = nullptr;
  std::string (*FriendlyName)() = nullptr;
  std::string (*FriendlyDescription)() = nullptr;
  std::string (*ItemCategory)() = nullptr;
  bool (*UniqueItem)() = nullptr;
  bool (*CanAddTo)(TXCollection*) = nullptr;
};

class TXCollectionItem : public TPersistent {
  RTL_CLASS(TXCollectionItem, TPersistent)
 public:
  TXCollectionItem() = default;
  ~TXCollectionItem() override;
  TXCollectionItem(const TXCollectionItem&) = delete;
  TXCollectionItem& operator=(const TXCollectionItem&) = delete;

  TXCollection* Owner() const noexcept { return owner_; }
  const std::string& Name() const noexcept { return name_; }
  virtual void SetName(const std::string& Value) { name_ = Value; }
  // Position in the owner's list, -1 without owner.
  int Index() const noexcept;

  // From another item: the name; else inherited.
  void Assign(TPersistent* Source) override;
  // Version 0 and the name. Subclasses call the inherited ones first.
  virtual void WriteToFiler(TWriter* Writer);
  virtual void ReadFromFiler(TReader* Reader);
  // Called by TXCollection::NotifyOwnerLoaded once the owner has been loaded.
  virtual void OwnerLoaded() {}

  TPersistent* GetOwner() override;
  // "<owner's name path>[<index>]", or the inherited path without owner.
  std::string GetNamePath() override;

  // The facts of this item's class.
  const TXCollectionItemClassInfo& ItemClassInfo() const;

  // Defaults of the optional class-level functions.
  static std::string ItemCategory() { return {}; }
  static bool UniqueItem() { return false; }
  static bool CanAddTo(TXCollection*) { return true; }
  static std::string FriendlyDescription() { return {}; }

 private:
  friend class TXCollection;
  friend TXCollectionItem* CreateXCollectionItem(TClass, TXCollection*);
  TXCollection* owner_ = nullptr;
  std::string name_;
};

class TXCollection : public TPersistent {
  RTL_CLASS(TXCollection, TPersistent)
 public:
  using OwnerType = TPersistent;
  explicit TXCollection(TPersistent* AOwner = nullptr);
  ~TXCollection() override;
  TXCollection(const TXCollection&) = delete;
  TXCollection& operator=(const TXCollection&) = delete;

  TPersistent* Owner() const noexcept { return owner_; }
  int Count() const noexcept { return static_cast<int>(items_.size()); }
  // Raises EListError for an index out of range.
  TXCollectionItem* Items(int Index) const;
  TXCollectionItem* GetItems(int Index) const { return Items(Index); }

  // Detaches and frees every item.
  void Clear();
  // nullptr clears; a collection of exactly this class is copied item by item; else inherited.
  void Assign(TPersistent* Source) override;
  // The base class of the items this collection takes.
  virtual TClass ItemsClass() const { return TXCollectionItem::StaticClass(); }
  virtual bool CanAdd(TClass ItemClass) const;
  // First item of the class or a descendant, -1 when none.
  int IndexOfClass(TClass ItemClass) const;
  void NotifyOwnerLoaded();
  // Calls f (item) for each item held now, in index order; an item may free itself or others,
  // or add new ones, in f: those that leave before their turn are not reached, new ones wait
  // for the next walk. False when the collection itself was freed meanwhile.
  template <class F>
  bool ForEach(F&& f) {
    TListWalk<TXCollectionItem*> walk(walks_, items_.begin(), items_.end());
    while (TXCollectionItem* item = walk.Next()) f(item);
    return !walk.OwnerGone();
  }

  // Creates an item of class T in this collection.
  template <class T>
  T* Add();

  TPersistent* GetOwner() override { return owner_; }
  // The owner's name path + ".XCollection", or the class name.
  std::string GetNamePath() override;

  virtual void WriteToFiler(TWriter* Writer);
  virtual void ReadFromFiler(TReader* Reader);

 private:
  friend class TXCollectionItem;
  friend TXCollectionItem* CreateXCollectionItem(TClass, TXCollection*);
  TPersistent* owner_;
  std::vector<TXCollectionItem*> items_;
  TListWalkers<TXCollectionItem*> walks_;
};

// Records the facts of an item class (needed before its items are created; done by
// RegisterXCollectionItemClass and Add<T>).
void DeclareXCollectionItemClass(const TXCollectionItemClassInfo& Info);
const TXCollectionItemClassInfo* FindXCollectionItemClassInfo(TClass Class);

template <class T>
const TXCollectionItemClassInfo& XCollectionItemClassOf() {
  static const TXCollectionItemClassInfo info = [] {
    TXCollectionItemClassInfo i;
    i.Class = T::StaticClass();
    i.FriendlyName = &T::FriendlyName;
    i.FriendlyDescription =
        &T::FriendlyDescription == &TXCollectionItem::FriendlyDescription ? &T::FriendlyName : &T::FriendlyDescription;
    i.ItemCategory = &T::ItemCategory;
    i.UniqueItem = &T::UniqueItem;
    i.CanAddTo = &T::CanAddTo;
    DeclareXCollectionItemClass(i);
    return i;
  }();
  return info;
}

// Appends the class to the registry unless it is there.
void RegisterXCollectionItemClass(const TXCollectionItemClassInfo& Info);
template <class T>
void RegisterXCollectionItemClass() {
  RegisterXCollectionItemClass(XCollectionItemClassOf<T>());
}
// The registered class of exactly that name (case-sensitive), nullptr when none.
TClass FindXCollectionItemClass(const std::string& ClassName);
// Registered classes that are ItemsClass or derive from it, in registration order.
std::vector<TClass> GetXCollectionItemClassesList(TClass BaseClass);

// Creates an item of a declared class. With an owner whose CanAdd refuses the class, an
// assertion fails with "Addition of <class> to <owner class> rejected." before anything is
// created. The item's Name is its class's FriendlyName.
TXCollectionItem* CreateXCollectionItem(TClass ItemClass, TXCollection* Owner);

template <class T>
T* TXCollection::Add() {
  XCollectionItemClassOf<T>();
  return static_cast<T*>(CreateXCollectionItem(T::StaticClass(), this));
}
