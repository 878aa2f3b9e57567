// The History tab on the offscreen platform: which layout shows, what a row
// says, what the chart holds, and what the row buttons, the keyboard and
// "Clear All" do to the clipboard and to the store and its file.
#include "banner.h"
#include "fmt.h"
#include "historychart.h"
#include "historystore.h"
#include "historyview.h"
#include "theme.h"

#include <QAccessible>
#include "unprivileged.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTimeAxis>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineSeries>
#include <QListView>
#include <QMimeData>
#include <QPaintEvent>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>
#include <QValueAxis>

#include <cmath>
#include <limits>
#include <memory>

Q_DECLARE_METATYPE(TestResult)
Q_DECLARE_METATYPE(HistoryRowDelegate::Button)

using Button = HistoryRowDelegate::Button;

namespace {

const QDateTime base(QDate(2026, 3, 14), QTime(9, 26, 53), Qt::UTC);

QUuid idOf(int n)
{
    return QUuid::fromString(QStringLiteral("5d0f7c1a-3b2e-4f60-8a19-%1").arg(n, 12, 10, QLatin1Char('0')));
}

// Result n finished n hours after base; figures differ per n so rows differ.
TestResult result(int n, double download = -1)
{
    return {idOf(n), base.addSecs(3600 * n), 10.0 + n, 8.0, 30.5, 1.25 + n,
            download < 0 ? 50.0 + n : download, 12.5 + n};
}

// A store on its own file with results added oldest first, so the newest
// (highest n) is at the top, and a view on it, shown and laid out.
struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<HistoryView> view;

    explicit Fixture(const QList<TestResult> &oldestFirst = {})
    {
        store = std::make_unique<HistoryStore>(dir.filePath(QStringLiteral("history.json")));
        for (const TestResult &r : oldestFirst)
            store->add(r);
        view = std::make_unique<HistoryView>(store.get());
        view->resize(760, 600);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
    }

    QWidget *viewport() const { return view->list()->viewport(); }

    void click(int row, Button which) const
    {
        const QRect r = view->buttonRect(row, which);
        QVERIFY2(r.isValid(), "row not laid out");
        QTest::mouseClick(viewport(), Qt::LeftButton, {}, r.center());
    }

    QJsonArray fileArray() const
    {
        QFile f(store->filePath());
        if (!f.open(QIODevice::ReadOnly))
            return {QStringLiteral("unreadable")};
        return QJsonDocument::fromJson(f.readAll()).array();
    }
};

// Collects what a widget repaints.
class PaintWatch : public QObject {
public:
    explicit PaintWatch(QWidget *widget) { widget->installEventFilter(this); }
    QRegion region;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            region += static_cast<QPaintEvent *>(event)->region();
        return false;
    }
};

QList<TestResult> results(int count)
{
    QList<TestResult> out;
    for (int n = 1; n <= count; ++n)
        out.append(result(n));
    return out;
}

bool labelShown(const QWidget *root, const QString &text)
{
    const auto labels = root->findChildren<QLabel *>();
    for (const QLabel *l : labels) {
        if (l->text() == text && l->isVisibleTo(root))
            return true;
    }
    return false;
}

QList<double> xs(const QList<QPointF> &points)
{
    QList<double> out;
    for (const QPointF &p : points)
        out.append(p.x());
    return out;
}

double msAt(int n)
{
    return double(result(n).date.toMSecsSinceEpoch());
}

} // namespace

class TestHistoryView : public QObject {
    Q_OBJECT

private slots:
    void emptyStateOnly();
    void becomesEmpty_data();
    void becomesEmpty();
    void rowTexts_data();
    void rowTexts();
    void copyButton_data();
    void copyButton();
    void deleteButtonRemovesEveryRecordWithItsId();
    void keyboard_data();
    void keyboard();
    void deleteTooltip();
    void hoverFeedback_data();
    void hoverFeedback();
    void addedResultShowsAtTopAndInChart();
    void scrollPositionSurvivesChanges_data();
    void scrollPositionSurvivesChanges();
    void chartPoints_data();
    void chartPoints();
    void chartDecimation_data();
    void chartDecimation();
    void chartTextIsMutedInEveryPalette();
    void failedSaveIsSaidUntilOneWorks();
};

