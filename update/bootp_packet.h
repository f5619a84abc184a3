#pragma once
// BOOTP message layout (RFC 951): offsets from the start of the UDP payload, multi-byte
// values in network byte order.

#include <cstddef>
#include <cstdint>

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
constexpr std::size_t BOOTP_ADDRESS_LENGTH = 4;

// A request must hold the whole fixed part; the vendor area may be short or absent.
constexpr std::size_t BOOTP_MIN_REQUEST_LENGTH = BOOTP_VEND_OFFSET;
// The reply is always this long, vendor area included.
constexpr std::size_t BOOTP_REPLY_LENGTH = 300;

static_assert(BOOTP_CIADDR_OFFSET + BOOTP_ADDRESS_LENGTH == BOOTP_YIADDR_OFFSET);
static_assert(BOOTP_YIADDR_OFFSET + BOOTP_ADDRESS_LENGTH == BOOTP_SIADDR_OFFSET);
static_assert(BOOTP_SIADDR_OFFSET + BOOTP_ADDRESS_LENGTH == BOOTP_GIADDR_OFFSET);
static_assert(BOOTP_GIADDR_OFFSET + BOOTP_ADDRESS_LENGTH == BOOTP_CHADDR_OFFSET);
static_assert(BOOTP_CHADDR_OFFSET + BOOTP_CHADDR_LENGTH == BOOTP_SNAME_OFFSET);
static_assert(BOOTP_SNAME_OFFSET + BOOTP_SNAME_LENGTH == BOOTP_FILE_OFFSET);
static_assert(BOOTP_FILE_OFFSET + BOOTP_FILE_LENGTH == BOOTP_VEND_OFFSET);
static_assert(BOOTP_VEND_OFFSET + BOOTP_VEND_LENGTH == BOOTP_REPLY_LENGTH);

constexpr std::uint8_t BOOTP_OP_REQUEST = 1;
constexpr std::uint8_t BOOTP_OP_REPLY = 2;
constexpr std::uint8_t BOOTP_HTYPE_ETHERNET = 1;
constexpr std::uint8_t BOOTP_HLEN_ETHERNET = 6;

constexpr std::uint16_t BOOTP_SERVER_PORT = 67;

// The boot loaders' identifiers in sname, compared without regard to ASCII letter case.
constexpr const char* BOOTLOADER_NAMES[] = {"stellaris", "tiva"};
// The boot file named in every reply.
constexpr char BOOT_FILE_NAME[] = "firmware.bin";
static_assert(sizeof(BOOT_FILE_NAME) <= BOOTP_FILE_LENGTH);
