// The test SOCKS server: accepting clients, the level 4, 4A and 5 handshakes, loopback relaying and
// the scripted misbehaviour.
#include "tools/socks-server/SocksServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

// Reads exactly n bytes, waiting at most 5 s in all (also watching the stop pipe).
bool ReadExact(int fd, int stopFd, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (::poll(fds, 2, 5000) <= 0 || fds[1].revents) return false;
    ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool ReadString(int fd, int stopFd, std::string& out) {  // up to a 0 byte
  out.clear();
  char c;
  while (out.size() < 1024) {
    if (!ReadExact(fd, stopFd, &c, 1)) return false;
    if (c == 0) return true;
    out.push_back(c);
  }
  return false;
}

void SendAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t r = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (r <= 0) return;
    off += static_cast<size_t>(r);
  }
}

// Only loopback destinations: the server must never reach beyond this machine.
int ConnectLoopback(uint32_t ipNet, int port) {
  if ((ntohl(ipNet) >> 24) != 127) return -1;
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = ipNet;
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

uint32_t LoopbackName(const std::string& host) {
  if (host == "localhost") return htonl(INADDR_LOOPBACK);
  in_addr a{};
  if (::inet_pton(AF_INET, host.c_str(), &a) == 1) return a.s_addr;
  return 0;
}

void Relay(int a, int b, int stopFd) {
  char buf[16384];
  for (;;) {
    pollfd fds[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (::poll(fds, 3, 30000) <= 0 || fds[2].revents) return;
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents) continue;
      ssize_t r = ::recv(fds[i].fd, buf, sizeof buf, 0);
      if (r <= 0) return;
      SendAll(i == 0 ? b : a, std::string(buf, static_cast<size_t>(r)));
    }
  }
}

}  // namespace

TSocksTestServer::TSocksTestServer(TSocksServerOptions options, int port) : options_(std::move(options)) {
  if (::pipe(stopPipe_) != 0) return;
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 16) != 0) {
    ::close(listener_);
    listener_ = -1;
    return;
  }
  socklen_t len = sizeof a;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TSocksTestServer::~TSocksTestServer() { Stop(); }

