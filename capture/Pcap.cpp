// Adapter listing, driver version texts, adapter MAC queries and the capture handle's open, read
// and close, over the driver entry points.
#include "capture/Pcap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "capture/Ndis_def.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace {

const char* const NoDriverText = "Cannot load packet.dll";
const char* const NamesFailedText = "Failed to get adaptor names";

std::string VersionText() {
  if (!PacketGetVersion) return std::string();
  const char* v = PacketGetVersion();
  return v ? std::string(v) : std::string();
}

// The older drivers ("2..." and "3.0...") use the short address entries and
// UTF-16 device names.
bool OldDriverLayout(const std::string& v) { return v.size() > 3 && (v[0] == '2' || v.compare(0, 3, "3.0") == 0); }

// Narrow pieces from Pos on: stops at an empty piece, the buffer's end, or
// (after each description) when both lists are equally long.
void WalkNarrow(const char* buf, size_t pos, size_t end, bool names, TStrings* Names, TStrings* Descs) {
  size_t start = pos;
  for (; pos < end; ++pos) {
    if (buf[pos] != 0) continue;
    if (pos == start) {  // empty piece
      if (!names) return;
      names = false;
    } else {
      std::string piece = Trim(std::string(buf + start, pos - start));
      (names ? Names : Descs)->Add(piece);
      if (Names->Count() == Descs->Count()) return;
    }
    start = pos + 1;
  }
}

}  // namespace

int ListAdapters(TStrings* Names, TStrings* Descriptions, std::string& ErrorText) {
  ErrorText.clear();
  if (!LoadPacketDll()) {
    ErrorText = NoDriverText;
    return 0;
  }
  if (!Names || !Descriptions) {
    ErrorText = "String List not intialised";
    return 0;
  }
  Names->Clear();
  Descriptions->Clear();
  const bool wide = OldDriverLayout(VersionText());

  // A driver whose adapters do not fit answers False with the size they
  // need: the call is repeated with a buffer of that size (the list may grow
  // in between, so a few times), never cut short. One spare zero word after
  // the buffer bounds every walk.
  std::unique_ptr<char[]> buf;
  uint32_t cap = ADAPTER_NAMES_SIZE;
  bool ok = false;
  for (int attempt = 0; attempt < ADAPTER_NAMES_ATTEMPTS && PacketGetAdapterNames; ++attempt) {
    buf.reset(new (std::nothrow) char[size_t(cap) + 2]());
    uint32_t size = cap;
    if (!buf) break;
    if (PacketGetAdapterNames(buf.get(), &size)) {
      ok = true;
      break;
    }
    if (size <= cap || size > ADAPTER_NAMES_SIZE_MAX) break;
    cap = size;
  }
  if (!ok) {
    ErrorText = NamesFailedText;
    return 0;
  }
  const char* b = buf.get();
  if (!wide) {
    WalkNarrow(b, 0, cap, true, Names, Descriptions);
  } else {
    size_t pos = 0;
    std::string name;
    while (pos + 1 < cap) {
      uint16_t unit;
      std::memcpy(&unit, b + pos, 2);
      pos += 2;
      if (unit != 0) {
        name += unit < 0x100 ? char(unit) : '?';
        continue;
      }
      if (name.empty()) break;  // the empty name ends the device names
      Names->Add(Trim(name));
      name.clear();
    }
    WalkNarrow(b, pos, cap, false, Names, Descriptions);
  }
  return Names->Count();
}

std::string GetDriverVersionText() {
  if (!LoadPacketDll()) return NoDriverText;
  const char* v = PacketGetDriverVersion ? PacketGetDriverVersion() : nullptr;
  return v ? std::string(v) : std::string("Version not available");
}

std::string GetPacketDllVersion() {
  if (!LoadPacketDll()) return NoDriverText;
  if (!PacketGetVersion) return "Version not available";
  return VersionText();
}

int GetAdapterAddresses(const std::string& AdapterName, std::vector<uint32_t>& IPs, std::vector<uint32_t>& Masks,
                        std::string& ErrorText, std::vector<uint32_t>& Broadcasts) {
  ErrorText.clear();
  if (!LoadPacketDll()) {
    ErrorText = NoDriverText;
    return 0;
  }
  const bool shortEntries = OldDriverLayout(VersionText());
  const size_t entrySize = shortEntries ? NPF_IF_ADDR_SHORT : sizeof(npf_if_addr);
  const size_t offs[3] = {4, shortEntries ? 20u : 132u, shortEntries ? 36u : 260u};

  constexpr size_t bufSize = MAX_ADAPTER_ADDRESSES * sizeof(npf_if_addr);
  static_assert(bufSize == 3840);
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[bufSize]());
  if (!buf || !PacketGetNetInfoEx) return 0;
  int32_t count = MAX_ADAPTER_ADDRESSES;
  std::string name = AdapterName;
  if (!PacketGetNetInfoEx(name.data(), buf.get(), &count)) {
    ErrorText = NamesFailedText;
    return 0;
  }
  // The driver's count is not trusted beyond the buffer it was given.
  if (count < 0) count = 0;
  if (count > MAX_ADAPTER_ADDRESSES) count = MAX_ADAPTER_ADDRESSES;
  IPs.resize(count);
  Masks.resize(count);
  Broadcasts.resize(count);
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = buf.get() + i * entrySize;
    std::memcpy(&IPs[i], e + offs[0], 4);
    std::memcpy(&Masks[i], e + offs[1], 4);
    std::memcpy(&Broadcasts[i], e + offs[2], 4);
  }
  return count;
}

