#pragma once
// Number and date formatting shared by every screen, the summary text and the
// command line. Numbers never follow the locale (a period, no grouping);
// dates always do.
#include <QDateTime>
#include <QLocale>
#include <QString>

namespace Fmt {

// Megabits per second: "%.0f" from 100, "%.1f" from 10, else "%.2f" (NaN too).
QString speed(double mbps);
// Milliseconds: "%.0f" from 100, else "%.1f" (NaN too).
QString ms(double millis);

// The locale's medium date ("Dec 5, 2026"), short time ("12:43 PM"), and
// both joined, in the local time zone. The short time never shows seconds,
// also where the locale's short format has them (C: "HH:mm:ss").
QString mediumDate(const QDateTime &when, const QLocale &locale = QLocale());
QString shortTime(const QDateTime &when, const QLocale &locale = QLocale());
QString dateTime(const QDateTime &when, const QLocale &locale = QLocale());
// The format shortTime() uses: the locale's short time format without its
// seconds (and fractions) and the separator before them.
QString shortTimeFormat(const QLocale &locale = QLocale());
QString withoutSeconds(const QString &timeFormat);

} // namespace Fmt
