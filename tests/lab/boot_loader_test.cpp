// The simulated Ethernet boot loader against a BOOTP and TFTP server written in the test.

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "tests/lab/lab_support.h"
#include "tests/lab/raw_udp.h"
#include "tests/support/file_contents.h"

namespace labtest {
namespace {

using namespace std::chrono_literals;

const Bytes MAC = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const char* const MAC_TEXT = "02-11-22-33-44-55";

Bytes MagicPacket(const Bytes& mac) {
    Bytes packet(6, 0xAA);
    for (int i = 0; i < 4; ++i) packet.insert(packet.end(), mac.begin(), mac.end());
    return packet;
}

std::string CString(const Bytes& bytes, std::size_t offset, std::size_t length) {
    std::string text;
    for (std::size_t i = offset; i < offset + length && bytes[i] != 0; ++i) {
        text.push_back(static_cast<char>(bytes[i]));
    }
    return text;
}

Bytes U16(std::uint16_t value) {
    return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xFF)};
}

Bytes DataPacket(std::uint16_t block, const Bytes& image, std::size_t offset, std::size_t length) {
    Bytes packet = {0x00, 0x03};
    const Bytes number = U16(block);
    packet.insert(packet.end(), number.begin(), number.end());
    packet.insert(packet.end(), image.begin() + static_cast<std::ptrdiff_t>(offset),
                  image.begin() + static_cast<std::ptrdiff_t>(offset + length));
    return packet;
}

Bytes Ack(std::uint16_t block) {
    Bytes packet = {0x00, 0x04};
    const Bytes number = U16(block);
    packet.insert(packet.end(), number.begin(), number.end());
    return packet;
}

// The workstation side, reduced to what a test needs: a BOOTP server socket that hears the
// limited broadcast and answers through vh23, and the TFTP server port.
struct BootServer {
    RawUdp bootp{"0.0.0.0", 67, "vh23"};
    RawUdp tftp{HOST, 69};
    RawUdp waker{HOST, 0};

    void Wake(const Bytes& mac) { waker.Send(MagicPacket(mac), "255.255.255.255", 9); }

    std::optional<Bytes> NextBootpRequest(Source* source = nullptr,
                                          std::chrono::milliseconds limit = 3000ms) {
        return bootp.Receive(limit, source);
    }

    // Answers a request: the request itself with op, yiaddr, siaddr and file changed.
    void Answer(Bytes request, const std::string& file = "firmware.bin") {
        request.resize(300, 0);
        request[0] = 2;
        const std::array<std::uint8_t, 8> addresses = {10, 23, 0, 10, 10, 23, 0, 1};
        std::copy(addresses.begin(), addresses.end(), request.begin() + 16);
        std::fill(request.begin() + 108, request.begin() + 236, 0);
        std::copy(file.begin(), file.end(), request.begin() + 108);
        bootp.Send(request, "255.255.255.255", 68);
    }
};

// Wakes the instrument and answers its BOOTP request; the read request that follows and
// its source, or nullopt.
std::optional<Bytes> StartTransfer(BootServer& server, Source& client) {
    server.Wake(MAC);
    const auto request = server.NextBootpRequest();
    if (!request) return std::nullopt;
    server.Answer(*request);
    return server.tftp.Receive(3000ms, &client);
}

// The next datagram that is not one more copy of `stale`: a loader repeats its last ACK each
// time the test is slower than the loader's time-out, which a loaded machine can be.
std::optional<Bytes> NextAckOtherThan(RawUdp& socket, const Bytes& stale,
                                      std::chrono::milliseconds limit = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int i = 0; i < 1000; ++i) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) break;
        auto datagram = socket.Receive(left);
        if (!datagram || *datagram != stale) return datagram;
    }
    return std::nullopt;
}


struct ServerNameCase {
    const char* config;
    const char* expectedName;
};

