#include "interface/winsock.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>

namespace {

// Generous on purpose: a wait only runs out when something is broken.
constexpr int kWaitMs = 30000;

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

QByteArray allByteValues()
{
    QByteArray bytes(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        bytes[i] = char(i);
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

// Sockets this process holds; other descriptors (event loop, files) are not ours to count.
int openSocketCount()
{
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.rfind("socket:", 0) == 0)
            ++count;
    }
    return count;
}

// One turn of the layer's event loop, then a short wait on the test's own socket.
void pump(int fd, short events)
{
    QCoreApplication::processEvents();
    pollfd p{fd, events, 0};
    ::poll(&p, 1, 2);
}

// A plain blocking TCP socket playing the remote side. Its waits keep the
// layer's event loop turning, since the layer lives on this same thread.
class Peer
{
public:
    Peer() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Peer() { close(); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // 0 or the errno of the failed connect.
    int connectTo(quint16 port)
    {
        const sockaddr_in address = loopback(port);
        return ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ? 0 : errno;
    }

    // Holds a port the system picks, the way another program would. Returns it, or 0.
    quint16 listenOnLoopback()
    {
        const int on = 1;
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
            || ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
            || ::listen(m_fd, 4) != 0
            || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return 0;
        return ntohs(address.sin_port);
    }

    // 0 or the errno of binding the loopback port without SO_REUSEADDR.
    int bindWithoutReuse(quint16 port)
    {
        const sockaddr_in address = loopback(port);
        return ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ? 0 : errno;
    }

    void setNoDelay()
    {
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }

    // Blocking; only for payloads the kernel takes without the layer reading.
    bool sendAll(const QByteArray &bytes)
    {
        for (qsizetype at = 0; at < bytes.size();) {
            const ssize_t n = ::send(m_fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR)
                return false;
            at += std::max<ssize_t>(n, 0);
        }
        return true;
    }

    bool sendUrgent(char byte) { return ::send(m_fd, &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1; }

    // For payloads larger than the kernel buffers: the layer reads meanwhile.
    bool sendPumping(const QByteArray &bytes)
    {
        QDeadlineTimer deadline(kWaitMs);
        for (qsizetype at = 0; at < bytes.size();) {
            const ssize_t n = ::send(m_fd, bytes.constData() + at, size_t(bytes.size() - at),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                at += n;
            } else if (!wouldBlock(errno) || deadline.hasExpired()) {
                return false;
            } else {
                pump(m_fd, POLLOUT);
            }
        }
        return true;
    }

    // Until size bytes came, the connection ended or the wait ran out.
    QByteArray read(qsizetype size)
    {
        QByteArray got;
        QDeadlineTimer deadline(kWaitMs);
        std::vector<char> buffer(64 * 1024);
        while (got.size() < size && !deadline.hasExpired()) {
            const ssize_t n = ::recv(m_fd, buffer.data(), std::min<size_t>(buffer.size(), size_t(size - got.size())),
                                     MSG_DONTWAIT);
            if (n > 0)
                got.append(buffer.data(), n);
            else if (n == 0 || !wouldBlock(errno))
                break;
            else
                pump(m_fd, POLLIN);
        }
        return got;
    }

    // What the kernel holds for us now; the layer does not run meanwhile.
    QByteArray readWaiting()
    {
        QByteArray got;
        std::vector<char> buffer(64 * 1024);
        ssize_t n = 0;
        while ((n = ::recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0)
            got.append(buffer.data(), n);
        return got;
    }

    // How the connection ended: 0 on end of stream, the errno of a failure, -1 if it did not.
    int waitForEnd()
    {
        QDeadlineTimer deadline(kWaitMs);
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

    // Until the layer's kernel has acknowledged every byte sent, without running the layer.
    bool waitDelivered()
    {
        QDeadlineTimer deadline(kWaitMs);
        int unacknowledged = 0;
        while (::ioctl(m_fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0 && !deadline.hasExpired())
            ::poll(nullptr, 0, 1);
        return unacknowledged == 0;
    }

    // Sends end of stream; the peer can still read.
    void finishSending() { ::shutdown(m_fd, SHUT_WR); }

    // A zero linger turns close into a reset.
    void resetClose()
    {
        const linger abort{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close();
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(std::exchange(m_fd, -1));
    }

private:
    int m_fd;
};

// Listens on element 0 at a port the system picks and keeps that port for
// later listens. Returns the port, or 0.
quint16 listenOnFreePort(Winsock &ws)
{
    ws.setLocalPort(0, 0);
    if (ws.listen(0) != Winsock::NoError)
        return 0;
    const qint32 port = ws.boundPort(0);
    ws.setLocalPort(0, port);
    return quint16(port);
}

// Connects peer and accepts its request on element index, created if need be.
bool connectAndAccept(Winsock &ws, Peer &peer, quint16 port, int index)
{
    if (!ws.exists(index))
        ws.create(index);
    int result = -1;
    const auto connection = QObject::connect(&ws, &Winsock::connectionRequest, &ws,
                                             [&](int, qint32 id) { result = ws.accept(index, id); });
    const bool connected = peer.connectTo(port) == 0
        && QTest::qWaitFor([&] { return result != -1; }, kWaitMs);
    QObject::disconnect(connection);
    return connected && result == Winsock::NoError && ws.isConnected(index);
}

// The layer's events in the order raised; data is taken as it arrives.
struct EventLog
{
    QStringList events;
    QByteArray data;
    QString lastDescription;

    explicit EventLog(Winsock &ws)
    {
        QObject::connect(&ws, &Winsock::dataArrival, &ws, [this, &ws](int index, qint64) {
            events << QStringLiteral("data %1").arg(index);
            data += ws.takeData(index);
        });
        QObject::connect(&ws, &Winsock::peerClosed, &ws,
                         [this](int index) { events << QStringLiteral("closed %1").arg(index); });
        QObject::connect(&ws, &Winsock::socketError, &ws, [this](int index, int number, const QString &text) {
            events << QStringLiteral("error %1 %2").arg(index).arg(number);
            lastDescription = text;
        });
    }
};

} // namespace

class tst_Winsock : public QObject
{
    Q_OBJECT

private slots:
    void elementArrayAndProperties();
    void acceptsAndPassesEveryByteValueBothWays();
    void arrivalReportsEverythingWaiting();
    void listenAndAcceptRefusals();
    void relistensAtOnceAfterPeerClose();
    void relistensAtOnceOverTimeWait();
    void orderlyCloseIsPeerClosedAfterTheData();
    void resetIsError10054AfterTheData();
    void everyEndedConnectionFreesItsSocket();
    void secondClientReplacesFirstOnElementOne();
    void slowReaderGetsEveryByteInOrder();
    void floodArrivesIntactInBoundedSlices();
    void closingOneElementLeavesTheOtherAlone();
    void peerClosedHandlerMayCloseAllAndListenAgain();
    void handlersMayRemoveWhatRaisedTheEvent();
    void destructorClosesEverything();
    void answersQueuedAtTheEndStillGoOut();
    void peerLettingAnswersPileUpIsDropped();
    void listenerShortOfDescriptorsWaitsAndGoesOn();
};

void tst_Winsock::elementArrayAndProperties()
{
    Winsock ws;
    QCOMPARE(ws.count(), 1);
    QVERIFY(ws.exists(0));
    QVERIFY(!ws.create(0));
    QVERIFY(ws.create(1));
    QVERIFY(!ws.create(1));
    QCOMPARE(ws.count(), 2);
    ws.destroy(0); // the listener always stays
    QVERIFY(ws.exists(0));

    ws.setRemoteHost(1, QStringLiteral("10.20.30.40"));
    ws.setRemotePort(1, 2575);
    ws.setProtocol(1, 1);
    ws.setLocalPort(1, 5000);
    QCOMPARE(ws.remoteHost(1), QStringLiteral("10.20.30.40"));
    QCOMPARE(ws.remotePort(1), 2575);
    QCOMPARE(ws.protocol(1), 1);
    QCOMPARE(ws.localPort(1), 5000);
    QVERIFY(ws.listen(1) != Winsock::NoError); // only TCP (0) can listen
    QVERIFY(!ws.isListening(1));
    ws.destroy(1);
    QCOMPARE(ws.count(), 1);
    QVERIFY(ws.create(1)); // a new element starts from nothing
    QCOMPARE(ws.remoteHost(1), QString());
    QCOMPARE(ws.localPort(1), 0);

    // A closed element: nothing to send on, nothing bound, closing again is harmless.
    ws.send(1, "ignored");
    QCOMPARE(ws.bytesToWrite(1), 0);
    ws.close(1);
    QVERIFY(!ws.isListening(1));
    QVERIFY(!ws.isConnected(1));
    QCOMPARE(ws.boundPort(1), 0);

    const QHostAddress ip(ws.localIP(0));
    QCOMPARE(ip.protocol(), QAbstractSocket::IPv4Protocol);
    QList<QHostAddress> candidates;
    for (const QNetworkInterface &nic : QNetworkInterface::allInterfaces()) {
        if (!nic.flags().testFlag(QNetworkInterface::IsUp) || nic.flags().testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : nic.addressEntries())
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                candidates << entry.ip();
    }
    if (candidates.isEmpty())
        QCOMPARE(ip, QHostAddress(QHostAddress::LocalHost));
    else
        QVERIFY2(candidates.contains(ip), qPrintable(ip.toString()));
}

void tst_Winsock::acceptsAndPassesEveryByteValueBothWays()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    QVERIFY(port != 0);
    QVERIFY(ws.isListening(0));
    QVERIFY(ws.create(1));

    int accepted = -1;
    connect(&ws, &Winsock::connectionRequest, &ws, [&](int, qint32 id) { accepted = ws.accept(1, id); });
    QSignalSpy requests(&ws, &Winsock::connectionRequest);
    Peer peer;
    QCOMPARE(peer.connectTo(port), 0);
    QVERIFY(requests.wait(kWaitMs));
    QCOMPARE(requests.count(), 1);
    QCOMPARE(requests.at(0).at(0).toInt(), 0); // raised by the listener
    QCOMPARE(accepted, 0);
    QVERIFY(ws.isConnected(1));
    QVERIFY(ws.isListening(0)); // accepting does not stop the listener
    QCOMPARE(ws.boundPort(1), port);

    const QByteArray inbound = allByteValues().repeated(4);
    QSignalSpy arrivals(&ws, &Winsock::dataArrival);
    QVERIFY(peer.sendAll(inbound));
    QByteArray received;
    QVERIFY(QTest::qWaitFor([&] { received += ws.takeData(1); return received.size() >= inbound.size(); }, kWaitMs));
    QCOMPARE(received, inbound);
    QVERIFY(!arrivals.isEmpty());
    QCOMPARE(arrivals.at(0).at(0).toInt(), 1);
    QVERIFY(ws.takeData(1).isEmpty());

    // An urgent byte stays in the stream, where it was sent.
    QVERIFY(peer.sendAll("urgent-") && peer.sendUrgent('Z'));
    QVERIFY(QTest::qWaitFor([&] { received += ws.takeData(1); return received.size() >= inbound.size() + 8; }, kWaitMs));
    QCOMPARE(received.mid(inbound.size()), QByteArray("urgent-Z"));

    QByteArray outbound = allByteValues();
    std::reverse(outbound.begin(), outbound.end());
    ws.send(1, outbound);
    QCOMPARE(peer.read(outbound.size()), outbound);
    QCOMPARE(ws.bytesToWrite(1), 0);
}

void tst_Winsock::arrivalReportsEverythingWaiting()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    Peer peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));
    peer.setNoDelay();

    QSignalSpy arrivals(&ws, &Winsock::dataArrival);
    QVERIFY(peer.sendAll("first"));
    QVERIFY(peer.sendAll("second"));
    QVERIFY(peer.waitDelivered()); // both sit in the kernel before the layer looks
    QVERIFY(arrivals.wait(kWaitMs));
    QCOMPARE(arrivals.count(), 1);
    QCOMPARE(arrivals.at(0).at(1).toLongLong(), 11);

    // Bytes not taken stay, and the next arrival counts them too.
    QVERIFY(peer.sendAll("third"));
    QVERIFY(arrivals.wait(kWaitMs));
    QCOMPARE(arrivals.count(), 2);
    QCOMPARE(arrivals.at(1).at(1).toLongLong(), 16);
    QCOMPARE(ws.takeData(1), QByteArray("firstsecondthird"));
}

void tst_Winsock::listenAndAcceptRefusals()
{
    Winsock holder;
    const quint16 held = listenOnFreePort(holder);
    QVERIFY(held != 0);
    Winsock ws;
    ws.setLocalPort(0, held);
    QCOMPARE(ws.listen(0), int(Winsock::ErrAddressInUse));
    QVERIFY(!ws.isListening(0));
    QCOMPARE(ws.boundPort(0), 0); // the refused socket was not kept

    // Another program listening on loopback only, with SO_REUSEADDR, holds its port just as well.
    Peer other;
    const quint16 otherPort = other.listenOnLoopback();
    QVERIFY(otherPort != 0);
    ws.setLocalPort(0, otherPort);
    QCOMPARE(ws.listen(0), int(Winsock::ErrAddressInUse));

    for (const qint32 outOfRange : {65536, -1, 1 << 20}) {
        ws.setLocalPort(0, outOfRange);
        QCOMPARE(ws.listen(0), int(Winsock::ErrAddressNotAvailable));
        QVERIFY(!ws.isListening(0));
    }
    QVERIFY(ws.listen(7) != Winsock::NoError); // no such element
    QVERIFY(!ws.exists(7));

    const quint16 port = listenOnFreePort(ws);
    QVERIFY(port != 0);
    QCOMPARE(ws.listen(0), int(Winsock::ErrInvalidState));
    QVERIFY(ws.isListening(0));

    // Refused accepts leave both the request's listener and the target alone.
    QVERIFY(ws.create(1));
    qint32 seen = 0;
    int onListener = -1;
    int unknownId = -1;
    const auto refuse = connect(&ws, &Winsock::connectionRequest, &ws, [&](int, qint32 id) {
        seen = id;
        onListener = ws.accept(0, id);
        unknownId = ws.accept(1, id + 1000);
    });
    Peer first;
    QCOMPARE(first.connectTo(port), 0);
    QVERIFY(QTest::qWaitFor([&] { return seen != 0; }, kWaitMs));
    disconnect(refuse);
    QCOMPARE(onListener, int(Winsock::ErrInvalidState));
    QCOMPARE(unknownId, int(Winsock::ErrInvalid));
    QCOMPARE(ws.accept(1, seen), int(Winsock::ErrInvalid)); // a request ends with its handlers
    QCOMPARE(first.waitForEnd(), 0);
    QVERIFY(ws.isListening(0));
    QVERIFY(!ws.isConnected(1));

    Peer second;
    QVERIFY(connectAndAccept(ws, second, port, 1));
    QCOMPARE(ws.listen(1), int(Winsock::ErrInvalidState)); // connected elements cannot listen
    QVERIFY(ws.isConnected(1));
}

void tst_Winsock::relistensAtOnceAfterPeerClose()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    QVERIFY(port != 0);
    QSignalSpy closed(&ws, &Winsock::peerClosed);
    for (int round = 0; round < 3; ++round) {
        Peer peer;
        QVERIFY(connectAndAccept(ws, peer, port, 1));
        peer.close();
        QVERIFY(closed.wait(kWaitMs));
        ws.close(0);
        QCOMPARE(ws.listen(0), 0);
        QCOMPARE(ws.boundPort(0), port);
    }
    Peer last;
    QVERIFY(connectAndAccept(ws, last, port, 1));
}

void tst_Winsock::relistensAtOnceOverTimeWait()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    QVERIFY(port != 0);
    Peer peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));
    ws.close(1); // our side closes first, so the lingering state is ours
    QCOMPARE(peer.waitForEnd(), 0);
    peer.close();
    ws.close(0);

    // The old connection still holds the port against a plain bind...
    Peer plain;
    QCOMPARE(plain.bindWithoutReuse(port), EADDRINUSE);
    // ...but not against the listener.
    QCOMPARE(ws.listen(0), 0);
    Peer next;
    QVERIFY(connectAndAccept(ws, next, port, 1));
}

