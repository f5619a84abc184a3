#include "app/app_texts.h"

#include "app/resource.h"

QString ApplicationName() { return QStringLiteral("Quorvel"); }

QString ApplicationVersion() { return QStringLiteral(QUORVEL_VERSION); }

QString LoadResourceString(int id) {
    if (id == IDP_SOCKETS_INIT_FAILED) {
        return QString::fromUtf8("Не удалось инициализировать Windows Sockets.");
    }
    return QString();
}

QString ConfirmUpdateText() {
    return QString::fromUtf8("Вы действительно хотите обновить встроенное программное обеспечение?");
}

QString ConfirmStopText() {
    return QString::fromUtf8(
        "Идёт обновление встроенного программного обеспечения. Остановить его и закрыть окно?");
}

QString UpdateButtonText() { return QString::fromUtf8("Обновить"); }

QString StopButtonText() { return QString::fromUtf8("Стоп"); }

QString FirmwareFileInitialName() { return QStringLiteral("*.bin"); }

QString AboutCaption() { return QString::fromUtf8("О программе ") + ApplicationName(); }

QString AboutText() {
    return ApplicationName() + QString::fromUtf8(", версия ") + ApplicationVersion() +
           QString::fromUtf8("\n\nПоиск приборов в локальной сети и обновление их встроенного "
                             "программного обеспечения через загрузчик Ethernet.");
}
