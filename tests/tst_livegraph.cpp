// The live graph: title and placeholder per phase, the vertical domain
// rule, the horizontal tick texts as the axis really draws them, one batch
// per change. Following a real test is the window test's whole run.
#include "livegraph.h"
#include "speedtestharness.h"

#include <QtCharts>
#include <QtTest>

#include <cmath>
#include <limits>

Q_DECLARE_METATYPE(SampleList)

namespace {

SampleList ramp(int n, double dx, double x0 = 1, double y0 = 10)
{
    SampleList s;
    for (int i = 0; i < n; ++i)
        s.append({x0 + i * dx, y0 + i});
    return s;
}

struct ShownGraph {
    LiveGraph graph{nullptr};
    ShownGraph()
    {
        graph.resize(480, LiveGraph::frameHeight);
        graph.show();
        if (!QTest::qWaitForWindowExposed(&graph))
            qFatal("graph not exposed");
    }
};

} // namespace

class TestLiveGraph : public QObject {
    Q_OBJECT

private slots:
    void titleAndBody_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<SampleList>("samples");
        QTest::addColumn<QString>("title");
        QTest::addColumn<Hue>("hue");
        const QString live("Live speed"), latency("Latency per request (ms)"), down("Download speed (Mbps)");
        QTest::newRow("idle, nothing to show") << Phase::idle << SampleList{} << live << Hue::green;
        QTest::newRow("latency, nothing yet") << Phase::latency << SampleList{} << latency << Hue::orange;
        QTest::newRow("latency, one point") << Phase::latency << SampleList{{1, 12}} << latency << Hue::orange;
        QTest::newRow("download") << Phase::download << ramp(5, 0.12) << down << Hue::blue;
        QTest::newRow("upload") << Phase::upload << ramp(3, 0.12) << "Upload speed (Mbps)" << Hue::purple;
        QTest::newRow("after a cancel") << Phase::idle << ramp(2, 1) << live << Hue::green;
    }
    void titleAndBody()
    {
        QFETCH(Phase, phase);
        QFETCH(SampleList, samples);
        ShownGraph shown;
        LiveGraph &g = shown.graph;
        g.display(Phase::download, ramp(10, 0.12)); // replaced in one batch, even by nothing
        QSignalSpy added(g.series(), &QXYSeries::pointAdded);
        g.display(phase, samples);
        QCOMPARE(added.count(), 0);
        QTEST(g.title(), "title");
        QCOMPARE(g.isShowingPlaceholder(), samples.isEmpty());
        QTEST(hueOf(g.lineColor()), "hue");
        QCOMPARE(g.pointCount(), samples.size());
        if (!samples.isEmpty())
            QCOMPARE(g.series()->points().last(), QPointF(samples.last().x, samples.last().y));
        QCOMPARE(g.dot()->count(), samples.size() == 1 ? 1 : 0); // a lone point makes no line: marked
        QCOMPARE(g.area()->brush().color().rgb(), g.lineColor().rgb());
        QVERIFY(std::abs(g.area()->brush().color().alphaF() - 0.2) < 0.01);
    }

    // The first point's dot goes once a second point makes a line (a
    // marker stayed there, drawn over the start of the download graph).
    void loneDotLeavesNoMarker()
    {
        ShownGraph shown;
        LiveGraph &g = shown.graph;
        g.display(Phase::download, ramp(1, 0.12, 0.12));
        g.display(Phase::download, ramp(10, 0.12, 0.12));
        auto *view = g.findChild<QChartView *>();
        QTRY_VERIFY(view->chart()->plotArea().width() > 100);
        const QPoint first = view->chart()->mapToPosition(QPointF(0.12, 10), g.series()).toPoint();
        const QImage drawn = view->grab().toImage();
        const QColor beside = drawn.pixelColor(first + QPoint(-2, -3)); // inside a dot, off the line
        QVERIFY2(beside.rgb() != g.lineColor().rgb(), qPrintable(beside.name()));
        g.display(Phase::download, ramp(1, 0.12, 0.12));
        QTRY_VERIFY(view->chart()->mapToPosition(QPointF(0.12, 10), g.series()).toPoint() != first);
        const QPoint lone = view->chart()->mapToPosition(QPointF(0.12, 10), g.series()).toPoint();
        QTRY_COMPARE(view->grab().toImage().pixelColor(lone + QPoint(-2, -1)).rgb(), g.lineColor().rgb());
    }

    void verticalDomain_data()
    {
        QTest::addColumn<SampleList>("samples");
        QTest::addColumn<double>("top");
        QTest::newRow("no point") << SampleList{} << 1.15;
        QTest::newRow("all at most 1") << SampleList{{1, 0.4}, {2, 1.0}} << 1.15;
        QTest::newRow("just above 1") << SampleList{{1, 1.2}} << 1.2 * 1.15;
        QTest::newRow("largest 80") << SampleList{{1, 20}, {2, 80}, {3, 55}} << 92.0;
        QTest::newRow("largest first") << SampleList{{1, 300}, {2, 1}} << 345.0;
        QTest::newRow("negative only") << SampleList{{1, -5}, {2, -1}} << 1.15;
        QTest::newRow("negative and 10") << SampleList{{1, -50}, {2, 10}} << 11.5;
        QTest::newRow("infinite point ignored") << SampleList{{1, std::numeric_limits<double>::infinity()}, {2, 10}} << 11.5;
        QTest::newRow("not-a-number first") << SampleList{{1, std::nan("")}, {2, 80}} << 92.0;
        QTest::newRow("too large to scale") << SampleList{{1, 1.7e308}} << 1.15;
    }

    void verticalDomain()
    {
        QFETCH(SampleList, samples);
        QFETCH(double, top);
        LiveGraph g(nullptr);
        g.display(Phase::download, samples);
        QVERIFY2(qFuzzyCompare(g.yTop(), top), qPrintable(QString::number(g.yTop())));
    }

    void drawnTickLabels_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<SampleList>("samples");
        QTest::addColumn<QString>("labels");
        QTest::newRow("1 request") << Phase::latency << ramp(1, 1) << "#1";
        QTest::newRow("3 requests") << Phase::latency << ramp(3, 1) << "#1 #2 #3";
        QTest::newRow("12 requests, once #2 #5 #7 #10") << Phase::latency << ramp(12, 1) << "#2 #4 #6 #8 #10 #12";
        QTest::newRow("20 requests") << Phase::latency << ramp(20, 1) << "#5 #10 #15 #20";
        QTest::newRow("one point, once from -0.4 s") << Phase::download << ramp(1, 0.12, 0.12) << "0s 1s";
        QTest::newRow("0.5 s, once without labels") << Phase::download << ramp(4, 0.12, 0.12) << "0s 1s";
        QTest::newRow("3 s") << Phase::download << ramp(25, 0.12, 0.12) << "0s 1s 2s 3s";
        QTest::newRow("11 s, once 2s 5s 7s 10s") << Phase::upload << ramp(92, 0.12, 0.12) << "0s 2s 4s 6s 8s 10s";
        QTest::newRow("25 s, after the test") << Phase::done << ramp(209, 0.12, 0.12) << "0s 5s 10s 15s 20s 25s";
    }

    void drawnTickLabels()
    {
        QFETCH(Phase, phase);
        QFETCH(SampleList, samples);
        QFETCH(QString, labels);
        ShownGraph shown;
        LiveGraph &g = shown.graph;
        g.display(phase, samples);
        QTRY_COMPARE_WITH_TIMEOUT(g.xAxisLabels().join(QLatin1Char(' ')), labels, 5'000);
        // Every point is on the axis.
        QVERIFY(g.xMin() <= samples.first().x && samples.last().x <= g.xMax());
    }

    void axesNeverCrowdWithTicks()
    {
        // Each tick is an item of its own; a wide range under a fine spacing,
        // even for a moment, stalls the window for seconds.
        ShownGraph shown;
        LiveGraph &g = shown.graph;
        int worst = 0;
        for (QValueAxis *axis : {g.xAxis(), g.yAxis()}) {
            auto check = [axis, &worst] {
                if (axis->tickInterval() > 0)
                    worst = std::max(worst, int((axis->max() - axis->min()) / axis->tickInterval()));
            };
            connect(axis, &QValueAxis::rangeChanged, &g, check);
            connect(axis, &QValueAxis::tickIntervalChanged, &g, check);
        }
        g.display(Phase::latency, ramp(3, 1, 1, 0.2));
        g.display(Phase::download, {{0.12, 0.5}, {0.24, 0.9}});
        g.display(Phase::download, {{0.12, 0.5}, {0.24, 90'000}});
        g.display(Phase::download, {{0.12, 0.5}, {0.24, 0.7}});
        g.display(Phase::upload, {{0.12, 1}, {50'000, 2}});
        g.display(Phase::upload, {{0.12, 1}, {0.5, 2}});
        QVERIFY2(worst <= 20, qPrintable(QString::number(worst)));
        QCOMPARE(g.yTop(), 1.15 * 2);
    }
};

QTEST_MAIN(TestLiveGraph)
#include "tst_livegraph.moc"
