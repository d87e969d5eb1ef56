#include "paintpacer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QWidget>

namespace {
constexpr qint64 SlowestFrameMilliseconds = 80;
constexpr qint64 TimeShare = 16;
} // namespace

PaintPacer::PaintPacer(QWidget *window, int intervalMilliseconds)
    : QObject(window), m_window(window), m_interval(intervalMilliseconds),
      m_frames(intervalMilliseconds, [this] { paintFrame(); })
{
    window->installEventFilter(this);
}

bool PaintPacer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window || event->type() != QEvent::UpdateRequest || m_painting)
        return false;
    // The window's dirty regions stay marked; the frame paints them all.
    m_frames.ask();
    return true;
}

void PaintPacer::paintFrame()
{
    QElapsedTimer painting;
    painting.start();
    m_painting = true;
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(m_window, &request);
    m_painting = false;
    const qint64 fastest = m_interval;
    m_frames.setFrame(int(qBound(fastest, painting.nsecsElapsed() * TimeShare / 1'000'000,
                                 qMax(fastest, SlowestFrameMilliseconds))));
}
