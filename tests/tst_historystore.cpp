// The history file: which members of one record the store takes; what each
// kind of file on disk turns into and what gets written back, list order,
// change notifications; and the store under file-system faults: writes that
// fail, copies it cannot make, records JSON cannot carry, a history past the
// size limit. Whatever happens, a readable earlier file and the user's
// records survive, and a save that fails says why until one works.
#include "historyfiles.h"
#include "historystore.h"
#include "unprivileged.h"

#include <QtTest>

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

// As the file keeps it: whole seconds.
TestResult truncated(TestResult r)
{
    r.date = QDateTime::fromSecsSinceEpoch(std::floor(r.date.toMSecsSinceEpoch() / 1000.0), Qt::UTC);
    return r;
}

constexpr qint64 sparseSize = qint64(64) << 30;

// What stands at the path, or the fault.
enum class Kind {
    file, longName, directory, pipe, noReadPermission, linked, sparse, padded, readOnlyFolder, parentIsFile,
    fileSizeLimit, danglingLink, sizeLimit
};

void columns()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Results>("loaded");
    QTest::addColumn<QString>("reason"); // why the first save fails; empty: it lands
}

void row(const char *name, const QByteArray &content, const Results &loaded = {}, Kind kind = Kind::file,
         const QString &reason = {})
{
    QTest::newRow(name) << kind << content << loaded << reason;
}

} // namespace

Q_DECLARE_METATYPE(Kind)

