// The capture driver on Linux: the driver entry points of Packet32 built over
// libpcap, which is loaded by name at run time ("libpcap.so.1", then
// "libpcap.so.0.8") and never linked. Only the few libpcap functions used
// here are declared, as function-pointer types.
//
// What the driver hands its callers:
// - adapter names in the narrow layout (names, empty string, descriptions,
//   empty string), Ethernet-type interfaces and loopback only, each with a
//   non-empty description; a buffer too small for all of them gets False and
//   the size needed;
// - address entries in the 384-byte layout;
// - adapters activated when they are opened, so that an adapter that cannot
//   capture (down, gone, not permitted) fails at open; the promiscuous filter
//   is applied to the live handle; a new snap length or kernel buffer size
//   makes a new live handle activated with it (libpcap sizes its ring slots
//   for the snap length at activation), so the capturing handle's ring holds
//   as many frames as the buffer has room for at that snap length;
// - the socket's drop count (frames lost because the ring was full) in the
//   statistics;
// - read blocks in the BPF record layout with bh_hdrlen = 20; a read waits at
//   most the read time-out (non-blocking descriptor plus poll); a failed read
//   leaves its reason in errno, ENODEV when the adapter has gone (its name no
//   longer gives the interface it was opened on; checked after a read error,
//   and once a second while no frame comes);
// - the adapter MAC for the current-address request;
// - the libpcap version text as the library version.
// Capturing needs CAP_NET_RAW.
#pragma once

#include <cstdint>
#include <string>
#include <sys/time.h>
#include <utility>
#include <vector>

#include "capture/Packet32.h"

struct sockaddr;

// libpcap's own types, as far as they are used.
struct TPcap;  // opaque capture handle
struct TPcapPktHdr {
  timeval ts;
  uint32_t caplen;
  uint32_t len;
};
struct TPcapAddr {
  TPcapAddr* next;
  sockaddr* addr;
  sockaddr* netmask;
  sockaddr* broadaddr;
  sockaddr* dstaddr;
};
struct TPcapIf {
  TPcapIf* next;
  char* name;
  char* description;
  TPcapAddr* addresses;
  uint32_t flags;
};
struct TPcapStat {
  unsigned ps_recv;
  unsigned ps_drop;
  unsigned ps_ifdrop;
};
constexpr uint32_t PCAP_IF_LOOPBACK_FLAG = 0x00000001;
constexpr int PCAP_ERRBUF_LEN = 256;

using TPcapHandler = void (*)(unsigned char* user, const TPcapPktHdr* h, const unsigned char* bytes);
using Tpcap_create = TPcap* (*)(const char* source, char* errbuf);
using Tpcap_set_int = int (*)(TPcap* p, int value);
using Tpcap_activate = int (*)(TPcap* p);
using Tpcap_setnonblock = int (*)(TPcap* p, int nonblock, char* errbuf);
using Tpcap_get_selectable_fd = int (*)(TPcap* p);
using Tpcap_dispatch = int (*)(TPcap* p, int cnt, TPcapHandler callback, unsigned char* user);
using Tpcap_close = void (*)(TPcap* p);
using Tpcap_findalldevs = int (*)(TPcapIf** alldevsp, char* errbuf);
using Tpcap_freealldevs = void (*)(TPcapIf* alldevs);
using Tpcap_lib_version = const char* (*)();
using Tpcap_sendpacket = int (*)(TPcap* p, const unsigned char* buf, int size);
using Tpcap_stats = int (*)(TPcap* p, TPcapStat* ps);
using Tpcap_setfilter = int (*)(TPcap* p, bpf_program* fp);
using Tpcap_datalink = int (*)(TPcap* p);

// The libpcap entry points the driver uses (set_immediate_mode may be null).
struct TPcapApi {
  Tpcap_create create;
  Tpcap_set_int set_snaplen;
  Tpcap_set_int set_promisc;
  Tpcap_set_int set_timeout;
  Tpcap_set_int set_buffer_size;
  Tpcap_set_int set_immediate_mode;
  Tpcap_activate activate;
  Tpcap_setnonblock setnonblock;
  Tpcap_get_selectable_fd get_selectable_fd;
  Tpcap_dispatch dispatch;
  Tpcap_close close;
  Tpcap_findalldevs findalldevs;
  Tpcap_freealldevs freealldevs;
  Tpcap_lib_version lib_version;
  Tpcap_sendpacket sendpacket;
  Tpcap_stats stats;
  Tpcap_setfilter setfilter;
  Tpcap_datalink datalink;
};

// The driver as a module for LoadPacketDll.
const TPacketModule& PcapDriverModule();

// The same driver over the given entry points instead of the library (for
// tests: a libpcap stand-in). The entries are copied.
const TPacketModule& PcapDriverModuleOver(const TPcapApi& Api);

// Layout helpers, exposed for tests.

// One adapter as listed: device name and description.
struct TAdapterRow {
  std::string Name;
  std::string Description;
};

// Writes rows in the narrow name layout; *Size becomes the bytes used. When
// they do not all fit (with both terminating empty strings) nothing is
// written, *Size becomes the size needed and the result is False.
bool PackAdapterNames(const std::vector<TAdapterRow>& Rows, char* Buffer, uint32_t* Size);

// One IPv4 address entry, values in network byte order.
struct TAddressRow {
  uint32_t Address;
  uint32_t Mask;
  uint32_t Broadcast;
};

// Writes at most MaxEntries 384-byte entries; returns the number written.
int PackAddressEntries(const std::vector<TAddressRow>& Rows, void* Buffer, int MaxEntries);

// Appends one captured frame as a BPF record (bh_hdrlen 20, padded to a
// multiple of 4) to Out.
void AppendBpfRecord(std::vector<uint8_t>& Out, const TPcapPktHdr& Hdr, const uint8_t* Bytes);

// Moves whole records from the front of Pending (starting at *PendingPos)
// into Block (capacity BlockCap, *BlockLen bytes used). A record larger than
// an empty block is cut to fit. Returns the bytes moved.
uint32_t MoveBpfRecords(const std::vector<uint8_t>& Pending, size_t* PendingPos, uint8_t* Block, uint32_t BlockCap,
                        uint32_t* BlockLen);
