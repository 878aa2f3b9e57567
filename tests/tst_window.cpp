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
#include "speedtestharness.h"
#include "statcard.h"
#include "testview.h"

#include <QtCharts>
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

// The contrast of the text drawn in r: its background is the commonest
// colour there, its colour the pixel farthest from that in luminance.
double drawnContrast(const QImage &image, const QRect &r)
{
    QHash<QRgb, int> counts;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            ++counts[image.pixel(x, y)];
    const QRgb background = std::max_element(counts.keyValueBegin(), counts.keyValueEnd(),
                                             [](auto a, auto b) { return a.second < b.second; })->first;
    const double lb = luminance(QColor(background));
    double farthest = lb;
    for (auto it = counts.keyBegin(); it != counts.keyEnd(); ++it)
        if (std::abs(luminance(QColor(*it)) - lb) > std::abs(farthest - lb))
            farthest = luminance(QColor(*it));
    return (std::max(lb, farthest) + 0.05) / (std::min(lb, farthest) + 0.05);
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
        Launched l(SpeedTestHarness::unheard);
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
        QPalette dark(QColor(0x3a, 0x3a, 0x3a), QColor(0x1e, 0x1e, 0x1e));
        dark.setColor(QPalette::Base, QColor(0x2a, 0x2a, 0x2a));
        for (QPalette::ColorRole text : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            dark.setColor(text, QColor(0xea, 0xea, 0xea));
        dark.setColor(QPalette::Highlight, QColor(0x0a, 0x84, 0xff));
        dark.setColor(QPalette::HighlightedText, Qt::white);
        QTest::newRow("light (Start once 2.0:1, captions 4.2:1)") << QApplication::style()->standardPalette();
        QTest::newRow("dark (Start once 1.9:1, tab 2.8:1)") << dark;
    }
    // Every text against what is painted behind it, read back from the drawn
    // window: at least 4.5:1, the focus ring 3:1.
    void textIsReadable()
    {
        QFETCH(QPalette, palette);
        const QPalette before = QApplication::palette();
        QApplication::setPalette(palette);
        auto restore = qScopeGuard([&] { QApplication::setPalette(before); });
        Launched l(SpeedTestHarness::unheard);
        ContentView &w = l.window();
        QStringList poor, figures;
        const auto check = [&](const QString &what, const QWidget *on, QRect r, double floor = 4.5) {
            const double ratio = drawnContrast(w.grab().toImage(), QRect(on->mapTo(&w, r.topLeft()), r.size()));
            figures << QStringLiteral("%1 %2").arg(what).arg(ratio, 0, 'f', 2);
            if (!(ratio >= floor))
                poor << figures.last();
        };
        TestView *v = w.testView();
        TestScreenState st;
        st.isOnline = false;
        for (const std::optional<QString> &error : {std::optional<QString>(), std::optional<QString>(QStringLiteral("Failed."))}) {
            st.errorMessage = error;
            v->render(st);
            QTRY_VERIFY(v->banner()->isVisible() && v->banner()->width() > 100);
            check(error ? "error banner" : "offline banner", v->banner()->label(), v->banner()->label()->rect());
        }
        st = {};
        st.latencyMin = 11.24, st.latencyMax = 103.7, st.jitter = 4.06;
        v->render(st);
        v->graph()->display(Phase::download, {{0.12, 30}, {1.5, 60}, {3.1, 45}});
        for (const StatCard *card : {v->latencyCard(), v->downloadCard(), v->uploadCard()})
            check(card->title(), card->titleLabel(), card->titleLabel()->rect());
        check("card detail", v->latencyCard()->detailLabel(), v->latencyCard()->detailLabel()->rect());
        const QPushButton *start = v->startButton();
        QTRY_VERIFY(start->isVisible() && start->height() == 40);
        check("Start", start, start->rect().adjusted(8, 6, -8, -6));
        check("chosen tab", w.picker(), w.segmentRect(Tab::test).adjusted(6, 3, -6, -3));
        const QWidget *chart = v->graph()->findChild<QWidget *>(QStringLiteral("graphChart"));
        const QRectF plot = v->graph()->series()->chart()->plotArea();
        QTRY_VERIFY(!v->graph()->xAxisLabels().isEmpty());
        check("axis labels", chart, QRect(QPoint(int(plot.left()), int(plot.bottom()) + 3), QPoint(int(plot.right()), chart->height() - 1)));
        w.setAttribute(Qt::WA_KeyboardFocusChange);
        v->startButton()->setFocus();
        QTRY_VERIFY(start->hasFocus());
        check("focus ring", start, QRect(1, 12, 6, 16), 3);
        st.phase = Phase::latency;
        st.status = QStringLiteral("Measuring latency\u2026");
        v->render(st);
        const QWidget *status = v->findChild<QWidget *>(QStringLiteral("statusText"));
        check("status", status, status->rect());

        l.app->history()->add(TestResult{QUuid::createUuid(), QDateTime::currentDateTime(), 15, 12, 20, 1, 93, 12});
        w.setTab(Tab::history);
        const QListView *list = w.historyView()->list();
        QTRY_VERIFY(list->visualRect(list->model()->index(0, 0)).isValid());
        const QRect row = list->visualRect(list->model()->index(0, 0));
        for (int column = 0; column < 4; ++column)
            check(HistoryRowDelegate::titles[column], list->viewport(), HistoryRowDelegate::metricRect(row, column).adjusted(0, row.height() / 2, 0, -2));
        const QPushButton *clear = w.historyView()->clearAllButton();
        check("Clear All", clear, clear->rect().adjusted(5, 5, -5, -5));
        qInfo("%s", qPrintable(figures.join(QStringLiteral(", "))));
        QVERIFY2(poor.isEmpty(), qPrintable(poor.join(QStringLiteral("; "))));
    }

    // Each shortcut from the screen it is pressed on. Outcome: the tab
    // shown, "closed", "Cancelled" (the status), or the texts of the dialog
    // or menu that opened.
    void shortcuts_data()
    {
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<Tab>("on");
        QTest::addColumn<QString>("outcome");
        const auto row = [](const char *keys, Tab on, const char *outcome) {
            QTest::addRow("%s on %s", keys, on == Tab::test ? "Test" : "History") << QKeySequence(QString::fromLatin1(keys)) << on << QString::fromUtf8(outcome);
        };
        row("Ctrl+Tab", Tab::test, "History");
        row("Ctrl+Tab", Tab::history, "Test");
        row("Ctrl+Shift+Tab", Tab::history, "Test");
        row("Ctrl+PgDown", Tab::test, "History");
        row("Ctrl+PgUp", Tab::history, "Test");
        row("Alt+2", Tab::test, "History");
        row("Alt+1", Tab::history, "Test");
        row("Alt+2", Tab::history, "History");
        row("Ctrl+Q", Tab::history, "closed");
        row("Ctrl+W", Tab::test, "closed");
        row("Escape", Tab::test, "Cancelled");
        row("F1", Tab::history, "Keyboard Shortcuts");
        row("F10", Tab::test, "Keyboard Shortcuts, About Quorvel, Quit");
        row("Shift+F10", Tab::history, "Copy, Delete");
    }
    void shortcuts()
    {
        QFETCH(QKeySequence, keys);
        QFETCH(Tab, on);
        QFETCH(QString, outcome);
        SpeedTestServer server;
        server.addFault({.nth = 1, .headDelay = 2s}); // the warm-up waits
        QVERIFY(server.start());
        Launched l(QString::fromStdString(server.url()));
        ContentView &w = l.window();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        if (outcome == QLatin1String("Cancelled"))
            w.testView()->startButton()->click();
        l.app->history()->add(TestResult{QUuid::createUuid(), QDateTime::currentDateTime(), 15, 12, 20, 1, 93, 12});
        w.setTab(on);
        if (on == Tab::history) {
            QListView *list = w.historyView()->list();
            list->setFocus();
            list->setCurrentIndex(list->model()->index(0, 0));
        }
        QTest::keySequence(QApplication::focusWidget() ? QApplication::focusWidget() : &w, keys);
        QStringList opened;
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            for (const QAction *a : menu->actions())
                if (!a->isSeparator())
                    opened << a->text();
            menu->close();
        }
        for (const QDialog *d : w.findChildren<QDialog *>())
            if (d->isVisible())
                opened << d->windowTitle();
        QString got = !w.isVisible() ? QStringLiteral("closed") : opened.join(QStringLiteral(", "));
        if (got.isEmpty())
            got = l.app->test()->status() == QLatin1String("Cancelled") ? QStringLiteral("Cancelled") : tabTitle(w.tab());
        QCOMPARE(got, outcome);
    }

    // About names the program, its version and the server in use.
    void about()
    {
        Launched l(SpeedTestHarness::unheard);
        const auto actions = l.window().findChildren<QAction *>();
        const auto about = std::find_if(actions.begin(), actions.end(), [](QAction *a) { return a->text() == QLatin1String("About Quorvel"); });
        QVERIFY(about != actions.end());
        (*about)->trigger();
        const auto *box = l.window().findChild<QMessageBox *>();
        QVERIFY(box && box->isVisible());
        QCOMPARE(box->text(), QStringLiteral("<b>Quorvel</b> " QUORVEL_VERSION));
        QVERIFY2(box->informativeText().contains(SpeedTestHarness::unheard), qPrintable(box->informativeText()));
    }

    // Throttled so that each phase lasts. Every change is checked on the
    // screen that follows it. Offline for a while, the fullest Test tab and
    // History still fit the smallest window; only the chosen screen exists.
    void wholeTest();
};

