#include "sockets/listener.h"

#include "sockets/retiringpool.h"

#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

using namespace SocketIo;

namespace {

// A listener short of descriptors or memory looks again after this long
// instead of spinning on a connection it cannot take.
constexpr int AcceptRetryMs = 100;

// Failures that belong to the one connection being accepted, not to the listener.
bool onlyThisConnectionFailed(int error)
{
    switch (error) {
    case EINTR: case ECONNABORTED: case EPROTO: case EPERM: case ENETDOWN: case ENETUNREACH:
    case EHOSTDOWN: case EHOSTUNREACH: case ENONET: case ENOPROTOOPT: case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

// The system is short of descriptors or memory: the connection waits in the backlog.
bool outOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
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

// The system has no IPv6 (or no dual-stack socket): IPv4 alone will do.
bool noIPv6(int error)
{
    return error == EAFNOSUPPORT || error == EPROTONOSUPPORT || error == EADDRNOTAVAIL
        || error == ENOPROTOOPT || error == EINVAL;
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

} // namespace

Listener::Listener(RetiringPool *pool, QObject *parent)
    : QObject(parent), m_pool(pool), m_reserve(reserveDescriptor())
{
}

Listener::~Listener() = default;

int Listener::listen(quint16 port)
{
    if (isListening())
        return EALREADY;
    int error = 0;
    UniqueFd fd = openListener(port, &error);
    if (!fd.isValid())
        return error;
    m_fd = std::move(fd);
    m_serial = ++m_lastSerial;
    m_shortageReported = false;
    m_reader.reset(new QSocketNotifier(m_fd.get(), QSocketNotifier::Read, this));
    connect(m_reader.get(), &QSocketNotifier::activated, this, &Listener::onReadable);
    keepReserve();
    return 0;
}

void Listener::close()
{
    m_reader.reset();
    m_fd.reset();
    m_serial = 0;
}

quint16 Listener::port() const
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (!isListening() || ::getsockname(m_fd.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    return addressPort(address);
}

std::unique_ptr<Connection> Listener::takeConnection()
{
    return m_accepted ? std::move(*m_accepted) : nullptr;
}

void Listener::onReadable()
{
    const QPointer<Listener> alive(this);
    const quint64 serial = m_serial;
    // Every waiting connection is raised; a handler closing the listener stops the loop.
    while (alive && isListening() && m_serial == serial) {
        UniqueFd fd(::accept4(m_fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.isValid()) {
            const int error = errno;
            if (onlyThisConnectionFailed(error))
                continue;
            if (error == EMFILE || error == ENFILE) {
                // The kernel takes a descriptor before it looks at the backlog.
                if (!connectionWaiting(m_fd.get()))
                    return;
                if (freeDescriptor())
                    continue;
            }
            if (outOfResources(error))
                stall(error);
            else if (!wouldBlock(error))
                fail(error);
            return;
        }
        m_shortageReported = false; // the next shortage is news again
        auto connection = std::make_unique<Connection>(std::move(fd), m_pool, m_tls);
        // A handler may run an event loop in which the next one is raised.
        std::unique_ptr<Connection> *outer = std::exchange(m_accepted, &connection);
        emit connectionAccepted();
        if (!alive)
            return;
        m_accepted = outer;
        connection.reset(); // one nobody took is closed before the reserve is taken again
        keepReserve();
    }
}

bool Listener::freeDescriptor()
{
    // A retiring connection goes before the reserve: the newest sender matters most.
    if (m_pool && m_pool->giveUpOldest())
        return true;
    if (m_reserve.isValid()) {
        m_reserve.reset();
        return true;
    }
    return false;
}

void Listener::keepReserve()
{
    // One system call, and only when the reserve was spent.
    while (!m_reserve.isValid()) {
        m_reserve = reserveDescriptor();
        const int error = errno;
        if (m_reserve.isValid() || (error != EMFILE && error != ENFILE) || !m_pool || !m_pool->giveUpOldest())
            return;
    }
}

void Listener::stall(int error)
{
    m_reader->setEnabled(false);
    QTimer::singleShot(AcceptRetryMs, this, [this, serial = m_serial] {
        keepReserve();
        if (m_serial == serial && m_reader)
            m_reader->setEnabled(true);
    });
    if (!std::exchange(m_shortageReported, true))
        emit shortOfResources(error);
}

void Listener::fail(int error)
{
    close();
    emit failed(error);
}

QString machineIPv4Address()
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
