// PNG files and resources decoded through GDI+ and drawn into 32-bit
// bitmaps, whole or fitted in a square.
#include "ui/Images.h"

#include "format/CatalogueFormat.h"
#include "framework/WinApp.h"
#include "ui/Dpi.h"
#include "store/AtomicFile.h"

#include <algorithm>
#include <objidl.h>

// GDI+'s headers use min and max unqualified.
namespace Gdiplus {
using std::max;
using std::min;
} // namespace Gdiplus
#include <gdiplus.h>

#include <memory>
#include <thread>

namespace {

// A GDI+ image over a copy of some bytes; the stream lives as long as the image.
struct MemoryImage {
    IStream* stream = nullptr;
    std::unique_ptr<Gdiplus::Image> image;
    ~MemoryImage()
    {
        image.reset();
        if (stream)
            stream->Release();
    }
};

std::unique_ptr<MemoryImage> ImageFromBytes(const void* bytes, size_t size)
{
    if (!bytes || size == 0)
        return nullptr;
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!copy)
        return nullptr;
    memcpy(GlobalLock(copy), bytes, size);
    GlobalUnlock(copy);
    auto result = std::make_unique<MemoryImage>();
    if (FAILED(CreateStreamOnHGlobal(copy, TRUE, &result->stream))) {
        GlobalFree(copy);
        return nullptr;
    }
    result->image.reset(Gdiplus::Image::FromStream(result->stream));
    return result;
}

std::unique_ptr<MemoryImage> LoadResourceImage(UINT id)
{
    HINSTANCE instance = AfxGetInstanceHandle();
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(id), L"BINARY");
    if (!resource)
        resource = FindResourceW(instance, MAKEINTRESOURCEW(id), L"PNG");
    if (!resource)
        return nullptr;
    DWORD size = SizeofResource(instance, resource);
    HGLOBAL loaded = LoadResource(instance, resource);
    return ImageFromBytes(loaded ? LockResource(loaded) : nullptr, size);
}

// A picture file is decoded only when its bytes are a small PNG: GDI+ would
// take EMF, WMF or TIFF named .png as well, and decode any size on the UI
// thread. The bytes checked are the bytes decoded.
std::unique_ptr<MemoryImage> LoadThumbnailImage(const wchar_t* path)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &attributes) ||
        (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        ((static_cast<unsigned long long>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow) >
            kThumbnailLimit)
        return nullptr;
    std::string bytes;
    if (!ReadFileBytes(path, bytes) || bytes.size() > kThumbnailLimit || !IsSmallPng(bytes))
        return nullptr;
    return ImageFromBytes(bytes.data(), bytes.size());
}

} // namespace

void PrepareImages(UINT resourceId)
{
    std::thread([resourceId] {
        HBITMAP bitmap = nullptr;
        if (LoadImageBitmap(nullptr, resourceId, &bitmap))
            DeleteObject(bitmap);
    }).detach();
}

bool LoadImageBitmap(const wchar_t* path, UINT resourceId, HBITMAP* bitmap, int side)
{
    if ((!path && resourceId == 0) || !bitmap)
        return false;
    // GDI+ is started once for the process and left running: a start and a
    // shutdown around each picture made a window's dozen pictures cost a
    // dozen starts of the library and of its decoders.
    static const bool started = [] {
        Gdiplus::GdiplusStartupInput input;
        ULONG_PTR token = 0;
        return Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
    }();
    if (!started)
        return false;

    HBITMAP made = nullptr;
    {
        std::unique_ptr<MemoryImage> loaded =
            resourceId != 0 ? LoadResourceImage(resourceId) : LoadThumbnailImage(path);
        Gdiplus::Image* image = loaded ? loaded->image.get() : nullptr;
        if (image && image->GetLastStatus() == Gdiplus::Ok && image->GetWidth() > 0 && image->GetHeight() > 0) {
            int width = static_cast<int>(image->GetWidth());
            int height = static_cast<int>(image->GetHeight());
            // At a given size the picture is drawn from the PNG itself, so it
            // is as sharp as its pixels allow at any DPI.
            RECT place = side > 0 ? FitInSquare(width, height, side) : RECT{0, 0, width, height};
            if (side > 0)
                width = height = side;
            BITMAPINFO info = {};
            info.bmiHeader.biSize = sizeof(info.bmiHeader);
            info.bmiHeader.biWidth = width;
            info.bmiHeader.biHeight = height;
            info.bmiHeader.biPlanes = 1;
            info.bmiHeader.biBitCount = 32;
            info.bmiHeader.biCompression = BI_RGB;
            HDC screen = GetDC(nullptr);
            void* bits = nullptr;
            HBITMAP section = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
            if (section) {
                HDC memory = CreateCompatibleDC(screen);
                HGDIOBJ old = SelectObject(memory, section);
                {
                    Gdiplus::Graphics graphics(memory);
                    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
                    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
                    graphics.DrawImage(image, static_cast<INT>(place.left), static_cast<INT>(place.top),
                                       static_cast<INT>(place.right - place.left),
                                       static_cast<INT>(place.bottom - place.top));
                }
                SelectObject(memory, old);
                DeleteDC(memory);
                made = section;
            }
            ReleaseDC(nullptr, screen);
        }
    }
    if (!made)
        return false;
    *bitmap = made;
    return true;
}
