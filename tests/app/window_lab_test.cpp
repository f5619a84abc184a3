// The window end to end against the simulated instruments (quorvel-lab) in a private
// network: the first sweep fills the list, "Обновить" updates the selected instrument with
// the log and the bar following on the window's thread, "Стоп" ends a stalled transfer,
// and "Поиск" sweeps again off the window's thread.
#include <QCryptographicHash>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "app/quorvel_dlg.h"
#include "tests/app/window_test_support.h"
#include "tests/support/test_network.h"

namespace {

// Two instruments with boot loaders; the second stops acknowledging after three blocks.
const char* const LAB_CONFIG =
    "instrument address=10.23.0.10 type=1 number=0x2A mac=02-11-22-33-44-55 version=0x00020005 "
    "description=Meter%20M-1 bootloader=stellaris\n"
    "instrument address=10.23.0.11 type=2 number=7 mac=02-11-22-33-44-56 version=131077 "
    "description=%CF%F0%E8%E1%EE%F0 bootloader=tiva silent-after=3\n";

constexpr int IMAGE_SIZE = 20 * 512 + 100;  // 21 blocks
constexpr int RUN_LIMIT_MS = 60000;

int RowOf(QTableWidget* list, const QString& address) {
    for (int row = 0; row < list->rowCount(); ++row) {
        if (list->item(row, 0) && list->item(row, 0)->text() == address) return row;
    }
    return -1;
}

}  // namespace

class WindowLabTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<testnet::TestNetwork> network;
    std::unique_ptr<testnet::LabProcess> lab;
    QTemporaryDir directory;
    QString imagePath;
    QByteArray image;
    apptest::FakePrompts prompts;

    // A window on the real network, after its first sweep.
    std::unique_ptr<CQuorvelDlg> OpenWindow() {
        auto window = std::make_unique<CQuorvelDlg>(prompts);
        window->OnInitDialog();
        window->show();
        prompts.fileToChoose = imagePath;
        window->ChooseFirmwareFile();
        return window;
    }

    // Selects the instrument's row and confirms the update.
    static bool StartUpdateOf(CQuorvelDlg& window, const QString& address) {
        auto* list = window.findChild<QTableWidget*>("IDC_DEVICE_LIST");
        const int row = RowOf(list, address);
        if (row < 0) return false;
        list->clearSelection();
        list->selectRow(row);
        QTest::mouseClick(window.findChild<QPushButton*>("IDC_UPDATE"), Qt::LeftButton);
        return window.IsUpdating();
    }

