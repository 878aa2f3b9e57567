// The History tab on the offscreen platform: which layout shows, what a row
// says, what the chart holds, and what the row buttons, the keyboard, an
// assistive tool and "Clear All" do to the clipboard and to the store and
// its file, and what "Export…" writes.
#include "banner.h"
#include "historychart.h"
#include "historyfiles.h"
#include "historystore.h"
#include "historyview.h"
#include "unprivileged.h"

#include <QtCharts>
#include <QtTest>
#include <QtWidgets>

#include <limits>
#include <memory>

using Button = HistoryRowDelegate::Button;
using Results = QList<TestResult>;

namespace {

const QDateTime base = utc(2026, 3, 14, 9, 26, 53);

// Result n finished n hours after base; figures differ per n so rows differ.
TestResult result(int n, double download = -1)
{
    return {idOf(n), base.addSecs(3600 * n), 10.0 + n, 8.0, 30.5, 1.25 + n, download < 0 ? 50.0 + n : download, 12.5 + n};
}

Results results(int count)
{
    Results out;
    for (int n = 1; n <= count; ++n)
        out.append(result(n));
    return out;
}

// A store on its own file with results added oldest first, so the newest
// (highest n) is at the top, and a view on it, shown and laid out.
struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<HistoryStore> store;
    std::unique_ptr<HistoryView> view;

    explicit Fixture(const Results &oldestFirst = {})
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
    bool saved() const { return readHistory(store->filePath()) == std::optional<Results>(store->items()); }
};

// The region a widget was asked to repaint.
struct PaintWatch : QObject {
    QRegion region;
    explicit PaintWatch(QWidget *w) { w->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            region += static_cast<QPaintEvent *>(e)->region();
        return false;
    }
};

// Which parts of the tab a person sees: texts, then "Clear All", chart, list.
QStringList visibleParts(const HistoryView &v)
{
    QStringList out;
    for (const QLabel *l : v.findChildren<QLabel *>())
        if (l->isVisibleTo(&v) && !l->text().isEmpty())
            out.append(l->text());
    for (const QWidget *w : std::initializer_list<const QWidget *>{v.clearAllButton(), v.chart(), v.list()})
        if (w->isVisibleTo(&v))
            out.append(w == v.clearAllButton() ? v.clearAllButton()->text() : w == v.chart() ? "chart" : "list");
    return out;
}

// Where a series must dot these results' figure (newest first, as listed):
// by date, ties in the order they were added.
QList<QPointF> dots(const Results &rs, double TestResult::*figure = &TestResult::download)
{
    QList<QPointF> out;
    for (auto r = rs.crbegin(); r != rs.crend(); ++r)
        out.append({double(r->date.toMSecsSinceEpoch()), (*r).*figure});
    std::stable_sort(out.begin(), out.end(), [](QPointF a, QPointF b) { return a.x() < b.x(); });
    return out;
}

// What a row action does to row n of the fixture, and what it must change.
using RowAction = std::function<void(Fixture &, int)>;
enum class Effect { copies, deletes, none };

} // namespace

Q_DECLARE_METATYPE(RowAction)
Q_DECLARE_METATYPE(Effect)

class TestHistoryView : public QObject {
    Q_OBJECT

private slots:
    // Before any result: the empty state, and opening the tab writes nothing.
    // After Clear All: undo.
    void emptyState()
    {
        Fixture f;
        QVERIFY(!QFile::exists(f.store->filePath()));
        QCOMPARE(visibleParts(*f.view), (QStringList{"No results yet", "Run a test and it will be saved here."}));
        QCOMPARE(f.view->chart()->downloadSeries()->count(), 0);
    }

