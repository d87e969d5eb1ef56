#include "frminterface.h"

#include "engine/textfind.h"
#include "mainwindow/caption.h"
#include "mainwindow/connectionstatus.h"
#include "mainwindow/findwindow.h"
#include "mainwindow/listtools.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/paintpacer.h"
#include "mainwindow/receivedlistview.h"
#include "mainwindow/resizerule.h"
#include "setup/frmsetup.h"
#include "windowing/classiclook.h"
#include "windowing/controls.h"
#include "windowing/twips.h"
#include "windowing/windowing.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScopedValueRollback>


namespace {
using Controls::button;
using Controls::frame;
using Controls::label;
using Controls::named;

// A text box of the main window has no caption of its own: its tooltip names it.
QLineEdit *textBox(QWidget *parent, const char *codeName, const QString &text,
                   const QString &tooltip, bool enabled)
{
    return Controls::textBox(parent, codeName, text, tooltip, tooltip, enabled);
}

QAction *item(QMenu *menu, const char *codeName, const QString &caption)
{
    QAction *action = menu->addAction(caption);
    action->setObjectName(QLatin1String(codeName));
    return action;
}

// The window's states. Columns: txtRemoteIPAddress, txtRemotePort;
// cmdStart, cmdStop, cmdEdit, cmdSave; mnuFileStartInterface,
// mnuFileStopInterface, mnuOptionsEditRemoteSettings,
// mnuOptionsSaveRemoteSettings, mnuOptionsSetup, mnuOptionsAutomaticStart;
// the whole window.
constexpr std::string_view StateRows[] = {
    /* Stopped */       "..  +-+-  +-+-++  .",
    /* Started */       "..  -+--  -+----  .",
    /* EditingRemote */ "*+  ---+  ---+..  .",
    // While the file is written (and a failure told), only the fields are locked.
    /* SavingRemote */  "--  ....  ......  .",
    /* RemoteSaved */   "--  +.+-  +.+-..  .",
    // Start could not listen: the port is to be edited and saved, and Stop
    // stays offered in the menu.
    /* PortInUse */     ".*  .-.+  ......  .",
    /* SetupOpen */     "..  ....  ......  -",
    /* SetupClosed */   "..  ....  ......  +",
};
} // namespace

