// Tests of the SOCKS client against the test server: levels 4, 4A and 5, authentication, refusals,
// and connects that fail or meet a busy socket.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "SocketTestUtil.h"
#include "sockets/WSocket.h"
#include "sockets/WinsockApi.h"
#include "tools/socks-server/SocksServer.h"

namespace {

// A destination server plus a client that reaches it through the SOCKS server.
struct SocksSetup {
  TcpPair dest;
  TWSocket client{nullptr};
  std::string events;
  std::string received;
  std::vector<int> socksErrors;
  std::vector<TSocksAuthState> auth;

  explicit SocksSetup(TSocksTestServer& socks, const std::string& level, const std::string& addr = "localhost") {
    dest.Listen();
    client.SetSocksServer("127.0.0.1");
    client.SetSocksPort(std::to_string(socks.Port()));
    client.SetSocksLevel(level);
    client.SetAddr(addr);
    client.SetPort(std::to_string(dest.port));
    client.OnSocksConnected = [this](TObject*, uint16_t e) { events += "socks" + std::to_string(e) + " "; };
    client.OnSessionConnected = [this](TObject*, uint16_t e) { events += "session" + std::to_string(e) + " "; };
    client.OnSessionClosed = [this](TObject*, uint16_t) { events += "closed "; };
    client.OnSocksError = [this](TObject*, int e, const std::string& m) {
      socksErrors.push_back(e);
      events += "error:" + m + " ";
    };
    client.OnSocksAuthState = [this](TObject*, TSocksAuthState s) { auth.push_back(s); };
    client.OnDataAvailable = [this](TObject*, uint16_t) {
      std::string s = client.ReceiveAsString();
      if (!s.empty()) events += "data:" + s + " ";
      received += s;
    };
  }
  bool Run() {
    client.Connect();
    return PumpUntil([&] { return events.find("session") != std::string::npos; });
  }
  // Data both ways through the relay.
  bool Exchange() {
    std::string atDest;
    dest.accepted->OnDataAvailable = [&](TObject*, uint16_t) { atDest += dest.accepted->ReceiveAsString(); };
    if (!PumpUntil([&] { return dest.accepted->State() == wsConnected; })) return false;
    client.SendText("ping");
    dest.accepted->SendText("pong");
    return PumpUntil([&] { return atDest == "ping" && received.find("pong") != std::string::npos; });
  }
};

}  // namespace

TEST(SocksClient, Level5WithDataRightAfterTheReply) {
  TSocksServerOptions o;
  o.AfterReply = "HELLO";
  TSocksTestServer socks(o);
  SocksSetup t(socks, "5");
  ASSERT_TRUE(t.Run());
  ASSERT_TRUE(PumpUntil([&] { return t.received.find("HELLO") != std::string::npos; }));
  EXPECT_EQ(t.events, "socks0 session0 data:HELLO ");
  const TSocksRequestSeen seen = socks.LastRequest();
  const std::string port{static_cast<char>(t.dest.port >> 8), static_cast<char>(t.dest.port & 0xFF)};
  EXPECT_EQ(seen.Raw, std::string("\x05\x01\x00\x03\x09localhost", 14) + port);
  EXPECT_TRUE(t.Exchange());
}

// A dual-stack server names the bound address in any of the three forms; the tunnel goes on with each.
TEST(SocksClient, Level5ReplyWithEachAddressType) {
  for (const int type : {1, 3, 4}) {
    SCOPED_TRACE(type);
    TSocksServerOptions o;
    o.ReplyAddressType = type;
    o.AfterReply = "HELLO";
    TSocksTestServer socks(o);
    SocksSetup t(socks, "5");
    ASSERT_TRUE(t.Run());
    ASSERT_TRUE(PumpUntil([&] { return t.received.find("HELLO") != std::string::npos || !t.socksErrors.empty(); }));
    EXPECT_EQ(t.events, "socks0 session0 data:HELLO ");
    EXPECT_TRUE(t.socksErrors.empty());
    EXPECT_EQ(t.client.State(), wsConnected);
    EXPECT_TRUE(t.Exchange());
  }
}

