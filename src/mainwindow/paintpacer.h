#pragma once

#include "mainwindow/framethrottle.h"

#include <QObject>

class QWidget;

// Holds a window's painting to one frame per interval. An update asked for
// soon after the last paint waits for the next frame, so that a flood of
// messages, each changing a field, costs a few paints a second rather than
// one per message, and never stands between a message and its answer.
// A frame that took long to paint makes the next one wait longer, so that
// painting takes no more than a sixteenth of the window's time: at full
// speed each frame shows a list of new rows, which costs milliseconds.
class PaintPacer : public QObject
{
public:
    static constexpr int FrameMilliseconds = 40;

    PaintPacer(QWidget *window, int intervalMilliseconds);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void paintFrame();

    QWidget *m_window;
    int m_interval;
    FrameThrottle m_frames;
    bool m_painting = false;
};