TEST(BootLoader, WakesOnlyForItsMacAndBroadcastsBootpRequestsUntilItGivesUp) {
    testnet::TestNetwork network({OneLink()});
    for (const ServerNameCase& testCase :
         {ServerNameCase{"bootloader=stellaris", "stellaris"}, ServerNameCase{"bootloader=tiva", "tiva"},
          ServerNameCase{"sname=Custom%20Name", "Custom Name"}}) {
        SCOPED_TRACE(testCase.config);
        auto lab = network.StartLab(std::string("instrument address=10.23.0.10 mac=") + MAC_TEXT +
                                    " timeout-ms=100 max-retries=2 " + testCase.config +
                                    "\ninstrument address=10.23.0.11 mac=02-11-22-33-44-66\n");
        ASSERT_TRUE(lab->WaitReady());
        BootServer server;
        ASSERT_TRUE(server.bootp.IsBound() && server.tftp.IsBound());

        // No wake-up: another MAC, the MAC of an instrument without a boot loader, and a
        // packet whose four copies of the address differ.
        server.Wake({0x02, 0x99, 0x99, 0x99, 0x99, 0x99});
        server.Wake({0x02, 0x11, 0x22, 0x33, 0x44, 0x66});
        Bytes broken = MagicPacket(MAC);
        broken.back() ^= 0x01;
        server.waker.Send(broken, "255.255.255.255", 9);
        EXPECT_FALSE(server.NextBootpRequest(nullptr, 500ms).has_value());

        server.Wake(MAC);
        std::vector<Bytes> requests;
        Source source;
        for (int i = 0; i < 4; ++i) {
            auto request = server.NextBootpRequest(&source, i < 3 ? 3000ms : 500ms);
            if (!request) break;
            EXPECT_EQ(source.address, INSTRUMENT_A);
            EXPECT_EQ(source.port, 68);
            requests.push_back(*request);
        }
        ASSERT_EQ(requests.size(), 3u);  // the first and max-retries repetitions
        for (const Bytes& request : requests) {
            ASSERT_EQ(request.size(), 300u);
            EXPECT_EQ(request[0], 1);  // BOOTREQUEST
            EXPECT_EQ(request[1], 1);  // Ethernet
            EXPECT_EQ(request[2], 6);  // hlen
            EXPECT_TRUE(std::equal(MAC.begin(), MAC.end(), request.begin() + 28));
            EXPECT_TRUE(std::all_of(request.begin() + 34, request.begin() + 44, [](auto b) { return b == 0; }));
            EXPECT_EQ(CString(request, 44, 64), testCase.expectedName);
            EXPECT_TRUE(std::equal(request.begin() + 4, request.begin() + 8, requests[0].begin() + 4))
                << "a repetition keeps its transaction id";
        }
        const std::string report = WaitForReport(*lab, "tftp-failed");
        EXPECT_NE(report.find(std::string("tftp-failed mac=") + MAC_TEXT + " reason=no-bootp-reply"),
                  std::string::npos);
        EXPECT_NE(report.find("magic-unmatched mac=02-99-99-99-99-99"), std::string::npos);
        EXPECT_NE(report.find("magic-invalid"), std::string::npos);
    }
}

// Serves image lock-step from a data socket of its own; false when an ACK does not come.
bool ServeImage(const Bytes& image, const Source& client) {
    RawUdp data(HOST, 0);
    for (std::size_t block = 1;; ++block) {
        const std::size_t offset = (block - 1) * 512;
        const std::size_t length = std::min<std::size_t>(512, image.size() - offset);
        const Bytes packet = DataPacket(static_cast<std::uint16_t>(block), image, offset, length);
        bool acknowledged = false;
        for (int attempt = 0; attempt < 3 && !acknowledged; ++attempt) {
            data.Send(packet, client.address, client.port);
            for (int i = 0; i < 4 && !acknowledged; ++i) {
                const auto reply = data.Receive(1000ms);
                if (!reply) break;
                acknowledged = *reply == Ack(static_cast<std::uint16_t>(block));
            }
        }
        if (!acknowledged) return false;
        if (length < 512) return true;
    }
}

