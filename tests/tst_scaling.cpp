// Both windows as designed, under display scaling. CTest runs this program at
// 100 % and, with QT_SCALE_FACTOR set, again at 125 %, 150 % and 200 %: at
// each every control stands where designed (the one table of the design), the
// windows keep their proportions, no control leaves its container or runs
// into a neighbour, and no caption is cut off.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/receivedlistview.h"
#include "setup/frmsetup.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QStyleOptionGroupBox>
#include <QtTest>

namespace {
// A control by its code name: the member it is, its container (none: the
// window's client area) and its designed place there in twips.
struct Designed
{
    const char *window; // "main" or "setup"
    const char *name;
    QWidget *(*member)(frmInterface &);
    const char *container;
    int left, top, width, height;
    // The receive frame and its list take their size from the window.
    bool sizeFollowsWindow = false;
};

// The code name and the member are written once, so they cannot disagree.
#define MAIN(name, ...) {"main", #name, [](frmInterface &w) -> QWidget * { return w.name; }, __VA_ARGS__}
#define SETUP(name, ...) {"setup", #name, [](frmInterface &w) -> QWidget * { return w.setup().name; }, __VA_ARGS__}

const Designed Controls[] = {
    MAIN(fraStatus, "", 360, 360, 8655, 855),
    MAIN(txtInterfaceStatus, "fraStatus", 120, 360, 3135, 375),
    MAIN(txtStartDateAndTime, "fraStatus", 3360, 360, 1935, 375),
    MAIN(txtItemCount, "fraStatus", 5400, 360, 855, 375),
    MAIN(txtDateTime, "fraStatus", 6360, 360, 2175, 375),
    MAIN(lblInterfaceStatus, "fraStatus", 1200, 120, 1935, 255),
    MAIN(lblStartDateAndTime, "fraStatus", 3480, 120, 1815, 255),
    MAIN(lblItemCount, "fraStatus", 5520, 120, 735, 255),
    MAIN(lblDateTime, "fraStatus", 6480, 120, 2055, 255),
    MAIN(fraSend, "", 360, 1200, 8655, 735),
    MAIN(txtSendData, "fraSend", 120, 240, 8415, 375),
    MAIN(cmdStart, "", 360, 2040, 1455, 495),
    MAIN(cmdStop, "", 2160, 2040, 1455, 495),
    MAIN(cmdExit, "", 3960, 2040, 1455, 495),
    MAIN(cmdEdit, "", 5760, 2040, 1455, 495),
    MAIN(cmdSave, "", 7560, 2040, 1455, 495),
    MAIN(fraRemote, "", 360, 2640, 8655, 855),
    MAIN(txtRemoteIPAddress, "fraRemote", 240, 360, 3495, 375),
    MAIN(txtRemotePort, "fraRemote", 4920, 360, 1695, 375),
    MAIN(lblRemoteIPAddress, "fraRemote", 1200, 120, 2295, 255),
    MAIN(lblRemotePort, "fraRemote", 5520, 120, 975, 255),
    MAIN(fraLocal, "", 360, 3480, 8655, 855),
    MAIN(txtLocalIPAddress, "fraLocal", 240, 360, 3495, 375),
    MAIN(txtLocalPort, "fraLocal", 4920, 360, 1935, 375),
    MAIN(lblLocalIpAddress, "fraLocal", 1080, 120, 2295, 255),
    MAIN(lblLocalPort, "fraLocal", 5520, 120, 1575, 255),
    MAIN(fraReceive, "", 360, 4320, 8655, 2895, true),
    MAIN(lvwReceiveData, "fraReceive", 120, 240, 8415, 2535, true),
    MAIN(lblAutomaticStart, "", 1680, 0, 3255, 255),
    MAIN(lblConnections, "", 5040, 0, 3975, 255),
    SETUP(fraInterfaceNameInfo, "", 360, 120, 5415, 1335),
    SETUP(lblInterfaceName, "fraInterfaceNameInfo", 2040, 240, 1455, 255),
    SETUP(txtInterfaceName, "fraInterfaceNameInfo", 360, 480, 4815, 375),
    SETUP(chkShowCount, "fraInterfaceNameInfo", 1440, 960, 3255, 195),
    SETUP(fraLogfileInformation, "", 360, 1560, 5415, 1095),
    SETUP(lblLogfileInfo, "fraLogfileInformation", 1920, 240, 2535, 255),
    SETUP(txtLogfileLocation, "fraLogfileInformation", 480, 480, 4815, 375),
    SETUP(lblAckowledgement, "", 1800, 3480, 2895, 375),
    SETUP(fraAckInformation, "", 360, 3960, 5415, 1815),
    SETUP(lblAckBeforeDate, "fraAckInformation", 1560, 240, 2895, 255),
    SETUP(txtAckBeforeDate, "fraAckInformation", 240, 480, 4935, 375),
    SETUP(lblAckAfterDate, "fraAckInformation", 1560, 960, 2655, 255),
    SETUP(txtAckAfterDate, "fraAckInformation", 240, 1200, 4935, 375),
    SETUP(fraMSAACK, "", 360, 5880, 5415, 855),
    SETUP(txtMSASegment, "fraMSAACK", 240, 240, 4935, 405),
    SETUP(cmdEdit, "", 360, 6960, 1575, 375),
    SETUP(cmdSave, "", 2280, 6960, 1575, 375),
    SETUP(cmdExit, "", 4200, 6960, 1575, 375),
    SETUP(cmdStandardAck, "", 4200, 3855, 1575, 345),
};
#undef MAIN
#undef SETUP

// The designed place at 100 %: 15 twips to a pixel.
QRect atHundredPercent(const Designed &d)
{
    return QRect(qRound(d.left / 15.0), qRound(d.top / 15.0), qRound(d.width / 15.0),
                 qRound(d.height / 15.0));
}

double expectedFactor()
{
    bool ok = false;
    const double factor = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&ok);
    return ok ? factor : 1.0;
}

