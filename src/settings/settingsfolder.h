#pragma once

#include <QString>

// What the choice of the settings folder rests on, as found when the program
// starts. Plain values, so that the choice can be tried on any paths.
struct SettingsFolderFacts
{
    QString programDirectory; // the executable's folder, absolute
    bool programDirectoryHoldsIni = false;
    bool programDirectoryWritable = false;
    QString xdgConfigHome; // $XDG_CONFIG_HOME; empty when unset
    QString home;          // $HOME
};

// The folder whose ackprobe.ini the program reads and writes. Beside the
// executable for the portable use (a folder that already holds the file, or
// one of the user's own); otherwise the user's configuration folder, so that
// an installed program never writes into /usr or /opt.
QString settingsFolder(const SettingsFolderFacts &facts);

// /usr and /opt and everything below them: the folders that packages own.
bool isSystemFolder(const QString &path);
