#pragma once
// Test doubles for the window: scripted message boxes and file dialog, records, and a gate
// that holds a fake sweep or update on its worker thread until the test lets it go.

#include <QString>
#include <QWidget>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/prompts.h"
#include "discovery/device_record.h"
#include "net/address.h"

namespace apptest {

class FakePrompts : public Prompts {
public:
    struct Shown {
        QString kind;  // "error", "question", "file", "about"
        QString caption;
        QString text;
    };

    void ShowError(QWidget*, const QString& caption, const QString& text) override {
        shown.push_back({"error", caption, text});
    }
    bool AskYesNo(QWidget*, const QString& caption, const QString& text) override {
        shown.push_back({"question", caption, text});
        if (whileAsking) whileAsking();
        return answerYes;
    }
    std::optional<QString> ChooseFileToOpen(QWidget*, const QString& initialName) override {
        shown.push_back({"file", QString(), initialName});
        return fileToChoose;
    }
    void ShowAbout(QWidget*, const QString& caption, const QString& text) override {
        shown.push_back({"about", caption, text});
    }

    int Count(const QString& kind) const {
        int n = 0;
        for (const Shown& s : shown) n += s.kind == kind ? 1 : 0;
        return n;
    }

    std::vector<Shown> shown;
    bool answerYes = true;
    std::optional<QString> fileToChoose;
    std::function<void()> whileAsking;  // runs while the question is "on screen"
};

// Lets one worker-thread job wait (bounded) until the test opens it.
class Gate {
public:
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    // True when opened within the limit.
    bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return open_; });
    }
    void Arrive() {
        std::lock_guard lock(mutex_);
        arrived_ = true;
        changed_.notify_all();
    }
    bool Arrived() {
        std::lock_guard lock(mutex_);
        return arrived_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    bool arrived_ = false;
};

inline DeviceRecord MakeRecord(net::Ipv4Address address, std::array<std::uint8_t, 6> mac,
                               std::uint8_t deviceType = 1, std::uint8_t number = 0,
                               std::uint32_t version = 0, const char* description = "",
                               net::Ipv4Address interfaceAddress = net::ANY_ADDRESS) {
    DeviceRecord record{};
    record.deviceType = deviceType;
    record.number = number;
    record.mac = mac;
    record.address = address;
    record.version = version;
    std::strncpy(record.description, description, DESCRIPTION_LENGTH - 1);
    record.interfaceAddress = interfaceAddress;
    return record;
}

// Record i of a simple table: 10.0.i/256.i%256, MAC 02-00-00-00-hi-lo.
inline DeviceRecord NumberedRecord(int i) {
    return MakeRecord(net::MakeAddress(10, 0, static_cast<std::uint8_t>(i / 256),
                                       static_cast<std::uint8_t>(i % 256)),
                      {0x02, 0, 0, 0, static_cast<std::uint8_t>(i / 256),
                       static_cast<std::uint8_t>(i % 256)},
                      1, static_cast<std::uint8_t>(i), 0x00010000u + static_cast<unsigned>(i),
                      "instrument", net::MakeAddress(10, 0, 0, 1));
}

// A sweep that answers with the given records.
inline auto SweepReturning(std::vector<DeviceRecord> records) {
    return [records = std::move(records)](std::span<DeviceRecord, MAX_DEVICES> out) {
        int n = 0;
        for (const DeviceRecord& r : records) {
            if (n == MAX_DEVICES) break;
            out[static_cast<std::size_t>(n++)] = r;
        }
        return n;
    };
}

}  // namespace apptest
