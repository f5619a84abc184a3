// The simulated instruments' discovery responder, seen from a raw socket on the host side.

#include <algorithm>

#include <gtest/gtest.h>

#include "tests/lab/lab_support.h"
#include "tests/lab/raw_udp.h"

namespace labtest {
namespace {

using namespace std::chrono_literals;

const Bytes REQUEST = {0xFF, 0x04, 0x02, 0xFB};

// The replies to a request: up to `expected` of them are waited for generously (a loaded
// machine may hold the simulator back), any beyond them only until the line has been quiet
// for a while (bounded in count).
std::vector<std::pair<Source, Bytes>> CollectReplies(RawUdp& socket, std::size_t expected) {
    std::vector<std::pair<Source, Bytes>> replies;
    for (int i = 0; i < 16; ++i) {
        Source source;
        auto datagram = socket.Receive(replies.size() < expected ? 5000ms : 400ms, &source);
        if (!datagram) break;
        replies.emplace_back(source, *datagram);
    }
    return replies;
}

std::uint8_t ChecksumOf(const Bytes& frameWithoutChecksum) {
    unsigned sum = 0;
    for (auto byte : frameWithoutChecksum) sum += byte;
    return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

// The complete reply of the "full" instrument below, without its checksum.
Bytes FullFrameBody() {
    Bytes frame = {
        0xFE, 0x54, 0x02,        // tag, length 84, command
        0x01,                    // device type
        0x07,                    // number
        0x0A, 0x0B, 0x0C, 0x0D,  // extra, in wire order
        0x02, 0x11, 0x22, 0x33, 0x44, 0x55,  // MAC
        0x05, 0x00, 0x02, 0x00,  // version 0x00020005, little-endian
    };
    const std::string description = "Meter A%";
    frame.insert(frame.end(), description.begin(), description.end());
    frame.resize(83, 0x00);  // description padded to 64 bytes
    return frame;
}

const char* const FULL =
    "instrument address=10.23.0.10 mac=02-11-22-33-44-55 type=1 number=7 extra=0a0b0c0d "
    "version=0x00020005 description=Meter%20A%25";

struct ReplyCase {
    const char* name;
    std::string config;
    std::vector<Bytes> expected;  // every datagram that must arrive, in order
};

std::vector<ReplyCase> ReplyCases() {
    Bytes full = FullFrameBody();
    full.push_back(ChecksumOf(full));

    Bytes badChecksum = full;
    badChecksum.back() = static_cast<std::uint8_t>(badChecksum.back() + 1);

    // length 16: the frame ends after the MAC; the checksum stands where the version began.
    Bytes shortFrame(full.begin(), full.begin() + 15);
    shortFrame[1] = 16;
    shortFrame.push_back(ChecksumOf(shortFrame));

    Bytes padded = full;  // a datagram longer than its frame
    padded.resize(300, 0x00);

    Bytes minimal = {0xFE, 0x04, 0x02};
    minimal.push_back(ChecksumOf(minimal));

    return {
        {"full", FULL, {full}},
        {"short length", std::string(FULL) + " length=16", {shortFrame}},
        {"minimal", "instrument address=10.23.0.10 mac=02-11-22-33-44-55 length=4", {minimal}},
        {"bad checksum", std::string(FULL) + " bad-checksum=1", {badChecksum}},
        {"two copies", std::string(FULL) + " copies=2", {full, full}},
        {"longer datagram", std::string(FULL) + " send-bytes=300", {padded}},
        {"first reply dropped", std::string(FULL) + " copies=2 drop=reply:1", {full}},
    };
}

TEST(DiscoveryResponder, AnswersTheRequestWithTheConfiguredBytes) {
    testnet::TestNetwork network({OneLink()});
    for (const auto& testCase : ReplyCases()) {
        SCOPED_TRACE(testCase.name);
        auto lab = network.StartLab(testCase.config + "\n");
        ASSERT_TRUE(lab->WaitReady());
        RawUdp client(HOST, 0);
        ASSERT_TRUE(client.IsBound());
        ASSERT_TRUE(client.Send(REQUEST, "255.255.255.255", 23));
        const auto replies = CollectReplies(client, testCase.expected.size());
        ASSERT_EQ(replies.size(), testCase.expected.size());
        for (std::size_t i = 0; i < replies.size(); ++i) {
            EXPECT_EQ(replies[i].first.address, INSTRUMENT_A);
            EXPECT_EQ(replies[i].first.port, 23);
            EXPECT_EQ(replies[i].second, testCase.expected[i]);
        }
        EXPECT_NE(lab->Report().find("discovery-request from=10.23.0.1 to=10.23.0.10"),
                  std::string::npos);
    }
}

TEST(DiscoveryResponder, AnswersOnlyWhereTheRequestWasHeardAndOnlyAValidRequest) {
    testnet::TestNetwork network({OneLink()});
    auto lab = network.StartLab(
        "# two instruments on one wire, a third that hears but never answers\n"
        "instrument address=10.23.0.10 mac=02-00-00-00-00-0a\n"
        "instrument address=10.23.0.11 mac=02-00-00-00-00-0b delay-ms=50\n");
    ASSERT_TRUE(lab->WaitReady());
    RawUdp client(HOST, 0);
    ASSERT_TRUE(client.IsBound());

    auto sources = [&](const Bytes& request, const std::string& destination, std::size_t expected) {
        client.Send(request, destination, 23);
        std::vector<std::string> found;
        for (const auto& reply : CollectReplies(client, expected)) found.push_back(reply.first.address);
        std::sort(found.begin(), found.end());
        return found;
    };
    const std::vector<std::string> both = {INSTRUMENT_A, INSTRUMENT_B};
    EXPECT_EQ(sources(REQUEST, "255.255.255.255", 2), both);
    EXPECT_EQ(sources(REQUEST, "10.23.0.255", 2), both);
    EXPECT_EQ(sources(REQUEST, INSTRUMENT_B, 1), std::vector<std::string>{INSTRUMENT_B});
    // Anything but exactly FF 04 02 FB is no request.
    for (const Bytes& invalid : {Bytes{0xFF, 0x04, 0x02, 0xFB, 0x00}, Bytes{0xFF, 0x04, 0x02},
                                 Bytes{0xFF, 0x04, 0x03, 0xFA}, Bytes{0xFE, 0x04, 0x02, 0xFC}}) {
        EXPECT_TRUE(sources(invalid, "255.255.255.255", 0).empty());
    }
    EXPECT_NE(lab->Report().find("discovery-invalid from=10.23.0.1"), std::string::npos);
}

TEST(DiscoveryResponder, SilentInstrumentHearsButDoesNotAnswer) {
    testnet::TestNetwork network({OneLink()});
    auto lab = network.StartLab("instrument address=10.23.0.10 mac=02-00-00-00-00-0a silent=1\n");
    ASSERT_TRUE(lab->WaitReady());
    RawUdp client(HOST, 0);
    client.Send(REQUEST, "255.255.255.255", 23);
    EXPECT_TRUE(CollectReplies(client, 0).empty());
    EXPECT_NE(WaitForReport(*lab, "discovery-request").find("to=10.23.0.10"), std::string::npos);
}

}  // namespace
}  // namespace labtest
