#include "frmsetup.h"

#include "engine/probesettings.h"
#include "windowing/classiclook.h"
#include "windowing/controls.h"
#include "windowing/twips.h"
#include "windowing/windowing.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFocusEvent>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>


namespace {
using Controls::button;
using Controls::frame;
using Controls::label;
using Controls::named;
// Its fields take their enabled state from the state table (View, when built).
using Controls::textBox;

// The dialog's states. Columns: cmdEdit, the six fields in their tab order
// (txtInterfaceName, chkShowCount, txtLogfileLocation, txtAckBeforeDate,
// txtAckAfterDate, txtMSASegment), cmdSave, cmdStandardAck. cmdExit is
// always enabled. Standard ACK works while the three texts can be edited.
constexpr std::string_view StateRows[] = {
    /* View */              "+  ------  -  -",
    /* Editing */           "-  *+++++  +  +",
    // While the file is written (and a failure told), only Save is off.
    /* Saving */            ".  ......  -  .",
    /* Saved */             "-  ------  -  -",
    /* LogfileCorrection */ ".  ..+...  +  .",
};

// The answer senders that match answers to messages accept: the message's
// applications and facilities swapped, its trigger, control ID, processing
// ID, version and character set echoed, and AA with its control ID.
const QString StandardBeforeDate = QStringLiteral("|^~\\&|{MSH-5}|{MSH-6}|{MSH-3}|{MSH-4}|");
const QString StandardAfterDate = QStringLiteral("||ACK^{MSH-9.2}^ACK|{MSH-10}|{MSH-11}|{MSH-12}||||||{MSH-18}");
const QString StandardMSASegment = QStringLiteral("|AA|{MSH-10}");
} // namespace

