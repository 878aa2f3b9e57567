// The HTTP client against the local speed-test server on 127.0.0.1: response
// heads, byte counts in both directions, timeouts, faults, TLS,
// invalidation and clean shutdown.
#include "httpdiagnostics.h"
#include "httpsession.h"
#include "speedtestserver.h"

#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Code = HttpError::Code;
Q_DECLARE_METATYPE(FaultRule)
Q_DECLARE_METATYPE(std::chrono::milliseconds)

namespace {
constexpr int kWaitMs = 15000; // a bound on every wait, not a performance figure

// Records every observer event and checks each transfer's event order.
class Recorder final : public TransferObserver {
public:
    struct Events {
        std::optional<long> status;
        std::int64_t received = 0, sentSum = 0, expected = -1;
        int completions = 0;
        std::optional<HttpError> error;
    };
    std::atomic<bool> cancelAtHead{false};

    ResponseDisposition onResponse(TransferId id, long status) override
    {
        record(id, [&](Events &e) {
            check(!e.status && !e.completions, "a second or late response head");
            e.status = status;
        });
        return cancelAtHead ? ResponseDisposition::cancel : ResponseDisposition::allow;
    }
    void onDataReceived(TransferId id, std::size_t bytes) override
    {
        record(id, [&](Events &e) {
            check(e.status && !e.completions && bytes > 0, "body chunk out of order or empty");
            e.received += std::int64_t(bytes);
        });
    }
    void onBodySent(TransferId id, std::int64_t sent, std::int64_t total, std::int64_t expected) override
    {
        record(id, [&](Events &e) {
            e.sentSum += sent;
            check(sent > 0 && e.sentSum == total && !e.completions, "sent increments do not add up");
            e.expected = expected;
        });
    }
    void onComplete(TransferId id, const std::optional<HttpError> &error) override
    {
        record(id, [&](Events &e) {
            check(!e.completions, "a second completion");
            ++e.completions;
            e.error = error;
        });
    }

    Events events(TransferId id) const
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_events.find(id);
        return it == m_events.end() ? Events{} : it->second;
    }
    bool complete(TransferId id) const { return events(id).completions > 0; }
    QStringList violations() const
    {
        std::lock_guard lock(m_mutex);
        return m_violations;
    }

private:
    template <typename Update> void record(TransferId id, Update update)
    {
        std::lock_guard lock(m_mutex);
        if (m_ioThread == std::thread::id())
            m_ioThread = std::this_thread::get_id();
        check(m_ioThread == std::this_thread::get_id() && m_ioThread != m_mainThread,
              "events not on one I/O thread");
        update(m_events[id]);
    }
    void check(bool ok, const char *what)
    {
        if (!ok)
            m_violations << QLatin1String(what);
    }

    mutable std::mutex m_mutex;
    const std::thread::id m_mainThread = std::this_thread::get_id();
    std::thread::id m_ioThread;
    std::map<TransferId, Events> m_events;
    QStringList m_violations;
};

// Collects a fetch's result from the I/O thread.
struct FetchBox {
    std::mutex mutex;
    std::optional<FetchResult> result;
    std::function<void(FetchResult)> callback()
    {
        return [this](FetchResult r) {
            std::lock_guard lock(mutex);
            result = std::move(r);
        };
    }
    bool ready()
    {
        std::lock_guard lock(mutex);
        return result.has_value();
    }
};

HttpRequest request(std::string url, std::string method = "GET",
                    std::chrono::milliseconds timeout = 60s,
                    std::vector<std::pair<std::string, std::string>> headers = {})
{
    HttpRequest r;
    r.url = std::move(url);
    r.method = std::move(method);
    r.timeout = timeout;
    r.headers = std::move(headers);
    return r;
}

// "none" or the error's code and text, for readable comparisons.
QString outcome(const std::optional<HttpError> &e)
{
    return e ? QStringLiteral("error %1").arg(int(e->code())) : QStringLiteral("none");
}
QString outcome(std::optional<Code> code)
{
    return code ? QStringLiteral("error %1").arg(int(*code)) : QStringLiteral("none");
}
} // namespace

