// Event-driven TCP and UDP sockets.
//
// A socket is non-blocking and message-driven: readiness of its descriptor is
// turned into the classic network events (FD_CONNECT, FD_READ, FD_WRITE,
// FD_ACCEPT, FD_CLOSE, in that order when several are due) that are posted to
// the socket's hidden window and become its published events. The class stack,
// bottom first: TCustomWSocket (states, options, listen/connect/accept/close,
// sending through a buffer chain, receiving), TCustomSocksWSocket (SOCKS 4, 4A
// and 5 client), TCustomLineWSocket (line mode), TCustomSyncWSocket (waiting
// for completion) and TWSocket.
//
// Threads: a socket belongs to the thread that created it (or attached it);
// every event runs there and that thread must pump messages. Create, use and
// destroy a socket on its own thread. Errors go through ReportError: with
// OnError assigned the handler reads LastError; otherwise ESocketException is
// raised. Exceptions raised by event handlers inside the message loop go to
// OnBgException and, unless it says otherwise, abort the socket.
//
// Every queued event and posted message (a delayed close, a line-mode
// re-trigger) carries the generation of the socket's current session (each
// open of a descriptor) and of its message number, so a message of a session
// that has ended does nothing to a later one, nor to a socket that reuses the
// descriptor or number.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <deque>

#include "rtl/Classes.h"
#include "sockets/LineBuffer.h"
#include "sockets/SockLogger.h"
#include "sockets/SockWndControl.h"
#include "sockets/WSockBuf.h"
#include "sockets/WinsockApi.h"

class TFdWatch;
struct TDnsRequest;

enum TSocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};
// "wsClosed" and so on.
std::string SocketStateName(TSocketState s);

// The forward name lookup behind DnsLookup and ResolveHost: fills every IPv4 address of the
// name as dotted text and returns 0, or returns a WinSock error code. It runs
// on a lookup worker thread; `cancelled` turns true once nobody waits for the
// answer, and a lookup that can stop then should.
using THostLookup = std::function<int(const std::string& host, std::vector<std::string>& addresses,
                                      const std::atomic<bool>& cancelled)>;
// Replaces the forward lookup (an empty function: the system resolver) for
// lookups started afterwards; returns the one before. For tests.
THostLookup SetHostLookup(THostLookup lookup);
// Lookup worker threads alive now (at most a few, shared by every socket).
int DnsLookupThreads();

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };
enum TWSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL };
using TWSocketOptions = TSet<TWSocketOption>;

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

using TSessionEvent = std::function<void(TObject* Sender, uint16_t ErrCode)>;
using TDataAvailable = TSessionEvent;
using TDataSent = TSessionEvent;
using TDnsLookupDone = TSessionEvent;
using TSendData = std::function<void(TObject* Sender, int BytesSent)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TSocksErrorEvent = std::function<void(TObject* Sender, int Error, const std::string& Msg)>;
using TSocksConnectedEvent = std::function<void(TObject* Sender, uint16_t ErrCode)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;
using TLineLimitEvent = std::function<void(TObject* Sender, int RcvdLength, bool& ClearData)>;

// Result of a wait that ended without completion.
constexpr int WSOCKET_WAIT_TIMEOUT = 12001;

class TCustomWSocket : public TSockWndControl {
  RTL_CLASS(TCustomWSocket, TSockWndControl)
 public:
  explicit TCustomWSocket(TComponent* AOwner);
  ~TCustomWSocket() override;

