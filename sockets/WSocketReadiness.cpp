// Readiness of a socket: descriptor notifications become the posted network events of the
// socket layer.
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