TEST(SocksClient, Level5UserNameAuthentication) {
  TSocksServerOptions o;
  o.RequireAuth = true;
  o.User = "alice";
  o.Pass = "secret";
  TSocksTestServer socks(o);
  {
    SocksSetup t(socks, "5");
    t.client.SetSocksAuthentication(socksAuthenticateUsercode);
    t.client.SetSocksUsercode("alice");
    t.client.SetSocksPassword("secret");
    ASSERT_TRUE(t.Run());
    EXPECT_EQ(t.events, "socks0 session0 ");
    EXPECT_EQ(t.auth, (std::vector<TSocksAuthState>{socksAuthStart, socksAuthSuccess}));
    EXPECT_EQ(socks.LastRequest().User, "alice");
    EXPECT_TRUE(t.Exchange());
  }
  {
    SocksSetup t(socks, "5");
    t.client.SetSocksAuthentication(socksAuthenticateUsercode);
    t.client.SetSocksUsercode("alice");
    t.client.SetSocksPassword("wrong");
    ASSERT_TRUE(t.Run());
    EXPECT_EQ(t.socksErrors, std::vector<int>{20015});
    EXPECT_EQ(t.events.substr(0, 52), "socks0 error:socks authentication failed session2001");
    EXPECT_EQ(t.client.State(), wsClosed);
  }
}

TEST(SocksClient, Level5ServerRefusingEveryMethod) {
  TSocksServerOptions o;
  o.ForceMethod = 0xFF;
  TSocksTestServer socks(o);
  SocksSetup t(socks, "5");
  ASSERT_TRUE(t.Run());
  EXPECT_EQ(t.socksErrors, std::vector<int>{20003});
  EXPECT_NE(t.events.find("error:authentification method not acceptable session20003"), std::string::npos);
  EXPECT_EQ(t.client.State(), wsClosed);
}