void tst_Winsock::orderlyCloseIsPeerClosedAfterTheData()
{
    Winsock ws;
    EventLog log(ws);
    const quint16 port = listenOnFreePort(ws);
    Peer peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));

    QVERIFY(peer.sendAll("last words"));
    peer.close();
    QTRY_VERIFY_WITH_TIMEOUT(log.events.contains(QStringLiteral("closed 1")), kWaitMs);
    QCOMPARE(log.events, QStringList({QStringLiteral("data 1"), QStringLiteral("closed 1")}));
    QCOMPARE(log.data, QByteArray("last words"));
    QVERIFY(!ws.isConnected(1));
    QCOMPARE(ws.boundPort(1), 0); // its socket is gone
    QVERIFY(ws.isListening(0));
}

void tst_Winsock::resetIsError10054AfterTheData()
{
    Winsock ws;
    EventLog log(ws);
    const quint16 port = listenOnFreePort(ws);
    Peer peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));

    QVERIFY(peer.sendAll("partial"));
    peer.resetClose();
    QTRY_VERIFY_WITH_TIMEOUT(log.events.contains(QStringLiteral("error 1 10054")), kWaitMs);
    QCOMPARE(log.events, QStringList({QStringLiteral("data 1"), QStringLiteral("error 1 10054")}));
    QCOMPARE(log.data, QByteArray("partial"));
    QVERIFY(!log.lastDescription.isEmpty());
    QVERIFY(!ws.isConnected(1));
    QCOMPARE(ws.boundPort(1), 0);
    QVERIFY(ws.isListening(0));
}

