// Tests of the traffic scene: host and block cubes, profile ranges, pipes and their labels,
// filters, lifetime, bandwidth and expiry, test commands, the pipe table.
#include "Source/Materials/GLGraphics.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLTexture.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "app/MyCylinder.h"
#include "app/SnifferObject.h"
#include "app/TrafficScene.h"
#include "app/Unit2_3D.h"
#include "app/Unit_Globals.h"
#include "platform/Graphics.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <fstream>
#include <random>
#include <vector>

namespace {
class TFakeHost : public TViewHost {
 public:
  bool IgnoreARP = false, IgnoreICMP = false, IgnoreIP = false, IgnoreTimeOut = false, Hide = false;
  std::string Cubes, Pipes, Groups, Total;
  double Chart[20] = {};
  bool IgnoreARPChecked() const override { return IgnoreARP; }
  bool IgnoreICMPChecked() const override { return IgnoreICMP; }
  bool IgnoreIPChecked() const override { return IgnoreIP; }
  bool IgnoreTimeOutChecked() const override { return IgnoreTimeOut; }
  bool HideBelowThresholdChecked() const override { return Hide; }
  bool BufferPanelVisible() const override { return false; }
  void ShowBufferPanel() override {}
  void SetBufferLabel(const std::string&) override {}
  void SetCountCaptions(const std::string& c, const std::string& p, const std::string& g) override {
    Cubes = c;
    Pipes = p;
    Groups = g;
  }
  void SetTotalBandwidthCaption(const std::string& t) override { Total = t; }
  void SetChartPoint(int i, double v) override { Chart[i] = v; }
  QPlainTextEdit* OBJinfoMemo() override { return nullptr; }
  QLabel* BandwidthLabel() override { return nullptr; }
  void ShowSelection(const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
                     const std::string&) override {}
};

std::string Line(const std::string& src, const std::string& dst, const std::string& type = "0800",
                 const std::string& proto = "TCP", const std::string& sport = "1025", const std::string& dport = "80",
                 int length = 100) {
  return "t\tm1\tm2\t" + type + "\t" + std::to_string(length) + "\t" + src + "\t" + sport + "\t" + dst + "\t" + dport +
         "\t" + proto + "\tx";
}
}  // namespace

class TrafficSceneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(FDir.path().toStdString());
    SetPktDataMemo(&FLog);
    ResetLogLimits();  // what earlier tests logged does not hold back these
    pcs = FScene.Objects()->AddNewChild<TGLDummyCube>();
    groups = FScene.Objects()->AddNewChild<TGLDummyCube>();
    connections = FScene.Objects()->AddNewChild<TGLDummyCube>();
    traffic = std::make_unique<TTrafficScene>(pcs, groups, connections);
    traffic->Host = &host;
    traffic->PerfFrequency = 1000;
    traffic->Now = [this] { return now; };
    PipeThreshold = 1;
    TimeToLive = 15;
  }
  void TearDown() override {
    traffic.reset();
    SetPktDataMemo(nullptr);
    SetProgramFolder("");
  }
  void Profiles(const std::string& text) {
    std::ofstream(FDir.path().toStdString() + "/SnifferPCsInfo.ini") << text;
    traffic->LoadPCinfoToArry();
  }
  SnifferObject* Cube(TGLDummyCube* parent, const std::string& name) {
    return dynamic_cast<SnifferObject*>(parent->FindChildByName(name, true));
  }
  MyCylinder* Pipe(int i) { return dynamic_cast<MyCylinder*>(connections->Children(i)); }
  std::string Log() const { return FLog.toPlainText().toStdString(); }

  QTemporaryDir FDir;
  QPlainTextEdit FLog;
  TGLSceneGraph FScene{nullptr};
  TGLDummyCube *pcs = nullptr, *groups = nullptr, *connections = nullptr;
  TFakeHost host;
  std::unique_ptr<TTrafficScene> traffic;
  int64_t now = 1000;
};

TEST_F(TrafficSceneTest, UnmatchedHostsShareTheirBlockCube) {
  traffic->ProcessLine(Line("10.1.2.3", "255.255.255.255", "0806", "ARP"));
  traffic->ProcessLine(Line("10.1.2.4", "255.255.255.255", "0806", "ARP"));
  ASSERT_EQ(pcs->Count(), 1);
  SnifferObject* c = Cube(pcs, "IP10_1_2");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->ClassName(), "SnifferObject");
  EXPECT_EQ(c->ProfileName, "IP167838211");
  EXPECT_EQ(c->ByteTotal, 200);
  EXPECT_EQ(c->InfoLines.Count(), 2);
  EXPECT_EQ(c->LastEtherType, "0806");
  EXPECT_EQ(connections->Count(), 0);  // broadcasts make no pipe
  EXPECT_FLOAT_EQ(c->Material()->FrontProperties()->Diffuse()->Alpha(), 0.75f);
}

