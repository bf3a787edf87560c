#include "AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap drawIcon(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    // envelope
    QRectF env(4, 18, 56, 38);
    p.setPen(QPen(QColor(30, 30, 90), 2.5));
    p.setBrush(QColor(128, 128, 255));
    p.drawRoundedRect(env, 4, 4);
    QPainterPath flap;
    flap.moveTo(env.topLeft() + QPointF(2, 2));
    flap.lineTo(env.center().x(), env.top() + 22);
    flap.lineTo(env.topRight() + QPointF(-2, 2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);

    // camera lens with a red recording light
    p.setBrush(QColor(40, 40, 40));
    p.drawEllipse(QPointF(32, 16), 14, 14);
    p.setBrush(QColor(90, 150, 255));
    p.drawEllipse(QPointF(32, 16), 7, 7);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(230, 0, 0));
    p.drawEllipse(QPointF(52, 8), 5, 5);
    return pm;
}

} // namespace

QIcon makeAppIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128})
        icon.addPixmap(drawIcon(size));
    return icon;
}
