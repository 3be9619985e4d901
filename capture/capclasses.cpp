// The sorted find list: sorted insertion and binary search.
#include "capture/capclasses.h"

int TFindList::AddSorted(void* Item, TListSortCompare Compare) {
  if (!Sorted_) return Add(Item);
  int index = 0;
  if (Find(Item, Compare, index)) return index;
  Insert(index, Item);
  return index;
}

bool TFindList::Find(void* Item, TListSortCompare Compare, int& Index) {
  Index = 0;
  if (Count() == 0) return false;
  bool found = false;
  int low = 0;
  int high = Count() - 1;
  while (low <= high) {
    const int mid = (low + high) / 2;
    const int c = Compare(Items(mid), Item);
    if (c < 0) {
      low = mid + 1;
    } else {
      high = mid - 1;
      if (c == 0) {
        found = true;
        low = mid;
      }
    }
  }
  Index = low;
  return found;
}

int CompareIPAddr(void* Item1, void* Item2) {
  const uint32_t a = ItemToIPAddr(Item1);
  const uint32_t b = ItemToIPAddr(Item2);
  return a < b ? -1 : (a > b ? 1 : 0);
}
