// The history store under file-system faults: writes that fail, files it
// cannot open or will not read, copies it cannot make, records JSON cannot
// carry, files past the size limit. Whatever happens, a readable earlier file and the
// user's records survive, and a save that fails says why until one works.
#include "historyfiles.h"
#include "historystore.h"
#include "unprivileged.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <csignal>
#include <functional>
#include <limits>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Results = QList<TestResult>;

namespace {

TestResult record(int n)
{
    const QUuid id = QUuid::fromString(QStringLiteral("5b0f3c2a-7d1e-4e6f-8a9b-%1").arg(n, 12, 10, QLatin1Char('0')));
    return {id, QDateTime(QDate(2026, 12, 6), QTime(9, 15, n % 60), Qt::UTC), 20, 18, 30, 2, 100.5 + n, 10};
}

QByteArray handWritten(const Results &results)
{
    QJsonArray array;
    for (const TestResult &r : results)
        array.append(*ResultCodec::encode(r));
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

enum Fault { ParentIsFile, FileSizeLimit, ReadOnlyDir, NameTooLongForCopy, DanglingLink, HistorySizeLimit };

} // namespace

class TestHistoryFaults : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); }

    void writeFails_data();
    void writeFails();
    void unreadable_data();
    void unreadable();
    void unwritableRecord_data();
    void unwritableRecord();
    void unreadableFilesInTheSameSecond();

private:
    QString arrange(Fault fault, const QByteArray &content);
    std::unique_ptr<QTemporaryDir> m_dir;
    std::function<void()> m_undo;
    Results m_appeared; // what shows up once the fault clears
    qint64 m_limit = HistoryStore::defaultMaxFileSize;
};

// Sets up the fault, writes the history file, returns its path.
QString TestHistoryFaults::arrange(Fault fault, const QByteArray &content)
{
    const QString dir = m_dir->path();
    QString path = dir + QStringLiteral("/history.json");
    m_undo = [] {};
    m_appeared = {};
    m_limit = HistoryStore::defaultMaxFileSize;
    switch (fault) {
    case ParentIsFile:
        writeAll(dir + QStringLiteral("/blocker"), "a file, not a folder");
        return dir + QStringLiteral("/blocker/history.json");
    case NameTooLongForCopy:
        // Fits NAME_MAX, and so does the save's temporary, but not the copy's name.
        path = dir + QLatin1Char('/') + QString(235, QLatin1Char('h')) + QStringLiteral(".json");
        writeAll(path, content);
        return path;
    case FileSizeLimit:
        writeAll(path, content);
        {
            rlimit old{};
            getrlimit(RLIMIT_FSIZE, &old);
            rlimit low = old;
            low.rlim_cur = content.size(); // no file may grow past what is there now
            std::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &low);
            m_undo = [old] { setrlimit(RLIMIT_FSIZE, &old); };
        }
        return path;
    case ReadOnlyDir:
        writeAll(path, content);
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner);
        m_undo = [this] { cleanup(); };
        return path;
    case HistorySizeLimit:
        // What is there is just within the limit; one more record is not.
        writeAll(path, content);
        m_limit = content.size();
        return path;
    case DanglingLink:
        // Into a folder that is not mounted yet; mounting it brings a history.
        QFile::link(dir + QStringLiteral("/mnt/Quorvel/history.json"), path);
        m_appeared = {record(3), record(4)};
        m_undo = [this, dir] {
            QDir().mkpath(dir + QStringLiteral("/mnt/Quorvel"));
            writeAll(dir + QStringLiteral("/mnt/Quorvel/history.json"), handWritten(m_appeared));
        };
        return path;
    }
    return path;
}

void TestHistoryFaults::writeFails_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Results>("loaded");
    QTest::addColumn<QString>("reason"); // empty: the save lands, fault or not

    const Results some{record(1), record(2)};
    const QByteArray bad("[{\"id\": \"hand edit gone wrong\"}]");
    QTest::newRow("parent is a regular file") << int(ParentIsFile) << QByteArray() << Results{} << "Not a directory";
    QTest::newRow("file size limit") << int(FileSizeLimit) << handWritten(some) << some << "File too large";
    QTest::newRow("read-only directory") << int(ReadOnlyDir) << handWritten(some) << some << "Permission denied";
    QTest::newRow("read-only directory, unreadable file")
        << int(ReadOnlyDir) << bad << Results{} << "can't be moved aside (Permission denied)";
    QTest::newRow("copy name too long, unreadable file")
        << int(NameTooLongForCopy) << bad << Results{} << "can't be moved aside (File name too long)";
    QTest::newRow("same long name, readable file") << int(NameTooLongForCopy) << handWritten(some) << some << "";
    QTest::newRow("dangling link") << int(DanglingLink) << QByteArray() << Results{} << "is a link to";
    QTest::newRow("history grown past the size limit")
        << int(HistorySizeLimit) << handWritten(some) << some << "more than can be read back";
}

