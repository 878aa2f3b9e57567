// The window on a long history (100,000 results by default, or the count
// given as the first argument) on the offscreen platform. Builds the window
// as the quorvel program does and prints how long each thing a user does
// keeps the main thread busy: loading the store, showing the window,
// switching to History, each step of a live resize, finishing a test (the
// store's synchronous save apart), scrolling. Figures, not a test.
#include "contentview.h"
#include "historychart.h"
#include "historystore.h"
#include "historyview.h"
#include "pathmonitor.h"
#include "speedtest.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineSeries>
#include <QListView>
#include <QScrollBar>
#include <QTemporaryDir>

#include <algorithm>
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
    QList<TestResult> results;
    for (int n = 0; n < count; ++n)
        results.append(sample(n, newest));
    const auto bytes = ResultCodec::encodeArray(results);
    QFile file(path);
    return bytes && file.open(QIODevice::WriteOnly) && file.write(*bytes) == bytes->size();
}

double ms(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

// Online at once; no request is ever sent.
class StillOnline final : public PathMonitor {
public:
    void start(Handler handler) override { handler(true); }
};

// What the event loop does between a change and the frame that shows it:
// layout requests, then the paint (Qt Charts lays out its items in between).
void frame()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

struct Spread {
    QList<double> samples;
    double mean() const
    {
        double sum = 0;
        for (double s : samples)
            sum += s;
        return samples.isEmpty() ? 0 : sum / double(samples.size());
    }
    double max() const { return samples.isEmpty() ? 0 : *std::max_element(samples.cbegin(), samples.cend()); }
};

void line(const char *what, const Spread &s, const char *note = "")
{
    std::printf("%-36s %8.1f ms mean, %6.1f ms max over %lld%s\n", what, s.mean(), s.max(),
                qint64(s.samples.size()), note);
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

    // The window's content as the program builds it: the store (which loads
    // the file), the engine, the window on the Test tab.
    QElapsedTimer t;
    t.start();
    HistoryStore store(path);
    const double load = ms(t);
    if (store.items().size() != count) {
        std::fprintf(stderr, "loaded %lld of %d results\n", qint64(store.items().size()), count);
        return 1;
    }
    // Runs before any view's handler (connected later), so the time up to it
    // is the store's own part of add(): the list change and the save.
    QElapsedTimer sinceAdd;
    double saveMs = 0;
    QObject::connect(&store, &HistoryStore::itemsChanged, [&] { saveMs = ms(sinceAdd); });
    t.restart();
    SpeedTest test(QStringLiteral("http://127.0.0.1:9"), std::make_unique<StillOnline>());
    ContentView window(&test, &store);
    window.resize(ContentView::minimumWidth, ContentView::minimumHeight);
    window.show();
    frame();
    const double shown = ms(t);

    int added = 0;
    // One finished test: the store takes the result, then the frame that shows it.
    const auto finish = [&](Spread &mainThread, Spread &save) {
        sinceAdd.start();
        store.add(sample(-1 - added++, QDateTime::currentDateTimeUtc().addSecs(3600)));
        frame();
        save.samples.append(saveMs);
        mainThread.samples.append(ms(sinceAdd) - saveMs);
    };

    Spread finishOnTest, saveOnTest;
    for (int i = 0; i < 3; ++i)
        finish(finishOnTest, saveOnTest);

    Spread toHistory, toTest;
    for (int i = 0; i < 6; ++i) {
        t.restart();
        window.setTab(Tab::history);
        frame();
        toHistory.samples.append(ms(t));
        t.restart();
        window.setTab(Tab::test);
        frame();
        toTest.samples.append(ms(t));
    }
    window.setTab(Tab::history);
    frame();

    // A live resize: the window grows and shrinks a few pixels at a time.
    Spread resize;
    for (int i = 0; i < 40; ++i) {
        const int step = i < 20 ? i : 40 - i;
        t.restart();
        window.resize(ContentView::minimumWidth + 12 * step, ContentView::minimumHeight + 6 * step);
        frame();
        resize.samples.append(ms(t));
    }

    Spread finishOnHistory, saveOnHistory;
    for (int i = 0; i < 3; ++i)
        finish(finishOnHistory, saveOnHistory);

    QListView *list = window.historyView()->list();
    t.restart();
    list->scrollToBottom();
    frame();
    const double toEnd = ms(t);
    const QRect lastRow = list->visualRect(list->model()->index(list->model()->rowCount() - 1, 0));
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

    std::printf("results                              %d\n", count);
    std::printf("store load                           %8.1f ms\n", load);
    std::printf("window shown, besides the load       %8.1f ms\n", shown);
    line("switch to History", toHistory);
    line("switch back to Test", toTest);
    line("resize step on History", resize);
    line("finish a test on Test, save apart", finishOnTest);
    line("finish a test on History, save apart", finishOnHistory);
    Spread saves = saveOnTest;
    saves.samples.append(saveOnHistory.samples);
    line("  the store's add() with its save", saves);
    std::printf("scroll to end and paint              %8.1f ms%s\n", toEnd, atEnd ? "" : "  (did not reach the end!)");
    std::printf("page up and paint                    %8.2f ms mean over %d pages\n", perPage, pages);
    std::printf("chart points per series              %lld\n",
                qint64(window.historyView()->chart()->downloadSeries()->count()));
    return atEnd ? 0 : 1;
}
