// The interface controller, message receipt and acknowledgement, and the
// transaction logfile: the procedures of the main window that bring the
// interface up and down and answer every message.

#include "frminterface.h"

#include "interface/acknowledgement.h"
#include "interface/winsock.h"
#include "mainwindow/caption.h"
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
const QString StatusStartRequested = QStringLiteral("Start Requested");
const QString StatusStopRequested = QStringLiteral("Stop Requested");
const QString StatusStopped = QStringLiteral("Connection Stopped");
const QString StatusEstablished = QStringLiteral("Connection Established");
const QString StatusWaiting = QStringLiteral("Connection closed.Waiting for reconnect.");

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
    setWindowTitle(literalCaption(setup().txtInterfaceName->text()));
    m_strReceiveData.clear();
    m_receivedModel.storeCleared();
    txtRemoteIPAddress->setText(m_record.strRemoteIP);
    const QString port = decimalText(numericValue(m_record.strPort));
    txtRemotePort->setText(port);
    txtLocalIPAddress->setText(m_winsock->localIP(0));
    txtLocalPort->setText(port);
    const bool autoStart = m_record.strAutoStart != QLatin1String("Off");
    mnuOptionsAutomaticStart->setChecked(autoStart);
    lblAutomaticStart->setText(autoStart ? QStringLiteral("Automatic Start is ON")
                                         : QStringLiteral("Automatic Start is OFF"));
    if (mnuOptionsAutomaticStart->isChecked())
        Start();
    // A value that reads neither as true nor as false clears the mark.
    mnuOptionsEditShowWarningBox->setChecked(readsAsTrue(m_record.strExitWarning));
}

void frmInterface::Start()
{
    txtSendData->clear();
    txtItemCount->setText(QStringLiteral("0"));
    txtDateTime->clear();
    setTextIfChanged(txtInterfaceStatus, StatusStartRequested);
    m_logWriteFailureReported = false;

    enter(State::Started);
    OpenFile();
    m_winsock->setRemoteHost(0, txtRemoteIPAddress->text());
    m_winsock->setRemotePort(0, roundedToInt32(numericValue(txtRemotePort->text())));
    m_winsock->setProtocol(0, 0);
    m_winsock->setLocalPort(0, roundedToInt32(numericValue(txtLocalPort->text())));
    const int error = m_winsock->listen(0);
    if (error == Winsock::ErrAddressInUse) {
        m_windowing.notice(this, QStringLiteral("The port is already in use.  Select another port number."));
        enter(State::PortInUse);
    } else if (error != Winsock::NoError) {
        m_windowing.notice(this, QStringLiteral("Unexpected error has occurred."));
    }
}

void frmInterface::Stop()
{
    setTextIfChanged(txtInterfaceStatus, StatusStopRequested);
    enter(State::Stopped);
    CloseFile();
    closeAllEndpoints();
    setTextIfChanged(txtInterfaceStatus, StatusStopped);
}

void frmInterface::closeAllEndpoints()
{
    for (int index = 0; index < m_winsock->count(); ++index)
        m_winsock->close(index);
    // Stop and Exit close at once: answers still queued for earlier
    // connections go with them.
    m_winsock->dropRetiring();
}

void frmInterface::Winsock_ConnectionRequest(int index, qint32 requestID)
{
    const int connection = index + 1;
    // The newest connection replaces the current one: the old element goes
    // with its connection and a fresh one accepts.
    const auto acceptRequest = [&] {
        if (!m_winsock->create(connection)) {
            m_winsock->destroy(connection);
            m_winsock->create(connection);
        }
        return m_winsock->accept(connection, requestID) == Winsock::NoError;
    };
    if (!acceptRequest()) {
        // One more try on a fresh element; then the request is dropped and
        // the listener goes on listening.
        m_winsock->destroy(connection);
        if (!acceptRequest()) {
            m_winsock->destroy(connection);
            return;
        }
    }
    setTextIfChanged(txtInterfaceStatus, StatusEstablished);
    BuildTimeStamp();
    txtStartDateAndTime->setText(m_strDateTime);
}

void frmInterface::Winsock_Close(int)
{
    // The listener stays open across a peer's close: requests already queued
    // in it, and those that come meanwhile, are served instead of reset or
    // refused. Only the connections close.
    for (int connection = 1; connection < m_winsock->count(); ++connection)
        m_winsock->close(connection);
    setTextIfChanged(txtInterfaceStatus, StatusWaiting);
    if (m_winsock->isListening(0))
        return;
    if (const int error = m_winsock->listen(0))
        Winsock_Error(0, error);
}

void frmInterface::Winsock_Error(int, int number)
{
    // The box runs its own event loop, in which the next error would open a
    // box inside it, and so on until the stack runs out: while one is open,
    // further errors show none. Acknowledging goes on meanwhile.
    if (number == Winsock::NoError || m_socketErrorShowing)
        return;
    const QScopedValueRollback showing(m_socketErrorShowing, true);
    m_windowing.notice(this, QString::number(number));
}