QString describe(const QWidget *w)
{
    const QRect g = w->geometry();
    return QStringLiteral("%1 at %2,%3 %4x%5 (scale %6)")
        .arg(w->objectName()).arg(g.x()).arg(g.y()).arg(g.width()).arg(g.height())
        .arg(w->devicePixelRatioF());
}

// Everything a caption needs beside its text, from the style.
struct Room
{
    int width = 0;
    int height = 0;
};

Room roomForText(QWidget *w)
{
    QStyle *style = w->style();
    if (auto *label = qobject_cast<QLabel *>(w))
        return {label->contentsRect().width() - 2 * label->margin(),
                label->contentsRect().height() - 2 * label->margin()};
    if (auto *check = qobject_cast<QCheckBox *>(w)) {
        const int indicator = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, check);
        const int spacing = style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, check);
        return {check->width() - indicator - spacing, check->height()};
    }
    if (auto *button = qobject_cast<QPushButton *>(w)) {
        QStyleOptionButton option;
        option.initFrom(button);
        const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
        const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, button);
        return {button->width() - margin - 2 * frame, button->height() - 2 * frame};
    }
    if (auto *edit = qobject_cast<QLineEdit *>(w)) {
        QStyleOptionFrame option;
        option.initFrom(edit);
        option.lineWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
        const QRect contents = style->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                                   .marginsRemoved(edit->textMargins());
        // QLineEdit keeps two pixels free on either side of its text.
        return {contents.width() - 4, contents.height()};
    }
    return {};
}

void verifyTextFits(QWidget *w, const QString &text)
{
    const Room room = roomForText(w);
    const QFontMetrics metrics = w->fontMetrics();
    const int needed = metrics.horizontalAdvance(text);
    QVERIFY2(needed <= room.width,
             qPrintable(QStringLiteral("\"%1\" needs %2 pixels, %3 has %4")
                            .arg(text).arg(needed).arg(describe(w)).arg(room.width)));
    QVERIFY2(metrics.height() <= room.height,
             qPrintable(QStringLiteral("\"%1\" is %2 pixels high, %3 has %4")
                            .arg(text).arg(metrics.height()).arg(describe(w)).arg(room.height)));
}

void verifyTitleFits(QGroupBox *box)
{
    QStyleOptionGroupBox option;
    option.initFrom(box);
    option.text = box->title();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    option.textAlignment = box->alignment();
    const QRect label = box->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                     QStyle::SC_GroupBoxLabel, box);
    const int needed = box->fontMetrics().horizontalAdvance(box->title());
    QVERIFY2(label.width() >= needed && box->rect().contains(label),
             qPrintable(QStringLiteral("title \"%1\" needs %2 pixels at %3,%4 in %5")
                            .arg(box->title()).arg(needed).arg(label.x()).arg(label.y())
                            .arg(describe(box))));
}

