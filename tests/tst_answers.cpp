// Whole MLLP messages and the ways an answer goes, through the real window:
// real senders on loopback, the options file, exact bytes on the wire and in
// the log.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/messageviewer.h"
#include "protocol/acknowledgement.h"
#include "setup/frmsetup.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

namespace {
void writeOptionsFile(const TestProgram &program, const QByteArray &text)
{
    QFile file(program.path(QStringLiteral("ackprobe-options.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

QByteArray adt(const QByteArray &controlId, qsizetype bodySize = 0)
{
    return "MSH|^~\\&|LAB|NORTH|PROBE|SOUTH|202612070815||ORU^R01|" + controlId + "|P|2.5\r"
           + "OBX|1|ED|PDF||" + QByteArray(bodySize, 'Q') + "\r";
}

// The answer the standard texts give to `message`, stamped as `ack` was.
QByteArray standardAnswer(const QByteArray &ack, const QByteArray &controlId)
{
    const QByteArray stamp = ack.mid(ack.indexOf("|LAB|NORTH|") + 11, 12);
    return "\x0bMSH|^~\\&|PROBE|SOUTH|LAB|NORTH|" + stamp + "||ACK^R01^ACK|" + controlId
           + "|P|2.5\rMSA|AA|" + controlId + "\r\x1c\r";
}
} // namespace

class AnswersTest : public QObject
{
    Q_OBJECT

private slots:
    void wholeMessagesAreGatheredOverManyArrivals();
    void delayedAndWithheldAnswers();
    void aBatchIsAnsweredFromItsFirstMsh();
};

void AnswersTest::wholeMessagesAreGatheredOverManyArrivals()
{
    TestProgram program;
    writeOptionsFile(program, "[Receive]\nWholeMllpMessages=true\n");
    frmInterface &w = program.openListening({.ackBeforeDate = QStringLiteral("|^~\\&|{MSH-5}|{MSH-6}|{MSH-3}|{MSH-4}|"),
                                              .ackAfterDate = QStringLiteral("||ACK^{MSH-9.2}^ACK|{MSH-10}|{MSH-11}|{MSH-12}"),
                                              .msaSegment = QStringLiteral("|AA|{MSH-10}")});
    QVERIFY(w.mnuOptionsWholeMllpMessages->isChecked());
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.setNoDelay());

    // Bytes before any block are kept and not answered; a 100 KB block sent
    // in 1 KB pieces with pauses is one message with one answer.
    const QByteArray block = framed(adt("BIG1", 100 * 1024));
    QVERIFY(client.send("noise"));
    for (qsizetype at = 0; at < block.size(); at += 1024) {
        QVERIFY(client.send(block.mid(at, 1024)));
        QTest::qWait(1);
    }
    QByteArray ack = client.receive(standardAnswer("", "BIG1").size() + 12);
    QCOMPARE(ack, standardAnswer(ack, "BIG1"));
    // Two blocks in one arrival are two messages, answered in order; then one
    // left open when the sender goes.
    QVERIFY(client.send(framed(adt("A2")) + framed(adt("A3")) + "\x0bMSH|open"));
    const qsizetype one = ack.size() - 4; // two letters fewer in MSH-10 and MSA-2
    ack = client.receive(2 * one);
    QCOMPARE(ack, standardAnswer(ack, "A2") + standardAnswer(ack.mid(one), "A3"));
    QVERIFY(client.nothingMoreWaiting());
    client.close();
    QTRY_COMPARE(w.receivedMessages().size(), 5);
    QList<QByteArray> kept{"noise", block, framed(adt("A2")), framed(adt("A3")), "\x0bMSH|open"};

    // Padding is no message: CR LF before a connection's first block, then 50 blocks each followed by LF,
    // in its arrival or the next after its answer; then two NULs on their own.
    LoopbackClient padder;
    QVERIFY(padder.connectTo(program.port()));
    QVERIFY(padder.setNoDelay());
    QVERIFY(padder.send("\r\n"));
    for (int i = 0; i < 50; ++i) {
        const QByteArray id = "P" + QByteArray::number(i);
        kept << framed(adt(id));
        QVERIFY(padder.send(i % 2 ? kept.last() : kept.last() + "\n"));
        ack = padder.receive(standardAnswer("", id).size() + 12);
        QCOMPARE(ack, standardAnswer(ack, id));
        if (i % 2)
            QVERIFY(padder.send("\n"));
    }
    QVERIFY(waitUntil([&] { return w.receivedMessages().info(54).followedBy.bytes == 1; }));
    QVERIFY(padder.send(QByteArray(2, '\0')));
    QVERIFY(waitUntil([&] { return w.receivedMessages().info(54).followedBy.bytes == 3; }));
    QVERIFY(padder.nothingMoreWaiting());
    QCOMPARE(w.receivedMessages().size(), 55);

    QByteArray log;
    for (qint64 i = 0; i < kept.size(); ++i) {
        QCOMPARE(w.receivedMessages().at(i), kept.at(i));
        log += kept.at(i) + "\r\n";
    }
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), log);
    using Kind = MessageInfo::Kind;
    const QList<Kind> kinds{Kind::Outside, Kind::Block, Kind::Block, Kind::Block, Kind::Incomplete};
    for (qint64 i = 0; i < kinds.size(); ++i)
        QCOMPARE(w.receivedMessages().info(i).kind, kinds.at(i));
    QVERIFY(w.receivedMessages().info(1).arrivals > 1);
    QByteArray answered;
    qint64 sentMs = 0;
    QVERIFY(!w.receivedMessages().answer(0, &answered, &sentMs));
    QVERIFY(w.receivedMessages().answer(1, &answered, &sentMs));
    QCOMPARE(answered, standardAnswer(answered, "BIG1"));
    // Each message keeps its own answer, though equal answers are stored once.
    QVERIFY(w.receivedMessages().answer(3, &answered, &sentMs));
    QCOMPARE(answered, standardAnswer(answered, "A3"));
    QVERIFY(!w.receivedMessages().answer(4, &answered, &sentMs));
    QTRY_COMPARE(w.txtItemCount->text(), QStringLiteral("55"));
    // The viewer tells what came beside a block, between when it came (and
    // on which connection) and its answer (and the set it is shown in).
    const auto middleLines = [&](int row) {
        w.messageCommands().view(row);
        return w.messageCommands().viewer()->lblDetails->accessibleName().section(QLatin1Char('\n'), 2, -3);
    };
    QCOMPARE(middleLines(5), QStringLiteral("Preceded by CR LF\nFollowed by LF"));
    QCOMPARE(middleLines(6), QStringLiteral("Followed by LF"));
    QCOMPARE(middleLines(54), QStringLiteral("Followed by LF NUL NUL"));
}

void AnswersTest::delayedAndWithheldAnswers()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));

    // After a delay: each answer leaves that long after its message, in
    // order; the log line is written when the message arrives.
    program.windowing.numbers = {300};
    w.mnuOptionsAnswerAfterDelay->trigger();
    QVERIFY(w.mnuOptionsAnswerAfterDelay->isChecked());
    QVERIFY(program.readFile(QStringLiteral("ackprobe-options.ini")).contains("Mode=Delayed"));
    QVERIFY(program.readFile(QStringLiteral("ackprobe-options.ini")).contains("DelayMs=300"));
    QElapsedTimer sinceSent;
    sinceSent.start();
    const QDateTime from = QDateTime::currentDateTime();
    QVERIFY(client.send("one"));
    QVERIFY(waitUntil([&] { return program.readFile(QStringLiteral("logfile.txt")) == "one\r\n"; }));
    QVERIFY(client.send("two"));
    const QByteArray both = client.receive(2 * DefaultAckSize);
    QVERIFY(sinceSent.elapsed() >= 300);
    QCOMPARE(both.size(), 2 * DefaultAckSize);
    QVERIFY(isAck(both.first(DefaultAckSize), from, QDateTime::currentDateTime()));
    QVERIFY(isAck(both.sliced(DefaultAckSize), from, QDateTime::currentDateTime()));

    // Stop drops an answer still waiting.
    program.windowing.numbers = {60000};
    w.mnuOptionsAnswerAfterDelay->trigger();
    QVERIFY(client.send("three"));
    QVERIFY(waitUntil([&] { return w.receivedMessages().size() == 3; }));
    w.Stop();
    QCOMPARE(client.waitForEnd(), 0);
    QCOMPARE(w.engine().answersWaiting(), 0);

    // Never: listed and logged, nothing goes back.
    w.mnuOptionsAnswerNever->trigger();
    w.Start();
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.send("four"));
    QVERIFY(waitUntil([&] { return w.receivedMessages().size() == 4; }));
    QCOMPARE(client.receive(1, 300), QByteArray());
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), QByteArray("one\r\ntwo\r\nthree\r\nfour\r\n"));
    QVERIFY(program.readFile(QStringLiteral("ackprobe-options.ini")).contains("Mode=Never"));
}

