// The socket binding: start and user counts, error texts and codes, and the socket call wrappers.
#include "sockets/WinsockApi.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

struct BindingState {
  std::mutex lock;
  bool loaded = false;
  bool extLoaded = false;  // the extension set (ioctl-style calls), loaded on its first use
  int users = 0;
  int starts = 0;
  uint16_t startedVersion = 0;
  uint8_t reqVerLow = 1;
  uint8_t reqVerHigh = 1;
};

BindingState& Binding() {
  static BindingState* state = new BindingState;  // lives until process end: wrappers may run late
  return *state;
}

thread_local int tLastError = 0;

// Holds one user of the binding while a guarded call runs, until the returned guard is left.
auto HoldUser() {
  WinsockAddUser();
  return TScopeExit([] {
    BindingState& b = Binding();
    std::lock_guard<std::mutex> g(b.lock);
    --b.users;  // never unloads from here: the caller's socket still counts
  });
}

int Fail() {
  tLastError = ErrnoToWinsock(errno);
  return SOCKET_ERROR;
}

}  // namespace

std::string WinsockErrorText(int code) {
  static const std::unordered_map<int, const char*> texts = {
      {0, "No Error"},
      {10004, "Interrupted system call"},
      {10009, "Bad file number"},
      {10013, "Permission denied"},
      {10014, "Bad address"},
      {10022, "Invalid argument"},
      {10024, "Too many open files"},
      {10035, "Operation would block"},
      {10036, "Operation now in progress"},
      {10037, "Operation already in progress"},
      {10038, "Socket operation on non-socket"},
      {10039, "Destination address required"},
      {10040, "Message too long"},
      {10041, "Protocol wrong type for socket"},
      {10042, "Protocol not available"},
      {10043, "Protocol not supported"},
      {10044, "Socket type not supported"},
      {10045, "Operation not supported on socket"},
      {10046, "Protocol family not supported"},
      {10047, "Address family not supported by protocol family"},
      {10048, "Address already in use"},
      {10049, "Address not available"},
      {10050, "Network is down"},
      {10051, "Network is unreachable"},
      {10052, "Network dropped connection on reset"},
      {10053, "Connection aborted"},
      {10054, "Connection reset by peer"},
      {10055, "No buffer space available"},
      {10056, "Socket is already connected"},
      {10057, "Socket is not connected"},
      {10058, "Can't send after socket shutdown"},
      {10059, "Too many references: can't splice"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10062, "Too many levels of symbolic links"},
      {10063, "File name too long"},
      {10064, "Host is down"},
      {10065, "No route to host"},
      {10066, "Directory not empty"},
      {10067, "Too many processes"},
      {10068, "Too many users"},
      {10069, "Disc quota exceeded"},
      {10070, "Stale NFS file handle"},
      {10071, "Too many levels of remote in path"},
      {10091, "Network sub-system is unusable"},
      {10092, "WinSock DLL cannot support this application"},
      {10093, "WinSock not initialized"},
      {11001, "Host not found"},
      {11002, "Non-authoritative host not found"},
      {11003, "Non-recoverable error"},
      {11004, "No Data"},
  };
  auto it = texts.find(code);
  return it == texts.end() ? "Not a WinSock error" : it->second;
}

std::string SocketErrorText(int code) { return WinsockErrorText(code) + " (#" + std::to_string(code) + ")"; }

std::string SystemErrorText(int code) {
  char buf[256];
  const char* text = strerror_r(code, buf, sizeof buf);
  return std::string(text) + " (#" + std::to_string(code) + ")";
}

int ErrnoToWinsock(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect under way
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSABASEERR + 900 + err;  // outside the table on purpose
  }
}

int ResolverErrorToWinsock(int gaiError) {
  switch (gaiError) {
    case 0: return 0;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
    case EAI_SYSTEM: return ErrnoToWinsock(errno);
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SERVICE:
    case EAI_SOCKTYPE: return WSANO_DATA;
    default: return WSAHOST_NOT_FOUND;
  }
}

int HErrnoToWinsock(int herr) {
  switch (herr) {
    case 0: return 0;
    case TRY_AGAIN: return WSATRY_AGAIN;
    case NO_RECOVERY: return WSANO_RECOVERY;
    case NO_DATA: return WSANO_DATA;
    default: return WSAHOST_NOT_FOUND;
  }
}

