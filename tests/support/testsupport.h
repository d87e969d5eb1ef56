#pragma once

#include "windowing/windowing.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <deque>
#include <functional>
#include <memory>

class frmInterface;

// Answers message boxes and the chooser as a test scripts them, and keeps
// every word that was asked.
class FakeWindowing : public Windowing
{
public:
    struct Box
    {
        QString kind; // "notice" or "question"
        QString title;
        QString text;
    };

    void notice(QWidget *parent, const QString &text, const QString &title) override;
    bool question(QWidget *parent, const QString &text, const QString &title) override;
    QString chooseOpenFile(QWidget *parent) override;
    QString chooseSaveFile(QWidget *parent, const QString &suggestedName) override;
    void endProgram() override { m_ended = true; }
    bool programEnded() const override { return m_ended; }

    // Answers for the next questions, in order; with none left, No.
    std::deque<bool> answers;
    // Paths for the next choosers, in order; with none left, a cancel.
    std::deque<QString> chosenFiles;
    // The same for the save-file chooser, and the names it was offered.
    std::deque<QString> chosenSaveFiles;
    QStringList suggestedSaveNames;
    // Called inside a notice, while it would be showing.
    std::function<void(const Box &)> onBox;

    QList<Box> boxes;
    int choosers = 0;

    QStringList noticeTexts() const;
    QStringList questionTexts() const;

private:
    bool m_ended = false;
};

// A free TCP port on 127.0.0.1, as the system hands it out.
quint16 freePort();

// The settings file with all defaults but these, as the program writes it.
struct IniValues
{
    QString remoteIP = QStringLiteral("0.0.0.0");
    QString port = QStringLiteral("9999");
    QString autoStart = QStringLiteral("Off");
    QString exitWarning = QStringLiteral("False");
    QString ackBeforeDate = QStringLiteral("|||||");
    QString ackAfterDate = QStringLiteral("||ACK|||||||||");
    QString msaSegment = QStringLiteral("|AA||||||");
    QString interfaceName = QStringLiteral("Interface");
    int showCount = 0;
    QString logfileLocation = QStringLiteral("logfile.txt");
};
QByteArray iniBytes(const IniValues &values);

// A program directory of its own with a settings file in it, the main
// window created over it, and the current directory moved there so that a
// bare logfile name lands in it too.
class TestProgram
{
public:
    TestProgram();
    ~TestProgram();

    QString dir() const { return m_dir.path(); }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    void writeIni(const IniValues &values) const;
    // A settings file that starts the interface at once on a free port;
    // returns the port.
    quint16 writeStartingIni(IniValues values = {}) const;
    void writeIniBytes(const QByteArray &bytes) const;
    QByteArray readFile(const QString &name) const;

    // Creates the window (its start-up runs), with the fake windowing layer
    // or with another one, such as the real boxes.
    frmInterface &open();
    frmInterface &open(Windowing &other);
    frmInterface &window() { return *m_window; }
    FakeWindowing windowing;

private:
    QTemporaryDir m_dir;
    QString m_previousDir;
    QByteArray m_previousCache;
    std::unique_ptr<frmInterface> m_window;
};

// A plain blocking TCP client on loopback; reading waits while the event
// loop of this thread runs, so the program under test can answer.
class LoopbackClient
{
public:
    LoopbackClient() = default;
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient &) = delete;
    LoopbackClient &operator=(const LoopbackClient &) = delete;

    bool connectTo(quint16 port);
    // As connectTo, with the receive buffer set before the handshake so the
    // window the peer sees stays that small.
    bool connectWithReceiveBuffer(quint16 port, int bytes);
    // Small sends leave at once instead of waiting for the peer's ACK of the last.
    bool setNoDelay();
    bool send(const QByteArray &bytes);
    // Sends without ever blocking: while the kernel takes nothing more, the
    // event loop of this thread runs so that the program can read.
    bool sendPumping(QByteArrayView bytes, int timeoutMs = 60000);
    // Reads until `count` bytes have come or the time is up.
    QByteArray receive(qsizetype count, int timeoutMs = 10000);
    // True once the peer has closed the connection (EOF or reset).
    bool waitForClosed(int timeoutMs = 10000);
    // An abortive close: the peer sees a reset.
    void reset();
    void close();
    bool isOpen() const { return m_fd >= 0; }

private:
    bool open(quint16 port, int receiveBuffer);

    int m_fd = -1;
};

// Runs the event loop of this thread until `done` holds or the time is up;
// returns whether it holds. Unlike QTRY_*, it returns as soon as it holds.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 30000);

// The entries of /proc/self/fd: every descriptor the process holds.
int openDescriptorCount();

// A message in MLLP block framing.
QByteArray framed(const QByteArray &message);

// True when `stamp` is the 12-digit local timestamp of a moment between the two.
bool isTimeStampBetween(const QString &stamp, const QDateTime &before, const QDateTime &after);
