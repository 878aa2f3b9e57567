// Number formats, the summary text, and record equality.
#include "fmt.h"
#include "sample.h"
#include "testresult.h"

#include <QtTest>

#include <clocale>
#include <cmath>
#include <limits>

namespace {
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TestResult sampleResult()
{
    TestResult r;
    r.id = QUuid::fromString(QStringLiteral("6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8"));
    r.date = QDateTime(QDate(2026, 12, 5), QTime(12, 43, 35), Qt::LocalTime);
    r.latencyMedian = 15.04;
    r.latencyMin = 12;
    r.latencyMax = 120.7;
    r.jitter = 3.21;
    r.download = 93.46;
    r.upload = 12.3;
    return r;
}
} // namespace

class TestFormatting : public QObject {
    Q_OBJECT

private slots:
    void speed_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0.0 << "0.00";
        QTest::newRow("below ten rounds down") << 9.994 << "9.99";
        QTest::newRow("below ten rounds up past it") << 9.999 << "10.00";
        QTest::newRow("exactly ten") << 10.0 << "10.0";
        QTest::newRow("below hundred rounds up past it") << 99.96 << "100.0";
        QTest::newRow("exactly hundred") << 100.0 << "100";
        QTest::newRow("no grouping") << 1234.4 << "1234";
        QTest::newRow("half rounds to even in binary") << 0.125 << "0.12";
        QTest::newRow("negative") << -1.0 << "-1.00";
        QTest::newRow("nan") << kNan << "nan";
        QTest::newRow("infinity") << kInf << "inf";
        QTest::newRow("huge") << 1e21 << "1000000000000000000000";
    }
    void speed()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(Fmt::speed(value), text);
    }

    void ms_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("below hundred") << 99.94 << "99.9";
        QTest::newRow("rounds up to hundred") << 99.96 << "100.0";
        QTest::newRow("exactly hundred") << 100.0 << "100";
        QTest::newRow("tiny") << 0.04 << "0.0";
        QTest::newRow("binary just below") << 23.45 << "23.4";
        QTest::newRow("nan") << kNan << "nan";
    }
    void ms()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(Fmt::ms(value), text);
    }

    // The process locale must not leak into numbers (a comma in German).
    void numbersIgnoreTheLocale()
    {
        const char *old = std::setlocale(LC_ALL, nullptr);
        const QByteArray saved = old ? QByteArray(old) : QByteArray("C");
        const bool german = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(Fmt::speed(93.46), QStringLiteral("93.5"));
        QCOMPARE(Fmt::ms(1234.5), QStringLiteral("1234"));
        QVERIFY(sampleResult().summary().contains(QStringLiteral("Download: 93.5 Mbps")));
        QLocale::setDefault(QLocale::c());
        std::setlocale(LC_ALL, saved.constData());
        if (!german)
            qInfo("de_DE.UTF-8 is not installed; checked with Qt's default locale only");
    }

    void summaryLines()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const QStringList lines = sampleResult().summary().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[0].startsWith(QStringLiteral("Quorvel \u2014 Dec 5, 2026, 12:43")), qPrintable(lines[0]));
        QVERIFY2(lines[0].endsWith(QStringLiteral("PM")), qPrintable(lines[0]));
        QCOMPARE(lines[1], QStringLiteral("Download: 93.5 Mbps"));
        QCOMPARE(lines[2], QStringLiteral("Upload: 12.3 Mbps"));
        QCOMPARE(lines[3], QStringLiteral("Latency: 15.0 ms median (12.0\u2013121 ms), jitter 3.2 ms"));
        QVERIFY(!sampleResult().summary().endsWith(QLatin1Char('\n')));
        QLocale::setDefault(QLocale::c());
    }

    void summaryOfZeros()
    {
        TestResult r = sampleResult();
        r.latencyMedian = r.latencyMin = r.latencyMax = r.jitter = r.download = r.upload = 0;
        const QStringList lines = r.summary().split(QLatin1Char('\n'));
        QCOMPARE(lines.mid(1), (QStringList{QStringLiteral("Download: 0.00 Mbps"), QStringLiteral("Upload: 0.00 Mbps"),
                                            QStringLiteral("Latency: 0.0 ms median (0.0\u20130.0 ms), jitter 0.0 ms")}));
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

    void equality()
    {
        const TestResult a = sampleResult();
        TestResult b = a;
        QVERIFY(a == b);
        b.id = QUuid::createUuid();
        QVERIFY(!(a == b));
        b = a;
        b.date = b.date.addMSecs(1);
        QVERIFY(!(a == b));
        for (double TestResult::*field : {&TestResult::latencyMedian, &TestResult::jitter, &TestResult::upload}) {
            TestResult withNan = a;
            withNan.*field = kNan;
            QVERIFY(!(withNan == withNan));
        }
    }

    void sampleIdentityIsX()
    {
        QCOMPARE((Sample{2.5, 10}.id()), (Sample{2.5, 99}.id()));
        QVERIFY((Sample{1, 10}.id() != Sample{2, 10}.id()));
    }
};

QTEST_GUILESS_MAIN(TestFormatting)
#include "tst_formatting.moc"
