// The settings file's format, and its store on disk.

#include "settingsdata.h"
#include "testbase.h"

#include "settings/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

namespace {
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
    void refusals_data();
    void refusals();
    void writeThenReadGivesTheSameBytes();
    void writeReplacesTheWholeFile();
    void unwritableFileIsRefused();
    void readOnlyDirectoryWithWritableFile();
    void hostileLargeFileReads();
};

void TestSettingsFile::writesDefaultsByteForByte()
{
    const QByteArray written = writeSettings(defaults());
    QCOMPARE(written, DefaultSettingsFile);
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
    const auto row = [](const char *name, const QByteArray &file, const SettingsRecord &expected, bool ok = true) {
        QTest::newRow(name) << file << expected << ok;
    };
    // What a file naming only this text setting reads as.
    const auto only = [](QString SettingsRecord::*field, const QString &value) {
        return emptyWith([&](SettingsRecord &r) { r.*field = value; });
    };
    const auto showCount = [](int count) { return emptyWith([&](SettingsRecord &r) { r.intShowCount = count; }); };
    const auto Port = &SettingsRecord::strPort;
    const auto RemoteIP = &SettingsRecord::strRemoteIP;
    const auto Name = &SettingsRecord::strInterfaceName;

    row("defaults file", DefaultSettingsFile, defaults());
    row("empty file", QByteArray(), {});
    row("older keys", "[ACK before date]\r\nB\r\n\r\n[ACK after date]\r\nA\r\n",
        emptyWith([](auto &r) { r.strAckBeforeDate = "B"; r.strAckAfterDate = "A"; }));
    row("key twice, later wins", "[Port]\r\n1\r\n[Port]\r\n2\r\n", only(Port, "2"));
    row("key in other letter case", "[port]\r\n1\r\n", {});
    row("key with leading spaces", "  [Port]\r\n1\r\n", only(Port, "1"));
    row("a TAB is no blank", "\t[Port]\r\n1\r\n[RemoteIP]\r\n\tx\r\n", only(RemoteIP, "\tx"));
    row("UTF-8 byte order mark before the first key", "\xEF\xBB\xBF[Port]\r\n1\r\n", only(Port, "1"));
    row("empty line as value", "[Port]\r\n\r\n[RemoteIP]\r\nx\r\n", only(RemoteIP, "x"));
    row("value is never taken as a key", "[Port]\r\n[RemoteIP]\r\nx\r\n", only(Port, "[RemoteIP]"));
    row("comma ends the value", "[Interface Name]\r\nLab, East\r\n", only(Name, "Lab"));
    row("key and value on one line", "[Port],8080\r\n", only(Port, "8080"));
    row("leading blanks skipped, trailing kept", "[Port]\r\n  80 \t\r\n", only(Port, "80 \t"));
    row("quoted value", "[Interface Name]\r\n  \"Lab, East\r\nWing\" tail,[Port]\r\n1\r\n",
        emptyWith([](auto &r) { r.strInterfaceName = "Lab, East\r\nWing"; r.strPort = "1"; }));
    row("text behind a closing quote dropped", "[Interface Name]\r\n\"Lab\" [Port]\r\n1\r\n", only(Name, "Lab"));
    row("unterminated quote runs to the end", "[Port]\r\n\"80,\r\n[RemoteIP]\r\nx",
        only(Port, "80,\r\n[RemoteIP]\r\nx"));
    row("lone LF lines", "[Port]\n1\n\n[RemoteIP]\n\n", only(Port, "1"));
    row("lone CR lines", "[Port]\r1\r\r[AutoStart]\rOn",
        emptyWith([](auto &r) { r.strPort = "1"; r.strAutoStart = "On"; }));
    row("no line end after the last value", "[Logfile Location]\r\nlog.txt",
        only(&SettingsRecord::strLogfileLocation, "log.txt"));
    row("NUL bytes", QByteArrayLiteral("[Interface Name]\r\nA\0B\0\r\n"),
        only(Name, QString::fromLatin1("A\0B\0", 4)));
    row("key last, after a line end", "[RemoteIP]\r\nx\r\n[Port]\r\n", only(RemoteIP, "x"), false);
    row("key last, without a line end", "[RemoteIP]\r\nx\r\n[Port]", only(RemoteIP, "x"), false);
    row("key last, after a comma", "[Port],", {}, false);
    row("key then only an empty line", "[Port]\r\n\r\n", {});
    row("show count 1", "[Show Transaction Count]\r\n 1 \r\n", showCount(1));
    row("show count 5", "[Show Transaction Count]\r\n5\r\n", showCount(5));
    row("show count text", "[Show Transaction Count]\r\nabc\r\n", {});
    row("show count beyond int", "[Show Transaction Count]\r\n99999999999\r\n",
        showCount(std::numeric_limits<int>::max()));
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

    QByteArray older = DefaultSettingsFile;
    older.replace("[MSH before date]", "[ACK before date]").replace("[MSH after date]", "[ACK after date]");
    QByteArray withoutShowCount = DefaultSettingsFile;
    withoutShowCount.replace("[Show Transaction Count]\r\n 0 \r\n\r\n", "");
    const auto showCount = [](const char *value) {
        return QByteArray(DefaultSettingsFile).replace(" 0 ", value);
    };

    QTest::newRow("empty file") << QByteArray() << true << DefaultSettingsFile;
    QTest::newRow("older keys rewritten as newer") << older << false << DefaultSettingsFile;
    QTest::newRow("no show-count key") << withoutShowCount << false << DefaultSettingsFile;
    QTest::newRow("show count 5") << showCount("5") << true << DefaultSettingsFile;
    QTest::newRow("show count text") << showCount("on") << false << DefaultSettingsFile;
    QTest::newRow("port key in small letters")
        << QByteArray(DefaultSettingsFile).replace("[Port]\r\n9999", "[port]\r\n8080") << true << DefaultSettingsFile;
    QTest::newRow("text after a comma dropped")
        << QByteArray(DefaultSettingsFile).replace("Interface\r\n", "Lab, East\r\n") << false
        << QByteArray(DefaultSettingsFile).replace("Interface\r\n", "Lab\r\n");
    QTest::newRow("lone LF and ignored lines")
        << QByteArray("; written by hand\n").append(DefaultSettingsFile).replace("\r\n", "\n") << false
        << DefaultSettingsFile;
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

    // All but the delimiters of an item.
    QTest::newRow("bytes 1 to 255")
        << byteValues(1).removeIf([](char c) { return QByteArrayView(",\r\n\"").contains(c); });
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

void TestSettingsFile::refusals_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("writeRefused");
    QTest::newRow("missing file") << "none" << false;
    QTest::newRow("directory missing") << "missing" << true;
    QTest::newRow("directory named like the file") << "directory" << true;
    QTest::newRow("parent is a regular file") << "file as parent" << true;
}

