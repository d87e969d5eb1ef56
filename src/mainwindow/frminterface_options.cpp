// The options beyond ackprobe.ini: whole MLLP messages and how answers go,
// kept in ackprobe-options.ini beside it. The menu items and the file agree.

#include "frminterface.h"

#include "windowing/windowing.h"

#include <QAction>
#include <QDir>

void frmInterface::loadOptions()
{
    const OptionsReading reading = readOptions(m_settingsFolder);
    m_options = reading.options;
    showOptions();
    if (!reading.problems.isEmpty())
        m_windowing.notice(this, QStringLiteral("Some values of %1 could not be read and take their defaults:\r\n%2")
                                         .arg(QDir::toNativeSeparators(m_settingsFolder + QLatin1Char('/')
                                                                       + QLatin1String(OptionsFileName)),
                                              reading.problems.join(QStringLiteral("\r\n"))));
}

void frmInterface::showOptions()
{
    mnuOptionsWholeMllpMessages->setChecked(m_options.wholeMllpMessages);
    mnuOptionsAnswerAtOnce->setChecked(m_options.answerMode == Options::AnswerMode::AtOnce);
    mnuOptionsAnswerAfterDelay->setChecked(m_options.answerMode == Options::AnswerMode::Delayed);
    mnuOptionsAnswerNever->setChecked(m_options.answerMode == Options::AnswerMode::Never);
    mnuOptionsAnswerAfterDelay->setText(m_options.answerMode == Options::AnswerMode::Delayed
                                                ? QStringLiteral("After a Delay (%1 ms)...").arg(m_options.delayMs)
                                                : QStringLiteral("After a Delay..."));
}

void frmInterface::saveOptions()
{
    // The list's columns are the list's to write: they are kept as the file has them.
    Options written = m_options;
    written.listColumns = readOptions(m_settingsFolder).options.listColumns;
    const QString error = writeOptions(m_settingsFolder, written);
    if (error.isEmpty()) {
        m_optionsWriteFailureReported = false;
        return;
    }
    if (m_optionsWriteFailureReported)
        return;
    m_optionsWriteFailureReported = true;
    m_windowing.notice(this, QStringLiteral("The options file %1 could not be written: %2")
                                     .arg(QDir::toNativeSeparators(m_settingsFolder + QLatin1Char('/')
                                                                   + QLatin1String(OptionsFileName)),
                                          error));
}

void frmInterface::mnuOptionsWholeMllpMessages_Click()
{
    m_options.wholeMllpMessages = mnuOptionsWholeMllpMessages->isChecked();
    saveOptions();
}

void frmInterface::mnuOptionsAnswer_Click(Options::AnswerMode mode)
{
    if (mode == Options::AnswerMode::Delayed) {
        int delay = m_options.delayMs;
        if (!m_windowing.askNumber(this, QStringLiteral("Answer After a Delay"),
                                   QStringLiteral("Milliseconds from each message to its answer:"),
                                   m_options.delayMs, Options::ShortestDelayMs, Options::LongestDelayMs,
                                   &delay)) {
            showOptions(); // a cancel leaves the mode as it was
            return;
        }
        m_options.delayMs = delay;
    }
    m_options.answerMode = mode;
    showOptions();
    saveOptions();
}
