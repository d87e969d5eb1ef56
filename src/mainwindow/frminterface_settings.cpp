// The settings file as the main window reads, repairs and rewrites it.

#include "frminterface.h"

#include "settings/settingsfile.h"
#include "setup/frmsetup.h"
#include "windowing/windowing.h"

#include <QDir>
#include <QLineEdit>

namespace {
const QString FileErrorQuestion = QStringLiteral("The file ACKPROBE.INI was not\r\n"
                                                 "found in the default directory\r\n"
                                                 "or contains errors.\r\n"
                                                 "Do you wish to fix the file?");
const QString UpdatedNotice = QStringLiteral("The ACKPROBE.INI file has been updated and saved.");
} // namespace

bool frmInterface::readSettingsOnce(QString *reason)
{
    if (!readSettingsInto(m_settingsStore, m_record, reason))
        return false;
    if (!CheckBlankParameter()) {
        *reason = m_settingsWriteError;
        return false;
    }
    if (m_setup)
        m_setup->LoadTextBoxes();
    return true;
}

void frmInterface::ReadProgramInformation()
{
    QString reason;
    if (readSettingsOnce(&reason))
        return;
    if (!m_windowing.question(this, FileErrorQuestion, QStringLiteral("File Error"))) {
        m_windowing.endProgram();
        return;
    }
    // The repair keeps what was read and fills the rest with defaults. If the
    // repaired file still cannot be written or read back, asking again would
    // only repeat itself: the operator is told why and the run goes on with
    // the settings in memory.
    if (!CheckBlankParameter())
        reason = m_settingsWriteError; // the write's reason, not the first read's
    else if (readSettingsOnce(&reason))
        return;
    if (reason.isEmpty())
        reason = m_settingsWriteError;
    m_windowing.notice(this, QStringLiteral("The settings file %1 could not be repaired: %2\r\n"
                                            "The program goes on with the settings shown.")
                                 .arg(QDir::toNativeSeparators(m_settingsStore.filePath()), reason));
    if (m_setup)
        m_setup->LoadTextBoxes();
}

bool frmInterface::CheckBlankParameter()
{
    if (fillBlankSettings(m_record))
        m_strUpdate = QStringLiteral("Yes");
    txtRemoteIPAddress->setText(m_record.strRemoteIP);
    txtRemotePort->setText(m_record.strPort);
    if (m_setup)
        m_setup->LoadTextBoxes();
    return SaveFile();
}

bool frmInterface::SaveFile()
{
    return SaveFile(m_record);
}

bool frmInterface::SaveFile(const SettingsRecord &values)
{
    // The remote endpoint as its boxes show it, the rest from the record as
    // it stands or, for the setup dialog's Save, as it is about to be.
    SettingsRecord shown = values;
    shown.strRemoteIP = txtRemoteIPAddress->text();
    shown.strPort = txtRemotePort->text();
    if (!m_settingsStore.write(writeSettings(shown), &m_settingsWriteError))
        return false;
    m_settingsWriteError.clear();
    if (m_strUpdate == QLatin1String("Yes")) {
        m_windowing.notice(this, UpdatedNotice);
        m_strUpdate = QStringLiteral("No");
    }
    return true;
}

void frmInterface::saveFileOrReport()
{
    if (!SaveFile())
        reportSettingsWriteFailure();
}

void frmInterface::reportSettingsWriteFailure()
{
    m_windowing.notice(this, QStringLiteral("The settings file %1 could not be written: %2")
                                 .arg(QDir::toNativeSeparators(m_settingsStore.filePath()),
                                      m_settingsWriteError));
}
