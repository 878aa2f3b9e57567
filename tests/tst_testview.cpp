// The Test tab as a person sees it: banner precedence, card figures and
// detail line, which buttons show and whether they work (click and
// Return), the copied text, and a whole test (with the outlined card of
// each phase), a failure and a cancel against the local server.
#include "banner.h"
#include "fmt.h"
#include "gaugeview.h"
#include "livegraph.h"
#include "statcard.h"
#include "testview.h"
#include "theme.h"
#include "uisupport.h"

#include <QClipboard>
#include <QLayout>
#include <QGuiApplication>
#include <QMimeData>
#include <QPushButton>
#include <QSet>

#include <optional>

namespace {

using Opt = std::optional<double>;

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

TestResult sampleResult()
{
    return {QUuid::createUuid(), QDateTime::currentDateTime(), 15.04, 12, 120.7, 3.21, 93.46, 12.3};
}

// One look at the screen while a test runs.
struct Look {
    Phase phase;
    bool latencyActive, downloadActive, uploadActive;
    bool cancelShown, startShown, copyShown;
    QString status, engineStatus;
};

Look look(const TestView &v, const SpeedTest &t)
{
    return {t.phase(),
            v.latencyCard()->isActive(),
            v.downloadCard()->isActive(),
            v.uploadCard()->isActive(),
            !v.cancelButton()->isHidden(),
            !v.startButton()->isHidden(),
            !v.copyButton()->isHidden(),
            v.statusText(),
            t.status()};
}

} // namespace

class TestTestView : public QObject {
    Q_OBJECT

private slots:
    void init() { m_server.emplace(); }
    void cleanup() { m_server.reset(); }

    void cards_data();
    void cards();
    void banner_data();
    void banner();
    void controls_data();
    void controls();
    void copyReplacesTheClipboard();
    void returnStartsOnlyWhenOnline();
    void wholeTest();
    void failedTest();
    void cancelledTest();

private:
    QString origin() const { return m_server->origin(); }
    std::optional<LocalServer> m_server;
};

void TestTestView::cards_data()
{
    QTest::addColumn<Opt>("median");
    QTest::addColumn<Opt>("min");
    QTest::addColumn<Opt>("max");
    QTest::addColumn<Opt>("jitter");
    QTest::addColumn<Opt>("download");
    QTest::addColumn<Opt>("upload");
    QTest::addColumn<QString>("latencyText");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("downloadText");
    QTest::addColumn<QString>("uploadText");

    const Opt none;
    const QString dash = QStringLiteral("\u2014");
    QTest::newRow("fresh") << none << none << none << none << none << none << dash << "" << dash << dash;
    QTest::newRow("median 123.4") << Opt(123.4) << none << none << none << none << none << "123" << "" << dash
                                  << dash;
    QTest::newRow("median 99.94") << Opt(99.94) << none << none << none << none << none << "99.9" << "" << dash
                                  << dash;
    QTest::newRow("all latency figures")
        << Opt(15.04) << Opt(11.24) << Opt(103.7) << Opt(4.06) << none << none << "15.0"
        << "median \u00B7 range 11.2\u2013104 \u00B7 jitter 4.1" << dash << dash;
    QTest::newRow("detail without median")
        << none << Opt(11.24) << Opt(103.7) << Opt(4.06) << none << none << dash
        << "median \u00B7 range 11.2\u2013104 \u00B7 jitter 4.1" << dash << dash;
    QTest::newRow("no jitter, no detail") << Opt(15.0) << Opt(11.0) << Opt(20.0) << none << none << none << "15.0"
                                          << "" << dash << dash;
    QTest::newRow("throughput") << none << none << none << none << Opt(93.46) << Opt(9.994) << dash << "" << "93.5"
                                << "9.99";
    QTest::newRow("fast line") << none << none << none << none << Opt(1234.4) << Opt(100.0) << dash << "" << "1234"
                               << "100";
}

