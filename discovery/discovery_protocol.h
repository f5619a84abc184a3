#pragma once
// The discovery request and reply (layout in discovery/discovery_frame.h): plain functions
// over byte spans and DeviceRecord. Bad remote input is a normal outcome: a datagram that is
// not a reply is reported as such, never asserted on.

#include <array>
#include <cstdint>
#include <span>

#include "discovery/device_record.h"
#include "discovery/discovery_frame.h"
#include "net/address.h"

// FF 04 02 FB.
constexpr std::array<std::uint8_t, DISCOVERY_REQUEST_LENGTH> DISCOVERY_REQUEST{
    REQUEST_TAG, DISCOVERY_REQUEST_LENGTH, CMD_DISCOVER, 0xFB};

// The checksum byte that follows these bytes: the two's complement of their sum, so that
// the sum of the whole frame is zero modulo 256.
std::uint8_t FrameChecksum(std::span<const std::uint8_t> bytesBeforeChecksum);

// Whether a received datagram is a discovery reply. Tests, in order: at least 4 bytes;
// tag 0xFE; length at least 4; command 2; the datagram holds all `length` bytes (a shorter
// one is rejected, so nothing past the received bytes is ever read); the `length` bytes sum
// to zero. Bytes beyond `length` are ignored.
bool IsDiscoveryReply(std::span<const std::uint8_t> datagram);

// Fills record from a datagram that IsDiscoveryReply accepted: clears it to zero, sets both
// addresses, then takes each field whose threshold `length` passes. Returns true when the
// reply is too short to carry the MAC address (length <= 15), which must then be resolved
// by ARP. A datagram that is not a reply leaves record cleared and returns false.
bool FillDeviceRecord(std::span<const std::uint8_t> reply, net::Ipv4Address source,
                      net::Ipv4Address interfaceAddress, DeviceRecord& record);
