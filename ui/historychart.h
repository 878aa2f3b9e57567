#pragma once
// HistoryChart: download and upload speed over time, one line per series
// with a dot for every result. Main thread only. setResults() rebuilds both
// point lists in one pass and hands each series its list in one call, so a
// long history costs one replace per change, not one signal per point.
// Each series holds at most the lowest and the highest point of every pixel
// column of the plot (all points while they are fewer), so the lines look
// the same while a long history costs the chart what the width can show.
// Results whose date is invalid, or whose figure is not a finite number,
// are left out of that series: they have no place on the axes.
#include "testresult.h"

#include <QList>
#include <QPixmap>
#include <QPointF>
#include <QtCharts/QChartView>

class QDateTimeAxis;
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
    QDateTimeAxis *dateAxis() const { return m_dates; }
    QValueAxis *speedAxis() const { return m_speeds; }

    // The points a series gets for results: x in milliseconds since the
    // epoch, sorted by date; y the field's value.
    static QList<QPointF> points(const QList<TestResult> &results, double TestResult::*field);
    // Of points sorted by x over [minX, maxX], the lowest and the highest of
    // each of `columns` equal columns, in x order; all of them when there
    // are no more than two per column.
    static QList<QPointF> decimated(const QList<QPointF> &sorted, double minX, double maxX, int columns);

protected:
    void changeEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void applyPalette();
    // Hands the series what the plot's width can show.
    void showPoints();
    int columns() const;

    // The last rendering of the scene. Drawing thousands of points takes a
    // while, and the window repaints the chart for reasons of its own
    // (activation, a tab switch) far more often than the chart changes.
    QPixmap m_rendering;
    bool m_renderingStale = true;

    // Every point, sorted by date; the series hold them decimated.
    QList<QPointF> m_allDownload;
    QList<QPointF> m_allUpload;
    int m_shownColumns = 0;

    QLineSeries *m_download;
    QLineSeries *m_upload;
    QDateTimeAxis *m_dates;
    QValueAxis *m_speeds;
};
