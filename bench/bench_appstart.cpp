// Start-up cost of the program's window: builds the same window the quorvel
// program does (QuorvelApp, shown on the Test tab) on the offscreen
// platform, reports when its first frame has been painted, then idles for
// 2 s and reports resident memory. One start per process; bench/costs runs
// it several times. Prints figures, never judges.
//
//   bench_appstart [--since-ns NS]
//
// NS is CLOCK_REALTIME in nanoseconds taken just before this process was
// started (`date +%s%N`); with it the time from launch, which includes
// loading the libraries, is printed too. The history file is a fresh empty
// one in a temporary folder; no request is ever sent.
#include "contentview.h"
#include "quorvelapp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>

namespace {

constexpr int idleMs = 2000;
constexpr int watchdogMs = 30'000;

std::int64_t realtimeNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// "VmRSS:    12345 kB" -> 12345; nullopt when absent.
std::optional<long> statusKb(const char *field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return std::nullopt;
}

// Notes the first paint event of any widget in the window.
class FirstPaint final : public QObject {
public:
    explicit FirstPaint(QWidget *window) : m_window(window) {}
    bool seen = false;
    std::function<void()> onFirst;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!seen && event->type() == QEvent::Paint && watched->isWidgetType()
            && static_cast<QWidget *>(watched)->window() == m_window) {
            seen = true;
            // The whole frame is painted and flushed within this pass of the
            // loop; the next pass is the first moment after it.
            QTimer::singleShot(0, this, [this] { onFirst(); });
        }
        return false;
    }

private:
    QWidget *m_window;
};

} // namespace

int main(int argc, char **argv)
{
    const std::int64_t enteredMain = realtimeNs();
    std::optional<std::int64_t> launched;
    if (argc == 3 && std::strcmp(argv[1], "--since-ns") == 0)
        launched = std::strtoll(argv[2], nullptr, 10);
    else if (argc != 1) {
        std::fputs("usage: bench_appstart [--since-ns NS]\n", stderr);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quorvel"));
    QTemporaryDir dir;
    // An origin on loopback that nothing ever asks: no test is started.
    QuorvelApp quorvel({QStringLiteral("http://127.0.0.1:9"), nullptr, dir.filePath(QStringLiteral("history.json"))});

    std::int64_t painted = 0;
    FirstPaint firstPaint(quorvel.window());
    app.installEventFilter(&firstPaint);
    firstPaint.onFirst = [&] {
        painted = realtimeNs();
        QTimer::singleShot(idleMs, &app, [&] { app.quit(); });
    };
    QTimer::singleShot(watchdogMs, &app, [&] {
        std::fprintf(stderr, "bench_appstart: no frame was painted in %d s\n", watchdogMs / 1000);
        app.exit(1);
    });
    quorvel.window()->show();
    if (app.exec() != 0 || painted == 0)
        return 1;

    const auto rss = statusKb("VmRSS");
    const auto peak = statusKb("VmHWM");
    if (launched)
        std::printf("launch to first painted frame      %8.1f ms\n", double(painted - *launched) / 1e6);
    std::printf("main() to first painted frame      %8.1f ms\n", double(painted - enteredMain) / 1e6);
    std::printf("resident memory after %d s idle     %8.1f MB\n", idleMs / 1000, rss ? double(*rss) / 1024 : -1.0);
    std::printf("peak resident memory               %8.1f MB\n", peak ? double(*peak) / 1024 : -1.0);
    return 0;
}