TEST_F(TrafficSceneTest, ProfileRangesAndGroups) {
  Profiles(
      "[Default]\n[Hosts]\nIPmin=10.1.2.0\nIPmax=10.1.2.255\nX=4\nY=5\nZ=6\n"
      "[Office]\nIPmin=172.16.0.0\nIPmax=172.16.255.255\nShowAsOneCube=1\n");
  traffic->ProcessLine(Line("10.1.2.3", "255.255.255.255", "IP"));
  SnifferObject* c = Cube(pcs, "IP10_1_2_3");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->ProfileName, "Hosts");
  EXPECT_FLOAT_EQ(c->Position()->X(), 4);
  EXPECT_FLOAT_EQ(c->Position()->Z(), 6);

  traffic->ProcessLine(Line("172.16.9.9", "172.16.1.1", "IP"));
  ASSERT_EQ(groups->Count(), 1);
  SnifferObject* g = Cube(groups, "IP172_16_9_9");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->ByteTotal, 200);  // the second address is charged to the group cube
  ASSERT_EQ(connections->Count(), 1);
  EXPECT_EQ(Pipe(0)->Height(), 0.0f);  // a self-pipe of one cube is harmless

  // An existing block cube wins over the range match.
  traffic->ProcessLine(Line("10.9.9.1", "255.255.255.255", "IP"));
  traffic->ProcessLine(Line("10.9.9.2", "255.255.255.255", "IP"));
  EXPECT_NE(Cube(pcs, "IP10_9_9"), nullptr);
}

TEST_F(TrafficSceneTest, PipesJoinBothDirectionsGrowAndShowAtTheThreshold) {
  host.Hide = true;
  PipeThreshold = 5;
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
  ASSERT_EQ(connections->Count(), 1);
  MyCylinder* p = Pipe(0);
  const uint32_t a = IPToNumber("10.0.0.1"), b = IPToNumber("10.0.1.1");
  EXPECT_EQ(p->Name(), "MYC" + std::to_string(a) + std::to_string(b));
  EXPECT_EQ(p->PacketCount, 0);
  EXPECT_EQ(p->InfoLines.Count(), 0);
  EXPECT_FALSE(p->Visible());
  EXPECT_FLOAT_EQ(p->TopRadius(), 0.09f);
  EXPECT_EQ(p->Slices(), 4);
  EXPECT_EQ(p->SrcObject(), Cube(pcs, "IP10_0_0"));

  traffic->ProcessLine(Line("10.0.1.1", "10.0.0.1", "0800", "TCP", "80", "1025"));
  EXPECT_EQ(connections->Count(), 1);
  EXPECT_EQ(p->PacketCount, 1);
  for (int i = 0; i < 3; ++i) traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
  EXPECT_FALSE(p->Visible());
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
  EXPECT_TRUE(p->Visible());
  for (int i = 0; i < 20; ++i) traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
  EXPECT_GE(p->TopRadius(), 0.45f);
  EXPECT_LT(p->TopRadius(), 0.495f);
  EXPECT_EQ(p->ByteTotal, 2600);

  traffic->ProcessLine(Line("10.0.0.1", "10.0.2.1", "0806", "ARP"));
  traffic->ProcessLine(Line("10.0.0.1", "10.0.3.1", "0800", "ICMP"));
  traffic->ProcessLine(Line("10.0.0.1", "10.0.4.1", "86dd", "UDP"));
  ASSERT_EQ(connections->Count(), 4);
  EXPECT_TRUE(Pipe(1)->Visible());
  EXPECT_FLOAT_EQ(Pipe(1)->TopRadius(), 0.2f);
  EXPECT_TRUE(Pipe(2)->Visible());
  EXPECT_FLOAT_EQ(Pipe(2)->TopRadius(), 0.2f);
  EXPECT_FLOAT_EQ(Pipe(3)->TopRadius(), 0.5f);
  EXPECT_EQ(Pipe(3)->Material()->TextureEx()->Items(0)->Texture()->Enabled(), false);  // no label
}

TEST_F(TrafficSceneTest, PipesWithTheSameNameTextStayApart) {
  // Both pairs give the name text "MYC1677721611234567890".
  traffic->ProcessLine(Line("10.0.0.1", "73.150.2.210"));
  traffic->ProcessLine(Line("100.0.0.11", "13.251.56.210"));
  ASSERT_EQ(connections->Count(), 2);
  EXPECT_EQ(Pipe(1)->Name(), Pipe(0)->Name() + "_2");
  EXPECT_EQ(Pipe(0)->PacketCount, 0);
}

