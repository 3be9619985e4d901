// Sending and receiving of the event-driven sockets: the send buffers and their flush, reads
// into the caller's buffer, datagrams.
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
#include <mutex>
#include <thread>

#include "platform/FdWatch.h"
#include "rtl/SysUtils.h"
#include "sockets/SocksProtocol.h"
#include "sockets/WSocketInternal.h"

using namespace wsocket_detail;

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

// Before the connection is the user's (still connecting, or negotiating with a
// SOCKS server, where the bytes would be taken for the negotiation's) a send
// is refused as not connected.
int TCustomWSocket::Send(const void* Data, int Len) {
  if ((FState != wsConnected && FState != wsSocksConnected) || UserSendsHeld()) {
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
  const TSessionWatch watch(*this);
  TryToSend();
  if (watch.Ended()) return result;  // a handler closed, freed or reconnected it: the send is over
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
  const TSessionWatch watch(*this);
  if (n > 0) TriggerSendData(n);
  if (watch.Ended()) return n;
  if (FAllSent && FType == SOCK_DGRAM) PostWriteOnce();
  return n;
}

// The connection is gone: the session closes and its close tells the code,
// also when a handler of the log report closes or aborts it first.
void TCustomWSocket::ConnectionGone(int code) {
  FGoneError = static_cast<uint16_t>(code);
  if (LogOptionEnabled(loWsockErr)) {
    const TSessionWatch watch(*this);
    WriteDebugLog(loWsockErr, Name() + " Winsock Send failed - " + SocketErrorText(code));
    if (watch.Ended()) return;  // the handler of a log failure closed (or freed) it
  }
  InternalClose(true, static_cast<uint16_t>(code));  // nothing more can be delivered
}

int TCustomWSocket::SendQueuedStream(int& len) {
  // Several queued blocks leave in one call; a byte stream keeps no boundaries.
  iovec iov[kGatherBlocks];
  const int blocks = FBufHandler->PeekBlocks(iov, kGatherBlocks);
  len = 0;
  for (int i = 0; i < blocks; ++i) len += static_cast<int>(iov[i].iov_len);
  if (len < 1) return 0;
  return blocks == 1 ? SendNow(iov[0].iov_base, len) : SendNowGather(iov, blocks);
}

void TCustomWSocket::RemoveSent(int n) {
  FBufferedByteCount = std::max<int64_t>(0, FBufferedByteCount - n);
  for (int left = n; left > 0;) {
    const char* head;
    const int take = std::min(left, FBufHandler->Peek(head));
    FBufHandler->Remove(take);
    left -= take;
  }
}

void TCustomWSocket::TryToSend() {
  std::unique_lock<TSockBufferHandler> g(*FBufHandler);
  if (FInTryToSend) return;                              // a handler sent from inside a send: the running loop takes it
  if (FWantWrite && FHSocket != INVALID_SOCKET) return;  // the network is full: FD_WRITE continues
  if (FHSocket == INVALID_SOCKET || (FBufHandler->IsEmpty() && FDgramQueue.empty())) {
    FAllSent = true;
    return;
  }
  FInTryToSend = true;
  const TSessionWatch watch(*this);
  TScopeExit sent([this, &watch] {
    if (!watch.Freed()) FInTryToSend = false;  // a socket freed by a handler is not touched
  });
  for (;;) {
    if (FHSocket == INVALID_SOCKET) return;
    int len;
    int n;
    std::string dgram;
    // The send handler may close the socket or discard the queue; what it
    // discarded is not removed again.
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
      n = SendQueuedStream(len);
      if (len < 1) {
        FAllSent = true;
        return;
      }
    }
    if (watch.Freed()) {
      g.release();  // the socket and its buffers are gone
      return;
    }
    if (watch.Ended()) return;
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
    if (FType != SOCK_STREAM) {
      FBufferedByteCount = std::max<int64_t>(0, FBufferedByteCount - n);
      if (!FDgramQueue.empty()) FDgramQueue.pop_front();
      continue;
    }
    RemoveSent(n);
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
  const TSessionWatch watch(*this);
  while (!watch.Freed() && FHSocket != INVALID_SOCKET && !FAllSent) {
    TryToSend();
    if (watch.Freed() || FAllSent || FHSocket == INVALID_SOCKET) return;
    PumpMessages();
    if (watch.Freed() || FHSocket == INVALID_SOCKET) return;
    const auto now = clock::now();
    if (FFlushTimeout > 0 && now >= deadline) return;  // give up: the rest stays queued
    const int ms = static_cast<int>(
        std::min<int64_t>(50, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1));
    pollfd p{FHSocket, POLLOUT, 0};
    if (::poll(&p, 1, ms) > 0 && (p.revents & POLLOUT)) FWantWrite = false;
  }
}

// Sends what is queued and waits until the peer has acknowledged every byte
// sent, within FlushTimeout seconds (0: no limit). Returns 0, or the code of the
// failure (10060 when the time ran out). Meanwhile this socket's own events wait
// (the close ends them); the thread's other messages are served.
int TCustomWSocket::FinishSending() {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::seconds(std::max(0, FFlushTimeout));
  const TSessionWatch watch(*this);
  const bool wasPaused = FPaused;
  FClosing = true;
  FPaused = true;
  UpdateInterest();
  TScopeExit restore([this, &watch, wasPaused] {
    if (watch.Freed()) return;
    FClosing = false;
    if (watch.Ended()) return;
    FPaused = wasPaused;
    UpdateInterest();
  });
  auto gone = [&] { return watch.Ended() || FHSocket == INVALID_SOCKET; };
  for (;;) {
    short waitFor = 0;  // 0: only errors end the short wait below
    {
      std::unique_lock<TSockBufferHandler> g(*FBufHandler);
      const uint32_t discards = FDiscards;
      int len = 0;
      const int n = SendQueuedStream(len);
      if (len > 0) {
        if (watch.Freed()) {
          g.release();  // the socket and its buffers are gone
          return 0;
        }
        if (gone()) return 0;
        if (FDiscards != discards) continue;  // a send handler discarded the queue
        if (n < 0) {
          const int code = WSocket_WSAGetLastError();
          if (code != WSAEWOULDBLOCK) return code;
          waitFor = POLLOUT;
        } else {
          RemoveSent(n);
          if (n == len) continue;
          waitFor = POLLOUT;
        }
      } else {
        FAllSent = true;
        // The system's queue: sent but not yet acknowledged. A reset empties it
        // and leaves its error behind.
        int err = 0;
        socklen_t errLen = sizeof err;
        if (::getsockopt(FHSocket, SOL_SOCKET, SO_ERROR, &err, &errLen) == 0 && err != 0) return ErrnoToWinsock(err);
        int unacked = 0;
        if (::ioctl(FHSocket, SIOCOUTQ, &unacked) != 0 || unacked <= 0) return 0;
      }
    }
    const auto now = clock::now();
    if (FFlushTimeout > 0 && now >= deadline) return WSAETIMEDOUT;
    PumpMessages();
    if (gone()) return 0;
    const int ms =
        FFlushTimeout > 0
            ? static_cast<int>(std::clamp<int64_t>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count(), 0, waitFor ? 20 : 2))
            : (waitFor ? 20 : 2);
    pollfd p{FHSocket, waitFor, 0};
    ::poll(&p, 1, ms);
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
  FRecvCut = n < FHeldLen;
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
  // A datagram longer than the buffer is cut: the read says how long it was.
  const bool datagram = FType != SOCK_STREAM;
  int r = WSocket_recv(FHSocket, Buffer, BufferSize, datagram ? Flags | MSG_TRUNC : Flags);
  ++FRecvCalls;
  ReArmRead();
  if (datagram && r > BufferSize) {
    FRecvCut = true;
    r = std::max(BufferSize, 0);
  }
  return r;
}

// A datagram cut to fit the buffer gives what fit, with LastError 10040.
int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
  FRecvCut = false;
  const int r = DoRecv(Buffer, BufferSize, 0);
  if (r < 0) {
    FLastError = WSocket_WSAGetLastError();
  } else {
    FReadCount += r;
    if (FRecvCut) FLastError = WSAEMSGSIZE;
  }
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
  FRecvCut = false;
  int r;
  if (FHeldValid) {
    r = TakeHeld(Buffer, BufferSize, 0, &From, &FromLen);
  } else {
    const bool datagram = FType != SOCK_STREAM;
    r = WSocket_recvfrom(FHSocket, Buffer, BufferSize, datagram ? MSG_TRUNC : 0, &From, &FromLen);
    ++FRecvCalls;
    ReArmRead();
    if (datagram && r > BufferSize) {
      FRecvCut = true;
      r = std::max(BufferSize, 0);
    }
  }
  if (r < 0) {
    FLastError = WSocket_WSAGetLastError();
  } else {
    FReadCount += r;
    if (FRecvCut) FLastError = WSAEMSGSIZE;
  }
  return r;
}

void TCustomWSocket::ReceiveLoop(uint16_t ErrCode, TWSocketOptions Options) {
  const TSessionWatch watch(*this);
  for (;;) {
    FLastError = 0;
    const uint64_t before = FRecvCalls;
    const bool handled = TriggerDataAvailable(ErrCode);
    if (watch.Ended() || FHSocket == INVALID_SOCKET) return;
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
