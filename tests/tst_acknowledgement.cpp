// The pure parts behind every answer: the timestamp, the acknowledgement's
// bytes, the message store and the logfile's lines.

#include "testbase.h"

#include "protocol/acknowledgement.h"
#include "store/messagestore.h"
#include "files/transactionlog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

class AcknowledgementTest : public QObject
{
    Q_OBJECT

private slots:
    void timeStamp_data();
    void timeStamp();
    void clockAgreesWithTheCalendarAtEveryMinuteEdge();
    void defaultAcknowledgementIs51Bytes();
    void emptyTextsGive23Bytes();
    void cachedAcknowledgementFollowsEveryText();
    void eightBitTextsGoOutByteForByte();
    void fieldsOfTheMessageFillTheTexts();
    void textsWithoutFieldsAndMessagesWithoutMshGiveTodaysBytes();
    void echoedValuesCannotFrameOrSplitTheAnswer();
    void batchHeadersAndTheirFirstMshFillTheTexts();
    void storeKeepsEveryMessageExactly();
    void storeKeepsAMillionRowsAndFallsBackToMemory();
    void logAppendsExactLines();
    void logResolvesABareNameAgainstTheCurrentDirectory();
    void logReportsFailures();
};

void AcknowledgementTest::timeStamp_data()
{
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("stamp");
    QTest::newRow("08:05 on 1 March") << QDateTime(QDate(2026, 3, 1), QTime(8, 5, 59))
                                      << "202603010805";
    QTest::newRow("last minute of the year") << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 30))
                                             << "202612312359";
    QTest::newRow("just after midnight") << QDateTime(QDate(2027, 1, 1), QTime(0, 0, 1))
                                         << "202701010000";
    QTest::newRow("a year below 1000 has no leading zeros")
        << QDateTime(QDate(999, 7, 4), QTime(12, 30)) << "99907041230";
}

void AcknowledgementTest::timeStamp()
{
    QFETCH(QDateTime, moment);
    QFETCH(QString, stamp);
    QCOMPARE(timeStampOf(moment), stamp);
}

void AcknowledgementTest::clockAgreesWithTheCalendarAtEveryMinuteEdge()
{
    TimeStampClock clock;
    const qint64 start = QDateTime(QDate(2026, 3, 28), QTime(23, 58)).toMSecsSinceEpoch();
    // Two days of minute edges, in and out of order, around a spring change
    // of clocks in many zones; every stamp must match a fresh calendar reading.
    for (qint64 ms = start; ms < start + 2 * 24 * 3600 * 1000LL; ms += 59999) {
        for (const qint64 at : {ms, ms + 1, ms - 1, ms + 59998}) {
            const QString expected = timeStampOf(QDateTime::fromMSecsSinceEpoch(at));
            if (clock.stampAt(at) != expected)
                QFAIL(qPrintable(QStringLiteral("%1 gave %2").arg(at).arg(expected)));
        }
    }
    QCOMPARE(clock.stampAt(-1), timeStampOf(QDateTime::fromMSecsSinceEpoch(-1)));
    QCOMPARE(clock.stampAt(0), timeStampOf(QDateTime::fromMSecsSinceEpoch(0)));
}

void AcknowledgementTest::defaultAcknowledgementIs51Bytes()
{
    const QByteArray ack = acknowledgementOf(QStringLiteral("|||||"), QStringLiteral("202612070815"),
                                             QStringLiteral("||ACK|||||||||"),
                                             QStringLiteral("|AA||||||"));
    QCOMPARE(ack, QByteArray("\x0bMSH|||||202612070815||ACK|||||||||\rMSA|AA||||||\r\x1c\r"));
    QCOMPARE(ack.size(), 51);
}

void AcknowledgementTest::emptyTextsGive23Bytes()
{
    const QByteArray ack = acknowledgementOf({}, QStringLiteral("202612070815"), {}, {});
    QCOMPARE(ack, QByteArray("\x0bMSH202612070815\rMSA\r\x1c\r"));
    QCOMPARE(ack.size(), 23);
}

