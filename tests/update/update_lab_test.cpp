// End to end: the update run against the simulated boot loader (quorvel-lab) and against
// independent TFTP clients, in network namespaces joined by veth; and quorvel-cli update.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/support/file_contents.h"
#include "tests/support/test_network.h"
#include "tests/update/stop_watchdog.h"
#include "tests/update/update_test_support.h"
#include "update/update_run_options.h"
#include "update/wide_text.h"

using namespace updatetest;
using std::chrono::milliseconds;
namespace fs = std::filesystem;
using testnet::ReadFile;
using testnet::Sha256Of;

namespace {

const net::Ipv4Address HOST = net::MakeAddress(10, 23, 0, 1);
const net::Ipv4Address INSTRUMENT = net::MakeAddress(10, 23, 0, 10);
const char* const MAC_TEXT = "02-11-22-33-44-55";
// No end-to-end update here needs more than a few seconds; past this the test gives up.
constexpr milliseconds RUN_LIMIT{60000};



class LabTest : public testing::Test {
protected:
    void SetUp() override {
        testnet::EnterPrivateNetwork();
        network = std::make_unique<testnet::TestNetwork>(
            std::vector<testnet::Link>{{"vh23", {"10.23.0.1/24"}, "vl23", {"10.23.0.10/24"}}});
        char pattern[] = "/tmp/qv-update-lab-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override {
        network.reset();
        std::error_code ignored;
        fs::remove_all(directory, ignored);
        g_stopUpdate = 0;
    }

    fs::path WriteImage(const std::string& name, std::size_t size) {
        const fs::path path = directory / name;
        const auto image = PatternImage(size);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.get()),
                                                    static_cast<std::streamsize>(size));
        return path;
    }

    // Runs an update of image to the instrument at 10.23.0.10, bounded by RUN_LIMIT.
    int Update(const fs::path& image, UpdateRunReport& report) {
        updatetest::StopWatchdog watchdog(RUN_LIMIT);
        const std::wstring path = FromUtf8(image.string());
        const int result = RunFirmwareUpdateWithOptions({}, TEST_MAC, HOST, INSTRUMENT, path.c_str(), Recorder::Log,
                                                        Recorder::Progress, &recorder, &report);
        EXPECT_FALSE(watchdog.Fired()) << "the update did not end by itself";
        return result;
    }

    std::unique_ptr<testnet::TestNetwork> network;
    fs::path directory;
    Recorder recorder;
};

std::string InstrumentLine(const std::string& fields) {
    return std::string("instrument address=10.23.0.10 mac=") + MAC_TEXT + " " + fields + "\n";
}

}  // namespace

TEST_F(LabTest, UpdatesReachTheSimulatedBootLoaderByteExact) {
    struct Case {
        const char* fields;  // boot loader kind and faults
        std::size_t imageSize;
    };
    const Case cases[] = {
        {"bootloader=stellaris", 200123},
        {"bootloader=tiva", 0},
        {"bootloader=stellaris", 512 * 3},
        // Lost and repeated packets: the server repeats its block after two quiet waits,
        // and ignores the duplicate ACK.
        {"bootloader=tiva drop=bootp:1,ack:3,rrq:1 duplicate=ack:5", 20000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fields << ", " << c.imageSize << " bytes");
        recorder = Recorder{};
        const auto lab = network->StartLab(InstrumentLine(c.fields), {"--exit-after-updates", "1"});
        ASSERT_TRUE(lab->WaitReady());
        const fs::path image = WriteImage("fw.bin", c.imageSize);

        UpdateRunReport report;
        EXPECT_EQ(Update(image, report), 0);
        EXPECT_TRUE(report.transferCompleted);
        ASSERT_FALSE(recorder.progress.empty());
        EXPECT_EQ(recorder.progress.back(), 100u);
        EXPECT_EQ(recorder.lines.back(), L"Closing network connections\r\n");

        EXPECT_EQ(lab->WaitExit(milliseconds(10000)), 0);
        const std::string labReport = lab->Report();
        EXPECT_NE(labReport.find("bootp-reply mac=02-11-22-33-44-55 yiaddr=10.23.0.10 siaddr=10.23.0.1 "
                                 "file=firmware.bin from=10.23.0.1:67"),
                  std::string::npos)
            << labReport;
        const std::string done = "tftp-done mac=02-11-22-33-44-55 size=" + std::to_string(c.imageSize) +
                                  " sha256=" + Sha256Of(image);
        EXPECT_NE(labReport.find(done), std::string::npos) << labReport;
    }
}

TEST_F(LabTest, IndependentTftpClientsFetchTheImageByteExact) {
    struct Case {
        const char* client;
        std::string command;  // %OUT% stands for the output file
        std::size_t imageSize;
    };
    const Case cases[] = {
        {"curl", "curl -s --max-time 30 -o '%OUT%' tftp://10.23.0.1/firmware.bin", 150001},
        {"tftp-hpa", "tftp 10.23.0.1 -m binary -c get firmware.bin '%OUT%'", 512 * 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.client);
        const fs::path image = WriteImage("served.bin", c.imageSize);
        const fs::path fetched = directory / (std::string("fetched-") + c.client);
        std::string command = c.command;
        command.replace(command.find("%OUT%"), 5, fetched.string());

        UpdateRunReport report;
        int result = -1;
        std::thread server([&] { result = Update(image, report); });
        const int clientStatus = network->RunInLab(command);
        if (clientStatus != 0) g_stopUpdate = 1;
        server.join();
        g_stopUpdate = 0;

        EXPECT_EQ(clientStatus, 0);
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(report.transferCompleted);
        EXPECT_EQ(ReadFile(fetched), ReadFile(image));
    }
}

