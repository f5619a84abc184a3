#pragma once
// One found instrument and the table of the latest sweep.

#include <array>
#include <cstdint>

#include "net/address.h"

constexpr int MAX_DEVICES = 256;
constexpr int DESCRIPTION_LENGTH = 64;

struct DeviceRecord {
    std::uint8_t deviceType;
    std::uint8_t number;
    std::array<std::uint8_t, 6> mac;
    net::Ipv4Address address;           // source address of the reply (network byte order)
    std::array<std::uint8_t, 4> extra;  // reply bytes 5..8 as received
    std::uint32_t version;
    char description[DESCRIPTION_LENGTH];  // single-byte text, always zero-terminated
    net::Ipv4Address interfaceAddress;  // local address of the socket that took the reply
};

struct DeviceTable {
    std::int32_t count;
    DeviceRecord records[MAX_DEVICES];
};
