// Cancel at every moment of a whole test, and start() or cancel() from the
// engine's own notifications: afterwards the engine is coherent and quiet.
#include "fakepathmonitor.h"
#include "httpdiagnostics.h"
#include "speedtestharness.h"

#include <QSignalSpy>
#include <QtTest>

#include <numeric>

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

// Every signal the engine emits, whichever it is.
struct AllSignals {
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    explicit AllSignals(const SpeedTest *test)
    {
        const QMetaObject &meta = SpeedTest::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            if (meta.method(i).methodType() == QMetaMethod::Signal)
                spies.push_back(std::make_unique<QSignalSpy>(test, meta.method(i)));
    }
    qsizetype count() const
    {
        return std::accumulate(spies.begin(), spies.end(), qsizetype(0),
                               [](qsizetype n, const auto &spy) { return n + spy->size(); });
    }
};

// One test that, once, cancels and/or starts the next: at the moment a
// slot or the resumption hook calls act().
struct Run {
    std::unique_ptr<SpeedTest> test;
    std::unique_ptr<AllSignals> emitted;
    bool cancels = true, starts = false, acted = false;
    int resumptions = 0, finishCalls = 0, finishesBefore = 0, ended = 0;
    qsizetype emittedAfter = 0;
    QString statusSoonAfter;

    Run(const QString &origin, bool cancel, bool start)
        : test(std::make_unique<SpeedTest>(
              origin, std::make_unique<FakePathMonitor>(std::make_shared<FakePathMonitor::Control>()))),
          emitted(std::make_unique<AllSignals>(test.get())), cancels(cancel), starts(start)
    {
        test->onFinish = [this](const TestResult &) { ++finishCalls; };
        QObject::connect(test.get(), &SpeedTest::testEnded, test.get(), [this] { ++ended; });
    }

    void act()
    {
        if (std::exchange(acted, true))
            return;
        finishesBefore = finishCalls;
        if (cancels)
            test->cancel();
        if (starts)
            test->start();
        emittedAfter = emitted->count();
        // Once the slot that acted has returned: the new test's first steps
        // are long done, its download is still far off.
        QTimer::singleShot(0, test.get(), [this] { statusSoonAfter = test->status(); });
    }

    // Empty when the run ended as it must. (No signal after cancel() also
    // means that no figure changed.)
    QString problem() const
    {
        const SpeedTest &t = *test;
        const bool cancelled = acted && !starts;
        QStringList p;
        if (starts && statusSoonAfter != QStringLiteral("Measuring latency\u2026"))
            p << QStringLiteral("the new test showed ") + statusSoonAfter;
        if (cancelled ? t.phase() != Phase::idle || t.status() != QLatin1String("Cancelled") || t.gaugeValue() != 0
                      : t.status() != QLatin1String("Complete"))
            p << QStringLiteral("left %1 with phase %2, gauge %3").arg(t.status()).arg(int(t.phase())).arg(t.gaugeValue());
        if (cancelled && emitted->count() != emittedAfter)
            p << QStringLiteral("emitted %1 signals after cancel()").arg(emitted->count() - emittedAfter);
        if (finishCalls != finishesBefore + !cancelled || ended != !cancelled)
            p << QStringLiteral("onFinish called %1 times, testEnded %2").arg(finishCalls).arg(ended);
        return p.join(QStringLiteral(", "));
    }
};

// Launches a test that cancels just before the first resumption of its task
// at which `here` says so.
std::shared_ptr<Run> cancelAt(const QString &origin, std::function<bool(const SpeedTest &, int resumption)> here)
{
    auto run = std::make_shared<Run>(origin, true, false);
    async::testing::observeResumptionsOfNewTasks([r = run.get(), here] {
        if (!r->acted && here(*r->test, ++r->resumptions))
            r->act();
    });
    run->test->start();
    async::testing::observeResumptionsOfNewTasks({});
    return run;
}

using Wave = std::vector<std::pair<QString, std::shared_ptr<Run>>>;

// A slot acts on this signal when `when` holds; no signal: in onFinish.
// The server refuses request number `refuse`; the user cancels once the
// second sample is in when `userCancels`.
struct Moment {
    void (SpeedTest::*signal)() = nullptr;
    bool (*when)(const SpeedTest &) = nullptr;
    int refuse = 0;
    bool userCancels = false;
};

} // namespace

