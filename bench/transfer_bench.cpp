// Transfer benchmark: a 4 MiB image served to the simulated boot loader (quorvel-lab) by
// RunFirmwareUpdate, against Debian's in.tftpd serving the same file to the same boot
// loader from the same host namespace, and against the floor: blocks x the median round
// trip of a 516-byte request and a 4-byte reply on the same veth.
//
// Both transfers are timed by the boot loader itself, from its first RRQ to its last ACK
// (the elapsed-us field of its tftp-done line). For the in.tftpd rounds the update run
// still wakes the boot loader and answers its BOOTP request, with its own TFTP socket moved
// off port 69, so the read request reaches in.tftpd on 10.23.0.1:69.
//
// The floor uses plain blocking POSIX sockets on purpose: it is the cost of the wire and
// the kernel alone, without our socket layer.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench/bench_support.h"
#include "tests/support/test_network.h"
#include "update/open_udp_socket.h"
#include "update/update_run_options.h"
#include "update/wide_text.h"

namespace {

using namespace std::chrono_literals;
using bench::Clock;
namespace fs = std::filesystem;

const net::Ipv4Address HOST = net::MakeAddress(10, 23, 0, 1);
const net::Ipv4Address INSTRUMENT = net::MakeAddress(10, 23, 0, 10);
const std::array<std::uint8_t, 6> MAC{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const char* const MAC_TEXT = "02-11-22-33-44-55";
constexpr std::uint16_t ECHO_PORT = 7000;
constexpr std::size_t DATA_PACKET = 516;
constexpr std::size_t ACK_PACKET = 4;

struct Options {
    std::size_t imageSize = 4u << 20;
    int rounds = 5;
    int roundTrips = 2000;
};

sockaddr_in SocketAddress(net::Ipv4Address address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = htons(port);
    return result;
}

// Moves the calling thread alone into the lab namespace.
void EnterLabNamespace(const std::string& labNamespace) {
    const int ns = open(("/run/netns/" + labNamespace).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
        std::perror("bench: setns");
        std::exit(1);
    }
    close(ns);
}

struct RoundTrips {
    double median = 0;  // seconds
    double mean = 0;
};

// Round trips of a 516-byte datagram from the host side to an echo in the lab namespace
// that answers with 4 bytes.
RoundTrips MeasureRoundTrips(const std::string& labNamespace, int samples) {
    std::atomic<bool> echoReady{false};
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        EnterLabNamespace(labNamespace);
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in local = SocketAddress(INSTRUMENT, ECHO_PORT);
        timeval timeout{0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            std::perror("bench: echo bind");
            std::exit(1);
        }
        echoReady = true;
        std::array<std::uint8_t, 1024> buffer{};
        while (!stop) {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            const ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&peer), &length);
            if (got <= 0) continue;
            sendto(fd, buffer.data(), ACK_PACKET, 0, reinterpret_cast<const sockaddr*>(&peer), length);
        }
        close(fd);
    });
    while (!echoReady) std::this_thread::sleep_for(1ms);

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = SocketAddress(HOST, 0);
    bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    timeval timeout{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const sockaddr_in echoAddress = SocketAddress(INSTRUMENT, ECHO_PORT);
    std::array<std::uint8_t, DATA_PACKET> request{};
    std::array<std::uint8_t, 64> reply{};
    std::vector<double> roundTrips;
    roundTrips.reserve(static_cast<std::size_t>(samples));
    const int warmUp = 200;
    for (int i = 0; i < samples + warmUp; ++i) {
        const auto start = Clock::now();
        sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&echoAddress),
               sizeof echoAddress);
        const ssize_t got = recv(fd, reply.data(), reply.size(), 0);
        const auto end = Clock::now();
        if (got == static_cast<ssize_t>(ACK_PACKET) && i >= warmUp) roundTrips.push_back(bench::Seconds(end - start));
    }
    close(fd);
    stop = true;
    echo.join();
    double sum = 0;
    for (double roundTrip : roundTrips) sum += roundTrip;
    return {bench::Median(roundTrips), roundTrips.empty() ? 0 : sum / static_cast<double>(roundTrips.size())};
}

