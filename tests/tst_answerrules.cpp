// The answer rules as pure units: the rules file's lines read, the rule a
// message meets, and the answer it shapes. No socket, no window.

#include "testbase.h"

#include "protocol/acknowledgement.h"
#include "protocol/answerrules.h"

#include <QFile>
#include <QtTest>

using namespace AnswerRules;

namespace {
const QByteArray Oru = "\x0bMSH|^~\\&|LAB|FAC|||202601011200||ORU^R01|MSG7|P|2.5|||AL|NE\r"
                       "PIDX|wrong\r"
                       "PID|1||100001^^^HOSP&1.2.3&ISO~200002^^^OTHER||DOE JANE^Q\r"
                       "OBX|1|TX|x||first~second^part&sub\r\x1c\r";

// The rules of `text`, which must read without a problem.
Book bookOf(const QString &text, quint64 seed = 1)
{
    Reading reading = read(text);
    if (!reading.problems.isEmpty())
        qWarning() << "unexpected problems" << reading.problems;
    return Book(std::move(reading.rules), reading.problems.isEmpty() ? seed : 0);
}

// The line of the rule `message` meets, or 0.
int lineOf(Book &book, QByteArrayView message)
{
    const Rule *rule = book.decide(message);
    return rule ? rule->line : 0;
}

QString valueOf(QByteArrayView message, const QString &name)
{
    const std::optional<Hl7Fields::Reference> reference = Hl7Fields::Reference::parse(name);
    if (!reference)
        return QStringLiteral("(no field)");
    Hl7Fields::Reader reader(message);
    return QString::fromLatin1(reader.value(*reference));
}

QByteArray withAckTypes(QByteArrayView accept, QByteArrayView application)
{
    return "MSH|^~\\&|A|B|||20260101||ADT^A01|M1|P|2.5|||" + accept.toByteArray() + '|'
           + application.toByteArray() + "\rPID|1\r";
}

Actions actions(QByteArray code)
{
    Actions made;
    made.code = std::move(code);
    return made;
}

Actions textAction(QByteArray text)
{
    Actions made;
    made.hasText = true;
    made.text = std::move(text);
    return made;
}
} // namespace

class AnswerRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void fieldsAreReadInPlace();
    void fieldConditionsCompareAndMatch();
    void textEveryShareAndAlways();
    void everyActionIsRead();
    void badLinesAreToldAndTheOthersWork();
    void batchHeadersAndTheirMessages();
    void answerIsRewrittenWithinItsMsa();
    void theExampleFileReadsAndFollowsTheEnhancedMode();
};