void TestHistoryView::emptyStateOnly()
{
    Fixture f;
    QVERIFY(f.view->isShowingEmptyState());
    QVERIFY(labelShown(f.view.get(), QStringLiteral("No results yet")));
    QVERIFY(labelShown(f.view.get(), QStringLiteral("Run a test and it will be saved here.")));
    QVERIFY(!labelShown(f.view.get(), QStringLiteral("Past results")));
    QVERIFY(!f.view->clearAllButton()->isVisibleTo(f.view.get()));
    QVERIFY(!f.view->chart()->isVisibleTo(f.view.get()));
    QVERIFY(!f.view->list()->isVisibleTo(f.view.get()));
    // Opening the tab writes nothing.
    QVERIFY(!QFile::exists(f.store->filePath()));
}

void TestHistoryView::becomesEmpty_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("clearAll");
    QTest::newRow("Clear All, three results") << 3 << true;
    QTest::newRow("Clear All, one result") << 1 << true;
    QTest::newRow("delete the last row") << 1 << false;
}

void TestHistoryView::becomesEmpty()
{
    QFETCH(int, count);
    QFETCH(bool, clearAll);
    Fixture f(results(count));
    QVERIFY(!f.view->isShowingEmptyState());
    QVERIFY(labelShown(f.view.get(), QStringLiteral("Past results")));
    QVERIFY(f.view->clearAllButton()->isVisibleTo(f.view.get()));
    QCOMPARE(f.view->rowCount(), count);

    if (clearAll) {
        QCOMPARE(f.view->clearAllButton()->text(), QStringLiteral("Clear All"));
        QTest::mouseClick(f.view->clearAllButton(), Qt::LeftButton);
        // No confirmation step: the store empties on the click itself.
        QVERIFY(f.store->items().isEmpty());
    } else {
        f.click(0, Button::remove);
        QTRY_VERIFY(f.store->items().isEmpty());
    }
    QVERIFY(f.view->isShowingEmptyState());
    QVERIFY(!f.view->chart()->isVisibleTo(f.view.get()));
    QCOMPARE(f.view->rowCount(), 0);
    QCOMPARE(f.view->chart()->downloadSeries()->count(), 0);
    QVERIFY(QFile::exists(f.store->filePath()));
    QCOMPARE(f.fileArray(), QJsonArray());
}

void TestHistoryView::rowTexts_data()
{
    QTest::addColumn<TestResult>("record");
    QTest::addColumn<QStringList>("values"); // download, upload, latency, jitter

    const QDateTime d = base;
    const QUuid id = idOf(7);
    QTest::newRow("9.999 Mbps rounds up in the two-decimal branch")
        << TestResult{id, d, 15.04, 12, 120.7, 3.21, 9.999, 12.3}
        << QStringList{"10.00 Mbps", "12.3 Mbps", "15.0 ms", "3.2 ms"};
    QTest::newRow("exactly 100 ms latency has no decimals")
        << TestResult{id, d, 100, 90, 110, 99.96, 100, 10}
        << QStringList{"100 Mbps", "10.0 Mbps", "100 ms", "100.0 ms"};
    QTest::newRow("large and zero figures")
        << TestResult{id, d, 0, 0, 0, 0, 1234.4, 0}
        << QStringList{"1234 Mbps", "0.00 Mbps", "0.0 ms", "0.0 ms"};
    QTest::newRow("a figure that is not a number")
        << TestResult{id, d, std::numeric_limits<double>::quiet_NaN(), 0, 0, 1, 5, 5}
        << QStringList{"5.00 Mbps", "5.00 Mbps", "nan ms", "1.0 ms"};
}

void TestHistoryView::rowTexts()
{
    QFETCH(TestResult, record);
    QFETCH(QStringList, values);
    Fixture f({record});
    const HistoryRowTexts t = f.view->rowTexts(0);
    QCOMPARE(QStringList(std::begin(t.values), std::end(t.values)), values);
    // The fixed local date and time, never relative ("today"); the time
    // without the seconds that the C locale's short format has.
    QVERIFY(t.date.contains(QString::number(record.date.toLocalTime().date().year())));
    QCOMPARE(t.time, record.date.toLocalTime().time().toString(QStringLiteral("HH:mm")));
}

