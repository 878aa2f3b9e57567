// The JSON object form of one record: what is written, and which objects
// are accepted or rejected on reading.
#include "testresult.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <limits>

namespace {

QJsonObject goodObject()
{
    return QJsonDocument::fromJson(R"({
        "id": "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8",
        "date": "2026-12-05T12:43:35Z",
        "latencyMedian": 15.04, "latencyMin": 12, "latencyMax": 120.7,
        "jitter": 3.21, "download": 93.46, "upload": 12.3
    })").object();
}

} // namespace

class TestResultCodec : public QObject {
    Q_OBJECT

private slots:
    void encodesEveryMember()
    {
        TestResult r;
        r.id = QUuid::fromString(QStringLiteral("6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8"));
        r.date = QDateTime(QDate(2026, 12, 5), QTime(13, 43, 35, 900), QTimeZone(3600));
        r.latencyMedian = 15.04;
        r.latencyMin = 12;
        r.latencyMax = 120.7;
        r.jitter = 3.21;
        r.download = 0.1 + 0.2; // needs all 17 digits to survive
        r.upload = 12.3;
        const auto object = ResultCodec::encode(r);
        QVERIFY(object);
        QCOMPARE(object->size(), 8);
        QCOMPARE(object->value("id").toString(), QStringLiteral("6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8"));
        QCOMPARE(object->value("date").toString(), QStringLiteral("2026-12-05T12:43:35Z"));
        const QByteArray text = QJsonDocument(*object).toJson();
        const auto back = ResultCodec::decode(QJsonDocument::fromJson(text).object());
        QVERIFY(back);
        QCOMPARE(back->id, r.id);
        QCOMPARE(back->download, r.download);
        QCOMPARE(back->latencyMax, r.latencyMax);
        QCOMPARE(back->date, r.date.addMSecs(-900)); // whole seconds only
        QVERIFY(!(*back == r));
    }

    void refusesNonFiniteNumbers()
    {
        TestResult r;
        r.id = QUuid::createUuid();
        r.date = QDateTime::currentDateTimeUtc();
        r.upload = std::numeric_limits<double>::infinity();
        QVERIFY(!ResultCodec::encode(r));
        r.upload = 0;
        r.jitter = std::numeric_limits<double>::quiet_NaN();
        QVERIFY(!ResultCodec::encode(r));
    }

    // The array writer must say exactly what the object encoder says.
    void arrayWriterAgreesWithTheEncoder()
    {
        QList<TestResult> list;
        for (int i = 0; i < 3; ++i) {
            TestResult r;
            r.id = QUuid::createUuid();
            r.date = QDateTime(QDate(1969 + i * 30, 7, 20), QTime(20, 17, 40, 999), Qt::UTC);
            r.latencyMedian = 0.1 + 0.2;
            r.latencyMin = -0.0;
            r.latencyMax = 1e300;
            r.jitter = 5e-324;
            r.download = 12;
            r.upload = 123456789.125 * i;
            list.append(r);
        }
        const auto bytes = ResultCodec::encodeArray(list);
        QVERIFY(bytes);
        QJsonParseError error;
        const QJsonArray array = QJsonDocument::fromJson(*bytes, &error).array();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(array.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(array[i].toObject(), *ResultCodec::encode(list[i]));
            const auto back = ResultCodec::decode(array[i].toObject());
            QVERIFY(back);
            QCOMPARE(back->latencyMedian, list[i].latencyMedian);
            QCOMPARE(back->jitter, list[i].jitter);
            QCOMPARE(back->latencyMax, list[i].latencyMax);
            QCOMPARE(back->upload, list[i].upload);
        }
        QVERIFY(bytes->startsWith("[\n    {\n        \"id\": \""));
        // The CSV line writes each figure as the array writer does.
        list[1].id = QUuid::fromString(QStringLiteral("6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8"));
        QCOMPARE(*ResultCodec::csvRow(list[1]), QByteArray("6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8,1999-07-20T20:17:40Z,"
                                                           "0.30000000000000004,-0,1e+300,5e-324,12,123456789.125"));
        QVERIFY(bytes->contains("\"latencyMedian\": 0.30000000000000004,\n        \"latencyMin\": -0,\n"));
        QCOMPARE(*ResultCodec::encodeArray({}), QByteArray("[]\n"));
        list[1].download = std::numeric_limits<double>::quiet_NaN();
        QVERIFY(!ResultCodec::encodeArray(list));
        QVERIFY(!ResultCodec::csvRow(list[1]));
    }

