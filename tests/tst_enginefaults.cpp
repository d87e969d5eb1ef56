// Senders that misbehave, against the engine alone over loopback: churn of
// connections, replacements and resets by the thousand, a connection per
// message, a sender that never reads its answers, a 16 MiB flood and a store
// that cannot spill; echoed fields and waiting answers. What goes over the
// wire, into the log and the store, and the states the engine goes through.

#include "engineprogram.h"

#include "sockets/errornumbers.h"

#include <QFileInfo>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <thread>

class EngineFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    // Connections that come and go
    void connectAndCloseChurn_data();
    void connectAndCloseChurn();
    void newerConnectionReplacesTheCurrentOneAThousandTimes();
    void resetAfterHalfAMessage_data();
    void resetAfterHalfAMessage();
    void connectionPerMessageIsAnsweredAtTheFirstAttempt();

    // Load
    void senderThatNeverReadsItsAnswers();
    void floodOf16MiB_data();
    void floodOf16MiB();
    void messagesStayInMemoryWhenNoSpillFileCanBeMade();

    // Answers
    void echoedFieldsAreEscapedCutAndTheirWaitingAnswersBounded();
};

namespace {
using State = InterfaceEngine::State;
constexpr qint64 MaxArrival = 1024 * 1024;

// A new sender's message is answered, with the default texts.
bool answersANewSender(const EngineProgram &program, const QDateTime &from)
{
    LoopbackClient client;
    return client.connectTo(program.port()) && client.send(framed(Adt)) && receivesAck(client, from);
}

// Every message of the store followed by CR LF: what the log must hold.
QByteArray expectedLog(const MessageStore &store)
{
    QByteArray log;
    log.reserve(store.totalBytes() + 2 * store.size());
    for (qint64 i = 0; i < store.size(); ++i) {
        log += store.at(i);
        log += "\r\n";
    }
    return log;
}

// Whole MLLP messages answered with MSH-3 and MSH-10 echoed, `client` connected.
bool startEchoing(EngineProgram &program, LoopbackClient &client)
{
    program.changeRecord([](SettingsRecord &record) {
        record.strAckBeforeDate = QStringLiteral("|^~\\&|{MSH-3}|");
        record.strMSASegment = QStringLiteral("|AA|{MSH-10}");
    });
    program.changeOptions([](Options &options) {
        options.wholeMllpMessages = true;
        options.delayMs = Options::LongestDelayMs;
    });
    return program.start() == 0 && client.connectTo(program.port());
}

// The answer those texts give, with the values as they go out.
AckTexts echoed(const QByteArray &msh3, const QByteArray &msh10)
{
    return {.before = "|^~\\&|" + msh3 + "|", .msa = "|AA|" + msh10};
}

QString trail(const QList<State> &states)
{
    QStringList names;
    for (const State state : states)
        names << QString::number(int(state));
    return names.join(QLatin1Char('|'));
}
} // namespace

void EngineFaultsTest::connectAndCloseChurn_data()
{
    QTest::addColumn<bool>("withData");
    QTest::addColumn<bool>("waitForAccept");
    QTest::newRow("without data") << false << true;
    QTest::newRow("with data") << true << true;
    QTest::newRow("closed before it is accepted") << false << false;
}

