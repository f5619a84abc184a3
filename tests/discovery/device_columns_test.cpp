// The texts of one device-list row, and the Windows-1251 reading of descriptions.
#include <gtest/gtest.h>

#include <iconv.h>

#include <cstring>
#include <string>

#include "discovery/device_columns.h"

namespace {

DeviceRecord Record(std::uint8_t deviceType, std::uint32_t version) {
    DeviceRecord record;
    std::memset(&record, 0, sizeof record);
    record.deviceType = deviceType;
    record.version = version;
    return record;
}

TEST(DeviceColumns, AddressMacAndNumber) {
    DeviceRecord record = Record(1, 0);
    record.address = net::MakeAddress(192, 168, 1, 10);
    record.mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    record.number = 5;
    auto columns = FormatDeviceColumns(record);
    EXPECT_EQ(columns[COLUMN_ADDRESS], L"192.168.1.10");
    EXPECT_EQ(columns[COLUMN_MAC], L"00-1A-2B-3C-4D-5E");
    EXPECT_EQ(columns[COLUMN_NUMBER], L"00000005");

    record.address = net::MakeAddress(255, 255, 255, 255);
    record.mac = {0xFF, 0xFE, 0xAB, 0xCD, 0xEF, 0x01};
    record.number = 0xFF;
    columns = FormatDeviceColumns(record);
    EXPECT_EQ(columns[COLUMN_ADDRESS], L"255.255.255.255");
    EXPECT_EQ(columns[COLUMN_MAC], L"FF-FE-AB-CD-EF-01");
    EXPECT_EQ(columns[COLUMN_NUMBER], L"000000FF");

    columns = FormatDeviceColumns(Record(0, 0));
    EXPECT_EQ(columns[COLUMN_ADDRESS], L"0.0.0.0");
    EXPECT_EQ(columns[COLUMN_MAC], L"00-00-00-00-00-00");
    EXPECT_EQ(columns[COLUMN_NUMBER], L"00000000");
}

TEST(DeviceColumns, VersionByDeviceType) {
    const struct {
        std::uint8_t deviceType;
        std::uint32_t version;
        const wchar_t* text;
    } cases[] = {
        {1, 0x00020005, L"2.5"},          // major in the upper half
        {0, 0x00020005, L"131077"},       // one number for any other type
        {2, 0x00020005, L"131077"},
        {1, 0xFFFFFFFF, L"65535.65535"},  // halves are unsigned
        {0, 0xFFFFFFFF, L"-1"},           // the 32 bits are signed
        {7, 0x80000000, L"-2147483648"},
        {255, 0x7FFFFFFF, L"2147483647"},
        {1, 0x00000000, L"0.0"},
        {0, 0x00000000, L"0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatDeviceColumns(Record(c.deviceType, c.version))[COLUMN_VERSION], c.text)
            << "type " << int(c.deviceType) << " version " << c.version;
    }
}

TEST(DeviceColumns, DescriptionFromWindows1251) {
    const struct {
        const char* bytes;
        std::wstring text;
    } cases[] = {
        {"", L""},
        {"Meter 7", L"Meter 7"},
        {"\xCF\xF0\xE8\xE1\xEE\xF0", L"Прибор"},
        {"\xA8\xB8\xC0\xFF", L"ЁёАя"},
        {"\x80\x88\xB9\x96", L"\u0402\u20AC\u2116\u2013"},
        {"\x98", std::wstring(1, wchar_t(0x98))},  // unassigned: passes through
        {"\xA0\xAD", L"\u00A0\u00AD"},
    };
    for (const auto& c : cases) {
        DeviceRecord record = Record(0, 0);
        std::strcpy(record.description, c.bytes);
        const auto columns = FormatDeviceColumns(record);
        EXPECT_EQ(columns[COLUMN_DESCRIPTION], c.text) << c.bytes;
        EXPECT_EQ(DecodeDescription(record), c.text);
    }
}

TEST(DeviceColumns, DescriptionStopsAtTheEndOfTheFieldWithoutZero) {
    // Records are always terminated, but a record filled by hand must not be read past.
    DeviceRecord record = Record(0, 0);
    std::memset(record.description, 'x', DESCRIPTION_LENGTH);
    EXPECT_EQ(DecodeDescription(record), std::wstring(DESCRIPTION_LENGTH, L'x'));
}

// Every byte but 0x98 against the C library's own Windows-1251 converter.
TEST(DeviceColumns, EveryByteAgreesWithTheSystemConverter) {
    iconv_t converter = iconv_open("WCHAR_T", "CP1251");
    if (converter == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "no CP1251 converter";
    for (int byte = 1; byte < 256; ++byte) {
        if (byte == 0x98) continue;
        char in[1] = {static_cast<char>(byte)};
        wchar_t out[2] = {};
        char* inPointer = in;
        std::size_t inLeft = 1;
        char* outPointer = reinterpret_cast<char*>(out);
        std::size_t outLeft = sizeof out;
        ASSERT_NE(iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft), static_cast<std::size_t>(-1))
            << "byte " << byte;
        DeviceRecord record = Record(0, 0);
        record.description[0] = static_cast<char>(byte);
        EXPECT_EQ(DecodeDescription(record), std::wstring(1, out[0])) << "byte " << byte;
    }
    iconv_close(converter);
}

}  // namespace
