#include "discovery/device_columns.h"

#include <cstdint>
#include <cwchar>

namespace {

// Windows-1251: every byte is one character. 0x00..0x7F are ASCII, 0xC0..0xFF the 64
// Cyrillic letters А..я (U+0410..U+044F); 0x98, unassigned, passes through as U+0098.
constexpr wchar_t CP1251_80_BF[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88..8F
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98..9F
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0..A7
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8..AF
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0..B7
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8..BF
};

struct CodePageTable {
    wchar_t characters[256];
};

constexpr CodePageTable MakeCp1251Table() {
    CodePageTable table{};
    for (int byte = 0; byte < 0x80; ++byte) table.characters[byte] = static_cast<wchar_t>(byte);
    for (int byte = 0x80; byte < 0xC0; ++byte) table.characters[byte] = CP1251_80_BF[byte - 0x80];
    for (int byte = 0xC0; byte < 0x100; ++byte) {
        table.characters[byte] = static_cast<wchar_t>(0x0410 + (byte - 0xC0));
    }
    return table;
}

constexpr CodePageTable CP1251 = MakeCp1251Table();
static_assert(CP1251.characters[0x41] == L'A' && CP1251.characters[0xC0] == 0x0410 &&
              CP1251.characters[0xFF] == 0x044F && CP1251.characters[0xA8] == 0x0401);

// One cell text; no text here exceeds 17 characters.
constexpr std::size_t CELL_BUFFER_SIZE = 256;

template <typename... Args>
std::wstring FormatCell(const wchar_t* format, Args... args) {
    wchar_t buffer[CELL_BUFFER_SIZE];
    const int written = std::swprintf(buffer, CELL_BUFFER_SIZE, format, args...);
    return written < 0 ? std::wstring() : std::wstring(buffer, static_cast<std::size_t>(written));
}

}  // namespace

std::wstring DecodeDescription(const DeviceRecord& record) {
    std::wstring text;
    for (char c : record.description) {
        if (c == '\0') break;
        text.push_back(CP1251.characters[static_cast<unsigned char>(c)]);
    }
    return text;
}

std::array<std::wstring, DEVICE_COLUMN_COUNT> FormatDeviceColumns(const DeviceRecord& record) {
    std::array<std::wstring, DEVICE_COLUMN_COUNT> columns;
    columns[COLUMN_ADDRESS] =
        FormatCell(L"%d.%d.%d.%d", net::AddressByte(record.address, 0), net::AddressByte(record.address, 1),
                   net::AddressByte(record.address, 2), net::AddressByte(record.address, 3));
    const auto& mac = record.mac;
    columns[COLUMN_MAC] = FormatCell(L"%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3],
                                     mac[4], mac[5]);
    columns[COLUMN_NUMBER] = FormatCell(L"%08X", static_cast<unsigned>(record.number));
    if (record.deviceType == 1) {
        // Major in the upper half, minor in the lower half, both unsigned.
        columns[COLUMN_VERSION] =
            FormatCell(L"%u.%u", static_cast<unsigned>(record.version >> 16),
                       static_cast<unsigned>(record.version & 0xFFFFu));
    } else {
        columns[COLUMN_VERSION] = FormatCell(L"%d", static_cast<int>(static_cast<std::int32_t>(record.version)));
    }
    columns[COLUMN_DESCRIPTION] = DecodeDescription(record);
    return columns;
}
