// Start-up of the main window over real settings files: the repair
// question, the defaults, the rewrite and what the fields show.

#include "settingsdata.h"
#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "setup/frmsetup.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void missingFileIsRepairedAfterYes();
    void noToTheRepairEndsTheProgram();
    void emptyFileTakesDefaultsWithoutAQuestion();
    void keyStandingLastAsksTheQuestion();
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
    QCOMPARE(question.text, Shown::FileError);
    const FakeWindowing::Box updated = program.windowing.boxes.at(1);
    QCOMPARE(updated.kind, QStringLiteral("notice"));
    QCOMPARE(updated.title, QStringLiteral("AckmereProbe"));
    QCOMPARE(updated.text, Shown::Updated);

    QCOMPARE(program.ini(), DefaultSettingsFile);
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
    QCOMPARE(program.windowing.questionTexts(), QStringList{Shown::FileError});
    QVERIFY(program.windowing.noticeTexts().isEmpty());
    QVERIFY(!w.isVisible());
    QVERIFY(!QFile::exists(program.path(IniName)));
}

void StartupTest::emptyFileTakesDefaultsWithoutAQuestion()
{
    TestProgram program;
    program.writeIniBytes(QByteArray());
    program.open();
    QCOMPARE(program.windowing.questionTexts(), QStringList());
    QCOMPARE(program.windowing.noticeTexts(), QStringList{Shown::Updated});
    QCOMPARE(program.ini(), DefaultSettingsFile);
}

void StartupTest::keyStandingLastAsksTheQuestion()
{
    TestProgram program;
    program.writeIniBytes("[Interface Name]\r\nLab\r\n[Port]\r\n");
    program.windowing.answers = {true};
    frmInterface &w = program.open();
    QCOMPARE(program.windowing.questionTexts(), QStringList{Shown::FileError});
    // What was read before the error stays; the rest takes its default.
    QCOMPARE(w.windowTitle(), QStringLiteral("Lab"));
    QCOMPARE(w.txtRemotePort->text(), QStringLiteral("9999"));
    QCOMPARE(program.windowing.noticeTexts(), QStringList{Shown::Updated});
}

void StartupTest::everyByteOfAValueSurvives()
{
    const QByteArray name = byteValues(128) + "\x01\x7f|tail";
    QByteArray file = DefaultSettingsFile;
    file.replace("Interface\r\n", name + "\r\n");
    TestProgram program;
    program.writeIniBytes(file);
    frmInterface &w = program.open();
    QVERIFY(program.windowing.boxes.isEmpty());
    QCOMPARE(w.windowTitle().toLatin1(), name);
    QCOMPARE(program.ini(), file);
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
    TestProgram program;
    if (port.isEmpty()) {
        port = QString::number(program.port());
        portShown = port;
    }
    program.writeIni({.port = port, .autoStart = autoStart});
    frmInterface &w = program.open();
    QCOMPARE(w.txtRemotePort->text(), portShown);
    QCOMPARE(w.txtLocalPort->text(), portShown);
    QCOMPARE(w.mnuOptionsAutomaticStart->isChecked(), started);
    QCOMPARE(w.lblAutomaticStart->text(), started ? QStringLiteral("Automatic Start is ON")
                                                  : QStringLiteral("Automatic Start is OFF"));
    QCOMPARE(w.engine().isListening(), started);
    QCOMPARE(w.txtInterfaceStatus->text(), started ? Shown::Listening : QString());
    // The setting is kept as read, not as interpreted.
    QVERIFY(program.ini().contains("[AutoStart]\r\n" + autoStart.toLatin1() + "\r\n"));
}

void StartupTest::exitWarningMark_data()
{
    QTest::addColumn<QString>("warning");
    QTest::addColumn<bool>("checked");
    // "true" in small letters and any number but 0 count as True.
    for (const char *text : {"True", "true", "-1"})
        QTest::newRow(text) << QString::fromLatin1(text) << true;
    for (const char *text : {"False", "0", "maybe"})
        QTest::newRow(text) << QString::fromLatin1(text) << false;
}

void StartupTest::exitWarningMark()
{
    QFETCH(QString, warning);
    QFETCH(bool, checked);
    TestProgram program;
    program.writeIni({.exitWarning = warning});
    frmInterface &w = program.open();
    QCOMPARE(w.mnuOptionsEditShowWarningBox->isChecked(), checked);
    QVERIFY(program.windowing.boxes.isEmpty());
}

void StartupTest::outOfRangeShowCountIsRepaired()
{
    QByteArray file = DefaultSettingsFile;
    file.replace(" 0 \r\n", "70000\r\n");
    TestProgram program;
    program.writeIniBytes(file);
    frmInterface &w = program.open();
    QCOMPARE(program.windowing.noticeTexts(), QStringList{Shown::Updated});
    QCOMPARE(w.record().intShowCount, 0);
    QCOMPARE(w.setup().showCountState(), 0);
    QCOMPARE(program.ini(), DefaultSettingsFile);
}

void StartupTest::olderKeysAreRewrittenWithoutANotice()
{
    QByteArray file = DefaultSettingsFile;
    file.replace("[MSH before date]", "[ACK before date]");
    file.replace("[MSH after date]", "[ACK after date]");
    file.replace("|||||\r\n", "|B|\r\n");
    TestProgram program;
    program.writeIniBytes(file);
    frmInterface &w = program.open();
    QVERIFY(program.windowing.boxes.isEmpty());
    QCOMPARE(w.record().strAckBeforeDate, QStringLiteral("|B|"));
    QCOMPARE(w.setup().txtAckBeforeDate->text(), QStringLiteral("|B|"));
    QByteArray expected = DefaultSettingsFile;
    expected.replace("|||||\r\n", "|B|\r\n");
    QCOMPARE(program.ini(), expected);
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
