// A received message up close: the text it is copied as, its bytes saved,
// the viewer far down a long run, and the list as a screen reader reads it.
// Real TCP clients on loopback against the real window.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/messagetext.h"
#include "mainwindow/findwindow.h"
#include "mainwindow/messageviewer.h"
#include "mainwindow/receivedlistview.h"
#include "mainwindow/receivedmodel.h"

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
// A program listening on a free port, shown, with one client connected to it.
struct Receiving
{
    TestProgram program;
    frmInterface &window = program.openListening();
    ReceivedListView *list = window.lvwReceiveData;
    LoopbackClient client;

    Receiving()
    {
        window.show();
        if (!client.connectTo(program.port()))
            qFatal("cannot connect to the program");
    }
    bool send(const QByteArray &message) { return client.exchange(message); }
    // The message answered, listed as the only row and that row chosen.
    bool sendAndChoose(const QByteArray &message)
    {
        if (!send(message) || !waitUntil([&] { return list->model()->rowCount() == 1; }))
            return false;
        list->setCurrentRow(0);
        return true;
    }
    MessageViewer *viewer() const { return window.messageCommands().viewer(); }
};

// The viewer's text once the whole message is in it.
QString shownText(const MessageViewer &viewer)
{
    if (!waitUntil([&] { return viewer.txtMessage->isFilled(); }))
        return QStringLiteral("(never filled)");
    return viewer.shownText();
}

// The kind and permissions of the node at `path`, without following a link.
mode_t nodeMode(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode : 0;
}
mode_t nodeKind(const QString &path)
{
    return nodeMode(path) & S_IFMT;
}

QStringList captions(const QList<QAction *> &actions)
{
    QStringList texts;
    for (const QAction *action : actions)
        texts << action->text();
    return texts;
}
} // namespace

class ViewerTest : public QObject
{
    Q_OBJECT

private slots:
    void copiedTextHasOneLinePerSegmentAndNoFraming();
    void savedFileHoldsEveryByteAsReceived();
    void saveAsNeverReplacesWhatIsNotAFile();
    void viewerShowsAMessageFarDownALongRun();
    void screenReaderFindsTheRows();
    void eachMessageNamesTheSenderItCameFrom();
    void viewerAndFindOpenOverTheMainWindow();
};

void ViewerTest::copiedTextHasOneLinePerSegmentAndNoFraming()
{
    QCOMPARE(MessageText::markFor(QChar(0x0B)), QLatin1String("VT"));
    QCOMPARE(MessageText::markFor(QChar(0x0D)), QLatin1String("CR"));
    QCOMPARE(MessageText::markFor(QChar(0x1C)), QLatin1String("FS"));
    QCOMPARE(MessageText::markFor(QChar(0x7F)), QLatin1String("DEL"));
    QVERIFY(MessageText::markFor(QChar(0xFF)).isEmpty());
    // Only a block's start and end are framing; a stray VT or FS is shown.
    QCOMPARE(MessageText::copyText(u"\x0b" "A\x0b" "B\x1c" "C\r\x1c\r\x0b" "D\r\x1c\r"),
             QStringLiteral("A<VT>B<FS>C\nD\n"));

    Receiving run;
    const QByteArray message = framed(QByteArray("MSH|^~\\&|LAB\rPID|1||") + '\0'
                                      + "\xff|DOE\rOBX|1|TX|\t|ok\r");
    const QString expected = QStringLiteral("MSH|^~\\&|LAB\nPID|1||<NUL>\u00ff|DOE\nOBX|1|TX|<HT>|ok\n");
    QVERIFY(run.send(message));
    QTRY_COMPARE(run.list->model()->rowCount(), 1);
    QClipboard *clipboard = QGuiApplication::clipboard();

    run.list->setFocus();
    run.list->setCurrentRow(0);
    QTest::keyClick(run.list, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), expected);
    QCOMPARE(run.list->contextMenuPolicy(), Qt::ActionsContextMenu);
    QCOMPARE(captions(run.list->actions()), (QStringList{"&View", "&Copy", "Save &As...", "&Find..."}));

    QTest::keyClick(run.list, Qt::Key_Return);
    QVERIFY(run.viewer() && run.viewer()->isVisible());
    clipboard->clear();
    run.viewer()->cmdCopy->click();
    QCOMPARE(clipboard->text(), expected);
    // A selection in the viewer copies as the same text, not as the marks' letters.
    clipboard->clear();
    QVERIFY(!shownText(*run.viewer()).isEmpty());
    run.viewer()->txtMessage->selectAll();
    run.viewer()->txtMessage->copy();
    QCOMPARE(clipboard->text(), expected);
}

