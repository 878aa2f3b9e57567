// The coroutine layer: exceptions travel to the awaiter, cancellation wakes
// sleeps at once and is seen at every resumption, groups report the first
// failure in completion order, and late completions after the awaiter is
// gone touch nothing.
#include "async.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
using async::Task;

namespace {

struct Boom : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Captures what a root task saw, for asserting after the loop returns.
struct Outcome {
    bool finished = false;
    int value = 0;
    QString error;
};

Task<void> record(Task<int> task, Outcome *out)
{
    try {
        out->value = co_await std::move(task);
    } catch (const async::CancelledError &) {
        out->error = QStringLiteral("cancelled");
    } catch (const std::exception &e) {
        out->error = QString::fromUtf8(e.what());
    }
    out->finished = true;
}

Task<int> sleepThenValue(std::chrono::milliseconds d, int v, bool fail = false)
{
    co_await async::sleepFor(d);
    if (fail)
        throw Boom("inner");
    co_return v;
}

Task<int> twice(Task<int> inner)
{
    co_return 2 * co_await std::move(inner);
}

Task<void> endWhen(async::Future<void> end, const char *name, QStringList *log)
{
    co_await std::move(end);
    log->append(QLatin1String(name));
    if (QByteArray(name).contains("failure"))
        throw Boom(name);
}

Task<int> group(std::vector<Task<void>> children)
{
    co_await async::whenAll(std::move(children));
    co_return 1;
}

Task<int> awaitFuture(async::Future<int> f, QThread **resumedOn)
{
    const int v = co_await std::move(f);
    *resumedOn = QThread::currentThread();
    co_return v;
}

Task<void> nothing()
{
    co_return;
}

enum class Await { sleep, future, group, spawn };

// One co_await of the given kind, whose wake-up is already due when the task
// resumes; *after is set only if the task went on past it.
Task<void> awaitOnce(Await kind, bool *after)
{
    std::vector<Task<void>> children;
    children.push_back(nothing());
    async::Promise<int> resolved;
    resolved.resolve(1);
    if (kind == Await::sleep)
        co_await async::sleepFor(1ms);
    else if (kind == Await::future)
        co_await resolved.future();
    else if (kind == Await::group)
        co_await async::whenAll(std::move(children));
    else
        co_await async::spawn(nothing());
    *after = true;
}

} // namespace

class TestAsync : public QObject {
    Q_OBJECT

private slots:
    void exceptionsCrossTwoAwaits_data()
    {
        QTest::addColumn<bool>("fail");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("error");
        QTest::newRow("value") << false << 14 << QString();
        QTest::newRow("thrown two levels down") << true << 0 << QStringLiteral("inner");
    }
    void exceptionsCrossTwoAwaits()
    {
        QFETCH(bool, fail);
        QFETCH(int, value);
        QFETCH(QString, error);
        Outcome out;
        auto handle = async::launch(record(twice(sleepThenValue(1ms, 7, fail)), &out));
        QTRY_VERIFY_WITH_TIMEOUT(handle.isFinished(), 5000);
        QCOMPARE(out.value, value);
        QCOMPARE(out.error, error);
    }

