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

// A connection taken, what it raised ("secured", "failed <reason>", "closed",
// "error <errno>") and the messages it gathered.
struct Served
{
    std::unique_ptr<Connection> connection;
    QStringList events;
    int arrivals = 0;
    QByteArray pending;
    QList<QByteArray> messages;
};

QByteArray ackFor(int n) { return framed("ACK " + QByteArray::number(n)); }

// Sends a message and reads the answer: true when it is "ACK <n>" exactly.
bool answered(TlsClient &client, int n, const QByteArray &message = framed(Adt))
{
    return client.send(message) && client.receive(ackFor(n).size()) == ackFor(n);
}

// A message of `size` bytes without the MLLP end bytes, framed.
QByteArray bigMessage(qsizetype size, quint32 seed)
{
    return framed(randomBytes(size, seed).replace('\x1c', 'x').replace('\x0b', 'y'));
}

// A TLS listener with the server's files (and clientCAs when given; port 0
// when they do not load) whose connections answer each whole MLLP message
// with ackFor(its number), or `answer` when set, closing after it when asked.
class TlsHarness
{
public:
    explicit TlsHarness(const TestCertificates &certs, const QString &clientCAs = {})
    {
        QString error;
        std::shared_ptr<TlsContext> tls = TlsContext::load({certs.serverCert, certs.serverKey, clientCAs}, &error);
        if (!tls) {
            qWarning() << error;
            return;
        }
        listener.setTls(std::move(tls));
        port = listenOnFreePort(listener);
        QObject::connect(&listener, &Listener::connectionAccepted, &listener, [this] { take(); });
    }

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
    bool dropOnAccept = false; // closed at once, in the middle of the handshake
    std::vector<std::unique_ptr<Served>> served;

private:
    void take()
    {
        Served *record = served.emplace_back(std::make_unique<Served>()).get();
        record->connection = listener.takeConnection();
        Connection *c = record->connection.get();
        const auto log = [record](const QString &event) { record->events << event; };
        QObject::connect(c, &Connection::secured, c, [log] { log(QStringLiteral("secured")); });
        QObject::connect(c, &Connection::handshakeFailed, c, [log](const QString &why) { log("failed " + why); });
        QObject::connect(c, &Connection::peerClosed, c, [log] { log(QStringLiteral("closed")); });
        QObject::connect(c, &Connection::failed, c, [log](int error) { log(QStringLiteral("error %1").arg(error)); });
        QObject::connect(c, &Connection::arrived, c, [this, record, c] {
            ++record->arrivals;
            record->pending += c->takeData();
            for (qsizetype end; (end = record->pending.indexOf("\x1c\r")) >= 0;) {
                record->messages << record->pending.left(end + 2);
                record->pending.remove(0, end + 2);
                c->send(answer.isEmpty() ? ackFor(int(record->messages.size())) : answer);
                if (closeAfterAnswer)
                    return c->close();
            }
        });
        if (dropOnAccept)
            c->close();
    }
};

} // namespace

class TlsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_dir.isValid() && m_certs.make(&error), qPrintable(error));
    }
    void roundTripsInEveryVersion();
    void everyEndIsToldOnceAndFreesTheConnection();
    void clientCertificatesAreRequiredAndVerified();
    void loadingNamesTheFaultyFile();
    void answersQueuedAtCloseStillArriveThroughTls();

private:
    QTemporaryDir m_dir;
    const TestCertificates m_certs{m_dir.path()};
};

void TlsTest::roundTripsInEveryVersion()
{
    TlsHarness server(m_certs);
    QVERIFY(server.port != 0);
    const QList<QPair<QSsl::SslProtocol, QString>> versions = {{QSsl::TlsV1_2, QStringLiteral("TLSv1.2")},
                                                               {QSsl::TlsV1_3, QStringLiteral("TLSv1.3")}};
    for (std::size_t i = 0; i < 2; ++i) {
        const auto &[version, name] = versions.at(qsizetype(i));
        TlsClient client;
        client.setProtocol(version);
        QVERIFY2(client.connectTo(server.port, m_certs.caCert), qPrintable(client.error()));
        QCOMPARE(client.sessionProtocol(), version);
        QVERIFY(server.waitForEvents(i, 1));
        Served &served = server.at(i);
        QCOMPARE(served.events, QStringList{QStringLiteral("secured")});
        const Connection &connection = *served.connection;
        QVERIFY(connection.isSecure() && !connection.isHandshaking());
        QCOMPARE(connection.tlsDetails().protocol, name);
        QVERIFY(!connection.tlsDetails().cipher.isEmpty() && connection.tlsDetails().peerSubject.isEmpty());

        // Messages in a row, every byte value through, each answered exactly;
        // then one of over 1 MiB, whole, though one run of reads hands over
        // at most MaxArrival and a read's worth more.
        QList<QByteArray> messages = {framed(Adt), framed(byteValues(0x20)), framed("MSH|^~\\&|third\r")};
        for (int m = 0; m < 3; ++m)
            QVERIFY(answered(client, m + 1, messages.at(m)));
        const int arrivalsBefore = served.arrivals;
        messages << bigMessage(SocketIo::MaxArrival + SocketIo::ReadChunk + 1, quint32(i + 1));
        QVERIFY(answered(client, 4, messages.last()));
        QVERIFY(served.messages == messages);
        QVERIFY(served.arrivals - arrivalsBefore > 1);

        client.close();
        QVERIFY(server.waitForEvents(i, 2));
        QCOMPARE(connection.tlsDetails().protocol, name); // still told once closed
    }
}

