// The Linux capture driver: libpcap loaded at run time, adapter names and addresses, live
// handles, and captured frames packed into records.
#include "capture/PcapDriver.h"

#include <dlfcn.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "capture/Ndis_def.h"
#include "capture/bpf.h"

namespace {

// libpcap entry points; plain pointers so that they outlive every static
// object that may still free the driver at program end.
TPcapApi L;

constexpr int DLT_EN10MB_TYPE = 1;
constexpr uint16_t BPF_RECORD_HDRLEN = sizeof(bpf_hdr);

}  // namespace

// An open adapter: a live libpcap handle. libpcap fixes the snap length and
// the kernel buffer at activation and sizes every ring slot for that snap
// length, so a change of either makes a new handle with it (see Reactivate).
struct ADAPTER {
  std::string Name;
  TPcap* Pcap = nullptr;
  bool Promiscuous = false;
  int SnapLen = 65535;
  int KernelBuffer = 1000000;
  std::vector<bpf_insn> Filter;  // the kernel filter in force, if any
  int ReadTimeoutMs = 1000;
  // The interface the live handle is bound to. When the name no longer
  // gives this index the adapter has gone (deleted, or renamed and another
  // made in its place): its socket will never see a frame again.
  unsigned IfIndex = 0;
  std::chrono::steady_clock::time_point NextPresenceCheck{};
  int MinToCopy = 0;  // kept only: reads return as soon as frames are there
  int Fd = -1;
  // Records read from libpcap that did not fit into the caller's block.
  std::vector<uint8_t> Pending;
  size_t PendingPos = 0;
  // The block being filled during one dispatch.
  uint8_t* Out = nullptr;
  uint32_t OutCap = 0;
  uint32_t OutLen = 0;
};

// ---- layout helpers -------------------------------------------------------

bool PackAdapterNames(const std::vector<TAdapterRow>& Rows, char* Buffer, uint32_t* Size) {
  if (!Size) return false;
  // Two terminating empty strings need two bytes.
  uint64_t used = 2;
  for (const TAdapterRow& r : Rows) used += r.Name.size() + 1 + r.Description.size() + 1;
  if (!Buffer || used > *Size) {
    // Never a part of the list: the caller learns the size that holds it all.
    *Size = used > UINT32_MAX ? UINT32_MAX : uint32_t(used);
    return false;
  }
  const size_t n = Rows.size();
  char* p = Buffer;
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(p, Rows[i].Name.c_str(), Rows[i].Name.size() + 1);
    p += Rows[i].Name.size() + 1;
  }
  *p++ = 0;
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(p, Rows[i].Description.c_str(), Rows[i].Description.size() + 1);
    p += Rows[i].Description.size() + 1;
  }
  *p++ = 0;
  *Size = uint32_t(p - Buffer);
  return true;
}

static void PutInet(uint8_t* slot, uint32_t addr) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addr;
  std::memcpy(slot, &sin, sizeof sin);
}

int PackAddressEntries(const std::vector<TAddressRow>& Rows, void* Buffer, int MaxEntries) {
  int n = 0;
  auto* e = static_cast<npf_if_addr*>(Buffer);
  for (const TAddressRow& r : Rows) {
    if (n >= MaxEntries) break;
    std::memset(&e[n], 0, sizeof(npf_if_addr));
    PutInet(e[n].IPAddress, r.Address);
    PutInet(e[n].SubnetMask, r.Mask);
    PutInet(e[n].Broadcast, r.Broadcast);
    ++n;
  }
  return n;
}

static void WriteBpfHeader(uint8_t* dst, const TPcapPktHdr& Hdr, uint32_t caplen) {
  bpf_hdr h{};
  h.bh_tstamp.tv_sec = uint32_t(Hdr.ts.tv_sec);
  h.bh_tstamp.tv_usec = uint32_t(Hdr.ts.tv_usec);
  h.bh_caplen = caplen;
  h.bh_datalen = Hdr.len;
  h.bh_hdrlen = BPF_RECORD_HDRLEN;
  std::memcpy(dst, &h, sizeof h);
}

void AppendBpfRecord(std::vector<uint8_t>& Out, const TPcapPktHdr& Hdr, const uint8_t* Bytes) {
  const size_t at = Out.size();
  Out.resize(at + BPF_WORDALIGN(BPF_RECORD_HDRLEN + Hdr.caplen), 0);
  WriteBpfHeader(&Out[at], Hdr, Hdr.caplen);
  if (Hdr.caplen) std::memcpy(&Out[at + BPF_RECORD_HDRLEN], Bytes, Hdr.caplen);
}

