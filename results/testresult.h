#pragma once
// The record of one finished test, its four-line text summary, and its JSON
// object form (the members of one entry of the history file).
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QUuid>

#include <optional>

struct TestResult {
    QUuid id;
    QDateTime date;
    double latencyMedian = 0; // milliseconds
    double latencyMin = 0;
    double latencyMax = 0;
    double jitter = 0;
    double download = 0; // megabits per second
    double upload = 0;

    // Four lines, no trailing newline; the date in the user's locale.
    QString summary() const;

    // All eight fields equal; NaN is never equal, not even to itself.
    friend bool operator==(const TestResult &a, const TestResult &b);
};

namespace ResultCodec {

// Member names, in field order.
inline constexpr const char *keys[] = {"id", "date", "latencyMedian", "latencyMin",
                                       "latencyMax", "jitter", "download", "upload"};

// Upper-case UUID, UTC date in whole seconds with Z. Nothing when a number
// is NaN or infinite, which JSON cannot carry, or when the date is invalid
// or its UTC year is outside 0001 to 9999, which the reader would refuse.
std::optional<QJsonObject> encode(const TestResult &result);

// All eight members required with the right types; other members ignored.
// The id in either case, canonical 36-character form only; the date as an
// RFC 3339 date-time (Z or an offset, fractions tolerated, T and Z in either
// case, a leap second read as :59) whose UTC year is 0001 to 9999.
std::optional<TestResult> decode(const QJsonObject &object);

// The whole list as a pretty-printed JSON array, members in field order.
// The same values encode() gives, written directly: a 100,000-record
// history is saved after every test, so this is the hot path of a save.
// Nothing when any record is one encode() refuses.
std::optional<QByteArray> encodeArray(const QList<TestResult> &results);

// The eight fields as one CSV line without a newline, in field order, each
// written as encodeArray() writes it; the header is the member names. No
// field needs quoting. Nothing for a record encode() refuses.
std::optional<QByteArray> csvRow(const TestResult &result);
QByteArray csvHeader();

QString uuidText(const QUuid &id);
std::optional<QString> dateText(const QDateTime &date);
std::optional<QUuid> parseUuid(const QString &text);
std::optional<QDateTime> parseDate(const QString &text);

} // namespace ResultCodec
