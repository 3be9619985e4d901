// Walks over lists that the code they call may change: a child that frees a sibling in its step,
// a subscriber that unsubscribes another, a callback that clears its render point.
//
// A walk visits each item the list held when the walk began once, in the order it was given,
// except those that left the list before their turn (removed or freed: the list tells its walks
// through Left). Items added meanwhile wait for the next walk. When the list's owner itself goes
// (its TListWalkers is destroyed), every walk in progress over it ends at once, so the code that
// walks must not touch the owner once Next has returned false with OwnerGone set.
//
// Usage, in the owner of a list `items_` with a `TListWalkers<T*> walkers_` beside it:
//   for (TListWalk<T*> walk(walkers_, items_.begin(), items_.end()); T* item = walk.Next();)
//     item->Step();
// and walkers_.Left(item) wherever an item leaves items_.
//
// T is a pointer type; the items of one list are distinct. Walks live on the stack (they are
// neither copied nor moved) and end in the reverse order of their start. One thread.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

template <class T>
class TListWalk;

// Kept by the owner of a list beside it: the walks in progress over the list.
template <class T>
class TListWalkers {
 public:
  TListWalkers() = default;
  // A copy of the owner is a new list: no walk of the original goes over it.
  TListWalkers(const TListWalkers&) noexcept {}
  TListWalkers& operator=(const TListWalkers&) noexcept { return *this; }
  ~TListWalkers() {
    for (TListWalk<T>* w = top_; w; w = w->below_) w->OwnerWent();
  }

  // The item left the list: no walk in progress reaches it any more.
  void Left(T item) noexcept {
    for (TListWalk<T>* w = top_; w; w = w->below_) w->Forget(item);
  }
  // Every item left (the list was emptied).
  void AllLeft() noexcept {
    for (TListWalk<T>* w = top_; w; w = w->below_) w->ForgetAll();
  }
  bool Walking() const noexcept { return top_ != nullptr; }

 private:
  friend class TListWalk<T>;
  TListWalk<T>* top_ = nullptr;
};

template <class T>
class TListWalk {
 public:
  template <class It>
  TListWalk(TListWalkers<T>& walkers, It first, It last) : walkers_(&walkers), items_(first, last) {
    below_ = walkers.top_;
    walkers.top_ = this;
  }
  // Over a list the caller made for this walk (an order of its own), taken without a copy.
  TListWalk(TListWalkers<T>& walkers, std::vector<T>&& items) : walkers_(&walkers), items_(std::move(items)) {
    below_ = walkers.top_;
    walkers.top_ = this;
  }
  TListWalk(const TListWalk&) = delete;
  TListWalk& operator=(const TListWalk&) = delete;
  ~TListWalk() {
    if (!walkers_) return;
    for (TListWalk** p = &walkers_->top_; *p; p = &(*p)->below_)
      if (*p == this) {
        *p = below_;
        break;
      }
  }

  // The next item still in the list; nullptr at the end, or when the owner went.
  T Next() noexcept {
    while (next_ < items_.size()) {
      const T item = items_[next_++];
      if (item) return item;
    }
    return nullptr;
  }
  // The list's owner was destroyed during the walk.
  bool OwnerGone() const noexcept { return walkers_ == nullptr; }

 private:
  friend class TListWalkers<T>;
  // Short walks search what is left; longer ones index it once, so a mass removal during a
  // walk over thousands of items costs no more than the removal itself.
  static constexpr std::size_t kIndexFrom = 32;

  void Forget(T item) noexcept {
    if (!item || next_ >= items_.size()) return;
    if (items_.size() - next_ < kIndexFrom) {
      for (std::size_t i = next_; i < items_.size(); ++i)
        if (items_[i] == item) {
          items_[i] = nullptr;
          return;
        }
      return;
    }
    try {
      if (!indexed_) {
        for (std::size_t i = next_; i < items_.size(); ++i)
          if (items_[i]) index_.emplace(items_[i], i);
        indexed_ = true;
      }
    } catch (...) {
      // No memory for the index: search instead.
      index_.clear();
      indexed_ = false;
      for (std::size_t i = next_; i < items_.size(); ++i)
        if (items_[i] == item) items_[i] = nullptr;
      return;
    }
    auto it = index_.find(item);
    if (it == index_.end()) return;
    if (it->second >= next_) items_[it->second] = nullptr;
    index_.erase(it);
  }
  void ForgetAll() noexcept { next_ = items_.size(); }
  void OwnerWent() noexcept {
    ForgetAll();
    walkers_ = nullptr;
  }

  TListWalkers<T>* walkers_;
  TListWalk* below_ = nullptr;
  std::vector<T> items_;
  std::size_t next_ = 0;
  std::unordered_map<T, std::size_t> index_;
  bool indexed_ = false;
};
