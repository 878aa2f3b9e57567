// The coroutine layer: cancellation wakes sleeps at once and is seen at
// every resumption, groups pass on the first failure in completion order,
// futures resume on the main thread, and late completions after the awaiter
// is gone touch nothing.
#include "async.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
using async::Task;

namespace {

// What a root task saw, for asserting after the loop returns.
struct Outcome {
    bool finished = false;
    int value = 0;
    QString error;
};

Task<void> record(Task<int> task, Outcome *out)
{
    try {
        out->value = co_await std::move(task);
    } catch (const std::exception &e) {
        out->error = QString::fromUtf8(e.what());
    }
    out->finished = true;
}

Task<int> sleepThenThree(std::chrono::milliseconds d)
{
    co_await async::sleepFor(d);
    co_return 3;
}

Task<void> endWhen(async::Future<void> end, const char *name, QStringList *log)
{
    co_await std::move(end);
    log->append(QLatin1String(name));
    if (QByteArray(name).contains("failure"))
        throw std::runtime_error(name);
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

// One co_await whose wake-up is already due when the task resumes; *after
// is set only if the task went on past it.
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

Q_DECLARE_METATYPE(Await)

class TestAsync : public QObject {
    Q_OBJECT

private slots:
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
        auto handle = async::launch(record(sleepThenThree(cancel ? 60s : 150ms), &out));
        QVERIFY(!out.finished); // suspended, not blocking
        if (cancel)
            handle.cancel();
        QVERIFY(!out.finished); // resumed from a later pass, not inside cancel()
        QTRY_VERIFY_WITH_TIMEOUT(out.finished, 5000);
        QCOMPARE(out.error, cancel ? QString::fromUtf8(async::CancelledError().what()) : QString());
        QCOMPARE(out.value, cancel ? 0 : 3);
        QVERIFY(cancel || clock.elapsed() >= 150);
    }

    void cancelLandingJustBeforeAResumptionIsSeen_data()
    {
        QTest::addColumn<Await>("kind");
        QTest::newRow("sleep whose timer fired") << Await::sleep;
        QTest::newRow("future already resolved (a network wait)") << Await::future;
        QTest::newRow("group whose children ended") << Await::group;
        QTest::newRow("spawn") << Await::spawn;
    }
    void cancelLandingJustBeforeAResumptionIsSeen()
    {
        QFETCH(Await, kind);
        auto cancel = std::make_shared<async::CancelState>();
        cancel->resumeObserver = [c = cancel.get()] { c->cancel(); };
        bool after = false;
        auto handle = async::launch(awaitOnce(kind, &after), cancel);
        QTRY_VERIFY_WITH_TIMEOUT(handle.isFinished(), 5000);
        QVERIFY(handle.isCancelled());
        QVERIFY(!after);
    }

    // Each child ends when the test says so; the failure reaches the root
    // through the group and the task awaiting it, once all have ended.
    void groupWaitsForAllThenPassesOnTheFirstFailure()
    {
        const char *names[] = {"late failure", "slow success", "early failure", "fast success"};
        std::vector<async::Promise<void>> ends(4);
        QStringList log, ended;
        std::vector<Task<void>> children;
        for (int i = 0; i < 4; ++i)
            children.push_back(endWhen(ends[i].future(), names[i], &log));
        Outcome out;
        auto handle = async::launch(record(group(std::move(children)), &out));
        for (int i : {3, 2, 0, 1}) {
            QVERIFY(!out.finished);
            ends[i].resolve();
            ended << QLatin1String(names[i]);
            QTRY_COMPARE_WITH_TIMEOUT(log, ended, 5000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(out.finished, 5000);
        QCOMPARE(out.error, QStringLiteral("early failure"));
    }

    // Futures resolved or dropped on another thread while every other task
    // is destroyed: clean under the sanitizers, each coroutine resumed at
    // most once and on the main thread.
    void completionsFromAnotherThreadRaceWithDestruction()
    {
        std::vector<async::Promise<int>> promises(1000);
        std::vector<Outcome> outs(promises.size());
        std::vector<QThread *> threads(promises.size(), nullptr);
        std::vector<async::TaskHandle> handles;
        for (std::size_t i = 0; i < promises.size(); ++i)
            handles.push_back(async::launch(record(awaitFuture(promises[i].future(), &threads[i]), &outs[i])));
        std::thread worker([&] {
            for (std::size_t i = 0; i < promises.size(); ++i) {
                if (i % 4 == 3)
                    auto dropped = std::move(promises[i]); // never resolved
                else
                    promises[i].resolve(5);
            }
        });
        for (std::size_t i = 0; i < handles.size(); i += 2)
            handles[i].destroy();
        worker.join();
        // Posted after every resumption the worker queued, so it runs last.
        bool drained = false;
        async::postToMain([&] { drained = true; });
        QTRY_VERIFY_WITH_TIMEOUT(drained, 10000);
        const QString broken = QString::fromUtf8(async::BrokenPromise().what());
        for (std::size_t i = 0; i < outs.size(); ++i) {
            QCOMPARE(outs[i].finished, i % 2 == 1);
            QCOMPARE(outs[i].value, i % 4 == 1 ? 5 : 0);
            QCOMPARE(outs[i].error, i % 4 == 3 ? broken : QString());
            QCOMPARE(threads[i], i % 4 == 1 ? QThread::currentThread() : nullptr);
        }
    }
};

QTEST_GUILESS_MAIN(TestAsync)
#include "tst_async.moc"
