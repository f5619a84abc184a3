#include "update/data_port.h"

#include <atomic>

namespace {

constexpr std::uint32_t INITIAL_STATE = 1;
std::atomic<std::uint32_t> g_generatorState{INITIAL_STATE};

std::uint32_t Advance(std::uint32_t state) { return state * 214013u + 2531011u; }

}  // namespace

std::uint16_t NextDataPort() {
    std::uint32_t state = g_generatorState.load();
    std::uint32_t next = Advance(state);
    while (!g_generatorState.compare_exchange_weak(state, next)) next = Advance(state);
    const std::uint32_t random = (next >> 16) & 0x7FFFu;
    return static_cast<std::uint16_t>(DATA_PORT_BASE + random % DATA_PORT_COUNT);
}

void ResetDataPortGenerator() { g_generatorState.store(INITIAL_STATE); }
