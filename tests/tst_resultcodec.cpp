// The JSON object form of one record: which members the reader takes or
// rejects. What the writers refuse is in the store's fault tests.
#include "historyfiles.h"
#include "testresult.h"

#include <QtTest>

class TestResultCodec : public QObject {
    Q_OBJECT

private slots:
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
