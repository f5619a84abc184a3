#include "app/prompts.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QStringList>

namespace {

bool HasWildcard(const QString& name) {
    return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'));
}

// Like the Windows Open dialog, a pattern in the name field ("*.bin") filters the view and
// is never handed back as a file name; any other name is taken as it is.
class OpenFileDialog : public QFileDialog {
public:
    OpenFileDialog(QWidget* parent, const QString& initialName) : QFileDialog(parent) {
        setAcceptMode(QFileDialog::AcceptOpen);
        // Nothing about the file is checked here: the update reports a file it cannot open.
        setFileMode(QFileDialog::AnyFile);
        if (HasWildcard(initialName)) setNameFilter(initialName);
        selectFile(initialName);
    }

protected:
    void accept() override {
        const auto* nameField = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        const QString typed = nameField ? nameField->text().trimmed() : QString();
        if (HasWildcard(typed)) {
            setNameFilter(typed);
            return;
        }
        QFileDialog::accept();
    }
};

}  // namespace

void QtPrompts::ShowError(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

bool QtPrompts::AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> QtPrompts::ChooseFileToOpen(QWidget* parent, const QString& initialName) {
    OpenFileDialog dialog(parent, initialName);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.front();
}

void QtPrompts::ShowAbout(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox::about(parent, caption, text);
}
