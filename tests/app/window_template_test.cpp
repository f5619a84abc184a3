// The main window against its template IDD_MAIN_DIALOG: controls, texts, geometry in dialog
// units (back-computed from the pixels), tab order, and the styles Qt can show.
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>
#include <cmath>

#include "app/quorvel_dlg.h"
#include "tests/app/window_test_support.h"

namespace {

// The template as the window must show it (dialog units; tab order).
struct ExpectedControl {
    int id;
    const char* className;
    const char* text;
    int x, y, width, height;
    bool tabStop;
};

const ExpectedControl EXPECTED[] = {
    {1000, "QTableWidget", "", 7, 24, 377, 161, true},
    {1001, "QPushButton", "Обновить", 334, 223, 50, 14, true},
    {1002, "QLineEdit", "", 7, 206, 320, 14, true},
    {1004, "QPushButton", "Выбрать", 334, 206, 50, 14, true},
    {1005, "QPushButton", "Поиск", 334, 7, 50, 14, true},
    {1006, "QProgressBar", "", 7, 223, 320, 14, false},
    {-1, "QLabel", "Приборы подключенные к сети", 7, 10, 320, 8, false},
    {-1, "QLabel", "Обновление встроенного программного обеспечения", 7, 191, 377, 8, false},
    {1007, "QPlainTextEdit", "", 7, 240, 377, 64, true},
};

QString TextOf(QWidget* w) {
    if (auto* b = qobject_cast<QPushButton*>(w)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return p->toPlainText();
    return QString();
}

// Pixels back to dialog units; the conversion rounds to whole pixels, so half a pixel
// either way is the template's own value.
double ToDluX(int px, const DialogBaseUnits& u) { return px * 4.0 / u.x; }
double ToDluY(int px, const DialogBaseUnits& u) { return px * 8.0 / u.y; }

}  // namespace

class WindowTemplateTest : public QObject {
    Q_OBJECT

private:
    apptest::FakePrompts prompts;

    std::unique_ptr<CQuorvelDlg> MakeWindow() {
        auto window = std::make_unique<CQuorvelDlg>(prompts);
        window->SetSweepFunction(apptest::SweepReturning({}));
        window->OnInitDialog();
        return window;
    }

    // The template's controls in focus-chain order from the list.
    static std::vector<QWidget*> ControlsInChainOrder(CQuorvelDlg& window) {
        std::vector<QWidget*> controls;
        QWidget* first = window.findChild<QWidget*>("IDC_DEVICE_LIST");
        QWidget* w = first;
        for (int guard = 0; guard < 200 && w; ++guard) {
            if (w->property("controlId").isValid()) controls.push_back(w);
            w = w->nextInFocusChain();
            if (w == first) break;
        }
        return controls;
    }

private slots:
    void windowFrameAndSize() {
        auto window = MakeWindow();
        QCOMPARE(window->windowTitle(), QString("Quorvel"));
        QCOMPARE(window->property("templateId").toInt(), 102);

        // Base units from the font actually in use, as the dialog manager measures them.
        const QFontMetrics metrics(window->font(), window.get());
        const int bx = static_cast<int>(std::lround(
            metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") /
            52.0));
        const int by = metrics.ascent() + metrics.descent();
        QCOMPARE(window->BaseUnits().x, bx);
        QCOMPARE(window->BaseUnits().y, by);
        QCOMPARE(window->font().pointSize(), 8);

        const DialogBaseUnits u{bx, by};
        QVERIFY(std::abs(ToDluX(window->width(), u) - 391) <= 0.5);
        QVERIFY(std::abs(ToDluY(window->height(), u) - 311) <= 0.5);
        // Fixed size: a close and a minimise box, no maximise box.
        QCOMPARE(window->minimumSize(), window->maximumSize());
        const Qt::WindowFlags flags = window->windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
        QVERIFY(!window->isSizeGripEnabled());

        // IDR_MAINFRAME: one 47 x 47 image with alpha, used as the window icon.
        QCOMPARE(window->Icon().size(), QSize(47, 47));
        QVERIFY(window->Icon().hasAlphaChannel());
        QVERIFY(!window->windowIcon().isNull());
    }