TEST_F(TrafficSceneTest, FiltersAndInfoLineCaps) {
  host.IgnoreIP = true;
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1", "0800", "ICMP"));
  EXPECT_EQ(pcs->Count(), 0);
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1", "0806", "ARP"));
  EXPECT_EQ(pcs->Count(), 2);
  host.IgnoreIP = false;
  auto numbered = [](int i) { return Line("10.0.0.1", "10.0.1.1", "0800", "TCP", "1025", "80", 1000 + i); };
  for (int i = 0; i < 1100; ++i) traffic->ProcessLine(numbered(i));
  // The oldest lines went, the rest keep their order.
  const TInfoLines& cubeLines = Cube(pcs, "IP10_0_0")->InfoLines;
  ASSERT_EQ(cubeLines.Count(), 1000);
  EXPECT_EQ(cubeLines.Strings(0), InfoLineOf(numbered(100)));
  EXPECT_EQ(cubeLines.Strings(999), InfoLineOf(numbered(1099)));
  const TInfoLines& pipeLines = Pipe(0)->InfoLines;
  ASSERT_EQ(pipeLines.Count(), 501);
  EXPECT_EQ(pipeLines.Strings(0), InfoLineOf(numbered(599)));
  EXPECT_EQ(pipeLines.Strings(500), InfoLineOf(numbered(1099)));
  EXPECT_THROW(pipeLines.Strings(501), std::out_of_range);
  // The cube and the pipe keep one copy of a packet's line.
  EXPECT_EQ(cubeLines.Strings(999).data(), pipeLines.Strings(500).data());

  // Long lines: the byte bound keeps fewer, the newest last.
  const std::string suffix(65536, 'S');
  auto longLine = [&](int i) { return numbered(i) + suffix; };
  for (int i = 0; i < 1000; ++i) traffic->ProcessLine(longLine(i));
  EXPECT_LE(cubeLines.Bytes(), SnifferObject::MaxInfoBytes);
  EXPECT_LE(pipeLines.Bytes(), MyCylinder::MaxInfoBytes);
  EXPECT_GT(cubeLines.Bytes(), SnifferObject::MaxInfoBytes - 2 * InfoLineOf(longLine(999)).size());
  EXPECT_EQ(cubeLines.Strings(cubeLines.Count() - 1), InfoLineOf(longLine(999)));
  EXPECT_EQ(pipeLines.Strings(pipeLines.Count() - 1), InfoLineOf(longLine(999)));
  size_t held = 0;
  for (int i = 0; i < cubeLines.Count(); ++i) held += cubeLines.Strings(i).size();
  EXPECT_EQ(held, cubeLines.Bytes());
  // A single line above the bound is still kept, alone.
  TInfoLines one(10, 8);
  one.Add(std::string_view("0123456789"));
  one.Add(std::string_view("abc"));
  one.Add(std::string_view("defghijkl"));
  ASSERT_EQ(one.Count(), 1);
  EXPECT_EQ(one.Strings(0), "defghijkl");
}

TEST_F(TrafficSceneTest, CubesFoundByAddressAreTheCubesFoundByName) {
  EXPECT_TRUE([] {
    uint32_t n;
    return TCubeCache::PlainAddress("10.0.255.1", n) && n == 0x0A00FF01u;
  }());
  for (const char* text : {"010.0.0.1", "10.0.0", "10.0.0.1.", "256.0.0.1", "1.2.3.4 ", "1..2.3", "1.2.3.1000", ""}) {
    uint32_t n;
    EXPECT_FALSE(TCubeCache::PlainAddress(text, n)) << text;
  }
  // Groups, exact hosts and blocks in one /16; addresses come, expire and come back.
  Profiles(
      "[Default]\n[Hosts]\nIPmin=10.1.2.0\nIPmax=10.1.2.15\n"
      "[Office]\nIPmin=10.1.3.0\nIPmax=10.1.3.7\nShowAsOneCube=1\n");
  std::mt19937 rnd(11);
  std::vector<std::string> seen;
  auto address = [&] {
    return "10.1." + std::to_string(2 + rnd() % 3) + "." + std::to_string(rnd() % 24) + (rnd() % 50 ? "" : " ");
  };
  for (int round = 0; round < 40; ++round) {
    for (int i = 0; i < 25; ++i) {
      const std::string a = address(), b = rnd() % 4 ? address() : "255.255.255.255";
      seen.push_back(a);
      try {
        traffic->ProcessLine(Line(a, b));
      } catch (const EConvertError&)  // a source with a blank makes no cube
      {
      }
    }
    if (round % 3 == 0) {
      now += 16000;  // all expire; then the next round brings some back
      traffic->Timer_ChkLifeTimer();
    } else if (round % 3 == 1 && pcs->Count() > 0)
      delete pcs->Children(int(rnd() % unsigned(pcs->Count())));  // freed outside the life check
    for (const std::string& ip : seen)
      ASSERT_EQ(traffic->FindCube(ip), traffic->FindCubeForIP(ip)) << ip << " round " << round;
  }

  // A block cube made after an address was found in a group's range is found first from then on.
  traffic->ProcessLine(Line("10.1.3.1", "255.255.255.255"));
  ASSERT_EQ(traffic->FindCube("10.1.3.1"), traffic->FindCubeForIP("10.1.3.1"));
  traffic->ProcessLine(Line("10.1.3.200", "255.255.255.255"));
  SnifferObject* block = Cube(pcs, "IP10_1_3");
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(traffic->FindCube("10.1.3.1"), block);
  EXPECT_GT(traffic->CubeCache().Count(), 0u);  // found by address, not by name each time
}

