#include "launch.h"

#include "headless/headlessprobe.h"
#include "settings/settingsfolder.h"
#include "settings/settingsstore.h"
#include "system/unixfile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>

namespace {

// What the command line asks for, once Qt has taken out its own options.
struct CommandLine
{
    enum class Outcome { Run, Answer, Refuse };
    Outcome outcome = Outcome::Run;
    QString text;           // the answer for stdout, or the refusal for stderr
    QString settingsFolder; // empty: the usual one
    bool headless = false;
    bool verbose = false;   // a line on stdout for each message
};

// What QGuiApplication and QApplication take for themselves; the command line
// is read before either exists, so that its errors need no display. The
// program without a window takes them too, so that one command line serves
// every program.
void acceptQtOptions(QCommandLineParser &parser)
{
    static const char *const withValue[] = {
        "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
        "geometry", "qwindowicon", "icon", "qwindowtitle", "title", "session", "display",
        "name", "style", "stylesheet", "qmljsdebugger", "fontengine", "dialogs"};
    static const char *const flags[] = {"reverse", "nograb", "dograb", "sync", "widgetcount",
                                        "testability"};
    const auto hidden = [&parser](const char *name, const QString &valueName) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), valueName);
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    };
    for (const char *name : withValue)
        hidden(name, QStringLiteral("value"));
    for (const char *name : flags)
        hidden(name, QString());
}

QString description(Front front)
{
    if (front == Front::NoWindow)
        return QStringLiteral(
                "Receives HL7 v2 messages over MLLP without a window: logs each one and\n"
                "answers it with the acknowledgement set in ackprobe.ini, and tells on\n"
                "standard error what a window would show. SIGTERM or SIGINT ends it;\n"
                "SIGHUP reopens the logfile.");
    return QStringLiteral(
            "Receives HL7 v2 messages over MLLP, shows and logs each one and answers it\n"
            "with the acknowledgement set in ackprobe.ini. Qt's own options, such as\n"
            "-platform offscreen, work too.");
}

QString headlessHelp(Front front)
{
    if (front == Front::NoWindow)
        return QStringLiteral("Taken as the programs with a window take it; this one "
                              "never has a window.");
    return QStringLiteral("Runs without a window: starts listening at once, answers and "
                          "logs as the window does, and tells on standard error what the "
                          "window would show. SIGTERM or SIGINT ends it; SIGHUP reopens the "
                          "logfile.");
}

CommandLine readCommandLine(const QStringList &arguments, Front front)
{
    QCommandLineParser parser;
    // Qt's options are spelt with one dash; ours take one or two.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(description(front));
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
    const QCommandLineOption headless(QStringLiteral("headless"), headlessHelp(front));
    parser.addOption(headless);
    const QCommandLineOption verbose(
            QStringLiteral("verbose"),
            QStringLiteral("%1 a line on standard output for each message once it is answered: its "
                           "number, its control ID (MSH-10), the answer rule's line (rule 3) or -, and the "
                           "answer's code (AA, AE, ...), none or reset. For example: 12 MSG00012 rule 3 AE")
                    .arg(front == Front::NoWindow ? QStringLiteral("Prints")
                                                  : QStringLiteral("With --headless, prints")));
    parser.addOption(verbose);
    acceptQtOptions(parser);

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
    CommandLine run;
    run.headless = front == Front::NoWindow || parser.isSet(headless);
    run.verbose = parser.isSet(verbose);
    // The window shows each message itself: the lines are for a pipeline.
    if (run.verbose && !run.headless)
        return refuse(QStringLiteral("--verbose goes with --headless."));
    if (!parser.isSet(settingsDir))
        return run;
    const NamedFolder folder = namedSettingsFolder(givenBytes(parser.value(settingsDir)));
    if (!folder.refusal.isEmpty())
        return refuse(folder.refusal);
    run.settingsFolder = folder.path;
    return run;
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

QStringList argumentsOf(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

// One line on standard error, at once, every byte of it. Once a write fails
// (the reader of a pipe gone) no more lines are tried: the probe goes on
// serving without them.
void tell(const QString &line)
{
    static bool stderrGone = false;
    if (stderrGone)
        return;
    const QByteArray bytes = (QCoreApplication::applicationName() + QStringLiteral(": ") + line
                              + QLatin1Char('\n')).toLocal8Bit();
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr) != size_t(bytes.size())
        || std::fflush(stderr) != 0)
        stderrGone = true;
}

// Lines on standard output, at once; as with standard error, none is tried
// once a write has failed.
void print(const QByteArray &lines)
{
    static bool stdoutGone = false;
    if (stdoutGone)
        return;
    if (std::fwrite(lines.constData(), 1, size_t(lines.size()), stdout) != size_t(lines.size())
        || std::fflush(stdout) != 0)
        stdoutGone = true;
}

int runHeadless(int &argc, char **argv, const CommandLine &commandLine)
{
    QCoreApplication core(argc, argv);
    nameTheApplication();
    const QString &chosenFolder = commandLine.settingsFolder;
    HeadlessProbe probe(chosenFolder.isEmpty() ? usualSettingsFolder() : chosenFolder, tell);
    if (commandLine.verbose)
        probe.printMessages(print);
    if (!probe.catchTerminationSignals())
        tell(QStringLiteral("SIGTERM, SIGINT and SIGHUP cannot be caught: %1").arg(systemReason(errno)));
    if (const int status = probe.start())
        return status;
    QObject::connect(&probe, &HeadlessProbe::finished, &core, &QCoreApplication::exit);
    return core.exec();
}

Launch ended(int status)
{
    return {true, status, {}};
}

} // namespace

void nameTheApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("AckmereProbe"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ACKPROBE_VERSION));
}

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

Launch launch(int &argc, char **argv, Front front)
{
    ignoreFileSizeSignal();
    ignorePipeSignal();
    nameTheApplication();
    const CommandLine commandLine = readCommandLine(argumentsOf(argc, argv), front);
    if (commandLine.outcome == CommandLine::Outcome::Answer) {
        // The help names the program as it was called.
        const QCoreApplication core(argc, argv);
        return ended(finish(readCommandLine(QCoreApplication::arguments(), front)));
    }
    if (commandLine.outcome == CommandLine::Outcome::Refuse)
        return ended(finish(commandLine));
    if (commandLine.headless)
        return ended(runHeadless(argc, argv, commandLine));
    return {false, 0, commandLine.settingsFolder};
}