  // --- properties
  const std::string& Addr() const { return FAddrStr; }
  void SetAddr(const std::string& v);
  const std::string& Port() const { return FPortStr; }
  void SetPort(const std::string& v);
  const std::string& Proto() const { return FProtoStr; }
  void SetProto(const std::string& v);
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& v);
  const std::string& LocalPort() const { return FLocalPortStr; }
  void SetLocalPort(const std::string& v);
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool v) { FMultiThreaded = v; }
  bool MultiCast() const { return FMultiCast; }
  void SetMultiCast(bool v) { FMultiCast = v; }
  const std::string& MultiCastAddrStr() const { return FMultiCastAddrStr; }
  void SetMultiCastAddrStr(const std::string& v) { FMultiCastAddrStr = v; }
  int MultiCastIpTTL() const { return FMultiCastIpTTL; }
  void SetMultiCastIpTTL(int v) { FMultiCastIpTTL = v; }
  // Seconds that Flush, and Close for what is still to send, wait at most (0: no limit).
  int FlushTimeout() const { return FFlushTimeout; }
  void SetFlushTimeout(int v) { FFlushTimeout = v; }
  TSocketSendFlags SendFlags();
  void SetSendFlags(TSocketSendFlags v);
  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff v) { FLingerOnOff = v; }
  int LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(int v) { FLingerTimeout = v; }
  TSocketKeepAliveOnOff KeepAliveOnOff() const { return FKeepAliveOnOff; }
  void SetKeepAliveOnOff(TSocketKeepAliveOnOff v) { FKeepAliveOnOff = v; }
  uint32_t KeepAliveTime() const { return FKeepAliveTime; }
  void SetKeepAliveTime(uint32_t v) { FKeepAliveTime = v; }
  uint32_t KeepAliveInterval() const { return FKeepAliveInterval; }
  void SetKeepAliveInterval(uint32_t v) { FKeepAliveInterval = v; }
  int LastError() const { return FLastError; }
  void SetLastError(int v) { FLastError = v; }
  bool ReuseAddr() const { return FReuseAddr; }
  void SetReuseAddr(bool v) { FReuseAddr = v; }
  TWSocketOptions ComponentOptions() const { return FComponentOptions; }
  void SetComponentOptions(TWSocketOptions v) { FComponentOptions = v; }
  int ListenBacklog() const { return FListenBacklog; }
  void SetListenBacklog(int v) { FListenBacklog = v; }
  uint8_t ReqVerLow() const;
  void SetReqVerLow(uint8_t v);
  uint8_t ReqVerHigh() const;
  void SetReqVerHigh(uint8_t v);
  TSockLogger* SockLogger() const { return FSockLogger; }
  void SetSockLogger(TSockLogger* v);
  int BufSize() const { return FBufHandler->BufSize(); }
  void SetBufSize(int v) { FBufHandler->SetBufSize(v); }
  int SocketRcvBufSize() const { return FSocketRcvBufSize; }
  void SetSocketRcvBufSize(int v);
  int SocketSndBufSize() const { return FSocketSndBufSize; }
  void SetSocketSndBufSize(int v);

  TSocketState State() const { return FState; }
  TSocket HSocket() const { return FHSocket; }
  bool AllSent() const { return FAllSent; }
  int64_t BufferedByteCount() const { return FBufferedByteCount; }
  int64_t ReadCount() const { return FReadCount; }
  const std::string& DnsResult() const { return FDnsResult; }
  const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
  // The event mask selected for the current descriptor (0 while none).
  int SelectedEvents() const { return FSelectMask; }
  bool Paused() const { return FPaused; }
  // Own message numbers (the test-exception message raises inside the loop).
  UINT MsgTestException() const { return FMsgTestException; }
  UINT MsgSocketEvents() const { return FMsgSocketEvents; }

  // --- events
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TSessionEvent OnSessionClosed;
  TSessionEvent OnSessionAvailable;
  TSessionEvent OnSessionConnected;
  TChangeState OnChangeState;
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;

  // --- resolvers: raise ESocketException (LastError holds the code: the
  // resolver's for a name, 10022 for an invalid text); results in network order / host order
  // Names are looked up with the forward lookup behind DnsLookup.
  uint32_t ResolveHost(const std::string& host);
  // ResolveHost without raising: 0, or the WinSock code (the resolver's for a
  // name it could not convert) with the message ResolveHost would raise.
  int TryResolveHost(const std::string& host, uint32_t& addr, std::string& message);
  int ResolvePort(const std::string& port, const std::string& proto);
  int ResolveProto(const std::string& proto);

  // --- opening and closing
  virtual void Listen();
  virtual void Connect();
  TSocket Accept();
  // Takes over a connected descriptor (from Accept). An open session is closed
  // first and its close told; when a handler of that close frees the socket or
  // opens it again, the descriptor is closed instead of taken.
  void Dup(TSocket NewHSocket);
  // Ends the session. A connected stream first sends what is still queued and
  // waits until the peer has acknowledged it (at most FlushTimeout seconds,
  // serving the thread's other messages meanwhile), then closes in order. When
  // that fails, the rest is dropped with a reset, and OnSessionClosed gets the
  // code (10060 when the time ran out), which LastError also holds.
  void Close();
  // Closes the session open now from the message loop (nothing when it has
  // ended by then, whatever has been opened since).
  void CloseLater();
  // Ends the session at once: what is still queued is dropped, nothing is
  // waited for. A handler that raises on the way (the cancelled lookup's, the
  // close's) does not stop the close: its exception comes out after it.
  void Abort();
  void Shutdown(int How);
  void DnsLookup(const std::string& HostName);
  void ReverseDnsLookup(const std::string& HostAddr);
  void ReverseDnsLookupBlocking(const std::string& HostAddr);
  void CancelDnsLookup();
  // Reads and drops what arrives until the peer closes.
  void DrainUntilClosed();
  void PauseEvents();
  void ResumeEvents();
  void AttachToThread() override;
  void DetachFromThread() override;

  // --- sending
  // Queues the data and sends what the network takes now; -1 when not
  // connected. A datagram socket sends each call as one datagram.
  int Send(const void* Data, int Len);
  int SendText(const std::string& Str);
  int SendChar(char Ch);
  int SendTo(const sockaddr_in& Dest, const void* Data, int Len);
  void QueueData(const void* Data, int Len);
  void QueueText(const std::string& Str);
  // Sends what is queued, waiting at most FlushTimeout seconds.
  void Flush();
  void DiscardQueuedData();

  // --- receiving
  virtual int PendingByteCount();
  // A datagram longer than the buffer gives what fit and sets LastError 10040
  // (the rest of it is gone); so does ReceiveFrom.
  int Receive(void* Buffer, int BufferSize);
  std::string ReceiveAsString();
  int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);

  // --- queries
  std::string GetPeerAddr();
  std::string GetPeerPort();
  int GetPeerName(sockaddr_in& Name, int NameLen);
  std::string GetBoundAddr();
  std::string GetBoundPort();

  // --- logging through SockLogger
  bool LogOptionEnabled(TLogOption option) const;
  // Hands the line to the logger. A line that cannot be written never changes
  // what the socket does and never raises out of it: the failure goes to
  // OnBgException with CanClose False, and the socket is not closed whatever
  // the handler leaves there. A logger in trouble is told once, not once per
  // line: again only after it has written a line whole (see
  // TSockLogger::TryWriteLogLine); without a handler, or while the socket is
  // destroyed, the failure is only counted by the logger.
  void WriteDebugLog(TLogOption option, const std::string& Msg);

  void HandleWindowMessage(TMessage& msg) override;
  int MessagesNeeded() override;
  void AbortComponent() override;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void ClaimMessages() override;
  void ReturnMessages() override;

  virtual void AssignDefaultValue();
  virtual bool TriggerDataAvailable(uint16_t ErrCode);
  virtual void TriggerSessionAvailable(uint16_t ErrCode);
  virtual void TriggerSessionConnectedSpecial(uint16_t ErrCode);
  virtual void TriggerSessionConnected(uint16_t ErrCode);
  virtual void TriggerSessionClosed(uint16_t ErrCode);
  virtual void TriggerDataSent(uint16_t ErrCode);
  virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
  virtual void TriggerDNSLookupDone(uint16_t ErrCode);
  virtual void TriggerError();
  virtual void TriggerSendData(int BytesSent);
  virtual int DoRecv(void* Buffer, int BufferSize, int Flags);
  // True while the connection is not yet the user's to send on (a SOCKS negotiation).
  virtual bool UserSendsHeld() const { return false; }

  void ChangeState(TSocketState NewState);
  void ReportError(const std::string& Msg);
  void ReportSocketError(const std::string& CallName);
  void InternalClose(bool bShut, uint16_t Error);
  void ReceiveLoop(uint16_t ErrCode, TWSocketOptions Options);
  void TryToSend();
  int SendNow(const void* Data, int Len);
  bool SendDirect(const void* Data, int Len);
  // One send of several blocks of the chain (stream sockets).
  int SendNowGather(const iovec* iov, int count);
  static constexpr int kGatherBlocks = 64;
  // Taken before user code (an event handler, the log report's handler) runs
  // inside a call of the socket, and asked after it: a handler may close,
  // abort, free or reconnect the socket. After Freed() no member may be read;
  // after Ended() (freed, closed, or closed and opened again) the call returns
  // at once, since what it held belongs to a session that is over; Replaced()
  // tells that another session than the watched one is open now.
  class TSessionWatch {
   public:
    explicit TSessionWatch(const TCustomWSocket& s) : FAlive(s.FAlive), FSocket(s), FSession(s.FSession) {}
    bool Freed() const { return !*FAlive; }
    bool Ended() const { return !*FAlive || FSocket.FSession != FSession; }
    bool Replaced() const { return Ended() && !Freed() && FSocket.FHSocket != INVALID_SOCKET; }

   private:
    std::shared_ptr<bool> FAlive;
    const TCustomWSocket& FSocket;
    uint32_t FSession;
  };
  sockaddr_in& SinAddr() { return Fsin; }
  void MarkPortResolved(int port);
  void MarkAddrResolved(uint32_t addr);

  // Datagram (or raw) socket: each read takes one whole message.
  bool IsMessageSocket() const { return FType != SOCK_STREAM; }
  // The error code of the peer's close being handled (0 for an orderly one, or none).
  uint16_t PeerCloseError() const { return FPeerCloseError; }
  // A host-name or address lookup is under way (its answer is still to come).
  bool DnsLookupPending() const { return FDnsRequestId != 0; }
  // Posts msg to the own window for the session open now; OfThisSession tells
  // whether a message is still of the session that posted it.
  void PostToSession(UINT msg) { PostMsg(msg, FSession, 0); }
  bool OfThisSession(const TMessage& msg) const { return msg.WParam == FSession; }

  UINT FMsgLineRetrigger = 0;

 private:
  void SetEndpointText(std::string& field, bool& assigned, bool& resolved, const std::string& v, const char* what);
  void DispatchSocketEvents(TMessage& msg);
  void Do_FD_CONNECT(uint16_t err);
  void Do_FD_READ(uint16_t err);
  void Do_FD_WRITE(uint16_t err);
  void Do_FD_ACCEPT(uint16_t err);
  void Do_FD_CLOSE(uint16_t err);
  bool StartLookup(UINT msg, std::function<void(TDnsRequest&)> work);
  void WMAsyncLookupDone(TMessage& msg);
  bool ResolveProtoAndType(bool forConnect);
  [[noreturn]] void ResolveFailed(int code, const std::string& message);
  void SetLingerOption();
  void SetKeepAliveOption();
  bool BindSocket();
  // Resolves, then creates the descriptor of a new session; false after a report.
  bool OpenSocket(bool forConnect, const std::string& resolveContext, const std::string& socketCall);
  // A new generation of events: at each open and each close of a descriptor.
  void NewSession();
  // A descriptor was opened: a session whose close is still to be told.
  void SessionOpened();
  void TellUntoldClose();
  // Runs the steps after a descriptor was created; closes it when one raises.
  void ClosingOnThrow(const std::function<void()>& steps);
  void ListenOpened();
  void ConnectOpened();
  // Closes after a failing call and reports that call's error.
  void FailAndClose(const std::string& call);
  // Sends from the stream's queue (several blocks in one call); len: the bytes
  // offered, 0 when nothing is queued (then nothing is sent).
  int SendQueuedStream(int& len);
  // Takes n bytes that have left from the stream's queue.
  void RemoveSent(int n);
  int FinishSending();
  // Queued in the socket, or sent and not yet acknowledged (streams).
  bool HasDataToSend();
  void ReadBufferSizes();
  // The error the descriptor holds (a reset by the peer), as a WinSock code; 0 for none.
  int PendingError();
  void ConnectionGone(int code);
  void PostSocketEvent(int event, int error);
  void PostWriteOnce();
  // The stand-in of asynchronous select: watch the descriptor for `mask`.
  int AsyncSelect(int mask);
  void UpdateInterest();
  void OnReadable();
  void OnWritable();
  void ReArmRead();
  int TakeHeld(void* Buffer, int BufferSize, int Flags, sockaddr_in* From, int* FromLen);
  bool ReadAheadDatagram();
  WPARAM SessionTag() const;

  TSocket FHSocket = INVALID_SOCKET;
  TSocket FLastAccepted = INVALID_SOCKET;
  UINT FMsgSocketEvents = 0;
  UINT FMsgHostLookup = 0;
  UINT FMsgAddrLookup = 0;
  UINT FMsgCloseDelayed = 0;
  UINT FMsgTestException = 0;

  std::string FAddrStr;
  bool FAddrAssigned = false;
  bool FAddrResolved = false;
  int FAF = AF_INET;
  std::string FProtoStr;
  bool FProtoAssigned = false;
  bool FProtoResolved = false;
  int FProto = 0;
  std::string FPortStr;
  bool FPortAssigned = false;
  bool FPortResolved = false;
  int FPortNum = 0;
  std::string FLocalPortStr;
  bool FLocalPortResolved = false;
  int FLocalPortNum = 0;
  std::string FLocalAddr;
  int FType = 1;
  sockaddr_in Fsin{};

  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  int FLingerTimeout = 0;
  TSocketKeepAliveOnOff FKeepAliveOnOff = wsKeepAliveOff;
  uint32_t FKeepAliveTime = 0;
  uint32_t FKeepAliveInterval = 0;
  int FListenBacklog = 5;

  std::unique_ptr<TSockBufferHandler> FBufHandler;
  std::deque<std::string> FDgramQueue;
  bool FAllSent = true;
  int64_t FBufferedByteCount = 0;
  int FSendFlags = 0;
  int FFlushTimeout = 60;
  bool FInTryToSend = false;
  bool FClosing = false;         // Close waits for the peer to take what was sent
  uint16_t FPeerCloseError = 0;  // the code of the peer's close being handled (0: orderly, or none)
  uint32_t FDiscards = 0;        // DiscardQueuedData calls, so a send loop sees its bytes go

  int64_t FReadCount = 0;
  int FSocketRcvBufSize = 0;
  int FSocketSndBufSize = 0;

  bool FPaused = false;
  bool FCloseInvoked = false;
  // A close whose state change is being told; its OnSessionClosed follows (or
  // comes first in an open made by a handler of that change).
  bool FCloseUntold = false;
  uint16_t FCloseUntoldError = 0;
  uint16_t FGoneError = 0;  // the connection was found gone with this code: its close tells it
  int FSelectEvent = 0;
  int FSelectMask = 0;

  std::shared_ptr<TDnsRequest> FDnsRequest;
  uint64_t FDnsRequestId = 0;
  std::string FDnsResult;
  std::vector<std::string> FDnsResultList;

  bool FMultiCast = false;
  std::string FMultiCastAddrStr;
  int FMultiCastIpTTL = 1;
  bool FReuseAddr = false;
  TWSocketOptions FComponentOptions;
  bool FMultiThreaded = false;
  TSocketState FState = wsClosed;
  int FLastError = 0;
  TSockLogger* FSockLogger = nullptr;

  // Readiness emulation.
  std::unique_ptr<TFdWatch> FWatch;
  uint32_t FSession = 0;
  bool FReadPending = false;    // FD_READ/FD_ACCEPT posted, not re-armed by a read yet
  bool FCloseNotified = false;  // FD_CLOSE posted for this session
  bool FConnectPosted = false;  // FD_CONNECT posted for this session
  bool FWantWrite = false;      // a send would block: FD_WRITE when writable
  bool FWritePosted = false;    // an FD_WRITE is queued
  // Network events in the order they are handled, and those that arrived while
  // paused (with their error codes), posted again on resume.
  static constexpr int kEventCount = 5;
  static constexpr int kEventOrder[kEventCount] = {FD_CONNECT, FD_READ, FD_WRITE, FD_ACCEPT, FD_CLOSE};
  int FHeldEvents = 0;
  uint16_t FHeldErrors[kEventCount] = {};
  uint64_t FRecvCalls = 0;
  long FPendingHint = -1;  // FIONREAD result not yet made stale by a read
  bool FRecvCut = false;   // the last read cut a datagram to fit the buffer
  // A datagram read ahead by the receive loop, served by the next read.
  std::unique_ptr<char[]> FHeld;
  int FHeldLen = 0;
  bool FHeldValid = false;
  sockaddr_in FHeldFrom{};

  std::shared_ptr<bool> FAlive;
};

