#pragma once
// SingleInstance: one copy of the window program per history folder, so
// that two copies never rewrite one history file from two memories. The
// first copy holds a lock file in the folder and listens on a local socket;
// a later copy finds the lock held, asks the first through the socket to
// come to the front, and leaves. A lock left by a copy that crashed is taken
// over. Main thread only.
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QLocalServer;
class QLockFile;
class QWidget;

class SingleInstance final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    enum class Claim {
        ours,       // this copy goes on (it holds the lock, or no lock can be made there)
        handedOver, // another copy runs and was asked to come to the front
        noAnswer,   // another copy holds the lock but did not answer
    };

    explicit SingleInstance(const QString &folder, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Blocks for a few seconds at most, while another copy answers.
    Claim claim();
    // From now on, every later copy brings this window to the front.
    void raiseOnRequest(QWidget *window);

    QString lockPath() const;
    QString socketName() const;

signals:
    // A later copy was started; token is its desktop activation token, if any.
    void activationRequested(const QString &token);

private:
    bool tryLock();
    void listen();
    // Nothing when no copy listens; else whether it took the request.
    std::optional<bool> askFirstCopy() const;

    QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};
