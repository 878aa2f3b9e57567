// Cancel at every moment of a whole test, and start() or cancel() from the
// engine's own notifications: afterwards the engine is coherent and quiet.
#include "httpdiagnostics.h"
#include "speedtestharness.h"

#include <QElapsedTimer>
#include <QtTest>

#include <tuple>
#include <utility>

using namespace std::chrono_literals;

namespace {

constexpr int kWaitMs = 60000; // a bound on every wait, not a figure
constexpr int kConcurrentRuns = 12;

// Every phase ends after its second batch, with the same live ticks each
// time: throttled bodies make a batch's rate the throttle's, so two batches
// agree within the 8 % rule (the head delay evens out the slice a throttled
// download sends ahead), and batches are long enough for their ticks. A
// whole test then takes about 5 s and suspends equally often in every run.
void makeSteady(SpeedTestServer &server)
{
    server.addFault({.path = "/__down", .headDelay = 10ms, .throttleBytesPerSecond = 12'500'000});
    server.addFault({.path = "/__up", .throttleBytesPerSecond = 2'500'000});
}

// What cancel() leaves as it was.
auto figures(const SpeedTest &t)
{
    return std::tuple(t.latencyMedian(), t.latencyMin(), t.latencyMax(), t.jitter(), t.download(), t.upload(),
                      t.samples().size(), t.errorMessage(), t.lastResult().has_value());
}

// One whole test, cancelled just before the first resumption of its task at
// which cancelHere says so.
struct Run {
    using Where = std::function<bool(const SpeedTest &, int resumption)>;
    SpeedTestHarness h{{.threads = 12}};
    Where cancelHere;
    int resumptions = 0;
    bool cancelled = false;
    int publishedAfter = 0;
    decltype(figures(std::declval<SpeedTest>())) kept;

    static std::shared_ptr<Run> launch(Where where)
    {
        auto run = std::make_shared<Run>();
        run->cancelHere = std::move(where);
        makeSteady(run->h.server);
        if (!run->h.open())
            return nullptr;
        SpeedTest &test = *run->h.test;
        QObject::connect(&test, &SpeedTest::changed, &test, [r = run.get()] { r->publishedAfter += r->cancelled; });
        async::testing::observeResumptionsOfNewTasks([weak = std::weak_ptr<Run>(run)] {
            const auto r = weak.lock();
            if (!r || r->cancelled || !r->cancelHere(*r->h.test, ++r->resumptions))
                return;
            r->kept = figures(*r->h.test);
            r->h.test->cancel();
            r->cancelled = true;
        });
        test.start();
        async::testing::observeResumptionsOfNewTasks({});
        return run;
    }

    // Empty when the run ended as it must.
    QString problem() const
    {
        const SpeedTest &t = *h.test;
        if (!cancelled) {
            if (t.status() != QLatin1String("Complete") || h.finishCalls != 1)
                return QStringLiteral("not cancelled, and not complete either: ") + t.status();
            return {};
        }
        if (t.phase() != Phase::idle || t.status() != QLatin1String("Cancelled") || t.gaugeValue() != 0)
            return QStringLiteral("left %1 with phase %2, gauge %3")
                .arg(t.status()).arg(int(t.phase())).arg(t.gaugeValue());
        if (publishedAfter)
            return QStringLiteral("published %1 times after cancel()").arg(publishedAfter);
        if (h.finishCalls)
            return QStringLiteral("called onFinish");
        if (figures(t) != kept)
            return QStringLiteral("changed the figures");
        return {};
    }
};

using Wave = std::vector<std::pair<QString, std::shared_ptr<Run>>>;

// Drains what the cancels queued, so a late publication shows.
void drainEvents()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

} // namespace

class TestCancel : public QObject {
    Q_OBJECT

