// The MLLP block gatherer on its own: arrivals in, blocks and the bytes
// outside them out, however the bytes are cut.

#include "testbase.h"

#include "interface/mllpgatherer.h"

#include <QtTest>

namespace {
// What the gatherer reported: 'o' bytes outside (runs of several arrivals
// joined), 'B' a whole block, 'I' an incomplete one, '+' one still open.
struct Recorder : MllpGatherer::Receiver
{
    QList<QPair<char, QByteArray>> pieces;
    QStringList faults;
    bool open = false;

    void outside(QByteArrayView bytes) override
    {
        if (open || bytes.isEmpty())
            faults << QStringLiteral("outside bytes in a block, or none");
        if (!pieces.isEmpty() && pieces.last().first == 'o')
            pieces.last().second += bytes;
        else
            pieces.append(qMakePair('o', bytes.toByteArray()));
    }
    void blockBegins() override
    {
        if (open)
            faults << QStringLiteral("begins twice");
        open = true;
        pieces.append(qMakePair('+', QByteArray()));
    }
    void blockBytes(QByteArrayView bytes) override
    {
        if (!open)
            faults << QStringLiteral("block bytes outside a block");
        pieces.last().second += bytes;
    }
    void blockEnds() override { close('B'); }
    void blockIncomplete() override { close('I'); }
    void close(char kind)
    {
        if (!open)
            faults << QStringLiteral("no block to close");
        open = false;
        pieces.last().first = kind;
    }
};

// Blocks ended by a 0x1C doubled, one holding a 0x0B, one 0x1C without 0x0D,
// a line feed between blocks, and a block still open at the end.
const QByteArray Stream = QByteArrayLiteral("junk\x0b" "A\x1c" "B\x1c\x1c\r"
                                            "\x0b\x0b" "C\x1c\r" "\n" "\x0bopen\x1c");
const QList<QPair<char, QByteArray>> Expected = {
    {'o', "junk"}, {'B', "\x0b" "A\x1c" "B\x1c\x1c\r"}, {'B', "\x0b\x0b" "C\x1c\r"},
    {'o', "\n"}, {'I', "\x0bopen\x1c"}};
} // namespace

class MllpGathererTest : public QObject
{
    Q_OBJECT

private slots:
    void blocksAndOutsideBytesHoweverTheyAreCut();
    void bytesAreHandedOnAsTheyCome();
};

void MllpGathererTest::blocksAndOutsideBytesHoweverTheyAreCut()
{
    // Whole, then cut at every pair of byte boundaries, then byte by byte.
    QList<QList<qsizetype>> cuttings{{}};
    for (qsizetype a = 1; a < Stream.size(); ++a)
        for (qsizetype b = a; b < Stream.size(); ++b)
            cuttings.append({a, b});
    QList<qsizetype> everyByte;
    for (qsizetype a = 1; a < Stream.size(); ++a)
        everyByte << a;
    cuttings << everyByte;

    for (const QList<qsizetype> &cuts : cuttings) {
        MllpGatherer gatherer;
        Recorder recorder;
        qsizetype from = 0;
        for (const qsizetype cut : cuts + QList<qsizetype>{Stream.size()}) {
            gatherer.feed(QByteArrayView(Stream).sliced(from, cut - from), recorder);
            from = cut;
        }
        QVERIFY(gatherer.inBlock());
        gatherer.finish(recorder);
        QVERIFY(!gatherer.inBlock());
        QString where = QStringLiteral("cut at");
        for (const qsizetype cut : cuts)
            where += QLatin1Char(' ') + QString::number(cut);
        QVERIFY2(recorder.faults.isEmpty(), qPrintable(where + ": " + recorder.faults.join(';')));
        QVERIFY2(recorder.pieces == Expected, qPrintable(where));
    }

    // After finish() a new connection starts outside any block.
    MllpGatherer gatherer;
    Recorder recorder;
    gatherer.feed("\x0bhalf\x1c", recorder);
    gatherer.finish(recorder);
    gatherer.feed("\r\x0bX\x1c\r", recorder);
    QCOMPARE(recorder.pieces, (QList<QPair<char, QByteArray>>{
                                  {'I', "\x0bhalf\x1c"}, {'o', "\r"}, {'B', "\x0bX\x1c\r"}}));
}

void MllpGathererTest::bytesAreHandedOnAsTheyCome()
{
    // Nothing is held back for later, and only a byte of state is kept.
    QCOMPARE(sizeof(MllpGatherer), size_t(1));
    MllpGatherer gatherer;
    Recorder recorder;
    gatherer.feed("ju", recorder);
    QCOMPARE(recorder.pieces.value(0), (QPair<char, QByteArray>('o', "ju")));
    gatherer.feed("nk\x0b" "AB", recorder);
    QCOMPARE(recorder.pieces.value(1), (QPair<char, QByteArray>('+', "\x0b" "AB")));
    gatherer.feed("\x1c", recorder);
    QCOMPARE(recorder.pieces.value(1), (QPair<char, QByteArray>('+', "\x0b" "AB\x1c")));
    gatherer.feed("\r", recorder);
    QCOMPARE(recorder.pieces.value(1).first, 'B');
    QVERIFY(!gatherer.inBlock());
}

QTEST_GUILESS_MAIN(MllpGathererTest)
#include "tst_mllpgatherer.moc"
