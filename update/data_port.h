#pragma once
// The ports of TFTP data sockets: 32768 + (r mod 8192), r drawn from one process-wide
// linear congruential generator (s := s * 214013 + 2531011, r := bits 16..30 of s) that
// starts at 1 and is never seeded, so the ports of a process always come in the same
// order: 32809, 34851, 39102, 34692, ...

#include <cstdint>

constexpr std::uint16_t DATA_PORT_BASE = 32768;
constexpr std::uint32_t DATA_PORT_COUNT = 8192;

// The port for the next attempt to open a data socket. Safe from any thread.
std::uint16_t NextDataPort();

// Puts the generator back to its starting state; for tests only.
void ResetDataPortGenerator();
