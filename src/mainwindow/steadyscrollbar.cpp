#include "steadyscrollbar.h"

#include <QPaintEvent>
#include <QStyle>
#include <QStyleOptionSlider>

#include <utility>

SteadyScrollBar::SteadyScrollBar(Qt::Orientation orientation, QWidget *parent)
    : QScrollBar(orientation, parent)
{
}

SteadyScrollBar::Look SteadyScrollBar::look() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    // Some styles grey an arrow out at either end.
    return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
            value() == minimum(), value() == maximum()};
}

void SteadyScrollBar::sliderChange(SliderChange change)
{
    if (change != SliderRangeChange && change != SliderValueChange)
        return QScrollBar::sliderChange(change);
    // A new range is followed at once by the value that keeps the list at its
    // newest row: what the two show together is compared once control is
    // back in the event loop.
    if (!std::exchange(m_checkPosted, true))
        QMetaObject::invokeMethod(this, &SteadyScrollBar::updateIfChanged, Qt::QueuedConnection);
}

void SteadyScrollBar::updateIfChanged()
{
    m_checkPosted = false;
    if (look() != m_painted)
        update();
}

void SteadyScrollBar::paintEvent(QPaintEvent *event)
{
    // A paint of a part (an arrow under the mouse) says nothing of the rest.
    if (QRegion(rect()).subtracted(event->region()).isEmpty())
        m_painted = look();
    QScrollBar::paintEvent(event);
}