    void decode_data()
    {
        QTest::addColumn<QString>("member");
        QTest::addColumn<QJsonValue>("value"); // Undefined: remove the member
        QTest::addColumn<bool>("accepted");

        QTest::newRow("as written") << "" << QJsonValue() << true;
        for (const char *key : ResultCodec::keys)
            QTest::addRow("missing %s", key) << QString::fromLatin1(key) << QJsonValue(QJsonValue::Undefined) << false;
        QTest::newRow("extra member") << "comment" << QJsonValue("hand edit") << true;
        QTest::newRow("lower-case id") << "id" << QJsonValue("6f1c2a3b-4d5e-4f60-8172-93a4b5c6d7e8") << true;
        QTest::newRow("id with braces") << "id" << QJsonValue("{6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8}") << false;
        QTest::newRow("id not a uuid") << "id" << QJsonValue("not-a-uuid") << false;
        QTest::newRow("id as number") << "id" << QJsonValue(42) << false;
        QTest::newRow("date as number") << "date" << QJsonValue(1765000000) << false;
        QTest::newRow("date with offset") << "date" << QJsonValue("2026-12-05T13:43:35+01:00") << true;
        QTest::newRow("date with fraction") << "date" << QJsonValue("2026-12-05T12:43:35.250Z") << true;
        QTest::newRow("date without zone") << "date" << QJsonValue("2026-12-05T12:43:35") << false;
        QTest::newRow("date only") << "date" << QJsonValue("2026-12-05") << false;
        QTest::newRow("date with long fraction") << "date" << QJsonValue("2026-12-05T12:43:35.250999999Z") << true;
        QTest::newRow("date with empty fraction") << "date" << QJsonValue("2026-12-05T12:43:35.Z") << false;
        QTest::newRow("date with lower-case t") << "date" << QJsonValue("2026-12-05t12:43:35Z") << false;
        QTest::newRow("date with trailing space") << "date" << QJsonValue("2026-12-05T12:43:35Z ") << false;
        QTest::newRow("date with short offset") << "date" << QJsonValue("2026-12-05T12:43:35+01") << false;
        QTest::newRow("id one digit short") << "id" << QJsonValue("6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E") << false;
        QTest::newRow("id hyphen misplaced") << "id" << QJsonValue("6F1C2A3B4-D5E-4F60-8172-93A4B5C6D7E8") << false;
        QTest::newRow("date impossible") << "date" << QJsonValue("2026-13-45T12:43:35Z") << false;
        QTest::newRow("date words") << "date" << QJsonValue("yesterday") << false;
        QTest::newRow("number as string") << "download" << QJsonValue("93.46") << false;
        QTest::newRow("number as null") << "jitter" << QJsonValue(QJsonValue::Null) << false;
        QTest::newRow("number as bool") << "upload" << QJsonValue(true) << false;
        QTest::newRow("integral number") << "latencyMin" << QJsonValue(12) << true;
    }
    void decode()
    {
        QFETCH(QString, member);
        QFETCH(QJsonValue, value);
        QFETCH(bool, accepted);
        QJsonObject object = goodObject();
        if (!member.isEmpty()) {
            if (value.isUndefined())
                object.remove(member);
            else
                object.insert(member, value);
        }
        const auto result = ResultCodec::decode(object);
        QCOMPARE(bool(result), accepted);
        if (result && member == QLatin1String("date") && value.isString())
            QCOMPARE(result->date, QDateTime(QDate(2026, 12, 5), QTime(12, 43, 35, value.toString().contains('.') ? 250 : 0), Qt::UTC));
    }
};

QTEST_GUILESS_MAIN(TestResultCodec)
#include "tst_resultcodec.moc"
