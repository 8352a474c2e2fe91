// The launcher's main window: a modal dialog on template 102.
#pragma once

#include "framework/Wnd.h"

class CZeltoIndexDlg : public CDialogEx {
public:
    CZeltoIndexDlg();
    ~CZeltoIndexDlg() override;

    /// The slot, shared by every process of this executable, where the dialog
    /// publishes its window handle at each activation.
    void SetSharedWindowSlot(volatile LONG* slot) { m_sharedWindow = slot; }

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    HICON m_icon;
    HICON m_smallIcon;
    volatile LONG* m_sharedWindow = nullptr;
};
