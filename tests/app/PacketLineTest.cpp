// Tests of packet lines made from decoded frames: ARP fields, IP protocol names and suffixes, and
// other EtherTypes.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "app/PacketLine.h"
#include "app/Unit_Globals.h"
#include "rtl/SysUtils.h"

namespace {

// 13:05:09.123 on some day, local time.
constexpr double Time130509 = 45000.0 + (13 * 3600 + 5 * 60 + 9 + 0.123) / 86400.0;

TPacketInfo Record(uint16_t EtherType, uint8_t Protocol = 0) {
  TPacketInfo P;
  P.CaptureTime = Time130509;
  const uint8_t Src[6] = {0x00, 0x0C, 0x29, 0x4F, 0xA1, 0x0B};
  std::memcpy(P.SourceMac, Src, 6);
  std::memset(P.DestMac, 0xFF, 6);
  P.EtherType = EtherType;
  P.IpProtocol = Protocol;
  P.WireLength = 60;
  return P;
}

uint32_t Ip(const char* Text) { return inet_addr(Text); }

std::string ArpPayload(uint16_t Op, const char* Sender, const char* Target) {
  std::string P(28, '\0');
  P[6] = char(Op >> 8);
  P[7] = char(Op & 0xFF);
  uint32_t S = Ip(Sender), T = Ip(Target);
  std::memcpy(&P[14], &S, 4);
  std::memcpy(&P[24], &T, 4);
  return P;
}

TEST(PacketLine, ArpRequestGivesTheExactElevenFields) {
  TPacketInfo P = Record(0x0806);
  P.Payload = ArpPayload(1, "192.168.1.20", "192.168.1.1");
  bool LogIt = true;
  EXPECT_EQ(
      MakePacketLine(P, LogIt),
      "13:05:09:123\t00-0C-29-4F-A1-0B\tFF-FF-FF-FF-FF-FF\t0806\t60\t192.168.1.20\t0\t192.168.1.1\t0\tIP\twho-has");
  EXPECT_FALSE(LogIt);
  P.Payload = ArpPayload(2, "192.168.1.1", "192.168.1.20");
  EXPECT_EQ(Split(MakePacketLine(P, LogIt), "\t").back(), "reply");
}

// Every line has eleven fields, so that the program's own parser and a peer's
// listener take it: an ARP operation other than 1 or 2 is named by its number,
// an ARP packet too short for its operation by its EtherType.
TEST(PacketLine, ArpWithOtherOperationOrShortPayloadHasANonEmptySuffix) {
  TPacketInfo P = Record(0x0806);
  P.Payload = ArpPayload(3, "10.0.0.1", "10.0.0.2");
  bool LogIt = true;
  TSplitArray F = Split(MakePacketLine(P, LogIt), "\t");
  ASSERT_EQ(F.size(), 11u);
  EXPECT_EQ(F[5], "10.0.0.1");
  EXPECT_EQ(F.back(), "3");
  EXPECT_FALSE(LogIt);
  P.Payload = ArpPayload(0xFFFF, "10.0.0.1", "10.0.0.2");
  EXPECT_EQ(Split(MakePacketLine(P, LogIt), "\t").back(), "65535");
  // Too short for the addresses: they stay 0, and the operation is not read
  // beyond the payload.
  P.Payload = ArpPayload(1, "10.0.0.1", "10.0.0.2").substr(0, 20);
  F = Split(MakePacketLine(P, LogIt), "\t");
  EXPECT_EQ(F[5], "0.0.0.0");
  EXPECT_EQ(F.back(), "who-has");
  P.Payload = std::string(5, '\0');
  F = Split(MakePacketLine(P, LogIt), "\t");
  ASSERT_EQ(F.size(), 11u);
  EXPECT_EQ(F.back(), "PROTO_ARP");
  EXPECT_FALSE(LogIt);
}

// Whatever the frame, the line splits into eleven fields with a non-empty
// suffix: every EtherType, every IP protocol and ICMP type, every ARP
// operation and payload size up to the addresses.
TEST(PacketLine, EveryFrameGivesElevenFields) {
  auto Check = [](const TPacketInfo& P) {
    bool LogIt = false;
    const std::string Line = MakePacketLine(P, LogIt);
    const TSplitArray F = Split(Line, "\t");
    return F.size() == 11 && !F.back().empty() && Line.find('\n') == std::string::npos;
  };
  for (unsigned Type = 0; Type <= 0xFFFF; ++Type) ASSERT_TRUE(Check(Record(uint16_t(Type)))) << std::hex << Type;
  for (unsigned Protocol = 0; Protocol <= 255; ++Protocol)
    for (unsigned Icmp : {0u, 8u, 255u}) {
      TPacketInfo P = Record(0x0800, uint8_t(Protocol));
      P.IcmpMessageType = uint8_t(Icmp);
      ASSERT_TRUE(Check(P)) << Protocol << " " << Icmp;
    }
  for (unsigned Op = 0; Op <= 0xFFFF; ++Op) {
    TPacketInfo P = Record(0x0806);
    P.Payload = ArpPayload(uint16_t(Op), "10.0.0.1", "10.0.0.2");
    ASSERT_TRUE(Check(P)) << Op;
  }
  for (size_t Size = 0; Size <= 28; ++Size) {
    TPacketInfo P = Record(0x0806);
    P.Payload = ArpPayload(7, "10.0.0.1", "10.0.0.2").substr(0, Size);
    ASSERT_TRUE(Check(P)) << Size;
  }
}

TEST(PacketLine, IpProtocolsGiveTheirNamesAndSuffixes) {
  struct Case {
    uint8_t Protocol;
    uint8_t IcmpType;
    const char* Name;
    const char* Suffix;
  } Cases[] = {{6, 0, "TCP", "TCP-IP"},
               {17, 0, "UDP", "TCP-IP"},
               {1, 0, "ICMP", "0"},
               {1, 8, "ICMP", "8"},
               {99, 0, "99", "TCP-IP"}};
  for (const Case& C : Cases) {
    TPacketInfo P = Record(0x0800, C.Protocol);
    P.IcmpMessageType = C.IcmpType;
    P.SourceIp = Ip("10.1.2.3");
    P.DestIp = Ip("10.1.2.4");
    P.SourcePort = C.Protocol == 6 ? 1025 : 0;
    P.DestPort = C.Protocol == 6 ? 80 : 0;
    P.WireLength = 1514;
    bool LogIt = true;
    TSplitArray F = Split(MakePacketLine(P, LogIt), "\t");
    ASSERT_EQ(F.size(), 11u) << C.Name;
    EXPECT_EQ(F[3], "0800");
    EXPECT_EQ(F[4], "1514");
    EXPECT_EQ(F[5], "10.1.2.3");
    EXPECT_EQ(F[7], "10.1.2.4");
    EXPECT_EQ(F[9], C.Name);
    EXPECT_EQ(F[10], C.Suffix);
    EXPECT_FALSE(LogIt);
    if (C.Protocol == 6) {
      EXPECT_EQ(F[6], "1025");
      EXPECT_EQ(F[8], "80");
    }
  }
}

TEST(PacketLine, OtherEtherTypesCarryTheirNameAndAreLogged) {
  TPacketInfo P = Record(0x86DD);
  bool LogIt = false;
  std::string Line = MakePacketLine(P, LogIt);
  EXPECT_TRUE(LogIt);
  TSplitArray F = Split(Line, "\t");
  ASSERT_EQ(F.size(), 11u);
  EXPECT_EQ(F[3], "86DD");
  EXPECT_EQ(F[5], "0.0.0.0");
  EXPECT_EQ(F[6], "0");
  EXPECT_EQ(F[9], "IP");
  EXPECT_EQ(F[10], "PROTO_IPV6");
  EXPECT_EQ(Split(MakePacketLine(Record(0x0026), LogIt), "\t")[3], "0026");
  EXPECT_EQ(EtherTypeProtoName(0x0026), "PROTO_TIME");
  EXPECT_EQ(EtherTypeProtoName(0x900D), "PROTO_LOOP");
  EXPECT_EQ(EtherTypeProtoName(0x1234), "PROTO_???");
}

}  // namespace
