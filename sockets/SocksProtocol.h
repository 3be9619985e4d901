// SOCKS 4, 4A and 5 wire messages of the client side: builders for what the
// client sends and bounded parsers for what the server answers. Pure functions,
// shared by the socket's negotiation and by the tests.
#pragma once

#include <cstdint>
#include <string>

// Error numbers of a failed negotiation.
constexpr int SOCKS_LOGIC_ERROR = 20001;
constexpr int SOCKS_VERSION_ERROR = 20002;
constexpr int SOCKS_METHOD_ERROR = 20003;
constexpr int SOCKS_UNASSIGNED_ERROR = 20012;
constexpr int SOCKS_INTERNAL_ERROR = 20013;
constexpr int SOCKS_AUTH_FAILED = 20015;
constexpr int SOCKS_REJECTED = 20016;

enum class TSocksStatus { NeedMore, Done, Failed };

struct TSocksReply {
  TSocksStatus Status = TSocksStatus::NeedMore;
  int Consumed = 0;        // bytes of the reply (Done only)
  int ErrCode = 0;         // Failed only
  std::string ErrMsg;      // Failed only
  int Method = 0;          // method reply: the chosen method
  uint32_t BoundAddr = 0;  // request reply, network order (address type 1 / level 4)
  uint16_t BoundPort = 0;  // request reply, host order
  std::string BoundName;   // request reply, address type 3
  std::string BoundAddr6;  // request reply, address type 4: 16 bytes, network order
};

// Largest reply a server can send (level 5, domain name of 255 bytes).
constexpr int SOCKS_MAX_REPLY = 7 + 255;

// 5, 1, method (2 with user-name authentication, else 0).
std::string SocksGreeting(bool userPass);
// 1, length, user, length, password. False (out untouched) when either is
// longer than 255 bytes.
bool SocksAuthRequest(const std::string& user, const std::string& pass, std::string& out);
// 5, 1, 0, 3, length, host, port (network order). False when the host is empty
// or longer than 255 bytes.
bool SocksRequest5(const std::string& host, uint16_t port, std::string& out);
// 4, 1, port (network order), address (network order), user, 0 [, host, 0 for 4A].
std::string SocksRequest4(uint16_t port, uint32_t addrNetOrder, const std::string& user, const std::string* host4A);

TSocksReply SocksParseMethodReply(const uint8_t* p, int n);
// Fails when the server says more than its 2 bytes.
TSocksReply SocksParseAuthReply(const uint8_t* p, int n);
TSocksReply SocksParseReply4(const uint8_t* p, int n);
TSocksReply SocksParseReply5(const uint8_t* p, int n);
