#pragma once
// The message boxes and the file dialog of the application, behind an interface so tests
// can answer them. QtPrompts shows the real ones.

#include <QString>
#include <optional>

class QWidget;

class Prompts {
public:
    virtual ~Prompts() = default;
    // An error with an OK button and the exclamation icon.
    virtual void ShowError(QWidget* parent, const QString& caption, const QString& text) = 0;
    // A question with the buttons Yes and No; true for Yes.
    virtual bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) = 0;
    // The Open dialog with initialName in its name field and no filter; the full path of
    // the chosen file (not checked in any way), or nullopt when the user cancels.
    virtual std::optional<QString> ChooseFileToOpen(QWidget* parent,
                                                    const QString& initialName) = 0;
    virtual void ShowAbout(QWidget* parent, const QString& caption, const QString& text) = 0;
};

class QtPrompts : public Prompts {
public:
    void ShowError(QWidget* parent, const QString& caption, const QString& text) override;
    bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) override;
    std::optional<QString> ChooseFileToOpen(QWidget* parent, const QString& initialName) override;
    void ShowAbout(QWidget* parent, const QString& caption, const QString& text) override;
};
