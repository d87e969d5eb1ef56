// Start-up of the main window over real settings files: the repair
// question, the defaults, the rewrite and what the fields show.

#include "testsupport.h"

#include "interface/winsock.h"
#include "mainwindow/frminterface.h"
#include "setup/frmsetup.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

namespace {
const QString FileErrorText = QStringLiteral("The file ACKPROBE.INI was not\r\n"
                                             "found in the default directory\r\n"
                                             "or contains errors.\r\n"
                                             "Do you wish to fix the file?");
const QString UpdatedText = QStringLiteral("The ACKPROBE.INI file has been updated and saved.");

const QByteArray DefaultFile = "[RemoteIP]\r\n0.0.0.0\r\n\r\n[Port]\r\n9999\r\n\r\n"
                               "[AutoStart]\r\nOff\r\n\r\n[ExitWarning]\r\nTrue\r\n\r\n"
                               "[MSH before date]\r\n|||||\r\n\r\n"
                               "[MSH after date]\r\n||ACK|||||||||\r\n\r\n"
                               "[MSA Segment]\r\n|AA||||||\r\n\r\n"
                               "[Interface Name]\r\nInterface\r\n\r\n"
                               "[Show Transaction Count]\r\n 0 \r\n\r\n"
                               "[Logfile Location]\r\nlogfile.txt\r\n";
} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void missingFileIsRepairedAfterYes();
    void noToTheRepairEndsTheProgram();
    void emptyFileTakesDefaultsWithoutAQuestion();
    void keyStandingLastAsksTheQuestion();
    void unwritableFileIsReportedOnceAndTheRunGoesOn();
    void everyByteOfAValueSurvives();
    void fieldsShowTheSettings_data();
    void fieldsShowTheSettings();
    void exitWarningMark_data();
    void exitWarningMark();
    void outOfRangeShowCountIsRepaired();
    void olderKeysAreRewrittenWithoutANotice();
};

void StartupTest::missingFileIsRepairedAfterYes()
{
    TestProgram program;
    program.windowing.answers = {true};
    frmInterface &w = program.open();

    QCOMPARE(program.windowing.boxes.size(), 2);
    const FakeWindowing::Box question = program.windowing.boxes.at(0);
    QCOMPARE(question.kind, QStringLiteral("question"));
    QCOMPARE(question.title, QStringLiteral("File Error"));
    QCOMPARE(question.text, FileErrorText);
    const FakeWindowing::Box updated = program.windowing.boxes.at(1);
    QCOMPARE(updated.kind, QStringLiteral("notice"));
    QCOMPARE(updated.title, QStringLiteral("AckmereProbe"));
    QCOMPARE(updated.text, UpdatedText);

    QCOMPARE(program.readFile(QStringLiteral("ackprobe.ini")), DefaultFile);
    QVERIFY(!program.windowing.programEnded());
    QCOMPARE(w.windowTitle(), QStringLiteral("Interface"));
    QCOMPARE(w.txtRemotePort->text(), QStringLiteral("9999"));
    QCOMPARE(w.txtLocalPort->text(), QStringLiteral("9999"));
    QCOMPARE(w.txtRemoteIPAddress->text(), QStringLiteral("0.0.0.0"));
    QVERIFY(!w.txtLocalIPAddress->text().isEmpty());
    QCOMPARE(w.lblAutomaticStart->text(), QStringLiteral("Automatic Start is OFF"));
    QVERIFY(!w.mnuOptionsAutomaticStart->isChecked());
    QVERIFY(w.mnuOptionsEditShowWarningBox->isChecked());
    QCOMPARE(w.txtInterfaceStatus->text(), QString());
}

void StartupTest::noToTheRepairEndsTheProgram()
{
    TestProgram program;
    program.windowing.answers = {false};
    frmInterface &w = program.open();
    QVERIFY(program.windowing.programEnded());
    QCOMPARE(program.windowing.questionTexts(), QStringList{FileErrorText});
    QVERIFY(program.windowing.noticeTexts().isEmpty());
    QVERIFY(!w.isVisible());
    QVERIFY(!QFile::exists(program.path(QStringLiteral("ackprobe.ini"))));
}

void StartupTest::emptyFileTakesDefaultsWithoutAQuestion()
{
    TestProgram program;
    program.writeIniBytes(QByteArray());
    program.open();
    QCOMPARE(program.windowing.questionTexts(), QStringList());
    QCOMPARE(program.windowing.noticeTexts(), QStringList{UpdatedText});
    QCOMPARE(program.readFile(QStringLiteral("ackprobe.ini")), DefaultFile);
}

void StartupTest::keyStandingLastAsksTheQuestion()
{
    TestProgram program;
    program.writeIniBytes("[Interface Name]\r\nLab\r\n[Port]\r\n");
    program.windowing.answers = {true};
    frmInterface &w = program.open();
    QCOMPARE(program.windowing.questionTexts(), QStringList{FileErrorText});
    // What was read before the error stays; the rest takes its default.
    QCOMPARE(w.windowTitle(), QStringLiteral("Lab"));
    QCOMPARE(w.txtRemotePort->text(), QStringLiteral("9999"));
    QCOMPARE(program.windowing.noticeTexts(), QStringList{UpdatedText});
}

