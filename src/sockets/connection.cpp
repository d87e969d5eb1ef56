#include "sockets/connection.h"

#include "sockets/tlscontext.h"

#include <QElapsedTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

using namespace SocketIo;

namespace {
// After an arrival the connection is watched this long for the next one before
// the thread goes back to sleep: a sender that waits for each answer sends again
// within a few tens of microseconds, and waking a sleeping thread costs more
// than that. A sender that pauses costs at most this much per message.
constexpr qint64 NextArrivalWaitNs = 30'000;
// Back-to-back arrivals are handled for at most this long before the event
// loop gets its turn (painting, timers, other sockets).
constexpr qint64 ArrivalRunNs = 5'000'000;
} // namespace

Connection::Connection(UniqueFd fd, RetiringPool *pool, std::shared_ptr<TlsContext> tls, QObject *parent)
    : QObject(parent), m_pool(pool), m_fd(std::move(fd)), m_readBuffer(ReadChunk, Qt::Uninitialized),
      m_tls(std::move(tls))
{
    if (!m_fd.isValid())
        return;
    // Acknowledgements are small and answer a request; Nagle would hold them back.
    const int on = 1;
    ::setsockopt(m_fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Every byte a sender sends is part of the message, urgent or not.
    ::setsockopt(m_fd.get(), SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    m_reader.reset(new QSocketNotifier(m_fd.get(), QSocketNotifier::Read, this));
    m_writer.reset(new QSocketNotifier(m_fd.get(), QSocketNotifier::Write, this));
    m_writer->setEnabled(false);
    if (m_tls) {
        startTls();
        return;
    }
    connect(m_reader.get(), &QSocketNotifier::activated, this, &Connection::onReadable);
    connect(m_writer.get(), &QSocketNotifier::activated, this, &Connection::onWritable);
}

Connection::~Connection()
{
    close();
}

QString Connection::peerAddress() const
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return isConnected() && ::getpeername(m_fd.get(), reinterpret_cast<sockaddr *>(&address), &length) == 0
           ? addressText(address) : QString();
}

quint16 Connection::peerPort() const
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return isConnected() && ::getpeername(m_fd.get(), reinterpret_cast<sockaddr *>(&address), &length) == 0
           ? addressPort(address) : 0;
}

QByteArray Connection::takeData()
{
    return std::exchange(m_received, QByteArray());
}

void Connection::send(const QByteArray &bytes)
{
    if (!isConnected() || bytes.isEmpty())
        return;
    // Bytes already queued go first, so new ones may only join the queue.
    const bool idle = m_outgoing.isEmpty();
    m_outgoing.append(bytes);
    // An error is left to the write notifier, so it is raised from the event
    // loop like every other event rather than inside the caller's send().
    if (idle) {
        if (const int error = flush(); error != 0) {
            m_sendFailure = error;
            m_writer->setEnabled(true);
            return;
        }
    }
    if (m_outgoing.size() > MaxUnsent)
        dropOverflowing();
}

void Connection::close()
{
    end(false);
    m_received.clear();
    m_pendingError = 0;
}

