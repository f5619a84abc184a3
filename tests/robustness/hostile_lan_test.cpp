// A hostile LAN: while a real update runs, a stranger in the lab throws thousands of
// datagrams at the server's ports (quorvel-stranger hostile). The update still delivers
// the image byte for byte in bounded time, nothing of it reaches the stranger, and every
// BOOTP reply holds only the request's bytes and the responder's own fields.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "tests/robustness/robustness_support.h"

using namespace robustness;
using std::chrono::milliseconds;

namespace {

// "key=value key=value ..." as a map of numbers.
std::map<std::string, long> Summary(const std::string& line) {
    std::map<std::string, long> values;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        const auto equals = word.find('=');
        if (equals != std::string::npos) values[word.substr(0, equals)] = std::stol(word.substr(equals + 1));
    }
    return values;
}

class HostileLan : public LabUpdateTest {};

}  // namespace

TEST_F(HostileLan, UpdateCompletesByteExactWhileAStrangerFloodsEveryPort) {
    constexpr int FLOOD_DATAGRAMS = 3000;
    // A loader that takes 12 ms per block (writing flash) keeps the 256 KiB transfer going
    // for longer than the five seconds of the flood.
    const auto image = WriteImage(256 * 1024);
    const auto lab = network->StartLab(InstrumentLine("bootloader=stellaris ack-delay-ms=12"),
                                       {"--exit-after-updates", "1"});
    ASSERT_TRUE(lab->WaitReady());
    BackgroundProgram stranger(
        StrangerCommand(*network, {"hostile", "--from", STRANGER_TEXT, "--spoof", INSTRUMENT_TEXT, "--server",
                                   HOST_TEXT, "--device", INSTRUMENT_TEXT, "--mac", MAC_TEXT, "--report",
                                   lab->WorkDirectory() + "/report", "--count", std::to_string(FLOOD_DATAGRAMS),
                                   "--rate", "600", "--seed", "7"}),
        directory / "stranger.out");
    // The flood is under way before the server opens its ports.
    std::this_thread::sleep_for(milliseconds(300));

    const UpdateOutcome outcome = Update(image, milliseconds(40000));
    EXPECT_FALSE(outcome.stoppedByWatchdog);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_TRUE(outcome.report.transferCompleted);
    ASSERT_EQ(stranger.WaitExit(milliseconds(15000)), 0) << "the stranger did not finish";
    EXPECT_EQ(lab->WaitExit(milliseconds(5000)), 0);
    const std::string report = lab->Report();
    EXPECT_NE(report.find(DoneLine(image)), std::string::npos) << report;
    EXPECT_EQ(report.find("tftp-failed"), std::string::npos) << report;

    const std::string line = stranger.Output();
    auto tally = Summary(line);
    EXPECT_GE(tally["sent"], FLOOD_DATAGRAMS) << line;
    EXPECT_GT(tally["sent-during-transfer"], FLOOD_DATAGRAMS / 2) << "the flood missed the transfer: " << line;
    EXPECT_GT(tally["to-data-port"], 0) << line;
    EXPECT_GT(tally["foreign-acks"], 0) << line;
    EXPECT_EQ(tally["data-blocks"], 0) << "a data block reached the stranger: " << line;
    EXPECT_GT(tally["errors"], 0) << "port 69 answered nothing: " << line;
    EXPECT_EQ(tally["bootp-other-mac"], 0) << "a request of another MAC was answered: " << line;
    EXPECT_GT(tally["bootp-replies"], 0) << line;
    EXPECT_EQ(tally["bootp-mismatches"], 0) << "a reply carried bytes of something else: " << line;
    EXPECT_EQ(tally["bootp-unasked"], 0) << line;

    std::cout << "hostile LAN: " << tally["sent"] << " datagrams in " << tally["flood-ms"] << " ms ("
              << tally["sent-during-transfer"] << " while the transfer ran); update of " << std::filesystem::file_size(image)
              << " bytes took " << outcome.duration.count() << " ms\n"
              << "stranger: " << line;
}