    // Copy and Delete on a row, by mouse, keys and an assistive tool's
    // actions. Rows, newest first: result 2's twin (same id), 3, 2, 1.
    void rowActions_data()
    {
        QTest::addColumn<RowAction>("act");
        QTest::addColumn<int>("row");
        QTest::addColumn<Effect>("effect");
        // Pressed on the row's button, released where `away` says.
        const auto click = [](Button button, int away = 0) {
            return RowAction([=](Fixture &f, int row) {
                const QRect r = f.view->buttonRect(row, button);
                QVERIFY(r.isValid());
                const QPoint release = r.center() - QPoint(away, 0);
                QTest::mousePress(f.viewport(), Qt::LeftButton, {}, r.center());
                QTest::mouseMove(f.viewport(), release);
                QTest::mouseRelease(f.viewport(), Qt::LeftButton, {}, release);
            });
        };
        // Pressed on the list, the row made current from the one below.
        const auto keys = [](const QKeySequence &sequence) {
            return RowAction([=](Fixture &f, int row) {
                QListView *list = f.view->list();
                f.view->activateWindow();
                list->setFocus();
                QTRY_VERIFY(list->hasFocus());
                list->setCurrentIndex(list->model()->index(row + 1, 0));
                QTest::keyClick(list, Qt::Key_Up);
                QCOMPARE(list->currentIndex().row(), row);
                QTest::keySequence(list, sequence);
            });
        };
        // On the row itself, whichever row is current.
        const auto accessible = [](const QString &action) {
            return RowAction([=](Fixture &f, int row) {
                QListView *list = f.view->list();
                list->setCurrentIndex(list->model()->index(0, 0));
                QAccessibleInterface *item = QAccessible::queryAccessibleInterface(list)->child(row);
                QVERIFY(item && item->actionInterface());
                QCOMPARE(item->role(), QAccessible::ListItem);
                QVERIFY2(item->text(QAccessible::Name).contains(": download 53.0 Mbps, upload 15.5 Mbps, latency 13.0 ms"),
                         qPrintable(item->text(QAccessible::Name)));
                QCOMPARE(item->actionInterface()->actionNames(), (QStringList{"Copy", "Delete"}));
                item->actionInterface()->doAction(action);
            });
        };
        QTest::newRow("Copy button, top row") << click(Button::copy) << 0 << Effect::copies;
        QTest::newRow("Copy button, bottom row") << click(Button::copy) << 3 << Effect::copies;
        QTest::newRow("Copy released away from the button") << click(Button::copy, 200) << 1 << Effect::none;
        QTest::newRow("Delete button, every record with its id") << click(Button::remove) << 0 << Effect::deletes;
        QTest::newRow("copy keys") << keys(QKeySequence::Copy) << 1 << Effect::copies;
        QTest::newRow("Delete key") << keys(Qt::Key_Delete) << 1 << Effect::deletes;
        QTest::newRow("Backspace key") << keys(Qt::Key_Backspace) << 1 << Effect::deletes;
        QTest::newRow("accessible Copy, once a painted button only") << accessible("Copy") << 1 << Effect::copies;
        QTest::newRow("accessible Delete, once a painted button only") << accessible("Delete") << 1 << Effect::deletes;
    }
    void rowActions()
    {
        QFETCH(RowAction, act);
        QFETCH(int, row);
        QFETCH(Effect, effect);
        Fixture f({result(1), result(2), result(3), result(2, 999)});
        QClipboard *clipboard = QApplication::clipboard();
        auto *old = new QMimeData;
        old->setText(QStringLiteral("stale"));
        old->setHtml(QStringLiteral("<b>stale</b>"));
        clipboard->setMimeData(old);
        const TestResult target = f.store->items().at(row);
        Results left = f.store->items();
        left.removeIf([&target](const TestResult &r) { return r.id == target.id; });
        act(f, row);
        if (QTest::currentTestFailed())
            return;

        if (effect == Effect::deletes) {
            QTRY_COMPARE(f.store->items(), left);
            QCOMPARE(f.view->rowCount(), left.size());
            QCOMPARE(f.view->chart()->downloadSeries()->points(), dots(left));
            QVERIFY(f.saved());
            QCOMPARE(clipboard->text(), QStringLiteral("stale"));
        } else {
            QCOMPARE(clipboard->text(), effect == Effect::copies ? target.summary() : QStringLiteral("stale"));
            if (effect == Effect::copies) // replaced, not merged: the old rich text is gone
                QCOMPARE(clipboard->mimeData()->formats(), QStringList{QStringLiteral("text/plain")});
            QCOMPARE(f.store->items().size(), 4);
        }
    }

