// The object model's core classes: persistent objects, components with owners and free
// notification, collections, pointer lists, streams and string lists.
//
// Threads: none of these classes is thread-safe except TThreadList; an object is used by one
// thread at a time (components and collections belong to the GUI thread).
// Errors: index and argument errors raise EListError / EStringListError / EComponentError with the
// texts given per operation; stream failures raise EReadError, EWriteError, EFOpenError,
// EFCreateError or EStreamError. Destructors never throw.
#pragma once

#include "rtl/SysUtils.h"
#include "rtl/System.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Provided by the component-streaming layer (rtl/Streaming.h).
class TFiler;
class TReader;
class TWriter;

class TComponent;
class TCollection;
class TCollectionItem;

using TNotifyEvent = std::function<void(TObject* Sender)>;

// Index text shared by the list classes: "List index out of bounds (<index>)".
[[noreturn]] void RaiseListIndexError(std::int64_t index);

// ---------------------------------------------------------------------------------------------
// TPersistent: an object that can copy itself from another (Assign) and that the streaming layer
// can store (DefineProperties).

class TPersistent : public TObject {
  RTL_CLASS(TPersistent, TObject)
 public:
  TPersistent() = default;

  // Copies `Source` into this object. The base asks Source->AssignTo(this); a class that
  // knows how to copy a given source overrides Assign, handles it, and otherwise calls
  // inherited::Assign. Raises EConvertError "Cannot assign a <source class> to a <class>"
  // ("Cannot assign a nil to a <class>" for nullptr) when neither side knows how.
  virtual void Assign(TPersistent* Source);
  // The reverse hook: copy this object into Dest. The base raises the EConvertError above.
  virtual void AssignTo(TPersistent* Dest);
  // Dotted path for messages and designers: the owner's name path + "." + ClassName(), or
  // just ClassName() without an owner (or when the owner's path is empty).
  virtual std::string GetNamePath();
  // The object that owns this one for name paths; nullptr by default.
  virtual TPersistent* GetOwner();
  // Lets a class store extra, unpublished data through the filer (DefineProperty /
  // DefineBinaryProperty of the streaming layer). Empty by default.
  virtual void DefineProperties(TFiler* Filer);
};

// ---------------------------------------------------------------------------------------------
// TComponent: a persistent object with an owner, a name and free notification.
//
// Ownership: a component created with an owner is inserted into the owner's list and freed by
// it. When the owner is freed it first marks its whole owned tree csDestroying, then frees its
// components from the last one to the first. Freeing an owned component earlier removes it from
// its owner. A component without owner is freed by whoever created it (FreeAndNil, or delete).
//
// Notification(AComponent, Operation):
//   - opInsert/opRemove are sent to the owner when a component is inserted into / removed from
//     its list; TComponent::Notification passes every notification on to all owned components,
//     so siblings hear about each other. The opInsert of a component created with an owner comes
//     from TComponent's constructor: receivers see only its TComponent part, and the new
//     component does not hear its own insertion.
//   - A.FreeNotification(B) asks for a Notification(A, opRemove) on B when A is freed (it works
//     both ways and across owners). RemoveFreeNotification undoes it.
//   - The notification of a component being freed comes from ~TComponent, after the derived
//     destructors ran: receivers compare the pointer (clear their reference) but must not call it
//     or cast it to a derived class.
//   - Receivers that override Notification should call inherited::Notification (it keeps the
//     free-notification lists tidy and passes the call on to owned components); the lists stay
//     consistent even when they do not.
//
// Destroying: FreeAndNil/owners call BeforeDestruction, which calls Destroying(): csDestroying is
// set on the component and its whole owned tree before any destructor runs. A plain `delete`
// sets it only when ~TComponent runs; a derived destructor whose teardown tests csDestroying
// calls Destroying() itself first.
//
// Names: empty or an identifier (letter or '_', then letters, digits, '_'); unique among the
// owner's components, compared without case. SetName raises EComponentError
// "'<name>' is not a valid component name" or "A component named <name> already exists".

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag {
  csLoading,
  csReading,
  csWriting,
  csDestroying,
  csDesigning,
  csAncestor,
  csUpdating,
  csFixups,
  csFreeNotification,
  csInline,
  csDesignInstance
};
using TComponentState = TSet<TComponentStateFlag>;