// Addresses that are no IPv4 text make no cube: as the source the line is
// refused (the queue logs why), as the destination the source cube stays and
// the address is logged; the lines after them are handled as usual.
TEST_F(TrafficSceneTest, AddressesThatAreNoIPv4TextMakeNoCube) {
  const char* const bad[] = {"fe80::1", "host.example", "10.0.1", "1.2.x.4", "9.9.9.9x"};
  for (const char* address : bad) {
    SCOPED_TRACE(address);
    EXPECT_ANY_THROW(traffic->ProcessLine(Line(address, "10.0.9.9")));
    EXPECT_EQ(pcs->Count(), 0);
    EXPECT_EQ(connections->Count(), 0);
  }
  for (const char* address : bad) {
    SCOPED_TRACE(address);
    FLog.clear();
    traffic->ProcessLine(Line("10.0.1.1", address));
    EXPECT_EQ(pcs->Count(), 1);  // the source only
    EXPECT_EQ(connections->Count(), 0);
    EXPECT_NE(Log().find("*ERR Add-DST-Objects"), std::string::npos);
    EXPECT_NE(Log().find(address), std::string::npos);
  }
  ASSERT_NE(Cube(pcs, "IP10_0_1"), nullptr);
  EXPECT_EQ(Cube(pcs, "IP10_0_1")->InfoLines.Count(), 5);
  traffic->ProcessLine(Line("10.0.1.1", "10.0.2.1"));
  EXPECT_EQ(pcs->Count(), 2);
  EXPECT_EQ(connections->Count(), 1);
}

TEST_F(TrafficSceneTest, LifetimeBandwidthAndRemoval) {
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1", "0800", "TCP", "1025", "80", 500));
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1", "0800", "TCP", "1025", "80", 500));
  QLabel selected;
  Cube(pcs, "IP10_0_0")->BandwidthLabel = &selected;
  now += 2000;
  traffic->Timer_ChkLifeTimer();
  EXPECT_EQ(selected.text().toStdString(), "bps 4,000");
  EXPECT_EQ(host.Cubes, "Cubes=2");
  EXPECT_EQ(host.Pipes, "Pipes=1");
  EXPECT_EQ(host.Groups, "Groups=0");
  EXPECT_EQ(host.Total, "Tbps 4,000");
  EXPECT_DOUBLE_EQ(host.Chart[0], 4000.0);

  // Idle 6 s with a packet since the last stall check: one more check, then gone.
  now += 4000;
  traffic->Timer_ChkLifeTimer();
  EXPECT_EQ(connections->Count(), 1);
  now += 500;
  traffic->Timer_ChkLifeTimer();
  EXPECT_EQ(connections->Count(), 0);
  traffic->Timer_ChkLifeTimer();
  EXPECT_EQ(host.Total, "Tbps 0");
  EXPECT_EQ(host.Chart[3], 0.0);

  host.IgnoreTimeOut = true;
  now += 20000;
  traffic->Timer_ChkLifeTimer();
  EXPECT_EQ(pcs->Count(), 2);
  host.IgnoreTimeOut = false;
  traffic->Timer_ChkLifeTimer();
  EXPECT_EQ(pcs->Count(), 0);
}

TEST_F(TrafficSceneTest, ExpiryIsStrictAndTheSelectionStays) {
  traffic->ProcessLine(Line("10.0.0.1", "255.255.255.255", "IP"));
  traffic->ProcessLine(Line("10.0.1.1", "255.255.255.255", "IP"));
  traffic->SelectedObject = Cube(pcs, "IP10_0_1");
  now += 15000;
  traffic->Timer_ChkLifeTimer();
  EXPECT_EQ(pcs->Count(), 2);
  now += 200;
  traffic->Timer_ChkLifeTimer();
  ASSERT_EQ(pcs->Count(), 1);
  EXPECT_EQ(pcs->Children(0), traffic->SelectedObject);
}

