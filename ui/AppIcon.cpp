#include "ui/AppIcon.h"

#include <QPainter>
#include <QPainterPath>

QImage drawAppIcon(int nSize) {
    QImage image(nSize, nSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = nSize;

    // A rounded tile in deep teal.
    QPainterPath tile;
    tile.addRoundedRect(QRectF(s * 0.03, s * 0.03, s * 0.94, s * 0.94), s * 0.18, s * 0.18);
    QLinearGradient gradient(0, 0, 0, s);
    gradient.setColorAt(0, QColor(0x1f, 0x8a, 0x8a));
    gradient.setColorAt(1, QColor(0x0e, 0x4d, 0x5c));
    painter.fillPath(tile, gradient);

    // Three host rows, each with a lamp: many sites on one server.
    const qreal left = s * 0.18, width = s * 0.64, height = s * 0.16;
    for (int i = 0; i < 3; ++i) {
        const qreal top = s * (0.2 + 0.22 * i);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0xf4, 0xf1, 0xe8));
        painter.drawRoundedRect(QRectF(left, top, width, height), s * 0.04, s * 0.04);
        painter.setBrush(i == 0 ? QColor(0xf0, 0xa2, 0x02) : QColor(0x3c, 0xb3, 0x71));
        const qreal lamp = height * 0.45;
        painter.drawEllipse(QRectF(left + width - lamp * 1.8, top + (height - lamp) / 2, lamp, lamp));
        if (nSize >= 32) {
            painter.setBrush(QColor(0x0e, 0x4d, 0x5c));
            painter.drawRect(QRectF(left + width * 0.1, top + height * 0.42, width * 0.45, height * 0.16));
        }
    }
    return image;
}

QIcon appIcon() {
    QIcon icon;
    for (const int nSize : {16, 32, 48})
        icon.addPixmap(QPixmap::fromImage(drawAppIcon(nSize)));
    return icon;
}
