// Any datagram on port 67 goes through the BOOTP responder as the run's handler takes it
// (AnswerBootpDatagram, the part of AnswerBootpRequest after its receive), twice in a row
// over a buffer that holds earlier traffic. Checked: the decision matches an independent
// reading of the request; a reply is 300 bytes, goes by broadcast to the request's port and
// carries no byte that the request did not carry or the responder does not write; the two
// replies are identical; the pure acceptance test never reads past the datagram.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "tests/fuzz/fuzz_session.h"
#include "update/bootp_packet.h"
#include "update/bootp_responder.h"
#include "update/log_lines.h"

using namespace fuzzsession;

namespace {

char Lower(std::uint8_t c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }

// The sname field holds, up to its first zero byte, exactly name (ASCII case ignored).
bool SnameIs(std::span<const std::uint8_t> request, const char* name) {
    const std::size_t length = std::strlen(name);
    const std::uint8_t* field = request.data() + BOOTP_SNAME_OFFSET;
    for (std::size_t i = 0; i < length; ++i) {
        if (Lower(field[i]) != name[i]) return false;
    }
    return field[length] == 0;
}

bool ExpectAnswer(std::span<const std::uint8_t> request) {
    if (request.size() < BOOTP_VEND_OFFSET) return false;  // the fixed part must be there
    return request[0] == 1 && request[1] == 1 && request[2] == 6 &&
           std::equal(FUZZ_MAC.begin(), FUZZ_MAC.end(), request.begin() + BOOTP_CHADDR_OFFSET) &&
           (SnameIs(request, "stellaris") || SnameIs(request, "tiva"));
}

// What the reply's byte i must be: a written field, else the request's byte, else zero.
std::uint8_t ExpectedReplyByte(std::span<const std::uint8_t> request, std::size_t i) {
    if (i == BOOTP_OP_OFFSET) return BOOTP_OP_REPLY;
    if (i >= BOOTP_YIADDR_OFFSET && i < BOOTP_YIADDR_OFFSET + 4)
        return net::AddressByte(FUZZ_DEVICE, static_cast<int>(i - BOOTP_YIADDR_OFFSET));
    if (i >= BOOTP_SIADDR_OFFSET && i < BOOTP_SIADDR_OFFSET + 4)
        return net::AddressByte(FUZZ_INTERFACE, static_cast<int>(i - BOOTP_SIADDR_OFFSET));
    if (i >= BOOTP_FILE_OFFSET && i < BOOTP_FILE_OFFSET + sizeof(BOOT_FILE_NAME))
        return static_cast<std::uint8_t>(BOOT_FILE_NAME[i - BOOTP_FILE_OFFSET]);
    return i < request.size() ? request[i] : 0;
}

void CheckReply(const Capture& capture, const UpdateSession& session, std::span<const std::uint8_t> request,
                net::Endpoint source) {
    Check(capture.sent.size() == 1, "an accepted request gets exactly one reply");
    const SentDatagram& reply = capture.sent[0];
    Check(reply.socket == &session.bootpSocket, "the reply leaves from the BOOTP socket");
    Check(reply.destination == net::Endpoint{net::LIMITED_BROADCAST, source.port},
          "the reply goes to 255.255.255.255 at the request's port");
    Check(reply.bytes.size() == BOOTP_REPLY_LENGTH, "the reply is 300 bytes");
    for (std::size_t i = 0; i < BOOTP_REPLY_LENGTH; ++i) {
        if (reply.bytes[i] != ExpectedReplyByte(request, i)) Fail("a reply byte neither the request's nor written");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > PACKET_BUFFER_SIZE) return 0;  // a longer datagram is a failed receive

    // The acceptance test on a copy of exactly the received length: the sanitizer sees
    // any read past it.
    auto* exact = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size > 0) std::memcpy(exact, data, size);
    const std::span<const std::uint8_t> request(exact, size);
    const bool expected = ExpectAnswer(request);
    Check(IsBootLoaderRequest(request, FUZZ_MAC) == expected, "acceptance differs from the request's fields");

    Capture capture;
    auto session = MakeSession(capture);
    // The buffer holds what went before: a data block of firmware bytes, say.
    for (std::size_t i = 0; i < session->packet.size(); ++i) session->packet[i] = static_cast<std::uint8_t>(0xC3 ^ i);
    const net::Endpoint source{net::MakeAddress(0, 0, 0, 0), static_cast<std::uint16_t>(68 + size % 3 * 1000)};

    std::vector<std::uint8_t> firstReply;
    for (int round = 0; round < 2; ++round) {
        capture.Clear();
        Receive(*session, request, source);
        AnswerBootpDatagram(*session, size);

        std::vector<std::wstring> lines{LINE_VERIFYING_BOOTP};
        if (expected) {
            lines.emplace_back(LINE_GENERATING_BOOTP);
            lines.emplace_back(LINE_SENDING_BOOTP);
        }
        Check(capture.lines == lines, "log lines of the responder");
        Check(capture.progress.empty(), "the responder reports no progress");
        Check(session->bootpAnswered == expected, "bootpAnswered is set exactly by a reply");
        if (!expected) {
            Check(capture.sent.empty(), "a rejected request gets no reply");
            continue;
        }
        CheckReply(capture, *session, request, source);
        if (round == 0) firstReply = capture.sent[0].bytes;
        else Check(capture.sent[0].bytes == firstReply, "the same request gets the same reply");
    }
    std::free(exact);
    return 0;
}
