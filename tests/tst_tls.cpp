// The listener speaking TLS only, over real sockets on loopback: round trips
// in TLS 1.2 and 1.3, client certificates, handshakes that fail, the loading
// of the server's files, and answers still queued when a connection closes.

#include "sockettest.h"
#include "testcerts.h"
#include "tlsclient.h"

#include "sockets/tlscontext.h"

#include <QFile>
#include <QtTest>

#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

namespace {

// One connection the harness took, and what it raised: "secured",
// "failed <reason>", "closed", "error <errno>"; the messages it gathered.
struct Served
{
    std::unique_ptr<Connection> connection;
    QStringList events;
    int arrivals = 0;
    QByteArray pending;
    QList<QByteArray> messages;
};

// A listener with TLS whose connections answer every whole MLLP message with
// "ACK <n>" framed (n counting from 1), or with `answer` when one is set;
// closeAfterAnswer closes the connection as soon as the answer is queued.
class TlsHarness
{
public:
    explicit TlsHarness(std::shared_ptr<TlsContext> tls)
    {
        listener.setTls(std::move(tls));
        port = listenOnFreePort(listener);
        QObject::connect(&listener, &Listener::connectionAccepted, &listener, [this] { take(); });
    }

    static QByteArray ackFor(int n) { return framed("ACK " + QByteArray::number(n)); }

    Served &at(std::size_t i) { return *served.at(i); }
    bool waitForEvents(std::size_t i, int count)
    {
        return waitUntil([&] { return served.size() > i && served[i]->events.size() >= count; });
    }

    RetiringPool pool;
    Listener listener{&pool};
    quint16 port = 0;
    QByteArray answer;
    bool closeAfterAnswer = false;
    std::vector<std::unique_ptr<Served>> served;

private:
    void take()
    {
        auto s = std::make_unique<Served>();
        s->connection = listener.takeConnection();
        Served *record = s.get();
        Connection *c = record->connection.get();
        QObject::connect(c, &Connection::secured, c, [record] { record->events << QStringLiteral("secured"); });
        QObject::connect(c, &Connection::handshakeFailed, c, [record](const QString &reason) {
            record->events << QStringLiteral("failed ") + reason;
        });
        QObject::connect(c, &Connection::peerClosed, c, [record] { record->events << QStringLiteral("closed"); });
        QObject::connect(c, &Connection::failed, c,
                         [record](int error) { record->events << QStringLiteral("error %1").arg(error); });
        QObject::connect(c, &Connection::arrived, c, [this, record, c] {
            ++record->arrivals;
            record->pending += c->takeData();
            for (qsizetype end; (end = record->pending.indexOf("\x1c\r")) >= 0;) {
                record->messages << record->pending.left(end + 2);
                record->pending.remove(0, end + 2);
                c->send(answer.isEmpty() ? ackFor(int(record->messages.size())) : answer);
                if (closeAfterAnswer) {
                    c->close();
                    return;
                }
            }
        });
        served.push_back(std::move(s));
    }
};

// A message of `size` bytes without the MLLP end bytes, framed.
QByteArray bigMessage(qsizetype size, quint32 seed)
{
    QByteArray body = randomBytes(size, seed);
    body.replace('\x1c', 'x').replace('\x0b', 'y');
    return framed(body);
}

} // namespace

class TlsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTripsInEveryVersion();
    void endsAfterTheHandshakeAreToldAsOnPlainConnections();
    void clientCertificatesAreRequiredAndVerified();
    void failedHandshakesAreToldOnceAndFreeTheConnection();
    void loadingNamesTheFaultyFile();
    void answersQueuedAtCloseStillArriveThroughTls();

private:
    std::shared_ptr<TlsContext> load(const QString &clientCAs = {})
    {
        QString error;
        auto tls = TlsContext::load({m_certs.serverCert, m_certs.serverKey, clientCAs}, &error);
        if (!tls)
            qWarning() << error;
        return tls;
    }

    QTemporaryDir m_dir;
    TestCertificates m_certs;
};

void TlsTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QString error;
    QVERIFY2(m_certs.make(m_dir.path(), &error), qPrintable(error));
}

