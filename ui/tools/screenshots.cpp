// quorvel-screenshots: renders the window in its main states to PNG files,
// most in the light and the dark palette ("-dark" names), driving real tests
// against an in-process local server on 127.0.0.1.
//   quorvel-screenshots [FOLDER]     (default ./screenshots)
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise, and
// keeps its histories in a temporary folder.
#include "contentview.h"
#include "historystore.h"
#include "pathmonitor.h"
#include "quorvelapp.h"
#include "speedtest.h"
#include "speedtestserver.h"
#include "testview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QSaveFile>
#include <QTabBar>
#include <QTemporaryDir>
#include <QThread>

#include <cmath>
#include <cstdio>
#include <functional>

using namespace std::chrono_literals;

namespace {

QString folder;

[[noreturn]] void fail(const QString &why)
{
    std::fprintf(stderr, "quorvel-screenshots: %s\n", qPrintable(why));
    std::exit(1);
}

void pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

void waitFor(const char *what, const std::function<bool()> &pred, int timeoutMs = 90'000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            fail(QStringLiteral("gave up waiting for %1").arg(QLatin1String(what)));
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
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

void save(QWidget *window, const QString &name)
{
    const QString path = QDir(folder).filePath(name + QStringLiteral(".png"));
    if (!window->grab().save(path))
        fail(QStringLiteral("cannot write %1").arg(path));
    std::printf("%s\n", qPrintable(path));
}

// settleMs lets the gauge's arc come to rest first.
void shoot(QWidget *window, const QString &name, int settleMs = 400)
{
    pump(settleMs);
    save(window, name);
}

// The same state in the light palette, then in the dark one.
void shootBoth(QWidget *window, const QString &name, int settleMs = 400)
{
    shoot(window, name, settleMs);
    const QPalette light = QApplication::palette();
    QApplication::setPalette(darkPalette());
    shoot(window, name + QStringLiteral("-dark"), std::min(settleMs, 100));
    QApplication::setPalette(light);
    pump(50);
}

// A network path the tool switches on and off: online from the start.
class ToolMonitor final : public PathMonitor {
public:
    explicit ToolMonitor(std::shared_ptr<Handler> report) : m_report(std::move(report)) {}
    ~ToolMonitor() override { *m_report = nullptr; }
    void start(Handler handler) override
    {
        *m_report = std::move(handler);
        (*m_report)(true);
    }

private:
    std::shared_ptr<Handler> m_report;
};

// A window as the program opens it, with its own history file.
std::unique_ptr<QuorvelApp> open(const QString &origin, const QString &history,
                                 std::shared_ptr<PathMonitor::Handler> report = {})
{
    if (!report)
        report = std::make_shared<PathMonitor::Handler>();
    auto app = std::make_unique<QuorvelApp>(
        QuorvelApp::Options{origin, std::make_unique<ToolMonitor>(report), history});
    app->window()->show();
    app->window()->activateWindow();
    pump(200);
    return app;
}

TestResult pastResult(int i, const QDateTime &now)
{
    const double wave = (i % 4) * 9.5;
    return {QUuid::createUuid(), now.addSecs(-i * 9 * 3600LL), 14.0 + (i % 5) * 2.3, 11.0 + (i % 3),
            30.0 + (i % 40) * 2.1, 1.5 + (i % 4) * 0.7, 180.0 + wave * 3 - (i % 60) * 2.5, 38.0 + wave - (i % 60) * 0.8};
}

// A long history, an hour apart, newest first, written as the store writes it.
void writeLongHistory(const QString &path, int count)
{
    const QDateTime now = QDateTime::currentDateTime();
    QList<TestResult> results;
    results.reserve(count);
    for (int i = 0; i < count; ++i) {
        TestResult r = pastResult(i, now);
        r.date = now.addSecs(-3600LL * i);
        r.download = 150 + 60 * std::sin(i * 0.0007) + std::fmod(i * 7.3, 40);
        r.upload = 40 + 15 * std::cos(i * 0.0011) + std::fmod(i * 3.1, 10);
        results.append(r);
    }
    const auto bytes = ResultCodec::encodeArray(results);
    QSaveFile file(path);
    if (!bytes || !file.open(QIODevice::WriteOnly) || file.write(*bytes) != bytes->size() || !file.commit())
        fail(QStringLiteral("cannot write %1").arg(path));
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
    if (!QDir().mkpath(folder))
        fail(QStringLiteral("cannot create %1").arg(folder));

    // Slow enough to catch every phase with a graph worth looking at: each
    // response waits 40 ms and every body crawls at 800 kB/s (the download
    // phase takes about 13 s).
    SpeedTestServer::Options options;
    options.delay = 40ms;
    options.throttleBytesPerSecond = 800'000;
    SpeedTestServer server(options);
    // A second one answers only every 600 ms, so that the latency phase
    // holds still between two shots.
    SpeedTestServer::Options slowOptions;
    slowOptions.delay = 600ms;
    SpeedTestServer slowServer(slowOptions);
    // A third is fast enough that the download (6 bodies at once, about
    // 105 Mbps) lifts the gauge's scale past 100 and the upload (4, about
    // 70 Mbps) does not: the finished test shows the download's scale.
    SpeedTestServer::Options fastOptions = options;
    fastOptions.throttleBytesPerSecond = 2'200'000;
    SpeedTestServer fastServer(fastOptions);
    for (SpeedTestServer *s : {&server, &slowServer, &fastServer}) {
        if (!s->start())
            fail(QStringLiteral("local server: %1").arg(QString::fromStdString(s->errorString())));
    }
    const QString origin = QString::fromStdString(server.url());
    QTemporaryDir home;
    const QString history = home.filePath(QStringLiteral("history.json"));

    {
        auto report = std::make_shared<PathMonitor::Handler>();
        auto quorvel = open(origin, history, report);
        ContentView *window = quorvel->window();
        SpeedTest *test = quorvel->test();
        shootBoth(window, QStringLiteral("01-fresh"));

        (*report)(false);
        waitFor("offline", [&] { return !test->isOnline(); });
        shootBoth(window, QStringLiteral("02-offline"));
        (*report)(true);
        waitFor("online", [&] { return test->isOnline(); });

        window->setTab(Tab::history);
        shoot(window, QStringLiteral("03-history-empty"));
        window->setTab(Tab::test);

        // Keyboard focus moves from the picker to Start, as one Tab press does.
        window->picker()->setFocus();
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(window->picker(), &tab);
        if (!window->testView()->startButton()->hasFocus())
            fail(QStringLiteral("Tab from the picker did not reach Start"));
        shootBoth(window, QStringLiteral("04-focus-start"));
    }

    {
        auto quorvel = open(QString::fromStdString(slowServer.url()), history);
        SpeedTest *test = quorvel->test();
        test->start();
        // Both shots fall between two answers, 600 ms apart.
        waitFor("12 latency points", [&] { return test->phase() == Phase::latency && test->samples().size() >= 12; });
        shootBoth(quorvel->window(), QStringLiteral("05-latency-12"), 250);
        if (test->samples().size() != 12)
            fail(QStringLiteral("the latency phase moved on during its shots"));
        test->cancel();
    }

    {
        auto quorvel = open(origin, history);
        ContentView *window = quorvel->window();
        SpeedTest *test = quorvel->test();
        // Earlier tests, so the finished one lands on top of a dozen.
        const QDateTime now = QDateTime::currentDateTime();
        for (int i = 11; i >= 1; --i)
            quorvel->history()->add(pastResult(i, now));

        test->start();
        waitFor("11 s of download", [&] {
            return test->phase() == Phase::download && !test->samples().isEmpty() && test->samples().last().x >= 11;
        });
        shootBoth(window, QStringLiteral("06-download-11s"), 200);
        waitFor("upload points", [&] { return test->phase() == Phase::upload && test->samples().size() >= 8; });
        shoot(window, QStringLiteral("07-upload"));
        waitFor("the end of the test", [&] { return test->phase() == Phase::done; });
        shootBoth(window, QStringLiteral("08-done"));

        window->resize(1120, 800);
        shoot(window, QStringLiteral("09-done-large"));
        window->resize(ContentView::minimumWidth, ContentView::minimumHeight);
    }

    {
        // A history of its own: the later shots show the one above.
        auto quorvel = open(QString::fromStdString(fastServer.url()), home.filePath(QStringLiteral("fast.json")));
        quorvel->test()->start();
        waitFor("the end of a faster test", [&] { return quorvel->test()->phase() == Phase::done; });
        shoot(quorvel->window(), QStringLiteral("14-done-download-scale"));
    }

    {
        // A server origin whose path the server does not serve: it answers
        // 404, so the test fails at its first request.
        auto quorvel = open(origin + QStringLiteral("/gone"), history);
        ContentView *window = quorvel->window();
        quorvel->test()->start();
        waitFor("the failure", [&] {
            const auto &outcome = quorvel->test()->outcome();
            return outcome && outcome->kind == TestOutcome::Kind::failed;
        });
        shootBoth(window, QStringLiteral("10-failed"));

        window->setTab(Tab::history);
        shootBoth(window, QStringLiteral("11-history"));
    }

    {
        const QString longHistory = home.filePath(QStringLiteral("long-history.json"));
        writeLongHistory(longHistory, 100'000);
        auto quorvel = open(origin, longHistory);
        quorvel->window()->setTab(Tab::history);
        shootBoth(quorvel->window(), QStringLiteral("12-history-100000"));
    }

    {
        // The history now links into a folder that is not there: saves fail.
        QFile::remove(history);
        QFile::link(home.filePath(QStringLiteral("unmounted/history.json")), history);
        auto quorvel = open(origin, history);
        quorvel->history()->add(pastResult(0, QDateTime::currentDateTime()));
        quorvel->window()->setTab(Tab::history);
        shootBoth(quorvel->window(), QStringLiteral("13-history-unsaved"));
    }

    server.stop();
    slowServer.stop();
    fastServer.stop();
    return 0;
}
