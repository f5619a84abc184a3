// A transfer under way receives a sequence of datagrams on its data port and on port 69,
// from its client and from strangers, through the run's handlers after their receives
// (ContinueTftpTransferWithDatagram, StartTftpTransferWithDatagram). Each step is held
// against an independent model of the transfer: only the client's ACK of the current block
// moves it on (a stranger never does), the next block goes to the client and carries the
// right image bytes (the image has its exact size, so the sanitizer sees any read past it),
// progress only grows within a transfer, and completion comes with the last block's ACK.
//
// Input: a byte of mode and two bytes of image size, then records of
// [selector][length][length bytes] (the last record takes what is left).
//   mode bit 0: a 32 MiB image whose transfer starts near block 65536, where block
//               numbers wrap on the wire (the size bytes then choose the starting block);
//   selector bit 0: 1 = to port 69, 0 = to the data port;
//   selector bits 1-2: sender 0 = the client, 1 = the client's address from another port,
//                      2 = another address from the client's port, 3 = a stranger.

#include <cstddef>
#include <cstdint>
#include <span>

#include "tests/fuzz/fuzz_session.h"
#include "tests/fuzz/tftp_oracle.h"
#include "update/tftp_transfer.h"

using namespace fuzzsession;

namespace {

constexpr std::uint32_t LARGE_IMAGE_SIZE = 65536u * 512u + 300u;  // blocks 1..65537
constexpr std::uint32_t LARGE_FIRST_BLOCK = 65528;

std::uint8_t* LargeImage() {
    static std::uint8_t* image = [] {
        auto* bytes = new std::uint8_t[LARGE_IMAGE_SIZE];
        for (std::uint32_t i = 0; i < LARGE_IMAGE_SIZE; ++i) bytes[i] = ImageByte(i);
        return bytes;
    }();
    return image;
}

net::Endpoint Sender(std::uint8_t selector, net::Endpoint client) {
    const net::Ipv4Address otherAddress = net::MakeAddress(10, 23, 0, 99);
    switch ((selector >> 1) & 3) {
    case 0: return client;
    case 1: return {client.address, static_cast<std::uint16_t>(client.port + 1)};
    case 2: return {otherAddress, client.port};
    default: return {otherAddress, 6000};
    }
}

bool IsAckOfBlock(std::span<const std::uint8_t> datagram, std::uint32_t block) {
    return datagram.size() >= 4 && datagram[0] == 0 && datagram[1] == 4 &&
           ((datagram[2] << 8) | datagram[3]) == static_cast<int>(block & 0xFFFF);
}

// One datagram on the data port; returns whether the transfer is complete.
bool DataPortStep(Capture& capture, UpdateSession& session, std::span<const std::uint8_t> datagram,
                  net::Endpoint source, unsigned& lastProgress) {
    const TransferState before = TransferState::Of(session);
    Receive(session, datagram, source);
    const bool complete = ContinueTftpTransferWithDatagram(session, datagram.size());

    const bool accepted = source == before.client && IsAckOfBlock(datagram, before.block);
    const bool last = std::uint64_t{session.imageSize} < std::uint64_t{before.block} * 512;
    Check(capture.dataPorts.empty(), "an ACK opens no socket");
    if (!accepted) {
        Check(!complete, "only the client's ACK of the current block completes");
        Check(capture.lines == std::vector<std::wstring>{LINE_VERIFY_ACK}, "log lines of an ignored datagram");
        Check(capture.sent.empty() && capture.progress.empty(), "an ignored datagram is not answered");
        Check(TransferState::Of(session) == before, "the transfer moves only on its client's ACK");
        return false;
    }
    if (last) {
        Check(complete, "the ACK of the last block completes the transfer");
        Check(capture.progress == std::vector<unsigned>{100}, "completion reports 100");
        Check(capture.sent.empty(), "nothing follows the last block");
        Check(capture.lines == std::vector<std::wstring>{LINE_VERIFY_ACK}, "log lines of completion");
        return true;
    }
    Check(!complete, "an ACK of a block before the last does not complete");
    const auto percent = static_cast<unsigned>(std::uint64_t{before.block} * 512 * 100 / session.imageSize);
    Check(capture.progress == std::vector<unsigned>{percent}, "progress is the share acknowledged");
    Check(percent <= 100 && percent >= lastProgress, "progress grows within a transfer");
    lastProgress = percent;
    const std::uint32_t next = before.block + 1;
    Check(capture.lines == std::vector<std::wstring>{LINE_VERIFY_ACK, BlockLine(LINE_BUILDING_BLOCK, next),
                                                     BlockLine(LINE_SENDING_BLOCK, next)},
          "log lines of the next block");
    Check(session.currentBlock == next && session.idleCount == 0, "the next block is the current one");
    Check(session.transferClient == before.client, "the client stays");
    Check(capture.sent.size() == 1 && capture.sent[0].socket == &session.dataSocket &&
              capture.sent[0].destination == before.client,
          "the next block goes from the data socket to the client, never to a stranger");
    Check(capture.sent[0].bytes == ExpectedDataBlock(session.image.get(), session.imageSize, next),
          "the next block carries the right image bytes");
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t HEADER = 3;
    if (size < HEADER) return 0;
    const bool large = (data[0] & 1) != 0;
    const std::uint32_t sizeBytes = (std::uint32_t{data[1]} << 8) | data[2];

    Capture capture;
    auto session = MakeSession(capture);
    if (large) {
        session->image.reset(LargeImage());
        session->imageSize = LARGE_IMAGE_SIZE;
    } else {
        session->image = SmallImage(sizeBytes);
        session->imageSize = sizeBytes;
    }

    // The transfer starts as the client's read request starts it.
    const net::Endpoint client{net::MakeAddress(10, 23, 0, 10), 4000};
    const std::uint8_t request[] = {0, 1, 'f', 'i', 'r', 'm', 'w', 'a', 'r', 'e', '.', 'b', 'i', 'n', 0,
                                    'o', 'c', 't', 'e', 't', 0};
    const TransferState none = TransferState::Of(*session);
    Receive(*session, request, client);
    StartTftpTransferWithDatagram(*session, sizeof request);
    CheckRequestOutcome(capture, *session, request, client, none);
    // A large image's transfer is taken up near its end, as if the earlier blocks had been
    // acknowledged.
    if (large) session->currentBlock = LARGE_FIRST_BLOCK + sizeBytes % 10;
    unsigned lastProgress = 0;

    std::size_t offset = HEADER;
    while (offset + 2 <= size) {
        const std::uint8_t selector = data[offset];
        const std::size_t length = std::min<std::size_t>(data[offset + 1], size - offset - 2);
        const std::span<const std::uint8_t> datagram(data + offset + 2, length);
        offset += 2 + length;
        const net::Endpoint source = Sender(selector, session->transferClient);

        capture.Clear();
        if ((selector & 1) != 0) {
            const TransferState before = TransferState::Of(*session);
            Receive(*session, datagram, source);
            StartTftpTransferWithDatagram(*session, datagram.size());
            CheckRequestOutcome(capture, *session, datagram, source, before);
            if (session->dataSocketsOpened != before.socketsOpened) lastProgress = 0;
        } else if (DataPortStep(capture, *session, datagram, source, lastProgress)) {
            break;  // the run ends with the transfer
        }
    }
    if (large) (void)session->image.release();
    return 0;
}