// The view is told to make its context anew once the scene has emptied after
// a mass expiry: not while anything is left, not for a few objects, and once
// per mass.
TEST_F(TrafficSceneTest, AnEmptiedSceneAfterAMassExpiryRenewsTheViewOnce) {
  int renewals = 0;
  traffic->OnEmptiedAfterMassExpiry = [&] { ++renewals; };
  auto expire = [&] {
    now += 16000;
    traffic->Timer_ChkLifeTimer();
    traffic->Timer_ChkLifeTimer();
  };
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
  expire();
  EXPECT_EQ(pcs->Count() + connections->Count(), 0);
  EXPECT_EQ(renewals, 0);  // three objects

  const int pairs = TTrafficScene::kManyFreedForRenewal;  // pipes enough on their own
  for (int i = 0; i < pairs; ++i) {
    const std::string b = std::to_string(1 + i / 250), c = std::to_string(i % 250);
    traffic->ProcessLine(Line("10." + b + "." + c + ".1", "11." + b + "." + c + ".1"));
  }
  ASSERT_EQ(pcs->Count(), 2 * pairs);
  ASSERT_EQ(connections->Count(), pairs);
  EXPECT_GT(traffic->FaceCount(), 0u);  // the cubes show a face file
  host.IgnoreTimeOut = true;            // the cubes stay, the pipes go
  expire();
  EXPECT_EQ(connections->Count(), 0);
  EXPECT_EQ(renewals, 0);
  host.IgnoreTimeOut = false;
  expire();
  EXPECT_EQ(pcs->Count(), 0);
  EXPECT_EQ(renewals, 1);
  EXPECT_EQ(traffic->FaceCount(), 0u);  // no texture kept for the next context
  for (int i = 0; i < 4; ++i) traffic->Timer_ChkLifeTimer();
  EXPECT_EQ(renewals, 1);

  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
  expire();
  EXPECT_EQ(renewals, 1);  // counted afresh after a renewal
}

TEST_F(TrafficSceneTest, FreedCubesLeaveNoDanglingPipeEnds) {
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
  MyCylinder* p = Pipe(0);
  traffic->ExpireAllCubes();  // TTL 1 s: removed at a later check
  EXPECT_EQ(pcs->Count(), 2);
  now += 1500;
  p->LastSeen = now;
  traffic->Timer_ChkLifeTimer();
  EXPECT_EQ(pcs->Count(), 0);
  ASSERT_EQ(connections->Count(), 1);
  EXPECT_EQ(p->SrcObject(), nullptr);
  EXPECT_EQ(p->DstObject(), nullptr);
  // A new packet makes new cubes and finds the old pipe by its address numbers.
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
  EXPECT_EQ(connections->Count(), 1);
  EXPECT_EQ(p->PacketCount, 1);
  EXPECT_EQ(p->SrcObject(), Cube(pcs, "IP10_0_0"));
  EXPECT_EQ(p->DstObject(), Cube(pcs, "IP10_0_1"));
}

TEST_F(TrafficSceneTest, LabelsAreDrawnOnceAndReused) {
  std::ofstream(FDir.path().toStdString() + "/IPToComputerName.ini")
      << "[10.0.0.1]\nUSER=John Smith\n[10.0.7.1]\nUSER=John Smith\n";
  traffic->ProcessLine(Line("10.0.0.1", "255.255.255.255", "IP"));
  const std::string label = TTrafficScene::ImagesDir() + "John Smith.bmp";
  QImage img(QString::fromStdString(label));
  ASSERT_FALSE(img.isNull());
  EXPECT_EQ(img.width(), 60);
  EXPECT_EQ(Cube(pcs, "IP10_0_0")->Texture, "John Smith.bmp");
  // A second cube of the same user takes the label file as it is.
  ASSERT_TRUE(img.scaled(30, 30).save(QString::fromStdString(label), "BMP"));
  traffic->ProcessLine(Line("10.0.7.1", "255.255.255.255", "IP"));
  EXPECT_EQ(Cube(pcs, "IP10_0_7")->Texture, "John Smith.bmp");
  EXPECT_EQ(QImage(QString::fromStdString(label)).width(), 30);
  // No texture file for the default profile: a label of its name.
  traffic->ProcessLine(Line("10.0.5.1", "255.255.255.255", "IP"));
  EXPECT_EQ(Cube(pcs, "IP10_0_5")->Texture, "default.bmp");
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(TTrafficScene::ImagesDir() + "default.bmp")));
}

TEST_F(TrafficSceneTest, CubesOfOneFaceFileShareItsTexture) {
  // The first cube draws the file (keeping the colour it drew it in); the next ones read it.
  for (const char* ip : {"10.0.4.1", "10.0.5.1", "10.0.6.1"}) traffic->ProcessLine(Line(ip, "255.255.255.255", "IP"));
  SnifferObject* a = Cube(pcs, "IP10_0_5");
  SnifferObject* b = Cube(pcs, "IP10_0_6");
  ASSERT_TRUE(a && b);
  TGLTexture* shared = a->Material()->Texture()->PictureSource();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(b->Material()->Texture()->PictureSource(), shared);
  EXPECT_TRUE(a->Material()->SameLook(*b->Material()));
  EXPECT_GE(shared->Image()->GetWidth(), 32);  // the file's picture
  // A picture of its own (the selection's) ends the sharing; its face comes back shared.
  TBitmap dot(1, 1, pf24bit);
  a->Material()->Texture()->Image()->Assign(&dot);
  EXPECT_EQ(a->Material()->Texture()->PictureSource(), nullptr);
  EXPECT_TRUE(traffic->LoadFace(a));
  EXPECT_EQ(a->Material()->Texture()->PictureSource(), shared);
  // A changed file is read again for the next cube.
  const QString file = QString::fromStdString(TTrafficScene::ImagesDir() + "default.bmp");
  QImage img(file);
  ASSERT_FALSE(img.isNull());
  QFile::remove(file);
  ASSERT_TRUE(img.scaled(20, 20).save(file, "BMP"));
  traffic->ProcessLine(Line("10.0.7.1", "255.255.255.255", "IP"));
  TGLTexture* fresh = Cube(pcs, "IP10_0_7")->Material()->Texture()->PictureSource();
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, shared);
  EXPECT_EQ(fresh->Image()->GetWidth(), 20);
}

