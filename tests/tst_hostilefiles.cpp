// Settings files and logfile locations that are hostile, through the real
// window: what stands where the settings file should be, and where the
// operator points the log.

#include "settingsdata.h"
#include "testsupport.h"

#include "mainwindow/frminterface.h"
#include "setup/frmsetup.h"
#include "settings/numericvalue.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QtTest>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The names in a directory as the bytes the system holds.
QList<QByteArray> entryBytes(const QString &directory)
{
    QList<QByteArray> names;
    if (DIR *dir = ::opendir(QFile::encodeName(directory).constData())) {
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names << name;
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

QByteArray rawFile(const QByteArray &path)
{
    QByteArray bytes;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "<missing>";
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, n);
    ::close(fd);
    return bytes;
}

// The window's fields of the six dialog settings and the endpoint agree with
// the record; the port field shows the port's numeric value.
bool fieldsShow(frmInterface &w, const SettingsRecord &r)
{
    frmSetup &d = w.setup();
    return w.txtRemoteIPAddress->text() == r.strRemoteIP
           && w.txtRemotePort->text() == decimalText(numericValue(r.strPort))
           && d.txtAckBeforeDate->text() == r.strAckBeforeDate
           && d.txtAckAfterDate->text() == r.strAckAfterDate
           && d.txtMSASegment->text() == r.strMSASegment
           && d.txtInterfaceName->text() == r.strInterfaceName
           && d.showCountState() == r.intShowCount
           && d.txtLogfileLocation->text() == r.strLogfileLocation;
}
} // namespace

class HostileFilesTest : public QObject
{
    Q_OBJECT

private slots:
    // Settings files
    void settingsFileIsADirectory_data();
    void settingsFileIsADirectory();
    void settingsFileIsAPipe();
    void largeSettingsFiles_data();
    void largeSettingsFiles();
    void settingsValueOfOneMegabyteIsKeptWhole();
    void nulAndBinaryBytes_data();
    void nulAndBinaryBytes();
    void filesWithoutLineEnds_data();
    void filesWithoutLineEnds();
    void readOnlySettingsFile();
    void readOnlyDirectory_data();
    void readOnlyDirectory();
    void settingsFolderThatCannotBeMadeIsToldWhy();

    // Logfile locations
    void logfileNameWith8BitBytes();
    void logfileDeletedWhileRunning();
    void logfileFolderDeletedWhileRunning();
};

void HostileFilesTest::settingsFileIsADirectory_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("in a plain folder") << QString();
    // The path is told as it stands.
    QTest::newRow("in a folder named with markup") << QStringLiteral("%1%2 <b>x</b> &amp; %s%n");
}

