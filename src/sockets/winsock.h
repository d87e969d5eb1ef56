#pragma once

#include "system/unixfile.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <memory>

// The socket endpoint array: TCP endpoints indexed from 0, over the operating
// system's non-blocking sockets. Element 0 exists from construction and is
// the listener; other elements are created and destroyed by index. Every
// event is raised on the thread that owns the array, one at a time, and
// carries the index of the element that raised it.
//
// Error numbers are Windows Sockets numbers (the Err constants below),
// because that is what the operator sees in the error box.
class Winsock : public QObject
{
    Q_OBJECT

public:
    enum : int {
        NoError = 0,
        ErrAccess = 10013,          // WSAEACCES
        ErrInvalid = 10022,         // WSAEINVAL
        ErrTooManyFiles = 10024,    // WSAEMFILE
        ErrAddressInUse = 10048,    // WSAEADDRINUSE
        ErrAddressNotAvailable = 10049, // WSAEADDRNOTAVAIL
        ErrNetworkDown = 10050,     // WSAENETDOWN
        ErrNetworkUnreachable = 10051, // WSAENETUNREACH
        ErrConnectionAborted = 10053,   // WSAECONNABORTED
        ErrConnectionReset = 10054,     // WSAECONNRESET
        ErrNoBuffers = 10055,       // WSAENOBUFS
        ErrNotConnected = 10057,    // WSAENOTCONN
        ErrTimedOut = 10060,        // WSAETIMEDOUT
        ErrConnectionRefused = 10061, // WSAECONNREFUSED
        ErrHostUnreachable = 10065, // WSAEHOSTUNREACH
        ErrSystemCallFailure = 10107, // WSASYSCALLFAILURE: a failure with no closer number
        ErrInvalidState = 40020,    // the control's own "invalid operation in current state"
    };

    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    // Number of elements that exist (element 0 and, once created, element 1).
    int count() const;
    bool exists(int index) const;
    // A new, closed element. Fails (returns false) when the element exists.
    bool create(int index);
    // The element and any connection on it are gone. Element 0 cannot go.
    void destroy(int index);

    // Kept for the next listen. Only the local port matters to a listener;
    // the remote host and port are stored as given and never compared.
    void setRemoteHost(int index, const QString &host);
    void setRemotePort(int index, qint32 port);
    void setProtocol(int index, int protocol); // 0 selects TCP, the only one supported
    void setLocalPort(int index, qint32 port);
    QString remoteHost(int index) const;
    qint32 remotePort(int index) const;
    qint32 localPort(int index) const;
    int protocol(int index) const;
    // The port the element's socket is bound to right now (the one the system
    // chose when listening on port 0), or 0 when the element has no socket.
    qint32 boundPort(int index) const;

    // The machine's first non-loopback IPv4 address, or 127.0.0.1.
    QString localIP(int index) const;
    // The address of the peer connected to the element ("" when none); an
    // IPv4 sender reads as plain IPv4 ("127.0.0.1"), never IPv4-mapped IPv6.
    QString remoteHostIP(int index) const;
    // The port of that peer, or 0.
    quint16 remotePeerPort(int index) const;

    // Listen on every IPv4 and IPv6 address at the local port (IPv4 alone on
    // a system without IPv6). Returns 0, or the error number:
    // ErrAddressInUse when another socket already listens on the port.
    int listen(int index);
    // Connect this closed element to the peer of a connection request.
    // Returns 0 or an error number (unknown request, element not closed).
    int accept(int index, qint32 requestId);
    // Every byte received on the element and not yet taken.
    QByteArray takeData(int index);
    // Queue the bytes for sending; never blocks. What the kernel does not take
    // at once goes out, in order, when the socket becomes writable again. A
    // peer that lets more than 64 MiB pile up here loses its connection at
    // once, told as ErrNoBuffers from the event loop.
    void send(int index, const QByteArray &bytes);
    // Closed; closing a closed element does nothing. Answers still queued for
    // the connection go out after it (see dropRetiring); the element itself
    // is closed at once and raises nothing more.
    void close(int index);

