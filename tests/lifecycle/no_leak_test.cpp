// Sweeps and update runs, down every path by which they can end, must give back every file
// descriptor they took: after 100 of each the process holds exactly the descriptors it
// held before. (Memory is left to LeakSanitizer in the sanitizer build.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

#include "discovery/discovery_engine.h"
#include "tests/lifecycle/lab_fixture.h"
#include "tests/update/update_test_support.h"
#include "update/update_run_options.h"
#include "update/wide_text.h"

using namespace lifecycle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Every open descriptor of the process and what it refers to.
std::map<int, std::string> OpenDescriptors() {
    std::map<int, std::string> open;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const fs::path target = fs::read_symlink(entry.path(), error);
        open[std::stoi(entry.path().filename().string())] = error ? "?" : target.string();
    }
    return open;
}

// How one run is made to end.
enum class Ending { Completes, EmptyImageCompletes, MissingFile, Port67Held, Port69Held, WakeUpSocketFails,
                    StopBeforeFirstPass, StopMidTransfer };

// Watches a run through its sinks: raises the stop where the case asks for it, and after
// the time limit whatever happens, so that a failing run still ends.
struct RunWatch {
    Ending ending = Ending::Completes;
    std::chrono::steady_clock::time_point deadline;
    bool timedOut = false;
    bool sawWait = false;
    std::wstring lastLine;

    static void Log(void* context, const wchar_t* text) {
        auto* self = static_cast<RunWatch*>(context);
        self->lastLine = text;
        const std::wstring line(text);
        if (line == L"Starting BOOTP/TFTP Server\r\n" && self->ending == Ending::StopBeforeFirstPass)
            g_stopUpdate = 1;
        if (line == L"Waiting for packet ...\r\n") {
            self->sawWait = true;
            if (std::chrono::steady_clock::now() > self->deadline) {
                self->timedOut = true;
                g_stopUpdate = 1;
            }
        }
    }
    static void Progress(void* context, unsigned) {
        if (static_cast<RunWatch*>(context)->ending == Ending::StopMidTransfer) g_stopUpdate = 1;
    }
};

net::UdpSocket NoWakeUpSocket(int broadcast, bool bindLocal, net::Ipv4Address address, std::uint16_t port) {
    if (port == 0) return {};
    return OpenUdpSocket(broadcast, bindLocal, address, port);
}

class NoLeaks : public LabFixture {};

}  // namespace

// A run stopped mid-transfer leaves its loader waiting out its time-outs, and a busy loader
// ignores wake-ups; so each of those runs has a loader of its own, silent to sweeps.
constexpr int STOPPED_MID_TRANSFER = 10;
MacAddress StoppedLoaderMac(int run) { return {0x02, 0x11, 0x22, 0x33, 0x45, static_cast<std::uint8_t>(run)}; }
net::Ipv4Address StoppedLoaderAddress(int run) { return net::MakeAddress(10, 23, 0, static_cast<std::uint8_t>(13 + run)); }

