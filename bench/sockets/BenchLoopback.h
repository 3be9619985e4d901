// A plain TCP listener on the loopback address, for the socket benchmarks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "tests/common/Loopback.h"

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
