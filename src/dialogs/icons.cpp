#include "dialogs/icons.h"

#include <QPainter>
#include <QPainterPath>

namespace pelk {
namespace {

// A chip body with pins, the common motif of the device commands.
void DrawChip(QPainter& p, const QRectF& r, const QColor& body) {
    p.setPen(QPen(QColor(60, 60, 60), 1.2));
    const int pins = 4;
    for (int i = 0; i < pins; ++i) {
        const double y = r.top() + (i + 0.75) * r.height() / (pins + 0.5);
        p.drawLine(QPointF(r.left() - 3, y), QPointF(r.left(), y));
        p.drawLine(QPointF(r.right(), y), QPointF(r.right() + 3, y));
    }
    p.setBrush(body);
    p.drawRoundedRect(r, 2, 2);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(r.center().x(), r.top() + 3), 1.5, 1.5);
}

void DrawArrowDown(QPainter& p, QPointF tip, const QColor& c) {
    QPainterPath a;
    a.moveTo(tip);
    a.lineTo(tip + QPointF(-6, -7));
    a.lineTo(tip + QPointF(-2.5, -7));
    a.lineTo(tip + QPointF(-2.5, -14));
    a.lineTo(tip + QPointF(2.5, -14));
    a.lineTo(tip + QPointF(2.5, -7));
    a.lineTo(tip + QPointF(6, -7));
    a.closeSubpath();
    p.setPen(QPen(c.darker(150), 1));
    p.setBrush(c);
    p.drawPath(a);
}

QPixmap Draw(IconKind kind) {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF chip(9, 12, 14, 18);
    switch (kind) {
        case IconKind::Program:
            DrawChip(p, chip, QColor(50, 50, 70));
            DrawArrowDown(p, QPointF(16, 16), QColor(40, 150, 60));
            break;
        case IconKind::Verify:
            DrawChip(p, chip, QColor(50, 50, 70));
            p.setPen(QPen(QColor(30, 120, 220), 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawPolyline(QPolygonF({QPointF(8, 10), QPointF(14, 16), QPointF(26, 3)}));
            break;
        case IconKind::Erase:
            DrawChip(p, chip, QColor(50, 50, 70));
            p.setPen(QPen(QColor(210, 50, 40), 3.5, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(9, 3), QPointF(23, 15));
            p.drawLine(QPointF(23, 3), QPointF(9, 15));
            break;
        case IconKind::Blank:
            DrawChip(p, chip, QColor(235, 235, 235));
            p.setPen(QPen(QColor(120, 120, 120), 1.5, Qt::DashLine));
            p.setBrush(Qt::NoBrush);
            p.drawRect(QRectF(7, 2, 18, 8));
            break;
        case IconKind::Stop: {
            QPolygonF oct;
            for (int i = 0; i < 8; ++i) {
                const double a = (22.5 + 45.0 * i) * 3.14159265 / 180.0;
                oct << QPointF(16 + 13 * std::cos(a), 16 + 13 * std::sin(a));
            }
            p.setPen(QPen(Qt::white, 2));
            p.setBrush(QColor(200, 30, 30));
            p.drawPolygon(oct);
            p.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(10, 16), QPointF(22, 16));
            break;
        }
        case IconKind::Load:
            p.setPen(QPen(QColor(150, 110, 20), 1.2));
            p.setBrush(QColor(240, 200, 80));
            p.drawRect(QRectF(3, 9, 26, 19));
            p.drawRect(QRectF(3, 6, 10, 4));
            DrawArrowDown(p, QPointF(16, 24), QColor(40, 150, 60));
            break;
        case IconKind::Save:
            p.setPen(QPen(QColor(30, 50, 110), 1.2));
            p.setBrush(QColor(60, 90, 170));
            p.drawRoundedRect(QRectF(4, 4, 24, 24), 2, 2);
            p.setBrush(Qt::white);
            p.drawRect(QRectF(9, 4, 14, 9));
            p.setBrush(QColor(200, 200, 200));
            p.drawRect(QRectF(8, 18, 16, 10));
            break;
        case IconKind::Exit:
            p.setPen(QPen(QColor(90, 60, 30), 1.2));
            p.setBrush(QColor(170, 120, 70));
            p.drawRect(QRectF(6, 3, 14, 26));
            p.setPen(QPen(QColor(200, 40, 30), 3, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(15, 16), QPointF(29, 16));
            p.drawLine(QPointF(24, 11), QPointF(29, 16));
            p.drawLine(QPointF(24, 21), QPointF(29, 16));
            break;
        case IconKind::Edit:
            p.setPen(QPen(QColor(60, 60, 60), 1));
            p.setBrush(QColor(250, 210, 60));
            p.drawPolygon(QPolygonF({QPointF(6, 26), QPointF(8, 20), QPointF(22, 6), QPointF(26, 10),
                                     QPointF(12, 24)}));
            p.setBrush(QColor(60, 60, 60));
            p.drawPolygon(QPolygonF({QPointF(6, 26), QPointF(8, 20), QPointF(12, 24)}));
            break;
        case IconKind::Fill:
            p.setPen(QPen(QColor(60, 60, 60), 1.2));
            p.setBrush(QColor(90, 160, 230));
            p.drawRect(QRectF(4, 16, 24, 12));
            p.setBrush(QColor(220, 220, 220));
            p.drawRect(QRectF(10, 4, 12, 10));
            DrawArrowDown(p, QPointF(16, 20), QColor(40, 100, 200));
            break;
        case IconKind::Clear:
            p.setPen(QPen(QColor(60, 60, 60), 1.2));
            p.setBrush(Qt::white);
            p.drawRect(QRectF(4, 6, 24, 20));
            p.setPen(QPen(QColor(200, 200, 200), 1));
            for (int y = 11; y < 26; y += 5) p.drawLine(QPointF(6, y), QPointF(26, y));
            break;
        case IconKind::Port:
            p.setPen(QPen(QColor(40, 40, 40), 1.2));
            p.setBrush(QColor(110, 120, 140));
            p.drawPolygon(QPolygonF({QPointF(3, 10), QPointF(29, 10), QPointF(25, 24), QPointF(7, 24)}));
            p.setBrush(Qt::white);
            for (int i = 0; i < 5; ++i) p.drawEllipse(QPointF(8 + 4 * i, 15), 1.3, 1.3);
            for (int i = 0; i < 4; ++i) p.drawEllipse(QPointF(10 + 4 * i, 20), 1.3, 1.3);
            break;
        case IconKind::Device:
            DrawChip(p, QRectF(9, 6, 14, 22), QColor(50, 50, 70));
            break;
        case IconKind::App:
            p.end();
            return MakeAppPicture(32, 32);
    }
    return pm;
}

}  // namespace

QIcon MakeIcon(IconKind kind) { return QIcon(Draw(kind)); }

QPixmap MakeAppPicture(int width, int height) {
    QPixmap pm(width, height);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(width / 64.0, height / 64.0);
    // A DIP chip ...
    p.setPen(QPen(QColor(150, 150, 150), 1.5));
    for (int i = 0; i < 6; ++i) {
        p.drawLine(QPointF(14 + 7 * i, 12), QPointF(14 + 7 * i, 6));
        p.drawLine(QPointF(14 + 7 * i, 40), QPointF(14 + 7 * i, 46));
    }
    p.setPen(QPen(QColor(20, 20, 30), 1));
    p.setBrush(QColor(45, 45, 60));
    p.drawRoundedRect(QRectF(8, 12, 48, 28), 3, 3);
    p.setPen(QColor(230, 230, 230));
    QFont f = p.font();
    f.setPixelSize(10);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRectF(8, 12, 48, 28), Qt::AlignCenter, QStringLiteral("8051"));
    // ... on a serial line.
    p.setPen(QPen(QColor(40, 140, 60), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(32, 46), QPointF(32, 54));
    p.drawLine(QPointF(32, 54), QPointF(58, 54));
    p.setBrush(QColor(110, 120, 140));
    p.setPen(QPen(QColor(40, 40, 40), 1));
    p.drawPolygon(QPolygonF({QPointF(4, 50), QPointF(24, 50), QPointF(21, 60), QPointF(7, 60)}));
    return pm;
}

}  // namespace pelk
