// Feed datagrams cut at a point taken from the first byte, reassembled into
// packet lines and parsed: nothing may crash, every line handed out has eleven
// fields, the kept tail stays bounded, and a parsed record names its fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "app/HostProfiles.h"
#include "app/PacketParse.h"
#include "app/Unit3_Wsocket.h"
#include "app/Unit_Globals.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  const size_t cut = text.empty() ? 0 : Data[0] % (text.size() + 1);
  TFeedAssembler feed;
  for (const std::string& part : {text.substr(0, cut), text.substr(cut)})
    for (const std::string& line : feed.Feed(part)) {
      if (Split(line, "\t").size() != 11) std::abort();
      PKTinfo info;
      try {
        ParsePacketLine(line, info);
      } catch (const std::exception&) {
        continue;  // a length that is no number
      }
      if (info.Line != line) std::abort();
      PCOBJinfo profile;
      profile.NetType = Data[0] & 1 ? "other" : "localnet";
      try {
        PlaceCube(profile, info.SrcIP);
        IPToNumber(info.DstIP);
      } catch (const std::exception&) {
      }
      CubeNameFor(info.SrcIP, (Data[0] & 2) != 0);
    }
  if (feed.UdpLeftover().size() > TFeedAssembler::MaxLeftover) std::abort();
  return 0;
}
