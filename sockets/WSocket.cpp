#include "sockets/WSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/FdWatch.h"
#include "sockets/SocksProtocol.h"

// One asynchronous name lookup; a worker fills it and posts the answer.
struct TDnsRequest {
  std::vector<std::string> Results;
  int Error = 0;
  std::atomic<bool> Cancelled{false};
};

namespace {

std::atomic<uint64_t> gDnsRequestIds{0};

std::string Hex8(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

uint16_t LoWord(LPARAM l) { return static_cast<uint16_t>(static_cast<uint32_t>(l) & 0xFFFF); }
uint16_t HiWord(LPARAM l) { return static_cast<uint16_t>((static_cast<uint32_t>(l) >> 16) & 0xFFFF); }

bool IsConnectionGone(int code) {
  return code == WSAECONNRESET || code == WSAENOTSOCK || code == WSAENOTCONN || code == WSAEINVAL ||
         code == WSAECONNABORTED;
}

// The system resolver: every IPv4 address of the name. It cannot be
// interrupted; a cancelled lookup ends by the resolver's own time-outs.
int SystemLookupHost(const std::string& host, std::vector<std::string>& addresses, const std::atomic<bool>&) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) return ResolverErrorToWinsock(rc);
  for (addrinfo* p = res; p; p = p->ai_next) {
    auto* sin = reinterpret_cast<sockaddr_in*>(p->ai_addr);
    std::string s = WSocket_inet_ntoa(sin->sin_addr.s_addr);
    if (std::find(addresses.begin(), addresses.end(), s) == addresses.end()) addresses.push_back(s);
  }
  ::freeaddrinfo(res);
  return addresses.empty() ? WSANO_DATA : 0;
}

std::mutex gHostLookupLock;
THostLookup gHostLookup;

THostLookup CurrentHostLookup() {
  std::lock_guard<std::mutex> g(gHostLookupLock);
  return gHostLookup ? gHostLookup : THostLookup(&SystemLookupHost);
}

// Name lookups run on a few workers shared by every socket, so that lookups
// retried against a slow resolver queue up instead of piling up threads. A
// worker ends as soon as nothing waits; a cancelled lookup that has not started
// never runs.
class TLookupWorkers {
 public:
  struct TJob {
    std::shared_ptr<TDnsRequest> Request;
    std::function<void(TDnsRequest&)> Work;
    std::function<void(const TDnsRequest&)> Answer;
  };
  static constexpr int kMaxThreads = 4;

  static TLookupWorkers& Instance() {
    static TLookupWorkers* workers = new TLookupWorkers;  // detached workers may outlive static destruction
    return *workers;
  }

  void Submit(TJob job) {
    std::lock_guard<std::mutex> g(FLock);
    FQueue.push_back(std::move(job));
    if (FThreads - FBusy >= static_cast<int>(FQueue.size()) || FThreads >= kMaxThreads) return;
    try {
      std::thread(&TLookupWorkers::Run, this).detach();
    } catch (...) {
      FQueue.pop_back();
      throw;
    }
    ++FThreads;
  }

  int Threads() {
    std::lock_guard<std::mutex> g(FLock);
    return FThreads;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> g(FLock);
    while (!FQueue.empty()) {
      TJob job = std::move(FQueue.front());
      FQueue.pop_front();
      if (job.Request->Cancelled) continue;
      ++FBusy;
      g.unlock();
      job.Work(*job.Request);
      if (!job.Request->Cancelled) job.Answer(*job.Request);
      job = TJob{};
      g.lock();
      --FBusy;
    }
    --FThreads;
  }

  std::mutex FLock;
  std::deque<TJob> FQueue;
  int FThreads = 0;
  int FBusy = 0;
};

// Reverse lookup: the host name followed by its aliases.
void LookupAddr(uint32_t addr, TDnsRequest& req) {
  hostent he{};
  hostent* result = nullptr;
  std::vector<char> buf(8192);
  int herr = 0;
  int rc = ::gethostbyaddr_r(&addr, 4, AF_INET, &he, buf.data(), buf.size(), &result, &herr);
  if (rc != 0 || !result) {
    req.Error = rc == ERANGE ? WSAENOBUFS : HErrnoToWinsock(herr ? herr : HOST_NOT_FOUND);
    return;
  }
  req.Results.push_back(result->h_name ? result->h_name : "");
  for (char** a = result->h_aliases; a && *a; ++a) req.Results.push_back(*a);
}

}  // namespace

THostLookup SetHostLookup(THostLookup lookup) {
  std::lock_guard<std::mutex> g(gHostLookupLock);
  THostLookup previous = std::move(gHostLookup);
  gHostLookup = std::move(lookup);
  return previous;
}

int DnsLookupThreads() { return TLookupWorkers::Instance().Threads(); }

std::string SocketStateName(TSocketState s) {
  static const char* const names[] = {"wsInvalidState", "wsOpened",    "wsBound",      "wsConnecting", "wsSocksConnected",
                                      "wsConnected",    "wsAccepting", "wsListening", "wsClosed"};
  const int i = static_cast<int>(s);
  return i >= 0 && i <= 8 ? names[i] : "wsInvalidState";
}

TStringList& WSocketList() {
  static TStringList* list = new TStringList;
  return *list;
}

std::mutex& WSocketListLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

void RegisterWSocketClasses() {
  RegisterClasses({TWSocket::StaticClass(), TSockLogger::StaticClass()});
}

// ===========================================================================
// TCustomWSocket: construction, messages, events

TCustomWSocket::TCustomWSocket(TComponent* AOwner)
    : TSockWndControl(AOwner), FAlive(std::make_shared<bool>(true)) {
  AllocateWindow();
  FBufHandler = std::make_unique<TSockBufferHandler>(nullptr, 1460);
  FMultiCastIpTTL = 1;
  FListenBacklog = 5;
  FBufferedByteCount = 0;
  AssignDefaultValue();
  WinsockAddUser();
}

TCustomWSocket::~TCustomWSocket() {
  Destroying();
  try {
    CancelDnsLookup();
    if (FState != wsClosed || FHSocket != INVALID_SOCKET) InternalClose(true, 0);
  } catch (...) {
  }
  FWatch.reset();
  *FAlive = false;
  if (FSockLogger) FSockLogger->RemoveFreeNotification(this);
  WinsockRemoveUser();
  try {
    ReleaseWindowOnce();
  } catch (...) {
  }
}

int TCustomWSocket::MessagesNeeded() { return TSockWndControl::MessagesNeeded() + 6; }

void TCustomWSocket::ClaimMessages() {
  TSockWndControl::ClaimMessages();
  FMsgSocketEvents = AllocateMsg();
  FMsgHostLookup = AllocateMsg();
  FMsgAddrLookup = AllocateMsg();
  FMsgCloseDelayed = AllocateMsg();
  FMsgTestException = AllocateMsg();
  FMsgLineRetrigger = AllocateMsg();
}

void TCustomWSocket::ReturnMessages() {
  FreeMsg(FMsgSocketEvents);
  FreeMsg(FMsgHostLookup);
  FreeMsg(FMsgAddrLookup);
  FreeMsg(FMsgCloseDelayed);
  FreeMsg(FMsgTestException);
  FreeMsg(FMsgLineRetrigger);
  TSockWndControl::ReturnMessages();
}

void TCustomWSocket::AssignDefaultValue() {
  std::memset(&Fsin, 0, sizeof Fsin);
  Fsin.sin_family = AF_INET;
  FAF = AF_INET;
  FPortAssigned = false;
  FPortResolved = false;
  FAddrAssigned = false;
  FAddrResolved = false;
  FProtoResolved = false;
  FLocalPortResolved = false;
  FProtoStr = "tcp";
  FProto = IPPROTO_TCP;
  FProtoAssigned = true;
  FType = SOCK_STREAM;
  FLocalPortStr = "0";
  FLocalAddr = "0.0.0.0";
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  FHSocket = INVALID_SOCKET;
  FSelectMask = 0;
  FState = wsClosed;
  FAllSent = true;
  FReadCount = 0;
  FPaused = false;
  FCloseInvoked = false;
  FFlushTimeout = 60;
}

void TCustomWSocket::HandleWindowMessage(TMessage& msg) {
  RunHandlingExceptions([&] {
    if (msg.Msg == FMsgSocketEvents) {
      DispatchSocketEvents(msg);
    } else if (msg.Msg == FMsgHostLookup || msg.Msg == FMsgAddrLookup) {
      WMAsyncLookupDone(msg);
    } else if (msg.Msg == FMsgCloseDelayed) {
      Close();
    } else if (msg.Msg == FMsgTestException) {
      throw ESocketException("Test exception in WSocket");
    } else {
      TSockWndControl::HandleWindowMessage(msg);
    }
  });
}

void TCustomWSocket::AbortComponent() {
  try {
    Abort();
  } catch (...) {
  }
}

WPARAM TCustomWSocket::SessionTag() const {
  return static_cast<WPARAM>(static_cast<uint32_t>(FHSocket)) | (static_cast<WPARAM>(FSession) << 32);
}

void TCustomWSocket::DispatchSocketEvents(TMessage& msg) {
  if (FHSocket == INVALID_SOCKET || msg.WParam != SessionTag()) return;
  const uint16_t events = LoWord(msg.LParam);
  const uint16_t err = HiWord(msg.LParam);
  if (FPaused) {
    // Each event is reported once by the readiness layer: keep it for the resume.
    for (int i = 0; i < kEventCount; ++i)
      if (events & kEventOrder[i]) {
        FHeldEvents |= kEventOrder[i];
        FHeldErrors[i] = err;
      }
    return;
  }
  auto alive = FAlive;
  const uint32_t session = FSession;
  for (int ev : kEventOrder) {
    if (!(events & ev)) continue;
    if (!*alive || FSession != session) return;
    FSelectEvent = ev;
    switch (ev) {
      case FD_CONNECT: Do_FD_CONNECT(err); break;
      case FD_READ: Do_FD_READ(err); break;
      case FD_WRITE: Do_FD_WRITE(err); break;
      case FD_ACCEPT: Do_FD_ACCEPT(err); break;
      case FD_CLOSE: Do_FD_CLOSE(err); break;
    }
    if (!*alive) return;
    FSelectEvent = 0;
  }
}

