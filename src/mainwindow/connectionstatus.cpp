#include "connectionstatus.h"

#include <QLabel>
#include <QStringList>

ConnectionStatus::ConnectionStatus(QLabel &label)
    : m_label(label), m_pace(IntervalMilliseconds, [this] { show(); })
{
}

void ConnectionStatus::started(bool several, int most, int rules)
{
    m_several = several;
    m_most = most;
    m_rules = rules;
    m_notice.clear();
    m_pace.ask();
}

void ConnectionStatus::stopped()
{
    m_several = false;
    m_rules = 0;
    m_pace.ask();
}

void ConnectionStatus::setCount(int connected)
{
    m_count = connected;
    m_pace.ask();
}

void ConnectionStatus::notice(const QString &text)
{
    m_notice = text;
    m_pace.ask();
}

QString ConnectionStatus::text() const
{
    QStringList parts;
    if (m_several)
        parts << QStringLiteral("%1 of %2 senders connected").arg(m_count).arg(m_most);
    if (m_rules > 0)
        parts << (m_rules == 1 ? QStringLiteral("1 answer rule in force")
                               : QStringLiteral("%1 answer rules in force").arg(m_rules));
    if (!m_notice.isEmpty())
        parts << m_notice;
    return parts.join(QStringLiteral(" - "));
}

void ConnectionStatus::show()
{
    const QString full = text();
    if (full == m_label.accessibleName())
        return;
    // Cut to the label's width: a long notice must not run past the window.
    m_label.setText(m_label.fontMetrics().elidedText(full, Qt::ElideRight, m_label.contentsRect().width()));
    m_label.setToolTip(full);
    m_label.setAccessibleName(full);
}
