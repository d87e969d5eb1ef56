// The answer rules as pure units: lines read, the rule a message meets, the answer it shapes.

#include "testbase.h"

#include "protocol/acknowledgement.h"
#include "protocol/answerrules.h"

#include <QFile>
#include <QStringDecoder>
#include <QtTest>

using namespace AnswerRules;

// The tables name only the actions that differ from none.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {
const QByteArray Oru = "\x0bMSH|^~\\&|LAB|FAC|||202601011200||ORU^R01|MSG7|P|2.5|||AL|NE\rPIDX|wrong\r"
                       "PID|1||100001^^^HOSP&1.2.3&ISO~200002^^^OTHER||DOE JANE^Q\r"
                       "OBX|1|TX|x||first~second^part&sub\r\x1c\r";
const QByteArray Batch = "\x0b" "FHS|^~\\&|FILEAPP|FILEFAC|||20260101\rBHS|^~\\&|BATCHAPP|LABFAC|||20260101\r"
                         "MSH|^~\\&|LAB|FAC|||202601011200||ORU^R01|M1|P|2.5\rOBX|1|ST|x||v1\r"
                         "MSH|^~\\&|LAB|FAC|||202601011201||ORU^R01|M2|P|2.5\rBTS|2\rFTS|1\r\x1c\r";
// A batch whose headers declare their own separators: '|' is data.
const QByteArray OwnBatch = "BHS#$*\\@#APP|1#FAC\rMSH#$*\\@#LAB#FAC#####ORU$R01#M9\rOBX#1#ST#x##a$b\r";

Book bookOf(const QString &text, quint64 seed = 1)
{
    Reading reading = read(text);
    if (!reading.problems.isEmpty())
        qWarning() << "unexpected problems" << reading.problems;
    return Book(std::move(reading.rules), seed);
}

// The line of the rule `message` meets, or 0.
int lineOf(Book &book, QByteArrayView message)
{
    const Rule *rule = book.decide(message);
    return rule ? rule->line : 0;
}

// 1 when the one rule "conditions -> AA" holds for `message`, 0 when not, -1 when it does not read.
int meets(QByteArrayView message, const char *conditions)
{
    Book book = bookOf(QString::fromUtf8(conditions) + QStringLiteral(" -> AA"));
    return book.rules().size() == 1 ? lineOf(book, message) : -1;
}

// "PID-3=value", as `reader` reads it.
QString named(Hl7Fields::Reader &reader, const char *name)
{
    const std::optional<Hl7Fields::Reference> reference = Hl7Fields::Reference::parse(QString::fromLatin1(name));
    return QLatin1String(name) + u'='
           + (reference ? QString::fromLatin1(reader.value(*reference)) : QStringLiteral("(no field)"));
}
} // namespace

class AnswerRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void fieldsAreReadInPlace();
    void fieldConditionsCompareAndMatch();
    void textEveryShareAndAlways();
    void everyLineIsReadOrTold();
    void answerIsRewrittenWithinItsMsa();
    void theExampleFileReadsAndFollowsTheEnhancedMode();
};

