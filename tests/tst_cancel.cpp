// Cancel at every moment of a whole test, and start() or cancel() from the
// engine's own notifications: afterwards the engine is coherent and quiet.
#include "fakepathmonitor.h"
#include "httpdiagnostics.h"
#include "speedtestharness.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <tuple>
#include <utility>

namespace {

constexpr int kWaitMs = 60000; // a bound on every wait, not a figure
constexpr int kRunsAtOnce = 8;

// Every whole test then suspends the same way: the downloads' empty bodies
// rate 0, so all five batches run, each over before a live tick; throttled
// uploads rate the throttle, so the phase ends after two batches that agree
// within 8 %, with live ticks in both. About 3 s a test.
void makeSteady(SpeedTestServer &server)
{
    server.addFault({.path = "/__down", .bodyBytes = 0});
    server.addFault({.path = "/__up", .throttleBytesPerSecond = 5'000'000});
}

// What cancel() leaves as it was.
auto figures(const SpeedTest &t)
{
    return std::tuple(t.latencyMedian(), t.latencyMin(), t.latencyMax(), t.jitter(), t.download(), t.upload(),
                      t.samples().size(), t.errorMessage(), t.lastResult().has_value());
}

// Every signal the engine emits, whichever it is.
class AllSignals {
public:
    explicit AllSignals(const SpeedTest *test)
    {
        const QMetaObject &meta = SpeedTest::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            if (meta.method(i).methodType() == QMetaMethod::Signal)
                m_spies.push_back(std::make_unique<QSignalSpy>(test, meta.method(i)));
        }
    }
    qsizetype count() const
    {
        qsizetype n = 0;
        for (const auto &spy : m_spies)
            n += spy->size();
        return n;
    }

private:
    std::vector<std::unique_ptr<QSignalSpy>> m_spies;
};

// One whole test on the shared server, cancelled just before the first
// resumption of its task at which cancelHere says so.
struct Run {
    using Where = std::function<bool(const SpeedTest &, int resumption)>;
    std::unique_ptr<SpeedTest> test;
    std::unique_ptr<AllSignals> emitted;
    Where cancelHere;
    int resumptions = 0;
    bool cancelled = false;
    qsizetype emittedAtCancel = 0;
    int finishCalls = 0;
    int ended = 0;
    decltype(figures(std::declval<SpeedTest>())) kept;

    static std::shared_ptr<Run> launch(const QString &origin, Where where)
    {
        auto run = std::make_shared<Run>();
        run->cancelHere = std::move(where);
        run->test = std::make_unique<SpeedTest>(
            origin, std::make_unique<FakePathMonitor>(std::make_shared<FakePathMonitor::Control>()));
        run->emitted = std::make_unique<AllSignals>(run->test.get());
        SpeedTest &test = *run->test;
        test.onFinish = [r = run.get()](const TestResult &) { ++r->finishCalls; };
        QObject::connect(&test, &SpeedTest::testEnded, &test, [r = run.get()] { ++r->ended; });
        async::testing::observeResumptionsOfNewTasks([weak = std::weak_ptr<Run>(run)] {
            const auto r = weak.lock();
            if (!r || r->cancelled || !r->cancelHere(*r->test, ++r->resumptions))
                return;
            r->kept = figures(*r->test);
            r->test->cancel();
            r->cancelled = true;
            r->emittedAtCancel = r->emitted->count();
        });
        test.start();
        async::testing::observeResumptionsOfNewTasks({});
        return run;
    }

    // Empty when the run ended as it must.
    QString problem() const
    {
        const SpeedTest &t = *test;
        if (!cancelled) {
            if (t.status() != QLatin1String("Complete") || finishCalls != 1 || ended != 1)
                return QStringLiteral("not cancelled, and not complete either: %1, onFinish %2 times, ended %3 times")
                    .arg(t.status()).arg(finishCalls).arg(ended);
            return {};
        }
        if (t.phase() != Phase::idle || t.status() != QLatin1String("Cancelled") || t.gaugeValue() != 0)
            return QStringLiteral("left %1 with phase %2, gauge %3").arg(t.status()).arg(int(t.phase())).arg(t.gaugeValue());
        if (const qsizetype after = emitted->count() - emittedAtCancel)
            return QStringLiteral("emitted %1 signals after cancel()").arg(after);
        if (finishCalls)
            return QStringLiteral("called onFinish");
        if (figures(t) != kept)
            return QStringLiteral("changed the figures");
        return {};
    }
};

