// Text forms of addresses, times and protocols, the dotted-address parser and
// capture time stamps. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "capture/bpf.h"
#include "platform/Timing.h"  // LocalZoneBias
#include "rtl/SysUtils.h"     // TDateTime

// "%d.%d.%d.%d" over the four bytes in memory order (network order).
std::string IPAddrToText(uint32_t Address);

// "%.2X-%.2X-%.2X-%.2X-%.2X-%.2X".
std::string MacAddrToText(const uint8_t Mac[6]);

// "hh:nn:ss:zzz" of a date-time.
std::string TimeToTextMs(TDateTime DateTime);

// Name of an IP protocol number, or its decimal text.
std::string IpProtocolToText(int Protocol);

// Parses a dotted IPv4 address into network order. Parts 1 to 3 may be empty
// (0); part 4 may not; every part is 0..255 and decimal digits only; a first
// part of 0 makes the text invalid unless every part is 0.
bool StrToIPAddr(const std::string& Text, uint32_t& Address);

// The address of a valid text, else 0.
uint32_t TextToIPAddr(const std::string& Text);

// A driver time stamp as a UTC date-time.
TDateTime BpfTimeToDateTime(const bpf_timeval& Stamp);
