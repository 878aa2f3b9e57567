// The history store under file-system faults: writes that fail, files it
// cannot open, copies it cannot make, numbers JSON cannot carry, a very large
// file. Whatever happens, a readable earlier file and the user's records
// survive.
#include "historyfiles.h"
#include "historystore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <limits>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(TestResult)

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

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                               QDir::Name);
}

std::optional<Results> readHistory(const QString &path)
{
    const QJsonDocument d = QJsonDocument::fromJson(readAll(path));
    if (!d.isArray())
        return std::nullopt;
    Results out;
    for (const QJsonValue &v : d.array()) {
        const auto r = ResultCodec::decode(v.toObject());
        if (!r)
            return std::nullopt;
        out.append(*r);
    }
    return out;
}

// Permission bits stop nobody with CAP_DAC_OVERRIDE (tests often run as root).
bool permissionsBite(const QString &dir)
{
    QFile probe(dir + QStringLiteral("/probe"));
    if (!probe.open(QIODevice::WriteOnly))
        return true;
    probe.remove();
    return false;
}

enum Fault { ParentIsFile, FileSizeLimit, ReadOnlyDir, NameTooLongForCopy };

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
    void unopenable_data();
    void unopenable();
    void nonFinite_data();
    void nonFinite();
    void unreadableFilesInTheSameSecond();
    void veryLargeFile();

private:
    QString arrange(Fault fault, const QByteArray &content);
    std::unique_ptr<QTemporaryDir> m_dir;
    std::function<void()> m_undo;
};

// Sets up the fault, writes the history file, returns its path.
QString TestHistoryFaults::arrange(Fault fault, const QByteArray &content)
{
    const QString dir = m_dir->path();
    QString path = dir + QStringLiteral("/history.json");
    m_undo = [] {};
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
        if (!permissionsBite(dir))
            return {};
        return path;
    }
    return path;
}

void TestHistoryFaults::writeFails_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Results>("loaded");
    QTest::addColumn<bool>("writable"); // whether, fault or not, the save should land

    const Results some{record(1), record(2)};
    const QByteArray bad("[{\"id\": \"hand edit gone wrong\"}]");
    QTest::newRow("parent is a regular file") << int(ParentIsFile) << QByteArray() << Results{} << false;
    QTest::newRow("file size limit") << int(FileSizeLimit) << handWritten(some) << some << false;
    QTest::newRow("read-only directory") << int(ReadOnlyDir) << handWritten(some) << some << false;
    QTest::newRow("read-only directory, unreadable file") << int(ReadOnlyDir) << bad << Results{} << false;
    QTest::newRow("copy name too long, unreadable file") << int(NameTooLongForCopy) << bad << Results{} << false;
    QTest::newRow("same long name, readable file") << int(NameTooLongForCopy) << handWritten(some) << some << true;
}

void TestHistoryFaults::writeFails()
{
    QFETCH(int, fault);
    QFETCH(QByteArray, content);
    QFETCH(Results, loaded);
    QFETCH(bool, writable);
    const QString path = arrange(Fault(fault), content);
    auto undo = qScopeGuard([this] { m_undo(); });
    if (path.isEmpty())
        QSKIP("permission bits do not stop this user; the other rows cover failed writes");
    const QStringList before = entries(m_dir->path());

    HistoryStore store(path);
    QCOMPARE(store.items(), loaded);
    QSignalSpy spy(&store, &HistoryStore::itemsChanged);
    const TestResult added = record(7);
    store.add(added);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(store.items(), Results{added} + loaded); // the change is kept in memory

    if (writable) {
        QCOMPARE(readHistory(path), std::optional<Results>(Results{added} + loaded));
        return;
    }
    QCOMPARE(entries(m_dir->path()), before); // no copy, no temporary
    QCOMPARE(readAll(path), content);

    undo.dismiss();
    m_undo();
    if (fault == ParentIsFile || fault == NameTooLongForCopy)
        return; // these faults stay
    // Once the fault clears, the next save carries the earlier change too.
    store.add(record(8));
    if (loaded.isEmpty())
        QCOMPARE(entries(m_dir->path()).size(), 2); // the unreadable file went aside first
    QCOMPARE(readHistory(path), std::optional<Results>(Results{record(8), added} + loaded));
}