void AnswerRulesTest::fieldsAreReadInPlace()
{
    // The message's own separators ('|' is data there); LF ends segments too.
    const QByteArray own = "MSH#$*!@#LAB#FAC#####ORU$R01#ID7#P#2.5\nOBX#1#ST#x##a|b*c$d@e\n";
    const struct { QByteArrayView message; QList<std::pair<const char *, const char *>> values; } cases[] = {
        {Oru, {{"MSH-1", "|"}, {"MSH-2", "^~\\&"}, {"MSH-2.1", "^~\\&"}, {"MSH-2.2", ""}, {"MSH-3", "LAB"},
               {"MSH-9", "ORU^R01"}, {"MSH-9.1", "ORU"}, {"MSH-9.2", "R01"}, {"MSH-9.3", ""}, {"MSH-15", "AL"},
               {"MSH-16", "NE"}, {"MSH-17", ""}, {"PID-1", "1"}, {"PID-3", "100001^^^HOSP&1.2.3&ISO~200002^^^OTHER"},
               {"PID-3(2)", "200002^^^OTHER"}, {"PID-3.1", "100001"}, {"PID-3(2).4", "OTHER"}, {"PID-3(3).1", ""},
               {"PID-3.4", "HOSP&1.2.3&ISO"}, {"PID-3.4.2", "1.2.3"}, {"PID-3.1.1", "100001"}, {"PID-5", "DOE JANE^Q"},
               {"PID-40", ""}, {"OBX-5(2).1", "second"}, {"OBX-5(2).2.2", "sub"}, {"ZZZ-1", ""}}},
        {own, {{"MSH-1", "#"}, {"MSH-9.2", "R01"}, {"MSH-10", "ID7"}, {"OBX-5(1)", "a|b"}, {"OBX-5(2).2.2", "e"}}},
        // Without any header the usual separators; a segment with no fields has none.
        {"PID|1|x^y\rZZZ\r", {{"PID-2.2", "y"}, {"ZZZ-1", ""}}},
        {"", {{"MSH-1", ""}}},
        // Every kind of segment end, one after another.
        {"\x0bMSH|^~\\&|A\n\rEVN|e\x0bPID|1|p\x1cOBX|1\r\n\rNTE|n\x1c\r",
         {{"NTE-1", "n"}, {"MSH-3", "A"}, {"OBX-1", "1"}, {"EVN-1", "e"}, {"PID-2", "p"}, {"PV1-1", ""}}},
        {Batch, {{"FHS-1", "|"}, {"FHS-2", "^~\\&"}, {"FHS-3", "FILEAPP"}, {"BHS-4", "LABFAC"}, {"MSH-10", "M1"},
                 {"MSH-9.2", "R01"}, {"BTS-1", "2"}}},
        {OwnBatch, {{"BHS-1", "#"}, {"BHS-3", "APP|1"}, {"MSH-9.2", "R01"}, {"OBX-5.2", "b"}}},
    };
    // One reader answers in any order: what it walked past stays right.
    for (const auto &c : cases) {
        Hl7Fields::Reader forward(c.message), backward(c.message);
        for (qsizetype i = 0; i < c.values.size(); ++i) {
            const auto &[name, value] = c.values[i];
            const auto &[lastName, lastValue] = c.values[c.values.size() - 1 - i];
            QCOMPARE(named(forward, name), QLatin1String(name) + u'=' + QLatin1String(value));
            QCOMPARE(named(backward, lastName), QLatin1String(lastName) + u'=' + QLatin1String(lastValue));
        }
    }
    QCOMPARE(Hl7Fields::Reference::parse(u"OBX-5(2).1.3")->name(), QStringLiteral("OBX-5(2).1.3"));
    for (const char *bad : {"pid-3", "PID3", "PID-0", "PID-3.0", "PID-3()", "PI-3", "PID-1000", "PID-3.1.2.3", "1ID-3"})
        QVERIFY2(!Hl7Fields::Reference::parse(QString::fromLatin1(bad)), bad);
}

