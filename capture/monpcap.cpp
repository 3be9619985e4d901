// The capture monitor: its capture thread, adapter lists, filters and ignored addresses, start
// and stop, frame decoding and traffic counts.
#include "capture/monpcap.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "capture/capsubs.h"
#include "platform/Messages.h"
#include "rtl/SysUtils.h"

namespace {

constexpr int CaptureReadTimeout = 100;  // ms
constexpr int SnapLenHeadersOnly = 68;
constexpr int SnapLenFull = 2000;
constexpr uint32_t EthHdrLen = 14;
// VLAN tags (802.1Q, and 802.1ad for the outer tag of a double-tagged frame)
// stand between the addresses and the EtherType; capture on a trunk or a
// VLAN's parent adapter sees them. At most two are skipped.
constexpr uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr uint16_t ETHERTYPE_QINQ = 0x88A8;
constexpr uint32_t VlanTagLen = 4;
constexpr int MaxVlanTags = 2;
// The IP header's fragment-offset bits (in 8-byte units, flags masked off).
constexpr uint16_t IpFragmentOffsetMask = 0x1FFF;
// Reading the driver's statistics costs system calls: not for every block.
constexpr auto StatsInterval = std::chrono::milliseconds(100);
constexpr auto DropReportInterval = std::chrono::seconds(1);
// Posted to the monitor's window when its capture thread has ended on its own.
constexpr UINT WM_CAPTURE_ENDED = WM_USER + 1;

// A read error after which the adapter will never deliver again.
bool AdapterGone(int Errno) { return Errno == ENODEV || Errno == ENXIO; }

inline uint16_t Get16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

}  // namespace

// ---- TPcapThread ----------------------------------------------------------

TPcapThread::TPcapThread(TMonitorPcap* AMonitor) : Monitor(AMonitor) {}

TPcapThread::~TPcapThread() {
  Terminate();
  WaitFor();
}

void TPcapThread::Start() {
  Thread_ = std::thread([this] {
    Execute();
    Finished_.store(true, std::memory_order_release);
    // Ended on its own (not told to): the monitor hears of it on its thread.
    if (!Terminated() && Monitor) Monitor->PostCaptureEnded();
  });
}

void TPcapThread::Terminate() {
  {
    std::lock_guard<std::mutex> lock(Lock_);
    Terminated_.store(true, std::memory_order_release);
  }
  Wake_.notify_all();
}

void TPcapThread::WaitFor() {
  if (Thread_.joinable() && Thread_.get_id() != std::this_thread::get_id()) Thread_.join();
}

void TPcapThread::Pause(int Ms) {
  std::unique_lock<std::mutex> lock(Lock_);
  Wake_.wait_for(lock, std::chrono::milliseconds(Ms), [this] { return Terminated(); });
}

// One record of a read: decoded by the monitor. A failing packet handler costs
// only its own frame.
void TPcapThread::CaptureCallback(void* User, const bpf_hdr* Header, const uint8_t* Data) {
  TMonitorPcap* mon = static_cast<TPcapThread*>(User)->Monitor;
  try {
    mon->HandleFrame(Header, Data);
  } catch (const std::exception& e) {
    mon->SetThreadError(e.what());
  } catch (...) {
    mon->SetThreadError("Exception in OnPacketEvent");
  }
}

void TPcapThread::Execute() {
  TMonitorPcap* m = Monitor;
  if (!m || !m->Handle_) return;
  // Nothing may leave the thread: an escaping exception would end the process.
  try {
    if (PacketSetReadTimeout && m->Handle_->Adapter) PacketSetReadTimeout(m->Handle_->Adapter, CaptureReadTimeout);
    while (!Terminated()) {
      if (ReadCapture(m->Handle_, 0, &CaptureCallback, this) < 0) {
        if (AdapterGone(m->Handle_->ReadErrno)) {
          // Nothing will come again, not even when an adapter of that name
          // comes back: the capture ends and says why.
          m->SetThreadError("Capture ended: adapter \"" + m->CaptureAdapter_ + "\" has gone (" +
                            SysErrorMessage(m->Handle_->ReadErrno) + ")");
          break;
        }
        // A failing adapter is retried once per read time-out, not in a busy loop.
        m->SetThreadError(m->Handle_->ErrorText);
        Pause(CaptureReadTimeout);
      }
      CheckDrops(false);
    }
    CheckDrops(true);
  } catch (const std::exception& e) {
    m->SetThreadError(e.what());
  } catch (...) {
    m->SetThreadError("Capture thread failed");
  }
}