void EngineFaultsTest::connectAndCloseChurn()
{
    QFETCH(bool, withData);
    QFETCH(bool, waitForAccept);
    constexpr int Rounds = 2000;
    EngineProgram program;
    InterfaceEngine &engine = program.engine();
    QCOMPARE(program.start(), 0);
    QCOMPARE(program.states, QList{State::Listening});

    // One round first, so that whatever the event loop opens once is open.
    {
        LoopbackClient warmUp;
        QVERIFY(warmUp.connectTo(program.port()));
        QVERIFY(waitUntil([&] { return engine.state() == State::Connected; }));
        warmUp.close();
        QVERIFY(waitUntil([&] { return engine.state() == State::WaitingForReconnect; }));
    }
    const qint64 countBefore = engine.transactionCount();
    const int descriptors = openDescriptorCount();
    const qsizetype base = program.states.size();

    const QDateTime from = QDateTime::currentDateTime();
    for (int round = 0; round < Rounds; ++round) {
        const qsizetype at = base + 2 * round;
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        if (waitForAccept && !waitUntil([&] { return program.states.size() == at + 1; }))
            QFAIL(qPrintable(QStringLiteral("round %1 was not accepted").arg(round)));
        if (withData) {
            QVERIFY(client.send(framed(Adt + QByteArray::number(round))));
            const QByteArray ack = client.receive(DefaultAckSize);
            if (!isAck(ack, from, QDateTime::currentDateTime()))
                QFAIL(qPrintable(QStringLiteral("round %1 answered %2").arg(round).arg(QString::fromLatin1(ack.toHex()))));
        }
        client.close();
        if (!waitUntil([&] { return program.states.size() == at + 2; }))
            QFAIL(qPrintable(QStringLiteral("round %1 was not closed: %2").arg(round).arg(trail(program.states.mid(at)))));
        if (program.states.at(at) != State::Connected || program.states.at(at + 1) != State::WaitingForReconnect)
            QFAIL(qPrintable(QStringLiteral("round %1 went %2").arg(round).arg(trail(program.states.mid(at)))));
        if (!engine.isListening() || engine.isConnected() || engine.connectionCount() != 0)
            QFAIL(qPrintable(QStringLiteral("round %1 left the endpoints wrong").arg(round)));
    }

    QCOMPARE(program.states.size(), base + 2 * Rounds);
    QCOMPARE(engine.transactionCount() - countBefore, withData ? Rounds : 0);
    QCOMPARE(engine.messages().size(), engine.transactionCount());
    QVERIFY(program.socketErrors.isEmpty() && program.notices.isEmpty());
    QCOMPARE(openDescriptorCount(), descriptors);

    // Still answering, and the sender's connection was taken.
    QVERIFY(answersANewSender(program, from));
    QCOMPARE(engine.state(), State::Connected);
}

void EngineFaultsTest::newerConnectionReplacesTheCurrentOneAThousandTimes()
{
    constexpr int Replacements = 1000;
    EngineProgram program;
    InterfaceEngine &engine = program.engine();
    QStringList stamps;
    QObject::connect(&engine, &InterfaceEngine::connectionEstablished,
                     [&](const QString &stamp) { stamps << stamp; });
    QCOMPARE(program.start(), 0);
    const QDateTime from = QDateTime::currentDateTime();
    LoopbackClient clients[2];
    QVERIFY(clients[0].connectTo(program.port()));
    QVERIFY(waitUntil([&] { return engine.isConnected(); }));
    QVERIFY(clients[0].send("first"));
    QVERIFY(receivesAck(clients[0], from));
    // The listener, one connection and the client's end are open from here on.
    const int descriptors = openDescriptorCount();
    QByteArray logged = "first\r\n";

    for (int i = 1; i <= Replacements; ++i) {
        LoopbackClient &old = clients[(i - 1) % 2];
        LoopbackClient &next = clients[i % 2];
        QVERIFY(next.connectTo(program.port()));
        // The engine closes the older connection in order, and says nothing.
        if (!old.waitForClosed())
            QFAIL(qPrintable(QStringLiteral("replacement %1 left the older connection open").arg(i)));
        old.close();
        if (!waitUntil([&] { return stamps.size() == i + 1; }))
            QFAIL(qPrintable(QStringLiteral("replacement %1 was not told").arg(i)));
        if (stamps.last().size() != 12 || engine.state() != State::Connected || engine.connectionCount() != 1)
            QFAIL(qPrintable(QStringLiteral("replacement %1: stamp '%2', state %3, %4 connections")
                                 .arg(i).arg(stamps.last()).arg(int(engine.state())).arg(engine.connectionCount())));
        const QByteArray message = "replacement " + QByteArray::number(i);
        logged += message + "\r\n";
        QVERIFY(next.send(message));
        const QByteArray ack = next.receive(DefaultAckSize);
        if (!isAck(ack, from, QDateTime::currentDateTime()))
            QFAIL(qPrintable(QStringLiteral("replacement %1 was answered '%2' (%3 messages, connected %4)")
                                 .arg(i).arg(QString::fromLatin1(ack.toHex())).arg(engine.transactionCount())
                                 .arg(engine.isConnected())));
    }

    // Connected all along: a replacement changes no state.
    QCOMPARE(program.states, (QList{State::Listening, State::Connected}));
    QCOMPARE(stamps.size(), Replacements + 1);
    QCOMPARE(engine.connectionCount(), 1);
    QVERIFY(engine.isListening());
    QCOMPARE(engine.transactionCount(), Replacements + 1);
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), logged);
    QVERIFY(program.socketErrors.isEmpty() && program.notices.isEmpty());
    QCOMPARE(openDescriptorCount(), descriptors);
}

