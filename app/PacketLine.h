// The packet line: one captured frame as 11 TAB-separated text fields, the form
// in which local capture and remote capture programs both hand traffic to the
// 3D view. Fields 1 to 10 each end with a TAB; the suffix field ends the line.
#pragma once

#include <cstdint>
#include <string>

#include "capture/packhdrs.h"

// Name of an EtherType ("PROTO_IP", "PROTO_IPV6", ...), "PROTO_???" if unknown.
std::string EtherTypeProtoName(uint16_t EtherType);

// Fields 1 to 10 of the record, each followed by its TAB: time ("%-12s"), the
// two MACs, EtherType ("%04X"), wire length, source IP and port, destination
// IP and port, protocol name ("IP" for every non-IP frame).
std::string FormatPacketLine(const TPacketInfo& PacketInfo);

// The whole line of one record. ARP frames take their addresses from the ARP
// packet first (sender and target protocol address). LogIt tells whether the
// line belongs in the event log on its own account (frames neither IPv4 nor
// ARP). The suffix is never empty: an ARP operation other than request (1) or
// reply (2) is its number, an ARP packet too short to hold one "PROTO_ARP".
std::string MakePacketLine(TPacketInfo PacketInfo, bool& LogIt);
