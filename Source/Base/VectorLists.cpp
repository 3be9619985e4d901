// Packed item lists: the base list's growth and archive, vector lists, the concrete item lists
// and their sorting.
#include "Source/Base/VectorLists.h"

#include "Source/Base/VectorGeometry.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

// ---------------------------------------------------------------------------------------------
// TBaseList

TBaseList::TBaseList(int AItemSize) : itemSize_(AItemSize) {}

TBaseList::~TBaseList() {
  if (!external_) std::free(data_);
  std::free(tempItem_);
}

void TBaseList::SetCapacity(int n) {
  RTL_ASSERT(n >= 0);
  if (n == capacity_) return;
  const std::size_t bytes = std::size_t(n) * std::size_t(itemSize_);
  std::uint8_t* block = nullptr;
  if (external_) {
    // The external block stays with its owner; its content moves into a block of our own.
    if (bytes) {
      block = static_cast<std::uint8_t*>(std::malloc(bytes));
      if (!block) throw EOutOfMemory("Out of memory");
      std::memcpy(block, data_, std::size_t(std::min(n, capacity_)) * itemSize_);
    }
    external_ = false;
  } else if (bytes == 0) {
    std::free(data_);
  } else {
    block = static_cast<std::uint8_t*>(std::realloc(data_, bytes));
    if (!block) throw EOutOfMemory("Out of memory");
  }
  data_ = block;
  capacity_ = n;
  if (count_ > n) count_ = n;
}

void TBaseList::SetCount(int n) {
  RTL_ASSERT(n >= 0);
  if (n > capacity_) SetCapacity(n);
  if (n > count_ && zeroNewItems_) std::memset(ItemAddress(count_), 0, std::size_t(n - count_) * itemSize_);
  count_ = n;
}

void TBaseList::UseMemory(void* RangeStart, int RangeCapacity) {
  RTL_ASSERT(RangeCapacity >= 0 && (RangeStart != nullptr || RangeCapacity == 0));
  if (!external_) std::free(data_);
  data_ = static_cast<std::uint8_t*>(RangeStart);
  external_ = true;
  capacity_ = RangeCapacity;
  if (count_ > capacity_) count_ = capacity_;
}

void TBaseList::AddNulls(int n) {
  if (n <= 0) return;
  if (count_ + n > capacity_) SetCapacity(count_ + n);
  std::memset(ItemAddress(count_), 0, std::size_t(n) * itemSize_);
  count_ += n;
}

void TBaseList::AdjustCapacityToAtLeast(int n) {
  if (capacity_ < n) SetCapacity(n);
}

void TBaseList::Clear() {
  SetCount(0);
  SetCapacity(0);
}

void TBaseList::Flush() { count_ = 0; }

void TBaseList::Exchange(int Index1, int Index2) {
  if (Index1 == Index2) return;
  std::uint8_t* a = ItemAddress(Index1);
  std::uint8_t* b = ItemAddress(Index2);
  if (itemSize_ == 4) {
    std::uint32_t t;
    std::memcpy(&t, a, 4);
    std::memcpy(a, b, 4);
    std::memcpy(b, &t, 4);
    return;
  }
  if (!tempItem_) {
    tempItem_ = static_cast<std::uint8_t*>(std::malloc(std::size_t(itemSize_)));
    if (!tempItem_) throw EOutOfMemory("Out of memory");
  }
  std::memcpy(tempItem_, a, itemSize_);
  std::memcpy(a, b, itemSize_);
  std::memcpy(b, tempItem_, itemSize_);
}

void TBaseList::Reverse() {
  for (int i = 0, j = count_ - 1; i < j; ++i, --j) Exchange(i, j);
}

void TBaseList::Assign(TPersistent* Source) {
  if (!Source) {
    Clear();
    return;
  }
  auto* src = dynamic_cast<TBaseList*>(Source);
  if (!src) {
    inherited::Assign(Source);
    return;
  }
  if (src == this) return;
  SetCapacity(src->count_);
  growthDelta_ = src->growthDelta_;
  count_ = capacity_;
  if (count_ == 0) return;
  // Items of another class have another layout: they are not converted, the items are zero.
  if (src->ClassType() == ClassType() && src->itemSize_ == itemSize_)
    std::memcpy(data_, src->data_, std::size_t(count_) * itemSize_);
  else
    std::memset(data_, 0, std::size_t(count_) * itemSize_);
}

