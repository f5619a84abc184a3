// The BOOTP and TFTP handlers driven over real sockets on loopback, inside a private
// network namespace: the test plays the boot loader and calls the handler whose socket
// has become readable, as the run's loop does.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "tests/support/test_network.h"
#include "tests/update/update_test_support.h"
#include "update/bootp_responder.h"
#include "update/data_port.h"
#include "update/open_udp_socket.h"
#include "update/tftp_transfer.h"

using namespace updatetest;
using std::chrono::milliseconds;

namespace {

// How long a test waits to be sure that nothing was sent.
constexpr milliseconds SILENCE{200};

class HandlerTest : public testing::Test {
protected:
    void SetUp() override {
        testnet::EnterPrivateNetwork();
        ASSERT_TRUE(OpenSession());
    }

    bool OpenSession() {
        recorder = Recorder{};
        session = std::make_unique<UpdateSession>();
        session->macAddress = TEST_MAC;
        session->interfaceAddress = LOOPBACK;
        session->deviceAddress = net::MakeAddress(10, 23, 0, 10);
        session->bootpSocket = OpenUdpSocket(1, true, LOOPBACK, 67);
        session->tftpSocket = OpenUdpSocket(0, true, LOOPBACK, 69);
        session->logSink = Recorder::Log;
        session->progressSink = Recorder::Progress;
        session->context = &recorder;
        return session->bootpSocket.IsOpen() && session->tftpSocket.IsOpen();
    }

    void SetImage(std::size_t size) {
        session->image = PatternImage(size);
        session->imageSize = static_cast<std::uint32_t>(size);
    }

    // Sends from `from` to the server socket `to` and waits until the server sees it.
    static void Deliver(net::UdpSocket& from, const std::vector<std::uint8_t>& datagram,
                        const net::UdpSocket& to) {
        ASSERT_EQ(from.SendTo(datagram, to.LocalEndpoint()), static_cast<int>(datagram.size()));
        ASSERT_TRUE(WaitReadable(to));
    }

    // Starts a transfer for client and returns block 1 as received.
    Datagram StartTransfer(net::UdpSocket& client) {
        Deliver(client, TftpRequest(1), session->tftpSocket);
        StartTftpTransfer(*session);
        auto block = Receive(client);
        EXPECT_TRUE(block.has_value());
        return block.value_or(Datagram{});
    }

    // The client acknowledges `block`; returns ContinueTftpTransfer's result.
    bool Acknowledge(net::UdpSocket& client, std::uint16_t block) {
        Deliver(client, Ack(block), session->dataSocket);
        return ContinueTftpTransfer(*session);
    }

    std::vector<std::uint8_t> ExpectedBlock(std::uint32_t number) {
        const std::size_t length = BuildDataPacket(*session, number);
        return {session->packet.begin(), session->packet.begin() + length};
    }

    std::unique_ptr<UpdateSession> session;
    Recorder recorder;
};

std::vector<std::wstring> Tail(const std::vector<std::wstring>& lines, std::size_t count) {
    return {lines.end() - static_cast<std::ptrdiff_t>(std::min(count, lines.size())), lines.end()};
}

}  // namespace

// ---- BOOTP ----

