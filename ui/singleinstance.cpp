#include "singleinstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QWidget>

namespace {

constexpr int answerTimeoutMs = 5000;
const QByteArray shown = QByteArrayLiteral("shown\n");

} // namespace

SingleInstance::SingleInstance(const QString &folder, QObject *parent)
    : QObject(parent), m_lock(folder + QStringLiteral("/quorvel.lock"))
{
    QDir().mkpath(folder);
    // One socket per history folder, reachable only by this user.
    const QByteArray key = QFileInfo(folder).canonicalFilePath().toUtf8();
    m_socketName = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QStringLiteral("/quorvel-")
        + QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(16));

    // Held for the whole run: never stale by age, only when its process is
    // gone, which is how a crashed copy's lock is taken over.
    m_lock.setStaleLockTime(0);
    if (m_lock.tryLock(0)) {
        listen();
        return;
    }
    m_first = m_lock.error() != QLockFile::LockFailedError;
}

SingleInstance::~SingleInstance() = default;

void SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket left at that name belongs to a copy that
    // crashed.
    if (!m_server->listen(m_socketName)) {
        QLocalServer::removeServer(m_socketName);
        m_server->listen(m_socketName);
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *peer = m_server->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            peer->write(shown);
            peer->flush(); // now, whatever the event loop does next
            peer->disconnectFromServer();
            emit showRequested();
        }
    });
}

bool SingleInstance::askFirstToShow() const
{
    const QDeadlineTimer deadline(answerTimeoutMs);
    QLocalSocket socket;
    // The first copy may hold the lock a moment before it listens.
    while (true) {
        socket.connectToServer(m_socketName);
        if (socket.waitForConnected(int(deadline.remainingTime())))
            break;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(int(deadline.remainingTime())))
        answer += socket.readAll();
    answer += socket.readAll(); // what came with the hang-up
    return answer.startsWith(shown);
}

void bringToFront(QWidget *window)
{
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}
