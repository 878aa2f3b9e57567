// One writer per history, with real processes: a second window brings the
// first forward and leaves; a window waits for quorvel-cli's save; the lock
// of a crashed copy is taken over; quorvel-cli --save runs hand their
// results to a running window, or take the lock in turn, and none is lost;
// a save that cannot land says why and still prints the result.
#include "contentview.h"
#include "fakepathmonitor.h"
#include "historyfiles.h"
#include "historystore.h"
#include "historyview.h"
#include "quorvelapp.h"
#include "singleinstance.h"
#include "speedtestserver.h"
#include "unprivileged.h"

#include <QtTest>

#include <csignal>
#include <memory>

// What stops a quorvel-cli --save run's save.
enum class Holder { stoppedWindow, changesHands, readOnlyFolder };
Q_DECLARE_METATYPE(Holder)

class TestSingleInstance : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_data;
    std::vector<std::unique_ptr<QProcess>> m_launched;

    QString historyPath() const { return m_data->filePath("Quorvel/history.json"); }

    QProcess *launch(const QString &program, const QStringList &args = {}, const QString &token = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", m_data->path());
        env.insert("XDG_ACTIVATION_TOKEN", token);
        QProcess *p = m_launched.emplace_back(std::make_unique<QProcess>()).get();
        p->setProcessEnvironment(env);
        p->start(unprivilegedProgram(program), args);
        return p;
    }

    // The process id written in the lock file, 0 while there is none.
    qint64 lockHolder() const
    {
        return readAll(SingleInstance(historyPath()).lockPath()).split('\n').value(0).toLongLong();
    }

    // A window of this process on the history, answering as the program does.
    std::unique_ptr<QuorvelApp> openWindow(SingleInstance &instance) const
    {
        if (instance.claim() != SingleInstance::Claim::ours)
            return nullptr;
        auto app = std::make_unique<QuorvelApp>(QuorvelApp::Options{
            "http://127.0.0.1:9", std::make_unique<FakePathMonitor>(std::make_shared<FakePathMonitor::Control>()),
            historyPath()});
        app->serve(instance);
        app->window()->show();
        return app;
    }

    // What was in the history before the runs, and must stay: long enough
    // that a load and a save take a while, so that writers overlap.
    QList<TestResult> writeEarlierResults(int count) const
    {
        QList<TestResult> earlier(count, storedRecord());
        for (TestResult &r : earlier)
            r.id = QUuid::createUuid();
        QDir().mkpath(QFileInfo(historyPath()).absolutePath());
        writeAll(historyPath(), ResultCodec::encodeArray(earlier).value_or(""));
        return earlier;
    }

    static QSet<QUuid> ids(const QList<TestResult> &results)
    {
        QSet<QUuid> out;
        for (const TestResult &r : results)
            out.insert(r.id);
        return out;
    }