TEST(SocksClient, Level4And4A) {
  TSocksTestServer socks(TSocksServerOptions{});
  {
    SocksSetup t(socks, "4", "127.0.0.1");
    t.client.SetSocksUsercode("bob");
    ASSERT_TRUE(t.Run());
    EXPECT_EQ(t.events, "socks0 session0 ");
    const TSocksRequestSeen seen = socks.LastRequest();
    EXPECT_EQ(seen.Version, 4);
    EXPECT_EQ(seen.Ip, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(seen.Port, t.dest.port);
    EXPECT_EQ(seen.User, "bob");
    EXPECT_TRUE(t.Exchange());
  }
  {
    SocksSetup t(socks, "4a", "localhost");
    ASSERT_TRUE(t.Run());
    EXPECT_EQ(t.events, "socks0 session0 ");
    EXPECT_EQ(socks.LastRequest().Host, "localhost");
    EXPECT_TRUE(t.Exchange());
  }
  {
    // Level 4 resolves the name itself: a name that cannot be resolved ends the negotiation.
    SocksSetup t(socks, "4", "no-such-host.invalid");
    ASSERT_TRUE(t.Run());
    ASSERT_EQ(t.socksErrors.size(), 1u);
    const std::string code = std::to_string(t.socksErrors[0]);
    const std::string text = "Winsock Resolve Host: Cannot convert host address 'no-such-host.invalid' - ";
    EXPECT_EQ(t.events.rfind("socks0 error:" + text, 0), 0u) << t.events;
    EXPECT_NE(t.events.find(" (#" + code + ") session" + code + " closed "), std::string::npos) << t.events;
    EXPECT_EQ(t.client.State(), wsClosed);
  }
}

// Level 4 resolves the name itself. Whatever the resolver says (no name server
// answers, no such name), the SOCKS error, the session's code and the code in
// the text are the resolver's code.
TEST(SocksClient, Level4NameFailureCarriesTheResolversCodeThroughout) {
  TSocksTestServer socks(TSocksServerOptions{});
  for (const int resolver : {WSATRY_AGAIN, WSAHOST_NOT_FOUND, WSANO_DATA}) {
    SCOPED_TRACE(resolver);
    const THostLookup previous = SetHostLookup(
        [&](const std::string&, std::vector<std::string>&, const std::atomic<bool>&) { return resolver; });
    SocksSetup t(socks, "4", "printer.example");
    const bool ran = t.Run();
    SetHostLookup(previous);
    ASSERT_TRUE(ran);
    EXPECT_EQ(t.socksErrors, std::vector<int>{resolver});
    const std::string code = std::to_string(resolver);
    EXPECT_EQ(t.events, "socks0 error:Winsock Resolve Host: Cannot convert host address 'printer.example' - " +
                            WinsockErrorText(resolver) + " (#" + code + ") session" + code + " closed ");
    EXPECT_EQ(t.client.State(), wsClosed);
  }
}

// A server that hangs up before its reply is complete (none of it, one byte,
// part of it; at each step of levels 4 and 5) ends the negotiation as a failure:
// the SOCKS error, the session's connect event with that code, then the close.
TEST(SocksClient, ServerHangingUpDuringTheNegotiationFailsIt) {
  struct Case {
    std::string level;
    int at, bytes;
    bool auth;
  };
  const std::vector<Case> cases = {{"5", 1, 0, false}, {"5", 1, 1, false}, {"5", 2, 0, true},
                                   {"5", 3, 0, false}, {"5", 3, 1, false}, {"5", 3, 5, false},
                                   {"4", 3, 0, false}, {"4", 3, 1, false}, {"4", 3, 4, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level + " at " + std::to_string(c.at) + " after " + std::to_string(c.bytes));
    TSocksServerOptions o;
    o.HangUpAt = c.at;
    o.HangUpBytes = c.bytes;
    o.RequireAuth = c.auth;
    o.User = "alice";
    o.Pass = "secret";
    TSocksTestServer socks(o);
    SocksSetup t(socks, c.level, "127.0.0.1");
    if (c.auth) {
      t.client.SetSocksAuthentication(socksAuthenticateUsercode);
      t.client.SetSocksUsercode("alice");
      t.client.SetSocksPassword("secret");
    }
    ASSERT_TRUE(t.Run());
    PumpFor(20);
    EXPECT_EQ(t.events, "socks0 error:connection closed by socks server session10053 closed ");
    EXPECT_EQ(t.socksErrors, std::vector<int>{10053});
    EXPECT_EQ(t.client.State(), wsClosed);
    if (c.auth) {
      EXPECT_EQ(t.auth, (std::vector<TSocksAuthState>{socksAuthStart, socksAuthFailure}));
    }
  }
  // A server that resets the connection: the code tells so.
  TSocksServerOptions o;
  o.HangUpAt = 3;
  o.HangUpWithReset = true;
  TSocksTestServer socks(o);
  SocksSetup t(socks, "5", "127.0.0.1");
  ASSERT_TRUE(t.Run());
  PumpFor(20);
  EXPECT_EQ(t.events, "socks0 error:data receive error session10054 closed ");
}

TEST(SocksClient, RejectedRequestsAndListening) {
  TSocksServerOptions o;
  o.ForceReplyCode = 91;
  TSocksTestServer socks(o);
  SocksSetup t(socks, "4", "127.0.0.1");
  ASSERT_TRUE(t.Run());
  EXPECT_EQ(t.socksErrors, std::vector<int>{20016});
  EXPECT_NE(t.events.find("error:request rejected or failed session20016"), std::string::npos);
  try {
    t.client.Listen();
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Listening is not supported thru socks server");
  }
  t.client.SetProto("udp");
  try {
    t.client.Connect();
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "TCP is the only protocol supported thru socks server");
  }
}

TEST(SocksClient, ConnectOnASocketInUseLeavesTheSessionAlone) {
  TSocksTestServer socks(TSocksServerOptions{});
  SocksSetup t(socks, "5");
  ASSERT_TRUE(t.Run());
  try {
    t.client.Connect();
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Connect: Socket already in use");
  }
  EXPECT_FALSE(t.client.SocksNegotiating());
  EXPECT_TRUE(t.Exchange());  // the relayed data still reaches the handler
  EXPECT_TRUE(t.socksErrors.empty());
}

TEST(SocksClient, ServerPortAndFailedConnectsLeaveNothingToNegotiate) {
  TWSocket c(nullptr);
  c.SetSocksServer("127.0.0.1");
  c.SetAddr("localhost");
  c.SetPort("80");
  try {
    c.Connect();  // no SOCKS port: nothing is guessed
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "connect: Winsock Resolve Port: Invalid Port.");
  }
  EXPECT_EQ(c.State(), wsClosed);
  c.SetSocksPort("1080");
  c.SetProto("");
  try {
    c.Connect();
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "TCP is the only protocol supported thru socks server");
  }
  c.SetProto("tcp");
  c.SetAddr("");
  try {
    c.Connect();  // refused by the ordinary checks after the SOCKS ones
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Connect: No IP Address Specified");
  }
  EXPECT_FALSE(c.SocksNegotiating());
  EXPECT_EQ(c.HSocket(), INVALID_SOCKET);
}
