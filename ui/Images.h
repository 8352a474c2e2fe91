// Turning PNG files and PNG resources into 32-bit GDI bitmaps for buttons and
// for the list's image list.
#pragma once

#include <windows.h>

#include <string>

/// Loads a PNG from a file (path) or, when resourceId is not 0, from the
/// resource of that id (type "BINARY" first, then "PNG"). On success stores a
/// new 32-bit bitmap the caller owns in bitmap; otherwise leaves it unchanged.
bool LoadImageBitmap(const wchar_t* path, UINT resourceId, HBITMAP* bitmap);
