#include "lab/packets.h"

#include <algorithm>
#include <cstring>

namespace lab {
namespace {

void PutU16(std::span<std::uint8_t> out, std::size_t offset, std::uint16_t value) {
    out[offset] = static_cast<std::uint8_t>(value >> 8);
    out[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

void PutU32(std::span<std::uint8_t> out, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

std::uint16_t GetU16(std::span<const std::uint8_t> in, std::size_t offset) {
    return static_cast<std::uint16_t>((in[offset] << 8) | in[offset + 1]);
}

std::uint32_t GetU32(std::span<const std::uint8_t> in, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | in[offset + i];
    return value;
}

}  // namespace

bool IsDiscoveryRequest(std::span<const std::uint8_t> datagram) {
    constexpr std::uint8_t REQUEST[REQUEST_LENGTH] = {REQUEST_TAG, REQUEST_LENGTH, CMD_DISCOVER,
                                                      0xFB};
    return datagram.size() == REQUEST_LENGTH &&
           std::equal(datagram.begin(), datagram.end(), std::begin(REQUEST));
}

std::size_t BuildDiscoveryReply(const DiscoveryReplyFields& fields, std::span<std::uint8_t> out) {
    const std::size_t datagramLength = std::min(fields.sendBytes, out.size());
    std::array<std::uint8_t, MAX_FRAME_LENGTH> frame{};
    frame[FRAME_TAG_OFFSET] = fields.tag;
    frame[FRAME_LENGTH_OFFSET] = fields.length;
    frame[FRAME_COMMAND_OFFSET] = fields.command;
    frame[REPLY_TYPE_OFFSET] = fields.type;
    frame[REPLY_NUMBER_OFFSET] = fields.number;
    std::copy(fields.extra.begin(), fields.extra.end(), frame.begin() + REPLY_EXTRA_OFFSET);
    std::copy(fields.mac.begin(), fields.mac.end(), frame.begin() + REPLY_MAC_OFFSET);
    for (std::size_t i = 0; i < REPLY_VERSION_LENGTH; ++i) {
        frame[REPLY_VERSION_OFFSET + i] = static_cast<std::uint8_t>(fields.version >> (8 * i));
    }
    std::copy(fields.description.begin(), fields.description.end(),
              frame.begin() + REPLY_DESCRIPTION_OFFSET);
    // The frame ends at length: the checksum takes the place of whatever field stood there,
    // and the bytes after it are not part of the frame.
    const std::size_t length = fields.length;
    if (length > 0) {
        std::fill(frame.begin() + length, frame.end(), 0);
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i + 1 < length; ++i) sum = static_cast<std::uint8_t>(sum + frame[i]);
        std::uint8_t checksum = static_cast<std::uint8_t>(0x100 - sum);
        if (fields.badChecksum) checksum = static_cast<std::uint8_t>(checksum + 1);
        frame[length - 1] = checksum;
    }
    std::fill(out.begin(), out.begin() + datagramLength, 0);
    std::copy_n(frame.begin(), std::min(datagramLength, frame.size()), out.begin());
    return datagramLength;
}

std::optional<Mac> ParseMagicPacket(std::span<const std::uint8_t> datagram) {
    if (datagram.size() != MAGIC_PACKET_LENGTH) return std::nullopt;
    for (std::size_t i = 0; i < MAGIC_LEAD_IN_LENGTH; ++i) {
        if (datagram[i] != MAGIC_LEAD_IN_BYTE) return std::nullopt;
    }
    Mac mac{};
    std::copy_n(datagram.begin() + MAGIC_LEAD_IN_LENGTH, MAC_LENGTH, mac.begin());
    for (std::size_t copy = 1; copy < MAGIC_MAC_COPIES; ++copy) {
        const auto start = datagram.begin() + MAGIC_LEAD_IN_LENGTH + copy * MAC_LENGTH;
        if (!std::equal(mac.begin(), mac.end(), start)) return std::nullopt;
    }
    return mac;
}

void BuildBootpRequest(std::span<std::uint8_t, BOOTP_MESSAGE_LENGTH> out, std::uint32_t xid,
                       const Mac& mac, std::string_view serverName, std::uint16_t seconds) {
    std::fill(out.begin(), out.end(), 0);
    out[BOOTP_OP_OFFSET] = BOOTREQUEST;
    out[BOOTP_HTYPE_OFFSET] = HTYPE_ETHERNET;
    out[BOOTP_HLEN_OFFSET] = MAC_LENGTH;
    PutU32(out, BOOTP_XID_OFFSET, xid);
    PutU16(out, BOOTP_SECS_OFFSET, seconds);
    std::copy(mac.begin(), mac.end(), out.begin() + BOOTP_CHADDR_OFFSET);
    const std::size_t nameLength = std::min(serverName.size(), BOOTP_SNAME_LENGTH - 1);
    std::copy_n(serverName.begin(), nameLength, out.begin() + BOOTP_SNAME_OFFSET);
    std::copy(std::begin(VEND_COOKIE), std::end(VEND_COOKIE), out.begin() + BOOTP_VEND_OFFSET);
    out[BOOTP_VEND_OFFSET + sizeof(VEND_COOKIE)] = VEND_END_OPTION;
}

std::string_view VerdictName(BootpVerdict verdict) {
    switch (verdict) {
        case BootpVerdict::Accepted: return "accepted";
        case BootpVerdict::NotOurs: return "not-ours";
        case BootpVerdict::Short: return "short";
        case BootpVerdict::WrongOp: return "wrong-op";
        case BootpVerdict::WrongHardware: return "wrong-hardware";
        case BootpVerdict::FileUnterminated: return "file-unterminated";
        case BootpVerdict::NoFile: return "no-file";
        case BootpVerdict::NoServer: return "no-server";
    }
    return "unknown";
}

BootpVerdict CheckBootpReply(std::span<const std::uint8_t> datagram, std::uint32_t xid,
                             const Mac& mac, BootpReply& reply) {
    // The transaction is recognised first (xid and chaddr), so that replies meant for other
    // instruments on the same wire are passed over quietly.
    if (datagram.size() < BOOTP_CHADDR_OFFSET + MAC_LENGTH) return BootpVerdict::NotOurs;
    if (GetU32(datagram, BOOTP_XID_OFFSET) != xid ||
        !std::equal(mac.begin(), mac.end(), datagram.begin() + BOOTP_CHADDR_OFFSET)) {
        return BootpVerdict::NotOurs;
    }
    if (datagram[BOOTP_OP_OFFSET] == BOOTREQUEST) return BootpVerdict::NotOurs;  // our own echo
    if (datagram.size() < BOOTP_MESSAGE_LENGTH) return BootpVerdict::Short;
    if (datagram[BOOTP_OP_OFFSET] != BOOTREPLY) return BootpVerdict::WrongOp;
    if (datagram[BOOTP_HTYPE_OFFSET] != HTYPE_ETHERNET || datagram[BOOTP_HLEN_OFFSET] != MAC_LENGTH) {
        return BootpVerdict::WrongHardware;
    }
    const auto fileField = datagram.subspan(BOOTP_FILE_OFFSET, BOOTP_FILE_LENGTH);
    const auto end = std::find(fileField.begin(), fileField.end(), 0);
    if (end == fileField.end()) return BootpVerdict::FileUnterminated;
    const auto fileLength = static_cast<std::size_t>(end - fileField.begin());
    if (fileLength == 0) return BootpVerdict::NoFile;
    std::copy_n(datagram.begin() + BOOTP_YIADDR_OFFSET, 4, reply.yourAddress.begin());
    std::copy_n(datagram.begin() + BOOTP_SIADDR_OFFSET, 4, reply.serverAddress.begin());
    if (reply.serverAddress == Ipv4Bytes{}) return BootpVerdict::NoServer;
    reply.file = std::string_view(reinterpret_cast<const char*>(fileField.data()), fileLength);
    return BootpVerdict::Accepted;
}

std::size_t BuildReadRequest(std::span<std::uint8_t> out, std::string_view file) {
    constexpr std::string_view MODE = "octet";
    const std::size_t length = 2 + file.size() + 1 + MODE.size() + 1;
    if (out.size() < length) return 0;
    PutU16(out, TFTP_OPCODE_OFFSET, TFTP_RRQ);
    auto position = std::copy(file.begin(), file.end(), out.begin() + 2);
    *position++ = 0;
    position = std::copy(MODE.begin(), MODE.end(), position);
    *position = 0;
    return length;
}

std::size_t BuildAck(std::span<std::uint8_t> out, std::uint16_t block) {
    if (out.size() < TFTP_ACK_LENGTH) return 0;
    PutU16(out, TFTP_OPCODE_OFFSET, TFTP_ACK);
    PutU16(out, TFTP_BLOCK_OFFSET, block);
    return TFTP_ACK_LENGTH;
}

std::size_t BuildError(std::span<std::uint8_t> out, std::uint16_t code, std::string_view message) {
    message = message.substr(0, TFTP_MAX_ERROR_MESSAGE);
    const std::size_t length = TFTP_HEADER_LENGTH + message.size() + 1;
    if (out.size() < length) return 0;
    PutU16(out, TFTP_OPCODE_OFFSET, TFTP_ERROR);
    PutU16(out, TFTP_ERROR_CODE_OFFSET, code);
    auto position = std::copy(message.begin(), message.end(), out.begin() + TFTP_HEADER_LENGTH);
    *position = 0;
    return length;
}

std::optional<TftpHeader> ParseTftpHeader(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < TFTP_HEADER_LENGTH) return std::nullopt;
    return TftpHeader{GetU16(datagram, TFTP_OPCODE_OFFSET), GetU16(datagram, TFTP_BLOCK_OFFSET)};
}

}  // namespace lab
