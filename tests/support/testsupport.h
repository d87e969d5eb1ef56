#pragma once

// The program under test: its main window in a temporary folder of its own,
// the bytes it sends and the texts it shows.

#include "testbase.h"

#include "mainwindow/statustexts.h"
#include "windowing/windowing.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <deque>
#include <functional>
#include <memory>

class frmInterface;
class frmSetup;
class QTcpServer;

// Texts the program shows, word for word.
namespace Shown {
inline const QString &Listening = StatusText::StartRequested;
inline const QString &Established = StatusText::Established;
inline const QString &Waiting = StatusText::WaitingForReconnect;
inline const QString &Stopped = StatusText::Stopped;
inline const QString FileError = QStringLiteral("The file ACKPROBE.INI was not\r\n"
                                                "found in the default directory\r\n"
                                                "or contains errors.\r\n"
                                                "Do you wish to fix the file?");
inline const QString Updated = QStringLiteral("The ACKPROBE.INI file has been updated and saved.");
inline const QString LogNotOpened = QStringLiteral("The logfile could not be opened.\r\n"
                                                   "Verify that the name is correct.");
// The notice of a log that could not be written, with the system's reason.
QString logNotWritten(const QString &location, int error);
} // namespace Shown

inline const QString IniName = QStringLiteral("ackprobe.ini");


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
    bool askNumber(QWidget *parent, const QString &title, const QString &label, int value,
                   int minimum, int maximum, int *chosen) override;
    void endProgram() override { m_ended = true; }
    bool programEnded() const override { return m_ended; }

    // Answers for the next questions, in order; with none left, No.
    std::deque<bool> answers;
    // Paths for the next choosers, in order; with none left, a cancel.
    std::deque<QString> chosenFiles;
    // The same for the save-file chooser, and the names it was offered.
    std::deque<QString> chosenSaveFiles;
    QStringList suggestedSaveNames;
    // Numbers for the next number questions, in order; with none left, a cancel.
    std::deque<int> numbers;
    // Called inside a notice, while it would be showing.
    std::function<void(const Box &)> onBox;

    QList<Box> boxes;
    int choosers = 0;

    QStringList noticeTexts() const { return textsOf(QStringLiteral("notice")); }
    QStringList questionTexts() const { return textsOf(QStringLiteral("question")); }

private:
    QStringList textsOf(const QString &kind) const;
    bool m_ended = false;
};

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

// The one place a main window is made: its start-up runs here.
std::unique_ptr<frmInterface> createWindow(Windowing &windowing, const QString &programDirectory);

// A program directory of its own, a port that was free when it was made, and
// the main window over them. The current directory moves there, so that a
// bare logfile name lands in it too.
class TestProgram : public ProgramFolder
{
public:
    // `folder`: the program directory's name inside the temporary folder;
    // none, the temporary folder itself.
    explicit TestProgram(const QString &folder = {});
    ~TestProgram();

    void writeIni(const IniValues &values) const;
    void writeIniBytes(const QByteArray &bytes) const;
    // The settings with port() in them and automatic start on.
    void writeListeningIni(IniValues values = {}) const;
    QByteArray ini() const { return readFile(IniName); }
    // ackprobe-options.ini, as an operator writes it.
    void writeOptionsBytes(const QByteArray &bytes) const;

    // Creates the window (its start-up runs), with the fake windowing layer
    // or with another one, such as the real boxes.
    frmInterface &open();
    frmInterface &open(Windowing &other);
    // Writes the settings with port() in them, then creates the window.
    frmInterface &openOnPort(IniValues values = {});
    // The same, and the window shown.
    frmInterface &openShown(IniValues values = {});
    // The same with automatic start on: the window listens once it is up.
    frmInterface &openListening(IniValues values = {});

    // Another program listening on port() (on every address), until released.
    bool holdPort();
    void releasePort();

    FakeWindowing windowing;

private:
    std::unique_ptr<QTcpServer> m_holder;
    std::unique_ptr<frmInterface> m_window;
};

// The window's settings changed as the window changes them, without a write.
struct SettingsRecord;
void changeRecord(frmInterface &window, const std::function<void(SettingsRecord &)> &edit);

// Shows a window and waits until the platform has shown it.
bool showExposed(QWidget &window);

// For the cases that look at the windows as they stand: one program on a port
// of its own, stopped, its main window (and the setup dialog, when asked)
// shown before the first case.
class ShownWindows
{
protected:
    // For initTestCase: true once the platform shows them.
    bool showWindows(bool withSetup);

    frmInterface *m_window = nullptr;
    frmSetup *m_setup = nullptr;

private:
    TestProgram m_program;
};