frmInterface::frmInterface(Windowing &windowing, const QString &programDirectory,
                           QWidget *parent)
    : QMainWindow(parent),
      m_windowing(windowing),
      m_settings(programDirectory, settingsFrontEnd()),
      m_catchUp(PaintPacer::FrameMilliseconds, [this] { showMessagesAdded(); })
{
    setObjectName(QStringLiteral("frmInterface"));
    setWindowTitle(QStringLiteral("Interface Test"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/frminterface.ico")));
    buildControls();
    buildMenus();
    m_states = ControlStates({txtRemoteIPAddress, txtRemotePort,
                              cmdStart, cmdStop, cmdEdit, cmdSave,
                              mnuFileStartInterface, mnuFileStopInterface,
                              mnuOptionsEditRemoteSettings, mnuOptionsSaveRemoteSettings,
                              mnuOptionsSetup, mnuOptionsAutomaticStart,
                              this});
    // The designed client area, the menu bar not included.
    resize(Twips::toPixels(9420, this), Twips::toPixels(7605, this) + menuBar()->sizeHint().height());
    connectCommands();
    m_messageCommands = std::make_unique<MessageCommands>(*lvwReceiveData, m_engine.messages(), m_windowing);
    m_messageCommands->findWindow().textSetting = [this] { return TextFind::settingOf(options()); };
    new ListTools(*fraReceive, *lvwReceiveData, m_receivedModel, m_settings);
    connect(&m_settings, &ProbeSettings::changed, this, &frmInterface::showTextSetting);
    new PaintPacer(this, PaintPacer::FrameMilliseconds);
}

frmInterface::~frmInterface()
{
    CloseFile();
    // A dialog works on the record, which goes before the child windows do;
    // one already discarded may still wait for its deferred delete.
    qDeleteAll(findChildren<frmSetup *>(Qt::FindDirectChildrenOnly));
}

void frmInterface::buildControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setAutoFillBackground(true);
    // Fixed light grey with its own dark text, whatever the desktop's palette;
    // the designed font, whatever the desktop's font.
    client->setPalette(ClassicLook::palette());
    client->setFont(ClassicLook::formFont());
    setCentralWidget(client);

    // The status frame has no title; its name says what it holds.
    fraStatus = frame(client, "fraStatus", QString());
    fraStatus->setAccessibleName(QStringLiteral("Status"));
    Twips::place(fraStatus, 360, 360, 8655, 855);
    txtInterfaceStatus = textBox(fraStatus, "txtInterfaceStatus", QString(),
                                 QStringLiteral("Interface Status"), true);
    Twips::place(txtInterfaceStatus, 120, 360, 3135, 375);
    txtStartDateAndTime = textBox(fraStatus, "txtStartDateAndTime", QString(),
                                  QStringLiteral("Interface Start Date and Time"), true);
    Twips::place(txtStartDateAndTime, 3360, 360, 1935, 375);
    txtItemCount = textBox(fraStatus, "txtItemCount", QString(),
                           QStringLiteral("Interface Transaction Counter"), true);
    Twips::place(txtItemCount, 5400, 360, 855, 375);
    txtDateTime = textBox(fraStatus, "txtDateTime", QString(),
                          QStringLiteral("Date and Time of Last ACK"), true);
    Twips::place(txtDateTime, 6360, 360, 2175, 375);
    lblInterfaceStatus = label(fraStatus, "lblInterfaceStatus", QStringLiteral("Interface Status"));
    Twips::place(lblInterfaceStatus, 1200, 120, 1935, 255);
    lblStartDateAndTime = label(fraStatus, "lblStartDateAndTime", QStringLiteral("Start Date and Time"));
    Twips::place(lblStartDateAndTime, 3480, 120, 1815, 255);
    lblItemCount = label(fraStatus, "lblItemCount", QStringLiteral("Counter"));
    Twips::place(lblItemCount, 5520, 120, 735, 255);
    lblDateTime = label(fraStatus, "lblDateTime", QStringLiteral("Date and Time of Last ACK"));
    Twips::place(lblDateTime, 6480, 120, 2055, 255);

    cmdSave = button(client, "cmdSave", QStringLiteral("Save"),
                     QStringLiteral("Save Remote Information"), false);
    Twips::place(cmdSave, 7560, 2040, 1455, 495);

    fraLocal = frame(client, "fraLocal", QStringLiteral("Local"));
    Twips::place(fraLocal, 360, 3480, 8655, 855);
    txtLocalPort = textBox(fraLocal, "txtLocalPort", QStringLiteral("Local Port"),
                           QStringLiteral("Local Port Number"), false);
    Twips::place(txtLocalPort, 4920, 360, 1935, 375);
    txtLocalIPAddress = textBox(fraLocal, "txtLocalIPAddress", QStringLiteral("Local IP Address"),
                                QStringLiteral("Local IP Address"), false);
    Twips::place(txtLocalIPAddress, 240, 360, 3495, 375);
    lblLocalPort = label(fraLocal, "lblLocalPort", QStringLiteral("Port"));
    Twips::place(lblLocalPort, 5520, 120, 1575, 255);
    lblLocalIpAddress = label(fraLocal, "lblLocalIpAddress", QStringLiteral("IP Address"));
    Twips::place(lblLocalIpAddress, 1080, 120, 2295, 255);

    fraRemote = frame(client, "fraRemote", QStringLiteral("Remote"));
    Twips::place(fraRemote, 360, 2640, 8655, 855);
    txtRemotePort = textBox(fraRemote, "txtRemotePort", QStringLiteral("Port"),
                            QStringLiteral("Remote Port Number"), false);
    Twips::place(txtRemotePort, 4920, 360, 1695, 375);
    txtRemoteIPAddress = textBox(fraRemote, "txtRemoteIPAddress", QStringLiteral("IP Address"),
                                 QStringLiteral("Remote IP Address"), false);
    Twips::place(txtRemoteIPAddress, 240, 360, 3495, 375);
    lblRemotePort = label(fraRemote, "lblRemotePort", QStringLiteral("Port"));
    Twips::place(lblRemotePort, 5520, 120, 975, 255);
    lblRemoteIPAddress = label(fraRemote, "lblRemoteIPAddress", QStringLiteral("IP Address"));
    Twips::place(lblRemoteIPAddress, 1200, 120, 2295, 255);

    cmdEdit = button(client, "cmdEdit", QStringLiteral("Edit"),
                     QStringLiteral("Edit Remote Information"), true);
    Twips::place(cmdEdit, 5760, 2040, 1455, 495);
    cmdStop = button(client, "cmdStop", QStringLiteral("Stop Interface"),
                     QStringLiteral("Stop Interface"), false);
    Twips::place(cmdStop, 2160, 2040, 1455, 495);
    cmdStart = button(client, "cmdStart", QStringLiteral("Start Interface"),
                      QStringLiteral("Start Interface"), true);
    Twips::place(cmdStart, 360, 2040, 1455, 495);
    cmdExit = button(client, "cmdExit", QStringLiteral("Exit"), QStringLiteral("Exit Program"),
                     true);
    Twips::place(cmdExit, 3960, 2040, 1455, 495);

    fraSend = frame(client, "fraSend", QStringLiteral("ACK String Sent"));
    Twips::place(fraSend, 360, 1200, 8655, 735);
    txtSendData = textBox(fraSend, "txtSendData", QString(), QStringLiteral("ACK String Sent"),
                          true);
    Twips::place(txtSendData, 120, 240, 8415, 375);

    fraReceive = frame(client, "fraReceive", QStringLiteral("Receive"));
    Twips::place(fraReceive, 360, 4320, 8655, 2895);
    lvwReceiveData = new ReceivedListView(fraReceive);
    named(lvwReceiveData, "lvwReceiveData", QStringLiteral("Received messages"));
    lvwReceiveData->setAccessibleDescription(QStringLiteral("Data In: one row for every message received"));
    lvwReceiveData->horizontalHeader()->setAccessibleName(QStringLiteral("Data In"));
    lvwReceiveData->setModel(&m_receivedModel);
    lvwReceiveData->setItemDelegate(new ReceivedRowDelegate(lvwReceiveData));
    lvwReceiveData->setFocusPolicy(Qt::ClickFocus);
    Twips::place(lvwReceiveData, 120, 240, 8415, 2535);
    lvwReceiveData->setDataInWidth(lvwReceiveData->width());

    // Its text says whether automatic start is on, and is its name.
    lblAutomaticStart = label(client, "lblAutomaticStart", QString());
    Twips::place(lblAutomaticStart, 1680, 0, 3255, 255);
    // In the strip's free end, up to the frames' right edge: no designed
    // control moves for it.
    lblConnections = label(client, "lblConnections", QString());
    Twips::place(lblConnections, 5040, 0, 3975, 255);
    m_connectionStatus = std::make_unique<ConnectionStatus>(*lblConnections);

    const QList<QWidget *> tabOrder = {cmdStart, cmdStop, cmdExit, cmdEdit, cmdSave, txtSendData,
                                       txtRemoteIPAddress, txtRemotePort, txtLocalIPAddress,
                                       txtLocalPort, txtInterfaceStatus, txtItemCount,
                                       txtDateTime, txtStartDateAndTime};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);

    ClassicLook::fitCaptions(client);
}

