// Answers by rule in the window: the rules' editor on real files, and a real sender's answers as shown.

#include "testsupport.h"

#include "mainwindow/answerrulesdialog.h"
#include "mainwindow/frminterface.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/messageviewer.h"
#include "mainwindow/receivedlistview.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <cerrno>

namespace {
const QString RulesFile = QStringLiteral("ackprobe-rules.txt");

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList problemsShown(const AnswerRulesDialog &dialog)
{
    QStringList shown;
    for (int i = 0; i < dialog.lstProblems->count(); ++i)
        shown << dialog.lstProblems->item(i)->text();
    return shown;
}

// The editor as Options > Answer Rules... opens it.
AnswerRulesDialog *openEditor(frmInterface &window)
{
    window.mnuOptionsAnswerRules->trigger();
    AnswerRulesDialog *dialog = window.answerRulesDialog();
    return dialog && dialog->isVisible() ? dialog : nullptr;
}

// Types at the end key by key, letters beyond ASCII too, and waits until the typing is checked.
bool typeAtEnd(AnswerRulesDialog &dialog, const QString &text)
{
    dialog.txtRules->setFocus();
    dialog.txtRules->moveCursor(QTextCursor::End);
    for (const QChar c : text) {
        if (c == u'\n') {
            QTest::keyClick(dialog.txtRules, Qt::Key_Return);
            continue;
        }
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(dialog.txtRules, &press);
        QApplication::sendEvent(dialog.txtRules, &release);
    }
    return waitUntil([&] { return !dialog.checkPending(); });
}
} // namespace

class RulesWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void theEditorChecksWhatIsTypedSavesItOrTellsWhyNot();
    void eachOutcomeInTheListTheViewerAndTheStatusLine();
};