void TBaseList::RaiseCountByDeltaSteps(int n) {
  const int newCount = count_ + n;
  while (capacity_ < newCount) SetCapacity(growthDelta_ > 0 ? capacity_ + growthDelta_ : newCount);
  count_ = newCount;
}

void TBaseList::AddListItems(const TBaseList* Other) {
  if (!Other || Other->count_ == 0) return;
  RTL_ASSERT(Other->itemSize_ == itemSize_);
  const int n = Other->count_;
  if (count_ + n > capacity_) SetCapacity(count_ + n);
  std::memmove(ItemAddress(count_), Other->data_, std::size_t(n) * itemSize_);
  count_ += n;
}

void TBaseList::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  Writer->WriteInteger(count_);
  Writer->WriteInteger(itemSize_);
  if (count_ > 0) Writer->Write(data_, std::int64_t(count_) * itemSize_);
}

void TBaseList::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  const int version = Reader->ReadInteger();
  if (version != 0) RaiseFilerException(version);
  const int n = Reader->ReadInteger();
  const int size = Reader->ReadInteger();
  // The stream's item size must be the class's: the items are accessed as the class's type.
  if (size != itemSize_) throw EFilerException(ClassName() + " : invalid item size " + IntToStr(size));
  if (n < 0) throw EReadError("Stream read error");
  ValueEncoding::NeedBytes(*Reader->Stream(), std::int64_t(n) * itemSize_);
  count_ = 0;
  SetCapacity(n);
  if (n > 0) Reader->Read(data_, std::int64_t(n) * itemSize_);
  count_ = n;
}

// ---------------------------------------------------------------------------------------------
// TBaseVectorList

void TBaseVectorList::GetExtents(TAffineVector& Min, TAffineVector& Max) const {
  const float inf = std::numeric_limits<float>::infinity();
  Min = TAffineVector{{inf, inf, inf}};
  Max = TAffineVector{{-inf, -inf, -inf}};
  for (int i = 0; i < Count(); ++i) {
    const float* v = Vec(i);
    for (int k = 0; k < 3; ++k) {
      if (v[k] < Min[k]) Min[k] = v[k];
      if (v[k] > Max[k]) Max[k] = v[k];
    }
  }
}

TAffineVector TBaseVectorList::Sum() const {
  TAffineVector s{{0, 0, 0}};
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 3; ++k) s[k] += Vec(i)[k];
  return s;
}

void TBaseVectorList::Normalize() {
  for (int i = 0; i < Count(); ++i) {
    TAffineVector v;
    std::memcpy(&v, Vec(i), sizeof v);
    v = AffineVectorNormalized(v);
    std::memcpy(Vec(i), &v, sizeof v);
  }
}

float TBaseVectorList::MaxSpacing(const TBaseVectorList* Other) const {
  RTL_ASSERT(Other->Count() == Count());
  float result = 0;
  for (int i = 0; i < Count(); ++i) {
    float d = 0;
    for (int k = 0; k < 3; ++k) d += std::fabs(Vec(i)[k] - Other->Vec(i)[k]);
    if (d > result) result = d;
  }
  return result;
}

void TBaseVectorList::Translate(const TAffineVector& Delta) {
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 3; ++k) Vec(i)[k] += Delta[k];
}

void TBaseVectorList::TranslateItems(const TBaseVectorList* Other) {
  RTL_ASSERT(Other->Count() >= Count());
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 3; ++k) Vec(i)[k] += Other->Vec(i)[k];
}

void TBaseVectorList::SubtractItems(const TBaseVectorList* Other) {
  RTL_ASSERT(Other->Count() >= Count());
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 3; ++k) Vec(i)[k] -= Other->Vec(i)[k];
}

