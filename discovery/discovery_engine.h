#pragma once
// One sweep of the local network: open a socket per local address, broadcast the
// request once on each, collect the replies until the network is quiet.

#include <span>

#include "discovery/device_record.h"
#include "net/interfaces.h"
#include "net/udp_socket.h"

constexpr int MAX_INTERFACE_SOCKETS = 16;

struct InterfaceSocket {
    net::UdpSocket handle;
    net::Ipv4Address localAddress = net::ANY_ADDRESS;
};

// Fills sockets from the start, one per usable local IPv4 address; returns the number
// filled, or -1 when the address table cannot be obtained.
int OpenInterfaceSockets(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets);
// The same over a given address table (table order), for hosts whose table is known.
int OpenInterfaceSockets(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets,
                         std::span<const net::InterfaceAddress> table);

void SendDiscoveryRequest(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets, int n);

// Returns the number of records written from records[0], 0..MAX_DEVICES.
int CollectDiscoveryReplies(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets, int n,
                            std::span<DeviceRecord, MAX_DEVICES> records);
