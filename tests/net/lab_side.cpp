#include "tests/net/lab_side.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

namespace labside {

Socket::Socket(const std::string& ns, const std::string& address, std::uint16_t port,
               const std::string& device) {
    std::string failure;
    std::thread opener([&] {
        const int nsDescriptor = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsDescriptor < 0 || ::setns(nsDescriptor, CLONE_NEWNET) != 0) {
            failure = "cannot enter namespace " + ns;
            if (nsDescriptor >= 0) ::close(nsDescriptor);
            return;
        }
        ::close(nsDescriptor);
        descriptor_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(descriptor_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        if (!device.empty())
            ::setsockopt(descriptor_, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), device.size() + 1);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
        if (::bind(descriptor_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            failure = "cannot bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    });
    opener.join();
    if (!failure.empty()) {
        if (descriptor_ >= 0) ::close(descriptor_);
        throw std::runtime_error(failure);
    }
}

Socket::~Socket() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

bool Socket::SendTo(const std::string& address, std::uint16_t port, const std::vector<std::uint8_t>& bytes) {
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &remote.sin_addr);
    return ::sendto(descriptor_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&remote),
                    sizeof remote) == static_cast<ssize_t>(bytes.size());
}

std::optional<Socket::Datagram> Socket::Receive(int timeoutMs) {
    pollfd readable{descriptor_, POLLIN, 0};
    if (::poll(&readable, 1, timeoutMs) <= 0) return std::nullopt;
    Datagram datagram;
    datagram.bytes.resize(2048);
    sockaddr_in remote{};
    socklen_t length = sizeof remote;
    const ssize_t received = ::recvfrom(descriptor_, datagram.bytes.data(), datagram.bytes.size(), 0,
                                        reinterpret_cast<sockaddr*>(&remote), &length);
    if (received < 0) return std::nullopt;
    datagram.bytes.resize(static_cast<std::size_t>(received));
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &remote.sin_addr, text, sizeof text);
    datagram.sourceAddress = text;
    datagram.sourcePort = ntohs(remote.sin_port);
    return datagram;
}

}  // namespace labside
