#pragma once
// A bare POSIX UDP socket for the simulator's tests: the workstation's side written from
// scratch in the test, so that no product code takes part.

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace labtest {

using Bytes = std::vector<std::uint8_t>;

struct Source {
    std::string address;
    std::uint16_t port = 0;
};

class RawUdp {
public:
    // Bound to address:port ("0.0.0.0" for any); device, when given, pins the socket to an
    // interface (SO_BINDTODEVICE) so its broadcasts leave there.
    RawUdp(const std::string& address, std::uint16_t port, const std::string& device = "") {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        if (!device.empty()) {
            ::setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                         static_cast<socklen_t>(device.size()));
        }
        const sockaddr_in local = Make(address, port);
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }
    ~RawUdp() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawUdp(const RawUdp&) = delete;
    RawUdp& operator=(const RawUdp&) = delete;

    bool IsBound() const { return fd_ >= 0 && bound_; }

    std::uint16_t Port() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }

    bool Send(const Bytes& datagram, const std::string& address, std::uint16_t port) {
        const sockaddr_in target = Make(address, port);
        return ::sendto(fd_, datagram.data(), datagram.size(), 0,
                        reinterpret_cast<const sockaddr*>(&target),
                        sizeof target) == static_cast<ssize_t>(datagram.size());
    }

    // One datagram within the time limit, or nullopt.
    std::optional<Bytes> Receive(std::chrono::milliseconds limit, Source* source = nullptr) {
        pollfd descriptor{fd_, POLLIN, 0};
        if (::poll(&descriptor, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
        Bytes buffer(4096);  // larger than anything the simulator sends
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t length = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (length < 0) return std::nullopt;
        buffer.resize(static_cast<std::size_t>(length));
        if (source != nullptr) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            source->address = text;
            source->port = ntohs(from.sin_port);
        }
        return buffer;
    }

private:
    static sockaddr_in Make(const std::string& address, std::uint16_t port) {
        sockaddr_in result{};
        result.sin_family = AF_INET;
        result.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &result.sin_addr);
        return result;
    }

    int fd_ = -1;
    bool bound_ = false;
};

}  // namespace labtest