void TestHistoryView::copyButton_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("releaseOnButton");
    QTest::newRow("top row") << 0 << true;
    QTest::newRow("middle row") << 1 << true;
    QTest::newRow("bottom row") << 2 << true;
    QTest::newRow("released away from the button") << 1 << false;
}

void TestHistoryView::copyButton()
{
    QFETCH(int, row);
    QFETCH(bool, releaseOnButton);
    Fixture f(results(3));
    QClipboard *clipboard = QApplication::clipboard();
    auto *old = new QMimeData;
    old->setText(QStringLiteral("stale"));
    old->setHtml(QStringLiteral("<b>stale</b>"));
    clipboard->setMimeData(old);

    const QRect copy = f.view->buttonRect(row, Button::copy);
    QVERIFY(copy.isValid());
    QTest::mousePress(f.viewport(), Qt::LeftButton, {}, copy.center());
    const QPoint releaseAt = releaseOnButton ? copy.center() : QPoint(copy.left() - 200, copy.center().y());
    QTest::mouseMove(f.viewport(), releaseAt);
    QTest::mouseRelease(f.viewport(), Qt::LeftButton, {}, releaseAt);

    if (!releaseOnButton) {
        QCOMPARE(clipboard->text(), QStringLiteral("stale"));
        return;
    }
    const QString expected = f.store->items().at(row).summary();
    QCOMPARE(clipboard->text(), expected);
    // Replaced, not merged: the old rich text is gone.
    QCOMPARE(clipboard->mimeData()->formats(), QStringList{QStringLiteral("text/plain")});
    QCOMPARE(f.store->items().size(), 3); // copying changes nothing
}

void TestHistoryView::deleteButtonRemovesEveryRecordWithItsId()
{
    TestResult twin = result(2);
    twin.download = 999; // same id, other figures
    Fixture f({result(1), result(2), result(3), twin});
    QCOMPARE(f.view->rowCount(), 4);
    QCOMPARE(f.view->rowTexts(0).values[0], QStringLiteral("999 Mbps"));

    f.click(0, Button::remove);
    QTRY_COMPARE(f.store->items().size(), 2);
    for (const TestResult &r : f.store->items())
        QVERIFY(r.id != idOf(2));
    QCOMPARE(f.view->rowCount(), 2);
    QCOMPARE(f.view->rowTexts(0).values[0], QStringLiteral("53.0 Mbps"));
    QCOMPARE(f.view->rowTexts(1).values[0], QStringLiteral("51.0 Mbps"));
    QCOMPARE(xs(f.view->chart()->downloadSeries()->points()), (QList<double>{msAt(1), msAt(3)}));
    QCOMPARE(f.fileArray().size(), 2);
}

void TestHistoryView::keyboard_data()
{
    QTest::addColumn<QKeySequence>("keys");
    QTest::addColumn<QString>("action"); // an assistive tool's, instead of keys
    QTest::addColumn<bool>("deletes");
    QTest::newRow("copy") << QKeySequence(QKeySequence::Copy) << "" << false;
    QTest::newRow("Delete") << QKeySequence(Qt::Key_Delete) << "" << true;
    QTest::newRow("Backspace") << QKeySequence(Qt::Key_Backspace) << "" << true;
    QTest::newRow("accessible Copy, once a painted button only") << QKeySequence() << "Copy" << false;
    QTest::newRow("accessible Delete, once a painted button only") << QKeySequence() << "Delete" << true;
}

void TestHistoryView::keyboard()
{
    QFETCH(QKeySequence, keys);
    QFETCH(QString, action);
    QFETCH(bool, deletes);
    Fixture f(results(3));
    QApplication::clipboard()->setText(QStringLiteral("stale"));
    f.view->activateWindow();
    f.view->list()->setFocus();
    QTRY_VERIFY(f.view->list()->hasFocus());
    f.view->list()->setCurrentIndex(f.view->list()->model()->index(2, 0));
    QTest::keyClick(f.view->list(), Qt::Key_Up);
    QCOMPARE(f.view->list()->currentIndex().row(), 1);
    const TestResult target = f.store->items().at(1);

    if (action.isEmpty()) {
        QTest::keySequence(f.view->list(), keys);
    } else {
        // On the row itself, whichever row is current.
        f.view->list()->setCurrentIndex(f.view->list()->model()->index(0, 0));
        QAccessibleInterface *row = QAccessible::queryAccessibleInterface(f.view->list())->child(1);
        QVERIFY(row && row->actionInterface());
        QCOMPARE(row->role(), QAccessible::ListItem);
        QVERIFY(row->text(QAccessible::Name).contains(QStringLiteral("download ") + Fmt::speed(target.download)));
        QCOMPARE(row->actionInterface()->actionNames(), (QStringList{"Copy", "Delete"}));
        row->actionInterface()->doAction(action);
    }
    if (deletes) {
        QTRY_COMPARE(f.store->items().size(), 2);
        QVERIFY(!f.store->items().contains(target));
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("stale"));
    } else {
        QCOMPARE(QApplication::clipboard()->text(), target.summary());
        QCOMPARE(f.store->items().size(), 3);
    }
}

