// Messages in their own character sets as the window shows them, the dialog that changes it, the log unchanged.

#include "testsupport.h"

#include "mainwindow/charactersetdialog.h"
#include "mainwindow/frminterface.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/messageviewer.h"
#include "mainwindow/receivedlistview.h"
#include "mainwindow/receivedmodel.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStringEncoder>
#include <QtTest>

namespace {
const QString Name = QStringLiteral(u"M\u00fcller^Zo\u00eb");
const QString Yamada = QStringLiteral(u"\u5c71\u7530");

QByteArray header(const QByteArray &controlId, const QByteArray &msh18)
{
    return "MSH|^~\\&|LAB|FAC|PROBE|FAC|202612091200||ADT^A01|" + controlId + "|P|2.5||||||" + msh18 + "\r";
}

// The viewer's text once the whole message is in it.
QString shownText(const MessageViewer &viewer)
{
    if (!waitUntil([&] { return viewer.txtMessage->isFilled(); }))
        return QStringLiteral("(never filled)");
    return viewer.shownText();
}

QString detailsLastLine(const MessageViewer &viewer)
{
    return viewer.lblDetails->accessibleName().section(QLatin1Char('\n'), -1);
}

// A row's text from its copied text: the frame back, and the bad byte 0xFF as the lone surrogate it is read as.
QString rowText(QString copied)
{
    return "\x0b" + copied.replace(QLatin1Char('\n'), QLatin1Char('\r')).replace("<0xFF>", QString(QChar(0xDCFF))) + "\x1c\r";
}

QString mark(const char *name)
{
    return u'\u2009' + QLatin1String(name) + u'\u2009';
}

// The viewer's text from the copied text: every control byte, and the bad one, as a mark.
QString viewed(const QString &copied)
{
    const QChar gap(0x200a);
    QString out = mark("VT") + gap;
    for (QString line : copied.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        out += line.replace("<0xFF>", gap + mark("0xFF")) + gap + mark("CR") + '\n';
    return out + mark("FS") + gap + mark("CR") + '\n';
}
} // namespace

class CharsetViewTest : public QObject
{
    Q_OBJECT

private slots:
    void eachMessageShowsInItsOwnSet();
};

void CharsetViewTest::eachMessageShowsInItsOwnSet()
{
    TestProgram program;
    frmInterface &w = program.openListening();
    QVERIFY(showExposed(w));
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));

    // UTF-8 with a bad byte 0xFF; ISO-8859-1 by "8859/1"; windows-1252 named nowhere, its euro 0x80; GB 18030 throughout.
    const QByteArray utf8 = framed(header("U8", "UNICODE UTF-8") + "PID|1||7||" + Name.toUtf8() + "\rNTE|1||"
                                   + Yamada.toUtf8() + " bad\xff\r");
    const QByteArray latin1 = framed(header("L1", "8859/1") + "PID|1||7||M\xfcller^Zo\xeb\r");
    const QByteArray cp1252 = framed(header("W1", "") + "PID|1||7||M\xfcller^Zo\xeb\rNTE|1||\x80 12\r");
    QStringEncoder toGb18030("GB18030");
    const QByteArray gbText = toGb18030.encode(Name + QLatin1Char('|') + Yamada);
    QVERIFY(toGb18030.isValid() && !toGb18030.hasError());
    // Its own tables: u-umlaut A8B9, the two characters C9BD CCEF.
    QVERIFY(gbText.startsWith("M\xa8\xb9ller^Zo") && gbText.endsWith("|\xc9\xbd\xcc\xef"));
    const QByteArray gbYamada = toGb18030.encode(Yamada);
    const QByteArray gb = framed(header(gbYamada + "1", "GB 18030-2000") + "PID|1||7||" + gbText + "\r");
    QList<QByteArray> sent;
    QByteArray log;
    const auto exchange = [&](const QByteArray &message) { sent << message; log += message + "\r\n"; return client.exchange(message); };
    QVERIFY(exchange(utf8) && exchange(latin1) && exchange(cp1252) && exchange(gb));
    ReceivedListView &list = *w.lvwReceiveData;
    QTRY_COMPARE(list.model()->rowCount(), 4);
    // The bytes never change: the log holds them exactly as sent.
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), log);

    const QString head = QStringLiteral("MSH|^~\\&|LAB|FAC|PROBE|FAC|202612091200||ADT^A01|%1|P|2.5||||||%2\n");
    const QString utf8Copied = head.arg("U8", "UNICODE UTF-8") + "PID|1||7||" + Name + "\nNTE|1||" + Yamada + " bad<0xFF>\n";
    const QString gbCopied = head.arg(Yamada + "1", "GB 18030-2000") + "PID|1||7||" + Name + "|" + Yamada + "\n";
    const auto cp1252Copied = [&](QChar euro) { return head.arg("W1", "") + "PID|1||7||" + Name + "\nNTE|1||" + euro + " 12\n"; };
    // Automatic reads the windows-1252 message as ISO-8859-1: 0x80 is a C1 control there.
    QStringList rows{rowText(utf8Copied), rowText(head.arg("L1", "8859/1") + "PID|1||7||" + Name + "\n"),
                     rowText(cp1252Copied(QChar(0x80))), rowText(gbCopied)};
    const auto shownRows = [&] {
        QStringList texts;
        for (int row = 0; row < rows.size(); ++row)
            texts << list.model()->index(row, 0).data(ReceivedModel::ShownTextRole).toString();
        return texts;
    };
    QCOMPARE(shownRows(), rows);

    // Copy: the clipboard holds the decoded text, the bad byte as <0xFF>.
    QClipboard *clipboard = QGuiApplication::clipboard();
    list.setFocus();
    for (const auto &[row, copied] : {std::pair{0, utf8Copied}, std::pair{3, gbCopied}}) {
        clipboard->clear();
        list.setCurrentRow(row);
        QTest::keyClick(&list, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(clipboard->text(), copied);
    }
    // A screen reader hears the row as it is copied.
    QAccessibleInterface *reader = QAccessible::queryAccessibleInterface(&list);
    QVERIFY(reader && reader->child(0));
    QCOMPARE(reader->child(0)->text(QAccessible::Name), utf8Copied);
    // The control ID column reads MSH-10 in the message's set.
    w.settings().setListColumns({QStringLiteral("ControlId")});
    QTRY_COMPARE(list.model()->columnCount(), 2);
    QCOMPARE(QStringList({list.model()->index(0, 1).data().toString(), list.model()->index(3, 1).data().toString()}),
             QStringList({"U8", Yamada + "1"}));

    // The viewer: the text with the bad byte marked, and the set it was read in.
    list.setCurrentRow(0);
    QTest::keyClick(&list, Qt::Key_Return);
    MessageViewer *viewer = w.messageCommands().viewer();
    QVERIFY(viewer && viewer->isVisible());
    QCOMPARE(shownText(*viewer), viewed(utf8Copied));
    QCOMPARE(detailsLastLine(*viewer), QStringLiteral("Character set: UTF-8, from MSH-18 'UNICODE UTF-8'"));
    // Copy, and a selection copied, give the same, the 0xFF mark as the byte it stands for.
    for (const auto &copy : {std::function<void()>([&] { viewer->cmdCopy->click(); }),
                             std::function<void()>([&] { viewer->txtMessage->selectAll(); viewer->txtMessage->copy(); })}) {
        clipboard->clear();
        copy();
        QCOMPARE(clipboard->text(), utf8Copied);
    }
    for (const auto &[row, set] : {std::pair{1, "ISO-8859-1, from MSH-18 '8859/1'"}, {2, "ISO-8859-1, automatic: not valid UTF-8"},
                                   {3, "GB18030, from MSH-18 'GB 18030-2000'"}}) {
        w.messageCommands().view(row);
        QCOMPARE(detailsLastLine(*viewer), QStringLiteral("Character set: ") + set);
    }
    QCOMPARE(shownText(*viewer), viewed(gbCopied));

    // A row reads the first kilobyte: a character cut at its end is left out there; the viewer, reading it all, shows it.
    const QByteArray start = "\x0b" + header("U8-2", "UNICODE UTF-8") + "NTE|1||";
    const QByteArray filler(ReceivedModel::ShownBytes - 1 - start.size(), 'x');
    const QByteArray cut = start + filler + "\xc3\xbc\r\x1c\r";
    QVERIFY(exchange(cut));
    QTRY_COMPARE(list.model()->rowCount(), 5);
    QCOMPARE(list.model()->index(4, 0).data(ReceivedModel::ShownTextRole).toString(),
             QString::fromLatin1(start + filler));
    w.messageCommands().view(4);
    QVERIFY(shownText(*viewer).endsWith(viewed(filler + QStringLiteral(u"\u00fc\n")).mid(mark("VT").size() + 1)));

    // Options > Character Set...: windows-1252 chosen, MSH-18 still first.
    w.messageCommands().view(2);
    QCOMPARE(shownText(*viewer).count(mark("PAD")), 1);
    w.mnuOptionsCharacterSet->trigger();
    CharacterSetDialog *dialog = w.characterSetDialog();
    QVERIFY(dialog && dialog->isVisible() && dialog->chkUseMsh18->isChecked());
    QCOMPARE(QStringList({dialog->cboCharacterSet->itemText(0), dialog->cboCharacterSet->currentText()}),
             QStringList({"Automatic", "Automatic"}));
    QVERIFY(dialog->cboCharacterSet->findText(QStringLiteral("windows-1252")) > 0);
    // A name this system does not decode cannot be taken.
    dialog->cboCharacterSet->setEditText(QStringLiteral("no such set"));
    QVERIFY(!dialog->cmdOK->isEnabled());
    dialog->cboCharacterSet->setEditText(QStringLiteral("WINDOWS-1252"));
    QVERIFY(dialog->cmdOK->isEnabled());
    dialog->cmdOK->click();
    QTRY_VERIFY(!w.characterSetDialog());
    QVERIFY(program.readFile(QLatin1String(OptionsFileName)).contains("[Text]\nCharacterSet=windows-1252\nUseMsh18=true\n"));
    rows[2] = rowText(cp1252Copied(QChar(0x20AC)));
    QCOMPARE(shownRows(), rows);
    QCOMPARE(detailsLastLine(*viewer), QStringLiteral("Character set: windows-1252, chosen"));
    QCOMPARE(shownText(*viewer).count(mark("PAD")), 0);
    QVERIFY(shownText(*viewer).contains(QStringLiteral(u"NTE|1||\u20ac 12")));
    clipboard->clear();
    list.setCurrentRow(2);
    w.messageCommands().mnuCopy->trigger();
    QCOMPARE(clipboard->text(), cp1252Copied(QChar(0x20AC)));

    // MSH-18 no longer asked: every message is read as windows-1252.
    w.mnuOptionsCharacterSet->trigger();
    dialog = w.characterSetDialog();
    QVERIFY(dialog && dialog->cboCharacterSet->currentText() == QStringLiteral("windows-1252"));
    dialog->chkUseMsh18->setChecked(false);
    dialog->cmdOK->click();
    QTRY_VERIFY(!w.characterSetDialog());
    // The UTF-8 message's two bytes of u-umlaut are two letters in windows-1252.
    QVERIFY(list.model()->index(0, 0).data(ReceivedModel::ShownTextRole).toString().contains(
        QStringLiteral(u"PID|1||7||M\u00c3\u00bcller^Zo\u00c3\u00ab\r")));
    w.messageCommands().view(0);
    QCOMPARE(detailsLastLine(*viewer), QStringLiteral("Character set: windows-1252, chosen"));
    // Nothing of it reached the bytes.
    QCOMPARE(program.readFile(QStringLiteral("logfile.txt")), log);
    for (int row = 0; row < sent.size(); ++row)
        QCOMPARE(w.receivedMessages().at(row), QByteArrayView(sent.at(row)));
}

QTEST_MAIN(CharsetViewTest)
#include "tst_charsetview.moc"
