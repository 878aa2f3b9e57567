// Number formats, the summary text, and dates in the user's locale.
#include "bufferbloat.h"
#include "fmt.h"
#include "testresult.h"

#include <QtTest>

#include <clocale>
#include <limits>

namespace {
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

TestResult sampleResult()
{
    return {QUuid::fromString(QStringLiteral("6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8")),
            QDateTime(QDate(2026, 12, 5), QTime(12, 43, 35), Qt::LocalTime), 15.04, 12, 120.7, 3.21, 93.46, 12.3};
}
} // namespace

class TestFormatting : public QObject {
    Q_OBJECT

private slots:
    void numbers_data()
    {
        QTest::addColumn<bool>("speed"); // Mbps, else ms
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("speed below ten rounds down") << true << 9.994 << "9.99";
        QTest::newRow("speed below ten rounds up past it") << true << 9.999 << "10.00";
        QTest::newRow("speed exactly ten") << true << 10.0 << "10.0";
        QTest::newRow("speed below hundred rounds up past it") << true << 99.96 << "100.0";
        QTest::newRow("speed exactly hundred") << true << 100.0 << "100";
        QTest::newRow("speed without grouping") << true << 1234.4 << "1234";
        QTest::newRow("speed half rounds to even in binary") << true << 0.125 << "0.12";
        QTest::newRow("speed negative") << true << -1.0 << "-1.00";
        QTest::newRow("speed nan") << true << kNan << "nan";
        QTest::newRow("speed infinity") << true << std::numeric_limits<double>::infinity() << "inf";
        QTest::newRow("speed huge") << true << 1e21 << "1000000000000000000000";
        QTest::newRow("ms below hundred") << false << 99.94 << "99.9";
        QTest::newRow("ms rounds up to hundred") << false << 99.96 << "100.0";
        QTest::newRow("ms exactly hundred") << false << 100.0 << "100";
        QTest::newRow("ms binary just below") << false << 23.45 << "23.4";
        QTest::newRow("ms nan") << false << kNan << "nan";
    }
    void numbers()
    {
        QFETCH(bool, speed);
        QFETCH(double, value);
        QTEST(speed ? Fmt::speed(value) : Fmt::ms(value), "text");
    }

    // The process locale must not leak into numbers (a comma in German).
    void numbersIgnoreTheLocale()
    {
        const QByteArray saved = std::setlocale(LC_ALL, nullptr);
        std::setlocale(LC_ALL, "de_DE.UTF-8"); // where it is installed; Qt's default locale always
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(Fmt::speed(93.46), QStringLiteral("93.5"));
        QCOMPARE(Fmt::ms(1234.5), QStringLiteral("1234"));
        QVERIFY(sampleResult().summary().contains(QStringLiteral("Download: 93.5 Mbps")));
        QLocale::setDefault(QLocale::c());
        std::setlocale(LC_ALL, saved.constData());
    }

