// The dial: what it reads for each phase and value, how far and which way
// the arc runs, that only the arc eases to a new reading, that the stroke
// is never clipped, and that it follows a real test against the local server.
#include "fmt.h"
#include "gaugeview.h"
#include "theme.h"
#include "uisupport.h"

#include <QImage>
#include <QtMath>

#include <cmath>
#include <limits>


namespace {

// Waits until the eased arc has reached its target.
bool settled(GaugeView &g)
{
    return eventually([&] { return !g.isAnimating() && g.drawnFraction() == g.arcFraction(); }, 5'000);
}

QImage paint(GaugeView &g)
{
    QImage img(g.size(), QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    g.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    return img;
}

// The point on the dial's circle at a clock angle (degrees counter-
// clockwise from three o'clock).
QPoint onCircle(const GaugeView &g, double degrees)
{
    const double r = GaugeView::dial / 2.0;
    const QPointF c(g.width() / 2.0, g.height() / 2.0);
    return QPointF(c.x() + r * std::cos(qDegreesToRadians(degrees)),
                   c.y() - r * std::sin(qDegreesToRadians(degrees)))
        .toPoint();
}

bool near(QColor a, QColor b, int tolerance = 40)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

} // namespace

class TestGauge : public QObject {
    Q_OBJECT

private slots:
    void readings_data();
    void readings();
    void arcEasesToEveryNewReading();
    void arcRunsClockwiseFromLowerLeft();
    void strokeStaysInsideTheWidget();
    void followsARunningTest();
};

void TestGauge::readings_data()
{
    QTest::addColumn<Phase>("phase");
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("max");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("scaleMax");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<QColor>("colour");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("start-up") << Phase::idle << 0.0 << 100.0 << "\u2014" << "Ready" << "100" << 0.0 << Theme::green();
    // 23.45 is stored just below itself, so one decimal gives 23.4.
    QTest::newRow("latency") << Phase::latency << 23.45 << 50.0 << "23.4" << "ms" << "50.0" << 23.45 / 50
                             << Theme::orange();
    QTest::newRow("latency above 100") << Phase::latency << 123.4 << 200.0 << "123" << "ms" << "200" << 0.617
                                       << Theme::orange();
    QTest::newRow("download full") << Phase::download << 250.0 << 250.0 << "250" << "Mbps" << "250" << 1.0
                                   << Theme::blue();
    QTest::newRow("upload small") << Phase::upload << 9.994 << 100.0 << "9.99" << "Mbps" << "100" << 0.09994
                                  << Theme::purple();
    QTest::newRow("done") << Phase::done << 93.46 << 250.0 << "93.5" << "Mbps" << "250" << 93.46 / 250
                          << Theme::green();
    QTest::newRow("past the top step") << Phase::download << 150000.0 << 100000.0 << "150000" << "Mbps"
                                       << "100000" << 1.0 << Theme::blue();
    QTest::newRow("negative") << Phase::download << -1.0 << 100.0 << "-1.00" << "Mbps" << "100" << 0.0
                              << Theme::blue();
    QTest::newRow("not a number") << Phase::latency << nan << 50.0 << "nan" << "ms" << "50.0" << 0.0
                                  << Theme::orange();
}

void TestGauge::readings()
{
    QFETCH(Phase, phase);
    QFETCH(double, value);
    QFETCH(double, max);
    Watchdog dog;
    GaugeView g(nullptr);
    g.display(phase, value, max);
    QTEST(g.label(), "label");
    QTEST(g.unitText(), "unit");
    QTEST(g.scaleMaxText(), "scaleMax");
    QTEST(g.arcColor(), "colour");
    QFETCH(double, fraction);
    QVERIFY2(std::abs(g.arcFraction() - fraction) < 1e-3, qPrintable(QString::number(g.arcFraction())));
    QVERIFY(settled(g));
    QCOMPARE(g.drawnFraction(), g.arcFraction());
}

void TestGauge::arcEasesToEveryNewReading()
{
    Watchdog dog;
    GaugeView g(nullptr);
    g.display(Phase::download, 95, 100);
    QVERIFY(settled(g));
    QCOMPARE(g.drawnFraction(), 0.95);

    // The scale grows under a steady reading: the arc shrinks smoothly, the
    // texts change at once.
    g.display(Phase::download, 95, 250);
    QCOMPARE(g.arcFraction(), 0.38);
    QCOMPARE(g.scaleMaxText(), QStringLiteral("250"));
    QCOMPARE(g.label(), QStringLiteral("95.0"));
    QVERIFY(g.isAnimating());
    QCOMPARE(g.drawnFraction(), 0.95);
    double previous = g.drawnFraction();
    bool monotonic = true;
    QVERIFY(eventually([&] {
        monotonic = monotonic && g.drawnFraction() <= previous;
        previous = g.drawnFraction();
        return !g.isAnimating();
    }));
    QVERIFY(monotonic);
    QCOMPARE(g.drawnFraction(), 0.38);

    // A new phase resets the reading: the arc runs back rather than jumps.
    g.display(Phase::upload, 0, 100);
    QVERIFY(g.isAnimating());
    QVERIFY(g.drawnFraction() > 0);
    QVERIFY(settled(g));
    QCOMPARE(g.drawnFraction(), 0.0);

    // The same reading again starts nothing.
    g.display(Phase::upload, 0, 100);
    QVERIFY(!g.isAnimating());
}

void TestGauge::arcRunsClockwiseFromLowerLeft()
{
    Watchdog dog;
    GaugeView g(nullptr);
    g.resize(g.sizeHint());
    // 0.4 of the track: from half past seven clockwise 108 degrees, which
    // passes nine o'clock and stops short of twelve.
    g.display(Phase::download, 40, 100);
    QVERIFY(settled(g));
    QImage img = paint(g);
    QVERIFY(near(img.pixelColor(onCircle(g, 180)), Theme::blue(), 60));
    QVERIFY(!near(img.pixelColor(onCircle(g, 0)), Theme::blue(), 60));
    QVERIFY(!near(img.pixelColor(onCircle(g, 90)), Theme::blue(), 60));
    QVERIFY(img.pixelColor(onCircle(g, 0)).alpha() > 0); // the track is there
    QVERIFY(img.pixelColor(onCircle(g, 270)).alpha() == 0); // the gap at the bottom

    // Full: the whole track, no wrap into the gap.
    g.display(Phase::upload, 500, 100);
    QVERIFY(settled(g));
    img = paint(g);
    for (double a : {200.0, 90.0, 0.0, -40.0})
        QVERIFY2(near(img.pixelColor(onCircle(g, a)), Theme::purple(), 70), qPrintable(QString::number(a)));
    QCOMPARE(img.pixelColor(onCircle(g, 270)).alpha(), 0);

    g.display(Phase::download, -3, 100);
    QVERIFY(settled(g));
    img = paint(g);
    QVERIFY(!near(img.pixelColor(onCircle(g, 180)), Theme::blue(), 60));
}

void TestGauge::strokeStaysInsideTheWidget()
{
    Watchdog dog;
    GaugeView g(nullptr);
    g.display(Phase::download, 100, 100);
    QVERIFY(settled(g));
    const QImage img = paint(g);
    int outerTop = -1;
    for (int y = 0; y < img.height() && outerTop < 0; ++y)
        if (img.pixelColor(img.width() / 2, y).alpha() > 0)
            outerTop = y;
    // The top of the stroke sits inside the widget, with no paint on its edge.
    QVERIFY2(outerTop > 0 && outerTop <= 2, qPrintable(QString::number(outerTop)));
    for (int i = 0; i < img.width(); ++i) {
        QCOMPARE(img.pixelColor(i, 0).alpha(), 0);
        QCOMPARE(img.pixelColor(0, i).alpha(), 0);
        QCOMPARE(img.pixelColor(img.width() - 1, i).alpha(), 0);
    }
}

void TestGauge::followsARunningTest()
{
    Watchdog dog;
    LocalServer local;
    holdLatency(local.server, 6, 3s);
    Engine e(local.origin());
    GaugeView g(e.test.get());
    QCOMPARE(g.label(), QStringLiteral("\u2014"));
    QCOMPARE(g.unitText(), QStringLiteral("Ready"));

    e.test->start();
    QVERIFY(eventually([&] { return e.test->phase() == Phase::latency && !e.test->samples().isEmpty(); }));
    QCOMPARE(g.unitText(), QStringLiteral("ms"));
    QCOMPARE(g.label(), Fmt::ms(e.test->gaugeValue()));
    QCOMPARE(g.scaleMaxText(), Fmt::ms(e.test->gaugeMax()));
    QCOMPARE(g.arcColor(), Theme::orange());

    e.test->cancel();
    QCOMPARE(g.label(), QStringLiteral("\u2014"));
    QCOMPARE(g.unitText(), QStringLiteral("Ready"));
    QVERIFY(settled(g));
    QCOMPARE(g.drawnFraction(), 0.0);
}

QTEST_MAIN(TestGauge)
#include "tst_gauge.moc"
