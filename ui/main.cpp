// The quorvel program: one window measuring against the public speed-test
// server, or against the server given with --server.
#include "appicon.h"
#include "arguments.h"
#include "contentview.h"
#include "quorvelapp.h"

#include <QApplication>

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

    QuorvelApp quorvel({parsed.server.value_or(QString()), nullptr, QString()});
    quorvel.window()->show();
    return app.exec();
}