void HostileFilesTest::settingsFileIsADirectory()
{
    QFETCH(QString, folder);
    TestProgram program(folder);
    // A directory where the file should be can be neither read nor written.
    QVERIFY(QDir(program.dir()).mkdir(IniName));
    // More Yes answers than questions: a second question would take one.
    program.windowing.answers = {true, true, true};
    frmInterface &w = program.open();

    QCOMPARE(program.windowing.questionTexts(), QStringList{Shown::FileError});
    QCOMPARE(program.windowing.boxes.first().title, QStringLiteral("File Error"));
    const QStringList notices = program.windowing.noticeTexts();
    QCOMPARE(notices.size(), 1);
    const QString head = QStringLiteral("The settings file ") + program.path(IniName)
                         + QStringLiteral(" could not be repaired: ");
    const QString tail = QStringLiteral("\r\nThe program goes on with the settings shown.");
    QVERIFY2(notices.first().startsWith(head) && notices.first().endsWith(tail), qPrintable(notices.first()));
    QVERIFY(!program.windowing.programEnded());
    QVERIFY(QFileInfo(program.path(IniName)).isDir());
    QCOMPARE(w.record(), defaults());
    QVERIFY(fieldsShow(w, defaults()));
    QCOMPARE(w.windowTitle(), QStringLiteral("Interface"));

    // A store command whose write fails says so and keeps the operator's value.
    w.mnuOptionsAutomaticStart_Click();
    QCOMPARE(w.record().strAutoStart, QStringLiteral("On"));
    QCOMPARE(w.lblAutomaticStart->text(), QStringLiteral("Automatic Start is ON"));
    QCOMPARE(program.windowing.noticeTexts().size(), 2);
    QVERIFY(program.windowing.noticeTexts().last().contains(QStringLiteral("could not be written")));

    // The run goes on: the interface starts and answers.
    w.txtLocalPort->setText(QString::number(program.port()));
    w.Start();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("still answering"));
    QCOMPARE(program.windowing.boxes.size(), 3);

    // While a failed write is told, each Save has locked its fields and
    // nothing more; what follows a save comes after the box.
    w.Stop();
    const auto enabled = [](std::initializer_list<QWidget *> controls) {
        QString states;
        for (QWidget *control : controls)
            states += control->isEnabled() ? QLatin1Char('+') : QLatin1Char('-');
        return states;
    };
    frmSetup &setup = w.setup();
    QStringList whileTold;
    program.windowing.onBox = [&](const FakeWindowing::Box &) {
        whileTold << enabled({w.txtRemotePort, w.cmdSave, w.cmdStart, w.cmdEdit})
                  << enabled({setup.txtMSASegment, setup.cmdSave, setup.cmdEdit});
    };
    w.cmdEdit_Click();
    w.cmdSave_Click();
    QCOMPARE(enabled({w.txtRemotePort, w.cmdSave, w.cmdStart, w.cmdEdit}), QStringLiteral("--++"));
    w.mnuOptionsSetup_Click();
    setup.cmdEdit_Click();
    setup.cmdSave_Click();
    QCOMPARE(enabled({setup.txtMSASegment, setup.cmdSave, setup.cmdEdit}), QStringLiteral("---"));
    QCOMPARE(whileTold, (QStringList{QStringLiteral("-+--"), QStringLiteral("--+"),
                                     QStringLiteral("----"), QStringLiteral("+--")}));
}

void HostileFilesTest::settingsFileIsAPipe()
{
    // Nobody writes into it: opening it to read would wait for ever.
    TestProgram program;
    QVERIFY(::mkfifo(QFile::encodeName(program.path(IniName)).constData(), 0644) == 0);
    program.windowing.answers = {true, true};
    frmInterface &w = program.open();

    QCOMPARE(program.windowing.questionTexts(), QStringList{Shown::FileError});
    QCOMPARE(program.windowing.noticeTexts(), QStringList{Shown::Updated});
    QVERIFY(QFileInfo(program.path(IniName)).isFile());
    QCOMPARE(program.readFile(IniName), writeSettings(defaults()));
    QCOMPARE(w.record(), defaults());
}

void HostileFilesTest::largeSettingsFiles_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<SettingsRecord>("expected");
    QTest::addColumn<bool>("updated");

    const QByteArray junkLine = "; a line nobody reads, with, commas and\tblanks  \r\n";
    QByteArray junk;
    while (junk.size() < 5 * 1024 * 1024)
        junk += junkLine;
    const SettingsRecord values = defaultsWith([](SettingsRecord &r) {
        r.strPort = QStringLiteral("8123");
        r.strInterfaceName = QStringLiteral("Big");
        r.intShowCount = 1;
    });
    QTest::newRow("10 MB around the settings")
        << junk + writeSettings(values) + junk << values << false;
    QTest::newRow("10 MB without a key") << junk + junk << defaults() << true;
    QTest::newRow("a single line of 1 MB before the settings")
        << QByteArray(1024 * 1024, 'A') + "\r\n" + writeSettings(values) << values << false;
    QTest::newRow("a single line of 1 MB and nothing else")
        << QByteArray(1024 * 1024, '[') << defaults() << true;
}

void HostileFilesTest::largeSettingsFiles()
{
    QFETCH(QByteArray, file);
    QFETCH(SettingsRecord, expected);
    QFETCH(bool, updated);

    TestProgram program;
    program.writeIniBytes(file);
    frmInterface &w = program.open();
    QCOMPARE(program.windowing.questionTexts(), QStringList());
    QCOMPARE(program.windowing.noticeTexts(), updated ? QStringList{Shown::Updated} : QStringList());
    QCOMPARE(w.record(), expected);
    QVERIFY(fieldsShow(w, expected));
    // Start-up writes the file anew in its own 29 lines.
    QCOMPARE(program.readFile(IniName), writeSettings(expected));
}

