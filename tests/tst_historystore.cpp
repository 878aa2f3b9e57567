// Loading and saving the history file: what each kind of file on disk turns
// into, what gets written back, list order, change notifications; and the
// store under file-system faults: writes that fail, copies it cannot make,
// records JSON cannot carry, a history past the size limit. Whatever happens,
// a readable earlier file and the user's records survive, and a save that
// fails says why until one works.
#include "historyfiles.h"
#include "historystore.h"
#include "unprivileged.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <cmath>
#include <csignal>
#include <functional>
#include <limits>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Results = QList<TestResult>;

namespace {

QUuid idOf(int n)
{
    return QUuid::fromString(QStringLiteral("0c8e4a7e-1f2b-4d3c-9a5e-%1").arg(n, 12, 10, QLatin1Char('0')));
}

const QDateTime when = storedRecord().date;

// Record n: the stored record under an id of its own.
TestResult record(int n, QDateTime date = when)
{
    TestResult r = storedAt(date);
    r.id = idOf(n);
    return r;
}

// Its member set as a user's file would hold it.
QJsonObject object(int n)
{
    QJsonObject o = storedObject();
    o.insert("id", idOf(n).toString(QUuid::WithoutBraces).toUpper());
    return o;
}

QByteArray doc(const QJsonArray &array)
{
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

TestResult truncated(TestResult r)
{
    r.date = QDateTime::fromSecsSinceEpoch(std::floor(r.date.toMSecsSinceEpoch() / 1000.0), Qt::UTC);
    return r;
}

enum Fault { ParentIsFile, FileSizeLimit, ReadOnlyDir, NameTooLongForCopy, DanglingLink, HistorySizeLimit };

} // namespace

class TestHistoryStore : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_path = m_dir->filePath("history.json");
    }
    void cleanup() { QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); }

    void load_data();
    void load();
    void loadUnreadable_data();
    void loadUnreadable();
    void remove_data();
    void remove();
    void roundTrip_data();
    void roundTrip();
    void oneSignalPerOperation();
    void defaultLocation();
    void writeFails_data();
    void writeFails();
    void unwritableRecord_data();
    void unwritableRecord();
    void unreadableFilesInTheSameSecond();

private:
    QString arrange(Fault fault, const QByteArray &content);
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    std::function<void()> m_undo;
    Results m_appeared; // what shows up once the fault clears
    qint64 m_limit = HistoryStore::defaultMaxFileSize;
};

void TestHistoryStore::load_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Results>("expected");

    const QByteArray one = doc({object(1)});
    QTest::newRow("empty file") << QByteArray() << Results{};
    QTest::newRow("empty array") << QByteArray("[]") << Results{};
    QTest::newRow("order kept") << doc({object(1), object(2)}) << Results{record(1), record(2)};
    QTest::newRow("pretty printed") << QJsonDocument(QJsonArray{object(1)}).toJson() << Results{record(1)};
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF") + one << Results{record(1)};
    QJsonObject twin = object(1);
    twin.insert("download", 3.5);
    TestResult twinRecord = record(1);
    twinRecord.download = 3.5;
    QTest::newRow("duplicate ids") << doc({object(1), twin}) << Results{record(1), twinRecord};
    for (const FieldRule &rule : acceptedFields())
        QTest::newRow(rule.name.constData()) << doc({rule.object()}) << Results{rule.read};
}

void TestHistoryStore::load()
{
    QFETCH(QByteArray, content);
    QFETCH(Results, expected);
    writeAll(m_path, content);

    HistoryStore store(m_path);
    QCOMPARE(store.items(), expected);
    QCOMPARE(readAll(m_path), content); // nothing written at load

    store.add(record(9));
    Results expectedFile{record(9)};
    for (const TestResult &r : expected)
        expectedFile.append(truncated(r));
    QCOMPARE(readHistory(m_path), std::optional<Results>(expectedFile));
    QVERIFY(readAll(m_path).contains("\n    ")); // indented for people who open it
    QCOMPARE(entries(m_dir->path()), QStringList{"history.json"}); // no temporary left behind
    QCOMPARE(store.saveError(), QString());
}

