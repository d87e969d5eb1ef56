// ackmereprobe-nox, the probe for containers: it runs without a window
// unasked, and loads no library that draws one, so that a container needs
// neither X nor GL to run it.

#include "probeprocess.h"
#include "testbase.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class NoxTest : public QObject
{
    Q_OBJECT

private slots:
    void runsWithoutAWindowUnasked();
    void loadsNoWindowingLibrary();
};

void NoxTest::runsWithoutAWindowUnasked()
{
    QTemporaryDir dir;
    const quint16 port = freePort();
    QVERIFY(writeSettingsFileFor(dir.path(), port));
    // No --headless, and [AutoStart] Off: it listens all the same.
    ProbeProcess probe(QStringLiteral(ACKPROBE_NOX_EXECUTABLE), dir.path(),
                       {QStringLiteral("--settings-dir"), dir.path()});
    QVERIFY2(probe.told(QStringLiteral("AckmereProbe: Listening on port %1 ").arg(port)),
             qPrintable(probe.said));

    LoopbackClient client;
    QVERIFY(client.connectTo(port));
    const QDateTime from = QDateTime::currentDateTime();
    const QByteArray message = framed("MSH|^~\\&|A|B|C|D|||ADT^A01|NOX1|P|2.5\r");
    QVERIFY(client.send(message));
    QVERIFY(receivesAck(client, from));
    QVERIFY(client.nothingMoreWaiting());

    probe.process.terminate();
    QVERIFY(probe.process.waitForFinished(WaitMs));
    QCOMPARE(probe.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.process.exitCode(), 0);
    QFile log(dir.filePath(QStringLiteral("logfile.txt")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), message + "\r\n");
}

void NoxTest::loadsNoWindowingLibrary()
{
    // Every library the loader would map, those of Qt Core's own included.
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), {QStringLiteral(ACKPROBE_NOX_EXECUTABLE)});
    QVERIFY(ldd.waitForFinished(WaitMs));
    QCOMPARE(ldd.exitCode(), 0);
    const QString listed = QString::fromLocal8Bit(ldd.readAllStandardOutput());
    QVERIFY2(listed.contains(QStringLiteral("libQt6Core.so.6 => /")), qPrintable(listed));
    QVERIFY2(!listed.contains(QStringLiteral("not found")), qPrintable(listed));
    static const QRegularExpression windowing(
            QStringLiteral("^\\s*(libQt6(Gui|Widgets|Network|OpenGL|DBus|XcbQpa)|libX|libxcb|"
                           "libxkb|libGL|libEGL|libOpenGL|libwayland|libfontconfig|libfreetype)"),
            QRegularExpression::MultilineOption);
    const QRegularExpressionMatch found = windowing.match(listed);
    QVERIFY2(!found.hasMatch(), qPrintable(QStringLiteral("loads %1 in:\n%2")
                                                   .arg(found.captured(1), listed)));
}

QTEST_GUILESS_MAIN(NoxTest)
#include "tst_nox.moc"
