#include "sockets/socketio.h"

#include <QElapsedTimer>

#include <poll.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

namespace SocketIo {

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

int kernelQueued(int fd)
{
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : 0;
}

int sendQueued(int fd, QByteArray &queue)
{
    while (!queue.isEmpty()) {
        const ssize_t n = ::send(fd, queue.constData(), size_t(queue.size()), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (wouldBlock(errno))
                break;
            return errno;
        }
        const bool kernelFull = n < queue.size();
        queue.remove(0, n); // cheap in Qt 6: the front is dropped, not moved
        if (kernelFull)
            break;
    }
    if (queue.isEmpty())
        queue.clear(); // gives back what a backlog grew to
    return 0;
}

ReadResult readWaiting(int fd, char *buffer, QByteArray &into)
{
    ReadResult r;
    while (r.bytes < MaxArrival) {
        const ssize_t n = ::recv(fd, buffer, ReadChunk, 0);
        if (n > 0) {
            into.append(buffer, n);
            r.bytes += n;
            if (n < ReadChunk)
                break;
        } else if (n == 0) {
            r.peerClosed = true;
            break;
        } else if (errno != EINTR) {
            if (!wouldBlock(errno))
                r.error = errno;
            break;
        }
    }
    return r;
}

ReadResult readWithin(int fd, char *buffer, QByteArray &into, qint64 patienceNs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const ReadResult r = readWaiting(fd, buffer, into);
        if (r.bytes > 0 || r.peerClosed || r.error != 0 || waited.nsecsElapsed() >= patienceNs)
            return r;
    }
}

int readableWithin(pollfd *fds, int count, qint64 patienceNs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const int ready = ::poll(fds, nfds_t(count), 0);
        if (ready != 0 || waited.nsecsElapsed() >= patienceNs)
            return ready;
    }
}

QString addressText(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(address);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(address);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr))
            ::inet_ntop(AF_INET, in6.sin6_addr.s6_addr + 12, text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
    return QString::fromLatin1(text);
}

quint16 addressPort(const sockaddr_storage &address)
{
    // The port stands at the same place in both families' addresses.
    return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
}

} // namespace SocketIo
