// quorvel-cli: one whole speed test, headless. Prints the result (the
// four-line summary, JSON with --json, a CSV line with --csv) and exits 0; 1
// when the test fails (or the --live file could not be written), with the
// message on standard error; 2 on bad arguments; 130 on SIGINT (Ctrl-C) and
// 143 on SIGTERM, after cancelling the test cleanly. It does not write the
// history.
#include "livecsv.h"
#include "progressline.h"
#include "speedtest.h"
#include "testresult.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int interruptPipe[2] = {-1, -1};

// Hands the signal's number to the event loop; a full pipe drops it, as
// one is enough.
void onInterrupt(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const auto n = ::write(interruptPipe[1], &byte, 1);
}

const char *usageLine =
    "usage: quorvel-cli [--server URL] [--json] [--csv] [--csv-header] [--live FILE] [--help]\n";

void printHelp()
{
    std::fputs(usageLine, stdout);
    std::printf(
        "\nMeasures the internet connection: latency (a warm-up and 20 timed requests),\n"
        "then download and upload throughput, against an HTTP speed-test server.\n\n"
        "  --server URL  measure against this server (http or https origin) instead of\n"
        "                %s, e.g. the bundled quorvel-server on your network\n"
        "  --json        print the result as one JSON object (the history file's format)\n"
        "  --csv         print the result as one CSV line, the fields and figures as in\n"
        "                the history file (after the JSON when both are given)\n"
        "  --csv-header  print only the CSV header line, without measuring\n"
        "  --live FILE   write every live point as it is drawn to FILE, as CSV: a header\n"
        "                phase,x,y then one row a point; phase is latency (x the request\n"
        "                number, y milliseconds), download or upload (x seconds since\n"
        "                the phase began, y Mbit/s)\n"
        "  --help        show this help\n\n"
        "While it runs on a terminal, standard error shows the progress on one line.\n"
        "Exit status: 0 done, 1 the test failed (or the --live file could not be written),\n"
        "2 bad arguments, 130 interrupted (SIGINT), 143 terminated (SIGTERM).\n",
        defaultServerOrigin);
}

int usageError(const QString &why)
{
    std::fprintf(stderr, "quorvel-cli: %s\n%s", qPrintable(why), usageLine);
    return 2;
}

bool validOrigin(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
        && !url.host().isEmpty() && url.query().isEmpty() && url.fragment().isEmpty()
        && (url.path().isEmpty() || url.path() == QLatin1String("/"));
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything else, so that a signal at any moment cancels cleanly
    // instead of killing by the default action; one that comes before the
    // event loop runs waits in the pipe.
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    QCoreApplication app(argc, argv);

    QString origin = QString::fromLatin1(defaultServerOrigin);
    bool json = false;
    bool csv = false;
    bool csvHeader = false;
    QString livePath;
    const QStringList args = app.arguments().mid(1);
    qsizetype i = 0;
    // "--name VALUE" or "--name=VALUE" into `into`; true when args[i] was
    // that option. A value missing at the end is said in missingValue.
    QString missingValue;
    const auto valued = [&](QLatin1String name, const char *needs, QString &into) {
        const QString &arg = args[i];
        if (arg.startsWith(QString(name) + QLatin1Char('='))) {
            into = arg.mid(name.size() + 1);
            return true;
        }
        if (arg != name)
            return false;
        if (++i == args.size())
            missingValue = QStringLiteral("%1 needs %2").arg(name, QLatin1String(needs));
        else
            into = args[i];
        return true;
    };
    for (; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            printHelp();
            return 0;
        } else if (arg == QLatin1String("--json")) {
            json = true;
        } else if (arg == QLatin1String("--csv")) {
            csv = true;
        } else if (arg == QLatin1String("--csv-header")) {
            csvHeader = true;
        } else if (valued(QLatin1String("--server"), "a URL", origin)
                   || valued(QLatin1String("--live"), "a file name", livePath)) {
            if (!missingValue.isEmpty())
                return usageError(missingValue);
        } else {
            return usageError(QStringLiteral("unknown argument '%1'").arg(arg));
        }
    }
    if (!validOrigin(origin))
        return usageError(QStringLiteral("not an http or https origin: '%1'").arg(origin));
    if (csvHeader) {
        std::printf("%s\n", ResultCodec::csvHeader().constData());
        return 0;
    }

    QSocketNotifier interrupts(interruptPipe[0], QSocketNotifier::Read);
    SpeedTest test(origin);
    std::unique_ptr<LiveCsv> live;
    if (!livePath.isNull()) {
        QString why;
        live = LiveCsv::open(livePath, test, &why);
        if (!live)
            return usageError(QStringLiteral("cannot write '%1': %2").arg(livePath, why));
    }
    const bool terminal = ::isatty(STDERR_FILENO);
    int lastWidth = 0;
    auto clearLine = [&] {
        if (terminal && lastWidth > 0)
            std::fprintf(stderr, "\r%*s\r", lastWidth, "");
        lastWidth = 0;
    };

    bool interrupted = false;
    QObject::connect(&interrupts, &QSocketNotifier::activated, &app, [&] {
        char byte = 0;
        if (::read(interruptPipe[0], &byte, 1) != 1 || interrupted)
            return;
        interrupted = true;
        test.cancel();
        clearLine();
        app.exit(128 + byte);
    });
    // A test ends "Complete" or "Failed" (both answered below) or by our own
    // cancel, after which it emits nothing; should it ever end otherwise,
    // say so rather than wait for ever.
    QObject::connect(&test, &SpeedTest::testEnded, &app, [&] {
        const QString status = test.status();
        if (status == QLatin1String("Complete") || status == QLatin1String("Failed"))
            return;
        clearLine();
        std::fprintf(stderr, "The test couldn't finish: it ended without a result (status \"%s\").\n",
                     qPrintable(status));
        app.exit(1);
    });
    QObject::connect(&test, &SpeedTest::changed, &app, [&] {
        if (terminal && test.isRunning()) {
            const QByteArray line = progressText(test).toUtf8();
            std::fprintf(stderr, "\r%-*s", lastWidth, line.constData());
            lastWidth = std::max<int>(lastWidth, int(line.size()));
            std::fflush(stderr);
        }
    });
    QObject::connect(&test, &SpeedTest::statusChanged, &app, [&] {
        if (test.status() == QLatin1String("Failed")) {
            clearLine();
            std::fprintf(stderr, "%s\n", qPrintable(test.errorMessage().value_or(test.status())));
            app.exit(1);
        }
    });
    bool liveFailed = false;
    if (live) {
        QObject::connect(live.get(), &LiveCsv::failed, &app, [&] {
            clearLine();
            std::fprintf(stderr, "quorvel-cli: writing '%s' failed: %s\n", qPrintable(livePath),
                         qPrintable(live->failure()));
            liveFailed = true;
        });
    }
    test.onFinish = [&](const TestResult &result) {
        clearLine();
        const auto object = ResultCodec::encode(result);
        const auto row = ResultCodec::csvRow(result);
        if ((json || csv) && (!object || !row)) {
            std::fprintf(stderr, "The test produced a figure that is not a number.\n");
            app.exit(1);
            return;
        }
        if (json)
            std::fputs(QJsonDocument(*object).toJson(QJsonDocument::Indented).constData(), stdout);
        if (csv)
            std::printf("%s\n", row->constData());
        if (!json && !csv)
            std::printf("%s\n", qPrintable(result.summary()));
        std::fflush(stdout);
        app.exit(liveFailed ? 1 : 0);
    };

    test.start();
    return app.exec();
}