    // Clear All (no confirmation step) leaves the empty state with its Undo.
    // Undo puts every record back in its place, in the window and the file,
    // even below a result that came in meanwhile. Rows, newest first:
    // result 2's twin (same id), 3, 2, 1.
    void undo_data()
    {
        QTest::addColumn<bool>("clearAll"); // else Delete on the top row
        QTest::addColumn<bool>("addMeanwhile");
        QTest::addColumn<bool>("byKeys"); // Ctrl+Z, else the Undo button
        QTest::addColumn<int>("left");
        QTest::newRow("Clear All, Undo button") << true << false << false << 0;
        QTest::newRow("Delete with a twin, Ctrl+Z") << false << false << true << 2;
        QTest::newRow("Delete, a new result, Undo button") << false << true << false << 3;
    }
    void undo()
    {
        QFETCH(bool, clearAll);
        QFETCH(bool, addMeanwhile);
        QFETCH(bool, byKeys);
        Fixture f({result(1), result(2), result(3), result(2, 999)});
        Results expected = f.store->items();
        QVERIFY(!f.view->undoButton()->isVisible());
        QCOMPARE(visibleParts(*f.view), (QStringList{"Past results", "Clear All", "chart", "list"}));
        if (clearAll)
            QTest::mouseClick(f.view->clearAllButton(), Qt::LeftButton);
        else
            QTest::mouseClick(f.viewport(), Qt::LeftButton, {}, f.view->buttonRect(0, Button::remove).center());
        QTRY_VERIFY(f.store->items().size() < 4);
        if (clearAll) {
            QCOMPARE(visibleParts(*f.view), (QStringList{"History cleared.", "No results yet", "Run a test and it will be saved here."}));
            QCOMPARE(f.view->chart()->downloadSeries()->count(), 0);
        }
        if (addMeanwhile) {
            f.store->add(result(7));
            expected.prepend(result(7));
        }
        QTEST(int(f.store->items().size()), "left");
        QVERIFY(f.saved() && f.view->undoButton()->isVisible());
        if (byKeys) {
            f.view->activateWindow();
            f.view->list()->setFocus();
            QTRY_VERIFY(f.view->list()->hasFocus());
            QTest::keySequence(f.view->list(), QKeySequence::Undo);
        } else {
            QTest::mouseClick(f.view->undoButton(), Qt::LeftButton);
        }
        QCOMPARE(f.store->items(), expected);
        QVERIFY(f.saved());
        QCOMPARE(f.view->rowCount(), expected.size());
        QVERIFY(!f.view->undoButton()->isVisible() && !f.view->isShowingEmptyState());
    }

    // Download, upload, latency, jitter; the fixed local date and time, never
    // relative ("today"), the time without the C locale's seconds.
    void rowSaysWhatAndWhen()
    {
        const TestResult r{idOf(5), base, 15.04, 12, 120.7, 3.21, 9.999, 12.3};
        Fixture f({r});
        const HistoryRowTexts t = f.view->rowTexts(0);
        QCOMPARE(QStringList(std::begin(t.values), std::end(t.values)),
                 (QStringList{"10.00 Mbps", "12.3 Mbps", "15.0 ms", "3.2 ms"}));
        QVERIFY(t.date.contains(QString::number(r.date.toLocalTime().date().year())));
        QCOMPARE(t.time, r.date.toLocalTime().time().toString(QStringLiteral("HH:mm")));
    }

