#include "answerrulesdialog.h"

#include "protocol/answerrules.h"
#include "windowing/classiclook.h"
#include "windowing/controls.h"

#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QDir>
#include <QFontDatabase>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>

namespace {
using Controls::named;

QLabel *wrappingLabel(QWidget *parent, const char *codeName, const QString &text)
{
    QLabel *label = Controls::label(parent, codeName, text);
    label->setWordWrap(true);
    return label;
}

QString countText(std::size_t rules)
{
    if (rules == 0)
        return QStringLiteral("No rule read: every message gets the configured answer.");
    return rules == 1 ? QStringLiteral("1 rule read.") : QStringLiteral("%1 rules read.").arg(rules);
}
} // namespace

AnswerRulesDialog::AnswerRulesDialog(const RulesFileReading &file, const QString &path, SaveRules save,
                                     QWidget *parent)
    : QDialog(parent), m_save(std::move(save)), m_path(path)
{
    setObjectName(QStringLiteral("frmAnswerRules"));
    setWindowTitle(QStringLiteral("Answer Rules"));
    setPalette(ClassicLook::palette());
    setFont(ClassicLook::formFont());
    setAutoFillBackground(true);

    lblFile = wrappingLabel(this, "lblFile",
                            QStringLiteral("Each line: CONDITION [and CONDITION]... -> ACTION[, ACTION]...  "
                                           "The first rule that holds decides. File: %1")
                                .arg(QDir::toNativeSeparators(path)));
    // A file that could not be read is not shown as empty: writing the empty
    // editor over it takes the operator's Save.
    lblFileProblem = wrappingLabel(this, "lblFileProblem",
                                   file.problem.isEmpty()
                                       ? QString()
                                       : file.problem + QStringLiteral(" Nothing is written over it until you "
                                                                       "press Save."));
    lblFileProblem->setVisible(!file.problem.isEmpty());

    txtRules = named(new QPlainTextEdit(this), "txtRules", QStringLiteral("Answer rules"));
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSizeF(font().pointSizeF());
    txtRules->setFont(fixed);
    txtRules->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtRules->setTabChangesFocus(true);
    txtRules->setPlainText(file.text);
    txtRules->setMinimumSize(txtRules->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 72,
                             txtRules->fontMetrics().lineSpacing() * 16);

    lblCount = Controls::label(this, "lblCount", QString());
    lstProblems = named(new QListWidget(this), "lstProblems", QStringLiteral("Lines that cannot be read"));
    lstProblems->setMaximumHeight(lstProblems->fontMetrics().lineSpacing() * 5 + 2 * lstProblems->frameWidth());
    lblNextStart = Controls::label(this, "lblNextStart", QStringLiteral("The rules take effect at the next Start."));
    lblSaveError = wrappingLabel(this, "lblSaveError", QString());
    lblSaveError->setVisible(false);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Close, this);
    cmdSave = named(buttons->button(QDialogButtonBox::Save), "cmdSave", QStringLiteral("Save"));
    cmdClose = named(buttons->button(QDialogButtonBox::Close), "cmdClose", QStringLiteral("Close"));
    cmdSave->setToolTip(QStringLiteral("Write the rules to %1").arg(QLatin1String(RulesFileName)));
    connect(cmdSave, &QPushButton::clicked, this, &AnswerRulesDialog::save);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblFile);
    layout->addWidget(lblFileProblem);
    layout->addWidget(txtRules, 1);
    layout->addWidget(lblCount);
    layout->addWidget(lstProblems);
    layout->addWidget(lblNextStart);
    layout->addWidget(lblSaveError);
    layout->addWidget(buttons);

    m_check.setSingleShot(true);
    m_check.setInterval(CheckDelayMs);
    connect(&m_check, &QTimer::timeout, this, &AnswerRulesDialog::checkNow);
    connect(txtRules, &QPlainTextEdit::textChanged, this, [this] { m_check.start(); });
    connect(txtRules->document(), &QTextDocument::modificationChanged, this, &AnswerRulesDialog::showEdited);
    checkNow();
    showEdited();
}

QString AnswerRulesDialog::rulesText() const
{
    // The raw text keeps a no-break space as typed; its blocks part at
    // paragraph separators.
    QString text = txtRules->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    return text;
}

void AnswerRulesDialog::checkNow()
{
    m_check.stop();
    const AnswerRules::Reading reading = AnswerRules::read(rulesText());
    const QString count = countText(reading.rules.size());
    lblCount->setText(count);
    lblCount->setAccessibleName(count);
    lstProblems->clear();
    lstProblems->addItems(reading.problems);
    lstProblems->setVisible(!reading.problems.isEmpty());
}

void AnswerRulesDialog::showEdited()
{
    // Nothing to write until something was typed: an unchanged editor
    // leaves the file as it is.
    cmdSave->setEnabled(txtRules->document()->isModified());
}

void AnswerRulesDialog::save()
{
    checkNow();
    QString error;
    if (!m_save(rulesText(), &error)) {
        const QString text = QStringLiteral("%1 could not be written: %2")
                                 .arg(QDir::toNativeSeparators(m_path), error);
        lblSaveError->setText(text);
        lblSaveError->setAccessibleName(text);
        lblSaveError->setVisible(true);
        return;
    }
    lblSaveError->clear();
    lblSaveError->setVisible(false);
    // What stood there unreadable is written over now.
    lblFileProblem->setVisible(false);
    txtRules->document()->setModified(false);
}
