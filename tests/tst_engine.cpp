// The interface engine alone, with real TCP clients on loopback and real
// files: what goes over the wire and into the log, without any window.

#include "engineprogram.h"

#include "sockets/errornumbers.h"

#include <QHostAddress>

#include <QFile>
#include <QtTest>

class EngineTest : public QObject
{
    Q_OBJECT

private slots:
    void messagesAreAnsweredLoggedAndKept();
    void recordChangedWhileRunningGivesTheNextAnswer();
    void listeningAndConnectionsAsQueried();
    void peerCloseWaitsAndAFailedRelistenIsTold();
    void logRotatedAwayGoesOnInANewFile();
    void aByteOrderMarkNeverCostsAnAnswer();
};

void EngineTest::messagesAreAnsweredLoggedAndKept()
{
    EngineProgram program;
    QString peer;
    QObject::connect(&program.engine(), &InterfaceEngine::connectionEstablished,
                     [&](const QString &stamp, const QString &address, quint16 port) {
                         peer = QStringLiteral("%1 %2 %3").arg(stamp.size()).arg(address).arg(port > 0);
                     });
    int catchUps = 0;
    QObject::connect(&program.engine(), &InterfaceEngine::messagesAdded, [&] { ++catchUps; });
    QCOMPARE(program.start(), 0);
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(waitUntil([&] { return !peer.isEmpty(); }));
    QCOMPARE(peer, QStringLiteral("12 127.0.0.1 1"));
    QCOMPARE(program.states, (QList{InterfaceEngine::State::Listening, InterfaceEngine::State::Connected}));

    const QByteArray adt = framed("MSH|^~\\&|A|B|C|D|202612070815||ADT^A01|MSG1|P|2.3\rPID|1\r");
    const QDateTime from = QDateTime::currentDateTime();
    QVERIFY(client.send(adt));
    QVERIFY(receivesAck(client, from));
    // Two messages that arrive together are one arrival: one answer.
    QVERIFY(client.send(adt + adt));
    QVERIFY(receivesAck(client, from));
    QCOMPARE(program.engine().transactionCount(), 2);
    QCOMPARE(program.engine().messages().size(), 2);
    QCOMPARE(program.engine().messages().at(1), QByteArrayView(adt + adt));
    QCOMPARE(program.engine().lastAcknowledgement(), AckTexts().with(program.engine().lastStamp().toLatin1()));
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), adt + "\r\n" + adt + adt + "\r\n");
    QVERIFY(catchUps >= 1);
    QVERIFY(program.notices.isEmpty() && program.socketErrors.isEmpty());
}

void EngineTest::recordChangedWhileRunningGivesTheNextAnswer()
{
    EngineProgram program;
    QCOMPARE(program.start(), 0);
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    const QDateTime from = QDateTime::currentDateTime();
    QVERIFY(client.exchange("x"));
    program.changeRecord([](SettingsRecord &record) {
        record.strAckBeforeDate.clear();
        record.strAckAfterDate.clear();
        record.strMSASegment = QStringLiteral("|AE|");
    });
    QVERIFY(client.send("y"));
    QVERIFY(receivesAck(client, from, AckTexts{"", "", "|AE|"}));
}

void EngineTest::listeningAndConnectionsAsQueried()
{
    EngineProgram program;
    InterfaceEngine &engine = program.engine();
    const auto listen = [&](qint32 port) {
        program.settings().setListenPort(port);
        return engine.start().socketError;
    };
    QVERIFY(!engine.isListening() && !engine.isConnected());
    QCOMPARE(engine.listeningPort(), 0);
    QCOMPARE(QHostAddress(engine.localIP()).protocol(), QAbstractSocket::IPv4Protocol);
    // Refusals come as the numbers the operator is shown.
    for (const qint32 noPort : {65536, -1, 1 << 20})
        QCOMPARE(listen(noPort), int(ErrorNumber::AddressNotAvailable));
    LoopbackClient other;
    const quint16 held = other.listenOnLoopback();
    QCOMPARE(listen(held), int(ErrorNumber::AddressInUse));
    QVERIFY(!engine.isListening());
    QCOMPARE(engine.listeningPort(), 0);
    int established = 0;
    QObject::connect(&engine, &InterfaceEngine::connectionEstablished, [&] { ++established; });
    // Port 0 takes one the system picks.
    QCOMPARE(listen(0), 0);
    QVERIFY(engine.isListening());
    const quint16 port = engine.listeningPort();
    QVERIFY(port != 0 && port != held);

    // The newest sender replaces the current one.
    LoopbackClient first, second;
    QVERIFY(first.connectTo(port));
    QVERIFY(waitUntil([&] { return engine.isConnected(); }));
    QCOMPARE(engine.connectionCount(), 1);
    QVERIFY(first.exchange("first"));
    QVERIFY(second.connectTo(port));
    QCOMPARE(first.waitForEnd(), 0);
    QVERIFY(second.exchange("second"));
    QCOMPARE(engine.connectionCount(), 1);
    QCOMPARE(engine.answerBytesQueued(), 0);
    // The state stays Connected across the replacement; each sender is told.
    QCOMPARE(program.states, (QList{InterfaceEngine::State::Listening, InterfaceEngine::State::Connected}));
    QCOMPARE(established, 2);

    engine.closeAllEndpoints();
    QVERIFY(!engine.isListening() && !engine.isConnected());
    QCOMPARE(engine.connectionCount(), 0);
    QCOMPARE(second.waitForEnd(), 0);
    QVERIFY(program.socketErrors.isEmpty());
}

