#pragma once
// The main window: the device list of the latest sweep, the image file, the update
// commands, the progress bar and the log of the running update.

#include <QDialog>
#include <QEvent>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "app/dialog_units.h"
#include "discovery/device_record.h"
#include "net/address.h"
#include "update/update_callbacks.h"

class QKeyEvent;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class Prompts;

// A window message for the main window, as an event: QCoreApplication::sendEvent from the
// window's thread (result filled in), or postEvent from any thread.
class WindowMessageEvent : public QEvent {
public:
    WindowMessageEvent(unsigned message, quintptr wParam, qintptr lParam)
        : QEvent(TypeOf(message)), message(message), wParam(wParam), lParam(lParam) {}
    static QEvent::Type TypeOf(unsigned message) {
        return static_cast<QEvent::Type>(QEvent::User + static_cast<int>(message));
    }

    const unsigned message;
    const quintptr wParam;
    const qintptr lParam;
    qintptr result = 0;
};

class CQuorvelDlg : public QDialog {
    Q_OBJECT

public:
    // One sweep into the records; returns their count (SweepLocalNetwork by default).
    using SweepFunction = std::function<int(std::span<DeviceRecord, MAX_DEVICES>)>;
    // One update run, RunFirmwareUpdate's signature (RunFirmwareUpdate by default).
    using UpdateFunction =
        std::function<int(const std::array<std::uint8_t, 6>&, net::Ipv4Address,
                          net::Ipv4Address, const wchar_t*, ::LogSink, ::ProgressSink, void*)>;

    explicit CQuorvelDlg(Prompts& prompts, QWidget* parent = nullptr);
    // Stops a running update and waits for any running command to return.
    ~CQuorvelDlg() override;

    void SetSweepFunction(SweepFunction sweep) { sweep_ = std::move(sweep); }
    void SetUpdateFunction(UpdateFunction update) { update_ = std::move(update); }

    // Initialises the window (first sweep included, before it is shown) and runs it modally.
    int DoModal();
    // Icons, list columns, progress range, then the first sweep on this thread.
    bool OnInitDialog();
    // Data exchange: towards the controls writes firmwarePath into the path field (the log
    // pane is written as lines arrive); from the controls reads the path field back.
    void UpdateData(bool fromControls);

    // "Поиск": a sweep on a worker thread; the list keeps its rows until it is over.
    void RunDiscovery();
    // "Выбрать".
    void ChooseFirmwareFile();
    // "Обновить": the update of the first selected instrument, on a worker thread.
    void StartFirmwareUpdate();
    // Asks the running update to stop ("Стоп", or closing the window during an update).
    virtual void RequestStop();

    // Appends text (lines end in "\r\n" or "\n") to the log pane and scrolls it to the end;
    // null appends nothing but still scrolls. On the window's thread only.
    void AppendLog(const wchar_t* text);
    // 0..100; other values are held at the nearer end.
    void SetProgress(int position);
    // The update's callbacks; context is the window. Any thread: from a worker, the lines
    // (in the order they were written) and the latest position gathered since the window's
    // thread last looked are shown at its next turn of the event loop.
    static void LogSink(void* context, const wchar_t* text);
    static void ProgressSink(void* context, unsigned percent);

    bool IsBusy() const { return activity_ != Activity::Idle; }
    bool IsUpdating() const { return activity_ == Activity::Update; }
    const DeviceTable& Devices() const { return *devices_; }
    const QString& FirmwarePath() const { return firmwarePath_; }
    QString LogText() const;
    const QPixmap& Icon() const { return icon_; }
    DialogBaseUnits BaseUnits() const { return baseUnits_; }

public slots:
    // WM_SET_PROGRESS: the bar to lParam, wParam ignored; returns 0.
    qintptr OnSetProgressMessage(quintptr wParam, qintptr lParam);
    // Enter: closes the window when nothing runs.
    void accept() override;
    // Escape and the close box: closes when nothing runs; during an update asks whether to
    // stop it and closes once the run has returned; ignored during a sweep.
    void reject() override;

signals:
    // A sweep or an update started by the window has returned and the window is idle again.
    void CommandFinished();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    enum class Activity { Idle, Sweep, Update };

    void CreateControls();
    void ConfigureDeviceList();
    void RebuildDeviceList();
    void SweepNow();
    void OnUpdateClicked();
    int FirstSelectedRow() const;
    void AppendLogText(QString text);
    void StartWorker(Activity activity, std::function<void()> job);
    void FinishWorker();
    // Asks the window's thread, once, to show what the worker reported since its last flush.
    void PostFlushLocked();
    // Appends the pending lines in one piece and sets the latest pending progress.
    void FlushReports();
    void ShowControlsFor(Activity activity);

    Prompts& prompts_;
    SweepFunction sweep_;
    UpdateFunction update_;

    QPixmap icon_;
    DialogBaseUnits baseUnits_;
    QTableWidget* deviceList_ = nullptr;
    QPushButton* updateButton_ = nullptr;
    QLineEdit* pathField_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QPushButton* searchButton_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QPlainTextEdit* logPane_ = nullptr;

    QString firmwarePath_;
    std::unique_ptr<DeviceTable> devices_;     // the latest sweep; row i shows record i
    std::unique_ptr<DeviceTable> sweepTable_;  // written by a sweep on the worker thread

    Activity activity_ = Activity::Idle;
    std::thread worker_;
    // Set by RequestStop for the running update; the log callback raises g_stopUpdate again
    // with every line, since the run clears the flag once its sockets are open.
    std::atomic<bool> stopRequested_{false};
    // Reports of the worker waiting for the window's thread, in the order they came.
    std::mutex reportsMutex_;
    QString pendingLog_;
    bool logPending_ = false;  // LogSink was called since the last flush
    std::optional<int> pendingProgress_;
    bool flushPosted_ = false;
    bool closeWhenIdle_ = false;
    QPointer<QWidget> focusBeforeCommand_;
};
