// The measurement server's fault injection: how rules combine and what a
// client sees of each fault, against an in-process server on 127.0.0.1.
#include <httplib.h>

#include "faultplan.h"
#include "serverclient.h"
#include "speedtestserver.h"

#include <QElapsedTimer>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

using namespace std::chrono_literals;

namespace {

// One GET on a socket of our own, to tell a clean close from a reset.
struct RawResponse {
    int status = 0;
    std::int64_t bodyBytes = 0;
    bool reset = false;      // ECONNRESET
    bool closed = false;     // orderly end of stream
};

RawResponse rawGet(int port, const std::string &target)
{
    RawResponse r;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{5, 0}; // well below the server's keep-alive timeout
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return r;
    }
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string head;
    std::int64_t total = 0;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n == 0) {
            r.closed = true;
            break;
        }
        if (n < 0) {
            r.reset = errno == ECONNRESET;
            break;
        }
        if (head.size() < 4096)
            head.append(buffer, static_cast<size_t>(std::min<ssize_t>(n, 4096)));
        total += n;
    }
    ::close(fd);
    const auto end = head.find("\r\n\r\n");
    if (head.starts_with("HTTP/1.1 ") && end != std::string::npos) {
        r.status = std::stoi(head.substr(9, 3));
        r.bodyBytes = total - static_cast<std::int64_t>(end + 4);
    }
    return r;
}

struct Timed {
    int status = 0;
    std::int64_t bytes = 0;
    httplib::Error error = httplib::Error::Unknown;
    std::int64_t elapsedMs = 0;
    // The longest silence within the body, and the bytes that came before it.
    std::int64_t longestGapMs = 0;
    std::int64_t bytesBeforeGap = 0;
};

Timed timedGet(httplib::Client &client, const std::string &target)
{
    Timed t;
    QElapsedTimer clock;
    clock.start();
    std::int64_t last = -1;
    auto result = client.Get(target, [&](const char *, size_t n) {
        const std::int64_t now = clock.elapsed();
        if (last >= 0 && now - last > t.longestGapMs) {
            t.longestGapMs = now - last;
            t.bytesBeforeGap = t.bytes;
        }
        last = now;
        t.bytes += static_cast<std::int64_t>(n);
        return true;
    });
    t.elapsedMs = clock.elapsed();
    t.error = result.error();
    if (result)
        t.status = result->status;
    return t;
}

FaultRule rule(int nth, std::string path)
{
    FaultRule r;
    r.nth = nth;
    r.path = std::move(path);
    return r;
}

} // namespace

Q_DECLARE_METATYPE(std::vector<FaultRule>)

class TstServerFaults : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rulesCombine_data();
    void rulesCombine();
    void statusFault_data();
    void statusFault();
    void headDelayIsObserved();
    void stallPausesThenResumes();
    void closeAfterBytes_data();
    void closeAfterBytes();
    void closeDuringUpload();
    void throttleSlowsBothWays();
    void stopEndsStall();

private:
    std::unique_ptr<SpeedTestServer> m_server;
};

void TstServerFaults::init()
{
    m_server = std::make_unique<SpeedTestServer>();
    QVERIFY2(m_server->start(), m_server->errorString().c_str());
}

void TstServerFaults::cleanup()
{
    m_server.reset();
}

void TstServerFaults::rulesCombine_data()
{
    QTest::addColumn<std::vector<FaultRule>>("rules");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("headDelayMs");
    QTest::addColumn<qint64>("closeAfter");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<qint64>("throttle");
    QTest::addColumn<int>("stalls");

    FaultRule slow = rule(0, "");
    slow.throttleBytesPerSecond = 5000;
    slow.headDelay = 30ms;
    FaultRule slower = rule(0, "/__down");
    slower.throttleBytesPerSecond = 1000;
    slower.headDelay = 20ms;
    slower.status = 502;
    FaultRule cutLate = rule(2, "");
    cutLate.closeAfterBytes = 900;
    cutLate.stallAfterBytes = 10;
    cutLate.stallFor = 5ms;
    FaultRule resetEarly = rule(0, "");
    resetEarly.closeAfterBytes = 100;
    resetEarly.reset = true;
    resetEarly.stallAfterBytes = 5;
    resetEarly.stallFor = 5ms;
    FaultRule elsewhere = rule(0, "/__up");
    elsewhere.status = 500;

    using Rules = std::vector<FaultRule>;
    QTest::newRow("none match") << Rules{elsewhere} << 1 << 0 << 0 << qint64(-1) << false << qint64(0) << 0;
    QTest::newRow("delays add, lowest throttle wins")
        << Rules{slow, slower, elsewhere} << 1 << 502 << 50 << qint64(-1) << false << qint64(1000) << 0;
    QTest::newRow("nth other request") << Rules{cutLate} << 1 << 0 << 0 << qint64(-1) << false << qint64(0) << 0;
    QTest::newRow("lowest close wins with its reset")
        << Rules{cutLate, resetEarly} << 2 << 0 << 0 << qint64(100) << true << qint64(0) << 2;
}

