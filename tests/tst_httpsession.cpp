// The HTTP client against the local speed-test server on 127.0.0.1, seen
// through the transfer phases' event receiver: bytes counted in both
// directions, connections, refusals, timeouts, faults, TLS, invalidation and
// clean shutdown; each libcurl call failing; the socket counters behind the
// live download count, against segments sent by hand; then how curl's
// results become errors.
#include "curlapi.h"
#include "curlerror.h"
#include "httpdiagnostics.h"
#include "httpsession.h"
#include "linkcount.h"
#include "speedtest.h"
#include "speedtestserver.h"
#include "transferdelegate.h"

#include <QtEndian>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <numeric>
#include <poll.h>
#include <sched.h>
#include <set>
#include <sys/ioctl.h>
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

enum class Call { multiInit, multiSetopt, addHandle, removeHandle, perform, poll, wakeup, infoRead, timeout, easyInit };

// libcurl, except that one kind of call fails from its `after`-th call on.
class FaultyCurl final : public CurlApi {
public:
    FaultyCurl(Call call, int after) : m_call(call), m_after(after) {}
    CURLM *multiInit() override { return fails(Call::multiInit) ? nullptr : CurlApi::multiInit(); }
    CURLMcode multiSetopt(CURLM *m, CURLMoption o, long v) override
    {
        return fails(Call::multiSetopt) ? kBroken : CurlApi::multiSetopt(m, o, v);
    }
    CURLMcode addHandle(CURLM *m, CURL *e) override { return fails(Call::addHandle) ? kBroken : CurlApi::addHandle(m, e); }
    CURLMcode removeHandle(CURLM *m, CURL *e) override { return fails(Call::removeHandle) ? kBroken : CurlApi::removeHandle(m, e); }
    CURLMcode perform(CURLM *m, int *n) override { return fails(Call::perform) ? kBroken : CurlApi::perform(m, n); }
    CURLMcode poll(CURLM *m, curl_waitfd *w, unsigned n, int ms) override
    {
        return fails(Call::poll) ? kBroken : CurlApi::poll(m, w, n, ms);
    }
    CURLMcode wakeup(CURLM *m) override { return fails(Call::wakeup) ? kBroken : CurlApi::wakeup(m); }
    CURLMsg *infoRead(CURLM *m, int *n) override { return fails(Call::infoRead) ? nullptr : CurlApi::infoRead(m, n); }
    CURLMcode timeout(CURLM *m, long *ms) override { return fails(Call::timeout) ? kBroken : CurlApi::timeout(m, ms); }
    CURL *easyInit() override { return fails(Call::easyInit) ? nullptr : CurlApi::easyInit(); }

private:
    static constexpr CURLMcode kBroken = CURLM_INTERNAL_ERROR;
    bool fails(Call call) { return call == m_call && m_made++ >= m_after; }
    const Call m_call;
    const int m_after;
    std::atomic<int> m_made{0};
};

struct CurlFault {
    Call call;
    int after = 0;
    std::optional<Code> code; // how each transfer ends; none: it completes
    const char *mentions = ""; // curl's call or text, in the error's description
};

