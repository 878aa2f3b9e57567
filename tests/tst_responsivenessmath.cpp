// The responsiveness arithmetic against numbers worked out by hand: the
// trimmed mean, the RPM formulas and band, the probe budget, and the rule
// run over synthetic interval series.
#include "responsivenessmath.h"

#include <QtTest>

#include <cmath>

using Values = QList<double>;
using Bytes = QList<qint64>;
Q_DECLARE_METATYPE(RpmConfidence)

namespace {
bool near(std::optional<double> a, double b)
{
    return a && std::abs(*a - b) < 1e-6 * std::max(1.0, std::abs(b));
}
} // namespace

class TestResponsivenessMath : public QObject {
    Q_OBJECT

private slots:
    void trimmedMeans_data()
    {
        QTest::addColumn<Values>("values");
        QTest::addColumn<double>("mean"); // -1: absent
        Values oneToTwenty, oneToForty;
        for (int i = 1; i <= 40; ++i)
            (i <= 20 ? oneToTwenty : oneToForty).append(i);
        oneToForty = oneToTwenty + oneToForty;
        QTest::newRow("none") << Values{} << -1.0;
        QTest::newRow("one") << Values{7} << 7.0;
        QTest::newRow("three keep all: ceil(2.85)") << Values{5, 1, 3} << 3.0;
        QTest::newRow("20 drop the largest") << oneToTwenty << 10.0;
        QTest::newRow("40 drop two") << oneToForty << 19.5;
        QTest::newRow("an outlier in 20") << Values(19, 25.0) + Values{1000} << 25.0;
    }
    void trimmedMeans()
    {
        QFETCH(Values, values);
        QFETCH(double, mean);
        const auto got = trimmedMean(values, 0.05);
        QVERIFY2(mean < 0 ? !got : near(got, mean), qPrintable(QString::number(got.value_or(-1))));
    }

    void formulas_data()
    {
        QTest::addColumn<QList<ForeignTimes>>("foreign");
        QTest::addColumn<Values>("self");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<Values>("expected"); // foreign, loaded, rpm; -1: absent
        QTest::newRow("plain: (10 + 30) / 2 ms and 50 ms")
            << QList<ForeignTimes>(3, {10, {}, 30}) << Values(3, 50.0) << false << Values{3000, 1200, 2100};
        QTest::newRow("TLS: (10 + 20 + 30) / 3 ms and 40 ms")
            << QList<ForeignTimes>(2, {10, 20, 30}) << Values{40} << true << Values{3000, 1500, 2250};
        QTest::newRow("a slow self probe trimmed")
            << QList<ForeignTimes>{{5, {}, 15}} << Values(19, 25.0) + Values{1000} << false << Values{6000, 2400, 4200};
        QTest::newRow("no self probe: no RPM") << QList<ForeignTimes>{{10, {}, 30}} << Values{} << false
                                               << Values{3000, -1, -1};
        QTest::newRow("TLS without its times: no foreign")
            << QList<ForeignTimes>{{10, {}, 30}} << Values{60} << true << Values{-1, 1000, -1};
    }
    void formulas()
    {
        QFETCH(QList<ForeignTimes>, foreign);
        QFETCH(Values, self);
        QFETCH(bool, tls);
        QFETCH(Values, expected);
        const RpmFigures r = rpmOf(foreign, self, tls);
        const std::optional<double> got[] = {r.foreign, r.loaded, r.rpm};
        for (int i = 0; i < 3; ++i)
            QVERIFY2(expected[i] < 0 ? !got[i] : near(got[i], expected[i]), qPrintable(QString::number(i)));
    }