void frmInterface::buildMenus()
{
    menuBar()->setObjectName(QStringLiteral("mnuBar"));
    menuBar()->setAccessibleName(QStringLiteral("Menu"));
    mnuFile = named(menuBar()->addMenu(QStringLiteral("&File")), "mnuFile", QStringLiteral("File"));
    mnuFileStartInterface = item(mnuFile, "mnuFileStartInterface",
                                 QStringLiteral("Start Interface"));
    mnuFileStopInterface = item(mnuFile, "mnuFileStopInterface", QStringLiteral("Stop Interface"));
    mnuFileExit = item(mnuFile, "mnuFileExit", QStringLiteral("E&xit"));

    mnuOptions = named(menuBar()->addMenu(QStringLiteral("&Options")), "mnuOptions",
                       QStringLiteral("Options"));
    mnuOptionsAutomaticStart = item(mnuOptions, "mnuOptionsAutomaticStart",
                                    QStringLiteral("Automatic Start"));
    mnuOptionsAutomaticStart->setCheckable(true);
    mnuOptionsEditShowWarningBox = item(mnuOptions, "mnuOptionsEditShowWarningBox",
                                        QStringLiteral("Show Warning Box Before Exit"));
    mnuOptionsEditShowWarningBox->setCheckable(true);
    mnuOptionsWholeMllpMessages = item(mnuOptions, "mnuOptionsWholeMllpMessages",
                                       QStringLiteral("Whole MLLP Messages"));
    mnuOptionsWholeMllpMessages->setCheckable(true);
    mnuOptionsAnswer = named(mnuOptions->addMenu(QStringLiteral("Answer")), "mnuOptionsAnswer",
                             QStringLiteral("Answer"));
    mnuOptionsAnswer->menuAction()->setObjectName(QStringLiteral("mnuOptionsAnswer"));
    auto *answers = new QActionGroup(mnuOptionsAnswer);
    mnuOptionsAnswerAtOnce = item(mnuOptionsAnswer, "mnuOptionsAnswerAtOnce", QStringLiteral("At Once"));
    mnuOptionsAnswerAfterDelay = item(mnuOptionsAnswer, "mnuOptionsAnswerAfterDelay",
                                      QStringLiteral("After a Delay..."));
    mnuOptionsAnswerNever = item(mnuOptionsAnswer, "mnuOptionsAnswerNever", QStringLiteral("Never"));
    for (QAction *answer : {mnuOptionsAnswerAtOnce, mnuOptionsAnswerAfterDelay, mnuOptionsAnswerNever}) {
        answer->setCheckable(true);
        answers->addAction(answer);
    }
    mnuOptionsAnswerAtOnce->setChecked(true);
    mnuOptionsAnswerRules = item(mnuOptions, "mnuOptionsAnswerRules", QStringLiteral("Answer Rules..."));
    mnuOptionsConnections = item(mnuOptions, "mnuOptionsConnections", QStringLiteral("Connections..."));
    mnuOptionsCharacterSet = item(mnuOptions, "mnuOptionsCharacterSet", QStringLiteral("Character Set..."));
    mnuOptionsEditRemoteSettings = item(mnuOptions, "mnuOptionsEditRemoteSettings",
                                        QStringLiteral("Edit Remote Settings"));
    mnuOptionsSaveRemoteSettings = item(mnuOptions, "mnuOptionsSaveRemoteSettings",
                                        QStringLiteral("Save Remote Settings"));
    mnuOptionsSetup = item(mnuOptions, "mnuOptionsSetup", QStringLiteral("Setup"));

    mnuHelp = named(menuBar()->addMenu(QStringLiteral("&Help")), "mnuHelp", QStringLiteral("Help"));
    mnuHelpAbout = item(mnuHelp, "mnuHelpAbout", QStringLiteral("&About"));
}