void tst_Winsock::everyEndedConnectionFreesItsSocket()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    QVERIFY(port != 0);
    const int socketsBefore = openSocketCount();

    // Requests nobody accepts are closed once their handlers return.
    QSet<qint32> ids;
    const auto ignore = connect(&ws, &Winsock::connectionRequest, &ws, [&](int, qint32 id) { ids.insert(id); });
    for (int i = 0; i < 300; ++i) {
        Peer peer;
        QCOMPARE(peer.connectTo(port), 0);
        QVERIFY(QTest::qWaitFor([&] { return ids.size() == i + 1; }, kWaitMs)); // and each id is fresh
        QCOMPARE(peer.waitForEnd(), 0);
    }
    disconnect(ignore);
    QCOMPARE(openSocketCount(), socketsBefore);

    // Accepted connections, ended from either side in every way.
    for (int i = 0; i < 40; ++i) {
        Peer peer;
        QVERIFY(connectAndAccept(ws, peer, port, 1));
        switch (i % 4) {
        case 0: ws.close(1); break;
        case 1: ws.destroy(1); break;
        case 2: peer.close(); break;
        case 3: peer.resetClose(); break;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!ws.isConnected(1), kWaitMs);
    }
    QCOMPARE(openSocketCount(), socketsBefore);
    QVERIFY(ws.isListening(0));
}

