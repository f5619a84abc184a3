#pragma once
// The application object: the start-up that runs the main window modally and ends the
// application after it.

#include <functional>

class CQuorvelDlg;
class Prompts;

class CQuorvelApp {
public:
    // What the start-up takes from outside; tests replace parts of it.
    struct Services {
        Prompts* prompts = nullptr;  // null: the Qt message boxes and file dialog
        std::function<bool()> startSockets;  // empty: net::StartSockets
        // Called with the window object before its initialisation (tests replace the
        // network behind it and schedule their input here).
        std::function<void(CQuorvelDlg&)> prepareWindow;
    };

    CQuorvelApp();
    explicit CQuorvelApp(Services services);

    // Needs a QApplication. Common set-up, the socket layer (one message box and the end
    // when it cannot start), then the main window, run modally and destroyed. Always false:
    // the application ends when it returns.
    bool InitInstance();

private:
    Services services_;
};
