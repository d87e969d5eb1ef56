#include "testbase.h"

#include "sockets/winsock.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

namespace {

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
bool connectAndAccept(Winsock &ws, LoopbackClient &peer, quint16 port, int index)
{
    if (!ws.exists(index))
        ws.create(index);
    int result = -1;
    const auto connection = QObject::connect(&ws, &Winsock::connectionRequest, &ws,
                                             [&](int, qint32 id) { result = ws.accept(index, id); });
    const bool connected = peer.connectTo(port)
        && QTest::qWaitFor([&] { return result != -1; }, WaitMs);
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
    void endOfTheConnectionComesAfterTheData_data();
    void endOfTheConnectionComesAfterTheData();
    void everyEndedConnectionFreesItsSocket();
    void secondClientReplacesFirstOnElementOne();
    void slowReaderGetsEveryByteInOrder();
    void floodArrivesIntactInBoundedSlices();
    void aFloodTakesOneRunOfReadsAPassOfTheEventLoop();
    void closingOneElementLeavesTheOtherAlone();
    void peerClosedHandlerMayCloseAllAndListenAgain();
    void handlersMayRemoveWhatRaisedTheEvent();
    void destructorClosesEverything();
    void answersQueuedAtTheEndStillGoOut();
    void peerLettingAnswersPileUpIsDropped();
    void listenerShortOfDescriptorsWaitsAndGoesOn();
    void retiringPoolIsBoundedAndTheNewestSenderGetsIn();
    void ipv6AndIPv4SendersAreBothServed();
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
    LoopbackClient peer;
    QVERIFY(peer.connectTo(port));
    QVERIFY(requests.wait(WaitMs));
    QCOMPARE(requests.count(), 1);
    QCOMPARE(requests.at(0).at(0).toInt(), 0); // raised by the listener
    QCOMPARE(accepted, 0);
    QVERIFY(ws.isConnected(1));
    QVERIFY(ws.isListening(0)); // accepting does not stop the listener
    QCOMPARE(ws.boundPort(1), port);

    const QByteArray inbound = byteValues().repeated(4);
    QSignalSpy arrivals(&ws, &Winsock::dataArrival);
    QVERIFY(peer.send(inbound));
    QByteArray received;
    QVERIFY(QTest::qWaitFor([&] { received += ws.takeData(1); return received.size() >= inbound.size(); }, WaitMs));
    QCOMPARE(received, inbound);
    QVERIFY(!arrivals.isEmpty());
    QCOMPARE(arrivals.at(0).at(0).toInt(), 1);
    QVERIFY(ws.takeData(1).isEmpty());

    // An urgent byte stays in the stream, where it was sent.
    QVERIFY(peer.send("urgent-") && peer.sendUrgent('Z'));
    QVERIFY(QTest::qWaitFor([&] { received += ws.takeData(1); return received.size() >= inbound.size() + 8; }, WaitMs));
    QCOMPARE(received.mid(inbound.size()), QByteArray("urgent-Z"));

    QByteArray outbound = byteValues();
    std::reverse(outbound.begin(), outbound.end());
    ws.send(1, outbound);
    QCOMPARE(peer.receive(outbound.size()), outbound);
    QCOMPARE(ws.bytesToWrite(1), 0);
}

void tst_Winsock::arrivalReportsEverythingWaiting()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    LoopbackClient peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));
    peer.setNoDelay();

    QSignalSpy arrivals(&ws, &Winsock::dataArrival);
    QVERIFY(peer.send("first"));
    QVERIFY(peer.send("second"));
    QVERIFY(peer.waitDelivered()); // both sit in the kernel before the layer looks
    QVERIFY(arrivals.wait(WaitMs));
    QCOMPARE(arrivals.count(), 1);
    QCOMPARE(arrivals.at(0).at(1).toLongLong(), 11);

    // Bytes not taken stay, and the next arrival counts them too.
    QVERIFY(peer.send("third"));
    QVERIFY(arrivals.wait(WaitMs));
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
    LoopbackClient other;
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
    LoopbackClient first;
    QVERIFY(first.connectTo(port));
    QVERIFY(QTest::qWaitFor([&] { return seen != 0; }, WaitMs));
    disconnect(refuse);
    QCOMPARE(onListener, int(Winsock::ErrInvalidState));
    QCOMPARE(unknownId, int(Winsock::ErrInvalid));
    QCOMPARE(ws.accept(1, seen), int(Winsock::ErrInvalid)); // a request ends with its handlers
    QCOMPARE(first.waitForEnd(), 0);
    QVERIFY(ws.isListening(0));
    QVERIFY(!ws.isConnected(1));

    LoopbackClient second;
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
        LoopbackClient peer;
        QVERIFY(connectAndAccept(ws, peer, port, 1));
        peer.close();
        QVERIFY(closed.wait(WaitMs));
        ws.close(0);
        QCOMPARE(ws.listen(0), 0);
        QCOMPARE(ws.boundPort(0), port);
    }
    LoopbackClient last;
    QVERIFY(connectAndAccept(ws, last, port, 1));
}

