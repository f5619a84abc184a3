// The discovery engine on loopback, inside a private network namespace: scripted peers
// send replies straight to the sweep's sockets, so order and timing are under the test's
// control. Sweeps against the simulated instruments are in discovery_lab_test.cpp.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "discovery/discovery_engine.h"
#include "discovery/discovery_protocol.h"
#include "tests/support/test_network.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

const net::Ipv4Address HOST_A = net::MakeAddress(127, 0, 0, 2);
const net::Ipv4Address HOST_B = net::MakeAddress(127, 0, 0, 3);

net::Ipv4Address PeerAddress(int k) { return net::MakeAddress(127, 0, 1, static_cast<std::uint8_t>(k)); }

// A valid full reply whose number byte tells replies apart.
Bytes Reply(std::uint8_t number) {
    Bytes frame(FULL_REPLY_LENGTH, 0);
    frame[FRAME_TAG_OFFSET] = REPLY_TAG;
    frame[FRAME_LENGTH_OFFSET] = FULL_REPLY_LENGTH;
    frame[FRAME_COMMAND_OFFSET] = CMD_DISCOVER;
    frame[REPLY_DEVICE_TYPE_OFFSET] = 1;
    frame[REPLY_NUMBER_OFFSET] = number;
    frame[REPLY_MAC_OFFSET] = 0x02;
    frame[REPLY_MAC_OFFSET + 5] = number;
    frame.back() = FrameChecksum(std::span(frame).first(frame.size() - 1));
    return frame;
}

// An instrument stand-in: a socket on its own loopback address.
class Peer {
public:
    explicit Peer(net::Ipv4Address address) : socket_(net::UdpSocket::Create()) {
        EXPECT_TRUE(socket_.Bind(address, 0));
    }
    void Send(const Bytes& datagram, net::Ipv4Address host) {
        EXPECT_EQ(socket_.SendTo(datagram, {host, DISCOVERY_PORT}), static_cast<int>(datagram.size()));
    }

private:
    net::UdpSocket socket_;
};

class LoopbackSweep : public testing::Test {
protected:
    static void SetUpTestSuite() { testnet::EnterPrivateNetwork(); }

    int Open(const std::vector<net::Ipv4Address>& addresses) {
        std::vector<net::InterfaceAddress> table;
        for (net::Ipv4Address address : addresses) table.push_back({address, net::MakeAddress(255, 0, 0, 0), 1, "lo"});
        return OpenInterfaceSockets(sockets, table);
    }
    int Collect(int n, const DiscoveryTimeouts& timeouts) {
        return CollectDiscoveryReplies(sockets, n, devices->records, timeouts);
    }

    std::array<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets;
    std::unique_ptr<DeviceTable> devices = std::make_unique<DeviceTable>();
};

// Short waits for tests where the quiet rule itself is not under test.
constexpr DiscoveryTimeouts QUICK{300ms, 200ms, 10000ms, 300ms};

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(LoopbackSweep, OpensSocketsOnUsableAddressesOnly) {
    const int n = Open({net::ANY_ADDRESS, net::MakeAddress(127, 0, 0, 1), HOST_A, net::ANY_ADDRESS, HOST_B});
    ASSERT_EQ(n, 2);
    EXPECT_EQ(sockets[0].localAddress, HOST_A);
    EXPECT_EQ(sockets[1].localAddress, HOST_B);
    EXPECT_EQ(sockets[0].handle.LocalEndpoint(), (net::Endpoint{HOST_A, DISCOVERY_PORT}));
    EXPECT_EQ(sockets[1].handle.LocalEndpoint(), (net::Endpoint{HOST_B, DISCOVERY_PORT}));
    EXPECT_FALSE(sockets[2].handle.IsOpen());
}

TEST_F(LoopbackSweep, RecordsInOrderOfAcceptanceFirstReplyWins) {
    ASSERT_EQ(Open({HOST_A, HOST_B}), 2);
    Peer first(PeerAddress(1)), second(PeerAddress(2)), third(PeerAddress(3));
    // Queued before collection. Each pass takes one datagram from A, then one from B:
    //   pass 1: A second(21) -> record 0;  B first(11) -> record 1
    //   pass 2: A first(12)  -> repeated;  B third(31) -> record 2
    //   pass 3:                            B first(13) -> repeated
    second.Send(Reply(21), HOST_A);
    first.Send(Reply(12), HOST_A);
    first.Send(Reply(11), HOST_B);
    third.Send(Reply(31), HOST_B);
    first.Send(Reply(13), HOST_B);
    ASSERT_EQ(Collect(2, QUICK), 3);
    const struct {
        net::Ipv4Address address;
        std::uint8_t number;
        net::Ipv4Address interfaceAddress;
    } expected[] = {{PeerAddress(2), 21, HOST_A}, {PeerAddress(1), 11, HOST_B}, {PeerAddress(3), 31, HOST_B}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(devices->records[i].address, expected[i].address) << "record " << i;
        EXPECT_EQ(devices->records[i].number, expected[i].number) << "record " << i;
        EXPECT_EQ(devices->records[i].interfaceAddress, expected[i].interfaceAddress) << "record " << i;
    }
}

