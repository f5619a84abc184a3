#pragma once
// The state of one update run, shared by the run and its BOOTP and TFTP handlers.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "net/address.h"
#include "net/udp_socket.h"
#include "update/update_callbacks.h"

constexpr std::size_t PACKET_BUFFER_SIZE = 700;
constexpr std::size_t LINE_BUFFER_SIZE = 512;

using MacAddress = std::array<std::uint8_t, 6>;

// Seams of the handlers for tests that drive remote bytes through them without a network
// (see update/session_network.h): where a datagram goes instead of out of `socket`, and
// where a data socket comes from instead of a bind to address:port.
using DatagramSender = int (*)(void* context, const net::UdpSocket& socket,
                               std::span<const std::uint8_t> datagram, net::Endpoint destination);
using DataSocketOpener = net::UdpSocket (*)(void* context, net::Ipv4Address address,
                                            std::uint16_t port);

struct UpdateSession {
    MacAddress macAddress{};
    net::Ipv4Address interfaceAddress = net::ANY_ADDRESS;  // network byte order
    net::Ipv4Address deviceAddress = net::ANY_ADDRESS;     // network byte order

    std::unique_ptr<std::uint8_t[]> image;  // the whole file, exactly imageSize bytes
    std::uint32_t imageSize = 0;

    net::UdpSocket bootpSocket;
    net::UdpSocket tftpSocket;
    net::UdpSocket magicSocket;
    net::UdpSocket dataSocket;  // !IsOpen() while no transfer exists

    bool bootpAnswered = false;
    std::uint32_t currentBlock = 0;  // number of the DATA block last sent
    std::uint32_t idleCount = 0;     // quiet waits since a DATA block was last sent
    // When the DATA block and the wake-up packet last went out (monotonic clock): their
    // repetitions also fall due by time, however busy the waits are.
    std::chrono::steady_clock::time_point blockSentAt{};
    std::chrono::steady_clock::time_point magicSentAt{};
    // Counts the data sockets opened, so the loop can tell that the data socket of
    // its wait has since been replaced.
    std::uint32_t dataSocketsOpened = 0;

    net::Endpoint peerAddress;     // sender of the datagram received last, on any socket
    net::Endpoint transferClient;  // sender of the read request of the current transfer

    std::array<std::uint8_t, PACKET_BUFFER_SIZE> packet{};
    std::array<wchar_t, LINE_BUFFER_SIZE> lineBuffer{};

    LogSink logSink = nullptr;
    ProgressSink progressSink = nullptr;
    void* context = nullptr;

    // Null in the product: the handlers send through the sockets and bind data sockets.
    DatagramSender sendDatagram = nullptr;
    DataSocketOpener openDataSocket = nullptr;
    void* networkContext = nullptr;
};
