#pragma once

// What the listener, the connections and the retiring pool share over the
// system's socket calls. Errors are errno values.

#include <QByteArray>
#include <QSocketNotifier>
#include <QString>

#include <memory>

struct sockaddr_storage;
struct pollfd;

namespace SocketIo {

// Big enough that one recv usually drains the socket, so an arrival costs one call.
constexpr qsizetype ReadChunk = 64 * 1024;
// A flood is handed over in slices of at most this much so other events get a turn.
constexpr qint64 MaxArrival = 1024 * 1024;

bool wouldBlock(int error);

// Bytes the kernel holds for the peer: sent but not yet acknowledged, or not yet sent.
int kernelQueued(int fd);

// Hands the kernel what it takes of queue now. Returns 0 or the errno.
int sendQueued(int fd, QByteArray &queue);

struct ReadResult
{
    qint64 bytes = 0;
    bool peerClosed = false;
    int error = 0;
};

// Appends what is waiting on fd to into, at most MaxArrival. A short read
// means the socket is drained; the level-triggered notifier fires again if
// more comes, so no second recv is made.
ReadResult readWaiting(int fd, char *buffer, QByteArray &into);
// As readWaiting, trying again without sleeping until something comes or
// patienceNs have passed: a read that finds nothing costs less than waking
// a sleeping thread, and no more than asking whether anything is there.
ReadResult readWithin(int fd, char *buffer, QByteArray &into, qint64 patienceNs);

// Waits without sleeping, for up to patienceNs, until one of the
// descriptors has something to read (or has ended): their revents say
// which. The number ready, 0 when none came in time, -1 on failure.
int readableWithin(pollfd *fds, int count, qint64 patienceNs);

// The address as text; an IPv4 peer on a dual-stack socket reads as plain IPv4.
QString addressText(const sockaddr_storage &address);
// The port of an IPv4 or IPv6 address.
quint16 addressPort(const sockaddr_storage &address);

// A notifier can be dropped from inside its own activation (a handler closes
// the connection), so it is switched off at once and deleted once the event
// loop is back.
struct DeleteNotifierLater
{
    void operator()(QSocketNotifier *notifier) const
    {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
};
using NotifierPtr = std::unique_ptr<QSocketNotifier, DeleteNotifierLater>;

} // namespace SocketIo