void frmInterface::connectCommands()
{
    // Each menu item forwards to its button's command: one implementation each.
    connect(cmdStart, &QPushButton::clicked, this, &frmInterface::Start);
    connect(mnuFileStartInterface, &QAction::triggered, this, [this] { Start(); });
    connect(cmdStop, &QPushButton::clicked, this, &frmInterface::Stop);
    connect(mnuFileStopInterface, &QAction::triggered, this, [this] { Stop(); });
    connect(cmdEdit, &QPushButton::clicked, this, &frmInterface::cmdEdit_Click);
    connect(mnuOptionsEditRemoteSettings, &QAction::triggered, this, [this] { cmdEdit_Click(); });
    connect(cmdSave, &QPushButton::clicked, this, &frmInterface::cmdSave_Click);
    connect(mnuOptionsSaveRemoteSettings, &QAction::triggered, this, [this] { cmdSave_Click(); });
    connect(cmdExit, &QPushButton::clicked, this, &frmInterface::cmdExit_Click);
    connect(mnuFileExit, &QAction::triggered, this, [this] { cmdExit_Click(); });
    // Qt flips a check mark before it reports the click; the command wants
    // to find the mark as it was, and sets it itself.
    connect(mnuOptionsAutomaticStart, &QAction::triggered, this, [this] {
        mnuOptionsAutomaticStart->setChecked(!mnuOptionsAutomaticStart->isChecked());
        mnuOptionsAutomaticStart_Click();
    });
    connect(mnuOptionsEditShowWarningBox, &QAction::triggered, this, [this] {
        mnuOptionsEditShowWarningBox->setChecked(!mnuOptionsEditShowWarningBox->isChecked());
        mnuOptionsEditShowWarningBox_Click();
    });
    connect(mnuOptionsSetup, &QAction::triggered, this, &frmInterface::mnuOptionsSetup_Click);
    connect(mnuOptionsWholeMllpMessages, &QAction::triggered, this,
            &frmInterface::mnuOptionsWholeMllpMessages_Click);
    connect(mnuOptionsAnswerAtOnce, &QAction::triggered, this,
            [this] { mnuOptionsAnswer_Click(Options::AnswerMode::AtOnce); });
    connect(mnuOptionsAnswerAfterDelay, &QAction::triggered, this,
            [this] { mnuOptionsAnswer_Click(Options::AnswerMode::Delayed); });
    connect(mnuOptionsAnswerNever, &QAction::triggered, this,
            [this] { mnuOptionsAnswer_Click(Options::AnswerMode::Never); });
    connect(mnuOptionsAnswerRules, &QAction::triggered, this, &frmInterface::mnuOptionsAnswerRules_Click);
    connect(mnuOptionsConnections, &QAction::triggered, this, &frmInterface::mnuOptionsConnections_Click);
    connect(mnuOptionsCharacterSet, &QAction::triggered, this, &frmInterface::mnuOptionsCharacterSet_Click);
    connect(mnuHelpAbout, &QAction::triggered, this, &frmInterface::mnuHelpAbout_Click);

    connectEngine();
}

