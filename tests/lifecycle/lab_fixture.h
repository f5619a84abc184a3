#pragma once
// A private network with one lab link (host 10.23.0.1, instruments on 10.23.0.10 to .29),
// the simulator running there, and a temporary folder for images; all removed at the end.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "net/address.h"
#include "tests/support/test_network.h"
#include "tests/update/update_test_support.h"
#include "update/update_callbacks.h"

namespace lifecycle {

inline const net::Ipv4Address HOST = net::MakeAddress(10, 23, 0, 1);

class LabFixture : public testing::Test {
protected:
    // Starts the network and the simulator with these instruments (config lines).
    void StartLab(const std::string& instruments) {
        testnet::EnterPrivateNetwork();
        network = std::make_unique<testnet::TestNetwork>(std::vector<testnet::Link>{
            {"vh23", {"10.23.0.1/24"}, "vl23", LabAddresses()}});
        lab = network->StartLab(instruments);
        ASSERT_TRUE(lab->WaitReady());
        char pattern[] = "/tmp/qv-lifecycle-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override {
        lab.reset();
        network.reset();
        std::error_code ignored;
        if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
        g_stopUpdate = 0;
    }

    // 10.23.0.10 to 10.23.0.29, for the instruments of a test.
    static std::vector<std::string> LabAddresses() {
        std::vector<std::string> addresses;
        for (int host = 10; host < 30; ++host) addresses.push_back("10.23.0." + std::to_string(host) + "/24");
        return addresses;
    }

    std::filesystem::path WriteImage(const std::string& name, std::size_t size) const {
        const std::filesystem::path path = directory / name;
        const auto image = updatetest::PatternImage(size);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.get()), static_cast<std::streamsize>(size));
        return path;
    }

    std::unique_ptr<testnet::TestNetwork> network;
    std::unique_ptr<testnet::LabProcess> lab;
    std::filesystem::path directory;
};

}  // namespace lifecycle
