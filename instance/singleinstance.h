#pragma once
// SingleInstance: one writer per history file, across processes, so that
// two programs never rewrite one history from two memories. The window
// program holds the lock file "<history>.lock" for as long as it runs and
// listens on a local socket; quorvel-cli holds the lock only while it adds
// one result. Whoever finds the lock taken asks its holder through the
// socket: a later window asks it to come to the front, quorvel-cli hands it
// a result and waits for the answer. A holder that does not answer (one in
// the middle of a save, a window not yet listening) is waited for, up to
// `patience` from the last time the lock changed hands. A lock left by a
// process that died is taken over.
//
// The socket is named after the user and the history's folder alone, in
// Linux's abstract namespace, so that a program started without the
// desktop's environment (by cron) finds the window. That namespace has no
// permissions, so each end checks that the other runs as the same user.
// Requests are one line, "show <activation token>" or "save <the result as
// one JSON object>", and get one line back, "ok" or "error <why>".
//
// Main thread only; claim() and save() block while they wait.
#include "testresult.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QLocalServer;
class QLocalSocket;
class QLockFile;

class SingleInstance final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    static constexpr std::chrono::seconds patience{10};

    enum class Claim {
        ours,       // this copy goes on (it holds the lock, or no lock can be made there)
        handedOver, // another copy runs and was asked to come to the front
        noAnswer,   // another program holds the lock and does not answer
    };

    struct Saved {
        enum class Kind { saved, failed, interrupted };
        Kind kind = Kind::failed;
        QString why; // failed: for the user
    };

    explicit SingleInstance(const QString &historyPath, QObject *parent = nullptr);
    ~SingleInstance() override;

    // The window program. From then on, every later copy's request to
    // come to the front is activationRequested, and every result handed
    // over goes to the save handler, whose answer is why it was not saved
    // (empty: saved).
    Claim claim();
    void setSaveHandler(std::function<QString(const TestResult &)> save) { m_save = std::move(save); }

    // quorvel-cli: the result joins the history, through the window that
    // holds it or, when none runs, through a HistoryStore of our own while
    // we hold the lock. interrupted is asked while waiting.
    Saved save(const TestResult &result, const std::function<bool()> &interrupted = {});

    QString lockPath() const;
    QString socketName() const;
    // After Claim::noAnswer: who held the lock, and where the lock is.
    QString noAnswerMessage() const;

signals:
    // A later copy was started; token is its desktop activation token, if any.
    void activationRequested(const QString &token);

private:
    struct Contest {
        enum class Outcome { locked, noLock, answered, noAnswer, interrupted };
        Outcome outcome;
        QByteArray reply;
    };
    Contest contend(const QByteArray &request, const std::function<bool()> &interrupted);
    std::optional<QByteArray> ask(const QByteArray &request, const QDeadlineTimer &deadline,
                                  const std::function<bool()> &interrupted) const;
    QByteArray holderKey() const;
    QString holder() const;
    void listen();
    void answer(QLocalSocket *socket);
    QString saveHandedOver(const QByteArray &json);

    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    std::function<QString(const TestResult &)> m_save;
    QString m_lastHolder;
};