TEST_F(HandlerTest, BootpRequestIsAnsweredByBroadcastToTheRequestsPort) {
    // A second address on the interface: a listener there sees only broadcasts.
    ASSERT_EQ(testnet::TestNetwork::RunOnHost("ip addr add 127.0.0.3/8 dev lo"), 0);
    for (const std::uint16_t clientPort : {std::uint16_t{68}, std::uint16_t{3000}}) {
        SCOPED_TRACE(clientPort);
        ASSERT_TRUE(OpenSession());
        net::UdpSocket client = BoundSocket(LOOPBACK, clientPort);
        net::UdpSocket otherListener = BoundSocket(net::MakeAddress(127, 0, 0, 3), clientPort);
        ASSERT_TRUE(client.IsOpen() && otherListener.IsOpen());
        const auto request = MakeBootpRequest(TEST_MAC, "stellaris");

        for (int round = 0; round < 2; ++round) {  // every valid request gets its reply
            Deliver(client, request, session->bootpSocket);
            AnswerBootpRequest(*session);
            EXPECT_TRUE(session->bootpAnswered);
            EXPECT_EQ(session->peerAddress, client.LocalEndpoint());
            const auto reply = Receive(client);
            const auto broadcastCopy = Receive(otherListener);
            ASSERT_TRUE(reply && broadcastCopy);
            EXPECT_EQ(reply->source, (net::Endpoint{LOOPBACK, 67}));
            ASSERT_EQ(reply->bytes.size(), 300u);
            EXPECT_EQ(reply->bytes, broadcastCopy->bytes);
            EXPECT_EQ(reply->bytes[0], 2);
            EXPECT_EQ(std::vector<std::uint8_t>(reply->bytes.begin() + 16, reply->bytes.begin() + 24),
                      Bytes({10, 23, 0, 10, 127, 0, 0, 1}));
            EXPECT_EQ(std::memcmp(reply->bytes.data() + 108, "firmware.bin", 13), 0);
        }
        EXPECT_EQ(recorder.lines, (std::vector<std::wstring>{
                                      L"... Reading BOOTP packet\r\n", L"... Verifying BOOTP packet\r\n",
                                      L"... Generating BOOTP response\r\n", L"... Sending BOOTP response\r\n",
                                      L"... Reading BOOTP packet\r\n", L"... Verifying BOOTP packet\r\n",
                                      L"... Generating BOOTP response\r\n", L"... Sending BOOTP response\r\n"}));
    }
    testnet::TestNetwork::RunOnHost("ip addr del 127.0.0.3/8 dev lo");
}

