#pragma once

#include "protocol/answerrules.h"
#include "settings/options.h"
#include "settings/settingsrecord.h"
#include "settings/settingsstore.h"

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

// The one owner of the settings: it finds, reads, repairs, holds and writes
// ackprobe.ini and ackprobe-options.ini in one folder. Nothing else reads or
// writes either file; front ends read the values here and change them here,
// and hear of every change through changed().
//
// The front end answers the two things a read may ask: whether to repair a
// missing or damaged file (the window's Yes/No box, the headless probe's
// "write the defaults and say so") and how to tell the operator a notice.
class ProbeSettings : public QObject
{
    Q_OBJECT

public:
    struct FrontEnd
    {
        // The file is missing or damaged (`reason`): true repairs it, keeping
        // what was read; false refuses, and the program is to end.
        std::function<bool(const QString &reason)> repairFile;
        // A notice for the operator, such as the file having been updated.
        std::function<void(const QString &notice)> tell;
    };

    explicit ProbeSettings(const QString &folder, FrontEnd frontEnd = {}, QObject *parent = nullptr);

    QString folder() const { return m_folder; }
    QString filePath() const { return m_store.filePath(); }
    QString optionsFilePath() const;

    // The record as read and changed; its remote endpoint keeps the values read.
    const SettingsRecord &record() const { return m_record; }
    // The remote endpoint as the operator last set it, which every write of
    // the file takes: the record's own until setRemoteEndpoint().
    QString remoteAddress() const { return m_remoteAddress; }
    QString remotePort() const { return m_remotePort; }
    const Options &options() const { return m_options; }
    // The port Start listens on: [Port] as read, then whatever the operator
    // saved as the remote port.
    qint32 listenPort() const { return m_listenPort; }

    // --- ackprobe.ini ----------------------------------------------------
    // Reads the file over the record, repairing it through the front end
    // when it is missing or damaged: Read; Refused when the operator said
    // No; NotRepaired (with repairError()) when the repaired file could not
    // be written or read back, the run going on with the values in memory.
    enum class Reading { Read, Refused, NotRepaired };
    Reading readProgramInformation();
    QString repairError() const { return m_repairError; }
    // Defaults in place of blank values, then the whole file written.
    bool checkBlankParameter();
    // Writes the whole file from the record, or from `values`, the record as
    // it is about to be. False with writeError() when the system refused;
    // after a repair filled defaults, the first write that succeeds tells so.
    bool save();
    bool save(const SettingsRecord &values);
    QString writeError() const { return m_writeError; }

    // Changes held values without writing them (the caller saves when the
    // operator asks). Each change says changed().
    void setRecord(const SettingsRecord &values);
    void setRemoteEndpoint(const QString &address, const QString &port);
    void setListenPort(qint32 port);

    // --- ackprobe-options.ini ------------------------------------------------
    // Reads every option; the values that could not be read keep their
    // defaults and are returned, a line each.
    QStringList readOptions();
    // Takes the options without writing them; the list's columns are the
    // list's own and are kept as they stand here.
    void setOptions(const Options &options);
    // Writes every option. Empty, or why the write failed.
    QString saveOptions() const;
    // [List] Columns alone; every other key in the file stays as it is.
    QString setListColumns(const QStringList &columns);

    // --- ackprobe-rules.txt ----------------------------------------------------
    // Reads the answer rules anew (at each Start) and keeps them. Returns
    // what the operator should hear, a sentence each: why the file could
    // not be read, or each line left out and why.
    QStringList readRules();
    // The rules read last: empty when there are none or the file is bad.
    const std::vector<AnswerRules::Rule> &rules() const { return m_rules.rules; }
    QString rulesFilePath() const;
    // Writes the file as UTF-8, atomically; the next Start reads it. False
    // with the reason in `error` when the system refused.
    bool saveRules(const QString &text, QString *error);

signals:
    void changed();

private:
    Reading readOrRepair();
    bool readOnce(QString *reason);
    void tell(const QString &notice) const;

    QString m_folder;
    SettingsStore m_store;
    FrontEnd m_frontEnd;
    SettingsRecord m_record;
    Options m_options;
    QString m_remoteAddress;
    QString m_remotePort;
    qint32 m_listenPort = 0;
    // Defaults were filled in and no write has told so yet.
    bool m_updated = false;
    QString m_writeError;
    QString m_repairError;
    AnswerRules::Reading m_rules;
};
