#include "singleinstance.h"

#include "historystore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A request or reply is one line, a record's JSON with room to spare.
constexpr qint64 maxLine = 4096;

// The socket's other end runs as our user (the abstract namespace is open to all).
bool peerIsUs(qintptr fd)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(int(fd), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

QByteArray oneLine(const QString &text)
{
    return text.toUtf8().replace('\n', ' ');
}

} // namespace

SingleInstance::SingleInstance(const QString &historyPath, QObject *parent) : QObject(parent), m_path(historyPath) {}

SingleInstance::~SingleInstance()
{
    // Deaf before the lock goes, so that nobody hands a result to a copy
    // that is leaving.
    delete m_server;
}

QString SingleInstance::lockPath() const
{
    return m_path + QStringLiteral(".lock");
}

QString SingleInstance::socketName() const
{
    // Named after the folder, so each history has its own first copy; the
    // folder as the kernel sees it, whatever links led there.
    const QFileInfo folder(QFileInfo(m_path).absolutePath());
    const QString canonical = folder.canonicalFilePath();
    const QByteArray key = QFile::encodeName(canonical.isEmpty() ? folder.absoluteFilePath() : canonical);
    const QString hash = QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(24));
    return QStringLiteral("quorvel-%1-%2").arg(::geteuid()).arg(hash);
}

QString SingleInstance::noAnswerMessage() const
{
    return tr("the history is held by %1, which does not answer (%2)")
        .arg(m_lastHolder, QDir::toNativeSeparators(lockPath()));
}

SingleInstance::Claim SingleInstance::claim()
{
    switch (contend("show " + qgetenv("XDG_ACTIVATION_TOKEN"), {}).outcome) {
    case Contest::Outcome::locked:
        listen();
        return Claim::ours;
    case Contest::Outcome::noLock:
        // No lock can be made there (a read-only folder): go on, since no
        // copy can write the history there either, and saving will say why.
        return Claim::ours;
    case Contest::Outcome::answered:
        return Claim::handedOver;
    case Contest::Outcome::noAnswer:
    case Contest::Outcome::interrupted:
        break;
    }
    return Claim::noAnswer;
}

SingleInstance::Saved SingleInstance::save(const TestResult &result, const std::function<bool()> &interrupted)
{
    const auto object = ResultCodec::encodeObject(result);
    if (!object)
        return {Saved::Kind::failed, tr("the result holds a number or a date that can't be written")};
    // JSON takes a space wherever it takes a newline, and no value the
    // codec writes holds one.
    const Contest contest = contend("save " + QByteArray(*object).replace('\n', ' ').trimmed(), interrupted);
    switch (contest.outcome) {
    case Contest::Outcome::answered:
        if (contest.reply == "ok")
            return {Saved::Kind::saved, {}};
        return {Saved::Kind::failed, QString::fromUtf8(contest.reply.startsWith("error ") ? contest.reply.mid(6)
                                                                                             : contest.reply)};
    case Contest::Outcome::noAnswer:
        return {Saved::Kind::failed, noAnswerMessage()};
    case Contest::Outcome::interrupted:
        return {Saved::Kind::interrupted, {}};
    case Contest::Outcome::locked:
    case Contest::Outcome::noLock:
        break;
    }
    QString why;
    {
        HistoryStore store(m_path);
        // Already there when a window saved it and left before it answered.
        const QUuid id = result.id;
        if (std::none_of(store.items().cbegin(), store.items().cend(), [&id](const TestResult &r) { return r.id == id; })) {
            store.add(result);
            why = store.saveError();
        }
    }
    m_lock.reset(); // released
    return {why.isEmpty() ? Saved::Kind::saved : Saved::Kind::failed, why};
}

