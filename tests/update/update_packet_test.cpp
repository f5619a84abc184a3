// The update's packet and text functions, without sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "tests/update/update_test_support.h"
#include "update/bootp_packet.h"
#include "update/bootp_responder.h"
#include "update/data_port.h"
#include "update/format_line.h"
#include "update/magic_packet.h"
#include "update/tftp_packet.h"
#include "update/tftp_transfer.h"
#include "update/wide_text.h"

using namespace updatetest;

TEST(MagicPacket, LeadInThenTheMacFourTimes) {
    const MagicPacket packet = BuildMagicPacket(TEST_MAC);
    const auto expected = Bytes({0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,   // lead-in
                                 0x02, 0x11, 0x22, 0x33, 0x44, 0x55,   // copy 1
                                 0x02, 0x11, 0x22, 0x33, 0x44, 0x55,   // copy 2
                                 0x02, 0x11, 0x22, 0x33, 0x44, 0x55,   // copy 3
                                 0x02, 0x11, 0x22, 0x33, 0x44, 0x55}); // copy 4
    EXPECT_EQ(std::vector<std::uint8_t>(packet.begin(), packet.end()), expected);
}

TEST(DataPort, GeneratorGivesTheFixedSequenceAndCanBeReset) {
    ResetDataPortGenerator();
    EXPECT_EQ(NextDataPort(), 32809);
    EXPECT_EQ(NextDataPort(), 34851);
    EXPECT_EQ(NextDataPort(), 39102);
    EXPECT_EQ(NextDataPort(), 34692);
    for (int i = 0; i < 10000; ++i) {
        const std::uint16_t port = NextDataPort();
        ASSERT_GE(port, 32768);
        ASSERT_LE(port, 40959);
    }
    ResetDataPortGenerator();
    EXPECT_EQ(NextDataPort(), 32809);
}

// ---- FormatLine ----

TEST(FormatLine, FillsValuesInDecimal) {
    std::array<wchar_t, LINE_BUFFER_SIZE> line{};
    // The text in the buffer, after checking that the count returned matches it.
    auto text = [&](int written) {
        EXPECT_EQ(written, static_cast<int>(std::wcslen(line.data())));
        return std::wstring(line.data());
    };
    EXPECT_EQ(text(FormatLine(line, L"Reading file (%s) to be downloaded\r\n", L"C:\\fw\\ПО.bin")),
              L"Reading file (C:\\fw\\ПО.bin) to be downloaded\r\n");
    EXPECT_EQ(text(FormatLine(line, L"... Allocating buffer for file length %u\r\n", std::uint32_t{4294967295u})),
              L"... Allocating buffer for file length 4294967295\r\n");
    EXPECT_EQ(text(FormatLine(line, L"Block %d.", std::int32_t{-2147483647 - 1})), L"Block -2147483648.");
    EXPECT_EQ(text(FormatLine(line, L"(Block %d) 100%%\r\n", std::int32_t{0})), L"(Block 0) 100%\r\n");
}

TEST(FormatLine, LongPathIsCutBeforeTheClosingTextWhichStaysWhole) {
    std::array<wchar_t, LINE_BUFFER_SIZE> line{};
    const std::wstring closing = L") to be downloaded\r\n";
    const std::wstring opening = L"Reading file (";
    // 477 characters fit exactly: 14 + 477 + 20 = 511.
    const std::wstring fits(511 - opening.size() - closing.size(), L'a');
    EXPECT_EQ(FormatLine(line, L"Reading file (%s) to be downloaded\r\n", fits.c_str()), 511);
    EXPECT_EQ(std::wstring(line.data()), opening + fits + closing);

    const std::wstring tooLong(2000, L'b');
    EXPECT_EQ(FormatLine(line, L"Reading file (%s) to be downloaded\r\n", tooLong.c_str()), 511);
    const std::wstring text(line.data());
    EXPECT_EQ(text, opening + std::wstring(fits.size(), L'b') + closing);
    EXPECT_EQ(line[511], L'\0');
}

// ---- BOOTP ----

namespace {

std::vector<std::uint8_t> WithByte(std::vector<std::uint8_t> request, std::size_t offset, int value) {
    request[offset] = static_cast<std::uint8_t>(value);
    return request;
}

}  // namespace