void TPcapThread::CheckDrops(bool Final) {
  TMonitorPcap* m = Monitor;
  const auto now = std::chrono::steady_clock::now();
  if (!Final && now - LastStats_ < StatsInterval) return;
  LastStats_ = now;
  bpf_stat st{};
  if (!PacketGetStats || !m->Handle_->Adapter || !PacketGetStats(m->Handle_->Adapter, &st)) return;
  // The driver counts in 32 bits from the adapter's opening, and wraps.
  const int64_t total = m->TotDroppedPackets_.load(std::memory_order_relaxed) + uint32_t(st.bs_drop - DriverDrops_);
  DriverDrops_ = st.bs_drop;
  m->TotDroppedPackets_.store(total, std::memory_order_relaxed);
  if (total == DropsReported_ || (!Final && now - LastDropReport_ < DropReportInterval)) return;
  LastDropReport_ = now;
  const int64_t fresh = total - DropsReported_;
  DropsReported_ = total;
  if (!m->Active_.DropHandler) return;
  try {
    m->Active_.DropHandler(m, fresh, total);
  } catch (const std::exception& e) {
    m->SetThreadError(e.what());
  } catch (...) {
    m->SetThreadError("Exception in OnDropped");
  }
}

// ---- TMonitorPcap ---------------------------------------------------------

TMonitorPcap::TMonitorPcap(TComponent* AOwner) : TComponent(AOwner) {
  IgnoreList_ = std::make_unique<TFindList>();
  IgnoreList_->SetSorted(true);
  AdapterDescList_ = std::make_unique<TStringList>();
  AdapterNameList_ = std::make_unique<TStringList>();
  DriverVersion_ = GetDriverVersionText();
  PacketVersion_ = GetPacketDllVersion();
  RefreshAdapterLists();
  if (AdapterNameList_->Count() > 0) MonAdapter_ = AdapterNameList_->Strings(0);
}

TMonitorPcap::~TMonitorPcap() {
  try {
    StopMonitor();
  } catch (...) {
  }
  DeallocateHWnd(Wnd_);
}

bool TMonitorPcap::Connected() const noexcept {
  return Connected_.load(std::memory_order_acquire) && !(CaptureThread_ && CaptureThread_->Finished());
}

const std::string& TMonitorPcap::LastError() const noexcept {
  // A capture that has ended on its own tells why at once, also before its
  // end has been handled on this thread.
  if (CaptureThread_ && CaptureThread_->Finished() && !CaptureThread_->Terminated()) {
    std::lock_guard<std::mutex> lock(ThreadErrorLock_);
    if (!ThreadError_.empty()) LastError_ = ThreadError_;
  }
  return LastError_;
}

void TMonitorPcap::PostCaptureEnded() {
  if (Wnd_) PostMessage(Wnd_, WM_CAPTURE_ENDED, 0, 0);
}

void TMonitorPcap::WndProc(TMessage& Msg) {
  if (Msg.Msg != WM_CAPTURE_ENDED) return;
  // Only a thread that is still the monitor's and has ended on its own: a
  // stop or a new start since the message was posted has dealt with it.
  if (!CaptureThread_ || !CaptureThread_->Finished() || CaptureThread_->Terminated()) return;
  CaptureThreadEnded();
  if (OnCaptureEnded) OnCaptureEnded(this);
}

void TMonitorPcap::SetAddrMask(const std::string& Value) {
  AddrMask_ = Value;
  SnapshotStale_ = true;
}

void TMonitorPcap::SetIgnoreData(bool Value) {
  IgnoreData_ = Value;
  SnapshotStale_ = true;
}

void TMonitorPcap::SetIgnoreLAN(bool Value) {
  IgnoreLAN_ = Value;
  SnapshotStale_ = true;
}

void TMonitorPcap::SetIgnoreNonIP(bool Value) {
  IgnoreNonIP_ = Value;
  SnapshotStale_ = true;
}

