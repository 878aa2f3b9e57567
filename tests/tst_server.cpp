// The measurement server's protocol, records, connection handling and
// binary, against an in-process server on 127.0.0.1.
#include <httplib.h>

#include "serverclient.h"
#include "speedtestserver.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

struct Download {
    int status = 0;
    std::int64_t bytes = 0;
    bool allZero = true;
    std::string contentLength;
    httplib::Error error = httplib::Error::Unknown;
};

Download download(httplib::Client &client, const std::string &target)
{
    Download d;
    auto result = client.Get(target, [&](const char *data, size_t n) {
        d.bytes += static_cast<std::int64_t>(n);
        d.allZero = d.allZero && std::all_of(data, data + n, [](char c) { return c == 0; });
        return true;
    });
    d.error = result.error();
    if (result) {
        d.status = result->status;
        d.contentLength = result->get_header_value("Content-Length");
    }
    return d;
}

// Streams bytes of 'u' without holding the whole body.
httplib::Result upload(httplib::Client &client, std::int64_t bytes, bool chunked = false)
{
    static const std::string chunk(64 * 1024, 'u');
    if (chunked) {
        return client.Post(
            "/__up",
            [bytes](size_t offset, httplib::DataSink &sink) {
                const auto left = static_cast<size_t>(bytes) - offset;
                if (left == 0)
                    sink.done();
                return left == 0 || sink.write(chunk.data(), std::min(left, chunk.size()));
            },
            "application/octet-stream");
    }
    return client.Post(
        "/__up", static_cast<size_t>(bytes),
        [](size_t offset, size_t length, httplib::DataSink &sink) {
            (void)offset;
            return sink.write(chunk.data(), std::min(length, chunk.size()));
        },
        "application/octet-stream");
}

// Writes a request on a socket of our own and reads until the server closes
// (or 10 s pass), to see exactly what is on the wire.
struct RawReply {
    std::string bytes;
    bool closed = false;
};

RawReply rawExchange(int port, const std::string &request)
{
    RawReply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0
        && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0)
            reply.bytes.append(buffer, static_cast<size_t>(n));
        reply.closed = n == 0;
    }
    ::close(fd);
    return reply;
}

} // namespace

class TstServer : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void downloadsExactSizes_data();
    void downloadsExactSizes();
    void uploadIsCountedAndAnswered_data();
    void uploadIsCountedAndAnswered();
    void uploadWithoutBodyHeadersIsEmpty();
    void unroutedMethodClosesConnection();
    void badInputIsRefusedAndServingGoesOn_data();
    void badInputIsRefusedAndServingGoesOn();
    void recordsDescribeRequests();
    void keepAliveSurvivesPauses();
    void manyKeepAliveConnectionsAreServed();
    void stopWithClientsConnected();
    void binaryServesAndStops();
    void binaryRefusesBadOption();

private:
    std::unique_ptr<SpeedTestServer> m_server;
};

void TstServer::init()
{
    m_server = std::make_unique<SpeedTestServer>();
    QVERIFY2(m_server->start(), m_server->errorString().c_str());
    QVERIFY(m_server->port() > 0);
    QCOMPARE(m_server->url(), "http://127.0.0.1:" + std::to_string(m_server->port()));
}

void TstServer::cleanup()
{
    m_server.reset();
}

void TstServer::downloadsExactSizes_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("zero") << qint64(0);
    QTest::newRow("one") << qint64(1);
    QTest::newRow("thousand") << qint64(1000);
    QTest::newRow("several chunks and a part") << qint64(5 * 256 * 1024 + 12345);
}

void TstServer::downloadsExactSizes()
{
    QFETCH(qint64, bytes);
    auto client = clientFor(m_server->port());
    const Download d = download(*client, "/__down?bytes=" + std::to_string(bytes) + "&r=0.42");
    QCOMPARE(d.error, httplib::Error::Success);
    QCOMPARE(d.status, 200);
    QCOMPARE(d.contentLength, std::to_string(bytes));
    QCOMPARE(d.bytes, bytes);
    QVERIFY(d.allZero);
}

void TstServer::uploadIsCountedAndAnswered_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<bool>("chunked");
    QTest::newRow("empty") << qint64(0) << false;
    QTest::newRow("several megabytes") << qint64(7 * 1024 * 1024 + 3) << false;
    QTest::newRow("several megabytes, chunked") << qint64(5 * 1024 * 1024 + 7) << true;
}

void TstServer::uploadIsCountedAndAnswered()
{
    QFETCH(qint64, bytes);
    QFETCH(bool, chunked);
    auto client = clientFor(m_server->port());
    auto result = upload(*client, bytes, chunked);
    QVERIFY(result);
    QCOMPARE(result->status, 200);
    QCOMPARE(result->body, std::string());
    const auto records = m_server->requests();
    QCOMPARE(records.size(), size_t(1));
    QCOMPARE(records[0].bodyBytes, bytes);
    QCOMPARE(records[0].contentType, std::string("application/octet-stream"));
}

