#pragma once
// Interface queries: the local IPv4 address table and a neighbour's MAC address.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/address.h"

namespace net {

struct InterfaceAddress {
    Ipv4Address address = ANY_ADDRESS;  // network byte order
    Ipv4Address netmask = ANY_ADDRESS;  // network byte order
    unsigned interfaceIndex = 0;
    std::string interfaceName;
};

// Every IPv4 address of this host, loopback and secondary addresses included, in table
// order: by interface index, and within one interface in the order the system lists them.
// nullopt when the table cannot be obtained.
std::optional<std::vector<InterfaceAddress>> ListInterfaceAddresses();

using MacAddress = std::array<std::uint8_t, 6>;

// The MAC address of a neighbour on a directly attached network, by ARP. Waits at most
// `limit`; nullopt when the neighbour does not answer or is not on a local network.
std::optional<MacAddress> ResolveMacAddress(
    Ipv4Address neighbour, std::chrono::milliseconds limit = std::chrono::milliseconds(3000));

// Starts the socket layer for the process (the counterpart of WSAStartup): true when
// datagram sockets can be used.
bool StartSockets();

}  // namespace net
