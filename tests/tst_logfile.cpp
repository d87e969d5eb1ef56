// The transaction logfile through the real window: what Start opens, what
// each arrival writes, and the way back from a log that cannot be opened.

#include "testsupport.h"

#include "interface/winsock.h"
#include "mainwindow/frminterface.h"
#include "setup/frmsetup.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString NotOpened = QStringLiteral("The logfile could not be opened.\r\n"
                                         "Verify that the name is correct.");

struct Program
{
    TestProgram program;
    quint16 port = freePort();

    frmInterface &open(const QString &logfile, const QString &autoStart = QStringLiteral("On"))
    {
        IniValues values;
        values.port = QString::number(port);
        values.autoStart = autoStart;
        values.logfileLocation = logfile;
        program.writeIni(values);
        return program.open();
    }

    bool exchange(LoopbackClient &client, const QByteArray &message)
    {
        return client.send(message) && client.receive(51).size() == 51;
    }
};

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
    void unopenableLogTakesTheWayBackAndTheInterfaceStillAnswers();
    void emptyLocationTakesTheWayBackToo();
    void chosenNameBeyondAsciiIsTheFileThatGetsTheLines();
    void logStillOpenAfterAPortInUseIsReopened();
    void writeFailureIsToldOnceAndMessagesAreStillAnswered();
    void fullFileSystemKeepsWholeLinesAndCatchesUpInOrder();
    void fifoAsLocationTakesTheWayBackWithoutHanging();
    void logRotatedAwayGoesOnInANewFile();
};

void LogfileTest::framedMessageIsLoggedByteForByte()
{
    Program p;
    frmInterface &w = p.open(QStringLiteral("trace.log"));
    LoopbackClient client;
    QVERIFY(client.connectTo(p.port));
    QByteArray expected;
    for (int i = 0; i < 20; ++i) {
        const QByteArray message = "\x0bMSH|^~\\&|A|B|" + QByteArray::number(i)
                                   + "\rPID|1||\xe9\xff\r\x1c\r";
        expected += message + "\r\n";
        QVERIFY(client.send(message));
        QCOMPARE(client.receive(51).size(), 51);
        // The line is in the file by the time the sender has the answer.
        QCOMPARE(p.program.readFile(QStringLiteral("trace.log")), expected);
    }
    w.Stop();
    QVERIFY(!w.transactionLog().isOpen());
}

void LogfileTest::unopenableLogTakesTheWayBackAndTheInterfaceStillAnswers()
{
    Program p;
    const QString chosen = p.program.path(QStringLiteral("chosen.log"));
    p.program.windowing.chosenFiles = {chosen};
    frmInterface &w = p.open(QStringLiteral("no/such/dir/log.txt"));

    QCOMPARE(p.program.windowing.noticeTexts(), QStringList{NotOpened});
    QCOMPARE(p.program.windowing.boxes.first().title, QStringLiteral("AckmereProbe"));
    QVERIFY(!w.isEnabled());
    QVERIFY(w.setupIfExists() && w.setupIfExists()->isVisible());
    frmSetup &setup = *w.setupIfExists();
    QCOMPARE(p.program.windowing.choosers, 1);
    QCOMPARE(setup.txtLogfileLocation->text(), chosen);
    QVERIFY(setup.txtLogfileLocation->isEnabled());
    QVERIFY(setup.cmdSave->isEnabled());
    QVERIFY(setup.cmdEdit->isEnabled());
    QVERIFY(!setup.txtInterfaceName->isEnabled());
    // Nothing is stored until Save.
    QCOMPARE(w.record().strLogfileLocation, QStringLiteral("no/such/dir/log.txt"));

    // The interface listens all the same and answers without a log.
    QVERIFY(w.winsock().isListening(0));
    LoopbackClient client;
    QVERIFY(client.connectTo(p.port));
    QVERIFY(client.send("unlogged"));
    QCOMPARE(client.receive(51).size(), 51);
    QCOMPARE(w.txtItemCount->text(), QStringLiteral("1"));
    QCOMPARE(w.receivedMessages().size(), 1);
    QCOMPARE(p.program.windowing.boxes.size(), 1);

    // Save stores the chosen place, used from the next Start.
    setup.cmdSave->click();
    QCOMPARE(w.record().strLogfileLocation, chosen);
    setup.cmdExit->click();
    QVERIFY(w.isEnabled());
    w.Stop();
    w.Stop();
    QCOMPARE(p.program.windowing.boxes.size(), 1);
    w.Start();
    LoopbackClient again;
    QVERIFY(again.connectTo(p.port));
    QVERIFY(again.send("logged"));
    QCOMPARE(again.receive(51).size(), 51);
    QCOMPARE(p.program.readFile(QStringLiteral("chosen.log")), QByteArray("logged\r\n"));
}