TEST(BootLoader, ReadsTheImageByTftpAndReportsItsSizeAndDigest) {
    testnet::TestNetwork network({OneLink()});
    for (std::size_t size : {1300u, 1024u, 0u}) {
        SCOPED_TRACE(size);
        auto lab = network.StartLab(std::string("instrument address=10.23.0.10 bootloader=stellaris mac=") +
                                    MAC_TEXT + "\n");
        ASSERT_TRUE(lab->WaitReady());
        BootServer server;
        Bytes image(size);
        for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>((i * 7919) >> 3);

        Source client;
        const auto readRequest = StartTransfer(server, client);
        ASSERT_TRUE(readRequest.has_value());
        const Bytes expectedRequest = {0, 1, 'f', 'i', 'r', 'm', 'w', 'a', 'r', 'e', '.', 'b',
                                       'i', 'n', 0,  'o', 'c', 't', 'e', 't', 0};
        EXPECT_EQ(*readRequest, expectedRequest);
        EXPECT_EQ(client.address, INSTRUMENT_A);
        ASSERT_TRUE(ServeImage(image, client));

        const std::string report = WaitForReport(*lab, "tftp-done");
        const std::string received = lab->WorkDirectory() + "/received-" + MAC_TEXT + ".bin";
        std::ifstream file(received, std::ios::binary);
        const Bytes stored{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        EXPECT_EQ(stored, image);
        const std::string digest = testnet::Sha256Of(received);
        ASSERT_EQ(digest.size(), 64u);
        EXPECT_NE(report.find(std::string("tftp-done mac=") + MAC_TEXT + " size=" +
                              std::to_string(size) + " sha256=" + digest),
                  std::string::npos)
            << report;
        EXPECT_NE(report.find("bootp-reply mac=02-11-22-33-44-55 yiaddr=10.23.0.10 siaddr=10.23.0.1 "
                              "file=firmware.bin from=10.23.0.1:67"),
                  std::string::npos);
    }
}

TEST(BootLoader, TftpClientKeepsToTheTransferIdRetransmitsAndReacknowledges) {
    testnet::TestNetwork network({OneLink()});
    auto lab = network.StartLab(std::string("instrument address=10.23.0.10 bootloader=tiva mac=") +
                                MAC_TEXT + " timeout-ms=300 drop=rrq:1\n");
    ASSERT_TRUE(lab->WaitReady());
    BootServer server;
    Bytes image(1034);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i);

    // The first read request is dropped: the loader sends it again after its time-out.
    Source client;
    ASSERT_TRUE(StartTransfer(server, client).has_value());
    EXPECT_NE(lab->Report().find("action=drop packet=rrq:1"), std::string::npos);

    RawUdp data(HOST, 0);
    RawUdp stranger(HOST, 0);
    data.Send(DataPacket(1, image, 0, 512), client.address, client.port);
    EXPECT_EQ(data.Receive(2000ms), Ack(1));
    // A repeated block is acknowledged again.
    data.Send(DataPacket(1, image, 0, 512), client.address, client.port);
    EXPECT_EQ(data.Receive(2000ms), Ack(1));
    // DATA from another port than the one the transfer began with: ERROR 5 to that port only.
    stranger.Send(DataPacket(2, image, 512, 512), client.address, client.port);
    const auto error = stranger.Receive(2000ms);
    ASSERT_TRUE(error.has_value());
    ASSERT_GE(error->size(), 5u);
    EXPECT_EQ((Bytes{(*error)[0], (*error)[1], (*error)[2], (*error)[3]}), (Bytes{0, 5, 0, 5}));
    EXPECT_EQ(error->back(), 0);
    // Silence: after its time-out the loader repeats its last packet, ACK 1.
    EXPECT_EQ(data.Receive(2000ms), Ack(1));
    EXPECT_NE(WaitForReport(*lab, "tftp-resend mac=02-11-22-33-44-55 packet=ack").find("packet=ack"),
              std::string::npos);
    data.Send(DataPacket(2, image, 512, 512), client.address, client.port);
    EXPECT_EQ(NextAckOtherThan(data, Ack(1)), Ack(2));
    data.Send(DataPacket(3, image, 1024, 10), client.address, client.port);
    EXPECT_EQ(NextAckOtherThan(data, Ack(2)), Ack(3));

    const std::string report = WaitForReport(*lab, "tftp-done");
    EXPECT_NE(report.find("tftp-done mac=02-11-22-33-44-55 size=1034 "), std::string::npos) << report;
    EXPECT_EQ(CountOccurrences(report, "tftp-data "), 3u) << "the stranger's block is not stored";
}

struct AckFaultCase {
    const char* config;
    std::vector<Bytes> acksAfterBlock2;  // what the server hears after sending block 2
};

// The loader's time-out in these cases. What is heard after block 2 is checked by a short
// silence after the last expected ACK; the loader's next repetition comes one time-out after
// that ACK, so the time-out is what keeps a slow test from hearing it inside the silence.
constexpr auto ACK_FAULT_TIMEOUT = 1000ms;
constexpr auto ACK_FAULT_SILENCE = 150ms;

