#include "testbase.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace {
sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

bool wouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// One turn of the event loop, then a short wait on the test's own socket.
void pump(int fd, short events)
{
    QCoreApplication::processEvents();
    pollfd p{fd, events, 0};
    ::poll(&p, 1, 1);
}
} // namespace

bool LoopbackClient::failed()
{
    m_error = errno;
    close();
    return false;
}

bool LoopbackClient::fresh(int receiveBuffer, bool ipv6)
{
    close();
    m_error = 0;
    m_fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return failed();
    if (receiveBuffer > 0
        && ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0)
        return failed();
    return true;
}

bool LoopbackClient::connectTo(quint16 port)
{
    return connectWithReceiveBuffer(port, 0);
}

bool LoopbackClient::connectWithReceiveBuffer(quint16 port, int bytes)
{
    const sockaddr_in address = loopback(port);
    // A listener's backlog completes the handshake without its event loop.
    return fresh(bytes)
           && (::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 || failed());
}

bool LoopbackClient::connectToIPv6Loopback(quint16 port)
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(port);
    return fresh(0, true)
           && (::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 || failed());
}

quint16 LoopbackClient::localPort() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

quint16 LoopbackClient::listenOnLoopback()
{
    const int on = 1;
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (!fresh() || ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::listen(m_fd, 4) != 0
        || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        failed();
        return 0;
    }
    return ntohs(address.sin_port);
}

bool LoopbackClient::bindWithoutReuse(quint16 port)
{
    const sockaddr_in address = loopback(port);
    return fresh()
           && (::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 || failed());
}