void AcknowledgementTest::cachedAcknowledgementFollowsEveryText()
{
    // A change to any one of the four, the stamp included, must reach the wire.
    AcknowledgementCache cache;
    QStringList texts{QStringLiteral("|||||"), QStringLiteral("202612070815"),
                      QStringLiteral("||ACK|||||||||"), QStringLiteral("|AA||||||")};
    const auto cached = [&] { return cache.of(texts[0], texts[1], texts[2], texts[3]); };
    QCOMPARE(cached(), acknowledgementOf(texts[0], texts[1], texts[2], texts[3]));
    for (int changed = 0; changed < 4; ++changed) {
        texts[changed] += QLatin1Char('9');
        QCOMPARE(cached(), acknowledgementOf(texts[0], texts[1], texts[2], texts[3]));
    }
}

void AcknowledgementTest::eightBitTextsGoOutByteForByte()
{
    const QByteArray high = byteValues(128);
    const QByteArray ack = acknowledgementOf(QString::fromLatin1(high), QStringLiteral("000000000000"),
                                             QString(), QStringLiteral("\x01"));
    QCOMPARE(ack, "\x0bMSH" + high + "000000000000\rMSA\x01\r\x1c\r");
}

void AcknowledgementTest::fieldsOfTheMessageFillTheTexts()
{
    const QString stamp = QStringLiteral("202612070815");
    const QString before = QStringLiteral("|^~\\&|{MSH-5}|{MSH-6}|{MSH-3}|{MSH-4}|");
    const QString after = QStringLiteral("||ACK^{MSH-9.2}^ACK|{MSH-10}|{MSH-11}|{MSH-12}||||||{MSH-18}");
    const QString msa = QStringLiteral("|AA|{MSH-10}");
    const QByteArray header = "MSH|^~\\&|SEND|FAC|RECV|RFAC|20260101||ADT^A01^ADT_A01|CTRL1|P|2.5";
    const QByteArray standard = "\x0bMSH|^~\\&|RECV|RFAC|SEND|FAC|202612070815||ACK^A01^ACK|CTRL1|P|2.5||||||"
                                "\rMSA|AA|CTRL1\r\x1c\r";
    AcknowledgementCache cache;
    // Framed or not; the header ends at CR, LF or the block's end.
    for (const QByteArray &message : {"\x0b" + header + "\rEVN|A01\r\x1c\r", header,
                                      header + "\nEVN|A01", "\x0b" + header + "\x1c\r"})
        QCOMPARE(cache.of(before, stamp, after, msa, message), standard);
    // The character set, where the message names one, is echoed in MSH-18.
    QCOMPARE(cache.of(before, stamp, after, msa, "\x0b" + header + "|1||AL|NE|DE|UNICODE UTF-8\r\x1c\r"),
             QByteArray(standard).replace("||||||\r", "||||||UNICODE UTF-8\r"));

    // The message's own separators; MSH-1 and MSH-2 are one component each;
    // what the message lacks is empty, and the next segment is not read.
    const QString fields = QStringLiteral("<{MSH-1}{MSH-2}{MSH-1.1}{MSH-2.1}{MSH-2.2}>"
                                          "<{MSH-9}{MSH-9.1}{MSH-9.3}{MSH-9.4}{MSH-3.2}>"
                                          "<{MSH-12}{MSH-13}{MSH-999}{MSH-4.1}>");
    QCOMPARE(cache.of(fields, stamp, {}, {}, "MSH#@!$%#A######ORU@R01@ORU_R01#9##X\rPID#1#2#3#4#5#6#7#8#9"),
             QByteArray("\x0bMSH<<^~\\&<^~\\&><ORU^R01^ORU_R01ORUORU_R01><X>" + stamp.toLatin1()
                        + "\rMSA\r\x1c\r"));
    // Encoding characters missing: a field is its one component.
    QCOMPARE(cache.of({}, stamp, QStringLiteral("{MSH-9.1}|{MSH-9.2}|{MSH-2}"), {}, "MSH||||||||A^B"),
             QByteArray("\x0bMSH" + stamp.toLatin1() + "A\\S\\B||\rMSA\r\x1c\r"));
    // Everything else stays literal, braces included.
    const QString literal = QStringLiteral("{MSH-}{MSH-0}{MSH-03}{MSH-1000}{MSH-3.}{MSH-3.0}{msh-3}{MSH-3{");
    QCOMPARE(cache.of(literal + QStringLiteral("{{MSH-3}}"), stamp, {}, {}, header),
             acknowledgementOf(literal + QStringLiteral("{SEND}"), stamp, {}, {}));
}

