// Opens the History tab on a long history (100,000 results by default, or
// the count given as the first argument) on the offscreen platform and
// prints how long it takes to load, to first paint, to scroll to the end,
// to page through the list and to take one more result. Figures, not a test.
#include "historychart.h"
#include "historystore.h"
#include "historyview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineSeries>
#include <QListView>
#include <QScrollBar>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <optional>

namespace {

TestResult sample(int n, const QDateTime &newest)
{
    // Newest first, an hour apart, figures that wander like real ones.
    return {QUuid::createUuid(), newest.addSecs(-3600LL * n), 12 + 6 * std::sin(n * 0.3), 9, 45,
            1.5 + std::fmod(n * 0.37, 3), 90 + 40 * std::sin(n * 0.011) + std::fmod(n * 7.3, 15),
            20 + 8 * std::cos(n * 0.017)};
}

bool writeHistory(const QString &path, int count)
{
    const QDateTime newest = QDateTime::currentDateTimeUtc();
    QJsonArray array;
    for (int n = 0; n < count; ++n) {
        const std::optional<QJsonObject> object = ResultCodec::encode(sample(n, newest));
        if (!object)
            return false;
        array.append(*object);
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(array).toJson()) > 0;
}

double ms(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100000;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.json"));
    if (!writeHistory(path, count)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        return 1;
    }

    QElapsedTimer t;
    t.start();
    HistoryStore store(path);
    const double load = ms(t);
    if (store.items().size() != count) {
        std::fprintf(stderr, "loaded %lld of %d results\n", qint64(store.items().size()), count);
        return 1;
    }

    // Runs before the view's own handlers (connected later), so the time
    // from here to the end of add() is what the view spends on a change.
    QElapsedTimer sinceChange;
    QObject::connect(&store, &HistoryStore::itemsChanged, [&sinceChange] { sinceChange.start(); });

    QElapsedTimer total;
    total.start();
    t.start();
    HistoryView view(&store);
    view.resize(760, 600);
    const double build = ms(t);
    t.restart();
    view.show();
    // Lays out and paints the window. Qt Charts places its labels and legend
    // during the first paint, which takes a second paint of the chart.
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    const double paint = ms(t);
    const double firstPaint = ms(total);
    t.restart();
    view.repaint();
    const double repaint = ms(t);

    QListView *list = view.list();
    t.restart();
    list->scrollToBottom();
    QApplication::processEvents();
    list->viewport()->repaint();
    const double toEnd = ms(t);
    const QRect lastRow = list->visualRect(list->model()->index(count - 1, 0));
    const bool atEnd = list->viewport()->rect().contains(lastRow);

    // A page up at a time, each followed by a paint: what a user's scrolling costs.
    const int pages = 200;
    QScrollBar *bar = list->verticalScrollBar();
    t.restart();
    for (int i = 0; i < pages; ++i) {
        bar->setValue(bar->value() - bar->pageStep());
        list->viewport()->repaint();
    }
    const double perPage = ms(t) / pages;

    t.restart();
    store.add(sample(-1, QDateTime::currentDateTimeUtc().addSecs(3600)));
    const double viewUpdate = ms(sinceChange);
    QApplication::processEvents(); // the chart learns of its new points here
    view.repaint();
    const double addWithView = ms(t);
    const double repaintAfterAdd = ms(sinceChange) - viewUpdate;

    std::printf("results                    %d\n", count);
    std::printf("store load                 %8.1f ms\n", load);
    std::printf("open to first paint        %8.1f ms\n", firstPaint);
    std::printf("  building the view        %8.1f ms\n", build);
    std::printf("  laying out and painting  %8.1f ms\n", paint);
    std::printf("whole window repaint       %8.1f ms\n", repaint);
    std::printf("scroll to end and paint    %8.1f ms%s\n", toEnd, atEnd ? "" : "  (did not reach the end!)");
    std::printf("page up and paint, mean    %8.2f ms over %d pages\n", perPage, pages);
    std::printf("add one result, in all     %8.1f ms\n", addWithView);
    std::printf("  of which the view update %8.1f ms, its repaint %.1f ms\n", viewUpdate, repaintAfterAdd);
    std::printf("chart points per series    %lld\n", qint64(view.chart()->downloadSeries()->count()));
    return atEnd ? 0 : 1;
}
