// quorvel-cli discover, run as a program inside the test network.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "net/udp_socket.h"
#include "tests/support/test_network.h"

namespace {

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};

CommandResult RunDiscover(const std::string& arguments) {
    char errorPath[] = "/tmp/qv-discover-err-XXXXXX";
    const int errorFile = mkstemp(errorPath);
    EXPECT_GE(errorFile, 0);
    close(errorFile);
    const std::string command = testnet::ProgramPath("quorvel-cli") + " discover " + arguments + " 2>" + errorPath;
    CommandResult result;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.out.append(chunk, got);
        const int status = pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::ifstream error(errorPath);
    std::stringstream text;
    text << error.rdbuf();
    result.err = text.str();
    std::remove(errorPath);
    return result;
}

std::vector<std::string> ObjectLines(const std::string& json) {
    std::vector<std::string> lines;
    std::istringstream in(json);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  {", 0) != 0) continue;
        if (line.back() == ',') line.pop_back();
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(DiscoverCommand, JsonListsExactlyTheInstrumentsTheLabPlays) {
    testnet::TestNetwork network({{"vh23", {"10.23.0.1/24"}, "vl23", {"10.23.0.10/24", "10.23.0.11/24"}},
                                  {"vh24", {"10.24.0.1/24"}, "vl24", {"10.24.0.10/24"}}});
    auto lab = network.StartLab(
        "instrument address=10.23.0.10 mac=02-11-22-33-44-55 type=1 number=5 extra=E1E2E3E4 "
        "version=0x00020005 description=%CF%F0%E8%E1%EE%F0%20%22N%5C1%22\n"
        "instrument address=10.23.0.11 mac=02-00-00-00-00-0B type=0 number=0x1A version=0xFFFFFFFF "
        "description=%1B%98x\n"
        "instrument address=10.24.0.10 mac=0A-0B-0C-0D-0E-0F type=1 version=0xFFFFFFFF\n");
    ASSERT_TRUE(lab->WaitReady());

    const CommandResult result = RunDiscover("--json");
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(result.out.front(), '[');
    const std::vector<std::string> expected = {
        R"(  {"address": "10.23.0.10", "mac": "02-11-22-33-44-55", "number": 5, "version": "2.5", )"
        R"("description": "Прибор \"N\\1\"", "deviceType": 1, "extra": "E1E2E3E4", "interfaceAddress": "10.23.0.1"})",
        R"(  {"address": "10.23.0.11", "mac": "02-00-00-00-00-0B", "number": 26, "version": "-1", )"
        R"("description": "\u001B\u0098x", "deviceType": 0, "extra": "00000000", "interfaceAddress": "10.23.0.1"})",
        R"(  {"address": "10.24.0.10", "mac": "0A-0B-0C-0D-0E-0F", "number": 0, "version": "65535.65535", )"
        R"("description": "", "deviceType": 1, "extra": "00000000", "interfaceAddress": "10.24.0.1"})",
    };
    EXPECT_EQ(ObjectLines(result.out), expected) << result.out;
}

TEST(DiscoverCommand, TableShowsTheWindowTexts) {
    testnet::TestNetwork network({{"vh23", {"10.23.0.1/24"}, "vl23", {"10.23.0.10/24"}}});
    auto lab = network.StartLab("instrument address=10.23.0.10 mac=02-11-22-33-44-55 type=1 number=5 "
                                "version=0x00020005 description=%CF%F0%E8%E1%EE%F0\n");
    ASSERT_TRUE(lab->WaitReady());
    const CommandResult result = RunDiscover("");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("IP адрес"), std::string::npos) << result.out;
    for (const char* text : {"10.23.0.10", "02-11-22-33-44-55", "00000005", "2.5", "Прибор", "10.23.0.1\n"}) {
        EXPECT_NE(result.out.find(text), std::string::npos) << text << " in\n" << result.out;
    }
}

TEST(DiscoverCommand, SaysWhyNoSweepCouldRun) {
    testnet::EnterPrivateNetwork();
    // Only 127.0.0.1: nothing to search from.
    CommandResult result = RunDiscover("");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("no IPv4 address"), std::string::npos) << result.err;

    // Port 23 held on the only usable address.
    ASSERT_EQ(testnet::TestNetwork::RunOnHost("ip address add 10.99.0.1/24 dev lo"), 0);
    struct Undo {
        ~Undo() { testnet::TestNetwork::RunOnHost("ip address del 10.99.0.1/24 dev lo"); }
    } undo;
    net::UdpSocket holder = net::UdpSocket::Create();
    ASSERT_TRUE(holder.Bind(*net::ParseAddress("10.99.0.1"), 23));
    result = RunDiscover("--json");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("cap_net_bind_service"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");

    result = RunDiscover("--verbose");
    EXPECT_EQ(result.status, 64);
    EXPECT_NE(result.err.find("usage:"), std::string::npos) << result.err;
}

}  // namespace
