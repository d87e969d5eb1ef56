#include "messagetext.h"

#include <limits>

namespace MessageText {

namespace {
constexpr char16_t StartBlock = 0x0B;
constexpr char16_t EndBlock = 0x1C;
constexpr char16_t CarriageReturn = 0x0D;

// "0x00" to "0xFF", the marks of escaped bytes, made once at compile time.
struct HexMarks
{
    char text[256][5] = {};
};
constexpr HexMarks makeHexMarks()
{
    HexMarks marks;
    constexpr char digits[] = "0123456789ABCDEF";
    for (int b = 0; b < 256; ++b) {
        marks.text[b][0] = '0';
        marks.text[b][1] = 'x';
        marks.text[b][2] = digits[b >> 4];
        marks.text[b][3] = digits[b & 15];
    }
    return marks;
}
constexpr HexMarks hexMarks = makeHexMarks();

QLatin1String hexMark(int byte)
{
    return QLatin1String(hexMarks.text[byte], 4);
}

int escapeAt(QStringView text, qsizetype i)
{
    return text[i].isLowSurrogate() ? Charsets::escapedByte(text, i) : -1;
}

// A UTF-8 sequence begun within the last three bytes and cut by their end.
bool endsInCutUtf8(QByteArrayView bytes)
{
    for (qsizetype i = bytes.size() - 1; i >= 0 && i >= bytes.size() - 4; --i) {
        const uchar b = uchar(bytes[i]);
        if ((b & 0xC0) == 0x80)
            continue;
        const qsizetype length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        return length > bytes.size() - i;
    }
    return false;
}

bool appendCopy(QString &text, QStringView message, qsizetype limit)
{
    const qsizetype before = text.size();
    const auto refuse = [&] {
        text.truncate(before);
        return false;
    };
    // A block starts the message or follows the end of the one before.
    bool atBlockStart = true;
    for (qsizetype i = 0; i < message.size();) {
        // What is shown as itself goes in a run at a time.
        qsizetype end = i;
        while (end < message.size() && markAt(message, end).isEmpty())
            ++end;
        if (end > i) {
            if (end - i > limit - text.size())
                return refuse();
            text.append(message.sliced(i, end - i));
            atBlockStart = false;
            i = end;
            continue;
        }
        const QLatin1String mark = markAt(message, i);
        const QChar c = message[i++];
        if (c == StartBlock && atBlockStart) {
            atBlockStart = false;
            continue;
        }
        atBlockStart = false;
        if (c == EndBlock && i < message.size() && message[i] == CarriageReturn) {
            ++i;
            atBlockStart = true;
            continue;
        }
        const qsizetype length = c == CarriageReturn ? 1 : mark.size() + 2;
        if (length > limit - text.size())
            return refuse();
        if (c == CarriageReturn)
            text += QLatin1Char('\n');
        else
            text += QLatin1Char('<') + mark + QLatin1Char('>');
    }
    return true;
}
} // namespace

Shown shown(QByteArrayView bytes, const Charsets::Setting &setting, bool whole)
{
    Charsets::Choice choice = Charsets::choose(bytes, setting);
    // Automatic takes a cut sequence at the end for the start of a message;
    // in a whole one it is a sequence that never ended.
    if (whole && choice.why == Charsets::Choice::Why::AutomaticUtf8 && endsInCutUtf8(bytes))
        choice = {QByteArrayLiteral("ISO-8859-1"), Charsets::Choice::Why::AutomaticNotUtf8, choice.msh18};
    QString text = Charsets::decode(bytes, choice.name);
    // A character cut by the end of what was read is no fault of the message.
    for (int dropped = 0; !whole && dropped < 3 && !text.isEmpty() && escapeAt(text, text.size() - 1) >= 0;
         ++dropped)
        text.chop(1);
    return {std::move(text), std::move(choice)};
}

QLatin1String markFor(QChar c)
{
    static constexpr const char *names[32] = {
        "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "HT", "LF",
        "VT", "FF", "CR", "SO", "SI", "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
        "SYN", "ETB", "CAN", "EM", "SUB", "ESC", "FS", "GS", "RS", "US"};
    // The C1 controls by their ISO 6429 names: fonts draw them all alike, as
    // the same box or nothing.
    static constexpr const char *c1Names[32] = {
        "PAD", "HOP", "BPH", "NBH", "IND", "NEL", "SSA", "ESA", "HTS", "HTJ", "VTS",
        "PLD", "PLU", "RI", "SS2", "SS3", "DCS", "PU1", "PU2", "STS", "CCH", "MW",
        "SPA", "EPA", "SOS", "SGCI", "SCI", "CSI", "ST", "OSC", "PM", "APC"};
    const char16_t code = c.unicode();
    if (code < 32)
        return QLatin1String(names[code]);
    if (code == 127)
        return QLatin1String("DEL");
    if (code >= 0x80 && code < 0xA0)
        return QLatin1String(c1Names[code - 0x80]);
    // The soft hyphen is drawn only where a line breaks, so never.
    if (code == 0xAD)
        return QLatin1String("SHY");
    return {};
}

QLatin1String markAt(QStringView text, qsizetype i)
{
    const int escaped = escapeAt(text, i);
    return escaped >= 0 ? hexMark(escaped) : markFor(text[i]);
}

QString escapesMarked(QStringView text)
{
    QString marked;
    marked.reserve(text.size());
    qsizetype run = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int escaped = escapeAt(text, i);
        if (escaped < 0)
            continue;
        marked += text.sliced(run, i - run);
        marked += QLatin1Char('<') + hexMark(escaped) + QLatin1Char('>');
        run = i + 1;
    }
    marked += text.sliced(run);
    return marked;
}

