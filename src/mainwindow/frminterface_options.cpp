// The options beyond ackprobe.ini: whole MLLP messages, how answers go, the
// connections and the character set, kept by the settings in
// ackprobe-options.ini. The menu items and the options agree. The answer
// rules' editor writes ackprobe-rules.txt.

#include "frminterface.h"

#include "mainwindow/answerrulesdialog.h"
#include "mainwindow/charactersetdialog.h"
#include "mainwindow/connectionsdialog.h"
#include "mainwindow/messagecommands.h"
#include "windowing/windowing.h"

#include <QAction>
#include <QDir>

void frmInterface::loadOptions()
{
    const QStringList problems = m_settings.readOptions();
    showOptions();
    if (!problems.isEmpty())
        m_windowing.notice(this, QStringLiteral("Some values of %1 could not be read and take their defaults:\r\n%2")
                                         .arg(QDir::toNativeSeparators(m_settings.optionsFilePath()),
                                              problems.join(QStringLiteral("\r\n"))));
}

void frmInterface::showOptions()
{
    const Options &shown = options();
    mnuOptionsWholeMllpMessages->setChecked(shown.wholeMllpMessages);
    mnuOptionsAnswerAtOnce->setChecked(shown.answerMode == Options::AnswerMode::AtOnce);
    mnuOptionsAnswerAfterDelay->setChecked(shown.answerMode == Options::AnswerMode::Delayed);
    mnuOptionsAnswerNever->setChecked(shown.answerMode == Options::AnswerMode::Never);
    mnuOptionsAnswerAfterDelay->setText(shown.answerMode == Options::AnswerMode::Delayed
                                                ? QStringLiteral("After a Delay (%1 ms)...").arg(shown.delayMs)
                                                : QStringLiteral("After a Delay..."));
}

void frmInterface::saveOptions(const Options &chosen)
{
    m_settings.setOptions(chosen);
    const QString error = m_settings.saveOptions();
    if (error.isEmpty()) {
        m_optionsWriteFailureReported = false;
        return;
    }
    if (m_optionsWriteFailureReported)
        return;
    m_optionsWriteFailureReported = true;
    m_windowing.notice(this, QStringLiteral("The options file %1 could not be written: %2")
                                     .arg(QDir::toNativeSeparators(m_settings.optionsFilePath()), error));
}

void frmInterface::mnuOptionsWholeMllpMessages_Click()
{
    Options chosen = options();
    chosen.wholeMllpMessages = mnuOptionsWholeMllpMessages->isChecked();
    saveOptions(chosen);
}

void frmInterface::mnuOptionsAnswer_Click(Options::AnswerMode mode)
{
    Options chosen = options();
    if (mode == Options::AnswerMode::Delayed) {
        int delay = chosen.delayMs;
        if (!m_windowing.askNumber(this, QStringLiteral("Answer After a Delay"),
                                   QStringLiteral("Milliseconds from each message to its answer:"),
                                   chosen.delayMs, Options::ShortestDelayMs, Options::LongestDelayMs,
                                   &delay)) {
            showOptions(); // a cancel leaves the mode as it was
            return;
        }
        chosen.delayMs = delay;
    }
    chosen.answerMode = mode;
    // Taken and shown before it is written, so that a box about a failed
    // write finds the menu as chosen.
    m_settings.setOptions(chosen);
    showOptions();
    saveOptions(chosen);
}

void frmInterface::mnuOptionsConnections_Click()
{
    if (m_connectionsDialog) {
        m_connectionsDialog->raise();
        return;
    }
    auto *dialog = new ConnectionsDialog(options(), m_windowing, this);
    m_connectionsDialog = dialog;
    // The other options as they stand at OK, the connections as chosen.
    connect(dialog, &QDialog::accepted, this, [this, dialog] { saveOptions(dialog->appliedTo(options())); });
    connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    dialog->open();
}

ConnectionsDialog *frmInterface::connectionsDialog() const
{
    return m_connectionsDialog;
}

void frmInterface::mnuOptionsAnswerRules_Click()
{
    if (m_answerRulesDialog) {
        m_answerRulesDialog->raise();
        return;
    }
    // The file as it stands now; the run keeps the rules its Start read.
    auto *dialog = new AnswerRulesDialog(readRulesFile(m_settings.folder()), m_settings.rulesFilePath(),
                                         [this](const QString &text, QString *error) {
                                             return m_settings.saveRules(text, error);
                                         },
                                         this);
    m_answerRulesDialog = dialog;
    connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    dialog->open();
}

void frmInterface::mnuOptionsCharacterSet_Click()
{
    if (m_characterSetDialog) {
        m_characterSetDialog->raise();
        return;
    }
    auto *dialog = new CharacterSetDialog(options(), this);
    m_characterSetDialog = dialog;
    connect(dialog, &QDialog::accepted, this, [this, dialog] { saveOptions(dialog->appliedTo(options())); });
    connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    dialog->open();
}

AnswerRulesDialog *frmInterface::answerRulesDialog() const
{
    return m_answerRulesDialog;
}

CharacterSetDialog *frmInterface::characterSetDialog() const
{
    return m_characterSetDialog;
}

void frmInterface::showTextSetting()
{
    const Charsets::Setting setting{options().characterSet, options().useMsh18};
    m_receivedModel.setTextSetting(setting);
    m_messageCommands->setTextSetting(setting);
}
