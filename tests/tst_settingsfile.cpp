#include "settings/settingsfile.h"
#include "settings/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

#include <unistd.h>

Q_DECLARE_METATYPE(SettingsRecord)

// Failed comparisons show the record the way the file would hold it.
char *toString(const SettingsRecord &record)
{
    return QTest::toString(writeSettings(record));
}

namespace {

const QByteArray DefaultsFile = "[RemoteIP]\r\n0.0.0.0\r\n\r\n"
                                "[Port]\r\n9999\r\n\r\n"
                                "[AutoStart]\r\nOff\r\n\r\n"
                                "[ExitWarning]\r\nTrue\r\n\r\n"
                                "[MSH before date]\r\n|||||\r\n\r\n"
                                "[MSH after date]\r\n||ACK|||||||||\r\n\r\n"
                                "[MSA Segment]\r\n|AA||||||\r\n\r\n"
                                "[Interface Name]\r\nInterface\r\n\r\n"
                                "[Show Transaction Count]\r\n 0 \r\n\r\n"
                                "[Logfile Location]\r\nlogfile.txt\r\n";

SettingsRecord defaults()
{
    SettingsRecord record;
    fillBlankSettings(record);
    return record;
}

template <typename Change>
SettingsRecord emptyWith(Change change)
{
    SettingsRecord record;
    change(record);
    return record;
}

template <typename Change>
SettingsRecord defaultsWith(Change change)
{
    SettingsRecord record = defaults();
    change(record);
    return record;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool putFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool runningAsRoot()
{
    return geteuid() == 0;
}

} // namespace

class TestSettingsFile : public QObject
{
    Q_OBJECT

private slots:
    // The format
    void writesDefaultsByteForByte();
    void writesValuesUnchanged_data();
    void writesValuesUnchanged();
    void read_data();
    void read();
    void readKeepsSettingsTheFileDoesNotName();
    void fillBlanks_data();
    void fillBlanks();
    void readFillRewrite_data();
    void readFillRewrite();
    void roundTrip_data();
    void roundTrip();

    // The store
    void filePathIsInTheDirectory();
    void readFails_data();
    void readFails();
    void writeThenReadGivesTheSameBytes();
    void writeReplacesTheWholeFile();
    void writeFails_data();
    void writeFails();
    void unwritableFileIsRefused();
    void readOnlyDirectoryWithWritableFile();
    void hostileLargeFileReads();
};

void TestSettingsFile::writesDefaultsByteForByte()
{
    const QByteArray written = writeSettings(defaults());
    QCOMPARE(written, DefaultsFile);
    QCOMPARE(written.count("\r\n"), 29);
    QCOMPARE(written.count('\n'), 29);
    QCOMPARE(written.count('\r'), 29);
}

void TestSettingsFile::writesValuesUnchanged_data()
{
    QTest::addColumn<SettingsRecord>("record");
    QTest::addColumn<int>("line");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("show count on")
        << defaultsWith([](auto &r) { r.intShowCount = 1; }) << 25 << QByteArray(" 1 ");
    QTest::newRow("no quoting or escaping")
        << defaultsWith([](auto &r) { r.strInterfaceName = QStringLiteral(" \"Lab\", East"); })
        << 22 << QByteArray(" \"Lab\", East");
    QTest::newRow("empty value")
        << defaultsWith([](auto &r) { r.strPort.clear(); }) << 4 << QByteArray();
    QTest::newRow("character beyond 8 bits")
        << defaultsWith([](auto &r) { r.strLogfileLocation = QString::fromUtf8("log\u0100.txt"); })
        << 28 << QByteArray("log?.txt");
}

void TestSettingsFile::writesValuesUnchanged()
{
    QFETCH(SettingsRecord, record);
    QFETCH(int, line);
    QFETCH(QByteArray, expected);

    const QList<QByteArray> lines = writeSettings(record).split('\n');
    QCOMPARE(lines.size(), 30); // 29 ended lines and nothing after the last
    QCOMPARE(lines.last(), QByteArray());
    QCOMPARE(lines.at(line), expected + '\r');
}

void TestSettingsFile::read_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<SettingsRecord>("expected");
    QTest::addColumn<bool>("ok");

