// Frame decoding, filters, counters and the text helpers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeDriver.h"
#include "Frames.h"
#include "capture/capclasses.h"
#include "capture/capsubs.h"
#include "capture/monpcap.h"

using frames::Ip;
using frames::TFrameSpec;

namespace {

// A monitor on the fake driver whose frames are handed to HandleFrame directly.
class Decode : public testing::Test {
 protected:
  void SetUp() override {
    InstallFakeDriver();
    Mon = std::make_unique<TMonitorPcap>(nullptr);
    Mon->OnPacketEvent = [this](TObject* sender, TPacketInfo info) {
      EXPECT_EQ(sender, Mon.get());
      Events.push_back(std::move(info));
    };
  }
  void TearDown() override {
    Mon.reset();
    RemoveFakeDriver();
  }

  // Decodes one frame; caplen defaults to the whole frame, datalen to caplen.
  void Feed(const std::vector<uint8_t>& frame, int64_t caplen = -1, int64_t datalen = -1, uint32_t sec = 0,
            uint32_t usec = 0) {
    bpf_hdr h{};
    h.bh_tstamp.tv_sec = sec;
    h.bh_tstamp.tv_usec = usec;
    h.bh_caplen = uint32_t(caplen < 0 ? frame.size() : size_t(caplen));
    h.bh_datalen = uint32_t(datalen < 0 ? frame.size() : size_t(datalen));
    h.bh_hdrlen = 20;
    // Only the captured bytes exist, so that a sanitizer sees any over-read.
    std::vector<uint8_t> captured(frame.begin(), frame.begin() + h.bh_caplen);
    Mon->HandleFrame(&h, captured.data());
  }

  const TPacketInfo& Last() const { return Events.back(); }

