#include "discovery/discovery_protocol.h"

#include <cstring>
#include <type_traits>

static_assert(DISCOVERY_REQUEST[DISCOVERY_REQUEST_LENGTH - 1] ==
              static_cast<std::uint8_t>(-(REQUEST_TAG + DISCOVERY_REQUEST_LENGTH + CMD_DISCOVER)));
static_assert(std::is_trivially_copyable_v<DeviceRecord>);
static_assert(REPLY_DESCRIPTION_SIZE == DESCRIPTION_LENGTH);
static_assert(REPLY_MAC_SIZE == std::tuple_size_v<decltype(DeviceRecord::mac)>);
static_assert(REPLY_EXTRA_SIZE == std::tuple_size_v<decltype(DeviceRecord::extra)>);

namespace {

std::uint8_t ByteSum(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t byte : bytes) sum = static_cast<std::uint8_t>(sum + byte);
    return sum;
}

}  // namespace

std::uint8_t FrameChecksum(std::span<const std::uint8_t> bytesBeforeChecksum) {
    return static_cast<std::uint8_t>(0u - ByteSum(bytesBeforeChecksum));
}

bool IsDiscoveryReply(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < MIN_FRAME_LENGTH) return false;
    if (datagram[FRAME_TAG_OFFSET] != REPLY_TAG) return false;
    const std::size_t length = datagram[FRAME_LENGTH_OFFSET];
    if (length < MIN_FRAME_LENGTH) return false;
    if (datagram[FRAME_COMMAND_OFFSET] != CMD_DISCOVER) return false;
    if (datagram.size() < length) return false;
    return ByteSum(datagram.first(length)) == 0;
}

bool FillDeviceRecord(std::span<const std::uint8_t> reply, net::Ipv4Address source,
                      net::Ipv4Address interfaceAddress, DeviceRecord& record) {
    // All zero bytes, so every field the reply does not carry reads zero.
    std::memset(&record, 0, sizeof record);
    record.interfaceAddress = interfaceAddress;
    record.address = source;
    // Bounds only; the caller has already applied the acceptance tests.
    if (reply.size() < MIN_FRAME_LENGTH || reply.size() < reply[FRAME_LENGTH_OFFSET]) return false;
    const std::size_t length = reply[FRAME_LENGTH_OFFSET];

    if (length > REPLY_DEVICE_TYPE_THRESHOLD) record.deviceType = reply[REPLY_DEVICE_TYPE_OFFSET];
    if (length > REPLY_NUMBER_THRESHOLD) record.number = reply[REPLY_NUMBER_OFFSET];
    if (length > REPLY_EXTRA_THRESHOLD) {
        for (std::size_t i = 0; i < REPLY_EXTRA_SIZE; ++i) record.extra[i] = reply[REPLY_EXTRA_OFFSET + i];
    }
    const bool macFromReply = length > REPLY_MAC_THRESHOLD;
    if (macFromReply) {
        for (std::size_t i = 0; i < REPLY_MAC_SIZE; ++i) record.mac[i] = reply[REPLY_MAC_OFFSET + i];
    }
    if (length > REPLY_VERSION_THRESHOLD) {
        std::uint32_t version = 0;
        for (std::size_t i = REPLY_VERSION_SIZE; i-- > 0;) {
            version = (version << 8) | reply[REPLY_VERSION_OFFSET + i];
        }
        record.version = version;
    }
    if (length > REPLY_DESCRIPTION_THRESHOLD) {
        for (std::size_t i = 0; i < REPLY_DESCRIPTION_SIZE; ++i) {
            record.description[i] = static_cast<char>(reply[REPLY_DESCRIPTION_OFFSET + i]);
        }
        // At most 63 characters, always terminated.
        record.description[DESCRIPTION_LENGTH - 1] = '\0';
    }
    return !macFromReply;
}
