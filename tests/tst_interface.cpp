// The acknowledging interface end to end: real TCP clients on loopback
// against the real main window. Connections that come and go, replace each
// other or are reset are in tst_faults.

#include "testsupport.h"

#include "mainwindow/connectionsdialog.h"
#include "mainwindow/frminterface.h"
#include "mainwindow/receivedmodel.h"
#include "settings/options.h"
#include "setup/frmsetup.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include "mainwindow/receivedlistview.h"
#include <QtTest>

class InterfaceTest : public QObject
{
    Q_OBJECT

private slots:
    void messageIsShownCountedLoggedAndAcknowledged();
    void portInUseLeavesThePortEditable();
    void otherListenFailureIsUnexpected();
    void stopAndStartKeepCountingAndKeepTheList();
    void showCountPutsTheCountInTheCaption();
    void failedRelistenIsReported();
    void countingGoesOnPast32767();
    void fieldsAgreeAndKeepUpThroughABurst();
    void theConnectionsDialogWritesThroughTheSettings();
    void severalSendersAreCountedAndTheirNoticesLined();
};

void InterfaceTest::messageIsShownCountedLoggedAndAcknowledged()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    QCOMPARE(w.txtInterfaceStatus->text(), Shown::Listening);
    QVERIFY(w.engine().isListening());

    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QTRY_COMPARE(w.txtInterfaceStatus->text(), Shown::Established);
    QCOMPARE(w.txtStartDateAndTime->text().size(), 12);

    const QDateTime before = QDateTime::currentDateTime();
    QVERIFY(client.send(framed(Adt)));
    const QByteArray ack = client.receive(DefaultAckSize);
    QVERIFY2(isAck(ack, before, QDateTime::currentDateTime()), ack.toHex().constData());

    QCOMPARE(w.txtItemCount->text(), QStringLiteral("1"));
    QCOMPARE(w.txtSendData->text(), QString::fromLatin1(ack));
    QCOMPARE(w.txtDateTime->text(), QString::fromLatin1(ack.mid(9, 12)));
    QCOMPARE(w.lastAcknowledgement(), ack);
    QCOMPARE(w.receivedMessages().size(), 1);
    QCOMPARE(w.receivedMessages().at(0), QByteArrayView(framed(Adt)));
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), 1);
    QCOMPARE(w.lvwReceiveData->model()->index(0, 0).data().toString(),
             QString::fromLatin1(framed(Adt)));
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), framed(Adt) + "\r\n");
    // With the show-count option off the caption stays the interface name.
    QCOMPARE(w.windowTitle(), QStringLiteral("Interface"));
}

void InterfaceTest::portInUseLeavesThePortEditable()
{
    TestProgram program;
    QVERIFY(program.holdPort());
    frmInterface &w = program.openOnPort();
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.Start();

    QCOMPARE(program.windowing.noticeTexts(),
             QStringList{QStringLiteral("The port is already in use.  Select another port number.")});
    QCOMPARE(program.windowing.boxes.first().title, QStringLiteral("AckmereProbe"));
    QCOMPARE(w.txtInterfaceStatus->text(), Shown::Listening);
    QVERIFY(w.txtRemotePort->isEnabled());
    QTRY_VERIFY(w.txtRemotePort->hasFocus());
    QVERIFY(w.cmdSave->isEnabled());
    QVERIFY(!w.cmdStop->isEnabled());
    QVERIFY(!w.cmdStart->isEnabled());
    QVERIFY(!w.cmdEdit->isEnabled());
    QVERIFY(w.mnuFileStopInterface->isEnabled());
    QVERIFY(!w.mnuOptionsSetup->isEnabled());
    QVERIFY(!w.engine().isListening());

    // The Stop item stays available and returns to the stopped state.
    w.mnuFileStopInterface->trigger();
    QCOMPARE(w.txtInterfaceStatus->text(), Shown::Stopped);
    QVERIFY(w.cmdStart->isEnabled());
}