int WSocket_WSAGetLastError() { return tLastError; }
void WSocket_WSASetLastError(int code) { tLastError = code; }

uint8_t WinsockReqVerLow() {
  std::lock_guard<std::mutex> g(Binding().lock);
  return Binding().reqVerLow;
}

uint8_t WinsockReqVerHigh() {
  std::lock_guard<std::mutex> g(Binding().lock);
  return Binding().reqVerHigh;
}

bool WinsockSetReqVerLow(uint8_t v) {
  BindingState& b = Binding();
  std::lock_guard<std::mutex> g(b.lock);
  if (b.loaded) return false;
  b.reqVerLow = v;
  return true;
}

bool WinsockSetReqVerHigh(uint8_t v) {
  BindingState& b = Binding();
  std::lock_guard<std::mutex> g(b.lock);
  if (b.loaded) return false;
  b.reqVerHigh = v;
  return true;
}

bool WinsockLoaded() {
  std::lock_guard<std::mutex> g(Binding().lock);
  return Binding().loaded;
}

int WinsockStartCount() {
  std::lock_guard<std::mutex> g(Binding().lock);
  return Binding().starts;
}

uint16_t WinsockStartedVersion() {
  std::lock_guard<std::mutex> g(Binding().lock);
  return Binding().startedVersion;
}

void WinsockEnsureStarted() {
  BindingState& b = Binding();
  std::lock_guard<std::mutex> g(b.lock);
  if (b.loaded) return;
  b.loaded = true;
  ++b.starts;
  b.startedVersion = static_cast<uint16_t>(b.reqVerLow | (b.reqVerHigh << 8));
}

void UnloadWinSock() {
  BindingState& b = Binding();
  std::lock_guard<std::mutex> g(b.lock);
  if (b.loaded && b.users <= 0) b.loaded = b.extLoaded = false;
}

void WinsockAddUser() {
  BindingState& b = Binding();
  std::lock_guard<std::mutex> g(b.lock);
  ++b.users;
}

void WinsockRemoveUser() {
  BindingState& b = Binding();
  std::lock_guard<std::mutex> g(b.lock);
  if (b.users > 0) --b.users;
  if (b.users < 1 && b.loaded) b.loaded = b.extLoaded = false;
}

bool WinsockExtLoaded() {
  std::lock_guard<std::mutex> g(Binding().lock);
  return Binding().extLoaded;
}

namespace {
void EnsureExtLoaded() {
  WinsockEnsureStarted();
  std::lock_guard<std::mutex> g(Binding().lock);
  Binding().extLoaded = true;
}

template <class F>
void* Entry(F* f) {
  return reinterpret_cast<void*>(f);
}
}  // namespace

void* ResolveWinSockProc(const std::string& name) {
  WinsockEnsureStarted();
  if (name.empty()) return nullptr;
  static const std::unordered_map<std::string, void*> entries = {
      {"socket", Entry(&WSocket_socket)},
      {"closesocket", Entry(&WSocket_closesocket)},
      {"shutdown", Entry(&WSocket_shutdown)},
      {"bind", Entry(&WSocket_bind)},
      {"connect", Entry(&WSocket_connect)},
      {"listen", Entry(&WSocket_listen)},
      {"accept", Entry(&WSocket_accept)},
      {"recv", Entry(&WSocket_recv)},
      {"recvfrom", Entry(&WSocket_recvfrom)},
      {"send", Entry(&WSocket_send)},
      {"sendto", Entry(&WSocket_sendto)},
      {"getsockname", Entry(&WSocket_getsockname)},
      {"getpeername", Entry(&WSocket_getpeername)},
      {"ioctlsocket", Entry(&WSocket_ioctlsocket_FIONREAD)},
      {"setsockopt", Entry(&WSocket_setsockopt)},
      {"getsockopt", Entry(&WSocket_getsockopt)},
      {"WSAGetLastError", Entry(&WSocket_WSAGetLastError)},
      {"WSASetLastError", Entry(&WSocket_WSASetLastError)},
  };
  auto it = entries.find(name);
  if (it == entries.end())
    throw ESocketException("Procedure " + name + " not found in wsock32.dll - " + SystemErrorText(ENOENT));
  return it->second;
}