// Until this process holds the lock, or its holder answers the request.
SingleInstance::Contest SingleInstance::contend(const QByteArray &request, const std::function<bool()> &interrupted)
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    m_lock = std::make_unique<QLockFile>(lockPath());
    // Held for as long as the window runs, also where the file system has
    // no native locks to back it: only a dead holder makes it stale.
    m_lock->setStaleLockTime(0);
    QByteArray holder = holderKey();
    QDeadlineTimer deadline(patience);
    for (;;) {
        if (m_lock->tryLock(0))
            return {Contest::Outcome::locked, {}};
        if (m_lock->error() != QLockFile::LockFailedError)
            return {Contest::Outcome::noLock, {}};
        // An empty reply: the holder closed without one (it is leaving) or
        // stayed silent until the deadline.
        if (const auto reply = ask(request, deadline, interrupted); reply && !reply->isEmpty())
            return {Contest::Outcome::answered, *reply};
        if (const QByteArray now = holderKey(); now != holder) {
            holder = now;
            deadline.setRemainingTime(patience);
        } else if (deadline.hasExpired()) {
            m_lastHolder = this->holder();
            return {Contest::Outcome::noAnswer, {}};
        }
        if (interrupted && interrupted())
            return {Contest::Outcome::interrupted, {}};
        QThread::msleep(50);
    }
}

// Nothing when no process of ours listens; else the reply line.
std::optional<QByteArray> SingleInstance::ask(const QByteArray &request, const QDeadlineTimer &deadline,
                                              const std::function<bool()> &interrupted) const
{
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(socketName());
    if (!socket.waitForConnected(1000) || !peerIsUs(socket.socketDescriptor()))
        return std::nullopt;
    socket.write(request + '\n');
    // The holder may be busy, loading a long history before it reads.
    while (!socket.canReadLine() && !deadline.hasExpired() && !(interrupted && interrupted())
           && (socket.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 100)))
               || socket.state() == QLocalSocket::ConnectedState)) {
    }
    return socket.canReadLine() ? socket.readLine(maxLine).trimmed() : QByteArray();
}

// Changes whenever the lock changes hands: a new lock file each time.
QByteArray SingleInstance::holderKey() const
{
    struct stat info {};
    if (::stat(QFile::encodeName(lockPath()).constData(), &info) != 0)
        return {};
    return QByteArray::number(qulonglong(info.st_ino)) + ' ' + QByteArray::number(qlonglong(info.st_mtim.tv_sec)) + '.'
        + QByteArray::number(qlonglong(info.st_mtim.tv_nsec));
}

QString SingleInstance::holder() const
{
    qint64 pid = 0;
    QString host, program;
    if (!m_lock || !m_lock->getLockInfo(&pid, &host, &program))
        return tr("another program");
    QString who = tr("%1 (process %2)").arg(program.isEmpty() ? tr("a program") : program).arg(pid);
    if (!host.isEmpty() && host != QSysInfo::machineHostName())
        who += tr(" on %1").arg(host);
    return who;
}

void SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    // Fails only where a process of another user took the name first; its
    // answers are never believed, and saves then wait for our lock.
    m_server->listen(socketName());
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            if (!peerIsUs(socket->socketDescriptor())) {
                socket->abort();
                continue;
            }
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { answer(socket); });
            // A peer that never finishes its line is not kept.
            QTimer::singleShot(5000, socket, [socket] { socket->abort(); });
        }
    });
}

void SingleInstance::answer(QLocalSocket *socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > maxLine)
            socket->abort();
        return;
    }
    const QByteArray line = socket->readLine(maxLine).trimmed();
    QString why;
    if (line == "show" || line.startsWith("show "))
        emit activationRequested(QString::fromUtf8(line.mid(5)));
    else if (line.startsWith("save "))
        why = saveHandedOver(line.mid(5));
    else
        why = tr("unknown request");
    socket->write((why.isEmpty() ? QByteArray("ok") : "error " + oneLine(why)) + '\n');
    // Out now, whatever keeps this thread busy next.
    socket->flush();
    socket->disconnectFromServer();
}

QString SingleInstance::saveHandedOver(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    const auto result = document.isObject() ? ResultCodec::decode(document.object()) : std::nullopt;
    if (!result)
        return tr("the window could not read the result it was handed");
    if (!m_save)
        return tr("the window does not keep results");
    return m_save(*result);
}
