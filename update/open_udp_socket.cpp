#include "update/open_udp_socket.h"

net::UdpSocket OpenUdpSocket(int broadcast, bool bindLocal, net::Ipv4Address localAddress,
                             std::uint16_t localPort) {
    net::UdpSocket socket = net::UdpSocket::Create();
    if (!socket.IsOpen()) return socket;
    // Set even when off, so the socket's permission never depends on a default.
    if (!socket.SetBroadcast(broadcast != 0)) return net::UdpSocket();
    if (!bindLocal) return socket;
    if (!socket.Bind(localAddress, localPort)) return net::UdpSocket();
    return socket;
}

net::UdpSocket OpenDataUdpSocket(net::Ipv4Address localAddress, std::uint16_t localPort) {
    net::UdpSocket socket = net::UdpSocket::Create();
    if (!socket.IsOpen()) return socket;
    if (!socket.SetBroadcast(false)) return net::UdpSocket();
    if (!socket.BindUnicastOnly(localAddress, localPort)) return net::UdpSocket();
    return socket;
}
