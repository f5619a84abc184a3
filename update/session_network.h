#pragma once
// How the handlers reach the network: every datagram they send and every data socket they
// open goes through here. The product's session has no hooks and uses its sockets; the
// fuzz targets hook both, so that remote bytes run through the real handlers while no
// datagram leaves the process and no port is bound.

#include <cstdint>
#include <span>

#include "net/address.h"
#include "net/udp_socket.h"
#include "update/open_udp_socket.h"
#include "update/update_session.h"

// Sends datagram from socket to destination; the number of bytes taken, or -1.
inline int SendFromSession(UpdateSession& session, net::UdpSocket& socket,
                           std::span<const std::uint8_t> datagram, net::Endpoint destination) {
    if (session.sendDatagram != nullptr)
        return session.sendDatagram(session.networkContext, socket, datagram, destination);
    return socket.SendTo(datagram, destination);
}

// A data socket on interfaceAddress:port, broadcast not allowed; !IsOpen() on failure.
inline net::UdpSocket OpenSessionDataSocket(UpdateSession& session, std::uint16_t port) {
    if (session.openDataSocket != nullptr)
        return session.openDataSocket(session.networkContext, session.interfaceAddress, port);
    return OpenDataUdpSocket(session.interfaceAddress, port);
}