uint32_t MoveBpfRecords(const std::vector<uint8_t>& Pending, size_t* PendingPos, uint8_t* Block, uint32_t BlockCap,
                        uint32_t* BlockLen) {
  uint32_t moved = 0;
  while (*PendingPos < Pending.size()) {
    const uint8_t* rec = Pending.data() + *PendingPos;
    const uint32_t left = uint32_t(Pending.size() - *PendingPos);
    TBpfRecord r = BpfRecordAt(rec, left);
    if (r.Advance == 0) {  // cannot happen for records written here; drop the rest
      *PendingPos = Pending.size();
      break;
    }
    const uint32_t room = BlockCap - *BlockLen;
    if (r.Advance <= room) {
      std::memcpy(Block + *BlockLen, rec, r.Advance);
      *BlockLen += r.Advance;
      moved += r.Advance;
    } else if (*BlockLen == 0 && room > BPF_RECORD_HDRLEN) {
      // A record larger than the whole block: keep what fits.
      const uint32_t caplen = (room - BPF_RECORD_HDRLEN) & ~uint32_t(3);
      std::memcpy(Block, rec, BPF_RECORD_HDRLEN + caplen);
      reinterpret_cast<bpf_hdr*>(Block)->bh_caplen = caplen;
      *BlockLen = BPF_RECORD_HDRLEN + caplen;
      moved += *BlockLen;
    } else {
      break;
    }
    *PendingPos += r.Advance;
  }
  return moved;
}

// ---- interfaces -----------------------------------------------------------

namespace {

// ARPHRD type of a network interface, -1 when it does not exist. Asked of the
// kernel, so that it answers for the calling thread's network namespace.
int InterfaceType(const std::string& name) {
  if (name.empty() || name.size() >= IF_NAMESIZE) return -1;
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, name.c_str(), name.size() + 1);
  const int r = ioctl(s, SIOCGIFHWADDR, &ifr);
  ::close(s);
  return r == 0 ? ifr.ifr_hwaddr.sa_family : -1;
}

constexpr int ARPHRD_ETHER_TYPE = 1;
constexpr int ARPHRD_LOOPBACK_TYPE = 772;
constexpr int PACKET_IGNORE_OUTGOING_OPT = 23;

bool IsCaptureInterface(const std::string& name) {
  const int t = InterfaceType(name);
  return t == ARPHRD_ETHER_TYPE || t == ARPHRD_LOOPBACK_TYPE;
}

std::string DescribeInterface(const TPcapIf* d) {
  if (d->description && *d->description) {
    std::string s = d->description;
    if (s.find_first_not_of(" \t") != std::string::npos) return s;
  }
  std::string name = d->name;
  if ((d->flags & PCAP_IF_LOOPBACK_FLAG) || InterfaceType(name) == ARPHRD_LOOPBACK_TYPE)
    return "Loopback interface " + name;
  return "Ethernet interface " + name;
}

uint32_t InetOf(const sockaddr* sa) {
  if (!sa || sa->sa_family != AF_INET) return 0;
  sockaddr_in sin;
  std::memcpy(&sin, sa, sizeof sin);
  return sin.sin_addr.s_addr;
}

// Promiscuous reception on a live handle's packet socket.
bool SetMembership(const std::string& Name, int Fd, bool on) {
  packet_mreq mr{};
  mr.mr_ifindex = int(if_nametoindex(Name.c_str()));
  mr.mr_type = PACKET_MR_PROMISC;
  return mr.mr_ifindex != 0 &&
         setsockopt(Fd, SOL_PACKET, on ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP, &mr, sizeof mr) == 0;
}

