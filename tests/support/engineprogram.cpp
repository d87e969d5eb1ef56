#include "engineprogram.h"

#include "settings/settingsfile.h"


EngineProgram::EngineProgram(SpillFile spill)
    : m_noSpill(spill == SpillFile::Impossible ? std::make_unique<NoSpillFolder>(*this) : nullptr),
      m_settings(std::make_unique<ProbeSettings>(dir()))
{
    changeRecord([](SettingsRecord &record) { fillBlankSettings(record); });
    m_settings->setListenPort(port());
    m_engine = std::make_unique<InterfaceEngine>(*m_settings);
    QObject::connect(m_engine.get(), &InterfaceEngine::logWriteFailed, [this](const QString &text) {
        notices << text;
    });
    QObject::connect(m_engine.get(), &InterfaceEngine::answerNotice, [this](const QString &text) {
        notices << text;
    });
    QObject::connect(m_engine.get(), &InterfaceEngine::spillFailed, [this](const QString &text) {
        notices << text;
    });
    QObject::connect(m_engine.get(), &InterfaceEngine::socketError, [this](int, int number) {
        socketErrors << number;
    });
    QObject::connect(m_engine.get(), &InterfaceEngine::stateChanged,
                     [this](InterfaceEngine::State state) { states << state; });
}

EngineProgram::~EngineProgram() = default;

int EngineProgram::start()
{
    // As a front end does at each Start.
    ruleProblems = m_settings->readRules();
    if (!m_engine->openLog())
        return -1;
    return m_engine->start().socketError;
}

void EngineProgram::changeRecord(const std::function<void(SettingsRecord &)> &edit)
{
    SettingsRecord record = m_settings->record();
    edit(record);
    m_settings->setRecord(record);
}

void EngineProgram::changeOptions(const std::function<void(Options &)> &edit)
{
    Options options = m_settings->options();
    edit(options);
    m_settings->setOptions(options);
}