// The far end of a TCP connection, played by hand behind a TUN device in a
// network namespace of this thread's own (root only; the thread goes home
// when the peer is destroyed), so that its segments can come out of order
// and twice. Segments carry `kSegment` bytes each.
class TunPeer {
public:
    static constexpr int kSegment = 1000;
    ~TunPeer()
    {
        ::close(m_tun);
        if (m_home >= 0 && setns(m_home, CLONE_NEWNET) != 0)
            qFatal("could not return to the test's network namespace");
        ::close(m_home);
    }
    bool open()
    {
        m_home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (m_home < 0 || unshare(CLONE_NEWNET) != 0)
            return false;
        ifreq request{};
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strcpy(request.ifr_name, "qv0");
        m_tun = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        return m_tun >= 0 && ioctl(m_tun, TUNSETIFF, &request) == 0
            && QProcess::execute("ip", {"addr", "add", "10.91.0.1/24", "dev", "qv0"}) == 0
            && QProcess::execute("ip", {"link", "set", "qv0", "up"}) == 0;
    }
    // Answers the next connection attempt; with `request`, also waits for
    // the client's first data (one segment) and acknowledges it.
    bool accept(bool request = false)
    {
        QByteArray p = next();
        if (p.isEmpty() || !(p[33] & 0x02))
            return false; // not a SYN
        m_port = qFromBigEndian<quint16>(p.constData() + 20);
        m_acked = qFromBigEndian<quint32>(p.constData() + 24) + 1;
        send(-1, QByteArray(), 0x12); // SYN-ACK, our sequence starting at 0
        for (qsizetype data = 0; request && !(p = next()).isEmpty();) {
            if ((data = p.size() - 20 - (uchar(p[32]) >> 4) * 4) > 0) {
                m_acked += quint32(data);
                return true;
            }
        }
        return !request;
    }
    // Segment k of the stream (bytes k*kSegment onwards); `data` or x's.
    void segment(int k, QByteArray data = {})
    {
        send(k * kSegment, data.isEmpty() ? QByteArray(kSegment, 'x') : data, 0x18); // PSH-ACK
    }

private:
    // The next IPv4 TCP packet from the client, or nothing within the wait.
    QByteArray next()
    {
        pollfd waiting{m_tun, POLLIN, 0};
        char packet[2048];
        while (::poll(&waiting, 1, kWaitMs) == 1) {
            const ssize_t n = ::read(m_tun, packet, sizeof packet);
            if (n >= 40 && (packet[0] >> 4) == 4 && packet[9] == IPPROTO_TCP)
                return QByteArray(packet, n);
        }
        return {};
    }
    static quint16 checksum(const uchar *p, std::size_t n, quint32 sum)
    {
        for (std::size_t i = 0; i < n; i += 2)
            sum += quint32(p[i]) << 8 | (i + 1 < n ? p[i + 1] : 0);
        sum = (sum & 0xffff) + (sum >> 16);
        return quint16(~(sum + (sum >> 16)));
    }
    // From 10.91.0.2:80, with no options: the client keeps its default
    // segment size, and learns ours from the segments.
    void send(int offset, const QByteArray &payload, uchar flags)
    {
        const int total = 40 + int(payload.size());
        uchar p[40 + kSegment] = {0x45, 0, uchar(total >> 8), uchar(total), 0, 0, 0, 0, 64, IPPROTO_TCP, 0, 0, 10, 91, 0, 2,
                                  10, 91, 0, 1, 0, 80, uchar(m_port >> 8), uchar(m_port)};
        qToBigEndian(checksum(p, 20, 0), p + 10);
        qToBigEndian(quint32(offset + 1), p + 24); // the SYN takes sequence number 0
        qToBigEndian(m_acked, p + 28);
        p[32] = 5 << 4; // header length: 5 words
        p[33] = flags;
        qToBigEndian(quint16(65535), p + 34); // window
        std::memcpy(p + 40, payload.constData(), std::size_t(payload.size()));
        const quint32 pseudo = 0x0a5b + 2 + 0x0a5b + 1 + IPPROTO_TCP + quint32(total - 20); // addresses, protocol, length
        qToBigEndian(checksum(p + 20, std::size_t(total - 20), pseudo), p + 36);
        QCOMPARE(::write(m_tun, p, std::size_t(total)), ssize_t(total));
    }

    int m_home = -1, m_tun = -1;
    quint16 m_port = 0;
    quint32 m_acked = 0; // the client's next sequence number
};

struct Arrivals {
    std::vector<int> segments; // in the order sent
    QList<quint64> counted; // inOrder, dataSegments, outOfOrder, segmentSize, then the bytes held
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
Q_DECLARE_METATYPE(CurlFault)
Q_DECLARE_METATYPE(Arrivals)

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
        QTest::newRow("self-signed certificate") << Failure{.target = m_tls->url() + "/", .code = Code::tlsFailed};
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