void TBaseVectorList::CombineItems(const TBaseVectorList* Other, float Factor) {
  RTL_ASSERT(Other->Count() >= Count());
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 3; ++k) Vec(i)[k] += Other->Vec(i)[k] * Factor;
}

void TBaseVectorList::CombineWithList(const TBaseVectorList* Other, float Factor) {
  RTL_ASSERT(Other->Count() == Count());
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 3; ++k) Vec(i)[k] += Factor * Other->Vec(i)[k];
}

void TBaseVectorList::AngleLerp(const TBaseVectorList* List1, const TBaseVectorList* List2, float T) {
  RTL_ASSERT(List1->Count() == List2->Count());
  if (List1 == List2 || T == 0) {
    if (List1 != this) Assign(const_cast<TBaseVectorList*>(List1));
    return;
  }
  if (T == 1) {
    if (List2 != this) Assign(const_cast<TBaseVectorList*>(List2));
    return;
  }
  SetCount(List1->Count());
  for (int i = 0; i < Count(); ++i) {
    TAffineVector a, b, r;
    std::memcpy(&a, List1->Vec(i), sizeof a);
    std::memcpy(&b, List2->Vec(i), sizeof b);
    VectorAngleLerp(a, b, r, T);
    std::memcpy(Vec(i), &r, sizeof r);
  }
}

void TBaseVectorList::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
}

void TBaseVectorList::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  const int version = Reader->ReadInteger();
  if (version != 0) RaiseFilerException(version);
}

// ---------------------------------------------------------------------------------------------
// Concrete lists

void TAffineVectorList::AddPair(const TAffineVector& V1, const TAffineVector& V2) {
  RaiseCountByDeltaSteps(2);
  List()[Count() - 2] = V1;
  List()[Count() - 1] = V2;
}

void TAffineVectorList::AddTriple(const TAffineVector& V1, const TAffineVector& V2, const TAffineVector& V3) {
  RaiseCountByDeltaSteps(3);
  List()[Count() - 3] = V1;
  List()[Count() - 2] = V2;
  List()[Count() - 1] = V3;
}

int TAffineVectorList::IndexOfVector(const TAffineVector& Item) const {
  for (int i = 0; i < Count(); ++i)
    if (std::memcmp(&List()[i], &Item, sizeof Item) == 0) return i;
  return -1;
}

int TAffineVectorList::FindOrAdd(const TAffineVector& Item) {
  int i = IndexOfVector(Item);
  return i >= 0 ? i : Add(Item);
}

void TAffineVectorList::Normalize() {
  for (int i = 0; i < Count(); ++i) AffineVectorNormalize(List()[i]);
}

void TAffineVectorList::Translate(const TAffineVector& Delta) {
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 3; ++k) List()[i][k] += Delta[k];
}

void TAffineVectorList::Lerp(const TBaseVectorList* List1, const TBaseVectorList* List2, float T) {
  RTL_ASSERT(List1->Count() == List2->Count());
  SetCount(List1->Count());
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 3; ++k) Vec(i)[k] = List1->Vec(i)[k] + (List2->Vec(i)[k] - List1->Vec(i)[k]) * T;
}

void TAffineVectorList::Scale(float Factor) {
  if (Count() == 0 || Factor == 1) return;
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 3; ++k) List()[i][k] *= Factor;
}

void TAffineVectorList::ScaleByVector(const TAffineVector& V) {
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 3; ++k) List()[i][k] *= V[k];
}

void TVectorList::Lerp(const TBaseVectorList* List1, const TBaseVectorList* List2, float T) {
  RTL_ASSERT(List1->Count() == List2->Count());
  RTL_ASSERT(List1->ItemSize() == ItemSize() && List2->ItemSize() == ItemSize());
  SetCount(List1->Count());
  for (int i = 0; i < Count(); ++i)
    for (int k = 0; k < 4; ++k) Vec(i)[k] = List1->Vec(i)[k] + (List2->Vec(i)[k] - List1->Vec(i)[k]) * T;
}

