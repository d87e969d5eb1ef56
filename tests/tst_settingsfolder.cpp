#include "settings/settingsfolder.h"

#include <QtTest>

class TestSettingsFolder : public QObject
{
    Q_OBJECT

private slots:
    void choice_data();
    void choice();
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

QTEST_GUILESS_MAIN(TestSettingsFolder)
#include "tst_settingsfolder.moc"
