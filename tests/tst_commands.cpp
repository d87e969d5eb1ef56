// The main window's commands through its real buttons and menu items:
// the remote endpoint, the option switches, Setup, About, Exit and closing.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "setup/frmsetup.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

namespace {
const QString ExitQuestion = QStringLiteral("Do you wish to exit Ackmere?");
} // namespace

class CommandsTest : public QObject
{
    Q_OBJECT

private slots:
    void exitRequest_data();
    void exitRequest();
    void editAndSaveTheRemoteEndpoint();
    void saveRemoteSettingsRightAfterStartUp();
    void togglingAnOptionWritesTheHalfEditedEndpoint();
    void automaticStartNeitherStartsNorStops();
    void saveAfterPortInUseLeavesSetupDisabled();
    void setupDisablesTheWindowUntilExit();
    void aboutHasThreeLines();
};

void CommandsTest::exitRequest_data()
{
    QTest::addColumn<QString>("warning"); // the setting as written
    QTest::addColumn<QString>("how");     // "menu", "button" or "close box"
    QTest::addColumn<bool>("yes");        // the answer, when asked
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("ends");
    QTest::newRow("Exit item without a warning") << "False" << "menu" << false << false << true;
    QTest::newRow("true in small letters is checked but does not ask")
        << "true" << "button" << false << false << true;
    QTest::newRow("No to the Exit button changes nothing") << "True" << "button" << false << true << false;
    QTest::newRow("No to the close box changes nothing") << "True" << "close box" << false << true << false;
    QTest::newRow("Yes to the close box ends") << "True" << "close box" << true << true << true;
}

void CommandsTest::exitRequest()
{
    QFETCH(QString, warning);
    QFETCH(QString, how);
    QFETCH(bool, yes);
    QFETCH(bool, asked);
    QFETCH(bool, ends);
    TestProgram program;
    frmInterface &w = program.openShown({.autoStart = QStringLiteral("On"), .exitWarning = warning});
    QCOMPARE(w.mnuOptionsEditShowWarningBox->isChecked(), warning != QLatin1String("False"));
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("before"));
    const QString status = w.txtInterfaceStatus->text();
    // Nothing is closed before the question is answered.
    bool connectedWhileAsked = false;
    program.windowing.onBox = [&](const FakeWindowing::Box &) {
        connectedWhileAsked = w.engine().isConnected() && w.transactionLog().isOpen();
    };
    program.windowing.answers = {yes};
    if (how == u"menu")
        w.mnuFileExit->trigger();
    else if (how == u"button")
        w.cmdExit->click();
    else // a No keeps the window open
        QVERIFY(!w.close() || ends);

    const QList<FakeWindowing::Box> boxes = program.windowing.boxes;
    QCOMPARE(boxes.size(), asked ? 1 : 0);
    if (asked) {
        QCOMPARE(boxes.first().kind, QStringLiteral("question"));
        QCOMPARE(boxes.first().title, QStringLiteral("Exit Ackmere"));
        QCOMPARE(boxes.first().text, ExitQuestion);
        QVERIFY(connectedWhileAsked);
    }
    QCOMPARE(program.windowing.programEnded(), ends);
    QCOMPARE(w.isVisible(), !ends);
    QCOMPARE(w.transactionLog().isOpen(), !ends);
    QCOMPARE(w.engine().isListening(), !ends);
    if (ends) {
        QVERIFY(client.waitForClosed());
        // Nothing more is asked once the program has ended.
        w.close();
        QCOMPARE(program.windowing.boxes.size(), boxes.size());
        return;
    }
    QCOMPARE(w.txtInterfaceStatus->text(), status);
    QCOMPARE(w.txtItemCount->text(), QStringLiteral("1"));
    // The connection is still there and still answered.
    QVERIFY(client.exchange("after"));
    QTRY_COMPARE(w.txtItemCount->text(), QStringLiteral("2"));
}