void ViewerTest::savedFileHoldsEveryByteAsReceived()
{
    Receiving run;
    const QByteArray message = framed(byteValues());
    QVERIFY(run.sendAndChoose(message));
    FakeWindowing &windowing = run.program.windowing;

    run.window.messageCommands().mnuView->trigger();
    windowing.chosenSaveFiles = {run.program.path(QStringLiteral("viewer.hl7"))};
    run.viewer()->cmdSaveAs->click();
    QCOMPARE(run.program.readFile(QStringLiteral("viewer.hl7")), message);

    windowing.chosenSaveFiles = {run.program.path(QStringLiteral("list.hl7"))};
    run.window.messageCommands().mnuSaveAs->trigger();
    QCOMPARE(run.program.readFile(QStringLiteral("list.hl7")), message);

    // A cancel writes nothing; a folder that is not there is told.
    run.window.messageCommands().mnuSaveAs->trigger();
    const QString missing = run.program.path(QStringLiteral("missing/x.hl7"));
    windowing.chosenSaveFiles = {missing};
    run.window.messageCommands().mnuSaveAs->trigger();
    QCOMPARE(windowing.suggestedSaveNames, QStringList(4, QStringLiteral("message-1.hl7")));
    QCOMPARE(windowing.noticeTexts().size(), 1);
    QVERIFY(windowing.noticeTexts().first().startsWith(
        QStringLiteral("The message could not be saved to %1: ").arg(missing)));
    QVERIFY(!QFile::exists(missing));
}

