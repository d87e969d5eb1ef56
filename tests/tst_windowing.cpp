// The real message boxes behind the windowing layer, under the offscreen
// platform: text, title, buttons, icon and default button as the operator
// would see them.

#include "mainwindow/windowing.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
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

void WindowingTest::endingBeforeTheLoopIsRemembered()
{
    QtWindowing windowing;
    QVERIFY(!windowing.programEnded());
    windowing.endProgram();
    QVERIFY(windowing.programEnded());
}

QTEST_MAIN(WindowingTest)
#include "tst_windowing.moc"
