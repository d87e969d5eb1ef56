#pragma once

// The interface engine on a free port in a temporary folder of its own,
// without any window, and what it told.

#include "testbase.h"

#include "engine/interfaceengine.h"
#include "engine/probesettings.h"

#include <functional>

class EngineProgram : public ProgramFolder
{
public:
    enum class SpillFile { Possible, Impossible };
    // The settings of a new file, the log "logfile.txt" in the folder, which
    // becomes the current one. The spill folders are those the engine's
    // store finds when it is made: Impossible makes them unusable first.
    explicit EngineProgram(SpillFile spill = SpillFile::Possible);
    ~EngineProgram();

    InterfaceEngine &engine() { return *m_engine; }
    ProbeSettings &settings() { return *m_settings; }

    // Reads the answer rules (their problems in ruleProblems), opens the
    // log and listens on port(): the socket error's number, 0, or -1 when
    // the log could not be opened.
    int start();
    // The settings changed as a front end changes them: read at their next use.
    void changeRecord(const std::function<void(SettingsRecord &)> &edit);
    void changeOptions(const std::function<void(Options &)> &edit);

    QStringList notices;      // log and spill failures, in order
    QStringList ruleProblems; // as the last start() read them
    QList<int> socketErrors;
    QList<InterfaceEngine::State> states;

private:
    std::unique_ptr<NoSpillFolder> m_noSpill; // outlives the engine
    std::unique_ptr<ProbeSettings> m_settings;
    std::unique_ptr<InterfaceEngine> m_engine;
};
