#include "app/quorvel_app.h"

#include <QApplication>
#include <QIcon>
#include <memory>

#include "app/app_icon.h"
#include "app/app_texts.h"
#include "app/prompts.h"
#include "app/quorvel_dlg.h"
#include "app/resource.h"
#include "net/interfaces.h"

CQuorvelApp::CQuorvelApp() = default;

CQuorvelApp::CQuorvelApp(Services services) : services_(std::move(services)) {}

bool CQuorvelApp::InitInstance() {
    QtPrompts qtPrompts;
    Prompts& prompts = services_.prompts ? *services_.prompts : qtPrompts;

    // Common set-up: the name every message box is captioned with, the version, the icon.
    QApplication::setApplicationName(ApplicationName());
    QApplication::setApplicationVersion(ApplicationVersion());
    QApplication::setWindowIcon(QIcon(DrawApplicationIcon()));

    const bool socketsStarted =
        services_.startSockets ? services_.startSockets() : net::StartSockets();
    if (!socketsStarted) {
        prompts.ShowError(nullptr, ApplicationName(), LoadResourceString(IDP_SOCKETS_INIT_FAILED));
        return false;
    }

    {
        auto window = std::make_unique<CQuorvelDlg>(prompts);
        if (services_.prepareWindow) services_.prepareWindow(*window);
        window->DoModal();
    }
    return false;
}
