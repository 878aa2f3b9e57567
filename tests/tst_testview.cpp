// The Test tab as a person sees it: banner precedence, card figures and
// detail line, which buttons show, each rendered from a given state with no
// server; whether the buttons work (click and Return), and a failed test
// against the local server. A whole test on this screen, and Copy Result:
// tst_window.
#include "banner.h"
#include "gaugeview.h"
#include "speedtestharness.h"
#include "statcard.h"
#include "testview.h"

#include <QtWidgets>

#include <optional>

namespace {

// The screen on an engine against the local server, or on one that never runs.
struct Shown {
    SpeedTestHarness engine;
    TestView view;
    explicit Shown(bool serve = false) : view(open(engine, serve))
    {
        view.resize(760, 590);
        view.show();
        view.activateWindow();
        if (!QTest::qWaitForWindowActive(&view))
            qFatal("view not active");
    }
    static SpeedTest *open(SpeedTestHarness &h, bool serve)
    {
        if (!h.open(serve ? QString() : SpeedTestHarness::unheard))
            qFatal("local server: %s", h.server.errorString().c_str());
        return h.test.get();
    }
};

const QString dash = QStringLiteral("\u2014");
const QString offline = QStringLiteral("You're offline. Connect to the internet to run a speed test.");

} // namespace

