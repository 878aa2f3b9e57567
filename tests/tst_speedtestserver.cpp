// The measurement server, in process and as quorvel-server, on 127.0.0.1:
// what each route answers and records, keep-alive, fault rules, the
// throttle, shutdown, and the command line.
#include "serverclient.h"
#include "speedtestserver.h"

#include <QtTest>

#include <cmath>
#include <thread>

using namespace std::chrono_literals;
using Options = SpeedTestServer::Options;
Q_DECLARE_METATYPE(FaultRule)

namespace {

QByteArray request(const std::string &head, const std::string &body = {}, const std::string &headers = {})
{
    const std::string length = body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return QByteArray::fromStdString(head + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + length + "\r\n" + body);
}

const std::string closing = "Connection: close\r\n";
// Pipelined after a request: a server that keeps the connection answers it too.
const QByteArray andTenBytes = request("GET /__down?bytes=10", {}, closing);

// Bytes per second within a quarter of the throttle.
bool rateNear(std::int64_t bytes, std::int64_t ms, std::int64_t throttle)
{
    return std::abs(double(bytes) * 1000.0 / double(std::max<std::int64_t>(ms, 1)) / double(throttle) - 1) <= 0.25;
}

// What a client sees of one server's options and fault rule.
struct Timing {
    Options options;
    FaultRule fault;
    bool upload = false;
    qint64 rate = 0; // 0: unthrottled, 300000 bytes move
    qint64 at = 0; // body bytes before the longest silence; 0: before the head
    int atLeastMs = 0; // the silence's end, after the request
};

} // namespace

Q_DECLARE_METATYPE(Timing)

