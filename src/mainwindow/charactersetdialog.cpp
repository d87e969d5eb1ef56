#include "charactersetdialog.h"

#include "protocol/charsets.h"
#include "windowing/classiclook.h"
#include "windowing/controls.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

CharacterSetDialog::CharacterSetDialog(const Options &options, QWidget *parent) : QDialog(parent)
{
    using Controls::named;
    setObjectName(QStringLiteral("frmCharacterSet"));
    setWindowTitle(QStringLiteral("Character Set"));
    setPalette(ClassicLook::palette());
    setFont(ClassicLook::formFont());
    setAutoFillBackground(true);

    cboCharacterSet = named(new QComboBox(this), "cboCharacterSet", QStringLiteral("Character set"));
    cboCharacterSet->setEditable(true);
    cboCharacterSet->setInsertPolicy(QComboBox::NoInsert);
    cboCharacterSet->addItems(Charsets::choosable());
    cboCharacterSet->setMaxVisibleItems(20);
    // Typing "8859" offers every ISO-8859 set, wherever the text stands in a name.
    cboCharacterSet->completer()->setFilterMode(Qt::MatchContains);
    cboCharacterSet->completer()->setCaseSensitivity(Qt::CaseInsensitive);
    cboCharacterSet->completer()->setCompletionMode(QCompleter::PopupCompletion);
    chkUseMsh18 = named(new QCheckBox(QStringLiteral("&Use the character set the message names (MSH-18)"), this),
                        "chkUseMsh18", QStringLiteral("Use the character set the message names (MSH-18)"));
    lblCharacterSetNote = Controls::label(
        this, "lblCharacterSetNote",
        QStringLiteral("Automatic reads a message as UTF-8 when it is valid UTF-8, else as ISO-8859-1. "
                       "Only what is shown and copied changes: the log, Save As... and the answers keep "
                       "the bytes as they came."));
    lblCharacterSetNote->setWordWrap(true);

    auto *form = new QFormLayout;
    auto *caption = new QLabel(QStringLiteral("&Character set:"), this);
    caption->setBuddy(cboCharacterSet);
    form->addRow(caption, cboCharacterSet);

    const Controls::OkCancel buttons = Controls::okCancel(this);
    cmdOK = buttons.ok;
    cmdCancel = buttons.cancel;

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(chkUseMsh18);
    layout->addWidget(lblCharacterSetNote);
    layout->addWidget(buttons.box);

    // OK only while the box names a set this system decodes.
    connect(cboCharacterSet, &QComboBox::editTextChanged, this,
            [this] { cmdOK->setEnabled(!chosenName().isEmpty()); });
    const int current = cboCharacterSet->findText(options.characterSet, Qt::MatchFixedString);
    cboCharacterSet->setCurrentIndex(qMax(0, current));
    cboCharacterSet->setEditText(cboCharacterSet->currentText());
    chkUseMsh18->setChecked(options.useMsh18);
    cboCharacterSet->setMinimumWidth(cboCharacterSet->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 28);
}

QString CharacterSetDialog::chosenName() const
{
    const int found = cboCharacterSet->findText(cboCharacterSet->currentText().trimmed(), Qt::MatchFixedString);
    return found < 0 ? QString() : cboCharacterSet->itemText(found);
}

Options CharacterSetDialog::appliedTo(Options chosen) const
{
    if (const QString name = chosenName(); !name.isEmpty())
        chosen.characterSet = name;
    chosen.useMsh18 = chkUseMsh18->isChecked();
    return chosen;
}
