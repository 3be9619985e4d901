#include "app/PacketParse.h"

#include "app/Unit_Globals.h"
#include "rtl/SysUtils.h"

#include <cstdint>

namespace
{
// A wire length is written in decimal digits: no sign, blanks, "$" or "0x".
int32_t WireLength(const std::string& field)
{
    int64_t v = 0;
    bool ok = !field.empty() && field.size() <= 10;
    for (size_t i = 0; ok && i < field.size(); ++i)
    {
        ok = field[i] >= '0' && field[i] <= '9';
        v = v * 10 + (field[i] - '0');
    }
    if (!ok || v > INT32_MAX)
        throw EConvertError("'" + ShownText(field, ' ', MaxQuotedText) + "' is not a valid integer value");
    return static_cast<int32_t>(v);
}
}  // namespace

void ParsePacketLine(const std::string& line, PKTinfo& info)
{
    const TSplitArray f = Split(line, "\t");
    if (f.size() != 11)
    {
        LogToPktData("[NI<>10]" + line);
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

bool PacketFiltered(const PKTinfo& info, const TPacketFilters& filters)
{
    if (info.EtherTypeHex == "0806" && filters.IgnoreARP)
        return true;
    if (info.Protocol == "ICMP" && filters.IgnoreICMP)
        return true;
    if (info.EtherTypeHex == "0800" && filters.IgnoreIP)
        return true;
    return false;
}

std::string InfoLineOf(const std::string& line) { return ShownText(line, '|'); }

TInfoLine MakeInfoLine(const std::string& line)
{
    // A line of ordinary fields needs nothing but its blanks replaced.
    bool plain = line.size() <= MaxShownText;
    for (size_t i = 0; plain && i < line.size(); ++i)
    {
        const auto b = static_cast<unsigned char>(line[i]);
        plain = (b >= 0x20 || b == '\t') && (b < 0x7F || b > 0x9F);
    }
    return plain ? TInfoLine(line, ' ', '|') : TInfoLine(InfoLineOf(line));
}
