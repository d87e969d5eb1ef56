// Both windows as a screen reader or a UI automation tool sees them: every
// control has an accessible name, and every menu and menu item can be found
// by its code name (each control is, in tst_scaling's table).

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/receivedlistview.h"
#include "setup/frmsetup.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

namespace {
QString accessibleName(QObject *object)
{
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(object);
    return face ? face->text(QAccessible::Name) : QString();
}

// What a person or a tool could want to find: anything that takes the focus
// or shows a text.
bool isControl(QWidget *w)
{
    if (w->focusPolicy() != Qt::NoFocus)
        return true;
    if (auto *label = qobject_cast<QLabel *>(w))
        return !label->text().isEmpty();
    return qobject_cast<QAbstractButton *>(w) || qobject_cast<QGroupBox *>(w)
           || qobject_cast<QLineEdit *>(w) || qobject_cast<QAbstractScrollArea *>(w)
           || qobject_cast<QMenuBar *>(w);
}

// Every name in the accessibility tree below `face`.
void collectNames(QAccessibleInterface *face, QStringList *names, int depth = 0)
{
    if (!face || depth > 12)
        return;
    names->append(face->text(QAccessible::Name));
    for (int i = 0; i < face->childCount(); ++i)
        collectNames(face->child(i), names, depth + 1);
}
} // namespace

class AccessTest : public QObject, private ShownWindows
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyControlHasAName_data();
    void everyControlHasAName();
    void textBoxesAreNamedByTheirLabelOrTooltip();
    void namesOfTheOtherControls();
    void everyMenuAndMenuItemIsFoundByItsCodeName();
    void theAccessibilityTreeCarriesTheNames();

private:
    QWidget *windowNamed(const QString &which) const;
};

void AccessTest::initTestCase()
{
    QVERIFY(showWindows(true));
}

QWidget *AccessTest::windowNamed(const QString &which) const
{
    return which == QLatin1String("main") ? static_cast<QWidget *>(m_window) : m_setup;
}

void AccessTest::everyControlHasAName_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<int>("fewest");
    QTest::newRow("main window") << QStringLiteral("main") << 31;
    QTest::newRow("setup dialog") << QStringLiteral("setup") << 18;
}

void AccessTest::everyControlHasAName()
{
    QFETCH(QString, window);
    QFETCH(int, fewest);
    QWidget *top = windowNamed(window);
    int controls = 0;
    QStringList unnamed;
    for (QWidget *w : top->findChildren<QWidget *>()) {
        // The setup dialog is a window of the main window: its controls count there.
        if (!w->isVisibleTo(top) || w->window() != top || !isControl(w))
            continue;
        ++controls;
        if (accessibleName(w).trimmed().isEmpty())
            unnamed << QStringLiteral("%1 (%2)").arg(w->objectName(), QLatin1String(w->metaObject()->className()));
    }
    QVERIFY2(unnamed.isEmpty(), qPrintable(QStringLiteral("without a name: ") + unnamed.join(QStringLiteral(", "))));
    QVERIFY2(controls >= fewest, qPrintable(QString::number(controls)));
}

void AccessTest::textBoxesAreNamedByTheirLabelOrTooltip()
{
    frmInterface &w = *m_window;
    const QList<QPair<QLineEdit *, QString>> boxes = {
        {w.txtInterfaceStatus, QStringLiteral("Interface Status")},
        {w.txtStartDateAndTime, QStringLiteral("Interface Start Date and Time")},
        {w.txtItemCount, QStringLiteral("Interface Transaction Counter")},
        {w.txtDateTime, QStringLiteral("Date and Time of Last ACK")},
        {w.txtSendData, QStringLiteral("ACK String Sent")},
        {w.txtRemoteIPAddress, QStringLiteral("Remote IP Address")},
        {w.txtRemotePort, QStringLiteral("Remote Port Number")},
        {w.txtLocalIPAddress, QStringLiteral("Local IP Address")},
        {w.txtLocalPort, QStringLiteral("Local Port Number")},
        {m_setup->txtInterfaceName, QStringLiteral("Interface Name")},
        {m_setup->txtLogfileLocation, QStringLiteral("Logfile Location")},
        {m_setup->txtAckBeforeDate, QStringLiteral("MSH ACK Information Before Date")},
        {m_setup->txtAckAfterDate, QStringLiteral("MSH ACK Information After Date")},
        {m_setup->txtMSASegment, QStringLiteral("MSA Segment Definition")},
    };
    for (const auto &[box, name] : boxes) {
        QCOMPARE(accessibleName(box), name);
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(box);
        QCOMPARE(face->role(), QAccessible::EditableText);
        // The value is read as the box's text, not as its name.
        box->setText(QStringLiteral("value ") + name);
        QCOMPARE(face->text(QAccessible::Value), QStringLiteral("value ") + name);
        QCOMPARE(accessibleName(box), name);
    }
}

