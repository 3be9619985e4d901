// Address, time and protocol texts, dotted-address parsing and capture time-stamp conversion.
#include "capture/capsubs.h"

#include <cmath>
#include <cstdio>

namespace {

char* PutDecimal(char* p, unsigned v) {
  if (v >= 100) *p++ = char('0' + v / 100);
  if (v >= 10) *p++ = char('0' + v / 10 % 10);
  *p++ = char('0' + v % 10);
  return p;
}

}  // namespace

std::string IPAddrToText(uint32_t Address) {
  uint8_t b[4];
  __builtin_memcpy(b, &Address, 4);
  char text[16];
  char* p = text;
  for (int i = 0; i < 4; ++i) {
    if (i) *p++ = '.';
    p = PutDecimal(p, b[i]);
  }
  return std::string(text, p);
}

std::string MacAddrToText(const uint8_t Mac[6]) {
  static const char hex[] = "0123456789ABCDEF";
  char text[17];
  for (int i = 0; i < 6; ++i) {
    text[i * 3] = hex[Mac[i] >> 4];
    text[i * 3 + 1] = hex[Mac[i] & 15];
    if (i < 5) text[i * 3 + 2] = '-';
  }
  return std::string(text, 17);
}

std::string TimeToTextMs(TDateTime DateTime) {
  double frac = std::fabs(DateTime - std::trunc(DateTime));
  if (!std::isfinite(frac)) frac = 0;
  long long ms = std::llround(std::nearbyint(frac * 86400000.0));
  ms %= 86400000;  // a fraction that rounds up to midnight is the next day's 00:00
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d:%03d", int(ms / 3600000), int(ms / 60000 % 60), int(ms / 1000 % 60),
                int(ms % 1000));
  return text;
}

std::string IpProtocolToText(int Protocol) {
  switch (Protocol) {
    case 0: return "IP";
    case 1: return "ICMP";
    case 2: return "IGMP";
    case 6: return "TCP";
    case 17: return "UDP";
    case 80: return "ISO-IP";
    case 47: return "GRE";
    case 50: return "ESP";
    default: return std::to_string(Protocol);
  }
}

bool StrToIPAddr(const std::string& Text, uint32_t& Address) {
  Address = 0;
  if (Text.size() < 7) return false;
  unsigned part[4] = {};
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    size_t end = Text.size();
    if (i < 3) {
      end = Text.find('.', pos);
      if (end == std::string::npos) return false;
    } else if (pos == end) {
      return false;  // empty last part
    }
    unsigned v = 0;
    for (size_t k = pos; k < end; ++k) {
      const char c = Text[k];
      if (c < '0' || c > '9') return false;
      v = v * 10 + unsigned(c - '0');
      if (v > 255) return false;  // stops before the value could wrap
    }
    part[i] = v;
    pos = end + 1;
  }
  if (part[0] == 0 && (part[1] | part[2] | part[3]) != 0) return false;
  const uint8_t b[4] = {uint8_t(part[0]), uint8_t(part[1]), uint8_t(part[2]), uint8_t(part[3])};
  __builtin_memcpy(&Address, b, 4);
  return true;
}

uint32_t TextToIPAddr(const std::string& Text) {
  uint32_t a = 0;
  return StrToIPAddr(Text, a) ? a : 0;
}

TDateTime BpfTimeToDateTime(const bpf_timeval& Stamp) {
  return 25569.0 + double(Stamp.tv_sec) / 86400.0 + (double(Stamp.tv_usec) / 1000000.0) / 86400.0;
}
