// quorvel: the window that finds the instruments on the LAN and updates their firmware.
#include <QApplication>

#include "app/quorvel_app.h"

// The executable's version record (file and product version), readable without running
// it: `readelf -p .quorvel.version quorvel`.
[[gnu::used, gnu::section(".quorvel.version")]] const char VERSION_RECORD[] =
    "FileVersion " QUORVEL_VERSION "\0ProductVersion " QUORVEL_VERSION;

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CQuorvelApp app;
    app.InitInstance();
    return 0;
}
