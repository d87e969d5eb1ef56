// The list's rows in bulk and up close, over a store of their own: the
// viewer's details of a message, finding a row, and Copy and Save As... of a
// selection of several.

#include "testsupport.h"

#include "store/messagestore.h"
#include "system/unixfile.h"
#include "mainwindow/findwindow.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/messagetext.h"
#include "mainwindow/messageviewer.h"
#include "mainwindow/receivedlistview.h"
#include "mainwindow/receivedmodel.h"
#include "mainwindow/selectionjob.h"
#include "files/savefile.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QDateTime>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {
// A list over a store, with its commands, in a window of its own.
struct Rows
{
    QTemporaryDir spill;
    MessageStore store{{spill.path()}};
    ReceivedModel model{store};
    QWidget window;
    ReceivedListView *list = new ReceivedListView(&window);
    FakeWindowing windowing;
    MessageCommands commands{*list, store, windowing};

    Rows()
    {
        list->setModel(&model);
        list->setItemDelegate(new ReceivedRowDelegate(list)); // as the window's: never a long message whole
        list->resize(400, 300);
        window.show();
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window))
            qFatal("the list's window never became active");
    }
    void add(const QByteArray &message, const MessageInfo &info = {})
    {
        store.append(message, info);
        model.messagesAdded();
    }
    // Rows of a few megabytes, the first of them moved to the spill file.
    void addSpilled(int count)
    {
        for (int i = 0; i < count; ++i)
            add(framed(Adt + "NTE|" + QByteArray::number(i) + "|" + QByteArray(2000, 'n') + "\r"));
        store.spillIfDue();
    }
    bool jobsDone() const { return !commands.findChild<SelectionJob *>(); }
};

QString local(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}
} // namespace

class SelectionTest : public QObject
{
    Q_OBJECT

private slots:
    void viewerTellsWhenAMessageCameAndWhatWentBack();
    void findWindowSelectsTheRowFound();
    void severalRowsAreCopiedAndSavedAtOnce();
    void copyStopsAtTheClipboardLimit();
    void aSelectionGoesIntoAFifoOrADeviceAsItStands();
    void aSpillFileThatLostItsBytesIsToldByCopySaveAndFind();
    void readersStopBeforeTheStoreIsCleared();
};

void SelectionTest::viewerTellsWhenAMessageCameAndWhatWentBack()
{
    Rows rows;
    const qint64 t = 1780000000123;
    rows.add(framed(Adt), {t, t - 250, 3, MessageInfo::Kind::Block});
    rows.store.setAnswer(0, "\x0bMSH|||||x\rMSA|AA\r\x1c\r", t + 2);
    // CR, LF and NUL beside a message, in a few words however many there are.
    MessageInfo stray{t + 5000, t + 5000, 1, MessageInfo::Kind::Outside};
    stray.precededBy.add("\n\n");
    stray.followedBy.add(QByteArray(3, '\0'));
    stray.followedBy.add("\r\n\r\n"); // a second piece goes on after the first
    rows.add("stray bytes", stray);

    rows.commands.view(0);
    MessageViewer *viewer = rows.commands.viewer();
    QCOMPARE(viewer->lblDetails->accessibleName(),
             QStringLiteral("Arrived %1, in 3 arrivals over 0.250 s\nAnswer sent %2: <VT>MSH|||||x<CR>MSA|AA<CR><FS><CR>\n"
                            "Character set: UTF-8, automatic")
                 .arg(local(t), local(t + 2)));
    QVERIFY(viewer->lblDetails->text().contains(QStringLiteral("&#8201;FS&#8201;</span>")));
    rows.commands.view(1);
    QCOMPARE(viewer->lblDetails->accessibleName(),
             QStringLiteral("Arrived %1\nReceived outside the MLLP framing\nPreceded by 2 LF bytes\n"
                            "Followed by 7 bytes of CR, LF and NUL, from NUL NUL NUL CR\nNo answer sent\n"
                            "Character set: UTF-8, automatic").arg(local(t + 5000)));

    // Long answers wrap, or are cut at the edge: the viewer does not grow past
    // the screen for them.
    rows.add(framed(Adt), {t, t, 1, MessageInfo::Kind::Block});
    rows.store.setAnswer(2, "\x0bMSH|^~\\&|PROBE|LAB|" + QByteArray(40, 'h').replace("h", "HIS|") + "\rMSA|AE|" + QByteArray(1000, 'e') + "\r\x1c\r", t + 2);
    rows.commands.view(2);
    QVERIFY(viewer->lblDetails->accessibleName().contains(QString(1000, QLatin1Char('e'))));
    QVERIFY(viewer->minimumSizeHint().width() < viewer->fontMetrics().averageCharWidth() * 120);
    QVERIFY(viewer->lblDetails->heightForWidth(400) > 3 * viewer->fontMetrics().height());
}

