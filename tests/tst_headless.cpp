// The probe without a window as a pipeline runs it: the real program as a
// child process with no display, real senders on loopback, SIGTERM.

#include "probeprocess.h"
#include "testbase.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// The program with a window asked to run without one, or ackmereprobe-nox.
QString program()
{
    return programUnderTest(ACKPROBE_EXECUTABLE);
}
} // namespace

class HeadlessTest : public QObject
{
    Q_OBJECT

private slots:
    void answersLogsAndEndsCleanlyOnSigterm();
    void whatCannotGoOnEndsWithAStatus();
};

void HeadlessTest::answersLogsAndEndsCleanlyOnSigterm()
{
    QTemporaryDir dir;
    const quint16 port = freePort();
    QVERIFY(writeSettingsFileFor(dir.path(), port));
    QFile ini(dir.filePath(QStringLiteral("ackprobe.ini")));
    ProbeProcess probe(program(), dir.path(), {QStringLiteral("--headless"), QStringLiteral("--settings-dir"), dir.path()});
    QVERIFY2(probe.told(QStringLiteral("Listening on port %1 ").arg(port)), qPrintable(probe.said));

    LoopbackClient client;
    QVERIFY(client.connectTo(port));
    QVERIFY2(probe.told(QStringLiteral("Sender 127.0.0.1 port")), qPrintable(probe.said));
    const QDateTime from = QDateTime::currentDateTime();
    QByteArray log;
    for (int i = 0; i < 3; ++i) {
        const QByteArray message = framed("MSH|^~\\&|A|B|C|D|||ADT^A01|M" + QByteArray::number(i) + "|P|2.5\r");
        QVERIFY(client.send(message));
        QVERIFY(receivesAck(client, from));
        log += message + "\r\n";
    }
    client.close();
    QVERIFY2(probe.told(QStringLiteral("closed the connection")), qPrintable(probe.said));

    probe.process.terminate();
    QVERIFY(probe.process.waitForFinished(WaitMs));
    QCOMPARE(probe.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.process.exitCode(), 0);
    QFile written(dir.filePath(QStringLiteral("logfile.txt")));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), log);
    // Nothing was asked: the settings file stands as it was.
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), settingsFileFor(port));
}

void HeadlessTest::whatCannotGoOnEndsWithAStatus()
{
    QTemporaryDir dir;
    LoopbackClient holder;
    const quint16 port = holder.listenOnLoopback();
    QVERIFY(port != 0);
    QVERIFY(writeSettingsFileFor(dir.path(), port));
    {
        // No operator is there to pick another port.
        ProbeProcess probe(program(), dir.path(), {QStringLiteral("--headless"), QStringLiteral("--settings-dir"), dir.path()});
        QVERIFY(probe.process.waitForFinished(WaitMs));
        probe.said += QString::fromLocal8Bit(probe.process.readAllStandardError());
        QVERIFY(probe.process.exitCode() != 0);
        QVERIFY2(probe.said.contains(QStringLiteral("port %1 is already in use").arg(port)), qPrintable(probe.said));
    }
    // Errors on the command line need no display in either mode.
    for (const QStringList &arguments : {QStringList{QStringLiteral("--headless"), QStringLiteral("--no-such-option")},
                                         QStringList{QStringLiteral("--no-such-option")},
                                         QStringList{QStringLiteral("--settings-dir"), dir.filePath(QStringLiteral("missing"))}}) {
        ProbeProcess probe(program(), dir.path(), arguments);
        QVERIFY(probe.process.waitForFinished(WaitMs));
        const QString said = QString::fromLocal8Bit(probe.process.readAllStandardError());
        QCOMPARE(probe.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.process.exitCode(), 1);
        QVERIFY2(said.contains(QStringLiteral("--help")), qPrintable(said));
    }
}

QTEST_GUILESS_MAIN(HeadlessTest)
#include "tst_headless.moc"
