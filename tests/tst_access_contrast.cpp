// Both windows on a dark desktop palette: the fixed light grey stays, and
// every text on it, in its boxes, buttons and list stays readable, with a
// contrast of at least 4.5 to what it is drawn on (the WCAG formula). The
// colours are checked as the palette gives them and as they are painted.

#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "mainwindow/receivedlistview.h"
#include "mainwindow/receivedmodel.h"
#include "setup/frmsetup.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QStyleOptionGroupBox>
#include <QtTest>

namespace {
constexpr double Readable = 4.5;

// A dark desktop palette of the usual kind: light text on dark grey.
QPalette darkPalette()
{
    QPalette p;
    const QColor window(53, 53, 53), text(230, 230, 230), base(35, 35, 35), dim(127, 127, 127);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Window, window);
        p.setColor(group, QPalette::WindowText, group == QPalette::Disabled ? dim : text);
        p.setColor(group, QPalette::Base, base);
        p.setColor(group, QPalette::AlternateBase, window);
        p.setColor(group, QPalette::Text, group == QPalette::Disabled ? dim : text);
        p.setColor(group, QPalette::Button, window);
        p.setColor(group, QPalette::ButtonText, group == QPalette::Disabled ? dim : text);
        p.setColor(group, QPalette::BrightText, Qt::red);
        p.setColor(group, QPalette::Light, QColor(80, 80, 80));
        p.setColor(group, QPalette::Midlight, QColor(66, 66, 66));
        p.setColor(group, QPalette::Mid, QColor(44, 44, 44));
        p.setColor(group, QPalette::Dark, QColor(25, 25, 25));
        p.setColor(group, QPalette::Shadow, Qt::black);
        p.setColor(group, QPalette::Highlight, QColor(42, 130, 218));
        p.setColor(group, QPalette::HighlightedText, Qt::black);
        p.setColor(group, QPalette::ToolTipBase, window);
        p.setColor(group, QPalette::ToolTipText, text);
        p.setColor(group, QPalette::PlaceholderText, dim);
    }
    return p;
}

double luminance(const QColor &c)
{
    const auto channel = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

QPalette::ColorGroup groupOf(const QWidget *w)
{
    if (!w->isEnabled())
        return QPalette::Disabled;
    return w->isActiveWindow() ? QPalette::Active : QPalette::Inactive;
}

// The colour behind a widget that paints no background of its own: that of
// the nearest ancestor that fills its background, or of the window.
QColor colourBehind(const QWidget *w)
{
    for (const QWidget *p = w->parentWidget(); p; p = p->parentWidget()) {
        if (p->autoFillBackground() || p->isWindow())
            return p->palette().color(groupOf(p), p->backgroundRole());
    }
    return {};
}

QString describe(const QColor &c)
{
    return QStringLiteral("rgb(%1,%2,%3)").arg(c.red()).arg(c.green()).arg(c.blue());
}

// One text to check: the colours it is drawn in, and where.
struct Text
{
    QString what;
    QColor ink;
    QColor ground;
    QWidget *widget = nullptr;
    QRect area; // in the widget's coordinates
    // Buttons and headers are drawn on a gradient around their colour.
    bool groundIsGradient = false;
};

QList<Text> textsOf(QWidget *top)
{
    QList<Text> texts;
    for (QWidget *w : top->findChildren<QWidget *>()) {
        if (!w->isVisibleTo(top))
            continue;
        const QPalette pal = w->palette();
        const QPalette::ColorGroup group = groupOf(w);
        const QString name = w->objectName().isEmpty() ? QLatin1String(w->metaObject()->className())
                                                        : w->objectName();
        QStyle *style = w->style();
        if (auto *label = qobject_cast<QLabel *>(w)) {
            if (label->text().isEmpty())
                continue;
            texts << Text{name, pal.color(group, label->foregroundRole()), colourBehind(label), label,
                          label->contentsRect()};
        } else if (auto *check = qobject_cast<QCheckBox *>(w)) {
            QStyleOptionButton option;
            option.initFrom(check);
            option.text = check->text();
            texts << Text{name, pal.color(group, QPalette::WindowText), colourBehind(check), check,
                          style->subElementRect(QStyle::SE_CheckBoxContents, &option, check)};
        } else if (auto *button = qobject_cast<QPushButton *>(w)) {
            QStyleOptionButton option;
            option.initFrom(button);
            const QRect inside = style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            texts << Text{name, pal.color(group, QPalette::ButtonText), pal.color(group, QPalette::Button),
                          button, inside.adjusted(2, 2, -2, -2), true};
        } else if (auto *edit = qobject_cast<QLineEdit *>(w)) {
            QStyleOptionFrame option;
            option.initFrom(edit);
            option.lineWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
            texts << Text{name, pal.color(group, QPalette::Text), pal.color(group, QPalette::Base), edit,
                          style->subElementRect(QStyle::SE_LineEditContents, &option, edit)};
        } else if (auto *box = qobject_cast<QGroupBox *>(w)) {
            if (box->title().isEmpty())
                continue;
            QStyleOptionGroupBox option;
            option.initFrom(box);
            option.text = box->title();
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            option.textAlignment = box->alignment();
            texts << Text{name + QStringLiteral(" title"), pal.color(group, QPalette::WindowText),
                          colourBehind(box), box,
                          style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box)};
        } else if (auto *header = qobject_cast<QHeaderView *>(w)) {
            texts << Text{QStringLiteral("list header"), pal.color(group, QPalette::ButtonText),
                          pal.color(group, QPalette::Button), header, header->rect().adjusted(2, 2, -2, -2),
                          true};
        } else if (auto *list = qobject_cast<ReceivedListView *>(w)) {
            QWidget *rows = list->viewport();
            const QPalette::ColorGroup g = groupOf(rows);
            texts << Text{QStringLiteral("list rows"), rows->palette().color(g, QPalette::Text),
                          rows->palette().color(g, QPalette::Base), rows,
                          QRect(0, 0, rows->width(), list->rowHeight())};
            // Control bytes are marked in Base on a Mid box.
            texts << Text{QStringLiteral("control byte marks"), rows->palette().color(g, QPalette::Base),
                          rows->palette().color(g, QPalette::Mid), nullptr, QRect()};
        }
    }
    return texts;
}