void AcknowledgementTest::textsWithoutFieldsAndMessagesWithoutMshGiveTodaysBytes()
{
    const QString stamp = QStringLiteral("202612070815");
    const QStringList plain{QStringLiteral("|||||"), QStringLiteral("||ACK|||{}||{MSH|"),
                            QStringLiteral("|AA|{MSH-x}|")};
    AcknowledgementCache cache;
    const QByteArray &cached = cache.of(plain[0], stamp, plain[1], plain[2]);
    QCOMPARE(cached, acknowledgementOf(plain[0], stamp, plain[1], plain[2]));
    // The very array of the cache: nothing is built a message.
    for (const QByteArray &message : {QByteArray("\x0bMSH|^~\\&|A|B\r\x1c\r"), QByteArray()})
        QCOMPARE(cache.of(plain[0], stamp, plain[1], plain[2], message).constData(), cached.constData());

    // Fields of a message that has no MSH at its start are empty.
    const QString fields = QStringLiteral("|{MSH-1}|{MSH-2}|{MSH-3}|{MSH-9.2}");
    const QByteArray empty = acknowledgementOf(QStringLiteral("||||"), stamp, {}, {});
    for (const QByteArray &message : {QByteArray(), QByteArray("MSH"), QByteArray("\x0bMSH\r"),
                                      QByteArray("PID|^~\\&|A"), QByteArray("\x0b\x0bMSH|^~\\&|A"),
                                      QByteArray(" MSH|^~\\&|A"), QByteArray("msh|^~\\&|A")})
        QCOMPARE(cache.of(fields, stamp, {}, {}, message), empty);
}

