// A stop raised at any moment of an update run, with the product's half-second wait, ends
// the run within one pass through its normal ending: "Closing network connections" is the
// last line, the result is 0 and every socket is released (ports 67 and 69 bind again).
// The moments are drawn at random; the seed is printed with every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "tests/lifecycle/lab_fixture.h"
#include "tests/update/stop_watchdog.h"
#include "tests/update/update_test_support.h"
#include "update/update_run_options.h"
#include "update/wide_text.h"

using namespace lifecycle;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const MacAddress FLOWING_MAC{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};  // 10.23.0.10: serves the transfer
const MacAddress STALLING_MAC{0x02, 0x11, 0x22, 0x33, 0x44, 0x66};  // 10.23.0.11: falls silent after 4 blocks
const MacAddress ABSENT_MAC{0x02, 0x11, 0x22, 0x33, 0x44, 0x77};    // no boot loader wakes

// That the run ends within one pass is read from its log (the passes after the stop); the
// time from the stop to the return is only bounded generously, as one pass is at most 500 ms
// plus its handlers, but a loaded machine can hold the run back for a while.
constexpr auto STOP_BOUND = 5s;
// A run whose stop never comes (a transfer that stopped moving) is ended by a watchdog.
constexpr auto RUN_LIMIT = 60s;
const std::wstring WAITING_LINE = L"Waiting for packet ...\r\n";

// Where the stop comes from.
enum class Moment {
    BeforeTheLoop,     // from the log sink, as the run announces its server
    WhileWaking,       // from another thread, at random after the server has started
    WhileBlocksFlow,   // from the progress sink, at a random share of the image
    WhileTransferStalls,  // from another thread, at random after the first progress
};

// Raises the stop at the moment of the case and notes when. A thread that raises it waits
// for the run to arm it, then for the drawn delay.
class Stopper {
public:
    Stopper(Moment moment, Clock::duration delay, unsigned stopAtPercent)
        : moment_(moment), delay_(delay), stopAtPercent_(stopAtPercent) {
        if (moment_ == Moment::WhileWaking || moment_ == Moment::WhileTransferStalls)
            thread_ = std::thread([this] { RaiseLater(); });
    }
    ~Stopper() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    static void Log(void* context, const wchar_t* text) {
        auto* self = static_cast<Stopper*>(context);
        {
            std::lock_guard lock(self->mutex_);
            self->lines.emplace_back(text);
        }
        if (std::wstring(text) != L"Starting BOOTP/TFTP Server\r\n") return;
        if (self->moment_ == Moment::BeforeTheLoop) self->RaiseNow();
        if (self->moment_ == Moment::WhileWaking) self->Arm();
    }
    static void Progress(void* context, unsigned percent) {
        auto* self = static_cast<Stopper*>(context);
        if (self->moment_ == Moment::WhileTransferStalls) self->Arm();
        if (self->moment_ == Moment::WhileBlocksFlow && percent >= self->stopAtPercent_) self->RaiseNow();
    }

    // When the stop was raised; nullopt if it never was.
    std::optional<Clock::time_point> RaisedAt() {
        std::lock_guard lock(mutex_);
        return raisedAt_;
    }
    // How many passes the run began after the stop was raised.
    long PassesAfterStop() {
        std::lock_guard lock(mutex_);
        return std::count(lines.begin() + static_cast<std::ptrdiff_t>(linesAtRaise_), lines.end(), WAITING_LINE);
    }

    std::vector<std::wstring> lines;

private:
    void RaiseNow() {
        std::lock_guard lock(mutex_);
        if (raisedAt_) return;
        raisedAt_ = Clock::now();
        linesAtRaise_ = lines.size();
        g_stopUpdate = 1;
    }
    void Arm() {
        {
            std::lock_guard lock(mutex_);
            armed_ = true;
        }
        changed_.notify_all();
    }
    void RaiseLater() {
        std::unique_lock lock(mutex_);
        // Bounded: a run that never arms the stopper is ended after a while all the same.
        if (!changed_.wait_for(lock, 20s, [this] { return armed_ || finished_; }) || finished_) {
            if (!finished_) g_stopUpdate = 1;
            return;
        }
        if (changed_.wait_for(lock, delay_, [this] { return finished_; })) return;
        raisedAt_ = Clock::now();
        linesAtRaise_ = lines.size();
        g_stopUpdate = 1;
    }