void TstServerFaults::rulesCombine()
{
    QFETCH(std::vector<FaultRule>, rules);
    QFETCH(int, position);
    FaultPlan plan = FaultPlan::serverWide(0, 0ms);
    plan.apply(rules, position, "/__down");
    QTEST(plan.status, "status");
    QTEST(int(plan.headDelay.count()), "headDelayMs");
    QTEST(qint64(plan.closeAfter), "closeAfter");
    QTEST(plan.reset, "reset");
    QTEST(qint64(plan.throttle), "throttle");
    QTEST(int(plan.stalls.size()), "stalls");
    for (size_t i = 1; i < plan.stalls.size(); ++i)
        QVERIFY(plan.stalls[i - 1].first <= plan.stalls[i].first);
}

void TstServerFaults::statusFault_data()
{
    QTest::addColumn<int>("nth");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    // Statuses of: download, upload, download, download (all of 5000 bytes).
    QTest::addColumn<QList<int>>("expected");
    QTest::addColumn<QList<qint64>>("bodies");
    QTest::newRow("second request") << 2 << "" << 503 << QList<int>{200, 503, 200, 200}
                                    << QList<qint64>{5000, -1, 5000, 5000};
    QTest::newRow("every upload") << 0 << "/__up" << 500 << QList<int>{200, 500, 200, 200}
                                  << QList<qint64>{5000, -1, 5000, 5000};
    QTest::newRow("third, body kept") << 3 << "/__down" << 500 << QList<int>{200, 200, 500, 200}
                                      << QList<qint64>{5000, 0, 5000, 5000};
    QTest::newRow("no content") << 0 << "/__down" << 204 << QList<int>{204, 200, 204, 204}
                                << QList<qint64>{0, 0, 0, 0};
}

void TstServerFaults::statusFault()
{
    QFETCH(int, nth);
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QList<int>, expected);
    QFETCH(QList<qint64>, bodies);
    FaultRule r = rule(nth, path.toStdString());
    r.status = status;
    m_server->addFault(r);

    auto client = clientFor(m_server->port());
    QList<int> statuses;
    QList<qint64> sizes;
    for (int i = 0; i < 4; ++i) {
        if (i == 1) {
            auto result = client->Post("/__up", std::string(3000, 'x'), "application/octet-stream");
            QVERIFY(result);
            statuses << result->status;
            // An error answer may carry a text line; a success never has a body.
            sizes << (result->status == 200 ? qint64(result->body.size()) : qint64(-1));
            if (result->status == 200)
                QVERIFY(result->body.empty());
        } else {
            const Timed t = timedGet(*client, "/__down?bytes=5000");
            QCOMPARE(t.error, httplib::Error::Success);
            statuses << t.status;
            sizes << t.bytes;
        }
    }
    QCOMPARE(statuses, expected);
    QCOMPARE(sizes, bodies);
    QCOMPARE(m_server->requests().at(1).bodyBytes, std::int64_t(3000));
}

void TstServerFaults::headDelayIsObserved()
{
    FaultRule r = rule(2, "");
    r.headDelay = 600ms;
    m_server->addFault(r);
    auto client = clientFor(m_server->port());
    QCOMPARE(timedGet(*client, "/__down?bytes=10").status, 200);
    const Timed delayed = timedGet(*client, "/__down?bytes=10");
    QCOMPARE(delayed.status, 200);
    QCOMPARE(delayed.bytes, std::int64_t(10));
    QVERIFY2(delayed.elapsedMs >= 590, qPrintable(QString::number(delayed.elapsedMs)));
}

void TstServerFaults::stallPausesThenResumes()
{
    FaultRule r = rule(0, "/__down");
    r.stallAfterBytes = 100000;
    r.stallFor = 800ms;
    m_server->addFault(r);
    auto client = clientFor(m_server->port());
    const Timed t = timedGet(*client, "/__down?bytes=300000");
    QCOMPARE(t.error, httplib::Error::Success);
    QCOMPARE(t.bytes, std::int64_t(300000));
    // The silence falls exactly where the rule puts it.
    QCOMPARE(t.bytesBeforeGap, std::int64_t(100000));
    QVERIFY2(t.longestGapMs >= 400, qPrintable(QString::number(t.longestGapMs)));
}

void TstServerFaults::closeAfterBytes_data()
{
    QTest::addColumn<qint64>("closeAfter");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<qint64>("body");
    QTest::newRow("orderly close") << qint64(300000) << false << qint64(300000);
    QTest::newRow("reset") << qint64(300000) << true << qint64(300000);
    QTest::newRow("before the first byte") << qint64(0) << false << qint64(0);
    QTest::newRow("beyond the body: after the response") << qint64(2000000) << false << qint64(1000000);
}

