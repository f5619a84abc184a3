// Linux backend of the datagram socket.
//
// Linux delivers broadcasts only to sockets bound to 0.0.0.0 or to the broadcast address
// itself, never to a socket bound to an interface address. A bound UdpSocket therefore
// holds up to three kernel sockets, all tied to the interface that owns the address
// (SO_BINDTODEVICE, so another program's socket on another interface cannot make the
// bind fail, and a unicast for this address arriving on another interface is refused):
//   [0] address:port           unicasts to the address, and every send;
//   [1] 255.255.255.255:port   limited broadcasts arriving on the interface;
//   [2] subnet-broadcast:port  directed broadcasts arriving on the interface.
// [1] and [2] carry SO_REUSEADDR so that sockets of several addresses of one interface
// all receive the broadcasts, as they do on Windows. All kernel sockets are non-blocking;
// a blocking receive waits with poll() over the three.

#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace net {
namespace {

enum : std::size_t { MAIN_DESCRIPTOR = 0, LIMITED_BROADCAST_DESCRIPTOR = 1, DIRECTED_BROADCAST_DESCRIPTOR = 2 };

sockaddr_in ToSockaddr(Ipv4Address address, std::uint16_t port) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr.s_addr = address;
    socketAddress.sin_port = htons(port);
    return socketAddress;
}

bool SetFlag(int descriptor, int level, int option, int value) {
    return ::setsockopt(descriptor, level, option, &value, sizeof value) == 0;
}

// As much receive room as the system allows an unprivileged socket (the request is capped
// at net.core.rmem_max and then doubled): 256 instruments answering one request at once
// overflow the default.
constexpr int RECEIVE_BUFFER_REQUEST = 4 * 1024 * 1024;

int OpenKernelSocket() {
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (descriptor >= 0) (void)SetFlag(descriptor, SOL_SOCKET, SO_RCVBUF, RECEIVE_BUFFER_REQUEST);
    return descriptor;
}

// The interface that owns a local address: its name and netmask.
struct OwningInterface {
    char name[IF_NAMESIZE] = {};
    Ipv4Address netmask = 0;
};

bool FindOwningInterface(Ipv4Address address, OwningInterface& found) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool matched = false;
    for (const ifaddrs* entry = list; entry != nullptr && !matched; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* local = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (local->sin_addr.s_addr != address) continue;
        std::strncpy(found.name, entry->ifa_name, IF_NAMESIZE - 1);
        if (entry->ifa_netmask != nullptr)
            found.netmask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
        matched = true;
    }
    ::freeifaddrs(list);
    return matched;
}

bool BindToDevice(int descriptor, const char* interfaceName) {
    return ::setsockopt(descriptor, SOL_SOCKET, SO_BINDTODEVICE, interfaceName,
                        static_cast<socklen_t>(std::strlen(interfaceName) + 1)) == 0;
}

