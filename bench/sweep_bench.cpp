// Sweep benchmark: 256 simulated instruments answer one discovery request. Measured: the
// time from sending the request until CollectDiscoveryReplies returns, and the CPU time
// the sweep took. 256 replies fill the device table, which ends the collection at once;
// with 255 the sweep ends after 1 s of quiet, which is subtracted.

#include <array>
#include <cstdio>
#include <string>

#include "bench/bench_support.h"
#include "discovery/discovery_engine.h"
#include "tests/support/test_network.h"

namespace {

constexpr int MOST_INSTRUMENTS = MAX_DEVICES;

// Addresses for the instruments, 10.23.1.0 .. 10.23.1.255 (the host is 10.23.0.1/16).
std::vector<std::string> LabAddresses() {
    std::vector<std::string> addresses;
    for (int i = 0; i < MOST_INSTRUMENTS; ++i) addresses.push_back("10.23.1." + std::to_string(i) + "/16");
    return addresses;
}

// count instruments, each with a MAC and description of its own.
std::string LabConfig(int count) {
    std::string config;
    for (int i = 0; i < count; ++i) {
        config += bench::Format("instrument address=10.23.1.%d mac=02-00-00-00-%02X-%02X number=%d version=%d "
                                "description=Instrument%%20%d\n",
                                i, i / 256, i % 256, i % 256, 1000 + i, i);
    }
    return config;
}

struct Sweep {
    int found = 0;
    double seconds = 0;
    double cpuSeconds = 0;
};

Sweep RunSweep() {
    std::array<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets;
    const int opened = OpenInterfaceSockets(sockets);
    static DeviceTable table;
    Sweep sweep;
    const double cpuBefore = bench::ProcessCpuSeconds();
    const auto start = bench::Clock::now();
    SendDiscoveryRequest(sockets, opened);
    sweep.found = CollectDiscoveryReplies(sockets, opened, table.records);
    sweep.seconds = bench::Seconds(bench::Clock::now() - start);
    sweep.cpuSeconds = bench::ProcessCpuSeconds() - cpuBefore;
    return sweep;
}

// Sweeps rounds times with count instruments answering; the medians of the time over the
// quiet floor and of the CPU time, or nothing when a sweep missed an instrument.
bool MeasureSweeps(const testnet::TestNetwork& network, int count, int rounds, double quietFloor,
                   double& overFloor, double& cpuSeconds) {
    const auto lab = network.StartLab(LabConfig(count));
    if (!lab->WaitReady(std::chrono::seconds(20))) {
        std::fprintf(stderr, "bench: the simulator did not start\n");
        return false;
    }
    std::vector<double> over, cpu;
    for (int round = 0; round < rounds; ++round) {
        const Sweep sweep = RunSweep();
        if (sweep.found != count) {
            std::fprintf(stderr, "bench: the sweep found %d of %d instruments\n", sweep.found, count);
            return false;
        }
        over.push_back(sweep.seconds - quietFloor);
        cpu.push_back(sweep.cpuSeconds);
    }
    overFloor = bench::Median(over);
    cpuSeconds = bench::Median(cpu);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    if (argc == 3 && std::string(argv[1]) == "--rounds") rounds = std::max(1, std::stoi(argv[2]));
    testnet::EnterPrivateNetwork();
    testnet::TestNetwork network({{"vh23", {"10.23.0.1/16"}, "vl23", LabAddresses()}});

    const double quiet = std::chrono::duration<double>(QUIET_AFTER_REPLY).count();
    double fullOver = 0, fullCpu = 0, quietOver = 0, quietCpu = 0;
    if (!MeasureSweeps(network, MOST_INSTRUMENTS, rounds, 0, fullOver, fullCpu) ||
        !MeasureSweeps(network, MOST_INSTRUMENTS - 1, rounds, quiet, quietOver, quietCpu)) {
        return 1;
    }
    std::printf("Sweep: simulated instruments answering one request; medians of %d sweeps\n", rounds);
    bench::PrintFigure("  256 answering (table full)",
                       bench::Format("%.1f ms request to return  (CPU %.1f ms)", fullOver * 1e3, fullCpu * 1e3),
                       "<= 50 ms", fullOver <= 0.050);
    bench::PrintFigure("  255 answering, less the 1 s quiet",
                       bench::Format("%.1f ms over the floor  (CPU %.1f ms)", quietOver * 1e3, quietCpu * 1e3),
                       "<= 50 ms", quietOver <= 0.050);
    return 0;
}
