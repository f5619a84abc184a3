// Linux backend of the interface queries: getifaddrs for the address table, the kernel's
// ARP table (SIOCGARP) for a neighbour's MAC address.

#include "net/interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace net {
namespace {

// Closes a descriptor on every path.
class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

bool SameSubnet(Ipv4Address a, Ipv4Address b, Ipv4Address netmask) {
    return (a & netmask) == (b & netmask);
}

// The MAC address of one of this host's own interfaces.
std::optional<MacAddress> LocalHardwareAddress(const std::string& interfaceName) {
    Descriptor probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (probe.get() < 0) return std::nullopt;
    ifreq request{};
    std::strncpy(request.ifr_name, interfaceName.c_str(), IFNAMSIZ - 1);
    if (::ioctl(probe.get(), SIOCGIFHWADDR, &request) != 0) return std::nullopt;
    MacAddress mac{};
    std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    return mac;
}

// Looks the neighbour up in the kernel's ARP table: its MAC once the entry is complete.
std::optional<MacAddress> CompletedArpEntry(int descriptor, Ipv4Address neighbour,
                                            const std::string& interfaceName) {
    arpreq request{};
    auto* protocolAddress = reinterpret_cast<sockaddr_in*>(&request.arp_pa);
    protocolAddress->sin_family = AF_INET;
    protocolAddress->sin_addr.s_addr = neighbour;
    std::strncpy(request.arp_dev, interfaceName.c_str(), sizeof request.arp_dev - 1);
    if (::ioctl(descriptor, SIOCGARP, &request) != 0) return std::nullopt;
    if ((request.arp_flags & ATF_COM) == 0) return std::nullopt;
    MacAddress mac{};
    std::memcpy(mac.data(), request.arp_ha.sa_data, mac.size());
    if (std::all_of(mac.begin(), mac.end(), [](std::uint8_t byte) { return byte == 0; }))
        return std::nullopt;
    return mac;
}

}  // namespace

std::optional<std::vector<InterfaceAddress>> ListInterfaceAddresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::vector<InterfaceAddress> table;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        InterfaceAddress row;
        row.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        if (entry->ifa_netmask != nullptr)
            row.netmask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
        row.interfaceName = entry->ifa_name;
        row.interfaceIndex = ::if_nametoindex(entry->ifa_name);
        table.push_back(std::move(row));
    }
    ::freeifaddrs(list);
    // getifaddrs lists by interface already; the stable sort only makes the order certain.
    std::stable_sort(table.begin(), table.end(), [](const InterfaceAddress& a, const InterfaceAddress& b) {
        return a.interfaceIndex < b.interfaceIndex;
    });
    return table;
}

std::optional<MacAddress> ResolveMacAddress(Ipv4Address neighbour, std::chrono::milliseconds limit) {
    const auto table = ListInterfaceAddresses();
    if (!table) return std::nullopt;
    const InterfaceAddress* route = nullptr;
    for (const InterfaceAddress& row : *table) {
        if (row.address == neighbour) return LocalHardwareAddress(row.interfaceName);
        if (route == nullptr && row.netmask != 0 && row.interfaceName != "lo" &&
            SameSubnet(row.address, neighbour, row.netmask))
            route = &row;
    }
    if (route == nullptr) return std::nullopt;

    Descriptor probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.get() < 0) return std::nullopt;
    if (auto known = CompletedArpEntry(probe.get(), neighbour, route->interfaceName)) return known;

    // An empty datagram to the discard port makes the kernel resolve the neighbour; with
    // IP_RECVERR an unanswered resolution comes back as EHOSTUNREACH on the socket.
    const int on = 1;
    ::setsockopt(probe.get(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = neighbour;
    remote.sin_port = htons(9);
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0)
        return std::nullopt;
    (void)::send(probe.get(), "", 0, 0);

    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto resolved = CompletedArpEntry(probe.get(), neighbour, route->interfaceName)) return resolved;
        int pending = 0;
        socklen_t length = sizeof pending;
        if (::getsockopt(probe.get(), SOL_SOCKET, SO_ERROR, &pending, &length) == 0 &&
            pending == EHOSTUNREACH)
            return std::nullopt;
        // ECONNREFUSED (the host is alive but port 9 is closed) and others: keep polling.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
}

bool StartSockets() {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    ::close(probe);
    return true;
}

}  // namespace net
