// Persistent objects, components, collections, pointer and thread lists, file and memory streams,
// and string lists.
#include "rtl/Classes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void RaiseListIndexError(std::int64_t index) { throw EListError(Format("List index out of bounds (%d)", index)); }

// ---------------------------------------------------------------------------------------------
// TPersistent

void TPersistent::Assign(TPersistent* Source) {
  if (Source) {
    Source->AssignTo(this);
    return;
  }
  throw EConvertError(Format("Cannot assign a nil to a %s", ClassName()));
}

void TPersistent::AssignTo(TPersistent* Dest) {
  throw EConvertError(Format("Cannot assign a %s to a %s", ClassName(), Dest ? Dest->ClassName() : std::string("nil")));
}

std::string TPersistent::GetNamePath() {
  std::string result = ClassName();
  if (TPersistent* owner = GetOwner()) {
    std::string s = owner->GetNamePath();
    if (!s.empty()) result = s + "." + result;
  }
  return result;
}

TPersistent* TPersistent::GetOwner() { return nullptr; }

void TPersistent::DefineProperties(TFiler*) {}

// ---------------------------------------------------------------------------------------------
// TComponent

namespace {
TComponentStreamProcs g_streamProcs;
}

void SetComponentStreamProcs(const TComponentStreamProcs& procs) noexcept { g_streamProcs = procs; }

TComponent* CreateComponent(TClass ComponentClass, TComponent* AOwner) {
  if (!ComponentClass || !ComponentClass->InheritsFrom(TComponent::StaticClass()))
    throw EInvalidCast(
        Format("%s is not a component class", ComponentClass ? ComponentClass->Name : std::string("nil")));
  return static_cast<TComponent*>(ComponentClass->Create(AOwner));
}

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Tell everyone that asked, last first. Each entry is unlinked before the call, so the loop
  // ends even when a receiver's Notification does not call the inherited one.
  while (!freeNotifies_.empty()) {
    TComponent* other = freeNotifies_.back();
    freeNotifies_.pop_back();
    other->RemoveFreeNotify(this);
    try {
      other->Notification(this, opRemove);
    } catch (...) {
      // A destructor never throws; a failing receiver must not stop the others.
    }
  }
  try {
    DestroyComponents();
  } catch (...) {
  }
  if (owner_) {
    try {
      owner_->RemoveComponent(this);
    } catch (...) {
      owner_->Remove(this);
    }
  }
}

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || Index >= ComponentCount()) RaiseListIndexError(Index);
  return components_[static_cast<std::size_t>(Index)];
}

int TComponent::ComponentIndex() const noexcept {
  if (!owner_) return -1;
  auto& list = owner_->components_;
  auto it = std::find(list.begin(), list.end(), this);
  return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

void TComponent::SetComponentIndex(int Value) {
  if (!owner_) return;
  int cur = ComponentIndex();
  if (cur < 0) return;
  auto& list = owner_->components_;
  Value = std::clamp(Value, 0, static_cast<int>(list.size()) - 1);
  if (Value == cur) return;
  list.erase(list.begin() + cur);
  list.insert(list.begin() + Value, this);
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  auto it = names_.find(LowerCase(AName));
  return it == names_.end() ? nullptr : it->second;
}

void TComponent::IndexName(TComponent* AComponent) {
  if (!AComponent->name_.empty()) names_[LowerCase(AComponent->name_)] = AComponent;
}

void TComponent::UnindexName(TComponent* AComponent) {
  if (AComponent->name_.empty()) return;
  auto it = names_.find(LowerCase(AComponent->name_));
  if (it != names_.end() && it->second == AComponent) names_.erase(it);
}

void TComponent::SetName(const std::string& NewName) {
  if (name_ == NewName) return;
  if (!NewName.empty() && !IsValidIdent(NewName))
    throw EComponentError(Format("'%s' is not a valid component name", NewName));
  if (owner_)
    owner_->ValidateRename(this, name_, NewName);
  else
    ValidateRename(nullptr, name_, NewName);
  ChangeName(NewName);
}

void TComponent::ChangeName(const std::string& NewName) {
  if (owner_) owner_->UnindexName(this);
  name_ = NewName;
  if (owner_) owner_->IndexName(this);
}

void TComponent::ValidateRename(TComponent* AComponent, const std::string& CurName, const std::string& NewName) {
  if (AComponent && !NewName.empty() && !SameText(CurName, NewName)) {
    TComponent* found = FindComponent(NewName);
    if (found && found != AComponent) throw EComponentError(Format("A component named %s already exists", NewName));
  }
}

void TComponent::ValidateInsert(TComponent*) {}

void TComponent::Insert(TComponent* AComponent) {
  components_.push_back(AComponent);
  AComponent->owner_ = this;
  IndexName(AComponent);
}

void TComponent::Remove(TComponent* AComponent) {
  UnindexName(AComponent);
  auto it = std::find(components_.begin(), components_.end(), AComponent);
  if (it != components_.end()) components_.erase(it);
  AComponent->owner_ = nullptr;
}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (!AComponent || AComponent->owner_ == this) return;
  ValidateInsert(AComponent);
  ValidateRename(AComponent, std::string(), AComponent->name_);
  if (AComponent->owner_) AComponent->owner_->RemoveComponent(AComponent);
  Insert(AComponent);
  if (state_.Contains(csDesigning)) AComponent->SetDesigning(true);
  Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  if (!AComponent || AComponent->owner_ != this) return;
  Notification(AComponent, opRemove);
  Remove(AComponent);
}