class TComponent : public TPersistent {
  RTL_CLASS(TComponent, TPersistent)
 public:
  // Factories of registered component classes pass the owner through this type.
  using OwnerType = TComponent;

  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const noexcept { return owner_; }
  const std::string& Name() const noexcept { return name_; }
  virtual void SetName(const std::string& NewName);
  std::intptr_t Tag() const noexcept { return tag_; }
  void SetTag(std::intptr_t value) noexcept { tag_ = value; }
  TComponentState ComponentState() const noexcept { return state_; }

  // Owned components in insertion order.
  int ComponentCount() const noexcept { return static_cast<int>(components_.size()); }
  // Raises EListError "List index out of bounds (<i>)".
  TComponent* Components(int Index) const;
  // Index in the owner's list, -1 without owner.
  int ComponentIndex() const noexcept;
  // Moves this component within its owner's list (clamped to the list).
  void SetComponentIndex(int Value);
  // The owned component with that name (case-insensitive), nullptr when none or name empty.
  TComponent* FindComponent(const std::string& AName) const;

  // Takes AComponent into this component's list (removing it from its former owner first).
  void InsertComponent(TComponent* AComponent);
  // Gives up ownership without freeing; AComponent then has no owner.
  void RemoveComponent(TComponent* AComponent);
  // Frees every owned component (last first).
  void DestroyComponents();
  // Sets csDestroying here and in the owned tree (idempotent).
  void Destroying();

  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);
  virtual void Notification(TComponent* AComponent, TOperation Operation);

  // Called once after the streaming layer has read this component (and its owned tree):
  // clears csLoading. Overrides call inherited::Loaded() first.
  virtual void Loaded();
  // Hands each child to Proc in storage order; Root is the root being written. Empty here.
  virtual void GetChildren(const std::function<void(TComponent*)>& Proc, TComponent* Root);
  // Components whose stored parent is not their owner (scene objects) answer true and
  // implement Get/SetParentComponent.
  virtual bool HasParent();
  virtual TComponent* GetParentComponent();
  virtual void SetParentComponent(TComponent* Value);
  // Reads/writes this component's state; the defaults call the procedures that the streaming
  // layer installs with SetComponentStreamProcs (EFilerError when none is installed).
  virtual void ReadState(TReader* Reader);
  virtual void WriteState(TWriter* Writer);

  // csUpdating on/off.
  virtual void Updating();
  virtual void Updated();
  // csDesigning on this component and, optionally, its owned tree.
  void SetDesigning(bool Value, bool SetChildren = true);

  std::string GetNamePath() override;
  TPersistent* GetOwner() override;
  void BeforeDestruction() override;

  // State changes for the streaming layer (csLoading, csReading, csWriting, csAncestor...).
  void IncludeState(TComponentStateFlag flag) noexcept { state_.Include(flag); }
  void ExcludeState(TComponentStateFlag flag) noexcept { state_.Exclude(flag); }

 protected:
  // Sets the name without checks (after validation).
  virtual void ChangeName(const std::string& NewName);
  // Raises EComponentError when NewName is taken among this owner's components.
  virtual void ValidateRename(TComponent* AComponent, const std::string& CurName, const std::string& NewName);
  // Hook for subclasses that restrict what they may own. Empty by default.
  virtual void ValidateInsert(TComponent* AComponent);

 private:
  void Insert(TComponent* AComponent);
  void Remove(TComponent* AComponent);
  void AddFreeNotify(TComponent* AComponent);
  void RemoveFreeNotify(TComponent* AComponent);
  void IndexName(TComponent* AComponent);
  void UnindexName(TComponent* AComponent);

  TComponent* owner_ = nullptr;
  std::string name_;
  std::intptr_t tag_ = 0;
  TComponentState state_;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> freeNotifies_;
  // Lower-cased name -> owned component, for FindComponent and rename checks.
  std::unordered_map<std::string, TComponent*> names_;
};