void AnswerRulesTest::fieldsAreReadInPlace()
{
    QCOMPARE(valueOf(Oru, "MSH-1"), QStringLiteral("|"));
    QCOMPARE(valueOf(Oru, "MSH-2"), QStringLiteral("^~\\&"));
    QCOMPARE(valueOf(Oru, "MSH-2.1"), QStringLiteral("^~\\&"));
    QCOMPARE(valueOf(Oru, "MSH-2.2"), QString());
    QCOMPARE(valueOf(Oru, "MSH-3"), QStringLiteral("LAB"));
    QCOMPARE(valueOf(Oru, "MSH-9"), QStringLiteral("ORU^R01"));
    QCOMPARE(valueOf(Oru, "MSH-9.1"), QStringLiteral("ORU"));
    QCOMPARE(valueOf(Oru, "MSH-9.2"), QStringLiteral("R01"));
    QCOMPARE(valueOf(Oru, "MSH-9.3"), QString());
    QCOMPARE(valueOf(Oru, "MSH-15"), QStringLiteral("AL"));
    QCOMPARE(valueOf(Oru, "MSH-16"), QStringLiteral("NE"));
    QCOMPARE(valueOf(Oru, "MSH-17"), QString());
    // PIDX is another segment; the first PID is the one.
    QCOMPARE(valueOf(Oru, "PID-1"), QStringLiteral("1"));
    QCOMPARE(valueOf(Oru, "PID-3"), QStringLiteral("100001^^^HOSP&1.2.3&ISO~200002^^^OTHER"));
    QCOMPARE(valueOf(Oru, "PID-3(2)"), QStringLiteral("200002^^^OTHER"));
    QCOMPARE(valueOf(Oru, "PID-3.1"), QStringLiteral("100001"));
    QCOMPARE(valueOf(Oru, "PID-3(2).4"), QStringLiteral("OTHER"));
    QCOMPARE(valueOf(Oru, "PID-3(3).1"), QString());
    QCOMPARE(valueOf(Oru, "PID-3.4"), QStringLiteral("HOSP&1.2.3&ISO"));
    QCOMPARE(valueOf(Oru, "PID-3.4.2"), QStringLiteral("1.2.3"));
    QCOMPARE(valueOf(Oru, "PID-3.1.1"), QStringLiteral("100001"));
    QCOMPARE(valueOf(Oru, "PID-5"), QStringLiteral("DOE JANE^Q"));
    QCOMPARE(valueOf(Oru, "PID-40"), QString());
    QCOMPARE(valueOf(Oru, "OBX-5(2).1"), QStringLiteral("second"));
    QCOMPARE(valueOf(Oru, "OBX-5(2).2.2"), QStringLiteral("sub"));
    QCOMPARE(valueOf(Oru, "ZZZ-1"), QString());
    // The message's own separators; '|' is plain data there. LF ends segments too.
    const QByteArray own = "MSH#$*!@#LAB#FAC#####ORU$R01#ID7#P#2.5\nOBX#1#ST#x##a|b*c$d@e\n";
    QCOMPARE(valueOf(own, "MSH-1"), QStringLiteral("#"));
    QCOMPARE(valueOf(own, "MSH-9.2"), QStringLiteral("R01"));
    QCOMPARE(valueOf(own, "MSH-10"), QStringLiteral("ID7"));
    QCOMPARE(valueOf(own, "OBX-5(1)"), QStringLiteral("a|b"));
    QCOMPARE(valueOf(own, "OBX-5(2).2.2"), QStringLiteral("e"));
    // Without any header the usual separators; a segment with no fields has none.
    QCOMPARE(valueOf("PID|1|x^y\rZZZ\r", "PID-2.2"), QStringLiteral("y"));
    QCOMPARE(valueOf("PID|1|x^y\rZZZ\r", "ZZZ-1"), QString());
    QCOMPARE(valueOf("", "MSH-1"), QString());
    // Names as the answer texts write them, and nothing else.
    QCOMPARE(Hl7Fields::Reference::parse(u"OBX-5(2).1.3")->name(), QStringLiteral("OBX-5(2).1.3"));
    for (const char *bad : {"pid-3", "PID3", "PID-0", "PID-3.0", "PID-3()", "PI-3", "PID-1000", "PID-3.1.2.3", "1ID-3"})
        QVERIFY2(!Hl7Fields::Reference::parse(QString::fromLatin1(bad)), bad);
}

