#pragma once
// One sweep of the local network: open a socket per local address, broadcast the
// request once on each, collect the replies until the network is quiet.

#include <chrono>
#include <span>

#include "discovery/device_record.h"
#include "net/interfaces.h"
#include "net/udp_socket.h"

constexpr int MAX_INTERFACE_SOCKETS = 16;

// Collection waits until the network has been quiet this long: before the first accepted
// reply, and after it (any datagram, accepted or not, restarts the wait).
constexpr std::chrono::milliseconds QUIET_BEFORE_FIRST_REPLY{5000};
constexpr std::chrono::milliseconds QUIET_AFTER_REPLY{1000};
// A sweep ends after this long in all, however the datagrams keep coming.
constexpr std::chrono::milliseconds MAX_SWEEP_DURATION{30000};
// The longest wait for one ARP resolution (short replies carry no MAC address).
constexpr std::chrono::milliseconds MAC_RESOLUTION_LIMIT{3000};

struct DiscoveryTimeouts {
    std::chrono::milliseconds quietBeforeFirstReply = QUIET_BEFORE_FIRST_REPLY;
    std::chrono::milliseconds quietAfterReply = QUIET_AFTER_REPLY;
    std::chrono::milliseconds sweepLimit = MAX_SWEEP_DURATION;
    std::chrono::milliseconds macResolutionLimit = MAC_RESOLUTION_LIMIT;
};

struct InterfaceSocket {
    net::UdpSocket handle;
    net::Ipv4Address localAddress = net::ANY_ADDRESS;
};

// Whether a local address gets a socket: every one but 0.0.0.0 and exactly 127.0.0.1
// (other loopback addresses are used).
bool IsSweptAddress(net::Ipv4Address address);

// Fills sockets from the start, one per usable local IPv4 address; returns the number
// filled, or -1 when the address table cannot be obtained.
int OpenInterfaceSockets(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets);
// The same over a given address table (table order), for hosts whose table is known.
int OpenInterfaceSockets(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets,
                         std::span<const net::InterfaceAddress> table);

void SendDiscoveryRequest(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets, int n);

// Returns the number of records written from records[0], 0..MAX_DEVICES. With no socket
// (n <= 0) it returns 0 at once.
int CollectDiscoveryReplies(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets, int n,
                            std::span<DeviceRecord, MAX_DEVICES> records);
// The same with other time-outs (tests shorten them; the product uses the defaults).
int CollectDiscoveryReplies(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets, int n,
                            std::span<DeviceRecord, MAX_DEVICES> records,
                            const DiscoveryTimeouts& timeouts);
