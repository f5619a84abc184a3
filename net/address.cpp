#include "net/address.h"

#include <charconv>
#include <cstring>

namespace net {

Ipv4Address MakeAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t bytes[4] = {a, b, c, d};
    Ipv4Address address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

std::uint8_t AddressByte(Ipv4Address address, int index) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    return bytes[index & 3];
}

std::optional<Ipv4Address> ParseAddress(std::string_view text) {
    std::uint8_t bytes[4];
    const char* position = text.data();
    const char* const end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (position == end || *position != '.') return std::nullopt;
            ++position;
        }
        if (position == end || *position < '0' || *position > '9') return std::nullopt;
        unsigned value = 0;
        const auto [next, error] = std::from_chars(position, end, value);
        if (error != std::errc() || value > 255 || next - position > 3) return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(value);
        position = next;
    }
    if (position != end) return std::nullopt;
    return MakeAddress(bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::string FormatAddress(Ipv4Address address) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) text += '.';
        text += std::to_string(AddressByte(address, i));
    }
    return text;
}

}  // namespace net
