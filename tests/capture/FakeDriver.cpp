// The scriptable fake capture driver's entry points and call counts.
#include "FakeDriver.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

struct ADAPTER {
  std::string Name;
};

namespace {

TFakeDriver* gFake = nullptr;

bool Fails(const char* step) { return Fake().FailStep == step; }

bool GetAdapterNames(char* pStr, uint32_t* BufferSize) {
  TFakeDriver& f = Fake();
  f.NameSizesAsked.push_back(*BufferSize);
  if (f.NamesFail) return false;
  // Too small: False and the size needed, as the real driver answers.
  const size_t calls = f.NameSizesAsked.size();
  const size_t need = f.NameBuffer.size() + f.NamesGrow * std::min(calls, f.NamesGrowCalls);
  if (need > *BufferSize) {
    *BufferSize = uint32_t(need);
    return false;
  }
  if (!f.NameBuffer.empty()) std::memcpy(pStr, f.NameBuffer.data(), f.NameBuffer.size());
  *BufferSize = uint32_t(f.NameBuffer.size());
  return true;
}

ADAPTER* OpenAdapter(char* name) {
  TFakeDriver& f = Fake();
  if (!f.Adapters.count(name)) return nullptr;
  ++f.Opens;
  return new ADAPTER{name};
}

void CloseAdapter(ADAPTER* a) {
  ++Fake().Closes;
  delete a;
}

PACKET* AllocatePacket() {
  if (Fails("PacketAllocatePacket")) return nullptr;
  ++Fake().PacketsAllocated;
  return new PACKET{};
}

void InitPacket(PACKET* p, void* buffer, uint32_t length) {
  p->Buffer = buffer;
  p->Length = length;
}

void FreePacket(PACKET* p) {
  ++Fake().PacketsFreed;
  delete p;
}

bool ReceivePacket(ADAPTER*, PACKET* p, bool) {
  TFakeDriver& f = Fake();
  std::unique_lock<std::mutex> lock(f.Lock);
  ++f.Receives;
  p->ulBytesReceived = 0;
  if (f.Reads.empty()) {
    const int ms = f.ReadTimeout > 0 ? f.ReadTimeout : 10;
    f.Changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !f.Reads.empty(); });
    if (f.Reads.empty()) return true;
  }
  TFakeRead r = std::move(f.Reads.front());
  f.Reads.pop_front();
  f.Changed.notify_all();
  if (r.Throw) throw std::runtime_error("driver fault");
  if (r.Fail) {
    errno = r.Errno;
    return false;
  }
  const size_t n = std::min<size_t>(r.Block.size(), p->Length);
  if (n) std::memcpy(p->Buffer, r.Block.data(), n);
  p->ulBytesReceived = uint32_t(n);
  return true;
}

bool SetHwFilter(ADAPTER*, uint32_t filter) {
  Fake().HwFilter = filter;
  return !Fails("PacketSetHwFilter");
}

bool Request(ADAPTER*, bool set, PACKET_OID_DATA* d) {
  if (set || Fails("PacketRequest") || d->Oid != 0x01010102 || d->Length != 6) return false;
  std::memcpy(d->Data, Fake().Mac, 6);
  return true;
}

bool SetBuff(ADAPTER*, int32_t dim) {
  Fake().KernelBuffer = dim;
  return !Fails("PacketSetBuff");
}

bool GetNetType(ADAPTER*, NetType* t) {
  t->LinkType = 0;
  t->LinkSpeed = 100000000;
  return !Fails("PacketGetNetType");
}

bool SetReadTimeout(ADAPTER*, int32_t timeout) {
  Fake().ReadTimeout = timeout;
  return true;
}

const char* GetVersion() { return Fake().Version.c_str(); }
const char* GetDriverVersion() { return Fake().DriverVersion.c_str(); }

