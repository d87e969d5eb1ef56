// The main window's commands through its real buttons and menu items:
// the remote endpoint, the option switches, Setup, About, Exit and closing.

#include "testsupport.h"

#include "interface/winsock.h"
#include "mainwindow/frminterface.h"
#include "setup/frmsetup.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>

namespace {
const QString ExitQuestion = QStringLiteral("Do you wish to exit Ackmere?");

struct Open
{
    TestProgram program;
    quint16 port = freePort();
    frmInterface *window = nullptr;

    explicit Open(const QString &exitWarning = QStringLiteral("False"),
                  const QString &autoStart = QStringLiteral("On"))
    {
        IniValues values;
        values.port = QString::number(port);
        values.exitWarning = exitWarning;
        values.autoStart = autoStart;
        program.writeIni(values);
        window = &program.open();
        window->show();
    }

    QByteArray ini() const { return program.readFile(QStringLiteral("ackprobe.ini")); }
};
} // namespace

class CommandsTest : public QObject
{
    Q_OBJECT

private slots:
    void exitWithoutWarningEndsAtOnce();
    void noToTheExitQuestionChangesNothing();
    void trueInSmallLettersIsCheckedButDoesNotAsk();
    void closeRequestAsksBeforeClosingAnything();
    void closeRequestWithYesEnds();
    void editAndSaveTheRemoteEndpoint();
    void saveRemoteSettingsRightAfterStartUp();
    void togglingAnOptionWritesTheHalfEditedEndpoint();
    void automaticStartNeitherStartsNorStops();
    void saveAfterPortInUseLeavesSetupDisabled();
    void setupDisablesTheWindowUntilExit();
    void aboutHasThreeLines();
};

void CommandsTest::exitWithoutWarningEndsAtOnce()
{
    Open open;
    frmInterface &w = *open.window;
    LoopbackClient client;
    QVERIFY(client.connectTo(open.port));
    QVERIFY(client.send("last"));
    QCOMPARE(client.receive(51).size(), 51);
    w.mnuFileExit->trigger();
    QVERIFY(open.program.windowing.boxes.isEmpty());
    QVERIFY(open.program.windowing.programEnded());
    QVERIFY(!w.transactionLog().isOpen());
    QVERIFY(!w.winsock().isListening(0));
    QVERIFY(client.waitForClosed());
    QVERIFY(!w.isVisible());
}

void CommandsTest::noToTheExitQuestionChangesNothing()
{
    Open open(QStringLiteral("True"));
    frmInterface &w = *open.window;
    LoopbackClient client;
    QVERIFY(client.connectTo(open.port));
    QVERIFY(client.send("one"));
    QCOMPARE(client.receive(51).size(), 51);
    const QString status = w.txtInterfaceStatus->text();
    const QString count = w.txtItemCount->text();

    open.program.windowing.answers = {false};
    w.cmdExit->click();
    const QList<FakeWindowing::Box> boxes = open.program.windowing.boxes;
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().kind, QStringLiteral("question"));
    QCOMPARE(boxes.first().title, QStringLiteral("Exit Ackmere"));
    QCOMPARE(boxes.first().text, ExitQuestion);
    QVERIFY(!open.program.windowing.programEnded());
    QCOMPARE(w.txtInterfaceStatus->text(), status);
    QCOMPARE(w.txtItemCount->text(), count);
    QVERIFY(w.transactionLog().isOpen());
    QVERIFY(w.isVisible());
    // The connection is still there and still answered.
    QVERIFY(client.send("two"));
    QCOMPARE(client.receive(51).size(), 51);
}

void CommandsTest::trueInSmallLettersIsCheckedButDoesNotAsk()
{
    Open open(QStringLiteral("true"));
    QVERIFY(open.window->mnuOptionsEditShowWarningBox->isChecked());
    open.window->cmdExit->click();
    QVERIFY(open.program.windowing.boxes.isEmpty());
    QVERIFY(open.program.windowing.programEnded());
}