void TestWindow::wholeTest()
{
    SpeedTestServer server({.throttleBytesPerSecond = 4'000'000});
    QVERIFY(server.start());
    Launched l(QString::fromStdString(server.url()));
    ContentView &w = l.window();
    SpeedTest &t = *l.app->test();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const QPointer<TestView> first = w.testView();
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
        expect(v->graph()->isShowingPlaceholder() == t.samples().isEmpty() && v->graph()->pointCount() == t.samples().size(), "points");
        if (running)
            statuses.insert(v->statusText());
    });

    QTest::mouseClick(first->startButton(), Qt::LeftButton);
    QVERIFY(eventually([&] { return t.phase() == Phase::download && t.samples().size() >= 3; }, 30'000));
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
    // Data used: every body byte the server sent or took.
    std::int64_t served = 0;
    for (const RequestRecord &r : server.requests())
        served += r.path == "/__down" ? std::stoll(r.param("bytes")) : r.bodyBytes;
    QCOMPARE(t.bytesMoved(), served);
    QVERIFY(history->rowCount() == 1 && !history->isShowingEmptyState());

    // Back on the Test tab, a fresh screen shows the finished test.
    l.click(Tab::test);
    TestView *v = w.testView();
    QVERIFY(history.isNull() && w.findChildren<HistoryView *>().isEmpty() && v->isVisible());
    QVERIFY(!v->isBannerShown() && v->copyButton()->isVisible());
    QCOMPARE(v->dataUsedLabel()->text(), QStringLiteral("127.0.0.1 \u00B7 ") + TestScreen::dataSize(served) + QStringLiteral(" used"));
    QVERIFY(v->dataUsedLabel()->isVisible());
    QCOMPARE((QStringList{v->latencyCard()->valueText(), v->downloadCard()->valueText(), v->uploadCard()->valueText()}),
             (QStringList{Fmt::ms(*t.latencyMedian()), Fmt::speed(*t.download()), Fmt::speed(*t.upload())}));
    QVERIFY(v->latencyCard()->detailText().startsWith(QStringLiteral("median \u00B7 range ")));
    QCOMPARE(v->gauge()->label() + v->gauge()->unitText(), Fmt::speed(*t.download()) + QStringLiteral("Mbps"));
    QCOMPARE(hueOf(v->gauge()->arcColor()), Hue::green);
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
    // Cancelled, the graph keeps its points, the dial goes back to its
    // start-up reading, and no result is added.
    const auto kept = t.samples().size();
    QTest::mouseClick(v->cancelButton(), Qt::LeftButton);
    QCOMPARE(t.status(), QStringLiteral("Cancelled"));
    QCOMPARE(v->graph()->pointCount(), kept);
    QCOMPARE(v->gauge()->label() + v->gauge()->unitText(), dash + QStringLiteral("Ready"));
    QCOMPARE(l.app->history()->items().size(), 1);
    // History by keyboard: Export…, Clear All, then the list.
    w.picker()->setFocus();
    QTest::keyClick(w.picker(), Qt::Key_Right);
    QCOMPARE(w.tab(), Tab::history);
    QCOMPARE(tabbed(), w.historyView()->exportButton());
    QCOMPARE(tabbed(), w.historyView()->clearAllButton());
    QCOMPARE(tabbed(), w.historyView()->list());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