void TestHistoryStore::loadUnreadable_data()
{
    QTest::addColumn<QString>("kind"); // what stands at the path: a file unless said
    QTest::addColumn<QByteArray>("content");

    const QByteArray one = doc({object(1)});
    const QByteArray two = doc({object(1), object(2)});
    const QString file("file");
    QTest::newRow("whitespace only") << file << QByteArray(" \n\t");
    QTest::newRow("not JSON") << file << QByteArray("Quorvel history");
    QTest::newRow("binary garbage") << file << QByteArray("\x00\xff[\x80\x01", 5);
    QTest::newRow("truncated") << file << two.left(two.size() / 2);
    QTest::newRow("trailing garbage") << file << one + "]";
    QTest::newRow("object not array") << file << one.mid(1).chopped(1);
    QTest::newRow("null document") << file << QByteArray("null");
    QTest::newRow("array of numbers") << file << QByteArray("[1,2]");
    QTest::newRow("nested array") << file << QByteArray("[") + one + "]";
    QTest::newRow("one bad among good") << file << doc({object(1), QJsonObject{{"id", 3}}, object(2)});
    QTest::newRow("number out of range") << file << QByteArray(one).replace("93.46", "1e400");
    for (const FieldRule &rule : rejectedFields())
        QTest::newRow(rule.name.constData()) << file << doc({object(2), rule.object()});
    QTest::newRow("directory at the path") << "directory" << QByteArray("precious");
    QTest::newRow("pipe at the path") << "pipe" << QByteArray();
    QTest::newRow("no read permission") << "unreadable" << one;
    // The linked file goes aside; the link stays and is written through.
    QTest::newRow("garbage behind a link") << "linked" << QByteArray("[oops");
    QTest::newRow("larger than memory") << "sparse" << QByteArray();
    // Read whole, it would be an empty history; the store's limit is one byte less.
    QTest::newRow("history padded one byte past the limit") << "padded" << "[]" + QByteArray(4095, ' ');
}

// Never overwritten: kept aside at the first save, and only then.
void TestHistoryStore::loadUnreadable()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    if (kind == "unreadable")
        RUN_UNPRIVILEGED();
    constexpr qint64 sparseSize = qint64(64) << 30;
    const QString folder = kind == "linked" ? m_dir->filePath("elsewhere") : m_dir->path();
    QVERIFY(QDir().mkpath(folder));
    if (kind == "directory") {
        QVERIFY(QDir().mkpath(m_path));
        writeAll(m_path + "/keep.txt", content);
    } else if (kind == "pipe") {
        QCOMPARE(::mkfifo(QFile::encodeName(m_path).constData(), 0600), 0);
    } else if (kind == "sparse") {
        QFile f(m_path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(sparseSize));
    } else {
        writeAll(folder + "/history.json", content);
        if (kind == "linked")
            QVERIFY(QFile::link(folder + "/history.json", m_path));
        if (kind == "unreadable")
            QVERIFY(QFile::setPermissions(m_path, QFileDevice::Permissions()));
    }

    ::alarm(30); // opening a pipe would block forever: die instead of hanging
    HistoryStore store(m_path, kind == "padded" ? content.size() - 1 : HistoryStore::defaultMaxFileSize);
    ::alarm(0);
    QVERIFY(store.items().isEmpty());
    QCOMPARE(entries(folder), QStringList{"history.json"}); // nothing written at load

    store.add(record(9));
    store.add(record(10));
    QCOMPARE(readHistory(m_path), std::optional<Results>({record(10), record(9)}));
    QCOMPARE(QFileInfo(m_path).isSymLink(), kind == "linked");
    const QStringList after = entries(folder);
    QCOMPARE(after.size(), 2);
    QVERIFY2(QRegularExpression("\\Ahistory\\.json\\.unreadable-\\d{8}T\\d{6}Z\\z").match(after.at(1)).hasMatch(),
             qPrintable(after.at(1)));
    const QString aside = folder + "/" + after.at(1);
    if (kind == "directory") {
        QCOMPARE(readAll(aside + "/keep.txt"), content);
    } else if (kind == "pipe") {
        QVERIFY(QFileInfo(aside).exists() && !QFileInfo(aside).isFile());
    } else if (kind == "sparse") {
        QCOMPARE(QFileInfo(aside).size(), sparseSize);
    } else {
        QVERIFY(QFile::setPermissions(aside, QFile::ReadOwner));
        QCOMPARE(readAll(aside), content);
    }
}

void TestHistoryStore::remove_data()
{
    QTest::addColumn<QJsonArray>("onDisk");
    QTest::addColumn<int>("removed");
    QTest::addColumn<Results>("expected");

    QJsonObject twin = object(2);
    twin.insert("jitter", 9.0);
    TestResult twinRecord = record(2);
    twinRecord.jitter = 9;
    QTest::newRow("absent id") << QJsonArray{object(1), object(2)} << 7 << Results{record(1), record(2)};
    QTest::newRow("from the middle") << QJsonArray{object(1), object(2), object(3)} << 2
                                     << Results{record(1), record(3)};
    QTest::newRow("every duplicate") << QJsonArray{object(2), object(1), twin, object(3)} << 2
                                     << Results{record(1), record(3)};
    QTest::newRow("the only record") << QJsonArray{object(4)} << 4 << Results{};
    QTest::newRow("from empty") << QJsonArray{} << 4 << Results{};
}