void CommandsTest::closeRequestAsksBeforeClosingAnything()
{
    Open open(QStringLiteral("True"));
    frmInterface &w = *open.window;
    LoopbackClient client;
    QVERIFY(client.connectTo(open.port));
    QVERIFY(client.send("before"));
    QCOMPARE(client.receive(51).size(), 51);

    bool connectedWhileAsked = false;
    open.program.windowing.onBox = [&](const FakeWindowing::Box &) {
        connectedWhileAsked = w.winsock().isConnected(1) && w.transactionLog().isOpen();
    };
    open.program.windowing.answers = {false};
    QVERIFY(!w.close());
    QVERIFY(connectedWhileAsked);
    QCOMPARE(open.program.windowing.questionTexts(), QStringList{ExitQuestion});
    QVERIFY(w.isVisible());
    QVERIFY(!open.program.windowing.programEnded());
    QVERIFY(client.send("after"));
    QCOMPARE(client.receive(51).size(), 51);
    QCOMPARE(w.txtItemCount->text(), QStringLiteral("2"));
}

void CommandsTest::closeRequestWithYesEnds()
{
    Open open(QStringLiteral("True"));
    frmInterface &w = *open.window;
    LoopbackClient client;
    QVERIFY(client.connectTo(open.port));
    QTRY_COMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Connection Established"));
    open.program.windowing.answers = {true};
    w.close();
    QVERIFY(open.program.windowing.programEnded());
    QVERIFY(!w.isVisible());
    QVERIFY(!w.transactionLog().isOpen());
    QVERIFY(client.waitForClosed());
    // Nothing more is asked once the program has ended.
    w.close();
    QCOMPARE(open.program.windowing.boxes.size(), 1);
}

void CommandsTest::editAndSaveTheRemoteEndpoint()
{
    Open open(QStringLiteral("False"), QStringLiteral("Off"));
    frmInterface &w = *open.window;
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.mnuOptionsEditRemoteSettings->trigger();
    QVERIFY(w.txtRemoteIPAddress->isEnabled() && w.txtRemotePort->isEnabled());
    QCOMPARE(QApplication::focusWidget(), w.txtRemoteIPAddress);
    QVERIFY(!w.cmdEdit->isEnabled() && !w.cmdStart->isEnabled() && w.cmdSave->isEnabled()
            && !w.cmdStop->isEnabled());
    QVERIFY(!w.mnuOptionsEditRemoteSettings->isEnabled() && w.mnuOptionsSaveRemoteSettings->isEnabled()
            && !w.mnuFileStartInterface->isEnabled() && !w.mnuFileStopInterface->isEnabled());

    w.txtRemoteIPAddress->setText(QStringLiteral("10.1.2.3"));
    w.txtRemotePort->clear();
    QTest::keyClicks(w.txtRemotePort, QStringLiteral("not a port"));
    w.setWindowTitle(QStringLiteral("Interface 9"));
    w.cmdSave->click();

    QCOMPARE(w.txtLocalPort->text(), QStringLiteral("not a port"));
    QVERIFY(open.ini().startsWith("[RemoteIP]\r\n10.1.2.3\r\n\r\n[Port]\r\nnot a port\r\n"));
    QVERIFY(!w.txtRemoteIPAddress->isEnabled() && !w.txtRemotePort->isEnabled());
    QVERIFY(!w.cmdSave->isEnabled() && w.cmdStart->isEnabled() && w.cmdEdit->isEnabled());
    QVERIFY(w.mnuFileStartInterface->isEnabled() && w.mnuOptionsEditRemoteSettings->isEnabled()
            && !w.mnuOptionsSaveRemoteSettings->isEnabled());
    QCOMPARE(w.windowTitle(), QStringLiteral("Interface"));
    // The setting read at start-up stays as read.
    QCOMPARE(w.record().strPort, QString::number(open.port));
}

void CommandsTest::saveRemoteSettingsRightAfterStartUp()
{
    Open open(QStringLiteral("False"), QStringLiteral("Off"));
    frmInterface &w = *open.window;
    QVERIFY(w.mnuOptionsSaveRemoteSettings->isEnabled());
    QFile::remove(open.program.path(QStringLiteral("ackprobe.ini")));
    w.mnuOptionsSaveRemoteSettings->trigger();
    QVERIFY(open.ini().contains("[Port]\r\n" + QByteArray::number(open.port) + "\r\n"));
    QVERIFY(w.cmdStart->isEnabled() && w.cmdEdit->isEnabled() && !w.cmdSave->isEnabled());
}

