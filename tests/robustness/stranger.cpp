// quorvel-stranger: other equipment on the instrument's LAN, run in the lab namespace
// while an update is served. Written on bare POSIX sockets, independent of the product.
//
//   quorvel-stranger chatter --from A --interval-ms N --seconds S
//       a DHCP client that will not give up: a DHCPDISCOVER broadcast to port 67 every N ms.
//   quorvel-stranger hostile --from A --spoof A --server A --device A --mac M --report FILE
//                            --count N --rate R [--seed S]
//       N datagrams at R a second: garbage, truncated and 1500-byte datagrams to 67, 69
//       and the transfer's data port (learnt from the simulator's report), WRQ and unknown
//       opcodes to 69, ACKs with the right block number from a foreign address (--from)
//       and from the instrument's address (--spoof) on a foreign port, BOOTP requests of
//       other MACs, and short and full BOOTP requests with the instrument's MAC, whose
//       replies are compared byte for byte with what was asked. Prints one summary line.
//
// Both end by themselves (bounded) and on SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;

// BOOTP (RFC 951) offsets used here.
constexpr std::size_t BOOTP_LENGTH = 300;
constexpr std::size_t OP = 0, HTYPE = 1, HLEN = 2, XID = 4, YIADDR = 16, SIADDR = 20, CHADDR = 28,
                      SNAME = 44, FILE_FIELD = 108, VEND = 236;
constexpr std::size_t BOOTP_FIXED_PART = VEND;  // shorter requests must not be answered
constexpr char BOOT_FILE[] = "firmware.bin";    // written with its zero byte
constexpr std::uint16_t STRANGER_BOOTP_PORT = 1068;  // where our requests come from

constexpr std::uint16_t TFTP_DATA = 3, TFTP_ERROR = 5;

class Socket {
public:
    Socket(const std::string& address, std::uint16_t port, bool reuse) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        if (reuse) ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in local = Make(address, port);
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    bool Ok() const { return ok_; }

    void Send(const Bytes& datagram, const std::string& address, std::uint16_t port) const {
        const sockaddr_in target = Make(address, port);
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&target),
                 sizeof target);
    }
    // The next queued datagram, if any (never blocks).
    std::optional<Bytes> Receive() const {
        Bytes buffer(2048);
        const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (got < 0) return std::nullopt;
        buffer.resize(static_cast<std::size_t>(got));
        return buffer;
    }

private:
    static sockaddr_in Make(const std::string& address, std::uint16_t port) {
        sockaddr_in result{};
        result.sin_family = AF_INET;
        result.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &result.sin_addr);
        return result;
    }
    int fd_ = -1;
    bool ok_ = false;
};

std::map<std::string, std::string> ParseOptions(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 2; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
    return options;
}

// Random bytes, never a TFTP read request: an RRQ, whoever sends it, rightly restarts the
// transfer and gets block 1.
Bytes RandomBytes(std::mt19937& random, std::size_t length) {
    Bytes bytes(length);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    if (bytes.size() >= 2 && bytes[0] == 0 && bytes[1] == 1) bytes[1] = 2;
    return bytes;
}

// A BOOTP request of hardware address mac with sname "stellaris", random elsewhere.
Bytes BootpRequest(std::mt19937& random, const std::array<std::uint8_t, 6>& mac) {
    Bytes request = RandomBytes(random, BOOTP_LENGTH);
    request[OP] = 1;
    request[HTYPE] = 1;
    request[HLEN] = 6;
    std::memcpy(request.data() + CHADDR, mac.data(), mac.size());
    std::memcpy(request.data() + SNAME, "stellaris", 10);
    return request;
}

// A DHCPDISCOVER as a PC's DHCP client broadcasts it.
Bytes DhcpDiscover(std::uint32_t xid) {
    Bytes request(BOOTP_LENGTH, 0);
    request[OP] = 1;
    request[HTYPE] = 1;
    request[HLEN] = 6;
    for (int i = 0; i < 4; ++i) request[XID + i] = static_cast<std::uint8_t>(xid >> (24 - 8 * i));
    const std::uint8_t mac[] = {0x00, 0x1B, 0x21, 0x0A, 0x0B, 0x0C};
    std::memcpy(request.data() + CHADDR, mac, sizeof mac);
    const std::uint8_t options[] = {99, 130, 83, 99, 53, 1, 1, 255};  // cookie, DISCOVER, end
    std::memcpy(request.data() + VEND, options, sizeof options);
    return request;
}

