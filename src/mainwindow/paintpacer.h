#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

// Holds a window's painting to one frame per interval. An update asked for
// soon after the last paint waits for the next frame, so that a flood of
// messages, each changing a field, costs a few paints a second rather than
// one per message, and never stands between a message and its answer.
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
    QElapsedTimer m_sinceLastPaint;
    QTimer m_frame;
    bool m_painting = false;
};