TEST(BootpRequest, AcceptsOnlyTheBootLoaderOfThisMac) {
    const auto valid = MakeBootpRequest(TEST_MAC, "stellaris");
    std::vector<std::uint8_t> noTerminator = valid;
    std::fill_n(noTerminator.begin() + BOOTP_SNAME_OFFSET, BOOTP_SNAME_LENGTH, 'a');
    std::memcpy(noTerminator.data() + BOOTP_SNAME_OFFSET, "stellaris", 9);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> request;
        bool accepted;
    };
    const Case cases[] = {
        {"stellaris", valid, true},
        {"tiva", MakeBootpRequest(TEST_MAC, "tiva"), true},
        {"capitals STELLARIS", MakeBootpRequest(TEST_MAC, "STELLARIS"), true},
        {"mixed case TiVA", MakeBootpRequest(TEST_MAC, "TiVA"), true},
        {"fixed part only (236 bytes)", std::vector<std::uint8_t>(valid.begin(), valid.begin() + 236), true},
        {"op 2", WithByte(valid, BOOTP_OP_OFFSET, 2), false},
        {"htype 6", WithByte(valid, BOOTP_HTYPE_OFFSET, 6), false},
        {"hlen 16", WithByte(valid, BOOTP_HLEN_OFFSET, 16), false},
        {"other MAC, first byte", WithByte(valid, BOOTP_CHADDR_OFFSET, 0x03), false},
        {"other MAC, last byte", WithByte(valid, BOOTP_CHADDR_OFFSET + 5, 0x56), false},
        {"name with a suffix", MakeBootpRequest(TEST_MAC, "stellaris2"), false},
        {"name is a prefix", MakeBootpRequest(TEST_MAC, "stellar"), false},
        {"tiva with a suffix", MakeBootpRequest(TEST_MAC, "tivaware"), false},
        {"empty name", MakeBootpRequest(TEST_MAC, ""), false},
        {"other name", MakeBootpRequest(TEST_MAC, "pxe"), false},
        {"name without a zero byte", noTerminator, false},
        {"short (235 bytes)", std::vector<std::uint8_t>(valid.begin(), valid.begin() + 235), false},
        {"empty datagram", {}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsBootLoaderRequest(c.request, TEST_MAC), c.accepted) << c.what;
}

TEST(BootpReply, IsTheRequestWithOpAddressesAndFileChanged) {
    const auto request = MakeBootpRequest(TEST_MAC, "Stellaris");
    std::array<std::uint8_t, PACKET_BUFFER_SIZE> packet{};
    std::copy(request.begin(), request.end(), packet.begin());
    const auto device = net::MakeAddress(10, 23, 0, 10);
    const auto server = net::MakeAddress(10, 23, 0, 1);
    ASSERT_EQ(BuildBootpReply(packet, request.size(), device, server), 300u);

    auto same = [&](std::size_t offset, std::size_t length, const char* field) {
        EXPECT_TRUE(std::equal(request.begin() + offset, request.begin() + offset + length,
                               packet.begin() + offset))
            << field;
    };
    EXPECT_EQ(packet[0], 2) << "op";
    same(1, 1, "htype");
    same(2, 1, "hlen");
    same(3, 1, "hops");
    same(4, 4, "xid");
    same(8, 2, "secs");
    same(10, 2, "flags");
    same(12, 4, "ciaddr");
    EXPECT_EQ(std::vector<std::uint8_t>(packet.begin() + 16, packet.begin() + 20), Bytes({10, 23, 0, 10}));
    EXPECT_EQ(std::vector<std::uint8_t>(packet.begin() + 20, packet.begin() + 24), Bytes({10, 23, 0, 1}));
    same(24, 4, "giaddr");
    same(28, 16, "chaddr");
    same(44, 64, "sname (the boot loader's own name goes back)");
    EXPECT_EQ(std::memcmp(packet.data() + 108, "firmware.bin\0", 13), 0);
    same(121, 115, "rest of file");
    same(236, 64, "vend");
}

TEST(BootpReply, BytesBeyondAShortRequestAreZeroNotOldBufferContents) {
    const auto request = MakeBootpRequest(TEST_MAC, "tiva");
    std::array<std::uint8_t, PACKET_BUFFER_SIZE> packet;
    packet.fill(0xEE);  // what an earlier firmware block left there
    std::copy(request.begin(), request.begin() + 240, packet.begin());
    ASSERT_EQ(BuildBootpReply(packet, 240, 1, 2), 300u);
    EXPECT_TRUE(std::equal(request.begin() + 236, request.begin() + 240, packet.begin() + 236));
    EXPECT_TRUE(std::all_of(packet.begin() + 240, packet.begin() + 300, [](std::uint8_t b) { return b == 0; }));
}

