// Growable lists of fixed-size items (vectors, texture points, integers, singles, bytes,
// quaternions) kept as one packed block that can be handed to OpenGL array calls as it is.
//
// Growth: Add grows the capacity by GrowthDelta (16) items when full; bulk operations (AddNulls,
// AddList, archive reads) size the block exactly. Index access (Get, Put, ItemAddress, List) is
// not checked. Programming errors (negative counts, mismatched list sizes) are assertion
// failures.
//
// Archive: the tagged integers 0 (version), Count and ItemSize, then Count * ItemSize raw bytes;
// vector lists add one more tagged 0. Reading checks the item size against the class's and the
// byte count against the stream.
#pragma once

#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorTypes.h"

#include <cstdint>

class TBaseList : public TPersistentObject {
  RTL_CLASS(TBaseList, TPersistentObject)
 public:
  ~TBaseList() override;
  TBaseList(const TBaseList&) = delete;
  TBaseList& operator=(const TBaseList&) = delete;

  int Count() const noexcept { return count_; }
  // n >= 0 (assertion); new items are zero-filled.
  void SetCount(int n);
  int Capacity() const noexcept { return capacity_; }
  // Reallocates to exactly n items, keeping the content; Count is cut to n. An external block
  // is copied and left to its owner.
  virtual void SetCapacity(int n);
  int GrowthDelta() const noexcept { return growthDelta_; }
  void SetGrowthDelta(int Value) noexcept { growthDelta_ = Value; }
  int ItemSize() const noexcept { return itemSize_; }
  // Whether items exposed by SetCount are zero-filled (true after Create).
  bool ZeroNewItems() const noexcept { return zeroNewItems_; }
  void SetZeroNewItems(bool Value) noexcept { zeroNewItems_ = Value; }
  bool ExternalMemory() const noexcept { return external_; }
  // Uses a block that belongs to someone else (RangeCapacity items); the list neither frees
  // nor grows it in place: the next SetCapacity copies it into a block of its own.
  void UseMemory(void* RangeStart, int RangeCapacity);

  // Appends n zero-filled items (capacity raised to exactly Count + n when needed).
  void AddNulls(int n);
  // Raises the capacity to n when smaller; never shrinks.
  void AdjustCapacityToAtLeast(int n);
  // Count and capacity 0, block freed.
  void Clear();
  // Count 0, capacity kept.
  void Flush();
  void Exchange(int Index1, int Index2);
  void Reverse();
  // From a list: capacity, growth delta and count of the source; the item bytes are copied
  // when the source is of the same class, else the items are zero. nullptr clears.
  void Assign(TPersistent* Source) override;

  std::uint8_t* ItemAddress(int Index) noexcept { return data_ + std::size_t(Index) * itemSize_; }
  const std::uint8_t* ItemAddress(int Index) const noexcept { return data_ + std::size_t(Index) * itemSize_; }

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

 protected:
  explicit TBaseList(int AItemSize);
  // Grows by GrowthDelta when full (Add); by one item when the delta is not positive.
  void GrowForOne() {
    if (count_ == capacity_) SetCapacity(capacity_ + (growthDelta_ > 0 ? growthDelta_ : 1));
  }
  // Raises Count by n, then grows in GrowthDelta steps until the block holds it.
  void RaiseCountByDeltaSteps(int n);
  // Appends the items of another list of the same item size.
  void AddListItems(const TBaseList* Other);

  std::uint8_t* data_ = nullptr;

 private:
  int count_ = 0;
  int capacity_ = 0;
  int growthDelta_ = 16;
  int itemSize_;
  bool zeroNewItems_ = true;
  bool external_ = false;
  std::uint8_t* tempItem_ = nullptr;
};

// Lists whose items start with three singles (x, y, z).
class TBaseVectorList : public TBaseList {
  RTL_CLASS(TBaseVectorList, TBaseList)
 public:
  // min starts at +infinity and max at -infinity; an empty list leaves them.
  virtual void GetExtents(TAffineVector& Min, TAffineVector& Max) const;
  virtual TAffineVector Sum() const;
  virtual void Normalize();
  // Largest sum of absolute component differences; counts must match (assertion).
  virtual float MaxSpacing(const TBaseVectorList* Other) const;
  virtual void Translate(const TAffineVector& Delta);
  virtual void TranslateItems(const TBaseVectorList* Other);
  virtual void SubtractItems(const TBaseVectorList* Other);
  virtual void Lerp(const TBaseVectorList* List1, const TBaseVectorList* List2, float T) = 0;
  // item[i] := item[i] + other[i] * Factor.
  virtual void CombineItems(const TBaseVectorList* Other, float Factor);
  void CombineWithList(const TBaseVectorList* Other, float Factor);
  void AngleLerp(const TBaseVectorList* List1, const TBaseVectorList* List2, float T);

  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

  // The x, y, z of an item (unchecked).
  float* Vec(int Index) noexcept { return reinterpret_cast<float*>(ItemAddress(Index)); }
  const float* Vec(int Index) const noexcept { return reinterpret_cast<const float*>(ItemAddress(Index)); }

