// The acknowledging interface end to end: real TCP clients on loopback
// against the real main window.

#include "testsupport.h"

#include "interface/winsock.h"
#include "mainwindow/frminterface.h"
#include "mainwindow/receivedmodel.h"
#include "setup/frmsetup.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include "mainwindow/receivedlistview.h"
#include <QTcpServer>
#include <QtTest>

namespace {
const QByteArray Adt = "MSH|^~\\&|SENDER|FAC|ACKPROBE|FAC|202612070815||ADT^A01|MSG0001|P|2.3\r"
                       "PID|1||12345^^^HOSP||DOE^JOHN||19700101|M\r";

struct Running
{
    TestProgram program;
    quint16 port = 0;
    frmInterface *window = nullptr;

    explicit Running(IniValues values = {})
    {
        port = freePort();
        values.port = QString::number(port);
        values.autoStart = QStringLiteral("On");
        program.writeIni(values);
        window = &program.open();
    }
};

// A program whose port another listener holds already; automatic start off.
struct OnHeldPort
{
    QTcpServer holder;
    TestProgram program;
    frmInterface *window = nullptr;

    OnHeldPort()
    {
        if (!holder.listen(QHostAddress::Any, 0))
            qFatal("no port to hold");
        IniValues values;
        values.port = QString::number(holder.serverPort());
        program.writeIni(values);
        window = &program.open();
    }
};

// The 12 digits in the middle of an acknowledgement and the bytes around them.
void verifyAck(const QByteArray &ack, const QByteArray &before, const QByteArray &after,
               const QByteArray &msa, const QDateTime &from, const QDateTime &to)
{
    const QByteArray head = QByteArray("\x0bMSH") + before;
    const QByteArray tail = after + "\rMSA" + msa + "\r\x1c\r";
    QCOMPARE(ack.size(), head.size() + 12 + tail.size());
    QCOMPARE(ack.left(head.size()), head);
    QCOMPARE(ack.right(tail.size()), tail);
    const QString stamp = QString::fromLatin1(ack.mid(head.size(), 12));
    QVERIFY2(isTimeStampBetween(stamp, from, to), qPrintable(stamp));
}
} // namespace

class InterfaceTest : public QObject
{
    Q_OBJECT

private slots:
    void messageIsShownCountedLoggedAndAcknowledged();
    void emptyTextsGiveTheFixedBytesAndTheStamp();
    void messagesArrivingTogetherAreOneMessage();
    void newerClientReplacesTheCurrentOne();
    void peerCloseListensAgain();
    void resetShowsItsNumberAndChangesNothing();
    void portInUseLeavesThePortEditable();
    void otherListenFailureIsUnexpected();
    void stopAndStartKeepCountingAndKeepTheList();
    void showCountPutsTheCountInTheCaption();
    void failedAcceptIsDroppedAndListeningGoesOn();
    void failedRelistenIsReported();
    void countingGoesOnPast32767();
    void everyFieldIsExactAfterEachMessageOfABurst();
};

void InterfaceTest::messageIsShownCountedLoggedAndAcknowledged()
{
    Running run;
    frmInterface &w = *run.window;
    QCOMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Start Requested"));
    QVERIFY(w.winsock().isListening(0));

    LoopbackClient client;
    QVERIFY(client.connectTo(run.port));
    QTRY_COMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Connection Established"));
    QCOMPARE(w.txtStartDateAndTime->text().size(), 12);

    const QDateTime before = QDateTime::currentDateTime();
    QVERIFY(client.send(framed(Adt)));
    const QByteArray ack = client.receive(51);
    const QDateTime after = QDateTime::currentDateTime();
    verifyAck(ack, "|||||", "||ACK|||||||||", "|AA||||||", before, after);

    QCOMPARE(w.txtItemCount->text(), QStringLiteral("1"));
    QCOMPARE(w.txtSendData->text(), QString::fromLatin1(ack));
    QCOMPARE(w.txtDateTime->text(), QString::fromLatin1(ack.mid(9, 12)));
    QCOMPARE(w.lastAcknowledgement(), ack);
    QCOMPARE(w.receivedMessages().size(), 1);
    QCOMPARE(w.receivedMessages().at(0), QByteArrayView(framed(Adt)));
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), 1);
    QCOMPARE(w.lvwReceiveData->model()->index(0, 0).data().toString(),
             QString::fromLatin1(framed(Adt)));
    QCOMPARE(run.program.readFile(QStringLiteral("logfile.txt")), framed(Adt) + "\r\n");
    // With the show-count option off the caption stays the interface name.
    QCOMPARE(w.windowTitle(), QStringLiteral("Interface"));
}