void AnswerRulesTest::fieldConditionsCompareAndMatch()
{
    Book book = bookOf(QStringLiteral("{MSH-9.1} = ADT -> AE\n{PID-3(2).4} = OTHER and {MSH-10} != MSG8 -> AA\n"));
    QCOMPARE(lineOf(book, Adt), 1);
    QCOMPARE(lineOf(book, Oru), 2);
    QCOMPARE(lineOf(book, QByteArray(Oru).replace("MSG7", "MSG8")), 0);

    // A value is the same text whether the message is UTF-8 or Latin-1; Latin-1
    // bytes that happen to be UTF-8 read as UTF-8 ("Ã\u009c" is no "Ü").
    const QByteArray utf8 = "MSH|^~\\&|A\rPID|1||7||M\xc3\x9cLLER^J\r";
    const QByteArray latin1 = "MSH|^~\\&|A\rPID|1||7||M\xdcLLER^J\r";
    const QByteArray other = "MSH|^~\\&|A\rPID|1||7||MILLER^J\r";
    const struct { QByteArrayView message; const char *conditions; int holds; } cases[] = {
        {Oru, "{MSH-9.1} = ORU", 1}, {Oru, "{MSH-9.1} = ADT", 0}, {Oru, "{MSH-9.1} != ADT", 1},
        {Oru, "{MSH-9.1} != ORU", 0}, {Oru, "{MSH-9} = ORU^R01", 1}, {Oru, "{PID-5.1} = DOE JANE", 1},
        {Oru, "{PID-5.1}=DOE JANE  ", 1}, {Oru, "{PID-3.4.2} = 1.2.3", 1}, {Oru, "{PID-3.4.2} = 1.2", 0},
        {Oru, "{OBX-5(2).2.2} ~ ^su", 1}, {Oru, "{OBX-5(2).2.2} ~ ^ub", 0}, {Oru, "{PID-3} ~ OTHER$", 1},
        {Oru, "{PID-3} ~ ^OTHER", 0}, {Oru, "{MSH-17} =", 1}, {Oru, "{MSH-17} !=", 0}, {Oru, "{ZZZ-1} != x", 1},
        {Oru, "{ZZZ-1} ~ .", 0}, {Oru, "{MSH-9.1} = ORU and {MSH-9.2} = R01", 1},
        {Oru, "{MSH-9.1} = ORU AND {MSH-9.2} = R02", 0}, {Oru, "{MSH-9.1} = ORU and {MSH-15} = AL and {MSH-16} ~ E", 1},
        {utf8, "{PID-5.1} = M\xc3\x9cLLER", 1}, {latin1, "{PID-5.1} = M\xc3\x9cLLER", 1},
        {other, "{PID-5.1} = M\xc3\x9cLLER", 0}, {utf8, "{PID-5} ~ ^M\xc3\x9c", 1}, {latin1, "{PID-5} ~ ^M\xc3\x9c", 1},
        {other, "{PID-5} ~ ^M\xc3\x9c", 0}, {utf8, "{PID-5.1} = M\xc3\x83\xc2\x9cLLER", 0},
        {latin1, "{PID-5.1} = M\xc3\x83\xc2\x9cLLER", 0}, {utf8, "{PID-5} ~ ^M\xc3\x83", 0}, {latin1, "{PID-5} ~ ^M\xc3\x83", 0},
        // In a batch MSH is the first message's header; the batch headers are their own.
        {Batch, "{BHS-4} = LABFAC and {MSH-10} = M2", 0}, {Batch, "{FHS-4} = FILEFAC and {BHS-3} = BATCHAPP and {MSH-10} = M1", 1},
        {Oru, "{FHS-4} = FILEFAC", 0}, {OwnBatch, "{BHS-3} = APP|1 and {MSH-10} = M9 and {OBX-5.2} = b", 1},
        // A name inside another segment is no segment.
        {"MSH|^~\\&|EVN|x\rZZZ|EVN|y\rEVNX|1\nEVN|A02\r", "{EVN-1} = A02 and {EVN-1} ~ ^A0", 1},
    };
    for (const auto &c : cases)
        QVERIFY2(meets(c.message, c.conditions) == c.holds, c.conditions);

    // Cut anywhere, a message is read only as far as it goes.
    Book cut = bookOf(QStringLiteral("{OBX-5(2).2.2} = sub and {MSH-16} = NE -> AA\n"));
    for (qsizetype size = 0; size <= Oru.size(); ++size) {
        const QByteArrayView head = QByteArrayView(Oru).first(size);
        QCOMPARE(lineOf(cut, head), head.contains("&sub") ? 1 : 0);
    }
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

    // A share is repeatable for one seed, near its percentage, and each condition draws on its own.
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

    // Plain text is found by its bytes: exactly where the expression finds it,
    // in UTF-8, in Latin-1, after a byte order mark.
    const char *const patterns[] = {"OBX\\|", "^MSH", "^MSH\\|", "NE", "a b", "^\\^", "x\\.y",
                                    "\\d", "x.y", "^", "OBX|ZZZ", "\\QOBX|\\E", "(?i)obx", "\\x41", "\\\\"};
    const QByteArray subjects[] = {Oru, "xzy OBX|NE a b \\", "^x.y \xc3\xa9 A", "\xef\xbb\xbfMSH|x", "MSH\xe9|", ""};
    for (const char *pattern : patterns) {
        const QRegularExpression expression(QString::fromLatin1(pattern));
        for (const QByteArray &subject : subjects) {
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
            QString decoded = utf8.decode(subject);
            if (utf8.hasError())
                decoded = QString::fromLatin1(subject);
            const QByteArray rule = "text ~ " + QByteArray(pattern);
            QVERIFY2(meets(subject, rule.constData()) == int(expression.match(decoded).hasMatch()), rule + " in " + subject.toHex());
        }
    }
}

