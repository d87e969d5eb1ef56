// A received message up close: the text it is copied as, its bytes saved,
// the viewer far down a long run, and the list as a screen reader reads it.
// Real TCP clients on loopback against the real window.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/messagetext.h"
#include "mainwindow/messageviewer.h"
#include "mainwindow/receivedlistview.h"

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

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
    MessageViewer *viewer() const { return window.messageCommands().viewer(); }
};

// The viewer's text once the whole message is in it.
QString shownText(const MessageViewer &viewer)
{
    if (!waitUntil([&] { return viewer.txtMessage->isFilled(); }))
        return QStringLiteral("(never filled)");
    return viewer.shownText();
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
    void viewerShowsAMessageFarDownALongRun();
    void screenReaderFindsTheRows();
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
    QVERIFY(run.send(message));
    QTRY_COMPARE(run.list->model()->rowCount(), 1);
    run.list->setCurrentRow(0);
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
}

QTEST_MAIN(ViewerTest)
#include "tst_viewer.moc"
