// Tests of SOCKS requests and reply parsers.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "sockets/SocksProtocol.h"

namespace {
TSocksReply Parse5(const std::vector<uint8_t>& v) { return SocksParseReply5(v.data(), static_cast<int>(v.size())); }
TSocksReply Parse4(const std::vector<uint8_t>& v) { return SocksParseReply4(v.data(), static_cast<int>(v.size())); }
}  // namespace

TEST(SocksProtocol, RequestsCarryLengthsAndNetworkOrderPorts) {
  EXPECT_EQ(SocksGreeting(false), std::string("\x05\x01\x00", 3));
  EXPECT_EQ(SocksGreeting(true), std::string("\x05\x01\x02", 3));
  std::string out;
  ASSERT_TRUE(SocksRequest5("host", 0x1234, out));
  EXPECT_EQ(out, std::string("\x05\x01\x00\x03\x04host\x12\x34", 11));
  ASSERT_TRUE(SocksAuthRequest("me", "pw1", out));
  EXPECT_EQ(out, std::string("\x01\x02me\x03pw1", 8));
  const std::string host = "h";
  EXPECT_EQ(SocksRequest4(80, htonl(0x7F000001), "u", nullptr),
            std::string("\x04\x01\x00\x50\x7F\x00\x00\x01u\x00", 10));
  EXPECT_EQ(SocksRequest4(80, htonl(1), "", &host), std::string("\x04\x01\x00\x50\x00\x00\x00\x01\x00h\x00", 11));
}

TEST(SocksProtocol, OverlongFieldsAreRefusedNotWrapped) {
  std::string out = "kept";
  EXPECT_FALSE(SocksRequest5(std::string(256, 'a'), 1, out));
  EXPECT_FALSE(SocksRequest5("", 1, out));
  EXPECT_FALSE(SocksAuthRequest(std::string(256, 'u'), "p", out));
  EXPECT_FALSE(SocksAuthRequest("u", std::string(300, 'p'), out));
  EXPECT_EQ(out, "kept");
  EXPECT_TRUE(SocksRequest5(std::string(255, 'a'), 1, out));
}

TEST(SocksProtocol, MethodAndAuthReplies) {
  const uint8_t noAuth[] = {5, 0}, userPass[] = {5, 2}, refused[] = {5, 0xFF}, v4[] = {4, 0};
  EXPECT_EQ(SocksParseMethodReply(noAuth, 1).Status, TSocksStatus::NeedMore);
  EXPECT_EQ(SocksParseMethodReply(noAuth, 2).Method, 0);
  EXPECT_EQ(SocksParseMethodReply(userPass, 2).Method, 2);
  TSocksReply r = SocksParseMethodReply(refused, 2);
  EXPECT_EQ(r.ErrCode, 20003);
  EXPECT_EQ(r.ErrMsg, "authentification method not acceptable");
  EXPECT_EQ(SocksParseMethodReply(v4, 2).ErrCode, 20002);

  const uint8_t ok[] = {1, 0}, bad[] = {1, 1}, tooMuch[] = {1, 0, 9}, wrongVer[] = {5, 0};
  EXPECT_EQ(SocksParseAuthReply(ok, 1).Status, TSocksStatus::NeedMore);  // waits for the status
  EXPECT_EQ(SocksParseAuthReply(ok, 2).Status, TSocksStatus::Done);
  EXPECT_EQ(SocksParseAuthReply(bad, 2).ErrCode, 20015);
  EXPECT_EQ(SocksParseAuthReply(tooMuch, 3).ErrMsg, "too much data availaible");
  EXPECT_EQ(SocksParseAuthReply(wrongVer, 2).ErrMsg, "socks version error");
}

TEST(SocksProtocol, Level4Replies) {
  EXPECT_EQ(Parse4({0, 90, 0, 80, 127, 0, 0}).Status, TSocksStatus::NeedMore);
  TSocksReply r = Parse4({0, 90, 0x1F, 0x90, 127, 0, 0, 1});
  ASSERT_EQ(r.Status, TSocksStatus::Done);
  EXPECT_EQ(r.Consumed, 8);
  EXPECT_EQ(r.BoundPort, 8080);
  EXPECT_EQ(r.BoundAddr, htonl(0x7F000001));
  EXPECT_EQ(Parse4({0, 91, 0, 0, 0, 0, 0, 0}).ErrCode, 20016);
  EXPECT_EQ(Parse4({0, 92, 0, 0, 0, 0, 0, 0}).ErrMsg, "connection refused");
  EXPECT_EQ(Parse4({0, 93, 0, 0, 0, 0, 0, 0}).ErrMsg, "authentification failed");
  EXPECT_EQ(Parse4({0, 17, 0, 0, 0, 0, 0, 0}).ErrMsg, "unassigned error #17");
  EXPECT_EQ(Parse4({4, 90, 0, 0, 0, 0, 0, 0}).ErrCode, 20002);
}

TEST(SocksProtocol, Level5RepliesByAddressType) {
  TSocksReply r = Parse5({5, 0, 0, 1, 10, 0, 0, 2, 0x00, 0x50, 'x'});
  ASSERT_EQ(r.Status, TSocksStatus::Done);
  EXPECT_EQ(r.Consumed, 10);  // the byte after the reply is data
  EXPECT_EQ(r.BoundPort, 80);
  r = Parse5({5, 0, 0, 3, 3, 'a', 'b', 'c', 0, 21});
  ASSERT_EQ(r.Status, TSocksStatus::Done);
  EXPECT_EQ(r.Consumed, 10);
  EXPECT_EQ(r.BoundName, "abc");
  EXPECT_EQ(r.BoundPort, 21);
  EXPECT_EQ(Parse5({5, 0, 0, 3, 200, 'a'}).Status, TSocksStatus::NeedMore);
  // IPv6 (type 4): 16 address bytes, then the port; read whole before it counts.
  std::vector<uint8_t> v6{5, 0, 0, 4};
  for (int i = 0; i < 15; ++i) v6.push_back(0);
  v6.push_back(1);
  v6.push_back(0x1F);
  EXPECT_EQ(Parse5(v6).Status, TSocksStatus::NeedMore);
  v6.push_back(0x90);
  v6.push_back('x');
  r = Parse5(v6);
  ASSERT_EQ(r.Status, TSocksStatus::Done);
  EXPECT_EQ(r.Consumed, 22);
  EXPECT_EQ(r.BoundAddr6, std::string(15, '\0') + "\x01");
  EXPECT_EQ(r.BoundPort, 8080);
  // Types the protocol does not define.
  EXPECT_EQ(Parse5({5, 0, 0, 2}).ErrCode, 20011);
  EXPECT_EQ(Parse5({5, 0, 0, 5}).ErrMsg, "address type not supported");
  EXPECT_EQ(Parse5({5, 5}).ErrCode, 20008);
  EXPECT_EQ(Parse5({5, 1}).ErrMsg, "general SOCKS server failure");
  EXPECT_EQ(Parse5({5, 8}).ErrMsg, "address type not supported");
  EXPECT_EQ(Parse5({5, 9}).ErrMsg, "unassigned error #9");
  EXPECT_EQ(Parse5({4}).ErrCode, 20002);
}