TEST_F(TrafficSceneTest, LabelsThatImagesCannotHoldAreKeptInMemory) {
  // A file named "Images": nothing can be written there, whoever runs the test.
  std::ofstream(FDir.path().toStdString() + "/Images") << "not a folder";
  std::ofstream(FDir.path().toStdString() + "/IPToComputerName.ini")
      << "[10.0.0.1]\nUSER=John Smith\n[10.0.7.1]\nUSER=John Smith\n";
  auto face = [](SnifferObject* c) { return c->Material()->Texture()->Image()->GetBitmap32(GL_TEXTURE_2D); };
  traffic->ProcessLine(Line("10.0.0.1", "255.255.255.255", "IP"));
  traffic->ProcessLine(Line("10.0.7.1", "255.255.255.255", "IP"));
  traffic->ProcessLine(Line("10.0.5.1", "255.255.255.255", "IP"));  // a label of the texture's name
  for (const char* name : {"IP10_0_0", "IP10_0_7", "IP10_0_5"}) {
    SnifferObject* c = Cube(pcs, name);
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(c->Material()->Texture()->Disabled()) << name;
    TGLBitmap32* b = face(c);
    ASSERT_NE(b, nullptr) << name;
    EXPECT_GE(b->Width(), 32) << name;  // a drawn label, not the empty picture
  }
  EXPECT_EQ(Cube(pcs, "IP10_0_7")->Texture, "John Smith.bmp");
  // A name of any length is cut for the label and its file name.
  std::ofstream(FDir.path().toStdString() + "/IPToComputerName.ini")
      << "[10.0.9.1]\nUSER=" << std::string(70000, 'J') << "\n";
  traffic->ProcessLine(Line("10.0.9.1", "255.255.255.255", "IP"));
  EXPECT_EQ(Cube(pcs, "IP10_0_9")->Texture, ShownText(std::string(70000, 'J')) + ".bmp");
  // The failure is told once for both labels (counted after that).
  EXPECT_EQ(QString::fromStdString(Log()).count("GetOrCreateCube"), 1) << Log();
  // A cube whose face was replaced gets its label back from memory.
  SnifferObject* c = Cube(pcs, "IP10_0_0");
  const int labelWidth = face(c)->Width();
  TBitmap dot(1, 1, pf24bit);
  c->Material()->Texture()->Image()->Assign(&dot);
  ASSERT_LT(face(c)->Width(), labelWidth);
  EXPECT_TRUE(traffic->LoadFace(c));
  EXPECT_EQ(face(c)->Width(), labelWidth);
}

TEST_F(TrafficSceneTest, TestCommandsMakeCubes) {
  traffic->AddProfileCubes();
  SnifferObject* c = Cube(pcs, "IP127_0_0");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->ByteTotal, 60);
  EXPECT_EQ(c->LastEtherType, "IP");
  EXPECT_EQ(c->InfoLines.Strings(0), "N/A");

  Profiles("[Default]\n[All]\nIPmin=0.0.0.0\nIPmax=255.255.255.255\n");
  std::vector<std::string> made;
  int steps = 0;
  traffic->OnLayoutStep = [&] {
    if (++steps == 40) StopCubeLayout = true;
  };
  StopCubeLayout = false;
  traffic->CreateCubesByIPs("192.168.4.5", "10", "64,32,16,8");
  StopCubeLayout = false;
  EXPECT_EQ(steps, 40);
  EXPECT_NE(Cube(pcs, "IP192_168_4_5"), nullptr);
  EXPECT_NE(Cube(pcs, "IP192_168_4_253"), nullptr);
  EXPECT_NE(Cube(pcs, "IP192_168_20_0"), nullptr);
  EXPECT_NE(Cube(pcs, "IP192_168_20_8"), nullptr);

  const int before = pcs->Count();
  EXPECT_ANY_THROW(traffic->CreateCubesByIPs("1.1.1.1", "1", "1,1,1,1,1"));
  EXPECT_EQ(pcs->Count(), before);
  // A start of five pieces is no address (its first four would be another host's).
  EXPECT_THROW(traffic->CreateCubesByIPs("1.1.1.1.9", "1", "0,0,0,0"), ERangeError);
  EXPECT_EQ(pcs->Count(), before);
  traffic->OnLayoutStep = nullptr;
  traffic->CreateCubesByIPs("1.1.1.1", "1", "0,0,0,0");  // every step zero: one cube
  EXPECT_NE(Cube(pcs, "IP1_1_1_1"), nullptr);
}