// A lean lock-step TFTP client (RFC 1350, octet mode, no options) in the lab namespace,
// built like the floor's echo: one blocking receive and one send per block. It reads
// "firmware.bin" from 10.23.0.1:69 into memory and returns the seconds from its first RRQ
// to its last ACK, or a negative value when the transfer fails or the bytes differ.
double LeanClientFetch(const std::string& labNamespace, const std::vector<char>& expected) {
    double seconds = -1;
    std::thread client([&] {
        EnterLabNamespace(labNamespace);
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in local = SocketAddress(INSTRUMENT, 0);
        bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        timeval timeout{0, 300000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

        static const char REQUEST[] = "\0\1firmware.bin\0octet";  // and the closing zero
        std::array<std::uint8_t, 64> last{};
        std::size_t lastLength = sizeof REQUEST;
        std::memcpy(last.data(), REQUEST, sizeof REQUEST);
        sockaddr_in destination = SocketAddress(HOST, 69);
        bool serverKnown = false;

        std::vector<char> received;
        received.reserve(expected.size());
        std::array<std::uint8_t, 1024> buffer{};
        std::uint16_t expectedBlock = 1;
        int timeouts = 0;
        const auto start = Clock::now();
        sendto(fd, last.data(), lastLength, 0, reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
        for (;;) {
            sockaddr_in source{};
            socklen_t sourceLength = sizeof source;
            const ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&source),
                                         &sourceLength);
            if (got < 0) {
                if (++timeouts > 20) break;
                sendto(fd, last.data(), lastLength, 0, reinterpret_cast<const sockaddr*>(&destination),
                       sizeof destination);
                continue;
            }
            if (got < 4 || buffer[0] != 0 || buffer[1] != 3) continue;
            if (source.sin_addr.s_addr != HOST) continue;
            if (serverKnown && source.sin_port != destination.sin_port) continue;
            const auto block = static_cast<std::uint16_t>(buffer[2] << 8 | buffer[3]);
            if (block != expectedBlock) continue;
            if (!serverKnown) {
                destination.sin_port = source.sin_port;
                serverKnown = true;
            }
            received.insert(received.end(), buffer.data() + 4, buffer.data() + got);
            last = {0, 4, buffer[2], buffer[3]};
            lastLength = 4;
            sendto(fd, last.data(), lastLength, 0, reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
            ++expectedBlock;
            if (got < 516) {
                const auto end = Clock::now();
                if (received == expected) seconds = bench::Seconds(end - start);
                break;
            }
        }
        close(fd);
    });
    client.join();
    return seconds;
}

// The update run's server sockets, with the TFTP one moved off port 69 (to one the system
// chooses), so that in.tftpd owns 10.23.0.1:69.
net::UdpSocket OpenSocketBesideTftpd(int broadcast, bool bindLocal, net::Ipv4Address localAddress,
                                     std::uint16_t localPort) {
    return OpenUdpSocket(broadcast, bindLocal, localAddress, localPort == 69 ? 0 : localPort);
}

std::string InstrumentConfig() {
    return std::string("instrument address=10.23.0.10 mac=") + MAC_TEXT + " bootloader=stellaris timeout-ms=300\n";
}

// One transfer: the client's time from its first RRQ to its last ACK, and the CPU time of
// the whole server process (start-up and file reading included).
struct Transfer {
    double seconds = -1;
    double serverCpuSeconds = -1;
};

enum class Client { Simulated, Lean };

// The boot loader's transfer time in seconds from its report, after checking the image
// arrived whole; negative on failure.
double SimulatedClientSeconds(testnet::LabProcess& lab, const fs::path& image) {
    if (lab.WaitExit(60s) != 0) {
        std::fprintf(stderr, "bench: the simulated boot loader did not finish:\n%s\n", lab.Report().c_str());
        return -1;
    }
    const std::string report = lab.Report();
    const fs::path received = fs::path(lab.WorkDirectory()) / (std::string("received-") + MAC_TEXT + ".bin");
    const std::string elapsed = bench::ReportField(report, "tftp-done", "elapsed-us");
    if (elapsed.empty() || !bench::SameContents(received, image)) {
        std::fprintf(stderr, "bench: the image did not arrive whole:\n%s\n", report.c_str());
        return -1;
    }
    return std::stod(elapsed) / 1e6;
}

// Whether some socket of this namespace is bound to 10.23.0.1:69.
bool TftpPortBound() {
    std::ifstream table("/proc/net/udp");
    std::string line;
    while (std::getline(table, line)) {
        if (line.find(" 0100170A:0045 ") != std::string::npos) return true;
    }
    return false;
}

// Waits until the server has opened 10.23.0.1:69, then a little longer, so that every
// server starts the transfer from rest and not straight out of its own start-up.
bool WaitForTftpPort(const char* server) {
    const auto deadline = Clock::now() + 5s;
    while (!TftpPortBound()) {
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "bench: %s did not open 10.23.0.1:69\n", server);
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(50ms);
    return true;
}

// The server of our rounds: this program again, in a fresh process (as in.tftpd is one),
// running one RunFirmwareUpdate with null sinks, the way the product calls it.
int Serve(const char* imagePath) {
    const std::wstring path = FromUtf8(imagePath);
    UpdateRunReport outcome;
    RunFirmwareUpdateWithOptions({}, MAC, HOST, INSTRUMENT, path.c_str(), nullptr, nullptr, nullptr, &outcome);
    return outcome.transferCompleted ? 0 : 1;
}

Transfer RunOurs(const testnet::TestNetwork& network, const fs::path& image, const std::vector<char>& expected,
                 Client client) {
    Transfer transfer;
    std::unique_ptr<testnet::LabProcess> lab;
    if (client == Client::Simulated) {
        lab = network.StartLab(InstrumentConfig(), {"--exit-after-updates", "1"});
        if (!lab->WaitReady()) return {};
    }
    bench::ChildProcess server({"/proc/self/exe", "--serve", image.string()});
    bench::CpuMonitor serverCpu(server.Pid());
    if (client == Client::Simulated) {
        transfer.seconds = SimulatedClientSeconds(*lab, image);
    } else if (WaitForTftpPort("RunFirmwareUpdate")) {
        transfer.seconds = LeanClientFetch(network.LabNamespace(), expected);
    }
    if (server.Wait(10s) != 0) return {};
    transfer.serverCpuSeconds = serverCpu.Stop();
    return transfer;
}

Transfer RunTftpd(const testnet::TestNetwork& network, const fs::path& image, const std::vector<char>& expected,
                  Client client) {
    Transfer transfer;
    bench::ChildProcess tftpd({"/usr/sbin/in.tftpd", "-L", "-s", image.parent_path().string(), "-a", "10.23.0.1:69"});
    if (!WaitForTftpPort("in.tftpd")) return {};
    bench::CpuMonitor serverCpu(tftpd.Pid());
    if (client == Client::Simulated) {
        const auto lab = network.StartLab(InstrumentConfig(), {"--exit-after-updates", "1"});
        if (!lab->WaitReady()) return {};
        // The update run wakes the boot loader and answers its BOOTP request; its own TFTP
        // socket is elsewhere, so the read request reaches in.tftpd.
        const std::wstring path = FromUtf8(image.string());
        UpdateRunOptions options;
        options.openSocket = OpenSocketBesideTftpd;
        g_stopUpdate = 0;
        std::thread wakeAndBootp(
            [&] { RunFirmwareUpdateWithOptions(options, MAC, HOST, INSTRUMENT, path.c_str(), nullptr, nullptr, nullptr); });
        transfer.seconds = SimulatedClientSeconds(*lab, image);
        g_stopUpdate = 1;
        wakeAndBootp.join();
        g_stopUpdate = 0;
    } else {
        transfer.seconds = LeanClientFetch(network.LabNamespace(), expected);
    }
    // in.tftpd serves each request from a child of its own; the monitor has seen it.
    std::this_thread::sleep_for(5ms);
    transfer.serverCpuSeconds = serverCpu.Stop();
    return transfer;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return false;
        const long value = std::stol(argv[++i]);
        if (option == "--size") options.imageSize = static_cast<std::size_t>(value);
        else if (option == "--rounds") options.rounds = static_cast<int>(value);
        else if (option == "--round-trips") options.roundTrips = static_cast<int>(value);
        else return false;
    }
    return options.rounds > 0 && options.roundTrips > 0 && options.imageSize > 0;
}

