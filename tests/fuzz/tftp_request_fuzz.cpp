// Any datagram on port 69 goes through the TFTP request handling as the run's handler
// takes it (StartTftpTransferWithDatagram, the part of StartTftpTransfer after its
// receive), with or without a transfer under way and with data sockets that open or not.
//
// Input: one byte of flags, two bytes of image size (big-endian), then the datagram.
//   flags bit 0: a transfer is under way (started by another client);
//   flags bit 1: no data socket opens;
//   flags bit 2: the datagram comes from the client of the transfer under way.
// Checked against tests/fuzz/tftp_oracle.h: the error reply and its destination, the
// transfer left alone, restarted or (the client's request again) given block 1 once more,
// block 1 and its destination, the log lines; the image
// is allocated at its exact size, so the sanitizer sees any read past it.

#include <cstddef>
#include <cstdint>
#include <span>

#include "tests/fuzz/fuzz_session.h"
#include "tests/fuzz/tftp_oracle.h"
#include "update/tftp_transfer.h"

using namespace fuzzsession;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t HEADER = 3;
    if (size < HEADER || size - HEADER > PACKET_BUFFER_SIZE) return 0;
    const std::uint8_t flags = data[0];
    const std::uint32_t imageSize = (std::uint32_t{data[1]} << 8) | data[2];
    const std::span<const std::uint8_t> datagram(data + HEADER, size - HEADER);

    Capture capture;
    auto session = MakeSession(capture);
    session->image = SmallImage(imageSize);
    session->imageSize = imageSize;
    for (std::size_t i = 0; i < session->packet.size(); ++i) session->packet[i] = 0xEE;

    const net::Endpoint client{net::MakeAddress(10, 23, 0, 10), 4000};
    const net::Endpoint stranger{net::MakeAddress(10, 23, 0, 99), 4000};
    if ((flags & 1) != 0) {
        const std::uint8_t request[] = {0, 1, 'f', 0, 'o', 'c', 't', 'e', 't', 0};
        Receive(*session, request, client);
        StartTftpTransferWithDatagram(*session, sizeof request);
        Check(session->dataSocket.IsOpen(), "the first read request starts a transfer");
    }
    const TransferState before = TransferState::Of(*session);
    const net::Endpoint source = (flags & 4) != 0 ? client : stranger;

    capture.Clear();
    capture.refuseDataSockets = (flags & 2) != 0;
    Receive(*session, datagram, source);
    StartTftpTransferWithDatagram(*session, datagram.size());
    CheckRequestOutcome(capture, *session, datagram, source, before);
    return 0;
}