class TCustomSocksWSocket : public TCustomWSocket {
  RTL_CLASS(TCustomSocksWSocket, TCustomWSocket)
 public:
  explicit TCustomSocksWSocket(TComponent* AOwner);

  const std::string& SocksServer() const { return FSocksServer; }
  void SetSocksServer(const std::string& v);
  const std::string& SocksLevel() const { return FSocksLevel; }
  void SetSocksLevel(const std::string& v);
  const std::string& SocksPort() const { return FSocksPort; }
  void SetSocksPort(const std::string& v);
  const std::string& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const std::string& v) { FSocksUsercode = v; }
  const std::string& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const std::string& v) { FSocksPassword = v; }
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication v) { FSocksAuthentication = v; }
  // True while a negotiation with the SOCKS server is under way.
  bool SocksNegotiating() const { return FSocksState != 0; }

  TSocksErrorEvent OnSocksError;
  TSocksConnectedEvent OnSocksConnected;
  TSocksAuthStateEvent OnSocksAuthState;

  void Listen() override;
  void Connect() override;
  int PendingByteCount() override;

 protected:
  void AssignDefaultValue() override;
  void TriggerSessionConnectedSpecial(uint16_t ErrCode) override;
  bool TriggerDataAvailable(uint16_t ErrCode) override;
  void TriggerSessionClosed(uint16_t ErrCode) override;
  int DoRecv(void* Buffer, int BufferSize, int Flags) override;
  bool UserSendsHeld() const override { return FSocksState != 0 && !FSendingRaw; }

 private:
  bool SetWhileClosed(std::string& field, bool& assigned, const std::string& v, const char* what);
  void SocksDoConnect();
  void SocksDoAuthenticate();
  void SocksDoError(int Error, const std::string& Msg);
  void SendRaw(const std::string& bytes);
  void Consume(int n);

  int FSocksState = 0;       // 0 idle, 1 greeting sent, 2 authentication sent, 3 request sent
  bool FSendingRaw = false;  // the negotiation's own message is being sent
  std::string FSocksServer;
  bool FSocksServerAssigned = false;
  std::string FSocksLevel = "5";
  std::string FSocksPort;
  bool FSocksPortAssigned = false;
  std::string FSocksUsercode;
  std::string FSocksPassword;
  TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
  int FSocksMethod = 0;
  uint16_t FSocksDestPort = 0;
  uint8_t FRcvBuf[512] = {};
  int FRcvCnt = 0;
  int FRcvOffset = 0;
};

