#pragma once
// HistoryChart: download and upload speed over time, one line per series
// with a dot for every result. Main thread only. setResults() rebuilds both
// point lists in one pass and hands each series its list in one call, so a
// long history costs one replace per change, not one signal per point.
// While the results fit the plot's width in pixels every one is a dot on its
// line; beyond that dots would merge into a solid band, so each series shows
// the median of every few pixels' results as its line, over a light band
// from their lower to their upper quartile. The time axis is ticked at round
// times (minutes to years) with labels that never repeat, and the dates are
// padded so no dot is cut at either end.
// Results whose date is invalid, or whose figure is not a finite number,
// are left out of that series: they have no place on the axes.
#include "testresult.h"

#include <QFontMetrics>
#include <QList>
#include <QPair>
#include <QImage>
#include <QPixmap>
#include <QPointF>
#include <QtCharts/QChartView>

class QAreaSeries;
class QCategoryAxis;
class QLineSeries;
class QValueAxis;

class HistoryChart final : public QChartView {
    Q_OBJECT

public:
    explicit HistoryChart(QWidget *parent = nullptr);

    // results in any order; the lines run from the oldest date to the newest.
    void setResults(const QList<TestResult> &results);

    QLineSeries *downloadSeries() const { return m_download; }
    QLineSeries *uploadSeries() const { return m_upload; }
    // Milliseconds since the epoch, labelled at round times.
    QCategoryAxis *dateAxis() const { return m_dates; }
    QAreaSeries *downloadBand() const { return m_downloadBand; }
    QValueAxis *speedAxis() const { return m_speeds; }

    // The points a series gets for results: x in milliseconds since the
    // epoch, sorted by date; y the field's value.
    static QList<QPointF> points(const QList<TestResult> &results, double TestResult::*field);
    // Of points sorted by x over [minX, maxX], split into `buckets` equal
    // spans: the lower quartile, the median and the upper quartile of each
    // span's y (linear between ranks), at the mean x of its points.
    struct Trend {
        QList<QPointF> low, median, high;
    };
    static Trend trend(const QList<QPointF> &sorted, double minX, double maxX, int buckets);
    // Round times over [minMs, maxMs] in local time, at most about `room`
    // pixels apart for a label of `labelWidth`: the tick and its label.
    static QList<QPair<double, QString>> timeTicks(double minMs, double maxMs, int room,
                                                   const QFontMetrics &labels);

protected:
    void changeEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void applyPalette();
    // Hands the series what the plot's width can show.
    void showPoints();
    void placeDates();
    int columns() const;
    double plotWidth() const;

    // The last rendering of the scene. Drawing thousands of points takes a
    // while, and the window repaints the chart for reasons of its own
    // (activation, a tab switch) far more often than the chart changes.
    QPixmap m_rendering;
    bool m_renderingStale = true;

    // Every point, sorted by date, and the dates' range.
    QList<QPointF> m_allDownload;
    QList<QPointF> m_allUpload;
    double m_firstMs = 0;
    double m_lastMs = 0;
    int m_shownColumns = 0;
    // The trends of download and upload for m_trendBuckets buckets (0: none
    // computed for these points yet); empty where every point shows.
    int m_trendBuckets = 0;
    Trend m_trends[2];

    QLineSeries *m_download;
    QLineSeries *m_upload;
    // The quartile bands, each between two lines of its own.
    QAreaSeries *m_downloadBand;
    QAreaSeries *m_uploadBand;
    QImage m_downloadDot;
    QImage m_uploadDot;
    QCategoryAxis *m_dates;
    QValueAxis *m_speeds;
};