// Installs the streaming layer's read/write procedures for TComponent::ReadState/WriteState.
struct TComponentStreamProcs {
  void (*ReadState)(TComponent* Instance, TReader* Reader) = nullptr;
  void (*WriteState)(TComponent* Instance, TWriter* Writer) = nullptr;
};
void SetComponentStreamProcs(const TComponentStreamProcs& procs) noexcept;

// Creates an instance of a registered component class with an owner. Raises EInvalidCast when
// the class is not a component class.
TComponent* CreateComponent(TClass ComponentClass, TComponent* AOwner);

// ---------------------------------------------------------------------------------------------
// TCollection / TCollectionItem: an owned list of items of one item class.
//
// An item is created with its collection and added to it by its constructor; `delete item` (or
// Delete/Clear) removes it. Add() reports the new item (Notify cnAdded, Added, Update) after its
// constructor has finished; an item constructed directly with `new` is reported from
// TCollectionItem's constructor, while only its TCollectionItem part exists. Each item gets an ID unique within its collection (never reused).
// Changes call the collection's virtual Update(item) (nullptr = the whole collection) unless an
// update is in progress (BeginUpdate ... EndUpdate); the last EndUpdate then calls Update(nullptr)
// once. EndUpdate without BeginUpdate is ignored. Index errors raise EListError
// "List index out of bounds (<i>)".

enum TCollectionNotification { cnAdded, cnExtracting, cnDeleting };

class TCollectionItem : public TPersistent {
  RTL_CLASS(TCollectionItem, TPersistent)
 public:
  using OwnerType = TCollection;

  explicit TCollectionItem(TCollection* Collection);
  ~TCollectionItem() override;
  TCollectionItem(const TCollectionItem&) = delete;
  TCollectionItem& operator=(const TCollectionItem&) = delete;

  TCollection* Collection() const noexcept { return collection_; }
  // Moves the item to another collection (nullptr: none).
  virtual void SetCollection(TCollection* Value);
  int ID() const noexcept { return id_; }
  // Position in the collection, -1 without collection.
  int Index() const noexcept;
  // Moves the item within its collection (raises EListError for a bad index).
  virtual void SetIndex(int Value);
  // The text designers show; ClassName() by default.
  virtual std::string GetDisplayName();
  virtual void SetDisplayName(const std::string& Value);
  std::string DisplayName() { return GetDisplayName(); }

  // "<collection name path>[<index>]", or ClassName() without collection.
  std::string GetNamePath() override;
  TPersistent* GetOwner() override;

 protected:
  // Reports a change: Update(this), or Update(nullptr) when AllItems.
  void Changed(bool AllItems);

 private:
  friend class TCollection;
  TCollection* collection_ = nullptr;
  int id_ = 0;
};

class TCollection : public TPersistent {
  RTL_CLASS(TCollection, TPersistent)
 public:
  // ItemClass must be TCollectionItem or derive from it (EInvalidCast otherwise).
  explicit TCollection(TClass ItemClass);
  ~TCollection() override;
  TCollection(const TCollection&) = delete;
  TCollection& operator=(const TCollection&) = delete;

  TClass ItemClass() const noexcept { return itemClass_; }
  int Count() const noexcept { return static_cast<int>(items_.size()); }
  TCollectionItem* Items(int Index) const;
  // Assigns Value into the item at Index.
  void SetItems(int Index, TCollectionItem* Value);
  TCollectionItem* Add();
  TCollectionItem* Insert(int Index);
  void Delete(int Index);
  void Clear();
  TCollectionItem* FindItemID(int ID) const noexcept;
  // Typed helpers: Items(i) / Add() cast to the item class.
  template <class T>
  T* ItemAs(int Index) const {
    return static_cast<T*>(Items(Index));
  }
  template <class T>
  T* AddAs() {
    return static_cast<T*>(Add());
  }

  virtual void BeginUpdate();
  virtual void EndUpdate();
  int UpdateCount() const noexcept { return updateCount_; }

