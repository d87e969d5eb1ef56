#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

// Runs a piece of a window's work at most once a frame: at once when the
// last run is a frame old, otherwise once when the frame ends. The window's
// catch-up with new messages and its painting both go through one, so that
// a sender pausing for microseconds between messages never makes the window
// lay out or paint thousands of times a second in the way of its answers.
class FrameThrottle
{
public:
    FrameThrottle(int frameMilliseconds, std::function<void()> run);

    // The work is due: it runs within a frame.
    void ask();
    // The length of the frames from the last run on.
    void setFrame(int frameMilliseconds) { m_frame = frameMilliseconds; }

private:
    void runNow();

    int m_frame;
    std::function<void()> m_run;
    QElapsedTimer m_sinceLastRun;
    QTimer m_frameEnd;
};