void TQuaternionList::Lerp(const TBaseVectorList* List1, const TBaseVectorList* List2, float T) {
  RTL_ASSERT(List1->Count() == List2->Count());
  RTL_ASSERT(List1->ItemSize() == ItemSize() && List2->ItemSize() == ItemSize());
  SetCount(List1->Count());
  for (int i = 0; i < Count(); ++i) {
    TQuaternion a, b;
    std::memcpy(&a, List1->ItemAddress(i), sizeof a);
    std::memcpy(&b, List2->ItemAddress(i), sizeof b);
    List()[i] = QuaternionSlerp(a, b, T);
  }
}

void TQuaternionList::CombineItems(const TBaseVectorList* Other, float Factor) {
  auto* quats = dynamic_cast<const TQuaternionList*>(Other);
  if (!quats) {
    inherited::CombineItems(Other, Factor);
    return;
  }
  RTL_ASSERT(Other->Count() >= Count());
  for (int i = 0; i < Count(); ++i)
    List()[i] = QuaternionMultiply(List()[i], QuaternionSlerp(IdentityQuaternion, quats->List()[i], Factor));
}

void TIntegerList::AddPair(std::int32_t I1, std::int32_t I2) {
  RaiseCountByDeltaSteps(2);
  List()[Count() - 2] = I1;
  List()[Count() - 1] = I2;
}

void TIntegerList::AddTriple(std::int32_t I1, std::int32_t I2, std::int32_t I3) {
  RaiseCountByDeltaSteps(3);
  List()[Count() - 3] = I1;
  List()[Count() - 2] = I2;
  List()[Count() - 1] = I3;
}

int TIntegerList::IndexOf(std::int32_t Item) const {
  for (int i = 0; i < Count(); ++i)
    if (List()[i] == Item) return i;
  return -1;
}

// ---------------------------------------------------------------------------------------------
// Sorting

namespace {

// Hoare quicksort over keys[Lo..Hi] with an exchange of the parallel entries.
template <class Swap>
void SortSingles(int Lo, int Hi, float* Keys, const Swap& SwapParallel) {
  while (Lo < Hi) {
    if (Hi - Lo == 1) {
      if (Keys[Hi] < Keys[Lo]) {
        std::swap(Keys[Lo], Keys[Hi]);
        SwapParallel(Lo, Hi);
      }
      return;
    }
    int i = Lo, j = Hi;
    const float pivot = Keys[(Lo + Hi) / 2];
    do {
      while (Keys[i] < pivot) ++i;
      while (Keys[j] > pivot) --j;
      if (i <= j) {
        if (i != j) {
          std::swap(Keys[i], Keys[j]);
          SwapParallel(i, j);
        }
        ++i;
        --j;
      }
    } while (i <= j);
    if (Lo < j) SortSingles(Lo, j, Keys, SwapParallel);
    Lo = i;
  }
}

// NaN keys first go to the top of the range, with their parallel entries; the numbers below them
// are sorted. A NaN compares false both ways, and left in it would split the range at random.
template <class Swap>
void SortSinglesNaNLast(int Lo, int Hi, float* Keys, const Swap& SwapParallel) {
  for (int i = Hi; i >= Lo; --i)
    if (std::isnan(Keys[i])) {
      if (i != Hi) {
        std::swap(Keys[i], Keys[Hi]);
        SwapParallel(i, Hi);
      }
      --Hi;
    }
  SortSingles(Lo, Hi, Keys, SwapParallel);
}

}  // namespace

void QuickSortSingleListWithTList(int Lo, int Hi, TSingleList* Singles, TList* List) {
  SortSinglesNaNLast(Lo, Hi, Singles->List(), [List](int a, int b) { List->Exchange(a, b); });
}

// Keys compare by value: comparing bit patterns as integers would put -1 before -2.
void QuickSortSingleListAsIntegers(int Lo, int Hi, TSingleList* Singles, TPersistentObjectList* Objects) {
  SortSinglesNaNLast(Lo, Hi, Singles->List(), [Objects](int a, int b) { Objects->Exchange(a, b); });
}

void RegisterVectorLists() {
  RegisterClasses({TAffineVectorList::StaticClass(), TVectorList::StaticClass(), TTexPointList::StaticClass(),
                   TSingleList::StaticClass()});
}