void AnswerRulesTest::everyLineIsReadOrTold()
{
    // A line that reads has its actions; one that does not, its problem; neither: left out.
    const struct { const char *line; const char *problem; std::optional<Actions> actions; } cases[] = {
        {"  # a comment"}, {""}, {"always -> sometimes", "unknown action \"sometimes\""},
        {"{MSH-9.1} ~ ( -> AA", "the regular expression \"(\" is invalid: missing closing parenthesis"},
        {"always AA", "no \"->\" between the conditions and the actions"}, {"-> AA", "no condition before \"->\""},
        {"always ->", "no action after \"->\""},
        {"{pid-3} = x -> AA", "\"{pid-3}\" names no field; fields are written like {PID-3.1} or {OBX-5(2).1}"},
        {"{MSH-9 = x -> AA", "\"{MSH-9 = x\" has no closing brace"},
        {"{MSH-9} x -> AA", "\"{MSH-9}\" is not followed by =, != or ~"},
        {"every 0 -> AA", "every needs a whole number from 1, not \"0\""},
        {"share 101% -> AA", "share needs a percentage from 0 to 100 like 12.5%, not \"101%\""},
        {"share 10 -> AA", "share needs a percentage from 0 to 100 like 12.5%, not \"10\""},
        {"sometimes -> AA", "unknown condition \"sometimes\""}, {"always -> AA, ae", "two codes, AA and AE"},
        {"always -> never, reset", "never cannot go with reset"},
        {"always -> reset, close", "reset cannot go with close"},
        {"always -> delay 600001", "delay needs milliseconds from 0 to 600000, not \"600001\""},
        {"always -> pieces 1", "pieces needs a number from 2 to 100, not \"1\""},
        {"always -> text \"open", "the text has no closing quote"},
        {"always -> text \"x\\n\"", "unknown escape \"\\n\" in the text; only \\\" and \\\\ are escapes"},
        {"always -> then XX", "then needs a code (AA, AE, AR, CA, CE or CR), not \"XX\""},
        {"always -> then AA after x", "then AA takes only \"after\" and milliseconds from 0 to 600000, not \"after x\""},
        {"always -> delay 5, delay 6", "delay is given twice"}, {"text ~ -> AA", "no regular expression after ~"},
        {"always -> AA,", "an empty action"}, {"always -> twice now", "twice takes nothing after it"},
        {"always -> frob\x01", "unknown action \"frob<0x01>\""}, {"always now -> AA", "always takes nothing after it"},
        {"always -> text unquoted", "text needs its words in double quotes, like text \"Checked\""},
        {"always -> text \"x\" y", "something follows the text's closing quote"},
        {"always -> delay 5, never", "never cannot go with delay"},
        {"{MSH-9.1} = ADT -> AE", nullptr, Actions{.code = "AE"}},
        {"\talways  ->  AA  ", nullptr, Actions{.code = "AA"}},
        {"always -> ae, text \"Bad \\\"id\\\" in C:\\\\x\", Delay 250", nullptr,
         Actions{.code = "AE", .hasText = true, .text = "Bad \"id\" in C:\\x", .delayMs = 250}},
        {"always -> never", nullptr, Actions{.never = true}},
        {"always -> CE, close", nullptr, Actions{.code = "CE", .close = true}},
        {"always -> delay 100, reset", nullptr, Actions{.delayMs = 100, .reset = true}},
        {"always -> Pieces 5, TWICE, wrong-id", nullptr, Actions{.twice = true, .wrongId = true, .pieces = 5}},
        {"always -> CA, then AA", nullptr, Actions{.code = "CA", .thenCode = "AA"}},
        {"always -> CA, then aa AFTER 100", nullptr, Actions{.code = "CA", .thenCode = "AA", .thenAfterMs = 100}},
        {"always -> text \"a, b -> c \xc3\xa9\"", nullptr, Actions{.hasText = true, .text = "a, b -> c \xc3\xa9"}},
        {"always -> text \"\", delay 0, pieces 100, then CR after 600000", nullptr,
         Actions{.hasText = true, .text = "", .delayMs = 0, .pieces = 100, .thenCode = "CR", .thenAfterMs = 600000}},
    };
    QStringList lines, problems;
    std::vector<std::size_t> good;
    for (const auto &c : cases) {
        lines << QString::fromUtf8(c.line);
        if (c.problem)
            problems << QStringLiteral("line %1: %2").arg(lines.size()).arg(QLatin1String(c.problem));
        else if (c.actions)
            good.push_back(std::size_t(lines.size() - 1));
    }
    const Reading reading = read(lines.join(QLatin1String("\r\n")));
    QCOMPARE(reading.problems, problems);
    QCOMPARE(reading.rules.size(), good.size());
    for (std::size_t i = 0; i < good.size(); ++i) {
        const Rule &rule = reading.rules[i];
        QCOMPARE(rule.line, int(good[i]) + 1);
        QCOMPARE(rule.text, lines[qsizetype(good[i])]);
        QVERIFY2(rule.actions == *cases[good[i]].actions, cases[good[i]].line);
    }
    // Without the action: the configured delay, in one piece.
    QVERIFY(Actions().delayMs == -1 && Actions().pieces == 1);
    // The rules among the bad lines decide all the same.
    Book book(reading.rules, 1);
    QCOMPARE(lineOf(book, Adt), 33);
    QCOMPARE(lineOf(book, Oru), 34);

    // A byte order mark and LF-only ends; an empty file has no rule.
    const Reading marked = read(QStringLiteral("\ufeffalways -> CA\n\n"));
    QVERIFY(marked.problems.isEmpty() && marked.rules.size() == 1);
    QCOMPARE(marked.rules[0].text, QStringLiteral("always -> CA"));
    QVERIFY(read(u"").rules.empty() && read(u"").problems.isEmpty());
}

