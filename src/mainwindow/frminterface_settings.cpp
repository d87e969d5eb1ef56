// The settings file as the main window reads, repairs and rewrites it: thin
// procedures over the settings, which own the file; the window asks the
// repair question and shows the notices.

#include "frminterface.h"

#include "setup/frmsetup.h"
#include "windowing/windowing.h"

#include <QDir>
#include <QLineEdit>
#include <QScopedValueRollback>

namespace {
const QString FileErrorQuestion = QStringLiteral("The file ACKPROBE.INI was not\r\n"
                                                 "found in the default directory\r\n"
                                                 "or contains errors.\r\n"
                                                 "Do you wish to fix the file?");
} // namespace

ProbeSettings::FrontEnd frmInterface::settingsFrontEnd()
{
    return {[this](const QString &) {
                return m_windowing.question(this, FileErrorQuestion, QStringLiteral("File Error"));
            },
            [this](const QString &notice) { m_windowing.notice(this, notice); }};
}

void frmInterface::ReadProgramInformation()
{
    switch (m_settings.readProgramInformation()) {
    case ProbeSettings::Reading::Read:
        break;
    case ProbeSettings::Reading::Refused:
        m_windowing.endProgram();
        return;
    case ProbeSettings::Reading::NotRepaired:
        m_windowing.notice(this, QStringLiteral("The settings file %1 could not be repaired: %2\r\n"
                                                "The program goes on with the settings shown.")
                                     .arg(QDir::toNativeSeparators(m_settings.filePath()),
                                          m_settings.repairError()));
        break;
    }
    if (m_setup)
        m_setup->LoadTextBoxes();
}

void frmInterface::showSettings()
{
    // The remote boxes are the live copy of the endpoint the settings write;
    // they follow the settings when the settings change underneath them.
    const QScopedValueRollback showing(m_showingSettings, true);
    if (txtRemoteIPAddress->text() != m_settings.remoteAddress())
        txtRemoteIPAddress->setText(m_settings.remoteAddress());
    if (txtRemotePort->text() != m_settings.remotePort())
        txtRemotePort->setText(m_settings.remotePort());
}

bool frmInterface::SaveFile()
{
    return m_settings.save();
}

bool frmInterface::SaveFile(const SettingsRecord &values)
{
    return m_settings.save(values);
}

void frmInterface::saveFileOrReport()
{
    if (!SaveFile())
        reportSettingsWriteFailure();
}

void frmInterface::reportSettingsWriteFailure()
{
    m_windowing.notice(this, QStringLiteral("The settings file %1 could not be written: %2")
                                 .arg(QDir::toNativeSeparators(m_settings.filePath()),
                                      m_settings.writeError()));
}
