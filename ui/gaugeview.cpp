#include "gaugeview.h"

#include "fmt.h"
#include "speedtest.h"
#include "textfit.h"
#include "theme.h"

#include <QLinearGradient>
#include <QPainter>
#include <QVariantAnimation>

#include <cmath>

namespace {
// The track runs clockwise from half past seven (225 degrees counter-
// clockwise from three o'clock) over the top to half past four.
constexpr double trackStart = 225;
constexpr double trackSweep = 270;
constexpr int labelPixels = 52;
} // namespace

GaugeView::GaugeView(SpeedTest *test, QWidget *parent)
    : QWidget(parent), m_test(test), m_animation(new QVariantAnimation(this))
{
    setObjectName(QStringLiteral("gauge"));
    setFixedSize(side, side);
    m_animation->setDuration(250);
    m_animation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &v) {
        m_drawn = v.toDouble();
        update();
    });
    if (m_test) {
        connect(m_test, &SpeedTest::phaseChanged, this, &GaugeView::refresh);
        connect(m_test, &SpeedTest::gaugeValueChanged, this, &GaugeView::refresh);
        connect(m_test, &SpeedTest::gaugeMaxChanged, this, &GaugeView::refresh);
        refresh();
        // The first reading is drawn as it is, not animated in from nothing.
        m_animation->stop();
        m_drawn = m_fraction;
    } else {
        display(Phase::idle, 0, 100);
    }
}

void GaugeView::refresh() { display(m_test->phase(), m_test->gaugeValue(), m_test->gaugeMax()); }

double GaugeView::fraction(double value, double max)
{
    const double q = value / max;
    if (!(q > 0))
        return 0;
    return std::min(q, 1.0);
}

QString GaugeView::labelFor(Phase phase, double value)
{
    switch (phase) {
    case Phase::idle: return QStringLiteral("\u2014");
    case Phase::latency: return Fmt::ms(value);
    case Phase::download:
    case Phase::upload:
    case Phase::done: break;
    }
    return Fmt::speed(value);
}

QString GaugeView::unitFor(Phase phase)
{
    switch (phase) {
    case Phase::idle: return QStringLiteral("Ready");
    case Phase::latency: return QStringLiteral("ms");
    case Phase::download:
    case Phase::upload:
    case Phase::done: break;
    }
    return QStringLiteral("Mbps");
}

void GaugeView::display(Phase phase, double value, double max)
{
    m_phase = phase;
    m_label = labelFor(phase, value);
    m_unit = unitFor(phase);
    m_scaleMax = Fmt::ms(max);
    setAccessibleName(m_label + QLatin1Char(' ') + m_unit);
    const double target = fraction(value, max);
    if (target != m_fraction) {
        m_fraction = target;
        m_animation->stop();
        m_animation->setStartValue(m_drawn);
        m_animation->setEndValue(target);
        m_animation->start();
    }
    update();
}

QColor GaugeView::arcColor() const { return Theme::phaseColor(m_phase, palette()); }

bool GaugeView::isAnimating() const { return m_animation->state() == QAbstractAnimation::Running; }

void GaugeView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor muted = Theme::secondary(palette());
    const QRectF frame((width() - dial) / 2.0, (height() - dial) / 2.0, dial, dial);

    QPen pen(Theme::withAlpha(muted, 0.18), stroke, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    p.setPen(pen);
    p.drawArc(frame, int(trackStart * 16), int(-trackSweep * 16));

    if (m_drawn > 0) {
        const QColor c = arcColor();
        QLinearGradient gradient(frame.topLeft(), frame.bottomLeft());
        gradient.setColorAt(0, c.lighter(125));
        gradient.setColorAt(1, c);
        pen.setBrush(gradient);
        p.setPen(pen);
        p.drawArc(frame, int(trackStart * 16), int(std::lround(-trackSweep * m_drawn * 16)));
    }

    // Centre: the reading over its unit, 2 apart, 30 clear on either side.
    const QRectF inner = frame.adjusted(30, 0, -30, 0);
    const QFont labelFont = TextFit::shrunk(Theme::figureFont(labelPixels), m_label, int(inner.width()), 0.5);
    const QFont unitFont = Theme::font(Theme::TextStyle::title3);
    const QFontMetricsF lm(labelFont), um(unitFont);
    const double blockHeight = lm.height() + 2 + um.height();
    const double top = frame.center().y() - blockHeight / 2;
    p.setPen(palette().color(QPalette::WindowText));
    p.setFont(labelFont);
    p.drawText(QRectF(inner.left(), top, inner.width(), lm.height()), Qt::AlignCenter,
               lm.elidedText(m_label, Qt::ElideRight, inner.width()));
    p.setPen(muted);
    p.setFont(unitFont);
    p.drawText(QRectF(inner.left(), top + lm.height() + 2, inner.width(), um.height()), Qt::AlignCenter, m_unit);

    // Scale ends at the bottom of the frame, 22 in from its sides.
    const QFont caption = Theme::font(Theme::TextStyle::caption);
    const QFontMetricsF cm(caption);
    p.setFont(caption);
    const QRectF scale(frame.left() + 22, frame.bottom() - cm.height(), dial - 44, cm.height());
    p.drawText(scale, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("0"));
    p.drawText(scale, Qt::AlignRight | Qt::AlignVCenter, m_scaleMax);
}
