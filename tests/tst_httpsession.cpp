// The HTTP client against the local speed-test server on 127.0.0.1, seen
// through the transfer phases' event receiver: bytes counted in both
// directions, connections, refusals, timeouts, faults, TLS, invalidation and
// clean shutdown; then how curl's results become errors.
#include "curlerror.h"
#include "httpdiagnostics.h"
#include "httpsession.h"
#include "speedtestserver.h"
#include "transferdelegate.h"

#include <QtTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <future>
#include <netinet/in.h>
#include <numeric>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Code = HttpError::Code;

namespace {
constexpr int kWaitMs = 15000; // a bound on every wait, not a performance figure

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

QString outcome(std::optional<Code> code)
{
    return code ? QStringLiteral("error %1").arg(int(*code)) : QStringLiteral("none");
}

// Awaits a batch through the delegate, noting how each transfer ended.
async::Task<void> awaitBatch(TransferDelegate *delegate, std::vector<HttpTransfer> batch, QStringList *ends)
{
    for (auto &waiter : delegate->runAll(batch)) {
        try {
            co_await std::move(waiter);
            ends->append(outcome({}));
        } catch (const HttpError &e) {
            ends->append(outcome(e.code()));
        }
    }
}

struct Batch {
    bool upload = false, countsReceived = true;
    std::vector<int> sizes;
    int perHost = 6, batches = 1;
    std::int64_t throttle = 0;
    std::size_t ports = 1;
};

struct Failure {
    std::string target = "down"; // "down", "up" or a URL
    FaultRule fault;
    std::chrono::milliseconds limit = 60s;
    Code code;
};

struct CurlResult {
    CURLcode curl;
    long osErrno;
    const char *detail, *mentions;
    Code code;
};
} // namespace

Q_DECLARE_METATYPE(Batch)
Q_DECLARE_METATYPE(Failure)
Q_DECLARE_METATYPE(CurlResult)

class TestHttpSession : public QObject {
    Q_OBJECT

    std::unique_ptr<SpeedTestServer> m_server, m_tls; // the second with a self-signed certificate
    QTemporaryDir m_dir;
    int m_unheard = -1; // bound, never listening: connecting is refused
    std::string m_refusedUrl;
    std::shared_ptr<TransferDelegate> m_delegate;

    std::shared_ptr<HttpSession> session(std::chrono::milliseconds idle, int perHost = 6, bool countsReceived = true)
    {
        m_delegate = std::make_shared<TransferDelegate>();
        m_delegate->countsReceived = countsReceived;
        return HttpSession::create({idle, perHost, m_delegate});
    }
    async::TaskHandle launch(const std::vector<HttpTransfer> &batch, QStringList *ends)
    {
        return async::launch(awaitBatch(m_delegate.get(), batch, ends));
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
        if (m_delegate)
            QCOMPARE(m_delegate->pendingWaiters() + m_delegate->pendingBadStatus(), 0u);
        QTRY_COMPARE_WITH_TIMEOUT(HttpDiagnostics::liveIoThreads(), 0, kWaitMs);
        QCOMPARE(HttpDiagnostics::liveEasyHandles(), 0);
    }

