#include "update/tftp_transfer.h"

#include <algorithm>
#include <cstring>

#include "update/data_port.h"
#include "update/log_lines.h"
#include "update/open_udp_socket.h"
#include "update/session_log.h"
#include "update/session_network.h"
#include "update/tftp_packet.h"

namespace {

std::uint16_t ReadNumber(std::span<const std::uint8_t> datagram, std::size_t offset) {
    return static_cast<std::uint16_t>((datagram[offset] << 8) | datagram[offset + 1]);
}

void WriteNumber(std::span<std::uint8_t> packet, std::size_t offset, std::uint16_t value) {
    packet[offset] = static_cast<std::uint8_t>(value >> 8);
    packet[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

// On the wire a block number is the low 16 bits of the block's count.
std::uint16_t WireBlockNumber(std::uint32_t block) { return static_cast<std::uint16_t>(block & 0xFFFF); }

// Offsets and sizes in 64 bits: an image near 4 GiB has block counts whose byte offsets
// overflow 32 bits.
std::uint64_t BlockEnd(std::uint32_t block) { return std::uint64_t{block} * TFTP_BLOCK_SIZE; }

// Sends the datagram in the first length bytes of packet to the client of the transfer.
void SendBlock(UpdateSession& session, std::size_t length) {
    SendFromSession(session, session.dataSocket, std::span(session.packet).first(length),
                    session.transferClient);
    session.idleCount = 0;
    session.blockSentAt = std::chrono::steady_clock::now();
}

// Builds block currentBlock as a new block of the transfer, with its two lines, and sends it.
void SendNewBlock(UpdateSession& session) {
    const auto number = static_cast<std::int32_t>(session.currentBlock);
    LogFormattedLine(session, LINE_BUILDING_BLOCK, number);
    const std::size_t length = BuildDataPacket(session, session.currentBlock);
    LogFormattedLine(session, LINE_SENDING_BLOCK, number);
    SendBlock(session, length);
}

// Opens a data socket on the next ports of the generator; false when none would open.
bool OpenDataSocket(UpdateSession& session) {
    for (int attempt = 0; attempt < DATA_SOCKET_ATTEMPTS; ++attempt) {
        net::UdpSocket socket = OpenSessionDataSocket(session, NextDataPort());
        if (socket.IsOpen()) {
            session.dataSocket = std::move(socket);
            ++session.dataSocketsOpened;
            return true;
        }
    }
    return false;
}

}  // namespace

bool IsReadRequest(std::span<const std::uint8_t> datagram) {
    return datagram.size() >= TFTP_MIN_REQUEST_LENGTH &&
           ReadNumber(datagram, TFTP_OPCODE_OFFSET) == TFTP_OPCODE_RRQ;
}

bool IsAckOf(std::span<const std::uint8_t> datagram, std::uint32_t block) {
    return datagram.size() >= TFTP_MIN_ACK_LENGTH &&
           ReadNumber(datagram, TFTP_OPCODE_OFFSET) == TFTP_OPCODE_ACK &&
           ReadNumber(datagram, TFTP_BLOCK_OFFSET) == WireBlockNumber(block);
}

std::size_t BuildErrorReply(std::span<std::uint8_t, PACKET_BUFFER_SIZE> packet) {
    WriteNumber(packet, TFTP_OPCODE_OFFSET, TFTP_OPCODE_ERROR);
    WriteNumber(packet, TFTP_ERROR_CODE_OFFSET, TFTP_ERROR_ILLEGAL_OPERATION);
    std::memcpy(packet.data() + TFTP_ERROR_MESSAGE_OFFSET, TFTP_ERROR_MESSAGE, sizeof(TFTP_ERROR_MESSAGE));
    return TFTP_ERROR_REPLY_LENGTH;
}

unsigned ProgressPercent(std::uint32_t block, std::uint32_t imageSize) {
    if (imageSize == 0 || BlockEnd(block) >= imageSize) return 100;
    return static_cast<unsigned>(BlockEnd(block) * 100 / imageSize);
}

bool IsLastBlock(std::uint32_t block, std::uint32_t imageSize) { return imageSize < BlockEnd(block); }

std::size_t BuildDataPacket(UpdateSession& session, std::uint32_t block) {
    static_assert(TFTP_MAX_DATA_PACKET_LENGTH <= PACKET_BUFFER_SIZE);
    WriteNumber(session.packet, TFTP_OPCODE_OFFSET, TFTP_OPCODE_DATA);
    WriteNumber(session.packet, TFTP_BLOCK_OFFSET, WireBlockNumber(block));
    // Block n starts at (n - 1) * 512 and holds up to 512 bytes; a block at or past the
    // end of the image holds none (the closing block of a length that is a multiple of 512).
    const std::uint64_t start = BlockEnd(block - 1);
    const std::uint64_t available = start < session.imageSize ? session.imageSize - start : 0;
    const auto dataLength = static_cast<std::size_t>(std::min<std::uint64_t>(available, TFTP_BLOCK_SIZE));
    if (dataLength > 0)
        std::memcpy(session.packet.data() + TFTP_DATA_OFFSET, session.image.get() + start, dataLength);
    return TFTP_DATA_OFFSET + dataLength;
}

void StartTftpTransfer(UpdateSession& session) {
    LogLine(session, LINE_READING_TFTP);
    const int received = session.tftpSocket.ReceiveFrom(session.packet, session.peerAddress);
    if (received < 0) return;
    StartTftpTransferWithDatagram(session, static_cast<std::size_t>(received));
}

void StartTftpTransferWithDatagram(UpdateSession& session, std::size_t length) {
    if (length > session.packet.size()) return;  // no receive gives more
    LogLine(session, LINE_VERIFYING_RRQ);
    if (!IsReadRequest(std::span(session.packet).first(length))) {
        LogLine(session, LINE_GENERATE_ERROR);
        LogLine(session, LINE_PACKET_NOT_RECEIVED);
        const std::size_t replyLength = BuildErrorReply(session.packet);
        SendFromSession(session, session.tftpSocket, std::span(session.packet).first(replyLength),
                        session.peerAddress);
        return;
    }
    // The request of the transfer under way once more, from the same client port while
    // block 1 is still out: the client repeated it after its own time-out, or the network
    // doubled it. The client keeps to the port of the first block it took (the transfer
    // identifier of RFC 1350), so a restart on a new port would leave both ends waiting for
    // ever; block 1 goes again from the port the client already has instead.
    if (session.dataSocket.IsOpen() && session.currentBlock == 1 &&
        session.peerAddress == session.transferClient) {
        SendNewBlock(session);
        return;
    }
    if (session.dataSocket.IsOpen()) {
        LogLine(session, LINE_RESTARTING_TFTP);
        session.dataSocket.Close();
    }
    LogLine(session, LINE_CREATE_DATA_SOCKET);
    if (!OpenDataSocket(session)) {
        LogLine(session, LINE_CANNOT_ALLOCATE_SOCKET);
        return;
    }
    session.transferClient = session.peerAddress;
    session.currentBlock = 1;
    SendNewBlock(session);
}

bool ContinueTftpTransfer(UpdateSession& session) {
    LogLine(session, LINE_READING_DATA);
    const int received = session.dataSocket.ReceiveFrom(session.packet, session.peerAddress);
    if (received < 0) return false;
    return ContinueTftpTransferWithDatagram(session, static_cast<std::size_t>(received));
}

bool ContinueTftpTransferWithDatagram(UpdateSession& session, std::size_t length) {
    if (length > session.packet.size()) return false;  // no receive gives more
    LogLine(session, LINE_VERIFY_ACK);
    // Only the client of the transfer may move it on (the transfer identifier of RFC 1350).
    if (!(session.peerAddress == session.transferClient)) return false;
    if (!IsAckOf(std::span(session.packet).first(length), session.currentBlock))
        return false;
    if (IsLastBlock(session.currentBlock, session.imageSize)) {
        ReportProgress(session, 100);
        return true;
    }
    ReportProgress(session, ProgressPercent(session.currentBlock, session.imageSize));
    ++session.currentBlock;
    SendNewBlock(session);
    return false;
}

void RetransmitOnIdle(UpdateSession& session) {
    if (session.idleCount < IDLE_TIMEOUTS_BEFORE_RESEND) return;
    SendBlock(session, BuildDataPacket(session, session.currentBlock));
}

void RetransmitWhenOverdue(UpdateSession& session, std::chrono::steady_clock::duration resendAfter) {
    if (std::chrono::steady_clock::now() - session.blockSentAt < resendAfter) return;
    SendBlock(session, BuildDataPacket(session, session.currentBlock));
}