private slots:
    void init()
    {
        m_data = std::make_unique<QTemporaryDir>();
        QVERIFY(m_data->isValid());
    }
    void cleanup()
    {
        for (const auto &p : m_launched) {
            p->kill();
            p->waitForFinished();
        }
        m_launched.clear();
    }

    void secondLaunchBringsTheFirstForward()
    {
        SingleInstance first(historyPath());
        const auto app = openWindow(first);
        QVERIFY(app);
        app->window()->showMinimized();
        QSignalSpy asked(&first, &SingleInstance::activationRequested);

        QProcess *second = launch(QUORVEL_BINARY, {}, "token-from-the-launcher");
        QVERIFY(asked.wait(30000));
        QVERIFY(second->waitForFinished(30000));
        QVERIFY2(second->exitStatus() == QProcess::NormalExit && second->exitCode() == 0, second->readAllStandardError().constData());
        QCOMPARE(asked.first().first().toString(), QStringLiteral("token-from-the-launcher"));
        QVERIFY(!(app->window()->windowState() & Qt::WindowMinimized));
    }

    // A window started while quorvel-cli holds the lock for its save waits
    // for it, instead of calling it a second copy that does not answer; the
    // lock it leaves when it crashes is taken over.
    void laterLaunchesAndTheLock()
    {
        QLockFile saving(SingleInstance(historyPath()).lockPath());
        QVERIFY(QDir().mkpath(QFileInfo(historyPath()).absolutePath()) && saving.tryLock(0));
        QProcess *a = launch(QUORVEL_BINARY);
        QTest::qWait(2000);
        QCOMPARE(a->state(), QProcess::Running);
        saving.unlock();
        QTRY_COMPARE_WITH_TIMEOUT(lockHolder(), a->processId(), 30000);
        QProcess *b = launch(QUORVEL_BINARY);
        QVERIFY(b->waitForFinished(30000));
        QVERIFY(b->exitCode() == 0 && a->state() == QProcess::Running);

        const qint64 crashed = a->processId();
        a->kill(); // leaves its lock file behind; its socket goes with it
        QVERIFY(a->waitForFinished(30000));
        QCOMPARE(lockHolder(), crashed);
        QProcess *c = launch(QUORVEL_BINARY);
        QTRY_COMPARE_WITH_TIMEOUT(lockHolder(), c->processId(), 30000);
        // c listens where a did: a later copy is handed over to it.
        QCOMPARE(SingleInstance(historyPath()).claim(), SingleInstance::Claim::handedOver);
        QCOMPARE(c->state(), QProcess::Running);
    }

    // 20 runs at once, 120 connections: each holds a server worker.
    void concurrentSavesAllLand_data()
    {
        QTest::addColumn<bool>("window");
        QTest::newRow("handed to a running window") << true;
        QTest::newRow("no window: the lock in turn") << false;
    }
    void concurrentSavesAllLand()
    {
        QFETCH(bool, window);
        SpeedTestServer server({.throttleBytesPerSecond = 2'000'000, .threads = 256, .recordRequests = false});
        QVERIFY(server.start());
        const QList<TestResult> earlier = writeEarlierResults(20000);
        SingleInstance instance(historyPath());
        std::unique_ptr<QuorvelApp> app = window ? openWindow(instance) : nullptr;
        QVERIFY(!window || app);
        if (app)
            app->window()->setTab(Tab::history); // its list on screen as the results come

        QList<QProcess *> runs;
        for (int i = 0; i < 20; ++i)
            runs.append(launch(QUORVEL_CLI_BINARY, {"--server", QString::fromStdString(server.url()), "--save", "--csv"}));
        const auto allDone = [&runs] {
            return std::all_of(runs.cbegin(), runs.cend(), [](QProcess *p) { return p->state() == QProcess::NotRunning; });
        };
        QVERIFY(QTest::qWaitFor(allDone, 240000)); // the window answers meanwhile
        QSet<QUuid> expected = ids(earlier);
        for (QProcess *p : runs) {
            QVERIFY2(p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0, p->readAllStandardError().constData());
            expected.insert(QUuid::fromString(QString::fromLatin1(p->readAllStandardOutput().left(36))));
        }
        QCOMPARE(expected.size(), 20020);
        const auto saved = readHistory(historyPath());
        QVERIFY(saved);
        QCOMPARE(saved->size(), 20020);
        QCOMPARE(ids(*saved), expected);
        if (app) {
            QCOMPARE(ids(app->history()->items()), expected);
            QCOMPARE(app->window()->historyView()->rowCount(), 20020); // the list shows them
        }
    }

    // The result is printed all the same, the run exits 1 and says why,
    // and the history is as it was.
    void saveThatCannotLand_data()
    {
        QTest::addColumn<Holder>("holder");
        QTest::addColumn<QString>("said");
        QTest::newRow("a window that stopped answering")
            << Holder::stoppedWindow << "the history is held by quorvel (process PID), which does not answer";
        // Ten seconds from the second holder, not from the first.
        QTest::newRow("a lock that changed hands once, then held")
            << Holder::changesHands << "the history is held by tst_singleinstance (process PID), which does not answer";
        QTest::newRow("read-only folder") << Holder::readOnlyFolder << "history.json: Permission denied";
    }
    void saveThatCannotLand()
    {
        QFETCH(Holder, holder);
        QFETCH(QString, said);
        if (holder == Holder::readOnlyFolder)
            RUN_UNPRIVILEGED(QUORVEL_CLI_BINARY);
        SpeedTestServer server;
        QVERIFY(server.start());
        writeEarlierResults(1);
        const QByteArray before = readAll(historyPath());
        const QString folder = QFileInfo(historyPath()).absolutePath();
        QLockFile first(SingleInstance(historyPath()).lockPath()), second(first.fileName());
        qint64 heldBy = QCoreApplication::applicationPid();
        if (holder == Holder::stoppedWindow) {
            QProcess *window = launch(QUORVEL_BINARY);
            // Holding the lock and listening, then stopped.
            const QByteArray name = '@' + SingleInstance(historyPath()).socketName().toLatin1();
            QTRY_VERIFY_WITH_TIMEOUT(lockHolder() == window->processId() && readAll("/proc/net/unix").contains(name), 30000);
            heldBy = window->processId();
            QCOMPARE(::kill(pid_t(heldBy), SIGSTOP), 0);
        } else if (holder == Holder::changesHands) {
            QVERIFY(first.tryLock(0));
        } else {
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        }
        const auto restore = qScopeGuard([&] { QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); });

        QProcess *run = launch(QUORVEL_CLI_BINARY, {"--server", QString::fromStdString(server.url()), "--save", "--json"});
        QElapsedTimer sinceChange;
        if (holder == Holder::changesHands) {
            QVERIFY(QTest::qWaitFor([run] { return run->bytesAvailable() > 0; }, 60000)); // printed, now saving
            QTest::qWait(3000);
            first.unlock();
            QVERIFY(second.tryLock(0));
            sinceChange.start();
        }
        QVERIFY2(run->waitForFinished(60000), qPrintable(run->errorString()));
        if (sinceChange.isValid())
            QVERIFY2(sinceChange.elapsed() >= 9900, qPrintable(QString::number(sinceChange.elapsed())));
        QCOMPARE(run->exitCode(), 1);
        const auto printed = ResultCodec::decode(QJsonDocument::fromJson(run->readAllStandardOutput()).object());
        QVERIFY(printed);
        const QString err = QString::fromUtf8(run->readAllStandardError());
        QVERIFY2(err.startsWith("quorvel-cli: the result was not saved: ") && err.contains(said.replace("PID", QString::number(heldBy))),
                 qPrintable(err));
        QCOMPARE(readAll(historyPath()), before);
    }
};

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
