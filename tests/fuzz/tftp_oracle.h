#pragma once
// What the TFTP handlers must do with a datagram, written independently of them: the
// fuzz targets hold the handlers' captured output against it.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_session.h"
#include "update/log_lines.h"
#include "update/tftp_transfer.h"

namespace fuzzsession {

// Image bytes that differ from block to block, so that a block from the wrong place shows.
inline std::uint8_t ImageByte(std::uint32_t i) { return static_cast<std::uint8_t>(i * 131 + (i >> 9)); }

// A new image of exactly size bytes (up to 65535), filled with ImageByte.
inline std::unique_ptr<std::uint8_t[]> SmallImage(std::uint32_t size) {
    static const std::vector<std::uint8_t> pattern = [] {
        std::vector<std::uint8_t> bytes(65536);
        for (std::uint32_t i = 0; i < bytes.size(); ++i) bytes[i] = ImageByte(i);
        return bytes;
    }();
    std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[size]);
    std::copy_n(pattern.begin(), std::min<std::size_t>(size, pattern.size()), image.get());
    return image;
}

// DATA block `block` (>= 1) of an image: opcode 3, the low 16 bits of the number, then
// up to 512 bytes from (block - 1) * 512.
inline std::vector<std::uint8_t> ExpectedDataBlock(const std::uint8_t* image, std::uint32_t imageSize,
                                                   std::uint32_t block) {
    std::vector<std::uint8_t> bytes{0, 3, static_cast<std::uint8_t>((block >> 8) & 0xFF),
                                    static_cast<std::uint8_t>(block & 0xFF)};
    const std::uint64_t start = (std::uint64_t{block} - 1) * 512;
    if (start < imageSize) {
        const std::uint64_t count = std::min<std::uint64_t>(512, imageSize - start);
        bytes.insert(bytes.end(), image + start, image + start + count);
    }
    return bytes;
}

inline std::wstring BlockLine(const wchar_t* format, std::uint32_t block) {
    std::wstring line(format);
    line.replace(line.find(L"%d"), 2, std::to_wstring(static_cast<std::int32_t>(block)));
    return line;
}

// The state of a transfer that a datagram on port 69 must leave alone, or replace.
struct TransferState {
    bool exists = false;
    std::uint32_t socketsOpened = 0;
    std::uint32_t block = 0;
    std::uint32_t idleCount = 0;
    net::Endpoint client;

    static TransferState Of(const UpdateSession& session) {
        return {session.dataSocket.IsOpen(), session.dataSocketsOpened, session.currentBlock, session.idleCount,
                session.transferClient};
    }
    friend bool operator==(const TransferState&, const TransferState&) = default;
};

// Checks what StartTftpTransferWithDatagram did with `datagram` from `source`, given the
// transfer before it and whether data sockets would open.
inline void CheckRequestOutcome(const Capture& capture, const UpdateSession& session,
                                std::span<const std::uint8_t> datagram, net::Endpoint source,
                                const TransferState& before) {
    const bool readRequest = datagram.size() >= 2 && datagram[0] == 0 && datagram[1] == 1;
    Check(capture.progress.empty(), "a request reports no progress");
    if (!readRequest) {
        static const std::vector<std::uint8_t> error = [] {
            std::vector<std::uint8_t> bytes{0, 5, 0, 4};
            const std::string text = "Only RRQ is supported!";
            bytes.insert(bytes.end(), text.begin(), text.end());
            bytes.push_back(0);
            return bytes;
        }();
        Check(capture.lines == std::vector<std::wstring>{LINE_VERIFYING_RRQ, LINE_GENERATE_ERROR,
                                                         LINE_PACKET_NOT_RECEIVED},
              "log lines of a datagram that is no read request");
        Check(capture.sent.size() == 1 && capture.sent[0].socket == &session.tftpSocket &&
                  capture.sent[0].destination == source && capture.sent[0].bytes == error,
              "anything but a read request gets the 27-byte error from port 69, to its sender");
        Check(TransferState::Of(session) == before, "a datagram that is no read request leaves the transfer alone");
        return;
    }

    if (before.exists && before.block == 1 && source == before.client) {
        // The client's own request again while block 1 is out (repeated or doubled): block 1
        // again from the data socket the client may already hold to, no new transfer.
        Check(capture.lines == std::vector<std::wstring>{LINE_VERIFYING_RRQ, BlockLine(LINE_BUILDING_BLOCK, 1),
                                                         BlockLine(LINE_SENDING_BLOCK, 1)},
              "log lines of a repeated read request");
        Check(capture.dataPorts.empty() && session.dataSocket.IsOpen() &&
                  session.dataSocketsOpened == before.socketsOpened,
              "a repeated read request keeps the data socket of the transfer");
        Check(session.currentBlock == 1 && session.idleCount == 0 && session.transferClient == before.client,
              "a repeated read request leaves the transfer at block 1 with its client");
        Check(capture.sent.size() == 1 && capture.sent[0].socket == &session.dataSocket &&
                  capture.sent[0].destination == source &&
                  capture.sent[0].bytes == ExpectedDataBlock(session.image.get(), session.imageSize, 1),
              "a repeated read request brings block 1 again from the data socket");
        return;
    }
    std::vector<std::wstring> lines{LINE_VERIFYING_RRQ};
    if (before.exists) lines.emplace_back(LINE_RESTARTING_TFTP);
    lines.emplace_back(LINE_CREATE_DATA_SOCKET);
    for (std::uint16_t port : capture.dataPorts)
        Check(port >= 32768 && port <= 40959, "data ports lie in 32768..40959");
    if (capture.refuseDataSockets) {
        lines.emplace_back(LINE_CANNOT_ALLOCATE_SOCKET);
        Check(capture.lines == lines, "log lines of a read request without a data socket");
        Check(capture.sent.empty(), "nothing is sent without a data socket");
        Check(!session.dataSocket.IsOpen(), "no transfer goes on without a data socket");
        Check(capture.dataPorts.size() == static_cast<std::size_t>(DATA_SOCKET_ATTEMPTS),
              "opening a data socket is bounded");
        return;
    }
    lines.push_back(BlockLine(LINE_BUILDING_BLOCK, 1));
    lines.push_back(BlockLine(LINE_SENDING_BLOCK, 1));
    Check(capture.lines == lines, "log lines of a read request");
    Check(capture.dataPorts.size() == 1, "one data socket per read request");
    Check(session.dataSocket.IsOpen() && session.dataSocketsOpened == before.socketsOpened + 1,
          "a read request opens a new data socket");
    Check(session.currentBlock == 1 && session.idleCount == 0, "a read request starts at block 1");
    Check(session.transferClient == source, "the sender of the read request is the client");
    Check(capture.sent.size() == 1 && capture.sent[0].socket == &session.dataSocket &&
              capture.sent[0].destination == source,
          "block 1 goes from the data socket to the sender of the read request");
    Check(capture.sent[0].bytes == ExpectedDataBlock(session.image.get(), session.imageSize, 1),
          "block 1 carries the image's first bytes");
}

}  // namespace fuzzsession
