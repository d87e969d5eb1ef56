// The transaction logfile through the real window: what Start opens, what
// each arrival writes, and the way back from a log that cannot be opened.

#include "testsupport.h"

#include "interface/winsock.h"
#include "mainwindow/frminterface.h"
#include "settings/frmsetup.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>

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
};
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

QTEST_MAIN(LogfileTest)
#include "tst_logfile.moc"
