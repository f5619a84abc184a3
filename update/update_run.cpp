#include "update/update_run.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <span>

#include "update/bootp_packet.h"
#include "update/bootp_responder.h"
#include "update/log_lines.h"
#include "update/magic_packet.h"
#include "update/session_log.h"
#include "update/tftp_packet.h"
#include "update/tftp_transfer.h"
#include "update/update_run_options.h"
#include "update/wide_text.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// The length of an open file, its position put back at the start; -1 when it is no
// regular file (a directory opens here, where it does not on the original platform) or
// its length cannot be taken.
long long FileLength(std::FILE* file) {
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    const off_t length = ftello(file);
    if (length < 0 || fseeko(file, 0, SEEK_SET) != 0) return -1;
    return length;
}

// Reads the image into session.image; false (its lines written, everything released)
// when the file cannot be opened, held or read whole.
bool ReadImage(UpdateSession& session, const wchar_t* filePath) {
    LogFormattedLine(session, LINE_READING_FILE, filePath);
    FileHandle file(std::fopen(ToUtf8(filePath).c_str(), "rb"));
    const long long length = file ? FileLength(file.get()) : -1;
    if (length < 0) {
        LogFormattedLine(session, LINE_FILE_NOT_FOUND, filePath);
        return false;
    }
    // imageSize is 32 bits: a longer file would be served cut short, so it is refused.
    if (length > 0xFFFFFFFFLL) {
        LogLine(session, LINE_CANNOT_ALLOCATE_MEMORY);
        return false;
    }
    const auto size = static_cast<std::uint32_t>(length);
    LogFormattedLine(session, LINE_ALLOCATING_BUFFER, size);
    session.image.reset(new (std::nothrow) std::uint8_t[size]);
    if (!session.image) {
        LogLine(session, LINE_CANNOT_ALLOCATE_MEMORY);
        return false;
    }
    session.imageSize = size;
    LogLine(session, LINE_READING_THE_FILE);
    if (std::fread(session.image.get(), 1, size, file.get()) != size) {
        session.image.reset();
        session.imageSize = 0;
        return false;
    }
    return true;
}

// Opens one server socket after its line; on failure writes "Cannot allocate socket".
bool OpenServerSocket(UpdateSession& session, net::UdpSocket& socket, SocketOpener open,
                      const wchar_t* line, int broadcast, std::uint16_t port) {
    LogLine(session, line);
    socket = open(broadcast, true, session.interfaceAddress, port);
    if (socket.IsOpen()) return true;
    LogLine(session, LINE_CANNOT_ALLOCATE_SOCKET);
    return false;
}

// One wait of the loop. A wait cut short by a signal goes on for the rest of its time.
net::WaitResult WaitForDatagrams(std::span<const net::UdpSocket* const> sockets,
                                 std::span<bool> readable, std::chrono::milliseconds interval) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + interval;
    std::chrono::milliseconds remaining = interval;
    for (;;) {
        const net::WaitResult result = net::WaitReadable(sockets, readable, remaining);
        if (result != net::WaitResult::Interrupted) return result;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return net::WaitResult::TimedOut;
        remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    }
}

enum class PassOutcome { Continue, TransferComplete, WaitFailed };

void SendMagic(UpdateSession& session) {
    SendMagicPacket(session.magicSocket, session.macAddress);
    session.magicSentAt = std::chrono::steady_clock::now();
}

// The repetitions at the end of a pass. A quiet wait brings them as it always has; the
// clock brings them too, because on a LAN where other equipment talks more than twice a
// second no wait is quiet, and a lost block or wake-up packet would never go out again:
// a block is due again two waits' worth after it was sent, the wake-up packet one wait's
// worth after it last went out.
void RepeatWhatIsDue(UpdateSession& session, std::chrono::milliseconds interval, bool quiet) {
    if (session.dataSocket.IsOpen()) {
        if (quiet) RetransmitOnIdle(session);
        RetransmitWhenOverdue(session, interval * IDLE_TIMEOUTS_BEFORE_RESEND);
    }
    if (!session.bootpAnswered &&
        (quiet || std::chrono::steady_clock::now() - session.magicSentAt >= interval)) {
        LogLine(session, LINE_RESENDING_MAGIC);
        SendMagic(session);
    }
}