void LogfileTest::emptyLocationTakesTheWayBackToo()
{
    Program p;
    frmInterface &w = p.open(QStringLiteral("log.txt"), QStringLiteral("Off"));
    // Only the setup dialog's Save can leave the location empty.
    w.record().strLogfileLocation.clear();
    w.Start();
    QCOMPARE(p.program.windowing.noticeTexts(), QStringList{NotOpened});
    QVERIFY(!w.isEnabled());
    QCOMPARE(p.program.windowing.choosers, 1);
    QVERIFY(w.winsock().isListening(0));
}

void LogfileTest::chosenNameBeyondAsciiIsTheFileThatGetsTheLines()
{
    Program p;
    const QString chosen = p.program.path(QStringLiteral("journal-\u00e9t\u00e9-\u65e5.log"));
    p.program.windowing.chosenFiles = {chosen};
    frmInterface &w = p.open(QStringLiteral("no/such/dir/log.txt"));
    frmSetup &setup = *w.setupIfExists();
    QCOMPARE(setup.txtLogfileLocation->text().toLatin1(), QFile::encodeName(chosen));
    setup.cmdSave->click();
    QVERIFY(p.program.readFile(QStringLiteral("ackprobe.ini")).contains(QFile::encodeName(chosen) + "\r\n"));
    setup.cmdExit->click();
    w.Stop();
    w.Start();
    LoopbackClient client;
    QVERIFY(client.connectTo(p.port));
    QVERIFY(client.send("to the chosen file"));
    QCOMPARE(client.receive(51).size(), 51);
    QFile log(chosen);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray("to the chosen file\r\n"));
}

void LogfileTest::logStillOpenAfterAPortInUseIsReopened()
{
    Program p;
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::Any, p.port));
    frmInterface &w = p.open(QStringLiteral("first.log"));
    QCOMPARE(p.program.windowing.noticeTexts().size(), 1);
    QVERIFY(w.transactionLog().isOpen());

    other.close();
    w.record().strLogfileLocation = QStringLiteral("second.log");
    w.cmdSave->click();
    w.Start();
    // No failure path for a log that is still open: it moves to the place now set.
    QCOMPARE(p.program.windowing.noticeTexts().size(), 1);
    QVERIFY(w.isEnabled());
    QVERIFY(w.winsock().isListening(0));
    LoopbackClient client;
    QVERIFY(client.connectTo(p.port));
    QVERIFY(client.send("moved"));
    QCOMPARE(client.receive(51).size(), 51);
    QCOMPARE(p.program.readFile(QStringLiteral("second.log")), QByteArray("moved\r\n"));
    QCOMPARE(p.program.readFile(QStringLiteral("first.log")), QByteArray());
}

void LogfileTest::writeFailureIsToldOnceAndMessagesAreStillAnswered()
{
    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full here");
    Program p;
    frmInterface &w = p.open(QStringLiteral("/dev/full"));
    LoopbackClient client;
    QVERIFY(client.connectTo(p.port));
    for (int i = 0; i < 5; ++i) {
        QVERIFY(client.send("lost to a full disk"));
        QCOMPARE(client.receive(51).size(), 51);
    }
    QTRY_COMPARE(p.program.windowing.noticeTexts().size(), 1);
    const QString notice = p.program.windowing.noticeTexts().first();
    QVERIFY2(notice.contains(QStringLiteral("/dev/full")), qPrintable(notice));
    QVERIFY2(notice.contains(QStringLiteral("space"), Qt::CaseInsensitive), qPrintable(notice));
    QCOMPARE(w.txtItemCount->text(), QStringLiteral("5"));
    QCOMPARE(w.receivedMessages().size(), 5);

    // Told again only after the next Start.
    w.Stop();
    w.Start();
    QVERIFY(client.connectTo(p.port));
    QVERIFY(client.send("again"));
    QCOMPARE(client.receive(51).size(), 51);
    QTRY_COMPARE(p.program.windowing.noticeTexts().size(), 2);
}

