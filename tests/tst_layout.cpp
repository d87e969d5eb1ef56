// The main window as designed: tab order, initial states, menus and the rule
// by which the "Receive" frame follows the window. Where each control stands
// is checked in tst_scaling, from the one table of the design.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/resizerule.h"
#include "windowing/twips.h"

#include <QAction>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include "mainwindow/receivedlistview.h"
#include <QtTest>

namespace {
QMap<QWidget *, QRect> geometries(QWidget *root)
{
    QMap<QWidget *, QRect> all;
    for (QWidget *child : root->findChildren<QWidget *>())
        all.insert(child, child->geometry());
    return all;
}

// Sizes the window so that its outer size, frame included, is as given.
void resizeOuter(frmInterface &w, int widthTwips, int heightTwips)
{
    const QSize frame = w.frameGeometry().size() - w.geometry().size();
    w.resize(Twips::toPixels(widthTwips, &w) - frame.width(),
             Twips::toPixels(heightTwips, &w) - frame.height());
    QCoreApplication::processEvents();
    QCOMPARE(w.frameGeometry().size(),
             QSize(Twips::toPixels(widthTwips, &w), Twips::toPixels(heightTwips, &w)));
}
} // namespace

class LayoutTest : public QObject, private ShownWindows
{
    Q_OBJECT

private slots:
    void initTestCase();
    void backgroundAndIconAsDesigned();
    void captionsAndTooltips();
    void initialStatesWithAutomaticStartOff();
    void menusAsDesigned();
    void tabOrderWalkedWithTheKeyboard();
    void resizeRuleEdges();
    void widenedWindowMovesOnlyTheReceiveFrame();
    void draggedColumnFollowsTheList();
    void tooSmallAWindowGivesTheListNoNegativeSize();
};

void LayoutTest::initTestCase()
{
    QVERIFY(showWindows(false));
}

void LayoutTest::backgroundAndIconAsDesigned()
{
    frmInterface &w = *m_window;
    QCOMPARE(w.centralWidget()->palette().color(QPalette::Window), QColor(192, 192, 192));
    QVERIFY(!w.windowIcon().isNull());
    QVERIFY(w.windowIcon().availableSizes().contains(QSize(16, 16)));
    QVERIFY(w.windowIcon().availableSizes().contains(QSize(32, 32)));
}

void LayoutTest::captionsAndTooltips()
{
    frmInterface &w = *m_window;
    QCOMPARE(w.fraSend->title(), QStringLiteral("ACK String Sent"));
    QCOMPARE(w.fraReceive->title(), QStringLiteral("Receive"));
    QCOMPARE(w.fraStatus->title(), QString());
    QCOMPARE(w.cmdStop->text(), QStringLiteral("Stop Interface"));
    QCOMPARE(w.cmdExit->toolTip(), QStringLiteral("Exit Program"));
    QCOMPARE(w.cmdSave->toolTip(), QStringLiteral("Save Remote Information"));
    QCOMPARE(w.txtStartDateAndTime->toolTip(), QStringLiteral("Interface Start Date and Time"));
    QCOMPARE(w.txtDateTime->toolTip(), QStringLiteral("Date and Time of Last ACK"));
    QCOMPARE(w.lblItemCount->text(), QStringLiteral("Counter"));
    QCOMPARE(w.lvwReceiveData->model()->headerData(0, Qt::Horizontal).toString(),
             QStringLiteral("Data In"));
    QCOMPARE(w.lvwReceiveData->model()->columnCount(), 1);
}

void LayoutTest::initialStatesWithAutomaticStartOff()
{
    frmInterface &w = *m_window;
    QCOMPARE(w.lblAutomaticStart->text(), QStringLiteral("Automatic Start is OFF"));
    QVERIFY(w.cmdStart->isEnabled());
    QVERIFY(!w.cmdStop->isEnabled());
    QVERIFY(w.cmdExit->isEnabled());
    QVERIFY(w.cmdEdit->isEnabled());
    QVERIFY(!w.cmdSave->isEnabled());
    for (QLineEdit *box : {w.txtRemoteIPAddress, w.txtRemotePort, w.txtLocalIPAddress, w.txtLocalPort})
        QVERIFY2(!box->isEnabled(), qPrintable(box->toolTip()));
    for (QLineEdit *box : {w.txtInterfaceStatus, w.txtStartDateAndTime, w.txtItemCount,
                           w.txtDateTime, w.txtSendData}) {
        QVERIFY(box->isEnabled());
        QVERIFY(!box->isReadOnly());
    }
    for (QAction *item : w.menuBar()->actions())
        for (QAction *sub : item->menu()->actions())
            QVERIFY2(sub->isEnabled(), qPrintable(sub->text()));
}