    // Scrolled down, the result on top stays there and stays current while
    // results arrive or go above it; at the top, a new result shows on top.
    void scrollPositionSurvivesChanges()
    {
        Fixture f(results(200));
        QListView *list = f.view->list();
        const auto top = [list] { return list->indexAt(QPoint(5, 5)).row(); };
        list->setCurrentIndex(list->model()->index(150, 0));
        list->scrollTo(list->currentIndex(), QAbstractItemView::PositionAtTop);
        QTRY_COMPARE(top(), 150);
        const TestResult current = f.store->items().at(150);
        f.store->add(result(500));
        QTRY_COMPARE(top(), 151);
        f.store->remove(f.store->items().at(0));
        QTRY_COMPARE(top(), 150);
        QCOMPARE(f.store->items().at(list->currentIndex().row()), current);
        QCOMPARE(list->visualRect(list->currentIndex()).top(), 0);

        list->scrollToTop();
        QTRY_COMPARE(top(), 0);
        f.store->add(result(600));
        QCOMPARE(f.view->rowTexts(0).values[0], QStringLiteral("650 Mbps"));
        QTRY_COMPARE(top(), 0);
    }

    void chartPoints_data()
    {
        QTest::addColumn<Results>("newestFirst");
        QTest::addColumn<Results>("withDownload"); // the results each series dots
        QTest::addColumn<Results>("withUpload");

        TestResult noDownload = result(2, std::numeric_limits<double>::quiet_NaN());
        TestResult infiniteUpload = result(3);
        infiniteUpload.upload = std::numeric_limits<double>::infinity();
        TestResult undated = result(2);
        undated.date = QDateTime();
        const Results one{result(1)}, three{result(3), result(2), result(1)}, shuffled{result(2), result(4), result(1)};
        QTest::newRow("one result, one dot a series") << one << one << one;
        QTest::newRow("newest first becomes oldest to newest") << three << three << three;
        QTest::newRow("out of date order is sorted by date") << shuffled << shuffled << shuffled;
        QTest::newRow("non-finite figures are left out of their series only")
            << Results{infiniteUpload, noDownload, result(1)} << Results{infiniteUpload, result(1)}
            << Results{noDownload, result(1)};
        QTest::newRow("a result without a valid date is left out") << Results{undated, result(1)} << one << one;
    }
    void chartPoints()
    {
        QFETCH(Results, newestFirst);
        QFETCH(Results, withDownload);
        QFETCH(Results, withUpload);
        Fixture f;
        for (auto it = newestFirst.crbegin(); it != newestFirst.crend(); ++it)
            f.store->add(*it);
        const HistoryChart *chart = f.view->chart();
        QCOMPARE(chart->downloadSeries()->points(), dots(withDownload));
        QCOMPARE(chart->uploadSeries()->points(), dots(withUpload, &TestResult::upload));
        QCOMPARE(chart->downloadSeries()->name(), QStringLiteral("Download"));
        QCOMPARE(chart->uploadSeries()->name(), QStringLiteral("Upload"));
        // Every point is a dot within the axes, which never shrink to a moment
        // (a lone point once sat on an empty range).
        const QRectF axes(QPointF(chart->dateAxis()->min(), chart->speedAxis()->min()),
                          QPointF(chart->dateAxis()->max(), chart->speedAxis()->max()));
        QVERIFY(axes.width() > 0);
        for (const QLineSeries *s : {chart->downloadSeries(), chart->uploadSeries()}) {
            QVERIFY(s->pointsVisible());
            for (const QPointF &p : s->points())
                QVERIFY2(axes.contains(p), qPrintable(QString("%1 %2").arg(p.x()).arg(p.y())));
        }
    }

    // Once results outnumber pixels: per bucket the quartiles and median
    // of its figures (linear between ranks) at its mean date.
    void chartTrend_data()
    {
        QTest::addColumn<QList<double>>("ys"); // at x = 0, 1, 2, ...
        QTest::addColumn<int>("buckets");
        QTest::addColumn<QList<QPointF>>("low");
        QTest::addColumn<QList<QPointF>>("median");
        QTest::addColumn<QList<QPointF>>("high");
        // x 0-3 and 4-7 in the two buckets.
        QTest::newRow("two buckets of four") << QList<double>{4, 1, 3, 2, 10, 50, 30, 20} << 2
                                             << QList<QPointF>{{1.5, 1.75}, {5.5, 17.5}} << QList<QPointF>{{1.5, 2.5}, {5.5, 25}}
                                             << QList<QPointF>{{1.5, 3.25}, {5.5, 35}};
        QTest::newRow("one bucket, odd count") << QList<double>{7, 1, 5, 3, 9} << 1 << QList<QPointF>{{2, 3}}
                                               << QList<QPointF>{{2, 5}} << QList<QPointF>{{2, 7}};
    }
    void chartTrend()
    {
        QFETCH(QList<double>, ys);
        QFETCH(int, buckets);
        QList<QPointF> points;
        for (qsizetype x = 0; x < ys.size(); ++x)
            points.append({double(x), ys[x]});
        const HistoryChart::Trend t = HistoryChart::trend(points, 0, double(ys.size() - 1), buckets);
        QTEST(t.low, "low");
        QTEST(t.median, "median");
        QTEST(t.high, "high");
    }