// A libpcap handle activated with the adapter's snap length, kernel buffer,
// promiscuous state and filter; null (nothing left open) when the adapter
// cannot capture. The ring's slots are sized for the snap length: with a
// 65535-byte snap length and offloads on, a 1 MB ring holds about 15 frames.
TPcap* NewLiveHandle(const ADAPTER* a, int* Fd) {
  char err[PCAP_ERRBUF_LEN] = {};
  TPcap* p = L.create(a->Name.c_str(), err);
  if (!p) return nullptr;
  L.set_snaplen(p, a->SnapLen);
  L.set_promisc(p, 0);
  L.set_timeout(p, 100);
  L.set_buffer_size(p, a->KernelBuffer);
  if (L.set_immediate_mode) L.set_immediate_mode(p, 1);
  *Fd = -1;
  bpf_program prog{uint32_t(a->Filter.size()), const_cast<bpf_insn*>(a->Filter.data())};
  if (L.activate(p) < 0 || L.datalink(p) != DLT_EN10MB_TYPE || L.setnonblock(p, 1, err) < 0 ||
      (*Fd = L.get_selectable_fd(p)) < 0 || (a->Promiscuous && !SetMembership(a->Name, *Fd, true)) ||
      (!a->Filter.empty() && L.setfilter(p, &prog) != 0)) {
    L.close(p);
    *Fd = -1;
    return nullptr;
  }
  // Loopback shows every frame twice, going out and coming in; libpcap hands
  // out only the incoming copy, so the outgoing one would take a ring slot
  // for nothing. Kernels before 4.20 lack the option and keep both.
  if (InterfaceType(a->Name) == ARPHRD_LOOPBACK_TYPE) {
    const int on = 1;
    setsockopt(*Fd, SOL_PACKET, PACKET_IGNORE_OUTGOING_OPT, &on, sizeof on);
  }
  return p;
}

// Creates the first handle, so that an adapter that cannot capture fails at open.
bool Activate(ADAPTER* a) {
  a->IfIndex = if_nametoindex(a->Name.c_str());
  a->Pcap = NewLiveHandle(a, &a->Fd);
  return a->Pcap != nullptr && a->IfIndex != 0;
}

// How often an idle handle checks that its adapter is still there: a read
// error tells at once, this is for the case where none comes.
constexpr auto PresenceCheckInterval = std::chrono::seconds(1);

bool AdapterGone(const ADAPTER* a) { return if_nametoindex(a->Name.c_str()) != a->IfIndex; }

// Replaces the live handle by one made with the adapter's current settings;
// on failure the old handle stays. Frames the old one held are not carried
// over (settings change while an adapter is being opened, before reading).
bool Reactivate(ADAPTER* a) {
  int fd = -1;
  TPcap* p = NewLiveHandle(a, &fd);
  if (!p) return false;
  if (a->Pcap) L.close(a->Pcap);
  a->Pcap = p;
  a->Fd = fd;
  a->Pending.clear();
  a->PendingPos = 0;
  return true;
}

bool SetPromiscuous(ADAPTER* a, bool on) {
  if (on == a->Promiscuous) return true;
  if (!SetMembership(a->Name, a->Fd, on)) return false;
  a->Promiscuous = on;
  return true;
}

void OnFrame(unsigned char* user, const TPcapPktHdr* h, const unsigned char* bytes) {
  ADAPTER* a = reinterpret_cast<ADAPTER*>(user);
  TPcapPktHdr hdr = *h;
  if (hdr.caplen > uint32_t(a->SnapLen)) hdr.caplen = uint32_t(a->SnapLen);
  const uint32_t size = BPF_WORDALIGN(BPF_RECORD_HDRLEN + hdr.caplen);
  if (a->PendingPos >= a->Pending.size() && a->OutCap - a->OutLen >= size) {
    uint8_t* dst = a->Out + a->OutLen;
    WriteBpfHeader(dst, hdr, hdr.caplen);
    std::memcpy(dst + BPF_RECORD_HDRLEN, bytes, hdr.caplen);
    std::memset(dst + BPF_RECORD_HDRLEN + hdr.caplen, 0, size - BPF_RECORD_HDRLEN - hdr.caplen);
    a->OutLen += size;
  } else {
    AppendBpfRecord(a->Pending, hdr, bytes);
  }
}

// ---- driver entry points --------------------------------------------------

bool DrvGetAdapterNames(char* pStr, uint32_t* BufferSize) {
  if (!pStr || !BufferSize) return false;
  TPcapIf* all = nullptr;
  char err[PCAP_ERRBUF_LEN] = {};
  if (L.findalldevs(&all, err) < 0) return false;
  std::vector<TAdapterRow> rows;
  for (TPcapIf* d = all; d; d = d->next)
    if (d->name && IsCaptureInterface(d->name)) rows.push_back({d->name, DescribeInterface(d)});
  L.freealldevs(all);
  return PackAdapterNames(rows, pStr, BufferSize);
}

ADAPTER* DrvOpenAdapter(char* AdapterName) {
  if (!AdapterName) return nullptr;
  const std::string name(AdapterName, strnlen(AdapterName, IF_NAMESIZE));
  if (name.size() >= IF_NAMESIZE || AdapterName[name.size()] != 0 || !IsCaptureInterface(name)) return nullptr;
  ADAPTER* a = new ADAPTER;
  a->Name = name;
  if (!Activate(a)) {
    if (a->Pcap) L.close(a->Pcap);
    delete a;
    return nullptr;
  }
  return a;
}