void EngineTest::peerCloseWaitsAndAFailedRelistenIsTold()
{
    EngineProgram program;
    QCOMPARE(program.start(), 0);
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("one"));
    client.close();
    QVERIFY(waitUntil([&] { return program.engine().state() == InterfaceEngine::State::WaitingForReconnect; }));
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("two"));

    // The listener gone to a port another program holds: listening again
    // at the peer's close fails, with the number.
    LoopbackClient other;
    const quint16 held = other.listenOnLoopback();
    program.settings().setListenPort(held);
    QCOMPARE(program.engine().start().outcome, InterfaceEngine::StartResult::Outcome::PortInUse);
    QVERIFY(program.engine().isConnected());
    client.close();
    QVERIFY(waitUntil([&] { return program.engine().state() == InterfaceEngine::State::WaitingForReconnect; }));
    QCOMPARE(program.socketErrors, QList<int>{ErrorNumber::AddressInUse});
    QVERIFY(!program.engine().isListening());
    program.engine().stop();
    QCOMPARE(program.engine().state(), InterfaceEngine::State::Stopped);
    QVERIFY(!program.engine().log().isOpen());
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), QByteArray("one\r\ntwo\r\n"));
}

void EngineTest::logRotatedAwayGoesOnInANewFile()
{
    EngineProgram program;
    program.changeRecord([](SettingsRecord &record) { record.strLogfileLocation = QStringLiteral("trace.log"); });
    QCOMPARE(program.start(), 0);
    const auto at = [&](const char *name) { return program.path(QString::fromLatin1(name)); };
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("one"));
    // Renamed away: what went into it stays there, the next line starts a new file.
    QVERIFY(QFile::rename(at("trace.log"), at("trace.log.1")));
    QVERIFY(client.exchange("two"));
    QVERIFY(client.exchange("three"));
    // Renamed and replaced by an empty file, as logrotate's "create" does.
    QVERIFY(QFile::rename(at("trace.log"), at("trace.log.2")));
    QFile created(at("trace.log"));
    QVERIFY(created.open(QIODevice::WriteOnly));
    QVERIFY(client.exchange("four"));
    QVERIFY(client.exchange("five"));
    QCOMPARE(program.readFile(QStringLiteral("trace.log.1")), QByteArray("one\r\ntwo\r\n"));
    QCOMPARE(program.readFile(QStringLiteral("trace.log.2")), QByteArray("three\r\nfour\r\n"));
    QCOMPARE(program.readFile(QStringLiteral("trace.log")), QByteArray("five\r\n"));
    QVERIFY(program.notices.isEmpty());
}

void EngineTest::aByteOrderMarkNeverCostsAnAnswer()
{
    const QByteArray mark = "\xef\xbb\xbf";
    const auto message = [](const char *id) {
        return "MSH|^~\\&|A|B|C|D|||ADT^A01|" + QByteArray(id) + "|P|2.5\rPID|1\r";
    };
    const auto answer = [](const QByteArray &id) { return AckTexts{"|^~\\&|C|", "||ACK|" + id, "|AA|" + id}; };
    for (const bool whole : {false, true}) {
        EngineProgram program;
        program.changeRecord([](SettingsRecord &record) {
            record.strAckBeforeDate = QStringLiteral("|^~\\&|{MSH-5}|");
            record.strAckAfterDate = QStringLiteral("||ACK|{MSH-10}");
            record.strMSASegment = QStringLiteral("|AA|{MSH-10}");
        });
        program.changeOptions([whole](Options &options) { options.wholeMllpMessages = whole; });
        QCOMPARE(program.start(), 0);
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        const QDateTime from = QDateTime::currentDateTime();
        QByteArrayList kept;
        if (!whole) {
            // The mark before the start byte, after it, or with none.
            kept = {mark + framed(message("M1")), "\x0b" + mark + message("M2") + "\x1c\r", mark + message("M3")};
            for (int i = 0; i < 3; ++i) {
                QVERIFY(client.send(kept[i]));
                QVERIFY(receivesAck(client, from, answer("M" + QByteArray::number(i + 1))));
            }
        } else {
            // Each mark begins its block, after padding or another block, in
            // one arrival or the next: no row outside the blocks.
            kept = {mark + framed(message("M4")), mark + framed(message("M5")), mark + framed(message("M6"))};
            QVERIFY(client.send(kept[0] + kept[1]));
            const QByteArray two = client.receive(answer("M4").size() + answer("M5").size());
            QVERIFY(isAck(two.first(answer("M4").size()), from, QDateTime::currentDateTime(), answer("M4")));
            QVERIFY(isAck(two.sliced(answer("M4").size()), from, QDateTime::currentDateTime(), answer("M5")));
            QVERIFY(client.send("\r\n" + kept[2]));
            QVERIFY(receivesAck(client, from, answer("M6")));
        }
        QCOMPARE(program.engine().transactionCount(), 3);
        QByteArray log;
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(program.engine().messages().at(i), QByteArrayView(kept[i]));
            log += kept[i] + "\r\n";
        }
        QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), log);
        QVERIFY(program.notices.isEmpty() && program.socketErrors.isEmpty());
    }
}

QTEST_GUILESS_MAIN(EngineTest)
#include "tst_engine.moc"
