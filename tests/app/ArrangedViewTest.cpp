// The traffic view as people arrange it: a saved place holds within the
// session, the pipes of a moved cube follow it, and "Clear" is not undone by a
// backlog of lines queued before it.
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLTexture.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "app/HostProfiles.h"
#include "app/MyCylinder.h"
#include "app/PacketQueue.h"
#include "app/SnifferObject.h"
#include "app/TrafficScene.h"
#include "app/Unit2_3D.h"
#include "app/Unit_Globals.h"
#include "platform/IniFiles.h"
#include "platform/Paths.h"
#include "tests/app/TrafficViewFixture.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {
std::string Line(const std::string& src, const std::string& dst, const std::string& sport = "1025") {
  return "t\tm1\tm2\t0800\t60\t" + src + "\t" + sport + "\t" + dst + "\t80\tTCP\tTCP-IP";
}
std::string Broadcast(const std::string& src) { return Line(src, "255.255.255.255"); }

using TPlace = std::array<float, 3>;

// A traffic scene on the program folder's profiles, with a clock of its own
// (milliseconds).
struct TView : TTrafficViewFixture {
  int64_t now = 1000;
  TView() {
    traffic->PerfFrequency = 1000;
    traffic->Now = [this] { return now; };
    traffic->LoadPCinfoToArry();
  }
  // Every cube idle long enough to go, and gone.
  void ExpireAll() {
    now += 20000;
    traffic->Timer_ChkLifeTimer();
    traffic->Timer_ChkLifeTimer();
  }
  int CubeCount() const { return pcs->Count() + groups->Count(); }
};

std::vector<std::string> Sections(const THostProfiles& p) {
  std::vector<std::string> names;
  for (const PCOBJinfo& i : p.PCinfoArray()) names.push_back(i.Section);
  return names;
}

float Distance(const TVector4f& a, const TVector4f& b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

// How far each end of the pipe is from the centre of the cube it joins
// (the larger of the two).
float EndGap(MyCylinder* pipe) {
  const TVector4f centre = pipe->AbsolutePosition();
  const TVector4f up = pipe->GetAbsoluteUp();
  const float half = pipe->Height() / 2;
  TVector4f start = centre, end = centre;
  for (int i = 0; i < 3; ++i) {
    start[i] -= up[i] * half;
    end[i] += up[i] * half;
  }
  return std::max(Distance(start, pipe->SrcObject()->AbsolutePosition()),
                  Distance(end, pipe->DstObject()->AbsolutePosition()));
}

class ArrangedView : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramFolder(FDir.path().toStdString());
    SetPktDataMemo(&FLog);
    TimeToLive = 15;
    PipeThreshold = 1;
  }
  void TearDown() override {
    SetPktDataMemo(nullptr);
    SetProgramFolder("");
  }
  void Profiles(const std::string& text) { std::ofstream(ProgramFile("SnifferPCsInfo.ini")) << text; }

  QTemporaryDir FDir;
  QPlainTextEdit FLog;
};
}  // namespace

