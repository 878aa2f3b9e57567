#pragma once
// LiveGraph: the chart beside the gauge. Plots the engine's points of the
// running phase as a line over a tinted area in the phase colour, or a grey
// placeholder panel while there is no point. The title names what is
// plotted. Reads SpeedTest, never writes it; replaces the series in one
// batch per change of the points. Main thread only.
#include "phase.h"
#include "sample.h"

#include <QList>
#include <QPointF>
#include <QString>
#include <QWidget>

class QAreaSeries;
class QChart;
class QChartView;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QStackedWidget;
class QValueAxis;
class SpeedTest;

class LiveGraph : public QWidget {
    Q_OBJECT
public:
    static constexpr int frameHeight = 230;
    static inline const QString placeholderText = QStringLiteral("The graph appears here during the test");

    explicit LiveGraph(SpeedTest *test, QWidget *parent = nullptr);

    // Shows the points of a phase; called from the engine's signals.
    void display(Phase phase, const SampleList &samples);

    QString title() const;
    bool isShowingPlaceholder() const;
    QColor lineColor() const;
    double yTop() const;
    double xMin() const;
    double xMax() const;
    int pointCount() const;
    // The drawn line; the area beneath it follows it.
    QLineSeries *series() const { return m_line; }
    QAreaSeries *area() const { return m_area; }
    // Holds the one point while there is only one.
    QScatterSeries *dot() const { return m_dot; }
    QValueAxis *xAxis() const { return m_x; }
    QValueAxis *yAxis() const { return m_y; }
    // The texts the x axis draws right now, left to right.
    QStringList xAxisLabels() const;

    static QString titleFor(Phase phase);
    static double yTopFor(const SampleList &samples);

protected:
    void changeEvent(QEvent *event) override;

private:
    void refresh();
    void restyle();
    void recolour();
    void fitXAxis(const QList<QPointF> &points);

    SpeedTest *m_test;
    Phase m_phase = Phase::idle;
    QLabel *m_title;
    QStackedWidget *m_body;
    QWidget *m_placeholder;
    QChartView *m_view;
    QChart *m_chart;
    QLineSeries *m_line;
    QScatterSeries *m_dot;
    QAreaSeries *m_area;
    QValueAxis *m_x;
    QValueAxis *m_y;
};