void TlsTest::roundTripsInEveryVersion()
{
    const std::shared_ptr<TlsContext> tls = load();
    QVERIFY(tls);
    TlsHarness server(tls);
    QVERIFY(server.port != 0);
    const QList<QPair<QSsl::SslProtocol, QString>> versions = {{QSsl::TlsV1_2, QStringLiteral("TLSv1.2")},
                                                               {QSsl::TlsV1_3, QStringLiteral("TLSv1.3")}};
    for (std::size_t i = 0; i < std::size_t(versions.size()); ++i) {
        const auto &[version, name] = versions.at(qsizetype(i));
        TlsClient client;
        client.setProtocol(version);
        QVERIFY2(client.connectTo(server.port, m_certs.caCert), qPrintable(client.error()));
        QVERIFY(server.waitForEvents(i, 1));
        Served &served = server.at(i);
        QCOMPARE(served.events, QStringList{QStringLiteral("secured")});
        const Connection &connection = *served.connection;
        QVERIFY(connection.isSecure());
        QVERIFY(!connection.isHandshaking());
        QCOMPARE(connection.tlsDetails().protocol, name);
        QCOMPARE(client.protocolName(), name);
        QVERIFY(!connection.tlsDetails().cipher.isEmpty());
        QVERIFY(connection.tlsDetails().peerSubject.isEmpty());

        // Messages in a row, each answered exactly, every byte value through.
        const QList<QByteArray> messages = {framed(Adt), framed(byteValues(0x20)), framed("MSH|^~\\&|third\r")};
        for (int m = 0; m < messages.size(); ++m) {
            QVERIFY(client.send(messages.at(m)));
            QCOMPARE(client.receive(TlsHarness::ackFor(m + 1).size()), TlsHarness::ackFor(m + 1));
        }
        QCOMPARE(served.messages, messages);

        // A message of over 1 MiB comes whole, in more than one arrival: one
        // run of reads hands over at most MaxArrival and a read's worth more.
        const int arrivalsBefore = served.arrivals;
        const QByteArray big = bigMessage(SocketIo::MaxArrival + SocketIo::ReadChunk + 1, quint32(i + 1));
        QVERIFY(client.send(big));
        QCOMPARE(client.receive(TlsHarness::ackFor(4).size()), TlsHarness::ackFor(4));
        QCOMPARE(served.messages.size(), 4);
        QVERIFY(served.messages.last() == big);
        QVERIFY(served.arrivals - arrivalsBefore > 1);

        client.close();
        QVERIFY(server.waitForEvents(i, 2));
        QCOMPARE(connection.tlsDetails().protocol, name); // still told once closed
    }
}

void TlsTest::endsAfterTheHandshakeAreToldAsOnPlainConnections()
{
    const std::shared_ptr<TlsContext> tls = load();
    QVERIFY(tls);
    TlsHarness server(tls);
    const auto endAfterAMessage = [&](std::size_t i, const std::function<void(TlsClient &)> &end) {
        TlsClient client;
        if (!client.connectTo(server.port, m_certs.caCert) || !client.send(framed(Adt))
            || client.receive(TlsHarness::ackFor(1).size()) != TlsHarness::ackFor(1))
            return QStringList{client.error()};
        end(client);
        server.waitForEvents(i, 2);
        return server.at(i).events;
    };
    // close_notify from the sender; a reset; a broken record.
    QCOMPARE(endAfterAMessage(0, [](TlsClient &c) { c.close(); }),
             QStringList({QStringLiteral("secured"), QStringLiteral("closed")}));
    QCOMPARE(endAfterAMessage(1, [](TlsClient &c) { c.reset(); }),
             QStringList({QStringLiteral("secured"), QStringLiteral("error %1").arg(ECONNRESET)}));
    const QByteArray brokenRecord("\x17\x03\x03\x00\x05hello", 10);
    QCOMPARE(endAfterAMessage(2, [&](TlsClient &c) { QVERIFY(c.sendRaw(brokenRecord)); }),
             QStringList({QStringLiteral("secured"), QStringLiteral("error %1").arg(EPROTO)}));
    for (std::size_t i = 0; i < 3; ++i)
        QVERIFY(!server.at(i).connection->isConnected());
}