namespace {

struct ProcessResult {
    int exitCode = -1;  // -1: did not end within the limit (killed)
    std::string output;
    milliseconds duration{0};
};

// Runs a program in this process's network namespace, standard output and error to a
// file; optionally sends it a signal after a delay.
ProcessResult RunProgram(const std::vector<std::string>& args, const fs::path& outputFile,
                         milliseconds limit, int signalToSend = 0, milliseconds signalAfter = milliseconds(0)) {
    ProcessResult result;
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) return result;
    bool signalled = signalToSend == 0;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (done == pid) {
            result.duration = std::chrono::duration_cast<milliseconds>(elapsed);
            result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (!signalled && elapsed >= signalAfter) {
            kill(pid, signalToSend);
            signalled = true;
        }
        if (elapsed >= limit) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    result.output = ReadFile(outputFile);
    return result;
}

}  // namespace

TEST_F(LabTest, CliUpdatesOneMebibyteImageByteExact) {
    const auto lab = network->StartLab(InstrumentLine("bootloader=stellaris"), {"--exit-after-updates", "1"});
    ASSERT_TRUE(lab->WaitReady());
    const fs::path image = WriteImage("one-mebibyte.bin", 1 << 20);
    const ProcessResult cli =
        RunProgram({testnet::ProgramPath("quorvel-cli"), "update", "--mac", MAC_TEXT, "--interface", "10.23.0.1",
                    "--device", "10.23.0.10", "--quiet", image.string()},
                   directory / "cli-output", RUN_LIMIT);
    EXPECT_EQ(cli.exitCode, 0) << cli.output;
    EXPECT_NE(cli.output.find("] 100%"), std::string::npos) << cli.output;
    EXPECT_EQ(lab->WaitExit(milliseconds(10000)), 0);
    EXPECT_EQ(ReadFile(fs::path(lab->WorkDirectory()) / "received-02-11-22-33-44-55.bin"), ReadFile(image));
    EXPECT_NE(lab->Report().find("sha256=" + Sha256Of(image)), std::string::npos);
    RecordProperty("one_mebibyte_update_ms", static_cast<int>(cli.duration.count()));
    std::cout << "quorvel-cli update of 1 MiB took " << cli.duration.count() << " ms\n";
}

TEST_F(LabTest, CliFindsTheInstrumentBySweepAndPrintsTheLog) {
    const auto lab = network->StartLab(InstrumentLine("bootloader=tiva"), {"--exit-after-updates", "1"});
    ASSERT_TRUE(lab->WaitReady());
    const fs::path image = WriteImage("fw.bin", 3000);
    const ProcessResult cli = RunProgram(
        {testnet::ProgramPath("quorvel-cli"), "update", "--device", "10.23.0.10", image.string()},
        directory / "cli-output", RUN_LIMIT);
    EXPECT_EQ(cli.exitCode, 0) << cli.output;
    EXPECT_NE(cli.output.find("Reading file (" + image.string() + ") to be downloaded\r\n"), std::string::npos)
        << cli.output;
    EXPECT_NE(cli.output.find("... Reading TFTP packet\n... Verifying TFTP RRQ request\r\n"), std::string::npos);
    EXPECT_NE(cli.output.find("... Sending TFTP data packet (Block 6)\r\n"), std::string::npos);
    EXPECT_TRUE(cli.output.ends_with("... Verify TFTP packet is ACK\r\nClosing network connections\r\n")) << cli.output;
    EXPECT_EQ(lab->WaitExit(milliseconds(10000)), 0);
    EXPECT_EQ(ReadFile(fs::path(lab->WorkDirectory()) / "received-02-11-22-33-44-55.bin"), ReadFile(image));
}

TEST_F(LabTest, CliStopsCleanlyOnInterruptAndRejectsBadArguments) {
    // No boot loader answers: the run serves until Ctrl-C.
    const fs::path image = WriteImage("fw.bin", 3000);
    const std::string cliPath = testnet::ProgramPath("quorvel-cli");
    const ProcessResult stopped =
        RunProgram({cliPath, "update", "--mac", MAC_TEXT, "--interface", "10.23.0.1", "--device", "10.23.0.10",
                    image.string()},
                   directory / "cli-output", RUN_LIMIT, SIGINT, milliseconds(1200));
    EXPECT_EQ(stopped.exitCode, 130) << stopped.output;
    EXPECT_NE(stopped.output.find("... Resending \"Magic\" packet.\r\n"), std::string::npos) << stopped.output;
    EXPECT_NE(stopped.output.find("Closing network connections\r\n"), std::string::npos) << stopped.output;
    // Every socket was closed: the ports are free again.
    EXPECT_TRUE(BoundSocket(HOST, 67).IsOpen());
    EXPECT_TRUE(BoundSocket(HOST, 69).IsOpen());

    const std::vector<std::vector<std::string>> badArguments = {
        {"update"},
        {"update", "--device", "10.23.0.10"},
        {"update", "--mac", MAC_TEXT, "--device", "10.23.0.10", "fw.bin"},
        {"update", "--mac", "02-11-22-33-44", "--interface", "10.23.0.1", "--device", "10.23.0.10", "fw.bin"},
        {"update", "--device", "10.23.0.300", "fw.bin"},
        {"update", "--device", "10.23.0.10", "--speed", "9", "fw.bin"},
        {"update", "--device", "10.23.0.10", "a.bin", "b.bin"},
    };
    for (auto args : badArguments) {
        args.insert(args.begin(), cliPath);
        const ProcessResult bad = RunProgram(args, directory / "cli-output", milliseconds(10000));
        EXPECT_EQ(bad.exitCode, 64) << bad.output;
        EXPECT_NE(bad.output.find("usage:"), std::string::npos) << bad.output;
    }
}
