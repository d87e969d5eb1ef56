#include "headless/headlessprobe.h"

#include "headless/messagelines.h"
#include "headless/terminationsignals.h"
#include "settings/settingsfolder.h"

#include <QDir>

HeadlessProbe::HeadlessProbe(const QString &settingsFolder,
                             std::function<void(const QString &)> say, QObject *parent)
    : QObject(parent), m_say(std::move(say)),
      m_settings(settingsFolder,
                 {// Where the window asks whether to fix the file, the probe
                  // fixes it, as after a Yes: what was read stays, the rest
                  // takes the defaults.
                  [this](const QString &reason) {
                      this->say(QStringLiteral("The settings file %1 was not found or contains errors (%2); "
                                               "it is written with the defaults.")
                                        .arg(QDir::toNativeSeparators(m_settings.filePath()), reason));
                      return true;
                  },
                  [this](const QString &notice) { this->say(notice); }})
{
    m_printLater.setSingleShot(true);
    m_printLater.setInterval(0);
    connect(&m_printLater, &QTimer::timeout, this, [this] { printSettled(false); });
    connectEngine();
}

HeadlessProbe::~HeadlessProbe() = default;

void HeadlessProbe::say(const QString &text) const
{
    // One line each, whatever line ends the window's text has; a settings
    // folder named as the operator named it.
    QString line = shownPath(text);
    line.replace(QLatin1String("\r\n"), QLatin1String(" "));
    m_say(line);
}

void HeadlessProbe::connectEngine()
{
    connect(&m_engine, &InterfaceEngine::senderConnected, this,
            [this](const QString &sender) { say(QStringLiteral("Sender %1 connected.").arg(sender)); });
    connect(&m_engine, &InterfaceEngine::senderReplaced, this, [this](const QString &replaced, const QString &by) {
        say(QStringLiteral("Sender %1 replaced by %2.").arg(replaced, by));
    });
    connect(&m_engine, &InterfaceEngine::senderGone, this, [this](const QString &sender, const QString &how) {
        say(QStringLiteral("Sender %1 %2.").arg(sender, how));
    });
    connect(&m_engine, &InterfaceEngine::connectionNotice, this, &HeadlessProbe::say);
    connect(&m_engine, &InterfaceEngine::stateChanged, this, [this](InterfaceEngine::State state) {
        if (state == InterfaceEngine::State::WaitingForReconnect)
            say(QStringLiteral("The sender closed the connection; waiting for reconnect."));
    });
    connect(&m_engine, &InterfaceEngine::logWriteFailed, this, &HeadlessProbe::say);
    connect(&m_engine, &InterfaceEngine::spillFailed, this, &HeadlessProbe::say);
    connect(&m_engine, &InterfaceEngine::answerNotice, this, &HeadlessProbe::say);
    connect(&m_engine, &InterfaceEngine::messagesAdded, this, [this] {
        if (m_print && !m_printLater.isActive())
            m_printLater.start();
    });
    connect(&m_engine, &InterfaceEngine::socketError, this, [this](int, int number) {
        say(QStringLiteral("Socket error %1.").arg(number));
    });
}

int HeadlessProbe::start()
{
    if (m_settings.readProgramInformation() == ProbeSettings::Reading::NotRepaired)
        say(QStringLiteral("The settings file %1 could not be repaired: %2 "
                           "The program goes on with the settings read.")
                    .arg(QDir::toNativeSeparators(m_settings.filePath()), m_settings.repairError()));
    // Each problem says what is taken instead.
    for (const QString &problem : m_settings.readOptions())
        say(problem);
    if (!m_engine.openLog()) {
        QString reason = m_engine.log().errorString();
        if (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        say(QStringLiteral("The logfile %1 could not be opened: %2. Verify that the name is correct.")
                    .arg(record().strLogfileLocation, reason));
    }
    for (const QString &problem : m_settings.readRules())
        say(problem);
    const InterfaceEngine::StartResult started = m_engine.start();
    switch (started.outcome) {
    case InterfaceEngine::StartResult::Outcome::Listening:
        break;
    case InterfaceEngine::StartResult::Outcome::PortInUse:
        say(QStringLiteral("The port %1 is already in use.").arg(m_settings.listenPort()));
        m_engine.stop();
        return 2;
    case InterfaceEngine::StartResult::Outcome::SocketError:
        say(QStringLiteral("Port %1 cannot be listened on: socket error %2.")
                    .arg(m_settings.listenPort())
                    .arg(started.socketError));
        m_engine.stop();
        return 1;
    case InterfaceEngine::StartResult::Outcome::TlsError:
        // Never plain TCP where TLS was asked for.
        say(QStringLiteral("The listener was not started: %1").arg(started.tlsError));
        m_engine.stop();
        return 2;
    }
    say(QStringLiteral("Listening on port %1 of every address of this machine, such as %2.")
                .arg(m_engine.listeningPort())
                .arg(m_engine.localIP()));
    if (const int rules = m_engine.rulesInForce())
        say(rules == 1 ? QStringLiteral("1 answer rule in force.")
                       : QStringLiteral("%1 answer rules in force.").arg(rules));
    return 0;
}

void HeadlessProbe::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_engine.stop();
    printSettled(true);
    say(QStringLiteral("Stopped."));
    emit finished(0);
}

void HeadlessProbe::reopenLog()
{
    if (m_finished)
        return;
    const QString path = record().strLogfileLocation;
    if (m_engine.openLog())
        say(QStringLiteral("The logfile %1 was reopened.").arg(path));
    else
        say(QStringLiteral("The logfile %1 could not be reopened: %2").arg(path, m_engine.log().errorString()));
}

bool HeadlessProbe::catchTerminationSignals()
{
    if (!m_signals) {
        m_signals = new TerminationSignals(this);
        connect(m_signals, &TerminationSignals::caught, this, &HeadlessProbe::finish);
        connect(m_signals, &TerminationSignals::hangUp, this, &HeadlessProbe::reopenLog);
    }
    return m_signals->install();
}

void HeadlessProbe::printMessages(std::function<void(const QByteArray &)> print)
{
    m_print = std::move(print);
}

void HeadlessProbe::printSettled(bool all)
{
    if (!m_print)
        return;
    const MessageStore &store = m_engine.messages();
    // In order: a message whose answer waits for its delay holds back those
    // after it. Once nothing waits, none is still to come.
    const bool waiting = !all && m_engine.answersWaiting() > 0;
    QByteArray lines;
    for (; m_printed < store.size() && messageSettled(store, m_printed, waiting); ++m_printed)
        lines += messageLine(store, m_printed);
    if (!lines.isEmpty())
        m_print(lines);
}
