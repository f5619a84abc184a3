#include "tests/support/test_network.h"

#include "tests/support/file_contents.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#ifndef QUORVEL_BUILD_DIR
#define QUORVEL_BUILD_DIR "."
#endif

namespace testnet {
namespace {

constexpr const char* NETNS_DIRECTORY = "/run/netns";
constexpr const char* LAB_PREFIX = "qv-lab";

[[noreturn]] void Fatal(const char* what) {
    std::fprintf(stderr, "test_network: %s: %s\n", what, std::strerror(errno));
    std::fflush(stderr);
    std::abort();
}

// Runs a program (argv[0] looked up in PATH) with optional standard input; its exit
// status, or -1 when it could not run or died of a signal.
int RunProgram(const std::vector<std::string>& args, const std::string* input = nullptr,
               bool quiet = false) {
    int inputPipe[2] = {-1, -1};
    if (input != nullptr && pipe2(inputPipe, O_CLOEXEC) != 0) return -1;
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        if (input != nullptr) {
            close(inputPipe[0]);
            close(inputPipe[1]);
        }
        return -1;
    }
    if (pid == 0) {
        if (input != nullptr) dup2(inputPipe[0], STDIN_FILENO);
        if (quiet) {
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
            }
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (input != nullptr) {
        close(inputPipe[0]);
        const char* data = input->data();
        std::size_t left = input->size();
        while (left > 0) {
            const ssize_t written = write(inputPipe[1], data, left);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) break;
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        close(inputPipe[1]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a program (argv[0] looked up in PATH); what it wrote to standard output, "" when it
// could not run.
std::string ProgramOutput(const std::vector<std::string>& args) {
    int outputPipe[2] = {-1, -1};
    if (pipe2(outputPipe, O_CLOEXEC) != 0) return "";
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(outputPipe[0]);
        close(outputPipe[1]);
        return "";
    }
    if (pid == 0) {
        dup2(outputPipe[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(outputPipe[1]);
    std::string output;
    std::array<char, 1024> chunk{};
    for (;;) {
        const ssize_t got = read(outputPipe[0], chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        output.append(chunk.data(), static_cast<std::size_t>(got));
    }
    close(outputPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return output;
}

// Runs a whole list of ip commands in one process ("ip -batch -").
void RunIpBatch(const std::vector<std::string>& prefix, const std::string& commands) {
    std::vector<std::string> args = {"ip"};
    args.insert(args.end(), prefix.begin(), prefix.end());
    args.push_back("-batch");
    args.push_back("-");
    if (RunProgram(args, &commands) != 0) {
        std::fprintf(stderr, "test_network: ip -batch failed for:\n%s", commands.c_str());
        errno = 0;
        Fatal("cannot build the test network");
    }
}

// The namespaces this process owns, for the exit and signal paths. Fixed storage so that
// the signal handler touches no allocator.
constexpr std::size_t MAX_NAMESPACES = 16;
constexpr std::size_t PATH_CAPACITY = 96;
std::array<std::array<char, PATH_CAPACITY>, MAX_NAMESPACES> g_namespacePaths{};
pid_t g_ownerPid = 0;
std::mutex g_registryMutex;

std::string NamespacePath(const std::string& name) {
    return std::string(NETNS_DIRECTORY) + "/" + name;
}

// Removes a named namespace the way "ip netns del" does; the namespace itself ends when
// its last process leaves it. Async-signal-safe.
void UnmountNamespace(const char* path) {
    umount2(path, MNT_DETACH);
    unlink(path);
}

void RemoveRegisteredNamespaces() {
    if (getpid() != g_ownerPid) return;  // a forked child (death test, exec helper) owns nothing
    for (auto& path : g_namespacePaths) {
        if (path[0] != '\0') {
            UnmountNamespace(path.data());
            path[0] = '\0';
        }
    }
}

void OnFatalSignal(int signalNumber) {
    RemoveRegisteredNamespaces();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void InstallCleanupPaths() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_ownerPid = getpid();
        std::atexit(RemoveRegisteredNamespaces);
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGSEGV, SIGBUS}) {
            struct sigaction current {};
            if (sigaction(signalNumber, nullptr, &current) == 0 &&
                current.sa_handler == SIG_DFL) {
                struct sigaction action {};
                action.sa_handler = OnFatalSignal;
                sigemptyset(&action.sa_mask);
                sigaction(signalNumber, &action, nullptr);
            }
        }
    });
}

void RegisterNamespace(const std::string& name) {
    std::lock_guard lock(g_registryMutex);
    const std::string path = NamespacePath(name);
    for (auto& slot : g_namespacePaths) {
        if (slot[0] == '\0' && path.size() < PATH_CAPACITY) {
            std::memcpy(slot.data(), path.c_str(), path.size() + 1);
            return;
        }
    }
}

void UnregisterNamespace(const std::string& name) {
    std::lock_guard lock(g_registryMutex);
    const std::string path = NamespacePath(name);
    for (auto& slot : g_namespacePaths) {
        if (path == slot.data()) slot[0] = '\0';
    }
}

// Kills every process whose network namespace is the named one and reaps our children.
void KillProcessesIn(const std::string& name) {
    struct stat target {};
    if (stat(NamespacePath(name).c_str(), &target) != 0) return;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pidText = entry.path().filename().string();
        if (pidText.empty() || pidText.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        struct stat ns {};
        if (stat((entry.path() / "ns" / "net").c_str(), &ns) != 0) continue;
        if (ns.st_dev == target.st_dev && ns.st_ino == target.st_ino) {
            kill(static_cast<pid_t>(std::stol(pidText)), SIGKILL);
        }
    }
}

void DeleteNamespace(const std::string& name) {
    KillProcessesIn(name);
    UnmountNamespace(NamespacePath(name).c_str());
}

// A pid encoded at the end of a lab namespace name ("qv-lab-123", "qv-lab2-123"); 0 if the
// name is not one of ours.
pid_t OwnerOfNamespace(const std::string& name) {
    if (name.rfind(LAB_PREFIX, 0) != 0) return 0;
    const auto dash = name.rfind('-');
    if (dash == std::string::npos || dash + 1 >= name.size()) return 0;
    const std::string counter = name.substr(std::strlen(LAB_PREFIX), dash - std::strlen(LAB_PREFIX));
    if (counter.find_first_not_of("0123456789") != std::string::npos) return 0;
    const std::string pidText = name.substr(dash + 1);
    if (pidText.find_first_not_of("0123456789") != std::string::npos || pidText.size() > 9) {
        return 0;
    }
    return static_cast<pid_t>(std::stol(pidText));
}

void RemoveStaleNamespaces() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(NETNS_DIRECTORY, error)) {
        const std::string name = entry.path().filename().string();
        const pid_t owner = OwnerOfNamespace(name);
        if (owner <= 0 || owner == getpid()) continue;
        if (kill(owner, 0) != 0 && errno == ESRCH) DeleteNamespace(name);
    }
}

std::string NewLabNamespaceName() {
    static int created = 0;
    ++created;
    const std::string pid = std::to_string(getpid());
    // The pid stays the last dash-separated field, which is what stale cleanup reads.
    return created == 1 ? std::string(LAB_PREFIX) + "-" + pid
                        : std::string(LAB_PREFIX) + std::to_string(created) + "-" + pid;
}

bool InterfaceExists(const std::string& name) { return if_nametoindex(name.c_str()) != 0; }

// The end of a veth pair that comes up first (while its peer is still down) starts to
// transmit only once the kernel's link-state work has run for it after the peer came up;
// until then everything sent there is dropped without an error. That work is deferred and,
// on a loaded machine, can lag by a second or more, long enough to swallow a test's single
// wake-up packet or discovery request. So the network is handed over only when every end
// reports operational state UP. A query for the one interface (not a dump) also makes the
// kernel run that pending work at once.
bool OperationallyUp(const std::vector<std::string>& namespaceArgs, const std::string& interface) {
    std::vector<std::string> args = {"ip"};
    args.insert(args.end(), namespaceArgs.begin(), namespaceArgs.end());
    args.insert(args.end(), {"-o", "link", "show", "dev", interface});
    return ProgramOutput(args).find(" state UP ") != std::string::npos;
}

void WaitUntilLinksAreUp(const std::string& labNamespace, const std::vector<Link>& links) {
    constexpr auto LIMIT = std::chrono::seconds(20);  // normally the first look succeeds
    const auto deadline = std::chrono::steady_clock::now() + LIMIT;
    for (const auto& link : links) {
        for (const auto& [namespaceArgs, interface] :
             {std::pair<std::vector<std::string>, std::string>{{}, link.hostInterface},
              {{"-n", labNamespace}, link.labInterface}}) {
            while (!OperationallyUp(namespaceArgs, interface)) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    std::fprintf(stderr, "test_network: %s did not come up\n", interface.c_str());
                    errno = 0;
                    Fatal("cannot build the test network");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
}

}  // namespace

void EnterPrivateNetwork() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Only the calling thread (and processes it forks later) moves; tests open their
        // sockets on the main thread.
        if (unshare(CLONE_NEWNET) != 0) Fatal("unshare(CLONE_NEWNET)");
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) Fatal("socket");
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) Fatal("SIOCGIFFLAGS lo");
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) Fatal("SIOCSIFFLAGS lo");
        close(fd);
    });
}