void InterfaceTest::emptyTextsGiveTheFixedBytesAndTheStamp()
{
    IniValues values;
    // Empty values are repaired at start-up; set them empty after it.
    Running run(values);
    run.window->record().strAckBeforeDate.clear();
    run.window->record().strAckAfterDate.clear();
    run.window->record().strMSASegment.clear();

    LoopbackClient client;
    QVERIFY(client.connectTo(run.port));
    const QDateTime before = QDateTime::currentDateTime();
    QVERIFY(client.send("x"));
    const QByteArray ack = client.receive(23);
    verifyAck(ack, "", "", "", before, QDateTime::currentDateTime());
}

void InterfaceTest::messagesArrivingTogetherAreOneMessage()
{
    Running run;
    LoopbackClient client;
    QVERIFY(client.connectTo(run.port));
    const QByteArray two = framed(Adt) + framed(Adt);
    QVERIFY(client.send(two));
    QCOMPARE(client.receive(51).size(), 51);
    // No second acknowledgement follows.
    QCOMPARE(client.receive(1, 300), QByteArray());
    QCOMPARE(run.window->txtItemCount->text(), QStringLiteral("1"));
    QCOMPARE(run.window->receivedMessages().size(), 1);
    QCOMPARE(run.window->receivedMessages().at(0), QByteArrayView(two));
}

void InterfaceTest::newerClientReplacesTheCurrentOne()
{
    Running run;
    frmInterface &w = *run.window;
    LoopbackClient first;
    QVERIFY(first.connectTo(run.port));
    QTRY_COMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Connection Established"));
    QVERIFY(first.send("one"));
    QCOMPARE(first.receive(51).size(), 51);

    w.txtInterfaceStatus->clear();
    w.txtStartDateAndTime->clear();
    LoopbackClient second;
    QVERIFY(second.connectTo(run.port));
    QVERIFY(first.waitForClosed());
    QTRY_COMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Connection Established"));
    QCOMPARE(w.txtStartDateAndTime->text().size(), 12);
    QVERIFY(second.send("two"));
    QCOMPARE(second.receive(51).size(), 51);
    QCOMPARE(w.winsock().count(), 2);
    // Dropping the first connection is no error.
    QVERIFY(run.program.windowing.boxes.isEmpty());
}

void InterfaceTest::peerCloseListensAgain()
{
    Running run;
    frmInterface &w = *run.window;
    for (int round = 0; round < 3; ++round) {
        LoopbackClient client;
        QVERIFY(client.connectTo(run.port));
        QTRY_COMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Connection Established"));
        QVERIFY(client.send("ping"));
        QCOMPARE(client.receive(51).size(), 51);
        client.close();
        QTRY_COMPARE(w.txtInterfaceStatus->text(),
                     QStringLiteral("Connection closed.Waiting for reconnect."));
        // Wider than its box: the box shows where the text begins.
        QCOMPARE(w.txtInterfaceStatus->cursorPosition(), 0);
        QVERIFY(w.winsock().isListening(0));
        QVERIFY(!w.cmdStart->isEnabled());
        QVERIFY(w.cmdStop->isEnabled());
    }
    QVERIFY(run.program.windowing.boxes.isEmpty());
    QCOMPARE(w.txtItemCount->text(), QStringLiteral("3"));
}

void InterfaceTest::resetShowsItsNumberAndChangesNothing()
{
    Running run;
    frmInterface &w = *run.window;
    LoopbackClient client;
    QVERIFY(client.connectTo(run.port));
    QVERIFY(client.send("before the reset"));
    QCOMPARE(client.receive(51).size(), 51);
    client.reset();
    QTRY_COMPARE(run.program.windowing.noticeTexts(), QStringList{QStringLiteral("10054")});
    QCOMPARE(run.program.windowing.boxes.first().title, QStringLiteral("AckmereProbe"));
    QCOMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Connection Established"));
    QVERIFY(w.winsock().isListening(0));

    LoopbackClient next;
    QVERIFY(next.connectTo(run.port));
    QVERIFY(next.send("after"));
    QCOMPARE(next.receive(51).size(), 51);
}

