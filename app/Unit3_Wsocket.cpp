// The packet-line feed listener: datagrams joined into lines, the UDP socket and its drop reports.
#include "app/Unit3_Wsocket.h"

#include "app/PacketQueue.h"
#include "app/Unit_Globals.h"
#include "sockets/WinsockApi.h"

#include <QTimer>

#include <cerrno>
#include <chrono>
#include <linux/sock_diag.h>
#include <sys/socket.h>

namespace {
int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
constexpr int64_t DropReportInterval = 1000000000;
}  // namespace

std::vector<std::string> TFeedAssembler::Feed(const std::string& datagram) {
  std::string text = FLeftover + datagram;
  FLeftover.clear();
  std::vector<std::string> lines;
  const bool finished = !text.empty() && text.back() == '\n';
  const TSplitArray pieces = Split(text, "\n");
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string& piece = pieces[i];
    if (Split(piece, "\t").size() == 11)
      lines.push_back(piece);
    else if (i + 1 == pieces.size() && !finished && piece != "\r" && piece.size() <= MaxLeftover)
      FLeftover = piece;
  }
  return lines;
}

TMySocket::TMySocket(TComponent* AOwner, int port) : TWSocket(AOwner) {
  OnChangeState = [](TObject*, TSocketState OldState, TSocketState NewState) {
    LogToPktData(SocketStateName(OldState) + " " + SocketStateName(NewState));
  };
  // With a handler assigned the socket raises nothing: the reason (a port
  // that another program holds) must be told here.
  OnError = [this, port](TObject*) {
    LogToPktData("WSocket1Error udp port " + std::to_string(port) + ": " + SocketErrorText(LastError()));
  };
  OnBgException = [](TObject*, Exception& E, bool& CanClose) {
    LogToPktData(std::string("WSocket1BgException ") + E.what());
    CanClose = true;
  };
  OnSessionAvailable = [](TObject*, uint16_t) { LogToPktData("WSocket1SessionAvailable"); };
  OnSessionConnected = [](TObject*, uint16_t) { LogToPktData("WSocket1SessionConnected"); };
  OnSessionClosed = [](TObject*, uint16_t) { LogToPktData("WSocket1SessionClosed"); };
  OnSocksAuthState = [](TObject*, TSocksAuthState) { LogToPktData("WSocket1SocksAuthState"); };
  OnSocksConnected = [](TObject*, uint16_t) { LogToPktData("WSocket1SocksConnected"); };
  OnSocksError = [](TObject*, int, const std::string&) { LogToPktData("WSocket1SocksError"); };
  OnDataAvailable = [this](TObject* Sender, uint16_t ErrCode) { WSocket1DataAvailable(Sender, ErrCode); };
  SetAddr("0.0.0.0");
  SetLineMode(false);
  SetLingerOnOff(wsLingerOn);
  SetPort(std::to_string(port));
  SetProto("udp");
}

TMySocket::~TMySocket() = default;

void TMySocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
  TWSocket::TriggerChangeState(OldState, NewState);
  if (NewState == wsClosed && FDropTimer) FDropTimer->stop();
  if (NewState != wsBound || Proto() != "udp" || HSocket() == INVALID_SOCKET) return;
  FDropsReported = 0;
  SetSocketRcvBufSize(FeedReceiveBuffer);
  // Linux reports twice the usable size it granted; beyond the system's
  // limit only a privileged program gets the size it asks for.
  auto granted = [this] {
    int size = 0, len = sizeof size;
    return WSocket_getsockopt(HSocket(), SOL_SOCKET, SO_RCVBUF, &size, &len) == 0 ? size / 2 : 0;
  };
  if (granted() < FeedReceiveBuffer) {
    const int size = FeedReceiveBuffer;
    WSocket_setsockopt(HSocket(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  }
  if (const int size = granted(); size < FeedReceiveBuffer)
    LogToPktData("Feed receive buffer " + std::to_string(size) + " bytes of " + std::to_string(FeedReceiveBuffer) +
                 " asked");
}

int64_t TMySocket::KernelDrops() const {
  uint32_t info[SK_MEMINFO_VARS] = {};
  int len = sizeof info;
  if (HSocket() == INVALID_SOCKET || WSocket_getsockopt(HSocket(), SOL_SOCKET, SO_MEMINFO, info, &len) != 0 ||
      len <= static_cast<int>(SK_MEMINFO_DROPS * sizeof(uint32_t)))
    return -1;
  return info[SK_MEMINFO_DROPS];
}

void TMySocket::ReportDrops(bool now) {
  const int64_t at = SteadyNs();
  if (!now && at - FLastDropCheck < DropReportInterval) {
    if (!FDropTimer) {
      FDropTimer = std::make_unique<QTimer>();
      FDropTimer->setSingleShot(true);
      QObject::connect(FDropTimer.get(), &QTimer::timeout, [this] { ReportDrops(); });
    }
    if (!FDropTimer->isActive())
      FDropTimer->start(static_cast<int>((DropReportInterval - (at - FLastDropCheck)) / 1000000) + 1);
    return;
  }
  FLastDropCheck = at;
  const int64_t drops = KernelDrops();
  if (drops > FDropsReported || (now && drops >= 0)) {
    LogToPktData("Feed datagrams dropped by the kernel: " + std::to_string(drops - FDropsReported) + " (" +
                 std::to_string(drops) + " since listening)");
    FDropsReported = drops;
  }
}

void TMySocket::Enqueue(const char* data, size_t size) {
  for (const std::string& line : FAssembler.Feed(std::string(data, size))) QueLoad(line);
}

void TMySocket::CloseFeed() {
  if (FDropTimer) FDropTimer->stop();
  if (HSocket() != INVALID_SOCKET && Proto() == "udp") {
    // What a sender still sends meanwhile is not waited for: at most twice
    // the receive buffer is read.
    FBuffer.resize(65536);
    for (size_t read = 0; read < 2 * size_t(FeedReceiveBuffer);) {
      const ssize_t n = ::recv(HSocket(), FBuffer.data(), FBuffer.size(), MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      Enqueue(FBuffer.data(), static_cast<size_t>(n));
      read += static_cast<size_t>(n) + 1;
    }
    ReportDrops(true);
  }
  Close();
}

void TMySocket::WSocket1DataAvailable(TObject*, uint16_t) {
  try {
    FBuffer.resize(65536);
    const int n = Receive(FBuffer.data(), static_cast<int>(FBuffer.size()));
    if (n <= 0) return;
    Enqueue(FBuffer.data(), static_cast<size_t>(n));
    PacketTick();
    ReportDrops();
  } catch (const std::exception& e) {
    LogToPktData(std::string("WSocket1DataAvailable ") + e.what());
  }
}
