// Prints how long the history store takes to load and to save a large
// history (100,000 records by default, or the count given as argument).
// Figures only: nothing here passes or fails.
#include "historystore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// Median of a few runs: the machine is shared.
double medianMs(int runs, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        work();
        times.push_back(t.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

TestResult record(int n)
{
    const QDateTime start(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    return {QUuid::createUuid(), start.addSecs(n * 3600LL), 10 + n % 50 * 0.37, 8.5, 42.25,
            1.75 + n % 7, 100.0 / (n % 13 + 1) + n, 20.0 / (n % 11 + 1)};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 100000;
    const int runs = 5;
    QTemporaryDir dir;
    if (!dir.isValid() || count <= 0)
        return 1;
    const QString path = dir.filePath("history.json");

    QList<TestResult> records;
    for (int i = count; i > 0; --i)
        records.append(record(i));
    {
        const auto bytes = ResultCodec::encodeArray(records);
        QFile f(path);
        if (!bytes || !f.open(QIODevice::WriteOnly) || f.write(*bytes) != bytes->size())
            return 1;
    }
    std::printf("history of %d records, %.1f MB, median of %d runs\n", count,
                QFileInfo(path).size() / 1e6, runs);

    qsizetype loaded = 0;
    const double load = medianMs(runs, [&] { loaded = HistoryStore(path).items().size(); });
    if (loaded != count)
        return 1;
    std::printf("load (construct the store):      %8.1f ms\n", load);

    HistoryStore store(path);
    const double add = medianMs(runs, [&] { store.add(record(0)); });
    std::printf("add one and save the whole file: %8.1f ms\n", add);
    qsizetype bytes = 0;
    const double encode = medianMs(runs, [&] { bytes = ResultCodec::encodeArray(store.items())->size(); });
    std::printf("  of which encoding (no disk):   %8.1f ms (%lld bytes)\n", encode, static_cast<long long>(bytes));
    const double remove = medianMs(runs, [&] { store.remove(record(0)); });
    std::printf("remove absent id and save:       %8.1f ms\n", remove);
    const double clear = medianMs(1, [&] { store.clear(); });
    std::printf("clear a full history (one run):  %8.1f ms\n", clear);
    return 0;
}
