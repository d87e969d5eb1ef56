#include "sockets/winsock.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>
#include <vector>

namespace {

// Big enough that one recv usually drains the socket, so an arrival costs one call.
constexpr qsizetype kReadChunk = 64 * 1024;
// A flood is handed over in slices of at most this much so other events get a turn.
constexpr qint64 kMaxArrival = 1024 * 1024;
// After an arrival the connection is watched this long for the next one before
// the thread goes back to sleep: a sender that waits for each answer sends again
// within a few tens of microseconds, and waking a sleeping thread costs more
// than that. A sender that pauses costs at most this much per message.
constexpr qint64 kNextArrivalWaitNs = 30'000;
// Back-to-back arrivals are handled for at most this long before the event
// loop gets its turn (painting, timers, other sockets).
constexpr qint64 kArrivalRunNs = 5'000'000;
// A peer that reads nothing would otherwise grow our memory without end.
constexpr qsizetype kMaxUnsent = 64 << 20;
// What the retiring pool may hold, in our own queues and the kernel's, all of it together.
constexpr qint64 kMaxRetiringBytes = 64 << 20;
// A retiring connection that moves nothing for this long is given up.
constexpr qint64 kRetiringPatienceMs = 30'000;
constexpr int kRetiringWatchMs = 1'000;
// A listener short of descriptors or memory looks again after this long
// instead of spinning on a connection it cannot take.
constexpr int kAcceptRetryMs = 100;

int wsaFromErrno(int err)
{
    switch (err) {
    case EACCES:
    case EPERM: return Winsock::ErrAccess;
    case EINVAL: return Winsock::ErrInvalid;
    case EMFILE:
    case ENFILE: return Winsock::ErrTooManyFiles;
    case EADDRINUSE: return Winsock::ErrAddressInUse;
    case EADDRNOTAVAIL: return Winsock::ErrAddressNotAvailable;
    case ENETDOWN: return Winsock::ErrNetworkDown;
    case ENETUNREACH: return Winsock::ErrNetworkUnreachable;
    case ECONNABORTED: return Winsock::ErrConnectionAborted;
    // EPIPE is a send after the peer has gone; Windows calls that a reset.
    case ECONNRESET:
    case EPIPE: return Winsock::ErrConnectionReset;
    case ENOBUFS:
    case ENOMEM: return Winsock::ErrNoBuffers;
    case ENOTCONN: return Winsock::ErrNotConnected;
    case ETIMEDOUT: return Winsock::ErrTimedOut;
    case ECONNREFUSED: return Winsock::ErrConnectionRefused;
    case EHOSTUNREACH: return Winsock::ErrHostUnreachable;
    default: return Winsock::ErrSystemCallFailure;
    }
}

QString describe(int number)
{
    switch (number) {
    case Winsock::ErrAccess: return QStringLiteral("Permission denied");
    case Winsock::ErrInvalid: return QStringLiteral("Invalid argument");
    case Winsock::ErrTooManyFiles: return QStringLiteral("Too many open sockets");
    case Winsock::ErrAddressInUse: return QStringLiteral("Address in use");
    case Winsock::ErrAddressNotAvailable: return QStringLiteral("Address not available from the local machine");
    case Winsock::ErrConnectionAborted: return QStringLiteral("Connection aborted by the local system");
    case Winsock::ErrConnectionReset: return QStringLiteral("Connection reset by the remote side");
    case Winsock::ErrNoBuffers: return QStringLiteral("No buffer space available");
    case Winsock::ErrNotConnected: return QStringLiteral("Socket is not connected");
    case Winsock::ErrTimedOut: return QStringLiteral("Connection timed out");
    case Winsock::ErrInvalidState: return QStringLiteral("Wrong protocol or connection state for the requested operation");
    default: return QStringLiteral("Socket error %1").arg(number);
    }
}

// Failures that belong to the one connection being accepted, not to the listener.
bool onlyThisConnectionFailed(int err)
{
    switch (err) {
    case EINTR: case ECONNABORTED: case EPROTO: case EPERM: case ENETDOWN: case ENETUNREACH:
    case EHOSTDOWN: case EHOSTUNREACH: case ENONET: case ENOPROTOOPT: case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

// The system is short of descriptors or memory: the connection waits in the backlog.
bool outOfResources(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

bool wouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK;
}

// Bytes the kernel holds for the peer: sent but not yet acknowledged, or not yet sent.
int kernelQueued(int fd)
{
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : 0;
}

// What the listener needs to take the newest sender when every other
// descriptor is in use: closed just before that accept, taken again after it.
UniqueFd reserveDescriptor()
{
    return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

bool connectionWaiting(int listener)
{
    pollfd waiting{listener, POLLIN, 0};
    return ::poll(&waiting, 1, 0) > 0;
}

// The address as text; an IPv4 peer on a dual-stack socket reads as plain IPv4.
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

// The system has no IPv6 (or no dual-stack socket): IPv4 alone will do.
bool noIPv6(int err)
{
    return err == EAFNOSUPPORT || err == EPROTONOSUPPORT || err == EADDRNOTAVAIL
        || err == ENOPROTOOPT || err == EINVAL;
}

// A listening socket on every address at port: one dual-stack IPv6 socket
// where the system has one, else IPv4 alone. Returns it, or sets *error.
UniqueFd openListener(quint16 port, int *error)
{
    // The port can be taken again at once while old connections sit in
    // TIME_WAIT; Linux still refuses it while another socket listens there.
    const int on = 1;
    const int off = 0;
    UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.isValid()) {
        sockaddr_in6 any6{};
        any6.sin6_family = AF_INET6;
        any6.sin6_addr = in6addr_any;
        any6.sin6_port = htons(port);
        if (::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0
            && ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
            && ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&any6), sizeof any6) == 0
            && ::listen(fd.get(), SOMAXCONN) == 0)
            return fd;
    }
    if (!noIPv6(errno)) {
        *error = errno;
        return {};
    }
    fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(port);
    if (!fd.isValid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0
        || ::listen(fd.get(), SOMAXCONN) != 0) {
        *error = errno;
        return {};
    }
    return fd;
}

// Hands the kernel what it takes of queue now. Returns 0 or the error number.
int sendQueued(int fd, QByteArray &queue)
{
    while (!queue.isEmpty()) {
        const ssize_t n = ::send(fd, queue.constData(), size_t(queue.size()), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (wouldBlock(errno))
                break;
            return wsaFromErrno(errno);
        }
        const bool kernelFull = n < queue.size();
        queue.remove(0, n); // cheap in Qt 6: the front is dropped, not moved
        if (kernelFull)
            break;
    }
    if (queue.isEmpty())
        queue.clear(); // gives back what a backlog grew to
    return Winsock::NoError;
}

// A notifier can be dropped from inside its own activation (a handler closes the
// element), so it is switched off at once and deleted once the event loop is back.
struct DeleteNotifierLater
{
    void operator()(QSocketNotifier *notifier) const
    {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
};
using NotifierPtr = std::unique_ptr<QSocketNotifier, DeleteNotifierLater>;

struct ReadResult
{
    qint64 bytes = 0;
    bool peerClosed = false;
    int error = Winsock::NoError;
};

// Appends what is waiting on fd to into. A short read means the socket is drained;
// the level-triggered notifier fires again if more comes, so no second recv is made.
ReadResult readWaiting(int fd, char *buffer, QByteArray &into)
{
    ReadResult r;
    while (r.bytes < kMaxArrival) {
        const ssize_t n = ::recv(fd, buffer, kReadChunk, 0);
        if (n > 0) {
            into.append(buffer, n);
            r.bytes += n;
            if (n < kReadChunk)
                break;
        } else if (n == 0) {
            r.peerClosed = true;
            break;
        } else if (errno != EINTR) {
            if (!wouldBlock(errno))
                r.error = wsaFromErrno(errno);
            break;
        }
    }
    return r;
}

// As readWaiting, trying again without sleeping until something comes or
// patienceNs have passed: a read that finds nothing costs less than waking
// a sleeping thread, and no more than asking whether anything is there.
ReadResult readWithin(int fd, char *buffer, QByteArray &into, qint64 patienceNs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const ReadResult r = readWaiting(fd, buffer, into);
        if (r.bytes > 0 || r.peerClosed || r.error != Winsock::NoError
            || waited.nsecsElapsed() >= patienceNs)
            return r;
    }
}

} // namespace

