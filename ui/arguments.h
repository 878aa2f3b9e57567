#pragma once
// The command line of the quorvel program: nothing, or "--server URL" with
// an http or https URL that has a host. Pure; any thread.
#include <QString>
#include <QStringList>

#include <optional>

struct Arguments {
    std::optional<QString> server; // origin without a trailing slash
    bool help = false;
    QString error; // set when the arguments are unusable

    bool ok() const { return error.isEmpty(); }
};

// args excludes the program name.
Arguments parseArguments(const QStringList &args);
QString usageText(const QString &program);