  // Replaces the items with copies of Source's items (Source must be a TCollection).
  void Assign(TPersistent* Source) override;
  // "<owner path>.<PropName>" when there is an owner with a non-empty path and a property
  // name; else ClassName().
  std::string GetNamePath() override;
  // The name of the owner's property that holds this collection (for name paths).
  const std::string& PropName() const noexcept { return propName_; }
  void SetPropName(const std::string& Value) { propName_ = Value; }

  // Called for every change unless updating; Item == nullptr means the whole collection.
  virtual void Update(TCollectionItem* Item);
  // Update(nullptr) unless updating.
  void Changed();
  // Update(Item) unless updating.
  void ItemChanged(TCollectionItem* Item);

 protected:
  // Called when an item was added, is about to be deleted or is being taken out.
  virtual void Notify(TCollectionItem* Item, TCollectionNotification Action);
  // Called by Add after the item is constructed and inserted.
  virtual void Added(TCollectionItem* Item);

 private:
  friend class TCollectionItem;
  void InsertItem(TCollectionItem* Item);
  void RemoveItem(TCollectionItem* Item);
  void MoveItem(TCollectionItem* Item, int NewIndex);

  TClass itemClass_;
  std::vector<TCollectionItem*> items_;
  int updateCount_ = 0;
  int nextID_ = 0;
  bool adding_ = false;
  std::string propName_;
};

// A collection with an owner for name paths and GetOwner.
class TOwnedCollection : public TCollection {
  RTL_CLASS(TOwnedCollection, TCollection)
 public:
  TOwnedCollection(TPersistent* AOwner, TClass ItemClass) : TCollection(ItemClass), owner_(AOwner) {}
  TPersistent* GetOwner() override { return owner_; }

 private:
  TPersistent* owner_;
};

// ---------------------------------------------------------------------------------------------
// TList: a list of untyped pointers (the list never owns them). Subclasses that must hear the
// lnDeleted of the last entries call Clear() in their own destructor (~TList's Clear can no
// longer reach their Notify).
// Errors: EListError "List index out of bounds (<i>)", "List capacity out of bounds (<n>)",
// "List count out of bounds (<n>)".

enum TListNotification { lnAdded, lnExtracted, lnDeleted };
using TListSortCompare = int (*)(void* Item1, void* Item2);

class TList : public TObject {
  RTL_CLASS(TList, TObject)
 public:
  TList() = default;
  ~TList() override;
  TList(const TList&) = delete;
  TList& operator=(const TList&) = delete;

  int Count() const noexcept { return static_cast<int>(items_.size()); }
  void SetCount(int NewCount);
  int Capacity() const noexcept { return static_cast<int>(items_.capacity()); }
  void SetCapacity(int NewCapacity);
  void* Items(int Index) const;
  void SetItems(int Index, void* Item);
  void* Get(int Index) const { return Items(Index); }
  void Put(int Index, void* Item) { SetItems(Index, Item); }

  int Add(void* Item);
  void Insert(int Index, void* Item);
  void Delete(int Index);
  // Removes the first occurrence; returns its former index or -1.
  int Remove(void* Item);
  // Removes the first occurrence without the lnDeleted notification (lnExtracted instead).
  void* Extract(void* Item);
  int IndexOf(void* Item) const noexcept;
  void Exchange(int Index1, int Index2);
  void Move(int CurIndex, int NewIndex);
  // Removes every nullptr entry.
  void Pack();
  // Stable sort by Compare (<0: Item1 first); takes a TListSortCompare or any callable.
  void Sort(const std::function<int(void*, void*)>& Compare);
  // First/Last raise EListError on an empty list.
  void* First() const;
  void* Last() const;
  TList* Expand();
  virtual void Clear();
  // Makes this list a copy of Source.
  void Assign(const TList* Source);
  void* const* List() const noexcept { return items_.data(); }

 protected:
  // Called after an item was added, and before it leaves (extracted or deleted).
  virtual void Notify(void* Ptr, TListNotification Action);

 private:
  std::vector<void*> items_;
};