void DrvCloseAdapter(ADAPTER* a) {
  if (!a) return;
  if (a->Pcap) L.close(a->Pcap);
  delete a;
}

PACKET* DrvAllocatePacket() { return new PACKET{nullptr, 0, 0, false}; }

void DrvInitPacket(PACKET* p, void* Buffer, uint32_t Length) {
  if (!p) return;
  p->Buffer = Buffer;
  p->Length = Length;
  p->ulBytesReceived = 0;
  p->bIoComplete = false;
}

void DrvFreePacket(PACKET* p) { delete p; }

bool DrvReceivePacket(ADAPTER* a, PACKET* p, bool /*Sync*/) {
  if (!a || !p || !p->Buffer) return false;
  p->ulBytesReceived = 0;
  if (!a->Pcap) return false;
  a->Out = static_cast<uint8_t*>(p->Buffer);
  a->OutCap = p->Length;
  a->OutLen = 0;
  if (a->PendingPos < a->Pending.size()) MoveBpfRecords(a->Pending, &a->PendingPos, a->Out, a->OutCap, &a->OutLen);
  if (a->PendingPos >= a->Pending.size()) {
    a->Pending.clear();
    a->PendingPos = 0;
  }
  bool ok = true;
  int error = 0;
  if (a->Pending.empty()) {
    int ready = 1;
    if (a->OutLen == 0) {
      pollfd pfd{a->Fd, POLLIN, 0};
      const int timeout = a->ReadTimeoutMs == 0 ? -1 : (a->ReadTimeoutMs < 0 ? 0 : a->ReadTimeoutMs);
      ready = poll(&pfd, 1, timeout);
      if (ready < 0 && errno == EINTR) ready = 0;
      if (ready < 0) {
        ok = false;
        error = errno;
      }
    }
    if (ok && ready > 0 && L.dispatch(a->Pcap, -1, OnFrame, reinterpret_cast<unsigned char*>(a)) < 0) {
      ok = false;
      error = errno;
    }
    // A vanished adapter shows once, as an error of the read that follows
    // (libpcap: "The interface disappeared"); after that its socket is
    // silent. Its index tells for certain: ENODEV when it has gone, which
    // ends the capture, and never ENODEV while it is there.
    const auto now = std::chrono::steady_clock::now();
    if (!ok || (ready == 0 && now >= a->NextPresenceCheck)) {
      a->NextPresenceCheck = now + PresenceCheckInterval;
      if (AdapterGone(a)) {
        ok = false;
        error = ENODEV;
      } else if (error == ENODEV || error == ENXIO) {
        error = EIO;
      }
    }
  }
  p->ulBytesReceived = a->OutLen;
  p->bIoComplete = true;
  a->Out = nullptr;
  a->OutCap = a->OutLen = 0;
  if (!ok) errno = error;
  return ok;
}

bool DrvWaitPacket(ADAPTER* a, PACKET* p) { return DrvReceivePacket(a, p, true); }

bool DrvSendPacket(ADAPTER* a, PACKET* p, bool /*Sync*/) {
  if (!a || !p || !p->Buffer) return false;
  return L.sendpacket(a->Pcap, static_cast<const unsigned char*>(p->Buffer), int(p->Length)) == 0;
}

bool DrvResetAdapter(ADAPTER* a) {
  if (!a) return false;
  a->Pending.clear();
  a->PendingPos = 0;
  return true;
}

// Promiscuous or not is all a packet socket can do.
bool DrvSetHwFilter(ADAPTER* a, uint32_t Filter) {
  if (!a) return false;
  return SetPromiscuous(a, (Filter & NDIS_PACKET_TYPE_PROMISCUOUS) != 0);
}

bool DrvRequest(ADAPTER* a, bool Set, PACKET_OID_DATA* OidData) {
  if (!a || !OidData || Set) return false;
  if (OidData->Oid != OID_802_3_CURRENT_ADDRESS && OidData->Oid != OID_802_3_PERMANENT_ADDRESS) return false;
  if (OidData->Length < 6) return false;
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, a->Name.c_str(), a->Name.size() + 1);
  const bool ok = ioctl(s, SIOCGIFHWADDR, &ifr) == 0;
  ::close(s);
  if (!ok) return false;
  std::memcpy(OidData->Data, ifr.ifr_hwaddr.sa_data, 6);
  OidData->Length = 6;
  return true;
}

