// The transaction logfile through the real window: what Start opens, what
// each arrival writes, and the way back from a log that cannot be opened.

#include "testsupport.h"

#include "files/transactionlog.h"
#include "mainwindow/frminterface.h"
#include "setup/frmsetup.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// The first `count` lines of the log, each message then CR LF.
QByteArray linesOf(const QList<QByteArray> &messages, qsizetype count)
{
    QByteArray lines;
    for (qsizetype i = 0; i < count; ++i)
        lines += messages.at(i) + "\r\n";
    return lines;
}
} // namespace

class LogfileTest : public QObject
{
    Q_OBJECT

private slots:
    void framedMessageIsLoggedByteForByte();
    void unopenableLogTakesTheWayBackAndTheInterfaceStillAnswers_data();
    void unopenableLogTakesTheWayBackAndTheInterfaceStillAnswers();
    void emptyLocationTakesTheWayBackToo();
    void chosenNameBeyondAsciiIsTheFileThatGetsTheLines();
    void logStillOpenAfterAPortInUseIsReopened();
    void fullDeviceIsToldOncePerStart_data();
    void fullDeviceIsToldOncePerStart();
    void fullFileSystemKeepsWholeLinesAndCatchesUpInOrder();
    void fifoAsLocationTakesTheWayBackWithoutHanging();
    void fileSizeLimitKeepsWholeLinesAndTheProgramGoesOn();
};

void LogfileTest::framedMessageIsLoggedByteForByte()
{
    TestProgram program;
    frmInterface &w = program.openListening({.logfileLocation = QStringLiteral("trace.log")});
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QByteArray expected;
    for (int i = 0; i < 20; ++i) {
        const QByteArray message = "\x0bMSH|^~\\&|A|B|" + QByteArray::number(i)
                                   + "\rPID|1||\xe9\xff\r\x1c\r";
        expected += message + "\r\n";
        QVERIFY(client.send(message));
        QCOMPARE(client.receive(51).size(), 51);
        // The line is in the file by the time the sender has the answer.
        QCOMPARE(program.readFile(QStringLiteral("trace.log")), expected);
    }
    w.Stop();
    QVERIFY(!w.transactionLog().isOpen());
}

void LogfileTest::unopenableLogTakesTheWayBackAndTheInterfaceStillAnswers_data()
{
    QTest::addColumn<QString>("location");
    QTest::newRow("in a folder that is not there") << QStringLiteral("no/such/dir/log.txt");
    QTest::newRow("a directory") << QStringLiteral("logs");
    QTest::newRow("a pipe without a reader") << QStringLiteral("pipe");
}

void LogfileTest::unopenableLogTakesTheWayBackAndTheInterfaceStillAnswers()
{
    QFETCH(QString, location);
    TestProgram program;
    QVERIFY(QDir(program.dir()).mkdir(QStringLiteral("logs")));
    QCOMPARE(::mkfifo(QFile::encodeName(program.path(QStringLiteral("pipe"))).constData(), 0600), 0);
    const QString chosen = program.path(QStringLiteral("chosen.log"));
    program.windowing.chosenFiles = {chosen};
    frmInterface &w = program.openListening({.logfileLocation = location});

    QCOMPARE(program.windowing.noticeTexts(), QStringList{Shown::LogNotOpened});
    QCOMPARE(program.windowing.boxes.first().title, QStringLiteral("AckmereProbe"));
    QVERIFY(!w.isEnabled());
    QVERIFY(!w.transactionLog().isOpen());
    QVERIFY(w.setupIfExists() && w.setupIfExists()->isVisible());
    frmSetup &setup = *w.setupIfExists();
    QCOMPARE(program.windowing.choosers, 1);
    QCOMPARE(setup.txtLogfileLocation->text(), chosen);
    QVERIFY(setup.txtLogfileLocation->isEnabled());
    QVERIFY(setup.cmdSave->isEnabled());
    QVERIFY(setup.cmdEdit->isEnabled());
    QVERIFY(!setup.txtInterfaceName->isEnabled());
    // Nothing is stored until Save.
    QCOMPARE(w.record().strLogfileLocation, location);

    // The interface listens all the same and answers every message without a log.
    QVERIFY(w.engine().isListening());
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    for (int i = 0; i < 3; ++i)
        QVERIFY(client.exchange("unlogged"));
    QTRY_COMPARE(w.txtItemCount->text(), QStringLiteral("3"));
    QCOMPARE(w.transactionCount(), 3);
    QCOMPARE(w.receivedMessages().size(), 3);
    QCOMPARE(program.windowing.boxes.size(), 1);
    QVERIFY(QFileInfo(program.path(QStringLiteral("logs"))).isDir());
    QVERIFY(QDir(program.path(QStringLiteral("logs")))
                .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));

    // Save stores the chosen place, used from the next Start.
    setup.cmdSave->click();
    QCOMPARE(w.record().strLogfileLocation, chosen);
    setup.cmdExit->click();
    QVERIFY(w.isEnabled());
    w.Stop();
    w.Stop();
    QCOMPARE(program.windowing.boxes.size(), 1);
    w.Start();
    LoopbackClient again;
    QVERIFY(again.connectTo(program.port()));
    QVERIFY(again.exchange("logged"));
    QCOMPARE(program.readFile(QStringLiteral("chosen.log")), QByteArray("logged\r\n"));
}

