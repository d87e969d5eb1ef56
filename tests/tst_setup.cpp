// The setup dialog driven through its real widgets: clicks, typed keys, Tab.

#include "testsupport.h"

#include "interface/winsock.h"
#include "mainwindow/frminterface.h"
#include "windowing/twips.h"
#include "setup/frmsetup.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

namespace {
struct Open
{
    TestProgram program;
    quint16 port = freePort();
    frmInterface *window = nullptr;

    explicit Open(IniValues values = {})
    {
        values.port = QString::number(port);
        program.writeIni(values);
        window = &program.open();
        window->show();
    }

    frmSetup &showSetup()
    {
        window->mnuOptionsSetup->trigger();
        frmSetup *dialog = window->setupIfExists();
        if (dialog)
            QTest::qWaitForWindowActive(dialog);
        return *dialog;
    }

    QByteArray ini() const { return program.readFile(QStringLiteral("ackprobe.ini")); }
};

bool inViewState(const frmSetup &d)
{
    return d.cmdEdit->isEnabled() && !d.cmdSave->isEnabled() && d.cmdExit->isEnabled()
           && !d.txtLogfileLocation->isEnabled() && !d.txtInterfaceName->isEnabled()
           && !d.chkShowCount->isEnabled() && !d.txtAckBeforeDate->isEnabled()
           && !d.txtAckAfterDate->isEnabled() && !d.txtMSASegment->isEnabled();
}

void retype(QLineEdit *box, const QString &text)
{
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Delete);
    QTest::keyClicks(box, text);
}
} // namespace

class SetupTest : public QObject
{
    Q_OBJECT

private slots:
    void designedAndCreatedOnFirstTouch();
    void editChangeExitWritesNothing();
    void editSaveWritesTheFieldsAndSetsTheCaption();
    void nextAcknowledgementUsesTheSavedTexts();
    void chooserOpensOnlyWhenTheFocusMovesIntoTheField();
    void cancelledChooserLeavesTheField();
    void nameTypingStopsAt18ButLongerStoredNamesStayWhole();
    void closeBoxGivesTheMainWindowBack();
    void mainWindowTakesNoInputWhileTheDialogIsOpen();
};

void SetupTest::designedAndCreatedOnFirstTouch()
{
    Open open;
    frmInterface &w = *open.window;
    // Start-up touched the fields: the dialog exists, hidden, in its View state.
    frmSetup *dialog = w.setupIfExists();
    QVERIFY(dialog);
    QVERIFY(!dialog->isVisible());
    QVERIFY(inViewState(*dialog));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Setup"));
    QCOMPARE(dialog->size(), QSize(Twips::toPixels(6105, dialog), Twips::toPixels(7620, dialog)));
    QCOMPARE(dialog->txtMSASegment->geometry(),
             QRect(Twips::toPixels(240, dialog), Twips::toPixels(240, dialog),
                   Twips::toPixels(4935, dialog), Twips::toPixels(405, dialog)));
    QCOMPARE(dialog->txtMSASegment->parentWidget(), dialog->fraMSAACK);
    QCOMPARE(dialog->fraMSAACK->title(), QStringLiteral("MSA  Segment Definition"));
    QCOMPARE(dialog->cmdEdit->toolTip(), QStringLiteral("Edit Fields"));
    QCOMPARE(dialog->txtAckBeforeDate->toolTip(), QStringLiteral("MSH ACK Information Before Date"));
    QVERIFY(dialog->lblAckowledgement->font().bold());
    QVERIFY(!dialog->windowIcon().isNull());
    QVERIFY(dialog->windowIcon().cacheKey() != w.windowIcon().cacheKey());
    QCOMPARE(dialog->txtAckBeforeDate->text(), QStringLiteral("|||||"));
    QCOMPARE(dialog->txtLogfileLocation->text(), QStringLiteral("logfile.txt"));

    // Showing it does not load it again: an edit in a hidden field stays.
    dialog->txtMSASegment->setText(QStringLiteral("|AR|"));
    frmSetup &shown = open.showSetup();
    QCOMPARE(&shown, dialog);
    QCOMPARE(shown.txtMSASegment->text(), QStringLiteral("|AR|"));
    QCOMPARE(QApplication::focusWidget(), shown.cmdEdit);
}