void tst_Winsock::relistensAtOnceOverTimeWait()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    QVERIFY(port != 0);
    LoopbackClient peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));
    ws.close(1); // our side closes first, so the lingering state is ours
    QCOMPARE(peer.waitForEnd(), 0);
    peer.close();
    ws.close(0);

    // The old connection still holds the port against a plain bind...
    LoopbackClient plain;
    QVERIFY(!plain.bindWithoutReuse(port));
    QCOMPARE(plain.error(), EADDRINUSE);
    // ...but not against the listener.
    QCOMPARE(ws.listen(0), 0);
    LoopbackClient next;
    QVERIFY(connectAndAccept(ws, next, port, 1));
}

void tst_Winsock::endOfTheConnectionComesAfterTheData_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QString>("end");
    QTest::newRow("orderly close is peer closed") << false << QStringLiteral("closed 1");
    QTest::newRow("reset is error 10054") << true << QStringLiteral("error 1 10054");
}

void tst_Winsock::endOfTheConnectionComesAfterTheData()
{
    QFETCH(bool, reset);
    QFETCH(QString, end);
    Winsock ws;
    EventLog log(ws);
    const quint16 port = listenOnFreePort(ws);
    LoopbackClient peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));

    QVERIFY(peer.send("last words"));
    reset ? peer.reset() : peer.close();
    QTRY_VERIFY_WITH_TIMEOUT(log.events.contains(end), WaitMs);
    QCOMPARE(log.events, QStringList({QStringLiteral("data 1"), end}));
    QCOMPARE(log.data, QByteArray("last words"));
    QCOMPARE(log.lastDescription.isEmpty(), !reset);
    QVERIFY(!ws.isConnected(1));
    QCOMPARE(ws.boundPort(1), 0); // its socket is gone
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
        LoopbackClient peer;
        QVERIFY(peer.connectTo(port));
        QVERIFY(QTest::qWaitFor([&] { return ids.size() == i + 1; }, WaitMs)); // and each id is fresh
        QCOMPARE(peer.waitForEnd(), 0);
    }
    disconnect(ignore);
    QCOMPARE(openSocketCount(), socketsBefore);

    // Accepted connections, ended from either side in every way.
    for (int i = 0; i < 40; ++i) {
        LoopbackClient peer;
        QVERIFY(connectAndAccept(ws, peer, port, 1));
        switch (i % 4) {
        case 0: ws.close(1); break;
        case 1: ws.destroy(1); break;
        case 2: peer.close(); break;
        case 3: peer.reset(); break;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!ws.isConnected(1), WaitMs);
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
        (void)QTest::qWaitFor([&] { got += ws.takeData(1); return got.size() >= size; }, WaitMs);
        return got;
    };

    LoopbackClient first;
    QVERIFY(first.connectTo(port));
    QTRY_COMPARE_WITH_TIMEOUT(lastAccept, 0, WaitMs);
    QVERIFY(first.send("from first"));
    QCOMPARE(receive(10), QByteArray("from first"));

    lastAccept = -1;
    LoopbackClient second;
    QVERIFY(second.connectTo(port));
    QTRY_COMPARE_WITH_TIMEOUT(lastAccept, 0, WaitMs);
    QCOMPARE(first.waitForEnd(), 0);
    QCOMPARE(ws.count(), 2);
    QVERIFY(second.send("from second"));
    QCOMPARE(receive(11), QByteArray("from second"));
    ws.send(1, "to second");
    QCOMPARE(second.receive(9), QByteArray("to second"));
}