void LogfileTest::emptyLocationTakesTheWayBackToo()
{
    TestProgram program;
    frmInterface &w = program.openOnPort({.logfileLocation = QStringLiteral("log.txt")});
    // Only the setup dialog's Save can leave the location empty.
    changeRecord(w, [](SettingsRecord &record) { record.strLogfileLocation.clear(); });
    w.Start();
    QCOMPARE(program.windowing.noticeTexts(), QStringList{Shown::LogNotOpened});
    QVERIFY(!w.isEnabled());
    QCOMPARE(program.windowing.choosers, 1);
    QVERIFY(w.engine().isListening());
}

void LogfileTest::chosenNameBeyondAsciiIsTheFileThatGetsTheLines()
{
    TestProgram program;
    const QString chosen = program.path(QStringLiteral("journal-\u00e9t\u00e9-\u65e5.log"));
    program.windowing.chosenFiles = {chosen};
    frmInterface &w = program.openListening({.logfileLocation = QStringLiteral("no/such/dir/log.txt")});
    frmSetup &setup = *w.setupIfExists();
    QCOMPARE(setup.txtLogfileLocation->text().toLatin1(), QFile::encodeName(chosen));
    setup.cmdSave->click();
    QVERIFY(program.readFile(QStringLiteral("ackprobe.ini")).contains(QFile::encodeName(chosen) + "\r\n"));
    setup.cmdExit->click();
    w.Stop();
    w.Start();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("to the chosen file"));
    QFile log(chosen);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray("to the chosen file\r\n"));
}

void LogfileTest::logStillOpenAfterAPortInUseIsReopened()
{
    TestProgram program;
    QVERIFY(program.holdPort());
    frmInterface &w = program.openListening({.logfileLocation = QStringLiteral("first.log")});
    QCOMPARE(program.windowing.noticeTexts().size(), 1);
    QVERIFY(w.transactionLog().isOpen());

    program.releasePort();
    changeRecord(w, [](SettingsRecord &record) { record.strLogfileLocation = QStringLiteral("second.log"); });
    w.cmdSave->click();
    w.Start();
    // No failure path for a log that is still open: it moves to the place now set.
    QCOMPARE(program.windowing.noticeTexts().size(), 1);
    QVERIFY(w.isEnabled());
    QVERIFY(w.engine().isListening());
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("moved"));
    QCOMPARE(program.readFile(QStringLiteral("second.log")), QByteArray("moved\r\n"));
    QCOMPARE(program.readFile(QStringLiteral("first.log")), QByteArray());
}

void LogfileTest::fullDeviceIsToldOncePerStart_data()
{
    QTest::addColumn<QString>("location");
    QTest::newRow("the device itself") << QStringLiteral("/dev/full");
    // The operator's name for it holds markup and placeholders.
    QTest::newRow("a link named with markup") << QStringLiteral("<b>%1%2<i> &amp; %s [*].log");
}

void LogfileTest::fullDeviceIsToldOncePerStart()
{
    QFETCH(QString, location);
    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full here");
    TestProgram program;
    if (location != QLatin1String("/dev/full"))
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), program.path(location)));
    frmInterface &w = program.openListening({.logfileLocation = location});
    const QString told = Shown::logNotWritten(location, ENOSPC);
    QVERIFY2(told.contains(QStringLiteral("space"), Qt::CaseInsensitive), qPrintable(told));
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    for (int i = 0; i < 5; ++i)
        QVERIFY(client.exchange("lost to a full disk"));
    QTRY_COMPARE(program.windowing.noticeTexts(), QStringList{told});
    QTRY_COMPARE(w.txtItemCount->text(), QStringLiteral("5"));
    QCOMPARE(w.transactionCount(), 5);
    QCOMPARE(w.receivedMessages().size(), 5);

    // Told again only after the next Start.
    w.Stop();
    w.Start();
    QVERIFY(client.connectTo(program.port()));
    for (int i = 0; i < 3; ++i)
        QVERIFY(client.exchange("again"));
    QTRY_COMPARE(program.windowing.noticeTexts(), (QStringList{told, told}));
    QCOMPARE(w.transactionCount(), 8);
}

