#pragma once
// Fresh request identifiers that defeat every cache on the way.
#include <QString>
#include <QUuid>

// A random UUID in its canonical upper-case 36-character form.
inline QString newRequestId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}
