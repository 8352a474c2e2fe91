// The about box, shown from the main dialog's system menu.
#pragma once

#include "framework/Wnd.h"

class CAboutDlg : public CDialogEx {
public:
    explicit CAboutDlg(CWnd* parent = nullptr);
};
