// Socket binding of the event-driven socket layer.
//
// The socket components never call the system's socket functions directly: every
// call goes through a thin wrapper here. The first wrapper call "starts" the
// binding with the requested version (ReqVerLow/ReqVerHigh); the binding is
// stopped again when the last user (a live socket component or a guarded call in
// progress) is gone. Failures keep the classic socket error numbers (10035 for
// "would block", 10061 for "connection refused", ...), mapped from errno, because
// texts and LastError show them; the calling thread's last error is read with
// WSocket_WSAGetLastError.
//
// Thread safety: every function may be called from any thread; starting,
// counting and stopping are serialised by one lock. The last error is per thread.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/SysUtils.h"

using TSocket = int;
constexpr TSocket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Network events of a socket, as delivered to its hidden window.
constexpr int FD_READ = 0x01;
constexpr int FD_WRITE = 0x02;
constexpr int FD_OOB = 0x04;
constexpr int FD_ACCEPT = 0x08;
constexpr int FD_CONNECT = 0x10;
constexpr int FD_CLOSE = 0x20;

// Socket error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Raised by the socket layer (binding failures, resolvers, usage errors).
RTL_DECLARE_EXCEPTION(ESocketException, Exception);

// Text of a socket error number ("Connection refused"); "Not a WinSock error"
// for a number that is not one.
std::string WinsockErrorText(int code);
// WinsockErrorText(code) + " (#" + code + ")".
std::string SocketErrorText(int code);
// The operating system's text for errno `code` + " (#" + code + ")".
std::string SystemErrorText(int code);
// Socket error number for an errno value (unknown values keep 10000 + errno
// out of the way of the table: they read "Not a WinSock error").
int ErrnoToWinsock(int err);
// Socket error number for a getaddrinfo() result or an h_errno value.
int ResolverErrorToWinsock(int gaiError);
int HErrnoToWinsock(int herr);

int WSocket_WSAGetLastError();
void WSocket_WSASetLastError(int code);

// Binding state. The version word passed at start is ReqVerLow | ReqVerHigh << 8.
uint8_t WinsockReqVerLow();
uint8_t WinsockReqVerHigh();
// Store the byte and return true while the binding is not started; false (value
// kept) afterwards.
bool WinsockSetReqVerLow(uint8_t v);
bool WinsockSetReqVerHigh(uint8_t v);
bool WinsockLoaded();
// Number of starts since the process began, and the version word of the last.
int WinsockStartCount();
uint16_t WinsockStartedVersion();
// Starts the binding when it is not started (what every wrapper does first).
void WinsockEnsureStarted();
// Stops the binding when it is started and no user is left.
void UnloadWinSock();
// The user counter: live socket components plus guarded calls in progress.
void WinsockAddUser();
// Decrements and stops the binding below 1.
void WinsockRemoveUser();
int WinsockUserCount();
// True once an extension call (WSAIoctl) has been used since the last start.
bool WinsockExtLoaded();
// The wrapper of a call by name, starting the binding first; an empty name only
// starts. Raises ESocketException "Procedure <name> not found in ..." for an
// unknown name. The second form serves the extension set (WSAIoctl).
void* ResolveWinSockProc(const std::string& name);
void* ResolveWinSock2Proc(const std::string& name);

// Wrappers. They return what the system call does and set the thread's last
// socket error on failure. Sends never raise SIGPIPE.
TSocket WSocket_socket(int af, int type, int protocol);
int WSocket_closesocket(TSocket s);
int WSocket_shutdown(TSocket s, int how);
int WSocket_bind(TSocket s, const void* addr, int len);
int WSocket_connect(TSocket s, const void* addr, int len);
int WSocket_listen(TSocket s, int backlog);
// Returns a non-blocking socket.
TSocket WSocket_accept(TSocket s, void* addr, int* len);
int WSocket_recv(TSocket s, void* buf, int len, int flags);
int WSocket_recvfrom(TSocket s, void* buf, int len, int flags, void* from, int* fromLen);
int WSocket_send(TSocket s, const void* buf, int len, int flags);
// Gathers the ranges into one send.
int WSocket_sendv(TSocket s, const struct iovec* iov, int count, int flags);
int WSocket_sendto(TSocket s, const void* buf, int len, int flags, const void* to, int toLen);
int WSocket_getsockname(TSocket s, void* addr, int* len);
int WSocket_getpeername(TSocket s, void* addr, int* len);
// FIONREAD: bytes pending (the next datagram's size on a datagram socket).
int WSocket_ioctlsocket_FIONREAD(TSocket s, unsigned long* count);
// Guarded forms: they hold a user of the binding for the duration of the call.
int WSocket_setsockopt(TSocket s, int level, int name, const void* value, int len);
int WSocket_getsockopt(TSocket s, int level, int name, void* value, int* len);
// Extension calls (guarded): keep-alive times in milliseconds (applied in whole
// seconds), and receiving every packet, which this system refuses with 10045.
int WSocket_WSAIoctl_KeepAlive(TSocket s, uint32_t timeMs, uint32_t intervalMs);
int WSocket_WSAIoctl_RcvAll(TSocket s);
// Dotted text of an IPv4 address in network order ("" never happens for IPv4).
std::string WSocket_inet_ntoa(uint32_t addrNetOrder);
// Network-order address of a dotted text; 0xFFFFFFFF (INADDR_NONE) when invalid.
uint32_t WSocket_inet_addr(const std::string& text);

// Text routines used by the resolvers.
bool IsDecimalDigit(char c);
// Skips leading blanks, then reads decimal digits while they last (no sign);
// 0 when none. Saturates at 2147483647 instead of wrapping.
int ParseLeadingNumber(const std::string& text);
// True for " 10.0.0.1 " style texts: leading blanks, four decimal parts below
// 256 separated by exactly three dots, each dot followed by a digit, only
// blanks after the last part.
bool IsDottedIPv4(const std::string& text);
