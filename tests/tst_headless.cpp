// The probe without a window as a pipeline runs it: the real program as a
// child process with no display, real senders on loopback, signals, a lost stderr.

#include "probeprocess.h"
#include "testbase.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {
// The program with a window asked to run without one, or ackmereprobe-nox.
QString program()
{
    return programUnderTest(ACKPROBE_EXECUTABLE);
}

// A folder whose name is not UTF-8, which Qt cannot name: made and removed
// by its bytes, with all it holds.
struct BytesFolder
{
    explicit BytesFolder(const QByteArray &path) : name(path) { made = ::mkdir(path.constData(), 0700) == 0; }
    ~BytesFolder()
    {
        ::nftw(name.constData(), [](const char *path, const struct stat *, int, FTW *) { return ::remove(path); },
               8, FTW_DEPTH | FTW_PHYS);
    }
    bool write(const char *file, const QByteArray &bytes) const
    {
        QFile out;
        const int fd = ::open((name + '/' + file).constData(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
        return fd >= 0 && out.open(fd, QIODevice::WriteOnly, QFile::AutoCloseHandle) && out.write(bytes) == bytes.size();
    }
    QByteArray name;
    bool made = false;
};

bool put(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
} // namespace

class HeadlessTest : public QObject
{
    Q_OBJECT

private slots:
    void answersLogsAndEndsCleanlyOnSigterm();
    void whatCannotGoOnEndsWithAStatus();
    void servesOnWhenStandardErrorLosesItsReader();
    void sighupReopensTheLogForRotation();
    void verbosePrintsEachMessagesRuleAndAnswer();
    void tellsInTheOperatorsWords();
};

void HeadlessTest::answersLogsAndEndsCleanlyOnSigterm()
{
    QTemporaryDir dir;
    const quint16 port = freePort();
    QVERIFY(writeSettingsFileFor(dir.path(), port));
    QFile ini(dir.filePath(QStringLiteral("ackprobe.ini")));
    // A NUL in an option neither cuts its line short nor joins it to the next.
    QFile options(dir.filePath(QStringLiteral("ackprobe-options.ini")));
    QVERIFY(options.open(QIODevice::WriteOnly) && options.write("[Answer]\nMode=Never\0\n", 21) == 21 && options.flush());
    ProbeProcess probe(program(), dir.path(), {QStringLiteral("--headless"), QStringLiteral("--settings-dir"), dir.path()});
    QVERIFY2(probe.told(QStringLiteral("Listening on port %1 ").arg(port)), qPrintable(probe.said));
    QVERIFY2(probe.said.startsWith(QStringLiteral("AckmereProbe: [Answer] Mode \"Never<0x00>\" is not AtOnce, Delayed or Never; "
                                                  "AtOnce is used.\nAckmereProbe: Listening")), qPrintable(probe.said));

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
    // Without --verbose nothing goes to standard output.
    QCOMPARE(probe.process.readAllStandardOutput(), QByteArray());
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
    {
        // Never plain TCP where TLS was asked for: a certificate that cannot be read ends it.
        QTemporaryDir tls;
        QVERIFY(writeSettingsFileFor(tls.path(), freePort()));
        QFile options(tls.filePath(QStringLiteral("ackprobe-options.ini")));
        QVERIFY(options.open(QIODevice::WriteOnly) && options.write("[TLS]\nCertificate=gone.pem\nKey=gone.key\n") > 0);
        options.close();
        ProbeProcess probe(program(), tls.path(), {QStringLiteral("--headless"), QStringLiteral("--settings-dir"), tls.path()});
        QVERIFY(probe.process.waitForFinished(WaitMs));
        probe.said += QString::fromLocal8Bit(probe.process.readAllStandardError());
        QCOMPARE(probe.process.exitCode(), 2);
        QVERIFY2(probe.said.contains(QStringLiteral("The listener was not started: Cannot read the certificate file \"%1\": "
                                                    "No such file or directory").arg(tls.filePath(QStringLiteral("gone.pem")))),
                 qPrintable(probe.said));
        QVERIFY(!probe.said.contains(QStringLiteral("Listening")));
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

void HeadlessTest::servesOnWhenStandardErrorLosesItsReader()
{
    QTemporaryDir dir;
    const quint16 port = freePort();
    QVERIFY(writeSettingsFileFor(dir.path(), port));
    // The reader goes after the probe's first bytes (`| head -1`), or before
    // it starts: each line told after that meets a broken pipe.
    for (const bool readFirst : {true, false}) {
        Pipe told;
        if (!readFirst)
            told.close(0);
        ProbeProcess probe(program(), dir.path(), {QStringLiteral("--headless"), QStringLiteral("--settings-dir"), dir.path()},
                           [&told] { ::dup2(told.ends[1], STDERR_FILENO); });
        told.close(1);
        QVERIFY(!readFirst || waitUntil([&] { char byte; return ::read(told.ends[0], &byte, 1) == 1; }));
        told.close(0);
        LoopbackClient client;
        QVERIFY(waitUntil([&] { return client.connectTo(port); }));
        const QDateTime from = QDateTime::currentDateTime();
        for (int i = 0; i < 2; ++i)
            QVERIFY(client.send(framed("MSH|^~\\&|A|B|C|D|||ADT^A01|P" + QByteArray::number(i) + "|P|2.5\r")) && receivesAck(client, from));
        client.close();
        probe.process.terminate();
        QVERIFY(probe.process.waitForFinished(WaitMs));
        QCOMPARE(probe.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.process.exitCode(), 0);
    }
}

void HeadlessTest::sighupReopensTheLogForRotation()
{
    QTemporaryDir dir;
    const quint16 port = freePort();
    QVERIFY(writeSettingsFileFor(dir.path(), port));
    QList<QByteArray> lines;
    for (int i = 0; i < 4; ++i)
        lines << framed("MSH|^~\\&|A|B|C|D|||ADT^A01|R" + QByteArray::number(i) + "|P|2.5\rNTE|1|"
                        + QByteArray(1000, char('a' + i)) + "\r") + "\r\n";
    // A file-size limit stands in for a full disk: two lines fit, the third waits.
    const rlim_t limit = rlim_t(2 * lines[0].size() + lines[0].size() / 2);
    ProbeProcess probe(program(), dir.path(), {QStringLiteral("--headless"), QStringLiteral("--settings-dir"), dir.path()},
                       [limit] { const rlimit size{limit, limit}; ::setrlimit(RLIMIT_FSIZE, &size); });
    QVERIFY2(probe.told(QStringLiteral("Listening on port %1 ").arg(port)), qPrintable(probe.said));
    LoopbackClient client;
    QVERIFY(client.connectTo(port));
    const QDateTime from = QDateTime::currentDateTime();
    const auto answered = [&](int i) { return client.send(lines[i].chopped(2)) && receivesAck(client, from); };
    for (int i = 0; i < 3; ++i)
        QVERIFY(answered(i));
    QVERIFY2(probe.told(QStringLiteral("The logfile logfile.txt could not be written: File too large")), qPrintable(probe.said));

    // Rotation: the log renamed, then SIGHUP; the waiting line and the next go into the new file.
    const QString path = dir.filePath(QStringLiteral("logfile.txt"));
    QVERIFY(QFile::rename(path, path + QStringLiteral(".1")));
    QCOMPARE(::kill(pid_t(probe.process.processId()), SIGHUP), 0);
    QVERIFY2(probe.told(QStringLiteral("AckmereProbe: The logfile logfile.txt was reopened.\n")), qPrintable(probe.said));
    QVERIFY(answered(3));
    probe.process.terminate();
    QVERIFY(probe.process.waitForFinished(WaitMs));
    QCOMPARE(probe.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.process.exitCode(), 0);
    probe.said += QString::fromLocal8Bit(probe.process.readAllStandardError());
    QVERIFY2(probe.said.endsWith(QStringLiteral("AckmereProbe: Stopped.\n")), qPrintable(probe.said));
    QFile rotated(path + QStringLiteral(".1"));
    QVERIFY(rotated.open(QIODevice::ReadOnly));
    QCOMPARE(rotated.readAll(), lines[0] + lines[1]);
    QFile reopened(path);
    QVERIFY(reopened.open(QIODevice::ReadOnly));
    QCOMPARE(reopened.readAll(), lines[2] + lines[3]);
}

void HeadlessTest::verbosePrintsEachMessagesRuleAndAnswer()
{
    QTemporaryDir dir;
    const quint16 port = freePort();
    // Whole blocks: a message without an answer and the next may come in one arrival.
    QVERIFY(writeSettingsFileFor(dir.path(), port)
            && put(dir.filePath(QStringLiteral("ackprobe-options.ini")), "[Receive]\nWholeMllpMessages=true\n")
            && put(dir.filePath(QStringLiteral("ackprobe-rules.txt")),
                   "# answers by rule\n{MSH-10} = M2 -> AE\n{MSH-10} = M3 -> never\n{MSH-10} = M4 -> sometimes\n"
                   "{MSH-10} = M5 -> delay 200\n{MSH-10} = M8 -> reset\n"));
    ProbeProcess probe(program(), dir.path(),
                       {QStringLiteral("--headless"), QStringLiteral("--verbose"), QStringLiteral("--settings-dir"), dir.path()});
    QVERIFY2(probe.told(QStringLiteral("Listening on port %1 ").arg(port)), qPrintable(probe.said));
    // The line that cannot be read is told at the start, with its reason.
    QVERIFY2(probe.said.contains(QStringLiteral("line 4: unknown action \"sometimes\"")), qPrintable(probe.said));

    LoopbackClient client;
    QVERIFY(client.connectTo(port));
    const QDateTime from = QDateTime::currentDateTime();
    const auto message = [](const QByteArray &id) { return framed("MSH|^~\\&|A|B|C|D|||ADT^A01|" + id + "|P|2.5\r"); };
    AckTexts rejected;
    rejected.msa = "|AE||||||";
    // M3 gets nothing: the next answer is M4's. M5's answer waits for its delay; its line waits for the answer.
    for (const QByteArray &id : QByteArrayList{"M1", "M2", "M3", "M4", "M5", "", "M 7"})
        QVERIFY(client.send(message(id)) && (id == "M3" || receivesAck(client, from, id == "M2" ? rejected : AckTexts())));
    QVERIFY(client.send(message("M8")));
    QCOMPARE(client.waitForEnd(), ECONNRESET);

    const QByteArray lines = "1 M1 - AA\n2 M2 rule 2 AE\n3 M3 rule 3 none\n4 M4 - AA\n5 M5 rule 5 AA\n6 - - AA\n"
                             "7 M?7 - AA\n8 M8 rule 6 reset\n";
    QVERIFY2(probe.printed(lines), probe.output.constData());
    probe.process.terminate();
    QVERIFY(probe.process.waitForFinished(WaitMs));
    QCOMPARE(probe.process.exitCode(), 0);
    probe.output += probe.process.readAllStandardOutput();
    QCOMPARE(probe.output, lines);
}

void HeadlessTest::tellsInTheOperatorsWords()
{
    QTemporaryDir dir;
    const quint16 port = freePort();
    // A settings folder named in Latin-1, its options file a folder, and a
    // log in a folder that is not there.
    const BytesFolder folder(QFile::encodeName(dir.path()) + "/caf\xe9");
    QVERIFY(folder.made);
    QVERIFY(folder.write("ackprobe.ini", settingsFileFor(port).replace("logfile.txt", "gone/log.txt")));
    QCOMPARE(::mkdir((folder.name + "/ackprobe-options.ini").constData(), 0700), 0);
    ProbeProcess probe(QStringLiteral("/bin/sh"), dir.path(),
                       {QStringLiteral("-c"), QStringLiteral("exec \"$0\" --headless --settings-dir \"$(printf 'caf\\351')\""),
                        program()});
    QVERIFY2(probe.told(QStringLiteral("Listening on port %1 ").arg(port)), qPrintable(probe.said));
    QVERIFY2(probe.said.startsWith(QStringLiteral(
                     "AckmereProbe: caf\\xE9/ackprobe-options.ini could not be read (Is a directory); the defaults are used.\n"
                     "AckmereProbe: The logfile gone/log.txt could not be opened: No such file or directory. "
                     "Verify that the name is correct.\nAckmereProbe: Listening on port")),
             qPrintable(probe.said));

    // One sender at a time: a newer connection replaces the one there.
    LoopbackClient first, second;
    const auto sender = [](LoopbackClient &client) { return QStringLiteral("127.0.0.1 port %1").arg(client.localPort()); };
    QVERIFY(first.connectTo(port));
    QVERIFY2(probe.told(QStringLiteral("Sender %1 connected.\n").arg(sender(first))), qPrintable(probe.said));
    QVERIFY(second.connectTo(port));
    const QString replaced = QStringLiteral("AckmereProbe: Sender %1 connected.\nAckmereProbe: Sender %2 replaced by %1.\n")
                                     .arg(sender(second), sender(first));
    QVERIFY2(probe.told(replaced), qPrintable(probe.said));
    QVERIFY2(probe.said.endsWith(replaced), qPrintable(probe.said));
    probe.process.terminate();
    QVERIFY(probe.process.waitForFinished(WaitMs));
    QCOMPARE(probe.process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(HeadlessTest)
#include "tst_headless.moc"
