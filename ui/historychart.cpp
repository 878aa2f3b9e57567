#include "historychart.h"

#include "fmt.h"
#include "theme.h"

#include <QDateTimeAxis>
#include <QGraphicsScene>
#include <QGraphicsLayout>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QLocale>
#include <QPainter>
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
    if (spanMs <= 2 * dayMs)
        return Fmt::shortTimeFormat(QLocale());
    return spanMs <= 300 * dayMs ? QStringLiteral("MMM d") : QStringLiteral("MMM yyyy");
}

// 1, 2 or 5 times a power of ten, at least raw: few ticks fit 150 pixels.
double niceStep(double raw)
{
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0}) {
        if (m * magnitude >= raw)
            return m * magnitude;
    }
    return 10 * magnitude;
}

constexpr int dotSize = 8;

QImage dotImage(const QColor &colour, qreal ratio)
{
    const int side = int(std::ceil(dotSize * ratio));
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(0, 0, side, side));
    p.end();
    image.setDevicePixelRatio(ratio);
    return image;
}

} // namespace

HistoryChart::HistoryChart(QWidget *parent)
    // Given at construction: setChart() would orphan a default chart.
    : QChartView(new QChart, parent)
    , m_download(new QLineSeries)
    , m_upload(new QLineSeries)
    , m_dates(new QDateTimeAxis)
    , m_speeds(new QValueAxis)
{
    QChart *chart = this->chart();
    chart->setBackgroundVisible(false);
    chart->setMargins(QMargins(0, 0, 0, 0));
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->layout()->setContentsMargins(0, 0, 0, 0);

    m_download->setName(tr("Download"));
    m_upload->setName(tr("Upload"));
    for (QLineSeries *s : {m_download, m_upload}) {
        chart->addSeries(s);
        s->setPointsVisible(true);
        s->setMarkerSize(dotSize);
        s->setUseOpenGL(false);
    }

    m_speeds->setTitleText(tr("Mbps"));
    m_speeds->setLabelFormat(QStringLiteral("%g"));
    chart->addAxis(m_dates, Qt::AlignBottom);
    chart->addAxis(m_speeds, Qt::AlignLeft);
    for (QLineSeries *s : {m_download, m_upload}) {
        s->attachAxis(m_dates);
        s->attachAxis(m_speeds);
    }
    // Beside the plot: at 150 pixels high, height is what the plot lacks.
    chart->legend()->setAlignment(Qt::AlignRight);

    setRenderHint(QPainter::Antialiasing);
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus); // nothing in it reacts to keys
    setAccessibleName(tr("Download and upload speed over time"));
    // The window shows through. (A style sheet would do it too, but it turns
    // the palette the text colours come from transparent black.)
    viewport()->setAutoFillBackground(false);
    applyPalette();
    // A new width shows more or fewer columns.
    connect(chart, &QChart::plotAreaChanged, this, [this] {
        if (columns() != m_shownColumns)
            showPoints();
    });
    connect(scene(), &QGraphicsScene::changed, this, [this](const QList<QRectF> &region) {
        // Rendering itself makes Qt Charts touch items of no size; only a
        // change that covers something makes the rendering stale.
        const auto covers = [](const QRectF &r) { return r.width() >= 0.01 || r.height() >= 0.01; };
        if (region.isEmpty() || std::any_of(region.cbegin(), region.cend(), covers))
            m_renderingStale = true;
    });
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

QList<QPointF> HistoryChart::decimated(const QList<QPointF> &sorted, double minX, double maxX, int columns)
{
    if (columns < 1 || sorted.size() <= 2 * qsizetype(columns) || !(maxX > minX))
        return sorted;
    QList<QPointF> out;
    out.reserve(2 * columns);
    const double perColumn = columns / (maxX - minX);
    const auto columnOf = [&](const QPointF &p) { return std::clamp(int((p.x() - minX) * perColumn), 0, columns - 1); };
    qsizetype i = 0;
    int column = columnOf(sorted[0]);
    while (i < sorted.size()) {
        qsizetype low = i, high = i;
        int next = column;
        for (++i; i < sorted.size(); ++i) {
            next = columnOf(sorted[i]);
            if (next != column)
                break;
            if (sorted[i].y() < sorted[low].y())
                low = i;
            if (sorted[i].y() > sorted[high].y())
                high = i;
        }
        out.append(sorted[std::min(low, high)]);
        if (low != high)
            out.append(sorted[std::max(low, high)]);
        column = next;
    }
    return out;
}

