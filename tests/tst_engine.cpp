// The interface engine alone, with real TCP clients on loopback and real
// files: what goes over the wire and into the log, without any window.

#include "engineprogram.h"

#include "sockets/winsock.h"

#include <QFile>
#include <QTcpServer>
#include <QtTest>

class EngineTest : public QObject
{
    Q_OBJECT

private slots:
    void messagesAreAnsweredLoggedAndKept();
    void recordChangedWhileRunningGivesTheNextAnswer();
    void failedAcceptIsDroppedAndListeningGoesOn();
    void peerCloseWaitsAndAFailedRelistenIsTold();
    void logRotatedAwayGoesOnInANewFile();
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

void EngineTest::failedAcceptIsDroppedAndListeningGoesOn()
{
    EngineProgram program;
    QCOMPARE(program.start(), 0);
    // A request the socket layer does not know cannot be accepted, neither
    // the first time nor on the fresh element of the one retry.
    program.engine().connectionRequest(0, 987654);
    QCOMPARE(program.engine().state(), InterfaceEngine::State::Listening);
    QVERIFY(program.engine().isListening());
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("still answering"));
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

    // The listener gone and its port taken: listening again fails, with the number.
    program.engine().winsock().close(0);
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, program.port()));
    program.engine().peerClose(1);
    QCOMPARE(program.socketErrors, QList<int>{Winsock::ErrAddressInUse});
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

QTEST_GUILESS_MAIN(EngineTest)
#include "tst_engine.moc"