void TCustomWSocket::ChangeState(TSocketState NewState) {
  const TSocketState old = FState;
  FState = NewState;
  UpdateInterest();
  // No events out of a component being destroyed: its handlers' targets may be gone.
  if (old != NewState && !ComponentState().Contains(csDestroying)) TriggerChangeState(old, NewState);
}

bool TCustomWSocket::TriggerDataAvailable(uint16_t ErrCode) {
  if (!OnDataAvailable) return false;
  OnDataAvailable(this, ErrCode);
  return true;
}

void TCustomWSocket::TriggerSessionAvailable(uint16_t ErrCode) {
  if (OnSessionAvailable) OnSessionAvailable(this, ErrCode);
}

void TCustomWSocket::TriggerSessionConnectedSpecial(uint16_t ErrCode) { TriggerSessionConnected(ErrCode); }

void TCustomWSocket::TriggerSessionConnected(uint16_t ErrCode) {
  if (OnSessionConnected) OnSessionConnected(this, ErrCode);
}

void TCustomWSocket::TriggerSessionClosed(uint16_t ErrCode) {
  if (OnSessionClosed) OnSessionClosed(this, ErrCode);
}

void TCustomWSocket::TriggerDataSent(uint16_t ErrCode) {
  if (LogOptionEnabled(loWsockDump))
    WriteDebugLog(loWsockDump, Hex8(this) + " TriggerDataSent " + std::to_string(FHSocket));
  if (OnDataSent) OnDataSent(this, ErrCode);
}

void TCustomWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
  if (OnChangeState) OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::TriggerDNSLookupDone(uint16_t ErrCode) {
  if (OnDnsLookupDone) OnDnsLookupDone(this, ErrCode);
}

void TCustomWSocket::TriggerError() {
  if (OnError) OnError(this);
}

void TCustomWSocket::TriggerSendData(int BytesSent) {
  if (OnSendData) OnSendData(this, BytesSent);
}

void TCustomWSocket::ReportError(const std::string& Msg) {
  if (OnError)
    TriggerError();
  else
    throw ESocketException(Msg);
}

void TCustomWSocket::ReportSocketError(const std::string& CallName) {
  const int code = WSocket_WSAGetLastError();
  const std::string msg = WinsockErrorText(code) + " (#" + std::to_string(code) + " in " + CallName + ")";
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    if (FHSocket != INVALID_SOCKET) {
      FWatch.reset();
      WSocket_closesocket(FHSocket);
      FHSocket = INVALID_SOCKET;
      ++FSession;
    }
    if (FState != wsClosed) {
      if (!FCloseInvoked) {
        FCloseInvoked = true;
        TriggerSessionClosed(static_cast<uint16_t>(code));
      }
      ChangeState(wsClosed);
    }
  }
  FLastError = code;
  ReportError(msg);
}

// ===========================================================================
// Properties

// Addr, Port and Proto: the same text changes nothing; otherwise only while closed.
void TCustomWSocket::SetEndpointText(std::string& field, bool& assigned, bool& resolved, const std::string& v,
                                     const char* what) {
  if (assigned && v == field) return;
  if (FState != wsClosed) {
    ReportError(std::string("Cannot change ") + what + " if not closed");
    return;
  }
  field = Trim(v);
  assigned = !field.empty();
  resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& v) { SetEndpointText(FAddrStr, FAddrAssigned, FAddrResolved, v, "Addr"); }
void TCustomWSocket::SetPort(const std::string& v) { SetEndpointText(FPortStr, FPortAssigned, FPortResolved, v, "Port"); }
void TCustomWSocket::SetProto(const std::string& v) {
  SetEndpointText(FProtoStr, FProtoAssigned, FProtoResolved, v, "Proto");
}

void TCustomWSocket::SetLocalPort(const std::string& v) {
  if (FState != wsClosed) {
    ReportError("Cannot change LocalPort if not closed");
    return;
  }
  FLocalPortStr = v;
  FLocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& v) {
  if (FState != wsClosed) {
    ReportError("Cannot change LocalAddr if not closed");
    return;
  }
  FLocalAddr = v.empty() ? "0.0.0.0" : v;
}

TSocketSendFlags TCustomWSocket::SendFlags() {
  switch (FSendFlags) {
    case 0: return wsSendNormal;
    case MSG_OOB: return wsSendUrgent;
    default:
      ReportError("Invalid internal SendFlags");
      return wsSendNormal;
  }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags v) {
  switch (v) {
    case wsSendNormal: FSendFlags = 0; break;
    case wsSendUrgent: FSendFlags = MSG_OOB; break;
    default: ReportError("Invalid SendFlags");
  }
}

uint8_t TCustomWSocket::ReqVerLow() const { return WinsockReqVerLow(); }
uint8_t TCustomWSocket::ReqVerHigh() const { return WinsockReqVerHigh(); }

void TCustomWSocket::SetReqVerLow(uint8_t v) {
  if (!WinsockSetReqVerLow(v)) ReportError("SetReqVerLow: WinSock version can't be changed now");
}

void TCustomWSocket::SetReqVerHigh(uint8_t v) {
  if (!WinsockSetReqVerHigh(v)) ReportError("SetReqVerHigh: WinSock version can't be changed now");
}

void TCustomWSocket::SetSockLogger(TSockLogger* v) {
  if (v == FSockLogger) return;
  if (FSockLogger) FSockLogger->RemoveFreeNotification(this);
  FSockLogger = v;
  if (v) v->FreeNotification(this);
}

void TCustomWSocket::Notification(TComponent* AComponent, TOperation Operation) {
  TSockWndControl::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent == FSockLogger) FSockLogger = nullptr;
}

bool TCustomWSocket::LogOptionEnabled(TLogOption option) const {
  return FSockLogger && FSockLogger->LogOptions().Contains(option);
}

void TCustomWSocket::WriteDebugLog(TLogOption option, const std::string& Msg) {
  if (FSockLogger) FSockLogger->WriteLogLine(this, option, Msg);
}

void TCustomWSocket::SetSocketRcvBufSize(int v) {
  if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_RCVBUF, &v, sizeof v) != 0) {
    ReportSocketError("setsockopt(SO_RCVBUF)");
    return;
  }
  FSocketRcvBufSize = v;
}

void TCustomWSocket::SetSocketSndBufSize(int v) {
  if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, &v, sizeof v) != 0) {
    ReportSocketError("setsockopt(SO_SNDBUF)");
    return;
  }
  FSocketSndBufSize = v;
}

void TCustomWSocket::SetLingerOption() {
  if (FLingerOnOff == wsLingerNoSet) return;
  if (FHSocket == INVALID_SOCKET) {
    ReportError("Cannot set linger option at this time");
    return;
  }
  linger l{};
  l.l_onoff = FLingerOnOff == wsLingerOn ? 1 : 0;
  l.l_linger = FLingerTimeout;
  if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
    ReportSocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::SetKeepAliveOption() {
  if (FKeepAliveOnOff == wsKeepAliveOff) return;
  int on = 1;
  if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
    ReportSocketError("setsockopt(SO_KEEPALIVE)");
    return;
  }
  if (FKeepAliveOnOff != wsKeepAliveOnCustom) return;
  if (WSocket_WSAIoctl_KeepAlive(FHSocket, FKeepAliveTime, FKeepAliveInterval) != 0)
    ReportSocketError("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
}

void TCustomWSocket::ReadBufferSizes() {
  int v = 0;
  int len = sizeof v;
  if (WSocket_getsockopt(FHSocket, SOL_SOCKET, SO_SNDBUF, &v, &len) != 0) {
    ReportSocketError("getsockopt(SO_SNDBUF)");
    return;
  }
  FSocketSndBufSize = v;
  len = sizeof v;
  if (WSocket_getsockopt(FHSocket, SOL_SOCKET, SO_RCVBUF, &v, &len) != 0) {
    ReportSocketError("getsockopt(SO_RCVBUF)");
    return;
  }
  FSocketRcvBufSize = v;
}

// ===========================================================================
// Resolvers

int TCustomWSocket::TryResolveHost(const std::string& host, uint32_t& addr, std::string& message) {
  addr = INADDR_NONE;
  if (host.empty()) {
    message = "Winsock Resolve Host: '" + host + "' Invalid Hostname.";
    return WSAHOST_NOT_FOUND;
  }
  if (IsDottedIPv4(host)) {
    addr = WSocket_inet_addr(host);
    if (addr == INADDR_NONE && Trim(host) != "255.255.255.255") {
      message = "Winsock Resolve Host: '" + host + "' Invalid IP address.";
      return WSAHOST_NOT_FOUND;
    }
    return 0;
  }
  std::vector<std::string> addresses;
  const std::atomic<bool> running{false};
  WinsockEnsureStarted();
  int error = CurrentHostLookup()(host, addresses, running);
  if (error == 0 && addresses.empty()) error = WSANO_DATA;
  if (error != 0) {
    message = "Winsock Resolve Host: Cannot convert host address '" + host + "' - " + SocketErrorText(error);
    return error;
  }
  addr = WSocket_inet_addr(addresses.front());
  return 0;
}

uint32_t TCustomWSocket::ResolveHost(const std::string& host) {
  uint32_t addr;
  std::string message;
  if (TryResolveHost(host, addr, message) != 0) throw ESocketException(message);
  return addr;
}

int TCustomWSocket::ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty()) throw ESocketException("Winsock Resolve Port: Invalid Port.");
  if (proto.empty()) throw ESocketException("Winsock Resolve Port: Invalid Proto.");
  if (IsDecimalDigit(port[0])) {
    int n = ParseLeadingNumber(port);
    if (n > 65535) throw ESocketException("Winsock Resolve Port: Invalid Port.");
    return n;
  }
  servent se{};
  servent* result = nullptr;
  char buf[1024];
  std::string p = LowerCase(proto);
  if (p == "6") p = "tcp";
  if (p == "17") p = "udp";
  ::getservbyname_r(port.c_str(), p.c_str(), &se, buf, sizeof buf, &result);
  if (!result)
    throw ESocketException("Winsock Resolve Port: Cannot convert port '" + port + "' - " +
                           SocketErrorText(WSANO_DATA));
  return ntohs(static_cast<uint16_t>(result->s_port));
}

