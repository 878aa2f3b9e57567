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
#include <QDir>
#include <QFileInfo>

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
    SingleInstance instance(QFileInfo(HistoryStore::defaultPath()).absolutePath());
    switch (instance.claim()) {
    case SingleInstance::Claim::ours:
        break;
    case SingleInstance::Claim::handedOver:
        return 0;
    case SingleInstance::Claim::noAnswer:
        // Named, so a lock that outlived its machine (a shared home) can be removed by hand.
        std::fprintf(stderr, "quorvel: Quorvel is already running with this history, but it does not answer (%s).\n",
                     qPrintable(QDir::toNativeSeparators(instance.lockPath())));
        return 1;
    }

    QuorvelApp quorvel({commandLine.origin(), nullptr, QString()});
    instance.raiseOnRequest(quorvel.window());
    quorvel.window()->show();
    return app.exec();
}