struct Series {
    std::vector<double> ours, tftpd, oursCpu, tftpdCpu, oursOverTftpd, oursOverFloor;
};

void PrintSeries(const char* title, const Series& series, std::size_t blocks, double mebibytes, bool floorIsTarget) {
    std::printf("  %s\n", title);
    const double perBlock = 1e6 / static_cast<double>(blocks);
    auto line = [&](const char* name, const std::vector<double>& seconds, const std::vector<double>& cpu) {
        const double median = bench::Median(seconds);
        bench::PrintFigure(std::string("    ") + name,
                           bench::Format("%.3f s  %5.2f MiB/s  %4.1f us/block  (server CPU %.1f us/block)", median,
                                         mebibytes / median, median * perBlock, bench::Median(cpu) * perBlock),
                           "", true);
    };
    line("RunFirmwareUpdate", series.ours, series.oursCpu);
    line("in.tftpd", series.tftpd, series.tftpdCpu);
    const double ratio = bench::Median(series.oursOverTftpd);
    bench::PrintFigure("    ours / in.tftpd", bench::Format("%.2f", ratio), "<= 1.00", ratio <= 1.0);
    const double overFloor = bench::Median(series.oursOverFloor);
    if (floorIsTarget) {
        bench::PrintFigure("    ours / floor", bench::Format("%.2f", overFloor), "<= 1.30", overFloor <= 1.3);
    } else {
        bench::PrintFigure("    ours / floor", bench::Format("%.2f (the simulator reports and stores each block)", overFloor),
                           "(see lean client)", true);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--serve") return Serve(argv[2]);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: quorvel-bench-transfer [--size BYTES] [--rounds N] [--round-trips N]\n");
        return 2;
    }
    testnet::EnterPrivateNetwork();
    testnet::TestNetwork network({{"vh23", {"10.23.0.1/24"}, "vl23", {"10.23.0.10/24"}}});
    bench::TemporaryDirectory directory("qv-bench-transfer");
    const fs::path image = directory.Path() / "firmware.bin";
    bench::WriteImage(image, options.imageSize);
    std::vector<char> expected(options.imageSize);
    std::ifstream(image, std::ios::binary).read(expected.data(), static_cast<std::streamsize>(expected.size()));
    const std::size_t blocks = options.imageSize / 512 + 1;

    // Every round measures the floor and both servers with both clients, the servers in
    // alternating order, and yields its own ratios: a slow spell of this shared machine
    // then falls on both sides of a ratio.
    Series simulated, lean;
    std::vector<double> roundTrips, meanRoundTrips;
    for (int round = 0; round < options.rounds; ++round) {
        const RoundTrips measured = MeasureRoundTrips(network.LabNamespace(), options.roundTrips);
        roundTrips.push_back(measured.median);
        meanRoundTrips.push_back(measured.mean);
        const double floor = measured.median * static_cast<double>(blocks);
        for (Client client : {Client::Simulated, Client::Lean}) {
            Series& series = client == Client::Simulated ? simulated : lean;
            Transfer ours, tftpd;
            if (round % 2 == 0) {
                ours = RunOurs(network, image, expected, client);
                tftpd = RunTftpd(network, image, expected, client);
            } else {
                tftpd = RunTftpd(network, image, expected, client);
                ours = RunOurs(network, image, expected, client);
            }
            if (ours.seconds < 0 || tftpd.seconds < 0) {
                std::fprintf(stderr, "bench: a transfer failed\n");
                return 1;
            }
            series.ours.push_back(ours.seconds);
            series.tftpd.push_back(tftpd.seconds);
            series.oursCpu.push_back(ours.serverCpuSeconds);
            series.tftpdCpu.push_back(tftpd.serverCpuSeconds);
            series.oursOverTftpd.push_back(ours.seconds / tftpd.seconds);
            series.oursOverFloor.push_back(ours.seconds / floor);
        }
    }
    const double roundTrip = bench::Median(roundTrips);
    const double mebibytes = static_cast<double>(options.imageSize) / (1 << 20);
    std::printf("Transfer: %.0f MiB image (%zu blocks); medians of %d rounds; each time from the client's first RRQ "
                "to its last ACK\n",
                mebibytes, blocks, options.rounds);
    bench::PrintFigure("  floor: blocks x median round trip",
                       bench::Format("%.3f s  (round trip %.1f us: 516 B out, 4 B back; mean %.1f us)",
                                     roundTrip * static_cast<double>(blocks), roundTrip * 1e6,
                                     bench::Median(meanRoundTrips) * 1e6),
                       "", true);
    PrintSeries("client: the simulated boot loader (quorvel-lab)", simulated, blocks, mebibytes, false);
    PrintSeries("client: a lean lock-step client (one receive, one send per block)", lean, blocks, mebibytes, true);
    return 0;
}
