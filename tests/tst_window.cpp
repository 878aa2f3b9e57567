// The window: its command line, its size limits, the tab picker and the
// divider, that only the chosen screen exists, and that a test finished
// while History is shown still lands at the top of the history.
#include "arguments.h"
#include "banner.h"
#include "contentview.h"
#include "fmt.h"
#include "historystore.h"
#include "historyview.h"
#include "quorvelapp.h"
#include "testview.h"
#include "uisupport.h"

#include <QAbstractButton>
#include <QFrame>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>

namespace {

struct Launched {
    QTemporaryDir dir;
    std::shared_ptr<FakePathMonitor::Control> net = std::make_shared<FakePathMonitor::Control>();
    std::unique_ptr<QuorvelApp> app;

    explicit Launched(const QString &origin)
    {
        app = std::make_unique<QuorvelApp>(QuorvelApp::Options{
            origin, std::make_unique<FakePathMonitor>(net), dir.filePath(QStringLiteral("history.json"))});
        app->test()->timeouts.latency = 5s;
        app->test()->timeouts.throughput = 10s;
        app->window()->show();
        if (!QTest::qWaitForWindowExposed(app->window()))
            qFatal("window not exposed");
    }
    ContentView &window() const { return *app->window(); }
};

// The height the content needs at the smallest width; a wrapping banner
// needs less height the wider it is.
int neededHeight(const QWidget &w)
{
    QLayout *l = w.layout();
    return l->hasHeightForWidth() ? l->totalHeightForWidth(760) : l->totalMinimumSize().height();
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void arguments_data();
    void arguments();
    void sizeLimits();
    void everythingFitsTheSmallestWindow();
    void pickerAndDivider();
    void onlyTheChosenScreenExists();
    void resultLandsInHistoryWhileItIsShown();
    void cancelledTestAddsNothing();
};

void TestWindow::arguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("server");

    QTest::newRow("none") << QStringList{} << true << "";
    QTest::newRow("local server") << QStringList{"--server", "http://127.0.0.1:8080"} << true
                                  << "http://127.0.0.1:8080";
    QTest::newRow("trailing slash") << QStringList{"--server", "https://speed.example.test/"} << true
                                    << "https://speed.example.test";
    QTest::newRow("ipv6") << QStringList{"--server", "http://[::1]:9000"} << true << "http://[::1]:9000";
    QTest::newRow("missing url") << QStringList{"--server"} << false << "";
    QTest::newRow("no scheme") << QStringList{"--server", "127.0.0.1:8080"} << false << "";
    QTest::newRow("other scheme") << QStringList{"--server", "ftp://127.0.0.1"} << false << "";
    QTest::newRow("no host") << QStringList{"--server", "http://"} << false << "";
    QTest::newRow("query") << QStringList{"--server", "http://127.0.0.1/?a=1"} << false << "";
    QTest::newRow("twice") << QStringList{"--server", "http://127.0.0.1", "--server", "http://127.0.0.1"} << false
                           << "";
    QTest::newRow("unknown") << QStringList{"--verbose"} << false << "";
    QTest::newRow("stray word") << QStringList{"http://127.0.0.1"} << false << "";
}

void TestWindow::arguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, server);
    const Arguments a = parseArguments(args);
    QTEST(a.ok(), "ok");
    if (a.ok())
        QCOMPARE(a.server.value_or(QString()), server);
    QVERIFY(a.ok() != !a.error.isEmpty());
    QVERIFY(parseArguments({"--help"}).help);
    QVERIFY(usageText(QStringLiteral("quorvel")).contains(QStringLiteral("--server URL")));
}

void TestWindow::sizeLimits()
{
    LocalServer local;
    Launched l(local.origin());
    QCOMPARE(l.window().minimumSize(), QSize(760, 640));
    QCOMPARE(l.window().size(), QSize(760, 640));
    l.window().resize(500, 400);
    QCOMPARE(l.window().size(), QSize(760, 640));
    l.window().resize(1800, 1300);
    QCOMPARE(l.window().size(), QSize(1800, 1300));
    QVERIFY(l.window().maximumWidth() >= QWIDGETSIZE_MAX);
    QVERIFY(l.window().maximumHeight() >= QWIDGETSIZE_MAX);
    QVERIFY(l.window().isWindow());
}

void TestWindow::everythingFitsTheSmallestWindow()
{
    // The fullest Test tab: a banner and a running test.
    Watchdog dog;
    LocalServer local;
    holdLatency(local.server, 3, 3s);
    Launched l(local.origin());
    l.net->report(false);
    QVERIFY(eventually([&] { return !l.app->test()->isOnline(); }));
    l.app->test()->start();
    QVERIFY(l.window().testView()->isBannerShown());
    QVERIFY(l.window().layout()->minimumSize().width() <= 760);
    QVERIFY2(neededHeight(l.window()) <= 640, qPrintable(QString::number(neededHeight(l.window()))));
    l.window().setTab(Tab::history);
    QVERIFY2(neededHeight(l.window()) <= 640, qPrintable(QString::number(neededHeight(l.window()))));
    l.app->test()->cancel();
}

