#include "framethrottle.h"

#include <utility>

FrameThrottle::FrameThrottle(int frameMilliseconds, std::function<void()> run)
    : m_frame(frameMilliseconds), m_run(std::move(run))
{
    m_frameEnd.setSingleShot(true);
    m_frameEnd.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_frameEnd, &QTimer::timeout, [this] { runNow(); });
}

void FrameThrottle::ask()
{
    // Once armed the timer is left alone: restarting it on every message
    // would hold the window still for as long as a burst lasts.
    if (m_frameEnd.isActive())
        return;
    const qint64 since = m_sinceLastRun.isValid() ? m_sinceLastRun.elapsed() : m_frame;
    if (since >= m_frame)
        runNow();
    else
        m_frameEnd.start(int(m_frame - since));
}

void FrameThrottle::runNow()
{
    m_sinceLastRun.restart();
    m_run();
}
