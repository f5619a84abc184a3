#pragma once
// TFTP packet layout (RFC 1350): opcodes, block numbers and error codes are 16-bit
// values, high byte first.

#include <cstddef>
#include <cstdint>

constexpr std::size_t TFTP_OPCODE_OFFSET = 0;
constexpr std::size_t TFTP_OPCODE_LENGTH = 2;
constexpr std::size_t TFTP_BLOCK_OFFSET = 2;    // DATA and ACK
constexpr std::size_t TFTP_ERROR_CODE_OFFSET = 2;
constexpr std::size_t TFTP_NUMBER_LENGTH = 2;
constexpr std::size_t TFTP_DATA_OFFSET = 4;
constexpr std::size_t TFTP_ERROR_MESSAGE_OFFSET = 4;
static_assert(TFTP_OPCODE_OFFSET + TFTP_OPCODE_LENGTH == TFTP_BLOCK_OFFSET);
static_assert(TFTP_BLOCK_OFFSET + TFTP_NUMBER_LENGTH == TFTP_DATA_OFFSET);

constexpr std::uint16_t TFTP_OPCODE_RRQ = 1;
constexpr std::uint16_t TFTP_OPCODE_WRQ = 2;
constexpr std::uint16_t TFTP_OPCODE_DATA = 3;
constexpr std::uint16_t TFTP_OPCODE_ACK = 4;
constexpr std::uint16_t TFTP_OPCODE_ERROR = 5;

constexpr std::uint16_t TFTP_ERROR_ILLEGAL_OPERATION = 4;
constexpr char TFTP_ERROR_MESSAGE[] = "Only RRQ is supported!";  // sent with its zero byte
constexpr std::size_t TFTP_ERROR_REPLY_LENGTH = TFTP_ERROR_MESSAGE_OFFSET + sizeof(TFTP_ERROR_MESSAGE);
static_assert(TFTP_ERROR_REPLY_LENGTH == 27);

constexpr std::size_t TFTP_BLOCK_SIZE = 512;
constexpr std::size_t TFTP_MAX_DATA_PACKET_LENGTH = TFTP_DATA_OFFSET + TFTP_BLOCK_SIZE;
// Only the opcode of a request is read; only opcode and block number of an ACK.
constexpr std::size_t TFTP_MIN_REQUEST_LENGTH = TFTP_OPCODE_LENGTH;
constexpr std::size_t TFTP_MIN_ACK_LENGTH = TFTP_DATA_OFFSET;

constexpr std::uint16_t TFTP_SERVER_PORT = 69;