void Connection::reset()
{
    if (isConnected()) {
        // A zero linger turns the close into a reset.
        const linger abort{1, 0};
        ::setsockopt(m_fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    closeSocket();
    m_received.clear();
    m_pendingError = 0;
}

int Connection::flush()
{
    if (m_ssl)
        return flushTls();
    const int error = sendQueued(m_fd.get(), m_outgoing);
    if (error == 0)
        m_writer->setEnabled(!m_outgoing.isEmpty());
    return error;
}

qint64 Connection::nextArrivalWait() const
{
    return m_watchForNext ? NextArrivalWaitNs : 0;
}

void Connection::onReadable()
{
    // A run cut short by its time goes on from the event loop by itself.
    if (isConnected() && !m_readPosted)
        readAndSettle(0);
}

void Connection::readAndSettle(qint64 patienceNs)
{
    const QPointer<Connection> alive(this);
    const ReadRun run = readArrivals(patienceNs);
    if (!alive || run == ReadRun::Nothing)
        return;
    emit arrivalsSettled();
    if (!alive || run != ReadRun::TimeUp || !isConnected() || std::exchange(m_readPosted, true))
        return;
    // The event loop gets its turn without going to sleep: a sender in full
    // swing sends again within microseconds, and waking a sleeping thread for
    // its next message costs it tens of them. One run at a time is posted, so
    // a flood never takes more than one run a pass of the event loop.
    QMetaObject::invokeMethod(
            this,
            [this] {
                m_readPosted = false;
                if (isConnected())
                    readAndSettle(nextArrivalWait());
            },
            Qt::QueuedConnection);
}

Connection::ReadRun Connection::readArrivals(qint64 patienceNs)
{
    const QPointer<Connection> alive(this);
    bool any = false;
    QElapsedTimer run;
    run.start();
    // The notifier has seen something waiting; after that, the connection is
    // watched for a while for the next arrival.
    for (;; patienceNs = nextArrivalWait()) {
        if (!isConnected())
            return any ? ReadRun::Settled : ReadRun::Nothing;
        const ReadResult r = m_ssl ? readTls(patienceNs)
                                   : readWithin(m_fd.get(), m_readBuffer.data(), m_received, patienceNs);
        if (r.bytes > 0) {
            any = true;
            emit arrived(m_received.size());
            if (!alive)
                return ReadRun::Nothing;
            if (!isConnected())
                return ReadRun::Settled;
        }
        if (r.peerClosed || r.error != 0) {
            // The arrivals are settled before a close or an error is raised,
            // whose handler may open a box and so let the window paint.
            if (any) {
                emit arrivalsSettled();
                if (!alive || !isConnected())
                    return ReadRun::Nothing;
            }
            // A reset that a send has already met is still a reset.
            if (r.error != 0 || m_sendFailure != 0) {
                fail(r.error != 0 ? r.error : m_sendFailure);
                return ReadRun::Nothing;
            }
            end(true);
            emit peerClosed();
            return ReadRun::Nothing;
        }
        if (r.bytes == 0)
            return any ? ReadRun::Settled : ReadRun::Nothing;
        // A short read drained the socket: unwatched, nothing more is asked
        // of it until its notifier fires again.
        if (!m_watchForNext && !m_ssl && r.bytes % SocketIo::ReadChunk != 0)
            return ReadRun::Settled;
        if (run.nsecsElapsed() > ArrivalRunNs)
            return ReadRun::TimeUp;
    }
}

void Connection::onWritable()
{
    if (!isConnected())
        return;
    if (const int error = flush(); error != 0)
        fail(m_sendFailure != 0 ? m_sendFailure : error);
}

void Connection::fail(int error)
{
    closeSocket();
    emit failed(error);
}

void Connection::dropOverflowing()
{
    closeSocket();
    m_pendingError = ENOBUFS;
    QMetaObject::invokeMethod(this, [this] {
        if (const int error = std::exchange(m_pendingError, 0); error != 0)
            emit failed(error);
    }, Qt::QueuedConnection);
}

void Connection::end(bool peerEnded)
{
    const bool open = isConnected() && m_sendFailure == 0 && !m_handshaking;
    // A TLS session with nothing queued says close_notify now; one with
    // answers queued says it in the pool, after them.
    if (m_ssl && open && m_outgoing.isEmpty())
        TlsIo::shutdown(m_ssl.get());
    // At the peer's end of data the receive side is drained and the kernel
    // finishes in order by itself: only our own queue needs the pool then.
    const bool stillSending = open && (!m_outgoing.isEmpty() || (!peerEnded && kernelQueued(m_fd.get()) > 0));
    UniqueFd fd = std::move(m_fd);
    TlsIo::SslPtr ssl = std::move(m_ssl);
    QByteArray outgoing = std::exchange(m_outgoing, QByteArray());
    closeSocket(); // its notifiers go before the pool watches the same socket
    if (stillSending && m_pool)
        m_pool->retire(std::move(fd), std::move(outgoing), peerEnded, std::move(ssl));
}

void Connection::closeSocket()
{
    m_writer.reset();
    m_reader.reset();
    m_ssl.reset(); // before its socket
    m_fd.reset();
    m_outgoing.clear();
    m_sendFailure = 0;
    if (m_tls)
        closeTls();
}
