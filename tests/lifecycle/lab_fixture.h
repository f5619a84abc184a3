#pragma once
// A private network with one lab link (host 10.23.0.1, instruments on 10.23.0.10 and up),
// the simulator running there, and a temporary folder for images; all removed at the end.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

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
            {"vh23", {"10.23.0.1/24"}, "vl23", {"10.23.0.10/24", "10.23.0.11/24", "10.23.0.12/24"}}});
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
