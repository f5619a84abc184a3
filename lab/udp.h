#pragma once
// The simulator's own thin socket layer (POSIX, independent of the workstation's net/).
//
// Every instrument port (23, 9, 68) is one kernel socket bound to 0.0.0.0 with IP_PKTINFO:
// the receive tells on which interface a datagram arrived and whether it was a limited,
// a directed broadcast or a unicast, and the simulator hands it to the instruments that
// would have heard it. Sends name the instrument's interface and address as the source.
// A TFTP client is an ordinary socket bound to the instrument's address.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lab/file_descriptor.h"
#include "lab/config.h"
#include "lab/packets.h"

namespace lab {

struct Peer {
    Ipv4Bytes address{};
    std::uint16_t port = 0;
    friend bool operator==(const Peer&, const Peer&) = default;
};
std::string FormatPeer(const Peer& peer);

struct ReceivedDatagram {
    std::size_t length = 0;
    Peer source;
    Ipv4Bytes destination{};      // the header destination (unicast or broadcast)
    unsigned interfaceIndex = 0;  // where it arrived
};

enum class ReceiveStatus { Received, Empty, Dropped };

class PortSocket {
public:
    // 0.0.0.0:port, non-blocking, broadcast allowed; false on failure (errno kept).
    bool Open(std::uint16_t port);
    int Descriptor() const { return socket_.Get(); }
    // One datagram into buffer. Dropped: a datagram longer than the buffer (discarded
    // whole) or a failed receive.
    ReceiveStatus Receive(std::span<std::uint8_t> buffer, ReceivedDatagram& datagram);
    // Sends from this port with the given source address out of the given interface.
    bool SendFrom(std::span<const std::uint8_t> datagram, const Ipv4Bytes& source,
                  unsigned interfaceIndex, const Peer& destination);

private:
    FileDescriptor socket_;
};

class ClientSocket {
public:
    // Bound to address and a port chosen by the system; non-blocking.
    bool Open(const Ipv4Bytes& address);
    void Close() { socket_.Reset(); }
    bool IsOpen() const { return socket_.IsOpen(); }
    int Descriptor() const { return socket_.Get(); }
    std::uint16_t LocalPort() const;
    ReceiveStatus Receive(std::span<std::uint8_t> buffer, std::size_t& length, Peer& source);
    bool SendTo(std::span<const std::uint8_t> datagram, const Peer& destination);

private:
    FileDescriptor socket_;
};

struct LocalAddress {
    Ipv4Bytes address{};
    Ipv4Bytes netmask{};
    unsigned interfaceIndex = 0;
    std::string interfaceName;
};
// Every IPv4 address of this namespace; nullopt when the table cannot be read.
std::optional<std::vector<LocalAddress>> ListLocalAddresses();

}  // namespace lab
