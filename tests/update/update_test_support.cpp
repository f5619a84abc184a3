#include "tests/update/update_test_support.h"

#include "update/bootp_packet.h"

namespace updatetest {

std::vector<std::uint8_t> MakeBootpRequest(const MacAddress& mac, const std::string& sname) {
    std::vector<std::uint8_t> request(BOOTP_REPLY_LENGTH);
    for (std::size_t i = 0; i < request.size(); ++i) request[i] = static_cast<std::uint8_t>(i * 7 + 3);
    request[BOOTP_OP_OFFSET] = BOOTP_OP_REQUEST;
    request[BOOTP_HTYPE_OFFSET] = BOOTP_HTYPE_ETHERNET;
    request[BOOTP_HLEN_OFFSET] = BOOTP_HLEN_ETHERNET;
    std::copy(mac.begin(), mac.end(), request.begin() + BOOTP_CHADDR_OFFSET);
    std::fill_n(request.begin() + BOOTP_SNAME_OFFSET, BOOTP_SNAME_LENGTH, 0);
    std::copy(sname.begin(), sname.end(), request.begin() + BOOTP_SNAME_OFFSET);
    const std::string otherFile = "boot/other-image.bin";
    std::copy(otherFile.begin(), otherFile.end(), request.begin() + BOOTP_FILE_OFFSET);
    return request;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

std::vector<std::uint8_t> TftpRequest(std::uint16_t opcode, const std::string& file,
                                      const std::string& mode) {
    std::vector<std::uint8_t> request{static_cast<std::uint8_t>(opcode >> 8),
                                      static_cast<std::uint8_t>(opcode & 0xFF)};
    request.insert(request.end(), file.begin(), file.end());
    request.push_back(0);
    request.insert(request.end(), mode.begin(), mode.end());
    request.push_back(0);
    return request;
}

std::vector<std::uint8_t> Ack(std::uint16_t block) {
    return Bytes({0, 4, block >> 8, block & 0xFF});
}

net::UdpSocket BoundSocket(net::Ipv4Address address, std::uint16_t port) {
    net::UdpSocket socket = net::UdpSocket::Create();
    if (!socket.IsOpen() || !socket.SetBroadcast(true) || !socket.Bind(address, port)) return {};
    return socket;
}

bool WaitReadable(const net::UdpSocket& socket, std::chrono::milliseconds limit) {
    const net::UdpSocket* sockets[] = {&socket};
    bool readable[1] = {false};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const net::WaitResult result = net::WaitReadable(sockets, readable, left);
        if (result == net::WaitResult::Ready) return true;
        if (result != net::WaitResult::Interrupted) return false;
    }
}

std::optional<Datagram> Receive(net::UdpSocket& socket, std::chrono::milliseconds limit) {
    if (!WaitReadable(socket, limit)) return std::nullopt;
    std::array<std::uint8_t, 2048> buffer{};
    Datagram datagram;
    const int length = socket.ReceiveFrom(buffer, datagram.source);
    if (length < 0) return std::nullopt;
    datagram.bytes.assign(buffer.begin(), buffer.begin() + length);
    return datagram;
}

std::unique_ptr<std::uint8_t[]> PatternImage(std::size_t size) {
    auto image = std::make_unique<std::uint8_t[]>(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<std::uint8_t>((i * 31 + i / 512 * 7 + 1) & 0xFF);
    return image;
}

}  // namespace updatetest
