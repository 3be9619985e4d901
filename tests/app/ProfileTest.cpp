// Tests of host profiles: range netmasks, loading and logging, layout by net type, shipped
// profiles, and bad ranges.
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "app/HostProfiles.h"
#include "app/SnifferObject.h"
#include "app/TrafficScene.h"
#include "app/Unit_Globals.h"
#include "platform/IniFiles.h"
#include "platform/Paths.h"
#include "rtl/SysUtils.h"
#include "tests/app/TrafficViewFixture.h"

#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>

TEST(ProfileTest, NetmaskOfARange) {
  EXPECT_EQ(MaskByte(0), 255);
  EXPECT_EQ(MaskByte(1), 254);
  EXPECT_EQ(MaskByte(3), 252);
  EXPECT_EQ(MaskByte(4), 248);
  EXPECT_EQ(MaskByte(127), 128);
  EXPECT_EQ(MaskByte(255), 0);
  EXPECT_EQ(MaskByte(-1), 0);
  std::string mask;
  NetmaskFromRange("192.168.1.0", "192.168.1.255", mask);
  EXPECT_EQ(mask, "255.255.255.0");
  NetmaskFromRange("10.0.0.0", "10.255.255.255", mask);
  EXPECT_EQ(mask, "255.0.0.0");
  NetmaskFromRange("10.0.0.0", "10.0.3.0", mask);
  EXPECT_EQ(mask, "255.255.252.0");
  EXPECT_THROW(NetmaskFromRange("10.0.x.0", "10.0.0.0", mask), EConvertError);
}

TEST(ProfileTest, LoadingReplacesTheProfilesAndLogs) {
  QTemporaryDir dir;
  const std::string file = dir.path().toStdString() + "/SnifferPCsInfo.ini";
  {
    std::ofstream f(file);
    f << "[Default]\r\nNetType=Other\r\n[LAN]\r\nIPmin=192.168.1.0\r\nIPmax=192.168.1.255\r\n"
         "X=3.5\r\nShowAsOneCube=1\r\n[Net10]\r\nIPmin=10.0.0.0\r\nIPmax=10.255.255.255\r\n";
  }
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  THostProfiles p;
  p.LoadPCinfoToArry(file);
  SetPktDataMemo(nullptr);
  ASSERT_EQ(p.PCinfoArray().size(), 3u);
  EXPECT_EQ(p.PCinfoArray()[0].NetType, "other");
  EXPECT_EQ(p.PCinfoArray()[0].Z, 5.0f);
  EXPECT_TRUE(p.PCinfoArray()[1].ShowAsOneCube);
  EXPECT_EQ(p.PCinfoArray()[1].X, 3.5f);
  const std::string text = log.toPlainText().toStdString();
  EXPECT_NE(text.find("Reading LAN MASK:4294967040"), std::string::npos);
  EXPECT_NE(text.find("Reading Net10 MASK:4278190080"), std::string::npos);
  EXPECT_NE(text.find("Read 2 Profiles"), std::string::npos);

  PCOBJinfo found;
  EXPECT_TRUE(p.FindProfileForIP(IPToNumber("192.168.1.77"), found));
  EXPECT_EQ(found.Section, "LAN");
  // The first section is the default and never matched by range, even for its own range.
  EXPECT_FALSE(p.FindProfileForIP(IPToNumber("127.0.0.1"), found));
  EXPECT_EQ(found.Section, "Default");

  // Numbers that are none, not finite, or beyond the view keep their defaults and are logged.
  {
    std::ofstream f(file);
    f << "[Default]\n[Bad]\nIPmin=10.0.0.0\nIPmax=10.0.0.255\nX=nan\nY=1e39\nZ=-inf\nSpread=NaN\n"
         "Width=1e30\nHeight=-10001\nDepth=x\nRADoffset=-10000\nIPBlockRadius=10000\n";
  }
  SetPktDataMemo(&log);
  log.clear();
  p.LoadPCinfoToArry(file);
  SetPktDataMemo(nullptr);
  ASSERT_EQ(p.PCinfoArray().size(), 2u);
  const PCOBJinfo& bad = p.PCinfoArray()[1];
  const PCOBJinfo defaults;
  for (float v : {bad.X, bad.Y, bad.Z, bad.Spread, bad.Width, bad.Height, bad.Depth}) EXPECT_TRUE(std::isfinite(v));
  EXPECT_EQ(bad.X, defaults.X);
  EXPECT_EQ(bad.Y, defaults.Y);
  EXPECT_EQ(bad.Z, defaults.Z);
  EXPECT_EQ(bad.Spread, defaults.Spread);
  EXPECT_EQ(bad.Width, defaults.Width);
  EXPECT_EQ(bad.Height, defaults.Height);
  EXPECT_EQ(bad.Depth, defaults.Depth);
  EXPECT_EQ(bad.RADoffset, -10000.0f);  // the limits themselves are positions
  EXPECT_EQ(bad.IPBlockRadius, 10000.0f);
  const QStringList lines = log.toPlainText().split('\n');
  for (const char* told :
       {"[Bad] X=nan not usable, 0 used", "[Bad] Y=1e39 not usable, 0 used", "[Bad] Z=-inf not usable, 5 used",
        "[Bad] Spread=NaN not usable, 2.5 used", "[Bad] Width=1e30 not usable, 2 used",
        "[Bad] Height=-10001 not usable, 2 used", "[Bad] Depth=x not usable, 2 used"})
    EXPECT_TRUE(lines.contains(QString("SnifferPCsInfo.ini ") + told)) << told;
  EXPECT_EQ(lines.filter("not usable").size(), 7);

  // A missing file leaves one built-in default profile.
  p.LoadPCinfoToArry(dir.path().toStdString() + "/none.ini");
  ASSERT_EQ(p.PCinfoArray().size(), 1u);
  EXPECT_FALSE(p.FindProfileForIP(1, found));
  EXPECT_EQ(found.NetType, "fixed");
}

