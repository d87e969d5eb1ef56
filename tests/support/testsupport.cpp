#include "testsupport.h"

#include "interface/acknowledgement.h"
#include "mainwindow/frminterface.h"
#include "settings/settingsfile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QTcpServer>

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

void FakeWindowing::notice(QWidget *, const QString &text, const QString &title)
{
    boxes.append({QStringLiteral("notice"), title, text});
    if (onBox)
        onBox(boxes.last());
}

bool FakeWindowing::question(QWidget *, const QString &text, const QString &title)
{
    boxes.append({QStringLiteral("question"), title, text});
    if (onBox)
        onBox(boxes.last());
    if (answers.empty())
        return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
}

QString FakeWindowing::chooseOpenFile(QWidget *)
{
    ++choosers;
    if (chosenFiles.empty())
        return {};
    const QString path = chosenFiles.front();
    chosenFiles.pop_front();
    return path;
}

QString FakeWindowing::chooseSaveFile(QWidget *, const QString &suggestedName)
{
    suggestedSaveNames << suggestedName;
    if (chosenSaveFiles.empty())
        return {};
    const QString path = chosenSaveFiles.front();
    chosenSaveFiles.pop_front();
    return path;
}

QStringList FakeWindowing::noticeTexts() const
{
    QStringList texts;
    for (const Box &box : boxes)
        if (box.kind == QLatin1String("notice"))
            texts << box.text;
    return texts;
}

QStringList FakeWindowing::questionTexts() const
{
    QStringList texts;
    for (const Box &box : boxes)
        if (box.kind == QLatin1String("question"))
            texts << box.text;
    return texts;
}

quint16 freePort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

QByteArray iniBytes(const IniValues &v)
{
    SettingsRecord record;
    record.strRemoteIP = v.remoteIP;
    record.strPort = v.port;
    record.strAutoStart = v.autoStart;
    record.strExitWarning = v.exitWarning;
    record.strAckBeforeDate = v.ackBeforeDate;
    record.strAckAfterDate = v.ackAfterDate;
    record.strMSASegment = v.msaSegment;
    record.strInterfaceName = v.interfaceName;
    record.intShowCount = v.showCount;
    record.strLogfileLocation = v.logfileLocation;
    return writeSettings(record);
}

TestProgram::TestProgram()
    : m_previousDir(QDir::currentPath()), m_previousCache(qgetenv("XDG_CACHE_HOME"))
{
    QDir::setCurrent(m_dir.path());
    // The received messages' spill file goes into the test's own folder.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path(QStringLiteral("cache"))));
}

TestProgram::~TestProgram()
{
    m_window.reset();
    // A log named by hostile settings may hold bytes that are no valid name in
    // the locale's encoding, which the temporary folder's clean-up cannot
    // remove: such files go here, by their bytes.
    if (DIR *folder = ::opendir(QFile::encodeName(dir()).constData())) {
        while (const dirent *entry = ::readdir(folder))
            if (entry->d_type == DT_REG)
                ::unlinkat(::dirfd(folder), entry->d_name, 0);
        ::closedir(folder);
    }
    QDir::setCurrent(m_previousDir);
    if (m_previousCache.isEmpty())
        qunsetenv("XDG_CACHE_HOME");
    else
        qputenv("XDG_CACHE_HOME", m_previousCache);
}

void TestProgram::writeIni(const IniValues &values) const
{
    writeIniBytes(iniBytes(values));
}

quint16 TestProgram::writeStartingIni(IniValues values) const
{
    const quint16 port = freePort();
    values.port = QString::number(port);
    values.autoStart = QStringLiteral("On");
    writeIni(values);
    return port;
}

void TestProgram::writeIniBytes(const QByteArray &bytes) const
{
    QFile file(path(QStringLiteral("ackprobe.ini")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write the test settings file");
}

QByteArray TestProgram::readFile(const QString &name) const
{
    QFile file(path(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

frmInterface &TestProgram::open()
{
    return open(windowing);
}

frmInterface &TestProgram::open(Windowing &other)
{
    m_window = std::make_unique<frmInterface>(other, m_dir.path());
    m_window->Form_Load();
    return *m_window;
}

LoopbackClient::~LoopbackClient()
{
    close();
}

bool LoopbackClient::connectTo(quint16 port)
{
    return open(port, 0);
}

bool LoopbackClient::connectWithReceiveBuffer(quint16 port, int bytes)
{
    return open(port, bytes);
}

bool LoopbackClient::setNoDelay()
{
    const int on = 1;
    return m_fd >= 0 && ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool LoopbackClient::open(quint16 port, int receiveBuffer)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    if (receiveBuffer > 0
        && ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0) {
        close();
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The listener's backlog completes the handshake without its event loop.
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    return true;
}

bool LoopbackClient::send(const QByteArray &bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent),
                                 MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        sent += n;
    }
    return true;
}

bool LoopbackClient::sendPumping(QByteArrayView bytes, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, size_t(bytes.size() - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p{m_fd, POLLOUT, 0};
        ::poll(&p, 1, 1);
    }
    return true;
}

QByteArray LoopbackClient::receive(qsizetype count, int timeoutMs)
{
    QByteArray received;
    QDeadlineTimer deadline(timeoutMs);
    while (received.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 1) <= 0)
            continue;
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            received.append(buffer, n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return received;
}

bool LoopbackClient::waitForClosed(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 1) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
    return false;
}

void LoopbackClient::reset()
{
    if (m_fd < 0)
        return;
    linger abortive{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close();
}

void LoopbackClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // One pass: a timer that is always due would keep a timed pass busy.
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        // Sockets on loopback answer in microseconds; a short nap keeps
        // this loop from taking a whole core from the kernel's side.
        ::usleep(20);
    }
    return true;
}

int openDescriptorCount()
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    // The directory's own descriptor is counted too, the same every time.
    int count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count;
}

QByteArray framed(const QByteArray &message)
{
    return Ack::StartBlock + message + Ack::EndBlock + Ack::EndSegment;
}

bool isTimeStampBetween(const QString &stamp, const QDateTime &before, const QDateTime &after)
{
    return stamp == timeStampOf(before) || stamp == timeStampOf(after);
}
