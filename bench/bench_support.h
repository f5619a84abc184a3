#pragma once
// Helpers shared by the benchmark programs: timing, medians, test images, child processes
// and the one-line format in which every figure is printed beside its target.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration duration);
double Median(std::vector<double> values);

// CPU time (user + system) of this process so far, in seconds.
double ProcessCpuSeconds();

// A fresh directory under /tmp (mode 0755, so a server that drops privileges can read
// it), removed with everything in it by the destructor.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& prefix);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Writes size pseudo-random bytes (the same for a given size) to path.
void WriteImage(const std::filesystem::path& path, std::size_t size);
bool SameContents(const std::filesystem::path& a, const std::filesystem::path& b);

// Where a child's standard output and error go.
struct ChildOutput {
    enum class Kind {
        Inherit,      // this process's
        File,         // the file at path
        DrainedPipe,  // a pipe that this process reads and throws away (keeping the tail)
    };
    Kind kind = Kind::Inherit;
    std::string path;

    static ChildOutput ToFile(std::string path) { return {Kind::File, std::move(path)}; }
    static ChildOutput ToDrainedPipe() { return {Kind::DrainedPipe, {}}; }
};

// A child process started with fork/exec; SIGTERM (then SIGKILL) when destroyed before it
// exited by itself.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& args, ChildOutput output = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // What wait4 tells of an ended child.
    struct Usage {
        long peakRssKiB = 0;
        double cpuSeconds = 0;  // user + system, with the children it waited for
    };
    // Waits (bounded) for the child's exit: its status (-1 when killed by a signal or
    // still running at the limit); usage, when given, receives its resource usage.
    int Wait(std::chrono::milliseconds limit, Usage* usage = nullptr);
    // Ends the child (SIGTERM, then SIGKILL); usage as for Wait.
    void Stop(Usage* usage = nullptr);

    // The last few KiB a DrainedPipe child wrote, once it has exited.
    std::string OutputTail();

private:
    void JoinDrain();

    pid_t pid_ = -1;
    int pipe_ = -1;
    std::thread drain_;
    std::string tail_;
};

// Samples every millisecond the CPU time of a process and of its direct children, so that
// a child that ends unreaped (in.tftpd's worker for each transfer) still counts.
class CpuMonitor {
public:
    explicit CpuMonitor(pid_t pid);
    ~CpuMonitor();
    CpuMonitor(const CpuMonitor&) = delete;
    CpuMonitor& operator=(const CpuMonitor&) = delete;
    // Stops sampling; the CPU seconds seen (the last millisecond of a process may be missed).
    double Stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Value of "key=" in the first line of text that starts with linePrefix; empty if none.
std::string ReportField(const std::string& text, const std::string& linePrefix, const std::string& key);

// One figure: "name  value  (target: ...)  ok|MISSED".
void PrintFigure(const std::string& name, const std::string& value, const std::string& target, bool met);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace bench