void HostileFilesTest::settingsValueOfOneMegabyteIsKeptWhole()
{
    const QString big = QString(1024 * 1024, QLatin1Char('N'));
    const SettingsRecord values = defaultsWith([&](SettingsRecord &r) {
        r.strInterfaceName = big;
        r.strMSASegment = QStringLiteral("|AA|") + big;
    });
    TestProgram program;
    program.writeIniBytes(writeSettings(values));
    frmInterface &w = program.open();
    QVERIFY(program.windowing.boxes.isEmpty());
    QCOMPARE(w.record().strInterfaceName.size(), big.size());
    QCOMPARE(w.record(), values);
    QCOMPARE(w.windowTitle().size(), big.size());

    // The answer carries the whole text.
    w.txtLocalPort->setText(QString::number(program.port()));
    w.Start();
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    const QDateTime from = QDateTime::currentDateTime();
    QVERIFY(client.send("m"));
    QVERIFY(receivesAck(client, from, {.msa = "|AA|" + big.toLatin1()}));

    // Start-up wrote the file again from the fields: every byte must be there.
    QCOMPARE(program.readFile(IniName).size(), writeSettings(values).size());
}

void HostileFilesTest::nulAndBinaryBytes_data()
{
    QTest::addColumn<QByteArray>("file");

    QTest::newRow("only NUL bytes") << QByteArray(64 * 1024, '\0');
    QByteArray withNuls = writeSettings(defaults());
    withNuls.replace("Interface\r\n", QByteArrayLiteral("A\0B\0\0C\r\n"));
    withNuls.replace("|AA||||||", QByteArrayLiteral("|AA|\0|"));
    QTest::newRow("NUL bytes inside values") << withNuls;

    // Garbage with the keys and the delimiters strewn through it, so that
    // every path of the reader is taken.
    static const char *const keys[] = {
        "[RemoteIP]", "[Port]", "[AutoStart]", "[ExitWarning]", "[MSH before date]",
        "[MSH after date]", "[ACK before date]", "[ACK after date]", "[MSA Segment]",
        "[Interface Name]", "[Show Transaction Count]", "[Logfile Location]"};
    static const char *const glue[] = {"\r\n", "\n", "\r", ",", "\"", " ", "\t", "\r\n\r\n"};
    for (quint32 seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        QRandomGenerator random(seed);
        QByteArray garbage;
        while (garbage.size() < 256 * 1024) {
            switch (random.bounded(4)) {
            case 0: garbage += keys[random.bounded(12)]; break;
            case 1: garbage += glue[random.bounded(8)]; break;
            default:
                for (int n = random.bounded(40); n > 0; --n)
                    garbage += char(random.bounded(256));
            }
        }
        QTest::addRow("binary garbage, seed %u", seed) << garbage;
    }
}

void HostileFilesTest::nulAndBinaryBytes()
{
    QFETCH(QByteArray, file);
    TestProgram program;
    program.writeIniBytes(file);
    program.windowing.answers = {true, true};
    frmInterface &w = program.open();

    // A question only for a key standing last, and then only once.
    const SettingsReadResult read = readSettings(file, SettingsRecord());
    QCOMPARE(program.windowing.questionTexts(),
             read.ok ? QStringList() : QStringList{Shown::FileError});
    QVERIFY(!program.windowing.programEnded());
    // What was read is kept, byte for byte, with defaults for the blanks.
    SettingsRecord expected = read.record;
    fillBlankSettings(expected);
    if (!read.ok) {
        // The repair writes the file and reads it back.
        expected = readSettings(writeSettings(expected), expected).record;
        fillBlankSettings(expected);
    }
    QCOMPARE(w.record(), expected);
    QVERIFY(fieldsShow(w, expected));
    // The file is written as the record stands.
    QCOMPARE(program.readFile(IniName), writeSettings(expected));
    for (const QString &notice : program.windowing.noticeTexts())
        QCOMPARE(notice, Shown::Updated);
}

