// The options file beside ackprobe.ini: read, written, and with bad values.

#include "testbase.h"

#include "settings/options.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

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

class OptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void missingFileGivesDefaultsAndAWriteReadsBack();
    void badValuesTakeTheirDefaultsAndAreTold();
    void aFileThatCannotBeReadOrWrittenIsTold();
};

void OptionsTest::missingFileGivesDefaultsAndAWriteReadsBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const OptionsReading none = readOptions(dir.path());
    QCOMPARE(none.options, Options());
    QVERIFY(none.problems.isEmpty());
    QVERIFY(!QFile::exists(dir.filePath(OptionsFileName)));

    // The file as an operator writes it, CR LF and all.
    const QString path = dir.filePath(OptionsFileName);
    QVERIFY(putFile(path, "[Receive]\r\nWholeMllpMessages=true\r\n[Answer]\r\nMode=Delayed\r\n"
                          "DelayMs=400\r\n[List]\r\nColumns=Size,ControlId\r\nOther=kept\r\n"));
    const OptionsReading read = readOptions(dir.path());
    QVERIFY2(read.problems.isEmpty(), qPrintable(read.problems.join('\n')));
    QCOMPARE(read.options.wholeMllpMessages, true);
    QCOMPARE(read.options.answerMode, Options::AnswerMode::Delayed);
    QCOMPARE(read.options.delayMs, 400);
    QCOMPARE(read.options.listColumns, (QStringList{"Size", "ControlId"}));

    // Every value written reads back; keys of others stay.
    for (const QStringList &columns : {QStringList(), QStringList{"Answer"},
                                       QStringList{"Time", "Type", "Answer"}}) {
        Options written;
        written.wholeMllpMessages = columns.size() != 1;
        written.answerMode = columns.isEmpty() ? Options::AnswerMode::Never : Options::AnswerMode::AtOnce;
        written.delayMs = 60000;
        written.listColumns = columns;
        QCOMPARE(writeOptions(dir.path(), written), QString());
        const OptionsReading back = readOptions(dir.path());
        QVERIFY(back.problems.isEmpty());
        QCOMPARE(back.options, written);
    }
    const QByteArray bytes = fileBytes(path);
    QVERIFY2(bytes.contains("[Receive]\nWholeMllpMessages=true\n"), bytes.constData());
    QVERIFY(bytes.contains("[Answer]\nDelayMs=60000\nMode=AtOnce\n"));
    QVERIFY(bytes.contains("Columns=Time, Type, Answer\n"));
    QVERIFY(bytes.contains("Other=kept\n"));
}

void OptionsTest::badValuesTakeTheirDefaultsAndAreTold()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(OptionsFileName);
    const QByteArray bad[] = {"DelayMs=0", "DelayMs=60001", "DelayMs=abc", "DelayMs="};
    for (const QByteArray &delay : bad) {
        QVERIFY(putFile(path, "[Receive]\nWholeMllpMessages=yes\n[Answer]\nMode=Later\n" + delay
                                  + "\n[List]\nColumns=Time, Colour, Time, Size\n"));
        const OptionsReading read = readOptions(dir.path());
        QCOMPARE(read.options.wholeMllpMessages, false);
        QCOMPARE(read.options.answerMode, Options::AnswerMode::AtOnce);
        QCOMPARE(read.options.delayMs, 500);
        QCOMPARE(read.options.listColumns, (QStringList{"Time", "Size"}));
        QCOMPARE(read.problems.size(), 4);
        QVERIFY(read.problems.join('\n').contains("[Answer] Mode \"Later\""));
        QVERIFY(read.problems.join('\n').contains("Colour"));
    }
}

void OptionsTest::aFileThatCannotBeReadOrWrittenIsTold()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(!writeOptions(dir.filePath("missing"), Options()).isEmpty());

    const QString path = dir.filePath(OptionsFileName);
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
    QCOMPARE(read.problems.size(), 1);
    QVERIFY(writeOptions(dir.path(), Options()).contains(OptionsFileName));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{OptionsFileName});
}

QTEST_GUILESS_MAIN(OptionsTest)
#include "tst_options.moc"