// A TList behind a recursive mutex. LockList returns the list locked; UnlockList releases it.
// Duplicates: dupIgnore (default) keeps Add from adding an item twice.
enum TDuplicates { dupIgnore, dupAccept, dupError };

class TThreadList {
 public:
  TThreadList() = default;
  TThreadList(const TThreadList&) = delete;
  TThreadList& operator=(const TThreadList&) = delete;

  void Add(void* Item);  // dupError raises EListError "Duplicates not allowed in this list"
  void Remove(void* Item);
  void Clear();
  TList* LockList();
  void UnlockList();
  TDuplicates Duplicates() const noexcept { return duplicates_; }
  void SetDuplicates(TDuplicates value) noexcept { duplicates_ = value; }

 private:
  std::recursive_mutex lock_;
  TList list_;
  TDuplicates duplicates_ = dupIgnore;
};

// ---------------------------------------------------------------------------------------------
// Streams. Positions and sizes are 64-bit byte counts. Read/Write move at most Count bytes and
// return how many moved (0 for Count <= 0); ReadBuffer/WriteBuffer move exactly Count bytes or
// raise EReadError "Stream read error" / EWriteError "Stream write error". A short read is never
// silent through ReadBuffer.

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
  RTL_CLASS(TStream, TObject)
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
  virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
  // Returns the new position.
  virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;

  void ReadBuffer(void* Buffer, std::int64_t Count);
  void WriteBuffer(const void* Buffer, std::int64_t Count);
  std::int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(std::int64_t Pos) { Seek(Pos, soBeginning); }
  virtual std::int64_t Size();
  // Raises EStreamError when the stream cannot change its size.
  virtual void SetSize(std::int64_t NewSize);
  // Copies Count bytes from Source's position (Count == 0: all of Source from its start).
  // Returns the count copied; a short source raises EReadError.
  std::int64_t CopyFrom(TStream* Source, std::int64_t Count);
};

// A stream over an open file descriptor (not closed by this class).
class THandleStream : public TStream {
  RTL_CLASS(THandleStream, TStream)
 public:
  explicit THandleStream(int AHandle) : handle_(AHandle) {}
  int Handle() const noexcept { return handle_; }
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(std::int64_t NewSize) override;

 protected:
  int handle_;
};

// File modes (open mode | share mode, or fmCreate). Share modes are accepted and ignored:
// files are not locked.
constexpr unsigned fmCreate = 0xFF00;
constexpr unsigned fmOpenRead = 0x0000;
constexpr unsigned fmOpenWrite = 0x0001;
constexpr unsigned fmOpenReadWrite = 0x0002;
constexpr unsigned fmShareCompat = 0x0000;
constexpr unsigned fmShareExclusive = 0x0010;
constexpr unsigned fmShareDenyWrite = 0x0020;
constexpr unsigned fmShareDenyRead = 0x0030;
constexpr unsigned fmShareDenyNone = 0x0040;

// A file opened by name. fmCreate creates or truncates (read/write); otherwise the file must
// exist (and must not be a directory). Failures raise EFCreateError
// "Cannot create file \"<name>\". <reason>" or EFOpenError "Cannot open file \"<name>\". <reason>".
class TFileStream : public THandleStream {
  RTL_CLASS(TFileStream, THandleStream)
 public:
  TFileStream(const std::string& FileName, unsigned Mode);
  ~TFileStream() override;
  const std::string& FileName() const noexcept { return fileName_; }

 private:
  std::string fileName_;
};

// A growable stream in memory. Memory() stays valid until the next size change.
class TMemoryStream : public TStream {
  RTL_CLASS(TMemoryStream, TStream)
 public:
  TMemoryStream() = default;
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t NewSize) override;  // keeps the position (clamped to the size)
  void* Memory() noexcept { return data_.data(); }
  const void* Memory() const noexcept { return data_.data(); }
  void Clear();
  // Replaces the content with the whole of Stream (from its start) / of the file.
  void LoadFromStream(TStream* Stream);
  void LoadFromFile(const std::string& FileName);
  void SaveToStream(TStream* Stream);
  void SaveToFile(const std::string& FileName);

 private:
  std::vector<std::uint8_t> data_;
  std::int64_t position_ = 0;
};

