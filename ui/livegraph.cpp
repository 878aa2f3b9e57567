#include "livegraph.h"

#include "speedtest.h"
#include "theme.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QEvent>
#include <QGraphicsLayout>
#include <QGraphicsTextItem>
#include <QLabel>
#include <QLineSeries>
#include <QScatterSeries>
#include <QPainter>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace {

// The grey panel shown until the first point arrives.
class Placeholder : public QWidget {
public:
    explicit Placeholder(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("graphPlaceholder"));
        setAccessibleName(LiveGraph::placeholderText);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor muted = Theme::secondary(palette());
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::withAlpha(muted, Theme::panelTint));
        p.drawRoundedRect(QRectF(rect()), 8, 8);
        p.setPen(muted);
        p.setFont(Theme::font(Theme::TextStyle::body));
        p.drawText(rect(), Qt::AlignCenter, LiveGraph::placeholderText);
    }
};

// A round tick spacing (1, 2, 2.5 or 5 times a power of ten) that puts
// about `ticks` ticks over the span: for the y axis, whose labels print the
// value as it is.
double niceInterval(double span, int ticks)
{
    if (!(span > 0) || !std::isfinite(span))
        return 1;
    const double raw = span / ticks;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 2.5, 5.0}) {
        if (m * magnitude >= raw)
            return m * magnitude;
    }
    return 10 * magnitude;
}

// The x axis labels whole request numbers and seconds, so its spacing is a
// whole 1, 2 or 5 times a power of ten: the smallest that puts no more than
// `ticks` ticks over the span. Every label then reads its tick's own value.
double wholeInterval(double span, int ticks)
{
    if (!(span > 0) || !std::isfinite(span))
        return 1;
    for (double magnitude = 1;; magnitude *= 10) {
        for (double m : {1.0, 2.0, 5.0}) {
            if (span / (m * magnitude) <= ticks)
                return m * magnitude;
        }
    }
}

// Moves an axis to a new range and tick spacing without ever passing
// through a state with a crowd of ticks: the axis builds an item per tick,
// and a wide range under a fine old spacing would stall the UI.
void setAxis(QValueAxis *axis, double min, double max, double interval)
{
    if (interval > axis->tickInterval()) {
        axis->setTickInterval(interval);
        axis->setRange(min, max);
    } else {
        axis->setRange(min, max);
        axis->setTickInterval(interval);
    }
}

} // namespace

