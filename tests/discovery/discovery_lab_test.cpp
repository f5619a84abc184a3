// Sweeps against simulated instruments (quorvel-lab) in a lab namespace joined to this
// test's private namespace by veth pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "discovery/discovery_engine.h"
#include "tests/support/test_network.h"

namespace {

using namespace std::chrono_literals;

net::Ipv4Address Address(const char* text) { return *net::ParseAddress(text); }

// Runs a host command now and its undo when the scope ends, also on failure.
class HostChange {
public:
    HostChange(const std::string& command, std::string undo) : undo_(std::move(undo)) {
        applied_ = testnet::TestNetwork::RunOnHost(command) == 0;
    }
    ~HostChange() { testnet::TestNetwork::RunOnHost(undo_); }
    bool Applied() const { return applied_; }

private:
    std::string undo_;
    bool applied_ = false;
};

// Quick time-outs where the quiet rule is not under test.
constexpr DiscoveryTimeouts QUICK{3000ms, 400ms, 20000ms, 1000ms};

class LabSweep : public testing::Test {
protected:
    // One sweep as the window runs it: open on the host's own table, send, collect.
    int Sweep(const DiscoveryTimeouts& timeouts = QUICK) {
        opened = OpenInterfaceSockets(sockets);
        SendDiscoveryRequest(sockets, opened);
        return CollectDiscoveryReplies(sockets, opened, devices->records, timeouts);
    }
    const DeviceRecord* Find(int count, const char* address) const {
        for (int i = 0; i < count; ++i) {
            if (devices->records[i].address == Address(address)) return &devices->records[i];
        }
        return nullptr;
    }

