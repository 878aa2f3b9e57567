// One window program per history, with real processes: a second launch
// brings the first copy's window forward and leaves, and the lock of a copy
// that crashed is taken over.
#include "historyfiles.h"
#include "singleinstance.h"

#include <QWidget>
#include <QtTest>

#include <memory>

class TestSingleInstance : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_data;
    std::vector<std::unique_ptr<QProcess>> m_launched;

    QString folder() const { return m_data->filePath("Quorvel"); }

    QProcess *launch(const QString &token = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", m_data->path());
        env.insert("XDG_ACTIVATION_TOKEN", token);
        QProcess *p = m_launched.emplace_back(std::make_unique<QProcess>()).get();
        p->setProcessEnvironment(env);
        p->start(QStringLiteral(QUORVEL_BINARY), QStringList{});
        return p;
    }

    // The process id written in the lock file, 0 while there is none.
    qint64 lockHolder() const
    {
        return readAll(SingleInstance(folder()).lockPath()).split('\n').value(0).toLongLong();
    }

private slots:
    void init()
    {
        m_data = std::make_unique<QTemporaryDir>();
        QVERIFY(m_data->isValid());
        // The sockets of copies killed here go with the folder.
        QVERIFY(QDir().mkpath(m_data->filePath("run")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_data->filePath("run")));
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
        SingleInstance first(folder());
        QCOMPARE(first.claim(), SingleInstance::Claim::ours);
        QWidget window;
        window.showMinimized();
        first.raiseOnRequest(&window);
        QSignalSpy asked(&first, &SingleInstance::activationRequested);

        QProcess *second = launch("token-from-the-launcher");
        QVERIFY(asked.wait(30000));
        QVERIFY(second->waitForFinished(30000));
        QVERIFY(second->exitStatus() == QProcess::NormalExit && second->exitCode() == 0);
        QCOMPARE(asked.first().first().toString(), QStringLiteral("token-from-the-launcher"));
        QVERIFY(!(window.windowState() & Qt::WindowMinimized));
    }

    void lockOfACrashedCopyIsTakenOver()
    {
        QProcess *a = launch();
        QTRY_COMPARE_WITH_TIMEOUT(lockHolder(), a->processId(), 30000);
        QProcess *b = launch();
        QVERIFY(b->waitForFinished(30000));
        QVERIFY(b->exitCode() == 0 && a->state() == QProcess::Running);

        const qint64 crashed = a->processId();
        a->kill(); // leaves its lock file and socket behind
        QVERIFY(a->waitForFinished(30000));
        QCOMPARE(lockHolder(), crashed);
        QProcess *c = launch();
        QTRY_COMPARE_WITH_TIMEOUT(lockHolder(), c->processId(), 30000);
        // c listens where a did: a later copy is handed over to it.
        QCOMPARE(SingleInstance(folder()).claim(), SingleInstance::Claim::handedOver);
        QCOMPARE(c->state(), QProcess::Running);
    }
};

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
