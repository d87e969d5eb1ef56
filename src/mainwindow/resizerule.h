#pragma once

#include <optional>

// How the "Receive" frame and its list follow the window's outer size, in
// twips. Nothing else moves or resizes.
struct ReceiveSize
{
    float frameWidth;
    float frameHeight;
    float listWidth;  // never negative: a window too small for the list gives 0
    float listHeight;
};

// Nothing for a window whose outer width is not above 1000 twips or whose
// outer height is not above 5200 (a minimised window among them).
inline std::optional<ReceiveSize> receiveSizeFor(float outerWidth, float outerHeight)
{
    if (!(outerWidth > 1000.0f) || !(outerHeight > 5200.0f))
        return std::nullopt;
    ReceiveSize size{};
    size.frameWidth = outerWidth - 885.0f;
    size.listWidth = size.frameWidth - 240.0f;
    size.frameHeight = outerHeight - 5115.0f;
    size.listHeight = size.frameHeight - 360.0f;
    if (size.listWidth < 0)
        size.listWidth = 0;
    if (size.listHeight < 0)
        size.listHeight = 0;
    return size;
}
