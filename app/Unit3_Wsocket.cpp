// The packet-line feed listener: datagrams joined into lines, the UDP socket and its drop reports.
#include "app/Unit3_Wsocket.h"

#include "app/PacketQueue.h"
#include "app/Unit_Globals.h"
#include "sockets/WinsockApi.h"

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <chrono>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
constexpr int64_t DropReportInterval = 1000000000;

// Fields of a piece as Split at TAB counts them: an empty last one is not counted.
size_t FieldCount(const std::string& piece) {
  if (piece.empty()) return 0;
  return static_cast<size_t>(std::count(piece.begin(), piece.end(), '\t')) + (piece.back() == '\t' ? 0 : 1);
}
constexpr size_t LineFields = 11;
}  // namespace

void TFeedAssembler::Discard(const std::string& piece) {
  // An empty piece (two LFs in a row) or a lone CR (a CR LF cut between
  // datagrams) carries nothing.
  if (piece.empty() || piece == "\r") return;
  ++FDiscarded;
  if (OnDiscard) OnDiscard(piece, FieldCount(piece));
}

int64_t TFeedAssembler::Clock() const { return Now ? Now() : SteadyNs(); }

std::string TFeedAssembler::UdpLeftover(TSender from) const {
  const auto found = FBySender.find(from);
  return found == FBySender.end() ? std::string() : found->second->Text;
}

std::string TFeedAssembler::Remove(TTails::iterator tail) {
  FTailBytes -= tail->Text.size() + TailOverhead;
  FBySender.erase(tail->From);
  std::string text = std::move(tail->Text);
  FTails.erase(tail);
  return text;
}

std::vector<std::string> TFeedAssembler::Feed(const std::string& datagram, TSender from) {
  std::vector<std::string> lines;
  const int64_t now = Clock();
  // The sender's tail, however old, then the tails of senders that went
  // quiet (the oldest come first).
  std::string leftover;
  if (const auto own = FBySender.find(from); own != FBySender.end()) leftover = Remove(own->second);
  while (!FTails.empty() && now - FTails.front().At > MaxTailAge) Discard(Remove(FTails.begin()));
  auto keep = [&](std::string tail) {
    if (FTailBytes + tail.size() + TailOverhead > MaxTailBytes) return Discard(tail);
    FTailBytes += tail.size() + TailOverhead;
    FTails.push_back(TTail{from, std::move(tail), now});
    FBySender.emplace(from, std::prev(FTails.end()));
  };
  if (datagram.empty()) {
    if (!leftover.empty()) keep(std::move(leftover));
    return lines;
  }
  const bool finished = datagram.back() == '\n';
  TSplitArray pieces = Split(datagram, "\n");
  if (!leftover.empty()) {
    // A line cut by the datagram boundary: the kept tail and the first piece
    // make it. Anything else was a bad piece of its own (a line without its
    // line end, say) and must not take the next line with it.
    if (!pieces.empty() && FieldCount(leftover + pieces[0]) == LineFields)
      pieces[0].insert(0, leftover);
    else
      Discard(leftover);
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string& piece = pieces[i];
    if (FieldCount(piece) == LineFields)
      lines.push_back(std::move(piece));
    else if (i + 1 == pieces.size() && !finished && piece != "\r" && piece.size() <= MaxLeftover)
      keep(std::move(piece));
    else
      Discard(piece);
  }
  return lines;
}

void TFeedAssembler::Finish() {
  for (const TTail& t : FTails) Discard(t.Text);
  Clear();
}

void TFeedAssembler::Clear() {
  FTails.clear();
  FBySender.clear();
  FTailBytes = 0;
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
  // A sender's bad pieces can come with every datagram: bounded in the log,
  // every one counted for the close report.
  FAssembler.OnDiscard = [](const std::string& Piece, size_t Fields) {
    PacketQueue().CountNotLine();
    LogLineError({"Feed piece not 11 fields (" + std::to_string(Fields) + "): " + ShownText(Piece, ' ', MaxQuotedText)},
                 "Feed piece not 11 fields");
  };
  SetAddr("0.0.0.0");
  SetLineMode(false);
  SetLingerOnOff(wsLingerOn);
  SetPort(std::to_string(port));
  SetProto("udp");
}

TMySocket::~TMySocket() {
  if (FMarkSocket >= 0) ::close(FMarkSocket);
}

void TMySocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
  TWSocket::TriggerChangeState(OldState, NewState);
  if (NewState == wsClosed && FDropTimer) FDropTimer->stop();
  if (NewState != wsBound || Proto() != "udp" || HSocket() == INVALID_SOCKET) return;
  FDropsReported = 0;
  FClearPending = false;
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

void TMySocket::Enqueue(const char* data, size_t size, const sockaddr_in& from) {
  const TFeedAssembler::TSender sender = TFeedAssembler::SenderOf(from.sin_addr.s_addr, from.sin_port);
  for (const std::string& line : FAssembler.Feed(std::string(data, size), sender)) QueLoad(line);
}

void TMySocket::CloseFeed() {
  if (FDropTimer) FDropTimer->stop();
  if (HSocket() != INVALID_SOCKET && Proto() == "udp") {
    // What a sender still sends meanwhile is not waited for: at most twice
    // the receive buffer is read.
    FBuffer.resize(65536);
    for (size_t read = 0; read < 2 * size_t(FeedReceiveBuffer);) {
      sockaddr_in from{};
      socklen_t fromLen = sizeof from;
      const ssize_t n = ::recvfrom(HSocket(), FBuffer.data(), FBuffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      if (!FromMark(from, FBuffer.data(), static_cast<size_t>(n)))
        Enqueue(FBuffer.data(), static_cast<size_t>(n), from);
      read += static_cast<size_t>(n) + 1;
    }
    ReportDrops(true);
  }
  FAssembler.Finish();
  Close();
}

void TMySocket::MarkClear() {
  FClearPending = false;
  if (HSocket() == INVALID_SOCKET || Proto() != "udp") return;
  auto failed = [](const char* what) {
    LogToPktData(std::string("Clear: the feed socket could not be marked (") + what + ": " + std::strerror(errno) +
                 "); datagrams still waiting there count as new");
  };
  sockaddr_in to{};
  socklen_t len = sizeof to;
  if (::getsockname(HSocket(), reinterpret_cast<sockaddr*>(&to), &len) != 0) return failed("getsockname");
  if (to.sin_addr.s_addr == htonl(INADDR_ANY)) to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (FMarkSocket < 0) {
    FMarkSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (FMarkSocket < 0) return failed("socket");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = to.sin_addr;
    len = sizeof FMarkFrom;
    if (::bind(FMarkSocket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(FMarkSocket, reinterpret_cast<sockaddr*>(&FMarkFrom), &len) != 0) {
      failed("bind");
      ::close(FMarkSocket);
      FMarkSocket = -1;
      return;
    }
  }
  FMark = "Clear mark " + std::to_string(++FMarks);
  if (::sendto(FMarkSocket, FMark.data(), FMark.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
      static_cast<ssize_t>(FMark.size()))
    return failed("sendto");
  FClearPending = true;
}

bool TMySocket::FromMark(const sockaddr_in& from, const char* data, size_t size) {
  if (FMarkSocket < 0 || from.sin_port != FMarkFrom.sin_port || from.sin_addr.s_addr != FMarkFrom.sin_addr.s_addr)
    return false;
  if (FClearPending && std::string_view(data, size) == FMark) FClearPending = false;
  return true;
}

void TMySocket::WSocket1DataAvailable(TObject*, uint16_t) {
  try {
    FBuffer.resize(65536);
    sockaddr_in from{};
    int fromLen = sizeof from;
    const int n = ReceiveFrom(FBuffer.data(), static_cast<int>(FBuffer.size()), from, fromLen);
    if (n < 0 || FromMark(from, FBuffer.data(), static_cast<size_t>(n))) return;
    if (n == 0) return;
    Enqueue(FBuffer.data(), static_cast<size_t>(n), from);
    if (FClearPending) {
      // Waiting before the mark: received before the click.
      if (OnQueuedBeforeClear) OnQueuedBeforeClear();
      if (PendingByteCount() <= 0) {
        FClearPending = false;
        LogToPktData(
            "Clear: the mark sent to the feed socket was dropped (its receive buffer was full); the "
            "datagrams read after the click until then counted as older traffic");
      }
    }
    PacketTick();
    ReportDrops();
  } catch (const std::exception& e) {
    LogToPktData(std::string("WSocket1DataAvailable ") + e.what());
  }
}
