// The command-line front end as a user runs it: output, exit status and
// messages, against the bundled server.
#include "speedtestserver.h"
#include "testresult.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestCli : public QObject {
    Q_OBJECT

    struct Run {
        int exitCode = -1; // -2: killed by a signal
        QByteArray out, err;
    };

    static Run run(const QStringList &args, int waitMs = 120000)
    {
        QProcess p;
        p.start(QStringLiteral(QUORVEL_CLI_PATH), args);
        if (!p.waitForFinished(waitMs)) {
            p.kill();
            p.waitForFinished();
            return {};
        }
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2, p.readAllStandardOutput(),
                p.readAllStandardError()};
    }

private slots:
    // The one whole run, slow enough for every phase to draw live points;
    // with --json and --csv, the JSON object and then the CSV line of it.
    void jsonCsvAndLivePointsOfOneRun()
    {
        SpeedTestServer server({.throttleBytesPerSecond = 8'000'000});
        QVERIFY(server.start());
        QTemporaryDir dir;
        const QString livePath = dir.filePath(QStringLiteral("live.csv"));
        const Run r = run({QStringLiteral("--server"), QString::fromStdString(server.url()), QStringLiteral("--json"),
                           QStringLiteral("--csv"), QStringLiteral("--live"), livePath});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.isEmpty(), r.err.constData()); // not a terminal: nothing but the result
        const qsizetype rowStart = r.out.lastIndexOf('\n', r.out.size() - 2) + 1;
        const QList<QByteArray> row = r.out.sliced(rowStart).trimmed().split(',');
        const QJsonObject json = QJsonDocument::fromJson(r.out.first(rowStart)).object();
        QCOMPARE(json.size(), 8);
        const auto result = ResultCodec::decode(json);
        QVERIFY(result && result->download > 0 && result->upload > 0 && result->latencyMedian > 0);
        QVERIFY(json.value("date").toString().endsWith(QLatin1Char('Z')));
        QCOMPARE(row.size(), 8);
        for (int i = 0; i < 8; ++i) {
            const QJsonValue v = json.value(QLatin1String(ResultCodec::keys[i]));
            if (i < 2)
                QCOMPARE(row[i], v.toString().toLatin1());
            else
                QCOMPARE(row[i].toDouble(), v.toDouble());
        }

        QFile live(livePath);
        QVERIFY(live.open(QIODevice::ReadOnly));
        const QByteArray text = live.readAll();
        QVERIFY(text.startsWith("phase,x,y\n") && text.endsWith('\n'));
        QByteArray phases; // the first letter of each row's phase
        int latencyRow = 0;
        for (const QByteArray &line : text.trimmed().split('\n').mid(1)) {
            const QList<QByteArray> cells = line.split(',');
            bool xOk = false, yOk = false;
            const double x = cells.value(1).toDouble(&xOk);
            QVERIFY2(cells.size() == 3 && xOk && cells[2].toDouble(&yOk) >= 0 && yOk, line.constData());
            if (cells[0] == "latency")
                QCOMPARE(x, double(++latencyRow)); // the timed requests, numbered
            phases += cells[0].front();
        }
        QVERIFY2(QRegularExpression(QStringLiteral("^l{20}d+u+$")).match(QString::fromLatin1(phases)).hasMatch(),
                 phases.constData());
    }

    void csvHeaderAlone()
    {
        const Run r = run({QStringLiteral("--csv-header")}, 10000);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray("id,date,latencyMedian,latencyMin,latencyMax,jitter,download,upload\n"));
    }

    void rejectedByTheServer()
    {
        SpeedTestServer server;
        server.addFault({.status = 503});
        QVERIFY(server.start());
        const Run r = run({QStringLiteral("--server"), QString::fromStdString(server.url()), QStringLiteral("--json")});
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.out.isEmpty());
        QCOMPARE(QString::fromUtf8(r.err).trimmed(),
                 QStringLiteral("The speed test server rejected the request. Please try again in a moment."));
    }

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown flag") << QStringList{"--fast"};
        QTest::newRow("server without url") << QStringList{"--server"};
        QTest::newRow("not a url") << QStringList{"--server", "speed test"};
        QTest::newRow("wrong scheme") << QStringList{"--server", "ftp://127.0.0.1"};
        QTest::newRow("a path, not an origin") << QStringList{"--server", "http://127.0.0.1:1/__down"};
        QTest::newRow("live without file") << QStringList{"--live"};
        QTest::newRow("live file in a missing folder") << QStringList{"--live", "/nonexistent/live.csv"};
    }
    void badArguments()
    {
        QFETCH(QStringList, args);
        const Run r = run(args, 10000);
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.err.contains("usage: quorvel-cli") && r.out.isEmpty());
    }

    // Moments: as soon as the handler is in place (before the event loop
    // runs), once latency requests have begun, during the download.
    void signalCancelsCleanly_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("afterRequests"); // -1: once the signal is caught
        QTest::addColumn<int>("exitCode");
        QTest::newRow("SIGINT before the event loop runs") << SIGINT << -1 << 130;
        QTest::newRow("SIGINT during latency") << SIGINT << 3 << 130;
        QTest::newRow("SIGINT during download") << SIGINT << 22 << 130;
        QTest::newRow("SIGTERM exited 130, not 143") << SIGTERM << 22 << 143;
    }
    void signalCancelsCleanly()
    {
        QFETCH(int, signal);
        QFETCH(int, afterRequests);
        QFETCH(int, exitCode);
        SpeedTestServer server;
        server.addFault({.path = "/__down", .throttleBytesPerSecond = 200'000});
        QVERIFY(server.start());
        QTemporaryDir dir;
        QFile live(dir.filePath(QStringLiteral("live.csv")));
        QProcess p;
        p.start(QStringLiteral(QUORVEL_CLI_PATH), {QStringLiteral("--server"), QString::fromStdString(server.url()),
                                                   QStringLiteral("--live"), live.fileName()});
        QVERIFY(p.waitForStarted());
        const auto caught = [&] {
            QFile status(QStringLiteral("/proc/%1/status").arg(p.processId()));
            const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
            const qsizetype at = text.indexOf("SigCgt:");
            return at >= 0 && (text.mid(at + 7, 17).trimmed().toULongLong(nullptr, 16) >> (signal - 1) & 1) != 0;
        };
        QVERIFY(QTest::qWaitFor(caught, 10000));
        QVERIFY(QTest::qWaitFor([&] { return int(server.requests().size()) > afterRequests; }, 30000));
        // During the download, every latency point is in the file by then,
        // not in a buffer.
        const auto latencyWritten = [&] {
            const bool all = live.open(QIODevice::ReadOnly) && live.readAll().contains("\nlatency,20,");
            live.close();
            return all;
        };
        if (afterRequests > 21)
            QTRY_VERIFY_WITH_TIMEOUT(latencyWritten(), 5000);
        ::kill(pid_t(p.processId()), signal);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2, exitCode);
        QVERIFY(p.readAllStandardOutput().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