// No Content-Length and no chunked coding means no body; the server must not
// wait for one until the client gives up.
void TstServer::uploadWithoutBodyHeadersIsEmpty()
{
    const RawReply reply = rawExchange(
        m_server->port(), "POST /__up HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QVERIFY2(reply.closed, "no complete answer before the client's timeout");
    QVERIFY(reply.bytes.starts_with("HTTP/1.1 200 "));
}

// Methods we have no handler for are refused, and as their body was not
// read the connection must end with the answer.
void TstServer::unroutedMethodClosesConnection()
{
    const RawReply reply = rawExchange(
        m_server->port(), "TRACE /__up HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc");
    QVERIFY(reply.bytes.starts_with("HTTP/1.1 405 "));
    QVERIFY2(reply.closed, "the connection stayed open");
    QCOMPARE(m_server->requests().size(), size_t(1));
}

void TstServer::badInputIsRefusedAndServingGoesOn_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("allow");
    const QString aboveCap = "/__down?bytes=" + QString::number(SpeedTestServer::maxBytes + 1);
    QTest::newRow("bytes missing") << "GET" << "/__down?r=1" << "" << 400 << "";
    QTest::newRow("bytes negative") << "GET" << "/__down?bytes=-1" << "" << 400 << "";
    QTest::newRow("bytes not a number") << "GET" << "/__down?bytes=abc" << "" << 400 << "";
    QTest::newRow("bytes empty") << "GET" << "/__down?bytes=" << "" << 400 << "";
    QTest::newRow("bytes above cap") << "GET" << aboveCap << "" << 400 << "";
    QTest::newRow("bytes overflowing") << "GET" << "/__down?bytes=99999999999999999999999" << "" << 400 << "";
    QTest::newRow("unknown path") << "GET" << "/speed" << "" << 404 << "";
    QTest::newRow("unknown path with body") << "POST" << "/speed" << "abc" << 404 << "";
    QTest::newRow("post to download") << "POST" << "/__down?bytes=5" << "abc" << 405 << "GET, HEAD";
    QTest::newRow("get of upload") << "GET" << "/__up" << "" << 405 << "POST";
    QTest::newRow("put to upload") << "PUT" << "/__up" << "abcdef" << 405 << "POST";
    QTest::newRow("delete of download") << "DELETE" << "/__down" << "" << 405 << "GET, HEAD";
}

void TstServer::badInputIsRefusedAndServingGoesOn()
{
    QFETCH(QString, method);
    QFETCH(QString, target);
    QFETCH(QString, body);
    QFETCH(int, status);
    QFETCH(QString, allow);
    auto client = clientFor(m_server->port());
    httplib::Request req;
    req.method = method.toStdString();
    req.path = target.toStdString();
    req.body = body.toStdString();
    if (!body.isEmpty())
        req.set_header("Content-Type", "text/plain");
    auto result = client->send(req);
    QVERIFY(result);
    QCOMPARE(result->status, status);
    QCOMPARE(result->get_header_value("Allow"), allow.toStdString());
    // One line of text: a message and its newline.
    QVERIFY(result->body.size() > 1);
    QCOMPARE(result->body.find('\n'), result->body.size() - 1);

    const auto records = m_server->requests();
    QCOMPARE(records.size(), size_t(1));
    QCOMPARE(records[0].method, method.toStdString());
    QCOMPARE(records[0].bodyBytes, std::int64_t(body.size()));

    const Download next = download(*client, "/__down?bytes=10");
    QCOMPARE(next.status, 200);
    QCOMPARE(next.bytes, std::int64_t(10));
    const auto after = m_server->requests();
    QCOMPARE(after.size(), size_t(2));
    QCOMPARE(after[1].remotePort, after[0].remotePort); // the connection was kept
}

void TstServer::recordsDescribeRequests()
{
    auto client = clientFor(m_server->port());
    QCOMPARE(download(*client, "/__down?bytes=3&r=a%20b+c").status, 200);
    auto up = client->Post("/__up?r=XYZ", std::string(1234, 'x'), "application/x-test");
    QVERIFY(up);
    QCOMPARE(client->Get("/elsewhere?x=1")->status, 404);

    const auto records = m_server->requests();
    QCOMPARE(records.size(), size_t(3));
    QCOMPARE(records[0].method, std::string("GET"));
    QCOMPARE(records[0].path, std::string("/__down"));
    QCOMPARE(records[0].query, std::string("bytes=3&r=a%20b+c"));
    QCOMPARE(records[0].param("r"), std::string("a b c"));
    QCOMPARE(records[0].param("bytes"), std::string("3"));
    QCOMPARE(records[0].param("absent"), std::string());
    QCOMPARE(records[0].bodyBytes, std::int64_t(0));
    QCOMPARE(records[1].method, std::string("POST"));
    QCOMPARE(records[1].path, std::string("/__up"));
    QCOMPARE(records[1].param("r"), std::string("XYZ"));
    QCOMPARE(records[1].contentType, std::string("application/x-test"));
    QCOMPARE(records[1].bodyBytes, std::int64_t(1234));
    QCOMPARE(records[2].path, std::string("/elsewhere"));
    QCOMPARE(records[2].query, std::string("x=1"));

    m_server->clearRequests();
    QVERIFY(m_server->requests().empty());
    QCOMPARE(download(*client, "/__down?bytes=1").status, 200);
    QCOMPARE(m_server->requests().size(), size_t(1));
}