void AnswerRulesTest::fieldConditionsCompareAndMatch()
{
    Book book = bookOf(QStringLiteral("{MSH-9.1} = ADT -> AE\n"
                                      "{PID-3(2).4} = OTHER and {MSH-10} != MSG8 -> AA\n"));
    QCOMPARE(lineOf(book, Adt), 1);
    QCOMPARE(lineOf(book, Oru), 2);
    QCOMPARE(lineOf(book, QByteArray(Oru).replace("MSG7", "MSG8")), 0);

    // Every kind on its own line, each tried alone.
    const struct
    {
        const char *rule;
        bool onOru;
    } cases[] = {
        {"{MSH-9.1} = ORU", true},
        {"{MSH-9.1} = ADT", false},
        {"{MSH-9.1} != ADT", true},
        {"{MSH-9.1} != ORU", false},
        {"{MSH-9} = ORU^R01", true},
        {"{PID-5.1} = DOE JANE", true},
        {"{PID-5.1}=DOE JANE  ", true},
        {"{PID-3.4.2} = 1.2.3", true},
        {"{PID-3.4.2} = 1.2", false},
        {"{OBX-5(2).2.2} ~ ^su", true},
        {"{OBX-5(2).2.2} ~ ^ub", false},
        {"{PID-3} ~ OTHER$", true},
        {"{PID-3} ~ ^OTHER", false},
        {"{MSH-17} =", true},
        {"{MSH-17} !=", false},
        {"{ZZZ-1} != x", true},
        {"{ZZZ-1} ~ .", false},
        {"{MSH-9.1} = ORU and {MSH-9.2} = R01", true},
        {"{MSH-9.1} = ORU AND {MSH-9.2} = R02", false},
        {"{MSH-9.1} = ORU and {MSH-15} = AL and {MSH-16} ~ E", true},
    };
    for (const auto &c : cases) {
        Book one = bookOf(QString::fromUtf8(c.rule) + QStringLiteral(" -> AA"));
        QVERIFY2(one.rules().size() == 1, c.rule);
        QVERIFY2((lineOf(one, Oru) == 1) == c.onOru, c.rule);
    }

    // A value is the same text whether the message is UTF-8 or Latin-1.
    const QByteArray utf8 = "MSH|^~\\&|A\rPID|1||7||M\xc3\x9cLLER^J\r";
    const QByteArray latin1 = "MSH|^~\\&|A\rPID|1||7||M\xdcLLER^J\r";
    const QByteArray other = "MSH|^~\\&|A\rPID|1||7||MILLER^J\r";
    Book names = bookOf(QStringLiteral("{PID-5.1} = M\u00dcLLER -> AA\n{PID-5} ~ ^M\u00dc -> AE\n"));
    QCOMPARE(lineOf(names, utf8), 1);
    QCOMPARE(lineOf(names, latin1), 1);
    QCOMPARE(lineOf(names, other), 0);

    // Cut anywhere, a message is read only as far as it goes.
    Book cut = bookOf(QStringLiteral("{OBX-5(2).2.2} = sub and {MSH-16} = NE -> AA\n"));
    for (qsizetype size = 0; size <= Oru.size(); ++size) {
        const QByteArrayView head = QByteArrayView(Oru).first(size);
        QCOMPARE(lineOf(cut, head), head.contains("&sub") ? 1 : 0);
    }
    // Latin-1 bytes that happen to be UTF-8 read as UTF-8: "Ã\u009c" is no "Ü".
    Book mojibake = bookOf(QStringLiteral("{PID-5.1} = M\u00c3\u009cLLER -> AA\n{PID-5} ~ ^M\u00c3 -> AE\n"));
    QCOMPARE(lineOf(mojibake, utf8), 0);
    QCOMPARE(lineOf(mojibake, latin1), 0);
}

void AnswerRulesTest::textEveryShareAndAlways()
{
    // text ~ reads the first 64 KiB only, and never half a character.
    Book text = bookOf(QStringLiteral("text ~ NEEDLE -> AA\ntext ~ \u00e9 -> AE\ntext ~ \u00c3 -> AR\n"));
    QCOMPARE(lineOf(text, Adt + "OBX|1|TX|NEEDLE\r"), 1);
    QCOMPARE(lineOf(text, Adt), 0);
    const QByteArray pad = QByteArray(TextMatchCap - 6, 'a');
    QCOMPARE(lineOf(text, pad + "NEEDLE"), 1);
    QCOMPARE(lineOf(text, pad + "aNEEDLE"), 0);
    QCOMPARE(lineOf(text, QByteArray(TextMatchCap - 2, 'a') + "\xc3\xa9"), 2);
    QCOMPARE(lineOf(text, QByteArray(TextMatchCap - 1, 'a') + "\xc3\xa9"), 0);

    // Every message is counted, whichever rule held for it.
    Book every = bookOf(QStringLiteral("{MSH-9.1} = ADT -> AE\nevery 2 -> AA\nEvery 3 -> AR\n"));
    QList<int> lines;
    for (const QByteArray &m : {Adt, Oru, Oru, Adt, Oru, Oru, Oru, Oru, Oru})
        lines << lineOf(every, m);
    QCOMPARE(lines, QList<int>({1, 2, 3, 1, 0, 2, 0, 2, 3}));
    QCOMPARE(every.messagesSeen(), quint64(9));
    Book fresh = bookOf(QStringLiteral("every 1 -> AA\n"));
    QCOMPARE(lineOf(fresh, ""), 1);

    // A share is repeatable for one seed, near its percentage, and each
    // condition draws on its own.
    const QString shares = QStringLiteral("share 25% -> AA\nshare 50 % -> AE\nshare 12.5% -> AR\n");
    Book first = bookOf(shares, 42);
    Book again = bookOf(shares, 42);
    Book other = bookOf(shares, 43);
    int counts[4] = {};
    int differ = 0;
    for (int i = 0; i < 10000; ++i) {
        const int line = lineOf(first, Oru);
        QCOMPARE(lineOf(again, Oru), line);
        differ += lineOf(other, Oru) != line;
        ++counts[line];
    }
    // 25 %; half of the other 75 %; an eighth of the rest.
    QVERIFY2(qAbs(counts[1] - 2500) <= 300, qPrintable(QString::number(counts[1])));
    QVERIFY2(qAbs(counts[2] - 3750) <= 300, qPrintable(QString::number(counts[2])));
    QVERIFY2(qAbs(counts[3] - 469) <= 150, qPrintable(QString::number(counts[3])));
    QVERIFY2(differ > 1000, qPrintable(QString::number(differ)));

    Book edges = bookOf(QStringLiteral("share 0% -> AE\nshare 100% -> AA\n"), 7);
    Book always = bookOf(QStringLiteral("ALWAYS -> AR\n"));
    for (int i = 0; i < 1000; ++i) {
        QCOMPARE(lineOf(edges, Oru), 2);
        QCOMPARE(lineOf(always, "not HL7 at all"), 1);
    }
    Book none;
    QCOMPARE(lineOf(none, Oru), 0);
}

