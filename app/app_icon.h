#pragma once
// The application icon IDR_MAINFRAME: one 47 x 47 image with an alpha channel, drawn here
// rather than shipped as a file.

#include <QPixmap>

QPixmap DrawApplicationIcon();