void SetupTest::editChangeExitWritesNothing()
{
    Open open;
    frmInterface &w = *open.window;
    const QByteArray before = open.ini();
    const SettingsRecord record = w.record();
    frmSetup &d = open.showSetup();
    QVERIFY(!w.isEnabled());
    QTest::mouseClick(d.cmdEdit, Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), d.txtInterfaceName);
    retype(d.txtInterfaceName, QStringLiteral("Changed"));
    retype(d.txtAckBeforeDate, QStringLiteral("|x|"));
    QTest::mouseClick(d.chkShowCount, Qt::LeftButton);
    QTest::mouseClick(d.cmdExit, Qt::LeftButton);

    QVERIFY(w.isEnabled());
    QVERIFY(!w.setupIfExists());
    QCOMPARE(open.ini(), before);
    QCOMPARE(w.record(), record);
    frmSetup &again = open.showSetup();
    QVERIFY(inViewState(again));
    QCOMPARE(again.txtInterfaceName->text(), QStringLiteral("Interface"));
    QCOMPARE(again.showCountState(), 0);
}

void SetupTest::editSaveWritesTheFieldsAndSetsTheCaption()
{
    Open open;
    frmInterface &w = *open.window;
    w.txtItemCount->setText(QStringLiteral("12"));
    frmSetup &d = open.showSetup();
    QTest::mouseClick(d.cmdEdit, Qt::LeftButton);
    retype(d.txtInterfaceName, QStringLiteral("Lab"));
    retype(d.txtAckAfterDate, QString());
    retype(d.txtMSASegment, QStringLiteral("|AE|oops"));
    QTest::mouseClick(d.cmdSave, Qt::LeftButton);

    QCOMPARE(w.windowTitle(), QStringLiteral("Lab 12"));
    QVERIFY(open.ini().contains("[Interface Name]\r\nLab\r\n"));
    QVERIFY(open.ini().contains("[MSH after date]\r\n\r\n"));
    QVERIFY(open.ini().contains("[MSA Segment]\r\n|AE|oops\r\n"));
    QCOMPARE(w.record().strInterfaceName, QStringLiteral("Lab"));
    QCOMPARE(w.record().strAckAfterDate, QString());
    // After Save only Exit works.
    QVERIFY(!d.cmdEdit->isEnabled());
    QVERIFY(!d.cmdSave->isEnabled());
    QVERIFY(!d.txtInterfaceName->isEnabled());
    QVERIFY(d.cmdExit->isEnabled());
    QTest::mouseClick(d.cmdExit, Qt::LeftButton);
    frmSetup &again = open.showSetup();
    QVERIFY(inViewState(again));
    QCOMPARE(again.txtMSASegment->text(), QStringLiteral("|AE|oops"));
}

void SetupTest::nextAcknowledgementUsesTheSavedTexts()
{
    Open open;
    frmInterface &w = *open.window;
    frmSetup &d = open.showSetup();
    QTest::mouseClick(d.cmdEdit, Qt::LeftButton);
    retype(d.txtAckBeforeDate, QStringLiteral("|^~\\&|PROBE|"));
    retype(d.txtMSASegment, QStringLiteral("|AR|"));
    QTest::mouseClick(d.cmdSave, Qt::LeftButton);
    QTest::mouseClick(d.cmdExit, Qt::LeftButton);

    w.cmdStart->click();
    LoopbackClient client;
    QVERIFY(client.connectTo(open.port));
    QVERIFY(client.send("m"));
    const QByteArray ack = client.receive(4 + 12 + 12 + 14 + 1 + 7 + 3);
    QVERIFY2(ack.startsWith("\x0bMSH|^~\\&|PROBE|"), ack.constData());
    QVERIFY2(ack.endsWith("||ACK|||||||||\rMSA|AR|\r\x1c\r"), ack.constData());
}

