#include "historychart.h"

#include "theme.h"

#include <QDateTimeAxis>
#include <QGraphicsLayout>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QLocale>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 hourMs = 3600 * 1000;
constexpr qint64 dayMs = 24 * hourMs;

// Date labels that suit the span on screen: times within about a day,
// dates beyond.
QString dateFormatFor(qint64 spanMs)
{
    const QLocale locale;
    if (spanMs <= 2 * dayMs)
        return locale.timeFormat(QLocale::ShortFormat);
    return spanMs <= 300 * dayMs ? QStringLiteral("MMM d") : QStringLiteral("MMM yyyy");
}

} // namespace

HistoryChart::HistoryChart(QWidget *parent)
    : QChartView(parent)
    , m_download(new QLineSeries)
    , m_upload(new QLineSeries)
    , m_dates(new QDateTimeAxis)
    , m_speeds(new QValueAxis)
{
    auto *chart = new QChart;
    chart->setBackgroundVisible(false);
    chart->setMargins(QMargins(0, 0, 0, 0));
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->layout()->setContentsMargins(0, 0, 0, 0);

    m_download->setName(tr("Download"));
    m_upload->setName(tr("Upload"));
    const QColor colours[] = {Theme::blue(), Theme::purple()};
    int i = 0;
    for (QLineSeries *s : {m_download, m_upload}) {
        s->setColor(colours[i++]);
        s->setPointsVisible(true);
        s->setMarkerSize(6);
        s->setUseOpenGL(false);
        chart->addSeries(s);
    }

    m_speeds->setTitleText(tr("Mbps"));
    m_speeds->setLabelFormat(QStringLiteral("%g"));
    chart->addAxis(m_dates, Qt::AlignBottom);
    chart->addAxis(m_speeds, Qt::AlignLeft);
    for (QLineSeries *s : {m_download, m_upload}) {
        s->attachAxis(m_dates);
        s->attachAxis(m_speeds);
    }
    chart->legend()->setAlignment(Qt::AlignBottom);

    setChart(chart);
    setRenderHint(QPainter::Antialiasing);
    setFrameShape(QFrame::NoFrame);
    setStyleSheet(QStringLiteral("background: transparent"));
    applyPalette();
}

QList<QPointF> HistoryChart::points(const QList<TestResult> &results, double TestResult::*field)
{
    QList<QPointF> out;
    out.reserve(results.size());
    for (const TestResult &r : results) {
        const double y = r.*field;
        if (!r.date.isValid() || !std::isfinite(y))
            continue;
        out.append(QPointF(double(r.date.toMSecsSinceEpoch()), y));
    }
    // The store keeps newest first, so the usual case is an exact reverse;
    // only a list out of date order (a clock change, an edited file) sorts.
    std::reverse(out.begin(), out.end());
    const auto byDate = [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); };
    if (!std::is_sorted(out.cbegin(), out.cend(), byDate))
        std::stable_sort(out.begin(), out.end(), byDate);
    return out;
}

void HistoryChart::setResults(const QList<TestResult> &results)
{
    const QList<QPointF> down = points(results, &TestResult::download);
    const QList<QPointF> up = points(results, &TestResult::upload);
    m_download->replace(down);
    m_upload->replace(up);

    // Axis ranges from the data: Qt Charts keeps the range it had otherwise.
    double minX = INFINITY, maxX = -INFINITY, minY = 0, maxY = 0;
    for (const QList<QPointF> *list : {&down, &up}) {
        if (list->isEmpty())
            continue;
        minX = std::min(minX, list->first().x());
        maxX = std::max(maxX, list->last().x());
        for (const QPointF &p : *list) {
            minY = std::min(minY, p.y());
            maxY = std::max(maxY, p.y());
        }
    }
    if (!(minX <= maxX)) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        minX = double(now - hourMs);
        maxX = double(now);
    } else if (maxX - minX < 60 * 1000) {
        // One moment only: centre it in an hour's window.
        minX -= hourMs / 2;
        maxX += hourMs / 2;
    }
    m_dates->setFormat(dateFormatFor(qint64(maxX - minX)));
    m_dates->setRange(QDateTime::fromMSecsSinceEpoch(qint64(minX)),
                      QDateTime::fromMSecsSinceEpoch(qint64(maxX)));
    // From zero (or the lowest figure, should one be negative) to a little
    // above the highest, on round numbers.
    m_speeds->setRange(minY, maxY > minY ? maxY + (maxY - minY) * 0.1 : minY + 1);
    m_speeds->applyNiceNumbers();
}

void HistoryChart::changeEvent(QEvent *event)
{
    QChartView::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyPalette();
}

void HistoryChart::applyPalette()
{
    const QPalette pal = palette();
    const QColor text = pal.color(QPalette::WindowText);
    const QColor muted = Theme::secondary(pal);
    for (QAbstractAxis *axis : {static_cast<QAbstractAxis *>(m_dates), static_cast<QAbstractAxis *>(m_speeds)}) {
        axis->setLabelsBrush(muted);
        axis->setTitleBrush(muted);
        axis->setLinePenColor(Theme::withAlpha(muted, 0.5));
        axis->setGridLineColor(Theme::withAlpha(muted, 0.2));
    }
    chart()->legend()->setLabelColor(text);
}