void EngineFaultsTest::resetAfterHalfAMessage()
{
    QFETCH(bool, answeredFirst);
    constexpr int Resets = 300;
    EngineProgram program;
    InterfaceEngine &engine = program.engine();
    QCOMPARE(program.start(), 0);
    const int descriptors = openDescriptorCount();
    const QDateTime from = QDateTime::currentDateTime();
    const QByteArray half = framed(Adt).left(40);

    for (int i = 0; i < Resets; ++i) {
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        if (!answeredFirst && !waitUntil([&] { return engine.isConnected(); }))
            QFAIL(qPrintable(QStringLiteral("reset %1: not accepted").arg(i)));
        QVERIFY(client.send(half));
        // Whatever has come is a message, and is answered.
        if (answeredFirst && !receivesAck(client, from))
            QFAIL(qPrintable(QStringLiteral("reset %1: the half message was not answered").arg(i)));
        client.reset();
        if (!waitUntil([&] { return program.socketErrors.size() == i + 1 || program.states.contains(State::WaitingForReconnect); }))
            QFAIL(qPrintable(QStringLiteral("reset %1 was never noticed").arg(i)));
        // However it is met, a reset is told once as its number, and the
        // engine listens again for the next sender.
        if (program.states.contains(State::WaitingForReconnect))
            QFAIL(qPrintable(QStringLiteral("reset %1 was taken for a close").arg(i)));
        if (program.socketErrors.last() != ErrorNumber::ConnectionReset)
            QFAIL(qPrintable(QStringLiteral("reset %1 was told as %2").arg(i).arg(program.socketErrors.last())));
        if (!waitUntil([&] { return engine.state() == State::Listening; }) || !engine.isListening()
            || engine.isConnected())
            QFAIL(qPrintable(QStringLiteral("reset %1 left the state %2").arg(i).arg(int(engine.state()))));
    }

    QCOMPARE(program.socketErrors, QList<int>(Resets, ErrorNumber::ConnectionReset));
    // What was read is whole: the half message, never a part of it.
    QVERIFY(answeredFirst ? engine.transactionCount() == Resets : engine.transactionCount() <= Resets);
    QCOMPARE(engine.messages().size(), engine.transactionCount());
    for (qint64 i = 0; i < engine.messages().size(); ++i)
        QCOMPARE(engine.messages().at(i), QByteArrayView(half));
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), expectedLog(engine.messages()));
    QCOMPARE(openDescriptorCount(), descriptors);
    qInfo("%lld of %d half messages were read before their reset", engine.transactionCount(), Resets);
    QVERIFY(answersANewSender(program, from));
}

void EngineFaultsTest::resetAfterHalfAMessage_data()
{
    QTest::addColumn<bool>("answeredFirst");
    // On its way, the engine may read the bytes and meet the reset on
    // answering, or meet it on reading.
    QTest::newRow("once it is answered") << true;
    QTest::newRow("while it is on its way") << false;
}

