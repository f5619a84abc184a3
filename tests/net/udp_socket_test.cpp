// The datagram socket's delivery rules, checked between this process (the workstation)
// and a lab namespace joined to it by two veth links:
//   vh23 (host 10.23.0.1/24, 10.23.0.3/24, 10.23.1.1/24) <-> vl23 (lab 10.23.0.2/24, 10.23.1.2/24)
//   vh24 (host 10.24.0.1/24)                              <-> vl24 (lab 10.24.0.2/24)

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/udp_socket.h"
#include "tests/net/lab_side.h"
#include "tests/support/test_network.h"

namespace {

using net::Endpoint;
using net::ParseAddress;
using net::UdpSocket;

net::Ipv4Address Address(const char* text) { return *ParseAddress(text); }

UdpSocket BoundSocket(const char* address, std::uint16_t port, bool broadcast = false) {
    UdpSocket socket = UdpSocket::Create();
    EXPECT_TRUE(socket.IsOpen());
    EXPECT_TRUE(socket.SetBroadcast(broadcast));
    EXPECT_TRUE(socket.Bind(Address(address), port)) << address << ":" << port;
    return socket;
}

// Every datagram waiting on the socket, as "text" payloads.
std::multiset<std::string> Drain(UdpSocket& socket) {
    std::multiset<std::string> texts;
    for (int i = 0; i < 16; ++i) {
        const UdpSocket* sockets[] = {&socket};
        bool readable[1] = {};
        if (net::WaitReadable(sockets, readable, std::chrono::milliseconds(200)) != net::WaitResult::Ready) break;
        std::array<std::uint8_t, 256> buffer{};
        Endpoint source;
        const int length = socket.ReceiveFrom(buffer, source);
        if (length < 0) continue;
        texts.emplace(buffer.begin(), buffer.begin() + length);
    }
    return texts;
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

class UdpSocketNetwork : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testnet::EnterPrivateNetwork();
        network_ = std::make_unique<testnet::TestNetwork>(std::vector<testnet::Link>{
            {"vh23", {"10.23.0.1/24", "10.23.0.3/24", "10.23.1.1/24"}, "vl23", {"10.23.0.2/24", "10.23.1.2/24"}},
            {"vh24", {"10.24.0.1/24"}, "vl24", {"10.24.0.2/24"}},
        });
    }
    static void TearDownTestSuite() { network_.reset(); }
    static const std::string& Lab() { return network_->LabNamespace(); }

    static std::unique_ptr<testnet::TestNetwork> network_;
};
std::unique_ptr<testnet::TestNetwork> UdpSocketNetwork::network_;