TEST_F(NoLeaks, HundredSweepsAndHundredRunsDownEveryPathGiveBackEveryDescriptor) {
    // 10.23.0.11 answers with a reply too short to carry its MAC (resolved by ARP), 10.23.0.12
    // with a bad checksum (dropped); 10.23.0.10 also has a boot loader. Every loader gives up
    // only after 5 s without an answer: a run wakes its loader only until the BOOTP reply has
    // gone out, so a loader that gave up while a loaded machine held the run back would leave
    // that run serving for ever.
    std::string instruments =
        "instrument address=10.23.0.10 mac=02-11-22-33-44-55 bootloader=stellaris timeout-ms=50 max-retries=100\n"
        "instrument address=10.23.0.11 mac=02-11-22-33-44-66 length=15\n"
        "instrument address=10.23.0.12 mac=02-11-22-33-44-77 bad-checksum=1\n";
    for (int run = 0; run < STOPPED_MID_TRANSFER; ++run) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "instrument address=10.23.0.%d mac=02-11-22-33-45-%02X bootloader=stellaris silent=1 "
                      "timeout-ms=50 max-retries=100\n",
                      13 + run, run);
        instruments += line;
    }
    StartLab(instruments);
    const std::wstring image = FromUtf8(WriteImage("fw.bin", 3000).string());
    const std::wstring empty = FromUtf8(WriteImage("empty.bin", 0).string());
    const std::wstring missing = FromUtf8((directory / "missing.bin").string());
    auto devices = std::make_unique<DeviceTable>();

    const std::map<int, std::string> before = OpenDescriptors();

    constexpr DiscoveryTimeouts QUICK{1000ms, 60ms, 5000ms, 1000ms};
    for (int sweep = 0; sweep < 100; ++sweep) {
        // Every tenth sweep finds port 23 held, so no interface socket opens.
        net::UdpSocket holder;
        if (sweep % 10 == 9) holder = updatetest::BoundSocket(HOST, 23);
        std::array<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets;
        const int opened = OpenInterfaceSockets(sockets);
        SendDiscoveryRequest(sockets, opened);
        const int found = CollectDiscoveryReplies(sockets, opened, devices->records, QUICK);
        EXPECT_EQ(found, sweep % 10 == 9 ? 0 : 2) << "sweep " << sweep;
    }

    struct Case {
        Ending ending;
        int count;
        int result;
    };
    const Case cases[] = {
        {Ending::Completes, 10, UPDATE_DONE},
        {Ending::EmptyImageCompletes, 10, UPDATE_DONE},
        {Ending::StopMidTransfer, STOPPED_MID_TRANSFER, UPDATE_DONE},
        {Ending::StopBeforeFirstPass, 15, UPDATE_DONE},
        {Ending::MissingFile, 15, UPDATE_FILE_FAILED},
        {Ending::Port67Held, 15, UPDATE_BOOTP_SOCKET_FAILED},
        {Ending::Port69Held, 15, UPDATE_TFTP_SOCKET_FAILED},
        {Ending::WakeUpSocketFails, 10, UPDATE_MAGIC_SOCKET_FAILED},
    };
    int runs = 0;
    for (int round = 0; round < 15; ++round) {
        for (const Case& c : cases) {
            if (round >= c.count) continue;
            ++runs;
            net::UdpSocket holder;
            if (c.ending == Ending::Port67Held) holder = updatetest::BoundSocket(HOST, 67);
            if (c.ending == Ending::Port69Held) holder = updatetest::BoundSocket(HOST, 69);
            UpdateRunOptions options;
            options.waitInterval = 20ms;
            if (c.ending == Ending::WakeUpSocketFails) options.openSocket = NoWakeUpSocket;
            const std::wstring& path = c.ending == Ending::MissingFile           ? missing
                                       : c.ending == Ending::EmptyImageCompletes ? empty
                                                                                 : image;
            RunWatch watch;
            watch.ending = c.ending;
            watch.deadline = std::chrono::steady_clock::now() + 10s;
            UpdateRunReport report;
            const bool ownLoader = c.ending == Ending::StopMidTransfer;
            const int result = RunFirmwareUpdateWithOptions(
                options, ownLoader ? StoppedLoaderMac(round) : updatetest::TEST_MAC, HOST,
                ownLoader ? StoppedLoaderAddress(round) : net::MakeAddress(10, 23, 0, 10), path.c_str(),
                                                            RunWatch::Log, RunWatch::Progress, &watch, &report);
            SCOPED_TRACE("round " + std::to_string(round) + ", ending " + std::to_string(static_cast<int>(c.ending)));
            ASSERT_FALSE(watch.timedOut);
            EXPECT_EQ(result, c.result);
            const bool completes = c.ending == Ending::Completes || c.ending == Ending::EmptyImageCompletes;
            EXPECT_EQ(report.transferCompleted, completes);
            if (c.ending == Ending::StopBeforeFirstPass) {
                EXPECT_FALSE(watch.sawWait);
            }
            if (result == UPDATE_DONE) {
                EXPECT_EQ(watch.lastLine, L"Closing network connections\r\n");
            }
        }
    }
    EXPECT_EQ(runs, 100);

    const std::map<int, std::string> after = OpenDescriptors();
    std::cout << "open descriptors before: " << before.size() << ", after: " << after.size() << "\n";
    EXPECT_EQ(after, before);
}