class TCustomLineWSocket : public TCustomSocksWSocket {
  RTL_CLASS(TCustomLineWSocket, TCustomSocksWSocket)
 public:
  explicit TCustomLineWSocket(TComponent* AOwner);

  // Line mode cuts lines at LineEnd. On a datagram socket each datagram stays
  // apart: its unfinished end is delivered as its last line. When the buffer
  // passes LineLimit and is cleared, the rest of the line being received, up to
  // its line end, is dropped too.
  bool LineMode() const { return FLineMode; }
  void SetLineMode(bool v);
  int LineLimit() const { return FLineLimit; }
  void SetLineLimit(int v) { FLineLimit = v; }
  const std::string& LineEnd() const { return FLineEnd; }
  void SetLineEnd(const std::string& v) {
    FLineEnd = v;
    FSkipLine = false;
  }
  bool LineEcho() const { return FLineEcho; }
  void SetLineEcho(bool v) { FLineEcho = v; }
  bool LineEdit() const { return FLineEdit; }
  void SetLineEdit(bool v) { FLineEdit = v; }
  // Bytes held by line mode (received and not yet read).
  int RcvdCount() const { return FLineBuf.Received(); }

  TLineLimitEvent OnLineLimitExceeded;

  // Sends the text followed by LineEnd; returns the bytes queued, 0 for an
  // empty text, -1 when not connected (nothing is queued then).
  int SendLine(const std::string& Str);
  int PendingByteCount() override;
  void HandleWindowMessage(TMessage& msg) override;