Q_DECLARE_METATYPE(Moment)

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
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents(); // what the cancels left queued, so a late publication shows
        for (const auto &[name, run] : wave)
            if (const QString p = run->problem(); !p.isEmpty())
                problems << name + QStringLiteral(": ") + p;
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
        QStringList problems;
        Wave wave;
        wave.emplace_back("download's final pause", cancelAt(origin, [](const SpeedTest &t, int) {
                              return t.phase() == Phase::download && t.download();
                          }));
        wave.emplace_back("upload's final pause", cancelAt(origin, [](const SpeedTest &t, int) {
                              return t.phase() == Phase::upload && t.upload();
                          }));
        int K = 0;
        for (bool wholeTest = false; !wholeTest; wave.clear()) {
            for (int k = K + 1; int(wave.size()) < kRunsAtOnce; ++k)
                wave.emplace_back(QStringLiteral("k=%1").arg(k),
                                  cancelAt(origin, [k](const SpeedTest &, int n) { return n == k; }));
            runWave(wave, problems);
            if (QTest::currentTestFailed())
                return;
            for (const auto &[name, run] : wave) {
                if (!name.startsWith(QLatin1String("k=")))
                    QVERIFY2(run->acted, qPrintable(name + QStringLiteral(" was not reached")));
                else if (wholeTest || !run->acted)
                    wholeTest = true;
                else
                    ++K;
            }
        }
        qInfo("K = %d suspensions", K);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("; "))));
        // The latency phase alone suspends 42 times (21 requests, 21 pauses),
        // each download batch 8 times.
        QVERIFY2(K > 42 + 5 * 8, qPrintable(QString::number(K)));
    }

    // A new test must then run to "Complete" untouched by the old one.
    void startOrCancelFromASlot_data()
    {
        QTest::addColumn<Moment>("moment");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<bool>("start");
        const Moment downloadSetUp{&SpeedTest::phaseChanged, [](const SpeedTest &t) { return t.phase() == Phase::download; }};
        const Moment liveSample{&SpeedTest::samplesChanged,
                                [](const SpeedTest &t) { return t.phase() == Phase::upload && !t.samples().isEmpty(); }};
        const Moment failed{&SpeedTest::statusChanged, [](const SpeedTest &t) { return t.status() == QLatin1String("Failed"); }, 3};
        const Moment idle{&SpeedTest::phaseChanged, [](const SpeedTest &t) { return t.phase() == Phase::idle; }, 0, true};
        QTest::newRow("cancel in the download's set-up left it half set up") << downloadSetUp << true << false;
        QTest::newRow("cancel and start in the download's set-up") << downloadSetUp << true << true;
        QTest::newRow("cancel from a live sample published more") << liveSample << true << false;
        QTest::newRow("start from Failed lost its session to the old test") << failed << false << true;
        QTest::newRow("start from onFinish lost its session to the old test") << Moment{} << false << true;
        QTest::newRow("cancel from onFinish") << Moment{} << true << false;
        QTest::newRow("start from cancel()'s idle was then marked Cancelled") << idle << false << true;
    }
    void startOrCancelFromASlot()
    {
        QFETCH(Moment, moment);
        QFETCH(bool, cancel);
        QFETCH(bool, start);
        SpeedTestServer server;
        makeSteady(server);
        if (moment.refuse)
            server.addFault({.nth = moment.refuse, .status = 503});
        QVERIFY(server.start());
        const auto run = std::make_shared<Run>(QString::fromStdString(server.url()), cancel, start);
        SpeedTest &test = *run->test;
        if (moment.signal) {
            connect(&test, moment.signal, this, [&] {
                if (moment.when(test))
                    run->act();
            });
        } else {
            test.onFinish = [&](const TestResult &) {
                ++run->finishCalls;
                run->act();
            };
        }
        if (moment.userCancels) {
            connect(&test, &SpeedTest::samplesChanged, this, [&, once = true]() mutable {
                if (test.samples().size() == 2 && std::exchange(once, false))
                    QTimer::singleShot(0, &test, [&] { test.cancel(); });
            });
        }
        test.start();
        QStringList problems;
        runWave({{QString(), run}}, problems);
        QVERIFY(run->acted);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QString())));
    }
};

QTEST_GUILESS_MAIN(TestCancel)
#include "tst_cancel.moc"
