// The answer rules beside the settings: read at each Start, written for the
// window's editor.

#include "engine/probesettings.h"

#include "settings/rulesfile.h"

#include <QSaveFile>

QString ProbeSettings::rulesFilePath() const
{
    return ::rulesFilePath(m_folder);
}

QStringList ProbeSettings::readRules()
{
    const RulesFileReading file = readRulesFile(m_folder);
    QStringList problems;
    if (!file.problem.isEmpty()) {
        // A file that cannot be read is none: answers go as configured.
        m_rules = {};
        problems << file.problem;
        return problems;
    }
    m_rules = AnswerRules::read(file.text);
    for (const QString &problem : std::as_const(m_rules.problems))
        problems << QStringLiteral("%1 %2; the line is ignored.").arg(QLatin1String(RulesFileName), problem);
    return problems;
}

bool ProbeSettings::saveRules(const QString &text, QString *error)
{
    const QByteArray bytes = text.toUtf8();
    QSaveFile file(rulesFilePath());
    // As ackprobe.ini: a writable file in a folder that takes no new file is
    // rewritten in place.
    file.setDirectWriteFallback(true);
    bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    if (written)
        written = file.commit();
    else
        file.cancelWriting();
    if (!written && error)
        *error = file.errorString();
    return written;
}
