#pragma once

#include <QRect>
#include <QWidget>
#include <QtMath>

// Positions and sizes are designed in twips (1/1440 inch): 15 to a pixel at
// 96 dots per inch. Widgets are placed by these numbers, not by a layout.
namespace Twips {

inline double perPixel(const QWidget *widget)
{
    const int dpi = widget ? widget->logicalDpiX() : 96;
    return 1440.0 / (dpi > 0 ? dpi : 96);
}

inline int toPixels(double twips, const QWidget *widget)
{
    return qRound(twips / perPixel(widget));
}

inline double fromPixels(int pixels, const QWidget *widget)
{
    return pixels * perPixel(widget);
}

inline void place(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(toPixels(left, widget), toPixels(top, widget),
                        toPixels(width, widget), toPixels(height, widget));
}

} // namespace Twips