    // Connections closed, destroyed or ended by their peer while answers were
    // still queued keep delivering them out of sight of the elements, then end
    // in order. This closes every one of them at once (for Stop and Exit).
    void dropRetiring();
    // At most this many connections retire at once (and 64 MiB, counting the
    // kernel's queues); past that the oldest goes first. When descriptors run
    // out, retiring connections and then a reserved descriptor make room for
    // the newest sender.
    static constexpr int MaxRetiringConnections = 32;

    bool isListening(int index) const;
    bool isConnected(int index) const;
    // Bytes queued on the element that the kernel has not taken yet.
    qint64 bytesToWrite(int index) const;

signals:
    // A peer asks to connect to the listening element. The request is dropped
    // (its connection closed) if no element accepts it before the handler returns.
    void connectionRequest(int index, qint32 requestId);
    // Data has arrived on a connected element; bytesTotal is what is waiting.
    void dataArrival(int index, qint64 bytesTotal);
    // A run of back-to-back arrivals on the element is over (the sender
    // paused, or the run has had its share of time): the event loop is about
    // to get its turn. What need not be done before each answer is done here.
    void arrivalsSettled(int index);
    // The peer closed the connection in order (not a reset).
    void peerClosed(int index);
    // An error on the element, with its Windows Sockets number; a reset by
    // the peer is ErrConnectionReset, a peer that let 64 MiB of answers pile
    // up unread ErrNoBuffers. The element is left closed, except for a
    // listener that cannot take a new connection for want of descriptors
    // (ErrTooManyFiles) or memory (ErrNoBuffers): it goes on listening and
    // tries again shortly, and each such
    // shortage is raised once, until an accept succeeds again.
    void socketError(int index, int number, const QString &description);

private:
    struct Element;
    struct Retiring;

    Element *element(int index) const;
    bool peerAddress(int index, struct sockaddr_storage *address) const;
    // The element at index only while it still holds the socket numbered
    // serial: any handler may close, destroy or recreate it under us.
    Element *live(int index, quint64 serial) const;
    void attach(int index, Element &e, UniqueFd fd, bool listening);
    qint32 nextRequestId();

    void onListenerReadable(int index, quint64 serial);
    // How a run of reads ended: nothing came; arrivals, then a pause; or
    // arrivals still coming when the run's time was up.
    enum class ReadRun { Nothing, Settled, TimeUp };
    void onReadable(int index, quint64 serial);
    // Reads arrivals one after another, the first one waited for patienceNs,
    // and tells when they pause; a run out of time goes on from the event loop.
    void readAndSettle(int index, quint64 serial, qint64 patienceNs);
    ReadRun readArrivals(int index, quint64 serial, qint64 patienceNs);
    void onWritable(int index, quint64 serial);
    void failElement(int index, int number);
    void stallListener(int index, Element &e, int number);
    // Gives up a retiring connection or the reserve; false when neither is left.
    bool freeDescriptorForAccept();
    // Takes the reserve again, before any retiring connection.
    void keepReserve();
    void dropOverflowing(int index, Element &e);

    // Closes the element's connection, or hands it to the retiring pool when
    // answers are still queued for it.
    void endConnection(Element &e, bool peerEnded);
    void retire(UniqueFd fd, QByteArray outgoing, bool peerEnded);
    Retiring *retiring(quint64 id) const;
    void onRetiringReadable(quint64 id);
    void onRetiringWritable(quint64 id);
    void closeRetiring(quint64 id);
    void countKernelQueue(Retiring &r, int queued);
    void watchRetiring();

    std::map<int, std::unique_ptr<Element>> m_elements;
    // Connections accepted from the kernel whose request is being raised;
    // each is owned by the stack frame raising it until an accept takes it.
    QHash<qint32, UniqueFd *> m_pendingRequests;
    qint32 m_nextRequestId = 1;
    quint64 m_lastSerial = 0;
    QByteArray m_readBuffer;
    // Oldest first, so the oldest is given up first when the pool runs full.
    std::map<quint64, std::unique_ptr<Retiring>> m_retiring;
    qint64 m_retiringBytes = 0; // our own queues in the pool and the kernel's, as last seen
    QTimer m_retiringWatch;
    UniqueFd m_reserve; // see freeDescriptorForAccept()
};
