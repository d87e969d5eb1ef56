#pragma once

#include "system/unixfile.h"

#include <QObject>

#include <memory>

class QSocketNotifier;

// SIGTERM and SIGINT as an event of the event loop: the handler only writes
// a byte to a pipe, and the loop reads it and says caught(). One at a time.
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

private:
    UniqueFd m_read;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
