#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

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
    static constexpr int SlowestFrameMilliseconds = 80;
    static constexpr int TimeShare = 16;

    PaintPacer(QWidget *window, int intervalMilliseconds);

    // The wait before the next frame after one that took this long to paint.
    static qint64 frameAfter(qint64 paintNanoseconds, int intervalMilliseconds);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void paintFrame();

    QWidget *m_window;
    int m_interval;
    qint64 m_nextFrame = 0; // milliseconds after the last paint began
    QElapsedTimer m_sinceLastPaint;
    QTimer m_frame;
    bool m_painting = false;
};
