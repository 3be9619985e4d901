// Tests of the packed vector lists: archives and corrupt archives, growth, external memory,
// vector and quaternion operations, and sorting.
#include "Source/Base/VectorLists.h"
#include "Source/Base/VectorGeometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

std::string Raw(const void* p, std::size_t n) { return std::string(static_cast<const char*>(p), n); }

TEST(VectorListsTest, ArchivesAreTheTaggedHeaderAndRawItems) {
  TAffineVectorList empty;
  EXPECT_EQ(empty.SaveToString(), Bytes({2, 0, 2, 0, 2, 12, 2, 0}));
  TIntegerList ints;
  EXPECT_EQ(ints.SaveToString(), Bytes({2, 0, 2, 0, 2, 4}));

  TAffineVectorList list;
  list.Add(1, 2, 3);
  TAffineVector v{{1, 2, 3}};
  std::string data = list.SaveToString();
  EXPECT_EQ(data, Bytes({2, 0, 2, 1, 2, 12}) + Raw(&v, 12) + Bytes({2, 0}));

  TAffineVectorList back;
  back.Add(9, 9, 9);
  back.LoadFromString(data);
  ASSERT_EQ(back.Count(), 1);
  EXPECT_EQ(std::memcmp(&back.List()[0], &v, 12), 0);
}

TEST(VectorListsTest, CorruptArchivesRaiseWithoutTouchingMemory) {
  TAffineVectorList list;
  try {
    list.LoadFromString(Bytes({2, 3}));
    ADD_FAILURE();
  } catch (const EFilerException& e) {
    EXPECT_EQ(e.Message(), "TAffineVectorList : unknown archive version 3");
  }
  // Item size other than the class's, counts beyond the data, negative counts.
  EXPECT_THROW(list.LoadFromString(Bytes({2, 0, 2, 1, 2, 16}) + std::string(16, 'x') + Bytes({2, 0})), EFilerException);
  EXPECT_THROW(list.LoadFromString(Bytes({2, 0, 4, 0, 0, 0, 0x10, 2, 12}) + std::string(24, 'x')), EReadError);
  EXPECT_THROW(list.LoadFromString(Bytes({2, 0, 2, 0xFF, 2, 12})), EReadError);
  EXPECT_THROW(list.LoadFromString(Bytes({2, 0, 2, 0, 2, 12, 2, 7})), EFilerException);
  EXPECT_EQ(list.Count(), 0);
}

TEST(VectorListsTest, GrowthIsByDeltaAndBulkSizingIsExact) {
  TSingleList s;
  for (int i = 0; i < 16; ++i) s.Add(float(i));
  EXPECT_EQ(s.Capacity(), 16);
  s.Add(16);
  EXPECT_EQ(s.Capacity(), 32);
  EXPECT_EQ(s.Get(16), 16.0f);

  TAffineVectorList a;
  a.AddNulls(5);
  EXPECT_EQ(a.Capacity(), 5);
  EXPECT_EQ(a.Get(4)[0], 0.0f);

  TIntegerList full;
  for (int i = 0; i < 16; ++i) full.Add(i);
  full.AddTriple(1, 2, 3);
  EXPECT_EQ(full.Capacity(), 32);
  EXPECT_EQ(full.Count(), 19);
  EXPECT_EQ(full.Get(18), 3);

  full.SetCount(40);  // zero-filled
  EXPECT_EQ(full.Get(39), 0);
  full.SetCapacity(10);
  EXPECT_EQ(full.Count(), 10);  // never beyond the capacity
  EXPECT_THROW(full.SetCount(-1), EAssertionFailed);

  TIntegerList more;
  more.Add(7);
  full.AddList(&more);
  EXPECT_EQ(full.Count(), 11);
  EXPECT_EQ(full.Capacity(), 11);
}

TEST(VectorListsTest, ExternalMemoryIsCopiedAndNeverFreed) {
  std::int32_t block[4] = {10, 20, 30, 40};
  {
    TIntegerList list;
    list.UseMemory(block, 4);
    list.SetZeroNewItems(false);
    list.SetCount(4);
    list.Add(50);  // reallocates out of the external block
    EXPECT_FALSE(list.ExternalMemory());
    EXPECT_EQ(list.Get(0), 10);
    EXPECT_EQ(list.Get(3), 40);
    EXPECT_EQ(list.Get(4), 50);
    list.Put(0, 99);
  }
  EXPECT_EQ(block[0], 10);
}