void AcknowledgementTest::echoedValuesCannotFrameOrSplitTheAnswer()
{
    using namespace AckFields;
    const QString stamp = QStringLiteral("202612070815");
    const QByteArray tail = "\rMSA|AA|";
    AcknowledgementCache cache;
    const auto answerOf = [&](const QString &before, const QByteArray &message) {
        return cache.of(before, stamp, {}, QStringLiteral("|AA|{MSH-10}"), message);
    };
    // Control bytes become \Xhh\, the answer's own separators \F\ \S\ \R\ \T\ \E\.
    QByteArray out;
    escapeData(out, QByteArray("\x0b\x1c\r\nA\0\x1f\x7f\x80|^~&\\", 14), Encoding());
    QCOMPARE(out, QByteArray(R"(\X0B\\X1C\\X0D\\X0A\A\X00\\X1F\\X7F\)") + '\x80' + R"(\F\\S\\R\\T\\E\)");
    // Whatever bytes a field holds, the answer's control bytes and '|' are its own.
    const auto plain = [](char c) { return uchar(c) >= 0x20 && c != '\x7f' && c != '|'; };
    const QByteArray every = byteValues(1).removeIf([](char c) { return c == '\r' || c == '\n' || c == '\x1c' || c == '|'; });
    QCOMPARE(answerOf(QStringLiteral("|^~\\&|"), "\x0bMSH|^~\\&|A|B|C|D|E||F|" + every + "|P\r\x1c\r").removeIf(plain),
             QByteArray("\x0b||\r||\r\x1c\r"));
    // A '|' in MSH-10 of a '#' message is data in a '|' answer, and in one that declares nothing.
    const QByteArray hashed = "MSH#^~\\&#A#B#C#D#2026##ADT^A01#ID|1^2#P#2.5\r";
    for (const QString &before : {QStringLiteral("|^~\\&|"), QString()})
        QCOMPARE(answerOf(before, hashed), "\x0bMSH" + before.toLatin1() + stamp.toLatin1() + tail + R"(ID\F\1^2)" + "\r\x1c\r");
    // The message's separators become the answer's; its data that are the answer's are escaped.
    const QByteArray odd = "MSH#@!$%#A#B#C#D#2026##ORU@R01#x@y!z%w$F$|^~&\\#P\r";
    QCOMPARE(answerOf(QStringLiteral("|^~\\&|"), odd),
             "\x0bMSH|^~\\&|" + stamp.toLatin1() + tail + R"(x^y~z&w\F\\F\\S\\R\\T\\E\)" + "\r\x1c\r");
    // MSH{MSH-1}{MSH-2} declares the message's separators, as far as they are safe.
    const QString declared = QStringLiteral("{MSH-1}{MSH-2}{MSH-1}{MSH-3}{MSH-1}");
    QCOMPARE(answerOf(declared, odd), "\x0bMSH#@!$%#A#" + stamp.toLatin1() + tail + "x@y!z%w$F$|^~&\\\r\x1c\r");
    // A control byte cannot be declared: the standard ones stand instead.
    QCOMPARE(answerOf(declared, "MSH\x0b^~\\&\x0b" "A\x0b" "B|C\r"), "\x0bMSH|^~\\&|A|" + stamp.toLatin1() + tail + "\r\x1c\r");
    QCOMPARE(answerOf(declared, "MSH|^\x0b\\&|A\x0b" "B|||||||ID\x0b" "2\r"),
             "\x0bMSH|^~\\&|A~B|" + stamp.toLatin1() + tail + "ID~2\r\x1c\r");
    // Characters a text leaves out are the standard ones, or others where those are taken.
    QCOMPARE(Encoding::ofAnswer('|', "~"), (Encoding{'|', '~', '!', '\\', '&'}));
    QCOMPARE(Encoding::ofAnswer('2', "^~\\&"), Encoding());
    // A value is cut at 64 KiB, or, of a head only, where it runs into its end or beyond: told.
    const auto value = [&](const QByteArray &message, bool headOnly) {
        bool cut = !headOnly; // set either way
        const QByteArray answer = cache.of({}, {}, {}, QStringLiteral("{MSH-10}"), message, headOnly, &cut);
        return qMakePair(answer.sliced(8).chopped(3), cut); // between "\x0bMSH\rMSA" and "\r\x1c\r"
    };
    const QByteArray upToTen = "MSH|^~\\&" + QByteArray(8, '|');
    const QByteArray full(ValueCap, 'x');
    QCOMPARE(value(upToTen + full + "|P\r", false), qMakePair(full, false));
    QCOMPARE(value(upToTen + full + "yz\r", false), qMakePair(full, true));
    QCOMPARE(value(upToTen + "ID", true), qMakePair(QByteArray("ID"), true));
    QCOMPARE(value("MSH|^~\\&|||||", true), qMakePair(QByteArray(), true));
    QCOMPARE(value(upToTen + "ID|P", true), qMakePair(QByteArray("ID"), false));
    QCOMPARE(value(upToTen + "ID", false), qMakePair(QByteArray("ID"), false));
    // A waiting answer keeps a few escaped values, or nothing; the stamp is the one of sending.
    const QString before = QStringLiteral("|^~\\&|{MSH-5}|");
    const QString twice = QStringLiteral("|AA|{MSH-10}|{MSH-10}");
    const QByteArray message = "\x0bMSH|^~\\&|S|F|R|G|2026||ADT^A01|ID\x0b" "1|P\r" + QByteArray(100000, 'P') + "\r\x1c\r";
    QVERIFY(cache.capture(QStringLiteral("|||||"), {}, {}, message).isNull());
    QCOMPARE(cache.answer(QStringLiteral("|||||"), stamp, {}, {}, {}), acknowledgementOf(QStringLiteral("|||||"), stamp, {}, {}));
    const QByteArray captured = cache.capture(before, {}, twice, message);
    QVERIFY(captured.size() < 40 && !captured.contains('\x0b'));
    QCOMPARE(cache.answer(before, QStringLiteral("202612071200"), {}, twice, captured),
             "\x0bMSH|^~\\&|R|202612071200\rMSA|AA|ID\\X0B\\1|ID\\X0B\\1\r\x1c\r");
    // Texts changed while it waited: the values it has in the new separators, the others empty.
    QCOMPARE(cache.answer(QStringLiteral("#@!$%#{MSH-5}#{MSH-3}"), stamp, {}, QStringLiteral("#{MSH-10}"), captured),
             "\x0bMSH#@!$%#R#" + stamp.toLatin1() + "\rMSA#ID$X0B$1\r\x1c\r");
}

