// Tests of pointer lists and their notifications, and of concurrent adds to the thread list.
#include "rtl/Classes.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

void* P(std::intptr_t v) { return reinterpret_cast<void*>(v); }

std::vector<std::intptr_t> Values(const TList& l) {
  std::vector<std::intptr_t> r;
  for (int i = 0; i < l.Count(); ++i) r.push_back(reinterpret_cast<std::intptr_t>(l.Items(i)));
  return r;
}

using V = std::vector<std::intptr_t>;

// Logs the notifications a list subclass receives.
class TLoggingList : public TList {
  RTL_CLASS(TLoggingList, TList)
 public:
  std::vector<std::pair<std::intptr_t, TListNotification>> log;

 protected:
  void Notify(void* Ptr, TListNotification Action) override {
    log.emplace_back(reinterpret_cast<std::intptr_t>(Ptr), Action);
  }
};

}  // namespace

TEST(List, EditingOperationsAndTheirBounds) {
  TList l;
  for (int i = 1; i <= 4; ++i) l.Add(P(i));
  l.Insert(0, P(9));
  l.Insert(5, P(8));
  EXPECT_EQ(Values(l), (V{9, 1, 2, 3, 4, 8}));
  l.Move(0, 5);
  l.Exchange(0, 1);
  EXPECT_EQ(Values(l), (V{2, 1, 3, 4, 8, 9}));
  EXPECT_EQ(l.Remove(P(3)), 2);
  EXPECT_EQ(l.Remove(P(77)), -1);
  l.Put(1, nullptr);
  l.Add(nullptr);
  l.Pack();
  EXPECT_EQ(Values(l), (V{2, 4, 8, 9}));
  EXPECT_EQ(l.First(), P(2));
  EXPECT_EQ(l.Last(), P(9));
  l.Sort([](void* a, void* b) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(b) - reinterpret_cast<std::intptr_t>(a));
  });
  EXPECT_EQ(Values(l), (V{9, 8, 4, 2}));
  try {
    l.Items(4);
    FAIL() << "no exception";
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (4)");
  }
  EXPECT_THROW(l.Insert(-1, nullptr), EListError);
  EXPECT_THROW(l.Move(0, 4), EListError);
  EXPECT_THROW(l.SetCapacity(2), EListError);
  EXPECT_THROW(l.SetCount(-1), EListError);
  l.SetCount(6);
  EXPECT_EQ(l.Items(5), nullptr);
  l.Clear();
  EXPECT_THROW(l.First(), EListError);
}

TEST(List, SubclassesAreToldWhatComesAndGoes) {
  TLoggingList l;
  l.Add(P(1));
  l.Add(P(2));
  l.Extract(P(1));
  l.Add(nullptr);  // nil entries are not announced
  l.SetItems(0, P(3));
  l.Clear();
  using E = std::pair<std::intptr_t, TListNotification>;
  EXPECT_EQ(l.log, (std::vector<E>{
                       {1, lnAdded}, {2, lnAdded}, {1, lnExtracted}, {2, lnDeleted}, {3, lnAdded}, {3, lnDeleted}}));
}

TEST(ThreadList, ConcurrentAddsAreAllKeptAndDuplicatesFollowTheSetting) {
  TThreadList list;
  list.SetDuplicates(dupAccept);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&list, t] {
      for (int i = 0; i < 1000; ++i) list.Add(P(t * 1000 + i + 1));
    });
  for (auto& th : threads) th.join();
  TList* locked = list.LockList();
  EXPECT_EQ(locked->Count(), 4000);
  TList* again = list.LockList();  // the lock is recursive, as the original critical section
  EXPECT_EQ(again, locked);
  list.UnlockList();
  list.UnlockList();

  list.Clear();
  list.SetDuplicates(dupIgnore);
  list.Add(P(5));
  list.Add(P(5));
  EXPECT_EQ(list.LockList()->Count(), 1);
  list.UnlockList();
  list.SetDuplicates(dupError);
  EXPECT_THROW(list.Add(P(5)), EListError);
  list.Remove(P(5));
  EXPECT_EQ(list.LockList()->Count(), 0);
  list.UnlockList();
}
