#include "ui/Images.h"

#include "framework/WinApp.h"

#include <algorithm>
#include <objidl.h>

// GDI+'s headers use min and max unqualified.
namespace Gdiplus {
using std::max;
using std::min;
} // namespace Gdiplus
#include <gdiplus.h>

#include <memory>

namespace {

// A GDI+ image over a copy of a resource's bytes; the stream lives as long as the image.
struct ResourceImage {
    IStream* stream = nullptr;
    std::unique_ptr<Gdiplus::Image> image;
    ~ResourceImage()
    {
        image.reset();
        if (stream)
            stream->Release();
    }
};

std::unique_ptr<ResourceImage> LoadResourceImage(UINT id)
{
    HINSTANCE instance = AfxGetInstanceHandle();
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(id), L"BINARY");
    if (!resource)
        resource = FindResourceW(instance, MAKEINTRESOURCEW(id), L"PNG");
    if (!resource)
        return nullptr;
    DWORD size = SizeofResource(instance, resource);
    HGLOBAL loaded = LoadResource(instance, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || size == 0)
        return nullptr;
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!copy)
        return nullptr;
    memcpy(GlobalLock(copy), bytes, size);
    GlobalUnlock(copy);
    auto result = std::make_unique<ResourceImage>();
    if (FAILED(CreateStreamOnHGlobal(copy, TRUE, &result->stream))) {
        GlobalFree(copy);
        return nullptr;
    }
    result->image.reset(Gdiplus::Image::FromStream(result->stream));
    return result;
}

} // namespace

bool LoadImageBitmap(const wchar_t* path, UINT resourceId, HBITMAP* bitmap)
{
    if ((!path && resourceId == 0) || !bitmap)
        return false;
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok)
        return false;

    HBITMAP made = nullptr;
    {
        std::unique_ptr<ResourceImage> fromResource;
        std::unique_ptr<Gdiplus::Image> fromFile;
        Gdiplus::Image* image = nullptr;
        if (resourceId != 0) {
            fromResource = LoadResourceImage(resourceId);
            image = fromResource ? fromResource->image.get() : nullptr;
        } else {
            fromFile.reset(Gdiplus::Image::FromFile(path));
            image = fromFile.get();
        }
        if (image && image->GetLastStatus() == Gdiplus::Ok && image->GetWidth() > 0 && image->GetHeight() > 0) {
            int width = static_cast<int>(image->GetWidth());
            int height = static_cast<int>(image->GetHeight());
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
                    graphics.DrawImage(image, 0, 0, width, height);
                }
                SelectObject(memory, old);
                DeleteDC(memory);
                made = section;
            }
            ReleaseDC(nullptr, screen);
        }
    }
    Gdiplus::GdiplusShutdown(token);
    if (!made)
        return false;
    *bitmap = made;
    return true;
}
