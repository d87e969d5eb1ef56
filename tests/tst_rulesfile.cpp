// The answer rules file beside ackprobe.ini: its text read, or what stands there refused with the reason.

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

// The problem told for `reason`; none for an empty one.
QString refusal(const QString &path, const char *reason)
{
    return *reason ? QStringLiteral("%1 could not be read (%2); no answer rule is used.").arg(path, QLatin1String(reason))
                   : QString();
}
} // namespace

class RulesFileTest : public QObject
{
    Q_OBJECT

private slots:
    void readOrRefusedWithTheReason();
};

void RulesFileTest::readOrRefusedWithTheReason()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QLatin1String(RulesFileName));
    QCOMPARE(rulesFilePath(dir.path()), dir.path() + QLatin1String("/ackprobe-rules.txt"));
    // Missing, here or with its folder, is no problem.
    for (const QString &folder : {dir.path(), dir.filePath("none")}) {
        const RulesFileReading reading = readRulesFile(folder);
        QVERIFY(!reading.present && reading.problem.isEmpty() && reading.text.isEmpty());
    }

    // Exactly the largest size reads; a byte more is refused.
    QByteArray large(LargestRulesFile, '#');
    large[LargestRulesFile - 1] = '\n';
    const auto put = [&](const QByteArray &bytes) { return [&path, bytes] { return putFile(path, bytes); }; };
    const struct { std::function<bool()> make; const char *reason; QString text; } cases[] = {
        // UTF-8 as it stands, CR LF kept for the reader; a byte order mark goes.
        {put("\xef\xbb\xbf# r\xc3\xa9gles\r\nalways -> AA\r\n"), "", QStringLiteral("# r\u00e9gles\r\nalways -> AA\r\n")},
        {put(""), "", {}},
        {put(large), "", QString::fromLatin1(large)},
        {put(large + "\n"), "It is larger than 1 MiB", {}},
        // Latin-1 on line 3, or a character cut at the end: the line is told.
        {put("# one\nalways -> AA\n{PID-5} = M\xdcLLER -> AE\nalways -> AR\n"), "line 3 is not UTF-8", {}},
        {put("always -> AA\n\xc3"), "line 2 is not UTF-8", {}},
        // What is no plain file is refused unopened: a pipe without a writer would keep its open waiting.
        {[&] { return QDir(dir.path()).mkdir(QLatin1String(RulesFileName)); }, "Is a directory", {}},
        {[&] { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; }, "Not a plain file", {}},
        // A link to itself is no missing file.
        {[&] { return QFile::link(path, path); }, "Too many levels of symbolic links", {}},
    };
    for (const auto &c : cases) {
        QVERIFY(c.make());
        const RulesFileReading reading = readRulesFile(dir.path());
        QVERIFY(reading.present);
        QCOMPARE(reading.problem, refusal(path, c.reason));
        QCOMPARE(reading.text, c.text);
        QVERIFY(QFile::remove(path) || QDir(dir.path()).rmdir(QLatin1String(RulesFileName)));
    }

    QVERIFY(putFile(path, "always -> AA\n"));
    QVERIFY(QFile::setPermissions(path, {}));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner); });
    const OrdinaryUser user({dir.path(), path});
    if (!user.isOrdinary())
        QSKIP("this root run cannot take an ordinary user's identity");
    const RulesFileReading reading = readRulesFile(dir.path());
    QVERIFY(reading.present && reading.text.isEmpty());
    QCOMPARE(reading.problem, refusal(path, "Permission denied"));
}

QTEST_GUILESS_MAIN(RulesFileTest)
#include "tst_rulesfile.moc"
