#include "probeprocess.h"

#include "testbase.h"

#include <QFile>
#include <QProcessEnvironment>

QString programUnderTest(const char *built)
{
    const QString chosen = qEnvironmentVariable("ACKPROBE_PROGRAM");
    return chosen.isEmpty() ? QString::fromLocal8Bit(built) : chosen;
}

QByteArray settingsFileFor(quint16 port)
{
    return "[RemoteIP]\r\n0.0.0.0\r\n\r\n[Port]\r\n" + QByteArray::number(port)
           + "\r\n\r\n[AutoStart]\r\nOff\r\n\r\n[ExitWarning]\r\nTrue\r\n\r\n"
             "[MSH before date]\r\n|||||\r\n\r\n[MSH after date]\r\n||ACK|||||||||\r\n\r\n"
             "[MSA Segment]\r\n|AA||||||\r\n\r\n[Interface Name]\r\nInterface\r\n\r\n"
             "[Show Transaction Count]\r\n 0 \r\n\r\n[Logfile Location]\r\nlogfile.txt\r\n";
}

ProbeProcess::ProbeProcess(const QString &program, const QString &dir, const QStringList &arguments,
                           const std::function<void()> &inChild)
{
    if (inChild)
        process.setChildProcessModifier(inChild);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir);
    process.start(program, arguments);
}

ProbeProcess::~ProbeProcess()
{
    process.kill();
    process.waitForFinished();
}

bool ProbeProcess::told(const QString &text)
{
    return waitUntil([&] {
        process.waitForReadyRead(10);
        said += QString::fromLocal8Bit(process.readAllStandardError());
        return said.contains(text) || process.state() == QProcess::NotRunning;
    }) && said.contains(text);
}

bool ProbeProcess::printed(const QByteArray &bytes)
{
    return waitUntil([&] {
        process.waitForReadyRead(10);
        output += process.readAllStandardOutput();
        return output.contains(bytes) || process.state() == QProcess::NotRunning;
    }) && output.contains(bytes);
}

bool writeSettingsFileFor(const QString &dir, quint16 port)
{
    QFile ini(dir + QStringLiteral("/ackprobe.ini"));
    const QByteArray bytes = settingsFileFor(port);
    return ini.open(QIODevice::WriteOnly) && ini.write(bytes) == bytes.size();
}
