#pragma once
// The History tab's "Export…": a save dialog, then the whole history written
// as CSV or JSON, as the file's name ends, replacing any file there in one
// step (never a half-written file). An export that fails says why in a
// message box. Main thread only.
#include "testresult.h"

#include <QList>
#include <QString>

class HistoryStore;
class QWidget;

// Opens the dialog over parent without blocking; the store must outlive it.
void startHistoryExport(const HistoryStore *store, QWidget *parent);

// Writes the file; empty when it was written, else why not.
QString exportHistory(const QList<TestResult> &items, const QString &path);
