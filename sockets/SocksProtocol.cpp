// SOCKS 4, 4A and 5 client messages: request builders and bounded reply parsers.
#include "sockets/SocksProtocol.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

TSocksReply Fail(int code, const std::string& msg) {
  TSocksReply r;
  r.Status = TSocksStatus::Failed;
  r.ErrCode = code;
  r.ErrMsg = msg;
  return r;
}

void PutPort(std::string& out, uint16_t port) {
  out.push_back(static_cast<char>(port >> 8));
  out.push_back(static_cast<char>(port & 0xFF));
}

uint16_t GetPort(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t GetAddr(const uint8_t* p) {
  uint32_t a;
  std::memcpy(&a, p, 4);
  return a;
}

}  // namespace

std::string SocksGreeting(bool userPass) { return std::string{5, 1, static_cast<char>(userPass ? 2 : 0)}; }

bool SocksAuthRequest(const std::string& user, const std::string& pass, std::string& out) {
  if (user.size() > 255 || pass.size() > 255) return false;
  out.clear();
  out.push_back(1);
  out.push_back(static_cast<char>(user.size()));
  out += user;
  out.push_back(static_cast<char>(pass.size()));
  out += pass;
  return true;
}

bool SocksRequest5(const std::string& host, uint16_t port, std::string& out) {
  if (host.empty() || host.size() > 255) return false;
  out = std::string{5, 1, 0, 3};
  out.push_back(static_cast<char>(host.size()));
  out += host;
  PutPort(out, port);
  return true;
}

std::string SocksRequest4(uint16_t port, uint32_t addrNetOrder, const std::string& user, const std::string* host4A) {
  std::string out{4, 1};
  PutPort(out, port);
  out.append(reinterpret_cast<const char*>(&addrNetOrder), 4);
  out += user;
  out.push_back(0);
  if (host4A) {
    out += *host4A;
    out.push_back(0);
  }
  return out;
}

TSocksReply SocksParseMethodReply(const uint8_t* p, int n) {
  TSocksReply r;
  if (n >= 1 && p[0] != 5) return Fail(SOCKS_VERSION_ERROR, "socks version error");
  if (n < 2) return r;
  if (p[1] != 0 && p[1] != 2) return Fail(SOCKS_METHOD_ERROR, "authentification method not acceptable");
  r.Status = TSocksStatus::Done;
  r.Method = p[1];
  r.Consumed = 2;
  return r;
}

TSocksReply SocksParseAuthReply(const uint8_t* p, int n) {
  TSocksReply r;
  if (n >= 1 && p[0] != 1) return Fail(SOCKS_VERSION_ERROR, "socks version error");
  if (n < 2) return r;  // wait for the status byte
  if (n > 2) return Fail(SOCKS_LOGIC_ERROR, "too much data availaible");
  if (p[1] != 0) return Fail(SOCKS_AUTH_FAILED, "socks authentication failed");
  r.Status = TSocksStatus::Done;
  r.Consumed = 2;
  return r;
}

TSocksReply SocksParseReply4(const uint8_t* p, int n) {
  TSocksReply r;
  if (n < 8) return r;
  if (p[0] != 0) return Fail(SOCKS_VERSION_ERROR, "socks version error");
  switch (p[1]) {
    case 90: break;
    case 91: return Fail(SOCKS_REJECTED, "request rejected or failed");
    case 92: return Fail(20008, "connection refused");
    case 93: return Fail(SOCKS_AUTH_FAILED, "authentification failed");
    default: return Fail(SOCKS_UNASSIGNED_ERROR, "unassigned error #" + std::to_string(p[1]));
  }
  r.Status = TSocksStatus::Done;
  r.Consumed = 8;
  r.BoundPort = GetPort(p + 2);
  r.BoundAddr = GetAddr(p + 4);
  return r;
}

TSocksReply SocksParseReply5(const uint8_t* p, int n) {
  static const char* const kReplyTexts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                                            "network unreachable",          "host unreachable",
                                            "connection refused",           "time to live expired",
                                            "command not supported",        "address type not supported"};
  TSocksReply r;
  if (n >= 1 && p[0] != 5) return Fail(SOCKS_VERSION_ERROR, "socks version error");
  if (n < 2) return r;
  if (p[1] != 0) {
    if (p[1] >= 1 && p[1] <= 8) return Fail(20003 + p[1], kReplyTexts[p[1] - 1]);
    return Fail(SOCKS_UNASSIGNED_ERROR, "unassigned error #" + std::to_string(p[1]));
  }
  if (n < 4) return r;
  // The bound address: IPv4 (type 1), a name (3) or IPv6 (4), then the port.
  int need;
  if (p[3] == 1) {
    need = 4 + 4 + 2;
  } else if (p[3] == 3) {
    if (n < 5) return r;
    need = 5 + p[4] + 2;
  } else if (p[3] == 4) {
    need = 4 + 16 + 2;
  } else {
    return Fail(20011, "address type not supported");
  }
  if (n < need) return r;
  r.Status = TSocksStatus::Done;
  r.Consumed = need;
  if (p[3] == 1) {
    r.BoundAddr = GetAddr(p + 4);
  } else if (p[3] == 3) {
    r.BoundName.assign(reinterpret_cast<const char*>(p + 5), p[4]);
  } else {
    r.BoundAddr6.assign(reinterpret_cast<const char*>(p + 4), 16);
  }
  r.BoundPort = GetPort(p + need - 2);
  return r;
}