TEST_F(TrafficSceneTest, ChangingPortsRedrawTheLabelOnceAtTheNextRender) {
  auto labelPixels = [](MyCylinder* pipe) {
    TGLTextureImage* image = pipe->Material()->TextureEx()->Items(0)->Texture()->Image();
    std::vector<uint8_t> pixels;
    if (TGLBitmap32* b = image->GetBitmap32(GL_TEXTURE_2D)) pixels.assign(b->Data(), b->Data() + b->DataSize());
    image->ReleaseBitmap32();
    return pixels;
  };
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1", "0800", "TCP", "1025", "80"));
  MyCylinder* p = Pipe(0);
  EXPECT_TRUE(p->LabelPending());  // a new pipe's label is drawn at its first render too
  p->DrawPendingLabel();
  const std::vector<uint8_t> first = labelPixels(p);
  ASSERT_FALSE(first.empty());
  for (int port = 2000; port < 2050; ++port)
    traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1", "0800", "TCP", std::to_string(port), "443"));
  EXPECT_EQ(p->SrcPortText, "2049");
  EXPECT_TRUE(p->LabelPending());
  EXPECT_EQ(labelPixels(p), first);  // nothing drawn per packet

  MyCylinder expected(nullptr);
  expected.Material()->TextureEx()->Add();
  MakePipeLabel(&expected, "2049", "443", 4.0f, p->Height());
  p->DrawPendingLabel();
  EXPECT_FALSE(p->LabelPending());
  EXPECT_EQ(labelPixels(p), labelPixels(&expected));  // the label of the last ports
}

namespace {
std::array<uint32_t, 4> Bits(const TVector4f& v) { return std::bit_cast<std::array<uint32_t, 4>>(v.V); }
}  // namespace

// Every packet of a conversation, either way, turns its pipe one step about
// its axis (the frame rotated and normalised, as rotation by that angle
// gives) and widens it until the cap. Widening marks the display list stale,
// a packet at the cap does not; the turn leaves the local matrix to rebuild.
TEST_F(TrafficSceneTest, EachPacketTurnsItsPipeOneStepAndWidensItToTheCap) {
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
  MyCylinder* p = Pipe(0);
  TVector4f up = p->Up()->AsVector(), dir = p->Direction()->AsVector();
  const float rad = DegToRadSingle(traffic->PipeTurnAngle);
  int widened = 0;
  for (int i = 1; i <= 12; ++i) {
    (void)p->GetLocalMatrixPtr();
    p->ClearStructureChanged();
    const float r = p->TopRadius();
    const bool widens = r < traffic->MaxPipeRadius;
    widened += widens;
    if (i % 2)
      traffic->ProcessLine(Line("10.0.1.1", "10.0.0.1", "0800", "TCP", "80", "1025"));
    else
      traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));
    const TAffineVector axis = AffineVectorMake(up);
    up = VectorNormalized(VectorRotateAroundAxis(up, axis, rad));
    dir = VectorNormalized(VectorRotateAroundAxis(dir, axis, rad));
    ASSERT_EQ(Bits(p->Up()->AsVector()), Bits(up)) << "packet " << i;
    ASSERT_EQ(Bits(p->Direction()->AsVector()), Bits(dir)) << "packet " << i;
    const float grown = widens ? r + traffic->IpPipeRadius / 2 : r;
    EXPECT_EQ(p->TopRadius(), grown) << "packet " << i;
    EXPECT_EQ(p->BottomRadius(), grown) << "packet " << i;
    EXPECT_EQ(bool(p->Changes() & ocStructure), widens) << "packet " << i;
    EXPECT_TRUE(p->Changes() & ocTransformation) << "packet " << i;
    const TMatrix4f& m = *p->GetLocalMatrixPtr();
    EXPECT_EQ(Bits(m[2]), Bits(dir)) << "packet " << i;
  }
  EXPECT_EQ(widened, 8);  // 0.09 to the cap 0.45 in steps of 0.045
  EXPECT_EQ(p->PacketCount, 12);
}