class TestHttpSession : public QObject {
    Q_OBJECT

    std::unique_ptr<SpeedTestServer> m_server;
    std::shared_ptr<Recorder> m_recorder;

    std::shared_ptr<HttpSession> session(std::chrono::milliseconds idle = 20s, int perHost = 6)
    {
        m_recorder = std::make_shared<Recorder>();
        return HttpSession::create({idle, perHost, m_recorder});
    }
    std::string url(std::int64_t bytes) const
    {
        return m_server->url() + "/__down?bytes=" + std::to_string(bytes);
    }
    bool allComplete(const std::vector<HttpTransfer> &transfers) const
    {
        return std::all_of(transfers.begin(), transfers.end(),
                           [&](const HttpTransfer &t) { return m_recorder->complete(t.identifier()); });
    }

private slots:
    void initTestCase()
    {
        std::signal(SIGPIPE, SIG_IGN); // TLS server sockets belong to the library
        m_server = std::make_unique<SpeedTestServer>();
        QVERIFY2(m_server->start(), m_server->errorString().c_str());
    }
    void init()
    {
        m_server->clearFaults();
        m_server->clearRequests();
    }
    void cleanup()
    {
        if (m_recorder)
            QCOMPARE(m_recorder->violations(), QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(HttpDiagnostics::liveIoThreads(), 0, kWaitMs);
        QCOMPARE(HttpDiagnostics::liveEasyHandles(), 0);
    }

    void responseHead_data()
    {
        QTest::addColumn<int>("faultStatus");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<long>("status");
        QTest::addColumn<qint64>("received");
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("200 with body") << 0 << false << 200L << 300000LL << false;
        QTest::newRow("204 without body") << 204 << false << 204L << 0LL << false;
        QTest::newRow("206") << 206 << false << 206L << 300000LL << false;
        QTest::newRow("404 keeps its body") << 404 << false << 404L << 300000LL << false;
        QTest::newRow("503") << 503 << false << 503L << 300000LL << false;
        QTest::newRow("cancel at head reads no body") << 0 << true << 200L << 0LL << true;
    }
    void responseHead()
    {
        QFETCH(int, faultStatus);
        QFETCH(bool, cancel);
        QFETCH(long, status);
        QFETCH(qint64, received);
        QFETCH(bool, cancelled);
        FaultRule rule;
        rule.status = faultStatus;
        m_server->addFault(rule);
        auto s = session();
        m_recorder->cancelAtHead = cancel;
        const HttpTransfer t = s->dataTransfer(request(url(300000)));
        HttpTransfer::resumeTogether({t});
        QTRY_VERIFY_WITH_TIMEOUT(allComplete({t}), kWaitMs);
        const auto e = m_recorder->events(t.identifier());
        QCOMPARE(e.status.value_or(-1), status);
        QCOMPARE(e.received, received);
        QCOMPARE(outcome(e.error), outcome(cancelled ? std::optional(Code::cancelled) : std::nullopt));
    }

    void upload_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("empty") << 0;
        QTest::newRow("one byte") << 1;
        QTest::newRow("20 MB") << 20'000'000;
    }
    void upload()
    {
        QFETCH(int, size);
        auto s = session();
        const HttpTransfer t = s->uploadTransfer(
            request(m_server->url() + "/__up", "POST", 60s, {{"Content-Type", "application/octet-stream"}}),
            QByteArray(size, 'x'));
        HttpTransfer::resumeTogether({t, t}); // a second resume must not start it twice
        QTRY_VERIFY_WITH_TIMEOUT(allComplete({t}), kWaitMs);
        const auto e = m_recorder->events(t.identifier());
        QCOMPARE(outcome(e.error), QStringLiteral("none"));
        QCOMPARE(e.status.value_or(-1), 200L);
        QCOMPARE(e.sentSum, std::int64_t(size));
        if (size > 0)
            QCOMPARE(e.expected, std::int64_t(size));
        const auto records = m_server->requests();
        QCOMPARE(records.size(), std::size_t(1));
        QCOMPARE(records[0].bodyBytes, std::int64_t(size));
        QCOMPARE(records[0].contentType, std::string("application/octet-stream"));
    }

