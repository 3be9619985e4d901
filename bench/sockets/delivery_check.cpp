// What reaches a peer and what a socket reports in a few delivery situations, printed as a table:
//   close right after a 4 MiB send to a peer that starts reading 300 ms later (also after Flush,
//   with wsLingerNoSet, and to a peer that never reads);
//   SOCKS servers that hang up during the negotiation;
//   a connect to a name that does not resolve;
//   line mode on datagrams from two senders, and a line longer than the line limit;
//   a datagram read into a buffer shorter than the datagram.
// Everything runs on loopback. Usage: bench_delivery_check
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BenchLoopback.h"
#include "platform/Messages.h"
#include "sockets/WSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

bool PumpUntil(const std::function<bool()>& done, int maxMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(maxMs);
  while (!done()) {
    if (Clock::now() > end) return false;
    ProcessMessages();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

void PumpFor(int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string Printable(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Close after a large send

enum class CloseKind { Plain, FlushFirst, LingerNoSet, NeverRead };

void CloseAfterSend(CloseKind kind) {
  LoopbackListener l;
  TWSocket c(nullptr);
  c.SetAddr("127.0.0.1");
  c.SetPort(std::to_string(l.port));
  if (kind == CloseKind::LingerNoSet) c.SetLingerOnOff(wsLingerNoSet);
  if (kind == CloseKind::NeverRead) c.SetFlushTimeout(1);
  bool connected = false;
  int closedCode = -1;
  c.OnSessionConnected = [&](TObject*, uint16_t) { connected = true; };
  c.OnSessionClosed = [&](TObject*, uint16_t e) { closedCode = e; };
  c.Connect();
  const int peer = ::accept(l.fd, nullptr, nullptr);
  PumpUntil([&] { return connected; }, 5000);

  std::atomic<long> atPeer{0};
  std::atomic<bool> reset{false}, ended{false};
  std::thread reader([&] {
    if (kind == CloseKind::NeverRead) {
      // Reads only once the sender has given up, to see how the connection ended.
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    char buf[65536];
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < end) {
      pollfd p{peer, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(peer, buf, sizeof buf, 0);
      if (n > 0) {
        atPeer += n;
        continue;
      }
      if (n < 0 && errno == ECONNRESET) reset = true;
      ended = n == 0;
      return;
    }
  });

  const std::string data(4 << 20, 'd');
  const int sent = c.Send(data.data(), static_cast<int>(data.size()));
  const auto t0 = Clock::now();
  if (kind == CloseKind::FlushFirst) c.Flush();
  c.Close();
  const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
  const int lastError = c.LastError();
  reader.join();
  ::close(peer);
  static const char* const names[] = {"Send, Close", "Send, Flush, Close", "Send, Close (wsLingerNoSet)",
                                      "Send, Close, peer never reads (FlushTimeout 1)"};
  std::printf("  %-46s Send=%d  at peer=%ld  peer saw %s  OnSessionClosed(%d)  LastError=%d  close took %ld ms\n",
              names[static_cast<int>(kind)], sent, atPeer.load(),
              reset   ? "ECONNRESET"
              : ended ? "end of stream (FIN)"
                      : "nothing",
              closedCode, lastError, ms);
}

// ---------------------------------------------------------------------------
// SOCKS servers that hang up

// Level "5g": hangs up after `bytes` of the method reply; "5r": after the
// method reply and `bytes` of the request's reply; "4": after `bytes` of the reply.
void SocksHangUp(const std::string& level, int bytes) {
  LoopbackListener l;
  std::thread server([&] {
    const int fd = ::accept(l.fd, nullptr, nullptr);
    char buf[512];
    auto readSome = [&] {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 3000) > 0) return ::recv(fd, buf, sizeof buf, 0);
      return ssize_t{0};
    };
    readSome();  // greeting (level 5) or request (level 4)
    std::string reply;
    if (level == "5g") {
      reply = std::string("\x05\x00", 2);
    } else if (level == "5r") {
      ::send(fd, "\x05\x00", 2, MSG_NOSIGNAL);
      readSome();
      reply = std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10);
    } else {
      reply = std::string("\x00\x5a\x00\x50\x7f\x00\x00\x01", 8);
    }
    if (bytes > 0) ::send(fd, reply.data(), static_cast<size_t>(bytes), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::close(fd);
  });
  TWSocket c(nullptr);
  c.SetSocksServer("127.0.0.1");
  c.SetSocksPort(std::to_string(l.port));
  c.SetSocksLevel(level == "4" ? "4" : "5");
  c.SetAddr("127.0.0.1");
  c.SetPort("80");
  std::string events;
  c.OnSocksConnected = [&](TObject*, uint16_t e) { events += "SocksConnected(" + std::to_string(e) + ") "; };
  c.OnSocksError = [&](TObject*, int e, const std::string& m) {
    events += "SocksError(" + std::to_string(e) + ",\"" + m + "\") ";
  };
  c.OnSessionConnected = [&](TObject*, uint16_t e) { events += "SessionConnected(" + std::to_string(e) + ") "; };
  c.OnSessionClosed = [&](TObject*, uint16_t e) { events += "SessionClosed(" + std::to_string(e) + ") "; };
  c.Connect();
  PumpUntil([&] { return c.State() == wsClosed; }, 3000);
  PumpFor(50);
  server.join();
  const std::string what = level == "5g"   ? "level 5, method reply"
                           : level == "5r" ? "level 5, request reply"
                                           : "level 4, reply";
  std::printf("  %-24s %d byte(s), then hang-up: %s state %s\n", what.c_str(), bytes, events.c_str(),
              SocketStateName(c.State()).c_str());
}

// ---------------------------------------------------------------------------
// A name that does not resolve

void NameThatDoesNotResolve() {
  TWSocket c(nullptr);
  c.SetAddr("no-such-host.invalid");
  c.SetPort("80");
  int seen = -1;
  c.OnError = [&](TObject*) { seen = c.LastError(); };
  c.Connect();
  std::printf("  Connect to no-such-host.invalid: OnError with LastError=%d\n", seen);
}

// ---------------------------------------------------------------------------
// Line mode

std::string LineList(const std::vector<std::string>& lines, bool lengths) {
  std::string out;
  for (const std::string& s : lines)
    out += lengths ? "[" + std::to_string(s.size()) + " bytes: " + Printable(s.substr(0, 4)) + "...] "
                   : "\"" + Printable(s) + "\" ";
  return out;
}

void UdpLinesFromTwoSenders() {
  TWSocket s(nullptr);
  s.SetProto("udp");
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  s.SetLineMode(true);
  std::vector<std::string> lines;
  s.OnDataAvailable = [&](TObject*, uint16_t) {
    const std::string line = s.ReceiveAsString();
    if (!line.empty()) lines.push_back(line);
  };
  s.Listen();
  const int port = std::stoi(s.GetBoundPort());
  const sockaddr_in to = Loopback(port);
  const int a = ::socket(AF_INET, SOCK_DGRAM, 0), b = ::socket(AF_INET, SOCK_DGRAM, 0);
  const std::string fromA = "A-partial-no-line-end", fromB = "B-line-1\r\nB-line-2\r\n";
  ::sendto(a, fromA.data(), fromA.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  ::sendto(b, fromB.data(), fromB.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  PumpFor(200);
  ::close(a);
  ::close(b);
  std::printf("  UDP line mode, \"%s\" from A then \"%s\" from B: %s\n", Printable(fromA).c_str(),
              Printable(fromB).c_str(), LineList(lines, false).c_str());
}

void LineLongerThanTheLimit() {
  LoopbackListener l;
  TWSocket c(nullptr);
  c.SetAddr("127.0.0.1");
  c.SetPort(std::to_string(l.port));
  c.SetLineMode(true);
  c.SetLineLimit(1000);
  std::vector<std::string> lines;
  std::vector<int> exceeded;
  c.OnDataAvailable = [&](TObject*, uint16_t) {
    const std::string line = c.ReceiveAsString();
    if (!line.empty()) lines.push_back(line);
  };
  c.OnLineLimitExceeded = [&](TObject*, int n, bool&) { exceeded.push_back(n); };
  c.Connect();
  const int peer = ::accept(l.fd, nullptr, nullptr);
  PumpUntil([&] { return c.State() == wsConnected; }, 5000);
  const std::string text = "first\r\n" + std::string(1500, 'x') + "\r\nnext\r\n";
  ::send(peer, text.data(), text.size(), MSG_NOSIGNAL);
  PumpFor(200);
  ::close(peer);
  std::string limits;
  for (int n : exceeded) limits += std::to_string(n) + " ";
  std::printf(
      "  TCP line mode, LineLimit 1000, \"first\\r\\n\" + 1500-byte line + \"next\\r\\n\": "
      "OnLineLimitExceeded at %sbytes; lines %s\n",
      limits.c_str(), LineList(lines, true).c_str());
}

// ---------------------------------------------------------------------------
// A datagram read into a short buffer

void ShortDatagramRead() {
  TWSocket s(nullptr);
  s.SetProto("udp");
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  int got = -2, lastError = -1;
  s.OnDataAvailable = [&](TObject*, uint16_t) {
    char buf[100];
    got = s.Receive(buf, sizeof buf);
    lastError = s.LastError();
  };
  s.Listen();
  const sockaddr_in to = Loopback(std::stoi(s.GetBoundPort()));
  const int a = ::socket(AF_INET, SOCK_DGRAM, 0);
  const std::string datagram(1000, 'u');
  ::sendto(a, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  PumpUntil([&] { return got != -2; }, 2000);
  ::close(a);
  std::printf("  Receive(buf, 100) on a 1000-byte datagram: returned %d, LastError=%d\n", got, lastError);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::printf("Close after a 4 MiB send, peer reading 300 ms later:\n");
  CloseAfterSend(CloseKind::Plain);
  CloseAfterSend(CloseKind::FlushFirst);
  CloseAfterSend(CloseKind::LingerNoSet);
  CloseAfterSend(CloseKind::NeverRead);
  std::printf("SOCKS servers that hang up during the negotiation:\n");
  for (int bytes : {0, 1}) SocksHangUp("5g", bytes);
  for (int bytes : {0, 1, 5}) SocksHangUp("5r", bytes);
  for (int bytes : {0, 1, 4}) SocksHangUp("4", bytes);
  std::printf("Name lookups:\n");
  NameThatDoesNotResolve();
  std::printf("Line mode:\n");
  UdpLinesFromTwoSenders();
  LineLongerThanTheLimit();
  std::printf("Datagram reads:\n");
  ShortDatagramRead();
  return 0;
}
