#include "historystore.h"

#include "atomicfile.h"

#include <algorithm>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cerrno>
#include <new>

#ifdef Q_OS_UNIX
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

bool existsOrDangling(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

enum class Rename { Done, TargetExists, Failed };

// Renames without ever replacing an existing target, even one created by
// someone else between our check and the rename. On failure, *why says so.
Rename renameNoReplace(const QString &from, const QString &to, QString *why)
{
#ifdef Q_OS_UNIX
    const QByteArray src = QFile::encodeName(from);
    const QByteArray dst = QFile::encodeName(to);
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, src.constData(), AT_FDCWD, dst.constData(), RENAME_NOREPLACE) == 0)
        return Rename::Done;
    if (errno == EEXIST)
        return Rename::TargetExists;
    if (errno != EINVAL && errno != ENOSYS) { // EINVAL: the file system lacks the flag
        *why = qt_error_string(errno);
        return Rename::Failed;
    }
#endif
    // link() refuses to replace too; unlink failing only leaves a second name.
    if (::link(src.constData(), dst.constData()) == 0) {
        ::unlink(src.constData());
        return Rename::Done;
    }
    if (errno == EEXIST)
        return Rename::TargetExists;
#endif
    if (existsOrDangling(to))
        return Rename::TargetExists;
    QFile file(from);
    if (file.rename(to))
        return Rename::Done;
    *why = file.errorString();
    return Rename::Failed;
}

} // namespace

HistoryStore::HistoryStore(QObject *parent)
    : HistoryStore(defaultPath(), defaultMaxFileSize, parent)
{
}

HistoryStore::HistoryStore(const QString &filePath, qint64 maxFileSize, QObject *parent)
    : QObject(parent)
    , m_path(filePath)
    , m_maxFileSize(maxFileSize)
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    load();
}

QString HistoryStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Quorvel/history.json");
}

void HistoryStore::add(const TestResult &result)
{
    m_items.prepend(result);
    save();
    emit itemsChanged();
}

QList<HistoryStore::Removed> HistoryStore::remove(const TestResult &result)
{
    QList<Removed> removed;
    const qsizetype n = m_items.size();
    for (qsizetype i = 0; i < n; ++i)
        if (m_items[i].id == result.id)
            removed.append({n - 1 - i, m_items[i]});
    const QUuid id = result.id;
    m_items.removeIf([&id](const TestResult &r) { return r.id == id; });
    save();
    emit itemsChanged();
    return removed;
}

QList<HistoryStore::Removed> HistoryStore::clear()
{
    QList<Removed> removed;
    removed.reserve(m_items.size());
    for (qsizetype i = 0; i < m_items.size(); ++i)
        removed.append({m_items.size() - 1 - i, m_items[i]});
    m_items.clear();
    save();
    emit itemsChanged();
    return removed;
}

void HistoryStore::restore(const QList<Removed> &removed)
{
    // The oldest first: everything older than a record is back in place
    // before it goes in.
    QList<Removed> order = removed;
    std::stable_sort(order.begin(), order.end(),
                     [](const Removed &a, const Removed &b) { return a.olderCount < b.olderCount; });
    for (const Removed &r : order)
        m_items.insert(std::clamp(m_items.size() - r.olderCount, qsizetype(0), m_items.size()), r.result);
    save();
    emit itemsChanged();
}

HistoryStore::OnDisk HistoryStore::read(QList<TestResult> &into) const
{
    const QFileInfo info(m_path);
    if (!info.exists())
        return OnDisk::nothing;
    // Anything but a regular file (a directory, a pipe that would block us)
    // is not ours to read or to replace.
    if (!info.isFile())
        return OnDisk::unreadable;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return OnDisk::unreadable;
    // Checked on the open file, and never read past: a file that grew since
    // reads as cut short, so as unreadable.
    const qint64 size = file.size();
    if (size > m_maxFileSize)
        return OnDisk::unreadable;
    try {
        const QByteArray bytes = file.read(size);
        if (file.error() != QFileDevice::NoError)
            return OnDisk::unreadable;
        // An empty file holds no records, so there is nothing to keep.
        if (bytes.isEmpty())
            return OnDisk::history;

        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
        if (error.error != QJsonParseError::NoError || !document.isArray())
            return OnDisk::unreadable;
        const QJsonArray array = document.array();
        QList<TestResult> loaded;
        loaded.reserve(array.size());
        for (const QJsonValue &value : array) {
            const auto result = value.isObject() ? ResultCodec::decode(value.toObject()) : std::nullopt;
            if (!result)
                return OnDisk::unreadable;
            loaded.append(*result);
        }
        into = std::move(loaded);
        return OnDisk::history;
    } catch (const std::bad_alloc &) {
        // Too big for the memory at hand: kept aside like any file we
        // cannot read, rather than ending the program.
        return OnDisk::unreadable;
    }
}