class TestHistoryStore : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir, m_elsewhere;
    QString m_path;
    // Set by arrange(): where the file proper lives, the size limit, whether
    // the fault outlasts m_undo(), and what shows up once it clears.
    QString m_folder;
    qint64 m_limit = HistoryStore::defaultMaxFileSize;
    bool m_stays = false;
    std::function<void()> m_undo;
    Results m_appeared;

    void arrange(Kind kind, const QByteArray &content);
    void loadAndSave(bool unreadable);

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_elsewhere = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid() && m_elsewhere->isValid());
        m_path = m_dir->filePath("history.json");
    }
    void cleanup() { QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); }

    void load_data()
    {
        columns();
        QJsonObject twin = object(1);
        twin.insert("download", 3.5);
        TestResult twinRecord = record(1);
        twinRecord.download = 3.5;
        const Results some{record(1), record(2)};
        row("empty file", "");
        row("empty array", "[]");
        row("order kept", doc({object(1), object(2)}), some);
        row("pretty printed", QJsonDocument(QJsonArray{object(1)}).toJson(), {record(1)});
        row("byte order mark", "\xEF\xBB\xBF" + doc({object(1)}), {record(1)});
        row("duplicate ids", doc({object(1), twin}), {record(1), twinRecord});
        for (const FieldRule &rule : acceptedFields())
            row(rule.name.constData(), doc({rule.object()}), {rule.read});
        row("name too long for a copy, readable file", doc({object(1), object(2)}), some, Kind::longName);
    }
    void load() { loadAndSave(false); }

    // Never overwritten: kept aside at the first save that works, and only then.
    void loadUnreadable_data()
    {
        columns();
        const QByteArray one = doc({object(1)});
        const QByteArray two = doc({object(1), object(2)});
        row("whitespace only", " \n\t");
        row("not JSON", "Quorvel history");
        row("binary garbage", QByteArray("\x00\xff[\x80\x01", 5)); // empty, read as a C string
        row("truncated", two.left(two.size() / 2));
        row("trailing garbage", one + "]");
        row("object not array", one.mid(1).chopped(1));
        row("null document", "null");
        row("array of numbers", "[1,2]");
        row("one bad among good", doc({object(1), QJsonObject{{"id", 3}}, object(2)}));
        row("number out of range", QByteArray(one).replace("93.46", "1e400"));
        for (const FieldRule &rule : rejectedFields())
            row(rule.name.constData(), doc({object(2), rule.object()}));
        row("directory at the path", "precious", {}, Kind::directory);
        row("pipe at the path", "", {}, Kind::pipe);
        row("no read permission", one, {}, Kind::noReadPermission);
        // The linked file goes aside; the link stays and is written through.
        row("garbage behind a link", "[oops", {}, Kind::linked);
        row("larger than memory", "", {}, Kind::sparse);
        // Read whole, it would be an empty history; the store's limit is one byte less.
        row("history padded one byte past the limit", "[]" + QByteArray(4095, ' '), {}, Kind::padded);
        const QByteArray bad("[{\"id\": \"hand edit gone wrong\"}]");
        row("read-only folder, unreadable file", bad, {}, Kind::readOnlyFolder, "can't be moved aside (Permission denied)");
        row("name too long for a copy, unreadable file", bad, {}, Kind::longName, "can't be moved aside (File name too long)");
    }
    void loadUnreadable() { loadAndSave(true); }

    void writeFails_data()
    {
        columns();
        const Results some{record(1), record(2)};
        const QByteArray someOnDisk = doc({object(1), object(2)});
        row("parent is a regular file", "", {}, Kind::parentIsFile, "Not a directory");
        row("file size limit", someOnDisk, some, Kind::fileSizeLimit, "File too large");
        row("read-only folder", someOnDisk, some, Kind::readOnlyFolder, "Permission denied");
        row("dangling link", "", {}, Kind::danglingLink, "is a link to");
        // What is there is just within the limit; one more record is not.
        row("history grown past the size limit", someOnDisk, some, Kind::sizeLimit, "more than can be read back");
    }
    void writeFails() { loadAndSave(false); }

    // == never holds for NaN; sameBits, which keeps a list's rows, compares bits.
    void comparisons_data()
    {
        QTest::addColumn<TestResult>("a");
        QTest::addColumn<TestResult>("b");
        QTest::addColumn<bool>("equal");
        QTest::addColumn<bool>("sameBits");
        TestResult nan = record(1), zero = record(1), negativeZero = record(1), later = record(1), loaded = record(1),
                   moreLoaded = record(1);
        nan.jitter = std::nan("");
        loaded.downloadLatency = 35;
        moreLoaded.downloadLatency = 36;
        zero.download = 0.0;
        negativeZero.download = -0.0;
        later.date = later.date.addMSecs(1);
        QTest::newRow("a copy") << record(1) << record(1) << true << true;
        QTest::newRow("only the id differs") << record(1) << record(2) << false << false;
        QTest::newRow("a millisecond later") << record(1) << later << false << false;
        QTest::newRow("NaN, against its copy") << nan << nan << false << true;
        QTest::newRow("0 and -0") << zero << negativeZero << true << false;
        QTest::newRow("a loaded latency against none") << loaded << record(1) << false << false;
        QTest::newRow("loaded latencies differ") << loaded << moreLoaded << false << false;
    }
    void comparisons()
    {
        QFETCH(TestResult, a);
        QFETCH(TestResult, b);
        QTEST(a == b, "equal");
        QTEST(sameBits(a, b), "sameBits");
    }

    // One record in each encoding, written out by hand: quorvel-cli's --json
    // (its own members after the record's), the history file (the same
    // objects, one step deeper) and the CSV line, whose two last columns stay
    // empty without loaded latencies.
    void encodings_data()
    {
        QTest::addColumn<TestResult>("r");
        QTest::addColumn<QByteArray>("loaded"); // its members in the object
        QTest::addColumn<QByteArray>("csvEnd");
        TestResult both = storedRecord(), uploadOnly = storedRecord();
        both.downloadLatency = 35.25;
        both.uploadLatency = 0.5;
        uploadOnly.uploadLatency = 250;
        QTest::newRow("the eight fields") << storedRecord() << QByteArray() << QByteArray(",,");
        QTest::newRow("both loaded latencies") << both << QByteArray(",\n    \"downloadLatency\": 35.25,\n    \"uploadLatency\": 0.5")
                                               << QByteArray(",35.25,0.5");
        QTest::newRow("the upload's alone") << uploadOnly << QByteArray(",\n    \"uploadLatency\": 250") << QByteArray(",,250");
    }
    void encodings()
    {
        QFETCH(TestResult, r);
        QFETCH(QByteArray, loaded);
        QFETCH(QByteArray, csvEnd);
        const QByteArray object = storedJson.chopped(3) + loaded + "\n}\n"; // the members go before "\n}\n"
        QCOMPARE(ResultCodec::encodeObject(r).value_or(""), object);
        // quorvel-cli's own members go last.
        QCOMPARE(ResultCodec::encodeObject(r, {{"uploadProbesFailed", 2}}).value_or(""),
                 object.chopped(3) + ",\n    \"uploadProbesFailed\": 2\n}\n");
        QCOMPARE(ResultCodec::decode(QJsonDocument::fromJson(object).object()), std::optional(r));
        QCOMPARE(ResultCodec::encodeArray({r, r}).value_or(""), historyText({object, object}));
        QCOMPARE(ResultCodec::encodeArray({}).value_or(""), "[]\n");
        QCOMPARE(ResultCodec::csvRow(r).value_or(""),
                 "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8,2026-12-05T12:43:35Z,15.04,12.5,120.7,3.21,93.46,12.3" + csvEnd);
    }

    // Every bit of every number; the date in UTC, floored to the second.
    void roundTrip_data()
    {
        QTest::addColumn<TestResult>("saved");
        QTest::newRow("first second of year 1") << record(1, utc(1, 1, 1, 0, 0, 0));
        QTest::newRow("last moment of year 9999") << record(1, utc(9999, 12, 31, 23, 59, 59, 999));
        QTest::newRow("fraction dropped") << record(1, when.addMSecs(999));
        QTest::newRow("before 1970 floors") << record(1, utc(1969, 12, 31, 23, 59, 59, 500));
        QTest::newRow("local time saved as UTC")
            << record(1, QDateTime(QDate(2026, 7, 1), QTime(8, 0, 1, 1), QTimeZone(3600 * 5)));
        QTest::newRow("awkward numbers") << TestResult{idOf(2), when, 0.1 + 0.2, 1.0 / 3, 5e-324,
                                                       std::numeric_limits<double>::max(), -0.0, 123456789.123456789};
        QTest::newRow("large whole numbers") << TestResult{idOf(3), when, 1e20, 9007199254740993.0, 2.5e15, 1, 0, 1e300};
        QTest::newRow("loaded latencies") << TestResult{idOf(4), when, 1, 2, 3, 4, 5, 6, 0.1 + 0.2, 5e-324};
        QTest::newRow("the download's loaded latency alone") << TestResult{idOf(5), when, 1, 2, 3, 4, 5, 6, 1.0 / 3};
    }
    void roundTrip()
    {
        QFETCH(TestResult, saved);
        HistoryStore(m_path).add(saved);
        HistoryStore reopened(m_path);
        QCOMPARE(reopened.items(), Results{truncated(saved)});
        QCOMPARE(reopened.items().first().date.timeSpec(), Qt::UTC);
    }

    // Remove matches by id alone and takes every duplicate; each operation
    // saves, even one that changes nothing, and then notifies once.
    void operationsSaveThenNotifyOnce()
    {
        QJsonObject twin = object(2);
        twin.insert("jitter", 9.0);
        const QByteArray handWritten = doc({object(2), object(1), twin, object(3)}); // compact: a rewrite shows
        writeAll(m_path, handWritten);
        HistoryStore store(m_path);
        QList<Results> seen;
        QList<bool> savedSeen;
        connect(&store, &HistoryStore::itemsChanged, this, [&] {
            seen.append(store.items());
            savedSeen.append(readHistory(m_path) == std::optional<Results>(store.items()));
        });
        store.remove(record(7)); // not there: saved all the same
        QVERIFY(readAll(m_path) != handWritten);
        TestResult key = record(2);
        key.download = -1;
        store.remove(key);
        store.add(record(4));
        store.remove(record(1));
        store.clear();
        TestResult twinRecord = record(2);
        twinRecord.jitter = 9;
        const Results r1{record(1)}, r3{record(3)}, r4{record(4)};
        QCOMPARE(seen, (QList<Results>{Results{record(2)} + r1 + Results{twinRecord} + r3, r1 + r3, r4 + r1 + r3, r4 + r3, {}}));
        QCOMPARE(savedSeen, QList<bool>(5, true)); // listeners see the file already saved

        QVERIFY(QFile::remove(m_path));
        HistoryStore(m_path).clear(); // with no file yet: writes an empty array
        QCOMPARE(readHistory(m_path), std::optional<Results>(Results{}));
    }

    void defaultLocation()
    {
        QTemporaryDir data;
        QVERIFY(data.isValid());
        const QByteArray old = qgetenv("XDG_DATA_HOME");
        const auto restore = qScopeGuard([&old] { old.isNull() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", old); });
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        const QString expected = data.filePath("Quorvel/history.json");
        QCOMPARE(HistoryStore::defaultPath(), expected);
        {
            HistoryStore store;
            QVERIFY(QFileInfo(data.filePath("Quorvel")).isDir()); // folder made at creation
            store.add(record(1));
        }
        QCOMPARE(readHistory(expected), std::optional<Results>({record(1)}));
    }

    // What the reader would refuse is never written, by any writer.
    void unwritableRecord_data()
    {
        QTest::addColumn<TestResult>("bad");
        QTest::addColumn<bool>("unreadableOnDisk");
        TestResult nanLatency = record(5), infiniteUpload = record(5), nanUpload = record(5);
        nanLatency.latencyMedian = nanUpload.upload = std::nan("");
        infiniteUpload.upload = std::numeric_limits<double>::infinity();
        QTest::newRow("NaN latency") << nanLatency << false;
        QTest::newRow("infinite upload") << infiniteUpload << false;
        QTest::newRow("NaN over an unreadable file") << nanUpload << true;
        QTest::newRow("a millisecond before year 1") << storedAt(utc(1, 1, 1, 0, 0, 0).addMSecs(-1)) << false;
        QTest::newRow("a millisecond after year 9999") << storedAt(utc(9999, 12, 31, 23, 59, 59, 999).addMSecs(1))
                                                      << false;
        QTest::newRow("local time whose UTC is past year 9999")
            << storedAt(QDateTime(QDate(9999, 12, 31), QTime(23, 30), QTimeZone(-5 * 3600))) << false;
        QTest::newRow("invalid date") << storedAt(QDateTime()) << false;
    }
    void unwritableRecord()
    {
        QFETCH(TestResult, bad);
        QFETCH(bool, unreadableOnDisk);
        const QByteArray content = unreadableOnDisk ? QByteArray("[oops") : doc({object(1)});
        writeAll(m_path, content);
        HistoryStore store(m_path);
        QVERIFY(!ResultCodec::encodeObject(bad)); // nor by the command line's JSON
        QVERIFY(!ResultCodec::csvRow(bad)); // or CSV
        store.add(bad);
        QCOMPARE(store.items().size(), unreadableOnDisk ? 1 : 2);
        QCOMPARE(readAll(m_path), content); // nothing written, nothing moved
        QCOMPARE(entries(m_dir->path()), QStringList{"history.json"});
        QVERIFY(!store.saveError().isEmpty());

        store.remove(bad); // once it is gone, saving works again
        QCOMPARE(readHistory(m_path), std::optional<Results>(unreadableOnDisk ? Results{} : Results{record(1)}));
        QCOMPARE(entries(m_dir->path()).size(), unreadableOnDisk ? 2 : 1);
        QCOMPARE(store.saveError(), QString());
    }

    void unreadableFilesInTheSameSecond()
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
};

// Sets up what the row's kind says, with content as the file, and points
// m_path at the history.
void TestHistoryStore::arrange(Kind kind, const QByteArray &content)
{
    const QString dir = m_dir->path();
    m_folder = dir;
    m_limit = kind == Kind::padded      ? content.size() - 1
            : kind == Kind::sizeLimit ? content.size()
                                      : HistoryStore::defaultMaxFileSize;
    m_stays = kind == Kind::parentIsFile || kind == Kind::longName || kind == Kind::sizeLimit;
    m_undo = [] {};
    m_appeared = {};
    switch (kind) {
    case Kind::parentIsFile:
        writeAll(dir + "/blocker", "a file, not a folder");
        m_path = dir + "/blocker/history.json";
        return;
    case Kind::directory:
        QVERIFY(QDir().mkpath(m_path));
        writeAll(m_path + "/keep.txt", content);
        return;
    case Kind::pipe:
        QCOMPARE(::mkfifo(QFile::encodeName(m_path).constData(), 0600), 0);
        return;
    case Kind::sparse: {
        QFile f(m_path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(sparseSize));
        return;
    }
    case Kind::linked:
        m_folder = m_elsewhere->path();
        writeAll(m_folder + "/history.json", content);
        QVERIFY(QFile::link(m_folder + "/history.json", m_path));
        return;
    case Kind::danglingLink: {
        // Into a folder that is not mounted yet; mounting it brings a history.
        const QString mount = m_elsewhere->filePath("mnt/Quorvel");
        QVERIFY(QFile::link(mount + "/history.json", m_path));
        m_appeared = {record(3), record(4)};
        m_undo = [mount] {
            QDir().mkpath(mount);
            writeAll(mount + "/history.json", doc({object(3), object(4)}));
        };
        return;
    }
    case Kind::longName: // fits NAME_MAX, and so does the save's temporary, but not the copy's name
        m_path = dir + '/' + QString(235, 'h') + ".json";
        break;
    default:
        break;
    }
    writeAll(m_path, content);
    if (kind == Kind::noReadPermission)
        QVERIFY(QFile::setPermissions(m_path, QFileDevice::Permissions()));
    if (kind == Kind::readOnlyFolder) {
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner);
        m_undo = [this] { cleanup(); };
    }
    if (kind == Kind::fileSizeLimit) {
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit low = old;
        low.rlim_cur = content.size(); // no file may grow past what is there now
        std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &low);
        m_undo = [old] { setrlimit(RLIMIT_FSIZE, &old); };
    }
}