int HistoryChart::columns() const
{
    // Before the first layout the plot has no width yet: the view's own
    // width is close, and the layout corrects it. Rounded up to a multiple
    // of 64 columns (each then no wider than a pixel), so most steps of a
    // live resize keep the points they have.
    const double width = chart()->plotArea().width() >= 1 ? chart()->plotArea().width() : double(this->width());
    return std::max(1, int(std::ceil(width * devicePixelRatioF() / 64)) * 64);
}

void HistoryChart::showPoints()
{
    m_shownColumns = columns();
    const double minX = double(m_dates->min().toMSecsSinceEpoch());
    const double maxX = double(m_dates->max().toMSecsSinceEpoch());
    m_download->replace(decimated(m_allDownload, minX, maxX, m_shownColumns));
    m_upload->replace(decimated(m_allUpload, minX, maxX, m_shownColumns));
}

void HistoryChart::setResults(const QList<TestResult> &results)
{
    m_allDownload = points(results, &TestResult::download);
    m_allUpload = points(results, &TestResult::upload);
    const QList<QPointF> &down = m_allDownload;
    const QList<QPointF> &up = m_allUpload;

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
    const QDateTime first = QDateTime::fromMSecsSinceEpoch(qint64(minX));
    const QDateTime last = QDateTime::fromMSecsSinceEpoch(qint64(maxX));
    // From zero (or the lowest figure, should one be negative) to a little
    // above the highest, on round numbers.
    const double step = niceStep(std::max(maxY - minY, 1.0) / 3);
    const double low = std::floor(minY / step) * step;
    const double high = std::max(std::ceil(maxY * 1.05 / step) * step, low + step);

    // Every axis change makes Qt Charts lay out every point again, which is
    // what a long history costs: empty the series while the axes move, then
    // hand over each point list once.
    if (first != m_dates->min() || last != m_dates->max() || low != m_speeds->min()
        || high != m_speeds->max()) {
        m_download->clear();
        m_upload->clear();
        m_dates->setFormat(dateFormatFor(qint64(maxX - minX)));
        m_dates->setRange(first, last);
        m_speeds->setRange(low, high);
        m_speeds->setTickCount(int(std::lround((high - low) / step)) + 1);
    }
    showPoints();
}

void HistoryChart::changeEvent(QEvent *event)
{
    QChartView::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyPalette();
}

void HistoryChart::paintEvent(QPaintEvent *)
{
    QWidget *target = viewport();
    const qreal ratio = target->devicePixelRatioF();
    const QSize pixels = target->size() * ratio;
    if (m_renderingStale || m_rendering.size() != pixels) {
        m_rendering = QPixmap(pixels);
        m_rendering.setDevicePixelRatio(ratio);
        m_rendering.fill(Qt::transparent);
        QPainter p(&m_rendering);
        p.setRenderHints(renderHints());
        scene()->render(&p, QRectF(QPointF(0, 0), QSizeF(target->size())),
                        mapToScene(target->rect()).boundingRect());
        m_renderingStale = false;
    }
    QPainter(target).drawPixmap(0, 0, m_rendering);
}

void HistoryChart::applyPalette()
{
    // Text and grid as muted as the live graph's, in the palette's own colours.
    const QPalette pal = palette();
    const QColor muted = Theme::secondary(pal);
    const QFont small = Theme::font(Theme::TextStyle::caption);
    for (QAbstractAxis *axis : {static_cast<QAbstractAxis *>(m_dates), static_cast<QAbstractAxis *>(m_speeds)}) {
        axis->setLabelsBrush(muted);
        axis->setLabelsFont(small);
        axis->setTitleBrush(muted);
        axis->setTitleFont(small);
        axis->setLinePenColor(Theme::withAlpha(muted, 0.5));
        axis->setGridLineColor(Theme::withAlpha(muted, 0.25));
    }
    chart()->legend()->setLabelColor(muted);
    chart()->legend()->setFont(small);
    const QColor colours[] = {Theme::blue(pal), Theme::purple(pal)};
    int i = 0;
    for (QLineSeries *s : {m_download, m_upload}) {
        const QColor colour = colours[i++];
        s->setColor(colour);
        // A ready-made dot image costs a blit per point instead of an
        // antialiased ellipse, which matters from thousands of points.
        s->setLightMarker(dotImage(colour, devicePixelRatioF()));
    }
}
