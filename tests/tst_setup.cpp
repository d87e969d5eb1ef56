// The setup dialog driven through its real widgets: clicks, typed keys, Tab.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "setup/frmsetup.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStyleOptionGroupBox>
#include <QtTest>

namespace {
frmSetup &showSetup(frmInterface &w)
{
    w.mnuOptionsSetup->trigger();
    frmSetup *dialog = w.setupIfExists();
    if (dialog && !QTest::qWaitForWindowActive(dialog))
        qWarning("the setup dialog did not become active");
    return *dialog;
}

// The same, and its Edit button clicked.
frmSetup &editSetup(frmInterface &w)
{
    frmSetup &dialog = showSetup(w);
    QTest::mouseClick(dialog.cmdEdit, Qt::LeftButton);
    return dialog;
}

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
    void standardAckFillsTheThreeTextsForSave();
};

void SetupTest::designedAndCreatedOnFirstTouch()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    // Start-up touched the fields: the dialog exists, hidden, in its View state.
    frmSetup *dialog = w.setupIfExists();
    QVERIFY(dialog);
    QVERIFY(!dialog->isVisible());
    QVERIFY(inViewState(*dialog));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Setup"));
    // Its size and its controls' places are in tst_scaling's table.
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
    frmSetup &shown = showSetup(w);
    QCOMPARE(&shown, dialog);
    QCOMPARE(shown.txtMSASegment->text(), QStringLiteral("|AR|"));
    QCOMPARE(QApplication::focusWidget(), shown.cmdEdit);
}

void SetupTest::editChangeExitWritesNothing()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    const QByteArray before = program.ini();
    const SettingsRecord record = w.record();
    frmSetup &d = editSetup(w);
    QVERIFY(!w.isEnabled());
    QCOMPARE(QApplication::focusWidget(), d.txtInterfaceName);
    retype(d.txtInterfaceName, QStringLiteral("Changed"));
    retype(d.txtAckBeforeDate, QStringLiteral("|x|"));
    QTest::mouseClick(d.chkShowCount, Qt::LeftButton);
    QTest::mouseClick(d.cmdExit, Qt::LeftButton);

    QVERIFY(w.isEnabled());
    QVERIFY(!w.setupIfExists());
    QCOMPARE(program.ini(), before);
    QCOMPARE(w.record(), record);
    frmSetup &again = showSetup(w);
    QVERIFY(inViewState(again));
    QCOMPARE(again.txtInterfaceName->text(), QStringLiteral("Interface"));
    QCOMPARE(again.showCountState(), 0);
}

void SetupTest::editSaveWritesTheFieldsAndSetsTheCaption()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    w.txtItemCount->setText(QStringLiteral("12"));
    frmSetup &d = editSetup(w);
    retype(d.txtInterfaceName, QStringLiteral("Lab"));
    retype(d.txtAckAfterDate, QString());
    retype(d.txtMSASegment, QStringLiteral("|AE|oops"));
    QTest::mouseClick(d.cmdSave, Qt::LeftButton);

    QCOMPARE(w.windowTitle(), QStringLiteral("Lab 12"));
    QVERIFY(program.ini().contains("[Interface Name]\r\nLab\r\n"));
    QVERIFY(program.ini().contains("[MSH after date]\r\n\r\n"));
    QVERIFY(program.ini().contains("[MSA Segment]\r\n|AE|oops\r\n"));
    QCOMPARE(w.record().strInterfaceName, QStringLiteral("Lab"));
    QCOMPARE(w.record().strAckAfterDate, QString());
    // After Save only Exit works.
    QVERIFY(!d.cmdEdit->isEnabled());
    QVERIFY(!d.cmdSave->isEnabled());
    QVERIFY(!d.txtInterfaceName->isEnabled());
    QVERIFY(d.cmdExit->isEnabled());
    QTest::mouseClick(d.cmdExit, Qt::LeftButton);
    frmSetup &again = showSetup(w);
    QVERIFY(inViewState(again));
    QCOMPARE(again.txtMSASegment->text(), QStringLiteral("|AE|oops"));
}