void TestHistoryStore::remove()
{
    QFETCH(QJsonArray, onDisk);
    QFETCH(int, removed);
    QFETCH(Results, expected);
    // Written by hand, compact: any rewrite shows.
    const QByteArray handWritten = doc(onDisk);
    writeAll(m_path, handWritten);
    HistoryStore store(m_path);

    TestResult key = record(removed);
    key.download = -1; // matched by id alone
    store.remove(key);
    QCOMPARE(store.items(), expected);
    QCOMPARE(readHistory(m_path), std::optional<Results>(expected));
    QVERIFY(readAll(m_path) != handWritten);
}

void TestHistoryStore::roundTrip_data()
{
    QTest::addColumn<TestResult>("saved");
    QTest::addColumn<bool>("hasFraction");

    const double biggest = std::numeric_limits<double>::max();
    QTest::newRow("whole seconds") << record(1) << false;
    QTest::newRow("first second of year 1") << record(1, utc(1, 1, 1, 0, 0, 0)) << false;
    QTest::newRow("last moment of year 9999") << record(1, utc(9999, 12, 31, 23, 59, 59, 999)) << true;
    QTest::newRow("fraction dropped") << record(1, when.addMSecs(999)) << true;
    QTest::newRow("before 1970 floors")
        << record(1, QDateTime(QDate(1969, 12, 31), QTime(23, 59, 59, 500), Qt::UTC)) << true;
    QTest::newRow("local time saved as UTC")
        << record(1, QDateTime(QDate(2026, 7, 1), QTime(8, 0, 1, 1), QTimeZone(3600 * 5))) << true;
    QTest::newRow("awkward numbers")
        << TestResult{idOf(2), when, 0.1 + 0.2, 1.0 / 3, 5e-324, biggest, -0.0, 123456789.123456789} << false;
    QTest::newRow("large whole numbers") << TestResult{idOf(3), when, 1e20, 9007199254740993.0, 2.5e15, 1, 0, 1e300}
                                         << false;
}

void TestHistoryStore::roundTrip()
{
    QFETCH(TestResult, saved);
    QFETCH(bool, hasFraction);
    {
        HistoryStore store(m_path);
        store.add(saved);
    }
    // quorvel-cli --csv writes each field as this file does.
    const QByteArray file = readAll(m_path);
    const QList<QByteArray> row = ResultCodec::csvRow(saved).value_or("").split(',');
    QCOMPARE(row.size(), 8);
    for (int i = 0; i < 8; ++i) {
        const QByteArray quote = i < 2 ? "\"" : "";
        QVERIFY2(file.contains('"' + QByteArray(ResultCodec::keys[i]) + "\": " + quote + row[i] + quote + (i < 7 ? "," : "\n")),
                 row[i].constData());
    }
    HistoryStore reopened(m_path);
    QCOMPARE(reopened.items().size(), 1);
    const TestResult loaded = reopened.items().first();
    QCOMPARE(loaded, truncated(saved)); // every bit of every number
    QCOMPARE(loaded.date.timeSpec(), Qt::UTC);
    QCOMPARE(loaded == saved, !hasFraction);
}

void TestHistoryStore::oneSignalPerOperation()
{
    HistoryStore store(m_path);
    QList<qsizetype> sizesSeen;
    QList<bool> savedSeen;
    connect(&store, &HistoryStore::itemsChanged, this, [&] {
        sizesSeen.append(store.items().size());
        savedSeen.append(readHistory(m_path) == std::optional<Results>(store.items()));
    });

    store.clear(); // with no file yet: writes an empty array
    store.add(record(1));
    store.add(record(2));
    QCOMPARE(store.items(), (Results{record(2), record(1)}));
    store.remove(record(1));
    store.remove(record(7)); // nothing removed, still one notification
    store.clear();
    QCOMPARE(sizesSeen, (QList<qsizetype>{0, 1, 2, 1, 1, 0})); // one notification each
    QCOMPARE(savedSeen, QList<bool>(6, true)); // listeners see the file already saved
}

void TestHistoryStore::defaultLocation()
{
    QTemporaryDir data;
    QVERIFY(data.isValid());
    const QByteArray old = qgetenv("XDG_DATA_HOME");
    const auto restore = qScopeGuard([&old] {
        if (old.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", old);
    });
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    const QString expected = data.filePath("Quorvel/history.json");
    QCOMPARE(HistoryStore::defaultPath(), expected);
    {
        HistoryStore store;
        QCOMPARE(store.filePath(), expected);
        QVERIFY(QFileInfo(data.filePath("Quorvel")).isDir()); // folder made at creation
        QVERIFY(!QFile::exists(expected));
        store.add(record(1));
    }
    QCOMPARE(readHistory(expected), std::optional<Results>({record(1)}));
}

// Sets up the fault, writes the history file, returns its path.
QString TestHistoryStore::arrange(Fault fault, const QByteArray &content)
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
            writeAll(dir + QStringLiteral("/mnt/Quorvel/history.json"), doc({object(3), object(4)}));
        };
        return path;
    }
    return path;
}

