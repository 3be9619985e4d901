// Tests of the socket binding: error texts and errno mapping, dotted addresses, the started
// version, and the thread's last error.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>

#include "sockets/WinsockApi.h"

TEST(WinsockApi, ErrorTextsKeepTheirNumbers) {
  EXPECT_EQ(WinsockErrorText(0), "No Error");
  EXPECT_EQ(WinsockErrorText(10048), "Address already in use");
  EXPECT_EQ(WinsockErrorText(10061), "Connection refused");
  EXPECT_EQ(WinsockErrorText(10059), "Too many references: can't splice");
  EXPECT_EQ(WinsockErrorText(11004), "No Data");
  EXPECT_EQ(WinsockErrorText(99999), "Not a WinSock error");
  EXPECT_EQ(WinsockErrorText(10001), "Not a WinSock error");
  EXPECT_EQ(SocketErrorText(10057), "Socket is not connected (#10057)");
}

TEST(WinsockApi, ErrnoMapsToSocketNumbers) {
  EXPECT_EQ(ErrnoToWinsock(EAGAIN), WSAEWOULDBLOCK);
  EXPECT_EQ(ErrnoToWinsock(EINPROGRESS), WSAEWOULDBLOCK);
  EXPECT_EQ(ErrnoToWinsock(EADDRINUSE), WSAEADDRINUSE);
  EXPECT_EQ(ErrnoToWinsock(ECONNREFUSED), WSAECONNREFUSED);
  EXPECT_EQ(ErrnoToWinsock(EPIPE), WSAECONNRESET);
  EXPECT_EQ(ErrnoToWinsock(ENOTCONN), WSAENOTCONN);
  // An unmapped errno must not land on a number with another meaning.
  EXPECT_EQ(WinsockErrorText(ErrnoToWinsock(ENOEXEC)), "Not a WinSock error");
}

TEST(WinsockApi, DottedAddressRecognition) {
  for (const char* ok : {"10.0.0.1", " 10.0.0.1", "10.0.0.1 ", "255.255.255.255", "0.0.0.0"})
    EXPECT_TRUE(IsDottedIPv4(ok)) << ok;
  for (const char* bad : {".1.2.3", "1.2.3", "1.2.3.256", "1.2.3.4.5", "1.2.3.", "10.0.0.300", "1..2.3", "a.b.c.d",
                          "1.2.3.4x", "", "1.2.3.4294967297"})
    EXPECT_FALSE(IsDottedIPv4(bad)) << bad;
}

TEST(WinsockApi, LeadingNumberSaturatesInsteadOfWrapping) {
  EXPECT_EQ(ParseLeadingNumber("  42abc"), 42);
  EXPECT_EQ(ParseLeadingNumber("-5"), 0);
  EXPECT_EQ(ParseLeadingNumber(""), 0);
  EXPECT_EQ(ParseLeadingNumber("99999999999999"), 2147483647);
  EXPECT_EQ(WSocket_inet_addr("1.2.3.4"), htonl(0x01020304u));
  EXPECT_EQ(WSocket_inet_addr("1.2.3"), 0xFFFFFFFFu);
  EXPECT_EQ(WSocket_inet_ntoa(htonl(0x7F000001u)), "127.0.0.1");
}

TEST(WinsockApi, VersionIsFixedOnceStartedAndUnloadWaitsForUsers) {
  WinsockAddUser();  // keep other tests' state out of the way
  WinsockRemoveUser();
  ASSERT_EQ(WinsockUserCount(), 0);
  ASSERT_FALSE(WinsockLoaded());
  ASSERT_TRUE(WinsockSetReqVerLow(2));
  ASSERT_TRUE(WinsockSetReqVerHigh(1));
  WinsockAddUser();
  const int starts = WinsockStartCount();
  int s = WSocket_socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(s, 0);
  EXPECT_TRUE(WinsockLoaded());
  EXPECT_EQ(WinsockStartCount(), starts + 1);
  EXPECT_EQ(WinsockStartedVersion(), 0x0102);  // low byte ReqVerLow, high byte ReqVerHigh
  EXPECT_FALSE(WinsockSetReqVerLow(1));
  EXPECT_EQ(WinsockReqVerLow(), 2);
  UnloadWinSock();  // a user is left: stays started
  EXPECT_TRUE(WinsockLoaded());
  WSocket_closesocket(s);
  WinsockRemoveUser();
  EXPECT_FALSE(WinsockLoaded());
  EXPECT_TRUE(WinsockSetReqVerLow(1));
  // The next call starts again.
  s = WSocket_socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_EQ(WinsockStartCount(), starts + 2);
  EXPECT_EQ(WinsockStartedVersion(), 0x0101);
  // Plain socket calls never load the extension set; the first extension call does.
  EXPECT_FALSE(WinsockExtLoaded());
  EXPECT_NE(ResolveWinSockProc("recv"), nullptr);
  EXPECT_FALSE(WinsockExtLoaded());
  EXPECT_NE(ResolveWinSock2Proc("WSAIoctl"), nullptr);
  EXPECT_TRUE(WinsockExtLoaded());
  try {
    ResolveWinSockProc("nosuchcall");
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message().rfind("Procedure nosuchcall not found in wsock32.dll - ", 0), 0u) << e.Message();
  }
  WSocket_closesocket(s);
  UnloadWinSock();
}

TEST(WinsockApi, FailedCallsSetTheThreadsLastError) {
  char c;
  EXPECT_EQ(WSocket_recv(-1, &c, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSocket_WSAGetLastError(), WSAENOTSOCK);
  int s = WSocket_socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(WSocket_recv(s, &c, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSocket_WSAGetLastError(), WSAENOTCONN);
  WSocket_closesocket(s);
  UnloadWinSock();
}