void RulesWindowTest::theEditorChecksWhatIsTypedSavesItOrTellsWhyNot()
{
    TestProgram program;
    const QByteArray mine = "# mine\n{MSH-9.1} = ADT -> AE\n";
    QVERIFY(writeBytes(program.path(RulesFile), mine));
    frmInterface &w = program.openShown();
    AnswerRulesDialog *dialog = openEditor(w);
    QVERIFY(dialog && dialog->txtRules->toPlainText() == QString::fromLatin1(mine));
    QCOMPARE(dialog->lblCount->text(), QStringLiteral("1 rule read."));
    QVERIFY(dialog->lstProblems->isHidden() && dialog->lblFileProblem->isHidden() && !dialog->cmdSave->isEnabled());

    // A mistyped line is named with its reason; the others still count.
    QVERIFY(typeAtEnd(*dialog, QStringLiteral("every 3 -> sometimes\nalways -> AR")));
    QCOMPARE(problemsShown(*dialog), QStringList{QStringLiteral("line 3: unknown action \"sometimes\"")});
    QCOMPARE(dialog->lblCount->text(), QStringLiteral("2 rules read."));
    QVERIFY(!dialog->lstProblems->isHidden() && dialog->cmdSave->isEnabled());

    // Mended, the list empties.
    dialog->txtRules->setPlainText(QStringLiteral("every 3 -> delay 10\nshare 5% -> AE\nalways -> AR\n"));
    QVERIFY(waitUntil([&] { return !dialog->checkPending(); }));
    QVERIFY(problemsShown(*dialog).isEmpty() && dialog->lstProblems->isHidden());
    QCOMPARE(dialog->lblCount->text(), QStringLiteral("3 rules read."));
    dialog->txtRules->clear();
    dialog->checkNow();
    QCOMPARE(dialog->lblCount->text(), QStringLiteral("No rule read: every message gets the configured answer."));
    // Closed unsaved: the file stands as it was.
    dialog->cmdClose->click();
    QTRY_VERIFY(!w.answerRulesDialog());
    QCOMPARE(program.readFile(RulesFile), mine);

    // No file: an empty editor, nothing wrong.
    QVERIFY(QFile::remove(program.path(RulesFile)));
    dialog = openEditor(w);
    QVERIFY(dialog && dialog->txtRules->toPlainText().isEmpty() && dialog->lblFileProblem->isHidden());
    QVERIFY(typeAtEnd(*dialog, QStringLiteral("{PID-5.1} = M\u00fcller -> AE, text \"N\u00a0\\\"x\\\"\"\n")));
    QCOMPARE(problemsShown(*dialog), QStringList());
    dialog->cmdSave->click();
    const QByteArray saved("{PID-5.1} = M\xc3\xbcller -> AE, text \"N\xc2\xa0\\\"x\\\"\"\n");
    QCOMPARE(program.readFile(RulesFile), saved);
    QVERIFY(!dialog->cmdSave->isEnabled() && dialog->lblSaveError->isHidden());

    // A folder where the file should be: the write fails, the dialog says why and keeps the text.
    QVERIFY(QFile::remove(program.path(RulesFile)) && QDir(program.dir()).mkdir(RulesFile));
    QVERIFY(typeAtEnd(*dialog, QStringLiteral("always -> AA\n")));
    dialog->cmdSave->click();
    QVERIFY2(dialog->lblSaveError->text().startsWith(QDir::toNativeSeparators(program.path(RulesFile))
                                                     + QStringLiteral(" could not be written: ")),
             qPrintable(dialog->lblSaveError->text()));
    QVERIFY(!dialog->lblSaveError->isHidden() && dialog->cmdSave->isEnabled() && dialog->isVisible());
    QVERIFY(QFileInfo(program.path(RulesFile)).isDir());
    // Once the folder has gone, the same Save writes the whole text.
    QVERIFY(QDir(program.dir()).rmdir(RulesFile));
    dialog->cmdSave->click();
    QVERIFY(dialog->lblSaveError->isHidden() && program.windowing.boxes.isEmpty());
    QCOMPARE(program.readFile(RulesFile), saved + "always -> AA\n");

    // A file that cannot be read is told of and kept until the operator saves.
    dialog->cmdClose->click();
    QTRY_VERIFY(!w.answerRulesDialog());
    const QByteArray latin1 = "# caf\xe9\n{MSH-9.1} = ADT -> AE\n";
    QVERIFY(writeBytes(program.path(RulesFile), latin1));
    dialog = openEditor(w);
    QVERIFY(dialog && !dialog->lblFileProblem->isHidden());
    QCOMPARE(dialog->lblFileProblem->text(), program.path(RulesFile) + " could not be read (line 1 is not UTF-8); no "
                                             "answer rule is used. Nothing is written over it until you press Save.");
    QVERIFY(dialog->txtRules->toPlainText().isEmpty() && !dialog->cmdSave->isEnabled());
    dialog->cmdClose->click();
    QTRY_VERIFY(!w.answerRulesDialog());
    QCOMPARE(program.readFile(RulesFile), latin1);

    dialog = openEditor(w);
    QVERIFY(dialog && typeAtEnd(*dialog, QStringLiteral("always -> AE")));
    dialog->cmdSave->click();
    QCOMPARE(program.readFile(RulesFile), QByteArray("always -> AE"));
    QVERIFY(dialog->lblFileProblem->isHidden());
}