void TestHistoryFaults::writeFails()
{
    QFETCH(int, fault);
    QFETCH(QByteArray, content);
    QFETCH(Results, loaded);
    QFETCH(QString, reason);
    if (fault == ReadOnlyDir)
        RUN_UNPRIVILEGED();
    const QString path = arrange(Fault(fault), content);
    auto undo = qScopeGuard([this] { m_undo(); });
    const QStringList before = entries(m_dir->path());

    HistoryStore store(path, m_limit);
    QCOMPARE(store.items(), loaded);
    QSignalSpy errors(&store, &HistoryStore::saveErrorChanged);
    const TestResult added = record(7);
    store.add(added);
    QCOMPARE(store.items(), Results{added} + loaded); // the change is kept in memory
    if (reason.isEmpty()) {
        QCOMPARE(readHistory(path), std::optional<Results>(Results{added} + loaded));
        QCOMPARE(errors.count(), 0);
        return;
    }
    QVERIFY2(store.saveError().contains(reason), qPrintable(store.saveError()));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(entries(m_dir->path()), before); // no copy, no temporary
    QCOMPARE(readAll(path), content);

    undo.dismiss();
    m_undo();
    store.add(record(8));
    if (fault == ParentIsFile || fault == NameTooLongForCopy || fault == HistorySizeLimit) { // these stay, and so does the word
        QVERIFY(store.saveError().contains(reason));
        QCOMPARE(errors.count(), 1);
        return;
    }
    // Once the fault clears, the next save carries the earlier change too.
    QCOMPARE(store.saveError(), QString());
    QCOMPARE(errors.count(), 2);
    if (!content.isEmpty() && loaded.isEmpty())
        QCOMPARE(entries(m_dir->path()).size(), 2); // the unreadable file went aside first
    QCOMPARE(readHistory(path), std::optional<Results>(Results{record(8), added} + loaded + m_appeared));
    QCOMPARE(QFileInfo(path).isSymLink(), fault == DanglingLink); // a link is written through, never replaced
}

void TestHistoryFaults::unreadable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("size"); // of a sparse or padded file
    QTest::newRow("directory at the path") << "directory" << qint64(0);
    QTest::newRow("pipe at the path") << "pipe" << qint64(0);
    QTest::newRow("no read permission") << "unreadable" << qint64(0);
    // The linked file goes aside; the link stays and is written through.
    QTest::newRow("garbage behind a link") << "linked" << qint64(0);
    QTest::newRow("larger than memory") << "sparse" << (qint64(64) << 30);
    // Read whole, it would be an empty history.
    QTest::newRow("history padded one byte past the limit") << "padded" << qint64(4097);
}

void TestHistoryFaults::unreadable()
{
    QFETCH(QString, kind);
    QFETCH(qint64, size);
    if (kind == "unreadable")
        RUN_UNPRIVILEGED();
    const QString path = m_dir->filePath("history.json");
    const QString folder = kind == "linked" ? m_dir->filePath("elsewhere") : m_dir->path();
    const QString file = folder + "/history.json";
    const QByteArray content = kind == "linked" ? QByteArray("[oops") : handWritten({record(1)});
    if (kind == "directory") {
        QVERIFY(QDir().mkpath(path));
        writeAll(path + "/keep.txt", "precious");
    } else if (kind == "pipe") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == "sparse") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(size));
    } else if (kind == "padded") {
        writeAll(path, "[]" + QByteArray(size - 2, ' '));
    } else if (kind == "linked") {
        QVERIFY(QDir().mkpath(folder));
        writeAll(file, content);
        QVERIFY(QFile::link(file, path));
    } else {
        writeAll(path, content);
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    }

    ::alarm(30); // opening a pipe would block forever: die instead of hanging
    HistoryStore store(path, kind == "padded" ? size - 1 : HistoryStore::defaultMaxFileSize);
    ::alarm(0);
    QVERIFY(store.items().isEmpty());
    QCOMPARE(entries(folder), QStringList{"history.json"});

    store.add(record(2));
    QCOMPARE(readHistory(path), std::optional<Results>({record(2)}));
    QCOMPARE(QFileInfo(path).isSymLink(), kind == "linked");
    const QStringList after = entries(folder);
    QCOMPARE(after.size(), 2);
    const QString aside = folder + "/" + after.at(1);
    QVERIFY(aside.contains(".unreadable-"));
    if (kind == "directory") {
        QCOMPARE(readAll(aside + "/keep.txt"), QByteArray("precious"));
    } else if (kind == "pipe") {
        QVERIFY(QFileInfo(aside).isFile() == false && QFileInfo(aside).exists());
    } else if (size > 0) {
        QCOMPARE(QFileInfo(aside).size(), size);
    } else {
        QVERIFY(QFile::setPermissions(aside, QFile::ReadOwner));
        QCOMPARE(readAll(aside), content);
    }
}