PassOutcome RunOnePass(UpdateSession& session, std::chrono::milliseconds interval) {
    constexpr std::size_t BOOTP = 0, TFTP = 1, DATA = 2;
    std::array<const net::UdpSocket*, 3> sockets{&session.bootpSocket, &session.tftpSocket,
                                                 &session.dataSocket};
    std::array<bool, 3> readable{};
    const bool dataInWait = session.dataSocket.IsOpen();
    const std::uint32_t dataSocketOfWait = session.dataSocketsOpened;
    const std::size_t count = dataInWait ? 3 : 2;

    LogLine(session, LINE_WAITING);
    const net::WaitResult result =
        WaitForDatagrams(std::span(sockets).first(count), std::span(readable).first(count), interval);
    if (result == net::WaitResult::Failed) {
        LogLine(session, LINE_WAIT_FAILED);
        return PassOutcome::WaitFailed;
    }
    if (result == net::WaitResult::TimedOut) {
        ++session.idleCount;
        RepeatWhatIsDue(session, interval, true);
        return PassOutcome::Continue;
    }
    if (readable[BOOTP]) AnswerBootpRequest(session);
    if (readable[TFTP]) StartTftpTransfer(session);
    // A data socket opened or replaced in this pass was not part of the wait.
    const bool sameDataSocket =
        session.dataSocket.IsOpen() && session.dataSocketsOpened == dataSocketOfWait;
    if (dataInWait && sameDataSocket && readable[DATA] && ContinueTftpTransfer(session))
        return PassOutcome::TransferComplete;
    RepeatWhatIsDue(session, interval, false);
    return PassOutcome::Continue;
}

}  // namespace

int RunFirmwareUpdateWithOptions(const UpdateRunOptions& options,
                                 const std::array<std::uint8_t, 6>& macAddress,
                                 net::Ipv4Address interfaceAddress, net::Ipv4Address deviceAddress,
                                 const wchar_t* filePath, LogSink logSink,
                                 ProgressSink progressSink, void* context,
                                 UpdateRunReport* report) {
    UpdateRunReport ignored;
    UpdateRunReport& outcome = report != nullptr ? *report : ignored;
    outcome = UpdateRunReport{};

    // The session holds two packet-sized buffers and the line buffer: keep it off the
    // caller's stack, which may be a worker thread's small one.
    auto owned = std::make_unique<UpdateSession>();
    UpdateSession& session = *owned;
    session.macAddress = macAddress;
    session.interfaceAddress = interfaceAddress;
    session.deviceAddress = deviceAddress;
    session.logSink = logSink;
    session.progressSink = progressSink;
    session.context = context;
    session.bootpAnswered = false;

    if (!ReadImage(session, filePath)) return UPDATE_FILE_FAILED;

    LogLine(session, LINE_SETTING_UP_NETWORK);
    if (!OpenServerSocket(session, session.bootpSocket, options.openSocket,
                          LINE_CREATING_BOOTP_SOCKET, 1, BOOTP_SERVER_PORT)) {
        session.image.reset();
        return UPDATE_BOOTP_SOCKET_FAILED;
    }
    if (!OpenServerSocket(session, session.tftpSocket, options.openSocket,
                          LINE_CREATING_TFTP_SOCKET, 0, TFTP_SERVER_PORT)) {
        session.image.reset();
        session.bootpSocket.Close();
        return UPDATE_TFTP_SOCKET_FAILED;
    }
    // Bound to the interface address (port chosen by the system) so the wake-up packet
    // leaves through the instrument's interface, not by the default route.
    if (!OpenServerSocket(session, session.magicSocket, options.openSocket,
                          LINE_CREATING_MAGIC_SOCKET, 1, 0)) {
        session.image.reset();
        session.tftpSocket.Close();
        session.bootpSocket.Close();
        return UPDATE_MAGIC_SOCKET_FAILED;
    }
    session.dataSocket.Close();
    g_stopUpdate = 0;

    LogLine(session, LINE_SENDING_MAGIC);
    SendMagic(session);
    LogLine(session, LINE_STARTING_SERVER);

    while (g_stopUpdate == 0) {
        const PassOutcome pass = RunOnePass(session, options.waitInterval);
        if (pass == PassOutcome::TransferComplete) {
            outcome.transferCompleted = true;
            break;
        }
        if (pass == PassOutcome::WaitFailed) {
            outcome.waitFailed = true;
            break;
        }
    }

    session.image.reset();
    LogLine(session, LINE_CLOSING);
    session.dataSocket.Close();
    session.tftpSocket.Close();
    session.bootpSocket.Close();
    session.magicSocket.Close();
    return UPDATE_DONE;
}

int RunFirmwareUpdate(const std::array<std::uint8_t, 6>& macAddress,
                      net::Ipv4Address interfaceAddress, net::Ipv4Address deviceAddress,
                      const wchar_t* filePath, LogSink logSink, ProgressSink progressSink,
                      void* context) {
    return RunFirmwareUpdateWithOptions(UpdateRunOptions{}, macAddress, interfaceAddress,
                                        deviceAddress, filePath, logSink, progressSink, context);
}
