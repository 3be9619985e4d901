// A packet line split into its fields, and the filters of the main window.
#pragma once

#include "app/InfoLines.h"

#include <cstdint>
#include <string>

struct PKTinfo {
  std::string SrcIP;
  std::string SrcMAC;
  std::string SrcPort;
  std::string DstIP;
  std::string DstMAC;
  std::string DstPort;
  int32_t PktLength = 0;
  std::string EtherTypeHex;
  std::string Suffix;
  std::string Line;
  std::string Protocol;
};

// An address and the byte count charged to its cube.
struct OBJinfo_Rec {
  std::string IP;
  int32_t PktLength = 0;
};

// Fills `info` from a line of exactly eleven TAB-separated fields. Any other
// count logs "[NI<>10]" + line and leaves `info` untouched. A length field
// that is not a decimal integer, or is negative, raises EConvertError.
void ParsePacketLine(const std::string& line, PKTinfo& info);

struct TPacketFilters {
  bool IgnoreARP = false;
  bool IgnoreICMP = false;
  bool IgnoreIP = false;
};

// True when one of the checked filters drops the packet.
bool PacketFiltered(const PKTinfo& info, const TPacketFilters& filters);

// The line as kept in a cube's or pipe's info lines: blanks become "|",
// control characters are made visible and a long line is cut (ShownText).
std::string InfoLineOf(const std::string& line);
// The same, made once per packet for the cube and the pipe that keep it.
TInfoLine MakeInfoLine(const std::string& line);
