// Pixels that follow a window's DPI: every size the window measures in pixels
// is given at 96 DPI (100 %) and scaled to the DPI of the monitor it is on.
// Also where a picture goes in a square cell of such a size.
#pragma once

#include <windows.h>

/// The DPI a size at 100 % is given for.
constexpr UINT kDefaultDpi = 96;

/// value (pixels at 96 DPI) at dpi, rounded to the nearest pixel.
inline int ScaleForDpi(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), kDefaultDpi); }

/// The DPI of the monitor window is on where Windows tells it per window
/// (Windows 10 1607 and later), else the system's DPI; 96 when neither answers.
UINT WindowDpi(HWND window);

/// Where an image of width x height goes in a square cell of side pixels: as
/// large as fits, its proportions kept, centred. Empty for an empty image.
RECT FitInSquare(int width, int height, int side);
