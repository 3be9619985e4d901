// TMonitorPcap: the capture component. It lists the adapters when created,
// starts capture on one adapter with a set of filters, decodes every frame on
// its capture thread and fires OnPacketEvent there, counts traffic, and stops
// and cleans up. It never raises: failures leave a text in LastError.
//
// Threads: everything but HandleFrame and OnPacketEvent runs on the thread
// that created the component. While capture runs, the capture thread decodes
// with the filters, ignore list, mask, adapter MAC, time-zone offset and
// handler as they were at StartMonitor; changing them then takes effect at
// the next start. The traffic counters may be read from any thread. A capture
// whose adapter goes away ends on its own and says so (OnCaptureEnded).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/Pcap.h"
#include "capture/capclasses.h"
#include "capture/packhdrs.h"
#include "platform/Messages.h"
#include "rtl/Classes.h"

class TMonitorPcap;

// Frames the driver dropped because its buffer was full: those since the last
// call and the total since the capture started.
using TDropEvent = std::function<void(TObject* Sender, int64_t NewDrops, int64_t TotalDrops)>;

// The capture thread: reads the driver until told to stop and hands every
// record to the monitor's HandleFrame.
class TPcapThread : public TObject {
  RTL_CLASS(TPcapThread, TObject)
 public:
  explicit TPcapThread(TMonitorPcap* AMonitor);
  // Asks the thread to stop and waits for it.
  ~TPcapThread() override;
  TPcapThread(const TPcapThread&) = delete;
  TPcapThread& operator=(const TPcapThread&) = delete;

  TMonitorPcap* Monitor;

  void Start();
  void Terminate();
  bool Terminated() const noexcept { return Terminated_.load(std::memory_order_acquire); }
  // Waits until Execute has returned (at once when it never ran).
  void WaitFor();
  // Execute has returned.
  bool Finished() const noexcept { return Finished_.load(std::memory_order_acquire); }

 protected:
  void Execute();

 private:
  // Hands one record of a read to the monitor's HandleFrame (User: the thread).
  static void CaptureCallback(void* User, const bpf_hdr* Header, const uint8_t* Data);
  // Waits up to Ms milliseconds or until Terminate.
  void Pause(int Ms);
  // Reads the driver's drop count into the monitor and reports new drops;
  // Final reads and reports at once, as the thread ends.
  void CheckDrops(bool Final);

  std::thread Thread_;
  std::atomic<bool> Terminated_{false};
  std::atomic<bool> Finished_{false};
  std::mutex Lock_;
  std::condition_variable Wake_;
  std::chrono::steady_clock::time_point LastStats_{};
  std::chrono::steady_clock::time_point LastDropReport_{};
  uint32_t DriverDrops_ = 0;  // the driver's own (wrapping) count at the last read
  int64_t DropsReported_ = 0;
};

class TMonitorPcap : public TComponent {
  RTL_CLASS(TMonitorPcap, TComponent)
  friend class TPcapThread;

 public:
  explicit TMonitorPcap(TComponent* AOwner);
  ~TMonitorPcap() override;

  TStrings* AdapterNameList() const noexcept { return AdapterNameList_.get(); }
  TStrings* AdapterDescList() const noexcept { return AdapterDescList_.get(); }
  const std::string& DriverVersion() const noexcept { return DriverVersion_; }
  const std::string& PacketVersion() const noexcept { return PacketVersion_; }
  const std::string& MonAdapter() const noexcept { return MonAdapter_; }
  void SetMonAdapter(const std::string& Value) { MonAdapter_ = Value; }
  // False as well once the capture thread has ended on its own.
  bool Connected() const noexcept;
  // After a capture has ended on its own: why (e.g. its adapter has gone).
  const std::string& LastError() const noexcept;
  const std::string& Addr() const noexcept { return Addr_; }
  void SetAddr(const std::string& Value) { Addr_ = Value; }
  const std::string& AddrMask() const noexcept { return AddrMask_; }
  void SetAddrMask(const std::string& Value);
  bool IgnoreData() const noexcept { return IgnoreData_; }
  void SetIgnoreData(bool Value);
  bool IgnoreLAN() const noexcept { return IgnoreLAN_; }
  void SetIgnoreLAN(bool Value);
  bool IgnoreNonIP() const noexcept { return IgnoreNonIP_; }
  void SetIgnoreNonIP(bool Value);
  bool Promiscuous() const noexcept { return Promiscuous_; }
  void SetPromiscuous(bool Value) { Promiscuous_ = Value; }
  int64_t TotRecvBytes() const noexcept { return TotRecvBytes_.load(std::memory_order_relaxed); }
  int64_t TotSendBytes() const noexcept { return TotSendBytes_.load(std::memory_order_relaxed); }
  int32_t TotRecvPackets() const noexcept { return TotRecvPackets_.load(std::memory_order_relaxed); }
  int32_t TotSendPackets() const noexcept { return TotSendPackets_.load(std::memory_order_relaxed); }
  // Frames the driver dropped since the start because its buffer was full.
  int64_t TotDroppedPackets() const noexcept { return TotDroppedPackets_.load(std::memory_order_relaxed); }

