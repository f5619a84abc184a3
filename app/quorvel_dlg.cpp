#include "app/quorvel_dlg.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <limits>
#include <utility>

#include "app/app_icon.h"
#include "app/app_texts.h"
#include "app/device_sweep.h"
#include "app/dialog_template.h"
#include "app/prompts.h"
#include "app/resource.h"
#include "discovery/device_columns.h"
#include "update/update_run.h"

namespace {

constexpr int PROGRESS_MINIMUM = 0;
constexpr int PROGRESS_MAXIMUM = 100;
// How long the worker's reports gather before the window's thread shows them: often enough
// to look live, seldom enough that laying out and painting the log stays a small share of
// the machine during a transfer.
constexpr int REPORT_FLUSH_INTERVAL_MS = 20;

// The dialog font "MS Shell Dlg", 8 points, and its usual stand-ins where it is missing.
QFont DialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("MS Shell Dlg"), QStringLiteral("MS Shell Dlg 2"),
                      QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans")});
    font.setPointSize(DIALOG_FONT_POINT_SIZE);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return font;
}

QWidget* CreateControl(const ControlTemplate& control, QWidget* parent) {
    const QString text = QString::fromUtf8(control.text);
    switch (control.kind) {
        case ControlKind::ListView:
            return new QTableWidget(parent);
        case ControlKind::PushButton: {
            auto* button = new QPushButton(text, parent);
            // The template has no default push button.
            button->setAutoDefault(false);
            button->setDefault(false);
            return button;
        }
        case ControlKind::Edit:
            if (control.style & ES_MULTILINE) return new QPlainTextEdit(text, parent);
            return new QLineEdit(text, parent);
        case ControlKind::ProgressBar:
            return new QProgressBar(parent);
        case ControlKind::StaticText: {
            auto* label = new QLabel(text, parent);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            return label;
        }
    }
    return nullptr;
}