int TCustomWSocket::ResolveProto(const std::string& proto) {
  if (proto.empty()) throw ESocketException("Winsock Resolve Proto: Invalid Protocol.");
  if (IsDecimalDigit(proto[0])) return ParseLeadingNumber(proto);
  if (SameText(proto, "tcp")) return IPPROTO_TCP;
  if (SameText(proto, "udp")) return IPPROTO_UDP;
  if (SameText(proto, "raw")) return IPPROTO_RAW;
  protoent pe{};
  protoent* result = nullptr;
  char buf[1024];
  ::getprotobyname_r(LowerCase(proto).c_str(), &pe, buf, sizeof buf, &result);
  if (!result)
    throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + proto + "' - " +
                           SocketErrorText(WSANO_DATA));
  return result->p_proto;
}

void TCustomWSocket::MarkPortResolved(int port) {
  FPortNum = port;
  Fsin.sin_port = htons(static_cast<uint16_t>(port));
  FPortResolved = true;
}

void TCustomWSocket::MarkAddrResolved(uint32_t addr) {
  Fsin.sin_addr.s_addr = addr;
  FAddrResolved = true;
}

// Resolves protocol, port, address (and the local port for a connect); raises.
bool TCustomWSocket::ResolveProtoAndType(bool forConnect) {
  if (!FProtoResolved) {
    if (FProtoStr.size() >= 4 && SameText(FProtoStr.substr(0, 4), "raw_")) {
      FType = SOCK_RAW;
      FProto = ResolveProto(FProtoStr.substr(4, 10));
    } else {
      FProto = ResolveProto(FProtoStr);
      if (forConnect)
        FType = FProto == IPPROTO_TCP ? SOCK_STREAM : FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
      else
        FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    }
    FProtoResolved = true;
  }
  if (!FPortResolved) MarkPortResolved(ResolvePort(FPortStr, FProtoStr));
  if (!FAddrResolved) MarkAddrResolved(ResolveHost(FAddrStr));
  if (forConnect && !FLocalPortResolved) {
    FLocalPortNum = ResolvePort(FLocalPortStr, FProtoStr);
    FLocalPortResolved = true;
  }
  return true;
}

// ===========================================================================
// Readiness: descriptor notifications become posted network events

void TCustomWSocket::PostSocketEvent(int event, int error) {
  PostMsg(FMsgSocketEvents, SessionTag(), static_cast<LPARAM>((event & 0xFFFF) | ((error & 0xFFFF) << 16)));
}

void TCustomWSocket::PostWriteOnce() {
  if (FWritePosted || !(FSelectMask & FD_WRITE)) return;
  FWritePosted = true;
  PostSocketEvent(FD_WRITE, 0);
}

int TCustomWSocket::AsyncSelect(int mask) {
  FSelectMask = mask;
  if (mask == 0 || FHSocket == INVALID_SOCKET) {
    FWatch.reset();
    return 0;
  }
  if (!FWatch || FWatch->Fd() != FHSocket) {
    try {
      FWatch = std::make_unique<TFdWatch>(FHSocket);
    } catch (std::exception&) {
      WSocket_WSASetLastError(WSAENOTSOCK);
      return SOCKET_ERROR;
    }
    FWatch->OnReadable = [this] { OnReadable(); };
    FWatch->OnWritable = [this] { OnWritable(); };
  }
  UpdateInterest();
  // A datagram socket, or one connected already, can send at once.
  if ((mask & FD_WRITE) && (FType != SOCK_STREAM || FState == wsConnected)) PostWriteOnce();
  return 0;
}

void TCustomWSocket::UpdateInterest() {
  if (!FWatch) return;
  const bool open = FState == wsConnected || FState == wsListening || FState == wsSocksConnected ||
                    (FType != SOCK_STREAM && FState == wsBound);
  const bool wantRead =
      !FPaused && open && (FSelectMask & (FD_READ | FD_ACCEPT | FD_CLOSE)) && !FReadPending && !FCloseNotified;
  const bool wantWrite = !FPaused && (FSelectMask & (FD_WRITE | FD_CONNECT)) &&
                         ((FState == wsConnecting && !FConnectPosted) || FWantWrite);
  if (FWatch->ReadEnabled() != wantRead) FWatch->SetReadEnabled(wantRead);
  if (FWatch->WriteEnabled() != wantWrite) FWatch->SetWriteEnabled(wantWrite);
}

void TCustomWSocket::ReArmRead() {
  if (!FReadPending) return;
  FReadPending = false;
  UpdateInterest();
}

void TCustomWSocket::OnReadable() {
  if (FHSocket == INVALID_SOCKET) return;
  if (FType == SOCK_STREAM && FState == wsListening) {
    FReadPending = true;  // until the next Accept
    UpdateInterest();
    PostSocketEvent(FD_ACCEPT, 0);
    return;
  }
  if (FType == SOCK_STREAM) {
    char c;
    ssize_t r = ::recv(FHSocket, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r > 0) {
      FReadPending = true;  // until the next read
      UpdateInterest();
      PostSocketEvent(FD_READ, 0);
      return;
    }
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // End of stream or a failure: the peer is gone.
    const int code = r == 0 ? 0 : ErrnoToWinsock(errno);
    FCloseNotified = true;
    UpdateInterest();
    PostSocketEvent(FD_CLOSE, code);
    return;
  }
  FReadPending = true;
  UpdateInterest();
  PostSocketEvent(FD_READ, 0);
}

void TCustomWSocket::OnWritable() {
  if (FHSocket == INVALID_SOCKET) return;
  if (FState == wsConnecting && !FConnectPosted) {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(FHSocket, SOL_SOCKET, SO_ERROR, &err, &len);
    FConnectPosted = true;
    UpdateInterest();
    const int code = ErrnoToWinsock(err);
    PostSocketEvent(FD_CONNECT, code);
    if (code == 0) PostWriteOnce();
    return;
  }
  FWantWrite = false;
  UpdateInterest();
  PostWriteOnce();
}

// ===========================================================================
// Listen, connect, accept, close

void TCustomWSocket::Listen() {
  if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
    // A second listen would leak the open descriptor.
    WSocket_WSASetLastError(WSAEINVAL);
    ReportSocketError("listen: socket already in use");
    return;
  }
  if (!FPortAssigned) {
    WSocket_WSASetLastError(WSAEINVAL);
    ReportSocketError("listen: port not assigned");
    return;
  }
  if (!FProtoAssigned) {
    WSocket_WSASetLastError(WSAEINVAL);
    ReportSocketError("listen: protocol not assigned");
    return;
  }
  if (!FAddrAssigned) {
    WSocket_WSASetLastError(WSAEINVAL);
    ReportSocketError("listen: address not assigned");
    return;
  }
  if (!OpenSocket(false, "listen: ", "socket")) return;
  ClosingOnThrow([this] { ListenOpened(); });
}

void TCustomWSocket::ClosingOnThrow(const std::function<void()>& steps) {
  try {
    steps();
  } catch (...) {
    // A report raised on the way: the new descriptor must not stay open.
    if (FHSocket != INVALID_SOCKET) {
      try {
        InternalClose(false, 0);
      } catch (...) {
      }
    }
    throw;
  }
}

void TCustomWSocket::ListenOpened() {
  auto fail = [this](const std::string& call) { FailAndClose(call); };
  if (FType == SOCK_DGRAM && FReuseAddr) {
    int on = -1;
    if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
      return fail("setsockopt(SO_REUSEADDR)");
  }
  if (WSocket_bind(FHSocket, &Fsin, sizeof Fsin) != 0) return fail("Bind");
  ChangeState(wsBound);
  if (FType == SOCK_STREAM) {
    if (WSocket_listen(FHSocket, FListenBacklog) != 0) return fail("Listen");
    ChangeState(wsListening);
  } else if (FType == SOCK_DGRAM) {
    if (FMultiCast) {
      ip_mreq mreq{};
      mreq.imr_multiaddr.s_addr = WSocket_inet_addr(FMultiCastAddrStr);
      try {
        mreq.imr_interface.s_addr = ResolveHost(FAddrStr);
      } catch (Exception& e) {
        InternalClose(false, 0);
        ReportError("listen: " + e.Message());
        return;
      }
      if (WSocket_setsockopt(FHSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0)
        return fail("setsockopt(IP_ADD_MEMBERSHIP)");
    }
    ChangeState(wsListening);
    ChangeState(wsConnected);
    TriggerSessionConnectedSpecial(0);
  } else if (FType == SOCK_RAW) {
    if (FComponentOptions.Contains(wsoSIO_RCVALL) && WSocket_WSAIoctl_RcvAll(FHSocket) != 0)
      return fail("WSAIoctl(SIO_RCVALL)");
    ChangeState(wsListening);
    ChangeState(wsConnected);
    TriggerSessionConnectedSpecial(0);
  } else {
    WSocket_WSASetLastError(WSAEINVAL);
    return fail("Listen: unexpected protocol.");
  }
  if (FHSocket == INVALID_SOCKET) return;  // closed by an event handler
  const int mask = FType == SOCK_STREAM ? (FD_ACCEPT | FD_CLOSE) : (FD_ACCEPT | FD_CLOSE | FD_READ | FD_WRITE);
  if (AsyncSelect(mask) != 0) return fail("WSAASyncSelect");
}

bool TCustomWSocket::OpenSocket(bool forConnect, const std::string& resolveContext, const std::string& socketCall) {
  try {
    ResolveProtoAndType(forConnect);
  } catch (Exception& e) {
    ReportError(resolveContext + e.Message());
    return false;
  }
  DiscardQueuedData();
  FHSocket = WSocket_socket(FAF, FType, FProto);
  if (FHSocket == INVALID_SOCKET) {
    ReportSocketError(socketCall);
    return false;
  }
  NewSession();
  return true;
}

void TCustomWSocket::NewSession() {
  ++FSession;
  FHeldValid = false;
  FPendingHint = -1;
  FReadPending = FCloseNotified = FConnectPosted = FWantWrite = FWritePosted = false;
  FHeldEvents = 0;
}

void TCustomWSocket::FailAndClose(const std::string& call) {
  const int code = WSocket_WSAGetLastError();
  InternalClose(false, 0);
  WSocket_WSASetLastError(code);
  ReportSocketError(call);
}

bool TCustomWSocket::BindSocket() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(FLocalPortNum));
  try {
    local.sin_addr.s_addr = ResolveHost(FLocalAddr);
  } catch (Exception& e) {
    ReportError("Bind socket failed - " + e.Message());
    return false;
  }
  if (WSocket_bind(FHSocket, &local, sizeof local) != 0) {
    ReportError("Bind socket failed - " + SocketErrorText(WSocket_WSAGetLastError()));
    return false;
  }
  sockaddr_in bound{};
  int len = sizeof bound;
  if (WSocket_getsockname(FHSocket, &bound, &len) != 0) {
    ReportError("Winsock get socket name failed - " + SocketErrorText(WSocket_WSAGetLastError()));
    return false;
  }
  FLocalPortNum = ntohs(bound.sin_port);
  FLocalPortStr = std::to_string(FLocalPortNum);
  return true;
}