void AnswerRulesTest::everyActionIsRead()
{
    const Reading reading = read(QStringLiteral(
        "always -> AA\n"
        "always -> ae, text \"Bad \\\"id\\\" in C:\\\\x\", Delay 250\n"
        "always -> never\n"
        "always -> CE, close\n"
        "always -> delay 100, reset\n"
        "always -> Pieces 5, TWICE, wrong-id\n"
        "always -> CA, then AA\n"
        "always -> CA, then aa AFTER 100\n"
        "always -> text \"a, b -> c \u00e9\"\n"
        "always -> text \"\", delay 0, pieces 100, then CR after 600000\n"));
    QCOMPARE(reading.problems, QStringList());
    QCOMPARE(reading.rules.size(), std::size_t(10));

    std::vector<Actions> expected(10);
    expected[0] = actions("AA");
    expected[1] = textAction("Bad \"id\" in C:\\x");
    expected[1].code = "AE";
    expected[1].delayMs = 250;
    expected[2].never = true;
    expected[3] = actions("CE");
    expected[3].close = true;
    expected[4].delayMs = 100;
    expected[4].reset = true;
    expected[5].pieces = 5;
    expected[5].twice = true;
    expected[5].wrongId = true;
    expected[6] = actions("CA");
    expected[6].thenCode = "AA";
    expected[7] = actions("CA");
    expected[7].thenCode = "AA";
    expected[7].thenAfterMs = 100;
    expected[8] = textAction("a, b -> c \xc3\xa9");
    expected[9] = textAction("");
    expected[9].delayMs = 0;
    expected[9].pieces = 100;
    expected[9].thenCode = "CR";
    expected[9].thenAfterMs = 600000;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QCOMPARE(reading.rules[i].line, int(i) + 1);
        QVERIFY2(reading.rules[i].actions == expected[i], qPrintable(reading.rules[i].text));
    }
    QCOMPARE(reading.rules[1].text, QStringLiteral("always -> ae, text \"Bad \\\"id\\\" in C:\\\\x\", Delay 250"));
    QCOMPARE(Actions(), actions(""));
    QCOMPARE(Actions().delayMs, -1);
    QCOMPARE(Actions().pieces, 1);
}