void tst_Winsock::secondClientReplacesFirstOnElementOne()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    int lastAccept = -1;
    connect(&ws, &Winsock::connectionRequest, &ws, [&](int, qint32 id) {
        ws.destroy(1);
        ws.create(1);
        lastAccept = ws.accept(1, id);
    });
    auto receive = [&](qsizetype size) {
        QByteArray got;
        (void)QTest::qWaitFor([&] { got += ws.takeData(1); return got.size() >= size; }, kWaitMs);
        return got;
    };

    Peer first;
    QCOMPARE(first.connectTo(port), 0);
    QTRY_COMPARE_WITH_TIMEOUT(lastAccept, 0, kWaitMs);
    QVERIFY(first.sendAll("from first"));
    QCOMPARE(receive(10), QByteArray("from first"));

    lastAccept = -1;
    Peer second;
    QCOMPARE(second.connectTo(port), 0);
    QTRY_COMPARE_WITH_TIMEOUT(lastAccept, 0, kWaitMs);
    QCOMPARE(first.waitForEnd(), 0);
    QCOMPARE(ws.count(), 2);
    QVERIFY(second.sendAll("from second"));
    QCOMPARE(receive(11), QByteArray("from second"));
    ws.send(1, "to second");
    QCOMPARE(second.read(9), QByteArray("to second"));
}

