// The retiring pool, with real TCP clients on loopback: answers queued for
// a connection closed, replaced or ended by its peer still go out in order,
// within bounds, and a sender short of descriptors still gets in.

#include "sockettest.h"

#include <QDeadlineTimer>
#include <QtTest>

class RetiringPoolTest : public QObject
{
    Q_OBJECT

private slots:
    void answersQueuedAtTheEndStillGoOut();
    void retiringPoolIsBoundedAndTheNewestSenderGetsIn();
};

// The listener as the engine uses it: the newest connection replaces the
// current one, every arrival gets `answer` at once, a peer's end closes all
// and listens again.
struct Answering
{
    RetiringPool pool;
    Listener listener{&pool};
    quint16 port = 0;
    std::unique_ptr<Connection> current;
    int accepted = 0, arrivals = 0, failures = 0;
    bool closedAtOnce = false;
    std::function<QByteArray()> answer;

    Answering()
    {
        port = listenOnFreePort(listener);
        QObject::connect(&listener, &Listener::connectionAccepted, &listener, [this] {
            current = listener.takeConnection(); // the old one goes, closed
            ++accepted;
            Connection *connection = current.get();
            QObject::connect(connection, &Connection::arrived, connection, [this, connection] {
                connection->takeData();
                ++arrivals;
                connection->send(answer());
            });
            QObject::connect(connection, &Connection::peerClosed, connection, [this, connection] {
                closedAtOnce = !connection->isConnected() && connection->bytesToWrite() == 0;
                listener.close();
                connection->close();
                listener.listen(port);
            });
            QObject::connect(connection, &Connection::failed, connection, [this] { ++failures; });
        });
    }
};

void RetiringPoolTest::answersQueuedAtTheEndStillGoOut()
{
    const int socketsBefore = openSocketCount();
    Answering probe;
    QVERIFY(probe.port != 0);
    // Each arrival gets a 4 KiB answer naming it.
    QByteArray answered;
    probe.answer = [&] {
        answered += QByteArray::number(probe.arrivals).leftJustified(4096, '.');
        return answered.right(4096);
    };
    // Connects and sends message after message, each one arrival, reading nothing.
    // Returns the answers, once more of them are queued than the kernel holds.
    const auto streamUnread = [&](LoopbackClient &peer) {
        answered.clear();
        QDeadlineTimer deadline(WaitMs);
        if (!peer.connectTo(probe.port))
            return QByteArray();
        for (int i = 0; i < 3000 && peer.send("MSH|" + QByteArray::number(i)); ++i)
            for (const int before = probe.arrivals; probe.arrivals == before && !deadline.hasExpired();)
                QCoreApplication::processEvents();
        return probe.current->bytesToWrite() > 0 && !deadline.hasExpired() ? answered : QByteArray();
    };

    // The peer ends its side: the answers follow, then our end.
    LoopbackClient halfClosing, replaced, newer;
    const QByteArray forHalfClosing = streamUnread(halfClosing);
    QVERIFY(!forHalfClosing.isEmpty());
    halfClosing.finishSending();
    QVERIFY(halfClosing.receive(forHalfClosing.size()) == forHalfClosing);
    QCOMPARE(halfClosing.waitForEnd(), 0);
    QVERIFY(probe.closedAtOnce && probe.listener.isListening());

    // A newer sender replaces it: the same.
    const QByteArray forReplaced = streamUnread(replaced);
    QVERIFY(!forReplaced.isEmpty());
    QVERIFY(newer.connectTo(probe.port));
    QVERIFY(replaced.receive(forReplaced.size()) == forReplaced);
    QCOMPARE(replaced.waitForEnd(), 0);
    for (LoopbackClient *peer : {&halfClosing, &replaced, &newer})
        peer->close();
    // Each retiring socket ends with its peer's end: only the listener is left.
    QTRY_COMPARE_WITH_TIMEOUT(openSocketCount(), socketsBefore + 1, WaitMs);
    QCOMPARE(probe.pool.count(), 0);

    // Stop and Exit drop what is still retiring at once.
    LoopbackClient dropped;
    const QByteArray forDropped = streamUnread(dropped);
    QVERIFY(!forDropped.isEmpty());
    probe.current->close();
    QCOMPARE(probe.pool.count(), 1);
    const int socketsRetiring = openSocketCount();
    probe.pool.clear();
    QCOMPARE(probe.pool.count(), 0);
    QCOMPARE(openSocketCount(), socketsRetiring - 1);
    const QByteArray got = dropped.receive(forDropped.size());
    QVERIFY(got.size() < forDropped.size() && forDropped.startsWith(got));
    QVERIFY(dropped.waitForEnd() != -1);
    QCOMPARE(probe.failures, 0); // the pool raises nothing
}

void RetiringPoolTest::retiringPoolIsBoundedAndTheNewestSenderGetsIn()
{
    const int socketsBefore = openSocketCount();
    Answering probe;
    const QByteArray answer = randomBytes(64 << 10, 5);
    probe.answer = [&] { return answer; };
    int shortages = 0;
    connect(&probe.listener, &Listener::shortOfResources, &probe.listener, [&] { ++shortages; });
    // Each peer replaces the last and reads nothing, so every one replaced
    // retires with its answer in the kernel; the first has more than the kernel takes.
    constexpr int peers = RetiringPool::MaxConnections + 8;
    std::vector<std::unique_ptr<LoopbackClient>> storm;
    for (int i = 0; i < peers; ++i) {
        storm.push_back(std::make_unique<LoopbackClient>());
        QVERIFY(storm.back()->connectWithReceiveBuffer(probe.port, 4096));
        QVERIFY(waitUntil([&] { return probe.accepted == i + 1; }));
        do {
            const int was = probe.arrivals;
            QVERIFY(storm.back()->send("MSH|") && waitUntil([&] { return probe.arrivals > was; }));
        } while (i == 0 && probe.current->bytesToWrite() == 0);
    }
    const int firstAnswers = probe.arrivals - (peers - 1);
    QCOMPARE(probe.pool.count(), RetiringPool::MaxConnections);
    QCOMPARE(openSocketCount(), socketsBefore + peers + 2 + RetiringPool::MaxConnections);
    // The oldest went first, its own queue with it; the newest retiring delivers everything.
    const QByteArray all = answer.repeated(firstAnswers);
    const QByteArray cut = storm.front()->receive(all.size());
    QVERIFY(cut.size() < all.size() && all.startsWith(cut));
    QVERIFY(storm[peers - 2]->receive(answer.size()) == answer);
    QCOMPARE(storm[peers - 2]->waitForEnd(), 0);

    // With no descriptor left, the newest sender still gets in at once.
    DescriptorShortage descriptors(1);
    QVERIFY(descriptors.reached());
    LoopbackClient normal;
    QVERIFY(normal.connectTo(probe.port) && normal.send("MSH|normal"));
    QVERIFY(normal.receive(answer.size()) == answer);
    QCOMPARE(probe.failures, 0);
    QCOMPARE(shortages, 0);
}

QTEST_GUILESS_MAIN(RetiringPoolTest)
#include "tst_retiringpool.moc"
