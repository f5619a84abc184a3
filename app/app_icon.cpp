#include "app/app_icon.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "app/resource.h"

// An instrument (grey case, dark display with a trace) and a green arrow bringing new
// firmware down into it.
QPixmap DrawApplicationIcon() {
    QImage image(APPLICATION_ICON_SIZE, APPLICATION_ICON_SIZE, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    const QRectF caseRect(3.5, 14.5, 40, 29);
    QLinearGradient caseShade(caseRect.topLeft(), caseRect.bottomLeft());
    caseShade.setColorAt(0, QColor(0xE4, 0xE7, 0xEB));
    caseShade.setColorAt(1, QColor(0x9A, 0xA3, 0xAD));
    painter.setPen(QPen(QColor(0x4A, 0x52, 0x5A), 1));
    painter.setBrush(caseShade);
    painter.drawRoundedRect(caseRect, 4, 4);

    const QRectF display(8.5, 19.5, 22, 15);
    painter.setBrush(QColor(0x10, 0x2A, 0x3A));
    painter.setPen(QPen(QColor(0x30, 0x38, 0x40), 1));
    painter.drawRect(display);
    QPainterPath trace;
    trace.moveTo(10, 30);
    trace.lineTo(14, 30);
    trace.lineTo(16, 23);
    trace.lineTo(19, 33);
    trace.lineTo(22, 26);
    trace.lineTo(24, 30);
    trace.lineTo(29, 30);
    painter.setPen(QPen(QColor(0x5C, 0xF0, 0x8A), 1.4));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(trace);

    // Two knobs and a network socket on the right of the case.
    painter.setPen(QPen(QColor(0x3A, 0x40, 0x48), 1));
    painter.setBrush(QColor(0x56, 0x60, 0x6B));
    painter.drawEllipse(QPointF(37, 22), 2.5, 2.5);
    painter.drawEllipse(QPointF(37, 29), 2.5, 2.5);
    painter.setBrush(QColor(0xF2, 0xC0, 0x3C));
    painter.drawRect(QRectF(34.5, 34.5, 5, 4));

    QPainterPath arrow;
    arrow.moveTo(19.5, 1.5);
    arrow.lineTo(27.5, 1.5);
    arrow.lineTo(27.5, 9.5);
    arrow.lineTo(32.5, 9.5);
    arrow.lineTo(23.5, 18.5);
    arrow.lineTo(14.5, 9.5);
    arrow.lineTo(19.5, 9.5);
    arrow.closeSubpath();
    painter.setPen(QPen(QColor(0x1B, 0x6B, 0x2E), 1));
    painter.setBrush(QColor(0x3C, 0xB5, 0x4E));
    painter.drawPath(arrow);
    painter.end();
    return QPixmap::fromImage(image);
}