struct Winsock::Element
{
    enum class State { Closed, Listening, Connected };

    QString remoteHost;
    qint32 remotePort = 0;
    qint32 localPort = 0;
    int protocol = 0;

    State state = State::Closed;
    quint64 serial = 0; // names the socket held; 0 while closed
    UniqueFd fd;        // declared before the notifiers so they go first
    NotifierPtr reader;
    NotifierPtr writer;
    QByteArray received;
    QByteArray outgoing; // what the kernel has not taken yet, in order
    // The error a send met, until it is raised. The kernel hands a reset to
    // the first call that asks, so a read after it sees only the end of data.
    int sendFailure = 0;
    // An error raised from the event loop after the element was dropped;
    // our own close or a new socket makes it stale.
    int pendingError = 0;
    // A listener's shortage of descriptors or memory has been raised.
    bool shortageReported = false;
    // A run of reads out of time goes on from the event loop.
    bool readPosted = false;

    void closeSocket()
    {
        writer.reset();
        reader.reset();
        fd.reset();
        outgoing.clear();
        sendFailure = 0;
        state = State::Closed;
        serial = 0;
    }

    // Hands the kernel what it takes of the queue now. Returns 0 or the error number.
    int flush()
    {
        const int error = sendQueued(fd.get(), outgoing);
        if (error == NoError)
            writer->setEnabled(!outgoing.isEmpty());
        return error;
    }
};