void AnswerRulesTest::badLinesAreToldAndTheOthersWork()
{
    const QStringList lines = {
        QStringLiteral("  # a comment"),
        QString(),
        QStringLiteral("always -> sometimes"),
        QStringLiteral("{MSH-9.1} ~ ( -> AA"),
        QStringLiteral("always AA"),
        QStringLiteral("-> AA"),
        QStringLiteral("always ->"),
        QStringLiteral("{pid-3} = x -> AA"),
        QStringLiteral("{MSH-9 = x -> AA"),
        QStringLiteral("{MSH-9} x -> AA"),
        QStringLiteral("every 0 -> AA"),
        QStringLiteral("share 101% -> AA"),
        QStringLiteral("share 10 -> AA"),
        QStringLiteral("sometimes -> AA"),
        QStringLiteral("always -> AA, ae"),
        QStringLiteral("always -> never, reset"),
        QStringLiteral("always -> reset, close"),
        QStringLiteral("always -> delay 600001"),
        QStringLiteral("always -> pieces 1"),
        QStringLiteral("always -> text \"open"),
        QStringLiteral("always -> text \"x\\n\""),
        QStringLiteral("always -> then XX"),
        QStringLiteral("always -> then AA after x"),
        QStringLiteral("always -> delay 5, delay 6"),
        QStringLiteral("text ~ -> AA"),
        QStringLiteral("always -> AA,"),
        QStringLiteral("always -> twice now"),
        QStringLiteral("always -> frob\x01"),
        QStringLiteral("always now -> AA"),
        QStringLiteral("always -> text unquoted"),
        QStringLiteral("always -> text \"x\" y"),
        QStringLiteral("always -> delay 5, never"),
        QStringLiteral("{MSH-9.1} = ADT -> AE"),
        QStringLiteral("\talways  ->  AA  "),
    };
    const Reading reading = read(lines.join(QLatin1String("\r\n")));
    const QStringList expected = {
        QStringLiteral("line 3: unknown action \"sometimes\""),
        QStringLiteral("line 4: the regular expression \"(\" is invalid: missing closing parenthesis"),
        QStringLiteral("line 5: no \"->\" between the conditions and the actions"),
        QStringLiteral("line 6: no condition before \"->\""),
        QStringLiteral("line 7: no action after \"->\""),
        QStringLiteral("line 8: \"{pid-3}\" names no field; fields are written like {PID-3.1} or {OBX-5(2).1}"),
        QStringLiteral("line 9: \"{MSH-9 = x\" has no closing brace"),
        QStringLiteral("line 10: \"{MSH-9}\" is not followed by =, != or ~"),
        QStringLiteral("line 11: every needs a whole number from 1, not \"0\""),
        QStringLiteral("line 12: share needs a percentage from 0 to 100 like 12.5%, not \"101%\""),
        QStringLiteral("line 13: share needs a percentage from 0 to 100 like 12.5%, not \"10\""),
        QStringLiteral("line 14: unknown condition \"sometimes\""),
        QStringLiteral("line 15: two codes, AA and AE"),
        QStringLiteral("line 16: never cannot go with reset"),
        QStringLiteral("line 17: reset cannot go with close"),
        QStringLiteral("line 18: delay needs milliseconds from 0 to 600000, not \"600001\""),
        QStringLiteral("line 19: pieces needs a number from 2 to 100, not \"1\""),
        QStringLiteral("line 20: the text has no closing quote"),
        QStringLiteral("line 21: unknown escape \"\\n\" in the text; only \\\" and \\\\ are escapes"),
        QStringLiteral("line 22: then needs a code (AA, AE, AR, CA, CE or CR), not \"XX\""),
        QStringLiteral("line 23: then AA takes only \"after\" and milliseconds from 0 to 600000, not \"after x\""),
        QStringLiteral("line 24: delay is given twice"),
        QStringLiteral("line 25: no regular expression after ~"),
        QStringLiteral("line 26: an empty action"),
        QStringLiteral("line 27: twice takes nothing after it"),
        QStringLiteral("line 28: unknown action \"frob<0x01>\""),
        QStringLiteral("line 29: always takes nothing after it"),
        QStringLiteral("line 30: text needs its words in double quotes, like text \"Checked\""),
        QStringLiteral("line 31: something follows the text's closing quote"),
        QStringLiteral("line 32: never cannot go with delay"),
    };
    QCOMPARE(reading.problems, expected);
    QCOMPARE(reading.rules.size(), std::size_t(2));
    QCOMPARE(reading.rules[0].line, 33);
    QCOMPARE(reading.rules[1].line, 34);
    QCOMPARE(reading.rules[1].text, QStringLiteral("\talways  ->  AA  "));
    Book book(reading.rules, 1);
    QCOMPARE(lineOf(book, Adt), 33);
    QCOMPARE(lineOf(book, Oru), 34);

    // A byte order mark and LF-only ends; an empty file has no rule.
    const Reading marked = read(QStringLiteral("\ufeffalways -> CA\n\n"));
    QCOMPARE(marked.problems, QStringList());
    QCOMPARE(marked.rules.size(), std::size_t(1));
    QCOMPARE(marked.rules[0].text, QStringLiteral("always -> CA"));
    QVERIFY(read(u"").rules.empty() && read(u"").problems.isEmpty());
}

