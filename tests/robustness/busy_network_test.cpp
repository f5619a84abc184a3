// A busy plant LAN: other equipment broadcasts DHCP requests to port 67 several times a
// second, so the server's waits are never quiet. A lost data block or a lost wake-up
// packet must still be repeated on time.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <regex>

#include "tests/robustness/robustness_support.h"

using namespace robustness;
using std::chrono::milliseconds;

namespace {

// The packets of a rule's counter, from `nft list table`.
int CountedPackets(const std::string& listing) {
    std::smatch match;
    if (!std::regex_search(listing, match, std::regex("counter packets ([0-9]+)"))) return -1;
    return std::stoi(match[1]);
}

class BusyNetwork : public LabUpdateTest {};

}  // namespace

TEST_F(BusyNetwork, LostPacketsAreRepeatedWhileOtherTrafficKeepsEveryWaitBusy) {
    struct Case {
        const char* lost;
        const char* labRule;  // drops exactly that one packet on the lab side
    };
    const Case cases[] = {
        {"the third DATA block", "udp sport 32768-40959 numgen inc mod 1000000 == 2 counter drop"},
        {"the first wake-up packet", "udp dport 9 numgen inc mod 1000000 == 0 counter drop"},
    };
    const auto image = WriteImage(20000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lost);
        const auto lab = network->StartLab(InstrumentLine("bootloader=stellaris"), {"--exit-after-updates", "1"});
        ASSERT_TRUE(lab->WaitReady());
        const NftTable loss(network.get(), {c.labRule});
        ASSERT_TRUE(loss.Applied());
        // A DHCP client broadcasting every 150 ms: no 500 ms wait of the server is quiet.
        BackgroundProgram chatter(StrangerCommand(*network, {"chatter", "--from", STRANGER_TEXT, "--interval-ms",
                                                             "150", "--seconds", "30"}),
                                  directory / "chatter.out");

        // This update takes about a second; ten is generous.
        const UpdateOutcome outcome = Update(image, milliseconds(10000));
        EXPECT_FALSE(outcome.stoppedByWatchdog) << "the lost packet was not repeated within 10 s";
        EXPECT_TRUE(outcome.report.transferCompleted);
        EXPECT_EQ(CountedPackets(loss.List()), 1) << loss.List();
        const auto& lines = outcome.recorder.lines;
        EXPECT_GE(std::count(lines.begin(), lines.end(), L"... Reading BOOTP packet\r\n"), 2)
            << "the chatter did not reach the server";
        EXPECT_EQ(lab->WaitExit(milliseconds(5000)), 0);
        EXPECT_NE(lab->Report().find(DoneLine(image)), std::string::npos) << lab->Report();
        std::cout << "lost " << c.lost << " under chatter: update took " << outcome.duration.count() << " ms\n";
    }
}
