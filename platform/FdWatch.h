// Readiness notifications for one file descriptor on the creating thread's
// event loop (the loop that ProcessMessages / RunMessageLoop pump).
//
// Notifications are level-triggered: while read interest is on and data is
// waiting, OnReadable is called on every turn of the loop, so a user that
// cannot read now should switch read interest off. The same holds for
// OnWritable. Both interests start off.
//
// Thread safety: create, use and destroy a TFdWatch on one thread only. The
// callbacks run on that thread. A callback may destroy its own TFdWatch.
// Exceptions thrown by a callback are caught and reported on stderr.
// The descriptor is not owned: close it after destroying the watch.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

class TFdWatch {
 public:
  // Raises EInvalidOperation for a negative descriptor and, like the message
  // layer, when there is no QCoreApplication.
  explicit TFdWatch(int fd);
  ~TFdWatch();
  TFdWatch(const TFdWatch&) = delete;
  TFdWatch& operator=(const TFdWatch&) = delete;

  int Fd() const { return fd_; }

  void SetReadEnabled(bool on);
  void SetWriteEnabled(bool on);
  bool ReadEnabled() const;
  bool WriteEnabled() const;

  std::function<void()> OnReadable;
  std::function<void()> OnWritable;

 private:
  void Fire(bool readable);

  int fd_;
  QSocketNotifier* read_ = nullptr;
  QSocketNotifier* write_ = nullptr;
  // Set while a callback runs; the destructor then defers freeing the notifiers.
  std::shared_ptr<bool> alive_;
  int firing_ = 0;
};
