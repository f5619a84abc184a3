// quorvel-cli discover: one sweep of the local network, listed as the window lists it
// (same column texts) plus the interface on which each instrument answered.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "discovery/device_columns.h"
#include "discovery/discovery_engine.h"
#include "net/interfaces.h"

namespace {

constexpr int EXIT_SWEPT = 0;
constexpr int EXIT_NO_SWEEP = 1;

void PrintUsage(std::FILE* out) {
    std::fputs("usage: quorvel-cli discover [--json]\n"
               "  Broadcasts the discovery request on UDP port 23 from every local IPv4 address\n"
               "  and lists the instruments that answer. --json prints a JSON array instead.\n",
               out);
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Control characters (C0, DEL, C1) of a description come from the network: never let them
// reach a terminal as they are.
bool IsControl(wchar_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

std::string ToTerminalText(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) AppendUtf8(out, IsControl(c) ? U'?' : static_cast<char32_t>(c));
    return out;
}

std::string ToJsonString(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"') {
            out += "\\\"";
        } else if (c == L'\\') {
            out += "\\\\";
        } else if (IsControl(c)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            out += escape;
        } else {
            AppendUtf8(out, static_cast<char32_t>(c));
        }
    }
    out += '"';
    return out;
}

std::string ToJsonString(const std::string& ascii) { return ToJsonString(std::wstring(ascii.begin(), ascii.end())); }

std::string ExtraText(const DeviceRecord& record) {
    char text[9];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", record.extra[0], record.extra[1], record.extra[2],
                  record.extra[3]);
    return text;
}

void PrintJson(const DeviceTable& devices) {
    std::string out = "[";
    for (int i = 0; i < devices.count; ++i) {
        const DeviceRecord& record = devices.records[i];
        const auto columns = FormatDeviceColumns(record);
        out += i == 0 ? "\n" : ",\n";
        out += "  {\"address\": " + ToJsonString(columns[COLUMN_ADDRESS]);
        out += ", \"mac\": " + ToJsonString(columns[COLUMN_MAC]);
        out += ", \"number\": " + std::to_string(record.number);
        out += ", \"version\": " + ToJsonString(columns[COLUMN_VERSION]);
        out += ", \"description\": " + ToJsonString(columns[COLUMN_DESCRIPTION]);
        out += ", \"deviceType\": " + std::to_string(record.deviceType);
        out += ", \"extra\": " + ToJsonString(ExtraText(record));
        out += ", \"interfaceAddress\": " + ToJsonString(net::FormatAddress(record.interfaceAddress));
        out += "}";
    }
    out += devices.count == 0 ? "]\n" : "\n]\n";
    std::fputs(out.c_str(), stdout);
}

void PrintTable(const DeviceTable& devices) {
    if (devices.count == 0) {
        std::fputs("No instruments answered.\n", stdout);
        return;
    }
    constexpr int COLUMNS = DEVICE_COLUMN_COUNT + 1;
    const std::array<std::wstring, COLUMNS> headers{L"IP адрес", L"MAC адрес", L"Номер", L"Версия",
                                                    L"Описание", L"Интерфейс"};
    std::array<std::size_t, COLUMNS> widths{};
    for (int c = 0; c < COLUMNS; ++c) widths[c] = headers[c].size();
    auto rowTexts = [&](const DeviceRecord& record) {
        const auto columns = FormatDeviceColumns(record);
        std::array<std::wstring, COLUMNS> texts;
        std::copy(columns.begin(), columns.end(), texts.begin());
        const std::string interfaceText = net::FormatAddress(record.interfaceAddress);
        texts[DEVICE_COLUMN_COUNT] = std::wstring(interfaceText.begin(), interfaceText.end());
        return texts;
    };
    for (int i = 0; i < devices.count; ++i) {
        const auto texts = rowTexts(devices.records[i]);
        for (int c = 0; c < COLUMNS; ++c) widths[c] = std::max(widths[c], texts[c].size());
    }
    auto printRow = [&](const std::array<std::wstring, COLUMNS>& texts) {
        std::string line;
        for (int c = 0; c < COLUMNS; ++c) {
            line += ToTerminalText(texts[c]);
            if (c + 1 < COLUMNS) line.append(widths[c] - texts[c].size() + 2, ' ');
        }
        line += '\n';
        std::fputs(line.c_str(), stdout);
    };
    printRow(headers);
    for (int i = 0; i < devices.count; ++i) printRow(rowTexts(devices.records[i]));
}

}  // namespace

int RunDiscoverCommand(int argc, char** argv) {
    bool json = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage(stdout);
            return EXIT_SWEPT;
        } else {
            std::fprintf(stderr, "quorvel-cli discover: unknown option '%s'\n", argv[i]);
            PrintUsage(stderr);
            return EXIT_USAGE;
        }
    }

    if (!net::StartSockets()) {
        std::fputs("quorvel-cli discover: UDP sockets are not available on this system\n", stderr);
        return EXIT_NO_SWEEP;
    }
    const auto table = net::ListInterfaceAddresses();
    if (!table) {
        std::fputs("quorvel-cli discover: the table of local IPv4 addresses is not available\n", stderr);
        return EXIT_NO_SWEEP;
    }
    if (std::none_of(table->begin(), table->end(),
                     [](const net::InterfaceAddress& row) { return IsSweptAddress(row.address); })) {
        std::fputs("quorvel-cli discover: this host has no IPv4 address to search from "
                   "(127.0.0.1 is not searched)\n",
                   stderr);
        return EXIT_NO_SWEEP;
    }

    // The same order as the window's search: open, send, collect, close.
    std::array<InterfaceSocket, MAX_INTERFACE_SOCKETS> sockets;
    const int n = OpenInterfaceSockets(sockets, *table);
    if (n <= 0) {
        std::fputs("quorvel-cli discover: could not bind UDP port 23 on any local IPv4 address; "
                   "binding port 23 needs root or the cap_net_bind_service capability, and no "
                   "other program may hold the port\n",
                   stderr);
        return EXIT_NO_SWEEP;
    }
    SendDiscoveryRequest(sockets, n);
    // Value-initialised: the table starts all zero, as the window's does.
    const auto devices = std::make_unique<DeviceTable>();
    devices->count = CollectDiscoveryReplies(sockets, n, devices->records);
    for (int i = 0; i < n; ++i) sockets[i].handle.Close();

    if (json) {
        PrintJson(*devices);
    } else {
        PrintTable(*devices);
    }
    return EXIT_SWEPT;
}