void TestWindow::pickerAndDivider()
{
    LocalServer local;
    Launched l(local.origin());
    ContentView &w = l.window();
    QAbstractButton *test = w.segment(Tab::test);
    QAbstractButton *history = w.segment(Tab::history);
    QCOMPARE(test->text(), QStringLiteral("Test"));
    QCOMPARE(history->text(), QStringLiteral("History"));
    QVERIFY(test->isChecked());
    QVERIFY(!history->isChecked());
    QVERIFY(test->mapTo(&w, QPoint()).x() < history->mapTo(&w, QPoint()).x());
    for (int width : {760, 1200}) {
        w.resize(width, 700);
        QTRY_COMPARE_WITH_TIMEOUT(w.width(), width, 5'000);
        QTRY_COMPARE_WITH_TIMEOUT(w.picker()->geometry().center().x(), w.rect().center().x(), 5'000);
        QCOMPARE(w.picker()->width(), 220);
        QCOMPARE(w.picker()->y(), 12);
        auto *divider = w.findChild<QFrame *>(QStringLiteral("divider"));
        QVERIFY(divider);
        QCOMPARE(divider->y(), w.picker()->geometry().bottom() + 1 + 12);
        QCOMPARE(divider->width(), width);
        QCOMPARE(w.testView()->y(), divider->geometry().bottom() + 1);
    }
}

void TestWindow::onlyTheChosenScreenExists()
{
    LocalServer local;
    Launched l(local.origin());
    ContentView &w = l.window();
    QVERIFY(w.testView());
    QVERIFY(!w.historyView());
    QCOMPARE(w.findChildren<TestView *>().size(), 1);
    QPointer<TestView> first = w.testView();

    QTest::mouseClick(w.segment(Tab::history), Qt::LeftButton);
    QCOMPARE(w.tab(), Tab::history);
    QVERIFY(w.segment(Tab::history)->isChecked());
    QVERIFY(!w.segment(Tab::test)->isChecked());
    QVERIFY(first.isNull());
    QVERIFY(w.historyView());
    QVERIFY(w.historyView()->isVisible());
    QCOMPARE(w.findChildren<TestView *>().size(), 0);

    // Clicking the chosen segment again changes nothing.
    QPointer<HistoryView> shown = w.historyView();
    QTest::mouseClick(w.segment(Tab::history), Qt::LeftButton);
    QCOMPARE(w.historyView(), shown.data());
    QVERIFY(w.segment(Tab::history)->isChecked());

    QTest::mouseClick(w.segment(Tab::test), Qt::LeftButton);
    QVERIFY(shown.isNull());
    QVERIFY(w.testView() && w.testView()->isVisible());
    QCOMPARE(w.findChildren<HistoryView *>().size(), 0);
}

void TestWindow::resultLandsInHistoryWhileItIsShown()
{
    Watchdog dog;
    LocalServer local;
    throttle(local.server, "/__down", 4'000'000);
    Launched l(local.origin());
    ContentView &w = l.window();
    SpeedTest &t = *l.app->test();
    QTest::mouseClick(w.testView()->startButton(), Qt::LeftButton);
    QVERIFY(eventually([&] { return t.phase() == Phase::download; }, 30'000));

    QTest::mouseClick(w.segment(Tab::history), Qt::LeftButton);
    QVERIFY(w.historyView());
    QVERIFY(t.isRunning());
    QCOMPARE(w.historyView()->rowCount(), 0);
    QVERIFY(eventually([&] { return t.phase() == Phase::done; }, 60'000));

    QCOMPARE(l.app->history()->items().size(), 1);
    QVERIFY(l.app->history()->items().first() == *t.lastResult());
    QCOMPARE(w.historyView()->rowCount(), 1);
    QVERIFY(!w.historyView()->isShowingEmptyState());
    QCOMPARE(w.historyView()->rowTexts(0).values[0].split(QLatin1Char(' ')).first(),
             Fmt::speed(t.lastResult()->download));

    // Back on the Test tab, the fresh screen shows the finished test.
    QTest::mouseClick(w.segment(Tab::test), Qt::LeftButton);
    QCOMPARE(w.testView()->startButton()->text(), QStringLiteral("Test Again"));
    QVERIFY(!w.testView()->copyButton()->isHidden());

    // A second test goes on top.
    QTest::mouseClick(w.testView()->startButton(), Qt::LeftButton);
    QVERIFY(eventually([&] { return t.phase() == Phase::done; }, 60'000));
    QCOMPARE(l.app->history()->items().size(), 2);
    QVERIFY(l.app->history()->items().first() == *t.lastResult());
}

void TestWindow::cancelledTestAddsNothing()
{
    Watchdog dog;
    LocalServer local;
    FaultRule refuse;
    refuse.path = "/__up";
    refuse.status = 503;
    local.server.addFault(refuse);
    Launched l(local.origin());
    SpeedTest &t = *l.app->test();
    holdLatency(local.server, 4, 2s);
    t.start();
    QVERIFY(eventually([&] { return t.phase() == Phase::latency; }));
    QTest::mouseClick(l.window().testView()->cancelButton(), Qt::LeftButton);
    QCOMPARE(t.status(), QStringLiteral("Cancelled"));
    // The failing upload ends the next test without a result either.
    local.server.clearFaults();
    local.server.addFault(refuse);
    t.start();
    QVERIFY(eventually([&] { return t.status() == QStringLiteral("Failed"); }, 60'000));
    QVERIFY(l.window().testView()->isBannerShown());
    QVERIFY(l.app->history()->items().isEmpty());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
