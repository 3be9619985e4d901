// Tests of walks over lists that change while they are walked: items that leave before their
// turn, newcomers, nested walks, a mass removal over a long list, and the list's owner going.
#include "Source/Base/ListWalk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

struct TItem {
  int id;
};

// A list of items owned elsewhere, with the removal that tells its walks.
struct TList {
  std::vector<TItem*> items;
  TListWalkers<TItem*> walkers;
  void Remove(TItem* item) {
    items.erase(std::find(items.begin(), items.end(), item));
    walkers.Left(item);
  }
};

std::vector<std::unique_ptr<TItem>> MakeItems(TList& list, int n) {
  std::vector<std::unique_ptr<TItem>> owned;
  for (int i = 0; i < n; ++i) {
    owned.push_back(std::make_unique<TItem>(TItem{i}));
    list.items.push_back(owned.back().get());
  }
  return owned;
}

TEST(ListWalk, ItemsThatLeaveAreSkippedAndNewcomersWaitForTheNextWalk) {
  TList list;
  auto owned = MakeItems(list, 5);
  TItem late{99};
  std::vector<int> seen;
  for (TListWalk<TItem*> walk(list.walkers, list.items.begin(), list.items.end()); TItem* item = walk.Next();) {
    seen.push_back(item->id);
    if (item->id == 1) {
      list.Remove(owned[0].get());  // already visited: nothing moves under the walk
      list.Remove(owned[3].get());  // not yet visited: skipped
      list.Remove(owned[1].get());  // itself
      list.items.push_back(&late);
    }
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 4}));
  seen.clear();
  for (TListWalk<TItem*> walk(list.walkers, list.items.begin(), list.items.end()); TItem* item = walk.Next();)
    seen.push_back(item->id);
  EXPECT_EQ(seen, (std::vector<int>{2, 4, 99}));
  EXPECT_FALSE(list.walkers.Walking());
}

TEST(ListWalk, NestedWalksBothSkipWhatLeft) {
  TList list;
  auto owned = MakeItems(list, 4);
  std::vector<int> outer, inner;
  TListWalk<TItem*> walk(list.walkers, list.items.rbegin(), list.items.rend());
  while (TItem* item = walk.Next()) {
    outer.push_back(item->id);
    if (item->id != 3) continue;
    TListWalk<TItem*> nested(list.walkers, list.items.begin(), list.items.end());
    while (TItem* n = nested.Next()) {
      inner.push_back(n->id);
      if (n->id == 0) list.Remove(owned[1].get());
    }
  }
  EXPECT_EQ(outer, (std::vector<int>{3, 2, 0}));
  EXPECT_EQ(inner, (std::vector<int>{0, 2, 3}));
}

// Past a few dozen items the rest of a walk is indexed: thousands removed in one step each
// reach the walk once, and only those are skipped.
TEST(ListWalk, AMassRemovalDuringALongWalkSkipsExactlyThoseRemoved) {
  TList list;
  auto owned = MakeItems(list, 5000);
  int visited = 0, odd = 0;
  for (TListWalk<TItem*> walk(list.walkers, list.items.begin(), list.items.end()); TItem* item = walk.Next();) {
    ++visited;
    odd += item->id % 2;
    if (item->id == 10)
      for (int i = 4999; i > 10; i -= 2) list.Remove(owned[size_t(i)].get());
  }
  EXPECT_EQ(visited, 11 + 2494);  // 0..10, then the even ones above 10
  EXPECT_EQ(odd, 5);              // 1, 3, 5, 7, 9
}

TEST(ListWalk, EmptiedListAndGoneOwnerEndTheWalk) {
  auto list = std::make_unique<TList>();
  auto owned = MakeItems(*list, 3);
  std::vector<int> seen;
  {
    TListWalk<TItem*> walk(list->walkers, list->items.begin(), list->items.end());
    while (TItem* item = walk.Next()) {
      seen.push_back(item->id);
      list->items.clear();
      list->walkers.AllLeft();
    }
    EXPECT_FALSE(walk.OwnerGone());
  }
  EXPECT_EQ(seen, (std::vector<int>{0}));
  list->items = {owned[0].get(), owned[1].get()};
  seen.clear();
  TListWalk<TItem*> walk(list->walkers, list->items.begin(), list->items.end());
  while (TItem* item = walk.Next()) {
    seen.push_back(item->id);
    list.reset();  // the owner goes with its walkers
  }
  EXPECT_TRUE(walk.OwnerGone());
  EXPECT_EQ(seen, (std::vector<int>{0}));
}

}  // namespace
