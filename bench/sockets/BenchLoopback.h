// The loopback address the socket benchmarks send to and listen on.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

// 127.0.0.1 at `port` (0: any free port, for bind).
inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}
