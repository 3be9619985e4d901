// The capture driver's entry points: binding them by name from the loaded driver, and unloading.
#include "capture/Packet32.h"

#include "capture/PcapDriver.h"
#include "rtl/SysUtils.h"

TPacketGetAdapterNames PacketGetAdapterNames = nullptr;
TPacketOpenAdapter PacketOpenAdapter = nullptr;
TPacketCloseAdapter PacketCloseAdapter = nullptr;
TPacketAllocatePacket PacketAllocatePacket = nullptr;
TPacketInitPacket PacketInitPacket = nullptr;
TPacketFreePacket PacketFreePacket = nullptr;
TPacketReceivePacket PacketReceivePacket = nullptr;
TPacketWaitPacket PacketWaitPacket = nullptr;
TPacketSendPacket PacketSendPacket = nullptr;
TPacketResetAdapter PacketResetAdapter = nullptr;
TPacketSetHwFilter PacketSetHwFilter = nullptr;
TPacketRequest PacketRequest = nullptr;
TPacketSetBuff PacketSetBuff = nullptr;
TPacketSetBpf PacketSetBpf = nullptr;
TPacketGetStats PacketGetStats = nullptr;
TPacketGetNetType PacketGetNetType = nullptr;
TPacketSetReadTimeout PacketSetReadTimeout = nullptr;
TPacketGetVersion PacketGetVersion = nullptr;
TPacketGetNetInfoEx PacketGetNetInfoEx = nullptr;
TPacketSetMinToCopy PacketSetMinToCopy = nullptr;
TPacketGetDriverVersion PacketGetDriverVersion = nullptr;
TPacketSetSnapLen PacketSetSnapLen = nullptr;

const char* const PacketEntryNames[22] = {
    "PacketGetAdapterNames",  "PacketOpenAdapter",  "PacketCloseAdapter",  "PacketAllocatePacket",
    "PacketInitPacket",       "PacketFreePacket",   "PacketReceivePacket", "PacketWaitPacket",
    "PacketSendPacket",       "PacketResetAdapter", "PacketSetHwFilter",   "PacketRequest",
    "PacketSetBuff",          "PacketSetBpf",       "PacketGetStats",      "PacketGetNetType",
    "PacketSetReadTimeout",   "PacketGetVersion",   "PacketGetNetInfoEx",  "PacketSetMinToCopy",
    "PacketGetDriverVersion", "PacketSetSnapLen"};

namespace {

void* gModuleHandle = nullptr;
const TPacketModule* gModule = nullptr;

const TPacketModule& CurrentModule() { return gModule ? *gModule : PcapDriverModule(); }

template <typename F>
void Resolve(F& entry, void* sym) {
  entry = reinterpret_cast<F>(sym);
}

void ResolveAll(void* sym[22]) {
  Resolve(PacketGetAdapterNames, sym[0]);
  Resolve(PacketOpenAdapter, sym[1]);
  Resolve(PacketCloseAdapter, sym[2]);
  Resolve(PacketAllocatePacket, sym[3]);
  Resolve(PacketInitPacket, sym[4]);
  Resolve(PacketFreePacket, sym[5]);
  Resolve(PacketReceivePacket, sym[6]);
  Resolve(PacketWaitPacket, sym[7]);
  Resolve(PacketSendPacket, sym[8]);
  Resolve(PacketResetAdapter, sym[9]);
  Resolve(PacketSetHwFilter, sym[10]);
  Resolve(PacketRequest, sym[11]);
  Resolve(PacketSetBuff, sym[12]);
  Resolve(PacketSetBpf, sym[13]);
  Resolve(PacketGetStats, sym[14]);
  Resolve(PacketGetNetType, sym[15]);
  Resolve(PacketSetReadTimeout, sym[16]);
  Resolve(PacketGetVersion, sym[17]);
  Resolve(PacketGetNetInfoEx, sym[18]);
  Resolve(PacketSetMinToCopy, sym[19]);
  Resolve(PacketGetDriverVersion, sym[20]);
  Resolve(PacketSetSnapLen, sym[21]);
}

// Frees the library when the program ends.
const TScopeExit gUnloader([] { FreePacketDll(); });

}  // namespace

bool LoadPacketDll() {
  if (gModuleHandle) return true;
  const TPacketModule& m = CurrentModule();
  void* h = m.Load ? m.Load() : nullptr;
  if (!h) return false;
  void* sym[22];
  for (int i = 0; i < 22; ++i) sym[i] = m.Symbol ? m.Symbol(h, PacketEntryNames[i]) : nullptr;
  ResolveAll(sym);
  gModuleHandle = h;
  return true;
}

void FreePacketDll() {
  if (!gModuleHandle) return;
  void* none[22] = {};
  ResolveAll(none);
  const TPacketModule& m = CurrentModule();
  if (m.Unload) m.Unload(gModuleHandle);
  gModuleHandle = nullptr;
}

bool PacketDllLoaded() { return gModuleHandle != nullptr; }

void SetPacketModule(const TPacketModule* Module) {
  FreePacketDll();
  gModule = Module;
}