// A connection gone from its element that still delivers what was queued for
// it, then ends in order: our end of data once the kernel has it all, then
// the peer's read to its end, so that closing never resets data in flight.
struct Winsock::Retiring
{
    UniqueFd fd; // declared before the notifiers so they go first
    NotifierPtr reader;
    NotifierPtr writer;
    QByteArray outgoing;
    bool peerEnded = false;
    bool finishedSending = false;
    int kernelQueued = 0; // as last seen, counted in the pool's bytes
    QElapsedTimer sinceProgress;
};

Winsock::Winsock(QObject *parent)
    : QObject(parent), m_readBuffer(kReadChunk, Qt::Uninitialized), m_reserve(reserveDescriptor())
{
    m_elements.emplace(0, std::make_unique<Element>());
    m_retiringWatch.setInterval(kRetiringWatchMs);
    connect(&m_retiringWatch, &QTimer::timeout, this, &Winsock::watchRetiring);
}

// Every element's socket and notifier closes with it, retiring ones too;
// notifiers awaiting deleteLater are our children and go with the QObject.
Winsock::~Winsock()
{
    m_elements.clear();
    m_retiring.clear();
}

Winsock::Element *Winsock::element(int index) const
{
    const auto it = m_elements.find(index);
    return it == m_elements.end() ? nullptr : it->second.get();
}

Winsock::Element *Winsock::live(int index, quint64 serial) const
{
    Element *e = element(index);
    return e && e->serial == serial ? e : nullptr;
}

int Winsock::count() const { return int(m_elements.size()); }
bool Winsock::exists(int index) const { return element(index) != nullptr; }

bool Winsock::create(int index)
{
    if (index < 0 || exists(index))
        return false;
    m_elements.emplace(index, std::make_unique<Element>());
    return true;
}

void Winsock::destroy(int index)
{
    if (index == 0)
        return;
    if (Element *e = element(index)) {
        endConnection(*e, false);
        m_elements.erase(index);
    }
}

void Winsock::setRemoteHost(int index, const QString &host)
{
    if (Element *e = element(index))
        e->remoteHost = host;
}

void Winsock::setRemotePort(int index, qint32 port)
{
    if (Element *e = element(index))
        e->remotePort = port;
}

void Winsock::setProtocol(int index, int protocol)
{
    if (Element *e = element(index))
        e->protocol = protocol;
}

void Winsock::setLocalPort(int index, qint32 port)
{
    if (Element *e = element(index))
        e->localPort = port;
}

