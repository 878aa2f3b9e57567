#pragma once
// The History tab's two icons, drawn with QPainter so they exist on every
// platform and icon theme: a clock inside a circular arrow (the empty state)
// and a trash can (a row's delete button). Both fill the given square in one
// colour and leave the painter as they found it.
#include <QColor>
#include <QRectF>

class QPainter;

namespace HistoryIcons {

void paintClockArrow(QPainter *painter, const QRectF &box, const QColor &color);
void paintTrash(QPainter *painter, const QRectF &box, const QColor &color);

} // namespace HistoryIcons
