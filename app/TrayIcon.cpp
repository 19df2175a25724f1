#include "app/TrayIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap Draw(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 16.0, size / 16.0);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x4e, 0x79));
    p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);

    auto arrow = [&](double x, bool up, QColor colour) {
        QPainterPath path;
        const double tip = up ? 2.5 : 13.5, base = up ? 7.0 : 9.0, tail = up ? 13.5 : 2.5;
        path.moveTo(x, tip);
        path.lineTo(x + 3.0, base);
        path.lineTo(x + 1.1, base);
        path.lineTo(x + 1.1, tail);
        path.lineTo(x - 1.1, tail);
        path.lineTo(x - 1.1, base);
        path.lineTo(x - 3.0, base);
        path.closeSubpath();
        p.setBrush(colour);
        p.drawPath(path);
    };
    arrow(5.0, true, QColor(0x7c, 0xd9, 0x92));
    arrow(11.0, false, QColor(0xf2, 0xc1, 0x4e));
    return pixmap;
}

} // namespace

QIcon VarnoIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(Draw(size));
    return icon;
}