TEST_F(LoopbackSweep, DropsWhatIsNotAReply) {
    ASSERT_EQ(Open({HOST_A}), 1);
    Peer peer(PeerAddress(1)), other(PeerAddress(2));
    Bytes truncated = Reply(1);
    truncated.resize(40);                        // shorter than its length
    Bytes oversized(300, 0);                     // longer than the receive buffer
    std::copy_n(Reply(1).begin(), FULL_REPLY_LENGTH, oversized.begin());
    oversized[FRAME_LENGTH_OFFSET] = FULL_REPLY_LENGTH;
    peer.Send(Bytes(DISCOVERY_REQUEST.begin(), DISCOVERY_REQUEST.end()), HOST_A);
    peer.Send(truncated, HOST_A);
    peer.Send(oversized, HOST_A);
    peer.Send({0xFE, 0x04, 0x02}, HOST_A);
    other.Send(Reply(2), HOST_A);
    ASSERT_EQ(Collect(1, QUICK), 1);
    EXPECT_EQ(devices->records[0].address, PeerAddress(2));
}

TEST_F(LoopbackSweep, NothingToWaitOnEndsAtOnce) {
    const auto start = Clock::now();
    EXPECT_EQ(Collect(0, DiscoveryTimeouts{}), 0);
    EXPECT_EQ(Collect(-1, DiscoveryTimeouts{}), 0);
    SendDiscoveryRequest(sockets, -1);
    // An entry whose socket is not open: the wait fails, which ends collection too.
    EXPECT_EQ(Collect(1, DiscoveryTimeouts{}), 0);
    EXPECT_LT(SecondsSince(start), 1.0);
}

// Sends datagrams from another thread while the sweep collects.
class Script {
public:
    // Every `period`, from `first` on, until `until` or until stopped: datagram to host.
    Script(Bytes datagram, net::Ipv4Address host, std::chrono::milliseconds first,
           std::chrono::milliseconds period, std::chrono::milliseconds until)
        : thread_([=](std::stop_token stop) {
              Peer peer(PeerAddress(9));
              const auto start = Clock::now();
              for (auto at = first; at <= until && !stop.stop_requested(); at += period) {
                  std::this_thread::sleep_until(start + at);
                  peer.Send(datagram, host);
                  if (period == 0ms) break;
              }
          }) {}

private:
    std::jthread thread_;
};

TEST_F(LoopbackSweep, QuietRuleWithProductTimeouts) {
    ASSERT_EQ(Open({HOST_A}), 1);
    // Nothing at all: five seconds.
    auto start = Clock::now();
    EXPECT_EQ(Collect(1, DiscoveryTimeouts{}), 0);
    double elapsed = SecondsSince(start);
    EXPECT_GT(elapsed, 4.5);
    EXPECT_LT(elapsed, 8.0);

    // One reply at 0.3 s: one second after it.
    start = Clock::now();
    {
        Script reply(Reply(1), HOST_A, 300ms, 0ms, 300ms);
        EXPECT_EQ(Collect(1, DiscoveryTimeouts{}), 1);
        elapsed = SecondsSince(start);
    }
    EXPECT_GT(elapsed, 0.3 + 0.8);
    EXPECT_LT(elapsed, 0.3 + 3.0);
}

TEST_F(LoopbackSweep, InvalidDatagramsKeepTheSweepWaiting) {
    ASSERT_EQ(Open({HOST_A}), 1);
    const DiscoveryTimeouts timeouts{800ms, 200ms, 10000ms, 300ms};
    const auto start = Clock::now();
    Script noise(Bytes{0xFE, 0x04, 0x02, 0x00}, HOST_A, 0ms, 200ms, 2000ms);
    EXPECT_EQ(Collect(1, timeouts), 0);
    const double elapsed = SecondsSince(start);
    EXPECT_GT(elapsed, 2.0);
    EXPECT_LT(elapsed, 5.0);
}

TEST_F(LoopbackSweep, SweepEndsAtItsOverallLimitWhateverKeepsArriving) {
    ASSERT_EQ(Open({HOST_A}), 1);
    const DiscoveryTimeouts timeouts{500ms, 500ms, 1500ms, 300ms};
    const auto start = Clock::now();
    Script stream(Reply(1), HOST_A, 0ms, 100ms, 8000ms);
    EXPECT_EQ(Collect(1, timeouts), 1);
    const double elapsed = SecondsSince(start);
    EXPECT_GT(elapsed, 1.4);
    EXPECT_LT(elapsed, 4.0);
}

void IgnoreSignal(int) {}

TEST_F(LoopbackSweep, InterruptedWaitIsRetried) {
    ASSERT_EQ(Open({HOST_A}), 1);
    struct sigaction action {};
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: the wait really is interrupted
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    const pthread_t collector = pthread_self();
    std::jthread interrupter([collector] {
        std::this_thread::sleep_for(200ms);
        pthread_kill(collector, SIGUSR1);
    });
    Script reply(Reply(1), HOST_A, 600ms, 0ms, 600ms);
    EXPECT_EQ(Collect(1, {1000ms, 200ms, 10000ms, 300ms}), 1);
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
