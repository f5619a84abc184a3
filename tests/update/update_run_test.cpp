// RunFirmwareUpdate as a whole, on loopback inside a private network namespace: its
// results, its log, and a complete run against a boot loader played by the test.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/test_network.h"
#include "tests/update/update_test_support.h"
#include "update/bootp_packet.h"
#include "update/magic_packet.h"
#include "update/update_run.h"
#include "update/update_run_options.h"
#include "update/wide_text.h"

using namespace updatetest;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

namespace {

const net::Ipv4Address DEVICE = net::MakeAddress(10, 23, 0, 10);

class RunTest : public testing::Test {
protected:
    void SetUp() override {
        testnet::EnterPrivateNetwork();
        char pattern[] = "/tmp/qv-update-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
        g_stopUpdate = 0;
    }

    std::wstring WriteImage(const std::string& name, std::size_t size) {
        const fs::path path = directory / name;
        const auto image = PatternImage(size);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.get()),
                                                    static_cast<std::streamsize>(size));
        return FromUtf8(path.string());
    }

    int Run(const std::wstring& path, const UpdateRunOptions& options = {},
            UpdateRunReport* report = nullptr) {
        return RunFirmwareUpdateWithOptions(options, TEST_MAC, LOOPBACK, DEVICE, path.c_str(),
                                            Recorder::Log, Recorder::Progress, &recorder, report);
    }

    fs::path directory;
    Recorder recorder;
};

std::vector<std::wstring> Head(const std::vector<std::wstring>& lines, std::size_t count) {
    return {lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(count, lines.size()))};
}

const std::vector<std::wstring> SOCKET_LINES = {
    L"Setting up network connections\r\n", L"... Creating sockete for BOOTP server\r\n",
    L"... Creating sockete for TFTP server\r\n",
    L"... Creating sockete for MAGIG packet transmission\r\n",
    L"Sending \"Magic\" packet to initiate Ethernet Boot Loader\r\n", L"Starting BOOTP/TFTP Server\r\n"};

std::vector<std::wstring> Concat(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Raises the stop flag when the run writes its n-th "Waiting for packet" line.
struct StopAtWait {
    Recorder recorder;
    int stopAt = 1;
    int waits = 0;
    static void Log(void* context, const wchar_t* text) {
        auto* self = static_cast<StopAtWait*>(context);
        self->recorder.lines.emplace_back(text);
        if (std::wstring(text) == L"Waiting for packet ...\r\n" && ++self->waits == self->stopAt)
            g_stopUpdate = 1;
    }
};

}  // namespace

TEST_F(RunTest, PathThatIsNoReadableFileWritesTwoLinesAndReturns1) {
    fs::create_directory(directory / "folder.bin");
    for (const char* name : {"absent.bin", "folder.bin"}) {
        SCOPED_TRACE(name);
        recorder = Recorder{};
        const std::wstring path = FromUtf8((directory / name).string());
        EXPECT_EQ(Run(path), 1);
        EXPECT_EQ(recorder.lines, (std::vector<std::wstring>{L"Reading file (" + path + L") to be downloaded\r\n",
                                                             L"File (" + path + L") not found\r\n"}));
        EXPECT_TRUE(BoundSocket(LOOPBACK, 67).IsOpen());
    }
}

TEST_F(RunTest, FileLongerThan32BitsIsRefused) {
    const fs::path path = directory / "huge.bin";
    std::ofstream(path).close();
    fs::resize_file(path, (std::uintmax_t{1} << 32) + 1);  // sparse: costs no disk
    const std::wstring widePath = FromUtf8(path.string());
    EXPECT_EQ(Run(widePath), 1);
    EXPECT_EQ(recorder.lines, (std::vector<std::wstring>{L"Reading file (" + widePath + L") to be downloaded\r\n",
                                                         L"Cannot allocate memory for file\r\n"}));
}

