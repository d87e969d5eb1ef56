#include "engineprogram.h"

#include "settings/settingsfile.h"

#include <QDir>
#include <QFile>

EngineProgram::EngineProgram() : m_previousDir(QDir::currentPath()), m_port(freePort())
{
    fillBlankSettings(record);
    QDir::setCurrent(m_dir.path());
    m_engine = std::make_unique<InterfaceEngine>(record, options);
    QObject::connect(m_engine.get(), &InterfaceEngine::logWriteFailed, [this](const QString &text) {
        notices << text;
    });
    QObject::connect(m_engine.get(), &InterfaceEngine::spillFailed, [this](const QString &text) {
        notices << text;
    });
    QObject::connect(m_engine.get(), &InterfaceEngine::socketError, [this](int, int number) {
        socketErrors << number;
    });
    QObject::connect(m_engine.get(), &InterfaceEngine::statusChanged, [this](const QString &status) {
        statuses << status;
    });
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
    return m_engine->listen(m_port);
}
