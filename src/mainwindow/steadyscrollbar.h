#pragma once

#include <QScrollBar>

// A scroll bar that paints again only when what it shows has changed. The
// list's bar gets a new range with every frame of new rows, while its handle,
// once the list is long, keeps its size and its place at the bottom; painting
// it anyway cost the answering thread tens of context switches a frame, as
// the style's tall strokes go through the toolkit's thread pool.
class SteadyScrollBar : public QScrollBar
{
public:
    explicit SteadyScrollBar(Qt::Orientation orientation, QWidget *parent = nullptr);

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent *event) override;

private:
    struct Look
    {
        QRect handle;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator==(const Look &) const = default;
    };
    Look look() const;
    void updateIfChanged();

    // What the last paint of the whole bar showed; before any, nothing.
    Look m_painted;
    bool m_checkPosted = false;
};
