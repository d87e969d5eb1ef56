#pragma once

#include "system/unixfile.h"

#include <QObject>

#include <memory>

class QSocketNotifier;

// The signals a service is sent, as events of the event loop: the handler
// only writes the signal's number to a pipe, and the loop reads it. SIGTERM
// and SIGINT say caught(); SIGHUP, which log rotation sends once it has
// renamed the log, says hangUp(). One object at a time.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    // False, with errno, when the pipe or the handlers could not be set up.
    bool install();

signals:
    void caught();
    void hangUp();

private:
    void readSignals();

    UniqueFd m_read;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