void LogfileTest::fullFileSystemKeepsWholeLinesAndCatchesUpInOrder()
{
    TestProgram program;
    const QString small = program.path(QStringLiteral("small"));
    QVERIFY(QDir().mkdir(small));
    if (QProcess::execute(QStringLiteral("mount"), QStringLiteral("-t tmpfs -o size=256k tmpfs").split(' ') << small) != 0)
        QSKIP("cannot mount a 256 KiB tmpfs here (needs root)");
    // Lazy, so that a log still open does not keep it mounted.
    const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), small}); });
    frmInterface &w = program.openListening({.logfileLocation = QStringLiteral("small/trace.log")});
    const auto log = [&] { return program.readFile(QStringLiteral("small/trace.log")); };
    QList<QByteArray> messages;
    for (int i = 0; i < 7; ++i)
        messages += framed("MSH|" + QByteArray::number(i) + '|' + QByteArray(1500, char('a' + i)));
    // Whole lines only: a prefix of the lines that ends where a line ends.
    const auto wholeLines = [&] { return linesOf(messages, 6).startsWith(log()) && log().endsWith("\r\n"); };
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange(messages[0]));
    QFile filler(small + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(4096, 'f')) == 4096) { }

    // Full: every message is answered, the log holds no fragment, and the
    // waiting lines outlive a Stop and a Start.
    for (int i = 1; i < 4; ++i)
        QVERIFY(client.exchange(messages[i]));
    QVERIFY(wholeLines());
    QVERIFY(log().size() < linesOf(messages, 4).size());
    w.Stop();
    w.Start();
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange(messages[4]));
    QVERIFY(client.exchange(messages[5]));
    QVERIFY(wholeLines());
    const QString told = Shown::logNotWritten(QStringLiteral("small/trace.log"), ENOSPC);
    QTRY_COMPARE(program.windowing.noticeTexts(), (QStringList{told, told}));

    // Room again: the timer writes them all, once each and in order.
    QVERIFY(filler.remove());
    QVERIFY(waitUntil([&] { return log() == linesOf(messages, 6); }));
    QVERIFY(client.exchange(messages[6]));
    QCOMPARE(log(), linesOf(messages, 7));
}

void LogfileTest::fifoAsLocationTakesTheWayBackWithoutHanging()
{
    TestProgram program;
    const QByteArray fifo = QFile::encodeName(program.path(QStringLiteral("pipe")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    // Without a reader, opening would wait for one.
    frmInterface &w = program.openListening({.logfileLocation = QStringLiteral("pipe")});
    QCOMPARE(program.windowing.noticeTexts(), QStringList{Shown::LogNotOpened});
    // With one, a full pipe would stall every answer.
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    const auto closeReader = qScopeGuard([reader] { ::close(reader); });
    w.setupIfExists()->cmdExit->click();
    w.Stop();
    w.Start();
    QCOMPARE(program.windowing.noticeTexts(), (QStringList{Shown::LogNotOpened, Shown::LogNotOpened}));
    QVERIFY2(w.transactionLog().errorString().contains(QStringLiteral("regular file")),
             qPrintable(w.transactionLog().errorString()));
}

void LogfileTest::fileSizeLimitKeepsWholeLinesAndTheProgramGoesOn()
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("limited.log")));
    QList<QByteArray> messages;
    for (int i = 0; i < 80; ++i)
        messages += "MSH|" + QByteArray::number(i).rightJustified(95, '0'); // lines of 101 bytes
    // The limit falls inside line 50. A child takes it, so this process keeps none;
    // its exit status tells which check failed.
    const pid_t child = ::fork();
    if (child == 0) {
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limited{49 * 101 + 50, saved.rlim_max};
        ignoreFileSizeSignal();
        TransactionLog log;
        if (::setrlimit(RLIMIT_FSIZE, &limited) != 0 || !log.open(QString::fromLatin1(path)))
            ::_exit(10);
        int firstFailed = -1;
        for (int i = 0; i < messages.size(); ++i)
            if (!log.writeLine(messages.at(i)) && firstFailed < 0)
                firstFailed = i;
        struct stat status{};
        ::stat(path.constData(), &status);
        const int checks = (firstFailed == 49 ? 0 : 1) | (status.st_size == 49 * 101 ? 0 : 2)
                           | (log.errorString() == systemReason(EFBIG) ? 0 : 4);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::_exit(checks | (log.writePending() ? 0 : 8));
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status), qPrintable(QStringLiteral("ended by signal %1").arg(WTERMSIG(status))));
    QCOMPARE(WEXITSTATUS(status), 0);
    QFile file(QFile::decodeName(path));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), linesOf(messages, messages.size()));
}

QTEST_MAIN(LogfileTest)
#include "tst_logfile.moc"