void GetAdapterMac(CaptureHandle* Handle, std::string& ErrorText, uint8_t Mac[6]) {
  std::memset(Mac, 0, 6);
  ErrorText.clear();
  if (!LoadPacketDll()) {
    ErrorText = NoDriverText;
    return;
  }
  alignas(4) uint8_t block[21] = {};
  auto* req = reinterpret_cast<PACKET_OID_DATA*>(block);
  req->Oid = OID_802_3_CURRENT_ADDRESS;
  req->Length = 6;
  if (Handle && Handle->Adapter && PacketRequest && PacketRequest(Handle->Adapter, false, req))
    std::memcpy(Mac, block + PACKET_OID_DATA_HDRLEN, 6);
  else
    ErrorText = "Failed to get adaptor MAC";
}

namespace {

// Releases whatever an open step had set up.
void TearDown(CaptureHandle* h) {
  if (!h) return;
  if (h->Packet && PacketFreePacket) PacketFreePacket(h->Packet);
  if (h->Adapter && PacketCloseAdapter) PacketCloseAdapter(h->Adapter);
  delete[] h->Buffer;
  delete h;
}

}  // namespace

CaptureHandle* OpenCapture(const std::string& DeviceName, int SnapLen, bool Promiscuous, std::string& ErrorText,
                           int /*ReadTimeout*/) {
  ErrorText.clear();
  if (!LoadPacketDll()) {
    ErrorText = NoDriverText;
    return nullptr;
  }
  CaptureHandle* h = new (std::nothrow) CaptureHandle();
  if (!h) {
    ErrorText = "Cannot allocate pcap object";
    return nullptr;
  }
  auto fail = [&](const std::string& text) -> CaptureHandle* {
    ErrorText = text;
    TearDown(h);
    return nullptr;
  };

  // A name that does not fit the driver's name buffer cannot be opened.
  char name[ADAPTER_NAME_MAX] = {};
  if (DeviceName.size() < ADAPTER_NAME_MAX && DeviceName.find('\0') == std::string::npos) {
    std::memcpy(name, DeviceName.data(), DeviceName.size());
    h->Adapter = PacketOpenAdapter ? PacketOpenAdapter(name) : nullptr;
  }
  if (!h->Adapter) return fail("Cannot Open Adapter \"" + DeviceName + "\"");

  if (Promiscuous) {
    if (!PacketSetHwFilter || !PacketSetHwFilter(h->Adapter, NDIS_PACKET_TYPE_PROMISCUOUS))
      return fail("Cannot set Device Filter to Promiscuous mode");
  } else if (!PacketSetHwFilter || !PacketSetHwFilter(h->Adapter, NDIS_PACKET_TYPE_DIRECTED)) {
    return fail("Cannot set Device Filter to Directed mode");
  }

  NetType type{};
  if (!PacketGetNetType || !PacketGetNetType(h->Adapter, &type)) return fail("Cannot determine network type and speed");

  h->BufferSize = CAPTURE_BUFFER_SIZE;
  h->Buffer = new (std::nothrow) uint8_t[CAPTURE_BUFFER_SIZE];
  if (!h->Buffer) return fail("Cannot allocate Link Header space");

  h->SnapLen = uint32_t(PacketSetSnapLen ? PacketSetSnapLen(h->Adapter, SnapLen) : SnapLen);

  h->Packet = PacketAllocatePacket ? PacketAllocatePacket() : nullptr;
  if (!h->Packet) return fail("Cannot allocate Global Packet Object");
  if (PacketInitPacket) PacketInitPacket(h->Packet, h->Buffer, CAPTURE_BUFFER_SIZE);

  if (!PacketSetBuff || !PacketSetBuff(h->Adapter, CAPTURE_KERNEL_BUFFER))
    return fail("Not enough memory to allocate Driver buffer");
  return h;
}

int ReadCapture(CaptureHandle* Handle, int Count, TCaptureCallback Callback, void* User) {
  if (!Handle) return -1;
  if (!LoadPacketDll()) {
    std::snprintf(Handle->ErrorText, sizeof Handle->ErrorText, "%s", NoDriverText);
    return -1;
  }
  if (Handle->BytesLeft == 0) {
    // A failing driver read leaves its reason in errno (the driver over
    // libpcap does); a driver that leaves none reads as 0.
    errno = 0;
    if (!PacketReceivePacket || !Handle->Adapter || !Handle->Packet ||
        !PacketReceivePacket(Handle->Adapter, Handle->Packet, true)) {
      Handle->ReadErrno = errno;
      std::snprintf(Handle->ErrorText, sizeof Handle->ErrorText, "Read Error: PacketRecievePacket failed");
      return -1;
    }
    uint32_t got = Handle->Packet->ulBytesReceived;
    if (got > Handle->BufferSize) got = Handle->BufferSize;
    Handle->NextRecord = Handle->Buffer;
    Handle->BytesLeft = got;
  }
  int n = 0;
  while (Handle->BytesLeft > 0) {
    const TBpfRecord r = BpfRecordAt(Handle->NextRecord, Handle->BytesLeft);
    if (r.Advance == 0) {  // damaged record: the rest of the block is dropped
      Handle->BytesLeft = 0;
      break;
    }
    // Advance first, so that a callback that throws cannot replay the record.
    Handle->NextRecord += r.Advance;
    Handle->BytesLeft -= r.Advance;
    ++n;
    if (Callback) Callback(User, r.Header, r.Frame);
    if (Count > 0 && n >= Count) break;
  }
  if (Handle->BytesLeft == 0) Handle->NextRecord = Handle->Buffer;
  return n;
}

void CloseCapture(CaptureHandle*& Handle) {
  if (!Handle) return;
  if (PacketDllLoaded()) {
    TearDown(Handle);
  } else {
    // The driver has gone: its objects went with it; free only our own.
    delete[] Handle->Buffer;
    delete Handle;
  }
  Handle = nullptr;
}
