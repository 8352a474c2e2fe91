// The DPI of a window's monitor, and a picture fitted in a square cell.
#include "ui/Dpi.h"

#include <algorithm>

UINT WindowDpi(HWND window)
{
    // Not in Windows 7's user32: asked for by name.
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    UINT dpi = getDpiForWindow && window ? getDpiForWindow(window) : 0;
    if (dpi == 0) {
        HDC screen = GetDC(nullptr);
        dpi = screen ? static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSY)) : 0;
        if (screen)
            ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? dpi : kDefaultDpi;
}

RECT FitInSquare(int width, int height, int side)
{
    RECT place = {0, 0, 0, 0};
    if (width <= 0 || height <= 0 || side <= 0)
        return place;
    // The longer side fills the cell; the other follows, at least a pixel.
    int fittedWidth = width >= height ? side : std::max(1, MulDiv(width, side, height));
    int fittedHeight = height >= width ? side : std::max(1, MulDiv(height, side, width));
    place.left = (side - fittedWidth) / 2;
    place.top = (side - fittedHeight) / 2;
    place.right = place.left + fittedWidth;
    place.bottom = place.top + fittedHeight;
    return place;
}
