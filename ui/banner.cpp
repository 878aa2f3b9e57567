#include "banner.h"

#include "theme.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

namespace {

// A transparent square of size logical pixels at the screen's density.
QPixmap blankIcon(int size, qreal devicePixelRatio)
{
    QPixmap pm(QSize(size, size) * devicePixelRatio);
    pm.setDevicePixelRatio(devicePixelRatio);
    pm.fill(Qt::transparent);
    return pm;
}

} // namespace

QPixmap wifiSlashIcon(int size, const QColor &color, qreal devicePixelRatio)
{
    QPixmap pm = blankIcon(size, devicePixelRatio);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QPen pen(color, std::max(1.5, s / 10), Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    // Three arcs opening upwards around a dot near the bottom.
    const QPointF c(s / 2, s * 0.82);
    for (qreal r : {s * 0.72, s * 0.48, s * 0.24}) {
        const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
        p.drawArc(box, 45 * 16, 90 * 16);
    }
    p.setBrush(color);
    p.setPen(Qt::NoPen);
    p.drawEllipse(c, s / 14, s / 14);
    p.setPen(pen);
    p.drawLine(QPointF(s * 0.12, s * 0.1), QPointF(s * 0.88, s * 0.9));
    return pm;
}

QPixmap warningIcon(int size, const QColor &color, qreal devicePixelRatio)
{
    QPixmap pm = blankIcon(size, devicePixelRatio);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QPen pen(color, std::max(1.5, s / 10), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.drawPolygon(QPolygonF({QPointF(s / 2, s * 0.1), QPointF(s * 0.93, s * 0.88), QPointF(s * 0.07, s * 0.88)}));
    p.drawLine(QPointF(s / 2, s * 0.38), QPointF(s / 2, s * 0.6));
    p.setBrush(color);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(s / 2, s * 0.74), s / 16, s / 16);
    return pm;
}

Banner::Banner(QWidget *parent, Sign sign)
    : QWidget(parent), m_icon(new QLabel(this)), m_text(new QLabel(this)), m_sign(sign)
{
    setObjectName(QStringLiteral("banner"));
    m_text->setObjectName(QStringLiteral("bannerText"));
    m_text->setWordWrap(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_icon->setAlignment(Qt::AlignTop);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(10, 10, 10, 10);
    row->setSpacing(8);
    row->addWidget(m_icon, 0, Qt::AlignTop);
    row->addWidget(m_text, 1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Minimum);
}

void Banner::set(const QString &text, Theme::Hue hue, const QString &detail)
{
    m_text->setText(text);
    setAccessibleName(text);
    setToolTip(detail);
    setAccessibleDescription(detail);
    m_hue = hue;
    restyle();
}

QString Banner::text() const { return m_text->text(); }

void Banner::restyle()
{
    const int size = QFontMetrics(m_text->font()).height();
    const auto draw = m_sign == Sign::warning ? warningIcon : wifiSlashIcon;
    m_icon->setPixmap(draw(size, color(), devicePixelRatioF()));
    QPalette pal = m_text->palette();
    pal.setColor(QPalette::WindowText, color());
    m_text->setPalette(pal);
    update();
}

void Banner::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange
        || event->type() == QEvent::ScreenChangeInternal)
        restyle();
    QWidget::changeEvent(event);
}

void Banner::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::withAlpha(color(), 0.15));
    p.drawRoundedRect(QRectF(rect()), 8, 8);
}