    // Round, unique, spaced ticks at every span; 700 pixels of room.
    void chartTimeTicks_data()
    {
        QTest::addColumn<QDateTime>("first");
        QTest::addColumn<QDateTime>("last");
        QTest::addColumn<QString>("labels");
        const QDateTime at(QDate(2026, 3, 14), QTime(9, 48, 20));
        QTest::newRow("3 minutes, once 09:49 09:49 09:50") << at << at.addSecs(180) << "09:49 09:50 09:51";
        QTest::newRow("20 minutes") << at << at.addSecs(1200) << "09:50 09:55 10:00 10:05";
        QTest::newRow("a day and a bit") << at << at.addSecs(30 * 3600) << "Mar 15";
        QTest::newRow("ten days") << at << at.addDays(10) << "Mar 16 Mar 18 Mar 20 Mar 22 Mar 24";
        QTest::newRow("a year") << at << at.addDays(365) << "Apr 2026 Jul 2026 Oct 2026 Jan 2027";
        QTest::newRow("eleven years") << at << at.addYears(11) << "2028 2030 2032 2034 2036";
    }
    void chartTimeTicks()
    {
        QFETCH(QDateTime, first);
        QFETCH(QDateTime, last);
        QStringList labels;
        for (const auto &tick : HistoryChart::timeTicks(first.toMSecsSinceEpoch(), last.toMSecsSinceEpoch(), 700,
                                                        QFontMetrics(QApplication::font())))
            labels << tick.second;
        QTEST(labels.join(QLatin1Char(' ')), "labels");
    }

    // Hovering a row's button repaints that button on its own in its hover
    // look, and Delete explains itself; off the buttons the look returns.
    void hoverAndTooltip()
    {
        Fixture f(results(2));
        const QRect remove = f.view->buttonRect(0, Button::remove), copy = f.view->buttonRect(0, Button::copy);
        const auto look = [&f](const QRect &r) { return f.viewport()->grab(r).toImage(); };
        const QImage idle = look(remove), copyIdle = look(copy);
        PaintWatch painted(f.viewport());
        QTest::mouseMove(f.viewport(), remove.center());
        QTRY_VERIFY(painted.region.contains(remove));
        QVERIFY(look(remove) != idle);
        QCOMPARE(look(copy), copyIdle);
        QHelpEvent help(QEvent::ToolTip, remove.center(), f.viewport()->mapToGlobal(remove.center()));
        QApplication::sendEvent(f.viewport(), &help);
        QCOMPARE(QToolTip::isVisible() ? QToolTip::text() : QString(), QStringLiteral("Delete"));
        painted.region = QRegion();
        QTest::mouseMove(f.viewport(), QPoint(remove.left() - 250, remove.center().y()));
        QTRY_VERIFY(painted.region.contains(remove));
        QCOMPARE(look(remove), idle);
    }

    void chartTextIsMutedInEveryPalette()
    {
        // A transparent style sheet once turned the labels the window text's black.
        Fixture f(results(3));
        QColor before;
        for (const QPalette &palette :
             {QApplication::palette(), QPalette(QColor(0x30, 0x30, 0x30), QColor(0x1e, 0x1e, 0x1e))}) {
            f.view->setPalette(palette);
            const QColor labels = f.view->chart()->dateAxis()->labelsBrush().color();
            QVERIFY2(labels != palette.color(QPalette::WindowText), qPrintable(labels.name()));
            QCOMPARE(f.view->chart()->speedAxis()->titleBrush().color(), labels);
            QVERIFY(labels != before);
            before = labels;
        }
    }

