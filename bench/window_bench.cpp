// Window and memory benchmark.
//
// Window: a 4 MiB update through the real window (offscreen platform, log pane live), from
// the start of the update until the window is idle again with every log line shown, against
// the same update through quorvel-cli with its log printed (into a pipe that this program
// empties, and into a file), from its start to its exit. Each runs as a fresh process of
// its own against the simulated boot loader.
//
// Memory: the peak resident set of quorvel-cli and of the window updating a 32 MiB image.
//
// The window side is this program again, started with --window-update FILE.

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressBar>
#include <QTableWidget>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/prompts.h"
#include "app/quorvel_dlg.h"
#include "bench/bench_support.h"
#include "tests/support/test_network.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char* const INSTRUMENT_ADDRESS = "10.23.0.10";
const char* const LAB_CONFIG =
    "instrument address=10.23.0.10 mac=02-11-22-33-44-55 bootloader=stellaris timeout-ms=300\n";

// Confirms the update and chooses the image, as the user would.
class AnsweringPrompts : public Prompts {
public:
    explicit AnsweringPrompts(QString file) : file_(std::move(file)) {}
    void ShowError(QWidget*, const QString&, const QString&) override {}
    bool AskYesNo(QWidget*, const QString&, const QString&) override { return true; }
    std::optional<QString> ChooseFileToOpen(QWidget*, const QString&) override { return file_; }
    void ShowAbout(QWidget*, const QString&, const QString&) override {}

private:
    QString file_;
};

// The window process: the first sweep, then the update of the instrument; prints
// "elapsed-us=N" (update started to window idle again) and exits 0 when it completed.
int WindowUpdate(int argc, char** argv, const char* imagePath) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    AnsweringPrompts prompts(QString::fromUtf8(imagePath));
    CQuorvelDlg window(prompts);
    window.OnInitDialog();
    window.show();
    window.ChooseFirmwareFile();
    auto* list = window.findChild<QTableWidget*>("IDC_DEVICE_LIST");
    int row = -1;
    for (int r = 0; list != nullptr && r < list->rowCount(); ++r) {
        if (list->item(r, 0) != nullptr && list->item(r, 0)->text() == INSTRUMENT_ADDRESS) row = r;
    }
    if (row < 0) {
        std::fprintf(stderr, "bench: the window's sweep did not find %s\n", INSTRUMENT_ADDRESS);
        return 1;
    }
    list->selectRow(row);
    QApplication::processEvents();

    QEventLoop idle;
    QObject::connect(&window, &CQuorvelDlg::CommandFinished, &idle, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    window.StartFirmwareUpdate();
    if (!window.IsUpdating()) return 1;
    idle.exec();
    const qint64 elapsed = timer.nsecsElapsed() / 1000;

    auto* bar = window.findChild<QProgressBar*>("IDC_PROGRESS");
    const bool completed = bar != nullptr && bar->value() == 100 &&
                           window.LogText().endsWith(QStringLiteral("Closing network connections\n"));
    std::printf("elapsed-us=%lld\n", static_cast<long long>(elapsed));
    return completed ? 0 : 1;
}

struct Update {
    double seconds = -1;          // start of the update to the window idle / the CLI's exit
    double transferSeconds = -1;  // the boot loader's first RRQ to its last ACK
    long peakRssKiB = 0;
    double cpuSeconds = -1;  // of the whole process
};

std::string ReadText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The boot loader's time for a complete transfer of image, from its report; -1 otherwise.
double TransferSeconds(testnet::LabProcess& lab, std::size_t imageSize) {
    if (lab.WaitExit(120s) != 0) return -1;
    const std::string report = lab.Report();
    if (bench::ReportField(report, "tftp-done", "size") != std::to_string(imageSize)) return -1;
    return std::stod(bench::ReportField(report, "tftp-done", "elapsed-us")) / 1e6;
}

Update RunWindow(const testnet::TestNetwork& network, const fs::path& image, const fs::path& output) {
    const auto lab = network.StartLab(LAB_CONFIG, {"--exit-after-updates", "1"});
    if (!lab->WaitReady()) return {};
    bench::ChildProcess window({"/proc/self/exe", "--window-update", image.string()},
                               bench::ChildOutput::ToFile(output.string()));
    Update update;
    update.transferSeconds = TransferSeconds(*lab, fs::file_size(image));
    bench::ChildProcess::Usage usage;
    if (window.Wait(300s, &usage) != 0) {
        std::fprintf(stderr, "bench: the window's update failed:\n%s\n", ReadText(output).c_str());
        return {};
    }
    update.peakRssKiB = usage.peakRssKiB;
    update.cpuSeconds = usage.cpuSeconds;
    const std::string elapsed = ReadText(output);
    const std::size_t at = elapsed.find("elapsed-us=");
    if (at == std::string::npos) return {};
    update.seconds = std::stod(elapsed.substr(at + 11)) / 1e6;
    return update;
}

// The CLI's log goes into a pipe that this program empties, or into a file.
enum class CliLog { Pipe, File };

