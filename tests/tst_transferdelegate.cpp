// Counting and completion rules of the transfer phases' event receiver,
// with real transfers against the bundled server.
#include "httperror.h"
#include "speedtestserver.h"
#include "transferdelegate.h"

#include <QtTest>

#include <set>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(FaultRule)

namespace {

// Outcome of awaiting one transfer through the delegate.
struct Done {
    bool finished = false;
    std::optional<HttpError::Code> error;
};

async::Task<void> awaitRun(TransferDelegate *delegate, HttpTransfer transfer, Done *out)
{
    try {
        co_await delegate->run(transfer);
    } catch (const HttpError &e) {
        out->error = e.code();
    }
    out->finished = true;
}

struct Rig {
    SpeedTestServer server;
    std::shared_ptr<TransferDelegate> delegate = std::make_shared<TransferDelegate>();
    std::shared_ptr<HttpSession> session;

    bool open(bool download, int connections)
    {
        if (!server.start())
            return false;
        delegate->countsReceived = download;
        HttpSessionConfig config;
        config.idleTimeout = 2s;
        config.maxConnectionsPerHost = connections;
        config.observer = delegate;
        session = HttpSession::create(std::move(config));
        return true;
    }
    HttpTransfer download(std::int64_t bytes)
    {
        HttpRequest r;
        r.url = server.url() + "/__down?bytes=" + std::to_string(bytes);
        return session->dataTransfer(std::move(r));
    }
    HttpTransfer upload(const QByteArray &body)
    {
        HttpRequest r;
        r.url = server.url() + "/__up";
        r.method = "POST";
        r.headers = {{"Content-Type", "application/octet-stream"}};
        return session->uploadTransfer(std::move(r), body);
    }
    ~Rig()
    {
        if (session)
            session->invalidate();
    }
};

bool allFinished(const std::vector<Done> &done)
{
    return std::all_of(done.begin(), done.end(), [](const Done &d) { return d.finished; });
}

} // namespace

class TestTransferDelegate : public QObject {
    Q_OBJECT

private slots:
    void countsExactDownloadBytes()
    {
        Rig rig;
        QVERIFY(rig.open(true, 6));
        const std::vector<std::int64_t> sizes = {0, 1, 1000, 2'000'000, 2'000'000, 7'654'321};
        std::vector<Done> done(sizes.size());
        std::vector<async::TaskHandle> tasks;
        for (std::size_t i = 0; i < sizes.size(); ++i)
            tasks.push_back(async::launch(awaitRun(rig.delegate.get(), rig.download(sizes[i]), &done[i])));
        QVERIFY(QTest::qWaitFor([&] { return allFinished(done); }, 30000));
        for (const Done &d : done)
            QVERIFY(!d.error);
        QCOMPARE(rig.delegate->bytes(), std::accumulate(sizes.begin(), sizes.end(), std::int64_t(0)));
        QCOMPARE(rig.delegate->pendingWaiters(), 0u);
        QCOMPARE(rig.delegate->pendingBadStatus(), 0u);
    }

    // Upload bytes count as the server acknowledges them, yet every batch
    // still sums to exactly its bodies, also on kept-alive connections whose
    // earlier requests the socket's count includes.
    void countsSentBodiesExactly_data()
    {
        QTest::addColumn<bool>("download");
        QTest::addColumn<std::int64_t>("perBatch");
        QTest::newRow("upload, two batches on the same connections") << false << 4 * std::int64_t(3'000'001);
        QTest::newRow("download mode ignores sent bytes") << true << std::int64_t(0);
    }
    void countsSentBodiesExactly()
    {
        QFETCH(bool, download);
        QFETCH(std::int64_t, perBatch);
        Rig rig;
        QVERIFY(rig.open(download, 4));
        const QByteArray body(3'000'001, '\0'); // one buffer, four transfers
        for (int batch = 0; batch < 2; ++batch) {
            rig.delegate->resetBytes();
            std::vector<Done> done(4);
            std::vector<async::TaskHandle> tasks;
            for (auto &d : done)
                tasks.push_back(async::launch(awaitRun(rig.delegate.get(), rig.upload(body), &d)));
            QVERIFY(QTest::qWaitFor([&] { return allFinished(done); }, 30000));
            for (const Done &d : done)
                QVERIFY(!d.error);
            QCOMPARE(rig.delegate->bytes(), perBatch);
        }
        std::set<int> connections;
        for (const RequestRecord &r : rig.server.requests()) {
            QCOMPARE(r.bodyBytes, std::int64_t(body.size()));
            connections.insert(r.remotePort);
        }
        QCOMPARE(connections.size(), std::size_t(4));
    }

