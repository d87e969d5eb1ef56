// Several senders at once and idle connections, through the real engine
// with real clients on loopback.

#include "engineprogram.h"
#include "testcerts.h"
#include "tlsclient.h"

#include <QtTest>

#include <array>

namespace {
QByteArray message(int sender, int n)
{
    return "MSH|^~\\&|S" + QByteArray::number(sender) + "|F|P|F|202612090800||ADT^A01|C" + QByteArray::number(sender)
           + "-" + QByteArray::number(n) + "|P|2.5\rPID|1\r";
}

// The answer's MSA-2, which echoes the message's control ID.
QByteArray echoedId(const QByteArray &answer)
{
    const qsizetype msa = answer.indexOf("MSA|AA|");
    return msa < 0 ? QByteArray() : answer.mid(msa + 7).split('|').value(0);
}

qsizetype answerSize(const QByteArray &id)
{
    AckTexts texts;
    texts.msa = "|AA|" + id + "|";
    return texts.size();
}

// The texts answer with the message's control ID in MSA-2.
void echoControlId(EngineProgram &program)
{
    program.changeRecord([](SettingsRecord &record) { record.strMSASegment = QStringLiteral("|AA|{MSH-10}|"); });
}

void several(EngineProgram &program, int most)
{
    program.changeOptions([most](Options &options) {
        options.senders = Options::Senders::Several;
        options.maxSenders = most;
    });
}
} // namespace

class SendersTest : public QObject
{
    Q_OBJECT

private slots:
    void sendersInterleaveEachAnsweredOnItsOwnAndTheMostAreKept();
    void wholeBlocksAndDelayedAnswersStayWithTheirConnection();
    void anIdleConnectionIsClosedAndTold();
    void tlsSendersAreAnsweredAndTheRefusedTold();
};