void LogfileTest::fullFileSystemKeepsWholeLinesAndCatchesUpInOrder()
{
    Program p;
    const QString small = p.program.path(QStringLiteral("small"));
    QVERIFY(QDir().mkdir(small));
    if (QProcess::execute(QStringLiteral("mount"), QStringLiteral("-t tmpfs -o size=256k tmpfs").split(' ') << small) != 0)
        QSKIP("cannot mount a 256 KiB tmpfs here (needs root)");
    // Lazy, so that a log still open does not keep it mounted.
    const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), small}); });
    frmInterface &w = p.open(QStringLiteral("small/trace.log"));
    const auto log = [&] { return p.program.readFile(QStringLiteral("small/trace.log")); };
    QList<QByteArray> messages;
    for (int i = 0; i < 7; ++i)
        messages += framed("MSH|" + QByteArray::number(i) + '|' + QByteArray(1500, char('a' + i)));
    // Whole lines only: a prefix of the lines that ends where a line ends.
    const auto wholeLines = [&] { return linesOf(messages, 6).startsWith(log()) && log().endsWith("\r\n"); };
    LoopbackClient client;
    QVERIFY(client.connectTo(p.port));
    QVERIFY(p.exchange(client, messages[0]));
    QFile filler(small + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(4096, 'f')) == 4096) { }

    // Full: every message is answered, the log holds no fragment, and the
    // waiting lines outlive a Stop and a Start.
    for (int i = 1; i < 4; ++i)
        QVERIFY(p.exchange(client, messages[i]));
    QVERIFY(wholeLines());
    QVERIFY(log().size() < linesOf(messages, 4).size());
    w.Stop();
    w.Start();
    QVERIFY(client.connectTo(p.port));
    QVERIFY(p.exchange(client, messages[4]));
    QVERIFY(p.exchange(client, messages[5]));
    QVERIFY(wholeLines());
    const QString told = QStringLiteral("The logfile small/trace.log could not be written: ")
                         + QString::fromLocal8Bit(std::strerror(ENOSPC));
    QTRY_COMPARE(p.program.windowing.noticeTexts(), (QStringList{told, told}));

    // Room again: the timer writes them all, once each and in order.
    QVERIFY(filler.remove());
    QVERIFY(waitUntil([&] { return log() == linesOf(messages, 6); }));
    QVERIFY(p.exchange(client, messages[6]));
    QCOMPARE(log(), linesOf(messages, 7));
}

void LogfileTest::fifoAsLocationTakesTheWayBackWithoutHanging()
{
    Program p;
    const QByteArray fifo = QFile::encodeName(p.program.path(QStringLiteral("pipe")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    // Without a reader, opening would wait for one.
    frmInterface &w = p.open(QStringLiteral("pipe"));
    QCOMPARE(p.program.windowing.noticeTexts(), QStringList{NotOpened});
    // With one, a full pipe would stall every answer.
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    const auto closeReader = qScopeGuard([reader] { ::close(reader); });
    w.setupIfExists()->cmdExit->click();
    w.Stop();
    w.Start();
    QCOMPARE(p.program.windowing.noticeTexts(), (QStringList{NotOpened, NotOpened}));
    QVERIFY2(w.transactionLog().errorString().contains(QStringLiteral("regular file")),
             qPrintable(w.transactionLog().errorString()));
}

void LogfileTest::logRotatedAwayGoesOnInANewFile()
{
    Program p;
    p.open(QStringLiteral("trace.log"));
    const auto at = [&](const char *name) { return p.program.path(QString::fromLatin1(name)); };
    LoopbackClient client;
    QVERIFY(client.connectTo(p.port));
    QVERIFY(p.exchange(client, "one"));
    // Renamed away: what went into it stays there, the next line starts a new file.
    QVERIFY(QFile::rename(at("trace.log"), at("trace.log.1")));
    QVERIFY(p.exchange(client, "two"));
    QVERIFY(p.exchange(client, "three"));
    // Renamed and replaced by an empty file, as logrotate's "create" does.
    QVERIFY(QFile::rename(at("trace.log"), at("trace.log.2")));
    QFile created(at("trace.log"));
    QVERIFY(created.open(QIODevice::WriteOnly));
    QVERIFY(p.exchange(client, "four"));
    QVERIFY(p.exchange(client, "five"));
    QCOMPARE(p.program.readFile(QStringLiteral("trace.log.1")), QByteArray("one\r\ntwo\r\n"));
    QCOMPARE(p.program.readFile(QStringLiteral("trace.log.2")), QByteArray("three\r\nfour\r\n"));
    QCOMPARE(p.program.readFile(QStringLiteral("trace.log")), QByteArray("five\r\n"));
    QVERIFY(p.program.windowing.boxes.isEmpty());
}

QTEST_MAIN(LogfileTest)
#include "tst_logfile.moc"
