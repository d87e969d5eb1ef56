#include "sockettest.h"

#include <QtTest>

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

int openSocketCount()
{
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.rfind("socket:", 0) == 0)
            ++count;
    }
    return count;
}

quint16 listenOnFreePort(Listener &listener)
{
    return listener.listen(0) == 0 ? listener.port() : 0;
}

std::unique_ptr<Connection> connectAndTake(Listener &listener, LoopbackClient &peer)
{
    std::unique_ptr<Connection> taken;
    const auto taking = QObject::connect(&listener, &Listener::connectionAccepted, &listener,
                                         [&] { taken = listener.takeConnection(); });
    const bool connected = peer.connectTo(listener.port())
        && QTest::qWaitFor([&] { return taken != nullptr; }, WaitMs);
    QObject::disconnect(taking);
    return connected && taken && taken->isConnected() ? std::move(taken) : nullptr;
}

EventLog::EventLog(Connection &connection)
{
    QObject::connect(&connection, &Connection::arrived, &connection, [this, &connection](qint64) {
        events << QStringLiteral("data");
        data += connection.takeData();
    });
    QObject::connect(&connection, &Connection::arrivalsSettled, &connection,
                     [this] { events << QStringLiteral("settled"); });
    QObject::connect(&connection, &Connection::peerClosed, &connection,
                     [this] { events << QStringLiteral("closed"); });
    QObject::connect(&connection, &Connection::failed, &connection,
                     [this](int error) { events << QStringLiteral("error %1").arg(error); });
}

QStringList EventLog::endings() const
{
    QStringList ends = events;
    ends.removeAll(QStringLiteral("data"));
    ends.removeAll(QStringLiteral("settled"));
    return ends;
}

DescriptorShortage::DescriptorShortage(int left)
{
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    m_savedLimit = saved.rlim_cur;
    const rlimit lowered{std::min<rlim_t>(256, saved.rlim_cur), saved.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    int fd;
    while ((fd = ::eventfd(0, EFD_CLOEXEC)) >= 0)
        m_fillers.push_back(fd);
    m_reached = errno == EMFILE && !m_fillers.empty();
    for (; left > 0 && !m_fillers.empty(); --left)
        giveBackOne();
}

DescriptorShortage::~DescriptorShortage()
{
    for (const int fd : m_fillers)
        ::close(fd);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = m_savedLimit;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

void DescriptorShortage::giveBackOne()
{
    if (m_fillers.empty())
        return;
    ::close(m_fillers.back());
    m_fillers.pop_back();
}