void EngineFaultsTest::connectionPerMessageIsAnsweredAtTheFirstAttempt()
{
    // The next request comes while the engine is still handling the close
    // of the one before.
    constexpr int Messages = 1000;
    EngineProgram program;
    QCOMPARE(program.start(), 0);
    std::atomic<int> answered{-1};
    std::thread sender([&] { answered = connectSendAndClose(program.port(), Messages, false, "message "); });
    const bool done = waitUntil([&] { return answered >= 0; }, 120000);
    sender.join();
    QVERIFY(done);
    QCOMPARE(answered.load(), Messages);
    QVERIFY(waitUntil([&] { return program.engine().state() == State::WaitingForReconnect; }));
    QVERIFY(program.engine().isListening());
    QCOMPARE(program.engine().transactionCount(), Messages);
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), numberedLines("message ", Messages));
    QVERIFY(program.socketErrors.isEmpty() && program.notices.isEmpty());
}

void EngineFaultsTest::senderThatNeverReadsItsAnswers()
{
    constexpr int Messages = 10000;
    // Answers of about 2 KiB: 20 MiB in all, far beyond what the kernel
    // buffers on both sides hold, so the engine's own queue must take them.
    const AckTexts texts{.msa = "|AA|" + QByteArray(2000, 'x')};
    EngineProgram program;
    InterfaceEngine &engine = program.engine();
    program.changeRecord([&](SettingsRecord &record) { record.strMSASegment = QString::fromLatin1(texts.msa); });
    QCOMPARE(program.start(), 0);
    const qsizetype ackSize = texts.size();
    LoopbackClient client;
    // A small window on the sender's side, so the answers back up at once.
    QVERIFY(client.connectWithReceiveBuffer(program.port(), 4096));
    QVERIFY(client.setNoDelay());
    QVERIFY(waitUntil([&] { return engine.isConnected(); }));

    // A timer of the engine's thread: it only fires while that thread runs its loop.
    int ticksWhileQueued = 0;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        ticksWhileQueued += engine.answerBytesQueued() > 0;
    });
    ticker.start();

    const QDateTime from = QDateTime::currentDateTime();
    qint64 mostQueued = 0;
    for (int i = 1; i <= Messages; ++i) {
        QVERIFY(client.send(framed("MSH|^~\\&|UNREAD|" + QByteArray::number(i) + "\r")));
        // Each message is taken on its own before the next is sent.
        if (!waitUntil([&] { return engine.transactionCount() == i; }))
            QFAIL(qPrintable(QStringLiteral("message %1 was not taken").arg(i)));
        mostQueued = qMax(mostQueued, engine.answerBytesQueued());
    }
    const QDateTime to = QDateTime::currentDateTime();
    const int ticks = ticksWhileQueued;
    qInfo("%lld bytes of answers were waiting at most; the loop turned %d times meanwhile",
          mostQueued, ticks);
    // The answers backed up in the engine, and its loop kept turning all the while.
    QVERIFY(mostQueued > qint64(Messages) * ackSize / 2);
    QVERIFY(engine.answerBytesQueued() > 0);
    QVERIFY(ticks > 0);
    QVERIFY(waitUntil([&] { return ticksWhileQueued > ticks; }));
    ticker.stop();
    QCOMPARE(engine.transactionCount(), Messages);

    // Now the sender reads: every answer, in order, and nothing more.
    const QByteArray answers = client.receive(qsizetype(Messages) * ackSize, 120000);
    QCOMPARE(answers.size(), qsizetype(Messages) * ackSize);
    QString previousStamp;
    for (int i = 0; i < Messages; ++i) {
        const QByteArrayView ack = QByteArrayView(answers).sliced(qsizetype(i) * ackSize, ackSize);
        if (!isAck(ack, from, to, texts))
            QFAIL(qPrintable(QStringLiteral("answer %1 is not whole").arg(i)));
        const QString stamp = QString::fromLatin1(ack.sliced(9, 12));
        if (stamp < previousStamp)
            QFAIL(qPrintable(QStringLiteral("answer %1 is older than the one before").arg(i)));
        previousStamp = stamp;
    }
    QVERIFY(waitUntil([&] { return engine.answerBytesQueued() == 0; }));
    QCOMPARE(client.receive(1, 200), QByteArray());
    QVERIFY(program.socketErrors.isEmpty() && program.notices.isEmpty());
}

