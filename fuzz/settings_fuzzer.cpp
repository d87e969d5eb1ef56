// libFuzzer target for the settings reader: arbitrary bytes as a settings
// file, then what the blank filler and the writer make of the result.
// fuzz/run.sh builds and runs it.

#include "settings/settingsfile.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

// A broken property is a finding like a crash: stop with the input saved.
void require(bool property)
{
    if (!property)
        std::abort();
}

// A value that the writer's line brings back unchanged: no delimiter inside,
// no leading blank or quote for the reader to take, one byte a character.
bool travelsUnchanged(const QString &value)
{
    if (!value.isEmpty()
        && (value.front() == u' ' || value.front() == u'\t' || value.front() == u'"'))
        return false;
    for (QChar c : value) {
        if (c == u',' || c == u'\r' || c == u'\n' || c.unicode() > 0xff)
            return false;
    }
    return true;
}

bool everyTextTravelsUnchanged(const SettingsRecord &r)
{
    for (const QString *text : {&r.strRemoteIP, &r.strPort, &r.strAutoStart, &r.strExitWarning,
                                &r.strAckBeforeDate, &r.strAckAfterDate, &r.strMSASegment,
                                &r.strInterfaceName, &r.strLogfileLocation}) {
        if (!travelsUnchanged(*text))
            return false;
    }
    return true;
}

// Every character that the reader puts into a text stands for one byte.
bool isEightBit(const SettingsRecord &r)
{
    for (const QString *text : {&r.strRemoteIP, &r.strPort, &r.strAutoStart, &r.strExitWarning,
                                &r.strAckBeforeDate, &r.strAckAfterDate, &r.strMSASegment,
                                &r.strInterfaceName, &r.strLogfileLocation}) {
        for (QChar c : *text) {
            if (c.unicode() > 0xff)
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray file = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));

    // On top of an empty record, and on top of a full one: a file that names
    // no setting leaves the starting record as it was.
    const SettingsReadResult read = readSettings(file, SettingsRecord{});
    require(isEightBit(read.record));
    SettingsRecord full;
    fillBlankSettings(full);
    const SettingsReadResult onTop = readSettings(file, full);
    require(onTop.ok == read.ok);

    // Filling blanks leaves nothing for a second pass.
    SettingsRecord record = read.record;
    fillBlankSettings(record);
    SettingsRecord again = record;
    require(!fillBlankSettings(again) && again == record);
    require(record.intShowCount == 0 || record.intShowCount == 1);

    // The written file reads back as the record wherever the format can
    // carry its texts, and then writes the same bytes again.
    const QByteArray written = writeSettings(record);
    require(written.endsWith("\r\n"));
    const SettingsReadResult back = readSettings(written, SettingsRecord{});
    if (everyTextTravelsUnchanged(record)) {
        require(back.ok);
        require(back.record == record);
        require(writeSettings(back.record) == written);
    }
    return 0;
}