    QTest::newRow("defaults file") << DefaultsFile << defaults() << true;
    QTest::newRow("empty file") << QByteArray() << SettingsRecord() << true;
    QTest::newRow("older keys")
        << QByteArray("[ACK before date]\r\nB\r\n\r\n[ACK after date]\r\nA\r\n")
        << emptyWith([](auto &r) { r.strAckBeforeDate = "B"; r.strAckAfterDate = "A"; }) << true;
    QTest::newRow("key twice, later wins")
        << QByteArray("[Port]\r\n1\r\n[Port]\r\n2\r\n")
        << emptyWith([](auto &r) { r.strPort = "2"; }) << true;
    QTest::newRow("key in other letter case")
        << QByteArray("[port]\r\n1\r\n") << SettingsRecord() << true;
    QTest::newRow("key with leading spaces")
        << QByteArray("  [Port]\r\n1\r\n") << emptyWith([](auto &r) { r.strPort = "1"; }) << true;
    QTest::newRow("a TAB is no blank")
        << QByteArray("\t[Port]\r\n1\r\n[RemoteIP]\r\n\tx\r\n")
        << emptyWith([](auto &r) { r.strRemoteIP = "\tx"; }) << true;
    QTest::newRow("UTF-8 byte order mark before the first key")
        << QByteArray("\xEF\xBB\xBF[Port]\r\n1\r\n")
        << emptyWith([](auto &r) { r.strPort = "1"; }) << true;
    QTest::newRow("empty line as value")
        << QByteArray("[Port]\r\n\r\n[RemoteIP]\r\nx\r\n")
        << emptyWith([](auto &r) { r.strRemoteIP = "x"; }) << true;
    QTest::newRow("value is never taken as a key")
        << QByteArray("[Port]\r\n[RemoteIP]\r\nx\r\n")
        << emptyWith([](auto &r) { r.strPort = "[RemoteIP]"; }) << true;
    QTest::newRow("comma ends the value")
        << QByteArray("[Interface Name]\r\nLab, East\r\n")
        << emptyWith([](auto &r) { r.strInterfaceName = "Lab"; }) << true;
    QTest::newRow("key and value on one line")
        << QByteArray("[Port],8080\r\n") << emptyWith([](auto &r) { r.strPort = "8080"; }) << true;
    QTest::newRow("leading blanks skipped, trailing kept")
        << QByteArray("[Port]\r\n  80 \t\r\n") << emptyWith([](auto &r) { r.strPort = "80 \t"; }) << true;
    QTest::newRow("quoted value")
        << QByteArray("[Interface Name]\r\n  \"Lab, East\r\nWing\" tail,[Port]\r\n1\r\n")
        << emptyWith([](auto &r) {
               r.strInterfaceName = "Lab, East\r\nWing";
               r.strPort = "1";
           })
        << true;
    QTest::newRow("text behind a closing quote dropped")
        << QByteArray("[Interface Name]\r\n\"Lab\" [Port]\r\n1\r\n")
        << emptyWith([](auto &r) { r.strInterfaceName = "Lab"; }) << true;
    QTest::newRow("unterminated quote runs to the end")
        << QByteArray("[Port]\r\n\"80,\r\n[RemoteIP]\r\nx")
        << emptyWith([](auto &r) { r.strPort = "80,\r\n[RemoteIP]\r\nx"; }) << true;
    QTest::newRow("lone LF lines")
        << QByteArray("[Port]\n1\n\n[RemoteIP]\n\n")
        << emptyWith([](auto &r) { r.strPort = "1"; }) << true;
    QTest::newRow("lone CR lines")
        << QByteArray("[Port]\r1\r\r[AutoStart]\rOn")
        << emptyWith([](auto &r) { r.strPort = "1"; r.strAutoStart = "On"; }) << true;
    QTest::newRow("no line end after the last value")
        << QByteArray("[Logfile Location]\r\nlog.txt")
        << emptyWith([](auto &r) { r.strLogfileLocation = "log.txt"; }) << true;
    QTest::newRow("NUL bytes")
        << QByteArrayLiteral("[Interface Name]\r\nA\0B\0\r\n")
        << emptyWith([](auto &r) { r.strInterfaceName = QString::fromLatin1("A\0B\0", 4); }) << true;
    QTest::newRow("key last, after a line end")
        << QByteArray("[RemoteIP]\r\nx\r\n[Port]\r\n")
        << emptyWith([](auto &r) { r.strRemoteIP = "x"; }) << false;
    QTest::newRow("key last, without a line end")
        << QByteArray("[RemoteIP]\r\nx\r\n[Port]")
        << emptyWith([](auto &r) { r.strRemoteIP = "x"; }) << false;
    QTest::newRow("key last, after a comma")
        << QByteArray("[Port],") << SettingsRecord() << false;
    QTest::newRow("key then only an empty line")
        << QByteArray("[Port]\r\n\r\n") << SettingsRecord() << true;
    QTest::newRow("show count 1")
        << QByteArray("[Show Transaction Count]\r\n 1 \r\n")
        << emptyWith([](auto &r) { r.intShowCount = 1; }) << true;
    QTest::newRow("show count 5")
        << QByteArray("[Show Transaction Count]\r\n5\r\n")
        << emptyWith([](auto &r) { r.intShowCount = 5; }) << true;
    QTest::newRow("show count text")
        << QByteArray("[Show Transaction Count]\r\nabc\r\n") << SettingsRecord() << true;
    QTest::newRow("show count beyond int")
        << QByteArray("[Show Transaction Count]\r\n99999999999\r\n")
        << emptyWith([](auto &r) { r.intShowCount = std::numeric_limits<int>::max(); }) << true;
}

