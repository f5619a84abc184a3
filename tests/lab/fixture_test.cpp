// The test network fixture: what it builds, and that it leaves nothing behind.

#include <net/if.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_network.h"

namespace {

bool NamespaceExists(const std::string& name) {
    return std::filesystem::exists("/run/netns/" + name);
}

TEST(TestNetworkFixture, BuildsLinksWithAddressesInOrderAndRemovesEverything) {
    std::string name;
    {
        testnet::TestNetwork network({
            {"vh23", {"10.23.0.1/24"}, "vl23", {"10.23.0.10/24", "10.23.0.11/24"}},
            {"vh24", {"10.24.0.1/24", "10.24.0.2/24"}, "vl24", {"10.24.0.10/24"}},
        });
        name = network.LabNamespace();
        EXPECT_EQ(name.rfind("qv-lab", 0), 0u);
        EXPECT_NE(name.find(std::to_string(getpid())), std::string::npos);
        EXPECT_TRUE(NamespaceExists(name));
        EXPECT_NE(if_nametoindex("vh23"), 0u);
        EXPECT_NE(if_nametoindex("vh24"), 0u);
        // The lab ends live in the lab namespace only.
        EXPECT_EQ(if_nametoindex("vl23"), 0u);
        EXPECT_EQ(network.RunInLab("ip -4 -o addr show dev vl23 | awk '{print $4}' | tr '\\n' ' ' "
                                   "| grep -qx '10.23.0.10/24 10.23.0.11/24 '"),
                  0);
        EXPECT_EQ(testnet::TestNetwork::RunOnHost(
                      "ip -4 -o addr show dev vh24 | awk '{print $4}' | tr '\\n' ' ' "
                      "| grep -qx '10.24.0.1/24 10.24.0.2/24 '"),
                  0);
        EXPECT_EQ(network.RunInLab("ip link show vl24 | grep -q 'state UP'"), 0);
        // Broadcast addresses are set, so directed broadcasts are recognised as such.
        EXPECT_EQ(network.RunInLab("ip -4 -o addr show dev vl23 | grep -q 'brd 10.23.0.255'"), 0);
        // A process left running in the lab must not survive the fixture.
        EXPECT_EQ(network.RunInLab("sleep 600 >/dev/null 2>&1 &"), 0);
    }
    EXPECT_FALSE(NamespaceExists(name));
    EXPECT_EQ(if_nametoindex("vh23"), 0u);
    EXPECT_EQ(if_nametoindex("vh24"), 0u);
    EXPECT_NE(testnet::TestNetwork::RunOnHost("pgrep -x -f 'sleep 600' >/dev/null"), 0);
}

TEST(TestNetworkFixture, SeveralNetworksInOneProcessHaveDistinctNames) {
    testnet::TestNetwork first({{"vh31", {"10.31.0.1/24"}, "vl31", {"10.31.0.10/24"}}});
    testnet::TestNetwork second({{"vh32", {"10.32.0.1/24"}, "vl32", {"10.32.0.10/24"}}});
    EXPECT_NE(first.LabNamespace(), second.LabNamespace());
    EXPECT_TRUE(NamespaceExists(first.LabNamespace()));
    EXPECT_TRUE(NamespaceExists(second.LabNamespace()));
}

TEST(TestNetworkFixture, HundredsOfAddressesAreQuickToCreate) {
    testnet::Link link{"vh25", {"10.25.0.1/16"}, "vl25", {}};
    for (int i = 0; i < 400; ++i) {
        link.labAddresses.push_back("10.25." + std::to_string(1 + i / 200) + "." +
                                    std::to_string(10 + i % 200) + "/16");
    }
    testnet::TestNetwork network({link});
    EXPECT_EQ(network.RunInLab("test $(ip -4 -o addr show dev vl25 | wc -l) -eq 400"), 0);
}

}  // namespace