void tst_Winsock::slowReaderGetsEveryByteInOrder()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    LoopbackClient peer;
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
    QByteArray got = peer.receiveWaiting();
    QVERIFY(!got.isEmpty());
    sendUpTo(expected.size());
    QVERIFY(sends >= 10000);

    got += peer.receive(expected.size() - got.size());
    QCOMPARE(got.size(), expected.size());
    QVERIFY(got == expected);
    QTRY_COMPARE_WITH_TIMEOUT(ws.bytesToWrite(1), 0, WaitMs);
}

void tst_Winsock::floodArrivesIntactInBoundedSlices()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    LoopbackClient peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));
    QByteArray got;
    qint64 largest = 0;
    connect(&ws, &Winsock::dataArrival, &ws, [&](int index, qint64 total) {
        largest = std::max(largest, total);
        got += ws.takeData(index);
    });

    const QByteArray flood = randomBytes(8 << 20, 3);
    QVERIFY(peer.sendPumping(flood));
    QVERIFY(QTest::qWaitFor([&] { return got.size() >= flood.size(); }, WaitMs));
    QCOMPARE(got.size(), flood.size());
    QVERIFY(got == flood);
    QVERIFY(largest > 0);
    QVERIFY(largest <= 1 << 20);
}

void tst_Winsock::aFloodTakesOneRunOfReadsAPassOfTheEventLoop()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    LoopbackClient peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));
    // Each arrival takes 2 ms, so that each run of reads is cut short by its time.
    qint64 received = 0;
    connect(&ws, &Winsock::dataArrival, &ws, [&](int index, qint64) {
        received += ws.takeData(index).size();
        QElapsedTimer busy;
        busy.start();
        while (busy.nsecsElapsed() < 2'000'000) {
        }
    });
    int runs = 0, mostRunsBetweenTicks = 0, ticks = 0;
    connect(&ws, &Winsock::arrivalsSettled, &ws, [&] { ++runs; });
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    connect(&tick, &QTimer::timeout, [&] {
        mostRunsBetweenTicks = std::max(mostRunsBetweenTicks, std::exchange(runs, 0));
        ++ticks;
    });
    tick.start(1);

    const QByteArray flood(128 << 20, 'x');
    bool sent = false;
    std::thread sender([&] { sent = peer.send(flood); });
    const bool all = waitUntil([&] { return received == flood.size(); });
    sender.join();
    QVERIFY(sent && all);
    // Timers get their turn between runs, each pass of the event loop one run.
    QVERIFY(ticks > 10);
    QVERIFY2(mostRunsBetweenTicks <= 3, qPrintable(QString::number(mostRunsBetweenTicks)));
}

