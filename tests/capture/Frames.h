// Builders for captured blocks and Ethernet frames (TCP, UDP, ICMP, ARP,
// IPv6, IPv4 fragments, VLAN tags), shared by the tests and the benchmark.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "capture/bpf.h"

namespace frames {

// Appends one record: header (hdrlen bytes, the tail zero), frame bytes, padding.
inline void AppendRecord(std::vector<uint8_t>& block, const std::vector<uint8_t>& frame, uint32_t sec = 0,
                         uint32_t usec = 0, uint16_t hdrlen = 20, int64_t datalen = -1) {
  const size_t at = block.size();
  block.resize(at + BPF_WORDALIGN(uint32_t(hdrlen + frame.size())), 0);
  bpf_hdr h{};
  h.bh_tstamp.tv_sec = sec;
  h.bh_tstamp.tv_usec = usec;
  h.bh_caplen = uint32_t(frame.size());
  h.bh_datalen = datalen < 0 ? uint32_t(frame.size()) : uint32_t(datalen);
  h.bh_hdrlen = hdrlen;
  std::memcpy(&block[at], &h, hdrlen < sizeof h ? hdrlen : sizeof h);
  if (!frame.empty()) std::memcpy(&block[at + hdrlen], frame.data(), frame.size());
}

struct TFrameSpec {
  uint8_t Src[6] = {0x02, 0, 0, 0, 0, 0x01};
  uint8_t Dst[6] = {0x02, 0, 0, 0, 0, 0x02};
  const char* SrcIp = "192.168.1.5";
  const char* DstIp = "10.0.0.1";
  uint16_t SrcPort = 1234;
  uint16_t DstPort = 80;
  uint8_t Ihl = 5;            // IP header length in 32-bit words
  uint16_t TcpWord = 0x5018;  // data offset 5 words, PSH ACK
  std::vector<uint8_t> Payload;
  size_t PadTo = 0;      // Ethernet padding up to this frame length
  int TotalLength = -1;  // IP total length written instead of the real one
};

inline void Put16(std::vector<uint8_t>& f, size_t at, uint16_t v) {
  f[at] = uint8_t(v >> 8);
  f[at + 1] = uint8_t(v);
}

inline std::vector<uint8_t> EthernetFrame(const TFrameSpec& s, uint16_t type, size_t bodySize) {
  std::vector<uint8_t> f(14 + bodySize, 0);
  std::memcpy(&f[0], s.Dst, 6);
  std::memcpy(&f[6], s.Src, 6);
  Put16(f, 12, type);
  return f;
}

inline void Finish(std::vector<uint8_t>& f, const TFrameSpec& s) {
  if (f.size() < s.PadTo) f.resize(s.PadTo, 0);
}

// IPv4 frame with a transport header of l4Size bytes followed by the payload.
inline std::vector<uint8_t> IpFrame(const TFrameSpec& s, uint8_t proto, size_t l4Size) {
  const size_t ihl = size_t(s.Ihl) * 4;
  const size_t ipLen = (ihl < 20 ? 20 : ihl) + l4Size + s.Payload.size();
  std::vector<uint8_t> f = EthernetFrame(s, 0x0800, ipLen);
  f[14] = uint8_t(0x40 | (s.Ihl & 15));
  Put16(f, 16, uint16_t(s.TotalLength >= 0 ? s.TotalLength : int(ipLen)));
  f[14 + 8] = 64;
  f[14 + 9] = proto;
  inet_pton(AF_INET, s.SrcIp, &f[14 + 12]);
  inet_pton(AF_INET, s.DstIp, &f[14 + 16]);
  const size_t l4 = 14 + (ihl < 20 ? 20 : ihl);
  if (!s.Payload.empty()) std::memcpy(&f[l4 + l4Size], s.Payload.data(), s.Payload.size());
  return f;
}

inline size_t L4Offset(const TFrameSpec& s) { return 14 + (s.Ihl < 5 ? 20 : size_t(s.Ihl) * 4); }

inline std::vector<uint8_t> TcpFrame(const TFrameSpec& s) {
  std::vector<uint8_t> f = IpFrame(s, 6, 20);
  const size_t t = L4Offset(s);
  Put16(f, t, s.SrcPort);
  Put16(f, t + 2, s.DstPort);
  Put16(f, t + 12, s.TcpWord);
  Finish(f, s);
  return f;
}

inline std::vector<uint8_t> UdpFrame(const TFrameSpec& s) {
  std::vector<uint8_t> f = IpFrame(s, 17, 8);
  const size_t u = L4Offset(s);
  Put16(f, u, s.SrcPort);
  Put16(f, u + 2, s.DstPort);
  Put16(f, u + 4, uint16_t(8 + s.Payload.size()));
  Finish(f, s);
  return f;
}

inline std::vector<uint8_t> IcmpFrame(const TFrameSpec& s, uint8_t type) {
  std::vector<uint8_t> f = IpFrame(s, 1, 8);
  f[L4Offset(s)] = type;
  Finish(f, s);
  return f;
}

// ARP request from SrcIp asking for DstIp, padded to 60 bytes.
inline std::vector<uint8_t> ArpFrame(const TFrameSpec& s) {
  std::vector<uint8_t> f = EthernetFrame(s, 0x0806, 28);
  Put16(f, 14, 1);
  Put16(f, 16, 0x0800);
  f[18] = 6;
  f[19] = 4;
  Put16(f, 20, 1);
  std::memcpy(&f[22], s.Src, 6);
  inet_pton(AF_INET, s.SrcIp, &f[28]);
  inet_pton(AF_INET, s.DstIp, &f[38]);
  if (f.size() < 60) f.resize(60, 0);
  Finish(f, s);
  return f;
}

// IPv6 UDP datagram (EtherType 0x86DD).
inline std::vector<uint8_t> Ipv6Frame(const TFrameSpec& s) {
  std::vector<uint8_t> f = EthernetFrame(s, 0x86DD, 40 + 8 + s.Payload.size());
  f[14] = 0x60;
  Put16(f, 18, uint16_t(8 + s.Payload.size()));
  f[20] = 17;
  f[21] = 64;
  f[14 + 39] = 1;  // ::1 -> ::1
  f[14 + 23] = 1;
  Put16(f, 54, s.SrcPort);
  Put16(f, 56, s.DstPort);
  if (!s.Payload.empty()) std::memcpy(&f[62], s.Payload.data(), s.Payload.size());
  Finish(f, s);
  return f;
}

// The IPv4 fragments of one datagram (IP payload `datagram`, the transport
// header included) sent over a link of the given MTU: every fragment but the
// last carries the largest multiple of 8 bytes that fits.
inline std::vector<std::vector<uint8_t>> IpFragments(const TFrameSpec& s, uint8_t proto,
                                                     const std::vector<uint8_t>& datagram, size_t mtu) {
  std::vector<std::vector<uint8_t>> out;
  const size_t step = (mtu - 20) & ~size_t(7);
  for (size_t at = 0; at < datagram.size(); at += step) {
    const size_t n = datagram.size() - at < step ? datagram.size() - at : step;
    const bool more = at + n < datagram.size();
    std::vector<uint8_t> f = EthernetFrame(s, 0x0800, 20 + n);
    f[14] = 0x45;
    Put16(f, 16, uint16_t(20 + n));
    Put16(f, 18, 0x1234);  // identification
    Put16(f, 20, uint16_t((more ? 0x2000 : 0) | (at / 8)));
    f[14 + 8] = 64;
    f[14 + 9] = proto;
    inet_pton(AF_INET, s.SrcIp, &f[14 + 12]);
    inet_pton(AF_INET, s.DstIp, &f[14 + 16]);
    std::memcpy(&f[34], datagram.data() + at, n);
    out.push_back(std::move(f));
  }
  return out;
}

// A UDP datagram (header and payload) as IpFragments takes it.
inline std::vector<uint8_t> UdpDatagram(uint16_t srcPort, uint16_t dstPort, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> d(8 + payload.size(), 0);
  Put16(d, 0, srcPort);
  Put16(d, 2, dstPort);
  Put16(d, 4, uint16_t(d.size()));
  if (!payload.empty()) std::memcpy(&d[8], payload.data(), payload.size());
  return d;
}

// The frame with VLAN tags inserted after the addresses, outermost first:
// each tag is its TPID (0x8100 or 0x88A8) and a VLAN id.
inline std::vector<uint8_t> Tagged(const std::vector<uint8_t>& frame,
                                   const std::vector<std::pair<uint16_t, uint16_t>>& tags) {
  std::vector<uint8_t> f(frame.begin(), frame.begin() + 12);
  for (const auto& t : tags) {
    f.resize(f.size() + 4);
    Put16(f, f.size() - 4, t.first);
    Put16(f, f.size() - 2, t.second);
  }
  f.insert(f.end(), frame.begin() + 12, frame.end());
  return f;
}

inline uint32_t Ip(const char* text) {
  uint32_t a = 0;
  inet_pton(AF_INET, text, &a);
  return a;
}

}  // namespace frames
