// quorvel-screenshots: renders the window in its main states to PNG files,
// driving a real test against an in-process local server on 127.0.0.1.
//   quorvel-screenshots [FOLDER]     (default ./screenshots)
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise, and
// keeps its history in a temporary folder.
#include "contentview.h"
#include "fakepathmonitor.h"
#include "historystore.h"
#include "quorvelapp.h"
#include "speedtest.h"
#include "speedtestserver.h"
#include "testview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPalette>
#include <QPixmap>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <functional>

using namespace std::chrono_literals;

namespace {

QString folder;

void pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

void waitFor(const char *what, const std::function<bool()> &pred, int timeoutMs = 60'000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs) {
            std::fprintf(stderr, "quorvel-screenshots: gave up waiting for %s\n", what);
            std::exit(1);
        }
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

void shoot(QWidget *window, const QString &name)
{
    pump(400); // let the gauge's arc settle
    const QString path = QDir(folder).filePath(name + QStringLiteral(".png"));
    if (!window->grab().save(path)) {
        std::fprintf(stderr, "quorvel-screenshots: cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    std::printf("%s\n", qPrintable(path));
}

QPalette darkPalette()
{
    QPalette p;
    const QColor window(0x1e, 0x1e, 0x1e), base(0x2a, 0x2a, 0x2a), text(0xea, 0xea, 0xea);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Highlight, QColor(0x0a, 0x84, 0xff));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x8a, 0x8a, 0x8a));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    return p;
}

// Earlier results for the full History tab, oldest first.
void addPastResults(HistoryStore &store)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 11; i >= 1; --i) {
        const double wave = (i % 4) * 9.5;
        store.add({QUuid::createUuid(), now.addSecs(-i * 9 * 3600), 14.0 + (i % 5) * 2.3, 11.0 + (i % 3),
                   30.0 + i * 2.1, 1.5 + (i % 4) * 0.7, 180.0 + wave * 3 - i * 2.5, 38.0 + wave - i * 0.8});
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    const QStringList args = QApplication::arguments();
    if (args.size() > 2) {
        std::fprintf(stderr, "usage: quorvel-screenshots [FOLDER]\n");
        return 2;
    }
    folder = args.size() == 2 ? args[1] : QStringLiteral("screenshots");
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "quorvel-screenshots: cannot create %s\n", qPrintable(folder));
        return 1;
    }

    SpeedTestServer::Options options;
    // Small socket buffers keep the client's upload count close to what the
    // throttled server has really read.
    options.socketBufferBytes = 64 * 1024;
    SpeedTestServer server(options);
    if (!server.start()) {
        std::fprintf(stderr, "quorvel-screenshots: local server: %s\n", server.errorString().c_str());
        return 1;
    }
    QTemporaryDir home;
    auto net = std::make_shared<FakePathMonitor::Control>();
    QuorvelApp quorvel({QString::fromStdString(server.url()), std::make_unique<FakePathMonitor>(net),
                        home.filePath(QStringLiteral("history.json"))});
    ContentView *window = quorvel.window();
    SpeedTest *test = quorvel.test();
    window->show();
    pump(200);

    shoot(window, QStringLiteral("01-fresh"));

    net->report(false);
    waitFor("offline", [&] { return !test->isOnline(); });
    shoot(window, QStringLiteral("02-offline"));
    net->report(true);
    waitFor("online", [&] { return test->isOnline(); });

    window->setTab(Tab::history);
    shoot(window, QStringLiteral("03-history-empty"));
    window->setTab(Tab::test);
    // Earlier tests, so the finished one lands on top of a dozen.
    addPastResults(*quorvel.history());

    // Slow enough to catch every phase with a graph worth looking at.
    FaultRule pace;
    pace.path = "/__down";
    pace.headDelay = 40ms;
    server.addFault(pace);
    FaultRule down;
    down.path = "/__down";
    down.throttleBytesPerSecond = 6'000'000;
    server.addFault(down);
    FaultRule up;
    up.path = "/__up";
    up.throttleBytesPerSecond = 3'000'000;
    server.addFault(up);
    test->start();
    waitFor("latency points", [&] { return test->phase() == Phase::latency && test->samples().size() >= 12; });
    shoot(window, QStringLiteral("04-latency"));
    waitFor("download points", [&] { return test->phase() == Phase::download && test->samples().size() >= 10; });
    shoot(window, QStringLiteral("05-download"));
    waitFor("upload points", [&] { return test->phase() == Phase::upload && test->samples().size() >= 8; });
    shoot(window, QStringLiteral("06-upload"));
    waitFor("the end of the test", [&] { return test->phase() == Phase::done; });
    shoot(window, QStringLiteral("07-done"));

    window->resize(1120, 800);
    shoot(window, QStringLiteral("08-done-large"));
    window->resize(ContentView::minimumWidth, ContentView::minimumHeight);

    const QPalette light = QApplication::palette();
    QApplication::setPalette(darkPalette());
    shoot(window, QStringLiteral("09-done-dark"));
    QApplication::setPalette(light);

    // The first download is refused (after the warm-up and 20 probes): the
    // latency figures stay, the error shows.
    server.clearFaults();
    server.clearRequests();
    FaultRule refuse;
    refuse.nth = 22;
    refuse.status = 503;
    server.addFault(refuse);
    test->start();
    waitFor("the failure", [&] { return test->status() == QStringLiteral("Failed"); });
    shoot(window, QStringLiteral("10-failed"));

    window->setTab(Tab::history);
    shoot(window, QStringLiteral("11-history"));
    QApplication::setPalette(darkPalette());
    shoot(window, QStringLiteral("12-history-dark"));
    QApplication::setPalette(light);

    // The history now links into a folder that is not there: saves fail.
    const QString historyFile = home.filePath(QStringLiteral("history.json"));
    QFile::remove(historyFile);
    QFile::link(home.filePath(QStringLiteral("unmounted/history.json")), historyFile);
    TestResult unsaved = quorvel.history()->items().first();
    unsaved.id = QUuid::createUuid();
    unsaved.date = QDateTime::currentDateTimeUtc();
    quorvel.history()->add(unsaved);
    shoot(window, QStringLiteral("13-history-unsaved"));
    QApplication::setPalette(darkPalette());
    shoot(window, QStringLiteral("14-history-unsaved-dark"));
    QApplication::setPalette(light);

    server.stop();
    return 0;
}
