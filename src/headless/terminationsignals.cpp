#include "headless/terminationsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
// The write end of the pipe; a signal handler can touch nothing else.
int signalWriteFd = -1;

constexpr int Handled[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int number)
{
    // The interrupted code may be about to read errno.
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(signalWriteFd, &byte, 1);
    errno = saved;
}
} // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent) {}

TerminationSignals::~TerminationSignals()
{
    if (m_notifier) {
        for (const int number : Handled)
            std::signal(number, SIG_DFL);
        ::close(std::exchange(signalWriteFd, -1));
    }
}

bool TerminationSignals::install()
{
    if (m_notifier)
        return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_read = UniqueFd(fds[0]);
    signalWriteFd = fds[1];
    m_notifier = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TerminationSignals::readSignals);
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : Handled)
        if (::sigaction(number, &action, nullptr) != 0)
            return false;
    return true;
}

void TerminationSignals::readSignals()
{
    // Several of one kind since the last look count as one.
    bool hungUp = false;
    bool ended = false;
    char bytes[16];
    for (ssize_t n; (n = ::read(m_read.get(), bytes, sizeof bytes)) > 0;) {
        for (ssize_t i = 0; i < n; ++i)
            (bytes[i] == char(SIGHUP) ? hungUp : ended) = true;
    }
    if (hungUp)
        emit hangUp();
    if (ended)
        emit caught();
}