void TestSettingsFile::read()
{
    QFETCH(QByteArray, file);
    QFETCH(SettingsRecord, expected);
    QFETCH(bool, ok);

    const SettingsReadResult result = readSettings(file, SettingsRecord());
    QCOMPARE(result.record, expected);
    QCOMPARE(result.ok, ok);
}

void TestSettingsFile::readKeepsSettingsTheFileDoesNotName()
{
    SettingsRecord start = defaults();
    start.intShowCount = 1;
    const SettingsReadResult result = readSettings("[Port]\r\n8080\r\n", start);
    QVERIFY(result.ok);
    start.strPort = QStringLiteral("8080");
    QCOMPARE(result.record, start);
}

void TestSettingsFile::fillBlanks_data()
{
    QTest::addColumn<SettingsRecord>("before");
    QTest::addColumn<SettingsRecord>("after");
    QTest::addColumn<bool>("filled");

    const SettingsRecord odd = emptyWith([](auto &r) {
        r.strRemoteIP = " ";
        r.strPort = "port";
        r.strAutoStart = "Maybe";
        r.strExitWarning = "false";
        r.strAckBeforeDate = "b";
        r.strAckAfterDate = "a";
        r.strMSASegment = "m";
        r.strInterfaceName = "i";
        r.intShowCount = 1;
        r.strLogfileLocation = "l";
    });
    QTest::newRow("all blank") << SettingsRecord() << defaults() << true;
    QTest::newRow("only emptiness is tested") << odd << odd << false;
    QTest::newRow("one blank")
        << defaultsWith([](auto &r) { r.strMSASegment.clear(); }) << defaults() << true;
    QTest::newRow("show count 5")
        << defaultsWith([](auto &r) { r.intShowCount = 5; }) << defaults() << true;
    QTest::newRow("show count beyond 16 bits")
        << defaultsWith([](auto &r) { r.intShowCount = std::numeric_limits<int>::max(); })
        << defaults() << true;
}

void TestSettingsFile::fillBlanks()
{
    QFETCH(SettingsRecord, before);
    QFETCH(SettingsRecord, after);
    QFETCH(bool, filled);

    SettingsRecord record = before;
    QCOMPARE(fillBlankSettings(record), filled);
    QCOMPARE(record, after);
}

