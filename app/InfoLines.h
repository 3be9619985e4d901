// The info lines of a cube or pipe: the packet lines it saw last. A packet's
// line is made once and shared by the source cube and the pipe that keep it;
// each list drops its oldest lines beyond a count and a byte bound.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

// One info line: immutable text in one block with its reference count.
// Main thread only (the count is not atomic).
class TInfoLine {
 public:
  TInfoLine() = default;
  explicit TInfoLine(std::string_view text) {
    char* to = Allocate(text.size());
    if (!text.empty()) std::memcpy(to, text.data(), text.size());
  }
  // `size` bytes written by fill(char* text).
  template <class F>
  TInfoLine(size_t size, F&& fill) {
    fill(Allocate(size));
  }
  TInfoLine(const TInfoLine& other) noexcept : FRep(other.FRep) {
    if (FRep) ++FRep->Refs;
  }
  TInfoLine(TInfoLine&& other) noexcept : FRep(std::exchange(other.FRep, nullptr)) {}
  TInfoLine& operator=(TInfoLine other) noexcept {
    std::swap(FRep, other.FRep);
    return *this;
  }
  // Assignment to a line known to be empty: its old value is not read, so
  // memory not in the cache yet is written without waiting for it.
  void AssignToEmpty(const TInfoLine& other) noexcept {
    FRep = other.FRep;
    if (FRep) ++FRep->Refs;
  }
  ~TInfoLine() {
    if (FRep && --FRep->Refs == 0) std::free(FRep);
  }

  std::string_view View() const {
    return FRep ? std::string_view(reinterpret_cast<const char*>(FRep + 1), FRep->Size) : std::string_view();
  }
  size_t Size() const { return FRep ? FRep->Size : 0; }
  // How many lines share this text (0 for an empty line).
  size_t UseCount() const { return FRep ? FRep->Refs : 0; }
  void Prefetch() const { __builtin_prefetch(FRep, 1); }

 private:
  struct TRep {
    size_t Refs;
    size_t Size;
  };
  char* Allocate(size_t size) {
    void* block = std::malloc(sizeof(TRep) + size);
    if (!block) throw std::bad_alloc();
    FRep = static_cast<TRep*>(block);
    FRep->Refs = 1;
    FRep->Size = size;
    return reinterpret_cast<char*>(FRep + 1);
  }
  TRep* FRep = nullptr;
};

// A ring of lines. Both ends are O(1); the ring grows with its lines up to
// the count bound, then a new line takes the oldest one's slot. Kept small
// (32 bytes), as every cube and pipe holds one beside its traffic totals.
class TInfoLines {
 public:
  TInfoLines(uint32_t maxLines, uint32_t maxBytes) : FMaxLines(std::max<uint32_t>(1, maxLines)), FMaxBytes(maxBytes) {}
  TInfoLines(const TInfoLines&) = delete;
  TInfoLines& operator=(const TInfoLines&) = delete;
  ~TInfoLines() { delete[] FSlots; }

  int Count() const { return static_cast<int>(FCount); }
  // Bytes of text held (without line ends).
  size_t Bytes() const { return FBytes; }
  size_t MaxLines() const { return FMaxLines; }
  size_t MaxBytes() const { return FMaxBytes; }

  std::string_view Strings(int index) const {
    if (index < 0 || static_cast<uint32_t>(index) >= FCount) throw std::out_of_range("TInfoLines::Strings");
    return FSlots[Slot(static_cast<uint32_t>(index))].View();
  }
  // Appends the line, then drops the oldest lines while more than the bounds
  // are held; the new line itself always stays.
  void Add(const TInfoLine& line) {
    if (FCount == FMaxLines) DeleteFirst();
    if (FCount == FCapacity) Grow();
    FSlots[Slot(FCount)].AssignToEmpty(line);  // slots past the last line are empty
    ++FCount;
    FBytes += line.Size();
    while (FBytes > FMaxBytes && FCount > 1) DeleteFirst();
  }
  void Add(std::string_view text) { Add(TInfoLine(text)); }
  void DeleteFirst() {
    if (FCount == 0) return;
    TInfoLine& first = FSlots[FHead];
    FBytes -= first.Size();
    first = TInfoLine();
    FHead = FHead + 1 == FCapacity ? 0 : FHead + 1;
    --FCount;
  }
  // Starts reading the slot the next line goes to and, when the ring is
  // full, the line it pushes out (that slot's).
  void PrefetchForAdd() const {
    if (FCount == FMaxLines)
      FSlots[FHead].Prefetch();
    else if (FCount < FCapacity)
      __builtin_prefetch(&FSlots[Slot(FCount)], 1);
  }
  // Every line followed by CR LF, as a string list gives its text.
  std::string Text() const {
    std::string text;
    text.reserve(FBytes + 2 * FCount);
    for (uint32_t i = 0; i < FCount; ++i) text.append(FSlots[Slot(i)].View()).append("\r\n");
    return text;
  }

 private:
  uint32_t Slot(uint32_t index) const {
    const uint32_t i = FHead + index;
    return i >= FCapacity ? i - FCapacity : i;
  }
  void Grow() {
    const uint32_t capacity = std::min(FMaxLines, std::max<uint32_t>(8, FCapacity * 2));
    auto* grown = new TInfoLine[capacity];
    for (uint32_t i = 0; i < FCount; ++i) grown[i] = std::move(FSlots[Slot(i)]);
    delete[] FSlots;
    FSlots = grown;
    FCapacity = capacity;
    FHead = 0;
  }

  TInfoLine* FSlots = nullptr;
  uint32_t FCapacity = 0;
  uint32_t FHead = 0;
  uint32_t FCount = 0;
  uint32_t FMaxLines;
  uint32_t FBytes = 0;
  uint32_t FMaxBytes;
};
