// A SOCKS 4, 4A and 5 server (RFC 1928 with the user-name method of RFC 1929)
// for tests: it listens on 127.0.0.1, relays only to loopback destinations, and
// can be told to misbehave (another method, a failure code, extra bytes).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TSocksServerOptions {
  bool RequireAuth = false;  // level 5: demand the user-name method
  std::string User;
  std::string Pass;
  int ForceMethod = -1;     // answer this method to a greeting
  int ForceReplyCode = -1;  // answer this code to a request (level 4 or 5)
  std::string AfterReply;   // bytes sent in the same write as the success reply
  // Hangs up after sending only HangUpBytes of one reply: 1 the method reply
  // (level 5), 2 the authentication reply, 3 the reply to the request; 0 never.
  int HangUpAt = 0;
  int HangUpBytes = 0;
  bool HangUpWithReset = false;  // the hang-up resets the connection
  int ReplyAddressType = 1;      // level 5: the bound address of the reply as type 1, 3 or 4
};

struct TSocksRequestSeen {
  int Version = 0;   // 4 or 5
  std::string Host;  // level 5 domain name or level 4A host
  uint32_t Ip = 0;   // level 4 address, network order
  int Port = 0;
  std::string User;
  std::string Pass;
  std::string Raw;  // the request bytes as received
};

class TSocksTestServer {
 public:
  explicit TSocksTestServer(TSocksServerOptions options, int port = 0);
  ~TSocksTestServer();
  TSocksTestServer(const TSocksTestServer&) = delete;
  TSocksTestServer& operator=(const TSocksTestServer&) = delete;

  int Port() const { return port_; }
  TSocksRequestSeen LastRequest();
  int Connections() const { return connections_; }
  void Stop();

 private:
  void AcceptLoop();
  void Serve(int fd);

  TSocksServerOptions options_;
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::vector<std::thread> workers_;
  TSocksRequestSeen last_;
};
