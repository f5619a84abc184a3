#pragma once
// The texts that list a found instrument, one per column of the device list (the
// window and the command-line front end show the same texts).

#include <array>
#include <string>

#include "discovery/device_record.h"

enum DeviceColumn { COLUMN_ADDRESS, COLUMN_MAC, COLUMN_NUMBER, COLUMN_VERSION, COLUMN_DESCRIPTION,
                    DEVICE_COLUMN_COUNT };

// "%d.%d.%d.%d", "%02X-...", "%08X", "%d.%d" or "%d" by device type, description.
std::array<std::wstring, DEVICE_COLUMN_COUNT> FormatDeviceColumns(const DeviceRecord& record);

// The description up to its zero byte, read as Windows-1251 (the Russian single-byte
// code page, which the instruments use); every byte maps to one character.
std::wstring DecodeDescription(const DeviceRecord& record);
