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
} // namespace

class OptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void missingFileGivesDefaultsAndWritesReadBack();
    void badValuesTakeTheirDefaultsAndAreTold();
    void aFileThatCannotBeReadOrWrittenIsTold();
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
    QCOMPARE(read.options, (Options{true, Options::AnswerMode::Delayed, 400, {"Size", "ControlId"}}));

    for (const Options &written : {Options{false, Options::AnswerMode::Never, 1, {}},
                                   Options{true, Options::AnswerMode::AtOnce, 60000, {"Answer"}},
                                   Options{true, Options::AnswerMode::Delayed, 7, {"Time", "Type", "Answer"}}}) {
        QCOMPARE(writeOptions(dir.path(), written), QString());
        const OptionsReading back = readOptions(dir.path());
        QVERIFY(back.problems.isEmpty());
        QCOMPARE(back.options, written);
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY2(bytes.contains("[Receive]\nWholeMllpMessages=true\n"), bytes.constData());
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
        QCOMPARE(read.options, (Options{false, Options::AnswerMode::AtOnce, 500, {"Time", "Size"}}));
        QCOMPARE(read.problems.size(), 4);
        QVERIFY(read.problems.join('\n').contains("[Answer] Mode \"Later\""));
    }

    // Control characters are shown: no notice stops at a NUL or runs into the next.
    QVERIFY(putFile(dir.filePath(OptionsFileName),
                    QByteArrayLiteral("[Receive]\nWholeMllpMessages=tr\x01ue\n[Answer]\nMode=Never\0\n"
                                      "DelayMs=1\0\n[List]\nColumns=Ti\x1bme,Size,\x7f\n")));
    const OptionsReading read = readOptions(dir.path());
    QCOMPARE(read.options, (Options{false, Options::AnswerMode::AtOnce, 500, {"Size"}}));
    QCOMPARE(read.problems,
             QStringList({"[Receive] WholeMllpMessages \"tr<0x01>ue\" is not true or false; false is used.",
                          "[Answer] Mode \"Never<0x00>\" is not AtOnce, Delayed or Never; AtOnce is used.",
                          "[Answer] DelayMs \"1<0x00>\" is not a number from 1 to 60000; 500 is used.",
                          "[List] Columns \"Ti<0x1B>me,<0x7F>\" names no column of "
                          "Time,Size,Type,ControlId,Answer; it is left out."}));
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

QTEST_GUILESS_MAIN(OptionsTest)
#include "tst_options.moc"