void TlsTest::everyEndIsToldOnceAndFreesTheConnection()
{
    TlsHarness server(m_certs);
    QVERIFY(server.port != 0);
    const std::shared_ptr<TlsContext> usual = server.listener.tls();
    QCOMPARE(usual->handshakeTimeoutMs(), TlsContext::HandshakeTimeoutMs);
    QString why;
    const std::shared_ptr<TlsContext> quick = TlsContext::load({m_certs.serverCert, m_certs.serverKey, {}}, &why, 300);
    QVERIFY2(quick, qPrintable(why));
    TlsClient tls;
    LoopbackClient plain;
    const auto secured = [&] { return tls.connectTo(server.port, m_certs.caCert) && answered(tls, 1); };
    const auto taken = [&](std::size_t count) { return waitUntil([&] { return server.served.size() == count; }); };
    const auto silent = [&] {
        server.listener.setTls(quick); // for this connection alone, the others never meet it
        const bool in = plain.connectTo(server.port) && taken(6);
        server.listener.setTls(usual);
        return in && plain.waitForClosed();
    };
    const QString error = QStringLiteral("error %1");
    const QList<QPair<std::function<bool()>, QStringList>> ends = {
        // After the handshake: close_notify from the sender, a reset, a broken record.
        {[&] { return secured() && (tls.close(), true); }, {"secured", "closed"}},
        {[&] { return secured() && (tls.reset(), true); }, {"secured", error.arg(ECONNRESET)}},
        {[&] { return secured() && tls.sendRaw(QByteArray("\x17\x03\x03\x00\x05hello", 10)); },
         {"secured", error.arg(EPROTO)}},
        // During it: a plain sender's MLLP message is no hello; a sender leaves before its hello;
        // one says nothing; closed by us, nothing is told and the sender sees the end.
        {[&] { return plain.connectTo(server.port) && plain.send(framed(Adt)) && plain.waitForClosed(); },
         {"failed wrong version number"}},
        {[&] { return plain.connectTo(server.port) && taken(5) && (plain.close(), true); },
         {"failed the sender closed the connection during the handshake"}},
        {silent, {"failed the handshake did not complete within 0.3 s"}},
        {[&] {
             server.dropOnAccept = true;
             return !tls.connectTo(server.port, m_certs.caCert) && taken(7);
         }, {}},
    };
    for (std::size_t i = 0; i < std::size_t(ends.size()); ++i) {
        const auto &[end, events] = ends.at(qsizetype(i));
        QVERIFY2(end(), qPrintable(QStringLiteral("end %1: ").arg(i) + tls.error()));
        QVERIFY(server.waitForEvents(i, int(events.size())));
        const Served &served = server.at(i);
        QCOMPARE(served.events, events);
        QCOMPARE(served.arrivals > 0, i < 3); // only after a handshake
        QVERIFY(!served.connection->isConnected() && !served.connection->isHandshaking());
    }
}

void TlsTest::clientCertificatesAreRequiredAndVerified()
{
    TlsHarness server(m_certs, m_certs.caCert);
    QVERIFY(server.port != 0);
    // Trusted; without a certificate; from an authority not trusted; trusted
    // again, once the refused are gone: the listener goes on.
    const QList<std::tuple<QString, QString, QString>> senders = {
        {m_certs.clientCert, m_certs.clientKey, "^secured$"},
        {{}, {}, "^failed peer did not return a certificate$"},
        {m_certs.otherClientCert, m_certs.otherClientKey, "^failed certificate verify failed: "},
        {m_certs.clientCert, m_certs.clientKey, "^secured$"}};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto &[certificate, key, told] = senders.at(qsizetype(i));
        const bool trusted = certificate == m_certs.clientCert;
        TlsClient client;
        // Under TLS 1.3 the refusal may come only after the sender's handshake.
        QCOMPARE(client.connectTo(server.port, m_certs.caCert, certificate, key) && answered(client, 1), trusted);
        QVERIFY(trusted || client.waitForEnd());
        QVERIFY(server.waitForEvents(i, 1));
        const Served &served = server.at(i);
        QVERIFY2(served.events.size() == 1 && QRegularExpression(told).match(served.events[0]).hasMatch(),
                 qPrintable(served.events.join('|')));
        QCOMPARE(served.connection->tlsDetails().peerSubject, trusted ? QStringLiteral("CN=sender,O=Test") : "");
        QCOMPARE(served.messages.size(), trusted ? 1 : 0);
        QCOMPARE(served.connection->isConnected(), trusted);
    }
    QVERIFY(server.listener.isListening());
}

void TlsTest::loadingNamesTheFaultyFile()
{
    QString error = QStringLiteral("stale");
    QVERIFY(TlsContext::load({m_certs.serverCert, m_certs.serverKey, {}}, &error) && error.isEmpty());
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
    TlsHarness server(m_certs);
    QVERIFY(server.port != 0);
    // More than the kernel's queues hold while the sender reads nothing.
    server.answer = bigMessage(16 << 20, 7);
    server.closeAfterAnswer = true;

    TlsClient slow;
    slow.setReadBufferSize(64 * 1024);
    QVERIFY(slow.connectTo(server.port, m_certs.caCert) && slow.send(framed(Adt)));
    QVERIFY(waitUntil([&] { return !server.served.empty() && server.at(0).messages.size() == 1; }));
    QVERIFY(!server.at(0).connection->isConnected());
    QCOMPARE(server.pool.count(), 1); // the rest is the pool's to deliver

    QVERIFY(slow.receive(server.answer.size()) == server.answer);
    QVERIFY(slow.waitForEnd());
    QVERIFY(waitUntil([&] { return server.pool.count() == 0; }));
    QCOMPARE(server.at(0).events, QStringList{QStringLiteral("secured")});
}

QTEST_GUILESS_MAIN(TlsTest)
#include "tst_tls.moc"
