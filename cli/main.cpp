// quorvel-cli: one whole speed test, headless. Prints the result (the
// four-line summary, JSON with --json, a CSV line with --csv) and exits 0; 1
// when the test fails, with its message and then its cause on standard error
// (or when a file it was asked for, or the history, could not be written);
// 2 on bad arguments; 130 on SIGINT (Ctrl-C) and 143 on SIGTERM, after
// cancelling the test cleanly. The history and metrics options are in
// historyoptions.h. With --responsiveness it measures round trips per minute
// under load instead, with the same exit statuses.
#include "bufferbloat.h"
#include "commandline.h"
#include "historyoptions.h"
#include "livecsv.h"
#include "progressline.h"
#include "responsiveness.h"
#include "responsivenessreport.h"
#include "speedtest.h"
#include "testresult.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <functional>
#include <variant>
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

// From now on SIGINT and SIGTERM wait in the pipe instead of killing; one
// that comes before the event loop runs is read once it does.
bool catchInterrupts()
{
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// The signal waiting in the pipe, or 0; for when the event loop cannot run.
int pendingInterrupt()
{
    char byte = 0;
    return ::read(interruptPipe[0], &byte, 1) == 1 ? byte : 0;
}

// The options of this program, beside those every Quorvel program takes.
struct CliOptions {
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("Print the result as one JSON object, its members in the history "
                                           "file's order and form.")};
    QCommandLineOption csv{QStringLiteral("csv"),
                           QStringLiteral("Print the result as one CSV line, the fields and figures as in the "
                                          "history file (after the JSON when both are given).")};
    QCommandLineOption csvHeader{QStringLiteral("csv-header"),
                                 QStringLiteral("Print only the CSV header line, without measuring.")};
    QCommandLineOption live{QStringLiteral("live"),
                            QStringLiteral("Write every live point to FILE as it is drawn, as CSV: a header "
                                           "phase,x,y then one row a point; phase is latency (x the request "
                                           "number, y milliseconds), download or upload (x seconds since the "
                                           "phase began, y Mbit/s), or download-latency or upload-latency "
                                           "(a latency probe while that phase's transfers ran: x seconds "
                                           "since the phase began, y milliseconds)."),
                            QStringLiteral("FILE")};
    QCommandLineOption responsiveness{
        QStringLiteral("responsiveness"),
        QStringLiteral("Measure responsiveness under load instead of the speed test: round trips per minute "
                       "(RPM) while load connections keep the link busy, by the IETF method \"Responsiveness "
                       "under Working Conditions\" (draft-ietf-ippm-responsiveness-09). Uses the server's "
                       "/.well-known/nq when it offers one, else /__down and /__up. Goes with --json.")};
    QCommandLineOption direction{QStringLiteral("direction"),
                                 QStringLiteral("With --responsiveness: download, upload or both, one after the "
                                                "other (default both)."),
                                 QStringLiteral("WHICH")};
    QCommandLineOption interval{QStringLiteral("interval"),
                                QStringLiteral("With --responsiveness: seconds between two looks at the load, "
                                               "from 0.05 to 60 (default 1; version 09 of the draft proposes 5)."),
                                QStringLiteral("SECONDS")};
    QCommandLineOption timeLimit{QStringLiteral("time-limit"),
                                 QStringLiteral("With --responsiveness: seconds for each direction, from 1 to 600 "
                                                "(default 20); never less than eight intervals."),
                                 QStringLiteral("SECONDS")};
    QCommandLineOption http2PriorKnowledge{
        QStringLiteral("http2-prior-knowledge"),
        QStringLiteral("With --responsiveness and an http:// server: speak HTTP/2 from the first byte, for a "
                       "server known to speak it. At an https:// server HTTP/2 is offered anyway and used where "
                       "the server agrees; over HTTP/2 the loaded probes are requests on the load connections.")};

    explicit CliOptions(CommandLine &line)
    {
        for (const QCommandLineOption *option :
             {&json, &csv, &csvHeader, &live, &responsiveness, &direction, &interval, &timeLimit,
              &http2PriorKnowledge})
            line.addOption(*option);
        line.setEpilogue(QStringLiteral(
            "While it runs on a terminal, standard error shows the progress on one line.\n"
            "A failed test prints its message and, on the next line, its cause.\n"
            "Exit status: 0 done, 1 the test failed (or the --live or --prometheus file could\n"
            "not be written, or the result could not be saved), 2 bad arguments,\n"
            "130 interrupted (SIGINT), 143 terminated (SIGTERM).\n"));
    }
};

