#pragma once
// The BOOTP responder: answers the boot loader's request, and only that, with the
// instrument's own address, the workstation's interface address and "firmware.bin".

#include <cstddef>
#include <span>

#include "net/address.h"
#include "update/update_session.h"

// Whether request is the boot loader's: op 1, Ethernet hardware of length 6 with
// macAddress, and an sname of exactly "stellaris" or "tiva" in any letter case.
// Requests shorter than the fixed BOOTP part are not.
bool IsBootLoaderRequest(std::span<const std::uint8_t> request, const MacAddress& macAddress);

// Turns the request in the first receivedLength bytes of packet into the reply, in
// place; bytes of the reply beyond those received are zero. Returns the reply length.
std::size_t BuildBootpReply(std::span<std::uint8_t, PACKET_BUFFER_SIZE> packet,
                            std::size_t receivedLength, net::Ipv4Address deviceAddress,
                            net::Ipv4Address interfaceAddress);

// Receives one datagram from bootpSocket and answers it by broadcast to the port it came
// from, or drops it. Sets bootpAnswered when it answers.
void AnswerBootpRequest(UpdateSession& session);

// Everything AnswerBootpRequest does after its receive: the datagram is the first length
// bytes of packet, its sender is in peerAddress.
void AnswerBootpDatagram(UpdateSession& session, std::size_t length);
