// The one owner of the settings files, without a window: what it asks and
// tells its front end, and the bytes it leaves in ackprobe.ini and
// ackprobe-options.ini.

#include "settingsdata.h"
#include "testbase.h"

#include "engine/probesettings.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

namespace {
// A front end that answers the repair question as told and keeps every word.
struct Front
{
    bool repair = true;
    QStringList asked;
    QStringList told;

    ProbeSettings::FrontEnd frontEnd()
    {
        return {[this](const QString &reason) {
                    asked << reason;
                    return repair;
                },
                [this](const QString &notice) { told << notice; }};
    }
};

bool putFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

const QString Updated = QStringLiteral("The ACKPROBE.INI file has been updated and saved.");
} // namespace

class ProbeSettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void missingFileIsRepairedOrRefused();
    void writesTakeTheRemoteEndpointAsLastSet();
    void optionsAndTheListsColumnsAreWrittenApart();
    void rulesAreReadWithTheirProblemsAndSaved();
};

void ProbeSettingsTest::missingFileIsRepairedOrRefused()
{
    ProgramFolder folder;
    {
        // No: nothing is written, and the front end is to end the program.
        Front front;
        front.repair = false;
        ProbeSettings settings(folder.dir(), front.frontEnd());
        QCOMPARE(settings.readProgramInformation(), ProbeSettings::Reading::Refused);
        QCOMPARE(front.asked.size(), 1);
        QVERIFY(!QFile::exists(settings.filePath()));
        QVERIFY(front.told.isEmpty());
    }
    Front front;
    ProbeSettings settings(folder.dir(), front.frontEnd());
    QSignalSpy changed(&settings, &ProbeSettings::changed);
    QCOMPARE(settings.readProgramInformation(), ProbeSettings::Reading::Read);
    QCOMPARE(front.asked.size(), 1);
    QVERIFY(!front.asked.first().isEmpty()); // the system's reason
    QCOMPARE(front.told, QStringList{Updated});
    QCOMPARE(folder.readFile(QStringLiteral("ackprobe.ini")), DefaultSettingsFile);
    QCOMPARE(settings.record(), defaults());
    QCOMPARE(settings.listenPort(), 9999);
    QVERIFY(!changed.isEmpty());

    // A file read whole is rewritten as it stands and asks nothing.
    const QByteArray mine = writeSettings(defaultsWith([](SettingsRecord &r) { r.strPort = QStringLiteral("007"); }));
    QVERIFY(putFile(settings.filePath(), mine));
    Front quiet;
    ProbeSettings again(folder.dir(), quiet.frontEnd());
    QCOMPARE(again.readProgramInformation(), ProbeSettings::Reading::Read);
    QVERIFY(quiet.asked.isEmpty() && quiet.told.isEmpty());
    QCOMPARE(again.listenPort(), 7);
    QCOMPARE(folder.readFile(QStringLiteral("ackprobe.ini")), mine);

    // A link loop is no missing file: the repair is asked with the system's reason and replaces the loop.
    QVERIFY(QFile::remove(settings.filePath()) && QFile::link(settings.filePath(), settings.filePath()));
    Front looped;
    ProbeSettings repaired(folder.dir(), looped.frontEnd());
    QCOMPARE(repaired.readProgramInformation(), ProbeSettings::Reading::Read);
    QCOMPARE(looped.asked, QStringList(QStringLiteral("Too many levels of symbolic links")));
    QCOMPARE(looped.told, QStringList{Updated});
    QCOMPARE(folder.readFile(QStringLiteral("ackprobe.ini")), DefaultSettingsFile);
}

void ProbeSettingsTest::writesTakeTheRemoteEndpointAsLastSet()
{
    ProgramFolder folder;
    QVERIFY(putFile(folder.path(QStringLiteral("ackprobe.ini")), DefaultSettingsFile));
    ProbeSettings settings(folder.dir());
    QCOMPARE(settings.readProgramInformation(), ProbeSettings::Reading::Read);

    // The endpoint as the operator edits it is what a write takes; the
    // record keeps the values read.
    settings.setRemoteEndpoint(QStringLiteral("10.1.2.3"), QStringLiteral("2575"));
    SettingsRecord values = settings.record();
    values.strInterfaceName = QStringLiteral("Lab");
    QVERIFY(settings.save(values));
    const SettingsRecord written = defaultsWith([](SettingsRecord &r) {
        r.strRemoteIP = QStringLiteral("10.1.2.3");
        r.strPort = QStringLiteral("2575");
        r.strInterfaceName = QStringLiteral("Lab");
    });
    QCOMPARE(folder.readFile(QStringLiteral("ackprobe.ini")), writeSettings(written));
    QCOMPARE(settings.record(), defaults());

    // A folder that cannot take the file: the system's reason, and the old file stays.
    QVERIFY(QFile::remove(settings.filePath()));
    QVERIFY(QDir(folder.dir()).mkdir(QStringLiteral("ackprobe.ini")));
    QVERIFY(!settings.save());
    QVERIFY(!settings.writeError().isEmpty());
}