TEST(ProfileTest, LayoutByNetType) {
  PCOBJinfo other;
  other.NetType = "other";
  TCubePlacement o = PlaceCube(other, "10.20.30.40");
  EXPECT_FLOAT_EQ(o.Z, 60.0f);
  const double r = 20 * (200.0 / 255.0) + 5.0;
  EXPECT_NEAR(o.X, std::sin(30 * 1.4078 * M_PI / 180) * r, 1e-3);
  EXPECT_NEAR(o.Y, std::cos(30 * 1.4078 * M_PI / 180) * r, 1e-3);

  PCOBJinfo local;
  local.NetType = "localnet";
  local.Z = 7;
  TCubePlacement l = PlaceCube(local, "192.168.4.17");
  EXPECT_FLOAT_EQ(l.X, 17.5f);
  EXPECT_FLOAT_EQ(l.Y, 17.5f);
  EXPECT_FLOAT_EQ(l.Z, 7.0f);
  EXPECT_EQ(l.Colour, RGBColour(0, 0, 255));

  PCOBJinfo fixed;
  fixed.X = 1;
  fixed.Y = 2;
  TCubePlacement f = PlaceCube(fixed, "1.2.30.4");
  EXPECT_EQ(f.X, 1.0f);
  EXPECT_EQ(f.Y, 2.0f);
  EXPECT_EQ(f.Colour, RGBColour(9, 255, 0));
  EXPECT_EQ(PlaceCube(fixed, "1.2.030.4").Colour, RGBColour(0, 128, 128));  // compared as text

  EXPECT_THROW(PlaceCube(local, "1.2.3.x"), EConvertError);
  EXPECT_EQ(CubeNameFor("10.1.2.3", true), "IP10_1_2_3");
  EXPECT_EQ(CubeNameFor("10.1.2.3", false), "IP10_1_2");
  EXPECT_EQ(CubeNameFor("10.1.", false), "IP10_1");  // pieces as Split gives them
  EXPECT_EQ(CubeNameFor("10..2.3", false), "IP10__2");
}