void TestHistoryView::deleteTooltip()
{
    Fixture f(results(2));
    // Copy first: a tooltip once shown lingers while it fades.
    const QRect buttons[] = {f.view->buttonRect(1, Button::copy), f.view->buttonRect(1, Button::remove)};
    const QString expected[] = {QString(), QStringLiteral("Delete")};
    for (int i = 0; i < 2; ++i) {
        const QPoint pos = buttons[i].center();
        QHelpEvent help(QEvent::ToolTip, pos, f.viewport()->mapToGlobal(pos));
        QApplication::sendEvent(f.viewport(), &help);
        QCOMPARE(QToolTip::isVisible() ? QToolTip::text() : QString(), expected[i]);
    }
}

void TestHistoryView::hoverFeedback_data()
{
    QTest::addColumn<Button>("which");
    QTest::newRow("Copy") << Button::copy;
    QTest::newRow("Delete") << Button::remove;
}

void TestHistoryView::hoverFeedback()
{
    QFETCH(Button, which);
    Fixture f(results(2));
    const QRect button = f.view->buttonRect(0, which);
    const QRect other = f.view->buttonRect(0, which == Button::copy ? Button::remove : Button::copy);
    const auto look = [&f](const QRect &r) { return f.viewport()->grab(r).toImage(); };
    const QImage idle = look(button);
    const QImage otherIdle = look(other);
    PaintWatch painted(f.viewport());

    QTest::mouseMove(f.viewport(), button.center());
    // The button is repainted on its own, not only when something else is.
    QTRY_VERIFY(painted.region.contains(button));
    QVERIFY(look(button) != idle);
    QCOMPARE(look(other), otherIdle); // only the button under the pointer

    // Off the buttons but still on the row, the look returns.
    painted.region = QRegion();
    QTest::mouseMove(f.viewport(), QPoint(button.left() - 250, button.center().y()));
    QTRY_VERIFY(painted.region.contains(button));
    QCOMPARE(look(button), idle);
}

void TestHistoryView::addedResultShowsAtTopAndInChart()
{
    Fixture f(results(2));
    const TestResult fresh = result(5, 77.7);
    f.store->add(fresh);
    QCOMPARE(f.view->rowCount(), 3);
    QCOMPARE(f.view->rowTexts(0).values[0], QStringLiteral("77.7 Mbps"));
    QCOMPARE(f.view->rowTexts(1).values[0], QStringLiteral("52.0 Mbps"));
    const QList<QPointF> down = f.view->chart()->downloadSeries()->points();
    QCOMPARE(down.size(), 3);
    QCOMPARE(down.last(), QPointF(msAt(5), 77.7));
    QVERIFY(f.view->chart()->dateAxis()->max() >= fresh.date);

    // And the first result of all switches away from the empty state.
    Fixture empty;
    empty.store->add(fresh);
    QVERIFY(!empty.view->isShowingEmptyState());
    QCOMPARE(empty.view->rowCount(), 1);
}

void TestHistoryView::scrollPositionSurvivesChanges_data()
{
    QTest::addColumn<int>("topRow");   // the row scrolled to the top first
    QTest::addColumn<bool>("add");     // add a result, or delete the top row
    QTest::addColumn<int>("topAfter"); // the row at the top afterwards
    QTest::newRow("scrolled down, a new result arrives") << 150 << true << 151;
    QTest::newRow("scrolled down, a row above is deleted") << 150 << false << 149;
    QTest::newRow("at the top, a new result shows at the top") << 0 << true << 0;
}

