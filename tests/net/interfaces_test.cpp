// The interface-address table and ARP resolution, on test hosts of their own.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "net/interfaces.h"
#include "tests/support/test_network.h"

namespace {

using namespace std::chrono_literals;

std::string Shell(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[256];
        while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
        ::pclose(pipe);
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
    return output;
}

std::string MacText(const net::MacAddress& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

class InterfaceQueries : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testnet::EnterPrivateNetwork();
        testnet::TestNetwork::RunOnHost("ip addr add 127.0.0.2/8 dev lo");
        network_ = std::make_unique<testnet::TestNetwork>(std::vector<testnet::Link>{
            {"vh23", {"10.23.0.1/24", "10.23.0.3/24", "10.23.1.1/24"}, "vl23", {"10.23.0.2/24"}},
            {"vh24", {"10.24.0.1/24"}, "vl24", {"10.24.0.2/24"}},
        });
    }
    static void TearDownTestSuite() { network_.reset(); }
    static std::unique_ptr<testnet::TestNetwork> network_;
};
std::unique_ptr<testnet::TestNetwork> InterfaceQueries::network_;

TEST_F(InterfaceQueries, TableListsEveryAddressByInterface) {
    const auto table = net::ListInterfaceAddresses();
    ASSERT_TRUE(table.has_value());
    std::vector<std::string> listed;
    for (const auto& row : *table) listed.push_back(net::FormatAddress(row.address));
    // Loopback first (lowest index), with its extra address; within vh23 the primaries in
    // the order added, then the secondary; vh24 last.
    const std::vector<std::string> expected = {"127.0.0.1", "127.0.0.2", "10.23.0.1", "10.23.1.1",
                                               "10.23.0.3", "10.24.0.1"};
    EXPECT_EQ(listed, expected);
    for (const auto& row : *table) {
        if (row.interfaceName == "vh23") {
            EXPECT_EQ(net::FormatAddress(row.netmask), "255.255.255.0");
        }
        EXPECT_NE(row.interfaceIndex, 0u);
    }
}

TEST_F(InterfaceQueries, NeighbourMacIsResolvedByArp) {
    const std::string labMac = Shell("ip netns exec " + network_->LabNamespace() + " cat /sys/class/net/vl23/address");
    const auto mac = net::ResolveMacAddress(*net::ParseAddress("10.23.0.2"));
    ASSERT_TRUE(mac.has_value());
    EXPECT_EQ(MacText(*mac), labMac);
    // Resolved once, the answer comes from the table again.
    EXPECT_EQ(net::ResolveMacAddress(*net::ParseAddress("10.23.0.2")), mac);
}

TEST_F(InterfaceQueries, OwnAddressGivesOwnInterfaceMac) {
    const auto mac = net::ResolveMacAddress(*net::ParseAddress("10.24.0.1"));
    ASSERT_TRUE(mac.has_value());
    // /sys of this process still shows the original namespace; ask iproute2.
    EXPECT_EQ(MacText(*mac), Shell("ip -o link show vh24 | sed -n 's/.*link\\/ether \\([0-9a-f:]*\\).*/\\1/p'"));
}

TEST_F(InterfaceQueries, SilentOrUnreachableNeighbourGivesNothingInBoundedTime) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(net::ResolveMacAddress(*net::ParseAddress("10.23.0.99")).has_value());
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_LT(waited, 6s);  // the kernel gives up after three probes, about 3 s

    // Not on any attached network: no probe at all.
    const auto offLink = std::chrono::steady_clock::now();
    EXPECT_FALSE(net::ResolveMacAddress(*net::ParseAddress("192.0.2.1")).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - offLink, 1s);
}

TEST(SocketStartup, SucceedsWhereSocketsCanBeCreated) { EXPECT_TRUE(net::StartSockets()); }

}  // namespace