// The kernel buffer is sized at activation: another size takes a new handle.
bool DrvSetBuff(ADAPTER* a, int32_t dim) {
  if (!a || dim <= 0) return false;
  if (dim == a->KernelBuffer) return true;
  const int old = a->KernelBuffer;
  a->KernelBuffer = dim;
  if (Reactivate(a)) return true;
  a->KernelBuffer = old;
  return false;
}

bool DrvSetBpf(ADAPTER* a, bpf_program* fp) {
  if (!a || !fp || (fp->bf_len && !fp->bf_insns)) return false;
  if (L.setfilter(a->Pcap, fp) != 0) return false;
  a->Filter.assign(fp->bf_insns, fp->bf_insns + fp->bf_len);  // kept for a new handle
  return true;
}

bool DrvGetStats(ADAPTER* a, bpf_stat* s) {
  if (!a || !s) return false;
  TPcapStat ps{};
  if (L.stats(a->Pcap, &ps) < 0) return false;
  s->bs_recv = ps.ps_recv;
  s->bs_drop = ps.ps_drop;
  s->ps_ifdrop = ps.ps_ifdrop;
  s->bs_capt = ps.ps_recv;
  return true;
}

bool DrvGetNetType(ADAPTER* a, NetType* type) {
  if (!a || !type) return false;
  type->LinkType = NdisMedium802_3;
  type->LinkSpeed = 0;
  std::ifstream f("/sys/class/net/" + a->Name + "/speed");
  long long mbps = 0;
  if (f >> mbps && mbps > 0) type->LinkSpeed = uint64_t(mbps) * 1000000u;
  return true;
}

bool DrvSetReadTimeout(ADAPTER* a, int32_t timeout) {
  if (!a) return false;
  a->ReadTimeoutMs = timeout;
  return true;
}

const char* DrvGetVersion() { return L.lib_version(); }

bool DrvGetNetInfoEx(char* AdapterName, void* buffer, int32_t* NEntries) {
  if (!AdapterName || !buffer || !NEntries || *NEntries <= 0) return false;
  TPcapIf* all = nullptr;
  char err[PCAP_ERRBUF_LEN] = {};
  if (L.findalldevs(&all, err) < 0) return false;
  bool found = false;
  std::vector<TAddressRow> rows;
  for (TPcapIf* d = all; d; d = d->next) {
    if (!d->name || std::strcmp(d->name, AdapterName) != 0) continue;
    found = true;
    for (TPcapAddr* ad = d->addresses; ad; ad = ad->next)
      if (ad->addr && ad->addr->sa_family == AF_INET)
        rows.push_back({InetOf(ad->addr), InetOf(ad->netmask), InetOf(ad->broadaddr)});
  }
  L.freealldevs(all);
  if (!found) return false;
  *NEntries = PackAddressEntries(rows, buffer, *NEntries);
  return true;
}

bool DrvSetMinToCopy(ADAPTER* a, int32_t nbytes) {
  if (!a) return false;
  a->MinToCopy = nbytes;
  return true;
}

const char* DrvGetDriverVersion() {
  static char text[160];  // filled once, on the main thread
  if (!text[0]) {
    utsname u{};
    if (uname(&u) == 0)
      std::snprintf(text, sizeof text, "Linux packet socket %s", u.release);
    else
      std::snprintf(text, sizeof text, "Linux packet socket");
  }
  return text;
}

// The snap length in force. Records are cut to it when they are copied out;
// the ring is sized for it by a new handle, and should that fail, the old
// handle (slots sized for the old length) goes on capturing.
int32_t DrvSetSnapLen(ADAPTER* a, int32_t snaplen) {
  if (!a) return 0;
  if (snaplen > 0 && snaplen < 65535 && snaplen != a->SnapLen) {
    a->SnapLen = snaplen;
    Reactivate(a);
  }
  return a->SnapLen;
}

struct TEntry {
  const char* Name;
  void* Proc;
};