#ifdef TAMRIVEL_APP_FILES
// The shipped profile file gives a first view in which local and loopback hosts
// stand apart from each other and from the ring of public blocks, on the floor
// and above it, with room for their cubes. (Neighbouring blocks sit
// close on the ring by design, so pairs of blocks are not compared.)
TEST(ProfileTest, ShippedProfilesKeepHostsApart) {
  THostProfiles p;
  p.LoadPCinfoToArry(std::string(TAMRIVEL_APP_FILES) + "/SnifferPCsInfo.ini");
  ASSERT_GT(p.PCinfoArray().size(), 1u);

  // Hosts of the local grids (corners included), blocks of other private
  // ranges and public blocks (the ring's inner edge at the grids' corner
  // angle, and far octets).
  const char* addresses[] = {"192.168.1.1",   "192.168.1.2",  "192.168.1.0",   "192.168.1.255", "192.168.1.17",
                             "192.168.0.1",   "192.168.0.0",  "192.168.0.255", "10.0.0.5",      "10.0.0.0",
                             "10.0.0.255",    "127.0.0.1",    "127.0.0.53",    "127.0.0.0",     "127.0.0.255",
                             "192.168.4.5",   "192.168.20.5", "10.9.9.255",    "172.17.0.2",    "8.8.8.8",
                             "1.1.1.1",       "1.0.32.1",     "76.0.32.1",     "200.0.32.1",    "142.250.74.46",
                             "255.255.255.1", "0.0.0.1",      "223.0.0.7",     "151.101.1.69",  "52.84.12.9"};
  struct Placed {
    std::string ip;
    float x, y, z, half;
    bool local;
  };
  std::vector<Placed> placed;
  for (const char* ip : addresses) {
    PCOBJinfo profile;
    const bool local = p.FindProfileForIP(IPToNumber(ip), profile);
    const TCubePlacement at = PlaceCube(profile, ip);
    const float half = std::max({profile.Width, profile.Height, profile.Depth}) / 2;
    EXPECT_GE(half, 1.5f) << ip << ": cube too small to see from the starting camera";
    EXPECT_LE(std::fabs(at.X) + half, 200.0f) << ip;
    EXPECT_LE(std::fabs(at.Y) + half, 200.0f) << ip;
    EXPECT_GE(at.Z - half, 0.0f) << ip;
    placed.push_back({ip, at.X, at.Y, at.Z, half, local});
  }
  for (size_t i = 0; i < placed.size(); ++i)
    for (size_t j = i + 1; j < placed.size(); ++j) {
      const Placed& a = placed[i];
      const Placed& b = placed[j];
      if (!a.local && !b.local) continue;
      const float apart = std::max({std::fabs(a.x - b.x), std::fabs(a.y - b.y), std::fabs(a.z - b.z)});
      EXPECT_GE(apart, a.half + b.half) << a.ip << " and " << b.ip << " overlap";
    }
}
#endif

namespace {
// Loads `text` as the profiles file; the packet-data log lines it wrote.
QStringList LoadText(THostProfiles& p, const std::string& text) {
  QTemporaryDir dir;
  const std::string file = dir.path().toStdString() + "/SnifferPCsInfo.ini";
  std::ofstream(file, std::ios::binary) << text;
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  p.LoadPCinfoToArry(file);
  SetPktDataMemo(nullptr);
  return log.toPlainText().split('\n');
}

std::vector<std::string> Sections(const THostProfiles& p) {
  std::vector<std::string> names;
  for (const PCOBJinfo& profile : p.PCinfoArray()) names.push_back(profile.Section);
  return names;
}
}  // namespace

TEST(ProfileTest, BadRangeIsLoggedWithItsSectionAndSkipped) {
  THostProfiles p;
  const QStringList log =
      LoadText(p,
               "[Default]\n[LAN]\nIPmin=192.168.1.0\nIPmax=192.168.1.255\n[Bad]\nIPmin=1.2.3\n"
               "[Typo]\nIPmin=192.168.1.0\nIPmax=192.168.1.999\n[Hex]\nIPmin=0x0A.0.0.0\nIPmax=10.0.0.255\n"
               "[Later]\nIPmin=10.1.0.0\nIPmax=10.1.0.255\n");
  EXPECT_EQ(Sections(p), (std::vector<std::string>{"Default", "LAN", "Later"}));
  EXPECT_TRUE(log.contains("LoadPCinfoToArry [Bad] IPmin=1.2.3 IPmax=127.0.0.1: Range check error; profile skipped"));
  EXPECT_TRUE(
      log.contains("LoadPCinfoToArry [Typo] IPmin=192.168.1.0 IPmax=192.168.1.999: '999' is not an address "
                   "octet (0 to 255); profile skipped"));
  EXPECT_TRUE(
      log.contains("LoadPCinfoToArry [Hex] IPmin=0x0A.0.0.0 IPmax=10.0.0.255: '0x0A' is not a valid integer "
                   "value; profile skipped"));
  EXPECT_TRUE(log.contains("Read 2 Profiles"));
  // The typo no longer stretches a profile over the next blocks.
  PCOBJinfo found;
  EXPECT_FALSE(p.FindProfileForIP(IPToNumber("192.168.4.231"), found));

  // A bad first section stays the default profile.
  LoadText(p, "[Default]\nIPmin=x\nNetType=other\n[LAN]\nIPmin=192.168.1.0\nIPmax=192.168.1.255\n");
  EXPECT_EQ(Sections(p), (std::vector<std::string>{"Default", "LAN"}));
  EXPECT_EQ(p.PCinfoArray()[0].NetType, "other");
}

