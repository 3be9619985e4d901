// The loopback address the socket benchmarks send to and listen on, and a plain listener there.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// 127.0.0.1 at `port` (0: any free port, for bind).
inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A plain TCP listener on a free loopback port, closed when it goes.
struct LoopbackListener {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  LoopbackListener() {
    sockaddr_in a = Loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~LoopbackListener() { ::close(fd); }
};