// What Qt can show of a control's Win32 styles.
void ApplyStyles(QWidget* widget, const ControlTemplate& control) {
    widget->setFocusPolicy((control.style & WS_TABSTOP) ? Qt::StrongFocus : Qt::NoFocus);
    if (auto* line = qobject_cast<QLineEdit*>(widget)) {
        line->setReadOnly(control.style & ES_READONLY);
        line->setFrame(control.style & WS_BORDER);
    }
    if (auto* pane = qobject_cast<QPlainTextEdit*>(widget)) {
        pane->setReadOnly(control.style & ES_READONLY);
        // ES_AUTOHSCROLL without word wrap: long lines scroll sideways.
        pane->setLineWrapMode(QPlainTextEdit::NoWrap);
        pane->setVerticalScrollBarPolicy((control.style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                     : Qt::ScrollBarAsNeeded);
        pane->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        pane->setTabChangesFocus(true);
        // Read-only panes still take the focus by keyboard (WS_TABSTOP) to be scrolled.
        pane->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    }
}

QTableWidgetItem* MakeCell(const std::wstring& text) {
    auto* item = new QTableWidgetItem(QString::fromStdWString(text));
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

}  // namespace

CQuorvelDlg::CQuorvelDlg(Prompts& prompts, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      prompts_(prompts),
      sweep_(SweepLocalNetwork),
      update_(RunFirmwareUpdate),
      icon_(DrawApplicationIcon()),
      devices_(std::make_unique<DeviceTable>()),
      sweepTable_(std::make_unique<DeviceTable>()) {
    setObjectName(QStringLiteral("IDD_MAIN_DIALOG"));
    setProperty("templateId", IDD_MAIN_DIALOG);
    setWindowTitle(ApplicationName());
    setFont(DialogFont());
    setSizeGripEnabled(false);
    baseUnits_ = MeasureDialogBaseUnits(font(), this);
    setFixedSize(DluToPixelsX(MAIN_DIALOG_WIDTH_DLU, baseUnits_),
                 DluToPixelsY(MAIN_DIALOG_HEIGHT_DLU, baseUnits_));
    CreateControls();
}

CQuorvelDlg::~CQuorvelDlg() {
    if (worker_.joinable()) {
        if (activity_ == Activity::Update) RequestStop();
        worker_.join();
    }
}

void CQuorvelDlg::CreateControls() {
    QWidget* previous = nullptr;
    for (const ControlTemplate& control : MAIN_DIALOG_CONTROLS) {
        QWidget* widget = CreateControl(control, this);
        widget->setObjectName(QString::fromUtf8(control.name));
        widget->setProperty("controlId", control.id);
        widget->setGeometry(DluRectToPixels(control.x, control.y, control.width, control.height,
                                            baseUnits_));
        ApplyStyles(widget, control);
        if (previous) QWidget::setTabOrder(previous, widget);
        previous = widget;
        switch (control.id) {
            case IDC_DEVICE_LIST: deviceList_ = static_cast<QTableWidget*>(widget); break;
            case IDC_UPDATE: updateButton_ = static_cast<QPushButton*>(widget); break;
            case IDC_FIRMWARE_PATH: pathField_ = static_cast<QLineEdit*>(widget); break;
            case IDC_BROWSE: browseButton_ = static_cast<QPushButton*>(widget); break;
            case IDC_SEARCH: searchButton_ = static_cast<QPushButton*>(widget); break;
            case IDC_PROGRESS: progressBar_ = static_cast<QProgressBar*>(widget); break;
            case IDC_LOG: logPane_ = static_cast<QPlainTextEdit*>(widget); break;
            default: break;
        }
    }
    // A Windows progress bar shows no percentage text.
    progressBar_->setTextVisible(false);
    // Nobody can undo in the read-only log, and an update's tens of thousands of lines
    // would each keep an undo record.
    logPane_->setUndoRedoEnabled(false);

    connect(updateButton_, &QPushButton::clicked, this, &CQuorvelDlg::OnUpdateClicked);
    connect(browseButton_, &QPushButton::clicked, this, &CQuorvelDlg::ChooseFirmwareFile);
    connect(searchButton_, &QPushButton::clicked, this, &CQuorvelDlg::RunDiscovery);
}

int CQuorvelDlg::DoModal() {
    OnInitDialog();
    // The first control in tab order gets the focus.
    deviceList_->setFocus();
    return exec();
}

bool CQuorvelDlg::OnInitDialog() {
    UpdateData(false);
    setWindowIcon(QIcon(icon_));
    ConfigureDeviceList();
    progressBar_->setRange(PROGRESS_MINIMUM, PROGRESS_MAXIMUM);
    progressBar_->setValue(0);
    SweepNow();
    return true;
}

void CQuorvelDlg::ConfigureDeviceList() {
    // Report view: grid lines, whole rows selected, several rows at once.
    deviceList_->setShowGrid(true);
    deviceList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    deviceList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    deviceList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    deviceList_->setWordWrap(false);
    deviceList_->setCornerButtonEnabled(false);
    deviceList_->setTabKeyNavigation(false);  // Tab goes to the next control
    deviceList_->verticalHeader()->setVisible(false);
    deviceList_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    deviceList_->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 4);
    QHeaderView* header = deviceList_->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setStretchLastSection(false);
    header->setHighlightSections(false);
    header->setSectionsClickable(false);  // nothing sorts the rows
    deviceList_->setColumnCount(static_cast<int>(DEVICE_LIST_COLUMNS.size()));
    for (std::size_t i = 0; i < DEVICE_LIST_COLUMNS.size(); ++i) {
        const int column = static_cast<int>(i);
        auto* item = new QTableWidgetItem(QString::fromUtf8(DEVICE_LIST_COLUMNS[i].header));
        item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        deviceList_->setHorizontalHeaderItem(column, item);
        // At the template's font exactly its pixels; wider fonts and screens get wider columns,
        // so that a MAC address still fits its column.
        deviceList_->setColumnWidth(column,
                                    ScaleTemplatePixelsX(DEVICE_LIST_COLUMNS[i].width, baseUnits_));
    }
    // The selection is not shown while the list lacks the focus.
    QPalette palette = deviceList_->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     palette.color(QPalette::Inactive, QPalette::Base));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Inactive, QPalette::Text));
    deviceList_->setPalette(palette);
}

void CQuorvelDlg::UpdateData(bool fromControls) {
    if (fromControls) {
        firmwarePath_ = pathField_->text();
    } else if (pathField_->text() != firmwarePath_) {
        pathField_->setText(firmwarePath_);
    }
}

void CQuorvelDlg::SweepNow() {
    const int count = sweep_ ? sweep_(devices_->records) : 0;
    devices_->count = std::clamp(count, 0, MAX_DEVICES);
    RebuildDeviceList();
}

