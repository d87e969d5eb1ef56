#include "windowing.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QInputDialog>
#include <QMessageBox>
#include <QScreen>
#include <QSpacerItem>

namespace {
// A box as narrow as its text ("10048") leaves the window manager room for
// only a letter or two of its title: it is kept as wide as the title as a
// title bar draws it (bold), with its icon and buttons beside it.
void keepTitleWhole(QMessageBox &box)
{
    QFont font = QApplication::font();
    font.setBold(true);
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(box.windowTitle()) + 6 * metrics.height();
    // QMessageBox sizes itself from its layout, not from a minimum width.
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
}
} // namespace

void placeOver(QWidget &window, const QWidget *over)
{
    if (!over)
        return;
    const QWidget *main = over->window();
    const QScreen *screen = main->screen();
    if (!screen)
        return;
    // Laid out as showing would lay it out, so that its size is known.
    if (!window.testAttribute(Qt::WA_Resized))
        window.adjustSize();
    const QRect inner = main->geometry();
    const QRect outer = main->frameGeometry();
    const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                         outer.bottom() - inner.bottom());
    QRect placed = QRect(QPoint(), window.size()).marginsAdded(frame);
    placed.moveCenter(outer.center());
    const QRect area = screen->availableGeometry();
    placed.moveRight(qMin(placed.right(), area.right()));
    placed.moveBottom(qMin(placed.bottom(), area.bottom()));
    placed.moveLeft(qMax(placed.left(), area.left()));
    placed.moveTop(qMax(placed.top(), area.top()));
    // A window's position is that of its frame.
    window.move(placed.topLeft());
}

void QtWindowing::notice(QWidget *parent, const QString &text, const QString &title)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    // Texts from the wire or the settings file are never markup.
    box.setTextFormat(Qt::PlainText);
    keepTitleWhole(box);
    box.exec();
}

bool QtWindowing::question(QWidget *parent, const QString &text, const QString &title)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    keepTitleWhole(box);
    return box.exec() == QMessageBox::Yes;
}

QString QtWindowing::chooseOpenFile(QWidget *parent)
{
    return QFileDialog::getOpenFileName(parent);
}

QString QtWindowing::chooseSaveFile(QWidget *parent, const QString &suggestedName)
{
    // As QFileDialog::getSaveFileName() would, placed over the window asking.
    QFileDialog dialog(parent, QStringLiteral("Save As"), suggestedName);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    placeOver(dialog, parent);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles().value(0);
}

bool QtWindowing::askNumber(QWidget *parent, const QString &title, const QString &label, int value,
                            int minimum, int maximum, int *chosen)
{
    bool ok = false;
    const int number = QInputDialog::getInt(parent, title, label, value, minimum, maximum, 1, &ok);
    if (ok)
        *chosen = number;
    return ok;
}

void QtWindowing::endProgram()
{
    m_ended = true;
    // Before the event loop runs (a No at start-up) there is nothing to leave:
    // the caller sees programEnded() and never shows a window.
    QCoreApplication::exit(0);
}
