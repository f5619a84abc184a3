// The commands of the main window with the network replaced: file choice, the guards of
// "Обновить", the reset before the first line, the run on a worker thread with its log and
// progress, "Стоп", closing during an update, WM_SET_PROGRESS, and the keys.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableWidget>
#include <QtTest>
#include <atomic>
#include <thread>

#include "app/quorvel_dlg.h"
#include "app/resource.h"
#include "tests/app/window_test_support.h"

Q_DECLARE_METATYPE(QList<int>)

namespace {

const char* const CONFIRM = "Вы действительно хотите обновить встроенное программное обеспечение?";

// What the fake update was called with.
struct UpdateCall {
    std::array<std::uint8_t, 6> mac{};
    net::Ipv4Address interfaceAddress = 0;
    net::Ipv4Address deviceAddress = 0;
    std::wstring path;
    bool sinksGiven = false;
    void* context = nullptr;
};

std::vector<DeviceRecord> ThreeRecords() {
    std::vector<DeviceRecord> records;
    for (int i = 0; i < 3; ++i) {
        records.push_back(apptest::MakeRecord(
            net::MakeAddress(192, 168, 1, static_cast<std::uint8_t>(50 + i)),
            {0x02, 0x11, 0x22, 0x33, 0x44, static_cast<std::uint8_t>(0x55 + i)}, 1, 0, 0, "",
            net::MakeAddress(192, 168, 1, 2)));
    }
    return records;
}

// Lines of the log pane as the user sees them.
QStringList LogLines(const CQuorvelDlg& window) {
    return window.LogText().split('\n');
}

}  // namespace

class UpdateCommandsTest : public QObject {
    Q_OBJECT

private:
    apptest::FakePrompts prompts;
    std::unique_ptr<CQuorvelDlg> window;
    QTableWidget* list = nullptr;
    QPushButton* updateButton = nullptr;
    QProgressBar* bar = nullptr;
    QPlainTextEdit* log = nullptr;
    QLineEdit* pathField = nullptr;
    std::vector<UpdateCall> calls;
    std::mutex callsMutex;