void* ResolveWinSock2Proc(const std::string& name) {
  EnsureExtLoaded();
  if (name.empty()) return nullptr;
  if (name == "WSAIoctl") return Entry(&WSocket_WSAIoctl_KeepAlive);
  throw ESocketException("Procedure " + name + " not found in ws2_32.dll - " + SystemErrorText(ENOENT));
}

int WSocket_WSAIoctl_KeepAlive(TSocket s, uint32_t timeMs, uint32_t intervalMs) {
  auto user = HoldUser();
  EnsureExtLoaded();
  // Milliseconds, rounded up to the seconds the system counts in.
  int idle = static_cast<int>(std::max<uint32_t>(1, (timeMs + 999) / 1000));
  int intvl = static_cast<int>(std::max<uint32_t>(1, (intervalMs + 999) / 1000));
  if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
      ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) != 0)
    return Fail();
  return 0;
}

int WSocket_WSAIoctl_RcvAll(TSocket) {
  auto user = HoldUser();
  EnsureExtLoaded();
  // Receiving every packet of an interface has no counterpart on this kind of socket.
  tLastError = WSAEOPNOTSUPP;
  return SOCKET_ERROR;
}

int WinsockUserCount() {
  std::lock_guard<std::mutex> g(Binding().lock);
  return Binding().users;
}

TSocket WSocket_socket(int af, int type, int protocol) {
  WinsockEnsureStarted();
  int s = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (s < 0) return Fail();
  return s;
}

int WSocket_closesocket(TSocket s) {
  WinsockEnsureStarted();
  // Called once: close() must not be retried on Linux, the descriptor is gone
  // even when it reports an error.
  if (::close(s) != 0 && errno != EINTR) return Fail();
  return 0;
}

int WSocket_shutdown(TSocket s, int how) {
  WinsockEnsureStarted();
  return ::shutdown(s, how) == 0 ? 0 : Fail();
}

int WSocket_bind(TSocket s, const void* addr, int len) {
  WinsockEnsureStarted();
  return ::bind(s, static_cast<const sockaddr*>(addr), static_cast<socklen_t>(len)) == 0 ? 0 : Fail();
}

int WSocket_connect(TSocket s, const void* addr, int len) {
  WinsockEnsureStarted();
  return ::connect(s, static_cast<const sockaddr*>(addr), static_cast<socklen_t>(len)) == 0 ? 0 : Fail();
}

int WSocket_listen(TSocket s, int backlog) {
  WinsockEnsureStarted();
  return ::listen(s, backlog) == 0 ? 0 : Fail();
}