    // The payload of the delegate's direction only, exactly, under a 1 s idle
    // timeout: a throttled body and a transfer queued behind the connection
    // limit are not idle. Every batch starts in one hand-over.
    void transfersCountEveryByte_data()
    {
        QTest::addColumn<Batch>("batch");
        const std::vector<int> four(4, 3'000'001);
        QTest::newRow("empty upload") << Batch{.upload = true, .countsReceived = false, .sizes = {0}};
        QTest::newRow("one-byte upload sent with its head") << Batch{.upload = true, .countsReceived = false, .sizes = {1}};
        QTest::newRow("six downloads from 0 B to 7.6 MB, one connection each")
            << Batch{.sizes = {0, 1, 1000, 2'000'000, 2'000'000, 7'654'321}, .ports = 6};
        QTest::newRow("four uploads of one body, again on the same connections")
            << Batch{.upload = true, .countsReceived = false, .sizes = four, .batches = 2, .ports = 4};
        QTest::newRow("download mode ignores sent bytes") << Batch{.upload = true, .sizes = four, .ports = 4};
        QTest::newRow("throttled download outlives the idle timeout")
            << Batch{.sizes = {3'000'000}, .throttle = 1'000'000};
        QTest::newRow("throttled upload outlives the idle timeout")
            << Batch{.upload = true, .countsReceived = false, .sizes = {3'000'000}, .throttle = 1'000'000};
        QTest::newRow("six queued on two kept-alive connections, 4.5 s in all")
            << Batch{.sizes = std::vector(6, 1'500'000), .perHost = 2, .throttle = 1'000'000, .ports = 2};
    }
    void transfersCountEveryByte()
    {
        QFETCH(Batch, batch);
        m_server->addFault({.throttleBytesPerSecond = batch.throttle});
        auto s = session(1s, batch.perHost, batch.countsReceived);
        const std::int64_t sum = std::accumulate(batch.sizes.begin(), batch.sizes.end(), std::int64_t(0));
        for (int round = 0; round < batch.batches; ++round) {
            m_delegate->resetBytes();
            QByteArray body(batch.sizes.front(), 'x'); // shared by the uploads, which all have one size
            std::vector<HttpTransfer> transfers;
            for (int size : batch.sizes)
                transfers.push_back(transfer(*s, m_server->url(), batch.upload, batch.upload ? body : QByteArray(size, 'x')));
            body = QByteArray(); // the transfers alone keep the bytes alive now
            QStringList ends;
            auto task = launch(transfers, &ends);
            for (const auto &t : transfers)
                t.resume(); // a second start must not send it twice
            QTRY_VERIFY_WITH_TIMEOUT(task.isFinished(), kWaitMs);
            QCOMPARE(ends, QStringList(qsizetype(batch.sizes.size()), outcome({})));
            QCOMPARE(m_delegate->bytes(), batch.upload == batch.countsReceived ? 0 : sum);
        }
        const auto records = m_server->requests();
        QCOMPARE(records.size(), batch.sizes.size() * batch.batches);
        std::set<int> ports;
        for (const auto &r : records) {
            QCOMPARE(r.bodyBytes, batch.upload ? batch.sizes.front() : 0);
            QCOMPARE(r.contentType, std::string(batch.upload ? "application/octet-stream" : ""));
            ports.insert(r.remotePort);
        }
        QCOMPARE(ports.size(), batch.ports);
    }

    // Anything but exactly 200 is refused at the head with its body never
    // counted; transport errors and timeouts pass through.
    void failuresEndWithTheirError_data()
    {
        QTest::addColumn<Failure>("failure");
        for (int status : {204, 206, 301, 404, 503})
            QTest::addRow("status %d", status) << Failure{.fault = {.status = status}, .code = Code::badServerResponse};
        const FaultRule stall{.stallAfterBytes = 100'000, .stallFor = 6s};
        const FaultRule trickle{.throttleBytesPerSecond = 1'000'000}; // 3 s, never 1 s without a byte
        QTest::newRow("refused port") << Failure{.target = m_refusedUrl, .code = Code::cannotConnectToHost};
        QTest::newRow("self-signed certificate") << Failure{.target = m_tls->url() + "/", .code = Code::other};
        QTest::newRow("name under .invalid") << Failure{.target = "http://quorvel-test.invalid/", .code = Code::cannotFindHost};
        QTest::newRow("closed mid-body") << Failure{.fault = {.closeAfterBytes = 200'000}, .code = Code::networkConnectionLost};
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
        QStringList ends;
        auto task = launch({t}, &ends);
        QTRY_VERIFY_WITH_TIMEOUT(task.isFinished(), kWaitMs);
        QCOMPARE(ends, QStringList(outcome(failure.code)));
        if (failure.code == Code::badServerResponse)
            QCOMPARE(m_delegate->bytes(), 0);
    }

    void invalidateEndsEverythingAtOnce()
    {
        m_server->addFault({.stallAfterBytes = 1000, .stallFor = 60s});
        auto s = session(40s);
        std::vector<HttpTransfer> transfers;
        for (int i = 0; i < 6; ++i)
            transfers.push_back(transfer(*s, m_server->url(), false, QByteArray(100'000, 'x')));
        QStringList ends, late;
        auto task = launch(transfers, &ends);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), std::size_t(6), kWaitMs);
        s->invalidate();
        // Far sooner than the stall or the idle timeout could end them.
        QTRY_VERIFY_WITH_TIMEOUT(task.isFinished(), 5000);
        QCOMPARE(ends, QStringList(6, outcome(Code::cancelled)));
        // The session stays unusable.
        auto lateTask = launch({transfer(*s, m_server->url(), false, {})}, &late);
        QTRY_COMPARE_WITH_TIMEOUT(late, QStringList(outcome(Code::cancelled)), kWaitMs);
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
            << CurlResult{CURLE_PEER_FAILED_VERIFICATION, 0, "SSL certificate problem: certificate has expired",
                          "certificate has expired", Code::other};
        QTest::newRow("handshake failure is a TLS error") << CurlResult{CURLE_SSL_CONNECT_ERROR, 0, "", "TLS", Code::other};
        QTest::newRow("garbled reply") << CurlResult{CURLE_WEIRD_SERVER_REPLY, 0, "", "understood", Code::badServerResponse};
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