void AnswerRulesTest::batchHeadersAndTheirMessages()
{
    const QByteArray batch = "\x0b" "FHS|^~\\&|FILEAPP|FILEFAC|||20260101\r"
                             "BHS|^~\\&|BATCHAPP|LABFAC|||20260101\r"
                             "MSH|^~\\&|LAB|FAC|||202601011200||ORU^R01|M1|P|2.5\r"
                             "OBX|1|ST|x||v1\r"
                             "MSH|^~\\&|LAB|FAC|||202601011201||ORU^R01|M2|P|2.5\r"
                             "BTS|2\rFTS|1\r\x1c\r";
    QCOMPARE(valueOf(batch, "FHS-1"), QStringLiteral("|"));
    QCOMPARE(valueOf(batch, "FHS-2"), QStringLiteral("^~\\&"));
    QCOMPARE(valueOf(batch, "FHS-3"), QStringLiteral("FILEAPP"));
    QCOMPARE(valueOf(batch, "BHS-4"), QStringLiteral("LABFAC"));
    QCOMPARE(valueOf(batch, "MSH-10"), QStringLiteral("M1"));
    QCOMPARE(valueOf(batch, "MSH-9.2"), QStringLiteral("R01"));
    QCOMPARE(valueOf(batch, "BTS-1"), QStringLiteral("2"));
    Book book = bookOf(QStringLiteral("{BHS-4} = LABFAC and {MSH-10} = M2 -> AE\n"
                                      "{FHS-4} = FILEFAC and {BHS-3} = BATCHAPP and {MSH-10} = M1 -> CA\n"));
    QCOMPARE(lineOf(book, batch), 2);
    QCOMPARE(lineOf(book, Oru), 0);

    // A batch with its own separators: the headers declare them, '|' is data.
    const QByteArray own = "BHS#$*\\@#APP|1#FAC\rMSH#$*\\@#LAB#FAC#####ORU$R01#M9\rOBX#1#ST#x##a$b\r";
    QCOMPARE(valueOf(own, "BHS-1"), QStringLiteral("#"));
    QCOMPARE(valueOf(own, "BHS-3"), QStringLiteral("APP|1"));
    QCOMPARE(valueOf(own, "MSH-9.2"), QStringLiteral("R01"));
    QCOMPARE(valueOf(own, "OBX-5.2"), QStringLiteral("b"));
    Book ownBook = bookOf(QStringLiteral("{BHS-3} = APP|1 and {MSH-10} = M9 and {OBX-5.2} = b -> AA\n"));
    QCOMPARE(lineOf(ownBook, own), 1);
}

