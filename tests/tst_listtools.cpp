// Working with the received list: the optional columns' texts, following the
// newest row, the header's column menu and its choice in the options file,
// the keyboard's way to the list and the viewer's field places. Real TCP
// clients on loopback against the real window.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/listcolumns.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/messageviewer.h"
#include "mainwindow/placeline.h"
#include "mainwindow/receivedlistview.h"
#include "settings/options.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>

namespace {
using ListColumns::Column;

QByteArray message(int n)
{
    return framed("MSH|^~\\&|LAB|FAC|||202601011200||ORU^R01|ID" + QByteArray::number(n)
                  + "|P|2.5\rPID|1||" + QByteArray::number(100000 + n) + "^^^HOSP\r");
}

// The captions of the popup menu a call opens, its first item chosen by its access key.
QStringList popupCaptions(const std::function<void()> &open, Qt::Key accessKey = Qt::Key_Escape)
{
    QStringList captions;
    QTimer::singleShot(0, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (const QAction *action : menu->actions())
            captions << action->text();
        QTest::keyClick(menu, accessKey);
        if (menu->isVisible())
            menu->close();
    });
    open();
    return captions;
}

// The window listening and shown, with a sender connected to it.
struct ShownList
{
    TestProgram program;
    frmInterface &window = program.openListening();
    ReceivedListView &list = *window.lvwReceiveData;
    LoopbackClient client;

    bool showAndConnect() { return showExposed(window) && client.connectTo(program.port()); }
};

bool newestInView(const ReceivedListView &list)
{
    return !list.rowRect(list.model()->rowCount() - 1).isEmpty();
}

// What the screen shows of the list, painted a few rows at a time as they
// came, is what one paint of all of it shows.
bool screenShowsTheWholeList(ReceivedListView &list)
{
    QWidget &viewport = *list.viewport();
    return waitUntil([&] {
        const QPoint at = viewport.mapTo(viewport.window(), QPoint());
        const QImage shown = viewport.screen()
                                 ->grabWindow(viewport.window()->winId(), at.x(), at.y(),
                                              viewport.width(), viewport.height())
                                 .toImage()
                                 .convertToFormat(QImage::Format_RGB32);
        return shown == viewport.grab().toImage().convertToFormat(QImage::Format_RGB32);
    });
}
} // namespace

class ListToolsTest : public QObject
{
    Q_OBJECT

private slots:
    void columnTextsOfARow();
    void theListFollowsTheNewestUntilTheOperatorLooksElsewhere();
    void theHeaderMenuTurnsColumnsOnAndTheOptionsFileKeepsThem();
    void theKeyboardReachesTheListAndTheViewerNamesFields();
};

void ListToolsTest::columnTextsOfARow()
{
    ListColumns::RowFacts facts;
    facts.arrivedMs = QDateTime(QDate(2026, 1, 2), QTime(10, 20, 30, 45), Qt::UTC).toMSecsSinceEpoch();
    facts.size = 1234;
    facts.head = message(12).first(message(12).indexOf("ID12") + 2);
    const QTimeZone plusOne(3600);
    QCOMPARE(ListColumns::text(Column::Time, facts, plusOne), QStringLiteral("11:20:30.045"));
    QCOMPARE(ListColumns::text(Column::Size, facts, plusOne), QStringLiteral("1234"));
    QCOMPARE(ListColumns::text(Column::Type, facts, plusOne), QStringLiteral("ORU^R01"));
    // The head ends inside MSH-10: only what was read is shown.
    QCOMPARE(ListColumns::text(Column::ControlId, facts, plusOne), QStringLiteral("ID"));
    QCOMPARE(ListColumns::text(Column::Answer, facts, plusOne), QString());
    facts.answered = true;
    facts.answer = "\x0bMSH|^~\\&|ACKPROBE||||202601011200||ACK|||2.5\rMSA|AE|ID12\r\x1c\r";
    QCOMPARE(ListColumns::text(Column::Answer, facts, plusOne), QStringLiteral("AE"));
    // What an answer rule made of it: the code when an answer went.
    using Outcome = MessageInfo::Outcome;
    for (const auto &[outcome, shown] : {std::pair{Outcome::AnsweredThenClosed, "AE"}, std::pair{Outcome::Withheld, "none"},
                                         std::pair{Outcome::Reset, "reset"}, std::pair{Outcome::AckNotAnswered, "ACK: none"}}) {
        ListColumns::RowFacts ruled = facts;
        ruled.outcome = outcome;
        ruled.answered = outcome == Outcome::AnsweredThenClosed;
        QCOMPARE(ListColumns::text(Column::Answer, ruled, plusOne), QLatin1String(shown));
    }
    QCOMPARE(ListColumns::text(Column::Time, {}, plusOne), QString());
    QCOMPARE(ListColumns::text(Column::From, facts, plusOne), QString());
    facts.sender = "::1 port 4000 (TLSv1.3, TLS_AES_256_GCM_SHA384, CN=S\xc3\xa9nder)";
    QCOMPARE(ListColumns::text(Column::From, facts, plusOne),
             QStringLiteral("::1 port 4000 (TLSv1.3, TLS_AES_256_GCM_SHA384, CN=S\u00e9nder)"));

    QCOMPARE(ListColumns::fromKey(QStringLiteral("Answer, time,Bogus,ControlId,Time")),
             (QList<Column>{Column::Time, Column::ControlId, Column::Answer}));
    QCOMPARE(ListColumns::toKey({Column::From, Column::Answer, Column::Size}), QStringLiteral("Size,Answer,From"));
}