void CQuorvelDlg::RunDiscovery() {
    if (IsBusy()) return;
    // The sweep fills a table of its own; the list keeps the earlier rows until it is over.
    StartWorker(Activity::Sweep, [this] {
        const int count = sweep_ ? sweep_(sweepTable_->records) : 0;
        sweepTable_->count = std::clamp(count, 0, MAX_DEVICES);
    });
}

void CQuorvelDlg::RebuildDeviceList() {
    deviceList_->clearContents();
    deviceList_->setRowCount(0);
    deviceList_->setRowCount(devices_->count);
    for (int row = 0; row < devices_->count; ++row) {
        const auto texts = FormatDeviceColumns(devices_->records[row]);
        for (int column = 0; column < DEVICE_COLUMN_COUNT; ++column) {
            deviceList_->setItem(row, column, MakeCell(texts[static_cast<std::size_t>(column)]));
        }
    }
}

void CQuorvelDlg::ChooseFirmwareFile() {
    if (IsBusy()) return;
    const std::optional<QString> chosen =
        prompts_.ChooseFileToOpen(this, FirmwareFileInitialName());
    if (!chosen) return;
    firmwarePath_ = *chosen;
    UpdateData(false);
}

int CQuorvelDlg::FirstSelectedRow() const {
    int first = -1;
    for (const QModelIndex& index : deviceList_->selectionModel()->selectedIndexes()) {
        if (first < 0 || index.row() < first) first = index.row();
    }
    return first;
}

void CQuorvelDlg::OnUpdateClicked() {
    if (activity_ == Activity::Update) {
        RequestStop();
    } else {
        StartFirmwareUpdate();
    }
}

void CQuorvelDlg::StartFirmwareUpdate() {
    if (IsBusy()) return;
    const int row = FirstSelectedRow();
    if (row < 0 || row >= devices_->count) return;
    if (firmwarePath_.isEmpty()) return;
    if (!prompts_.AskYesNo(this, ApplicationName(), ConfirmUpdateText())) return;
    // The confirmation box runs its own event loop; the state may have changed under it.
    if (IsBusy()) return;

    SetProgress(0);
    logPane_->clear();
    UpdateData(false);

    const DeviceRecord record = devices_->records[row];
    std::wstring path = firmwarePath_.toStdWString();
    stopRequested_ = false;
    StartWorker(Activity::Update, [this, record, path = std::move(path)] {
        if (update_) {
            update_(record.mac, record.interfaceAddress, record.address, path.c_str(),
                    &CQuorvelDlg::LogSink, &CQuorvelDlg::ProgressSink, this);
        }
    });
}

void CQuorvelDlg::RequestStop() {
    stopRequested_ = true;
    g_stopUpdate = 1;
}

void CQuorvelDlg::StartWorker(Activity activity, std::function<void()> job) {
    focusBeforeCommand_ = focusWidget();
    activity_ = activity;
    ShowControlsFor(activity);
    worker_ = std::thread([this, job = std::move(job)] {
        job();
        // Queued behind every line and progress report the job posted.
        QMetaObject::invokeMethod(this, [this] { FinishWorker(); }, Qt::QueuedConnection);
    });
}

void CQuorvelDlg::FinishWorker() {
    if (worker_.joinable()) worker_.join();
    // Whatever the job reported last is shown before the window is idle again.
    FlushReports();
    const Activity finished = activity_;
    activity_ = Activity::Idle;
    if (finished == Activity::Sweep) {
        std::swap(devices_, sweepTable_);
        RebuildDeviceList();
    }
    ShowControlsFor(Activity::Idle);
    // The control that had the focus before the command gets it back (the list, usually).
    if (focusBeforeCommand_ && focusBeforeCommand_->isEnabled()) focusBeforeCommand_->setFocus();
    focusBeforeCommand_ = nullptr;
    if (closeWhenIdle_) {
        closeWhenIdle_ = false;
        QDialog::reject();
    }
    emit CommandFinished();
}

void CQuorvelDlg::ShowControlsFor(Activity activity) {
    const bool idle = activity == Activity::Idle;
    deviceList_->setEnabled(idle);
    browseButton_->setEnabled(idle);
    searchButton_->setEnabled(idle);
    // During an update the same button stops it.
    updateButton_->setEnabled(activity != Activity::Sweep);
    updateButton_->setText(activity == Activity::Update ? StopButtonText() : UpdateButtonText());
}

void CQuorvelDlg::AppendLog(const wchar_t* text) {
    AppendLogText(text ? QString::fromWCharArray(text) : QString());
}