// The colour most pixels of the area have, and the pixel that stands out
// most against it: the background and the text as painted.
struct Painted
{
    QColor ground;
    QColor ink;
};

Painted painted(const QImage &image, const QRect &area)
{
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[image.pixel(x, y) | 0xff000000u];
    QRgb most = 0;
    int mostCount = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > mostCount) {
            most = it.key();
            mostCount = it.value();
        }
    }
    Painted result{QColor::fromRgb(most), QColor::fromRgb(most)};
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (contrast(QColor::fromRgb(it.key()), result.ground) > contrast(result.ink, result.ground))
            result.ink = QColor::fromRgb(it.key());
    }
    return result;
}

bool near(const QColor &a, const QColor &b, int tolerance)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}
} // namespace

class ContrastTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void everyTextIsReadable_data();
    void everyTextIsReadable();

private:
    void verifyReadable(QWidget *top, int fewestTexts);
    QPalette m_desktopPalette;
};

void ContrastTest::initTestCase()
{
    m_desktopPalette = QApplication::palette();
}

void ContrastTest::cleanup()
{
    QApplication::setPalette(m_desktopPalette);
}

void ContrastTest::verifyReadable(QWidget *top, int fewestTexts)
{
    QCoreApplication::processEvents();
    const QImage image = top->grab().toImage();
    const qreal scale = image.devicePixelRatio();
    const QList<Text> texts = textsOf(top);
    QVERIFY2(texts.size() >= fewestTexts, qPrintable(QString::number(texts.size())));
    for (const Text &t : texts) {
        const QString where = t.what + QStringLiteral(" in ") + top->objectName();
        QVERIFY2(contrast(t.ink, t.ground) >= Readable,
                 qPrintable(QStringLiteral("%1: %2 on %3 has a contrast of %4")
                                .arg(where, describe(t.ink), describe(t.ground))
                                .arg(contrast(t.ink, t.ground), 0, 'f', 2)));
        if (!t.widget)
            continue;
        // As painted: the area's background is the expected one (or, on a
        // gradient, still far enough from the ink), and its text is the ink.
        const QRect inTop(t.widget->mapTo(top, t.area.topLeft()), t.area.size());
        const QRect pixels(qFloor(inTop.x() * scale), qFloor(inTop.y() * scale),
                           qFloor(inTop.width() * scale), qFloor(inTop.height() * scale));
        const Painted seen = painted(image, pixels.intersected(image.rect()));
        const QString report = QStringLiteral("%1: expected %2 on %3, painted %4 on %5")
                                   .arg(where, describe(t.ink), describe(t.ground), describe(seen.ink),
                                        describe(seen.ground));
        if (!t.groundIsGradient)
            QVERIFY2(near(seen.ground, t.ground, 8), qPrintable(report));
        QVERIFY2(near(seen.ink, t.ink, 40), qPrintable(report));
        QVERIFY2(contrast(seen.ink, seen.ground) >= Readable, qPrintable(report));
    }
}

void ContrastTest::everyTextIsReadable_data()
{
    QTest::addColumn<bool>("darkBeforeTheWindows");
    QTest::newRow("dark palette from the start") << true;
    QTest::newRow("dark palette while the windows are open") << false;
}

void ContrastTest::everyTextIsReadable()
{
    QFETCH(bool, darkBeforeTheWindows);
    if (darkBeforeTheWindows)
        QApplication::setPalette(darkPalette());

    TestProgram program;
    frmInterface &w = program.openListening();
    QVERIFY(showExposed(w));
    frmSetup &setup = w.setup();

    // A message in the list, so that a row and its marks are drawn.
    LoopbackClient sender;
    QVERIFY(sender.connectTo(program.port()));
    QVERIFY(sender.exchange(framed("MSH|^~\\&|DARK|PALETTE|||202601011200||ADT^A01|1|P|2.3\r")));
    QCOMPARE(w.receivedModel().rowCount(), 1);
    // The start time is shown once a sender is connected; the other boxes
    // that start empty get a text to look at.
    for (QLineEdit *box : w.findChildren<QLineEdit *>())
        if (box->text().isEmpty())
            box->setText(QStringLiteral("Sample 0123"));

    if (!darkBeforeTheWindows)
        QApplication::setPalette(darkPalette());
    QCoreApplication::processEvents();
    // The dark palette is in force where the program does not fix its own.
    QCOMPARE(w.menuBar()->palette().color(QPalette::Window), QColor(53, 53, 53));
    QCOMPARE(w.centralWidget()->palette().color(QPalette::Window), QColor(192, 192, 192));

    // As it starts (some controls disabled), then with the others enabled.
    verifyReadable(&w, 30);
    if (QTest::currentTestFailed())
        return;
    w.Stop();
    w.cmdEdit_Click();
    QVERIFY(w.txtRemotePort->isEnabled());
    verifyReadable(&w, 30);
    if (QTest::currentTestFailed())
        return;

    QVERIFY(showExposed(setup));
    verifyReadable(&setup, 18);
    if (QTest::currentTestFailed())
        return;
    setup.cmdEdit_Click();
    QVERIFY(setup.txtMSASegment->isEnabled());
    verifyReadable(&setup, 18);
}

QTEST_MAIN(ContrastTest)
#include "tst_access_contrast.moc"
