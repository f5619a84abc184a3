#pragma once
// The instrument side's view of the four wire formats it speaks: the discovery frame, the
// wake-up packet, the BOOTP message (RFC 951) and the TFTP packets (RFC 1350). Offsets
// count from the first byte of the UDP payload; multi-byte fields are big-endian unless
// said otherwise. Constants only; the functions are in packets.h.

#include <cstddef>
#include <cstdint>

namespace lab {

// --- Discovery, UDP port 23 -----------------------------------------------------------
constexpr std::uint16_t DISCOVERY_PORT = 23;
constexpr std::uint8_t REQUEST_TAG = 0xFF;
constexpr std::uint8_t REPLY_TAG = 0xFE;
constexpr std::uint8_t CMD_DISCOVER = 2;
constexpr std::size_t REQUEST_LENGTH = 4;  // FF 04 02 FB, nothing more

constexpr std::size_t FRAME_TAG_OFFSET = 0;
constexpr std::size_t FRAME_LENGTH_OFFSET = 1;
constexpr std::size_t FRAME_COMMAND_OFFSET = 2;
constexpr std::size_t REPLY_TYPE_OFFSET = 3;
constexpr std::size_t REPLY_NUMBER_OFFSET = 4;
constexpr std::size_t REPLY_EXTRA_OFFSET = 5;
constexpr std::size_t REPLY_EXTRA_LENGTH = 4;
constexpr std::size_t REPLY_MAC_OFFSET = 9;
constexpr std::size_t MAC_LENGTH = 6;
constexpr std::size_t REPLY_VERSION_OFFSET = 15;  // little-endian
constexpr std::size_t REPLY_VERSION_LENGTH = 4;
constexpr std::size_t REPLY_DESCRIPTION_OFFSET = 19;
constexpr std::size_t REPLY_DESCRIPTION_LENGTH = 64;
constexpr std::size_t COMPLETE_REPLY_LENGTH = 84;  // description + checksum
constexpr std::size_t MAX_FRAME_LENGTH = 255;      // the length field is one byte
// A reply datagram may be made longer than its frame (tests of the receiver's buffer).
constexpr std::size_t MAX_REPLY_DATAGRAM = 1024;

static_assert(REPLY_EXTRA_OFFSET == REPLY_NUMBER_OFFSET + 1);
static_assert(REPLY_MAC_OFFSET == REPLY_EXTRA_OFFSET + REPLY_EXTRA_LENGTH);
static_assert(REPLY_VERSION_OFFSET == REPLY_MAC_OFFSET + MAC_LENGTH);
static_assert(REPLY_DESCRIPTION_OFFSET == REPLY_VERSION_OFFSET + REPLY_VERSION_LENGTH);
static_assert(COMPLETE_REPLY_LENGTH == REPLY_DESCRIPTION_OFFSET + REPLY_DESCRIPTION_LENGTH + 1);

// --- Wake-up packet, UDP port 9 --------------------------------------------------------
constexpr std::uint16_t MAGIC_PORT = 9;
constexpr std::uint8_t MAGIC_LEAD_IN_BYTE = 0xAA;
constexpr std::size_t MAGIC_LEAD_IN_LENGTH = 6;
constexpr std::size_t MAGIC_MAC_COPIES = 4;
constexpr std::size_t MAGIC_PACKET_LENGTH = 30;
static_assert(MAGIC_PACKET_LENGTH == MAGIC_LEAD_IN_LENGTH + MAGIC_MAC_COPIES * MAC_LENGTH);

// --- BOOTP (RFC 951), client port 68, server port 67 -----------------------------------
constexpr std::uint16_t BOOTP_SERVER_PORT = 67;
constexpr std::uint16_t BOOTP_CLIENT_PORT = 68;
constexpr std::uint8_t BOOTREQUEST = 1;
constexpr std::uint8_t BOOTREPLY = 2;
constexpr std::uint8_t HTYPE_ETHERNET = 1;

constexpr std::size_t BOOTP_OP_OFFSET = 0;
constexpr std::size_t BOOTP_HTYPE_OFFSET = 1;
constexpr std::size_t BOOTP_HLEN_OFFSET = 2;
constexpr std::size_t BOOTP_HOPS_OFFSET = 3;
constexpr std::size_t BOOTP_XID_OFFSET = 4;
constexpr std::size_t BOOTP_SECS_OFFSET = 8;
constexpr std::size_t BOOTP_FLAGS_OFFSET = 10;
constexpr std::size_t BOOTP_CIADDR_OFFSET = 12;
constexpr std::size_t BOOTP_YIADDR_OFFSET = 16;
constexpr std::size_t BOOTP_SIADDR_OFFSET = 20;
constexpr std::size_t BOOTP_GIADDR_OFFSET = 24;
constexpr std::size_t BOOTP_CHADDR_OFFSET = 28;
constexpr std::size_t BOOTP_CHADDR_LENGTH = 16;
constexpr std::size_t BOOTP_SNAME_OFFSET = 44;
constexpr std::size_t BOOTP_SNAME_LENGTH = 64;
constexpr std::size_t BOOTP_FILE_OFFSET = 108;
constexpr std::size_t BOOTP_FILE_LENGTH = 128;
constexpr std::size_t BOOTP_VEND_OFFSET = 236;
constexpr std::size_t BOOTP_VEND_LENGTH = 64;
constexpr std::size_t BOOTP_MESSAGE_LENGTH = 300;

static_assert(BOOTP_XID_OFFSET == BOOTP_HOPS_OFFSET + 1);
static_assert(BOOTP_SECS_OFFSET == BOOTP_XID_OFFSET + 4);
static_assert(BOOTP_FLAGS_OFFSET == BOOTP_SECS_OFFSET + 2);
static_assert(BOOTP_CIADDR_OFFSET == BOOTP_FLAGS_OFFSET + 2);
static_assert(BOOTP_YIADDR_OFFSET == BOOTP_CIADDR_OFFSET + 4);
static_assert(BOOTP_SIADDR_OFFSET == BOOTP_YIADDR_OFFSET + 4);
static_assert(BOOTP_GIADDR_OFFSET == BOOTP_SIADDR_OFFSET + 4);
static_assert(BOOTP_CHADDR_OFFSET == BOOTP_GIADDR_OFFSET + 4);
static_assert(BOOTP_SNAME_OFFSET == BOOTP_CHADDR_OFFSET + BOOTP_CHADDR_LENGTH);
static_assert(BOOTP_FILE_OFFSET == BOOTP_SNAME_OFFSET + BOOTP_SNAME_LENGTH);
static_assert(BOOTP_VEND_OFFSET == BOOTP_FILE_OFFSET + BOOTP_FILE_LENGTH);
static_assert(BOOTP_MESSAGE_LENGTH == BOOTP_VEND_OFFSET + BOOTP_VEND_LENGTH);

// The vendor area of the boot loader's request starts with the RFC 1048 cookie and an
// end option, so that a server echoing the area back can be checked.
constexpr std::uint8_t VEND_COOKIE[4] = {99, 130, 83, 99};
constexpr std::uint8_t VEND_END_OPTION = 0xFF;

// --- TFTP (RFC 1350), server port 69 ---------------------------------------------------
constexpr std::uint16_t TFTP_SERVER_PORT = 69;
constexpr std::uint16_t TFTP_RRQ = 1;
constexpr std::uint16_t TFTP_WRQ = 2;
constexpr std::uint16_t TFTP_DATA = 3;
constexpr std::uint16_t TFTP_ACK = 4;
constexpr std::uint16_t TFTP_ERROR = 5;
constexpr std::uint16_t TFTP_ERROR_ILLEGAL_OPERATION = 4;
constexpr std::uint16_t TFTP_ERROR_UNKNOWN_TID = 5;

constexpr std::size_t TFTP_OPCODE_OFFSET = 0;
constexpr std::size_t TFTP_BLOCK_OFFSET = 2;       // DATA and ACK
constexpr std::size_t TFTP_ERROR_CODE_OFFSET = 2;  // ERROR
constexpr std::size_t TFTP_HEADER_LENGTH = 4;      // opcode + block (or error code)
constexpr std::size_t TFTP_ACK_LENGTH = 4;
constexpr std::size_t TFTP_BLOCK_SIZE = 512;
constexpr std::size_t TFTP_MAX_DATA_PACKET = TFTP_HEADER_LENGTH + TFTP_BLOCK_SIZE;
constexpr std::size_t TFTP_MAX_ERROR_MESSAGE = 100;
constexpr std::size_t TFTP_MAX_ERROR_PACKET = TFTP_HEADER_LENGTH + TFTP_MAX_ERROR_MESSAGE + 1;
constexpr std::size_t TFTP_MAX_REQUEST_PACKET = 2 + BOOTP_FILE_LENGTH + sizeof("octet");
static_assert(TFTP_BLOCK_OFFSET + 2 == TFTP_HEADER_LENGTH);

}  // namespace lab
