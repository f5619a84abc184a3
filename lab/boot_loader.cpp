#include "lab/boot_loader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace lab {
namespace {

constexpr std::size_t TFTP_RECEIVE_BUFFER = 2048;
// A readable socket is drained at most this far per wake of the loop, so that one busy
// peer cannot starve the others.
constexpr int MAX_DATAGRAMS_PER_PASS = 64;

std::string Hex32(std::uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

bool WriteAll(int descriptor, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const ssize_t written = ::write(descriptor, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data = data.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

BootLoader::BootLoader(const InstrumentConfig& config, unsigned interfaceIndex, FaultPlan& faults,
                       BootLoaderContext& context)
    : config_(config),
      interfaceIndex_(interfaceIndex),
      faults_(faults),
      context_(context),
      macText_(FormatMac(config.reply.mac)) {
    finalPath_ = context_.outputDirectory + "/received-" + macText_ + ".bin";
    partialPath_ = finalPath_ + ".part";
}

BootLoader::~BootLoader() { EndTransfer(); }

std::string BootLoader::Tag() const { return "mac=" + macText_; }

std::optional<Clock::time_point> BootLoader::Deadline() const {
    if (phase_ == Phase::Asleep) return std::nullopt;
    return deadline_;
}

void BootLoader::OnWake(Clock::time_point now) {
    if (phase_ == Phase::Dallying) EndTransfer();
    if (phase_ != Phase::Asleep) return;  // already awake: a running boot loader ignores it
    phase_ = Phase::WaitingForBootp;
    wokeAt_ = now;
    retries_ = 0;
    xid_ = static_cast<std::uint32_t>(context_.random());
    SendBootpRequest(now);
}

void BootLoader::SendBootpRequest(Clock::time_point now) {
    std::array<std::uint8_t, BOOTP_MESSAGE_LENGTH> request{};
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - wokeAt_).count();
    BuildBootpRequest(request, xid_, config_.reply.mac, config_.serverName,
                      static_cast<std::uint16_t>(std::min<long long>(seconds, 0xFFFF)));
    context_.report.Line("bootp-request " + Tag() + " xid=" + Hex32(xid_) +
                         " sname=" + config_.serverName + " attempt=" + std::to_string(retries_ + 1));
    const auto decision = faults_.Next(PacketKind::Bootp);
    const Peer broadcast{{255, 255, 255, 255}, BOOTP_SERVER_PORT};
    if (decision.drop) {
        context_.report.Line("fault " + Tag() + " action=drop packet=bootp:" +
                             std::to_string(decision.ordinal));
    } else {
        context_.bootpClientSocket.SendFrom(request, config_.address, interfaceIndex_, broadcast);
        if (decision.duplicate) {
            context_.report.Line("fault " + Tag() + " action=duplicate packet=bootp:" +
                                 std::to_string(decision.ordinal));
            context_.bootpClientSocket.SendFrom(request, config_.address, interfaceIndex_, broadcast);
        }
    }
    deadline_ = now + std::chrono::milliseconds(config_.timeoutMs);
}

void BootLoader::OnBootpDatagram(std::span<const std::uint8_t> datagram, const Peer& from,
                                 Clock::time_point now) {
    if (phase_ != Phase::WaitingForBootp) return;
    BootpReply reply;
    const BootpVerdict verdict = CheckBootpReply(datagram, xid_, config_.reply.mac, reply);
    if (verdict == BootpVerdict::NotOurs) return;
    if (verdict != BootpVerdict::Accepted) {
        context_.report.Line("bootp-ignored " + Tag() + " reason=" + std::string(VerdictName(verdict)) +
                             " from=" + FormatPeer(from));
        return;
    }
    context_.report.Line("bootp-reply " + Tag() + " yiaddr=" + FormatAddress(reply.yourAddress) +
                         " siaddr=" + FormatAddress(reply.serverAddress) +
                         " file=" + std::string(reply.file) + " from=" + FormatPeer(from));
    StartTransfer(reply, now);
}

void BootLoader::StartTransfer(const BootpReply& reply, Clock::time_point now) {
    phase_ = Phase::Transferring;
    server_ = Peer{reply.serverAddress, TFTP_SERVER_PORT};
    serverTid_.reset();
    expectedBlock_ = 1;
    receivedBytes_ = 0;
    newAcks_ = 0;
    heldAck_.reset();
    retries_ = 0;
    hash_.Reset();
    if (!socket_.Open(config_.address)) {
        Fail("socket");
        return;
    }
    output_.Reset(::open(partialPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!output_.IsOpen()) {
        Fail("output-file");
        return;
    }
    rememberedLength_ = BuildReadRequest(remembered_, reply.file);
    rememberedKind_ = PacketKind::Rrq;
    rememberedDestination_ = server_;
    context_.report.Line("tftp-rrq " + Tag() + " server=" + FormatPeer(server_) +
                         " file=" + std::string(reply.file) +
                         " port=" + std::to_string(socket_.LocalPort()));
    rrqSentAt_ = Clock::now();
    SendRemembered(now);
}

void BootLoader::SendTftp(PacketKind kind, std::span<const std::uint8_t> packet,
                          const Peer& destination) {
    const auto decision = faults_.Next(kind);
    const std::string name = std::string(PacketKindName(kind)) + ":" + std::to_string(decision.ordinal);
    if (decision.drop) {
        context_.report.Line("fault " + Tag() + " action=drop packet=" + name);
        return;
    }
    socket_.SendTo(packet, destination);
    if (decision.duplicate) {
        context_.report.Line("fault " + Tag() + " action=duplicate packet=" + name);
        socket_.SendTo(packet, destination);
    }
}

void BootLoader::SendRemembered(Clock::time_point now) {
    ackDelayed_ = false;
    SendTftp(rememberedKind_, std::span(remembered_).first(rememberedLength_), rememberedDestination_);
    deadline_ = now + std::chrono::milliseconds(config_.timeoutMs);
}

void BootLoader::SendAck(std::uint16_t block, Clock::time_point now) {
    rememberedLength_ = BuildAck(remembered_, block);
    rememberedKind_ = PacketKind::Ack;
    rememberedDestination_ = Peer{server_.address, serverTid_.value_or(server_.port)};
    SendRemembered(now);
}

void BootLoader::SendError(std::uint16_t code, std::string_view message, const Peer& destination) {
    std::array<std::uint8_t, TFTP_MAX_ERROR_PACKET> packet{};
    const std::size_t length = BuildError(packet, code, message);
    socket_.SendTo(std::span(packet).first(length), destination);
}

void BootLoader::OnTftpReadable(Clock::time_point now) {
    std::array<std::uint8_t, TFTP_RECEIVE_BUFFER> buffer{};
    for (int i = 0; i < MAX_DATAGRAMS_PER_PASS && socket_.IsOpen(); ++i) {
        std::size_t length = 0;
        Peer source;
        const ReceiveStatus status = socket_.Receive(buffer, length, source);
        if (status == ReceiveStatus::Empty) return;
        if (status == ReceiveStatus::Dropped) continue;  // oversized, or an ICMP error
        HandleTftpDatagram(std::span(buffer).first(length), source, now);
    }
}

void BootLoader::HandleTftpDatagram(std::span<const std::uint8_t> datagram, const Peer& source,
                                    Clock::time_point now) {
    if (phase_ == Phase::Silenced) return;
    const bool fromServer = serverTid_ ? source == Peer{server_.address, *serverTid_}
                                       : source.address == server_.address;
    if (!fromServer) {
        context_.report.Line("tftp-foreign " + Tag() + " from=" + FormatPeer(source));
        SendError(TFTP_ERROR_UNKNOWN_TID, "Unknown transfer ID", source);
        return;
    }
    const auto header = ParseTftpHeader(datagram);
    if (!header) {
        context_.report.Line("tftp-unexpected " + Tag() + " bytes=" + std::to_string(datagram.size()) +
                             " from=" + FormatPeer(source));
        return;
    }
    if (header->opcode == TFTP_ERROR) {
        if (phase_ == Phase::Transferring) Fail("server-error-" + std::to_string(header->field));
        return;
    }
    if (header->opcode != TFTP_DATA) {
        context_.report.Line("tftp-unexpected " + Tag() + " opcode=" + std::to_string(header->opcode) +
                             " from=" + FormatPeer(source));
        return;
    }
    const std::uint16_t block = header->field;
    const auto data = datagram.subspan(TFTP_HEADER_LENGTH);
    if (phase_ == Phase::Dallying) {
        // The server did not hear the final ACK: say it again.
        if (block == finalBlock_) {
            context_.report.Line("tftp-duplicate " + Tag() + " block=" + std::to_string(block) +
                                 " from=" + FormatPeer(source));
            if (heldAck_) ReleaseHeldAck(now);
            else SendAck(block, now);
        }
        return;
    }
    const auto expectedOnWire = static_cast<std::uint16_t>(expectedBlock_ & 0xFFFF);
    const auto previousOnWire = static_cast<std::uint16_t>((expectedBlock_ - 1) & 0xFFFF);
    if (block == expectedOnWire) {
        AcceptBlock(block, data, source, now);
    } else if (expectedBlock_ > 1 && block == previousOnWire) {
        context_.report.Line("tftp-duplicate " + Tag() + " block=" + std::to_string(block) +
                             " from=" + FormatPeer(source));
        if (heldAck_) ReleaseHeldAck(now);
        else SendAck(block, now);
    } else {
        context_.report.Line("tftp-unexpected " + Tag() + " opcode=3 block=" + std::to_string(block) +
                             " from=" + FormatPeer(source));
    }
}

void BootLoader::AcceptBlock(std::uint16_t block, std::span<const std::uint8_t> data,
                             const Peer& source, Clock::time_point now) {
    if (config_.silentAfterAcks && newAcks_ >= *config_.silentAfterAcks) {
        context_.report.Line("silent " + Tag() + " acks=" + std::to_string(newAcks_));
        phase_ = Phase::Silenced;
        deadline_ = now + std::chrono::milliseconds(config_.timeoutMs) * (config_.maxRetries + 1);
        return;
    }
    if (!serverTid_) serverTid_ = source.port;
    if (data.size() > TFTP_BLOCK_SIZE) {
        SendError(TFTP_ERROR_ILLEGAL_OPERATION, "Block longer than 512 bytes", source);
        Fail("oversized-block");
        return;
    }
    if (receivedBytes_ + data.size() > MAX_IMAGE_BYTES) {
        SendError(3, "Image too large", source);
        Fail("too-large");
        return;
    }
    if (!WriteAll(output_.Get(), data)) {
        SendError(3, "Cannot store image", source);
        Fail("write");
        return;
    }
    hash_.Update(data);
    receivedBytes_ += data.size();
    retries_ = 0;
    context_.report.Line("tftp-data " + Tag() + " block=" + std::to_string(block) +
                         " bytes=" + std::to_string(data.size()) + " from=" + FormatPeer(source));
    AcknowledgeNewBlock(block, now);
    if (data.size() < TFTP_BLOCK_SIZE) {
        finalBlock_ = block;
        Complete(now);
    } else {
        ++expectedBlock_;
    }
}

void BootLoader::AcknowledgeNewBlock(std::uint16_t block, Clock::time_point now) {
    ++newAcks_;
    if (config_.reorder && expectedBlock_ >= 2) {
        // Held until the time-out or the server's repetition; then the stale ACK goes first.
        heldAck_ = block;
        rememberedLength_ = BuildAck(remembered_, block);
        rememberedKind_ = PacketKind::Ack;
        rememberedDestination_ = Peer{server_.address, serverTid_.value_or(server_.port)};
        deadline_ = now + std::chrono::milliseconds(config_.timeoutMs);
        return;
    }
    if (config_.ackDelayMs > 0) {
        // A slow loader (writing flash): the ACK goes out when the delay has passed.
        rememberedLength_ = BuildAck(remembered_, block);
        rememberedKind_ = PacketKind::Ack;
        rememberedDestination_ = Peer{server_.address, serverTid_.value_or(server_.port)};
        ackDelayed_ = true;
        deadline_ = now + std::chrono::milliseconds(config_.ackDelayMs);
        return;
    }
    SendAck(block, now);
}

void BootLoader::ReleaseHeldAck(Clock::time_point now) {
    const std::uint16_t held = *heldAck_;
    heldAck_.reset();
    const Peer destination{server_.address, serverTid_.value_or(server_.port)};
    std::array<std::uint8_t, TFTP_ACK_LENGTH> stale{};
    BuildAck(stale, static_cast<std::uint16_t>(held - 1));
    context_.report.Line("fault " + Tag() + " action=reorder block=" + std::to_string(held));
    SendTftp(PacketKind::Ack, stale, destination);
    SendAck(held, now);
}

void BootLoader::OnTimer(Clock::time_point now) {
    if (phase_ == Phase::Asleep || now < deadline_) return;
    switch (phase_) {
        case Phase::WaitingForBootp:
            if (retries_ < config_.maxRetries) {
                ++retries_;
                SendBootpRequest(now);
            } else {
                Fail("no-bootp-reply");
            }
            break;
        case Phase::Transferring:
            if (heldAck_) {
                ReleaseHeldAck(now);
            } else if (ackDelayed_) {
                SendRemembered(now);
            } else if (retries_ < config_.maxRetries) {
                ++retries_;
                context_.report.Line("tftp-resend " + Tag() + " packet=" +
                                     std::string(PacketKindName(rememberedKind_)) +
                                     " attempt=" + std::to_string(retries_ + 1));
                SendRemembered(now);
            } else {
                Fail("timeout");
            }
            break;
        case Phase::Dallying:
            if (heldAck_) {
                ReleaseHeldAck(now);
            } else {
                EndTransfer();
            }
            break;
        case Phase::Silenced:
            Fail("silent");
            break;
        case Phase::Asleep:
            break;
    }
}

void BootLoader::Complete(Clock::time_point now) {
    if (ackDelayed_) SendRemembered(now);  // the final ACK is not held back
    // The last ACK has just gone out: the transfer took from the first RRQ to here.
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - rrqSentAt_);
    output_.Reset();
    if (::rename(partialPath_.c_str(), finalPath_.c_str()) != 0) {
        Fail("output-file");
        return;
    }
    ++completed_;
    context_.report.Line("tftp-done " + Tag() + " size=" + std::to_string(receivedBytes_) +
                         " sha256=" + Sha256::ToHex(hash_.Finish()) + " file=" + finalPath_ +
                         " elapsed-us=" + std::to_string(elapsed.count()));
    // Linger (one time-out unless configured) to acknowledge a repeated final block
    // (RFC 1350, section 6).
    phase_ = Phase::Dallying;
    deadline_ = now + std::chrono::milliseconds(config_.lingerMs.value_or(config_.timeoutMs));
}

void BootLoader::Fail(const std::string& reason) {
    context_.report.Line("tftp-failed " + Tag() + " reason=" + reason);
    EndTransfer();
}

void BootLoader::EndTransfer() {
    socket_.Close();
    if (output_.IsOpen()) {
        output_.Reset();
        ::unlink(partialPath_.c_str());
    }
    heldAck_.reset();
    ackDelayed_ = false;
    phase_ = Phase::Asleep;
}

}  // namespace lab
