// A lossy network: datagrams lost at random in both directions (nftables on the input
// hook of each namespace), duplicated and reordered by the simulated boot loader. Updates
// still deliver the image byte for byte; a sweep lists exactly the instruments whose
// replies arrived, each record intact.
#include <gtest/gtest.h>

#include <array>
#include <iostream>
#include <regex>
#include <set>

#include "discovery/discovery_engine.h"
#include "tests/robustness/robustness_support.h"

using namespace robustness;
using std::chrono::milliseconds;

namespace {

const char* const RANDOM_LOSS = "meta l4proto udp numgen random mod 100 < 10 counter drop";

// Every "counter packets N" of a listing, in order.
std::vector<int> Counters(const std::string& listing) {
    std::vector<int> counts;
    const std::regex counter("counter packets ([0-9]+)");
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), counter); it != std::sregex_iterator(); ++it)
        counts.push_back(std::stoi((*it)[1]));
    return counts;
}

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

class LossyNetwork : public LabUpdateTest {};

}  // namespace

TEST_F(LossyNetwork, UpdatesArriveByteExactUnderLossDuplicationAndReordering) {
    struct Case {
        const char* name;
        const char* loaderFields;
        bool loss;              // 10 % of the datagrams lost on each side
        const char* faultLine;  // the simulator's report of its own faults
        std::size_t imageSize;
    };
    const Case cases[] = {
        // A lost block costs the server's 1 s repetition; the loader repeats its ACK after
        // 100 ms, gives up only after 10 s of silence, and stays 8 s after the last block
        // for the case that its last ACK is lost.
        {"10 % loss both ways", "timeout-ms=100 max-retries=100 linger-ms=8000", true, "", 64 * 1024},
        {"5 % duplication", "duplicate-percent=5", false, "action=duplicate", 256 * 1024},
        // Every ACK from block 2 on is held for 20 ms, then sent just after a stale one.
        {"reordering", "reorder=1 timeout-ms=20 max-retries=1000", false, "action=reorder", 64 * 1024 + 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto image = WriteImage(c.imageSize);
        const auto lab = network->StartLab(InstrumentLine(std::string("bootloader=stellaris ") + c.loaderFields));
        ASSERT_TRUE(lab->WaitReady());
        std::unique_ptr<NftTable> hostLoss, labLoss;
        if (c.loss) {
            hostLoss = std::make_unique<NftTable>(nullptr, std::vector<std::string>{RANDOM_LOSS});
            labLoss = std::make_unique<NftTable>(network.get(), std::vector<std::string>{RANDOM_LOSS});
            ASSERT_TRUE(hostLoss->Applied() && labLoss->Applied());
        }

        const UpdateOutcome outcome = Update(image, milliseconds(50000));
        EXPECT_FALSE(outcome.stoppedByWatchdog);
        EXPECT_TRUE(outcome.report.transferCompleted);
        const std::string report = WaitForReport(*lab, "tftp-done", milliseconds(5000));
        EXPECT_NE(report.find(DoneLine(image)), std::string::npos) << report;
        EXPECT_EQ(report.find("tftp-failed"), std::string::npos) << report;

        std::cout << c.name << ": " << c.imageSize << " bytes in " << outcome.duration.count() << " ms";
        if (c.loss) {
            const auto toHost = Counters(hostLoss->List()), toLab = Counters(labLoss->List());
            ASSERT_EQ(toHost.size(), 1u);
            ASSERT_EQ(toLab.size(), 1u);
            EXPECT_GT(toHost[0] + toLab[0], 0) << "nothing was lost";
            std::cout << ", datagrams lost: " << toHost[0] << " to the host, " << toLab[0] << " to the instrument";
        } else {
            const int faults = Occurrences(report, c.faultLine);
            EXPECT_GT(faults, 0) << "the fault never happened";
            std::cout << ", " << faults << " times " << c.faultLine;
        }
        std::cout << "\n";
    }
}

TEST_F(LossyNetwork, SweepListsExactlyTheInstrumentsWhoseRepliesArrivedEachRecordIntact) {
    constexpr int INSTRUMENTS = 20;
    std::string config;
    for (int i = 0; i < INSTRUMENTS; ++i) {
        const std::string address = "10.23.0." + std::to_string(100 + i);
        ASSERT_EQ(network->RunInLab("ip address add " + address + "/24 dev vl23"), 0);
        char line[256];
        std::snprintf(line, sizeof line,
                      "instrument address=%s mac=02-00-00-00-01-%02X type=%d number=%d extra=A0B0C0%02X "
                      "version=0x%08X description=unit%%20%d copies=%d\n",
                      address.c_str(), i, 1 + i % 3, i, i, 0x00010000u * i + 7u, i, 1 + i % 2);
        config += line;
    }
    const auto lab = network->StartLab(config);
    ASSERT_TRUE(lab->WaitReady());
    // The host records the source of every reply that survives its loss rule (its own
    // request, looped back, aside).
    const NftTable hostSide(nullptr, {"set arrived { type ipv4_addr; flags dynamic; }", RANDOM_LOSS,
                                      "udp sport 23 ip saddr != 10.23.0.1 add @arrived { ip saddr }"});
    const NftTable labSide(network.get(), {RANDOM_LOSS});
    ASSERT_TRUE(hostSide.Applied() && labSide.Applied()) << hostSide.List();

    auto devices = std::make_unique<DeviceTable>();
    for (int sweep = 0; sweep < 3; ++sweep) {
        SCOPED_TRACE(testing::Message() << "sweep " << sweep + 1);
        ASSERT_EQ(hostSide.Run("flush set %T arrived"), 0);
        std::array<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets;
        const int opened = OpenInterfaceSockets(sockets);
        ASSERT_EQ(opened, 1);
        SendDiscoveryRequest(sockets, opened);
        const int count = CollectDiscoveryReplies(
            sockets, opened, devices->records,
            DiscoveryTimeouts{milliseconds(2000), milliseconds(400), milliseconds(20000), milliseconds(1000)});
        for (int i = 0; i < opened; ++i) sockets[i].handle.Close();

        std::set<std::string> arrived;
        const std::string listing = hostSide.List();
        const auto elements = listing.find("elements = {");
        if (elements != std::string::npos) {
            const std::string block = listing.substr(elements, listing.find('}', elements) - elements);
            const std::regex address("10\\.23\\.0\\.[0-9]+");
            for (auto it = std::sregex_iterator(block.begin(), block.end(), address); it != std::sregex_iterator(); ++it)
                arrived.insert(it->str());
        }
        std::set<std::string> listed;
        for (int r = 0; r < count; ++r) {
            const DeviceRecord& record = devices->records[r];
            const std::string address = net::FormatAddress(record.address);
            EXPECT_TRUE(listed.insert(address).second) << address << " listed twice";
            const int i = static_cast<int>(net::AddressByte(record.address, 3)) - 100;
            ASSERT_TRUE(i >= 0 && i < INSTRUMENTS) << address;
            // Every field is the instrument's own: nothing of another reply, nothing lost.
            EXPECT_EQ(record.deviceType, 1 + i % 3);
            EXPECT_EQ(record.number, i);
            EXPECT_EQ(record.mac, (std::array<std::uint8_t, 6>{2, 0, 0, 0, 1, static_cast<std::uint8_t>(i)}));
            EXPECT_EQ(record.extra, (std::array<std::uint8_t, 4>{0xA0, 0xB0, 0xC0, static_cast<std::uint8_t>(i)}));
            EXPECT_EQ(record.version, 0x00010000u * static_cast<unsigned>(i) + 7u);
            EXPECT_EQ(std::string(record.description), "unit " + std::to_string(i));
            EXPECT_EQ(record.interfaceAddress, HOST);
        }
        for (const auto& address : arrived)
            EXPECT_TRUE(listed.count(address)) << "the reply of " << address << " arrived but is not listed";
        for (const auto& address : listed)
            EXPECT_TRUE(arrived.count(address)) << address << " is listed but its reply never arrived";
        std::cout << "sweep " << sweep + 1 << " under 10 % loss: " << count << " of " << INSTRUMENTS
                  << " instruments listed, replies from " << arrived.size() << " arrived\n";
    }
}
