// Thin wrappers over the standard controls the dialogs use: static texts,
// buttons (one with a picture), combo boxes, progress bars, tooltips, image
// lists, menus and the list view.
#pragma once

#include "framework/Wnd.h"

#include <commctrl.h>

#include <string>

class CStatic : public CWnd {
};

class CButton : public CWnd {
public:
    int GetCheck() const { return static_cast<int>(SendMessageW(BM_GETCHECK)); }
    void SetCheck(int check) { SendMessageW(BM_SETCHECK, static_cast<WPARAM>(check)); }
};

class CComboBox : public CWnd {
public:
    void ResetContent() { SendMessageW(CB_RESETCONTENT); }
    int AddString(const std::wstring& text)
    {
        return static_cast<int>(SendMessageW(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
    }
    int SetCurSel(int index) { return static_cast<int>(SendMessageW(CB_SETCURSEL, static_cast<WPARAM>(index))); }
    int GetCurSel() const { return static_cast<int>(SendMessageW(CB_GETCURSEL)); }
    int GetCount() const { return static_cast<int>(SendMessageW(CB_GETCOUNT)); }
};

class CProgressCtrl : public CWnd {
public:
    void SetRange(short low, short high) { SendMessageW(PBM_SETRANGE, 0, MAKELPARAM(low, high)); }
    int SetPos(int position) { return static_cast<int>(SendMessageW(PBM_SETPOS, static_cast<WPARAM>(position))); }
    int GetPos() const { return static_cast<int>(SendMessageW(PBM_GETPOS)); }
};

/// The tooltip control: a popup that shows the tips of its owner's tools.
/// The window is destroyed with the object.
class CToolTipCtrl : public CWnd {
public:
    ~CToolTipCtrl() override
    {
        if (m_hWnd && IsWindow(m_hWnd))
            DestroyWindow(m_hWnd);
    }
    /// Creates the popup owned by owner; false when it could not be made.
    bool Create(HWND owner, DWORD style = TTS_ALWAYSTIP);
    void Activate(bool active) { SendMessageW(TTM_ACTIVATE, active ? TRUE : FALSE); }
    /// Hands a mouse message of a tool to the tooltip.
    void RelayEvent(MSG* msg) { SendMessageW(TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(msg)); }
};

/// Owns an image list (destroyed with the object unless detached).
class CImageList {
public:
    CImageList() = default;
    ~CImageList()
    {
        if (m_hImageList)
            ImageList_Destroy(m_hImageList);
    }
    CImageList(const CImageList&) = delete;
    CImageList& operator=(const CImageList&) = delete;

    bool Create(int cx, int cy, UINT flags, int initial, int grow)
    {
        m_hImageList = ImageList_Create(cx, cy, flags, initial, grow);
        return m_hImageList != nullptr;
    }
    /// Adds a bitmap (the list keeps a copy); returns its index or -1.
    int Add(HBITMAP bitmap) { return ImageList_Add(m_hImageList, bitmap, nullptr); }
    int GetImageCount() const { return ImageList_GetImageCount(m_hImageList); }

    HIMAGELIST m_hImageList = nullptr;
};

/// A menu loaded from the resources.
class CMenu {
public:
    ~CMenu()
    {
        if (m_hMenu)
            DestroyMenu(m_hMenu);
    }
    bool LoadMenuW(HINSTANCE instance, UINT id)
    {
        m_hMenu = ::LoadMenuW(instance, MAKEINTRESOURCEW(id));
        return m_hMenu != nullptr;
    }
    HMENU GetSubMenu(int position) const { return ::GetSubMenu(m_hMenu, position); }

    HMENU m_hMenu = nullptr;
};

/// A push button that shows a picture left of its text.
class CMFCButton : public CButton {
public:
    ~CMFCButton() override
    {
        if (m_images)
            ImageList_Destroy(m_images);
    }
    /// Takes ownership of a 32-bit bitmap and shows it on the button, with
    /// margins for a window of that DPI.
    void SetImage(HBITMAP bitmap, UINT dpi = 96);

private:
    HIMAGELIST m_images = nullptr;
};

/// The list-view control, as the report list uses it.
class CListCtrl : public CWnd {
public:
    int GetItemCount() const { return static_cast<int>(SendMessageW(LVM_GETITEMCOUNT)); }
    HWND GetHeaderCtrl() const { return reinterpret_cast<HWND>(SendMessageW(LVM_GETHEADER)); }
    int GetColumnCount() const
    {
        HWND header = GetHeaderCtrl();
        return header ? static_cast<int>(::SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
    }
    int InsertColumn(int index, const std::wstring& title, int format, int width);
    bool DeleteColumn(int index) { return SendMessageW(LVM_DELETECOLUMN, static_cast<WPARAM>(index)) != 0; }
    std::wstring GetItemText(int row, int column) const;
    bool SetItemText(int row, int column, const std::wstring& text);
    LPARAM GetItemLParam(int row) const;
    bool SetItemLParam(int row, LPARAM value);
    int GetItemImage(int row, int column) const;
    bool SetItemImage(int row, int column, int image);
    UINT GetItemState(int row, UINT mask) const
    {
        return static_cast<UINT>(SendMessageW(LVM_GETITEMSTATE, static_cast<WPARAM>(row), mask));
    }
    bool SetItemState(int row, UINT state, UINT mask);
    int GetNextItem(int start, UINT flags) const
    {
        return static_cast<int>(SendMessageW(LVM_GETNEXTITEM, static_cast<WPARAM>(start), MAKELPARAM(flags, 0)));
    }
    bool EnsureVisible(int row) { return SendMessageW(LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE) != 0; }
    void SetSelectionMark(int row) { SendMessageW(LVM_SETSELECTIONMARK, 0, row); }
    void SetImageList(HIMAGELIST list, int kind)
    {
        SendMessageW(LVM_SETIMAGELIST, static_cast<WPARAM>(kind), reinterpret_cast<LPARAM>(list));
    }
    void SetExtendedStyle(DWORD style) { SendMessageW(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, style); }
    COLORREF GetTextColor() const { return static_cast<COLORREF>(SendMessageW(LVM_GETTEXTCOLOR)); }
};
