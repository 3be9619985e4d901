// Packet lines: EtherType names and the eleven-field line made from a decoded packet.
#include "app/PacketLine.h"

#include <cstring>

#include "capture/capsubs.h"
#include "rtl/SysUtils.h"

std::string EtherTypeProtoName(uint16_t EtherType) {
  switch (EtherType) {
    case 0x0026: return "PROTO_TIME";
    case 0x0200: return "PROTO_PUP";
    case 0x0600: return "PROTO_XNS";
    case 0x0800: return "PROTO_IP";
    case 0x0806: return "PROTO_ARP";
    case 0x8035: return "PROTO_REVARP";
    case 0x6007: return "PROTO_SCA";
    case 0x809B: return "PROTO_ATALK";
    case 0x80F3: return "PROTO_AARP";
    case 0x8137: return "PROTO_IPX";
    case 0x8138: return "PROTO_NOVELL";
    case 0x814C: return "PROTO_SNMP";
    case 0x86DD: return "PROTO_IPV6";
    case 0x88AD: return "PROTO_XIMETA";
    case 0x900D: return "PROTO_LOOP";
    default: return "PROTO_???";
  }
}

std::string FormatPacketLine(const TPacketInfo& P) {
  char Head[32];
  std::snprintf(Head, sizeof Head, "%-12s", TimeToTextMs(P.CaptureTime).c_str());
  char Type[8];
  std::snprintf(Type, sizeof Type, "%.4X", unsigned(P.EtherType));
  std::string Line;
  Line.reserve(128);
  auto Field = [&Line](const std::string& Text) {
    Line += Text;
    Line += '\t';
  };
  Field(Head);
  Field(MacAddrToText(P.SourceMac));
  Field(MacAddrToText(P.DestMac));
  Field(Type);
  Field(std::to_string(P.WireLength));
  Field(IPAddrToText(P.SourceIp));
  Field(std::to_string(P.SourcePort));
  Field(IPAddrToText(P.DestIp));
  Field(std::to_string(P.DestPort));
  Field(IpProtocolToText(P.IpProtocol));
  return Line;
}

std::string MakePacketLine(TPacketInfo P, bool& LogIt) {
  LogIt = false;
  const auto* Payload = reinterpret_cast<const uint8_t*>(P.Payload.data());
  const std::size_t PayloadSize = P.Payload.size();
  if (P.EtherType == 0x0806 && PayloadSize >= 28) {
    // Sender and target protocol addresses, kept in network order.
    std::memcpy(&P.SourceIp, Payload + 14, 4);
    std::memcpy(&P.DestIp, Payload + 24, 4);
  }
  std::string Line = FormatPacketLine(P);
  if (P.EtherType == 0x0800) {
    Line += P.IpProtocol == 1 ? std::to_string(P.IcmpMessageType) : std::string("TCP-IP");
  } else if (P.EtherType == 0x0806) {
    // The operation is read only when the payload holds it. The suffix is
    // never empty: a line ending in its TAB would have ten fields, and every
    // reader of the line (this program's own parser too) refuses it.
    if (PayloadSize >= 8) {
      unsigned Op = (unsigned(Payload[6]) << 8) | Payload[7];
      if (Op == 1)
        Line += "who-has";
      else if (Op == 2)
        Line += "reply";
      else
        Line += std::to_string(Op);
    } else
      Line += EtherTypeProtoName(P.EtherType);
  } else {
    Line += EtherTypeProtoName(P.EtherType);
    LogIt = true;
  }
  return Line;
}