void tst_Winsock::closingOneElementLeavesTheOtherAlone()
{
    Winsock ws;
    QSignalSpy errors(&ws, &Winsock::socketError);
    QSignalSpy closed(&ws, &Winsock::peerClosed);
    const quint16 port = listenOnFreePort(ws);
    LoopbackClient peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));

    ws.close(0);
    QVERIFY(!ws.isListening(0));
    QVERIFY(ws.isConnected(1));
    LoopbackClient refused;
    QVERIFY(!refused.connectTo(port));
    QCOMPARE(refused.error(), ECONNREFUSED);
    ws.send(1, "still here");
    QCOMPARE(peer.receive(10), QByteArray("still here"));
    QVERIFY(peer.send("me too"));
    QByteArray got;
    QVERIFY(QTest::qWaitFor([&] { got += ws.takeData(1); return got.size() >= 6; }, WaitMs));
    QCOMPARE(got, QByteArray("me too"));

    QCOMPARE(ws.listen(0), 0);
    ws.close(1);
    QCOMPARE(peer.waitForEnd(), 0);
    QVERIFY(ws.isListening(0));
    ws.close(1);
    ws.close(5); // no such element
    QVERIFY(ws.exists(1));
    LoopbackClient next;
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

    LoopbackClient first;
    QVERIFY(connectAndAccept(ws, first, port, 1));
    first.close();
    QVERIFY(closed.wait(WaitMs));
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
        QTimer::singleShot(WaitMs, &modal, &QEventLoop::quit);
        modal.exec();
    });
    relisten = -1;
    LoopbackClient second;
    QVERIFY(connectAndAccept(ws, second, port, 1));
    QVERIFY(second.send("hello"));
    second.close();
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 2, WaitMs);
    QVERIFY(inModal);
    QCOMPARE(relisten, 0);
    QCOMPARE(ws.count(), 1);
    LoopbackClient third;
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
    LoopbackClient doomed;
    QVERIFY(connectAndAccept(ws, doomed, port, 1));
    QVERIFY(doomed.send("doomed"));
    QTRY_VERIFY_WITH_TIMEOUT(!ws.exists(1), WaitMs);
    QCOMPARE(doomed.waitForEnd(), 0);
    disconnect(destroyer);
    LoopbackClient again;
    QVERIFY(connectAndAccept(ws, again, port, 1)); // the index is usable again
    ws.send(1, "fresh");
    QCOMPARE(again.receive(5), QByteArray("fresh"));

    // A request handler closes the listener while more requests wait behind it.
    QSignalSpy requests(&ws, &Winsock::connectionRequest);
    const auto closer = connect(&ws, &Winsock::connectionRequest, &ws, [&](int index, qint32) { ws.close(index); });
    LoopbackClient waiting[3];
    for (LoopbackClient &peer : waiting)
        QVERIFY(peer.connectTo(port)); // all complete in the kernel before the loop runs
    QVERIFY(requests.wait(WaitMs));
    for (LoopbackClient &peer : waiting)
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
        LoopbackClient peer;
        QVERIFY(connectAndAccept(ws, peer, port, 1));
        QVERIFY(peer.sendPumping(randomBytes(64 * 1024, 5)));
        peer.finishSending();
        QVERIFY(peer.waitDelivered());
        QTRY_VERIFY_WITH_TIMEOUT(!ws.isConnected(1), WaitMs);
        QCOMPARE(peer.waitForEnd(), 0);
        disconnect(remover);
        QCOMPARE(ws.exists(1), !destroy);
        QCOMPARE(closed.count(), 0);
    }
    QCOMPARE(errors.count(), 0);
}

void tst_Winsock::destructorClosesEverything()
{
    const int socketsBefore = openSocketCount();
    LoopbackClient peer;
    auto ws = std::make_unique<Winsock>();
    const quint16 port = listenOnFreePort(*ws);
    QVERIFY(connectAndAccept(*ws, peer, port, 1));
    // The listener, the accepted connection and the peer's own end.
    QCOMPARE(openSocketCount(), socketsBefore + 3);

    ws.reset();
    QCOMPARE(peer.waitForEnd(), 0);
    peer.close();
    QCOMPARE(openSocketCount(), socketsBefore);
    LoopbackClient late;
    QVERIFY(!late.connectTo(port));
    QCOMPARE(late.error(), ECONNREFUSED);
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
    const auto streamUnread = [&](LoopbackClient &peer) {
        answered.clear();
        QDeadlineTimer deadline(WaitMs);
        if (!peer.connectTo(port))
            return QByteArray();
        for (int i = 0; i < 3000 && peer.send("MSH|" + QByteArray::number(i)); ++i)
            for (const int before = arrivals; arrivals == before && !deadline.hasExpired();)
                QCoreApplication::processEvents();
        return ws.bytesToWrite(1) > 0 && !deadline.hasExpired() ? answered : QByteArray();
    };

    LoopbackClient halfClosing, replaced, newer;
    const QByteArray forHalfClosing = streamUnread(halfClosing);
    QVERIFY(!forHalfClosing.isEmpty());
    halfClosing.finishSending();
    QVERIFY(halfClosing.receive(forHalfClosing.size()) == forHalfClosing);
    QCOMPARE(halfClosing.waitForEnd(), 0);
    QVERIFY(closedAtOnce && ws.isListening(0));

    const QByteArray forReplaced = streamUnread(replaced);
    QVERIFY(!forReplaced.isEmpty());
    QVERIFY(newer.connectTo(port));
    QVERIFY(replaced.receive(forReplaced.size()) == forReplaced);
    QCOMPARE(replaced.waitForEnd(), 0);
    for (LoopbackClient *peer : {&halfClosing, &replaced, &newer})
        peer->close();
    // Each retiring socket ends with its peer's end: only the listener is left.
    QTRY_COMPARE_WITH_TIMEOUT(openSocketCount(), socketsBefore + 1, WaitMs);

    LoopbackClient dropped;
    const QByteArray forDropped = streamUnread(dropped);
    QVERIFY(!forDropped.isEmpty());
    ws.close(1);
    const int socketsRetiring = openSocketCount();
    ws.dropRetiring();
    QCOMPARE(openSocketCount(), socketsRetiring - 1);
    const QByteArray got = dropped.receive(forDropped.size());
    QVERIFY(got.size() < forDropped.size() && forDropped.startsWith(got));
    QVERIFY(dropped.waitForEnd() != -1);
    QCOMPARE(errors.count(), 0); // the pool raises nothing
}

