// Triangle-strip to triangle-list conversion, from points or from indexed points.
#include "Source/Further/MeshUtils.h"

#include "rtl/SysUtils.h"

namespace {

template <class Point>
void AppendStrip(int n, const Point& p, TAffineVectorList* List) {
  if (n < 3) return;
  List->AdjustCapacityToAtLeast(List->Count() + (n - 2) * 3);
  for (int i = 0; i <= n - 3; ++i) {
    if (i % 2 == 0)
      List->AddTriple(p(i), p(i + 1), p(i + 2));
    else
      List->AddTriple(p(i + 2), p(i + 1), p(i));
  }
}

}  // namespace

void ConvertStripToList(const TAffineVectorList* Strip, TAffineVectorList* List) {
  AppendStrip(
      Strip->Count(), [Strip](int k) { return (*Strip)[k]; }, List);
}

void ConvertIndexedStripToList(const TAffineVectorList* Points, const TIntegerList* Indices, TAffineVectorList* List) {
  const int n = Indices->Count();
  for (int k = 0; k < n; ++k) RTL_ASSERT((*Indices)[k] >= 0 && (*Indices)[k] < Points->Count(), "Index out of range");
  AppendStrip(
      n, [Points, Indices](int k) { return (*Points)[(*Indices)[k]]; }, List);
}