    void sleepEndsAtItsTimeOrAtOnceOnCancel_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("150 ms, never sooner") << false;
        QTest::newRow("a cancel ends 60 s at once") << true;
    }
    void sleepEndsAtItsTimeOrAtOnceOnCancel()
    {
        QFETCH(bool, cancel);
        QElapsedTimer clock;
        clock.start();
        Outcome out;
        auto handle = async::launch(record(sleepThenValue(cancel ? 60s : 150ms, 3), &out));
        QVERIFY(!out.finished); // suspended, not blocking
        if (cancel)
            handle.cancel();
        QVERIFY(!out.finished); // resumed from a later pass, not inside cancel()
        QTRY_VERIFY_WITH_TIMEOUT(out.finished, 5000);
        QCOMPARE(out.error, cancel ? QStringLiteral("cancelled") : QString());
        QCOMPARE(out.value, cancel ? 0 : 3);
        QVERIFY(cancel || clock.elapsed() >= 150);
    }

    void cancelLandingJustBeforeAResumptionIsSeen_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("sleep whose timer fired") << int(Await::sleep);
        QTest::newRow("future already resolved (a network wait)") << int(Await::future);
        QTest::newRow("group whose children ended") << int(Await::group);
        QTest::newRow("spawn") << int(Await::spawn);
    }
    void cancelLandingJustBeforeAResumptionIsSeen()
    {
        QFETCH(int, kind);
        auto cancel = std::make_shared<async::CancelState>();
        cancel->resumeObserver = [c = cancel.get()] { c->cancel(); };
        bool after = false;
        auto handle = async::launch(awaitOnce(Await(kind), &after), cancel);
        QTRY_VERIFY_WITH_TIMEOUT(handle.isFinished(), 5000);
        QVERIFY(handle.isCancelled());
        QVERIFY(!after);
    }

    // Each child ends when the test says so; the group only once all have.
    void groupWaitsForAllThenReportsFirstFailure()
    {
        const char *names[] = {"late failure", "slow success", "early failure", "fast success"};
        std::vector<async::Promise<void>> ends(4);
        QStringList log;
        std::vector<Task<void>> children;
        for (int i = 0; i < 4; ++i)
            children.push_back(endWhen(ends[i].future(), names[i], &log));
        Outcome out;
        auto handle = async::launch(record(group(std::move(children)), &out));
        QStringList ended;
        for (int i : {3, 2, 0, 1}) {
            QVERIFY(!out.finished);
            ends[i].resolve();
            ended << QLatin1String(names[i]);
            QTRY_COMPARE_WITH_TIMEOUT(log, ended, 5000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(out.finished, 5000);
        QCOMPARE(out.error, QStringLiteral("early failure"));
    }

    void futureFromAnotherThreadResumesOnMain_data()
    {
        QTest::addColumn<bool>("dropped");
        QTest::newRow("resolved") << false;
        QTest::newRow("promise dropped, never resolved") << true;
    }
    void futureFromAnotherThreadResumesOnMain()
    {
        QFETCH(bool, dropped);
        async::Promise<int> promise;
        QThread *resumedOn = nullptr;
        Outcome out;
        auto handle = async::launch(record(awaitFuture(promise.future(), &resumedOn), &out));
        std::thread([p = std::move(promise), dropped]() mutable {
            if (!dropped)
                p.resolve(42);
        }).join();
        QTRY_VERIFY_WITH_TIMEOUT(out.finished, 5000);
        QCOMPARE(out.value, dropped ? 0 : 42);
        QCOMPARE(out.error, dropped ? QString::fromUtf8(async::BrokenPromise().what()) : QString());
        QCOMPARE(resumedOn, dropped ? nullptr : QThread::currentThread());
    }

    // Futures resolved on another thread while their tasks are destroyed:
    // clean under the sanitizers, and each coroutine resumed at most once.
    void resumeVersusDestroyRaces()
    {
        std::vector<async::Promise<int>> promises(1000);
        std::vector<Outcome> outs(promises.size());
        std::vector<QThread *> threads(promises.size(), nullptr);
        std::vector<async::TaskHandle> handles;
        for (std::size_t i = 0; i < promises.size(); ++i)
            handles.push_back(async::launch(record(awaitFuture(promises[i].future(), &threads[i]), &outs[i])));
        std::thread worker([&] {
            for (auto &p : promises)
                p.resolve(5);
        });
        for (std::size_t i = 0; i < handles.size(); i += 2)
            handles[i].destroy();
        worker.join();
        // Posted after every resumption the worker queued, so it runs last.
        bool drained = false;
        async::postToMain([&] { drained = true; });
        QTRY_VERIFY_WITH_TIMEOUT(drained, 10000);
        for (std::size_t i = 0; i < outs.size(); ++i)
            QCOMPARE(outs[i].value, i % 2 ? 5 : 0);
    }
};

QTEST_GUILESS_MAIN(TestAsync)
#include "tst_async.moc"
