// The window: its command line, its size limits, the tab picker and the
// divider, keyboard order and Return, readable colours in light and dark
// palettes, that only the chosen screen exists, and that a test finished
// while History is shown still lands at the top of the history.
#include "arguments.h"
#include "banner.h"
#include "contentview.h"
#include "fmt.h"
#include "historystore.h"
#include "historyview.h"
#include "quorvelapp.h"
#include "statcard.h"
#include "testview.h"
#include "theme.h"
#include "uisupport.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFrame>
#include <QLabel>
#include <QListView>
#include <QStyle>
#include <QTabBar>
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
    void click(Tab tab) const { QTest::mouseClick(window().picker(), Qt::LeftButton, {}, window().segmentRect(tab).center()); }
};

// WCAG 2 relative luminance and contrast ratio.
double luminance(const QColor &c)
{
    const auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

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
    void rejectedArguments_data();
    void rejectedArguments();
    void sizeLimits();
    void everythingFitsTheSmallestWindow();
    void pickerAndDivider();
    void keyboardOrderAndReturn();
    void textIsReadable_data();
    void textIsReadable();
    void onlyTheChosenScreenExists();
    void resultLandsInHistoryWhileItIsShown();
    void cancelledTestAddsNothing();
};

void TestWindow::arguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("server");

    QTest::newRow("none") << QStringList{} << "";
    QTest::newRow("local server") << QStringList{"--server", "http://127.0.0.1:8080"} << "http://127.0.0.1:8080";
    QTest::newRow("trailing slash") << QStringList{"--server", "https://speed.example.test/"} << "https://speed.example.test";
    QTest::newRow("ipv6") << QStringList{"--server", "http://[::1]:9000"} << "http://[::1]:9000";
}

void TestWindow::arguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, server);
    const Arguments a = parseArguments(args);
    QVERIFY(a.ok());
    QCOMPARE(a.server.value_or(QString()), server);
    QVERIFY(parseArguments({"--help"}).help);
    QVERIFY(usageText(QStringLiteral("quorvel")).contains(QStringLiteral("--server URL")));
}

void TestWindow::rejectedArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("missing url") << QStringList{"--server"};
    QTest::newRow("no scheme") << QStringList{"--server", "127.0.0.1:8080"};
    QTest::newRow("other scheme") << QStringList{"--server", "ftp://127.0.0.1"};
    QTest::newRow("no host") << QStringList{"--server", "http://"};
    QTest::newRow("query") << QStringList{"--server", "http://127.0.0.1/?a=1"};
    QTest::newRow("twice") << QStringList{"--server", "http://127.0.0.1", "--server", "http://127.0.0.1"};
    QTest::newRow("unknown") << QStringList{"--verbose"};
    QTest::newRow("stray word") << QStringList{"http://127.0.0.1"};
}

void TestWindow::rejectedArguments()
{
    QFETCH(QStringList, args);
    const Arguments a = parseArguments(args);
    QVERIFY(!a.ok());
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
    QCOMPARE(w.picker()->tabText(0), QStringLiteral("Test"));
    QCOMPARE(w.picker()->tabText(1), QStringLiteral("History"));
    QCOMPARE(w.picker()->currentIndex(), int(Tab::test));
    QVERIFY(w.segmentRect(Tab::test).right() < w.segmentRect(Tab::history).left());
    // Assistive tools see a page tab list, not two check boxes.
    QAccessibleInterface *picker = QAccessible::queryAccessibleInterface(w.picker());
    QCOMPARE(picker->role(), QAccessible::PageTabList);
    QCOMPARE(picker->child(1)->role(), QAccessible::PageTab);
    QCOMPARE(picker->child(1)->text(QAccessible::Name), QStringLiteral("History"));
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

void TestWindow::keyboardOrderAndReturn()
{
    Watchdog dog;
    LocalServer local;
    holdLatency(local.server, 2, 3s);
    Launched l(local.origin());
    ContentView &w = l.window();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    TestView *v = w.testView();
    TestScreenState finished;
    finished.phase = Phase::done;
    finished.lastResult = TestResult{QUuid::createUuid(), QDateTime::currentDateTime(), 15, 12, 20, 1, 93, 12};
    v->render(finished);
    QApplication::clipboard()->setText(QStringLiteral("stale"));

    w.picker()->setFocus();
    QTRY_VERIFY(w.picker()->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), v->startButton());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), v->copyButton());
    // Return is the focused button's: it copies, and starts nothing.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(QApplication::clipboard()->text(), finished.lastResult->summary());
    QCOMPARE(l.app->test()->phase(), Phase::idle);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.picker());
    // With no button focused, Return is Start's.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
    QCOMPARE(l.app->test()->phase(), Phase::latency);
    l.app->test()->cancel();

    l.app->history()->add(*finished.lastResult);
    QTest::keyClick(w.picker(), Qt::Key_Right);
    QCOMPARE(w.tab(), Tab::history);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.historyView()->clearAllButton());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.historyView()->list());
}

