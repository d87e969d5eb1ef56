#pragma once

#include "engine/interfaceengine.h"
#include "system/unixfile.h"
#include "settings/settingsrecord.h"
#include "settings/settingsstore.h"

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

// The probe without a window, for pipelines and containers: it reads the
// settings as the window does, starts at once, answers and logs exactly as
// the window does, and says on standard error, one line each, what the
// window would show in a box. SIGTERM and SIGINT end it cleanly.
class HeadlessProbe : public QObject
{
    Q_OBJECT

public:
    // `say` takes each line told (standard error in the program).
    explicit HeadlessProbe(const QString &settingsFolder,
                           std::function<void(const QString &)> say, QObject *parent = nullptr);
    ~HeadlessProbe() override;

    // Reads the settings and starts listening. Returns 0 when it listens, or
    // the status to end with at once (a port in use: no operator is there
    // to change it).
    int start();
    // Stops the interface: the log gets one more try for waiting lines and
    // is closed; then finished(0).
    void finish();

    const SettingsRecord &record() const { return m_record; }
    InterfaceEngine &engine() { return m_engine; }

    // SIGTERM and SIGINT call finish() from the event loop.
    bool catchTerminationSignals();

signals:
    void finished(int status);

private:
    bool readSettingsOnce(QString *reason);
    bool checkBlankParameter(QString *reason);
    void readProgramInformation();
    void connectEngine();
    void say(const QString &text) const;

    SettingsStore m_settingsStore;
    std::function<void(const QString &)> m_say;
    QString m_settingsFolder;
    SettingsRecord m_record;
    Options m_options;
    InterfaceEngine m_engine{m_record, m_options};
    UniqueFd m_signalRead;
    std::unique_ptr<QSocketNotifier> m_signalNotifier;
    bool m_finished = false;
};