void TComponent::DestroyComponents() {
  while (!components_.empty()) {
    TComponent* instance = components_.back();
    // A component others asked to hear about leaves with a notification (the owner passes
    // it on to its other components); the rest leave silently, as the whole tree is going.
    if (instance->state_.Contains(csFreeNotification)) {
      try {
        RemoveComponent(instance);
      } catch (...) {
        // A failing receiver must not keep the rest of the tree alive.
      }
    }
    if (instance->owner_ == this) Remove(instance);
    FreeObject(instance);
  }
}

void TComponent::Destroying() {
  if (state_.Contains(csDestroying)) return;
  state_.Include(csDestroying);
  for (TComponent* c : components_) c->Destroying();
}

void TComponent::BeforeDestruction() { Destroying(); }

void TComponent::AddFreeNotify(TComponent* AComponent) {
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), AComponent) == freeNotifies_.end())
    freeNotifies_.push_back(AComponent);
}

void TComponent::RemoveFreeNotify(TComponent* AComponent) {
  auto it = std::find(freeNotifies_.begin(), freeNotifies_.end(), AComponent);
  if (it != freeNotifies_.end()) freeNotifies_.erase(it);
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  // Siblings hear about each other through their owner; others need the explicit link.
  if (!owner_ || AComponent->owner_ != owner_) {
    AddFreeNotify(AComponent);
    AComponent->AddFreeNotify(this);
    AComponent->state_.Include(csFreeNotification);
  }
  state_.Include(csFreeNotification);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (!AComponent) return;
  RemoveFreeNotify(AComponent);
  AComponent->RemoveFreeNotify(this);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent) RemoveFreeNotification(AComponent);
  // Pass it on, last first; the list may shrink while receivers react.
  std::size_t i = components_.size();
  while (i > 0) {
    --i;
    if (i >= components_.size()) {
      if (components_.empty()) break;
      i = components_.size() - 1;
    }
    components_[i]->Notification(AComponent, Operation);
  }
}

void TComponent::Loaded() { state_.Exclude(csLoading); }

void TComponent::GetChildren(const std::function<void(TComponent*)>&, TComponent*) {}

bool TComponent::HasParent() { return false; }

TComponent* TComponent::GetParentComponent() { return nullptr; }

void TComponent::SetParentComponent(TComponent*) {}

void TComponent::ReadState(TReader* Reader) {
  if (!g_streamProcs.ReadState) throw EFilerError("Component streaming is not available");
  g_streamProcs.ReadState(this, Reader);
}

void TComponent::WriteState(TWriter* Writer) {
  if (!g_streamProcs.WriteState) throw EFilerError("Component streaming is not available");
  g_streamProcs.WriteState(this, Writer);
}

void TComponent::Updating() { state_.Include(csUpdating); }

void TComponent::Updated() { state_.Exclude(csUpdating); }

void TComponent::SetDesigning(bool Value, bool SetChildren) {
  if (Value)
    state_.Include(csDesigning);
  else
    state_.Exclude(csDesigning);
  if (SetChildren)
    for (TComponent* c : components_) c->SetDesigning(Value, true);
}

std::string TComponent::GetNamePath() { return name_; }

TPersistent* TComponent::GetOwner() { return owner_; }

// ---------------------------------------------------------------------------------------------
// TCollectionItem

TCollectionItem::TCollectionItem(TCollection* Collection) { SetCollection(Collection); }

TCollectionItem::~TCollectionItem() {
  if (collection_) {
    try {
      collection_->RemoveItem(this);
    } catch (...) {
      // Update handlers may throw; the item is gone regardless.
    }
  }
}

void TCollectionItem::SetCollection(TCollection* Value) {
  if (collection_ == Value) return;
  if (collection_) collection_->RemoveItem(this);
  if (Value) Value->InsertItem(this);
}