void InterfaceTest::otherListenFailureIsUnexpected()
{
    TestProgram program;
    program.writeIni({.port = QStringLiteral("70000")});
    frmInterface &w = program.open();
    w.Start();
    QCOMPARE(program.windowing.noticeTexts(),
             QStringList{QStringLiteral("Unexpected error has occurred.")});
    QCOMPARE(w.txtInterfaceStatus->text(), Shown::Listening);
    QVERIFY(w.cmdStop->isEnabled());
    w.Stop();
    QCOMPARE(w.txtInterfaceStatus->text(), Shown::Stopped);
}

void InterfaceTest::stopAndStartKeepCountingAndKeepTheList()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    {
        LoopbackClient client;
        QVERIFY(client.connectTo(program.port()));
        for (int i = 0; i < 3; ++i)
            QVERIFY(client.exchange(QByteArray("message ") + QByteArray::number(i)));
        w.cmdStop->click();
        QVERIFY(client.waitForClosed());
    }
    QCOMPARE(w.txtInterfaceStatus->text(), Shown::Stopped);
    QVERIFY(!w.engine().isListening());
    QVERIFY(w.cmdStart->isEnabled() && !w.cmdStop->isEnabled() && w.cmdEdit->isEnabled()
            && !w.cmdSave->isEnabled());
    QVERIFY(w.mnuFileStartInterface->isEnabled() && !w.mnuFileStopInterface->isEnabled()
            && w.mnuOptionsSetup->isEnabled() && w.mnuOptionsAutomaticStart->isEnabled()
            && w.mnuOptionsEditRemoteSettings->isEnabled()
            && !w.mnuOptionsSaveRemoteSettings->isEnabled());
    // A Stop after a Stop closes nothing and reports nothing.
    w.Stop();
    QVERIFY(program.windowing.boxes.isEmpty());

    const QString startTime = w.txtStartDateAndTime->text();
    w.cmdStart->click();
    QCOMPARE(w.txtItemCount->text(), QStringLiteral("0"));
    QCOMPARE(w.txtSendData->text(), QString());
    QCOMPARE(w.txtDateTime->text(), QString());
    QCOMPARE(w.txtStartDateAndTime->text(), startTime);
    LoopbackClient again;
    QVERIFY(again.connectTo(program.port()));
    QVERIFY(again.exchange("fourth"));
    QTRY_COMPARE(w.txtItemCount->text(), QStringLiteral("4"));
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), 4);
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")),
             QByteArray("message 0\r\nmessage 1\r\nmessage 2\r\nfourth\r\n"));
}

void InterfaceTest::showCountPutsTheCountInTheCaption()
{
    TestProgram program;
    frmInterface &w = program.openListening({.showCount = 1});
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    for (int i = 1; i <= 3; ++i) {
        QVERIFY(client.exchange("m"));
        QTRY_COMPARE(w.windowTitle(), QStringLiteral("Interface %1").arg(i));
    }
    // The caption is built from the counter field as it reads.
    w.txtItemCount->setText(QStringLiteral("forty"));
    w.AddTransactionCount();
    QCOMPARE(w.windowTitle(), QStringLiteral("Interface forty"));
}

void InterfaceTest::failedRelistenIsReported()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("m"));
    // The listener gone to a port another program holds: a peer close whose
    // listener cannot listen again says so with the number, once the socket
    // layer's handler has returned.
    LoopbackClient other;
    const quint16 held = other.listenOnLoopback();
    w.settings().setListenPort(held);
    QCOMPARE(w.engine().start().socketError, 10048);
    QVERIFY(!w.engine().isListening());
    qsizetype boxesWhenTold = -1;
    QObject::connect(&w.engine(), &InterfaceEngine::socketError, &w,
                     [&] { boxesWhenTold = program.windowing.boxes.size(); });
    client.close();
    QTRY_COMPARE(program.windowing.noticeTexts(), QStringList{QStringLiteral("10048")});
    QCOMPARE(boxesWhenTold, 0);
    QCOMPARE(w.txtInterfaceStatus->text(), Shown::Waiting);
}

