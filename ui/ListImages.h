// The report list's pictures at the window's DPI: each one drawn from its PNG
// (a file or a resource) at the size of the list's cells, and drawn again from
// it when the DPI changes, so that every index keeps its picture.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>
#include <vector>

class CListImages {
public:
    /// side: the square cell of a picture, in pixels at 96 DPI.
    explicit CListImages(int side) : m_side(side) {}
    ~CListImages();
    CListImages(const CListImages&) = delete;
    CListImages& operator=(const CListImages&) = delete;

    /// Makes the image list for dpi and gives it to the list view as its
    /// small-image list (the rows take its height).
    bool Create(HWND listView, UINT dpi);
    /// Adds the picture of a file (resourceId 0) or of a PNG resource; its
    /// index, or -1 when it cannot be loaded (nothing is added then).
    int Add(const std::wstring& path, UINT resourceId = 0);
    /// Draws every picture again at dpi into a new list and hands it to the
    /// list view. A picture that no longer loads keeps its place, empty.
    void SetDpi(UINT dpi);

    UINT Dpi() const { return m_dpi; }
    /// The cell's side in pixels at the current DPI.
    int CellSide() const;
    HIMAGELIST Handle() const { return m_list; }

private:
    struct Source {
        std::wstring path;
        UINT resourceId;
    };
    HBITMAP Load(const Source& source) const;

    int m_side;
    UINT m_dpi = 96;
    HWND m_listView = nullptr;
    HIMAGELIST m_list = nullptr;
    std::vector<Source> m_sources; // by index in the image list
};
