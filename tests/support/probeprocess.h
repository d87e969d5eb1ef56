#pragma once

// The real program as a child process, as a pipeline or a container runs it;
// for the suites that run the built program rather than link it.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <utility>

// The program a suite runs: $ACKPROBE_PROGRAM when set, so that one suite
// can run against each program in turn; else the one it was built with.
QString programUnderTest(const char *built);

// The 29 lines of a settings file that listens on `port`, without starting
// by itself: a probe without a window must start anyway.
QByteArray settingsFileFor(quint16 port);
// That file written into `dir` as ackprobe.ini.
bool writeSettingsFileFor(const QString &dir, quint16 port);

// A pipe of the test's own, both ends closed with it, close-on-exec: the
// program's stderr when the test is the reader that goes away (`| head -1`).
struct Pipe
{
    Pipe() { if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) ends[0] = ends[1] = -1; }
    ~Pipe() { close(0); close(1); }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    void close(int end) { if (ends[end] >= 0) ::close(std::exchange(ends[end], -1)); }
    int ends[2] = {-1, -1}; // read, write
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
    // Until standard output holds `bytes`, the program ended or the time is up.
    bool printed(const QByteArray &bytes);

    QProcess process;
    QString said;      // standard error so far
    QByteArray output; // standard output so far
};
