#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

// Runs a window's catch-up at most once a frame: at once when the last one is
// a frame old, otherwise once when the frame ends. A sender that pauses for
// a few tens of microseconds between messages would otherwise make the window
// lay out its boxes and rows again thousands of times a second, each time in
// the way of the next message's answer; the eye sees no more than the frames.
class CatchUp
{
public:
    CatchUp(int frameMilliseconds, std::function<void()> run);

    // Something changed: the window is to show it within a frame.
    void ask();

private:
    void runNow();

    int m_frame;
    std::function<void()> m_run;
    QElapsedTimer m_sinceLastRun;
    QTimer m_frameEnd;
};
