#include "lab/simulator.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <queue>
#include <sstream>
#include <vector>

#include "lab/boot_loader.h"
#include "lab/config.h"
#include "lab/fault_plan.h"
#include "lab/report.h"
#include "lab/udp.h"

namespace lab {
namespace {

constexpr std::size_t PORT_RECEIVE_BUFFER = 2048;
constexpr int MAX_DATAGRAMS_PER_PASS = 256;
constexpr std::size_t MAX_PENDING_REPLIES = 65536;
constexpr auto MAX_WAIT = std::chrono::milliseconds(1000);

struct Instrument {
    explicit Instrument(const InstrumentConfig& configuration)
        : config(configuration), faults(config) {}
    InstrumentConfig config;
    unsigned interfaceIndex = 0;
    Ipv4Bytes broadcast{};  // the directed broadcast address of its network
    FaultPlan faults;
    std::unique_ptr<BootLoader> bootLoader;
    std::string addressText;
    std::size_t index = 0;  // in the simulator's list
};

struct PendingReply {
    Clock::time_point due;
    std::size_t instrument;
    Peer destination;
    bool operator>(const PendingReply& other) const { return due > other.due; }
};

class Simulator {
public:
    Simulator(std::vector<InstrumentConfig> configs, const SimulatorOptions& options, Report& report)
        : options_(options), report_(report), random_(std::random_device{}()) {
        for (const auto& config : configs) {
            instruments_.push_back(std::make_unique<Instrument>(config));
            instruments_.back()->index = instruments_.size() - 1;
        }
    }

    int Run(const volatile std::sig_atomic_t& stopRequested);

private:
    bool Prepare();
    // Instruments that hear a datagram that arrived on an interface for a destination.
    std::vector<Instrument*> Listeners(unsigned interfaceIndex, const Ipv4Bytes& destination);
    void DrainDiscovery(Clock::time_point now);
    void DrainMagic(Clock::time_point now);
    void DrainBootp(Clock::time_point now);
    void SendDueReplies(Clock::time_point now);
    void SendReply(Instrument& instrument, const Peer& destination);
    unsigned CompletedUpdates() const;
    bool AnyLingering() const;