    void sharedUploadBody()
    {
        auto s = session();
        QByteArray body(8'000'000, 'q');
        std::vector<HttpTransfer> transfers;
        for (int i = 0; i < 4; ++i)
            transfers.push_back(s->uploadTransfer(request(m_server->url() + "/__up", "POST"), body));
        body = QByteArray(); // the transfers alone keep the bytes alive now
        HttpTransfer::resumeTogether(transfers);
        QTRY_VERIFY_WITH_TIMEOUT(allComplete(transfers), kWaitMs);
        for (const auto &t : transfers) {
            QCOMPARE(outcome(m_recorder->events(t.identifier()).error), QStringLiteral("none"));
            QCOMPARE(m_recorder->events(t.identifier()).sentSum, std::int64_t(8'000'000));
        }
        std::set<int> ports;
        for (const auto &r : m_server->requests()) {
            QCOMPARE(r.bodyBytes, std::int64_t(8'000'000));
            ports.insert(r.remotePort);
        }
        QCOMPARE(ports.size(), std::size_t(4)); // parallel means one connection each
    }

    void connectionsAreLimitedAndReused()
    {
        // Three rounds of 1.5 s each: waiting for a connection is not idle.
        FaultRule throttled;
        throttled.throttleBytesPerSecond = 1'000'000;
        m_server->addFault(throttled);
        auto s = session(1s, 2);
        std::vector<HttpTransfer> transfers;
        for (int i = 0; i < 6; ++i)
            transfers.push_back(s->dataTransfer(request(url(1'500'000))));
        HttpTransfer::resumeTogether(transfers);
        QTRY_VERIFY_WITH_TIMEOUT(allComplete(transfers), kWaitMs);
        for (const auto &t : transfers)
            QCOMPARE(m_recorder->events(t.identifier()).received, std::int64_t(1'500'000));
        std::set<int> ports;
        for (const auto &r : m_server->requests())
            ports.insert(r.remotePort);
        QCOMPARE(m_server->requests().size(), std::size_t(6));
        QCOMPARE(ports.size(), std::size_t(2));
    }

    void invalidateCancelsEverythingAtOnce()
    {
        FaultRule stall;
        stall.stallAfterBytes = 1000;
        stall.stallFor = 60s;
        m_server->addFault(stall);
        auto s = session(40s);
        std::vector<HttpTransfer> transfers;
        for (int i = 0; i < 6; ++i)
            transfers.push_back(s->dataTransfer(request(url(100'000'000))));
        const HttpTransfer notStarted = s->dataTransfer(request(url(10)));
        HttpTransfer::resumeTogether(transfers);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(transfers.begin(), transfers.end(),
                                             [&](const HttpTransfer &t) {
                                                 return m_recorder->events(t.identifier()).received >= 1000;
                                             }),
                                 kWaitMs);
        QCOMPARE(HttpDiagnostics::liveEasyHandles(), 6);
        s->invalidate();
        // Far sooner than the stall or the idle timeout could end them.
        QTRY_VERIFY_WITH_TIMEOUT(allComplete(transfers), 5000);
        for (const auto &t : transfers)
            QCOMPARE(outcome(m_recorder->events(t.identifier()).error), outcome(Code::cancelled));
        QCOMPARE(HttpDiagnostics::liveEasyHandles(), 0);