bool GetNetInfoEx(char* name, void* buffer, int32_t* count) {
  TFakeDriver& f = Fake();
  f.AddrAdapter = name;
  if (f.AddrFail) return false;
  if (!f.AddrBuffer.empty()) std::memcpy(buffer, f.AddrBuffer.data(), std::min<size_t>(f.AddrBuffer.size(), 3840));
  *count = f.AddrCount;
  return true;
}

bool GetStats(ADAPTER*, bpf_stat* st) {
  *st = bpf_stat{};
  st->bs_drop = Fake().Drops;
  return true;
}

int32_t SetSnapLen(ADAPTER*, int32_t snaplen) {
  Fake().SnapLenAsked = snaplen;
  return Fake().SnapLenResult < 0 ? snaplen : Fake().SnapLenResult;
}

struct TEntry {
  const char* Name;
  void* Proc;
};

const TEntry Entries[] = {
    {"PacketGetAdapterNames", reinterpret_cast<void*>(&GetAdapterNames)},
    {"PacketOpenAdapter", reinterpret_cast<void*>(&OpenAdapter)},
    {"PacketCloseAdapter", reinterpret_cast<void*>(&CloseAdapter)},
    {"PacketAllocatePacket", reinterpret_cast<void*>(&AllocatePacket)},
    {"PacketInitPacket", reinterpret_cast<void*>(&InitPacket)},
    {"PacketFreePacket", reinterpret_cast<void*>(&FreePacket)},
    {"PacketReceivePacket", reinterpret_cast<void*>(&ReceivePacket)},
    {"PacketSetHwFilter", reinterpret_cast<void*>(&SetHwFilter)},
    {"PacketRequest", reinterpret_cast<void*>(&Request)},
    {"PacketSetBuff", reinterpret_cast<void*>(&SetBuff)},
    {"PacketGetNetType", reinterpret_cast<void*>(&GetNetType)},
    {"PacketSetReadTimeout", reinterpret_cast<void*>(&SetReadTimeout)},
    {"PacketGetVersion", reinterpret_cast<void*>(&GetVersion)},
    {"PacketGetNetInfoEx", reinterpret_cast<void*>(&GetNetInfoEx)},
    {"PacketGetDriverVersion", reinterpret_cast<void*>(&GetDriverVersion)},
    {"PacketSetSnapLen", reinterpret_cast<void*>(&SetSnapLen)},
    {"PacketGetStats", reinterpret_cast<void*>(&GetStats)},
};

int ModuleToken;

void* Load() {
  TFakeDriver& f = Fake();
  if (!f.Present) return nullptr;
  ++f.Loads;
  return &ModuleToken;
}

void* Symbol(void*, const char* name) {
  if (Fake().Missing.count(name)) return nullptr;
  for (const TEntry& e : Entries)
    if (std::strcmp(e.Name, name) == 0) return e.Proc;
  return nullptr;
}

void Unload(void*) { ++Fake().Unloads; }

const TPacketModule FakeModule{&Load, &Symbol, &Unload};

}  // namespace

void TFakeDriver::PushBlock(std::vector<uint8_t> block) {
  std::lock_guard<std::mutex> lock(Lock);
  Reads.push_back(TFakeRead{false, false, 0, std::move(block)});
  Changed.notify_all();
}

void TFakeDriver::PushFailure(int Errno) {
  std::lock_guard<std::mutex> lock(Lock);
  Reads.push_back(TFakeRead{true, false, Errno, {}});
  Changed.notify_all();
}

void TFakeDriver::PushThrow() {
  std::lock_guard<std::mutex> lock(Lock);
  Reads.push_back(TFakeRead{false, true, 0, {}});
  Changed.notify_all();
}

TFakeDriver& Fake() {
  if (!gFake) gFake = new TFakeDriver;
  return *gFake;
}

void InstallFakeDriver() {
  SetPacketModule(nullptr);  // frees whatever driver was loaded
  delete gFake;
  gFake = new TFakeDriver;
  SetPacketModule(&FakeModule);
}

void RemoveFakeDriver() { SetPacketModule(nullptr); }
