#include "headless/headlessprobe.h"

#include "sockets/errornumbers.h"
#include "settings/numericvalue.h"
#include "settings/settingsfile.h"

#include <QDir>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
// The write end of the pipe that turns a signal into an event; a signal
// handler can touch nothing else.
int signalWriteFd = -1;

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalWriteFd, &byte, 1);
}

const QString UpdatedNotice = QStringLiteral("The ACKPROBE.INI file has been updated and saved.");
} // namespace

HeadlessProbe::HeadlessProbe(const QString &settingsFolder,
                             std::function<void(const QString &)> say, QObject *parent)
    : QObject(parent), m_settingsStore(settingsFolder), m_say(std::move(say)),
      m_settingsFolder(settingsFolder)
{
    connectEngine();
}

HeadlessProbe::~HeadlessProbe()
{
    if (m_signalNotifier) {
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        ::close(std::exchange(signalWriteFd, -1));
    }
}

void HeadlessProbe::say(const QString &text) const
{
    // One line each, whatever line ends the window's text has.
    QString line = text;
    line.replace(QLatin1String("\r\n"), QLatin1String(" "));
    m_say(line);
}

void HeadlessProbe::connectEngine()
{
    connect(&m_engine, &InterfaceEngine::connectionEstablished, this,
            [this](const QString &, const QString &address, quint16 port) {
                say(QStringLiteral("Sender %1 port %2 connected.").arg(address).arg(port));
            });
    connect(&m_engine, &InterfaceEngine::statusChanged, this, [this](const QString &status) {
        if (status == QLatin1String("Connection closed.Waiting for reconnect."))
            say(QStringLiteral("The sender closed the connection; waiting for reconnect."));
    });
    connect(&m_engine, &InterfaceEngine::logWriteFailed, this, &HeadlessProbe::say);
    connect(&m_engine, &InterfaceEngine::spillFailed, this, &HeadlessProbe::say);
    connect(&m_engine, &InterfaceEngine::socketError, this, [this](int, int number) {
        say(QStringLiteral("Socket error %1.").arg(number));
    });
}

bool HeadlessProbe::readSettingsOnce(QString *reason)
{
    return readSettingsInto(m_settingsStore, m_record, reason) && checkBlankParameter(reason);
}

bool HeadlessProbe::checkBlankParameter(QString *reason)
{
    const bool filled = fillBlankSettings(m_record);
    if (!m_settingsStore.write(writeSettings(m_record), reason))
        return false;
    if (filled)
        say(UpdatedNotice);
    return true;
}

void HeadlessProbe::readProgramInformation()
{
    const QString file = QDir::toNativeSeparators(m_settingsStore.filePath());
    QString reason;
    if (readSettingsOnce(&reason))
        return;
    // Where the window asks whether to fix the file, the probe fixes it, as
    // after a Yes: what was read stays, the rest takes the defaults.
    say(QStringLiteral("The settings file %1 was not found or contains errors (%2); "
                       "it is written with the defaults.").arg(file, reason));
    if (checkBlankParameter(&reason) && readSettingsOnce(&reason))
        return;
    say(QStringLiteral("The settings file %1 could not be repaired: %2 "
                       "The program goes on with the settings read.").arg(file, reason));
}

int HeadlessProbe::start()
{
    readProgramInformation();
    const OptionsReading options = readOptions(m_settingsFolder);
    m_options = options.options;
    for (const QString &problem : options.problems)
        say(QStringLiteral("%1 (the default is taken)").arg(problem));
    if (!m_engine.openLog())
        say(QStringLiteral("The logfile %1 could not be opened. Verify that the name is correct.")
                    .arg(m_record.strLogfileLocation));
    const qint32 port = roundedToInt32(numericValue(m_record.strPort));
    const int error = m_engine.listen(port);
    if (error == ErrorNumber::AddressInUse) {
        say(QStringLiteral("The port %1 is already in use.").arg(port));
        m_engine.stop();
        return 2;
    }
    if (error != ErrorNumber::None) {
        say(QStringLiteral("Port %1 cannot be listened on: socket error %2.").arg(port).arg(error));
        m_engine.stop();
        return 1;
    }
    say(QStringLiteral("Listening on port %1 of every address of this machine, such as %2.")
                .arg(m_engine.listeningPort())
                .arg(m_engine.localIP()));
    return 0;
}

void HeadlessProbe::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_engine.stop();
    say(QStringLiteral("Stopped."));
    emit finished(0);
}

bool HeadlessProbe::catchTerminationSignals()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_signalRead = UniqueFd(fds[0]);
    signalWriteFd = fds[1];
    m_signalNotifier = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    connect(m_signalNotifier.get(), &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(m_signalRead.get(), bytes, sizeof bytes) > 0) {
        }
        finish();
    });
    struct sigaction action{};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}