TEST_F(HandlerTest, BootpRequestsOfOthersAreDroppedAfterVerifying) {
    net::UdpSocket client = BoundSocket(LOOPBACK, 68);
    auto otherMac = TEST_MAC;
    otherMac[5] = 0x56;
    const auto valid = MakeBootpRequest(TEST_MAC, "tiva");
    struct Case {
        const char* what;
        std::vector<std::uint8_t> request;
    };
    const Case cases[] = {
        {"other MAC", MakeBootpRequest(otherMac, "tiva")},
        {"other server name", MakeBootpRequest(TEST_MAC, "tivax")},
        {"short request", std::vector<std::uint8_t>(valid.begin(), valid.begin() + 100)},
        {"one byte", Bytes({1})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        recorder.lines.clear();
        Deliver(client, c.request, session->bootpSocket);
        AnswerBootpRequest(*session);
        EXPECT_EQ(recorder.lines, (std::vector<std::wstring>{L"... Reading BOOTP packet\r\n",
                                                             L"... Verifying BOOTP packet\r\n"}));
        EXPECT_FALSE(session->bootpAnswered);
        EXPECT_FALSE(Receive(client, SILENCE));
    }
}

// ---- TFTP ----

TEST_F(HandlerTest, ImagesAreServedBlockByBlockWithProgress) {
    struct Case {
        std::size_t imageSize;
        std::vector<std::size_t> blockLengths;  // datagram lengths, block 1 onward
        std::vector<unsigned> progress;
    };
    const Case cases[] = {
        {0, {4}, {100}},
        {1000, {516, 492}, {51, 100}},
        {1024, {516, 516, 4}, {50, 100, 100}},
        {512, {516, 4}, {100, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "image of " << c.imageSize << " bytes");
        ASSERT_TRUE(OpenSession());
        SetImage(c.imageSize);
        net::UdpSocket client = BoundSocket(LOOPBACK, 0);
        Datagram block = StartTransfer(client);
        const std::uint16_t dataPort = session->dataSocket.LocalEndpoint().port;
        for (std::size_t n = 1; n <= c.blockLengths.size(); ++n) {
            ASSERT_EQ(block.source, (net::Endpoint{LOOPBACK, dataPort}));
            ASSERT_EQ(block.bytes.size(), c.blockLengths[n - 1]);
            EXPECT_EQ(block.bytes, ExpectedBlock(static_cast<std::uint32_t>(n)));
            const bool complete = Acknowledge(client, static_cast<std::uint16_t>(n));
            EXPECT_EQ(complete, n == c.blockLengths.size());
            if (complete) break;
            auto next = Receive(client);
            ASSERT_TRUE(next);
            block = *next;
        }
        EXPECT_EQ(recorder.progress, c.progress);
        EXPECT_FALSE(Receive(client, SILENCE)) << "nothing follows the last block";
    }
}

TEST_F(HandlerTest, WrongAcksShortDatagramsAndStrangersAreIgnored) {
    SetImage(1024);
    net::UdpSocket client = BoundSocket(LOOPBACK, 0);
    net::UdpSocket stranger = BoundSocket(STRANGER, 0);
    ASSERT_TRUE(stranger.IsOpen());
    StartTransfer(client);
    ASSERT_FALSE(Acknowledge(client, 1));
    ASSERT_TRUE(Receive(client));  // block 2
    session->idleCount = 1;
    const auto progressBefore = recorder.progress;

    struct Case {
        const char* what;
        net::UdpSocket* from;
        std::vector<std::uint8_t> datagram;
    };
    const Case cases[] = {
        {"ACK of the previous block", &client, Ack(1)},
        {"ACK of the next block", &client, Ack(3)},
        {"three bytes", &client, Bytes({0, 4, 0})},
        {"not an ACK", &client, Bytes({0, 3, 0, 2})},
        {"right ACK from a stranger", &stranger, Ack(2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        recorder.lines.clear();
        Deliver(*c.from, c.datagram, session->dataSocket);
        EXPECT_FALSE(ContinueTftpTransfer(*session));
        EXPECT_EQ(recorder.lines, (std::vector<std::wstring>{L"... Reading TFTP data packet\r\n",
                                                             L"... Verify TFTP packet is ACK\r\n"}));
        EXPECT_EQ(session->currentBlock, 2u);
        EXPECT_EQ(session->idleCount, 1u);
        EXPECT_FALSE(Receive(client, SILENCE));
        EXPECT_FALSE(Receive(stranger, milliseconds(0)));
    }
    EXPECT_EQ(recorder.progress, progressBefore);

    ASSERT_FALSE(Acknowledge(client, 2));
    const auto block3 = Receive(client);
    ASSERT_TRUE(block3);
    EXPECT_EQ(block3->bytes, Bytes({0, 3, 0, 3}));
    EXPECT_EQ(session->idleCount, 0u);
}

TEST_F(HandlerTest, AnythingButAReadRequestOnPort69GetsTheErrorReply) {
    SetImage(2000);
    net::UdpSocket client = BoundSocket(LOOPBACK, 0);
    StartTransfer(client);
    const std::uint16_t dataPort = session->dataSocket.LocalEndpoint().port;

    auto expectedError = Bytes({0, 5, 0, 4});
    const std::string message = "Only RRQ is supported!";
    expectedError.insert(expectedError.end(), message.begin(), message.end());
    expectedError.push_back(0);

    const std::vector<std::uint8_t> datagrams[] = {TftpRequest(2), Bytes({0, 3, 0, 1}), Ack(1), Bytes({0})};
    for (const auto& datagram : datagrams) {
        net::UdpSocket sender = BoundSocket(LOOPBACK, 0);
        recorder.lines.clear();
        Deliver(sender, datagram, session->tftpSocket);
        StartTftpTransfer(*session);
        const auto reply = Receive(sender);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->source, (net::Endpoint{LOOPBACK, 69}));
        EXPECT_EQ(reply->bytes, expectedError);
        EXPECT_EQ(recorder.lines, (std::vector<std::wstring>{
                                      L"... Reading TFTP packet\n", L"... Verifying TFTP RRQ request\r\n",
                                      L"... Generate ERROR packet since RRQ\r\n", L"... packet not received\r\n"}));
        // The transfer under way goes on untouched.
        EXPECT_EQ(session->dataSocket.LocalEndpoint().port, dataPort);
        EXPECT_EQ(session->currentBlock, 1u);
    }
    EXPECT_FALSE(Acknowledge(client, 1));
    const auto block2 = Receive(client);
    ASSERT_TRUE(block2);
    EXPECT_EQ(block2->bytes.size(), 516u);
}

TEST_F(HandlerTest, ReadRequestRestartsTheTransferOnANewPort) {
    SetImage(1500);
    ResetDataPortGenerator();
    net::UdpSocket client = BoundSocket(LOOPBACK, 0);
    const Datagram first = StartTransfer(client);
    EXPECT_EQ(first.source.port, 32809);
    ASSERT_FALSE(Acknowledge(client, 1));
    ASSERT_TRUE(Receive(client));  // block 2

    recorder.lines.clear();
    Deliver(client, TftpRequest(1, "anything.img", "netascii"), session->tftpSocket);
    StartTftpTransfer(*session);
    const auto restarted = Receive(client);
    ASSERT_TRUE(restarted);
    EXPECT_EQ(restarted->source.port, 34851);
    EXPECT_EQ(restarted->bytes, first.bytes);
    EXPECT_EQ(session->currentBlock, 1u);
    EXPECT_EQ(recorder.lines, (std::vector<std::wstring>{
                                  L"... Reading TFTP packet\n", L"... Verifying TFTP RRQ request\r\n",
                                  L"... Restarting TFTP session\r\n", L"... Create TFTP data socket\r\n",
                                  L"... Building TFTP packet (Block 1)\r\n",
                                  L"... Sending TFTP data packet (Block 1)\r\n"}));
    // The old data socket is closed: its port is free again.
    EXPECT_TRUE(BoundSocket(LOOPBACK, 32809).IsOpen());
}

// The boot loader repeats its read request when block 1 is slow to come, and a network can
// double it; the loader then keeps to the port of the first block it takes. A repetition
// from the same client port while block 1 is out therefore brings block 1 again from the
// same port; a request from another port (a new transfer) restarts as above.
TEST_F(HandlerTest, RepeatedReadRequestBringsBlock1AgainFromTheSamePort) {
    SetImage(1500);
    net::UdpSocket client = BoundSocket(LOOPBACK, 0);
    const Datagram first = StartTransfer(client);
    const std::uint16_t dataPort = first.source.port;
    const std::uint32_t socketsOpened = session->dataSocketsOpened;

    recorder.lines.clear();
    Deliver(client, TftpRequest(1), session->tftpSocket);
    StartTftpTransfer(*session);
    const auto again = Receive(client);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->source.port, dataPort);
    EXPECT_EQ(again->bytes, first.bytes);
    EXPECT_EQ(session->dataSocketsOpened, socketsOpened);
    EXPECT_EQ(recorder.lines, (std::vector<std::wstring>{
                                  L"... Reading TFTP packet\n", L"... Verifying TFTP RRQ request\r\n",
                                  L"... Building TFTP packet (Block 1)\r\n",
                                  L"... Sending TFTP data packet (Block 1)\r\n"}));
    // The transfer goes on from there: the ACK of block 1 (sent once for each copy) brings
    // block 2 once.
    EXPECT_FALSE(Acknowledge(client, 1));
    EXPECT_FALSE(Acknowledge(client, 1));
    const auto block2 = Receive(client);
    ASSERT_TRUE(block2);
    EXPECT_EQ(block2->source.port, dataPort);
    EXPECT_EQ(block2->bytes, ExpectedBlock(2));
    EXPECT_FALSE(Receive(client, SILENCE));

    // Another client port while block 1 is out: a new transfer on a new port.
    ASSERT_TRUE(OpenSession());
    SetImage(1500);
    net::UdpSocket other = BoundSocket(LOOPBACK, 0);
    StartTransfer(client);
    Deliver(other, TftpRequest(1), session->tftpSocket);
    StartTftpTransfer(*session);
    const auto restarted = Receive(other);
    ASSERT_TRUE(restarted);
    EXPECT_EQ(session->transferClient, other.LocalEndpoint());
    EXPECT_EQ(session->dataSocketsOpened, 2u);
}

TEST_F(HandlerTest, CurrentBlockGoesAgainToTheClientAfterTwoQuietWaits) {
    SetImage(700);
    net::UdpSocket client = BoundSocket(LOOPBACK, 0);
    const Datagram block1 = StartTransfer(client);

    // A BOOTP exchange in between leaves another sender in peerAddress.
    net::UdpSocket bootClient = BoundSocket(LOOPBACK, 68);
    Deliver(bootClient, MakeBootpRequest(TEST_MAC, "stellaris"), session->bootpSocket);
    AnswerBootpRequest(*session);
    ASSERT_TRUE(Receive(bootClient));
    const std::size_t linesBefore = recorder.lines.size();

    for (int round = 0; round < 3; ++round) {
        ++session->idleCount;
        RetransmitOnIdle(*session);
        EXPECT_FALSE(Receive(client, SILENCE)) << "one quiet wait is not enough";
        ++session->idleCount;
        RetransmitOnIdle(*session);
        EXPECT_EQ(session->idleCount, 0u);
        const auto again = Receive(client);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->bytes, block1.bytes);
    }
    EXPECT_FALSE(Receive(bootClient, milliseconds(0)));
    EXPECT_EQ(recorder.lines.size(), linesBefore) << "a repeated block writes no line";
    EXPECT_TRUE(recorder.progress.empty());
}

TEST_F(HandlerTest, BlockNumbersRollOverAt65536) {
    // 65,537 blocks: the last two carry numbers 0 and 1 on the wire.
    const std::size_t size = 65536 * 512 + 10;
    SetImage(size);
    net::UdpSocket client = BoundSocket(LOOPBACK, 0);
    StartTransfer(client);
    session->currentBlock = 65535;  // as if blocks 1..65534 had been acknowledged

    ASSERT_FALSE(Acknowledge(client, 65535));
    auto block = Receive(client);
    ASSERT_TRUE(block);
    ASSERT_EQ(block->bytes.size(), 516u);
    EXPECT_EQ(block->bytes[2], 0);
    EXPECT_EQ(block->bytes[3], 0);
    EXPECT_EQ(std::memcmp(block->bytes.data() + 4, session->image.get() + 65535u * 512, 512), 0);
    EXPECT_EQ(Tail(recorder.lines, 2), (std::vector<std::wstring>{L"... Building TFTP packet (Block 65536)\r\n",
                                                                  L"... Sending TFTP data packet (Block 65536)\r\n"}));

    EXPECT_FALSE(Acknowledge(client, 1)) << "block 65536 is acknowledged as 0";
    ASSERT_FALSE(Acknowledge(client, 0));
    block = Receive(client);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->bytes.size(), 14u);
    EXPECT_EQ(block->bytes[3], 1);
    EXPECT_EQ(std::memcmp(block->bytes.data() + 4, session->image.get() + 65536u * 512, 10), 0);
    EXPECT_TRUE(Acknowledge(client, 1));
    EXPECT_EQ(recorder.progress, (std::vector<unsigned>{99, 99, 100}));
}