TEST_F(ArrangedView, ASavedPlaceHoldsWhenTheCubeComesBackInTheSameSession) {
  Profiles(
      "[Default]\nNetType=other\nWidth=6\n"
      "[Remote]\nIPmin=10.9.0.0\nIPmax=10.9.255.255\nNetType=other\n"
      "[LAN]\nIPmin=192.168.1.0\nIPmax=192.168.1.255\nZ=3\nNetType=localnet\nSpread=6\n"
      "[Pinned]\nIPmin=10.7.0.1\nIPmax=10.7.0.1\nX=1\nY=2\nZ=3\n"
      "[Group]\nIPmin=10.5.0.0\nIPmax=10.5.0.255\nNetType=other\nShowAsOneCube=1\n");
  const std::vector<std::string> ips = {"10.9.1.1",    "10.9.2.2", "172.16.5.10", "172.16.6.1",
                                        "192.168.1.7", "10.7.0.1", "10.5.0.3"};
  TView view;
  std::map<std::string, TPlace> expected = view.Places(ips);
  // One of a grid profile, a block of the default, a "fixed" profile's own, a group.
  view.MoveAndSave("10.9.1.1", 11, 22, 33);
  view.MoveAndSave("172.16.5.10", -40, 50, 20);
  view.MoveAndSave("10.7.0.1", 4, 5, 6);
  view.MoveAndSave("10.5.0.3", 7, 8, 9);
  view.MoveAndSave("10.9.1.1", 12, 22, 33);  // again: the section made before
  expected["10.9.1.1"] = {12, 22, 33};
  expected["10.7.0.1"] = {4, 5, 6};
  view.ExpireAll();
  ASSERT_EQ(view.CubeCount(), 0);

  // Back with traffic, other addresses of the block and the group first.
  std::vector<std::string> again = ips;
  again[2] = "172.16.5.99";
  again[6] = "10.5.0.77";
  expected["172.16.5.99"] = {-40, 50, 20};
  expected["10.5.0.77"] = {7, 8, 9};
  const std::map<std::string, TPlace> back = view.Places(again);
  for (const auto& [ip, at] : back) EXPECT_EQ(at, expected[ip]) << ip;
  EXPECT_EQ(view.traffic->FindCubeForIP("10.5.0.77")->Parent(), view.groups);

  // The profiles in memory are the file's, as a restart reads them.
  TView restarted;
  EXPECT_EQ(Sections(view.traffic->Profiles()), Sections(restarted.traffic->Profiles()));
  EXPECT_EQ(Sections(view.traffic->Profiles()),
            (std::vector<std::string>{"Default", "IP10_9_1_1", "Remote", "LAN", "Pinned", "IP10_5_0_0-10_5_0_255",
                                      "Group", "IP172_16_5"}));
  for (const auto& [ip, at] : restarted.Places(again)) EXPECT_EQ(at, back.at(ip)) << ip;
}

TEST_F(ArrangedView, ADraggedHostOfARangeMovesAloneNowAndAfterARestart) {
  // A "fixed" range stands its hosts at one place; one of them pulled away.
  Profiles("[Default]\nNetType=other\n[Servers]\nIPmin=10.1.0.1\nIPmax=10.1.0.20\nX=20\nY=-20\nZ=5\n");
  TView view;
  const std::vector<std::string> ips = {"10.1.0.5", "10.1.0.6"};
  std::map<std::string, TPlace> expected = view.Places(ips);
  ASSERT_EQ(expected["10.1.0.5"], (TPlace{20, -20, 5}));
  view.MoveAndSave("10.1.0.6", 18.52f, 3.95f, 5);
  expected["10.1.0.6"] = {18.52f, 3.95f, 5};
  view.ExpireAll();
  ASSERT_EQ(view.CubeCount(), 0);
  for (const auto& [ip, at] : view.Places(ips)) EXPECT_EQ(at, expected[ip]) << ip;
  // Another host of the range, never seen before, stands where the range says.
  EXPECT_EQ(view.Places({"10.1.0.7"})["10.1.0.7"], (TPlace{20, -20, 5}));
  TView restarted;
  for (const auto& [ip, at] : restarted.Places(ips)) EXPECT_EQ(at, expected[ip]) << ip;
  TIniFile ini(ProgramFile("SnifferPCsInfo.ini"));
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Default", "IP10_1_0_6", "Servers"}));
  EXPECT_EQ(ini.ReadString("Servers", "X", ""), "20");
  // The host's own section holds it from now on.
  view.MoveAndSave("10.1.0.6", 1, 2, 3);
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Default", "IP10_1_0_6", "Servers"}));
  EXPECT_EQ(ini.ReadString("IP10_1_0_6", "X", ""), "1");
}

