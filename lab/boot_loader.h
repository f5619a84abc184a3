#pragma once
// One instrument's Ethernet boot loader: asleep until a wake-up packet carries its MAC,
// then a BOOTP client (RFC 951) that asks for its settings by broadcast, then a TFTP
// client (RFC 1350) that reads the named boot file into DIR/received-<mac>.bin.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>

#include "lab/config.h"
#include "lab/fault_plan.h"
#include "lab/file_descriptor.h"
#include "lab/report.h"
#include "lab/sha256.h"
#include "lab/udp.h"

namespace lab {

using Clock = std::chrono::steady_clock;

// What the boot loaders of one simulator share.
struct BootLoaderContext {
    Report& report;
    PortSocket& bootpClientSocket;  // 0.0.0.0:68
    std::string outputDirectory;
    std::mt19937& random;
};

// Largest image a boot loader accepts (keeps a runaway transfer bounded).
constexpr std::uint64_t MAX_IMAGE_BYTES = 512ull * 1024 * 1024;

class BootLoader {
public:
    enum class Phase { Asleep, WaitingForBootp, Transferring, Dallying, Silenced };

    BootLoader(const InstrumentConfig& config, unsigned interfaceIndex, FaultPlan& faults,
               BootLoaderContext& context);
    BootLoader(const BootLoader&) = delete;
    BootLoader& operator=(const BootLoader&) = delete;
    ~BootLoader();

    Phase CurrentPhase() const { return phase_; }
    // A wake-up packet with this loader's MAC arrived.
    void OnWake(Clock::time_point now);
    // A datagram arrived on the BOOTP client port where this loader would hear it.
    void OnBootpDatagram(std::span<const std::uint8_t> datagram, const Peer& from,
                         Clock::time_point now);
    // The TFTP socket is readable.
    void OnTftpReadable(Clock::time_point now);
    // Time-outs; call when Deadline() has passed.
    void OnTimer(Clock::time_point now);
    std::optional<Clock::time_point> Deadline() const;
    int TftpDescriptor() const { return socket_.IsOpen() ? socket_.Descriptor() : -1; }
    unsigned CompletedUpdates() const { return completed_; }

private:
    void SendBootpRequest(Clock::time_point now);
    void StartTransfer(const BootpReply& reply, Clock::time_point now);
    void HandleTftpDatagram(std::span<const std::uint8_t> datagram, const Peer& source,
                            Clock::time_point now);
    void AcceptBlock(std::uint16_t block, std::span<const std::uint8_t> data, const Peer& source,
                     Clock::time_point now);
    void SendAck(std::uint16_t block, Clock::time_point now);
    void AcknowledgeNewBlock(std::uint16_t block, Clock::time_point now);
    void ReleaseHeldAck(Clock::time_point now);
    void SendRemembered(Clock::time_point now);
    void SendTftp(PacketKind kind, std::span<const std::uint8_t> packet, const Peer& destination);
    void SendError(std::uint16_t code, std::string_view message, const Peer& destination);
    void Complete(Clock::time_point now);
    void Fail(const std::string& reason);
    void EndTransfer();
    std::string Tag() const;  // "mac=..."

    const InstrumentConfig& config_;
    unsigned interfaceIndex_;
    FaultPlan& faults_;
    BootLoaderContext& context_;
    std::string macText_;

    Phase phase_ = Phase::Asleep;
    Clock::time_point wokeAt_{};
    Clock::time_point rrqSentAt_{};  // first read request of the transfer, for its duration
    Clock::time_point deadline_{};
    unsigned retries_ = 0;
    std::uint32_t xid_ = 0;

    // TFTP transfer
    ClientSocket socket_;
    Peer server_;                          // siaddr:69
    std::optional<std::uint16_t> serverTid_;  // the server's port, fixed by its first DATA
    std::uint32_t expectedBlock_ = 1;      // counts past 65535; the wire carries the low 16 bits
    std::uint64_t receivedBytes_ = 0;
    unsigned newAcks_ = 0;
    std::optional<std::uint16_t> heldAck_;  // reorder: an ACK not sent yet
    bool ackDelayed_ = false;  // ack-delay-ms: the remembered ACK goes out at deadline_
    std::uint16_t finalBlock_ = 0;
    std::array<std::uint8_t, TFTP_MAX_REQUEST_PACKET> remembered_{};  // the last RRQ or ACK
    std::size_t rememberedLength_ = 0;
    PacketKind rememberedKind_ = PacketKind::Rrq;
    Peer rememberedDestination_;
    FileDescriptor output_;
    std::string partialPath_;
    std::string finalPath_;
    Sha256 hash_;
    unsigned completed_ = 0;
};

}  // namespace lab
