// The discovery frame: request bytes, acceptance of replies, and filling a record from
// a reply of every length that matters.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "discovery/discovery_protocol.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const net::Ipv4Address SOURCE = net::MakeAddress(10, 23, 0, 10);
const net::Ipv4Address INTERFACE = net::MakeAddress(10, 23, 0, 1);

// A full reply (length 84) whose fields are easy to tell apart.
Bytes FullReplyFields() {
    Bytes frame = {
        0xFE, 84, 0x02,                      // tag, length, command
        0x01,                                // device type
        0x05,                                // number
        0xE1, 0xE2, 0xE3, 0xE4,              // extra
        0x02, 0x11, 0x22, 0x33, 0x44, 0x55,  // MAC
        0x05, 0x00, 0x02, 0x00,              // version 0x00020005, little-endian
    };
    for (int i = 0; i < 64; ++i) frame.push_back(static_cast<std::uint8_t>('a' + i % 26));  // description
    frame.push_back(0);                                                                    // checksum
    return frame;
}

// The first `length` bytes of `fields` (padded with 0x5A when longer) as a frame of that
// length with a valid checksum.
Bytes Frame(Bytes fields, std::size_t length) {
    fields.resize(length, 0x5A);
    fields[1] = static_cast<std::uint8_t>(length);
    fields[length - 1] = FrameChecksum(std::span(fields).first(length - 1));
    return fields;
}

std::uint8_t Sum(const Bytes& bytes, std::size_t count) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

TEST(DiscoveryFrame, RequestIsFf0402FbAndSumsToZero) {
    EXPECT_EQ(Bytes(DISCOVERY_REQUEST.begin(), DISCOVERY_REQUEST.end()), (Bytes{0xFF, 0x04, 0x02, 0xFB}));
    EXPECT_EQ(FrameChecksum(std::span(DISCOVERY_REQUEST).first(3)), 0xFB);
}

TEST(DiscoveryFrame, ChecksumMakesEveryLengthSumToZero) {
    for (std::size_t length : {4u, 5u, 6u, 83u, 84u, 100u, 255u}) {
        const Bytes frame = Frame(FullReplyFields(), length);
        EXPECT_EQ(Sum(frame, length), 0) << "length " << length;
    }
}

struct AcceptanceCase {
    const char* name;
    Bytes datagram;
    bool accepted;
};

TEST(DiscoveryFrame, AcceptanceTests) {
    Bytes length100 = Frame(FullReplyFields(), 100);
    Bytes truncated = Frame(FullReplyFields(), 84);
    truncated.resize(20);
    truncated[19] = FrameChecksum(std::span(truncated).first(19));  // the 20 bytes alone sum to zero
    Bytes longest = Frame(FullReplyFields(), 255);  // a 256-byte datagram, length 255
    longest.push_back(0x77);

    const AcceptanceCase cases[] = {
        {"minimal reply", {0xFE, 0x04, 0x02, 0xFC}, true},
        {"the request itself (tag)", {0xFF, 0x04, 0x02, 0xFB}, false},
        {"command 3", {0xFE, 0x04, 0x03, 0xFB}, false},
        {"length 3", {0xFE, 0x03, 0x02, 0xFD}, false},
        {"length 0", {0xFE, 0x00, 0x02, 0x00}, false},
        {"bad checksum", {0xFE, 0x04, 0x02, 0xFB}, false},
        {"three bytes", {0xFE, 0x04, 0x02}, false},
        {"empty", {}, false},
        {"bytes beyond length ignored", {0xFE, 0x04, 0x02, 0xFC, 0x11, 0x22}, true},
        {"odd length 5", Frame(FullReplyFields(), 5), true},
        {"full reply", Frame(FullReplyFields(), 84), true},
        {"length 100, bytes 83..98 ignored but summed", length100, true},
        {"datagram shorter than its length", truncated, false},
        {"length 255 in a 256-byte datagram", longest, true},
    };
    for (const AcceptanceCase& c : cases) {
        EXPECT_EQ(IsDiscoveryReply(c.datagram), c.accepted) << c.name;
    }

    // One changed byte anywhere in the frame (here in the ignored tail) breaks the sum.
    length100[90] ^= 0x01;
    EXPECT_FALSE(IsDiscoveryReply(length100));
}

struct Expected {
    std::uint8_t deviceType = 0;
    std::uint8_t number = 0;
    std::array<std::uint8_t, 4> extra{};
    std::array<std::uint8_t, 6> mac{};
    std::uint32_t version = 0;
    const char* description = "";
    bool resolveMac = false;
};

