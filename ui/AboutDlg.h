// The about box, shown from the main dialog's system menu.
#pragma once

#include "framework/Wnd.h"

class CAboutDlg : public CDialogEx {
public:
    explicit CAboutDlg(CWnd* parent = nullptr);
    ~CAboutDlg() override;

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    /// The program's icon at the size of a large icon at dpi.
    void SetIcon(UINT dpi);

    HICON m_icon = nullptr;
};
