#include "lab/udp.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace lab {
namespace {

sockaddr_in ToSockaddr(const Peer& peer) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(peer.port);
    std::memcpy(&address.sin_addr, peer.address.data(), 4);
    return address;
}

Peer FromSockaddr(const sockaddr_in& address) {
    Peer peer;
    std::memcpy(peer.address.data(), &address.sin_addr, 4);
    peer.port = ntohs(address.sin_port);
    return peer;
}

Ipv4Bytes FromInAddr(const in_addr& address) {
    Ipv4Bytes bytes{};
    std::memcpy(bytes.data(), &address, 4);
    return bytes;
}

}  // namespace

std::string FormatPeer(const Peer& peer) {
    return FormatAddress(peer.address) + ":" + std::to_string(peer.port);
}

bool PortSocket::Open(std::uint16_t port) {
    socket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!socket_.IsOpen()) return false;
    const int on = 1;
    if (::setsockopt(socket_.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::setsockopt(socket_.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        return false;
    }
    const sockaddr_in local = ToSockaddr(Peer{{}, port});
    return ::bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

ReceiveStatus PortSocket::Receive(std::span<std::uint8_t> buffer, ReceivedDatagram& datagram) {
    sockaddr_in source{};
    iovec vector{buffer.data(), buffer.size()};
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t length = ::recvmsg(socket_.Get(), &message, MSG_TRUNC);
    if (length < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? ReceiveStatus::Empty
                                                                         : ReceiveStatus::Dropped;
    }
    if ((message.msg_flags & MSG_TRUNC) != 0 || static_cast<std::size_t>(length) > buffer.size()) {
        return ReceiveStatus::Dropped;
    }
    bool haveInfo = false;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            datagram.interfaceIndex = static_cast<unsigned>(info.ipi_ifindex);
            datagram.destination = FromInAddr(info.ipi_addr);
            haveInfo = true;
        }
    }
    if (!haveInfo) return ReceiveStatus::Dropped;
    datagram.length = static_cast<std::size_t>(length);
    datagram.source = FromSockaddr(source);
    return ReceiveStatus::Received;
}

bool PortSocket::SendFrom(std::span<const std::uint8_t> datagram, const Ipv4Bytes& source,
                          unsigned interfaceIndex, const Peer& destination) {
    sockaddr_in target = ToSockaddr(destination);
    iovec vector{const_cast<std::uint8_t*>(datagram.data()), datagram.size()};
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))]{};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = sizeof target;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(interfaceIndex);
    std::memcpy(&info.ipi_spec_dst, source.data(), 4);
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
    ssize_t sent;
    do {
        sent = ::sendmsg(socket_.Get(), &message, 0);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(datagram.size());
}

bool ClientSocket::Open(const Ipv4Bytes& address) {
    socket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!socket_.IsOpen()) return false;
    const sockaddr_in local = ToSockaddr(Peer{address, 0});
    if (::bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        socket_.Reset();
        return false;
    }
    return true;
}

std::uint16_t ClientSocket::LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
}

ReceiveStatus ClientSocket::Receive(std::span<std::uint8_t> buffer, std::size_t& length,
                                    Peer& source) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t received = ::recvfrom(socket_.Get(), buffer.data(), buffer.size(), MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? ReceiveStatus::Empty
                                                                         : ReceiveStatus::Dropped;
    }
    if (static_cast<std::size_t>(received) > buffer.size()) return ReceiveStatus::Dropped;
    length = static_cast<std::size_t>(received);
    source = FromSockaddr(from);
    return ReceiveStatus::Received;
}

bool ClientSocket::SendTo(std::span<const std::uint8_t> datagram, const Peer& destination) {
    const sockaddr_in target = ToSockaddr(destination);
    ssize_t sent;
    do {
        sent = ::sendto(socket_.Get(), datagram.data(), datagram.size(), 0,
                        reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(datagram.size());
}

std::optional<std::vector<LocalAddress>> ListLocalAddresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::vector<LocalAddress> addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        LocalAddress local;
        sockaddr_in address{};
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        local.address = FromInAddr(address.sin_addr);
        if (entry->ifa_netmask != nullptr) {
            sockaddr_in mask{};
            std::memcpy(&mask, entry->ifa_netmask, sizeof mask);
            local.netmask = FromInAddr(mask.sin_addr);
        }
        local.interfaceName = entry->ifa_name;
        local.interfaceIndex = ::if_nametoindex(entry->ifa_name);
        addresses.push_back(local);
    }
    ::freeifaddrs(list);
    return addresses;
}

}  // namespace lab