void tst_Winsock::peerLettingAnswersPileUpIsDropped()
{
    Winsock ws;
    EventLog log(ws);
    const quint16 port = listenOnFreePort(ws);
    LoopbackClient peer;
    QVERIFY(connectAndAccept(ws, peer, port, 1));
    const QByteArray chunk = randomBytes(1 << 20, 13);
    qint64 sent = 0;
    for (; ws.isConnected(1) && sent < (128 << 20); sent += chunk.size())
        ws.send(1, chunk);
    // Raised from the event loop, not inside send().
    QVERIFY(!ws.isConnected(1) && ws.bytesToWrite(1) == 0 && log.events.isEmpty());
    const QStringList toldOnce{QStringLiteral("error 1 10055")};
    QTRY_COMPARE_WITH_TIMEOUT(log.events, toldOnce, WaitMs);

    // Closed at once, not flushed: the peer gets only what its kernel took, in order.
    const QByteArray got = peer.receive(sent);
    QVERIFY(got.size() < sent - (64 << 20));
    QVERIFY(got == chunk.repeated(got.size() / chunk.size() + 1).left(got.size()));
    QCOMPARE(peer.waitForEnd(), 0);
    LoopbackClient next;
    QVERIFY(connectAndAccept(ws, next, port, 1)); // the listener went on
    QCOMPARE(log.events, toldOnce);
}