using Wave = std::vector<std::pair<QString, std::shared_ptr<Run>>>;

// Delivers whatever the cancels left queued, so that a late publication shows.
void drainEvents()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

} // namespace

class TestCancel : public QObject {
    Q_OBJECT

    // Waits until every test of the wave has ended and every I/O thread is
    // joined; appends what went wrong to problems.
    static void runWave(const Wave &wave, QStringList &problems)
    {
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(wave.begin(), wave.end(),
                                             [](const auto &w) { return !w.second->test->isRunning(); }),
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
    // K + 1 being the first k that a whole test does not reach. And, by
    // name, the final pause of each throughput phase, which ends its phase:
    // should a run suspend once less than the others, k = K could miss it.
    void cancelAtEverySuspension()
    {
        SpeedTestServer server;
        makeSteady(server);
        QVERIFY2(server.start(), server.errorString().c_str());
        const QString origin = QString::fromStdString(server.url());
        QElapsedTimer clock;
        clock.start();
        QStringList problems;
        QSet<Phase> phasesCancelled;

        Wave wave;
        wave.emplace_back(QStringLiteral("download's final pause"), Run::launch(origin, [](const SpeedTest &t, int) {
                              return t.phase() == Phase::download && t.download();
                          }));
        wave.emplace_back(QStringLiteral("upload's final pause"), Run::launch(origin, [](const SpeedTest &t, int) {
                              return t.phase() == Phase::upload && t.upload();
                          }));
        int K = 0;
        for (bool wholeTest = false; !wholeTest;) {
            for (int k = K + 1; int(wave.size()) < kRunsAtOnce; ++k)
                wave.emplace_back(QStringLiteral("k=%1").arg(k), Run::launch(origin, [k](const SpeedTest &, int n) {
                                      return n == k;
                                  }));
            runWave(wave, problems);
            if (QTest::currentTestFailed())
                return;
            for (const auto &[name, run] : wave) {
                if (!name.startsWith(QLatin1String("k=")))
                    QVERIFY2(run->cancelled, qPrintable(name + QStringLiteral(" was not reached")));
                else if (wholeTest || !run->cancelled)
                    wholeTest = true;
                else
                    ++K;
            }
            wave.clear();
        }
        qInfo("K = %d suspensions, swept in %.1f s", K, double(clock.elapsed()) / 1000);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("; "))));
        // The latency phase alone suspends 42 times (21 requests, 21 pauses),
        // each download batch 8 times.
        QVERIFY2(K > 42 + 5 * 8, qPrintable(QString::number(K)));
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
        QTest::newRow("start from cancel()'s idle was then marked Cancelled") << "idle" << false << true;
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
        AllSignals emitted(&test);
        bool acted = false;
        qsizetype emittedAfterActing = 0;
        auto act = [&] {
            if (std::exchange(acted, true))
                return;
            if (cancel)
                test.cancel();
            if (start)
                test.start();
            emittedAfterActing = emitted.count();
        };
        if (moment == QLatin1String("download set-up")) {
            connect(&test, &SpeedTest::phaseChanged, this, [&] {
                if (test.phase() == Phase::download)
                    act();
            });
        } else if (moment == QLatin1String("live sample")) {
            connect(&test, &SpeedTest::samplesChanged, this, [&] {
                if (test.phase() == Phase::upload && !test.samples().isEmpty())
                    act();
            });
        } else if (moment == QLatin1String("Failed")) {
            connect(&test, &SpeedTest::statusChanged, this, [&] {
                if (test.status() == QLatin1String("Failed"))
                    act();
            });
        } else if (moment == QLatin1String("idle")) {
            connect(&test, &SpeedTest::phaseChanged, this, [&] {
                if (test.phase() == Phase::idle)
                    act();
            });
        } else {
            test.onFinish = [&](const TestResult &) {
                ++h.finishCalls;
                act();
            };
        }
        test.start();
        if (moment == QLatin1String("idle")) {
            QTRY_VERIFY_WITH_TIMEOUT(test.samples().size() >= 2, kWaitMs);
            test.cancel();
        }
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
            QCOMPARE(emitted.count(), emittedAfterActing);
        QCOMPARE(h.finishCalls, moment == QLatin1String("onFinish") ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestCancel)
#include "tst_cancel.moc"
