#pragma once
// Counts the packets an instrument sends, per kind, and says which of them the configured
// faults drop or send twice.

#include <array>
#include <cstddef>
#include <random>

#include "lab/config.h"

namespace lab {

class FaultPlan {
public:
    explicit FaultPlan(const InstrumentConfig& config)
        : config_(&config), random_(std::random_device{}()) {}

    struct Decision {
        bool drop = false;
        bool duplicate = false;
        unsigned ordinal = 0;  // this packet's number among its kind, from 1
    };

    Decision Next(PacketKind kind) {
        Decision decision;
        decision.ordinal = ++sent_[static_cast<std::size_t>(kind)];
        for (const auto& fault : config_->drops) {
            if (fault.kind == kind && fault.ordinal == decision.ordinal) decision.drop = true;
        }
        for (const auto& fault : config_->duplicates) {
            if (fault.kind == kind && fault.ordinal == decision.ordinal) decision.duplicate = true;
        }
        if (config_->duplicatePercent > 0 &&
            std::uniform_int_distribution<unsigned>(0, 99)(random_) < config_->duplicatePercent) {
            decision.duplicate = true;
        }
        return decision;
    }

private:
    const InstrumentConfig* config_;
    std::array<unsigned, PACKET_KIND_COUNT> sent_{};
    std::mt19937 random_;
};

}  // namespace lab