void AcknowledgementTest::batchHeadersAndTheirFirstMshFillTheTexts()
{
    using namespace AckFields;
    const QString stamp = QStringLiteral("202612070815");
    const QByteArray fhs = "FHS|^~\\&|FAPP|FFAC|FRCV|FRFAC|20261207|FSEC|F^NAME|FCOMMENT|FCTRL";
    const QByteArray bhs = "BHS|^~\\&|BAPP|BFAC|BRCV|BRFAC|20261208|BSEC|B^NAME|BCOMMENT|BCTRL";
    const QByteArray msh1 = "MSH|^~\\&|SEND|FAC|RECV|RFAC|2026||ADT^A01|CTRL1|P|2.5";
    const QByteArray msh2 = "MSH|^~\\&|SEND|FAC|RECV|RFAC|2026||ADT^A02|CTRL2|P|2.5";
    const QByteArray tail = "EVN|A01\r" + msh2 + "\rEVN|A02\rBTS|2\rFTS|1\r\x1c\r";
    const QByteArray batch = "\x0b" + fhs + "\r" + bhs + "\r" + msh1 + "\r" + tail;
    const QString before = QStringLiteral("|^~\\&|{MSH-5}|{FHS-4}|");
    const QString after = QStringLiteral("||ACK^{MSH-9.2}|{MSH-10}|{FHS-9.2}");
    const QString msa = QStringLiteral("|AA|{MSH-10}|{FHS-7}|{BHS-11}|{BHS-9.1}|{FHS-1}{BHS-2.1}");
    const QByteArray ack = "\x0bMSH|^~\\&|RECV|FFAC|" + stamp.toLatin1() + "||ACK^A01|CTRL1|NAME"
                           "\rMSA|AA|CTRL1|20261207|BCTRL|B||^~\\&\r\x1c\r";
    AcknowledgementCache cache;
    // The first MSH inside the batch, CR LF between segments or not; a
    // waiting answer keeps the batch's values as it keeps the others.
    QCOMPARE(cache.of(before, stamp, after, msa, batch), ack);
    QCOMPARE(cache.of(before, stamp, after, msa, QByteArray(batch).replace("\r", "\r\n")), ack);
    QCOMPARE(cache.answer(before, stamp, after, msa, cache.capture(before, after, msa, batch)), ack);
    // A batch of BHS alone has no FHS; one of FHS alone no BHS.
    const QByteArray noFile = "\x0bMSH|^~\\&|RECV||" + stamp.toLatin1() + "||ACK^A01|CTRL1|"
                              "\rMSA|AA|CTRL1||BCTRL|B|^~\\&\r\x1c\r";
    QCOMPARE(cache.of(before, stamp, after, msa, "\x0b" + bhs + "\r" + msh1 + "\r" + tail), noFile);
    QCOMPARE(cache.of({}, stamp, {}, QStringLiteral("|{MSH-10}|{BHS-11}|{FHS-11}"), fhs + "\n" + msh1 + "\r"),
             acknowledgementOf({}, stamp, {}, QStringLiteral("|CTRL1||FCTRL")));

    // Without batch headers first, {FHS-n} and {BHS-n} are empty and no
    // segment past the first is read: neither a later FHS nor a later MSH.
    const QString named = QStringLiteral("|{FHS-1}|{FHS-3}|{BHS-2}|{BHS-11}|{MSH-10}");
    for (const QByteArray &message : {"\x0b" + msh1 + "\r" + fhs + "\r" + bhs + "\r\x1c\r",
                                      "PID|1\r" + msh1 + "\r", "\x0b\r" + fhs + "\r" + msh1 + "\r",
                                      QByteArray("\x0b" "FHS\r" + msh1 + "\r")}) {
        const QByteArray controlId = message.startsWith("\x0bMSH") ? "CTRL1" : "";
        QCOMPARE(cache.of(named, stamp, {}, {}, message),
                 acknowledgementOf(QStringLiteral("|||||") + QString::fromLatin1(controlId), stamp, {}, {}));
    }
    // Not a reference: literal, as any other brace.
    const QString literal = QStringLiteral("{FHS-0}{BHS-x}{fhs-3}{PID-3}{FHS-3.}");
    QCOMPARE(cache.of(literal, stamp, {}, {}, batch), acknowledgementOf(literal, stamp, {}, {}));

    // Each value is read in the separators of its own segment, and written
    // in the answer's, which {MSH-1}{MSH-2} take from the batch's MSH.
    const QByteArray odd = "\x0b" + fhs.first(9) + "A^B&C|" + fhs.sliced(14) + "\rMSH#@!$%#X@Y#F#R#G#2026##ADT@A01#ID|1#P\r\x1c\r";
    QCOMPARE(cache.of(QStringLiteral("{MSH-1}{MSH-2}{MSH-1}{FHS-3}{MSH-1}{MSH-3}{MSH-1}{FHS-3.2}"), stamp, {},
                      QStringLiteral("#{MSH-10}"), odd),
             "\x0bMSH#@!$%#A@B%C#X@Y#B%C" + stamp.toLatin1() + "\rMSA#ID|1\r\x1c\r");

    // Of a head only: a batch whose MSH is not in it is cut; one looked
    // through to its end without one is not.
    const auto cutOf = [&](const QString &text, const QByteArray &message, bool headOnly) {
        bool cut = !headOnly;
        cache.of({}, stamp, {}, text, message, headOnly, &cut);
        return cut;
    };
    const QByteArray headers = "\x0b" + fhs + "\r" + bhs + "\r";
    QVERIFY(cutOf(QStringLiteral("{MSH-10}"), headers, true));
    QVERIFY(cutOf(QStringLiteral("{MSH-10}"), headers + "MSH|^~\\&|A|B|C|D|E||F|CT", true));
    QVERIFY(!cutOf(QStringLiteral("{MSH-10}"), headers + msh1 + "\r", true));
    QVERIFY(!cutOf(QStringLiteral("{MSH-10}"), headers + "BTS|0\rFTS|1\r\x1c\r", false));
    QVERIFY(!cutOf(QStringLiteral("{FHS-11}"), headers, true));
    QVERIFY(cutOf(QStringLiteral("{BHS-11}"), "\x0b" + fhs + "\r", true));
    QVERIFY(!cutOf(QStringLiteral("{FHS-11}{MSH-1}"), "\x0b" + bhs + "\r", false));

    // Where a whole message's head may end: after its first segment, or a
    // batch's first MSH.
    QVERIFY(holdsAnswerHeaders("\x0b" + msh1 + "\r"));
    QVERIFY(holdsAnswerHeaders("\x0bPID|1\r"));
    QVERIFY(holdsAnswerHeaders("\x0b\r"));
    QVERIFY(!holdsAnswerHeaders("\x0b" + fhs + "\r"));
    QVERIFY(!holdsAnswerHeaders(headers));
    QVERIFY(!holdsAnswerHeaders(headers + "\n"));
    QVERIFY(!holdsAnswerHeaders(headers + "MSH\r"));
    QVERIFY(holdsAnswerHeaders(headers + msh1 + "\r"));
    QVERIFY(holdsAnswerHeaders("\x0b" + bhs + "\n" + msh1 + "\x1c"));
}