void TestSettingsFile::refusals()
{
    QFETCH(QString, setup);
    QFETCH(bool, writeRefused);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QString directory = temp.path();
    if (setup == u"missing")
        directory = temp.filePath(QStringLiteral("missing"));
    if (setup == u"directory")
        QVERIFY(QDir(directory).mkdir(QStringLiteral("ackprobe.ini")));
    if (setup == u"file as parent") {
        directory = temp.filePath(QStringLiteral("plain"));
        QVERIFY(putFile(directory, "x"));
    }

    QString error;
    QVERIFY(!SettingsStore(directory).read(&error).has_value());
    QVERIFY(!error.isEmpty());
    if (!writeRefused)
        return;
    error.clear();
    QVERIFY(!SettingsStore(directory).write(DefaultSettingsFile, &error));
    QVERIFY(!error.isEmpty());
    // The failed write created nothing and changed nothing.
    QCOMPARE(QFileInfo::exists(temp.filePath(QStringLiteral("missing"))), false);
    QCOMPARE(QFileInfo(temp.filePath(QStringLiteral("ackprobe.ini"))).isFile(), false);
    if (setup == u"file as parent")
        QCOMPARE(fileBytes(directory), QByteArray("x"));
}

void TestSettingsFile::writeThenReadGivesTheSameBytes()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QByteArray bytes = DefaultSettingsFile + byteValues();

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
    QVERIFY(putFile(path, DefaultSettingsFile + DefaultSettingsFile));

    QVERIFY(SettingsStore(temp.path()).write("short\r\n"));
    QCOMPARE(fileBytes(path), QByteArray("short\r\n"));
}

void TestSettingsFile::unwritableFileIsRefused()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = temp.filePath(QStringLiteral("ackprobe.ini"));
    QVERIFY(putFile(path, DefaultSettingsFile));
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
    const OrdinaryUser user({temp.path(), path});
    if (!user.isOrdinary())
        QSKIP("this root run cannot take an ordinary user's identity");

    QString error;
    QVERIFY(!SettingsStore(temp.path()).write("replaced\r\n", &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(fileBytes(path), DefaultSettingsFile);
}

void TestSettingsFile::readOnlyDirectoryWithWritableFile()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString path = temp.filePath(QStringLiteral("ackprobe.ini"));
    QVERIFY(putFile(path, DefaultSettingsFile));
    const QFile::Permissions open = QFileInfo(temp.path()).permissions();
    QVERIFY(QFile::setPermissions(temp.path(), QFile::ReadOwner | QFile::ExeOwner));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(temp.path(), open); });
    const OrdinaryUser user({temp.path(), path});
    if (!user.isOrdinary())
        QSKIP("this root run cannot take an ordinary user's identity");

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