  TPacketEvent OnPacketEvent;
  // Called on the capture thread when the driver has dropped frames: at most
  // once a second while capture runs, and once more as it ends if drops are
  // still unreported.
  TDropEvent OnDropped;
  // Called when a capture has ended on its own (its adapter has gone), not
  // by StopMonitor: on the thread that started it, through that thread's
  // message queue, after the thread has been joined and the adapter closed;
  // Connected is False and LastError tells why.
  TNotifyEvent OnCaptureEnded;

  // Refills both adapter lists; True when at least one adapter was found.
  bool RefreshAdapterLists();
  // The adapter's addresses as text rows; returns the entry count (at most 10).
  int GetIPAddresses(const std::string& AdapterName, TStrings* IPList, TStrings* MaskList, TStrings* BcastList);
  void ClearIgnoreIPs();
  // Adds an address (network order) to the ignore list; returns its index.
  int AddIgnoreIP(uint32_t Address);
  int IgnoreIPCount() const { return IgnoreList_->Count(); }

  void StartMonitor();
  void StopMonitor();

  // Decodes, filters, counts and fires OnPacketEvent for one record. Called on
  // the capture thread; callers outside a running capture may call it too
  // (the current settings then apply).
  void HandleFrame(const bpf_hdr* Header, const uint8_t* Frame);

 private:
  // What the decoder reads, fixed for the length of one capture.
  struct TDecodeSettings {
    bool IgnoreData = false;
    bool IgnoreLAN = false;
    bool IgnoreNonIP = false;
    uint32_t AddrMaskValue = 0;
    uint8_t AdapterMac[6] = {};
    double ZoneOffset = 0;
    std::vector<uint32_t> IgnoreIPs;  // sorted like the ignore list
    TPacketEvent Handler;
    TDropEvent DropHandler;
  };

  void TakeSnapshot(bool WithHandler);
  // Joins and frees the thread object, closes the handle (after a thread has
  // ended, on its own or when told to).
  void CaptureThreadEnded();
  void Count(bool Sent, int32_t Length);
  void Fire(const TPacketEvent& Handler, TPacketInfo& Info);
  void SetThreadError(const std::string& Text);
  // Capture thread: tells the monitor's window that the thread has ended.
  void PostCaptureEnded();
  void WndProc(TMessage& Msg);

  std::unique_ptr<TStringList> AdapterNameList_;
  std::unique_ptr<TStringList> AdapterDescList_;
  std::string DriverVersion_;
  std::string PacketVersion_;
  std::string MonAdapter_;
  std::atomic<bool> Connected_{false};
  mutable std::string LastError_;
  std::string Addr_;
  std::string AddrMask_;
  bool IgnoreData_ = false;
  bool IgnoreLAN_ = false;
  bool IgnoreNonIP_ = false;
  bool Promiscuous_ = false;
  std::atomic<int64_t> TotRecvBytes_{0};
  std::atomic<int64_t> TotSendBytes_{0};
  std::atomic<int32_t> TotRecvPackets_{0};
  std::atomic<int32_t> TotSendPackets_{0};
  std::atomic<int64_t> TotDroppedPackets_{0};

  std::unique_ptr<TFindList> IgnoreList_;
  uint32_t AddrMaskValue_ = 0;
  std::unique_ptr<TPcapThread> CaptureThread_;
  uint8_t AdapterMac_[6] = {};
  double ZoneOffset_ = 0;
  CaptureHandle* Handle_ = nullptr;

  TDecodeSettings Active_;
  bool InCapture_ = false;     // a capture thread may be running
  bool SnapshotStale_ = true;  // settings changed since Active_ was taken

  // The capture thread's last failure (read error or handler exception).
  mutable std::mutex ThreadErrorLock_;
  std::string ThreadError_;
  HWND Wnd_ = 0;                // hears of a capture's own end; on the thread of the first start
  std::string CaptureAdapter_;  // the adapter being captured (MonAdapter may change meanwhile)
};