class TestTestView : public QObject {
    Q_OBJECT

private slots:
    // Figures: median, min, max, jitter, download, upload; -1 for none.
    // Shown: latency value, its detail line, download, upload.
    void cards_data()
    {
        QTest::addColumn<QList<double>>("figures");
        QTest::addColumn<QStringList>("shown");
        const QString detail = QStringLiteral("median \u00B7 range 11.2\u2013104 \u00B7 jitter 4.1");
        QTest::newRow("fresh") << QList<double>{-1, -1, -1, -1, -1, -1} << QStringList{dash, "", dash, dash};
        QTest::newRow("all latency figures")
            << QList<double>{15.04, 11.24, 103.7, 4.06, -1, -1} << QStringList{"15.0", detail, dash, dash};
        QTest::newRow("detail without median")
            << QList<double>{-1, 11.24, 103.7, 4.06, -1, -1} << QStringList{dash, detail, dash, dash};
        QTest::newRow("no jitter, no detail") << QList<double>{15, 11, 20, -1, -1, -1} << QStringList{"15.0", "", dash, dash};
        QTest::newRow("throughput") << QList<double>{-1, -1, -1, -1, 93.46, 9.994} << QStringList{dash, "", "93.5", "9.99"};
    }
    void cards()
    {
        QFETCH(QList<double>, figures);
        Shown s;
        const auto figure = [&](int i) { return figures[i] < 0 ? std::optional<double>() : figures[i]; };
        TestScreenState st;
        std::tie(st.latencyMedian, st.latencyMin, st.latencyMax, st.jitter, st.download, st.upload) =
            std::tuple{figure(0), figure(1), figure(2), figure(3), figure(4), figure(5)};
        s.view.render(st);
        const StatCard *latency = s.view.latencyCard(), *down = s.view.downloadCard(), *up = s.view.uploadCard();
        QTEST((QStringList{latency->valueText(), latency->detailText(), down->valueText(), up->valueText()}), "shown");
        QCOMPARE(down->detailText() + up->detailText(), QString());
        QCOMPARE((QStringList{latency->unitText(), down->unitText(), up->unitText()}), (QStringList{"ms", "Mbps", "Mbps"}));
        // A blank detail line keeps its height: the three cards stay level and
        // share the row equally.
        QTRY_VERIFY_WITH_TIMEOUT(latency->height() > 0, 5'000);
        QVERIFY(latency->height() == down->height() && up->height() == down->height());
        QVERIFY(std::abs(latency->width() - up->width()) <= 1);
    }

    void dataUsedLine_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<QString>("line");
        const QString host = QStringLiteral("speed.example.net \u00B7 ");
        QTest::newRow("before any test") << qint64(0) << Phase::idle << "";
        QTest::newRow("bytes") << qint64(980) << Phase::idle << host + "980 bytes used";
        QTest::newRow("kilobytes, one decimal") << qint64(9'540) << Phase::done << host + "9.5 kB used";
        QTest::newRow("megabytes, whole") << qint64(23'600'000) << Phase::done << host + "24 MB used";
        QTest::newRow("just under a gigabyte") << qint64(999'600'000) << Phase::done << host + "1.0 GB used";
        QTest::newRow("gigabytes") << qint64(1'436'000'000) << Phase::done << host + "1.4 GB used";
        QTest::newRow("hidden while a test runs") << qint64(5'000'000) << Phase::upload << "";
    }
    void dataUsedLine()
    {
        QFETCH(qint64, bytes);
        QFETCH(Phase, phase);
        TestScreenState st;
        st.origin = QStringLiteral("https://speed.example.net:8443");
        st.bytesMoved = bytes;
        st.phase = phase;
        QTEST(TestScreen::dataUsedLine(st), "line");
    }

    void banner_data()
    {
        QTest::addColumn<std::optional<QString>>("error");
        QTest::addColumn<bool>("online");
        QTest::addColumn<QString>("text"); // empty: no banner
        QTest::addColumn<Hue>("hue");
        const std::optional<QString> rejected = rejectedMessage;
        QTest::newRow("online, no error") << std::optional<QString>() << true << "" << Hue::none;
        QTest::newRow("offline") << std::optional<QString>() << false << offline << Hue::orange;
        QTest::newRow("error") << rejected << true << rejectedMessage << Hue::red;
        QTest::newRow("error beats offline") << rejected << false << rejectedMessage << Hue::red;
    }
    void banner()
    {
        QFETCH(std::optional<QString>, error);
        QFETCH(bool, online);
        QFETCH(QString, text);
        Shown s;
        const int gaugeTopWithout = s.view.gauge()->y();
        TestScreenState st;
        st.errorMessage = error;
        st.errorCause = QStringLiteral("The connection was refused by 127.0.0.1:1 while measuring latency.");
        st.isOnline = online;
        s.view.render(st);
        QVERIFY(s.view.isBannerShown() == !text.isEmpty() && s.view.banner()->isVisible() == !text.isEmpty());
        if (!text.isEmpty()) {
            QCOMPARE(s.view.banner()->text(), text);
            QTEST(hueOf(s.view.banner()->color()), "hue");
            // The cause goes with an error, not with the offline notice.
            const QString detail = error ? st.errorCause : QString();
            QCOMPARE(s.view.banner()->toolTip(), detail);
            QCOMPARE(s.view.banner()->accessibleDescription(), detail);
            QTRY_VERIFY_WITH_TIMEOUT(s.view.gauge()->y() > s.view.banner()->geometry().bottom(), 5'000);
        }
        // Back to no banner: no gap is left where it was.
        s.view.render(TestScreenState{});
        QVERIFY(!s.view.isBannerShown());
        QTRY_COMPARE_WITH_TIMEOUT(s.view.gauge()->y(), gaugeTopWithout, 5'000);
    }

    void controls_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<bool>("online");
        QTest::addColumn<QString>("shown"); // in order; then Start's label, and whether it is enabled
        QTest::newRow("fresh") << Phase::idle << true << "start Start 1";
        QTest::newRow("fresh, offline") << Phase::idle << false << "start Start 0";
        QTest::newRow("finished") << Phase::done << true << "start copy Test Again 1";
        QTest::newRow("finished, offline") << Phase::done << false << "start copy Test Again 0";
        QTest::newRow("latency") << Phase::latency << true << "cancel status";
        QTest::newRow("download, offline") << Phase::download << false << "cancel status";
        QTest::newRow("upload") << Phase::upload << true << "cancel status";
    }
    void controls()
    {
        QFETCH(Phase, phase);
        QFETCH(bool, online);
        Shown s;
        TestView &v = s.view;
        TestScreenState st;
        st.phase = phase;
        st.isOnline = online;
        st.status = QStringLiteral("Measuring latency\u2026");
        if (phase == Phase::done)
            st.lastResult = TestResult{QUuid::createUuid(), QDateTime::currentDateTime(), 15.04, 12, 120.7, 3.21, 93.46, 12.3};
        v.render(st);
        QStringList shown;
        for (const auto &[name, w] : {std::pair<QString, QWidget *>{"cancel", v.cancelButton()},
                                      {"status", v.findChild<QWidget *>(QStringLiteral("statusText"))},
                                      {"start", v.startButton()},
                                      {"copy", v.copyButton()}})
            if (w->isVisible())
                shown << name;
        if (v.startButton()->isVisible())
            shown << v.startButton()->text() << QString::number(v.startButton()->isEnabled());
        QTEST(shown.join(QLatin1Char(' ')), "shown");
        if (st.isRunning()) {
            QCOMPARE(v.statusText(), st.status);
            // The row stays put as the status changes (it once moved sideways).
            v.layout()->activate();
            const int x = v.cancelButton()->x();
            st.status = QStringLiteral("Measuring download\u2026");
            v.render(st);
            v.layout()->activate();
            QCOMPARE(v.cancelButton()->x(), x);
        }
        // One row height, Start's 40 pixels (it was 32).
        QVERIFY(v.startButton()->isDefault());
        QCOMPARE(v.startButton()->height(), 40);
        QVERIFY(v.startButton()->height() == v.copyButton()->height() && v.cancelButton()->height() == v.copyButton()->height());
        QVERIFY(v.copyButton()->isEnabled()); // Copy Result works offline too
    }

    // The warm-up is held, then refused: the test stays in its latency phase
    // while keys are pressed, then fails.
    void returnStartsOnlyWhenOnlineAndAFailureShows()
    {
        Shown s(true);
        s.engine.server.addFault({.nth = 1, .status = 503, .headDelay = 3s});
        SpeedTest &t = *s.engine.test;
        QVERIFY(s.engine.setOnline(false));
        QCOMPARE(s.view.banner()->text(), offline);
        QVERIFY(!s.view.startButton()->isEnabled());
        QTest::keyClick(&s.view, Qt::Key_Return);
        QTest::keyClick(&s.view, Qt::Key_Enter);
        QTest::mouseClick(s.view.startButton(), Qt::LeftButton);
        QCOMPARE(t.phase(), Phase::idle); // start() moves to the latency phase at once when it runs at all

        QVERIFY(s.engine.setOnline(true));
        QVERIFY(!s.view.isBannerShown() && s.view.startButton()->isEnabled());
        QTest::keyClick(&s.view, Qt::Key_Return);
        QCOMPARE(t.phase(), Phase::latency);
        QVERIFY(s.view.startButton()->isHidden());
        // Return while running starts nothing new and does not cancel.
        QTest::keyClick(&s.view, Qt::Key_Return);
        QCOMPARE(t.phase(), Phase::latency);
        QCOMPARE(t.status(), QStringLiteral("Measuring latency\u2026"));

        QVERIFY(eventually([&] { return t.status() == QLatin1String("Failed"); }));
        QVERIFY(s.engine.setOnline(false)); // the error banner wins
        QCOMPARE(hueOf(s.view.banner()->color()), Hue::red);
        QCOMPARE(s.view.banner()->text(), rejectedMessage);
        QCOMPARE(s.view.banner()->toolTip(), QStringLiteral("The server answered with HTTP status 503 while measuring latency."));
    }
};

QTEST_MAIN(TestTestView)
#include "tst_testview.moc"
