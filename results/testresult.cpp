#include "testresult.h"

#include "fmt.h"

#include <QJsonValue>
#include <QRegularExpression>
#include <QTimeZone>

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

QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QString dateText(const QDateTime &date)
{
    // Whole seconds: fractions are cut, never rounded up into the next second.
    const qint64 secs = std::floor(date.toMSecsSinceEpoch() / 1000.0);
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC).toString(Qt::ISODate);
}

std::optional<QUuid> parseUuid(const QString &text)
{
    static const QRegularExpression form(QStringLiteral(
        "\\A[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\z"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    return QUuid::fromString(text);
}

std::optional<QDateTime> parseDate(const QString &text)
{
    static const QRegularExpression form(QStringLiteral(
        "\\A\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(\\.\\d{1,9})?(Z|[+-]\\d{2}:\\d{2})\\z"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    QString normalized = text;
    // Qt reads at most milliseconds; keep three digits of a longer fraction.
    static const QRegularExpression longFraction(QStringLiteral("(\\.\\d{3})\\d+"));
    normalized.replace(longFraction, QStringLiteral("\\1"));
    QDateTime parsed = QDateTime::fromString(normalized, Qt::ISODateWithMs);
    if (!parsed.isValid())
        return std::nullopt;
    return parsed.toUTC();
}

std::optional<QJsonObject> encode(const TestResult &result)
{
    QJsonObject object;
    object.insert(QLatin1String(keys[0]), uuidText(result.id));
    object.insert(QLatin1String(keys[1]), dateText(result.date));
    for (int i = 0; i < 6; ++i) {
        const double value = result.*numberFields[i];
        if (!std::isfinite(value))
            return std::nullopt;
        object.insert(QLatin1String(keys[2 + i]), value);
    }
    return object;
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
