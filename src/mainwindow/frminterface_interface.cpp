// The interface controller and message receipt as the main window shows
// them: thin procedures that read the window's boxes, command the engine and
// set the controls; the engine answers every message itself.

#include "frminterface.h"

#include "mainwindow/caption.h"
#include "mainwindow/connectionstatus.h"
#include "mainwindow/messagecommands.h"
#include "mainwindow/statustexts.h"
#include "settings/numericvalue.h"
#include "settings/truthvalue.h"
#include "setup/frmsetup.h"
#include "windowing/windowing.h"

#include <QAction>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTimer>

namespace {
// Setting a text box lays its text out again; most messages leave the
// acknowledgement and its time as they were.
void setTextIfChanged(QLineEdit *box, const QString &text)
{
    if (box->text() != text) {
        box->setText(text);
        box->setCursorPosition(0); // show where it begins
    }
}
} // namespace

void frmInterface::Form_Load()
{
    ReadProgramInformation();
    if (m_windowing.programEnded())
        return;
    loadOptions();
    // Reading the dialog's field creates it, hidden, loaded from the record.
    setWindowTitle(literalCaption(setup().txtInterfaceName->text()));
    // Find, Copy and Save As stop reading before the messages they read go.
    m_messageCommands->stopReading();
    m_engine.clearMessages();
    m_receivedModel.storeCleared();
    txtRemoteIPAddress->setText(record().strRemoteIP);
    const QString port = decimalText(numericValue(record().strPort));
    txtRemotePort->setText(port);
    txtLocalIPAddress->setText(m_engine.localIP());
    txtLocalPort->setText(port);
    const bool autoStart = record().strAutoStart != QLatin1String("Off");
    mnuOptionsAutomaticStart->setChecked(autoStart);
    lblAutomaticStart->setText(autoStart ? QStringLiteral("Automatic Start is ON")
                                         : QStringLiteral("Automatic Start is OFF"));
    if (mnuOptionsAutomaticStart->isChecked())
        Start();
    // A value that reads neither as true nor as false clears the mark.
    mnuOptionsEditShowWarningBox->setChecked(readsAsTrue(record().strExitWarning));
}

void frmInterface::Start()
{
    txtSendData->clear();
    txtItemCount->setText(QStringLiteral("0"));
    txtDateTime->clear();
    setTextIfChanged(txtInterfaceStatus, StatusText::StartRequested);

    enter(State::Started);
    OpenFile();
    // The answer rules are read anew at each Start; the engine takes them.
    const QStringList ruleProblems = m_settings.readRules();
    const InterfaceEngine::StartResult started = m_engine.start();
    if (started.outcome == InterfaceEngine::StartResult::Outcome::Listening) {
        // The engine took the options at its start: the count follows them.
        m_connectionStatus->started(options().senders == Options::Senders::Several, options().maxSenders,
                                    m_engine.rulesInForce());
        m_connectionStatus->setCount(m_engine.connectionCount());
        // Told once a Start, once the window is back in its event loop.
        if (!ruleProblems.isEmpty())
            noticeSoon(ruleProblems.join(QStringLiteral("\r\n")));
    } else {
        m_connectionStatus->stopped();
    }
    switch (started.outcome) {
    case InterfaceEngine::StartResult::Outcome::Listening:
        break;
    case InterfaceEngine::StartResult::Outcome::TlsError:
        m_windowing.notice(this, QStringLiteral("The listener was not started: %1").arg(started.tlsError));
        // As with a port in use: nothing listens, Start may be tried again.
        enter(State::PortInUse);
        break;
    case InterfaceEngine::StartResult::Outcome::PortInUse:
        m_windowing.notice(this, QStringLiteral("The port is already in use.  Select another port number."));
        enter(State::PortInUse);
        break;
    case InterfaceEngine::StartResult::Outcome::SocketError:
        m_windowing.notice(this, QStringLiteral("Unexpected error has occurred."));
        break;
    }
}

void frmInterface::Stop()
{
    setTextIfChanged(txtInterfaceStatus, StatusText::StopRequested);
    enter(State::Stopped);
    // Closes the log and every endpoint.
    m_engine.stop();
    m_connectionStatus->stopped();
    setTextIfChanged(txtInterfaceStatus, StatusText::Stopped);
}

QString frmInterface::connectionsText() const
{
    return m_connectionStatus->text();
}

void frmInterface::showState(InterfaceEngine::State state)
{
    // Listening has no text of its own: Start's "Start Requested" stays.
    switch (state) {
    case InterfaceEngine::State::Connected:
        setTextIfChanged(txtInterfaceStatus, StatusText::Established);
        break;
    case InterfaceEngine::State::WaitingForReconnect:
        setTextIfChanged(txtInterfaceStatus, StatusText::WaitingForReconnect);
        break;
    case InterfaceEngine::State::Stopped:
        setTextIfChanged(txtInterfaceStatus, StatusText::Stopped);
        break;
    case InterfaceEngine::State::Listening:
        break;
    }
}

