// The JSON object form of one record: what the writer refuses, and which
// members the reader takes or rejects.
#include "historyfiles.h"
#include "testresult.h"

#include <QtTest>

#include <limits>

class TestResultCodec : public QObject {
    Q_OBJECT

private slots:
    // What the reader would refuse is never written, by either writer.
    void refusesUnreadable_data()
    {
        QTest::addColumn<TestResult>("record");
        const auto with = [](double TestResult::*field, double value) {
            TestResult r = storedRecord();
            r.*field = value;
            return r;
        };
        QTest::newRow("infinite upload") << with(&TestResult::upload, std::numeric_limits<double>::infinity());
        QTest::newRow("NaN jitter") << with(&TestResult::jitter, std::numeric_limits<double>::quiet_NaN());
        QTest::newRow("before year 1") << storedAt(utc(1, 1, 1, 0, 0, 0).addMSecs(-1));
        QTest::newRow("after year 9999") << storedAt(utc(9999, 12, 31, 23, 59, 59, 999).addMSecs(1));
        QTest::newRow("local time whose UTC is before year 1")
            << storedAt(QDateTime(QDate(1, 1, 1), QTime(0, 30), QTimeZone(3600)));
        QTest::newRow("invalid date") << storedAt(QDateTime());
    }
    void refusesUnreadable()
    {
        QFETCH(TestResult, record);
        QVERIFY(!ResultCodec::encode(record));
        QVERIFY(!ResultCodec::encodeArray({storedRecord(), record}));
    }

    void decodeAccepted_data()
    {
        QTest::addColumn<QJsonObject>("object");
        QTest::addColumn<TestResult>("expected");
        QTest::newRow("as written") << storedObject() << storedRecord();
        for (const FieldRule &rule : acceptedFields())
            QTest::newRow(rule.name.constData()) << rule.object() << rule.read;
    }
    void decodeAccepted()
    {
        QFETCH(QJsonObject, object);
        QFETCH(TestResult, expected);
        const auto result = ResultCodec::decode(object);
        QVERIFY(result);
        QCOMPARE(*result, expected);
        QCOMPARE(result->date.timeSpec(), Qt::UTC);
    }

    void decodeRejected_data()
    {
        QTest::addColumn<QJsonObject>("object");
        for (const FieldRule &rule : rejectedFields())
            QTest::newRow(rule.name.constData()) << rule.object();
    }
    void decodeRejected()
    {
        QFETCH(QJsonObject, object);
        QCOMPARE(ResultCodec::decode(object), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestResultCodec)
#include "tst_resultcodec.moc"
