// The hand-over of packet lines from their producers (capture thread, UDP feed)
// to the 3D view's frame handler: a fixed ring of 8192 lines under one lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class TPacketQueue {
 public:
  static constexpr int QueSize = 8192;
  static constexpr int PendingCap = 32000;

  TPacketQueue();

  // Stores one line; safe from any thread. When every slot holds an unread
  // line the new line is dropped (nothing handed out twice, read position
  // kept) but still counted in QuePending, so the backlog display reacts,
  // and in Dropped.
  void QueLoad(const std::string& line);

  // Lines dropped because the ring was full, since the queue was made. Kept
  // when the ring empties (unlike QuePending, which then drops to 0).
  int64_t Dropped() const;
  // Main thread, once a frame: the log line for lines dropped since the last
  // report, or "" when there are none or the last report is less than a
  // second old (the count then waits for the next report).
  std::string DropReport(int64_t nowNs);
  std::string DropReport();  // at the steady clock's now
  static constexpr int64_t DropReportInterval = 1000000000;

  // A piece of feed text that was not a line of eleven fields and never
  // reached the queue; safe from any thread. Told in the close report.
  void CountNotLine();
  int64_t NotLines() const;

  // At close: the lines still in the ring are taken out unprocessed, and the
  // log lines that account for every line loaded are returned: the drop
  // report for the lines dropped since the last one (whenever that was), the
  // lines left unprocessed, and the totals since start (loaded = processed +
  // dropped + not processed at close; beside them the pieces that were not
  // lines).
  std::vector<std::string> CloseReport();

  // Takes at most one slot out and advances the read position. Returns false
  // (and changes nothing but a stale counter) when the ring is empty. The
  // line is moved out under the lock; an empty slot yields an empty line.
  bool Take(std::string& line);

  // Takes one slot and hands a non-empty line to `process` outside the lock.
  // Exceptions of `process` are caught and passed to `onError` with the
  // exception's message.
  void QueUnload(const std::function<void(const std::string&)>& process,
                 const std::function<void(const std::string&)>& onError);

  // Lines handed to QueLoad, and slots taken out by Take, since start.
  int64_t Loaded() const;
  int64_t Taken() const;
  // The number Taken() reaches when the last line held now is taken out: a
  // line taken later with a Taken() up to it was queued before this call.
  int64_t LastQueued() const;

  int QuePending() const;
  int QueHigh() const { return QueSize - 1; }
  int QueWriteIndex() const;
  int QueReadIndex() const;

  // Lines to unload in one frame for a backlog of `pending`: max(1, round(pending/45)).
  static int DrainCount(int pending);

 private:
  mutable std::mutex FLock;
  std::vector<std::string> FSlots;
  int FWrite = 0;
  int FRead = 0;
  int FPending = 0;
  int64_t FDropped = 0;
  int64_t FLoaded = 0;
  int64_t FTaken = 0;
  int64_t FLeftAtClose = 0;
  int64_t FNotLines = 0;
  // Main thread only (DropReport).
  int64_t FDropsReported = 0;
  int64_t FLastDropReport = 0;
  bool FDropReportMade = false;
  std::string MakeDropReport(int64_t dropped, int64_t nowNs);
};

// The program's one queue, allocated at start-up (before any producer runs).
TPacketQueue& PacketQueue();
// Shorthand for PacketQueue().QueLoad(line).
void QueLoad(const std::string& line);

// Log lines, packet lines to log and activity ticks from other threads, handed
// to the main thread in batches: the first post after a Take wakes the main
// thread once; later posts only join the batch. At most LineCap lines and
// ByteCap bytes are held: lines beyond that are counted and dropped, so a main
// thread that falls behind never makes the hand-over grow.
class THandOver {
 public:
  enum TKind : uint8_t { hoObjInfo, hoPktData, hoPacketLine, hoKinds };
  struct TItem {
    TKind Kind;
    bool LogIt;  // a packet line that is logged whatever "LogAll" says
    std::string Text;
  };
  struct TBatch {
    std::vector<TItem> Items;
    int64_t Ticks = 0;
    int64_t Dropped[hoKinds] = {};
    int64_t DroppedLogIt = 0;  // packet lines among the dropped that had LogIt
  };
  static constexpr size_t LineCap = 16384;
  static constexpr size_t ByteCap = size_t(8) << 20;

  // `wake` asks the main thread to Take and says whether it could (there may
  // be no event loop yet); it is called without the lock held.
  explicit THandOver(std::function<bool()> wake);

  void Post(TKind kind, std::string text, bool logIt = false);
  void Tick(int64_t n = 1);
  TBatch Take();
  size_t HeldBytes() const;

 private:
  bool NeedsWake();  // under the lock
  void Wake();

  std::function<bool()> FWake;
  mutable std::mutex FLock;
  TBatch FBatch;
  size_t FBytes = 0;
  bool FWakePending = false;
};
