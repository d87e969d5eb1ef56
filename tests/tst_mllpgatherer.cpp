// The MLLP block gatherer on its own: arrivals in, blocks and the bytes
// outside them out, however the bytes are cut.

#include "testbase.h"

#include "protocol/mllpgatherer.h"

#include <QtTest>

namespace {
using Events = QList<QPair<char, QByteArray>>;

// 'o' outside, 'p' padding, '<' a block begins, 'b' its bytes, '>' it ends, '!' it
// is incomplete. Bytes of one kind that follow each other are joined, so
// that any cutting of the same bytes gives the same events.
struct Recorder : MllpGatherer::Receiver
{
    Events events;
    void add(char kind, QByteArrayView bytes = {})
    {
        if (!bytes.isEmpty() && !events.isEmpty() && events.last().first == kind)
            events.last().second += bytes;
        else
            events.append(qMakePair(kind, bytes.toByteArray()));
    }
    void outside(QByteArrayView bytes) override { add('o', bytes); }
    void padding(QByteArrayView bytes) override { add('p', bytes); }
    void blockBegins() override { add('<'); }
    void blockBytes(QByteArrayView bytes) override { add('b', bytes); }
    void blockEnds() override { add('>'); }
    void blockIncomplete() override { add('!'); }
};
} // namespace

class MllpGathererTest : public QObject
{
    Q_OBJECT

private slots:
    void blocksAndOutsideBytesHoweverTheyAreCut();
    void aByteOrderMarkBeforeTheStartByteBeginsTheBlock();
};

void MllpGathererTest::blocksAndOutsideBytesHoweverTheyAreCut()
{
    // A block ended by a 0x1C doubled after one without 0x0D, one holding a
    // 0x0B, CR, LF and NUL between blocks, and a block still open at the end.
    const QByteArray stream = "junk\x0b" "A\x1c" "B\x1c\x1c\r\x0b\x0b" "C\x1c\r\n\x0bM\x1c\r\r\n" + QByteArray(3, '\0') + "\x0bopen\x1c";
    const Events expected = {{'o', "junk"}, {'<', {}}, {'b', "\x0b" "A\x1c" "B\x1c\x1c\r"}, {'>', {}},
                             {'<', {}}, {'b', "\x0b\x0b" "C\x1c\r"}, {'>', {}}, {'p', "\n"},
                             {'<', {}}, {'b', "\x0bM\x1c\r"}, {'>', {}}, {'p', "\r\n" + QByteArray(3, '\0')},
                             {'<', {}}, {'b', "\x0bopen\x1c"}, {'!', {}}};
    // Whole, cut at every pair of byte boundaries, and byte by byte.
    QList<QList<qsizetype>> cuttings{{}, {}};
    for (qsizetype a = 1; a < stream.size(); ++a) {
        cuttings[1] << a;
        for (qsizetype b = a; b < stream.size(); ++b)
            cuttings.append({a, b});
    }
    for (const QList<qsizetype> &cuts : cuttings) {
        MllpGatherer gatherer;
        Recorder recorder;
        qsizetype from = 0;
        for (const qsizetype cut : cuts + QList<qsizetype>{stream.size()}) {
            gatherer.feed(QByteArrayView(stream).sliced(from, cut - from), recorder);
            from = cut;
        }
        QVERIFY(gatherer.inBlock());
        gatherer.finish(recorder);
        QVERIFY2(recorder.events == expected, qPrintable(QStringLiteral("cut at %1, %2 ...")
                                                             .arg(cuts.value(0)).arg(cuts.value(1))));
    }

    // Bytes go on as they come, with a byte of state kept; after finish()
    // the next connection starts outside any block.
    QCOMPARE(sizeof(MllpGatherer), size_t(1));
    MllpGatherer gatherer;
    Recorder recorder;
    gatherer.feed("ju", recorder);
    gatherer.feed("\x0b" "AB\x1c", recorder);
    QCOMPARE(recorder.events, (Events{{'o', "ju"}, {'<', {}}, {'b', "\x0b" "AB\x1c"}}));
    gatherer.finish(recorder);
    gatherer.feed("\r\x0bX\x1c\r", recorder);
    QCOMPARE(recorder.events.mid(3), (Events{{'!', {}}, {'p', "\r"}, {'<', {}}, {'b', "\x0bX\x1c\r"}, {'>', {}}}));

    // A run of one arrival that holds any other byte is outside bytes whole,
    // padding included; padding alone in its arrival stays padding.
    const QByteArray nul(1, '\0');
    for (const QByteArray &arrival : QList<QByteArray>{"\x0bK\x1c\r\n\njunk\r\n\x0bL\x1c\r", nul, "x\n", "\n\x0b\x1c\r\r", "\n", "\nz"})
        gatherer.feed(arrival, recorder);
    QCOMPARE(recorder.events.mid(8), (Events{{'<', {}}, {'b', "\x0bK\x1c\r"}, {'>', {}}, {'o', "\n\njunk\r\n"}, {'<', {}},
                                             {'b', "\x0bL\x1c\r"}, {'>', {}}, {'p', nul}, {'o', "x\n"}, {'p', "\n"}, {'<', {}},
                                             {'b', "\x0b\x1c\r"}, {'>', {}}, {'p', "\r\n"}, {'o', "\nz"}}));
}

void MllpGathererTest::aByteOrderMarkBeforeTheStartByteBeginsTheBlock()
{
    // First in an arrival, after padding, after a block and after other
    // bytes; after the 0x0B it is the block's anyway. A mark cut short, or
    // one apart from its 0x0B, is outside bytes.
    MllpGatherer gatherer;
    Recorder recorder;
    for (const QByteArray &arrival : QList<QByteArray>{"\xef\xbb\xbf\x0b" "A\x1c\r", "\r\n\xef\xbb\xbf\x0b" "B\x1c\r\xef\xbb\xbf\x0b" "C\x1c\r",
                                                      "x\xef\xbb\xbf\x0b" "D\x1c\r", "\x0b\xef\xbb\xbf" "E\x1c\r", "\xbb\xbf\x0b" "F\x1c\r",
                                                      "\xef\xbb\xbf", "\x0b" "G\x1c\r"})
        gatherer.feed(arrival, recorder);
    QCOMPARE(recorder.events, (Events{{'<', {}}, {'b', "\xef\xbb\xbf\x0b" "A\x1c\r"}, {'>', {}}, {'p', "\r\n"},
                                      {'<', {}}, {'b', "\xef\xbb\xbf\x0b" "B\x1c\r"}, {'>', {}},
                                      {'<', {}}, {'b', "\xef\xbb\xbf\x0b" "C\x1c\r"}, {'>', {}}, {'o', "x"},
                                      {'<', {}}, {'b', "\xef\xbb\xbf\x0b" "D\x1c\r"}, {'>', {}},
                                      {'<', {}}, {'b', "\x0b\xef\xbb\xbf" "E\x1c\r"}, {'>', {}}, {'o', "\xbb\xbf"},
                                      {'<', {}}, {'b', "\x0b" "F\x1c\r"}, {'>', {}}, {'o', "\xef\xbb\xbf"},
                                      {'<', {}}, {'b', "\x0b" "G\x1c\r"}, {'>', {}}}));
}

QTEST_GUILESS_MAIN(MllpGathererTest)
#include "tst_mllpgatherer.moc"
