#pragma once
// One firmware update of one instrument, from reading the image to the last ACK.

#include <array>
#include <cstdint>

#include "net/address.h"
#include "update/update_callbacks.h"

// Results of RunFirmwareUpdate.
enum UpdateResult : int {
    UPDATE_DONE = 0,            // the loop ran and ended (transfer complete or stop raised)
    UPDATE_FILE_FAILED = 1,     // the file cannot be opened, allocated or read whole
    UPDATE_BOOTP_SOCKET_FAILED = 2,
    UPDATE_TFTP_SOCKET_FAILED = 3,
    UPDATE_MAGIC_SOCKET_FAILED = 4,
};

int RunFirmwareUpdate(const std::array<std::uint8_t, 6>& macAddress,
                      net::Ipv4Address interfaceAddress, net::Ipv4Address deviceAddress,
                      const wchar_t* filePath, LogSink logSink, ProgressSink progressSink,
                      void* context);
