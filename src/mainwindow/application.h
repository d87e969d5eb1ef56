#pragma once

// Runs the program: Qt's own command-line options and environment keep
// working; the program itself reads no command line.
int runAckmereProbe(int &argc, char **argv);
