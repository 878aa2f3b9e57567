#pragma once
// SingleInstance: one running window per history folder, so two copies never
// rewrite the same file from their own memory. The first copy holds a lock
// file in the folder and listens on a local socket; a later copy finds the
// lock held, asks the first to bring its window to the front, and exits. A
// lock left by a copy that crashed is taken over. When no lock can be made
// at all (a read-only folder) the copy runs anyway: it cannot save either.
// Main thread only.
#include <QLockFile>
#include <QObject>
#include <QString>

class QLocalServer;
class QWidget;

class SingleInstance final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    // Creates the folder if need be and tries to take its lock.
    explicit SingleInstance(const QString &folder, QObject *parent = nullptr);
    ~SingleInstance() override;

    // False when another copy holds the lock.
    bool isFirst() const { return m_first; }
    // For a later copy: asks the first to come to the front; true when it
    // took the request.
    bool askFirstToShow() const;

signals:
    // A later copy was started.
    void showRequested();

private:
    void listen();

    QLockFile m_lock;
    QString m_socketName;
    QLocalServer *m_server = nullptr;
    bool m_first = true;
};

// Shows the window, restores it if minimized and asks for the focus.
void bringToFront(QWidget *window);
