#include "historychart.h"

#include "fmt.h"
#include "theme.h"

#include <QAreaSeries>
#include <QCategoryAxis>
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
// Pixels of plot per bucket once results outnumber pixels.
constexpr int bucketPixels = 3;

// The q-quantile of values, linear between ranks. Reorders them: a
// selection, not a sort, since a long history has many to a bucket.
double quantile(std::vector<double> &values, double q)
{
    const double at = q * double(values.size() - 1);
    const auto i = std::ptrdiff_t(at);
    std::nth_element(values.begin(), values.begin() + i, values.end());
    const double lo = values[std::size_t(i)];
    if (std::size_t(i) + 1 >= values.size())
        return lo;
    const double hi = *std::min_element(values.begin() + i + 1, values.end());
    return lo + (hi - lo) * (at - double(i));
}

// A tick spacing: a whole number of some calendar unit, and how its ticks
// are labelled.
enum class Unit { minute, hour, day, month, year };
struct Spacing {
    Unit unit;
    int count;
    qint64 approxMs;
};

QString tickLabel(const QDateTime &t, Unit unit)
{
    const QLocale locale;
    switch (unit) {
    case Unit::minute:
    case Unit::hour: return locale.toString(t.time(), Fmt::shortTimeFormat(locale));
    case Unit::day: return locale.toString(t.date(), QStringLiteral("MMM d"));
    case Unit::month: return locale.toString(t.date(), QStringLiteral("MMM yyyy"));
    case Unit::year: break;
    }
    return locale.toString(t.date(), QStringLiteral("yyyy"));
}

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
    // An area series does not own its bounds: this view does.
    , m_downloadBand(new QAreaSeries(new QLineSeries(this), new QLineSeries(this)))
    , m_uploadBand(new QAreaSeries(new QLineSeries(this), new QLineSeries(this)))
    , m_dates(new QCategoryAxis)
    , m_speeds(new QValueAxis)
{
    QChart *chart = this->chart();
    chart->setBackgroundVisible(false);
    chart->setMargins(QMargins(0, 0, 0, 0));
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->layout()->setContentsMargins(0, 0, 0, 0);

    m_download->setName(tr("Download"));
    m_upload->setName(tr("Upload"));
    for (QAreaSeries *band : {m_downloadBand, m_uploadBand}) {
        chart->addSeries(band);
        band->setPen(Qt::NoPen);
    }
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
    m_dates->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    for (QAbstractSeries *s : std::initializer_list<QAbstractSeries *>{m_downloadBand, m_uploadBand, m_download, m_upload}) {
        s->attachAxis(m_dates);
        s->attachAxis(m_speeds);
    }
    for (QAreaSeries *band : {m_downloadBand, m_uploadBand})
        chart->legend()->markers(band).constFirst()->setVisible(false);
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
        if (columns() != m_shownColumns) {
            placeDates();
            showPoints();
        }
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

HistoryChart::Trend HistoryChart::trend(const QList<QPointF> &sorted, double minX, double maxX, int buckets)
{
    Trend out;
    if (sorted.isEmpty() || buckets < 1)
        return out;
    const double perBucket = maxX > minX ? buckets / (maxX - minX) : 0;
    const auto bucketOf = [&](const QPointF &p) { return std::clamp(int((p.x() - minX) * perBucket), 0, buckets - 1); };
    std::vector<double> ys;
    for (qsizetype i = 0; i < sorted.size();) {
        const int bucket = bucketOf(sorted[i]);
        ys.clear();
        double xSum = 0;
        for (; i < sorted.size() && bucketOf(sorted[i]) == bucket; ++i) {
            ys.push_back(sorted[i].y());
            xSum += sorted[i].x();
        }
        const double x = xSum / double(ys.size());
        out.low.append({x, quantile(ys, 0.25)});
        out.median.append({x, quantile(ys, 0.5)});
        out.high.append({x, quantile(ys, 0.75)});
    }
    return out;
}

QList<QPair<double, QString>> HistoryChart::timeTicks(double minMs, double maxMs, int room, const QFontMetrics &labels)
{
    constexpr qint64 minute = 60 * 1000, day = 24 * hourMs;
    static const Spacing spacings[] = {
        {Unit::minute, 1, minute},       {Unit::minute, 2, 2 * minute},   {Unit::minute, 5, 5 * minute},
        {Unit::minute, 10, 10 * minute}, {Unit::minute, 15, 15 * minute}, {Unit::minute, 30, 30 * minute},
        {Unit::hour, 1, hourMs},         {Unit::hour, 2, 2 * hourMs},     {Unit::hour, 3, 3 * hourMs},
        {Unit::hour, 6, 6 * hourMs},     {Unit::hour, 12, 12 * hourMs},   {Unit::day, 1, day},
        {Unit::day, 2, 2 * day},         {Unit::day, 7, 7 * day},         {Unit::day, 14, 14 * day},
        {Unit::month, 1, 30 * day},      {Unit::month, 2, 61 * day},      {Unit::month, 3, 91 * day},
        {Unit::month, 6, 182 * day},     {Unit::year, 1, 365 * day},      {Unit::year, 2, 730 * day},
        {Unit::year, 5, 1826 * day},     {Unit::year, 10, 3652 * day},    {Unit::year, 20, 7305 * day},
        {Unit::year, 50, 18262 * day},   {Unit::year, 100, 36525 * day},
    };
    const QDateTime first = QDateTime::fromMSecsSinceEpoch(qint64(std::ceil(minMs)));
    const QDateTime last = QDateTime::fromMSecsSinceEpoch(qint64(std::floor(maxMs)));
    const QDateTime sample(QDate(2026, 9, 28), QTime(23, 58));
    const Spacing *chosen = &spacings[std::size(spacings) - 1];
    for (const Spacing &s : spacings) {
        // Times of day repeat from one day to the next: only within a day.
        if (s.unit <= Unit::hour && maxMs - minMs >= double(day))
            continue;
        // A label's width of space between two labels, at least.
        const double slot = 2 * labels.horizontalAdvance(tickLabel(sample, s.unit)) + 16;
        if ((maxMs - minMs) / double(s.approxMs) <= std::max(1.0, room / slot)) {
            chosen = &s;
            break;
        }
    }
    // From the start of the first one's day, month or year, in whole units.
    QDateTime t(first.date(), QTime(0, 0));
    if (chosen->unit >= Unit::month)
        t.setDate(QDate(first.date().year(), chosen->unit == Unit::year ? 1 : first.date().month(), 1));
    QList<QPair<double, QString>> ticks;
    for (int guard = 0; t <= last && guard < 100'000; ++guard) {
        const QDate d = t.date();
        const bool onStep = chosen->unit == Unit::day     ? d.toJulianDay() % chosen->count == 0
                            : chosen->unit == Unit::month ? (d.month() - 1) % chosen->count == 0
                            : chosen->unit == Unit::year  ? d.year() % chosen->count == 0
                                                          : true;
        if (t >= first && onStep)
            ticks.append({double(t.toMSecsSinceEpoch()), tickLabel(t, chosen->unit)});
        switch (chosen->unit) {
        case Unit::minute: t = t.addSecs(60LL * chosen->count); break;
        case Unit::hour: t = t.addSecs(3600LL * chosen->count); break;
        case Unit::day: t = t.addDays(1); break;
        case Unit::month: t = t.addMonths(1); break;
        case Unit::year: t = t.addYears(1); break;
        }
    }
    return ticks;
}

double HistoryChart::plotWidth() const
{
    // Before the first layout the plot has no width yet: the view's own
    // width is close, and the layout corrects it.
    return chart()->plotArea().width() >= 1 ? chart()->plotArea().width() : double(width());
}

void HistoryChart::placeDates()
{
    // Padded by a dot's width each side, so the first and last are whole.
    const double width = std::max(plotWidth(), 4.0 * dotSize);
    const double pad = (m_lastMs - m_firstMs) * dotSize / (width - 2 * dotSize);
    const double lo = m_firstMs - pad, hi = m_lastMs + pad;
    for (const QString &label : m_dates->categoriesLabels())
        m_dates->remove(label);
    m_dates->setStartValue(lo);
    m_dates->setRange(lo, hi);
    for (const auto &[at, label] : timeTicks(m_firstMs, m_lastMs, int(width), QFontMetrics(m_dates->labelsFont())))
        m_dates->append(label, at);
}

int HistoryChart::columns() const
{
    // Rounded up to a multiple
    // of 64 columns (each then no wider than a pixel), so most steps of a
    // live resize keep the points they have.
    return std::max(1, int(std::ceil(plotWidth() * devicePixelRatioF() / 64)) * 64);
}

void HistoryChart::showPoints()
{
    m_shownColumns = columns();
    const int pixels = int(plotWidth());
    // Buckets follow the columns, so most steps of a resize reuse them.
    const int buckets = std::max(1, m_shownColumns / (bucketPixels + 1));
    if (buckets != m_trendBuckets) {
        m_trendBuckets = buckets;
        m_trends[0] = m_allDownload.size() > pixels ? trend(m_allDownload, m_firstMs, m_lastMs, buckets) : Trend();
        m_trends[1] = m_allUpload.size() > pixels ? trend(m_allUpload, m_firstMs, m_lastMs, buckets) : Trend();
    }
    const auto show = [&](const QList<QPointF> &all, QLineSeries *line, QAreaSeries *band, const QImage &dot,
                          const Trend &t) {
        if (all.size() <= pixels) {
            band->upperSeries()->clear();
            band->lowerSeries()->clear();
            line->setLightMarker(dot);
            line->setPointsVisible(true);
            line->replace(all);
            return;
        }
        line->setPointsVisible(false);
        line->setLightMarker(QImage());
        line->replace(t.median);
        band->upperSeries()->replace(t.high);
        band->lowerSeries()->replace(t.low);
    };
    show(m_allDownload, m_download, m_downloadBand, m_downloadDot, m_trends[0]);
    show(m_allUpload, m_upload, m_uploadBand, m_uploadDot, m_trends[1]);
}

void HistoryChart::setResults(const QList<TestResult> &results)
{
    m_trendBuckets = 0;
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
    // From zero (or the lowest figure, should one be negative) to a little
    // above the highest, on round numbers.
    const double step = niceStep(std::max(maxY - minY, 1.0) / 3);
    const double low = std::floor(minY / step) * step;
    const double high = std::max(std::ceil(maxY * 1.05 / step) * step, low + step);

    // Every axis change makes Qt Charts lay out every point again, which is
    // what a long history costs: empty the series while the axes move, then
    // hand over each point list once.
    if (minX != m_firstMs || maxX != m_lastMs || low != m_speeds->min() || high != m_speeds->max()) {
        for (QLineSeries *s : {m_download, m_upload, static_cast<QLineSeries *>(m_downloadBand->upperSeries()),
                               m_downloadBand->lowerSeries(), m_uploadBand->upperSeries(), m_uploadBand->lowerSeries()})
            s->clear();
        m_firstMs = minX;
        m_lastMs = maxX;
        placeDates();
        m_speeds->setRange(low, high);
        m_speeds->setTickCount(int(std::lround((high - low) / step)) + 1);
    }
    // Not laid out yet: the layout's first plot area brings the points.
    if (chart()->plotArea().width() >= 1)
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
    // A ready-made dot image costs a blit per point instead of an
    // antialiased ellipse, which matters from thousands of points.
    m_downloadDot = dotImage(Theme::blue(pal), devicePixelRatioF());
    m_uploadDot = dotImage(Theme::purple(pal), devicePixelRatioF());
    m_download->setColor(Theme::blue(pal));
    m_upload->setColor(Theme::purple(pal));
    m_downloadBand->setBrush(Theme::withAlpha(Theme::blue(pal), 0.2));
    m_uploadBand->setBrush(Theme::withAlpha(Theme::purple(pal), 0.2));
    if (m_shownColumns > 0)
        showPoints();
}