    Moment moment_;
    Clock::duration delay_;
    unsigned stopAtPercent_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false;
    bool finished_ = false;
    std::optional<Clock::time_point> raisedAt_;
    std::size_t linesAtRaise_ = 0;
    std::thread thread_;
};

class StopTest : public LabFixture {};

}  // namespace

TEST_F(StopTest, StopAtRandomMomentsEndsTheRunWithinOnePassThroughTheNormalEnding) {
    // The loaders give up after 2.1 s without an answer: long enough that a run held back by a
    // loaded machine is not deserted mid-transfer (a run wakes a loader only until its BOOTP
    // reply has gone out), short enough that a loader left by a stopped run soon sleeps again.
    StartLab(
        "instrument address=10.23.0.10 mac=02-11-22-33-44-55 bootloader=stellaris timeout-ms=100 max-retries=20\n"
        "instrument address=10.23.0.11 mac=02-11-22-33-44-66 bootloader=tiva silent-after=4 timeout-ms=100 "
        "max-retries=20\n");
    const std::wstring image = FromUtf8(WriteImage("fw.bin", 256 * 1024).string());

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayMs(0, 1200);
    std::uniform_int_distribution<unsigned> percent(1, 95);

    struct Case {
        const char* what;
        Moment moment;
        const MacAddress& mac;
        net::Ipv4Address device;
    };
    const Case cases[] = {
        {"before the loop", Moment::BeforeTheLoop, FLOWING_MAC, net::MakeAddress(10, 23, 0, 10)},
        {"while waking", Moment::WhileWaking, ABSENT_MAC, net::MakeAddress(10, 23, 0, 12)},
        {"while blocks flow", Moment::WhileBlocksFlow, FLOWING_MAC, net::MakeAddress(10, 23, 0, 10)},
        {"while the transfer stalls", Moment::WhileTransferStalls, STALLING_MAC, net::MakeAddress(10, 23, 0, 11)},
    };
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : cases) {
            const auto delay = std::chrono::milliseconds(delayMs(random));
            const unsigned stopAtPercent = percent(random);
            SCOPED_TRACE(std::string(c.what) + ", delay " + std::to_string(delay.count()) + " ms, at " +
                         std::to_string(stopAtPercent) + " %");
            Stopper stopper(c.moment, delay, stopAtPercent);
            UpdateRunReport report;
            int result = -1;
            Clock::time_point returned;
            {
                const updatetest::StopWatchdog watchdog(RUN_LIMIT);
                result = RunFirmwareUpdateWithOptions({}, c.mac, HOST, c.device, image.c_str(), Stopper::Log,
                                                      Stopper::Progress, &stopper, &report);
                returned = Clock::now();
                ASSERT_FALSE(watchdog.Fired()) << "the run never came to its stop";
            }

            const auto raisedAt = stopper.RaisedAt();
            ASSERT_TRUE(raisedAt.has_value()) << "the stop was never raised";
            // The stop is read at the end of each pass: at most the pass it fell into begins after it.
            EXPECT_LE(stopper.PassesAfterStop(), 1);
            EXPECT_LT(returned - *raisedAt, STOP_BOUND);
            std::cout << c.what << ": stop to return "
                      << std::chrono::duration_cast<std::chrono::milliseconds>(returned - *raisedAt).count()
                      << " ms\n";
            EXPECT_EQ(result, 0);
            EXPECT_FALSE(report.transferCompleted);
            ASSERT_FALSE(stopper.lines.empty());
            EXPECT_EQ(stopper.lines.back(), L"Closing network connections\r\n");
            if (c.moment == Moment::BeforeTheLoop) {
                EXPECT_EQ(std::count(stopper.lines.begin(), stopper.lines.end(), WAITING_LINE), 0);
            }
            EXPECT_TRUE(updatetest::BoundSocket(HOST, 67).IsOpen());
            EXPECT_TRUE(updatetest::BoundSocket(HOST, 69).IsOpen());
        }
    }
}
