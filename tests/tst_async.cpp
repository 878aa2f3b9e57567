// The coroutine layer: exceptions travel to the awaiter, cancellation wakes
// sleeps at once, groups report the first failure in completion order, and
// late completions after the awaiter is gone touch nothing.
#include "async.h"

#include <QThread>
#include <QTimer>
#include <QtTest>

#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
using async::Task;

namespace {

struct Boom : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Task<int> inner(bool fail)
{
    co_await async::sleepFor(1ms);
    if (fail)
        throw Boom("inner");
    co_return 7;
}

Task<int> middle(bool fail)
{
    const int v = co_await inner(fail);
    co_return v * 2;
}

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

Task<int> sleepThenValue(std::chrono::milliseconds d, int v)
{
    co_await async::sleepFor(d);
    co_return v;
}

Task<void> failAfter(std::chrono::milliseconds d, const char *what, QStringList *log)
{
    co_await async::sleepFor(d);
    log->append(QString::fromLatin1(what));
    throw Boom(what);
}

Task<void> succeedAfter(std::chrono::milliseconds d, const char *what, QStringList *log)
{
    co_await async::sleepFor(d);
    log->append(QString::fromLatin1(what));
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

Task<int> checkThenSleep()
{
    co_await async::checkCancelled();
    co_await async::sleepFor(10ms);
    co_await async::checkCancelled();
    co_return 1;
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
        auto handle = async::launch(record(middle(fail), &out));
        QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
        QCOMPARE(out.value, value);
        QCOMPARE(out.error, error);
        QVERIFY(handle.isFinished());
    }

    void sleepKeepsTheLoopTicking()
    {
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(5);
        Outcome out;
        auto handle = async::launch(record(sleepThenValue(150ms, 3), &out));
        QVERIFY(!out.finished); // suspended, not blocking
        QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
        QCOMPARE(out.value, 3);
        QVERIFY2(ticks >= 3, qPrintable(QString::number(ticks)));
    }

    void cancelDuringSleepEndsItAtOnce()
    {
        Outcome out;
        auto handle = async::launch(record(sleepThenValue(60s, 3), &out));
        QVERIFY(!out.finished);
        handle.cancel();
        QVERIFY(!out.finished); // resumed from a later pass, not inside cancel()
        QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
        QCOMPARE(out.error, QStringLiteral("cancelled"));
        QVERIFY(handle.isCancelled());
    }

    void cancelBeforeCheckpoints()
    {
        Outcome out;
        auto handle = async::launch(record(checkThenSleep(), &out));
        handle.cancel();
        QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
        QCOMPARE(out.error, QStringLiteral("cancelled"));
    }

    // A companion shares its parent's cancellation and may simply end by it.
    void spawnedCompanionIsCancelledWithItsParent()
    {
        int ticks = 0;
        auto companion = [](int *ticks) -> Task<void> {
            for (;;) {
                co_await async::sleepFor(5ms);
                ++*ticks;
            }
        };
        std::optional<async::TaskHandle> companionHandle;
        auto parent = [&](Outcome *out) -> Task<void> {
            companionHandle = co_await async::spawn(companion(&ticks));
            try {
                co_await async::sleepFor(60s);
            } catch (const async::CancelledError &) {
                out->error = QStringLiteral("cancelled");
            }
            out->finished = true;
        };
        Outcome out;
        auto handle = async::launch(parent(&out));
        QVERIFY(QTest::qWaitFor([&] { return ticks >= 3; }, 5000));
        handle.cancel();
        QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
        QCOMPARE(out.error, QStringLiteral("cancelled"));
        QTRY_VERIFY_WITH_TIMEOUT(companionHandle->isFinished(), 5000); // it ended with its parent
    }

    void groupWaitsForAllThenReportsFirstFailure()
    {
        QStringList log;
        std::vector<Task<void>> children;
        children.push_back(failAfter(60ms, "late failure", &log));
        children.push_back(succeedAfter(120ms, "slow success", &log));
        children.push_back(failAfter(10ms, "early failure", &log));
        children.push_back(succeedAfter(1ms, "fast success", &log));
        Outcome out;
        auto handle = async::launch(record(group(std::move(children)), &out));
        QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
        QCOMPARE(out.error, QStringLiteral("early failure"));
        // Every child ended before the group failed.
        QCOMPARE(log, (QStringList{"fast success", "early failure", "late failure", "slow success"}));
    }

    void groupOfSuccessesAndEmptyGroup()
    {
        for (int n : {0, 1, 6}) {
            QStringList log;
            std::vector<Task<void>> children;
            for (int i = 0; i < n; ++i)
                children.push_back(succeedAfter(std::chrono::milliseconds(i), "ok", &log));
            Outcome out;
            auto handle = async::launch(record(group(std::move(children)), &out));
            QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
            QCOMPARE(out.error, QString());
            QCOMPARE(out.value, 1);
            QCOMPARE(log.size(), n);
        }
    }

    void futureFromAnotherThreadResumesOnMain()
    {
        async::Promise<int> promise;
        QThread *resumedOn = nullptr;
        Outcome out;
        auto handle = async::launch(record(awaitFuture(promise.future(), &resumedOn), &out));
        std::thread worker([p = std::move(promise)]() mutable { p.resolve(42); });
        worker.join();
        QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
        QCOMPARE(out.value, 42);
        QCOMPARE(resumedOn, QThread::currentThread());
    }

    void droppedPromiseFailsItsFuture()
    {
        Outcome out;
        QThread *resumedOn = nullptr;
        auto handle = [&] {
            async::Promise<int> promise;
            return async::launch(record(awaitFuture(promise.future(), &resumedOn), &out));
        }();
        QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
        QVERIFY(!out.error.isEmpty());
    }

    // Completions racing with the destruction of their awaiter, and timers
    // racing with cancels in the same pass: run clean under the sanitizers,
    // and each coroutine is resumed at most once.
    void resumeVersusCancelRaces()
    {
        int finished = 0;
        std::vector<Outcome> outs(1000);
        std::vector<async::TaskHandle> handles;
        handles.reserve(outs.size());
        for (std::size_t i = 0; i < outs.size(); ++i) {
            handles.push_back(async::launch(record(sleepThenValue(0ms, 1), &outs[i])));
            handles.back().cancel();
        }
        QVERIFY(QTest::qWaitFor([&] {
            finished = int(std::count_if(outs.begin(), outs.end(), [](const Outcome &o) { return o.finished; }));
            return finished == int(outs.size());
        }, 10000));
        for (const Outcome &o : outs)
            QVERIFY(o.error == QStringLiteral("cancelled") || o.value == 1);

        // Futures resolved on another thread while their tasks are destroyed.
        std::vector<async::Promise<int>> promises(1000);
        std::vector<Outcome> outs2(promises.size());
        std::vector<QThread *> threads(promises.size(), nullptr);
        std::vector<async::TaskHandle> handles2;
        for (std::size_t i = 0; i < promises.size(); ++i)
            handles2.push_back(async::launch(record(awaitFuture(promises[i].future(), &threads[i]), &outs2[i])));
        std::thread worker([&] {
            for (auto &p : promises)
                p.resolve(5);
        });
        for (std::size_t i = 0; i < handles2.size(); i += 2)
            handles2[i].destroy();
        worker.join();
        QVERIFY(QTest::qWaitFor([&] {
            for (std::size_t i = 1; i < outs2.size(); i += 2)
                if (!outs2[i].finished)
                    return false;
            return true;
        }, 10000));
        QCoreApplication::processEvents(); // every late job for a destroyed task
        for (std::size_t i = 0; i < outs2.size(); ++i) {
            QCOMPARE(outs2[i].finished, i % 2 == 1);
            if (i % 2 == 1)
                QCOMPARE(outs2[i].value, 5);
        }
    }
};

QTEST_GUILESS_MAIN(TestAsync)
#include "tst_async.moc"
