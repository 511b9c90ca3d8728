#include "ui/logo.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace ui {

QImage kestrelLogo(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 512.0, size / 512.0);
    QLinearGradient disc(0, 0, 0, 512);
    disc.setColorAt(0, QColor(0x10, 0x6C, 0xB0));
    disc.setColorAt(1, QColor(0x0A, 0x2A, 0x60));
    p.setPen(QPen(QColor(0xBA, 0xD6, 0xEC), 10));
    p.setBrush(disc);
    p.drawEllipse(QRectF(8, 8, 496, 496));

    // A kestrel hovering: swept wings, a fanned tail and a small head.
    QPainterPath bird;
    bird.moveTo(256, 150); // head top
    bird.cubicTo(280, 150, 292, 175, 284, 200);
    bird.cubicTo(340, 180, 400, 170, 452, 200); // right wing leading edge
    bird.cubicTo(400, 215, 350, 240, 300, 270); // right wing trailing edge
    bird.lineTo(292, 330);
    bird.cubicTo(310, 370, 315, 400, 300, 420); // tail right
    bird.lineTo(212, 420);
    bird.cubicTo(197, 400, 202, 370, 220, 330); // tail left
    bird.lineTo(212, 270);
    bird.cubicTo(162, 240, 112, 215, 60, 200);
    bird.cubicTo(112, 170, 172, 180, 228, 200); // left wing
    bird.cubicTo(220, 175, 232, 150, 256, 150);
    bird.closeSubpath();
    QLinearGradient body(0, 150, 0, 420);
    body.setColorAt(0, QColor(0xF4, 0xD6, 0x96));
    body.setColorAt(1, QColor(0xC8, 0x78, 0x3C));
    p.setPen(QPen(QColor(0x3A, 0x22, 0x10), 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(body);
    p.drawPath(bird);
    // Eye and beak.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1A, 0x10, 0x08));
    p.drawEllipse(QPointF(266, 178), 7, 7);
    QPainterPath beak;
    beak.moveTo(250, 192);
    beak.lineTo(262, 192);
    beak.lineTo(256, 206);
    beak.closeSubpath();
    p.setBrush(QColor(0xF4, 0xEC, 0xDC));
    p.drawPath(beak);
    // Wing bars.
    p.setPen(QPen(QColor(0x3A, 0x22, 0x10), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(110, 200), QPointF(150, 212));
    p.drawLine(QPointF(402, 200), QPointF(362, 212));
    return image;
}

} // namespace ui