TEST_F(RunTest, SocketFailuresReturn2To4AndReleaseTheOthers) {
    const std::wstring path = WriteImage("fw.bin", 100);
    const std::vector<std::wstring> fileLines = {L"Reading file (" + path + L") to be downloaded\r\n",
                                                 L"... Allocating buffer for file length 100\r\n",
                                                 L"... Reading the file\r\n"};
    struct Case {
        std::uint16_t heldPort;  // 0: the wake-up socket fails instead
        int result;
        std::size_t socketLines;  // lines of SOCKET_LINES written before the failure
    };
    const Case cases[] = {{67, 2, 2}, {69, 3, 3}, {0, 4, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        recorder = Recorder{};
        UpdateRunOptions options;
        net::UdpSocket holder;
        if (c.heldPort != 0) {
            holder = BoundSocket(LOOPBACK, c.heldPort);
            ASSERT_TRUE(holder.IsOpen());
        } else {
            options.openSocket = [](int broadcast, bool bindLocal, net::Ipv4Address address,
                                    std::uint16_t port) {
                return port == 0 ? net::UdpSocket() : OpenUdpSocket(broadcast, bindLocal, address, port);
            };
        }
        EXPECT_EQ(Run(path, options), c.result);
        EXPECT_EQ(recorder.lines,
                  Concat(Concat(fileLines, Head(SOCKET_LINES, c.socketLines)), {L"Cannot allocate socket\r\n"}));
        holder.Close();
        // Whatever the run opened is closed again.
        EXPECT_TRUE(BoundSocket(LOOPBACK, 67).IsOpen());
        EXPECT_TRUE(BoundSocket(LOOPBACK, 69).IsOpen());
    }
}

TEST_F(RunTest, StopRaisedBeforeTheRunIsClearedAndAStopEndsThePassItWasRaisedIn) {
    const std::wstring path = WriteImage("empty.bin", 0);
    StopAtWait stopper;
    stopper.stopAt = 2;
    g_stopUpdate = 1;  // before the sockets are open: no effect
    UpdateRunOptions options;
    options.waitInterval = milliseconds(20);
    UpdateRunReport report;
    EXPECT_EQ(RunFirmwareUpdateWithOptions(options, TEST_MAC, LOOPBACK, DEVICE, path.c_str(), StopAtWait::Log,
                                           nullptr, &stopper, &report),
              0);
    EXPECT_FALSE(report.transferCompleted);
    const std::vector<std::wstring> expected = Concat(
        Concat({L"Reading file (" + path + L") to be downloaded\r\n",
                L"... Allocating buffer for file length 0\r\n", L"... Reading the file\r\n"},
               SOCKET_LINES),
        {L"Waiting for packet ...\r\n", L"... Resending \"Magic\" packet.\r\n", L"Waiting for packet ...\r\n",
         L"... Resending \"Magic\" packet.\r\n", L"Closing network connections\r\n"});
    EXPECT_EQ(stopper.recorder.lines, expected);
}

TEST_F(RunTest, StopFromAnotherThreadEndsARunWithoutSinks) {
    const std::wstring path = WriteImage("fw.bin", 5000);
    std::atomic<int> result{-1};
    std::thread runner([&] {
        result = RunFirmwareUpdate(TEST_MAC, LOOPBACK, DEVICE, path.c_str(), nullptr, nullptr, nullptr);
    });
    std::this_thread::sleep_for(milliseconds(700));
    g_stopUpdate = 1;
    runner.join();  // within one pass (500 ms)
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(BoundSocket(LOOPBACK, 67).IsOpen());
}

TEST_F(RunTest, FailedWaitEndsTheRunWithALineOfItsOwn) {
    const std::wstring path = WriteImage("fw.bin", 10);
    // The wait fails when it is given more descriptors than the process may hold.
    struct Limiter {
        Recorder recorder;
        rlimit saved{};
        static void Log(void* context, const wchar_t* text) {
            auto* self = static_cast<Limiter*>(context);
            self->recorder.lines.emplace_back(text);
            if (std::wstring(text) == L"Starting BOOTP/TFTP Server\r\n") {
                getrlimit(RLIMIT_NOFILE, &self->saved);
                rlimit tiny = self->saved;
                tiny.rlim_cur = 1;
                setrlimit(RLIMIT_NOFILE, &tiny);
            }
        }
    } limiter;
    UpdateRunReport report;
    const int result = RunFirmwareUpdateWithOptions({}, TEST_MAC, LOOPBACK, DEVICE, path.c_str(), Limiter::Log,
                                                    nullptr, &limiter, &report);
    setrlimit(RLIMIT_NOFILE, &limiter.saved);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(report.waitFailed);
    ASSERT_GE(limiter.recorder.lines.size(), 3u);
    EXPECT_EQ(std::vector<std::wstring>(limiter.recorder.lines.end() - 3, limiter.recorder.lines.end()),
              (std::vector<std::wstring>{L"Waiting for packet ...\r\n", L"Waiting for packet failed\r\n",
                                         L"Closing network connections\r\n"}));
}

TEST_F(RunTest, WaitsInterruptedBySignalsAreResumedNotCountedAsPasses) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);  // no SA_RESTART: waits see EINTR

    const std::wstring path = WriteImage("fw.bin", 10);
    UpdateRunOptions options;
    options.waitInterval = milliseconds(400);
    std::thread runner([&] { Run(path, options); });
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 60; ++i) {
        std::this_thread::sleep_for(milliseconds(20));
        pthread_kill(runner.native_handle(), SIGUSR1);
    }
    g_stopUpdate = 1;
    runner.join();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    sigaction(SIGUSR1, &previous, nullptr);

    const auto waits = std::count(recorder.lines.begin(), recorder.lines.end(), L"Waiting for packet ...\r\n");
    EXPECT_GE(waits, 1);
    EXPECT_LE(waits, elapsed / options.waitInterval + 1) << "an interrupted wait must not end its pass early";
    EXPECT_EQ(std::count(recorder.lines.begin(), recorder.lines.end(), L"Waiting for packet failed\r\n"), 0);
    EXPECT_EQ(recorder.lines.back(), L"Closing network connections\r\n");
}

