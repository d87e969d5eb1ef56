#pragma once

// The interface engine on a free port in a temporary folder of its own,
// without any window, and what it told.

#include "testbase.h"

#include "engine/interfaceengine.h"
#include "settings/options.h"
#include "settings/settingsrecord.h"

#include <QTemporaryDir>

class EngineProgram
{
public:
    // The settings of a new file, the log "logfile.txt" in the folder, which
    // becomes the current one.
    EngineProgram();
    ~EngineProgram();

    QString path(const QString &name) const { return m_dir.path() + QLatin1Char('/') + name; }
    QByteArray readFile(const QString &name) const;
    quint16 port() const { return m_port; }
    InterfaceEngine &engine() { return *m_engine; }

    // Opens the log and listens on port(): the socket error's number, or 0.
    int start();

    // Read by the engine at each use, as the window's record is.
    SettingsRecord record;
    Options options;
    QStringList notices;      // log and spill failures, in order
    QList<int> socketErrors;
    QStringList statuses;

private:
    QTemporaryDir m_dir;
    QString m_previousDir;
    quint16 m_port = 0;
    std::unique_ptr<InterfaceEngine> m_engine;
};