TEST_F(HandlerTest, ReadRequestIsDroppedWhenNoDataPortOpens) {
    SetImage(100);
    // Hold every port of the next attempts.
    ResetDataPortGenerator();
    std::set<std::uint16_t> ports;
    for (int i = 0; i < DATA_SOCKET_ATTEMPTS; ++i) ports.insert(NextDataPort());
    std::vector<net::UdpSocket> holders;
    for (std::uint16_t port : ports) {
        holders.push_back(BoundSocket(LOOPBACK, port));
        ASSERT_TRUE(holders.back().IsOpen()) << port;
    }
    ResetDataPortGenerator();

    net::UdpSocket client = BoundSocket(LOOPBACK, 0);
    Deliver(client, TftpRequest(1), session->tftpSocket);
    StartTftpTransfer(*session);
    EXPECT_EQ(recorder.lines, (std::vector<std::wstring>{L"... Reading TFTP packet\n",
                                                         L"... Verifying TFTP RRQ request\r\n",
                                                         L"... Create TFTP data socket\r\n",
                                                         L"Cannot allocate socket\r\n"}));
    EXPECT_FALSE(session->dataSocket.IsOpen());
    EXPECT_FALSE(Receive(client, SILENCE));

    // The client asks again; the next port of the generator is free.
    const Datagram block1 = StartTransfer(client);
    EXPECT_EQ(block1.bytes.size(), 104u);
    EXPECT_EQ(ports.count(block1.source.port), 0u);
}