QString Winsock::remoteHost(int index) const
{
    const Element *e = element(index);
    return e ? e->remoteHost : QString();
}

qint32 Winsock::remotePort(int index) const
{
    const Element *e = element(index);
    return e ? e->remotePort : 0;
}

qint32 Winsock::localPort(int index) const
{
    const Element *e = element(index);
    return e ? e->localPort : 0;
}

int Winsock::protocol(int index) const
{
    const Element *e = element(index);
    return e ? e->protocol : 0;
}

qint32 Winsock::boundPort(int index) const
{
    const Element *e = element(index);
    if (!e || !e->fd.isValid())
        return 0;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(e->fd.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    // The port stands at the same place in both families' addresses.
    return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
}

bool Winsock::peerAddress(int index, sockaddr_storage *address) const
{
    const Element *e = element(index);
    socklen_t length = sizeof *address;
    return e && e->state == Element::State::Connected
           && ::getpeername(e->fd.get(), reinterpret_cast<sockaddr *>(address), &length) == 0;
}

QString Winsock::remoteHostIP(int index) const
{
    sockaddr_storage address{};
    return peerAddress(index, &address) ? addressText(address) : QString();
}

quint16 Winsock::remotePeerPort(int index) const
{
    sockaddr_storage address{};
    // The port stands at the same place in both families' addresses.
    return peerAddress(index, &address) ? ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port) : 0;
}

QString Winsock::localIP(int) const
{
    const QString loopback = QStringLiteral("127.0.0.1");
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return loopback;
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> guard(list, &::freeifaddrs);
    for (const ifaddrs *a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET)
            continue;
        if ((a->ifa_flags & IFF_LOOPBACK) || !(a->ifa_flags & IFF_UP))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto *in = reinterpret_cast<const sockaddr_in *>(a->ifa_addr);
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            return QString::fromLatin1(text);
    }
    return loopback;
}

int Winsock::listen(int index)
{
    Element *e = element(index);
    if (!e || e->protocol != 0)
        return ErrInvalid;
    if (e->state != Element::State::Closed)
        return ErrInvalidState;
    if (e->localPort < 0 || e->localPort > 65535)
        return ErrAddressNotAvailable;

    int error = 0;
    UniqueFd fd = openListener(quint16(e->localPort), &error);
    if (!fd.isValid())
        return wsaFromErrno(error);
    attach(index, *e, std::move(fd), true);
    keepReserve();
    return NoError;
}