void AnswerRulesTest::answerIsRewrittenWithinItsMsa()
{
    const QByteArray stamp = "202612070815";
    const QByteArray plain = AckTexts{}.with(stamp);
    QCOMPARE(plain, acknowledgementOf("|||||", QString::fromLatin1(stamp), "||ACK|||||||||", "|AA||||||"));
    const QByteArray head = "\x0bMSH|||||202612070815||ACK|||||||||\r";

    // Nothing to do: the same bytes.
    QCOMPARE(applyToAnswer(plain, Actions(), {}), plain);
    QCOMPARE(applyToAnswer(plain, actions("AE"), "AE"), head + "MSA|AE||||||\r\x1c\r");
    // MSA-3 escaped: a separator, a segment end and framing bytes never frame.
    Actions text = textAction("a|b\rc^d\x1c\x0b\xc3\xa9");
    QCOMPARE(applyToAnswer(plain, text, {}), head + "MSA|AA||a\\F\\b\\X0D\\c\\S\\d\\X1C\\\\X0B\\\xc3\xa9||||\r\x1c\r");
    // wrong-id before the id; with then, the second answer's code.
    Actions wrong = actions("CA");
    wrong.wrongId = true;
    wrong.thenCode = "AA";
    AckTexts withId;
    withId.msa = "|AA|MSG0001|||||";
    QCOMPARE(applyToAnswer(withId.with(stamp), wrong, wrong.code), head + "MSA|CA|XMSG0001|||||\r\x1c\r");
    QCOMPARE(applyToAnswer(withId.with(stamp), wrong, wrong.thenCode), head + "MSA|AA|XMSG0001|||||\r\x1c\r");
    // An MSA without the fields gets them.
    for (const char *msa : {"", "|"}) {
        AckTexts bare;
        bare.msa = msa;
        QCOMPARE(applyToAnswer(bare.with(stamp), actions("AE"), "AE"), head + "MSA|AE\r\x1c\r");
        Actions all = textAction("t");
        all.wrongId = true;
        QCOMPARE(applyToAnswer(bare.with(stamp), all, "AR"), head + "MSA|AR|X|t\r\x1c\r");
    }
    // No MSA at all: one before the end block.
    QCOMPARE(applyToAnswer("\x0bMSH|^~\\&|x\r\x1c\r", actions("CA"), "CA"), QByteArray("\x0bMSH|^~\\&|x\rMSA|CA\r\x1c\r"));
    QCOMPARE(applyToAnswer("\x0bMSH|^~\\&|x\x1c\r", actions("CA"), "CA"), QByteArray("\x0bMSH|^~\\&|x\rMSA|CA\r\x1c\r"));
    QCOMPARE(applyToAnswer("MSH|^~\\&|x", actions("CA"), "CA"), QByteArray("MSH|^~\\&|x\rMSA|CA\r"));
    // Whatever the answer holds, no framing byte is added or taken.
    for (quint32 seed = 1; seed <= 200; ++seed) {
        const QByteArray answer = '\x0b' + randomBytes(seed % 64, seed) + "\rMSA|AA\r\x1c\r";
        const QByteArray changed = applyToAnswer(answer, text, "AE");
        QVERIFY(changed.startsWith('\x0b') && changed.endsWith("\x1c\r"));
        QCOMPARE(changed.count('\x0b'), answer.count('\x0b'));
        QCOMPARE(changed.count('\x1c'), answer.count('\x1c'));
    }
    // The answer's own separators and escape; what follows MSA stays.
    const QByteArray own = "\x0bMSH#$*!@#APP\rMSA#AA#ID1#old#4\rERR#x\r\x1c\r";
    Actions ownText = textAction("a#b!c$");
    QCOMPARE(applyToAnswer(own, ownText, "AE"), QByteArray("\x0bMSH#$*!@#APP\rMSA#AE#ID1#a!F!b!E!c!S!#4\rERR#x\r\x1c\r"));
}

void AnswerRulesTest::theExampleFileReadsAndFollowsTheEnhancedMode()
{
    QFile file(QStringLiteral(":/ackprobe-rules.example.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    const Reading reading = read(text);
    QCOMPARE(reading.problems, QStringList());
    QCOMPARE(reading.rules.size(), std::size_t(7));

    Book book(reading.rules, 1);
    const auto answer = [&](QByteArrayView accept, QByteArrayView application) {
        const Rule *rule = book.decide(withAckTypes(accept, application));
        return rule ? rule->actions : actions("(configured)");
    };
    Actions commitThenApplication = actions("CA");
    commitThenApplication.thenCode = "AA";
    commitThenApplication.thenAfterMs = 100;
    Actions never;
    never.never = true;
    QCOMPARE(answer("AL", "AL"), commitThenApplication);
    QCOMPARE(answer("SU", "AL"), commitThenApplication);
    QCOMPARE(answer("AL", "SU"), commitThenApplication);
    for (const char *application : {"NE", "ER", ""}) {
        QCOMPARE(answer("AL", application), actions("CA"));
        QCOMPARE(answer("SU", application), actions("CA"));
    }
    for (const char *accept : {"NE", "ER", ""}) {
        QCOMPARE(answer(accept, "AL"), actions("AA"));
        QCOMPARE(answer(accept, "SU"), actions("AA"));
    }
    for (const char *accept : {"NE", "ER"})
        for (const char *application : {"NE", "ER", ""})
            QCOMPARE(answer(accept, application), never);
    QCOMPARE(answer("", "NE"), never);
    QCOMPARE(answer("", "ER"), never);
    QCOMPARE(answer("", ""), actions("(configured)"));
    QCOMPARE(answer("XX", ""), actions("(configured)"));

    // The examples to try ("#> " lines) read as they stand too.
    QStringList examples;
    for (const QString &line : text.split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("#> ")))
            examples << line.mid(3);
    QVERIFY(examples.size() >= 10);
    const Reading tried = read(examples.join(QLatin1Char('\n')));
    QCOMPARE(tried.problems, QStringList());
    QCOMPARE(tried.rules.size(), std::size_t(examples.size()));
}

QTEST_GUILESS_MAIN(AnswerRulesTest)
#include "tst_answerrules.moc"
