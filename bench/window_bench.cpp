// Window and memory benchmark.
//
// Window: a 4 MiB update through the real window (offscreen platform, log pane live), from
// the start of the update until the window is idle again with every log line shown, against
// the same update through quorvel-cli with its log printed (into a pipe that this program
// empties), from its start to its exit. Both run as fresh processes of their own against
// the simulated boot loader.
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
    const std::string elapsed = ReadText(output);
    const std::size_t at = elapsed.find("elapsed-us=");
    if (at == std::string::npos) return {};
    update.seconds = std::stod(elapsed.substr(at + 11)) / 1e6;
    return update;
}

Update RunCli(const testnet::TestNetwork& network, const fs::path& image) {
    const auto lab = network.StartLab(LAB_CONFIG, {"--exit-after-updates", "1"});
    if (!lab->WaitReady()) return {};
    const auto start = bench::Clock::now();
    bench::ChildProcess cli({testnet::ProgramPath("quorvel-cli"), "update", "--mac", "02-11-22-33-44-55",
                             "--interface", "10.23.0.1", "--device", INSTRUMENT_ADDRESS, image.string()},
                            bench::ChildOutput::ToDrainedPipe());
    bench::ChildProcess::Usage usage;
    const int status = cli.Wait(300s, &usage);
    Update update;
    update.seconds = bench::Seconds(bench::Clock::now() - start);
    update.transferSeconds = TransferSeconds(*lab, fs::file_size(image));
    if (status != 0 || cli.OutputTail().find("Closing network connections") == std::string::npos) {
        std::fprintf(stderr, "bench: the CLI's update failed (status %d)\n", status);
        return {};
    }
    update.peakRssKiB = usage.peakRssKiB;
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

    // Window and CLI alternate, so that a slow spell of the machine falls on both.
    std::vector<double> window, cli, windowTransfer, cliTransfer, ratios;
    for (int round = 0; round < rounds; ++round) {
        Update byWindow, byCli;
        if (round % 2 == 0) {
            byWindow = RunWindow(network, image, output);
            byCli = RunCli(network, image);
        } else {
            byCli = RunCli(network, image);
            byWindow = RunWindow(network, image, output);
        }
        if (Failed(byWindow) || Failed(byCli)) return 1;
        window.push_back(byWindow.seconds);
        cli.push_back(byCli.seconds);
        windowTransfer.push_back(byWindow.transferSeconds);
        cliTransfer.push_back(byCli.transferSeconds);
        ratios.push_back(byWindow.seconds / byCli.seconds);
    }
    std::printf("Window: 4 MiB update, window (offscreen, log pane live) against quorvel-cli (log into a pipe); "
                "medians of %d rounds\n",
                rounds);
    bench::PrintFigure("  window: start to idle",
                       bench::Format("%.3f s  (boot loader's transfer %.3f s)", bench::Median(window),
                                     bench::Median(windowTransfer)),
                       "", true);
    bench::PrintFigure("  CLI: start to exit",
                       bench::Format("%.3f s  (boot loader's transfer %.3f s)", bench::Median(cli),
                                     bench::Median(cliTransfer)),
                       "", true);
    const double ratio = bench::Median(ratios);
    bench::PrintFigure("  window / CLI", bench::Format("%.2f", ratio), "<= 1.10", ratio <= 1.10);

    const Update cliLarge = RunCli(network, large);
    const Update windowLarge = RunWindow(network, large, output);
    if (Failed(cliLarge) || Failed(windowLarge)) return 1;
    const double limitKiB = LARGE_SIZE / 1024.0 + 8 * 1024;
    std::printf("Memory: peak resident set updating a 32 MiB image\n");
    bench::PrintFigure("  CLI", bench::Format("%.1f MiB", cliLarge.peakRssKiB / 1024.0), "<= 40 MiB (image + 8)",
                       cliLarge.peakRssKiB <= limitKiB);
    bench::PrintFigure("  window", bench::Format("%.1f MiB", windowLarge.peakRssKiB / 1024.0), "", true);
    return 0;
}
