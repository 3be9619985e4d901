// Host profiles of "SnifferPCsInfo.ini": where a host's cube stands, how big it
// is, what it shows, and whether it stands for one address, a /24 block or a
// whole range. Also the netmask of a profile range and the layout of a new cube.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PCOBJinfo {
  std::string Section;
  float X = 0, Y = 0, Z = 5.0f;
  std::string ComputerName = "N/A";
  std::string ObjName;
  uint32_t IPmin = 0x7F000001;
  uint32_t IPmax = 0x7F000001;
  uint32_t Netmask = 0;
  std::string IP = "127.0.0.1";
  std::string Texture = "default.bmp";
  std::string NetType = "fixed";
  bool ShowAsOneCube = false;
  float IPBlockRadius = 200.0f;
  float RADoffset = 5.0f;
  float Spread = 2.5f;
  float IPBlockZmin = 35.0f;
  float IPBlockSpreadZ = 2.5f;
  float RadiusPerStep = 200.0f / 255.0f;
  float Width = 2.0f, Height = 2.0f, Depth = 2.0f;
  // The profile keeps the place of a /24 block's cube: its section is named
  // after that cube ("IP10_1_2") and its range is the block. Its addresses
  // share that one cube among the hosts, as addresses no profile matches do.
  bool BlockCube = false;
};

// Largest magnitude of a profile's numbers (positions, sizes, layout steps):
// the view's depth, beyond which nothing is seen.
constexpr double MaxProfileNumber = 10000.0;

// Mask octet for the XOR of two address octets.
int MaskByte(int x);
// Netmask text of the range ipA..ipB; raises EConvertError on a bad octet.
void NetmaskFromRange(const std::string& ipA, const std::string& ipB, std::string& mask);

class THostProfiles {
 public:
  THostProfiles();

  // Replaces the profiles with the sections of `fileName`, in file order,
  // as the ini layer reads them (TIniFile::ReadSections); what the ini layer
  // cannot read as written (a section name used twice) is logged.
  // A number that is not one, not finite or beyond MaxProfileNumber keeps
  // its default and is logged with its section and key.
  // A missing file or one without sections leaves the built-in default
  // profile alone in the list; the failure is logged. A profile whose
  // IPmin or IPmax is no address is logged with its section and skipped (the
  // first section stays the default, without its range); one whose IPmin is
  // above its IPmax is logged, as it matches no address.
  void LoadPCinfoToArry(const std::string& fileName);

  // First profile 1..last whose range holds `ip`; otherwise profile 0 (false).
  bool FindProfileForIP(uint32_t ip, PCOBJinfo& profile) const;

  const std::vector<PCOBJinfo>& PCinfoArray() const { return FProfiles; }

  // What a cube stands for: one address, a /24 block, or a group's range.
  enum class TCubeKind { Host, Block, Group };
  // Keeps the place (x, y, z) of the cube of `kind` made for the address `ip`
  // that stands for the addresses lo..hi, in the file last read and in
  // memory alike, so that the cube comes back there and no other cube moves.
  // The first profile that matches `ip` holds the place when it is "fixed"
  // and stands for exactly lo..hi; any other place goes into a new "fixed"
  // section for lo..hi (PlaceSectionName), read before that profile, with
  // the rest of its keys as that profile (or the default) has them.
  // Returns the profile that holds the place now (valid until the profiles
  // change), or nullptr with the reason in `told` when nothing was written:
  // a place beyond MaxProfileNumber, no default profile in the file, a
  // section of the new name already there, a profile gone from the file
  // since it was read. Raises EIniFileException when the file cannot be
  // written. `told` says where the place went ("in [S]", "in new [S] before
  // [M]").
  const PCOBJinfo* KeepPlace(const std::string& ip, uint32_t lo, uint32_t hi, TCubeKind kind, float x, float y, float z,
                             std::string& told);

 private:
  std::vector<PCOBJinfo> FProfiles;
  std::string FFileName;  // of the last LoadPCinfoToArry
  // Index of the first profile 1..last whose range holds `ip`, or 0.
  size_t MatchIndex(uint32_t ip) const;
};

// Section name of a saved place, after the addresses it holds: "IP10_1_2_3"
// for one, "IP10_1_2" for a /24 block's cube (the names of their cubes),
// else "IP10_5_0_0-10_5_1_255" (a group's range, a /24 one included).
std::string PlaceSectionName(uint32_t lo, uint32_t hi, THostProfiles::TCubeKind kind);

// Windows colour value (low byte red) of red, green, blue.
constexpr uint32_t RGBColour(uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); }

// Where a new cube for `ip` stands and its label colour, by the profile's layout type.
struct TCubePlacement {
  float X = 0, Y = 0, Z = 0;
  uint32_t Colour = RGBColour(0, 128, 128);
};
// Raises EConvertError when an octet of `ip` is not a decimal number and the
// layout needs it.
TCubePlacement PlaceCube(const PCOBJinfo& profile, const std::string& ip);

// Scene name of the cube of `ip`: "IP" + address with "_" for "." (all four
// octets when `wholeAddress`, else the /24 block of the first three).
std::string CubeNameFor(const std::string& ip, bool wholeAddress);
