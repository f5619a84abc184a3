#include "app/device_sweep.h"

#include <array>

#include "discovery/discovery_engine.h"

int SweepLocalNetwork(std::span<DeviceRecord, MAX_DEVICES> records) {
    std::array<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets;
    const int opened = OpenInterfaceSockets(sockets);
    // The request and the collection take the count as it came, also 0 or -1.
    SendDiscoveryRequest(sockets, opened);
    const int count = CollectDiscoveryReplies(sockets, opened, records);
    for (int i = 0; i < opened; ++i) sockets[static_cast<std::size_t>(i)].handle.Close();
    return count;
}