    void summary()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const QStringList lines = sampleResult().summary().split(QLatin1Char('\n')); // a trailing newline makes five
        QLocale::setDefault(QLocale::c());
        QCOMPARE(lines.size(), 4);
        // The space before PM differs between Qt's locale data versions.
        QVERIFY2(lines[0].startsWith(QStringLiteral("Quorvel \u2014 Dec 5, 2026, 12:43")) && lines[0].endsWith("PM"),
                 qPrintable(lines[0]));
        QCOMPARE(lines.mid(1), (QStringList{"Download: 93.5 Mbps", "Upload: 12.3 Mbps",
                                            "Latency: 15.0 ms median (12.0\u2013121 ms), jitter 3.2 ms"}));
    }

    // The larger loaded latency less the idle median, on the published
    // scale; its line, and the figures with an em dash for one not measured
    // (what quorvel-cli prints after the summary).
    void bufferbloat_data()
    {
        QTest::addColumn<double>("idle");
        QTest::addColumn<std::optional<double>>("down");
        QTest::addColumn<std::optional<double>>("up");
        QTest::addColumn<QString>("line"); // empty: no grade
        QTest::addColumn<QString>("figures"); // before the line
        const std::optional<double> none;
        QTest::newRow("neither measured") << 10.0 << none << none << "" << "download \u2014, upload \u2014";
        QTest::newRow("just under 5 ms") << 10.0 << std::optional(14.9) << none
                                         << "Bufferbloat A+ \u00B7 latency rises 4.9 ms under load" << "download 14.9 ms, upload \u2014";
        QTest::newRow("5 ms is A") << 10.0 << none << std::optional(15.0)
                                   << "Bufferbloat A \u00B7 latency rises 5.0 ms under load" << "download \u2014, upload 15.0 ms";
        QTest::newRow("the upload's is larger") << 10.0 << std::optional(20.0) << std::optional(45.0)
                                                << "Bufferbloat B \u00B7 latency rises 35.0 ms under load" << "download 20.0 ms, upload 45.0 ms";
        QTest::newRow("60 ms is C") << 0.5 << std::optional(60.5) << std::optional(1.0)
                                    << "Bufferbloat C \u00B7 latency rises 60.0 ms under load" << "download 60.5 ms, upload 1.0 ms";
        QTest::newRow("just under 200 ms is C, though it reads 200") << 0.0 << std::optional(199.9) << none
                                           << "Bufferbloat C \u00B7 latency rises 200 ms under load" << "download 200 ms, upload \u2014";
        QTest::newRow("200 ms is D") << 0.0 << std::optional(200.0) << none
                                     << "Bufferbloat D \u00B7 latency rises 200 ms under load" << "download 200 ms, upload \u2014";
        QTest::newRow("400 ms is F") << 100.0 << std::optional(500.0) << none
                                     << "Bufferbloat F \u00B7 latency rises 400 ms under load" << "download 500 ms, upload \u2014";
        QTest::newRow("lower under load than idle") << 20.0 << std::optional(18.0) << std::optional(19.0)
                                                    << "Bufferbloat A+ \u00B7 latency does not rise under load"
                                                    << "download 18.0 ms, upload 19.0 ms";
    }
    void bufferbloat()
    {
        QFETCH(double, idle);
        QFETCH(std::optional<double>, down);
        QFETCH(std::optional<double>, up);
        QFETCH(QString, line);
        QFETCH(QString, figures);
        const auto grade = Bufferbloat::of(idle, down, up);
        QCOMPARE(grade ? grade->line() : QString(), line);
        TestResult r;
        r.latencyMedian = idle;
        r.downloadLatency = down;
        r.uploadLatency = up;
        QCOMPARE(Bufferbloat::loadedLine(r), QStringLiteral("Latency under load: ") + figures + QStringLiteral("; ")
                                                 + (grade ? line : QStringLiteral("no Bufferbloat grade")));
    }

    void datesFollowTheLocale_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::newRow("US English") << QLocale(QLocale::English, QLocale::UnitedStates) << "Dec 5, 2026" << "12:43 PM";
        QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "5. Dez. 2026" << "12:43";
        QTest::newRow("French") << QLocale(QLocale::French, QLocale::France) << "5 déc. 2026" << "12:43";
        // Their short time format is HH:mm:ss.
        QTest::newRow("C, once with seconds") << QLocale::c() << "5 Dec 2026" << "12:43";
        QTest::newRow("C.UTF-8, once with seconds") << QLocale(QStringLiteral("C.UTF-8")) << "5 Dec 2026" << "12:43";
    }
    void datesFollowTheLocale()
    {
        QFETCH(QLocale, locale);
        const QDateTime when(QDate(2026, 12, 5), QTime(12, 43, 7), Qt::LocalTime);
        QTEST(Fmt::mediumDate(when, locale), "date");
        QTEST(Fmt::shortTime(when, locale), "time");
    }

    void secondsLeaveTheTimeFormat_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("shown");
        QTest::newRow("with a fraction") << "HH:mm:ss.zzz" << "HH:mm";
        QTest::newRow("before the day period") << "h.mm.ss AP" << "h.mm AP";
        QTest::newRow("a quoted s stays") << "H'h'mm 'es'" << "H'h'mm 'es'";
    }
    void secondsLeaveTheTimeFormat()
    {
        QFETCH(QString, format);
        QTEST(Fmt::withoutSeconds(format), "shown");
    }
};

QTEST_GUILESS_MAIN(TestFormatting)
#include "tst_formatting.moc"
