// The tooltip, image button and list-view wrappers: creation, the button's
// picture and margins at a DPI, and the list's columns, texts, values and states.
#include "framework/Controls.h"

#include "framework/WinApp.h"

bool CToolTipCtrl::Create(HWND owner, DWORD style)
{
    m_hWnd = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | style, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr, AfxGetInstanceHandle(), nullptr);
    return m_hWnd != nullptr;
}

void CMFCButton::SetImage(HBITMAP bitmap, UINT dpi)
{
    BITMAP info = {};
    if (!bitmap || !GetObjectW(bitmap, sizeof(info), &info)) {
        if (bitmap)
            DeleteObject(bitmap);
        return;
    }
    if (m_images)
        ImageList_Destroy(m_images);
    m_images = ImageList_Create(info.bmWidth, info.bmHeight, ILC_COLOR32, 1, 0);
    ImageList_Add(m_images, bitmap, nullptr);
    DeleteObject(bitmap); // the image list keeps its own copy
    BUTTON_IMAGELIST images = {};
    images.himl = m_images;
    const int dpiValue = static_cast<int>(dpi);
    images.margin = {MulDiv(6, dpiValue, 96), 0, MulDiv(2, dpiValue, 96), 0};
    images.uAlign = BUTTON_IMAGELIST_ALIGN_LEFT;
    SendMessageW(BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images));
    Invalidate();
}

int CListCtrl::InsertColumn(int index, const std::wstring& title, int format, int width)
{
    LVCOLUMNW column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = format;
    column.cx = width;
    column.pszText = const_cast<wchar_t*>(title.c_str());
    column.iSubItem = index;
    return static_cast<int>(SendMessageW(LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column)));
}

std::wstring CListCtrl::GetItemText(int row, int column) const
{
    std::wstring text(1024, L'\0');
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = &text[0];
    item.cchTextMax = static_cast<int>(text.size());
    int length = static_cast<int>(SendMessageW(LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item)));
    text.resize(static_cast<size_t>(length > 0 ? length : 0));
    return text;
}

bool CListCtrl::SetItemText(int row, int column, const std::wstring& text)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    return SendMessageW(LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item)) != 0;
}

LPARAM CListCtrl::GetItemLParam(int row) const
{
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    return SendMessageW(LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) ? item.lParam : 0;
}

bool CListCtrl::SetItemLParam(int row, LPARAM value)
{
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    item.lParam = value;
    return SendMessageW(LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item)) != 0;
}

int CListCtrl::GetItemImage(int row, int column) const
{
    LVITEMW item = {};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iSubItem = column;
    return SendMessageW(LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)) ? item.iImage : -1;
}

bool CListCtrl::SetItemImage(int row, int column, int image)
{
    LVITEMW item = {};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iSubItem = column;
    item.iImage = image;
    return SendMessageW(LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item)) != 0;
}

bool CListCtrl::SetItemState(int row, UINT state, UINT mask)
{
    LVITEMW item = {};
    item.state = state;
    item.stateMask = mask;
    return SendMessageW(LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item)) != 0;
}