// ---- TFTP ----

TEST(TftpPacket, ErrorReplyIsTheFixed27Bytes) {
    std::array<std::uint8_t, PACKET_BUFFER_SIZE> packet{};
    ASSERT_EQ(BuildErrorReply(packet), 27u);
    auto expected = Bytes({0, 5, 0, 4});
    const std::string text = "Only RRQ is supported!";
    expected.insert(expected.end(), text.begin(), text.end());
    expected.push_back(0);
    EXPECT_EQ(std::vector<std::uint8_t>(packet.begin(), packet.begin() + 27), expected);
}

TEST(TftpPacket, RequestAndAckRecognition) {
    EXPECT_TRUE(IsReadRequest(TftpRequest(1)));
    EXPECT_TRUE(IsReadRequest(Bytes({0, 1})));  // name and mode are never read
    EXPECT_FALSE(IsReadRequest(TftpRequest(2)));
    EXPECT_FALSE(IsReadRequest(Bytes({1, 1})));
    EXPECT_FALSE(IsReadRequest(Bytes({0})));
    EXPECT_FALSE(IsReadRequest({}));

    EXPECT_TRUE(IsAckOf(Ack(7), 7));
    EXPECT_TRUE(IsAckOf(Bytes({0, 4, 0, 7, 9, 9}), 7));
    EXPECT_FALSE(IsAckOf(Ack(6), 7));
    EXPECT_FALSE(IsAckOf(Bytes({0, 3, 0, 7}), 7));
    EXPECT_FALSE(IsAckOf(Bytes({0, 4, 0}), 0));
    EXPECT_TRUE(IsAckOf(Ack(0), 65536));   // the 65536th block carries number 0
    EXPECT_TRUE(IsAckOf(Ack(1), 65537));
}

TEST(TftpPacket, DataBlocksAndProgressByImageSize) {
    struct Block {
        std::uint32_t number;
        std::size_t length;  // datagram bytes
        bool last;
        unsigned progress;   // reported when this block is acknowledged
    };
    struct Case {
        std::uint32_t imageSize;
        std::vector<Block> blocks;
    };
    const Case cases[] = {
        {0, {{1, 4, true, 100}}},
        {1000, {{1, 516, false, 51}, {2, 492, true, 100}}},
        {1024, {{1, 516, false, 50}, {2, 516, false, 100}, {3, 4, true, 100}}},
        {512, {{1, 516, false, 100}, {2, 4, true, 100}}},
    };
    for (const Case& c : cases) {
        UpdateSession session;
        session.image = PatternImage(c.imageSize);
        session.imageSize = c.imageSize;
        for (const Block& b : c.blocks) {
            SCOPED_TRACE(testing::Message() << "image " << c.imageSize << " block " << b.number);
            const std::size_t length = BuildDataPacket(session, b.number);
            ASSERT_EQ(length, b.length);
            EXPECT_EQ(session.packet[0], 0);
            EXPECT_EQ(session.packet[1], 3);
            EXPECT_EQ(session.packet[2], 0);
            EXPECT_EQ(session.packet[3], b.number);
            EXPECT_EQ(std::memcmp(session.packet.data() + 4, session.image.get() + (b.number - 1) * 512,
                                  length - 4),
                      0);
            EXPECT_EQ(IsLastBlock(b.number, c.imageSize), b.last);
            EXPECT_EQ(ProgressPercent(b.number, c.imageSize), b.progress);
        }
    }
}

TEST(TftpPacket, ProgressOfLargeImagesDoesNotOverflow) {
    // 32-bit arithmetic would overflow from block 83,887 on.
    const std::uint32_t size = 100u * 1024 * 1024;  // 204,800 blocks
    EXPECT_EQ(ProgressPercent(83887, size), 40u);
    EXPECT_EQ(ProgressPercent(204799, size), 99u);
    EXPECT_EQ(ProgressPercent(204800, size), 100u);
    EXPECT_FALSE(IsLastBlock(8388607, 0xFFFFFFFFu));
    EXPECT_TRUE(IsLastBlock(8388608, 0xFFFFFFFFu));
}

TEST(WideText, RoundTripsNonAsciiPaths) {
    const std::wstring path = L"/tmp/прошивка €/fw\U0001F600.bin";
    EXPECT_EQ(FromUtf8(ToUtf8(path)), path);
    EXPECT_EQ(ToUtf8(L"Block"), "Block");
    EXPECT_EQ(FromUtf8("a\xFF" "b"), L"a\uFFFDb");
}