void ListToolsTest::theListFollowsTheNewestUntilTheOperatorLooksElsewhere()
{
    ShownList shown;
    QVERIFY(shown.showAndConnect());
    auto &[program, window, list, client] = shown;
    int sent = 0;
    const auto send = [&](int count) {
        for (int i = 0; i < count; ++i)
            if (!client.exchange(message(++sent)))
                return false;
        return waitUntil([&] { return list.model()->rowCount() == sent; });
    };

    QVERIFY(list.isFollowingNewest());
    QVERIFY(send(40));
    QVERIFY(list.verticalScrollBar()->maximum() > 0);
    QVERIFY(newestInView(list));
    QVERIFY(screenShowsTheWholeList(list));

    // Scrolled up, the view stays where the operator put it.
    list.verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    QVERIFY(send(5));
    QCOMPARE(list.firstVisibleRow(), 0);
    QVERIFY(!newestInView(list));
    // Back at the bottom, it follows again.
    list.verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
    QVERIFY(send(5));
    QVERIFY(newestInView(list));
    QVERIFY(screenShowsTheWholeList(list));

    // A row selected holds the view, even at the end; End follows again.
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.rowRect(sent - 2).center());
    QCOMPARE(list.currentRow(), sent - 2);
    const int first = list.firstVisibleRow();
    QVERIFY(send(5));
    QCOMPARE(list.firstVisibleRow(), first);
    QVERIFY(!newestInView(list));
    QTest::keyClick(&list, Qt::Key_End);
    QVERIFY(send(3));
    QVERIFY(newestInView(list));
    QCOMPARE(list.currentRow(), sent - 4);
}

void ListToolsTest::theHeaderMenuTurnsColumnsOnAndTheOptionsFileKeepsThem()
{
    TestProgram program;
    program.writeOptionsBytes("[Answer]\nMode=Always\n\n[List]\nColumns=ControlId,Answer\n");
    frmInterface &window = program.openListening();
    QVERIFY(showExposed(window));
    ReceivedListView &list = *window.lvwReceiveData;
    QAbstractItemModel &model = *list.model();
    QCOMPARE(model.columnCount(), 3);
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Control ID"));
    QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Answer"));

    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange(message(7)));
    QTRY_COMPARE(model.rowCount(), 1);
    QCOMPARE(model.index(0, 1).data().toString(), QStringLiteral("ID7"));
    QCOMPARE(model.index(0, 2).data().toString(), QStringLiteral("AA"));

    // A right-click on the header offers every column; T takes "Time".
    QHeaderView *header = list.horizontalHeader();
    const QStringList captions = popupCaptions([&] {
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), header->mapToGlobal(QPoint(5, 5)));
        QCoreApplication::sendEvent(header->viewport(), &click);
    }, Qt::Key_T);
    QCOMPARE(captions, (QStringList{"&Time", "&Size", "T&ype", "&Control ID", "&Answer", "&From"}));
    QCOMPARE(model.columnCount(), 4);
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Time"));
    QVERIFY(QTime::fromString(model.index(0, 1).data().toString(), QStringLiteral("hh:mm:ss.zzz")).isValid());
    QCOMPARE(list.columnWidth(0) + list.columnWidth(1) + list.columnWidth(2) + list.columnWidth(3),
             list.viewport()->width());
    // The other options stay; the choice is kept in the list's order.
    const QByteArray kept = program.readFile(QStringLiteral("ackprobe-options.ini"));
    QVERIFY2(kept.contains("Mode=Always"), kept.constData());
    QVERIFY2(kept.contains("[List]\nColumns=\"Time,ControlId,Answer\"") || kept.contains("[List]\nColumns=Time, ControlId, Answer"),
             kept.constData());

    // Every column on: each fits its title and what it usually holds; Data In keeps the rest, or 40
    // characters' width, and the list scrolls sideways to the columns beyond.
    for (const Column column : {Column::Size, Column::Type, Column::From})
        list.horizontalHeader()->findChild<QAction *>(QStringLiteral("mnuColumn") + ListColumns::key(column))->trigger();
    QCOMPARE(model.columnCount(), 7);
    const QFontMetrics metrics(list.font());
    QCOMPARE(model.headerData(3, Qt::Horizontal).toString(), QStringLiteral("Type"));
    QVERIFY(list.columnWidth(3) > metrics.horizontalAdvance(QStringLiteral("ORU^R01^ORU_R01")));
    QVERIFY(list.columnWidth(5) > metrics.horizontalAdvance(QStringLiteral("ACK: none")));
    int others = 0;
    for (int column = 1; column < 7; ++column) {
        QVERIFY(list.columnWidth(column) > metrics.horizontalAdvance(model.headerData(column, Qt::Horizontal).toString()));
        others += list.columnWidth(column);
    }
    QCOMPARE(list.columnWidth(0), qMax(list.viewport()->width() - others, metrics.averageCharWidth() * 40));
    QVERIFY(list.viewport()->width() - others < metrics.averageCharWidth() * 40); // at the window's default size
    QScrollBar *sideways = list.horizontalScrollBar();
    QCOMPARE(sideways->maximum(), list.columnWidth(0) + others - list.viewport()->width());
    sideways->setValue(sideways->maximum());
    QCOMPARE(list.horizontalHeader()->sectionViewportPosition(6) + list.columnWidth(6), list.viewport()->width());
    sideways->setValue(0);

    // All off: the list is as designed again, in the file too.
    for (const Column column : {Column::Time, Column::Size, Column::Type, Column::ControlId, Column::Answer, Column::From})
        list.horizontalHeader()->findChild<QAction *>(QStringLiteral("mnuColumn") + ListColumns::key(column))->trigger();
    QCOMPARE(model.columnCount(), 1);
    QCOMPARE(list.columnWidth(0), list.width());
    QVERIFY(readOptions(program.dir()).options.listColumns.isEmpty());
    QVERIFY(program.readFile(QStringLiteral("ackprobe-options.ini")).contains("Columns=\n"));
}

