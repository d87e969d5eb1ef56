#include "savefile.h"

#include "interface/unixfile.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A FIFO whose reader stops reading would hold the program for ever.
constexpr int StallMs = 2000;

std::optional<QString> replaceAtomically(const QString &path, QByteArrayView bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes.data(), bytes.size()) != bytes.size()
        || !file.commit())
        return file.errorString();
    return std::nullopt;
}

// Into a FIFO or a character device as it stands: no O_CREAT, no O_TRUNC.
// Non-blocking, so that a FIFO without a reader is told rather than waited on.
std::optional<QString> writeInto(const QByteArray &name, QByteArrayView bytes, bool fifo)
{
    const UniqueFd fd(::open(name.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.isValid()) {
        if (fifo && errno == ENXIO)
            return QStringLiteral("No program is reading from the FIFO");
        return systemReason(errno);
    }
    // Whatever took the name since it was looked at is not written over.
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0)
        return systemReason(errno);
    if (!S_ISFIFO(opened.st_mode) && !S_ISCHR(opened.st_mode))
        return QStringLiteral("It changed while it was being saved to");
    QElapsedTimer stalled;
    stalled.start();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            stalled.restart();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return systemReason(errno);
        const qint64 left = StallMs - stalled.elapsed();
        if (left <= 0)
            return QStringLiteral("Nothing was read from it for %1 seconds").arg(StallMs / 1000);
        pollfd wait{fd.get(), POLLOUT, 0};
        if (::poll(&wait, 1, int(left)) < 0 && errno != EINTR)
            return systemReason(errno);
    }
    return std::nullopt;
}
} // namespace

std::optional<QString> saveFile(const QString &path, QByteArrayView bytes)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat target {};
    // Through symbolic links: a link to a FIFO or a device is written into.
    if (::stat(name.constData(), &target) != 0) {
        if (errno == ENOENT)
            return replaceAtomically(path, bytes);
        return systemReason(errno);
    }
    if (S_ISREG(target.st_mode))
        return replaceAtomically(path, bytes);
    if (S_ISFIFO(target.st_mode) || S_ISCHR(target.st_mode))
        return writeInto(name, bytes, S_ISFIFO(target.st_mode));
    const QString kind = S_ISDIR(target.st_mode)    ? QStringLiteral("a folder")
                         : S_ISSOCK(target.st_mode) ? QStringLiteral("a socket")
                         : S_ISBLK(target.st_mode)  ? QStringLiteral("a block device")
                                                    : QStringLiteral("not a file");
    return QStringLiteral("It is %1; only a file, a FIFO or a character device can be saved to")
            .arg(kind);
}
