// Line mode and synchronous waits of the sockets: received bytes cut into lines at an end-of-line
// string, and waiting for a state or a line while pumping messages.
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
#include "sockets/WSocketInternal.h"

using namespace wsocket_detail;

// ===========================================================================
// TCustomLineWSocket

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) {}

void TCustomLineWSocket::SetLineMode(bool v) {
  if (v == FLineMode) return;
  FLineMode = v;
  FSkipLine = false;
  if (FLineBuf.Received() > 0 || FLineBuf.WaitingLine() > 0) PostToSession(FMsgLineRetrigger);
}

void TCustomLineWSocket::HandleWindowMessage(TMessage& msg) {
  if (msg.Msg == FMsgLineRetrigger && FMsgLineRetrigger != 0) {
    // The bytes it was posted for went with their session.
    if (OfThisSession(msg)) RunHandlingExceptions([this] { LineRetrigger(); });
    return;
  }
  TCustomSocksWSocket::HandleWindowMessage(msg);
}

void TCustomLineWSocket::LineRetrigger() {
  const TSessionWatch watch(*this);
  int passes = 0;
  while (!watch.Freed() && FLineBuf.Received() > 0) {
    ++passes;
    const int before = FLineBuf.Received();
    FLineFound = false;
    TriggerDataAvailable(0);
    if (watch.Freed()) return;
    if (FLineMode && passes >= 4 && !FLineFound) return;
    if (FLineBuf.Received() == before) return;  // nobody reads: keep the bytes for later
  }
}

int TCustomLineWSocket::PendingByteCount() {
  if (FLineMode) return FLineBuf.WaitingLine();
  if (FLineBuf.Received() > 0) return FLineBuf.RawAvailable();
  return TCustomSocksWSocket::PendingByteCount();
}

int TCustomLineWSocket::DoRecv(void* Buffer, int BufferSize, int Flags) {
  if (FLineMode && FLineBuf.WaitingLine() > 0) return FLineBuf.Read(static_cast<char*>(Buffer), BufferSize, true);
  if (!FLineMode && FLineBuf.Received() > 0) return FLineBuf.Read(static_cast<char*>(Buffer), BufferSize, false);
  return TCustomSocksWSocket::DoRecv(Buffer, BufferSize, Flags);
}

bool TCustomLineWSocket::TriggerDataAvailable(uint16_t ErrCode) {
  if (!FLineMode || FLineEnd.empty() || SocksNegotiating()) return TCustomSocksWSocket::TriggerDataAvailable(ErrCode);
  const bool datagram = IsMessageSocket();
  int n = TCustomSocksWSocket::PendingByteCount();
  if (n < 0) return true;
  if (n == 0) n = 255;
  // Never more than the line limit allows, so the buffer stays bounded; a
  // datagram is read whole (its size is what is pending).
  if (FLineLimit > 0 && !datagram) n = std::min(n, std::max(FLineLimit + 1 - FLineBuf.Received(), 255));
  if (static_cast<int>(FScratch.size()) < n) FScratch.resize(static_cast<size_t>(n));
  int r = TCustomSocksWSocket::DoRecv(FScratch.data(), n, 0);
  if (r < 0) SetLastError(WSocket_WSAGetLastError() == WSAEWOULDBLOCK ? 0 : WSocket_WSAGetLastError());
  if (r < 1) {
    if (FLineBuf.Received() == 0) return true;
    r = 0;
  }
  const int from = FLineBuf.Received();
  int start = FLineBuf.Append(FScratch.data(), r, static_cast<int>(FLineEnd.size()));
  const TSessionWatch watch(*this);
  if (r > 0) {
    if (FLineEdit) {
      const std::string echo = FLineBuf.Edit(from, FLineEcho);
      if (FLineEcho && !echo.empty()) SendText(echo);
    } else if (FLineEcho) {
      Send(FScratch.data(), r);
    }
    if (watch.Freed()) return true;
    if (datagram) FLineBuf.MarkMessageEnd();
  }
  if (FSkipLine) {
    // What follows a cleared over-long line up to its line end belongs to it.
    if (!FLineBuf.SkipPastLineEnd(FLineEnd)) return true;
    FSkipLine = false;
    start = 0;
  }
  DeliverLines(start);
  if (watch.Freed()) return true;
  if (FLineLimit > 0 && FLineBuf.Received() > FLineLimit) {
    bool clear = true;
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, FLineBuf.Received(), clear);
    if (!watch.Freed() && clear) {
      FSkipLine = FLineMode && !datagram && !FLineBuf.EndsWithLineEnd(FLineEnd);
      FLineBuf.Clear();
    }
  }
  return true;
}

void TCustomLineWSocket::DeliverLines(int searchStart) {
  const TSessionWatch watch(*this);
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
      if (watch.Freed()) return;
      if (FLineMode && FLineBuf.WaitingLine() == before) return;  // left unread: offered again later
    }
    searchStart = 0;
    if (!FLineMode) FLineBuf.SetWaitingLine(0);
    DeliverRaw();
    if (watch.Freed()) return;
  }
}

