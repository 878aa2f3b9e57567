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

namespace {

// The record's fields in order: what every encoding writes, what the reader
// requires and what both comparisons compare. A new key is one row here
// (and its member in TestResult); an optional number is written only when
// present.
struct Field {
    enum class Kind { id, date, number, optionalNumber };
    const char *key;
    Kind kind;
    double TestResult::*number = nullptr;
    std::optional<double> TestResult::*optionalNumber = nullptr;
};

constexpr Field fields[] = {
    {"id", Field::Kind::id},
    {"date", Field::Kind::date},
    {"latencyMedian", Field::Kind::number, &TestResult::latencyMedian},
    {"latencyMin", Field::Kind::number, &TestResult::latencyMin},
    {"latencyMax", Field::Kind::number, &TestResult::latencyMax},
    {"jitter", Field::Kind::number, &TestResult::jitter},
    {"download", Field::Kind::number, &TestResult::download},
    {"upload", Field::Kind::number, &TestResult::upload},
};

// Every field alike, numbers compared by sameNumber.
template <typename SameNumber>
bool sameFields(const TestResult &a, const TestResult &b, SameNumber sameNumber)
{
    for (const Field &f : fields) {
        switch (f.kind) {
        case Field::Kind::id:
            if (a.id != b.id)
                return false;
            break;
        case Field::Kind::date:
            if (a.date != b.date)
                return false;
            break;
        case Field::Kind::number:
            if (!sameNumber(a.*f.number, b.*f.number))
                return false;
            break;
        case Field::Kind::optionalNumber: {
            const auto &x = a.*f.optionalNumber, &y = b.*f.optionalNumber;
            if (x.has_value() != y.has_value() || (x && !sameNumber(*x, *y)))
                return false;
            break;
        }
        }
    }
    return true;
}

} // namespace

bool operator==(const TestResult &a, const TestResult &b)
{
    return sameFields(a, b, [](double x, double y) { return x == y; });
}

bool sameBits(const TestResult &a, const TestResult &b)
{
    return sameFields(a, b, [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; });
}

namespace ResultCodec {

namespace {

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

// One field's value as every encoding writes it; empty for an absent
// optional number.
struct FieldText {
    char text[40];
    int size = 0;
};

// The shortest form that reads back to the same double; nothing for NaN or
// infinity.
bool writeNumber(double value, FieldText &out)
{
    if (!std::isfinite(value))
        return false;
    out.size = int(std::to_chars(out.text, out.text + sizeof out.text, value).ptr - out.text);
    return true;
}

// False for a value the reader would refuse.
bool writeField(const Field &f, const TestResult &r, FieldText &out)
{
    switch (f.kind) {
    case Field::Kind::id: {
        // QUuid's own text is lower case.
        const QByteArray text = r.id.toByteArray(QUuid::WithoutBraces);
        for (int i = 0; i < 36; ++i)
            out.text[i] = text[i] >= 'a' ? char(text[i] - 'a' + 'A') : text[i];
        out.size = 36;
        return true;
    }
    case Field::Kind::date:
        out.size = 20;
        return writeDate(r.date, out.text);
    case Field::Kind::number:
        return writeNumber(r.*f.number, out);
    case Field::Kind::optionalNumber:
        return !(r.*f.optionalNumber) || writeNumber(*(r.*f.optionalNumber), out);
    }
    return false;
}

// The text around each member's value (its key, JSON's quotes) and the
// closing brace, for objects whose braces sit at one indentation: made once
// per encoding, since a long history writes them for every record.
class ObjectLayout {
public:
    explicit ObjectLayout(const char *braceIndent)
    {
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            const bool quoted = fields[i].kind == Field::Kind::id || fields[i].kind == Field::Kind::date;
            for (const char *separator : {"\n", ",\n"}) {
                m_before[i][*separator == ','].append(separator).append(braceIndent).append("    \"")
                    .append(fields[i].key).append(quoted ? "\": \"" : "\": ");
            }
            m_after[i] = quoted ? "\"" : "";
        }
        m_close.append("\n").append(braceIndent).append("}");
    }

    // One object; its opening brace goes where out ends.
    bool append(QByteArray &out, const TestResult &r) const
    {
        out.append('{');
        bool first = true;
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            FieldText value;
            if (!writeField(fields[i], r, value))
                return false;
            if (value.size == 0)
                continue;
            out.append(m_before[i][!first]).append(value.text, value.size).append(m_after[i]);
            first = false;
        }
        out.append(m_close);
        return true;
    }

private:
    QByteArray m_before[std::size(fields)][2]; // as the first member, as a later one
    const char *m_after[std::size(fields)];
    QByteArray m_close;
};

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

} // namespace

std::optional<QByteArray> encodeObject(const TestResult &result)
{
    QByteArray out;
    if (!ObjectLayout("").append(out, result))
        return std::nullopt;
    return out.append('\n');
}

std::optional<QByteArray> encodeArray(const QList<TestResult> &results)
{
    QByteArray out;
    out.reserve(results.size() * 320 + 4);
    out.append("[");
    const ObjectLayout layout("    ");
    for (qsizetype i = 0; i < results.size(); ++i) {
        out.append(i == 0 ? "\n    " : ",\n    ");
        if (!layout.append(out, results[i]))
            return std::nullopt;
    }
    out.append(results.isEmpty() ? "]\n" : "\n]\n");
    return out;
}

std::optional<QByteArray> csvRow(const TestResult &result)
{
    QByteArray out;
    for (const Field &f : fields) {
        FieldText value;
        if (!writeField(f, result, value))
            return std::nullopt;
        if (&f != fields)
            out.append(',');
        out.append(value.text, value.size);
    }
    return out;
}

QByteArray csvHeader()
{
    QByteArray out;
    for (const Field &f : fields)
        out.append(&f == fields ? "" : ",").append(f.key);
    return out;
}

std::optional<TestResult> decode(const QJsonObject &object)
{
    TestResult result;
    for (const Field &f : fields) {
        const QJsonValue v = object.value(QLatin1String(f.key));
        switch (f.kind) {
        case Field::Kind::id: {
            const auto id = v.isString() ? parseUuid(v.toString()) : std::nullopt;
            if (!id)
                return std::nullopt;
            result.id = *id;
            break;
        }
        case Field::Kind::date: {
            const auto date = v.isString() ? parseDate(v.toString()) : std::nullopt;
            if (!date)
                return std::nullopt;
            result.date = *date;
            break;
        }
        case Field::Kind::number:
            if (!v.isDouble())
                return std::nullopt;
            result.*f.number = v.toDouble();
            break;
        case Field::Kind::optionalNumber:
            if (v.isUndefined())
                break;
            if (!v.isDouble())
                return std::nullopt;
            result.*f.optionalNumber = v.toDouble();
            break;
        }
    }
    return result;
}

} // namespace ResultCodec
