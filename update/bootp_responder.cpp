#include "update/bootp_responder.h"

#include <algorithm>
#include <cstring>

#include "update/bootp_packet.h"
#include "update/log_lines.h"
#include "update/session_log.h"
#include "update/session_network.h"

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The whole zero-terminated text of the field equals name, letter case aside. A field
// without a zero byte holds a 64-character text, which matches no name.
bool FieldEqualsName(std::span<const std::uint8_t> field, const char* name) {
    std::size_t i = 0;
    for (; name[i] != '\0'; ++i) {
        if (i >= field.size()) return false;
        if (LowerAscii(static_cast<char>(field[i])) != LowerAscii(name[i])) return false;
    }
    return i < field.size() && field[i] == 0;
}

void WriteAddress(std::span<std::uint8_t> packet, std::size_t offset, net::Ipv4Address address) {
    for (int i = 0; i < 4; ++i) packet[offset + static_cast<std::size_t>(i)] = net::AddressByte(address, i);
}

}  // namespace

bool IsBootLoaderRequest(std::span<const std::uint8_t> request, const MacAddress& macAddress) {
    if (request.size() < BOOTP_MIN_REQUEST_LENGTH) return false;
    if (request[BOOTP_OP_OFFSET] != BOOTP_OP_REQUEST) return false;
    if (request[BOOTP_HTYPE_OFFSET] != BOOTP_HTYPE_ETHERNET) return false;
    if (request[BOOTP_HLEN_OFFSET] != BOOTP_HLEN_ETHERNET) return false;
    if (!std::equal(macAddress.begin(), macAddress.end(), request.begin() + BOOTP_CHADDR_OFFSET))
        return false;
    const auto sname = request.subspan(BOOTP_SNAME_OFFSET, BOOTP_SNAME_LENGTH);
    return std::any_of(std::begin(BOOTLOADER_NAMES), std::end(BOOTLOADER_NAMES),
                       [&](const char* name) { return FieldEqualsName(sname, name); });
}

std::size_t BuildBootpReply(std::span<std::uint8_t, PACKET_BUFFER_SIZE> packet,
                            std::size_t receivedLength, net::Ipv4Address deviceAddress,
                            net::Ipv4Address interfaceAddress) {
    static_assert(BOOTP_REPLY_LENGTH <= PACKET_BUFFER_SIZE);
    // The buffer holds earlier datagrams (firmware blocks among them): never send them on.
    if (receivedLength < BOOTP_REPLY_LENGTH)
        std::fill(packet.begin() + receivedLength, packet.begin() + BOOTP_REPLY_LENGTH, 0);
    WriteAddress(packet, BOOTP_YIADDR_OFFSET, deviceAddress);
    WriteAddress(packet, BOOTP_SIADDR_OFFSET, interfaceAddress);
    packet[BOOTP_OP_OFFSET] = BOOTP_OP_REPLY;
    std::memcpy(packet.data() + BOOTP_FILE_OFFSET, BOOT_FILE_NAME, sizeof(BOOT_FILE_NAME));
    return BOOTP_REPLY_LENGTH;
}

void AnswerBootpRequest(UpdateSession& session) {
    LogLine(session, LINE_READING_BOOTP);
    const int received = session.bootpSocket.ReceiveFrom(session.packet, session.peerAddress);
    if (received < 0) return;
    AnswerBootpDatagram(session, static_cast<std::size_t>(received));
}

void AnswerBootpDatagram(UpdateSession& session, std::size_t length) {
    if (length > session.packet.size()) return;  // no receive gives more
    LogLine(session, LINE_VERIFYING_BOOTP);
    if (!IsBootLoaderRequest(std::span(session.packet).first(length), session.macAddress)) return;

    LogLine(session, LINE_GENERATING_BOOTP);
    const std::size_t replyLength =
        BuildBootpReply(session.packet, length, session.deviceAddress, session.interfaceAddress);
    session.bootpAnswered = true;
    LogLine(session, LINE_SENDING_BOOTP);
    // The reply's destination stays apart from peerAddress, which names the last sender.
    const net::Endpoint destination{net::LIMITED_BROADCAST, session.peerAddress.port};
    SendFromSession(session, session.bootpSocket, std::span(session.packet).first(replyLength), destination);
}