void SelectionTest::findWindowSelectsTheRowFound()
{
    Rows rows;
    rows.addSpilled(3000);
    rows.list->setCurrentRow(10);
    rows.list->setFocus();
    QTest::keyClick(rows.list, Qt::Key_F, Qt::ControlModifier);
    FindWindow &find = rows.commands.findWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&find));
    const int opened = find.width();
    QSignalSpy ended(&find, &FindWindow::searchEnded);
    const auto search = [&](const QString &text, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        find.txtFind->setText(text);
        QTest::keyClick(find.txtFind, Qt::Key_Return, modifiers);
        return ended.wait(WaitMs);
    };

    QVERIFY(search(QStringLiteral("nte|2999|")));
    QCOMPARE(rows.list->currentRow(), 2999);
    QCOMPARE(find.lblFindStatus->text(), QStringLiteral("Found in message 3000."));
    QVERIFY(search(QStringLiteral("NTE|5|"), Qt::ShiftModifier)); // backward
    QCOMPARE(rows.list->currentRow(), 5);
    QCOMPARE(find.lblFindStatus->text(), QStringLiteral("Found in message 6."));
    QVERIFY(search(QStringLiteral("NTE|2000|"), Qt::ShiftModifier));
    QCOMPARE(rows.list->currentRow(), 2000);
    QCOMPARE(find.lblFindStatus->text(), QStringLiteral("Found in message 2001, passing the start of the list."));
    QTest::keyClick(find.txtFind, Qt::Key_F3); // the next: only this one holds it
    QVERIFY(ended.wait(WaitMs));
    QCOMPARE(find.lblFindStatus->text(), QStringLiteral("Found in message 2001, passing the end of the list."));
    find.chkMatchCase->setChecked(true);
    QVERIFY(search(QStringLiteral("nte|7|")));
    QCOMPARE(rows.list->currentRow(), 2000); // where it was
    QCOMPARE(find.lblFindStatus->text(), QStringLiteral("\"nte|7|\" was not found."));
    QVERIFY(rows.windowing.boxes.isEmpty());

    // A long text is looked for whole, not just its start, and told cut short in a window as wide.
    QByteArray pattern;
    for (int i = 0; pattern.size() < 1 << 20; ++i)
        pattern += QByteArray::number(i);
    rows.add(framed(Adt + "OBX|1|ED|" + pattern.chopped(1) + "|\r"));
    rows.add(framed(Adt + "OBX|1|ED|" + pattern + "|\r"));
    const QString absent = QLatin1Char('x') + QString::fromLatin1(pattern);
    QVERIFY(search(absent));
    QCoreApplication::processEvents();
    QVERIFY(find.minimumSizeHint().width() <= opened && find.width() <= opened);
    QCOMPARE(find.lblFindStatus->text(), '"' + absent.first(64) + QChar(0x2026) + QStringLiteral("\" was not found."));
    QVERIFY(search(QString::fromLatin1(pattern)));
    QCOMPARE(find.lblFindStatus->text(), QStringLiteral("Found in message 3002."));

    QTest::keyClick(find.txtFind, Qt::Key_Escape);
    QVERIFY(!find.isVisible());
    QVERIFY(waitUntil([&] { return rows.list->hasFocus(); }));
}

