// TFindList: a pointer list that can keep its items sorted and find them by
// binary search. The capture monitor keeps its ignored addresses in one.
#pragma once

#include <cstdint>

#include "rtl/Classes.h"

class TFindList : public TList {
  RTL_CLASS(TFindList, TList)
 public:
  TFindList() = default;

  bool Sorted() const noexcept { return Sorted_; }
  void SetSorted(bool Value) noexcept { Sorted_ = Value; }

  // Sorted: inserts Item at its place unless an equal item is present, whose
  // index is returned then. Not sorted: appends. Returns the item's index.
  virtual int AddSorted(void* Item, TListSortCompare Compare);

  // Binary search. True with Index at a match; false with Index at the
  // insertion point (0 for an empty list).
  virtual bool Find(void* Item, TListSortCompare Compare, int& Index);

 private:
  bool Sorted_ = false;
};

// An IPv4 address (network order) stored as a list item, and back.
inline void* IPAddrToItem(uint32_t Address) { return reinterpret_cast<void*>(uintptr_t(Address)); }
inline uint32_t ItemToIPAddr(void* Item) { return uint32_t(reinterpret_cast<uintptr_t>(Item)); }

// Unsigned comparison of two stored addresses.
int CompareIPAddr(void* Item1, void* Item2);