void tst_Winsock::slowReaderGetsEveryByteInOrder()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    Peer peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));

    // Many small sends of varied size while the peer reads nothing.
    const QByteArray expected = randomBytes(16 << 20, 7);
    QRandomGenerator sizes(11);
    qsizetype sent = 0;
    int sends = 0;
    auto sendUpTo = [&](qsizetype end) {
        for (; sent < end; ++sends) {
            const qsizetype size = std::min<qsizetype>(1 + sizes.bounded(2000), end - sent);
            ws.send(1, expected.mid(sent, size));
            sent += size;
        }
    };
    sendUpTo(expected.size() / 2);
    QVERIFY(ws.bytesToWrite(1) > 0); // the kernel could not take it all, so the queue is in play

    // The peer empties the kernels' buffers while the layer does not run: the
    // kernel has room again, yet new bytes must still go behind the backlog.
    QByteArray got = peer.readWaiting();
    QVERIFY(!got.isEmpty());
    sendUpTo(expected.size());
    QVERIFY(sends >= 10000);

    got += peer.read(expected.size() - got.size());
    QCOMPARE(got.size(), expected.size());
    QVERIFY(got == expected);
    QTRY_COMPARE_WITH_TIMEOUT(ws.bytesToWrite(1), 0, kWaitMs);
}

void tst_Winsock::floodArrivesIntactInBoundedSlices()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    Peer peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));
    QByteArray got;
    qint64 largest = 0;
    connect(&ws, &Winsock::dataArrival, &ws, [&](int index, qint64 total) {
        largest = std::max(largest, total);
        got += ws.takeData(index);
    });

    const QByteArray flood = randomBytes(8 << 20, 3);
    QVERIFY(peer.sendPumping(flood));
    QVERIFY(QTest::qWaitFor([&] { return got.size() >= flood.size(); }, kWaitMs));
    QCOMPARE(got.size(), flood.size());
    QVERIFY(got == flood);
    QVERIFY(largest > 0);
    QVERIFY(largest <= 1 << 20);
}