TEST(BootLoader, FaultsShapeTheAcknowledgements) {
    testnet::TestNetwork network({OneLink()});
    const std::vector<AckFaultCase> cases = {
        {"duplicate=ack:2", {Ack(2), Ack(2)}},
        {"drop=ack:2", {Ack(2)}},             // ACK 2 lost; the time-out repeats it
        {"reorder=1", {Ack(1), Ack(2)}},      // held until the time-out, stale ACK first
        {"silent-after=1", {}},               // block 2 is never acknowledged
        {"duplicate-percent=100", {Ack(1), Ack(2), Ack(2)}},  // ACK 1's copy waits first
        {"ack-delay-ms=100", {Ack(2)}},       // late, but once
    };
    Bytes image(2048, 0x5A);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.config);
        auto lab = network.StartLab(std::string("instrument address=10.23.0.10 bootloader=tiva mac=") +
                                    MAC_TEXT + " timeout-ms=" + std::to_string(ACK_FAULT_TIMEOUT.count()) +
                                    " max-retries=1 " + testCase.config + "\n");
        ASSERT_TRUE(lab->WaitReady());
        BootServer server;
        Source client;
        ASSERT_TRUE(StartTransfer(server, client).has_value());
        RawUdp data(HOST, 0);
        data.Send(DataPacket(1, image, 0, 512), client.address, client.port);
        ASSERT_EQ(data.Receive(2000ms), Ack(1));
        data.Send(DataPacket(2, image, 512, 512), client.address, client.port);
        std::vector<Bytes> heard;
        for (int i = 0; i < 4; ++i) {
            auto ack = data.Receive(i < static_cast<int>(testCase.acksAfterBlock2.size()) ? 5000ms
                                                                                           : ACK_FAULT_SILENCE);
            if (!ack) break;
            heard.push_back(*ack);
        }
        EXPECT_EQ(heard, testCase.acksAfterBlock2);
    }
}

}  // namespace
}  // namespace labtest

namespace labtest {
namespace {

TEST(BootLoader, BlockNumbersWrapAfter65535) {
    testnet::TestNetwork network({OneLink()});
    auto lab = network.StartLab(std::string("instrument address=10.23.0.10 bootloader=tiva mac=") +
                                MAC_TEXT + "\n");
    ASSERT_TRUE(lab->WaitReady());
    BootServer server;
    // 65536 full blocks, then block 65537 (1 on the wire) with the last three bytes.
    Bytes image(65536u * 512u + 3u);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i / 512 + i);
    Source client;
    ASSERT_TRUE(StartTransfer(server, client).has_value());
    ASSERT_TRUE(ServeImage(image, client));
    const std::string report = WaitForReport(*lab, "tftp-done");
    EXPECT_NE(report.find("block=0 bytes=512"), std::string::npos);
    const std::string received = lab->WorkDirectory() + "/received-" + MAC_TEXT + ".bin";
    EXPECT_NE(report.find("tftp-done mac=02-11-22-33-44-55 size=33554435 sha256=" + testnet::Sha256Of(received)),
              std::string::npos);
    std::ifstream file(received, std::ios::binary);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), std::istreambuf_iterator<char>(file),
                           [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
}

}  // namespace
}  // namespace labtest

namespace labtest {
namespace {

TEST(BootLoader, TwoBootLoadersOnOneWireEachTakeTheirOwnReplyAndImage) {
    testnet::TestNetwork network({OneLink()});
    const Bytes otherMac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x66};
    auto lab = network.StartLab(
        "instrument address=10.23.0.10 bootloader=stellaris mac=02-11-22-33-44-55\n"
        "instrument address=10.23.0.11 bootloader=tiva mac=02-11-22-33-44-66\n");
    ASSERT_TRUE(lab->WaitReady());
    BootServer server;
    server.Wake(MAC);
    server.Wake(otherMac);
    std::vector<Bytes> requests;
    for (int i = 0; i < 2; ++i) {
        auto request = server.NextBootpRequest();
        ASSERT_TRUE(request.has_value());
        requests.push_back(*request);
    }
    // Both replies are broadcasts that both loaders hear; each takes only its own.
    for (const Bytes& request : requests) server.Answer(request);
    std::vector<Source> clients(2);
    for (Source& client : clients) ASSERT_TRUE(server.tftp.Receive(3000ms, &client).has_value());
    ASSERT_NE(clients[0].address, clients[1].address);

    // One single-block image each, served side by side, of different sizes.
    RawUdp first(HOST, 0);
    RawUdp second(HOST, 0);
    const Bytes image(300, 0x11);
    first.Send(DataPacket(1, image, 0, 100), clients[0].address, clients[0].port);
    second.Send(DataPacket(1, image, 0, 200), clients[1].address, clients[1].port);
    EXPECT_EQ(first.Receive(2000ms), Ack(1));
    EXPECT_EQ(second.Receive(2000ms), Ack(1));

    const std::string report = WaitForReport(*lab, "tftp-done mac=02-11-22-33-44-66");
    const bool firstIsA = clients[0].address == INSTRUMENT_A;
    EXPECT_NE(report.find(std::string("tftp-done mac=02-11-22-33-44-55 size=") + (firstIsA ? "100" : "200")),
              std::string::npos)
        << report;
    EXPECT_NE(report.find(std::string("tftp-done mac=02-11-22-33-44-66 size=") + (firstIsA ? "200" : "100")),
              std::string::npos)
        << report;
    EXPECT_EQ(CountOccurrences(report, "bootp-reply "), 2u);
}

}  // namespace
}  // namespace labtest
