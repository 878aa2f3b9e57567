#include "historyicons.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace HistoryIcons {

void paintClockArrow(QPainter *painter, const QRectF &box, const QColor &color)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const double side = std::min(box.width(), box.height());
    const QPointF c = box.center();
    const double stroke = std::max(1.0, side * 0.075);
    const double r = side / 2 - stroke * 1.6;
    QPen pen(color, stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);

    // The circular arrow: open at the upper left, where its head points back
    // against the clock's direction.
    const QRectF ring(c.x() - r, c.y() - r, 2 * r, 2 * r);
    const double startDeg = 150; // Qt angles: counter-clockwise from 3 o'clock
    const double spanDeg = -300;
    QPainterPath arc;
    arc.arcMoveTo(ring, startDeg);
    arc.arcTo(ring, startDeg, spanDeg);
    painter->drawPath(arc);

    // Arrow head at the arc's end, pointing along the direction of travel.
    const double endRad = (startDeg + spanDeg) * std::numbers::pi / 180;
    const QPointF tip(c.x() + r * std::cos(endRad), c.y() - r * std::sin(endRad));
    // Travel is clockwise on screen: the tangent there is (sin, cos) in
    // screen coordinates.
    const QPointF dir(std::sin(endRad), std::cos(endRad));
    const QPointF normal(-dir.y(), dir.x());
    const double head = side * 0.2;
    QPainterPath arrow;
    arrow.moveTo(tip + dir * (head * 0.55));
    arrow.lineTo(tip - dir * (head * 0.45) + normal * (head * 0.55));
    arrow.lineTo(tip - dir * (head * 0.45) - normal * (head * 0.55));
    arrow.closeSubpath();
    painter->setBrush(color);
    painter->setPen(QPen(color, stroke * 0.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter->drawPath(arrow);

    // The hands: to twelve and to about four.
    painter->setPen(pen);
    painter->drawLine(c, c + QPointF(0, -r * 0.55));
    painter->drawLine(c, c + QPointF(r * 0.4, r * 0.25));
    painter->restore();
}

void paintTrash(QPainter *painter, const QRectF &box, const QColor &color)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const double s = std::min(box.width(), box.height());
    const QRectF b(box.center().x() - s / 2, box.center().y() - s / 2, s, s);
    const double stroke = std::max(1.0, s * 0.09);
    painter->setPen(QPen(color, stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter->setBrush(Qt::NoBrush);

    const auto at = [&b](double fx, double fy) {
        return QPointF(b.left() + fx * b.width(), b.top() + fy * b.height());
    };
    // Lid, handle and a can that narrows slightly towards the bottom.
    painter->drawLine(at(0.12, 0.24), at(0.88, 0.24));
    QPainterPath handle;
    handle.moveTo(at(0.36, 0.24));
    handle.lineTo(at(0.38, 0.1));
    handle.lineTo(at(0.62, 0.1));
    handle.lineTo(at(0.64, 0.24));
    painter->drawPath(handle);
    QPainterPath can;
    can.moveTo(at(0.2, 0.24));
    can.lineTo(at(0.26, 0.92));
    can.lineTo(at(0.74, 0.92));
    can.lineTo(at(0.8, 0.24));
    painter->drawPath(can);
    for (double fx : {0.4, 0.6})
        painter->drawLine(at(fx, 0.38), at(fx, 0.78));
    painter->restore();
}

} // namespace HistoryIcons
