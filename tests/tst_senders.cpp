// Several senders at once and idle connections, through the real engine
// with real clients on loopback.

#include "engineprogram.h"
#include "testcerts.h"
#include "tlsclient.h"

#include <QtTest>

#include <array>

namespace {
QByteArray controlId(int sender, int n) { return "C" + QByteArray::number(sender) + "-" + QByteArray::number(n); }

QByteArray message(int sender, int n)
{
    return framed("MSH|^~\\&|S" + QByteArray::number(sender) + "|F|P|F|202612090800||ADT^A01|" + controlId(sender, n)
                  + "|P|2.5\rPID|1\r");
}

// Reads the answer to the sender's message n: true when it is exactly the
// acknowledgement echoing its control ID, stamped from `from` on.
template <class Client>
bool answered(Client &client, int sender, int n, const QDateTime &from)
{
    AckTexts texts;
    texts.msa = "|AA|" + controlId(sender, n) + "|";
    const QByteArray answer = client.receive(texts.size());
    return isAck(answer, from, QDateTime::currentDateTime(), texts);
}

// The engine taking up to `most` senders at once (none: one at a time) and
// echoing the control ID in MSA-2; what it told of connections in `told`.
struct Program : EngineProgram
{
    explicit Program(int most)
    {
        changeRecord([](SettingsRecord &record) { record.strMSASegment = QStringLiteral("|AA|{MSH-10}|"); });
        changeOptions([most](Options &options) {
            options.senders = most > 0 ? Options::Senders::Several : Options::Senders::One;
            options.maxSenders = most > 0 ? most : options.maxSenders;
        });
        QObject::connect(&engine(), &InterfaceEngine::connectionNotice, [this](const QString &t) { told << t; });
    }
    QStringList told;
};
} // namespace

class SendersTest : public QObject
{
    Q_OBJECT

private slots:
    void sendersInterleaveEachAnsweredOnItsOwnAndTheMostAreKept();
    void wholeBlocksAndDelayedAnswersStayWithTheirConnection();
    void anIdleConnectionIsClosedAndTold();
    void tlsSendersAreAnsweredAndTheRefusedTold();

private:
    const QDateTime m_from = QDateTime::currentDateTime();
};

void SendersTest::sendersInterleaveEachAnsweredOnItsOwnAndTheMostAreKept()
{
    Program program(4);
    QCOMPARE(program.start(), 0);
    std::array<LoopbackClient, 4> clients;
    for (LoopbackClient &client : clients)
        QVERIFY(client.connectTo(program.port()));
    QVERIFY(waitUntil([&] { return program.engine().connectionCount() == 4; }));

    // A fifth past the most is closed at once and told once; a sixth is not told again.
    LoopbackClient fifth, sixth;
    QVERIFY(fifth.connectTo(program.port()) && fifth.waitForClosed());
    QVERIFY(sixth.connectTo(program.port()) && sixth.waitForClosed());
    QCOMPARE(program.told.size(), 1);
    QVERIFY2(program.told[0].contains(" was refused: 4 senders are connected"), qPrintable(program.told[0]));

    QByteArray expectedLog;
    for (int n = 0; n < 50; ++n) {
        for (int c = 0; c < 4; ++c) {
            QVERIFY(clients[c].send(message(c, n)) && answered(clients[c], c, n, m_from));
            expectedLog += message(c, n) + "\r\n";
        }
    }
    for (LoopbackClient &client : clients)
        QVERIFY(client.nothingMoreWaiting());
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), expectedLog);
    const MessageStore &store = program.engine().messages();
    QCOMPARE(store.size(), 200);
    for (int c = 0; c < 4; ++c)
        QCOMPARE(store.sender(store.info(c).sender),
                 QStringLiteral("127.0.0.1 port %1").arg(clients[c].localPort()).toUtf8());
    QCOMPARE(store.info(199).sender, store.info(3).sender);
    QVERIFY(program.socketErrors.isEmpty());
}

