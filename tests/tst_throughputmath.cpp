// When a transfer phase stops, what it reports, how the live window moves,
// the latency statistics, and the gauge's scale, which only rises, to the
// smallest step that keeps the value below 92 % of it.
#include "gaugerule.h"
#include "latencystats.h"
#include "speedtest.h"
#include "throughputmath.h"

#include <QtTest>

#include <cmath>
#include <limits>

Q_DECLARE_METATYPE(StopReason)

using Batches = QList<Batch>;

class TestThroughputMath : public QObject {
    Q_OBJECT

    static void row(const char *name, const Batches &batches, double elapsed, StopReason reason)
    {
        QTest::newRow(name) << batches << elapsed << reason;
    }

private slots:
    // Each row: the batches so far and the elapsed time read after the last.
    void stopRules_data()
    {
        QTest::addColumn<Batches>("batches");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<StopReason>("reason");
        using enum StopReason;
        row("one fast batch goes on", {{12'000'000, 1.0}}, 1.0, none);
        row("96 then 98.5 Mbps converge", {{12'000'000, 1.0}, {48'000'000, 3.9}}, 4.9, converged);
        row("48 then 96 Mbps go on", {{12'000'000, 2.0}, {48'000'000, 4.0}}, 6.0, none);
        row("third batch over 6 s", {{12'000'000, 2.0}, {48'000'000, 4.0}, {120'000'000, 8.0}}, 14.0, slowBatch);
        row("first batch over 6 s", {{12'000'000, 6.5}}, 6.5, slowBatch);
        row("exactly 6 s goes on", {{12'000'000, 6.0}}, 6.0, none);
        row("within 8 percent of the larger, not the smaller", {{100, 1.0}, {92, 1.0}}, 2.0, none);
        row("just within 8 percent", {{100, 1.0}, {93, 1.0}}, 2.0, converged);
        row("two zero batches go on", {{0, 1.0}, {0, 1.0}}, 2.0, none);
        row("a zero batch after a fast one goes on", {{12'000'000, 1.0}, {0, 1.0}}, 2.0, none);
        row("convergence beats a slow batch", {{60'000'000, 7.0}, {60'000'000, 7.0}}, 14.0, converged);
        row("over the 20 s budget", {{1, 1.0}, {3, 1.0}}, 20.5, timeBudget);
        row("exactly 20 s goes on", {{1, 1.0}, {3, 1.0}}, 20.0, none);
        row("five batches", {{1, 1.0}, {3, 1.0}, {9, 1.0}, {27, 1.0}, {81, 1.0}}, 5.0, allBatches);
    }
    void stopRules()
    {
        QFETCH(Batches, batches);
        QFETCH(double, elapsed);
        QList<double> rates;
        for (const Batch &b : batches)
            rates.append(mbps(b.bytes, b.secs));
        QTEST(stopReason(rates, batches.last().secs, elapsed, int(batches.size()), 5), "reason");
    }

    void reportedFigure_data()
    {
        QTest::addColumn<Batches>("batches");
        QTest::addColumn<double>("mbps");
        QTest::newRow("one batch") << Batches{{12'000'000, 1.0}} << 96.0;
        QTest::newRow("converged pair") << Batches{{12'000'000, 1.0}, {48'000'000, 3.9}} << 97.959183673469;
        QTest::newRow("last two of three, weighted by bytes")
            << Batches{{12'000'000, 2.0}, {48'000'000, 4.0}, {120'000'000, 8.0}} << 112.0;
        QTest::newRow("zero bytes") << Batches{{0, 0.001}} << 0.0;
    }
    void reportedFigure()
    {
        QFETCH(Batches, batches);
        QFETCH(double, mbps);
        QVERIFY2(std::abs(reportedRate(batches) - mbps) < 1e-6, qPrintable(QString::number(reportedRate(batches))));
    }