// Which workstation sockets see a datagram, by its destination and the link it came over.
TEST_F(UdpSocketNetwork, BoundSocketReceivesUnicastsAndTheBroadcastsOfItsInterface) {
    UdpSocket first = BoundSocket("10.23.0.1", 5000);
    UdpSocket secondary = BoundSocket("10.23.0.3", 5000);
    UdpSocket otherSubnet = BoundSocket("10.23.1.1", 5000);
    UdpSocket otherInterface = BoundSocket("10.24.0.1", 5000);
    labside::Socket lab23(Lab(), "10.23.0.2", 6000);
    labside::Socket lab24(Lab(), "10.24.0.2", 6000);

    struct Case {
        labside::Socket* sender;
        const char* destination;
        std::array<bool, 4> expected;  // first, secondary, otherSubnet, otherInterface
    };
    const Case cases[] = {
        {&lab23, "255.255.255.255", {true, true, true, false}},
        {&lab23, "10.23.0.255", {true, true, false, false}},
        {&lab23, "10.23.0.1", {true, false, false, false}},
        {&lab23, "10.23.0.3", {false, true, false, false}},
        {&lab24, "255.255.255.255", {false, false, false, true}},
        {&lab24, "10.24.0.1", {false, false, false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.destination);
        ASSERT_TRUE(c.sender->SendTo(c.destination, 5000, Bytes(c.destination)));
        UdpSocket* receivers[] = {&first, &secondary, &otherSubnet, &otherInterface};
        for (int i = 0; i < 4; ++i) {
            const auto got = Drain(*receivers[i]);
            EXPECT_EQ(got.count(c.destination), c.expected[i] ? 1u : 0u) << "receiver " << i;
            EXPECT_EQ(got.size(), c.expected[i] ? 1u : 0u) << "receiver " << i;
        }
    }
}

// A unicast for an address of vh24 arriving over vh23 is not delivered (strict host).
TEST_F(UdpSocketNetwork, UnicastArrivingOnAnotherInterfaceIsRefused) {
    UdpSocket socket = BoundSocket("10.24.0.1", 5001);
    network_->RunInLab("ip route replace 10.24.0.1/32 dev vl23");
    labside::Socket lab23(Lab(), "10.23.0.2", 6001);
    ASSERT_TRUE(lab23.SendTo("10.24.0.1", 5001, Bytes("wrong way")));
    EXPECT_TRUE(Drain(socket).empty());
    network_->RunInLab("ip route del 10.24.0.1/32 dev vl23");
}

// A socket bound for unicasts only takes those, and no broadcast of its interface.
TEST_F(UdpSocketNetwork, UnicastOnlySocketTakesNoBroadcasts) {
    UdpSocket socket = UdpSocket::Create();
    ASSERT_TRUE(socket.BindUnicastOnly(Address("10.23.0.1"), 5002));
    EXPECT_EQ(socket.LocalEndpoint(), (Endpoint{Address("10.23.0.1"), 5002}));
    labside::Socket lab23(Lab(), "10.23.0.2", 6002);
    for (const char* destination : {"255.255.255.255", "10.23.0.255", "10.23.0.1"}) {
        ASSERT_TRUE(lab23.SendTo(destination, 5002, Bytes(destination)));
    }
    EXPECT_EQ(Drain(socket), std::multiset<std::string>{"10.23.0.1"});
}

TEST_F(UdpSocketNetwork, BroadcastLeavesThroughTheBoundInterfaceWithItsAddress) {
    labside::Socket listen23(Lab(), "0.0.0.0", 6002, "vl23");
    labside::Socket listen24(Lab(), "0.0.0.0", 6002, "vl24");
    const struct {
        const char* source;
        labside::Socket* arrives;
        labside::Socket* silent;
    } cases[] = {
        {"10.24.0.1", &listen24, &listen23},
        {"10.23.0.3", &listen23, &listen24},
        {"10.23.1.1", &listen23, &listen24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        UdpSocket sender = BoundSocket(c.source, 0, true);
        ASSERT_NE(sender.LocalEndpoint().port, 0);
        const auto payload = Bytes("hello");
        EXPECT_EQ(sender.SendTo(payload, Endpoint{net::LIMITED_BROADCAST, 6002}), 5);
        const auto got = c.arrives->Receive(2000);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->sourceAddress, c.source);
        EXPECT_EQ(got->sourcePort, sender.LocalEndpoint().port);
        EXPECT_FALSE(c.silent->Receive(200).has_value());
    }
}

TEST_F(UdpSocketNetwork, BroadcastNeedsPermission) {
    UdpSocket sender = BoundSocket("10.23.0.1", 0, false);
    EXPECT_EQ(sender.SendTo(Bytes("x"), Endpoint{net::LIMITED_BROADCAST, 6003}), -1);
}

TEST_F(UdpSocketNetwork, AddressAndPortHeldElsewhereCannotBeBound) {
    UdpSocket holder = BoundSocket("10.23.0.1", 5004);
    UdpSocket second = UdpSocket::Create();
    EXPECT_FALSE(second.Bind(Address("10.23.0.1"), 5004));
    // Other addresses of the same interface are free, and still get the broadcasts.
    UdpSocket neighbour = BoundSocket("10.23.0.3", 5004);
    labside::Socket lab23(Lab(), "10.23.0.2", 6004);
    ASSERT_TRUE(lab23.SendTo("255.255.255.255", 5004, Bytes("both")));
    EXPECT_EQ(Drain(holder).size(), 1u);
    EXPECT_EQ(Drain(neighbour).size(), 1u);
}

TEST(UdpSocketLoopback, DatagramLongerThanTheBufferIsAFailedReceive) {
    testnet::EnterPrivateNetwork();
    UdpSocket receiver = BoundSocket("127.0.0.1", 0);
    UdpSocket sender = BoundSocket("127.0.0.1", 0);
    const Endpoint target = receiver.LocalEndpoint();
    std::vector<std::uint8_t> big(300, 0x55), exact(256, 0x66);
    ASSERT_EQ(sender.SendTo(big, target), 300);
    ASSERT_EQ(sender.SendTo(exact, target), 256);
    std::array<std::uint8_t, 256> buffer{};
    Endpoint source;
    EXPECT_EQ(receiver.ReceiveFrom(buffer, source), -1);
    EXPECT_EQ(receiver.ReceiveFrom(buffer, source), 256);
    EXPECT_EQ(buffer[255], 0x66);
    EXPECT_EQ(source, sender.LocalEndpoint());
}

TEST(UdpSocketLoopback, WaitReportsEachSocketAndTimesOut) {
    testnet::EnterPrivateNetwork();
    UdpSocket quiet = BoundSocket("127.0.0.1", 0);
    UdpSocket busy = BoundSocket("127.0.0.1", 0);
    UdpSocket sender = BoundSocket("127.0.0.1", 0);
    const UdpSocket* sockets[] = {&quiet, nullptr, &busy};
    bool readable[3] = {true, true, true};
    EXPECT_EQ(net::WaitReadable(sockets, readable, std::chrono::milliseconds(50)), net::WaitResult::TimedOut);

    ASSERT_EQ(sender.SendTo(Bytes("x"), busy.LocalEndpoint()), 1);
    ASSERT_EQ(net::WaitReadable(sockets, readable, std::chrono::milliseconds(1000)), net::WaitResult::Ready);
    EXPECT_FALSE(readable[0]);
    EXPECT_FALSE(readable[1]);
    EXPECT_TRUE(readable[2]);

    EXPECT_EQ(net::WaitReadable({}, {}, std::chrono::milliseconds(0)), net::WaitResult::Failed);
    const UdpSocket* none[] = {nullptr};
    EXPECT_EQ(net::WaitReadable(none, readable, std::chrono::milliseconds(0)), net::WaitResult::Failed);
}

TEST(UdpSocketLoopback, NonBlockingReceiveWithNothingQueuedFails) {
    testnet::EnterPrivateNetwork();
    UdpSocket socket = BoundSocket("127.0.0.1", 0);
    ASSERT_TRUE(socket.SetBlocking(false));
    std::array<std::uint8_t, 16> buffer{};
    Endpoint source{net::ANY_ADDRESS, 1234};
    EXPECT_EQ(socket.ReceiveFrom(buffer, source), -1);
    EXPECT_EQ(source.port, 1234);  // untouched on failure
}

TEST(Address, ParsesAndFormatsDottedQuads) {
    const struct {
        const char* text;
        bool valid;
    } cases[] = {{"10.23.0.1", true},  {"255.255.255.255", true}, {"0.0.0.0", true}, {"256.1.1.1", false},
                 {"1.2.3", false},     {"1.2.3.4.5", false},      {"a.b.c.d", false}, {"1..2.3", false},
                 {"01.2.3.4", true},   {"1.2.3.4 ", false},       {"", false},        {"0001.2.3.4", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseAddress(c.text).has_value(), c.valid);
    }
    EXPECT_EQ(net::FormatAddress(Address("10.23.0.1")), "10.23.0.1");
    EXPECT_EQ(net::AddressByte(Address("10.23.0.1"), 0), 10);
    EXPECT_EQ(net::MakeAddress(10, 23, 0, 1), Address("10.23.0.1"));
}

}  // namespace