void SendersTest::wholeBlocksAndDelayedAnswersStayWithTheirConnection()
{
    Program program(20);
    program.changeOptions([](Options &options) {
        options.wholeMllpMessages = true;
        options.answerMode = Options::AnswerMode::Delayed;
        options.delayMs = 200;
    });
    QCOMPARE(program.start(), 0);
    LoopbackClient a, b, gone;
    for (LoopbackClient *client : {&a, &b, &gone})
        QVERIFY(client->connectTo(program.port()));
    QVERIFY(waitUntil([&] { return program.engine().connectionCount() == 3; }));
    // A's block is begun, B's comes whole, then A's ends: each is one message, whole.
    QVERIFY(a.send(message(1, 1).first(20)));
    QVERIFY(waitUntil([&] { return program.engine().messages().size() == 0 && a.nothingMoreWaiting(); }));
    QVERIFY(b.send(message(2, 1)) && gone.send(message(3, 1)));
    QVERIFY(waitUntil([&] { return program.engine().messages().size() == 2; }));
    gone.close();
    QVERIFY(a.send(message(1, 1).mid(20)));
    QVERIFY(waitUntil([&] { return program.engine().messages().size() == 3; }));

    QVERIFY(answered(b, 2, 1, m_from) && answered(a, 1, 1, m_from));
    QVERIFY(a.nothingMoreWaiting() && b.nothingMoreWaiting());
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")),
             message(2, 1) + "\r\n" + message(3, 1) + "\r\n" + message(1, 1) + "\r\n");
    // The closed connection's answer was dropped, not sent elsewhere.
    QVERIFY(waitUntil([&] { return program.engine().answersWaiting() == 0; }));
    QByteArray answer;
    QVERIFY(!program.engine().messages().answer(1, &answer, nullptr));
    QVERIFY(program.engine().messages().answer(2, &answer, nullptr));
}

void SendersTest::anIdleConnectionIsClosedAndTold()
{
    for (const int most : {0, 20}) {
        Program program(most);
        program.changeOptions([](Options &options) { options.idleTimeoutS = 1; });
        QCOMPARE(program.start(), 0);
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()) && client.send(message(0, 1)) && answered(client, 0, 1, m_from));
        QCOMPARE(client.waitForEnd(), 0);
        QCOMPARE(program.told, QStringList(QStringLiteral("The connection of sender 127.0.0.1 port %1 carried no byte "
                                                          "for 1 s and was closed.").arg(client.localPort())));
        QCOMPARE(program.engine().connectionCount(), 0);
        QCOMPARE(program.states.last(), InterfaceEngine::State::Listening);
        // The probe goes on listening.
        QVERIFY(client.connectTo(program.port()) && client.send(message(0, 2)) && answered(client, 0, 2, m_from));
    }
}

void SendersTest::tlsSendersAreAnsweredAndTheRefusedTold()
{
    Program program(20);
    const TestCertificates certificates(program.path(QStringLiteral("tls")));
    QString why;
    QVERIFY2(QDir().mkpath(certificates.dir) && certificates.make(&why), qPrintable(why));
    // Files the listener cannot use: it does not start, and the reason names the file.
    program.changeOptions([&](Options &options) {
        options.tlsCertificate = certificates.expiredCert;
        options.tlsKey = certificates.expiredKey;
    });
    QVERIFY(program.engine().openLog());
    const InterfaceEngine::StartResult refused = program.engine().start();
    QCOMPARE(refused.outcome, InterfaceEngine::StartResult::Outcome::TlsError);
    QVERIFY2(refused.tlsError.contains(certificates.expiredCert), qPrintable(refused.tlsError));
    QVERIFY(!program.engine().isListening());

    // Relative names are the settings folder's.
    program.changeOptions([&](Options &options) {
        options.tlsCertificate = QStringLiteral("tls/server.pem");
        options.tlsKey = certificates.serverKey;
        options.tlsClientCAs = certificates.caCert;
    });
    QCOMPARE(program.start(), 0);
    TlsClient good;
    QVERIFY2(good.connectTo(program.port(), certificates.caCert, certificates.clientCert, certificates.clientKey),
             qPrintable(good.error()));
    QVERIFY(good.send(message(1, 1)) && answered(good, 1, 1, m_from));

    // A plain sender and one without a certificate are refused at the
    // handshake, each told once; the good sender goes on.
    LoopbackClient plain;
    QVERIFY(plain.connectTo(program.port()) && plain.send(message(2, 1)) && plain.waitForClosed());
    TlsClient anonymous;
    anonymous.connectTo(program.port(), certificates.caCert);
    QVERIFY(anonymous.waitForEnd());
    QVERIFY(waitUntil([&] { return program.told.size() == 2; }));
    QVERIFY2(program.told[0].startsWith(
                 QStringLiteral("The TLS handshake with 127.0.0.1 port %1 failed: ").arg(plain.localPort())),
             qPrintable(program.told[0]));
    QVERIFY2(program.told[1].contains("failed: peer did not return a certificate"), qPrintable(program.told[1]));
    QVERIFY(good.send(message(1, 2)) && answered(good, 1, 2, m_from));

    const MessageStore &store = program.engine().messages();
    QCOMPARE(store.size(), 2);
    const QByteArray from = store.sender(store.info(0).sender);
    QVERIFY2(from.startsWith("127.0.0.1 port ") && from.contains(" (TLSv1.") && from.endsWith(", CN=sender,O=Test)"),
             from.constData());
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), message(1, 1) + "\r\n" + message(1, 2) + "\r\n");
}

QTEST_GUILESS_MAIN(SendersTest)
#include "tst_senders.moc"
