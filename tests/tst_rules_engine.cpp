// Answers by rule through the real engine: a rules file in the settings
// folder, real senders on loopback, the exact bytes each gets back and what
// the store records of the rule that decided.

#include "engineprogram.h"

#include <QFile>
#include <QtTest>

#include <algorithm>
#include <cerrno>

namespace {
using Outcome = MessageInfo::Outcome;

// The answer's texts: MSA-2 echoes the message's control ID.
const QByteArray Before = "|^~\\&|PROBE|F|";
const QByteArray After = "||ACK|1|P|2.5";

QByteArray message(const QByteArray &id, const QByteArray &type = "ADT^A01")
{
    return framed("MSH|^~\\&|S|F|P|F|202612090800||" + type + "|" + id + "|P|2.5\rPID|1\r");
}

qsizetype answerSize(const QByteArray &msa)
{
    return 4 + Before.size() + 12 + After.size() + 5 + msa.size() + 3;
}

// The answer whose MSA reads "MSA|" + msa, stamped as `got` is; a text
// that cannot equal it when `got` has no stamp where the stamp goes.
QByteArray answerLike(QByteArrayView got, const QByteArray &msa)
{
    const qsizetype at = 4 + Before.size();
    const QByteArray stamp = got.size() >= at + 12 ? got.sliced(at, 12).toByteArray() : QByteArray();
    if (stamp.size() != 12 || !std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return "no stamp in " + got.toByteArray();
    return "\x0bMSH" + Before + stamp + After + "\rMSA|" + msa + "\r\x1c\r";
}

#define RECEIVES(client, msa)                                                                                          \
    do {                                                                                                               \
        const QByteArray got_ = (client).receive(answerSize(msa));                                                     \
        QCOMPARE(got_, answerLike(got_, msa));                                                                         \
    } while (false)

// The engine with whole MLLP messages (or one arrival a message) and the
// rules file holding `rules`, read at start().
struct RulesProgram : EngineProgram
{
    explicit RulesProgram(const QByteArray &rules, bool whole = true)
    {
        changeRecord([](SettingsRecord &record) {
            record.strAckBeforeDate = QString::fromLatin1(Before);
            record.strAckAfterDate = QString::fromLatin1(After);
            record.strMSASegment = QStringLiteral("|AA|{MSH-10}");
        });
        changeOptions([whole](Options &options) { options.wholeMllpMessages = whole; });
        QFile file(path(QStringLiteral("ackprobe-rules.txt")));
        if (file.open(QIODevice::WriteOnly))
            file.write(rules);
    }
    MessageInfo info(qint64 index) { return engine().messages().info(index); }
    QByteArray stored(qint64 index)
    {
        QByteArray bytes;
        return engine().messages().answer(index, &bytes, nullptr) ? bytes : QByteArray("none");
    }
};

// Started, with a sender connected.
bool connected(RulesProgram &program, LoopbackClient &client)
{
    return program.start() == 0 && client.connectTo(program.port()) && client.setNoDelay()
           && waitUntil([&] { return program.engine().isConnected(); });
}
} // namespace

class RulesEngineTest : public QObject
{
    Q_OBJECT

private slots:
    void codesTextsAndWrongIdsShapeTheAnswer();
    void delayedAnswersGoInOrderOfTheirTime();
    void neverAndUnansweredAcknowledgements();
    void closeAndResetEndTheConnection();
    void piecesTwiceAndThen();
    void everyAndRepeatableShares();
    void aLoopOfAcknowledgementsIsToldOnce();
    void withoutRulesTheAnswersStayAsTheyWere();
    void aLargeBlockIsDecidedOnItsFirst64KiB();
    void severalSendersKeepTheirOwnAnswers();
};

void RulesEngineTest::codesTextsAndWrongIdsShapeTheAnswer()
{
    RulesProgram program("# codes\n"
                         "{MSH-10} = E1 -> AE, text \"Refused \\\"here\\\" a|b\"\n"
                         "{MSH-10} = R1 -> AR\n"
                         "{MSH-10} = W1 -> wrong-id\n"
                         "always -> sometimes\n"
                         "{MSH-9.2} = A08 -> CA, text \"Gr\xc3\xb6\xc3\x9f" "e\"\n");
    LoopbackClient client;
    QVERIFY(connected(program, client));
    QCOMPARE(program.ruleProblems,
             QStringList{QStringLiteral("ackprobe-rules.txt line 5: unknown action \"sometimes\"; the line is ignored.")});
    QCOMPARE(program.engine().rulesInForce(), 4);

    QVERIFY(client.send(message("E1")));
    RECEIVES(client, "AE|E1|Refused \"here\" a\\F\\b");
    QVERIFY(client.send(message("R1")));
    RECEIVES(client, "AR|R1");
    QVERIFY(client.send(message("W1")));
    RECEIVES(client, "AA|XW1");
    QVERIFY(client.send(message("U1", "ADT^A08")));
    RECEIVES(client, "CA|U1|Gr\xc3\xb6\xc3\x9f" "e");
    // No rule holds: the configured answer.
    QVERIFY(client.send(message("N1")));
    RECEIVES(client, "AA|N1");
    QVERIFY(client.nothingMoreWaiting());

    const QList<int> lines{2, 3, 4, 6, 0};
    const QList<QByteArray> msas{"AE|E1|Refused \"here\" a\\F\\b", "AR|R1", "AA|XW1", "CA|U1|Gr\xc3\xb6\xc3\x9f" "e",
                                 "AA|N1"};
    for (qint64 i = 0; i < 5; ++i) {
        QCOMPARE(int(program.info(i).ruleLine), lines[i]);
        QCOMPARE(program.info(i).outcome, Outcome::Answered);
        const QByteArray stored = program.stored(i);
        QCOMPARE(stored, answerLike(stored, msas[i]));
    }
    QCOMPARE(program.engine().lastAcknowledgement(), program.stored(4));
}

void RulesEngineTest::delayedAnswersGoInOrderOfTheirTime()
{
    // One arrival, three messages: the one without delay first, then by due time.
    RulesProgram program("{MSH-10} = SLOW -> delay 400\n{MSH-10} = MID -> delay 200\n{MSH-10} = NOW -> delay 0\n");
    LoopbackClient client;
    QVERIFY(connected(program, client));
    QVERIFY(client.send(message("SLOW") + message("MID") + message("FAST")));
    RECEIVES(client, "AA|FAST");
    RECEIVES(client, "AA|MID");
    RECEIVES(client, "AA|SLOW");
    QVERIFY(client.nothingMoreWaiting());
    QCOMPARE(int(program.info(0).ruleLine), 1);
    QCOMPARE(int(program.info(1).ruleLine), 2);
    QCOMPARE(int(program.info(2).ruleLine), 0);
    QCOMPARE(program.stored(0), answerLike(program.stored(0), "AA|SLOW"));

    // Delayed answers as configured keep their order among themselves; a
    // rule's own delay (none here) goes past them.
    program.changeOptions([](Options &options) {
        options.answerMode = Options::AnswerMode::Delayed;
        options.delayMs = 300;
    });
    QVERIFY(client.send(message("D1") + message("D2") + message("NOW") + message("D3")));
    RECEIVES(client, "AA|NOW");
    RECEIVES(client, "AA|D1");
    RECEIVES(client, "AA|D2");
    RECEIVES(client, "AA|D3");
    QVERIFY(client.nothingMoreWaiting());
    QCOMPARE(program.engine().answersWaiting(), 0);
}

void RulesEngineTest::neverAndUnansweredAcknowledgements()
{
    RulesProgram program("{MSH-10} = N1 -> never\n{MSH-10} = K2 -> AA\n");
    LoopbackClient client;
    QVERIFY(connected(program, client));
    // Withheld: the next message's answer is the next thing the sender reads.
    QVERIFY(client.send(message("N1")));
    QVERIFY(client.send(message("A1")));
    RECEIVES(client, "AA|A1");
    // The answer takes the message's fields: an acknowledgement gets none,
    // unless a rule decides it.
    QVERIFY(client.send(message("K1", "ACK^A01")));
    QVERIFY(client.send(message("K2", "ACK")));
    RECEIVES(client, "AA|K2");
    QVERIFY(client.nothingMoreWaiting());

    QCOMPARE(program.engine().messages().size(), 4);
    QCOMPARE(int(program.info(0).ruleLine), 1);
    QCOMPARE(program.info(0).outcome, Outcome::Withheld);
    QCOMPARE(program.stored(0), QByteArray("none"));
    QCOMPARE(program.info(1).outcome, Outcome::Answered);
    QCOMPARE(int(program.info(2).ruleLine), 0);
    QCOMPARE(program.info(2).outcome, Outcome::AckNotAnswered);
    QCOMPARE(program.stored(2), QByteArray("none"));
    QCOMPARE(int(program.info(3).ruleLine), 2);
    QCOMPARE(program.info(3).outcome, Outcome::Answered);
}

void RulesEngineTest::closeAndResetEndTheConnection()
{
    RulesProgram program("{MSH-10} = CL -> AE, close\n{MSH-10} = RS -> reset\n{MSH-10} = LR -> delay 100, reset\n");
    LoopbackClient first;
    QVERIFY(connected(program, first));
    // The answer, then the end of the stream; what came after it on the
    // connection is not answered.
    QVERIFY(first.send(message("CL") + message("AFTER")));
    RECEIVES(first, "AE|CL");
    QCOMPARE(first.waitForEnd(), 0);
    QCOMPARE(program.info(0).outcome, Outcome::AnsweredThenClosed);
    QCOMPARE(int(program.info(0).ruleLine), 1);
    QCOMPARE(program.stored(1), QByteArray("none"));
    QVERIFY(waitUntil([&] { return !program.engine().isConnected(); }));
    QCOMPARE(program.states.last(), InterfaceEngine::State::Listening);

    // A reset in place of the answer, at once and after a delay.
    for (const QByteArray &id : {QByteArray("RS"), QByteArray("LR")}) {
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        QVERIFY(client.send(message(id)));
        QCOMPARE(client.waitForEnd(), ECONNRESET);
        const qint64 last = program.engine().messages().size() - 1;
        QCOMPARE(program.info(last).outcome, Outcome::Reset);
        QCOMPARE(int(program.info(last).ruleLine), id == "RS" ? 2 : 3);
        QCOMPARE(program.stored(last), QByteArray("none"));
    }
    // The probe goes on answering the next sender.
    LoopbackClient next;
    QVERIFY(next.connectTo(program.port()));
    QVERIFY(next.send(message("OK")));
    RECEIVES(next, "AA|OK");
}

void RulesEngineTest::piecesTwiceAndThen()
{
    RulesProgram program("{MSH-10} = P4 -> pieces 4\n{MSH-10} = TW -> twice\n{MSH-10} = TH -> CA, then AA after 100\n"
                         "{MSH-10} = T0 -> CA, then AR\n");
    LoopbackClient client;
    QVERIFY(connected(program, client));

    // Four writes: each read ends where a piece ends, and the first is read
    // before the second is written.
    QVERIFY(client.send(message("P4")));
    const qsizetype size = answerSize("AA|P4");
    QList<QByteArray> reads;
    qsizetype total = 0;
    QVERIFY(waitUntil([&] {
        const QByteArray got = client.receiveWaiting();
        if (!got.isEmpty())
            reads << got;
        total += got.size();
        return total >= size;
    }));
    const QByteArray whole = reads.join();
    QCOMPARE(whole, answerLike(whole, "AA|P4"));
    QVERIFY2(reads.size() >= 2, qPrintable(QString::number(reads.size())));
    const QList<qsizetype> pieceEnds{size / 4, size * 2 / 4, size * 3 / 4, size};
    qsizetype end = 0;
    for (const QByteArray &read : std::as_const(reads)) {
        end += read.size();
        QVERIFY2(pieceEnds.contains(end), qPrintable(QString::number(end)));
    }
    QVERIFY(client.nothingMoreWaiting());

    // Twice, back to back; the store keeps it once.
    QVERIFY(client.send(message("TW")));
    const QByteArray two = client.receive(2 * answerSize("AA|TW"));
    const QByteArray once = answerLike(two, "AA|TW");
    QCOMPARE(two, once + once);
    QCOMPARE(program.stored(1), once);

    // A second answer after the first, later or at once.
    QVERIFY(client.send(message("TH")));
    RECEIVES(client, "CA|TH");
    RECEIVES(client, "AA|TH");
    QVERIFY(client.send(message("T0")));
    RECEIVES(client, "CA|T0");
    RECEIVES(client, "AR|T0");
    QVERIFY(client.nothingMoreWaiting());
    QCOMPARE(program.stored(2), answerLike(program.stored(2), "CA|TH"));
    QCOMPARE(program.stored(3), answerLike(program.stored(3), "CA|T0"));
    QCOMPARE(int(program.info(3).ruleLine), 4);
}

void RulesEngineTest::everyAndRepeatableShares()
{
    const QByteArray rules = "every 3 -> AR\nshare 50% -> AE\n";
    RulesProgram program(rules, false); // one arrival, one message
    program.engine().setRulesSeed(0x5eed);
    LoopbackClient client;
    QVERIFY(connected(program, client));
    QCOMPARE(program.engine().rulesSeed(), quint64(0x5eed));

    // What the rules alone decide for the same messages with the same seed.
    AnswerRules::Book book(AnswerRules::read(QString::fromLatin1(rules)).rules, 0x5eed);
    QByteArray expected;
    for (int n = 1; n <= 30; ++n) {
        const AnswerRules::Rule *rule = book.decide(message("M" + QByteArray::number(n)));
        expected += !rule ? 'A' : rule->actions.code == "AR" ? 'R' : 'E';
        QCOMPARE(rule && rule->line == 1, n % 3 == 0);
    }
    QVERIFY(expected.contains('A') && expected.contains('E'));
    for (int run = 0; run < 2; ++run) {
        // Each start counts afresh with the same seed.
        if (run == 1)
            QCOMPARE(program.start(), 0);
        QByteArray codes;
        for (int n = 1; n <= 30; ++n) {
            const QByteArray id = "M" + QByteArray::number(n);
            QVERIFY(client.send(message(id)));
            const QByteArray got = client.receive(answerSize("AA|" + id));
            const QByteArray code = got.mid(got.indexOf("\rMSA|") + 6, 1);
            QCOMPARE(got, answerLike(got, "A" + code + "|" + id));
            codes += code;
        }
        QCOMPARE(codes, expected);
    }
    QCOMPARE(int(program.info(2).ruleLine), 1);
    QCOMPARE(int(program.info(32).ruleLine), 1);
}

void RulesEngineTest::aLoopOfAcknowledgementsIsToldOnce()
{
    // The designed fixed answer: acknowledgements are answered, and a run of
    // a hundred is told once.
    EngineProgram program;
    QCOMPARE(program.start(), 0);
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(waitUntil([&] { return program.engine().isConnected(); }));
    const QString description = QStringLiteral("127.0.0.1 port %1").arg(client.localPort());
    const auto acknowledge = [&](int count) {
        for (int n = 0; n < count; ++n)
            if (!client.exchange(message("K" + QByteArray::number(n), "ACK"), AckTexts().size()))
                return false;
        return true;
    };
    QVERIFY(acknowledge(99));
    // Another message breaks the run.
    QVERIFY(client.exchange(message("A1"), AckTexts().size()));
    QVERIFY(acknowledge(99));
    QVERIFY(program.notices.isEmpty());
    QVERIFY(acknowledge(1));
    const QString told = QStringLiteral("The sender at %1 is acknowledging the answers (100 acknowledgements in a row): "
                                        "a rule `{MSH-9.1} = ACK -> never` in ackprobe-rules.txt stops the loop.")
                                 .arg(description);
    QCOMPARE(program.notices, QStringList{told});
    QVERIFY(acknowledge(150));
    QCOMPARE(program.notices, QStringList{told});
    QCOMPARE(program.engine().messages().info(250).outcome, Outcome::Answered);
}

void RulesEngineTest::withoutRulesTheAnswersStayAsTheyWere()
{
    // No file, a file of comments and blank lines, and rules that never hold:
    // the same bytes for the same message, in both ways of taking messages.
    for (const bool whole : {true, false}) {
        for (const QByteArray &rules : {QByteArray(), QByteArray("# none\n\n   \n"), QByteArray("{MSH-10} = NEVER -> AE\n")}) {
            RulesProgram program(rules, whole);
            if (rules.isNull())
                QVERIFY(QFile::remove(program.path(QStringLiteral("ackprobe-rules.txt"))));
            LoopbackClient client;
            QVERIFY(connected(program, client));
            QVERIFY(program.ruleProblems.isEmpty());
            QCOMPARE(program.engine().rulesInForce(), rules.contains("->") ? 1 : 0);
            for (const QByteArray &id : {QByteArray("M1"), QByteArray("M22")}) {
                QVERIFY(client.send(message(id)));
                RECEIVES(client, "AA|" + id);
            }
            QVERIFY(client.nothingMoreWaiting());
            QCOMPARE(program.info(1).ruleLine, quint16(0));
            QCOMPARE(program.info(1).outcome, Outcome::Answered);
            QCOMPARE(program.stored(1), program.engine().lastAcknowledgement());
        }
    }
}

void RulesEngineTest::aLargeBlockIsDecidedOnItsFirst64KiB()
{
    RulesProgram program("text ~ TAIL -> AR\n{MSH-10} = BIG -> AE\n");
    LoopbackClient client;
    QVERIFY(connected(program, client));
    // Over many arrivals: the fields at its start are read, the text past
    // the first 64 KiB is not.
    const QByteArray big = framed("MSH|^~\\&|S|F|P|F|202612090800||ORU^R01|BIG|P|2.5\rOBX|1|ED|PDF||"
                                  + QByteArray(100 * 1024, 'Q') + "TAIL\r");
    QVERIFY(sendInPieces(client, big, 1000));
    RECEIVES(client, "AE|BIG");
    QVERIFY(client.send(message("TAIL")));
    RECEIVES(client, "AR|TAIL");
    QCOMPARE(program.engine().messages().at(0), big);
    QCOMPARE(int(program.info(0).ruleLine), 2);
    QCOMPARE(int(program.info(1).ruleLine), 1);
}

void RulesEngineTest::severalSendersKeepTheirOwnAnswers()
{
    RulesProgram program("{MSH-10} = P3 -> pieces 3, twice\n{MSH-10} = CL -> close\n{MSH-10} = B1 -> AE\n");
    program.changeOptions([](Options &options) {
        options.senders = Options::Senders::Several;
        options.maxSenders = 4;
    });
    QStringList gone;
    QObject::connect(&program.engine(), &InterfaceEngine::senderGone,
                     [&](const QString &description, const QString &how) { gone << description + ' ' + how; });
    LoopbackClient a, b;
    QVERIFY(connected(program, a));
    QVERIFY(b.connectTo(program.port()));
    QVERIFY(waitUntil([&] { return program.engine().connectionCount() == 2; }));

    // One sender's answer in pieces while the other's block, held until its
    // end, is decided whole.
    QVERIFY(a.send(message("P3")));
    const QByteArray b1 = message("B1");
    QVERIFY(b.send(b1.first(12)));
    QVERIFY(b.send(b1.sliced(12)));
    RECEIVES(b, "AE|B1");
    const QByteArray two = a.receive(2 * answerSize("AA|P3"));
    const QByteArray once = answerLike(two, "AA|P3");
    QCOMPARE(two, once + once);

    // A close ends that sender alone.
    QVERIFY(a.send(message("CL")));
    RECEIVES(a, "AA|CL");
    QCOMPARE(a.waitForEnd(), 0);
    QVERIFY(waitUntil([&] { return program.engine().connectionCount() == 1; }));
    QCOMPARE(gone, QStringList{QStringLiteral("127.0.0.1 port %1 was closed after its answer, as an answer rule says")
                                       .arg(a.localPort())});
    QVERIFY(b.send(message("B2")));
    RECEIVES(b, "AA|B2");
    QVERIFY(b.nothingMoreWaiting());
}

QTEST_GUILESS_MAIN(RulesEngineTest)
#include "tst_rules_engine.moc"