int Winsock::accept(int index, qint32 requestId)
{
    Element *e = element(index);
    if (!e)
        return ErrInvalid;
    if (e->state != Element::State::Closed)
        return ErrInvalidState;
    const auto it = m_pendingRequests.constFind(requestId);
    if (it == m_pendingRequests.constEnd())
        return ErrInvalid;

    UniqueFd fd = std::move(*it.value());
    m_pendingRequests.erase(it);
    // Acknowledgements are small and answer a request; Nagle would hold them back.
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Every byte a sender sends is part of the message, urgent or not.
    ::setsockopt(fd.get(), SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    attach(index, *e, std::move(fd), false);
    return NoError;
}

void Winsock::attach(int index, Element &e, UniqueFd fd, bool listening)
{
    e.fd = std::move(fd);
    e.serial = ++m_lastSerial;
    e.state = listening ? Element::State::Listening : Element::State::Connected;
    e.received.clear();
    e.outgoing.clear();
    e.sendFailure = NoError;
    e.pendingError = NoError;
    e.shortageReported = false;
    e.readPosted = false;

    const quint64 serial = e.serial;
    e.reader.reset(new QSocketNotifier(e.fd.get(), QSocketNotifier::Read, this));
    if (listening) {
        connect(e.reader.get(), &QSocketNotifier::activated, this,
                [this, index, serial] { onListenerReadable(index, serial); });
        return;
    }
    connect(e.reader.get(), &QSocketNotifier::activated, this,
            [this, index, serial] { onReadable(index, serial); });
    e.writer.reset(new QSocketNotifier(e.fd.get(), QSocketNotifier::Write, this));
    e.writer->setEnabled(false);
    connect(e.writer.get(), &QSocketNotifier::activated, this,
            [this, index, serial] { onWritable(index, serial); });
}

QByteArray Winsock::takeData(int index)
{
    Element *e = element(index);
    return e ? std::exchange(e->received, QByteArray()) : QByteArray();
}

void Winsock::send(int index, const QByteArray &bytes)
{
    Element *e = element(index);
    if (!e || e->state != Element::State::Connected || bytes.isEmpty())
        return;
    // Bytes already queued go first, so new ones may only join the queue.
    const bool idle = e->outgoing.isEmpty();
    e->outgoing.append(bytes);
    // An error is left to the write notifier, so it is raised from the event
    // loop like every other event rather than inside the caller's send().
    if (idle) {
        if (const int error = e->flush(); error != NoError) {
            e->sendFailure = error;
            e->writer->setEnabled(true);
            return;
        }
    }
    if (e->outgoing.size() > kMaxUnsent)
        dropOverflowing(index, *e);
}

void Winsock::close(int index)
{
    if (Element *e = element(index)) {
        endConnection(*e, false);
        e->received.clear();
        e->pendingError = NoError;
    }
}

void Winsock::dropRetiring()
{
    m_retiring.clear();
    m_retiringBytes = 0;
    m_retiringWatch.stop();
}

bool Winsock::isListening(int index) const
{
    const Element *e = element(index);
    return e && e->state == Element::State::Listening;
}

bool Winsock::isConnected(int index) const
{
    const Element *e = element(index);
    return e && e->state == Element::State::Connected;
}

qint64 Winsock::bytesToWrite(int index) const
{
    const Element *e = element(index);
    return e ? e->outgoing.size() : 0;
}

qint32 Winsock::nextRequestId()
{
    const qint32 id = m_nextRequestId;
    m_nextRequestId = id == std::numeric_limits<qint32>::max() ? 1 : id + 1;
    return id;
}

void Winsock::onListenerReadable(int index, quint64 serial)
{
    // Every waiting connection is raised; a handler closing the listener stops the loop.
    while (Element *e = live(index, serial)) {
        UniqueFd connection(::accept4(e->fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!connection.isValid()) {
            const int err = errno;
            if (onlyThisConnectionFailed(err))
                continue;
            if (err == EMFILE || err == ENFILE) {
                // The kernel takes a descriptor before it looks at the backlog.
                if (!connectionWaiting(e->fd.get()))
                    return;
                if (freeDescriptorForAccept())
                    continue;
            }
            if (outOfResources(err))
                stallListener(index, *e, wsaFromErrno(err));
            else if (!wouldBlock(err))
                failElement(index, wsaFromErrno(err));
            return;
        }
        e->shortageReported = false; // the next shortage is news again
        const qint32 id = nextRequestId();
        m_pendingRequests.insert(id, &connection);
        emit connectionRequest(index, id);
        m_pendingRequests.remove(id);
        connection.reset(); // one nobody accepted is closed before the reserve is taken again
        keepReserve();
    }
}

bool Winsock::freeDescriptorForAccept()
{
    // A retiring connection goes before the reserve: the newest sender matters most.
    if (!m_retiring.empty()) {
        closeRetiring(m_retiring.begin()->first);
        return true;
    }
    if (m_reserve.isValid()) {
        m_reserve.reset();
        return true;
    }
    return false;
}

void Winsock::keepReserve()
{
    // One system call, and only when the reserve was spent.
    while (!m_reserve.isValid()) {
        m_reserve = reserveDescriptor();
        const int err = errno;
        if (m_reserve.isValid() || (err != EMFILE && err != ENFILE) || m_retiring.empty())
            return;
        closeRetiring(m_retiring.begin()->first);
    }
}

void Winsock::onReadable(int index, quint64 serial)
{
    // A run cut short by its time goes on from the event loop by itself.
    if (const Element *e = live(index, serial); e && !e->readPosted)
        readAndSettle(index, serial, 0);
}

void Winsock::readAndSettle(int index, quint64 serial, qint64 patience)
{
    const ReadRun run = readArrivals(index, serial, patience);
    if (run == ReadRun::Nothing)
        return;
    emit arrivalsSettled(index);
    Element *e = live(index, serial);
    if (run != ReadRun::TimeUp || !e || std::exchange(e->readPosted, true))
        return;
    // The event loop gets its turn without going to sleep: a sender in full
    // swing sends again within microseconds, and waking a sleeping thread for
    // its next message costs it tens of them. One run at a time is posted, so
    // a flood never takes more than one run a pass of the event loop.
    QMetaObject::invokeMethod(
            this,
            [this, index, serial] {
                if (Element *e = live(index, serial)) {
                    e->readPosted = false;
                    readAndSettle(index, serial, kNextArrivalWaitNs);
                }
            },
            Qt::QueuedConnection);
}

Winsock::ReadRun Winsock::readArrivals(int index, quint64 serial, qint64 patience)
{
    bool arrived = false;
    QElapsedTimer run;
    run.start();
    // The notifier has seen something waiting; after that, the connection is
    // watched for a while for the next arrival.
    for (;; patience = kNextArrivalWaitNs) {
        Element *e = live(index, serial);
        if (!e)
            return arrived ? ReadRun::Settled : ReadRun::Nothing;
        const ReadResult r = readWithin(e->fd.get(), m_readBuffer.data(), e->received, patience);
        if (r.bytes > 0) {
            arrived = true;
            emit dataArrival(index, e->received.size());
            e = live(index, serial);
            if (!e)
                return ReadRun::Settled;
        }
        if (r.peerClosed || r.error != NoError) {
            // The arrivals are settled before a close or an error is raised,
            // whose handler may open a box and so let the window paint.
            if (arrived) {
                emit arrivalsSettled(index);
                if (!(e = live(index, serial)))
                    return ReadRun::Nothing;
            }
            // A reset that a send has already met is still a reset.
            if (r.error != NoError || e->sendFailure != NoError) {
                failElement(index, r.error != NoError ? r.error : e->sendFailure);
                return ReadRun::Nothing;
            }
            endConnection(*e, true);
            emit peerClosed(index);
            return ReadRun::Nothing;
        }
        if (r.bytes == 0 || e->state != Element::State::Connected)
            return arrived ? ReadRun::Settled : ReadRun::Nothing;
        if (run.nsecsElapsed() > kArrivalRunNs)
            return ReadRun::TimeUp;
    }
}


void Winsock::onWritable(int index, quint64 serial)
{
    Element *e = live(index, serial);
    if (!e)
        return;
    if (const int error = e->flush(); error != NoError)
        failElement(index, e->sendFailure != NoError ? e->sendFailure : error);
}

void Winsock::failElement(int index, int number)
{
    if (Element *e = element(index))
        e->closeSocket();
    emit socketError(index, number, describe(number));
}

void Winsock::stallListener(int index, Element &e, int number)
{
    e.reader->setEnabled(false);
    QTimer::singleShot(kAcceptRetryMs, this, [this, index, serial = e.serial] {
        keepReserve();
        if (Element *listener = live(index, serial))
            listener->reader->setEnabled(true);
    });
    if (!std::exchange(e.shortageReported, true))
        emit socketError(index, number, describe(number));
}

void Winsock::dropOverflowing(int index, Element &e)
{
    e.closeSocket();
    e.pendingError = ErrNoBuffers;
    QMetaObject::invokeMethod(this, [this, index] {
        Element *dropped = element(index);
        if (!dropped || dropped->pendingError == NoError)
            return;
        const int number = std::exchange(dropped->pendingError, NoError);
        emit socketError(index, number, describe(number));
    }, Qt::QueuedConnection);
}

void Winsock::endConnection(Element &e, bool peerEnded)
{
    // At the peer's end of data the receive side is drained and the kernel
    // finishes in order by itself: only our own queue needs the pool then.
    const bool stillSending = e.state == Element::State::Connected && e.sendFailure == NoError
        && (!e.outgoing.isEmpty() || (!peerEnded && kernelQueued(e.fd.get()) > 0));
    UniqueFd fd = std::move(e.fd);
    QByteArray outgoing = std::exchange(e.outgoing, QByteArray());
    e.closeSocket(); // its notifiers go before the pool watches the same socket
    if (stillSending)
        retire(std::move(fd), std::move(outgoing), peerEnded);
}

void Winsock::retire(UniqueFd fd, QByteArray outgoing, bool peerEnded)
{
    const int queued = kernelQueued(fd.get());
    while (!m_retiring.empty()
           && (int(m_retiring.size()) >= MaxRetiringConnections
               || m_retiringBytes + outgoing.size() + queued > kMaxRetiringBytes))
        closeRetiring(m_retiring.begin()->first);

    const quint64 id = ++m_lastSerial;
    auto r = std::make_unique<Retiring>();
    r->fd = std::move(fd);
    r->outgoing = std::move(outgoing);
    r->kernelQueued = queued;
    r->peerEnded = peerEnded;
    r->sinceProgress.start();
    r->reader.reset(new QSocketNotifier(r->fd.get(), QSocketNotifier::Read, this));
    r->reader->setEnabled(!peerEnded);
    connect(r->reader.get(), &QSocketNotifier::activated, this, [this, id] { onRetiringReadable(id); });
    r->writer.reset(new QSocketNotifier(r->fd.get(), QSocketNotifier::Write, this));
    connect(r->writer.get(), &QSocketNotifier::activated, this, [this, id] { onRetiringWritable(id); });
    m_retiringBytes += r->outgoing.size() + queued;
    m_retiring.emplace(id, std::move(r));
    if (!m_retiringWatch.isActive())
        m_retiringWatch.start();
}

Winsock::Retiring *Winsock::retiring(quint64 id) const
{
    const auto it = m_retiring.find(id);
    return it == m_retiring.end() ? nullptr : it->second.get();
}

void Winsock::onRetiringWritable(quint64 id)
{
    Retiring *r = retiring(id);
    if (!r)
        return;
    const qsizetype before = r->outgoing.size();
    const int error = sendQueued(r->fd.get(), r->outgoing);
    m_retiringBytes -= before - r->outgoing.size();
    if (error != NoError) {
        closeRetiring(id);
        return;
    }
    // What went is in the kernel's queue now, and still counts.
    countKernelQueue(*r, kernelQueued(r->fd.get()));
    if (r->outgoing.size() < before)
        r->sinceProgress.restart();
    if (!r->outgoing.isEmpty())
        return;
    r->writer.reset();
    r->finishedSending = true;
    ::shutdown(r->fd.get(), SHUT_WR);
    if (r->peerEnded)
        closeRetiring(id);
}

void Winsock::onRetiringReadable(quint64 id)
{
    Retiring *r = retiring(id);
    if (!r)
        return;
    // Whatever the peer still sends is read and dropped: unread data would
    // turn our close into a reset.
    QByteArray dropped;
    const ReadResult read = readWaiting(r->fd.get(), m_readBuffer.data(), dropped);
    if (read.bytes > 0)
        r->sinceProgress.restart();
    if (read.error != NoError) {
        closeRetiring(id);
    } else if (read.peerClosed) {
        r->peerEnded = true;
        if (r->finishedSending)
            closeRetiring(id);
        else
            r->reader->setEnabled(false);
    }
}

void Winsock::closeRetiring(quint64 id)
{
    const auto it = m_retiring.find(id);
    if (it == m_retiring.end())
        return;
    m_retiringBytes -= it->second->outgoing.size() + it->second->kernelQueued;
    m_retiring.erase(it);
    if (m_retiring.empty())
        m_retiringWatch.stop();
}

void Winsock::countKernelQueue(Retiring &r, int queued)
{
    m_retiringBytes += queued - r.kernelQueued;
    r.kernelQueued = queued;
}

void Winsock::watchRetiring()
{
    std::vector<quint64> stuck;
    for (const auto &[id, r] : m_retiring) {
        // The kernel's queue shrinking means the peer is reading: that is progress too.
        if (const int queued = kernelQueued(r->fd.get()); queued != r->kernelQueued) {
            countKernelQueue(*r, queued);
            r->sinceProgress.restart();
        } else if (r->sinceProgress.hasExpired(kRetiringPatienceMs)) {
            stuck.push_back(id);
        }
    }
    for (const quint64 id : stuck)
        closeRetiring(id);
}
