#include "fmt.h"

#include <charconv>
#include <cmath>

namespace {

// printf-style "%.Nf" without the C locale: std::to_chars is exact and
// locale-independent, so a German locale still gets a period.
QString fixed(double value, int decimals)
{
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    char buf[400];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return QString::fromLatin1(buf, int(res.ptr - buf));
}

} // namespace

namespace Fmt {

QString speed(double mbps)
{
    if (mbps >= 100)
        return fixed(mbps, 0);
    if (mbps >= 10)
        return fixed(mbps, 1);
    return fixed(mbps, 2);
}

QString ms(double millis)
{
    return fixed(millis, millis >= 100 ? 0 : 1);
}

QString mediumDate(const QDateTime &when, const QLocale &locale)
{
    // Qt has no medium date style. The long style minus the weekday, with the
    // abbreviated month name, is what the medium style is in CLDR for the
    // common locales ("MMM d, y" in English).
    QString format = locale.dateFormat(QLocale::LongFormat);
    static const QString weekdays[] = {QStringLiteral("dddd, "), QStringLiteral("dddd "),
                                       QStringLiteral(", dddd"), QStringLiteral("dddd")};
    for (const QString &w : weekdays) {
        if (format.contains(w)) {
            format.remove(w);
            break;
        }
    }
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    return locale.toString(when.toLocalTime().date(), format.trimmed());
}

QString withoutSeconds(const QString &format)
{
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'\'') {
            quoted = !quoted;
        } else if (!quoted && (c == u's' || c == u'z')) {
            // Drop the run of s (or z) and the separator just before it.
            while (i + 1 < format.size() && format[i + 1] == c)
                ++i;
            while (!out.isEmpty() && !out.back().isLetter() && out.back() != u'\'')
                out.chop(1);
            continue;
        }
        out += c;
    }
    return out.trimmed();
}

QString shortTimeFormat(const QLocale &locale)
{
    return withoutSeconds(locale.timeFormat(QLocale::ShortFormat));
}

QString shortTime(const QDateTime &when, const QLocale &locale)
{
    return locale.toString(when.toLocalTime().time(), shortTimeFormat(locale));
}

QString dateTime(const QDateTime &when, const QLocale &locale)
{
    return mediumDate(when, locale) + QStringLiteral(", ") + shortTime(when, locale);
}

} // namespace Fmt
