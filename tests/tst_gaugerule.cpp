// The gauge's scale only rises, to the smallest step that keeps the value
// below 92 % of it.
#include "gaugerule.h"
#include "speedtest.h"

#include <QtTest>

#include <limits>

class TestGaugeRule : public QObject {
    Q_OBJECT

private slots:
    void raise_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<double>("max");
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("newMax");
        QTest::newRow("fits") << "throughput" << 100.0 << 50.0 << 100.0;
        QTest::newRow("exactly 92 percent stays") << "throughput" << 100.0 << 92.0 << 100.0;
        QTest::newRow("just over 92 percent") << "throughput" << 100.0 << 95.0 << 250.0;
        QTest::newRow("skips a step") << "throughput" << 500.0 << 960.0 << 2500.0;
        QTest::newRow("never lowers") << "throughput" << 250.0 << 20.0 << 250.0;
        QTest::newRow("beyond the top step") << "throughput" << 100000.0 << 150000.0 << 100000.0;
        QTest::newRow("not a number") << "throughput" << 100.0 << std::numeric_limits<double>::quiet_NaN() << 100.0;
        QTest::newRow("negative") << "throughput" << 100.0 << -5.0 << 100.0;
        QTest::newRow("latency fits") << "latency" << 50.0 << 30.0 << 50.0;
        QTest::newRow("latency 47 ms") << "latency" << 50.0 << 47.0 << 100.0;
        QTest::newRow("latency 120 ms") << "latency" << 50.0 << 120.0 << 200.0;
        QTest::newRow("latency 4600 ms stays below 0.92 x 5000") << "latency" << 50.0 << 4600.0 << 50.0;
        QTest::newRow("latency 4599 ms") << "latency" << 50.0 << 4599.0 << 5000.0;
    }
    void raise()
    {
        QFETCH(QString, steps);
        QFETCH(double, max);
        QFETCH(double, value);
        QFETCH(double, newMax);
        const QList<double> &list = steps == QLatin1String("latency") ? SpeedTest::latencySteps : SpeedTest::throughputSteps;
        QCOMPARE(raisedGaugeMax(max, value, list), newMax);
    }
};

QTEST_GUILESS_MAIN(TestGaugeRule)
#include "tst_gaugerule.moc"
