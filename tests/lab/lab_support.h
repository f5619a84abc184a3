#pragma once
// Shared helpers of the simulator tests: the one-link test network and report polling.

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/test_network.h"

namespace labtest {

inline const char* const HOST = "10.23.0.1";
inline const char* const INSTRUMENT_A = "10.23.0.10";
inline const char* const INSTRUMENT_B = "10.23.0.11";

inline testnet::Link OneLink() {
    return {"vh23", {"10.23.0.1/24"}, "vl23", {"10.23.0.10/24", "10.23.0.11/24"}};
}

// Waits (bounded) until the report contains text; the report as last read.
inline std::string WaitForReport(const testnet::LabProcess& lab, const std::string& text,
                                 std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string report = lab.Report();
    while (report.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        report = lab.Report();
    }
    return report;
}

inline std::size_t CountOccurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

}  // namespace labtest
