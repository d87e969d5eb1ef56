#include "probeprocess.h"
#include "testbase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

// The real program's own options, run as a separate process: an answer or a
// refusal ends it before any window exists, so it ends by itself. Every
// program takes the same options; a refusal names the program as called.
class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void answersAndRefusals_data();
    void answersAndRefusals();
    void aFolderClosedToTheUserIsRefused();
    // Qt cannot name, so cannot remove, what is not UTF-8.
    void cleanupTestCase() { ::unlink((QFile::encodeName(m_dir.path()) + "/caf\xe9").constData()); }

private:
    QTemporaryDir m_dir;
    const QString m_program = programUnderTest(ACKPROBE_EXECUTABLE);
};

void TestCommandLine::answersAndRefusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<bool>("display"); // false: neither a display nor the offscreen platform

    QVERIFY(m_dir.isValid());
    const QString absent = m_dir.filePath(QStringLiteral("absent"));
    const QString file = m_dir.filePath(QStringLiteral("ackprobe.ini"));
    QFile touch(file);
    QVERIFY(touch.open(QIODevice::WriteOnly));
    const QByteArray name = QFileInfo(m_program).fileName().toLocal8Bit();
    const QByteArray hint = "Try '" + name + " --help' for more information.\n";
    const QByteArray version = "AckmereProbe " ACKPROBE_VERSION "\n";

    QTest::newRow("version") << QStringList{"--version"} << 0 << version << QByteArray() << true;
    QTest::newRow("version without a display")
        << QStringList{"--version"} << 0 << version << QByteArray() << false;
    QTest::newRow("beside Qt's own option")
        << QStringList{"-platform", "offscreen", "-v"} << 0 << version << QByteArray() << true;
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 1 << QByteArray()
                                    << name + ": Unknown option 'bogus'.\n" + hint << true;
    QTest::newRow("argument") << QStringList{"9999"} << 1 << QByteArray()
                              << name + ": Unexpected argument '9999'.\n" + hint << true;
    // The lines of --verbose are for a pipeline; the window shows each message itself.
    if (name != "ackmereprobe-nox")
        QTest::newRow("verbose with a window") << QStringList{"--verbose"} << 1 << QByteArray()
                                               << name + ": --verbose goes with --headless.\n" + hint << false;
    QTest::newRow("folder missing") << QStringList{"--settings-dir"} << 1 << QByteArray()
                                    << name + ": Missing value after '--settings-dir'.\n" + hint << true;
    QTest::newRow("folder that does not exist")
        << QStringList{"--settings-dir", absent} << 1 << QByteArray()
        << name + ": The settings folder '" + absent.toLocal8Bit() + "' does not exist.\n" + hint << true;
    QTest::newRow("a file, not a folder")
        << QStringList{"--settings-dir=" + file} << 1 << QByteArray()
        << name + ": '" + file.toLocal8Bit() + "' is not a folder.\n" + hint << true;
    // Not "does not exist": the system's own reason.
    const QString loop = m_dir.filePath(QStringLiteral("loop"));
    QVERIFY(QFile::link(loop, loop));
    QTest::newRow("a symbolic link loop")
        << QStringList{"--settings-dir", loop} << 1 << QByteArray()
        << name + ": The settings folder '" + loop.toLocal8Bit()
                   + "' cannot be used: Too many levels of symbolic links.\n" + hint << true;
    const QString tooLong = m_dir.filePath(QString(300, QLatin1Char('n')));
    QTest::newRow("a name too long")
        << QStringList{"--settings-dir", tooLong} << 1 << QByteArray()
        << name + ": The settings folder '" + tooLong.toLocal8Bit()
                   + "' cannot be used: File name too long.\n" + hint << true;
    // A name that is not UTF-8 is found by its bytes: this one is a file.
    const QByteArray latin1 = QFile::encodeName(m_dir.path()) + "/caf\xe9";
    const int fd = ::open(latin1.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);
    QTest::newRow("a file whose name is not UTF-8")
        << QStringList{"--settings-dir", QStringLiteral("BYTES")} << 1 << QByteArray()
        << name + ": '" + QFile::encodeName(m_dir.path()) + "/caf\\xE9' is not a folder.\n" + hint << true;
}

void TestCommandLine::answersAndRefusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(bool, display);

    QProcess program;
    // Without it Qt warns on stderr, whose bytes are compared.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
    if (!display) {
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    }
    program.setProcessEnvironment(environment);
    if (arguments.endsWith(QStringLiteral("BYTES")))
        // Through the shell, as a QString argument cannot hold the bytes.
        program.start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"),
                       QStringLiteral("exec \"$0\" --settings-dir \"$1/$(printf 'caf\\351')\""),
                       m_program, m_dir.path()});
    else
        program.start(m_program, arguments);
    QVERIFY2(program.waitForFinished(60000), "the program did not end by itself");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.readAllStandardError(), err);
    QCOMPARE(program.readAllStandardOutput(), out);
    QCOMPARE(program.exitCode(), exitCode);
}

void TestCommandLine::aFolderClosedToTheUserIsRefused()
{
    const QString folder = m_dir.filePath(QStringLiteral("closed"));
    QVERIFY(QDir().mkpath(folder));
    const QByteArray name = QFileInfo(m_program).fileName().toLocal8Bit();
    // Neither readable nor writable, then readable alone.
    for (const QFile::Permissions permissions : {QFile::Permissions(), QFile::ReadOwner | QFile::ExeOwner}) {
        QVERIFY(QFile::setPermissions(folder, permissions));
        QProcess program;
        {
            const OrdinaryUser user({m_dir.path(), folder});
            if (!user.isOrdinary())
                QSKIP("no ordinary user to run as");
            program.start(m_program, {QStringLiteral("--headless"), QStringLiteral("--settings-dir"), folder});
            QVERIFY(program.waitForStarted());
        }
        QVERIFY2(program.waitForFinished(60000), "the program did not end by itself");
        QCOMPARE(program.exitCode(), 1);
        QCOMPARE(program.readAllStandardError(),
                 name + ": The settings folder '" + folder.toLocal8Bit() + "' cannot be used: Permission denied.\n"
                     + "Try '" + name + " --help' for more information.\n");
    }
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
