#include "messagetext.h"

#include <limits>

namespace MessageText {

namespace {
constexpr char16_t StartBlock = 0x0B;
constexpr char16_t EndBlock = 0x1C;
constexpr char16_t CarriageReturn = 0x0D;

QChar charAt(QStringView text, qsizetype i)
{
    return text[i];
}
QChar charAt(QByteArrayView bytes, qsizetype i)
{
    return QChar(char16_t(uchar(bytes[i])));
}
void appendRun(QString &text, QStringView run)
{
    text.append(run);
}
void appendRun(QString &text, QByteArrayView run)
{
    text.append(QLatin1StringView(run.data(), run.size()));
}

template <typename View>
bool appendCopy(QString &text, View message, qsizetype limit)
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
        while (end < message.size() && markFor(charAt(message, end)).isEmpty())
            ++end;
        if (end > i) {
            if (end - i > limit - text.size())
                return refuse();
            appendRun(text, message.sliced(i, end - i));
            atBlockStart = false;
            i = end;
            continue;
        }
        const QChar c = charAt(message, i++);
        if (c == StartBlock && atBlockStart) {
            atBlockStart = false;
            continue;
        }
        atBlockStart = false;
        if (c == EndBlock && i < message.size() && charAt(message, i) == CarriageReturn) {
            ++i;
            atBlockStart = true;
            continue;
        }
        const QLatin1String mark = markFor(c);
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

bool appendCopyText(QString &text, QByteArrayView message, qsizetype limit)
{
    return appendCopy(text, message, limit);
}

} // namespace MessageText