void SetupTest::nextAcknowledgementUsesTheSavedTexts()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    frmSetup &d = editSetup(w);
    retype(d.txtAckBeforeDate, QStringLiteral("|^~\\&|PROBE|"));
    retype(d.txtMSASegment, QStringLiteral("|AR|"));
    QTest::mouseClick(d.cmdSave, Qt::LeftButton);
    QTest::mouseClick(d.cmdExit, Qt::LeftButton);

    w.cmdStart->click();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    const QDateTime from = QDateTime::currentDateTime();
    QVERIFY(client.send("m"));
    QVERIFY(receivesAck(client, from, {.before = "|^~\\&|PROBE|", .msa = "|AR|"}));
}

void SetupTest::chooserOpensOnlyWhenTheFocusMovesIntoTheField()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    FakeWindowing &windowing = program.windowing;
    frmSetup &d = showSetup(w);
    // In the View state the field is disabled: a click opens nothing.
    QTest::mouseClick(d.txtLogfileLocation, Qt::LeftButton);
    QCOMPARE(windowing.choosers, 0);

    QTest::mouseClick(d.cmdEdit, Qt::LeftButton);
    QCOMPARE(windowing.choosers, 0); // enabling the field does not open it
    const QString chosen = program.path(QStringLiteral("picked.log"));
    windowing.chosenFiles = {chosen};
    d.chkShowCount->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(d.chkShowCount, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), d.txtLogfileLocation);
    QCOMPARE(windowing.choosers, 1);
    QCOMPARE(d.txtLogfileLocation->text(), chosen);

    // The dialog becoming active again is no move into the field.
    QApplication::setActiveWindow(&w);
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
    TestProgram program;
    frmInterface &w = program.openShown();
    frmSetup &d = editSetup(w);
    d.txtLogfileLocation_GotFocus(); // no file chosen: a cancel
    QCOMPARE(program.windowing.choosers, 1);
    QCOMPARE(d.txtLogfileLocation->text(), QStringLiteral("logfile.txt"));
}

void SetupTest::nameTypingStopsAt18ButLongerStoredNamesStayWhole()
{
    const QString longName = QStringLiteral("Laboratory Interface North");
    TestProgram program;
    frmInterface &w = program.openShown({.interfaceName = longName});
    frmSetup &d = showSetup(w);
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
    frmSetup &again = editSetup(w);
    QTest::mouseClick(again.cmdSave, Qt::LeftButton);
    QVERIFY(program.ini().contains("[Interface Name]\r\n" + longName.toLatin1() + "\r\n"));
}

void SetupTest::closeBoxGivesTheMainWindowBack()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    frmSetup &d = editSetup(w);
    retype(d.txtInterfaceName, QStringLiteral("Unsaved"));
    QVERIFY(!w.isEnabled());
    d.close();
    QVERIFY(w.isEnabled());
    QVERIFY(!w.setupIfExists());
    QCOMPARE(w.setup().txtInterfaceName->text(), QStringLiteral("Interface"));
}

void SetupTest::mainWindowTakesNoInputWhileTheDialogIsOpen()
{
    TestProgram program;
    frmInterface &w = program.openShown();
    showSetup(w);
    QTest::mouseClick(w.cmdStart, Qt::LeftButton);
    QVERIFY(!w.engine().isListening());
    QVERIFY(!w.menuBar()->isEnabled());
    // Its close box does nothing: no question, the window stays.
    QVERIFY(!w.close());
    QVERIFY(w.isVisible());
    QVERIFY(program.windowing.boxes.isEmpty());
    QVERIFY(!program.windowing.programEnded());
    w.setupIfExists()->cmdExit->click();
    QTest::mouseClick(w.cmdStart, Qt::LeftButton);
    QVERIFY(w.engine().isListening());
}

