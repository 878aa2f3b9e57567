// The controller through its latency phase, against the bundled server with
// injected delays and faults: what is published, in which order, and how a
// test ends on failure (cancels: tst_cancel).
#include "gaugerule.h"
#include "httpdiagnostics.h"
#include "httperror.h"
#include "latencystats.h"
#include "speedtestharness.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(FaultRule)

namespace {

// What the screens showed at the moment the latency phase handed over.
struct LatencySnapshot {
    bool taken = false;
    SampleList samples;
    std::optional<double> median, min, max, jitter;
    double gaugeValue = 0;
    double gaugeMax = 0;
};

void snapshotAtDownload(SpeedTest &test, LatencySnapshot &snap)
{
    QObject::connect(&test, &SpeedTest::phaseChanged, &test, [&test, &snap] {
        if (test.phase() != Phase::download || snap.taken)
            return;
        snap.taken = true;
        snap.samples = test.samples();
        snap.median = test.latencyMedian();
        snap.min = test.latencyMin();
        snap.max = test.latencyMax();
        snap.jitter = test.jitter();
        snap.gaugeValue = test.gaugeValue();
        snap.gaugeMax = test.gaugeMax();
        test.cancel();
    });
}

} // namespace

class TestLatencyPhase : public QObject {
    Q_OBJECT

private slots:
    void fullPhasePublishesWhatWasMeasured()
    {
        SpeedTestHarness h;
        // The warm-up is slow and must count nowhere; timed requests 2 and 4
        // are held back by the server.
        h.server.addFault({.nth = 1, .headDelay = 1500ms});
        h.server.addFault({.nth = 3, .headDelay = 120ms});
        h.server.addFault({.nth = 5, .headDelay = 60ms});
        QVERIFY(h.open());
        LatencySnapshot snap;
        snapshotAtDownload(*h.test, snap);

        QSignalSpy samples(h.test.get(), &SpeedTest::samplesChanged);
        h.test->start();
        QCOMPARE(h.test->phase(), Phase::latency);
        QCOMPARE(h.test->status(), QStringLiteral("Measuring latency\u2026"));
        QCOMPARE(h.test->gaugeMax(), 50.0);
        QVERIFY(QTest::qWaitFor([&] { return snap.taken; }, 30000));

        // 21 requests, each with its own upper-case UUID.
        const auto records = h.server.requests();
        QVERIFY(records.size() >= 21);
        QSet<QString> ids;
        static const QRegularExpression upperUuid(QStringLiteral(
            "\\A[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\z"));
        for (int i = 0; i < 21; ++i) {
            QCOMPARE(records[i].method, std::string("GET"));
            QCOMPARE(records[i].path, std::string("/__down"));
            QCOMPARE(records[i].param("bytes"), std::string("0"));
            const QString r = QString::fromStdString(records[i].param("r"));
            QVERIFY2(upperUuid.match(r).hasMatch(), qPrintable(r));
            ids.insert(r);
        }
        QCOMPARE(ids.size(), 21);

        // 20 samples numbered 1 to 20; the held-back ones show their delay;
        // the warm-up's 1.5 s shows nowhere.
        QCOMPARE(snap.samples.size(), 20);
        QList<double> values;
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(snap.samples[i].x, double(i + 1));
            values.append(snap.samples[i].y);
            QVERIFY(snap.samples[i].y < 1500);
        }
        QVERIFY(values[1] >= 120);
        QVERIFY(values[3] >= 60);