  std::unique_ptr<TMonitorPcap> Mon;
  std::vector<TPacketInfo> Events;
};

TEST_F(Decode, TcpAddressesPortsControlWordAndPayload) {
  TFrameSpec s;
  s.Payload = {'G', 'E', 'T', ' '};
  Feed(frames::TcpFrame(s), -1, -1, 86400, 500000);
  ASSERT_EQ(Events.size(), 1u);
  const TPacketInfo& p = Last();
  EXPECT_EQ(p.WireLength, 58);
  EXPECT_EQ(p.EtherType, 0x0800);
  EXPECT_EQ(MacAddrToText(p.SourceMac), "02-00-00-00-00-01");
  EXPECT_EQ(MacAddrToText(p.DestMac), "02-00-00-00-00-02");
  EXPECT_EQ(IPAddrToText(p.SourceIp), "192.168.1.5");
  EXPECT_EQ(IPAddrToText(p.DestIp), "10.0.0.1");
  EXPECT_EQ(p.IpProtocol, 6);
  EXPECT_EQ(p.SourcePort, 1234);
  EXPECT_EQ(p.DestPort, 80);
  EXPECT_EQ(p.TcpControlWord, 0x5018);
  EXPECT_EQ(p.PayloadLength, 4);
  EXPECT_EQ(p.Payload, "GET ");
  EXPECT_FALSE(p.FromLocalAdapter);
  EXPECT_DOUBLE_EQ(p.CaptureTime, 25570.0 + 0.5 / 86400 - LocalZoneBias() / 1440.0);
  EXPECT_EQ(Mon->TotRecvPackets(), 1);
  EXPECT_EQ(Mon->TotRecvBytes(), 58);
  EXPECT_EQ(Mon->TotSendPackets(), 0);
}

TEST_F(Decode, UdpPayloadLengthComesFromTheIpLengthNotThePadding) {
  TFrameSpec s;
  s.Payload = {1, 2, 3, 4};
  s.PadTo = 60;
  Feed(frames::UdpFrame(s));
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_EQ(Last().WireLength, 60);
  EXPECT_EQ(Last().PayloadLength, 4);
  EXPECT_EQ(Last().Payload, std::string("\1\2\3\4", 4));
  // 18 payload bytes exactly fill a minimum frame.
  s.Payload.assign(18, 9);
  Feed(frames::UdpFrame(s));
  EXPECT_EQ(Last().WireLength, 60);
  EXPECT_EQ(Last().PayloadLength, 18);
  // A zero IP length (offloaded frames) gives a negative length and no payload.
  s.TotalLength = 0;
  Feed(frames::UdpFrame(s));
  EXPECT_EQ(Last().PayloadLength, -28);
  EXPECT_TRUE(Last().Payload.empty());
}

TEST_F(Decode, IcmpTypeAndPayloadFromTheIcmpHeader) {
  TFrameSpec s;
  s.Payload = {'p', 'i', 'n', 'g'};
  Feed(frames::IcmpFrame(s, 8));
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_EQ(Last().IcmpMessageType, 8);
  EXPECT_EQ(Last().PayloadLength, 12);
  EXPECT_EQ(Last().Payload[0], 8);
  EXPECT_EQ(Last().SourcePort, 0);
  EXPECT_EQ(IpProtocolToText(Last().IpProtocol), "ICMP");
}

TEST_F(Decode, NonIpFramesKeepTheirBytesEvenWithoutData) {
  TFrameSpec s;
  Mon->SetIgnoreData(true);
  const std::vector<uint8_t> arp = frames::ArpFrame(s);
  Feed(arp);
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_EQ(Last().EtherType, 0x0806);
  EXPECT_EQ(Last().PayloadLength, 46);
  EXPECT_EQ(Last().Payload, std::string(arp.begin() + 14, arp.end()));
  EXPECT_EQ(Last().SourceIp, 0u);
  EXPECT_EQ(Last().SourcePort, 0);
  EXPECT_EQ(Last().IpProtocol, 0);

  s.Payload = {5, 6, 7};
  Feed(frames::Ipv6Frame(s));
  EXPECT_EQ(Last().EtherType, 0x86DD);
  EXPECT_EQ(Last().PayloadLength, 51);
  EXPECT_EQ(Last().DestPort, 0);

  // IPv4 payloads are not kept with IgnoreData.
  Feed(frames::UdpFrame(s));
  EXPECT_EQ(Last().PayloadLength, 3);
  EXPECT_TRUE(Last().Payload.empty());

  // A bare 14-byte frame is counted but fires nothing.
  const size_t before = Events.size();
  Feed(std::vector<uint8_t>(arp.begin(), arp.begin() + 14));
  EXPECT_EQ(Events.size(), before);
  EXPECT_EQ(Mon->TotRecvPackets(), 4);

  Mon->SetIgnoreNonIP(true);
  Feed(arp);
  EXPECT_EQ(Events.size(), before);
  EXPECT_EQ(Mon->TotRecvPackets(), 4);
}

TEST_F(Decode, FramesWithoutWireLengthOrEthernetHeaderAreDropped) {
  const std::vector<uint8_t> f = frames::TcpFrame(TFrameSpec{});
  Feed(f, -1, 0);
  Feed(f, 13, 60);
  EXPECT_TRUE(Events.empty());
  EXPECT_EQ(Mon->TotRecvPackets(), 0);
  EXPECT_EQ(Mon->TotRecvBytes(), 0);
}

TEST_F(Decode, IgnoreLanDropsTrafficInsideTheMaskedSubnet) {
  Mon->SetIgnoreLAN(true);
  Mon->SetAddrMask(" 255.255.255.0 ");
  struct Case {
    const char* Src;
    const char* Dst;
    bool Kept;
  } cases[] = {{"192.168.1.5", "192.168.1.9", false},
               {"192.168.1.5", "10.0.0.1", true},
               {"10.0.0.1", "0.0.0.0", false},
               {"192.168.2.5", "192.168.1.5", true}};
  for (const Case& c : cases) {
    TFrameSpec s;
    s.SrcIp = c.Src;
    s.DstIp = c.Dst;
    const size_t before = Events.size();
    Feed(frames::UdpFrame(s));
    EXPECT_EQ(Events.size() - before, c.Kept ? 1u : 0u) << c.Src << " -> " << c.Dst;
  }
  EXPECT_EQ(Mon->TotRecvPackets(), 2);  // dropped frames are not counted
  // An empty or invalid mask disables the rule.
  for (const char* mask : {"", "x", "0.1.2.3"}) {
    Mon->SetAddrMask(mask);
    TFrameSpec s;
    s.DstIp = "0.0.0.0";
    const size_t before = Events.size();
    Feed(frames::UdpFrame(s));
    EXPECT_EQ(Events.size(), before + 1) << mask;
  }
}

TEST_F(Decode, IgnoreListDropsEitherEnd) {
  Mon->AddIgnoreIP(Ip("10.0.0.1"));
  Mon->AddIgnoreIP(Ip("200.1.1.1"));  // above 2^31 in memory order on some ends
  Mon->AddIgnoreIP(Ip("1.2.3.4"));
  EXPECT_EQ(Mon->IgnoreIPCount(), 3);
  TFrameSpec s;
  Feed(frames::TcpFrame(s));  // to 10.0.0.1
  s.DstIp = "8.8.8.8";
  s.SrcIp = "200.1.1.1";
  Feed(frames::TcpFrame(s));
  EXPECT_TRUE(Events.empty());
  s.SrcIp = "200.1.1.2";
  Feed(frames::TcpFrame(s));
  EXPECT_EQ(Events.size(), 1u);
  Mon->ClearIgnoreIPs();
  s.DstIp = "10.0.0.1";
  Feed(frames::TcpFrame(s));
  EXPECT_EQ(Events.size(), 2u);
}

TEST_F(Decode, ShortIpHeaderHasNoTransportFields) {
  for (uint8_t ihl : {0, 1, 4}) {
    TFrameSpec s;
    s.Ihl = ihl;
    s.Payload = {1, 2, 3, 4, 5, 6, 7, 8};
    Feed(frames::TcpFrame(s));
    EXPECT_EQ(Last().SourcePort, 0) << int(ihl);
    EXPECT_EQ(Last().TcpControlWord, 0) << int(ihl);
    EXPECT_EQ(Last().PayloadLength, 0) << int(ihl);
    EXPECT_TRUE(Last().Payload.empty());
  }
  // Options are skipped: ports sit after the longer header.
  TFrameSpec s;
  s.Ihl = 15;
  Feed(frames::UdpFrame(s));
  EXPECT_EQ(Last().DestPort, 80);
}

// One UDP datagram of 3,072 payload bytes over a 1,500-byte MTU: three
// fragments. Only the first holds the UDP header; the later ones carry data
// from the end of the IP header on, and no ports may be read from it.
TEST_F(Decode, LaterFragmentsHaveNoTransportHeader) {
  TFrameSpec s;
  std::vector<uint8_t> payload(3072);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i);
  const auto parts = frames::IpFragments(s, 17, frames::UdpDatagram(40000, 5000, payload), 1500);
  ASSERT_EQ(parts.size(), 3u);
  for (const auto& f : parts) Feed(f);
  ASSERT_EQ(Events.size(), 3u);
  const int ports[3][2] = {{40000, 5000}, {0, 0}, {0, 0}};
  const int lengths[3] = {1472, 1480, 120};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Events[i].SourcePort, ports[i][0]);
    EXPECT_EQ(Events[i].DestPort, ports[i][1]);
    EXPECT_EQ(Events[i].PayloadLength, lengths[i]);
    EXPECT_EQ(Events[i].Payload.size(), size_t(lengths[i]));
    EXPECT_EQ(Events[i].IpProtocol, 17);
  }
  // The data of the later fragments follows on from the first one's.
  EXPECT_EQ(Events[1].Payload.substr(0, 4), "\xC0\xC1\xC2\xC3");  // datagram byte 1480 on
  EXPECT_EQ(Events[2].Payload.substr(0, 4), "\x88\x89\x8A\x8B");  // byte 2960 on
  EXPECT_EQ(Mon->TotRecvPackets(), 3);

  // TCP and ICMP alike: no ports, control word or message type from data.
  Events.clear();
  std::vector<uint8_t> data(100, 0x11);
  for (const uint8_t proto : {uint8_t(6), uint8_t(1)}) {
    const auto tail = frames::IpFragments(s, proto, data, 68);  // 48 data bytes a fragment
    ASSERT_EQ(tail.size(), 3u);
    Feed(tail[1]);
    const TPacketInfo& p = Last();
    EXPECT_EQ(p.SourcePort, 0);
    EXPECT_EQ(p.DestPort, 0);
    EXPECT_EQ(p.TcpControlWord, 0);
    EXPECT_EQ(p.IcmpMessageType, 0);
    EXPECT_EQ(p.PayloadLength, 48);
    // The first fragment (offset 0, more to come) still has its header.
    Feed(tail[0]);
    // (its TCP header length read from the 0x11 bytes: 4)
    EXPECT_EQ(Last().PayloadLength, proto == 1 ? 48 : 44);
    EXPECT_EQ(Last().SourcePort, proto == 1 ? 0 : 0x1111);
  }
}

