#pragma once
// The wake-up datagram of the instruments' Ethernet boot loader: six bytes of 0xAA, then
// the MAC address four times (not the 0xFF / sixteen copies of Wake-on-LAN).

#include <array>
#include <cstddef>
#include <cstdint>

#include "net/udp_socket.h"
#include "update/update_session.h"

constexpr std::size_t MAGIC_LEAD_IN_LENGTH = 6;
constexpr std::uint8_t MAGIC_LEAD_IN_BYTE = 0xAA;
constexpr std::size_t MAGIC_MAC_COPIES = 4;
constexpr std::size_t MAGIC_PACKET_LENGTH = 30;
constexpr std::uint16_t MAGIC_PORT = 9;
static_assert(MAGIC_LEAD_IN_LENGTH + MAGIC_MAC_COPIES * std::tuple_size_v<MacAddress> ==
              MAGIC_PACKET_LENGTH);

using MagicPacket = std::array<std::uint8_t, MAGIC_PACKET_LENGTH>;

MagicPacket BuildMagicPacket(const MacAddress& macAddress);

// Sends the packet to 255.255.255.255:9; true when all 30 bytes were taken.
bool SendMagicPacket(net::UdpSocket& socket, const MacAddress& macAddress);
