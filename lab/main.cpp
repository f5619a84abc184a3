// quorvel-lab: plays instruments (discovery responder and Ethernet boot loader) on the
// addresses of the network namespace it runs in. See lab/README.md.

#include <signal.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "lab/simulator.h"

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int) { g_stopRequested = 1; }

int Usage() {
    std::fprintf(stderr,
                 "usage: quorvel-lab --config FILE [--report FILE] [--ready FILE] [--out DIR]"
                 " [--exit-after-updates N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    lab::SimulatorOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        if (option == "--config") {
            options.configPath = value;
        } else if (option == "--report") {
            options.reportPath = value;
        } else if (option == "--ready") {
            options.readyPath = value;
        } else if (option == "--out") {
            options.outputDirectory = value;
        } else if (option == "--exit-after-updates") {
            unsigned count = 0;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
            if (error != std::errc() || end != value.data() + value.size()) return Usage();
            options.exitAfterUpdates = count;
        } else {
            return Usage();
        }
    }
    if (options.configPath.empty()) return Usage();

    // The stop signals are blocked except inside the loop's wait (ppoll).
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) sigaction(signalNumber, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    return lab::RunSimulator(options, g_stopRequested);
}