void TlsTest::clientCertificatesAreRequiredAndVerified()
{
    const std::shared_ptr<TlsContext> tls = load(m_certs.caCert);
    QVERIFY(tls);
    QVERIFY(tls->requiresClientCertificate());
    TlsHarness server(tls);

    TlsClient trusted;
    QVERIFY2(trusted.connectTo(server.port, m_certs.caCert, m_certs.clientCert, m_certs.clientKey),
             qPrintable(trusted.error()));
    QVERIFY(server.waitForEvents(0, 1));
    QCOMPARE(server.at(0).events, QStringList{QStringLiteral("secured")});
    QCOMPARE(server.at(0).connection->tlsDetails().peerSubject, QStringLiteral("CN=sender,O=Test"));
    QVERIFY(trusted.send(framed(Adt)));
    QCOMPARE(trusted.receive(TlsHarness::ackFor(1).size()), TlsHarness::ackFor(1));

    // Without a certificate, and with one from an authority not trusted.
    TlsClient anonymous;
    anonymous.connectTo(server.port, m_certs.caCert);
    QVERIFY(server.waitForEvents(1, 1));
    TlsClient stranger;
    stranger.connectTo(server.port, m_certs.caCert, m_certs.otherClientCert, m_certs.otherClientKey);
    QVERIFY(server.waitForEvents(2, 1));
    QVERIFY(anonymous.waitForEnd());
    QVERIFY(stranger.waitForEnd());
    const QStringList anonymousEvents = server.at(1).events;
    const QStringList strangerEvents = server.at(2).events;
    QCOMPARE(anonymousEvents.size(), 1);
    QCOMPARE(strangerEvents.size(), 1);
    QCOMPARE(anonymousEvents.first(), QStringLiteral("failed peer did not return a certificate"));
    QVERIFY2(strangerEvents.first().startsWith(QStringLiteral("failed certificate verify failed: ")),
             qPrintable(strangerEvents.first()));
    QVERIFY(server.at(1).messages.isEmpty() && server.at(2).messages.isEmpty());
    QVERIFY(!server.at(1).connection->isConnected() && !server.at(2).connection->isConnected());

    // The listener goes on: a trusted sender afterwards is served.
    TlsClient again;
    QVERIFY(again.connectTo(server.port, m_certs.caCert, m_certs.clientCert, m_certs.clientKey));
    QVERIFY(server.waitForEvents(3, 1));
    QCOMPARE(server.at(3).events, QStringList{QStringLiteral("secured")});
    QVERIFY(again.send(framed(Adt)));
    QCOMPARE(again.receive(TlsHarness::ackFor(1).size()), TlsHarness::ackFor(1));
    QVERIFY(server.listener.isListening());
}

void TlsTest::failedHandshakesAreToldOnceAndFreeTheConnection()
{
    const std::shared_ptr<TlsContext> tls = load();
    QVERIFY(tls);
    TlsHarness server(tls);
    // A plain sender's MLLP message is no TLS hello.
    LoopbackClient plain;
    QVERIFY(plain.connectTo(server.port));
    QVERIFY(plain.send(framed(Adt)));
    QVERIFY(server.waitForEvents(0, 1));
    QVERIFY(plain.waitForClosed());
    QCOMPARE(server.at(0).events, QStringList{QStringLiteral("failed wrong version number")});

    // A sender that leaves before its hello.
    LoopbackClient leaving;
    QVERIFY(leaving.connectTo(server.port));
    QVERIFY(waitUntil([&] { return server.served.size() == 2; }));
    leaving.close();
    QVERIFY(server.waitForEvents(1, 1));
    QCOMPARE(server.at(1).events,
             QStringList{QStringLiteral("failed the sender closed the connection during the handshake")});

    // Closed by us in the middle of it: nothing is raised, the sender sees the end.
    TlsClient dropped;
    QObject::connect(&server.listener, &Listener::connectionAccepted, &server.listener, [&] {
        if (server.served.size() == 3)
            server.at(2).connection->close();
    });
    QVERIFY(!dropped.connectTo(server.port, m_certs.caCert));
    QCOMPARE(server.served.size(), 3u);
    QVERIFY(server.at(2).events.isEmpty());

    // A sender that says nothing is given up after the limit, which is short
    // for this connection alone so that the others never meet it.
    const int savedTimeout = Connection::handshakeTimeout();
    QCOMPARE(savedTimeout, Connection::HandshakeTimeoutMs);
    Connection::setHandshakeTimeout(300);
    const auto restore = qScopeGuard([&] { Connection::setHandshakeTimeout(savedTimeout); });
    LoopbackClient silent;
    QVERIFY(silent.connectTo(server.port));
    QVERIFY(waitUntil([&] { return server.served.size() == 4; }));
    Connection::setHandshakeTimeout(savedTimeout);
    QVERIFY(server.waitForEvents(3, 1));
    QCOMPARE(server.at(3).events, QStringList{QStringLiteral("failed the handshake did not complete within 0.3 s")});
    QVERIFY(silent.waitForClosed());

    // Told once, nothing arrived, and each connection is closed.
    for (std::size_t i = 0; i < 4; ++i) {
        QCOMPARE(server.at(i).events.size(), i == 2 ? 0 : 1);
        QCOMPARE(server.at(i).arrivals, 0);
        QVERIFY(!server.at(i).connection->isConnected());
        QVERIFY(!server.at(i).connection->isHandshaking());
    }
}