void frmInterface::connectEngine()
{
    connect(&m_engine, &InterfaceEngine::stateChanged, this, &frmInterface::showState);
    connect(&m_engine, &InterfaceEngine::connectionEstablished, this,
            [this](const QString &stamp) {
                // A newer sender replaces the current one: the state stays, the text is said again.
                setTextIfChanged(txtInterfaceStatus, StatusText::Established);
                m_strDateTime = stamp;
                txtStartDateAndTime->setText(stamp);
            });
    // Several senders come and go by the thousand: a line, never a box.
    connect(&m_engine, &InterfaceEngine::connectionsChanged, this,
            [this] { m_connectionStatus->setCount(m_engine.connectionCount()); });
    connect(&m_engine, &InterfaceEngine::connectionNotice, this,
            [this](const QString &notice) { m_connectionStatus->notice(notice); });
    connect(&m_engine, &InterfaceEngine::messagesAdded, this, [this] { m_catchUp.ask(); });
    connect(&m_engine, &InterfaceEngine::logWriteFailed, this, &frmInterface::noticeSoon);
    connect(&m_engine, &InterfaceEngine::spillFailed, this, &frmInterface::noticeSoon);
    connect(&m_engine, &InterfaceEngine::spillRecovered, this, &frmInterface::noticeSoon);
    connect(&m_engine, &InterfaceEngine::answerNotice, this, &frmInterface::noticeSoon);
    // The box opens once the socket layer's handler has returned, and only
    // one at a time: errors meanwhile show none.
    connect(&m_engine, &InterfaceEngine::socketError, this, [this](int, int number) {
        if (m_socketErrorShowing)
            return;
        m_socketErrorShowing = true;
        QTimer::singleShot(0, this, [this, number] {
            m_socketErrorShowing = false;
            Winsock_Error(number);
        });
    });
    connect(&m_settings, &ProbeSettings::changed, this, &frmInterface::showSettings);
    // The boxes are the live copy of the endpoint: the remote one is what the
    // next write of the settings file takes, the local port what Start listens on.
    for (QLineEdit *box : {txtRemoteIPAddress, txtRemotePort})
        connect(box, &QLineEdit::textChanged, this, [this] {
            if (!m_showingSettings)
                m_settings.setRemoteEndpoint(txtRemoteIPAddress->text(), txtRemotePort->text());
        });
    connect(txtLocalPort, &QLineEdit::textChanged, this, [this](const QString &port) {
        m_settings.setListenPort(roundedToInt32(numericValue(port)));
    });
}

void frmInterface::Winsock_Error(int number)
{
    // The box runs its own event loop, in which the next error would open a
    // box inside it, and so on until the stack runs out: while one is open,
    // further errors show none. Acknowledging goes on meanwhile.
    if (number == 0 || m_socketErrorShowing)
        return;
    const QScopedValueRollback showing(m_socketErrorShowing, true);
    m_windowing.notice(this, QString::number(number));
}

void frmInterface::showMessagesAdded()
{
    // Setting a text box lays its text out again, which costs more than an
    // answer.
    setTextIfChanged(txtItemCount, QString::number(m_engine.transactionCount()));
    if (record().intShowCount == 1)
        AddTransactionCount();
    setTextIfChanged(txtSendData, QString::fromLatin1(m_engine.lastAcknowledgement()));
    if (!m_engine.lastAcknowledgement().isEmpty()) {
        m_strDateTime = m_engine.lastStamp();
        setTextIfChanged(txtDateTime, m_strDateTime);
    }
    m_receivedModel.messagesAdded();
}

void frmInterface::AddTransactionCount()
{
    setWindowTitle(literalCaption(record().strInterfaceName + QLatin1Char(' ') + txtItemCount->text()));
}

void frmInterface::OpenFile()
{
    if (m_engine.openLog())
        return;
    m_windowing.notice(this, QStringLiteral("The logfile could not be opened.\r\n"
                                            "Verify that the name is correct."));
    frmSetup &dialog = openSetup();
    dialog.enter(frmSetup::State::LogfileCorrection);
    dialog.show();
    dialog.txtLogfileLocation_GotFocus();
}

void frmInterface::CloseFile()
{
    m_engine.closeLog();
}

void frmInterface::noticeSoon(const QString &text)
{
    QTimer::singleShot(0, this, [this, text] { m_windowing.notice(this, text); });
}
