// Turning PNG files and PNG resources into 32-bit GDI bitmaps for buttons and
// for the list's image list.
#pragma once

#include <windows.h>

#include <string>

/// Loads a PNG from a file (path) or, when resourceId is not 0, from the
/// resource of that id (type "BINARY" first, then "PNG"). A file is decoded
/// only when it is a PNG of at most 512 x 512 pixels (IsSmallPng) and 2 MB.
/// On success stores a new 32-bit bitmap the caller owns in bitmap; otherwise
/// leaves it unchanged. With side above 0 the bitmap is side x side pixels and
/// the picture is drawn into it from the PNG, as large as fits, proportions
/// kept and centred; with 0 it keeps the PNG's own size.
bool LoadImageBitmap(const wchar_t* path, UINT resourceId, HBITMAP* bitmap, int side = 0);

/// Starts, on a thread of its own, what the first picture needs (GDI+ and
/// its PNG decoder, by decoding the picture of resourceId), so that the
/// window's first pictures, made while the window is being built, find it
/// ready.
void PrepareImages(UINT resourceId);