void CommandsTest::togglingAnOptionWritesTheHalfEditedEndpoint()
{
    Open open(QStringLiteral("False"), QStringLiteral("Off"));
    frmInterface &w = *open.window;
    w.cmdEdit->click();
    w.txtRemoteIPAddress->setText(QStringLiteral("192.168."));
    w.txtRemotePort->setText(QStringLiteral("12"));
    w.mnuOptionsEditShowWarningBox->trigger();
    QVERIFY(w.mnuOptionsEditShowWarningBox->isChecked());
    QCOMPARE(w.record().strExitWarning, QStringLiteral("True"));
    QVERIFY(open.ini().startsWith("[RemoteIP]\r\n192.168.\r\n\r\n[Port]\r\n12\r\n"));
    QVERIFY(open.ini().contains("[ExitWarning]\r\nTrue\r\n"));
    w.mnuOptionsEditShowWarningBox->trigger();
    QVERIFY(!w.mnuOptionsEditShowWarningBox->isChecked());
    QVERIFY(open.ini().contains("[ExitWarning]\r\nFalse\r\n"));
}

void CommandsTest::automaticStartNeitherStartsNorStops()
{
    Open open(QStringLiteral("False"), QStringLiteral("Off"));
    frmInterface &w = *open.window;
    w.mnuOptionsAutomaticStart->trigger();
    QVERIFY(w.mnuOptionsAutomaticStart->isChecked());
    QCOMPARE(w.lblAutomaticStart->text(), QStringLiteral("Automatic Start is ON"));
    QVERIFY(open.ini().contains("[AutoStart]\r\nOn\r\n"));
    QVERIFY(!w.winsock().isListening(0));

    w.cmdStart->click();
    QVERIFY(w.winsock().isListening(0));
    w.cmdStop->click();
    w.mnuOptionsAutomaticStart->trigger();
    QVERIFY(!w.mnuOptionsAutomaticStart->isChecked());
    QCOMPARE(w.lblAutomaticStart->text(), QStringLiteral("Automatic Start is OFF"));
    QVERIFY(open.ini().contains("[AutoStart]\r\nOff\r\n"));
}

void CommandsTest::saveAfterPortInUseLeavesSetupDisabled()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    TestProgram program;
    IniValues values;
    values.port = QString::number(holder.serverPort());
    values.autoStart = QStringLiteral("On");
    program.writeIni(values);
    frmInterface &w = program.open();
    QCOMPARE(program.windowing.noticeTexts().size(), 1);
    const quint16 other = freePort();
    w.txtRemotePort->setText(QString::number(other));
    w.cmdSave->click();
    QVERIFY(w.cmdStart->isEnabled() && w.cmdEdit->isEnabled());
    QVERIFY(!w.mnuOptionsSetup->isEnabled());
    QVERIFY(!w.mnuOptionsAutomaticStart->isEnabled());
    QVERIFY(w.mnuFileStopInterface->isEnabled());
    QCOMPARE(w.txtLocalPort->text(), QString::number(other));
    w.cmdStart->click();
    QCOMPARE(program.windowing.noticeTexts().size(), 1);
    QVERIFY(w.winsock().isListening(0));
}

void CommandsTest::setupDisablesTheWindowUntilExit()
{
    Open open(QStringLiteral("False"), QStringLiteral("Off"));
    frmInterface &w = *open.window;
    w.mnuOptionsSetup->trigger();
    QVERIFY(!w.isEnabled());
    QVERIFY(w.setupIfExists()->isVisible());
    QVERIFY(!w.setupIfExists()->isModal());
    w.setupIfExists()->cmdExit->click();
    QVERIFY(w.isEnabled());
}

void CommandsTest::aboutHasThreeLines()
{
    Open open(QStringLiteral("False"), QStringLiteral("Off"));
    open.window->mnuHelpAbout->trigger();
    const QList<FakeWindowing::Box> boxes = open.program.windowing.boxes;
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().kind, QStringLiteral("notice"));
    QCOMPARE(boxes.first().title, QStringLiteral("AckmereProbe"));
    const QStringList lines = boxes.first().text.split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 3);
    QCOMPARE(boxes.first().text.count(QLatin1Char('\n')), 2);
    QCOMPARE(lines.at(0), QStringLiteral("AckmereProbe"));
    QVERIFY(!lines.at(1).isEmpty());
    QCOMPARE(lines.at(2), QStringLiteral("Version 1.6"));
}

QTEST_MAIN(CommandsTest)
#include "tst_commands.moc"
