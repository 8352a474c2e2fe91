// Thin wrappers over the standard controls the dialogs use.
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
