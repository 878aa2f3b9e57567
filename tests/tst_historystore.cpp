// Loading and saving the history file: what each kind of file on disk turns
// into, what gets written back, list order, and change notifications.
#include "historyfiles.h"
#include "historystore.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <cmath>
#include <limits>

using Results = QList<TestResult>;

namespace {

QUuid idOf(int n)
{
    return QUuid::fromString(QStringLiteral("0c8e4a7e-1f2b-4d3c-9a5e-%1").arg(n, 12, 10, QLatin1Char('0')));
}

const QDateTime when(QDate(2026, 12, 6), QTime(9, 15, 30), Qt::UTC);

TestResult record(int n, QDateTime date = when)
{
    return {idOf(n), date, 12.5 + n, 10.25, 20.75, 1.5, 250.125 * n, 40.0625};
}

// One well-formed member set as a user's file would hold it.
QJsonObject object(int n)
{
    const TestResult r = record(n);
    return {{"id", r.id.toString(QUuid::WithoutBraces).toUpper()},
            {"date", "2026-12-06T09:15:30Z"},
            {"latencyMedian", r.latencyMedian},
            {"latencyMin", r.latencyMin},
            {"latencyMax", r.latencyMax},
            {"jitter", r.jitter},
            {"download", r.download},
            {"upload", r.upload}};
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

} // namespace

class TestHistoryStore : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); m_path = m_dir.filePath("history.json"); }
    void cleanup() { for (const QString &e : entries(m_dir.path())) QVERIFY(QFile::remove(m_dir.filePath(e))); }

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

private:
    QTemporaryDir m_dir;
    QString m_path;
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
    QCOMPARE(entries(m_dir.path()), QStringList{"history.json"}); // no temporary left behind
    QCOMPARE(store.saveError(), QString());
}

void TestHistoryStore::loadUnreadable_data()
{
    QTest::addColumn<QByteArray>("content");

    const QByteArray one = doc({object(1)});
    const QByteArray two = doc({object(1), object(2)});
    QTest::newRow("whitespace only") << QByteArray(" \n\t");
    QTest::newRow("not JSON") << QByteArray("Quorvel history");
    QTest::newRow("binary garbage") << QByteArray("\x00\xff[\x80\x01", 5);
    QTest::newRow("truncated") << two.left(two.size() / 2);
    QTest::newRow("trailing garbage") << one + "]";
    QTest::newRow("object not array") << one.mid(1).chopped(1);
    QTest::newRow("null document") << QByteArray("null");
    QTest::newRow("array of numbers") << QByteArray("[1,2]");
    QTest::newRow("nested array") << QByteArray("[") + one + "]";
    QTest::newRow("one bad among good") << doc({object(1), QJsonObject{{"id", 3}}, object(2)});
    QTest::newRow("number out of range") << QByteArray(one).replace("250.125", "1e400");
    for (const FieldRule &rule : rejectedFields())
        QTest::newRow(rule.name.constData()) << doc({object(2), rule.object()});
}

// Never overwritten: kept aside at the first save, and only then.
void TestHistoryStore::loadUnreadable()
{
    QFETCH(QByteArray, content);
    writeAll(m_path, content);

    HistoryStore store(m_path);
    QVERIFY(store.items().isEmpty());
    QCOMPARE(readAll(m_path), content); // nothing written at load
    QCOMPARE(entries(m_dir.path()), QStringList{"history.json"});

    store.add(record(9));
    store.add(record(10));
    QCOMPARE(readHistory(m_path), std::optional<Results>({record(10), record(9)}));
    const QStringList after = entries(m_dir.path());
    QCOMPARE(after.size(), 2);
    QVERIFY2(QRegularExpression("\\Ahistory\\.json\\.unreadable-\\d{8}T\\d{6}Z\\z").match(after.at(1)).hasMatch(),
             qPrintable(after.at(1)));
    QCOMPARE(readAll(m_dir.filePath(after.at(1))), content);
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
    QSignalSpy spy(&store, &HistoryStore::itemsChanged);
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
    QCOMPARE(spy.count(), 6);
    QCOMPARE(sizesSeen, (QList<qsizetype>{0, 1, 2, 1, 1, 0}));
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

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_historystore.moc"
