// The device list: row i shows record i of the latest sweep with the texts of its columns;
// a later sweep runs off the window's thread and replaces the rows only when it is over.
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QtTest>

#include "app/quorvel_dlg.h"
#include "discovery/device_columns.h"
#include "tests/app/window_test_support.h"

using apptest::MakeRecord;

namespace {

struct RowCase {
    const char* name;
    DeviceRecord record;
    const char* texts[5];
};

// Version by device type, eight-digit number, MAC, empty and Windows-1251 descriptions.
std::vector<RowCase> RowCases() {
    using net::MakeAddress;
    return {
        {"type 1 version 2.5",
         MakeRecord(MakeAddress(192, 168, 1, 10), {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, 1, 5,
                    0x00020005, "Meter"),
         {"192.168.1.10", "00-1A-2B-3C-4D-5E", "00000005", "2.5", "Meter"}},
        {"type 0 same version bytes",
         MakeRecord(MakeAddress(10, 0, 0, 7), {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, 0, 0x2A,
                    0x00020005, ""),
         {"10.0.0.7", "02-11-22-33-44-55", "0000002A", "131077", ""}},
        {"type 1 all ones",
         MakeRecord(MakeAddress(255, 255, 255, 254), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, 1,
                    0xFF, 0xFFFFFFFF, "x"),
         {"255.255.255.254", "FF-FF-FF-FF-FF-FE", "000000FF", "65535.65535", "x"}},
        {"type 2 all ones",
         MakeRecord(MakeAddress(1, 2, 3, 4), {0, 0, 0, 0, 0, 0}, 2, 0, 0xFFFFFFFF,
                    "\xCF\xF0\xE8\xE1\xEE\xF0 \xB9" "1"),
         {"1.2.3.4", "00-00-00-00-00-00", "00000000", "-1", "Прибор №1"}},
    };
}

QStringList RowTexts(QTableWidget* list, int row) {
    QStringList texts;
    for (int c = 0; c < list->columnCount(); ++c) {
        QTableWidgetItem* item = list->item(row, c);
        texts << (item ? item->text() : QString("<no item>"));
    }
    return texts;
}

}  // namespace

class DeviceListTest : public QObject {
    Q_OBJECT

private:
    apptest::FakePrompts prompts;

private slots:
    void rowsShowTheColumnTextsOfTheirRecords() {
        std::vector<DeviceRecord> records;
        for (const RowCase& c : RowCases()) records.push_back(c.record);
        CQuorvelDlg window(prompts);
        window.SetSweepFunction(apptest::SweepReturning(records));
        window.OnInitDialog();

        auto* list = window.findChild<QTableWidget*>("IDC_DEVICE_LIST");
        const std::vector<RowCase> cases = RowCases();
        QCOMPARE(list->rowCount(), int(cases.size()));
        QCOMPARE(window.Devices().count, int(cases.size()));
        for (std::size_t row = 0; row < cases.size(); ++row) {
            QStringList expected;
            for (const char* t : cases[row].texts) expected << QString::fromUtf8(t);
            QVERIFY2(RowTexts(list, int(row)) == expected, cases[row].name);
            // The same texts as every other front end shows.
            const auto formatted = FormatDeviceColumns(window.Devices().records[row]);
            for (int c = 0; c < 5; ++c) {
                QCOMPARE(list->item(int(row), c)->text(),
                         QString::fromStdWString(formatted[std::size_t(c)]));
            }
        }
    }

    void fullTableGivesAllRowsInOrder() {
        std::vector<DeviceRecord> records;
        for (int i = 0; i < MAX_DEVICES; ++i) records.push_back(apptest::NumberedRecord(i));
        CQuorvelDlg window(prompts);
        window.SetSweepFunction(apptest::SweepReturning(records));
        window.OnInitDialog();
        auto* list = window.findChild<QTableWidget*>("IDC_DEVICE_LIST");
        QCOMPARE(list->rowCount(), 256);
        QCOMPARE(list->item(0, 0)->text(), QString("10.0.0.0"));
        QCOMPARE(list->item(255, 0)->text(), QString("10.0.0.255"));
        QCOMPARE(list->item(255, 2)->text(), QString("000000FF"));
    }

    void laterSweepKeepsRowsUntilOverThenLeavesOnlyItsOwn() {
        CQuorvelDlg window(prompts);
        window.SetSweepFunction(apptest::SweepReturning(
            {apptest::NumberedRecord(0), apptest::NumberedRecord(1), apptest::NumberedRecord(2)}));
        window.OnInitDialog();
        window.show();
        auto* list = window.findChild<QTableWidget*>("IDC_DEVICE_LIST");
        auto* search = window.findChild<QPushButton*>("IDC_SEARCH");
        auto* update = window.findChild<QPushButton*>("IDC_UPDATE");
        auto* browse = window.findChild<QPushButton*>("IDC_BROWSE");
        QCOMPARE(list->rowCount(), 3);
        list->selectRow(1);

        apptest::Gate gate;
        window.SetSweepFunction([&gate](std::span<DeviceRecord, MAX_DEVICES> out) {
            gate.Arrive();
            if (!gate.Wait()) return 0;
            out[0] = apptest::NumberedRecord(7);
            return 1;
        });
        QSignalSpy finished(&window, &CQuorvelDlg::CommandFinished);
        QTest::mouseClick(search, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(gate.Arrived(), 10000);

        // While it collects: the old rows stay, nothing can be started, the window paints.
        QVERIFY(window.IsBusy());
        QCOMPARE(list->rowCount(), 3);
        QCOMPARE(list->item(2, 0)->text(), QString("10.0.0.2"));
        QVERIFY(!list->isEnabled());
        QVERIFY(!search->isEnabled());
        QVERIFY(!update->isEnabled());
        QVERIFY(!browse->isEnabled());
        window.repaint();
        // A second press, Escape and Enter do nothing meanwhile.
        window.RunDiscovery();
        QTest::keyClick(&window, Qt::Key_Escape);
        QTest::keyClick(&window, Qt::Key_Return);
        QVERIFY(window.isVisible());

        gate.Open();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QVERIFY(!window.IsBusy());
        QCOMPARE(list->rowCount(), 1);
        QCOMPARE(list->item(0, 0)->text(), QString("10.0.0.7"));
        QCOMPARE(window.Devices().count, 1);
        QVERIFY(list->selectionModel()->selectedIndexes().isEmpty());
        QVERIFY(list->isEnabled());
        QVERIFY(search->isEnabled());
        QVERIFY(update->isEnabled());
        QVERIFY(browse->isEnabled());

        // A sweep that finds nothing empties the list.
        window.SetSweepFunction(apptest::SweepReturning({}));
        window.RunDiscovery();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 10000);
        QCOMPARE(list->rowCount(), 0);
        QCOMPARE(window.Devices().count, 0);
    }
};

QTEST_MAIN(DeviceListTest)
#include "device_list_test.moc"
