#pragma once

#include <QString>

// Which program reads the command line: the one with a window runs without
// it when asked (--headless); ackmereprobe-nox has none, so always does.
enum class Front { Window, NoWindow };

// What is left for the program once the command line has been read.
struct Launch
{
    bool ended = false;     // answered, refused or ran without a window
    int status = 0;         // the exit status once ended
    QString settingsFolder; // for the window: empty for the usual one
};

// Reads the command line before any Qt application exists, so that its
// answers, its errors and the probe without a window need no display; does
// all of that itself. Qt's own options are taken and left for the window.
Launch launch(int &argc, char **argv, Front front);

// Beside the executable for the portable use, else the user's configuration
// folder, made on the way. Needs the Qt application.
QString usualSettingsFolder();

// The name and version the program gives: the same from every program, so
// that each says and keeps the same.
void nameTheApplication();
