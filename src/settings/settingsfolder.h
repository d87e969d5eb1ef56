#pragma once

#include <QByteArray>
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

// A folder named on the command line, by the bytes of its name as given.
struct NamedFolder
{
    QString path;    // a path Qt opens it by; empty when it cannot be used
    QString refusal; // why not, a sentence naming the folder
};
NamedFolder namedSettingsFolder(const QByteArray &name);

// A name's bytes as text for the operator: UTF-8 as it stands, every other
// byte as \xNN.
QString escapedName(const QByteArray &name);
// `text` with the path Qt reaches a folder held by its descriptor through
// (a name that is not UTF-8) put back as the folder was named.
QString shownPath(const QString &text);

// The bytes of the program's own argument that Qt's arguments() show as
// `text` (the whole argument, or what follows its first '='). Qt holds the
// arguments as text, and a name that is not valid UTF-8 loses its bytes
// there; a name that is keeps them.
QByteArray givenBytes(const QString &text);

// Why no file can be made in `folder`, in the system's words: a loop, a name
// too long, or a missing folder whose nearest existing parent the user cannot
// write in ("Permission denied"). Empty when nothing in the way is known.
QString folderFault(const QString &folder);