bool LoopbackClient::setNoDelay()
{
    const int on = 1;
    return m_fd >= 0 && ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool LoopbackClient::send(QByteArrayView bytes)
{
    for (qsizetype at = 0; at < bytes.size();) {
        const ssize_t n = ::send(m_fd, bytes.data() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR)
            return false;
        at += qMax<ssize_t>(n, 0);
    }
    return true;
}

bool LoopbackClient::sendUrgent(char byte)
{
    return ::send(m_fd, &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1;
}

bool LoopbackClient::sendPumping(QByteArrayView bytes, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (qsizetype at = 0; at < bytes.size();) {
        const ssize_t n = ::send(m_fd, bytes.data() + at, size_t(bytes.size() - at),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            at += n;
        else if (!wouldBlock(errno) || deadline.hasExpired())
            return false;
        else
            pump(m_fd, POLLOUT);
    }
    return true;
}

QByteArray LoopbackClient::receive(qsizetype count, int timeoutMs)
{
    QByteArray got;
    QDeadlineTimer deadline(timeoutMs);
    char buffer[65536];
    while (got.size() < count) {
        const ssize_t n = ::recv(m_fd, buffer, size_t(qMin<qsizetype>(sizeof buffer, count - got.size())),
                                 MSG_DONTWAIT);
        if (n > 0)
            got.append(buffer, n);
        else if (n == 0 || !wouldBlock(errno) || deadline.hasExpired())
            break;
        else
            pump(m_fd, POLLIN);
    }
    return got;
}

QByteArray LoopbackClient::receiveWaiting()
{
    QByteArray got;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        got.append(buffer, n);
    return got;
}

bool LoopbackClient::exchange(QByteArrayView message, qsizetype answerSize)
{
    return send(message) && receive(answerSize).size() == answerSize && nothingMoreWaiting();
}

bool LoopbackClient::nothingMoreWaiting()
{
    QCoreApplication::processEvents();
    return receiveWaiting().isEmpty();
}

int LoopbackClient::waitForEnd(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    char buffer[4096];
    while (!deadline.hasExpired()) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0)
            return 0;
        if (n < 0 && !wouldBlock(errno))
            return errno;
        if (n < 0)
            pump(m_fd, POLLIN);
    }
    return -1;
}

bool LoopbackClient::waitDelivered(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    int unacknowledged = 0;
    while (::ioctl(m_fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0 && !deadline.hasExpired())
        ::poll(nullptr, 0, 1);
    return unacknowledged == 0;
}

void LoopbackClient::finishSending()
{
    ::shutdown(m_fd, SHUT_WR);
}

void LoopbackClient::reset()
{
    if (m_fd < 0)
        return;
    const linger abortive{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close();
}

void LoopbackClient::close()
{
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

quint16 freePort()
{
    return LoopbackClient().listenOnLoopback();
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // One pass: a timer that is always due would keep a timed pass busy.
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        // Sockets on loopback answer in microseconds; a short nap keeps
        // this loop from taking a whole core from the kernel's side.
        ::usleep(20);
    }
    return true;
}

int openDescriptorCount()
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    // The directory's own descriptor is counted too, the same every time.
    int count = 0;
    while (const dirent *entry = ::readdir(dir))
        count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

int cutOpenFilesIn(const QString &folder)
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    const QByteArray prefix = QFile::encodeName(folder) + '/';
    int cut = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray link = QByteArray("/proc/self/fd/") + entry->d_name;
        char target[4096];
        const ssize_t n = ::readlink(link.constData(), target, sizeof target);
        if (n > 0 && QByteArrayView(target, n).startsWith(prefix) && ::ftruncate(std::atoi(entry->d_name), 0) == 0)
            ++cut;
    }
    ::closedir(dir);
    return cut;
}

QByteArray byteValues(int first)
{
    QByteArray bytes;
    for (int value = first; value < 256; ++value)
        bytes += char(value);
    return bytes;
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(generator.generate());
    return bytes;
}

OrdinaryUser::OrdinaryUser(const QStringList &paths)
{
    constexpr uid_t Nobody = 65534;
    if (::geteuid() != 0) {
        m_ordinary = true;
        return;
    }
    for (const QString &path : paths)
        if (::chown(QFile::encodeName(path).constData(), Nobody, Nobody) != 0)
            return;
    if (::setresgid(Nobody, Nobody, 0) != 0)
        return;
    if (::setresuid(Nobody, Nobody, 0) != 0) {
        if (::setresgid(0, 0, 0) != 0)
            qFatal("cannot take root's group again");
        return;
    }
    m_switched = m_ordinary = true;
}

OrdinaryUser::~OrdinaryUser()
{
    // The uid first: only root may set the gid back.
    if (m_switched && (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0))
        qFatal("cannot become root again");
}

QByteArray framed(const QByteArray &message)
{
    return '\x0b' + message + "\x1c\r";
}

QByteArray AckTexts::with(QByteArrayView stamp) const
{
    return "\x0bMSH" + before + stamp.toByteArray() + after + "\rMSA" + msa + "\r\x1c\r";
}

bool isAck(QByteArrayView ack, const QDateTime &from, const QDateTime &to, const AckTexts &texts)
{
    if (ack.size() != texts.size())
        return false;
    const QByteArrayView stamp = ack.sliced(4 + texts.before.size(), 12);
    for (const char c : stamp)
        if (c < '0' || c > '9')
            return false;
    if (ack != texts.with(stamp))
        return false;
    // A real minute, from the minute of `from` to that of `to`: a long run
    // may cross more than one.
    const QDateTime at = QDateTime::fromString(QString::fromLatin1(stamp), QStringLiteral("yyyyMMddHHmm"));
    const auto minuteOf = [](const QDateTime &t) {
        return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
    };
    return at.isValid() && minuteOf(from) <= at && at <= minuteOf(to);
}

bool receivesAck(LoopbackClient &client, const QDateTime &from, const AckTexts &texts)
{
    const QByteArray ack = client.receive(texts.size());
    return isAck(ack, from, QDateTime::currentDateTime(), texts) && client.nothingMoreWaiting();
}

ProgramFolder::ProgramFolder(const QString &folder)
    : m_programDir(folder.isEmpty() ? m_dir.path() : m_dir.filePath(folder)),
      m_port(freePort()),
      m_previousDir(QDir::currentPath()),
      m_previousCache(qgetenv("XDG_CACHE_HOME"))
{
    if (!m_dir.isValid() || !QDir().mkpath(m_programDir) || m_port == 0)
        qFatal("cannot make the test program's folder or find a free port");
    QDir::setCurrent(m_programDir);
    // The received messages' spill file goes into the test's own folder.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path(QStringLiteral("cache"))));
}

ProgramFolder::~ProgramFolder()
{
    // A log named by hostile settings may hold bytes that are no valid name in
    // the locale's encoding, which the temporary folder's clean-up cannot
    // remove: such files go here, by their bytes.
    if (DIR *folder = ::opendir(QFile::encodeName(dir()).constData())) {
        while (const dirent *entry = ::readdir(folder))
            if (entry->d_type == DT_REG)
                ::unlinkat(::dirfd(folder), entry->d_name, 0);
        ::closedir(folder);
    }
    QDir::setCurrent(m_previousDir);
    if (m_previousCache.isEmpty())
        qunsetenv("XDG_CACHE_HOME");
    else
        qputenv("XDG_CACHE_HOME", m_previousCache);
}

QByteArray ProgramFolder::readFile(const QString &name) const
{
    QFile file(path(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool sendInPieces(LoopbackClient &client, QByteArrayView bytes, int pieceSize)
{
    QRandomGenerator pieces(7);
    for (qsizetype at = 0; at < bytes.size();) {
        qsizetype n = bytes.size() - at;
        if (pieceSize > 0)
            n = qMin<qsizetype>(n, pieceSize);
        else if (pieceSize < 0)
            n = qMin<qsizetype>(n, 1 + pieces.bounded(-pieceSize));
        if (!client.sendPumping(bytes.sliced(at, n)))
            return false;
        at += n;
    }
    return true;
}

int connectSendAndClose(quint16 port, int rounds, bool reset, const QByteArray &prefix)
{
    int answered = 0;
    for (int i = 0; i < rounds; ++i) {
        LoopbackClient client;
        answered += client.connectTo(port) && client.exchange(prefix + QByteArray::number(i));
        if (reset)
            client.reset();
    }
    return answered;
}

QByteArray numberedLines(const QByteArray &prefix, int count)
{
    QByteArray lines;
    for (int i = 0; i < count; ++i)
        lines += prefix + QByteArray::number(i) + "\r\n";
    return lines;
}

NoSpillFolder::NoSpillFolder(const ProgramFolder &folder) : m_previousTemp(qgetenv("TMPDIR"))
{
    QFile(folder.path(QStringLiteral("cache"))).open(QIODevice::WriteOnly);
    qputenv("TMPDIR", QFile::encodeName(folder.path(QStringLiteral("cache/tmp"))));
}

NoSpillFolder::~NoSpillFolder()
{
    qputenv("TMPDIR", m_previousTemp);
}