    std::array<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets;
    int opened = 0;
    std::unique_ptr<DeviceTable> devices = std::make_unique<DeviceTable>();
};

const testnet::Link LINK_23{"vh23", {"10.23.0.1/24"}, "vl23",
                            {"10.23.0.10/24", "10.23.0.11/24", "10.23.0.12/24", "10.23.0.13/24"}};
const testnet::Link LINK_24{"vh24", {"10.24.0.1/24"}, "vl24", {"10.24.0.10/24"}};

TEST_F(LabSweep, ListsEveryInstrumentOnEveryInterfaceOnce) {
    testnet::TestNetwork network({LINK_23, LINK_24});
    auto lab = network.StartLab(
        "instrument address=10.23.0.10 mac=02-11-22-33-44-55 type=1 number=5 extra=E1E2E3E4 "
        "version=0x00020005 description=%CF%F0%E8%E1%EE%F0%20A\n"
        "instrument address=10.23.0.11 mac=02-00-00-00-00-11 type=3 number=0xFF version=0xFFFFFFFF copies=2\n"
        "instrument address=10.23.0.12 mac=02-00-00-00-00-12 bad-checksum=1\n"
        "instrument address=10.23.0.13 mac=02-00-00-00-00-13 send-bytes=40\n"
        "instrument address=10.24.0.10 mac=02-00-00-00-00-24 type=1 version=0x00010000 length=83 "
        "description=lost\n");
    ASSERT_TRUE(lab->WaitReady());

    const int count = Sweep();
    ASSERT_EQ(opened, 2);
    ASSERT_EQ(count, 3);

    const DeviceRecord* first = Find(count, "10.23.0.10");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->interfaceAddress, Address("10.23.0.1"));
    EXPECT_EQ(first->deviceType, 1);
    EXPECT_EQ(first->number, 5);
    EXPECT_EQ(first->extra, (std::array<std::uint8_t, 4>{0xE1, 0xE2, 0xE3, 0xE4}));
    EXPECT_EQ(first->mac, (net::MacAddress{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(first->version, 0x00020005u);
    EXPECT_STREQ(first->description, "\xCF\xF0\xE8\xE1\xEE\xF0 A");

    const DeviceRecord* copied = Find(count, "10.23.0.11");  // two copies, one record
    ASSERT_NE(copied, nullptr);
    EXPECT_EQ(copied->deviceType, 3);
    EXPECT_EQ(copied->number, 0xFF);
    EXPECT_EQ(copied->version, 0xFFFFFFFFu);

    const DeviceRecord* other = Find(count, "10.24.0.10");  // length 83: no description
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->interfaceAddress, Address("10.24.0.1"));
    EXPECT_EQ(other->version, 0x00010000u);
    EXPECT_STREQ(other->description, "");

    // Bad checksum and a datagram shorter than its length are not listed.
    EXPECT_EQ(Find(count, "10.23.0.12"), nullptr);
    EXPECT_EQ(Find(count, "10.23.0.13"), nullptr);
    for (int i = 0; i < opened; ++i) sockets[i].handle.Close();

    // The request went out once from each interface address.
    const std::string report = lab->Report();
    EXPECT_NE(report.find("discovery-request from=10.23.0.1 "), std::string::npos) << report;
    EXPECT_NE(report.find("discovery-request from=10.24.0.1 "), std::string::npos) << report;
}

TEST_F(LabSweep, ShortRepliesTakeTheMacByArpOrLeaveItZero) {
    testnet::TestNetwork network({LINK_23, LINK_24});
    // vl23 answers ARP with a known address. On vl24 the lab drops all ARP input and knows
    // the host by a permanent entry, so the host's resolution of 10.24.0.10 fails.
    ASSERT_EQ(network.RunInLab("ip link set vl23 address 02:00:00:00:23:10"), 0);
    ASSERT_EQ(testnet::TestNetwork::RunOnHost("ip link set vh24 address 02:00:00:00:24:01"), 0);
    ASSERT_EQ(network.RunInLab("ip neigh replace 10.24.0.1 lladdr 02:00:00:00:24:01 dev vl24 nud permanent"), 0);
    ASSERT_EQ(network.RunInLab("nft 'add table arp qv; add chain arp qv in { type filter hook input priority 0; }; "
                               "add rule arp qv in iifname \"vl24\" drop'"),
              0);
    auto lab = network.StartLab(
        "instrument address=10.23.0.10 mac=02-11-22-33-44-55 type=7 number=9 extra=01020304 length=15\n"
        "instrument address=10.24.0.10 mac=02-11-22-33-44-66 type=7 number=9 length=4\n");
    ASSERT_TRUE(lab->WaitReady());

    const int count = Sweep();
    ASSERT_EQ(count, 2);
    const DeviceRecord* resolved = Find(count, "10.23.0.10");
    ASSERT_NE(resolved, nullptr);
    EXPECT_EQ(resolved->mac, (net::MacAddress{0x02, 0x00, 0x00, 0x00, 0x23, 0x10}));
    EXPECT_EQ(resolved->deviceType, 7);
    EXPECT_EQ(resolved->number, 9);
    EXPECT_EQ(resolved->extra, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(resolved->version, 0u);

    const DeviceRecord* unresolved = Find(count, "10.24.0.10");
    ASSERT_NE(unresolved, nullptr);
    EXPECT_EQ(unresolved->mac, (net::MacAddress{}));
    EXPECT_EQ(unresolved->deviceType, 0);
    EXPECT_EQ(unresolved->number, 0);
    EXPECT_EQ(unresolved->interfaceAddress, Address("10.24.0.1"));
}

// 257 instruments: the table holds 256 and the rest is left unread.
TEST_F(LabSweep, StopsAtTwoHundredFiftySixRecords) {
    constexpr int INSTRUMENTS = MAX_DEVICES + 1;
    testnet::Link link{"vh25", {"10.25.0.1/16"}, "vl25", {}};
    std::string config;
    std::set<net::Ipv4Address> played;
    for (int i = 0; i < INSTRUMENTS; ++i) {
        const std::string address = "10.25." + std::to_string(1 + i / 200) + "." + std::to_string(1 + i % 200);
        link.labAddresses.push_back(address + "/16");
        char mac[32];
        std::snprintf(mac, sizeof mac, "02-00-00-00-%02X-%02X", i >> 8, i & 0xFF);
        // Four bursts: 257 replies in the same instant can overflow the kernel's default
        // receive buffer (about 250 small datagrams), and then the last one is lost.
        config += "instrument address=" + address + " mac=" + mac + " number=" + std::to_string(i & 0xFF) +
                  " delay-ms=" + std::to_string(i % 4 * 40) + "\n";
        played.insert(Address(address.c_str()));
    }
    testnet::TestNetwork network({link});
    auto lab = network.StartLab(config);
    ASSERT_TRUE(lab->WaitReady(10000ms));

    ASSERT_EQ(Sweep(), MAX_DEVICES);
    std::set<net::Ipv4Address> listed;
    for (const DeviceRecord& record : devices->records) {
        EXPECT_EQ(played.count(record.address), 1u);
        listed.insert(record.address);
    }
    EXPECT_EQ(listed.size(), static_cast<std::size_t>(MAX_DEVICES));

    // The reply that did not fit is still waiting on the socket.
    const net::UdpSocket* waited[] = {&sockets[0].handle};
    bool readable[1] = {};
    EXPECT_EQ(net::WaitReadable(waited, readable, 2000ms), net::WaitResult::Ready);
}

TEST_F(LabSweep, OpensAtMostSixteenSocketsInTableOrder) {
    testnet::Link link{"vh26", {}, "vl26", {}};
    for (int i = 1; i <= 20; ++i) link.hostAddresses.push_back("10.26.0." + std::to_string(i) + "/24");
    testnet::TestNetwork network({link});
    // Exactly 127.0.0.1 is left out; another loopback address is used like any other.
    HostChange loopback("ip address add 127.0.0.2/8 dev lo", "ip address del 127.0.0.2/8 dev lo");
    ASSERT_TRUE(loopback.Applied());

    ASSERT_EQ(OpenInterfaceSockets(sockets), MAX_INTERFACE_SOCKETS);
    EXPECT_EQ(sockets[0].localAddress, Address("127.0.0.2"));
    for (int i = 1; i < MAX_INTERFACE_SOCKETS; ++i) {
        EXPECT_EQ(sockets[i].localAddress, net::MakeAddress(10, 26, 0, static_cast<std::uint8_t>(i)));
        EXPECT_EQ(sockets[i].handle.LocalEndpoint().port, 23);
    }
}

TEST_F(LabSweep, AnInterfaceWhosePortIsTakenIsSkippedAndTheOthersSwept) {
    testnet::TestNetwork network({LINK_23, LINK_24});
    auto lab = network.StartLab("instrument address=10.23.0.10 mac=02-00-00-00-00-01\n"
                                "instrument address=10.24.0.10 mac=02-00-00-00-00-02\n");
    ASSERT_TRUE(lab->WaitReady());
    net::UdpSocket holder = net::UdpSocket::Create();
    ASSERT_TRUE(holder.Bind(Address("10.23.0.1"), 23));

    const int count = Sweep();
    ASSERT_EQ(opened, 1);
    EXPECT_EQ(sockets[0].localAddress, Address("10.24.0.1"));
    ASSERT_EQ(count, 1);
    EXPECT_EQ(devices->records[0].address, Address("10.24.0.10"));
}

}  // namespace
