// Engine persistence: readers and writers of the tagged value encoding, versioned archives of
// persistent objects, and the pointer list with its object-list archive.
//
// Archives: every persistent class writes its parent's archive first, then a tagged integer
// version, then its fields; reading a version a class does not know raises EFilerException
// "<class> : unknown archive version <n>".
//
// Errors: a tag of the wrong kind raises EReadError "<reader class>, read type error" (the stream
// stays after the tag); a short stream raises EReadError "Stream read error"; a signature
// mismatch raises EInvalidFileSignature "Invalid file signature" before any data is read.
#pragma once

#include "rtl/Classes.h"
#include "rtl/Streaming.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

RTL_DECLARE_EXCEPTION(EInvalidFileSignature, Exception);
RTL_DECLARE_EXCEPTION(EFilerException, Exception);

// Reader and writer classes are created by metaclass (TClass) with the stream as owner.
class TVirtualReader : public TObject {
  RTL_CLASS(TVirtualReader, TObject)
 public:
  using OwnerType = TStream;
  explicit TVirtualReader(TStream* Stream) : stream_(Stream) {}
  TStream* Stream() const noexcept { return stream_; }

  virtual void Read(void* Buffer, std::int64_t Count) = 0;
  virtual TValueType NextValue() = 0;
  virtual int ReadInteger() = 0;
  virtual bool ReadBoolean() = 0;
  virtual std::string ReadString() = 0;
  virtual double ReadFloat() = 0;
  virtual void ReadListBegin() = 0;
  virtual void ReadListEnd() = 0;
  virtual bool EndOfList() = 0;

  // Raises EReadError "<class>, read type error".
  [[noreturn]] void ReadTypeError() const;

 private:
  TStream* stream_;
};

class TVirtualWriter : public TObject {
  RTL_CLASS(TVirtualWriter, TObject)
 public:
  using OwnerType = TStream;
  explicit TVirtualWriter(TStream* Stream) : stream_(Stream) {}
  TStream* Stream() const noexcept { return stream_; }

  virtual void Write(const void* Buffer, std::int64_t Count) = 0;
  virtual void WriteInteger(int Value) = 0;
  virtual void WriteBoolean(bool Value) = 0;
  virtual void WriteString(const std::string& Value) = 0;
  virtual void WriteFloat(double Value) = 0;
  virtual void WriteListBegin() = 0;
  virtual void WriteListEnd() = 0;

 private:
  TStream* stream_;
};

class TBinaryReader : public TVirtualReader {
  RTL_CLASS(TBinaryReader, TVirtualReader)
 public:
  explicit TBinaryReader(TStream* Stream);
  void Read(void* Buffer, std::int64_t Count) override;
  TValueType NextValue() override;
  int ReadInteger() override;
  bool ReadBoolean() override;
  std::string ReadString() override;
  double ReadFloat() override;
  void ReadListBegin() override;
  void ReadListEnd() override;
  bool EndOfList() override;
};

class TBinaryWriter : public TVirtualWriter {
  RTL_CLASS(TBinaryWriter, TVirtualWriter)
 public:
  explicit TBinaryWriter(TStream* Stream);
  void Write(const void* Buffer, std::int64_t Count) override;
  void WriteInteger(int Value) override;
  void WriteBoolean(bool Value) override;
  void WriteString(const std::string& Value) override;
  void WriteFloat(double Value) override;
  void WriteListBegin() override;
  void WriteListEnd() override;
};

// Base of every engine object that saves itself. Concrete persistent classes have a default
// constructor, so that archives and CreateClone can create them by metaclass.
class TPersistentObject : public TPersistent {
  RTL_CLASS(TPersistentObject, TPersistent)
 public:
  TPersistentObject() = default;

  // Same class: copied through a string stream (save, rewind, load); else inherited.
  void Assign(TPersistent* Source) override;
  // Raw bytes written before the archive and checked when loading (empty: none).
  virtual std::string FileSignature() const { return {}; }
  virtual TClass DefaultWriterClass() const { return TBinaryWriter::StaticClass(); }
  virtual TClass DefaultReaderClass() const { return TBinaryReader::StaticClass(); }
  // A new instance of this object's class, assigned from this object. The caller owns it.
  virtual TPersistentObject* CreateClone();

