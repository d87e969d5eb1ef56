#pragma once

#include "engine/interfaceengine.h"
#include "mainwindow/framethrottle.h"
#include "mainwindow/receivedmodel.h"
#include "engine/probesettings.h"
#include "windowing/controlstates.h"

#include <QMainWindow>
#include <QPointer>

#include <memory>

class AnswerRulesDialog;
class CharacterSetDialog;
class ConnectionStatus;
class ConnectionsDialog;
class MessageCommands;
class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class ReceivedListView;
class Windowing;
class frmSetup;

// The main window: it owns the settings, the interface engine (which holds
// the endpoints, the log and the received messages) and the setup dialog for
// the whole run. It shows what the engine and the settings tell and commands
// them; the settings files are theirs alone.
// Its procedures are split by subsystem: the interface controller in
// frminterface_interface.cpp, the settings file in frminterface_settings.cpp,
// the layout and commands in frminterface.cpp.
class frmInterface : public QMainWindow
{
    Q_OBJECT

public:
    // The window is built with its controls in their designed states; its
    // start-up, Form_Load, is the caller's next step.
    frmInterface(Windowing &windowing, const QString &programDirectory,
                 QWidget *parent = nullptr);
    ~frmInterface() override;

    // --- Controls, by their names --------------------------------------
    QLabel *lblAutomaticStart = nullptr;
    // Beside it: the senders connected when several may be, and the latest
    // connection notice (ConnectionStatus).
    QLabel *lblConnections = nullptr;
    QGroupBox *fraStatus = nullptr;
    QLineEdit *txtInterfaceStatus = nullptr;
    QLineEdit *txtStartDateAndTime = nullptr;
    QLineEdit *txtItemCount = nullptr;
    QLineEdit *txtDateTime = nullptr;
    QLabel *lblInterfaceStatus = nullptr;
    QLabel *lblStartDateAndTime = nullptr;
    QLabel *lblItemCount = nullptr;
    QLabel *lblDateTime = nullptr;
    QGroupBox *fraSend = nullptr;
    QLineEdit *txtSendData = nullptr;
    QPushButton *cmdStart = nullptr;
    QPushButton *cmdStop = nullptr;
    QPushButton *cmdExit = nullptr;
    QPushButton *cmdEdit = nullptr;
    QPushButton *cmdSave = nullptr;
    QGroupBox *fraRemote = nullptr;
    QLineEdit *txtRemoteIPAddress = nullptr;
    QLineEdit *txtRemotePort = nullptr;
    QLabel *lblRemoteIPAddress = nullptr;
    QLabel *lblRemotePort = nullptr;
    QGroupBox *fraLocal = nullptr;
    QLineEdit *txtLocalIPAddress = nullptr;
    QLineEdit *txtLocalPort = nullptr;
    QLabel *lblLocalIpAddress = nullptr;
    QLabel *lblLocalPort = nullptr;
    QGroupBox *fraReceive = nullptr;
    ReceivedListView *lvwReceiveData = nullptr;

    QMenu *mnuFile = nullptr;
    QAction *mnuFileStartInterface = nullptr;
    QAction *mnuFileStopInterface = nullptr;
    QAction *mnuFileExit = nullptr;
    QMenu *mnuOptions = nullptr;
    QAction *mnuOptionsAutomaticStart = nullptr;
    QAction *mnuOptionsEditShowWarningBox = nullptr;
    QAction *mnuOptionsWholeMllpMessages = nullptr;
    QMenu *mnuOptionsAnswer = nullptr;
    QAction *mnuOptionsAnswerAtOnce = nullptr;
    QAction *mnuOptionsAnswerAfterDelay = nullptr;
    QAction *mnuOptionsAnswerNever = nullptr;
    QAction *mnuOptionsAnswerRules = nullptr;
    QAction *mnuOptionsConnections = nullptr;
    QAction *mnuOptionsCharacterSet = nullptr;
    QAction *mnuOptionsEditRemoteSettings = nullptr;
    QAction *mnuOptionsSaveRemoteSettings = nullptr;
    QAction *mnuOptionsSetup = nullptr;
    QMenu *mnuHelp = nullptr;
    QAction *mnuHelpAbout = nullptr;

    InterfaceEngine &engine() { return m_engine; }
    ProbeSettings &settings() { return m_settings; }

    // The setup dialog, a window of this one; the first touch creates it,
    // hidden, with its fields loaded from the record.
    frmSetup &setup();
    frmSetup *setupIfExists() const;

