#include "singleinstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <unistd.h>

namespace {

// A request is one line: "show", a space and the activation token.
constexpr qint64 maxRequest = 4096;

} // namespace

SingleInstance::SingleInstance(const QString &folder, QObject *parent) : QObject(parent), m_folder(folder) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::lockPath() const
{
    return m_folder + QStringLiteral("/history.json.lock");
}

QString SingleInstance::socketName() const
{
    // Named after the folder, so each history has its own first copy.
    const QFileInfo folder(m_folder);
    const QString canonical = folder.canonicalFilePath();
    const QByteArray key = QFile::encodeName(canonical.isEmpty() ? folder.absoluteFilePath() : canonical);
    const QString hash = QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(24));
    // The user's private runtime folder, when there is one; a socket path
    // must fit in 108 bytes.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString inRuntime = runtime + QStringLiteral("/quorvel-") + hash;
    if (runtime.startsWith(QLatin1Char('/')) && QFile::encodeName(inRuntime).size() < 100)
        return inRuntime;
    return QStringLiteral("quorvel-%1-%2").arg(::getuid()).arg(hash);
}

SingleInstance::Claim SingleInstance::claim()
{
    QDir().mkpath(m_folder);
    m_lock = std::make_unique<QLockFile>(lockPath());
    // Held for as long as the copy runs, also where the file system has no
    // native locks to back it: only a dead holder makes it stale.
    m_lock->setStaleLockTime(0);
    // The first copy may hold the lock but not listen yet, or be leaving.
    const QDeadlineTimer deadline(5000);
    for (;;) {
        if (tryLock())
            return Claim::ours;
        if (const auto heard = askFirstCopy())
            return *heard ? Claim::handedOver : Claim::noAnswer;
        if (deadline.hasExpired())
            return Claim::noAnswer;
        QThread::msleep(100);
    }
}

bool SingleInstance::tryLock()
{
    if (m_lock->tryLock(0)) {
        listen();
        return true;
    }
    // No lock can be made (a read-only folder): go on, since no copy can
    // write the history there either, and saving will say why.
    return m_lock->error() != QLockFile::LockFailedError;
}

void SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = socketName();
    // A socket left by a crashed copy: we hold the lock, so nobody uses it.
    if (!m_server->listen(name) && QLocalServer::removeServer(name))
        m_server->listen(name);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > maxRequest)
                        socket->abort();
                    return;
                }
                const QByteArray line = socket->readLine(maxRequest).trimmed();
                if (line == "show" || line.startsWith("show "))
                    emit activationRequested(QString::fromUtf8(line.mid(5)));
                // Closing tells the later copy it was heard.
                socket->disconnectFromServer();
            });
            // A peer that never finishes its line is not kept.
            QTimer::singleShot(5000, socket, [socket] { socket->abort(); });
        }
    });
}

std::optional<bool> SingleInstance::askFirstCopy() const
{
    QLocalSocket socket;
    socket.connectToServer(socketName());
    if (!socket.waitForConnected(1000))
        return std::nullopt;
    socket.write("show " + qgetenv("XDG_ACTIVATION_TOKEN") + '\n');
    socket.flush();
    // The first copy may be busy loading a long history before it reads.
    return socket.state() == QLocalSocket::UnconnectedState || socket.waitForDisconnected(10000);
}

void SingleInstance::raiseOnRequest(QWidget *window)
{
    connect(this, &SingleInstance::activationRequested, window, [window](const QString &token) {
        // Wayland lets a window take the focus only with the token of the
        // launch that asked for it.
        if (!token.isEmpty())
            qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window->show();
        window->raise();
        window->activateWindow();
    });
}
