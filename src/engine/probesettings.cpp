#include "engine/probesettings.h"

#include "settings/numericvalue.h"
#include "settings/settingsfile.h"

namespace {
const QString UpdatedNotice = QStringLiteral("The ACKPROBE.INI file has been updated and saved.");
} // namespace

ProbeSettings::ProbeSettings(const QString &folder, FrontEnd frontEnd, QObject *parent)
    : QObject(parent), m_folder(folder), m_store(folder), m_frontEnd(std::move(frontEnd))
{
}

QString ProbeSettings::optionsFilePath() const
{
    return ::optionsFilePath(m_folder);
}

void ProbeSettings::tell(const QString &notice) const
{
    if (m_frontEnd.tell)
        m_frontEnd.tell(notice);
}

bool ProbeSettings::readOnce(QString *reason)
{
    if (!readSettingsInto(m_store, m_record, reason)) {
        emit changed();
        return false;
    }
    if (!checkBlankParameter()) {
        *reason = m_writeError;
        return false;
    }
    return true;
}

ProbeSettings::Reading ProbeSettings::readProgramInformation()
{
    const Reading reading = readOrRepair();
    if (reading != Reading::Refused)
        m_listenPort = roundedToInt32(numericValue(m_record.strPort));
    return reading;
}

ProbeSettings::Reading ProbeSettings::readOrRepair()
{
    QString reason;
    m_repairError.clear();
    if (readOnce(&reason))
        return Reading::Read;
    if (!m_frontEnd.repairFile || !m_frontEnd.repairFile(reason))
        return Reading::Refused;
    // The repair keeps what was read and fills the rest with defaults. If the
    // repaired file still cannot be written or read back, asking again would
    // only repeat itself: the run goes on with the settings in memory.
    if (!checkBlankParameter())
        reason = m_writeError; // the write's reason, not the first read's
    else if (readOnce(&reason))
        return Reading::Read;
    m_repairError = reason.isEmpty() ? m_writeError : reason;
    return Reading::NotRepaired;
}

bool ProbeSettings::checkBlankParameter()
{
    if (fillBlankSettings(m_record))
        m_updated = true;
    // The endpoint the operator sees starts again from the record.
    m_remoteAddress = m_record.strRemoteIP;
    m_remotePort = m_record.strPort;
    emit changed();
    return save();
}

bool ProbeSettings::save()
{
    return save(m_record);
}

bool ProbeSettings::save(const SettingsRecord &values)
{
    SettingsRecord written = values;
    written.strRemoteIP = m_remoteAddress;
    written.strPort = m_remotePort;
    if (!m_store.write(writeSettings(written), &m_writeError))
        return false;
    m_writeError.clear();
    if (m_updated) {
        m_updated = false;
        tell(UpdatedNotice);
    }
    return true;
}

void ProbeSettings::setRecord(const SettingsRecord &values)
{
    if (values == m_record)
        return;
    m_record = values;
    emit changed();
}

void ProbeSettings::setRemoteEndpoint(const QString &address, const QString &port)
{
    if (address == m_remoteAddress && port == m_remotePort)
        return;
    m_remoteAddress = address;
    m_remotePort = port;
    emit changed();
}

void ProbeSettings::setListenPort(qint32 port)
{
    m_listenPort = port;
}

QStringList ProbeSettings::readOptions()
{
    OptionsReading reading = ::readOptions(m_folder);
    m_options = reading.options;
    emit changed();
    return reading.problems;
}

void ProbeSettings::setOptions(const Options &options)
{
    Options taken = options;
    taken.listColumns = m_options.listColumns;
    if (taken == m_options)
        return;
    m_options = taken;
    emit changed();
}

QString ProbeSettings::saveOptions() const
{
    return writeOptions(m_folder, m_options);
}

QString ProbeSettings::setListColumns(const QStringList &columns)
{
    m_options.listColumns = columns;
    emit changed();
    return writeListColumns(m_folder, columns);
}
