// The coroutine layer: exceptions travel to the awaiter, cancellation wakes
// sleeps at once, groups report the first failure in completion order, and
// late completions after the awaiter is gone touch nothing. A cancel at each
// suspension point of a whole test: tst_cancel.
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

    void sleepEndsAtItsTimeOrAtOnceOnCancel_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("150 ms, the loop ticking meanwhile") << false;
        QTest::newRow("a cancel ends 60 s at once") << true;
    }
    void sleepEndsAtItsTimeOrAtOnceOnCancel()
    {
        QFETCH(bool, cancel);
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(5);
        Outcome out;
        auto handle = async::launch(record(sleepThenValue(cancel ? 60s : 150ms, 3), &out));
        QVERIFY(!out.finished); // suspended, not blocking
        if (cancel)
            handle.cancel();
        QVERIFY(!out.finished); // resumed from a later pass, not inside cancel()
        QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
        QCOMPARE(out.error, cancel ? QStringLiteral("cancelled") : QString());
        QCOMPARE(out.value, cancel ? 0 : 3);
        QVERIFY2(cancel || ticks >= 3, qPrintable(QString::number(ticks)));
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
        std::thread worker([p = std::move(promise), dropped]() mutable {
            if (!dropped)
                p.resolve(42);
        });
        worker.join();
        QVERIFY(QTest::qWaitFor([&] { return out.finished; }, 5000));
        QCOMPARE(out.value, dropped ? 0 : 42);
        QCOMPARE(out.error.isEmpty(), !dropped);
        QCOMPARE(resumedOn, dropped ? nullptr : QThread::currentThread());
    }

    // Futures resolved on another thread while their tasks are destroyed:
    // clean under the sanitizers, and each coroutine resumed at most once.
    // (Timers racing with cancels: tst_cancel.)
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
        QVERIFY(QTest::qWaitFor([&] {
            for (std::size_t i = 1; i < outs.size(); i += 2)
                if (!outs[i].finished)
                    return false;
            return true;
        }, 10000));
        QCoreApplication::processEvents(); // every late job for a destroyed task
        for (std::size_t i = 0; i < outs.size(); ++i) {
            QCOMPARE(outs[i].finished, i % 2 == 1);
            if (i % 2 == 1)
                QCOMPARE(outs[i].value, 5);
        }
    }
};

QTEST_GUILESS_MAIN(TestAsync)
#include "tst_async.moc"