    // Anything but exactly 200 is refused at the head: no body counted, and
    // the waiter fails with badServerResponse rather than the cancellation.
    void refusesEveryOtherStatus_data()
    {
        QTest::addColumn<int>("status");
        for (int s : {204, 206, 301, 404, 503})
            QTest::addRow("%d", s) << s;
    }
    void refusesEveryOtherStatus()
    {
        QFETCH(int, status);
        Rig rig;
        rig.server.addFault({.nth = 2, .status = status});
        QVERIFY(rig.open(true, 3));
        std::vector<Done> done(3);
        std::vector<async::TaskHandle> tasks;
        for (auto &d : done)
            tasks.push_back(async::launch(awaitRun(rig.delegate.get(), rig.download(1'000'000), &d)));
        QVERIFY(QTest::qWaitFor([&] { return allFinished(done); }, 30000));
        int refused = 0;
        for (const Done &d : done) {
            if (d.error) {
                QCOMPARE(*d.error, HttpError::Code::badServerResponse);
                ++refused;
            }
        }
        QCOMPARE(refused, 1);
        QCOMPARE(rig.delegate->bytes(), 2'000'000);
        QCOMPARE(rig.delegate->pendingWaiters(), 0u);
        QCOMPARE(rig.delegate->pendingBadStatus(), 0u);
    }

    void transportErrorsPassThrough_data()
    {
        QTest::addColumn<FaultRule>("fault");
        QTest::addColumn<HttpError::Code>("code");
        QTest::newRow("reset") << FaultRule{.closeAfterBytes = 10'000, .reset = true} << HttpError::Code::networkConnectionLost;
        QTest::newRow("stall") << FaultRule{.stallAfterBytes = 10'000, .stallFor = 20s} << HttpError::Code::timedOut;
    }
    void transportErrorsPassThrough()
    {
        QFETCH(FaultRule, fault);
        QFETCH(HttpError::Code, code);
        Rig rig;
        rig.server.addFault(fault);
        QVERIFY(rig.open(true, 1));
        Done done;
        auto task = async::launch(awaitRun(rig.delegate.get(), rig.download(1'000'000), &done));
        QVERIFY(QTest::qWaitFor([&] { return done.finished; }, 30000));
        QCOMPARE(done.error, std::optional(code));
        QCOMPARE(rig.delegate->pendingWaiters(), 0u);
    }

    void invalidateFailsWaitersWithCancelled()
    {
        Rig rig;
        rig.server.addFault({.throttleBytesPerSecond = 100'000});
        QVERIFY(rig.open(true, 6));
        std::vector<Done> done(6);
        std::vector<async::TaskHandle> tasks;
        for (auto &d : done)
            tasks.push_back(async::launch(awaitRun(rig.delegate.get(), rig.download(100'000'000), &d)));
        QVERIFY(QTest::qWaitFor([&] { return rig.delegate->bytes() > 0; }, 10000));
        rig.session->invalidate();
        QVERIFY(QTest::qWaitFor([&] { return allFinished(done); }, 10000));
        for (const Done &d : done)
            QCOMPARE(d.error, std::optional(HttpError::Code::cancelled));
        QCOMPARE(rig.delegate->pendingWaiters(), 0u);
    }

    void completionWithoutWaiterOnlyClearsBadStatus()
    {
        TransferDelegate delegate;
        QCOMPARE(delegate.onResponse(77, 503), ResponseDisposition::cancel);
        QCOMPARE(delegate.onResponse(78, 200), ResponseDisposition::allow);
        QCOMPARE(delegate.pendingBadStatus(), 1u);
        delegate.onComplete(77, HttpError(HttpError::Code::cancelled, {}));
        QCOMPARE(delegate.pendingBadStatus(), 0u);
        QCOMPARE(delegate.pendingWaiters(), 0u);
    }
};

QTEST_GUILESS_MAIN(TestTransferDelegate)
#include "tst_transferdelegate.moc"