// Siblings that stand apart at 100 % must stand apart now.
void verifyNeighbours(frmInterface &window, const QString &which, int *pairs)
{
    QList<const Designed *> rows;
    for (const Designed &d : Controls)
        if (which == QLatin1String(d.window))
            rows << &d;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        for (qsizetype j = i + 1; j < rows.size(); ++j) {
            QWidget *a = rows[i]->member(window);
            QWidget *b = rows[j]->member(window);
            QVERIFY2(a && b, rows[a ? j : i]->name);
            if (a->parentWidget() != b->parentWidget())
                continue;
            // Some labels touch the box below them by a twip or two as designed.
            if (atHundredPercent(*rows[i]).intersects(atHundredPercent(*rows[j])))
                continue;
            ++*pairs;
            QVERIFY2(!a->geometry().intersects(b->geometry()),
                     qPrintable(describe(a) + QStringLiteral(" meets ") + describe(b)));
        }
    }
}
} // namespace

class ScalingTest : public QObject, private ShownWindows
{
    Q_OBJECT

private slots:
    void initTestCase();
    void theScaleIsInEffect();
    void windowsKeepTheirDesignedSizes();
    void everyControlStandsWhereDesigned_data();
    void everyControlStandsWhereDesigned();
    void everyControlStaysInsideItsContainer();
    void neighboursThatDoNotMeetAsDesignedDoNotMeet();
    void everyCaptionFits();
    void textBoxesHoldTheirLongestValues();
    void checkBoxIndicatorIsWhole();
    void paintedAtTheScale();
};

void ScalingTest::initTestCase()
{
    QVERIFY(showWindows(true));
    qInfo("display scale %g", expectedFactor());
}

void ScalingTest::theScaleIsInEffect()
{
    // Without this the other checks would prove nothing about the factor.
    const double factor = expectedFactor();
    QCOMPARE(m_window->devicePixelRatioF(), factor);
    QCOMPARE(m_setup->devicePixelRatioF(), factor);
    QCOMPARE(m_window->txtRemotePort->devicePixelRatioF(), factor);
}

void ScalingTest::windowsKeepTheirDesignedSizes()
{
    // 9420 x 7605 twips of client area, 6105 x 7620 twips of dialog: the same
    // logical pixels at every scale, so the same proportions on the screen.
    QCOMPARE(m_window->centralWidget()->size(), QSize(628, 507));
    QCOMPARE(m_setup->size(), QSize(407, 508));
}

void ScalingTest::everyControlStandsWhereDesigned_data()
{
    QTest::addColumn<int>("row");
    for (int row = 0; row < int(std::size(Controls)); ++row)
        QTest::addRow("%s %s", Controls[row].window, Controls[row].name) << row;
}

void ScalingTest::everyControlStandsWhereDesigned()
{
    QFETCH(int, row);
    const Designed &d = Controls[row];
    QWidget *top = d.window == QLatin1String("main") ? static_cast<QWidget *>(m_window) : m_setup;
    QWidget *control = d.member(*m_window);
    QVERIFY(control);
    // One control to a name within its window, and the right one.
    // The setup dialog is a window of the main window: its controls are not the main window's.
    QList<QWidget *> found = top->findChildren<QWidget *>(QLatin1String(d.name));
    found.removeIf([&](QWidget *w) { return w->window() != top; });
    QCOMPARE(found.size(), 1);
    QCOMPARE(found.first(), control);
    QWidget *container = *d.container ? top->findChild<QWidget *>(QLatin1String(d.container))
                                      : top == m_window ? m_window->centralWidget() : top;
    QCOMPARE(control->parentWidget(), container);
    QCOMPARE(control->pos(), atHundredPercent(d).topLeft());
    if (!d.sizeFollowsWindow)
        QCOMPARE(control->size(), atHundredPercent(d).size());
}

void ScalingTest::everyControlStaysInsideItsContainer()
{
    for (QWidget *top : {static_cast<QWidget *>(m_window), static_cast<QWidget *>(m_setup)}) {
        int checked = 0;
        for (QWidget *w : top->findChildren<QWidget *>()) {
            // The main window's own parts (menu bar, client area) are its frame.
            if (!w->isVisibleTo(top) || w->window() != top || w->isWindow() || w->parentWidget() == m_window)
                continue;
            QVERIFY2(w->parentWidget()->rect().contains(w->geometry()),
                     qPrintable(describe(w) + QStringLiteral(" in ") + describe(w->parentWidget())));
            ++checked;
        }
        QVERIFY(checked >= 18);
    }
}

