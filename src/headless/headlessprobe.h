#pragma once

#include "engine/interfaceengine.h"
#include "engine/probesettings.h"

#include <QObject>
#include <QTimer>

#include <functional>

class TerminationSignals;

// The probe without a window, for pipelines and containers: a thin front end
// over the settings and the engine. It reads the settings as the window does
// (repairing a bad file with the defaults instead of asking), starts at
// once, and says on standard error, one line each, what the window would
// show in a box. SIGTERM and SIGINT end it cleanly; SIGHUP reopens the log.
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
    // The log opened again at its location, as rotation tools expect once
    // they have renamed it; lines waiting for the disk go into the new file.
    // Says so, or why it could not be.
    void reopenLog();

    const SettingsRecord &record() const { return m_settings.record(); }
    InterfaceEngine &engine() { return m_engine; }

    // --verbose: `print` takes a line for each message once its answer is
    // known (messageLine()), in order, several at once (standard output in
    // the program). Lines not yet printed at finish() are printed then.
    void printMessages(std::function<void(const QByteArray &lines)> print);

    // SIGTERM and SIGINT call finish(), SIGHUP reopenLog(), from the event loop.
    bool catchTerminationSignals();

signals:
    void finished(int status);

private:
    void connectEngine();
    void say(const QString &text) const;
    // The lines of the messages settled since the last; `all` at the end.
    void printSettled(bool all);

    std::function<void(const QString &)> m_say;
    ProbeSettings m_settings;
    InterfaceEngine m_engine{m_settings};
    TerminationSignals *m_signals = nullptr;
    bool m_finished = false;
    std::function<void(const QByteArray &)> m_print;
    qint64 m_printed = 0;
    // The store is read once the engine's signal has returned: never on
    // the way of an answer.
    QTimer m_printLater;
};
