#pragma once

#include "sockets/connection.h"
#include "sockets/socketio.h"
#include "system/unixfile.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <utility>

// A TCP listener on every IPv4 and IPv6 address of a port, over a
// non-blocking socket. Each connection it accepts is raised at once with
// connectionAccepted(); a handler takes it with takeConnection(), and one
// nobody takes is closed when the handlers return. Errors are errno values.
//
// When descriptors run out, the oldest connection retiring in the pool and
// then a descriptor the listener keeps in reserve make room for the newest
// sender. A listener short of descriptors or memory all the same goes on
// listening and tries again shortly, telling each shortage once.
class Listener : public QObject
{
    Q_OBJECT

public:
    // Connections it accepts retire into the pool, which may be null.
    explicit Listener(RetiringPool *pool = nullptr, QObject *parent = nullptr);
    ~Listener() override;

    // Listens on every address at port (0: one the system picks), IPv4
    // alone on a system without IPv6. Returns 0 or the errno: EADDRINUSE
    // when another socket listens on the port, EALREADY while listening.
    int listen(quint16 port);
    // Stops listening; connections already taken stay. Raises nothing.
    void close();
    bool isListening() const { return m_fd.isValid(); }
    // The port bound (the one the system chose for 0), or 0 when closed.
    quint16 port() const;

    // Connections accepted from now on speak TLS with this context; null,
    // the default, for plain TCP.
    void setTls(std::shared_ptr<TlsContext> tls) { m_tls = std::move(tls); }
    const std::shared_ptr<TlsContext> &tls() const { return m_tls; }

    // Inside a connectionAccepted() handler, the connection accepted, its
    // owner now the caller; null anywhere else or once taken.
    std::unique_ptr<Connection> takeConnection();

signals:
    // A sender's connection was accepted: take it now or it is closed.
    void connectionAccepted();
    // No connection can be accepted for want of descriptors (EMFILE,
    // ENFILE) or memory (ENOBUFS, ENOMEM); told once until an accept
    // succeeds again. The listener goes on listening.
    void shortOfResources(int error);
    // The listener failed and is closed.
    void failed(int error);

private:
    void onReadable();
    void stall(int error);
    void fail(int error);
    // Gives up a retiring connection or the reserve; false when neither is left.
    bool freeDescriptor();
    // Takes the reserve again, before any retiring connection.
    void keepReserve();

    QPointer<RetiringPool> m_pool;
    UniqueFd m_fd; // declared before the notifier so it goes first
    SocketIo::NotifierPtr m_reader;
    quint64 m_serial = 0; // names the socket listening now; 0 while closed
    quint64 m_lastSerial = 0;
    bool m_shortageReported = false;
    // The connection being raised, owned by the frame that raises it.
    std::unique_ptr<Connection> *m_accepted = nullptr;
    UniqueFd m_reserve; // see freeDescriptor()
    std::shared_ptr<TlsContext> m_tls;
};

// The machine's first non-loopback IPv4 address, or 127.0.0.1: where
// senders elsewhere reach the listener.
QString machineIPv4Address();