std::optional<std::array<std::uint8_t, 6>> ParseMac(const std::string& text) {
    std::array<std::uint8_t, 6> mac{};
    unsigned values[6];
    if (std::sscanf(text.c_str(), "%x-%x-%x-%x-%x-%x", &values[0], &values[1], &values[2], &values[3],
                    &values[4], &values[5]) != 6)
        return std::nullopt;
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(values[i]);
    return mac;
}

std::array<std::uint8_t, 4> AddressBytes(const std::string& text) {
    std::array<std::uint8_t, 4> bytes{};
    ::inet_pton(AF_INET, text.c_str(), bytes.data());
    return bytes;
}

int Chatter(const std::map<std::string, std::string>& options) {
    Socket socket(options.at("--from"), 0, false);
    if (!socket.Ok()) return 1;
    const auto interval = std::chrono::milliseconds(std::stoi(options.at("--interval-ms")));
    const auto end = Clock::now() + std::chrono::seconds(std::stoi(options.at("--seconds")));
    std::uint32_t xid = 0x5EED0000;
    while (g_stop == 0 && Clock::now() < end) {
        socket.Send(DhcpDiscover(++xid), "255.255.255.255", 67);
        std::this_thread::sleep_for(interval);
    }
    return 0;
}

// Follows the simulator's report: the server's data port and the last block the boot
// loader took, from its "tftp-data ... block=N ... from=SERVER:PORT" lines.
class ReportFollower {
public:
    ReportFollower(std::string path, std::string server) : path_(std::move(path)), server_(std::move(server)) {}
    void Poll() {
        std::ifstream in(path_);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string line;
        while (std::getline(in, line)) {
            if (in.eof()) break;  // a line still being written: read it next time
            offset_ += line.size() + 1;
            if (line.rfind("tftp-done ", 0) == 0) done = true;
            if (line.rfind("tftp-data ", 0) != 0) continue;
            const auto block = line.find(" block=");
            const auto from = line.find(" from=" + server_ + ":");
            if (block == std::string::npos || from == std::string::npos) continue;
            lastBlock = static_cast<std::uint16_t>(std::stoul(line.substr(block + 7)));
            dataPort = static_cast<std::uint16_t>(std::stoul(line.substr(from + 7 + server_.size())));
        }
    }
    std::uint16_t dataPort = 0;  // 0 until the first block was reported
    std::uint16_t lastBlock = 0;
    bool done = false;

private:
    std::string path_;
    std::string server_;
    std::size_t offset_ = 0;
};

struct Tally {
    unsigned sent = 0, sentDuringTransfer = 0, toDataPort = 0, foreignAcks = 0;
    unsigned dataBlocks = 0, errors = 0, otherReceived = 0;
    unsigned bootpAsked = 0, bootpReplies = 0, bootpOtherMac = 0, bootpMismatches = 0, bootpUnasked = 0;
};