// 802.1Q and 802.1ad tags are skipped: the record holds the inner EtherType
// and the addresses, ports and payload behind the tags.
TEST_F(Decode, VlanTagsAreSkippedUpToTwo) {
  TFrameSpec s;
  s.Payload = {'a', 'b', 'c', 'd'};
  const std::vector<uint8_t> udp = frames::UdpFrame(s);
  Mon->SetIgnoreNonIP(true);
  for (const auto& tags : std::vector<std::vector<std::pair<uint16_t, uint16_t>>>{
           {{0x8100, 10}}, {{0x88A8, 100}, {0x8100, 10}}, {{0x8100, 100}, {0x8100, 10}}}) {
    Events.clear();
    const std::vector<uint8_t> f = frames::Tagged(udp, tags);
    Feed(f);
    ASSERT_EQ(Events.size(), 1u) << tags.size();
    const TPacketInfo& p = Last();
    EXPECT_EQ(p.EtherType, 0x0800);
    EXPECT_EQ(p.WireLength, int(f.size()));
    EXPECT_EQ(IPAddrToText(p.SourceIp), "192.168.1.5");
    EXPECT_EQ(IPAddrToText(p.DestIp), "10.0.0.1");
    EXPECT_EQ(p.SourcePort, 1234);
    EXPECT_EQ(p.DestPort, 80);
    EXPECT_EQ(p.PayloadLength, 4);
    EXPECT_EQ(p.Payload, "abcd");
  }
  // Padded to the minimum frame: the IP length still wins over the padding.
  Events.clear();
  TFrameSpec padded = s;
  padded.PadTo = 60;
  Feed(frames::Tagged(frames::UdpFrame(padded), {{0x8100, 10}}));
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_EQ(Last().PayloadLength, 4);

  // A tagged ARP frame: its payload starts at the ARP packet.
  Mon->SetIgnoreNonIP(false);
  Events.clear();
  Feed(frames::Tagged(frames::ArpFrame(s), {{0x8100, 10}}));
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_EQ(Last().EtherType, 0x0806);
  EXPECT_EQ(Last().PayloadLength, 60 + 4 - 18);
  ASSERT_GE(Last().Payload.size(), 28u);
  EXPECT_EQ(Last().Payload.substr(0, 2), std::string("\0\1", 2));

  // A third tag is not skipped: the frame is not IPv4 and carries the tag type.
  Events.clear();
  Feed(frames::Tagged(udp, {{0x8100, 1}, {0x8100, 2}, {0x8100, 3}}));
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_EQ(Last().EtherType, 0x8100);
  EXPECT_EQ(Last().SourceIp, 0u);
}

