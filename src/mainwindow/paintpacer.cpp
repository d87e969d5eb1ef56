#include "paintpacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

PaintPacer::PaintPacer(QWidget *window, int intervalMilliseconds)
    : QObject(window), m_window(window), m_interval(intervalMilliseconds)
{
    m_frame.setSingleShot(true);
    connect(&m_frame, &QTimer::timeout, this, &PaintPacer::paintFrame);
    window->installEventFilter(this);
}

qint64 PaintPacer::frameAfter(qint64 paintNanoseconds, int intervalMilliseconds)
{
    const qint64 share = paintNanoseconds * TimeShare / 1'000'000;
    const qint64 fastest = intervalMilliseconds;
    return qBound(fastest, share, qMax(fastest, qint64(SlowestFrameMilliseconds)));
}

bool PaintPacer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window || event->type() != QEvent::UpdateRequest || m_painting)
        return false;
    if (!m_sinceLastPaint.isValid() || m_sinceLastPaint.elapsed() >= m_nextFrame) {
        paintFrame();
        return true;
    }
    // The window's dirty regions stay marked; the next frame paints them all.
    if (!m_frame.isActive())
        m_frame.start(int(qMax<qint64>(1, m_nextFrame - m_sinceLastPaint.elapsed())));
    return true;
}

void PaintPacer::paintFrame()
{
    m_sinceLastPaint.restart();
    m_painting = true;
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(m_window, &request);
    m_painting = false;
    m_nextFrame = frameAfter(m_sinceLastPaint.nsecsElapsed(), m_interval);
}