void AnswersTest::aBatchIsAnsweredFromItsFirstMsh()
{
    // The batch's headers come before the MSH the answer reads: a whole MLLP
    // message keeps them though they come in pieces; an arrival is read whole.
    const QByteArray batch = "\x0b" "FHS|^~\\&|LAB|NORTH|||20261207||||F1\rBHS|^~\\&|LAB|NORTH|||20261207||||B1\r"
                             + adt("FIRST", 2000) + adt("SECOND") + "BTS|2\rFTS|1\r\x1c\r";
    const qsizetype mshAt = batch.indexOf("MSH");
    const IniValues texts{.msaSegment = QStringLiteral("|AA|{MSH-10}|{BHS-11}|{FHS-11}|{MSH-3}")};
    for (const bool whole : {true, false}) {
        TestProgram program;
        if (whole)
            writeOptionsFile(program, "[Receive]\nWholeMllpMessages=true\n");
        frmInterface &w = program.openListening(texts);
        QCOMPARE(w.mnuOptionsWholeMllpMessages->isChecked(), whole);
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        QVERIFY(client.setNoDelay());
        if (whole) {
            for (const auto &[from, to] : {std::pair<qsizetype, qsizetype>{0, 9}, {9, mshAt + 2},
                                           {mshAt + 2, mshAt + 30}, {mshAt + 30, batch.size()}}) {
                QVERIFY(client.send(batch.mid(from, to - from)));
                QTest::qWait(1);
            }
        } else {
            QVERIFY(client.send(batch));
        }
        const QString msa = QStringLiteral("|AA|FIRST|B1|F1|LAB");
        const QByteArray ack = client.receive(acknowledgementOf(texts.ackBeforeDate, QStringLiteral("202612070815"),
                                                                texts.ackAfterDate, msa).size());
        const QString stamp = QString::fromLatin1(ack.mid(9, 12));
        QCOMPARE(ack, acknowledgementOf(texts.ackBeforeDate, stamp, texts.ackAfterDate, msa));
        QVERIFY(client.nothingMoreWaiting());
        QTRY_COMPARE(w.receivedMessages().size(), 1);
        QCOMPARE(w.receivedMessages().at(0), batch);
    }
}

QTEST_MAIN(AnswersTest)
#include "tst_answers.moc"
