#pragma once

#include "interface/acknowledgement.h"
#include "interface/messagestore.h"
#include "interface/transactionlog.h"
#include "settings/settingsrecord.h"
#include "settings/settingsstore.h"

#include <QMainWindow>
#include <QTimer>

#include <memory>

class MessageCommands;
class QAction;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class ReceivedListView;
class ReceivedModel;
class Winsock;
class Windowing;
class frmSetup;

// The main window: it owns the settings record, the counters, the received
// messages, the socket endpoints and the logfile for the whole run. Its
// procedures are split by subsystem: the interface controller, message
// receipt and the logfile in interface/, the settings file in settings/, the
// layout and commands here.
class frmInterface : public QMainWindow
{
    Q_OBJECT

public:
    // Creating the window runs its start-up (Form_Load). When the operator
    // refuses to repair the settings file, the program has ended by the time
    // the constructor returns (Windowing::programEnded()).
    frmInterface(Windowing &windowing, const QString &programDirectory,
                 QWidget *parent = nullptr);
    ~frmInterface() override;

    // --- Controls, by their names --------------------------------------
    QLabel *lblAutomaticStart = nullptr;
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
    QAction *mnuOptionsEditRemoteSettings = nullptr;
    QAction *mnuOptionsSaveRemoteSettings = nullptr;
    QAction *mnuOptionsSetup = nullptr;
    QMenu *mnuHelp = nullptr;
    QAction *mnuHelpAbout = nullptr;

    // The socket endpoint array: element 0 listens, element 1 is the connection.
    Winsock &winsock() const { return *m_winsock; }

    // The setup dialog; the first touch creates it, hidden, with its fields
    // loaded from the record.
    frmSetup &setup();
    frmSetup *setupIfExists() const { return m_setup.get(); }
    // The dialog's Exit: the main window is enabled and the dialog goes.
    void unloadSetup();

    Windowing &windowing() const { return m_windowing; }
    // Store commands report a failed write once, naming the file and reason.
    void saveFileOrReport();

    // --- Settings record and run state -----------------------------------
    SettingsRecord &record() { return m_record; }
    const SettingsRecord &record() const { return m_record; }
    const MessageStore &receivedMessages() const { return m_strReceiveData; }
    qint64 transactionCount() const { return m_intTransactionCount; }
    QString lastTimeStamp() const { return m_strDateTime; }
    QByteArray lastAcknowledgement() const { return m_strSend2; }
    const TransactionLog &transactionLog() const { return m_log; }
    QString settingsFilePath() const { return m_settingsStore.filePath(); }
    ReceivedModel &receivedModel() const { return *m_receivedModel; }
    // View, Copy and Save As... for the list's rows, and the message viewer.
    MessageCommands &messageCommands() const { return *m_messageCommands; }

    // --- Procedures --------------------------------------------------------
    void Form_Load();
    void Form_Resize();
    void Start();
    void Stop();
    void PrepareAck();
    void BuildTimeStamp();
    void AddTransactionCount();
    void OpenFile();
    void CloseFile();
    void ReadProgramInformation();
    // Returns false when the settings file could not be written; the reason
    // is in settingsWriteError().
    bool CheckBlankParameter();
    bool SaveFile();
    QString settingsWriteError() const { return m_settingsWriteError; }

    // --- Commands ----------------------------------------------------------
    void cmdEdit_Click();
    void cmdSave_Click();
    void cmdExit_Click();
    void mnuOptionsAutomaticStart_Click();
    void mnuOptionsEditShowWarningBox_Click();
    void mnuOptionsSetup_Click();
    void mnuHelpAbout_Click();

    // --- Socket events -------------------------------------------------------
    void Winsock_ConnectionRequest(int index, qint32 requestID);
    void Winsock_DataArrival(int index, qint64 bytesTotal);
    void Winsock_ArrivalsSettled(int index);
    void Winsock_Close(int index);
    void Winsock_Error(int index, int number);

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void buildControls();
    void buildMenus();
    void connectCommands();
    void setStartedState();
    void setStoppedState();
    void closeAllEndpoints();
    bool readSettingsOnce(QString *reason);
    void reportLogWriteFailure();
    void keepRetryingLog();
    void retryLogLines();
    void reportSpillFailure();
    // A notice shown once the event loop is back: never in an answer's way.
    void noticeSoon(const QString &text);
    void endProgram();

    Windowing &m_windowing;
    SettingsStore m_settingsStore;
    Winsock *m_winsock = nullptr;
    std::unique_ptr<frmSetup> m_setup;
    ReceivedModel *m_receivedModel = nullptr;
    std::unique_ptr<MessageCommands> m_messageCommands;

    SettingsRecord m_record;
    QString m_strUpdate;
    QString m_settingsWriteError;
    MessageStore m_strReceiveData;
    // Wider than 16 bits so that a long run keeps counting past 32767.
    qint64 m_intTempCounter = 0;
    qint64 m_intTransactionCount = 0;
    QString m_strDateTime;
    TimeStampClock m_clock;
    AcknowledgementCache m_ackCache;
    QByteArray m_strSend2;
    // A socket error box or the exit question is open (each runs its own event loop).
    bool m_socketErrorShowing = false;
    bool m_exitQuestionShowing = false;
    TransactionLog m_log;
    bool m_logWriteFailureReported = false;
    bool m_spillFailureReported = false;
    // Retries the lines the log could not take yet, about once a second,
    // only while there are any.
    QTimer m_logRetry;
};
