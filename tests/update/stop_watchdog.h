#pragma once
// Raises the update's stop flag when a run has not ended within a limit, so that a failing
// test ends instead of serving for ever.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "update/update_callbacks.h"

namespace updatetest {

class StopWatchdog {
public:
    explicit StopWatchdog(std::chrono::milliseconds limit)
        : thread_([this, limit] {
              std::unique_lock lock(mutex_);
              if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
                  fired_ = true;
                  g_stopUpdate = 1;
              }
          }) {}
    ~StopWatchdog() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    StopWatchdog(const StopWatchdog&) = delete;
    StopWatchdog& operator=(const StopWatchdog&) = delete;
    bool Fired() const { return fired_; }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;  // last: starts once the members it uses exist
};

}  // namespace updatetest
