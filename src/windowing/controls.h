#pragma once

#include <QDialog>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <limits>

// The controls both windows are built from. Every control carries its code
// name, so that UI automation finds it by name, and an accessible name, so
// that a screen reader can say what it is.
namespace Controls {

template <typename Control>
Control *named(Control *control, const char *codeName, const QString &accessibleName)
{
    control->setObjectName(QLatin1String(codeName));
    control->setAccessibleName(accessibleName);
    return control;
}

inline QLineEdit *textBox(QWidget *parent, const char *codeName, const QString &text,
                          const QString &tooltip, const QString &accessibleName, bool enabled = true)
{
    auto *box = named(new QLineEdit(text, parent), codeName, accessibleName);
    // A value from the settings file is held and written back whole, however long.
    box->setMaxLength(std::numeric_limits<int>::max());
    box->setToolTip(tooltip);
    box->setEnabled(enabled);
    return box;
}

inline QLabel *label(QWidget *parent, const char *codeName, const QString &caption)
{
    auto *lbl = named(new QLabel(caption, parent), codeName, caption);
    lbl->setTextFormat(Qt::PlainText);
    return lbl;
}

inline QPushButton *button(QWidget *parent, const char *codeName, const QString &caption,
                           const QString &tooltip, bool enabled = true)
{
    auto *btn = named(new QPushButton(caption, parent), codeName, caption);
    btn->setToolTip(tooltip);
    btn->setEnabled(enabled);
    btn->setAutoDefault(false);
    return btn;
}

inline QGroupBox *frame(QWidget *parent, const char *codeName, const QString &title)
{
    return named(new QGroupBox(title, parent), codeName, title.simplified());
}

// A dialog's OK and Cancel in the toolkit's order, OK accepting the dialog
// and Cancel (or Escape) rejecting it.
struct OkCancel
{
    QDialogButtonBox *box;
    QPushButton *ok;
    QPushButton *cancel;
};

inline OkCancel okCancel(QDialog *dialog)
{
    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    const OkCancel made{box, named(box->button(QDialogButtonBox::Ok), "cmdOK", QStringLiteral("OK")),
                        named(box->button(QDialogButtonBox::Cancel), "cmdCancel", QStringLiteral("Cancel"))};
    QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return made;
}

} // namespace Controls
