// What the parts of the socket layer share inside sockets/: the state of one asynchronous name
// lookup and small helpers for messages, logs and error codes.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sockets/WSocket.h"

// One asynchronous name lookup; a worker fills it and posts the answer.
struct TDnsRequest {
  std::vector<std::string> Results;
  int Error = 0;
  std::atomic<bool> Cancelled{false};
};

namespace wsocket_detail {

inline std::string Hex8(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

inline uint16_t LoWord(LPARAM l) { return static_cast<uint16_t>(static_cast<uint32_t>(l) & 0xFFFF); }
inline uint16_t HiWord(LPARAM l) { return static_cast<uint16_t>((static_cast<uint32_t>(l) >> 16) & 0xFFFF); }

inline bool IsConnectionGone(int code) {
  return code == WSAECONNRESET || code == WSAENOTSOCK || code == WSAENOTCONN || code == WSAEINVAL ||
         code == WSAECONNABORTED;
}

// Every IPv4 address of host through the resolver in use (the system's, or the one a test set).
THostLookup CurrentHostLookup();

}  // namespace wsocket_detail