void InterfaceTest::countingGoesOnPast32767()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    const int total = 32770;
    for (int i = 1; i <= total; ++i) {
        if (!client.exchange("x"))
            QFAIL(qPrintable(QStringLiteral("no acknowledgement for message %1").arg(i)));
    }
    QTRY_COMPARE(w.txtItemCount->text(), QString::number(total));
    QCOMPARE(w.transactionCount(), total);
    QCOMPARE(w.receivedMessages().size(), total);
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), total);
    QVERIFY(program.windowing.boxes.isEmpty());
}

void InterfaceTest::fieldsAgreeAndKeepUpThroughABurst()
{
    TestProgram program;
    frmInterface &w = program.openListening({.showCount = 1});
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QByteArray logged;
    QList<QByteArray> acks;
    // The window catches up once a frame: at any moment its fields show one
    // message of the burst, all of them the same one, and they move on while
    // the burst goes on rather than only once it ends.
    QSet<int> shownDuringBurst;
    const auto burstMessage = [](int n) { return framed("MSH|^~\\&|BURST|" + QByteArray::number(n) + "\r"); };
    const auto fieldsAgree = [&](int sent) {
        const int shown = w.txtItemCount->text().toInt();
        shownDuringBurst.insert(shown);
        if (shown < 1 || shown > sent)
            return false;
        const QByteArray &ack = acks[shown - 1];
        return w.windowTitle() == QStringLiteral("Interface %1").arg(shown)
            && w.lvwReceiveData->model()->rowCount() == shown
            && w.lvwReceiveData->model()->index(shown - 1, 0).data().toString()
                   == QString::fromLatin1(burstMessage(shown))
            && w.txtSendData->text() == QString::fromLatin1(ack)
            && w.txtDateTime->text() == QString::fromLatin1(ack.mid(9, 12));
    };
    // Long enough for a dozen frames however fast the machine is.
    QElapsedTimer burst;
    burst.start();
    int sent = 0;
    while (sent < 2000 || burst.elapsed() < 500) {
        const QByteArray message = burstMessage(++sent);
        logged += message + "\r\n";
        QVERIFY(client.send(message));
        acks << client.receive(DefaultAckSize);
        QCOMPARE(acks.last().size(), DefaultAckSize);
        if (!fieldsAgree(sent))
            QFAIL(qPrintable(QStringLiteral("the fields disagree at message %1").arg(sent)));
    }
    QVERIFY2(shownDuringBurst.size() >= 4, "the window stood still through the burst");
    QTRY_COMPARE(w.txtItemCount->text(), QString::number(sent));
    QVERIFY(fieldsAgree(sent));
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), logged);
}