void CQuorvelDlg::AppendLogText(QString text) {
    // Lines come with "\r\n": the pane's line separator is the line feed.
    text.remove(QLatin1Char('\r'));
    if (!text.isEmpty()) {
        QTextCursor end(logPane_->document());
        end.movePosition(QTextCursor::End);
        end.insertText(text);
    }
    UpdateData(false);
    QScrollBar* bar = logPane_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

QString CQuorvelDlg::LogText() const { return logPane_->toPlainText(); }

void CQuorvelDlg::SetProgress(int position) {
    // QProgressBar ignores values outside its range; the Windows bar holds them at the end.
    progressBar_->setValue(std::clamp(position, progressBar_->minimum(), progressBar_->maximum()));
}

void CQuorvelDlg::LogSink(void* context, const wchar_t* text) {
    auto* window = static_cast<CQuorvelDlg*>(context);
    if (!window) return;
    if (window->stopRequested_) g_stopUpdate = 1;
    if (QThread::currentThread() == window->thread()) {
        window->AppendLog(text);
        return;
    }
    // The text lives only for this call: copy it before it crosses threads. Lines wait in
    // pendingLog_ until the window's thread takes them all in one append: a run writes
    // several lines per block, and one event and one append each would keep the window's
    // thread far behind the transfer.
    std::lock_guard lock(window->reportsMutex_);
    if (text != nullptr) window->pendingLog_ += QString::fromWCharArray(text);
    window->logPending_ = true;  // a null text still scrolls the pane
    window->PostFlushLocked();
}

void CQuorvelDlg::ProgressSink(void* context, unsigned percent) {
    auto* window = static_cast<CQuorvelDlg*>(context);
    if (!window) return;
    const int position = static_cast<int>(std::min(percent, unsigned{PROGRESS_MAXIMUM}));
    if (QThread::currentThread() == window->thread()) {
        window->SetProgress(position);
        return;
    }
    // Only the latest position matters to the bar; it goes with the next flush.
    std::lock_guard lock(window->reportsMutex_);
    window->pendingProgress_ = position;
    window->PostFlushLocked();
}

void CQuorvelDlg::PostFlushLocked() {
    if (flushPosted_) return;
    flushPosted_ = true;
    QMetaObject::invokeMethod(
        this, [this] { QTimer::singleShot(REPORT_FLUSH_INTERVAL_MS, this, [this] { FlushReports(); }); },
        Qt::QueuedConnection);
}

void CQuorvelDlg::FlushReports() {
    QString lines;
    bool logged = false;
    std::optional<int> position;
    {
        std::lock_guard lock(reportsMutex_);
        lines.swap(pendingLog_);
        logged = std::exchange(logPending_, false);
        position = std::exchange(pendingProgress_, std::nullopt);
        flushPosted_ = false;
    }
    if (logged) AppendLogText(std::move(lines));
    if (position) SetProgress(*position);
}

qintptr CQuorvelDlg::OnSetProgressMessage(quintptr, qintptr lParam) {
    const qintptr held = std::clamp<qintptr>(lParam, std::numeric_limits<int>::min(),
                                             std::numeric_limits<int>::max());
    SetProgress(static_cast<int>(held));
    return 0;
}

bool CQuorvelDlg::event(QEvent* event) {
    if (event->type() == WindowMessageEvent::TypeOf(WM_SET_PROGRESS)) {
        auto* message = static_cast<WindowMessageEvent*>(event);
        message->result = OnSetProgressMessage(message->wParam, message->lParam);
        return true;
    }
    return QDialog::event(event);
}

void CQuorvelDlg::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::HelpContents)) {
        prompts_.ShowAbout(this, AboutCaption(), AboutText());
        return;
    }
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    if (enter && plain) {
        // Enter presses the push button that has the focus; anywhere else it is OK.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            if (button->isEnabled()) button->click();
        } else {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

void CQuorvelDlg::accept() {
    if (IsBusy()) return;
    UpdateData(true);
    QDialog::accept();
}

void CQuorvelDlg::reject() {
    if (activity_ == Activity::Sweep) return;
    if (activity_ == Activity::Update) {
        const bool stop = prompts_.AskYesNo(this, ApplicationName(), ConfirmStopText());
        if (!stop) return;
        // The run may have returned while the question was open.
        if (activity_ == Activity::Update) {
            RequestStop();
            closeWhenIdle_ = true;
            return;
        }
    }
    QDialog::reject();
}