frmSetup &frmInterface::setup()
{
    if (!m_setup) {
        m_setup = new frmSetup(m_settings, m_windowing, [this](const SettingsRecord &values) {
            if (!SaveFile(values))
                reportSettingsWriteFailure();
        }, this);
        connect(m_setup, &frmSetup::saved, this, &frmInterface::AddTransactionCount);
        connect(m_setup, &frmSetup::closed, this, &frmInterface::unloadSetup);
    }
    return *m_setup;
}

frmSetup *frmInterface::setupIfExists() const
{
    return m_setup;
}

frmSetup &frmInterface::openSetup()
{
    enter(State::SetupOpen);
    frmSetup &dialog = setup();
    // Disabling a window disables the windows it holds: the dialog is the
    // one that stays usable.
    dialog.setEnabled(true);
    return dialog;
}

void frmInterface::unloadSetup()
{
    enter(State::SetupClosed);
    discardSetup();
}

void frmInterface::discardSetup()
{
    if (m_setup) {
        // The dialog may be inside its own close or click handler; what it
        // still says on its way out is no longer the owner's business.
        m_setup->disconnect(this);
        m_setup->hide();
        m_setup->deleteLater();
        m_setup = nullptr;
    }
}

void frmInterface::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    Form_Resize();
}

void frmInterface::Form_Resize()
{
    if (isMinimized())
        return;
    const QRect outer = frameGeometry();
    const std::optional<ReceiveSize> size =
        receiveSizeFor(float(Twips::fromPixels(outer.width(), this)),
                       float(Twips::fromPixels(outer.height(), this)));
    if (!size)
        return;
    fraReceive->resize(Twips::toPixels(size->frameWidth, this),
                       Twips::toPixels(size->frameHeight, this));
    lvwReceiveData->resize(Twips::toPixels(size->listWidth, this),
                           Twips::toPixels(size->listHeight, this));
    // Whatever width the operator dragged the column to, it follows the list
    // (less the optional columns, when any are on).
    lvwReceiveData->setDataInWidth(lvwReceiveData->width());
}