void ListToolsTest::theKeyboardReachesTheListAndTheViewerNamesFields()
{
    ShownList shown;
    QVERIFY(shown.showAndConnect());
    auto &[program, window, list, client] = shown;
    QVERIFY(client.exchange(message(1)));
    QTRY_COMPARE(list.model()->rowCount(), 1);

    // Alt+L takes the focus to the list, which stays out of the tab order.
    window.cmdExit->setFocus();
    QTest::keyClick(&window, Qt::Key_L, Qt::AltModifier);
    QVERIFY(list.hasFocus());
    QCOMPARE(list.focusPolicy(), Qt::ClickFocus);
    QVERIFY(window.fraReceive->toolTip().contains(QStringLiteral("Alt+L")));

    // Shift+F10 and the Menu key open the row's menu; V views the row.
    list.setCurrentRow(0);
    const QStringList rowMenu{"&View", "&Copy", "Save &As...", "&Find..."};
    QCOMPARE(popupCaptions([&] { QTest::keyClick(&list, Qt::Key_Menu); }), rowMenu);
    QCOMPARE(popupCaptions([&] { QTest::keyClick(&list, Qt::Key_F10, Qt::ShiftModifier); }, Qt::Key_V), rowMenu);
    MessageViewer *viewer = window.messageCommands().viewer();
    QVERIFY(viewer && viewer->isVisible());
    QCOMPARE(viewer->cmdSaveAs->text(), QStringLiteral("&Save As..."));
    QCOMPARE(viewer->cmdClose->accessibleName(), QStringLiteral("Close"));

    // The cursor's place, counted past the marks of the framing and of each CR.
    QVERIFY(waitUntil([&] { return viewer->txtMessage->isFilled(); }));
    MessageTextBox &box = *viewer->txtMessage;
    const auto placeCursorAt = [&](const QString &text) {
        QTextCursor cursor = box.document()->find(text);
        cursor.setPosition(cursor.selectionStart());
        box.setTextCursor(cursor);
    };
    placeCursorAt(QStringLiteral("R01"));
    QCOMPARE(viewer->lblPlace->text(), QStringLiteral("MSH-9.2"));
    placeCursorAt(QStringLiteral("HOSP"));
    QCOMPARE(viewer->lblPlace->text(), QStringLiteral("PID-3.4"));
    // A click on a field shows its value too.
    const QRect at = box.cursorRect(box.document()->find(QStringLiteral("100001")));
    QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, at.center() - QPoint(at.width() / 2 - 1, 0));
    QCOMPARE(viewer->lblPlace->text(), QStringLiteral("PID-3.1 = 100001"));
}

QTEST_MAIN(ListToolsTest)
#include "tst_listtools.moc"