// Loads what the row sets up, adds a record twice, and checks what each save
// left on disk; `unreadable`: what was there must go aside.
void TestHistoryStore::loadAndSave(bool unreadable)
{
    QFETCH(Kind, kind);
    QFETCH(QByteArray, content);
    QFETCH(Results, loaded);
    QFETCH(QString, reason);
    if (kind == Kind::noReadPermission || kind == Kind::readOnlyFolder)
        RUN_UNPRIVILEGED();
    arrange(kind, content);
    if (QTest::currentTestFailed())
        return;
    const QString path = m_path;
    auto undo = qScopeGuard([this] { m_undo(); });
    const QStringList before = entries(m_folder);
    const auto untouched = [&] {
        const QFileInfo info(path);
        return !info.isFile() || !info.isReadable() || info.size() > (1 << 20) || readAll(path) == content;
    };

    ::alarm(30); // opening a pipe would block forever: die instead of hanging
    HistoryStore store(path, m_limit);
    ::alarm(0);
    QCOMPARE(store.items(), loaded);
    for (const TestResult &r : store.items())
        QCOMPARE(r.date.timeSpec(), Qt::UTC);
    QCOMPARE(entries(m_folder), before); // nothing written at load
    QVERIFY(untouched());

    QSignalSpy errors(&store, &HistoryStore::saveErrorChanged);
    store.add(record(7));
    QCOMPARE(store.items(), Results{record(7)} + loaded); // the change is kept in memory
    if (!reason.isEmpty()) {
        QVERIFY2(store.saveError().contains(reason), qPrintable(store.saveError()));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(entries(m_folder), before); // no copy, no temporary
        QVERIFY(untouched());
        undo.dismiss();
        m_undo();
    }
    store.add(record(8));
    if (!reason.isEmpty() && m_stays) { // the fault stays, and so does the word
        QVERIFY(store.saveError().contains(reason));
        QCOMPARE(errors.count(), 1);
        return;
    }
    // The save that works carries any earlier change too.
    QCOMPARE(store.saveError(), QString());
    QCOMPARE(errors.count(), reason.isEmpty() ? 0 : 2);
    Results saved{record(8), record(7)};
    for (const TestResult &r : loaded + m_appeared)
        saved.append(truncated(r));
    QCOMPARE(readHistory(path), std::optional<Results>(saved));
    QVERIFY(readAll(path).contains("\n    ")); // indented for people who open it
    QCOMPARE(QFileInfo(path).isSymLink(), kind == Kind::linked || kind == Kind::danglingLink); // written through, never replaced
    QStringList added = entries(m_folder);
    for (const QString &e : before)
        added.removeOne(e);
    if (!unreadable) {
        QCOMPARE(added, QStringList()); // no temporary left behind
        return;
    }
    QCOMPARE(added.size(), 1); // moved aside once, at the first save
    QVERIFY2(QRegularExpression("\\Ahistory\\.json\\.unreadable-\\d{8}T\\d{6}Z\\z").match(added.first()).hasMatch(),
             qPrintable(added.first()));
    const QString aside = m_folder + '/' + added.first();
    if (kind == Kind::directory) {
        QCOMPARE(readAll(aside + "/keep.txt"), content);
    } else if (kind == Kind::pipe) {
        QVERIFY(QFileInfo(aside).exists() && !QFileInfo(aside).isFile());
    } else if (kind == Kind::sparse) {
        QCOMPARE(QFileInfo(aside).size(), sparseSize);
    } else {
        QVERIFY(QFile::setPermissions(aside, QFile::ReadOwner));
        QCOMPARE(readAll(aside), content);
    }
}

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_historystore.moc"