void frmInterface::Winsock_DataArrival(int index, qint64)
{
    // One arrival is one message: whatever has come is taken whole.
    const QByteArray message = m_winsock->takeData(index);
    ++m_intTransactionCount;
    // The line reaches the system before the answer leaves, after any lines
    // still waiting for room; one that cannot go whole waits in turn.
    if (m_log.isOpen() && !m_log.writeLine(message))
        reportLogWriteFailure();
    // When it came and what went back, for the list's columns (the engine takes this over).
    const qint64 arrived = QDateTime::currentMSecsSinceEpoch();
    m_strReceiveData.append(message, {arrived, arrived});
    PrepareAck();
    m_winsock->send(index, m_strSend2);
    m_strReceiveData.setAnswer(m_strReceiveData.size() - 1, m_strSend2, QDateTime::currentMSecsSinceEpoch());
    // The rest waits until the sender pauses (Winsock_ArrivalsSettled): a
    // sender that waits for each answer sends again within microseconds.
}

void frmInterface::Winsock_ArrivalsSettled(int)
{
    // A log deleted (made again, with its latest lines) or rotated away (a
    // new one) meanwhile is followed: the check costs a system call that no
    // answer need wait for.
    if (m_log.isOpen() && !m_log.followLocation())
        reportLogWriteFailure();
    // Received messages go to disk in large chunks.
    m_strReceiveData.spillIfDue();
    if (m_strReceiveData.spillFailed() && !m_spillFailureReported)
        reportSpillFailure();

    // The window catches up before the event loop can paint it. Setting a
    // text box lays its text out again, which costs more than an answer.
    setTextIfChanged(txtItemCount, QString::number(m_intTransactionCount));
    if (m_record.intShowCount == 1)
        AddTransactionCount();
    setTextIfChanged(txtSendData, QString::fromLatin1(m_strSend2));
    m_receivedModel.messagesAdded();
}

void frmInterface::PrepareAck()
{
    BuildTimeStamp();
    m_strSend2 = m_ackCache.of(m_record.strAckBeforeDate, m_strDateTime,
                               m_record.strAckAfterDate, m_record.strMSASegment);
    setTextIfChanged(txtDateTime, m_strDateTime);
}

void frmInterface::BuildTimeStamp()
{
    m_strDateTime = m_clock.stampAt(QDateTime::currentMSecsSinceEpoch());
}

void frmInterface::AddTransactionCount()
{
    setWindowTitle(literalCaption(m_record.strInterfaceName + QLatin1Char(' ') + txtItemCount->text()));
}

void frmInterface::OpenFile()
{
    // A log still open from a Start that failed on its port is reopened at
    // the location now configured: that is no failure.
    if (m_log.open(m_record.strLogfileLocation)) {
        // Lines an earlier Start could not write go first.
        if (!m_log.writePending())
            reportLogWriteFailure();
        return;
    }
    m_windowing.notice(this, QStringLiteral("The logfile could not be opened.\r\n"
                                            "Verify that the name is correct."));
    frmSetup &dialog = openSetup();
    dialog.enter(frmSetup::State::LogfileCorrection);
    dialog.show();
    dialog.txtLogfileLocation_GotFocus();
}

void frmInterface::CloseFile()
{
    // One more try for lines still waiting; those that cannot go yet stay
    // for the log the next Start opens.
    if (m_log.isOpen() && m_log.writePending())
        m_log.followLocation();
    m_log.close();
    m_logRetry.stop();
}

void frmInterface::reportLogWriteFailure()
{
    keepRetryingLog();
    if (m_logWriteFailureReported)
        return;
    m_logWriteFailureReported = true;
    // Told after the acknowledgement has gone, never in its way.
    noticeSoon(QStringLiteral("The logfile %1 could not be written: %2")
                   .arg(m_log.path(), m_log.errorString()));
}

void frmInterface::reportSpillFailure()
{
    m_spillFailureReported = true;
    noticeSoon(QStringLiteral("The received messages could not be kept on disk: %1\r\n"
                              "From now on they are kept in memory.")
                   .arg(m_strReceiveData.spillError()));
}

void frmInterface::noticeSoon(const QString &text)
{
    QTimer::singleShot(0, this, [this, text] { m_windowing.notice(this, text); });
}

void frmInterface::keepRetryingLog()
{
    if (m_log.isOpen() && m_log.hasPending() && !m_logRetry.isActive())
        m_logRetry.start(1000);
}

void frmInterface::retryLogLines()
{
    // Between arrivals the disk may get room again: the lines need not wait
    // for the next message.
    if (m_log.isOpen() && !(m_log.writePending() && m_log.followLocation()))
        reportLogWriteFailure();
    if (!m_log.isOpen() || !m_log.hasPending())
        m_logRetry.stop();
}
