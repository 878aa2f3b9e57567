// How curl's results become the client's errors, for the cases loopback
// cannot produce (no network at all, certificate failures, odd replies).
#include "curlerror.h"

#include <QtTest>

#include <cerrno>

using Code = HttpError::Code;

class TestHttpError : public QObject {
    Q_OBJECT

private slots:
    void mapping_data()
    {
        QTest::addColumn<int>("curlCode");
        QTest::addColumn<long>("osErrno");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("no route to any network is offline")
            << int(CURLE_COULDNT_CONNECT) << long(ENETUNREACH) << QString() << int(Code::notConnectedToInternet)
            << "offline";
        QTest::newRow("unreachable host is the host's problem")
            << int(CURLE_COULDNT_CONNECT) << long(EHOSTUNREACH) << QString() << int(Code::cannotConnectToHost)
            << "connect";
        QTest::newRow("name not found")
            << int(CURLE_COULDNT_RESOLVE_HOST) << 0L << QString() << int(Code::cannotFindHost) << "hostname";
        QTest::newRow("curl's own timeout")
            << int(CURLE_OPERATION_TIMEDOUT) << 0L << QString() << int(Code::timedOut) << "timed out";
        QTest::newRow("send failed mid-body")
            << int(CURLE_SEND_ERROR) << long(EPIPE) << QString() << int(Code::networkConnectionLost) << "lost";
        QTest::newRow("nothing came back")
            << int(CURLE_GOT_NOTHING) << 0L << QString() << int(Code::networkConnectionLost) << "lost";
        QTest::newRow("certificate keeps curl's reason")
            << int(CURLE_PEER_FAILED_VERIFICATION) << 0L << "SSL certificate problem: certificate has expired"
            << int(Code::other) << "certificate has expired";
        QTest::newRow("handshake failure is a TLS error")
            << int(CURLE_SSL_CONNECT_ERROR) << 0L << QString() << int(Code::other) << "TLS";
        QTest::newRow("garbled reply")
            << int(CURLE_WEIRD_SERVER_REPLY) << 0L << QString() << int(Code::badServerResponse) << "understood";
    }
    void mapping()
    {
        QFETCH(int, curlCode);
        QFETCH(long, osErrno);
        QFETCH(QString, detail);
        QFETCH(int, code);
        QFETCH(QString, mentions);
        const QByteArray utf8 = detail.toUtf8();
        const HttpError error = httpErrorFromCurl(CURLcode(curlCode), osErrno,
                                                  std::string_view(utf8.constData(), std::size_t(utf8.size())));
        QCOMPARE(int(error.code()), code);
        QVERIFY2(error.description().contains(mentions, Qt::CaseInsensitive), qPrintable(error.description()));
        QCOMPARE(QString::fromStdString(error.what()), error.description());
    }
};

QTEST_GUILESS_MAIN(TestHttpError)
#include "tst_httperror.moc"
