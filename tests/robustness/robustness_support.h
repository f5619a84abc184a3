#pragma once
// End-to-end updates on a hostile network: the test network with one instrument on
// 10.23.0.10 and a stranger's address 10.23.0.66 in the lab, nftables faults on either
// side, programs run in the background in the lab, and an update run bounded in time.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_network.h"
#include "tests/update/update_test_support.h"
#include "update/update_run_options.h"

namespace robustness {

inline const net::Ipv4Address HOST = net::MakeAddress(10, 23, 0, 1);
inline const net::Ipv4Address INSTRUMENT = net::MakeAddress(10, 23, 0, 10);
inline const char* const HOST_TEXT = "10.23.0.1";
inline const char* const INSTRUMENT_TEXT = "10.23.0.10";
inline const char* const STRANGER_TEXT = "10.23.0.66";
inline const char* const MAC_TEXT = "02-11-22-33-44-55";  // updatetest::TEST_MAC

// The simulator's configuration line of the instrument, with further fields.
std::string InstrumentLine(const std::string& fields);

// An nftables table of one namespace (this process's, or the lab's), removed when the
// object goes, also when the test fails.
class NftTable {
public:
    // rules: one `nft add rule` body each, for a filter chain on the input hook.
    NftTable(const testnet::TestNetwork* labSide, const std::vector<std::string>& rules);
    ~NftTable();
    NftTable(const NftTable&) = delete;
    NftTable& operator=(const NftTable&) = delete;
    bool Applied() const { return applied_; }
    // `nft list table`: the rules with their counters, the sets with their elements.
    std::string List() const;
    // Runs one more nft command on this table's namespace ("%T" stands for the table).
    int Run(const std::string& command) const;

private:
    int Nft(const std::string& arguments, std::string* output = nullptr) const;
    const testnet::TestNetwork* labSide_;
    bool applied_ = false;
};

// A program running in the background (in the lab namespace: prefix its arguments with
// `ip netns exec NAME`); its standard output goes to a file. Stopped by SIGTERM, then
// SIGKILL, when the object goes.
class BackgroundProgram {
public:
    BackgroundProgram(const std::vector<std::string>& args, const std::filesystem::path& output);
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;
    // Waits (bounded) for the program to end by itself: its exit status, -1 if it did not.
    int WaitExit(std::chrono::milliseconds limit);
    std::string Output() const;

private:
    int pid_ = -1;
    std::filesystem::path output_;
};

// The simulator's report once it holds `text` (waiting at most limit), or as it is then.
std::string WaitForReport(const testnet::LabProcess& lab, const std::string& text, std::chrono::milliseconds limit);

// The command line that runs quorvel-stranger in the lab namespace.
std::vector<std::string> StrangerCommand(const testnet::TestNetwork& network, const std::vector<std::string>& args);

struct UpdateOutcome {
    int result = -1;
    UpdateRunReport report;
    bool stoppedByWatchdog = false;
    std::chrono::milliseconds duration{0};
    updatetest::Recorder recorder;
};

class LabUpdateTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes an image of pseudo-random bytes and returns its path.
    std::filesystem::path WriteImage(std::size_t size, unsigned seed = 1);
    // Runs an update of image to the instrument; raises the stop flag after limit.
    UpdateOutcome Update(const std::filesystem::path& image, std::chrono::milliseconds limit,
                         const UpdateRunOptions& options = {});
    // The report line of a byte-exact delivery of image, as the simulator writes it.
    static std::string DoneLine(const std::filesystem::path& image);

    std::unique_ptr<testnet::TestNetwork> network;
    std::filesystem::path directory;
};

}  // namespace robustness