class TstSpeedTestServer : public QObject {
    Q_OBJECT
    std::unique_ptr<SpeedTestServer> m_server;

private slots:
    void init()
    {
        m_server = std::make_unique<SpeedTestServer>();
        QVERIFY2(m_server->start(), m_server->errorString().c_str());
        QCOMPARE(m_server->url(), "http://127.0.0.1:" + std::to_string(m_server->port()));
    }
    void cleanup() { m_server.reset(); }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<qint64>("zeros"); // the answer's body
        QTest::addColumn<qint64>("uploaded");
        QTest::addColumn<QByteArray>("type");
        const std::string octets = "Content-Type: application/octet-stream\r\n";
        const auto chunked = [&](std::int64_t bytes) {
            std::string body;
            for (std::int64_t left = bytes; left > 0; left -= 65536)
                body += QByteArray::number(std::min<qint64>(left, 65536), 16).toStdString() + "\r\n"
                    + std::string(std::min<qint64>(left, 65536), 'u') + "\r\n";
            return request("POST /__up", {}, octets + "Transfer-Encoding: chunked\r\n") + body.c_str() + "0\r\n\r\n";
        };
        const qint64 big = 7 * 1024 * 1024 + 3, chunks = 5 * 256 * 1024 + 12345;
        QTest::newRow("nothing") << request("GET /__down?bytes=0&r=0.42") << 0ll << 0ll << QByteArray();
        QTest::newRow("one byte") << request("GET /__down?r=1&bytes=1") << 1ll << 0ll << QByteArray();
        QTest::newRow("leading zeros are not octal") << request("GET /__down?bytes=010") << 10ll << 0ll << QByteArray();
        QTest::newRow("chunks and a part") << request("GET /__down?bytes=" + std::to_string(chunks)) << chunks << 0ll
                                           << QByteArray();
        QTest::newRow("empty upload") << request("POST /__up", {}, octets + "Content-Length: 0\r\n") << 0ll << 0ll
                                      << QByteArray("application/octet-stream");
        QTest::newRow("megabytes up") << request("POST /__up", std::string(big, 'u'), octets) << 0ll << big
                                      << QByteArray("application/octet-stream");
        QTest::newRow("chunked upload") << chunked(big) << 0ll << big << QByteArray("application/octet-stream");
        // Without Content-Length or chunked coding there is no body to wait for.
        QTest::newRow("no body headers, no body") << request("POST /__up") << 0ll << 0ll << QByteArray();
    }
    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(qint64, zeros);
        const Wire wire = talk(m_server->port(), (request + andTenBytes).toStdString());
        QCOMPARE(wire.answers.size(), std::size_t(2));
        QCOMPARE(wire.answers[0].status, 200);
        QCOMPARE(wire.answers[0].header("Content-Length"), std::to_string(zeros));
        QCOMPARE(wire.answers[0].body, std::string(zeros, '\0'));
        QCOMPARE(wire.answers[1].body, std::string(10, '\0'));
        const auto records = m_server->requests();
        QCOMPARE(records.size(), std::size_t(2));
        QTEST(qint64(records[0].bodyBytes), "uploaded");
        QTEST(QByteArray::fromStdString(records[0].contentType), "type");
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("allow");
        QTest::addColumn<bool>("keeps"); // the connection, its body read and counted
        const std::string text = "Content-Type: text/plain\r\n";
        for (const std::string &query : std::initializer_list<std::string>{"r=1", "bytes=-1", "bytes=abc", "bytes=10k", "bytes=", "bytes=99999999999999999999999",
                                        "bytes=" + std::to_string(SpeedTestServer::maxBytes + 1)})
            QTest::addRow("GET /__down?%s", query.c_str()) << request("GET /__down?" + query) << 400 << "" << true;
        QTest::newRow("unknown path") << request("GET /speed") << 404 << "" << true;
        QTest::newRow("unknown path with body") << request("POST /speed", "abc", text) << 404 << "" << true;
        QTest::newRow("post to download") << request("POST /__down?bytes=5", "abc", text) << 405 << "GET, HEAD" << true;
        QTest::newRow("get of upload") << request("GET /__up") << 405 << "POST" << true;
        QTest::newRow("put to upload") << request("PUT /__up", "abcdef", text) << 405 << "POST" << true;
        QTest::newRow("post to the configuration") << request("POST /.well-known/nq", "abc", text) << 405 << "GET, HEAD" << true;
        QTest::newRow("configuration for a host with a path")
            << QByteArray("GET /.well-known/nq HTTP/1.1\r\nHost: a.example/b\r\n\r\n") << 400 << "" << true;
        // Its body is never read, so nothing after it can be trusted.
        QTest::newRow("unrouted method with a body") << request("TRACE /__up", "abc", text) << 405 << "" << false;
    }
    void refusals()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, allow);
        QFETCH(bool, keeps);
        const Wire wire = talk(m_server->port(), (request + andTenBytes).toStdString());
        QVERIFY(wire.closed);
        QCOMPARE(wire.answers.size(), std::size_t(keeps ? 2 : 1));
        QTEST(wire.answers[0].status, "status");
        QCOMPARE(wire.answers[0].header("Allow"), allow.toStdString());
        const std::string &line = wire.answers[0].body; // one line of text
        QVERIFY(line.size() > 1 && line.find('\n') == line.size() - 1);
        const auto records = m_server->requests();
        QCOMPARE(records.size(), std::size_t(keeps ? 2 : 1));
        QCOMPARE(QByteArray::fromStdString(records[0].method + " "), request.left(request.indexOf(' ') + 1));
        const qsizetype body = request.size() - request.indexOf("\r\n\r\n") - 4;
        QCOMPARE(records[0].bodyBytes, keeps ? body : 0);
    }

    void idleConnectionLastsTheKeepAliveTimeout()
    {
        SpeedTestServer server({.keepAliveTimeout = 1s});
        QVERIFY(server.start());
        const Wire wire = talk(server.port(), request("GET /__down?bytes=1").toStdString());
        QCOMPARE(wire.answers.size(), std::size_t(1));
        QVERIFY2(wire.closed, "still open after 10 s");
        // Counted from the request, before the server's timer starts; the
        // server polls in whole milliseconds.
        QVERIFY2(wire.endMs >= 990, qPrintable(QString::number(wire.endMs)));
    }

    // What a client sees of delays, stalls and the throttle; a rate within
    // a quarter of it, over about a second.
    // The URLs name the server as the client did, with the scheme a TLS
    // proxy in front says it saw.
    void discovery_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QString>("origin");
        QTest::newRow("a name and port") << QByteArray("HTTP/1.1\r\nHost: speed.example:8080") << "http://speed.example:8080";
        QTest::newRow("IPv6") << QByteArray("HTTP/1.1\r\nHost: [::1]:9") << "http://[::1]:9";
        QTest::newRow("behind a TLS proxy") << QByteArray("HTTP/1.1\r\nHost: q.example\r\nX-Forwarded-Proto: https")
                                            << "https://q.example";
        QTest::newRow("no Host: the listening address") << QByteArray("HTTP/1.0") << "http://127.0.0.1:PORT";
    }
    void discovery()
    {
        QFETCH(QByteArray, head);
        QFETCH(QString, origin);
        origin.replace(QLatin1String("PORT"), QString::number(m_server->port()));
        const Wire wire = talk(m_server->port(), "GET /.well-known/nq " + head.toStdString() + "\r\nConnection: close\r\n\r\n");
        QCOMPARE(wire.answers.size(), std::size_t(1));
        QCOMPARE(wire.answers[0].header("Content-Type"), "application/json");
        QCOMPARE(QString::fromStdString(wire.answers[0].body),
                 QStringLiteral(R"({"version":1,"urls":{"large_download_url":"%1/__down?bytes=100000000000",)"
                                R"("small_download_url":"%1/__down?bytes=1","upload_url":"%1/__up"}})"
                                "\n")
                     .arg(origin));
    }

    // A download names its connection's token; the token reads that
    // connection's round trip while it lives, and nothing after.
    void roundTrips()
    {
        const int fd = sent(m_server->port(), request("GET /__down?bytes=1").toStdString());
        QVERIFY(fd >= 0);
        std::string head(4096, '\0');
        const ssize_t n = ::recv(fd, head.data(), head.size(), 0);
        QVERIFY(n > 0);
        Wire::Answer download{200, head.substr(0, std::size_t(n)), {}};
        const std::string token = download.header("Quorvel-Connection");
        QCOMPARE(token.size(), std::size_t(16));
        const auto ask = [&](const std::string &t) {
            return talk(m_server->port(), request("GET /__rtt?connection=" + t, {}, closing).toStdString()).answers.at(0);
        };
        const Wire::Answer live = ask(token);
        QCOMPARE(live.status, 200);
        QVERIFY2(QRegularExpression(R"(^\{"rtt_us":[1-9][0-9]*,"rttvar_us":[0-9]+\}\n$)")
                     .match(QString::fromStdString(live.body)).hasMatch(), live.body.c_str());
        QCOMPARE(ask("0123456789abcdef").status, 404);
        ::close(fd);
        QTRY_COMPARE(ask(token).status, 404);
    }

    void timing_data()
    {
        QTest::addColumn<Timing>("timing");
        const FaultRule head{.headDelay = 600ms};
        QTest::newRow("head delay") << Timing{.fault = head, .atLeastMs = 590};
        QTest::newRow("server-wide delay") << Timing{.options = {.delay = 400ms}, .atLeastMs = 390};
        QTest::newRow("server-wide and rule delays add") << Timing{.options = {.delay = 400ms}, .fault = head, .atLeastMs = 990};
        QTest::newRow("stall where the rule puts it")
            << Timing{.fault = {.stallAfterBytes = 100000, .stallFor = 800ms}, .at = 100000, .atLeastMs = 790};
        const Options throttled{.throttleBytesPerSecond = 400'000};
        QTest::newRow("throttled download") << Timing{.options = throttled, .rate = 400'000};
        QTest::newRow("a rule slows a download further")
            << Timing{.options = throttled, .fault = {.throttleBytesPerSecond = 100'000}, .rate = 100'000};
        QTest::newRow("a rule cannot speed an upload up")
            << Timing{.options = throttled, .fault = {.throttleBytesPerSecond = 800'000}, .upload = true, .rate = 400'000};
    }
    void timing()
    {
        QFETCH(Timing, timing);
        const auto &[options, fault, upload, rate, at, atLeastMs] = timing;
        SpeedTestServer server(options);
        QVERIFY(server.start());
        server.addFault(fault);
        const std::int64_t bytes = rate > 0 ? rate : 300000;
        const QByteArray sent = upload ? request("POST /__up", std::string(bytes, 'x'), closing)
                                       : request("GET /__down?bytes=" + std::to_string(bytes), {}, closing);
        const Wire wire = talk(server.port(), sent.toStdString());
        QCOMPARE(wire.answers.size(), std::size_t(1));
        QCOMPARE(wire.answers[0].status, 200);
        QCOMPARE(upload ? server.requests().at(0).bodyBytes : std::int64_t(wire.answers[0].body.size()), bytes);
        if (atLeastMs > 0) {
            QCOMPARE(qint64(wire.bytesBeforeGap), at > 0 ? at + qint64(wire.answers[0].head.size()) + 2 : 0);
            QVERIFY2(wire.gapEndMs >= atLeastMs, qPrintable(QString::number(wire.gapEndMs)));
        }
        QVERIFY2(rate == 0 || rateNear(bytes, wire.endMs, rate), qPrintable(QString::number(wire.endMs) + " ms"));
    }

    // Status and close rules on one connection of pipelined requests.
    void faults_data()
    {
        QTest::addColumn<FaultRule>("fault");
        QTest::addColumn<QByteArray>("requests");
        QTest::addColumn<QString>("wire");
        const QByteArray down = request("GET /__down?bytes=5000"), up = request("POST /__up", std::string(5000, 'x'));
        const QByteArray mixed = down + up + down + request("GET /__down?bytes=5000", {}, closing);
        const QByteArray big = request("GET /__down?bytes=1000000") + andTenBytes;
        QTest::newRow("second request") << FaultRule{.nth = 2, .status = 503} << mixed
                                        << "200 5000, 503 text, 200 5000, 200 5000; closed";
        QTest::newRow("every upload") << FaultRule{.path = "/__up", .status = 500} << mixed
                                      << "200 5000, 500 text, 200 5000, 200 5000; closed";
        QTest::newRow("third, body kept") << FaultRule{.nth = 3, .path = "/__down", .status = 500} << mixed
                                          << "200 5000, 200 0, 500 5000, 200 5000; closed";
        // Without a body to cut short, the connection ends with the answer.
        QTest::newRow("no content, then closed") << FaultRule{.nth = 3, .status = 204} << mixed
                                                 << "200 5000, 200 0, 204 0; closed";
        // Only the fault may end the connection before the second request.
        QTest::newRow("orderly close") << FaultRule{.closeAfterBytes = 300000} << big << "200 300000 of 1000000; closed";
        QTest::newRow("reset after the bytes written arrive")
            << FaultRule{.closeAfterBytes = 300000, .reset = true} << big << "200 300000 of 1000000; reset";
        QTest::newRow("close before the first byte") << FaultRule{.closeAfterBytes = 0} << big << "200 0 of 1000000; closed";
        QTest::newRow("close beyond the body: after the response")
            << FaultRule{.closeAfterBytes = 2000000} << big << "200 1000000; closed";
    }
    void faults()
    {
        QFETCH(FaultRule, fault);
        QFETCH(QByteArray, requests);
        m_server->addFault(fault);
        const Wire wire = talk(m_server->port(), requests.toStdString());
        QStringList shown; // each answer's status and body: its size, or "text" for an error line
        for (const Wire::Answer &a : wire.answers) {
            const std::string length = a.header("Content-Length");
            shown << QString("%1 %2").arg(a.status).arg(a.body.find_first_not_of('\0') != std::string::npos
                                                           ? QString("text") : QString::number(a.body.size()))
                         + (length == std::to_string(a.body.size()) ? "" : " of " + QString::fromStdString(length));
        }
        QTEST(shown.join(", ") + (wire.reset ? "; reset" : wire.closed ? "; closed" : "; open"), "wire");
    }

    // stop() ends every wait at once: idle keep-alive, a ten-minute stall, a
    // ten-minute head delay, and a reader that stopped reading; the function
    // timeout fails it if one outlasts stop().
    void stopEndsEveryWait()
    {
        const int port = m_server->port();
        const int idle = sent(port, request("GET /__down?bytes=1").toStdString()); // answered, then kept
        m_server->addFault({.path = "/__down", .stallAfterBytes = 1000, .stallFor = 10min});
        m_server->addFault({.path = "/__up", .headDelay = 10min});
        Wire stalled, late;
        std::jthread stall([&] { stalled = talk(port, request("GET /__down?bytes=100000").toStdString(), 600); });
        std::jthread delayed([&] { late = talk(port, request("POST /__up", "0123456789").toStdString(), 600); });
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), std::size_t(3), 10000);
        m_server->clearFaults();
        const int reader = sent(port, request("GET /__down?bytes=50000000000").toStdString()); // never reads
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests().size(), std::size_t(4), 10000);
        m_server->stop();
        stall.join();
        delayed.join();
        QVERIFY(stalled.closed || stalled.reset); // ended by the server, not by our wait
        QVERIFY(late.answers.empty() && (late.closed || late.reset));
        ::close(idle);
        ::close(reader);
        m_server->stop(); // a second stop is harmless
    }

    // quorvel-server serves what its options say, until it is told to stop;
    // or, for arguments it takes but cannot serve, it says why and exits 1.
    // (Its command line: tst_cli.)
    void binary_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<qint64>("throttle");
        QTest::addColumn<QString>("refusal"); // empty: it serves
        QTest::newRow("name=value, every option")
            << QStringList{"--port=0", "--host=127.0.0.1", "--delay=0", "--threads=1", "--socket-buffer=65536"} << 0ll << "";
        QTest::newRow("--throttle holds its rate") << QStringList{"--port", "0", "--throttle", "400000"} << 400'000ll << "";
        QTest::newRow("unreadable certificate")
            << QStringList{"--port", "0", "--cert", "/nonexistent", "--key", "/nonexistent"} << 0ll << "cannot load";
        // Without SO_REUSEPORT a second server cannot take half of the first one's connections.
        QTest::newRow("port already served") << QStringList{"--port", "TAKEN"} << 0ll << "cannot listen";
    }
    void binary()
    {
        QFETCH(QStringList, args);
        QFETCH(qint64, throttle);
        QFETCH(QString, refusal);
        QProcess process;
        process.start(QUORVEL_SERVER_BIN, args.replaceInStrings("TAKEN", QString::number(m_server->port())));
        QSignalSpy output(&process, &QProcess::readyReadStandardOutput);
        QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));
        if (!refusal.isEmpty()) {
            QVERIFY(process.waitForFinished(10000));
            QCOMPARE(process.exitCode(), 1);
            QVERIFY(process.readAllStandardOutput().isEmpty());
            const QString error = QString::fromUtf8(process.readAllStandardError());
            QVERIFY2(error.startsWith("quorvel-server: ") && error.contains(refusal), qPrintable(error));
            return;
        }
        while (!process.canReadLine())
            QVERIFY2(output.wait(10000), "the server printed no line");
        const QString line = QString::fromUtf8(process.readLine()).trimmed();
        const auto match = QRegularExpression(R"(^Listening on http://127\.0\.0\.1:(\d+)$)").match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const std::int64_t bytes = throttle > 0 ? throttle : 1000;
        const Wire wire = talk(match.captured(1).toInt(),
                               request("GET /__down?bytes=" + std::to_string(bytes), {}, closing).toStdString());
        QCOMPARE(wire.answers.size() == 1 ? qint64(wire.answers[0].body.size()) : -1, bytes);
        QVERIFY2(throttle == 0 || rateNear(bytes, wire.endMs, throttle), qPrintable(QString::number(wire.endMs) + " ms"));
        process.terminate();
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(process.readAllStandardOutput().isEmpty()); // exactly one line
    }
};

QTEST_GUILESS_MAIN(TstSpeedTestServer)
#include "tst_speedtestserver.moc"
