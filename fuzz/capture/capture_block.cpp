// Captured blocks and single frames from untrusted bytes: the record walk of
// ReadCapture and the decoder must stay inside the data whatever it holds.
//
// Input: byte 0 selects the filters and the record count per read, byte 1
// whether the rest is a whole block or one frame; the rest is the data.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "capture/Pcap.h"
#include "capture/monpcap.h"

struct ADAPTER {
  int Unused;
};

namespace {

const uint8_t* gData = nullptr;
size_t gSize = 0;
ADAPTER gAdapter;
PACKET gPacket;
int gToken;

ADAPTER* OpenAdapter(char*) { return &gAdapter; }
void CloseAdapter(ADAPTER*) {}
PACKET* AllocatePacket() { return &gPacket; }
void InitPacket(PACKET* p, void* buffer, uint32_t length) {
  p->Buffer = buffer;
  p->Length = length;
}
void FreePacket(PACKET*) {}
bool Succeed(ADAPTER*, uint32_t) { return true; }
bool NetType_(ADAPTER*, NetType*) { return true; }
bool SetBuff(ADAPTER*, int32_t) { return true; }
bool Receive(ADAPTER*, PACKET* p, bool) {
  const size_t n = gSize < p->Length ? gSize : p->Length;
  if (n) std::memcpy(p->Buffer, gData, n);
  p->ulBytesReceived = uint32_t(n);
  gSize = 0;  // one block per input
  return true;
}

void* Load() { return &gToken; }
void* Symbol(void*, const char* name) {
  const struct {
    const char* Name;
    void* Proc;
  } table[] = {
      {"PacketOpenAdapter", reinterpret_cast<void*>(&OpenAdapter)},
      {"PacketCloseAdapter", reinterpret_cast<void*>(&CloseAdapter)},
      {"PacketAllocatePacket", reinterpret_cast<void*>(&AllocatePacket)},
      {"PacketInitPacket", reinterpret_cast<void*>(&InitPacket)},
      {"PacketFreePacket", reinterpret_cast<void*>(&FreePacket)},
      {"PacketSetHwFilter", reinterpret_cast<void*>(&Succeed)},
      {"PacketGetNetType", reinterpret_cast<void*>(&NetType_)},
      {"PacketSetBuff", reinterpret_cast<void*>(&SetBuff)},
      {"PacketReceivePacket", reinterpret_cast<void*>(&Receive)},
  };
  for (const auto& e : table)
    if (std::strcmp(e.Name, name) == 0) return e.Proc;
  return nullptr;
}
void Unload(void*) {}
const TPacketModule Module{&Load, &Symbol, &Unload};

struct TSetup {
  TSetup() {
    SetPacketModule(&Module);
    std::string err;
    Handle = OpenCapture("fuzz0", 2000, false, err, 100);
    Mon = std::make_unique<TMonitorPcap>(nullptr);
    Mon->AddIgnoreIP(0x0100007F);
    Mon->OnPacketEvent = [this](TObject*, TPacketInfo info) {
      // Touch every payload byte so that a sanitizer sees a bad copy.
      for (char c : info.Payload) Sum += uint8_t(c);
      Sum += uint32_t(info.PayloadLength) + info.SourcePort + info.DestPort + info.IcmpMessageType;
    };
  }
  CaptureHandle* Handle = nullptr;
  std::unique_ptr<TMonitorPcap> Mon;
  uint32_t Sum = 0;
};

void OnRecord(void* user, const bpf_hdr* h, const uint8_t* frame) {
  static_cast<TMonitorPcap*>(user)->HandleFrame(h, frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TSetup setup;
  if (size < 2 || !setup.Handle) return 0;
  const uint8_t flags = data[0];
  const bool wholeBlock = (data[1] & 1) == 0;
  data += 2;
  size -= 2;

  TMonitorPcap& mon = *setup.Mon;
  mon.SetIgnoreData(flags & 1);
  mon.SetIgnoreLAN(flags & 2);
  mon.SetIgnoreNonIP(flags & 4);
  mon.SetAddrMask(flags & 8 ? "255.255.255.0" : "");

  if (wholeBlock) {
    gData = data;
    gSize = size;
    const int count = flags >> 4;  // 0: the whole block per call
    while (ReadCapture(setup.Handle, count, &OnRecord, &mon) > 0) {
    }
    setup.Handle->BytesLeft = 0;
  } else {
    // One frame: a copy of exactly the captured bytes; the wire length may claim more.
    std::unique_ptr<uint8_t[]> frame(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(frame.get(), data, size);
    bpf_hdr h{};
    h.bh_caplen = uint32_t(size);
    h.bh_datalen = uint32_t(size) + (data[-1] >> 1);
    h.bh_hdrlen = 20;
    mon.HandleFrame(&h, frame.get());
  }
  return 0;
}