    // --- Settings record and run state -----------------------------------
    const SettingsRecord &record() const { return m_settings.record(); }
    // The options beyond ackprobe.ini, as the menu items show them.
    const Options &options() const { return m_settings.options(); }
    const MessageStore &receivedMessages() const { return m_engine.messages(); }
    qint64 transactionCount() const { return m_engine.transactionCount(); }
    QByteArray lastAcknowledgement() const { return m_engine.lastAcknowledgement(); }
    const TransactionLog &transactionLog() const { return m_engine.log(); }
    const ReceivedModel &receivedModel() const { return m_receivedModel; }
    // View, Copy and Save As... for the list's rows, and the message viewer.
    MessageCommands &messageCommands() const { return *m_messageCommands; }

    // --- Procedures --------------------------------------------------------
    // Start-up, run once the window is built. When the operator refuses to
    // repair the settings file, the program has ended on return
    // (Windowing::programEnded()) and the window is not to be shown.
    void Form_Load();
    void Form_Resize();
    void Start();
    void Stop();
    void AddTransactionCount();
    void OpenFile();
    void CloseFile();
    void ReadProgramInformation();
    bool SaveFile();
    // Writes the file from `values`, the record as it is about to be.
    bool SaveFile(const SettingsRecord &values);

    // --- Commands ----------------------------------------------------------
    void cmdEdit_Click();
    void cmdSave_Click();
    void cmdExit_Click();
    void mnuOptionsAutomaticStart_Click();
    void mnuOptionsEditShowWarningBox_Click();
    void mnuOptionsSetup_Click();
    void mnuOptionsWholeMllpMessages_Click();
    void mnuOptionsAnswer_Click(Options::AnswerMode mode);
    // Opens the connections dialog (window-modal); its OK writes the options.
    void mnuOptionsConnections_Click();
    // The connections dialog while it is open.
    ConnectionsDialog *connectionsDialog() const;
    // Opens the answer rules' editor (window-modal); its Save writes the file.
    void mnuOptionsAnswerRules_Click();
    // The answer rules' editor while it is open.
    AnswerRulesDialog *answerRulesDialog() const;
    // Opens the character set dialog (window-modal); its OK writes the
    // options, and the list and the viewer show the messages in the set chosen.
    void mnuOptionsCharacterSet_Click();
    // The character set dialog while it is open.
    CharacterSetDialog *characterSetDialog() const;
    // What the connections line says in full (lblConnections shows what fits).
    QString connectionsText() const;
    void mnuHelpAbout_Click();

    // A socket error the engine told: a box with its number.
    void Winsock_Error(int number);

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // The arrangements of the buttons, menu items and remote boxes that the
    // commands put the window in (the table is in frminterface.cpp).
    enum class State { Stopped, Started, EditingRemote, SavingRemote, RemoteSaved, PortInUse, SetupOpen, SetupClosed };

    void buildControls();
    void buildMenus();
    void connectCommands();
    void enter(State state);
    // Disables this window and gives the setup dialog, still hidden.
    frmSetup &openSetup();
    // The dialog's Exit: this window is enabled and the dialog goes.
    void unloadSetup();
    void discardSetup();
    // Store commands report a failed write once, naming the file and reason.
    void saveFileOrReport();
    void reportSettingsWriteFailure();
    void connectEngine();
    ProbeSettings::FrontEnd settingsFrontEnd();
    void showSettings();
    void showState(InterfaceEngine::State state);
    void loadOptions();
    void showOptions();
    void saveOptions(const Options &options);
    // The list, the viewer and Copy take the [Text] options as they stand.
    void showTextSetting();
    // The window catches up with the messages answered meanwhile, at most
    // once a frame (m_catchUp).
    void showMessagesAdded();
    // A notice shown once the event loop is back: never in an answer's way.
    void noticeSoon(const QString &text);
    void endProgram();

    Windowing &m_windowing;
    ControlStates m_states{{}};

    // The engine reads the settings; the list's model and the commands on its
    // rows come after the store they show, so that they go before it.
    ProbeSettings m_settings;
    bool m_optionsWriteFailureReported = false;
    // The remote boxes are being set from the settings, not edited.
    bool m_showingSettings = false;
    // The engine's signals reach it as long as the engine lives (it is made
    // with the controls).
    std::unique_ptr<ConnectionStatus> m_connectionStatus;
    InterfaceEngine m_engine{m_settings};
    ReceivedModel m_receivedModel{m_engine.messages()};
    std::unique_ptr<MessageCommands> m_messageCommands;
    // A child window that works on the record; the destructor deletes it first.
    QPointer<frmSetup> m_setup;
    QString m_strDateTime;
    // A socket error box is open or about to open, or the exit question is
    // open (each box runs its own event loop).
    bool m_socketErrorShowing = false;
    bool m_exitQuestionShowing = false;
    FrameThrottle m_catchUp;
    QPointer<ConnectionsDialog> m_connectionsDialog;
    QPointer<AnswerRulesDialog> m_answerRulesDialog;
    QPointer<CharacterSetDialog> m_characterSetDialog;
};
