// The UDP listener of the packet-line feed: remote capture programs send their
// packet lines here; complete lines go into the packet queue.
#pragma once

#include "sockets/WSocket.h"

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class QTimer;

// Joins packet lines that a datagram boundary cut, for each sender (address
// and port) on its own. Only the unfinished tail of a datagram (no LF after
// it) is kept, and it joins the sender's next datagram only when the two
// together make a line of eleven fields; otherwise the next datagram's first
// piece stands on its own and the kept tail is dropped. A sender of one line
// per datagram without line ends thus loses no line to a bad one before it.
// Kept tails are bounded by what they hold, not by how many senders there
// are: each one at most MaxLeftover bytes, all together at most MaxTailBytes
// (each counted with TailOverhead for its bookkeeping), and each for at most
// MaxTailAge (an older tail is dropped when the next datagram of any sender
// comes, or at Finish). A tail that does not fit beside the kept ones is
// dropped itself: a flood of new senders cannot push out the cut lines of
// the senders already kept. Every piece dropped (not a line, and neither
// empty nor a lone CR) is handed to OnDiscard and counted.
class TFeedAssembler {
 public:
  static constexpr size_t MaxLeftover = 65536;
  static constexpr size_t MaxTailBytes = 4 << 20;
  static constexpr size_t TailOverhead = 128;
  static constexpr int64_t MaxTailAge = 2000000000;  // ns

  // A sender's address and port (in network order, as the socket gives
  // them); 0 for a feed of one sender.
  using TSender = uint64_t;
  static TSender SenderOf(uint32_t address, uint16_t port) { return uint64_t(address) << 16 | port; }

  // A piece dropped, with its number of fields (TAB-separated, an empty last
  // one not counted).
  std::function<void(const std::string& Piece, size_t Fields)> OnDiscard;
  // The steady clock (ns); tests give their own.
  std::function<int64_t()> Now;

  // The complete lines of `datagram` (joined with the sender's kept tail),
  // unchanged (a CR before the LF stays).
  std::vector<std::string> Feed(const std::string& datagram, TSender from = 0);
  // No datagram will follow (the feed closes): the kept tails are dropped.
  void Finish();
  // The tail kept for the sender ("" for none).
  std::string UdpLeftover(TSender from = 0) const;
  size_t Senders() const { return FTails.size(); }
  // What the kept tails count against MaxTailBytes.
  size_t TailBytes() const { return FTailBytes; }
  // Pieces dropped since the assembler was made.
  int64_t Discarded() const { return FDiscarded; }
  void Clear();

 private:
  struct TTail {
    TSender From;
    std::string Text;
    int64_t At;  // when it came
  };
  using TTails = std::list<TTail>;
  void Discard(const std::string& piece);
  int64_t Clock() const;
  // Takes the tail out of the lists, its text to the caller.
  std::string Remove(TTails::iterator tail);
  TTails FTails;  // oldest first
  std::unordered_map<TSender, TTails::iterator> FBySender;
  size_t FTailBytes = 0;
  int64_t FDiscarded = 0;
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
  // counts what it cannot hold), an unfinished tail still kept is dropped as
  // a piece that is not a line, and the kernel's drops since the last report
  // are logged at once, also when there are none.
  void CloseFeed();

  // "Clear" was clicked: the datagrams that reached the computer before now
  // and still wait at the socket are older traffic too. A mark (a datagram
  // of the listener's own, from a socket of its own) goes to the back of the
  // socket's queue; each read before the mark comes back is told to
  // OnQueuedBeforeClear, after its lines went into the packet queue. The
  // order of the queue decides, not a clock: a step of the computer's clock
  // changes nothing. A mark the kernel dropped (a full receive buffer) ends
  // the telling once the socket has nothing more waiting; that is logged.
  void MarkClear();
  std::function<void()> OnQueuedBeforeClear;

 protected:
  void TriggerChangeState(TSocketState OldState, TSocketState NewState) override;

 private:
  void WSocket1DataAvailable(TObject* Sender, uint16_t ErrCode);
  // Logs the datagrams dropped since the last report, at most once a second;
  // a check that is due later is made by a timer. `now`: at once, also a
  // report of none.
  void ReportDrops(bool now = false);
  void Enqueue(const char* data, size_t size, const sockaddr_in& from);
  TFeedAssembler FAssembler;
  std::string FBuffer;
  int64_t FDropsReported = 0;
  int64_t FLastDropCheck = 0;  // steady clock, ns
  std::unique_ptr<QTimer> FDropTimer;
  // True when the datagram came from the mark's socket (it is no feed
  // datagram); ends the telling when it is the last mark.
  bool FromMark(const sockaddr_in& from, const char* data, size_t size);
  int FMarkSocket = -1;
  sockaddr_in FMarkFrom{};
  std::string FMark;           // the last mark's text
  bool FClearPending = false;  // the last mark has not come back yet
  uint64_t FMarks = 0;
};