void HostileFilesTest::filesWithoutLineEnds_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<SettingsRecord>("expected");
    QTest::addColumn<bool>("asked");

    QTest::newRow("settings joined by commas")
        << QByteArray("[Port],8080,[Interface Name],Lab,[AutoStart],Off")
        << defaultsWith([](SettingsRecord &r) {
               r.strPort = QStringLiteral("8080");
               r.strInterfaceName = QStringLiteral("Lab");
           })
        << false;
    QTest::newRow("a key alone") << QByteArray("[Port]") << defaults() << true;
    QTest::newRow("keys run together")
        << QByteArray("[Port]8080[Interface Name]Lab") << defaults() << false;
    QTest::newRow("one long value")
        << QByteArray("[Interface Name],") + QByteArray(100000, 'v')
        << defaultsWith([](SettingsRecord &r) { r.strInterfaceName = QString(100000, QLatin1Char('v')); })
        << false;
}

void HostileFilesTest::filesWithoutLineEnds()
{
    QFETCH(QByteArray, file);
    QFETCH(SettingsRecord, expected);
    QFETCH(bool, asked);
    TestProgram program;
    program.writeIniBytes(file);
    program.windowing.answers = {true, true};
    frmInterface &w = program.open();
    QCOMPARE(program.windowing.questionTexts(), asked ? QStringList{Shown::FileError} : QStringList());
    QCOMPARE(w.record(), expected);
    QCOMPARE(program.readFile(IniName), writeSettings(expected));
}

void HostileFilesTest::readOnlySettingsFile()
{
    TestProgram program;
    const SettingsRecord values = defaultsWith([](SettingsRecord &r) {
        r.strPort = QStringLiteral("8124");
        r.strInterfaceName = QStringLiteral("Kept");
    });
    const QByteArray file = writeSettings(values);
    program.writeIniBytes(file);
    QVERIFY(QFile::setPermissions(program.path(IniName), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    OrdinaryUser user({program.dir(), program.path(IniName)});
    if (!user.isOrdinary())
        QSKIP("this root run cannot take an ordinary user's identity");

    program.windowing.answers = {true, true, true};
    frmInterface &w = program.open();
    // The start-up rewrite fails: one question, then one notice naming the
    // file and the reason, and the run goes on with what was read.
    QCOMPARE(program.windowing.questionTexts(), QStringList{Shown::FileError});
    const QStringList notices = program.windowing.noticeTexts();
    QCOMPARE(notices.size(), 1);
    QVERIFY2(notices.first().startsWith(QStringLiteral("The settings file %1 could not be repaired: ")
                                            .arg(program.path(IniName))),
             qPrintable(notices.first()));
    QVERIFY(!program.windowing.programEnded());
    QCOMPARE(w.record(), values);
    QVERIFY(fieldsShow(w, values));
    QCOMPARE(program.readFile(IniName), file);
}

void HostileFilesTest::readOnlyDirectory_data()
{
    QTest::addColumn<bool>("withFile");
    for (const bool withFile : {true, false})
        QTest::newRow(withFile ? "with a settings file" : "without a settings file") << withFile;
}

void HostileFilesTest::readOnlyDirectory()
{
    QFETCH(bool, withFile);
    TestProgram program;
    const SettingsRecord values = defaultsWith([](SettingsRecord &r) { r.strPort = QStringLiteral("8125"); });
    QStringList owned{program.dir()};
    if (withFile) {
        program.writeIniBytes(writeSettings(values));
        owned << program.path(IniName);
    }
    const QFile::Permissions open = QFileInfo(program.dir()).permissions();
    QVERIFY(QFile::setPermissions(program.dir(), QFile::ReadOwner | QFile::ExeOwner));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(program.dir(), open); });
    OrdinaryUser user(owned);
    if (!user.isOrdinary())
        QSKIP("this root run cannot take an ordinary user's identity");

    program.windowing.answers = {true, true, true};
    frmInterface &w = program.open();
    if (withFile) {
        // A writable file in it is rewritten in place.
        QVERIFY(program.windowing.boxes.isEmpty());
        QCOMPARE(w.record(), values);
        QCOMPARE(program.readFile(IniName), writeSettings(values));
    } else {
        QCOMPARE(program.windowing.questionTexts(), QStringList{Shown::FileError});
        QCOMPARE(program.windowing.noticeTexts().size(), 1);
        QVERIFY(program.windowing.noticeTexts().first().contains(program.path(IniName)));
        QCOMPARE(w.record(), defaults());
        QCOMPARE(entryBytes(program.dir()), QList<QByteArray>());
    }
    QVERIFY(!program.windowing.programEnded());
}