void TestHistoryStore::writeFails_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Results>("loaded");
    QTest::addColumn<QString>("reason"); // empty: the save lands, fault or not

    const Results some{record(1), record(2)};
    const QByteArray someOnDisk = doc({object(1), object(2)});
    const QByteArray bad("[{\"id\": \"hand edit gone wrong\"}]");
    QTest::newRow("parent is a regular file") << int(ParentIsFile) << QByteArray() << Results{} << "Not a directory";
    QTest::newRow("file size limit") << int(FileSizeLimit) << someOnDisk << some << "File too large";
    QTest::newRow("read-only directory") << int(ReadOnlyDir) << someOnDisk << some << "Permission denied";
    QTest::newRow("read-only directory, unreadable file")
        << int(ReadOnlyDir) << bad << Results{} << "can't be moved aside (Permission denied)";
    QTest::newRow("copy name too long, unreadable file")
        << int(NameTooLongForCopy) << bad << Results{} << "can't be moved aside (File name too long)";
    QTest::newRow("same long name, readable file") << int(NameTooLongForCopy) << someOnDisk << some << "";
    QTest::newRow("dangling link") << int(DanglingLink) << QByteArray() << Results{} << "is a link to";
    QTest::newRow("history grown past the size limit")
        << int(HistorySizeLimit) << someOnDisk << some << "more than can be read back";
}

void TestHistoryStore::writeFails()
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

// What the reader would refuse is never written, by any writer.
void TestHistoryStore::unwritableRecord_data()
{
    QTest::addColumn<TestResult>("bad");
    QTest::addColumn<bool>("unreadableOnDisk");
    const auto with = [](double TestResult::*field, double value) {
        TestResult r = record(5);
        r.*field = value;
        return r;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("NaN latency") << with(&TestResult::latencyMedian, nan) << false;
    QTest::newRow("infinite upload") << with(&TestResult::upload, std::numeric_limits<double>::infinity()) << false;
    QTest::newRow("NaN over an unreadable file") << with(&TestResult::upload, nan) << true;
    QTest::newRow("a millisecond before year 1") << storedAt(utc(1, 1, 1, 0, 0, 0).addMSecs(-1)) << false;
    QTest::newRow("a millisecond after year 9999") << storedAt(utc(9999, 12, 31, 23, 59, 59, 999).addMSecs(1))
                                                  << false;
    QTest::newRow("local time whose UTC is past year 9999")
        << storedAt(QDateTime(QDate(9999, 12, 31), QTime(23, 30), QTimeZone(-5 * 3600))) << false;
    QTest::newRow("invalid date") << storedAt(QDateTime()) << false;
}

void TestHistoryStore::unwritableRecord()
{
    QFETCH(TestResult, bad);
    QFETCH(bool, unreadableOnDisk);
    const QString path = m_dir->filePath("history.json");
    const Results earlier{record(1)};
    const QByteArray content = unreadableOnDisk ? QByteArray("[oops") : doc({object(1)});
    writeAll(path, content);
    HistoryStore store(path);

    QVERIFY(!ResultCodec::encode(bad)); // nor by the command line's JSON
    QVERIFY(!ResultCodec::csvRow(bad)); // or CSV
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

void TestHistoryStore::unreadableFilesInTheSameSecond()
{
    // Earlier copies for every second this test may run in: each save must
    // pick a fresh name instead of replacing one.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QStringList decoys;
    for (int s = -1; s <= 20; ++s) {
        decoys.append(m_path + ".unreadable-" + now.addSecs(s).toString("yyyyMMdd'T'HHmmss'Z'"));
        writeAll(decoys.last(), decoys.last().toUtf8());
    }
    const QByteArray first("{\"first\": true}"), second("{\"second\": true}");
    writeAll(m_path, first);
    HistoryStore(m_path).add(record(1));
    writeAll(m_path, second);
    HistoryStore(m_path).add(record(2));

    QList<QByteArray> copies; // by name, so in the order they were made
    for (const QString &e : entries(m_dir->path())) {
        const QString name = m_dir->filePath(e);
        if (decoys.contains(name))
            QCOMPARE(readAll(name), name.toUtf8());
        else if (name != m_path)
            copies.append(readAll(name));
    }
    QCOMPARE(copies, (QList<QByteArray>{first, second}));
    QCOMPARE(readHistory(m_path), std::optional<Results>({record(2)}));
}

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_historystore.moc"
