// One copy of the program per history, with real processes: a later copy
// asks the first to come to the front and exits, and the lock of a copy
// that crashed is taken over.
#include "singleinstance.h"

#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int waitMs = 20'000;

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY(QDir().mkpath(m_home.filePath("run")));
        QVERIFY(QFile::setPermissions(m_home.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        // This process and the copies it starts meet in the same places.
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath("data")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_home.filePath("run")));
    }
    void cleanup()
    {
        for (const auto &copy : m_copies) {
            copy->kill();
            copy->waitForFinished();
        }
        m_copies.clear();
    }

    void laterCopyAsksTheFirstToShow();
    void crashedCopysLockIsTakenOver();

private:
    QProcess *launch()
    {
        m_copies.push_back(std::make_unique<QProcess>());
        QProcess *copy = m_copies.back().get();
        copy->setProcessChannelMode(QProcess::ForwardedChannels);
        copy->start(QStringLiteral(QUORVEL_BINARY), {});
        return copy;
    }
    QString folder() const { return m_home.filePath("data/Quorvel"); }
    qint64 lockHolder() const
    {
        qint64 pid = 0;
        QString host, app;
        return QLockFile(folder() + "/quorvel.lock").getLockInfo(&pid, &host, &app) ? pid : 0;
    }

    QTemporaryDir m_home;
    std::vector<std::unique_ptr<QProcess>> m_copies;
};

void TestSingleInstance::laterCopyAsksTheFirstToShow()
{
    SingleInstance first(folder());
    QVERIFY(first.isFirst());
    QSignalSpy asked(&first, &SingleInstance::showRequested);

    QProcess *later = launch();
    QVERIFY(asked.wait(waitMs));
    QVERIFY(later->waitForFinished(waitMs));
    QCOMPARE(later->exitStatus(), QProcess::NormalExit);
    QCOMPARE(later->exitCode(), 0);
    QCOMPARE(lockHolder(), QCoreApplication::applicationPid());
}

void TestSingleInstance::crashedCopysLockIsTakenOver()
{
    QProcess *crashed = launch();
    QTRY_COMPARE_WITH_TIMEOUT(lockHolder(), crashed->processId(), waitMs);
    crashed->kill(); // SIGKILL: the lock file and the socket stay behind
    QVERIFY(crashed->waitForFinished(waitMs));

    QProcess *next = launch();
    QTRY_COMPARE_WITH_TIMEOUT(lockHolder(), next->processId(), waitMs);
    // It answers the copy after it, and keeps running.
    QProcess *later = launch();
    QVERIFY(later->waitForFinished(waitMs));
    QCOMPARE(later->exitCode(), 0);
    QCOMPARE(next->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