int TCollectionItem::Index() const noexcept {
  if (!collection_) return -1;
  auto& items = collection_->items_;
  auto it = std::find(items.begin(), items.end(), this);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

void TCollectionItem::SetIndex(int Value) {
  if (!collection_) return;
  int cur = Index();
  if (cur < 0 || Value == cur) return;
  if (Value < 0 || Value >= collection_->Count()) RaiseListIndexError(Value);
  collection_->MoveItem(this, Value);
  Changed(true);
}

std::string TCollectionItem::GetDisplayName() { return ClassName(); }

void TCollectionItem::SetDisplayName(const std::string&) { Changed(false); }

std::string TCollectionItem::GetNamePath() {
  if (collection_) return Format("%s[%d]", collection_->GetNamePath(), Index());
  return ClassName();
}

TPersistent* TCollectionItem::GetOwner() { return collection_; }

void TCollectionItem::Changed(bool AllItems) {
  if (collection_ && collection_->updateCount_ == 0) collection_->Update(AllItems ? nullptr : this);
}

// ---------------------------------------------------------------------------------------------
// TCollection

TCollection::TCollection(TClass ItemClass) : itemClass_(ItemClass) {
  if (!ItemClass || !ItemClass->InheritsFrom(TCollectionItem::StaticClass()))
    throw EInvalidCast(Format("%s is not a collection item class", ItemClass ? ItemClass->Name : std::string("nil")));
}

TCollection::~TCollection() {
  updateCount_ = 1;  // no Update calls into a collection being destroyed
  while (!items_.empty()) {
    TCollectionItem* item = items_.back();
    items_.pop_back();
    item->collection_ = nullptr;
    FreeObject(item);
  }
}

TCollectionItem* TCollection::Items(int Index) const {
  if (Index < 0 || Index >= Count()) RaiseListIndexError(Index);
  return items_[static_cast<std::size_t>(Index)];
}

void TCollection::SetItems(int Index, TCollectionItem* Value) { Items(Index)->Assign(Value); }

TCollectionItem* TCollection::Add() {
  // The item joins the list from its constructor; its cnAdded and the change are reported
  // once it is fully constructed, so handlers never see a half-built item.
  adding_ = true;
  TCollectionItem* item;
  try {
    item = static_cast<TCollectionItem*>(itemClass_->Create(this));
  } catch (...) {
    adding_ = false;
    throw;
  }
  adding_ = false;
  Notify(item, cnAdded);
  Added(item);
  Changed();
  return item;
}

TCollectionItem* TCollection::Insert(int Index) {
  if (Index < 0 || Index > Count()) RaiseListIndexError(Index);
  TCollectionItem* item = Add();
  if (Index < Count() - 1) item->SetIndex(Index);
  return item;
}

void TCollection::Delete(int Index) {
  TCollectionItem* item = Items(Index);
  Notify(item, cnDeleting);
  FreeObject(item);
}

void TCollection::Clear() {
  if (items_.empty()) return;
  BeginUpdate();
  try {
    while (!items_.empty()) FreeObject(items_.back());
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

TCollectionItem* TCollection::FindItemID(int ID) const noexcept {
  for (TCollectionItem* item : items_)
    if (item->id_ == ID) return item;
  return nullptr;
}

void TCollection::BeginUpdate() { ++updateCount_; }

void TCollection::EndUpdate() {
  if (updateCount_ <= 0) return;
  --updateCount_;
  Changed();
}

void TCollection::Assign(TPersistent* Source) {
  auto* src = dynamic_cast<TCollection*>(Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  if (src == this) return;
  BeginUpdate();
  try {
    Clear();
    for (TCollectionItem* item : src->items_) Add()->Assign(item);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

std::string TCollection::GetNamePath() {
  std::string result = ClassName();
  TPersistent* owner = GetOwner();
  if (!owner) return result;
  std::string s = owner->GetNamePath();
  if (s.empty() || propName_.empty()) return result;
  return s + "." + propName_;
}

void TCollection::Update(TCollectionItem*) {}

void TCollection::Changed() {
  if (updateCount_ == 0) Update(nullptr);
}

void TCollection::ItemChanged(TCollectionItem* Item) {
  if (updateCount_ == 0) Update(Item);
}

void TCollection::Notify(TCollectionItem*, TCollectionNotification) {}

void TCollection::Added(TCollectionItem*) {}

void TCollection::InsertItem(TCollectionItem* Item) {
  items_.push_back(Item);
  Item->collection_ = this;
  Item->id_ = nextID_++;
  if (adding_) return;
  Notify(Item, cnAdded);
  Changed();
}

void TCollection::RemoveItem(TCollectionItem* Item) {
  auto it = std::find(items_.begin(), items_.end(), Item);
  if (it == items_.end()) return;
  Notify(Item, cnExtracting);
  it = std::find(items_.begin(), items_.end(), Item);
  if (it != items_.end()) items_.erase(it);
  Item->collection_ = nullptr;
  Changed();
}

void TCollection::MoveItem(TCollectionItem* Item, int NewIndex) {
  auto it = std::find(items_.begin(), items_.end(), Item);
  if (it == items_.end()) return;
  items_.erase(it);
  items_.insert(items_.begin() + NewIndex, Item);
}

// ---------------------------------------------------------------------------------------------
// TList

TList::~TList() {
  try {
    Clear();
  } catch (...) {
  }
}

void TList::SetCount(int NewCount) {
  if (NewCount < 0) throw EListError(Format("List count out of bounds (%d)", NewCount));
  if (NewCount < Count()) {
    for (int i = Count() - 1; i >= NewCount; --i) Delete(i);
  } else {
    items_.resize(static_cast<std::size_t>(NewCount), nullptr);
  }
}

void TList::SetCapacity(int NewCapacity) {
  if (NewCapacity < Count()) throw EListError(Format("List capacity out of bounds (%d)", NewCapacity));
  if (NewCapacity > Capacity())
    items_.reserve(static_cast<std::size_t>(NewCapacity));
  else
    items_.shrink_to_fit();
}

void* TList::Items(int Index) const {
  if (Index < 0 || Index >= Count()) RaiseListIndexError(Index);
  return items_[static_cast<std::size_t>(Index)];
}

void TList::SetItems(int Index, void* Item) {
  if (Index < 0 || Index >= Count()) RaiseListIndexError(Index);
  void* old = items_[static_cast<std::size_t>(Index)];
  if (old == Item) return;
  items_[static_cast<std::size_t>(Index)] = Item;
  if (old) Notify(old, lnDeleted);
  if (Item) Notify(Item, lnAdded);
}

int TList::Add(void* Item) {
  items_.push_back(Item);
  if (Item) Notify(Item, lnAdded);
  return Count() - 1;
}

void TList::Insert(int Index, void* Item) {
  if (Index < 0 || Index > Count()) RaiseListIndexError(Index);
  items_.insert(items_.begin() + Index, Item);
  if (Item) Notify(Item, lnAdded);
}

void TList::Delete(int Index) {
  if (Index < 0 || Index >= Count()) RaiseListIndexError(Index);
  void* item = items_[static_cast<std::size_t>(Index)];
  items_.erase(items_.begin() + Index);
  if (item) Notify(item, lnDeleted);
}

int TList::Remove(void* Item) {
  int i = IndexOf(Item);
  if (i >= 0) Delete(i);
  return i;
}

void* TList::Extract(void* Item) {
  int i = IndexOf(Item);
  if (i < 0) return nullptr;
  void* result = items_[static_cast<std::size_t>(i)];
  items_.erase(items_.begin() + i);
  Notify(result, lnExtracted);
  return result;
}

int TList::IndexOf(void* Item) const noexcept {
  auto it = std::find(items_.begin(), items_.end(), Item);
  return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

void TList::Exchange(int Index1, int Index2) {
  if (Index1 < 0 || Index1 >= Count()) RaiseListIndexError(Index1);
  if (Index2 < 0 || Index2 >= Count()) RaiseListIndexError(Index2);
  std::swap(items_[static_cast<std::size_t>(Index1)], items_[static_cast<std::size_t>(Index2)]);
}

void TList::Move(int CurIndex, int NewIndex) {
  if (CurIndex == NewIndex) return;
  if (NewIndex < 0 || NewIndex >= Count()) RaiseListIndexError(NewIndex);
  if (CurIndex < 0 || CurIndex >= Count()) RaiseListIndexError(CurIndex);
  void* item = items_[static_cast<std::size_t>(CurIndex)];
  items_.erase(items_.begin() + CurIndex);
  items_.insert(items_.begin() + NewIndex, item);
}

void TList::Pack() { items_.erase(std::remove(items_.begin(), items_.end(), nullptr), items_.end()); }

void TList::Sort(const std::function<int(void*, void*)>& Compare) {
  if (!Compare || items_.size() < 2) return;
  std::stable_sort(items_.begin(), items_.end(), [&](void* a, void* b) { return Compare(a, b) < 0; });
}

void* TList::First() const { return Items(0); }

void* TList::Last() const { return Items(Count() - 1); }

TList* TList::Expand() {
  if (items_.size() == items_.capacity()) {
    std::size_t cap = items_.capacity();
    items_.reserve(cap > 64 ? cap + cap / 4 : (cap > 8 ? cap + 16 : cap + 4));
  }
  return this;
}

void TList::Clear() {
  while (!items_.empty()) Delete(Count() - 1);
  items_.shrink_to_fit();
}

void TList::Assign(const TList* Source) {
  if (!Source || Source == this) return;
  Clear();
  for (void* p : Source->items_) Add(p);
}

void TList::Notify(void*, TListNotification) {}

// ---------------------------------------------------------------------------------------------
// TThreadList

void TThreadList::Add(void* Item) {
  std::lock_guard guard(lock_);
  if (duplicates_ == dupAccept || list_.IndexOf(Item) < 0)
    list_.Add(Item);
  else if (duplicates_ == dupError)
    throw EListError("Duplicates not allowed in this list");
}

void TThreadList::Remove(void* Item) {
  std::lock_guard guard(lock_);
  list_.Remove(Item);
}

void TThreadList::Clear() {
  std::lock_guard guard(lock_);
  list_.Clear();
}

TList* TThreadList::LockList() {
  lock_.lock();
  return &list_;
}

void TThreadList::UnlockList() { lock_.unlock(); }

// ---------------------------------------------------------------------------------------------
// TStream

void TStream::ReadBuffer(void* Buffer, std::int64_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, std::int64_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw EWriteError("Stream write error");
}

std::int64_t TStream::Size() {
  std::int64_t pos = Seek(0, soCurrent);
  std::int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::SetSize(std::int64_t) { throw EStreamError(Format("%s cannot change its size", ClassName())); }

std::int64_t TStream::CopyFrom(TStream* Source, std::int64_t Count) {
  if (!Source) throw EStreamError("Cannot copy from a nil stream");
  if (Count == 0) {
    Source->SetPosition(0);
    Count = Source->Size();
  }
  if (Count < 0) throw EReadError("Stream read error");
  const std::int64_t result = Count;
  std::vector<char> buffer(static_cast<std::size_t>(std::min<std::int64_t>(Count, 0xF000)));
  while (Count > 0) {
    std::int64_t n = std::min<std::int64_t>(Count, static_cast<std::int64_t>(buffer.size()));
    Source->ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    Count -= n;
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// THandleStream / TFileStream

std::int64_t THandleStream::Read(void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  auto* p = static_cast<char*>(Buffer);
  std::int64_t done = 0;
  while (done < Count) {
    ssize_t n = ::read(handle_, p + done, static_cast<std::size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

std::int64_t THandleStream::Write(const void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  auto* p = static_cast<const char*>(Buffer);
  std::int64_t done = 0;
  while (done < Count) {
    ssize_t n = ::write(handle_, p + done, static_cast<std::size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

std::int64_t THandleStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  int whence = Origin == soBeginning ? SEEK_SET : (Origin == soCurrent ? SEEK_CUR : SEEK_END);
  off_t r = ::lseek(handle_, static_cast<off_t>(Offset), whence);
  return r < 0 ? -1 : static_cast<std::int64_t>(r);
}

void THandleStream::SetSize(std::int64_t NewSize) {
  std::int64_t pos = Position();
  if (NewSize < 0 || ::ftruncate(handle_, static_cast<off_t>(NewSize)) != 0)
    throw EStreamError(Format("Cannot change the stream size to %d. %s", NewSize, SysErrorMessage(errno)));
  if (pos > NewSize) Seek(NewSize, soBeginning);
}

TFileStream::TFileStream(const std::string& FileName, unsigned Mode) : THandleStream(-1), fileName_(FileName) {
  if ((Mode & fmCreate) == fmCreate) {
    handle_ = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (handle_ < 0) throw EFCreateError(Format("Cannot create file \"%s\". %s", FileName, SysErrorMessage(errno)));
    return;
  }
  int flags = O_CLOEXEC;
  switch (Mode & 3) {
    case fmOpenWrite: flags |= O_WRONLY; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
    default: flags |= O_RDONLY; break;
  }
  handle_ = ::open(FileName.c_str(), flags);
  int err = errno;
  if (handle_ >= 0) {
    struct stat st;
    if (::fstat(handle_, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(handle_);
      handle_ = -1;
      err = EISDIR;
    }
  }
  if (handle_ < 0) throw EFOpenError(Format("Cannot open file \"%s\". %s", FileName, SysErrorMessage(err)));
}

TFileStream::~TFileStream() {
  if (handle_ >= 0) ::close(handle_);
}

// ---------------------------------------------------------------------------------------------
// In-memory streams share their byte-buffer logic.

namespace {

template <class Buffer>
std::int64_t BufferRead(const Buffer& data, std::int64_t& position, void* out, std::int64_t count) {
  const auto size = static_cast<std::int64_t>(data.size());
  if (count <= 0 || position < 0 || position >= size) return 0;
  std::int64_t n = std::min(count, size - position);
  std::memcpy(out, data.data() + position, static_cast<std::size_t>(n));
  position += n;
  return n;
}

template <class Buffer>
std::int64_t BufferWrite(Buffer& data, std::int64_t& position, const void* in, std::int64_t count) {
  if (count <= 0 || position < 0 || position > std::numeric_limits<std::int64_t>::max() - count) return 0;
  std::int64_t end = position + count;
  if (end > static_cast<std::int64_t>(data.size())) {
    try {
      data.resize(static_cast<std::size_t>(end));
    } catch (const std::bad_alloc&) {
      throw EOutOfMemory("Out of memory while expanding memory stream");
    } catch (const std::length_error&) {
      throw EOutOfMemory("Out of memory while expanding memory stream");
    }
  }
  std::memcpy(data.data() + position, in, static_cast<std::size_t>(count));
  position = end;
  return count;
}

std::int64_t BufferSeek(std::int64_t& position, std::int64_t size, std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = origin == soBeginning ? 0 : (origin == soCurrent ? position : size);
  std::int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) throw EStreamError("Seek position out of range");
  position = target;
  return position;
}

template <class Buffer>
void BufferSetSize(Buffer& data, std::int64_t& position, std::int64_t newSize) {
  if (newSize < 0) throw EStreamError(Format("Cannot change the stream size to %d", newSize));
  try {
    data.resize(static_cast<std::size_t>(newSize));
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory("Out of memory while expanding memory stream");
  } catch (const std::length_error&) {
    throw EOutOfMemory("Out of memory while expanding memory stream");
  }
  if (position > newSize) position = newSize;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TMemoryStream

std::int64_t TMemoryStream::Read(void* Buffer, std::int64_t Count) {
  return BufferRead(data_, position_, Buffer, Count);
}

std::int64_t TMemoryStream::Write(const void* Buffer, std::int64_t Count) {
  return BufferWrite(data_, position_, Buffer, Count);
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  return BufferSeek(position_, Size(), Offset, Origin);
}

void TMemoryStream::SetSize(std::int64_t NewSize) { BufferSetSize(data_, position_, NewSize); }

void TMemoryStream::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream* Stream) {
  Stream->SetPosition(0);
  std::int64_t count = Stream->Size();
  SetSize(count);
  if (count != 0) Stream->ReadBuffer(data_.data(), count);
  position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& FileName) {
  TFileStream stream(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(&stream);
}

void TMemoryStream::SaveToStream(TStream* Stream) {
  if (!data_.empty()) Stream->WriteBuffer(data_.data(), Size());
}

void TMemoryStream::SaveToFile(const std::string& FileName) {
  TFileStream stream(FileName, fmCreate);
  SaveToStream(&stream);
}

// ---------------------------------------------------------------------------------------------
// TStringStream

std::int64_t TStringStream::Read(void* Buffer, std::int64_t Count) {
  return BufferRead(data_, position_, Buffer, Count);
}

std::int64_t TStringStream::Write(const void* Buffer, std::int64_t Count) {
  return BufferWrite(data_, position_, Buffer, Count);
}

std::int64_t TStringStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  return BufferSeek(position_, Size(), Offset, Origin);
}

void TStringStream::SetSize(std::int64_t NewSize) { BufferSetSize(data_, position_, NewSize); }

std::string TStringStream::ReadString(std::int64_t Count) {
  std::string r(static_cast<std::size_t>(std::clamp<std::int64_t>(Count, 0, Size())), '\0');
  r.resize(static_cast<std::size_t>(Read(r.data(), static_cast<std::int64_t>(r.size()))));
  return r;
}

void TStringStream::WriteString(std::string_view AString) {
  Write(AString.data(), static_cast<std::int64_t>(AString.size()));
}

// ---------------------------------------------------------------------------------------------
// TStrings

TObject* TStrings::GetObject(int) const { return nullptr; }

void TStrings::Put(int Index, const std::string& S) {
  TObject* obj = GetObject(Index);
  BeginUpdate();
  try {
    Delete(Index);
    InsertObject(Index, S, obj);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::PutObject(int, TObject*) {}

void TStrings::Error(const std::string& Msg, int Data) const { throw EStringListError(Format(Msg, Data)); }

int TStrings::Add(const std::string& S) {
  int result = Count();
  Insert(result, S);
  return result;
}

int TStrings::AddObject(const std::string& S, TObject* AObject) {
  int result = Add(S);
  PutObject(result, AObject);
  return result;
}

void TStrings::InsertObject(int Index, const std::string& S, TObject* AObject) {
  Insert(Index, S);
  PutObject(Index, AObject);
}

void TStrings::AddStrings(const TStrings* Strings) {
  if (!Strings) return;
  BeginUpdate();
  try {
    int n = Strings->Count();
    for (int i = 0; i < n; ++i) AddObject(Strings->Get(i), Strings->GetObject(i));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

int TStrings::IndexOf(const std::string& S) const {
  int n = Count();
  for (int i = 0; i < n; ++i)
    if (CompareStrings(Get(i), S) == 0) return i;
  return -1;
}

int TStrings::IndexOfName(const std::string& Name) const {
  int n = Count();
  for (int i = 0; i < n; ++i) {
    std::string s = Get(i);
    std::size_t p = s.find(nameValueSeparator_);
    if (p != std::string::npos && CompareStrings(s.substr(0, p), Name) == 0) return i;
  }
  return -1;
}

int TStrings::IndexOfObject(const TObject* AObject) const {
  int n = Count();
  for (int i = 0; i < n; ++i)
    if (GetObject(i) == AObject) return i;
  return -1;
}

void TStrings::Exchange(int Index1, int Index2) {
  BeginUpdate();
  try {
    std::string s = Get(Index1);
    TObject* o = GetObject(Index1);
    Put(Index1, Get(Index2));
    PutObject(Index1, GetObject(Index2));
    Put(Index2, s);
    PutObject(Index2, o);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStrings::Move(int CurIndex, int NewIndex) {
  if (CurIndex == NewIndex) return;
  if (NewIndex < 0 || NewIndex >= Count()) Error("List index out of bounds (%d)", NewIndex);
  BeginUpdate();
  try {
    std::string s = Get(CurIndex);
    TObject* o = GetObject(CurIndex);
    Delete(CurIndex);
    InsertObject(NewIndex, s, o);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

bool TStrings::Equals(const TStrings* Strings) const {
  if (!Strings || Strings->Count() != Count()) return false;
  for (int i = 0; i < Count(); ++i)
    if (Get(i) != Strings->Get(i)) return false;
  return true;
}

std::string TStrings::Text() const {
  std::string r;
  int n = Count();
  for (int i = 0; i < n; ++i) {
    r += Get(i);
    r += lineBreak_;
  }
  return r;
}

void TStrings::SetText(std::string_view Value) {
  BeginUpdate();
  try {
    Clear();
    std::size_t i = 0;
    const std::size_t n = Value.size();
    while (i < n) {
      std::size_t start = i;
      while (i < n && Value[i] != '\r' && Value[i] != '\n') ++i;
      Add(std::string(Value.substr(start, i - start)));
      if (i < n && Value[i] == '\r') {
        ++i;
        if (i < n && Value[i] == '\n') ++i;
      } else if (i < n && Value[i] == '\n') {
        ++i;
      }
    }
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

std::string TStrings::DelimitedText() const {
  int n = Count();
  if (n == 1 && Get(0).empty()) return std::string(2, quoteChar_);
  std::string r;
  for (int i = 0; i < n; ++i) {
    std::string s = Get(i);
    bool quote = false;
    for (char c : s)
      if (static_cast<unsigned char>(c) <= ' ' || c == quoteChar_ || c == delimiter_) {
        quote = true;
        break;
      }
    if (i > 0) r += delimiter_;
    r += quote ? AnsiQuotedStr(s, quoteChar_) : s;
  }
  return r;
}

void TStrings::SetDelimitedText(std::string_view Value) {
  auto blank = [](char c) { return c != '\0' && static_cast<unsigned char>(c) <= ' '; };
  BeginUpdate();
  try {
    Clear();
    std::size_t i = 0;
    const std::size_t n = Value.size();
    while (i < n && blank(Value[i])) ++i;
    while (i < n) {
      std::string item;
      if (Value[i] == quoteChar_) {
        ++i;
        while (i < n) {
          if (Value[i] == quoteChar_) {
            if (i + 1 < n && Value[i + 1] == quoteChar_) {
              item += quoteChar_;
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          item += Value[i++];
        }
      } else {
        std::size_t start = i;
        while (i < n && !blank(Value[i]) && Value[i] != delimiter_) ++i;
        item.assign(Value.substr(start, i - start));
      }
      Add(item);
      while (i < n && blank(Value[i])) ++i;
      if (i < n && Value[i] == delimiter_) {
        if (i + 1 == n) Add(std::string());
        ++i;
        while (i < n && blank(Value[i])) ++i;
      }
    }
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

std::string TStrings::CommaText() const {
  if (delimiter_ == ',' && quoteChar_ == '"') return DelimitedText();
  auto* self = const_cast<TStrings*>(this);
  char d = delimiter_, q = quoteChar_;
  self->delimiter_ = ',';
  self->quoteChar_ = '"';
  std::string r = DelimitedText();
  self->delimiter_ = d;
  self->quoteChar_ = q;
  return r;
}

void TStrings::SetCommaText(std::string_view Value) {
  char d = delimiter_, q = quoteChar_;
  delimiter_ = ',';
  quoteChar_ = '"';
  try {
    SetDelimitedText(Value);
  } catch (...) {
    delimiter_ = d;
    quoteChar_ = q;
    throw;
  }
  delimiter_ = d;
  quoteChar_ = q;
}

std::string TStrings::Names(int Index) const {
  std::string s = Get(Index);
  std::size_t p = s.find(nameValueSeparator_);
  return p == std::string::npos ? std::string() : s.substr(0, p);
}

std::string TStrings::Values(const std::string& Name) const {
  int i = IndexOfName(Name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStrings::SetValues(const std::string& Name, const std::string& Value) {
  int i = IndexOfName(Name);
  if (!Value.empty()) {
    std::string line = Name + nameValueSeparator_ + Value;
    if (i < 0)
      Add(line);
    else
      Put(i, line);
  } else if (i >= 0) {
    Delete(i);
  }
}

std::string TStrings::ValueFromIndex(int Index) const {
  std::string s = Get(Index);
  std::size_t p = s.find(nameValueSeparator_);
  return p == std::string::npos ? std::string() : s.substr(p + 1);
}

void TStrings::SetValueFromIndex(int Index, const std::string& Value) {
  if (!Value.empty()) {
    if (Index < 0) Index = Add(std::string());
    Put(Index, Names(Index) + nameValueSeparator_ + Value);
  } else if (Index >= 0) {
    Delete(Index);
  }
}

void TStrings::LoadFromFile(const std::string& FileName) {
  TFileStream stream(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(&stream);
}

void TStrings::LoadFromStream(TStream* Stream) {
  // Read to the end in chunks: works for pipes and other streams without a size.
  std::string text;
  std::size_t used = 0;
  while (true) {
    text.resize(used + 0x10000);
    std::int64_t n = Stream->Read(text.data() + used, 0x10000);
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  text.resize(used);
  std::string_view view(text);
  if (view.size() >= 3 && view.substr(0, 3) == "\xEF\xBB\xBF") view.remove_prefix(3);
  SetText(view);
}

void TStrings::SaveToFile(const std::string& FileName) const {
  TFileStream stream(FileName, fmCreate);
  SaveToStream(&stream);
}

void TStrings::SaveToStream(TStream* Stream) const {
  std::string text = Text();
  Stream->WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
}

void TStrings::BeginUpdate() {
  if (updateCount_ == 0) SetUpdateState(true);
  ++updateCount_;
}

void TStrings::EndUpdate() {
  if (updateCount_ <= 0) return;
  --updateCount_;
  if (updateCount_ == 0) SetUpdateState(false);
}

void TStrings::SetUpdateState(bool) {}

void TStrings::Assign(TPersistent* Source) {
  auto* src = dynamic_cast<TStrings*>(Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  if (src == this) return;
  BeginUpdate();
  try {
    Clear();
    delimiter_ = src->delimiter_;
    quoteChar_ = src->quoteChar_;
    nameValueSeparator_ = src->nameValueSeparator_;
    AddStrings(src);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

int TStrings::CompareStrings(const std::string& S1, const std::string& S2) const { return CompareText(S1, S2); }

// ---------------------------------------------------------------------------------------------
// TStringList

TStringList::~TStringList() {
  OnChange = nullptr;
  OnChanging = nullptr;
  if (ownsObjects_)
    for (Item& item : items_) FreeAndNil(item.object);
}

std::string TStringList::Get(int Index) const {
  if (Index < 0 || Index >= Count()) Error("List index out of bounds (%d)", Index);
  return items_[static_cast<std::size_t>(Index)].string;
}

TObject* TStringList::GetObject(int Index) const {
  if (Index < 0 || Index >= Count()) Error("List index out of bounds (%d)", Index);
  return items_[static_cast<std::size_t>(Index)].object;
}

void TStringList::Put(int Index, const std::string& S) {
  if (sorted_) throw EStringListError("Operation not allowed on sorted list");
  if (Index < 0 || Index >= Count()) Error("List index out of bounds (%d)", Index);
  Changing();
  items_[static_cast<std::size_t>(Index)].string = S;
  Changed();
}

void TStringList::PutObject(int Index, TObject* AObject) {
  if (Index < 0 || Index >= Count()) Error("List index out of bounds (%d)", Index);
  Changing();
  TObject*& slot = items_[static_cast<std::size_t>(Index)].object;
  if (ownsObjects_ && slot != AObject) FreeAndNil(slot);
  slot = AObject;
  Changed();
}

void TStringList::Insert(int Index, const std::string& S) {
  if (sorted_) throw EStringListError("Operation not allowed on sorted list");
  if (Index < 0 || Index > Count()) Error("List index out of bounds (%d)", Index);
  InsertItem(Index, S, nullptr);
}

void TStringList::InsertItem(int Index, const std::string& S, TObject* AObject) {
  Changing();
  items_.insert(items_.begin() + Index, Item{S, AObject});
  Changed();
}

void TStringList::Delete(int Index) {
  if (Index < 0 || Index >= Count()) Error("List index out of bounds (%d)", Index);
  Changing();
  TObject* obj = items_[static_cast<std::size_t>(Index)].object;
  items_.erase(items_.begin() + Index);
  if (ownsObjects_) FreeObject(obj);
  Changed();
}

void TStringList::Clear() {
  if (items_.empty()) return;
  Changing();
  std::vector<Item> old;
  old.swap(items_);
  if (ownsObjects_)
    for (Item& item : old) FreeAndNil(item.object);
  Changed();
}

void TStringList::Exchange(int Index1, int Index2) {
  if (Index1 < 0 || Index1 >= Count()) Error("List index out of bounds (%d)", Index1);
  if (Index2 < 0 || Index2 >= Count()) Error("List index out of bounds (%d)", Index2);
  Changing();
  std::swap(items_[static_cast<std::size_t>(Index1)], items_[static_cast<std::size_t>(Index2)]);
  Changed();
}

void TStringList::Move(int CurIndex, int NewIndex) {
  if (CurIndex == NewIndex) return;
  if (sorted_) throw EStringListError("Operation not allowed on sorted list");
  if (CurIndex < 0 || CurIndex >= Count()) Error("List index out of bounds (%d)", CurIndex);
  if (NewIndex < 0 || NewIndex >= Count()) Error("List index out of bounds (%d)", NewIndex);
  Changing();
  Item item = std::move(items_[static_cast<std::size_t>(CurIndex)]);
  items_.erase(items_.begin() + CurIndex);
  items_.insert(items_.begin() + NewIndex, std::move(item));
  Changed();
}

int TStringList::AddObject(const std::string& S, TObject* AObject) {
  int index;
  if (!sorted_) {
    index = Count();
  } else if (Find(S, index)) {
    switch (duplicates_) {
      case dupIgnore: return index;
      case dupError: throw EStringListError("String list does not allow duplicates");
      case dupAccept: break;
    }
  }
  InsertItem(index, S, AObject);
  return index;
}

int TStringList::IndexOf(const std::string& S) const {
  if (!sorted_) return TStrings::IndexOf(S);
  int index;
  return Find(S, index) ? index : -1;
}

bool TStringList::Find(const std::string& S, int& Index) const {
  int lo = 0, hi = Count() - 1;
  bool found = false;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    int c = CompareStrings(items_[static_cast<std::size_t>(mid)].string, S);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) found = true;
    }
  }
  Index = lo;
  return found;
}

void TStringList::Sort() {
  SortBy([](TStringList* list, int a, int b) {
    return list->CompareStrings(list->items_[static_cast<std::size_t>(a)].string,
                                list->items_[static_cast<std::size_t>(b)].string);
  });
}

void TStringList::CustomSort(const TStringListSortCompare& Compare) {
  // A sorted list keeps its own order: another one would break Find, IndexOf and Add.
  if (!sorted_) SortBy(Compare);
}

void TStringList::SortBy(const TStringListSortCompare& Compare) {
  if (!Compare || items_.size() < 2) return;
  Changing();
  // Sort an index permutation so the comparison sees the list as it is.
  std::vector<int> order(items_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return Compare(this, a, b) < 0; });
  std::vector<Item> sorted;
  sorted.reserve(items_.size());
  for (int i : order) sorted.push_back(std::move(items_[static_cast<std::size_t>(i)]));
  items_.swap(sorted);
  Changed();
}

void TStringList::SetSorted(bool Value) {
  if (sorted_ == Value) return;
  if (Value) Sort();
  sorted_ = Value;
}

void TStringList::SetCaseSensitive(bool Value) {
  if (caseSensitive_ == Value) return;
  caseSensitive_ = Value;
  if (sorted_) Sort();
}

int TStringList::CompareStrings(const std::string& S1, const std::string& S2) const {
  return caseSensitive_ ? CompareStr(S1, S2) : CompareText(S1, S2);
}

void TStringList::SetUpdateState(bool Updating) {
  if (Updating)
    Changing();
  else
    Changed();
}

void TStringList::Changed() {
  if (UpdateCount() == 0 && OnChange) OnChange(this);
}

void TStringList::Changing() {
  if (UpdateCount() == 0 && OnChanging) OnChanging(this);
}
