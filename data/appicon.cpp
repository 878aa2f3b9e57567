#include "appicon.h"

QIcon appIcon()
{
    QIcon builtIn;
    for (int size : {48, 64, 128, 256})
        builtIn.addFile(QStringLiteral(":/icons/%1/" QUORVEL_APP_ID ".png").arg(size), QSize(size, size));
    return QIcon::fromTheme(QStringLiteral(QUORVEL_APP_ID), builtIn);
}
