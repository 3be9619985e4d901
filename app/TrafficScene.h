// Traffic into scene objects: packet processing (cubes and pipes), host cube
// creation and placement, lifetime and bandwidth checks, and the main window's
// test commands. Main thread only. Works without a GL context.
#pragma once

#include "app/Bandwidth.h"
#include "app/HostProfiles.h"
#include "app/InfoLines.h"
#include "app/PacketParse.h"
#include "rtl/System.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <string>
#include <utility>
#include <vector>

class TBitmap;
class TGLBaseSceneObject;
class TGLDummyCube;
class TGLTexture;
class TViewHost;
class SnifferObject;
class MyCylinder;

// Pointers by 64-bit keys in open addressing, at most half full: a probe, a
// miss included, mostly reads one cache line. A key and the key with its two
// 32-bit halves swapped start at the same slot, so both directions of a
// conversation are found with one probe sequence.
template <class T>
class TPointerTable {
 public:
  T* Find(uint64_t key) const {
    uint64_t matched;
    return FindEither(key, key, matched);
  }
  // The entry of `a` or of `b` (the first of the run), and which key it has.
  T* FindEither(uint64_t a, uint64_t b, uint64_t& matched) const {
    if (FSlots.empty()) return nullptr;
    const size_t mask = FSlots.size() - 1;
    for (size_t i = Home(a);; i = (i + 1) & mask) {
      const TSlot& s = FSlots[i];
      if (!s.Value) return nullptr;
      if (s.Key == a || s.Key == b) {
        matched = s.Key;
        return s.Value;
      }
    }
  }
  void Insert(uint64_t key, T* value)  // a key not held yet
  {
    if ((FCount + 1) * 2 > FSlots.size()) Rehash(std::max<size_t>(64, FSlots.size() * 2));
    Place(key, value);
  }
  // False when the key was not held.
  bool Erase(uint64_t key) {
    if (FSlots.empty()) return false;
    const size_t mask = FSlots.size() - 1;
    size_t i = Home(key);
    for (; FSlots[i].Key != key || !FSlots[i].Value; i = (i + 1) & mask)
      if (!FSlots[i].Value) return false;
    // Later entries of the run that may not stay behind the gap move into it.
    for (size_t j = (i + 1) & mask; FSlots[j].Value; j = (j + 1) & mask) {
      const size_t k = Home(FSlots[j].Key);
      const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
      if (!stays) {
        FSlots[i] = FSlots[j];
        i = j;
      }
    }
    FSlots[i] = TSlot{};
    --FCount;
    return true;
  }
  // Keeps the entries for which keep(key, value) is true, in one pass.
  template <class F>
  void KeepIf(F keep) {
    std::vector<TSlot> old;
    old.swap(FSlots);
    FSlots.resize(old.size());
    FCount = 0;
    for (const TSlot& s : old)
      if (s.Value && keep(s.Key, s.Value)) Place(s.Key, s.Value);
  }
  size_t Count() const { return FCount; }
  // Starts reading the slot where a search for `key` begins.
  void Prefetch(uint64_t key) const {
    if (!FSlots.empty()) __builtin_prefetch(&FSlots[Home(key)]);
  }

 private:
  struct TSlot {
    uint64_t Key = 0;
    T* Value = nullptr;  // nullptr: free
  };
  size_t Home(uint64_t key) const {
    const uint32_t a = uint32_t(key >> 32), b = uint32_t(key);
    const uint64_t sym = a < b ? (uint64_t(b) << 32 | a) : key;
    return size_t((sym * 0x9E3779B97F4A7C15ull) >> 32) & (FSlots.size() - 1);
  }
  void Place(uint64_t key, T* value) {
    const size_t mask = FSlots.size() - 1;
    size_t i = Home(key);
    while (FSlots[i].Value) i = (i + 1) & mask;
    FSlots[i] = TSlot{key, value};
    ++FCount;
  }
  void Rehash(size_t size) {
    std::vector<TSlot> old(size);
    old.swap(FSlots);
    FCount = 0;
    for (const TSlot& s : old)
      if (s.Value) Place(s.Key, s.Value);
  }

  std::vector<TSlot> FSlots;
  size_t FCount = 0;
};

// Pipes by the address numbers of their ends, (source << 32) | destination.
using TPipeTable = TPointerTable<MyCylinder>;

// Cubes by address number, for address texts in plain dotted form (four
// decimal numbers up to 255, no leading zeros): what FindCubeForIP found for
// that text, so a packet finds each cube with one probe. An entry goes when a
// cube is made that FindCubeForIP could find first for its address, and when
// its cube is freed (the cubes it held point back to it until the traffic
// scene goes).
class TCubeCache {
 public:
  TCubeCache() = default;
  TCubeCache(const TCubeCache&) = delete;
  TCubeCache& operator=(const TCubeCache&) = delete;

