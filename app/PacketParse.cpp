// Splitting a packet line into its fields, and the main window's packet filters.
#include "app/PacketParse.h"

#include "app/Unit_Globals.h"
#include "rtl/SysUtils.h"

#include <cstdint>
#include <cstring>

namespace {
// A wire length is written in decimal digits: no sign, blanks, "$" or "0x".
int32_t WireLength(const std::string& field) {
  int64_t v = 0;
  bool ok = !field.empty() && field.size() <= 10;
  for (size_t i = 0; ok && i < field.size(); ++i) {
    ok = field[i] >= '0' && field[i] <= '9';
    v = v * 10 + (field[i] - '0');
  }
  if (!ok || v > INT32_MAX)
    throw EConvertError("'" + ShownText(field, ' ', MaxQuotedText) + "' is not a valid integer value");
  return static_cast<int32_t>(v);
}
}  // namespace

void ParsePacketLine(const std::string& line, PKTinfo& info) {
  const TSplitArray f = Split(line, "\t");
  if (f.size() != 11) {
    LogLineError({"[NI<>10]" + line}, "[NI<>10]");  // lines differ in all their fields
    return;
  }
  PKTinfo r;
  r.Line = line;
  r.SrcMAC = f[1];
  r.DstMAC = f[2];
  r.EtherTypeHex = f[3];
  r.PktLength = WireLength(f[4]);
  r.SrcIP = f[5];
  r.SrcPort = f[6];
  r.DstIP = f[7];
  r.DstPort = f[8];
  r.Protocol = f[9];
  r.Suffix = f[10];
  info = std::move(r);
}

bool PacketFiltered(const PKTinfo& info, const TPacketFilters& filters) {
  if (info.EtherTypeHex == "0806" && filters.IgnoreARP) return true;
  if (info.Protocol == "ICMP" && filters.IgnoreICMP) return true;
  if (info.EtherTypeHex == "0800" && filters.IgnoreIP) return true;
  return false;
}

std::string InfoLineOf(const std::string& line) { return ShownText(line, '|'); }

namespace {
// Bytes of a word by their high bit: set where the byte is zero.
constexpr uint64_t Low7 = 0x7F7F7F7F7F7F7F7Full;
uint64_t ZeroBytes(uint64_t v) { return ~(((v & Low7) + Low7) | v | Low7); }
uint64_t Bytes(uint8_t b) { return 0x0101010101010101ull * b; }

// Copies 8 bytes with blanks made "|"; true when one of them is a control
// character (below 0x20 but TAB, 0x7F to 0x9F), which ShownText shows as \xHH.
bool CopyWord(const char* in, char* out) {
  uint64_t w;
  std::memcpy(&w, in, 8);
  const uint64_t top3 = w & Bytes(0xE0);
  const uint64_t control =
      (ZeroBytes(top3) & ~ZeroBytes(w ^ Bytes('\t'))) | ZeroBytes(top3 ^ Bytes(0x80)) | ZeroBytes(w ^ Bytes(0x7F));
  const uint64_t blanks = (ZeroBytes(w ^ Bytes(' ')) >> 7) * 0xFF;
  w ^= blanks & Bytes(' ' ^ '|');
  std::memcpy(out, &w, 8);
  return control != 0;
}
}  // namespace

TInfoLine MakeInfoLine(const std::string& line) {
  // A line of ordinary fields needs nothing but its blanks replaced: done a
  // word at a time, the rest of the line through ShownText.
  const size_t n = line.size();
  if (n > MaxShownText) return TInfoLine(InfoLineOf(line));
  bool control = false;
  TInfoLine made(n, [&](char* out) {
    char last[8] = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8) control |= CopyWord(line.data() + i, out + i);
    if (i < n) {
      char word[8] = {'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a'};
      std::memcpy(word, line.data() + i, n - i);
      control |= CopyWord(word, last);
      std::memcpy(out + i, last, n - i);
    }
  });
  return control ? TInfoLine(InfoLineOf(line)) : made;
}
