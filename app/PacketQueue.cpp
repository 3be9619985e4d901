// The packet-line ring with its drop count and report, and the batched hand-over of logs and
// ticks to the main thread.
#include "app/PacketQueue.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <utility>

TPacketQueue::TPacketQueue() : FSlots(QueSize) {}

void TPacketQueue::QueLoad(const std::string& line) {
  std::lock_guard<std::mutex> guard(FLock);
  ++FLoaded;
  const int next = FWrite + 1 > QueHigh() ? 0 : FWrite + 1;
  if (next != FRead) {
    FSlots[FWrite].assign(line.data(), line.size());  // own copy, no shared buffer
    FWrite = next;
  } else
    ++FDropped;
  if (FPending < PendingCap) ++FPending;
}

bool TPacketQueue::Take(std::string& line) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FRead == FWrite) {
    // Lines dropped on overflow are counted but never stored: an empty
    // ring has no backlog, whatever the counter says.
    FPending = 0;
    return false;
  }
  line = std::move(FSlots[FRead]);
  FSlots[FRead].clear();
  FRead = FRead + 1 > QueHigh() ? 0 : FRead + 1;
  if (FPending > 0) --FPending;
  ++FTaken;
  return true;
}

void TPacketQueue::QueUnload(const std::function<void(const std::string&)>& process,
                             const std::function<void(const std::string&)>& onError) {
  std::string line;
  if (!Take(line) || line.empty()) return;
  try {
    process(line);
  } catch (const std::exception& e) {
    if (onError) onError(e.what());
  } catch (...) {
    if (onError) onError("unknown exception");
  }
}

int64_t TPacketQueue::LastQueued() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FTaken + (FWrite - FRead + QueSize) % QueSize;
}

int64_t TPacketQueue::Dropped() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FDropped;
}

std::string TPacketQueue::MakeDropReport(int64_t dropped, int64_t nowNs) {
  std::string text = "Packet lines dropped, queue full: " + std::to_string(dropped - FDropsReported) + " (" +
                     std::to_string(dropped) + " since start)";
  FDropsReported = dropped;
  FLastDropReport = nowNs;
  FDropReportMade = true;
  return text;
}

std::string TPacketQueue::DropReport(int64_t nowNs) {
  const int64_t dropped = Dropped();
  if (dropped == FDropsReported || (FDropReportMade && nowNs - FLastDropReport < DropReportInterval))
    return std::string();
  return MakeDropReport(dropped, nowNs);
}

void TPacketQueue::CountNotLine() {
  std::lock_guard<std::mutex> guard(FLock);
  ++FNotLines;
}

int64_t TPacketQueue::NotLines() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FNotLines;
}

std::vector<std::string> TPacketQueue::CloseReport() {
  int64_t left = 0, loaded, taken, dropped, notLines;
  {
    std::lock_guard<std::mutex> guard(FLock);
    for (; FRead != FWrite; FRead = FRead + 1 > QueHigh() ? 0 : FRead + 1, ++left) FSlots[FRead].clear();
    FPending = 0;
    FLeftAtClose += left;
    loaded = FLoaded;
    taken = FTaken;
    dropped = FDropped;
    notLines = FNotLines;
  }
  std::vector<std::string> lines;
  if (dropped != FDropsReported) lines.push_back(MakeDropReport(dropped, FLastDropReport));
  lines.push_back("Packet lines not processed at close: " + std::to_string(left) + " left in the queue");
  lines.push_back("Packet lines since start: " + std::to_string(loaded) + " received, " + std::to_string(taken) +
                  " processed, " + std::to_string(dropped) + " dropped (queue full), " + std::to_string(FLeftAtClose) +
                  " not processed at close, " + std::to_string(notLines) + " pieces not 11 fields");
  return lines;
}

std::string TPacketQueue::DropReport() {
  return DropReport(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

int64_t TPacketQueue::Loaded() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLoaded;
}

int64_t TPacketQueue::Taken() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FTaken;
}

int TPacketQueue::QuePending() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FPending;
}

int TPacketQueue::QueWriteIndex() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FWrite;
}

int TPacketQueue::QueReadIndex() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FRead;
}

int TPacketQueue::DrainCount(int pending) {
  const float share = static_cast<float>(pending) / 45.0f;
  const int n = static_cast<int>(std::nearbyint(share));
  return n < 1 ? 1 : n;
}

TPacketQueue& PacketQueue() {
  static TPacketQueue queue;
  return queue;
}

void QueLoad(const std::string& line) { PacketQueue().QueLoad(line); }

THandOver::THandOver(std::function<bool()> wake) : FWake(std::move(wake)) {}

bool THandOver::NeedsWake() {
  if (FWakePending) return false;
  FWakePending = true;
  return true;
}

void THandOver::Wake() {
  if (FWake && FWake()) return;
  // Nobody to wake yet: the next post tries again.
  std::lock_guard<std::mutex> guard(FLock);
  FWakePending = false;
}

void THandOver::Post(TKind kind, std::string text, bool logIt) {
  bool wake;
  {
    std::lock_guard<std::mutex> guard(FLock);
    const size_t bytes = text.size() + sizeof(TItem);
    if (FBatch.Items.size() >= LineCap || FBytes + bytes > ByteCap) {
      ++FBatch.Dropped[kind];
      if (logIt) ++FBatch.DroppedLogIt;
    } else {
      FBatch.Items.push_back(TItem{kind, logIt, std::move(text)});
      FBytes += bytes;
    }
    if (kind == hoPacketLine) ++FBatch.Ticks;
    wake = NeedsWake();
  }
  if (wake) Wake();
}

void THandOver::Tick(int64_t n) {
  bool wake;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FBatch.Ticks += n;
    wake = NeedsWake();
  }
  if (wake) Wake();
}

THandOver::TBatch THandOver::Take() {
  std::lock_guard<std::mutex> guard(FLock);
  TBatch batch = std::move(FBatch);
  FBatch = TBatch();
  FBytes = 0;
  FWakePending = false;
  return batch;
}

size_t THandOver::HeldBytes() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FBytes;
}
