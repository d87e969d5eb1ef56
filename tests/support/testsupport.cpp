#include "testsupport.h"

#include "protocol/acknowledgement.h"
#include "mainwindow/frminterface.h"
#include "setup/frmsetup.h"
#include "settings/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTest>
#include <QWidget>

#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace {
QString takeFirst(std::deque<QString> &paths)
{
    if (paths.empty())
        return {};
    const QString path = paths.front();
    paths.pop_front();
    return path;
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
} // namespace

QString Shown::logNotWritten(const QString &location, int error)
{
    return QStringLiteral("The logfile ") + location + QStringLiteral(" could not be written: ")
           + QString::fromLocal8Bit(std::strerror(error));
}

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
    return takeFirst(chosenFiles);
}

QString FakeWindowing::chooseSaveFile(QWidget *, const QString &suggestedName)
{
    suggestedSaveNames << suggestedName;
    return takeFirst(chosenSaveFiles);
}

bool FakeWindowing::askNumber(QWidget *, const QString &title, const QString &label, int, int minimum,
                              int maximum, int *chosen)
{
    boxes.append({QStringLiteral("number"), title, label});
    if (numbers.empty())
        return false;
    *chosen = qBound(minimum, numbers.front(), maximum);
    numbers.pop_front();
    return true;
}

QStringList FakeWindowing::textsOf(const QString &kind) const
{
    QStringList texts;
    for (const Box &box : boxes)
        if (box.kind == kind)
            texts << box.text;
    return texts;
}

std::unique_ptr<frmInterface> createWindow(Windowing &windowing, const QString &programDirectory)
{
    auto window = std::make_unique<frmInterface>(windowing, programDirectory);
    window->Form_Load();
    return window;
}

TestProgram::TestProgram(const QString &folder) : ProgramFolder(folder) {}

TestProgram::~TestProgram()
{
    m_window.reset();
}

void TestProgram::writeIni(const IniValues &values) const
{
    writeIniBytes(iniBytes(values));
}

void TestProgram::writeIniBytes(const QByteArray &bytes) const
{
    QFile file(path(IniName));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write the test settings file");
}

void TestProgram::writeOptionsBytes(const QByteArray &bytes) const
{
    QFile file(path(QStringLiteral("ackprobe-options.ini")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write the test options file");
}

void TestProgram::writeListeningIni(IniValues values) const
{
    values.port = QString::number(port());
    values.autoStart = QStringLiteral("On");
    writeIni(values);
}

frmInterface &TestProgram::open()
{
    return open(windowing);
}

frmInterface &TestProgram::open(Windowing &other)
{
    m_window = createWindow(other, dir());
    return *m_window;
}

frmInterface &TestProgram::openOnPort(IniValues values)
{
    values.port = QString::number(port());
    writeIni(values);
    return open();
}

frmInterface &TestProgram::openShown(IniValues values)
{
    frmInterface &window = openOnPort(values);
    window.show();
    return window;
}

frmInterface &TestProgram::openListening(IniValues values)
{
    writeListeningIni(values);
    return open();
}

bool TestProgram::holdPort()
{
    m_holder = std::make_unique<QTcpServer>();
    return m_holder->listen(QHostAddress::Any, port());
}

void TestProgram::releasePort()
{
    m_holder.reset();
}

void changeRecord(frmInterface &window, const std::function<void(SettingsRecord &)> &edit)
{
    SettingsRecord record = window.record();
    edit(record);
    window.settings().setRecord(record);
}

bool showExposed(QWidget &window)
{
    window.show();
    return QTest::qWaitForWindowExposed(&window);
}

bool ShownWindows::showWindows(bool withSetup)
{
    m_window = &m_program.openOnPort();
    m_setup = withSetup ? &m_window->setup() : nullptr;
    return showExposed(*m_window) && (!m_setup || showExposed(*m_setup));
}

