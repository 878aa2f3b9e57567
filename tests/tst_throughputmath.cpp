// When a transfer phase stops, what it reports, how the live window moves,
// and the latency statistics.
#include "latencystats.h"
#include "throughputmath.h"

#include <QtTest>

#include <cmath>

Q_DECLARE_METATYPE(StopReason)

namespace {
QList<double> rates(const QList<Batch> &batches)
{
    QList<double> out;
    for (const Batch &b : batches)
        out.append(mbps(b.bytes, b.secs));
    return out;
}
} // namespace

class TestThroughputMath : public QObject {
    Q_OBJECT

private slots:
    // Each row: the batches so far and the elapsed time read after the last.
    void stopRules_data()
    {
        QTest::addColumn<QList<Batch>>("batches");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<StopReason>("reason");

        QTest::newRow("one fast batch goes on")
            << QList<Batch>{{12'000'000, 1.0}} << 1.0 << StopReason::none;
        QTest::newRow("96 then 98.5 Mbps converge")
            << QList<Batch>{{12'000'000, 1.0}, {48'000'000, 3.9}} << 4.9 << StopReason::converged;
        QTest::newRow("48 then 96 Mbps go on")
            << QList<Batch>{{12'000'000, 2.0}, {48'000'000, 4.0}} << 6.0 << StopReason::none;
        QTest::newRow("third batch over 6 s")
            << QList<Batch>{{12'000'000, 2.0}, {48'000'000, 4.0}, {120'000'000, 8.0}} << 14.0 << StopReason::slowBatch;
        QTest::newRow("first batch over 6 s")
            << QList<Batch>{{12'000'000, 6.5}} << 6.5 << StopReason::slowBatch;
        QTest::newRow("exactly 6 s goes on")
            << QList<Batch>{{12'000'000, 6.0}} << 6.0 << StopReason::none;
        QTest::newRow("within 8 percent of the larger, not the smaller")
            << QList<Batch>{{100, 1.0}, {92, 1.0}} << 2.0 << StopReason::none; // 8/100 is not below 0.08
        QTest::newRow("just within 8 percent")
            << QList<Batch>{{100, 1.0}, {93, 1.0}} << 2.0 << StopReason::converged;
        QTest::newRow("two zero batches go on")
            << QList<Batch>{{0, 1.0}, {0, 1.0}} << 2.0 << StopReason::none;
        QTest::newRow("a zero batch after a fast one goes on")
            << QList<Batch>{{12'000'000, 1.0}, {0, 1.0}} << 2.0 << StopReason::none;
        QTest::newRow("convergence beats a slow batch")
            << QList<Batch>{{60'000'000, 7.0}, {60'000'000, 7.0}} << 14.0 << StopReason::converged;
        QTest::newRow("over the 20 s budget")
            << QList<Batch>{{1, 1.0}, {3, 1.0}} << 20.5 << StopReason::timeBudget;
        QTest::newRow("exactly 20 s goes on")
            << QList<Batch>{{1, 1.0}, {3, 1.0}} << 20.0 << StopReason::none;
        QTest::newRow("five batches")
            << QList<Batch>{{1, 1.0}, {3, 1.0}, {9, 1.0}, {27, 1.0}, {81, 1.0}} << 5.0 << StopReason::allBatches;
    }
    void stopRules()
    {
        QFETCH(QList<Batch>, batches);
        QFETCH(double, elapsed);
        QFETCH(StopReason, reason);
        QCOMPARE(stopReason(rates(batches), batches.last().secs, elapsed, int(batches.size()), 5), reason);
    }

    void reportedFigure_data()
    {
        QTest::addColumn<QList<Batch>>("batches");
        QTest::addColumn<double>("mbps");
        QTest::newRow("one batch") << QList<Batch>{{12'000'000, 1.0}} << 96.0;
        QTest::newRow("converged pair") << QList<Batch>{{12'000'000, 1.0}, {48'000'000, 3.9}} << 97.959183673469;
        QTest::newRow("last two of three, weighted by bytes")
            << QList<Batch>{{12'000'000, 2.0}, {48'000'000, 4.0}, {120'000'000, 8.0}} << 112.0;
        QTest::newRow("zero bytes") << QList<Batch>{{0, 0.001}} << 0.0;
    }
    void reportedFigure()
    {
        QFETCH(QList<Batch>, batches);
        QFETCH(double, mbps);
        QVERIFY2(std::abs(reportedRate(batches) - mbps) < 1e-6, qPrintable(QString::number(reportedRate(batches))));
    }

    void liveWindow()
    {
        LiveWindow w(0.0);
        std::int64_t counter = 0;
        auto read = [&] { return counter; };

        // First tick: from the batch start (0 bytes) to the fresh reading.
        counter = 1'500'000;
        auto rate = w.tick(0.12, 1'000'000, read);
        QVERIFY(rate);
        QCOMPARE(*rate, 100.0);

        // Grows until it spans more than 0.6 s, then drops its oldest points.
        for (int i = 2; i <= 5; ++i)
            w.tick(0.12 * i, 1'000'000 * i, read);
        QCOMPARE(w.points().first().t, 0.0);
        w.tick(0.72, 6'000'000, read); // 0.72 - 0 > 0.6: the first point goes
        QCOMPARE(w.points().first().t, 0.12);
        QCOMPARE(w.points().size(), 6);

        // A long gap still keeps two points.
        counter = 9'000'000;
        rate = w.tick(5.0, 8'000'000, read);
        QCOMPARE(w.points().size(), 2);
        QCOMPARE(w.points().first().t, 0.72);
        QVERIFY(std::abs(*rate - 5.607476635514) < 1e-6); // 3 MB over 4.28 s

        // A point exactly 0.6 s old stays.
        LiveWindow exact(0.0);
        exact.tick(0.3, 1, read);
        exact.tick(0.6, 2, read);
        QCOMPARE(exact.points().first().t, 0.0);

        // No time has passed: no rate.
        LiveWindow still(1.0);
        QVERIFY(!still.tick(1.0, 5, read));
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
        QFETCH(double, median);
        QFETCH(double, jitter);
        const QList<double> before = values;
        QCOMPARE(medianOf(values), median);
        QCOMPARE(jitterOf(values), jitter);
        QCOMPARE(values, before);
    }
};

QTEST_GUILESS_MAIN(TestThroughputMath)
#include "tst_throughputmath.moc"
