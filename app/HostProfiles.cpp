// Host profiles: loading "SnifferPCsInfo.ini", the profile of an address, range netmasks, and
// the placement, colour and name of a new cube.
#include "app/HostProfiles.h"

#include "app/Settings.h"
#include "app/Unit_Globals.h"
#include "platform/IniFiles.h"
#include "rtl/SysUtils.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <unistd.h>

int MaskByte(int x) {
  if (x == 0) return 255;
  if (x == 1) return 254;
  if (x >= 2 && x <= 3) return 252;
  if (x >= 4 && x <= 7) return 248;
  if (x >= 8 && x <= 15) return 240;
  if (x >= 16 && x <= 31) return 224;
  if (x >= 32 && x <= 63) return 192;
  if (x >= 64 && x <= 127) return 128;
  return 0;
}

void NetmaskFromRange(const std::string& ipA, const std::string& ipB, std::string& mask) {
  const TSplitArray a = Split(ipA, ".");
  const TSplitArray b = Split(ipB, ".");
  if (a.size() < 4 || b.size() < 4) throw ERangeError("'" + ipA + "' - '" + ipB + "' is not an address range");
  int m[4];
  for (int i = 0; i < 4; ++i) m[i] = MaskByte(StrToInt(a[i]) ^ StrToInt(b[i]));
  if (m[0] < 255)
    m[1] = m[2] = m[3] = 0;
  else if (m[1] < 255)
    m[2] = m[3] = 0;
  else if (m[2] < 255)
    m[3] = 0;
  mask = IntToStr(m[0]) + "." + IntToStr(m[1]) + "." + IntToStr(m[2]) + "." + IntToStr(m[3]);
}

THostProfiles::THostProfiles() : FProfiles(1) {}