Update RunCli(const testnet::TestNetwork& network, const fs::path& image, CliLog log, const fs::path& logFile) {
    const auto lab = network.StartLab(LAB_CONFIG, {"--exit-after-updates", "1"});
    if (!lab->WaitReady()) return {};
    const auto start = bench::Clock::now();
    bench::ChildProcess cli({testnet::ProgramPath("quorvel-cli"), "update", "--mac", "02-11-22-33-44-55",
                             "--interface", "10.23.0.1", "--device", INSTRUMENT_ADDRESS, image.string()},
                            log == CliLog::Pipe ? bench::ChildOutput::ToDrainedPipe()
                                                : bench::ChildOutput::ToFile(logFile.string()));
    bench::ChildProcess::Usage usage;
    const int status = cli.Wait(300s, &usage);
    Update update;
    update.seconds = bench::Seconds(bench::Clock::now() - start);
    update.transferSeconds = TransferSeconds(*lab, fs::file_size(image));
    const std::string tail = log == CliLog::Pipe ? cli.OutputTail() : ReadText(logFile);
    if (status != 0 || tail.find("Closing network connections") == std::string::npos) {
        std::fprintf(stderr, "bench: the CLI's update failed (status %d)\n", status);
        return {};
    }
    update.peakRssKiB = usage.peakRssKiB;
    update.cpuSeconds = usage.cpuSeconds;
    return update;
}

bool Failed(const Update& update) { return update.seconds < 0 || update.transferSeconds < 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--window-update") return WindowUpdate(argc, argv, argv[2]);
    int rounds = 3;
    if (argc == 3 && std::string(argv[1]) == "--rounds") rounds = std::max(1, std::stoi(argv[2]));

    testnet::EnterPrivateNetwork();
    testnet::TestNetwork network({{"vh23", {"10.23.0.1/24"}, "vl23", {"10.23.0.10/24"}}});
    bench::TemporaryDirectory directory("qv-bench-window");
    const fs::path image = directory.Path() / "image-4m.bin";
    const fs::path large = directory.Path() / "image-32m.bin";
    constexpr std::size_t IMAGE_SIZE = 4u << 20;
    constexpr std::size_t LARGE_SIZE = 32u << 20;
    bench::WriteImage(image, IMAGE_SIZE);
    bench::WriteImage(large, LARGE_SIZE);
    const fs::path output = directory.Path() / "output.txt";

    // The three take turns in a rotating order, so that a slow spell of the machine falls
    // on all of them.
    struct Series {
        std::vector<double> seconds, transfer, cpu, ratio;  // ratio: the window's time over this one's
    } window, cliPipe, cliFile;
    for (int round = 0; round < rounds; ++round) {
        Update byWindow, byPipe, byFile;
        for (int turn = 0; turn < 3; ++turn) {
            switch ((round + turn) % 3) {
                case 0: byWindow = RunWindow(network, image, output); break;
                case 1: byPipe = RunCli(network, image, CliLog::Pipe, output); break;
                default: byFile = RunCli(network, image, CliLog::File, output); break;
            }
        }
        if (Failed(byWindow) || Failed(byPipe) || Failed(byFile)) return 1;
        for (auto [series, update] : {std::pair{&window, byWindow}, {&cliPipe, byPipe}, {&cliFile, byFile}}) {
            series->seconds.push_back(update.seconds);
            series->transfer.push_back(update.transferSeconds);
            series->cpu.push_back(update.cpuSeconds);
            series->ratio.push_back(byWindow.seconds / update.seconds);
        }
    }
    std::printf("Window: a 4 MiB update through the window (offscreen, log pane live) and through quorvel-cli "
                "(log printed); medians of %d rounds\n",
                rounds);
    auto line = [](const char* name, const Series& series) {
        bench::PrintFigure(name,
                           bench::Format("%.3f s  (transfer %.3f s, CPU %.3f s)", bench::Median(series.seconds),
                                         bench::Median(series.transfer), bench::Median(series.cpu)),
                           "", true);
    };
    line("  window: update start to idle", window);
    line("  CLI, log into a pipe: start to exit", cliPipe);
    line("  CLI, log into a file: start to exit", cliFile);
    const double overPipe = bench::Median(cliPipe.ratio);
    const double overFile = bench::Median(cliFile.ratio);
    bench::PrintFigure("  window / CLI (pipe)", bench::Format("%.2f", overPipe), "<= 1.10", overPipe <= 1.10);
    bench::PrintFigure("  window / CLI (file)", bench::Format("%.2f", overFile), "<= 1.10", overFile <= 1.10);

    const Update cliLarge = RunCli(network, large, CliLog::Pipe, output);
    const Update windowLarge = RunWindow(network, large, output);
    if (Failed(cliLarge) || Failed(windowLarge)) return 1;
    const double limitKiB = LARGE_SIZE / 1024.0 + 8 * 1024;
    std::printf("Memory: peak resident set updating a 32 MiB image\n");
    bench::PrintFigure("  CLI", bench::Format("%.1f MiB", cliLarge.peakRssKiB / 1024.0), "<= 40 MiB (image + 8)",
                       cliLarge.peakRssKiB <= limitKiB);
    bench::PrintFigure("  window", bench::Format("%.1f MiB", windowLarge.peakRssKiB / 1024.0), "", true);
    return 0;
}
