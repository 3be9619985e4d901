// Runs the test SOCKS server on 127.0.0.1 until it is interrupted.
//   socks-server [port] [user password]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "tools/socks-server/SocksServer.h"

namespace {
volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }
}  // namespace

int main(int argc, char** argv) {
  TSocksServerOptions options;
  const int port = argc > 1 ? std::atoi(argv[1]) : 1080;
  if (argc > 3) {
    options.RequireAuth = true;
    options.User = argv[2];
    options.Pass = argv[3];
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  TSocksTestServer server(options, port);
  if (server.Port() == 0) {
    std::fprintf(stderr, "socks-server: cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  std::printf("socks-server listening on 127.0.0.1:%d\n", server.Port());
  std::fflush(stdout);
  while (!gStop) ::pause();
  return 0;
}