void THostProfiles::LoadPCinfoToArry(const std::string& fileName) {
  FFileName = fileName;
  if (::access(fileName.c_str(), R_OK) != 0) {
    FProfiles.assign(1, PCOBJinfo());
    LogToPktData("LoadPCinfoToArry cannot open " + fileName);
    return;
  }
  // The sections as the ini layer sees them (a byte-order mark, blanks
  // before "[" and a comment after "]" are no part of a name; the first of
  // sections of one name is the one read, a later one is logged).
  TIniFile ini(fileName);
  const std::string shortName = fileName.substr(fileName.rfind('/') + 1);
  ini.OnWarning([&shortName](const std::string& w) { LogToPktData("LoadPCinfoToArry " + shortName + " " + w); });
  const std::vector<std::string> sections = ini.ReadSections();
  // Every number is a position, a length or a step between positions: one
  // that is not finite or lies beyond the view keeps its default (logged).
  auto number = [&ini](const std::string& section, const char* key, double def) {
    return static_cast<float>(
        ReadFloatSetting(ini, section, key, def, -MaxProfileNumber, MaxProfileNumber, LogToPktData));
  };
  std::vector<PCOBJinfo> profiles;
  for (const std::string& s : sections) {
    PCOBJinfo p;
    p.Section = s;
    p.ObjName = s;
    const std::string minText = ini.ReadString(s, "IPmin", "127.0.0.1");
    const std::string maxText = ini.ReadString(s, "IPmax", "127.0.0.1");
    try {
      p.IPmin = IPToNumber(minText);
      p.IPmax = IPToNumber(maxText);
      std::string maskText;
      NetmaskFromRange(minText, maxText, maskText);
      try {
        p.Netmask = IPToNumber(maskText);
        LogToPktData("Reading " + s + " MASK:" + std::to_string(p.Netmask));
      } catch (const std::exception& e) {
        LogToPktData("LoadPCinfoToArry " + maskText + " " + e.what());
      }
    } catch (const std::exception& e) {
      const std::string range = "[" + s + "] IPmin=" + minText + " IPmax=" + maxText + ": " + e.what();
      if (!profiles.empty()) {
        LogToPktData("LoadPCinfoToArry " + range + "; profile skipped");
        continue;
      }
      // The first section is the default profile, which no range selects:
      // it stays the default.
      LogToPktData("LoadPCinfoToArry " + range + "; default profile read without its range");
      p.IPmin = p.IPmax = PCOBJinfo().IPmin;
    }
    if (p.IPmin > p.IPmax && !profiles.empty())
      LogToPktData("LoadPCinfoToArry [" + s + "] IPmin=" + minText + " is above IPmax=" + maxText +
                   ": the profile matches no address");
    p.X = number(s, "X", 0.0);
    p.Y = number(s, "Y", 0.0);
    p.Z = number(s, "Z", 5.0);
    p.ComputerName = ini.ReadString(s, "ComputerName", "N/A");
    p.IP = AddressText(ini.ReadString(s, "IP", "127.0.0.1"));
    p.Texture = ini.ReadString(s, "Texture", "default.bmp");
    p.NetType = ini.ReadString(s, "NetType", "fixed");
    std::transform(p.NetType.begin(), p.NetType.end(), p.NetType.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    p.ShowAsOneCube = ini.ReadBool(s, "ShowAsOneCube", false);
    p.IPBlockRadius = number(s, "IPBlockRadius", 200.0);
    p.RADoffset = number(s, "RADoffset", 5.0);
    p.Spread = number(s, "Spread", 2.5);
    p.IPBlockZmin = number(s, "IPBlockZmin", 35.0);
    p.IPBlockSpreadZ = number(s, "IPBlockSpreadZ", 2.5);
    p.RadiusPerStep = p.IPBlockRadius / 255.0f;
    p.Width = number(s, "Width", 2.0);
    p.Height = number(s, "Height", 2.0);
    p.Depth = number(s, "Depth", 2.0);
    p.BlockCube = !profiles.empty() && (p.IPmin & 0xFFu) == 0 && p.IPmax == (p.IPmin | 0xFFu) &&
                  SameText(s, PlaceSectionName(p.IPmin, p.IPmax, TCubeKind::Block));
    profiles.push_back(std::move(p));
  }
  if (profiles.empty()) {
    LogToPktData("LoadPCinfoToArry no profile in " + fileName);
    profiles.emplace_back();
  }
  FProfiles = std::move(profiles);
  LogToPktData("Read " + std::to_string(static_cast<int>(FProfiles.size()) - 1) + " Profiles");
}

size_t THostProfiles::MatchIndex(uint32_t ip) const {
  for (size_t i = 1; i < FProfiles.size(); ++i)
    if (FProfiles[i].IPmin <= ip && ip <= FProfiles[i].IPmax) return i;
  return 0;
}

bool THostProfiles::FindProfileForIP(uint32_t ip, PCOBJinfo& profile) const {
  const size_t i = MatchIndex(ip);
  profile = FProfiles[i];
  return i != 0;
}

std::string PlaceSectionName(uint32_t lo, uint32_t hi, THostProfiles::TCubeKind kind) {
  if (lo == hi && kind != THostProfiles::TCubeKind::Group) return CubeNameFor(DottedAddress(lo), true);
  if (kind == THostProfiles::TCubeKind::Block) return CubeNameFor(DottedAddress(lo), false);
  return CubeNameFor(DottedAddress(lo), true) + "-" + CubeNameFor(DottedAddress(hi), true).substr(2);
}

namespace {
// The keys of a profile's section, as LoadPCinfoToArry reads them back.
std::vector<std::pair<std::string, std::string>> ProfileKeys(const PCOBJinfo& p) {
  return {{"IP", p.IP},
          {"IPmin", DottedAddress(p.IPmin)},
          {"IPmax", DottedAddress(p.IPmax)},
          {"NetType", p.NetType},
          {"ShowAsOneCube", p.ShowAsOneCube ? "1" : "0"},
          {"X", FloatToStr(p.X)},
          {"Y", FloatToStr(p.Y)},
          {"Z", FloatToStr(p.Z)},
          {"ComputerName", p.ComputerName},
          {"Texture", p.Texture},
          {"Width", FloatToStr(p.Width)},
          {"Height", FloatToStr(p.Height)},
          {"Depth", FloatToStr(p.Depth)},
          {"Spread", FloatToStr(p.Spread)},
          {"IPBlockRadius", FloatToStr(p.IPBlockRadius)},
          {"RADoffset", FloatToStr(p.RADoffset)},
          {"IPBlockZmin", FloatToStr(p.IPBlockZmin)},
          {"IPBlockSpreadZ", FloatToStr(p.IPBlockSpreadZ)}};
}
}  // namespace

const PCOBJinfo* THostProfiles::KeepPlace(const std::string& ip, uint32_t lo, uint32_t hi, TCubeKind kind, float x,
                                          float y, float z, std::string& told) {
  for (float v : {x, y, z})
    if (!std::isfinite(v) || std::fabs(v) > MaxProfileNumber) {
      told = "beyond the view, the profiles hold no such place";
      return nullptr;
    }
  if (FFileName.empty()) {
    told = "no profiles file was read";
    return nullptr;
  }
  TIniFile ini(FFileName);
  if (ini.ReadSections().empty()) {
    told = "the profiles file has no default profile to keep first";
    return nullptr;
  }
  const size_t matched = MatchIndex(IPToNumber(ip));
  const std::string matchedName = matched ? FProfiles[matched].Section : std::string();
  if (matched && !ini.SectionExists(matchedName)) {
    told = "the profiles file has changed since it was read: no section [" + matchedName + "]";
    return nullptr;
  }
  // A "fixed" profile for just these addresses holds the place itself; one
  // of more addresses would move its other hosts too.
  if (matched && FProfiles[matched].NetType == "fixed" && FProfiles[matched].IPmin == lo &&
      FProfiles[matched].IPmax == hi) {
    ini.WriteFloat(matchedName, "X", x);
    ini.WriteFloat(matchedName, "Y", y);
    ini.WriteFloat(matchedName, "Z", z);
    PCOBJinfo& p = FProfiles[matched];
    p.X = x;
    p.Y = y;
    p.Z = z;
    told = "in [" + matchedName + "]";
    return &p;
  }
  // Any other place comes back through a "fixed" profile of its own, read
  // before the profile that matches the cube now: a grid's or a ring's
  // profile places every address of its range from its numbers, and a
  // "fixed" one of more addresses stands them all at one place.
  const std::string name = PlaceSectionName(lo, hi, kind);
  const bool taken =
      std::any_of(FProfiles.begin(), FProfiles.end(), [&](const PCOBJinfo& p) { return SameText(p.Section, name); });
  if (taken || ini.SectionExists(name)) {
    told = "the profiles file has a section [" + name + "] for other addresses";
    return nullptr;
  }
  // Size, texture and the rest as the profile of the cube has them (the
  // default's for a cube no profile matched).
  PCOBJinfo profile = FProfiles[matched];
  profile.Section = profile.ObjName = name;
  profile.IP = ip;
  profile.IPmin = lo;
  profile.IPmax = hi;
  std::string mask;
  NetmaskFromRange(DottedAddress(lo), DottedAddress(hi), mask);
  profile.Netmask = IPToNumber(mask);
  profile.NetType = "fixed";
  profile.ShowAsOneCube = kind == TCubeKind::Group;
  profile.BlockCube = kind == TCubeKind::Block;
  profile.X = x;
  profile.Y = y;
  profile.Z = z;
  ini.AddSection(name, ProfileKeys(profile), matchedName);
  const auto at = FProfiles.insert(matched ? FProfiles.begin() + static_cast<std::ptrdiff_t>(matched) : FProfiles.end(),
                                   std::move(profile));
  told = "in new [" + name + "]" + (matched ? " before [" + matchedName + "]" : "");
  return &*at;
}

namespace {
uint32_t ColourByThirdOctet(const std::string& c) {
  if (c == "1") return RGBColour(128, 0, 0);
  if (c == "2") return RGBColour(128, 128, 0);
  if (c == "3") return RGBColour(128, 64, 0);
  if (c == "4") return RGBColour(0, 0, 255);
  if (c == "5") return RGBColour(255, 128, 64);
  if (c == "30") return RGBColour(9, 255, 0);
  return RGBColour(0, 128, 128);
}

const std::string& Octet(const TSplitArray& o, size_t i) {
  static const std::string none;
  return i < o.size() ? o[i] : none;
}
}  // namespace

TCubePlacement PlaceCube(const PCOBJinfo& profile, const std::string& ip) {
  TCubePlacement r;
  r.X = profile.X;
  r.Y = profile.Y;
  r.Z = profile.Z;
  const TSplitArray o = Split(ip, ".");
  if (profile.NetType == "other") {
    const int a = StrToInt(Octet(o, 0)), b = StrToInt(Octet(o, 1)), c = StrToInt(Octet(o, 2));
    r.Z = a * profile.IPBlockSpreadZ + profile.IPBlockZmin;
    const double radius = b * static_cast<double>(profile.RadiusPerStep) + profile.RADoffset;
    const double angle = c * 1.4078 * M_PI / 180.0;
    r.X = static_cast<float>(std::sin(angle) * radius);
    r.Y = static_cast<float>(std::cos(angle) * radius);
  } else if (profile.NetType == "fixed") {
    r.Colour = ColourByThirdOctet(Octet(o, 2));
  } else if (profile.NetType == "localnet") {
    const int d = StrToInt(Octet(o, 3));
    r.X = (16 * profile.Spread + profile.X) / 2 - (d / 16) * profile.Spread;
    r.Y = (16 * profile.Spread + profile.Y) / 2 - (d % 16) * profile.Spread;
    r.Colour = ColourByThirdOctet(Octet(o, 2));
  }
  return r;
}

std::string CubeNameFor(const std::string& ip, bool wholeAddress) {
  if (wholeAddress) {
    std::string name = "IP" + ip;
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
  }
  // The first three pieces between dots, as Split gives them (an empty
  // last piece is dropped); built in place, as every packet asks for it.
  std::string name = "IP";
  size_t start = 0;
  for (int n = 0; n < 3; ++n) {
    const size_t dot = ip.find('.', start);
    const size_t end = dot == std::string::npos ? ip.size() : dot;
    if (dot == std::string::npos && end == start) break;
    if (n) name += '_';
    name.append(ip, start, end - start);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return name;
}