TEST(DiscoveryFrame, FieldsTakenByLengthThreshold) {
    const std::array<std::uint8_t, 4> extra{0xE1, 0xE2, 0xE3, 0xE4};
    const std::array<std::uint8_t, 6> mac{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    const char* text = "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijk";  // 63
    const struct {
        std::size_t length;
        Expected expected;
    } cases[] = {
        {4, {0, 0, {}, {}, 0, "", true}},
        {5, {1, 0, {}, {}, 0, "", true}},
        {6, {1, 5, {}, {}, 0, "", true}},
        {9, {1, 5, {}, {}, 0, "", true}},
        {10, {1, 5, extra, {}, 0, "", true}},
        {15, {1, 5, extra, {}, 0, "", true}},
        {16, {1, 5, extra, mac, 0, "", false}},
        {19, {1, 5, extra, mac, 0, "", false}},
        {20, {1, 5, extra, mac, 0x00020005, "", false}},
        {83, {1, 5, extra, mac, 0x00020005, "", false}},
        {84, {1, 5, extra, mac, 0x00020005, text, false}},
        {100, {1, 5, extra, mac, 0x00020005, text, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.length);
        const Bytes reply = Frame(FullReplyFields(), c.length);
        ASSERT_TRUE(IsDiscoveryReply(reply));
        DeviceRecord record;
        std::memset(&record, 0xAA, sizeof record);  // stale contents must not survive
        const bool resolveMac = FillDeviceRecord(reply, SOURCE, INTERFACE, record);

        EXPECT_EQ(resolveMac, c.expected.resolveMac);
        EXPECT_EQ(record.address, SOURCE);
        EXPECT_EQ(record.interfaceAddress, INTERFACE);
        EXPECT_EQ(record.deviceType, c.expected.deviceType);
        EXPECT_EQ(record.number, c.expected.number);
        EXPECT_EQ(record.extra, c.expected.extra);
        EXPECT_EQ(record.mac, c.expected.mac);
        EXPECT_EQ(record.version, c.expected.version);
        EXPECT_STREQ(record.description, c.expected.description);
        // Everything after the text is zero, too (the record was cleared first).
        for (std::size_t i = std::strlen(c.expected.description); i < DESCRIPTION_LENGTH; ++i) {
            ASSERT_EQ(record.description[i], '\0') << "description byte " << i;
        }
    }
}

TEST(DiscoveryFrame, DescriptionOf64NonZeroBytesKeeps63) {
    Bytes fields = FullReplyFields();
    for (std::size_t i = REPLY_DESCRIPTION_OFFSET; i < REPLY_DESCRIPTION_THRESHOLD; ++i) fields[i] = 0xC0;
    const Bytes reply = Frame(fields, FULL_REPLY_LENGTH);
    DeviceRecord record;
    FillDeviceRecord(reply, SOURCE, INTERFACE, record);
    EXPECT_EQ(std::strlen(record.description), 63u);
    EXPECT_EQ(static_cast<unsigned char>(record.description[62]), 0xC0);
    EXPECT_EQ(record.description[63], '\0');
}

TEST(DiscoveryFrame, DescriptionEndsAtItsFirstZeroByte) {
    Bytes fields = FullReplyFields();
    fields[REPLY_DESCRIPTION_OFFSET + 3] = 0;
    DeviceRecord record;
    FillDeviceRecord(Frame(fields, FULL_REPLY_LENGTH), SOURCE, INTERFACE, record);
    EXPECT_STREQ(record.description, "abc");
}

TEST(DiscoveryFrame, VersionIsLittleEndian) {
    Bytes fields = FullReplyFields();
    const std::uint8_t version[] = {0x78, 0x56, 0x34, 0x12};
    std::memcpy(&fields[REPLY_VERSION_OFFSET], version, sizeof version);
    DeviceRecord record;
    FillDeviceRecord(Frame(fields, FULL_REPLY_LENGTH), SOURCE, INTERFACE, record);
    EXPECT_EQ(record.version, 0x12345678u);
}

TEST(DiscoveryFrame, FillingNeverReadsPastTheDatagram) {
    // Not a reply (shorter than its length): only the addresses are set, nothing is read.
    const Bytes truncated = {0xFE, 84, 0x02, 0x01, 0x05};
    DeviceRecord record;
    std::memset(&record, 0xAA, sizeof record);
    EXPECT_FALSE(FillDeviceRecord(truncated, SOURCE, INTERFACE, record));
    EXPECT_EQ(record.address, SOURCE);
    EXPECT_EQ(record.deviceType, 0);
    EXPECT_EQ(record.number, 0);
}

}  // namespace
