// The JSON object form of one record: what is written, what the writer
// refuses, and which members the reader takes or rejects.
#include "historyfiles.h"
#include "testresult.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <limits>

class TestResultCodec : public QObject {
    Q_OBJECT

private slots:
    void encodesEveryMember()
    {
        TestResult r = storedRecord();
        r.id = QUuid::fromString(QStringLiteral("6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8"));
        r.date = QDateTime(QDate(2026, 12, 5), QTime(13, 43, 35, 900), QTimeZone(3600));
        r.download = 0.1 + 0.2; // needs all 17 digits to survive
        const auto object = ResultCodec::encode(r);
        QVERIFY(object);
        QCOMPARE(object->size(), 8);
        QCOMPARE(object->value("id").toString(), QStringLiteral("6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8"));
        QCOMPARE(object->value("date").toString(), QStringLiteral("2026-12-05T12:43:35Z"));
        const auto back = ResultCodec::decode(QJsonDocument::fromJson(QJsonDocument(*object).toJson()).object());
        QVERIFY(back);
        r.date = r.date.addMSecs(-900); // whole seconds only
        QCOMPARE(*back, r);
    }

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

    // The array writer says exactly what the object encoder says, and the
    // reader takes it back, up to the last second of both ends of the years.
    void arrayWriterAgreesWithTheEncoder()
    {
        const QDateTime dates[] = {utc(1, 1, 1, 0, 0, 0), utc(1969, 7, 20, 20, 17, 40, 999),
                                   utc(9999, 12, 31, 23, 59, 59, 999)};
        QList<TestResult> list;
        for (int i = 0; i < 3; ++i)
            list.append({QUuid::createUuid(), dates[i], 0.1 + 0.2, -0.0, 1e300, 5e-324, 12, 123456789.125 * i});
        const auto bytes = ResultCodec::encodeArray(list);
        QVERIFY(bytes);
        QJsonParseError error;
        const QJsonArray array = QJsonDocument::fromJson(*bytes, &error).array();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(array.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(array[i].toObject(), *ResultCodec::encode(list[i]));
            TestResult expected = list[i];
            expected.date = expected.date.addMSecs(-expected.date.time().msec());
            QCOMPARE(ResultCodec::decode(array[i].toObject()), std::optional(expected));
        }
        QVERIFY(bytes->startsWith("[\n    {\n        \"id\": \""));
        QCOMPARE(*ResultCodec::encodeArray({}), QByteArray("[]\n"));
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
