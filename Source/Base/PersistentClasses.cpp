// Tagged-value readers and writers, persistent-object archives and the object-list archive.
#include "Source/Base/PersistentClasses.h"

#include "Source/Base/ApplicationFileIO.h"
#include "rtl/SysUtils.h"

#include <memory>

namespace {

const char* const kBrokenArchive = "Broken ObjectList archive";

template <class T>
std::unique_ptr<T> CreateFiler(TClass Class, TStream* Stream) {
  RTL_ASSERT(Class != nullptr && Class->InheritsFrom(T::StaticClass()));
  return std::unique_ptr<T>(static_cast<T*>(Class->Create(Stream)));
}

// Object lists may hold object lists; hostile archives must not exhaust the stack.
thread_local int archiveDepth = 0;
constexpr int kMaxArchiveDepth = 200;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Readers and writers

void TVirtualReader::ReadTypeError() const { throw EReadError(ClassName() + ", read type error"); }

TBinaryReader::TBinaryReader(TStream* Stream) : TVirtualReader(Stream) { RTL_ASSERT(Stream); }

void TBinaryReader::Read(void* Buffer, std::int64_t Count) { ValueEncoding::ReadExact(*Stream(), Buffer, Count); }

TValueType TBinaryReader::NextValue() { return ValueEncoding::PeekTag(*Stream()); }

int TBinaryReader::ReadInteger() {
  TValueType t = ValueEncoding::ReadTag(*Stream());
  if (!ValueEncoding::IsIntegerTag(t)) ReadTypeError();
  return ValueEncoding::ReadIntegerPayload(*Stream(), t);
}

bool TBinaryReader::ReadBoolean() {
  TValueType t = ValueEncoding::ReadTag(*Stream());
  if (t != vaFalse && t != vaTrue) ReadTypeError();
  return t == vaTrue;
}

std::string TBinaryReader::ReadString() {
  TValueType t = ValueEncoding::ReadTag(*Stream());
  if (!ValueEncoding::IsStringTag(t)) ReadTypeError();
  return ValueEncoding::ReadStringPayload(*Stream(), t);
}

double TBinaryReader::ReadFloat() {
  if (ValueEncoding::ReadTag(*Stream()) != vaExtended) ReadTypeError();
  return ValueEncoding::ReadFloatPayload(*Stream());
}

void TBinaryReader::ReadListBegin() {
  if (ValueEncoding::ReadTag(*Stream()) != vaList) ReadTypeError();
}

void TBinaryReader::ReadListEnd() {
  if (ValueEncoding::ReadTag(*Stream()) != vaNull) ReadTypeError();
}

bool TBinaryReader::EndOfList() { return NextValue() == vaNull; }

TBinaryWriter::TBinaryWriter(TStream* Stream) : TVirtualWriter(Stream) { RTL_ASSERT(Stream); }

void TBinaryWriter::Write(const void* Buffer, std::int64_t Count) {
  ValueEncoding::WriteExact(*Stream(), Buffer, Count);
}
void TBinaryWriter::WriteInteger(int Value) { ValueEncoding::WriteInteger(*Stream(), Value); }
void TBinaryWriter::WriteBoolean(bool Value) { ValueEncoding::WriteBoolean(*Stream(), Value); }
void TBinaryWriter::WriteString(const std::string& Value) { ValueEncoding::WriteString(*Stream(), Value); }
void TBinaryWriter::WriteFloat(double Value) { ValueEncoding::WriteFloat(*Stream(), Value); }
void TBinaryWriter::WriteListBegin() { ValueEncoding::WriteTag(*Stream(), vaList); }
void TBinaryWriter::WriteListEnd() { ValueEncoding::WriteTag(*Stream(), vaNull); }

// ---------------------------------------------------------------------------------------------
// TPersistentObject

void TPersistentObject::Assign(TPersistent* Source) {
  if (Source && Source->ClassType() == ClassType()) {
    TStringStream data;
    static_cast<TPersistentObject*>(Source)->SaveToStream(&data);
    data.SetPosition(0);
    LoadFromStream(&data);
  } else {
    inherited::Assign(Source);
  }
}

TPersistentObject* TPersistentObject::CreateClone() {
  std::unique_ptr<TObject> obj(ClassType()->Create());
  auto* clone = static_cast<TPersistentObject*>(obj.get());
  clone->Assign(this);
  obj.release();
  return clone;
}

void TPersistentObject::WriteToFiler(TVirtualWriter* Writer) { RTL_ASSERT(Writer != nullptr); }

void TPersistentObject::ReadFromFiler(TVirtualReader* Reader) { RTL_ASSERT(Reader != nullptr); }

void TPersistentObject::SaveToStream(TStream* Stream, TClass WriterClass) {
  auto writer = CreateFiler<TVirtualWriter>(WriterClass ? WriterClass : TBinaryWriter::StaticClass(), Stream);
  std::string sig = FileSignature();
  if (!sig.empty()) writer->Write(sig.data(), static_cast<std::int64_t>(sig.size()));
  WriteToFiler(writer.get());
}

void TPersistentObject::LoadFromStream(TStream* Stream, TClass ReaderClass) {
  auto reader = CreateFiler<TVirtualReader>(ReaderClass ? ReaderClass : TBinaryReader::StaticClass(), Stream);
  std::string sig = FileSignature();
  if (!sig.empty()) {
    std::string found(sig.size(), '\0');
    if (ValueEncoding::BytesLeft(*Stream) < static_cast<std::int64_t>(sig.size()))
      throw EInvalidFileSignature("Invalid file signature");
    reader->Read(found.data(), static_cast<std::int64_t>(found.size()));
    if (found != sig) throw EInvalidFileSignature("Invalid file signature");
  }
  ReadFromFiler(reader.get());
}

void TPersistentObject::SaveToFile(const std::string& FileName, TClass WriterClass) {
  WriteFileStream(FileName, [this, WriterClass](TStream* Stream) {
    SaveToStream(Stream, WriterClass ? WriterClass : DefaultWriterClass());
  });
}

void TPersistentObject::LoadFromFile(const std::string& FileName, TClass ReaderClass) {
  std::unique_ptr<TStream> stream = CreateFileStream(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(stream.get(), ReaderClass ? ReaderClass : DefaultReaderClass());
}

std::string TPersistentObject::SaveToString(TClass WriterClass) {
  TStringStream data;
  SaveToStream(&data, WriterClass);
  return data.DataString();
}

void TPersistentObject::LoadFromString(const std::string& Data, TClass ReaderClass) {
  TStringStream data(Data);
  LoadFromStream(&data, ReaderClass);
}

void TPersistentObject::RaiseFilerException(int Version) const { RaiseArchiveVersionError(ClassType(), Version); }

void TPersistentObject::RaiseArchiveVersionError(TClass Class, int Version) {
  throw EFilerException(Class->Name + " : unknown archive version " + IntToStr(Version));
}

// ---------------------------------------------------------------------------------------------
// TPersistentObjectList

TPersistentObjectList::TPersistentObjectList() = default;

TPersistentObjectList::~TPersistentObjectList() = default;

void TPersistentObjectList::RaiseIndexError() const { throw EListError("Invalid list index"); }

void TPersistentObjectList::Grow() { SetCapacity(Capacity() + (growthDelta_ > 0 ? growthDelta_ : 16)); }

void TPersistentObjectList::SetCapacity(int NewCapacity) {
  if (NewCapacity < 0) RaiseIndexError();
  if (NewCapacity == Capacity()) return;
  items_.resize(static_cast<std::size_t>(NewCapacity), nullptr);
  items_.shrink_to_fit();
  if (count_ > NewCapacity) count_ = NewCapacity;
}

void TPersistentObjectList::SetCount(int NewCount) {
  if (NewCount < 0) RaiseIndexError();
  if (NewCount > Capacity()) SetCapacity(NewCount);
  for (int i = count_; i < NewCount; ++i) items_[static_cast<std::size_t>(i)] = nullptr;
  count_ = NewCount;
}

int TPersistentObjectList::Add(TObject* Item) {
  if (count_ == Capacity()) Grow();
  items_[static_cast<std::size_t>(count_)] = Item;
  return count_++;
}

void TPersistentObjectList::Insert(int Index, TObject* Item) {
  if (Index < 0 || Index > count_) RaiseIndexError();
  if (count_ == Capacity()) Grow();
  for (int i = count_; i > Index; --i) items_[static_cast<std::size_t>(i)] = items_[static_cast<std::size_t>(i - 1)];
  items_[static_cast<std::size_t>(Index)] = Item;
  ++count_;
}

void TPersistentObjectList::Delete(int Index) {
  if (Index < 0 || Index >= count_) RaiseIndexError();
  for (int i = Index; i < count_ - 1; ++i)
    items_[static_cast<std::size_t>(i)] = items_[static_cast<std::size_t>(i + 1)];
  items_[static_cast<std::size_t>(--count_)] = nullptr;
}

int TPersistentObjectList::Remove(TObject* Item) {
  int i = IndexOf(Item);
  if (i >= 0) Delete(i);
  return i;
}

int TPersistentObjectList::IndexOf(const TObject* Item) const noexcept {
  for (int i = 0; i < count_; ++i)
    if (items_[static_cast<std::size_t>(i)] == Item) return i;
  return -1;
}

TObject* TPersistentObjectList::Items(int Index) const {
  if (Index < 0 || Index >= count_) RaiseIndexError();
  return Get(Index);
}

void TPersistentObjectList::SetItems(int Index, TObject* Item) {
  if (Index < 0 || Index >= count_) RaiseIndexError();
  Put(Index, Item);
}

void TPersistentObjectList::Exchange(int Index1, int Index2) {
  if (Index1 < 0 || Index1 >= count_ || Index2 < 0 || Index2 >= count_) RaiseIndexError();
  std::swap(items_[static_cast<std::size_t>(Index1)], items_[static_cast<std::size_t>(Index2)]);
}

TObject* TPersistentObjectList::Pop() {
  if (count_ == 0) return nullptr;
  TObject* last = items_[static_cast<std::size_t>(count_ - 1)];
  items_[static_cast<std::size_t>(--count_)] = nullptr;
  return last;
}

void TPersistentObjectList::Clear() {
  items_.clear();
  items_.shrink_to_fit();
  count_ = 0;
}

void TPersistentObjectList::FreeItems() {
  for (int i = count_ - 1; i >= 0; --i) {
    TObject* item = items_[static_cast<std::size_t>(i)];
    items_[static_cast<std::size_t>(i)] = nullptr;
    FreeObject(item);
  }
}

void TPersistentObjectList::FreeItemsAndClear() {
  FreeItems();
  Clear();
}

void TPersistentObjectList::FreeWithItems(TPersistentObjectList*& List) {
  if (!List) return;
  List->FreeItemsAndClear();
  FreeAndNil(List);
}

void TPersistentObjectList::Sort(const TObjectListSortCompare& Compare) {
  if (count_ > 1 && Compare) QuickSort(0, count_ - 1, Compare);
}

void TPersistentObjectList::QuickSort(int Lo, int Hi, const TObjectListSortCompare& Compare) {
  while (Lo < Hi) {
    int i = Lo, j = Hi;
    TObject* pivot = items_[static_cast<std::size_t>((Lo + Hi) / 2)];
    do {
      while (Compare(items_[static_cast<std::size_t>(i)], pivot) < 0) ++i;
      while (Compare(items_[static_cast<std::size_t>(j)], pivot) > 0) --j;
      if (i <= j) {
        std::swap(items_[static_cast<std::size_t>(i)], items_[static_cast<std::size_t>(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (Lo < j) QuickSort(Lo, j, Compare);
    Lo = i;
  }
}

void TPersistentObjectList::ItemCreatedOnRead(TObject*) {}

void TPersistentObjectList::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  Writer->WriteListBegin();
  std::vector<TClass> classes;
  for (int i = 0; i < count_; ++i) {
    TObject* item = items_[static_cast<std::size_t>(i)];
    if (item && item->Is<TPersistentObject>()) {
      TClass cls = item->ClassType();
      std::size_t k = 0;
      while (k < classes.size() && classes[k] != cls) ++k;
      if (k == classes.size()) {
        Writer->WriteString(cls->Name);
        classes.push_back(cls);
      } else {
        Writer->WriteInteger(static_cast<int>(k));
      }
      static_cast<TPersistentObject*>(item)->WriteToFiler(Writer);
    } else {
      // Pointers mean nothing in another run: only nil is stored.
      Writer->WriteBoolean(false);
      Writer->WriteInteger(0);
    }
  }
  Writer->WriteListEnd();
}

void TPersistentObjectList::ReadFromFiler(TVirtualReader* Reader) {
  ReadFromFilerWithEvent(Reader, [this](TObject* Item) { ItemCreatedOnRead(Item); });
}

void TPersistentObjectList::ReadFromFilerWithEvent(TVirtualReader* Reader,
                                                   const std::function<void(TObject*)>& AfterSenderObjectCreated) {
  inherited::ReadFromFiler(Reader);
  TNestingLevel depth(archiveDepth, kMaxArchiveDepth, [] { return Exception(kBrokenArchive); });
  FreeItemsAndClear();
  int version = Reader->ReadInteger();
  if (version != 0) RaiseFilerException(version);
  Reader->ReadListBegin();
  std::vector<TClass> classes;
  while (!Reader->EndOfList()) {
    TValueType tag = Reader->NextValue();
    TClass cls = nullptr;
    if (ValueEncoding::IsIntegerTag(tag)) {
      int index = Reader->ReadInteger();
      if (index < 0 || index >= static_cast<int>(classes.size())) throw Exception(kBrokenArchive);
      cls = classes[static_cast<std::size_t>(index)];
    } else if (tag == vaString || tag == vaLString) {
      cls = FindClass(Reader->ReadString());
      if (!cls->InheritsFrom(TPersistentObject::StaticClass())) throw Exception(kBrokenArchive);
      classes.push_back(cls);
    } else if (tag == vaFalse || tag == vaTrue) {
      Reader->ReadBoolean();
      Reader->ReadInteger();
      Add(nullptr);  // a stored pointer value is meaningless here
      continue;
    } else {
      throw Exception(kBrokenArchive);
    }
    std::unique_ptr<TObject> obj(cls->Create());
    auto* item = static_cast<TPersistentObject*>(obj.get());
    if (AfterSenderObjectCreated) AfterSenderObjectCreated(item);
    // Appended before it reads itself: when its archive breaks, the object stays here, read
    // up to the break, and whoever frees this list's items also frees what it holds.
    Add(obj.release());
    item->ReadFromFiler(Reader);
  }
  Reader->ReadListEnd();
}

void RegisterPersistentClasses() { RegisterClass(TPersistentObjectList::StaticClass()); }