TEST(VectorListsTest, ExchangeReverseAndAssign) {
  TAffineVectorList a;
  a.Add(1, 0, 0);
  a.Add(2, 0, 0);
  a.Add(3, 0, 0);
  a.Reverse();
  EXPECT_EQ(a.Get(0)[0], 3.0f);
  EXPECT_EQ(a.Get(2)[0], 1.0f);
  EXPECT_EQ(a.FindOrAdd(TAffineVector{{2, 0, 0}}), 1);
  EXPECT_EQ(a.FindOrAdd(TAffineVector{{-0.0f, 0, 0}}), 3);  // bit-exact: -0 is not 0
  EXPECT_EQ(a.IndexOfVector(TAffineVector{{0, 0, 0}}), -1);

  TAffineVectorList b;
  b.Assign(&a);
  EXPECT_EQ(b.Count(), 4);
  EXPECT_EQ(b.Get(1)[0], 2.0f);

  TVectorList other;  // another class: count taken, items zero
  other.Assign(&a);
  EXPECT_EQ(other.Count(), 4);
  EXPECT_EQ(other.Get(0)[0], 0.0f);
  b.Assign(nullptr);
  EXPECT_EQ(b.Count(), 0);
}

TEST(VectorListsTest, VectorOperations) {
  TAffineVectorList a;
  TAffineVector mn, mx;
  a.GetExtents(mn, mx);
  EXPECT_EQ(mn[0], std::numeric_limits<float>::infinity());
  EXPECT_EQ(mx[2], -std::numeric_limits<float>::infinity());

  a.Add(1, -2, 3);
  a.Add(-1, 4, 0);
  a.GetExtents(mn, mx);
  EXPECT_EQ(mn[0], -1);
  EXPECT_EQ(mx[1], 4);
  EXPECT_EQ(a.Sum()[1], 2);

  TAffineVectorList b;
  b.Assign(&a);
  b.Translate(TAffineVector{{1, 1, 1}});
  EXPECT_FLOAT_EQ(a.MaxSpacing(&b), 3);
  b.SubtractItems(&a);
  EXPECT_EQ(b.Get(0)[2], 1);
  b.Scale(2);
  EXPECT_EQ(b.Get(1)[0], 2);

  TAffineVectorList l;
  l.Lerp(&a, &b, 0.5f);
  EXPECT_FLOAT_EQ(l.Get(0)[0], 1.5f);
  TAffineVectorList shortList;
  EXPECT_THROW(l.Lerp(&a, &shortList, 0.5f), EAssertionFailed);
  EXPECT_THROW(a.TranslateItems(&shortList), EAssertionFailed);
  EXPECT_THROW(a.MaxSpacing(&shortList), EAssertionFailed);

  TVectorList v4a, v4b, v4;
  v4a.AddPointXYZ(0, 0, 0);
  v4b.Add(TVector4f{{2, 2, 2, 3}});
  v4.Lerp(&v4a, &v4b, 0.5f);
  EXPECT_FLOAT_EQ(v4.Get(0)[3], 2.0f);  // four components

  TVectorList n;
  n.AddPointXYZ(3, 0, 4);
  n.Normalize();
  EXPECT_FLOAT_EQ(n.Get(0)[0], 0.6f);
  EXPECT_FLOAT_EQ(n.Get(0)[3], 1.0f);  // w untouched
}

TEST(VectorListsTest, QuaternionCombineRotatesItems) {
  TQuaternionList q, other;
  q.Add(IdentityQuaternion);
  // 90 degrees about Z
  const float s = std::sqrt(0.5f);
  other.Add(TQuaternion{{0, 0, s}, s});
  q.CombineItems(&other, 1.0f);
  EXPECT_NEAR(q.Get(0).ImagPart[2], s, 1e-6);
  EXPECT_NEAR(q.Get(0).RealPart, s, 1e-6);
  TQuaternionList half;
  half.Lerp(&q, &q, 0.25f);
  EXPECT_NEAR(half.Get(0).RealPart, s, 1e-6);
}

TEST(VectorListsTest, SingleSortsKeepParallelEntriesInStep) {
  TSingleList keys;
  TPersistentObjectList objs;
  float values[] = {3, -1, 0, -2, 2};
  TObject o[5];
  for (int i = 0; i < 5; ++i) {
    keys.Add(values[i]);
    objs.Add(&o[i]);
  }
  QuickSortSingleListAsIntegers(0, 4, &keys, &objs);
  float want[] = {-2, -1, 0, 2, 3};
  TObject* wantObj[] = {&o[3], &o[1], &o[2], &o[4], &o[0]};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(keys.Get(i), want[i]);
    EXPECT_EQ(objs.Get(i), wantObj[i]);
  }

  TSingleList k2;
  TList parallel;
  for (int i = 0; i < 30; ++i) {
    k2.Add(float((i * 7) % 30));
    parallel.Add(reinterpret_cast<void*>(std::intptr_t((i * 7) % 30)));
  }
  QuickSortSingleListWithTList(0, 29, &k2, &parallel);
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(k2.Get(i), float(i));
    EXPECT_EQ(parallel.Items(i), reinterpret_cast<void*>(std::intptr_t(i)));
  }
}