void ScalingTest::neighboursThatDoNotMeetAsDesignedDoNotMeet()
{
    int pairs = 0;
    verifyNeighbours(*m_window, QStringLiteral("main"), &pairs);
    QVERIFY(pairs > 50);
    pairs = 0;
    verifyNeighbours(*m_window, QStringLiteral("setup"), &pairs);
    QVERIFY(pairs > 20);
}

void ScalingTest::everyCaptionFits()
{
    int captions = 0;
    for (QWidget *top : {static_cast<QWidget *>(m_window), static_cast<QWidget *>(m_setup)}) {
        for (QWidget *w : top->findChildren<QWidget *>()) {
            if (!w->isVisibleTo(top) || w->window() != top)
                continue;
            if (auto *label = qobject_cast<QLabel *>(w); label && !label->text().isEmpty())
                verifyTextFits(label, label->text());
            else if (auto *button = qobject_cast<QAbstractButton *>(w);
                     button && (qobject_cast<QPushButton *>(w) || qobject_cast<QCheckBox *>(w)))
                verifyTextFits(button, button->text());
            else if (auto *box = qobject_cast<QGroupBox *>(w); box && !box->title().isEmpty())
                verifyTitleFits(box);
            else
                continue;
            if (QTest::currentTestFailed())
                return;
            ++captions;
        }
    }
    QVERIFY(captions >= 30);
    // The automatic start label says both of its texts in turn.
    verifyTextFits(m_window->lblAutomaticStart, QStringLiteral("Automatic Start is OFF"));
    verifyTextFits(m_window->lblAutomaticStart, QStringLiteral("Automatic Start is ON"));
    // The senders' line holds its count whole; only a notice after it may be cut.
    verifyTextFits(m_window->lblConnections, QStringLiteral("1000 of 1000 senders connected"));
}

void ScalingTest::textBoxesHoldTheirLongestValues()
{
    frmInterface &w = *m_window;
    const QString stamp = QStringLiteral("202612312359");
    verifyTextFits(w.txtInterfaceStatus, QStringLiteral("Connection Established"));
    verifyTextFits(w.txtStartDateAndTime, stamp);
    verifyTextFits(w.txtDateTime, stamp);
    verifyTextFits(w.txtItemCount, QStringLiteral("99999"));
    verifyTextFits(w.txtRemoteIPAddress, QStringLiteral("255.255.255.255"));
    verifyTextFits(w.txtLocalIPAddress, QStringLiteral("255.255.255.255"));
    verifyTextFits(w.txtRemotePort, QStringLiteral("65535"));
    verifyTextFits(w.txtLocalPort, QStringLiteral("65535"));
    verifyTextFits(m_setup->txtInterfaceName, QString(frmSetup::InterfaceNameTypingLimit, QLatin1Char('W')));
}

void ScalingTest::checkBoxIndicatorIsWhole()
{
    QCheckBox *check = m_setup->chkShowCount;
    QStyleOptionButton option;
    option.initFrom(check);
    const QRect indicator = check->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, check);
    QVERIFY2(check->rect().contains(indicator),
             qPrintable(QStringLiteral("indicator %1x%2 at %3,%4 in %5")
                            .arg(indicator.width()).arg(indicator.height())
                            .arg(indicator.x()).arg(indicator.y()).arg(describe(check))));
}

void ScalingTest::paintedAtTheScale()
{
    // The grab is in device pixels: the designed size times the factor.
    const double factor = expectedFactor();
    const QImage main = m_window->centralWidget()->grab().toImage();
    QCOMPARE(main.width(), qCeil(628 * factor));
    QCOMPARE(main.height(), qCeil(507 * factor));
    const QImage setup = m_setup->grab().toImage();
    QCOMPARE(setup.width(), qCeil(407 * factor));
    // The designed light grey fills the client area at every scale.
    QCOMPARE(main.pixelColor(main.width() - 2, main.height() - 2), QColor(192, 192, 192));
}

QTEST_MAIN(ScalingTest)
#include "tst_scaling.moc"
