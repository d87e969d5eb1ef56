// The options file beside ackprobe.ini: read, written, and with bad values.

#include "testbase.h"

#include "settings/options.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

namespace {
bool putFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

Options options(bool whole, Options::AnswerMode mode, int delayMs, const QStringList &columns)
{
    Options made;
    made.wholeMllpMessages = whole;
    made.answerMode = mode;
    made.delayMs = delayMs;
    made.listColumns = columns;
    return made;
}
} // namespace

class OptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void missingFileGivesDefaultsAndWritesReadBack();
    void badValuesTakeTheirDefaultsAndAreTold();
    void aFileThatCannotBeReadOrWrittenIsTold();
    void connectionOptionsReadWriteAndFallBack();
    void textOptionsReadWriteAndFallBack();
};

void OptionsTest::missingFileGivesDefaultsAndWritesReadBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const OptionsReading none = readOptions(dir.path());
    QCOMPARE(none.options, Options());
    QVERIFY(none.problems.isEmpty());

    // As an operator writes it, CR LF and all, with a key of someone else's.
    const QString path = dir.filePath(OptionsFileName);
    QVERIFY(putFile(path, "[Receive]\r\nWholeMllpMessages=true\r\n[Answer]\r\nMode=Delayed\r\n"
                          "DelayMs=400\r\n[List]\r\nColumns=Size,ControlId\r\nOther=kept\r\n"));
    const OptionsReading read = readOptions(dir.path());
    QVERIFY(read.problems.isEmpty());
    QCOMPARE(read.options, (options(true, Options::AnswerMode::Delayed, 400, {"Size", "ControlId"})));

    for (const Options &written : {options(false, Options::AnswerMode::Never, 1, {}),
                                   options(true, Options::AnswerMode::AtOnce, 60000, {"Answer"}),
                                   options(true, Options::AnswerMode::Delayed, 7, {"Time", "Type", "Answer"})}) {
        QCOMPARE(writeOptions(dir.path(), written), QString());
        const OptionsReading back = readOptions(dir.path());
        QVERIFY(back.problems.isEmpty());
        QCOMPARE(back.options, written);
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY2(bytes.contains("Senders=One\nWholeMllpMessages=true\n"), bytes.constData());
    QVERIFY(bytes.contains("[Answer]\nDelayMs=7\nMode=Delayed\n"));
    QVERIFY(bytes.contains("Columns=Time, Type, Answer\nOther=kept\n"));
}

void OptionsTest::badValuesTakeTheirDefaultsAndAreTold()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QByteArray delay : {"0", "60001", "abc", ""}) {
        QVERIFY(putFile(dir.filePath(OptionsFileName),
                        "[Receive]\nWholeMllpMessages=yes\n[Answer]\nMode=Later\nDelayMs=" + delay
                            + "\n[List]\nColumns=Time, Colour, Time, Size\n"));
        const OptionsReading read = readOptions(dir.path());
        QCOMPARE(read.options, (options(false, Options::AnswerMode::AtOnce, 500, {"Time", "Size"})));
        QCOMPARE(read.problems.size(), 4);
        QVERIFY(read.problems.join('\n').contains("[Answer] Mode \"Later\""));
    }

    // Control characters are shown: no notice stops at a NUL or runs into the next.
    QVERIFY(putFile(dir.filePath(OptionsFileName),
                    QByteArrayLiteral("[Receive]\nWholeMllpMessages=tr\x01ue\n[Answer]\nMode=Never\0\n"
                                      "DelayMs=1\0\n[List]\nColumns=Ti\x1bme,Size,\x7f\n")));
    const OptionsReading read = readOptions(dir.path());
    QCOMPARE(read.options, (options(false, Options::AnswerMode::AtOnce, 500, {"Size"})));
    QCOMPARE(read.problems,
             QStringList({"[Receive] WholeMllpMessages \"tr<0x01>ue\" is not true or false; false is used.",
                          "[Answer] Mode \"Never<0x00>\" is not AtOnce, Delayed or Never; AtOnce is used.",
                          "[Answer] DelayMs \"1<0x00>\" is not a number from 1 to 60000; 500 is used.",
                          "[List] Columns \"Ti<0x1B>me,<0x7F>\" names no column of "
                          "Time,Size,Type,ControlId,Answer,From; it is left out."}));
}