int placeLength(QStringView text, qsizetype i)
{
    const char16_t c = text[i].unicode();
    if (c < 0x80)
        return 1;
    if (c < 0x800)
        return 2;
    if (QChar::isHighSurrogate(c))
        return i + 1 < text.size() && text[i + 1].isLowSurrogate() ? 4 : 3; // alone: as U+FFFD
    if (QChar::isLowSurrogate(c))
        return escapeAt(text, i) >= 0 ? 6 : 0; // "<0xC3>", or a pair's second half
    return 3;
}

QByteArray placeBytes(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x80) {
            bytes += char(c);
        } else if (const int escaped = escapeAt(text, i); escaped >= 0) {
            bytes += '<';
            bytes += QByteArrayView(hexMark(escaped).data(), 4);
            bytes += '>';
        } else if (placeLength(text, i) == 4) {
            const char32_t u = QChar::surrogateToUcs4(c, text[++i].unicode());
            bytes += char(0xF0 | (u >> 18));
            bytes += char(0x80 | ((u >> 12) & 0x3F));
            bytes += char(0x80 | ((u >> 6) & 0x3F));
            bytes += char(0x80 | (u & 0x3F));
        } else {
            const char16_t u = QChar::isSurrogate(c) ? char16_t(0xFFFD) : c;
            if (u < 0x800) {
                bytes += char(0xC0 | (u >> 6));
            } else {
                bytes += char(0xE0 | (u >> 12));
                bytes += char(0x80 | ((u >> 6) & 0x3F));
            }
            bytes += char(0x80 | (u & 0x3F));
        }
    }
    return bytes;
}

QString copyText(QStringView message)
{
    QString text;
    text.reserve(message.size());
    appendCopy(text, message, std::numeric_limits<qsizetype>::max());
    return text;
}

bool appendCopyText(QString &text, QStringView message, qsizetype limit)
{
    return appendCopy(text, message, limit);
}

bool appendCopyText(QString &text, QByteArrayView message, qsizetype limit, const Charsets::Setting &setting)
{
    return appendCopy(text, shown(message, setting).text, limit);
}

} // namespace MessageText
