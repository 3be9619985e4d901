// Packet lines of captured frames as the capture component decodes them: the
// fragments of one large datagram and VLAN-tagged frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/PacketLine.h"
#include "capture/monpcap.h"
#include "app/Unit_Globals.h"
#include "tests/capture/FakeDriver.h"
#include "tests/capture/Frames.h"

namespace {

class CaptureLines : public testing::Test {
 protected:
  void SetUp() override {
    InstallFakeDriver();
    Mon = std::make_unique<TMonitorPcap>(nullptr);
    Mon->OnPacketEvent = [this](TObject*, TPacketInfo Info) {
      bool LogIt = false;
      Lines.push_back(MakePacketLine(std::move(Info), LogIt));
    };
  }
  void TearDown() override {
    Mon.reset();
    RemoveFakeDriver();
  }
  void Feed(const std::vector<uint8_t>& Frame) {
    bpf_hdr H{};
    H.bh_caplen = H.bh_datalen = uint32_t(Frame.size());
    H.bh_hdrlen = 20;
    Mon->HandleFrame(&H, Frame.data());
  }
  // Fields 4 to 11 (the time and the MACs left out); the whole line is printed.
  std::string Tail(const std::string& Line) {
    TSplitArray F = Split(Line, "\t");
    EXPECT_EQ(F.size(), 11u) << Line;
    std::string T, All;
    for (size_t I = 3; I < F.size(); ++I) T += (I > 3 ? " | " : "") + F[I];
    for (size_t I = 0; I < F.size(); ++I) All += (I > 0 ? " | " : "") + F[I];
    std::printf("[ line     ] %s\n", All.c_str());
    return T;
  }

  std::unique_ptr<TMonitorPcap> Mon;
  std::vector<std::string> Lines;
};

TEST_F(CaptureLines, FragmentsOfOneDatagramMakeNoInventedPorts) {
  frames::TFrameSpec S;
  S.SrcIp = "10.0.0.1";
  S.DstIp = "10.0.0.2";
  std::vector<uint8_t> Payload(3072);
  for (size_t I = 0; I < Payload.size(); ++I) Payload[I] = uint8_t(I);
  for (const auto& F : frames::IpFragments(S, 17, frames::UdpDatagram(40000, 5000, Payload), 1500)) Feed(F);
  ASSERT_EQ(Lines.size(), 3u);
  EXPECT_EQ(Tail(Lines[0]), "0800 | 1514 | 10.0.0.1 | 40000 | 10.0.0.2 | 5000 | UDP | TCP-IP");
  EXPECT_EQ(Tail(Lines[1]), "0800 | 1514 | 10.0.0.1 | 0 | 10.0.0.2 | 0 | UDP | TCP-IP");
  EXPECT_EQ(Tail(Lines[2]), "0800 | 154 | 10.0.0.1 | 0 | 10.0.0.2 | 0 | UDP | TCP-IP");
}

// With non-IP frames ignored, a tagged IPv4 frame still makes its line, with
// the inner EtherType and the addresses behind the tags.
TEST_F(CaptureLines, TaggedFramesShowTheInnerTypeAndAddresses) {
  Mon->SetIgnoreNonIP(true);
  frames::TFrameSpec S;
  S.Payload = {1, 2, 3, 4};
  Feed(frames::Tagged(frames::TcpFrame(S), {{0x8100, 10}}));
  Feed(frames::Tagged(frames::UdpFrame(S), {{0x88A8, 100}, {0x8100, 10}}));
  Mon->SetIgnoreNonIP(false);
  Feed(frames::Tagged(frames::ArpFrame(S), {{0x8100, 10}}));
  ASSERT_EQ(Lines.size(), 3u);
  EXPECT_EQ(Tail(Lines[0]), "0800 | 62 | 192.168.1.5 | 1234 | 10.0.0.1 | 80 | TCP | TCP-IP");
  EXPECT_EQ(Tail(Lines[1]), "0800 | 54 | 192.168.1.5 | 1234 | 10.0.0.1 | 80 | UDP | TCP-IP");
  EXPECT_EQ(Tail(Lines[2]), "0806 | 64 | 192.168.1.5 | 0 | 10.0.0.1 | 0 | IP | who-has");
}

}  // namespace
