// The UDP listener of the packet-line feed: remote capture programs send their
// packet lines here; complete lines go into the packet queue.
#pragma once

#include "sockets/WSocket.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QTimer;

// Joins packet lines that a datagram boundary cut. Only the unfinished tail of
// a datagram (no LF after it) is kept for the next one; a finished piece that
// is not a line of eleven fields is dropped, so one bad line cannot spoil the
// lines after it.
class TFeedAssembler {
 public:
  static constexpr size_t MaxLeftover = 65536;

  // The complete lines of `datagram` (joined with the kept tail), unchanged
  // (a CR before the LF stays).
  std::vector<std::string> Feed(const std::string& datagram);
  const std::string& UdpLeftover() const { return FLeftover; }
  void Clear() { FLeftover.clear(); }

 private:
  std::string FLeftover;
};

class TMySocket : public TWSocket {
  RTL_CLASS(TMySocket, TWSocket)
 public:
  // Receive buffer asked for once bound: bursts of a busy feed wait there
  // while the view draws (the kernel may grant less).
  static constexpr int FeedReceiveBuffer = 8 << 20;

  // Binds 0.0.0.0:`port` for UDP once Listen() is called.
  explicit TMySocket(TComponent* AOwner, int port = 32000);
  ~TMySocket() override;

  TFeedAssembler& Assembler() { return FAssembler; }

  // Datagrams the kernel dropped since the socket was opened because the
  // receive buffer was full; -1 when it cannot tell.
  int64_t KernelDrops() const;

  // Closes the feed, losing no line without a word: the lines of the
  // datagrams still waiting at the socket go into the packet queue (which
  // counts what it cannot hold), and the kernel's drops since the last report
  // are logged at once, also when there are none.
  void CloseFeed();

 protected:
  void TriggerChangeState(TSocketState OldState, TSocketState NewState) override;

 private:
  void WSocket1DataAvailable(TObject* Sender, uint16_t ErrCode);
  // Logs the datagrams dropped since the last report, at most once a second;
  // a check that is due later is made by a timer. `now`: at once, also a
  // report of none.
  void ReportDrops(bool now = false);
  void Enqueue(const char* data, size_t size);
  TFeedAssembler FAssembler;
  std::string FBuffer;
  int64_t FDropsReported = 0;
  int64_t FLastDropCheck = 0;  // steady clock, ns
  std::unique_ptr<QTimer> FDropTimer;
};