    // Whichever libcurl call fails, mid-transfer where there is one, each
    // transfer and fetch still ends, the session can be invalidated, and no
    // easy handle or thread is left (cleanup()).
    void everyTransferEndsWhenCurlFails_data()
    {
        QTest::addColumn<CurlFault>("fault");
        QTest::newRow("no multi handle") << CurlFault{Call::multiInit, 0, Code::clientFailed, "multi handle"};
        QTest::newRow("multi option refused") << CurlFault{Call::multiSetopt, 1, Code::clientFailed, "curl_multi_setopt"};
        QTest::newRow("handle not added") << CurlFault{Call::addHandle, 0, Code::clientFailed, "curl_multi_add_handle"};
        QTest::newRow("no easy handle") << CurlFault{Call::easyInit, 0, Code::setupFailed, "could not make a handle"};
        QTest::newRow("perform fails") << CurlFault{Call::perform, 3, Code::clientFailed, "Internal error"};
        QTest::newRow("poll fails") << CurlFault{Call::poll, 3, Code::clientFailed, "curl_multi_poll"};
        QTest::newRow("timeout fails") << CurlFault{Call::timeout, 3, Code::clientFailed, "curl_multi_timeout"};
        QTest::newRow("finished transfers unreported") << CurlFault{Call::infoRead, 3, Code::clientFailed, "info_read"};
        // Survivable: our own wake-up stands in; curl detaches a handle as it frees it.
        QTest::newRow("wake-up fails") << CurlFault{Call::wakeup, 0};
        QTest::newRow("handle not removed") << CurlFault{Call::removeHandle, 0};
    }
    void everyTransferEndsWhenCurlFails()
    {
        QFETCH(CurlFault, fault);
        m_server->addFault({.throttleBytesPerSecond = 1'000'000}); // 0.3 s a transfer
        m_delegate = std::make_shared<TransferDelegate>();
        auto s = HttpSession::create({20s, 6, m_delegate, std::make_shared<FaultyCurl>(fault.call, fault.after)});
        std::vector<HttpTransfer> transfers;
        for (int i = 0; i < 3; ++i)
            transfers.push_back(transfer(*s, m_server->url(), false, QByteArray(300'000, 'x')));
        QStringList ends, late;
        auto task = launch(transfers, &ends);
        const auto fetched = fetchNow(*s, {.url = m_server->url() + "/__down?bytes=300000"});
        QTRY_VERIFY_WITH_TIMEOUT(task.isFinished(), kWaitMs);
        QCOMPARE(ends, QStringList(3, outcome(fault.code)));
        QVERIFY(fetched);
        if (fault.code) {
            const HttpError &error = std::get<HttpError>(*fetched);
            QCOMPARE(error.code(), *fault.code);
            const QString message = SpeedTest::describe(std::make_exception_ptr(error));
            QVERIFY2(message.startsWith(QLatin1String("The test couldn't finish: "))
                         && message.contains(QLatin1String(fault.mentions)),
                     qPrintable(message));
        } else {
            QCOMPARE(std::get<HttpResponse>(*fetched).body.size(), 300'000);
        }
        s->invalidate();
        auto lateTask = launch({transfer(*s, m_server->url(), false, {})}, &late);
        QTRY_COMPARE_WITH_TIMEOUT(late, QStringList(outcome(Code::cancelled)), kWaitMs);
    }

    // What a socket's counters count, from segments sent by hand (each
    // reading taken after a segment), and the bytes held past a gap that the
    // live download count adds from them.
    void countersTellWhatArrived_data()
    {
        QTest::addColumn<Arrivals>("arrivals");
        QTest::newRow("in order") << Arrivals{{0, 1, 2}, {3000, 3, 0, 1000, 0}};
        QTest::newRow("past a gap") << Arrivals{{0, 2, 3}, {1000, 3, 2, 1000, 2000}};
        QTest::newRow("a duplicate past the gap counts") << Arrivals{{0, 2, 2}, {1000, 3, 2, 1000, 2000}};
        QTest::newRow("a gap of two half filled") << Arrivals{{0, 3, 4, 1}, {2000, 4, 2, 1000, 2000}};
        QTest::newRow("the gap filled") << Arrivals{{0, 2, 3, 1}, {4000, 4, 2, 1000, 0}};
        QTest::newRow("an old duplicate") << Arrivals{{0, 1, 0}, {2000, 3, 0, 1000, 0}};
    }
    void countersTellWhatArrived()
    {
        QFETCH(Arrivals, arrivals);
        TunPeer peer;
        QVERIFY2(peer.open(), "needs root: a network namespace and a TUN device");
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in to{.sin_family = AF_INET, .sin_port = htons(80), .sin_addr = {inet_addr("10.91.0.2")}, .sin_zero = {}};
        ::connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to);
        QVERIFY(peer.accept());
        std::optional<TcpReceived> c = tcpReceived(client);
        QVERIFY(c);
        HeldBytes held(*c);
        quint64 heldNow = 0;
        for (int k : arrivals.segments) {
            peer.segment(k);
            c = tcpReceived(client);
            heldNow = quint64(held.update(*c));
        }
        ::close(client);
        QCOMPARE((QList<quint64>{c->inOrder, c->dataSegments, c->outOfOrder, c->segmentSize, heldNow}), arrivals.counted);
    }

    // A download counts what reached its socket past a gap before the gap is
    // filled, and still ends with exactly its body.
    void downloadCountsBytesPastAGap()
    {
        TunPeer peer;
        QVERIFY2(peer.open(), "needs root: a network namespace and a TUN device");
        qputenv("no_proxy", "*");
        auto s = session(20s); // its I/O thread lives in the peer's namespace
        QStringList ends;
        auto task = launch({s->dataTransfer({.url = "http://10.91.0.2/"})}, &ends);
        QVERIFY(peer.accept(true));
        // A head of one whole segment, so that every segment is as long.
        QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: 4000\r\nX-Fill: ";
        head += QByteArray(TunPeer::kSegment - head.size() - 4, 'f') + "\r\n\r\n";
        peer.segment(0, head);
        for (int k : {1, 3, 4}) // body bytes 0-999, then 2000-3999 past a gap
            peer.segment(k);
        QTRY_COMPARE_WITH_TIMEOUT(m_delegate->bytes(), 3000, kWaitMs);
        peer.segment(2);
        QTRY_VERIFY_WITH_TIMEOUT(task.isFinished(), kWaitMs);
        QCOMPARE(ends, QStringList(outcome({})));
        QCOMPARE(m_delegate->bytes(), 4000);
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
        QCOMPARE(std::get<HttpError>(*injected).code(), Code::setupFailed);
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
                          "certificate has expired", Code::tlsFailed};
        QTest::newRow("handshake failure is a TLS error")
            << CurlResult{CURLE_SSL_CONNECT_ERROR, 0, "", "TLS", Code::tlsFailed};
        QTest::newRow("malformed URL keeps curl's reason")
            << CurlResult{CURLE_URL_MALFORMAT, 0, "Port number was not a decimal number", "decimal", Code::setupFailed};
        QTest::newRow("curl out of memory") << CurlResult{CURLE_OUT_OF_MEMORY, 0, "", "Out of memory", Code::clientFailed};
        QTest::newRow("a code nothing expects") << CurlResult{CURLE_TOO_MANY_REDIRECTS, 0, "", "redirects", Code::other};
        QTest::newRow("garbled reply") << CurlResult{CURLE_WEIRD_SERVER_REPLY, 0, "", "understood", Code::badServerResponse};
    }
    void curlResultsBecomeErrors()
    {
        QFETCH(CurlResult, result);
        const HttpError error = httpErrorFromCurl(result.curl, result.osErrno, result.detail);
        QCOMPARE(error.code(), result.code);
        QVERIFY2(error.description().contains(QLatin1String(result.mentions), Qt::CaseInsensitive),
                 qPrintable(error.description()));
    }
};

QTEST_GUILESS_MAIN(TestHttpSession)
#include "tst_httpsession.moc"
