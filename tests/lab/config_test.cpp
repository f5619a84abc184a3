// Reading the simulator's configuration: the values that reach the wire, and the mistakes
// that must stop it instead of silently simulating something else.

#include <gtest/gtest.h>

#include "lab/config.h"

namespace {

TEST(LabConfig, ReadsValuesAndDefaults) {
    const auto parsed = lab::ParseConfig(
        "# comment line\n"
        "\n"
        "instrument address=10.23.0.10 mac=02-11-22-aa-bb-cc description=A%20b%25 version=0x10 "
        "extra=0x01020304 length=20 bootloader=tiva drop=ack:3,bootp:1 timeout-ms=50  # trailing\n"
        "instrument address=10.23.0.11 mac=02:11:22:aa:bb:cd sname= duplicate-percent=5 ack-delay-ms=20 linger-ms=0\n");
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.instruments.size(), 2u);
    const auto& first = parsed.instruments[0];
    EXPECT_EQ(lab::FormatMac(first.reply.mac), "02-11-22-AA-BB-CC");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first.reply.description.data())), "A b%");
    EXPECT_EQ(first.reply.version, 0x10u);
    EXPECT_EQ(first.reply.extra, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(first.reply.length, 20);
    EXPECT_EQ(first.reply.sendBytes, 20u);  // follows length unless given
    EXPECT_EQ(first.reply.type, 1);
    EXPECT_TRUE(first.bootloader);
    EXPECT_EQ(first.serverName, "tiva");
    ASSERT_EQ(first.drops.size(), 2u);
    EXPECT_EQ(first.drops[1].kind, lab::PacketKind::Bootp);
    EXPECT_EQ(first.timeoutMs, 50u);
    EXPECT_EQ(first.maxRetries, 30u);
    // An explicit sname, even empty, gives a boot loader that sends exactly that.
    EXPECT_TRUE(parsed.instruments[1].bootloader);
    EXPECT_EQ(parsed.instruments[1].serverName, "");
    EXPECT_EQ(first.duplicatePercent, 0u);
    EXPECT_EQ(parsed.instruments[1].duplicatePercent, 5u);
    EXPECT_EQ(parsed.instruments[1].ackDelayMs, 20u);
    EXPECT_FALSE(first.lingerMs.has_value());
    EXPECT_EQ(parsed.instruments[1].lingerMs, 0u);
}

TEST(LabConfig, RejectsMistakes) {
    for (const char* text : {
             "instrument mac=02-11-22-33-44-55\n",                         // no address
             "instrument address=10.23.0.10\n",                            // no MAC
             "instrument address=10.23.0.300 mac=02-11-22-33-44-55\n",     // bad address
             "instrument address=10.23.0.10 mac=02-11-22-33-44\n",         // short MAC
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55 colour=red\n",
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55 length=256\n",
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55 description=%4\n",
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55 drop=ack:0\n",
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55 drop=data:1\n",
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55 bootloader=uboot\n",
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55 timeout-ms=0\n",
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55 extra=123\n",
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55 duplicate-percent=101\n",
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55 ack-delay-ms=10001\n",
             "device address=10.23.0.10 mac=02-11-22-33-44-55\n",
             "instrument address=10.23.0.10 mac=02-11-22-33-44-55\n"
             "instrument address=10.23.0.10 mac=02-11-22-33-44-56\n",      // address used twice
         }) {
        SCOPED_TRACE(text);
        const auto parsed = lab::ParseConfig(text);
        EXPECT_NE(parsed.error, "");
        EXPECT_EQ(parsed.error.rfind("line ", 0), 0u);
    }
}

}  // namespace