void tst_Winsock::closingOneElementLeavesTheOtherAlone()
{
    Winsock ws;
    QSignalSpy errors(&ws, &Winsock::socketError);
    QSignalSpy closed(&ws, &Winsock::peerClosed);
    const quint16 port = listenOnFreePort(ws);
    Peer peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));

    ws.close(0);
    QVERIFY(!ws.isListening(0));
    QVERIFY(ws.isConnected(1));
    Peer refused;
    QCOMPARE(refused.connectTo(port), ECONNREFUSED);
    ws.send(1, "still here");
    QCOMPARE(peer.read(10), QByteArray("still here"));
    QVERIFY(peer.sendAll("me too"));
    QByteArray got;
    QVERIFY(QTest::qWaitFor([&] { got += ws.takeData(1); return got.size() >= 6; }, kWaitMs));
    QCOMPARE(got, QByteArray("me too"));

    QCOMPARE(ws.listen(0), 0);
    ws.close(1);
    QCOMPARE(peer.waitForEnd(), 0);
    QVERIFY(ws.isListening(0));
    ws.close(1);
    ws.close(5); // no such element
    QVERIFY(ws.exists(1));
    Peer next;
    QVERIFY(connectAndAccept(ws, next, port, 1));
    QCOMPARE(errors.count(), 0); // our own closes raise nothing
    QCOMPARE(closed.count(), 0);
}

void tst_Winsock::peerClosedHandlerMayCloseAllAndListenAgain()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    QVERIFY(port != 0);
    int relisten = -1;
    connect(&ws, &Winsock::peerClosed, &ws, [&](int) {
        ws.close(0);
        ws.close(1);
        ws.destroy(1);
        relisten = ws.listen(0);
    });
    QSignalSpy closed(&ws, &Winsock::peerClosed);
    QSignalSpy errors(&ws, &Winsock::socketError);

    Peer first;
    QVERIFY(connectAndAccept(ws, first, port, 1));
    first.close();
    QVERIFY(closed.wait(kWaitMs));
    QCOMPARE(relisten, 0);
    QVERIFY(ws.isListening(0));
    QCOMPARE(ws.count(), 1);

    // Again, with the close arriving while a data handler sits in a modal loop.
    bool inModal = false;
    connect(&ws, &Winsock::dataArrival, &ws, [&](int index, qint64) {
        ws.takeData(index);
        if (inModal)
            return;
        inModal = true;
        QEventLoop modal;
        connect(&ws, &Winsock::peerClosed, &modal, &QEventLoop::quit);
        QTimer::singleShot(kWaitMs, &modal, &QEventLoop::quit);
        modal.exec();
    });
    relisten = -1;
    Peer second;
    QVERIFY(connectAndAccept(ws, second, port, 1));
    QVERIFY(second.sendAll("hello"));
    second.close();
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 2, kWaitMs);
    QVERIFY(inModal);
    QCOMPARE(relisten, 0);
    QCOMPARE(ws.count(), 1);
    Peer third;
    QVERIFY(connectAndAccept(ws, third, port, 1));
    QCOMPARE(closed.count(), 2); // nothing more was raised for the old connection
    QCOMPARE(errors.count(), 0);
}