void AnswerRulesTest::answerIsRewrittenWithinItsMsa()
{
    const QByteArray stamp = "202612070815";
    const QByteArray plain = AckTexts{}.with(stamp);
    QCOMPARE(plain, acknowledgementOf("|||||", QString::fromLatin1(stamp), "||ACK|||||||||", "|AA||||||"));
    const QByteArray head = "\x0bMSH|||||202612070815||ACK|||||||||\r";
    const QByteArray withId = AckTexts{.msa = "|AA|MSG0001|||||"}.with(stamp);
    const QByteArray bare = AckTexts{.msa = ""}.with(stamp);
    const QByteArray barest = AckTexts{.msa = "|"}.with(stamp);
    const Actions text{.hasText = true, .text = "a|b\rc^d\x1c\x0b\xc3\xa9"};
    const Actions wrong{.code = "CA", .wrongId = true, .thenCode = "AA"};
    const Actions all{.hasText = true, .text = "t", .wrongId = true};
    const struct { QByteArray answer; Actions actions; QByteArray code; QByteArray expected; } cases[] = {
        {plain, {}, {}, plain}, // nothing to do: the same bytes
        {plain, {.code = "AE"}, "AE", head + "MSA|AE||||||\r\x1c\r"},
        // MSA-3 escaped: a separator, a segment end and framing bytes never frame.
        {plain, text, {}, head + "MSA|AA||a\\F\\b\\X0D\\c\\S\\d\\X1C\\\\X0B\\\xc3\xa9||||\r\x1c\r"},
        // wrong-id before the id; with then, the second answer's code.
        {withId, wrong, wrong.code, head + "MSA|CA|XMSG0001|||||\r\x1c\r"},
        {withId, wrong, wrong.thenCode, head + "MSA|AA|XMSG0001|||||\r\x1c\r"},
        // An MSA without the fields gets them.
        {bare, {.code = "AE"}, "AE", head + "MSA|AE\r\x1c\r"}, {barest, {.code = "AE"}, "AE", head + "MSA|AE\r\x1c\r"},
        {bare, all, "AR", head + "MSA|AR|X|t\r\x1c\r"}, {barest, all, "AR", head + "MSA|AR|X|t\r\x1c\r"},
        // No MSA at all: one before the end block.
        {"\x0bMSH|^~\\&|x\r\x1c\r", {.code = "CA"}, "CA", "\x0bMSH|^~\\&|x\rMSA|CA\r\x1c\r"},
        {"\x0bMSH|^~\\&|x\x1c\r", {.code = "CA"}, "CA", "\x0bMSH|^~\\&|x\rMSA|CA\r\x1c\r"},
        {"MSH|^~\\&|x", {.code = "CA"}, "CA", "MSH|^~\\&|x\rMSA|CA\r"},
        // The answer's own separators and escape; what follows MSA stays.
        {"\x0bMSH#$*!@#APP\rMSA#AA#ID1#old#4\rERR#x\r\x1c\r", {.hasText = true, .text = "a#b!c$"}, "AE",
         "\x0bMSH#$*!@#APP\rMSA#AE#ID1#a!F!b!E!c!S!#4\rERR#x\r\x1c\r"},
    };
    for (const auto &c : cases)
        QCOMPARE(applyToAnswer(c.answer, c.actions, c.code), c.expected);
    // Whatever the answer holds, no framing byte is added or taken.
    for (quint32 seed = 1; seed <= 200; ++seed) {
        const QByteArray answer = '\x0b' + randomBytes(seed % 64, seed) + "\rMSA|AA\r\x1c\r";
        const QByteArray changed = applyToAnswer(answer, text, "AE");
        QVERIFY(changed.startsWith('\x0b') && changed.endsWith("\x1c\r"));
        QCOMPARE(changed.count('\x0b'), answer.count('\x0b'));
        QCOMPARE(changed.count('\x1c'), answer.count('\x1c'));
    }
}