void TCustomLineWSocket::DeliverRaw() {
  const TSessionWatch watch(*this);
  while (!FLineMode && FLineBuf.Received() > 0) {
    const int before = FLineBuf.Received();
    if (!TCustomSocksWSocket::TriggerDataAvailable(0)) {
      FLineBuf.Clear();
      return;
    }
    if (watch.Freed()) return;
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
  FSkipLine = false;
  const TSessionWatch watch(*this);
  // What is left becomes the last line (on a datagram socket, the last line of
  // each datagram still held).
  const bool datagram = IsMessageSocket();
  while (FLineMode && FLineBuf.Received() > 0) {
    if (!datagram || !FLineBuf.FindLine(0, FLineEnd)) FLineBuf.SetWaitingLine(FLineBuf.Received());
    bool delivered = false;
    while (FLineMode && FLineBuf.WaitingLine() > 0) {
      const int before = FLineBuf.WaitingLine();
      if (!TCustomSocksWSocket::TriggerDataAvailable(0)) break;
      if (watch.Freed()) return;
      if (FLineBuf.WaitingLine() == before) break;
      delivered = true;
    }
    if (!delivered || FLineBuf.WaitingLine() > 0) break;
  }
  FLineBuf.Clear();
  TCustomSocksWSocket::TriggerSessionClosed(ErrCode);
}

// ===========================================================================
// TCustomSyncWSocket

int TCustomSyncWSocket::WaitUntilReady(bool& DoneFlag) { return Wait(DoneFlag, FSessionEnds); }

int TCustomSyncWSocket::Synchronize(const std::function<void()>& Proc, bool& DoneFlag) {
  DoneFlag = false;
  const uint64_t endsBefore = FSessionEnds;
  if (Proc) Proc();
  return Wait(DoneFlag, endsBefore);
}

int TCustomSyncWSocket::Wait(bool& DoneFlag, uint64_t endsBefore) {
  // Ended since the wait began, and not followed by a new connect attempt.
  auto ended = [this, endsBefore] { return FSessionEnds > std::max(endsBefore, FEndsBeforeConnect); };
  if (DoneFlag) return 0;
  if (ended()) return FSessionEndCode;
  // Begun after the session ended, with nothing under way that could still set
  // the flag (no connect, no lookup): that end is the answer.
  if (State() == wsClosed && HSocket() == INVALID_SOCKET && FSessionEnds > FEndsBeforeConnect && !DnsLookupPending())
    return FSessionEndCode;
  if (QCoreApplication::closingDown() || LoopEnded()) return WSOCKET_WAIT_TIMEOUT;
  const TSessionWatch watch(*this);
  // Sleeps in the message layer until a message sets the flag, ends the
  // session, the time-out passes or a quit is requested.
  const int ms = FTimeout > 0 ? static_cast<int>(std::min<uint32_t>(FTimeout, INT32_MAX)) : -1;
  const TWaitEnd end = WaitMessages([&] { return DoneFlag || watch.Freed() || ended(); }, ms);
  if (DoneFlag) return 0;
  if (watch.Freed()) return WSOCKET_WAIT_TIMEOUT;
  if (ended()) return FSessionEndCode;
  if (end == TWaitEnd::Quit) SetLoopEnded(true);
  return WSOCKET_WAIT_TIMEOUT;
}

void TCustomSyncWSocket::SessionEnded(int code) {
  FSessionEndCode = code;
  ++FSessionEnds;
}

void TCustomSyncWSocket::Connect() {
  const bool fresh = HSocket() == INVALID_SOCKET || State() == wsClosed;
  if (fresh) {
    // A new attempt: the ends of earlier ones no longer end a wait.
    FEndsBeforeConnect = FSessionEnds;
    FConnectError = 0;
  }
  const uint64_t ends = FSessionEnds;
  const TSessionWatch watch(*this);
  TCustomLineWSocket::Connect();
  if (watch.Freed()) return;  // a handler freed it during the connect
  // Refused before a session opened (no port, a name that does not resolve),
  // the error reported to OnError: no event will follow to end a wait.
  if (fresh && FSessionEnds == ends && HSocket() == INVALID_SOCKET && State() == wsClosed)
    SessionEnded(LastError() != 0 ? LastError() : WSAENOTCONN);
}

void TCustomSyncWSocket::TriggerSessionConnected(uint16_t ErrCode) {
  // Recorded before the handler runs, so that a retry it starts keeps the wait going.
  FConnectError = ErrCode;
  if (ErrCode != 0) SessionEnded(ErrCode);
  TCustomLineWSocket::TriggerSessionConnected(ErrCode);
}

void TCustomSyncWSocket::TriggerSessionClosed(uint16_t ErrCode) {
  // A close without a code of its own is reported as aborted, or as the
  // failed connect that led to it.
  SessionEnded(ErrCode != 0 ? ErrCode : FConnectError != 0 ? FConnectError : WSAECONNABORTED);
  FConnectError = 0;
  TCustomLineWSocket::TriggerSessionClosed(ErrCode);
}