private slots:
    void initTestCase() {
        testnet::EnterPrivateNetwork();
        network = std::make_unique<testnet::TestNetwork>(std::vector<testnet::Link>{
            {"vh23", {"10.23.0.1/24"}, "vl23", {"10.23.0.10/24", "10.23.0.11/24"}}});
        lab = network->StartLab(LAB_CONFIG);
        QVERIFY(lab->WaitReady());
        QVERIFY(directory.isValid());
        imagePath = directory.filePath("firmware.bin");
        for (int i = 0; i < IMAGE_SIZE; ++i) image.append(static_cast<char>((i * 7 + i / 512) & 0xFF));
        QFile file(imagePath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(image), qint64{IMAGE_SIZE});
    }

    void cleanupTestCase() {
        g_stopUpdate = 1;
        lab.reset();
        network.reset();
    }

    void sweepFillsTheListAndAnUpdateCompletes() {
        auto window = OpenWindow();
        auto* list = window->findChild<QTableWidget*>("IDC_DEVICE_LIST");
        auto* bar = window->findChild<QProgressBar*>("IDC_PROGRESS");
        QCOMPARE(list->rowCount(), 2);
        const int meter = RowOf(list, "10.23.0.10");
        QVERIFY(meter >= 0);
        QCOMPARE(list->item(meter, 1)->text(), QString("02-11-22-33-44-55"));
        QCOMPARE(list->item(meter, 2)->text(), QString("0000002A"));
        QCOMPARE(list->item(meter, 3)->text(), QString("2.5"));
        QCOMPARE(list->item(meter, 4)->text(), QString("Meter M-1"));
        const int other = RowOf(list, "10.23.0.11");
        QCOMPARE(list->item(other, 3)->text(), QString("131077"));
        QCOMPARE(list->item(other, 4)->text(), QString::fromUtf8("Прибор"));

        QSignalSpy finished(window.get(), &CQuorvelDlg::CommandFinished);
        QVERIFY(StartUpdateOf(*window, "10.23.0.10"));
        // The window's thread is free while the run serves the boot loader.
        QTRY_VERIFY_WITH_TIMEOUT(bar->value() > 0 || finished.count() > 0, RUN_LIMIT_MS);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, RUN_LIMIT_MS);

        QCOMPARE(bar->value(), 100);
        const QStringList lines = window->LogText().split('\n');
        QCOMPARE(lines.front(), "Reading file (" + imagePath + ") to be downloaded");
        QCOMPARE(lines.at(lines.size() - 2), QString("Closing network connections"));
        QVERIFY(lines.contains("Starting BOOTP/TFTP Server"));
        const QByteArray sha = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
        QVERIFY2(QString::fromStdString(lab->Report())
                     .contains("tftp-done mac=02-11-22-33-44-55 size=" + QString::number(IMAGE_SIZE) +
                               " sha256=" + sha),
                 lab->Report().c_str());

        // "Поиск" again, off the window's thread: the same two instruments, no selection.
        QTest::mouseClick(window->findChild<QPushButton*>("IDC_SEARCH"), Qt::LeftButton);
        QVERIFY(window->IsBusy());
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, RUN_LIMIT_MS);
        QCOMPARE(list->rowCount(), 2);
        QVERIFY(RowOf(list, "10.23.0.10") >= 0 && RowOf(list, "10.23.0.11") >= 0);
        QVERIFY(list->selectionModel()->selectedIndexes().isEmpty());
    }

    void stopEndsAStalledTransfer() {
        auto window = OpenWindow();
        auto* bar = window->findChild<QProgressBar*>("IDC_PROGRESS");
        auto* updateButton = window->findChild<QPushButton*>("IDC_UPDATE");
        QSignalSpy finished(window.get(), &CQuorvelDlg::CommandFinished);
        QVERIFY(StartUpdateOf(*window, "10.23.0.11"));
        QCOMPARE(updateButton->text(), QString::fromUtf8("Стоп"));
        // Three blocks are acknowledged, then the boot loader falls silent.
        QTRY_VERIFY_WITH_TIMEOUT(bar->value() > 0, RUN_LIMIT_MS);
        QTest::qWait(1500);
        QVERIFY(window->IsUpdating());
        QVERIFY(bar->value() < 100);

        QTest::mouseClick(updateButton, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QVERIFY(window->LogText().endsWith("Closing network connections\n"));
        QVERIFY(bar->value() < 100);
        QCOMPARE(updateButton->text(), QString::fromUtf8("Обновить"));
        QVERIFY(!QString::fromStdString(lab->Report()).contains("tftp-done mac=02-11-22-33-44-56"));
    }

    void fileGoneBeforeTheUpdate() {
        auto window = OpenWindow();
        prompts.fileToChoose = directory.filePath("deleted.bin");
        window->ChooseFirmwareFile();
        QSignalSpy finished(window.get(), &CQuorvelDlg::CommandFinished);
        const std::size_t shownBefore = prompts.shown.size();
        QVERIFY(StartUpdateOf(*window, "10.23.0.10"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, RUN_LIMIT_MS);
        const QString path = directory.filePath("deleted.bin");
        QCOMPARE(window->LogText(), "Reading file (" + path + ") to be downloaded\nFile (" + path +
                                        ") not found\n");
        QCOMPARE(prompts.shown.size(), shownBefore + 1);  // the confirmation only
    }
};

QTEST_MAIN(WindowLabTest)
#include "window_lab_test.moc"