// A finished test's result on standard output, as the options ask; false
// when a figure cannot be written. The JSON also tells how many latency
// probes under load failed, so a figure resting on few can be seen as such.
bool printResult(const TestResult &result, const SpeedTest &test, bool json, bool csv)
{
    const auto object = ResultCodec::encodeObject(
        result, {{"downloadProbesFailed", test.failedProbes(false)}, {"uploadProbesFailed", test.failedProbes(true)}});
    const auto row = ResultCodec::csvRow(result);
    if ((json && !object) || (csv && !row)) {
        std::fprintf(stderr, "The test produced a figure that is not a number.\n");
        return false;
    }
    if (json)
        std::fputs(object->constData(), stdout);
    if (csv)
        std::printf("%s\n", row->constData());
    if (!json && !csv)
        std::printf("%s\n%s\n", qPrintable(result.summary()), qPrintable(Bufferbloat::loadedLine(result)));
    std::fflush(stdout);
    return true;
}

// How the test ended, printed; returns the exit status. Only an interrupt
// cancels a test here, and its signal sets the status.
int report(const TestOutcome &outcome, const SpeedTest &test, const CommandLine &line, const CliOptions &options,
           int interrupt)
{
    switch (outcome.kind) {
    case TestOutcome::Kind::done:
        return printResult(*outcome.result, test, line.isSet(options.json), line.isSet(options.csv)) ? 0 : 1;
    case TestOutcome::Kind::failed:
        std::fprintf(stderr, "%s\n%s\n", qPrintable(outcome.message), qPrintable(outcome.cause));
        return 1;
    case TestOutcome::Kind::cancelled:
        break;
    }
    return 128 + interrupt;
}

// SIGINT or SIGTERM calls `cancel` once; the signal's number is kept.
struct Interrupts {
    int signal = 0;
    QSocketNotifier notifier{interruptPipe[0], QSocketNotifier::Read};

    explicit Interrupts(std::function<void()> cancel)
    {
        QObject::connect(&notifier, &QSocketNotifier::activated, &notifier, [this, cancel] {
            char byte = 0;
            if (::read(interruptPipe[0], &byte, 1) == 1 && signal == 0) {
                signal = byte;
                cancel();
            }
        });
    }
};

// The parameters --responsiveness runs with; a message when an option's
// value is out of bounds.
std::variant<ResponsivenessTest::Options, QString> responsivenessOptions(const CommandLine &line,
                                                                          const CliOptions &options)
{
    ResponsivenessTest::Options o;
    o.origin = line.origin();
    o.http2PriorKnowledge = line.isSet(options.http2PriorKnowledge);
    if (line.isSet(options.direction)) {
        const QString which = line.value(options.direction);
        if (which == QLatin1String("download"))
            o.directions = {RpmDirection::download};
        else if (which == QLatin1String("upload"))
            o.directions = {RpmDirection::upload};
        else if (which != QLatin1String("both"))
            return QStringLiteral("--direction takes download, upload or both.");
    }
    const auto seconds = [&](const QCommandLineOption &option, double min, double max, double &into) {
        if (!line.isSet(option))
            return true;
        bool ok = false;
        const double value = line.value(option).toDouble(&ok);
        if (ok && value >= min && value <= max)
            into = value;
        return ok && value >= min && value <= max;
    };
    if (!seconds(options.interval, 0.05, 60, o.parameters.intervalSecs))
        return QStringLiteral("--interval takes seconds from 0.05 to 60.");
    if (!seconds(options.timeLimit, 1, 600, o.parameters.timeLimitSecs))
        return QStringLiteral("--time-limit takes seconds from 1 to 600.");
    return o;
}

