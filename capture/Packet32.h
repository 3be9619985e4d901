// Capture driver interface. The driver is a separate library bound at run
// time by entry-point name; a program without it runs on remote feeds only.
// The entry points are process-wide variables, nil until LoadPacketDll
// succeeds and nil again for any entry the loaded driver lacks.
//
// Thread safety: load and unload happen on the main thread before and after
// any capture thread; in between the variables are only read.
#pragma once

#include <cstddef>
#include <cstdint>

struct ADAPTER;  // an open adapter, owned by the driver

// A buffer that one driver read fills (or that one send transmits).
struct PACKET {
  void* Buffer;
  uint32_t Length;           // size of Buffer
  uint32_t ulBytesReceived;  // bytes of the last read
  bool bIoComplete;
};

struct NetType {
  uint32_t LinkType;   // an NDIS_MEDIUM
  uint64_t LinkSpeed;  // bits per second, 0 when unknown
};

struct bpf_stat {
  uint32_t bs_recv;
  uint32_t bs_drop;
  uint32_t ps_ifdrop;
  uint32_t bs_capt;
};

struct bpf_insn {
  uint16_t code;
  uint8_t jt;
  uint8_t jf;
  uint32_t k;
};

struct bpf_program {
  uint32_t bf_len;
  bpf_insn* bf_insns;
};

// Request block: identifier, data length, then the data bytes.
struct PACKET_OID_DATA {
  uint32_t Oid;
  uint32_t Length;
  uint8_t Data[1];
};
constexpr size_t PACKET_OID_DATA_HDRLEN = 8;

// One address entry of PacketGetNetInfoEx in the wide form: three socket
// address storage areas (address, mask, broadcast), IPv4 at bytes 4-7 of each.
struct npf_if_addr {
  uint8_t IPAddress[128];
  uint8_t SubnetMask[128];
  uint8_t Broadcast[128];
};
static_assert(sizeof(npf_if_addr) == 384);

// The short form of one address entry: three 16-byte socket addresses.
constexpr size_t NPF_IF_ADDR_SHORT = 48;

using TPacketGetAdapterNames = bool (*)(char* pStr, uint32_t* BufferSize);
using TPacketOpenAdapter = ADAPTER* (*)(char* AdapterName);
using TPacketCloseAdapter = void (*)(ADAPTER* lpAdapter);
using TPacketAllocatePacket = PACKET* (*)();
using TPacketInitPacket = void (*)(PACKET* lpPacket, void* Buffer, uint32_t Length);
using TPacketFreePacket = void (*)(PACKET* lpPacket);
using TPacketReceivePacket = bool (*)(ADAPTER* AdapterObject, PACKET* lpPacket, bool Sync);
using TPacketWaitPacket = bool (*)(ADAPTER* AdapterObject, PACKET* lpPacket);
using TPacketSendPacket = bool (*)(ADAPTER* AdapterObject, PACKET* pPacket, bool Sync);
using TPacketResetAdapter = bool (*)(ADAPTER* AdapterObject);
using TPacketSetHwFilter = bool (*)(ADAPTER* AdapterObject, uint32_t Filter);
using TPacketRequest = bool (*)(ADAPTER* AdapterObject, bool Set, PACKET_OID_DATA* OidData);
using TPacketSetBuff = bool (*)(ADAPTER* AdapterObject, int32_t dim);
using TPacketSetBpf = bool (*)(ADAPTER* AdapterObject, bpf_program* fp);
using TPacketGetStats = bool (*)(ADAPTER* AdapterObject, bpf_stat* s);
using TPacketGetNetType = bool (*)(ADAPTER* AdapterObject, NetType* type);
using TPacketSetReadTimeout = bool (*)(ADAPTER* AdapterObject, int32_t timeout);
using TPacketGetVersion = const char* (*)();
using TPacketGetNetInfoEx = bool (*)(char* AdapterName, void* buffer, int32_t* NEntries);
using TPacketSetMinToCopy = bool (*)(ADAPTER* AdapterObject, int32_t nbytes);
using TPacketGetDriverVersion = const char* (*)();
using TPacketSetSnapLen = int32_t (*)(ADAPTER* AdapterObject, int32_t snaplen);

extern TPacketGetAdapterNames PacketGetAdapterNames;
extern TPacketOpenAdapter PacketOpenAdapter;
extern TPacketCloseAdapter PacketCloseAdapter;
extern TPacketAllocatePacket PacketAllocatePacket;
extern TPacketInitPacket PacketInitPacket;
extern TPacketFreePacket PacketFreePacket;
extern TPacketReceivePacket PacketReceivePacket;
extern TPacketWaitPacket PacketWaitPacket;
extern TPacketSendPacket PacketSendPacket;
extern TPacketResetAdapter PacketResetAdapter;
extern TPacketSetHwFilter PacketSetHwFilter;
extern TPacketRequest PacketRequest;
extern TPacketSetBuff PacketSetBuff;
extern TPacketSetBpf PacketSetBpf;
extern TPacketGetStats PacketGetStats;
extern TPacketGetNetType PacketGetNetType;
extern TPacketSetReadTimeout PacketSetReadTimeout;
extern TPacketGetVersion PacketGetVersion;
extern TPacketGetNetInfoEx PacketGetNetInfoEx;
extern TPacketSetMinToCopy PacketSetMinToCopy;
extern TPacketGetDriverVersion PacketGetDriverVersion;
extern TPacketSetSnapLen PacketSetSnapLen;

// Where the driver comes from: Load returns a module handle (nullptr when the
// library is absent), Symbol resolves one entry point by name (nullptr when
// missing), Unload releases the module.
struct TPacketModule {
  void* (*Load)();
  void* (*Symbol)(void* Module, const char* Name);
  void (*Unload)(void* Module);
};

// Loads the driver once and resolves every entry point; later calls return
// True at once. False only when the library cannot be loaded.
bool LoadPacketDll();

// Frees the driver and clears every entry point. Runs at program end.
void FreePacketDll();

// True while the driver is loaded.
bool PacketDllLoaded();

// Replaces the driver source (nullptr: the default one over libpcap). Any
// loaded driver is freed first. For tests and tools.
void SetPacketModule(const TPacketModule* Module);

// The entry-point names in resolution order.
extern const char* const PacketEntryNames[22];