void HostileFilesTest::settingsFolderThatCannotBeMadeIsToldWhy()
{
    // $XDG_CONFIG_HOME a symbolic link loop: the repair tells the reason.
    TestProgram program;
    const QString loop = program.path(QStringLiteral("loop"));
    QVERIFY(QFile::link(loop, loop));
    const QString folder = loop + QStringLiteral("/AckmereProbe");
    program.windowing.answers = {true};
    const std::unique_ptr<frmInterface> w = createWindow(program.windowing, folder);
    QCOMPARE(program.windowing.questionTexts(), QStringList{Shown::FileError});
    QCOMPARE(program.windowing.noticeTexts(),
             QStringList{QStringLiteral("The settings file %1/ackprobe.ini could not be repaired: "
                                        "Too many levels of symbolic links\r\n"
                                        "The program goes on with the settings shown.").arg(folder)});
    QVERIFY(!program.windowing.programEnded());
}

void HostileFilesTest::logfileNameWith8BitBytes()
{
    // The name's bytes stand in the settings file as they are.
    const QByteArray name = "log-\xe9\xff\x80\x01 \xa0.txt";
    TestProgram program;
    const QByteArray logPath = QFile::encodeName(program.dir()) + '/' + name;
    frmInterface &w = program.openListening({.logfileLocation = QString::fromLatin1(name)});
    QVERIFY(program.windowing.boxes.isEmpty());
    QVERIFY(w.transactionLog().isOpen());
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("eight bits"));

    QCOMPARE(entryBytes(program.dir()), (QList<QByteArray>{"ackprobe.ini", name}));
    QCOMPARE(rawFile(logPath), QByteArray("eight bits\r\n"));
}

void HostileFilesTest::logfileDeletedWhileRunning()
{
    TestProgram program;
    frmInterface &w = program.openListening({.logfileLocation = QStringLiteral("trace.log")});
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("before"));
    QCOMPARE(program.readFile(QStringLiteral("trace.log")), QByteArray("before\r\n"));

    QVERIFY(QFile::remove(program.path(QStringLiteral("trace.log"))));
    QVERIFY(client.exchange("after one"));
    QVERIFY(client.exchange("after two"));
    // Nothing said after the file went is lost: it is at the location again.
    QCOMPARE(program.readFile(QStringLiteral("trace.log")), QByteArray("after one\r\nafter two\r\n"));
    QVERIFY(program.windowing.boxes.isEmpty());
    QCOMPARE(w.transactionCount(), 3);

    // And again after a Stop and a Start.
    w.Stop();
    QVERIFY(QFile::remove(program.path(QStringLiteral("trace.log"))));
    w.Start();
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("restarted"));
    QCOMPARE(program.readFile(QStringLiteral("trace.log")), QByteArray("restarted\r\n"));
}

void HostileFilesTest::logfileFolderDeletedWhileRunning()
{
    TestProgram program;
    QVERIFY(QDir(program.dir()).mkdir(QStringLiteral("logs")));
    frmInterface &w = program.openListening({.logfileLocation = QStringLiteral("logs/trace.log")});
    LoopbackClient client;
    QVERIFY(client.connectTo(program.port()));
    QVERIFY(client.exchange("before"));
    QVERIFY(QDir(program.path(QStringLiteral("logs"))).removeRecursively());

    // The file cannot be made again: told once, naming it and the reason,
    // and every message is still shown, counted and answered.
    for (int i = 0; i < 3; ++i)
        QVERIFY(client.exchange("nowhere to go"));
    QTRY_COMPARE(program.windowing.noticeTexts(),
                 QStringList{Shown::logNotWritten(QStringLiteral("logs/trace.log"), ENOENT)});
    QCOMPARE(w.transactionCount(), 4);
    QCOMPARE(w.receivedMessages().size(), 4);
}

QTEST_MAIN(HostileFilesTest)
#include "tst_hostilefiles.moc"
