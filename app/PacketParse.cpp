#include "app/PacketParse.h"

#include "app/Unit_Globals.h"
#include "rtl/SysUtils.h"

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
    r.PktLength = StrToInt(f[4]);
    if (r.PktLength < 0)  // a wire length is never negative: refused like a non-number
        throw EConvertError(Format("'%s' is not a valid integer value", f[4]));
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

std::string InfoLineOf(const std::string& line)
{
    std::string s = VisibleText(line);
    for (char& c : s)
        if (c == ' ')
            c = '|';
    return s;
}