        QVERIFY(snap.median && snap.min && snap.max && snap.jitter);
        QCOMPARE(*snap.median, medianOf(values));
        QCOMPARE(*snap.min, *std::min_element(values.begin(), values.end()));
        QCOMPARE(*snap.max, *std::max_element(values.begin(), values.end()));
        QCOMPARE(*snap.max, values[1]);
        QCOMPARE(*snap.jitter, jitterOf(values));
        QCOMPARE(snap.gaugeValue, *snap.median);
        double expectedMax = 50;
        for (double v : values)
            expectedMax = raisedGaugeMax(expectedMax, v, SpeedTest::latencySteps);
        QCOMPARE(snap.gaugeMax, expectedMax);
        QVERIFY(expectedMax >= 200); // the 120 ms request raised it
    }

    void failures_data()
    {
        QTest::addColumn<FaultRule>("fault");
        QTest::addColumn<bool>("shortLimits");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("samplesKept");

        QTest::newRow("503 on the warm-up") << FaultRule{.nth = 1, .status = 503} << false << rejectedMessage << 0;
        QTest::newRow("404 on the 5th timed request") << FaultRule{.nth = 6, .status = 404} << false << rejectedMessage << 4;
        QTest::newRow("204 is not 200") << FaultRule{.nth = 2, .status = 204} << false << rejectedMessage << 0;
        QTest::newRow("time-out counts as offline")
            << FaultRule{.nth = 3, .headDelay = 20s} << true << offlineMessage << 1;
        QTest::newRow("trickling probe response held the test past its limit")
            << FaultRule{.nth = 1, .throttleBytesPerSecond = 1024, .bodyBytes = 2'000'000'000} << true
            << offlineMessage << 0;
    }
    void failures()
    {
        QFETCH(FaultRule, fault);
        QFETCH(bool, shortLimits);
        QFETCH(QString, message);
        QFETCH(int, samplesKept);
        SpeedTestHarness h;
        h.server.addFault(fault);
        QVERIFY(h.open());
        if (shortLimits) {
            h.test->timeouts.latency = 1s;
            h.test->timeouts.request = 2s;
        }
        h.test->start();
        QVERIFY(QTest::qWaitFor([&] { return h.test->status() == QLatin1String("Failed"); }, 30000));
        QCOMPARE(h.test->errorMessage(), std::optional<QString>(message));
        QCOMPARE(h.test->phase(), Phase::idle);
        QCOMPARE(h.test->gaugeValue(), 0.0);
        QCOMPARE(h.test->samples().size(), samplesKept);
        QCOMPARE(h.test->latencyMedian().has_value(), samplesKept > 0);
        QVERIFY(!h.test->lastResult());
        QCOMPARE(h.finishCalls, 0);
        // No retries: once the session is gone nothing more can be asked,
        // and nothing was asked after the failing request.
        QTRY_COMPARE_WITH_TIMEOUT(HttpDiagnostics::liveIoThreads(), 0, 10000);
        QCOMPARE(h.requestCount(), std::size_t(fault.nth));
    }

    void refusedAndUnresolvableAreOffline_data()
    {
        QTest::addColumn<QString>("origin");
        SpeedTestServer closed;
        QVERIFY(closed.start());
        const QString url = QString::fromStdString(closed.url());
        closed.stop();
        QTest::newRow("refused port") << url;
        QTest::newRow("unresolvable name") << QStringLiteral("http://quorvel-test.invalid");
    }
    void refusedAndUnresolvableAreOffline()
    {
        QFETCH(QString, origin);
        auto network = std::make_shared<FakePathMonitor::Control>();
        SpeedTest test(origin, std::make_unique<FakePathMonitor>(network));
        test.start();
        QVERIFY(QTest::qWaitFor([&] { return test.status() == QLatin1String("Failed"); }, 20000));
        QCOMPARE(test.errorMessage(), std::optional<QString>(offlineMessage));
    }

    void cancelWhileIdle()
    {
        SpeedTestHarness h;
        QVERIFY(h.open());
        QSignalSpy phase(h.test.get(), &SpeedTest::phaseChanged);
        h.test->cancel();
        QCOMPARE(h.test->status(), QStringLiteral("Cancelled"));
        QCOMPARE(h.test->phase(), Phase::idle);
        QCOMPARE(h.test->gaugeValue(), 0.0);
        QCOMPARE(phase.size(), 1); // assigned, although unchanged
        QCOMPARE(h.requestCount(), 0u);
    }

    void startWhileRunningIsIgnored()
    {
        SpeedTestHarness h;
        QVERIFY(h.open());
        LatencySnapshot snap;
        snapshotAtDownload(*h.test, snap);
        h.test->start();
        QVERIFY(QTest::qWaitFor([&] { return h.test->samples().size() >= 3; }, 10000));
        const auto samplesBefore = h.test->samples().size();
        QSignalSpy anything(h.test.get(), &SpeedTest::changed);
        h.test->start();
        QCOMPARE(anything.size(), 0);
        QVERIFY(h.test->samples().size() >= samplesBefore);
        QVERIFY(QTest::qWaitFor([&] { return snap.taken; }, 20000));
        QCOMPARE(snap.samples.size(), 20);
        // Exactly one warm-up and 20 timed requests before the download began.
        int latencyRequests = 0;
        for (const RequestRecord &r : h.server.requests())
            latencyRequests += r.param("bytes") == "0";
        QCOMPARE(latencyRequests, 21);
    }

    void onlineFollowsTheMonitorWithoutTouchingTheTest()
    {
        SpeedTestHarness h;
        QVERIFY(h.open());
        QSignalSpy online(h.test.get(), &SpeedTest::isOnlineChanged);
        QVERIFY(h.test->isOnline());
        h.test->start();
        std::thread([net = h.network] { net->report(false); }).join();
        QVERIFY(online.wait(5000));
        QVERIFY(!h.test->isOnline());
        QVERIFY(h.test->isRunning());
        QCOMPARE(h.test->status(), QStringLiteral("Measuring latency\u2026"));
        h.network->report(true);
        QVERIFY(online.wait(5000));
        QVERIFY(h.test->isOnline());
        QVERIFY(QTest::qWaitFor([&] { return h.test->samples().size() >= 2; }, 10000));
        QVERIFY(!h.test->errorMessage());
        h.test->cancel();
    }

    void describeMapsErrors_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        using C = HttpError::Code;
        for (C c : {C::notConnectedToInternet, C::networkConnectionLost, C::dataNotAllowed, C::cannotFindHost,
                    C::cannotConnectToHost, C::dnsLookupFailed, C::internationalRoamingOff, C::timedOut})
            QTest::addRow("offline %d", int(c)) << int(c) << offlineMessage;
        QTest::newRow("bad server response") << int(C::badServerResponse) << rejectedMessage;
        QTest::newRow("other") << int(C::other) << QStringLiteral("The test couldn't finish: described");
        QTest::newRow("cancelled") << int(C::cancelled) << QStringLiteral("The test couldn't finish: described");
    }
    void describeMapsErrors()
    {
        QFETCH(int, code);
        QFETCH(QString, message);
        const auto error = std::make_exception_ptr(HttpError(HttpError::Code(code), QStringLiteral("described")));
        QCOMPARE(SpeedTest::describe(error), message);
        QCOMPARE(SpeedTest::describe(std::make_exception_ptr(std::runtime_error("disk on fire"))),
                 QStringLiteral("The test couldn't finish: disk on fire"));
    }
};

QTEST_GUILESS_MAIN(TestLatencyPhase)
#include "tst_latencyphase.moc"