void AnswerRulesTest::theExampleFileReadsAndFollowsTheEnhancedMode()
{
    QFile file(QStringLiteral(":/ackprobe-rules.example.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    const Reading reading = read(text);
    QCOMPARE(reading.problems, QStringList());
    QCOMPARE(reading.rules.size(), std::size_t(7));

    // MSH-15 by row, MSH-16 by column (AL SU NE ER empty). T: CA then AA after 100;
    // C: CA; A: AA; N: never; -: no rule, the configured answer.
    const std::pair<const char *, const char *> rows[] = {
        {"AL", "TTCCC"}, {"SU", "TTCCC"}, {"NE", "AANNN"}, {"ER", "AANNN"}, {"", "AANN-"}, {"XX", "AANN-"}};
    const char *const applications[] = {"AL", "SU", "NE", "ER", ""};
    const QHash<char, Actions> answers = {{'T', {.code = "CA", .thenCode = "AA", .thenAfterMs = 100}},
                                          {'C', {.code = "CA"}}, {'A', {.code = "AA"}}, {'N', {.never = true}}};
    Book book(reading.rules, 1);
    for (const auto &[accept, row] : rows) {
        for (int i = 0; i < 5; ++i) {
            const QByteArray message = QByteArray("MSH|^~\\&|A|B|||20260101||ADT^A01|M1|P|2.5|||") + accept + '|'
                                       + applications[i] + "\rPID|1\r";
            const Rule *rule = book.decide(message);
            QVERIFY2(rule ? answers.value(row[i], {.code = "(none)"}) == rule->actions : row[i] == '-', message.constData());
        }
    }

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