bool TMonitorPcap::RefreshAdapterLists() {
  AdapterNameList_->Clear();
  AdapterDescList_->Clear();
  return ListAdapters(AdapterNameList_.get(), AdapterDescList_.get(), LastError_) > 0;
}

int TMonitorPcap::GetIPAddresses(const std::string& AdapterName, TStrings* IPList, TStrings* MaskList,
                                 TStrings* BcastList) {
  for (TStrings* l : {IPList, MaskList, BcastList})
    if (l) l->Clear();
  std::vector<uint32_t> ips, masks, bcasts;
  const int n = GetAdapterAddresses(AdapterName, ips, masks, LastError_, bcasts);
  for (int i = 0; i < n; ++i) {
    if (IPList) IPList->Add(IPAddrToText(ips[i]));
    if (MaskList) MaskList->Add(IPAddrToText(masks[i]));
    if (BcastList) BcastList->Add(IPAddrToText(bcasts[i]));
  }
  return n;
}

void TMonitorPcap::ClearIgnoreIPs() {
  IgnoreList_->Clear();
  SnapshotStale_ = true;
}

int TMonitorPcap::AddIgnoreIP(uint32_t Address) {
  SnapshotStale_ = true;
  return IgnoreList_->AddSorted(IPAddrToItem(Address), &CompareIPAddr);
}

void TMonitorPcap::TakeSnapshot(bool ForCapture) {
  TDecodeSettings& s = Active_;
  s.IgnoreData = IgnoreData_;
  s.IgnoreLAN = IgnoreLAN_;
  s.IgnoreNonIP = IgnoreNonIP_;
  if (ForCapture) {
    s.AddrMaskValue = AddrMaskValue_;
    s.ZoneOffset = ZoneOffset_;
    s.Handler = OnPacketEvent;
    s.DropHandler = OnDropped;
  } else {
    const std::string mask = Trim(AddrMask_);
    s.AddrMaskValue = mask.empty() ? 0 : TextToIPAddr(mask);
    s.ZoneOffset = -LocalZoneBias() / 1440.0;
    s.Handler = nullptr;
    s.DropHandler = nullptr;
  }
  std::memcpy(s.AdapterMac, AdapterMac_, 6);
  s.IgnoreIPs.clear();
  for (int i = 0; i < IgnoreList_->Count(); ++i) s.IgnoreIPs.push_back(ItemToIPAddr(IgnoreList_->Items(i)));
  // The list is kept sorted by the same unsigned order; sort anyway in case
  // it was filled unsorted.
  std::sort(s.IgnoreIPs.begin(), s.IgnoreIPs.end());
  SnapshotStale_ = false;
}

void TMonitorPcap::StartMonitor() {
  if (AdapterNameList_->Count() == 0 || MonAdapter_.empty()) {
    LastError_ = "No Adaptors Found to Monitor";
    return;
  }
  // A thread that has ended on its own is joined and its adapter closed first.
  if (CaptureThread_ && CaptureThread_->Finished()) CaptureThreadEnded();
  if (Connected_.load() || Handle_ || CaptureThread_) {
    LastError_ = "PCap Driver Already Running";
    return;
  }
  Addr_ = Trim(Addr_);
  AddrMask_ = Trim(AddrMask_);
  AddrMaskValue_ = AddrMask_.empty() ? 0 : TextToIPAddr(AddrMask_);
  TotRecvBytes_.store(0, std::memory_order_relaxed);
  TotSendBytes_.store(0, std::memory_order_relaxed);
  TotRecvPackets_.store(0, std::memory_order_relaxed);
  TotSendPackets_.store(0, std::memory_order_relaxed);
  TotDroppedPackets_.store(0, std::memory_order_relaxed);
  ZoneOffset_ = -LocalZoneBias() / 1440.0;
  const int snapLen = IgnoreData_ ? SnapLenHeadersOnly : SnapLenFull;

  Handle_ = OpenCapture(MonAdapter_, snapLen, Promiscuous_, LastError_, CaptureReadTimeout);
  if (!Handle_) return;
  CaptureAdapter_ = MonAdapter_;
  // The window that hears of a capture's own end, on this thread. Without a
  // message queue (no application object) capture runs unannounced.
  if (!Wnd_) {
    try {
      Wnd_ = AllocateHWnd([this](TMessage& Msg) { WndProc(Msg); });
    } catch (const std::exception&) {
      Wnd_ = 0;
    }
  }
  GetAdapterMac(Handle_, LastError_, AdapterMac_);
  {
    std::lock_guard<std::mutex> lock(ThreadErrorLock_);
    ThreadError_.clear();
  }
  TakeSnapshot(true);
  InCapture_ = true;
  try {
    CaptureThread_ = std::make_unique<TPcapThread>(this);
    CaptureThread_->Start();
  } catch (const std::exception& e) {
    LastError_ = e.what();
    CaptureThread_.reset();
    CloseCapture(Handle_);
    InCapture_ = false;
    SnapshotStale_ = true;
    return;
  }
  Connected_.store(true, std::memory_order_release);
}

