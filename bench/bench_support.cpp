#include "bench/bench_support.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace bench {

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TemporaryDirectory::TemporaryDirectory(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    chmod(pattern.c_str(), 0755);
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void WriteImage(const std::filesystem::path& path, std::size_t size) {
    std::mt19937_64 random(size);
    std::vector<char> bytes(size);
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = random();
        for (std::size_t k = 0; k < 8 && i + k < size; ++k) bytes[i + k] = static_cast<char>(word >> (8 * k));
    }
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "bench: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    chmod(path.c_str(), 0644);
}

namespace {

std::string ReadWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

bool SameContents(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code error;
    if (std::filesystem::file_size(a, error) != std::filesystem::file_size(b, error) || error) return false;
    return ReadWhole(a) == ReadWhole(b);
}

ChildProcess::ChildProcess(const std::vector<std::string>& args, ChildOutput output) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int ends[2] = {-1, -1};
    if (output.kind == ChildOutput::Kind::DrainedPipe && pipe2(ends, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::exit(1);
    }
    pid_ = fork();
    if (pid_ < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (pid_ == 0) {
        int target = -1;
        if (output.kind == ChildOutput::Kind::File) target = open(output.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (output.kind == ChildOutput::Kind::DrainedPipe) target = ends[1];
        if (target >= 0) {
            dup2(target, STDOUT_FILENO);
            dup2(target, STDERR_FILENO);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (output.kind != ChildOutput::Kind::DrainedPipe) return;
    close(ends[1]);
    pipe_ = ends[0];
    drain_ = std::thread([this] {
        constexpr std::size_t TAIL = 4096;
        char buffer[65536];
        for (;;) {
            const ssize_t got = read(pipe_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return;
            tail_.append(buffer, static_cast<std::size_t>(got));
            if (tail_.size() > 2 * TAIL) tail_.erase(0, tail_.size() - TAIL);
        }
    });
}

void ChildProcess::JoinDrain() {
    if (drain_.joinable()) drain_.join();
    if (pipe_ >= 0) close(pipe_);
    pipe_ = -1;
}

std::string ChildProcess::OutputTail() {
    if (pid_ > 0) return {};
    JoinDrain();
    return tail_;
}

ChildProcess::~ChildProcess() {
    Stop();
    JoinDrain();
}

namespace {

double CpuSeconds(const rusage& usage) {
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int ChildProcess::Wait(std::chrono::milliseconds limit, Usage* usage) {
    if (pid_ <= 0) return -1;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        int status = 0;
        rusage used{};
        const pid_t done = wait4(pid_, &status, WNOHANG, &used);
        if (done == pid_) {
            pid_ = -1;
            if (usage != nullptr) *usage = Usage{used.ru_maxrss, CpuSeconds(used)};
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ChildProcess::Stop(Usage* usage) {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (Wait(std::chrono::milliseconds(3000), usage) == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        rusage used{};
        while (wait4(pid_, &status, 0, &used) < 0 && errno == EINTR) {
        }
        if (usage != nullptr) *usage = Usage{used.ru_maxrss, CpuSeconds(used)};
    }
    pid_ = -1;
}

struct CpuMonitor::State {
    pid_t pid;
    std::atomic<bool> stop{false};
    std::map<pid_t, double> lastSeen;  // pid -> CPU seconds at its latest sample
    std::thread sampler;
};

namespace {

// CPU seconds of a task from /proc/PID/schedstat (nanoseconds on the CPU); -1 when gone.
double TaskCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    unsigned long long nanoseconds = 0;
    if (!(in >> nanoseconds)) return -1;
    return static_cast<double>(nanoseconds) / 1e9;
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> children;
    pid_t child = 0;
    while (in >> child) children.push_back(child);
    return children;
}

}  // namespace

CpuMonitor::CpuMonitor(pid_t pid) : state_(std::make_unique<State>()) {
    state_->pid = pid;
    State* state = state_.get();
    state_->sampler = std::thread([state] {
        auto sample = [state](pid_t task) {
            const double seconds = TaskCpuSeconds(task);
            if (seconds >= 0) state->lastSeen[task] = std::max(state->lastSeen[task], seconds);
        };
        while (!state->stop) {
            sample(state->pid);
            for (pid_t child : ChildrenOf(state->pid)) sample(child);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        sample(state->pid);
    });
}

CpuMonitor::~CpuMonitor() { Stop(); }

double CpuMonitor::Stop() {
    if (state_->sampler.joinable()) {
        state_->stop = true;
        state_->sampler.join();
    }
    double total = 0;
    for (const auto& [pid, seconds] : state_->lastSeen) total += seconds;
    return total;
}

std::string ReportField(const std::string& text, const std::string& linePrefix, const std::string& key) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind(linePrefix, 0) != 0) continue;
        const std::string needle = " " + key + "=";
        const std::size_t at = line.find(needle);
        if (at == std::string::npos) return {};
        const std::size_t valueStart = at + needle.size();
        return line.substr(valueStart, line.find(' ', valueStart) - valueStart);
    }
    return {};
}

void PrintFigure(const std::string& name, const std::string& value, const std::string& target, bool met) {
    std::printf("%-34s %-46s target %-18s %s\n", name.c_str(), value.c_str(), target.c_str(),
                met ? "ok" : "MISSED");
    std::fflush(stdout);
}

std::string Format(const char* format, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

}  // namespace bench