// ---------------------------------------------------------------------------------------
// TestNetwork

TestNetwork::TestNetwork(const std::vector<Link>& links) : links_(links) {
    EnterPrivateNetwork();
    InstallCleanupPaths();
    RemoveStaleNamespaces();
    labNamespace_ = NewLabNamespaceName();
    if (std::filesystem::exists(NamespacePath(labNamespace_))) DeleteNamespace(labNamespace_);
    if (RunProgram({"ip", "netns", "add", labNamespace_}) != 0) {
        errno = 0;
        Fatal("ip netns add");
    }
    RegisterNamespace(labNamespace_);

    std::string hostCommands;
    std::string labCommands = "link set lo up\n";
    for (const auto& link : links_) {
        hostCommands += "link add " + link.hostInterface + " type veth peer name " +
                        link.labInterface + " netns " + labNamespace_ + "\n";
    }
    for (const auto& link : links_) {
        for (const auto& address : link.hostAddresses) {
            hostCommands += "address add " + address + " brd + dev " + link.hostInterface + "\n";
        }
        hostCommands += "link set " + link.hostInterface + " up\n";
        for (const auto& address : link.labAddresses) {
            labCommands += "address add " + address + " brd + dev " + link.labInterface + "\n";
        }
        labCommands += "link set " + link.labInterface + " up\n";
    }
    if (!hostCommands.empty()) RunIpBatch({}, hostCommands);
    RunIpBatch({"-n", labNamespace_}, labCommands);
    WaitUntilLinksAreUp(labNamespace_, links_);
}