TSocket WSocket_accept(TSocket s, void* addr, int* len) {
  WinsockEnsureStarted();
  socklen_t l = len ? static_cast<socklen_t>(*len) : 0;
  int r = ::accept4(s, static_cast<sockaddr*>(addr), len ? &l : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (r < 0) return Fail();
  if (len) *len = static_cast<int>(l);
  return r;
}

int WSocket_recv(TSocket s, void* buf, int len, int flags) {
  WinsockEnsureStarted();
  ssize_t r = ::recv(s, buf, len < 0 ? 0 : static_cast<size_t>(len), flags | MSG_DONTWAIT);
  return r < 0 ? Fail() : static_cast<int>(r);
}

int WSocket_recvfrom(TSocket s, void* buf, int len, int flags, void* from, int* fromLen) {
  WinsockEnsureStarted();
  socklen_t l = fromLen ? static_cast<socklen_t>(*fromLen) : 0;
  ssize_t r = ::recvfrom(s, buf, len < 0 ? 0 : static_cast<size_t>(len), flags | MSG_DONTWAIT,
                         static_cast<sockaddr*>(from), fromLen ? &l : nullptr);
  if (r < 0) return Fail();
  if (fromLen) *fromLen = static_cast<int>(l);
  return static_cast<int>(r);
}

int WSocket_send(TSocket s, const void* buf, int len, int flags) {
  WinsockEnsureStarted();
  ssize_t r = ::send(s, buf, len < 0 ? 0 : static_cast<size_t>(len), flags | MSG_NOSIGNAL | MSG_DONTWAIT);
  return r < 0 ? Fail() : static_cast<int>(r);
}

int WSocket_sendv(TSocket s, const struct iovec* iov, int count, int flags) {
  WinsockEnsureStarted();
  msghdr m{};
  m.msg_iov = const_cast<iovec*>(iov);
  m.msg_iovlen = static_cast<size_t>(count < 0 ? 0 : count);
  ssize_t r = ::sendmsg(s, &m, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
  return r < 0 ? Fail() : static_cast<int>(r);
}

int WSocket_sendto(TSocket s, const void* buf, int len, int flags, const void* to, int toLen) {
  WinsockEnsureStarted();
  ssize_t r = ::sendto(s, buf, len < 0 ? 0 : static_cast<size_t>(len), flags | MSG_NOSIGNAL | MSG_DONTWAIT,
                       static_cast<const sockaddr*>(to), static_cast<socklen_t>(toLen));
  return r < 0 ? Fail() : static_cast<int>(r);
}

int WSocket_getsockname(TSocket s, void* addr, int* len) {
  WinsockEnsureStarted();
  socklen_t l = static_cast<socklen_t>(*len);
  if (::getsockname(s, static_cast<sockaddr*>(addr), &l) != 0) return Fail();
  *len = static_cast<int>(l);
  return 0;
}

int WSocket_getpeername(TSocket s, void* addr, int* len) {
  WinsockEnsureStarted();
  socklen_t l = static_cast<socklen_t>(*len);
  if (::getpeername(s, static_cast<sockaddr*>(addr), &l) != 0) return Fail();
  *len = static_cast<int>(l);
  return 0;
}

int WSocket_ioctlsocket_FIONREAD(TSocket s, unsigned long* count) {
  WinsockEnsureStarted();
  int n = 0;
  if (::ioctl(s, FIONREAD, &n) != 0) return Fail();
  *count = n < 0 ? 0 : static_cast<unsigned long>(n);
  return 0;
}

int WSocket_setsockopt(TSocket s, int level, int name, const void* value, int len) {
  auto user = HoldUser();
  WinsockEnsureStarted();
  return ::setsockopt(s, level, name, value, static_cast<socklen_t>(len)) == 0 ? 0 : Fail();
}

int WSocket_getsockopt(TSocket s, int level, int name, void* value, int* len) {
  auto user = HoldUser();
  WinsockEnsureStarted();
  socklen_t l = static_cast<socklen_t>(*len);
  if (::getsockopt(s, level, name, value, &l) != 0) return Fail();
  *len = static_cast<int>(l);
  return 0;
}

std::string WSocket_inet_ntoa(uint32_t addrNetOrder) {
  auto user = HoldUser();
  in_addr a{};
  a.s_addr = addrNetOrder;
  char buf[INET_ADDRSTRLEN] = {};
  if (!::inet_ntop(AF_INET, &a, buf, sizeof buf)) return std::string();
  return buf;
}

uint32_t WSocket_inet_addr(const std::string& text) {
  // Decimal dotted form only (what the resolvers hand over); INADDR_NONE else.
  if (!IsDottedIPv4(text)) return 0xFFFFFFFFu;
  uint32_t host = 0;
  size_t i = 0;
  while (text[i] == ' ') ++i;
  for (int part = 0; part < 4; ++part) {
    uint32_t v = 0;
    while (i < text.size() && IsDecimalDigit(text[i])) v = v * 10 + static_cast<uint32_t>(text[i++] - '0');
    host = (host << 8) | v;
    ++i;  // the dot
  }
  return htonl(host);
}

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

int ParseLeadingNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  long long n = 0;
  while (i < text.size() && IsDecimalDigit(text[i])) {
    n = n * 10 + (text[i] - '0');
    if (n > INT_MAX) n = INT_MAX;  // saturate instead of wrapping
    ++i;
  }
  return static_cast<int>(n);
}

bool IsDottedIPv4(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  if (i >= n || text[i] == '.') return false;
  int dots = 0;
  long part = 0;
  bool digits = false;
  for (; i < n; ++i) {
    char c = text[i];
    if (IsDecimalDigit(c)) {
      part = part * 10 + (c - '0');
      if (part > 255) return false;
      digits = true;
    } else if (c == '.') {
      if (!digits) return false;
      ++dots;
      if (dots > 3) return false;
      if (i + 1 >= n || !IsDecimalDigit(text[i + 1])) return false;
      part = 0;
      digits = false;
    } else if (c == ' ') {
      break;
    } else {
      return false;
    }
  }
  for (; i < n; ++i)
    if (text[i] != ' ') return false;
  return dots == 3 && digits;
}