void AcknowledgementTest::storeKeepsEveryMessageExactly()
{
    QTemporaryDir spill;
    MessageStore store({spill.path()});
    const QByteArray all = byteValues();
    const QByteArray huge(5 << 20, 'h'); // larger than a chunk, and than a spill
    QList<QByteArray> sent;
    for (int i = 0; i < 5000; ++i)
        sent << QByteArray::number(i).repeated(i % 97 + 1);
    sent.insert(10, all);
    sent.insert(2000, QByteArray());
    sent.insert(3000, huge);
    for (const QByteArray &message : sent) {
        store.append(message);
        store.spillIfDue();
    }

    QVERIFY(!store.spillFailed());
    QVERIFY(store.spilledBytes() >= MessageStore::ChunkSize * MessageStore::ChunksPerSpill);
    // The spill file has no name: nothing is left in its folder.
    QVERIFY(QDir(spill.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    QCOMPARE(store.size(), sent.size());
    qint64 bytes = 0;
    for (qsizetype i = 0; i < sent.size(); ++i) {
        QCOMPARE(store.at(i), sent.at(i));
        bytes += sent.at(i).size();
    }
    QCOMPARE(store.totalBytes(), bytes);

    store.clear();
    QCOMPARE(store.size(), 0);
    store.append("again");
    QCOMPARE(store.at(0), QByteArray("again"));
}

void AcknowledgementTest::storeKeepsAMillionRowsAndFallsBackToMemory()
{
    const auto message = [](qint64 i) { return "MSH|" + QByteArray::number(i) + "\r\x1c\r"; };
    const auto checkRows = [&](const MessageStore &store, qint64 count) {
        for (qint64 i = 0; i < count; i += (i < 20 || i > count - 20) ? 1 : 997)
            if (store.at(i) != message(i))
                return false;
        return store.size() == count && store.at(count - 1, 4) == "MSH|";
    };
    constexpr qint64 Million = 1000000;
    QTemporaryDir folder;
    const QString missing = folder.filePath(QStringLiteral("missing"));

    // The first folder cannot be made: the next one takes the spill file.
    QVERIFY(QFile(missing).open(QIODevice::WriteOnly)); // a file where a folder should be
    MessageStore spilled({missing + QStringLiteral("/cache"), folder.path()});
    for (qint64 i = 0; i < Million; ++i) {
        spilled.append(message(i));
        spilled.spillIfDue();
    }
    QVERIFY(!spilled.spillFailed());
    QVERIFY(spilled.spilledBytes() > spilled.totalBytes() / 2);
    QVERIFY(checkRows(spilled, Million));

    // No folder takes it: every message stays in memory, and that is told.
    MessageStore inMemory({missing + QStringLiteral("/cache")});
    for (qint64 i = 0; i < Million; ++i) {
        inMemory.append(message(i));
        inMemory.spillIfDue();
    }
    QVERIFY(inMemory.spillFailed());
    QCOMPARE(inMemory.spilledBytes(), 0);
    QVERIFY(checkRows(inMemory, Million));

    // The disk fills up after the first spill (a file size limit stands in for
    // a full disk): what was written stays readable, the rest stays in memory.
    MessageStore filling({folder.path()});
    const rlimit before = [] { rlimit l{}; ::getrlimit(RLIMIT_FSIZE, &l); return l; }();
    const rlimit small{rlim_t(4 * MessageStore::ChunkSize + MessageStore::ChunkSize / 2), before.rlim_max};
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    for (qint64 i = 0; i < Million; ++i) {
        filling.append(message(i));
        filling.spillIfDue();
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    // The limit is a full disk: the write fails with its own reason.
    QVERIFY(filling.spillFailed());
    QCOMPARE(filling.spillError(), systemReason(EFBIG));
    QVERIFY(checkRows(filling, Million));
}

void AcknowledgementTest::logAppendsExactLines()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    const QByteArray every = byteValues();
    {
        TransactionLog log;
        QVERIFY(log.open(path));
        QVERIFY(log.writeLine("\x0bMSH|first\rPID|1\r\x1c\r"));
        QVERIFY(log.writeLine(every));
        log.close();
        log.close(); // closing a closed log does nothing
        QVERIFY(!log.isOpen());
    }
    {
        // Opening again appends.
        TransactionLog log;
        QVERIFY(log.open(path));
        QVERIFY(log.writeLine(QByteArray()));
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), "\x0bMSH|first\rPID|1\r\x1c\r\r\n" + every + "\r\n\r\n");
}

void AcknowledgementTest::logResolvesABareNameAgainstTheCurrentDirectory()
{
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    TransactionLog log;
    const bool opened = log.open(QStringLiteral("logfile.txt"));
    QDir::setCurrent(previous);
    QVERIFY(opened);
    QVERIFY(log.writeLine("m"));
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("logfile.txt"))));
}

void AcknowledgementTest::logReportsFailures()
{
    QTemporaryDir dir;
    TransactionLog log;
    QVERIFY(!log.open(dir.filePath(QStringLiteral("missing/log.txt"))));
    QVERIFY(!log.errorString().isEmpty());
    QVERIFY(!log.open(QString()));
    QVERIFY(!log.open(dir.path())); // a directory
    QVERIFY(!log.writeLine("not open"));

    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full here");
    QVERIFY(log.open(QStringLiteral("/dev/full")));
    QVERIFY(!log.writeLine("disk full"));
    QVERIFY2(log.errorString().contains(QStringLiteral("space"), Qt::CaseInsensitive),
             qPrintable(log.errorString()));
}

QTEST_GUILESS_MAIN(AcknowledgementTest)
#include "tst_acknowledgement.moc"
