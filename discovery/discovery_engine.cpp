#include "discovery/discovery_engine.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "discovery/discovery_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int ClampSocketCount(int n) { return std::clamp(n, 0, MAX_INTERFACE_SOCKETS); }

bool IsKnownSource(std::span<const DeviceRecord> written, net::Ipv4Address source) {
    return std::any_of(written.begin(), written.end(),
                       [source](const DeviceRecord& record) { return record.address == source; });
}

milliseconds Remaining(Clock::time_point deadline) {
    return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
}

}  // namespace

bool IsSweptAddress(net::Ipv4Address address) {
    return address != net::ANY_ADDRESS && address != net::MakeAddress(127, 0, 0, 1);
}

int OpenInterfaceSockets(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets) {
    const auto table = net::ListInterfaceAddresses();
    if (!table) return -1;
    return OpenInterfaceSockets(sockets, *table);
}

int OpenInterfaceSockets(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets,
                         std::span<const net::InterfaceAddress> table) {
    int filled = 0;
    for (const net::InterfaceAddress& row : table) {
        if (filled == MAX_INTERFACE_SOCKETS) break;
        if (!IsSweptAddress(row.address)) continue;
        net::UdpSocket socket = net::UdpSocket::Create();
        if (!socket.IsOpen()) continue;
        if (!socket.Bind(row.address, DISCOVERY_PORT) || !socket.SetBlocking(true) ||
            !socket.SetBroadcast(true)) {
            socket.Close();
            continue;
        }
        sockets[filled].handle = std::move(socket);
        sockets[filled].localAddress = row.address;
        ++filled;
    }
    return filled;
}

void SendDiscoveryRequest(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets, int n) {
    const net::Endpoint everyone{net::LIMITED_BROADCAST, DISCOVERY_PORT};
    for (int i = 0; i < ClampSocketCount(n); ++i) {
        // A failed send is not retried: an interface that cannot send simply finds nothing.
        sockets[i].handle.SendTo(DISCOVERY_REQUEST, everyone);
    }
}

int CollectDiscoveryReplies(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets, int n,
                            std::span<DeviceRecord, MAX_DEVICES> records) {
    return CollectDiscoveryReplies(sockets, n, records, DiscoveryTimeouts{});
}

int CollectDiscoveryReplies(std::span<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets, int n,
                            std::span<DeviceRecord, MAX_DEVICES> records,
                            const DiscoveryTimeouts& timeouts) {
    const int socketCount = ClampSocketCount(n);
    // With nothing to wait on there is nothing to collect.
    if (socketCount == 0) return 0;

    const Clock::time_point deadline = Clock::now() + timeouts.sweepLimit;
    std::array<const net::UdpSocket*, MAX_INTERFACE_SOCKETS> waitSet{};
    std::array<bool, MAX_INTERFACE_SOCKETS> readable{};
    for (int i = 0; i < socketCount; ++i) waitSet[i] = &sockets[i].handle;
    const auto waited = std::span<const net::UdpSocket* const>(waitSet).first(socketCount);

    std::array<std::uint8_t, DISCOVERY_BUFFER_SIZE> buffer;
    int written = 0;
    for (;;) {
        const milliseconds remaining = Remaining(deadline);
        if (remaining == milliseconds(0)) return written;
        const milliseconds quiet = written == 0 ? timeouts.quietBeforeFirstReply : timeouts.quietAfterReply;

        readable.fill(false);
        switch (net::WaitReadable(waited, readable, std::min(quiet, remaining))) {
            case net::WaitResult::Ready: break;
            case net::WaitResult::Interrupted: continue;
            case net::WaitResult::TimedOut: return written;
            case net::WaitResult::Failed: return written;
        }

        for (int i = 0; i < socketCount; ++i) {
            if (!readable[i]) continue;
            net::Endpoint source;
            const int received = sockets[i].handle.ReceiveFrom(buffer, source);
            if (received < 0) continue;
            const auto datagram = std::span<const std::uint8_t>(buffer).first(static_cast<std::size_t>(received));
            if (!IsDiscoveryReply(datagram)) continue;
            // The first reply from an address wins, with the interface that brought it.
            if (IsKnownSource(records.first(written), source.address)) continue;

            DeviceRecord& record = records[written];
            const bool resolveMac = FillDeviceRecord(datagram, source.address, sockets[i].localAddress, record);
            if (resolveMac) {
                // Resolution shares the sweep's overall bound; when it is used up the MAC stays zero.
                const milliseconds limit = std::min(timeouts.macResolutionLimit, Remaining(deadline));
                if (limit > milliseconds(0)) {
                    if (const auto mac = net::ResolveMacAddress(source.address, limit)) record.mac = *mac;
                }
            }
            if (++written == MAX_DEVICES) return written;
        }
    }
}
