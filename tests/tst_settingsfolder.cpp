#include "testbase.h"

#include "settings/settingsfolder.h"
#include "settings/settingsstore.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class TestSettingsFolder : public QObject
{
    Q_OBJECT

private slots:
    void choice_data();
    void choice();
    void foldersAreTakenByTheirBytesAndFailuresByTheirReasons();
};

void TestSettingsFolder::choice_data()
{
    QTest::addColumn<QString>("programDirectory");
    QTest::addColumn<bool>("holdsIni");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QString>("xdgConfigHome");
    QTest::addColumn<QString>("expected");

    const QString home = QStringLiteral("/home/ann/.config/AckmereProbe");
    const QString xdg = QStringLiteral("/srv/conf/AckmereProbe");
    QTest::newRow("own folder, writable") << "/home/ann/.local/bin" << false << true << "" << "/home/ann/.local/bin";
    QTest::newRow("own folder, holds the file") << "/home/ann/apps/p" << true << false << "" << "/home/ann/apps/p";
    QTest::newRow("own folder, neither") << "/home/ann/apps/p" << false << false << "" << home;
    QTest::newRow("/usr/bin, writable as root") << "/usr/bin" << false << true << "" << home;
    QTest::newRow("/usr/bin, writable, XDG set") << "/usr/bin" << false << true << "/srv/conf" << xdg;
    QTest::newRow("/usr itself") << "/usr" << false << true << "" << home;
    QTest::newRow("under /opt") << "/opt/AckmereProbe" << false << true << "" << home;
    QTest::newRow("system folder holding the file") << "/opt/AckmereProbe" << true << false << "" << "/opt/AckmereProbe";
    QTest::newRow("only a name like /usr") << "/usrlocal/bin" << false << true << "" << "/usrlocal/bin";
    QTest::newRow("reaches /usr through ..") << "/home/../usr/bin" << false << true << "" << home;
    QTest::newRow("relative XDG is ignored") << "/usr/bin" << false << false << "conf" << home;
    QTest::newRow("XDG with a trailing slash") << "/usr/bin" << false << false << "/srv/conf/" << xdg;
}

void TestSettingsFolder::choice()
{
    QFETCH(QString, programDirectory);
    QFETCH(bool, holdsIni);
    QFETCH(bool, writable);
    QFETCH(QString, xdgConfigHome);
    QFETCH(QString, expected);

    SettingsFolderFacts facts;
    facts.programDirectory = programDirectory;
    facts.programDirectoryHoldsIni = holdsIni;
    facts.programDirectoryWritable = writable;
    facts.xdgConfigHome = xdgConfigHome;
    facts.home = QStringLiteral("/home/ann");
    QCOMPARE(settingsFolder(facts), expected);
}

void TestSettingsFolder::foldersAreTakenByTheirBytesAndFailuresByTheirReasons()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A folder whose name is not UTF-8 is used by its bytes.
    const QByteArray latin1 = QFile::encodeName(dir.path()) + "/caf\xe9";
    QVERIFY(::mkdir(latin1.constData(), 0755) == 0);
    // Qt cannot name, so cannot remove, what is not UTF-8.
    const auto removeLatin1 = qScopeGuard([&] {
        ::unlink(latin1 + "/ackprobe.ini");
        ::rmdir(latin1.constData());
    });
    const NamedFolder named = namedSettingsFolder(latin1);
    QCOMPARE(named.refusal, QString());
    QVERIFY(SettingsStore(named.path).write("[Port]\r\n"));
    struct stat written {};
    QCOMPARE(::stat(latin1 + "/ackprobe.ini", &written), 0);
    QCOMPARE(written.st_size, 8);

    // A loop and an over-long name, named or on the way, by their reasons.
    const QString loop = dir.filePath(QStringLiteral("loop"));
    QVERIFY(QFile::link(loop, loop));
    const QString tooLong = dir.filePath(QString(300, QLatin1Char('n')));
    QCOMPARE(namedSettingsFolder(QFile::encodeName(loop)).refusal,
             QStringLiteral("The settings folder '%1' cannot be used: Too many levels of symbolic links.").arg(loop));
    QCOMPARE(namedSettingsFolder(QFile::encodeName(tooLong)).refusal,
             QStringLiteral("The settings folder '%1' cannot be used: File name too long.").arg(tooLong));
    QString reason;
    QVERIFY(!SettingsStore(loop + QStringLiteral("/AckmereProbe")).write("x", &reason));
    QCOMPARE(reason, QStringLiteral("Too many levels of symbolic links"));
    QVERIFY(!SettingsStore(tooLong + QStringLiteral("/AckmereProbe")).write("x", &reason));
    QCOMPARE(reason, QStringLiteral("File name too long"));

    // Below a folder the user cannot write in ($XDG_CONFIG_HOME read-only).
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    const QString readOnly = dir.filePath(QStringLiteral("config"));
    QVERIFY(QDir().mkdir(readOnly));
    QVERIFY(QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner));
    OrdinaryUser user({readOnly});
    if (!user.isOrdinary())
        QSKIP("this root run cannot take an ordinary user's identity");
    QVERIFY(!SettingsStore(readOnly + QStringLiteral("/AckmereProbe")).write("x", &reason));
    QCOMPARE(reason, QStringLiteral("Permission denied"));
}

QTEST_GUILESS_MAIN(TestSettingsFolder)
#include "tst_settingsfolder.moc"
