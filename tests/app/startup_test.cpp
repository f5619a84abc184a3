// The start-up: the socket-failure message box and the end, or the first sweep before the
// window is shown, the modal run and the end; and the real Qt boxes behind Prompts.
#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "app/prompts.h"
#include "app/quorvel_app.h"
#include "app/quorvel_dlg.h"
#include "tests/app/window_test_support.h"

namespace {

// Runs action on the modal widget of type T once it is up (polled, bounded).
template <typename T>
void WhenModal(std::function<void(T*)> action, int triesLeft = 200) {
    QTimer::singleShot(20, [action, triesLeft] {
        if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget())) {
            action(widget);
        } else if (triesLeft > 0) {
            WhenModal<T>(action, triesLeft - 1);
        }
    });
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void socketFailureShowsOneBoxAndEnds() {
        apptest::FakePrompts prompts;
        bool windowBuilt = false;
        CQuorvelApp app(CQuorvelApp::Services{
            &prompts, [] { return false; }, [&](CQuorvelDlg&) { windowBuilt = true; }});
        QCOMPARE(app.InitInstance(), false);
        QCOMPARE(prompts.shown.size(), std::size_t{1});
        QCOMPARE(prompts.shown[0].kind, QString("error"));
        QCOMPARE(prompts.shown[0].caption, QString("Quorvel"));
        QCOMPARE(prompts.shown[0].text,
                 QString::fromUtf8("Не удалось инициализировать Windows Sockets."));
        QVERIFY(!windowBuilt);
    }

    void firstSweepBeforeTheWindowIsShownThenModalRun() {
        apptest::FakePrompts prompts;
        bool sweptWhileHidden = false;
        bool shownWithRows = false;
        QPointer<CQuorvelDlg> built;
        CQuorvelApp app(CQuorvelApp::Services{
            &prompts, [] { return true; }, [&](CQuorvelDlg& window) {
                built = &window;
                window.SetSweepFunction([&](std::span<DeviceRecord, MAX_DEVICES> out) {
                    sweptWhileHidden = !window.isVisible();
                    out[0] = apptest::NumberedRecord(4);
                    return 1;
                });
                QTimer::singleShot(0, &window, [&] {
                    shownWithRows = window.isVisible() && window.isModal() &&
                                    window.Devices().count == 1;
                    QTest::keyClick(&window, Qt::Key_Escape);
                });
            }});
        QCOMPARE(app.InitInstance(), false);
        QVERIFY(sweptWhileHidden);
        QVERIFY(shownWithRows);
        QVERIFY(built.isNull());  // destroyed before the start-up returned
        QCOMPARE(QApplication::applicationName(), QString("Quorvel"));
        QCOMPARE(QApplication::applicationVersion(), QString("1.0.0.2"));
        QVERIFY(prompts.shown.empty());
    }

    void qtMessageBoxes() {
        QtPrompts prompts;
        bool checked = false;
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            checked = box->icon() == QMessageBox::Warning && box->windowTitle() == "Quorvel" &&
                      box->text() == "socket text" &&
                      box->standardButtons() == QMessageBox::StandardButtons(QMessageBox::Ok);
            box->button(QMessageBox::Ok)->click();
        });
        prompts.ShowError(nullptr, "Quorvel", "socket text");
        QVERIFY(checked);

        for (const bool yes : {false, true}) {
            checked = false;
            WhenModal<QMessageBox>([&](QMessageBox* box) {
                checked = box->icon() == QMessageBox::Question &&
                          box->standardButtons() == (QMessageBox::Yes | QMessageBox::No) &&
                          box->text() == "question";
                box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
            });
            QCOMPARE(prompts.AskYesNo(nullptr, "Quorvel", "question"), yes);
            QVERIFY(checked);
        }
    }

    void qtFileDialogProposesBinAndTakesAnyName() {
        QtPrompts prompts;
        QString proposed;
        QStringList filters;
        WhenModal<QFileDialog>([&](QFileDialog* dialog) {
            if (auto* name = dialog->findChild<QLineEdit*>("fileNameEdit")) proposed = name->text();
            filters = dialog->nameFilters();
            dialog->reject();
        });
        QCOMPARE(prompts.ChooseFileToOpen(nullptr, "*.bin"), std::optional<QString>());
        QCOMPARE(proposed, QString("*.bin"));
        QCOMPARE(filters, QStringList{"*.bin"});

        // Open with a pattern in the name field filters and stays; a name that does not
        // exist (yet), of any extension, is then taken as it is.
        QTemporaryDir dir;
        const QString wanted = dir.filePath("image.hex");
        bool stayedOnPattern = false;
        WhenModal<QFileDialog>([&](QFileDialog* dialog) {
            auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
            name->setText("*.hex");
            static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, as Open does
            stayedOnPattern = dialog->isVisible() && dialog->nameFilters() == QStringList{"*.hex"};
            name->setText(wanted);
            static_cast<QDialog*>(dialog)->accept();
        });
        const std::optional<QString> chosen = prompts.ChooseFileToOpen(nullptr, "*.bin");
        QVERIFY(stayedOnPattern);
        QVERIFY(chosen.has_value());
        QCOMPARE(*chosen, wanted);
    }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