TEST_F(ArrangedView, AKeptBlockCubeComesBackAsTheBlocksCubeWithItsFigures) {
  // Blocks of no profile, one kept where it was dragged; the other written
  // as an earlier version kept it (the range of one cube for all).
  Profiles(
      "[Default]\nNetType=other\n[IP172_16_7]\nIPmin=172.16.7.0\nIPmax=172.16.7.255\nNetType=fixed\n"
      "ShowAsOneCube=1\nX=3\nY=4\nZ=5\n");
  const std::vector<std::string> ips = {"172.16.5.10", "172.16.6.1", "172.16.7.9"};
  {
    TView view;
    view.Places(ips);
    ASSERT_EQ(view.pcs->Count(), 3);
    ASSERT_EQ(view.groups->Count(), 0);
    view.MoveAndSave("172.16.5.10", -40, 50, 20);
  }
  TView restarted;
  const std::map<std::string, TPlace> at = restarted.Places({"172.16.5.99", "172.16.5.10", "172.16.6.1", "172.16.7.1"});
  EXPECT_EQ(restarted.pcs->Count(), 3);
  EXPECT_EQ(restarted.groups->Count(), 0);
  EXPECT_EQ(at.at("172.16.5.99"), (TPlace{-40, 50, 20}));
  EXPECT_EQ(at.at("172.16.7.1"), (TPlace{3, 4, 5}));
  SnifferObject* block = restarted.traffic->FindCubeForIP("172.16.5.10");
  ASSERT_EQ(block, restarted.traffic->FindCubeForIP("172.16.5.99"));
  EXPECT_EQ(block->Name(), "IP172_16_5");
  EXPECT_EQ(block->ByteTotal, 120);
  // Its figures are shown while it is selected.
  QLabel figures;
  block->BandwidthLabel = &figures;
  restarted.now += 2000;
  restarted.traffic->Timer_ChkLifeTimer();
  EXPECT_EQ(figures.text().toStdString(), "bps 480");
  // Dragged again, its own section takes the place.
  restarted.MoveAndSave("172.16.5.1", 1, 1, 1);
  TIniFile ini(ProgramFile("SnifferPCsInfo.ini"));
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Default", "IP172_16_7", "IP172_16_5"}));
  EXPECT_EQ(ini.ReadString("IP172_16_5", "X", ""), "1");
  EXPECT_EQ(ini.ReadString("IP172_16_5", "ShowAsOneCube", ""), "0");
}

TEST_F(ArrangedView, TheProfilesInMemoryAreTheFilesAfterEverySave) {
  Profiles(
      "[Default]\nNetType=other\nWidth=6\nTexture=Net.bmp\n"
      "[Remote]\nIPmin=10.9.0.0\nIPmax=10.9.255.255\nNetType=other\nSpread=4\n"
      "[Servers]\nIPmin=10.1.0.1\nIPmax=10.1.0.20\nX=20\nY=-20\nHeight=3\n"
      "[Group]\nIPmin=10.5.0.0\nIPmax=10.5.1.255\nNetType=localnet\nShowAsOneCube=1\n");
  TView view;
  view.Places({"10.9.1.1", "10.1.0.6", "10.5.0.3", "172.16.5.10"});
  view.MoveAndSave("10.9.1.1", 11, 22, 33);
  view.MoveAndSave("10.1.0.6", 1.5f, 2.5f, 3.5f);
  view.MoveAndSave("10.5.0.3", 7, 8, 9);
  view.MoveAndSave("172.16.5.10", -4, 5, 6);
  view.MoveAndSave("10.1.0.6", 0.25f, 2.5f, 3.5f);
  THostProfiles read;
  read.LoadPCinfoToArry(ProgramFile("SnifferPCsInfo.ini"));
  const std::vector<PCOBJinfo>& a = view.traffic->Profiles().PCinfoArray();
  const std::vector<PCOBJinfo>& b = read.PCinfoArray();
  ASSERT_EQ(Sections(view.traffic->Profiles()), Sections(read));
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(a[i].Section);
    EXPECT_EQ(std::tie(a[i].X, a[i].Y, a[i].Z, a[i].IPmin, a[i].IPmax, a[i].Netmask, a[i].IP, a[i].NetType),
              std::tie(b[i].X, b[i].Y, b[i].Z, b[i].IPmin, b[i].IPmax, b[i].Netmask, b[i].IP, b[i].NetType));
    EXPECT_EQ(std::tie(a[i].ShowAsOneCube, a[i].BlockCube, a[i].Texture, a[i].Width, a[i].Height, a[i].Spread),
              std::tie(b[i].ShowAsOneCube, b[i].BlockCube, b[i].Texture, b[i].Width, b[i].Height, b[i].Spread));
  }
  EXPECT_EQ(Sections(read), (std::vector<std::string>{"Default", "IP10_9_1_1", "Remote", "IP10_1_0_6", "Servers",
                                                      "IP10_5_0_0-10_5_1_255", "Group", "IP172_16_5"}));
}

