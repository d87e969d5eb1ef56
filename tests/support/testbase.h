#pragma once

// What every test may use, the lower layers' included: no window, only Qt Core.

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// Generous on purpose: a wait only runs out when something is broken.
constexpr int WaitMs = 30000;
// The acknowledgement with the texts of a new settings file.
constexpr qsizetype DefaultAckSize = 51;

// A plain TCP socket on 127.0.0.1 playing the remote side. Its waits keep the
// event loop of this thread turning, so the code under test, living on the
// same thread, can answer meanwhile.
class LoopbackClient
{
public:
    LoopbackClient() = default;
    ~LoopbackClient() { close(); }
    LoopbackClient(const LoopbackClient &) = delete;
    LoopbackClient &operator=(const LoopbackClient &) = delete;

    // A connection before is closed first; on failure error() tells why.
    bool connectTo(quint16 port);
    // As connectTo, with the receive buffer set before the handshake so the
    // window the peer sees stays that small.
    bool connectWithReceiveBuffer(quint16 port, int bytes);
    // As connectTo, to ::1; on failure error() tells why (EAFNOSUPPORT,
    // EADDRNOTAVAIL: the machine has no IPv6 loopback).
    bool connectToIPv6Loopback(quint16 port);
    // Holds a port the system picks, as another program would (with
    // SO_REUSEADDR). Returns it, or 0.
    quint16 listenOnLoopback();
    // Binds the port without SO_REUSEADDR; on failure error() tells why.
    bool bindWithoutReuse(quint16 port);
    int error() const { return m_error; }
    // The port our end is bound to, or 0.
    quint16 localPort() const;

    // Small sends leave at once instead of waiting for the peer's ACK of the last.
    bool setNoDelay();
    // Blocking; only for payloads the kernel takes without the peer reading.
    bool send(QByteArrayView bytes);
    bool sendUrgent(char byte);
    // Never blocks: while the kernel takes nothing more, the event loop runs
    // so that the peer can read.
    bool sendPumping(QByteArrayView bytes, int timeoutMs = WaitMs);
    // Until `count` bytes came, the connection ended or the time is up.
    QByteArray receive(qsizetype count, int timeoutMs = WaitMs);
    // What the kernel holds for us now; the event loop does not run meanwhile.
    QByteArray receiveWaiting();
    // Sends a message and reads its answer of `answerSize` bytes.
    bool exchange(QByteArrayView message, qsizetype answerSize = DefaultAckSize);
    // True when, once the program has had its turn, nothing more has come:
    // one message, one answer.
    bool nothingMoreWaiting();

    // How the connection ended: 0 on end of stream, the errno of a failure
    // (a reset), -1 when it did not end in time.
    int waitForEnd(int timeoutMs = WaitMs);
    bool waitForClosed(int timeoutMs = WaitMs) { return waitForEnd(timeoutMs) != -1; }
    // Until the peer's kernel has acknowledged every byte sent; the event loop does not run.
    bool waitDelivered(int timeoutMs = WaitMs);
    // Sends end of stream; reading goes on.
    void finishSending();
    // An abortive close: the peer sees a reset.
    void reset();
    void close();

private:
    bool fresh(int receiveBuffer = 0, bool ipv6 = false);
    bool failed();

    int m_fd = -1;
    int m_error = 0;
};

// A free TCP port on 127.0.0.1, as the system hands it out.
quint16 freePort();

// Runs the event loop of this thread until `done` holds or the time is up;
// returns whether it holds. Unlike QTRY_*, it returns as soon as it holds.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = WaitMs);

// The entries of /proc/self/fd: every descriptor the process holds.
int openDescriptorCount();

// Cuts every file this process holds open in `folder` (a spill file, named
// or not) to nothing, as a disk that lost them would leave them: reads of
// what was in them then fail. Returns how many it cut.
int cutOpenFilesIn(const QString &folder);

// Every byte value from `first` to 255, in order.
QByteArray byteValues(int first = 0);
QByteArray randomBytes(qsizetype size, quint32 seed);

