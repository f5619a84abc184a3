#include "lab/config.h"

#include <charconv>
#include <cstdio>
#include <limits>

namespace lab {
namespace {

std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t maximum) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > maximum) {
        return std::nullopt;
    }
    return value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX escapes; nullopt for a broken escape.
std::optional<std::string> Unescape(std::string_view text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            result.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        result.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return result;
}

std::optional<PacketKind> ParseKind(std::string_view text) {
    for (PacketKind kind : {PacketKind::Reply, PacketKind::Bootp, PacketKind::Rrq, PacketKind::Ack}) {
        if (text == PacketKindName(kind)) return kind;
    }
    return std::nullopt;
}

std::optional<std::vector<PacketFault>> ParseFaultList(std::string_view text) {
    std::vector<PacketFault> faults;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const auto colon = item.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        const auto kind = ParseKind(item.substr(0, colon));
        const auto ordinal = ParseNumber(item.substr(colon + 1), std::numeric_limits<unsigned>::max());
        if (!kind || !ordinal || *ordinal == 0) return std::nullopt;
        faults.push_back({*kind, static_cast<unsigned>(*ordinal)});
    }
    return faults;
}

std::string Describe(int line, std::string_view message) {
    return "line " + std::to_string(line) + ": " + std::string(message);
}

}  // namespace

std::string_view PacketKindName(PacketKind kind) {
    switch (kind) {
        case PacketKind::Reply: return "reply";
        case PacketKind::Bootp: return "bootp";
        case PacketKind::Rrq: return "rrq";
        case PacketKind::Ack: return "ack";
    }
    return "?";
}

