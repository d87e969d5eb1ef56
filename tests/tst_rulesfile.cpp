// The answer rules file beside ackprobe.ini: its text read, and what stands
// in its place refused with the reason.

#include "testbase.h"

#include "settings/rulesfile.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {
bool putFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString refusal(const QString &path, const QString &reason)
{
    return QStringLiteral("%1 could not be read (%2); no answer rule is used.").arg(path, reason);
}
} // namespace

class RulesFileTest : public QObject
{
    Q_OBJECT

private slots:
    void missingGoodLargeAndNotUtf8();
    void whatIsNoPlainFileIsRefusedUnopened();
};

void RulesFileTest::missingGoodLargeAndNotUtf8()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QLatin1String(RulesFileName));
    QCOMPARE(rulesFilePath(dir.path()), path);
    QCOMPARE(QLatin1String(RulesFileName), QLatin1String("ackprobe-rules.txt"));

    RulesFileReading reading = readRulesFile(dir.path());
    QVERIFY(!reading.present);
    QCOMPARE(reading.problem, QString());
    QCOMPARE(reading.text, QString());
    // A folder that is not there holds no file either.
    QVERIFY(!readRulesFile(dir.filePath("none")).present);

    // UTF-8 as it stands, CR LF kept for the reader; a byte order mark goes.
    QVERIFY(putFile(path, "\xef\xbb\xbf# r\xc3\xa9gles\r\nalways -> AA\r\n"));
    reading = readRulesFile(dir.path());
    QVERIFY(reading.present);
    QCOMPARE(reading.problem, QString());
    QCOMPARE(reading.text, QStringLiteral("# r\u00e9gles\r\nalways -> AA\r\n"));
    QVERIFY(putFile(path, ""));
    reading = readRulesFile(dir.path());
    QVERIFY(reading.present && reading.problem.isEmpty() && reading.text.isEmpty());

    // Exactly the largest size reads; a byte more is refused.
    QByteArray large(LargestRulesFile, '#');
    large[LargestRulesFile - 1] = '\n';
    QVERIFY(putFile(path, large));
    reading = readRulesFile(dir.path());
    QCOMPARE(reading.problem, QString());
    QCOMPARE(reading.text.size(), qsizetype(LargestRulesFile));
    QVERIFY(putFile(path, large + "\n"));
    reading = readRulesFile(dir.path());
    QVERIFY(reading.present);
    QCOMPARE(reading.problem, refusal(path, QStringLiteral("It is larger than 1 MiB")));
    QCOMPARE(reading.text, QString());

    // Latin-1 on line 3, or a character cut at the end: the line is told.
    QVERIFY(putFile(path, "# one\nalways -> AA\n{PID-5} = M\xdcLLER -> AE\nalways -> AR\n"));
    reading = readRulesFile(dir.path());
    QCOMPARE(reading.problem, refusal(path, QStringLiteral("line 3 is not UTF-8")));
    QCOMPARE(reading.text, QString());
    QVERIFY(putFile(path, "always -> AA\n\xc3"));
    QCOMPARE(readRulesFile(dir.path()).problem, refusal(path, QStringLiteral("line 2 is not UTF-8")));
}

void RulesFileTest::whatIsNoPlainFileIsRefusedUnopened()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QLatin1String(RulesFileName));

    QVERIFY(QDir(dir.path()).mkdir(QLatin1String(RulesFileName)));
    RulesFileReading reading = readRulesFile(dir.path());
    QVERIFY(reading.present);
    QCOMPARE(reading.problem, refusal(path, QStringLiteral("Is a directory")));
    QVERIFY(QDir(dir.path()).rmdir(QLatin1String(RulesFileName)));

    // A pipe without a writer: opened to read it would wait for ever.
    QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    reading = readRulesFile(dir.path());
    QVERIFY(reading.present);
    QCOMPARE(reading.problem, refusal(path, QStringLiteral("Not a plain file")));
    QCOMPARE(reading.text, QString());
    QVERIFY(QFile::remove(path));

    // A link to itself is no missing file.
    QVERIFY(QFile::link(path, path));
    reading = readRulesFile(dir.path());
    QVERIFY(reading.present);
    QCOMPARE(reading.problem, refusal(path, QStringLiteral("Too many levels of symbolic links")));
    QVERIFY(QFile::remove(path));

    QVERIFY(putFile(path, "always -> AA\n"));
    QVERIFY(QFile::setPermissions(path, {}));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner); });
    const OrdinaryUser user({dir.path(), path});
    if (!user.isOrdinary())
        QSKIP("this root run cannot take an ordinary user's identity");
    reading = readRulesFile(dir.path());
    QVERIFY(reading.present);
    QCOMPARE(reading.problem, refusal(path, QStringLiteral("Permission denied")));
    QCOMPARE(reading.text, QString());
}

QTEST_GUILESS_MAIN(RulesFileTest)
#include "tst_rulesfile.moc"
