#pragma once
// Permission bits stop nobody who holds CAP_DAC_OVERRIDE, and CI runs as
// root. A test of permissions starts with RUN_UNPRIVILEGED(): as root it runs
// the current row again in a child process as user nobody (through setpriv)
// and passes or fails with it; as anyone else the test goes on by itself.
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#define RUN_UNPRIVILEGED()                                                                                   \
    do {                                                                                                     \
        if (::geteuid() == 0) {                                                                              \
            runRowAsNobody();                                                                                \
            return;                                                                                          \
        }                                                                                                    \
    } while (false)

inline void runRowAsNobody()
{
    constexpr int nobody = 65534;
    // A home, temporary and runtime folder of the child's own.
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QCOMPARE(::chown(QFile::encodeName(home.path()).constData(), nobody, nobody), 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"HOME", "TMPDIR", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        env.insert(QString::fromLatin1(name), home.path());

    QString row = QString::fromLatin1(QTest::currentTestFunction());
    if (QTest::currentDataTag())
        row += QLatin1Char(':') + QString::fromUtf8(QTest::currentDataTag());
    const QString id = QString::number(nobody);
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("setpriv"), {"--reuid=" + id, "--regid=" + id, "--clear-groups", "--",
                                            QCoreApplication::applicationFilePath(), row});
    QVERIFY2(child.waitForFinished(120'000), "the run as nobody did not finish");
    const QByteArray out = child.readAll();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, out.constData());
    // The row ran and neither failed nor skipped.
    QVERIFY2(out.contains(" 0 failed, 0 skipped"), out.constData());
}
