// Helpers shared by the socket tests: pumping the calling thread's messages
// until a condition holds (bounded, so a broken test fails instead of hanging).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Messages.h"
#include "tests/common/Loopback.h"
#include "sockets/WSocket.h"

inline bool PumpUntil(const std::function<bool()>& done, int maxMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    ProcessMessages();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Pumps for a while so that anything queued is delivered.
inline void PumpFor(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

namespace sockettest {

// A plain blocking socket for the other end of a test.
struct PlainSocket {
  int fd = -1;
  explicit PlainSocket(int type) { fd = ::socket(AF_INET, type, 0); }
  ~PlainSocket() {
    if (fd >= 0) ::close(fd);
  }
  void SendTo(int port, const std::string& s) {
    sockaddr_in a = Loopback(port);
    ::sendto(fd, s.data(), s.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  bool Connect(int port) {
    sockaddr_in a = Loopback(port);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  void Send(const std::string& s) { ::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }
  int Bind(int port) {
    sockaddr_in a = Loopback(port);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  }
};

// A port that nobody listens on right now.
inline int FreePort() {
  PlainSocket s(SOCK_STREAM);
  return s.Bind(0);
}

// Ends the socket's connection with a reset, as a peer that aborts does.
inline void ResetConnection(TWSocket& s) {
  const int fd = ::dup(s.HSocket());
  s.Abort();
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

inline std::string StateLog(const std::vector<std::pair<TSocketState, TSocketState>>& v) {
  std::string out;
  for (auto& p : v) out += SocketStateName(p.first) + ">" + SocketStateName(p.second) + " ";
  return out;
}

inline std::unique_ptr<TWSocket> UdpListener(const std::string& port) {
  auto s = std::make_unique<TWSocket>(nullptr);
  s->SetProto("udp");
  s->SetAddr("127.0.0.1");
  s->SetPort(port);
  return s;
}

// A TCP server on a loopback port, a client connected to it and the accepted end.
struct TcpPair {
  std::unique_ptr<TWSocket> server = std::make_unique<TWSocket>(nullptr);
  std::unique_ptr<TWSocket> accepted = std::make_unique<TWSocket>(nullptr);
  std::unique_ptr<TWSocket> client = std::make_unique<TWSocket>(nullptr);
  int port = 0;
  std::vector<std::pair<TSocketState, TSocketState>> clientStates;
  std::vector<int> connected;

  void Listen() {
    server->SetAddr("127.0.0.1");
    server->SetPort("0");
    server->SetProto("tcp");
    server->OnSessionAvailable = [this](TObject*, uint16_t) { accepted->Dup(server->Accept()); };
    server->Listen();
    port = std::stoi(server->GetBoundPort());
  }
  bool Connect() {
    Listen();
    client->OnChangeState = [this](TObject*, TSocketState o, TSocketState n) { clientStates.emplace_back(o, n); };
    client->OnSessionConnected = [this](TObject*, uint16_t e) { connected.push_back(e); };
    client->SetAddr("127.0.0.1");
    client->SetPort(std::to_string(port));
    client->Connect();
    return PumpUntil([&] { return accepted->State() == wsConnected && !connected.empty(); });
  }
};

}  // namespace sockettest
using namespace sockettest;
