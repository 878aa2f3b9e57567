#pragma once
// Whole-file writes that a crash, a full disk or a reader never sees half
// done: the bytes go to a temporary file in the target's folder, are synced
// to disk, and then take the target's name in one rename. A failure leaves
// the target as it was and no temporary behind. Any thread.
#include <QByteArray>
#include <QString>

// Empty when the file was written; else why not, in the system's words.
QString writeFileAtomically(const QString &path, const QByteArray &bytes);