TEST(VectorListsTest, NaNKeysGoToTheTopAndTheOthersAreSorted) {
  const float nan = std::nanf("");
  const float values[] = {3, nan, 1, -2, nan, 5, -0.0f, 0, 2};
  TSingleList keys;
  TList parallel;
  TSingleList keys2;
  TPersistentObjectList objs;
  TObject o[9];
  for (int i = 0; i < 9; ++i) {
    keys.Add(values[i]);
    parallel.Add(reinterpret_cast<void*>(std::intptr_t(i)));
    keys2.Add(values[i]);
    objs.Add(&o[i]);
  }
  QuickSortSingleListWithTList(0, 8, &keys, &parallel);
  QuickSortSingleListAsIntegers(0, 8, &keys2, &objs);
  const float want[] = {-2, 0, 0, 1, 2, 3, 5};
  for (int i = 0; i < 9; ++i) {
    if (i < 7) {
      EXPECT_EQ(keys.Get(i), want[i]) << i;
      EXPECT_EQ(keys2.Get(i), want[i]) << i;
    } else {
      EXPECT_TRUE(std::isnan(keys.Get(i))) << i;
      EXPECT_TRUE(std::isnan(keys2.Get(i))) << i;
    }
    // Each parallel entry still belongs to its key.
    const auto from = int(reinterpret_cast<std::intptr_t>(parallel.Items(i)));
    EXPECT_TRUE(std::memcmp(&values[from], &keys.List()[i], sizeof(float)) == 0 ||
                (std::isnan(values[from]) && std::isnan(keys.Get(i))))
        << i;
    const int from2 = int(static_cast<TObject*>(objs.Get(i)) - o);
    EXPECT_TRUE(values[from2] == keys2.Get(i) || (std::isnan(values[from2]) && std::isnan(keys2.Get(i)))) << i;
  }
}

TEST(VectorListsTest, AppendsWithoutAPositiveGrowthDeltaStillKeepEveryItem) {
  for (int delta : {0, -5}) {
    TIntegerList list;
    list.SetGrowthDelta(delta);
    for (int i = 0; i < 12; ++i) list.Add(i * 3);
    EXPECT_EQ(list.Count(), 12) << delta;
    EXPECT_EQ(list.Capacity(), 12) << delta;  // one item at a time
    for (int i = 0; i < 12; ++i) EXPECT_EQ(list.Get(i), i * 3) << delta;
    list.AddTriple(1, 2, 3);
    EXPECT_EQ(list.Get(14), 3) << delta;
    EXPECT_EQ(list.Get(11), 33) << delta;
  }
}

TEST(VectorListsTest, QuaternionCombineMultipliesItemThenOther) {
  const float s = std::sqrt(0.5f);
  const TQuaternion aboutX{{s, 0, 0}, s}, aboutZ{{0, 0, s}, s};
  TQuaternionList items, other;
  items.Add(aboutX);
  other.Add(aboutZ);
  items.CombineItems(&other, 1.0f);
  const TQuaternion want = QuaternionMultiply(aboutX, aboutZ);  // not aboutZ * aboutX
  EXPECT_NEAR(items.Get(0).ImagPart[1], want.ImagPart[1], 1e-6);
  EXPECT_NEAR(items.Get(0).ImagPart[1], -0.5f, 1e-6);  // the reverse order gives +0.5
  EXPECT_NEAR(items.Get(0).ImagPart[2], want.ImagPart[2], 1e-6);

  // Another kind of list: the plain item + other * factor on x, y, z.
  TQuaternionList plain;
  plain.Add(aboutX);
  TAffineVectorList offsets;
  offsets.Add(1, 2, 3);
  plain.CombineItems(&offsets, 2.0f);
  EXPECT_FLOAT_EQ(plain.Get(0).ImagPart[0], s + 2);
  EXPECT_FLOAT_EQ(plain.Get(0).ImagPart[2], 6);
  EXPECT_FLOAT_EQ(plain.Get(0).RealPart, s);
}

TEST(VectorListsTest, AngleLerpTakesEitherEndExactly) {
  TAffineVectorList a, b, r;
  a.Add(0.1f, 0.2f, 0.3f);
  b.Add(3.0f, -3.0f, 1.0f);
  r.AngleLerp(&a, &b, 0);
  EXPECT_EQ(std::memcmp(r.List(), a.List(), 12), 0);
  r.AngleLerp(&a, &b, 1);
  EXPECT_EQ(std::memcmp(r.List(), b.List(), 12), 0);
  r.AngleLerp(&a, &b, 0.25f);
  TAffineVector want;
  VectorAngleLerp(a.Get(0), b.Get(0), want, 0.25f);
  EXPECT_EQ(std::memcmp(r.List(), &want, 12), 0);
  TAffineVectorList empty;
  EXPECT_THROW(r.AngleLerp(&a, &empty, 0.5f), EAssertionFailed);
}

}  // namespace