void TstServerFaults::closeAfterBytes()
{
    QFETCH(qint64, closeAfter);
    QFETCH(bool, reset);
    QFETCH(qint64, body);
    FaultRule r = rule(0, "/__down");
    r.closeAfterBytes = closeAfter;
    r.reset = reset;
    m_server->addFault(r);

    // Our request keeps the connection; only the fault may end it.
    const RawResponse raw = rawGet(m_server->port(), "/__down?bytes=1000000");
    QCOMPARE(raw.status, 200);
    QCOMPARE(raw.bodyBytes, body);
    QCOMPARE(raw.reset, reset);
    QCOMPARE(raw.closed, !reset);

    // An ordinary client sees a short body as an error.
    auto client = clientFor(m_server->port());
    const Timed t = timedGet(*client, "/__down?bytes=1000000");
    QCOMPARE(t.error == httplib::Error::Success, body == 1000000);
    QVERIFY(t.bytes <= body);
}

void TstServerFaults::closeDuringUpload()
{
    FaultRule r = rule(0, "/__up");
    r.closeAfterBytes = 100000;
    m_server->addFault(r);
    auto client = clientFor(m_server->port());
    auto result = client->Post("/__up", std::string(2'000'000, 'x'), "application/octet-stream");
    QVERIFY(!result || result->status != 200);
    const auto records = m_server->requests();
    QCOMPARE(records.size(), size_t(1));
    QVERIFY(records[0].bodyBytes >= 100000);
    QVERIFY(records[0].bodyBytes < 2'000'000);
    // The server goes on serving.
    auto fresh = clientFor(m_server->port());
    QCOMPARE(timedGet(*fresh, "/__down?bytes=5").status, 200);
}

void TstServerFaults::throttleSlowsBothWays()
{
    m_server.reset();
    SpeedTestServer::Options options;
    options.throttleBytesPerSecond = 400'000;
    m_server = std::make_unique<SpeedTestServer>(options);
    QVERIFY(m_server->start());
    auto client = clientFor(m_server->port());

    // 400 kB at 400 kB/s takes a second; accept anything from half of it.
    const Timed down = timedGet(*client, "/__down?bytes=400000");
    QCOMPARE(down.bytes, std::int64_t(400000));
    QVERIFY2(down.elapsedMs >= 500, qPrintable(QString::number(down.elapsedMs)));

    QElapsedTimer clock;
    clock.start();
    auto up = client->Post("/__up", std::string(400'000, 'x'), "application/octet-stream");
    QVERIFY(up);
    QCOMPARE(up->status, 200);
    QVERIFY2(clock.elapsed() >= 500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_server->requests().at(1).bodyBytes, std::int64_t(400000));

    // A rule may only slow a body further.
    FaultRule r = rule(0, "/__down");
    r.throttleBytesPerSecond = 100'000;
    m_server->addFault(r);
    const Timed slower = timedGet(*client, "/__down?bytes=100000");
    QCOMPARE(slower.bytes, std::int64_t(100000));
    QVERIFY2(slower.elapsedMs >= 500, qPrintable(QString::number(slower.elapsedMs)));
}

void TstServerFaults::stopEndsStall()
{
    FaultRule r = rule(0, "/__down");
    r.stallAfterBytes = 1000;
    r.stallFor = std::chrono::minutes(10);
    m_server->addFault(r);
    FaultRule delayed = rule(0, "/__up");
    delayed.headDelay = std::chrono::minutes(10);
    m_server->addFault(delayed);

    std::atomic<int> finished{0};
    std::atomic<std::int64_t> received{0};
    std::jthread downloader([&] {
        auto client = clientFor(m_server->port());
        client->set_read_timeout(600);
        client->Get("/__down?bytes=100000", [&](const char *, size_t n) {
            received += static_cast<std::int64_t>(n);
            return true;
        });
        ++finished;
    });
    std::jthread uploader([&] {
        auto client = clientFor(m_server->port());
        client->set_read_timeout(600);
        client->Post("/__up", std::string(10, 'x'), "text/plain");
        ++finished;
    });
    QTRY_COMPARE_WITH_TIMEOUT(received.load(), std::int64_t(1000), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), size_t(2), 10000);
    // Both now wait for ten minutes; stop() must end that at once.
    m_server->stop();
    QTRY_COMPARE_WITH_TIMEOUT(finished.load(), 2, 20000);
    downloader.join();
    uploader.join();
    QCOMPARE(received.load(), std::int64_t(1000));
}

QTEST_GUILESS_MAIN(TstServerFaults)
#include "tst_server_faults.moc"