void InterfaceTest::theConnectionsDialogWritesThroughTheSettings()
{
    TestProgram program;
    program.writeOptionsBytes("[Answer]\nMode=Never\n[List]\nColumns=Size\n");
    frmInterface &w = program.openShown();
    const Options before = w.options();
    const QByteArray fileBefore = program.readFile(QStringLiteral("ackprobe-options.ini"));
    // Opened from the menu, every field changed: the files through their
    // choosers but the last, whose chooser is cancelled and leaves what was typed.
    const auto openAndChangeEveryField = [&]() -> ConnectionsDialog * {
        w.mnuOptionsConnections->trigger();
        ConnectionsDialog *dialog = w.connectionsDialog();
        if (!dialog || !dialog->isVisible() || dialog->spnMaxSenders->isEnabled())
            return nullptr;
        dialog->optSeveralSenders->click();
        dialog->spnMaxSenders->setValue(1000);
        dialog->spnIdleTimeout->setValue(86400);
        program.windowing.chosenFiles = {program.path(QStringLiteral("server.pem")),
                                         program.path(QStringLiteral("server.key"))};
        dialog->cmdBrowseCertificate->click();
        dialog->cmdBrowseKey->click();
        dialog->txtClientCAs->setText(QStringLiteral(" ca.pem "));
        dialog->cmdBrowseClientCAs->click();
        return dialog->spnMaxSenders->isEnabled() ? dialog : nullptr;
    };

    ConnectionsDialog *dialog = openAndChangeEveryField();
    QVERIFY(dialog);
    QCOMPARE(dialog->spnIdleTimeout->text(), QStringLiteral("86400 s"));
    dialog->cmdCancel->click();
    QTRY_VERIFY(!w.connectionsDialog());
    QCOMPARE(w.options(), before);
    QCOMPARE(program.readFile(QStringLiteral("ackprobe-options.ini")), fileBefore);

    dialog = openAndChangeEveryField();
    QVERIFY(dialog);
    dialog->cmdOK->click();
    QTRY_VERIFY(!w.connectionsDialog());
    // The other options stay as they were.
    Options expected = before;
    expected.senders = Options::Senders::Several;
    expected.maxSenders = 1000;
    expected.idleTimeoutS = 86400;
    expected.tlsCertificate = program.path(QStringLiteral("server.pem"));
    expected.tlsKey = program.path(QStringLiteral("server.key"));
    expected.tlsClientCAs = QStringLiteral("ca.pem");
    QCOMPARE(w.options(), expected);
    const OptionsReading written = readOptions(program.dir());
    QVERIFY(written.problems.isEmpty());
    QCOMPARE(written.options, expected);
    QCOMPARE(program.windowing.choosers, 6);
    QVERIFY(program.windowing.boxes.isEmpty());
}

void InterfaceTest::severalSendersAreCountedAndTheirNoticesLined()
{
    TestProgram program;
    program.writeOptionsBytes("[Receive]\nSenders=Several\nMaxSenders=2\n");
    frmInterface &w = program.openListening();
    QVERIFY(showExposed(w));
    const auto lineSays = [&](const QString &text) {
        return waitUntil([&] { return w.connectionsText() == text && w.lblConnections->text() == text; });
    };
    LoopbackClient first;
    LoopbackClient second;
    QVERIFY(first.connectTo(program.port()) && first.exchange("one"));
    QVERIFY(lineSays(QStringLiteral("1 of 2 senders connected")));
    QVERIFY(second.connectTo(program.port()) && second.exchange("two"));
    QVERIFY(lineSays(QStringLiteral("2 of 2 senders connected")));
    QCOMPARE(w.txtInterfaceStatus->text(), Shown::Established);

    // A third is refused: the line tells it, cut to its width, never a box.
    LoopbackClient third;
    QVERIFY(third.connectTo(program.port()));
    QCOMPARE(third.waitForEnd(), 0);
    const QString full = QStringLiteral("2 of 2 senders connected - Sender 127.0.0.1 port %1 was refused: 2 senders "
                                        "are connected, the most [Receive] MaxSenders allows.")
                             .arg(third.localPort());
    QTRY_COMPARE(w.lblConnections->toolTip(), full);
    QCOMPARE(w.lblConnections->accessibleName(), full);
    const QString shown = w.lblConnections->text();
    QVERIFY2(shown.startsWith(QStringLiteral("2 of 2 senders connected - Sender")) && shown.size() < full.size(),
             qPrintable(shown));
    QVERIFY(w.lblConnections->fontMetrics().horizontalAdvance(shown) <= w.lblConnections->contentsRect().width());
    QVERIFY(program.windowing.boxes.isEmpty());

    // One at a time, as by default: no count, the designed texts alone.
    Options one = w.options();
    one.senders = Options::Senders::One;
    w.settings().setOptions(one);
    w.Stop();
    w.Start();
    QVERIFY(first.connectTo(program.port()) && first.exchange("three"));
    QVERIFY(lineSays(QString()));
    QCOMPARE(w.txtInterfaceStatus->text(), Shown::Established);
}

QTEST_MAIN(InterfaceTest)
#include "tst_interface.moc"
