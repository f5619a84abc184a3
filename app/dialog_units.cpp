#include "app/dialog_units.h"

#include <QFontMetrics>
#include <QString>
#include <cmath>
#include <cstdint>

namespace {

const QString& AverageWidthSample() {
    static const QString sample =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return sample;
}

}  // namespace

DialogBaseUnits MeasureDialogBaseUnits(const QFont& font, const QPaintDevice* device) {
    const QFontMetrics metrics = device ? QFontMetrics(font, device) : QFontMetrics(font);
    const int sampleWidth = metrics.horizontalAdvance(AverageWidthSample());
    DialogBaseUnits units;
    units.x = MulDiv(sampleWidth, 1, static_cast<int>(AverageWidthSample().size()));
    units.y = metrics.ascent() + metrics.descent();
    return units;
}

int MulDiv(int number, int numerator, int denominator) {
    if (denominator == 0) return -1;
    const std::int64_t product = std::int64_t{number} * numerator;
    // Exact halves are representable in a double for these small values.
    return static_cast<int>(std::llround(static_cast<double>(product) / denominator));
}

int DluToPixelsX(int dlu, DialogBaseUnits units) { return MulDiv(dlu, units.x, 4); }

int DluToPixelsY(int dlu, DialogBaseUnits units) { return MulDiv(dlu, units.y, 8); }

int ScaleTemplatePixelsX(int pixels, DialogBaseUnits units) {
    return MulDiv(pixels, units.x, REFERENCE_BASE_UNIT_X);
}

QRect DluRectToPixels(int x, int y, int width, int height, DialogBaseUnits units) {
    return QRect(DluToPixelsX(x, units), DluToPixelsY(y, units), DluToPixelsX(width, units),
                 DluToPixelsY(height, units));
}