// A stream over a string (its bytes); DataString is the whole content.
class TStringStream : public TStream {
  RTL_CLASS(TStringStream, TStream)
 public:
  explicit TStringStream(std::string AString = {}) : data_(std::move(AString)) {}
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t NewSize) override;
  const std::string& DataString() const noexcept { return data_; }
  // Reads up to Count bytes as text (fewer at the end).
  std::string ReadString(std::int64_t Count);
  void WriteString(std::string_view AString);

 private:
  std::string data_;
  std::int64_t position_ = 0;
};

// ---------------------------------------------------------------------------------------------
// TStrings: the abstract list of strings, each with an associated object pointer (not owned,
// unless a TStringList has OwnsObjects). TStringList: the concrete list.
//
// Text: lines joined by LineBreak() ("\r\n"), each line followed by one. Setting Text (and
// LoadFromStream/LoadFromFile) splits on CR LF, LF or CR; a final line break does not add an
// empty line; a leading UTF-8 byte-order mark is skipped when loading. SaveToFile/SaveToStream
// write Text (so CR LF line ends).
// CommaText/DelimitedText: items separated by Delimiter (','), quoted with QuoteChar ('"') when
// they contain blanks, the delimiter or the quote; reading also splits unquoted items at blanks.
// Name=value: Names(i) is the text before the first NameValueSeparator ('='), empty when none;
// Values(name) the text after it for the first line with that name ("" when absent);
// SetValues(name, "") deletes the line.
// Index errors raise EStringListError "List index out of bounds (<i>)".

class TStrings : public TPersistent {
  RTL_CLASS(TStrings, TPersistent)
 public:
  TStrings() = default;

  // The storage operations that subclasses provide.
  virtual std::string Get(int Index) const = 0;
  virtual int Count() const = 0;
  virtual TObject* GetObject(int Index) const;
  virtual void Put(int Index, const std::string& S);
  virtual void PutObject(int Index, TObject* AObject);
  virtual void Insert(int Index, const std::string& S) = 0;
  virtual void Delete(int Index) = 0;
  virtual void Clear() = 0;

  std::string Strings(int Index) const { return Get(Index); }
  void SetStrings(int Index, const std::string& S) { Put(Index, S); }
  TObject* Objects(int Index) const { return GetObject(Index); }
  void SetObjects(int Index, TObject* AObject) { PutObject(Index, AObject); }

  virtual int Add(const std::string& S);
  virtual int AddObject(const std::string& S, TObject* AObject);
  void InsertObject(int Index, const std::string& S, TObject* AObject);
  void Append(const std::string& S) { Add(S); }
  void AddStrings(const TStrings* Strings);
  virtual int IndexOf(const std::string& S) const;
  int IndexOfName(const std::string& Name) const;
  int IndexOfObject(const TObject* AObject) const;
  virtual void Exchange(int Index1, int Index2);
  virtual void Move(int CurIndex, int NewIndex);
  bool Equals(const TStrings* Strings) const;

  std::string Text() const;
  virtual void SetText(std::string_view Value);
  std::string CommaText() const;
  void SetCommaText(std::string_view Value);
  std::string DelimitedText() const;
  void SetDelimitedText(std::string_view Value);
  char Delimiter() const noexcept { return delimiter_; }
  void SetDelimiter(char c) noexcept { delimiter_ = c; }
  char QuoteChar() const noexcept { return quoteChar_; }
  void SetQuoteChar(char c) noexcept { quoteChar_ = c; }
  char NameValueSeparator() const noexcept { return nameValueSeparator_; }
  void SetNameValueSeparator(char c) noexcept { nameValueSeparator_ = c; }
  const std::string& LineBreak() const noexcept { return lineBreak_; }
  void SetLineBreak(std::string value) { lineBreak_ = std::move(value); }

  std::string Names(int Index) const;
  std::string Values(const std::string& Name) const;
  void SetValues(const std::string& Name, const std::string& Value);
  std::string ValueFromIndex(int Index) const;
  void SetValueFromIndex(int Index, const std::string& Value);