TEST(ProfileTest, AReversedRangeIsLoggedWithItsSection) {
  THostProfiles p;
  const QStringList log =
      LoadText(p, "[Default]\nIPmin=10.0.0.9\nIPmax=10.0.0.1\n[Srv]\nIPmin=10.0.0.9\nIPmax=10.0.0.1\n");
  EXPECT_EQ(log.filter("above").size(), 1);  // the default's range is never matched
  EXPECT_TRUE(
      log.contains("LoadPCinfoToArry [Srv] IPmin=10.0.0.9 is above IPmax=10.0.0.1: the profile matches no "
                   "address"));
  EXPECT_EQ(Sections(p), (std::vector<std::string>{"Default", "Srv"}));
}

TEST(ProfileTest, SectionsAreFoundAsTheIniLayerFindsThem) {
  THostProfiles p;
  // A byte-order mark before the first section.
  QStringList log =
      LoadText(p, "\xEF\xBB\xBF[Default]\nNetType=other\n[LAN]\nIPmin=192.168.1.0\nIPmax=192.168.1.255\n");
  EXPECT_EQ(Sections(p), (std::vector<std::string>{"Default", "LAN"}));
  EXPECT_EQ(p.PCinfoArray()[0].NetType, "other");
  EXPECT_TRUE(log.contains("Read 1 Profiles"));
  PCOBJinfo found;
  EXPECT_TRUE(p.FindProfileForIP(IPToNumber("192.168.1.7"), found));

  // An indented section and a comment after a section name, keys read.
  log = LoadText(p,
                 "[Default]\n  [LAN]\nIPmin=192.168.1.0\nIPmax=192.168.1.255\n"
                 "[Srv] ; servers\nIPmin=10.0.0.0\nIPmax=10.0.0.255\nNetType=Other\n");
  EXPECT_EQ(Sections(p), (std::vector<std::string>{"Default", "LAN", "Srv"}));
  EXPECT_TRUE(p.FindProfileForIP(IPToNumber("192.168.1.7"), found));
  EXPECT_EQ(found.Section, "LAN");
  EXPECT_TRUE(p.FindProfileForIP(IPToNumber("10.0.0.7"), found));
  EXPECT_EQ(found.Section, "Srv");
  EXPECT_EQ(found.NetType, "other");
  EXPECT_TRUE(log.contains("Reading Srv MASK:4294967040"));
}

TEST(ProfileTest, ASectionNameUsedTwiceIsLoggedAndLoneCrLineEndsEndLines) {
  THostProfiles p;
  // The second [LAN] is not read (the first of one name wins, as the save
  // and every other reader of the file take it): it is logged by its name.
  QStringList log = LoadText(p,
                             "[Default]\n[LAN]\nIPmin=192.168.1.0\nIPmax=192.168.1.255\n[Srv]\nIPmin=10.0.0.0\n"
                             "IPmax=10.0.0.255\n[lan]\nIPmin=192.168.2.0\nIPmax=192.168.2.255\n");
  EXPECT_EQ(Sections(p), (std::vector<std::string>{"Default", "LAN", "Srv"}));
  EXPECT_TRUE(
      log.contains("LoadPCinfoToArry SnifferPCsInfo.ini line 8: [lan] repeats the section of line 2; its "
                   "keys are not read"))
      << log.join('\n').toStdString();
  EXPECT_TRUE(log.contains("Read 2 Profiles"));

  // Line ends of an old Mac editor (CR alone), also mixed into an LF file:
  // every header starts its section, none is taken into the line before.
  log = LoadText(p,
                 "[Default]\r[Srv]\rIPmin=10.0.0.0\rIPmax=10.0.0.255\r  [Wide]\rIPmin=10.1.0.0\r"
                 "IPmax=10.1.255.255\rNetType=other\r");
  EXPECT_EQ(Sections(p), (std::vector<std::string>{"Default", "Srv", "Wide"}));
  EXPECT_EQ(p.PCinfoArray()[1].IPmax, IPToNumber("10.0.0.255"));
  EXPECT_EQ(p.PCinfoArray()[2].NetType, "other");
  EXPECT_TRUE(log.contains("Read 2 Profiles"));
  LoadText(p, "[Default]\n[Srv]\nIPmin=10.0.0.0\nIPmax=10.0.0.255\r  [Wide]\nIPmin=10.1.0.0\nIPmax=10.1.255.255\n");
  EXPECT_EQ(Sections(p), (std::vector<std::string>{"Default", "Srv", "Wide"}));
  EXPECT_EQ(p.PCinfoArray()[1].IPmax, IPToNumber("10.0.0.255"));
}

