// The quorvel program: one window measuring against the public speed-test
// server, or against the server given with --server.
#include "appicon.h"
#include "arguments.h"
#include "contentview.h"
#include "historystore.h"
#include "quorvelapp.h"
#include "singleinstance.h"

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

    QStringList args = QApplication::arguments();
    const QString program = args.isEmpty() ? QStringLiteral("quorvel") : args.takeFirst();
    const Arguments parsed = parseArguments(args);
    if (!parsed.ok()) {
        std::fprintf(stderr, "quorvel: %s\n%s", qPrintable(parsed.error), qPrintable(usageText(program)));
        return 2;
    }
    if (parsed.help) {
        std::fputs(qPrintable(usageText(program)), stdout);
        return 0;
    }

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

    QuorvelApp quorvel({parsed.server.value_or(QString()), nullptr, QString()});
    instance.raiseOnRequest(quorvel.window());
    quorvel.window()->show();
    return app.exec();
}