// The test plays the boot loader: it waits for the wake-up packet, asks by BOOTP,
// then reads the image by TFTP, acknowledging each block.
TEST_F(RunTest, CompleteRunWritesTheExpectedLogAndDeliversTheImage) {
    const std::size_t size = 1000;
    const std::wstring path = WriteImage("firmware image.bin", size);
    net::UdpSocket wake = BoundSocket(LOOPBACK, 9);
    net::UdpSocket boot = BoundSocket(LOOPBACK, 68);
    net::UdpSocket tftp = BoundSocket(LOOPBACK, 0);
    ASSERT_TRUE(wake.IsOpen() && boot.IsOpen() && tftp.IsOpen());

    UpdateRunOptions options;
    options.waitInterval = milliseconds(3000);  // no quiet wait while the test answers
    UpdateRunReport report;
    int result = -1;
    std::thread runner([&] { result = Run(path, options, &report); });

    std::vector<std::uint8_t> received;
    [&] {
        const auto magic = Receive(wake);
        ASSERT_TRUE(magic);
        const MagicPacket expectedMagic = BuildMagicPacket(TEST_MAC);
        EXPECT_EQ(magic->bytes, std::vector<std::uint8_t>(expectedMagic.begin(), expectedMagic.end()));

        ASSERT_EQ(boot.SendTo(MakeBootpRequest(TEST_MAC, "stellaris"), {net::LIMITED_BROADCAST, 67}), 300);
        const auto reply = Receive(boot);
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->bytes.size(), 300u);
        const net::Ipv4Address server = net::MakeAddress(reply->bytes[BOOTP_SIADDR_OFFSET], reply->bytes[21],
                                                         reply->bytes[22], reply->bytes[23]);
        ASSERT_EQ(server, LOOPBACK);

        ASSERT_GT(tftp.SendTo(TftpRequest(1), {server, 69}), 0);
        for (std::uint16_t n = 1;; ++n) {
            const auto block = Receive(tftp);
            ASSERT_TRUE(block);
            ASSERT_GE(block->bytes.size(), 4u);
            ASSERT_EQ(block->bytes[3], n);
            received.insert(received.end(), block->bytes.begin() + 4, block->bytes.end());
            tftp.SendTo(Ack(n), block->source);
            if (block->bytes.size() < 516) break;
        }
    }();
    if (HasFailure()) g_stopUpdate = 1;
    runner.join();

    EXPECT_EQ(result, 0);
    EXPECT_TRUE(report.transferCompleted);
    const auto image = PatternImage(size);
    EXPECT_EQ(received, std::vector<std::uint8_t>(image.get(), image.get() + size));
    EXPECT_EQ(recorder.progress, (std::vector<unsigned>{51, 100}));
    const std::vector<std::wstring> expected = {
        L"Reading file (" + path + L") to be downloaded\r\n",
        L"... Allocating buffer for file length 1000\r\n",
        L"... Reading the file\r\n",
        L"Setting up network connections\r\n",
        L"... Creating sockete for BOOTP server\r\n",
        L"... Creating sockete for TFTP server\r\n",
        L"... Creating sockete for MAGIG packet transmission\r\n",
        L"Sending \"Magic\" packet to initiate Ethernet Boot Loader\r\n",
        L"Starting BOOTP/TFTP Server\r\n",
        L"Waiting for packet ...\r\n",
        L"... Reading BOOTP packet\r\n",
        L"... Verifying BOOTP packet\r\n",
        L"... Generating BOOTP response\r\n",
        L"... Sending BOOTP response\r\n",
        L"Waiting for packet ...\r\n",
        L"... Reading TFTP packet\n",
        L"... Verifying TFTP RRQ request\r\n",
        L"... Create TFTP data socket\r\n",
        L"... Building TFTP packet (Block 1)\r\n",
        L"... Sending TFTP data packet (Block 1)\r\n",
        L"Waiting for packet ...\r\n",
        L"... Reading TFTP data packet\r\n",
        L"... Verify TFTP packet is ACK\r\n",
        L"... Building TFTP packet (Block 2)\r\n",
        L"... Sending TFTP data packet (Block 2)\r\n",
        L"Waiting for packet ...\r\n",
        L"... Reading TFTP data packet\r\n",
        L"... Verify TFTP packet is ACK\r\n",
        L"Closing network connections\r\n",
    };
    ASSERT_EQ(recorder.lines.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(recorder.lines[i], expected[i]) << "line " << i + 1;
}
