#pragma once
// IPv4 addresses and endpoints as the system passes them around.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace net {

// An IPv4 address as it stands on the wire: its four bytes in memory order, first
// byte first (network byte order).
using Ipv4Address = std::uint32_t;

// a.b.c.d as an Ipv4Address.
Ipv4Address MakeAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
// The four bytes of an address, first byte first.
std::uint8_t AddressByte(Ipv4Address address, int index);

constexpr Ipv4Address ANY_ADDRESS = 0;
constexpr Ipv4Address LIMITED_BROADCAST = 0xFFFFFFFFu;

// "10.23.0.1" form; nullopt for anything else.
std::optional<Ipv4Address> ParseAddress(std::string_view text);
std::string FormatAddress(Ipv4Address address);

struct Endpoint {
    Ipv4Address address = ANY_ADDRESS;  // network byte order
    std::uint16_t port = 0;             // host byte order; the layer converts at the call
    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

}  // namespace net
