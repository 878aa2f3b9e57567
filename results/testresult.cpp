#include "testresult.h"

#include "fmt.h"

#include <QJsonValue>
#include <QTimeZone>

#include <charconv>
#include <chrono>
#include <cstring>
#include <cmath>

QString TestResult::summary() const
{
    return QStringLiteral("Quorvel \u2014 ") + Fmt::dateTime(date)
        + QStringLiteral("\nDownload: ") + Fmt::speed(download)
        + QStringLiteral(" Mbps\nUpload: ") + Fmt::speed(upload)
        + QStringLiteral(" Mbps\nLatency: ") + Fmt::ms(latencyMedian)
        + QStringLiteral(" ms median (") + Fmt::ms(latencyMin) + QStringLiteral("\u2013")
        + Fmt::ms(latencyMax) + QStringLiteral(" ms), jitter ") + Fmt::ms(jitter)
        + QStringLiteral(" ms");
}

bool operator==(const TestResult &a, const TestResult &b)
{
    return a.id == b.id && a.date == b.date && a.latencyMedian == b.latencyMedian
        && a.latencyMin == b.latencyMin && a.latencyMax == b.latencyMax && a.jitter == b.jitter
        && a.download == b.download && a.upload == b.upload;
}

namespace ResultCodec {

namespace {

double TestResult::*const numberFields[] = {&TestResult::latencyMedian, &TestResult::latencyMin,
                                            &TestResult::latencyMax, &TestResult::jitter,
                                            &TestResult::download, &TestResult::upload};

} // namespace

namespace {

// Fixed-width text forms written straight into a buffer: a long history
// is encoded on every save.
void writeUuid(const QUuid &id, char *out)
{
    static const char hex[] = "0123456789ABCDEF";
    const QByteArray raw = id.toRfc4122();
    for (int i = 0, o = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out[o++] = '-';
        out[o++] = hex[(uchar(raw[i]) >> 4) & 0xF];
        out[o++] = hex[uchar(raw[i]) & 0xF];
    }
}

void writeDigits(char *out, long long value, int width)
{
    for (int i = width - 1; i >= 0; --i, value /= 10)
        out[i] = char('0' + value % 10);
}

// Years 0001 to 9999 only, the range the reader takes: four digits cannot
// carry any other year.
bool isWritableDate(const QDateTime &date)
{
    if (!date.isValid())
        return false;
    const int year = date.toUTC().date().year();
    return year >= 1 && year <= 9999;
}

// "YYYY-MM-DDTHH:MM:SSZ" in UTC, whole seconds: fractions are cut, never
// rounded up into the next second. Nothing for a date outside the years the
// reader takes.
bool writeDate(const QDateTime &date, char *out)
{
    using namespace std::chrono;
    if (!isWritableDate(date))
        return false;
    const long long secs = std::floor(date.toMSecsSinceEpoch() / 1000.0);
    const long long day = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    const long long sod = secs - day * 86400;
    const year_month_day ymd{sys_days{days{day}}};
    std::memcpy(out, "0000-00-00T00:00:00Z", 20);
    writeDigits(out, int(ymd.year()), 4);
    writeDigits(out + 5, unsigned(ymd.month()), 2);
    writeDigits(out + 8, unsigned(ymd.day()), 2);
    writeDigits(out + 11, sod / 3600, 2);
    writeDigits(out + 14, sod / 60 % 60, 2);
    writeDigits(out + 17, sod % 60, 2);
    return true;
}

// The shortest form that reads back to the same double; nothing for NaN or
// infinity. out holds at least 32 characters.
std::optional<qsizetype> writeNumber(double value, char *out)
{
    if (!std::isfinite(value))
        return std::nullopt;
    return std::to_chars(out, out + 32, value).ptr - out;
}

} // namespace

QString uuidText(const QUuid &id)
{
    char text[36];
    writeUuid(id, text);
    return QString::fromLatin1(text, 36);
}

std::optional<QString> dateText(const QDateTime &date)
{
    char text[20];
    if (!writeDate(date, text))
        return std::nullopt;
    return QString::fromLatin1(text, 20);
}

namespace {

bool isHex(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Checks text against a pattern where 'd' is a digit and anything else is
// itself, letters in either case. Hand-written: a long history is read
// record by record.
bool matchesShape(QStringView text, const char *pattern)
{
    qsizetype i = 0;
    for (; pattern[i]; ++i) {
        if (i >= text.size())
            return false;
        if (pattern[i] == 'd' ? !isDigit(text[i]) : text[i].toUpper() != QLatin1Char(pattern[i]))
            return false;
    }
    return i == text.size();
}

int number(QStringView digits)
{
    int n = 0;
    for (QChar c : digits)
        n = n * 10 + (c.unicode() - u'0');
    return n;
}

} // namespace

std::optional<QUuid> parseUuid(const QString &text)
{
    // Canonical 8-4-4-4-12 form only, either case.
    if (text.size() != 36)
        return std::nullopt;
    for (qsizetype i = 0; i < 36; ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? text[i] != u'-' : !isHex(text[i]))
            return std::nullopt;
    }
    return QUuid::fromString(text);
}

std::optional<QDateTime> parseDate(const QString &text)
{
    // RFC 3339: date, 'T', time, optional fraction, then Z or an offset; the
    // letters in either case. Qt would read hour 24 as the next day and
    // refuse a leap second, so both are settled here.
    const QStringView view(text);
    if (view.size() < 20 || !matchesShape(view.first(19), "dddd-dd-ddTdd:dd:dd") || view.sliced(11, 2) > u"23")
        return std::nullopt;
    QStringView rest = view.sliced(19);
    // What this program writes, UTC in whole seconds (or milliseconds), is
    // read without QDateTime's own parser, which takes most of a long
    // history's load; anything else goes through it.
    if (rest == u"Z" || (rest.size() == 5 && matchesShape(rest, ".dddZ"))) {
        const QDate day(number(view.sliced(0, 4)), number(view.sliced(5, 2)), number(view.sliced(8, 2)));
        const QTime time(number(view.sliced(11, 2)), number(view.sliced(14, 2)), number(view.sliced(17, 2)),
                         rest.size() == 5 ? number(rest.sliced(1, 3)) : 0);
        if (day.isValid() && time.isValid())
            return QDateTime(day, time, Qt::UTC);
    }
    QString normalized = text.first(19);
    normalized[10] = u'T';
    const bool leapSecond = view.sliced(17, 2) == u"60";
    if (leapSecond)
        normalized.replace(17, 2, QStringLiteral("59"));
    if (rest.startsWith(u'.')) {
        qsizetype digits = 1;
        while (digits < rest.size() && isDigit(rest[digits]))
            ++digits;
        if (digits == 1)
            return std::nullopt;
        // Qt reads at most milliseconds.
        normalized += rest.first(std::min<qsizetype>(digits, 4));
        rest = rest.sliced(digits);
    }
    if (matchesShape(rest, "Z"))
        normalized += u'Z';
    else if (matchesShape(rest, "+dd:dd") || matchesShape(rest, "-dd:dd"))
        normalized += rest;
    else
        return std::nullopt;
    const QDateTime parsed = QDateTime::fromString(normalized, Qt::ISODateWithMs);
    if (!parsed.isValid())
        return std::nullopt;
    const QDateTime utc = parsed.toUTC();
    // A leap second ends a UTC day; it is kept as the second before it.
    const QTime t = utc.time();
    if (leapSecond && (t.hour() != 23 || t.minute() != 59))
        return std::nullopt;
    // An offset can carry a date past either end of the years the writer
    // can put in four digits.
    if (!isWritableDate(utc))
        return std::nullopt;
    return utc;
}

std::optional<QJsonObject> encode(const TestResult &result)
{
    QJsonObject object;
    object.insert(QLatin1String(keys[0]), uuidText(result.id));
    const auto date = dateText(result.date);
    if (!date)
        return std::nullopt;
    object.insert(QLatin1String(keys[1]), *date);
    for (int i = 0; i < 6; ++i) {
        const double value = result.*numberFields[i];
        if (!std::isfinite(value))
            return std::nullopt;
        object.insert(QLatin1String(keys[2 + i]), value);
    }
    return object;
}

std::optional<QByteArray> encodeArray(const QList<TestResult> &results)
{
    QByteArray out;
    out.reserve(results.size() * 320 + 4);
    out.append("[");
    char number[32];
    for (qsizetype i = 0; i < results.size(); ++i) {
        const TestResult &r = results[i];
        out.append(i == 0 ? "\n    {\n" : ",\n    {\n");
        char id[36];
        char date[20];
        writeUuid(r.id, id);
        if (!writeDate(r.date, date))
            return std::nullopt;
        out.append("        \"id\": \"").append(id, 36).append("\",\n");
        out.append("        \"date\": \"").append(date, 20).append("\"");
        for (int k = 0; k < 6; ++k) {
            const auto length = writeNumber(r.*numberFields[k], number);
            if (!length)
                return std::nullopt;
            out.append(",\n        \"").append(keys[2 + k]).append("\": ").append(number, *length);
        }
        out.append("\n    }");
    }
    out.append(results.isEmpty() ? "]\n" : "\n]\n");
    return out;
}

std::optional<QByteArray> csvRow(const TestResult &result)
{
    char text[36];
    writeUuid(result.id, text);
    QByteArray out(text, 36);
    if (!writeDate(result.date, text))
        return std::nullopt;
    out.append(',').append(text, 20);
    for (double TestResult::*field : numberFields) {
        const auto length = writeNumber(result.*field, text);
        if (!length)
            return std::nullopt;
        out.append(',').append(text, *length);
    }
    return out;
}

QByteArray csvHeader()
{
    QByteArray out;
    for (const char *key : keys)
        out.append(out.isEmpty() ? "" : ",").append(key);
    return out;
}

std::optional<TestResult> decode(const QJsonObject &object)
{
    const QJsonValue id = object.value(QLatin1String(keys[0]));
    const QJsonValue date = object.value(QLatin1String(keys[1]));
    if (!id.isString() || !date.isString())
        return std::nullopt;
    TestResult result;
    const auto uuid = parseUuid(id.toString());
    const auto when = parseDate(date.toString());
    if (!uuid || !when)
        return std::nullopt;
    result.id = *uuid;
    result.date = *when;
    for (int i = 0; i < 6; ++i) {
        const QJsonValue v = object.value(QLatin1String(keys[2 + i]));
        if (!v.isDouble())
            return std::nullopt;
        result.*numberFields[i] = v.toDouble();
    }
    return result;
}

} // namespace ResultCodec