void InterfaceTest::portInUseLeavesThePortEditable()
{
    OnHeldPort held;
    TestProgram &program = held.program;
    frmInterface &w = *held.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.Start();

    QCOMPARE(program.windowing.noticeTexts(),
             QStringList{QStringLiteral("The port is already in use.  Select another port number.")});
    QCOMPARE(program.windowing.boxes.first().title, QStringLiteral("AckmereProbe"));
    QCOMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Start Requested"));
    QVERIFY(w.txtRemotePort->isEnabled());
    QTRY_VERIFY(w.txtRemotePort->hasFocus());
    QVERIFY(w.cmdSave->isEnabled());
    QVERIFY(!w.cmdStop->isEnabled());
    QVERIFY(!w.cmdStart->isEnabled());
    QVERIFY(!w.cmdEdit->isEnabled());
    QVERIFY(w.mnuFileStopInterface->isEnabled());
    QVERIFY(!w.mnuOptionsSetup->isEnabled());
    QVERIFY(!w.winsock().isListening(0));

    // The Stop item stays available and returns to the stopped state.
    w.mnuFileStopInterface->trigger();
    QCOMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Connection Stopped"));
    QVERIFY(w.cmdStart->isEnabled());
}

void InterfaceTest::otherListenFailureIsUnexpected()
{
    TestProgram program;
    IniValues values;
    values.port = QStringLiteral("70000");
    program.writeIni(values);
    frmInterface &w = program.open();
    w.Start();
    QCOMPARE(program.windowing.noticeTexts(),
             QStringList{QStringLiteral("Unexpected error has occurred.")});
    QCOMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Start Requested"));
    QVERIFY(w.cmdStop->isEnabled());
    w.Stop();
    QCOMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Connection Stopped"));
}

void InterfaceTest::stopAndStartKeepCountingAndKeepTheList()
{
    Running run;
    frmInterface &w = *run.window;
    {
        LoopbackClient client;
        QVERIFY(client.connectTo(run.port));
        for (int i = 0; i < 3; ++i) {
            QVERIFY(client.send(QByteArray("message ") + QByteArray::number(i)));
            QCOMPARE(client.receive(51).size(), 51);
        }
        w.cmdStop->click();
        QVERIFY(client.waitForClosed());
    }
    QCOMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Connection Stopped"));
    QVERIFY(!w.winsock().isListening(0));
    QVERIFY(w.cmdStart->isEnabled() && !w.cmdStop->isEnabled() && w.cmdEdit->isEnabled()
            && !w.cmdSave->isEnabled());
    QVERIFY(w.mnuFileStartInterface->isEnabled() && !w.mnuFileStopInterface->isEnabled()
            && w.mnuOptionsSetup->isEnabled() && w.mnuOptionsAutomaticStart->isEnabled()
            && w.mnuOptionsEditRemoteSettings->isEnabled()
            && !w.mnuOptionsSaveRemoteSettings->isEnabled());
    // A Stop after a Stop closes nothing and reports nothing.
    w.Stop();
    QVERIFY(run.program.windowing.boxes.isEmpty());

    const QString startTime = w.txtStartDateAndTime->text();
    w.cmdStart->click();
    QCOMPARE(w.txtItemCount->text(), QStringLiteral("0"));
    QCOMPARE(w.txtSendData->text(), QString());
    QCOMPARE(w.txtDateTime->text(), QString());
    QCOMPARE(w.txtStartDateAndTime->text(), startTime);
    LoopbackClient again;
    QVERIFY(again.connectTo(run.port));
    QVERIFY(again.send("fourth"));
    QCOMPARE(again.receive(51).size(), 51);
    QCOMPARE(w.txtItemCount->text(), QStringLiteral("4"));
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), 4);
    QCOMPARE(run.program.readFile(QStringLiteral("logfile.txt")),
             QByteArray("message 0\r\nmessage 1\r\nmessage 2\r\nfourth\r\n"));
}

