// The list's image list: pictures added from their sources, and all drawn
// again at a new DPI.
#include "ui/ListImages.h"

#include "ui/Dpi.h"
#include "ui/Images.h"

CListImages::~CListImages()
{
    if (m_list)
        ImageList_Destroy(m_list);
}

int CListImages::CellSide() const { return ScaleForDpi(m_side, m_dpi); }

bool CListImages::Create(HWND listView, UINT dpi)
{
    m_listView = listView;
    m_dpi = dpi;
    m_list = ImageList_Create(CellSide(), CellSide(), ILC_COLOR32, 0, 5);
    if (m_list && m_listView)
        SendMessageW(m_listView, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(m_list));
    return m_list != nullptr;
}

HBITMAP CListImages::Load(const Source& source) const
{
    HBITMAP bitmap = nullptr;
    if (!LoadImageBitmap(source.resourceId ? nullptr : source.path.c_str(), source.resourceId, &bitmap,
                         CellSide()))
        return nullptr;
    return bitmap;
}

int CListImages::Add(const std::wstring& path, UINT resourceId)
{
    if (!m_list)
        return -1;
    Source source{path, resourceId};
    HBITMAP bitmap = Load(source);
    if (!bitmap)
        return -1;
    int index = ImageList_Add(m_list, bitmap, nullptr);
    DeleteObject(bitmap);
    if (index >= 0)
        m_sources.push_back(source);
    return index;
}

void CListImages::SetDpi(UINT dpi)
{
    if (!m_list || dpi == m_dpi)
        return;
    m_dpi = dpi;
    const int side = CellSide();
    HIMAGELIST list = ImageList_Create(side, side, ILC_COLOR32, static_cast<int>(m_sources.size()), 5);
    if (!list)
        return;
    for (const Source& source : m_sources) {
        HBITMAP bitmap = Load(source);
        if (!bitmap) {
            // An empty picture keeps the indices after it where they were.
            BITMAPINFO info = {};
            info.bmiHeader = {sizeof(info.bmiHeader), side, side, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
            void* bits = nullptr;
            bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        }
        ImageList_Add(list, bitmap, nullptr);
        if (bitmap)
            DeleteObject(bitmap);
    }
    HIMAGELIST old = m_list;
    m_list = list;
    if (m_listView)
        SendMessageW(m_listView, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(m_list));
    ImageList_Destroy(old);
}