    void bandsAndBudget()
    {
        const QList<std::pair<double, RpmBand>> bands = {{299.9, RpmBand::poor}, {300, RpmBand::fair},
                                                         {999, RpmBand::fair}, {1000, RpmBand::good},
                                                         {5999, RpmBand::good}, {6000, RpmBand::excellent}};
        for (const auto &[rpm, band] : bands)
            QVERIFY2(bandOf(rpm) == band, qPrintable(QString::number(rpm)));
        // 5 % of the goodput in 6000-byte pairs: 50 Mbit/s is 6.25 MB/s,
        // 312,500 B/s for probes, 52 pairs; 200 Mbit/s would afford 208.
        const RpmParameters p;
        const QList<std::pair<double, int>> budgets = {{6.25e6, 52}, {25e6, 100}, {125e3, 1}, {0, 1}};
        for (const auto &[bytesPerSecond, pairs] : budgets)
            QCOMPARE(probePairsPerSecond(bytesPerSecond, p), pairs);
    }

    // Fed interval by interval (ids of 1 s unless the row says, four to a
    // window, 5 % tolerance, 20 s); rpm -1 is an interval without probes.
    void rule_data()
    {
        QTest::addColumn<double>("intervalSecs");
        QTest::addColumn<Bytes>("bytes");
        QTest::addColumn<Values>("rpms");   // repeated to the length of bytes
        QTest::addColumn<int>("saturatedAt"); // -1: never
        QTest::addColumn<int>("intervals");   // when finished, or all fed
        QTest::addColumn<RpmConfidence>("confidence");
        QTest::addColumn<int>("connections"); // for the next interval
        // Windows of 100..400 then 400s: moving averages 100, 150, 200, 250,
        // 325, 375, 400, 400, 400; the last four from interval 8 on have a
        // deviation of 10.8, below 20. Four equal RPMs then: 8..11.
        QTest::newRow("saturating") << 1.0 << Bytes{100, 200, 300} + Bytes(17, 400) << Values{1000} << 8 << 12
                                    << RpmConfidence::high << 13;
        Bytes doubling;
        for (int i = 0; i < 20; ++i)
            doubling.append(qint64(1) << i);
        QTest::newRow("never saturating runs out of time") << 1.0 << doubling << Values{1000} << -1 << 20
                                                           << RpmConfidence::medium << 16;
        // Averages 900, 1000, 966.7, 1000: deviation 40.8, below 50. The
        // RPMs never settle.
        Bytes alternating;
        for (int i = 0; i < 20; ++i)
            alternating.append(i % 2 ? 1100 : 900);
        QTest::newRow("noisy goodput averages out, noisy RPM does not")
            << 1.0 << alternating << Values{800, 1200} << 3 << 20 << RpmConfidence::medium << 16;
        QTest::newRow("intervals without probes do not count")
            << 1.0 << Bytes(20, 500) << Values{-1, 900, -1} << 3 << 14 << RpmConfidence::high << 15;
        // 5 s intervals: the limit grows to 40 s, 8 intervals, enough for
        // a window of goodput and one of RPM.
        QTest::newRow("long intervals still reach high") << 5.0 << Bytes(8, 500) << Values{900} << 3 << 7
                                                         << RpmConfidence::high << 8;
        QTest::newRow("fewer intervals than a window") << 1.0 << Bytes(3, 500) << Values{900} << -1 << 3
                                                       << RpmConfidence::low << 4;
    }
    void rule()
    {
        QFETCH(double, intervalSecs);
        QFETCH(Bytes, bytes);
        QFETCH(Values, rpms);
        RpmParameters p;
        p.intervalSecs = intervalSecs;
        WorkingConditions w(p);
        for (qsizetype i = 0; i < bytes.size() && !w.finished(); ++i) {
            const double rpm = rpms[i % rpms.size()];
            w.endInterval(bytes[i], rpm < 0 ? std::nullopt : std::optional(rpm));
        }
        QTEST(w.saturatedAt(), "saturatedAt");
        QTEST(w.intervals(), "intervals");
        QTEST(w.confidence(), "confidence");
        QTEST(w.connections(), "connections");
    }
};

QTEST_GUILESS_MAIN(TestResponsivenessMath)
#include "tst_responsivenessmath.moc"
