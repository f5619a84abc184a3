// Any datagram on port 23 goes through the acceptance tests and, when accepted, into a
// record and the five column texts. Nothing may read past the datagram, and an accepted
// record must keep its invariants.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "discovery/device_columns.h"
#include "discovery/discovery_protocol.h"
#include "net/address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly the received length, so that the sanitizer sees any read past it.
    auto* datagram = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size > 0) std::memcpy(datagram, data, size);
    const std::span<const std::uint8_t> received(datagram, size);

    const net::Ipv4Address source = net::MakeAddress(10, 23, 0, 10);
    const net::Ipv4Address local = net::MakeAddress(10, 23, 0, 1);
    DeviceRecord record;
    std::memset(&record, 0xA5, sizeof record);
    if (IsDiscoveryReply(received)) {
        FillDeviceRecord(received, source, local, record);
        if (record.address != source || record.interfaceAddress != local) std::abort();
        if (std::memchr(record.description, 0, sizeof record.description) == nullptr) std::abort();
        (void)FormatDeviceColumns(record);
    }
    std::free(datagram);
    return 0;
}
