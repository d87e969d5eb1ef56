// Makes the README's pictures: the main window with messages in its list,
// one of them in the message viewer, the list with its optional columns and
// the find window, messages in several character sets with the viewer and
// the character set dialog, the connections dialog, the answer rules' editor
// and the setup dialog, as the program draws them on the display it is given
// (docs/make-screenshots.sh runs it under Xvfb).

#include "mainwindow/answerrulesdialog.h"
#include "mainwindow/charactersetdialog.h"
#include "mainwindow/connectionsdialog.h"
#include "mainwindow/findwindow.h"
#include "mainwindow/frminterface.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/messageviewer.h"
#include "mainwindow/placeline.h"
#include "mainwindow/receivedlistview.h"
#include "windowing/windowing.h"
#include "setup/frmsetup.h"
#include "settings/options.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPainter>
#include <QRadioButton>
#include <QSpinBox>
#include <QStringEncoder>
#include <QScreen>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextDocument>
#include <QTemporaryDir>

#include <cstdio>

namespace {
void settle(int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

QByteArray adt(int n)
{
    return QByteArray("\x0bMSH|^~\\&|HIS|GENERAL|LAB|GENERAL|202612070815||ADT^A01|MSG")
           + QByteArray::number(10000 + n)
           + "|P|2.3\rEVN|A01|202612070815\rPID|1||" + QByteArray::number(4711 + n)
           + "^^^GEN||DOE^JANE||19800101|F\rPV1|1|I|W2^12^1\r\x1c\r";
}

// A message naming its set in MSH-18 (or none), its text in that set.
QByteArray inSet(const QByteArray &controlId, const QByteArray &msh18, const QByteArray &text)
{
    return "\x0bMSH|^~\\&|HIS||LAB||202612091200||ADT^A08|" + controlId + "|P|2.5||||||" + msh18
           + "\rPID|1||4711^^^GEN||" + text + "\r\x1c\r";
}

// The twelve admissions the main window's pictures list.
QList<QByteArray> admissions()
{
    QList<QByteArray> messages;
    for (int n = 1; n <= 12; ++n)
        messages.append(adt(n));
    return messages;
}

// Sends the messages in turn, each answered before the next goes, the n-th
// through senders[n % senders.size()], then waits until `window` lists them
// all and has drawn its list, ready for a picture.
void sendAndList(const frmInterface &window, const QList<QTcpSocket *> &senders,
                 const QList<QByteArray> &messages)
{
    const QAbstractItemModel *list = window.lvwReceiveData->model();
    const int listed = list->rowCount() + int(messages.size());
    for (qsizetype n = 0; n < messages.size(); ++n) {
        QTcpSocket *sender = senders[n % senders.size()];
        sender->write(messages[n]);
        sender->flush();
        QElapsedTimer timer;
        timer.start();
        while (sender->bytesAvailable() == 0 && timer.elapsed() < 2000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        sender->readAll();
    }
    QElapsedTimer timer;
    timer.start();
    while (list->rowCount() < listed && timer.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    settle(500);
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: ackprobe_screenshots OUTPUT_DIR\n");
        return 2;
    }
    // Made absolute before the run moves into its own temporary folder.
    const QDir out(QDir(QString::fromLocal8Bit(argv[1])).absolutePath());
    QTemporaryDir home;
    QDir::setCurrent(home.path());
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    QFile ini(home.filePath(QStringLiteral("ackprobe.ini")));
    ini.open(QIODevice::WriteOnly);
    ini.write("[RemoteIP]\r\n0.0.0.0\r\n\r\n[Port]\r\n" + QByteArray::number(port)
              + "\r\n\r\n[AutoStart]\r\nOn\r\n\r\n[ExitWarning]\r\nFalse\r\n\r\n"
                "[MSH before date]\r\n|^~\\&|ACKPROBE|LAB|HIS|GENERAL|\r\n\r\n"
                "[MSH after date]\r\n||ACK|ACK0001|P|2.3\r\n\r\n[MSA Segment]\r\n|AA|MSG10012\r\n\r\n"
                "[Interface Name]\r\nLab Interface\r\n\r\n[Show Transaction Count]\r\n 1 \r\n\r\n"
                "[Logfile Location]\r\nlogfile.txt\r\n");
    ini.close();

    QtWindowing windowing;
    frmInterface window(windowing, home.path());
    window.Form_Load();
    window.move(0, 0);
    window.show();
    settle(300);

    QTcpSocket sender;
    sender.connectToHost(QHostAddress::LocalHost, port);
    sender.waitForConnected(5000);
    sendAndList(window, {&sender}, admissions());
    window.grab().save(out.filePath(QStringLiteral("mainwindow.png")));

    // The last message up close, as a double-click on its row opens it.
    window.lvwReceiveData->setCurrentRow(11);
    window.messageCommands().view(11);
    MessageViewer *viewer = window.messageCommands().viewer();
    viewer->resize(viewer->width(), viewer->height() * 2 / 3);
    viewer->move(0, 0);
    // The cursor on the patient's identifier, as a click puts it there.
    QTextCursor onId = viewer->txtMessage->document()->find(QStringLiteral("4723"));
    onId.setPosition(onId.selectionStart());
    viewer->txtMessage->setTextCursor(onId);
    viewer->lblPlace->refresh(true);
    settle(300);
    viewer->grab().save(out.filePath(QStringLiteral("viewer.png")));
    viewer->close();

    // The list with every optional column on, as the header's menu turns them
    // on, and two senders at once; the choice goes to this run's own options file.
    Options several;
    several.listColumns = optionalListColumns();
    several.senders = Options::Senders::Several;
    writeOptions(home.path(), several);
    window.Stop();
    {
        // Its automatic start listens on the port the first window left.
        frmInterface columns(windowing, home.path());
        columns.Form_Load();
        columns.move(0, 0);
        columns.resize(window.width() * 7 / 4, window.height());
        columns.show();
        settle(300);
        QTcpSocket senders[2];
        for (QTcpSocket &again : senders) {
            again.connectToHost(QHostAddress::LocalHost, port);
            again.waitForConnected(5000);
        }
        // Every third through the second sender.
        sendAndList(columns, {&senders[0], &senders[0], &senders[1]}, admissions());
        // The find window open over the top of the main window, having found
        // a control ID from the first row on.
        columns.lvwReceiveData->setCurrentRow(0);
        FindWindow &find = columns.messageCommands().findWindow();
        find.open();
        find.txtFind->setText(QStringLiteral("MSG10009"));
        find.findNext();
        for (int wait = 0; wait < 100 && find.searching(); ++wait)
            settle(20);
        find.adjustSize();
        find.move(columns.width() - find.width() - 16, 60);
        settle(500);
        QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, 0, 0, columns.width(), columns.height());
        {
            // Xvfb has no window manager to draw the find window's edge.
            QPainter edge(&shot);
            edge.setPen(find.palette().color(QPalette::Shadow));
            edge.drawRect(find.geometry().adjusted(-1, -1, 0, 0));
        }
        shot.save(out.filePath(QStringLiteral("columns.png")));
        find.close();
        columns.Stop();
    }
    writeOptions(home.path(), Options());

    // Messages in their own sets, windows-1252 chosen for those that name
    // none: the list, the viewer on the Chinese one, and the dialog.
    Options sets;
    sets.characterSet = QStringLiteral("windows-1252");
    sets.listColumns = QStringList{QStringLiteral("ControlId")};
    writeOptions(home.path(), sets);
    {
        frmInterface shown(windowing, home.path());
        shown.Form_Load();
        shown.move(0, 0);
        shown.resize(window.width() * 7 / 4, window.height());
        shown.show();
        settle(300);
        QTcpSocket sender;
        sender.connectToHost(QHostAddress::LocalHost, port);
        sender.waitForConnected(5000);
        const QString name = QStringLiteral(u"M\u00fcller^Zo\u00eb");
        const QString yamada = QStringLiteral(u"\u5c71\u7530^\u82b1\u5b50");
        QStringEncoder gb18030("GB18030");
        const QList<QByteArray> inSets{
            inSet("U8-1", "UNICODE UTF-8", (name + QStringLiteral(u"|\u5c71\u7530")).toUtf8()),
            inSet("L1-1", "8859/1", "M\xfcller^Zo\xeb"),
            inSet("W-1", "", "M\xfcller^Zo\xeb\rNTE|1||\x80 12.50"),
            inSet(QByteArray(gb18030.encode(QStringLiteral(u"\u5c71\u7530-1"))), "GB 18030-2000",
                  QByteArray(gb18030.encode(yamada))),
            inSet("U8-2", "UNICODE UTF-8", "M\xc3ller^Zo\xc3\xab")};
        sendAndList(shown, {&sender}, inSets);
        shown.lvwReceiveData->setCurrentRow(3);
        shown.messageCommands().view(3);
        MessageViewer *chinese = shown.messageCommands().viewer();
        // Under the main window, the list left in sight.
        chinese->resize(shown.width(), chinese->height() * 2 / 3);
        chinese->move(0, shown.frameGeometry().bottom() + 1);
        QTextCursor onName = chinese->txtMessage->document()->find(yamada.left(2));
        onName.setPosition(onName.selectionStart());
        chinese->txtMessage->setTextCursor(onName);
        chinese->lblPlace->refresh(true);
        settle(500);
        QGuiApplication::primaryScreen()
            ->grabWindow(0, 0, 0, shown.width(), chinese->frameGeometry().bottom() + 1)
            .save(out.filePath(QStringLiteral("charsets.png")));
        chinese->close();

        shown.mnuOptionsCharacterSet_Click();
        CharacterSetDialog *dialog = shown.characterSetDialog();
        dialog->move(660, 0);
        settle(300);
        dialog->grab().save(out.filePath(QStringLiteral("characterset.png")));
        dialog->reject();
        settle(100);
        shown.Stop();
    }
    writeOptions(home.path(), Options());

    // Options > Connections..., filled in as for TLS with client certificates.
    window.mnuOptionsConnections_Click();
    ConnectionsDialog *connections = window.connectionsDialog();
    connections->optSeveralSenders->setChecked(true);
    connections->spnMaxSenders->setValue(50);
    connections->spnIdleTimeout->setValue(600);
    connections->txtCertificate->setText(QStringLiteral("/etc/ackmereprobe/server.pem"));
    connections->txtKey->setText(QStringLiteral("/etc/ackmereprobe/server.key"));
    connections->txtClientCAs->setText(QStringLiteral("senders-ca.pem"));
    connections->move(660, 0);
    settle(300);
    connections->grab().save(out.filePath(QStringLiteral("connections.png")));
    connections->reject();
    settle(100);

    // Options > Answer Rules..., a few rules and one line mistyped.
    QFile rulesFile(home.filePath(QStringLiteral("ackprobe-rules.txt")));
    rulesFile.open(QIODevice::WriteOnly);
    rulesFile.write("# Enhanced mode: the commit acknowledgement, then the application one.\n"
                    "{MSH-15} ~ ^(AL|SU)$ and {MSH-16} ~ ^(AL|SU)$ -> CA, then AA after 100\n"
                    "{MSH-15} ~ ^(AL|SU)$ -> CA\n"
                    "{MSH-16} ~ ^(AL|SU)$ -> AA\n"
                    "# A rejected update, a slow answer now and then, a lost one.\n"
                    "{MSH-9.1} = ADT and {MSH-9.2} = A08 -> AE, text \"Update refused by the probe\"\n"
                    "every 10 -> delay 5000\n"
                    "share 1% -> sometimes\n");
    rulesFile.close();
    window.mnuOptionsAnswerRules_Click();
    AnswerRulesDialog *rules = window.answerRulesDialog();
    rules->txtRules->moveCursor(QTextCursor::End);
    rules->checkNow();
    rules->adjustSize();
    rules->resize(rules->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 110, rules->height());
    rules->move(660, 0);
    settle(300);
    rules->grab().save(out.filePath(QStringLiteral("rules.png")));
    rules->reject();
    settle(100);

    window.mnuOptionsSetup_Click();
    frmSetup *setup = window.setupIfExists();
    setup->move(660, 0);
    settle(300);
    setup->grab().save(out.filePath(QStringLiteral("setup.png")));
    return 0;
}
