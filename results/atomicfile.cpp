#include "atomicfile.h"

#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

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

QString writeFileAtomically(const QString &path, const QByteArray &bytes)
{
    QSaveFile out(path);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
        return out.errorString();
    // Small writes only reach the buffer; commit() would ignore a failing
    // final flush (full disk, size limit) and rename a truncated file over
    // the good one (QTBUG-75077), so flush and check first. On failure the
    // destructor discards the temporary file.
    errno = 0;
    if (out.write(bytes) != bytes.size() || !out.flush() || out.error() != QFileDevice::NoError) {
        // Qt says "Unknown error" for a failed flush; the system knows why.
        const int error = errno;
        return error ? qt_error_string(error) : out.errorString();
    }
    // commit() syncs the new file to disk before renaming it over the old one.
    if (!out.commit())
        return out.errorString();
    syncDirectoryOf(path);
    return {};
}
