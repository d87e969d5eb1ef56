#include "messagetext.h"

namespace MessageText {

namespace {
constexpr char16_t StartBlock = 0x0B;
constexpr char16_t EndBlock = 0x1C;
constexpr char16_t CarriageReturn = 0x0D;

bool endsBlockAt(QStringView text, qsizetype i)
{
    return i + 1 < text.size() && text[i] == EndBlock && text[i + 1] == CarriageReturn;
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
    // A block starts the message or follows the end of the one before.
    bool atBlockStart = true;
    for (qsizetype i = 0; i < message.size(); ++i) {
        const QChar c = message[i];
        if (c == StartBlock && atBlockStart) {
            atBlockStart = false;
            continue;
        }
        atBlockStart = false;
        if (endsBlockAt(message, i)) {
            ++i;
            atBlockStart = true;
        } else if (c == CarriageReturn) {
            text += QLatin1Char('\n');
        } else if (const QLatin1String mark = markFor(c); !mark.isEmpty()) {
            text += QLatin1Char('<') + mark + QLatin1Char('>');
        } else {
            text += c;
        }
    }
    return text;
}

} // namespace MessageText