void TMonitorPcap::CaptureThreadEnded() {
  if (CaptureThread_) {
    CaptureThread_->WaitFor();
    CaptureThread_.reset();
  }
  Connected_.store(false, std::memory_order_release);
  if (Handle_) CloseCapture(Handle_);
  InCapture_ = false;
  SnapshotStale_ = true;
  std::lock_guard<std::mutex> lock(ThreadErrorLock_);
  if (!ThreadError_.empty()) LastError_ = ThreadError_;
}

void TMonitorPcap::StopMonitor() {
  Connected_.store(false, std::memory_order_release);
  if (CaptureThread_) {
    CaptureThread_->Terminate();
    CaptureThread_->WaitFor();
    CaptureThreadEnded();
  }
  if (Handle_) CloseCapture(Handle_);
}

// Single writer (the capture thread), so a plain load and store will do. The
// 32-bit packet counts wrap around after 2^31 frames instead of overflowing.
void TMonitorPcap::Count(bool Sent, int32_t Length) {
  std::atomic<int64_t>& bytes = Sent ? TotSendBytes_ : TotRecvBytes_;
  std::atomic<int32_t>& packets = Sent ? TotSendPackets_ : TotRecvPackets_;
  bytes.store(bytes.load(std::memory_order_relaxed) + Length, std::memory_order_relaxed);
  packets.store(int32_t(uint32_t(packets.load(std::memory_order_relaxed)) + 1u), std::memory_order_relaxed);
}

void TMonitorPcap::SetThreadError(const std::string& Text) {
  std::lock_guard<std::mutex> lock(ThreadErrorLock_);
  ThreadError_ = Text;
}

void TMonitorPcap::Fire(const TPacketEvent& Handler, TPacketInfo& Info) { Handler(this, std::move(Info)); }