void SetupTest::chooserOpensOnlyWhenTheFocusMovesIntoTheField()
{
    Open open;
    FakeWindowing &windowing = open.program.windowing;
    frmSetup &d = open.showSetup();
    // In the View state the field is disabled: a click opens nothing.
    QTest::mouseClick(d.txtLogfileLocation, Qt::LeftButton);
    QCOMPARE(windowing.choosers, 0);

    QTest::mouseClick(d.cmdEdit, Qt::LeftButton);
    QCOMPARE(windowing.choosers, 0); // enabling the field does not open it
    const QString chosen = open.program.path(QStringLiteral("picked.log"));
    windowing.chosenFiles = {chosen};
    d.chkShowCount->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(d.chkShowCount, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), d.txtLogfileLocation);
    QCOMPARE(windowing.choosers, 1);
    QCOMPARE(d.txtLogfileLocation->text(), chosen);

    // The dialog becoming active again is no move into the field.
    QApplication::setActiveWindow(open.window);
    QApplication::setActiveWindow(&d);
    QTRY_VERIFY(d.isActiveWindow());
    QCOMPARE(windowing.choosers, 1);

    // A click from another control opens it again.
    QTest::mouseClick(d.txtAckBeforeDate, Qt::LeftButton);
    QTest::mouseClick(d.txtLogfileLocation, Qt::LeftButton);
    QCOMPARE(windowing.choosers, 2);
}

void SetupTest::cancelledChooserLeavesTheField()
{
    Open open;
    frmSetup &d = open.showSetup();
    QTest::mouseClick(d.cmdEdit, Qt::LeftButton);
    d.txtLogfileLocation_GotFocus(); // no file chosen: a cancel
    QCOMPARE(open.program.windowing.choosers, 1);
    QCOMPARE(d.txtLogfileLocation->text(), QStringLiteral("logfile.txt"));
}

void SetupTest::nameTypingStopsAt18ButLongerStoredNamesStayWhole()
{
    const QString longName = QStringLiteral("Laboratory Interface North");
    IniValues values;
    values.interfaceName = longName;
    Open open(values);
    frmSetup &d = open.showSetup();
    QCOMPARE(d.txtInterfaceName->text(), longName);
    QTest::mouseClick(d.cmdEdit, Qt::LeftButton);
    d.txtInterfaceName->end(false);
    QTest::keyClicks(d.txtInterfaceName, QStringLiteral("X"));
    QCOMPARE(d.txtInterfaceName->text(), longName);
    QTest::keyClick(d.txtInterfaceName, Qt::Key_Backspace);
    QCOMPARE(d.txtInterfaceName->text(), longName.chopped(1));
    QTest::keyClicks(d.txtInterfaceName, QStringLiteral("h"));
    QCOMPARE(d.txtInterfaceName->text(), longName.chopped(1));

    retype(d.txtInterfaceName, QStringLiteral("ABCDEFGHIJKLMNOPQRSTU"));
    QCOMPARE(d.txtInterfaceName->text(), QStringLiteral("ABCDEFGHIJKLMNOPQR"));

    // Saved again in full when it came from the file.
    QTest::mouseClick(d.cmdExit, Qt::LeftButton);
    frmSetup &again = open.showSetup();
    QTest::mouseClick(again.cmdEdit, Qt::LeftButton);
    QTest::mouseClick(again.cmdSave, Qt::LeftButton);
    QVERIFY(open.ini().contains("[Interface Name]\r\n" + longName.toLatin1() + "\r\n"));
}

void SetupTest::closeBoxGivesTheMainWindowBack()
{
    Open open;
    frmSetup &d = open.showSetup();
    QTest::mouseClick(d.cmdEdit, Qt::LeftButton);
    retype(d.txtInterfaceName, QStringLiteral("Unsaved"));
    QVERIFY(!open.window->isEnabled());
    d.close();
    QVERIFY(open.window->isEnabled());
    QVERIFY(!open.window->setupIfExists());
    QCOMPARE(open.window->setup().txtInterfaceName->text(), QStringLiteral("Interface"));
}

void SetupTest::mainWindowTakesNoInputWhileTheDialogIsOpen()
{
    Open open;
    frmInterface &w = *open.window;
    open.showSetup();
    QTest::mouseClick(w.cmdStart, Qt::LeftButton);
    QVERIFY(!w.winsock().isListening(0));
    QVERIFY(!w.menuBar()->isEnabled());
    // Its close box does nothing: no question, the window stays.
    QVERIFY(!w.close());
    QVERIFY(w.isVisible());
    QVERIFY(open.program.windowing.boxes.isEmpty());
    QVERIFY(!open.program.windowing.programEnded());
    open.window->setupIfExists()->cmdExit->click();
    QTest::mouseClick(w.cmdStart, Qt::LeftButton);
    QVERIFY(w.winsock().isListening(0));
}

QTEST_MAIN(SetupTest)
#include "tst_setup.moc"