// What start-up does with a file: read, fill in defaults, write it again.
void TestSettingsFile::readFillRewrite_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("updated");
    QTest::addColumn<QByteArray>("rewritten");

    QByteArray older = DefaultsFile;
    older.replace("[MSH before date]", "[ACK before date]").replace("[MSH after date]", "[ACK after date]");
    QByteArray withoutShowCount = DefaultsFile;
    withoutShowCount.replace("[Show Transaction Count]\r\n 0 \r\n\r\n", "");
    const auto showCount = [](const char *value) {
        return QByteArray(DefaultsFile).replace(" 0 ", value);
    };

    QTest::newRow("empty file") << QByteArray() << true << DefaultsFile;
    QTest::newRow("older keys rewritten as newer") << older << false << DefaultsFile;
    QTest::newRow("no show-count key") << withoutShowCount << false << DefaultsFile;
    QTest::newRow("show count 5") << showCount("5") << true << DefaultsFile;
    QTest::newRow("show count text") << showCount("on") << false << DefaultsFile;
    QTest::newRow("port key in small letters")
        << QByteArray(DefaultsFile).replace("[Port]\r\n9999", "[port]\r\n8080") << true << DefaultsFile;
    QTest::newRow("text after a comma dropped")
        << QByteArray(DefaultsFile).replace("Interface\r\n", "Lab, East\r\n") << false
        << QByteArray(DefaultsFile).replace("Interface\r\n", "Lab\r\n");
    QTest::newRow("lone LF and ignored lines")
        << QByteArray("; written by hand\n").append(DefaultsFile).replace("\r\n", "\n") << false
        << DefaultsFile;
}

void TestSettingsFile::readFillRewrite()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, updated);
    QFETCH(QByteArray, rewritten);

    SettingsReadResult result = readSettings(file, SettingsRecord());
    QVERIFY(result.ok);
    QCOMPARE(fillBlankSettings(result.record), updated);
    QCOMPARE(writeSettings(result.record), rewritten);
}

void TestSettingsFile::roundTrip_data()
{
    QTest::addColumn<QByteArray>("value");

    QByteArray everyByte;
    for (int b = 1; b <= 255; ++b) {
        if (b != ',' && b != '\r' && b != '\n' && b != '"')
            everyByte.append(char(b));
    }
    QTest::newRow("bytes 1 to 255") << everyByte;
    QTest::newRow("NUL bytes") << QByteArrayLiteral("a\0\0b\0");
}

void TestSettingsFile::roundTrip()
{
    QFETCH(QByteArray, value);

    const QString text = QString::fromLatin1(value);
    const SettingsRecord record = emptyWith([&](auto &r) {
        for (QString *field : {&r.strRemoteIP, &r.strPort, &r.strAutoStart, &r.strExitWarning,
                               &r.strAckBeforeDate, &r.strAckAfterDate, &r.strMSASegment,
                               &r.strInterfaceName, &r.strLogfileLocation})
            *field = text;
        r.intShowCount = 1;
    });
    const QByteArray written = writeSettings(record);
    QCOMPARE(written.count(value), 9);
    const SettingsReadResult result = readSettings(written, SettingsRecord());
    QVERIFY(result.ok);
    QCOMPARE(result.record, record);
}

void TestSettingsFile::filePathIsInTheDirectory()
{
    QCOMPARE(SettingsStore(QStringLiteral("/opt/probe")).filePath(), QStringLiteral("/opt/probe/ackprobe.ini"));
}

void TestSettingsFile::readFails_data()
{
    QTest::addColumn<QString>("setup");
    QTest::newRow("missing file") << "none";
    QTest::newRow("directory named like the file") << "directory";
    QTest::newRow("parent is a regular file") << "file as parent";
}

void TestSettingsFile::readFails()
{
    QFETCH(QString, setup);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QString directory = temp.path();
    if (setup == u"directory")
        QVERIFY(QDir(directory).mkdir(QStringLiteral("ackprobe.ini")));
    if (setup == u"file as parent") {
        QVERIFY(putFile(temp.filePath(QStringLiteral("plain")), "x"));
        directory = temp.filePath(QStringLiteral("plain"));
    }

    QString error;
    QVERIFY(!SettingsStore(directory).read(&error).has_value());
    QVERIFY(!error.isEmpty());
}

