// The real message boxes behind the windowing layer, under the offscreen
// platform: text, title, buttons, icon and default button as the operator
// would see them.

#include "windowing/windowing.h"

#include <QAbstractButton>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>

namespace {
struct Seen
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    Qt::TextFormat format = Qt::AutoText;
    int width = 0;
};

// Looks at the box once it shows and presses `press`.
void answerNextBox(Seen &seen, QMessageBox::StandardButton press)
{
    QTimer::singleShot(0, qApp, [&seen, press] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
        seen.defaultButton = box->defaultButton() ? box->standardButton(box->defaultButton())
                                                  : QMessageBox::NoButton;
        seen.format = box->textFormat();
        seen.width = box->width();
        box->button(press)->click();
    });
}
} // namespace

class WindowingTest : public QObject
{
    Q_OBJECT

private slots:
    void noticeHasOkOnlyAndNoIcon();
    void questionDefaultsToNo();
    void questionReturnsYes();
    void chooserIsTheOpenFileDialogWithItsDefaults();
    void saveAsOpensOverItsWindowOnScreen();
    // Last: once the program is ended, no event loop (no box) runs.
    void endingBeforeTheLoopIsRemembered();
};

void WindowingTest::noticeHasOkOnlyAndNoIcon()
{
    QtWindowing windowing;
    Seen seen;
    answerNextBox(seen, QMessageBox::Ok);
    windowing.notice(nullptr, QStringLiteral("<b>10054</b>"));
    QCOMPARE(seen.title, QStringLiteral("AckmereProbe"));
    QCOMPARE(seen.text, QStringLiteral("<b>10054</b>"));
    QCOMPARE(seen.format, Qt::PlainText);
    QCOMPARE(seen.icon, QMessageBox::NoIcon);
    QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

    // A socket error's number alone leaves room for the whole title, as a
    // title bar draws it (bold), beside its icon and close button.
    answerNextBox(seen, QMessageBox::Ok);
    windowing.notice(nullptr, QStringLiteral("10048"), QStringLiteral("AckmereProbe"));
    QFont titleFont = QApplication::font();
    titleFont.setBold(true);
    const QFontMetrics title(titleFont);
    QVERIFY2(seen.width >= title.horizontalAdvance(QStringLiteral("AckmereProbe")) + 4 * title.height(),
             qPrintable(QString::number(seen.width)));
}

void WindowingTest::questionDefaultsToNo()
{
    QtWindowing windowing;
    Seen seen;
    answerNextBox(seen, QMessageBox::No);
    const bool yes = windowing.question(nullptr, QStringLiteral("Do you wish to exit Ackmere?"),
                                        QStringLiteral("Exit Ackmere"));
    QVERIFY(!yes);
    QCOMPARE(seen.title, QStringLiteral("Exit Ackmere"));
    QCOMPARE(seen.text, QStringLiteral("Do you wish to exit Ackmere?"));
    QCOMPARE(seen.icon, QMessageBox::Question);
    QCOMPARE(seen.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(seen.defaultButton, QMessageBox::No);
}

void WindowingTest::questionReturnsYes()
{
    QtWindowing windowing;
    Seen seen;
    answerNextBox(seen, QMessageBox::Yes);
    QVERIFY(windowing.question(nullptr, QStringLiteral("Fix?"), QStringLiteral("File Error")));
}

void WindowingTest::chooserIsTheOpenFileDialogWithItsDefaults()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("chosen.log"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());

    QtWindowing windowing;
    QStringList filters;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    QString folder;
    QTimer::singleShot(0, qApp, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        filters = dialog->nameFilters();
        mode = dialog->fileMode();
        folder = dialog->directory().absolutePath();
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    const QString chosen = windowing.chooseOpenFile(nullptr);
    QDir::setCurrent(previous);
    QCOMPARE(chosen, path);
    QCOMPARE(mode, QFileDialog::ExistingFile);
    QCOMPARE(filters, QStringList{QStringLiteral("All Files (*)")});
    QCOMPARE(QDir(folder).canonicalPath(), QDir(dir.path()).canonicalPath());

    // A cancel gives an empty name.
    QTimer::singleShot(0, qApp, [] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget()))
            dialog->reject();
    });
    QCOMPARE(windowing.chooseOpenFile(nullptr), QString());
}

void WindowingTest::endingBeforeTheLoopIsRemembered()
{
    QtWindowing windowing;
    QVERIFY(!windowing.programEnded());
    windowing.endProgram();
    QVERIFY(windowing.programEnded());
}

void WindowingTest::saveAsOpensOverItsWindowOnScreen()
{
    QWidget owner;
    owner.resize(700, 600);
    owner.show();
    const QRect area = owner.screen()->availableGeometry();
    QtWindowing windowing;
    // Centred on the window that asks, or pushed back onto its screen.
    for (const bool inCorner : {false, true}) {
        const QPoint at = inCorner ? area.bottomRight() - QPoint(60, 40) : area.topLeft() + QPoint(30, 20);
        owner.move(at);
        QTRY_COMPARE(owner.frameGeometry().topLeft(), at);
        QRect frame;
        QString suggested;
        QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
        QTimer::singleShot(0, qApp, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            frame = dialog->frameGeometry();
            suggested = QFileInfo(dialog->selectedFiles().value(0)).fileName();
            mode = dialog->acceptMode();
            dialog->reject();
        });
        QCOMPARE(windowing.chooseSaveFile(&owner, QStringLiteral("message-3.hl7")), QString());
        QCOMPARE(suggested, QStringLiteral("message-3.hl7"));
        QCOMPARE(mode, QFileDialog::AcceptSave);
        QVERIFY(area.contains(frame));
        if (inCorner)
            QCOMPARE(frame.bottomRight(), area.bottomRight());
        else
            QVERIFY((frame.center() - owner.frameGeometry().center()).manhattanLength() <= 2);
    }
}

QTEST_MAIN(WindowingTest)
#include "tst_windowing.moc"
