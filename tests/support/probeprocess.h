#pragma once

// The real program as a child process, as a pipeline or a container runs it;
// for the suites that run the built program rather than link it.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// The program a suite runs: $ACKPROBE_PROGRAM when set, so that one suite
// can run against each program in turn; else the one it was built with.
QString programUnderTest(const char *built);

// The 29 lines of a settings file that listens on `port`, without starting
// by itself: a probe without a window must start anyway.
QByteArray settingsFileFor(quint16 port);
// That file written into `dir` as ackprobe.ini.
bool writeSettingsFileFor(const QString &dir, quint16 port);

// The program in `dir`, with no display to open.
class ProbeProcess
{
public:
    ProbeProcess(const QString &program, const QString &dir, const QStringList &arguments);
    ~ProbeProcess();
    ProbeProcess(const ProbeProcess &) = delete;
    ProbeProcess &operator=(const ProbeProcess &) = delete;

    // Until standard error holds `text`, the program ended or the time is up.
    bool told(const QString &text);

    QProcess process;
    QString said; // standard error so far
};
