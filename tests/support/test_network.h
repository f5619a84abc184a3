#pragma once
// Test hosts for end-to-end tests: this process moves into a network namespace of its
// own (so nothing it sends can reach the machine's real network), and a "lab" namespace
// is joined to it by veth pairs. The instrument simulator runs in the lab namespace.
// Everything created is removed by the destructor, and namespaces left behind by a
// crashed run are removed by the next one.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace testnet {

struct Link {
    std::string hostInterface;               // e.g. "vh23"
    std::vector<std::string> hostAddresses;  // CIDR, in the order added, e.g. {"10.23.0.1/24"}
    std::string labInterface;                // e.g. "vl23"
    std::vector<std::string> labAddresses;   // CIDR, e.g. {"10.23.0.10/24", "10.23.0.11/24"}
};

// Puts the calling process into a fresh network namespace with only loopback up.
// Idempotent; aborts the test program when it cannot (never falls back to the real network).
void EnterPrivateNetwork();

// A running instrument simulator (quorvel-lab) in the lab namespace.
class LabProcess {
public:
    LabProcess(const std::string& labNamespace, const std::string& configText,
               const std::vector<std::string>& extraArgs);
    ~LabProcess();  // stops the simulator (SIGTERM, then SIGKILL)
    LabProcess(const LabProcess&) = delete;
    LabProcess& operator=(const LabProcess&) = delete;

    // Waits (bounded) until the simulator has opened its sockets.
    bool WaitReady(std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    // Waits (bounded) for the simulator to exit by itself; its exit status or -1.
    int WaitExit(std::chrono::milliseconds limit);
    // The simulator's report file (one "key value" line per event), read whole.
    std::string Report() const;
    const std::string& WorkDirectory() const { return workDirectory_; }

private:
    int pid_ = -1;
    std::string workDirectory_;
};

class TestNetwork {
public:
    explicit TestNetwork(const std::vector<Link>& links);
    ~TestNetwork();
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    const std::string& LabNamespace() const { return labNamespace_; }
    // Runs a shell command in the lab namespace; its exit status.
    int RunInLab(const std::string& command) const;
    // Runs a shell command on the host side (this process's namespace); its exit status.
    static int RunOnHost(const std::string& command);

    std::unique_ptr<LabProcess> StartLab(const std::string& configText,
                                         const std::vector<std::string>& extraArgs = {}) const;

private:
    std::string labNamespace_;
    std::vector<Link> links_;
};

// Waits (bounded) for the child `pid` to exit: its exit status, or -1 when it ended by a
// signal or is still running after `limit`. pid becomes -1 once the child is reaped (or
// found gone), so a caller never signals a pid that may have been reused.
int WaitForChild(int& pid, std::chrono::milliseconds limit);

// Path of a built program (quorvel-lab, quorvel-cli), from the build tree.
std::string ProgramPath(const std::string& name);

}  // namespace testnet