  // The base asserts that a writer / reader is given.
  virtual void WriteToFiler(TVirtualWriter* Writer);
  virtual void ReadFromFiler(TVirtualReader* Reader);

  // Writer/reader classes default to TBinaryWriter/TBinaryReader (streams and strings) or to
  // DefaultWriterClass/DefaultReaderClass (files). A file whose archive fails half-way is left
  // as it was (WriteFileStream).
  virtual void SaveToStream(TStream* Stream, TClass WriterClass = nullptr);
  virtual void LoadFromStream(TStream* Stream, TClass ReaderClass = nullptr);
  virtual void SaveToFile(const std::string& FileName, TClass WriterClass = nullptr);
  virtual void LoadFromFile(const std::string& FileName, TClass ReaderClass = nullptr);
  virtual std::string SaveToString(TClass WriterClass = nullptr);
  virtual void LoadFromString(const std::string& Data, TClass ReaderClass = nullptr);

  // EFilerException "<this class> : unknown archive version <Version>".
  [[noreturn]] void RaiseFilerException(int Version) const;
  [[noreturn]] static void RaiseArchiveVersionError(TClass Class, int Version);
};

using TObjectListSortCompare = std::function<int(TObject* Item1, TObject* Item2)>;

// A list of object pointers; it does not own them unless told to free them (FreeItems...).
// Get/Put do not check the index; Items/SetItems, Insert, Delete and Exchange raise EListError
// "Invalid list index" for an index out of range.
class TPersistentObjectList : public TPersistentObject {
  RTL_CLASS(TPersistentObjectList, TPersistentObject)
 public:
  TPersistentObjectList();
  ~TPersistentObjectList() override;
  TPersistentObjectList(const TPersistentObjectList&) = delete;
  TPersistentObjectList& operator=(const TPersistentObjectList&) = delete;

  int Count() const noexcept { return count_; }
  // Grows the capacity as needed; new entries are nullptr.
  void SetCount(int NewCount);
  int Capacity() const noexcept { return static_cast<int>(items_.size()); }
  // The count is cut to a smaller capacity.
  void SetCapacity(int NewCapacity);
  int GrowthDelta() const noexcept { return growthDelta_; }
  void SetGrowthDelta(int Value) noexcept { growthDelta_ = Value; }

  int Add(TObject* Item);
  void Insert(int Index, TObject* Item);
  // Removes the entry; the item is not freed.
  void Delete(int Index);
  // Delete of the first occurrence; returns its index, -1 when absent.
  int Remove(TObject* Item);
  int IndexOf(const TObject* Item) const noexcept;
  TObject* Get(int Index) const noexcept { return items_[static_cast<std::size_t>(Index)]; }
  void Put(int Index, TObject* Item) noexcept { items_[static_cast<std::size_t>(Index)] = Item; }
  TObject* Items(int Index) const;
  void SetItems(int Index, TObject* Item);
  void Exchange(int Index1, int Index2);
  // Removes and returns the last entry; nullptr when empty.
  TObject* Pop();
  TObject* const* List() const noexcept { return items_.data(); }

  // Count and capacity 0; the items are not freed.
  virtual void Clear();
  // Frees every item, last first; the entries stay.
  void FreeItems();
  virtual void FreeItemsAndClear();
  // FreeItemsAndClear, then frees the list itself and sets the pointer to nullptr.
  static void FreeWithItems(TPersistentObjectList*& List);

  // Quicksort of the entries by Compare (negative: Item1 first).
  void Sort(const TObjectListSortCompare& Compare);

  [[noreturn]] virtual void RaiseIndexError() const;
  // Called for each object the archive reader creates, before it reads itself.
  virtual void ItemCreatedOnRead(TObject* AnItem);

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;
  // The archive reader with an explicit creation callback.
  void ReadFromFilerWithEvent(TVirtualReader* Reader, const std::function<void(TObject*)>& AfterSenderObjectCreated);

 private:
  void Grow();
  void QuickSort(int Lo, int Hi, const TObjectListSortCompare& Compare);

  std::vector<TObject*> items_;  // sized to the capacity
  int count_ = 0;
  int growthDelta_ = 16;
};

// Registers TPersistentObjectList with the class registry.
void RegisterPersistentClasses();
