#pragma once
// For the history tests: whole-file reads and writes, the history file as
// checked independently of the store, and the rules for one stored record's
// members that the codec and the store must both keep.
#include "testresult.h"

#include <QtTest>

#include <optional>
#include <span>

Q_DECLARE_METATYPE(TestResult)

// Readable failure messages.
inline char *toString(const TestResult &r)
{
    return qstrdup(ResultCodec::csvRow(r).value_or("unwritable").constData());
}

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

inline QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

// The file as history: an array of objects with exactly the eight members,
// upper-case ids, whole-second UTC dates.
inline std::optional<QList<TestResult>> readHistory(const QString &path)
{
    const QJsonDocument d = QJsonDocument::fromJson(readAll(path));
    static const QRegularExpression upperId(QStringLiteral("\\A[0-9A-F-]{36}\\z"));
    static const QRegularExpression utcSecond(QStringLiteral("\\A\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\\z"));
    QList<TestResult> out;
    for (const QJsonValue &v : d.array()) {
        const QJsonObject o = v.toObject();
        const auto r = ResultCodec::decode(o);
        if (!r || o.size() != 8 || !upperId.match(o.value("id").toString()).hasMatch()
            || !utcSecond.match(o.value("date").toString()).hasMatch())
            return std::nullopt;
        out.append(*r);
    }
    return d.isArray() ? std::optional(out) : std::nullopt;
}

inline QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

// One well-formed stored record, and what it reads as (at another date).
inline QJsonObject storedObject()
{
    return {{"id", "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8"}, {"date", "2026-12-05T12:43:35Z"},
            {"latencyMedian", 15.04}, {"latencyMin", 12.5}, {"latencyMax", 120.7},
            {"jitter", 3.21}, {"download", 93.46}, {"upload", 12.3}};
}

inline TestResult storedAt(const QDateTime &date)
{
    return {QUuid::fromString(QStringLiteral("6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8")), date, 15.04, 12.5, 120.7,
            3.21, 93.46, 12.3};
}

inline TestResult storedRecord() { return storedAt(utc(2026, 12, 5, 12, 43, 35)); }

// The stored record with one member set to value (Undefined: left out),
// and, for a value the reader takes, the record it must read.
struct FieldRule {
    QByteArray name;
    const char *member;
    QJsonValue value;
    TestResult read = {};

    QJsonObject object() const
    {
        QJsonObject o = storedObject();
        o.remove(QLatin1String(member));
        if (!value.isUndefined())
            o.insert(QLatin1String(member), value);
        return o;
    }
};

inline const QList<FieldRule> &acceptedFields()
{
    static const TestResult same = storedRecord(), leap = storedAt(utc(2016, 12, 31, 23, 59, 59));
    static const QList<FieldRule> rules{
        {"as written", "id", "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8", same},
        {"extra member", "comment", "hand edit", same},
        {"lower-case id", "id", "6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8", same},
        {"whole number", "upload", 40, [] { TestResult r = storedRecord(); r.upload = 40; return r; }()},
        {"date with offset", "date", "2026-12-05T13:43:35+01:00", same},
        {"date with fraction", "date", "2026-12-05T12:43:35.250Z", storedAt(utc(2026, 12, 5, 12, 43, 35, 250))},
        {"date with long fraction", "date", "2026-12-05T12:43:35.250999999999Z",
         storedAt(utc(2026, 12, 5, 12, 43, 35, 250))},
        {"date with lower-case t and z", "date", "2026-12-05t12:43:35z", same},
        {"leap second", "date", "2016-12-31T23:59:60Z", leap},
        {"leap second behind an offset", "date", "2017-01-01T05:29:60+05:30", leap},
        {"first second of year 1", "date", "0001-01-01T05:00:00+05:00", storedAt(utc(1, 1, 1, 0, 0, 0))},
        {"last second of year 9999", "date", "9999-12-31T18:59:59.999-05:00",
         storedAt(utc(9999, 12, 31, 23, 59, 59, 999))},
    };
    return rules;
}

inline const QList<FieldRule> &rejectedFields()
{
    static const QList<FieldRule> rules = [] {
        QList<FieldRule> out{
            {"number as bool", "upload", true},
            {"id as number", "id", 42},
            {"id with braces", "id", "{6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8}"},
            {"id one digit short", "id", "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E"},
            {"id hyphen misplaced", "id", "6F1C2A3B4-D5E-4F60-8172-93A4B5C6D7E8"},
            {"date as number", "date", 1765000000},
            {"date without zone", "date", "2026-12-05T12:43:35"},
            {"date only", "date", "2026-12-05"},
            {"date with empty fraction", "date", "2026-12-05T12:43:35.Z"},
            {"date with trailing space", "date", "2026-12-05T12:43:35Z "},
            {"date with short offset", "date", "2026-12-05T12:43:35+01"},
            {"date impossible", "date", "2026-02-30T12:43:35Z"},
            {"hour 24", "date", "2026-12-05T24:00:00Z"},
            {"leap second inside a UTC day", "date", "2026-12-05T12:43:60Z"},
            {"offset carries the date past year 9999", "date", "9999-12-31T23:30:00-05:00"},
            {"offset carries the date before year 1", "date", "0001-01-01T00:30:00+05:00"},
            {"year 0", "date", "0000-06-01T12:00:00Z"},
        };
        static const char *const keys[] = {"id", "date", "latencyMedian", "latencyMin",
                                           "latencyMax", "jitter", "download", "upload"};
        for (const char *key : keys) {
            out.append({QByteArray("missing ") + key, key, QJsonValue(QJsonValue::Undefined)});
            out.append({QByteArray(key) + " null", key, QJsonValue(QJsonValue::Null)});
        }
        for (const char *key : std::span(keys).subspan(2))
            out.append({QByteArray(key) + " as string", key, "12.5"});
        return out;
    }();
    return rules;
}