void LayoutTest::menusAsDesigned()
{
    frmInterface &w = *m_window;
    QStringList tree;
    for (QAction *menu : w.menuBar()->actions()) {
        tree << menu->text();
        for (QAction *item : menu->menu()->actions()) {
            tree << QStringLiteral("  ") + item->text() + (item->isCheckable() ? QStringLiteral(" [check]") : QString());
            QVERIFY(item->shortcut().isEmpty());
        }
    }
    QCOMPARE(tree, QStringList({"&File", "  Start Interface", "  Stop Interface", "  E&xit",
                                "&Options", "  Automatic Start [check]",
                                "  Show Warning Box Before Exit [check]", "  Whole MLLP Messages [check]",
                                "  Answer", "  Answer Rules...", "  Connections...", "  Character Set...",
                                "  Edit Remote Settings",
                                "  Save Remote Settings", "  Setup", "&Help", "  &About"}));
}

void LayoutTest::tabOrderWalkedWithTheKeyboard()
{
    frmInterface &w = *m_window;
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.cmdStart->setFocus(Qt::TabFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), w.cmdStart);
    // Disabled controls are skipped; frames, labels and the list never take the focus.
    const QList<QWidget *> expected = {w.cmdExit, w.cmdEdit, w.txtSendData, w.txtInterfaceStatus,
                                       w.txtItemCount, w.txtDateTime, w.txtStartDateAndTime,
                                       w.cmdStart};
    for (QWidget *next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

void LayoutTest::resizeRuleEdges()
{
    QVERIFY(!receiveSizeFor(1000, 9000));
    QVERIFY(!receiveSizeFor(9540, 5200));
    QVERIFY(!receiveSizeFor(0, 0));
    QVERIFY(receiveSizeFor(1001, 5201));
    const ReceiveSize designed = *receiveSizeFor(9540, 8010);
    QCOMPARE(designed.frameWidth, 8655.0f);
    QCOMPARE(designed.listWidth, 8415.0f);
    QCOMPARE(designed.frameHeight, 2895.0f);
    QCOMPARE(designed.listHeight, 2535.0f);

    // The window itself: outer 9540 twips wide gives the designed frame and list.
    frmInterface &w = *m_window;
    resizeOuter(w, 9540, 8010);
    QCOMPARE(w.fraReceive->width(), Twips::toPixels(8655, &w));
    QCOMPARE(w.lvwReceiveData->width(), Twips::toPixels(8415, &w));
    QCOMPARE(w.fraReceive->height(), Twips::toPixels(2895, &w));
    QCOMPARE(w.lvwReceiveData->height(), Twips::toPixels(2535, &w));
    // Too low a window changes nothing.
    const QSize before = w.fraReceive->size();
    resizeOuter(w, 12000, 5100);
    QCOMPARE(w.fraReceive->size(), before);
    // A minimised window changes nothing either.
    w.setWindowState(Qt::WindowMinimized);
    w.Form_Resize();
    QCOMPARE(w.fraReceive->size(), before);
    w.setWindowState(Qt::WindowNoState);
}

void LayoutTest::widenedWindowMovesOnlyTheReceiveFrame()
{
    frmInterface &w = *m_window;
    resizeOuter(w, 9540, 8010);
    const QMap<QWidget *, QRect> before = geometries(w.centralWidget());
    resizeOuter(w, 15000, 11000);
    const QMap<QWidget *, QRect> after = geometries(w.centralWidget());
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        QWidget *widget = it.key();
        if (widget == w.fraReceive || widget == w.lvwReceiveData || w.lvwReceiveData->isAncestorOf(widget))
            continue;
        QCOMPARE(after.value(widget), it.value());
    }
    QCOMPARE(w.fraReceive->pos(), before.value(w.fraReceive).topLeft());
    QCOMPARE(w.fraReceive->width(), Twips::toPixels(15000 - 885, &w));
    QCOMPARE(w.fraReceive->height(), Twips::toPixels(11000 - 5115, &w));
    QCOMPARE(w.fraStatus->width(), Twips::toPixels(8655, &w));
}

void LayoutTest::draggedColumnFollowsTheList()
{
    frmInterface &w = *m_window;
    resizeOuter(w, 9540, 8010);
    QCOMPARE(w.lvwReceiveData->columnWidth(0), w.lvwReceiveData->width());
    w.lvwReceiveData->horizontalHeader()->resizeSection(0, 120);
    QCOMPARE(w.lvwReceiveData->columnWidth(0), 120);
    resizeOuter(w, 10000, 8500);
    QCOMPARE(w.lvwReceiveData->columnWidth(0), w.lvwReceiveData->width());
}

void LayoutTest::tooSmallAWindowGivesTheListNoNegativeSize()
{
    frmInterface &w = *m_window;
    resizeOuter(w, 1050, 5250);
    QCOMPARE(w.fraReceive->width(), Twips::toPixels(1050 - 885, &w));
    QCOMPARE(w.lvwReceiveData->width(), 0);
    QCOMPARE(w.lvwReceiveData->height(), 0);
    resizeOuter(w, 9540, 8010);
}

QTEST_MAIN(LayoutTest)
#include "tst_layout.moc"