void SendersTest::sendersInterleaveEachAnsweredOnItsOwnAndTheMostAreKept()
{
    EngineProgram program;
    echoControlId(program);
    several(program, 4);
    QStringList told;
    QObject::connect(&program.engine(), &InterfaceEngine::connectionNotice, [&](const QString &t) { told << t; });
    QCOMPARE(program.start(), 0);
    std::array<LoopbackClient, 4> clients;
    for (LoopbackClient &client : clients)
        QVERIFY(client.connectTo(program.port()));
    QVERIFY(waitUntil([&] { return program.engine().connectionCount() == 4; }));

    // A fifth past the most is closed at once and told once; a sixth is not told again.
    LoopbackClient fifth, sixth;
    QVERIFY(fifth.connectTo(program.port()));
    QVERIFY(fifth.waitForClosed());
    QVERIFY(sixth.connectTo(program.port()));
    QVERIFY(sixth.waitForClosed());
    QCOMPARE(told.size(), 1);
    QVERIFY2(told[0].contains(" was refused: 4 senders are connected"), qPrintable(told[0]));

    QByteArray expectedLog;
    for (int n = 0; n < 50; ++n) {
        for (int c = 0; c < 4; ++c) {
            const QByteArray sent = message(c, n);
            QVERIFY(clients[c].send(framed(sent)));
            const QByteArray id = "C" + QByteArray::number(c) + "-" + QByteArray::number(n);
            QCOMPARE(echoedId(clients[c].receive(answerSize(id))), id);
            expectedLog += framed(sent) + "\r\n";
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
    EngineProgram program;
    echoControlId(program);
    several(program, 20);
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
    const QByteArray first = framed(message(1, 1)), second = framed(message(2, 1));
    QVERIFY(a.send(first.first(20)));
    QVERIFY(waitUntil([&] { return program.engine().messages().size() == 0 && a.nothingMoreWaiting(); }));
    QVERIFY(b.send(second));
    QVERIFY(gone.send(framed(message(3, 1))));
    QVERIFY(waitUntil([&] { return program.engine().messages().size() == 2; }));
    gone.close();
    QVERIFY(a.send(first.mid(20)));
    QVERIFY(waitUntil([&] { return program.engine().messages().size() == 3; }));

    QCOMPARE(echoedId(b.receive(answerSize("C2-1"))), "C2-1");
    QCOMPARE(echoedId(a.receive(answerSize("C1-1"))), "C1-1");
    QVERIFY(a.nothingMoreWaiting() && b.nothingMoreWaiting());
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")),
             second + "\r\n" + framed(message(3, 1)) + "\r\n" + first + "\r\n");
    // The closed connection's answer was dropped, not sent elsewhere.
    QVERIFY(waitUntil([&] { return program.engine().answersWaiting() == 0; }));
    QByteArray answer;
    QVERIFY(!program.engine().messages().answer(1, &answer, nullptr));
    QVERIFY(program.engine().messages().answer(2, &answer, nullptr));
}

void SendersTest::anIdleConnectionIsClosedAndTold()
{
    for (const Options::Senders mode : {Options::Senders::One, Options::Senders::Several}) {
        EngineProgram program;
        program.changeOptions([mode](Options &options) {
            options.senders = mode;
            options.idleTimeoutS = 1;
        });
        QStringList told;
        QObject::connect(&program.engine(), &InterfaceEngine::connectionNotice, [&](const QString &t) { told << t; });
        QCOMPARE(program.start(), 0);
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        QVERIFY(client.exchange("x"));
        QCOMPARE(client.waitForEnd(), 0);
        QCOMPARE(told, QStringList(QStringLiteral("The connection of sender 127.0.0.1 port %1 carried no byte "
                                                  "for 1 s and was closed.")
                                           .arg(client.localPort())));
        QCOMPARE(program.engine().connectionCount(), 0);
        QCOMPARE(program.states.last(), InterfaceEngine::State::Listening);
        // The probe goes on listening.
        QVERIFY(client.connectTo(program.port()));
        QVERIFY(client.exchange("y"));
    }
}

void SendersTest::tlsSendersAreAnsweredAndTheRefusedTold()
{
    EngineProgram program;
    TestCertificates certificates;
    QString why;
    QVERIFY(QDir().mkpath(program.path("tls")));
    QVERIFY2(certificates.make(program.path("tls"), &why), qPrintable(why));
    echoControlId(program);
    several(program, 20);
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
        options.tlsCertificate = QStringLiteral("tls/") + QFileInfo(certificates.serverCert).fileName();
        options.tlsKey = certificates.serverKey;
        options.tlsClientCAs = certificates.caCert;
    });
    QStringList told;
    QObject::connect(&program.engine(), &InterfaceEngine::connectionNotice, [&](const QString &t) { told << t; });
    QCOMPARE(program.start(), 0);
    TlsClient good;
    QVERIFY2(good.connectTo(program.port(), certificates.caCert, certificates.clientCert, certificates.clientKey),
             qPrintable(good.error()));
    const QByteArray first = message(1, 1);
    QVERIFY(good.send(framed(first)));
    QCOMPARE(echoedId(good.receive(answerSize("C1-1"))), "C1-1");

    // A plain sender and one without a certificate are refused at the
    // handshake, each told once; the good sender goes on.
    LoopbackClient plain;
    QVERIFY(plain.connectTo(program.port()));
    QVERIFY(plain.send(framed(message(2, 1))));
    QVERIFY(plain.waitForClosed());
    TlsClient anonymous;
    anonymous.connectTo(program.port(), certificates.caCert);
    QVERIFY(anonymous.waitForEnd());
    QVERIFY(waitUntil([&] { return told.size() == 2; }));
    QVERIFY2(told[0].startsWith(QStringLiteral("The TLS handshake with 127.0.0.1 port %1 failed: ").arg(plain.localPort())),
             qPrintable(told[0]));
    QVERIFY2(told[1].contains("failed: peer did not return a certificate"), qPrintable(told[1]));
    QVERIFY(good.send(framed(message(1, 2))));
    QCOMPARE(echoedId(good.receive(answerSize("C1-2"))), "C1-2");

    const MessageStore &store = program.engine().messages();
    QCOMPARE(store.size(), 2);
    const QByteArray from = store.sender(store.info(0).sender);
    QVERIFY2(from.startsWith("127.0.0.1 port ") && from.contains(" (TLSv1.") && from.endsWith(", CN=sender,O=Test)"),
             from.constData());
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), framed(first) + "\r\n" + framed(message(1, 2)) + "\r\n");
}

QTEST_GUILESS_MAIN(SendersTest)
#include "tst_senders.moc"