void RulesWindowTest::eachOutcomeInTheListTheViewerAndTheStatusLine()
{
    TestProgram program;
    // Whole blocks: messages without an answer must not run into the next.
    program.writeOptionsBytes("[Receive]\nWholeMllpMessages=true\n[List]\nColumns=ControlId,Answer\n");
    QVERIFY(writeBytes(program.path(RulesFile), "# rules\n{MSH-10} = M2 -> AE\n{MSH-10} = M3 -> never\n"
                                                "{MSH-10} = M4 -> close\n{MSH-10} = M5 -> sometimes\n"
                                                "{MSH-10} = M6 -> reset\n"));
    IniValues values;
    values.msaSegment = QStringLiteral("|AA|{MSH-10}"); // the answer takes a field of the message
    frmInterface &w = program.openListening(values);
    QVERIFY(showExposed(w));
    QCOMPARE(w.engine().rulesInForce(), 4);
    QTRY_COMPARE(w.lblConnections->accessibleName(), QStringLiteral("4 answer rules in force"));
    QTRY_COMPARE(program.windowing.noticeTexts(),
                 QStringList{QStringLiteral("ackprobe-rules.txt line 5: unknown action \"sometimes\"; the line is ignored.")});

    const auto message = [](const QByteArray &id, const QByteArray &type = "ADT^A01") {
        return framed("MSH|^~\\&|A|B|C|D|||" + type + "|" + id + "|P|2.5\r");
    };
    const auto texts = [](const QByteArray &code, const QByteArray &id) { return AckTexts{.msa = "|" + code + "|" + id}; };
    const QDateTime from = QDateTime::currentDateTime();
    LoopbackClient first;
    QVERIFY(first.connectTo(program.port()));
    QVERIFY(first.send(message("M1")) && receivesAck(first, from, texts("AA", "M1")));
    QVERIFY(first.send(message("M2")) && receivesAck(first, from, texts("AE", "M2")));
    // No answer for M3, nor for an acknowledgement: the next is M4's, then the connection closes.
    QVERIFY(first.send(message("M3")) && first.send(message("K1", "ACK^A01")));
    QVERIFY(first.send(message("M4")) && receivesAck(first, from, texts("AA", "M4")));
    QCOMPARE(first.waitForEnd(), 0);
    LoopbackClient second;
    QVERIFY(second.connectTo(program.port()));
    // The line that could not be read is left out: M5 gets the configured answer.
    QVERIFY(second.send(message("M5")) && receivesAck(second, from, texts("AA", "M5")));
    QVERIFY(second.send(message("M6")));
    QCOMPARE(second.waitForEnd(), ECONNRESET);

    QAbstractItemModel &model = *w.lvwReceiveData->model();
    QTRY_COMPARE(model.rowCount(), 7);
    // Each row's control ID and answer, and how the viewer tells it was decided when a rule or the unusual did.
    const std::array<std::array<QString, 3>, 7> rows{{
        {"M1", "AA", ""},
        {"M2", "AE", "Answer: by rule at line 2"},
        {"M3", "none", "Answer: by rule at line 3, no answer (rule)"},
        {"K1", "ACK: none", "Answer: as configured, not answered: an acknowledgement"},
        {"M4", "AA", "Answer: by rule at line 4, then the connection was closed"},
        {"M5", "AA", ""},
        {"M6", "reset", "Answer: by rule at line 6, connection reset"},
    }};
    for (int row = 0; row < 7; ++row) {
        w.messageCommands().view(row);
        const QStringList lines = w.messageCommands().viewer()->lblDetails->accessibleName().split(u'\n');
        const QStringList told{model.index(row, 1).data().toString(), model.index(row, 2).data().toString(),
                               lines.filter(QRegularExpression(QStringLiteral("^Answer: "))).join(u'|')};
        QCOMPARE(told, QStringList(rows[row].begin(), rows[row].end()));
    }

    // Stopped, no rule is in force; mended and restarted, the count follows the file and nothing more is told.
    w.Stop();
    QTRY_COMPARE(w.lblConnections->accessibleName(), QString());
    QVERIFY(writeBytes(program.path(RulesFile), "always -> AE\n"));
    w.Start();
    QTRY_COMPARE(w.lblConnections->accessibleName(), QStringLiteral("1 answer rule in force"));
    QCoreApplication::processEvents();
    QCOMPARE(program.windowing.noticeTexts().size(), 1);
}

QTEST_MAIN(RulesWindowTest)
#include "tst_ruleswindow.moc"