void tst_Winsock::handlersMayRemoveWhatRaisedTheEvent()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    QSignalSpy errors(&ws, &Winsock::socketError);

    // A data handler destroys the element raising it.
    const auto destroyer = connect(&ws, &Winsock::dataArrival, &ws, [&](int index, qint64) { ws.destroy(index); });
    Peer doomed;
    QVERIFY(connectAndAccept(ws, doomed, port, 1));
    QVERIFY(doomed.sendAll("doomed"));
    QTRY_VERIFY_WITH_TIMEOUT(!ws.exists(1), kWaitMs);
    QCOMPARE(doomed.waitForEnd(), 0);
    disconnect(destroyer);
    Peer again;
    QVERIFY(connectAndAccept(ws, again, port, 1)); // the index is usable again
    ws.send(1, "fresh");
    QCOMPARE(again.read(5), QByteArray("fresh"));

    // A request handler closes the listener while more requests wait behind it.
    QSignalSpy requests(&ws, &Winsock::connectionRequest);
    const auto closer = connect(&ws, &Winsock::connectionRequest, &ws, [&](int index, qint32) { ws.close(index); });
    Peer waiting[3];
    for (Peer &peer : waiting)
        QCOMPARE(peer.connectTo(port), 0); // all complete in the kernel before the loop runs
    QVERIFY(requests.wait(kWaitMs));
    for (Peer &peer : waiting)
        QVERIFY(peer.waitForEnd() != -1);
    disconnect(closer);
    QCOMPARE(requests.count(), 1);
    QVERIFY(!ws.isListening(0));
    QVERIFY(ws.isConnected(1));

    // A full read's worth of data and then the close, both waiting before the layer
    // wakes, come in one wake-up: a handler that closes or destroys the element on
    // the data must not then hear of the close.
    QSignalSpy closed(&ws, &Winsock::peerClosed);
    ws.close(1);
    QCOMPARE(ws.listen(0), 0);
    for (const bool destroy : {false, true}) {
        const auto remover = connect(&ws, &Winsock::dataArrival, &ws, [&](int index, qint64) {
            if (destroy)
                ws.destroy(index);
            else
                ws.close(index);
        });
        Peer peer;
        QVERIFY(connectAndAccept(ws, peer, port, 1));
        QVERIFY(peer.sendPumping(randomBytes(64 * 1024, 5)));
        peer.finishSending();
        QVERIFY(peer.waitDelivered());
        QTRY_VERIFY_WITH_TIMEOUT(!ws.isConnected(1), kWaitMs);
        QCOMPARE(peer.waitForEnd(), 0);
        disconnect(remover);
        QCOMPARE(ws.exists(1), !destroy);
        QCOMPARE(closed.count(), 0);
    }
    QCOMPARE(errors.count(), 0);
}

void tst_Winsock::destructorClosesEverything()
{
    Peer peer;
    const int socketsBefore = openSocketCount();
    auto ws = std::make_unique<Winsock>();
    const quint16 port = listenOnFreePort(*ws);
    QVERIFY(connectAndAccept(*ws, peer, port, 1));
    QCOMPARE(openSocketCount(), socketsBefore + 2);

    ws.reset();
    QCOMPARE(peer.waitForEnd(), 0);
    QCOMPARE(openSocketCount(), socketsBefore);
    Peer late;
    QCOMPARE(late.connectTo(port), ECONNREFUSED);
}

void tst_Winsock::answersQueuedAtTheEndStillGoOut()
{
    const int socketsBefore = openSocketCount();
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    QSignalSpy errors(&ws, &Winsock::socketError);
    // As the window uses it: the newest connection replaces the current one, every
    // arrival gets a 4 KiB answer at once, a peer's end closes all and listens again.
    int arrivals = 0;
    QByteArray answered;
    bool closedAtOnce = false;
    connect(&ws, &Winsock::connectionRequest, &ws, [&](int, qint32 id) {
        ws.destroy(1);
        ws.create(1);
        ws.accept(1, id);
    });
    connect(&ws, &Winsock::dataArrival, &ws, [&](int index, qint64) {
        ws.takeData(index);
        answered += QByteArray::number(++arrivals).leftJustified(4096, '.');
        ws.send(index, answered.right(4096));
    });
    connect(&ws, &Winsock::peerClosed, &ws, [&](int index) {
        closedAtOnce = !ws.isConnected(index) && ws.bytesToWrite(index) == 0;
        ws.close(0);
        ws.close(1);
        ws.listen(0);
    });
    // Connects and sends message after message, each one arrival, reading nothing.
    // Returns the answers, once more of them are queued than the kernel holds.
    const auto streamUnread = [&](Peer &peer) {
        answered.clear();
        QDeadlineTimer deadline(kWaitMs);
        if (peer.connectTo(port) != 0)
            return QByteArray();
        for (int i = 0; i < 3000 && peer.sendAll("MSH|" + QByteArray::number(i)); ++i)
            for (const int before = arrivals; arrivals == before && !deadline.hasExpired();)
                QCoreApplication::processEvents();
        return ws.bytesToWrite(1) > 0 && !deadline.hasExpired() ? answered : QByteArray();
    };

    Peer halfClosing, replaced, newer;
    const QByteArray forHalfClosing = streamUnread(halfClosing);
    QVERIFY(!forHalfClosing.isEmpty());
    halfClosing.finishSending();
    QVERIFY(halfClosing.read(forHalfClosing.size()) == forHalfClosing);
    QCOMPARE(halfClosing.waitForEnd(), 0);
    QVERIFY(closedAtOnce && ws.isListening(0));

    const QByteArray forReplaced = streamUnread(replaced);
    QVERIFY(!forReplaced.isEmpty());
    QCOMPARE(newer.connectTo(port), 0);
    QVERIFY(replaced.read(forReplaced.size()) == forReplaced);
    QCOMPARE(replaced.waitForEnd(), 0);
    for (Peer *peer : {&halfClosing, &replaced, &newer})
        peer->close();
    // Each retiring socket ends with its peer's end: only the listener is left.
    QTRY_COMPARE_WITH_TIMEOUT(openSocketCount(), socketsBefore + 1, kWaitMs);

    Peer dropped;
    const QByteArray forDropped = streamUnread(dropped);
    QVERIFY(!forDropped.isEmpty());
    ws.close(1);
    const int socketsRetiring = openSocketCount();
    ws.dropRetiring();
    QCOMPARE(openSocketCount(), socketsRetiring - 1);
    const QByteArray got = dropped.read(forDropped.size());
    QVERIFY(got.size() < forDropped.size() && forDropped.startsWith(got));
    QVERIFY(dropped.waitForEnd() != -1);
    QCOMPARE(errors.count(), 0); // the pool raises nothing
}

