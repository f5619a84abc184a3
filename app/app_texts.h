#pragma once
// The texts the application shows; the window's own control texts are in its template.

#include <QString>

// The caption of every message box and the main window's title.
QString ApplicationName();
// "1.0.0.2": file and product version.
QString ApplicationVersion();

// Text of a string resource (IDP_SOCKETS_INIT_FAILED); empty for unknown ids.
QString LoadResourceString(int id);

QString ConfirmUpdateText();       // asked before an update starts
QString ConfirmStopText();         // asked when the window is closed during an update
QString UpdateButtonText();        // "Обновить"
QString StopButtonText();          // "Стоп": the same button while an update runs
QString FirmwareFileInitialName(); // proposed in the file dialog's name field
QString AboutCaption();
QString AboutText();
