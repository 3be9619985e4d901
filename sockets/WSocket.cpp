// Event-driven sockets, the core layer: construction and messages, properties, resolving
// addresses, listen, connect, accept and close, the events of an open socket, queries.
#include "sockets/WSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/FdWatch.h"
#include "sockets/SocksProtocol.h"
#include "sockets/WSocketInternal.h"

using namespace wsocket_detail;

std::string SocketStateName(TSocketState s) {
  static const char* const names[] = {"wsInvalidState", "wsOpened",         "wsBound",
                                      "wsConnecting",   "wsSocksConnected", "wsConnected",
                                      "wsAccepting",    "wsListening",      "wsClosed"};
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

void RegisterWSocketClasses() { RegisterClasses({TWSocket::StaticClass(), TSockLogger::StaticClass()}); }

// ===========================================================================
// TCustomWSocket: construction, messages, events

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TSockWndControl(AOwner), FAlive(std::make_shared<bool>(true)) {
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
  FCloseUntold = false;
  FFlushTimeout = 60;
}

void TCustomWSocket::HandleWindowMessage(TMessage& msg) {
  RunHandlingExceptions([&] {
    if (msg.Msg == FMsgSocketEvents) {
      DispatchSocketEvents(msg);
    } else if (msg.Msg == FMsgHostLookup || msg.Msg == FMsgAddrLookup) {
      WMAsyncLookupDone(msg);
    } else if (msg.Msg == FMsgCloseDelayed) {
      if (OfThisSession(msg)) Close();
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
  const TSessionWatch watch(*this);
  for (int ev : kEventOrder) {
    if (!(events & ev)) continue;
    if (watch.Ended()) return;
    FSelectEvent = ev;
    switch (ev) {
      case FD_CONNECT: Do_FD_CONNECT(err); break;
      case FD_READ: Do_FD_READ(err); break;
      case FD_WRITE: Do_FD_WRITE(err); break;
      case FD_ACCEPT: Do_FD_ACCEPT(err); break;
      case FD_CLOSE: Do_FD_CLOSE(err); break;
    }
    if (watch.Freed()) return;
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
  if (LogOptionEnabled(loWsockDump)) {
    const TSessionWatch watch(*this);
    WriteDebugLog(loWsockDump, Hex8(this) + " TriggerDataSent " + std::to_string(FHSocket));
    if (watch.Ended()) return;  // closed from the report: its sent event is over with it
  }
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
      NewSession();
    }
    if (FState != wsClosed) {
      const TSessionWatch watch(*this);
      ChangeState(wsClosed);
      if (!watch.Ended() && !FCloseInvoked) {
        FCloseInvoked = true;
        TriggerSessionClosed(static_cast<uint16_t>(code));
      }
      // Freed or opened again by a handler: the failure was told as the close.
      if (watch.Ended()) return;
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

void TCustomWSocket::SetAddr(const std::string& v) {
  SetEndpointText(FAddrStr, FAddrAssigned, FAddrResolved, v, "Addr");
}
void TCustomWSocket::SetPort(const std::string& v) {
  SetEndpointText(FPortStr, FPortAssigned, FPortResolved, v, "Port");
}
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
    default: ReportError("Invalid internal SendFlags"); return wsSendNormal;
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

// Every log line of the socket layer comes through here. A handler of the
// report runs inside the socket call that logged: the call sites look whether
// it closed or freed the socket before they go on.
void TCustomWSocket::WriteDebugLog(TLogOption option, const std::string& Msg) {
  if (!FSockLogger) return;
  const bool canTell = OnBgException && !ComponentState().Contains(csDestroying);
  std::exception_ptr failure;
  if (FSockLogger->TryWriteLogLine(this, option, Msg, canTell ? &failure : nullptr) || !failure) return;
  CatchIntoBackground([&] { std::rethrow_exception(failure); },
                      [this](Exception& e) {
                        bool canClose = false;
                        try {
                          TriggerBackgroundException(e, canClose);
                        } catch (...) {
                          // a failing handler changes nothing either
                        }
                      });
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

// Every failure sets LastError to its code before anything reports it.
int TCustomWSocket::TryResolveHost(const std::string& host, uint32_t& addr, std::string& message) {
  addr = INADDR_NONE;
  if (host.empty()) {
    message = "Winsock Resolve Host: '" + host + "' Invalid Hostname.";
    return FLastError = WSAHOST_NOT_FOUND;
  }
  if (IsDottedIPv4(host)) {
    addr = WSocket_inet_addr(host);
    if (addr == INADDR_NONE && Trim(host) != "255.255.255.255") {
      message = "Winsock Resolve Host: '" + host + "' Invalid IP address.";
      return FLastError = WSAHOST_NOT_FOUND;
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
    return FLastError = error;
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

// Like the host resolver, the port and protocol resolvers set LastError before raising.
void TCustomWSocket::ResolveFailed(int code, const std::string& message) {
  FLastError = code;
  throw ESocketException(message);
}

int TCustomWSocket::ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty()) ResolveFailed(WSAEINVAL, "Winsock Resolve Port: Invalid Port.");
  if (proto.empty()) ResolveFailed(WSAEINVAL, "Winsock Resolve Port: Invalid Proto.");
  if (IsDecimalDigit(port[0])) {
    int n = ParseLeadingNumber(port);
    if (n > 65535) ResolveFailed(WSAEINVAL, "Winsock Resolve Port: Invalid Port.");
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
    ResolveFailed(WSANO_DATA,
                  "Winsock Resolve Port: Cannot convert port '" + port + "' - " + SocketErrorText(WSANO_DATA));
  return ntohs(static_cast<uint16_t>(result->s_port));
}

int TCustomWSocket::ResolveProto(const std::string& proto) {
  if (proto.empty()) ResolveFailed(WSAEINVAL, "Winsock Resolve Proto: Invalid Protocol.");
  if (IsDecimalDigit(proto[0])) return ParseLeadingNumber(proto);
  if (SameText(proto, "tcp")) return IPPROTO_TCP;
  if (SameText(proto, "udp")) return IPPROTO_UDP;
  if (SameText(proto, "raw")) return IPPROTO_RAW;
  protoent pe{};
  protoent* result = nullptr;
  char buf[1024];
  ::getprotobyname_r(LowerCase(proto).c_str(), &pe, buf, sizeof buf, &result);
  if (!result)
    ResolveFailed(WSANO_DATA,
                  "Winsock Resolve Proto: Cannot convert protocol '" + proto + "' - " + SocketErrorText(WSANO_DATA));
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
  // A stream listener may take its port while connections of an earlier one
  // wait out their TIME_WAIT (the option never lets two listeners share a
  // port); a datagram socket shares its port only when ReuseAddr says so.
  if (FType == SOCK_STREAM || (FType == SOCK_DGRAM && FReuseAddr)) {
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

void TCustomWSocket::TellUntoldClose() {
  if (!FCloseUntold) return;
  FCloseUntold = false;
  if (ComponentState().Contains(csDestroying) || FCloseInvoked) return;
  FCloseInvoked = true;
  TriggerSessionClosed(FCloseUntoldError);
}

bool TCustomWSocket::OpenSocket(bool forConnect, const std::string& resolveContext, const std::string& socketCall) {
  if (FCloseUntold) {
    // Opened from a handler of the last close's state change: that close is told first.
    const TSessionWatch watch(*this);
    TellUntoldClose();
    if (watch.Ended() || FHSocket != INVALID_SOCKET) return false;  // freed or opened by the close's handler
  }
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
  SessionOpened();
  return true;
}

void TCustomWSocket::SessionOpened() {
  NewSession();
  FCloseInvoked = false;
}

void TCustomWSocket::NewSession() {
  ++FSession;
  FGoneError = 0;
  FHeldValid = false;
  FPendingHint = -1;
  FReadPending = FCloseNotified = FConnectPosted = FWantWrite = FWritePosted = false;
  FHeldEvents = 0;
}

void TCustomWSocket::FailAndClose(const std::string& call) {
  const int code = WSocket_WSAGetLastError();
  const TSessionWatch watch(*this);
  InternalClose(false, 0);
  if (watch.Freed() || watch.Replaced()) return;  // the close's handler freed it or connected again
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
  // OnError reads the failure's code in LastError.
  if (WSocket_bind(FHSocket, &local, sizeof local) != 0) {
    FLastError = WSocket_WSAGetLastError();
    ReportError("Bind socket failed - " + SocketErrorText(FLastError));
    return false;
  }
  sockaddr_in bound{};
  int len = sizeof bound;
  if (WSocket_getsockname(FHSocket, &bound, &len) != 0) {
    FLastError = WSocket_WSAGetLastError();
    ReportError("Winsock get socket name failed - " + SocketErrorText(FLastError));
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
  ReadBufferSizes();
  if (FHSocket == INVALID_SOCKET) return;
  const TSessionWatch watch(*this);
  auto failReported = [this, &watch] {  // the error has been reported already (its handler may have freed it)
    if (!watch.Ended() && FHSocket != INVALID_SOCKET) InternalClose(false, 0);
  };
  ChangeState(wsOpened);
  if (watch.Freed() || watch.Replaced()) return;
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
  if (LogOptionEnabled(loWsockInfo)) {
    WriteDebugLog(loWsockInfo, "TWSocket will connect to " + WSocket_inet_ntoa(Fsin.sin_addr.s_addr) + ":" +
                                   std::to_string(ntohs(Fsin.sin_port)));
    if (watch.Ended() || FState != wsOpened) return;  // closed by the report's handler
  }
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
    // The open session ends here, and its close is told before the new one starts.
    bool taken = false;
    TScopeExit dropUnlessTaken([&] {
      if (!taken) WSocket_closesocket(NewHSocket);
    });
    const bool wasOpen = FState != wsClosed;
    FWatch.reset();
    const int r = FHSocket != INVALID_SOCKET ? WSocket_closesocket(FHSocket) : 0;
    const int closeError = r != 0 ? WSocket_WSAGetLastError() : 0;
    FHSocket = INVALID_SOCKET;
    NewSession();
    FSelectMask = 0;
    FCloseUntold = wasOpen;
    FCloseUntoldError = 0;
    const TSessionWatch watch(*this);
    ChangeState(wsClosed);
    if (!watch.Ended()) TellUntoldClose();
    if (watch.Freed()) return;
    if (watch.Ended()) {
      // Opened again by a handler of the close: that session stays, the descriptor is not taken.
      WSocket_WSASetLastError(WSAEINVAL);
      ReportSocketError("Dup");
      return;
    }
    if (r != 0) {
      WSocket_WSASetLastError(closeError);
      ReportSocketError("Dup (closesocket)");
      return;
    }
    taken = true;
  }
  FHSocket = NewHSocket;
  SessionOpened();
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
  if (LogOptionEnabled(loWsockInfo)) {
    const TSessionWatch watch(*this);
    WriteDebugLog(loWsockInfo,
                  Hex8(this) + " " + "TCustomWSocket.Shutdown " + std::to_string(How) + " " + std::to_string(FHSocket));
    if (watch.Ended()) return;  // closed (or opened again) by the report's handler: not this session's to shut
  }
  if (FHSocket != INVALID_SOCKET) WSocket_shutdown(FHSocket, How);
}

bool TCustomWSocket::HasDataToSend() {
  if (FType != SOCK_STREAM || FHSocket == INVALID_SOCKET) return false;
  if (!FBufHandler->IsEmpty()) return true;
  int unacked = 0;
  return ::ioctl(FHSocket, SIOCOUTQ, &unacked) == 0 && unacked > 0;
}

// A connected stream first delivers what is still to send, then ends in order
// (no reset); what cannot be delivered is reported with the close.
void TCustomWSocket::Close() {
  if (FClosing) return;  // a handler closed again while the close waits: the running close ends it
  if (FGoneError != 0 && FHSocket != INVALID_SOCKET) {
    // Found reset (or gone) by a send: nothing more can be delivered; the close tells why.
    DiscardQueuedData();
    InternalClose(false, FGoneError);
    return;
  }
  if (FType != SOCK_STREAM || FHSocket == INVALID_SOCKET || (FState != wsConnected && FState != wsSocksConnected)) {
    InternalClose(true, 0);
    return;
  }
  // Only an established connection (or one the peer has half-closed) can still
  // deliver; on one that failed or was reset, queued data is lost and said so.
  tcp_info info{};
  socklen_t infoLen = sizeof info;
  const bool established = ::getsockopt(FHSocket, IPPROTO_TCP, TCP_INFO, &info, &infoLen) == 0 &&
                           (info.tcpi_state == TCP_ESTABLISHED || info.tcpi_state == TCP_CLOSE_WAIT);
  int error = 0;
  if (established) {
    const TSessionWatch watch(*this);
    error = FinishSending();
    if (watch.Ended() || FHSocket == INVALID_SOCKET) return;  // freed or closed meanwhile
  } else {
    // A reset since the peer's close refused what was sent after it.
    error = PendingError();
    if (error == 0 && !FBufHandler->IsEmpty()) error = WSAENOTCONN;
    if (error == 0) {
      InternalClose(true, 0);
      return;
    }
  }
  // Everything acknowledged: closing without linger sends no reset. Otherwise
  // the rest is dropped and the peer is told by a reset.
  linger l{};
  l.l_onoff = error != 0;
  l.l_linger = 0;
  WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  if (error == 0) {
    InternalClose(true, 0);
    return;
  }
  DiscardQueuedData();
  FLastError = error;
  const bool told = FCloseInvoked;
  const TSessionWatch watch(*this);
  InternalClose(false, static_cast<uint16_t>(error));
  if (told && !watch.Freed()) {
    // The close was told before this was found (data sent from the close's own
    // handler): the loss is reported instead.
    WSocket_WSASetLastError(error);
    ReportSocketError("Close");
  }
}

int TCustomWSocket::PendingError() {
  int err = 0;
  socklen_t errLen = sizeof err;
  if (FHSocket == INVALID_SOCKET || ::getsockopt(FHSocket, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) return 0;
  return err != 0 ? ErrnoToWinsock(err) : 0;
}

void TCustomWSocket::CloseLater() { PostToSession(FMsgCloseDelayed); }

void TCustomWSocket::Abort() {
  const TSessionWatch watch(*this);
  std::exception_ptr raised;
  try {
    CancelDnsLookup();
  } catch (...) {
    raised = std::current_exception();
  }
  // Unless the cancelled lookup's handler freed or closed it, the close goes on.
  if (!watch.Ended()) {
    DiscardQueuedData();
    try {
      if (FState == wsConnected && FType == SOCK_STREAM && FHSocket != INVALID_SOCKET) {
        FLingerOnOff = wsLingerOff;
        SetLingerOption();
      }
    } catch (...) {
      if (!raised) raised = std::current_exception();
    }
    try {
      if (!watch.Ended()) InternalClose(false, 0);
    } catch (...) {
      if (!raised) raised = std::current_exception();
    }
  }
  if (raised) std::rethrow_exception(raised);
}

void TCustomWSocket::InternalClose(bool bShut, uint16_t Error) {
  if (FHSocket == INVALID_SOCKET) {
    if (FState != wsClosed) {
      const TSessionWatch watch(*this);
      ChangeState(wsClosed);
      if (!watch.Freed()) AssignDefaultValue();
    }
    return;
  }
  const bool wasOpen = FState != wsClosed;
  if (Error == 0) Error = FGoneError;
  if (bShut && wasOpen) {
    const TSessionWatch watch(*this);
    Shutdown(1);
    if (watch.Ended()) return;  // the handler of a log failure closed (or freed) it
  }
  // The descriptor is closed exactly once, whatever close() reports.
  FWatch.reset();
  const int r = WSocket_closesocket(FHSocket);
  const int closeError = r != 0 ? WSocket_WSAGetLastError() : 0;
  FHSocket = INVALID_SOCKET;
  NewSession();
  FSelectMask = 0;
  // A handler that raises does not stop the close: it is told and the defaults
  // come back, then the exception goes on.
  std::exception_ptr raised;
  auto passOn = [&raised] {
    if (raised) std::rethrow_exception(raised);
  };
  if (wasOpen) {
    FCloseUntold = true;
    FCloseUntoldError = Error;
    {
      const TSessionWatch watch(*this);
      try {
        ChangeState(wsClosed);
      } catch (...) {
        raised = std::current_exception();
      }
      // Freed by its state-change handler, or opened again (the open told this close first).
      if (watch.Ended()) return passOn();
    }
    const TSessionWatch watch(*this);
    try {
      TellUntoldClose();
    } catch (...) {
      if (!raised) raised = std::current_exception();
    }
    // Freed, or opened again by the handler: the new session keeps its settings.
    if (watch.Ended()) return passOn();
  }
  AssignDefaultValue();
  passOn();
  if (closeError != 0 && closeError != WSANOTINITIALISED) {
    WSocket_WSASetLastError(closeError);
    ReportSocketError("Disconnect (closesocket)");
  }
}

void TCustomWSocket::DrainUntilClosed() {
  const TSessionWatch watch(*this);
  while (!watch.Ended() && FHSocket != INVALID_SOCKET && FState != wsClosed) {
    PumpMessages();
    if (watch.Ended() || FHSocket == INVALID_SOCKET || FState == wsClosed) return;
    unsigned long n = 0;
    if (WSocket_ioctlsocket_FIONREAD(FHSocket, &n) != 0) return;
    if (n > 0) {
      TriggerDataAvailable(0);
      if (watch.Ended() || FHSocket == INVALID_SOCKET) return;
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
// Events of an open socket

void TCustomWSocket::Do_FD_CONNECT(uint16_t err) {
  if (FState == wsConnected) return;
  const TSessionWatch watch(*this);
  ChangeState(wsConnected);
  if (watch.Ended()) return;
  TriggerSessionConnectedSpecial(err);
  // A handler that connected again (a retry) keeps its new attempt.
  if (watch.Ended()) return;
  if (err != 0 && FState != wsClosed) Close();
}

void TCustomWSocket::Do_FD_READ(uint16_t err) {
  if (FState != wsConnected) {
    const TSessionWatch watch(*this);
    ChangeState(wsConnected);
    if (watch.Ended()) return;
    TriggerSessionConnectedSpecial(err);
    if (watch.Freed() || FHSocket == INVALID_SOCKET) return;
  }
  ReceiveLoop(err, FComponentOptions);
}

void TCustomWSocket::Do_FD_WRITE(uint16_t err) {
  FWritePosted = false;
  const TSessionWatch watch(*this);
  TryToSend();
  if (watch.Ended()) return;  // a send handler closed, freed or reconnected it
  if (FAllSent && FHSocket != INVALID_SOCKET) TriggerDataSent(err);
}

void TCustomWSocket::Do_FD_ACCEPT(uint16_t err) { TriggerSessionAvailable(err); }

void TCustomWSocket::Do_FD_CLOSE(uint16_t err) {
  if (FState == wsConnecting || FHSocket == INVALID_SOCKET) return;
  const TSessionWatch watch(*this);
  FPeerCloseError = err;
  ReceiveLoop(0, FComponentOptions - wsoNoReceiveLoop);
  if (watch.Freed()) return;
  FPeerCloseError = 0;
  if (watch.Ended()) return;
  // A reset after the peer's close refused what was sent meanwhile: the close says so.
  if (err == 0) err = static_cast<uint16_t>(PendingError());
  // With data still on its way, the close tells whether it arrived.
  if (err == 0 && !FCloseInvoked && FState != wsClosed && HasDataToSend()) {
    Close();
    return;
  }
  if (!FCloseInvoked) {
    FCloseInvoked = true;
    TriggerSessionClosed(err);
    if (watch.Ended()) return;
  }
  if (FState != wsClosed) Close();
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
