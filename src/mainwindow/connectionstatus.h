#pragma once

#include "mainwindow/framethrottle.h"

#include <QString>

class QLabel;

// The line above the status frame: how many senders are connected, when
// several may be, how many answer rules the run follows, and the latest
// notice (a sender refused, a
// handshake failed, an idle connection closed). The designed status box keeps
// its own texts. A storm of connections or notices sets the label a few times
// a second at most; what it cannot hold is in its tooltip and accessible name.
class ConnectionStatus
{
public:
    static constexpr int IntervalMilliseconds = 250;

    explicit ConnectionStatus(QLabel &label);

    // A Start listens: whether several senders may connect and how many at
    // most, and the answer rules in force. The last run's notice goes.
    void started(bool several, int most, int rules = 0);
    // Nothing listens: the counts go, the last notice stays.
    void stopped();
    void setCount(int connected);
    void notice(const QString &text);

    // What the line says in full, now or within an interval.
    QString text() const;

private:
    void show();

    QLabel &m_label;
    bool m_several = false;
    int m_most = 0;
    int m_count = 0;
    int m_rules = 0;
    QString m_notice;
    FrameThrottle m_pace;
};
