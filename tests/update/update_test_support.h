#pragma once
// Helpers shared by the update tests: recording sinks, BOOTP requests, and sockets on
// loopback that play the boot loader's side.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/address.h"
#include "net/udp_socket.h"
#include "update/update_session.h"

namespace updatetest {

inline const MacAddress TEST_MAC{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
inline const net::Ipv4Address LOOPBACK = net::MakeAddress(127, 0, 0, 1);
inline const net::Ipv4Address STRANGER = net::MakeAddress(127, 0, 0, 2);

// Keeps every line and every percentage an update reports.
struct Recorder {
    std::vector<std::wstring> lines;
    std::vector<unsigned> progress;

    static void Log(void* context, const wchar_t* text) {
        static_cast<Recorder*>(context)->lines.emplace_back(text);
    }
    static void Progress(void* context, unsigned percent) {
        static_cast<Recorder*>(context)->progress.push_back(percent);
    }
};

// A 300-byte BOOTP request of the boot loader with the given sname; every other byte
// carries a pattern so that a test sees which bytes a reply keeps.
std::vector<std::uint8_t> MakeBootpRequest(const MacAddress& mac, const std::string& sname);

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values);
std::vector<std::uint8_t> TftpRequest(std::uint16_t opcode, const std::string& file = "firmware.bin",
                                      const std::string& mode = "octet");
std::vector<std::uint8_t> Ack(std::uint16_t block);

// A socket bound to address:port (port 0: any), broadcast allowed.
net::UdpSocket BoundSocket(net::Ipv4Address address, std::uint16_t port);

// Waits (bounded) until socket is readable.
bool WaitReadable(const net::UdpSocket& socket,
                  std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

struct Datagram {
    std::vector<std::uint8_t> bytes;
    net::Endpoint source;
};
// The next datagram on socket within limit, or nullopt.
std::optional<Datagram> Receive(net::UdpSocket& socket,
                                std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

// The image bytes of a test: a pattern that differs from block to block.
std::unique_ptr<std::uint8_t[]> PatternImage(std::size_t size);

}  // namespace updatetest