void ViewerTest::saveAsNeverReplacesWhatIsNotAFile()
{
    Receiving run;
    const QByteArray message = framed(byteValues());
    QVERIFY(run.sendAndChoose(message));
    FakeWindowing &windowing = run.program.windowing;
    const auto saveTo = [&](const QString &path) {
        windowing.boxes.clear();
        windowing.chosenSaveFiles = {path};
        run.window.messageCommands().mnuSaveAs->trigger();
        return windowing.noticeTexts().join(QLatin1Char('\n'));
    };
    const auto failure = [](const QString &path, const QString &reason) {
        return QStringLiteral("The message could not be saved to %1: %2").arg(path, reason);
    };

    // A regular file is replaced and keeps its permissions.
    const QString file = run.program.path(QStringLiteral("kept.hl7"));
    QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    QVERIFY(::chmod(QFile::encodeName(file).constData(), 0640) == 0);
    QCOMPARE(saveTo(file), QString());
    QCOMPARE(run.program.readFile(QStringLiteral("kept.hl7")), message);
    QCOMPARE(nodeMode(file), mode_t(S_IFREG | 0640));

    // A FIFO is written into while a reader waits, and told when none does.
    const QString fifo = run.program.path(QStringLiteral("fifo"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    {
        const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        QCOMPARE(saveTo(fifo), QString());
        QByteArray got(message.size() + 1, '\0');
        QCOMPARE(::read(reader, got.data(), got.size()), message.size());
        QCOMPARE(got.first(message.size()), message);
        ::close(reader);
    }
    QCOMPARE(saveTo(fifo), failure(fifo, QStringLiteral("No program is reading from the FIFO")));
    QCOMPARE(nodeKind(fifo), S_IFIFO);

    // A folder and a socket are refused as they stand.
    const QString socketPath = run.program.path(QStringLiteral("socket"));
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(socketPath).constData(), sizeof address.sun_path);
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    QCOMPARE(saveTo(socketPath), failure(socketPath, QStringLiteral(
             "It is a socket; only a file, a FIFO or a character device can be saved to")));
    ::close(listener);
    QCOMPARE(nodeKind(socketPath), S_IFSOCK);
    QCOMPARE(saveTo(run.program.dir()), failure(run.program.dir(), QStringLiteral(
             "It is a folder; only a file, a FIFO or a character device can be saved to")));

    // Copies of /dev/null and /dev/full: written into, the real reason told.
    const QString null = run.program.path(QStringLiteral("null"));
    const QString full = run.program.path(QStringLiteral("full"));
    if (::mknod(QFile::encodeName(null).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0
        || ::mknod(QFile::encodeName(full).constData(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        QSKIP("No device nodes can be made here (that takes root); the FIFO cases ran");
    if (const int probe = ::open(QFile::encodeName(null).constData(), O_WRONLY); probe < 0)
        QSKIP("Device nodes cannot be opened on this file system (nodev); the FIFO cases ran");
    else
        ::close(probe);
    QCOMPARE(saveTo(null), QString());
    QCOMPARE(saveTo(full), failure(full, QStringLiteral("No space left on device")));
    QCOMPARE(nodeKind(null), S_IFCHR);
    QCOMPARE(nodeKind(full), S_IFCHR);
}

void ViewerTest::viewerShowsAMessageFarDownALongRun()
{
    Receiving run;
    const int total = 20000;
    const auto message = [](int n) {
        return framed("MSH|^~\\&|RUN|" + QByteArray::number(n) + "\rPID|" + QByteArray::number(n) + "\r");
    };
    for (int n = 1; n <= total; ++n) {
        if (!run.send(message(n)))
            QFAIL(qPrintable(QStringLiteral("no acknowledgement for message %1").arg(n)));
    }
    QTRY_COMPARE(run.list->model()->rowCount(), total);

    run.list->setFocus();
    run.list->setCurrentRow(total - 1);
    QTest::keyClick(run.list, Qt::Key_Return);
    MessageViewer *viewer = run.viewer();
    QVERIFY(viewer && viewer->isVisible());
    QCOMPARE(viewer->windowTitle(), QStringLiteral("Message 20000 (%1 bytes)").arg(message(total).size()));
    QCOMPARE(viewer->lblMessage->text(), viewer->windowTitle());
    // Each mark's letters padded inside its box, a narrow gap around it.
    const auto mark = [](const char *name) { return u'\u2009' + QLatin1String(name) + u'\u2009'; };
    const QChar gap(0x200a);
    QCOMPARE(shownText(*viewer), mark("VT") + gap + "MSH|^~\\&|RUN|20000" + gap + mark("CR") + '\n'
                                     + "PID|20000" + gap + mark("CR") + '\n'
                                     + mark("FS") + gap + mark("CR") + '\n');

    // A double-click on a row in sight shows it in the same viewer, and the
    // acknowledging goes on while it is open.
    run.list->setCurrentRow(5);
    QTest::mouseDClick(run.list->viewport(), Qt::LeftButton, {}, run.list->rowRect(6).center());
    QCOMPARE(run.viewer(), viewer);
    QCOMPARE(viewer->message(), message(7));
    QVERIFY(run.send(message(total + 1)));
    QCOMPARE(viewer->number(), 7);
    QVERIFY(viewer->isVisible());

    // An embedded document of 300 000 bytes is shown whole, over lines short
    // enough to lay out, and copies as one segment again.
    const QByteArray document = framed("OBX|1|ED|PDF||" + QByteArray(300000, 'A') + "\r");
    viewer->showMessage(total + 2, document);
    const QStringList lines = shownText(*viewer).split(QLatin1Char('\n'));
    QVERIFY(lines.size() > 300000 / MessageTextBox::LongestLine);
    // At most a line's worth of text, and a mark (its gap, padding, letters) after it.
    for (const QString &line : lines)
        QVERIFY(line.size() <= MessageTextBox::LongestLine + 6);
    QCOMPARE(lines.join(QString()).remove(gap).remove(QChar(0x2009)),
             "VTOBX|1|ED|PDF||" + QString(300000, QLatin1Char('A')) + "CRFSCR");
    QGuiApplication::clipboard()->clear();
    viewer->txtMessage->selectAll();
    viewer->txtMessage->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), "OBX|1|ED|PDF||" + QString(300000, QLatin1Char('A')) + "\n");
}

void ViewerTest::screenReaderFindsTheRows()
{
    Receiving run;
    for (const char *id : {"A1", "B2", "C3"})
        QVERIFY(run.send(framed(QByteArray("MSH|^~\\&|") + id + "\rPID|1\r")));
    QTRY_COMPARE(run.list->model()->rowCount(), 3);

    QAccessibleInterface *list = QAccessible::queryAccessibleInterface(run.list);
    QVERIFY(list && list->tableInterface());
    QCOMPARE(list->role(), QAccessible::List);
    QCOMPARE(list->text(QAccessible::Name), QStringLiteral("Received messages"));
    QCOMPARE(list->childCount(), 3);
    QCOMPARE(list->tableInterface()->rowCount(), 3);
    QCOMPARE(list->tableInterface()->columnDescription(0), QStringLiteral("Data In"));
    QAccessibleInterface *row = list->child(1);
    QCOMPARE(row->role(), QAccessible::ListItem);
    QCOMPARE(row->text(QAccessible::Name), QStringLiteral("MSH|^~\\&|B2\nPID|1\n"));
    QCOMPARE(list->indexOfChild(row), 1);
    QVERIFY(list->tableInterface()->selectedRows().isEmpty());

    run.list->setCurrentRow(2);
    QCOMPARE(list->tableInterface()->selectedRows(), QList<int>{2});
    QVERIFY(list->child(2)->state().selected);
    QVERIFY(!row->state().selected);
    QVERIFY(list->tableInterface()->selectRow(1));
    QCOMPARE(run.list->currentRow(), 1);
    QVERIFY(row->tableCellInterface()->isSelected());

    // Several rows at once, and the columns shown beside "Data In" in a row's name.
    run.list->setCurrentRow(0);
    QTest::keyClick(run.list, Qt::Key_Down, Qt::ShiftModifier);
    QCOMPARE(list->tableInterface()->selectedRows(), (QList<int>{0, 1}));
    run.list->selectAll();
    QCOMPARE(list->tableInterface()->selectedRowCount(), 3);
    QCOMPARE(list->tableInterface()->selectedRows(), (QList<int>{0, 1, 2}));
    QVERIFY(list->child(0)->state().selected && list->child(2)->state().selected);
    QCOMPARE(list->tableInterface()->selectedCells().size(), 3);
    static_cast<ReceivedModel *>(run.list->model())->setColumns({ListColumns::Column::Size});
    QCOMPARE(row->text(QAccessible::Name), QStringLiteral("MSH|^~\\&|B2\nPID|1\n, Size 21"));
}

void ViewerTest::eachMessageNamesTheSenderItCameFrom()
{
    TestProgram program;
    program.writeOptionsBytes("[Receive]\nSenders=Several\n[List]\nColumns=From\n");
    frmInterface &window = program.openListening();
    QVERIFY(showExposed(window));
    QAbstractItemModel &model = *window.lvwReceiveData->model();
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("From"));

    // Two senders at once, their messages taking turns.
    LoopbackClient first;
    LoopbackClient second;
    QVERIFY(first.connectTo(program.port()));
    QVERIFY(second.connectTo(program.port()));
    QVERIFY(first.exchange(framed("MSH|^~\\&|ONE\r")));
    QVERIFY(second.exchange(framed("MSH|^~\\&|TWO\r")));
    QVERIFY(first.exchange(framed("MSH|^~\\&|THREE\r")));
    QTRY_COMPARE(model.rowCount(), 3);
    const QString fromFirst = QStringLiteral("127.0.0.1 port %1").arg(first.localPort());
    const QString fromSecond = QStringLiteral("127.0.0.1 port %1").arg(second.localPort());
    QVERIFY(first.localPort() != second.localPort());
    const QStringList cells{model.index(0, 1).data().toString(), model.index(1, 1).data().toString(),
                            model.index(2, 1).data().toString()};
    QCOMPARE(cells, (QStringList{fromFirst, fromSecond, fromFirst}));

    // The viewer names the sender among its details, after when it came
    // (and last the set the message is shown in).
    for (const auto &[row, from] : {std::pair{1, fromSecond}, std::pair{2, fromFirst}}) {
        window.messageCommands().view(row);
        const QStringList lines = window.messageCommands().viewer()->lblDetails->accessibleName().split(u'\n');
        QVERIFY2(lines.size() == 4 && lines.at(0).startsWith(QLatin1String("Arrived "))
                     && lines.at(2).startsWith(QLatin1String("Answer sent "))
                     && lines.at(3) == QLatin1String("Character set: UTF-8, automatic"),
                 qPrintable(lines.join(u'|')));
        QCOMPARE(lines.at(1), QStringLiteral("From: ") + from);
    }
}

void ViewerTest::viewerAndFindOpenOverTheMainWindow()
{
    Receiving run;
    QVERIFY(run.sendAndChoose(framed("MSH|^~\\&|A|B|C|D|||ADT^A01|M1|P|2.5\r")));
    const QRect area = run.window.screen()->availableGeometry();
    FindWindow &find = run.window.messageCommands().findWindow();
    const std::function<QWidget *()> opens[] = {
            [&]() -> QWidget * { QTest::keyClick(run.list, Qt::Key_Return); return run.viewer(); },
            [&]() -> QWidget * { find.open(); return &find; }};
    // Centred on the main window where that fits on its screen; pushed back
    // onto the screen where it does not; each time it opens anew.
    for (const bool inCorner : {false, true}) {
        const QPoint at = inCorner ? area.bottomRight() - QPoint(120, 90) : area.topLeft() + QPoint(40, 30);
        run.window.move(at);
        QTRY_COMPARE(run.window.frameGeometry().topLeft(), at);
        for (const auto &open : opens) {
            QWidget *opened = open();
            QVERIFY(opened && opened->isVisible());
            const QRect frame = opened->frameGeometry();
            QVERIFY2(area.contains(frame), qPrintable(opened->objectName()));
            if (inCorner)
                QCOMPARE(frame.bottomRight(), area.bottomRight());
            else
                QVERIFY2((frame.center() - run.window.frameGeometry().center()).manhattanLength() <= 2,
                         qPrintable(opened->objectName()));
            opened->close();
        }
    }
}

QTEST_MAIN(ViewerTest)
#include "tst_viewer.moc"