void SetupTest::standardAckFillsTheThreeTextsForSave()
{
    const QString before = QStringLiteral("|^~\\&|{MSH-5}|{MSH-6}|{MSH-3}|{MSH-4}|");
    const QString after = QStringLiteral("||ACK^{MSH-9.2}^ACK|{MSH-10}|{MSH-11}|{MSH-12}||||||{MSH-18}");
    const QString msa = QStringLiteral("|AA|{MSH-10}");
    TestProgram program;
    frmInterface &w = program.openShown();
    frmSetup &d = showSetup(w);
    // It stands with the texts it fills: under the heading, on the MSH
    // frame's caption line right of its title, above its box, covering nothing.
    const QRect button = d.cmdStandardAck->geometry();
    QStyleOptionGroupBox frame;
    frame.initFrom(d.fraAckInformation);
    frame.text = d.fraAckInformation->title();
    frame.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const auto part = [&](QStyle::SubControl sub) {
        return d.style()->subControlRect(QStyle::CC_GroupBox, &frame, sub, d.fraAckInformation)
                .translated(d.fraAckInformation->pos());
    };
    QVERIFY(button.top() >= d.lblAckowledgement->geometry().bottom());
    QVERIFY(button.left() > part(QStyle::SC_GroupBoxLabel).right());
    QVERIFY(button.bottom() < part(QStyle::SC_GroupBoxFrame).top() + d.fraAckInformation->contentsMargins().top());
    QCOMPARE(button.right(), d.fraAckInformation->geometry().right());
    for (QWidget *other : d.findChildren<QWidget *>())
        if (other != d.cmdStandardAck && other != d.fraAckInformation && other->isVisible())
            QVERIFY2(!button.intersects(QRect(other->mapTo(&d, QPoint()), other->size())), qPrintable(other->objectName()));
    // Only while the texts can be edited; last in the tab order.
    QVERIFY(!d.cmdStandardAck->isEnabled());
    QTest::mouseClick(d.cmdEdit, Qt::LeftButton);
    QVERIFY(d.cmdStandardAck->isEnabled());
    d.txtMSASegment->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(d.txtMSASegment, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), d.cmdStandardAck);
    QTest::keyClick(d.cmdStandardAck, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), d.cmdSave); // Edit is off: the designed order goes on
    QTest::mouseClick(d.cmdStandardAck, Qt::LeftButton);
    QCOMPARE(d.txtAckBeforeDate->text(), before);
    QCOMPARE(d.txtAckAfterDate->text(), after);
    QCOMPARE(d.txtMSASegment->text(), msa);
    // Nothing is stored until Save; Exit discards it.
    QCOMPARE(w.record().strMSASegment, QStringLiteral("|AA||||||"));
    QTest::mouseClick(d.cmdExit, Qt::LeftButton);
    QCOMPARE(w.record().strAckBeforeDate, QStringLiteral("|||||"));

    // Its access key, then Save.
    frmSetup &again = editSetup(w);
    retype(again.txtMSASegment, QStringLiteral("|AE|"));
    QVERIFY(QTest::qWaitForWindowActive(&again));
    QTest::keyClick(again.windowHandle(), Qt::Key_A, Qt::AltModifier);
    QTRY_COMPARE(again.txtMSASegment->text(), msa); // a key clicks a button after its press is shown
    QTest::mouseClick(again.cmdSave, Qt::LeftButton);
    QVERIFY(!again.cmdStandardAck->isEnabled());
    QCOMPARE(w.record().strAckAfterDate, after);
    QVERIFY(program.ini().contains("[MSH before date]\r\n" + before.toLatin1() + "\r\n\r\n[MSH after date]\r\n"
                                   + after.toLatin1() + "\r\n\r\n[MSA Segment]\r\n" + msa.toLatin1()));
}

QTEST_MAIN(SetupTest)
#include "tst_setup.moc"