void frmInterface::enter(State state)
{
    static_assert(std::size(StateRows) == std::size_t(State::SetupClosed) + 1, "a row for each state");
    static_assert(ControlStates::wellFormed(StateRows, 13), "a known cell for each control");
    m_states.apply(StateRows[int(state)]);
}

// --- Commands of the main window ---------------------------------------

void frmInterface::cmdEdit_Click()
{
    enter(State::EditingRemote);
}

void frmInterface::cmdSave_Click()
{
    enter(State::SavingRemote);
    txtLocalPort->setText(txtRemotePort->text());
    saveFileOrReport();
    enter(State::RemoteSaved);
    setWindowTitle(literalCaption(record().strInterfaceName));
}

void frmInterface::mnuOptionsAutomaticStart_Click()
{
    const bool wasChecked = mnuOptionsAutomaticStart->isChecked();
    mnuOptionsAutomaticStart->setChecked(!wasChecked);
    SettingsRecord values = record();
    values.strAutoStart = wasChecked ? QStringLiteral("Off") : QStringLiteral("On");
    m_settings.setRecord(values);
    saveFileOrReport();
    lblAutomaticStart->setText(wasChecked ? QStringLiteral("Automatic Start is OFF")
                                          : QStringLiteral("Automatic Start is ON"));
}

void frmInterface::mnuOptionsEditShowWarningBox_Click()
{
    const bool wasChecked = mnuOptionsEditShowWarningBox->isChecked();
    mnuOptionsEditShowWarningBox->setChecked(!wasChecked);
    SettingsRecord values = record();
    values.strExitWarning = wasChecked ? QStringLiteral("False") : QStringLiteral("True");
    m_settings.setRecord(values);
    saveFileOrReport();
}

void frmInterface::mnuOptionsSetup_Click()
{
    openSetup().show();
}

void frmInterface::mnuHelpAbout_Click()
{
    m_windowing.notice(this, QStringLiteral("AckmereProbe\r\n"
                                            "A test receiver for HL7 v2 links: it acknowledges every message it receives.\r\n"
                                            "Version " ACKPROBE_VERSION));
}

void frmInterface::cmdExit_Click()
{
    // A close request that comes while the question is open asks nothing more.
    if (m_exitQuestionShowing)
        return;
    if (record().strExitWarning == QLatin1String("True")) {
        const QScopedValueRollback showing(m_exitQuestionShowing, true);
        if (!m_windowing.question(this, QStringLiteral("Do you wish to exit Ackmere?"),
                                  QStringLiteral("Exit Ackmere")))
            return;
    }
    endProgram();
}

void frmInterface::endProgram()
{
    CloseFile();
    m_engine.closeAllEndpoints();
    discardSetup();
    hide();
    m_windowing.endProgram();
}

void frmInterface::closeEvent(QCloseEvent *event)
{
    // The question comes before anything is closed, so that a No leaves the
    // window, its connection and its log exactly as they were. While the
    // setup dialog is open the window takes no input, its close box included.
    event->ignore();
    if (!isEnabled() || m_windowing.programEnded())
        return;
    cmdExit_Click();
}