void EngineFaultsTest::floodOf16MiB_data()
{
    QTest::addColumn<int>("pieceSize"); // 0: one send; < 0: random sizes up to its magnitude
    QTest::newRow("one send") << 0;
    QTest::newRow("pieces of 4 KiB") << 4096;
    QTest::newRow("pieces of random size") << -300000;
}

void EngineFaultsTest::floodOf16MiB()
{
    QFETCH(int, pieceSize);
    constexpr qsizetype Size = 16 * 1024 * 1024;
    const QByteArray sent = randomBytes(Size, 20261207);
    EngineProgram program;
    InterfaceEngine &engine = program.engine();
    QCOMPARE(program.start(), 0);
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(waitUntil([&] { return engine.isConnected(); }));

    const QDateTime from = QDateTime::currentDateTime();
    QVERIFY(sendInPieces(client, sent, pieceSize));
    QVERIFY(waitUntil([&] { return engine.messages().totalBytes() == Size; }, 60000));

    // One answer per arrival.
    const qint64 arrivals = engine.transactionCount();
    const QByteArray answers = client.receive(arrivals * DefaultAckSize, 60000);
    const QDateTime to = QDateTime::currentDateTime();
    QCOMPARE(answers.size(), arrivals * DefaultAckSize);
    for (qint64 i = 0; i < arrivals; ++i)
        QVERIFY(isAck(QByteArrayView(answers).sliced(i * DefaultAckSize, DefaultAckSize), from, to));
    QCOMPARE(client.receive(1, 200), QByteArray());

    // The messages joined are the bytes sent; no arrival is larger than the layer hands over.
    QCOMPARE(engine.messages().size(), arrivals);
    QByteArray joined;
    joined.reserve(Size);
    for (qint64 i = 0; i < arrivals; ++i) {
        const QByteArray message = engine.messages().at(i);
        QVERIFY(!message.isEmpty());
        QVERIFY(message.size() <= MaxArrival);
        joined += message;
    }
    QVERIFY(joined == sent);
    // The log is every message and its CR LF.
    QVERIFY(program.readFile(QStringLiteral("logfile.txt")) == expectedLog(engine.messages()));
    qInfo("16 MiB came in %lld arrivals", arrivals);
}

void EngineFaultsTest::messagesStayInMemoryWhenNoSpillFileCanBeMade()
{
    // A file where both the cache folder and the temporary folder should be.
    EngineProgram program(EngineProgram::SpillFile::Impossible);
    QVERIFY(QFileInfo(program.path(QStringLiteral("cache"))).isFile());
    QCOMPARE(program.start(), 0);

    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QList<QByteArray> sent;
    for (int i = 0; i < 6000; ++i) {
        sent << framed(randomBytes(1000, quint32(i)));
        if (!client.exchange(sent.last()))
            QFAIL(qPrintable(QStringLiteral("message %1 was not answered").arg(i)));
    }
    // Told once, however many messages come after.
    QVERIFY(waitUntil([&] { return !program.notices.isEmpty(); }));
    QCOMPARE(program.notices.size(), 1);
    QVERIFY(program.notices.first().startsWith(QStringLiteral("The received messages could not be kept on disk: ")));
    const MessageStore &store = program.engine().messages();
    QVERIFY(store.spillFailed());
    QCOMPARE(store.size(), sent.size());
    for (qsizetype i = 0; i < sent.size(); ++i)
        if (store.at(i) != sent.at(i))
            QFAIL(qPrintable(QStringLiteral("message %1 is not kept exactly").arg(i)));
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), expectedLog(store));
}