void SelectionTest::severalRowsAreCopiedAndSavedAtOnce()
{
    Rows rows;
    QByteArray every;
    for (int b = 0; b < 256; ++b)
        every += char(b);
    const QList<QByteArray> sent{framed(Adt), every, framed("MSH|^~\\&|B\rPID|2\r")};
    for (const QByteArray &m : sent)
        rows.add(m);

    rows.list->setFocus();
    rows.list->setCurrentRow(0);
    QTest::keyClick(rows.list, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(rows.list, Qt::Key_Down, Qt::ShiftModifier);
    QCOMPARE(rows.list->selection().count(), 3);
    const QString path = rows.spill.filePath(QStringLiteral("chosen.txt"));
    rows.windowing.chosenSaveFiles.push_back(path);
    rows.commands.mnuSaveAs->trigger();
    QVERIFY(waitUntil([&] { return QFile::exists(path); }));
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), sent[0] + "\r\n" + sent[1] + "\r\n" + sent[2] + "\r\n");

    // Ctrl+click leaves the middle one out; Copy joins the other two.
    const QRect middle = rows.list->rowRect(1);
    QTest::mouseClick(rows.list->viewport(), Qt::LeftButton, Qt::ControlModifier, middle.center());
    QCOMPARE(rows.list->selection().count(), 2);
    QGuiApplication::clipboard()->clear();
    rows.commands.mnuCopy->trigger();
    const QString expected = QStringLiteral("MSH|^~\\&|SENDER|FAC|ACKPROBE|FAC|202612070815||ADT^A01|MSG0001|P|2.3\n"
                                            "PID|1||12345^^^HOSP||DOE^JOHN||19700101|M\n\nMSH|^~\\&|B\nPID|2\n");
    QVERIFY(waitUntil([&] { return QGuiApplication::clipboard()->text() == expected; }));
    QTest::keyClick(rows.list, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(rows.list->selection().count(), 3);
}

