// quorvel: the window that finds the instruments on the LAN and updates their firmware.
#include <QApplication>

#include "app/quorvel_app.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CQuorvelApp app;
    app.InitInstance();
    return 0;
}
