// Answers by rule through the real engine: real senders, the exact bytes each gets back, what the store records.

#include "engineprogram.h"

#include <QFile>
#include <QtTest>

#include <algorithm>
#include <cerrno>

namespace {
using Records = QList<QByteArray>;

// The answer's texts: MSA-2 echoes the message's control ID.
const QByteArray Before = "|^~\\&|PROBE|F|", After = "||ACK|1|P|2.5";

QByteArray message(const QByteArray &id, const QByteArray &type = "ADT^A01")
{
    return framed("MSH|^~\\&|S|F|P|F|202612090800||" + type + "|" + id + "|P|2.5\rPID|1\r");
}
qsizetype answerSize(const QByteArray &msa) { return 4 + Before.size() + 12 + After.size() + 5 + msa.size() + 3; }

// The MSA text of exactly the configured answer with a 12-digit stamp; else the whole bytes.
QByteArray msaOf(const QByteArray &got)
{
    const qsizetype from = answerSize({}) - 3;
    const QByteArray stamp = got.mid(4 + Before.size(), 12), msa = got.mid(from, got.size() - from - 3);
    const bool digits = stamp.size() == 12 && std::all_of(stamp.begin(), stamp.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits && got == "\x0bMSH" + Before + stamp + After + "\rMSA|" + msa + "\r\x1c\r" ? msa : got;
}

QByteArray answered(LoopbackClient &client, const QByteArray &msa) { return msaOf(client.receive(answerSize(msa))); }

// Bytes to send, then the MSAs of the answers that follow, in order.
struct Step { QByteArray send; QList<QByteArray> msas; };

void talk(LoopbackClient &client, const QList<Step> &steps)
{
    for (const Step &step : steps) {
        QVERIFY(step.send.isEmpty() || client.send(step.send));
        for (const QByteArray &msa : step.msas)
            QCOMPARE(answered(client, msa), msa);
    }
    QVERIFY(client.nothingMoreWaiting());
}
#define TALK(client, ...) do { talk(client, __VA_ARGS__); if (QTest::currentTestFailed()) return; } while (false)

// The engine with whole MLLP messages (or one arrival a message) and the rules file holding `rules`.
struct RulesProgram : EngineProgram
{
    explicit RulesProgram(const QByteArray &rules, bool whole = true)
    {
        changeRecord([](SettingsRecord &r) {
            r.strAckBeforeDate = QString::fromLatin1(Before), r.strAckAfterDate = QString::fromLatin1(After);
            r.strMSASegment = QStringLiteral("|AA|{MSH-10}");
        });
        changeOptions([whole](Options &options) { options.wholeMllpMessages = whole; });
        QFile file(path(QStringLiteral("ackprobe-rules.txt")));
        if (!rules.isNull() && file.open(QIODevice::WriteOnly)) // null: no rules file
            file.write(rules);
    }
    QByteArray stored(qint64 index)
    {
        QByteArray bytes;
        return engine().messages().answer(index, &bytes, nullptr) ? bytes : "none";
    }
    // Of each message stored: "<deciding rule's line> <outcome> <stored answer's MSA, or none>".
    QList<QByteArray> records()
    {
        static const char *const outcomes[] = {"answered", "closed", "withheld", "reset", "unanswered"};
        QList<QByteArray> all;
        for (qint64 i = 0; i < engine().messages().size(); ++i)
            all << QByteArray::number(engine().messages().info(i).ruleLine) + ' '
                       + outcomes[int(engine().messages().info(i).outcome)] + ' ' + msaOf(stored(i));
        return all;
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
    void oneSenderIsAnsweredAsEachRuleSays()
    {
        RulesProgram program("# codes\n{MSH-10} = E1 -> AE, text \"Refused \\\"here\\\" a|b\"\n{MSH-10} = R1 -> AR\n"
                             "{MSH-10} = W1 -> wrong-id\nalways -> sometimes\n"
                             "{MSH-9.2} = A08 -> CA, text \"Gr\xc3\xb6\xc3\x9f" "e\"\n{MSH-10} = NV -> never\n{MSH-10} = K2 -> AA\n"
                             "{MSH-10} = TW -> twice\n{MSH-10} = TH -> CA, then AA after 100\n{MSH-10} = T0 -> CA, then AR\n"
                             "text ~ TAIL -> AR\n{MSH-10} = BIG -> AE\n"
                             "{MSH-10} = SLOW -> delay 400\n{MSH-10} = MID -> delay 200\n{MSH-10} = NOW -> delay 0\n"
                             "{MSH-10} = CL -> AE, close\n{MSH-10} = RS -> reset\n{MSH-10} = LR -> delay 100, reset\n");
        LoopbackClient client;
        QVERIFY(connected(program, client));
        QCOMPARE(program.ruleProblems,
                 QStringList{QStringLiteral("ackprobe-rules.txt line 5: unknown action \"sometimes\"; the line is ignored.")});
        QCOMPARE(program.engine().rulesInForce(), 17);
        // A block over many arrivals is decided on its first 64 KiB: by its MSH, not by its TAIL.
        const QByteArray big = framed("MSH|^~\\&|S|F|P|F|202612090800||ORU^R01|BIG|P|2.5\rOBX|1|ED|PDF||"
                                      + QByteArray(100 * 1024, 'Q') + "TAIL\r");
        QVERIFY(sendInPieces(client, big, 1000));
        const QByteArray refused = "AE|E1|Refused \"here\" a\\F\\b", grosse = "CA|U1|Gr\xc3\xb6\xc3\x9f" "e";
        // Withheld (NV) and an acknowledgement no rule decides (K1) get nothing; TW twice back to back;
        // TH and T0 a second answer after the first, later or at once; N1 the configured answer.
        TALK(client, {{{}, {"AE|BIG"}}, {message("TAIL"), {"AR|TAIL"}}, {message("E1"), {refused}}, {message("R1"), {"AR|R1"}},
                      {message("W1"), {"AA|XW1"}}, {message("U1", "ADT^A08"), {grosse}}, {message("NV"), {}},
                      {message("K1", "ACK^A01"), {}}, {message("K2", "ACK"), {"AA|K2"}}, {message("TW"), {"AA|TW", "AA|TW"}},
                      {message("TH"), {"CA|TH", "AA|TH"}}, {message("T0"), {"CA|T0", "AR|T0"}}, {message("N1"), {"AA|N1"}}});
        QCOMPARE(program.engine().lastAcknowledgement(), program.stored(12));
        // One arrival: the message without delay first, then by due time.
        TALK(client, {{message("SLOW") + message("MID") + message("FAST"), {"AA|FAST", "AA|MID", "AA|SLOW"}}});
        // The answer, then the end of the stream; what came after it is not answered.
        TALK(client, {{message("CL") + message("AFTER"), {"AE|CL"}}});
        QCOMPARE(client.waitForEnd(), 0);
        QVERIFY(waitUntil([&] { return !program.engine().isConnected(); }));
        QCOMPARE(program.states.last(), InterfaceEngine::State::Listening);
        // A reset in place of the answer, at once and after a delay.
        for (const QByteArray &id : {QByteArray("RS"), QByteArray("LR")}) {
            LoopbackClient reset;
            QVERIFY(reset.connectTo(program.port()) && reset.send(message(id)));
            QCOMPARE(reset.waitForEnd(), ECONNRESET);
        }
        QCOMPARE(program.engine().messages().at(0), big);
        QCOMPARE(program.records(), (Records{"13 answered AE|BIG", "12 answered AR|TAIL", "2 answered " + refused,
                                             "3 answered AR|R1", "4 answered AA|XW1", "6 answered " + grosse, "7 withheld none",
                                             "0 unanswered none", "8 answered AA|K2", "9 answered AA|TW", "10 answered CA|TH",
                                             "11 answered CA|T0", "0 answered AA|N1", "14 answered AA|SLOW", "15 answered AA|MID",
                                             "0 answered AA|FAST", "17 closed AE|CL", "0 answered none", "18 reset none",
                                             "19 reset none"}));
        // The next sender is answered. Delayed answers as configured keep their order; a rule's own delay (none) goes past.
        LoopbackClient next;
        QVERIFY(next.connectTo(program.port()));
        program.changeOptions([](Options &o) { o.answerMode = Options::AnswerMode::Delayed, o.delayMs = 300; });
        TALK(next, {{message("D1") + message("D2") + message("NOW") + message("D3"), {"AA|NOW", "AA|D1", "AA|D2", "AA|D3"}}});
        QCOMPARE(program.engine().answersWaiting(), 0);
    }

    void everyAndRepeatableShares()
    {
        const QByteArray rules = "every 3 -> AR\nshare 50% -> AE\n";
        RulesProgram program(rules, false); // one arrival, one message
        program.engine().setRulesSeed(0x5eed);
        LoopbackClient client;
        QVERIFY(connected(program, client));
        QCOMPARE(program.engine().rulesSeed(), quint64(0x5eed));
        // What the rules alone decide for the same messages with the same seed; each start counts afresh.
        AnswerRules::Book book(AnswerRules::read(QString::fromLatin1(rules)).rules, 0x5eed);
        QByteArray codes;
        QList<Step> steps;
        for (int n = 1; n <= 30; ++n) {
            const QByteArray id = "M" + QByteArray::number(n);
            const AnswerRules::Rule *rule = book.decide(message(id));
            QCOMPARE(rule && rule->line == 1, n % 3 == 0);
            codes += rule ? rule->actions.code : "AA";
            steps << Step{message(id), {codes.last(2) + '|' + id}};
        }
        QVERIFY(codes.contains("AA") && codes.contains("AE"));
        TALK(client, steps);
        QCOMPARE(program.start(), 0);
        TALK(client, steps);
        QVERIFY(program.records().at(2).startsWith("1 ") && program.records().at(32).startsWith("1 "));
    }

    void aLoopOfAcknowledgementsIsToldOnce()
    {
        // The designed fixed answer: acknowledgements are answered, and a run of a hundred is told once.
        EngineProgram program;
        LoopbackClient client;
        QVERIFY(program.start() == 0 && client.connectTo(program.port()));
        const auto acknowledge = [&](int count) {
            for (int n = 0; n < count; ++n)
                if (!client.exchange(message("K" + QByteArray::number(n), "ACK"), AckTexts().size()))
                    return false;
            return true;
        };
        // Another message breaks the run.
        QVERIFY(acknowledge(99) && client.exchange(message("A1"), AckTexts().size()) && acknowledge(99));
        QVERIFY(program.notices.isEmpty());
        const QStringList told{QStringLiteral("The sender at 127.0.0.1 port %1 is acknowledging the answers (100 acknowledgements "
                                              "in a row): a rule `{MSH-9.1} = ACK -> never` in ackprobe-rules.txt stops the loop.")
                                       .arg(client.localPort())};
        QVERIFY(acknowledge(1));
        QCOMPARE(program.notices, told);
        QVERIFY(acknowledge(150) && program.notices == told);
        QCOMPARE(program.engine().messages().info(250).outcome, MessageInfo::Outcome::Answered);
    }

    void withoutRulesTheAnswersStayAsTheyWere()
    {
        // No file, comments and blank lines, rules that never hold: the same bytes, in both ways of taking messages.
        for (const bool whole : {true, false})
            for (const QByteArray &rules : {QByteArray(), QByteArray("# none\n\n   \n"), QByteArray("{MSH-10} = NEVER -> AE\n")}) {
                RulesProgram program(rules, whole);
                LoopbackClient client;
                QVERIFY(connected(program, client));
                QVERIFY(program.ruleProblems.isEmpty());
                QCOMPARE(program.engine().rulesInForce(), rules.contains("->") ? 1 : 0);
                TALK(client, {{message("M1"), {"AA|M1"}}, {message("M22"), {"AA|M22"}}});
                QCOMPARE(program.records(), (Records{"0 answered AA|M1", "0 answered AA|M22"}));
                QCOMPARE(program.stored(1), program.engine().lastAcknowledgement());
            }
    }

    void piecesAndSeveralSendersKeepTheirOwnAnswers()
    {
        RulesProgram program("{MSH-10} = P3 -> pieces 3, twice\n{MSH-10} = CL -> close\n{MSH-10} = B1 -> AE\n"
                             "{MSH-10} = P4 -> pieces 4\n");
        program.changeOptions([](Options &o) { o.senders = Options::Senders::Several, o.maxSenders = 4; });
        QStringList gone;
        QObject::connect(&program.engine(), &InterfaceEngine::senderGone,
                         [&](const QString &description, const QString &how) { gone << description + ' ' + how; });
        LoopbackClient a, b;
        QVERIFY(connected(program, a));
        // Four writes: each read ends where a piece ends, and the first is read before the second is written.
        QVERIFY(a.send(message("P4")));
        const qsizetype size = answerSize("AA|P4");
        QList<QByteArray> reads;
        QVERIFY(waitUntil([&] { return (reads << a.receiveWaiting()).join().size() >= size; }));
        reads.removeAll(QByteArray());
        QCOMPARE(msaOf(reads.join()), "AA|P4");
        QVERIFY2(reads.size() >= 2, qPrintable(QString::number(reads.size())));
        qsizetype end = 0;
        for (const QByteArray &read : std::as_const(reads))
            QVERIFY(QList<qsizetype>({size / 4, size / 2, size * 3 / 4, size}).contains(end += read.size()));
        QVERIFY(a.nothingMoreWaiting() && b.connectTo(program.port()));
        QVERIFY(waitUntil([&] { return program.engine().connectionCount() == 2; }));
        // One sender's answer in pieces while the other's block, held until its end, is decided whole.
        QVERIFY(a.send(message("P3")));
        TALK(b, {{message("B1").first(12), {}}, {message("B1").sliced(12), {"AE|B1"}}});
        TALK(a, {{{}, {"AA|P3", "AA|P3"}}, {message("CL"), {"AA|CL"}}});
        // A close ends that sender alone.
        QCOMPARE(a.waitForEnd(), 0);
        QVERIFY(waitUntil([&] { return program.engine().connectionCount() == 1; }));
        QCOMPARE(gone, QStringList{QStringLiteral("127.0.0.1 port %1 was closed after its answer, as an answer rule says")
                                           .arg(a.localPort())});
        TALK(b, {{message("B2"), {"AA|B2"}}});
        QCOMPARE(program.records().sliced(3), (Records{"2 closed AA|CL", "0 answered AA|B2"}));
    }
};

QTEST_GUILESS_MAIN(RulesEngineTest)
#include "tst_rules_engine.moc"