void SelectionTest::copyStopsAtTheClipboardLimit()
{
    // The limit to the character, marks and empty lines counted; what would pass it is taken back.
    const QByteArray marked("\x0b" "A\0B\r\x1c\r", 7);
    QString text = QStringLiteral("ab");
    QVERIFY(!MessageText::appendCopyText(text, marked, 9) && text == QStringLiteral("ab"));
    Rows rows;
    for (const QByteArray &m : {marked, QByteArray("long run"), QByteArray(100, '\0')}) // 100 bytes, 500 characters
        rows.add(m);
    const QString all = QStringLiteral("A<NUL>B\n\nlong run\n\n") + QString(100, QLatin1Char('x')).replace(QLatin1String("x"), QLatin1String("<NUL>"));
    SelectionProgress progress;
    for (const auto &[last, size] : std::vector<std::pair<int, qsizetype>>{{0, 8}, {1, 17}, {2, all.size()}}) {
        const std::vector<RowSelection::Range> upTo{{0, last}};
        QCOMPARE(copyTextOfRows(rows.store.reader(), upTo, progress, size).text, all.first(size));
        const CopiedRows past = copyTextOfRows(rows.store.reader(), upTo, progress, size - 1);
        QVERIFY(past.tooLarge && past.text.isEmpty() && past.failure.isEmpty());
    }

    // Bytes past it are refused before a thread reads them, for a selection, a row and the viewer.
    rows.add(Adt + "NTE|" + QByteArray(MessageText::ClipboardLimit + 1 - Adt.size() - 4, 'h'));
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    rows.list->setFocus();
    QTest::keyClick(rows.list, Qt::Key_A, Qt::ControlModifier);
    rows.commands.mnuCopy->trigger();
    QVERIFY(rows.jobsDone());
    rows.list->setCurrentRow(3);
    rows.commands.mnuCopy->trigger();
    QVERIFY(rows.jobsDone());
    rows.commands.view(3);
    MessageViewer *viewer = rows.commands.viewer();
    viewer->hide();
    viewer->cmdCopy->click();
    QVERIFY(!viewer->findChild<SelectionJob *>());
    QCOMPARE(rows.windowing.noticeTexts(), QStringList({tooLargeToCopy(true), tooLargeToCopy(false), tooLargeToCopy(false)}));
    QCOMPARE(tooLargeToCopy(true), QStringLiteral("The selected messages come to more than 64 MiB of text, too much "
                                                  "for the clipboard. Use Save As... to save them to a file."));

    // A large message under it is made on a job's thread, from the list and the viewer alike.
    const QByteArray large = Adt + "OBX|1|ED|" + QByteArray(CopiedAtOnce, 'e') + "\r";
    const QString expected = QString::fromLatin1(large).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    rows.add(framed(large));
    rows.list->setCurrentRow(4);
    QTest::keyClick(rows.list, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
    QVERIFY(waitUntil([&] { return rows.jobsDone(); }));
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
    rows.commands.view(4);
    viewer->hide();
    QGuiApplication::clipboard()->clear();
    viewer->cmdCopy->click();
    QVERIFY(QGuiApplication::clipboard()->text().isEmpty());
    QVERIFY(waitUntil([&] { return !viewer->findChild<SelectionJob *>(); }));
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
}

void SelectionTest::aSelectionGoesIntoAFifoOrADeviceAsItStands()
{
    Rows rows;
    QByteArray expected;
    for (int i = 0; i < 3; ++i) { // more than a pipe holds: written while it is read
        const QByteArray m = framed(Adt + "NTE|" + QByteArray(100000, char('a' + i)) + "\r");
        rows.add(m);
        expected += m + "\r\n";
    }
    rows.list->setFocus();
    QTest::keyClick(rows.list, Qt::Key_A, Qt::ControlModifier);
    QTemporaryDir dir;
    const auto saveTo = [&](const QString &path) {
        rows.windowing.chosenSaveFiles.push_back(path);
        rows.commands.mnuSaveAs->trigger();
        return waitUntil([&] { return !rows.commands.findChild<SelectionJob *>(); });
    };
    const auto kind = [](const QString &path) {
        struct stat info {};
        return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & S_IFMT : 0;
    };

    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    const UniqueFd reader(::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK));
    QVERIFY(reader.isValid());
    QByteArray got;
    rows.windowing.chosenSaveFiles.push_back(fifo);
    rows.commands.mnuSaveAs->trigger();
    QVERIFY(waitUntil([&] {
        char piece[65536];
        for (ssize_t n; (n = ::read(reader.get(), piece, sizeof piece)) > 0;)
            got.append(piece, n);
        return got.size() >= expected.size() && !rows.commands.findChild<SelectionJob *>();
    }));
    QCOMPARE(got, expected);
    QCOMPARE(kind(fifo), mode_t(S_IFIFO));
    QCOMPARE(rows.windowing.noticeTexts(), QStringList());

    // A file-size limit (SIGXFSZ ignored, as the program does) stands in for a full disk.
    const QString big = dir.filePath(QStringLiteral("big.txt"));
    const rlimit before = [] { rlimit l{}; ::getrlimit(RLIMIT_FSIZE, &l); return l; }();
    const rlimit small{150000, before.rlim_max};
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = saveTo(big);
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    QVERIFY(saved);
    const QString tooLarge = QStringLiteral("The messages could not be saved to %1: File too large").arg(big);
    QCOMPARE(rows.windowing.noticeTexts(), QStringList(tooLarge));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList()); // the FIFO unlisted

    const QString full = dir.filePath(QStringLiteral("full"));
    if (::mknod(QFile::encodeName(full).constData(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        QSKIP("No device node can be made here (that takes root); the FIFO case ran");
    if (const UniqueFd probe(::open(QFile::encodeName(full).constData(), O_WRONLY)); !probe.isValid())
        QSKIP("Device nodes cannot be opened on this file system (nodev); the FIFO case ran");
    QVERIFY(saveTo(full));
    QCOMPARE(rows.windowing.noticeTexts(),
             QStringList({tooLarge, QStringLiteral("The messages could not be saved to %1: No space left on device").arg(full)}));
    QCOMPARE(kind(full), mode_t(S_IFCHR));
}

void SelectionTest::aSpillFileThatLostItsBytesIsToldByCopySaveAndFind()
{
    Rows rows;
    rows.addSpilled(3000);
    QVERIFY(rows.store.spilledBytes() > 0);
    QVERIFY(cutOpenFilesIn(rows.spill.path()) >= 1);
    const QString lost = QStringLiteral("message 1 could not be read (Input/output error)");

    // Save As of them all leaves the file it would replace as it was.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kept.txt"));
    QVERIFY(saveFile(path, "as it was") == std::nullopt);
    rows.list->setFocus();
    QTest::keyClick(rows.list, Qt::Key_A, Qt::ControlModifier);
    rows.windowing.chosenSaveFiles.push_back(path);
    rows.commands.mnuSaveAs->trigger();
    QVERIFY(waitUntil([&] { return rows.jobsDone(); }));
    QCOMPARE(rows.windowing.noticeTexts(),
             QStringList(QStringLiteral("The messages could not be saved to %1: %2").arg(path, lost)));
    QFile kept(path);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("as it was"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList(QStringLiteral("kept.txt")));

    // Copy leaves the clipboard as it was; so does Copy of the one row.
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    rows.commands.mnuCopy->trigger();
    QVERIFY(waitUntil([&] { return rows.jobsDone(); }));
    rows.list->setCurrentRow(0);
    QCOMPARE(rows.list->selection().count(), 1);
    rows.commands.copy(0);
    QCOMPARE(rows.windowing.noticeTexts().mid(1),
             QStringList({QStringLiteral("The messages could not be copied: %1").arg(lost),
                          QStringLiteral("Message 1 could not be read: Input/output error")}));
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));

    // Find says that it passed over a part, found or not.
    FindWindow &find = rows.commands.findWindow();
    QSignalSpy ended(&find, &FindWindow::searchEnded);
    const auto search = [&](const QString &text) {
        find.txtFind->setText(text);
        find.findNext();
        return ended.wait(WaitMs);
    };
    QVERIFY(search(QStringLiteral("NTE|5|")));
    QCOMPARE(find.lblFindStatus->text(), QStringLiteral("Part of the messages could not be read (Input/output error). "
                                                        "\"NTE|5|\" was not found in the rest."));
    QVERIFY(search(QStringLiteral("NTE|2999|")));
    QCOMPARE(rows.list->currentRow(), 2999);
    QCOMPARE(find.lblFindStatus->text(), QStringLiteral("Part of the messages could not be read (Input/output error). "
                                                        "Found in message 3000."));
}