void TlsTest::loadingNamesTheFaultyFile()
{
    QString error = QStringLiteral("stale");
    QVERIFY(TlsContext::load({m_certs.serverCert, m_certs.serverKey, {}}, &error));
    QVERIFY(error.isEmpty());
    const auto mutual = TlsContext::load({m_certs.serverCert, m_certs.serverKey, m_certs.caCert}, &error);
    QVERIFY(mutual && mutual->requiresClientCertificate() && mutual->handle());

    const QString missing = m_dir.filePath(QStringLiteral("missing.pem"));
    const QString notPem = m_dir.filePath(QStringLiteral("notpem.txt"));
    QFile text(notPem);
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("MSH|^~\\&|not a certificate\r") > 0);
    text.close();

    struct Case { TlsContext::Files files; QString names; QString says; };
    const QList<Case> cases = {
        {{missing, m_certs.serverKey, {}}, missing, QStringLiteral("No such file or directory")},
        {{notPem, m_certs.serverKey, {}}, notPem, QStringLiteral("holds no PEM certificate")},
        {{m_certs.serverCert, m_certs.wrongKey, {}}, m_certs.wrongKey, QStringLiteral("does not match")},
        {{m_certs.serverCert, m_certs.serverCert, {}}, m_certs.serverCert, QStringLiteral("holds no PEM private key")},
        {{m_certs.expiredCert, m_certs.expiredKey, {}}, m_certs.expiredCert, QStringLiteral("expired on")},
        {{m_certs.serverCert, m_certs.serverKey, missing}, missing, QStringLiteral("client CA")},
        {{m_certs.serverCert, m_certs.serverKey, notPem}, notPem, QStringLiteral("holds no PEM certificate")},
    };
    for (const Case &c : cases) {
        error.clear();
        QVERIFY(!TlsContext::load(c.files, &error));
        QVERIFY2(error.contains(c.names) && error.contains(c.says), qPrintable(error));
    }
}

void TlsTest::answersQueuedAtCloseStillArriveThroughTls()
{
    const std::shared_ptr<TlsContext> tls = load();
    QVERIFY(tls);
    TlsHarness server(tls);
    // More than the kernel's queues hold while the sender reads nothing.
    server.answer = bigMessage(16 << 20, 7);
    server.closeAfterAnswer = true;

    TlsClient slow;
    slow.setReadBufferSize(64 * 1024);
    QVERIFY(slow.connectTo(server.port, m_certs.caCert));
    QVERIFY(slow.send(framed(Adt)));
    QVERIFY(server.waitForEvents(0, 1));
    QVERIFY(waitUntil([&] { return server.at(0).messages.size() == 1; }));
    QVERIFY(!server.at(0).connection->isConnected());
    QCOMPARE(server.pool.count(), 1); // the rest is the pool's to deliver

    const QByteArray received = slow.receive(server.answer.size());
    QCOMPARE(received.size(), server.answer.size());
    QVERIFY(received == server.answer);
    QVERIFY(slow.waitForEnd());
    QVERIFY(waitUntil([&] { return server.pool.count() == 0; }));
    QCOMPARE(server.at(0).events, QStringList{QStringLiteral("secured")});
}

QTEST_GUILESS_MAIN(TlsTest)
#include "tst_tls.moc"