// A receive-only kernel socket for the broadcasts to `address`:port arriving on the interface.
int OpenBroadcastListener(const char* interfaceName, Ipv4Address address, std::uint16_t port) {
    const int descriptor = OpenKernelSocket();
    if (descriptor < 0) return -1;
    const sockaddr_in local = ToSockaddr(address, port);
    if (!SetFlag(descriptor, SOL_SOCKET, SO_REUSEADDR, 1) || !BindToDevice(descriptor, interfaceName) ||
        ::bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

}  // namespace

UdpSocket UdpSocket::Create() {
    UdpSocket created;
    created.descriptors_[MAIN_DESCRIPTOR] = OpenKernelSocket();
    return created;
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : descriptors_(std::exchange(other.descriptors_, {-1, -1, -1})),
      blocking_(other.blocking_),
      nextDescriptor_(other.nextDescriptor_) {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        descriptors_ = std::exchange(other.descriptors_, {-1, -1, -1});
        blocking_ = other.blocking_;
        nextDescriptor_ = other.nextDescriptor_;
    }
    return *this;
}

UdpSocket::~UdpSocket() { Close(); }

void UdpSocket::Close() {
    for (int& descriptor : descriptors_) {
        if (descriptor >= 0) ::close(descriptor);
        descriptor = -1;
    }
}

bool UdpSocket::SetBroadcast(bool enabled) {
    if (!IsOpen()) return false;
    return SetFlag(descriptors_[MAIN_DESCRIPTOR], SOL_SOCKET, SO_BROADCAST, enabled ? 1 : 0);
}

bool UdpSocket::SetBlocking(bool blocking) {
    if (!IsOpen()) return false;
    blocking_ = blocking;
    return true;
}

bool UdpSocket::Bind(Ipv4Address address, std::uint16_t port) { return BindTo(address, port, true); }

bool UdpSocket::BindUnicastOnly(Ipv4Address address, std::uint16_t port) {
    return BindTo(address, port, false);
}

bool UdpSocket::BindTo(Ipv4Address address, std::uint16_t port, bool receiveBroadcasts) {
    if (!IsOpen()) return false;
    const int main = descriptors_[MAIN_DESCRIPTOR];
    OwningInterface owner;
    const bool interfaceAddress = address != ANY_ADDRESS && address != LIMITED_BROADCAST &&
                                  FindOwningInterface(address, owner);
    // Best effort: without the device tie the socket still works, only less isolated.
    if (interfaceAddress) (void)BindToDevice(main, owner.name);

    const sockaddr_in local = ToSockaddr(address, port);
    if (::bind(main, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return false;
    if (!interfaceAddress || !receiveBroadcasts) return true;

    const std::uint16_t boundPort = LocalEndpoint().port;
    const int limited = OpenBroadcastListener(owner.name, LIMITED_BROADCAST, boundPort);
    if (limited < 0) return false;
    descriptors_[LIMITED_BROADCAST_DESCRIPTOR] = limited;

    const Ipv4Address directed = address | ~owner.netmask;
    if (directed != address && directed != LIMITED_BROADCAST) {
        const int subnet = OpenBroadcastListener(owner.name, directed, boundPort);
        if (subnet < 0) return false;
        descriptors_[DIRECTED_BROADCAST_DESCRIPTOR] = subnet;
    }
    return true;
}

Endpoint UdpSocket::LocalEndpoint() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (!IsOpen() ||
        ::getsockname(descriptors_[MAIN_DESCRIPTOR], reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return {};
    return Endpoint{local.sin_addr.s_addr, ntohs(local.sin_port)};
}

int UdpSocket::SendTo(std::span<const std::uint8_t> datagram, Endpoint destination) {
    if (!IsOpen()) return -1;
    const sockaddr_in remote = ToSockaddr(destination.address, destination.port);
    for (;;) {
        const ssize_t sent = ::sendto(descriptors_[MAIN_DESCRIPTOR], datagram.data(), datagram.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
        if (sent >= 0) return static_cast<int>(sent);
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && blocking_) {
            pollfd writable{descriptors_[MAIN_DESCRIPTOR], POLLOUT, 0};
            if (::poll(&writable, 1, -1) >= 0 || errno == EINTR) continue;
        }
        return -1;
    }
}

int UdpSocket::ReceiveFrom(std::span<std::uint8_t> buffer, Endpoint& source) {
    if (!IsOpen()) return -1;
    for (;;) {
        // The descriptors the last wait reported come first; among them, and then among the
        // rest, the turn starts after the one served last, so that a flood on one of them
        // cannot starve the others.
        const unsigned hint = std::exchange(readyHint_, 0u);
        for (std::size_t attempt = 0; attempt < 2 * MAX_DESCRIPTORS; ++attempt) {
            const std::size_t index = (nextDescriptor_ + attempt) % MAX_DESCRIPTORS;
            const bool hinted = (hint & (1u << index)) != 0;
            if ((attempt < MAX_DESCRIPTORS) != hinted) continue;
            const int descriptor = descriptors_[index];
            if (descriptor < 0) continue;
            sockaddr_in remote{};
            iovec vector{buffer.data(), buffer.size()};
            msghdr message{};
            message.msg_name = &remote;
            message.msg_namelen = sizeof remote;
            message.msg_iov = &vector;
            message.msg_iovlen = 1;
            const ssize_t received = ::recvmsg(descriptor, &message, MSG_DONTWAIT);
            if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            nextDescriptor_ = (index + 1) % MAX_DESCRIPTORS;
            if (received < 0) return -1;
            // A datagram longer than the buffer is a failed receive; its rest is gone.
            if ((message.msg_flags & MSG_TRUNC) != 0) return -1;
            source = Endpoint{remote.sin_addr.s_addr, ntohs(remote.sin_port)};
            return static_cast<int>(received);
        }
        if (!blocking_) return -1;
        const UdpSocket* self = this;
        bool readable = false;
        const WaitResult waited =
            WaitReadable(std::span<const UdpSocket* const>(&self, 1), std::span<bool>(&readable, 1),
                         std::chrono::milliseconds(-1));
        if (waited == WaitResult::Failed) return -1;
    }
}

WaitResult WaitReadable(std::span<const UdpSocket* const> sockets, std::span<bool> readable,
                        std::chrono::milliseconds timeout) {
    if (sockets.empty() || sockets.size() > MAX_WAIT_SOCKETS || readable.size() < sockets.size())
        return WaitResult::Failed;
    pollfd descriptors[MAX_WAIT_SOCKETS * UdpSocket::MAX_DESCRIPTORS];
    std::size_t owner[MAX_WAIT_SOCKETS * UdpSocket::MAX_DESCRIPTORS];
    std::size_t slot[MAX_WAIT_SOCKETS * UdpSocket::MAX_DESCRIPTORS];
    std::size_t count = 0;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        readable[i] = false;
        if (sockets[i] == nullptr) continue;
        sockets[i]->readyHint_ = 0;
        for (std::size_t d = 0; d < UdpSocket::MAX_DESCRIPTORS; ++d) {
            const int descriptor = sockets[i]->descriptors_[d];
            if (descriptor < 0) continue;
            descriptors[count] = pollfd{descriptor, POLLIN, 0};
            owner[count] = i;
            slot[count] = d;
            ++count;
        }
    }
    if (count == 0) return WaitResult::Failed;
    const int milliseconds = timeout.count() < 0 ? -1 : static_cast<int>(timeout.count());
    const int ready = ::poll(descriptors, count, milliseconds);
    if (ready < 0) return errno == EINTR ? WaitResult::Interrupted : WaitResult::Failed;
    if (ready == 0) return WaitResult::TimedOut;
    for (std::size_t k = 0; k < count; ++k) {
        // An error pending on a socket (e.g. an ICMP report) also makes it readable: its
        // receive then fails, as a receive does on the original platform.
        if ((descriptors[k].revents & (POLLIN | POLLERR)) != 0) {
            readable[owner[k]] = true;
            sockets[owner[k]]->readyHint_ |= 1u << slot[k];
        }
    }
    return WaitResult::Ready;
}

}  // namespace net