    // "Export…": the dialog, then the file by its name's extension, read
    // back here; or, in a message box, why it could not be written.
    void exportWritesAFileThatReadsBack_data()
    {
        QTest::addColumn<QString>("name"); // as typed, in the fixture's folder
        QTest::addColumn<QString>("written"); // empty: nothing is
        QTest::addColumn<QString>("failure"); // how the message ends
        QTest::newRow("JSON") << "out.json" << "out.json" << "";
        QTest::newRow("CSV") << "out.csv" << "out.csv" << "";
        QTest::newRow("no extension: the chosen kind's") << "out" << "out.csv" << "";
        QTest::newRow("neither kind") << "out.txt" << "" << "out.txt ends in neither .csv nor .json";
        QTest::newRow("a folder that is a file") << "history.json/out.csv" << "" << "out.csv: Not a directory";
    }
    void exportWritesAFileThatReadsBack()
    {
        QFETCH(QString, name);
        QFETCH(QString, written);
        QFETCH(QString, failure);
        Fixture f(results(3));
        QTest::mouseClick(f.view->exportButton(), Qt::LeftButton);
        QFileDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = f.view->findChild<QFileDialog *>()) && dialog->isVisible());
        dialog->selectFile(f.dir.filePath(name));
        QVERIFY(QMetaObject::invokeMethod(dialog, "accept"));
        QCOMPARE(entries(f.dir.path()), QStringList{"history.json"} + (written.isEmpty() ? QStringList() : QStringList{written}));
        if (!failure.isEmpty()) {
            QMessageBox *box = nullptr;
            QTRY_VERIFY((box = f.view->findChild<QMessageBox *>()) && box->isVisible());
            QVERIFY2(box->text().startsWith("Your history can't be exported: ") && box->text().endsWith(failure),
                     qPrintable(box->text()));
            return;
        }
        const QString path = f.dir.filePath(written);
        if (written.endsWith(".json")) {
            QCOMPARE(readHistory(path), std::optional<Results>(f.store->items()));
            return;
        }
        // Each CSV line as the JSON object it stands for, read by the history's reader.
        const QList<QByteArray> lines = readAll(path).trimmed().split('\n'), keys = lines.first().split(',');
        Results back;
        for (const QByteArray &line : lines.mid(1)) {
            QJsonObject o;
            const QList<QByteArray> cells = line.split(',');
            for (qsizetype i = 0; i < cells.size(); ++i)
                if (!cells[i].isEmpty()) // an optional figure not measured
                    o.insert(QString::fromLatin1(keys.value(i)), i < 2 ? QJsonValue(QString::fromLatin1(cells[i])) : cells[i].toDouble());
            back.append(ResultCodec::decode(o).value_or(TestResult{}));
        }
        QCOMPARE(back, f.store->items());
    }

    // In a read-only folder, which stops only a user without root's powers.
    void failedSaveIsSaidUntilOneWorks()
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
        QVERIFY(banner->mapTo(f.view.get(), banner->rect().bottomLeft()).y()
                < f.view->clearAllButton()->mapTo(f.view.get(), QPoint()).y());

        // Deleting fails too: still said, and the list keeps the change.
        QTest::mouseClick(f.viewport(), Qt::LeftButton, {}, f.view->buttonRect(0, Button::remove).center());
        QTRY_COMPARE_WITH_TIMEOUT(f.view->rowCount(), 1, 5'000);
        QCOMPARE(f.view->saveErrorBanner(), banner);

        QVERIFY(writable(true));
        f.store->add(result(3));
        QCOMPARE(f.view->saveErrorBanner(), nullptr);
        QCOMPARE(f.store->items().size(), 2);
        QVERIFY(f.saved());
    }
};

QTEST_MAIN(TestHistoryView)
#include "tst_historyview.moc"
