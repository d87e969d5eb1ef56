#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The real program's own options, run as a separate process: an answer or a
// refusal ends it before any window exists, so it ends by itself.
class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void answersAndRefusals_data();
    void answersAndRefusals();

private:
    QTemporaryDir m_dir;
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
    const QByteArray hint = "Try 'AckmereProbe --help' for more information.\n";
    const QByteArray version = "AckmereProbe " ACKPROBE_VERSION "\n";

    QTest::newRow("version") << QStringList{"--version"} << 0 << version << QByteArray() << true;
    QTest::newRow("version without a display")
        << QStringList{"--version"} << 0 << version << QByteArray() << false;
    QTest::newRow("beside Qt's own option")
        << QStringList{"-platform", "offscreen", "-v"} << 0 << version << QByteArray() << true;
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 1 << QByteArray()
                                    << "AckmereProbe: Unknown option 'bogus'.\n" + hint << true;
    QTest::newRow("argument") << QStringList{"9999"} << 1 << QByteArray()
                              << "AckmereProbe: Unexpected argument '9999'.\n" + hint << true;
    QTest::newRow("folder missing") << QStringList{"--settings-dir"} << 1 << QByteArray()
                                    << "AckmereProbe: Missing value after '--settings-dir'.\n" + hint << true;
    QTest::newRow("folder that does not exist")
        << QStringList{"--settings-dir", absent} << 1 << QByteArray()
        << "AckmereProbe: The settings folder '" + absent.toLocal8Bit() + "' does not exist.\n" + hint << true;
    QTest::newRow("a file, not a folder")
        << QStringList{"--settings-dir=" + file} << 1 << QByteArray()
        << "AckmereProbe: '" + file.toLocal8Bit() + "' is not a folder.\n" + hint << true;
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
    program.start(QStringLiteral(ACKPROBE_EXECUTABLE), arguments);
    QVERIFY2(program.waitForFinished(60000), "the program did not end by itself");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.readAllStandardError(), err);
    QCOMPARE(program.readAllStandardOutput(), out);
    QCOMPARE(program.exitCode(), exitCode);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