int measureResponsiveness(QCoreApplication &app, const CommandLine &line, const CliOptions &options)
{
    for (const QCommandLineOption *other : {&options.csv, &options.csvHeader, &options.live})
        if (line.isSet(*other))
            return line.fail(QStringLiteral("--%1 does not go with --responsiveness.").arg(other->names().first()));
    const auto parsed = responsivenessOptions(line, options);
    if (const QString *why = std::get_if<QString>(&parsed))
        return line.fail(*why);
    ResponsivenessTest test(std::get<ResponsivenessTest::Options>(parsed));
    ProgressLine progress(::isatty(STDERR_FILENO));
    QObject::connect(&test, &ResponsivenessTest::progressed, &app, [&] { progress.show(RpmReport::progress(test)); });
    Interrupts interrupts([&] {
        test.cancel();
        progress.clear();
        app.exit(128 + interrupts.signal);
    });
    QObject::connect(&test, &ResponsivenessTest::ended, &app, [&] {
        progress.clear();
        if (const auto &message = test.errorMessage()) {
            std::fprintf(stderr, "%s\n%s\n", qPrintable(*message), qPrintable(test.errorCause()));
            return app.exit(1);
        }
        if (line.isSet(options.json))
            std::fputs(RpmReport::json(test).constData(), stdout);
        else
            std::printf("%s\n", qPrintable(RpmReport::summary(test)));
        std::fflush(stdout);
        app.exit(0);
    });
    test.start();
    return app.exec();
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything else, so that a signal at any moment cancels cleanly.
    if (!catchInterrupts())
        return 1;
    QCoreApplication app(argc, argv);
    CommandLine line(QStringLiteral("quorvel-cli"),
                     QStringLiteral("Measures the internet connection: latency (a warm-up and 20 timed requests),\n"
                                    "then download and upload throughput, against an HTTP speed-test server."),
                     QString::fromLatin1(defaultServerOrigin));
    const CliOptions options(line);
    const HistoryOptions history(line);
    if (const auto exitCode = line.parse(app.arguments()))
        return *exitCode;
    if (const auto exitCode = history.check(line, {&options.live, &options.csvHeader}))
        return *exitCode;
    if (line.isSet(options.responsiveness))
        return measureResponsiveness(app, line, options);
    for (const QCommandLineOption *own : {&options.direction, &options.interval, &options.timeLimit,
                                             &options.http2PriorKnowledge})
        if (line.isSet(*own))
            return line.fail(QStringLiteral("--%1 goes with --responsiveness.").arg(own->names().first()));
    if (line.isSet(options.csvHeader)) {
        std::printf("%s\n", ResultCodec::csvHeader().constData());
        return 0;
    }
    if (history.historyAsked(line))
        return history.printHistory(line.isSet(options.json), line.isSet(options.csv));

    SpeedTest test(line.origin());
    std::unique_ptr<LiveCsv> live;
    if (const QString path = line.value(options.live); line.isSet(options.live)) {
        QString why;
        if (!(live = LiveCsv::open(path, test, &why)))
            return line.fail(QStringLiteral("Cannot write '%1': %2.").arg(path, why));
    }
    ProgressLine progress(::isatty(STDERR_FILENO));
    QObject::connect(&test, &SpeedTest::changed, &app, [&] { progress.show(test); });
    bool liveFailed = false;
    if (live) {
        QObject::connect(live.get(), &LiveCsv::failed, &app, [&] {
            progress.clear();
            std::fprintf(stderr, "quorvel-cli: writing '%s' failed: %s\n", qPrintable(line.value(options.live)),
                         qPrintable(live->failure()));
            liveFailed = true;
        });
    }
    Interrupts interrupts([&] { test.cancel(); });
    QObject::connect(&test, &SpeedTest::ended, &app, [&](const TestOutcome &outcome) {
        progress.clear();
        int &interrupt = interrupts.signal;
        int status = report(outcome, test, line, options, interrupt);
        if (outcome.kind != TestOutcome::Kind::cancelled) {
            // Printed first, so that nothing is lost whatever happens next.
            const auto interrupted = [&] { return (interrupt = interrupt ? interrupt : pendingInterrupt()) != 0; };
            switch (history.keep(line, outcome, interrupted)) {
            case HistoryOptions::Kept::kept:
                break;
            case HistoryOptions::Kept::failed:
                status = 1;
                break;
            case HistoryOptions::Kept::interrupted:
                status = 128 + interrupt;
                break;
            }
        }
        // Queued: a test that fails at once (a refused connection) ends
        // inside start(), before exec() runs, and an exit() from there
        // would be lost.
        status = status == 0 && liveFailed ? 1 : status;
        QMetaObject::invokeMethod(&app, [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
    });

    test.start();
    return app.exec();
}