    const SimulatorOptions& options_;
    Report& report_;
    std::mt19937 random_;
    std::vector<std::unique_ptr<Instrument>> instruments_;
    PortSocket discoverySocket_;
    PortSocket magicSocket_;
    PortSocket bootpSocket_;
    std::unique_ptr<BootLoaderContext> bootContext_;
    std::priority_queue<PendingReply, std::vector<PendingReply>, std::greater<>> pending_;
    std::array<std::uint8_t, PORT_RECEIVE_BUFFER> buffer_{};
};

Ipv4Bytes BroadcastOf(const Ipv4Bytes& address, const Ipv4Bytes& netmask) {
    Ipv4Bytes broadcast{};
    for (std::size_t i = 0; i < 4; ++i) {
        broadcast[i] = static_cast<std::uint8_t>(address[i] | static_cast<std::uint8_t>(~netmask[i]));
    }
    return broadcast;
}

bool Prepared(PortSocket& socket, std::uint16_t port) {
    if (socket.Open(port)) return true;
    std::fprintf(stderr, "quorvel-lab: cannot open UDP port %u: %s\n", port, std::strerror(errno));
    return false;
}

bool Simulator::Prepare() {
    const auto locals = ListLocalAddresses();
    if (!locals) {
        std::fprintf(stderr, "quorvel-lab: cannot read the address table: %s\n", std::strerror(errno));
        return false;
    }
    for (auto& instrument : instruments_) {
        instrument->addressText = FormatAddress(instrument->config.address);
        const LocalAddress* match = nullptr;
        for (const auto& local : *locals) {
            if (local.address == instrument->config.address) match = &local;
        }
        if (match == nullptr) {
            std::fprintf(stderr, "quorvel-lab: line %d: %s is not an address of this namespace\n",
                         instrument->config.line, instrument->addressText.c_str());
            return false;
        }
        instrument->interfaceIndex = match->interfaceIndex;
        instrument->broadcast = BroadcastOf(match->address, match->netmask);
    }
    if (!Prepared(discoverySocket_, DISCOVERY_PORT) || !Prepared(magicSocket_, MAGIC_PORT) ||
        !Prepared(bootpSocket_, BOOTP_CLIENT_PORT)) {
        return false;
    }
    bootContext_ = std::make_unique<BootLoaderContext>(
        BootLoaderContext{report_, bootpSocket_, options_.outputDirectory, random_});
    for (auto& instrument : instruments_) {
        if (instrument->config.bootloader) {
            instrument->bootLoader = std::make_unique<BootLoader>(
                instrument->config, instrument->interfaceIndex, instrument->faults, *bootContext_);
        }
    }
    return true;
}

std::vector<Instrument*> Simulator::Listeners(unsigned interfaceIndex, const Ipv4Bytes& destination) {
    std::vector<Instrument*> listeners;
    const bool limited = destination == Ipv4Bytes{255, 255, 255, 255};
    for (auto& instrument : instruments_) {
        if (instrument->interfaceIndex != interfaceIndex) continue;
        if (limited || instrument->broadcast == destination || instrument->config.address == destination) {
            listeners.push_back(instrument.get());
        }
    }
    return listeners;
}

void Simulator::DrainDiscovery(Clock::time_point now) {
    for (int i = 0; i < MAX_DATAGRAMS_PER_PASS; ++i) {
        ReceivedDatagram datagram;
        const ReceiveStatus status = discoverySocket_.Receive(buffer_, datagram);
        if (status == ReceiveStatus::Empty) return;
        if (status == ReceiveStatus::Dropped) continue;
        const std::string from = FormatAddress(datagram.source.address);
        const auto bytes = std::span(buffer_).first(datagram.length);
        if (!IsDiscoveryRequest(bytes)) {
            report_.Line("discovery-invalid from=" + from + " to=" + FormatAddress(datagram.destination) +
                         " bytes=" + std::to_string(datagram.length) +
                         " port=" + std::to_string(datagram.source.port));
            continue;
        }
        if (datagram.source.port == 0 || datagram.source.address == Ipv4Bytes{}) continue;
        for (Instrument* instrument : Listeners(datagram.interfaceIndex, datagram.destination)) {
            report_.Line("discovery-request from=" + from + " to=" + instrument->addressText +
                         " port=" + std::to_string(datagram.source.port));
            if (instrument->config.silent) continue;
            if (instrument->config.delayMs == 0) {
                SendReply(*instrument, datagram.source);
            } else if (pending_.size() < MAX_PENDING_REPLIES) {
                pending_.push({now + std::chrono::milliseconds(instrument->config.delayMs), instrument->index,
                               datagram.source});
            }
        }
    }
}

void Simulator::SendReply(Instrument& instrument, const Peer& destination) {
    std::array<std::uint8_t, MAX_REPLY_DATAGRAM> reply{};
    const std::size_t length = BuildDiscoveryReply(instrument.config.reply, reply);
    const auto datagram = std::span(reply).first(length);
    for (unsigned copy = 0; copy < instrument.config.copies; ++copy) {
        const auto decision = instrument.faults.Next(PacketKind::Reply);
        if (decision.drop) {
            report_.Line("fault mac=" + FormatMac(instrument.config.reply.mac) +
                         " action=drop packet=reply:" + std::to_string(decision.ordinal));
            continue;
        }
        const int sends = decision.duplicate ? 2 : 1;
        for (int s = 0; s < sends; ++s) {
            discoverySocket_.SendFrom(datagram, instrument.config.address, instrument.interfaceIndex,
                                      destination);
            report_.Line("discovery-reply from=" + instrument.addressText + " to=" +
                         FormatPeer(destination) + " bytes=" + std::to_string(length));
        }
    }
}

void Simulator::SendDueReplies(Clock::time_point now) {
    while (!pending_.empty() && pending_.top().due <= now) {
        const PendingReply reply = pending_.top();
        pending_.pop();
        SendReply(*instruments_[reply.instrument], reply.destination);
    }
}

void Simulator::DrainMagic(Clock::time_point now) {
    for (int i = 0; i < MAX_DATAGRAMS_PER_PASS; ++i) {
        ReceivedDatagram datagram;
        const ReceiveStatus status = magicSocket_.Receive(buffer_, datagram);
        if (status == ReceiveStatus::Empty) return;
        if (status == ReceiveStatus::Dropped) continue;
        const std::string from = FormatAddress(datagram.source.address);
        const auto mac = ParseMagicPacket(std::span(buffer_).first(datagram.length));
        if (!mac) {
            report_.Line("magic-invalid from=" + from + " to=" + FormatAddress(datagram.destination) +
                         " bytes=" + std::to_string(datagram.length));
            continue;
        }
        bool matched = false;
        for (Instrument* instrument : Listeners(datagram.interfaceIndex, datagram.destination)) {
            if (!instrument->bootLoader || instrument->config.reply.mac != *mac) continue;
            matched = true;
            report_.Line("magic mac=" + FormatMac(*mac) + " from=" + from +
                         " to=" + FormatAddress(datagram.destination));
            instrument->bootLoader->OnWake(now);
        }
        if (!matched) {
            report_.Line("magic-unmatched mac=" + FormatMac(*mac) + " from=" + from +
                         " to=" + FormatAddress(datagram.destination));
        }
    }
}

void Simulator::DrainBootp(Clock::time_point now) {
    for (int i = 0; i < MAX_DATAGRAMS_PER_PASS; ++i) {
        ReceivedDatagram datagram;
        const ReceiveStatus status = bootpSocket_.Receive(buffer_, datagram);
        if (status == ReceiveStatus::Empty) return;
        if (status == ReceiveStatus::Dropped) continue;
        for (Instrument* instrument : Listeners(datagram.interfaceIndex, datagram.destination)) {
            if (instrument->bootLoader) {
                instrument->bootLoader->OnBootpDatagram(std::span(buffer_).first(datagram.length),
                                                        datagram.source, now);
            }
        }
    }
}

unsigned Simulator::CompletedUpdates() const {
    unsigned total = 0;
    for (const auto& instrument : instruments_) {
        if (instrument->bootLoader) total += instrument->bootLoader->CompletedUpdates();
    }
    return total;
}

bool Simulator::AnyLingering() const {
    for (const auto& instrument : instruments_) {
        if (instrument->bootLoader &&
            instrument->bootLoader->CurrentPhase() == BootLoader::Phase::Dallying) {
            return true;
        }
    }
    return false;
}

int Simulator::Run(const volatile std::sig_atomic_t& stopRequested) {
    if (!Prepare()) return 1;
    report_.Line("ready");
    if (!options_.readyPath.empty()) {
        const std::string temporary = options_.readyPath + ".tmp";
        std::ofstream(temporary) << "ready\n";
        if (std::rename(temporary.c_str(), options_.readyPath.c_str()) != 0) {
            std::fprintf(stderr, "quorvel-lab: cannot write %s\n", options_.readyPath.c_str());
            return 1;
        }
    }

    sigset_t waitMask;
    sigemptyset(&waitMask);
    std::vector<pollfd> descriptors;
    std::vector<BootLoader*> polledLoaders;
    while (!stopRequested) {
        if (options_.exitAfterUpdates && CompletedUpdates() >= *options_.exitAfterUpdates &&
            !AnyLingering()) {
            report_.Line("exit updates=" + std::to_string(CompletedUpdates()));
            return 0;
        }
        descriptors.clear();
        polledLoaders.clear();
        descriptors.push_back({discoverySocket_.Descriptor(), POLLIN, 0});
        descriptors.push_back({magicSocket_.Descriptor(), POLLIN, 0});
        descriptors.push_back({bootpSocket_.Descriptor(), POLLIN, 0});
        auto now = Clock::now();
        auto wakeAt = now + MAX_WAIT;
        if (!pending_.empty()) wakeAt = std::min(wakeAt, pending_.top().due);
        for (auto& instrument : instruments_) {
            BootLoader* loader = instrument->bootLoader.get();
            if (loader == nullptr) continue;
            if (const auto deadline = loader->Deadline()) wakeAt = std::min(wakeAt, *deadline);
            if (loader->TftpDescriptor() >= 0) {
                descriptors.push_back({loader->TftpDescriptor(), POLLIN, 0});
                polledLoaders.push_back(loader);
            }
        }
        const auto wait = std::max(Clock::duration::zero(), wakeAt - now);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                     wait - seconds)
                                                     .count())};
        // Signals are blocked outside this call, so a stop request cannot slip in between
        // the test of the flag and the wait.
        const int ready = ::ppoll(descriptors.data(), descriptors.size(), &timeout, &waitMask);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "quorvel-lab: poll: %s\n", std::strerror(errno));
            return 1;
        }
        now = Clock::now();
        if (ready > 0) {
            if (descriptors[0].revents != 0) DrainDiscovery(now);
            if (descriptors[1].revents != 0) DrainMagic(now);
            if (descriptors[2].revents != 0) DrainBootp(now);
            for (std::size_t i = 0; i < polledLoaders.size(); ++i) {
                // A loader that ended its transfer in this pass has no socket any more.
                if (descriptors[3 + i].revents != 0 &&
                    polledLoaders[i]->TftpDescriptor() == descriptors[3 + i].fd) {
                    polledLoaders[i]->OnTftpReadable(now);
                }
            }
        }
        SendDueReplies(now);
        for (auto& instrument : instruments_) {
            if (instrument->bootLoader) instrument->bootLoader->OnTimer(now);
        }
    }
    report_.Line("stopped");
    return 0;
}

}  // namespace

int RunSimulator(const SimulatorOptions& options, const volatile std::sig_atomic_t& stopRequested) {
    std::ifstream file(options.configPath);
    if (!file) {
        std::fprintf(stderr, "quorvel-lab: cannot read %s\n", options.configPath.c_str());
        return 2;
    }
    std::stringstream text;
    text << file.rdbuf();
    ParsedConfig parsed = ParseConfig(text.str());
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "quorvel-lab: %s: %s\n", options.configPath.c_str(), parsed.error.c_str());
        return 2;
    }
    Report report;
    if (!report.Open(options.reportPath)) {
        std::fprintf(stderr, "quorvel-lab: cannot open %s: %s\n", options.reportPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    Simulator simulator(std::move(parsed.instruments), options, report);
    return simulator.Run(stopRequested);
}

}  // namespace lab