TEST(ProfileTest, ARangeEndOfMoreThanFourPiecesIsLoggedAndSkipped) {
  THostProfiles p;
  const QStringList log = LoadText(p,
                                   "[Default]\n[Five]\nIPmin=192.168.1.0\nIPmax=192.168.1.255.9\n"
                                   "[LAN]\nIPmin=192.168.1.0\nIPmax=192.168.1.255\n");
  EXPECT_EQ(Sections(p), (std::vector<std::string>{"Default", "LAN"}));
  EXPECT_TRUE(
      log.contains("LoadPCinfoToArry [Five] IPmin=192.168.1.0 IPmax=192.168.1.255.9: '192.168.1.255.9' is "
                   "not an address: more than four pieces; profile skipped"))
      << log.join('\n').toStdString();
}

namespace {
// A traffic scene on the program folder's profiles, as the view makes it at start.
struct TSavedPlaces : TTrafficViewFixture {
  TSavedPlaces() { traffic->LoadPCinfoToArry(); }
};
}  // namespace

TEST(ProfileTest, ASavedPlaceComesBackAndNoOtherCubeMoves) {
  QTemporaryDir dir;
  SetProgramFolder(dir.path().toStdString());
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  const std::string file = ProgramFile("SnifferPCsInfo.ini");
  std::ofstream(file) << "[Default]\nNetType=other\nWidth=6\nTexture=Net.bmp\n"
                         "[Remote]\nIPmin=10.9.0.0\nIPmax=10.9.255.255\nNetType=other\n"
                         "[LAN]\nIPmin=192.168.1.0\nIPmax=192.168.1.255\nZ=3\nNetType=localnet\nSpread=6\n"
                         "[Pinned]\nIPmin=10.7.0.1\nIPmax=10.7.0.1\nX=1\nY=2\nZ=3\n";
  const std::vector<std::string> ips = {"192.168.1.50", "192.168.1.7", "10.9.1.1", "10.9.2.2",
                                        "172.16.5.10",  "172.16.6.1",  "10.7.0.1", "127.0.0.1"};
  std::map<std::string, std::array<float, 3>> before;
  {
    TSavedPlaces run;
    before = run.Places(ips);
    run.MoveAndSave("192.168.1.50", before["192.168.1.50"][0], before["192.168.1.50"][1], 3);  // saved unmoved
    run.MoveAndSave("10.9.1.1", 11, 22, 33);
    // Kept, the cube is from now on what a restart makes of it (its drops kept).
    const SnifferObject* kept = run.traffic->FindCubeForIP("10.9.1.1");
    EXPECT_EQ(kept->NetType + " " + kept->ProfileName, "fixed IP10_9_1_1");
    run.MoveAndSave("172.16.5.10", -40, 50, 20);
    run.MoveAndSave("10.7.0.1", 4, 5, 6);
    run.MoveAndSave("10.9.1.1", 12, 22, 33);  // again: the same section
  }
  before["10.9.1.1"] = {12, 22, 33};
  before["10.7.0.1"] = {4, 5, 6};
  before["172.16.5.99"] = {-40, 50, 20};  // another address of the block comes first now
  std::vector<std::string> again = ips;
  again[4] = "172.16.5.99";
  TSavedPlaces restarted;
  for (const auto& [ip, at] : restarted.Places(again)) EXPECT_EQ(at, before[ip]) << ip;
  EXPECT_EQ(restarted.traffic->FindCubeForIP("172.16.5.10"), restarted.traffic->FindCubeForIP("172.16.5.99"));
  // Nothing that reads as another profile: the default stays first, 127.0.0.1 matches none.
  TIniFile ini(file);
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Default", "IP10_9_1_1", "Remote", "IP192_168_1_50", "LAN",
                                                          "Pinned", "IP172_16_5"}));
  EXPECT_EQ(ini.ReadString("IP172_16_5", "Texture", ""), "Net.bmp");
  PCOBJinfo found;
  EXPECT_FALSE(restarted.traffic->Profiles().FindProfileForIP(IPToNumber("127.0.0.1"), found));
  const std::string saved = log.toPlainText().toStdString();
  EXPECT_NE(saved.find("SaveObjectPosition IP10_9_1_1 at X=11 Y=22 Z=33 in new [IP10_9_1_1] before [Remote]"),
            std::string::npos);

  // A place the profiles cannot hold, or a name taken by other addresses: logged, nothing written.
  auto contents = [&] { return std::string(std::istreambuf_iterator<char>(std::ifstream(file).rdbuf()), {}); };
  const std::string text = contents();
  restarted.MoveAndSave("10.9.2.2", 1e6f, 0, 0);
  EXPECT_EQ(contents(), text);
  ini.AddSection("IP10_9_2_2", {{"IPmin", "10.9.3.3"}, {"IPmax", "10.9.3.3"}});
  const std::string withTaken = contents();
  restarted.MoveAndSave("10.9.2.2", 1, 1, 1);
  EXPECT_EQ(contents(), withTaken);
  // Without any section, a new one would be read as the default profile.
  std::ofstream(file) << "; no profiles\n";
  restarted.MoveAndSave("10.9.2.2", 1, 1, 1);
  EXPECT_EQ(contents(), "; no profiles\n");
  const QStringList lines = log.toPlainText().split('\n').filter("not saved");
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(lines[2].endsWith("no default profile to keep first"));
  EXPECT_TRUE(lines[0].startsWith("SaveObjectPosition IP10_9_2_2 at X=1000000 Y=0 Z=0 not saved: beyond the view"));
  EXPECT_TRUE(lines[1].endsWith("a section [IP10_9_2_2] for other addresses"));
  SetPktDataMemo(nullptr);
  SetProgramFolder("");
}

