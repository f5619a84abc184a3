#pragma once
// The simulator's one loop: the instruments' shared port sockets, their boot loaders'
// TFTP sockets and their timers, served by poll() until a signal or the configured
// number of completed updates ends it.

#include <csignal>
#include <optional>
#include <string>

namespace lab {

struct SimulatorOptions {
    std::string configPath;
    std::string reportPath;  // empty: standard output
    std::string readyPath;   // empty: none
    std::string outputDirectory = ".";
    std::optional<unsigned> exitAfterUpdates;
};

// Exit status: 0 after a stop signal or the requested updates, 1 when a socket or file
// cannot be opened, 2 for a bad configuration.
int RunSimulator(const SimulatorOptions& options, const volatile std::sig_atomic_t& stopRequested);

}  // namespace lab