 protected:
  explicit TBaseVectorList(int AItemSize) : TBaseList(AItemSize) {}
};

// Typed access shared by the concrete lists.
template <class T, class Base>
class TTypedList : public Base {
 public:
  T* List() noexcept { return reinterpret_cast<T*>(this->data_); }
  const T* List() const noexcept { return reinterpret_cast<const T*>(this->data_); }
  T Get(int Index) const noexcept { return List()[Index]; }
  void Put(int Index, const T& Item) noexcept { List()[Index] = Item; }
  T& operator[](int Index) noexcept { return List()[Index]; }
  const T& operator[](int Index) const noexcept { return List()[Index]; }
  int Add(const T& Item) {
    this->GrowForOne();
    int i = this->Count();
    this->SetCount(i + 1);
    List()[i] = Item;
    return i;
  }

 protected:
  TTypedList() : Base(static_cast<int>(sizeof(T))) {}
};

class TAffineVectorList : public TTypedList<TAffineVector, TBaseVectorList> {
  RTL_CLASS(TAffineVectorList, TBaseVectorList)
 public:
  TAffineVectorList() = default;
  using TTypedList::Add;
  int Add(float X, float Y, float Z) { return Add(TAffineVector{{X, Y, Z}}); }
  void AddPair(const TAffineVector& V1, const TAffineVector& V2);
  void AddTriple(const TAffineVector& V1, const TAffineVector& V2, const TAffineVector& V3);
  void AddList(const TAffineVectorList* Other) { AddListItems(Other); }
  // Index of the first item bit-for-bit equal to Item, else appended.
  int FindOrAdd(const TAffineVector& Item);
  int IndexOfVector(const TAffineVector& Item) const;
  void Normalize() override;
  void Translate(const TAffineVector& Delta) override;
  void Lerp(const TBaseVectorList* List1, const TBaseVectorList* List2, float T) override;
  // Nothing for an empty list or a factor of exactly 1.
  void Scale(float Factor);
  void ScaleByVector(const TAffineVector& V);
};

class TVectorList : public TTypedList<TVector4f, TBaseVectorList> {
  RTL_CLASS(TVectorList, TBaseVectorList)
 public:
  TVectorList() = default;
  using TTypedList::Add;
  int AddAffineW(const TAffineVector& V, float W) { return Add(TVector4f{{V[0], V[1], V[2], W}}); }
  int AddPoint(const TAffineVector& V) { return AddAffineW(V, 1); }
  int AddPointXYZ(float X, float Y, float Z) { return Add(TVector4f{{X, Y, Z, 1}}); }
  void AddList(const TVectorList* Other) { AddListItems(Other); }
  // Four components.
  void Lerp(const TBaseVectorList* List1, const TBaseVectorList* List2, float T) override;
};

class TQuaternionList : public TTypedList<TQuaternion, TBaseVectorList> {
  RTL_CLASS(TQuaternionList, TBaseVectorList)
 public:
  TQuaternionList() = default;
  void AddList(const TQuaternionList* Other) { AddListItems(Other); }
  // Item by item QuaternionSlerp.
  void Lerp(const TBaseVectorList* List1, const TBaseVectorList* List2, float T) override;
  // With another quaternion list: item[i] := item[i] * slerp(identity, other[i], Factor).
  void CombineItems(const TBaseVectorList* Other, float Factor) override;
};

class TTexPointList : public TTypedList<TTexPoint, TBaseList> {
  RTL_CLASS(TTexPointList, TBaseList)
 public:
  TTexPointList() = default;
  using TTypedList::Add;
  int Add(float S, float T) { return Add(TTexPoint{S, T}); }
  void AddList(const TTexPointList* Other) { AddListItems(Other); }
};

class TIntegerList : public TTypedList<std::int32_t, TBaseList> {
  RTL_CLASS(TIntegerList, TBaseList)
 public:
  TIntegerList() = default;
  void AddPair(std::int32_t I1, std::int32_t I2);
  void AddTriple(std::int32_t I1, std::int32_t I2, std::int32_t I3);
  void AddList(const TIntegerList* Other) { AddListItems(Other); }
  int IndexOf(std::int32_t Item) const;
};

class TSingleList : public TTypedList<float, TBaseList> {
  RTL_CLASS(TSingleList, TBaseList)
 public:
  TSingleList() = default;
  void AddList(const TSingleList* Other) { AddListItems(Other); }
};

class TByteList : public TTypedList<std::uint8_t, TBaseList> {
  RTL_CLASS(TByteList, TBaseList)
 public:
  TByteList() = default;
  void AddList(const TByteList* Other) { AddListItems(Other); }
};

// Ascending quicksort of Singles[Lo..Hi], exchanging the entries of List alongside.
void QuickSortSingleListWithTList(int Lo, int Hi, TSingleList* Singles, TList* List);
// The same by numeric value (negative keys included), with a parallel object list.
void QuickSortSingleListAsIntegers(int Lo, int Hi, TSingleList* Singles, TPersistentObjectList* Objects);

// Registers TAffineVectorList, TVectorList, TTexPointList and TSingleList by class name.
void RegisterVectorLists();