frmSetup::frmSetup(ProbeSettings &settings, Windowing &windowing, WriteFile writeFile,
                   QWidget *parent)
    : QDialog(parent), m_settings(settings), m_windowing(windowing), m_writeFile(std::move(writeFile))
{
    setObjectName(QStringLiteral("frmSetup"));
    setWindowTitle(QStringLiteral("Setup"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/frmsetup.ico")));
    buildControls();
    m_fields = {{{txtInterfaceName, &SettingsRecord::strInterfaceName, nullptr},
                 {chkShowCount, nullptr, &SettingsRecord::intShowCount},
                 {txtLogfileLocation, &SettingsRecord::strLogfileLocation, nullptr},
                 {txtAckBeforeDate, &SettingsRecord::strAckBeforeDate, nullptr},
                 {txtAckAfterDate, &SettingsRecord::strAckAfterDate, nullptr},
                 {txtMSASegment, &SettingsRecord::strMSASegment, nullptr}}};
    QList<ControlStates::Control> columns{cmdEdit};
    for (const Field &field : m_fields)
        columns << field.control;
    columns << cmdSave << cmdStandardAck;
    m_states = ControlStates(columns);
    enter(State::View);
    // The dialog's loading: its fields come from the record before it can be shown.
    LoadTextBoxes();
}

frmSetup::~frmSetup() = default;

void frmSetup::buildControls()
{
    setFixedSize(Twips::toPixels(6105, this), Twips::toPixels(7620, this));
    // The same fixed light look as the main window's client area.
    setPalette(ClassicLook::palette());
    setFont(ClassicLook::formFont());

    fraMSAACK = frame(this, "fraMSAACK", QStringLiteral("MSA  Segment Definition"));
    Twips::place(fraMSAACK, 360, 5880, 5415, 855);
    txtMSASegment = textBox(fraMSAACK, "txtMSASegment", QStringLiteral("|AA||"),
                            QStringLiteral("MSA ACK Information After Date"),
                            QStringLiteral("MSA Segment Definition"));
    Twips::place(txtMSASegment, 240, 240, 4935, 405);

    cmdExit = button(this, "cmdExit", QStringLiteral("Exit"), QStringLiteral("Exit Setup"));
    Twips::place(cmdExit, 4200, 6960, 1575, 375);
    cmdSave = button(this, "cmdSave", QStringLiteral("Save"), QStringLiteral("Save"));
    Twips::place(cmdSave, 2280, 6960, 1575, 375);
    cmdEdit = button(this, "cmdEdit", QStringLiteral("Edit"), QStringLiteral("Edit Fields"));
    Twips::place(cmdEdit, 360, 6960, 1575, 375);

    fraInterfaceNameInfo = frame(this, "fraInterfaceNameInfo", QStringLiteral("Interface Name"));
    Twips::place(fraInterfaceNameInfo, 360, 120, 5415, 1335);
    chkShowCount = named(new QCheckBox(QStringLiteral("Show Transaction Count"), fraInterfaceNameInfo),
                         "chkShowCount", QStringLiteral("Show Transaction Count"));
    Twips::place(chkShowCount, 1440, 960, 3255, 195);
    txtInterfaceName = textBox(fraInterfaceNameInfo, "txtInterfaceName", QString(),
                               QStringLiteral("Interface Name"), QStringLiteral("Interface Name"));
    Twips::place(txtInterfaceName, 360, 480, 4815, 375);
    lblInterfaceName = label(fraInterfaceNameInfo, "lblInterfaceName", QStringLiteral("InterfaceName"));
    // Read aloud as two words, though the caption runs them together.
    lblInterfaceName->setAccessibleName(QStringLiteral("Interface Name"));
    Twips::place(lblInterfaceName, 2040, 240, 1455, 255);

    fraLogfileInformation = frame(this, "fraLogfileInformation", QStringLiteral("Logfile Information"));
    Twips::place(fraLogfileInformation, 360, 1560, 5415, 1095);
    txtLogfileLocation = textBox(fraLogfileInformation, "txtLogfileLocation", QString(),
                                 QStringLiteral("Logfile Location"), QStringLiteral("Logfile Location"));
    Twips::place(txtLogfileLocation, 480, 480, 4815, 375);
    lblLogfileInfo = label(fraLogfileInformation, "lblLogfileInfo", QStringLiteral("Logfile Location"));
    Twips::place(lblLogfileInfo, 1920, 240, 2535, 255);

    fraAckInformation = frame(this, "fraAckInformation", QStringLiteral("MSH Segment Definition"));
    Twips::place(fraAckInformation, 360, 3960, 5415, 1815);
    txtAckAfterDate = textBox(fraAckInformation, "txtAckAfterDate", QStringLiteral("||ACK"),
                              QStringLiteral("MSH ACK Information After Date"),
                              QStringLiteral("MSH ACK Information After Date"));
    Twips::place(txtAckAfterDate, 240, 1200, 4935, 375);
    txtAckBeforeDate = textBox(fraAckInformation, "txtAckBeforeDate", QStringLiteral("^~\\&||"),
                               QStringLiteral("MSH ACK Information Before Date"),
                               QStringLiteral("MSH ACK Information Before Date"));
    Twips::place(txtAckBeforeDate, 240, 480, 4935, 375);
    lblAckAfterDate = label(fraAckInformation, "lblAckAfterDate",
                            QStringLiteral("ACK Information After Date"));
    Twips::place(lblAckAfterDate, 1560, 960, 2655, 255);
    lblAckBeforeDate = label(fraAckInformation, "lblAckBeforeDate",
                             QStringLiteral("ACK Information Before Date"));
    Twips::place(lblAckBeforeDate, 1560, 240, 2895, 255);

    lblAckowledgement = label(this, "lblAckowledgement", QStringLiteral("Acknowledgement Setup"));
    QFont heading = ClassicLook::formFont();
    heading.setBold(true);
    heading.setPointSizeF(9.75);
    lblAckowledgement->setFont(heading);
    Twips::place(lblAckowledgement, 1800, 3480, 2895, 375);
    // On the MSH frame's caption line, right above the three texts it fills
    // and in line with Exit: in the room the design leaves, so no designed
    // control moves.
    cmdStandardAck = button(this, "cmdStandardAck", QStringLiteral("Standard &ACK"),
                            QStringLiteral("Fill the Acknowledgement Texts with a Standard ACK"), false);
    cmdStandardAck->setAccessibleName(QStringLiteral("Standard ACK"));
    Twips::place(cmdStandardAck, 4200, 3855, 1575, 345);
    ClassicLook::fitCaptions(this);

    QWidget::setTabOrder(cmdEdit, cmdSave);
    QWidget::setTabOrder(cmdSave, cmdExit);
    QWidget::setTabOrder(cmdExit, txtInterfaceName);
    QWidget::setTabOrder(txtInterfaceName, chkShowCount);
    QWidget::setTabOrder(chkShowCount, txtLogfileLocation);
    QWidget::setTabOrder(txtLogfileLocation, txtAckBeforeDate);
    QWidget::setTabOrder(txtAckBeforeDate, txtAckAfterDate);
    QWidget::setTabOrder(txtAckAfterDate, txtMSASegment);
    QWidget::setTabOrder(txtMSASegment, cmdStandardAck);
    for (QPushButton *button : {cmdEdit, cmdSave, cmdExit, cmdStandardAck})
        button->setAutoDefault(false);

    connect(cmdEdit, &QPushButton::clicked, this, &frmSetup::cmdEdit_Click);
    connect(cmdSave, &QPushButton::clicked, this, &frmSetup::cmdSave_Click);
    connect(cmdExit, &QPushButton::clicked, this, &frmSetup::cmdExit_Click);
    connect(cmdStandardAck, &QPushButton::clicked, this, &frmSetup::cmdStandardAck_Click);
    txtLogfileLocation->installEventFilter(this);
    connect(txtInterfaceName, &QLineEdit::textEdited, this, &frmSetup::limitTypedInterfaceName);
    connect(txtInterfaceName, &QLineEdit::textChanged, this,
            [this](const QString &text) {
                if (text.size() <= InterfaceNameTypingLimit || text.size() <= m_lastInterfaceName.size())
                    m_lastInterfaceName = text;
            });
}

int frmSetup::showCountState() const
{
    return chkShowCount->isChecked() ? 1 : 0;
}

void frmSetup::enter(State state)
{
    static_assert(std::size(StateRows) == std::size_t(State::LogfileCorrection) + 1, "a row for each state");
    static_assert(ControlStates::wellFormed(StateRows, 9),
                  "a known cell for Edit, the six fields, Save and Standard ACK");
    m_states.apply(StateRows[int(state)]);
}

void frmSetup::LoadTextBoxes()
{
    const SettingsRecord &record = m_settings.record();
    m_lastInterfaceName = record.strInterfaceName;
    for (const Field &field : m_fields) {
        if (field.text)
            static_cast<QLineEdit *>(field.control)->setText(record.*field.text);
        else
            chkShowCount->setChecked(record.*field.state == 1);
    }
}

void frmSetup::fieldsInto(SettingsRecord &values) const
{
    for (const Field &field : m_fields) {
        if (field.text)
            values.*field.text = static_cast<const QLineEdit *>(field.control)->text();
        else
            values.*field.state = showCountState();
    }
}

void frmSetup::LoadInfoFromTextBoxes()
{
    SettingsRecord values = m_settings.record();
    fieldsInto(values);
    m_settings.setRecord(values);
}

void frmSetup::limitTypedInterfaceName()
{
    // Typing stops at 18 characters, yet a longer name from the settings file
    // stays whole: only an edit that makes an over-long text longer is undone.
    const QString text = txtInterfaceName->text();
    if (text.size() > InterfaceNameTypingLimit && text.size() > m_lastInterfaceName.size()) {
        const int cursor = txtInterfaceName->cursorPosition() - int(text.size() - m_lastInterfaceName.size());
        txtInterfaceName->setText(m_lastInterfaceName);
        txtInterfaceName->setCursorPosition(qMax(0, cursor));
    }
}

void frmSetup::txtLogfileLocation_GotFocus()
{
    if (m_choosing)
        return;
    m_choosing = true;
    const QString chosen = m_windowing.chooseOpenFile(this);
    m_choosing = false;
    // The field holds the name's bytes, one character each, as the settings
    // file and the log opener do: a chosen name with letters beyond ASCII is
    // kept as the file system spells it, so the log lands in that very file.
    if (!chosen.isEmpty())
        txtLogfileLocation->setText(QString::fromLatin1(QFile::encodeName(chosen)));
}

bool frmSetup::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == txtLogfileLocation && event->type() == QEvent::FocusIn) {
        // Only a move from another control opens the chooser; the dialog
        // becoming active again when the chooser closes does not.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason == Qt::MouseFocusReason || reason == Qt::TabFocusReason
            || reason == Qt::BacktabFocusReason)
            txtLogfileLocation_GotFocus();
    }
    return QDialog::eventFilter(watched, event);
}

void frmSetup::cmdEdit_Click()
{
    enter(State::Editing);
}

void frmSetup::cmdSave_Click()
{
    enter(State::Saving);
    SettingsRecord values = m_settings.record();
    fieldsInto(values);
    m_writeFile(values);
    enter(State::Saved);
    LoadInfoFromTextBoxes();
    emit saved();
}

void frmSetup::cmdStandardAck_Click()
{
    txtAckBeforeDate->setText(StandardBeforeDate);
    txtAckAfterDate->setText(StandardAfterDate);
    txtMSASegment->setText(StandardMSASegment);
}

void frmSetup::cmdExit_Click()
{
    close();
}

void frmSetup::reject()
{
    close();
}

void frmSetup::closeEvent(QCloseEvent *event)
{
    // However the dialog is closed, its owner hears of it: the dialog goes
    // with its fields, unsaved edits discarded.
    event->accept();
    emit closed();
}
