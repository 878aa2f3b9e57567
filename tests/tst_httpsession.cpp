// The HTTP client against the local speed-test server on 127.0.0.1: byte
// counts in both directions, connections, timeouts, faults, TLS,
// invalidation, clean shutdown, and how curl's results become errors. Then
// the transfer phases' event receiver on it: batch totals and refusals.
#include "curlerror.h"
#include "httpdiagnostics.h"
#include "httpsession.h"
#include "speedtestserver.h"
#include "transferdelegate.h"

#include <QtTest>

#include <cerrno>
#include <csignal>
#include <future>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Code = HttpError::Code;

namespace {
constexpr int kWaitMs = 15000; // a bound on every wait, not a performance figure

// Records every observer event and checks the rules each one must keep.
class Recorder final : public TransferObserver {
public:
    struct Events {
        std::optional<long> status;
        std::int64_t received = 0, sent = 0, completions = 0;
        std::optional<HttpError> error;
    };

    ResponseDisposition onResponse(TransferId id, long status) override
    {
        on(id, "a second response head", [&](Events &e) { return !std::exchange(e.status, status); });
        return ResponseDisposition::allow;
    }
    void onDataReceived(TransferId id, std::size_t bytes) override
    {
        on(id, "body before the head, or empty", [&](Events &e) {
            e.received += std::int64_t(bytes);
            return e.status && bytes > 0;
        });
    }
    void onBodySent(TransferId id, std::int64_t sent, std::int64_t total, std::int64_t expected) override
    {
        on(id, "sent bytes wrong or past the body", [&](Events &e) {
            e.sent += sent;
            return sent > 0 && e.sent == total && total <= expected;
        });
    }
    void onComplete(TransferId id, const std::optional<HttpError> &error) override
    {
        on(id, "", [&](Events &e) {
            e.error = error;
            return ++e.completions;
        });
    }

    Events events(TransferId id)
    {
        std::lock_guard lock(m_mutex);
        return m_events[id];
    }
    QStringList violations()
    {
        std::lock_guard lock(m_mutex);
        return m_violations;
    }

private:
    // Every event: on one I/O thread, none after the completion.
    template <typename Update> void on(TransferId id, const char *rule, Update update)
    {
        std::lock_guard lock(m_mutex);
        if (m_ioThread == std::thread::id())
            m_ioThread = std::this_thread::get_id();
        if (m_ioThread != std::this_thread::get_id() || m_ioThread == m_mainThread)
            m_violations << QStringLiteral("events not on one I/O thread");
        if (m_events[id].completions)
            m_violations << QStringLiteral("an event after the completion");
        if (!update(m_events[id]))
            m_violations << QLatin1String(rule);
    }

    std::mutex m_mutex;
    const std::thread::id m_mainThread = std::this_thread::get_id();
    std::thread::id m_ioThread;
    std::map<TransferId, Events> m_events;
    QStringList m_violations;
};

// A download of body.size() bytes, or an upload of body.
HttpTransfer transfer(HttpSession &s, const std::string &origin, bool upload, const QByteArray &body,
                      std::chrono::milliseconds limit = 60s)
{
    if (!upload)
        return s.dataTransfer({.url = origin + "/__down?bytes=" + std::to_string(body.size()), .timeout = limit});
    return s.uploadTransfer(
        {.url = origin + "/__up", .method = "POST", .timeout = limit, .headers = {{"Content-Type", "application/octet-stream"}}},
        body);
}

// The fetch's result, or nothing if it did not come within the bound.
std::optional<FetchResult> fetchNow(HttpSession &s, HttpRequest r)
{
    auto done = std::make_shared<std::promise<FetchResult>>();
    auto result = done->get_future();
    s.fetch(std::move(r), [done](FetchResult f) { done->set_value(std::move(f)); });
    if (result.wait_for(std::chrono::milliseconds(kWaitMs)) != std::future_status::ready)
        return std::nullopt;
    return result.get();
}

QString outcome(const std::optional<HttpError> &e)
{
    return e ? QStringLiteral("error %1").arg(int(e->code())) : QStringLiteral("none");
}
QString failed(Code code)
{
    return outcome(HttpError(code, {}));
}

struct Batch {
    bool upload = false;
    int count = 1, bytes = 0, perHost = 6, status = 0; // status: the server's answer instead of 200
    std::int64_t throttle = 0;
    std::size_t ports = 1;
};

struct Failure {
    std::string target = "down"; // "down", "up" or a URL
    FaultRule fault;
    std::chrono::milliseconds limit = 60s;
    Code code;
};

struct Counted {
    bool upload = false, countsReceived = true;
    std::vector<int> sizes;
    std::int64_t perBatch = 0;
};

struct Refused {
    FaultRule fault; // on one transfer of three
    Code code;
    std::int64_t counted = 2'000'000;
};

async::Task<void> awaitBatch(TransferDelegate *delegate, std::vector<HttpTransfer> batch, QStringList *ends)
{
    for (auto &waiter : delegate->runAll(batch)) {
        try {
            co_await std::move(waiter);
            ends->append(outcome({}));
        } catch (const HttpError &e) {
            ends->append(outcome(e));
        }
    }
}

struct CurlResult {
    CURLcode curl;
    long osErrno;
    const char *detail, *mentions;
    Code code;
};
} // namespace