    void controlsIdsTextsGeometryAndTabOrder() {
        auto window = MakeWindow();
        const DialogBaseUnits u = window->BaseUnits();
        const std::vector<QWidget*> controls = ControlsInChainOrder(*window);
        QCOMPARE(controls.size(), std::size(EXPECTED));
        for (std::size_t i = 0; i < controls.size(); ++i) {
            const ExpectedControl& e = EXPECTED[i];
            QWidget* w = controls[i];
            const QByteArray where = QByteArray("control #") + QByteArray::number(int(i) + 1);
            QVERIFY2(w->property("controlId").toInt() == e.id, where);
            QVERIFY2(QByteArray(w->metaObject()->className()) == e.className, where);
            QVERIFY2(TextOf(w) == QString::fromUtf8(e.text), where);
            const QRect r = w->geometry();
            QVERIFY2(std::abs(ToDluX(r.x(), u) - e.x) <= 0.5, where);
            QVERIFY2(std::abs(ToDluY(r.y(), u) - e.y) <= 0.5, where);
            QVERIFY2(std::abs(ToDluX(r.width(), u) - e.width) <= 0.5, where);
            QVERIFY2(std::abs(ToDluY(r.height(), u) - e.height) <= 0.5, where);
            QVERIFY2((w->focusPolicy() & Qt::TabFocus) == (e.tabStop ? Qt::TabFocus : 0), where);
        }
        // Tab moves through the tab stops in template order and wraps round.
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->activateWindow();
        controls[0]->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(controls[0]->hasFocus(), 5000);
        const int tabStops[] = {1, 2, 3, 4, 8, 0};
        for (int next : tabStops) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QVERIFY2(QApplication::focusWidget() == controls[static_cast<std::size_t>(next)],
                     QByteArray::number(next));
        }
    }

    void stylesQtCanShow() {
        auto window = MakeWindow();
        auto* list = window->findChild<QTableWidget*>("IDC_DEVICE_LIST");
        QVERIFY(list->showGrid());
        QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(list->editTriggers(), QAbstractItemView::NoEditTriggers);
        QVERIFY(!list->verticalHeader()->isVisible() || list->verticalHeader()->isHidden());
        QVERIFY(list->horizontalHeader()->isVisibleTo(window.get()));
        const char* headers[] = {"IP адрес", "MAC адрес", "Номер", "Версия", "Описание"};
        const int widths[] = {100, 110, 80, 50, 200};
        QCOMPARE(list->columnCount(), 5);
        for (int c = 0; c < 5; ++c) {
            QCOMPARE(list->horizontalHeaderItem(c)->text(), QString::fromUtf8(headers[c]));
            // Pixels of the template's font (bx 6), scaled to the font in use.
            const double scaled = widths[c] * window->BaseUnits().x / 6.0;
            QVERIFY(std::abs(list->columnWidth(c) - scaled) <= 0.5);
            QVERIFY(list->horizontalHeaderItem(c)->textAlignment() & Qt::AlignLeft);
        }
        QCOMPARE(list->rowCount(), 0);
        // The selection is not shown while the list lacks the focus.
        QCOMPARE(list->palette().color(QPalette::Inactive, QPalette::Highlight),
                 list->palette().color(QPalette::Inactive, QPalette::Base));
        // The widest address, MAC address and number fit their columns whole.
        const QFontMetrics cellMetrics(list->font());
        QVERIFY(cellMetrics.horizontalAdvance("255.255.255.255") + 6 <= list->columnWidth(0));
        QVERIFY(cellMetrics.horizontalAdvance("DD-DD-DD-DD-DD-DD") + 6 <= list->columnWidth(1));
        QVERIFY(cellMetrics.horizontalAdvance("DDDDDDDD") + 6 <= list->columnWidth(2));

        auto* path = window->findChild<QLineEdit*>("IDC_FIRMWARE_PATH");
        QVERIFY(path->isReadOnly());
        QVERIFY(path->hasFrame());

        auto* bar = window->findChild<QProgressBar*>("IDC_PROGRESS");
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);

        auto* log = window->findChild<QPlainTextEdit*>("IDC_LOG");
        QVERIFY(log->isReadOnly());
        QCOMPARE(log->lineWrapMode(), QPlainTextEdit::NoWrap);
        QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QVERIFY(log->horizontalScrollBarPolicy() != Qt::ScrollBarAlwaysOff);

        // No default push button.
        for (QPushButton* b : window->findChildren<QPushButton*>()) {
            QVERIFY(!b->isDefault());
            QVERIFY(!b->autoDefault());
        }
    }
};

QTEST_MAIN(WindowTemplateTest)
#include "window_template_test.moc"