TestNetwork::~TestNetwork() {
    KillProcessesIn(labNamespace_);
    for (const auto& link : links_) {
        if (InterfaceExists(link.hostInterface)) {
            RunProgram({"ip", "link", "del", link.hostInterface}, nullptr, true);
        }
    }
    UnmountNamespace(NamespacePath(labNamespace_).c_str());
    UnregisterNamespace(labNamespace_);
}

int TestNetwork::RunInLab(const std::string& command) const {
    return RunProgram({"ip", "netns", "exec", labNamespace_, "sh", "-c", command});
}

int TestNetwork::RunOnHost(const std::string& command) {
    return RunProgram({"sh", "-c", command});
}

std::unique_ptr<LabProcess> TestNetwork::StartLab(const std::string& configText,
                                                  const std::vector<std::string>& extraArgs) const {
    return std::make_unique<LabProcess>(labNamespace_, configText, extraArgs);
}

// ---------------------------------------------------------------------------------------
// LabProcess

LabProcess::LabProcess(const std::string& labNamespace, const std::string& configText,
                       const std::vector<std::string>& extraArgs) {
    InstallCleanupPaths();
    char pattern[] = "/tmp/qv-lab-work-XXXXXX";
    if (mkdtemp(pattern) == nullptr) Fatal("mkdtemp");
    workDirectory_ = pattern;
    const std::string configPath = workDirectory_ + "/config";
    {
        std::ofstream config(configPath);
        config << configText;
        if (!config) Fatal("writing the simulator configuration");
    }
    std::vector<std::string> args = {"ip",
                                     "netns",
                                     "exec",
                                     labNamespace,
                                     ProgramPath("quorvel-lab"),
                                     "--config",
                                     configPath,
                                     "--report",
                                     workDirectory_ + "/report",
                                     "--ready",
                                     workDirectory_ + "/ready",
                                     "--out",
                                     workDirectory_};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) Fatal("fork");
    if (pid_ == 0) {
        // The simulator must not outlive a test that crashed (ip execs it in place, so
        // this reaches the simulator itself).
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(126);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
}

LabProcess::~LabProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (WaitExit(std::chrono::milliseconds(3000)) == -1 && pid_ > 0) {
            kill(pid_, SIGKILL);
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
    }
    std::error_code error;
    std::filesystem::remove_all(workDirectory_, error);
}

bool LabProcess::WaitReady(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::string readyPath = workDirectory_ + "/ready";
    while (std::chrono::steady_clock::now() < deadline) {
        if (access(readyPath.c_str(), F_OK) == 0) return true;
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // exited before it was ready
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return access(readyPath.c_str(), F_OK) == 0;
}

int LabProcess::WaitExit(std::chrono::milliseconds limit) { return WaitForChild(pid_, limit); }

int WaitForChild(int& pid, std::chrono::milliseconds limit) {
    if (pid <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            pid = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string LabProcess::Report() const { return ReadFile(workDirectory_ + "/report"); }

// ---------------------------------------------------------------------------------------

std::string ProgramPath(const std::string& name) {
    const std::filesystem::path build = QUORVEL_BUILD_DIR;
    for (const char* folder : {"lab", "cli", "app", "bench", ""}) {
        const auto candidate = build / folder / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(build, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (error) break;
        if (it.depth() > 3) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->path().filename() == name && access(it->path().c_str(), X_OK) == 0) {
            return it->path().string();
        }
    }
    return (build / "lab" / name).string();
}

}  // namespace testnet
