#pragma once
// Permission bits stop nobody who holds CAP_DAC_OVERRIDE, and CI runs as
// root. A test of permissions starts with RUN_UNPRIVILEGED(): as root it runs
// the current row again in a child process as user nobody (through setpriv)
// and passes or fails with it; as anyone else the test goes on by itself.
// The programs the row starts are named in the macro: the build tree may sit
// where nobody cannot reach it (a clone under /root), so the child gets copies
// in its own home and finds them through unprivilegedProgram().
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#define RUN_UNPRIVILEGED(...)                                                                                \
    do {                                                                                                     \
        if (::geteuid() == 0) {                                                                              \
            runRowAsNobody({__VA_ARGS__});                                                                   \
            return;                                                                                          \
        }                                                                                                    \
    } while (false)

inline constexpr char unprivilegedBinVariable[] = "QUORVEL_UNPRIVILEGED_BIN";

// The path to start `program` at: its copy in a run as nobody, else itself.
inline QString unprivilegedProgram(const QString &program)
{
    const QString bin = qEnvironmentVariable(unprivilegedBinVariable);
    return bin.isEmpty() ? program : bin + QLatin1Char('/') + QFileInfo(program).fileName();
}

inline void runRowAsNobody(const QStringList &programs)
{
    constexpr int nobody = 65534;
    // A home, temporary and runtime folder of the child's own.
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QCOMPARE(::chown(QFile::encodeName(home.path()).constData(), nobody, nobody), 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"HOME", "TMPDIR", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        env.insert(QString::fromLatin1(name), home.path());
    const QString bin = home.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin));
    for (const QString &program : programs)
        QVERIFY2(QFile::copy(program, bin + QLatin1Char('/') + QFileInfo(program).fileName()), qPrintable(program));
    env.insert(QString::fromLatin1(unprivilegedBinVariable), bin);

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