void CommandsTest::editAndSaveTheRemoteEndpoint()
{
    TestProgram program;
    frmInterface &w = program.openShown();
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
    QVERIFY(program.ini().startsWith("[RemoteIP]\r\n10.1.2.3\r\n\r\n[Port]\r\nnot a port\r\n"));
    QVERIFY(!w.txtRemoteIPAddress->isEnabled() && !w.txtRemotePort->isEnabled());
    QVERIFY(!w.cmdSave->isEnabled() && w.cmdStart->isEnabled() && w.cmdEdit->isEnabled());
    QVERIFY(w.mnuFileStartInterface->isEnabled() && w.mnuOptionsEditRemoteSettings->isEnabled()
            && !w.mnuOptionsSaveRemoteSettings->isEnabled());
    QCOMPARE(w.windowTitle(), QStringLiteral("Interface"));
    // The setting read at start-up stays as read.
    QCOMPARE(w.record().strPort, QString::number(program.port()));
}

void CommandsTest::saveRemoteSettingsRightAfterStartUp()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    QVERIFY(w.mnuOptionsSaveRemoteSettings->isEnabled());
    QFile::remove(program.path(IniName));
    w.mnuOptionsSaveRemoteSettings->trigger();
    QVERIFY(program.ini().contains("[Port]\r\n" + QByteArray::number(program.port()) + "\r\n"));
    QVERIFY(w.cmdStart->isEnabled() && w.cmdEdit->isEnabled() && !w.cmdSave->isEnabled());
}

void CommandsTest::togglingAnOptionWritesTheHalfEditedEndpoint()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    w.cmdEdit->click();
    w.txtRemoteIPAddress->setText(QStringLiteral("192.168."));
    w.txtRemotePort->setText(QStringLiteral("12"));
    w.mnuOptionsEditShowWarningBox->trigger();
    QVERIFY(w.mnuOptionsEditShowWarningBox->isChecked());
    QCOMPARE(w.record().strExitWarning, QStringLiteral("True"));
    QVERIFY(program.ini().startsWith("[RemoteIP]\r\n192.168.\r\n\r\n[Port]\r\n12\r\n"));
    QVERIFY(program.ini().contains("[ExitWarning]\r\nTrue\r\n"));
    w.mnuOptionsEditShowWarningBox->trigger();
    QVERIFY(!w.mnuOptionsEditShowWarningBox->isChecked());
    QVERIFY(program.ini().contains("[ExitWarning]\r\nFalse\r\n"));
}

void CommandsTest::automaticStartNeitherStartsNorStops()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    w.mnuOptionsAutomaticStart->trigger();
    QVERIFY(w.mnuOptionsAutomaticStart->isChecked());
    QCOMPARE(w.lblAutomaticStart->text(), QStringLiteral("Automatic Start is ON"));
    QVERIFY(program.ini().contains("[AutoStart]\r\nOn\r\n"));
    QVERIFY(!w.engine().isListening());

    w.cmdStart->click();
    QVERIFY(w.engine().isListening());
    w.cmdStop->click();
    w.mnuOptionsAutomaticStart->trigger();
    QVERIFY(!w.mnuOptionsAutomaticStart->isChecked());
    QCOMPARE(w.lblAutomaticStart->text(), QStringLiteral("Automatic Start is OFF"));
    QVERIFY(program.ini().contains("[AutoStart]\r\nOff\r\n"));
}

void CommandsTest::saveAfterPortInUseLeavesSetupDisabled()
{
    TestProgram program;
    QVERIFY(program.holdPort());
    frmInterface &w = program.openListening();
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
    QVERIFY(w.engine().isListening());
}

void CommandsTest::setupDisablesTheWindowUntilExit()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    w.mnuOptionsSetup->trigger();
    QVERIFY(!w.isEnabled());
    QVERIFY(w.setupIfExists()->isVisible());
    QVERIFY(!w.setupIfExists()->isModal());
    w.setupIfExists()->cmdExit->click();
    QVERIFY(w.isEnabled());
}

void CommandsTest::aboutHasThreeLines()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    w.mnuHelpAbout->trigger();
    const QList<FakeWindowing::Box> boxes = program.windowing.boxes;
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