void TestWindow::textIsReadable_data()
{
    QTest::addColumn<QPalette>("palette");
    QTest::newRow("light (orange once 1.7:1)") << QApplication::style()->standardPalette();
    QTest::newRow("dark") << QPalette(QColor(0x30, 0x30, 0x30), QColor(0x1e, 0x1e, 0x1e));
}

void TestWindow::textIsReadable()
{
    // Orange, blue, purple and red text against what is painted behind it,
    // read back from the drawn window.
    QFETCH(QPalette, palette);
    Watchdog dog;
    LocalServer local;
    const QPalette before = QApplication::palette();
    QApplication::setPalette(palette);
    Launched l(local.origin());
    ContentView &w = l.window();
    QStringList poor;
    const auto check = [&](const char *what, const QWidget *on, QPoint at, const QColor &text) {
        const QColor behind = w.grab().toImage().pixelColor(on->mapTo(&w, at));
        if (contrast(text, behind) < 3)
            poor << QStringLiteral("%1 %2 on %3: %4").arg(QLatin1String(what), text.name(), behind.name()).arg(contrast(text, behind), 0, 'f', 2);
    };
    TestView *v = w.testView();
    TestScreenState st;
    st.isOnline = false;
    for (const std::optional<QString> &error : {std::optional<QString>(), std::optional<QString>(QStringLiteral("Failed."))}) {
        st.errorMessage = error;
        v->render(st);
        QTRY_VERIFY(v->banner()->isVisible() && v->banner()->width() > 100);
        check("banner", v->banner(), QPoint(v->banner()->width() - 6, v->banner()->height() / 2),
              v->banner()->label()->palette().color(QPalette::WindowText));
    }
    for (const StatCard *card : {v->latencyCard(), v->downloadCard(), v->uploadCard()})
        check(qPrintable(card->title()), card, QPoint(6, card->height() / 2), card->titleLabel()->palette().color(QPalette::WindowText));

    l.app->history()->add(TestResult{QUuid::createUuid(), QDateTime::currentDateTime(), 15, 12, 20, 1, 93, 12});
    w.setTab(Tab::history);
    HistoryView *h = w.historyView();
    QTRY_VERIFY(h->list()->visualRect(h->list()->model()->index(0, 0)).isValid());
    const QRect row = h->list()->visualRect(h->list()->model()->index(0, 0));
    for (int column = 0; column < 3; ++column)
        check(HistoryRowDelegate::titles[column], h->list()->viewport(), QPoint(row.left() + 2, row.center().y()),
              HistoryRowDelegate::valueColor(column, h->list()->palette()));
    QPushButton *clear = h->clearAllButton();
    check("Clear All", clear, QPoint(5, clear->height() / 2), clear->palette().color(QPalette::ButtonText));
    QApplication::setPalette(before);
    QVERIFY2(poor.isEmpty(), qPrintable(poor.join(QStringLiteral("; "))));
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

    l.click(Tab::history);
    QCOMPARE(w.tab(), Tab::history);
    QCOMPARE(w.picker()->currentIndex(), int(Tab::history));
    QVERIFY(first.isNull());
    QVERIFY(w.historyView());
    QVERIFY(w.historyView()->isVisible());
    QCOMPARE(w.findChildren<TestView *>().size(), 0);

    // Clicking the chosen segment again changes nothing.
    QPointer<HistoryView> shown = w.historyView();
    l.click(Tab::history);
    QCOMPARE(w.historyView(), shown.data());

    l.click(Tab::test);
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

    l.click(Tab::history);
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
    l.click(Tab::test);
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