void TestHistoryFaults::unopenable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("directory at the path") << "directory";
    QTest::newRow("pipe at the path") << "pipe";
    QTest::newRow("no read permission") << "unreadable";
}

void TestHistoryFaults::unopenable()
{
    QFETCH(QString, kind);
    const QString path = m_dir->filePath("history.json");
    const QByteArray valid = handWritten({record(1)});
    if (kind == "directory") {
        QVERIFY(QDir().mkpath(path));
        writeAll(path + "/keep.txt", "precious");
    } else if (kind == "pipe") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else {
        writeAll(path, valid);
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        QFile probe(path);
        if (probe.open(QIODevice::ReadOnly))
            QSKIP("this user reads files without read permission; the other rows cover it");
    }

    ::alarm(30); // opening a pipe would block forever: die instead of hanging
    HistoryStore store(path);
    ::alarm(0);
    QVERIFY(store.items().isEmpty());
    QCOMPARE(entries(m_dir->path()), QStringList{"history.json"});

    store.add(record(2));
    QCOMPARE(readHistory(path), std::optional<Results>({record(2)}));
    const QStringList after = entries(m_dir->path());
    QCOMPARE(after.size(), 2);
    const QString aside = m_dir->filePath(after.at(0) == "history.json" ? after.at(1) : after.at(0));
    QVERIFY(aside.contains(".unreadable-"));
    if (kind == "directory")
        QCOMPARE(readAll(aside + "/keep.txt"), QByteArray("precious"));
    else if (kind == "pipe")
        QVERIFY(QFileInfo(aside).isFile() == false && QFileInfo(aside).exists());
    else {
        QVERIFY(QFile::setPermissions(aside, QFile::ReadOwner));
        QCOMPARE(readAll(aside), valid);
    }
}

void TestHistoryFaults::nonFinite_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("unreadableOnDisk");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("NaN latency") << "latencyMedian" << nan << false;
    QTest::newRow("infinite download") << "download" << inf << false;
    QTest::newRow("negative infinite jitter") << "jitter" << -inf << false;
    QTest::newRow("NaN over an unreadable file") << "upload" << nan << true;
}

void TestHistoryFaults::nonFinite()
{
    QFETCH(QString, field);
    QFETCH(double, value);
    QFETCH(bool, unreadableOnDisk);
    const QString path = m_dir->filePath("history.json");
    const Results earlier{record(1)};
    const QByteArray content = unreadableOnDisk ? QByteArray("[oops") : handWritten(earlier);
    writeAll(path, content);
    HistoryStore store(path);

    TestResult bad = record(5);
    (field == "latencyMedian" ? bad.latencyMedian
     : field == "download"    ? bad.download
     : field == "jitter"      ? bad.jitter
                              : bad.upload) = value;
    store.add(bad);
    QCOMPARE(store.items().size(), unreadableOnDisk ? 1 : 2);
    QCOMPARE(readAll(path), content); // nothing written, nothing moved
    QCOMPARE(entries(m_dir->path()), QStringList{"history.json"});

    store.remove(bad); // once it is gone, saving works again
    QCOMPARE(readHistory(path), std::optional<Results>(unreadableOnDisk ? Results{} : earlier));
    QCOMPARE(entries(m_dir->path()).size(), unreadableOnDisk ? 2 : 1);
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

void TestHistoryFaults::veryLargeFile()
{
    const QString path = m_dir->filePath("history.json");
    constexpr int count = 100000;
    QJsonArray array;
    for (int i = 0; i < count; ++i)
        array.append(*ResultCodec::encode(record(i)));
    writeAll(path, QJsonDocument(array).toJson());

    HistoryStore store(path);
    QCOMPARE(store.items().size(), count);
    QCOMPARE(store.items().first(), record(0));
    QCOMPARE(store.items().last(), record(count - 1));
    store.remove(record(0));
    const auto written = readHistory(path);
    QVERIFY(written.has_value());
    QCOMPARE(written->size(), count - 1);
    QCOMPARE(written->first(), record(1));
}

QTEST_GUILESS_MAIN(TestHistoryFaults)
#include "tst_historystore_faults.moc"
