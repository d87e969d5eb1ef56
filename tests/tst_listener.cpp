// The listener over the system's sockets, with real TCP clients on loopback:
// listening, accepting and handing over connections, refusals, shortages.

#include "sockettest.h"

#include "sockets/errornumbers.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QtTest>

#include <cerrno>
#include <cstring>

class ListenerTest : public QObject
{
    Q_OBJECT

private slots:
    void closedListenerAndTheMachineAddress();
    void acceptsEveryConnectionAndGoesOnListening();
    void listenAndTakeRefusals();
    void connectionsNobodyTakesAreClosed();
    void relistensAtOnceAfterPeerClose();
    void relistensAtOnceOverTimeWait();
    void closingTheListenerLeavesConnectionsAlone();
    void aHandlerMayCloseTheListenerWithMoreWaiting();
    void destructorClosesEverything();
    void listenerShortOfDescriptorsWaitsAndGoesOn();
    void ipv6AndIPv4SendersAreBothServed();
};

void ListenerTest::closedListenerAndTheMachineAddress()
{
    Listener listener;
    QVERIFY(!listener.isListening());
    QCOMPARE(listener.port(), 0);
    QVERIFY(listener.takeConnection() == nullptr); // nothing is being accepted
    listener.close(); // closing a closed listener is harmless
    QVERIFY(!listener.isListening());

    const QHostAddress ip(machineIPv4Address());
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

void ListenerTest::acceptsEveryConnectionAndGoesOnListening()
{
    Listener listener;
    const quint16 port = listenOnFreePort(listener);
    QVERIFY(port != 0);
    QVERIFY(listener.isListening());
    QSignalSpy accepted(&listener, &Listener::connectionAccepted);
    LoopbackClient first, second;
    std::unique_ptr<Connection> one = connectAndTake(listener, first);
    std::unique_ptr<Connection> two = connectAndTake(listener, second);
    QVERIFY(one && two);
    QCOMPARE(accepted.count(), 2);
    QVERIFY(listener.isListening()); // accepting does not stop the listener
    QCOMPARE(listener.port(), port);
    one->send("one");
    two->send("two");
    QCOMPARE(first.receive(3), QByteArray("one"));
    QCOMPARE(second.receive(3), QByteArray("two"));
}

void ListenerTest::listenAndTakeRefusals()
{
    Listener holder;
    const quint16 held = listenOnFreePort(holder);
    QVERIFY(held != 0);
    Listener listener;
    const int inUse = listener.listen(held);
    QCOMPARE(inUse, EADDRINUSE);
    QCOMPARE(ErrorNumber::fromErrno(inUse), 10048); // as the operator is told
    QVERIFY(!listener.isListening());
    QCOMPARE(listener.port(), 0); // the refused socket was not kept

    // Another program listening on loopback only, with SO_REUSEADDR, holds its port just as well.
    LoopbackClient other;
    const quint16 otherPort = other.listenOnLoopback();
    QVERIFY(otherPort != 0);
    QCOMPARE(listener.listen(otherPort), EADDRINUSE);

    const quint16 port = listenOnFreePort(listener);
    QVERIFY(port != 0);
    const int again = listener.listen(port);
    QCOMPARE(again, EALREADY);
    QCOMPARE(ErrorNumber::fromErrno(again), 40020);
    QVERIFY(listener.isListening());

    // A connection is taken once, inside its handler only.
    std::unique_ptr<Connection> taken, second;
    const auto take = connect(&listener, &Listener::connectionAccepted, &listener, [&] {
        taken = listener.takeConnection();
        second = listener.takeConnection();
    });
    LoopbackClient peer;
    QVERIFY(peer.connectTo(port));
    QVERIFY(waitUntil([&] { return taken != nullptr; }));
    disconnect(take);
    QVERIFY(second == nullptr);
    QVERIFY(listener.takeConnection() == nullptr);
    QVERIFY(taken->isConnected() && listener.isListening());
    taken->send("taken");
    QCOMPARE(peer.receive(5), QByteArray("taken"));

    // The rest of the table the operator reads.
    QCOMPARE(ErrorNumber::fromErrno(0), 0);
    QCOMPARE(ErrorNumber::fromErrno(EMFILE), 10024);
    QCOMPARE(ErrorNumber::fromErrno(EPIPE), 10054);
    QCOMPARE(ErrorNumber::fromErrno(ENOMEM), 10055);
    QCOMPARE(ErrorNumber::fromErrno(EADDRNOTAVAIL), 10049);
    QCOMPARE(ErrorNumber::fromErrno(ELOOP), 10107); // nothing closer
}

void ListenerTest::connectionsNobodyTakesAreClosed()
{
    Listener listener;
    const quint16 port = listenOnFreePort(listener);
    QVERIFY(port != 0);
    const int socketsBefore = openSocketCount();
    int raised = 0;
    connect(&listener, &Listener::connectionAccepted, &listener, [&] { ++raised; });
    for (int i = 0; i < 300; ++i) {
        LoopbackClient peer;
        QVERIFY(peer.connectTo(port));
        QVERIFY(QTest::qWaitFor([&] { return raised == i + 1; }, WaitMs));
        QCOMPARE(peer.waitForEnd(), 0); // closed once the handlers returned
    }
    QCOMPARE(openSocketCount(), socketsBefore);
    QVERIFY(listener.isListening());
}

void ListenerTest::relistensAtOnceAfterPeerClose()
{
    Listener listener;
    const quint16 port = listenOnFreePort(listener);
    QVERIFY(port != 0);
    for (int round = 0; round < 3; ++round) {
        LoopbackClient peer;
        std::unique_ptr<Connection> connection = connectAndTake(listener, peer);
        QVERIFY(connection);
        QSignalSpy closed(connection.get(), &Connection::peerClosed);
        peer.close();
        QVERIFY(closed.wait(WaitMs));
        listener.close();
        QCOMPARE(listener.listen(port), 0);
        QCOMPARE(listener.port(), port);
    }
    LoopbackClient last;
    QVERIFY(connectAndTake(listener, last));
}

void ListenerTest::relistensAtOnceOverTimeWait()
{
    Listener listener;
    const quint16 port = listenOnFreePort(listener);
    QVERIFY(port != 0);
    LoopbackClient peer;
    std::unique_ptr<Connection> connection = connectAndTake(listener, peer);
    QVERIFY(connection);
    connection->close(); // our side closes first, so the lingering state is ours
    QCOMPARE(peer.waitForEnd(), 0);
    peer.close();
    listener.close();

    // The old connection still holds the port against a plain bind...
    LoopbackClient plain;
    QVERIFY(!plain.bindWithoutReuse(port));
    QCOMPARE(plain.error(), EADDRINUSE);
    // ...but not against the listener.
    QCOMPARE(listener.listen(port), 0);
    LoopbackClient next;
    QVERIFY(connectAndTake(listener, next));
}

void ListenerTest::closingTheListenerLeavesConnectionsAlone()
{
    TakenConnection taken;
    QVERIFY(taken.connection);
    auto &[listener, port, peer, connection, events] = taken;
    EventLog &log = *events;

    listener.close();
    QVERIFY(!listener.isListening());
    QVERIFY(connection->isConnected());
    LoopbackClient refused;
    QVERIFY(!refused.connectTo(port));
    QCOMPARE(refused.error(), ECONNREFUSED);
    connection->send("still here");
    QCOMPARE(peer.receive(10), QByteArray("still here"));
    QVERIFY(peer.send("me too"));
    QVERIFY(waitUntil([&] { return log.data.size() >= 6; }));
    QCOMPARE(log.data, QByteArray("me too"));

    // And closing the connection leaves the listener alone.
    QCOMPARE(listener.listen(port), 0);
    connection->close();
    QCOMPARE(peer.waitForEnd(), 0);
    QVERIFY(listener.isListening());
    connection->close();
    LoopbackClient next;
    QVERIFY(connectAndTake(listener, next));
    QCOMPARE(log.endings(), QStringList()); // our own closes raise nothing
}

void ListenerTest::aHandlerMayCloseTheListenerWithMoreWaiting()
{
    Listener listener;
    const quint16 port = listenOnFreePort(listener);
    LoopbackClient kept;
    std::unique_ptr<Connection> connection = connectAndTake(listener, kept);
    QVERIFY(connection);
    QSignalSpy accepted(&listener, &Listener::connectionAccepted);
    connect(&listener, &Listener::connectionAccepted, &listener, [&] { listener.close(); });
    LoopbackClient waiting[3];
    for (LoopbackClient &peer : waiting)
        QVERIFY(peer.connectTo(port)); // all complete in the kernel before the loop runs
    QVERIFY(accepted.wait(WaitMs));
    for (LoopbackClient &peer : waiting)
        QVERIFY(peer.waitForEnd() != -1);
    QCOMPARE(accepted.count(), 1);
    QVERIFY(!listener.isListening());
    QVERIFY(connection->isConnected());
}

void ListenerTest::destructorClosesEverything()
{
    const int socketsBefore = openSocketCount();
    LoopbackClient peer;
    auto pool = std::make_unique<RetiringPool>();
    auto listener = std::make_unique<Listener>(pool.get());
    const quint16 port = listenOnFreePort(*listener);
    std::unique_ptr<Connection> connection = connectAndTake(*listener, peer);
    QVERIFY(connection);
    // The listener, the accepted connection and the peer's own end.
    QCOMPARE(openSocketCount(), socketsBefore + 3);

    connection.reset();
    listener.reset();
    pool.reset();
    QCOMPARE(peer.waitForEnd(), 0);
    peer.close();
    QCOMPARE(openSocketCount(), socketsBefore);
    LoopbackClient late;
    QVERIFY(!late.connectTo(port));
    QCOMPARE(late.error(), ECONNREFUSED);
}

void ListenerTest::listenerShortOfDescriptorsWaitsAndGoesOn()
{
    RetiringPool pool;
    Listener listener(&pool);
    QStringList told;
    connect(&listener, &Listener::shortOfResources, &listener,
            [&](int error) { told << QStringLiteral("short %1").arg(ErrorNumber::fromErrno(error)); });
    connect(&listener, &Listener::failed, &listener,
            [&](int error) { told << QStringLiteral("failed %1").arg(error); });
    const quint16 port = listenOnFreePort(listener);
    QVERIFY(port != 0);
    // The newest connection replaces the current one, as the engine does.
    std::unique_ptr<Connection> current;
    int accepted = 0;
    connect(&listener, &Listener::connectionAccepted, &listener, [&] {
        current = listener.takeConnection();
        ++accepted;
    });
    // Each shortage is told once; after an accept succeeds the next is told again.
    for (int shortage = 1; shortage <= 2; ++shortage) {
        LoopbackClient first, peer;
        {
            DescriptorShortage descriptors(1);
            QVERIFY(descriptors.reached());
            QVERIFY(first.connectTo(port)); // takes the one descriptor left: the reserve serves it
            QTRY_VERIFY_WITH_TIMEOUT(current && current->isConnected(), WaitMs);
            current->send("reserved");
            QCOMPARE(first.receive(8), QByteArray("reserved"));
            descriptors.giveBackOne();
            QVERIFY(peer.connectTo(port)); // with the reserve spent, this one waits
            const QStringList expected(shortage, QStringLiteral("short 10024"));
            QTRY_COMPARE_WITH_TIMEOUT(told, expected, WaitMs);
            QTest::qWait(350); // the listener looks again meanwhile, without telling again
            QCOMPARE(told, expected);
            QVERIFY(listener.isListening());
        }
        QVERIFY(waitUntil([&] { return accepted == 2 * shortage; }));
        QCOMPARE(first.waitForEnd(), 0); // replaced
        current->send("answered");
        QCOMPARE(peer.receive(8), QByteArray("answered"));
        current->close();
    }
}

void ListenerTest::ipv6AndIPv4SendersAreBothServed()
{
    Listener listener;
    const quint16 port = listenOnFreePort(listener);
    LoopbackClient v4, v6;
    std::unique_ptr<Connection> four = connectAndTake(listener, v4);
    QVERIFY(four);
    QCOMPARE(four->peerAddress(), QStringLiteral("127.0.0.1"));
    QVERIFY(four->peerPort() != 0 && four->peerPort() != port);
    std::unique_ptr<Connection> six;
    connect(&listener, &Listener::connectionAccepted, &listener, [&] { six = listener.takeConnection(); });
    const bool connected = v6.connectToIPv6Loopback(port);
    if (!connected && v6.error() != ECONNREFUSED)
        QSKIP(qPrintable(QStringLiteral("::1 is not available here: %1").arg(std::strerror(v6.error()))));
    QVERIFY2(connected, "refused on ::1");
    QVERIFY(waitUntil([&] { return six != nullptr; }));
    QCOMPARE(six->peerAddress(), QStringLiteral("::1"));
    six->send("six");
    four->send("four");
    QCOMPARE(v6.receive(3), QByteArray("six"));
    QCOMPARE(v4.receive(4), QByteArray("four"));
}

QTEST_GUILESS_MAIN(ListenerTest)
#include "tst_listener.moc"
