#include "engineprogram.h"

#include "settings/settingsfile.h"

#include <QDir>
#include <QFile>

EngineProgram::EngineProgram()
    : m_previousDir(QDir::currentPath()), m_port(freePort()),
      m_settings(std::make_unique<ProbeSettings>(m_dir.path()))
{
    changeRecord([](SettingsRecord &record) { fillBlankSettings(record); });
    m_settings->setListenPort(m_port);
    QDir::setCurrent(m_dir.path());
    m_engine = std::make_unique<InterfaceEngine>(*m_settings);
    QObject::connect(m_engine.get(), &InterfaceEngine::logWriteFailed, [this](const QString &text) {
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

EngineProgram::~EngineProgram()
{
    m_engine.reset();
    QDir::setCurrent(m_previousDir);
}

QByteArray EngineProgram::readFile(const QString &name) const
{
    QFile file(path(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int EngineProgram::start()
{
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