    void liveWindow()
    {
        LiveWindow w(0.0);
        std::int64_t counter = 1'500'000;
        const auto read = [&] { return counter; };
        // First tick: from the batch start (0 bytes) to the fresh reading.
        const auto first = w.tick(0.12, 1'000'000, read);
        QVERIFY(first && qFuzzyCompare(*first, 100.0));
        // Grows until it spans more than 0.6 s, then drops its oldest points.
        for (int i = 2; i <= 5; ++i)
            w.tick(0.12 * i, 1'000'000 * i, read);
        QCOMPARE(w.points().first().t, 0.0);
        w.tick(0.72, 6'000'000, read);
        QCOMPARE(w.points().first().t, 0.12);
        QCOMPARE(w.points().size(), 6);
        // A long gap still keeps two points: 3 MB over 4.28 s.
        counter = 9'000'000;
        const auto rate = w.tick(5.0, 8'000'000, read);
        QCOMPARE(w.points().size(), 2);
        QVERIFY(rate && std::abs(*rate - 5.607476635514) < 1e-6);
        // A point exactly 0.6 s old stays.
        LiveWindow exact(0.0);
        exact.tick(0.3, 1, read);
        exact.tick(0.6, 2, read);
        QCOMPARE(exact.points().first().t, 0.0);
        // No time has passed: no rate.
        QVERIFY(!LiveWindow(1.0).tick(1.0, 5, read));
    }

    // Two full frames a probe may be at most 1 % of the live rate:
    // 2 x 1514 x 8 bits / (0.01 x R Mbit/s) = 2.4224 s / R, within 100 ms to 2 s.
    void probeSpacing_data()
    {
        QTest::addColumn<std::optional<double>>("liveMbps");
        QTest::addColumn<int>("ms");
        QTest::newRow("no live rate yet") << std::optional<double>() << 2000;
        QTest::newRow("a stalled link") << std::optional<double>(0) << 2000;
        QTest::newRow("fast link") << std::optional<double>(1000) << 100;
        QTest::newRow("exactly at the shortest") << std::optional<double>(24.224) << 100;
        QTest::newRow("just slower, stretched") << std::optional<double>(9.6896) << 250;
        QTest::newRow("slower, stretched") << std::optional<double>(2.4224) << 1000;
        QTest::newRow("exactly at the longest") << std::optional<double>(1.2112) << 2000;
        QTest::newRow("slower still, capped") << std::optional<double>(0.5) << 2000;
    }
    void probeSpacing()
    {
        QFETCH(std::optional<double>, liveMbps);
        QTEST(int(::probeSpacing(liveMbps).count()), "ms");
    }

    void latencyStatistics_data()
    {
        QTest::addColumn<QList<double>>("values");
        QTest::addColumn<double>("median");
        QTest::addColumn<double>("jitter");
        QTest::newRow("one") << QList<double>{25} << 25.0 << 0.0;
        QTest::newRow("two") << QList<double>{10, 30} << 20.0 << 20.0;
        QTest::newRow("three") << QList<double>{10, 30, 20} << 20.0 << 15.0;
        QTest::newRow("four unsorted") << QList<double>{40, 10, 30, 20} << 25.0 << 20.0;
    }
    void latencyStatistics()
    {
        QFETCH(QList<double>, values);
        QTEST(medianOf(values), "median");
        QTEST(jitterOf(values), "jitter");
    }

    void gaugeScale_data()
    {
        QTest::addColumn<bool>("latency"); // its steps, else the throughput's
        QTest::addColumn<double>("max");
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("newMax");
        QTest::newRow("exactly 92 percent stays") << false << 100.0 << 92.0 << 100.0;
        QTest::newRow("just over 92 percent") << false << 100.0 << 95.0 << 250.0;
        QTest::newRow("skips a step") << false << 500.0 << 960.0 << 2500.0;
        QTest::newRow("never lowers") << false << 250.0 << 20.0 << 250.0;
        QTest::newRow("beyond the top step") << false << 100000.0 << 150000.0 << 100000.0;
        QTest::newRow("not a number") << false << 100.0 << std::numeric_limits<double>::quiet_NaN() << 100.0;
        QTest::newRow("negative") << false << 100.0 << -5.0 << 100.0;
        QTest::newRow("latency 47 ms") << true << 50.0 << 47.0 << 100.0;
        QTest::newRow("latency 120 ms") << true << 50.0 << 120.0 << 200.0;
        QTest::newRow("latency 4600 ms stays below 0.92 x 5000") << true << 50.0 << 4600.0 << 50.0;
        QTest::newRow("latency 4599 ms") << true << 50.0 << 4599.0 << 5000.0;
    }
    void gaugeScale()
    {
        QFETCH(bool, latency);
        QFETCH(double, max);
        QFETCH(double, value);
        QTEST(raisedGaugeMax(max, value, latency ? SpeedTest::latencySteps : SpeedTest::throughputSteps), "newMax");
    }
};

QTEST_GUILESS_MAIN(TestThroughputMath)
#include "tst_throughputmath.moc"
