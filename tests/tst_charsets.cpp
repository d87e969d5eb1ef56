// The character sets a message is shown in: pure, no window.

#include "protocol/charsets.h"

#include <QtTest>

namespace {
using Why = Charsets::Choice::Why;

QByteArray withMsh18(QByteArrayView msh18, QByteArrayView body = "PID|1||1||M\xc3\xbcller^Zo\xc3\xab\r")
{
    return "MSH|^~\\&|LAB|FAC|||202601011200||ADT^A01|1|P|2.5||||||" + msh18.toByteArray() + "\r"
           + body.toByteArray();
}

// The text with each escaped byte as <xx>, to compare whole.
QString shown(const QString &text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int byte = Charsets::escapedByte(text, i);
        out += byte < 0 ? QString(text[i]) : QStringLiteral("<%1>").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return out;
}
} // namespace

class CharsetsTest : public QObject
{
    Q_OBJECT

private slots:
    void msh18NamesTheDecoder();
    void theSetIsChosenAndTold();
    void bytesThatDoNotDecodeAreEscaped();
    void escapedBytesAreOnlyLoneLowSurrogates();
    void theChooserListsWhatTheDecoderKnows();
};

void CharsetsTest::msh18NamesTheDecoder()
{
    const std::pair<QByteArray, QByteArray> names[] = {
        {"ASCII", "US-ASCII"}, {"8859/1", "ISO-8859-1"}, {"8859/2", "ISO-8859-2"}, {"8859/9", "ISO-8859-9"},
        {"8859/15", "ISO-8859-15"}, {"ISO IR14", "Shift_JIS"}, {"ISO IR87", "ISO-2022-JP"},
        {"ISO IR159", "ISO-2022-JP-1"}, {"GB 18030-2000", "GB18030"}, {"KS X 1001", "EUC-KR"},
        {"CNS 11643-1992", "EUC-TW"}, {"BIG-5", "Big5"}, {"UNICODE", "UTF-8"}, {"UNICODE UTF-8", "UTF-8"},
        {"UNICODE UTF-16", "UTF-16"}, {"UNICODE UTF-32", "UTF-32"},
        // Case and spaces do not matter; the first repetition counts.
        {"unicode utf-8", "UTF-8"}, {" Unicode  UTF-8 ", "UTF-8"}, {"gb18030-2000", "GB18030"},
        {"8859/1~ISO IR87", "ISO-8859-1"}, {"ISO IR87~8859/1", "ISO-2022-JP"},
        // Names senders use instead, as the decoder spells them.
        {"UTF-8", "UTF-8"}, {"utf8", "UTF-8"}, {"LATIN1", "ISO-8859-1"}, {"ISO-8859-1", "ISO-8859-1"},
        {"WINDOWS-1252", "windows-1252"}, {"CP1252", "windows-1252"}, {"SHIFT_JIS", "Shift_JIS"},
        {"EUC-KR", "EUC-KR"}, {"GB2312", "GB2312"},
        // Unknown: empty.
        {"", ""}, {"~UTF-8", ""}, {"KLINGON", ""}, {"LOCALE", ""}, {"UTF-8\x01", ""}, {"UTF-\xc3\xa9", ""},
        {QByteArray(65, 'A'), ""},
    };
    // Every name given is one the decoder opens.
    for (const auto &[msh18, decoder] : names)
        QVERIFY2(Charsets::decoderNameFor(msh18) == decoder
                     && (decoder.isEmpty() || QStringDecoder(decoder.constData()).isValid()), msh18.constData());
}