void TestSettingsFile::writeThenReadGivesTheSameBytes()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QByteArray bytes = DefaultsFile;
    for (int b = 0; b <= 255; ++b)
        bytes.append(char(b));

    const SettingsStore store(temp.path());
    QString error;
    QVERIFY2(store.write(bytes, &error), qPrintable(error));
    QCOMPARE(fileBytes(temp.filePath(QStringLiteral("ackprobe.ini"))), bytes);
    QCOMPARE(store.read(&error).value_or("<none>"), bytes);
    // Nothing left behind beside the file itself.
    QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("ackprobe.ini")});
}

void TestSettingsFile::writeReplacesTheWholeFile()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = temp.filePath(QStringLiteral("ackprobe.ini"));
    QVERIFY(putFile(path, DefaultsFile + DefaultsFile));

    QVERIFY(SettingsStore(temp.path()).write("short\r\n"));
    QCOMPARE(fileBytes(path), QByteArray("short\r\n"));
}

void TestSettingsFile::writeFails_data()
{
    QTest::addColumn<QString>("setup");
    QTest::newRow("directory missing") << "missing";
    QTest::newRow("parent is a regular file") << "file as parent";
    QTest::newRow("directory named like the file") << "directory";
}

void TestSettingsFile::writeFails()
{
    QFETCH(QString, setup);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QString directory = temp.filePath(QStringLiteral("missing"));
    if (setup == u"file as parent") {
        directory = temp.filePath(QStringLiteral("plain"));
        QVERIFY(putFile(directory, "x"));
    }
    if (setup == u"directory") {
        directory = temp.path();
        QVERIFY(QDir(directory).mkdir(QStringLiteral("ackprobe.ini")));
    }

    QString error;
    QVERIFY(!SettingsStore(directory).write(DefaultsFile, &error));
    QVERIFY(!error.isEmpty());
    // The failed write created nothing and changed nothing.
    QCOMPARE(QFileInfo::exists(temp.filePath(QStringLiteral("missing"))), false);
    QCOMPARE(QFileInfo(temp.filePath(QStringLiteral("ackprobe.ini"))).isFile(), false);
    if (setup == u"file as parent")
        QCOMPARE(fileBytes(directory), QByteArray("x"));
}

void TestSettingsFile::unwritableFileIsRefused()
{
    if (runningAsRoot())
        QSKIP("root writes whatever the permission bits say");
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = temp.filePath(QStringLiteral("ackprobe.ini"));
    QVERIFY(putFile(path, DefaultsFile));
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));

    QString error;
    QVERIFY(!SettingsStore(temp.path()).write("replaced\r\n", &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(fileBytes(path), DefaultsFile);
}

void TestSettingsFile::readOnlyDirectoryWithWritableFile()
{
    if (runningAsRoot())
        QSKIP("root writes whatever the permission bits say");
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = temp.filePath(QStringLiteral("ackprobe.ini"));
    QVERIFY(putFile(path, DefaultsFile));
    const QFile::Permissions open = QFileInfo(temp.path()).permissions();
    QVERIFY(QFile::setPermissions(temp.path(), QFile::ReadOwner | QFile::ExeOwner));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(temp.path(), open); });

    QString error;
    QVERIFY2(SettingsStore(temp.path()).write("replaced\r\n", &error), qPrintable(error));
    QCOMPARE(fileBytes(path), QByteArray("replaced\r\n"));
}

void TestSettingsFile::hostileLargeFileReads()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QByteArray junk = QByteArrayLiteral("[Port]x, \t\"q\"tail\r[port]\n\xff\0,,\r\n");
    QByteArray bytes;
    while (bytes.size() < 10 * 1024 * 1024)
        bytes += junk;
    bytes += "[Port]\r\n8080\r\n";
    QVERIFY(putFile(temp.filePath(QStringLiteral("ackprobe.ini")), bytes));

    const std::optional<QByteArray> read = SettingsStore(temp.path()).read();
    QVERIFY(read.has_value());
    QCOMPARE(read->size(), bytes.size());
    const SettingsReadResult result = readSettings(*read, SettingsRecord());
    QVERIFY(result.ok);
    QCOMPARE(result.record, emptyWith([](auto &r) { r.strPort = "8080"; }));
}

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "tst_settingsfile.moc"