  SnifferObject* Find(uint32_t address) const { return FTable.Find(address); }
  void Insert(uint32_t address, SnifferObject* cube);
  void EraseAddress(uint32_t address);
  void EraseBlock(uint32_t address);  // the 256 addresses of its /24 block
  // Drops the entries of cubes whose Cache was cleared (about to be freed).
  void Sweep();
  // A cube is freed: its entries go.
  void Forget(SnifferObject* cube);
  size_t Count() const { return FTable.Count(); }

  // The number of a plain dotted address text; false for any other text.
  static bool PlainAddress(const std::string& text, uint32_t& address);

 private:
  TPointerTable<SnifferObject> FTable;
  // Entries per /24 block (address >> 8), blocks without any left out: a new
  // cube's block is mostly empty, and is then not searched address by address.
  std::unordered_map<uint32_t, uint32_t> FBlockCounts;
  void Counted(uint32_t address, bool erased);
};

class TTrafficScene {
 public:
  // `pcs`, `groups` and `connections` are the dummy cubes that hold the
  // cubes and pipes; they outlive this object.
  TTrafficScene(TGLDummyCube* pcs, TGLDummyCube* groups, TGLDummyCube* connections);
  ~TTrafficScene();
  TTrafficScene(const TTrafficScene&) = delete;
  TTrafficScene& operator=(const TTrafficScene&) = delete;

  TViewHost* Host = nullptr;
  std::function<int64_t()> Now;  // performance counter
  int64_t PerfFrequency = 1000000000;

  // Pipe settings.
  float ArpPipeRadius = 0.2f;
  float IcmpPipeRadius = 0.2f;
  float IpPipeRadius = 0.09f;
  float MaxPipeRadius = 0.45f;
  float PipeTurnAngle = 0.5f;
  int StallSeconds = 5;

  THostProfiles& Profiles() { return FProfiles; }
  void LoadPCinfoToArry();  // from "SnifferPCsInfo.ini" of the program folder

  void ProcessPacket(const PKTinfo& info);
  // Parses and processes one queued line (the queue's per-line step).
  // `queueNumber` is the line's number in its queue (the count of lines taken
  // out with it, see TPacketQueue::Taken), which tells whether it was queued
  // before a "Clear"; 0 for a line from no queue.
  void ProcessLine(const std::string& line, int64_t queueNumber = 0);

  SnifferObject* FindCubeForIP(const std::string& ip);
  // The same cube, found with one probe for a plain dotted address seen before.
  SnifferObject* FindCube(const std::string& ip);
  SnifferObject* GetOrCreateCube(const OBJinfo_Rec& info, bool& existed);
  // The pipe of the two addresses in either direction; `forward` tells
  // whether it was made from a to b.
  MyCylinder* FindPipe(uint32_t a, uint32_t b) const;
  MyCylinder* FindPipe(uint32_t a, uint32_t b, bool& forward) const;
  const TCubeCache& CubeCache() const { return FCubes; }

  // Gives the cube the label picture "Images/<text>.bmp", drawn and saved
  // there when missing; kept in memory when "Images" cannot be written.
  void MakeTextTexture(SnifferObject* cube, const std::string& text, uint32_t colour);
  // Shows the cube's picture: "Images/" + its Texture, or the label of that
  // name kept in memory. False when there is neither.
  bool LoadFace(SnifferObject* cube);
  // Asks the profiles to keep the cube's place for the addresses it stands
  // for (its own, its /24 block, or its group's range; see
  // THostProfiles::KeepPlace), so that it comes back there, in this session
  // and after a restart, and no other cube moves. Logs where the place went,
  // or why it was not kept.
  void SaveObjectPosition(SnifferObject* cube);
  void SaveSelectedObject();

  // The 500 ms check: bandwidth, expiry, counts, chart, removal.
  void Timer_ChkLifeTimer();
  void RemoveOldObjects(TGLBaseSceneObject* parent, TClass cls);
  // "Clear": every cube gets a second to live, until its next packet gives
  // it the Time To Live again. Told in the event log while IgnoreTimeOut
  // keeps every cube. Lines queued before the click (queue numbers up to
  // `lastQueuedBefore`, see ProcessLine) keep a cube only by that second: a
  // backlog of old traffic does not undo the Clear.
  void ExpireAllCubes(int64_t lastQueuedBefore = 0);
  // Lines up to `lastQueuedBefore` were queued after the last Clear but
  // received before it (they waited at the socket): older traffic as well.
  void ExtendClear(int64_t lastQueuedBefore) { FClearedUpTo = std::max(FClearedUpTo, lastQueuedBefore); }
  TChartRing& Chart() { return FChart; }