    // Runs a wave of tests side by side until each has ended and every I/O
    // thread is joined; appends what went wrong to problems.
    static void runWave(const Wave &wave, QStringList &problems)
    {
        for (const auto &[name, run] : wave)
            QVERIFY2(run, "the server did not start");
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(wave.begin(), wave.end(),
                                             [](const auto &w) { return !w.second->h.test->isRunning(); }),
                                 kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(HttpDiagnostics::liveIoThreads(), 0, kWaitMs);
        QCOMPARE(HttpDiagnostics::liveEasyHandles(), 0);
        drainEvents();
        for (const auto &[name, run] : wave) {
            if (const QString p = run->problem(); !p.isEmpty())
                problems << name + QStringLiteral(": ") + p;
        }
    }

private slots:
    // k = 1 .. K: cancel just before the k-th resumption of a whole test,
    // K + 1 being the first k that a whole test does not reach. Then, named,
    // the final pause of each throughput phase, which ends its phase: were
    // the count to vary between runs, k = K could miss the last one.
    void cancelAtEverySuspension()
    {
        QElapsedTimer clock;
        clock.start();
        QStringList problems;
        int K = 0;
        for (bool wholeTest = false; !wholeTest;) {
            Wave wave;
            for (int k = K + 1; k <= K + kConcurrentRuns; ++k)
                wave.emplace_back(QStringLiteral("k=%1").arg(k),
                                  Run::launch([k](const SpeedTest &, int n) { return n == k; }));
            runWave(wave, problems);
            if (QTest::currentTestFailed())
                return;
            for (std::size_t i = 0; i < wave.size() && !wholeTest; ++i) {
                if (wave[i].second->cancelled)
                    ++K;
                else
                    wholeTest = true;
            }
        }
        Wave pauses;
        pauses.emplace_back(QStringLiteral("download's final pause"), Run::launch([](const SpeedTest &t, int) {
                                return t.phase() == Phase::download && t.download();
                            }));
        pauses.emplace_back(QStringLiteral("upload's final pause"), Run::launch([](const SpeedTest &t, int) {
                                return t.phase() == Phase::upload && t.upload();
                            }));
        runWave(pauses, problems);
        for (const auto &[name, run] : pauses)
            QVERIFY2(run->cancelled, qPrintable(name));
        qInfo("K = %d suspensions, swept in %.1f s", K, double(clock.elapsed()) / 1000);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("; "))));
        // The latency phase alone suspends 42 times: 21 requests, 21 pauses.
        QVERIFY2(K > 42, qPrintable(QString::number(K)));
    }

    void startOrCancelFromASlot_data()
    {
        QTest::addColumn<QString>("moment");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<bool>("start");
        QTest::newRow("cancel in the download's set-up left it half set up") << "download set-up" << true << false;
        QTest::newRow("cancel and start in the download's set-up") << "download set-up" << true << true;
        QTest::newRow("cancel from a live sample published more") << "live sample" << true << false;
        QTest::newRow("start from Failed lost its session to the old test") << "Failed" << false << true;
        QTest::newRow("start from onFinish lost its session to the old test") << "onFinish" << false << true;
        QTest::newRow("cancel from onFinish") << "onFinish" << true << false;
    }
    void startOrCancelFromASlot()
    {
        QFETCH(QString, moment);
        QFETCH(bool, cancel);
        QFETCH(bool, start);
        SpeedTestHarness h;
        makeSteady(h.server);
        if (moment == QLatin1String("Failed"))
            h.server.addFault({.nth = 3, .status = 503});
        QVERIFY(h.open());
        SpeedTest &test = *h.test;
        bool acted = false;
        int publishedAfter = 0;
        auto act = [&] {
            if (std::exchange(acted, true))
                return;
            if (cancel)
                test.cancel();
            if (start)
                test.start();
            connect(&test, &SpeedTest::changed, this, [&] { ++publishedAfter; });
        };
        if (moment == QLatin1String("download set-up")) {
            connect(&test, &SpeedTest::phaseChanged, this, [&] {
                if (test.phase() == Phase::download)
                    act();
            });
        } else if (moment == QLatin1String("live sample")) {
            connect(&test, &SpeedTest::samplesChanged, this, [&] {
                if (test.phase() == Phase::download && !test.samples().isEmpty())
                    act();
            });
        } else if (moment == QLatin1String("Failed")) {
            connect(&test, &SpeedTest::statusChanged, this, [&] {
                if (test.status() == QLatin1String("Failed"))
                    act();
            });
        } else {
            test.onFinish = [&](const TestResult &) {
                ++h.finishCalls;
                act();
            };
        }
        test.start();
        QTRY_VERIFY_WITH_TIMEOUT(acted, kWaitMs);
        if (start) {
            // The new test alone writes the state, and its session works.
            QCOMPARE(test.phase(), Phase::latency);
            QCOMPARE(test.status(), QStringLiteral("Measuring latency\u2026"));
            QVERIFY(!test.errorMessage() && !test.download() && !test.lastResult());
            QTRY_VERIFY_WITH_TIMEOUT(test.samples().size() >= 3, kWaitMs);
            QCOMPARE(test.status(), QStringLiteral("Measuring latency\u2026"));
            test.cancel();
        } else {
            QCOMPARE(test.status(), QStringLiteral("Cancelled"));
            QCOMPARE(test.phase(), Phase::idle);
            QCOMPARE(test.gaugeValue(), 0.0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(HttpDiagnostics::liveIoThreads(), 0, kWaitMs);
        drainEvents();
        if (!start)
            QCOMPARE(publishedAfter, 0);
        QCOMPARE(h.finishCalls, moment == QLatin1String("onFinish") ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestCancel)
#include "tst_cancel.moc"