void TestHistoryFaults::unwritableRecord_data()
{
    QTest::addColumn<TestResult>("bad");
    QTest::addColumn<bool>("unreadableOnDisk");
    const auto with = [](double TestResult::*field, double value) {
        TestResult r = record(5);
        r.*field = value;
        return r;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    TestResult late = record(5);
    late.date = QDateTime(QDate(9999, 12, 31), QTime(23, 30), QTimeZone(-5 * 3600));
    QTest::newRow("NaN latency") << with(&TestResult::latencyMedian, nan) << false;
    QTest::newRow("NaN over an unreadable file") << with(&TestResult::upload, nan) << true;
    QTest::newRow("date past year 9999 in UTC") << late << false;
}

void TestHistoryFaults::unwritableRecord()
{
    QFETCH(TestResult, bad);
    QFETCH(bool, unreadableOnDisk);
    const QString path = m_dir->filePath("history.json");
    const Results earlier{record(1)};
    const QByteArray content = unreadableOnDisk ? QByteArray("[oops") : handWritten(earlier);
    writeAll(path, content);
    HistoryStore store(path);

    store.add(bad);
    QCOMPARE(store.items().size(), unreadableOnDisk ? 1 : 2);
    QCOMPARE(readAll(path), content); // nothing written, nothing moved
    QCOMPARE(entries(m_dir->path()), QStringList{"history.json"});
    QVERIFY(!store.saveError().isEmpty());

    store.remove(bad); // once it is gone, saving works again
    QCOMPARE(readHistory(path), std::optional<Results>(unreadableOnDisk ? Results{} : earlier));
    QCOMPARE(entries(m_dir->path()).size(), unreadableOnDisk ? 2 : 1);
    QCOMPARE(store.saveError(), QString());
}

void TestHistoryFaults::unreadableFilesInTheSameSecond()
{
    const QString path = m_dir->filePath("history.json");
    // Earlier copies for every second this test may run in: each save must
    // pick a fresh name instead of replacing one.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QMap<QString, QByteArray> decoys;
    for (int s = -1; s <= 20; ++s) {
        const QString name = path + ".unreadable-" + now.addSecs(s).toString("yyyyMMdd'T'HHmmss'Z'");
        decoys[name] = "decoy " + name.toUtf8();
        writeAll(name, decoys[name]);
    }
    const QByteArray first("{\"first\": true}"), second("{\"second\": true}");
    writeAll(path, first);
    HistoryStore(path).add(record(1));
    writeAll(path, second);
    HistoryStore(path).add(record(2));

    QMap<QByteArray, QString> copies;
    for (const QString &e : entries(m_dir->path())) {
        const QString name = m_dir->filePath(e);
        if (decoys.contains(name))
            QCOMPARE(readAll(name), decoys.value(name));
        else if (name != path)
            copies[readAll(name)] = e;
    }
    QCOMPARE(copies.size(), 2);
    QVERIFY(copies.contains(first));
    QVERIFY(copies.contains(second));
    QVERIFY2(copies.value(first).contains(QRegularExpression("Z-\\d+\\z")), qPrintable(copies.value(first)));
    QCOMPARE(readHistory(path), std::optional<Results>({record(2)}));
}

QTEST_GUILESS_MAIN(TestHistoryFaults)
#include "tst_historystore_faults.moc"
