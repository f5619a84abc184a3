#pragma once
// Wire layout of the discovery frame (UDP port 23), shared by the request and the reply.
// Offsets count from the first byte of the UDP payload. Layout only, no logic.
//
//   0      tag        0xFF request, 0xFE reply
//   1      length     bytes of the whole frame, tag to checksum inclusive (4..255)
//   2      command    2 (discover)
//   3..    payload    by command
//   len-1  checksum   makes the 8-bit sum of all `length` bytes zero

#include <cstddef>
#include <cstdint>

constexpr std::uint16_t DISCOVERY_PORT = 23;

constexpr std::size_t FRAME_TAG_OFFSET = 0;
constexpr std::size_t FRAME_LENGTH_OFFSET = 1;
constexpr std::size_t FRAME_COMMAND_OFFSET = 2;
constexpr std::size_t FRAME_PAYLOAD_OFFSET = 3;
// The smallest frame: tag, length, command and checksum, no payload.
constexpr std::size_t MIN_FRAME_LENGTH = 4;
// The length field is one byte.
constexpr std::size_t MAX_FRAME_LENGTH = 255;

constexpr std::uint8_t REQUEST_TAG = 0xFF;
constexpr std::uint8_t REPLY_TAG = 0xFE;
constexpr std::uint8_t CMD_DISCOVER = 2;

// The request is the bare frame: FF 04 02 FB.
constexpr std::size_t DISCOVERY_REQUEST_LENGTH = MIN_FRAME_LENGTH;

// Reply payload fields (offset, size). A field is taken only when the frame's `length`
// is greater than its threshold: the field's end, past which at least the checksum lies.
constexpr std::size_t REPLY_DEVICE_TYPE_OFFSET = 3;
constexpr std::size_t REPLY_DEVICE_TYPE_SIZE = 1;
constexpr std::size_t REPLY_NUMBER_OFFSET = 4;
constexpr std::size_t REPLY_NUMBER_SIZE = 1;
constexpr std::size_t REPLY_EXTRA_OFFSET = 5;
constexpr std::size_t REPLY_EXTRA_SIZE = 4;
constexpr std::size_t REPLY_MAC_OFFSET = 9;
constexpr std::size_t REPLY_MAC_SIZE = 6;
constexpr std::size_t REPLY_VERSION_OFFSET = 15;  // unsigned 32-bit, little-endian
constexpr std::size_t REPLY_VERSION_SIZE = 4;
constexpr std::size_t REPLY_DESCRIPTION_OFFSET = 19;
constexpr std::size_t REPLY_DESCRIPTION_SIZE = 64;

constexpr std::size_t REPLY_DEVICE_TYPE_THRESHOLD = REPLY_DEVICE_TYPE_OFFSET + REPLY_DEVICE_TYPE_SIZE;
constexpr std::size_t REPLY_NUMBER_THRESHOLD = REPLY_NUMBER_OFFSET + REPLY_NUMBER_SIZE;
constexpr std::size_t REPLY_EXTRA_THRESHOLD = REPLY_EXTRA_OFFSET + REPLY_EXTRA_SIZE;
constexpr std::size_t REPLY_MAC_THRESHOLD = REPLY_MAC_OFFSET + REPLY_MAC_SIZE;
constexpr std::size_t REPLY_VERSION_THRESHOLD = REPLY_VERSION_OFFSET + REPLY_VERSION_SIZE;
constexpr std::size_t REPLY_DESCRIPTION_THRESHOLD = REPLY_DESCRIPTION_OFFSET + REPLY_DESCRIPTION_SIZE;

// A complete reply: every field and the checksum.
constexpr std::size_t FULL_REPLY_LENGTH = REPLY_DESCRIPTION_THRESHOLD + 1;

// Receive buffer of a sweep: holds any frame (length <= 255) and one byte more.
constexpr std::size_t DISCOVERY_BUFFER_SIZE = 256;

static_assert(FRAME_PAYLOAD_OFFSET == FRAME_COMMAND_OFFSET + 1);
static_assert(MIN_FRAME_LENGTH == FRAME_PAYLOAD_OFFSET + 1);
static_assert(REPLY_DEVICE_TYPE_OFFSET == FRAME_PAYLOAD_OFFSET);
static_assert(REPLY_NUMBER_OFFSET == REPLY_DEVICE_TYPE_THRESHOLD);
static_assert(REPLY_EXTRA_OFFSET == REPLY_NUMBER_THRESHOLD);
static_assert(REPLY_MAC_OFFSET == REPLY_EXTRA_THRESHOLD);
static_assert(REPLY_VERSION_OFFSET == REPLY_MAC_THRESHOLD);
static_assert(REPLY_DESCRIPTION_OFFSET == REPLY_VERSION_THRESHOLD);
static_assert(REPLY_DEVICE_TYPE_THRESHOLD == 4 && REPLY_NUMBER_THRESHOLD == 5 &&
              REPLY_EXTRA_THRESHOLD == 9 && REPLY_MAC_THRESHOLD == 15 &&
              REPLY_VERSION_THRESHOLD == 19 && REPLY_DESCRIPTION_THRESHOLD == 83);
static_assert(FULL_REPLY_LENGTH == 84);
static_assert(FULL_REPLY_LENGTH <= MAX_FRAME_LENGTH);
static_assert(DISCOVERY_BUFFER_SIZE > MAX_FRAME_LENGTH);
