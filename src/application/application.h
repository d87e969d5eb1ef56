#pragma once

// Runs the program: Qt's own command-line options and environment keep
// working beside the program's own (--help, --version, --settings-dir).
int runAckmereProbe(int &argc, char **argv);
