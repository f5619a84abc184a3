#pragma once
// The TFTP read server: serves the session's image as "firmware.bin" in 512-byte blocks,
// one transfer at a time, each from a data socket of its own.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "update/update_session.h"

// Quiet waits after which an unacknowledged block goes out again.
constexpr std::uint32_t IDLE_TIMEOUTS_BEFORE_RESEND = 2;
// Ports tried for one data socket before the read request is given up (the client asks
// again after its own time-out).
constexpr int DATA_SOCKET_ATTEMPTS = 100;

// Pure packet functions.
bool IsReadRequest(std::span<const std::uint8_t> datagram);
bool IsAckOf(std::span<const std::uint8_t> datagram, std::uint32_t block);
// Writes the 27-byte "illegal TFTP operation" error into packet; returns its length.
std::size_t BuildErrorReply(std::span<std::uint8_t, PACKET_BUFFER_SIZE> packet);
// The share of an image of imageSize bytes acknowledged with block, rounded down.
unsigned ProgressPercent(std::uint32_t block, std::uint32_t imageSize);
// Whether block is the last block of an image of imageSize bytes.
bool IsLastBlock(std::uint32_t block, std::uint32_t imageSize);

// Writes DATA block `block` (>= 1) of the image into packet; returns the datagram length,
// the data length plus 4.
std::size_t BuildDataPacket(UpdateSession& session, std::uint32_t block);

// tftpSocket is readable: a read request (re)starts the transfer and sends block 1,
// anything else gets the error reply.
void StartTftpTransfer(UpdateSession& session);
// Everything StartTftpTransfer does after its receive: the datagram is the first length
// bytes of packet, its sender is in peerAddress.
void StartTftpTransferWithDatagram(UpdateSession& session, std::size_t length);

// dataSocket is readable: the client's ACK of the current block brings the next block.
// Returns true when the last block has been acknowledged (100 has gone to the sink).
bool ContinueTftpTransfer(UpdateSession& session);
// Everything ContinueTftpTransfer does after its receive, likewise.
bool ContinueTftpTransferWithDatagram(UpdateSession& session, std::size_t length);

// After a quiet wait while a transfer exists: sends the current block again once
// idleCount has reached IDLE_TIMEOUTS_BEFORE_RESEND.
void RetransmitOnIdle(UpdateSession& session);
// After any pass while a transfer exists: sends the current block again once resendAfter
// has passed since it was last sent, so that traffic on the LAN, which keeps the waits
// from being quiet, cannot hold back the repetition of a lost block.
void RetransmitWhenOverdue(UpdateSession& session, std::chrono::steady_clock::duration resendAfter);
