#pragma once
// HistoryStore: the saved results, newest first, and their one JSON file.
// Lives on the main thread. Loads once at construction, never writes at
// load, and rewrites the whole file atomically after every change. File
// errors are silent: the in-memory list keeps the change.
// A file that exists but cannot be read as history is never overwritten:
// the first save moves it aside to "<file>.unreadable-<UTC time>[-N]" (never
// replacing an earlier copy) and skips writing if that move fails.
#include "testresult.h"

#include <QList>
#include <QObject>
#include <QString>

class HistoryStore final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryStore)

public:
    // Default: <generic data location>/Quorvel/history.json
    explicit HistoryStore(QObject *parent = nullptr);
    explicit HistoryStore(const QString &filePath, QObject *parent = nullptr);

    static QString defaultPath();

    const QList<TestResult> &items() const { return m_items; }
    QString filePath() const { return m_path; }

    void add(const TestResult &result);    // at the front, then save
    void remove(const TestResult &result); // every record with that id, then save
    void clear();                          // then save

signals:
    // Once per add/remove/clear, after the list changed.
    void itemsChanged();

private:
    void load();
    void save();
    bool moveAsideUnreadable();

    QList<TestResult> m_items;
    QString m_path;
    // The file at m_path holds something we could not read; keep it safe
    // before the first write.
    bool m_unreadableOnDisk = false;
};
