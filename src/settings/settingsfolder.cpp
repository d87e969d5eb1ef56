#include "settingsfolder.h"

#include <QDir>

bool isSystemFolder(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    for (const QLatin1String top : {QLatin1String("/usr"), QLatin1String("/opt")}) {
        if (clean == top || clean.startsWith(top + QLatin1Char('/')))
            return true;
    }
    return false;
}

QString settingsFolder(const SettingsFolderFacts &facts)
{
    if (facts.programDirectoryHoldsIni
        || (facts.programDirectoryWritable && !isSystemFolder(facts.programDirectory)))
        return facts.programDirectory;
    // The XDG base directory rules ignore a relative $XDG_CONFIG_HOME.
    const QString configHome = QDir::isAbsolutePath(facts.xdgConfigHome)
                                       ? facts.xdgConfigHome
                                       : facts.home + QStringLiteral("/.config");
    return QDir::cleanPath(configHome + QStringLiteral("/AckmereProbe"));
}
