#pragma once
// IPv4 UDP datagram sockets with the semantics the rest of the system relies on,
// whatever the operating system does underneath:
//  - a socket bound to an interface address receives the unicasts to that address and
//    the limited (255.255.255.255) and directed broadcasts that arrive on that interface;
//  - its broadcasts leave through that interface with that source address;
//  - a datagram longer than the receive buffer is a failed receive and is discarded whole.
// This header is the only interface to the platform's sockets: no OS type crosses it.

#include <array>
#include <chrono>
#include <cstdint>
#include <span>

#include "net/address.h"

namespace net {

class UdpSocket;
enum class WaitResult;
WaitResult WaitReadable(std::span<const UdpSocket* const> sockets, std::span<bool> readable,
                        std::chrono::milliseconds timeout);

class UdpSocket {
public:
    // A new IPv4 datagram socket, blocking, broadcast off, unbound; !IsOpen() on failure.
    static UdpSocket Create();

    UdpSocket() = default;
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    ~UdpSocket();

    bool IsOpen() const { return descriptors_[0] >= 0; }

    // Permission to send to broadcast addresses (SO_BROADCAST).
    bool SetBroadcast(bool enabled);
    // Blocking (default) or non-blocking receives.
    bool SetBlocking(bool blocking);
    // Binds to a local address and port (port 0: the system chooses one). Bound to an
    // interface address, the socket also receives that interface's broadcasts.
    bool Bind(Ipv4Address address, std::uint16_t port);
    // Binds like Bind but takes only the unicasts to address:port, none of the interface's
    // broadcasts: for a socket to which nothing is broadcast (a transfer's data socket),
    // so that each wait on it watches one kernel descriptor instead of three.
    bool BindUnicastOnly(Ipv4Address address, std::uint16_t port);
    // The bound address and port; port 0 while unbound.
    Endpoint LocalEndpoint() const;

    // Sends one datagram; the number of bytes taken, or -1.
    int SendTo(std::span<const std::uint8_t> datagram, Endpoint destination);
    // Receives one datagram into buffer; its length, or -1 on failure (a datagram longer
    // than the buffer included: it is discarded). source is written on success only.
    int ReceiveFrom(std::span<std::uint8_t> buffer, Endpoint& source);

    void Close();

    // Kernel descriptors behind this socket, for WaitReadable; -1 where unused.
    static constexpr std::size_t MAX_DESCRIPTORS = 3;
    const std::array<int, MAX_DESCRIPTORS>& Descriptors() const { return descriptors_; }

private:
    bool BindTo(Ipv4Address address, std::uint16_t port, bool receiveBroadcasts);

    // [0] the socket proper (bound address and port: unicasts, every send);
    // [1] the interface's limited broadcasts, [2] its directed broadcasts (bound sockets only).
    std::array<int, MAX_DESCRIPTORS> descriptors_{-1, -1, -1};
    bool blocking_ = true;
    std::size_t nextDescriptor_ = 0;  // where the next receive starts looking
    // Descriptors the last wait found readable (bit i: descriptors_[i]); the next receive
    // looks there first, so a datagram costs one receive call.
    mutable unsigned readyHint_ = 0;
    friend WaitResult WaitReadable(std::span<const UdpSocket* const>, std::span<bool>, std::chrono::milliseconds);
};

enum class WaitResult {
    Ready,        // at least one socket is readable
    TimedOut,     // nothing arrived within the time-out
    Interrupted,  // a signal interrupted the wait; waiting again is safe
    Failed,       // the wait itself failed (e.g. no socket to wait on)
};

// Largest number of sockets one wait takes (the select() set of the original platform).
constexpr std::size_t MAX_WAIT_SOCKETS = 64;

// Waits until at least one of sockets is readable or timeout passes. readable[i] tells
// about sockets[i] (readable must be at least as long). Null entries are skipped.
// Fails when sockets is empty or longer than MAX_WAIT_SOCKETS.
WaitResult WaitReadable(std::span<const UdpSocket* const> sockets, std::span<bool> readable,
                        std::chrono::milliseconds timeout);

}  // namespace net