// "10.30.0.1", "010.30.0.1" and "10.030.0.1" are one host: one cube, named
// and shown as written without leading zeros, with one pipe to the other host,
// in the feed and in the profiles.
TEST_F(ArrangedView, OneHostWrittenWithLeadingZerosIsOneCube) {
  Profiles(
      "[Default]\nNetType=other\n[Net]\nIPmin=10.30.0.0\nIPmax=10.31.255.255\nNetType=localnet\n"
      "[Zero]\nIP=010.40.0.001\nIPmin=10.40.0.1\nIPmax=10.40.0.1\n");
  TView view;
  for (const char* src : {"10.30.0.1", "010.30.0.1", "10.030.0.1"}) view.traffic->ProcessLine(Line(src, "10.31.0.1"));
  EXPECT_EQ(view.CubeCount(), 2);
  ASSERT_EQ(view.connections->Count(), 1);
  SnifferObject* host = view.traffic->FindCubeForIP("010.30.0.1");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->Name(), "IP10_30_0_1");
  EXPECT_EQ(host->IP, "10.30.0.1");
  EXPECT_EQ(host->ByteTotal, 180);
  EXPECT_EQ(static_cast<MyCylinder*>(view.connections->Children(0))->PacketCount, 2);
  EXPECT_EQ(static_cast<MyCylinder*>(view.connections->Children(0))->SrcObject(), host);
  // A profile's address too: its cube is the one the feed's address finds.
  EXPECT_EQ(view.traffic->Profiles().PCinfoArray()[2].IP, "10.40.0.1");
  view.traffic->AddProfileCubes();
  view.traffic->ProcessLine(Broadcast("10.40.0.1"));
  EXPECT_EQ(view.CubeCount(), 4);  // with the default profile's 127.0.0.1
  EXPECT_EQ(view.traffic->FindCubeForIP("10.40.0.1")->ByteTotal, 120);
}

TEST_F(ArrangedView, AMovedCubeTakesItsPipesAlong) {
  TView view;
  view.traffic->ProcessLine(Line("10.0.1.1", "10.0.2.1"));
  view.traffic->ProcessLine(Line("10.0.3.1", "10.0.1.1"));  // the moved cube at the far end
  view.traffic->ProcessLine(Line("10.0.4.1", "10.0.5.1"));  // no end at it
  ASSERT_EQ(view.connections->Count(), 3);
  auto pipe = [&](int i) { return static_cast<MyCylinder*>(view.connections->Children(i)); };
  for (int i = 0; i < 3; ++i) ASSERT_LT(EndGap(pipe(i)), 1e-3f) << i;  // as made
  const TVector4f other = pipe(2)->AbsolutePosition();
  const float otherHeight = pipe(2)->Height();

  SnifferObject* moved = view.traffic->FindCubeForIP("10.0.1.1");
  auto move = [&](float x, float y, float z) {
    moved->Position()->SetXYZAsPoint(x, y, z);
    view.traffic->CubeMoved(moved);
  };
  move(30, -20, 12);
  for (int i = 0; i < 2; ++i) {
    EXPECT_LT(EndGap(pipe(i)), 1e-3f) << i;
    EXPECT_NEAR(pipe(i)->Height(),
                Distance(pipe(i)->SrcObject()->AbsolutePosition(), pipe(i)->DstObject()->AbsolutePosition()), 1e-3f);
    // The label repeats along the new length as a new pipe's would.
    EXPECT_FLOAT_EQ(pipe(i)->Material()->TextureEx()->Items(0)->TextureScale()->Y(), 2 * pipe(i)->Height());
  }
  EXPECT_EQ(Distance(pipe(2)->AbsolutePosition(), other), 0.0f);
  EXPECT_EQ(pipe(2)->Height(), otherHeight);

  // A pipe made after the first move, and one of a pair that went, are followed too.
  view.traffic->ProcessLine(Line("10.0.1.1", "10.0.6.1"));
  move(-5, 8, 2);
  for (int i : {0, 1, 3}) EXPECT_LT(EndGap(pipe(i)), 1e-3f) << i;
  view.now += 6000;  // the pipes stall and go; the cubes stay
  view.traffic->Timer_ChkLifeTimer();
  ASSERT_EQ(view.connections->Count(), 0);
  view.traffic->ProcessLine(Line("10.0.1.1", "10.0.2.1"));
  move(1, 1, 1);
  ASSERT_EQ(view.connections->Count(), 1);
  EXPECT_LT(EndGap(pipe(0)), 1e-3f);
}