void SelectionTest::readersStopBeforeTheStoreIsCleared()
{
    Rows rows;
    rows.addSpilled(3000);
    FindWindow &find = rows.commands.findWindow();
    find.txtFind->setText(QStringLiteral("nowhere"));
    find.findNext();
    QVERIFY(find.searching());
    rows.list->setFocus();
    QTest::keyClick(rows.list, Qt::Key_A, Qt::ControlModifier);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("all.txt"));
    rows.windowing.chosenSaveFiles.push_back(path);
    rows.commands.mnuSaveAs->trigger();
    QVERIFY(!rows.jobsDone());

    // Nothing reads once they are stopped; the clear then leaves nothing to tell.
    rows.commands.stopReading();
    QVERIFY(!find.searching());
    QVERIFY(rows.jobsDone());
    rows.store.clear();
    rows.model.storeCleared();
    QSignalSpy ended(&find, &FindWindow::searchEnded);
    find.txtFind->setText(QStringLiteral("NTE|5|"));
    find.findNext();
    QVERIFY(waitUntil([&] { return !find.searching(); }));
    QCOMPARE(find.lblFindStatus->text(), QStringLiteral("\"NTE|5|\" was not found."));
    QCOMPARE(rows.windowing.noticeTexts(), QStringList());
}

QTEST_MAIN(SelectionTest)
#include "tst_selection.moc"