void CharsetsTest::theSetIsChosenAndTold()
{
    const QByteArray utf8 = withMsh18("");
    const QByteArray latin1 = withMsh18("", "PID|1||1||M\xfcller\r");
    struct Case { const char *name; QByteArray bytes; Charsets::Setting setting; QByteArray set; Why why; QString told; };
    const Case cases[] = {
        {"automatic, UTF-8", utf8, {}, "UTF-8", Why::AutomaticUtf8, "UTF-8, automatic"},
        {"automatic, Latin-1", latin1, {}, "ISO-8859-1", Why::AutomaticNotUtf8, "ISO-8859-1, automatic: not valid UTF-8"},
        // A row reads only a message's start: a sequence cut at the end is whole.
        {"cut UTF-8", utf8 + "\xe2\x82", {}, "UTF-8", Why::AutomaticUtf8, "UTF-8, automatic"},
        {"cut short of its lead", utf8 + "\x82", {}, "ISO-8859-1", Why::AutomaticNotUtf8, "ISO-8859-1, automatic: not valid UTF-8"},
        {"overlong", "MSH|^~\\&\r\xc0\xaf", {}, "ISO-8859-1", Why::AutomaticNotUtf8, "ISO-8859-1, automatic: not valid UTF-8"},
        {"surrogate", "MSH|^~\\&\r\xed\xa0\x80", {}, "ISO-8859-1", Why::AutomaticNotUtf8, "ISO-8859-1, automatic: not valid UTF-8"},
        {"MSH-18", withMsh18("UNICODE UTF-8"), {"windows-1252", true}, "UTF-8", Why::Msh18, "UTF-8, from MSH-18 'UNICODE UTF-8'"},
        {"MSH-18 repeats", withMsh18("8859/1~ISO IR87"), {}, "ISO-8859-1", Why::Msh18, "ISO-8859-1, from MSH-18 '8859/1~ISO IR87'"},
        {"MSH-18 not used", withMsh18("8859/1"), {"Automatic", false}, "UTF-8", Why::AutomaticUtf8, "UTF-8, automatic"},
        {"MSH-18 unknown", withMsh18("XYZ"), {}, "UTF-8", Why::AutomaticUtf8, "UTF-8, automatic (MSH-18 'XYZ' is not known)"},
        {"MSH-18 unknown, chosen", withMsh18("XYZ"), {"cp1252", true}, "windows-1252", Why::Chosen,
         "windows-1252, chosen (MSH-18 'XYZ' is not known)"},
        {"chosen", latin1, {"GB18030", true}, "GB18030", Why::Chosen, "GB18030, chosen"},
        {"chosen unknown", latin1, {"Klingon-8", true}, "ISO-8859-1", Why::AutomaticNotUtf8,
         "ISO-8859-1, automatic: not valid UTF-8"},
        // In the message's own separators; a batch's first MSH.
        {"own separators", "MSH#!@$%#A#B#C#D#E#F#G#H#I#J#K#L#M#N#O#8859/1@UTF-8\r", {}, "ISO-8859-1", Why::Msh18,
         "ISO-8859-1, from MSH-18 '8859/1@UTF-8'"},
        {"batch", "FHS|^~\\&|A\rBHS|^~\\&|B\r" + withMsh18("KS X 1001"), {}, "EUC-KR", Why::Msh18,
         "EUC-KR, from MSH-18 'KS X 1001'"},
    };
    for (const Case &c : cases) {
        const Charsets::Choice choice = Charsets::choose(c.bytes, c.setting);
        QVERIFY2(choice.name == c.set && choice.why == c.why && choice.describe() == c.told, qPrintable(QStringLiteral("%1: %2").arg(c.name, choice.describe())));
    }
}

