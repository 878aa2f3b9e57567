// The Test tab as a person sees it: banner precedence, card figures and
// detail line, which buttons show and whether they work (click and Return),
// and a failed test against the local server. A whole test on this screen,
// and Copy Result: tst_window.
#include "banner.h"
#include "gaugeview.h"
#include "statcard.h"
#include "testview.h"
#include "theme.h"
#include "uisupport.h"

#include <QtWidgets>

#include <optional>

namespace {

struct Shown {
    Engine engine;
    TestView view;
    explicit Shown(const QString &origin) : engine(origin), view(engine.test.get())
    {
        view.resize(760, 590);
        view.show();
        view.activateWindow();
        if (!QTest::qWaitForWindowActive(&view))
            qFatal("view not active");
    }
};

const QString dash = QStringLiteral("\u2014");
const QString rejected = QStringLiteral("The speed test server rejected the request. Please try again in a moment.");

} // namespace

class TestTestView : public QObject {
    Q_OBJECT

private slots:
    void init() { m_server.emplace(); }
    void cleanup() { m_server.reset(); }

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
        Shown s(origin());
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

    void banner_data()
    {
        QTest::addColumn<std::optional<QString>>("error");
        QTest::addColumn<bool>("online");
        QTest::addColumn<QString>("text"); // empty: no banner
        QTest::addColumn<QColor>("colour");
        QTest::newRow("online, no error") << std::optional<QString>() << true << "" << QColor();
        QTest::newRow("offline") << std::optional<QString>() << false << TestScreen::offlineText << Theme::orange();
        QTest::newRow("error") << std::optional<QString>(rejected) << true << rejected << Theme::red();
        QTest::newRow("error beats offline") << std::optional<QString>(rejected) << false << rejected << Theme::red();
    }
    void banner()
    {
        QFETCH(std::optional<QString>, error);
        QFETCH(bool, online);
        QFETCH(QString, text);
        Shown s(origin());
        const int gaugeTopWithout = s.view.gauge()->y();
        TestScreenState st;
        st.errorMessage = error;
        st.errorCause = QStringLiteral("The connection was refused by 127.0.0.1:1 while measuring latency.");
        st.isOnline = online;
        s.view.render(st);
        QVERIFY(s.view.isBannerShown() == !text.isEmpty() && s.view.banner()->isVisible() == !text.isEmpty());
        if (!text.isEmpty()) {
            QCOMPARE(s.view.banner()->text(), text);
            QTEST(s.view.banner()->color(), "colour");
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
        Shown s(origin());
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
        // One family: the style's own buttons, Start in the highlight and no
        // taller than the others (it was a flat 44-pixel style-sheet button).
        QVERIFY(v.startButton()->isDefault() && v.startButton()->styleSheet().isEmpty());
        QCOMPARE(v.startButton()->palette().color(QPalette::Active, QPalette::Button),
                 v.palette().color(QPalette::Active, QPalette::Highlight));
        QVERIFY(v.startButton()->height() == v.copyButton()->height() && v.cancelButton()->height() == v.copyButton()->height());
        QVERIFY(v.copyButton()->isEnabled()); // Copy Result works offline too
    }

    // The warm-up is held, then refused: the test stays in its latency phase
    // while keys are pressed, then fails.
    void returnStartsOnlyWhenOnlineAndAFailureShows()
    {
        Watchdog dog;
        m_server->server.addFault({.nth = 1, .status = 503, .headDelay = 3s});
        Shown s(origin());
        SpeedTest &t = *s.engine.test;
        QVERIFY(s.engine.setOnline(false));
        QCOMPARE(s.view.banner()->text(), TestScreen::offlineText);
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
        QCOMPARE(s.view.banner()->color(), Theme::red());
        QCOMPARE(s.view.banner()->text(), rejected);
        QCOMPARE(s.view.banner()->toolTip(), QStringLiteral("The server answered with HTTP status 503 while measuring latency."));
        QCOMPARE(s.view.startButton()->text(), QStringLiteral("Start"));
        QVERIFY(s.view.copyButton()->isHidden());
        QCOMPARE(s.view.latencyCard()->valueText(), dash);
        QCOMPARE(s.view.gauge()->label(), dash);
    }

private:
    QString origin() const { return m_server->origin(); }
    std::optional<LocalServer> m_server;
};

QTEST_MAIN(TestTestView)
#include "tst_testview.moc"