// Every prefix of every kind of frame: no read beyond the captured bytes,
// and every field is either what the whole frame gives or still zero.
TEST_F(Decode, TruncatedFramesYieldOnlyCapturedFields) {
  TFrameSpec s;
  s.Payload.assign(40, 0x5A);
  TFrameSpec opt = s;
  opt.Ihl = 15;
  const std::vector<std::vector<uint8_t>> all = {frames::TcpFrame(s),
                                                 frames::UdpFrame(s),
                                                 frames::IcmpFrame(s, 0),
                                                 frames::ArpFrame(s),
                                                 frames::Ipv6Frame(s),
                                                 frames::TcpFrame(opt),
                                                 frames::Tagged(frames::UdpFrame(s), {{0x88A8, 2}, {0x8100, 3}})};
  for (const auto& f : all) {
    Events.clear();
    Feed(f);
    ASSERT_EQ(Events.size(), 1u);
    const TPacketInfo whole = Last();
    for (size_t cap = 0; cap < f.size(); ++cap) {
      Events.clear();
      Feed(f, int64_t(cap), int64_t(f.size()));
      if (cap < 14) {
        EXPECT_TRUE(Events.empty());
        continue;
      }
      ASSERT_EQ(Events.size(), 1u) << cap;
      const TPacketInfo& p = Last();
      EXPECT_EQ(p.WireLength, whole.WireLength);
      if (p.EtherType != whole.EtherType) {
        // A tag cut short is not skipped: the frame is one of the tag's type.
        EXPECT_TRUE(p.EtherType == 0x88A8 || p.EtherType == 0x8100) << cap;
        EXPECT_EQ(p.SourceIp, 0u);
        continue;
      }
      EXPECT_TRUE(p.SourceIp == whole.SourceIp || p.SourceIp == 0) << cap;
      EXPECT_TRUE(p.DestIp == whole.DestIp || p.DestIp == 0) << cap;
      EXPECT_TRUE(p.IpProtocol == whole.IpProtocol || p.IpProtocol == 0) << cap;
      EXPECT_TRUE(p.SourcePort == whole.SourcePort || p.SourcePort == 0) << cap;
      EXPECT_TRUE(p.DestPort == whole.DestPort || p.DestPort == 0) << cap;
      EXPECT_TRUE(p.TcpControlWord == whole.TcpControlWord || p.TcpControlWord == 0) << cap;
      EXPECT_LE(p.Payload.size(), cap);
      EXPECT_EQ(p.Payload, whole.Payload.substr(0, p.Payload.size())) << cap;
    }
  }
}