void TstServer::keepAliveSurvivesPauses()
{
    auto client = clientFor(m_server->port());
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(download(*client, "/__down?bytes=100").status, 200);
        QTest::qWait(400);
    }
    const auto records = m_server->requests();
    QCOMPARE(records.size(), size_t(3));
    QCOMPARE(records[1].remotePort, records[0].remotePort);
    QCOMPARE(records[2].remotePort, records[0].remotePort);
}

// The library's default pool would leave the ninth keep-alive connection
// waiting until another one closed.
void TstServer::manyKeepAliveConnectionsAreServed()
{
    constexpr int connections = 12;
    std::vector<std::unique_ptr<httplib::Client>> clients;
    for (int i = 0; i < connections; ++i) {
        clients.push_back(clientFor(m_server->port()));
        QCOMPARE(download(*clients.back(), "/__down?bytes=1&c=" + std::to_string(i)).status, 200);
    }
    // Every connection is now open and idle; all of them ask again at once.
    std::atomic<int> done{0};
    std::atomic<int> ok{0};
    std::vector<std::jthread> threads;
    for (int i = 0; i < connections; ++i) {
        threads.emplace_back([&, i] {
            const Download d = download(*clients[i], "/__down?bytes=200000&c=" + std::to_string(i));
            ok += d.status == 200 && d.bytes == 200000;
            ++done;
        });
    }
    QTRY_COMPARE_WITH_TIMEOUT(done.load(), connections, 30000);
    for (auto &t : threads)
        t.join();
    QCOMPARE(ok.load(), connections);
    // Each connection served both of its requests: nothing was dropped to
    // make room for another.
    const auto records = m_server->requests();
    QCOMPARE(records.size(), size_t(2 * connections));
    for (int i = 0; i < connections; ++i) {
        std::vector<int> ports;
        for (const auto &r : records) {
            if (r.param("c") == std::to_string(i))
                ports.push_back(r.remotePort);
        }
        QCOMPARE(ports.size(), size_t(2));
        QCOMPARE(ports[0], ports[1]);
    }
}

void TstServer::stopWithClientsConnected()
{
    auto idle = clientFor(m_server->port());
    QCOMPARE(download(*idle, "/__down?bytes=1").status, 200);
    // A client that takes a few bytes of a huge body and then stops reading.
    std::atomic<bool> started{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> finished{false};
    Download slow;
    std::jthread reader([&] {
        auto client = clientFor(m_server->port());
        auto result = client->Get("/__down?bytes=50000000000", [&](const char *, size_t n) {
            slow.bytes += static_cast<std::int64_t>(n);
            started = true;
            if (!stopped) // once stopped, take what is buffered and see the end
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return true;
        });
        slow.error = result.error();
        finished = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(started.load(), 10000);
    std::jthread stopper([&] {
        m_server->stop();
        stopped = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(stopped.load(), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(finished.load(), 20000);
    stopper.join();
    reader.join();
    QVERIFY(slow.error != httplib::Error::Success);
    QVERIFY(slow.bytes < 50000000000);
    m_server->stop(); // a second stop is harmless
}

void TstServer::binaryServesAndStops()
{
    QProcess process;
    process.start(QUORVEL_SERVER_BIN, {"--port", "0"});
    QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));
    QSignalSpy output(&process, &QProcess::readyReadStandardOutput);
    while (!process.canReadLine())
        QVERIFY2(output.wait(10000), "the server printed no line");
    const QString line = QString::fromUtf8(process.readLine()).trimmed();
    const auto match = QRegularExpression(R"(^Listening on (http://127\.0\.0\.1:(\d+))$)").match(line);
    QVERIFY2(match.hasMatch(), qPrintable(line));

    auto client = clientFor(match.captured(2).toInt());
    const Download d = download(*client, "/__down?bytes=1000");
    QCOMPARE(d.status, 200);
    QCOMPARE(d.bytes, std::int64_t(1000));

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(process.readAllStandardOutput().isEmpty()); // exactly one line
}

void TstServer::binaryRefusesBadOption()
{
    QProcess process;
    process.start(QUORVEL_SERVER_BIN, {"--port", "80x"});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardOutput().isEmpty());
    QVERIFY(process.readAllStandardError().contains("--port"));
}

QTEST_GUILESS_MAIN(TstServer)
#include "tst_server.moc"
