#pragma once
// Opens the UDP sockets of an update run.

#include <cstdint>

#include "net/address.h"
#include "net/udp_socket.h"

// A blocking IPv4 UDP socket with broadcast permission `broadcast` (0 or 1), bound to
// localAddress:localPort when bindLocal; !IsOpen() when any step fails (whatever was
// created is closed). No address reuse is asked for, so a port held elsewhere fails.
net::UdpSocket OpenUdpSocket(int broadcast, bool bindLocal, net::Ipv4Address localAddress,
                             std::uint16_t localPort);

// A transfer's data socket: OpenUdpSocket(0, true, localAddress, localPort), except that it
// takes only the unicasts to localAddress:localPort. Nothing is broadcast to a data port,
// and the wait of every block then watches one kernel descriptor for it instead of three.
net::UdpSocket OpenDataUdpSocket(net::Ipv4Address localAddress, std::uint16_t localPort);