void TCustomWSocket::Connect() {
  if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
    ReportError("Connect: Socket already in use");
    return;
  }
  if (!FPortAssigned) {
    ReportError("Connect: No Port Specified");
    return;
  }
  if (!FAddrAssigned) {
    ReportError("Connect: No IP Address Specified");
    return;
  }
  if (!FProtoAssigned) {
    ReportError("Connect: No Protocol Specified");
    return;
  }
  if (!OpenSocket(true, "connect: ", "Connect (socket)")) return;
  ClosingOnThrow([this] { ConnectOpened(); });
}

void TCustomWSocket::ConnectOpened() {
  auto fail = [this](const std::string& call) { FailAndClose(call); };
  auto failReported = [this] {  // the error has been reported already
    if (FHSocket != INVALID_SOCKET) InternalClose(false, 0);
  };
  ReadBufferSizes();
  if (FHSocket == INVALID_SOCKET) return;
  ChangeState(wsOpened);
  if (FState != wsOpened) {
    WSocket_WSASetLastError(WSAEINVAL);
    return fail("Connect (Invalid operation in OnChangeState)");
  }
  if (FType == SOCK_DGRAM) {
    if (!BindSocket()) return failReported();
    if (FMultiCast) {
      if (FMultiCastIpTTL != 1) {
        int ttl = FMultiCastIpTTL;
        if (WSocket_setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
          return fail("setsockopt(IP_MULTICAST_TTL)");
      }
      if (FLocalAddr != "0.0.0.0") {
        in_addr ifaddr{};
        try {
          ifaddr.s_addr = ResolveHost(FLocalAddr);
        } catch (Exception& e) {
          failReported();
          ReportError("connect: " + e.Message());
          return;
        }
        if (WSocket_setsockopt(FHSocket, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr) != 0)
          return fail("setsockopt(IP_MULTICAST_IF)");
      }
    }
    if (Fsin.sin_addr.s_addr == INADDR_BROADCAST) {
      int on = 1;
      if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return fail("setsockopt(SO_BROADCAST)");
    }
  } else {
    int on = -1;
    if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
      return fail("setsockopt(SO_REUSEADDR)");
    if (FComponentOptions.Contains(wsoTcpNoDelay) &&
        WSocket_setsockopt(FHSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
      return fail("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
    SetLingerOption();
    if (FHSocket == INVALID_SOCKET) return;
    SetKeepAliveOption();
    if (FHSocket == INVALID_SOCKET) return;
    if ((FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") && !BindSocket()) return failReported();
  }
  if (AsyncSelect(FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE) != 0) return fail("WSAAsyncSelect");
  if (FType == SOCK_DGRAM) {
    ChangeState(wsConnected);
    TriggerSessionConnectedSpecial(0);
    return;
  }
  if (LogOptionEnabled(loWsockInfo))
    WriteDebugLog(loWsockInfo, "TWSocket will connect to " + WSocket_inet_ntoa(Fsin.sin_addr.s_addr) + ":" +
                                   std::to_string(ntohs(Fsin.sin_port)));
  if (WSocket_connect(FHSocket, &Fsin, sizeof Fsin) == 0) {
    // Connected at once: report it from the loop as usual.
    ChangeState(wsConnecting);
    FConnectPosted = true;
    UpdateInterest();
    PostSocketEvent(FD_CONNECT, 0);
    PostWriteOnce();
    return;
  }
  const int code = WSocket_WSAGetLastError();
  if (code == WSAEWOULDBLOCK) {
    ChangeState(wsConnecting);
    return;
  }
  if (code == WSAECONNREFUSED || code == WSAETIMEDOUT || code == WSAENETUNREACH || code == WSAEHOSTUNREACH ||
      code == WSAECONNRESET) {
    // Refused before the call returned: deliver it the way an asynchronous failure arrives.
    ChangeState(wsConnecting);
    FConnectPosted = true;
    UpdateInterest();
    PostSocketEvent(FD_CONNECT, code);
    return;
  }
  FLastError = code;
  fail("Connect");
}

TSocket TCustomWSocket::Accept() {
  if (FState != wsListening) {
    WSocket_WSASetLastError(WSAEINVAL);
    ReportSocketError("not a listening socket");
    return INVALID_SOCKET;
  }
  int len = sizeof Fsin;
  FLastAccepted = WSocket_accept(FHSocket, &Fsin, &len);
  ReArmRead();
  if (FLastAccepted == INVALID_SOCKET) {
    ReportSocketError("Accept");
    return INVALID_SOCKET;
  }
  return FLastAccepted;
}

void TCustomWSocket::Dup(TSocket NewHSocket) {
  if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
    WSocket_WSASetLastError(WSAEINVAL);
    ReportSocketError("Dup");
    return;
  }
  if (FState != wsClosed || FHSocket != INVALID_SOCKET) {
    FWatch.reset();
    const int r = FHSocket != INVALID_SOCKET ? WSocket_closesocket(FHSocket) : 0;
    FHSocket = INVALID_SOCKET;
    ChangeState(wsClosed);
    if (r != 0) {
      ReportSocketError("Dup (closesocket)");
      return;
    }
  }
  FHSocket = NewHSocket;
  NewSession();
  FType = SOCK_STREAM;
  ClosingOnThrow([this] {
    ReadBufferSizes();
    if (FHSocket == INVALID_SOCKET) return;
    SetLingerOption();
    if (FHSocket == INVALID_SOCKET) return;
    FState = wsConnected;  // selected below; the change is reported after
    if (AsyncSelect(FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0) {
      FState = wsClosed;
      FailAndClose("WSAAsyncSelect");
      return;
    }
    FState = wsClosed;
    ChangeState(wsConnected);
  });
}

void TCustomWSocket::Shutdown(int How) {
  if (LogOptionEnabled(loWsockInfo))
    WriteDebugLog(loWsockInfo,
                  Hex8(this) + " " + "TCustomWSocket.Shutdown " + std::to_string(How) + " " + std::to_string(FHSocket));
  if (FHSocket != INVALID_SOCKET) WSocket_shutdown(FHSocket, How);
}

void TCustomWSocket::Close() { InternalClose(true, 0); }

void TCustomWSocket::CloseLater() { PostMsg(FMsgCloseDelayed, 0, 0); }

void TCustomWSocket::Abort() {
  CancelDnsLookup();
  DiscardQueuedData();
  if (FState == wsConnected && FType == SOCK_STREAM && FHSocket != INVALID_SOCKET) {
    FLingerOnOff = wsLingerOff;
    SetLingerOption();
  }
  InternalClose(false, 0);
}

void TCustomWSocket::InternalClose(bool bShut, uint16_t Error) {
  if (FHSocket == INVALID_SOCKET) {
    if (FState != wsClosed) {
      ChangeState(wsClosed);
      AssignDefaultValue();
    }
    return;
  }
  const bool wasOpen = FState != wsClosed;
  if (bShut && wasOpen) Shutdown(1);
  // The descriptor is closed exactly once, whatever close() reports.
  FWatch.reset();
  const int r = WSocket_closesocket(FHSocket);
  const int closeError = r != 0 ? WSocket_WSAGetLastError() : 0;
  FHSocket = INVALID_SOCKET;
  NewSession();
  FSelectMask = 0;
  if (wasOpen) {
    ChangeState(wsClosed);
    if (!ComponentState().Contains(csDestroying) && !FCloseInvoked) {
      FCloseInvoked = true;
      auto alive = FAlive;
      const uint32_t session = FSession;
      TriggerSessionClosed(Error);
      // Freed, or opened again by the handler: the new session keeps its settings.
      if (!*alive || FSession != session) return;
    }
  }
  AssignDefaultValue();
  if (closeError != 0 && closeError != WSANOTINITIALISED) {
    WSocket_WSASetLastError(closeError);
    ReportSocketError("Disconnect (closesocket)");
  }
}

void TCustomWSocket::DrainUntilClosed() {
  auto alive = FAlive;
  while (*alive && FHSocket != INVALID_SOCKET && FState != wsClosed) {
    PumpMessages();
    if (!*alive || FHSocket == INVALID_SOCKET || FState == wsClosed) return;
    unsigned long n = 0;
    if (WSocket_ioctlsocket_FIONREAD(FHSocket, &n) != 0) return;
    if (n > 0) {
      TriggerDataAvailable(0);
      if (!*alive || FHSocket == INVALID_SOCKET) return;
    }
    char c;
    int r = DoRecv(&c, 1, 0);
    if (r == 0) return;  // end of stream: the close event follows
    if (r < 0 && WSocket_WSAGetLastError() != WSAEWOULDBLOCK) return;
    if (r < 0) {
      pollfd p{FHSocket, POLLIN, 0};
      ::poll(&p, 1, 10);
    }
    PumpMessages();
  }
}

// ===========================================================================
// Name lookups

void TCustomWSocket::DnsLookup(const std::string& HostName) {
  if (HostName.empty()) {
    ReportError("DNS lookup: invalid host name.");
    TriggerDNSLookupDone(WSAEINVAL);
    return;
  }
  if (FDnsRequestId != 0) CancelDnsLookup();
  FDnsResult.clear();
  FDnsResultList.clear();
  if (IsDottedIPv4(HostName)) {
    FDnsResult = WSocket_inet_ntoa(WSocket_inet_addr(HostName));
    FDnsResultList.push_back(FDnsResult);
    TriggerDNSLookupDone(0);
    return;
  }
  if (!HasHandle()) {
    ReportError("DnsLookup: Window not assigned");
    return;
  }
  if (!StartLookup(FMsgHostLookup, [HostName, lookup = CurrentHostLookup()](TDnsRequest& req) {
        req.Error = lookup(HostName, req.Results, req.Cancelled);
      }))
    ReportError(HostName + ": can't start DNS lookup - " + SocketErrorText(WSAENOBUFS));
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
  if (HostAddr.empty()) {
    ReportError("Reverse DNS Lookup: Invalid host name.");
    TriggerDNSLookupDone(WSAEINVAL);
    return;
  }
  if (FDnsRequestId != 0) CancelDnsLookup();
  FDnsResult.clear();
  FDnsResultList.clear();
  if (!HasHandle()) {
    ReportError("Reverse DNS Lookup: Window not assigned");
    return;
  }
  const uint32_t addr = WSocket_inet_addr(HostAddr);
  if (!StartLookup(FMsgAddrLookup, [addr](TDnsRequest& req) { LookupAddr(addr, req); }))
    ReportError(HostAddr + ": can't start reverse DNS lookup - " + SocketErrorText(WSAENOBUFS));
}

bool TCustomWSocket::StartLookup(UINT msg, std::function<void(TDnsRequest&)> work) {
  auto req = std::make_shared<TDnsRequest>();
  const uint64_t id = ++gDnsRequestIds;
  const HWND wnd = Handle();
  const LPARAM tag = TaggedLParam(msg, 0);
  WinsockEnsureStarted();
  try {
    // The answer is posted back; a cancelled or reused request no longer matches it.
    TLookupWorkers::Instance().Submit({req, std::move(work), [wnd, msg, tag, id](const TDnsRequest& r) {
                                         PostMessage(wnd, msg, static_cast<WPARAM>(id),
                                                     tag | static_cast<LPARAM>((static_cast<uint32_t>(r.Error) & 0xFFFF) << 16));
                                       }});
  } catch (std::exception&) {
    return false;
  }
  FDnsRequest = req;
  FDnsRequestId = id;
  return true;
}

void TCustomWSocket::WMAsyncLookupDone(TMessage& msg) {
  if (FDnsRequestId == 0 || msg.WParam != static_cast<WPARAM>(FDnsRequestId)) return;
  std::shared_ptr<TDnsRequest> req = std::move(FDnsRequest);
  FDnsRequestId = 0;
  const uint16_t err = HiWord(msg.LParam);
  if (err == 0 && req) {
    FDnsResultList = req->Results;
    if (!FDnsResultList.empty()) FDnsResult = FDnsResultList.front();
  }
  TriggerDNSLookupDone(err);
}

void TCustomWSocket::ReverseDnsLookupBlocking(const std::string& HostAddr) {
  if (HostAddr.empty()) {
    ReportError("Reverse DNS Lookup: Invalid host name.");
    TriggerDNSLookupDone(WSAEINVAL);
    return;
  }
  if (FDnsRequestId != 0) CancelDnsLookup();
  FDnsResult.clear();
  FDnsResultList.clear();
  TDnsRequest req;
  WinsockEnsureStarted();
  LookupAddr(WSocket_inet_addr(HostAddr), req);
  if (req.Error == 0) {
    FDnsResultList = req.Results;
    if (!FDnsResultList.empty()) FDnsResult = FDnsResultList.front();
  }
  TriggerDNSLookupDone(static_cast<uint16_t>(req.Error));
}

void TCustomWSocket::CancelDnsLookup() {
  if (FDnsRequestId == 0) return;
  // A queued lookup is skipped, a running one is told to stop; a late answer
  // no longer matches and is dropped.
  if (FDnsRequest) FDnsRequest->Cancelled = true;
  FDnsRequestId = 0;
  FDnsRequest.reset();
  if (!ComponentState().Contains(csDestroying)) TriggerDNSLookupDone(WSAEINTR);
}

// ===========================================================================
// Events of an open socket

void TCustomWSocket::Do_FD_CONNECT(uint16_t err) {
  if (FState == wsConnected) return;
  ChangeState(wsConnected);
  auto alive = FAlive;
  const uint32_t session = FSession;
  TriggerSessionConnectedSpecial(err);
  // A handler that connected again (a retry) keeps its new attempt.
  if (!*alive || FSession != session) return;
  if (err != 0 && FState != wsClosed) Close();
}

void TCustomWSocket::Do_FD_READ(uint16_t err) {
  if (FState != wsConnected) {
    ChangeState(wsConnected);
    auto alive = FAlive;
    TriggerSessionConnectedSpecial(err);
    if (!*alive || FHSocket == INVALID_SOCKET) return;
  }
  ReceiveLoop(err, FComponentOptions);
}

void TCustomWSocket::Do_FD_WRITE(uint16_t err) {
  FWritePosted = false;
  TryToSend();
  if (FAllSent && FHSocket != INVALID_SOCKET) TriggerDataSent(err);
}

void TCustomWSocket::Do_FD_ACCEPT(uint16_t err) { TriggerSessionAvailable(err); }

void TCustomWSocket::Do_FD_CLOSE(uint16_t err) {
  if (FState == wsConnecting || FHSocket == INVALID_SOCKET) return;
  auto alive = FAlive;
  const uint32_t session = FSession;
  ReceiveLoop(0, FComponentOptions - wsoNoReceiveLoop);
  if (!*alive || FSession != session) return;
  if (!FCloseInvoked) {
    FCloseInvoked = true;
    TriggerSessionClosed(err);
    if (!*alive || FSession != session) return;
  }
  if (FState != wsClosed) Close();
}

// ===========================================================================
// Sending

void TCustomWSocket::QueueData(const void* Data, int Len) {
  if (Len < 1 || !Data) return;
  std::lock_guard<TSockBufferHandler> g(*FBufHandler);
  if (FType == SOCK_STREAM)
    FBufHandler->Write(Data, Len);
  else
    FDgramQueue.emplace_back(static_cast<const char*>(Data), static_cast<size_t>(Len));
  FBufferedByteCount += Len;
  FAllSent = false;
}

void TCustomWSocket::QueueText(const std::string& Str) {
  if (!Str.empty()) QueueData(Str.data(), static_cast<int>(Str.size()));
}

void TCustomWSocket::DiscardQueuedData() {
  std::lock_guard<TSockBufferHandler> g(*FBufHandler);
  ++FDiscards;
  FBufHandler->ResetAll();
  FDgramQueue.clear();
  FBufferedByteCount = 0;
}

int TCustomWSocket::Send(const void* Data, int Len) {
  if (FState != wsConnected && FState != wsSocksConnected) {
    WSocket_WSASetLastError(WSAENOTCONN);
    ReportSocketError("Send");
    return -1;
  }
  FAllSent = false;
  int result = 0;
  if (Len > 0 && Data) {
    result = Len;
    if (!SendDirect(Data, Len)) QueueData(Data, Len);
  }
  TryToSend();
  if (FAllSent && FHSocket != INVALID_SOCKET) PostWriteOnce();
  return result;
}

// With nothing queued and no send handler to call, the bytes may leave straight
// from the caller's buffer; only what the network does not take is queued.
// False when the ordinary path (queue, then send) must handle the data.
bool TCustomWSocket::SendDirect(const void* Data, int Len) {
  if (FType != SOCK_STREAM || FInTryToSend || FWantWrite || OnSendData || FHSocket == INVALID_SOCKET ||
      !FBufHandler->IsEmpty())
    return false;
  const int n = WSocket_send(FHSocket, Data, Len, FSendFlags);
  if (n < 0) {
    if (WSocket_WSAGetLastError() != WSAEWOULDBLOCK) return false;  // reported by the ordinary path
    QueueData(Data, Len);
    FWantWrite = true;
    UpdateInterest();
    return true;
  }
  if (n < Len) {
    QueueData(static_cast<const char*>(Data) + n, Len - n);
    FWantWrite = true;
    UpdateInterest();
  }
  return true;
}

int TCustomWSocket::SendText(const std::string& Str) {
  if (Str.empty()) return 0;
  return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendChar(char Ch) { return Send(&Ch, 1); }

int TCustomWSocket::SendNowGather(const iovec* iov, int count) {
  const int n = WSocket_sendv(FHSocket, iov, count, FSendFlags);
  if (n > 0) TriggerSendData(n);
  return n;
}

int TCustomWSocket::SendNow(const void* Data, int Len) {
  int n;
  if (FType != SOCK_STREAM)
    n = WSocket_sendto(FHSocket, Data, Len, FSendFlags, &Fsin, sizeof Fsin);
  else
    n = WSocket_send(FHSocket, Data, Len, FSendFlags);
  if (n > 0) TriggerSendData(n);
  return n;
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, const void* Data, int Len) {
  const int n = WSocket_sendto(FHSocket, Data, Len, FSendFlags, &Dest, sizeof Dest);
  if (n > 0) TriggerSendData(n);
  if (FAllSent && FType == SOCK_DGRAM) PostWriteOnce();
  return n;
}

void TCustomWSocket::ConnectionGone(int code) {
  if (LogOptionEnabled(loWsockErr))
    WriteDebugLog(loWsockErr, Name() + " Winsock Send failed - " + SocketErrorText(code));
  FCloseInvoked = true;
  auto alive = FAlive;
  Close();
  if (*alive) TriggerSessionClosed(static_cast<uint16_t>(code));
}

void TCustomWSocket::TryToSend() {
  std::unique_lock<TSockBufferHandler> g(*FBufHandler);
  if (FInTryToSend) return;  // a handler sent from inside a send: the running loop takes it
  if (FWantWrite && FHSocket != INVALID_SOCKET) return;  // the network is full: FD_WRITE continues
  if (FHSocket == INVALID_SOCKET || (FBufHandler->IsEmpty() && FDgramQueue.empty())) {
    FAllSent = true;
    return;
  }
  FInTryToSend = true;
  auto alive = FAlive;
  struct Reset {
    std::shared_ptr<bool> alive;
    bool& flag;
    ~Reset() {
      if (*alive) flag = false;
    }
  } reset{alive, FInTryToSend};
  for (;;) {
    if (FHSocket == INVALID_SOCKET) return;
    int len;
    int n;
    std::string dgram;
    // The send handler may close the socket or discard the queue; what it
    // discarded is not removed again.
    const uint32_t session = FSession;
    const uint32_t discards = FDiscards;
    if (FType != SOCK_STREAM) {
      if (FDgramQueue.empty()) {
        FAllSent = true;
        return;
      }
      dgram = FDgramQueue.front();
      len = static_cast<int>(dgram.size());
      n = SendNow(dgram.data(), len);
    } else {
      // Several queued blocks leave in one call; a byte stream keeps no boundaries.
      iovec iov[kGatherBlocks];
      const int blocks = FBufHandler->PeekBlocks(iov, kGatherBlocks);
      len = 0;
      for (int i = 0; i < blocks; ++i) len += static_cast<int>(iov[i].iov_len);
      if (len < 1) {
        FAllSent = true;
        return;
      }
      n = blocks == 1 ? SendNow(iov[0].iov_base, len) : SendNowGather(iov, blocks);
    }
    if (!*alive) {
      g.release();  // the socket and its buffers are gone
      return;
    }
    if (FSession != session) return;
    if (FDiscards != discards) continue;
    if (n < 0) {
      const int code = WSocket_WSAGetLastError();
      if (code == WSAEWOULDBLOCK) {
        FWantWrite = true;
        UpdateInterest();
        return;
      }
      if (IsConnectionGone(code)) {
        g.unlock();
        ConnectionGone(code);
        return;
      }
      if (FType != SOCK_STREAM && !FDgramQueue.empty()) {
        // A datagram the network refuses for good is dropped, so later ones still leave.
        FBufferedByteCount = std::max<int64_t>(0, FBufferedByteCount - len);
        FDgramQueue.pop_front();
      }
      ReportSocketError("TryToSend failed");
      return;
    }
    if (n == 0) return;
    FBufferedByteCount = std::max<int64_t>(0, FBufferedByteCount - n);
    if (FType != SOCK_STREAM) {
      if (!FDgramQueue.empty()) FDgramQueue.pop_front();
      continue;
    }
    for (int left = n; left > 0;) {
      const char* head;
      const int inHead = FBufHandler->Peek(head);
      const int take = std::min(left, inHead);
      FBufHandler->Remove(take);
      left -= take;
    }
    if (n < len) {
      FWantWrite = true;  // the network took only part: continue when writable
      UpdateInterest();
      return;
    }
  }
}

void TCustomWSocket::Flush() {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::seconds(std::max(0, FFlushTimeout));
  auto alive = FAlive;
  while (*alive && FHSocket != INVALID_SOCKET && !FAllSent) {
    TryToSend();
    if (!*alive || FAllSent || FHSocket == INVALID_SOCKET) return;
    PumpMessages();
    if (!*alive || FHSocket == INVALID_SOCKET) return;
    const auto now = clock::now();
    if (FFlushTimeout > 0 && now >= deadline) return;  // give up: the rest stays queued
    const int ms = static_cast<int>(
        std::min<int64_t>(50, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1));
    pollfd p{FHSocket, POLLOUT, 0};
    if (::poll(&p, 1, ms) > 0 && (p.revents & POLLOUT)) FWantWrite = false;
  }
}

// ===========================================================================
// Receiving

int TCustomWSocket::PendingByteCount() {
  if (ComponentState().Contains(csDesigning)) return -1;
  if (FHeldValid) return FHeldLen;
  if (FPendingHint >= 0) {
    const long n = FPendingHint;
    FPendingHint = -1;
    return static_cast<int>(n);
  }
  unsigned long n = 0;
  if (WSocket_ioctlsocket_FIONREAD(FHSocket, &n) != 0) {
    ReportSocketError("ioctlSocket");
    return -1;
  }
  return static_cast<int>(std::min<unsigned long>(n, 0x7FFFFFFF));
}

int TCustomWSocket::TakeHeld(void* Buffer, int BufferSize, int Flags, sockaddr_in* From, int* FromLen) {
  const int n = std::clamp(BufferSize, 0, FHeldLen);  // like a datagram read: the rest is dropped
  if (n > 0) std::memcpy(Buffer, FHeld.get(), static_cast<size_t>(n));
  if (From && FromLen) {
    std::memcpy(From, &FHeldFrom, std::min<size_t>(sizeof FHeldFrom, static_cast<size_t>(std::max(0, *FromLen))));
    *FromLen = sizeof FHeldFrom;
  }
  if (!(Flags & MSG_PEEK)) FHeldValid = false;
  ++FRecvCalls;
  ReArmRead();
  return n;
}

bool TCustomWSocket::ReadAheadDatagram() {
  // One read both fetches the next datagram and tells whether there is one,
  // instead of a size query followed by the read.
  if (!FHeld) FHeld.reset(new char[65536]);
  int fromLen = sizeof FHeldFrom;
  const int r = WSocket_recvfrom(FHSocket, FHeld.get(), 65536, 0, &FHeldFrom, &fromLen);
  ReArmRead();
  if (r < 0) {
    const int code = WSocket_WSAGetLastError();
    if (code != WSAEWOULDBLOCK) FLastError = code;
    return false;
  }
  FHeldLen = r;
  FHeldValid = true;
  return true;
}

int TCustomWSocket::DoRecv(void* Buffer, int BufferSize, int Flags) {
  if (FHeldValid) return TakeHeld(Buffer, BufferSize, Flags, nullptr, nullptr);
  FPendingHint = -1;
  const int r = WSocket_recv(FHSocket, Buffer, BufferSize, Flags);
  ++FRecvCalls;
  ReArmRead();
  return r;
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
  const int r = DoRecv(Buffer, BufferSize, 0);
  if (r < 0)
    FLastError = WSocket_WSAGetLastError();
  else
    FReadCount += r;
  return r;
}

std::string TCustomWSocket::ReceiveAsString() {
  int n = PendingByteCount();
  if (n < 0) return std::string();
  if (n == 0) n = 255;
  std::string s(static_cast<size_t>(n), '\0');
  const int r = Receive(s.data(), n);
  if (r < 1) return std::string();
  s.resize(static_cast<size_t>(r));
  return s;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
  FPendingHint = -1;
  int r;
  if (FHeldValid) {
    r = TakeHeld(Buffer, BufferSize, 0, &From, &FromLen);
  } else {
    r = WSocket_recvfrom(FHSocket, Buffer, BufferSize, 0, &From, &FromLen);
    ++FRecvCalls;
    ReArmRead();
  }
  if (r < 0)
    FLastError = WSocket_WSAGetLastError();
  else
    FReadCount += r;
  return r;
}

void TCustomWSocket::ReceiveLoop(uint16_t ErrCode, TWSocketOptions Options) {
  auto alive = FAlive;
  const uint32_t session = FSession;
  for (;;) {
    FLastError = 0;
    const uint64_t before = FRecvCalls;
    const bool handled = TriggerDataAvailable(ErrCode);
    if (!*alive || FSession != session || FHSocket == INVALID_SOCKET) return;
    if (!handled) {
      char scratch[1024];
      const int r = DoRecv(scratch, sizeof scratch, 0);
      if (r < 0) {
        const int code = WSocket_WSAGetLastError();
        FLastError = code == WSAEWOULDBLOCK ? 0 : code;
        return;
      }
    }
    if (Options.Contains(wsoNoReceiveLoop)) return;
    if (FLastError != 0) {
      if (FLastError == -1) FLastError = 0;
      return;
    }
    // A handler that read nothing would make this loop spin: the data stays
    // pending and is offered again by the next event.
    if (FRecvCalls == before) return;
    if (FType != SOCK_STREAM) {
      if (!FHeldValid && !ReadAheadDatagram()) return;
      continue;
    }
    unsigned long n = 0;
    if (WSocket_ioctlsocket_FIONREAD(FHSocket, &n) != 0) {
      FLastError = WSocket_WSAGetLastError();
      return;
    }
    if (n == 0) return;
    FPendingHint = static_cast<long>(std::min<unsigned long>(n, 0x7FFFFFFF));
  }
}

// ===========================================================================
// Queries and event control

std::string TCustomWSocket::GetPeerAddr() {
  if (FState != wsConnected) return "error";
  sockaddr_in a{};
  int len = sizeof a;
  if (WSocket_getpeername(FHSocket, &a, &len) != 0) {
    ReportSocketError("GetPeerName");
    return "error";
  }
  return WSocket_inet_ntoa(a.sin_addr.s_addr);
}

std::string TCustomWSocket::GetPeerPort() {
  if (FState != wsConnected) return "error";
  sockaddr_in a{};
  int len = sizeof a;
  if (WSocket_getpeername(FHSocket, &a, &len) != 0) {
    ReportSocketError("GetPeerPort");
    return "error";
  }
  return std::to_string(ntohs(a.sin_port));
}

int TCustomWSocket::GetPeerName(sockaddr_in& Name, int NameLen) {
  if (FState != wsConnected) return -1;
  return WSocket_getpeername(FHSocket, &Name, &NameLen);
}

std::string TCustomWSocket::GetBoundAddr() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
  sockaddr_in a{};
  int len = sizeof a;
  if (WSocket_getsockname(FHSocket, &a, &len) != 0) return "error";
  return WSocket_inet_ntoa(a.sin_addr.s_addr);
}

std::string TCustomWSocket::GetBoundPort() {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
  sockaddr_in a{};
  int len = sizeof a;
  if (WSocket_getsockname(FHSocket, &a, &len) != 0) return "error";
  return std::to_string(ntohs(a.sin_port));
}

void TCustomWSocket::PauseEvents() {
  FPaused = true;
  UpdateInterest();
}

void TCustomWSocket::ResumeEvents() {
  FPaused = false;
  // Events that arrived while paused are posted again, in their order; without
  // a held read event, readiness is re-armed so that unread data is offered again.
  const int held = FHeldEvents;
  FHeldEvents = 0;
  if (!(held & (FD_READ | FD_ACCEPT))) FReadPending = false;
  for (int i = 0; i < kEventCount; ++i)
    if (held & kEventOrder[i]) PostSocketEvent(kEventOrder[i], FHeldErrors[i]);
  UpdateInterest();
  if ((FSelectMask & FD_WRITE) && FState == wsConnected && !FWantWrite) PostWriteOnce();
}

void TCustomWSocket::AttachToThread() {
  TSockWndControl::AttachToThread();
  if (FHSocket != INVALID_SOCKET && FSelectMask != 0) {
    // Notifications now come to the new thread's loop.
    const int mask = FSelectMask;
    FWatch.reset();
    FWritePosted = false;
    AsyncSelect(mask);
  }
}

void TCustomWSocket::DetachFromThread() {
  if (GetCurrentThreadId() != OwnerThreadId()) throw ESockException("Cannot detach from another thread");
  FWatch.reset();
  // Events queued for the old window are dropped; readiness reports them again
  // once the socket is attached to its new thread.
  ++FSession;
  FHeldEvents = 0;
  FReadPending = false;
  FWritePosted = false;
  FCloseNotified = false;
  if (FState == wsConnecting) FConnectPosted = false;
  TSockWndControl::DetachFromThread();
}

// ===========================================================================
// TCustomSocksWSocket

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) {
  AssignDefaultValue();
}

void TCustomSocksWSocket::AssignDefaultValue() {
  TCustomWSocket::AssignDefaultValue();
  // The server settings are kept across a close: a reconnect must not bypass the server.
  FSocksState = 0;
  FRcvCnt = 0;
  FRcvOffset = 0;
}

// Server settings change only while closed.
bool TCustomSocksWSocket::SetWhileClosed(std::string& field, bool& assigned, const std::string& v, const char* what) {
  if (State() != wsClosed) {
    ReportError(std::string("Can't change socks ") + what + " if not closed");
    return false;
  }
  field = Trim(v);
  assigned = !field.empty();
  return true;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& v) {
  SetWhileClosed(FSocksServer, FSocksServerAssigned, v, "server");
}

void TCustomSocksWSocket::SetSocksPort(const std::string& v) { SetWhileClosed(FSocksPort, FSocksPortAssigned, v, "port"); }

void TCustomSocksWSocket::SetSocksLevel(const std::string& v) {
  if (State() != wsClosed) {
    ReportError("Can't change socks level if not closed");
    return;
  }
  const std::string u = UpperCase(v);
  if (u != "4" && u != "4A" && u != "5") {
    ReportError("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  FSocksLevel = u;
}

void TCustomSocksWSocket::Listen() {
  if (FSocksServerAssigned) {
    ReportError("Listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::Connect() {
  // A socket in use is refused by the ordinary Connect before anything of its
  // session (address record, negotiation state) is touched.
  if (!FSocksServerAssigned || (HSocket() != INVALID_SOCKET && State() != wsClosed)) {
    TCustomWSocket::Connect();
    return;
  }
  if (!SameText(Proto(), "tcp") && Trim(Proto()) != "6") {
    ReportError("TCP is the only protocol supported thru socks server");
    return;
  }
  try {
    MarkPortResolved(ResolvePort(FSocksPort, Proto()));
    MarkAddrResolved(ResolveHost(FSocksServer));
    FSocksDestPort = static_cast<uint16_t>(ResolvePort(Port(), Proto()));
  } catch (Exception& e) {
    ReportError("connect: " + e.Message());
    return;
  }
  FSocksState = 1;
  FRcvCnt = 0;
  FRcvOffset = 0;
  try {
    TCustomWSocket::Connect();
  } catch (...) {
    FSocksState = 0;  // no connection: nothing to negotiate
    throw;
  }
  if (HSocket() == INVALID_SOCKET) FSocksState = 0;
}

void TCustomSocksWSocket::SendRaw(const std::string& bytes) { Send(bytes.data(), static_cast<int>(bytes.size())); }

void TCustomSocksWSocket::TriggerSessionConnectedSpecial(uint16_t ErrCode) {
  if (FSocksState != 1) {
    TCustomWSocket::TriggerSessionConnectedSpecial(ErrCode);
    return;
  }
  auto alive = AliveToken();
  if (OnSocksConnected) OnSocksConnected(this, ErrCode);
  if (!*alive) return;
  if (ErrCode != 0) {
    FSocksState = 0;
    TCustomWSocket::TriggerSessionConnectedSpecial(ErrCode);
    return;
  }
  if (FSocksLevel[0] == '4') {
    SocksDoConnect();
  } else {
    FSocksMethod = FSocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
    SendRaw(SocksGreeting(FSocksAuthentication == socksAuthenticateUsercode));
  }
}

void TCustomSocksWSocket::SocksDoConnect() {
  FSocksState = 3;
  std::string req;
  if (FSocksLevel == "5") {
    if (!SocksRequest5(Addr(), FSocksDestPort, req)) {
      SocksDoError(SOCKS_INTERNAL_ERROR, "host name too long");
      return;
    }
  } else {
    uint32_t ip;
    const bool is4A = FSocksLevel == "4A";
    if (is4A) {
      ip = htonl(1);  // 0.0.0.1: the server resolves the name
    } else {
      // The resolver's own code, the one its text shows.
      std::string message;
      if (const int error = TryResolveHost(Addr(), ip, message)) {
        SocksDoError(error, message);
        return;
      }
    }
    const std::string host = Addr();
    req = SocksRequest4(FSocksDestPort, ip, FSocksUsercode, is4A ? &host : nullptr);
  }
  SendRaw(req);
}

void TCustomSocksWSocket::SocksDoAuthenticate() {
  FSocksState = 2;
  auto alive = AliveToken();
  if (OnSocksAuthState) OnSocksAuthState(this, socksAuthStart);
  if (!*alive) return;
  std::string req;
  if (!SocksAuthRequest(FSocksUsercode, FSocksPassword, req)) {
    SocksDoError(SOCKS_AUTH_FAILED, "socks authentication failed");
    return;
  }
  SendRaw(req);
}

void TCustomSocksWSocket::SocksDoError(int Error, const std::string& Msg) {
  auto alive = AliveToken();
  if (OnSocksError) OnSocksError(this, Error, Msg);
  if (!*alive) return;
  FSocksState = 0;
  TCustomWSocket::TriggerSessionConnectedSpecial(static_cast<uint16_t>(Error));
  if (!*alive) return;
  InternalClose(true, static_cast<uint16_t>(Error));
}

void TCustomSocksWSocket::Consume(int n) {
  FRcvOffset += n;
  if (FRcvOffset >= FRcvCnt) FRcvOffset = FRcvCnt = 0;
}

bool TCustomSocksWSocket::TriggerDataAvailable(uint16_t ErrCode) {
  if (FSocksState == 0) return TCustomWSocket::TriggerDataAvailable(ErrCode);
  if (ErrCode != 0) {
    SocksDoError(ErrCode, "data receive error");
    return true;
  }
  if (FSocksState < 1 || FSocksState > 3) {
    SocksDoError(SOCKS_INTERNAL_ERROR, "internal error");
    return true;
  }
  if (FRcvOffset > 0) {  // keep the unparsed bytes at the front
    std::memmove(FRcvBuf, FRcvBuf + FRcvOffset, static_cast<size_t>(FRcvCnt - FRcvOffset));
    FRcvCnt -= FRcvOffset;
    FRcvOffset = 0;
  }
  const int space = static_cast<int>(sizeof FRcvBuf) - FRcvCnt;
  if (space <= 0) {
    SocksDoError(SOCKS_LOGIC_ERROR, "too much data availaible");
    return true;
  }
  const int r = TCustomWSocket::DoRecv(FRcvBuf + FRcvCnt, space, 0);
  if (r <= 0) {
    if (r < 0) SetLastError(WSocket_WSAGetLastError() == WSAEWOULDBLOCK ? 0 : WSocket_WSAGetLastError());
    return true;
  }
  FRcvCnt += r;
  auto alive = AliveToken();
  // Several steps may be answered by one arrival.
  while (*alive && FSocksState != 0 && FRcvCnt > FRcvOffset) {
    const uint8_t* p = FRcvBuf + FRcvOffset;
    const int n = FRcvCnt - FRcvOffset;
    TSocksReply rep;
    if (FSocksState == 1) {
      if (FSocksLevel[0] == '4') {
        SocksDoError(SOCKS_LOGIC_ERROR, "TWSocket logic error");
        return true;
      }
      rep = SocksParseMethodReply(p, n);
    } else if (FSocksState == 2) {
      rep = SocksParseAuthReply(p, n);
    } else {
      rep = FSocksLevel == "5" ? SocksParseReply5(p, n) : SocksParseReply4(p, n);
    }
    if (rep.Status == TSocksStatus::NeedMore) return true;
    if (rep.Status == TSocksStatus::Failed) {
      SocksDoError(rep.ErrCode, rep.ErrMsg);
      return true;
    }
    Consume(rep.Consumed);
    if (FSocksState == 1) {
      if (rep.Method == 0) {
        if (FSocksMethod == 2 && OnSocksAuthState) OnSocksAuthState(this, socksAuthNotRequired);
        if (*alive) SocksDoConnect();
      } else {
        SocksDoAuthenticate();
      }
    } else if (FSocksState == 2) {
      if (OnSocksAuthState) OnSocksAuthState(this, socksAuthSuccess);
      if (*alive) SocksDoConnect();
    } else {
      FSocksState = 0;
      TriggerSessionConnectedSpecial(0);
      if (!*alive) return true;
      // Bytes that came with the reply are the first data of the session.
      if (FRcvCnt > FRcvOffset) TriggerDataAvailable(0);
      return true;
    }
  }
  return true;
}

void TCustomSocksWSocket::TriggerSessionClosed(uint16_t ErrCode) {
  if (FSocksState == 2 && OnSocksAuthState) {
    auto alive = AliveToken();
    OnSocksAuthState(this, socksAuthFailure);
    if (!*alive) return;
  }
  TCustomWSocket::TriggerSessionClosed(ErrCode);
}

int TCustomSocksWSocket::PendingByteCount() {
  if (FSocksState == 0 && FRcvCnt > FRcvOffset) return FRcvCnt - FRcvOffset;
  return TCustomWSocket::PendingByteCount();
}

int TCustomSocksWSocket::DoRecv(void* Buffer, int BufferSize, int Flags) {
  if (FSocksState == 0 && FRcvCnt > FRcvOffset) {
    if (BufferSize <= 0) return 0;
    const int n = std::min(BufferSize, FRcvCnt - FRcvOffset);
    std::memcpy(Buffer, FRcvBuf + FRcvOffset, static_cast<size_t>(n));
    Consume(n);
    return n;
  }
  return TCustomWSocket::DoRecv(Buffer, BufferSize, Flags);
}

// ===========================================================================
// TCustomLineWSocket

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) {}

void TCustomLineWSocket::SetLineMode(bool v) {
  if (v == FLineMode) return;
  FLineMode = v;
  if (FLineBuf.Received() > 0 || FLineBuf.WaitingLine() > 0) PostMsg(FMsgLineRetrigger, 0, 0);
}

void TCustomLineWSocket::HandleWindowMessage(TMessage& msg) {
  if (msg.Msg == FMsgLineRetrigger && FMsgLineRetrigger != 0) {
    RunHandlingExceptions([this] { LineRetrigger(); });
    return;
  }
  TCustomSocksWSocket::HandleWindowMessage(msg);
}

void TCustomLineWSocket::LineRetrigger() {
  auto alive = AliveToken();
  int passes = 0;
  while (*alive && FLineBuf.Received() > 0) {
    ++passes;
    const int before = FLineBuf.Received();
    FLineFound = false;
    TriggerDataAvailable(0);
    if (!*alive) return;
    if (FLineMode && passes >= 4 && !FLineFound) return;
    if (FLineBuf.Received() == before) return;  // nobody reads: keep the bytes for later
  }
}

int TCustomLineWSocket::PendingByteCount() {
  if (FLineMode) return FLineBuf.WaitingLine();
  if (FLineBuf.Received() > 0) return FLineBuf.Received();
  return TCustomSocksWSocket::PendingByteCount();
}

int TCustomLineWSocket::DoRecv(void* Buffer, int BufferSize, int Flags) {
  if (FLineMode && FLineBuf.WaitingLine() > 0) return FLineBuf.Read(static_cast<char*>(Buffer), BufferSize, true);
  if (!FLineMode && FLineBuf.Received() > 0) return FLineBuf.Read(static_cast<char*>(Buffer), BufferSize, false);
  return TCustomSocksWSocket::DoRecv(Buffer, BufferSize, Flags);
}

bool TCustomLineWSocket::TriggerDataAvailable(uint16_t ErrCode) {
  if (!FLineMode || FLineEnd.empty() || SocksNegotiating()) return TCustomSocksWSocket::TriggerDataAvailable(ErrCode);
  int n = TCustomSocksWSocket::PendingByteCount();
  if (n < 0) return true;
  if (n == 0) n = 255;
  // Never more than the line limit allows, so the buffer stays bounded.
  if (FLineLimit > 0) n = std::min(n, std::max(FLineLimit + 1 - FLineBuf.Received(), 255));
  if (static_cast<int>(FScratch.size()) < n) FScratch.resize(static_cast<size_t>(n));
  int r = TCustomSocksWSocket::DoRecv(FScratch.data(), n, 0);
  if (r < 0) SetLastError(WSocket_WSAGetLastError() == WSAEWOULDBLOCK ? 0 : WSocket_WSAGetLastError());
  if (r < 1) {
    if (FLineBuf.Received() == 0) return true;
    r = 0;
  }
  const int from = FLineBuf.Received();
  const int start = FLineBuf.Append(FScratch.data(), r, static_cast<int>(FLineEnd.size()));
  if (r > 0) {
    if (FLineEdit) {
      const std::string echo = FLineBuf.Edit(from, FLineEcho);
      if (FLineEcho && !echo.empty()) SendText(echo);
    } else if (FLineEcho) {
      Send(FScratch.data(), r);
    }
  }
  auto alive = AliveToken();
  DeliverLines(start);
  if (!*alive) return true;
  if (FLineLimit > 0 && FLineBuf.Received() > FLineLimit) {
    bool clear = true;
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, FLineBuf.Received(), clear);
    if (*alive && clear) FLineBuf.Clear();
  }
  return true;
}

void TCustomLineWSocket::DeliverLines(int searchStart) {
  auto alive = AliveToken();
  while (FLineMode) {
    if (FLineBuf.WaitingLine() == 0) {
      if (!FLineBuf.FindLine(searchStart, FLineEnd)) return;
      FLineFound = true;
      FLineReceivedFlag = true;
    }
    while (FLineMode && FLineBuf.WaitingLine() > 0) {
      const int before = FLineBuf.WaitingLine();
      if (!TCustomSocksWSocket::TriggerDataAvailable(0)) {
        char drop[256];
        while (FLineBuf.WaitingLine() > 0) FLineBuf.Read(drop, sizeof drop, true);  // no handler: drop the line
      }
      if (!*alive) return;
      if (FLineMode && FLineBuf.WaitingLine() == before) return;  // left unread: offered again later
    }
    searchStart = 0;
    if (!FLineMode) FLineBuf.SetWaitingLine(0);
    DeliverRaw();
    if (!*alive) return;
  }
}

void TCustomLineWSocket::DeliverRaw() {
  auto alive = AliveToken();
  while (!FLineMode && FLineBuf.Received() > 0) {
    const int before = FLineBuf.Received();
    if (!TCustomSocksWSocket::TriggerDataAvailable(0)) {
      FLineBuf.Clear();
      return;
    }
    if (!*alive) return;
    if (FLineBuf.Received() == before) return;
  }
}

int TCustomLineWSocket::SendLine(const std::string& Str) {
  if (Str.empty()) return 0;
  if (State() != wsConnected && State() != wsSocksConnected) {
    WSocket_WSASetLastError(WSAENOTCONN);
    ReportSocketError("Send");
    return -1;
  }
  // One call, so that a datagram socket sends the line as one datagram.
  const std::string line = Str + FLineEnd;
  return Send(line.data(), static_cast<int>(line.size()));
}

void TCustomLineWSocket::TriggerSessionClosed(uint16_t ErrCode) {
  FLineFound = true;
  auto alive = AliveToken();
  if (FLineMode && FLineBuf.Received() > 0) {
    // What is left becomes the last line.
    FLineBuf.SetWaitingLine(FLineBuf.Received());
    while (FLineMode && FLineBuf.WaitingLine() > 0) {
      const int before = FLineBuf.WaitingLine();
      if (!TCustomSocksWSocket::TriggerDataAvailable(0)) break;
      if (!*alive) return;
      if (FLineBuf.WaitingLine() == before) break;
    }
  }
  FLineBuf.Clear();
  TCustomSocksWSocket::TriggerSessionClosed(ErrCode);
}

// ===========================================================================
// TCustomSyncWSocket

int TCustomSyncWSocket::WaitUntilReady(bool& DoneFlag) {
  if (DoneFlag) return 0;
  if (QCoreApplication::closingDown() || LoopEnded()) return WSOCKET_WAIT_TIMEOUT;
  auto alive = AliveToken();
  // Sleeps in the message layer until a message sets the flag, the time-out
  // passes or a quit is requested.
  const int ms = FTimeout > 0 ? static_cast<int>(std::min<uint32_t>(FTimeout, INT32_MAX)) : -1;
  const TWaitEnd end = WaitMessages([&] { return DoneFlag || !*alive; }, ms);
  if (DoneFlag) return 0;
  if (end == TWaitEnd::Quit && *alive) SetLoopEnded(true);
  return WSOCKET_WAIT_TIMEOUT;
}

int TCustomSyncWSocket::Synchronize(const std::function<void()>& Proc, bool& DoneFlag) {
  DoneFlag = false;
  if (Proc) Proc();
  return WaitUntilReady(DoneFlag);
}
