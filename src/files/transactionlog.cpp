#include "transactionlog.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
// A FIFO without a reader would hold open() and a full one every write;
// O_NONBLOCK turns both into errors.
int openForAppending(const QByteArray &name)
{
    return ::open(name.constData(),
                  O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
}
} // namespace

TransactionLog::~TransactionLog()
{
    close();
}

bool TransactionLog::open(const QString &path)
{
    close();
    m_path = path;
    m_name = path.toLatin1();
    if (m_name.isEmpty()) {
        m_error = systemReason(ENOENT);
        return false;
    }
    if (!openDescriptor())
        return false;
    m_open = true;
    m_error.clear();
    return true;
}

void TransactionLog::close()
{
    closeDescriptor();
    m_open = false;
}

bool TransactionLog::openDescriptor()
{
    UniqueFd fd(openForAppending(m_name));
    struct stat status;
    if (!fd.isValid() || ::fstat(fd.get(), &status) != 0) {
        m_error = systemReason(errno);
        return false;
    }
    // A pipe or socket could stall the answers or end the program (SIGPIPE).
    if (!S_ISREG(status.st_mode) && !S_ISCHR(status.st_mode)) {
        m_error = QStringLiteral("It is neither a regular file nor a character device.");
        return false;
    }
    m_fd = std::move(fd);
    m_regular = S_ISREG(status.st_mode);
    m_device = status.st_dev;
    m_inode = status.st_ino;
    return true;
}

void TransactionLog::closeDescriptor()
{
    m_fd.reset();
    m_unchecked.clear();
}

bool TransactionLog::writeLine(const QByteArray &message)
{
    return writePiece({message, true});
}

bool TransactionLog::writeLinePart(const QByteArray &bytes)
{
    return writePiece({bytes, false});
}

bool TransactionLog::writePiece(Piece piece)
{
    if (!m_open) {
        m_error = QStringLiteral("The logfile is not open.");
        return false;
    }
    // Nothing overtakes a line still waiting.
    if (!writePending() || !writeWhole(piece)) {
        m_pending.push_back(std::move(piece));
        return false;
    }
    m_unchecked.push_back(std::move(piece));
    return true;
}

bool TransactionLog::writePending()
{
    if (m_pending.empty())
        return true;
    if (!m_open) {
        m_error = QStringLiteral("The logfile is not open.");
        return false;
    }
    while (!m_pending.empty()) {
        if (!writeWhole(m_pending.front()))
            return false;
        m_unchecked.push_back(std::move(m_pending.front()));
        m_pending.pop_front();
    }
    return true;
}

bool TransactionLog::writeWhole(const Piece &piece)
{
    const QByteArray &message = piece.bytes;
    // A log made again or rotated away may still want its descriptor.
    if (!m_fd.isValid() && !openDescriptor())
        return false;
    static const char lineEnd[] = "\r\n";
    iovec parts[2] = {{const_cast<char *>(message.data()), size_t(message.size())},
                      {const_cast<char *>(lineEnd), 2}};
    const int count = piece.endsLine ? 2 : 1;
    if (count == 1 && message.isEmpty())
        return true;
    int first = 0;
    size_t done = 0;
    // A short write (a signal, a nearly full disk) goes on where it stopped.
    while (first < count) {
        const ssize_t written = ::writev(m_fd.get(), parts + first, count - first);
        if (written <= 0) {
            const int error = written < 0 ? errno : EIO;
            if (error == EINTR)
                continue;
            cutBack(done);
            m_error = systemReason(error);
            return false;
        }
        done += size_t(written);
        size_t left = size_t(written);
        while (first < count && left >= parts[first].iov_len) {
            left -= parts[first].iov_len;
            ++first;
        }
        if (first < count) {
            parts[first].iov_base = static_cast<char *>(parts[first].iov_base) + left;
            parts[first].iov_len -= left;
        }
    }
    return true;
}

void TransactionLog::cutBack(size_t written)
{
    // Only on failure: appending leaves the offset at the end of what this
    // line wrote, so the length before it needs no call on the normal path.
    if (written == 0 || !m_regular)
        return;
    const off_t end = ::lseek(m_fd.get(), 0, SEEK_CUR);
    if (end >= off_t(written))
        // Best effort; a (void) cast does not quiet a fortified build.
        [[maybe_unused]] const int cut = ::ftruncate(m_fd.get(), end - off_t(written));
}

bool TransactionLog::followLocation()
{
    if (!m_fd.isValid())
        return true;
    struct stat now;
    if (::stat(m_name.constData(), &now) == 0) {
        if (now.st_dev == m_device && now.st_ino == m_inode) {
            m_unchecked.clear();
            return true;
        }
    } else if (errno != ENOENT && errno != ENOTDIR) {
        // The location cannot be looked at just now: the open file stays.
        m_unchecked.clear();
        return true;
    }
    // Gone from its location. Lines in a deleted file are out of sight and
    // go again; a renamed one (rotation) keeps them whole.
    struct stat open;
    const bool deleted = ::fstat(m_fd.get(), &open) == 0 && open.st_nlink == 0;
    if (deleted)
        m_pending.insert(m_pending.begin(), std::make_move_iterator(m_unchecked.begin()),
                         std::make_move_iterator(m_unchecked.end()));
    closeDescriptor();
    if (!openDescriptor())
        return false;
    return writePending();
}
