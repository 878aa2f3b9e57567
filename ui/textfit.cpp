#include "textfit.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>

namespace TextFit {

QFont shrunk(const QFont &base, const QString &text, int width, double minScale)
{
    const double natural = QFontMetricsF(base).horizontalAdvance(text);
    if (natural <= width || natural <= 0)
        return base;
    const double scale = std::max(minScale, double(width) / natural);
    QFont f = base;
    if (base.pixelSize() > 0)
        f.setPixelSize(std::max(1, int(base.pixelSize() * scale)));
    else
        f.setPointSizeF(std::max(1.0, base.pointSizeF() * scale));
    return f;
}

} // namespace TextFit

OneLineLabel::OneLineLabel(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void OneLineLabel::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    setAccessibleDescription(text);
    update();
}

void OneLineLabel::setColor(const QColor &color)
{
    m_color = color;
    update();
}

QSize OneLineLabel::sizeHint() const
{
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(m_text), fm.height()};
}

QSize OneLineLabel::minimumSizeHint() const { return {0, QFontMetrics(font()).height()}; }

void OneLineLabel::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setPen(m_color.isValid() ? m_color : palette().color(QPalette::WindowText));
    const QString shown = fontMetrics().elidedText(m_text, Qt::ElideRight, width());
    p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}
