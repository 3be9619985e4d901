// File-descriptor readiness watches over the event loop's socket notifiers.
#include "platform/FdWatch.h"

#include "platform/Messages.h"
#include "rtl/SysUtils.h"

#include <QSocketNotifier>

#include <cstdio>
#include <exception>

TFdWatch::TFdWatch(int fd) : fd_(fd), alive_(std::make_shared<bool>(true)) {
  if (fd < 0) throw EInvalidOperation("TFdWatch: invalid file descriptor");
  // The notifiers refuse to work on a thread without a Qt event dispatcher.
  EnsureMessageQueue();
  read_ = new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read);
  write_ = new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Write);
  read_->setEnabled(false);
  write_->setEnabled(false);
  QObject::connect(read_, &QSocketNotifier::activated, [this] { Fire(true); });
  QObject::connect(write_, &QSocketNotifier::activated, [this] { Fire(false); });
}

TFdWatch::~TFdWatch() {
  *alive_ = false;
  for (QSocketNotifier* n : {read_, write_}) {
    n->setEnabled(false);
    QObject::disconnect(n, nullptr, nullptr, nullptr);
    // Freeing a notifier from inside its own signal is not safe; let the loop do it.
    if (firing_ > 0)
      n->deleteLater();
    else
      delete n;
  }
}

void TFdWatch::SetReadEnabled(bool on) { read_->setEnabled(on); }
void TFdWatch::SetWriteEnabled(bool on) { write_->setEnabled(on); }
bool TFdWatch::ReadEnabled() const { return read_->isEnabled(); }
bool TFdWatch::WriteEnabled() const { return write_->isEnabled(); }

void TFdWatch::Fire(bool readable) {
  const std::function<void()>& callback = readable ? OnReadable : OnWritable;
  if (!callback) return;
  std::shared_ptr<bool> alive = alive_;
  ++firing_;
  try {
    std::function<void()> call = callback;  // the callback may destroy this object
    call();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Unhandled exception in descriptor callback: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Unhandled exception in descriptor callback\n");
  }
  if (*alive) --firing_;
}