void ProbeSettingsTest::optionsAndTheListsColumnsAreWrittenApart()
{
    ProgramFolder folder;
    const QString path = folder.path(QStringLiteral("ackprobe-options.ini"));
    QVERIFY(putFile(path, "[Answer]\r\nMode=Sometimes\r\nDelayMs=250\r\n[List]\r\nColumns=Size\r\n"));
    ProbeSettings settings(folder.dir());
    const QStringList problems = settings.readOptions();
    QCOMPARE(problems.size(), 1);
    QVERIFY(problems.first().contains(QStringLiteral("Sometimes")));
    QCOMPARE(settings.options().delayMs, 250);
    QCOMPARE(settings.options().listColumns, QStringList{QStringLiteral("Size")});

    // The list's columns alone: the value that could not be read stays in the file.
    QVERIFY(settings.setListColumns({QStringLiteral("Time"), QStringLiteral("Type")}).isEmpty());
    QVERIFY(folder.readFile(QStringLiteral("ackprobe-options.ini")).contains("Sometimes"));

    // Every option, the columns kept as the list chose them.
    Options chosen = settings.options();
    chosen.answerMode = Options::AnswerMode::Never;
    chosen.listColumns.clear();
    settings.setOptions(chosen);
    QVERIFY(settings.saveOptions().isEmpty());
    ProbeSettings reread(folder.dir());
    QVERIFY(reread.readOptions().isEmpty());
    QCOMPARE(reread.options().answerMode, Options::AnswerMode::Never);
    QCOMPARE(reread.options().delayMs, 250);
    QCOMPARE(reread.options().listColumns, (QStringList{QStringLiteral("Time"), QStringLiteral("Type")}));
}

void ProbeSettingsTest::rulesAreReadWithTheirProblemsAndSaved()
{
    ProgramFolder folder;
    ProbeSettings settings(folder.dir());
    const QString path = folder.path(QStringLiteral("ackprobe-rules.txt"));
    QCOMPARE(settings.rulesFilePath(), path);
    // No file: no rule and nothing to tell.
    QVERIFY(settings.readRules().isEmpty() && settings.rules().empty());

    // A bad line is told as a sentence naming the file; the good ones are kept.
    QVERIFY(putFile(path, "# answers\n{MSH-9.1} = ADT -> AE\r\nalways -> sometimes\n\nevery 3 -> never\n"));
    QCOMPARE(settings.readRules(),
             QStringList{QStringLiteral("ackprobe-rules.txt line 3: unknown action \"sometimes\"; the line is ignored.")});
    QCOMPARE(settings.rules().size(), std::size_t(2));
    QCOMPARE(settings.rules()[0].line, 2);
    QCOMPARE(settings.rules()[0].actions.code, QByteArray("AE"));
    QVERIFY(settings.rules()[1].line == 5 && settings.rules()[1].actions.never);

    // Saved as UTF-8, whole; read only at the next reading.
    QString error;
    const QString text = QStringLiteral("text ~ \"Zürich\" -> AR, text \"Größe\"\n");
    QVERIFY(settings.saveRules(text, &error));
    QCOMPARE(folder.readFile(QStringLiteral("ackprobe-rules.txt")), text.toUtf8());
    QCOMPARE(settings.rules().size(), std::size_t(2));
    QVERIFY(settings.readRules().isEmpty());
    QCOMPARE(settings.rules().size(), std::size_t(1));
    QCOMPARE(settings.rules()[0].actions.text, QStringLiteral("Größe").toUtf8());

    // A file that cannot be read is one sentence, and no rule is used.
    QVERIFY(putFile(path, "always -> AE\n\xff\n"));
    QCOMPARE(settings.readRules(),
             QStringList{QStringLiteral("%1 could not be read (line 2 is not UTF-8); no answer rule is used.").arg(path)});
    QVERIFY(settings.rules().empty());

    // A folder in the file's place refuses the save with the reason.
    QVERIFY(QFile::remove(path) && QDir().mkdir(path));
    error.clear();
    QVERIFY(!settings.saveRules(text, &error));
    QVERIFY(!error.isEmpty());
}

QTEST_GUILESS_MAIN(ProbeSettingsTest)
#include "tst_probesettings.moc"