void OptionsTest::aFileThatCannotBeReadOrWrittenIsTold()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(writeOptions(dir.filePath("missing"), Options()),
             QStringLiteral("No such file or directory (the folder %1)").arg(dir.filePath("missing")));

    // A symbolic link loop is no missing file: the defaults, and why.
    const QString path = dir.filePath(OptionsFileName);
    QVERIFY(QFile::link(path, path));
    QCOMPARE(readOptions(dir.path()).problems,
             QStringList(QStringLiteral("%1 could not be read (Too many levels of symbolic links); the defaults are used.").arg(path)));
    QVERIFY(QFile::remove(path));
    QVERIFY(putFile(path, "[Answer]\nMode=Never\n"));
    QVERIFY(QFile::setPermissions(path, {}));
    const QFile::Permissions open = QFileInfo(dir.path()).permissions();
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(dir.path(), open); });
    const OrdinaryUser user({dir.path(), path});
    if (!user.isOrdinary())
        QSKIP("this root run cannot take an ordinary user's identity");
    const OptionsReading read = readOptions(dir.path());
    QCOMPARE(read.options, Options());
    QCOMPARE(read.problems,
             QStringList(QStringLiteral("%1 could not be read (Permission denied); the defaults are used.").arg(path)));
    QCOMPARE(writeOptions(dir.path(), Options()),
             QStringLiteral("Permission denied (the folder %1)").arg(dir.path()));
    // A folder that takes new files, and the file itself refuses.
    QVERIFY(QFile::setPermissions(dir.path(), open));
    QCOMPARE(writeOptions(dir.path(), Options()), QStringLiteral("Permission denied"));
    QCOMPARE(writeListColumns(dir.path(), {"Time"}), QStringLiteral("Permission denied"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{OptionsFileName});
    QFile file(path);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner) && file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[Answer]\nMode=Never\n"));
}

void OptionsTest::connectionOptionsReadWriteAndFallBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(OptionsFileName);
    QVERIFY(putFile(path, "[Receive]\nSenders=several\nMaxSenders=1000\nIdleTimeoutS=86400\n"
                          "[TLS]\nCertificate=/etc/probe/server.pem\nKey=server.key\n"));
    OptionsReading read = readOptions(dir.path());
    QVERIFY(read.problems.isEmpty());
    Options expected;
    expected.senders = Options::Senders::Several;
    expected.maxSenders = 1000;
    expected.idleTimeoutS = 86400;
    expected.tlsCertificate = "/etc/probe/server.pem";
    expected.tlsKey = "server.key";
    QCOMPARE(read.options, expected);
    QVERIFY(read.options.tlsEnabled());
    expected.tlsClientCAs = "ca.pem";
    QCOMPARE(writeOptions(dir.path(), expected), QString());
    QCOMPARE(readOptions(dir.path()).options, expected);

    QVERIFY(putFile(path, QByteArrayLiteral("[Receive]\nSenders=Many\nMaxSenders=0\nIdleTimeoutS=-1\n"
                                            "[TLS]\nKey=a\x01.key\n")));
    read = readOptions(dir.path());
    QCOMPARE(read.options, Options());
    QVERIFY(!read.options.tlsEnabled());
    QCOMPARE(read.problems,
             QStringList({"[Receive] Senders \"Many\" is not One or Several; One is used.",
                          "[Receive] MaxSenders \"0\" is not a number from 1 to 1000; 20 is used.",
                          "[Receive] IdleTimeoutS \"-1\" is not a number from 0 to 86400; 0 is used.",
                          "[TLS] Key \"a<0x01>.key\" is not a file's path; none is used."}));
}

void OptionsTest::textOptionsReadWriteAndFallBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(OptionsFileName);
    QVERIFY(putFile(path, "[Text]\nCharacterSet=windows-1252\nUseMsh18=FALSE\n"));
    OptionsReading read = readOptions(dir.path());
    QVERIFY(read.problems.isEmpty());
    Options expected;
    expected.characterSet = "windows-1252";
    expected.useMsh18 = false;
    QCOMPARE(read.options, expected);
    QCOMPARE(writeOptions(dir.path(), expected), QString());
    QCOMPARE(readOptions(dir.path()).options, expected);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY2(file.readAll().contains("[Text]\nCharacterSet=windows-1252\nUseMsh18=false\n"), qPrintable(path));

    // "automatic" in any case is the default's spelling; an unknown set, a
    // name with a control character or a letter beyond ASCII is told.
    QVERIFY(putFile(path, "[Text]\nCharacterSet= automatic \nUseMsh18=true\n"));
    read = readOptions(dir.path());
    QCOMPARE(read.options, Options());
    QVERIFY(read.problems.isEmpty());
    for (const QByteArray &name : {QByteArray("Klingon-8"), QByteArray("UTF-8\x01"), QByteArray("UTF-8\xc3\xa9")}) {
        QVERIFY(putFile(path, "[Text]\nCharacterSet=" + name + "\nUseMsh18=sometimes\n"));
        read = readOptions(dir.path());
        QCOMPARE(read.options, Options());
        QCOMPARE(read.problems.size(), 2);
        QVERIFY2(read.problems.at(0).startsWith("[Text] CharacterSet \""), qPrintable(read.problems.at(0)));
        QVERIFY2(read.problems.at(0).endsWith("\" is not Automatic or a character set this system knows; Automatic is used."),
                 qPrintable(read.problems.at(0)));
        QCOMPARE(read.problems.at(1), "[Text] UseMsh18 \"sometimes\" is not true or false; true is used.");
    }
}

QTEST_GUILESS_MAIN(OptionsTest)
#include "tst_options.moc"
