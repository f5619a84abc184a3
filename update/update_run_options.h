#pragma once
// RunFirmwareUpdate with its fixed settings opened up, and with a report of how the run
// ended. The product runs with the defaults; tests shorten the wait or make a socket fail.

#include <array>
#include <chrono>
#include <cstdint>

#include "net/address.h"
#include "net/udp_socket.h"
#include "update/open_udp_socket.h"
#include "update/update_run.h"

using SocketOpener = net::UdpSocket (*)(int broadcast, bool bindLocal,
                                        net::Ipv4Address localAddress, std::uint16_t localPort);

struct UpdateRunOptions {
    // Longest wait of one pass of the loop; the product waits 500 ms.
    std::chrono::milliseconds waitInterval{500};
    // Opens the BOOTP, TFTP and wake-up sockets (data sockets always use OpenUdpSocket).
    SocketOpener openSocket = OpenUdpSocket;
};

struct UpdateRunReport {
    bool transferCompleted = false;  // the last block was acknowledged
    bool waitFailed = false;         // the loop ended because a wait failed
};

// The result is that of RunFirmwareUpdate; report, when given, tells a completed transfer
// from a stopped run (both return UPDATE_DONE).
int RunFirmwareUpdateWithOptions(const UpdateRunOptions& options,
                                 const std::array<std::uint8_t, 6>& macAddress,
                                 net::Ipv4Address interfaceAddress, net::Ipv4Address deviceAddress,
                                 const wchar_t* filePath, LogSink logSink,
                                 ProgressSink progressSink, void* context,
                                 UpdateRunReport* report = nullptr);