// Root passes every permission check. For the read-only cases a root run
// becomes an ordinary user for a while (uid and gid 65534, root kept as the
// saved id to come back to), so the permission bits hold for it, in open()
// and in access() alike. The paths handed in become that user's first.
class OrdinaryUser
{
public:
    explicit OrdinaryUser(const QStringList &paths);
    ~OrdinaryUser();
    OrdinaryUser(const OrdinaryUser &) = delete;
    OrdinaryUser &operator=(const OrdinaryUser &) = delete;

    bool isOrdinary() const { return m_ordinary; }

private:
    bool m_switched = false;
    bool m_ordinary = false;
};

// A message in MLLP block framing.
QByteArray framed(const QByteArray &message);

// An admission as a sender puts it on the wire, before its framing.
inline const QByteArray Adt = "MSH|^~\\&|SENDER|FAC|ACKPROBE|FAC|202612070815||ADT^A01|MSG0001|P|2.3\r"
                              "PID|1||12345^^^HOSP||DOE^JOHN||19700101|M\r";

// Sends `bytes` without blocking: at once (pieceSize 0), in pieces of
// pieceSize, or in pieces of random size up to -pieceSize.
bool sendInPieces(LoopbackClient &client, QByteArrayView bytes, int pieceSize);

// Rounds of a sender that connects, sends prefix + the round's number, reads
// its answer and closes, in order or with a reset. Runs no event loop, so it
// suits a thread of its own. Returns the rounds answered at the first attempt.
int connectSendAndClose(quint16 port, int rounds, bool reset, const QByteArray &prefix);
// prefix + 0 .. count - 1, each followed by CR LF: the log of those rounds.
QByteArray numberedLines(const QByteArray &prefix, int count);

// The texts an acknowledgement is made of; by default those of a new
// settings file.
struct AckTexts
{
    QByteArray before = "|||||";
    QByteArray after = "||ACK|||||||||";
    QByteArray msa = "|AA||||||";

    // The acknowledgement's bytes with this 12-digit stamp.
    QByteArray with(QByteArrayView stamp) const;
    qsizetype size() const { return with("000000000000").size(); }
};

// True when `ack` is the acknowledgement of these texts, stamped with the
// local time of a minute from `from` to `to`.
bool isAck(QByteArrayView ack, const QDateTime &from, const QDateTime &to, const AckTexts &texts = {});
// Reads one acknowledgement and checks it. The moment after is taken once the
// answer is in: taken beside the read, it could come first and miss a minute
// turning meanwhile.
bool receivesAck(LoopbackClient &client, const QDateTime &from, const AckTexts &texts = {});

// A program's folder of its own in a temporary folder, made the current one,
// with the received messages' spill file inside it, and a free port; all as
// it was again when it goes.
class ProgramFolder
{
public:
    // `folder`: the program directory's name inside the temporary folder;
    // none, the temporary folder itself.
    explicit ProgramFolder(const QString &folder = {});
    ~ProgramFolder();
    ProgramFolder(const ProgramFolder &) = delete;
    ProgramFolder &operator=(const ProgramFolder &) = delete;

    QString dir() const { return m_programDir; }
    QString path(const QString &name) const { return m_programDir + QLatin1Char('/') + name; }
    quint16 port() const { return m_port; }
    // The file's bytes, or empty when it cannot be read.
    QByteArray readFile(const QString &name) const;

private:
    QTemporaryDir m_dir;
    QString m_programDir;
    quint16 m_port = 0;
    QString m_previousDir;
    QByteArray m_previousCache;
};

// While it lives, neither the program's cache folder nor the temporary folder
// can be made (a file stands where they should be): no spill file can be.
class NoSpillFolder
{
public:
    Q_DISABLE_COPY_MOVE(NoSpillFolder)
    explicit NoSpillFolder(const ProgramFolder &folder);
    ~NoSpillFolder();

private:
    QByteArray m_previousTemp;
};
