// The SOCKS 4, 4A and 5 client layer of the sockets: negotiation with the proxy before the
// socket reports that it is connected.
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
// TCustomSocksWSocket

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) { AssignDefaultValue(); }

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

void TCustomSocksWSocket::SetSocksPort(const std::string& v) {
  SetWhileClosed(FSocksPort, FSocksPortAssigned, v, "port");
}

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

void TCustomSocksWSocket::SendRaw(const std::string& bytes) {
  FSendingRaw = true;
  const TSessionWatch watch(*this);
  TScopeExit raw([this, &watch] {
    if (!watch.Freed()) FSendingRaw = false;  // a send handler may have freed it
  });
  Send(bytes.data(), static_cast<int>(bytes.size()));
}

void TCustomSocksWSocket::TriggerSessionConnectedSpecial(uint16_t ErrCode) {
  if (FSocksState != 1) {
    TCustomWSocket::TriggerSessionConnectedSpecial(ErrCode);
    return;
  }
  const TSessionWatch watch(*this);
  if (OnSocksConnected) OnSocksConnected(this, ErrCode);
  if (watch.Ended()) return;
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
  const TSessionWatch watch(*this);
  if (OnSocksAuthState) OnSocksAuthState(this, socksAuthStart);
  if (watch.Ended()) return;
  std::string req;
  if (!SocksAuthRequest(FSocksUsercode, FSocksPassword, req)) {
    SocksDoError(SOCKS_AUTH_FAILED, "socks authentication failed");
    return;
  }
  SendRaw(req);
}

void TCustomSocksWSocket::SocksDoError(int Error, const std::string& Msg) {
  const TSessionWatch watch(*this);
  if (OnSocksError) OnSocksError(this, Error, Msg);
  if (watch.Ended()) return;
  FSocksState = 0;
  TCustomWSocket::TriggerSessionConnectedSpecial(static_cast<uint16_t>(Error));
  if (watch.Ended()) return;
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
  if (r < 0 && WSocket_WSAGetLastError() == WSAEWOULDBLOCK) {
    SetLastError(0);
    return true;
  }
  if (r <= 0) {
    // The server ended the connection before the negotiation did: a failed negotiation.
    const int code = r < 0 ? WSocket_WSAGetLastError() : PeerCloseError() != 0 ? PeerCloseError() : WSAECONNABORTED;
    if (FSocksState == 2 && OnSocksAuthState) {
      const TSessionWatch watch(*this);
      OnSocksAuthState(this, socksAuthFailure);
      if (watch.Ended()) return true;
    }
    SocksDoError(code, r < 0 || PeerCloseError() != 0 ? "data receive error" : "connection closed by socks server");
    return true;
  }
  FRcvCnt += r;
  const TSessionWatch watch(*this);
  // Several steps may be answered by one arrival.
  while (!watch.Ended() && FSocksState != 0 && FRcvCnt > FRcvOffset) {
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
        if (!watch.Ended()) SocksDoConnect();
      } else {
        SocksDoAuthenticate();
      }
    } else if (FSocksState == 2) {
      if (OnSocksAuthState) OnSocksAuthState(this, socksAuthSuccess);
      if (!watch.Ended()) SocksDoConnect();
    } else {
      FSocksState = 0;
      TriggerSessionConnectedSpecial(0);
      if (watch.Ended()) return true;
      // Bytes that came with the reply are the first data of the session.
      if (FRcvCnt > FRcvOffset) TriggerDataAvailable(0);
      return true;
    }
  }
  return true;
}

void TCustomSocksWSocket::TriggerSessionClosed(uint16_t ErrCode) {
  if (FSocksState == 2 && OnSocksAuthState) {
    const TSessionWatch watch(*this);
    OnSocksAuthState(this, socksAuthFailure);
    if (watch.Freed()) return;
  }
  FSocksState = 0;  // the negotiation ends with the session, however it was closed
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
