#include "settingsfile.h"

#include "numericvalue.h"

#include <QByteArrayView>

#include <array>

namespace {

// Walks the file one item at a time. Every item is a slice of the file's
// bytes, so nothing is copied until a value is kept, and each byte is looked
// at once.
class ItemReader
{
public:
    explicit ItemReader(QByteArrayView bytes) : m_bytes(bytes) {}

    bool atEnd() const { return m_pos >= m_bytes.size(); }

    QByteArrayView next()
    {
        skipBlanks();
        if (!atEnd() && m_bytes[m_pos] == '"')
            return quotedItem();
        const qsizetype start = m_pos;
        skipToDelimiter();
        const QByteArrayView item = m_bytes.sliced(start, m_pos - start);
        consumeDelimiter();
        return item;
    }

private:
    static bool isLineEnd(char c) { return c == '\r' || c == '\n'; }
    static bool isDelimiter(char c) { return c == ',' || isLineEnd(c); }

    // Only spaces: a TAB in front of a value is part of the value.
    void skipBlanks()
    {
        while (!atEnd() && m_bytes[m_pos] == ' ')
            ++m_pos;
    }

    void skipToDelimiter()
    {
        while (!atEnd() && !isDelimiter(m_bytes[m_pos]))
            ++m_pos;
    }

    // A comma, or CR LF, a lone CR or a lone LF as one line end.
    void consumeDelimiter()
    {
        if (atEnd())
            return;
        const char c = m_bytes[m_pos++];
        if (c == '\r' && !atEnd() && m_bytes[m_pos] == '\n')
            ++m_pos;
    }

    // Runs to the next double quote, or to the end of the file when there is
    // none; the closing quote and whatever follows it up to the delimiter are
    // lost.
    QByteArrayView quotedItem()
    {
        const qsizetype start = ++m_pos;
        while (!atEnd() && m_bytes[m_pos] != '"')
            ++m_pos;
        const QByteArrayView item = m_bytes.sliced(start, m_pos - start);
        skipToDelimiter();
        consumeDelimiter();
        return item;
    }

    QByteArrayView m_bytes;
    qsizetype m_pos = 0;
};

struct TextKey
{
    QByteArrayView key;
    QString SettingsRecord::*field;
};

const std::array<TextKey, 11> TextKeys{{
    {SettingsKeys::RemoteIP, &SettingsRecord::strRemoteIP},
    {SettingsKeys::Port, &SettingsRecord::strPort},
    {SettingsKeys::AutoStart, &SettingsRecord::strAutoStart},
    {SettingsKeys::ExitWarning, &SettingsRecord::strExitWarning},
    {SettingsKeys::MshBeforeDate, &SettingsRecord::strAckBeforeDate},
    {SettingsKeys::AckBeforeDate, &SettingsRecord::strAckBeforeDate},
    {SettingsKeys::MshAfterDate, &SettingsRecord::strAckAfterDate},
    {SettingsKeys::AckAfterDate, &SettingsRecord::strAckAfterDate},
    {SettingsKeys::MSASegment, &SettingsRecord::strMSASegment},
    {SettingsKeys::InterfaceName, &SettingsRecord::strInterfaceName},
    {SettingsKeys::LogfileLocation, &SettingsRecord::strLogfileLocation},
}};

QString SettingsRecord::*textFieldFor(QByteArrayView item)
{
    for (const TextKey &entry : TextKeys) {
        if (item == entry.key)
            return entry.field;
    }
    return nullptr;
}

bool isShowCountKey(QByteArrayView item)
{
    return item == QByteArrayView(SettingsKeys::ShowTransactionCount);
}

void appendLine(QByteArray &out, QByteArrayView line)
{
    out += line;
    out += "\r\n";
}

void appendSetting(QByteArray &out, const char *key, QByteArrayView value, bool last = false)
{
    appendLine(out, key);
    appendLine(out, value);
    if (!last)
        appendLine(out, {});
}

QByteArray showCountText(int showCount)
{
    return ' ' + QByteArray::number(showCount) + ' ';
}

// Puts `fallback` in place of an empty text; tells whether it did.
bool fillIfEmpty(QString &text, const QString &fallback)
{
    if (!text.isEmpty())
        return false;
    text = fallback;
    return true;
}

} // namespace

SettingsReadResult readSettings(const QByteArray &fileBytes, const SettingsRecord &start)
{
    SettingsReadResult result{start, true};
    // Editors that save as UTF-8 may put a byte order mark in front of the first key.
    QByteArrayView bytes(fileBytes);
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    ItemReader reader(bytes);
    while (!reader.atEnd()) {
        const QByteArrayView item = reader.next();
        QString SettingsRecord::*textField = textFieldFor(item);
        const bool showCount = !textField && isShowCountKey(item);
        if (!textField && !showCount)
            continue;
        // The value behind a key is read without looking for the end first,
        // so a key with nothing behind it leaves the file unreadable.
        if (reader.atEnd()) {
            result.ok = false;
            break;
        }
        const QByteArrayView value = reader.next();
        if (textField)
            result.record.*textField = QString::fromLatin1(value);
        else
            result.record.intShowCount = roundedToInt32(numericValue(QString::fromLatin1(value)));
    }
    return result;
}

QByteArray writeSettings(const SettingsRecord &values)
{
    QByteArray out;
    appendSetting(out, SettingsKeys::RemoteIP, values.strRemoteIP.toLatin1());
    appendSetting(out, SettingsKeys::Port, values.strPort.toLatin1());
    appendSetting(out, SettingsKeys::AutoStart, values.strAutoStart.toLatin1());
    appendSetting(out, SettingsKeys::ExitWarning, values.strExitWarning.toLatin1());
    appendSetting(out, SettingsKeys::MshBeforeDate, values.strAckBeforeDate.toLatin1());
    appendSetting(out, SettingsKeys::MshAfterDate, values.strAckAfterDate.toLatin1());
    appendSetting(out, SettingsKeys::MSASegment, values.strMSASegment.toLatin1());
    appendSetting(out, SettingsKeys::InterfaceName, values.strInterfaceName.toLatin1());
    appendSetting(out, SettingsKeys::ShowTransactionCount, showCountText(values.intShowCount));
    appendSetting(out, SettingsKeys::LogfileLocation, values.strLogfileLocation.toLatin1(), true);
    return out;
}

bool fillBlankSettings(SettingsRecord &record)
{
    bool filled = false;
    filled |= fillIfEmpty(record.strRemoteIP, SettingsDefaults::RemoteIP);
    filled |= fillIfEmpty(record.strPort, SettingsDefaults::Port);
    filled |= fillIfEmpty(record.strAutoStart, SettingsDefaults::AutoStart);
    filled |= fillIfEmpty(record.strExitWarning, SettingsDefaults::ExitWarning);
    filled |= fillIfEmpty(record.strAckBeforeDate, SettingsDefaults::AckBeforeDate);
    filled |= fillIfEmpty(record.strAckAfterDate, SettingsDefaults::AckAfterDate);
    filled |= fillIfEmpty(record.strMSASegment, SettingsDefaults::MSASegment);
    filled |= fillIfEmpty(record.strInterfaceName, SettingsDefaults::InterfaceName);
    if (record.intShowCount != 1 && record.intShowCount != 0) {
        record.intShowCount = SettingsDefaults::ShowCount;
        filled = true;
    }
    filled |= fillIfEmpty(record.strLogfileLocation, SettingsDefaults::LogfileLocation);
    return filled;
}