void TestTestView::cards()
{
    Shown s(origin());
    TestScreenState st;
    QFETCH(Opt, median);
    QFETCH(Opt, min);
    QFETCH(Opt, max);
    QFETCH(Opt, jitter);
    QFETCH(Opt, download);
    QFETCH(Opt, upload);
    st.latencyMedian = median;
    st.latencyMin = min;
    st.latencyMax = max;
    st.jitter = jitter;
    st.download = download;
    st.upload = upload;
    s.view.render(st);
    QTEST(s.view.latencyCard()->valueText(), "latencyText");
    QTEST(s.view.latencyCard()->detailText(), "detail");
    QTEST(s.view.downloadCard()->valueText(), "downloadText");
    QTEST(s.view.uploadCard()->valueText(), "uploadText");
    QCOMPARE(s.view.downloadCard()->detailText(), QString());
    QCOMPARE(s.view.latencyCard()->unitText(), QStringLiteral("ms"));
    QCOMPARE(s.view.downloadCard()->unitText(), QStringLiteral("Mbps"));
    QCOMPARE(s.view.uploadCard()->unitText(), QStringLiteral("Mbps"));
    // A blank detail line keeps its height: the three cards stay level and
    // share the row equally.
    QTRY_VERIFY_WITH_TIMEOUT(s.view.latencyCard()->height() > 0, 5'000);
    QCOMPARE(s.view.latencyCard()->height(), s.view.downloadCard()->height());
    QCOMPARE(s.view.uploadCard()->height(), s.view.downloadCard()->height());
    QVERIFY(std::abs(s.view.latencyCard()->width() - s.view.uploadCard()->width()) <= 1);
}

void TestTestView::banner_data()
{
    QTest::addColumn<std::optional<QString>>("error");
    QTest::addColumn<bool>("online");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QColor>("colour");

    const QString err = QStringLiteral("The speed test server rejected the request. Please try again in a moment.");
    QTest::newRow("online, no error") << std::optional<QString>() << true << false << "" << QColor();
    QTest::newRow("offline") << std::optional<QString>() << false << true << TestScreen::offlineText
                             << Theme::orange();
    QTest::newRow("error") << std::optional<QString>(err) << true << true << err << Theme::red();
    QTest::newRow("error beats offline") << std::optional<QString>(err) << false << true << err << Theme::red();
}

void TestTestView::banner()
{
    QFETCH(std::optional<QString>, error);
    QFETCH(bool, online);
    QFETCH(bool, shown);
    Shown s(origin());
    const int gaugeTopWithout = s.view.gauge()->y();
    TestScreenState st;
    st.errorMessage = error;
    st.isOnline = online;
    s.view.render(st);
    QCOMPARE(s.view.isBannerShown(), shown);
    QCOMPARE(s.view.banner()->isVisible(), shown);
    if (shown) {
        QTEST(s.view.banner()->text(), "text");
        QTEST(s.view.banner()->color(), "colour");
        QTRY_VERIFY_WITH_TIMEOUT(s.view.gauge()->y() > s.view.banner()->geometry().bottom(), 5'000);
    }
    // Back to no banner: no gap is left where it was.
    s.view.render(TestScreenState{});
    QVERIFY(!s.view.isBannerShown());
    QTRY_COMPARE_WITH_TIMEOUT(s.view.gauge()->y(), gaugeTopWithout, 5'000);
}

void TestTestView::controls_data()
{
    QTest::addColumn<Phase>("phase");
    QTest::addColumn<bool>("online");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("shown"); // buttons on view, in order
    QTest::addColumn<QString>("startLabel");
    QTest::addColumn<bool>("startEnabled");

    QTest::newRow("fresh") << Phase::idle << true << false << "start" << "Start" << true;
    QTest::newRow("fresh, offline") << Phase::idle << false << false << "start" << "Start" << false;
    QTest::newRow("finished") << Phase::done << true << true << "start copy" << "Test Again" << true;
    QTest::newRow("finished, offline") << Phase::done << false << true << "start copy" << "Test Again" << false;
    QTest::newRow("latency") << Phase::latency << true << false << "cancel status" << "" << false;
    QTest::newRow("download, offline") << Phase::download << false << false << "cancel status" << "" << false;
    QTest::newRow("upload") << Phase::upload << true << false << "cancel status" << "" << false;
}

void TestTestView::controls()
{
    QFETCH(Phase, phase);
    QFETCH(bool, online);
    QFETCH(bool, result);
    Shown s(origin());
    TestScreenState st;
    st.phase = phase;
    st.isOnline = online;
    st.status = QStringLiteral("Measuring latency\u2026");
    if (result)
        st.lastResult = sampleResult();
    s.view.render(st);
    QStringList shown;
    if (!s.view.cancelButton()->isHidden())
        shown << QStringLiteral("cancel");
    if (s.view.findChild<QWidget *>(QStringLiteral("statusText"))->isVisible())
        shown << QStringLiteral("status");
    if (!s.view.startButton()->isHidden())
        shown << QStringLiteral("start");
    if (!s.view.copyButton()->isHidden())
        shown << QStringLiteral("copy");
    QTEST(shown.join(QLatin1Char(' ')), "shown");
    if (!s.view.startButton()->isHidden()) {
        QTEST(s.view.startButton()->text(), "startLabel");
        QTEST(s.view.startButton()->isEnabled(), "startEnabled");
    } else {
        QCOMPARE(s.view.statusText(), st.status);
        // The row stays put as the status changes (it once moved sideways).
        s.view.layout()->activate();
        const int x = s.view.cancelButton()->x();
        st.status = QStringLiteral("Measuring download\u2026");
        s.view.render(st);
        s.view.layout()->activate();
        QCOMPARE(s.view.cancelButton()->x(), x);
    }
    // One family: the style's own buttons, Start in the highlight and no
    // taller than the others (it was a flat 44-pixel style-sheet button).
    QVERIFY(s.view.startButton()->isDefault() && s.view.startButton()->styleSheet().isEmpty());
    QCOMPARE(s.view.startButton()->palette().color(QPalette::Active, QPalette::Button),
             s.view.palette().color(QPalette::Active, QPalette::Highlight));
    QCOMPARE(s.view.startButton()->height(), s.view.copyButton()->height());
    QCOMPARE(s.view.cancelButton()->height(), s.view.copyButton()->height());
    // Copy Result works offline too.
    QVERIFY(s.view.copyButton()->isEnabled());
}

void TestTestView::copyReplacesTheClipboard()
{
    Shown s(origin());
    auto *old = new QMimeData;
    old->setText(QStringLiteral("something else"));
    old->setHtml(QStringLiteral("<b>something else</b>"));
    QGuiApplication::clipboard()->setMimeData(old);

    TestScreenState st;
    st.phase = Phase::done;
    st.lastResult = sampleResult();
    s.view.render(st);
    QTest::mouseClick(s.view.copyButton(), Qt::LeftButton);
    const QMimeData *now = QGuiApplication::clipboard()->mimeData();
    QCOMPARE(now->text(), st.lastResult->summary());
    QVERIFY(!now->hasHtml());
    QCOMPARE(now->text().count(QLatin1Char('\n')), 3);
    // Nothing else changes.
    QCOMPARE(s.engine.test->phase(), Phase::idle);
}

void TestTestView::returnStartsOnlyWhenOnline()
{
    Watchdog dog;
    holdLatency(m_server->server, 4, 3s);
    Shown s(origin());
    QVERIFY(s.engine.setOnline(false));
    QVERIFY(s.view.isBannerShown());
    QCOMPARE(s.view.banner()->text(), TestScreen::offlineText);
    QCOMPARE(s.view.banner()->color(), Theme::orange());
    QVERIFY(!s.view.startButton()->isEnabled());

    QTest::keyClick(&s.view, Qt::Key_Return);
    QTest::keyClick(&s.view, Qt::Key_Enter);
    QTest::mouseClick(s.view.startButton(), Qt::LeftButton);
    // start() moves to the latency phase at once when it runs at all.
    QCOMPARE(s.engine.test->phase(), Phase::idle);

    QVERIFY(s.engine.setOnline(true));
    QVERIFY(!s.view.isBannerShown());
    QVERIFY(s.view.startButton()->isEnabled());
    QTest::keyClick(&s.view, Qt::Key_Return);
    QCOMPARE(s.engine.test->phase(), Phase::latency);
    QVERIFY(s.view.startButton()->isHidden());
    // Return while running starts nothing new and does not cancel.
    QTest::keyClick(&s.view, Qt::Key_Return);
    QCOMPARE(s.engine.test->phase(), Phase::latency);
    QTest::mouseClick(s.view.cancelButton(), Qt::LeftButton);
    QCOMPARE(s.engine.test->status(), QStringLiteral("Cancelled"));
}

void TestTestView::wholeTest()
{
    Watchdog dog;
    throttle(m_server->server, "/__down", 4'000'000);
    throttle(m_server->server, "/__up", 4'000'000);
    Shown s(origin());
    SpeedTest &t = *s.engine.test;
    QList<Look> looks;
    connect(&t, &SpeedTest::changed, &s.view, [&] { looks.append(look(s.view, t)); });

    auto *old = new QMimeData;
    old->setText(QStringLiteral("stale"));
    QGuiApplication::clipboard()->setMimeData(old);

    QTest::mouseClick(s.view.startButton(), Qt::LeftButton);
    QVERIFY(eventually([&] { return t.phase() == Phase::done; }, 60'000));

    QSet<QString> statuses;
    QSet<Phase> phases;
    for (const Look &l : looks) {
        phases.insert(l.phase);
        const bool running = l.phase == Phase::latency || l.phase == Phase::download || l.phase == Phase::upload;
        QCOMPARE(l.latencyActive, l.phase == Phase::latency);
        QCOMPARE(l.downloadActive, l.phase == Phase::download);
        QCOMPARE(l.uploadActive, l.phase == Phase::upload);
        QCOMPARE(l.cancelShown, running);
        QCOMPARE(l.startShown, !running);
        if (running) {
            QCOMPARE(l.status, l.engineStatus);
            statuses.insert(l.status);
            QVERIFY(!l.copyShown);
        }
    }
    // start() clears the figures before the latency phase begins.
    QCOMPARE(phases, (QSet<Phase>{Phase::idle, Phase::latency, Phase::download, Phase::upload, Phase::done}));
    // The status changed in place beside Cancel as the engine moved on.
    for (const char *text : {"Measuring latency\u2026", "Measuring download\u2026", "Measuring upload\u2026"})
        QVERIFY2(statuses.contains(QString::fromUtf8(text)), text);

    QVERIFY(!s.view.isBannerShown());
    QCOMPARE(s.view.startButton()->text(), QStringLiteral("Test Again"));
    QVERIFY(!s.view.copyButton()->isHidden());
    QCOMPARE(s.view.latencyCard()->valueText(), Fmt::ms(*t.latencyMedian()));
    QCOMPARE(s.view.downloadCard()->valueText(), Fmt::speed(*t.download()));
    QCOMPARE(s.view.uploadCard()->valueText(), Fmt::speed(*t.upload()));
    QVERIFY(s.view.latencyCard()->detailText().startsWith(QStringLiteral("median \u00B7 range ")));
    QCOMPARE(s.view.gauge()->label(), Fmt::speed(*t.download()));
    QCOMPARE(s.view.gauge()->unitText(), QStringLiteral("Mbps"));
    QCOMPARE(s.view.gauge()->arcColor(), Theme::green());
    QCOMPARE(s.view.graph()->title(), QStringLiteral("Live speed"));
    QVERIFY(!s.view.graph()->isShowingPlaceholder());

    QTest::mouseClick(s.view.copyButton(), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), t.lastResult()->summary());

    // Test Again clears the figures and runs again.
    QTest::mouseClick(s.view.startButton(), Qt::LeftButton);
    QCOMPARE(t.phase(), Phase::latency);
    QCOMPARE(s.view.downloadCard()->valueText(), QStringLiteral("\u2014"));
    QVERIFY(s.view.copyButton()->isHidden());
    t.cancel();
}

void TestTestView::failedTest()
{
    Watchdog dog;
    FaultRule refuse;
    refuse.nth = 1;
    refuse.status = 503;
    m_server->server.addFault(refuse);
    Shown s(origin());
    QVERIFY(s.engine.setOnline(false)); // the error banner wins
    QTest::mouseClick(s.view.startButton(), Qt::LeftButton);
    QVERIFY(!s.view.startButton()->isEnabled()); // offline: nothing started
    QVERIFY(s.engine.setOnline(true));
    QTest::mouseClick(s.view.startButton(), Qt::LeftButton);
    QVERIFY(eventually([&] { return s.engine.test->status() == QStringLiteral("Failed"); }));
    QVERIFY(s.engine.setOnline(false));
    QVERIFY(s.view.isBannerShown());
    QCOMPARE(s.view.banner()->color(), Theme::red());
    QCOMPARE(s.view.banner()->text(),
             QStringLiteral("The speed test server rejected the request. Please try again in a moment."));
    QCOMPARE(s.view.startButton()->text(), QStringLiteral("Start"));
    QVERIFY(s.view.copyButton()->isHidden());
    QCOMPARE(s.view.latencyCard()->valueText(), QStringLiteral("\u2014"));
    QCOMPARE(s.view.gauge()->label(), QStringLiteral("\u2014"));
}

void TestTestView::cancelledTest()
{
    Watchdog dog;
    throttle(m_server->server, "/__down", 1'000'000);
    Shown s(origin());
    SpeedTest &t = *s.engine.test;
    QTest::mouseClick(s.view.startButton(), Qt::LeftButton);
    QVERIFY(eventually([&] { return t.phase() == Phase::download; }, 30'000));
    QVERIFY(s.view.downloadCard()->isActive());
    QTest::mouseClick(s.view.cancelButton(), Qt::LeftButton);
    QCOMPARE(s.view.startButton()->text(), QStringLiteral("Start"));
    QVERIFY(!s.view.startButton()->isHidden());
    QVERIFY(s.view.copyButton()->isHidden());
    QVERIFY(s.view.cancelButton()->isHidden());
    QVERIFY(!s.view.isBannerShown());
    QVERIFY(!s.view.downloadCard()->isActive());
    // The latency figures stay on view.
    QCOMPARE(s.view.latencyCard()->valueText(), Fmt::ms(*t.latencyMedian()));
    QCOMPARE(s.view.downloadCard()->valueText(), QStringLiteral("\u2014"));
}

QTEST_MAIN(TestTestView)
#include "tst_testview.moc"
