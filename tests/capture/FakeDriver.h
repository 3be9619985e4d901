// A scriptable capture driver for tests: layouts, failures, missing entry
// points and read blocks are set up by the test; every call is counted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "capture/Packet32.h"
#include "capture/bpf.h"

struct TFakeRead {
  bool Fail = false;
  bool Throw = false;  // the driver call raises (a broken driver)
  int Errno = 0;       // left in errno by a failing read
  std::vector<uint8_t> Block;
};

struct TFakeDriver {
  bool Present = true;            // false: the library cannot be loaded
  std::set<std::string> Missing;  // entry points the library lacks
  std::string Version = "4.1.3";
  std::string DriverVersion = "Fake driver 1.0";

  std::vector<uint8_t> NameBuffer;  // copied into the caller's buffer when it fits
  bool NamesFail = false;
  size_t NamesGrow = 0;                  // the list grows by this many bytes a call,
  size_t NamesGrowCalls = 0;             // during this many calls
  std::vector<uint32_t> NameSizesAsked;  // buffer sizes of the name queries

  std::vector<uint8_t> AddrBuffer;  // copied into the caller's buffer
  int32_t AddrCount = 0;            // written back as the entry count
  bool AddrFail = false;
  std::string AddrAdapter;  // adapter name of the last address query

  std::set<std::string> Adapters = {"fake0"};
  std::string FailStep;  // entry point that fails: "PacketSetHwFilter", ...
  uint8_t Mac[6] = {0x00, 0x0C, 0x29, 0x4F, 0xA1, 0x0B};
  int32_t SnapLenResult = -1;      // -1: echo the request
  std::atomic<uint32_t> Drops{0};  // the driver's drop count (wraps like a real one)

  // Observations.
  uint32_t HwFilter = 0;
  int32_t KernelBuffer = 0;
  int32_t SnapLenAsked = 0;
  int32_t ReadTimeout = 0;
  int Loads = 0, Unloads = 0;
  int Opens = 0, Closes = 0;
  int PacketsAllocated = 0, PacketsFreed = 0;
  int Receives = 0;

  // Reads: scripted results first; with none left a read waits for the read
  // time-out (or a new script entry) and returns an empty block.
  std::mutex Lock;
  std::condition_variable Changed;
  std::deque<TFakeRead> Reads;

  void PushBlock(std::vector<uint8_t> block);
  void PushFailure(int Errno = 0);
  void PushThrow();
};

TFakeDriver& Fake();

// Resets the fake and makes it the driver; RemoveFakeDriver restores the real one.
void InstallFakeDriver();
void RemoveFakeDriver();
