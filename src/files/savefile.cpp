#include "savefile.h"

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
// What is gathered before it goes into a FIFO or a device: a pipe's worth.
constexpr qsizetype PieceBytes = 64 * 1024;

QString refusal(mode_t mode)
{
    const QString kind = S_ISDIR(mode)    ? QStringLiteral("a folder")
                         : S_ISSOCK(mode) ? QStringLiteral("a socket")
                         : S_ISBLK(mode)  ? QStringLiteral("a block device")
                                          : QStringLiteral("not a file");
    return QStringLiteral("It is %1; only a file, a FIFO or a character device can be saved to").arg(kind);
}

// All of `bytes` into the file being replaced. It is unbuffered, so that a
// failed write keeps the system's reason (a full disk), which Qt's buffer
// loses; a short write goes on, and the next one says why it stopped.
std::optional<QString> writeAll(QSaveFile &file, QByteArrayView bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const qint64 n = file.write(bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return file.errorString();
        done += n;
    }
    return std::nullopt;
}

// All of `bytes` into a non-blocking descriptor, waiting while its reader
// reads, giving up once nothing has been read for StallMs.
std::optional<QString> writeAll(int fd, QByteArrayView bytes)
{
    QElapsedTimer stalled;
    stalled.start();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, size_t(bytes.size() - done));
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
        pollfd wait{fd, POLLOUT, 0};
        if (::poll(&wait, 1, int(left)) < 0 && errno != EINTR)
            return systemReason(errno);
    }
    return std::nullopt;
}
} // namespace

SaveStream::SaveStream(const QString &path)
{
    m_pending.reserve(PieceBytes);
    const QByteArray name = QFile::encodeName(path);
    struct stat target {};
    // Through symbolic links: a link to a FIFO or a device is written into.
    const bool missing = ::stat(name.constData(), &target) != 0;
    if (missing && errno != ENOENT) {
        m_failure = systemReason(errno);
    } else if (missing || S_ISREG(target.st_mode)) {
        m_file = std::make_unique<QSaveFile>(path);
        if (!m_file->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            m_failure = m_file->errorString();
    } else if (S_ISFIFO(target.st_mode) || S_ISCHR(target.st_mode)) {
        openInto(name, S_ISFIFO(target.st_mode));
    } else {
        m_failure = refusal(target.st_mode);
    }
}

SaveStream::~SaveStream() = default;

// As it stands: no O_CREAT, no O_TRUNC. Non-blocking, so that a FIFO
// without a reader is told rather than waited on.
void SaveStream::openInto(const QByteArray &name, bool fifo)
{
    m_fd = UniqueFd(::open(name.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!m_fd.isValid()) {
        m_failure = fifo && errno == ENXIO ? QStringLiteral("No program is reading from the FIFO")
                                           : systemReason(errno);
        return;
    }
    // Whatever took the name since it was looked at is not written over.
    struct stat opened {};
    if (::fstat(m_fd.get(), &opened) != 0)
        m_failure = systemReason(errno);
    else if (!S_ISFIFO(opened.st_mode) && !S_ISCHR(opened.st_mode))
        m_failure = QStringLiteral("It changed while it was being saved to");
}

bool SaveStream::write(QByteArrayView bytes)
{
    if (m_failure)
        return false;
    if (m_pending.size() + bytes.size() > PieceBytes && !flush())
        return false;
    if (bytes.size() >= PieceBytes) {
        if (auto failure = writeOut(bytes))
            m_failure = std::move(failure);
        return !m_failure;
    }
    m_pending.append(bytes);
    return true;
}

std::optional<QString> SaveStream::writeOut(QByteArrayView bytes)
{
    return m_file ? writeAll(*m_file, bytes) : writeAll(m_fd.get(), bytes);
}

bool SaveStream::flush()
{
    if (auto failure = writeOut(m_pending))
        m_failure = std::move(failure);
    m_pending.clear();
    return !m_failure;
}

std::optional<QString> SaveStream::commit()
{
    if (m_failure || !flush())
        return m_failure;
    if (m_file && !m_file->commit())
        m_failure = m_file->errorString();
    return m_failure;
}

std::optional<QString> saveFile(const QString &path, QByteArrayView bytes)
{
    SaveStream stream(path);
    stream.write(bytes);
    return stream.commit();
}