TEST_F(ArrangedView, APipeWhoseCubeComesBackAtItsSavedPlaceEndsThere) {
  Profiles("[Default]\nNetType=other\n");
  TView view;
  view.traffic->ProcessLine(Line("10.0.1.1", "10.0.2.1"));
  view.MoveAndSave("10.0.1.1", 25, 25, 5);
  auto* pipe = static_cast<MyCylinder*>(view.connections->Children(0));
  // The cube goes (Clear), its pipe stays with an end gone.
  view.traffic->ExpireAllCubes();
  view.now += 1500;
  pipe->LastSeen = view.now;
  view.traffic->Timer_ChkLifeTimer();
  ASSERT_EQ(view.CubeCount(), 0);
  ASSERT_EQ(view.connections->Count(), 1);
  // Traffic brings it back at its saved place; the pipe is stretched there.
  view.traffic->ProcessLine(Line("10.0.1.1", "10.0.2.1"));
  ASSERT_EQ(pipe->SrcObject(), view.traffic->FindCubeForIP("10.0.1.1"));
  EXPECT_EQ(pipe->SrcObject()->Position()->X(), 25.0f);
  EXPECT_LT(EndGap(pipe), 1e-3f);
}

TEST_F(ArrangedView, LinesQueuedBeforeAClearKeepACubeByItsSecondOnly) {
  TView view;
  const std::vector<std::string> hosts = {"10.0.1.1", "10.0.2.1", "10.0.3.1"};
  for (const std::string& h : hosts) view.traffic->ProcessLine(Broadcast(h));
  // A backlog: 300 lines of the three hosts and of one not seen yet, then
  // the click, then one line of the third host.
  TPacketQueue queue;
  for (int i = 0; i < 300; ++i) queue.QueLoad(Broadcast(i < 4 ? "10.0.4.1" : hosts[i % 3]));
  view.traffic->ExpireAllCubes(queue.LastQueued());
  queue.QueLoad(Broadcast(hosts[2]));
  // Processed over 1.5 s, with a check every 500 ms, as the view drains it.
  std::string line;
  for (int i = 0; queue.Take(line); ++i) {
    view.traffic->ProcessLine(line, queue.Taken());
    view.now += 5;
    if (i % 100 == 99) view.traffic->Timer_ChkLifeTimer();
  }
  EXPECT_EQ(view.CubeCount(), 3);  // the first three idle for less than a second; the new one went
  EXPECT_EQ(view.traffic->FindCubeForIP("10.0.4.1"), nullptr);
  // A second after the backlog's end only the host with traffic after the click is left.
  view.now += 1100;
  view.traffic->Timer_ChkLifeTimer();
  ASSERT_EQ(view.CubeCount(), 1);
  EXPECT_EQ(view.traffic->FindCubeForIP(hosts[2])->TTL, 15.0f);

  // Lines from no queue (made-up packets of the test commands) count as new.
  view.traffic->ProcessLine(Broadcast(hosts[0]));
  view.traffic->ExpireAllCubes(queue.LastQueued());
  view.traffic->ProcessLine(Broadcast(hosts[0]));
  EXPECT_EQ(view.traffic->FindCubeForIP(hosts[0])->TTL, 15.0f);
}