TEST(CaptureText, AddressTimeAndProtocolTexts) {
  EXPECT_EQ(IPAddrToText(Ip("192.168.1.20")), "192.168.1.20");
  EXPECT_EQ(IPAddrToText(0), "0.0.0.0");
  EXPECT_EQ(IPAddrToText(0xFFFFFFFFu), "255.255.255.255");
  const uint8_t mac[6] = {0x00, 0x0C, 0x29, 0x4F, 0xA1, 0x0B};
  EXPECT_EQ(MacAddrToText(mac), "00-0C-29-4F-A1-0B");
  EXPECT_EQ(TimeToTextMs(25569 + (13 * 3600 + 5 * 60 + 9.123) / 86400), "13:05:09:123");
  EXPECT_EQ(TimeToTextMs(25569.0), "00:00:00:000");
  EXPECT_EQ(TimeToTextMs(25569 + 86399.9996 / 86400), "00:00:00:000");
  const std::pair<int, const char*> names[] = {{0, "IP"},      {1, "ICMP"}, {2, "IGMP"}, {6, "TCP"}, {17, "UDP"},
                                               {80, "ISO-IP"}, {47, "GRE"}, {50, "ESP"}, {99, "99"}, {255, "255"}};
  for (const auto& [n, text] : names) EXPECT_EQ(IpProtocolToText(n), text);
  EXPECT_DOUBLE_EQ(BpfTimeToDateTime(bpf_timeval{0, 0}), 25569.0);
  EXPECT_DOUBLE_EQ(BpfTimeToDateTime(bpf_timeval{86400, 500000}), 25570.0 + 0.5 / 86400);
}

TEST(CaptureText, DottedAddressParser) {
  struct Case {
    const char* Text;
    bool Valid;
    const char* Value;
  } cases[] = {
      {"0.0.0.0", true, "0.0.0.0"},
      {"1.2.3.4", true, "1.2.3.4"},
      {"10..2.3", true, "10.0.2.3"},
      {"255.255.255.0", true, "255.255.255.0"},
      {"0.1.2.3", false, ""},
      {"1.2.3", false, ""},
      {"1.2.3.", false, ""},
      {"256.1.1.1", false, ""},
      {"1.2.3.256", false, ""},
      {"4294967297.1.1.1", false, ""},
      {"1.2.3.4.5", false, ""},
      {"1.2.3.x", false, ""},
      {" 1.2.3.4", false, ""},
      {"1.2.3.-4", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    uint32_t a = 12345;
    EXPECT_EQ(StrToIPAddr(c.Text, a), c.Valid) << c.Text;
    EXPECT_EQ(TextToIPAddr(c.Text), c.Valid ? Ip(c.Value) : 0u) << c.Text;
    if (c.Valid) {
      EXPECT_EQ(IPAddrToText(a), c.Value);
    }
  }
}

TEST(CaptureFindList, SortedInsertFindAndDuplicates) {
  TFindList l;
  l.SetSorted(true);
  for (uint32_t v : {5u, 1u, 3u, 0x80000000u}) l.AddSorted(IPAddrToItem(v), &CompareIPAddr);
  ASSERT_EQ(l.Count(), 4);
  EXPECT_EQ(ItemToIPAddr(l.Items(0)), 1u);
  EXPECT_EQ(ItemToIPAddr(l.Items(1)), 3u);
  EXPECT_EQ(ItemToIPAddr(l.Items(2)), 5u);
  EXPECT_EQ(ItemToIPAddr(l.Items(3)), 0x80000000u);  // unsigned order
  EXPECT_EQ(l.AddSorted(IPAddrToItem(3), &CompareIPAddr), 1);
  EXPECT_EQ(l.Count(), 4);
  int index = -1;
  EXPECT_FALSE(l.Find(IPAddrToItem(4), &CompareIPAddr, index));
  EXPECT_EQ(index, 2);
  EXPECT_TRUE(l.Find(IPAddrToItem(0x80000000u), &CompareIPAddr, index));
  EXPECT_EQ(index, 3);
  EXPECT_FALSE(l.Find(IPAddrToItem(9), &CompareIPAddr, index));
  EXPECT_EQ(index, 3);

  TFindList empty;
  index = 7;
  EXPECT_FALSE(empty.Find(IPAddrToItem(1), &CompareIPAddr, index));
  EXPECT_EQ(index, 0);
  // Unsorted lists append, duplicates included.
  empty.AddSorted(IPAddrToItem(9), &CompareIPAddr);
  EXPECT_EQ(empty.AddSorted(IPAddrToItem(1), &CompareIPAddr), 1);
  EXPECT_EQ(empty.AddSorted(IPAddrToItem(1), &CompareIPAddr), 2);
  EXPECT_EQ(l.ClassName(), "TFindList");
}

}  // namespace
