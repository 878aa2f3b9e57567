// The dial: what it reads for each phase and value, how far and which way
// the arc runs and that its stroke is never clipped, and that only the arc
// eases to a new reading.
#include "gaugeview.h"
#include "speedtestharness.h"

#include <QImage>
#include <QtMath>

#include <cmath>

using Angles = QList<double>;

namespace {

// Waits until the eased arc has reached its target.
bool settled(GaugeView &g)
{
    return eventually([&] { return !g.isAnimating() && g.drawnFraction() == g.arcFraction(); }, 5'000);
}

// The colour on the dial's circle at a clock angle (degrees counter-
// clockwise from three o'clock).
QColor at(const QImage &img, double degrees)
{
    const double r = GaugeView::dial / 2.0;
    return img.pixelColor(QPointF(img.width() / 2.0 + r * std::cos(qDegreesToRadians(degrees)),
                                  img.height() / 2.0 - r * std::sin(qDegreesToRadians(degrees)))
                              .toPoint());
}

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) <= 60 && std::abs(a.green() - b.green()) <= 60
        && std::abs(a.blue() - b.blue()) <= 60;
}

void row(const char *name, Phase phase, double value, double max, const char *label, const char *unit,
         const char *scaleMax, double fraction, Hue hue, const Angles &lit = {}, const Angles &unlit = {})
{
    QTest::newRow(name) << phase << value << max << QString(label) << QString(unit) << QString(scaleMax) << fraction
                        << hue << lit << unlit;
}

} // namespace

class TestGauge : public QObject {
    Q_OBJECT

private slots:
    void readings_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("max");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("scaleMax");
        QTest::addColumn<double>("fraction");
        QTest::addColumn<Hue>("hue");
        QTest::addColumn<Angles>("lit");   // on the circle in the arc's colour
        QTest::addColumn<Angles>("unlit"); // on the track, not in it
        using enum Phase;
        row("start-up", idle, 0, 100, "\u2014", "Ready", "100", 0, Hue::green);
        row("latency", latency, 23.45, 50, "23.4", "ms", "50.0", 0.469, Hue::orange);
        // From half past seven clockwise 108 degrees: past nine, short of twelve.
        row("download, 0.4 of the track", download, 40, 100, "40.0", "Mbps", "100", 0.4, Hue::blue, {180}, {0, 90});
        // Full: the whole track, no wrap into the gap.
        row("past the top step", upload, 150000, 100000, "150000", "Mbps", "100000", 1, Hue::purple,
            {200, 90, 0, -40});
        row("negative", download, -1, 100, "-1.00", "Mbps", "100", 0, Hue::blue, {}, {180});
        row("not a number", latency, std::nan(""), 50, "nan", "ms", "50.0", 0, Hue::orange);
    }
    void readings()
    {
        QFETCH(Phase, phase);
        QFETCH(double, value);
        QFETCH(double, max);
        QFETCH(double, fraction);
        QFETCH(Angles, lit);
        QFETCH(Angles, unlit);
        GaugeView g(nullptr);
        g.display(phase, value, max);
        QTEST(g.label(), "label");
        QTEST(g.unitText(), "unit");
        QTEST(g.scaleMaxText(), "scaleMax");
        QTEST(hueOf(g.arcColor()), "hue");
        const QColor colour = g.arcColor();
        QVERIFY2(std::abs(g.arcFraction() - fraction) < 1e-3, qPrintable(QString::number(g.arcFraction())));
        QVERIFY(settled(g));

        QImage img(g.size(), QImage::Format_ARGB32);
        img.fill(Qt::transparent);
        g.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
        for (double a : lit)
            QVERIFY2(near(at(img, a), colour), qPrintable(QString::number(a)));
        for (double a : unlit)
            QVERIFY2(!near(at(img, a), colour) && at(img, a).alpha() > 0, qPrintable(QString::number(a)));
        QCOMPARE(at(img, 270).alpha(), 0); // the gap at the bottom
        // The round caps are never clipped: the top of the stroke sits inside
        // the widget, with no paint on its edge.
        int top = 0;
        while (top < img.height() && img.pixelColor(img.width() / 2, top).alpha() == 0)
            ++top;
        QVERIFY2(top > 0 && top <= 2, qPrintable(QString::number(top)));
        for (int i = 0; i < img.width(); ++i)
            QVERIFY(!img.pixelColor(i, 0).alpha() && !img.pixelColor(0, i).alpha()
                    && !img.pixelColor(img.width() - 1, i).alpha());
    }

    // Under a growing scale the texts change at once and the arc shrinks
    // smoothly from where it was; the same reading again starts nothing.
    void arcEasesToEveryNewReading()
    {
        GaugeView g(nullptr);
        g.display(Phase::download, 95, 100);
        QVERIFY(settled(g));
        g.display(Phase::download, 95, 100);
        QVERIFY(!g.isAnimating());
        g.display(Phase::download, 95, 250);
        QCOMPARE(g.scaleMaxText(), QStringLiteral("250"));
        QVERIFY(g.isAnimating() && g.drawnFraction() == 0.95);
        double previous = 0.95;
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
        QVERIFY(g.isAnimating() && g.drawnFraction() > 0);
        QVERIFY(settled(g));
    }
};

QTEST_MAIN(TestGauge)
#include "tst_gauge.moc"
