// quorvel-window-shot: opens the real main window on the network it is started in, lets the
// first sweep fill the list, updates one instrument with the given image as a user would
// (select its row, choose the file, confirm), and saves what the display shows of the window
// once the update is over. tools/screenshot runs it under Xvfb in a simulated lab.
//
//   quorvel-window-shot --image FILE --device ADDRESS --output PNG [--limit SECONDS]
#include <QApplication>
#include <QCommandLineParser>
#include <QPixmap>
#include <QScreen>
#include <QTableWidget>
#include <QTimer>
#include <QWindow>
#include <cstdio>

#include "app/app_texts.h"
#include "app/prompts.h"
#include "app/quorvel_dlg.h"

namespace {

// The user's answers: the image in the file dialog, Yes to the confirmation.
class ScriptedPrompts : public Prompts {
public:
    explicit ScriptedPrompts(QString image) : image_(std::move(image)) {}
    void ShowError(QWidget*, const QString&, const QString& text) override {
        std::fprintf(stderr, "quorvel-window-shot: message box: %s\n", qPrintable(text));
    }
    bool AskYesNo(QWidget*, const QString&, const QString&) override { return true; }
    std::optional<QString> ChooseFileToOpen(QWidget*, const QString&) override { return image_; }
    void ShowAbout(QWidget*, const QString&, const QString&) override {}

private:
    QString image_;
};

// What the display shows of the window (from the screen, not re-rendered by the widget).
bool SaveWindow(CQuorvelDlg& window, const QString& path) {
    QScreen* screen = window.screen();
    const QRect frame = window.frameGeometry();
    QPixmap shot = screen ? screen->grabWindow(0, frame.x(), frame.y(), frame.width(),
                                               frame.height())
                          : QPixmap();
    if (shot.isNull()) shot = window.grab();
    return shot.save(path, "PNG");
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(ApplicationName());
    QApplication::setApplicationVersion(ApplicationVersion());

    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption imageOption("image", "Firmware image to send.", "FILE");
    const QCommandLineOption deviceOption("device", "Address of the instrument to update.",
                                          "ADDRESS");
    const QCommandLineOption outputOption("output", "PNG file to write.", "PNG");
    const QCommandLineOption limitOption("limit", "Give up after this many seconds.", "SECONDS",
                                         "120");
    parser.addOptions({imageOption, deviceOption, outputOption, limitOption});
    parser.process(application);
    if (!parser.isSet(imageOption) || !parser.isSet(deviceOption) || !parser.isSet(outputOption)) {
        parser.showHelp(2);
    }
    const QString device = parser.value(deviceOption);
    const QString output = parser.value(outputOption);

    ScriptedPrompts prompts(parser.value(imageOption));
    CQuorvelDlg window(prompts);
    int status = 1;
    bool timedOut = false;
    auto* list = window.findChild<QTableWidget*>("IDC_DEVICE_LIST");

    QObject::connect(&window, &CQuorvelDlg::CommandFinished, &window, [&] {
        list->setFocus();
        // Let the last lines and the full bar be painted before the picture is taken.
        QTimer::singleShot(700, &window, [&] {
            status = SaveWindow(window, output) && !timedOut ? 0 : 1;
            std::fprintf(stderr, "quorvel-window-shot: %s %s\n",
                         status == 0 ? "saved" : "could not save", qPrintable(output));
            window.reject();
        });
    });
    QTimer::singleShot(300, &window, [&] {
        window.activateWindow();
        int row = -1;
        for (int r = 0; r < list->rowCount(); ++r) {
            if (list->item(r, 0)->text() == device) row = r;
        }
        if (row < 0) {
            std::fprintf(stderr, "quorvel-window-shot: %s is not in the list\n", qPrintable(device));
            SaveWindow(window, output);
            window.reject();
            return;
        }
        list->setFocus();
        list->selectRow(row);
        window.ChooseFirmwareFile();
        window.StartFirmwareUpdate();
    });
    QTimer::singleShot(parser.value(limitOption).toInt() * 1000, &window, [&] {
        std::fprintf(stderr, "quorvel-window-shot: the update did not end in time\n");
        timedOut = true;
        window.RequestStop();
    });

    window.DoModal();
    return status;
}
