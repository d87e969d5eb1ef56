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
    const char16_t code = c.unicode();
    if (code < 32)
        return QLatin1String(names[code]);
    if (code == 127)
        return QLatin1String("DEL");
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
