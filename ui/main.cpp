// The quorvel program: one window measuring against the public speed-test
// server, or against the server given with --server.
#include "appicon.h"
#include "commandline.h"
#include "contentview.h"
#include "historystore.h"
#include "quorvelapp.h"
#include "singleinstance.h"
#include "speedtest.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quorvel"));
    QApplication::setDesktopFileName(QStringLiteral(QUORVEL_APP_ID));
    QApplication::setWindowIcon(appIcon());

    CommandLine commandLine(QStringLiteral("quorvel"),
                            QStringLiteral("Measures the internet connection in a window: latency, then download "
                                           "and upload\nthroughput, against an HTTP speed-test server. Every "
                                           "finished test is saved to\nthe history."),
                            QString::fromLatin1(defaultServerOrigin));
    if (const auto exitCode = commandLine.parse(QApplication::arguments()))
        return *exitCode;

    // Two copies would each rewrite the history from their own memory.
    SingleInstance instance(HistoryStore::defaultPath());
    switch (instance.claim()) {
    case SingleInstance::Claim::ours:
        break;
    case SingleInstance::Claim::handedOver:
        return 0;
    case SingleInstance::Claim::noAnswer:
        // The lock is named, so one that outlived its machine (a shared
        // home) can be removed by hand.
        std::fprintf(stderr, "quorvel: %s.\n", qPrintable(instance.noAnswerMessage()));
        return 1;
    }

    QuorvelApp quorvel({commandLine.origin(), nullptr, QString()});
    quorvel.serve(instance);
    quorvel.window()->show();
    return app.exec();
}