void StartupTest::unwritableFileIsReportedOnceAndTheRunGoesOn()
{
    TestProgram program;
    // A directory where the file should be can be neither read nor written.
    QVERIFY(QDir(program.dir()).mkdir(QStringLiteral("ackprobe.ini")));
    program.windowing.answers = {true, true, true};
    frmInterface &w = program.open();
    QCOMPARE(program.windowing.questionTexts(), QStringList{FileErrorText});
    const QStringList notices = program.windowing.noticeTexts();
    QCOMPARE(notices.size(), 1);
    QVERIFY2(notices.first().contains(program.path(QStringLiteral("ackprobe.ini"))),
             qPrintable(notices.first()));
    QVERIFY(!program.windowing.programEnded());
    QCOMPARE(w.record().strPort, QStringLiteral("9999"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Interface"));

    // A store command whose write fails says so and keeps the operator's value.
    program.windowing.boxes.clear();
    w.mnuOptionsAutomaticStart_Click();
    QCOMPARE(w.record().strAutoStart, QStringLiteral("On"));
    QCOMPARE(w.lblAutomaticStart->text(), QStringLiteral("Automatic Start is ON"));
    QCOMPARE(program.windowing.noticeTexts().size(), 1);
    QVERIFY(program.windowing.noticeTexts().first().contains(QStringLiteral("could not be written")));
}

void StartupTest::everyByteOfAValueSurvives()
{
    QByteArray name;
    for (int byte = 128; byte < 256; ++byte)
        name += char(byte);
    name += "\x01\x7f|tail";
    QByteArray file = DefaultFile;
    file.replace("Interface\r\n", name + "\r\n");
    TestProgram program;
    program.writeIniBytes(file);
    frmInterface &w = program.open();
    QVERIFY(program.windowing.boxes.isEmpty());
    QCOMPARE(w.windowTitle().toLatin1(), name);
    QCOMPARE(program.readFile(QStringLiteral("ackprobe.ini")), file);
}

void StartupTest::fieldsShowTheSettings_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("autoStart");
    QTest::addColumn<QString>("portShown");
    QTest::addColumn<bool>("started");

    QTest::newRow("leading zeros") << "007" << "Off" << "7" << false;
    QTest::newRow("not a number") << "port" << "Off" << "0" << false;
    QTest::newRow("leading blanks") << "  8080x" << "Off" << "8080" << false;
    QTest::newRow("automatic start on") << "" << "On" << "" << true;
    QTest::newRow("off in small letters starts") << "" << "off" << "" << true;
    QTest::newRow("any other text starts") << "" << "sometimes" << "" << true;
}

void StartupTest::fieldsShowTheSettings()
{
    QFETCH(QString, port);
    QFETCH(QString, autoStart);
    QFETCH(QString, portShown);
    QFETCH(bool, started);
    if (port.isEmpty()) {
        port = QString::number(freePort());
        portShown = port;
    }
    TestProgram program;
    IniValues values;
    values.port = port;
    values.autoStart = autoStart;
    program.writeIni(values);
    frmInterface &w = program.open();
    QCOMPARE(w.txtRemotePort->text(), portShown);
    QCOMPARE(w.txtLocalPort->text(), portShown);
    QCOMPARE(w.mnuOptionsAutomaticStart->isChecked(), started);
    QCOMPARE(w.lblAutomaticStart->text(), started ? QStringLiteral("Automatic Start is ON")
                                                  : QStringLiteral("Automatic Start is OFF"));
    QCOMPARE(w.winsock().isListening(0), started);
    QCOMPARE(w.txtInterfaceStatus->text(), started ? QStringLiteral("Start Requested") : QString());
    // The setting is kept as read, not as interpreted.
    QVERIFY(program.readFile(QStringLiteral("ackprobe.ini")).contains("[AutoStart]\r\n" + autoStart.toLatin1() + "\r\n"));
}

void StartupTest::exitWarningMark_data()
{
    QTest::addColumn<QString>("warning");
    QTest::addColumn<bool>("checked");
    QTest::newRow("True") << "True" << true;
    QTest::newRow("true in small letters") << "true" << true;
    QTest::newRow("a number") << "-1" << true;
    QTest::newRow("False") << "False" << false;
    QTest::newRow("zero") << "0" << false;
    QTest::newRow("neither") << "maybe" << false;
}

void StartupTest::exitWarningMark()
{
    QFETCH(QString, warning);
    QFETCH(bool, checked);
    TestProgram program;
    IniValues values;
    values.exitWarning = warning;
    program.writeIni(values);
    frmInterface &w = program.open();
    QCOMPARE(w.mnuOptionsEditShowWarningBox->isChecked(), checked);
    QVERIFY(program.windowing.boxes.isEmpty());
}

void StartupTest::outOfRangeShowCountIsRepaired()
{
    QByteArray file = DefaultFile;
    file.replace(" 0 \r\n", "70000\r\n");
    TestProgram program;
    program.writeIniBytes(file);
    frmInterface &w = program.open();
    QCOMPARE(program.windowing.noticeTexts(), QStringList{UpdatedText});
    QCOMPARE(w.record().intShowCount, 0);
    QCOMPARE(w.setup().showCountState(), 0);
    QCOMPARE(program.readFile(QStringLiteral("ackprobe.ini")), DefaultFile);
}

void StartupTest::olderKeysAreRewrittenWithoutANotice()
{
    QByteArray file = DefaultFile;
    file.replace("[MSH before date]", "[ACK before date]");
    file.replace("[MSH after date]", "[ACK after date]");
    file.replace("|||||\r\n", "|B|\r\n");
    TestProgram program;
    program.writeIniBytes(file);
    frmInterface &w = program.open();
    QVERIFY(program.windowing.boxes.isEmpty());
    QCOMPARE(w.record().strAckBeforeDate, QStringLiteral("|B|"));
    QCOMPARE(w.setup().txtAckBeforeDate->text(), QStringLiteral("|B|"));
    QByteArray expected = DefaultFile;
    expected.replace("|||||\r\n", "|B|\r\n");
    QCOMPARE(program.readFile(QStringLiteral("ackprobe.ini")), expected);
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
