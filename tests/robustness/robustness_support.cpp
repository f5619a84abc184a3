#include "tests/robustness/robustness_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "tests/support/file_contents.h"
#include "tests/update/stop_watchdog.h"
#include "update/wide_text.h"

#ifndef STRANGER_PATH
#define STRANGER_PATH "quorvel-stranger"
#endif

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace robustness {
namespace {

constexpr const char* TABLE = "inet qv_faults";
using testnet::ReadFile;
using testnet::Sha256Of;



fs::path TemporaryFile(const char* stem) {
    std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd >= 0) close(fd);
    return pattern;
}

}  // namespace

std::string InstrumentLine(const std::string& fields) {
    return std::string("instrument address=") + INSTRUMENT_TEXT + " mac=" + MAC_TEXT + " " + fields + "\n";
}

// ---- NftTable ----

NftTable::NftTable(const testnet::TestNetwork* labSide, const std::vector<std::string>& rules)
    : labSide_(labSide) {
    std::string sets, chain;
    for (const auto& rule : rules) (rule.rfind("set ", 0) == 0 ? sets : chain) += "    " + rule + "\n";
    const std::string text = std::string("table ") + TABLE + " {\n" + sets +
                             "  chain input {\n    type filter hook input priority 0; policy accept;\n" + chain +
                             "  }\n}\n";
    const fs::path file = TemporaryFile("qv-nft");
    std::ofstream(file) << text;
    applied_ = Nft("-f " + file.string()) == 0;
    fs::remove(file);
}

NftTable::~NftTable() { Nft(std::string("delete table ") + TABLE); }

std::string NftTable::List() const {
    std::string output;
    Nft(std::string("list table ") + TABLE, &output);
    return output;
}

int NftTable::Run(const std::string& command) const {
    std::string arguments = command;
    const auto marker = arguments.find("%T");
    if (marker != std::string::npos) arguments.replace(marker, 2, TABLE);
    return Nft(arguments);
}

int NftTable::Nft(const std::string& arguments, std::string* output) const {
    const fs::path captured = TemporaryFile("qv-nft-out");
    const std::string command = "nft " + arguments + " > '" + captured.string() + "' 2>&1";
    const int status = labSide_ != nullptr ? labSide_->RunInLab(command) : testnet::TestNetwork::RunOnHost(command);
    if (output != nullptr) *output = ReadFile(captured);
    fs::remove(captured);
    return status;
}

// ---- BackgroundProgram ----

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& args, const fs::path& output)
    : output_(output) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a crashed test
        if (getppid() != parent) _exit(126);
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) dup2(out, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
}

BackgroundProgram::~BackgroundProgram() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (WaitExit(milliseconds(3000)) == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

int BackgroundProgram::WaitExit(milliseconds limit) { return testnet::WaitForChild(pid_, limit); }

std::string BackgroundProgram::Output() const { return ReadFile(output_); }

std::string WaitForReport(const testnet::LabProcess& lab, const std::string& text, milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string report = lab.Report();
    while (report.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(20));
        report = lab.Report();
    }
    return report;
}

std::vector<std::string> StrangerCommand(const testnet::TestNetwork& network, const std::vector<std::string>& args) {
    std::vector<std::string> command = {"ip", "netns", "exec", network.LabNamespace(), STRANGER_PATH};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

// ---- LabUpdateTest ----

void LabUpdateTest::SetUp() {
    testnet::EnterPrivateNetwork();
    network = std::make_unique<testnet::TestNetwork>(std::vector<testnet::Link>{
        {"vh23", {std::string(HOST_TEXT) + "/24"}, "vl23",
         {std::string(INSTRUMENT_TEXT) + "/24", std::string(STRANGER_TEXT) + "/24"}}});
    char pattern[] = "/tmp/qv-robust-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
}

void LabUpdateTest::TearDown() {
    network.reset();
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    g_stopUpdate = 0;
}

fs::path LabUpdateTest::WriteImage(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    const fs::path path = directory / ("image-" + std::to_string(size) + ".bin");
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

UpdateOutcome LabUpdateTest::Update(const fs::path& image, milliseconds limit, const UpdateRunOptions& options) {
    UpdateOutcome outcome;
    const std::wstring path = FromUtf8(image.string());
    const auto start = std::chrono::steady_clock::now();
    {
        updatetest::StopWatchdog watchdog(limit);
        outcome.result = RunFirmwareUpdateWithOptions(options, updatetest::TEST_MAC, HOST, INSTRUMENT, path.c_str(),
                                                      updatetest::Recorder::Log, updatetest::Recorder::Progress,
                                                      &outcome.recorder, &outcome.report);
        outcome.stoppedByWatchdog = watchdog.Fired();
    }
    g_stopUpdate = 0;
    outcome.duration = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    return outcome;
}

std::string LabUpdateTest::DoneLine(const fs::path& image) {
    return std::string("tftp-done mac=") + MAC_TEXT + " size=" + std::to_string(fs::file_size(image)) +
           " sha256=" + Sha256Of(image);
}

}  // namespace robustness