void EngineFaultsTest::echoedFieldsAreEscapedCutAndTheirWaitingAnswersBounded()
{
    EngineProgram program;
    InterfaceEngine &engine = program.engine();
    LoopbackClient client;
    QVERIFY(startEchoing(program, client));
    const QDateTime from = QDateTime::currentDateTime();
    const auto answers = [&](const QByteArray &message, const AckTexts &texts) {
        return client.sendPumping(framed(message)) && receivesAck(client, from, texts);
    };
    // A VT and an FS inside the header cannot frame the answer.
    QVERIFY(answers("MSH|^~\\&|SND\x0bX|F|R|G|2026||ADT^A01|ID\x0b" "1\x1c" "2|P\r",
                    echoed(R"(SND\X0B\X)", R"(ID\X0B\1)")));
    QVERIFY(program.notices.isEmpty());
    // A value beyond 64 KiB is cut there, and that is told once.
    const QByteArray longId = 'L' + QByteArray(70000, 'y');
    for (int i = 0; i < 2; ++i)
        QVERIFY(answers("MSH|^~\\&|SND|F|R|G|2026||ADT^A01|" + longId + "|P\r", echoed("SND", longId.first(65536))));
    QVERIFY(program.notices.size() == 1 && program.notices.first().startsWith(QStringLiteral("A message field named")));
    // After a new start, a field beyond the kept head of a whole message is cut (empty), and told again.
    engine.stop();
    QVERIFY(startEchoing(program, client));
    const QByteArray longFacility(InterfaceEngine::WholeMessageHeadLimit + 1000, 'f');
    QVERIFY(answers("MSH|^~\\&|SND|" + longFacility + "|R|G|2026||ADT^A01|ID9|P\r", echoed("SND", {})));
    QCOMPARE(program.notices, QStringList(2, program.notices.first()));

    // Delayed, each MSH-10 of 64 KiB waits with its answer for a minute: past
    // 64 MiB held, the oldest answers go at once, in order, and that is told once.
    program.changeOptions([](Options &options) { options.answerMode = Options::AnswerMode::Delayed; });
    constexpr qsizetype IdSize = 65536;
    const auto id = [](int i) { return QByteArray::number(i).rightJustified(6, '0') + QByteArray(IdSize - 6, 'v'); };
    const qint64 answered = engine.transactionCount();
    const int sent = int(InterfaceEngine::MostBytesWaiting / IdSize) + 10;
    for (int i = 0; i < sent; ++i)
        QVERIFY(client.sendPumping(framed("MSH|^~\\&|SND|F|R|G|2026||ADT^A01|" + id(i) + "|P\r")));
    QVERIFY(waitUntil([&] { return engine.transactionCount() == answered + sent; }));
    // Those held fit the bound, and take little more than their values.
    const qsizetype waiting = engine.answersWaiting();
    QVERIFY(waiting > sent - 20 && waiting < sent && engine.bytesWaiting() <= InterfaceEngine::MostBytesWaiting);
    QVERIFY(engine.bytesWaiting() >= waiting * IdSize && engine.bytesWaiting() <= waiting * (IdSize + 64));
    QVERIFY(program.notices.size() == 3 && program.notices.last().startsWith(QStringLiteral("More answers were waiting")));
    for (int k = 0; k < sent - waiting; ++k) // the oldest, in order
        QVERIFY(isAck(client.receive(echoed("SND", id(k)).size()), from, QDateTime::currentDateTime(), echoed("SND", id(k))));
    QVERIFY(client.nothingMoreWaiting());
    // Stop drops the rest, and what they held.
    engine.stop();
    QVERIFY(engine.answersWaiting() == 0 && engine.bytesWaiting() == 0);
    QCOMPARE(client.waitForEnd(), 0);
}

QTEST_GUILESS_MAIN(EngineFaultsTest)
#include "tst_enginefaults.moc"
