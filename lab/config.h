#pragma once
// The simulator's configuration: one `instrument` line per simulated instrument with
// key=value fields (keys and defaults in lab/README.md).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lab/packets.h"

namespace lab {

// Boot-loader packets (and the discovery reply) that faults can be applied to.
enum class PacketKind { Reply, Bootp, Rrq, Ack };
constexpr std::size_t PACKET_KIND_COUNT = 4;
std::string_view PacketKindName(PacketKind kind);

struct PacketFault {
    PacketKind kind = PacketKind::Ack;
    unsigned ordinal = 0;  // the n-th packet of that kind that the instrument sends, from 1
};

struct InstrumentConfig {
    int line = 0;  // where it was configured, for messages
    Ipv4Bytes address{};
    DiscoveryReplyFields reply;
    unsigned copies = 1;
    unsigned delayMs = 0;
    bool silent = false;

    bool bootloader = false;
    std::string serverName;  // sname of the BOOTP requests
    std::vector<PacketFault> drops;
    std::vector<PacketFault> duplicates;
    bool reorder = false;
    unsigned duplicatePercent = 0;  // every packet it sends goes twice with this chance
    unsigned ackDelayMs = 0;        // each new block is acknowledged this much later
    std::optional<unsigned> lingerMs;  // stay after the last block (default: timeoutMs)
    std::optional<unsigned> silentAfterAcks;
    unsigned timeoutMs = 1000;
    unsigned maxRetries = 30;
};

struct ParsedConfig {
    std::vector<InstrumentConfig> instruments;
    std::string error;  // empty on success; otherwise "line N: ..."
};

ParsedConfig ParseConfig(std::string_view text);

// Limits that keep one simulator bounded.
constexpr std::size_t MAX_INSTRUMENTS = 4096;
constexpr unsigned MAX_COPIES = 100;
constexpr unsigned MAX_DELAY_MS = 60'000;
constexpr unsigned MIN_TIMEOUT_MS = 10;
constexpr unsigned MAX_TIMEOUT_MS = 60'000;
constexpr unsigned MAX_RETRIES = 1000;
constexpr unsigned MAX_ACK_DELAY_MS = 10'000;

std::string FormatMac(const Mac& mac);  // 02-11-22-AA-BB-CC
std::string FormatAddress(const Ipv4Bytes& address);
std::optional<Mac> ParseMac(std::string_view text);
std::optional<Ipv4Bytes> ParseIpv4(std::string_view text);

}  // namespace lab