TEST(ProfileTest, AFeedAddressWithABadOctetMakesNoCube) {
  QTemporaryDir dir;
  SetProgramFolder(dir.path().toStdString());
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  ResetLogLimits();
  std::ofstream(ProgramFile("SnifferPCsInfo.ini"))
      << "[Default]\n[LAN4]\nIPmin=192.168.4.0\nIPmax=192.168.4.255\nNetType=localnet\n";
  TSavedPlaces run;
  auto line = [](const std::string& src, const std::string& dst) {
    return "t\tm1\tm2\t0800\t60\t" + src + "\t1\t" + dst + "\t2\tUDP\tx";
  };
  // As the source: the queue's guard logs the refusal. 192.168.1.999 once
  // made a cube numbered as 192.168.4.231, of the LAN4 range.
  EXPECT_THROW(run.traffic->ProcessLine(line("192.168.1.999", "192.168.4.1")), ERangeError);
  EXPECT_EQ(run.pcs->Count(), 0);
  run.traffic->ProcessLine(line("192.168.4.1", "192.168.1.999"));
  EXPECT_EQ(run.pcs->Count(), 1);
  FlushLogCounts();
  EXPECT_TRUE(log.toPlainText().contains("*ERR Add-DST-Objects'999' is not an address octet (0 to 255)"));
  SetPktDataMemo(nullptr);
  SetProgramFolder("");
}

TEST(ProfileTest, AFeedAddressOfMoreThanFourPiecesMakesNoCube) {
  QTemporaryDir dir;
  SetProgramFolder(dir.path().toStdString());
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  ResetLogLimits();
  std::ofstream(ProgramFile("SnifferPCsInfo.ini")) << "[Default]\n";
  TSavedPlaces run;
  auto line = [](const std::string& src, const std::string& dst) {
    return "t\tm1\tm2\t0800\t60\t" + src + "\t1\t" + dst + "\t2\tUDP\tx";
  };
  // 192.168.1.5.3 once made a second cube for 192.168.1.5, and a pipe
  // between the two.
  EXPECT_THROW(run.traffic->ProcessLine(line("192.168.1.5.3", "192.168.1.5")), ERangeError);
  EXPECT_EQ(run.pcs->Count(), 0);
  run.traffic->ProcessLine(line("192.168.1.5", "192.168.1.5.3"));
  EXPECT_EQ(run.pcs->Count(), 1);
  FlushLogCounts();
  EXPECT_TRUE(
      log.toPlainText().contains("*ERR Add-DST-Objects'192.168.1.5.3' is not an address: more than four pieces"))
      << log.toPlainText().toStdString();
  SetPktDataMemo(nullptr);
  SetProgramFolder("");
}