void TestHistoryView::scrollPositionSurvivesChanges()
{
    QFETCH(int, topRow);
    QFETCH(bool, add);
    QFETCH(int, topAfter);
    Fixture f(results(200));
    QListView *list = f.view->list();
    const QModelIndex target = list->model()->index(topRow, 0);
    list->setCurrentIndex(target);
    list->scrollTo(target, QAbstractItemView::PositionAtTop);
    QTRY_COMPARE(list->indexAt(QPoint(5, 5)).row(), topRow);
    const TestResult current = f.store->items().at(topRow);

    if (add)
        f.store->add(result(500));
    else
        f.store->remove(f.store->items().at(0));
    QApplication::processEvents();

    QCOMPARE(list->indexAt(QPoint(5, 5)).row(), topAfter);
    if (topRow == 0) {
        QCOMPARE(list->verticalScrollBar()->value(), 0);
        QCOMPARE(f.view->rowTexts(0).values[0], QStringLiteral("550 Mbps"));
    } else {
        // The same result stays current and stays where it was on screen.
        QCOMPARE(f.store->items().at(list->currentIndex().row()), current);
        QCOMPARE(list->visualRect(list->currentIndex()).top(), 0);
    }
}

void TestHistoryView::chartPoints_data()
{
    QTest::addColumn<QList<TestResult>>("newestFirst");
    QTest::addColumn<QList<double>>("downloadXs");
    QTest::addColumn<QList<double>>("uploadXs");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("one result, one dot a series") << QList<TestResult>{result(1)} << QList<double>{msAt(1)}
                                                  << QList<double>{msAt(1)};
    QTest::newRow("newest first becomes oldest to newest")
        << QList<TestResult>{result(3), result(2), result(1)}
        << QList<double>{msAt(1), msAt(2), msAt(3)} << QList<double>{msAt(1), msAt(2), msAt(3)};
    QTest::newRow("out of date order is sorted by date")
        << QList<TestResult>{result(2), result(4), result(1)}
        << QList<double>{msAt(1), msAt(2), msAt(4)} << QList<double>{msAt(1), msAt(2), msAt(4)};
    TestResult noDownload = result(2, nan);
    TestResult infiniteUpload = result(3);
    infiniteUpload.upload = inf;
    QTest::newRow("non-finite figures are left out of their series only")
        << QList<TestResult>{infiniteUpload, noDownload, result(1)}
        << QList<double>{msAt(1), msAt(3)} << QList<double>{msAt(1), msAt(2)};
    TestResult undated = result(2);
    undated.date = QDateTime();
    QTest::newRow("a result without a valid date is left out")
        << QList<TestResult>{undated, result(1)} << QList<double>{msAt(1)} << QList<double>{msAt(1)};
}

void TestHistoryView::chartPoints()
{
    QFETCH(QList<TestResult>, newestFirst);
    QFETCH(QList<double>, downloadXs);
    QFETCH(QList<double>, uploadXs);
    Fixture f;
    for (auto it = newestFirst.crbegin(); it != newestFirst.crend(); ++it)
        f.store->add(*it);
    QCOMPARE(f.view->rowCount(), newestFirst.size()); // every row is listed
    const HistoryChart *chart = f.view->chart();
    QCOMPARE(xs(chart->downloadSeries()->points()), downloadXs);
    QCOMPARE(xs(chart->uploadSeries()->points()), uploadXs);
    QCOMPARE(chart->downloadSeries()->name(), QStringLiteral("Download"));
    QCOMPARE(chart->uploadSeries()->name(), QStringLiteral("Upload"));
    // Every point is a dot within the axes, which never shrink to a moment
    // (a lone point once sat on an empty range).
    QVERIFY(chart->dateAxis()->min() < chart->dateAxis()->max());
    for (const QLineSeries *s : {chart->downloadSeries(), chart->uploadSeries()}) {
        QVERIFY(s->pointsVisible());
        for (const QPointF &p : s->points()) {
            QVERIFY(p.x() >= double(chart->dateAxis()->min().toMSecsSinceEpoch()));
            QVERIFY(p.x() <= double(chart->dateAxis()->max().toMSecsSinceEpoch()));
            QVERIFY(p.y() >= chart->speedAxis()->min() && p.y() <= chart->speedAxis()->max());
        }
    }
}