int Hostile(const std::map<std::string, std::string>& options) {
    const std::string server = options.at("--server");
    const auto mac = ParseMac(options.at("--mac"));
    if (!mac) return 2;
    const unsigned count = static_cast<unsigned>(std::stoul(options.at("--count")));
    const double rate = std::stod(options.at("--rate"));
    std::mt19937 random(options.count("--seed") ? static_cast<unsigned>(std::stoul(options.at("--seed"))) : 5u);

    Socket foreign(options.at("--from"), 0, false);              // another host
    Socket samePeerAddress(options.at("--spoof"), 0, false);     // the instrument's address, another port
    Socket bootpOut(options.at("--from"), STRANGER_BOOTP_PORT, true);
    Socket bootpIn("0.0.0.0", STRANGER_BOOTP_PORT, true);        // broadcast replies come here
    if (!foreign.Ok() || !samePeerAddress.Ok() || !bootpOut.Ok() || !bootpIn.Ok()) return 1;

    ReportFollower report(options.at("--report"), server);
    Tally tally;
    std::map<std::uint32_t, Bytes> asked;  // our requests with the instrument's MAC, by xid
    const auto device = AddressBytes(options.at("--device"));
    const auto serverBytes = AddressBytes(server);

    auto checkBootpReply = [&](const Bytes& reply) {
        ++tally.bootpReplies;
        if (reply.size() < CHADDR + 6 || !std::equal(mac->begin(), mac->end(), reply.begin() + CHADDR)) {
            ++tally.bootpOtherMac;
            return;
        }
        const std::uint32_t xid = (std::uint32_t{reply[XID]} << 24) | (reply[XID + 1] << 16) |
                                  (reply[XID + 2] << 8) | reply[XID + 3];
        const auto request = asked.find(xid);
        if (request == asked.end()) {
            ++tally.bootpUnasked;
            return;
        }
        // What the responder may send: the request, zeros past its end, and its own fields.
        Bytes expected(BOOTP_LENGTH, 0);
        std::copy(request->second.begin(), request->second.end(), expected.begin());
        expected[OP] = 2;
        std::copy(device.begin(), device.end(), expected.begin() + YIADDR);
        std::copy(serverBytes.begin(), serverBytes.end(), expected.begin() + SIADDR);
        std::memcpy(expected.data() + FILE_FIELD, BOOT_FILE, sizeof BOOT_FILE);
        if (reply != expected) ++tally.bootpMismatches;
    };
    auto drain = [&] {
        for (const Socket* socket : {&foreign, &samePeerAddress, &bootpOut}) {
            while (auto datagram = socket->Receive()) {
                const unsigned opcode = datagram->size() >= 2 ? (((*datagram)[0] << 8) | (*datagram)[1]) : 0;
                if (opcode == TFTP_DATA) ++tally.dataBlocks;
                else if (opcode == TFTP_ERROR) ++tally.errors;
                else ++tally.otherReceived;
            }
        }
        while (auto datagram = bootpIn.Receive()) checkBootpReply(*datagram);
    };

    const auto start = Clock::now();
    std::uint32_t dhcpXid = 0xD0C00000;
    // Sends one datagram of the flood, paced to the rate: the n-th goes out n / rate
    // seconds after the start.
    auto send = [&](const Socket& from, const Bytes& datagram, const std::string& address, std::uint16_t port) {
        from.Send(datagram, address, port);
        ++tally.sent;
        if (report.dataPort != 0 && port == report.dataPort) ++tally.toDataPort;
        if (report.dataPort != 0 && !report.done) ++tally.sentDuringTransfer;
        std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(tally.sent * 1e6 / rate)));
    };
    for (unsigned i = 0; tally.sent < count && g_stop == 0; ++i) {
        if (i % 8 == 0) {
            report.Poll();
            drain();
        }
        const std::uint16_t dataPort = report.dataPort;
        // Until the transfer has a data port, what is meant for it goes to 69.
        const std::uint16_t transferPort = dataPort != 0 ? dataPort : std::uint16_t{69};
        const std::uint16_t rotating = std::array<std::uint16_t, 3>{67, 69, transferPort}[(i / 16) % 3];
        switch (i % 16) {
            case 0: send(foreign, RandomBytes(random, 1 + random() % 700), server, 67); break;
            case 1: send(foreign, RandomBytes(random, 1 + random() % 700), server, 69); break;
            case 2: send(foreign, RandomBytes(random, 1 + random() % 700), server, transferPort); break;
            case 3: send(foreign, RandomBytes(random, 1500), server, rotating); break;
            case 4: send(foreign, RandomBytes(random, random() % 4), server, rotating); break;
            case 5: {  // WRQ
                Bytes wrq = {0, 2};
                for (char c : std::string("firmware.bin\0octet", 18)) wrq.push_back(static_cast<std::uint8_t>(c));
                wrq.push_back(0);
                send(foreign, wrq, server, 69);
                break;
            }
            case 6: {  // unknown and misplaced opcodes, with some payload
                Bytes packet = RandomBytes(random, 4 + random() % 20);
                const std::uint16_t opcodes[] = {0, 3, 4, 5, 6, 7, 0x0100, 0xFFFF};
                const std::uint16_t opcode = opcodes[random() % 8];
                packet[0] = static_cast<std::uint8_t>(opcode >> 8);
                packet[1] = static_cast<std::uint8_t>(opcode);
                send(foreign, packet, server, 69);
                break;
            }
            case 7:
            case 8: {  // ACKs of the block in flight and of the next, from strangers
                if (dataPort == 0) {
                    send(foreign, RandomBytes(random, 4), server, 69);
                    break;
                }
                const Socket& from = i % 16 == 7 ? foreign : samePeerAddress;
                for (std::uint16_t block : {report.lastBlock, static_cast<std::uint16_t>(report.lastBlock + 1)}) {
                    send(from, {0, 4, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)}, server,
                         dataPort);
                    ++tally.foreignAcks;
                }
                break;
            }
            case 9:
            case 10: {  // requests of other boot loaders: never answered
                auto other = *mac;
                other[5] = static_cast<std::uint8_t>(other[5] ^ (1 + random() % 255));
                send(bootpOut, BootpRequest(random, other), i % 16 == 9 ? "255.255.255.255" : server, 67);
                break;
            }
            case 11:
            case 12: {  // requests with the instrument's MAC, short or whole, once the
                        // transfer runs (an answer before it would stop the wake-up packets)
                if (dataPort == 0) {
                    send(bootpOut, DhcpDiscover(++dhcpXid), "255.255.255.255", 67);
                    break;
                }
                const std::size_t lengths[] = {1, 7, 100, BOOTP_FIXED_PART - 1, BOOTP_FIXED_PART, 240, 299, 300};
                Bytes request = BootpRequest(random, *mac);
                request.resize(lengths[random() % 8]);
                if (request.size() >= BOOTP_FIXED_PART) {
                    const std::uint32_t xid = (std::uint32_t{request[XID]} << 24) | (request[XID + 1] << 16) |
                                              (request[XID + 2] << 8) | request[XID + 3];
                    asked[xid] = request;
                    ++tally.bootpAsked;
                }
                send(bootpOut, request, server, 67);
                break;
            }
            case 13: send(bootpOut, DhcpDiscover(++dhcpXid), "255.255.255.255", 67); break;
            case 14: {  // DATA and ERROR opcodes to the data port
                Bytes packet = RandomBytes(random, 4 + random() % 516);
                packet[0] = 0;
                packet[1] = static_cast<std::uint8_t>(random() % 2 ? TFTP_DATA : TFTP_ERROR);
                send(foreign, packet, server, transferPort);
                break;
            }
            case 15: send(samePeerAddress, RandomBytes(random, 1 + random() % 1500), server, transferPort); break;
        }
    }
    const auto floodEnd = Clock::now();
    // Replies still on their way.
    const auto settle = Clock::now() + std::chrono::milliseconds(500);
    while (Clock::now() < settle) {
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto floodMs = std::chrono::duration_cast<std::chrono::milliseconds>(floodEnd - start).count();
    std::printf(
        "sent=%u sent-during-transfer=%u to-data-port=%u foreign-acks=%u flood-ms=%lld data-blocks=%u "
        "errors=%u other=%u bootp-asked=%u bootp-replies=%u bootp-other-mac=%u bootp-mismatches=%u "
        "bootp-unasked=%u\n",
        tally.sent, tally.sentDuringTransfer, tally.toDataPort, tally.foreignAcks, static_cast<long long>(floodMs),
        tally.dataBlocks, tally.errors, tally.otherReceived, tally.bootpAsked, tally.bootpReplies,
        tally.bootpOtherMac, tally.bootpMismatches, tally.bootpUnasked);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    struct sigaction action {};
    action.sa_handler = [](int) { g_stop = 1; };
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    const auto options = ParseOptions(argc, argv);
    try {
        if (mode == "chatter") return Chatter(options);
        if (mode == "hostile") return Hostile(options);
    } catch (const std::exception& error) {  // a missing or malformed option
        std::fprintf(stderr, "quorvel-stranger: %s\n", error.what());
    }
    return 2;
}