void TSocksTestServer::Stop() {
  if (stopPipe_[1] >= 0) {
    char c = 1;
    if (::write(stopPipe_[1], &c, 1) < 0) {
    }
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> g(mutex_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
  for (int& fd : stopPipe_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

TSocksRequestSeen TSocksTestServer::LastRequest() {
  std::lock_guard<std::mutex> g(mutex_);
  return last_;
}

void TSocksTestServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || fds[1].revents) return;
    int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    ++connections_;
    std::lock_guard<std::mutex> g(mutex_);
    workers_.emplace_back([this, c] {
      Serve(c);
      ::close(c);
    });
  }
}

void TSocksTestServer::Serve(int fd) {
  const int stop = stopPipe_[0];
  // Sends a reply of the given stage; false when told to hang up part-way instead.
  auto reply = [&](int stage, const std::string& bytes) {
    if (options_.HangUpAt != stage) {
      SendAll(fd, bytes);
      return true;
    }
    SendAll(fd, bytes.substr(0, static_cast<size_t>(std::max(0, options_.HangUpBytes))));
    if (options_.HangUpWithReset) {
      linger l{};
      l.l_onoff = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    return false;
  };
  TSocksRequestSeen seen;
  unsigned char ver;
  if (!ReadExact(fd, stop, &ver, 1)) return;
  uint32_t ip = 0;
  int port = 0;
  if (ver == 4) {
    unsigned char h[7];
    if (!ReadExact(fd, stop, h, 7)) return;
    port = (h[1] << 8) | h[2];
    std::memcpy(&ip, h + 3, 4);
    seen.Version = 4;
    seen.Raw = std::string(1, 4) + std::string(reinterpret_cast<char*>(h), 7);
    if (!ReadString(fd, stop, seen.User)) return;
    if ((ntohl(ip) >> 8) == 0 && ntohl(ip) != 0) {  // 4A: the name follows
      if (!ReadString(fd, stop, seen.Host)) return;
      ip = LoopbackName(seen.Host);
    }
    seen.Ip = ip;
    seen.Port = port;
    {
      std::lock_guard<std::mutex> g(mutex_);
      last_ = seen;
    }
    int code = options_.ForceReplyCode >= 0 ? options_.ForceReplyCode : 90;
    int dest = code == 90 ? ConnectLoopback(ip, port) : -1;
    if (code == 90 && dest < 0) code = 91;
    const std::string bytes{0, static_cast<char>(code), 0, 0, 0, 0, 0, 0};
    if (!reply(3, bytes + (code == 90 ? options_.AfterReply : std::string()))) {
      if (dest >= 0) ::close(dest);
      return;
    }
    if (dest >= 0) {
      Relay(fd, dest, stop);
      ::close(dest);
    }
    return;
  }
  if (ver != 5) return;
  unsigned char n;
  if (!ReadExact(fd, stop, &n, 1)) return;
  std::string methods(n, '\0');
  if (n && !ReadExact(fd, stop, methods.data(), n)) return;
  int method = options_.RequireAuth ? 2 : 0;
  if (methods.find(static_cast<char>(method)) == std::string::npos) method = 0xFF;
  if (options_.ForceMethod >= 0) method = options_.ForceMethod;
  if (!reply(1, std::string{5, static_cast<char>(method)}) || method == 0xFF) return;
  if (method == 2) {
    unsigned char v, ul, pl;
    if (!ReadExact(fd, stop, &v, 1) || !ReadExact(fd, stop, &ul, 1)) return;
    seen.User.assign(ul, '\0');
    if (ul && !ReadExact(fd, stop, seen.User.data(), ul)) return;
    if (!ReadExact(fd, stop, &pl, 1)) return;
    seen.Pass.assign(pl, '\0');
    if (pl && !ReadExact(fd, stop, seen.Pass.data(), pl)) return;
    const bool ok = v == 1 && seen.User == options_.User && seen.Pass == options_.Pass;
    const bool answered = reply(2, std::string{1, static_cast<char>(ok ? 0 : 1)});
    if (!ok || !answered) {
      std::lock_guard<std::mutex> g(mutex_);
      last_ = seen;
      return;
    }
  }
  unsigned char h[4];
  if (!ReadExact(fd, stop, h, 4)) return;
  seen.Version = 5;
  seen.Raw = std::string(reinterpret_cast<char*>(h), 4);
  if (h[3] == 3) {
    unsigned char hl;
    if (!ReadExact(fd, stop, &hl, 1)) return;
    seen.Host.assign(hl, '\0');
    if (hl && !ReadExact(fd, stop, seen.Host.data(), hl)) return;
    seen.Raw += std::string(1, static_cast<char>(hl)) + seen.Host;
    ip = LoopbackName(seen.Host);
  } else if (h[3] == 1) {
    if (!ReadExact(fd, stop, &ip, 4)) return;
  } else {
    return;
  }
  unsigned char pb[2];
  if (!ReadExact(fd, stop, pb, 2)) return;
  port = (pb[0] << 8) | pb[1];
  seen.Raw += std::string(reinterpret_cast<char*>(pb), 2);
  seen.Ip = ip;
  seen.Port = port;
  {
    std::lock_guard<std::mutex> g(mutex_);
    last_ = seen;
  }
  int code = options_.ForceReplyCode >= 0 ? options_.ForceReplyCode : 0;
  int dest = code == 0 ? ConnectLoopback(ip, port) : -1;
  if (code == 0 && dest < 0) code = 5;
  // The bound address in the form asked for: IPv4 127.0.0.1, the name "localhost", or IPv6 ::1.
  std::string bytes{5, static_cast<char>(code), 0, static_cast<char>(options_.ReplyAddressType)};
  if (options_.ReplyAddressType == 3) {
    bytes += std::string(1, 9) + "localhost";
  } else if (options_.ReplyAddressType == 4) {
    bytes += std::string(15, '\0') + std::string(1, 1);
  } else {
    bytes += std::string{127, 0, 0, 1};
  }
  bytes += std::string{static_cast<char>(pb[0]), static_cast<char>(pb[1])};
  if (!reply(3, bytes + (code == 0 ? options_.AfterReply : std::string()))) {
    if (dest >= 0) ::close(dest);
    return;
  }
  if (dest >= 0) {
    Relay(fd, dest, stop);
    ::close(dest);
  }
}
