#pragma once
// The record of one finished test, its four-line text summary, its two
// comparisons and its encodings.
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

// Every field holds the same bits: unlike ==, a record holding NaN is the
// same as its copy. What a list of records asks to keep a row it shows.
bool sameBits(const TestResult &a, const TestResult &b);

// The record's encodings, all driven by one table of its fields
// (testresult.cpp): the history file, quorvel-cli's JSON and CSV. Each field
// is written the same way everywhere: the id as an upper-case UUID, the date
// in UTC in whole seconds with Z, numbers in the shortest form that reads
// back to the same double. Nothing is written for a record the reader would
// refuse: a NaN or infinite number, which JSON cannot carry, or a date that
// is invalid or whose UTC year is outside 0001 to 9999.
namespace ResultCodec {

// Every member of the table required with the right type; other members
// ignored. The id in either case, canonical 36-character form only; the
// date as an RFC 3339 date-time (Z or an offset, fractions tolerated, T and
// Z in either case, a leap second read as :59) whose UTC year is 0001 to 9999.
std::optional<TestResult> decode(const QJsonObject &object);

// One record as a pretty-printed JSON object and a newline, members in
// field order: quorvel-cli --json.
std::optional<QByteArray> encodeObject(const TestResult &result);

// The whole list as a pretty-printed JSON array of those objects: the
// history file. A 100,000-record history is saved after every test, so
// this is the hot path of a save.
std::optional<QByteArray> encodeArray(const QList<TestResult> &results);

// One CSV line without a newline, the fields in order and written as in
// the JSON; no field needs quoting. The header is the member names.
std::optional<QByteArray> csvRow(const TestResult &result);
QByteArray csvHeader();

} // namespace ResultCodec
