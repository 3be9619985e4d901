// Frame header layouts and the decoded packet record.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TObject;

// Header layouts as they stand in a frame (multi-byte fields in network order).
#pragma pack(push, 1)
struct ETHERNET_HDR {
  uint8_t Destination[6];
  uint8_t Source[6];
  uint16_t Protocol;
};
struct IP_RHDR {
  uint8_t Verlen;  // version and header length in 32-bit words
  uint8_t Service;
  uint16_t Length;  // total length of the IP packet
  uint16_t Ident;
  uint16_t Flagoff;
  uint8_t Timelive;
  uint8_t Protocol;
  uint16_t Checksum;
  uint32_t Source;
  uint32_t Destination;
};
struct TCP_RHDR {
  uint16_t Source;
  uint16_t Destination;
  uint32_t Seq;
  uint32_t Ack;
  uint16_t Flags;  // data offset, reserved bits and flags
  uint16_t Window;
  uint16_t Checksum;
  uint16_t Urgent;
};
struct UDP_RHDR {
  uint16_t Source;
  uint16_t Destination;
  uint16_t Length;
  uint16_t Checksum;
};
struct ICMP_RHDR {
  uint8_t Type;
  uint8_t Code;
  uint16_t Checksum;
};
#pragma pack(pop)
static_assert(sizeof(ETHERNET_HDR) == 14);
static_assert(sizeof(IP_RHDR) == 20);
static_assert(sizeof(TCP_RHDR) == 20);
static_assert(sizeof(UDP_RHDR) == 8);

constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint8_t IPPROTO_ICMP_NUM = 1;
constexpr uint8_t IPPROTO_TCP_NUM = 6;
constexpr uint8_t IPPROTO_UDP_NUM = 17;

// One decoded frame. Every field not set by the decoder is 0 or empty.
struct TPacketInfo {
  int32_t WireLength = 0;  // frame length on the wire, Ethernet header included
  uint16_t EtherType = 0;  // host order
  uint8_t SourceMac[6] = {};
  uint8_t DestMac[6] = {};
  uint32_t SourceIp = 0;   // network order
  uint32_t DestIp = 0;     // network order
  int32_t SourcePort = 0;  // host order
  int32_t DestPort = 0;    // host order
  uint8_t IpProtocol = 0;
  uint16_t TcpControlWord = 0;  // host order
  bool FromLocalAdapter = false;
  uint8_t IcmpMessageType = 0;
  int32_t PayloadLength = 0;
  std::string Payload;     // copy of the payload bytes, empty when not kept
  double CaptureTime = 0;  // local time, days since 1899-12-30
};

// Called for every frame that survives the filters, on the capturing thread;
// the handler gets its own copy of the record.
using TPacketEvent = std::function<void(TObject* Sender, TPacketInfo PacketInfo)>;

// Header length of an IP header in bytes: (first byte and 15) * 4.
inline uint16_t IpHeaderLength(const uint8_t* IpHeader) { return uint16_t((IpHeader[0] & 15) * 4); }

// Header length of a TCP header in bytes: (byte 12 and 0xF0) shr 2.
inline uint16_t TcpHeaderLength(const uint8_t* TcpHeader) { return uint16_t((TcpHeader[12] & 0xF0) >> 2); }