// A packet reads the clock once: its cubes and pipe, made or found, are seen
// at the same time.
TEST_F(TrafficSceneTest, APacketReadsTheClockOnceForItsCubesAndPipe) {
  int reads = 0;
  traffic->Now = [&] { return ++reads, ++now; };
  traffic->ProcessLine(Line("10.0.0.1", "10.0.1.1"));  // makes both cubes and the pipe
  EXPECT_EQ(reads, 1);
  SnifferObject* a = Cube(pcs, "IP10_0_0");
  SnifferObject* b = Cube(pcs, "IP10_0_1");
  ASSERT_TRUE(a && b && connections->Count() == 1);
  EXPECT_EQ(a->FirstSeen, now);
  EXPECT_EQ(b->FirstSeen, now);
  EXPECT_EQ(Pipe(0)->FirstSeen, now);
  for (int i = 0; i < 3; ++i) {  // found by name, then through the address index
    reads = 0;
    traffic->ProcessLine(Line("10.0.1.1", "10.0.0.1", "0800", "TCP", "80", "1025"));
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(a->LastSeen, now);
    EXPECT_EQ(b->LastSeen, now);
    EXPECT_EQ(Pipe(0)->LastSeen, now);
  }
  reads = 0;
  traffic->ProcessLine(Line("10.0.0.1", "10.0.2.1"));  // one cube found, one made, a new pipe
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(a->LastSeen, now);
  EXPECT_EQ(Cube(pcs, "IP10_0_2")->FirstSeen, now);
  EXPECT_EQ(Pipe(1)->LastSeen, now);
}

TEST(PipeTable, KeepsEveryKeyThroughGrowthAndErasure) {
  // Stand-ins for pipes: only compared, never used.
  auto pipe = [](uint64_t i) { return reinterpret_cast<MyCylinder*>(uintptr_t(i + 1) * 16); };
  auto key = [](uint64_t i) { return (uint64_t(167772160 + i % 97) << 32) | (i / 97); };  // few sources
  TPipeTable t;
  constexpr uint64_t n = 5000;
  for (uint64_t i = 0; i < n; ++i) t.Insert(key(i), pipe(i));
  std::vector<uint64_t> gone;
  for (uint64_t i = 0; i < n; i += 3) gone.push_back(i);
  std::shuffle(gone.begin(), gone.end(), std::mt19937(5));
  for (uint64_t i : gone) t.Erase(key(i));
  t.Erase(key(n));  // not held
  for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(t.Find(key(i)), i % 3 ? pipe(i) : nullptr) << i;
}

TEST(CubeCache, BlocksAreErasedWhateverLeftTheirCountsBefore) {
  std::vector<std::unique_ptr<SnifferObject>> cubes;
  auto cube = [&] { return cubes.emplace_back(std::make_unique<SnifferObject>(nullptr)).get(); };
  TCubeCache cache;
  // Two blocks; the second one's entries partly go one by one, partly by a sweep.
  for (uint32_t i = 0; i < 6; ++i) cache.Insert(0x0A000100u | i, cube());
  SnifferObject* stays = cube();
  cache.Insert(0x0A000201u, stays);
  SnifferObject* swept = cube();
  cache.Insert(0x0A000202u, swept);
  cache.Insert(0x0A000203u, cube());
  cache.EraseAddress(0x0A000203u);
  cache.EraseAddress(0x0A000203u);  // not held any more: the block keeps its count
  swept->Cache = nullptr;
  cache.Sweep();
  EXPECT_EQ(cache.Find(0x0A000202u), nullptr);
  ASSERT_EQ(cache.Find(0x0A000201u), stays);
  cache.EraseBlock(0x0A0002FFu);
  EXPECT_EQ(cache.Find(0x0A000201u), nullptr);
  EXPECT_EQ(cache.Count(), 6u);
  // A block emptied address by address is empty; a later entry of it is erased with it.
  for (uint32_t i = 0; i < 6; ++i) cache.EraseAddress(0x0A000100u | i);
  cache.EraseBlock(0x0A000100u);
  cache.Insert(0x0A0001F0u, cube());
  cache.EraseBlock(0x0A000100u);
  EXPECT_EQ(cache.Find(0x0A0001F0u), nullptr);
  EXPECT_EQ(cache.Count(), 0u);
  for (auto& c : cubes) c->Cache = nullptr;  // the cache goes first
}

TEST_F(TrafficSceneTest, TheImagesFolderIsFoundAgainWhenItWentOrTheProgramFolderChanged) {
  const std::string first = TTrafficScene::ImagesDir();
  EXPECT_EQ(first, FDir.path().toStdString() + "/Images/");
  EXPECT_EQ(TTrafficScene::ImagesDir(), first);
  ASSERT_TRUE(QDir(FDir.path()).rename("Images", "images"));
  EXPECT_EQ(TTrafficScene::ImagesDir(), FDir.path().toStdString() + "/images/");
  QTemporaryDir other;
  QDir(other.path()).mkpath("IMAGES");
  SetProgramFolder(other.path().toStdString());
  EXPECT_EQ(TTrafficScene::ImagesDir(), other.path().toStdString() + "/IMAGES/");
  SetProgramFolder(FDir.path().toStdString());
  EXPECT_EQ(TTrafficScene::ImagesDir(), FDir.path().toStdString() + "/images/");
}
