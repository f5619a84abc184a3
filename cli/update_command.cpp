// quorvel-cli update: one firmware update of one instrument, the log printed as it comes.
#include <signal.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "discovery/discovery_engine.h"
#include "net/address.h"
#include "net/interfaces.h"
#include "update/update_run.h"
#include "update/update_run_options.h"
#include "update/wide_text.h"

namespace {

// Exit codes besides the run's results 1..4.
constexpr int EXIT_COMPLETED = 0;
constexpr int EXIT_NOT_COMPLETED = 5;
constexpr int EXIT_NOT_FOUND = 6;
constexpr int EXIT_SIGNAL_BASE = 128;

void PrintUsage(std::FILE* out) {
    std::fputs(
        "usage: quorvel-cli update [--mac MAC --interface ADDR] --device ADDR [--quiet] FILE\n"
        "  Wakes the instrument's Ethernet boot loader, answers its BOOTP request with ADDR\n"
        "  and serves FILE to it as \"firmware.bin\" by TFTP, from the local address of\n"
        "  --interface. Without --mac and --interface, one discovery sweep finds the\n"
        "  instrument that answers from --device and takes both from its record.\n"
        "  MAC is written 02-11-22-33-44-55. --quiet shows a progress bar instead of the log.\n"
        "  Ctrl-C stops the update cleanly.\n"
        "exit: 0 transfer completed; 1 file unreadable; 2 BOOTP socket failed; 3 TFTP\n"
        "  socket failed; 4 wake-up socket failed; 5 ended before the transfer completed;\n"
        "  6 no instrument answered from ADDR; 64 bad arguments; 128+N stopped by signal N\n",
        out);
}

volatile sig_atomic_t g_caughtSignal = 0;

void OnStopSignal(int signal) {
    g_caughtSignal = signal;
    g_stopUpdate = 1;
}

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The run clears the stop flag once its sockets are open: a signal caught before that
// is raised again at the run's next line.
void KeepStopRaised() {
    if (g_caughtSignal != 0) g_stopUpdate = 1;
}

struct Output {
    bool quiet = false;
    int shownPercent = -1;
};

void PrintLogLine(void* context, const wchar_t* text) {
    KeepStopRaised();
    if (static_cast<Output*>(context)->quiet) return;
    const std::string line = ToUtf8(text);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void ShowProgress(void* context, unsigned percent) {
    KeepStopRaised();
    auto* output = static_cast<Output*>(context);
    if (!output->quiet || static_cast<int>(percent) == output->shownPercent) return;
    output->shownPercent = static_cast<int>(percent);
    constexpr unsigned WIDTH = 40;
    const unsigned filled = percent * WIDTH / 100;
    std::string bar = "\r[" + std::string(filled, '#') + std::string(WIDTH - filled, ' ') + "] ";
    bar += std::to_string(percent) + "%";
    std::fputs(bar.c_str(), stdout);
    std::fflush(stdout);
}

std::optional<std::array<std::uint8_t, 6>> ParseMac(std::string_view text) {
    if (text.size() != 17) return std::nullopt;
    std::array<std::uint8_t, 6> mac{};
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < 6; ++i) {
        const int high = hex(text[i * 3]);
        const int low = hex(text[i * 3 + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        if (i < 5 && text[i * 3 + 2] != '-' && text[i * 3 + 2] != ':') return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return mac;
}

struct Arguments {
    std::optional<std::array<std::uint8_t, 6>> mac;
    std::optional<net::Ipv4Address> interfaceAddress;
    std::optional<net::Ipv4Address> deviceAddress;
    bool quiet = false;
    bool help = false;
    std::string file;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "quorvel-cli update: %s\n", message.c_str());
    PrintUsage(stderr);
    return EXIT_USAGE;
}

// Fills arguments; an exit code when the command line is wrong.
std::optional<int> ParseArguments(int argc, char** argv, Arguments& arguments) {
    for (int i = 0; i < argc; ++i) {
        const std::string_view option = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (option == "--help" || option == "-h") {
            arguments.help = true;
        } else if (option == "--quiet" || option == "-q") {
            arguments.quiet = true;
        } else if (option == "--mac") {
            const char* text = value();
            if (text == nullptr) return UsageError("--mac needs a value");
            arguments.mac = ParseMac(text);
            if (!arguments.mac) return UsageError(std::string("not a MAC address: '") + text + "'");
        } else if (option == "--interface" || option == "--device") {
            const char* text = value();
            if (text == nullptr) return UsageError(std::string(option) + " needs a value");
            const auto address = net::ParseAddress(text);
            if (!address) return UsageError(std::string("not an IPv4 address: '") + text + "'");
            (option == "--interface" ? arguments.interfaceAddress : arguments.deviceAddress) = *address;
        } else if (option.size() > 1 && option[0] == '-') {
            return UsageError(std::string("unknown option '") + argv[i] + "'");
        } else if (!arguments.file.empty()) {
            return UsageError("only one image file may be given");
        } else {
            arguments.file = argv[i];
        }
    }
    if (arguments.help) return std::nullopt;
    if (!arguments.deviceAddress) return UsageError("--device is required");
    if (arguments.mac.has_value() != arguments.interfaceAddress.has_value())
        return UsageError("--mac and --interface go together (or leave both out to find them by a sweep)");
    if (arguments.file.empty()) return UsageError("no image file given");
    return std::nullopt;
}

// One sweep; takes the MAC address and interface address of the instrument that answers
// from the device address. An exit code when it cannot.
std::optional<int> FindInstrument(Arguments& arguments) {
    if (!net::StartSockets()) {
        std::fputs("quorvel-cli update: UDP sockets are not available on this system\n", stderr);
        return EXIT_NOT_FOUND;
    }
    std::array<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets;
    const int n = OpenInterfaceSockets(sockets);
    if (n <= 0) {
        std::fputs("quorvel-cli update: cannot search: no local IPv4 address could bind UDP port 23\n",
                   stderr);
        return EXIT_NOT_FOUND;
    }
    SendDiscoveryRequest(sockets, n);
    const auto devices = std::make_unique<DeviceTable>();
    devices->count = CollectDiscoveryReplies(sockets, n, devices->records);
    for (int i = 0; i < n; ++i) sockets[i].handle.Close();

    for (int i = 0; i < devices->count; ++i) {
        const DeviceRecord& record = devices->records[i];
        if (record.address != *arguments.deviceAddress) continue;
        arguments.mac = record.mac;
        arguments.interfaceAddress = record.interfaceAddress;
        if (!arguments.quiet) {
            std::fprintf(stderr, "quorvel-cli update: %s answered on interface %s\n",
                         net::FormatAddress(record.address).c_str(),
                         net::FormatAddress(record.interfaceAddress).c_str());
        }
        return std::nullopt;
    }
    std::fprintf(stderr, "quorvel-cli update: no instrument answered from %s\n",
                 net::FormatAddress(*arguments.deviceAddress).c_str());
    return EXIT_NOT_FOUND;
}

const char* ResultText(int result) {
    switch (result) {
        case UPDATE_FILE_FAILED: return "the image file cannot be read";
        case UPDATE_BOOTP_SOCKET_FAILED: return "the BOOTP server socket (UDP port 67) cannot be opened";
        case UPDATE_TFTP_SOCKET_FAILED: return "the TFTP server socket (UDP port 69) cannot be opened";
        case UPDATE_MAGIC_SOCKET_FAILED: return "the wake-up socket cannot be opened";
        default: return "the update failed";
    }
}

}  // namespace

int RunUpdateCommand(int argc, char** argv) {
    Arguments arguments;
    if (const auto exitCode = ParseArguments(argc, argv, arguments)) return *exitCode;
    if (arguments.help) {
        PrintUsage(stdout);
        return EXIT_COMPLETED;
    }
    InstallStopHandlers();

    if (!arguments.mac) {
        if (const auto exitCode = FindInstrument(arguments)) return *exitCode;
    }
    if (g_caughtSignal != 0) return EXIT_SIGNAL_BASE + g_caughtSignal;
    if (!net::StartSockets()) {
        std::fputs("quorvel-cli update: UDP sockets are not available on this system\n", stderr);
        return EXIT_NOT_COMPLETED;
    }

    Output output;
    output.quiet = arguments.quiet;
    const std::wstring path = FromUtf8(arguments.file);
    UpdateRunReport report;
    const int result = RunFirmwareUpdateWithOptions(UpdateRunOptions{}, *arguments.mac,
                                                    *arguments.interfaceAddress, *arguments.deviceAddress,
                                                    path.c_str(), PrintLogLine, ShowProgress, &output, &report);
    if (output.shownPercent >= 0) std::fputs("\n", stdout);
    std::fflush(stdout);

    if (result != UPDATE_DONE) {
        std::fprintf(stderr, "quorvel-cli update: %s\n", ResultText(result));
        return result;
    }
    if (report.transferCompleted) return EXIT_COMPLETED;
    if (g_caughtSignal != 0) {
        std::fputs("quorvel-cli update: stopped before the transfer completed\n", stderr);
        return EXIT_SIGNAL_BASE + g_caughtSignal;
    }
    std::fputs("quorvel-cli update: the update ended before the transfer completed\n", stderr);
    return EXIT_NOT_COMPLETED;
}
