// quorvel-cli: one whole speed test, headless. Prints the result (the
// four-line summary, JSON with --json, a CSV line with --csv) and exits 0; 1
// when the test fails, with its message and then its cause on standard error
// (or when the --live file could not be written); 2 on bad arguments; 130 on
// SIGINT (Ctrl-C) and 143 on SIGTERM, after cancelling the test cleanly. It
// does not write the history.
#include "commandline.h"
#include "livecsv.h"
#include "progressline.h"
#include "speedtest.h"
#include "testresult.h"

#include <QCoreApplication>
#include <QSocketNotifier>

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
                                           "phase began, y Mbit/s)."),
                            QStringLiteral("FILE")};

    explicit CliOptions(CommandLine &line)
    {
        for (const QCommandLineOption *option : {&json, &csv, &csvHeader, &live})
            line.addOption(*option);
        line.setEpilogue(QStringLiteral(
            "While it runs on a terminal, standard error shows the progress on one line.\n"
            "A failed test prints its message and, on the next line, its cause.\n"
            "Exit status: 0 done, 1 the test failed (or the --live file could not be written),\n"
            "2 bad arguments, 130 interrupted (SIGINT), 143 terminated (SIGTERM).\n"));
    }
};

// A finished test's result on standard output, as the options ask; false
// when a figure cannot be written.
bool printResult(const TestResult &result, bool json, bool csv)
{
    const auto object = ResultCodec::encodeObject(result);
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
        std::printf("%s\n", qPrintable(result.summary()));
    std::fflush(stdout);
    return true;
}

// How the test ended, printed; returns the exit status. Only an interrupt
// cancels a test here, and its signal sets the status.
int report(const TestOutcome &outcome, const CommandLine &line, const CliOptions &options, int interrupt)
{
    switch (outcome.kind) {
    case TestOutcome::Kind::done:
        return printResult(*outcome.result, line.isSet(options.json), line.isSet(options.csv)) ? 0 : 1;
    case TestOutcome::Kind::failed:
        std::fprintf(stderr, "%s\n%s\n", qPrintable(outcome.message), qPrintable(outcome.cause));
        return 1;
    case TestOutcome::Kind::cancelled:
        break;
    }
    return 128 + interrupt;
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
    if (const auto exitCode = line.parse(app.arguments()))
        return *exitCode;
    if (line.isSet(options.csvHeader)) {
        std::printf("%s\n", ResultCodec::csvHeader().constData());
        return 0;
    }

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
    int interrupt = 0;
    QSocketNotifier interrupts(interruptPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupts, &QSocketNotifier::activated, &app, [&] {
        char byte = 0;
        if (::read(interruptPipe[0], &byte, 1) == 1 && interrupt == 0) {
            interrupt = byte;
            test.cancel();
        }
    });
    QObject::connect(&test, &SpeedTest::ended, &app, [&](const TestOutcome &outcome) {
        progress.clear();
        const int status = report(outcome, line, options, interrupt);
        app.exit(status == 0 && liveFailed ? 1 : status);
    });

    test.start();
    return app.exec();
}
