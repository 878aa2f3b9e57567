#include "historystore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <cerrno>
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
// someone else between our check and the rename.
Rename renameNoReplace(const QString &from, const QString &to)
{
#ifdef Q_OS_UNIX
    const QByteArray src = QFile::encodeName(from);
    const QByteArray dst = QFile::encodeName(to);
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, src.constData(), AT_FDCWD, dst.constData(), RENAME_NOREPLACE) == 0)
        return Rename::Done;
    if (errno == EEXIST)
        return Rename::TargetExists;
    if (errno != EINVAL && errno != ENOSYS) // EINVAL: the file system lacks the flag
        return Rename::Failed;
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
    return QFile::rename(from, to) ? Rename::Done : Rename::Failed;
}

// Makes the rename that replaced the file survive a power cut.
void syncDirectoryOf(const QString &path)
{
#ifdef Q_OS_UNIX
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(path);
#endif
}

} // namespace

HistoryStore::HistoryStore(QObject *parent)
    : HistoryStore(defaultPath(), parent)
{
}

HistoryStore::HistoryStore(const QString &filePath, QObject *parent)
    : QObject(parent)
    , m_path(filePath)
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

void HistoryStore::remove(const TestResult &result)
{
    const QUuid id = result.id;
    m_items.removeIf([&id](const TestResult &r) { return r.id == id; });
    save();
    emit itemsChanged();
}

void HistoryStore::clear()
{
    m_items.clear();
    save();
    emit itemsChanged();
}

void HistoryStore::load()
{
    const QFileInfo info(m_path);
    if (!info.exists())
        return;
    // Anything but a regular file (a directory, a pipe that would block us)
    // is not ours to read or to replace.
    if (!info.isFile()) {
        m_unreadableOnDisk = true;
        return;
    }
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_unreadableOnDisk = true;
        return;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_unreadableOnDisk = true;
        return;
    }
    // An empty file holds no records, so there is nothing to keep.
    if (bytes.isEmpty())
        return;

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray()) {
        m_unreadableOnDisk = true;
        return;
    }
    const QJsonArray array = document.array();
    QList<TestResult> loaded;
    loaded.reserve(array.size());
    for (const QJsonValue &value : array) {
        const auto result = value.isObject() ? ResultCodec::decode(value.toObject()) : std::nullopt;
        if (!result) {
            m_unreadableOnDisk = true;
            return;
        }
        loaded.append(*result);
    }
    m_items = std::move(loaded);
}

void HistoryStore::save()
{
    const auto encoded = ResultCodec::encodeArray(m_items);
    if (!encoded)
        return;
    const QByteArray &bytes = *encoded;

    if (m_unreadableOnDisk) {
        if (!moveAsideUnreadable())
            return;
        m_unreadableOnDisk = false;
    }

    QSaveFile out(m_path);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
        return;
    // Small writes only reach the buffer; commit() would ignore a failing
    // final flush (full disk, size limit) and rename a truncated file over
    // the good one (QTBUG-75077), so flush and check first. On failure the
    // destructor discards the temporary file.
    if (out.write(bytes) != bytes.size() || !out.flush() || out.error() != QFileDevice::NoError)
        return;
    // commit() syncs the new file to disk before renaming it over the old one.
    if (out.commit())
        syncDirectoryOf(m_path);
}

bool HistoryStore::moveAsideUnreadable()
{
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString base = m_path + QStringLiteral(".unreadable-") + stamp;
    for (int n = 1; n <= 1000; ++n) {
        const QString candidate = n == 1 ? base : base + QLatin1Char('-') + QString::number(n);
        switch (renameNoReplace(m_path, candidate)) {
        case Rename::Done:
            return true;
        case Rename::TargetExists:
            continue;
        case Rename::Failed:
            // Gone since we loaded it: nothing left to protect.
            return !existsOrDangling(m_path);
        }
    }
    return false;
}