Q_DECLARE_METATYPE(Batch)
Q_DECLARE_METATYPE(Failure)
Q_DECLARE_METATYPE(Counted)
Q_DECLARE_METATYPE(Refused)
Q_DECLARE_METATYPE(CurlResult)

class TestHttpSession : public QObject {
    Q_OBJECT

    std::unique_ptr<SpeedTestServer> m_server, m_tls; // the second with a self-signed certificate
    QTemporaryDir m_dir;
    std::shared_ptr<Recorder> m_recorder;
    int m_unheard = -1; // bound, never listening: connecting is refused
    std::string m_refusedUrl;

    std::shared_ptr<HttpSession> session(std::chrono::milliseconds idle, int perHost = 6)
    {
        m_recorder = std::make_shared<Recorder>();
        return HttpSession::create({idle, perHost, m_recorder});
    }
    bool allComplete(const std::vector<HttpTransfer> &transfers) const
    {
        return std::all_of(transfers.begin(), transfers.end(),
                           [&](const HttpTransfer &t) { return m_recorder->events(t.identifier()).completions; });
    }
    QString outcomeOf(const HttpTransfer &t) const { return outcome(m_recorder->events(t.identifier()).error); }
    std::size_t connections() const
    {
        std::set<int> ports;
        for (const auto &r : m_server->requests())
            ports.insert(r.remotePort);
        return ports.size();
    }
    // How each transfer of the batch ended, awaited through the delegate.
    static QStringList runBatch(TransferDelegate &delegate, const std::vector<HttpTransfer> &batch)
    {
        QStringList ends;
        auto task = async::launch(awaitBatch(&delegate, batch, &ends));
        if (!QTest::qWaitFor([&] { return task.isFinished(); }, kWaitMs))
            task.destroy(); // the short list fails the comparison
        return ends;
    }

private slots:
    void initTestCase()
    {
        std::signal(SIGPIPE, SIG_IGN); // TLS server sockets belong to the library
        // Small socket buffers, as on a slow link: what the client has
        // written is soon what the server has read.
        m_server = std::make_unique<SpeedTestServer>(SpeedTestServer::Options{.socketBufferBytes = 64 * 1024});
        QVERIFY2(m_server->start(), m_server->errorString().c_str());
        const QString cert = m_dir.filePath(QStringLiteral("cert.pem")), key = m_dir.filePath(QStringLiteral("key.pem"));
        QCOMPARE(QProcess::execute(QStringLiteral("openssl"), {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                                                              "1", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert}),
                 0);
        m_tls = std::make_unique<SpeedTestServer>(
            SpeedTestServer::Options{.certFile = cert.toStdString(), .keyFile = key.toStdString()});
        QVERIFY2(m_tls->start(), m_tls->errorString().c_str());
        m_unheard = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        auto *at = reinterpret_cast<sockaddr *>(&address);
        socklen_t length = sizeof address;
        QVERIFY(::bind(m_unheard, at, length) == 0 && ::getsockname(m_unheard, at, &length) == 0);
        m_refusedUrl = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    }
    void cleanupTestCase() { ::close(m_unheard); }
    void init()
    {
        m_server->clearFaults();
        m_server->clearRequests();
    }
    void cleanup()
    {
        QCOMPARE(m_recorder ? m_recorder->violations() : QStringList(), QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(HttpDiagnostics::liveIoThreads(), 0, kWaitMs);
        QCOMPARE(HttpDiagnostics::liveEasyHandles(), 0);
    }

    // Every row under a 1 s idle timeout: a throttled body and a transfer
    // queued behind the connection limit are not idle.
    void transfersCountEveryByte_data()
    {
        QTest::addColumn<Batch>("batch");
        QTest::newRow("empty upload") << Batch{.upload = true};
        QTest::newRow("one-byte upload sent with its head") << Batch{.upload = true, .bytes = 1};
        QTest::newRow("204 carries no body") << Batch{.bytes = 300'000, .status = 204};
        QTest::newRow("404 keeps its body") << Batch{.bytes = 300'000, .status = 404};
        QTest::newRow("throttled download outlives the idle timeout") << Batch{.bytes = 3'000'000, .throttle = 1'000'000};
        QTest::newRow("throttled upload outlives the idle timeout")
            << Batch{.upload = true, .bytes = 3'000'000, .throttle = 1'000'000};
        QTest::newRow("six queued on two kept-alive connections, 4.5 s in all")
            << Batch{.count = 6, .bytes = 1'500'000, .perHost = 2, .throttle = 1'000'000, .ports = 2};
    }
    void transfersCountEveryByte()
    {
        QFETCH(Batch, batch);
        m_server->addFault({.status = batch.status, .throttleBytesPerSecond = batch.throttle});
        auto s = session(1s, batch.perHost);
        std::vector<HttpTransfer> transfers;
        for (int i = 0; i < batch.count; ++i)
            transfers.push_back(transfer(*s, m_server->url(), batch.upload, QByteArray(batch.bytes, 'x')));
        HttpTransfer::resumeTogether(transfers);
        for (const auto &t : transfers)
            t.resume(); // a second start must not send it twice
        QTRY_VERIFY_WITH_TIMEOUT(allComplete(transfers), kWaitMs);
        const std::int64_t received = batch.upload || batch.status == 204 ? 0 : batch.bytes;
        for (const auto &t : transfers) {
            const auto e = m_recorder->events(t.identifier());
            QCOMPARE(outcome(e.error), outcome({}));
            QCOMPARE(e.status.value_or(-1), long(batch.status ? batch.status : 200));
            QCOMPARE(e.received, received);
            QCOMPARE(e.sent, batch.upload ? batch.bytes : 0);
        }
        const auto records = m_server->requests();
        QCOMPARE(records.size(), std::size_t(batch.count));
        for (const auto &r : records) {
            QCOMPARE(r.bodyBytes, batch.upload ? batch.bytes : 0);
            QCOMPARE(r.contentType, std::string(batch.upload ? "application/octet-stream" : ""));
        }
        QCOMPARE(connections(), batch.ports);
    }

    void failuresEndWithTheirError_data()
    {
        QTest::addColumn<Failure>("failure");
        const FaultRule stall{.stallAfterBytes = 100'000, .stallFor = 6s};
        const FaultRule trickle{.throttleBytesPerSecond = 1'000'000}; // 3 s, never 1 s without a byte
        QTest::newRow("refused port") << Failure{.target = m_refusedUrl, .code = Code::cannotConnectToHost};
        QTest::newRow("self-signed certificate") << Failure{.target = m_tls->url() + "/", .code = Code::other};
        QTest::newRow("name under .invalid")
            << Failure{.target = "http://quorvel-test.invalid/", .code = Code::cannotFindHost};
        QTest::newRow("closed mid-body")
            << Failure{.fault = {.closeAfterBytes = 200'000}, .code = Code::networkConnectionLost};
        QTest::newRow("reset mid-body")
            << Failure{.fault = {.closeAfterBytes = 200'000, .reset = true}, .code = Code::networkConnectionLost};
        QTest::newRow("stalled download") << Failure{.fault = stall, .code = Code::timedOut};
        QTest::newRow("stalled upload") << Failure{.target = "up", .fault = stall, .code = Code::timedOut};
        QTest::newRow("late response head") << Failure{.fault = {.headDelay = 6s}, .code = Code::timedOut};
        QTest::newRow("download trickle held past the request limit")
            << Failure{.fault = trickle, .limit = 1s, .code = Code::timedOut};
        QTest::newRow("upload trickle held past the request limit")
            << Failure{.target = "up", .fault = trickle, .limit = 1s, .code = Code::timedOut};
    }
    void failuresEndWithTheirError()
    {
        QFETCH(Failure, failure);
        m_server->addFault(failure.fault);
        // The request-limit rows rely on that limit alone.
        auto s = session(failure.limit < 60s ? 20s : 1s);
        const HttpTransfer t = failure.target.starts_with("http")
            ? s->dataTransfer({.url = failure.target})
            : transfer(*s, m_server->url(), failure.target == "up", QByteArray(3'000'000, 'u'), failure.limit);
        t.resume();
        QTRY_VERIFY_WITH_TIMEOUT(allComplete({t}), kWaitMs);
        QCOMPARE(outcomeOf(t), failed(failure.code));
    }

    void invalidateEndsEverythingAtOnce()
    {
        m_server->addFault({.stallAfterBytes = 1000, .stallFor = 60s});
        auto s = session(40s);
        std::vector<HttpTransfer> transfers;
        for (int i = 0; i < 6; ++i)
            transfers.push_back(transfer(*s, m_server->url(), false, QByteArray(100'000, 'x')));
        const HttpTransfer notStarted = transfer(*s, m_server->url(), false, QByteArray(10, 'x'));
        HttpTransfer::resumeTogether(transfers);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), std::size_t(6), kWaitMs);
        s->invalidate();
        // Far sooner than the stall or the idle timeout could end them.
        QTRY_VERIFY_WITH_TIMEOUT(allComplete(transfers), 5000);
        for (const auto &t : transfers)
            QCOMPARE(outcomeOf(t), failed(Code::cancelled));
        // The session stays unusable.
        notStarted.resume();
        QTRY_VERIFY_WITH_TIMEOUT(allComplete({notStarted}), kWaitMs);
        QCOMPARE(outcomeOf(notStarted), failed(Code::cancelled));
        const auto fetched = fetchNow(*s, {.url = m_server->url() + "/__down?bytes=10"});
        QVERIFY(fetched);
        QCOMPARE(std::get<HttpError>(*fetched).code(), Code::cancelled);
        s.reset(); // joins the I/O thread
        QCOMPARE(HttpDiagnostics::liveIoThreads(), 0);
    }

    void fetchReturnsTheWholeResponse()
    {
        auto s = session(20s);
        const auto ok = fetchNow(*s, {.url = m_server->url() + "/__down?bytes=1234"});
        const auto missing = fetchNow(*s, {.url = m_server->url() + "/nowhere"});
        const auto injected = fetchNow(*s, {.url = m_server->url(), .headers = {{"X-Evil", "a\r\nInjected: 1"}}});
        QVERIFY(ok && missing && injected);
        QCOMPARE(std::get<HttpResponse>(*ok).status, 200L);
        QCOMPARE(std::get<HttpResponse>(*ok).body, QByteArray(1234, '\0'));
        QCOMPARE(std::get<HttpResponse>(*missing).status, 404L);
        QCOMPARE(std::get<HttpError>(*injected).code(), Code::other);
        QCOMPARE(m_server->requests().size(), std::size_t(2)); // the bad header never left
    }

    void lastReferenceDroppedOnTheIoThread()
    {
        auto s = session(20s);
        auto holder = std::make_shared<std::shared_ptr<HttpSession>>(s);
        std::atomic<bool> called{false};
        s->fetch({.url = m_server->url() + "/__down?bytes=10"}, [holder, &called](FetchResult) {
            holder->reset(); // destroys the session here, on its own I/O thread
            called = true;
        });
        s.reset();
        QTRY_VERIFY_WITH_TIMEOUT(called.load(), kWaitMs);
    }

    // The delegate counts the payload of its direction only, exactly, also
    // for uploads on kept-alive connections whose earlier requests the
    // socket's acknowledged count includes.
    void delegateCountsWholeBatches_data()
    {
        QTest::addColumn<Counted>("row");
        const std::vector<int> four(4, 3'000'001);
        QTest::newRow("six downloads from 0 B to 7.6 MB")
            << Counted{.sizes = {0, 1, 1000, 2'000'000, 2'000'000, 7'654'321}, .perBatch = 11'655'322};
        QTest::newRow("four uploads, again on the same connections")
            << Counted{.upload = true, .countsReceived = false, .sizes = four, .perBatch = 4 * 3'000'001};
        QTest::newRow("download mode ignores sent bytes") << Counted{.upload = true, .sizes = four};
    }
    void delegateCountsWholeBatches()
    {
        QFETCH(Counted, row);
        auto delegate = std::make_shared<TransferDelegate>();
        delegate->countsReceived = row.countsReceived;
        auto s = HttpSession::create({2s, int(row.sizes.size()), delegate});
        for (int batch = 0; batch < 2; ++batch) {
            delegate->resetBytes();
            QByteArray body(row.sizes.front(), 'x'); // shared by the uploads, which all have one size
            std::vector<HttpTransfer> transfers;
            for (int size : row.sizes)
                transfers.push_back(transfer(*s, m_server->url(), row.upload, row.upload ? body : QByteArray(size, 'x')));
            body = QByteArray(); // the transfers alone keep the bytes alive now
            QCOMPARE(runBatch(*delegate, transfers), QStringList(qsizetype(row.sizes.size()), outcome({})));
            QCOMPARE(delegate->bytes(), row.perBatch);
        }
        QCOMPARE(connections(), row.sizes.size()); // one each, in one hand-over, kept for the second batch
    }

    // Anything but exactly 200 is refused at the head, its body never
    // counted, and the waiter fails with badServerResponse rather than the
    // cancellation; transport errors pass through.
    void delegateRefusesOrPassesOnFailures_data()
    {
        QTest::addColumn<Refused>("row");
        for (int status : {204, 206, 301, 404, 503})
            QTest::addRow("status %d", status) << Refused{{.nth = 2, .status = status}, Code::badServerResponse};
        QTest::newRow("closed mid-body")
            << Refused{{.nth = 2, .closeAfterBytes = 10'000}, Code::networkConnectionLost, 2'010'000};
        QTest::newRow("stalled") << Refused{{.nth = 2, .stallAfterBytes = 10'000, .stallFor = 20s}, Code::timedOut, 2'010'000};
    }
    void delegateRefusesOrPassesOnFailures()
    {
        QFETCH(Refused, row);
        m_server->addFault(row.fault);
        auto delegate = std::make_shared<TransferDelegate>();
        auto s = HttpSession::create({2s, 3, delegate});
        std::vector<HttpTransfer> transfers;
        for (int i = 0; i < 3; ++i)
            transfers.push_back(transfer(*s, m_server->url(), false, QByteArray(1'000'000, 'x')));
        QStringList ends = runBatch(*delegate, transfers);
        ends.sort();
        QCOMPARE(ends, (QStringList{failed(row.code), outcome({}), outcome({})}));
        QCOMPARE(delegate->bytes(), row.counted);
        QCOMPARE(delegate->pendingWaiters(), 0u);
        QCOMPARE(delegate->pendingBadStatus(), 0u);
    }

    // The cases loopback cannot produce: no network at all, certificate
    // failures, odd replies.
    void curlResultsBecomeErrors_data()
    {
        QTest::addColumn<CurlResult>("result");
        QTest::newRow("no route to any network is offline")
            << CurlResult{CURLE_COULDNT_CONNECT, ENETUNREACH, "", "offline", Code::notConnectedToInternet};
        QTest::newRow("unreachable host is the host's problem")
            << CurlResult{CURLE_COULDNT_CONNECT, EHOSTUNREACH, "", "connect", Code::cannotConnectToHost};
        QTest::newRow("name not found") << CurlResult{CURLE_COULDNT_RESOLVE_HOST, 0, "", "hostname", Code::cannotFindHost};
        QTest::newRow("send failed mid-body") << CurlResult{CURLE_SEND_ERROR, EPIPE, "", "lost", Code::networkConnectionLost};
        QTest::newRow("nothing came back") << CurlResult{CURLE_GOT_NOTHING, 0, "", "lost", Code::networkConnectionLost};
        QTest::newRow("certificate keeps curl's reason")
            << CurlResult{CURLE_PEER_FAILED_VERIFICATION, 0, "SSL certificate problem: certificate has expired", "certificate has expired", Code::other};
        QTest::newRow("handshake failure is a TLS error") << CurlResult{CURLE_SSL_CONNECT_ERROR, 0, "", "TLS", Code::other};
        QTest::newRow("garbled reply")
            << CurlResult{CURLE_WEIRD_SERVER_REPLY, 0, "", "understood", Code::badServerResponse};
    }
    void curlResultsBecomeErrors()
    {
        QFETCH(CurlResult, result);
        const HttpError error = httpErrorFromCurl(result.curl, result.osErrno, result.detail);
        QCOMPARE(error.code(), result.code);
        QVERIFY2(error.description().contains(QLatin1String(result.mentions), Qt::CaseInsensitive),
                 qPrintable(error.description()));
        QCOMPARE(QString::fromStdString(error.what()), error.description());
    }
};

QTEST_GUILESS_MAIN(TestHttpSession)
#include "tst_httpsession.moc"