        // The session stays unusable.
        HttpTransfer::resumeTogether({notStarted});
        QTRY_VERIFY_WITH_TIMEOUT(allComplete({notStarted}), kWaitMs);
        QCOMPARE(outcome(m_recorder->events(notStarted.identifier()).error), outcome(Code::cancelled));
        FetchBox box;
        s->fetch(request(url(10)), box.callback());
        QTRY_VERIFY_WITH_TIMEOUT(box.ready(), kWaitMs);
        QCOMPARE(std::get<HttpError>(*box.result).code(), Code::cancelled);
        QCOMPARE(HttpDiagnostics::liveIoThreads(), 1);
        s.reset();
        QCOMPARE(HttpDiagnostics::liveIoThreads(), 0);
    }

    void timeouts_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<FaultRule>("fault");
        QTest::addColumn<std::chrono::milliseconds>("requestTimeout");
        QTest::addColumn<bool>("timesOut");
        FaultRule stall;
        stall.stallAfterBytes = 100'000;
        stall.stallFor = 6s;
        FaultRule slowHead;
        slowHead.headDelay = 6s;
        FaultRule throttled; // 3 s in all, never 1 s without a byte
        throttled.throttleBytesPerSecond = 1'000'000;
        QTest::newRow("stalled download") << false << stall << 60000ms << true;
        QTest::newRow("stalled upload") << true << stall << 60000ms << true;
        QTest::newRow("late response head") << false << slowHead << 60000ms << true;
        QTest::newRow("throttled download keeps going") << false << throttled << 60000ms << false;
        QTest::newRow("throttled upload keeps going") << true << throttled << 60000ms << false;
        QTest::newRow("trickle held past the request limit") << false << throttled << 1000ms << true;
        QTest::newRow("upload trickle held past the request limit") << true << throttled << 1000ms << true;
    }
    void timeouts()
    {
        QFETCH(bool, upload);
        QFETCH(FaultRule, fault);
        QFETCH(std::chrono::milliseconds, requestTimeout);
        QFETCH(bool, timesOut);
        // Small server-side socket buffers, as on a slow link: what the
        // client has written is soon what the server has read.
        SpeedTestServer::Options options;
        options.socketBufferBytes = 64 * 1024;
        SpeedTestServer server(options);
        QVERIFY2(server.start(), server.errorString().c_str());
        server.addFault(fault);
        // The last rows rely on the request's own limit alone.
        auto s = session(requestTimeout < 60s ? 20s : 1s);
        constexpr int size = 3'000'000;
        const HttpTransfer t = upload
            ? s->uploadTransfer(request(server.url() + "/__up", "POST", requestTimeout), QByteArray(size, 'u'))
            : s->dataTransfer(request(server.url() + "/__down?bytes=3000000", "GET", requestTimeout));
        HttpTransfer::resumeTogether({t});
        QTRY_VERIFY_WITH_TIMEOUT(allComplete({t}), kWaitMs);
        const auto e = m_recorder->events(t.identifier());
        QCOMPARE(outcome(e.error), outcome(timesOut ? std::optional(Code::timedOut) : std::nullopt));
        if (!timesOut)
            QCOMPARE(upload ? e.sentSum : e.received, std::int64_t(size));
    }

    void networkFailures_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<FaultRule>("fault");
        QTest::addColumn<Code>("code");
        FaultRule none, close, reset;
        close.closeAfterBytes = reset.closeAfterBytes = 200'000;
        reset.reset = true;
        QTest::newRow("refused port") << "refused" << none << Code::cannotConnectToHost;
        QTest::newRow("name under .invalid") << "http://quorvel-test.invalid/" << none << Code::cannotFindHost;
        QTest::newRow("closed mid-body") << "server" << close << Code::networkConnectionLost;
        QTest::newRow("reset mid-body") << "server" << reset << Code::networkConnectionLost;
    }
    void networkFailures()
    {
        QFETCH(QString, target);
        QFETCH(FaultRule, fault);
        QFETCH(Code, code);
        m_server->addFault(fault);
        // A bound socket that never listens: connecting to it is refused.
        const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(blocker, reinterpret_cast<sockaddr *>(&address), length) == 0);
        QVERIFY(::getsockname(blocker, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        std::string where = target.toStdString();
        if (target == QLatin1String("refused"))
            where = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
        else if (target == QLatin1String("server"))
            where = url(5'000'000);
        auto s = session(5s);
        const HttpTransfer t = s->dataTransfer(request(where));
        HttpTransfer::resumeTogether({t});
        QTRY_VERIFY_WITH_TIMEOUT(allComplete({t}), kWaitMs);
        ::close(blocker);
        QCOMPARE(outcome(m_recorder->events(t.identifier()).error), outcome(code));
    }

    void fetchReturnsTheWholeResponse()
    {
        auto s = session();
        FetchBox ok, missing, badHeader;
        s->fetch(request(url(1234)), ok.callback());
        s->fetch(request(m_server->url() + "/nowhere"), missing.callback());
        s->fetch(request(url(1), "GET", 60s, {{"X-Evil", "a\r\nInjected: 1"}}), badHeader.callback());
        QTRY_VERIFY_WITH_TIMEOUT(ok.ready() && missing.ready() && badHeader.ready(), kWaitMs);
        const auto &response = std::get<HttpResponse>(*ok.result);
        QCOMPARE(response.status, 200L);
        QCOMPARE(response.body, QByteArray(1234, '\0'));
        const auto length = std::find_if(response.headers.begin(), response.headers.end(),
                                         [](const auto &h) { return h.first == "Content-Length"; });
        QVERIFY(length != response.headers.end());
        QCOMPARE(length->second, std::string("1234"));
        QCOMPARE(std::get<HttpResponse>(*missing.result).status, 404L);
        QVERIFY(!std::get<HttpResponse>(*missing.result).body.isEmpty());
        QCOMPARE(std::get<HttpError>(*badHeader.result).code(), Code::other);
        // The fetch with a bad header never left the client.
        QCOMPARE(m_server->requests().size(), std::size_t(2));
    }

    void selfSignedCertificateIsRejected()
    {
        if (!QFile::exists(QStringLiteral("/usr/bin/openssl")))
            QSKIP("no openssl program to make a test certificate with");
        QTemporaryDir dir;
        const QString cert = dir.filePath(QStringLiteral("cert.pem"));
        const QString key = dir.filePath(QStringLiteral("key.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("/usr/bin/openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                       "/CN=127.0.0.1", "-keyout", key, "-out", cert});
        QVERIFY(openssl.waitForFinished(60000));
        QCOMPARE(openssl.exitCode(), 0);
        SpeedTestServer::Options options;
        options.certFile = cert.toStdString();
        options.keyFile = key.toStdString();
        SpeedTestServer tls(options);
        QVERIFY2(tls.start(), tls.errorString().c_str());
        auto s = session();
        FetchBox box;
        s->fetch(request(tls.url() + "/__down?bytes=10"), box.callback());
        QTRY_VERIFY_WITH_TIMEOUT(box.ready(), kWaitMs);
        const auto &error = std::get<HttpError>(*box.result);
        QCOMPARE(error.code(), Code::other);
        QVERIFY2(error.description().contains(QLatin1String("TLS")), qPrintable(error.description()));
        QVERIFY(tls.requests().empty());
    }

    void lastReferenceDroppedOnTheIoThread()
    {
        auto s = session();
        auto holder = std::make_shared<std::shared_ptr<HttpSession>>(s);
        std::atomic<bool> called{false};
        s->fetch(request(url(10)), [holder, &called](FetchResult) {
            holder->reset(); // destroys the session here, on its own I/O thread
            called = true;
        });
        s.reset();
        QTRY_VERIFY_WITH_TIMEOUT(called.load(), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(HttpDiagnostics::liveIoThreads(), 0, kWaitMs);
    }
};

QTEST_GUILESS_MAIN(TestHttpSession)
#include "tst_httpsession.moc"