void CharsetsTest::bytesThatDoNotDecodeAreEscaped()
{
    QByteArray ascii;
    for (int b = 0; b < 0x80; ++b)
        ascii += char(b);
    const std::tuple<QByteArray, QByteArray, QString> cases[] = {
        {"UTF-8", "M\xc3\xbcller^Zo\xc3\xab", QStringLiteral("Müller^Zoë")},
        {"UTF-8", "a\xff\xc3(\xe2\x82\xacz\xed\xa0\x80\xef\xbf\xbd\xe2\x82", QStringLiteral("a<ff><c3>(€z<ed><a0><80>\uFFFD<e2><82>")},
        {"UTF-8", "\xef\xbb\xbfMSH", QStringLiteral("\uFEFFMSH")}, // keeps its BOM
        {"ISO-8859-1", "M\xfcller\x80\xff", QStringLiteral("Müller\u0080ÿ")},
        {"windows-1252", "\x80 M\xfcller", QStringLiteral("€ Müller")},
        {"US-ASCII", "a\x80z", QStringLiteral("a<80>z")},
        {"GB18030", "\xc4\xe3\xba\xc3|\x81\x30\x81\x30", QStringLiteral("你好|\u0080")},
        {"GB18030", "a\xc4\xe3\xffz\x84\x31\xa4\x37\x81", QStringLiteral("a你<ff>z\uFFFD<81>")},
        // Shift_JIS keeps its control bytes, among bad bytes too.
        {"Shift_JIS", "\x0b\x1a\x1c\x7f\\~\x82\xa0\x1c", QStringLiteral("\x0b\x1a\x1c\x7f\\~あ\x1c")},
        {"Shift_JIS", "\x1a\x82\x41\xff\x7f\x82\xa0", QStringLiteral("\x1a<82><41><ff>\x7fあ")},
        {"EUC-KR", "\xb0\xa1\xb0z", QStringLiteral("가<b0>z")},
        {"ISO-2022-JP", "a\x1b$B0!\x1b(Bz", QStringLiteral("a亜z")},
        {"Klingon-8", "\xfc", QStringLiteral("ü")}, // unknown is Latin-1
    };
    for (const auto &[set, bytes, text] : cases) {
        QCOMPARE(shown(Charsets::decode(bytes, set)), text);
        // ASCII bytes stand for themselves, control bytes and all, in a set that keeps ASCII.
        if (Charsets::isAsciiCompatible(set))
            QCOMPARE(Charsets::decode(ascii, set), QString::fromLatin1(ascii));
    }
}

void CharsetsTest::escapedBytesAreOnlyLoneLowSurrogates()
{
    const QString text = QStringLiteral("a") + QChar(0xDCFC) + QStringLiteral("\U0001F600") + QChar(0xDC00)
                         + QChar(0xDD00);
    QCOMPARE(Charsets::escapedByte(text, 0), -1);
    QCOMPARE(Charsets::escapedByte(text, 1), 0xFC);
    QCOMPARE(Charsets::escapedByte(text, 2), -1); // U+1F600's high half
    QCOMPARE(Charsets::escapedByte(text, 3), -1); // its low half: paired, a real character
    QCOMPARE(Charsets::escapedByte(text, 4), 0x00);
    QCOMPARE(Charsets::escapedByte(text, 5), -1); // past U+DCFF
    QCOMPARE(Charsets::escapedByte(text, 6), -1);
    QCOMPARE(Charsets::escapedByte(text, -1), -1);

    // A lone surrogate a UTF-16 sender put in is escaped too: no text shows as an escape it is not.
    const QByteArray utf16("a\0\xfc\xdc" "b\0", 6);
    QCOMPARE(shown(Charsets::decode(utf16, "UTF-16LE")), QStringLiteral("a<fc><dc>b"));

    // The traits that tell Find what a byte search is worth.
    for (const auto &[set, alone, compatible] : {std::tuple{"UTF-8", true, true}, {"windows-1252", true, true}, {"EUC-KR", true, true},
                                                {"Shift_JIS", false, true}, {"GB18030", false, true}, {"ISO-2022-JP", false, false}})
        QVERIFY2(Charsets::asciiStandsAlone(set) == alone && Charsets::isAsciiCompatible(set) == compatible, set);
    QVERIFY(!Charsets::isAsciiCompatible("UTF-16"));
}

void CharsetsTest::theChooserListsWhatTheDecoderKnows()
{
    const QStringList names = Charsets::choosable();
    QCOMPARE(names.value(0), QStringLiteral("Automatic"));
    for (const char *name : {"UTF-8", "ISO-8859-1", "windows-1252", "GB18030", "Shift_JIS", "EUC-KR", "Big5"})
        QVERIFY2(names.contains(QLatin1String(name)), name);
    for (const QString &name : names.mid(1))
        QVERIFY2(Charsets::isKnown(name) && QStringDecoder(name.toLatin1().constData()).isValid(), qPrintable(name));
    QVERIFY(std::is_sorted(names.begin() + 1, names.end(),
                           [](const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) < 0; }));
    QVERIFY(Charsets::isKnown("automatic") && !Charsets::isKnown("Klingon-8") && !Charsets::isKnown(""));
}

QTEST_GUILESS_MAIN(CharsetsTest)
#include "tst_charsets.moc"