  virtual void LoadFromFile(const std::string& FileName);
  virtual void LoadFromStream(TStream* Stream);
  virtual void SaveToFile(const std::string& FileName) const;
  virtual void SaveToStream(TStream* Stream) const;

  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const noexcept { return updateCount_; }

  // Accepts any TStrings source (copies strings and objects).
  void Assign(TPersistent* Source) override;

  // Comparison used by IndexOf/IndexOfName (TStrings: without case).
  virtual int CompareStrings(const std::string& S1, const std::string& S2) const;

 protected:
  // Called on the first BeginUpdate (true) and the last EndUpdate (false).
  virtual void SetUpdateState(bool Updating);
  [[noreturn]] void Error(const std::string& Msg, int Data) const;

 private:
  int updateCount_ = 0;
  char delimiter_ = ',';
  char quoteChar_ = '"';
  char nameValueSeparator_ = '=';
  std::string lineBreak_ = "\r\n";
};

using TStringListSortCompare = std::function<int(class TStringList* List, int Index1, int Index2)>;

class TStringList : public TStrings {
  RTL_CLASS(TStringList, TStrings)
 public:
  TStringList() = default;
  explicit TStringList(bool OwnsObjects) : ownsObjects_(OwnsObjects) {}
  ~TStringList() override;

  std::string Get(int Index) const override;
  int Count() const override { return static_cast<int>(items_.size()); }
  TObject* GetObject(int Index) const override;
  // Put on a sorted list raises EStringListError "Operation not allowed on sorted list".
  void Put(int Index, const std::string& S) override;
  void PutObject(int Index, TObject* AObject) override;
  // Insert on a sorted list raises EStringListError "Operation not allowed on sorted list".
  void Insert(int Index, const std::string& S) override;
  void Delete(int Index) override;
  void Clear() override;
  void Exchange(int Index1, int Index2) override;
  // Moves a line with its object (never freed by the move); refused on a sorted list.
  void Move(int CurIndex, int NewIndex) override;

  int Add(const std::string& S) override { return AddObject(S, nullptr); }
  // On a sorted list: dupIgnore returns the index of the existing equal string, dupError
  // raises EStringListError "String list does not allow duplicates", dupAccept inserts before
  // the equal strings. Unsorted lists append.
  int AddObject(const std::string& S, TObject* AObject) override;
  int IndexOf(const std::string& S) const override;
  // Binary search of a sorted list: true when found, Index = first equal string; else false
  // and Index = where S would be inserted.
  virtual bool Find(const std::string& S, int& Index) const;
  virtual void Sort();
  // Reorders an unsorted list; does nothing on a sorted one.
  void CustomSort(const TStringListSortCompare& Compare);

  bool Sorted() const noexcept { return sorted_; }
  void SetSorted(bool Value);
  TDuplicates Duplicates() const noexcept { return duplicates_; }
  void SetDuplicates(TDuplicates Value) noexcept { duplicates_ = Value; }
  bool CaseSensitive() const noexcept { return caseSensitive_; }
  void SetCaseSensitive(bool Value);
  bool OwnsObjects() const noexcept { return ownsObjects_; }
  void SetOwnsObjects(bool Value) noexcept { ownsObjects_ = Value; }

  int CompareStrings(const std::string& S1, const std::string& S2) const override;

  // Fired before / after each change (once around a BeginUpdate ... EndUpdate block).
  TNotifyEvent OnChange;
  TNotifyEvent OnChanging;

 protected:
  void SetUpdateState(bool Updating) override;
  virtual void Changed();
  virtual void Changing();
  void InsertItem(int Index, const std::string& S, TObject* AObject);

 private:
  void SortBy(const TStringListSortCompare& Compare);

  struct Item {
    std::string string;
    TObject* object = nullptr;
  };
  std::vector<Item> items_;
  bool sorted_ = false;
  bool caseSensitive_ = false;
  bool ownsObjects_ = false;
  TDuplicates duplicates_ = dupIgnore;
};
