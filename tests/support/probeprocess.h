#pragma once

// The real program as a child process, as a pipeline or a container runs it;
// for the suites that run the built program rather than link it.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

// The program a suite runs: $ACKPROBE_PROGRAM when set, so that one suite
// can run against each program in turn; else the one it was built with.
QString programUnderTest(const char *built);

// The 29 lines of a settings file that listens on `port`, without starting
// by itself: a probe without a window must start anyway.
QByteArray settingsFileFor(quint16 port);
// That file written into `dir` as ackprobe.ini.
bool writeSettingsFileFor(const QString &dir, quint16 port);

// A pipe of the test's own, both ends closed with it: the program's standard
// error when the test is to be the reader that goes away (`| head -1`).
class Pipe
{
public:
    Pipe();
    ~Pipe();
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;

    bool isValid() const { return m_read >= 0 && m_write >= 0; }
    // In the child, before the program runs: the write end as its stderr.
    void becomeStandardError() const;
    void closeRead();
    void closeWrite();
    // Until what was read holds `text`, the writers are gone or the time is up.
    bool holds(const QString &text);
    QString read; // what came so far

private:
    int m_read = -1;
    int m_write = -1;
};

// The program in `dir`, with no display to open. `inChild` runs in the child
// before the program does (a resource limit, a standard error of its own).
class ProbeProcess
{
public:
    ProbeProcess(const QString &program, const QString &dir, const QStringList &arguments,
                 const std::function<void()> &inChild = {});
    ~ProbeProcess();
    ProbeProcess(const ProbeProcess &) = delete;
    ProbeProcess &operator=(const ProbeProcess &) = delete;

    // Until standard error holds `text`, the program ended or the time is up.
    bool told(const QString &text);

    QProcess process;
    QString said; // standard error so far
};