LiveGraph::LiveGraph(SpeedTest *test, QWidget *parent)
    : QWidget(parent), m_test(test), m_title(new QLabel(this)), m_body(new QStackedWidget(this)),
      m_placeholder(new Placeholder(m_body)), m_view(new QChartView(m_body)), m_chart(new QChart),
      m_line(new QLineSeries), m_dot(new QScatterSeries), m_area(new QAreaSeries), m_x(new QValueAxis), m_y(new QValueAxis)
{
    setObjectName(QStringLiteral("liveGraph"));
    m_title->setObjectName(QStringLiteral("graphTitle"));
    setFixedHeight(frameHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMinimumWidth(200);

    // The area's upper edge is the very line that is drawn, so both share
    // one (straight-segment) interpolation and always coincide.
    m_area->setUpperSeries(m_line);
    m_area->setPen(Qt::NoPen);
    m_chart->addSeries(m_area);
    m_chart->addSeries(m_line);
    m_chart->addSeries(m_dot);
    m_dot->setMarkerSize(8);
    m_dot->setPen(Qt::NoPen);
    m_chart->addAxis(m_x, Qt::AlignBottom);
    m_chart->addAxis(m_y, Qt::AlignLeft);
    for (QAbstractSeries *s : {static_cast<QAbstractSeries *>(m_area), static_cast<QAbstractSeries *>(m_line),
                               static_cast<QAbstractSeries *>(m_dot)}) {
        s->attachAxis(m_x);
        s->attachAxis(m_y);
    }
    m_chart->legend()->hide();
    m_chart->setBackgroundVisible(false);
    m_chart->setMargins(QMargins(0, 0, 0, 0));
    m_chart->layout()->setContentsMargins(0, 0, 0, 0);
    m_chart->setBackgroundRoundness(0);
    m_chart->setAnimationOptions(QChart::NoAnimation);
    m_x->setTickType(QValueAxis::TicksDynamic);
    m_x->setTickAnchor(0);
    m_y->setTickType(QValueAxis::TicksDynamic);
    m_y->setTickAnchor(0);
    m_y->setLabelFormat(QStringLiteral("%g"));
    m_y->setMin(0);

    // setChart() lets go of the view's own default chart without deleting it.
    QChart *defaultChart = m_view->chart();
    m_view->setChart(m_chart);
    delete defaultChart;
    m_view->setRenderHint(QPainter::Antialiasing);
    m_view->setFrameShape(QFrame::NoFrame);
    m_view->setStyleSheet(QStringLiteral("background: transparent"));
    m_view->setFocusPolicy(Qt::NoFocus); // nothing in it reacts to keys
    m_view->setObjectName(QStringLiteral("graphChart"));
    m_body->addWidget(m_placeholder);
    m_body->addWidget(m_view);

    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(6);
    stack->addWidget(m_title);
    stack->addWidget(m_body, 1);

    restyle();
    if (m_test) {
        connect(m_test, &SpeedTest::phaseChanged, this, &LiveGraph::refresh);
        connect(m_test, &SpeedTest::samplesChanged, this, &LiveGraph::refresh);
        refresh();
    } else {
        display(Phase::idle, {});
    }
}

void LiveGraph::refresh() { display(m_test->phase(), m_test->samples()); }

QString LiveGraph::titleFor(Phase phase)
{
    switch (phase) {
    case Phase::latency: return QStringLiteral("Latency per request (ms)");
    case Phase::download: return QStringLiteral("Download speed (Mbps)");
    case Phase::upload: return QStringLiteral("Upload speed (Mbps)");
    case Phase::idle:
    case Phase::done: break;
    }
    return QStringLiteral("Live speed");
}

double LiveGraph::yTopFor(const SampleList &samples)
{
    // A point that is not a finite number cannot be drawn and must not
    // stretch the scale to infinity.
    double m = 0;
    bool any = false;
    for (const Sample &s : samples) {
        if (!std::isfinite(s.x) || !std::isfinite(s.y))
            continue;
        if (!any || s.y > m)
            m = s.y;
        any = true;
    }
    const double top = m * 1.15;
    return any && m > 1 && std::isfinite(top) ? top : 1.15;
}

void LiveGraph::display(Phase phase, const SampleList &samples)
{
    m_phase = phase;
    m_title->setText(titleFor(phase));
    setAccessibleName(m_title->text());

    QList<QPointF> points;
    points.reserve(samples.size());
    for (const Sample &s : samples)
        if (std::isfinite(s.x) && std::isfinite(s.y))
            points.append(QPointF(s.x, s.y));
    m_line->replace(points);
    // A lone point makes no line: a dot of its own marks it. (Markers on
    // the line itself, once turned off, left the first one drawn.)
    m_dot->replace(points.size() == 1 ? points : QList<QPointF>());
    recolour();
    const double top = yTopFor(samples);
    setAxis(m_y, 0, top, niceInterval(top, 4));
    // Ticks fall on whole numbers only, which %d prints exactly.
    m_x->setLabelFormat(phase == Phase::latency ? QStringLiteral("#%d") : QStringLiteral("%ds"));
    fitXAxis(points);
    m_body->setCurrentWidget(samples.isEmpty() ? m_placeholder : static_cast<QWidget *>(m_view));
}

void LiveGraph::fitXAxis(const QList<QPointF> &points)
{
    if (points.isEmpty())
        return;
    auto [lo, hi] = std::minmax_element(points.begin(), points.end(),
                                        [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); });
    double min = lo->x(), max = hi->x();
    if (m_phase != Phase::latency) {
        // Seconds since the phase began: from 0, and over a second at least.
        min = 0;
        max = std::max(max, 1.0);
    }
    if (!(max > min)) {
        // A single request still gets a span to sit in.
        min -= 0.5;
        max += 0.5;
    }
    if (std::floor(max) < min) {
        // No whole number inside: widen to the whole numbers around it, so
        // the axis has labels from the start.
        min = std::floor(min);
        max = std::ceil(max);
    }
    min = std::max(min, 0.0);
    setAxis(m_x, min, max, wholeInterval(max - min, 6));
}

QString LiveGraph::title() const { return m_title->text(); }

bool LiveGraph::isShowingPlaceholder() const { return m_body->currentWidget() == m_placeholder; }

QColor LiveGraph::lineColor() const { return m_line->pen().color(); }

double LiveGraph::yTop() const { return m_y->max(); }

double LiveGraph::xMin() const { return m_x->min(); }

double LiveGraph::xMax() const { return m_x->max(); }

int LiveGraph::pointCount() const { return int(m_line->count()); }

QStringList LiveGraph::xAxisLabels() const
{
    // The axis draws its labels as text items below the plot area.
    QList<QPair<double, QString>> found;
    const QRectF plot = m_chart->plotArea();
    for (QGraphicsItem *item : m_chart->scene()->items()) {
        auto *text = dynamic_cast<QGraphicsTextItem *>(item);
        if (!text || !text->isVisible())
            continue;
        const QRectF r = text->sceneBoundingRect();
        if (r.top() >= plot.bottom() - 1 && !text->toPlainText().isEmpty())
            found.append({r.center().x(), text->toPlainText()});
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList labels;
    for (const auto &f : found)
        labels.append(f.second);
    return labels;
}

void LiveGraph::recolour()
{
    const QColor c = Theme::phaseColor(m_phase, palette());
    m_line->setPen(QPen(c, 2));
    m_dot->setBrush(c);
    m_area->setBrush(Theme::withAlpha(c, 0.2));
}

void LiveGraph::restyle()
{
    recolour();
    m_title->setFont(Theme::font(Theme::TextStyle::headline));
    const QColor muted = Theme::secondary(palette());
    const QFont small = Theme::font(Theme::TextStyle::caption);
    for (QValueAxis *axis : {m_x, m_y}) {
        axis->setLabelsColor(muted);
        axis->setLabelsFont(small);
        axis->setGridLineColor(Theme::withAlpha(muted, 0.25));
        axis->setLinePenColor(Theme::withAlpha(muted, 0.5));
    }
}

void LiveGraph::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationFontChange)
        restyle();
    QWidget::changeEvent(event);
}
