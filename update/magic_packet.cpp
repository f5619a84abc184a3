#include "update/magic_packet.h"

#include <algorithm>

MagicPacket BuildMagicPacket(const MacAddress& macAddress) {
    MagicPacket packet{};
    std::fill_n(packet.begin(), MAGIC_LEAD_IN_LENGTH, MAGIC_LEAD_IN_BYTE);
    for (std::size_t copy = 0; copy < MAGIC_MAC_COPIES; ++copy) {
        std::copy(macAddress.begin(), macAddress.end(),
                  packet.begin() + MAGIC_LEAD_IN_LENGTH + copy * macAddress.size());
    }
    return packet;
}

bool SendMagicPacket(net::UdpSocket& socket, const MacAddress& macAddress) {
    const MagicPacket packet = BuildMagicPacket(macAddress);
    return socket.SendTo(packet, net::Endpoint{net::LIMITED_BROADCAST, MAGIC_PORT}) ==
           static_cast<int>(MAGIC_PACKET_LENGTH);
}