  void AddProfileCubes();
  void CreateCubesByIPs(const std::string& startIP, const std::string& count, const std::string& steps);
  // Called after each cube of a test layout (the window pumps messages there).
  std::function<void()> OnLayoutStep;
  // Called when the scene has emptied after many objects went (at most once
  // per kManyFreedForRenewal freed objects). The view then makes its GL
  // context anew: the software driver keeps what the last crowded frames
  // drew with (deleted textures included) for as long as the context lives.
  std::function<void()> OnEmptiedAfterMassExpiry;
  static constexpr int kManyFreedForRenewal = 500;

  // The cube was moved (dragged): each of its pipes ends at its two cubes again.
  void CubeMoved(SnifferObject* cube);
  // Stretches the pipe between its two cubes: place, direction, length and
  // the label's repeat along it. A pipe with an end gone stays as it is.
  static void AlignPipe(MyCylinder* pipe);

  TGLBaseSceneObject* SelectedObject = nullptr;
  TGLDummyCube* PCs() const { return FPCs; }
  TGLDummyCube* Groups() const { return FGroups; }
  TGLDummyCube* Connections() const { return FConnections; }
  // Face pictures kept from "Images" (shown or not yet dropped).
  size_t FaceCount() const { return FFaces.size(); }

  // The "Images" folder of the program (found case-insensitively, made when missing).
  static std::string ImagesDir();

 private:
  void GiveBackFreedMemory();
  // The packet's cubes and pipe are made or charged at its one time `now`.
  MyCylinder* CreatePipe(const PKTinfo& info, SnifferObject* src, SnifferObject* dst, int64_t now);
  SnifferObject* GetOrCreateCube(const OBJinfo_Rec& info, bool& existed, int64_t now);
  void GrowPipe(MyCylinder* pipe, const PKTinfo& info, const TInfoLine& infoLine, int64_t now);

  TGLDummyCube* FPCs;
  TGLDummyCube* FGroups;
  TGLDummyCube* FConnections;
  THostProfiles FProfiles;
  TChartRing FChart;
  SnifferObject* CreateCube(const OBJinfo_Rec& info, int64_t now);
  // The cube FindCube found for the address before (nothing looked up by
  // name, nothing changed), its memory on its way to the cache; or nullptr.
  SnifferObject* PrefetchCube(const std::string& ip) const;
  // A found cube's share of a packet: seen at `now`, its bytes added.
  SnifferObject* Charge(SnifferObject* cube, int32_t length, int64_t now);

  // Pipes by the address numbers of their ends (source, destination), and back.
  TPipeTable FPipes;
  TCubeCache FCubes;
  std::unordered_map<const TGLBaseSceneObject*, uint64_t> FPipeKeys;
  // Labels that could not be saved in "Images", by file name (at most
  // MaxKeptLabels; the names come from the profile and computer-name files).
  static constexpr size_t MaxKeptLabels = 1024;
  std::unordered_map<std::string, std::unique_ptr<TBitmap>> FKeptLabels;
  // Face pictures read from "Images", by path and the file's time and size:
  // the cubes showing one file share its texture. Those no cube shows any
  // more go when the count has doubled since the last sweep.
  std::unordered_map<std::string, std::shared_ptr<TGLTexture>> FFaces;
  size_t FFacesAfterSweep = 0;
  std::shared_ptr<TGLTexture> FaceFromFile(const std::string& path);
  // The faces no cube shows any more go (also when a mass expiry empties the scene).
  void DropUnusedFaces();
  // Cubes given a second to live by ExpireAllCubes and not charged since
  // by a line queued after it.
  std::unordered_set<const SnifferObject*> FClearedCubes;
  // The queue number of the last line queued before the last Clear, and of
  // the line being processed (0: none, from no queue).
  int64_t FClearedUpTo = 0;
  int64_t FLineNumber = 0;
  bool QueuedBeforeClear() const { return FLineNumber != 0 && FLineNumber <= FClearedUpTo; }
  // The pipes ending at one cube (CubeMoved), found by one pass over the
  // pipes and kept while no pipe is made or given new ends and nothing is
  // freed (FPipeChanges counts those).
  uint64_t FPipeChanges = 0;
  const SnifferObject* FEndsOf = nullptr;
  uint64_t FEndsFound = ~uint64_t(0);
  std::vector<MyCylinder*> FEnds;
  int FFreedSinceTrim = 0;
  int FFreedSinceRenewal = 0;
  bool FTrimDue = false;
};

bool NameStartsWith(const std::string& name, const char* prefix);