// Takes every descriptor under a lowered limit but `left`; the guard gives
// them back and restores the limit.
[[nodiscard]] auto exhaustDescriptors(std::vector<int> &fillers, int left)
{
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit lowered{std::min<rlim_t>(256, saved.rlim_cur), saved.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    for (int fd; (fd = ::eventfd(0, EFD_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    for (; left > 0 && !fillers.empty(); --left, fillers.pop_back())
        ::close(fillers.back());
    return qScopeGuard([&fillers, saved] {
        for (const int fd : std::exchange(fillers, {}))
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
    });
}

void tst_Winsock::listenerShortOfDescriptorsWaitsAndGoesOn()
{
    Winsock ws;
    EventLog log(ws);
    const quint16 port = listenOnFreePort(ws);
    QVERIFY(port != 0 && ws.create(1));
    int accepted = 0;
    connect(&ws, &Winsock::connectionRequest, &ws, [&](int, qint32 id) {
        ws.destroy(1);
        ws.create(1);
        accepted += ws.accept(1, id) == Winsock::NoError;
    });
    std::vector<int> fillers;
    // Each shortage is told once; after an accept succeeds the next is told again.
    for (int shortage = 1; shortage <= 2; ++shortage) {
        LoopbackClient first, peer;
        {
            const auto restore = exhaustDescriptors(fillers, 1);
            QVERIFY(errno == EMFILE && !fillers.empty());
            QVERIFY(first.connectTo(port)); // takes the one descriptor left: the reserve serves it
            QTRY_VERIFY_WITH_TIMEOUT(ws.isConnected(1), WaitMs);
            ws.send(1, "reserved");
            QCOMPARE(first.receive(8), QByteArray("reserved"));
            ::close(fillers.back());
            fillers.pop_back();
            QVERIFY(peer.connectTo(port)); // with the reserve spent, this one waits
            const QStringList told(shortage, QStringLiteral("error 0 10024"));
            QTRY_COMPARE_WITH_TIMEOUT(log.events.filter(QStringLiteral("error")), told, WaitMs);
            QTest::qWait(350); // the listener looks again meanwhile, without telling again
            QCOMPARE(log.events.filter(QStringLiteral("error")), told);
            QVERIFY(ws.isListening(0));
        }
        QVERIFY(waitUntil([&] { return accepted == 2 * shortage; }));
        QCOMPARE(first.waitForEnd(), 0); // replaced
        ws.send(1, "answered");
        QCOMPARE(peer.receive(8), QByteArray("answered"));
        ws.close(1);
    }
}

void tst_Winsock::retiringPoolIsBoundedAndTheNewestSenderGetsIn()
{
    const int socketsBefore = openSocketCount();
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    QSignalSpy errors(&ws, &Winsock::socketError);
    const QByteArray answer = randomBytes(64 << 10, 5);
    int accepted = 0, arrivals = 0;
    connect(&ws, &Winsock::connectionRequest, &ws, [&](int, qint32 id) {
        ws.destroy(1);
        ws.create(1);
        accepted += ws.accept(1, id) == Winsock::NoError;
    });
    connect(&ws, &Winsock::dataArrival, &ws, [&](int index, qint64) {
        ws.takeData(index);
        ++arrivals;
        ws.send(index, answer);
    });
    // Each peer replaces the last and reads nothing, so every one replaced
    // retires with its answer in the kernel; the first has more than the kernel takes.
    constexpr int peers = Winsock::MaxRetiringConnections + 8;
    std::vector<std::unique_ptr<LoopbackClient>> storm;
    for (int i = 0; i < peers; ++i) {
        storm.push_back(std::make_unique<LoopbackClient>());
        QVERIFY(storm.back()->connectWithReceiveBuffer(port, 4096));
        QVERIFY(waitUntil([&] { return accepted == i + 1; }));
        do {
            const int was = arrivals;
            QVERIFY(storm.back()->send("MSH|") && waitUntil([&] { return arrivals > was; }));
        } while (i == 0 && ws.bytesToWrite(1) == 0);
    }
    const int firstAnswers = arrivals - (peers - 1);
    QCOMPARE(openSocketCount(), socketsBefore + peers + 2 + Winsock::MaxRetiringConnections);
    // The oldest went first, its own queue with it; the newest retiring delivers everything.
    const QByteArray all = answer.repeated(firstAnswers);
    const QByteArray cut = storm.front()->receive(all.size());
    QVERIFY(cut.size() < all.size() && all.startsWith(cut));
    QVERIFY(storm[peers - 2]->receive(answer.size()) == answer);
    QCOMPARE(storm[peers - 2]->waitForEnd(), 0);

    // With no descriptor left, the newest sender still gets in at once.
    std::vector<int> fillers;
    const auto restore = exhaustDescriptors(fillers, 1);
    LoopbackClient normal;
    QVERIFY(normal.connectTo(port) && normal.send("MSH|normal"));
    QVERIFY(normal.receive(answer.size()) == answer);
    QCOMPARE(errors.count(), 0);
}

void tst_Winsock::ipv6AndIPv4SendersAreBothServed()
{
    Winsock ws;
    const quint16 port = listenOnFreePort(ws);
    LoopbackClient v4, v6;
    QVERIFY(connectAndAccept(ws, v4, port, 1));
    QCOMPARE(ws.remoteHostIP(1), QStringLiteral("127.0.0.1"));
    QCOMPARE(QHostAddress(ws.localIP(0)).protocol(), QAbstractSocket::IPv4Protocol);
    ws.create(2);
    connect(&ws, &Winsock::connectionRequest, &ws, [&](int, qint32 id) { ws.accept(2, id); });
    const bool connected = v6.connectToIPv6Loopback(port);
    if (!connected && v6.error() != ECONNREFUSED)
        QSKIP(qPrintable(QStringLiteral("::1 is not available here: %1").arg(std::strerror(v6.error()))));
    QVERIFY2(connected, "refused on ::1");
    QVERIFY(waitUntil([&] { return ws.isConnected(2); }));
    QCOMPARE(ws.remoteHostIP(2), QStringLiteral("::1"));
    ws.send(2, "six");
    ws.send(1, "four");
    QCOMPARE(v6.receive(3), QByteArray("six"));
    QCOMPARE(v4.receive(4), QByteArray("four"));
}

QTEST_GUILESS_MAIN(tst_Winsock)
#include "tst_winsock.moc"