void InterfaceTest::showCountPutsTheCountInTheCaption()
{
    IniValues values;
    values.showCount = 1;
    Running run(values);
    LoopbackClient client;
    QVERIFY(client.connectTo(run.port));
    for (int i = 1; i <= 3; ++i) {
        QVERIFY(client.send("m"));
        QCOMPARE(client.receive(51).size(), 51);
        QCOMPARE(run.window->windowTitle(), QStringLiteral("Interface %1").arg(i));
    }
    // The caption is built from the counter field as it reads.
    run.window->txtItemCount->setText(QStringLiteral("forty"));
    run.window->AddTransactionCount();
    QCOMPARE(run.window->windowTitle(), QStringLiteral("Interface forty"));
}

void InterfaceTest::failedAcceptIsDroppedAndListeningGoesOn()
{
    Running run;
    frmInterface &w = *run.window;
    // A request that the socket layer does not know cannot be accepted,
    // neither the first time nor on the fresh element of the one retry.
    w.Winsock_ConnectionRequest(0, 987654);
    QCOMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Start Requested"));
    QVERIFY(w.winsock().isListening(0));
    QVERIFY(run.program.windowing.boxes.isEmpty());

    LoopbackClient client;
    QVERIFY(client.connectTo(run.port));
    QVERIFY(client.send("still answering"));
    QCOMPARE(client.receive(51).size(), 51);
}

void InterfaceTest::failedRelistenIsReported()
{
    OnHeldPort held;
    TestProgram &program = held.program;
    frmInterface &w = *held.window;
    w.Start();
    program.windowing.boxes.clear();
    // A peer close whose listener cannot listen again says so with the number.
    w.Winsock_Close(1);
    QCOMPARE(program.windowing.noticeTexts(), QStringList{QStringLiteral("10048")});
    QCOMPARE(w.txtInterfaceStatus->text(), QStringLiteral("Connection closed.Waiting for reconnect."));
}

void InterfaceTest::countingGoesOnPast32767()
{
    Running run;
    frmInterface &w = *run.window;
    LoopbackClient client;
    QVERIFY(client.connectTo(run.port));
    const int total = 32770;
    for (int i = 1; i <= total; ++i) {
        if (!client.send("x") || client.receive(51).size() != 51)
            QFAIL(qPrintable(QStringLiteral("no acknowledgement for message %1").arg(i)));
    }
    QCOMPARE(w.txtItemCount->text(), QString::number(total));
    QCOMPARE(w.transactionCount(), total);
    QCOMPARE(w.receivedMessages().size(), total);
    QTRY_COMPARE(w.lvwReceiveData->model()->rowCount(), total);
    QVERIFY(run.program.windowing.boxes.isEmpty());
}

void InterfaceTest::everyFieldIsExactAfterEachMessageOfABurst()
{
    IniValues values;
    values.showCount = 1;
    Running run(values);
    frmInterface &w = *run.window;
    LoopbackClient client;
    QVERIFY(client.connectTo(run.port));
    QByteArray logged;
    for (int i = 1; i <= 2000; ++i) {
        const QByteArray message = framed("MSH|^~\\&|BURST|" + QByteArray::number(i) + "\r");
        logged += message + "\r\n";
        QVERIFY(client.send(message));
        const QByteArray ack = client.receive(51);
        QCOMPARE(ack.size(), 51);
        // What the window holds the moment the sender has its answer.
        if (w.txtItemCount->text() != QString::number(i)
            || w.windowTitle() != QStringLiteral("Interface %1").arg(i)
            || w.lvwReceiveData->model()->rowCount() != i
            || w.lvwReceiveData->model()->index(i - 1, 0).data().toString() != QString::fromLatin1(message)
            || w.txtSendData->text() != QString::fromLatin1(ack)
            || w.txtDateTime->text() != QString::fromLatin1(ack.mid(9, 12)))
            QFAIL(qPrintable(QStringLiteral("a field lags behind message %1").arg(i)));
    }
    QCOMPARE(run.program.readFile(QStringLiteral("logfile.txt")), logged);
}

QTEST_MAIN(InterfaceTest)
#include "tst_interface.moc"
