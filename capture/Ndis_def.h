// Network driver constants used by the capture driver interface: hardware
// packet filters, request identifiers and medium types.
#pragma once

#include <cstdint>

// Hardware packet filters (PacketSetHwFilter).
constexpr uint32_t NDIS_PACKET_TYPE_DIRECTED = 0x00000001;
constexpr uint32_t NDIS_PACKET_TYPE_MULTICAST = 0x00000002;
constexpr uint32_t NDIS_PACKET_TYPE_ALL_MULTICAST = 0x00000004;
constexpr uint32_t NDIS_PACKET_TYPE_BROADCAST = 0x00000008;
constexpr uint32_t NDIS_PACKET_TYPE_PROMISCUOUS = 0x00000020;

// Request identifiers (PacketRequest).
constexpr uint32_t OID_802_3_PERMANENT_ADDRESS = 0x01010101;
constexpr uint32_t OID_802_3_CURRENT_ADDRESS = 0x01010102;

// Link media (NetType.LinkType).
enum NDIS_MEDIUM : uint32_t {
  NdisMedium802_3 = 0,
  NdisMedium802_5 = 1,
  NdisMediumFddi = 2,
  NdisMediumWan = 3,
  NdisMediumLocalTalk = 4,
  NdisMediumDix = 5,
  NdisMediumArcnetRaw = 6,
  NdisMediumArcnet878_2 = 7,
  NdisMediumAtm = 8,
  NdisMediumWirelessWan = 9,
  NdisMediumIrda = 10,
};
