#include "application.h"

#include "mainwindow/frminterface.h"
#include "settings/settingsfolder.h"
#include "settings/settingsstore.h"
#include "windowing/windowing.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {

// What the command line asks for, once Qt has taken out its own options.
struct CommandLine
{
    enum class Outcome { Run, Answer, Refuse };
    Outcome outcome = Outcome::Run;
    QString text;           // the answer for stdout, or the refusal for stderr
    QString settingsFolder; // empty: the usual one
};

CommandLine readCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Receives HL7 v2 messages over MLLP, shows and logs each one and answers it\n"
            "with the acknowledgement set in ackprobe.ini. Qt's own options, such as\n"
            "-platform offscreen, work too."));
    // Help made here rather than by addHelpOption(), whose --help-all only
    // QCommandLineParser::process() answers, by ending the process.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption settingsDir(
            QStringLiteral("settings-dir"),
            QStringLiteral("Uses <dir>/ackprobe.ini as the settings file, so that "
                           "several probes can run side by side. <dir> must exist."),
            QStringLiteral("dir"));
    parser.addOption(settingsDir);

    const QString program = QFileInfo(arguments.value(0)).fileName();
    const auto refuse = [&program](const QString &reason) {
        return CommandLine{CommandLine::Outcome::Refuse,
                           QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n")
                                   .arg(program, reason),
                           {}};
    };
    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (parser.isSet(help))
        return {CommandLine::Outcome::Answer, parser.helpText(), {}};
    if (parser.isSet(version))
        return {CommandLine::Outcome::Answer,
                QCoreApplication::applicationName() + QLatin1Char(' ')
                        + QCoreApplication::applicationVersion() + QLatin1Char('\n'),
                {}};
    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("Unexpected argument '%1'.")
                              .arg(parser.positionalArguments().constFirst()));
    if (!parser.isSet(settingsDir))
        return {};
    const NamedFolder folder = namedSettingsFolder(givenBytes(parser.value(settingsDir)));
    if (!folder.refusal.isEmpty())
        return refuse(folder.refusal);
    return {CommandLine::Outcome::Run, {}, folder.path};
}

// Beside the executable for the portable use, else the user's configuration
// folder, made on the way.
QString usualSettingsFolder()
{
    const QString programDirectory = QCoreApplication::applicationDirPath();
    SettingsFolderFacts facts;
    facts.programDirectory = programDirectory;
    facts.programDirectoryHoldsIni = QFileInfo::exists(SettingsStore(programDirectory).filePath());
    facts.programDirectoryWritable = QFileInfo(programDirectory).isWritable();
    facts.xdgConfigHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    facts.home = QDir::homePath();
    const QString folder = settingsFolder(facts);
    // A folder that cannot be made shows as the settings file's "File Error".
    QDir().mkpath(folder);
    return folder;
}

// An answer on stdout with status 0, a refusal on stderr with status 1.
int finish(const CommandLine &commandLine)
{
    const bool refused = commandLine.outcome == CommandLine::Outcome::Refuse;
    std::FILE *stream = refused ? stderr : stdout;
    std::fputs(commandLine.text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
    return refused ? 1 : 0;
}

// --help and --version answer without a display: they are looked for
// before the windowing system is opened.
QString answerWanted(int argc, char **argv)
{
    static const QStringList answers{QStringLiteral("-h"), QStringLiteral("--help"),
                                     QStringLiteral("-v"), QStringLiteral("--version")};
    for (int i = 1; i < argc; ++i)
        if (answers.contains(QString::fromLocal8Bit(argv[i])))
            return QString::fromLocal8Bit(argv[i]);
    return {};
}

void nameTheApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("AckmereProbe"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ACKPROBE_VERSION));
}

} // namespace

int runAckmereProbe(int &argc, char **argv)
{
    if (const QString answer = answerWanted(argc, argv); !answer.isEmpty()) {
        const QCoreApplication core(argc, argv);
        nameTheApplication();
        return finish(readCommandLine({QCoreApplication::arguments().constFirst(), answer}));
    }
    // X shared-memory images pass a descriptor for every window drawn; with
    // the process out of descriptors (a reconnect storm) the X library then
    // waits for ever, inside the very box that reports the shortage.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication app(argc, argv);
    nameTheApplication();

    // Read before any window exists: a refusal shows none.
    const CommandLine commandLine = readCommandLine(QApplication::arguments());
    if (commandLine.outcome != CommandLine::Outcome::Run)
        return finish(commandLine);
    const QString folder = commandLine.settingsFolder.isEmpty() ? usualSettingsFolder()
                                                                : commandLine.settingsFolder;

    QtWindowing windowing;
    frmInterface window(windowing, folder);
    // A No to the settings repair ends the program before any window is shown.
    window.Form_Load();
    if (windowing.programEnded())
        return 0;
    window.show();
    return app.exec();
}
