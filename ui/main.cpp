// The quorvel program: one window measuring against the public speed-test
// server, or against the server given with --server.
#include "arguments.h"
#include "contentview.h"
#include "historystore.h"
#include "quorvelapp.h"
#include "singleinstance.h"

#include <QApplication>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quorvel"));

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

    // A second copy would write over the first one's history.
    SingleInstance instance(QFileInfo(HistoryStore::defaultPath()).absolutePath());
    if (!instance.isFirst()) {
        if (instance.askFirstToShow())
            return 0;
        std::fputs("quorvel: Quorvel is already running, but its window did not answer\n", stderr);
        return 1;
    }

    QuorvelApp quorvel({parsed.server.value_or(QString()), nullptr, QString()});
    QObject::connect(&instance, &SingleInstance::showRequested, quorvel.window(),
                     [&quorvel] { bringToFront(quorvel.window()); });
    quorvel.window()->show();
    return app.exec();
}