void HistoryStore::load()
{
    const OnDisk found = read(m_items);
    m_unreadableOnDisk = found == OnDisk::unreadable;
    m_fileKnown = found != OnDisk::nothing;
}

void HistoryStore::save()
{
    const QString error = write();
    if (error != m_saveError) {
        m_saveError = error;
        emit saveErrorChanged();
    }
}

// Returns why the list could not be written, or nothing.
QString HistoryStore::write()
{
    // Behind a link to a folder that was not mounted when we loaded, a
    // history may have appeared since: its records join ours.
    if (!m_fileKnown) {
        QList<TestResult> appeared;
        const OnDisk found = read(appeared);
        m_items.append(appeared);
        m_unreadableOnDisk = found == OnDisk::unreadable;
        m_fileKnown = found != OnDisk::nothing;
    }

    std::optional<QByteArray> encoded;
    try {
        encoded = ResultCodec::encodeArray(m_items);
    } catch (const std::bad_alloc &) {
        return tr("there is not enough memory");
    }
    if (!encoded)
        return tr("a result holds a number or a date that can't be written");
    const QByteArray &bytes = *encoded;
    if (bytes.size() > m_maxFileSize)
        return tr("it has grown past %1 MiB, more than can be read back").arg(m_maxFileSize >> 20);

    if (m_unreadableOnDisk) {
        const QString error = moveAsideUnreadable();
        if (!error.isEmpty())
            return error;
        m_unreadableOnDisk = false;
        m_fileKnown = false;
    }

    // Our folder, if someone removed it while we ran; a link's target folder
    // is the user's to bring back (it may be a drive not mounted).
    if (!QFileInfo(m_path).isSymLink())
        QDir().mkpath(QFileInfo(m_path).absolutePath());
    if (const QString error = writeFileAtomically(m_path, bytes); !error.isEmpty())
        return describeFailure(error);
    m_fileKnown = true;
    return {};
}

QString HistoryStore::describeFailure(const QString &error) const
{
    const QFileInfo info(m_path);
    // Left as it is: the folder it points into may just not be mounted.
    if (info.isSymLink() && !info.exists() && !QFileInfo(QFileInfo(info.symLinkTarget()).absolutePath()).isDir())
        return tr("%1 is a link to %2, whose folder can't be found")
            .arg(QDir::toNativeSeparators(m_path), QDir::toNativeSeparators(info.symLinkTarget()));
    return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(m_path), error);
}

QString HistoryStore::moveAsideUnreadable()
{
    // Behind a link the linked file goes aside, beside itself, and the link
    // stays: the next write goes through it.
    const QString file = QFileInfo(m_path).canonicalFilePath();
    if (file.isEmpty()) // gone since we loaded it: nothing left to protect
        return {};
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString base = file + QStringLiteral(".unreadable-") + stamp;
    QString why;
    for (int n = 1; n <= 1000; ++n) {
        const QString candidate = n == 1 ? base : base + QLatin1Char('-') + QString::number(n);
        switch (renameNoReplace(file, candidate, &why)) {
        case Rename::Done:
            return {};
        case Rename::TargetExists:
            continue;
        case Rename::Failed:
            if (!existsOrDangling(file))
                return {};
            return tr("%1 can't be read as history and can't be moved aside (%2)")
                .arg(QDir::toNativeSeparators(m_path), why);
        }
    }
    return tr("%1 can't be read as history and every name to move it aside to is taken")
        .arg(QDir::toNativeSeparators(m_path));
}