const TEntry Entries[] = {
    {"PacketGetAdapterNames", reinterpret_cast<void*>(&DrvGetAdapterNames)},
    {"PacketOpenAdapter", reinterpret_cast<void*>(&DrvOpenAdapter)},
    {"PacketCloseAdapter", reinterpret_cast<void*>(&DrvCloseAdapter)},
    {"PacketAllocatePacket", reinterpret_cast<void*>(&DrvAllocatePacket)},
    {"PacketInitPacket", reinterpret_cast<void*>(&DrvInitPacket)},
    {"PacketFreePacket", reinterpret_cast<void*>(&DrvFreePacket)},
    {"PacketReceivePacket", reinterpret_cast<void*>(&DrvReceivePacket)},
    {"PacketWaitPacket", reinterpret_cast<void*>(&DrvWaitPacket)},
    {"PacketSendPacket", reinterpret_cast<void*>(&DrvSendPacket)},
    {"PacketResetAdapter", reinterpret_cast<void*>(&DrvResetAdapter)},
    {"PacketSetHwFilter", reinterpret_cast<void*>(&DrvSetHwFilter)},
    {"PacketRequest", reinterpret_cast<void*>(&DrvRequest)},
    {"PacketSetBuff", reinterpret_cast<void*>(&DrvSetBuff)},
    {"PacketSetBpf", reinterpret_cast<void*>(&DrvSetBpf)},
    {"PacketGetStats", reinterpret_cast<void*>(&DrvGetStats)},
    {"PacketGetNetType", reinterpret_cast<void*>(&DrvGetNetType)},
    {"PacketSetReadTimeout", reinterpret_cast<void*>(&DrvSetReadTimeout)},
    {"PacketGetVersion", reinterpret_cast<void*>(&DrvGetVersion)},
    {"PacketGetNetInfoEx", reinterpret_cast<void*>(&DrvGetNetInfoEx)},
    {"PacketSetMinToCopy", reinterpret_cast<void*>(&DrvSetMinToCopy)},
    {"PacketGetDriverVersion", reinterpret_cast<void*>(&DrvGetDriverVersion)},
    {"PacketSetSnapLen", reinterpret_cast<void*>(&DrvSetSnapLen)},
};

template <typename F>
bool Sym(void* m, const char* name, F& out) {
  out = reinterpret_cast<F>(dlsym(m, name));
  return out != nullptr;
}

void* DriverLoad() {
  void* m = dlopen("libpcap.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!m) m = dlopen("libpcap.so.0.8", RTLD_NOW | RTLD_LOCAL);
  if (!m) return nullptr;
  TPcapApi l{};
  const bool ok = Sym(m, "pcap_create", l.create) && Sym(m, "pcap_set_snaplen", l.set_snaplen) &&
                  Sym(m, "pcap_set_promisc", l.set_promisc) && Sym(m, "pcap_set_timeout", l.set_timeout) &&
                  Sym(m, "pcap_set_buffer_size", l.set_buffer_size) && Sym(m, "pcap_activate", l.activate) &&
                  Sym(m, "pcap_setnonblock", l.setnonblock) && Sym(m, "pcap_get_selectable_fd", l.get_selectable_fd) &&
                  Sym(m, "pcap_dispatch", l.dispatch) && Sym(m, "pcap_close", l.close) &&
                  Sym(m, "pcap_findalldevs", l.findalldevs) && Sym(m, "pcap_freealldevs", l.freealldevs) &&
                  Sym(m, "pcap_lib_version", l.lib_version) && Sym(m, "pcap_sendpacket", l.sendpacket) &&
                  Sym(m, "pcap_stats", l.stats) && Sym(m, "pcap_setfilter", l.setfilter) &&
                  Sym(m, "pcap_datalink", l.datalink);
  if (!ok) {  // too old or not libpcap at all: no driver
    dlclose(m);
    return nullptr;
  }
  Sym(m, "pcap_set_immediate_mode", l.set_immediate_mode);
  L = l;
  return m;
}

void* DriverSymbol(void* /*Module*/, const char* Name) {
  for (const TEntry& e : Entries)
    if (std::strcmp(e.Name, Name) == 0) return e.Proc;
  return nullptr;
}

void DriverUnload(void* Module) {
  L = TPcapApi{};
  if (Module) dlclose(Module);
}

const TPacketModule DriverModule{&DriverLoad, &DriverSymbol, &DriverUnload};

// The stand-in entry points of PcapDriverModuleOver.
TPcapApi Given;
int GivenToken;

void* GivenLoad() {
  L = Given;
  return &GivenToken;
}

void GivenUnload(void*) { L = TPcapApi{}; }

const TPacketModule GivenModule{&GivenLoad, &DriverSymbol, &GivenUnload};

}  // namespace

const TPacketModule& PcapDriverModule() { return DriverModule; }

const TPacketModule& PcapDriverModuleOver(const TPcapApi& Api) {
  Given = Api;
  return GivenModule;
}