std::string FormatMac(const Mac& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::string FormatAddress(const Ipv4Bytes& address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    return text;
}

std::optional<Mac> ParseMac(std::string_view text) {
    Mac mac{};
    if (text.size() != 17) return std::nullopt;
    for (std::size_t i = 0; i < MAC_LENGTH; ++i) {
        const int high = HexDigit(text[3 * i]);
        const int low = HexDigit(text[3 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        if (i + 1 < MAC_LENGTH && text[3 * i + 2] != '-' && text[3 * i + 2] != ':') return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return mac;
}

std::optional<Ipv4Bytes> ParseIpv4(std::string_view text) {
    Ipv4Bytes address{};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto dot = text.find('.');
        if ((i < 3) == (dot == std::string_view::npos)) return std::nullopt;
        const auto part = ParseNumber(text.substr(0, dot), 255);
        if (!part || text.substr(0, dot).starts_with("0x")) return std::nullopt;
        address[i] = static_cast<std::uint8_t>(*part);
        text = i < 3 ? text.substr(dot + 1) : std::string_view();
    }
    return address;
}

ParsedConfig ParseConfig(std::string_view text) {
    ParsedConfig result;
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const auto newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (const auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);

        std::vector<std::string_view> words;
        std::size_t position = 0;
        while (position < line.size()) {
            const auto start = line.find_first_not_of(" \t\r", position);
            if (start == std::string_view::npos) break;
            const auto end = line.find_first_of(" \t\r", start);
            words.push_back(line.substr(start, end - start));
            position = end == std::string_view::npos ? line.size() : end;
        }
        if (words.empty()) continue;
        if (words[0] != "instrument") {
            result.error = Describe(lineNumber, "expected 'instrument', found '" + std::string(words[0]) + "'");
            return result;
        }
        if (result.instruments.size() == MAX_INSTRUMENTS) {
            result.error = Describe(lineNumber, "too many instruments");
            return result;
        }

        InstrumentConfig instrument;
        instrument.line = lineNumber;
        bool haveAddress = false, haveMac = false, haveSendBytes = false;
        std::string bootloaderName = "none";
        std::optional<std::string> explicitServerName;
        for (std::size_t w = 1; w < words.size(); ++w) {
            const auto equals = words[w].find('=');
            if (equals == std::string_view::npos) {
                result.error = Describe(lineNumber, "expected key=value, found '" + std::string(words[w]) + "'");
                return result;
            }
            const std::string_view key = words[w].substr(0, equals);
            const std::string_view value = words[w].substr(equals + 1);
            auto number = [&](std::uint64_t maximum) { return ParseNumber(value, maximum); };
            bool ok = true;
            if (key == "address") {
                const auto address = ParseIpv4(value);
                ok = address.has_value();
                if (ok) instrument.address = *address;
                haveAddress = ok;
            } else if (key == "mac") {
                const auto mac = ParseMac(value);
                ok = mac.has_value();
                if (ok) instrument.reply.mac = *mac;
                haveMac = ok;
            } else if (key == "type" || key == "number" || key == "tag" || key == "command" ||
                       key == "length") {
                const auto n = number(255);
                ok = n.has_value();
                if (ok) {
                    const auto byte = static_cast<std::uint8_t>(*n);
                    if (key == "type") instrument.reply.type = byte;
                    if (key == "number") instrument.reply.number = byte;
                    if (key == "tag") instrument.reply.tag = byte;
                    if (key == "command") instrument.reply.command = byte;
                    if (key == "length") instrument.reply.length = byte;
                }
            } else if (key == "extra") {
                std::string_view digits = value;
                if (digits.starts_with("0x") || digits.starts_with("0X")) digits.remove_prefix(2);
                ok = digits.size() == 8;
                for (std::size_t i = 0; ok && i < 4; ++i) {
                    const int high = HexDigit(digits[2 * i]);
                    const int low = HexDigit(digits[2 * i + 1]);
                    ok = high >= 0 && low >= 0;
                    if (ok) instrument.reply.extra[i] = static_cast<std::uint8_t>(high * 16 + low);
                }
            } else if (key == "version") {
                const auto n = number(0xFFFFFFFFu);
                ok = n.has_value();
                if (ok) instrument.reply.version = static_cast<std::uint32_t>(*n);
            } else if (key == "description") {
                const auto textValue = Unescape(value);
                ok = textValue && textValue->size() <= REPLY_DESCRIPTION_LENGTH;
                if (ok) {
                    instrument.reply.description.fill(0);
                    std::copy(textValue->begin(), textValue->end(), instrument.reply.description.begin());
                }
            } else if (key == "send-bytes") {
                const auto n = number(MAX_REPLY_DATAGRAM);
                ok = n.has_value();
                if (ok) instrument.reply.sendBytes = static_cast<std::size_t>(*n);
                haveSendBytes = ok;
            } else if (key == "bad-checksum" || key == "silent" || key == "reorder") {
                const auto n = number(1);
                ok = n.has_value();
                if (ok && key == "bad-checksum") instrument.reply.badChecksum = *n == 1;
                if (ok && key == "silent") instrument.silent = *n == 1;
                if (ok && key == "reorder") instrument.reorder = *n == 1;
            } else if (key == "copies") {
                const auto n = number(MAX_COPIES);
                ok = n.has_value();
                if (ok) instrument.copies = static_cast<unsigned>(*n);
            } else if (key == "delay-ms") {
                const auto n = number(MAX_DELAY_MS);
                ok = n.has_value();
                if (ok) instrument.delayMs = static_cast<unsigned>(*n);
            } else if (key == "bootloader") {
                ok = value == "stellaris" || value == "tiva" || value == "none";
                bootloaderName = value;
            } else if (key == "sname") {
                explicitServerName = Unescape(value);
                ok = explicitServerName && explicitServerName->size() < BOOTP_SNAME_LENGTH;
            } else if (key == "drop" || key == "duplicate") {
                const auto faults = ParseFaultList(value);
                ok = faults.has_value();
                if (ok) {
                    auto& list = key == "drop" ? instrument.drops : instrument.duplicates;
                    list.insert(list.end(), faults->begin(), faults->end());
                }
            } else if (key == "duplicate-percent") {
                const auto n = number(100);
                ok = n.has_value();
                if (ok) instrument.duplicatePercent = static_cast<unsigned>(*n);
            } else if (key == "linger-ms") {
                const auto n = number(MAX_TIMEOUT_MS);
                ok = n.has_value();
                if (ok) instrument.lingerMs = static_cast<unsigned>(*n);
            } else if (key == "ack-delay-ms") {
                const auto n = number(MAX_ACK_DELAY_MS);
                ok = n.has_value();
                if (ok) instrument.ackDelayMs = static_cast<unsigned>(*n);
            } else if (key == "silent-after") {
                const auto n = number(std::numeric_limits<unsigned>::max());
                ok = n.has_value();
                if (ok) instrument.silentAfterAcks = static_cast<unsigned>(*n);
            } else if (key == "timeout-ms") {
                const auto n = number(MAX_TIMEOUT_MS);
                ok = n && *n >= MIN_TIMEOUT_MS;
                if (ok) instrument.timeoutMs = static_cast<unsigned>(*n);
            } else if (key == "max-retries") {
                const auto n = number(MAX_RETRIES);
                ok = n.has_value();
                if (ok) instrument.maxRetries = static_cast<unsigned>(*n);
            } else {
                result.error = Describe(lineNumber, "unknown key '" + std::string(key) + "'");
                return result;
            }
            if (!ok) {
                result.error = Describe(lineNumber, "bad value for " + std::string(key) + ": '" +
                                                        std::string(value) + "'");
                return result;
            }
        }
        if (!haveAddress || !haveMac) {
            result.error = Describe(lineNumber, "an instrument needs address= and mac=");
            return result;
        }
        if (!haveSendBytes) instrument.reply.sendBytes = instrument.reply.length;
        // An explicit sname also gives the instrument a boot loader.
        instrument.bootloader = bootloaderName != "none" || explicitServerName.has_value();
        instrument.serverName = explicitServerName ? *explicitServerName
                                                   : (bootloaderName == "none" ? "" : bootloaderName);
        for (const auto& other : result.instruments) {
            if (other.address == instrument.address) {
                result.error = Describe(lineNumber, "address " + FormatAddress(instrument.address) +
                                                        " is already used on line " +
                                                        std::to_string(other.line));
                return result;
            }
        }
        result.instruments.push_back(std::move(instrument));
    }
    return result;
}

}  // namespace lab