void AccessTest::namesOfTheOtherControls()
{
    frmInterface &w = *m_window;
    QCOMPARE(accessibleName(w.cmdStart), QStringLiteral("Start Interface"));
    QCOMPARE(accessibleName(w.cmdSave), QStringLiteral("Save"));
    QCOMPARE(QAccessible::queryAccessibleInterface(w.cmdSave)->text(QAccessible::Description),
             QStringLiteral("Save Remote Information"));
    QCOMPARE(accessibleName(w.lvwReceiveData), QStringLiteral("Received messages"));
    QCOMPARE(accessibleName(w.fraStatus), QStringLiteral("Status"));
    QCOMPARE(accessibleName(w.fraReceive), QStringLiteral("Receive"));
    QCOMPARE(accessibleName(w.lblItemCount), QStringLiteral("Counter"));
    // This label's text is what it says, so its name follows the text.
    QCOMPARE(accessibleName(w.lblAutomaticStart), QStringLiteral("Automatic Start is OFF"));
    w.lblAutomaticStart->setText(QStringLiteral("Automatic Start is ON"));
    QCOMPARE(accessibleName(w.lblAutomaticStart), QStringLiteral("Automatic Start is ON"));
    w.lblAutomaticStart->setText(QStringLiteral("Automatic Start is OFF"));

    QCOMPARE(accessibleName(m_setup->chkShowCount), QStringLiteral("Show Transaction Count"));
    QCOMPARE(QAccessible::queryAccessibleInterface(m_setup->chkShowCount)->role(), QAccessible::CheckBox);
    QCOMPARE(accessibleName(m_setup->fraMSAACK), QStringLiteral("MSA Segment Definition"));
    QCOMPARE(accessibleName(m_setup->cmdEdit), QStringLiteral("Edit"));
}

void AccessTest::everyMenuAndMenuItemIsFoundByItsCodeName()
{
    frmInterface &w = *m_window;
    const QList<QPair<const char *, QAction *>> items = {
        {"mnuFileStartInterface", w.mnuFileStartInterface}, {"mnuFileStopInterface", w.mnuFileStopInterface},
        {"mnuFileExit", w.mnuFileExit}, {"mnuOptionsAutomaticStart", w.mnuOptionsAutomaticStart},
        {"mnuOptionsEditShowWarningBox", w.mnuOptionsEditShowWarningBox},
        {"mnuOptionsWholeMllpMessages", w.mnuOptionsWholeMllpMessages},
        {"mnuOptionsAnswer", w.mnuOptionsAnswer->menuAction()},
        {"mnuOptionsAnswerRules", w.mnuOptionsAnswerRules},
        {"mnuOptionsConnections", w.mnuOptionsConnections},
        {"mnuOptionsCharacterSet", w.mnuOptionsCharacterSet},
        {"mnuOptionsEditRemoteSettings", w.mnuOptionsEditRemoteSettings},
        {"mnuOptionsSaveRemoteSettings", w.mnuOptionsSaveRemoteSettings},
        {"mnuOptionsSetup", w.mnuOptionsSetup}, {"mnuHelpAbout", w.mnuHelpAbout},
    };
    int total = 0;
    for (QAction *menu : w.menuBar()->actions())
        total += int(menu->menu()->actions().size());
    QCOMPARE(total, int(items.size()));
    for (const auto &[name, menu] : {std::pair{"mnuFile", w.mnuFile}, std::pair{"mnuOptions", w.mnuOptions},
                                     std::pair{"mnuHelp", w.mnuHelp}}) {
        QCOMPARE(w.findChildren<QWidget *>(QLatin1String(name)).size(), 1);
        QCOMPARE(w.findChild<QWidget *>(QLatin1String(name)), menu);
    }
    for (const auto &[name, action] : items) {
        QCOMPARE(w.findChildren<QAction *>(QLatin1String(name)).size(), 1);
        QCOMPARE(w.findChild<QAction *>(QLatin1String(name)), action);
        QVERIFY(!action->text().isEmpty());
    }
}

void AccessTest::theAccessibilityTreeCarriesTheNames()
{
    // What a screen reader walks: from the window down, not widget by widget.
    QStringList mainNames;
    collectNames(QAccessible::queryAccessibleInterface(m_window), &mainNames);
    for (const char *name : {"Remote Port Number", "Local IP Address", "Start Interface",
                             "Received messages", "Status", "ACK String Sent",
                             "Date and Time of Last ACK", "Interface Transaction Counter"})
        QVERIFY2(mainNames.contains(QLatin1String(name)), name);
    QStringList setupNames;
    collectNames(QAccessible::queryAccessibleInterface(m_setup), &setupNames);
    for (const char *name : {"Interface Name", "Show Transaction Count", "Logfile Location",
                             "MSH ACK Information Before Date", "MSA Segment Definition", "Edit"})
        QVERIFY2(setupNames.contains(QLatin1String(name)), name);
}

QTEST_MAIN(AccessTest)
#include "tst_access.moc"
