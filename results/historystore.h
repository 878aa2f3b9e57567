#pragma once
// HistoryStore: the saved results, newest first, and their one JSON file.
// Lives on the main thread. Loads once at construction, never writes at
// load, and rewrites the whole file atomically after every change. When a
// save fails the in-memory list keeps the change and saveError() says why,
// until a save works.
// A file that exists but cannot be read as history (malformed, not a regular
// file, larger than the size limit, which is then never read) is never
// overwritten: the first save moves it aside to "<file>.unreadable-<UTC
// time>[-N]" (never replacing an earlier copy) and fails if that move fails.
// A list that would encode past the limit is not written either, so every
// file the store writes is one it reads back. A link is written through and
// never replaced (behind a link it is the linked file that goes aside); a
// file that appears behind it later (a folder mounted after we started) is
// read in before the next save, not written over.
#include "testresult.h"

#include <QList>
#include <QObject>
#include <QString>

class HistoryStore final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryStore)
    Q_PROPERTY(QString saveError READ saveError NOTIFY saveErrorChanged)

public:
    // Larger files are neither read nor written: parsing one takes several
    // times its size in memory (100,000 results take about 28 MB).
    static constexpr qint64 defaultMaxFileSize = qint64(512) << 20;

    // Default: <generic data location>/Quorvel/history.json
    explicit HistoryStore(QObject *parent = nullptr);
    explicit HistoryStore(const QString &filePath, qint64 maxFileSize = defaultMaxFileSize,
                          QObject *parent = nullptr);

    static QString defaultPath();

    const QList<TestResult> &items() const { return m_items; }
    QString filePath() const { return m_path; }
    // Why the last save failed, for the user; empty once a save has worked.
    QString saveError() const { return m_saveError; }
    // What stands at the file holds no history this store could read: it
    // goes aside at the next save.
    bool unreadableOnDisk() const { return m_unreadableOnDisk; }

    // A record taken out, with how many records were behind it (older)
    // then, which is where it goes back even when newer ones came since.
    struct Removed {
        qsizetype olderCount;
        TestResult result;
    };

    void add(const TestResult &result);              // at the front, then save
    QList<Removed> remove(const TestResult &result); // every record with that id, then save
    QList<Removed> clear();                          // then save
    // Puts back what remove() or clear() took out, each in its old place
    // among the records still there, then saves.
    void restore(const QList<Removed> &removed);

signals:
    // Once per add/remove/clear, after the list changed.
    void itemsChanged();
    // Before itemsChanged, when the save made saveError() change.
    void saveErrorChanged();

private:
    enum class OnDisk { nothing, history, unreadable };
    OnDisk read(QList<TestResult> &into) const;
    void load();
    void save();
    QString write();
    QString moveAsideUnreadable();
    QString describeFailure(const QString &error) const;

    QList<TestResult> m_items;
    QString m_path;
    qint64 m_maxFileSize;
    QString m_saveError;
    // The file at m_path holds something we could not read; keep it safe
    // before the first write.
    bool m_unreadableOnDisk = false;
    // What is at m_path is what we loaded or wrote, so replacing it loses
    // nothing; false while nothing was there.
    bool m_fileKnown = false;
};