void tst_Winsock::peerLettingAnswersPileUpIsDropped()
{
    Winsock ws;
    EventLog log(ws);
    const quint16 port = listenOnFreePort(ws);
    Peer peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));
    const QByteArray chunk = randomBytes(1 << 20, 13);
    qint64 sent = 0;
    for (; ws.isConnected(1) && sent < (128 << 20); sent += chunk.size())
        ws.send(1, chunk);
    // Raised from the event loop, not inside send().
    QVERIFY(!ws.isConnected(1) && ws.bytesToWrite(1) == 0 && log.events.isEmpty());
    const QStringList toldOnce{QStringLiteral("error 1 10055")};
    QTRY_COMPARE_WITH_TIMEOUT(log.events, toldOnce, kWaitMs);

    // Closed at once, not flushed: the peer gets only what its kernel took, in order.
    const QByteArray got = peer.read(sent);
    QVERIFY(got.size() < sent - (64 << 20));
    QVERIFY(got == chunk.repeated(got.size() / chunk.size() + 1).left(got.size()));
    QCOMPARE(peer.waitForEnd(), 0);
    Peer next;
    QVERIFY(connectAndAccept(ws, next, port, 1)); // the listener went on
    QCOMPARE(log.events, toldOnce);
}

void tst_Winsock::listenerShortOfDescriptorsWaitsAndGoesOn()
{
    Winsock ws;
    EventLog log(ws);
    const quint16 port = listenOnFreePort(ws);
    QVERIFY(port != 0 && ws.create(1));
    connect(&ws, &Winsock::connectionRequest, &ws, [&](int, qint32 id) { ws.accept(1, id); });
    // Every descriptor under a lowered limit is taken; on every path all are
    // given back and the limit restored.
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    const rlimit lowered{std::min<rlim_t>(256, saved.rlim_cur), saved.rlim_max};
    std::vector<int> fillers;
    const auto giveBack = [&] {
        for (const int fd : std::exchange(fillers, {}))
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
    };
    const auto restore = qScopeGuard(giveBack);

    // Each shortage is told once; after an accept succeeds the next is told again.
    for (int shortage = 1; shortage <= 2; ++shortage) {
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
        for (int fd; (fd = ::eventfd(0, EFD_CLOEXEC)) >= 0;)
            fillers.push_back(fd);
        QVERIFY(errno == EMFILE && !fillers.empty());
        ::close(fillers.back());
        fillers.pop_back();
        Peer peer; // takes the one descriptor left
        QCOMPARE(peer.connectTo(port), 0);
        const QStringList told(shortage, QStringLiteral("error 0 10024"));
        QTRY_COMPARE_WITH_TIMEOUT(log.events.filter(QStringLiteral("error")), told, kWaitMs);
        QTest::qWait(350); // the listener looks again meanwhile, without telling again
        QCOMPARE(log.events.filter(QStringLiteral("error")), told);
        QVERIFY(ws.isListening(0) && !ws.isConnected(1));

        giveBack();
        QTRY_VERIFY_WITH_TIMEOUT(ws.isConnected(1), kWaitMs);
        ws.send(1, "answered");
        QCOMPARE(peer.read(8), QByteArray("answered"));
        ws.close(1);
    }
}

QTEST_GUILESS_MAIN(tst_Winsock)
#include "tst_winsock.moc"
