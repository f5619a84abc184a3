#pragma once
// An update session for driving datagrams through the real BOOTP and TFTP handlers without
// a network: what they would send is captured, the data sockets they open are unbound
// sockets that nothing is ever sent on, and every line and percentage they report is kept.
// Nothing leaves the process and no port is bound.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/address.h"
#include "net/udp_socket.h"
#include "update/update_session.h"

namespace fuzzsession {

struct SentDatagram {
    const net::UdpSocket* socket = nullptr;  // the session's socket it would leave from
    std::vector<std::uint8_t> bytes;
    net::Endpoint destination;
};

struct Capture {
    std::vector<SentDatagram> sent;
    std::vector<std::uint16_t> dataPorts;  // every port a data socket was asked for
    bool refuseDataSockets = false;        // every data socket fails to open
    std::vector<std::wstring> lines;
    std::vector<unsigned> progress;

    void Clear() {
        sent.clear();
        dataPorts.clear();
        lines.clear();
        progress.clear();
    }

    static int Send(void* context, const net::UdpSocket& socket, std::span<const std::uint8_t> datagram,
                    net::Endpoint destination) {
        static_cast<Capture*>(context)->sent.push_back(
            SentDatagram{&socket, {datagram.begin(), datagram.end()}, destination});
        return static_cast<int>(datagram.size());
    }
    static net::UdpSocket Open(void* context, net::Ipv4Address, std::uint16_t port) {
        auto* self = static_cast<Capture*>(context);
        self->dataPorts.push_back(port);
        if (self->refuseDataSockets) return {};
        return net::UdpSocket::Create();  // never bound, never sent on
    }
    static void Log(void* context, const wchar_t* text) { static_cast<Capture*>(context)->lines.emplace_back(text); }
    static void Progress(void* context, unsigned percent) {
        static_cast<Capture*>(context)->progress.push_back(percent);
    }
};

const MacAddress FUZZ_MAC{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const net::Ipv4Address FUZZ_INTERFACE = net::MakeAddress(10, 23, 0, 1);
const net::Ipv4Address FUZZ_DEVICE = net::MakeAddress(10, 23, 0, 10);

// A session wired to capture; no socket of it is open.
inline std::unique_ptr<UpdateSession> MakeSession(Capture& capture) {
    auto session = std::make_unique<UpdateSession>();
    session->macAddress = FUZZ_MAC;
    session->interfaceAddress = FUZZ_INTERFACE;
    session->deviceAddress = FUZZ_DEVICE;
    session->logSink = Capture::Log;
    session->progressSink = Capture::Progress;
    session->context = &capture;
    session->sendDatagram = Capture::Send;
    session->openDataSocket = Capture::Open;
    session->networkContext = &capture;
    return session;
}

// Puts a datagram into packet as a receive does: only its own bytes are written.
inline void Receive(UpdateSession& session, std::span<const std::uint8_t> datagram, net::Endpoint source) {
    std::copy(datagram.begin(), datagram.end(), session.packet.begin());
    session.peerAddress = source;
}

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void Check(bool holds, const char* what) {
    if (!holds) Fail(what);
}

}  // namespace fuzzsession