 protected:
  bool TriggerDataAvailable(uint16_t ErrCode) override;
  void TriggerSessionClosed(uint16_t ErrCode) override;
  int DoRecv(void* Buffer, int BufferSize, int Flags) override;

 private:
  // Offers complete lines (and, once line mode is off, raw bytes) to the
  // handler; stops when the handler leaves a line unread.
  void DeliverLines(int searchStart);
  void DeliverRaw();
  void LineRetrigger();

  TLineBuffer FLineBuf;
  std::vector<char> FScratch;
  std::string FLineEnd = "\r\n";
  bool FLineMode = false;
  int FLineLimit = 65536;
  bool FLineFound = false;
  bool FLineReceivedFlag = false;
  bool FLineEcho = false;
  bool FLineEdit = false;
  bool FSkipLine = false;  // the line limit dropped the start of a line: drop the rest up to its line end
};

class TCustomSyncWSocket : public TCustomLineWSocket {
  RTL_CLASS(TCustomSyncWSocket, TCustomLineWSocket)
 public:
  explicit TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) {}

  // Milliseconds a wait lasts at most; 0 waits without limit.
  uint32_t Timeout() const { return FTimeout; }
  void SetTimeout(uint32_t v) { FTimeout = v; }

  // Pumps messages until DoneFlag is set (0), or returns 12001 when the time-out
  // passes, the application is closing, the message loop ended or the socket
  // was freed meanwhile (DoneFlag must then outlive the socket). A session that
  // ends during the wait, by a failed connect or SOCKS negotiation or by a
  // close, ends it too: it returns the connect's or the close's error code, or
  // 10053 (connection aborted) for a close that carries none; a Connect refused
  // before a session opened (reported to OnError) returns LastError, or 10057.
  // A new Connect made meanwhile (a retry) keeps the wait going. A wait begun
  // when the session has already ended (no connect nor lookup under way)
  // returns that end's code at once.
  int WaitUntilReady(bool& DoneFlag);
  // DoneFlag := false, Proc(), then WaitUntilReady; a session that Proc itself
  // ends counts as ending the wait.
  int Synchronize(const std::function<void()>& Proc, bool& DoneFlag);
  void Connect() override;

 protected:
  void TriggerSessionConnected(uint16_t ErrCode) override;
  void TriggerSessionClosed(uint16_t ErrCode) override;

 private:
  int Wait(bool& DoneFlag, uint64_t endsBefore);
  void SessionEnded(int code);

  uint32_t FTimeout = 0;
  uint64_t FSessionEnds = 0;        // session ends so far (failed connects and closes)
  uint64_t FEndsBeforeConnect = 0;  // ... when the last Connect started: those are over
  int FSessionEndCode = 0;          // the code of the last end
  int FConnectError = 0;            // the failed connect of the current attempt, given to its close
};

class TWSocket : public TCustomSyncWSocket {
  RTL_CLASS(TWSocket, TCustomSyncWSocket)
 public:
  using OwnerType = TComponent;
  explicit TWSocket(TComponent* AOwner) : TCustomSyncWSocket(AOwner) {}
};

// The unit's socket list (kept for completeness; nothing adds to it) and the
// lock to hold while using it.
TStringList& WSocketList();
std::mutex& WSocketListLock();
// Registers the unit's classes by name.
void RegisterWSocketClasses();
