// The window: its size limits, the tab picker and the divider, readable
// colours in light and dark palettes; and one whole test, followed on the
// Test tab (cards, controls, the live graph and the dial) until History is
// shown, where the result lands, then worked by keyboard. Its command line:
// tst_cli.
#include "banner.h"
#include "contentview.h"
#include "fmt.h"
#include "gaugeview.h"
#include "historystore.h"
#include "historyview.h"
#include "livegraph.h"
#include "quorvelapp.h"
#include "statcard.h"
#include "testview.h"
#include "theme.h"
#include "uisupport.h"

#include <QtWidgets>

namespace {

struct Launched {
    QTemporaryDir dir;
    std::shared_ptr<FakePathMonitor::Control> net = std::make_shared<FakePathMonitor::Control>();
    std::unique_ptr<QuorvelApp> app;

    explicit Launched(const QString &origin)
    {
        app = std::make_unique<QuorvelApp>(QuorvelApp::Options{
            origin, std::make_unique<FakePathMonitor>(net), dir.filePath(QStringLiteral("history.json"))});
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

// Where Tab moves the focus.
QWidget *tabbed()
{
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    return QApplication::focusWidget();
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void sizePickerAndDivider()
    {
        LocalServer local;
        Launched l(local.origin());
        ContentView &w = l.window();
        QCOMPARE(w.minimumSize(), QSize(760, 640));
        w.resize(500, 400);
        QCOMPARE(w.size(), QSize(760, 640));
        QVERIFY(w.isWindow() && w.maximumWidth() >= QWIDGETSIZE_MAX && w.maximumHeight() >= QWIDGETSIZE_MAX);
        QCOMPARE(w.picker()->tabText(0) + w.picker()->tabText(1), QStringLiteral("TestHistory"));
        QCOMPARE(w.picker()->currentIndex(), int(Tab::test));
        QVERIFY(w.segmentRect(Tab::test).right() < w.segmentRect(Tab::history).left());
        // Assistive tools see a page tab list, not two check boxes.
        QAccessibleInterface *picker = QAccessible::queryAccessibleInterface(w.picker());
        QCOMPARE(picker->role(), QAccessible::PageTabList);
        QCOMPARE(picker->child(1)->role(), QAccessible::PageTab);
        QCOMPARE(picker->child(1)->text(QAccessible::Name), QStringLiteral("History"));
        for (int width : {760, 1800}) {
            w.resize(width, 1300);
            QTRY_COMPARE_WITH_TIMEOUT(w.size(), QSize(width, 1300), 5'000);
            QTRY_COMPARE_WITH_TIMEOUT(w.picker()->geometry().center().x(), w.rect().center().x(), 5'000);
            QCOMPARE(QPoint(w.picker()->width(), w.picker()->y()), QPoint(220, 12));
            const auto *divider = w.findChild<QFrame *>(QStringLiteral("divider"));
            QVERIFY(divider);
            QCOMPARE(divider->geometry(), QRect(0, w.picker()->geometry().bottom() + 1 + 12, width, divider->height()));
            QCOMPARE(w.testView()->y(), divider->geometry().bottom() + 1);
        }
    }

    void textIsReadable_data()
    {
        QTest::addColumn<QPalette>("palette");
        QTest::newRow("light (orange once 1.7:1)") << QApplication::style()->standardPalette();
        QTest::newRow("dark") << QPalette(QColor(0x30, 0x30, 0x30), QColor(0x1e, 0x1e, 0x1e));
    }
    // Orange, blue, purple and red text against what is painted behind it,
    // read back from the drawn window.
    void textIsReadable()
    {
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
        const QListView *list = w.historyView()->list();
        QTRY_VERIFY(list->visualRect(list->model()->index(0, 0)).isValid());
        const QRect row = list->visualRect(list->model()->index(0, 0));
        for (int column = 0; column < 3; ++column)
            check(HistoryRowDelegate::titles[column], list->viewport(), QPoint(row.left() + 2, row.center().y()),
                  HistoryRowDelegate::valueColor(column, list->palette()));
        const QPushButton *clear = w.historyView()->clearAllButton();
        check("Clear All", clear, QPoint(5, clear->height() / 2), clear->palette().color(QPalette::ButtonText));
        QApplication::setPalette(before);
        QVERIFY2(poor.isEmpty(), qPrintable(poor.join(QStringLiteral("; "))));
    }

    // Throttled so that each phase lasts. Every change is checked on the
    // screen that follows it. Offline for a while, the fullest Test tab and
    // History still fit the smallest window; only the chosen screen exists.
    void wholeTest();
};

void TestWindow::wholeTest()
{
    Watchdog dog(120s);
    LocalServer local;
    throttle(local.server, "/__down", 4'000'000);
    throttle(local.server, "/__up", 4'000'000);
    Launched l(local.origin());
    ContentView &w = l.window();
    SpeedTest &t = *l.app->test();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const QPointer<TestView> first = w.testView();
    const QMap<Phase, QString> titles{{Phase::latency, QStringLiteral("Latency per request (ms)")},
                                      {Phase::download, QStringLiteral("Download speed (Mbps)")},
                                      {Phase::upload, QStringLiteral("Upload speed (Mbps)")}};
    const QString live = QStringLiteral("Live speed"), dash = QStringLiteral("\u2014");
    QStringList wrong;
    QSet<QString> statuses;
    QSet<Phase> phases;
    bool emptyDownload = false;
    connect(&t, &SpeedTest::changed, &w, [&] {
        const TestView *v = first.data();
        if (!v)
            return;
        const Phase p = t.phase();
        const bool running = t.isRunning();
        const LiveGraph *g = v->graph();
        const auto expect = [&](bool ok, const char *what) {
            if (!ok)
                wrong << QStringLiteral("%1 in phase %2").arg(QLatin1String(what)).arg(int(p));
        };
        phases.insert(p);
        emptyDownload = emptyDownload || (p == Phase::download && t.samples().isEmpty());
        expect(v->latencyCard()->isActive() == (p == Phase::latency) && v->downloadCard()->isActive() == (p == Phase::download)
                   && v->uploadCard()->isActive() == (p == Phase::upload), "outlined card");
        expect(v->cancelButton()->isVisible() == running && v->startButton()->isVisible() == !running, "buttons");
        expect(!running || (v->statusText() == t.status() && v->copyButton()->isHidden()), "status row");
        expect(g->title() == titles.value(p, live), "graph title");
        expect(g->isShowingPlaceholder() == t.samples().isEmpty() && g->pointCount() == t.samples().size(), "points");
        expect(std::all_of(t.samples().begin(), t.samples().end(), [&](const Sample &s) { return s.y <= g->yTop(); }),
               "point over the top");
        expect(p != Phase::latency || (v->gauge()->unitText() == QLatin1String("ms") && v->gauge()->arcColor() == Theme::orange()),
               "latency dial");
        if (running)
            statuses.insert(v->statusText());
    });

    QTest::mouseClick(first->startButton(), Qt::LeftButton);
    QVERIFY(eventually([&] { return t.phase() == Phase::download && t.samples().size() >= 3; }, 30'000));
    QTRY_VERIFY_WITH_TIMEOUT(!first->graph()->xAxisLabels().isEmpty(), 5'000);
    for (const QString &label : first->graph()->xAxisLabels())
        QVERIFY2(label.endsWith(QLatin1Char('s')) && !label.startsWith(QLatin1Char('#')), qPrintable(label));
    // The fullest Test tab, a banner over a running test, and History fit
    // the smallest window.
    l.net->report(false);
    QVERIFY(eventually([&] { return first->isBannerShown(); }));
    QVERIFY(w.layout()->minimumSize().width() <= 760);
    QVERIFY2(neededHeight(w) <= 640, qPrintable(QString::number(neededHeight(w))));
    QVERIFY(eventually([&] { return t.phase() == Phase::upload; }, 30'000));
    l.click(Tab::history);
    QVERIFY2(neededHeight(w) <= 640, qPrintable(QString::number(neededHeight(w))));
    l.net->report(true);
    // Only the chosen screen exists; choosing it again changes nothing.
    const QPointer<HistoryView> history = w.historyView();
    QVERIFY(first.isNull() && w.findChildren<TestView *>().isEmpty());
    QVERIFY(history && history->isVisible() && t.isRunning());
    QCOMPARE(w.picker()->currentIndex(), int(Tab::history));
    l.click(Tab::history);
    QCOMPARE(w.historyView(), history.data());
    QCOMPARE(history->rowCount(), 0);
    QVERIFY(eventually([&] { return t.phase() == Phase::done && t.isOnline(); }, 60'000));

    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QStringLiteral(", "))));
    QVERIFY(emptyDownload);
    // start() clears the figures before the latency phase begins.
    QCOMPARE(phases, (QSet<Phase>{Phase::idle, Phase::latency, Phase::download, Phase::upload}));
    // The status changed in place beside Cancel as the engine moved on.
    for (const char *text : {"Measuring latency\u2026", "Measuring download\u2026", "Measuring upload\u2026"})
        QVERIFY2(statuses.contains(QString::fromUtf8(text)), text);
    QVERIFY(l.app->history()->items() == QList<TestResult>{*t.lastResult()});
    QVERIFY(history->rowCount() == 1 && !history->isShowingEmptyState());
    QCOMPARE(history->rowTexts(0).values[0].split(QLatin1Char(' ')).first(), Fmt::speed(t.lastResult()->download));

    // Back on the Test tab, a fresh screen shows the finished test.
    l.click(Tab::test);
    TestView *v = w.testView();
    QVERIFY(history.isNull() && w.findChildren<HistoryView *>().isEmpty() && v->isVisible());
    QVERIFY(!v->isBannerShown() && v->copyButton()->isVisible());
    QCOMPARE(v->startButton()->text(), QStringLiteral("Test Again"));
    QCOMPARE((QStringList{v->latencyCard()->valueText(), v->downloadCard()->valueText(), v->uploadCard()->valueText()}),
             (QStringList{Fmt::ms(*t.latencyMedian()), Fmt::speed(*t.download()), Fmt::speed(*t.upload())}));
    QVERIFY(v->latencyCard()->detailText().startsWith(QStringLiteral("median \u00B7 range ")));
    QCOMPARE(v->gauge()->label() + v->gauge()->unitText(), Fmt::speed(*t.download()) + QStringLiteral("Mbps"));
    QCOMPARE(v->gauge()->arcColor(), Theme::green());
    QVERIFY(v->graph()->title() == live && !v->graph()->isShowingPlaceholder());

    // By keyboard: picker, Start, Copy. Return is the focused button's: it
    // copies and starts nothing; with no button focused, it is Start's.
    auto *old = new QMimeData;
    old->setText(QStringLiteral("something else"));
    old->setHtml(QStringLiteral("<b>something else</b>"));
    QApplication::clipboard()->setMimeData(old);
    w.picker()->setFocus();
    QTRY_VERIFY(w.picker()->hasFocus());
    QCOMPARE(tabbed(), v->startButton());
    QCOMPARE(tabbed(), v->copyButton());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(QApplication::clipboard()->mimeData()->text(), t.lastResult()->summary());
    QVERIFY(!QApplication::clipboard()->mimeData()->hasHtml()); // replaced, not merged
    QCOMPARE(t.phase(), Phase::done);
    QCOMPARE(tabbed(), w.picker());
    // Test Again clears the figures and runs again.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
    QVERIFY(t.phase() == Phase::latency && v->downloadCard()->valueText() == dash && v->copyButton()->isHidden());
    QVERIFY(eventually([&] { return t.samples().size() >= 2; }));
    // Cancelled, the graph keeps its points in green under the neutral title,
    // the dial goes back to its start-up look, and no result is added.
    const auto kept = t.samples().size();
    QTest::mouseClick(v->cancelButton(), Qt::LeftButton);
    QCOMPARE(t.status(), QStringLiteral("Cancelled"));
    QVERIFY(v->graph()->title() == live && v->graph()->lineColor() == Theme::green() && v->graph()->pointCount() == kept);
    QCOMPARE(v->gauge()->label() + v->gauge()->unitText(), dash + QStringLiteral("Ready"));
    QVERIFY(eventually([&] { return !v->gauge()->isAnimating() && v->gauge()->drawnFraction() == 0; }, 5'000));
    QCOMPARE(l.app->history()->items().size(), 1);
    // History by keyboard: Clear All, then the list.
    w.picker()->setFocus();
    QTest::keyClick(w.picker(), Qt::Key_Right);
    QCOMPARE(w.tab(), Tab::history);
    QCOMPARE(tabbed(), w.historyView()->clearAllButton());
    QCOMPARE(tabbed(), w.historyView()->list());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
