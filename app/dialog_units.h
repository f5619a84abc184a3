#pragma once
// Dialog units to pixels, from the dialog font the way the Windows dialog manager does it:
// bx = average width of "A".."Z" "a".."z" (rounded), by = character height (ascent +
// descent); x = MulDiv(x_dlu, bx, 4), y = MulDiv(y_dlu, by, 8).

#include <QRect>

class QFont;
class QPaintDevice;

// bx of the template's own font, "MS Shell Dlg" 8 points at 96 DPI. Sizes the template gives
// in pixels (the list's column widths) were chosen for it and are scaled by bx / 6.
constexpr int REFERENCE_BASE_UNIT_X = 6;

struct DialogBaseUnits {
    int x = 0;  // bx, pixels per 4 horizontal dialog units
    int y = 0;  // by, pixels per 8 vertical dialog units
};

// device: where the font is drawn (its DPI); null for the screen's default.
DialogBaseUnits MeasureDialogBaseUnits(const QFont& font, const QPaintDevice* device = nullptr);

// number * numerator / denominator rounded half away from zero (Win32 MulDiv).
int MulDiv(int number, int numerator, int denominator);

int DluToPixelsX(int dlu, DialogBaseUnits units);
int DluToPixelsY(int dlu, DialogBaseUnits units);
// A width that the template gives in pixels of its own font, in pixels of the font in use.
int ScaleTemplatePixelsX(int pixels, DialogBaseUnits units);
QRect DluRectToPixels(int x, int y, int width, int height, DialogBaseUnits units);
