#pragma once
// Plain POSIX sockets opened inside the lab namespace, to play the far side of a link
// independently of the socket layer under test.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace labside {

// A kernel UDP socket created in the named network namespace (the namespace is entered by
// a short-lived thread, so this process stays where it is). Closed on destruction.
class Socket {
public:
    // Bound to address:port ("0.0.0.0" for any), optionally tied to a device, broadcast on.
    Socket(const std::string& ns, const std::string& address, std::uint16_t port,
           const std::string& device = "");
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool SendTo(const std::string& address, std::uint16_t port, const std::vector<std::uint8_t>& bytes);
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        std::string sourceAddress;
        std::uint16_t sourcePort = 0;
    };
    // Waits up to timeoutMs for one datagram.
    std::optional<Datagram> Receive(int timeoutMs);

private:
    int descriptor_ = -1;
};

}  // namespace labside
