#pragma once
// Building and checking the instrument side's datagrams, over byte spans with explicit
// bounds. Layouts are in wire_format.h. Nothing here allocates or touches a socket.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "lab/wire_format.h"

namespace lab {

using Mac = std::array<std::uint8_t, MAC_LENGTH>;
// An IPv4 address as its four wire bytes, first byte first.
using Ipv4Bytes = std::array<std::uint8_t, 4>;

// True for exactly the discovery request FF 04 02 FB and nothing longer or different.
bool IsDiscoveryRequest(std::span<const std::uint8_t> datagram);

// What an instrument puts into its discovery reply, malformed variants included.
struct DiscoveryReplyFields {
    std::uint8_t tag = REPLY_TAG;
    std::uint8_t length = COMPLETE_REPLY_LENGTH;  // the frame's length byte
    std::uint8_t command = CMD_DISCOVER;
    std::uint8_t type = 1;
    std::uint8_t number = 0;
    std::array<std::uint8_t, REPLY_EXTRA_LENGTH> extra{};
    Mac mac{};
    std::uint32_t version = 0;
    std::array<std::uint8_t, REPLY_DESCRIPTION_LENGTH> description{};
    bool badChecksum = false;
    std::size_t sendBytes = COMPLETE_REPLY_LENGTH;  // datagram length, may differ from length
};

// Writes the reply datagram: the fields at their offsets, zeros elsewhere, and at
// length - 1 the checksum that makes the 8-bit sum of the first `length` bytes zero (a
// short length lets the checksum and the end of the frame cover trailing fields). Returns
// the datagram length, min(sendBytes, out.size()).
std::size_t BuildDiscoveryReply(const DiscoveryReplyFields& fields, std::span<std::uint8_t> out);

// The MAC address carried by a well-formed wake-up packet: exactly 30 bytes, six 0xAA and
// four identical copies of the address. nullopt for anything else.
std::optional<Mac> ParseMagicPacket(std::span<const std::uint8_t> datagram);

// A 300-byte BOOTREQUEST: htype 1, hlen 6, the MAC in chaddr, the name in sname (cut to
// 63 bytes), the RFC 1048 cookie and end option in vend, zeros elsewhere.
void BuildBootpRequest(std::span<std::uint8_t, BOOTP_MESSAGE_LENGTH> out, std::uint32_t xid,
                       const Mac& mac, std::string_view serverName, std::uint16_t seconds);

enum class BootpVerdict {
    Accepted,
    NotOurs,           // another client's transaction (xid or chaddr differ), or not a reply to anyone
    Short,             // ours, but shorter than the 300-byte message
    WrongOp,           // ours, but op is not BOOTREPLY
    WrongHardware,     // ours, but htype/hlen are not Ethernet
    FileUnterminated,  // the file field has no zero byte
    NoFile,            // the file field is empty
    NoServer,          // siaddr is 0.0.0.0
};
std::string_view VerdictName(BootpVerdict verdict);

struct BootpReply {
    Ipv4Bytes yourAddress{};    // yiaddr
    Ipv4Bytes serverAddress{};  // siaddr
    std::string_view file;      // the boot file name, a view into the checked datagram
};

// Checks a datagram received on the client port against this client's transaction.
BootpVerdict CheckBootpReply(std::span<const std::uint8_t> datagram, std::uint32_t xid,
                             const Mac& mac, BootpReply& reply);

// TFTP builders; each returns the packet length, or 0 when out is too small.
std::size_t BuildReadRequest(std::span<std::uint8_t> out, std::string_view file);
std::size_t BuildAck(std::span<std::uint8_t> out, std::uint16_t block);
std::size_t BuildError(std::span<std::uint8_t> out, std::uint16_t code, std::string_view message);

struct TftpHeader {
    std::uint16_t opcode = 0;
    std::uint16_t field = 0;  // block number (DATA, ACK) or error code (ERROR)
};
// The opcode and the following 16-bit field; nullopt below 4 bytes.
std::optional<TftpHeader> ParseTftpHeader(std::span<const std::uint8_t> datagram);

}  // namespace lab