void TestHistoryView::chartDecimation_data()
{
    QTest::addColumn<QList<QPointF>>("points");
    QTest::addColumn<int>("columns");

    QList<QPointF> few, zigzag, spike;
    for (int i = 0; i < 10; ++i)
        few.append({double(i), double(i % 3)});
    for (int i = 0; i < 1000; ++i) {
        zigzag.append({double(i), double((i * 37) % 101)});
        spike.append({double(i), i == 537 ? 900.0 : 10.0});
    }
    QTest::newRow("no more than two a column: all kept") << few << 5;
    QTest::newRow("a zigzag into 10 columns") << zigzag << 10;
    QTest::newRow("a lone spike among 1000 survives") << spike << 7;
}

void TestHistoryView::chartDecimation()
{
    QFETCH(QList<QPointF>, points);
    QFETCH(int, columns);
    const double minX = points.first().x(), maxX = points.last().x();
    const QList<QPointF> kept = HistoryChart::decimated(points, minX, maxX, columns);
    if (points.size() <= 2 * columns) {
        QCOMPARE(kept, points);
        return;
    }
    QVERIFY(kept.size() <= 2 * columns);
    QVERIFY(std::is_sorted(kept.cbegin(), kept.cend(), [](auto a, auto b) { return a.x() < b.x(); }));
    // Each column keeps its lowest and highest point, so the line covers the same pixels.
    QMap<int, std::pair<double, double>> all, shown; // column: lowest, highest
    const auto add = [&](QMap<int, std::pair<double, double>> &m, const QPointF &p) {
        const int c = std::min(columns - 1, int((p.x() - minX) / (maxX - minX) * columns));
        auto &e = m.insert(c, m.value(c, {p.y(), p.y()})).value();
        e = {std::min(e.first, p.y()), std::max(e.second, p.y())};
    };
    for (const QPointF &p : points)
        add(all, p);
    for (const QPointF &p : kept)
        add(shown, p);
    QCOMPARE(shown, all);
}

void TestHistoryView::chartTextIsMutedInEveryPalette()
{
    // A transparent style sheet once turned the labels the window text's black.
    Fixture f(results(3));
    const QDateTimeAxis *axis = f.view->chart()->dateAxis();
    QColor before;
    for (const QPalette &palette : {QApplication::palette(), QPalette(QColor(0x30, 0x30, 0x30), QColor(0x1e, 0x1e, 0x1e))}) {
        f.view->setPalette(palette);
        const QColor labels = axis->labelsBrush().color();
        QVERIFY2(labels != palette.color(QPalette::WindowText), qPrintable(labels.name()));
        QCOMPARE(f.view->chart()->speedAxis()->titleBrush().color(), labels);
        QVERIFY(labels != before);
        before = labels;
    }
}

// In a read-only folder, which stops only a user without root's powers.
void TestHistoryView::failedSaveIsSaidUntilOneWorks()
{
    RUN_UNPRIVILEGED();
    Fixture f(results(1));
    QCOMPARE(f.view->saveErrorBanner(), nullptr);
    const auto writable = [&f](bool on) {
        const auto write = on ? QFile::WriteOwner : QFile::Permissions();
        return QFile::setPermissions(f.dir.path(), QFile::ReadOwner | QFile::ExeOwner | write);
    };
    QVERIFY(writable(false));
    auto restore = qScopeGuard([&writable] { writable(true); });

    f.store->add(result(2));
    const Banner *banner = f.view->saveErrorBanner();
    QVERIFY(banner && banner->isVisible());
    QCOMPARE(banner->text(), "Your history can't be saved: " + f.store->saveError());
    QVERIFY2(banner->text().contains("Permission denied"), qPrintable(banner->text()));
    QVERIFY(banner->mapTo(f.view.get(), banner->rect().bottomLeft()).y()
            < f.view->clearAllButton()->mapTo(f.view.get(), QPoint()).y());

    f.click(0, Button::remove); // fails too: still said, and the list keeps the change
    QTRY_COMPARE_WITH_TIMEOUT(f.view->rowCount(), 1, 5'000);
    QCOMPARE(f.view->saveErrorBanner(), banner);

    QVERIFY(writable(true));
    f.store->add(result(3));
    QCOMPARE(f.view->saveErrorBanner(), nullptr);
    QCOMPARE(f.fileArray().size(), 2);
}

QTEST_MAIN(TestHistoryView)
#include "tst_historyview.moc"