    void SelectRows(const QList<int>& rows) {
        for (int row : rows) {
            list->selectionModel()->select(list->model()->index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

    void ChoosePath(const QString& path) {
        prompts.fileToChoose = path;
        window->ChooseFirmwareFile();
    }

    // An update that records its call, writes two lines and a progress report.
    CQuorvelDlg::UpdateFunction RecordingUpdate() {
        return [this](const std::array<std::uint8_t, 6>& mac, net::Ipv4Address interfaceAddress,
                      net::Ipv4Address deviceAddress, const wchar_t* path, LogSink logSink,
                      ProgressSink progressSink, void* context) {
            {
                std::lock_guard lock(callsMutex);
                calls.push_back({mac, interfaceAddress, deviceAddress, path,
                                 logSink && progressSink, context});
            }
            logSink(context, L"Reading file (x) to be downloaded\r\n");
            progressSink(context, 40);
            logSink(context, L"Closing network connections\r\n");
            return 0;
        };
    }

    // An update that behaves like the run's wait loop: it clears the stop flag once its
    // "sockets are open", then writes a line per pass until the flag is raised (bounded).
    CQuorvelDlg::UpdateFunction LoopingUpdate(apptest::Gate* beforeClear,
                                              std::atomic<bool>* stoppedByFlag) {
        return [beforeClear, stoppedByFlag](const std::array<std::uint8_t, 6>&, net::Ipv4Address,
                                            net::Ipv4Address, const wchar_t*, LogSink logSink,
                                            ProgressSink progressSink, void* context) {
            logSink(context, L"Reading file (x) to be downloaded\r\n");
            if (beforeClear) {
                beforeClear->Arrive();
                if (!beforeClear->Wait()) return 0;
            }
            g_stopUpdate = 0;
            for (int pass = 0; pass < 2000; ++pass) {
                logSink(context, L"Waiting for packet ...\r\n");
                progressSink(context, static_cast<unsigned>(pass % 100));
                if (g_stopUpdate) {
                    *stoppedByFlag = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            logSink(context, L"Closing network connections\r\n");
            return 0;
        };
    }

private slots:
    void init() {
        prompts = apptest::FakePrompts();
        calls.clear();
        window = std::make_unique<CQuorvelDlg>(prompts);
        window->SetSweepFunction(apptest::SweepReturning(ThreeRecords()));
        window->SetUpdateFunction(RecordingUpdate());
        window->OnInitDialog();
        list = window->findChild<QTableWidget*>("IDC_DEVICE_LIST");
        updateButton = window->findChild<QPushButton*>("IDC_UPDATE");
        bar = window->findChild<QProgressBar*>("IDC_PROGRESS");
        log = window->findChild<QPlainTextEdit*>("IDC_LOG");
        pathField = window->findChild<QLineEdit*>("IDC_FIRMWARE_PATH");
    }

    void cleanup() { window.reset(); }

    void fileChoice() {
        QVERIFY(window->FirmwarePath().isEmpty());
        ChoosePath("/images/first.bin");
        QCOMPARE(prompts.shown.back().kind, QString("file"));
        QCOMPARE(prompts.shown.back().text, QString("*.bin"));
        QCOMPARE(window->FirmwarePath(), QString("/images/first.bin"));
        QCOMPARE(pathField->text(), QString("/images/first.bin"));

        prompts.fileToChoose.reset();  // cancelled: the earlier path stays
        window->ChooseFirmwareFile();
        QCOMPARE(window->FirmwarePath(), QString("/images/first.bin"));
        QCOMPARE(pathField->text(), QString("/images/first.bin"));

        // Any name is taken whole, however long and whatever its extension.
        const QString longPath = "/" + QString(300, 'd') + "/image.hex";
        ChoosePath(longPath);
        QCOMPARE(window->FirmwarePath(), longPath);
        QCOMPARE(pathField->text(), longPath);
    }

    void updateGuards_data() {
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("answerYes");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<int>("updatedRecord");  // -1: no update

        QTest::newRow("no row selected") << QList<int>{} << "/fw.bin" << true << false << -1;
        QTest::newRow("no file chosen") << QList<int>{1} << "" << true << false << -1;
        QTest::newRow("answer No") << QList<int>{1} << "/fw.bin" << false << true << -1;
        QTest::newRow("one row") << QList<int>{2} << "/fw.bin" << true << true << 2;
        QTest::newRow("two rows: the lower") << QList<int>{2, 1} << "/fw.bin" << true << true << 1;
    }

    void updateGuards() {
        QFETCH(QList<int>, selected);
        QFETCH(QString, path);
        QFETCH(bool, answerYes);
        QFETCH(bool, asked);
        QFETCH(int, updatedRecord);

        if (!path.isEmpty()) ChoosePath(path);
        SelectRows(selected);
        window->AppendLog(L"earlier report\r\n");
        window->SetProgress(70);
        prompts.answerYes = answerYes;
        QSignalSpy finished(window.get(), &CQuorvelDlg::CommandFinished);

        QTest::mouseClick(updateButton, Qt::LeftButton);

        QCOMPARE(prompts.Count("question"), asked ? 1 : 0);
        if (asked) {
            QCOMPARE(prompts.shown.back().caption, QString("Quorvel"));
            QCOMPARE(prompts.shown.back().text, QString::fromUtf8(CONFIRM));
        }
        if (updatedRecord < 0) {
            QVERIFY(!window->IsBusy());
            QCOMPARE(finished.count(), 0);
            QCOMPARE(window->LogText(), QString("earlier report\n"));
            QCOMPARE(bar->value(), 70);
            QCOMPARE(calls.size(), std::size_t{0});
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(calls.size(), std::size_t{1});
        const DeviceRecord& record = window->Devices().records[updatedRecord];
        QVERIFY(calls[0].mac == record.mac);
        QCOMPARE(calls[0].interfaceAddress, record.interfaceAddress);
        QCOMPARE(calls[0].deviceAddress, record.address);
        QCOMPARE(calls[0].deviceAddress, net::MakeAddress(192, 168, 1, 50 + updatedRecord));
        QCOMPARE(calls[0].interfaceAddress, net::MakeAddress(192, 168, 1, 2));
        QCOMPARE(QString::fromStdWString(calls[0].path), path);
        QVERIFY(calls[0].sinksGiven);
        QCOMPARE(calls[0].context, static_cast<void*>(window.get()));
        // The earlier report is gone; the run's lines arrived, as lines.
        QCOMPARE(window->LogText(),
                 QString("Reading file (x) to be downloaded\nClosing network connections\n"));
        QCOMPARE(bar->value(), 40);
        // No message box after the run.
        QCOMPARE(prompts.shown.size(), std::size_t{2});  // the file dialog and the question
    }

    void logAndBarAreResetBeforeTheFirstLine() {
        ChoosePath("/fw.bin");
        SelectRows({0});
        window->AppendLog(L"earlier report\r\n");
        window->SetProgress(100);

        apptest::Gate gate;
        window->SetUpdateFunction([&gate](const std::array<std::uint8_t, 6>&, net::Ipv4Address,
                                          net::Ipv4Address, const wchar_t*, LogSink logSink,
                                          ProgressSink progressSink, void* context) {
            gate.Arrive();
            if (!gate.Wait()) return 1;
            logSink(context, L"Reading file (/fw.bin) to be downloaded\r\n");
            progressSink(context, 3);
            return 0;
        });
        QSignalSpy finished(window.get(), &CQuorvelDlg::CommandFinished);
        window->StartFirmwareUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(gate.Arrived(), 10000);
        // The run has started and written nothing yet.
        QCOMPARE(window->LogText(), QString());
        QCOMPARE(bar->value(), 0);
        gate.Open();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(window->LogText(), QString("Reading file (/fw.bin) to be downloaded\n"));
        QCOMPARE(bar->value(), 3);
    }

    void stopButtonEndsTheRunEvenBeforeItClearsTheFlag() {
        ChoosePath("/fw.bin");
        SelectRows({0});
        apptest::Gate beforeClear;
        std::atomic<bool> stoppedByFlag{false};
        window->SetUpdateFunction(LoopingUpdate(&beforeClear, &stoppedByFlag));
        QSignalSpy finished(window.get(), &CQuorvelDlg::CommandFinished);
        window->show();
        QTest::mouseClick(updateButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(beforeClear.Arrived(), 10000);

        // While it runs: "Обновить" reads "Стоп"; nothing else can be started.
        QVERIFY(window->IsUpdating());
        QCOMPARE(updateButton->text(), QString::fromUtf8("Стоп"));
        QVERIFY(updateButton->isEnabled());
        QVERIFY(!list->isEnabled());
        QVERIFY(!window->findChild<QPushButton*>("IDC_SEARCH")->isEnabled());
        QVERIFY(!window->findChild<QPushButton*>("IDC_BROWSE")->isEnabled());
        window->StartFirmwareUpdate();
        window->RunDiscovery();
        QCOMPARE(prompts.Count("question"), 1);

        // Pressed before the run has cleared the flag: the request still ends the run.
        QTest::mouseClick(updateButton, Qt::LeftButton);
        beforeClear.Open();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        QVERIFY(stoppedByFlag);
        QCOMPARE(LogLines(*window).at(LogLines(*window).size() - 2),
                 QString("Closing network connections"));
        QCOMPARE(updateButton->text(), QString::fromUtf8("Обновить"));
        QVERIFY(list->isEnabled());
        QVERIFY(window->isVisible());
        QVERIFY(bar->value() < 100);
    }

    void closingDuringAnUpdateAsksAndClosesOnceTheRunReturned() {
        ChoosePath("/fw.bin");
        SelectRows({0});
        std::atomic<bool> stoppedByFlag{false};
        window->SetUpdateFunction(LoopingUpdate(nullptr, &stoppedByFlag));
        QSignalSpy finished(window.get(), &CQuorvelDlg::CommandFinished);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->StartFirmwareUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(window->LogText().contains("Waiting for packet"), 10000);

        // Answered No: the update goes on and the window stays.
        prompts.answerYes = false;
        QTest::keyClick(window.get(), Qt::Key_Escape);
        QCOMPARE(prompts.Count("question"), 2);
        QVERIFY(window->isVisible());
        QVERIFY(window->IsUpdating());
        QVERIFY(!stoppedByFlag);

        // Answered Yes (close box): the run is stopped, the window waits for it to return.
        prompts.answerYes = true;
        window->close();
        QCOMPARE(prompts.Count("question"), 3);
        QVERIFY(window->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 20000);
        QCOMPARE(finished.count(), 1);
        QVERIFY(stoppedByFlag);
        QCOMPARE(window->result(), int(QDialog::Rejected));
        QVERIFY(window->LogText().endsWith("Closing network connections\n"));
    }

    void logPaneAppendsLinesAndFollowsTheEnd() {
        window->show();
        window->AppendLog(L"Setting up network connections\r\n");
        window->AppendLog(L"... Reading TFTP packet\n");
        window->AppendLog(L"no line end yet");
        window->AppendLog(L" - continued\r\n");
        QCOMPARE(window->LogText(), QString("Setting up network connections\n"
                                            "... Reading TFTP packet\n"
                                            "no line end yet - continued\n"));
        QVERIFY(!window->LogText().contains('\r'));

        for (int i = 0; i < 300; ++i) window->AppendLog(L"Waiting for packet ...\r\n");
        QScrollBar* vertical = log->verticalScrollBar();
        QVERIFY(vertical->maximum() > 0);
        QCOMPARE(vertical->value(), vertical->maximum());

        // Null appends nothing but still scrolls to the end.
        const QString before = window->LogText();
        vertical->setValue(0);
        window->AppendLog(nullptr);
        QCOMPARE(window->LogText(), before);
        QCOMPARE(vertical->value(), vertical->maximum());

        // The callbacks on the window's own thread write at once.
        CQuorvelDlg::LogSink(window.get(), L"direct\r\n");
        CQuorvelDlg::ProgressSink(window.get(), 250);
        QVERIFY(window->LogText().endsWith("direct\n"));
        QCOMPARE(bar->value(), 100);
    }

    // A run reports several lines per block from its worker thread, and the window's thread
    // takes them in batches: every line arrives once and in order, and the bar ends at the
    // last position reported.
    void floodOfReportsFromTheWorkerArrivesWholeAndInOrder() {
        ChoosePath("/fw.bin");
        SelectRows({0});
        constexpr int LINES = 20000;
        window->SetUpdateFunction([](const std::array<std::uint8_t, 6>&, net::Ipv4Address,
                                     net::Ipv4Address, const wchar_t*, LogSink logSink,
                                     ProgressSink progressSink, void* context) {
            for (int i = 0; i < LINES; ++i) {
                const std::wstring line = L"line " + std::to_wstring(i) + L"\r\n";
                logSink(context, line.c_str());
                progressSink(context, static_cast<unsigned>(i * 100 / LINES));
                // Let the window's thread take some lines while others are still coming.
                if (i % 500 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            logSink(context, nullptr);
            progressSink(context, 100);
            return 0;
        });
        QSignalSpy finished(window.get(), &CQuorvelDlg::CommandFinished);
        window->StartFirmwareUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
        const QStringList lines = window->LogText().split('\n');
        QCOMPARE(lines.size(), LINES + 1);  // and the empty rest after the last line feed
        for (int i = 0; i < LINES; ++i) {
            if (lines[i] != QString("line %1").arg(i)) QFAIL(qPrintable("line " + QString::number(i) + ": " + lines[i]));
        }
        QCOMPARE(bar->value(), 100);
    }

    void setProgressMessage() {
        WindowMessageEvent half(WM_SET_PROGRESS, 1234, 50);
        QVERIFY(QCoreApplication::sendEvent(window.get(), &half));
        QCOMPARE(bar->value(), 50);
        QCOMPARE(half.result, qintptr{0});

        WindowMessageEvent beyond(WM_SET_PROGRESS, 0, 150);
        QCoreApplication::sendEvent(window.get(), &beyond);
        QCOMPARE(bar->value(), 100);

        WindowMessageEvent below(WM_SET_PROGRESS, 0, -5);
        QCoreApplication::sendEvent(window.get(), &below);
        QCOMPARE(bar->value(), 0);

        WindowMessageEvent huge(WM_SET_PROGRESS, 0, qintptr{1} << 40);
        QCoreApplication::sendEvent(window.get(), &huge);
        QCOMPARE(bar->value(), 100);

        // Posted from another thread.
        std::thread sender([target = window.get()] {
            QCoreApplication::postEvent(target, new WindowMessageEvent(WM_SET_PROGRESS, 0, 25));
        });
        sender.join();
        QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 25, 5000);

        QCOMPARE(window->OnSetProgressMessage(0, 60), qintptr{0});
        QCOMPARE(bar->value(), 60);
    }

    void keys() {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));

        // F1: the About box with the version.
        QTest::keyClick(list, Qt::Key_F1);
        QCOMPARE(prompts.Count("about"), 1);
        QVERIFY(prompts.shown.back().text.contains("1.0.0.2"));

        // Enter on a push button presses it, and the window stays.
        auto* browse = window->findChild<QPushButton*>("IDC_BROWSE");
        prompts.fileToChoose.reset();
        browse->setFocus();
        QTest::keyClick(browse, Qt::Key_Return);
        QCOMPARE(prompts.Count("file"), 1);
        QVERIFY(window->isVisible());

        // Enter in the list closes the window (OK).
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Return);
        QVERIFY(!window->isVisible());
        QCOMPARE(window->result(), int(QDialog::Accepted));

        // Escape closes it (Cancel), asking nothing while no update runs.
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTest::keyClick(list, Qt::Key_Escape);
        QVERIFY(!window->isVisible());
        QCOMPARE(window->result(), int(QDialog::Rejected));
        QCOMPARE(prompts.Count("question"), 0);
    }
};

QTEST_MAIN(UpdateCommandsTest)
#include "update_commands_test.moc"
