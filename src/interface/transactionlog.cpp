#include "transactionlog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

int openForAppending(const QByteArray &name)
{
    return ::open(name.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
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
    const QByteArray name = path.toLatin1();
    if (name.isEmpty()) {
        m_error = systemReason(ENOENT);
        return false;
    }
    m_fd = openForAppending(name);
    if (m_fd < 0) {
        m_error = systemReason(errno);
        return false;
    }
    m_error.clear();
    return true;
}

void TransactionLog::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool TransactionLog::writeLine(QByteArrayView message)
{
    if (m_fd < 0) {
        m_error = QStringLiteral("The logfile is not open.");
        return false;
    }
    static const char lineEnd[] = "\r\n";
    iovec parts[2] = {{const_cast<char *>(message.data()), size_t(message.size())},
                      {const_cast<char *>(lineEnd), 2}};
    int first = 0;
    // A short write (a signal, a nearly full disk) goes on where it stopped.
    while (first < 2) {
        const ssize_t written = ::writev(m_fd, parts + first, 2 - first);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            m_error = systemReason(errno);
            return false;
        }
        if (written == 0) {
            m_error = systemReason(EIO);
            return false;
        }
        size_t left = size_t(written);
        while (first < 2 && left >= parts[first].iov_len) {
            left -= parts[first].iov_len;
            ++first;
        }
        if (first < 2) {
            parts[first].iov_base = static_cast<char *>(parts[first].iov_base) + left;
            parts[first].iov_len -= left;
        }
    }
    return true;
}

bool TransactionLog::reopenIfDeleted(QByteArrayView lastLine)
{
    struct stat status;
    if (m_fd < 0 || ::fstat(m_fd, &status) != 0 || status.st_nlink != 0)
        return true;
    const int fd = openForAppending(m_path.toLatin1());
    if (fd < 0) {
        m_error = systemReason(errno);
        return false;
    }
    ::close(m_fd);
    m_fd = fd;
    return writeLine(lastLine);
}