void TMonitorPcap::HandleFrame(const bpf_hdr* Header, const uint8_t* Frame) {
  if (!Header || !Frame) return;
  if (!InCapture_ && SnapshotStale_) TakeSnapshot(false);
  const TDecodeSettings& s = Active_;
  const TPacketEvent& handler = InCapture_ ? s.Handler : OnPacketEvent;

  TPacketInfo info;
  info.WireLength = int32_t(Header->bh_datalen);
  if (info.WireLength <= 0) return;
  // Only the captured bytes are read; a frame without a whole Ethernet
  // header carries nothing to decode.
  const uint32_t cap = Header->bh_caplen;
  if (cap < EthHdrLen) return;
  std::memcpy(info.DestMac, Frame, 6);
  std::memcpy(info.SourceMac, Frame + 6, 6);
  // The link header: the addresses, up to two VLAN tags, the EtherType. The
  // record carries the inner EtherType, and everything after it counts from
  // the end of the link header.
  uint32_t linkLen = EthHdrLen;
  info.EtherType = Get16(Frame + 12);
  for (int tags = 0; tags < MaxVlanTags && (info.EtherType == ETHERTYPE_VLAN || info.EtherType == ETHERTYPE_QINQ) &&
                     cap >= linkLen + VlanTagLen;
       ++tags) {
    info.EtherType = Get16(Frame + linkLen + 2);
    linkLen += VlanTagLen;
  }
  info.FromLocalAdapter = std::memcmp(info.SourceMac, s.AdapterMac, 6) == 0;
  info.CaptureTime = BpfTimeToDateTime(Header->bh_tstamp) + s.ZoneOffset;

  const uint8_t* ip = Frame + linkLen;
  const uint32_t ipCap = cap - linkLen;  // captured bytes from the IP header on

  if (info.EtherType == ETHERTYPE_IPV4) {
    if (ipCap >= 16) std::memcpy(&info.SourceIp, ip + 12, 4);
    if (ipCap >= 20) std::memcpy(&info.DestIp, ip + 16, 4);
    if (ipCap >= 10) info.IpProtocol = ip[9];

    if (!s.IgnoreIPs.empty() && (std::binary_search(s.IgnoreIPs.begin(), s.IgnoreIPs.end(), info.SourceIp) ||
                                 std::binary_search(s.IgnoreIPs.begin(), s.IgnoreIPs.end(), info.DestIp)))
      return;
    if (s.AddrMaskValue != 0 && s.IgnoreLAN &&
        ((info.SourceIp & s.AddrMaskValue) == (info.DestIp & s.AddrMaskValue) || info.DestIp == 0))
      return;
    Count(info.FromLocalAdapter, info.WireLength);
    if (!handler) return;

    // Payload offset from the IP header's start; -1: no payload known.
    int64_t offset = -1;
    const uint32_t h = ipCap >= 1 ? IpHeaderLength(ip) : 0;
    // Only the first fragment of a datagram starts with the transport header;
    // the others carry its data from the end of the IP header on.
    const bool laterFragment = ipCap >= 8 && (Get16(ip + 6) & IpFragmentOffsetMask) != 0;
    // A header shorter than 5 words has no room for the addresses: whatever
    // follows is not a transport header.
    if (h >= 20 && laterFragment) {
      if (info.IpProtocol == IPPROTO_ICMP_NUM || info.IpProtocol == IPPROTO_TCP_NUM ||
          info.IpProtocol == IPPROTO_UDP_NUM)
        offset = h;
    } else if (h >= 20) {
      switch (info.IpProtocol) {
        case IPPROTO_ICMP_NUM:
          if (ipCap > h) info.IcmpMessageType = ip[h];
          offset = h;
          break;
        case IPPROTO_TCP_NUM:
          if (ipCap >= h + 4) {
            info.SourcePort = Get16(ip + h);
            info.DestPort = Get16(ip + h + 2);
          }
          if (ipCap >= h + 14) {
            info.TcpControlWord = Get16(ip + h + 12);
            offset = h + TcpHeaderLength(ip + h);
          }
          break;
        case IPPROTO_UDP_NUM:
          if (ipCap >= h + 4) {
            info.SourcePort = Get16(ip + h);
            info.DestPort = Get16(ip + h + 2);
          }
          offset = h + 8;
          break;
        default: break;
      }
    }
    if (offset >= 0) {
      // The IP total length wins over a wire length that includes padding.
      const int64_t wireIp = int64_t(info.WireLength) - linkLen;
      const int64_t total = ipCap >= 4 ? int64_t(Get16(ip + 2)) : wireIp;
      const int64_t available = total < wireIp ? total : wireIp;
      const int64_t len = available - offset;
      info.PayloadLength = int32_t(std::clamp<int64_t>(len, INT32_MIN, INT32_MAX));
      if (info.PayloadLength > 0 && !s.IgnoreData && offset < int64_t(ipCap)) {
        const int64_t n = std::min<int64_t>(info.PayloadLength, int64_t(ipCap) - offset);
        info.Payload.assign(reinterpret_cast<const char*>(ip + offset), size_t(n));
      }
    }
    Fire(handler, info);
    return;
  }

  if (s.IgnoreNonIP) return;
  Count(info.FromLocalAdapter, info.WireLength);
  if (!handler) return;
  info.PayloadLength = info.WireLength - int32_t(linkLen);
  if (info.PayloadLength <= 0) return;
  const uint32_t n = std::min<uint32_t>(uint32_t(info.PayloadLength), ipCap);
  info.Payload.assign(reinterpret_cast<const char*>(ip), n);
  Fire(handler, info);
}
